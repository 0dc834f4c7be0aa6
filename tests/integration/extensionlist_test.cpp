// The extension list built against Xvfb: every extension Xvfb lists and the table knows is
// initialised under Xvfb's own codes, a switched-off one is logged and skipped, and the proxy's
// own extensions take the lowest free opcode without event or error codes. Then the real-display
// event pump: a LeaveNotify sent with XSendEvent to a head's crossing window is ignored.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "loop_fixture.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xmain.h"
#include "xext/xtest.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "startup_fixture.h"
#include "support/numbers.h"
#include "xext/ext.h"

namespace {

struct Codes {
  int major, event, error;
};

// What Xvfb itself says, through a connection of the test's own.
std::map<std::string, Codes> listedDirect(const std::string &display) {
  std::map<std::string, Codes> out;
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return out;
  int count = 0;
  char **names = XListExtensions(d, &count);
  for (int k = 0; k < count; k++) {
    Codes c{};
    if (XQueryExtension(d, names[k], &c.major, &c.event, &c.error)) out[names[k]] = c;
  }
  XFreeExtensionList(names);
  XCloseDisplay(d);
  return out;
}

const ExtensionTableRow *knownRow(const std::string &name) {
  for (const ExtensionTableRow &row : xproxyExtensionTable)
    if (name == row.name) return &row;
  return nullptr;
}

class ExtensionList : public testing::Test {
 protected:
  void TearDown() override {
    extResetAll();
    xtestEmulated = 0;
    proxy.stop();
  }
  StartupProxy proxy;
};

TEST_F(ExtensionList, ListedExtensionsKeepTheRealCodesAndOwnOnesTakeFreeOpcodes) {
  StartupOptions options;
  options.statements = {"screen", "s0", "display", "%D.0", "extensions", "-XVideo"};
  ASSERT_EQ(proxy.start(options), "");
  std::map<std::string, Codes> direct = listedDirect(proxy.xvfb().displayName());
  ASSERT_FALSE(direct.empty());
  loopLogLines().clear();
  ASSERT_EQ(xmainInitExtensions(), nullptr);

  ASSERT_TRUE(extIsDisabled("XVideo"));
  EXPECT_TRUE(loopLogged("Extension XVideo disabled ..."));
  int known = 0;
  for (const auto &[name, codes] : direct) {
    const ExtensionTableRow *row = knownRow(name);
    std::string init = "Init " + name + " ";
    if (extIsDisabled(name.c_str())) {  // XVideo here, and what the defaults switch off
      EXPECT_TRUE(loopLogged("Extension " + name + " disabled ...")) << name;
      EXPECT_FALSE(loopLogged(init)) << name;
      continue;
    }
    if (!row) {
      EXPECT_FALSE(loopLogged(init)) << name;
      continue;
    }
    known++;
    std::string line = init + strVersionText(row->defaultVersion) + " (op=" + std::to_string(codes.major) +
                       " ev=" + std::to_string(codes.event) + " err=" + std::to_string(codes.error) + ") ...";
    EXPECT_TRUE(loopLogged(line)) << line;
    // Offered under the real major when its set-up succeeded, else not at all.
    ExtensionRecord &record = proxyState.extensions[codes.major];
    if (record.name) {
      EXPECT_STREQ(record.name, name.c_str());
    }
  }
  EXPECT_GT(known, 5);

  // The proxy's own extensions: each at the lowest opcode still free then, ev=0 err=0. Their
  // set-ups are not served yet, so every one finds the same opcode free again.
  unsigned lowest = 128;
  while (lowest < 256 && proxyState.extensions[lowest].name) lowest++;
  ASSERT_LT(lowest, 256u);
  for (const char *own : {"MIT-SHM 1.1", "MORWENTECH MULTIMEDIA 1.0", "XINERAMA 1.1", "XTEST 2.2", "DOUBLE-BUFFER 1.0"}) {
    std::string name = std::string(own).substr(0, std::string(own).rfind(' '));
    if (extFindByName(name.c_str())) continue;  // served and listed: nothing added
    std::string line = std::string("Init ") + own + " (op=" + std::to_string(lowest) + " ev=0 err=0) ...";
    EXPECT_TRUE(loopLogged(line)) << line;
  }
  // Xvfb has XTEST: it is served under Xvfb's major, not through the remote-control library.
  const ExtensionRecord *xtest = extFindByName("XTEST");
  ASSERT_NE(xtest, nullptr);
  EXPECT_EQ(xtest->providedByProxy, 0);
  EXPECT_EQ(xtestEmulated, 0);
  // Declined set-ups say why on the note channel (no profile file is named here).
  EXPECT_TRUE(loopLogged("MORWENTECH MULTIMEDIA: Environment variable XMULTIMEDIA_PROFILES not set"));
  // Only once per generation.
  size_t lines = loopLogLines().size();
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  EXPECT_EQ(loopLogLines().size(), lines);
}

// SHAPE answers with a core major, SYNC's query fails: both are skipped with the hint, the
// others are initialised as before.
Bool badQuery(Display *display, const char *name, int *major, int *firstEvent, int *firstError) {
  Bool found = XQueryExtension(display, name, major, firstEvent, firstError);
  if (std::string(name) == "SHAPE") *major = 100;
  return std::string(name) == "SYNC" ? False : found;
}

TEST_F(ExtensionList, UnqueryableOrCoreMajorsAreSkipped) {
  ASSERT_EQ(proxy.start(), "");
  std::map<std::string, Codes> direct = listedDirect(proxy.xvfb().displayName());
  ASSERT_TRUE(direct.count("SHAPE") && direct.count("SYNC") && direct.count("MIT-SCREEN-SAVER"));
  loopLogLines().clear();
  xmainQueryExtension = badQuery;
  const char *error = xmainInitExtensions();
  xmainQueryExtension = XQueryExtension;
  ASSERT_EQ(error, nullptr);
  for (const char *name : {"SHAPE", "SYNC"}) {
    EXPECT_TRUE(loopLogged(std::string("lists extension ") + name + ", but query failed")) << name;
    EXPECT_FALSE(loopLogged(std::string("Init ") + name + " ")) << name;
    EXPECT_EQ(extFindByName(name), nullptr) << name;
  }
  EXPECT_EQ(proxyState.extensions[100].name, nullptr);
  Codes saver = direct["MIT-SCREEN-SAVER"];
  EXPECT_TRUE(loopLogged("Init MIT-SCREEN-SAVER 1.0 (op=" + std::to_string(saver.major) + " ev=" +
                         std::to_string(saver.event) + " err=" + std::to_string(saver.error) + ") ..."));
}

TEST_F(ExtensionList, SyntheticLeaveNotifyIsIgnored) {
  ASSERT_EQ(proxy.start(), "");
  Head *head = xscreenFirst()->heads;
  ASSERT_NE(head->middleWindow, 0u);
  Display *other = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(other, nullptr);
  XEvent event{};
  event.xcrossing.type = LeaveNotify;
  event.xcrossing.window = head->middleWindow;
  event.xcrossing.root = head->root;
  event.xcrossing.mode = NotifyNormal;
  event.xcrossing.detail = NotifyNonlinear;
  ASSERT_NE(XSendEvent(other, head->middleWindow, False, LeaveWindowMask, &event), 0);
  XSync(other, False);
  XCloseDisplay(other);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!loopLogged("LeaveEvent by XSendEvent ignored ...") && std::chrono::steady_clock::now() < deadline) {
    xmainHandleDisplayEvents(head->display, QueuedAfterFlush);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(loopLogged("LeaveEvent by XSendEvent ignored ..."));
  EXPECT_FALSE(loopLogged("Pointer left"));
}

}  // namespace

namespace {

// Pumps the proxy's Xlib queue until the line is logged (10 s at most).
bool pumpUntil(Display *display, const std::string &line) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!loopLogged(line) && std::chrono::steady_clock::now() < deadline) {
    xmainHandleDisplayEvents(display, QueuedAfterFlush);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return loopLogged(line);
}

TEST_F(ExtensionList, RealLeavesAreLoggedAndGrabCrossingsIgnored) {
  ASSERT_EQ(proxy.start(), "");
  Head *head = xscreenFirst()->heads;
  Display *other = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(other, nullptr);
  Window root = DefaultRootWindow(other);
  XWarpPointer(other, None, root, 0, 0, 0, 0, 500, 400);
  XSync(other, False);
  xmainHandleDisplayEvents(head->display, QueuedAfterFlush);
  loopLogLines().clear();
  // Another client's pointer grab takes the pointer out of the crossing window in grab mode.
  ASSERT_EQ(XGrabPointer(other, root, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, None, CurrentTime),
            GrabSuccess);
  XSync(other, False);
  EXPECT_TRUE(pumpUntil(head->display, "LeaveEvent ignored while grabbed (handled by doXPointerTracking) ..."));
  XUngrabPointer(other, CurrentTime);
  XSync(other, False);
  // A window of another client on top: moving the pointer into it leaves the crossing window.
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window top = XCreateWindow(other, root, 10, 10, 50, 50, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect, &attributes);
  XMapRaised(other, top);
  XSync(other, False);
  xmainHandleDisplayEvents(head->display, QueuedAfterFlush);
  loopLogLines().clear();
  XWarpPointer(other, None, root, 0, 0, 0, 0, 20, 30);
  XSync(other, False);
  EXPECT_TRUE(pumpUntil(head->display, std::string("Pointer left ") + head->name + " at 20,30 (mode=0"));
  EXPECT_FALSE(loopLogged("LeaveEvent by XSendEvent ignored"));
  XCloseDisplay(other);
}

TEST_F(ExtensionList, HasExtensionAsksTheRealDisplay) {
  ASSERT_EQ(proxy.start(), "");
  ExtensionRecord shape{}, unknown{}, empty{};
  shape.name = "SHAPE";
  unknown.name = "NO-SUCH-EXTENSION";
  EXPECT_EQ(xproxyHasExtension(&shape, mainServerDisplays), 1);
  EXPECT_EQ(xproxyHasExtension(&unknown, mainServerDisplays), 0);
  EXPECT_EQ(xproxyHasExtension(&empty, mainServerDisplays), 0);
  EXPECT_EQ(xproxyHasExtension(&shape, nullptr), 0);
}

}  // namespace
