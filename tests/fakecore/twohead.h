// Two heads of one meta screen, made of the two screens of a private Xvfb, with the proxy's
// dispatch tables, limits, visuals and root windows; and one client of the proxy with a real
// display connection to that Xvfb, its output read back from a socketpair. The event loop runs
// in the test's own thread (sync pumps it). One at a time per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#undef min
#undef max

#include "xvfb_fixture.h"

struct ClientConnection;
struct DisplayConnection;
struct Head;
struct MetaScreen;

class TwoHeadProxy {
 public:
  using Bytes = std::vector<uint8_t>;
  TwoHeadProxy() = default;
  TwoHeadProxy(const TwoHeadProxy &) = delete;
  TwoHeadProxy &operator=(const TwoHeadProxy &) = delete;
  ~TwoHeadProxy() { stop(); }

  // Xvfb with two screens of the size, the dispatch tables (call `rows` after they are set up,
  // to put test rows in), the heads and root windows, and a judge display. "" on success.
  std::string start(const std::string &screenSize = "320x240x24", void (*rows)() = nullptr);
  // The client, in most-significant-byte-first order when big, with its display connection
  // set up. "" on success.
  std::string openClient(bool big);
  void stop();

  // Lets every answer of the server so far be handled.
  void sync();
  // What the client received so far, and the same cut into messages.
  Bytes received();
  std::vector<Bytes> messages();
  uint32_t u16(const Bytes &m, size_t at) const;
  uint32_t u32(const Bytes &m, size_t at) const;
  uint32_t clientId(uint32_t n) const;

  XvfbServer xvfb;
  MetaScreen *screen = nullptr;
  std::vector<Head *> heads;
  Display *judge = nullptr;
  ClientConnection *client = nullptr;
  DisplayConnection *connection = nullptr;
  int peer = -1;
  bool big = false;

 private:
  bool started_ = false;
};
