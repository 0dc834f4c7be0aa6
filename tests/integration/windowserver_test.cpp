// The proxy's grabs and window moves on the real servers of two heads (the two screens of one
// Xvfb): a grab forwarded to the second head holds there against other clients until it is
// lifted; a moved window moves on both heads and in the tree, or is left to its window manager.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#undef min
#undef max

#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "corerequests_fixture.h"

namespace {

class ServerGrabTest : public corerequests::CoreRequestTest {
 protected:
  void SetUp() override {
    CoreRequestTest::SetUp();
    if (HasFatalFailure()) return;
    // A top-level window of the client: a copy on each head and one in the tree.
    id = clientId(1);
    for (Head *h : heads) {
      uint8_t *at = xproxyBeginRequest(connection, 1, 0, 32);
      ASSERT_NE(at, nullptr);
      uint32_t words[7] = {resourceServerId(id, kResourceWindow, h),
                           resourceServerId(screen->root, kResourceWindow, h), 0, 0, 0, 1, 0};
      uint16_t geometry[4] = {10, 20, 50, 40};
      memcpy(at + 4, &words[0], 8);
      memcpy(at + 12, geometry, 8);
      uint16_t border = 0, windowClass = 1;
      memcpy(at + 20, &border, 2);
      memcpy(at + 22, &windowClass, 2);
      memset(at + 24, 0, 8);  // visual CopyFromParent, no values
      at = xproxyBeginRequest(connection, 8, 0, 8);
      ASSERT_NE(at, nullptr);
      uint32_t serverId = resourceServerId(id, kResourceWindow, h);
      memcpy(at + 4, &serverId, 4);
    }
    sync();
    xproxyCurrentClient = client;
    WindowRecord *root = static_cast<WindowRecord *>(resourceLookupWindow(screen->root));
    window = windowCreate(id, root, 10, 20, 50, 40, 0, 0, 0);
    ASSERT_NE(window, nullptr);
    windowMap(window);
    xproxyCurrentClient = nullptr;
  }
  void TearDown() override {
    windowUngrabPointer(kWindowPointer, nullptr, 0);
    // The grab's crossing events reach the heads' displays, whose events the proxy's loop would
    // handle; here they are dropped.
    for (Head *h : heads) {
      XSync(h->display, False);
      while (XPending(h->display)) {
        XEvent e;
        XNextEvent(h->display, &e);
      }
    }
    CoreRequestTest::TearDown();
  }
  // Whether another client can grab the pointer on a screen of the Xvfb now.
  int otherGrab(int screen) {
    int status = XGrabPointer(judge, RootWindow(judge, screen), False, ButtonPressMask, GrabModeAsync,
                              GrabModeAsync, None, None, CurrentTime);
    XUngrabPointer(judge, CurrentTime);
    XSync(judge, False);
    return status;
  }
  // Where a head's copy of the window is.
  std::pair<int, int> position(Head *h) {
    Window root;
    int x = -1, y = -1;
    unsigned w, hh, b, d;
    XGetGeometry(judge, resourceServerId(id, kResourceWindow, h), &root, &x, &y, &w, &hh, &b, &d);
    return {x, y};
  }

  uint32_t id = 0;
  WindowRecord *window = nullptr;
};

TEST_F(ServerGrabTest, ForwardedPointerGrabHoldsUntilLifted) {
  EXPECT_EQ(otherGrab(1), GrabSuccess);
  ASSERT_EQ(windowGrabPointer(kWindowPointer, client, id, 0, 0, 0x4, 1, 1, nullptr, 0, 0), 1);
  miscForwardGrabPointer(heads[1], 1);
  sync();
  EXPECT_EQ(proxyState.pointerGrab.realServer, 1);
  EXPECT_EQ(otherGrab(1), AlreadyGrabbed);
  miscUngrabPointerOnServer(1);
  sync();
  EXPECT_EQ(otherGrab(1), GrabSuccess);
}

TEST_F(ServerGrabTest, MovedWindowMovesOnEveryHead) {
  xproxyMoveWindow(client, window, 70, 90);
  sync();
  for (Head *h : heads) EXPECT_EQ(position(h), std::make_pair(70, 90));
  EXPECT_EQ(window->x, 70);
  EXPECT_EQ(window->y, 90);
}


}  // namespace
