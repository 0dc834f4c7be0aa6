// Log channels and log output: line templates, the targets (none, syslog, standard streams,
// plain and XHTML files), day banners, the run summary and the problem report.
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
#include <mutex>
#include <strings.h>
#include <thread>

#include "support/datapack.h"
#include "support/fd.h"
#include "support/host.h"
#include "support/problems.h"
#include "support/strings.h"
#include "support/timeval.h"

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
std::recursive_mutex logMutex;  // guards the state, the counts and every write of a line

// The footer closes the document; each line is written over it and writes it again.
// (The blank cells use a numeric character reference so that the file is well formed
// without the document type definition.)
const char kFooterHtml[] =
    "</dl></td></tr></table></td><td style=\"background-color:#707070\">&#160;</td></tr><tr><td>&#160;</td>"
    "<td style=\"background-color:#707070\">&#160;</td><td style=\"background-color:#707070\">&#160;</td>"
    "</tr></table></body></html>\n";
static_assert(sizeof(kFooterHtml) - 1 == 224, "footer markup size");

char footer[kLogFooterSize + 1];

const char *logFooter() {
  if (!footer[0]) {
    char *p = footer;
    for (int row = 0; row < 4; row++) {
      memset(p, ' ', 76);
      p[76] = '\n';
      p += 77;
    }
    memcpy(p, kFooterHtml, sizeof kFooterHtml);
  }
  return footer;
}

const char kHeaderTemplate[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" \"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\" xml:lang=\"en\">\n"
    "<head>\n"
    "<title>Log file of %s at %s</title>\n"
    "<meta http-equiv=\"content-type\" content=\"text/html; charset=UTF-8\" />\n"
    "<meta http-equiv=\"refresh\" content=\"60\" />\n"
    "<meta name=\"DC.date\" content=\"%s\" />\n"
    "<meta name=\"DC.type\" content=\"Logfile\" />\n"
    "<meta name=\"DC.format\" content=\"text/html\" />\n"
    "<meta name=\"DC.language\" content=\"en\" />\n"
    "<meta name=\"DC.creator\" content=\"%s\" />\n"
    "<style type=\"text/css\">\n"
    "body { background-color: white; color: black; font-family: Verdana, Arial, Helvetica, sans-serif;"
    " font-size: 10pt; margin: 5px; }\n"
    "dl { font-size: 10pt; }\n"
    "dt { float: left; clear: left; }\n"
    "dd { padding-left: 2em; }\n"
    ".program-name { font-variant: small-caps; font-weight: bold; }\n"
    ".program-version:before { content: \" - v\"; }\n"
    ".program-revision, .cmdLine, .libPath, .pid, .src { display: none; }\n"
    ".os:before { content: \" - \"; }\n"
    ".fatal, .error, .assert, .breakpoint { color: red; font-weight: bold; }\n"
    ".warning, .problem, .Xerror { color: #bd5759; }\n"
    "dd.fatal:before { content: \" FATAL: \"; }\n"
    "dd.error:before { content: \" ERROR: \"; }\n"
    "dd.warning:before { content: \" WARNING: \"; }\n"
    "dd.assert:before { content: \" ASSERTION FAILED: \"; }\n"
    "dd.breakpoint:before { content: \" BREAKPOINT REACHED: \"; }\n"
    ".details { color: #6f6f6f; font-weight: normal; }\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<table style=\"width:100%%\" cellspacing=\"0\" cellpadding=\"0\"><tr><td>"
    "<table style=\"width:100%%; background-color:#003366\" cellspacing=\"0\" cellpadding=\"4\">"
    "<tr><td style=\"color:white\">Log file of <span class=\"program-name\">%s</span> at %s</td></tr>"
    "<tr><td style=\"background-color:white\">\n"
    "<dl>\n"
    "%s";

// --- Bounded text building ----------------------------------------------------------------

struct Appender {
  char *buffer;
  size_t size;  // including the terminating zero
  size_t length = 0;

  Appender(char *b, size_t s) : buffer(b), size(s) { buffer[0] = 0; }
  size_t room() const { return size - 1 - length; }
  bool put(const char *text, size_t n) {
    bool whole = n <= room();
    if (!whole) n = room();
    memcpy(buffer + length, text, n);
    length += n;
    buffer[length] = 0;
    return whole;
  }
  bool put(const char *text) { return put(text, strlen(text)); }
  bool putf(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer + length, size - length, format, args);
    va_end(args);
    if (n < 0) return false;
    bool whole = static_cast<size_t>(n) <= room();
    length += whole ? static_cast<size_t>(n) : room();
    return whole;
  }
};

// Length of the valid UTF-8 sequence at p (at most n bytes), 0 when it is not valid.
size_t utf8Length(const unsigned char *p, size_t n) {
  unsigned char c = p[0];
  size_t length;
  if (c >= 0xc2 && c <= 0xdf) length = 2;
  else if (c >= 0xe0 && c <= 0xef) length = 3;
  else if (c >= 0xf0 && c <= 0xf4) length = 4;
  else return 0;
  if (length > n) return 0;
  for (size_t i = 1; i < length; i++)
    if ((p[i] & 0xc0) != 0x80) return 0;
  if (c == 0xe0 && p[1] < 0xa0) return 0;  // overlong
  if (c == 0xed && p[1] >= 0xa0) return 0;  // surrogates
  if (c == 0xf0 && p[1] < 0x90) return 0;  // overlong
  if (c == 0xf4 && p[1] >= 0x90) return 0;  // beyond U+10FFFF
  if (c == 0xef && p[1] == 0xbf && p[2] >= 0xbe) return 0;  // U+FFFE and U+FFFF are no XML characters
  return length;
}

// Markup-escaped text: '<', '>', '&' and '"' as references; bytes that cannot stand in an
// XML document (control characters, broken UTF-8) as '?'. With spans, "(" opens and ")"
// closes a details span; a ')' without an open span stays text, spans nest at most
// kMaxSpanDepth deep (deeper parentheses stay text) and open spans are closed at the end.
// The text is cut at a character boundary so that the closing tags always fit.
constexpr unsigned kMaxSpanDepth = 16;

void escapeMarkup(Appender &out, const char *text, bool spans) {
  static const char kOpen[] = "<span class=\"details\">(";
  static const char kClose[] = "</span>";
  const size_t closeSize = sizeof kClose - 1;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  size_t left = strlen(text);
  unsigned depth = 0;  // open parentheses; the first kMaxSpanDepth of them are spans
  while (left > 0) {
    char one[2] = {static_cast<char>(*p), 0};
    const char *piece = one;
    size_t n = 1, used = 1;
    int depthChange = 0;
    if (*p == '<') piece = "&lt;", n = 4;
    else if (*p == '>') piece = "&gt;", n = 4;
    else if (*p == '&') piece = "&amp;", n = 5;
    else if (*p == '"') piece = "&quot;", n = 6;
    else if (spans && *p == '(') {
      depthChange = 1;
      if (depth < kMaxSpanDepth) piece = kOpen, n = sizeof kOpen - 1;
    } else if (spans && *p == ')' && depth > 0) {
      depthChange = -1;
      if (depth <= kMaxSpanDepth) piece = ")</span>", n = 8;
    } else if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') one[0] = '?';
    else if (*p == 0x7f) one[0] = '?';
    else if (*p >= 0x80) {
      used = utf8Length(p, left);
      if (used == 0) {
        used = 1;
        one[0] = '?';
      } else {
        piece = reinterpret_cast<const char *>(p);
        n = used;
      }
    }
    unsigned after = depth + depthChange;
    size_t reserve = std::min(after, kMaxSpanDepth) * closeSize;
    if (n + reserve > out.room()) break;
    out.put(piece, n);
    depth = after;
    p += used;
    left -= used;
  }
  for (unsigned open = std::min(depth, kMaxSpanDepth); open > 0; open--) out.put(kClose, closeSize);
}

void putText(Appender &out, const char *text) {
  if (state.xhtml)
    escapeMarkup(out, text, false);
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
void putSource(Appender &out, const char *sourceFile, int line) {
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
void expandTemplate(Appender &out, const char *tmpl, LogChannel *channel, const char *sourceFile, int line,
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

void setAppendMode(bool on) {
  int fd = ownedFd();
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return;
  int wanted = on ? (flags | O_APPEND) : (flags & ~O_APPEND);
  if (wanted != flags) fcntl(fd, F_SETFL, wanted);
}

bool endsWithFooter(int fd, off_t size) {
  if (size < static_cast<off_t>(kLogFooterSize)) return false;
  char tail[kLogFooterSize];
  if (pread(fd, tail, kLogFooterSize, size - static_cast<off_t>(kLogFooterSize)) !=
      static_cast<ssize_t>(kLogFooterSize))
    return false;
  return memcmp(tail, logFooter(), kLogFooterSize) == 0;
}

void writeOwned(const char *data, size_t n) {
  if (n) fdWriteAll(ownedFd(), data, n);
}

// Text that reached standard error behind the footer of an XHTML log (from this process, a
// child or another process sharing the file) is taken back into the document as a line of
// its own, so that the file stays a well-formed document. The last footer is looked for up
// to kMaxStrayText bytes before the end. Returns where the next line goes.
constexpr off_t kMaxStrayText = 16 << 20;

off_t recoverStrayText(int fd, off_t size) {
  static char window[65536 + kLogFooterSize];
  const off_t step = 65536;
  off_t footerAt = -1;
  // Windows overlap by the footer's size less one byte, so that no footer is split.
  for (off_t end = size; end > 0 && footerAt < 0 && size - end <= kMaxStrayText; end -= step) {
    off_t from = end > step ? end - step : 0;
    off_t to = std::min<off_t>(end + static_cast<off_t>(kLogFooterSize) - 1, size);
    ssize_t got = pread(fd, window, static_cast<size_t>(to - from), from);
    if (got < static_cast<ssize_t>(kLogFooterSize)) continue;
    for (ssize_t at = got - static_cast<ssize_t>(kLogFooterSize); at >= 0; at--)
      if (window[at] == ' ' && memcmp(window + at, logFooter(), kLogFooterSize) == 0) {
        footerAt = from + at;
        break;
      }
  }
  if (footerAt < 0) return size;  // not a document of this log: nothing sensible to repair
  off_t strayAt = footerAt + static_cast<off_t>(kLogFooterSize);
  size_t strayLength = static_cast<size_t>(size - strayAt);
  // Escaping makes a byte at most six bytes long.
  size_t lineSize = strayLength * 6 + 256;
  char *stray = static_cast<char *>(malloc(strayLength + 1));
  char *line = static_cast<char *>(malloc(lineSize));
  size_t lineLength = 0;
  if (stray && line && pread(fd, stray, strayLength, strayAt) == static_cast<ssize_t>(strayLength)) {
    for (size_t i = 0; i < strayLength; i++)
      if (!stray[i]) stray[i] = '?';  // a zero byte would end the text
    stray[strayLength] = 0;
    Appender out(line, lineSize);
    out.put("<dt class=\"stderr\"></dt><dd class=\"stderr\">");
    escapeMarkup(out, stray, false);
    out.put("</dd>\n");
    lineLength = out.length;
  }
  free(stray);
  // Without memory the stray text is dropped rather than left to spoil the document.
  if (ftruncate(fd, footerAt) != 0) {
    free(line);
    return size;
  }
  lseek(fd, footerAt, SEEK_SET);
  if (line) writeOwned(line, lineLength);
  free(line);
  return lseek(fd, 0, SEEK_CUR);
}

void composeDayHeader(Appender &out);

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
  Appender bannerText(banner, sizeof banner);
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
    setAppendMode(false);
    off_t size = lseek(fd, 0, SEEK_END);
    off_t at = size;
    if (endsWithFooter(fd, size))
      at = size - static_cast<off_t>(kLogFooterSize);
    else if (size > 0)
      at = recoverStrayText(fd, size);
    lseek(fd, at, SEEK_SET);
    writeOwned(banner, bannerText.length);
    writeOwned(line, n);
    writeOwned(logFooter(), kLogFooterSize);
    setAppendMode(true);
  } else {
    writeOwned(banner, bannerText.length);
    writeOwned(line, n);
  }
  if (locked) fileUnlock(state.stream);
}

void composeDayHeader(Appender &out) {
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
  const char *libraryPath = getenv("LD_LIBRARY_PATH");
  out.put("\n</dl><h4><span class=\"date\">");
  out.put(localTimeText(date, sizeof date, "%Y-%m-%d"));
  out.put("</span><span class=\"program-version\">");
  escapeMarkup(out, state.version, false);
  out.put("</span><span class=\"program-revision\">");
  escapeMarkup(out, state.revision, false);
  out.put("</span><span class=\"os\">");
  escapeMarkup(out, platformName(), false);
  out.put(" ");
  escapeMarkup(out, platformOsRelease(), false);
  out.put("</span><span class=\"cmdLine\">");
  escapeMarkup(out, state.commandLine, false);
  out.put("</span><span class=\"libPath\">");
  escapeMarkup(out, libraryPath ? libraryPath : "", false);
  out.put("</span></h4><dl>\n");
}

// --- Targets ------------------------------------------------------------------------------

bool hasMarkupExtension(const char *path) {
  const char *dot = strrchr(path, '.');
  if (!dot || strchr(dot, '/')) return false;
  return strcasecmp(dot, ".htm") == 0 || strcasecmp(dot, ".html") == 0 || strcasecmp(dot, ".xhtml") == 0;
}

void writeHeader(FILE *stream) {
  static char header[sizeof kHeaderTemplate + 4 * 1024 + kLogFooterSize];
  static char name[1024];
  static char host[512];
  char date[32];
  Appender n(name, sizeof name), h(host, sizeof host);
  escapeMarkup(n, logProgramName(), false);
  escapeMarkup(h, hostName(), false);
  int length = snprintf(header, sizeof header, kHeaderTemplate, name, host,
                        localTimeText(date, sizeof date, "%Y-%m-%dT%H:%M:%S"), name, name, host, logFooter());
  if (length > 0 && static_cast<size_t>(length) < sizeof header) {
    lseek(fileno(stream), 0, SEEK_SET);
    fdWriteAll(fileno(stream), header, static_cast<size_t>(length));
  }
}

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
  bool xhtml = hasMarkupExtension(path);
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
    setAppendMode(false);
    off_t size = lseek(fd, 0, SEEK_END);
    if (!endsWithFooter(fd, size) && size > 0) {
      // A document with text behind its footer is kept: the text becomes a line of it.
      off_t at = recoverStrayText(fd, size);
      if (at != size) {
        lseek(fd, at, SEEK_SET);
        writeOwned(logFooter(), kLogFooterSize);
        size = lseek(fd, 0, SEEK_END);
      }
    }
    if (!endsWithFooter(fd, size)) {  // new, empty, or no document of this log
      if (ftruncate(fd, 0) == 0) writeHeader(stream);
    }
    setAppendMode(true);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  if (!state.xhtml) {
    channel->activeTemplate = channel->plainTemplate;
    return;
  }
  const char *format = channel == logChannelFatal
                           ? "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                             "<span class=\"src\">@</span>* (&)</dd>\n"
                           : "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                             "<span class=\"src\">@</span>*</dd>\n";
  snprintf(channel->markupTemplate, sizeof channel->markupTemplate, format, channel->name, channel->name,
           static_cast<unsigned>(getpid()));
  channel->activeTemplate = channel->markupTemplate;
}

void logDisableAll() {
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  for (LogChannel &c : channels)
    if (c.name) c.activeTemplate = nullptr;
}

LogChannel *logSaveChannels() {
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  LogChannel *copy = static_cast<LogChannel *>(malloc(sizeof channels));
  if (copy) memcpy(copy, channels, sizeof channels);
  return copy;
}

void logRestoreChannels(LogChannel *copy) {
  if (!copy) return;
  std::lock_guard<std::recursive_mutex> guard(logMutex);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
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

void logWrite(LogChannel *channel, const char *sourceFile, int line, char *message) {
  if (!message) return;
  if (channel) {
    std::lock_guard<std::recursive_mutex> guard(logMutex);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  if (!logChannelStep->activeTemplate) return;
  logOutputHook(logChannelStep, "logging.c", 715, message);
  logChannelStep->count++;
}

void logProblem(const char *message, const char *sourceFile, int line) {
  if (!message) return;
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  if (!logChannelProblem || !logChannelProblem->activeTemplate) return;
  logOutputHook(logChannelProblem, sourceFile, line, message);
  logChannelProblem->count++;
}

void logFatal(const char *sourceFile, int line, char *message) {
  if (!message) return;
  {
    std::lock_guard<std::recursive_mutex> guard(logMutex);
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
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  const char *tmpl = channel->activeTemplate;
  if (!tmpl || state.emitting) return;  // a report from inside line output is dropped
  state.emitting = true;
  static char text[kLogLineSize];
  static char composed[kLogLineSize];
  // The fixed part of the line is measured first, so that a long message is cut rather than
  // the end of the template; in XHTML mode the message is escaped with balanced spans.
  Appender measure(composed, sizeof composed);
  expandTemplate(measure, tmpl, channel, sourceFile, line, "", true);
  // (Some slack: the summary's run time may gain a digit between the two expansions.)
  const size_t fixed = measure.length + 32;
  size_t room = fixed < kLogLineSize - 1 ? kLogLineSize - 1 - fixed : 0;
  Appender messageText(text, room + 1);
  if (state.xhtml)
    escapeMarkup(messageText, message, true);
  else
    messageText.put(message);
  Appender out(composed, sizeof composed);
  expandTemplate(out, tmpl, channel, sourceFile, line, text, false);
  outputLine(channel, composed, out.length, false);
  state.emitting = false;
}

void logWriteDayHeader() {
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  outputLine(nullptr, "", 0, true);
}

size_t logSummary(char *out, size_t size) {
  if (!out || size == 0) return 0;
  std::lock_guard<std::recursive_mutex> guard(logMutex);
  Appender text(out, size);
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
    std::lock_guard<std::recursive_mutex> guard(logMutex);
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
