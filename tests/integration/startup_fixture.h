// The start-up harness: does by hand what the proxy's start-up does - screens and meta screens
// from configuration statements, the limits, the Xlib hooks, the real display opened through
// its heads, the visuals adjusted, the proxy's windows created on every head, listeners on a
// free display number - and runs the event loop in the test's own thread with the proxy's own
// dispatch rows, so that clients get the proxy's own connection setup reply.
//
// One harness at a time per process: the proxy's state is process-wide.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "loop_fixture.h"
#include "xvfb_fixture.h"

struct StartupOptions {
  XvfbOptions xvfb;
  // Configuration statements, one word per entry; "%D" in a word becomes the Xvfb's display
  // name (":N"). Empty: one screen per Xvfb screen, all in one meta screen.
  std::vector<std::string> statements;
  // Properties set on the real roots before start-up: (screen, name, value) as STRING.
  struct RootProperty {
    int screen;
    std::string name, value;
  };
  std::vector<RootProperty> rootProperties;
};

class StartupProxy : public LoopHarness {
 public:
  StartupProxy() = default;
  StartupProxy(const StartupProxy &) = delete;
  StartupProxy &operator=(const StartupProxy &) = delete;
  ~StartupProxy() { stop(); }

  // Starts Xvfb and runs start-up. "" on success; otherwise the failure (Xvfb, the
  // configuration, a head, the visual adjustment or the root windows) - the harness still
  // needs stop(), which the destructor does.
  std::string start(const StartupOptions &options = StartupOptions{});
  // Closes every client, frees every record of the proxy and stops Xvfb; safe to repeat.
  void stop();

  XvfbServer &xvfb() { return xvfb_; }

 private:
  XvfbServer xvfb_;
  std::string directory_;
  bool started_ = false;
};
