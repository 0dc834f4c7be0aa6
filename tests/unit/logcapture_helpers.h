// Keeps the log lines of the step, note, warning and Xhint channels in memory while an object
// lives; the log is initialised once per process and the channels and hook come back after.
#pragma once

#include <string>
#include <vector>

#include "support/logging.h"

struct CapturedLine {
  LogChannel *channel;
  std::string source;
  std::string message;
};

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::vector<CapturedLine> lines;
  // The messages of one channel, in order.
  std::vector<std::string> on(LogChannel *channel) const;
  // Whether a line of the channel has exactly this message.
  bool has(LogChannel *channel, const std::string &message) const;

 private:
  LogChannel *savedChannels_;
  LogOutputHook savedHook_;
};
