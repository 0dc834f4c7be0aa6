// Log channels, log targets, the problem report and the run summary.
#pragma once

#include <cstddef>
#include <cstdint>

struct LogChannel {
  const char *activeTemplate;  // NULL while the channel is off
  const char *name;
  const char *plural;
  LogChannel *parent;
  unsigned level;  // 3..7, the syslog priority
  uint32_t count;
  const char *plainTemplate;
  char markupTemplate[200];
};

constexpr int kLogChannelSlots = 30;
constexpr size_t kLogMessageSize = 16384;   // a formatted message, with its terminating zero
constexpr size_t kLogLineSize = 16464;      // a composed line
constexpr size_t kLogSummarySize = 8192;    // enough for every count and the longest target name
// (kLogFooterSize, the closing part of an XHTML log, is in support/xhtmllog.h.)

// One global pointer per channel, set by logInit.
extern LogChannel *logChannelIntro;
extern LogChannel *logChannelTime;
extern LogChannel *logChannelFatal;
extern LogChannel *logChannelError;
extern LogChannel *logChannelWarning;
extern LogChannel *logChannelProblem;
extern LogChannel *logChannelXerror;
extern LogChannel *logChannelNote;
extern LogChannel *logChannelInfo;
extern LogChannel *logChannelVerbose;
extern LogChannel *logChannelXclient;
extern LogChannel *logChannelXhint;
extern LogChannel *logChannelStep;
extern LogChannel *logChannelTrace;
extern LogChannel *logChannelHint;
extern LogChannel *logChannelAPI;
extern LogChannel *logChannelAssert;
extern LogChannel *logChannelBreakpoint;

using LogOutputHook = void (*)(LogChannel *channel, const char *sourceFile, int line, const char *message);
extern LogOutputHook logOutputHook;  // holds logEmit unless replaced

// Everything the syslog target sends goes through this one function (syslog(3) unless replaced).
using LogSyslogSend = void (*)(int priority, const char *line);
extern LogSyslogSend logSyslogSend;

int logInit(int argc, char **argv, const char *version, const char *revision);
LogChannel *logAddChannel(const char *name, const char *plural, LogChannel *parent, unsigned level,
                          const char *plainTemplate);
void logEnableChannel(LogChannel *channel);
void logSetTarget(const char *name);
char *logFormat(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logWrite(LogChannel *channel, const char *sourceFile, int line, char *message);
void logStep(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logProblem(const char *message, const char *sourceFile, int line);
void logFatal(const char *sourceFile, int line, char *message);
void logEmit(LogChannel *channel, const char *sourceFile, int line, const char *message);
void logWriteDayHeader();
size_t logSummary(char *out, size_t size = kLogSummarySize);

const char *logFileName();
int logIsFile();
const char *logProgramName();
const char *logProgramRevision();
const char *logCommandLine();
uint32_t logUptime();
uint64_t logUptimeMs();

void logDisableAll();
LogChannel *logSaveChannels();
void logRestoreChannels(LogChannel *copy);
using LogReplayCallback = void (*)(const char *data, size_t length);
void logReplay(LogReplayCallback callback);
const char *logLoadedLibraries();

// Whether a channel may write anything now: a first look, without the log mutex, which logWrite
// takes to look again. Channels are switched on and off by the event loop's thread only, so
// that thread reads the switch directly; any other thread is told yes and so looks under the
// mutex.
bool logChannelActive(const LogChannel *channel);

// The usual call: format and write on a channel with this source file and line. A channel that
// is off costs one test: neither the message nor its arguments are computed (the handlers of
// every request log this way, so the arguments must not do work that matters beyond the text).
#define LOG(channel, ...) \
  (logChannelActive(channel) ? logWrite((channel), __FILE__, __LINE__, logFormat(__VA_ARGS__)) : void())
// Problem reports for out of memory and unexpected internal states.
#define LOG_OUT_OF_MEMORY() logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__)
#define LOG_OUT_OF_MEMORY_AT(source) logProblem(OUT_OF_MEMORY_TEXT_AT(source), (source), __LINE__)
#define LOG_UNE() logProblem("UNE", __FILE__, __LINE__)
