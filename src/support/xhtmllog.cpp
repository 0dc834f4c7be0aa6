// The XHTML form of a log file: header, footer, escaping and the document's upkeep.
#include "support/xhtmllog.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "support/fd.h"

bool TextAppender::putf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer + length, size - length, format, args);
  va_end(args);
  if (n < 0) return false;
  bool whole = static_cast<size_t>(n) <= room();
  length += whole ? static_cast<size_t>(n) : room();
  return whole;
}

namespace {

// The footer closes the document; each line is written over it and writes it again.
// (The blank cells use a numeric character reference so that the file is well formed
// without the document type definition.)
const char kFooterHtml[] =
    "</dl></td></tr></table></td><td style=\"background-color:#707070\">&#160;</td></tr><tr><td>&#160;</td>"
    "<td style=\"background-color:#707070\">&#160;</td><td style=\"background-color:#707070\">&#160;</td>"
    "</tr></table></body></html>\n";
static_assert(sizeof(kFooterHtml) - 1 + 4 * 77 == kLogFooterSize, "footer markup size");

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

constexpr unsigned kMaxSpanDepth = 16;

void setAppendMode(int fd, bool on) {
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
  return memcmp(tail, xhtmlFooter(), kLogFooterSize) == 0;
}

void writeAt(int fd, const char *data, size_t n) {
  if (n) fdWriteAll(fd, data, n);
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
      if (window[at] == ' ' && memcmp(window + at, xhtmlFooter(), kLogFooterSize) == 0) {
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
    TextAppender out(line, lineSize);
    out.put("<dt class=\"stderr\"></dt><dd class=\"stderr\">");
    xhtmlEscape(out, stray, false);
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
  if (line) writeAt(fd, line, lineLength);
  free(line);
  return lseek(fd, 0, SEEK_CUR);
}

void writeHeader(int fd, const char *programName, const char *hostName, const char *dateTime) {
  static char header[sizeof kHeaderTemplate + 4 * 1024 + kLogFooterSize];
  static char name[1024];
  static char host[512];
  TextAppender n(name, sizeof name), h(host, sizeof host);
  xhtmlEscape(n, programName, false);
  xhtmlEscape(h, hostName, false);
  int length =
      snprintf(header, sizeof header, kHeaderTemplate, name, host, dateTime, name, name, host, xhtmlFooter());
  if (length > 0 && static_cast<size_t>(length) < sizeof header) {
    lseek(fd, 0, SEEK_SET);
    fdWriteAll(fd, header, static_cast<size_t>(length));
  }
}

}  // namespace

void xhtmlEscape(TextAppender &out, const char *text, bool spans) {
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

const char *xhtmlFooter() {
  static char footer[kLogFooterSize + 1];
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

bool xhtmlIsMarkupPath(const char *path) {
  const char *dot = strrchr(path, '.');
  if (!dot || strchr(dot, '/')) return false;
  return strcasecmp(dot, ".htm") == 0 || strcasecmp(dot, ".html") == 0 || strcasecmp(dot, ".xhtml") == 0;
}

void xhtmlChannelTemplate(char *out, size_t size, const char *channelName, unsigned pid, bool withSummary) {
  const char *format = withSummary ? "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                                     "<span class=\"src\">@</span>* (&)</dd>\n"
                                   : "<dt class=\"%s\">%%</dt><dd class=\"%s\"><span class=\"pid\">%u</span>"
                                     "<span class=\"src\">@</span>*</dd>\n";
  snprintf(out, size, format, channelName, channelName, pid);
}

void xhtmlDayHeader(TextAppender &out, const char *date, const char *version, const char *revision,
                    const char *platform, const char *osRelease, const char *commandLine, const char *libraryPath) {
  out.put("\n</dl><h4><span class=\"date\">");
  out.put(date);
  out.put("</span><span class=\"program-version\">");
  xhtmlEscape(out, version, false);
  out.put("</span><span class=\"program-revision\">");
  xhtmlEscape(out, revision, false);
  out.put("</span><span class=\"os\">");
  xhtmlEscape(out, platform, false);
  out.put(" ");
  xhtmlEscape(out, osRelease, false);
  out.put("</span><span class=\"cmdLine\">");
  xhtmlEscape(out, commandLine, false);
  out.put("</span><span class=\"libPath\">");
  xhtmlEscape(out, libraryPath ? libraryPath : "", false);
  out.put("</span></h4><dl>\n");
}

void xhtmlPrepareDocument(int fd, const char *programName, const char *hostName, const char *dateTime) {
  setAppendMode(fd, false);
  off_t size = lseek(fd, 0, SEEK_END);
  if (!endsWithFooter(fd, size) && size > 0) {
    // A document with text behind its footer is kept: the text becomes a line of it.
    off_t at = recoverStrayText(fd, size);
    if (at != size) {
      lseek(fd, at, SEEK_SET);
      writeAt(fd, xhtmlFooter(), kLogFooterSize);
      size = lseek(fd, 0, SEEK_END);
    }
  }
  if (!endsWithFooter(fd, size)) {  // new, empty, or no document of this log
    if (ftruncate(fd, 0) == 0) writeHeader(fd, programName, hostName, dateTime);
  }
  setAppendMode(fd, true);
}

void xhtmlAppendLine(int fd, const char *banner, size_t bannerLength, const char *line, size_t lineLength) {
  setAppendMode(fd, false);
  off_t size = lseek(fd, 0, SEEK_END);
  off_t at = size;
  if (endsWithFooter(fd, size))
    at = size - static_cast<off_t>(kLogFooterSize);
  else if (size > 0)
    at = recoverStrayText(fd, size);
  lseek(fd, at, SEEK_SET);
  writeAt(fd, banner, bannerLength);
  writeAt(fd, line, lineLength);
  writeAt(fd, xhtmlFooter(), kLogFooterSize);
  setAppendMode(fd, true);
}
