// An Xvfb whose two screens are the two heads of one meta screen, with the proxy's root windows
// made, and a fake client: a client record with a real display connection whose output is read
// from a socketpair, in the byte order of the test parameter (true: most significant byte
// first). Requests are handed to the dispatch table as the cutter would, the server's answers
// are handled through the event loop, and what reaches the client is read back as messages.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

struct ClientConnection;
struct DisplayConnection;
struct Head;
struct MetaScreen;

// The log lines written since the fixture's set-up (channels Xhint, warning, Xclient, Xerror,
// problem and step).
std::vector<std::string> &twoHeadLogLines();
bool twoHeadLogged(const std::string &part);

// A request handler that writes the request to the server as it is (a header and whole
// 32-bit words, swapped for a client of the other byte order): for requests whose errors a
// test wants from the server.
void twoHeadPassOn(uint8_t *request, uint32_t length);

class TwoHeadTest : public ::testing::TestWithParam<bool> {
 protected:
  bool big() const { return GetParam(); }
  void SetUp() override;
  void TearDown() override;
  // Runs after the core dispatch tables are written, before the heads are opened.
  virtual void installHandlers() {}

  // Hands one request to its handler as the cutter would (counted in the client's sequence).
  void send(const RawBytes &request);
  // Lets every answer of the server so far be handled.
  void sync();
  // Everything the client received so far, and the same cut into messages.
  RawBytes received();
  std::vector<RawBytes> messages();
  // The one reply or error the request brings (a test failure when it brings another count);
  // written receives the number of requests the handler wrote to the server.
  RawBytes answer(const RawBytes &request, uint32_t *written = nullptr);
  uint32_t u8(const RawBytes &m, size_t at) const { return m.at(at); }
  uint32_t u16(const RawBytes &m, size_t at) const { return rawGet16(m, at, big()); }
  uint32_t u32(const RawBytes &m, size_t at) const { return rawGet32(m, at, big()); }
  uint32_t clientId(uint32_t n) const;
  uint32_t requestsSent() const;
  RawRequest request() const { return RawRequest(big()); }

  XvfbServer xvfb;
  // Set before SetUp (in the test's constructor): the test relay runs in front of the Xvfb with
  // these options, and the heads are opened through it.
  std::vector<std::string> relayOptions;
  XrelayServer relay;
  MetaScreen *screen = nullptr;
  std::vector<Head *> heads;
  Display *judge = nullptr;  // a plain Xlib connection to the Xvfb
  ClientConnection *client = nullptr;
  DisplayConnection *connection = nullptr;
  int peer = -1;

 private:
  void openClient();
};
