// Screen-saver and monitor power control against Xvfb, behind the test relay.
#include <gtest/gtest.h>

#include "xclient/xdpms.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xlibint.h>
#include <X11/extensions/Xext.h>
#include <X11/extensions/dpms.h>

#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string run(const std::string &command, int *status = nullptr) {
  return xrelayRun(command, status);
}

// The screen-saver and DPMS lines of `xset q`.
std::string xsetSaverAndDpms(const std::string &display) {
  std::string all = run("xset -display " + display + " q");
  size_t saver = all.find("Screen Saver:");
  size_t colors = all.find("Colors:");
  size_t dpms = all.find("DPMS");
  std::string result;
  if (saver != std::string::npos) result += all.substr(saver, colors - saver);
  if (dpms != std::string::npos) result += all.substr(dpms);
  return result;
}

// The majors of the requests logged after a given log size.
std::vector<int> loggedMajors(const std::string &log, size_t from) {
  std::vector<int> majors;
  std::istringstream lines(log.substr(from));
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find(" major ");
    if (at != std::string::npos) majors.push_back(atoi(line.c_str() + at + 7));
  }
  return majors;
}

// MIT-SCREEN-SAVER QueryInfo's state: 0 off, 1 on, 3 disabled; -1 on failure.
int screenSaverState(Display *display) {
  XExtCodes *codes = xutilHasExtension(display, "MIT-SCREEN-SAVER");
  if (!codes) return -1;
  LockDisplay(display);
  unsigned char *request = xutilBeginRequest(display, codes->major_opcode, 1, 8);
  uint32_t root = static_cast<uint32_t>(DefaultRootWindow(display));
  memcpy(request + 4, &root, 4);
  xReply reply;
  int ok = _XReply(display, &reply, 0, xTrue);
  UnlockDisplay(display);
  return ok ? reply.generic.data1 : -1;
}

Display *open(const std::string &name) {
  XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);
  return XOpenDisplay(name.c_str());
}

struct Relayed {
  XvfbServer xvfb;
  XrelayServer relay;
  std::string dir;
  std::string logPath;
  Display *display = nullptr;
  std::string start(const std::string &emulations, const XvfbOptions &options = XvfbOptions{}) {
    std::string error = xvfb.start(options);
    if (!error.empty()) return error;
    dir = xrelayTempDir();
    logPath = dir + "/relay.log";
    std::vector<std::string> args{"-log", logPath};
    if (!emulations.empty()) args.insert(args.end(), {"-emulate", emulations});
    error = relay.start(xvfb.displayName(), args);
    if (!error.empty()) return error;
    display = open(relay.displayName());
    return display ? "" : "cannot open the relay";
  }
  size_t logSize() {
    XSync(display, False);
    return xrelayReadFile(logPath).size();
  }
  // The majors logged since a log size, after a round trip that flushes what is queued.
  std::vector<int> majorsSince(size_t from) {
    XSync(display, False);
    return loggedMajors(xrelayReadFile(logPath), from);
  }
  ~Relayed() {
    if (display) XCloseDisplay(display);
    relay.stop();
    if (!dir.empty()) {
      unlink(logPath.c_str());
      rmdir(dir.c_str());
    }
  }
};

TEST(Xdpms, PlainServerSaveActivateWake) {
  Relayed r;
  ASSERT_EQ(r.start(""), "");
  XSetScreenSaver(r.display, 321, 45, DontPreferBlanking, AllowExposures);
  DpmsSavedState state;
  EXPECT_EQ(xdpmsSave(r.display, &state), nullptr);
  EXPECT_EQ(state.timeout, 321);
  EXPECT_EQ(state.interval, 45);
  EXPECT_EQ(state.preferBlanking, DontPreferBlanking);
  EXPECT_EQ(state.allowExposures, AllowExposures);
  EXPECT_EQ(state.dpmsPresent, 0);
  EXPECT_EQ(state.fbpmPresent, 0);
  std::string xset = xsetSaverAndDpms(r.relay.displayName());
  EXPECT_NE(xset.find("timeout:  321    cycle:  45"), std::string::npos) << xset;

  xdpmsActivate(r.display);
  EXPECT_EQ(screenSaverState(r.display), 1);
  size_t before = r.logSize();
  xdpmsWake(r.display, &state);
  EXPECT_EQ(r.majorsSince(before),
            (std::vector<int>{X_WarpPointer, X_ForceScreenSaver, X_GetInputFocus}));
  EXPECT_EQ(screenSaverState(r.display), 0);
  // Without a record the display is asked; nothing but the activity reaches it still.
  xdpmsWake(r.display, nullptr);
  XSync(r.display, False);
}

TEST(Xdpms, WakeForcesDpmsAndFbpmOn) {
  Relayed r;
  ASSERT_EQ(r.start("DPMS,FBPM"), "");
  ASSERT_TRUE(DPMSForceLevel(r.display, DPMSModeStandby));
  xdpmsWake(r.display, nullptr);
  CARD16 level = 99;
  BOOL enabled = 0;
  ASSERT_TRUE(DPMSInfo(r.display, &level, &enabled));
  EXPECT_EQ(level, DPMSModeOn);

  // Disabled DPMS is left alone.
  DPMSForceLevel(r.display, DPMSModeStandby);
  DPMSDisable(r.display);
  DpmsSavedState state;
  xdpmsSave(r.display, &state);
  EXPECT_EQ(state.dpmsPresent, 1);
  EXPECT_EQ(state.dpmsEnabled, 0);
  EXPECT_EQ(state.dpmsLevel, DPMSModeStandby);
  xdpmsWake(r.display, &state);
  DPMSInfo(r.display, &level, &enabled);
  EXPECT_EQ(level, DPMSModeStandby);
  EXPECT_FALSE(enabled);

  // FBPM enabled at level 2 gets Enable 0.
  ASSERT_TRUE(FBPMEnable(r.display, 2));
  uint16_t fbpmLevel = 0;
  uint8_t fbpmState = 0;
  ASSERT_TRUE(FBPMInfo(r.display, &fbpmLevel, &fbpmState));
  EXPECT_EQ(fbpmLevel, 2);
  xdpmsWakeNow(r.display);
  ASSERT_TRUE(FBPMInfo(r.display, &fbpmLevel, &fbpmState));
  EXPECT_EQ(fbpmLevel, 0);
  EXPECT_EQ(fbpmState, 1);
  int major = 0, minor = 0;
  EXPECT_TRUE(FBPMGetVersion(r.display, &major, &minor));
  EXPECT_EQ(major * 100 + minor, 101);
}

TEST(Xdpms, RestoreAfterXset) {
  Relayed r;
  ASSERT_EQ(r.start("DPMS,FBPM"), "");
  XSetScreenSaver(r.display, 300, 30, PreferBlanking, DontAllowExposures);
  DPMSSetTimeouts(r.display, 100, 200, 300);
  FBPMDisable(r.display);
  XSync(r.display, False);
  std::string saved = xsetSaverAndDpms(r.relay.displayName());
  DpmsSavedState state;
  xdpmsSave(r.display, &state);
  EXPECT_EQ(state.fbpmPresent, 1);
  EXPECT_EQ(state.fbpmEnabled, 0);
  const std::string display = " -display " + r.relay.displayName();
  run("xset" + display + " s 77 11");
  run("xset" + display + " dpms 5 6 7");
  run("xset" + display + " -dpms");
  FBPMEnable(r.display, 3);
  ASSERT_NE(xsetSaverAndDpms(r.relay.displayName()), saved);
  xdpmsRestore(r.display, &state);
  XSync(r.display, False);
  EXPECT_EQ(xsetSaverAndDpms(r.relay.displayName()), saved);
  uint16_t level;
  uint8_t enabled = 1;
  FBPMInfo(r.display, &level, &enabled);
  EXPECT_EQ(enabled, 0);
}

TEST(Xdpms, CopyToItselfSendsNothingAndToAnotherCopiesTheSaver) {
  Relayed r;
  ASSERT_EQ(r.start("DPMS,FBPM"), "");
  XSetScreenSaver(r.display, 250, 25, PreferBlanking, AllowExposures);
  size_t before = r.logSize();
  xdpmsCopy(r.display, r.display);
  EXPECT_EQ(r.majorsSince(before), std::vector<int>{X_GetInputFocus});

  XvfbServer other;
  ASSERT_EQ(other.start(), "");
  Display *target = open(other.displayName());
  ASSERT_NE(target, nullptr);
  xdpmsCopy(r.display, target);
  int timeout, interval, blanking, exposures;
  XGetScreenSaver(target, &timeout, &interval, &blanking, &exposures);
  EXPECT_EQ(timeout, 250);
  EXPECT_EQ(interval, 25);
  XCloseDisplay(target);
}

TEST(Xutil, ScreenOfRoot) {
  XvfbServer xvfb;
  XvfbOptions options;
  options.screens = {"640x480x24", "320x200x24"};
  ASSERT_EQ(xvfb.start(options), "");
  Display *display = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(xutilScreenOfRoot(display, RootWindow(display, 0)), 0);
  EXPECT_EQ(xutilScreenOfRoot(display, RootWindow(display, 1)), 1);
  Window window = XCreateSimpleWindow(display, RootWindow(display, 1), 0, 0, 10, 10, 0, 0, 0);
  EXPECT_EQ(xutilScreenOfRoot(display, window), -1);
  EXPECT_EQ(xutilScreenOfRoot(display, None), -1);
  XCloseDisplay(display);
}

}  // namespace

namespace {

// Extension records of several extensions, present or not, all leave with the display.
TEST(Xutil, ExtensionRecordsLeaveWithTheirDisplay) {
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-emulate", "FBPM"}), "");
  // Tables live as long as the process, as those of the extension clients do.
  static XutilExtension present{"FBPM", nullptr}, absent{"NO-SUCH-EXTENSION", nullptr};
  int calls = 0;
  static int *counter;
  counter = &calls;
  auto makeData = [](Display *) -> XPointer {
    ++*counter;
    return reinterpret_cast<XPointer>(7);
  };
  Display *displays[2] = {XOpenDisplay(relay.displayName().c_str()),
                          XOpenDisplay(xvfb.displayName().c_str())};
  ASSERT_TRUE(displays[0] && displays[1]);
  for (Display *display : displays) {
    XExtDisplayInfo *first = xutilExtensionDisplay(&present, display, makeData);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->data, reinterpret_cast<XPointer>(7));
    EXPECT_EQ(xutilExtensionDisplay(&present, display, makeData), first);  // found again
    ASSERT_NE(xutilExtensionDisplay(&absent, display, nullptr), nullptr);
    EXPECT_FALSE(XextHasExtension(xutilExtensionDisplay(&absent, display, nullptr)));
  }
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(XextHasExtension(XextFindDisplay(present.info, displays[0])));
  EXPECT_FALSE(XextHasExtension(XextFindDisplay(present.info, displays[1])));
  for (Display *display : displays) {
    XCloseDisplay(display);
    // Only the pointer value is compared: a later display may get the same address.
    EXPECT_EQ(XextFindDisplay(present.info, display), nullptr);
    EXPECT_EQ(XextFindDisplay(absent.info, display), nullptr);
  }
}

}  // namespace
