// Runs the tarvo executable of this build directory as its own process against an Xvfb: on a
// free display number, TARVO_HOME the checkout, TARVO_ETC and TARVO_VAR a temporary directory,
// started with SIGUSR1 ignored so that it signals its readiness with SIGUSR1; stopped by
// SIGTERM. The log file is printed when the test has failed.
//
// The test process keeps SIGUSR1 and SIGCHLD blocked (tarvoBlockSignals) so that the waits
// can take them with sigtimedwait.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class XrelayServer;
class XvfbServer;

struct TarvoOptions {
  // Words after ":M"; "%D" becomes the Xvfb's display name (":N"), "%L" the log file. Empty:
  // "screen %D.0".
  std::vector<std::string> arguments;
  bool logging = true;          // "logDestination %L logTypes steps" (the words below added)
  std::vector<std::string> logTypes{"steps"};
  bool noReset = true;          // "noReset on"
  bool ignoreUsr1 = true;       // the child starts with SIGUSR1 ignored (it signals readiness)
  bool waitReady = true;        // start() waits for the ready signal
  bool setHome = true;          // TARVO_HOME
  std::vector<std::pair<std::string, std::string>> environment;  // more variables
  // Started through an intermediate process that ends once the proxy connects to its display:
  // the test process (made a subreaper) becomes the proxy's parent, but is not the one that
  // started it. Implies no wait for the ready signal.
  bool parentLeaves = false;
  // Words after all others (a serverCommand takes every word to the end).
  std::vector<std::string> trailing;
};

class TarvoProcess {
 public:
  TarvoProcess() = default;
  TarvoProcess(const TarvoProcess &) = delete;
  TarvoProcess &operator=(const TarvoProcess &) = delete;
  ~TarvoProcess();

  // Starts tarvo for the Xvfb display name (":N"). With waitReady: "" once the ready signal
  // came from it (20 s at most); the failure (with the log) when it ended first. Without it:
  // "" once the process runs.
  std::string start(const std::string &xvfbDisplay, const TarvoOptions &options = TarvoOptions{});
  // SIGTERM, then the exit status (stop() twice gives the first status).
  int stop();
  // Waits for the process to end: its status (128 + signal when a signal ended it), or -1 when
  // it still runs after timeoutMs.
  int wait(int timeoutMs);
  void signal(int number);
  // Waits until the log holds the text (polling); false after timeoutMs, which is taken as at
  // least kTarvoLogBoundMs: a line that is due may come late on a busy two-core machine, and a
  // wait that sees it returns at once (every caller expects the line).
  bool waitForLog(const std::string &text, int timeoutMs);
  static constexpr int kTarvoLogBoundMs = 30000;

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  int displayNumber() const { return displayNumber_; }
  std::string displayName() const { return ":" + std::to_string(displayNumber_); }
  std::string socketPath() const { return "/tmp/.X11-unix/X" + std::to_string(displayNumber_); }
  const std::string &directory() const { return directory_; }
  std::string logPath() const { return directory_ + "/tarvo.log"; }
  std::string log() const;         // the log file
  std::string output() const;      // what it wrote to stdout and stderr
  int status() const { return status_; }

 private:
  std::string launch(const std::string &xvfbDisplay, const TarvoOptions &options);
  void cleanUp();

  pid_t pid_ = -1;
  int displayNumber_ = -1;
  int status_ = -1;
  std::string directory_;
};

// Blocks SIGUSR1 and SIGCHLD in the calling thread (before any other thread exists) and drops
// pending ones. The tests' main thread calls it once.
void tarvoBlockSignals();
// The tarvo binary of this build directory.
std::string tarvoBinary();
// Runs tarvo with the words to its end (no display, no readiness): the status, with stdout and
// stderr in *output.
int tarvoRunToEnd(const std::vector<std::string> &words, const std::vector<std::pair<std::string, std::string>> &env,
                  bool setHome, std::string *output, const std::string &directory, int timeoutMs = 20000);
// Whether anything answers on the unix socket path.
bool tarvoSocketAnswers(const std::string &path);
// Reads a whole file ("" when missing).
std::string tarvoReadFile(const std::string &path);

// The usual pair of a tarvo test: an Xvfb of `screens` screens of the given size (-nolisten tcp)
// and tarvo on it with the options, its screens joined into one meta screen by "tags
// anyScreen" when there are several ("screen %D.0" when the options name no arguments). "" or
// the failure.
std::string tarvoStartOnScreens(XvfbServer &xvfb, TarvoProcess &tarvo, int screens, const std::string &size,
                                TarvoOptions options = TarvoOptions{});
// An Xvfb of its default screen with indirect GLX (+iglx, for GLX clients) and tarvo on it with
// its defaults: "" or the failure.
std::string tarvoStartOnGlxXvfb(XvfbServer &xvfb, TarvoProcess &tarvo);

// xtrace (/usr/bin/xtrace) between a real display and a display number of its own, reserved by
// a lock file as an X server reserves one (an Xvfb started meanwhile passes it by), its trace
// written to a file. Stopped, its lock and socket removed, when the record goes.
class TarvoXtrace {
 public:
  TarvoXtrace() = default;
  TarvoXtrace(const TarvoXtrace &) = delete;
  TarvoXtrace &operator=(const TarvoXtrace &) = delete;
  ~TarvoXtrace() { stop(); }

  // Starts it towards realDisplay (":N"): "" once its socket is there (5 s at most), else what
  // went wrong.
  std::string start(const std::string &realDisplay, const std::string &tracePath);
  void stop();
  // The display that traces (":M").
  std::string displayName() const { return ":" + std::to_string(number_); }

 private:
  pid_t pid_ = -1;
  int number_ = 0;
};

// tarvoStartOnScreens's pair with xtrace between them: the Xvfb (+iglx when iglx), xtrace on it
// writing its trace to tracePath, and tarvo on xtrace's display with the options ("screen
// %D.0" when they name no arguments, "tags anyScreen" added for several screens). "" or the
// failure.
std::string tarvoStartBehindXtrace(XvfbServer &xvfb, TarvoXtrace &xtrace, TarvoProcess &tarvo,
                                   const std::string &tracePath, int screens, const std::string &size,
                                   bool iglx = false, TarvoOptions options = TarvoOptions{});
// The same with the capturing relay (tests/relay/xrelay.py -capture) in xtrace's place, writing
// what passes to capturePath.
std::string tarvoStartBehindRelay(XvfbServer &xvfb, XrelayServer &relay, TarvoProcess &tarvo,
                                  const std::string &capturePath, int screens, const std::string &size,
                                  bool iglx = false, TarvoOptions options = TarvoOptions{});
