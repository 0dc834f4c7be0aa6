// Meta screens and heads.
#include "proxy/xscreen.h"

#include <cstdio>
#include <cstring>

#include "xext/byteswap.h"

// ===== Meta screens =====
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "xclient/region.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/rect.h"
#include "support/strtemp.h"

MetaScreen *xscreenList = nullptr;
uint32_t xscreenCounter = 0;

namespace {

constexpr uint32_t kChangeName = 0x1, kChangeWidth = 0x2, kChangeHeight = 0x4, kChangeDirection = 0x8,
                   kChangeReference = 0x10, kChangeOffsetX = 0x20, kChangeOffsetY = 0x40, kChangeKeep = 0x80,
                   kChangeWidthMM = 0x400, kChangeHeightMM = 0x800, kChangePassed = 0x2000 | 0x4000,
                   kChangePlacement = 0xc7e;
constexpr uint32_t kLastDirection = 5;  // south of

int32_t clamp32(double v) {
  if (std::isnan(v)) return 0;
  if (v <= double(INT32_MIN)) return INT32_MIN;
  if (v >= double(INT32_MAX)) return INT32_MAX;
  return int32_t(v);
}

bool followsHeads(int32_t word) { return word == 0 || word == -10 || word == -11; }

// The heads' origins moved so that the smallest x and y over the heads with a Display are 0
// (only negative origins count).
void normaliseHeads(MetaScreen *screen) {
  int64_t minX = 0, minY = 0;
  for (Head *h = screen->heads; h; h = h->next)
    if (h->display) minX = std::min<int64_t>(minX, h->rect.x), minY = std::min<int64_t>(minY, h->rect.y);
  if (minX == 0 && minY == 0) return;
  for (Head *h = screen->heads; h; h = h->next) {
    h->rect.x = int32_t(std::clamp<int64_t>(h->rect.x - minX, INT32_MIN, INT32_MAX));
    h->rect.y = int32_t(std::clamp<int64_t>(h->rect.y - minY, INT32_MIN, INT32_MAX));
  }
}

// The union of the heads with a Display: pixels, and millimetres placed by xscreenHeadMmX/Y.
void headUnion(const MetaScreen *screen, Rect *pixels, Rect *mm) {
  *pixels = Rect{0, 0, 0, 0};
  *mm = Rect{0, 0, 0, 0};
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    rectUnion(pixels, h->rect.x, h->rect.y, h->rect.width, h->rect.height);
    rectUnion(mm, xscreenHeadMmX(h), xscreenHeadMmY(h), h->widthMM, h->heightMM);
  }
}

uint32_t multiplied(uint64_t value, int32_t word) {
  uint64_t factor = word == -10 ? 2 : word == -11 ? 3 : 1;
  return uint32_t(std::min<uint64_t>(value * factor, UINT32_MAX));
}

// Everything a change may alter, so that a failed change can be undone.
struct ScreenSnapshot {
  MetaScreen fields;
  std::vector<Rect> headRects;
};

ScreenSnapshot takeSnapshot(const MetaScreen *screen) {
  ScreenSnapshot snapshot{};
  memcpy(&snapshot.fields, screen, sizeof *screen);
  for (Head *h = screen->heads; h; h = h->next) snapshot.headRects.push_back(h->rect);
  return snapshot;
}

void restoreSnapshot(MetaScreen *screen, const ScreenSnapshot &snapshot) {
  const MetaScreen &f = snapshot.fields;
  screen->name = f.name;
  screen->direction = f.direction;
  screen->referenceIndex = f.referenceIndex;
  screen->offsetX = f.offsetX;
  screen->offsetY = f.offsetY;
  screen->width = f.width;
  screen->height = f.height;
  screen->widthMM = f.widthMM;
  screen->heightMM = f.heightMM;
  screen->widthWord = f.widthWord;
  screen->heightWord = f.heightWord;
  screen->keepWindowsVisible = f.keepWindowsVisible;
  size_t i = 0;
  for (Head *h = screen->heads; h && i < snapshot.headRects.size(); h = h->next) h->rect = snapshot.headRects[i++];
}

// One axis of a size change (0 horizontal): NULL, or the text naming the head that does not fit.
const char *applySize(MetaScreen *screen, int axis, int32_t word, uint32_t *mask) {
  normaliseHeads(screen);
  uint32_t pixels;
  double mm;
  if (followsHeads(word)) {
    Rect p, m;
    headUnion(screen, &p, &m);
    uint32_t unionPixels = axis == 0 ? p.width : p.height, unionMM = axis == 0 ? m.width : m.height;
    pixels = multiplied(unionPixels ? unionPixels : 1, word);
    mm = multiplied(unionMM ? unionMM : 1, word);
  } else {
    for (Head *h = screen->heads; h; h = h->next) {
      int64_t end = axis == 0 ? int64_t(h->rect.x) + h->rect.width : int64_t(h->rect.y) + h->rect.height;
      if (end > word)
        return strTempPrintf(axis == 0 ? "Screen %s has more pixels in width than the specified meta screen width %d"
                                       : "Screen %s has more pixels in height than the specified meta screen height %d",
                             xscreenHeadName(h), word);
    }
    pixels = uint32_t(word);
    mm = std::trunc(xscreenPixelsToMM(screen, word, axis));
  }
  uint32_t &stored = axis == 0 ? screen->width : screen->height;
  double &storedMM = axis == 0 ? screen->widthMM : screen->heightMM;
  (axis == 0 ? screen->widthWord : screen->heightWord) = word;
  if (stored != pixels) stored = pixels, *mask |= axis == 0 ? kChangeWidth : kChangeHeight;
  if (std::llround(storedMM) != std::llround(mm)) storedMM = mm, *mask |= axis == 0 ? kChangeWidthMM : kChangeHeightMM;
  return nullptr;
}

// NULL when the screen's own placement can resolve at all: its direction is known and it does
// not refer to itself.
const char *placementRefused(const MetaScreen *screen) {
  if (screen->direction > 9) return nullptr;  // left to the resolution, which reports it
  if (screen->direction > kLastDirection)
    return strTempPrintf("Invalid direction %d for %s", int(screen->direction), xscreenName(screen));
  if (screen->direction != 0 && screen->referenceIndex == int32_t(screen->index))
    return strTempPrintf("Cyclic relative positioning of %s", xscreenName(screen));
  return nullptr;
}

}  // namespace

MetaScreenChange xscreenChangeFromConfig(const MetaScreenConfig *config) {
  MetaScreenChange change{};
  change.mask = config->changeMask;
  change.reserved = config->reserved;
  change.name = config->name;
  change.width = config->width;
  change.height = config->height;
  change.direction = config->direction;
  change.referenceIndex = config->referenceIndex;
  change.offsetX = config->offsetX;
  change.offsetY = config->offsetY;
  change.keepWindowsVisible = config->keepWindowsVisible;
  change.widthMM = config->widthMM;
  change.heightMM = config->heightMM;
  return change;
}

MetaScreen *xscreenNew() {
  auto *screen = static_cast<MetaScreen *>(calloc(1, sizeof(MetaScreen)));
  if (!screen) return nullptr;
  screen->index = xscreenCounter++;
  screen->maxInstalledMaps = screen->minInstalledMaps = 0xffffffffu;
  screen->referenceIndex = -1;
  if (!xscreenList) {
    screen->previous = screen;
    xscreenList = screen;
  } else {
    MetaScreen *tail = xscreenList->previous;
    tail->next = screen;
    screen->previous = tail;
    xscreenList->previous = screen;
  }
  return screen;
}

MetaScreen *xscreenFindByIndex(uint32_t index) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    if (s->index == index) return s;
  return nullptr;
}

MetaScreen *xscreenFindByRoot(uint32_t root) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    if (s->root == root) return s;
  return nullptr;
}

MetaScreen *xscreenFirst() { return xscreenList; }

void xscreenFreeAll() {
  while (MetaScreen *screen = xscreenList) {
    xscreenList = screen->next;
    while (Head *head = screen->heads) {
      screen->heads = head->next;
      xproxyFreeHead(head);
    }
    xvisualFreeArray(screen->visuals, int(screen->visualCount));
    regionDestroy(screen->hiddenRegion);
    free(screen->name);
    free(screen);
  }
  xscreenCounter = 0;
}

const char *xscreenName(const MetaScreen *screen) {
  if (!screen) return "no X screen";
  if (screen->name) {
    if (isdigit(static_cast<unsigned char>(screen->name[0])) || screen->name[0] == ':')
      return strTempPrintf("screen %s", screen->name);
    return screen->name;
  }
  return strTempPrintf("screen %u", screen->index);
}

const char *xscreenHeadName(const Head *head) { return head ? head->name : "no head"; }

const char *xscreenDescribe(const MetaScreen *screen) {
  char *text = strTempAlloc(80);
  double dpiX = screen->widthMM > 0 ? screen->width / (screen->widthMM / 25.4) : 0;
  double dpiY = screen->heightMM > 0 ? screen->height / (screen->heightMM / 25.4) : 0;
  int n = snprintf(text, 80, "%ux%ux%u %ux%umm %.0fx%.0fdpi h%u vis%u", screen->width, screen->height,
                   screen->rootVisual ? unsigned(screen->rootVisual->depth) : 0u,
                   unsigned(clamp32(screen->widthMM)), unsigned(clamp32(screen->heightMM)), dpiX, dpiY,
                   unsigned(screen->headCount), screen->visualCount);
  auto more = [&](const char *format, long value) {
    if (n >= 0 && n < 80) n += snprintf(text + n, size_t(80 - n), format, value);
  };
  if (screen->backingStore) more(" bs%ld", screen->backingStore);
  if (screen->saveUnders) more(" su%ld", screen->saveUnders);
  if (screen->keepWindowsVisible) more(" kv%ld", screen->keepWindowsVisible);
  return text;
}

const char *xscreenDescribeHead(const Head *head) {
  char *text = strTempAlloc(80);
  int n = snprintf(text, 80, "%s %ux%u+%d+%dmm vis%d", rectGeometryText(head->rect), head->widthMM, head->heightMM,
                   xscreenHeadMmX(head), xscreenHeadMmY(head), head->visualCount);
  auto more = [&](const char *format, long value) {
    if (n >= 0 && n < 80) n += snprintf(text + n, size_t(80 - n), format, value);
  };
  if (!head->display) more(" offline%.0ld", 0);
  if (head->glLibrary) more(" dGL%.0ld", 0);
  if (head->videoPortCount) more(" video%lu", head->videoPortCount);
  if (head->panX) more(" panX%ld", head->panX);
  if (head->panY) more(" panY%ld", head->panY);
  if (head->border) more(" bw%ld", head->border);
  return text;
}

bool xscreenNoClients() { return xproxyClients == nullptr; }

VisualRecord *xscreenFindVisual(const MetaScreen *screen, uint32_t visualId) {
  if (!screen || !screen->visuals || screen->visualCount == 0) return nullptr;
  if (screen->visualIdsContiguous) {
    uint64_t offset = uint64_t(visualId) - screen->visuals[0].visualId;
    return visualId >= screen->visuals[0].visualId && offset < screen->visualCount ? &screen->visuals[offset] : nullptr;
  }
  for (uint32_t i = screen->visualCount; i-- > 0;)
    if (screen->visuals[i].visualId == visualId) return &screen->visuals[i];
  return nullptr;
}

// Pixels and millimetres: a screen reporting 0 pixels or 0 mm gives 0, never a division by zero.
int32_t xscreenHeadMmX(const Head *head) {
  return head->realWidth ? clamp32(std::trunc(double(head->rect.x) * head->widthMM / head->realWidth)) : 0;
}
int32_t xscreenHeadMmY(const Head *head) {
  return head->realHeight ? clamp32(std::trunc(double(head->rect.y) * head->heightMM / head->realHeight)) : 0;
}
int32_t xscreenHeadPixelX(const Head *head) {
  double place = head->metaScreen && head->widthMM ? std::round(head->metaScreen->xMM * head->realWidth / head->widthMM) : 0;
  return clamp32(place + head->rect.x);
}
int32_t xscreenHeadPixelY(const Head *head) {
  double place =
      head->metaScreen && head->heightMM ? std::round(head->metaScreen->yMM * head->realHeight / head->heightMM) : 0;
  return clamp32(place + head->rect.y);
}

double xscreenPixelsToMM(const MetaScreen *screen, int64_t pixels, int axis) {
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    uint32_t px = axis == 0 ? h->realWidth : h->realHeight, mm = axis == 0 ? h->widthMM : h->heightMM;
    return px ? double(pixels) * mm / px : 0.0;
  }
  return 0.0;
}

int xscreenResolvePlacement(const MetaScreen *screen, int depth, double *xMM, double *yMM, double *widthMM,
                            double *heightMM) {
  if (depth <= 1 || !screen) return 0;
  *widthMM = screen->widthMM;
  *heightMM = screen->heightMM;
  double ox = xscreenPixelsToMM(screen, screen->offsetX, 0), oy = xscreenPixelsToMM(screen, screen->offsetY, 1);
  if (screen->direction == 0) {
    *xMM = ox, *yMM = oy;
    return 1;
  }
  if (screen->direction > kLastDirection) {
    LOG_UNE();
    return 0;
  }
  // A screen placed against itself is a cycle of its own: no need to walk the depth down.
  if (screen->referenceIndex < 0 || uint32_t(screen->referenceIndex) == screen->index) return 0;
  const MetaScreen *reference = xscreenFindByIndex(uint32_t(screen->referenceIndex));
  double rx, ry, rw, rh;
  if (!reference || !xscreenResolvePlacement(reference, depth - 1, &rx, &ry, &rw, &rh)) return 0;
  switch (screen->direction) {
    case 1: *xMM = rx + ox, *yMM = ry + oy; break;
    case 2: *xMM = rx - screen->widthMM + ox, *yMM = ry + oy; break;
    case 3: *xMM = rx + rw + ox, *yMM = ry + oy; break;
    case 4: *xMM = rx + ox, *yMM = ry - screen->heightMM + oy; break;
    default: *xMM = rx + ox, *yMM = ry + rh + oy; break;
  }
  return 1;
}

void xscreenRecomputeSize(MetaScreen *screen) {
  if (!xscreenNoClients()) return;
  uint32_t mask = 0;
  if (followsHeads(screen->widthWord)) applySize(screen, 0, screen->widthWord, &mask);
  if (followsHeads(screen->heightWord)) applySize(screen, 1, screen->heightWord, &mask);
}

const char *xscreenApplyMetaChange(MetaScreen *screen, const MetaScreenChange *change) {
  uint32_t mask = change->mask & kChangePassed;
  ScreenSnapshot snapshot = takeSnapshot(screen);
  char *newName = nullptr;
  auto fail = [&](const char *error) {
    restoreSnapshot(screen, snapshot);
    free(newName);
    return error;
  };
  if (change->mask & kChangeName) {
    if (!(newName = strdup(change->name ? change->name : ""))) return OUT_OF_MEMORY_TEXT_AT("xscreen");
    screen->name = newName;
    mask |= kChangeName;
  }
  if ((change->mask & kChangeDirection) && screen->direction != change->direction)
    screen->direction = change->direction, mask |= kChangeDirection;
  if ((change->mask & kChangeReference) && screen->referenceIndex != change->referenceIndex)
    screen->referenceIndex = change->referenceIndex, mask |= kChangeReference;
  if ((change->mask & kChangeOffsetX) && screen->offsetX != change->offsetX)
    screen->offsetX = change->offsetX, mask |= kChangeOffsetX;
  if ((change->mask & kChangeOffsetY) && screen->offsetY != change->offsetY)
    screen->offsetY = change->offsetY, mask |= kChangeOffsetY;
  if (const char *refused = placementRefused(screen)) return fail(refused);
  if ((change->mask & kChangeWidth) && xscreenNoClients())
    if (const char *error = applySize(screen, 0, change->width, &mask)) return fail(error);
  if ((change->mask & kChangeHeight) && xscreenNoClients())
    if (const char *error = applySize(screen, 1, change->height, &mask)) return fail(error);
  if ((change->mask & kChangeKeep) && screen->keepWindowsVisible != change->keepWindowsVisible)
    screen->keepWindowsVisible = std::clamp(change->keepWindowsVisible, -65535, 65535), mask |= kChangeKeep;
  if ((change->mask & kChangeWidthMM) && screen->widthMM != change->widthMM)
    screen->widthMM = change->widthMM, mask |= kChangeWidthMM;
  if ((change->mask & kChangeHeightMM) && screen->heightMM != change->heightMM)
    screen->heightMM = change->heightMM, mask |= kChangeHeightMM;
  if (!mask) return fail(nullptr);
  if (mask & kChangePlacement) {
    // Every screen's place, resolved into temporaries: stored only when all resolve.
    std::vector<std::pair<double, double>> places;
    for (MetaScreen *s = xscreenList; s; s = s->next) {
      double x, y, w, h;
      if (placementRefused(s) || !xscreenResolvePlacement(s, 99, &x, &y, &w, &h))
        return fail(strTempPrintf("Cyclic relative positioning of %s", xscreenName(s)));
      places.emplace_back(x, y);
    }
    size_t i = 0;
    for (MetaScreen *s = xscreenList; s; s = s->next, i++) s->xMM = places[i].first, s->yMM = places[i].second;
  }
  if (snapshot.fields.name != screen->name) free(snapshot.fields.name);
  logStep("%s changed by %s (mask 0x%x) ...", xscreenName(screen), xscreenClientName(xproxyCurrentClient), mask);
  if (mask & kChangePlacement)
    for (MetaScreen *s = xscreenList; s; s = s->next)
      for (Head *h = s->heads; h; h = h->next) mainUpdateHeadTransform(h);
  if ((mask & (kChangeWidth | kChangeHeight)) && screen->width && screen->height) {
    Rect bounds{screen->x, screen->y, screen->width, screen->height};
    for (Head *h = screen->heads; h; h = h->next) {
      if (!h->display || !h->rect.width || !h->rect.height) continue;
      Rect fitted;
      rectFitInside(&fitted, h->rect, bounds);
      if (fitted.x != h->rect.x || fitted.y != h->rect.y || fitted.width != h->rect.width ||
          fitted.height != h->rect.height) {
        h->rect = fitted;
        mainMoveHeadWindows(h, nullptr, 0);
      }
    }
  }
  // (The callers re-place the windows kept visible: the shown parts, the setting or the size
  // may have changed.)
  return nullptr;
}
// ===== end of meta screens =====

const char *xscreenClientName(ClientConnection *client) {
  static char text[80];
  if (!client) return "no client";
  const char *own = client->className[0] ? client->className : client->windowName[0] ? client->windowName : nullptr;
  if (client->transport && !clientconnectionIsLocal(client->transport)) {
    const char *host = xproxyClientHostName(client);
    if (own)
      snprintf(text, sizeof text, "%s@%s", own, host);
    else
      snprintf(text, sizeof text, "client #%u@%s", client->index, host);
    return text;
  }
  if (own) return own;
  snprintf(text, sizeof text, "client %u", client->index);
  return text;
}

uint8_t *xscreenCopySwapped(const uint8_t *data, uint32_t length, WireLayout layout, ClientConnection *client) {
  auto *copy = reinterpret_cast<uint8_t *>(outbufferReserve(&client->output, length));
  if (!copy) return nullptr;
  memcpy(copy, data, length);
  if (client->reader.swapped) byteswapByFormat(layout, copy, copy + length);
  return copy;
}
