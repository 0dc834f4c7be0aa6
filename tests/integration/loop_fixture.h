// Pieces shared by the harnesses that run the proxy's event loop in the test's own thread:
// the proxy's log kept in memory, and a client program run while the loop keeps going.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rawclient_fixture.h"

// Initialises the log once per process, enables every channel and keeps each line from now
// on (the earlier lines are dropped); loopReleaseLog gives the output back to the log.
void loopCaptureLog();
void loopReleaseLog();
std::vector<std::string> &loopLogLines();
// Whether a kept line contains `part`.
bool loopLogged(const std::string &part);

// Runs a program with DISPLAY=display, calling pump() meanwhile; its standard output goes to
// *output. The exit status, or -1 when it did not end within timeoutMs (it is killed then).
int loopRunProgram(const std::vector<std::string> &argv, const std::string &display, std::string *output,
                   int timeoutMs, const std::function<void()> &pump);

// What the in-process harnesses share: the proxy's display number, one step of its event loop,
// and clients run or connected while the loop keeps going.
// What an awaited event may take on a busy two-core machine (other tests, busy loops on the
// same cores): a bound for a failure only, a passing test goes on as soon as the event came.
constexpr int kLoopEventBoundMs = 30000;

class LoopHarness {
 public:
  int displayNumber() const { return displayNumber_; }
  std::string displayName() const { return ":" + std::to_string(displayNumber_); }

  // One step of the event loop, waiting at most `ms` for something to happen.
  void pump(int ms = 2);
  // Pumps until done() holds; false after timeoutMs.
  bool runUntil(const std::function<bool()> &done, int timeoutMs);
  // Runs a program with DISPLAY=display (the proxy's by default), pumping the loop meanwhile;
  // see loopRunProgram.
  int run(const std::vector<std::string> &argv, std::string *output, int timeoutMs = 20000,
          const std::string &display = "");
  // Connects a raw client to the proxy, pumping while it waits.
  std::string connect(RawClient &client, char order, int timeoutMs = 10000);
  // Closes every client (as a reset would: no further reset asked for) and the listeners, and
  // ends the departures of those closed before.
  static void closeClientsAndListeners();

 protected:
  int displayNumber_ = -1;
};
