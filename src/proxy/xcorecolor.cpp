// Colormap and colour requests (opcodes 78 to 92). A client colormap exists once per head,
// and the proxy keeps a shadow of it that records which client holds which cells. Colour
// allocations and queries go once to the meta screen's primary head; their replies are mapped
// back to the meta screen's pixels and recorded in the shadow, which repeats them on the other
// heads. When the primary head's visual is emulated, the proxy allocates in its emulated
// colormap, answers the client itself and stores the colours into every emulated head's real
// colormap (made AllocAll, so that the real server keeps no cells of its own).
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xemulation.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/xcolor.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadAccess = 10, kBadAlloc = 11, kBadColormap = 12, kBadName = 15;
constexpr uint8_t kTagListInstalled = 83, kTagAllocColor = 84, kTagAllocNamedColor = 85, kTagAllocColorCells = 86,
                  kTagAllocColorPlanes = 87, kTagAllocColorAsked = 84 | 0x80;

// The answers of AllocColor on colormaps of a static class (TrueColor, StaticColor,
// StaticGray: nothing is allocated, the server only rounds the colour to its cells): by the
// meta screen's visual, the primary head it is asked on and the colour asked, the pixel the
// server gave and the colour it rounded to. A program that allocates hundreds of colours at its
// start (xterm does) is answered at once from the second time on, without a round trip per
// colour. Forgotten when the real displays close (xcoreForgetKeptAnswers); at most
// kStaticColoursMax kept (then forgotten all at once).
struct AskedColour {
  const VisualRecord *visual;
  const Head *primary;
  uint16_t red, green, blue;
};
using StaticColourKey = std::tuple<const VisualRecord *, const Head *, uint16_t, uint16_t, uint16_t>;
struct StaticColour {
  uint32_t serverPixel;
  uint16_t red, green, blue;
};
std::map<StaticColourKey, StaticColour> staticColours;
constexpr size_t kStaticColoursMax = 65536;

void freeAskedColour(uintptr_t argument) { free(reinterpret_cast<AskedColour *>(argument)); }
constexpr uint32_t kMaxColorName = 16383;

uint32_t pad4(uint64_t n) { return uint32_t((n + 3) & ~uint64_t(3)); }

Head *primaryOf(const MetaScreen *screen) {
  return screen ? (screen->primaryHead ? screen->primaryHead : screen->heads) : nullptr;
}

bool isDynamic(const VisualRecord *visual) { return visual && (visual->visualClass & 1); }

VisualRecord *emulatedVisualOn(const Head *head, const VisualRecord *visual) {
  VisualRecord *own = head && visual ? xproxyHeadVisual(head, visual) : nullptr;
  return own && own->baseVisualId ? own : nullptr;
}

// The shadow whose emulated colormap serves the request (the primary head's visual is
// emulated), or NULL.
EmulatedColormap *emulatedPrimary(const ColormapShadow *shadow) {
  if (!shadow->emulated || !emulatedVisualOn(primaryOf(shadow->screen), shadow->visual)) return nullptr;
  return shadow->emulated;
}


bool exactListLength(uint8_t *request, uint32_t length, const XcoreRequestShape &shape, uint32_t countOffset) {
  if (!xcoreFrameEnter(request, length, shape)) return false;
  uint64_t count = wireGet16(request + countOffset);
  if (uint64_t(length) == shape.fixedLength + pad4(count)) return true;
  xprotoSendError(16, length, request, length, nullptr);
  return false;
}

// The colormap at byte 4: its shadow, or BadColormap (with the detail) and NULL.
ColormapShadow *colormapAt4(uint8_t *request, uint32_t length, const char *detail = nullptr) {
  uint32_t id = wireGet32(request + 4);
  auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(id, kResourceColormap));
  if (!shadow) {
    xprotoSendError(kBadColormap, id, request, length, detail);
    return nullptr;
  }
  resourceCacheDrawable(xproxyCurrentClient, id);
  return shadow;
}

// Entry of a request about the colormap at byte 4: its shadow, or NULL (the error sent).
ColormapShadow *enterColormap(uint8_t *request, uint32_t length, const XcoreRequestShape &shape) {
  return xcoreFrameEnter(request, length, shape) ? colormapAt4(request, length) : nullptr;
}

// The end of a wait for the server that a colormap request parked its client for.
void logSyncFailure(uint8_t *, uint32_t, const char *failure) {
  if (failure) LOG(logChannelProblem, "%s", failure);
}
void freeColormapSynced(uint8_t *request, uint32_t length, const char *failure);
void moveCellsSynced(uint8_t *request, uint32_t length, const char *failure);

// The request forwarded to the primary head of the shadow's meta screen with the colormap at
// byte 4 translated; the copy, or NULL (BadAlloc sent).
uint8_t *forwardToPrimary(const uint8_t *request, uint32_t length, const ColormapShadow *shadow, Head **primary) {
  *primary = primaryOf(shadow->screen);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (copy) wirePut32(copy + 4, resourceServerId(shadow->id, kResourceColormap, *primary));
  return copy;
}

void pushTag(uint8_t tag, uintptr_t argument) {
  if (DisplayConnection *connection = xcoreFrameConnection()) xproxyPushReplyCallback(connection, tag, argument, nullptr);
}

// A StoreColors of one item at the given pixel; 0 when the output cannot grow.
int writeStoreColor(DisplayConnection *connection, uint32_t colormap, uint32_t pixel, const XColor &colour) {
  uint8_t *request = xproxyBeginRequest(connection, 89, 0, 20);
  if (!request) return 0;
  wirePut32(request + 4, colormap);
  wirePut32(request + 8, pixel);
  wirePut16(request + 12, colour.red);
  wirePut16(request + 14, colour.green);
  wirePut16(request + 16, colour.blue);
  request[18] = uint8_t(colour.flags & 7);
  request[19] = 0;
  return 1;
}

// Colours stored into the real colormap of every head that emulates the shadow's visual, each
// at that head's pixel.
void storeOnEmulatedHeads(const ColormapShadow *shadow, const XColor *colours, size_t count) {
  DisplayConnection *connection = xcoreFrameConnection();
  if (!connection || !shadow->screen || count == 0) return;
  for (Head *head = shadow->screen->heads; head; head = head->next) {
    if (!emulatedVisualOn(head, shadow->visual)) continue;
    uint32_t colormap = resourceServerId(shadow->id, kResourceColormap, head);
    for (size_t i = 0; i < count; i++)
      if (!writeStoreColor(connection, colormap, xproxyPixelToServer(uint32_t(colours[i].pixel), shadow->visual, head),
                           colours[i]))
        return;
  }
}

// A channel value as hardware of `bits` significant bits gives it back: the kept bits spread
// over the whole 16-bit range, as a real server resolves colours (0x1234 at 8 bits: 0x1212).
uint16_t resolveChannel(uint16_t value, unsigned bits) {
  if (bits == 0 || bits >= 16) return value;
  uint32_t levels = (1u << bits) - 1;
  return uint16_t((uint32_t(value >> (16 - bits)) * 65535u) / levels);
}

// The colour the emulated cell holds, resolved as a real server reports it.
void readBack(const ColormapShadow *shadow, XColor *colour) {
  XColor cell{};
  cell.pixel = colour->pixel;
  if (!xemulationQueryColors(nullptr, shadow->emulated, &cell, 1)) return;
  const VisualRecord *visual = shadow->emulated->visual;
  unsigned bits = visual && visual->channelMask ? unsigned(__builtin_popcount(visual->channelMask & 0xffff)) : 16;
  colour->red = resolveChannel(cell.red, bits);
  colour->green = resolveChannel(cell.green, bits);
  colour->blue = resolveChannel(cell.blue, bits);
}

// A colour allocated in the emulated colormap (its colour as a real server reports it),
// recorded in the shadow (which stores it in the cell and repeats it on the heads that do not
// emulate) and stored into every emulated head's real colormap; false when it cannot be had.
bool allocEmulated(ColormapShadow *shadow, EmulatedColormap *emulated, XColor *colour) {
  if (!xemulationAllocColor(nullptr, emulated, colour)) return false;
  readBack(shadow, colour);
  ResourceColor cell{uint32_t(colour->pixel), colour->red, colour->green, colour->blue, 7};
  if (!resourceAddColor(xproxyCurrentClient, shadow, &cell)) {
    unsigned long pixel = colour->pixel;
    xemulationFreeColors(nullptr, emulated, &pixel, 1, 0);
    return false;
  }
  storeOnEmulatedHeads(shadow, colour, 1);
  return true;
}

// A name of the request as a NUL-terminated string, and its RGB when the colour database knows it.
bool lookupName(const uint8_t *name, uint32_t length, XColor *exact) {
  if (length > kMaxColorName) return false;
  uint16_t r = 0, g = 0, b = 0;
  if (!xcolorLookup(nullptr, reinterpret_cast<const char *>(name), length, &r, &g, &b)) return false;
  exact->red = r;
  exact->green = g;
  exact->blue = b;
  exact->flags = DoRed | DoGreen | DoBlue;
  return true;
}

// StoreColors on an emulated primary head: each item through the emulated colormap, the
// accepted ones stored on every emulated head and in the shadow (which repeats them on the
// heads that do not emulate). The first refusal's error goes to the client.
void storeEmulated(ColormapShadow *shadow, const std::vector<XColor> &items, const uint8_t *request, uint32_t length) {
  std::vector<XColor> accepted;
  std::vector<ResourceColor> shadowItems;
  uint8_t error = 0;
  uint32_t badPixel = 0;
  for (const XColor &item : items) {
    int code = xemulationStoreColors(nullptr, shadow->emulated, &item, 1);
    if (code) {
      if (!error) error = uint8_t(code), badPixel = uint32_t(item.pixel);
      continue;
    }
    accepted.push_back(item);
    shadowItems.push_back(ResourceColor{uint32_t(item.pixel), item.red, item.green, item.blue, uint8_t(item.flags & 7)});
  }
  storeOnEmulatedHeads(shadow, accepted.data(), accepted.size());
  if (!shadowItems.empty()) resourceStoreColors(shadow, shadowItems.data(), uint32_t(shadowItems.size()));
  if (error) xprotoSendError(error, badPixel, request, length, nullptr);
}

// The cells of the emulated colormap a client holds, with their colours (for a new real
// colormap that takes them over).
std::vector<XColor> heldCells(const EmulatedColormap *colormap) {
  std::vector<XColor> cells;
  unsigned entries = colormap->visual ? colormap->visual->colormapEntries : 256;
  if (entries > 256) entries = 256;
  for (unsigned i = 0; i < entries; i++)
    if (colormap->cells[i].state != 0)
      cells.push_back(XColor{i, colormap->cells[i].red, colormap->cells[i].green, colormap->cells[i].blue,
                             DoRed | DoGreen | DoBlue, 0});
  return cells;
}

}  // namespace

// ----- Colormaps ---------------------------------------------------------------------------------

namespace {
struct CreateColormapArgument {
  ColormapShadow *shadow;
  uint8_t alloc;
  uint32_t window, visualId;
};
int createColormapCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length,
                       void *argument) {
  auto *a = static_cast<CreateColormapArgument *>(argument);
  ColormapShadow *shadow = a->shadow;
  if (VisualRecord *emulated = emulatedVisualOn(head, shadow->visual)) {
    // One emulated colormap per shadow, made without a window: each emulated head's real
    // colormap is the client's own AllocAll copy written below.
    if (!shadow->emulated) {
      shadow->emulated = static_cast<EmulatedColormap *>(calloc(1, sizeof(EmulatedColormap)));
      if (!shadow->emulated) return 0;
      xemulationCreateColormap(head->display, 0, emulated, shadow->emulated);
      if (a->alloc == 1) {
        // AllocAll: every cell belongs to the client, read-write.
        unsigned entries = emulated->colormapEntries > 256 ? 256 : emulated->colormapEntries;
        std::vector<unsigned long> pixels(entries);
        xemulationAllocCells(head->display, shadow->emulated, false, nullptr, 0, pixels.data(), int(entries));
      }
    }
    shadow->emulated->realColormap = resourceServerId(shadow->id, kResourceColormap, head);
  }
  static const XcoreIdField fields[] = {{4, kResourceColormap}, {8, kResourceWindow}, {0, 0}};
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, fields);
  if (!copy) return 0;
  copy[1] = xproxyColormapAllocMode(a->alloc, shadow->visual, head);
  wirePut32(copy + 12, xproxyVisualIdToServer(a->visualId, head));
  return 1;
}
}  // namespace

void xcoreCreateColormap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiii", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), window = wireGet32(request + 8), visualId = wireGet32(request + 12);
  uint8_t alloc = request[1];
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  MetaScreen *screen = xproxyCurrentClient->cachedScreen;
  if (!xcoreFrameNewId(id, request, length)) return;
  VisualRecord *visual = xscreenFindVisual(screen, visualId);
  if (!visual) return xprotoSendError(kBadValue, visualId, request, length, "invalid visual");
  if (alloc > 1) return xprotoSendError(kBadValue, alloc, request, length, "invalid alloc");
  ColormapShadow *shadow = resourceCreateColormap(xproxyCurrentClient, id, screen, visual, alloc);
  if (!shadow) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  CreateColormapArgument argument{shadow, alloc, window, visualId};
  xproxyCurrentClient->cachedScreen = screen;
  if (!xcoreFramePerHead(request, length, id, createColormapCopy, &argument)) return;
  // The proxy's own connections use the colormap on every head for the client's later requests:
  // those wait (the client parked) until the server has it.
  if (screen->headCount > 1) xproxyParkClient(xproxyCurrentClient, nullptr, request, length, logSyncFailure);
}

namespace {
const XcoreIdField kColormapAt4[] = {{4, kResourceColormap}, {0, 0}};
}  // namespace

void xcoreFreeColormap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  if (shadow->screen && shadow->id == shadow->screen->defaultColormap)
    return xcoreFrameRefuse(kXcoreNoEffectDefaultColormap, request);
  // The client's earlier requests on it reach the server first (the client parked meanwhile).
  if (shadow->screen && shadow->screen->headCount > 1)
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, freeColormapSynced);
  freeColormapSynced(request, length, nullptr);
}

namespace {
void freeColormapSynced(uint8_t *request, uint32_t length, const char *failure) {
  logSyncFailure(request, length, failure);
  ColormapShadow *shadow = colormapAt4(request, length);  // (another client may have freed it)
  if (!shadow) return;
  xproxyCurrentClient->cachedScreen = shadow->screen;
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kColormapAt4));
  resourceFree(shadow->id, 0);
}
}  // namespace

namespace {
struct CopyColormapArgument {
  ColormapShadow *source, *copy;
};
int copyColormapCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length,
                     void *argument) {
  auto *a = static_cast<CopyColormapArgument *>(argument);
  if (VisualRecord *emulated = emulatedVisualOn(head, a->copy->visual)) {
    // The source's real colormap is AllocAll: a CopyColormapAndFree there would free every
    // entry. The new colormap is made AllocAll instead and takes the moved cells' colours.
    if (!a->copy->emulated) {
      a->copy->emulated = static_cast<EmulatedColormap *>(calloc(1, sizeof(EmulatedColormap)));
      if (!a->copy->emulated) return 0;
      xemulationCreateColormap(head->display, 0, emulated, a->copy->emulated);
      if (a->source->emulated) xemulationCopyColormap(head->display, a->source->emulated, a->copy->emulated);
    }
    a->copy->emulated->realColormap = resourceServerId(a->copy->id, kResourceColormap, head);
    uint8_t *create = xproxyBeginRequest(connection, 78, 1, 16);
    if (!create) return 0;
    wirePut32(create + 4, resourceServerId(a->copy->id, kResourceScreenResource, head));
    wirePut32(create + 8, uint32_t(head->root));
    wirePut32(create + 12, xproxyVisualIdToServer(a->copy->visual->visualId, head));
    std::vector<XColor> cells = heldCells(a->copy->emulated);
    uint32_t colormap = resourceServerId(a->copy->id, kResourceColormap, head);
    for (const XColor &c : cells)
      if (!writeStoreColor(connection, colormap, xproxyPixelToServer(uint32_t(c.pixel), a->copy->visual, head), c))
        return 0;
    return 1;
  }
  static const XcoreIdField fields[] = {{4, kResourceScreenResource}, {8, kResourceColormap}, {0, 0}};
  return xcoreFrameCopyForHead(request, length, connection, head, fields) != nullptr;
}
}  // namespace

void xcoreCopyColormapAndFree(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsii", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), sourceId = wireGet32(request + 8);
  auto *source = static_cast<ColormapShadow *>(resourceLookupByType(sourceId, kResourceColormap));
  if (!source) return xprotoSendError(kBadColormap, sourceId, request, length, "invalid source colormap");
  if (!xcoreFrameNewId(id, request, length)) return;
  ColormapShadow *copy = resourceCreateColormap(xproxyCurrentClient, id, source->screen, source->visual, 0);
  if (!copy) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  copy->allocMode = source->allocMode;
  CopyColormapArgument argument{source, copy};
  xproxyCurrentClient->cachedScreen = source->screen;
  if (!xcoreFramePerHead(request, length, id, copyColormapCopy, &argument)) return;
  // The other heads repeat the move through the proxy's own connections, on colormaps that
  // must exist by then.
  if (source->screen && source->screen->headCount > 1)
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, moveCellsSynced);
  moveCellsSynced(request, length, nullptr);
}

namespace {
void moveCellsSynced(uint8_t *request, uint32_t length, const char *failure) {
  logSyncFailure(request, length, failure);
  auto *source = static_cast<ColormapShadow *>(resourceLookupByType(wireGet32(request + 8), kResourceColormap));
  auto *copy = static_cast<ColormapShadow *>(resourceLookupByType(wireGet32(request + 4), kResourceColormap));
  if (!source || !copy) return;  // freed meanwhile: nothing left to move
  if (!resourceMoveClientCells(xproxyCurrentClient, source, copy))
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
}
}  // namespace

void xcoreInstallColormap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  resourceCacheDrawable(xproxyCurrentClient, wireGet32(request + 4));
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kColormapAt4));
}

void xcoreUninstallColormap(uint8_t *request, uint32_t length) { xcoreInstallColormap(request, length); }

void xcoreListInstalledColormaps(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t window = wireGet32(request + 4);
  resourceCacheDrawable(xproxyCurrentClient, window);
  Head *primary = primaryOf(xproxyCurrentClient->cachedScreen);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) return;
  wirePut32(copy + 4, resourceServerId(window, kResourceWindow, primary));
  pushTag(kTagListInstalled, reinterpret_cast<uintptr_t>(primary));
}

void xcoreListInstalledColormapsReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  Head *head = connection ? reinterpret_cast<Head *>(xproxyTakeReplyCallback(connection, kTagListInstalled)) : nullptr;
  if (!head) {
    LOG_UNE();
    return xcoreFrameWriteReply(reply, length, "bbsissI");
  }
  // The walk stays inside the reply: a count beyond its words is cut to them.
  uint32_t count = wireGet16(reply + 8);
  uint32_t present = (length - 32) / 4;
  if (count > present) count = present;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t id = wireGet32(reply + 32 + 4 * i);
    if (id == uint32_t(head->defaultColormap) && head->shadowColormap) continue;
    uint32_t mapped = mainHeadXidToProxy(kResourceColormap, id, head);
    if (!resourceLookupByType(mapped, kResourceColormap)) continue;
    wirePut32(reply + 32 + 4 * kept++, mapped);
  }
  // Each removed entry shortens the list by one word.
  uint32_t removedWords = present - kept;
  wirePut16(reply + 8, uint16_t(kept));
  wirePut32(reply + 4, wireGet32(reply + 4) - removedWords);
  xcoreFrameWriteReply(reply, length - 4 * removedWords, "bbsissI");
}

// ----- Allocation ------------------------------------------------------------------------------

void xcoreAllocColor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissss", 16, XcoreShape::Fixed, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  if (EmulatedColormap *emulated = emulatedPrimary(shadow)) {
    XColor colour{0, uint16_t(wireGet16(request + 8)), uint16_t(wireGet16(request + 10)),
                  uint16_t(wireGet16(request + 12)), DoRed | DoGreen | DoBlue, 0};
    if (!allocEmulated(shadow, emulated, &colour)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    if (!core11GAllocColorReply(xproxyCurrentClient, &colour)) xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  uint16_t red = uint16_t(wireGet16(request + 8)), green = uint16_t(wireGet16(request + 10)),
           blue = uint16_t(wireGet16(request + 12));
  bool fixed = !isDynamic(shadow->visual);
  if (fixed) {
    Head *head = primaryOf(shadow->screen);
    auto found = staticColours.find(StaticColourKey{shadow->visual, head, red, green, blue});
    if (found != staticColours.end()) {
      XColor colour{xproxyPixelFromServer(found->second.serverPixel, shadow->visual, head), found->second.red,
                    found->second.green, found->second.blue, DoRed | DoGreen | DoBlue, 0};
      if (!core11GAllocColorReply(xproxyCurrentClient, &colour)) xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
  }
  Head *primary;
  if (!forwardToPrimary(request, length, shadow, &primary)) return;
  // (The colour asked comes first: the reply takes the callbacks in their order.)
  DisplayConnection *connection = xcoreFrameConnection();
  if (auto *asked = fixed && connection ? static_cast<AskedColour *>(malloc(sizeof(AskedColour))) : nullptr) {
    *asked = AskedColour{shadow->visual, primary, red, green, blue};
    xproxyPushReplyCallback(connection, kTagAllocColorAsked, reinterpret_cast<uintptr_t>(asked), freeAskedColour);
  }
  pushTag(kTagAllocColor, shadow->id);
}

namespace {
// The colormap an allocation reply belongs to (its callback taken) and the client it goes to;
// NULL when either is missing.
ColormapShadow *allocReplyShadow(uint8_t tag, ClientConnection **client) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  *client = connection ? connection->owner : nullptr;
  uint32_t id = connection ? uint32_t(xproxyTakeReplyCallback(connection, tag)) : 0;
  auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(id, kResourceColormap));
  return *client ? shadow : nullptr;
}

// The reply of an allocation: the pixel at `at` mapped back for the colormap, the cell
// recorded for a dynamic class; BadAlloc in its place when it cannot be recorded.
void allocReply(uint8_t *reply, uint32_t length, uint8_t tag, uint32_t pixelAt, uint32_t colourAt, WireLayout layout) {
  ClientConnection *client = nullptr;
  ColormapShadow *shadow = allocReplyShadow(tag, &client);
  if (!shadow) {
    LOG_UNE();
    return xcoreFrameWriteReply(reply, length, layout);
  }
  Head *primary = primaryOf(shadow->screen);
  uint32_t pixel = xproxyPixelFromServer(wireGet32(reply + pixelAt), shadow->visual, primary);
  wirePut32(reply + pixelAt, pixel);
  if (isDynamic(shadow->visual)) {
    ResourceColor colour{pixel, uint16_t(wireGet16(reply + colourAt)), uint16_t(wireGet16(reply + colourAt + 2)),
                         uint16_t(wireGet16(reply + colourAt + 4)), 7};
    if (!resourceAddColor(client, shadow, &colour)) return xcoreFrameReplyError(client, tag, kBadAlloc, 0);
  }
  xcoreFrameWriteReply(reply, length, layout);
}
}  // namespace

void xcoreAllocColorReply(uint8_t *reply, uint32_t length) {
  // The answer kept for a static colormap, before the reply goes out (its client may have it
  // swapped in place).
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  if (auto *asked = connection ? reinterpret_cast<AskedColour *>(xproxyTakeReplyCallback(connection, kTagAllocColorAsked))
                               : nullptr) {
    try {
      if (staticColours.size() >= kStaticColoursMax) staticColours.clear();
      staticColours[StaticColourKey{asked->visual, asked->primary, asked->red, asked->green, asked->blue}] =
          StaticColour{wireGet32(reply + 16), uint16_t(wireGet16(reply + 8)), uint16_t(wireGet16(reply + 10)),
                       uint16_t(wireGet16(reply + 12))};
    } catch (const std::bad_alloc &) {
    }
    free(asked);
  }
  allocReply(reply, length, kTagAllocColor, 16, 8, "bbsissssiiii");
}

void xcoreForgetStaticColours() { staticColours.clear(); }

void xcoreAllocNamedColor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsis", 12, XcoreShape::List, 0, 0};
  ColormapShadow *shadow = exactListLength(request, length, shape, 8) ? colormapAt4(request, length) : nullptr;
  if (!shadow) return;
  if (EmulatedColormap *emulated = emulatedPrimary(shadow)) {
    uint32_t nameLength = wireGet16(request + 8);
    XColor exact{};
    if (!lookupName(request + 12, nameLength, &exact)) return xprotoSendError(kBadName, 0, request, length, nullptr);
    XColor colour = exact;
    if (!allocEmulated(shadow, emulated, &colour)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    exact.pixel = colour.pixel;
    if (!core11GAllocNamedColorReply(xproxyCurrentClient, &exact, &colour))
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  Head *primary;
  if (forwardToPrimary(request, length, shadow, &primary)) pushTag(kTagAllocNamedColor, shadow->id);
}

void xcoreAllocNamedColorReply(uint8_t *reply, uint32_t length) {
  allocReply(reply, length, kTagAllocNamedColor, 8, 18, "bbsiissssssii");
}

void xcoreAllocColorCells(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiss", 12, XcoreShape::Fixed, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  if (EmulatedColormap *emulated = emulatedPrimary(shadow)) {
    uint32_t colours = wireGet16(request + 8), planes = wireGet16(request + 10);
    // The emulated colormap has at most 256 cells: more cannot be had.
    if (colours == 0 || colours > 256 || planes > 8) {
      if (colours == 0) return xprotoSendError(kBadValue, 0, request, length, nullptr);
      return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    }
    std::vector<unsigned long> pixels(colours), masks(planes);
    if (!xemulationAllocCells(nullptr, emulated, request[1] != 0, masks.data(), int(planes), pixels.data(),
                              int(colours)))
      return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    std::vector<uint32_t> pixelWords(pixels.begin(), pixels.end()), maskWords(masks.begin(), masks.end());
    if (!resourceAddColorCells(xproxyCurrentClient, shadow, pixelWords.data(), colours, maskWords.data(), planes) ||
        !core11GAllocColorCellsReply(pixelWords.data(), colours, maskWords.data(), planes)) {
      xemulationFreeColors(nullptr, emulated, pixels.data(), int(colours), 0);
      return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    }
    return;
  }
  Head *primary;
  if (forwardToPrimary(request, length, shadow, &primary)) pushTag(kTagAllocColorCells, shadow->id);
}

namespace {
// The AllocColorCells and AllocColorPlanes replies: pixels (and masks) mapped back and
// recorded as read-write cells; the counts are bounded by the reply's words.
void cellsReply(uint8_t *reply, uint32_t length, uint8_t tag) {
  ClientConnection *client = nullptr;
  ColormapShadow *shadow = allocReplyShadow(tag, &client);
  if (!shadow) {
    LOG_UNE();
    return xcoreFrameWriteReply(reply, length, "bbsissI");
  }
  Head *primary = primaryOf(shadow->screen);
  uint32_t words = (length - 32) / 4;
  uint32_t pixelCount = wireGet16(reply + 8);
  uint32_t maskCount = tag == kTagAllocColorCells ? wireGet16(reply + 10) : 0;
  if (pixelCount > words) pixelCount = words;
  if (maskCount > words - pixelCount) maskCount = words - pixelCount;
  std::vector<uint32_t> pixels(pixelCount), masks(maskCount);
  for (uint32_t i = 0; i < pixelCount; i++) {
    pixels[i] = xproxyPixelFromServer(wireGet32(reply + 32 + 4 * i), shadow->visual, primary);
    wirePut32(reply + 32 + 4 * i, pixels[i]);
  }
  for (uint32_t i = 0; i < maskCount; i++) {
    uint8_t *at = reply + 32 + 4 * (pixelCount + i);
    masks[i] = xproxyPixelFromServer2(wireGet32(at), shadow->visual, primary);
    wirePut32(at, masks[i]);
  }
  int recorded = 1;
  if (tag == kTagAllocColorPlanes) {
    uint32_t channel[3];
    for (int c = 0; c < 3; c++) {
      channel[c] = xproxyPixelFromServer2(wireGet32(reply + 12 + 4 * c), shadow->visual, primary);
      wirePut32(reply + 12 + 4 * c, channel[c]);
    }
    if (isDynamic(shadow->visual))
      recorded = resourceAddColorPlanes(client, shadow, pixels.data(), pixelCount, channel[0], channel[1], channel[2]);
  } else if (isDynamic(shadow->visual)) {
    recorded = resourceAddColorCells(client, shadow, pixels.data(), pixelCount, masks.data(), maskCount);
  }
  if (!recorded) return xcoreFrameReplyError(client, tag, kBadAlloc, 0);
  xcoreFrameWriteReply(reply, length, "bbsissI");
}
}  // namespace

void xcoreAllocColorCellsReply(uint8_t *reply, uint32_t length) { cellsReply(reply, length, kTagAllocColorCells); }

void xcoreAllocColorPlanes(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissss", 16, XcoreShape::Fixed, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  if (EmulatedColormap *emulated = emulatedPrimary(shadow)) {
    // Answered from the emulated colormap: the real one is AllocAll and has nothing to give.
    uint32_t colours = wireGet16(request + 8);
    int reds = wireGet16(request + 10), greens = wireGet16(request + 12), blues = wireGet16(request + 14);
    if (colours == 0) return xprotoSendError(kBadValue, 0, request, length, nullptr);
    if (colours > 256 || reds + greens + blues > 8) return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    std::vector<unsigned long> pixels(colours);
    unsigned long red = 0, green = 0, blue = 0;
    if (!xemulationAllocPlanes(nullptr, emulated, request[1] != 0, pixels.data(), int(colours), reds, greens, blues,
                               &red, &green, &blue))
      return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    std::vector<uint32_t> pixelWords(pixels.begin(), pixels.end());
    if (!resourceAddColorPlanes(xproxyCurrentClient, shadow, pixelWords.data(), colours, uint32_t(red),
                                uint32_t(green), uint32_t(blue))) {
      xemulationFreeColors(nullptr, emulated, pixels.data(), int(colours), red | green | blue);
      return xprotoSendError(kBadAlloc, colours, request, length, nullptr);
    }
    std::vector<uint8_t> out(32 + 4 * size_t(colours), 0);
    wirePut16(&out[2], uint16_t(xproxyCurrentClient->sequence));
    wirePut16(&out[8], uint16_t(colours));
    wirePut32(&out[12], uint32_t(red));
    wirePut32(&out[16], uint32_t(green));
    wirePut32(&out[20], uint32_t(blue));
    for (uint32_t i = 0; i < colours; i++) wirePut32(&out[32 + 4 * i], pixelWords[i]);
    mainSendReply(87, 0, out.data(), uint32_t(out.size()), "bbsissI", xproxyCurrentClient);
    return;
  }
  Head *primary;
  if (forwardToPrimary(request, length, shadow, &primary)) pushTag(kTagAllocColorPlanes, shadow->id);
}

void xcoreAllocColorPlanesReply(uint8_t *reply, uint32_t length) { cellsReply(reply, length, kTagAllocColorPlanes); }

// ----- Freeing, storing, queries ------------------------------------------------------------------

void xcoreFreeColors(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsI", 12, XcoreShape::List, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  uint32_t planeMask = wireGet32(request + 8), count = (length - 12) / 4;
  std::vector<uint32_t> pixels(count);
  for (uint32_t i = 0; i < count; i++) pixels[i] = wireGet32(request + 12 + 4 * i);
  if (EmulatedColormap *emulated = emulatedPrimary(shadow)) {
    std::vector<unsigned long> wide(pixels.begin(), pixels.end());
    xemulationFreeColors(nullptr, emulated, wide.data(), int(count), planeMask);
    resourceFreeColormapCells(xproxyCurrentClient, shadow, pixels.data(), count, planeMask);
    return;
  }
  Head *primary;
  uint8_t *copy = forwardToPrimary(request, length, shadow, &primary);
  if (!copy) return;
  wirePut32(copy + 8, xproxyPixelToServer2(planeMask, shadow->visual, primary));
  for (uint32_t i = 0; i < count; i++)
    wirePut32(copy + 12 + 4 * i, xproxyPixelToServer(pixels[i], shadow->visual, primary));
  resourceFreeColormapCells(xproxyCurrentClient, shadow, pixels.data(), count, planeMask);
}

void xcoreStoreColors(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi[isssbb]", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if ((length - 8) % 12) return xprotoSendError(16, length, request, length, nullptr);
  ColormapShadow *shadow = colormapAt4(request, length);
  if (!shadow) return;
  if (!isDynamic(shadow->visual)) return xprotoSendError(kBadAccess, shadow->id, request, length, nullptr);
  uint32_t count = (length - 8) / 12;
  std::vector<XColor> items(count);
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t *item = request + 8 + 12 * i;
    items[i] = XColor{wireGet32(item), wireGet16(item + 4), wireGet16(item + 6), wireGet16(item + 8),
                      char(item[10]), 0};
  }
  if (emulatedPrimary(shadow)) return storeEmulated(shadow, items, request, length);
  Head *primary;
  uint8_t *copy = forwardToPrimary(request, length, shadow, &primary);
  if (!copy) return;
  std::vector<ResourceColor> shadowItems;
  for (uint32_t i = 0; i < count; i++) {
    wirePut32(copy + 8 + 12 * i, xproxyPixelToServer(uint32_t(items[i].pixel), shadow->visual, primary));
    shadowItems.push_back(
        ResourceColor{uint32_t(items[i].pixel), items[i].red, items[i].green, items[i].blue, uint8_t(items[i].flags)});
  }
  if (!shadowItems.empty()) resourceStoreColors(shadow, shadowItems.data(), count);
}

void xcoreStoreNamedColor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiis", 16, XcoreShape::List, 0, 0};
  ColormapShadow *shadow = exactListLength(request, length, shape, 12) ? colormapAt4(request, length) : nullptr;
  if (!shadow) return;
  if (!isDynamic(shadow->visual)) return xprotoSendError(kBadAccess, shadow->id, request, length, nullptr);
  uint32_t pixel = wireGet32(request + 8), nameLength = wireGet16(request + 12);
  if (emulatedPrimary(shadow)) {
    XColor colour{};
    if (!lookupName(request + 16, nameLength, &colour)) return xprotoSendError(kBadName, 0, request, length, nullptr);
    colour.pixel = pixel;
    colour.flags = char(request[1] & 7);
    return storeEmulated(shadow, {colour}, request, length);
  }
  Head *primary;
  uint8_t *copy = forwardToPrimary(request, length, shadow, &primary);
  if (!copy) return;
  wirePut32(copy + 8, xproxyPixelToServer(pixel, shadow->visual, primary));
  resourceStoreNamedColor(shadow, pixel, request[1], reinterpret_cast<const char *>(request + 16), nameLength);
}

void xcoreQueryColors(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsI", 8, XcoreShape::List, 0, 0};
  ColormapShadow *shadow = enterColormap(request, length, shape);
  if (!shadow) return;
  Head *primary;
  uint8_t *copy = forwardToPrimary(request, length, shadow, &primary);
  if (!copy) return;
  for (uint32_t at = 8; at + 4 <= length; at += 4)
    wirePut32(copy + at, xproxyPixelToServer(wireGet32(request + at), shadow->visual, primary));
}

void xcoreLookupColor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsis", 12, XcoreShape::List, 0, 0};
  if (!exactListLength(request, length, shape, 8)) return;
  uint32_t id = wireGet32(request + 4);
  resourceCacheDrawable(xproxyCurrentClient, id);
  Head *primary = primaryOf(xproxyCurrentClient->cachedScreen);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (copy) wirePut32(copy + 4, resourceServerId(id, kResourceColormap, primary));
}

void xcoreQueryColorsReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsiS"); }
void xcoreLookupColorReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsissssss"); }
