// Log channels and log output (minimal form: plain lines on standard error).
#include "support/logging.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/datapack.h"
#include "support/strings.h"

namespace {
LogChannel channels[kLogChannelSlots];
}

LogChannel *logChannelIntro, *logChannelTime, *logChannelFatal, *logChannelError, *logChannelWarning,
    *logChannelProblem, *logChannelXerror, *logChannelNote, *logChannelInfo, *logChannelVerbose,
    *logChannelXclient, *logChannelXhint, *logChannelStep, *logChannelTrace, *logChannelHint,
    *logChannelAPI, *logChannelAssert, *logChannelBreakpoint;

LogOutputHook logOutputHook = logEmit;

LogChannel *logAddChannel(const char *name, const char *plural, LogChannel *parent, unsigned level,
                          const char *plainTemplate) {
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

void logEnableChannel(LogChannel *channel) { channel->activeTemplate = channel->plainTemplate; }

int logInit(int, char **, const char *, const char *) { return 0; }
void logSetTarget(const char *) {}

char *logFormat(const char *format, ...) {
  char *block = static_cast<char *>(scratchAlloc(16384));
  if (!block) return nullptr;
  va_list args;
  va_start(args, format);
  vsnprintf(block, 16384, format, args);
  va_end(args);
  return block;
}

void logWrite(LogChannel *channel, const char *sourceFile, int line, char *message) {
  if (!message) return;
  if (channel && channel->activeTemplate) {
    logOutputHook(channel, sourceFile, line, message);
    channel->count++;
  }
  scratchFree(message);
}

void logStep(const char *, ...) {}

void logProblem(const char *message, const char *sourceFile, int line) {
  if (logChannelProblem && !logChannelProblem->activeTemplate) return;
  fprintf(stderr, "POTENTIAL PROBLEM: %s (%s:%d)\n", message, sourceFile, line);
  if (logChannelProblem) logChannelProblem->count++;
}

void logFatal(const char *sourceFile, int line, char *message) { logWrite(logChannelFatal, sourceFile, line, message); }

void logEmit(LogChannel *channel, const char *, int, const char *message) {
  fprintf(stderr, "%s: %s\n", channel->name, message);
}
