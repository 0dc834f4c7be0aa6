// Log channels and log output: line templates, the targets (none, syslog, standard streams,
// plain and XHTML files), day banners, the run summary and the problem report. The XHTML
// document itself is kept by support/xhtmllog.
#include "support/logging.h"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <strings.h>
#include <thread>

#include "support/datapack.h"
#include "support/fd.h"
#include "support/host.h"
#include "support/mutexguard.h"
#include "support/problems.h"
#include "support/strings.h"
#include "support/timeval.h"
#include "support/xhtmllog.h"

LogChannel *logChannelIntro, *logChannelTime, *logChannelFatal, *logChannelError, *logChannelWarning,
    *logChannelProblem, *logChannelXerror, *logChannelNote, *logChannelInfo, *logChannelVerbose,
    *logChannelXclient, *logChannelXhint, *logChannelStep, *logChannelTrace, *logChannelHint,
    *logChannelAPI, *logChannelAssert, *logChannelBreakpoint;

namespace {

void syslogSend(int priority, const char *line) { syslog(priority, "%s", line); }

}  // namespace

LogOutputHook logOutputHook = logEmit;
LogSyslogSend logSyslogSend = syslogSend;

namespace {

LogChannel channels[kLogChannelSlots];

enum class Target { None, Syslog, Stream };
constexpr int64_t kNever = INT64_MAX;

struct LogState {
  char targetName[4096];
  Target target = Target::None;
  FILE *stream = nullptr;  // standard error, standard output or the owned file
  bool ownedFile = false;
  bool xhtml = false;
  unsigned pid = 0;
  const char *programPath = "";
  const char *version = "";
  char revision[64];
  char commandLine[8192];
  struct timeval start = {};
  time_t lastStampSecond = -1;
  int64_t nextBanner = 0;
  int savedStderr = -1;  // the process's own standard error while a log file stands in for it
  bool stderrWasClosed = false;  // descriptor 2 was closed before the log file took it over
  bool emitting = false;
  std::thread::id loopThread;
};

LogState state;
// Guards the state, the counts and every write of a line; recursive, because a line's output
// may ask for the summary and channel changes call each other.
pthread_mutex_t logMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

void putText(TextAppender &out, const char *text) {
  if (state.xhtml)
    xhtmlEscape(out, text, false);
  else
    out.put(text);
}

// --- Small facts --------------------------------------------------------------------------

uint64_t nowMs() { return tvNowMs(); }

uint64_t startMs() {
  return static_cast<uint64_t>(state.start.tv_sec) * 1000u + static_cast<uint64_t>(state.start.tv_usec) / 1000u;
}

bool onLoopThread() {
  return state.loopThread == std::thread::id() || state.loopThread == std::this_thread::get_id();
}

void resetChannels() {
  for (LogChannel &c : channels) c = LogChannel{};
}

// --- Line composition ---------------------------------------------------------------------

// The source's base name with everything from its first '.' replaced by the line number.
void putSource(TextAppender &out, const char *sourceFile, int line) {
  if (!sourceFile) sourceFile = "";
  const char *base = strrchr(sourceFile, '/');
  base = base ? base + 1 : sourceFile;
  const char *dot = strchr(base, '.');
  char name[512];
  size_t n = dot ? static_cast<size_t>(dot - base) : strlen(base);
  if (n >= sizeof name - 16) n = sizeof name - 16;
  memcpy(name, base, n);
  snprintf(name + n, sizeof name - n, "%d", line);
  putText(out, name);
}

// Expands a template. The message is already in its final (escaped) form. With measure set,
// nothing is remembered and the time stamp counts with its full size.
void expandTemplate(TextAppender &out, const char *tmpl, LogChannel *channel, const char *sourceFile, int line,
                    const char *message, bool measure) {
  (void)channel;
  for (const char *t = tmpl; *t; t++) {
    switch (*t) {
      case '%': {
        if (!logChannelTime || !logChannelTime->activeTemplate) break;
        struct timeval now;
        gettimeofday(&now, nullptr);
        if (measure) {
          out.put("         ");
        } else if (now.tv_sec != state.lastStampSecond) {
          char stamp[16];
          struct tm local;
          time_t second = now.tv_sec;
          localtime_r(&second, &local);
          strftime(stamp, sizeof stamp, "%H:%M:%S ", &local);
          out.put(stamp);
          state.lastStampSecond = now.tv_sec;
        } else if (!state.xhtml) {
          out.put("         ");
        }
        break;
      }
      case '*':
        out.put(message);
        break;
      case '@':
        putSource(out, sourceFile, line);
        break;
      case '&': {
        static char summary[kLogSummarySize];
        logSummary(summary, sizeof summary);
        putText(out, summary);
        break;
      }
      case '$':
        out.putf("%u", state.pid);
        break;
      case '|':
        out.put("main thread");
        break;
      case '~':
        if (state.target != Target::Syslog) {
          putText(out, logProgramName());
          out.put(" ");
        }
        break;
      default:
        out.put(t, 1);
    }
  }
}

// --- Output -------------------------------------------------------------------------------

int ownedFd() { return fileno(state.stream); }

void writeOwned(const char *data, size_t n) {
  if (n) fdWriteAll(ownedFd(), data, n);
}

void composeDayHeader(TextAppender &out);

// Local time in a caller's buffer (lines may be written from other threads than the event
// loop's, so the temporary-string ring is not used here).
const char *localTimeText(char *buffer, size_t size, const char *format) {
  time_t now = time(nullptr);
  struct tm local;
  if (!localtime_r(&now, &local) || strftime(buffer, size, format, &local) == 0) buffer[0] = 0;
  return buffer;
}

// Writes one composed line on the target: syslog, a standard stream, or the owned file under
// the process-wide file lock (in XHTML mode in front of the footer, which is written again).
void outputLine(LogChannel *channel, const char *line, size_t n, bool forceBanner) {
  if (state.target == Target::None) return;
  if (state.target == Target::Syslog) {
    if (n) logSyslogSend(static_cast<int>(channel ? channel->level : LOG_INFO), line);
    return;
  }
  static char banner[65536];
  TextAppender bannerText(banner, sizeof banner);
  int64_t now = static_cast<int64_t>(time(nullptr));
  if (forceBanner || state.nextBanner <= now) {
    if (logChannelIntro && logChannelIntro->activeTemplate) composeDayHeader(bannerText);
    state.nextBanner = static_cast<int64_t>(tvEndOfDay(static_cast<time_t>(now))) + 100;
  }
  if (!state.ownedFile) {
    fileWriteStream(banner, bannerText.length, state.stream);
    fileWriteStream(line, n, state.stream);
    fflush(state.stream);
    return;
  }
  bool locked = fileLock(state.stream);
  int fd = ownedFd();
  if (state.xhtml) {
    xhtmlAppendLine(fd, banner, bannerText.length, line, n);
  } else {
    writeOwned(banner, bannerText.length);
    writeOwned(line, n);
  }
  if (locked) fileUnlock(state.stream);
}

void composeDayHeader(TextAppender &out) {
  char date[32];
  struct sysinfo info = {};
  long uptime = sysinfo(&info) == 0 ? info.uptime : 0;
  if (uptime > INT32_MAX) uptime = INT32_MAX;
  const char *duration = strDurationText(static_cast<int32_t>(uptime));
  char machineUp[64];
  strCopy(machineUp, duration ? duration : "0", sizeof machineUp);
  if (!state.xhtml) {
    out.putf("\n%s %s %s at %s (pid %u, %s %s, %s up, %s)\n", localTimeText(date, sizeof date, "%y-%m-%d"), logProgramName(),
             state.version, hostName(), state.pid, platformName(), platformOsRelease(), machineUp,
             state.revision);
    return;
  }
  xhtmlDayHeader(out, localTimeText(date, sizeof date, "%Y-%m-%d"), state.version, state.revision, platformName(),
                 platformOsRelease(), state.commandLine, getenv("LD_LIBRARY_PATH"));
}

// --- Targets ------------------------------------------------------------------------------

// Puts the log file in the place of the process's standard error: descriptor 2 refers to
// the file, so that what the process and its children write there lands in the log.
void captureStandardError(int fd) {
  fflush(stderr);
  if (fd == 2) {  // standard error was closed and the log file took its number
    fcntl(2, F_SETFD, 0);
    return;
  }
  if (state.savedStderr < 0) {
    state.savedStderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    state.stderrWasClosed = state.savedStderr < 0 && errno == EBADF;
  }
  dup2(fd, 2);
}

// Gives descriptor 2 back to what it was before the log file stood in for it.
void releaseStandardError() {
  fflush(stderr);
  if (state.savedStderr >= 0) {
    dup2(state.savedStderr, 2);
    close(state.savedStderr);
    state.savedStderr = -1;
  } else if (state.stderrWasClosed) {
    close(2);
  }
  state.stderrWasClosed = false;
}

// Opens a log file: an existing one is appended to (an XHTML one only when it ends with the
// footer, otherwise a fresh document is started); a new one is created with mode 0644.
// Opens path without following a symbolic link that someone else planted. A link that belongs
// to this user or to root is followed by hand: its text is read from a descriptor of the link
// itself, so what was checked is what is followed (no gap between a check and the open).
int openNotPlanted(const char *path, int flags, int depth = 0) {
  int fd = open(path, flags | O_NOFOLLOW);
  if (fd >= 0 || errno != ELOOP || depth >= 8) return fd;
  int linkFd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (linkFd < 0) return -1;
  struct stat link;
  char target[4096];
  ssize_t n = -1;
  if (fstat(linkFd, &link) == 0 && S_ISLNK(link.st_mode) && (link.st_uid == geteuid() || link.st_uid == 0))
    n = readlinkat(linkFd, "", target, sizeof target - 1);
  close(linkFd);
  if (n <= 0) {
    errno = ELOOP;
    return -1;
  }
  target[n] = 0;
  std::string next = target;
  if (target[0] != '/') {
    const char *slash = strrchr(path, '/');
    if (slash) next = std::string(path, static_cast<size_t>(slash - path + 1)) + target;
  }
  return openNotPlanted(next.c_str(), flags, depth + 1);
}

bool openLogFile(const char *path) {
  bool xhtml = xhtmlIsMarkupPath(path);
  // A symbolic link is followed only when it belongs to this user or to root: a link that
  // someone else planted must not make the log append to (or restart) a file it points at.
  int fd = -1;
  // Another process may create the file between the two opens: then it is opened again.
  for (int attempt = 0; attempt < 3 && fd < 0; attempt++) {
    fd = openNotPlanted(path, O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      struct stat info;
      if (xhtml && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);  // a document cannot be kept in a FIFO or device
        return false;
      }
      break;
    }
    if (errno != ENOENT) return false;
    fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd >= 0) {
      fchmod(fd, 0644);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  if (fd < 0) return false;
  FILE *stream = fdopen(fd, "r+");
  if (!stream) {
    close(fd);
    return false;
  }
  state.stream = stream;
  state.ownedFile = true;
  state.xhtml = xhtml;
  if (xhtml) {
    bool locked = fileLock(stream);
    char date[32];
    xhtmlPrepareDocument(fd, logProgramName(), hostName(), localTimeText(date, sizeof date, "%Y-%m-%dT%H:%M:%S"));
    if (locked) fileUnlock(stream);
  }
  captureStandardError(fd);
  return true;
}

void closeTarget() {
  if (state.target == Target::Syslog) closelog();
  if (state.ownedFile && state.stream) {
    releaseStandardError();
    fclose(state.stream);
  }
  state.ownedFile = false;
  state.xhtml = false;
  state.stream = nullptr;
  state.target = Target::None;
}

}  // namespace

// --- Channels -----------------------------------------------------------------------------

LogChannel *logAddChannel(const char *name, const char *plural, LogChannel *parent, unsigned level,
                          const char *plainTemplate) {
  MutexGuard guard(&logMutex);
  for (LogChannel &c : channels) {
    if (c.name) continue;
    c = LogChannel{};
    c.name = name;
    c.plural = plural;
    c.parent = parent;
    c.level = level;
    c.plainTemplate = plainTemplate;
    return &c;
  }
  return nullptr;
}

void logEnableChannel(LogChannel *channel) {
  if (!channel) return;
  MutexGuard guard(&logMutex);
  if (!state.xhtml) {
    channel->activeTemplate = channel->plainTemplate;
    return;
  }
  xhtmlChannelTemplate(channel->markupTemplate, sizeof channel->markupTemplate, channel->name,
                       static_cast<unsigned>(getpid()), channel == logChannelFatal);
  channel->activeTemplate = channel->markupTemplate;
}

void logDisableAll() {
  MutexGuard guard(&logMutex);
  for (LogChannel &c : channels)
    if (c.name) c.activeTemplate = nullptr;
}

LogChannel *logSaveChannels() {
  MutexGuard guard(&logMutex);
  LogChannel *copy = static_cast<LogChannel *>(malloc(sizeof channels));
  if (copy) memcpy(copy, channels, sizeof channels);
  return copy;
}

void logRestoreChannels(LogChannel *copy) {
  if (!copy) return;
  MutexGuard guard(&logMutex);
  memcpy(channels, copy, sizeof channels);  // the copy's pointers still refer into the table
  free(copy);
}

// --- Start-up and targets -----------------------------------------------------------------

namespace {

// The support modules below logging report through the hooks of support/problems.h.
void reportToErrorChannel(const char *sourceFile, int line, const char *message) {
  logWrite(logChannelError, sourceFile, line, logFormat("%s", message));
}

void fillProblemHooks() {
  problemReportHook = logProblem;
  problemErrorHook = reportToErrorChannel;
}

// Filled as soon as logging is part of the program, so that reports made before logInit reach
// it the way direct calls would.
[[maybe_unused]] const bool problemHooksFilled = (fillProblemHooks(), true);

}  // namespace

int logInit(int argc, char **argv, const char *version, const char *revision) {
  fillProblemHooks();
  MutexGuard guard(&logMutex);
  gettimeofday(&state.start, nullptr);
  state.pid = static_cast<unsigned>(getpid());
  state.loopThread = std::this_thread::get_id();
  state.version = version ? version : "";
  strCopy(state.revision, revision ? revision : "", sizeof state.revision);
  state.programPath = argc > 0 && argv && argv[0] ? argv[0] : "";

  resetChannels();
  logChannelIntro = logAddChannel("intro", "intros", nullptr, 3, "INTRO\n");
  logChannelTime = logAddChannel("time", "times", nullptr, 3, "TIME\n");
  logChannelFatal = logAddChannel("fatal", "fatals", nullptr, 3, "%EXITED: * (&)\n");
  logChannelError = logAddChannel("error", "errors", logChannelFatal, 3, "%ERROR @: *\n");
  logChannelWarning = logAddChannel("warning", "warnings", logChannelError, 4, "%WARNING: *\n");
  logChannelProblem = logAddChannel("problem", "problems", logChannelError, 4, "%POTENTIAL PROBLEM: * (@)\n");
  logChannelXerror = logAddChannel("Xerror", "Xerrors", logChannelError, 5, "%*\n");
  logChannelNote = logAddChannel("note", "notes", logChannelWarning, 5, "%*\n");
  logChannelInfo = logAddChannel("info", "infos", logChannelNote, 6, "*\n");
  logChannelVerbose = logAddChannel("verbose", "verboses", logChannelInfo, 6, "");
  logChannelXclient = logAddChannel("Xclient", "Xclients", logChannelInfo, 6, "%*\n");
  logChannelXhint = logAddChannel("Xhint", "Xhints", logChannelInfo, 6, "%*\n");
  logChannelStep = logAddChannel("step", "steps", logChannelInfo, 6, "%*\n");
  logChannelTrace = logAddChannel("trace", "traces", logChannelInfo, 7, "%*\n");
  logChannelHint = logAddChannel("hint", "hints", logChannelInfo, 7, "%* at @\n");
  logChannelAPI = logAddChannel("API", "APIs", logChannelInfo, 7, "%*\n");
  logChannelAssert = logAddChannel("assert", "asserts", logChannelInfo, 7, "%ASSERTION FAILED *\n");
  logChannelBreakpoint = logAddChannel("breakpoint", "breakpoints", logChannelInfo, 7, "%BREAKPOINT *\n");
  for (LogChannel &c : channels)
    if (c.name && &c != logChannelVerbose && &c != logChannelXclient && &c != logChannelXhint &&
        &c != logChannelStep)
      logEnableChannel(&c);

  state.commandLine[0] = 0;
  for (int i = 0; argv && i < argc; i++) {
    if (!argv[i]) continue;
    strAppend(state.commandLine, argv[i], sizeof state.commandLine);
    strAppend(state.commandLine, " ", sizeof state.commandLine);
  }

  bool information = false;
  if (argc == 2 && argv && argv[1])
    for (const char *word : {"-info", "--info", "-version", "--version"})
      if (strcasecmp(argv[1], word) == 0) information = true;
  logSetTarget(information ? "stdout" : "stderr");
  return information ? 1 : 0;
}

void logSetTarget(const char *name) {
  if (!name) return;
  MutexGuard guard(&logMutex);
  if (state.targetName[0] && strcmp(name, state.targetName) == 0) return;
  strCopy(state.targetName, name, sizeof state.targetName);
  closeTarget();
  state.lastStampSecond = -1;
  if (strcmp(name, "none") == 0 || strcmp(name, "null") == 0) {
    state.target = Target::None;
    state.nextBanner = kNever;
  } else if (strcmp(name, "stderr") == 0 || strcmp(name, "stdout") == 0) {
    state.target = Target::Stream;
    state.stream = name[3] == 'e' ? stderr : stdout;
    state.nextBanner = 0;
  } else if (strcmp(name, "syslog") == 0) {
    openlog(logProgramName(), 0, LOG_USER);
    state.target = Target::Syslog;
    if (logChannelTime) logChannelTime->activeTemplate = nullptr;
    state.nextBanner = kNever;
  } else {
    state.target = Target::Stream;
    if (!openLogFile(name)) {
      state.stream = stderr;
      state.ownedFile = false;
      state.xhtml = false;
    }
    state.nextBanner = 0;
  }
  for (LogChannel &c : channels)
    if (c.name && c.activeTemplate) logEnableChannel(&c);
}

// --- Writing ------------------------------------------------------------------------------

char *logFormat(const char *format, ...) {
  // The scratch block belongs to the event loop's thread; other threads format into a block
  // of their own (scratchFree releases either kind).
  char *block = static_cast<char *>(onLoopThread() ? scratchAlloc(kLogMessageSize) : malloc(kLogMessageSize));
  if (!block) return nullptr;
  va_list args;
  va_start(args, format);
  vsnprintf(block, kLogMessageSize, format, args);
  va_end(args);
  return block;
}

bool logChannelActive(const LogChannel *channel) {
  return channel && (!onLoopThread() || channel->activeTemplate);
}

void logWrite(LogChannel *channel, const char *sourceFile, int line, char *message) {
  if (!message) return;
  if (channel) {
    MutexGuard guard(&logMutex);
    if (channel->activeTemplate) {
      logOutputHook(channel, sourceFile, line, message);
      channel->count++;
    }
  }
  scratchFree(message);
}

void logStep(const char *format, ...) {
  if (!logChannelStep || !logChannelStep->activeTemplate) return;
  char message[kLogMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  MutexGuard guard(&logMutex);
  if (!logChannelStep->activeTemplate) return;
  logOutputHook(logChannelStep, "logging.c", 715, message);
  logChannelStep->count++;
}

void logProblem(const char *message, const char *sourceFile, int line) {
  if (!message) return;
  MutexGuard guard(&logMutex);
  if (!logChannelProblem || !logChannelProblem->activeTemplate) return;
  logOutputHook(logChannelProblem, sourceFile, line, message);
  logChannelProblem->count++;
}

void logFatal(const char *sourceFile, int line, char *message) {
  if (!message) return;
  {
    MutexGuard guard(&logMutex);
    if (state.target == Target::Syslog) {
      static char summary[kLogSummarySize];
      logSummary(summary, sizeof summary);
      printf("%s exited: %s (%s)\n", logProgramName(), message, summary);
      fflush(stdout);
    }
  }
  logWrite(logChannelFatal, sourceFile, line, message);
}

void logEmit(LogChannel *channel, const char *sourceFile, int line, const char *message) {
  if (!channel || !message) return;
  MutexGuard guard(&logMutex);
  const char *tmpl = channel->activeTemplate;
  if (!tmpl || state.emitting) return;  // a report from inside line output is dropped
  state.emitting = true;
  static char text[kLogLineSize];
  static char composed[kLogLineSize];
  // The fixed part of the line is measured first, so that a long message is cut rather than
  // the end of the template; in XHTML mode the message is escaped with balanced spans.
  TextAppender measure(composed, sizeof composed);
  expandTemplate(measure, tmpl, channel, sourceFile, line, "", true);
  // (Some slack: the summary's run time may gain a digit between the two expansions.)
  const size_t fixed = measure.length + 32;
  size_t room = fixed < kLogLineSize - 1 ? kLogLineSize - 1 - fixed : 0;
  TextAppender messageText(text, room + 1);
  if (state.xhtml)
    xhtmlEscape(messageText, message, true);
  else
    messageText.put(message);
  TextAppender out(composed, sizeof composed);
  expandTemplate(out, tmpl, channel, sourceFile, line, text, false);
  outputLine(channel, composed, out.length, false);
  state.emitting = false;
}

void logWriteDayHeader() {
  MutexGuard guard(&logMutex);
  outputLine(nullptr, "", 0, true);
}

size_t logSummary(char *out, size_t size) {
  if (!out || size == 0) return 0;
  MutexGuard guard(&logMutex);
  TextAppender text(out, size);
  bool any = false;
  for (const LogChannel &c : channels) {
    if (!c.name || c.count == 0) continue;
    text.putf("%s%u %s", any ? ", " : "", c.count, c.count == 1 ? c.name : c.plural);
    any = true;
  }
  if (any) text.putf(" logged to %s, ", state.targetName);
  uint32_t up = logUptime();
  const char *duration = strDurationText(static_cast<int32_t>(up > INT32_MAX ? INT32_MAX : up));
  text.putf("pid %u, %s up", state.pid, duration ? duration : "0");
  return text.length;
}

// --- Accessors ----------------------------------------------------------------------------

const char *logFileName() { return state.targetName; }
int logIsFile() { return state.ownedFile ? 1 : 0; }

const char *logProgramName() {
  const char *path = state.programPath ? state.programPath : "";
  const char *slash = strrchr(path, '/');
  const char *name = slash ? slash + 1 : path;
  while (*name == ' ' || *name == '\t' || *name == '\n' || *name == '_') name++;
  return name;
}

const char *logProgramRevision() { return state.revision; }
const char *logCommandLine() { return state.commandLine; }

uint32_t logUptime() { return static_cast<uint32_t>(logUptimeMs() / 1000); }

uint64_t logUptimeMs() {
  uint64_t now = nowMs(), start = startMs();
  return now > start ? now - start : 0;
}

void logReplay(LogReplayCallback callback) {
  if (!callback) return;
  char path[sizeof state.targetName];
  {
    MutexGuard guard(&logMutex);
    if (!state.ownedFile) return;
    strCopy(path, state.targetName, sizeof path);
  }
  bool fromInput = strcmp(path, "-") == 0;
  FILE *file = fromInput ? stdin : fopen(path, "re");
  if (!file) return;
  LogChannel *saved = logSaveChannels();
  logDisableAll();
  static char block[kLogMessageSize];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0) callback(block, got);
  if (saved) logRestoreChannels(saved);
  if (!fromInput) fclose(file);
}

const char *logLoadedLibraries() {
  static char names[2048];
  names[0] = 0;
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t, void *) -> int {
        if (!info->dlpi_name || !info->dlpi_name[0]) return 0;
        if (names[0]) strAppend(names, ", ", sizeof names);
        strAppend(names, info->dlpi_name, sizeof names);
        return 0;
      },
      nullptr);
  return names;
}
