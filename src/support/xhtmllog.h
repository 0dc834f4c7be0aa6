// The XHTML form of a log file: the document's header and the footer that closes it, markup
// escaping of the text that goes in, the per-channel line templates, and the upkeep of the
// document on its descriptor (each line is written in front of the footer, which follows it
// again; text that reached the file behind the footer is taken back into the document).
//
// None of this locks: logging calls it under its own mutex and, for the file, under the
// process-wide file lock. The functions that work on a descriptor use static buffers.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>

constexpr size_t kLogFooterSize = 532;  // the closing part of an XHTML log

// Bounded text building into a caller's buffer (size includes the terminating zero, at least
// 1). What does not fit is cut; put and putf say whether all of it went in.
struct TextAppender {
  char *buffer;
  size_t size;
  size_t length = 0;

  TextAppender(char *b, size_t s) : buffer(b), size(s) { buffer[0] = 0; }
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
  bool putf(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

// Markup-escaped text: '<', '>', '&' and '"' as references; bytes that cannot stand in an XML
// document (control characters other than tab, newline and return; broken UTF-8; U+FFFE and
// U+FFFF) as '?'. With spans, "(" opens and ")" closes a details span; a ')' without an open
// span stays text, spans nest at most 16 deep (deeper parentheses stay text) and open spans
// are closed at the end. The text is cut at a character boundary so that the closing tags
// always fit.
void xhtmlEscape(TextAppender &out, const char *text, bool spans);

// The footer: kLogFooterSize bytes (four lines of blanks the next line is written over, then
// the closing markup), without a terminating zero counted. Static; the same on every call.
const char *xhtmlFooter();

// Whether a log path names a document (".htm", ".html" or ".xhtml", in any case).
bool xhtmlIsMarkupPath(const char *path);

// The line template of a channel in a document: the channel's name as the class of a dt/dd
// pair, the process id and the source hidden in spans; withSummary adds the run summary
// ("(&)") behind the message, as the fatal channel has it.
void xhtmlChannelTemplate(char *out, size_t size, const char *channelName, unsigned pid, bool withSummary);

// The day banner of a document; the texts are escaped here.
void xhtmlDayHeader(TextAppender &out, const char *date, const char *version, const char *revision,
                    const char *platform, const char *osRelease, const char *commandLine, const char *libraryPath);

// Makes fd (an opened regular log file, in append mode) end with a document of this log: text
// behind the last footer becomes a line of the document; a file without a document of this
// log (new, empty or foreign) is emptied and gets a fresh header for programName on hostName
// at dateTime. Leaves the descriptor in append mode.
void xhtmlPrepareDocument(int fd, const char *programName, const char *hostName, const char *dateTime);

// Writes the banner (may be empty) and the line in front of the footer and the footer after
// them; text found behind the footer goes into the document first. Leaves append mode on.
void xhtmlAppendLine(int fd, const char *banner, size_t bannerLength, const char *line, size_t lineLength);
