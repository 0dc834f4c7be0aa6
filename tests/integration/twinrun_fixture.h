// Twin runs: the same X clients against an Xvfb used directly and against a second, equal
// Xvfb behind the tarvo executable (one screen, or several screens of that Xvfb joined into one
// meta screen by the "anyScreen" tag). Each side keeps one client of its own connected for the
// whole run: an X server resets its font path, host list and mappings when its last client
// leaves (tarvo runs with "noReset on").
#pragma once

// gtest before Xlib: Xlib defines None, a name gtest uses.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include <string>
#include <utility>
#include <vector>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

struct TwinRunOptions {
  std::vector<std::string> screens{"1024x768x24"};  // of each Xvfb
  std::vector<std::string> tarvoWords;              // more configuration words for tarvo
  // The meta screen and screen statements for tarvo; empty: "screen %D.0", with "tags
  // anyScreen" for several screens.
  std::vector<std::string> tarvoScreenWords;
  // ===== direct screens =====
  // The direct Xvfb's screens when they differ (one 1600x600 screen against two 800x600
  // screens joined behind tarvo); empty: the same as `screens`.
  std::vector<std::string> directScreens;
  // ===== end of direct screens =====
  // More arguments for the direct Xvfb only (extensions switched off, say).
  std::vector<std::string> directArguments;
};

class TwinRun {
 public:
  TwinRun() = default;
  TwinRun(const TwinRun &) = delete;
  TwinRun &operator=(const TwinRun &) = delete;
  ~TwinRun();

  // Starts both sides; "" on success, else what failed.
  std::string start(const TwinRunOptions &options = TwinRunOptions{});
  // Runs the shell command once per side with "%D" replaced by that side's display name (the
  // command's stderr joins its stdout), each ended after `seconds`: {direct output, output
  // through tarvo}.
  std::pair<std::string, std::string> run(const std::string &command, int seconds = 60);
  // Closes the keeping clients and stops tarvo: its exit status (see TarvoProcess::stop).
  int stop();

  const std::string &directDisplay() const { return direct_.displayName(); }
  std::string proxyDisplay() const { return tarvo_.displayName(); }
  const std::string &behindDisplay() const { return behind_.displayName(); }  // the Xvfb behind tarvo
  XvfbServer &behind() { return behind_; }
  TarvoProcess &tarvo() { return tarvo_; }

 private:
  XvfbServer direct_, behind_;
  TarvoProcess tarvo_;
  Display *keepDirect_ = nullptr, *keepProxied_ = nullptr;
};

// The command's output (stdout and stderr), with its exit status in *status when given; the
// command is ended after `seconds`.
std::string twinRunCommand(const std::string &command, int *status = nullptr, int seconds = 60);

// A twin run per number of screens (the test's parameter), each screen 640x480x24.
class TwinRunOnScreens : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), "640x480x24");
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

// The same, and tarvo must end cleanly: a sanitizer build's tarvo ends with a failure status on
// a leak or a bad access.
class TwinRunOnScreensEndingCleanly : public TwinRunOnScreens {
 protected:
  void TearDown() override {
    EXPECT_EQ(twin.stop(), 0) << twin.tarvo().output();
    EXPECT_EQ(twin.tarvo().output().find("Sanitizer"), std::string::npos) << twin.tarvo().output();
  }
};
