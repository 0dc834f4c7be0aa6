// Heads: creation from a real screen, attachment to a meta screen and a real display,
// numbering, rectangle tests, visual-id translation and panning.
#include <algorithm>
#include <bitset>
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xemulation.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/region.h"

namespace {

template <typename Fn>
void forEachHead(Fn fn) {
  for (MetaScreen *m = xscreenFirst(); m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) fn(h);
}

uint32_t entryId(const VisualRecord *entry) { return entry->baseVisualId ? entry->baseVisualId : entry->visualId; }

// The meta screen visual's entry on the head; NULL when it has none.
const VisualRecord *headEntry(const Head *head, const MetaScreen *screen, const VisualRecord *metaVisual) {
  if (!head->visualMap) return nullptr;
  return head->visualMap[metaVisual - screen->visuals];
}

// The meta screen visual whose entry on the head has that server id (searched from the last).
const VisualRecord *searchServerId(const Head *head, uint32_t serverVisualId) {
  const MetaScreen *screen = head->metaScreen;
  if (!screen || !screen->visuals) return nullptr;
  for (uint32_t i = screen->visualCount; i-- > 0;) {
    const VisualRecord *entry = headEntry(head, screen, &screen->visuals[i]);
    if (entry && (entry->visualId == serverVisualId || entryId(entry) == serverVisualId)) return &screen->visuals[i];
  }
  return nullptr;
}

// The same through the head's index where it holds the current map.
const VisualRecord *metaVisualOfServerId(const Head *head, uint32_t serverVisualId) {
  const MetaScreen *screen = head->metaScreen;
  if (!head->visualIndex || head->visualIndexMap != head->visualMap || !screen || !screen->visuals)
    return searchServerId(head, serverVisualId);
  const HeadVisualIndex *begin = head->visualIndex, *end = begin + head->visualIndexCount;
  const HeadVisualIndex *at = std::lower_bound(
      begin, end, serverVisualId, [](const HeadVisualIndex &e, uint32_t id) { return e.serverId < id; });
  if (at == end || at->serverId != serverVisualId || at->metaIndex >= screen->visualCount) return nullptr;
  return &screen->visuals[at->metaIndex];
}

// How far to pan on one axis: the distance outside rounded away from zero to a multiple of the
// step (by its magnitude), limited to one step with clamp. A step of 0 does not pan.
int64_t panOffset(int64_t outside, int64_t step, int clamp) {
  step = step < 0 ? -step : step;
  if (step == 0 || outside == 0) return 0;
  int64_t magnitude = outside < 0 ? -outside : outside;
  int64_t rounded = (magnitude + step - 1) / step * step;
  if (clamp) rounded = std::min(rounded, step);
  return outside < 0 ? -rounded : rounded;
}

bool pans(const Head *head) { return (head->panX || head->panY) && !head->staticDisplay; }

}  // namespace

const char *xproxyQueryVisuals(const char *name, const char *secondName, Display *display, int screen,
                               uint32_t flags, Head **result) {
  auto *head = static_cast<Head *>(calloc(1, sizeof(Head)));
  if (!head) return OUT_OF_MEMORY_TEXT_AT("Proxy/xproxy");
  snprintf(head->name, sizeof head->name, "%s", name ? name : "");
  snprintf(head->secondName, sizeof head->secondName, "%s", secondName ? secondName : "");
  head->display = display;
  head->screen = screen;
  head->zoomX = head->zoomY = 1.0;
  head->maxInstalledMaps = head->minInstalledMaps = 0xffffffffu;
  if (display) {
    head->root = RootWindow(display, screen);
    head->defaultColormap = DefaultColormap(display, screen);
    head->blackPixel = BlackPixel(display, screen);
    head->whitePixel = WhitePixel(display, screen);
    head->depth = uint32_t(DefaultDepth(display, screen));
    head->realWidth = uint32_t(DisplayWidth(display, screen));
    head->realHeight = uint32_t(DisplayHeight(display, screen));
    head->widthMM = uint32_t(std::max(0, DisplayWidthMM(display, screen)));
    head->heightMM = uint32_t(std::max(0, DisplayHeightMM(display, screen)));
    Screen *s = ScreenOfDisplay(display, screen);
    head->maxInstalledMaps = uint32_t(MaxCmapsOfScreen(s));
    head->minInstalledMaps = uint32_t(MinCmapsOfScreen(s));
    logStep("Querying visuals of %s...", head->name);
    VisualRecord *visuals = nullptr;
    int count = 0;
    if (const char *error = xvisualBuildHeadVisuals(display, screen, &visuals, &count)) {
      std::string kept = error;
      xproxyFreeHead(head);
      return strTempDup(kept.c_str());
    }
    VisualRecord *emulated = nullptr;
    int emulatedCount = 0;
    if (const char *error = xemulationAddVisuals(display, visuals, count, flags, &emulated, &emulatedCount))
      logProblem(error, __FILE__, __LINE__);
    if (emulatedCount > 0) {
      int keep = (flags & kEmulateOnly) ? 0 : count;
      auto *table = static_cast<VisualRecord *>(calloc(size_t(keep + emulatedCount), sizeof(VisualRecord)));
      if (!table) {
        xvisualFreeArray(visuals, count);
        xvisualFreeArray(emulated, emulatedCount);
        xproxyFreeHead(head);
        return OUT_OF_MEMORY_TEXT_AT("Proxy/xproxy");
      }
      // The records move into the new table; dropped real ones are freed.
      memcpy(table, visuals, sizeof(VisualRecord) * size_t(keep));
      memcpy(table + keep, emulated, sizeof(VisualRecord) * size_t(emulatedCount));
      if (!keep) xvisualFreeArray(visuals, count);
      else free(visuals);
      free(emulated);
      visuals = table;
      count = keep + emulatedCount;
    }
    head->visuals = visuals;
    head->visualCount = count;
  }
  xproxySetHeadPan(head, 0, 0);
  *result = head;
  return nullptr;
}

void xproxyFreeHead(Head *head) {
  if (!head) return;
  xvisualFreeArray(head->visuals, head->visualCount);
  free(head->visualMap);
  free(head->visualIndex);
  regionDestroy(head->exposures);
  free(head->glLibraryName);
  free(head);
}

const char *xproxySetHeadPan(Head *head, int panX, int panY) {
  if ((panX || panY) && head->staticDisplay)
    return strTempPrintf("Can't enable screen pan at %s - Make sure the StaticDisplay tag is disabled", head->name);
  head->panX = int16_t(std::clamp(panX, INT16_MIN, INT16_MAX));
  head->panY = int16_t(std::clamp(panY, INT16_MIN, INT16_MAX));
  return nullptr;
}

uint32_t xproxyFreeHeadIndex() {
  std::bitset<kHeadIdTableEntries + 1> taken;
  forEachHead([&](Head *h) { taken.set(std::min(h->idIndex, kHeadIdTableEntries)); });
  uint32_t index = 0;
  while (index < kHeadIdTableEntries && taken.test(index)) index++;
  return index;
}

void xproxyAddHeadToMetaScreen(Head *head, MetaScreen *screen) {
  // Numbers first, over the heads already listed.
  head->idIndex = xproxyFreeHeadIndex();
  std::bitset<kHeadIdTableEntries + 1> numbers;
  forEachHead([&](Head *h) {
    if (h->serverDisplay == head->serverDisplay) numbers.set(std::min(h->displayNumber, kHeadIdTableEntries));
  });
  head->displayNumber = 0;
  while (head->displayNumber < kHeadIdTableEntries && numbers.test(head->displayNumber)) head->displayNumber++;
  head->fontHead = xproxyFontHeadOf(head);
  head->metaScreen = screen;
  head->next = nullptr;
  if (!screen->heads) {
    screen->heads = head;
    head->prev = head;
    screen->primaryHead = head;
  } else {
    Head *tail = screen->heads->prev;
    tail->next = head;
    head->prev = tail;
    screen->heads->prev = head;
  }
  screen->headCount++;
  proxyState.headCount++;
  proxyState.maxHeadsPerMetaScreen = std::max<uint32_t>(proxyState.maxHeadsPerMetaScreen, screen->headCount);
  // (The visual properties of the head's screen are selected with the visuals.)
  xscreenRecomputeSize(screen);
  mainUpdateHeadTransform(head);
}

void xproxyAttachHeadToDisplay(Head *head, ServerDisplay *display) {
  display->headCount++;
  head->serverDisplay = display;
  head->display = display->display;
  if (!display->firstHead) display->firstHead = head;
}

Head *xproxyFontHeadOf(Head *head) {
  Head *found = nullptr;
  forEachHead([&](Head *h) {
    if (!found && h != head && h->fontHead == h &&
        ((h->serverDisplay && h->serverDisplay == head->serverDisplay) || (h->display && h->display == head->display)))
      found = h;
  });
  return found ? found : head;
}

void xproxyAddServerDisplay(ServerDisplay *display) {
  display->next = nullptr;
  ServerDisplay **link = &mainServerDisplays;
  while (*link) link = &(*link)->next;
  *link = display;
  mainServerDisplayCount++;
}

void xproxyRemoveServerDisplay(ServerDisplay *display) {
  for (ServerDisplay **link = &mainServerDisplays; *link; link = &(*link)->next) {
    if (*link != display) continue;
    *link = display->next;
    display->next = nullptr;
    mainServerDisplayCount--;
    break;
  }
  uint32_t index = 0;
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) d->index = index++;
}

int xproxyRectOnHead(const Head *head, const uint8_t *request) {
  int16_t x, y;
  uint16_t width, height;
  memcpy(&x, request + 8, 2);
  memcpy(&y, request + 10, 2);
  memcpy(&width, request + 12, 2);
  memcpy(&height, request + 14, 2);
  Rect common;
  rectIntersect(&common, head->rect, Rect{x, y, width, height});
  return common.width && common.height ? 1 : 0;
}

uint32_t xproxyVisualIdToServer(uint32_t visualId, const Head *head) {
  if (visualId == 0 || !head) return visualId;
  const MetaScreen *screen = head->metaScreen;
  const VisualRecord *metaVisual = screen ? xscreenFindVisual(screen, visualId) : nullptr;
  if (!metaVisual) return visualId;
  const VisualRecord *entry = headEntry(head, screen, metaVisual);
  return entry ? entryId(entry) : 0;
}

void xproxyIndexHeadVisuals(Head *head) {
  free(head->visualIndex);
  head->visualIndex = nullptr;
  head->visualIndexCount = 0;
  head->visualIndexMap = nullptr;
  const MetaScreen *screen = head->metaScreen;
  if (!head->visualMap || !screen || !screen->visuals || screen->visualCount == 0) return;
  // Each entry under its own id and its base's; of equal ids the highest meta index stays, as
  // the search from the last finds it.
  auto *index = static_cast<HeadVisualIndex *>(calloc(2 * size_t(screen->visualCount), sizeof(HeadVisualIndex)));
  if (!index) return LOG_OUT_OF_MEMORY();
  uint32_t n = 0;
  for (uint32_t i = 0; i < screen->visualCount; i++) {
    const VisualRecord *entry = head->visualMap[i];
    if (!entry) continue;
    index[n++] = {entry->visualId, i};
    if (entryId(entry) != entry->visualId) index[n++] = {entryId(entry), i};
  }
  std::sort(index, index + n, [](const HeadVisualIndex &a, const HeadVisualIndex &b) {
    return a.serverId != b.serverId ? a.serverId < b.serverId : a.metaIndex > b.metaIndex;
  });
  n = uint32_t(std::unique(index, index + n,
                           [](const HeadVisualIndex &a, const HeadVisualIndex &b) { return a.serverId == b.serverId; }) -
               index);
  if (n == 0) return free(index);
  head->visualIndex = index;
  head->visualIndexCount = n;
  head->visualIndexMap = head->visualMap;
}

VisualRecord *xproxyFindVisualByServerId(const Head *head, uint32_t serverVisualId) {
  const MetaScreen *screen = head ? head->metaScreen : nullptr;
  if (!screen || !screen->visuals) return nullptr;
  for (uint32_t i = screen->visualCount; i-- > 0;)
    if (xproxyVisualIdToServer(screen->visuals[i].visualId, head) == serverVisualId) return &screen->visuals[i];
  return nullptr;
}

uint32_t xproxyServerVisualToProxy(uint32_t serverVisualId, const ServerDisplay *display, const Head *head) {
  if (head) {
    const VisualRecord *found = metaVisualOfServerId(head, serverVisualId);
    return found ? found->visualId : serverVisualId;
  }
  const VisualRecord *found = nullptr;
  forEachHead([&](Head *h) {
    if (!found && h->serverDisplay == display) found = metaVisualOfServerId(h, serverVisualId);
  });
  return found ? found->visualId : serverVisualId;
}

int xproxyPanActive(const Head *head, unsigned state) {
  return pans(head) && (state & head->panModifiers) == head->panModifiers ? 1 : 0;
}

int xproxyPanHead(Head *head, int32_t x, int32_t y, ClientConnection *, int clamp) {
  logStep("Pan %s to %d,%d", head->name, x, y);
  int32_t outsideX, outsideY;
  rectOutsideOffsets(head->rect, x, y, &outsideX, &outsideY);
  int64_t dx = panOffset(outsideX, head->panX, clamp), dy = panOffset(outsideY, head->panY, clamp);
  if (!dx && !dy) return 0;
  MetaScreen *screen = head->metaScreen;
  if (!screen) return 0;
  Rect bounds{screen->x, screen->y, screen->width, screen->height};
  for (Head *h = screen->heads; h; h = h->next) {
    if (!pans(h)) continue;
    Rect moved{int32_t(std::clamp<int64_t>(h->rect.x + dx, INT32_MIN, INT32_MAX)),
               int32_t(std::clamp<int64_t>(h->rect.y + dy, INT32_MIN, INT32_MAX)), h->rect.width, h->rect.height};
    Rect fitted;
    rectFitInside(&fitted, moved, bounds);
    dx = int64_t(fitted.x) - h->rect.x;
    dy = int64_t(fitted.y) - h->rect.y;
  }
  if (!dx && !dy) return 0;
  // Until the head windows exist a pan moves the rectangles directly.
  Head *pointerHead = proxyState.pointerHead;
  proxyState.pointerHead = nullptr;
  for (Head *h = screen->heads; h; h = h->next) {
    if (!pans(h)) continue;
    h->rect.x = int32_t(h->rect.x + dx);
    h->rect.y = int32_t(h->rect.y + dy);
    mainMoveHeadWindows(h, nullptr, 1);
  }
  proxyState.pointerHead = pointerHead;
  return 1;
}

int xproxyPanAtEdge(Head *head, XCrossingEvent *event) {
  if (!xproxyPanActive(head, event->state)) return 0;
  // The crossing in meta-screen coordinates; a position on an edge column or row pushes one
  // pixel beyond it.
  int64_t x = int64_t(event->x_root) + head->rect.x - head->logical.x;
  int64_t y = int64_t(event->y_root) + head->rect.y - head->logical.y;
  int64_t right = int64_t(head->rect.x) + head->rect.width - 1, bottom = int64_t(head->rect.y) + head->rect.height - 1;
  if (x <= head->rect.x) x = int64_t(head->rect.x) - 1;
  else if (x >= right) x = right + 1;
  if (y <= head->rect.y) y = int64_t(head->rect.y) - 1;
  else if (y >= bottom) y = bottom + 1;
  int32_t px = int32_t(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)), py = int32_t(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX));
  if (!xproxyPanHead(head, px, py, nullptr, 1)) return 0;
  // Until the proxy windows exist the pointer is warped plainly back inside the head.
  rectClampPoint(&px, &py, head->rect);
  if (head->display) {
    int realX = int(int64_t(px) - head->rect.x + head->logical.x), realY = int(int64_t(py) - head->rect.y + head->logical.y);
    if (head->warpToCenter)
      XWarpPointer(head->display, None, head->root, 0, 0, 0, 0, int(head->logical.x + head->logical.width / 2),
                   int(head->logical.y + head->logical.height / 2));
    XWarpPointer(head->display, None, head->root, 0, 0, 0, 0, realX, realY);
    XFlush(head->display);
  }
  return 1;
}
