// The control-extension client against the test relay, judged by the relay's log.
#include <gtest/gtest.h>

#include "xclient/xcontrol.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <X11/Xlibint.h>
#include <X11/extensions/Xext.h>

#include "xclient/xtarget.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

int ignoreErrors(Display *, XErrorEvent *) { return 0; }

uint16_t at16(const std::vector<unsigned char> &b, size_t o) { return xrelayCard16(b, o); }
uint32_t at32(const std::vector<unsigned char> &b, size_t o) { return xrelayCard32(b, o); }

struct ControlRelay {
  XvfbServer xvfb;
  XrelayServer relay;
  std::string dir, logPath;
  Display *display = nullptr;
  std::string start(std::vector<std::string> relayOptions = {}) {
    XvfbOptions options;
    options.screens = {"640x480x24", "320x200x24"};
    std::string error = xvfb.start(options);
    if (!error.empty()) return error;
    dir = xrelayTempDir();
    logPath = dir + "/relay.log";
    relayOptions.insert(relayOptions.end(), {"-emulate", "CONTROL", "-log", logPath});
    error = relay.start(xvfb.displayName(), relayOptions);
    if (!error.empty()) return error;
    XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);
    XSetErrorHandler(ignoreErrors);
    display = XOpenDisplay(relay.displayName().c_str());
    return display ? "" : "cannot open the relay";
  }
  size_t logSize() {
    XSync(display, False);
    return xrelayReadFile(logPath).size();
  }
  std::vector<std::vector<unsigned char>> since(size_t from) {
    XSync(display, False);
    return xrelayAnsweredSince(xrelayReadFile(logPath), from);
  }
  ~ControlRelay() {
    if (display) XCloseDisplay(display);
    relay.stop();
    unlink(logPath.c_str());
    rmdir(dir.c_str());
  }
};

TEST(Xcontrol, CoreRequestsCarryTheirBytes) {
  ControlRelay r;
  ASSERT_EQ(r.start(), "");
  int eventBase, errorBase, major, minor;
  ASSERT_EQ(xcontrolQueryVersion(r.display, &eventBase, &errorBase, &major, &minor), 1);
  EXPECT_EQ(major, 1);
  EXPECT_EQ(minor, 0);
  size_t from = r.logSize();
  EXPECT_EQ(xcontrolFakeKeyEvent(r.display, 38, True, 5), 1);
  EXPECT_EQ(xcontrolFakeButtonEvent(r.display, 3, False, 0), 1);
  EXPECT_EQ(xcontrolFakeMotionEvent(r.display, 1, 10, -20, 0), 1);
  EXPECT_EQ(xcontrolFakeMotionEvent(r.display, -1, 30, 40, 0), 1);
  EXPECT_EQ(xcontrolFakeRelativeMotionEvent(r.display, -3, 4, 7), 1);
  EXPECT_EQ(xcontrolFakeMotionEvent(r.display, 2, 1, 1, 0), 0);  // no such screen
  auto requests = r.since(from);
  ASSERT_EQ(requests.size(), 5u);
  struct Expect {
    int type, detail;
    uint32_t delay, root;
    int16_t x, y;
  } expected[] = {
      {KeyPress, 38, 5, 0, 0, 0},
      {ButtonRelease, 3, 0, 0, 0, 0},
      {MotionNotify, 0, 0, static_cast<uint32_t>(RootWindow(r.display, 1)), 10, -20},
      {MotionNotify, 0, 0, 0, 30, 40},
      {MotionNotify, 1, 7, 0, -3, 4},
  };
  for (size_t i = 0; i < requests.size(); i++) {
    const auto &b = requests[i];
    ASSERT_EQ(b.size(), 36u) << i;
    EXPECT_EQ(b[1], 1) << i;
    EXPECT_EQ(at16(b, 2), 9) << i;
    EXPECT_EQ(b[4], expected[i].type) << i;
    EXPECT_EQ(b[5], expected[i].detail) << i;
    EXPECT_EQ(at32(b, 8), expected[i].delay) << i;
    EXPECT_EQ(at32(b, 12), expected[i].root) << i;
    EXPECT_EQ(static_cast<int16_t>(at16(b, 24)), expected[i].x) << i;
    EXPECT_EQ(static_cast<int16_t>(at16(b, 26)), expected[i].y) << i;
    EXPECT_EQ(b[35], 0) << i;
  }
}

TEST(Xcontrol, ValuatorsFollowDeviceRequests) {
  ControlRelay r;
  ASSERT_EQ(r.start(), "");
  int values[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  size_t from = r.logSize();
  ASSERT_EQ(xcontrolFakeDeviceMotionEvent(r.display, 2, False, 0, values, 7, 0), 1);
  // Refused: a device id that collides with the more-events flag, valuators beyond 255.
  EXPECT_EQ(xcontrolFakeDeviceKeyEvent(r.display, 128, 20, True, 0, values, 1, 0), 0);
  EXPECT_EQ(xcontrolFakeDeviceButtonEvent(r.display, 2, 1, True, 250, values, 6, 0), 0);
  // Xlib's buffer filled to within 32 bytes of its end: the request still arrives whole.
  LockDisplay(r.display);
  long room = r.display->bufmax - r.display->bufptr;
  UnlockDisplay(r.display);
  while (room > 36 + 32) {
    XNoOp(r.display);
    LockDisplay(r.display);
    room = r.display->bufmax - r.display->bufptr;
    UnlockDisplay(r.display);
  }
  ASSERT_EQ(xcontrolFakeProximityEvent(r.display, 3, True, 2, values, 13, 0), 1);
  auto requests = r.since(from);
  ASSERT_EQ(requests.size(), 2u) << xrelayReadFile(r.logPath).substr(from);
  const auto &motion = requests[0];
  ASSERT_EQ(motion.size(), 36u + 64u);
  EXPECT_EQ(at16(motion, 2), 25);
  EXPECT_EQ(motion[35], 0x82);
  int first = motion[4] - 5;  // XInput's first event code
  EXPECT_EQ(motion[36], first);
  EXPECT_EQ(motion[37], 2);
  EXPECT_EQ(motion[36 + 6], 7);
  EXPECT_EQ(motion[36 + 7], 0);
  EXPECT_EQ(at32(motion, 36 + 8 + 20), 6u);
  EXPECT_EQ(motion[68 + 7], 6);
  EXPECT_EQ(at32(motion, 68 + 8), 7u);
  EXPECT_EQ(at32(motion, 68 + 12), 0u);
  const auto &proximity = requests[1];
  ASSERT_EQ(proximity.size(), 36u + 96u);
  EXPECT_EQ(proximity[4], first + 8);
  EXPECT_EQ(proximity[35], 0x83);
  EXPECT_EQ(proximity[36 + 64 + 7], 14);
  EXPECT_EQ(at32(proximity, 36 + 64 + 8), 13u);
}


// Injected keys and motion reach a window of another client on the real server; through an
// impervious relay also while a third client grabs the server, which holds them back otherwise.
TEST(Xcontrol, InjectedInputReachesAWindow) {
  for (bool impervious : {false, true}) {
    SCOPED_TRACE(impervious ? "impervious" : "plain");
    ControlRelay r;
    ASSERT_EQ(r.start(impervious ? std::vector<std::string>{"-impervious"}
                                 : std::vector<std::string>{}),
              "");
    XrelayEventWindow window;
    ASSERT_EQ(window.start(r.xvfb.displayName(), r.dir), "");
    ASSERT_EQ(xcontrolFakeMotionEvent(r.display, 0, 100, 120, 0), 1);
    ASSERT_EQ(xcontrolFakeKeyEvent(r.display, 38, True, 0), 1);
    ASSERT_EQ(xcontrolFakeKeyEvent(r.display, 38, False, 0), 1);
    ASSERT_EQ(xcontrolFakeRelativeMotionEvent(r.display, 5, -4, 0), 1);
    XFlush(r.display);
    EXPECT_TRUE(window.saw("MotionNotify 100 120"));
    EXPECT_TRUE(window.saw("KeyPress 38"));
    EXPECT_TRUE(window.saw("KeyRelease 38"));
    EXPECT_TRUE(window.saw("MotionNotify 105 116"));

    Display *grabber = XOpenDisplay(r.xvfb.displayName().c_str());
    ASSERT_NE(grabber, nullptr);
    XGrabServer(grabber);
    XSync(grabber, False);
    ASSERT_EQ(xcontrolFakeKeyEvent(r.display, 39, True, 0), 1);
    ASSERT_EQ(xcontrolFakeKeyEvent(r.display, 39, False, 0), 1);
    ASSERT_EQ(xcontrolFakeMotionEvent(r.display, 0, 200, 150, 0), 1);
    XFlush(r.display);
    if (impervious) {
      EXPECT_TRUE(window.saw("KeyPress 39"));
      EXPECT_TRUE(window.saw("MotionNotify 200 150"));
    } else {
      EXPECT_FALSE(window.saw("KeyPress 39", 500));
    }
    XUngrabServer(grabber);
    XCloseDisplay(grabber);
    EXPECT_TRUE(window.saw("KeyRelease 39"));
    EXPECT_TRUE(window.saw("MotionNotify 200 150"));
    XSync(r.display, False);
  }
}

TEST(Xcontrol, DiscardDropsWhatIsBuffered) {
  ControlRelay r;
  ASSERT_EQ(r.start(), "");
  int eventBase, errorBase, major, minor;
  ASSERT_EQ(xcontrolQueryVersion(r.display, &eventBase, &errorBase, &major, &minor), 1);
  size_t from = r.logSize();
  EXPECT_EQ(xcontrolDiscard(r.display), 0);
  unsigned long next = XNextRequest(r.display);
  xcontrolFakeKeyEvent(r.display, 38, True, 0);
  xcontrolFakeKeyEvent(r.display, 38, False, 0);
  xcontrolFakeRelativeMotionEvent(r.display, 1, 1, 0);
  EXPECT_EQ(xcontrolDiscard(r.display), 1);
  EXPECT_EQ(XNextRequest(r.display), next);
  EXPECT_TRUE(r.since(from).empty());
  Window focus;
  int revert;
  XGetInputFocus(r.display, &focus, &revert);
  EXPECT_NE(focus, 0u);
  XSync(r.display, False);
}

TEST(Xcontrol, PlainServerGivesZeroSilently) {
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);
  Display *display = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(display, nullptr);
  fflush(stderr);
  int saved = dup(2);
  char path[] = "/tmp/xcontrol-stderr-XXXXXX";
  int capture = mkstemp(path);
  ASSERT_GE(capture, 0);
  dup2(capture, 2);
  int values[2] = {1, 2};
  int a, b, c, d;
  int sum = xcontrolQueryVersion(display, &a, &b, &c, &d) +
            xcontrolFakeKeyEvent(display, 38, True, 0) +
            xcontrolFakeButtonEvent(display, 1, True, 0) +
            xcontrolFakeMotionEvent(display, 0, 1, 1, 0) +
            xcontrolFakeRelativeMotionEvent(display, 1, 1, 0) +
            xcontrolFakeDeviceKeyEvent(display, 2, 20, True, 0, values, 2, 0) +
            xcontrolFakeDeviceButtonEvent(display, 2, 1, True, 0, values, 2, 0) +
            xcontrolFakeProximityEvent(display, 2, True, 0, values, 2, 0) +
            xcontrolFakeDeviceMotionEvent(display, 2, False, 0, values, 2, 0);
  XSync(display, False);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(xrelayReadFile(path), "");
  close(capture);
  unlink(path);
  XCloseDisplay(display);
}

}  // namespace
