// Starts a private Xvfb for one test and stops it again, also when the test fails. The server
// is killed when the thread that started it ends.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

struct XvfbOptions {
  std::vector<std::string> screens{"1024x768x24"};  // one "WxHxD" per screen
  bool iglx = false;                                // +iglx for indirect GLX contexts
  int displayNumber = -1;                           // -1: Xvfb picks a free one
  std::vector<std::string> extraArguments;
  int readyTimeoutMs = 20000;
};

// Stops the process with SIGSTOP and returns once it has stopped: the signal takes effect when
// the process is next scheduled, and on a busy machine it may still answer a request after
// kill() returned. False when it did not stop within 10 s.
bool xvfbStopProcess(pid_t pid);

class XvfbServer {
 public:
  XvfbServer() = default;
  XvfbServer(const XvfbServer &) = delete;
  XvfbServer &operator=(const XvfbServer &) = delete;
  ~XvfbServer() { stop(); }

  // Starts the server and waits until XOpenDisplay succeeds on it. Returns "" on success,
  // else what went wrong.
  std::string start(const XvfbOptions &options = XvfbOptions{});
  // Ends the server (SIGTERM, then SIGKILL after a while) and reaps it; safe to repeat.
  void stop();
  // Ends the server at once with SIGKILL, as a crash would.
  void kill();

  // Stops and continues the server (SIGSTOP, SIGCONT): it neither reads nor answers meanwhile
  // (suspend returns once it has stopped: xvfbStopProcess).
  void suspend();
  void resume();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int displayNumber() const { return displayNumber_; }
  const std::string &displayName() const { return displayName_; }

 private:
  void reap(int timeoutMs);

  pid_t pid_ = -1;
  int displayNumber_ = -1;
  std::string displayName_;
};

// A display number that nothing listens on right now (no socket, no lock file), chosen from
// a high range so that servers picking their own number do not take it soon.
int xvfbUnusedDisplayNumber();

// Writes an authority file (created anew, mode 0600) with one MIT-MAGIC-COOKIE-1 entry for
// local connections to display number n on this host. "" on success.
std::string xvfbWriteCookieFile(const std::string &path, int displayNumber, const std::string &cookie);

// Milliseconds on the monotonic clock.
long long xvfbNowMs();

// An I/O-error exit handler (XSetIOErrorExitHandler) for tests that kill a server and go on
// using its Display: Xlib calls it with its display lock released and its user lock taken, and
// the call that found the break releases the display lock again once the handler returns.
// This one gives the user lock back and takes the display lock, so that the lock stays
// balanced however many calls find the break (Xlib's own handlers exit instead).
struct _XDisplay;
void xvfbReturnFromIOError(struct _XDisplay *display, void *unused);
