// Child processes, process attributes, signal handler stacks and shell pipes.
#include "support/process.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/logging.h"
#include "support/strings.h"

namespace {

constexpr int kLastResetSignal = 34;
constexpr size_t kShellCommandMax = 8192;
constexpr size_t kExitOutputMax = 8192;
constexpr long kExitOutputShown = 1024;

struct ProcessSignalStack {
  int count;
  ProcessSignalHandler first;  // installed before the first push
  ProcessSignalHandler handlers[kProcessSignalStackDepth];
};

ProcessSignalStack processSignalStacks[NSIG];

struct ProcessStreamChild {
  FILE *stream;
  pid_t pid;  // 0 ends the array
};

// Heap array ended by a pair with pid 0; NULL while no stream is open. Used by one thread.
ProcessStreamChild *processStreamChildren;

volatile sig_atomic_t processSignalAwaited;

void processSignalClear(int) {
  processSignalAwaited = 0;
}

// In a fresh child: default actions for the ordinary signals and nothing blocked.
// Async-signal-safe.
void processResetSignals() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int s = 1; s <= kLastResetSignal; s++) sigaction(s, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Where a program name may be found, in the order execvp would try: the name itself when it
// holds a '/', else each directory of PATH.
std::vector<std::string> processCandidates(const char *program) {
  std::vector<std::string> candidates;
  if (strchr(program, '/')) {
    candidates.emplace_back(program);
    return candidates;
  }
  const char *path = getenv("PATH");
  std::string list = path ? path : "/bin:/usr/bin";
  size_t start = 0;
  for (;;) {
    size_t end = list.find(':', start);
    std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    candidates.push_back(dir.empty() ? std::string(program) : dir + "/" + program);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return candidates;
}

// Moves a descriptor to 3 or above (close-on-exec), so that placing the standard descriptors
// in a child cannot overwrite it. Returns the descriptor or -1.
int processFdAboveStandard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// Async-signal-safe: makes target a copy of fd that survives exec.
void processPlaceFd(int fd, int target) {
  if (fd == target) {
    fcntl(target, F_SETFD, 0);
  } else {
    dup2(fd, target);
  }
}

// The write-all loop of a child between fork and exec: async-signal-safe (no wait, no
// message), unlike fdWriteAll.
void writeAll(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// The text the shell runs for a command. A single command is prefixed with "exec" so that it
// replaces the shell and the process id (to signal, to wait for) is the command's own. A
// command list (';', '&', '|' or a newline anywhere) is run as it is: "exec" would replace the
// shell by the list's first command, so the rest would never run and its status would be
// lost ("false; exit 3" would end with 1, "echo hi; exit 127" with 0). A command that begins
// with a variable assignment ("DISPLAY=:1 xterm") is run as it is too: "exec DISPLAY=:1 xterm"
// would look for a program named "DISPLAY=:1".
std::string processShellText(const char *command) {
  if (strpbrk(command, ";&|\n")) return command;
  const char *p = command;
  while (*p == ' ' || *p == '\t') p++;
  if (isalpha(static_cast<unsigned char>(*p)) || *p == '_') {
    while (isalnum(static_cast<unsigned char>(*p)) || *p == '_') p++;
    if (*p == '=') return command;
  }
  return std::string("exec ") + command;
}

}  // namespace

pid_t processSpawn(int argc, const char *const *argv) {
  // Everything the child needs is built here: between fork and exec only async-signal-safe
  // calls are made.
  int count = 0;
  char **array = nullptr;
  if (argc < 1 || !strArrayDup(&count, &array, argc, argv) || !strArrayTerminate(&count, &array)) {
    strArrayFree(count, array);
    if (argc < 1) {
      LOG(logChannelWarning, "Can't execute an empty command");
    } else {
      LOG_OUT_OF_MEMORY();
    }
    return 0;
  }
  std::vector<std::string> candidates = processCandidates(array[0]);
  std::vector<const char *> paths;
  for (const std::string &c : candidates) paths.push_back(c.c_str());

  // The child reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    strArrayFree(count, array);
    logProblem("Out of processes", "process.c", __LINE__);
    return 0;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    processResetSignals();
    int error = ENOENT;
    bool denied = false;
    for (const char *path : paths) {
      execv(path, array);
      error = errno;
      if (error == EACCES) denied = true;
      if (error != ENOENT && error != ENOTDIR && error != EACCES && error != ESTALE && error != ENODEV &&
          error != ETIMEDOUT)
        break;
    }
    if (denied && (error == ENOENT || error == ENOTDIR)) error = EACCES;
    writeAll(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    strArrayFree(count, array);
    logProblem("Out of processes", "process.c", __LINE__);
    return 0;
  }
  int error = 0;
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    LOG(logChannelWarning, "Can't execute '%s': %s", array[0], strErrno(error));
  }
  strArrayFree(count, array);
  return pid;
}

int processPoll(pid_t pid, int *status) {
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(pid, &raw, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    if (errno != ECHILD) return 0;
    *status = 1;
    return 1;
  }
  if (r != pid) return 0;
  // A child killed by a signal has ended too: collected here, it must not poll as running.
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return 1;
}

const char *processWait(pid_t pid) {
  errno = 0;
  if (getpriority(PRIO_PROCESS, static_cast<id_t>(pid)) == -1 && errno == ESRCH) return nullptr;
  pid_t r;
  do {
    r = waitpid(pid, nullptr, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return strTempPrintf("waitpid(%d) failed: %s", static_cast<int>(pid), strErrno(errno));
  return nullptr;
}

int processKill(int signal, pid_t pid) {
  return kill(pid, signal);
}

const char *processTerminate(pid_t pid, int graceMs) {
  if (kill(pid, SIGTERM) != 0 && errno == ESRCH) return processWait(pid);
  for (int waited = 0; waited < graceMs; waited += 10) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid) return nullptr;
    if (r < 0 && errno != EINTR) return processWait(pid);  // not our child: as processWait says
    usleep(10000);
  }
  LOG(logChannelWarning, "Process %d still runs %d ms after SIGTERM: killed", static_cast<int>(pid), graceMs);
  kill(pid, SIGKILL);
  return processWait(pid);
}

void processSetPriority(pid_t pid, int priority) {
  id_t who = pid == getpid() ? 0 : static_cast<id_t>(pid);
  if (setpriority(PRIO_PROCESS, who, priority) != 0) {
    LOG(logChannelWarning, "setpriority() failed: %s", strErrno(errno));
  }
}

const char *processSetUser(const char *account) {
  if (!account) return "No user name";
  std::string text = account;
  std::string userName = text;
  std::string groupName;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    userName = text.substr(0, colon);
    groupName = text.substr(colon + 1);
  }
  auto number = [](const std::string &s, unsigned long *value) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    *value = strtoul(s.c_str(), nullptr, 10);
    return errno == 0 && *value <= UINT_MAX - 1;
  };

  // Every name is resolved before anything changes, so that a bad account text changes nothing.
  unsigned long value;
  uid_t uid;
  bool haveGroup = false;
  gid_t gid = 0;
  if (userName.empty()) return strTempPrintf("No user name in '%s'", account);
  if (number(userName, &value)) {
    uid = static_cast<uid_t>(value);
    if (struct passwd *entry = getpwuid(uid)) {
      gid = entry->pw_gid;
      haveGroup = true;
    }
  } else {
    struct passwd *entry = getpwnam(userName.c_str());
    if (!entry) return strTempPrintf("Unknown user '%s'", userName.c_str());
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    haveGroup = true;
  }
  if (colon != std::string::npos) {
    if (number(groupName, &value)) {
      gid = static_cast<gid_t>(value);
    } else {
      struct group *entry = groupName.empty() ? nullptr : getgrnam(groupName.c_str());
      if (!entry) return strTempPrintf("Unknown group '%s'", groupName.c_str());
      gid = entry->gr_gid;
    }
    haveGroup = true;
  }

  // Root that changes only its user would keep group root and root's supplementary groups.
  if (!haveGroup && geteuid() == 0) return strTempPrintf("No group for user '%s'", account);
  if (haveGroup) {
    // A process that starts as root also drops root's supplementary groups.
    if (geteuid() == 0 && setgroups(1, &gid) != 0)
      return strTempPrintf("setgroups(%u) failed: %s", static_cast<unsigned>(gid), strErrno(errno));
    if (setgid(gid) != 0) return strTempPrintf("setgid(%u) failed: %s", static_cast<unsigned>(gid), strErrno(errno));
  }
  if (setuid(uid) != 0) return strTempPrintf("setuid(%u) failed: %s", static_cast<unsigned>(uid), strErrno(errno));
  return nullptr;
}

void processRaiseLimits() {
  logStep("Raising process limits...");
  const int resources[] = {RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_NOFILE};
  for (int resource : resources) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0) {
      LOG(logChannelWarning, "getrlimit(%d) failed", resource);
      continue;
    }
    if (limit.rlim_cur >= limit.rlim_max) continue;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(resource, &limit) != 0) LOG(logChannelWarning, "Can't raise process limit %d", resource);
  }
}

void processPushSignal(ProcessSignalHandler handler, int signal) {
  if (signal <= 0 || signal >= NSIG) return;
  ProcessSignalHandler before = ::signal(signal, handler);
  ProcessSignalStack &stack = processSignalStacks[signal];
  if (stack.count >= kProcessSignalStackDepth) return;
  if (stack.count == 0) stack.first = before == SIG_ERR ? SIG_DFL : before;
  stack.handlers[stack.count++] = handler;
}

void processPopSignal(ProcessSignalHandler handler, int signal) {
  if (signal <= 0 || signal >= NSIG) return;
  ProcessSignalStack &stack = processSignalStacks[signal];
  int index = stack.count - 1;
  while (index >= 0 && stack.handlers[index] != handler) index--;
  if (index < 0) return;
  if (index == stack.count - 1) {
    stack.count--;
    ::signal(signal, stack.count > 0 ? stack.handlers[stack.count - 1] : stack.first);
    return;
  }
  for (int i = index; i + 1 < stack.count; i++) stack.handlers[i] = stack.handlers[i + 1];
  stack.count--;
}

const char *processExecShell(const char *command) {
  if (strlen(command) > kShellCommandMax) return strTempPrintf("execl(%s) failed: %s", "/bin/sh", strErrno(E2BIG));
  std::string text = processShellText(command);
  execl("/bin/sh", "shell", "-c", text.c_str(), static_cast<char *>(nullptr));
  return strTempPrintf("execl(%s) failed: %s", "/bin/sh", strErrno(errno));
}

const char *processExitText(const char *command, int code, FILE *stream) {
  std::string output;
  char line[1024];
  while (stream && fgets(line, sizeof line, stream)) {
    size_t n = strlen(line);
    bool whole = n > 0 && line[n - 1] == '\n';
    if (whole) line[--n] = '\0';
    if (output.size() + n + 1 <= kExitOutputMax) {
      output += line;
      if (whole) output += ' ';
    }
  }
  while (!output.empty() && output.back() == ' ') output.pop_back();
  long shown = static_cast<long>(output.size()) < kExitOutputShown ? static_cast<long>(output.size()) : kExitOutputShown;
  const char *hint = "";
  if (code == 127) hint = " - make sure the external program is installed";
  if (code == 126) hint = " - command invoked is not executable";
  if (code == 130) hint = " - terminated by Control-C";
  // Formatted into a ring block of its own size so that the hint is never cut off.
  size_t size = strlen(command) + static_cast<size_t>(shown) + strlen(hint) + 48;
  if (size > kStrTempMaxRequest) return strTempPrintf("%s exited with code %d%s", command, code, hint);
  char *text = strTempAlloc(size);
  snprintf(text, size, "%s exited with code %d: %.*s%s", command, code, static_cast<int>(shown), output.c_str(), hint);
  return text;
}

FILE *processPopen(const char *command, const char *mode, ProcessChildSetup setup, void *argument) {
  bool reading = strcmp(mode, "r") == 0;
  if (!reading && strcmp(mode, "w") != 0) return nullptr;
  if (strlen(command) > kShellCommandMax) return nullptr;
  std::string text = processShellText(command);

  // Count the open streams and make room for one more before forking.
  size_t streams = 0;
  while (processStreamChildren && processStreamChildren[streams].pid != 0) streams++;
  auto *grown = static_cast<ProcessStreamChild *>(
      realloc(processStreamChildren, (streams + 2) * sizeof(ProcessStreamChild)));
  if (!grown) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  if (!processStreamChildren) grown[0].pid = 0;
  processStreamChildren = grown;

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  ends[0] = processFdAboveStandard(ends[0]);
  ends[1] = processFdAboveStandard(ends[1]);
  devnull = processFdAboveStandard(devnull);
  if (ends[0] < 0 || ends[1] < 0 || devnull < 0) {
    for (int fd : {ends[0], ends[1], devnull})
      if (fd >= 0) close(fd);
    return nullptr;
  }
  int parentEnd = reading ? ends[0] : ends[1];
  int childEnd = reading ? ends[1] : ends[0];

  pid_t pid = fork();
  if (pid == 0) {
    processResetSignals();
    processPlaceFd(reading ? devnull : childEnd, 0);
    processPlaceFd(reading ? childEnd : devnull, 1);
    processPlaceFd(devnull, 2);
    if (setup) setup(argument);
    execl("/bin/sh", "shell", "-c", text.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(childEnd);
  close(devnull);
  if (pid < 0) {
    close(parentEnd);
    return nullptr;
  }
  FILE *stream = fdopen(parentEnd, mode);
  if (!stream) {
    close(parentEnd);
    kill(pid, SIGKILL);
    processWait(pid);
    return nullptr;
  }
  processStreamChildren[streams] = {stream, pid};
  processStreamChildren[streams + 1] = {nullptr, 0};
  return stream;
}

namespace {

// The index of a stream of processPopen, or -1.
long processStreamIndex(FILE *stream) {
  for (long i = 0; processStreamChildren && processStreamChildren[i].pid != 0; i++) {
    if (processStreamChildren[i].stream == stream) return i;
  }
  return -1;
}

}  // namespace

int processPclose(FILE *stream, int *code) {
  long index = processStreamIndex(stream);
  if (index < 0) return -1;
  pid_t pid = processStreamChildren[index].pid;
  fclose(stream);
  int raw = 0;
  pid_t r;
  do {
    r = waitpid(pid, &raw, 0);
  } while (r < 0 && errno == EINTR);
  if (code) {
    *code = 1;
    if (r == pid && WIFEXITED(raw)) *code = WEXITSTATUS(raw);
    if (r == pid && WIFSIGNALED(raw)) *code = 128 + WTERMSIG(raw);
  }
  long i = index;
  for (; processStreamChildren[i].pid != 0; i++) processStreamChildren[i] = processStreamChildren[i + 1];
  if (processStreamChildren[0].pid == 0) {
    free(processStreamChildren);
    processStreamChildren = nullptr;
  }
  return 1;
}

int processPopenKill(FILE *stream) {
  long index = processStreamIndex(stream);
  if (index < 0) return -1;
  kill(processStreamChildren[index].pid, SIGKILL);
  return 1;
}

int processCpuCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

const char *processUserFullName() {
  struct passwd *entry = getpwuid(getuid());
  if (!entry || !entry->pw_gecos) return "";
  const char *comma = strchr(entry->pw_gecos, ',');
  return strTempCopy(entry->pw_gecos, comma ? comma - entry->pw_gecos : static_cast<long>(strlen(entry->pw_gecos)));
}

const char *processLimitsText() {
  auto current = [](int resource) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0) return static_cast<rlim_t>(0);
    return limit.rlim_cur;
  };
  auto count = [&](int resource) {
    rlim_t v = current(resource);
    return v > UINT_MAX ? UINT_MAX : static_cast<unsigned>(v);
  };
  auto size = [&](int resource) {
    rlim_t v = current(resource);
    return v == RLIM_INFINITY ? "unlimited" : strSizeText(v);
  };
  return strTempPrintf("%u co, %u ct, %s cs, %s ds, %s fs, %u fds, %s ss, %u nproc, %u lm, %s rss, %s as",
                       static_cast<unsigned>(processCpuCount()), count(RLIMIT_CPU), size(RLIMIT_CORE),
                       size(RLIMIT_DATA), size(RLIMIT_FSIZE), count(RLIMIT_NOFILE), size(RLIMIT_STACK),
                       count(RLIMIT_NPROC), count(RLIMIT_MEMLOCK), size(RLIMIT_RSS), size(RLIMIT_AS));
}

void processSignalArm(int signal) {
  processSignalAwaited = 1;
  processPushSignal(processSignalClear, signal);
}

void processSignalAwait(int signal) {
  // The signal is blocked while the flag is tested and unblocked only inside the wait, so a
  // signal that arrives between the test and the wait is not lost. The wait wakes now and
  // then as well: a signal taken by another thread clears the flag without waking this one.
  sigset_t block;
  sigset_t before;
  sigemptyset(&block);
  sigaddset(&block, signal);
  pthread_sigmask(SIG_BLOCK, &block, &before);
  sigset_t during = before;
  sigdelset(&during, signal);
  struct timespec pause = {0, 100 * 1000 * 1000};
  while (processSignalAwaited) ppoll(nullptr, 0, &pause, &during);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  processPopSignal(processSignalClear, signal);
}

void processAwaitSignal(int signal) {
  processSignalArm(signal);
  processSignalAwait(signal);
}

void processSignalAndAwait(int signal, pid_t pid) {
  processSignalArm(signal);
  processKill(signal, pid);
  processSignalAwait(signal);
}

const char *envPath(const char *name, const char *suffix) {
  static char text[1024];
  const char *value = getenv(name);
  if (!value) {
    strCopy(text, "$", sizeof text);
    strAppend(text, name, sizeof text);
    strAppend(text, suffix, sizeof text);
    return text;
  }
  strCopy(text, value, sizeof text);
  size_t n = strlen(value);
  if (n > 0 && value[n - 1] == '/' && suffix[0] == '/') suffix++;
  strAppend(text, suffix, sizeof text);
  return text;
}

void stdoutMarker(const char *format, ...) {
  fputs("\n@", stdout);
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fputc('\n', stdout);
  fflush(stdout);
}
