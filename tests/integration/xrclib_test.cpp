// The remote-control library on Xvfb directly and through the test relay, judged by a window
// of another client that holds the focus and reports the input it gets.
#include <gtest/gtest.h>

#include "xclient/xrclib.h"
#include "xclient/xrclibinput.h"

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/extensions/Xext.h>
#include <X11/Xlib.h>

#include "xclient/misc.h"
#include "xclient/xdpms.h"
#include "xclient/xrclibkeys.h"
#include "xclient/xtarget.h"
#include "stopped_fixture.h"
#include "xrclib_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::pair<int, int> pointerOn(Display *display) {
  Window root, child;
  int x = -1, y = -1, wx, wy;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
  return {x, y};
}

void resetCounters() {
  for (auto *c : {&xrcCounters.errors, &xrcCounters.displays, &xrcCounters.devicesOpened,
                  &xrcCounters.moves, &xrcCounters.clicks, &xrcCounters.hotKeys,
                  &xrcCounters.touches, &xrcCounters.switchOffs, &xrcCounters.refreshes}) {
    c->store(0);
  }
}

TEST(Xrclib, MethodChoice) {
  struct Case {
    const char *what;
    bool relay;
    std::vector<std::string> options;
    unsigned wanted;
    int method;          // -1: the attach fails
    unsigned errors;     // errors counted by a failing attach
    unsigned ext1Pointer, ext1Keyboard;
  };
  const Case cases[] = {
      {"xvfb", false, {}, kXrcInject, 0, 0, 0, 0},
      {"xvfb past grab", false, {}, kXrcInject | kXrcInjectPastGrab, 0, 0, 0, 0},
      {"control", true, {"-emulate", "CONTROL"}, kXrcInject, 2, 0, 0, 0},
      {"xtest 2.1 impervious", true,
       {"-version", "XTEST=2.1", "-emulate", "XTEST1", "-impervious"},
       kXrcInject | kXrcInjectPastGrab, 1, 0, 2, 3},
      {"xtest 2.1 pervious", true, {"-version", "XTEST=2.1", "-emulate", "XTEST1"},
       kXrcInject | kXrcInjectPastGrab, -1, 2, 0, 0},
      {"xtest 2.1 alone", true, {"-version", "XTEST=2.1"}, kXrcInject | kXrcInjectPastGrab, -1,
       1, 0, 0},
      {"no xtest", true, {"-hide", "XTEST", "-emulate", "XTEST1"}, kXrcInject, 1, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    XrcSetup s;
    ASSERT_EQ(s.start(c.relay, c.options), "");
    unsigned errorsBefore = xrcCounters.errors.load();
    const char *error = xrcInitDisplay(s.display, c.wanted);
    XrcDisplay *context = xrcFindDisplay(s.display);
    ASSERT_NE(context, nullptr);
    if (c.method < 0) {
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(std::string(error),
                "Unsupported extension XTEST (version 2.2 or higher), XTestExtension1 or XTRAP "
                "on display " + localName(s.frontName()));
      EXPECT_EQ(xrcCounters.errors.load() - errorsBefore, c.errors);
      EXPECT_EQ(context->capabilities & (kXrcInject | kXrcInjectPastGrab), 0);
      continue;
    }
    ASSERT_EQ(error, nullptr) << error;
    EXPECT_EQ(context->method, c.method);
    EXPECT_EQ(context->capabilities, c.wanted);
    if (c.wanted & kXrcInjectPastGrab) {
      EXPECT_EQ(context->xtestExt1Ready, c.method == 1);
      EXPECT_EQ(context->xtestExt1Pointer, c.ext1Pointer);
      EXPECT_EQ(context->xtestExt1Keyboard, c.ext1Keyboard);
      EXPECT_EQ(xmiscIsImpervious(s.display), 1);
    }
    // Held capabilities cost nothing.
    unsigned long next = XNextRequest(s.display);
    EXPECT_EQ(xrcInitDisplay(s.display, c.wanted), nullptr);
    EXPECT_EQ(xrcInitDisplay(s.display, kXrcInject), nullptr);
    EXPECT_EQ(XNextRequest(s.display), next);
  }
}

TEST(Xrclib, KeyboardAndMouseControlDevices) {
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  Display *writer = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(writer, nullptr);
  Atom off = XInternAtom(writer, "_MWT_KEYBOARD_OFF", False);
  struct Case {
    const char *value;  // nullptr: no property
    Atom type;
    unsigned physical, null;
  };
  const Case cases[] = {
      {nullptr, XA_STRING, 3, 5},
      {"physical=3 null=9", XA_STRING, 3, 9},
      {"physical=3 null=4000", XA_STRING, 3, 5},
      {"physical=-1 null=9", XA_STRING, 3, 5},
      {"junk", XA_STRING, 3, 5},
      {"physical=3 null=9 and more", XA_STRING, 3, 5},
      {"physical=3 null=9", XA_INTEGER, 3, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value ? c.value : "none");
    if (c.value) {
      XChangeProperty(writer, DefaultRootWindow(writer), off, c.type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char *>(c.value),
                      static_cast<int>(strlen(c.value)));
    } else {
      XDeleteProperty(writer, DefaultRootWindow(writer), off);
    }
    XSync(writer, False);
    Display *display = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(xrcInitDisplay(display, kXrcKeyboardControl | kXrcMouseControl), nullptr);
    XrcDisplay *context = xrcFindDisplay(display);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->keyboardPhysical, c.physical);
    EXPECT_EQ(context->keyboardNull, c.null);
    EXPECT_EQ(context->mousePhysical, 2u);
    EXPECT_EQ(context->mouseNull, 4u);
    EXPECT_EQ(context->inputVersion, 2u * 64 + 4);
    EXPECT_EQ(xrcInputExtensionVersion(display), 2u * 64 + 4);
    XCloseDisplay(display);
  }
  XCloseDisplay(writer);
}

using XrclibInjectTest = XrcFocusTest;

TEST_F(XrclibInjectTest, KeysAndButtonsReachTheWindow) {
  Display *d = s_.display;
  ASSERT_EQ(xrcMovePointer(d, kXrcMouse, 0, 50, 60, 1), nullptr);
  EXPECT_TRUE(window_.saw("MotionNotify 50 60"));
  EXPECT_EQ(xrcPressKey(d, kXrcKeyboard, 38), nullptr);
  EXPECT_EQ(xrcReleaseKey(d, kXrcKeyboard, 38), nullptr);
  EXPECT_TRUE(window_.saw("KeyPress 38"));
  EXPECT_TRUE(window_.saw("KeyRelease 38"));
  EXPECT_EQ(xrcClick(d, kXrcMouse, 1), nullptr);
  EXPECT_TRUE(window_.saw("ButtonRelease 1 50 60 100"));
  EXPECT_EQ(xrcDoubleClick(d, kXrcMouse, 3), nullptr);
  EXPECT_EQ(xrcClick(d, kXrcMouse, 2), nullptr);  // a marker: everything before has arrived
  EXPECT_TRUE(window_.saw("ButtonRelease 2 50 60 200"));
  std::vector<std::string> lines = window_.lines();
  EXPECT_EQ(countLines(lines, "ButtonPress 1 50 60 0"), 1);
  EXPECT_EQ(countLines(lines, "ButtonPress 3 "), 2);
  EXPECT_EQ(countLines(lines, "ButtonRelease 3 50 60 400"), 2);
  EXPECT_EQ(xErrors, 0);

  std::string name = localName(s_.xvfb.displayName());
  for (unsigned button : {0u, 11u}) {
    const char *error = xrcPressButton(d, kXrcMouse, button);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error),
              "No mouse button #" + std::to_string(button) + " on display " + name);
  }
}

TEST_F(XrclibInjectTest, ButtonStateAndSetButtons) {
  Display *d = s_.display;
  EXPECT_EQ(xrcPressButton(d, kXrcMouse, 1), nullptr);
  EXPECT_EQ(xrcPressButton(d, kXrcMouse, 3), nullptr);
  EXPECT_EQ(xrcButtonState(d, kXrcMouse), unsigned(Button1Mask | Button3Mask));
  unsigned long next = XNextRequest(d);
  EXPECT_EQ(xrcSetButtons(d, kXrcMouse, Button1Mask | Button3Mask), nullptr);
  EXPECT_EQ(XNextRequest(d), next + 1);  // the pointer query only
  EXPECT_EQ(xrcSetButtons(d, kXrcMouse, Button2Mask | Button3Mask), nullptr);
  EXPECT_EQ(xrcButtonState(d, kXrcMouse), unsigned(Button2Mask | Button3Mask));
  EXPECT_EQ(xrcPressKey(d, kXrcKeyboard, 50), nullptr);  // Shift
  EXPECT_EQ(xrcReleaseAll(d), nullptr);
  EXPECT_EQ(xrcButtonState(d, kXrcMouse), 0u);
  char keys[32];
  XQueryKeymap(d, keys);
  for (char byte : keys) EXPECT_EQ(byte, 0);
  EXPECT_EQ(xrcFindDisplay(d)->keyState[50], 0);
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

TEST_F(XrclibInjectTest, WalkingAndDeviceMotion) {
  Display *d = s_.display;
  ASSERT_EQ(xrcMovePointer(d, kXrcMouse, 0, 10, 10, 1), nullptr);
  EXPECT_TRUE(window_.saw("MotionNotify 10 10"));
  ASSERT_EQ(xrcSetOption(d, kXrcOptionWalk, 5), nullptr);
  unsigned moves = xrcCounters.moves.load();
  ASSERT_EQ(xrcMovePointer(d, kXrcMouse, 0, 13, 11, 1), nullptr);
  EXPECT_EQ(xrcCounters.moves.load() - moves, 3u);
  EXPECT_TRUE(window_.saw("MotionNotify 13 11"));
  std::vector<std::string> lines = window_.lines();
  std::vector<std::string> motions;
  for (const std::string &line : lines) {
    if (line.rfind("MotionNotify", 0) == 0) motions.push_back(line);
  }
  ASSERT_GE(motions.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(motions.end() - 3, motions.end()),
            (std::vector<std::string>{"MotionNotify 11 11", "MotionNotify 12 11",
                                      "MotionNotify 13 11"}));

  ASSERT_EQ(xrcSetOption(d, kXrcOptionWalk, 0), nullptr);
  unsigned opened = xrcCounters.devicesOpened.load();
  ASSERT_EQ(xrcMovePointer(d, 6, 0, 300, 200, 1), nullptr);
  XSync(d, False);
  EXPECT_EQ(pointerOn(d), std::make_pair(300, 200));
  EXPECT_EQ(xrcCounters.devicesOpened.load() - opened, 1u);
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[6].device, nullptr);  // closed again
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[6].openCount, 0);

  // A screen the display does not have sends nothing.
  unsigned long next = XNextRequest(d);
  EXPECT_NE(xrcMovePointer(d, kXrcMouse, 1, 5, 5, 1), nullptr);
  EXPECT_NE(xrcMovePointerToCenter(d, kXrcMouse, -1, 1), nullptr);
  EXPECT_EQ(XNextRequest(d), next);
  ASSERT_EQ(xrcMovePointerToCenter(d, kXrcMouse, 0, 1), nullptr);
  EXPECT_EQ(pointerOn(d), std::make_pair(512, 384));
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

TEST_F(XrclibInjectTest, BellAllKeysAndFrozenPointer) {
  Display *d = s_.display;
  XKeyboardState before{}, after{};
  XGetKeyboardControl(d, &before);
  ASSERT_EQ(xrcSetOption(d, kXrcOptionKeyBell, 1), nullptr);
  EXPECT_EQ(xrcPressKey(d, kXrcKeyboard, 38), nullptr);
  EXPECT_EQ(xrcReleaseKey(d, kXrcKeyboard, 38), nullptr);
  EXPECT_EQ(xrcRingBell(d, kXrcKeyboard, 440, 50, 100), nullptr);
  XGetKeyboardControl(d, &after);
  EXPECT_EQ(after.bell_pitch, before.bell_pitch);
  EXPECT_EQ(after.bell_duration, before.bell_duration);
  // The server is not left grabbed: another client gets answers.
  Display *other = XOpenDisplay(s_.xvfb.displayName().c_str());
  ASSERT_NE(other, nullptr);
  XSync(other, False);
  EXPECT_EQ(xrcPointerFrozen(d, kXrcMouse), 0);
  XSync(other, False);
  XCloseDisplay(other);
  ASSERT_EQ(xrcSetOption(d, kXrcOptionKeyBell, 0), nullptr);

  EXPECT_EQ(xrcPressAllKeys(d, kXrcKeyboard), nullptr);
  EXPECT_EQ(xrcReleaseAllKeys(d, kXrcKeyboard), nullptr);
  char keys[32];
  XQueryKeymap(d, keys);
  for (char byte : keys) EXPECT_EQ(byte, 0);
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

// Methods 1 and 2 through the relay; past the grab of another client when impervious.
TEST(Xrclib, RelayMethodsInject) {
  struct Case {
    const char *what;
    std::vector<std::string> options;
    unsigned wanted;
    int method;
  };
  const Case cases[] = {
      {"xtest1", {"-hide", "XTEST", "-emulate", "XTEST1"}, kXrcInject, 1},
      {"control", {"-emulate", "CONTROL"}, kXrcInject, 2},
      {"xtest1 past grab", {"-version", "XTEST=2.1", "-emulate", "XTEST1", "-impervious"},
       kXrcInject | kXrcInjectPastGrab, 1},
      {"control past grab", {"-hide", "XTEST", "-emulate", "CONTROL", "-impervious"},
       kXrcInject | kXrcInjectPastGrab, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    XrcSetup s;
    ASSERT_EQ(s.start(true, c.options), "");
    XrelayEventWindow window;
    ASSERT_EQ(window.start(s.xvfb.displayName(), s.dir), "");
    ASSERT_EQ(xrcInitDisplay(s.display, c.wanted), nullptr);
    ASSERT_EQ(xrcFindDisplay(s.display)->method, c.method);
    ASSERT_EQ(xrcMovePointer(s.display, kXrcMouse, 0, 40, 30, 1), nullptr);
    EXPECT_TRUE(window.saw("MotionNotify 40 30"));
    Display *grabber = nullptr;
    if (c.wanted & kXrcInjectPastGrab) {
      grabber = XOpenDisplay(s.xvfb.displayName().c_str());
      ASSERT_NE(grabber, nullptr);
      XGrabServer(grabber);
      XSync(grabber, False);
    }
    size_t from = s.logSize();
    EXPECT_EQ(xrcPressKey(s.display, kXrcKeyboard, 38), nullptr);
    EXPECT_EQ(xrcReleaseKey(s.display, kXrcKeyboard, 38), nullptr);
    EXPECT_EQ(xrcPressButton(s.display, kXrcMouse, 1), nullptr);
    EXPECT_EQ(xrcReleaseButton(s.display, kXrcMouse, 1), nullptr);
    EXPECT_TRUE(window.saw("KeyPress 38"));
    EXPECT_TRUE(window.saw("KeyRelease 38"));
    EXPECT_TRUE(window.saw("ButtonRelease 1 40 30 100"));
    if (grabber) {
      XUngrabServer(grabber);
      XCloseDisplay(grabber);
    }
    EXPECT_GE(s.answeredSince(from), 2u);
    std::vector<std::string> lines = window.lines();
    EXPECT_EQ(countLines(lines, "ButtonPress 1 "), 1);
    if (c.method == 1) {
      const char *error = xrcPressButton(s.display, kXrcMouse, 9);
      EXPECT_NE(error, nullptr);
    }
  }
}

TEST(Xrclib, ContextsGoWithTheirDisplays) {
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  Display *a = XOpenDisplay(xvfb.displayName().c_str());
  Display *b = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(xrcInitDisplay(a, kXrcInject | kXrcKeyboardControl), nullptr);
  ASSERT_EQ(xrcInitDisplay(b, kXrcInject | kXrcMouseControl), nullptr);
  ASSERT_EQ(xrcMovePointer(b, 6, 0, 20, 20, 1), nullptr);
  EXPECT_NE(xrcFindDisplay(a), xrcFindDisplay(b));
  XCloseDisplay(a);
  EXPECT_EQ(xrcFindDisplay(a), nullptr);
  EXPECT_NE(xrcFindDisplay(b), nullptr);
  XCloseDisplay(b);
  EXPECT_EQ(xrcFindDisplay(b), nullptr);

  // Two threads attach their own displays at once. libXi destroys its table of displays when
  // its last display closes, without a lock: one display stays open meanwhile, as the proxy's
  // real displays do.
  Display *keeper = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(keeper, nullptr);
  ASSERT_EQ(xrcInitDisplay(keeper, 0), nullptr);
  auto attach = [&](const char **result) {
    Display *display = XOpenDisplay(xvfb.displayName().c_str());
    if (!display) {
      *result = "cannot open";
      return;
    }
    *result = xrcInitDisplay(display, kXrcInject | kXrcKeyboardControl | kXrcMouseControl);
    XCloseDisplay(display);
  };
  const char *first = "not run", *second = "not run";
  std::thread one(attach, &first), two(attach, &second);
  one.join();
  two.join();
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(second, nullptr);
  XCloseDisplay(keeper);
}

TEST(Xrclib, TextsOptionsAndCounters) {
  resetCounters();
  EXPECT_EQ(std::string(xrcError(nullptr, "Broken %d", 7)), "Broken 7 (XRC)");
  EXPECT_EQ(xrcCounters.errors.load(), 1u);
  EXPECT_EQ(std::string(xrcLibraryName()), "XRCLib");
  EXPECT_TRUE(std::regex_match(xrcLibraryVersion(), std::regex(R"(1\.0\.20\d\d[01]\d[0-3]\d)")))
      << xrcLibraryVersion();

  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  std::string localhost = "unix" + localName(xvfb.displayName());
  Display *d = XOpenDisplay(localhost.c_str());
  ASSERT_NE(d, nullptr);
  resetCounters();
  ASSERT_EQ(xrcSetOption(d, kXrcOptionDelayUnit, 2), nullptr);
  ASSERT_EQ(xrcMovePointer(d, kXrcMouse, 0, 5, 5, 1), nullptr);
  ASSERT_EQ(xrcMovePointer(d, kXrcMouse, 0, 7, 5, 1), nullptr);
  ASSERT_EQ(xrcClick(d, kXrcMouse, 1), nullptr);
  EXPECT_EQ(std::string(xrcStatistics()), "0e1d2m1b");
  EXPECT_EQ(std::string(xrcError(d, "Oops")), "Oops on display " + localName(xvfb.displayName()));

  // Options: defaults, bounds, hold counter, delays.
  EXPECT_EQ(xrcGetOption(d, kXrcOptionButtons), 10);
  EXPECT_EQ(xrcGetOption(d, kXrcOptionKeyHold), 75);
  EXPECT_EQ(xrcGetOption(d, kXrcOptionTouchHold), 200);
  for (int index : {-1, 15, 1000}) {
    EXPECT_EQ(xrcGetOption(d, index), 0);
    EXPECT_NE(xrcSetOption(d, index, 5), nullptr);
  }
  EXPECT_EQ(xrcRelease(d), 0u);
  EXPECT_EQ(xrcHold(d), 1u);
  EXPECT_EQ(xrcHold(d), 2u);
  EXPECT_EQ(xrcRelease(d), 1u);
  ASSERT_EQ(xrcSetOption(d, kXrcOptionDelayUnit, 100000), nullptr);
  long long start = xvfbNowMs();
  xrcDelay(d, -100);
  EXPECT_LT(xvfbNowMs() - start, 10000);  // a negative delay taken as a huge one would not end
  ASSERT_EQ(xrcSetOption(d, kXrcOptionDelayUnit, 40), nullptr);
  start = xvfbNowMs();
  xrcDelay(d, 250);
  EXPECT_GE(xvfbNowMs() - start, 100);
  XCloseDisplay(d);

  for (auto *c : {&xrcCounters.errors, &xrcCounters.displays, &xrcCounters.devicesOpened,
                  &xrcCounters.moves, &xrcCounters.clicks, &xrcCounters.hotKeys,
                  &xrcCounters.touches, &xrcCounters.switchOffs, &xrcCounters.refreshes}) {
    c->store(4294967295u);
  }
  std::string full = xrcStatistics();
  EXPECT_EQ(full.size(), 99u);
  EXPECT_EQ(full.substr(0, 22), "4294967295e4294967295d");
  EXPECT_EQ(full.substr(88), "4294967295r");
  resetCounters();
}

// A stopped server: the button count, a first attach, the grab test and the saved screen-saver
// settings give up once the sync limit passed (nothing is attached or filled in); once the
// server goes on, each works again on the same connections.
TEST(Xrclib, StoppedServerBoundedByTheLimit) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  Display *fresh = XOpenDisplay(s.frontName().c_str());
  ASSERT_NE(fresh, nullptr);
  uint32_t savedLimit = xtargetSyncLimitMs;
  xtargetSyncLimitMs = 300;
  pid_t server = s.xvfb.pid();
  int buttons = 0;
  EXPECT_LT(xvfbWhileStopped(server, 4000, [&] { buttons = xrcPointerButtonCount(s.display, kXrcMouse); }), 2000);
  EXPECT_EQ(buttons, -1);
  const char *error = nullptr;
  EXPECT_LT(xvfbWhileStopped(server, 4000, [&] { error = xrcInitDisplay(fresh, kXrcInject); }), 2000);
  EXPECT_STREQ(error, ("No answer to the pointer mapping on display " + localName(s.frontName())).c_str());
  EXPECT_EQ(xrcFindDisplay(fresh), nullptr);
  // A context without injection yet (the setup's option made it): the injection is not attached.
  EXPECT_LT(xvfbWhileStopped(server, 4000, [&] { error = xrcInitDisplay(s.display, kXrcInject); }), 2000);
  EXPECT_NE(error, nullptr);
  ASSERT_NE(xrcFindDisplay(s.display), nullptr);
  EXPECT_EQ(xrcFindDisplay(s.display)->capabilities & kXrcInject, 0u);
  int impervious = -1;
  EXPECT_LT(xvfbWhileStopped(server, 4000, [&] { impervious = xmiscIsImpervious(s.display); }), 2000);
  EXPECT_EQ(impervious, 0);
  XSetScreenSaver(s.display, 321, 45, DontPreferBlanking, AllowExposures);
  DpmsSavedState saved{};
  const char *failure = nullptr;
  EXPECT_LT(xvfbWhileStopped(server, 4000, [&] { failure = xdpmsSave(s.display, &saved); }), 2000);
  EXPECT_NE(failure, nullptr);
  EXPECT_EQ(saved.timeout, 0);

  EXPECT_GT(xrcPointerButtonCount(s.display, kXrcMouse), 0);
  EXPECT_EQ(xrcInitDisplay(fresh, kXrcInject), nullptr);
  EXPECT_EQ(xrcInitDisplay(s.display, kXrcInject), nullptr);
  EXPECT_EQ(xdpmsSave(s.display, &saved), nullptr);
  EXPECT_EQ(saved.timeout, 321);
  EXPECT_EQ(xtargetSync(s.display, 2000), nullptr);
  xtargetSyncLimitMs = savedLimit;
  XCloseDisplay(fresh);
}

}  // namespace

// libXi and libXext keep one table of displays per extension for the whole process; two
// threads opening displays at once need Xlib's locks, which must be on before any other Xlib
// call.
[[maybe_unused]] const Status xlibThreads = XInitThreads();
