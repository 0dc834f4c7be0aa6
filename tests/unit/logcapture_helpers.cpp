#include "logcapture_helpers.h"

namespace {

LogCapture *active = nullptr;

void keep(LogChannel *channel, const char *source, int, const char *message) {
  if (active) active->lines.push_back(CapturedLine{channel, source ? source : "", message ? message : ""});
}

}  // namespace

LogCapture::LogCapture() {
  static bool initialised = [] {
    char arg0[] = "tarvo";
    char *argv[] = {arg0, nullptr};
    return logInit(1, argv, "", "") == 0;
  }();
  (void)initialised;
  savedChannels_ = logSaveChannels();
  for (LogChannel *channel : {logChannelStep, logChannelNote, logChannelWarning, logChannelXhint})
    logEnableChannel(channel);
  savedHook_ = logOutputHook;
  logOutputHook = keep;
  active = this;
}

LogCapture::~LogCapture() {
  active = nullptr;
  logOutputHook = savedHook_;
  logRestoreChannels(savedChannels_);
}

std::vector<std::string> LogCapture::on(LogChannel *channel) const {
  std::vector<std::string> out;
  for (const CapturedLine &line : lines)
    if (line.channel == channel) out.push_back(line.message);
  return out;
}

bool LogCapture::has(LogChannel *channel, const std::string &message) const {
  for (const CapturedLine &line : lines)
    if (line.channel == channel && line.message == message) return true;
  return false;
}
