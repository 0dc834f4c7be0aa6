// Problem reports of the support modules below logging (strings, fd, datapack, buffer). They
// must not depend on logging, which uses them: they report through these hooks, and logging
// fills the hooks when it is linked in and again in logInit. Until then reports are dropped,
// as logging drops them before its channels are set up.
//
// Reports name their source by a fixed name, not by __FILE__: "strings.c", "fd.c",
// "datapack.c", "buffer.c", "orders.c", "Proxy/korvanparser", and logStep's "logging.c" with
// line 715. These names are deliberate: they are what log readers and their filters match.
#pragma once

// A problem report (out of memory, an unexpected internal state): the message (not kept after
// the call), the source name and the line.
using ProblemReportHook = void (*)(const char *message, const char *sourceFile, int line);
// A message for the error channel; the message is not kept after the call.
using ProblemErrorHook = void (*)(const char *sourceFile, int line, const char *message);

extern ProblemReportHook problemReportHook;  // NULL: reports are dropped
extern ProblemErrorHook problemErrorHook;    // NULL: messages are dropped

// Hand a report or an error message to the hook, if one is set. NULL messages are ignored.
void problemReport(const char *message, const char *sourceFile, int line);
void problemError(const char *sourceFile, int line, const char *message);

// An out-of-memory report with a fixed source name; the caller includes support/strings.h
// (for OUT_OF_MEMORY_TEXT_AT), which this header does not, so that strings can use it too.
#define PROBLEM_OUT_OF_MEMORY_AT(source) \
  problemReport(OUT_OF_MEMORY_TEXT_AT(source), (source), __LINE__)
