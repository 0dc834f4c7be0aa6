// The RENDER extension: picture formats, set-up and the forwarded queries.
//
// The formats offered are those of the first real display that the meta screens can place,
// under ids of the proxy's own; every entry keeps, per head, the id of the same format on that
// head's real server. A format another display cannot match is not offered at all.
#include "xext/render.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/misc.h"
#include "xext/byteswap.h"
#include "xext/ext.h"

namespace {

constexpr const char *kSource = "Xext/render";
constexpr uint8_t kBadImplementation = 17;
constexpr uint8_t kDirect = 1;
constexpr uint32_t kNoLimit = 999;
constexpr uint32_t kFormatBytes = 28;  // one format of a QueryPictFormats reply

// The formats each real display reported at set-up, kept until the reset (a plain array: it
// stays reachable until then, also at exit).
struct DisplayFormats {
  ServerDisplay *display;
  RenderFormatInfo *formats;  // malloc'ed
  int count;
  // The screen of each format (malloc'ed, count entries; -1: not known). Every screen of a
  // server has formats of its own, under ids of their own.
  int *screens;
};
DisplayFormats *displayFormats;  // malloc'ed, displayFormatCount entries
uint32_t displayFormatCount;

// The rows installed by the last set-up (the extension table keeps a pointer to them).
constexpr uint32_t kRowRoom = 40;
ExtRequestRow installedRows[kRowRoom];

const DisplayFormats *formatsOf(const ServerDisplay *display) {
  for (uint32_t k = 0; k < displayFormatCount; k++)
    if (displayFormats[k].display == display) return &displayFormats[k];
  return nullptr;
}

void freeDisplayFormats() {
  for (uint32_t k = 0; k < displayFormatCount; k++) {
    free(displayFormats[k].formats);
    free(displayFormats[k].screens);
  }
  free(displayFormats);
  displayFormats = nullptr;
  displayFormatCount = 0;
}

bool hasVisuals(const RenderFormatInfo &format) { return format.visualIds[0] != 0; }

// Whether two formats of a server describe the same pixels (an Indexed one's colormap belongs
// to its screen and is no part of it).
bool sameDescription(const RenderFormatInfo &a, const RenderFormatInfo &b) {
  if (a.type != b.type || a.depth != b.depth) return false;
  if (a.type != kDirect) return true;
  return a.redBits == b.redBits && a.greenBits == b.greenBits && a.blueBits == b.blueBits &&
         a.alphaBits == b.alphaBits && a.redShift == b.redShift && a.greenShift == b.greenShift &&
         a.blueShift == b.blueShift && a.alphaShift == b.alphaShift;
}

// The screen of each format. One with visuals names it; the others come screen by screen in
// the server's list, so a description without visuals that occurs once per screen is the k-th
// screen's at its k-th occurrence. Any other count leaves the screen unknown (-1).
void findScreens(const RenderFormatInfo *formats, int count, int *screens) {
  int screenCount = 1;
  for (int k = 0; k < count; k++)
    if (hasVisuals(formats[k])) screenCount = std::max(screenCount, int(formats[k].screen) + 1);
  for (int k = 0; k < count; k++) {
    if (hasVisuals(formats[k])) {
      screens[k] = formats[k].screen;
      continue;
    }
    int before = 0, all = 0;
    for (int j = 0; j < count; j++)
      if (!hasVisuals(formats[j]) && sameDescription(formats[j], formats[k])) {
        all++;
        if (j < k) before++;
      }
    screens[k] = all == screenCount ? before : -1;
  }
}

// Keeps the display's list (taken over); 0 when out of memory (the list freed).
int keepDisplayFormats(ServerDisplay *display, RenderFormatInfo *formats, int count) {
  auto *grown =
      static_cast<DisplayFormats *>(realloc(displayFormats, (size_t(displayFormatCount) + 1) * sizeof(DisplayFormats)));
  int *screens = static_cast<int *>(malloc(size_t(std::max(count, 1)) * sizeof(int)));
  if (!grown || !screens) {
    if (grown) displayFormats = grown;
    free(screens);
    free(formats);
    return 0;
  }
  findScreens(formats, count, screens);
  displayFormats = grown;
  displayFormats[displayFormatCount++] = DisplayFormats{display, formats, count, screens};
  return 1;
}

// The id of the format on the screen: the format of that screen with the same description (one
// with visuals when the format has them, if the screen has such a one); the id itself when the
// format is the screen's, or its screen or twin is not known.
uint32_t formatOnScreen(const DisplayFormats *list, uint32_t serverFormat, int screen) {
  int at = -1;
  for (int k = 0; list && k < list->count && at < 0; k++)
    if (list->formats[k].formatId == serverFormat) at = k;
  if (at < 0 || list->screens[at] < 0 || list->screens[at] == screen) return serverFormat;
  const RenderFormatInfo &format = list->formats[at];
  uint32_t twin = 0;
  for (int k = 0; k < list->count; k++) {
    const RenderFormatInfo &other = list->formats[k];
    if (list->screens[k] != screen || !sameDescription(other, format)) continue;
    if (hasVisuals(other) == hasVisuals(format)) return other.formatId;
    if (!twin) twin = other.formatId;
  }
  return twin ? twin : serverFormat;
}

// The type-19 records point into the table: they go before it.
void freeTable() {
  RenderPictFormat *table = proxyState.ext.renderFormats;
  for (uint32_t k = 0; k < proxyState.ext.renderFormatCount; k++)
    if (resourceLookupByType(table[k].id, kResourceRenderFormat) == &table[k]) resourceFree(table[k].id, 0);
  free(table);
  proxyState.ext.renderFormats = nullptr;
  proxyState.ext.renderFormatCount = 0;
}

const char *displayLabel(ServerDisplay *display) {
  if (display && display->display) return xmiscLocalDisplayPart(display->display);
  return display && display->name ? display->name : "";
}

// A limit from the environment, read each time; absent or not a number: no limit.
uint64_t limitFromEnvironment(const char *name) {
  const char *text = getenv(name);
  if (!text || *text < '0' || *text > '9') return kNoLimit;
  return strtoull(text, nullptr, 10);
}

uint16_t versionCode(int major, int minor) {
  if (major < 0 || minor < 0) return 0;
  uint64_t code = uint64_t(major) * 64 + uint64_t(std::min(minor, 63));
  return uint16_t(std::min<uint64_t>(code, 0xffff));
}

bool hasVisuals(const RenderPictFormat &entry) { return entry.visuals[0] != 0; }

Head *primaryOf(const MetaScreen *screen) {
  if (!screen) return nullptr;
  return screen->primaryHead ? screen->primaryHead : screen->heads;
}

Head *firstHeadOf(ServerDisplay *display) {
  if (!display) return nullptr;
  if (display->firstHead) return display->firstHead;
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->serverDisplay == display) return h;
  return nullptr;
}

// The client-side colormap of an Indexed format.
uint32_t clientColormap(ServerDisplay *display, const RenderFormatInfo &format, const MetaScreen *screen) {
  if (!format.colormap) return 0;
  for (Head *h = screen ? screen->heads : nullptr; h; h = h->next)
    if (uint32_t(h->defaultColormap) == format.colormap) return screen->defaultColormap;
  return mainServerToProxyXid(format.colormap, display);
}

// Whether the server format can stand for the entry on the head (type and depth already equal).
bool matchesOnHead(const RenderPictFormat &entry, const RenderFormatInfo &format, const Head *head) {
  if (entry.type == kDirect) {
    if (format.redBits != entry.bits[0] || format.greenBits != entry.bits[1] || format.blueBits != entry.bits[2] ||
        format.alphaBits != entry.bits[3] || format.redShift != entry.shifts[0] ||
        format.greenShift != entry.shifts[1] || format.blueShift != entry.shifts[2] ||
        format.alphaShift != entry.shifts[3])
      return false;
    bool onScreen = int(format.screen) == head->screen;
    return hasVisuals(entry) ? hasVisuals(format) && onScreen : !hasVisuals(format) || onScreen;
  }
  return !entry.colormap || format.colormap;
}

void removeEntry(uint32_t index) {
  RenderPictFormat *table = proxyState.ext.renderFormats;
  uint32_t &count = proxyState.ext.renderFormatCount;
  memmove(&table[index], &table[index + 1], (count - index - 1) * sizeof(RenderPictFormat));
  count--;
}

// Step 3 of the set-up for one format of the first display.
void offerFormat(ServerDisplay *first, const RenderFormatInfo &format, uint64_t maxDepth, uint64_t maxBits) {
  if (format.depth > maxDepth || format.redBits > maxBits) return;
  if (!hasVisuals(format)) {
    renderAddFormat(first, nullptr, &format, nullptr);
    return;
  }
  Head *head = mainFindHeadByScreen(first, format.screen);
  if (!head) {
    LOG(logChannelXhint, "Display %s does not support picture format #%u (no head)", displayLabel(first),
        format.formatId);
    return;
  }
  uint32_t placed = 0;
  for (int v = 0; v < kRenderFormatMaxVisuals && format.visualIds[v]; v++)
    if (xproxyFindVisualByServerId(head, format.visualIds[v])) placed++;
  if (!placed) {
    LOG(logChannelXhint, "Display %s does not support picture format #%u (no visual)", displayLabel(first),
        format.formatId);
    return;
  }
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->serverDisplay == first && h->screen == int(format.screen)) {
        renderAddFormat(first, h, &format, ms);
        break;
      }
}

// Step 5: every entry on every head of another display; entries without a match go.
void matchOtherDisplays(ServerDisplay *first) {
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next) {
      if (h->serverDisplay == first) continue;
      for (uint32_t k = 0; k < proxyState.ext.renderFormatCount;) {
        if (const char *failure = renderMatchFormatOnHead(&proxyState.ext.renderFormats[k], h)) {
          logProblem(failure, kSource, __LINE__);
          removeEntry(k);  // the next entry moves into this place
        } else {
          k++;
        }
      }
    }
}

// ----- Requests and replies ------------------------------------------------------------------

void queryVersionReply(uint8_t *reply, uint32_t length) {
  // The server answers no higher than the client asked; the proxy no higher than every display.
  uint64_t server = uint64_t(std::min<uint32_t>(wireGet32(reply + 8), 1024)) * 64 +
                    std::min<uint32_t>(wireGet32(reply + 12), 63);
  const ExtensionRecord *record = proxyState.ext.render;
  uint64_t code = record ? std::min<uint64_t>(server, record->version) : server;
  wirePut32(reply + 8, uint32_t(code / 64));
  wirePut32(reply + 12, uint32_t(code % 64));
  extWriteReply(reply, length, "bbsiii");
}

void queryPictFormatsReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  const ExtensionRecord *record = proxyState.ext.render;
  uint32_t kept = renderMapPictFormats(reply, length, connection ? connection->display : nullptr,
                                       record ? record->version : 0);
  extWriteReply(reply, kept, "H-30");
}

// The format must be one of the table: an id the proxy does not offer would reach a format of
// the real server that clients never saw.
void queryPictIndexValues(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t format = wireGet32(request + 4);
  if (!resourceLookupByType(format, kResourceRenderFormat)) {
    xprotoSendExtensionError(0, format, request, length, nullptr);
    return;
  }
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  if (uint8_t *copy = xcoreFrameForwardOnce(request, length)) wirePut32(copy + 4, renderPictFormatOnHead(format, head));
}

void queryDithers(uint8_t *request, uint32_t length, uint8_t *) {
  xprotoSendError(kBadImplementation, 3, request, length, nullptr);
}

void queryFilters(uint8_t *request, uint32_t, uint8_t *copy) {
  if (!copy) return;
  uint32_t drawable = wireGet32(request + 4);
  MetaScreen *screen = resourceMetaScreenOfId(drawable);
  Head *head = screen ? screen->heads : nullptr;
  if (head) wirePut32(copy + 4, xproxyServerDrawable(drawable, head));
}

// The aliases (16-bit, count at byte 8, from byte 32) are no part of the layout: a client of
// the other byte order gets them swapped here, as far as the reply holds them.
void queryFiltersReply(uint8_t *reply, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->reader.swapped) {
    uint64_t aliases = std::min<uint64_t>(wireGet32(reply + 8), (uint64_t(length) - 32) / 2);
    byteswapShorts(reply + 32, reply + length, aliases);
  }
  extWriteReply(reply, length, "bbsiii");
}

using S = ExtServed;
using R = ExtReplyKind;

// The queries of this file; the other minors come from renderPictureRow.
constexpr ExtRequestRow kQueryRows[] = {
    {0, "RenderQueryVersion", 12, 0, "bbsii", S::Forward, nullptr, "bbsiii", R::Own, queryVersionReply},
    {1, "RenderQueryPictFormats", 4, 0, "bbs", S::Forward, nullptr, "H-30", R::Own, queryPictFormatsReply},
    {2, "RenderQueryPictIndexValues", 8, 0, "bbsi", S::Local, queryPictIndexValues, "bbsiiiiiii[issss]", R::Plain,
     nullptr},
    {3, "RenderQueryDithers", 4, 4, "bbs", S::Local, queryDithers, "bbsiiiiiii[iiss]", R::Plain, nullptr},
    {29, "RenderQueryFilters", 8, 0, "bbsi", S::Forward, queryFilters, "bbsiii", R::Own, queryFiltersReply},
};

// The version code above which each minor is offered (-1: always); minor 16 has no request.
struct MinorVersion {
  uint8_t minor;
  int16_t above;
};
constexpr MinorVersion kMinorVersions[] = {
    {0, -1}, {1, -1}, {2, 6},   {3, -1},  {4, -1},  {5, -1},  {6, -1},  {7, -1},  {8, -1},  {9, -1},
    {10, 3}, {11, 3}, {12, 3},  {13, 3},  {14, -1}, {15, -1}, {17, -1}, {18, -1}, {19, -1}, {20, -1},
    {21, -1}, {22, 2}, {23, -1}, {24, -1}, {25, -1}, {26, -1}, {27, 4}, {28, 5},  {29, 5},  {30, 5},
    {31, 7}, {32, 8}, {33, 9},  {34, 9},  {35, 9},  {36, 9},
};

const ExtRequestRow *queryRow(uint8_t minor) {
  for (const ExtRequestRow &row : kQueryRows)
    if (row.minor == minor) return &row;
  return nullptr;
}

ExtRequestTable rowsForVersion(uint16_t code) {
  uint32_t count = 0;
  for (const MinorVersion &m : kMinorVersions) {
    if (int(code) <= m.above) continue;
    const ExtRequestRow *row = queryRow(m.minor);
    if (!row) row = renderPictureRow(m.minor);
    if (row && count < kRowRoom) installedRows[count++] = *row;
  }
  return ExtRequestTable{installedRows, count};
}

MetaScreen *formatScreenOf(void *value) { return renderFormatMetaScreen(static_cast<RenderPictFormat *>(value)); }

// The head of screen s of the display when it is the primary head of its meta screen: only
// such screens stay in a QueryPictFormats reply.
Head *stayingHead(ServerDisplay *display, uint64_t s) {
  Head *head = s < 0x10000 ? mainFindHeadByScreen(display, int(s)) : nullptr;
  return head && primaryOf(head->metaScreen) == head ? head : nullptr;
}

// The entry that stands for a server visual of the head's screen: its slot on the head holds
// the visual's format, it is Direct with visuals of the head's meta screen, and one of them is
// that server visual there. *visual receives the meta screen's visual id.
const RenderPictFormat *entryForVisual(uint32_t serverFormat, uint32_t serverVisual, Head *head, uint32_t *visual) {
  if (!head || head->idIndex >= kRenderFormatHeads || !serverFormat) return nullptr;
  for (uint32_t k = 0; k < proxyState.ext.renderFormatCount; k++) {
    const RenderPictFormat &e = proxyState.ext.renderFormats[k];
    if (e.idsPerHead[head->idIndex] != serverFormat || e.type != kDirect || !hasVisuals(e)) continue;
    if (renderFormatMetaScreen(&e) != head->metaScreen) continue;
    for (uint32_t v = 0; v < kRenderFormatVisuals && e.visuals[v]; v++)
      if (xproxyVisualIdToServer(e.visuals[v], head) == serverVisual) {
        *visual = e.visuals[v];
        return &e;
      }
  }
  return nullptr;
}

RenderFormatInfo *readThroughXrender(ServerDisplay *display, int *major, int *minor, int *count) {
  *count = 0;
  if (!display || !display->display) return nullptr;
  return xvisualQueryRenderFormats(display->display, major, minor, count);
}

}  // namespace

RenderFormatReader renderReadFormats = readThroughXrender;

// ===== picture formats =====
int renderAddFormat(ServerDisplay *display, Head *head, const RenderFormatInfo *format, MetaScreen *screen) {
  uint32_t count = proxyState.ext.renderFormatCount;
  auto *grown = static_cast<RenderPictFormat *>(
      realloc(proxyState.ext.renderFormats, (size_t(count) + 1) * sizeof(RenderPictFormat)));
  if (!grown) return 0;
  proxyState.ext.renderFormats = grown;
  RenderPictFormat &entry = grown[count];
  memset(&entry, 0, sizeof entry);
  entry.id = ++proxyXidCounter;
  entry.type = format->type;
  entry.depth = format->depth;
  if (format->type == kDirect) {
    entry.bits[0] = format->redBits, entry.bits[1] = format->greenBits;
    entry.bits[2] = format->blueBits, entry.bits[3] = format->alphaBits;
    entry.shifts[0] = format->redShift, entry.shifts[1] = format->greenShift;
    entry.shifts[2] = format->blueShift, entry.shifts[3] = format->alphaShift;
  } else {
    entry.colormap = clientColormap(display, *format, screen);
  }
  if (screen && head && hasVisuals(*format)) {
    entry.metaScreenIndex = uint16_t(screen->index);
    uint32_t n = 0;
    // Beyond 499 the visuals are left out; the end mark always stays.
    for (int v = 0; v < kRenderFormatMaxVisuals && format->visualIds[v] && n + 1 < kRenderFormatVisuals; v++)
      if (VisualRecord *visual = xproxyFindVisualByServerId(head, format->visualIds[v]))
        entry.visuals[n++] = visual->visualId;
  }
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->serverDisplay == display && h->idIndex < kRenderFormatHeads) entry.idsPerHead[h->idIndex] = format->formatId;
  proxyState.ext.renderFormatCount = count + 1;
  return 1;
}

const char *renderMatchFormatOnHead(RenderPictFormat *entry, Head *head) {
  const DisplayFormats *list = head ? formatsOf(head->serverDisplay) : nullptr;
  for (int k = 0; list && k < list->count; k++) {
    const RenderFormatInfo &format = list->formats[k];
    if (format.type != entry->type || format.depth != entry->depth) continue;
    if (entry->type > kDirect) {
      logProblem("UNE", kSource, __LINE__);
      continue;
    }
    if (!matchesOnHead(*entry, format, head)) continue;
    if (head->idIndex < kRenderFormatHeads) entry->idsPerHead[head->idIndex] = format.formatId;
    return nullptr;
  }
  return strTempPrintf("Display %s does not support picture format %s %d bit R%uG%uB%uA%u (%u,%u,%u,%u, %s visual)",
                       xscreenHeadName(head), entry->type == kDirect ? "Direct" : "Indexed", int(entry->depth),
                       entry->bits[0], entry->bits[1], entry->bits[2], entry->bits[3], entry->shifts[0],
                       entry->shifts[1], entry->shifts[2], entry->shifts[3], hasVisuals(*entry) ? "with" : "no");
}

uint32_t renderPictFormatOnHead(uint32_t format, Head *head) {
  auto *entry = static_cast<RenderPictFormat *>(resourceLookupByType(format, kResourceRenderFormat));
  if (!entry || !head || head->idIndex >= kRenderFormatHeads || !entry->idsPerHead[head->idIndex]) return format;
  // The slot holds the format as its display lists it; a head is one screen of the display and
  // gets that screen's own format, as a client of the screen would name it.
  return formatOnScreen(formatsOf(head->serverDisplay), entry->idsPerHead[head->idIndex], head->screen);
}

RenderPictFormat *renderFindFormatByHeadId(uint32_t serverFormat, Head *head) {
  if (!serverFormat || !head || head->idIndex >= kRenderFormatHeads) return nullptr;
  for (uint32_t k = 0; k < proxyState.ext.renderFormatCount; k++)
    if (proxyState.ext.renderFormats[k].idsPerHead[head->idIndex] == serverFormat)
      return &proxyState.ext.renderFormats[k];
  return nullptr;
}

MetaScreen *renderFormatMetaScreen(const RenderPictFormat *format) {
  if (!format || !hasVisuals(*format)) return nullptr;
  return xscreenFindByIndex(format->metaScreenIndex);
}
// ===== end of picture formats =====

// ===== reply mapping =====
uint32_t renderMapPictFormats(uint8_t *reply, uint32_t length, ServerDisplay *display, uint16_t version) {
  if (length < 32) return length;
  // Read from a copy, written into the reply: what is kept never takes more than it came in.
  std::unique_ptr<uint8_t, decltype(&free)> in(static_cast<uint8_t *>(malloc(length)), free);
  if (!in) {
    LOG_OUT_OF_MEMORY();
    memset(reply + 4, 0, 28);  // nothing offered rather than the server's ids
    return 32;
  }
  memcpy(in.get(), reply, length);
  const uint8_t *p = in.get();
  Head *first = firstHeadOf(display);
  uint64_t formats = wireGet32(p + 8), screens = wireGet32(p + 12), subpixels = wireGet32(p + 24);
  uint64_t r = 32, w = 32;
  uint32_t keptFormats = 0, keptScreens = 0, keptDepths = 0, keptVisuals = 0, keptSubpixels = 0;
  bool whole = true;  // false once a count runs past the reply: nothing after it is read

  for (uint64_t k = 0; k < formats; k++, r += kFormatBytes) {
    if (r + kFormatBytes > length) {
      whole = false;
      break;
    }
    const RenderPictFormat *entry = renderFindFormatByHeadId(wireGet32(p + r), first);
    if (!entry) continue;
    memcpy(reply + w, p + r, kFormatBytes);
    wirePut32(reply + w, entry->id);
    // The entry's colormap is the client's view (a head's default colormap is the meta screen's).
    uint32_t colormap = entry->colormap ? entry->colormap : mainServerToProxyXid(wireGet32(p + r + 24), display);
    wirePut32(reply + w + 24, colormap);
    w += kFormatBytes;
    keptFormats++;
  }

  uint64_t screensRead = 0;
  for (uint64_t s = 0; whole && s < screens; s++, screensRead++) {
    if (r + 8 > length) {
      whole = false;
      break;
    }
    uint64_t depths = wireGet32(p + r);
    uint32_t fallback = wireGet32(p + r + 4);
    Head *head = stayingHead(display, s);
    bool keep = head != nullptr;
    uint64_t screenAt = w;
    uint32_t screenDepths = 0;
    if (keep) w += 8;
    r += 8;
    for (uint64_t d = 0; d < depths; d++) {
      if (r + 8 > length) {
        whole = false;
        break;
      }
      uint64_t visuals = wireGet16(p + r + 2);
      if (r + 8 + 8 * visuals > length) {
        whole = false;
        break;
      }
      if (keep) {
        uint64_t depthAt = w;
        memcpy(reply + w, p + r, 8);
        w += 8;
        uint16_t depthVisuals = 0;
        for (uint64_t v = 0; v < visuals; v++) {
          const uint8_t *item = p + r + 8 + 8 * v;
          uint32_t visual = 0;
          const RenderPictFormat *entry = entryForVisual(wireGet32(item + 4), wireGet32(item), head, &visual);
          if (!entry) continue;
          wirePut32(reply + w, visual);
          wirePut32(reply + w + 4, entry->id);
          w += 8;
          depthVisuals++;
        }
        wirePut16(reply + depthAt + 2, depthVisuals);
        keptVisuals += depthVisuals;
        keptDepths++;
        screenDepths++;
      }
      r += 8 + 8 * visuals;
    }
    if (keep) {
      const RenderPictFormat *entry = renderFindFormatByHeadId(fallback, head);
      wirePut32(reply + screenAt, screenDepths);
      wirePut32(reply + screenAt + 4, entry ? entry->id : 0);
      keptScreens++;
    }
  }

  // One subpixel order per screen, cut with its screen; none for a version below 0.6.
  for (uint64_t k = 0; whole && version >= 6 && k < subpixels && r + 4 <= length; k++, r += 4)
    if (k < screensRead && stayingHead(display, k)) {
      memcpy(reply + w, p + r, 4);
      w += 4;
      keptSubpixels++;
    }

  wirePut32(reply + 4, uint32_t((w - 32) / 4));
  wirePut32(reply + 8, keptFormats);
  wirePut32(reply + 12, keptScreens);
  wirePut32(reply + 16, keptDepths);
  wirePut32(reply + 20, keptVisuals);
  wirePut32(reply + 24, keptSubpixels);
  return uint32_t(w);
}
// ===== end of reply mapping =====

// ===== set-up =====
void renderReset() {
  freeTable();
  freeDisplayFormats();
  proxyState.ext.render = nullptr;
}

const char *renderSetup(ExtensionRecord *record) {
  freeTable();
  freeDisplayFormats();
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    int major = 0, minor = 0, count = 0;
    RenderFormatInfo *formats = renderReadFormats(d, &major, &minor, &count);
    if (!formats || count <= 0) {
      free(formats);
      freeDisplayFormats();
      return strTempPrintf("Display %s does not support extension %s", displayLabel(d), "RENDER");
    }
    if (!keepDisplayFormats(d, formats, count)) {
      freeDisplayFormats();
      return OUT_OF_MEMORY_TEXT_AT(kSource);
    }
    record->version = std::min(record->version, versionCode(major, minor));
  }
  if (ServerDisplay *first = mainServerDisplays) {
    const DisplayFormats *list = formatsOf(first);
    uint64_t maxDepth = limitFromEnvironment("maxPictureFormatDepth");
    uint64_t maxBits = limitFromEnvironment("maxPictureFormatBits");
    for (int k = 0; list && k < list->count; k++) offerFormat(first, list->formats[k], maxDepth, maxBits);
    matchOtherDisplays(first);
  }
  if (!resourceTableOf(0)) resourceInitClient(0);
  for (uint32_t k = 0; k < proxyState.ext.renderFormatCount; k++)
    resourceAdd(proxyState.ext.renderFormats[k].id, kResourceRenderFormat, &proxyState.ext.renderFormats[k]);
  record->reset = renderReset;
  resourceTypeRoutines[kResourceRenderFormat].metaScreenOf = formatScreenOf;
  if (const char *error = extRegister(record, "RENDER", 0, 5)) return error;
  extWriteRows(record, rowsForVersion(record->version));
  if (const char *error = renderWriteErrorRows(record)) return error;
  proxyState.ext.render = record;
  return nullptr;
}
// ===== end of set-up =====
