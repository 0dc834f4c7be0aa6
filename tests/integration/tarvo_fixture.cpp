#include "tarvo_fixture.h"

#include <algorithm>

#include "xvfb_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

long long nowMs() { return xvfbNowMs(); }

std::string makeDirectory() {
  char templateText[] = "/tmp/tarvo-test-XXXXXX";
  return mkdtemp(templateText) ? templateText : "";
}

std::string substituted(std::string word, const std::string &display, const std::string &log) {
  for (size_t at; (at = word.find("%D")) != std::string::npos;) word.replace(at, 2, display);
  for (size_t at; (at = word.find("%L")) != std::string::npos;) word.replace(at, 2, log);
  return word;
}

int decodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

// Forks and execs the vector with the environment; stdout and stderr go to outputPath. The
// child's signal mask is emptied and SIGUSR1 ignored or defaulted as asked.
pid_t spawn(const std::vector<std::string> &words, const std::vector<std::string> &environment,
            const std::string &outputPath, bool ignoreUsr1) {
  std::vector<char *> argv, envp;
  for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  for (const std::string &e : environment) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) return -1;
  sigset_t empty;
  sigemptyset(&empty);
  pid_t pid = fork();
  if (pid == 0) {
    ::signal(SIGUSR1, ignoreUsr1 ? SIG_IGN : SIG_DFL);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    dup2(out, 1);
    dup2(out, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  return pid;
}

// The current environment without the tarvo variables and the display, plus the given ones.
std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>> &extra,
                                         const std::string &directory, bool setHome) {
  std::vector<std::string> env;
  for (char **e = environ; *e; e++) {
    std::string entry = *e;
    if (entry.rfind("TARVO_", 0) == 0 || entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("MWTProcessRequired=", 0) == 0)
      continue;
    // A given variable replaces the inherited one (getenv finds the first of two).
    bool replaced = false;
    for (const auto &given : extra) replaced = replaced || entry.rfind(given.first + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  if (setHome) env.push_back(std::string("TARVO_HOME=") + TARVO_SOURCE_DIR);
  env.push_back("TARVO_ETC=" + directory);
  env.push_back("TARVO_VAR=" + directory);
  for (const auto &[name, value] : extra) env.push_back(name + "=" + value);
  return env;
}

}  // namespace

void tarvoBlockSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGCHLD);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  timespec zero{};
  while (sigtimedwait(&set, nullptr, &zero) > 0) {
  }
}

// Every test executable lives in the tests directory of its build; tarvo is at the build's top.
// Found from the running executable, so that test objects do not depend on their build's path.
std::string tarvoBinary() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "tarvo";
  return (self.parent_path().parent_path() / "tarvo").string();
}

std::string tarvoReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ===== xtrace =====
namespace {
std::string xtraceLock(int number) { return "/tmp/.X" + std::to_string(number) + "-lock"; }
std::string xtraceSocket(int number) { return "/tmp/.X11-unix/X" + std::to_string(number); }
}  // namespace

std::string TarvoXtrace::start(const std::string &realDisplay, const std::string &tracePath) {
  stop();
  if (access("/usr/bin/xtrace", X_OK) != 0) return "no /usr/bin/xtrace";
  // A number without lock file and socket, taken by creating its lock file.
  for (int k = 0; k < 400 && !number_; k++) {
    int n = 600 + (getpid() + k) % 400;
    if (access(xtraceSocket(n).c_str(), F_OK) == 0) continue;
    int fd = open(xtraceLock(n).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0444);
    if (fd < 0) continue;
    char text[16];
    int length = snprintf(text, sizeof text, "%10d\n", int(getpid()));
    bool written = write(fd, text, size_t(length)) == length;
    close(fd);
    if (written) number_ = n;
    else unlink(xtraceLock(n).c_str());
  }
  if (!number_) return "no free display number for xtrace";
  pid_ = xrelaySpawn({"/usr/bin/xtrace", "-n", "-k", "-d", realDisplay, "-D", displayName(), "-o", tracePath});
  if (pid_ < 0) return std::string("cannot start xtrace: ") + strerror(errno);
  long long deadline = nowMs() + 5000;
  while (access(xtraceSocket(number_).c_str(), F_OK) != 0) {
    if (nowMs() >= deadline) return "xtrace made no socket";
    usleep(20000);
  }
  return "";
}

void TarvoXtrace::stop() {
  if (pid_ > 0) xrelayEnd(pid_);
  pid_ = -1;
  if (number_) {
    unlink(xtraceSocket(number_).c_str());
    unlink(xtraceLock(number_).c_str());
  }
  number_ = 0;
}
// ===== end of xtrace =====

bool tarvoSocketAnswers(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  bool answers = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

int tarvoRunToEnd(const std::vector<std::string> &words, const std::vector<std::pair<std::string, std::string>> &env,
                  bool setHome, std::string *output, const std::string &directory, int timeoutMs) {
  std::vector<std::string> argv{tarvoBinary()};
  argv.insert(argv.end(), words.begin(), words.end());
  std::string outputPath = directory + "/run-output.txt";
  pid_t pid = spawn(argv, environmentWith(env, directory, setHome), outputPath, true);
  if (pid <= 0) return -1;
  long long deadline = nowMs() + timeoutMs;
  int raw = 0, status = -1;
  for (;;) {
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      status = decodeStatus(raw);
      break;
    }
    if (nowMs() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &raw, 0);
      break;
    }
    usleep(10000);
  }
  *output = tarvoReadFile(outputPath);
  return status;
}

TarvoProcess::~TarvoProcess() {
  if (::testing::Test::HasFailure() && !directory_.empty()) {
    fprintf(stderr, "----- tarvo log (%s) -----\n%s\n----- tarvo output -----\n%s\n-----\n", logPath().c_str(),
            log().c_str(), output().c_str());
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  cleanUp();
}

void TarvoProcess::cleanUp() {
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
  directory_.clear();
}

std::string TarvoProcess::log() const { return tarvoReadFile(logPath()); }
std::string TarvoProcess::output() const { return tarvoReadFile(directory_ + "/output.txt"); }

std::string TarvoProcess::launch(const std::string &xvfbDisplay, const TarvoOptions &options) {
  displayNumber_ = xvfbUnusedDisplayNumber();
  if (displayNumber_ < 0) return "no free display number";
  std::vector<std::string> argv{tarvoBinary(), displayName()};
  std::vector<std::string> words = options.arguments;
  if (words.empty()) words = {"screen", "%D.0"};
  if (options.logging) {
    words.insert(words.end(), {"logDestination", "%L", "logTypes"});
    words.insert(words.end(), options.logTypes.begin(), options.logTypes.end());
  }
  if (options.noReset) words.insert(words.end(), {"noReset", "on"});
  words.insert(words.end(), options.trailing.begin(), options.trailing.end());
  for (const std::string &w : words) argv.push_back(substituted(w, xvfbDisplay, logPath()));
  status_ = -1;
  std::vector<std::string> env = environmentWith(options.environment, directory_, options.setHome);
  if (!options.parentLeaves) {
    pid_ = spawn(argv, env, directory_ + "/output.txt", options.ignoreUsr1);
    return pid_ > 0 ? "" : "fork failed";
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::string log = logPath();
  pid_t middle = fork();
  if (middle == 0) {
    close(fds[0]);
    pid_t proxy = spawn(argv, env, directory_ + "/output.txt", options.ignoreUsr1);
    ssize_t written = write(fds[1], &proxy, sizeof proxy);
    (void)written;
    for (int i = 0; i < 2000 && tarvoReadFile(log).find("Connecting to display") == std::string::npos; i++)
      usleep(10000);
    _exit(0);
  }
  close(fds[1]);
  pid_t proxy = -1;
  ssize_t got = read(fds[0], &proxy, sizeof proxy);
  close(fds[0]);
  if (middle > 0) waitpid(middle, nullptr, 0);
  pid_ = got == sizeof proxy ? proxy : -1;
  return pid_ > 0 ? "" : "fork failed";
}

std::string TarvoProcess::start(const std::string &xvfbDisplay, const TarvoOptions &options) {
  if (pid_ > 0) stop();
  cleanUp();
  directory_ = makeDirectory();
  if (directory_.empty()) return "mkdtemp failed";
  // A display number taken by another process between the choice and the listen: try again.
  for (int attempt = 0;; attempt++) {
    if (std::string e = launch(xvfbDisplay, options); !e.empty()) return e;
    if (!options.waitReady || options.parentLeaves) return "";
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGCHLD);
    long long deadline = nowMs() + 20000;
    for (;;) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = decodeStatus(raw);
        break;
      }
      long long left = deadline - nowMs();
      if (left <= 0) return "tarvo sent no ready signal within 20 s";
      timespec wait{time_t(left / 1000), long(left % 1000) * 1000000};
      siginfo_t info{};
      if (sigtimedwait(&set, &info, &wait) == SIGUSR1 && info.si_pid == pid_) return "";
    }
    std::string text = log();
    if (attempt < 3 && text.find("Can't establish listening port") != std::string::npos) continue;
    return "tarvo ended with status " + std::to_string(status_) + " before its ready signal:\n" + text + output();
  }
}

void TarvoProcess::signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

int TarvoProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return status_;
  long long deadline = nowMs() + timeoutMs;
  for (;;) {
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) == pid_) {
      pid_ = -1;
      status_ = decodeStatus(raw);
      return status_;
    }
    if (nowMs() >= deadline) return -1;
    usleep(5000);
  }
}

int TarvoProcess::stop() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  int status = wait(10000);
  if (status < 0) {
    kill(pid_, SIGKILL);
    status = wait(5000);
  }
  return status;
}

bool TarvoProcess::waitForLog(const std::string &text, int timeoutMs) {
  long long deadline = nowMs() + std::max(timeoutMs, kTarvoLogBoundMs);
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    if (nowMs() >= deadline) return false;
    usleep(20000);
  }
}

namespace {

// The Xvfb of the usual pair (+iglx when asked), and the options' words made those of the pair.
std::string startPairXvfb(XvfbServer &xvfb, int screens, const std::string &size, bool iglx, TarvoOptions &options) {
  XvfbOptions x;
  x.iglx = iglx;
  x.screens.assign(size_t(screens), size);
  x.extraArguments = {"-nolisten", "tcp"};
  if (options.arguments.empty()) options.arguments = {"screen", "%D.0"};
  if (screens > 1) options.arguments.insert(options.arguments.end(), {"tags", "anyScreen"});
  return xvfb.start(x);
}

}  // namespace

std::string tarvoStartOnScreens(XvfbServer &xvfb, TarvoProcess &tarvo, int screens, const std::string &size,
                                TarvoOptions options) {
  if (std::string failure = startPairXvfb(xvfb, screens, size, false, options); !failure.empty()) return failure;
  return tarvo.start(xvfb.displayName(), options);
}

std::string tarvoStartBehindXtrace(XvfbServer &xvfb, TarvoXtrace &xtrace, TarvoProcess &tarvo,
                                   const std::string &tracePath, int screens, const std::string &size, bool iglx,
                                   TarvoOptions options) {
  if (std::string failure = startPairXvfb(xvfb, screens, size, iglx, options); !failure.empty()) return failure;
  if (std::string failure = xtrace.start(xvfb.displayName(), tracePath); !failure.empty()) return failure;
  return tarvo.start(xtrace.displayName(), options);
}

std::string tarvoStartBehindRelay(XvfbServer &xvfb, XrelayServer &relay, TarvoProcess &tarvo,
                                  const std::string &capturePath, int screens, const std::string &size, bool iglx,
                                  TarvoOptions options) {
  if (std::string failure = startPairXvfb(xvfb, screens, size, iglx, options); !failure.empty()) return failure;
  if (std::string failure = relay.start(xvfb.displayName(), {"-capture", capturePath}); !failure.empty())
    return failure;
  return tarvo.start(relay.displayName(), options);
}

std::string tarvoStartOnGlxXvfb(XvfbServer &xvfb, TarvoProcess &tarvo) {
  XvfbOptions options;
  options.iglx = true;
  options.extraArguments = {"-nolisten", "tcp"};
  if (std::string failure = xvfb.start(options); !failure.empty()) return failure;
  return tarvo.start(xvfb.displayName());
}
