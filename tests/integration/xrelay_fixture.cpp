// Starts the test relay in front of a fixture X server and stops it again.
#include "xrelay_fixture.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "xvfb_fixture.h"

std::string XrelayServer::start(const std::string &upstreamName,
                                const std::vector<std::string> &options, int readyTimeoutMs) {
  stop();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  std::vector<std::string> arguments{"/usr/bin/python3", TARVO_SOURCE_DIR "/tests/relay/xrelay.py",
                                     "-upstream", upstreamName, "-displayfd",
                                     std::to_string(fds[1])};
  arguments.insert(arguments.end(), options.begin(), options.end());
  pid_t pid = xrelaySpawn(arguments, fds[1]);
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::string("cannot start the relay: ") + strerror(errno);
  }
  close(fds[1]);
  pid_ = pid;
  long long deadline = xvfbNowMs() + readyTimeoutMs;
  std::string text;
  while (text.find('\n') == std::string::npos) {
    long long left = deadline - xvfbNowMs();
    if (left <= 0) break;
    pollfd entry{fds[0], POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[64];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  size_t end = text.find('\n');
  if (end == std::string::npos || end == 0) {
    stop();
    return "the relay did not report a display";
  }
  displayName_ = ":" + text.substr(0, end);
  return "";
}

void XrelayServer::stop() {
  if (pid_ <= 0) return;
  xrelayEnd(pid_);
  pid_ = -1;
  displayName_.clear();
}

pid_t xrelaySpawn(const std::vector<std::string> &arguments, int inheritFd) {
  std::vector<std::string> copy = arguments;
  std::vector<char *> argv;
  for (std::string &argument : copy) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (argv.size() < 2) return -1;
  pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
  }
  if (inheritFd >= 0) fcntl(inheritFd, F_SETFD, 0);
  execv(argv[0], argv.data());
  _exit(127);
}

void xrelayEnd(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  long long deadline = xvfbNowMs() + 5000;
  for (;;) {
    int status;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) break;
    if (xvfbNowMs() >= deadline) {
      ::kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(10000);
  }
}

bool xrelayWaitForText(const std::string &path, const std::string &text, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    if (xrelayReadFile(path).find(text) != std::string::npos) return true;
    if (xvfbNowMs() >= deadline) return false;
    usleep(20000);
  }
}

std::string xrelayReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string xrelayTempDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/xrelay-test-XXXXXX";
  if (!mkdtemp(pattern.data())) return "";
  return pattern;
}

std::string xrelayRun(const std::string &command, int *status) {
  std::string output;
  FILE *pipe = popen(("timeout 120 " + command).c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int rc = pclose(pipe);
  if (status) *status = rc;
  return output;
}

std::vector<std::vector<unsigned char>> xrelayAnsweredSince(const std::string &log, size_t from) {
  std::vector<std::vector<unsigned char>> requests;
  std::istringstream lines(from < log.size() ? log.substr(from) : std::string());
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find(" bytes ");
    if (at == std::string::npos) continue;
    std::vector<unsigned char> bytes;
    for (size_t i = at + 7; i + 1 < line.size(); i += 2) {
      bytes.push_back(static_cast<unsigned char>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    if (!bytes.empty() && bytes[0] >= 128) requests.push_back(bytes);
  }
  return requests;
}

uint16_t xrelayCard16(const std::vector<unsigned char> &bytes, size_t offset) {
  uint16_t value = 0;
  if (offset + 2 <= bytes.size()) memcpy(&value, bytes.data() + offset, 2);
  return value;
}

uint32_t xrelayCard32(const std::vector<unsigned char> &bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= bytes.size()) memcpy(&value, bytes.data() + offset, 4);
  return value;
}

XrelayEventWindow::~XrelayEventWindow() {
  xrelayEnd(pid_);
  if (!path_.empty()) unlink(path_.c_str());
}

std::string XrelayEventWindow::start(const std::string &displayName, const std::string &dir) {
  path_ = dir + "/events";
  pid_ = xrelaySpawn({"/usr/bin/python3", TARVO_SOURCE_DIR "/tests/relay/event_window.py",
                      displayName, path_});
  if (pid_ < 0) return "cannot start the event window";
  return xrelayWaitForText(path_, "ready\n", 20000) ? "" : "the event window did not start";
}

bool XrelayEventWindow::saw(const std::string &line, int timeoutMs) {
  return xrelayWaitForText(path_, line + "\n", timeoutMs);
}

std::vector<std::string> XrelayEventWindow::lines() {
  std::vector<std::string> result;
  std::string text = xrelayReadFile(path_);
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = text.substr(position, end - position);
    if (line != "ready") result.push_back(line);
    position = end + 1;
  }
  return result;
}
