// The pass-through harness: the proxy's event loop runs in the test's own thread, listening on
// a free display number, with a private Xvfb as its one real display. Its rows forward every
// request of a client that sends least significant byte first unchanged on the client's first
// display connection (but SetCloseDownMode, whose mode the proxy keeps itself) and write every
// reply, event and error back under the client's sequence number; the real server's setup
// reply goes to the client as it stands (swapped for a client that sends most significant byte
// first, whose requests are not forwarded). The proxy's own round trips (request key 127) keep
// their handler.
//
// One harness at a time per process: the proxy's state is process-wide.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "loop_fixture.h"
#include "xvfb_fixture.h"

class PassthroughProxy : public LoopHarness {
 public:
  PassthroughProxy() = default;
  PassthroughProxy(const PassthroughProxy &) = delete;
  PassthroughProxy &operator=(const PassthroughProxy &) = delete;
  ~PassthroughProxy() { stop(); }

  // Starts Xvfb and the proxy. "" on success, else what went wrong.
  std::string start(const XvfbOptions &options = XvfbOptions{});
  // Closes every client, the listeners and the real display, and stops Xvfb; safe to repeat.
  void stop();

  XvfbServer &xvfb() { return xvfb_; }

  // Log lines of the proxy since start (every channel).
  const std::vector<std::string> &log() const;
  // Whether a logged line contains `part`.
  bool logged(const std::string &part) const;
  void clearLog();

 private:
  XvfbServer xvfb_;
  std::string directory_;
  bool started_ = false;
};

// The number of clients the proxy lists.
unsigned passthroughClientCount();
// GenericEvents the real server sent to the proxy's clients since start.
uint64_t passthroughGenericEvents();
