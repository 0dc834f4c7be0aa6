#include "loop_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "proxy/connections.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"
#include "xvfb_fixture.h"

namespace {

std::vector<std::string> logLines;

void keepLine(LogChannel *, const char *, int, const char *message) { logLines.emplace_back(message); }

void drain(int fd, std::string &text) {
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(got));
}

}  // namespace

void loopCaptureLog() {
  static bool logReady = false;
  if (!logReady) {
    logInit(0, nullptr, "test", "test");
    logReady = true;
  }
  for (LogChannel *channel : {logChannelXclient, logChannelXhint, logChannelWarning, logChannelStep, logChannelNote,
                              logChannelProblem})
    logEnableChannel(channel);
  logLines.clear();
  logOutputHook = keepLine;
}

void loopReleaseLog() { logOutputHook = logEmit; }

std::vector<std::string> &loopLogLines() { return logLines; }

bool loopLogged(const std::string &part) {
  for (const std::string &line : logLines)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

int loopRunProgram(const std::vector<std::string> &argv, const std::string &display, std::string *output,
                   int timeoutMs, const std::function<void()> &pump) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    setenv("DISPLAY", display.c_str(), 1);
    execvp(args[0], args.data());
    _exit(127);
  }
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return -1;
  }
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  std::string text;
  int status = 0;
  bool ended = false;
  long long deadline = xvfbNowMs() + timeoutMs;
  while (!ended && xvfbNowMs() < deadline) {
    pump();
    drain(pipeFds[0], text);
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  drain(pipeFds[0], text);
  ::close(pipeFds[0]);
  if (output) *output = text;
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void LoopHarness::pump(int ms) { ordersStep(uint64_t(ms)); }

bool LoopHarness::runUntil(const std::function<bool()> &done, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  while (!done()) {
    if (xvfbNowMs() > deadline) return false;
    pump(2);
  }
  return true;
}

int LoopHarness::run(const std::vector<std::string> &argv, std::string *output, int timeoutMs,
                     const std::string &display) {
  return loopRunProgram(argv, display.empty() ? displayName() : display, output, timeoutMs, [this] { pump(2); });
}

std::string LoopHarness::connect(RawClient &client, char order, int timeoutMs) {
  client.setPump([this] { pump(1); });
  return client.connect(displayNumber_, order, timeoutMs);
}

void LoopHarness::closeClientsAndListeners() {
  while (xproxyClients) {
    xproxyClients->closingForReset = 1;
    xproxyCloseClient(xproxyClients, "end of test", 0);
  }
  xproxyCloseListeners();
  // The raw connections of clients the test closed earlier depart no further, and the idle
  // orders that end themselves once no client is left (the closer of ended clients, the
  // dispatcher of turns) do so: nothing points at an order that the harness's stop frees.
  xproxyEndDepartures();
  ordersStep(0);
}
