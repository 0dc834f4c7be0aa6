// Starts a private Xvfb for one test and stops it again.
#include "xvfb_fixture.h"

#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xauth.h>
#include <X11/Xlib.h>
#include <X11/Xlibint.h>

void xvfbReturnFromIOError(Display *display, void *) {
  XUnlockDisplay(display);  // the user lock _XIOError took
  LockDisplay(display);     // released by the call that found the break
}

long long xvfbNowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

bool socketAnswers(const std::string &path, bool abstract) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
  memcpy(address.sun_path + offset, path.data(), path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  bool answers = connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
  close(fd);
  return answers;
}

bool displayInUse(int number) {
  std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
  std::string lockPath = "/tmp/.X" + std::to_string(number) + "-lock";
  struct stat status;
  if (stat(lockPath.c_str(), &status) == 0 || stat(socketPath.c_str(), &status) == 0) return true;
  return socketAnswers(socketPath, true);
}

// Reads the display number that Xvfb writes to its -displayfd descriptor.
bool readDisplayNumber(int fd, long long deadlineMs, int *number, std::string *error) {
  std::string text;
  for (;;) {
    long long left = deadlineMs - xvfbNowMs();
    if (left <= 0) {
      *error = "Xvfb did not report its display in time";
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[64];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "Xvfb ended before it reported a display";
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
    size_t end = text.find('\n');
    if (end != std::string::npos) {
      text.resize(end);
      char *after = nullptr;
      long value = strtol(text.c_str(), &after, 10);
      if (text.empty() || *after || value < 0 || value > 65535) {
        *error = "Xvfb reported a strange display: " + text;
        return false;
      }
      *number = static_cast<int>(value);
      return true;
    }
  }
}

}  // namespace

int xvfbUnusedDisplayNumber() {
  std::random_device seed;
  std::mt19937 generator(seed());
  std::uniform_int_distribution<int> pick(1000, 29999);
  for (int attempt = 0; attempt < 200; attempt++) {
    int number = pick(generator);
    if (!displayInUse(number)) return number;
  }
  return -1;
}

std::string XvfbServer::start(const XvfbOptions &options) {
  stop();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);

  // Everything the child needs is built before the fork.
  std::vector<std::string> arguments{"Xvfb"};
  if (options.displayNumber >= 0) arguments.push_back(":" + std::to_string(options.displayNumber));
  // -noreset: the readiness probe below is the last client to leave, and a reset then would
  // refuse the test's first connection for a moment.
  arguments.insert(arguments.end(),
                   {"-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-noreset"});
  for (size_t i = 0; i < options.screens.size(); i++) {
    arguments.insert(arguments.end(), {"-screen", std::to_string(i), options.screens[i]});
  }
  if (options.iglx) arguments.push_back("+iglx");
  arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
  std::vector<char *> argv;
  for (std::string &argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const char *program = "/usr/bin/Xvfb";
  if (access(program, X_OK) != 0) program = "Xvfb";

  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::string("fork: ") + strerror(errno);
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec. The server dies with the thread that started
    // it, so a crashed test leaves no server behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    fcntl(fds[1], F_SETFD, 0);
    execvp(program, argv.data());
    _exit(127);
  }
  close(fds[1]);
  pid_ = pid;
  long long deadline = xvfbNowMs() + options.readyTimeoutMs;
  std::string error;
  int number = -1;
  bool reported = readDisplayNumber(fds[0], deadline, &number, &error);
  close(fds[0]);
  if (!reported) {
    stop();
    return error;
  }
  displayNumber_ = number;
  displayName_ = ":" + std::to_string(number);

  // The server answers once a connection can be opened.
  while (xvfbNowMs() < deadline) {
    Display *display = XOpenDisplay(displayName_.c_str());
    if (display) {
      XCloseDisplay(display);
      return "";
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "Xvfb ended before it answered";
    }
    usleep(50000);
  }
  stop();
  return "Xvfb did not answer in time on " + displayName_;
}

void XvfbServer::reap(int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      pid_ = -1;
      return;
    }
    if (xvfbNowMs() >= deadline) return;
    usleep(10000);
  }
}

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  reap(5000);
  if (pid_ > 0) kill();
}

void XvfbServer::suspend() {
  if (pid_ > 0) xvfbStopProcess(pid_);
}

bool xvfbStopProcess(pid_t pid) {
  if (::kill(pid, SIGSTOP) != 0) return false;
  for (int i = 0; i < 10000; i++) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');  // the state follows the command name in parentheses
    if (close != std::string::npos && close + 2 < text.size() && (text[close + 2] == 'T' || text[close + 2] == 't'))
      return true;
    usleep(1000);
  }
  return false;
}

void XvfbServer::resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void XvfbServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  reap(10000);
  pid_ = -1;
}

std::string xvfbWriteCookieFile(const std::string &path, int displayNumber, const std::string &cookie) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!f) {
    if (fd >= 0) close(fd);
    return "cannot create " + path;
  }
  std::string number = std::to_string(displayNumber);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  Xauth entry{};
  entry.family = FamilyLocal;
  entry.address = host;
  entry.address_length = uint16_t(strlen(host));
  entry.number = number.data();
  entry.number_length = uint16_t(number.size());
  entry.name = const_cast<char *>("MIT-MAGIC-COOKIE-1");
  entry.name_length = 18;
  entry.data = const_cast<char *>(cookie.data());
  entry.data_length = uint16_t(cookie.size());
  bool written = XauWriteAuth(f, &entry) == 1;
  return fclose(f) == 0 && written ? "" : "cannot write " + path;
}
