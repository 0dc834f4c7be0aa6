// The XTEST extension.
#include "xext/xtest.h"

#include <algorithm>
#include <cstring>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/buffer.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/wirewords.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibinput.h"
#include "xext/ext.h"

int xtestEmulated;

namespace {

constexpr const char *kSource = "Xext/xtest";
constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadCursor = 6, kBadLength = 16;
constexpr uint8_t kKeyPress = 2, kKeyRelease = 3, kButtonPress = 4, kButtonRelease = 5, kMotionNotify = 6;
constexpr uint32_t kCurrentCursor = 1;
// The fake event proper; DeviceValuator events may follow a forwarded one, 32 bytes each.
constexpr uint32_t kFakeInputBytes = 36;

// The display the remote-control library injects on: the first head's of the first meta screen.
Display *injectionDisplay() {
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  return head ? head->display : nullptr;
}

// The meta screen that relative motion and a motion without root speak of.
MetaScreen *pointerScreen() {
  Head *head = proxyState.pointerHead;
  return head && head->metaScreen ? head->metaScreen : xscreenList;
}

// The cursor a window shows: its own, else its nearest ancestor's (0: none).
uint32_t windowCursorOf(const WindowRecord *window) {
  for (; window; window = window->parent)
    if (window->cursor) return window->cursor->id;
  return 0;
}

// The client's requests reach the real server before an injected event does: the client waits
// for that parked (others are served meanwhile), then `synced` carries the event out.
void afterClientSynced(ClientConnection *client, const uint8_t *request, XproxyParkResume synced) {
  DisplayConnection *connection = client && client->displayCount ? client->displays[0] : nullptr;
  if (!connection) return synced(const_cast<uint8_t *>(request), kFakeInputBytes, nullptr);
  xproxyParkClient(client, connection, request, kFakeInputBytes, synced);
}

// ----- minor 0: XTestGetVersion -----

// Always 2.2: the proxy serves this version whatever the real server's or the record's.
void getVersion(uint8_t *request, uint32_t, uint8_t *) {
  uint8_t reply[32] = {};
  reply[1] = 2;
  wirePut16(reply + 8, 2);
  extSendLocalReply(request, reply, sizeof reply, "bbsis");
}

// ----- minor 1: XTestCompareCursor -----

constexpr XcoreIdField kCompareFields[] = {{4, kResourceWindow}, {8, kResourceCursor}, {0, 0}};

void compareEmulated(uint8_t *request, uint32_t length, const char *failure);

void compareCursor(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t windowId = wireGet32(request + 4), cursorId = wireGet32(request + 8);
  if (!xtestEmulated) {
    // One head answers: the one holding the pointer when it shows this meta screen, since the
    // current cursor is its own; else the meta screen's first.
    if (!xcoreFrameResolve(windowId, kXcoreWantWindow, kBadWindow, request, length)) return;
    MetaScreen *screen = client->cachedScreen;
    Head *head = proxyState.pointerHead;
    if (!head || head->metaScreen != screen) head = screen ? screen->heads : nullptr;
    if (!head) {
      xprotoSendError(kBadWindow, windowId, request, length, nullptr);
      return;
    }
    xcoreFrameForwardToHead(request, length, head, kCompareFields);
    return;
  }
  // The current cursor needs the pointer, asked once the client's requests have reached the
  // server: the client waits for that parked.
  if (cursorId == kCurrentCursor && resourceLookupWindow(windowId) && xproxyPointerQueryWaits(client))
    return xproxyParkClient(client, client->displays[0], request, length, compareEmulated);
  compareEmulated(request, length, nullptr);
}

// The emulated comparison; with the pointer asked without a sync (done by the park, if needed).
void compareEmulated(uint8_t *request, uint32_t length, const char *failure) {
  uint32_t windowId = wireGet32(request + 4), cursorId = wireGet32(request + 8);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(windowId));
  if (!window) {
    xprotoSendError(kBadWindow, windowId, request, length, nullptr);
    return;
  }
  uint32_t shown = windowCursorOf(window);
  uint8_t same = 0;
  if (cursorId == 0) {
    same = shown == 0;
  } else if (cursorId == kCurrentCursor) {
    Head *head = nullptr;
    int32_t x = 0, y = 0;
    if (failure)
      logProblem(failure, kSource, __LINE__);
    else if (const char *error = xproxyQueryPointerPosition(&head, &x, &y))
      logProblem(error, kSource, __LINE__);
    else
      same = shown == windowCurrentCursor(x, y);
  } else {
    if (!resourceLookupByType(cursorId, kResourceCursor)) {
      xprotoSendError(kBadCursor, cursorId, request, length, nullptr);
      return;
    }
    same = shown == cursorId;
  }
  uint8_t reply[32] = {};
  reply[1] = same;
  extSendLocalReply(request, reply, sizeof reply, "bbsi");
}

// ----- minor 2: XTestFakeInput -----

// Pointer motion through the proxy's own pointer tracking; relative motion starts from where
// the real pointer is now.
void fakeMotionSynced(uint8_t *request, uint32_t, const char *failure) {
  if (failure) logProblem(failure, kSource, __LINE__);
  ClientConnection *client = xproxyCurrentClient;
  uint8_t relative = request[5];
  uint32_t root = wireGet32(request + 12);
  int32_t x = int16_t(wireGet16(request + 24)), y = int16_t(wireGet16(request + 26));
  MetaScreen *screen = root && !relative ? xscreenFindByRoot(root) : pointerScreen();
  if (!screen) return;  // the root has gone since the request was checked
  if (relative) {
    // From the real pointer; from the proxy's own idea of it when the server is not asked (it
    // did not take the client's requests in time) or does not answer.
    int32_t px = proxyState.pointerHead && proxyState.pointerHead->metaScreen == screen ? proxyState.pointerX : 0;
    int32_t py = proxyState.pointerHead && proxyState.pointerHead->metaScreen == screen ? proxyState.pointerY : 0;
    Head *head = proxyState.pointerHead ? proxyState.pointerHead : screen->heads;
    // The answer names the screen the pointer is on, also when that is not the default one.
    MainRealPointer real;
    if (!failure && head && head->display &&
        mainQueryRealPointer(head->display, DefaultRootWindow(head->display), "XTEST FakeInput", &real) && real.root)
      if (Head *at = mainFindHeadByRoot(head->serverDisplay, real.root)) {
        px = real.rootX, py = real.rootY;
        xproxyHeadToRootXY(&px, &py, at);
      }
    x = int32_t(std::clamp<int64_t>(int64_t(x) + px, INT32_MIN, INT32_MAX));
    y = int32_t(std::clamp<int64_t>(int64_t(y) + py, INT32_MIN, INT32_MAX));
  }
  // A client whose requests the server did not take in time moves the pointer as the proxy does
  // on its own: its connection is not waited for again. Another client's grab that the motion
  // carries holds this client in nothing.
  mainPointerTrack(kXrcMouse, failure ? nullptr : client, screen, x, y, 0);
}

void injectSynced(uint8_t *request, uint32_t length, const char *failure);

// A checked fake event of type 2 to 6 carried out now: keys and buttons through the
// remote-control library (emulation only: otherwise they were forwarded), motion by tracking.
// Each waits parked until the client's earlier requests reached the server, absolute motion
// too (its crossing of heads would otherwise sync the client in the loop).
void injectFake(ClientConnection *client, const uint8_t *request) {
  uint8_t type = request[4];
  afterClientSynced(client, request, type == kMotionNotify ? fakeMotionSynced : injectSynced);
}

// Keys and buttons, once the client's requests have reached the real server.
void injectSynced(uint8_t *request, uint32_t, const char *failure) {
  if (failure) logProblem(failure, kSource, __LINE__);
  uint8_t type = request[4], detail = request[5];
  Display *display = injectionDisplay();
  if (!display) return;
  const char *error = nullptr;
  switch (type) {
    case kKeyPress: error = xrcPressKey(display, kXrcKeyboard, detail); break;
    case kKeyRelease: error = xrcReleaseKey(display, kXrcKeyboard, detail); break;
    case kButtonPress: error = xrcPressButton(display, kXrcMouse, detail); break;
    case kButtonRelease: error = xrcReleaseButton(display, kXrcMouse, detail); break;
    default: break;
  }
  if (error) logProblem(error, kSource, __LINE__);
}

// While a client is held its socket is watched for its end, which drops the pending event:
// what it sends meanwhile is buffered and cut after the delay. Past this much buffered input
// the watch stops (an end is then seen after the delay).
constexpr uint32_t kHeldInputLimit = 1u << 16;
constexpr uint32_t kHeldReadChunk = 4096;

void stopWatch(ClientConnection *client) {
  ordersCancel(client->xtestWatch);
  client->xtestWatch = nullptr;
}

void onHeldReadable(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  int got = client->fd >= 0 ? bufferReadFdAtMost(client->fd, kHeldReadChunk, &client->input) : 2;
  if (got == 0) {
    xproxyCloseClient(client, "Broken connection", 1);
    return;
  }
  if (client->fd < 0 || client->input.length >= kHeldInputLimit) stopWatch(client);
}

// The delay is over: the held event is injected and its sender goes on.
void onDelayEnd(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  client->xtestDelay = nullptr;  // a fired one-shot timer is done
  stopWatch(client);
  {
    ConnectionPass pass(client);
    xtestInject(client, client->xtestPending);
    if (pass.clientClosed()) return;
    for (uint32_t i = 0; i < client->displayCount; i++)
      if (!xproxyFlushOrClose(client->displays[i])) return;  // that failure closed the client
  }
  miscScheduleClientReads(client);
}

// Injected now, or after the delay with the client held meanwhile: no request of it is cut
// (its reader pauses after this one) until the timer injects; its socket is only watched.
void injectAfterDelay(ClientConnection *client, const uint8_t *request) {
  uint64_t ms = xtestDelayMs(wireGet32(request + 8));
  if (ms == 0) {
    xtestInject(client, request);
    return;
  }
  memcpy(client->xtestPending, request, kFakeInputBytes);
  client->xtestDelay = ordersAddTimer(ms, onDelayEnd, client);
  if (!client->xtestDelay) {  // no memory for the timer: at once rather than never
    xtestInject(client, request);
    return;
  }
  client->reader.bytesNeeded = kReaderStopped;
  if (client->fd >= 0) client->xtestWatch = ordersAddReader(client->fd, onHeldReadable, client);
}

void fakeInput(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  uint8_t type = request[4], detail = request[5];
  bool core = type >= kKeyPress && type <= kMotionNotify;
  if (core && length != kFakeInputBytes) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  if (!core) {
    // Device events and whatever else the real server knows. Without a real XTEST there is
    // nobody to take them: tarvo's own major may be another extension on that server.
    if (xtestEmulated)
      xprotoSendError(kBadValue, type, request, length, nullptr);
    else
      xcoreFrameForwardOnce(request, length);
    return;
  }
  if ((type == kKeyPress || type == kKeyRelease) &&
      (detail < proxyState.minKeycode || detail > proxyState.maxKeycode)) {
    xprotoSendError(kBadValue, detail, request, length, nullptr);
    return;
  }
  if (type == kMotionNotify) {
    uint32_t root = wireGet32(request + 12);
    if (root && detail == 0 && !xscreenFindByRoot(root)) {
      xprotoSendError(kBadWindow, root, request, length, nullptr);
      return;
    }
    injectAfterDelay(client, request);
    return;
  }
  if (!xtestEmulated) {
    xcoreFrameForwardOnce(request, length);
    return;
  }
  if ((type == kButtonPress || type == kButtonRelease) && (detail < 1 || detail > proxyState.pointerButtonLimit)) {
    xprotoSendError(kBadValue, detail, request, length, nullptr);
    return;
  }
  injectAfterDelay(client, request);
}

// ----- minor 3: XTestGrabControl -----

void grabControl(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  client->impervious = request[4] ? 1 : 0;
  // A client that is no longer impervious during another's server grab stops after this
  // request; one that now is gets going again (flow control decides both).
  if (!client->impervious && miscGrabbingClient && miscGrabbingClient != client)
    client->reader.bytesNeeded = kReaderStopped;
  // A server without XTEST would take tarvo's opcode for another extension: nothing goes there.
  if (!xtestEmulated) xcoreFrameForwardOnce(request, length);
  miscScheduleClientReads(client);
}

// FakeInput's swap covers the DeviceValuator events behind a forwarded device event.
constexpr ExtRequestRow kRows[] = {
    {0, "XTestGetVersion", 8, 0, "bbsbbs", ExtServed::Local, getVersion, nullptr, ExtReplyKind::NoReply, nullptr},
    {1, "XTestCompareCursor", 12, 0, "bbsii", ExtServed::Local, compareCursor, "bbsi", ExtReplyKind::Plain, nullptr},
    {2, "XTestFakeInput", kFakeInputBytes, 32, "bbsbbsiiiissbbbbbbbb[bbssbbiiiiii]", ExtServed::Local, fakeInput,
     nullptr, ExtReplyKind::NoReply, nullptr},
    {3, "XTestGrabControl", 8, 0, "bbs", ExtServed::Local, grabControl, nullptr, ExtReplyKind::NoReply, nullptr},
};

void xtestReset() { proxyState.ext.xtest = nullptr; }

}  // namespace

XtestInject xtestInject = injectFake;

const ExtRequestTable xtestTable{kRows, sizeof kRows / sizeof kRows[0]};

uint64_t xtestDelayMs(uint32_t delay) {
  Display *display = injectionDisplay();
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  int64_t unit = context ? context->options[kXrcOptionDelayUnit] : 100;
  if (unit <= 0) return 0;
  return uint64_t(unit) * delay / 100;
}

// ===== set-up =====
const char *xtestSetup(ExtensionRecord *record) {
  return extInitSimple(record, "XTEST", xtestTable, &proxyState.ext.xtest, xtestReset);
}
// ===== end of set-up =====
