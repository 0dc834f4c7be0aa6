// An in-process proxy for core request handler tests: an Xvfb whose screens are the heads of
// one meta screen (optionally with emulated visuals), the core dispatch tables, and a fake
// client (a record with a real display connection, its output read from a socketpair) in
// either byte order. Requests go straight to their handlers, as the cutter would hand them
// over; the messages the client receives are read back whole.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

struct ClientConnection;
struct DisplayConnection;
struct Head;
struct MetaScreen;

namespace corerequests {

using Bytes = std::vector<uint8_t>;

// A request in the client's byte order; done() fills in the length field from the bytes.
struct Request {
  Bytes bytes;
  bool big;
  explicit Request(bool big) : big(big) {}
  Request &b(uint32_t v);
  Request &s(uint32_t v);
  Request &i(uint32_t v);
  Request &text(const std::string &t);  // the bytes, padded to 4
  Bytes done() const;
};

uint32_t get(const Bytes &m, size_t at, size_t size, bool big);

// What X-Resource says the real server holds for a connection: counts by type name ("GC",
// "PIXMAP", "FONT", "COLORMAP" ...) of the client owning the id.
std::map<std::string, uint32_t> serverResourceCounts(Display *display, uint32_t clientId);

struct HarnessOptions {
  std::vector<std::string> screens{"320x240x24", "320x240x24"};
  uint32_t emulatedVisuals = 0;  // per head (xemulation.h mask bits)
  // Not empty: the test relay runs in front of the Xvfb with these options, and the heads are
  // opened through it.
  std::vector<std::string> relayOptions;
};

class CoreRequestTest : public ::testing::Test {
 protected:
  bool big() const { return bigOrder; }
  bool bigOrder = false;  // the fake client's byte order: most significant byte first
  // The harness; tests with other screens override options().
  virtual HarnessOptions options() const { return {}; }

  void SetUp() override;
  void TearDown() override;

  // Hands one request to its handler as the cutter would.
  void send(const Bytes &request);
  // Lets every answer of the server so far be handled.
  void sync();
  // The messages the client received since the last call (replies by their length).
  std::vector<Bytes> messages();
  // The raw bytes the client received since the last read.
  Bytes received();
  uint32_t u16(const Bytes &m, size_t at) const { return get(m, at, 2, big()); }
  uint32_t u32(const Bytes &m, size_t at) const { return get(m, at, 4, big()); }
  uint32_t clientId(uint32_t n) const;
  bool logged(const std::string &part) const;
  // Sends the request and expects one error for it: the code, the bad value, the client's
  // sequence and the request's opcode.
  void expectError(const Bytes &request, uint8_t code, uint32_t badValue);
  // The requests written to the real server since the last sync and not sent yet (the
  // proxy's byte order), each whole.
  std::vector<Bytes> pendingRequests() const;
  // The counts the real server holds for the fake client's raw connection.
  std::map<std::string, uint32_t> serverCounts();

  XvfbServer xvfb;
  XrelayServer relay;  // running when the options asked for it
  MetaScreen *screen = nullptr;
  std::vector<Head *> heads;
  Display *judge = nullptr;
  ClientConnection *client = nullptr;
  DisplayConnection *connection = nullptr;
  int peer = -1;
};

// The harness run in both byte orders (the parameter: most significant byte first).
class CoreRequestOrderTest : public CoreRequestTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    bigOrder = GetParam();
    CoreRequestTest::SetUp();
  }
};

}  // namespace corerequests
