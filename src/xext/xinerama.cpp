// XINERAMA: the heads of the meta screens are the Xinerama screens. Answered from the proxy's
// own lists; nothing is forwarded.
#include "xext/xinerama.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"

namespace {

constexpr uint8_t kBadValue = 2;
constexpr uint8_t kBadWindow = 3;
constexpr uint8_t kBadAlloc = 11;
constexpr uint32_t kReportHeads = 16;
constexpr uint32_t kReportEntry = 28;
constexpr uint32_t kReportLength = 12 + kReportHeads * kReportEntry;  // 460

bool reversed() {
  const char *ordering = getenv("XineramaOrdering");
  return ordering && strcasecmp(ordering, "reverse") == 0;
}

// The n-th head of one meta screen, last to first when reversed; n is checked against the
// count first, so a client's large n never starts a walk.
Head *headOf(MetaScreen *screen, uint32_t n, bool reverse) {
  if (!screen || n >= screen->headCount) return nullptr;
  uint32_t index = reverse ? screen->headCount - 1 - n : n;
  Head *h = screen->heads;
  for (uint32_t k = 0; k < index && h; k++) h = h->next;
  return h;
}

// A window the client named: its meta screen and its rectangle on it (inside, border left
// out). A head's own root stands for the head's area. NULL for an id that names no window.
MetaScreen *windowOf(uint32_t id, Rect *area) {
  void *value = nullptr;
  ResourceType type = resourceLookupIdType(id, &value);
  if (!value) return nullptr;
  if (type == kResourceWindow) {
    const auto *w = static_cast<const WindowRecord *>(value);
    if (area) *area = Rect{w->x, w->y, w->width, w->height};
    return w->screen;
  }
  if (type == kResourceHeadRoot) {
    const auto *head = static_cast<const Head *>(value);
    if (area) *area = head->rect;
    return head->metaScreen;
  }
  return nullptr;
}

uint16_t versionOf(const uint8_t *request) {
  ExtensionRecord *record = &proxyState.extensions[request[0]];
  return record->version;
}

// XineramaQueryVersion: the record's version.
void queryVersion(uint8_t *request, uint32_t, uint8_t *) {
  uint8_t reply[32] = {};
  uint16_t version = versionOf(request);
  wirePut16(reply + 8, uint16_t(version / 64));
  wirePut16(reply + 10, uint16_t(version % 64));
  extSendLocalReply(request, reply, sizeof reply, "bbsiss");
}

// XineramaGetState: whether the window's meta screen is split.
void getState(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t window = wireGet32(request + 4);
  MetaScreen *screen = windowOf(window, nullptr);
  if (!screen) {
    xprotoSendError(kBadWindow, window, request, length, nullptr);
    return;
  }
  uint8_t reply[32] = {};
  reply[1] = uint8_t(xineramaIsActive(screen));
  wirePut32(reply + 8, window);
  extSendLocalReply(request, reply, sizeof reply, "bbsii");
}

// XineramaGetScreenCount: the heads of the window's meta screen (of all meta screens for an
// unknown window), at most 255.
void getScreenCount(uint8_t *request, uint32_t, uint8_t *) {
  uint32_t window = wireGet32(request + 4);
  uint8_t reply[32] = {};
  reply[1] = uint8_t(std::min<uint32_t>(xineramaCountHeads(windowOf(window, nullptr)), 255));
  wirePut32(reply + 8, window);
  extSendLocalReply(request, reply, sizeof reply, "bbsii");
}

// XineramaGetScreenSize: the size of one head of the window's meta screen.
void getScreenSize(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t window = wireGet32(request + 4), n = wireGet32(request + 8);
  MetaScreen *screen = windowOf(window, nullptr);
  if (!screen) {
    xprotoSendError(kBadWindow, window, request, length, nullptr);
    return;
  }
  const Rect *area = xineramaGetHeadArea(screen, n);
  if (!area) {
    xprotoSendError(kBadValue, n, request, length, nullptr);
    return;
  }
  uint8_t reply[32] = {};
  wirePut32(reply + 8, area->width);
  wirePut32(reply + 12, area->height);
  wirePut32(reply + 16, window);
  wirePut32(reply + 20, n);
  extSendLocalReply(request, reply, sizeof reply, "bbsiiiii");
}

// The part of the window on each head of its meta screen, relative to the head's origin.
void windowReport(uint8_t *request, uint32_t length) {
  uint32_t window = wireGet32(request + 4);
  Rect area{};
  MetaScreen *screen = windowOf(window, &area);
  if (!screen) {
    xprotoSendError(kBadWindow, window, request, length, nullptr);
    return;
  }
  uint8_t reply[kReportLength] = {};
  wirePut32(reply + 8, window);
  uint32_t count = std::min(xineramaCountHeads(screen), kReportHeads);
  for (uint32_t n = 0; n < count; n++) {
    const Rect *head = xineramaGetHeadArea(screen, n);
    if (!head) break;
    uint8_t *entry = reply + 12 + n * kReportEntry;
    wirePut32(entry, window);
    wirePut32(entry + 4, uint32_t(head->x));
    wirePut32(entry + 8, uint32_t(head->y));
    // Edges in 64 bits: a far window plus its size passes the 32-bit range.
    int64_t x1 = std::max<int64_t>(area.x, head->x), y1 = std::max<int64_t>(area.y, head->y);
    int64_t x2 = std::min<int64_t>(int64_t(area.x) + area.width, int64_t(head->x) + head->width);
    int64_t y2 = std::min<int64_t>(int64_t(area.y) + area.height, int64_t(head->y) + head->height);
    if (x2 <= x1 || y2 <= y1) continue;  // not on this head: x, y, width and height stay 0
    wirePut32(entry + 12, uint32_t(x1 - head->x));
    wirePut32(entry + 16, uint32_t(y1 - head->y));
    wirePut32(entry + 20, uint32_t(x2 - x1));
    wirePut32(entry + 24, uint32_t(y2 - y1));
  }
  extSendLocalReply(request, reply, sizeof reply, "bbsI");
}

// XineramaIsActive: 4 bytes ask about the first meta screen; 8 bytes (a window) ask for the
// window report. The row takes 4 bytes and a list of words; other lengths are refused here.
void isActive(uint8_t *request, uint32_t length, uint8_t *) {
  if (length == 8) {
    windowReport(request, length);
    return;
  }
  if (length != 4) {
    xprotoSendError(16, length, request, length, nullptr);
    return;
  }
  uint8_t reply[32] = {};
  wirePut32(reply + 8, uint32_t(xineramaIsActive(nullptr)));
  extSendLocalReply(request, reply, sizeof reply, "bbsii");
}

// XineramaQueryScreens: every head's area, in lookup order.
void queryScreens(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t count = xineramaCountHeads(nullptr);
  std::vector<uint8_t> reply;
  try {
    reply.assign(32 + size_t(count) * 8, 0);
  } catch (const std::bad_alloc &) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  uint32_t written = 0;
  for (; written < count; written++) {
    const Rect *area = xineramaGetHeadArea(nullptr, written);
    if (!area) break;
    uint8_t *entry = reply.data() + 32 + written * 8;
    wirePut16(entry, uint16_t(area->x));
    wirePut16(entry + 2, uint16_t(area->y));
    wirePut16(entry + 4, uint16_t(area->width));
    wirePut16(entry + 6, uint16_t(area->height));
  }
  wirePut32(reply.data() + 8, written);
  extSendLocalReply(request, reply.data(), 32 + written * 8, "bbsiiS");
}

// XineramaIsActive is read in two lengths: its row accepts 4 bytes and whole words after them;
// the handler keeps 4 and 8.
constexpr ExtRequestRow kRows[] = {
    {0, "XineramaQueryVersion", 8, 0, "bbsbbs", ExtServed::Local, queryVersion, "bbsiss", ExtReplyKind::Plain, nullptr},
    {1, "XineramaGetState", 8, 0, "bbsi", ExtServed::Local, getState, "bbsii", ExtReplyKind::Plain, nullptr},
    {2, "XineramaGetScreenCount", 8, 0, "bbsi", ExtServed::Local, getScreenCount, "bbsii", ExtReplyKind::Plain,
     nullptr},
    {3, "XineramaGetScreenSize", 12, 0, "bbsii", ExtServed::Local, getScreenSize, "bbsiiiii", ExtReplyKind::Plain,
     nullptr},
    {4, "XineramaIsActive", 4, 4, "bbsI", ExtServed::Local, isActive, "bbsii", ExtReplyKind::Plain, nullptr},
    {5, "XineramaQueryScreens", 4, 0, "bbs", ExtServed::Local, queryScreens, "bbsiiS", ExtReplyKind::Plain, nullptr},
};

void xineramaReset() { proxyState.ext.xinerama = nullptr; }

}  // namespace

const ExtRequestTable xineramaTable{kRows, sizeof kRows / sizeof kRows[0]};

Head *xineramaGetHead(MetaScreen *metaScreen, uint32_t n) {
  bool reverse = reversed();
  if (metaScreen) return headOf(metaScreen, n, reverse);
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) {
    if (n < screen->headCount) return headOf(screen, n, reverse);
    n -= screen->headCount;
  }
  return nullptr;
}

const Rect *xineramaGetHeadArea(MetaScreen *metaScreen, uint32_t n) {
  Head *head = xineramaGetHead(metaScreen, n);
  return head ? &head->rect : nullptr;
}

uint32_t xineramaCountHeads(MetaScreen *metaScreen) {
  if (metaScreen) return metaScreen->headCount;
  uint32_t count = 0;
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) count += screen->headCount;
  return count;
}

int xineramaIsActive(MetaScreen *metaScreen) {
  MetaScreen *screen = metaScreen ? metaScreen : xscreenList;
  if (!screen) return 0;
  for (Head *h = screen->heads; h; h = h->next)
    if (h->rect.x != screen->x || h->rect.y != screen->y || h->rect.width != screen->width ||
        h->rect.height != screen->height)
      return 1;
  return 0;
}

const char *xineramaSetup(ExtensionRecord *record) {
  record->providedByProxy = 1;
  return extInitSimple(record, "XINERAMA", xineramaTable, &proxyState.ext.xinerama, xineramaReset);
}
