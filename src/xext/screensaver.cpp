// MIT-SCREEN-SAVER and SCREEN-SAVER: forwarded to the client's main display connection. The
// saver window's attributes are set on every head with that head's root, visual, pixels and
// ids; the other requests speak of the first head of the first meta screen.
#include "xext/screensaver.h"

#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr uint8_t kBadAlloc = 11;
constexpr uint8_t kSentEvent = 0x80;

// The first head of the first meta screen: where requests naming no particular head go.
Head *firstHead() { return xscreenList ? xscreenList->heads : nullptr; }

// ----- MIT-SCREEN-SAVER -----

// The saver window's attribute values as CreateWindow's (bit numbers of the value mask).
enum : uint32_t {
  kBackPixmap = 0, kBackPixel, kBorderPixmap, kBorderPixel, kBitGravity, kWinGravity, kBackingStore,
  kBackingPlanes, kBackingPixel, kOverrideRedirect, kSaveUnder, kEventMask, kDontPropagate, kColormap,
  kCursor, kValueBits
};

// One value of the list as the head takes it: pixmaps, colormap and cursor by the head's ids
// (None and ParentRelative/CopyFromParent stay), pixels by the head's visual.
uint32_t valueForHead(uint32_t bit, uint32_t value, const VisualRecord *visual, Head *head) {
  switch (bit) {
    case kBackPixmap:
    case kBorderPixmap: return value > 1 ? resourceServerId(value, kResourcePixmap, head) : value;
    case kBackPixel:
    case kBorderPixel:
    case kBackingPixel: return xproxyPixelToServer(value, visual, head);
    case kBackingPlanes: return xproxyPixelToServer2(value, visual, head);
    case kColormap: return value ? resourceServerId(value, kResourceColormap, head) : 0;
    case kCursor: return value ? resourceServerId(value, kResourceCursor, head) : 0;
    default: return value;
  }
}

constexpr XcoreIdField kRealRootAt4[] = {{4, kResourceRealRoot}, {0, 0}};

// ScreenSaverSetAttributes: one copy per head of the drawable's meta screen, each with the
// head's root, visual and values (the frame has checked the list against the mask).
void setAttributes(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t mask = wireGet32(request + 24);
  ClientConnection *client = xproxyCurrentClient;
  resourceCacheDrawable(client, wireGet32(request + 4));
  MetaScreen *screen = client->cachedScreen;
  if (!screen || !screen->heads) return;
  DisplayConnection *connection = xcoreFrameConnection();
  uint32_t visualId = wireGet32(request + 20);
  const VisualRecord *visual = visualId ? xscreenFindVisual(screen, visualId) : nullptr;
  if (!visual) visual = screen->rootVisual;
  for (Head *head = screen->heads; head; head = head->next) {
    uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, kRealRootAt4) : nullptr;
    if (!copy) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    if (visualId) wirePut32(copy + 20, xproxyVisualIdToServer(visualId, head));
    uint8_t *at = copy + 28;
    for (uint32_t bit = 0; bit < 32; bit++) {
      if (!(mask & (1u << bit))) continue;
      uint32_t value = wireGet32(at);
      // With CopyFromParent the saver window takes the real root's visual: the meta default
      // colormap is then the head's own default colormap, not its shadow of the meta visual
      // (a colormap of another visual is BadMatch).
      if (bit == kColormap && !visualId && value && value == screen->defaultColormap)
        wirePut32(at, resourceServerId(value, kResourceRealDefaultColormap, head));
      else if (bit < kValueBits)
        wirePut32(at, valueForHead(bit, value, visual, head));
      at += 4;
    }
  }
}

// ScreenSaverUnsetAttributes: one copy per head with the drawable of that head.
void unsetAttributes(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t drawable = wireGet32(request + 4);
  resourceCacheDrawable(client, drawable);
  MetaScreen *screen = client->cachedScreen;
  DisplayConnection *connection = xcoreFrameConnection();
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next) {
    uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, nullptr) : nullptr;
    if (!copy) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    wirePut32(copy + 4, xproxyServerDrawable(drawable, head));
  }
}

// QueryInfo and SelectInput: the drawable of the first head.
void drawableOfFirstHead(uint8_t *, uint32_t, uint8_t *copy) {
  Head *head = firstHead();
  if (copy && head) wirePut32(copy + 4, xproxyServerDrawable(wireGet32(copy + 4), head));
}

// QueryInfo's reply: the saver window back in the client's view.
void queryInfoReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  wirePut32(reply + 8, mainServerToProxyXid(wireGet32(reply + 8), connection ? connection->display : nullptr));
  extWriteReply(reply, length, "bbsiiiiib");
}

// ScreenSaverNotify: the client's sequence; a real one gets its root and window back for the
// head whose real root it names, and its time kept.
void screensaverNotify(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) {
    uint32_t root = wireGet32(event + 8), window = wireGet32(event + 12);
    if (Head *head = mainFindHeadByRoot(connection->display, root)) {
      wirePut32(event + 8, mainHeadXidToProxy(kResourceWindow, root, head));
      wirePut32(event + 12, mainHeadXidToProxy(kResourceWindow, window, head));
    } else {
      wirePut32(event + 8, mainServerToProxyXid(root, connection->display));
      wirePut32(event + 12, mainServerToProxyXid(window, connection->display));
    }
    mainSetLastTime(wireGet32(event + 4));
  }
  mainSendEventToClient(event, "bbsiii", 0);
}

// QueryInfo's reply keeps the kind byte at 24 in place: its words end at 24.
constexpr ExtRequestRow kRows[] = {
    {0, "ScreenSaverQueryVersion", 8, 0, "bbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "ScreenSaverQueryInfo", 8, 0, "bbsi", ExtServed::Forward, drawableOfFirstHead, "bbsiiiiib", ExtReplyKind::Own,
     queryInfoReply},
    {2, "ScreenSaverSelectInput", 12, 0, "bbsii", ExtServed::Forward, drawableOfFirstHead, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {3, "ScreenSaverSetAttributes", 28, 4, "bbsisssssbbiiI", ExtServed::PerHead, setAttributes, nullptr,
     ExtReplyKind::NoReply, nullptr, 24},
    {4, "ScreenSaverUnsetAttributes", 8, 0, "bbsi", ExtServed::PerHead, unsetAttributes, nullptr,
     ExtReplyKind::NoReply, nullptr},
};

void screensaverReset() { proxyState.ext.screensaver = nullptr; }

// ----- SCREEN-SAVER -----

// The version lowered to the record's when the server's is higher; a lower one passes.
void sgiVersionReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t key = connection ? connection->replyKey : 0;
  uint16_t own = proxyState.extensions[uint8_t(key)].version;
  uint32_t server = uint32_t(wireGet16(reply + 8)) * 64 + wireGet16(reply + 10);
  if (server > own) {
    wirePut16(reply + 8, uint16_t(own / 64));
    wirePut16(reply + 10, uint16_t(own % 64));
  }
  extWriteReply(reply, length, "bbsiss");
}

// Enable and Disable: the screen of the first head.
void screenOfFirstHead(uint8_t *, uint32_t, uint8_t *copy) {
  Head *head = firstHead();
  if (copy && head) wirePut32(copy + 4, uint32_t(head->screen));
}

// The saver going on or off: the client's sequence, a real one's id back in the client's view.
void sgiEvent(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) wirePut32(event + 4, mainServerToProxyXid(wireGet32(event + 4), connection->display));
  mainSendEventToClient(event, "bbsii", 0);
}

constexpr ExtRequestRow kSgiRows[] = {
    {0, "SgiScreenSaverQueryVersion", 8, 0, "bbsbbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Own,
     sgiVersionReply},
    {1, "SgiScreenSaverEnable", 8, 0, "bbsi", ExtServed::Forward, screenOfFirstHead, "bbsi", ExtReplyKind::Plain,
     nullptr},
    {2, "SgiScreenSaverDisable", 8, 0, "bbsi", ExtServed::Forward, screenOfFirstHead, "bbsi", ExtReplyKind::Plain,
     nullptr},
};

void sgiScreensaverReset() { proxyState.ext.sgiScreensaver = nullptr; }

}  // namespace

const ExtRequestTable screensaverTable{kRows, sizeof kRows / sizeof kRows[0]};
const ExtRequestTable sgiScreensaverTable{kSgiRows, sizeof kSgiRows / sizeof kSgiRows[0]};

const char *screensaverSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "MIT-SCREEN-SAVER", 1, 0)) return error;
  if (const char *error = extAddEventRow(record, screensaverNotify, "bbsiii")) return error;
  extWriteRows(record, screensaverTable);
  record->reset = screensaverReset;
  proxyState.ext.screensaver = record;
  return nullptr;
}

const char *sgiScreensaverSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "SCREEN-SAVER", 2, 0)) return error;
  for (int k = 0; k < 2; k++)
    if (const char *error = extAddEventRow(record, sgiEvent, "bbsii")) return error;
  extWriteRows(record, sgiScreensaverTable);
  record->reset = sgiScreensaverReset;
  proxyState.ext.sgiScreensaver = record;
  return nullptr;
}
