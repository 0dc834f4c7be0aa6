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
    if (record.name) EXPECT_STREQ(record.name, name.c_str());
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
  // XTEST through the remote-control library is flagged only once XTEST is offered, and its
  // set-up is not served yet.
  EXPECT_EQ(extFindByName("XTEST"), nullptr);
  EXPECT_EQ(xtestEmulated, 0);
  // Not-served set-ups say so on the note channel.
  EXPECT_TRUE(loopLogged("MORWENTECH MULTIMEDIA: not available yet"));
  // Only once per generation.
  size_t lines = loopLogLines().size();
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  EXPECT_EQ(loopLogLines().size(), lines);
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
