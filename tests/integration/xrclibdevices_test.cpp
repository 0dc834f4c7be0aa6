// The remote-control library's devices, keyboard and mouse switch, cursors, markers,
// highlighting and picking on Xvfb (XInput 2.4) and through the relay at XInput 1.4. Judges:
// python3-xlib's XInput, XFixes cursor images, XIQueryPointer and a focus window.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>

#include "support/logging.h"
#include "xclient/xutilh.h"
#include "xclient/xrclibcursors.h"
#include "xclient/xrclibdevices.h"
#include "xclient/xrclibinput.h"
#include "xclient/xrclibmarkers.h"
#include "xrclib_fixture.h"

namespace {

// "Device Enabled" of a device as python3-xlib's XInput reads it.
std::string deviceEnabled(const std::string &display, int device) {
  return xrelayRun(
      "/usr/bin/python3 -c \"import Xlib.display; from Xlib.ext import xinput; "
      "d = Xlib.display.Display('" + display + "'); "
      "a = d.intern_atom('Device Enabled'); "
      "print(d.xinput_get_device_property(" + std::to_string(device) +
      ", a, 0, 0, 1).value[1][0])\"");
}

TEST(XrclibDevices, NamesUseGrabsAndTouch) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  XrelayEventWindow window;
  ASSERT_EQ(window.start(s.xvfb.displayName(), s.dir), "");
  Display *d = s.display;
  std::string name = localName(s.xvfb.displayName());
  unsigned device = 0;
  ASSERT_EQ(xrcDeviceByName(d, "XVFB KEYBOARD", &device), nullptr);
  EXPECT_EQ(device, 7u);
  ASSERT_EQ(xrcDeviceByName(d, "mouse", &device), nullptr);
  EXPECT_EQ(device, 256u);
  ASSERT_EQ(xrcDeviceByName(d, "xvfb m*", &device), nullptr);
  EXPECT_EQ(device, 6u);
  const char *error = xrcDeviceByName(d, "nope", &device);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "No input device 'nope' on display " + name);
  EXPECT_EQ(xrcOtherCoreDevice(256), 257u);
  EXPECT_EQ(xrcOtherCoreDevice(6), 6u);
  EXPECT_TRUE(xrcDeviceExists(d, 257));
  EXPECT_FALSE(xrcDeviceExists(d, 99));
  EXPECT_TRUE(xrcDeviceHasClass(d, 7, KeyClass));
  EXPECT_FALSE(xrcDeviceHasClass(d, 7, ButtonClass));
  EXPECT_TRUE(xrcDeviceHasClass(d, 6, ValuatorClass));

  unsigned opened = xrcCounters.devicesOpened.load();
  for (int i = 0; i < 2; i++) ASSERT_EQ(xrcUseDevice(d, 6), nullptr);
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[6].openCount, 2);
  for (int i = 0; i < 2; i++) ASSERT_EQ(xrcUnuseDevice(d, 6), nullptr);
  EXPECT_EQ(xrcCounters.devicesOpened.load() - opened, 1u);
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[6].device, nullptr);

  Display *other = XOpenDisplay(s.xvfb.displayName().c_str());
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(xrcDeviceGrabbed(other, 6));
  ASSERT_EQ(xrcGrabDevice(d, 6, None), nullptr);
  XSync(d, False);
  EXPECT_TRUE(xrcDeviceGrabbed(other, 6));
  ASSERT_EQ(xrcUngrabDevice(d, 6), nullptr);
  XSync(d, False);
  EXPECT_FALSE(xrcDeviceGrabbed(other, 6));
  EXPECT_FALSE(xrcDeviceGrabbed(other, kXrcMouse));
  ASSERT_EQ(XGrabPointer(d, DefaultRootWindow(d), False, 0, GrabModeAsync, GrabModeAsync, None,
                         None, CurrentTime),
            GrabSuccess);
  EXPECT_TRUE(xrcDeviceGrabbed(other, kXrcMouse));
  XUngrabPointer(d, CurrentTime);
  XSync(d, False);

  Window focus = None;
  ASSERT_EQ(xrcDeviceFocus(other, kXrcKeyboard, &focus), nullptr);
  EXPECT_NE(focus, None);
  ASSERT_EQ(xrcSelectDeviceEvents(d, 6, None), nullptr);
  EXPECT_GT(xrcFindDisplay(d)->selectionCount, 0);
  ASSERT_EQ(xrcUnselectDeviceEvents(d, 6, None), nullptr);
  EXPECT_EQ(xrcFindDisplay(d)->selectionCount, 0);
  EXPECT_NE(xrcSelectDeviceEvents(d, 99, None), nullptr);

  ASSERT_EQ(xrcSetRedirection(d, kXrcMouse, "Xvfb mouse"), nullptr);
  XSync(d, False);
  const char *redirection = xrcGetRedirection(other, kXrcMouse);
  ASSERT_NE(redirection, nullptr);
  EXPECT_STREQ(redirection, "Xvfb mouse");
  ASSERT_EQ(xrcSetRedirection(d, kXrcMouse, nullptr), nullptr);
  XSync(d, False);
  EXPECT_EQ(xrcGetRedirection(other, kXrcMouse), nullptr);
  XCloseDisplay(other);

  ASSERT_EQ(xrcTouch(d, 6, 50, 60), nullptr);
  EXPECT_TRUE(window.saw("ButtonPress 1 50 60 0"));
  EXPECT_TRUE(window.saw("ButtonRelease 1 50 60 100"));
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[6].openCount, 0);
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

TEST(XrclibDevices, KeyboardAndMouseOffAndOn) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  XrelayEventWindow window;
  ASSERT_EQ(window.start(s.xvfb.displayName(), s.dir), "");
  Display *d = s.display;
  std::string name = s.xvfb.displayName();
  ASSERT_EQ(xrcDisableInput(d), nullptr);
  EXPECT_EQ(deviceEnabled(name, 7), "0\n");
  EXPECT_EQ(deviceEnabled(name, 6), "0\n");
  EXPECT_EQ(deviceEnabled(name, 5), "1\n");  // the XTEST devices refuse
  EXPECT_EQ(deviceEnabled(name, 4), "1\n");
  EXPECT_FALSE(xrcInputEnabled(d));
  ASSERT_EQ(xrcInitDisplay(d, kXrcInject), nullptr);
  ASSERT_EQ(xrcPressKey(d, kXrcKeyboard, 38), nullptr);
  ASSERT_EQ(xrcReleaseKey(d, kXrcKeyboard, 38), nullptr);
  EXPECT_TRUE(window.saw("KeyRelease 38"));
  ASSERT_EQ(xrcEnableInput(d), nullptr);
  EXPECT_EQ(deviceEnabled(name, 7), "1\n");
  EXPECT_EQ(deviceEnabled(name, 6), "1\n");
  EXPECT_TRUE(xrcInputEnabled(d));
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

TEST(XrclibDevices, CoreDeviceChangeBeforeXinput2) {
  XrcSetup s;
  ASSERT_EQ(s.start(true, {"-version", "XInputExtension=1.4"}), "");
  Display *d = s.display;
  std::string name = localName(s.relay.displayName());
  const char *error = xrcDisableDevice(d, kXrcKeyboard);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error),
            "Can't set input device #5 as core keyboard (BadDevice) on display " + name);
  int count = 0;
  XDeviceInfo *list = XListInputDevices(d, &count);
  unsigned core = 0;
  for (int i = 0; i < count; i++) {
    if (list[i].use == IsXKeyboard) core = static_cast<unsigned>(list[i].id);
  }
  XFreeDeviceList(list);
  EXPECT_EQ(core, 3u);
  EXPECT_EQ(XInternAtom(d, "_MWT_KEYBOARD_OFF", True), None);
  EXPECT_EQ(xrcFindDisplay(d)->deviceEntries[5].openCount, 0);
  EXPECT_EQ(xErrors, 0);
  EXPECT_STREQ(xrcDeviceStatusName(1), "AlreadyGrabed");
  EXPECT_STREQ(xrcDeviceStatusName(4), "GrabFrozen");
  EXPECT_STREQ(xrcDeviceStatusName(8), "BadMatch");
  EXPECT_STREQ(xrcDeviceStatusName(3), "BadDevice");
}

struct CursorSeen {
  int width = 0, height = 0, xhot = -1, yhot = -1;
  unsigned maxAlpha = 0;
};

CursorSeen cursorOver(Display *judge) {
  CursorSeen seen;
  XSync(judge, False);
  XFixesCursorImage *image = XFixesGetCursorImage(judge);
  if (!image) return seen;
  seen.width = image->width, seen.height = image->height;
  seen.xhot = image->xhot, seen.yhot = image->yhot;
  for (int i = 0; i < image->width * image->height; i++) {
    unsigned alpha = static_cast<unsigned>(image->pixels[i] >> 24) & 0xff;
    if (alpha > seen.maxAlpha) seen.maxAlpha = alpha;
  }
  XFree(image);
  return seen;
}

TEST(XrclibCursors, SetOnAWindow) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  Display *d = s.display;
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 200, 0, 0, 0);
  XMapWindow(d, window);
  XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 100, 100);
  XSync(d, False);
  ASSERT_EQ(xrcSetInvisibleCursor(d, window), nullptr);
  CursorSeen seen = cursorOver(d);
  EXPECT_GT(seen.width, 0);
  EXPECT_EQ(seen.maxAlpha, 0u);
  ASSERT_EQ(xrcSetFrameCursor(d, window, 40, 20), nullptr);
  seen = cursorOver(d);
  EXPECT_EQ(seen.width, 40);
  EXPECT_EQ(seen.height, 20);
  EXPECT_EQ(seen.xhot, 20);
  EXPECT_EQ(seen.yhot, 10);
  EXPECT_EQ(seen.maxAlpha, 255u);
  ASSERT_EQ(xrcSetFrameCursor(d, window, 0, 20), nullptr);  // None: the root's cursor
  seen = cursorOver(d);
  EXPECT_FALSE(seen.width == 40 && seen.height == 20);
  EXPECT_NE(xrcSetCrossCursor(d, window, 2, 2), nullptr);
  ASSERT_EQ(xrcSetCrossCursor(d, window, 15, 9), nullptr);
  seen = cursorOver(d);
  EXPECT_EQ(seen.width, 15);
  EXPECT_EQ(seen.xhot, 7);
  EXPECT_EQ(seen.yhot, 4);
  ASSERT_EQ(xrcSetBuiltinCursor(d, window, 0), nullptr);
  seen = cursorOver(d);
  EXPECT_EQ(seen.width, 32);
  EXPECT_EQ(seen.xhot, 16);
  ASSERT_EQ(xrcSetFontCursor(d, window, 34), nullptr);
  EXPECT_NE(xrcSetFontCursor(d, window, 1000), nullptr);
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

TEST(XrclibMarkers, MasterPointerOnXinput2) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  Display *d = s.display;
  XrcMarker *marker = nullptr;
  ASSERT_EQ(xrcCreateMarker(d, 0, "m", &marker), nullptr);
  ASSERT_EQ(marker->kind, kXrcMarkerMaster);
  int count = 0;
  XIDeviceInfo *devices = XIQueryDevice(d, XIAllDevices, &count);
  int master = 0;
  bool slave = false;
  for (int i = 0; i < count; i++) {
    if (std::string(devices[i].name) == "m pointer") master = devices[i].deviceid;
    if (std::string(devices[i].name) == "m XTEST pointer") slave = true;
  }
  XIFreeDeviceInfo(devices);
  EXPECT_EQ(master, marker->masterId);
  EXPECT_TRUE(slave);
  auto where = [&] {
    Window root, child;
    double rx = -1, ry = -1, wx, wy;
    XIButtonState buttons{};
    XIModifierState modifiers{};
    XIGroupState group{};
    XIQueryPointer(d, master, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &buttons,
                   &modifiers, &group);
    free(buttons.mask);
    return std::make_pair(static_cast<int>(rx), static_cast<int>(ry));
  };
  ASSERT_EQ(xrcMoveMarker(marker, 120, 80), nullptr);
  XSync(d, False);
  EXPECT_EQ(where(), std::make_pair(120, 80));
  ASSERT_EQ(xrcShowMarker(marker, 0), nullptr);
  XSync(d, False);
  // Parked far away: the server clips to the screen's corner.
  std::pair<int, int> hidden = where();
  EXPECT_EQ(hidden, std::make_pair(DisplayWidth(d, 0) - 1, DisplayHeight(d, 0) - 1));
  xrcDestroyMarker(marker);
  XSync(d, False);
  devices = XIQueryDevice(d, XIAllDevices, &count);
  bool gone = true;
  for (int i = 0; i < count; i++) gone = gone && std::string(devices[i].name) != "m pointer";
  XIFreeDeviceInfo(devices);
  EXPECT_TRUE(gone);
  EXPECT_EQ(xErrors, 0);
}

TEST(XrclibMarkers, ShapedWindowBeforeXinput2) {
  XrcSetup s;
  ASSERT_EQ(s.start(true, {"-version", "XInputExtension=1.4"}), "");
  Display *d = s.display;
  XrcMarker *marker = nullptr;
  ASSERT_EQ(xrcCreateMarker(d, 0, "m", &marker), nullptr);
  ASSERT_EQ(marker->kind, kXrcMarkerWindow);
  EXPECT_FALSE(xrcMarkerShown(d));
  ASSERT_EQ(xrcMoveMarker(marker, 200, 150), nullptr);
  XSync(d, False);
  XWindowAttributes attributes{};
  XGetWindowAttributes(d, marker->window, &attributes);
  EXPECT_EQ(attributes.map_state, IsViewable);
  EXPECT_EQ(attributes.x, 200 - marker->hotX);
  EXPECT_EQ(attributes.y, 150 - marker->hotY);
  EXPECT_TRUE(attributes.override_redirect);
  EXPECT_EQ(XGetSelectionOwner(d, 61), marker->window);
  int rectangles = 0, ordering = 0;
  XRectangle *shape = XShapeGetRectangles(d, marker->window, ShapeBounding, &rectangles, &ordering);
  EXPECT_GT(rectangles, 1);  // a cross, not the whole square
  if (shape) XFree(shape);
  ASSERT_EQ(xrcShowMarker(marker, 0), nullptr);
  XSync(d, False);
  EXPECT_EQ(XGetSelectionOwner(d, 61), None);
  XGetWindowAttributes(d, marker->window, &attributes);
  EXPECT_EQ(attributes.map_state, IsUnmapped);
  xrcDestroyMarker(marker);
  XSync(d, False);
  EXPECT_EQ(xErrors, 0);
}

std::vector<std::string> stepLines;
void captureStep(LogChannel *channel, const char *, int, const char *message) {
  if (channel == logChannelStep) stepLines.push_back(message);
}

TEST(XrclibHighlight, LeavesTheScreenAsItWas) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  Display *d = s.display;
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 10, 10, 300, 300, 0, 0,
                                      0x336699);
  XMapWindow(d, window);
  XSync(d, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Window root = DefaultRootWindow(d);
  XImage *before = XGetImage(d, root, 0, 0, 400, 400, AllPlanes, ZPixmap);
  ASSERT_NE(before, nullptr);
  char program[] = "xrclibdevices_test", *argv[] = {program, nullptr};
  logInit(1, argv, "test", "test");
  LogOutputHook previous = logOutputHook;
  logEnableChannel(logChannelStep);
  logOutputHook = captureStep;
  stepLines.clear();
  EXPECT_EQ(xrcHighlightPosition(d, 0, 150, 150), nullptr);
  EXPECT_EQ(xrcHighlightArea(d, 0, 20, 30, 100, 50), nullptr);
  EXPECT_EQ(xrcHighlightCrossing(d, 0, 40, 40), nullptr);
  logOutputHook = previous;
  ASSERT_GE(stepLines.size(), 2u);
  EXPECT_EQ(stepLines[0], "Highlighting position 150,150...");
  EXPECT_EQ(stepLines[1], "Highlighting geometry 100x50...");
  // Another connection gets through: the server is not grabbed any more.
  Display *other = XOpenDisplay(s.xvfb.displayName().c_str());
  ASSERT_NE(other, nullptr);
  XImage *after = XGetImage(other, root, 0, 0, 400, 400, AllPlanes, ZPixmap);
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(memcmp(before->data, after->data,
                   static_cast<size_t>(before->bytes_per_line) * before->height),
            0);
  XDestroyImage(before);
  XDestroyImage(after);
  XCloseDisplay(other);
}

TEST(XrclibPick, ClickPicksTheWindow) {
  XrcSetup s;
  ASSERT_EQ(s.start(false), "");
  Display *d = s.display;
  Window root = DefaultRootWindow(d);
  Window frame = XCreateSimpleWindow(d, root, 100, 100, 200, 200, 0, 0, 0);
  Window client = XCreateSimpleWindow(d, frame, 10, 10, 150, 150, 0, 0, 0);
  Atom wmState = XInternAtom(d, "WM_STATE", False);
  long state[2] = {NormalState, None};
  XChangeProperty(d, client, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(state), 2);
  XMapWindow(d, client);
  XMapWindow(d, frame);
  XSync(d, False);
  std::string clickAt = "sleep 0.5; xdotool mousemove 150 150 click 1";
  for (bool clientPick : {false, true}) {
    pid_t clicker = xrelaySpawn(
        {"/bin/sh", "-c", "DISPLAY=" + s.xvfb.displayName() + " ; export DISPLAY; " + clickAt});
    Window picked = None;
    const char *error = clientPick ? xrcPickClientWindow(d, 34, 1, &picked)
                                   : xrcPickWindow(d, 34, 1, &picked);
    xrelayEnd(clicker);
    ASSERT_EQ(error, nullptr);
    EXPECT_EQ(picked, clientPick ? client : frame);
  }
  Display *other = XOpenDisplay(s.xvfb.displayName().c_str());
  ASSERT_NE(other, nullptr);
  XGrabPointer(other, DefaultRootWindow(other), False, 0, GrabModeAsync, GrabModeAsync, None,
               None, CurrentTime);
  XSync(other, False);
  Window picked = 1;
  EXPECT_NE(xrcPickWindow(d, 34, 1, &picked), nullptr);
  EXPECT_EQ(picked, None);
  XCloseDisplay(other);
}

}  // namespace
