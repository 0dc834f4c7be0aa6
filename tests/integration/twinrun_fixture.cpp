// Twin runs of X clients, directly and through tarvo.
#include "twinrun_fixture.h"

#include <sys/wait.h>

#include <cstdio>

TwinRun::~TwinRun() { stop(); }

int TwinRun::stop() {
  if (keepProxied_) XCloseDisplay(keepProxied_);
  if (keepDirect_) XCloseDisplay(keepDirect_);
  keepProxied_ = keepDirect_ = nullptr;
  return tarvo_.stop();
}

std::string TwinRun::start(const TwinRunOptions &options) {
  XvfbOptions x;
  x.screens = options.screens;
  x.extraArguments = {"-nolisten", "tcp"};
  XvfbOptions directOptions = x;
  if (!options.directScreens.empty()) directOptions.screens = options.directScreens;
  directOptions.extraArguments.insert(directOptions.extraArguments.end(), options.directArguments.begin(),
                                      options.directArguments.end());
  std::string failure = direct_.start(directOptions);
  if (failure.empty()) failure = behind_.start(x);
  if (!failure.empty()) return "Xvfb: " + failure;
  TarvoOptions t;
  t.arguments = options.tarvoScreenWords;
  if (t.arguments.empty()) {
    t.arguments = {"screen", "%D.0"};
    if (options.screens.size() > 1) t.arguments.insert(t.arguments.end(), {"tags", "anyScreen"});
  }
  t.arguments.insert(t.arguments.end(), options.tarvoWords.begin(), options.tarvoWords.end());
  failure = tarvo_.start(behind_.displayName(), t);
  if (!failure.empty()) return "tarvo: " + failure;
  keepDirect_ = XOpenDisplay(direct_.displayName().c_str());
  keepProxied_ = XOpenDisplay(tarvo_.displayName().c_str());
  if (!keepDirect_ || !keepProxied_) return "the keeping clients cannot connect";
  return "";
}

std::pair<std::string, std::string> TwinRun::run(const std::string &command, int seconds) {
  auto on = [&](const std::string &display) {
    std::string text = command;
    for (size_t at; (at = text.find("%D")) != std::string::npos;) text.replace(at, 2, display);
    return twinRunCommand(text + " 2>&1", nullptr, seconds);
  };
  return {on(direct_.displayName()), on(tarvo_.displayName())};
}

std::string twinRunCommand(const std::string &command, int *status, int seconds) {
  std::string out;
  FILE *pipe = popen(("timeout " + std::to_string(seconds) + " " + command).c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int result = pclose(pipe);
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return out;
}
