// Starts the test relay (tests/relay/xrelay.py) in front of a fixture X server and stops it
// again, also when the test fails. The relay dies with the thread that started it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

class XrelayServer {
 public:
  XrelayServer() = default;
  XrelayServer(const XrelayServer &) = delete;
  XrelayServer &operator=(const XrelayServer &) = delete;
  ~XrelayServer() { stop(); }

  // Starts the relay towards upstreamName (":N") with the given extra options (-emulate ...,
  // -log ...) and waits until it reports its display. "" on success, else what went wrong.
  std::string start(const std::string &upstreamName,
                    const std::vector<std::string> &options = {}, int readyTimeoutMs = 20000);
  // SIGTERM, then SIGKILL after a while; safe to repeat.
  void stop();

  bool running() const { return pid_ > 0; }
  const std::string &displayName() const { return displayName_; }

 private:
  pid_t pid_ = -1;
  std::string displayName_;
};

// Starts a program (full path first) with standard input and output on /dev/null, keeping
// inheritFd open across the exec when given; it dies with the thread that started it. Returns
// its process id, -1 when the fork failed.
pid_t xrelaySpawn(const std::vector<std::string> &arguments, int inheritFd = -1);
// SIGTERM, then SIGKILL after a while, and reaps the process.
void xrelayEnd(pid_t pid);
// Waits until the file contains the text; false after timeoutMs.
bool xrelayWaitForText(const std::string &path, const std::string &text, int timeoutMs);
// The whole content of a file ("" when it cannot be read).
std::string xrelayReadFile(const std::string &path);
// A fresh private directory under the temporary directory, for logs.
std::string xrelayTempDir();
// Runs a shell command (built from our own display names) under a time-out and returns its
// standard output; *status gets pclose's status when given.
std::string xrelayRun(const std::string &command, int *status = nullptr);
// The bytes of the extension requests (major 128 and above) that the relay answered itself,
// from its log text after the first `from` bytes.
std::vector<std::vector<unsigned char>> xrelayAnsweredSince(const std::string &log, size_t from);
// Native-order fields of logged request bytes (0 beyond the end).
uint16_t xrelayCard16(const std::vector<unsigned char> &bytes, size_t offset);
uint32_t xrelayCard32(const std::vector<unsigned char> &bytes, size_t offset);

// A python3-xlib window (tests/relay/event_window.py) over screen 0 of a real server, holding
// the input focus and reporting the key, button and motion events it gets to a file.
class XrelayEventWindow {
 public:
  XrelayEventWindow() = default;
  XrelayEventWindow(const XrelayEventWindow &) = delete;
  XrelayEventWindow &operator=(const XrelayEventWindow &) = delete;
  ~XrelayEventWindow();

  // Starts the window on displayName with its report in dir; "" once it holds the focus.
  std::string start(const std::string &displayName, const std::string &dir);
  // Waits until the report holds that line.
  bool saw(const std::string &line, int timeoutMs = 10000);
  // The report's lines after "ready", as far as written now.
  std::vector<std::string> lines();

 private:
  pid_t pid_ = -1;
  std::string path_;
};
