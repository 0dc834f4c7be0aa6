// What the clients see of the real displays: the id layout, the visuals of the meta screens,
// the default colormaps on every head and the proxy's windows and cursors on each head.
#include <algorithm>
#include <vector>

#include <X11/Xlibint.h>
#undef min
#undef max
// ===== Visuals, id layout, default colormaps and root windows =====
#include <X11/Xatom.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/xemulation.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xrclibcursors.h"
#include "xclient/xtarget.h"
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>

#include <bit>
#include <memory>
#include <cmath>

#include "proxy/connections.h"
#include "proxy/window.h"
#include "proxy/xdisplay.h"
#include "proxy/xmain.h"
#include "proxy/xscreen.h"

int mainGlxDisabled = 0;
const char *mainProgramName = "tarvo";

namespace {

constexpr uint32_t kLow29Bits = 0x1fffffff;

// The 4 x 4 background pattern and the proxy's X-shaped cursor (least significant bit leftmost).
constexpr unsigned char kPattern[4] = {0x88, 0x22, 0x44, 0x11};
constexpr unsigned char kCursorSource[32] = {0x00, 0x00, 0x0e, 0x70, 0x1e, 0x78, 0x3e, 0x7c, 0x7c, 0x3e, 0xf8,
                                             0x1f, 0xf0, 0x0f, 0xe0, 0x07, 0xe0, 0x07, 0xf0, 0x0f, 0xf8, 0x1f,
                                             0x7c, 0x3e, 0x3e, 0x7c, 0x1e, 0x78, 0x0e, 0x70, 0x00, 0x00};
constexpr unsigned char kCursorMask[32] = {0x0f, 0xf0, 0x1f, 0xf8, 0x3f, 0xfc, 0x7f, 0xfe, 0xfe, 0x7f, 0xfc,
                                           0x3f, 0xf8, 0x1f, 0xf0, 0x0f, 0xf0, 0x0f, 0xf8, 0x1f, 0xfc, 0x3f,
                                           0xfe, 0x7f, 0x7f, 0xfe, 0x3f, 0xfc, 0x1f, 0xf8, 0x0f, 0xf0};
constexpr int kCursorSize = 16, kCursorHotX = 7, kCursorHotY = 9;

uint32_t bitsToNumber(uint32_t count) {  // bits needed to number count things (0 for one)
  uint32_t bits = 0;
  while (count > 1 && (uint64_t(1) << bits) < count) bits++;
  return bits;
}

template <typename Fn>
void forEachHead(Fn fn) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) fn(s, h);
}

int visualIndex(const MetaScreen *screen, const VisualRecord *visual) {
  if (!screen || !visual || visual < screen->visuals || visual >= screen->visuals + screen->visualCount) return -1;
  return int(visual - screen->visuals);
}

// 100 when the candidate's size is smaller than wanted, 5 when larger.
uint32_t sizePenalty(uint32_t wanted, uint32_t candidate) {
  return candidate < wanted ? 100 : candidate > wanted ? 5 : 0;
}

// The GL part of a candidate's score; UINT32_MAX refuses it.
uint32_t glScore(const VisualRecord *w, const VisualRecord *c) {
  if (!w->glVersion) return c->glVersion ? 5 : 0;
  if (!c->glVersion) return xscreenNoClients() ? 500000 : UINT32_MAX;
  if (w->glRgba != c->glRgba || w->glLevel != c->glLevel || w->glStereo != c->glStereo) return UINT32_MAX;
  uint32_t score = w->glDoubleBuffer != c->glDoubleBuffer ? 10 : 0;
  const uint8_t VisualRecord::*colour[] = {&VisualRecord::glRedSize,      &VisualRecord::glGreenSize,
                                           &VisualRecord::glBlueSize,     &VisualRecord::glAlphaSize,
                                           &VisualRecord::glAccumRedSize, &VisualRecord::glAccumGreenSize,
                                           &VisualRecord::glAccumBlueSize, &VisualRecord::glAccumAlphaSize};
  for (auto field : colour) {
    if (c->*field < w->*field) return UINT32_MAX;
    if (c->*field > w->*field) score += 5;
  }
  score += sizePenalty(w->glDepthSize, c->glDepthSize) + sizePenalty(w->glStencilSize, c->glStencilSize) +
           sizePenalty(w->glAuxBuffers, c->glAuxBuffers) + sizePenalty(w->glSamples, c->glSamples) +
           sizePenalty(w->glSampleBuffers, c->glSampleBuffers);
  return score;
}

void clearGl(VisualRecord *v) {
  v->glVersion = 0;
  v->glRgba = 0;
  v->glRedSize = v->glGreenSize = v->glBlueSize = v->glAlphaSize = 0;
  v->glAccumRedSize = v->glAccumGreenSize = v->glAccumBlueSize = v->glAccumAlphaSize = 0;
  v->glDepthSize = v->glStencilSize = 0;
  v->glDoubleBuffer = v->glStereo = v->glAuxBuffers = 0;
}

template <typename T>
void toSmaller(T &wanted, T offered) {
  if (offered < wanted) wanted = offered;
}

void narrowTo(VisualRecord *w, const VisualRecord *c) {
  toSmaller(w->colormapEntries, c->colormapEntries);
  toSmaller(w->bitsPerRgb, c->bitsPerRgb);
  if (w->visualClass >= 4 &&
      std::popcount(c->redMask | c->greenMask | c->blueMask) < std::popcount(w->redMask | w->greenMask | w->blueMask)) {
    w->redMask = c->redMask, w->greenMask = c->greenMask, w->blueMask = c->blueMask;
    w->redShift = c->redShift, w->greenShift = c->greenShift, w->blueShift = c->blueShift;
    w->redBits = c->redBits, w->greenBits = c->greenBits, w->blueBits = c->blueBits;
  }
  if (w->doubleBuffered && c->doubleBuffered) {
    toSmaller(w->doubleBufferPerformance, c->doubleBufferPerformance);
  } else {
    w->doubleBuffered = 0;
    w->doubleBufferPerformance = 0;
  }
  if (!w->glVersion || !c->glVersion) {
    clearGl(w);
    return;
  }
  toSmaller(w->glRedSize, c->glRedSize);
  toSmaller(w->glGreenSize, c->glGreenSize);
  toSmaller(w->glBlueSize, c->glBlueSize);
  toSmaller(w->glAlphaSize, c->glAlphaSize);
  toSmaller(w->glAccumRedSize, c->glAccumRedSize);
  toSmaller(w->glAccumGreenSize, c->glAccumGreenSize);
  toSmaller(w->glAccumBlueSize, c->glAccumBlueSize);
  toSmaller(w->glAccumAlphaSize, c->glAccumAlphaSize);
  toSmaller(w->glDepthSize, c->glDepthSize);
  toSmaller(w->glStencilSize, c->glStencilSize);
  toSmaller(w->glDoubleBuffer, c->glDoubleBuffer);
  toSmaller(w->glStereo, c->glStereo);
  toSmaller(w->glAuxBuffers, c->glAuxBuffers);
}

uint32_t realIdMask(const ServerDisplay *display) {
  return mainRealIdMask(display->display);
}

// Step 5 for one meta screen: the common visuals, the map of each head, the root visual.
const char *adjustMetaVisuals(MetaScreen *screen) {
  Head *primary = screen->primaryHead ? screen->primaryHead : screen->heads;
  if (!primary) return "No visuals left after adjusting - Maybe color tag not set to the screen with the least significant visual bits";
  xvisualFreeArray(screen->visuals, int(screen->visualCount));
  screen->visuals = nullptr;
  screen->visualCount = 0;
  screen->rootVisual = nullptr;
  if (primary->visualCount > 0) {
    screen->visuals = xvisualCopyArray(primary->visuals, primary->visualCount);
    if (!screen->visuals) return OUT_OF_MEMORY_TEXT();
    screen->visualCount = uint32_t(primary->visualCount);
  }
  for (uint32_t i = 0; i < screen->visualCount; i++) screen->visuals[i].screen = uint8_t(screen->index);
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    for (uint32_t i = 0; i < screen->visualCount;) {
      VisualRecord *v = &screen->visuals[i];
      if (mainMatchVisual(v, h->visuals, h->visualCount, h, screen->visualCount, 1)) {
        i++;
        continue;
      }
      LOG(logChannelXhint, "No %s at %s", xvisualDescribe(v), xscreenHeadName(h));
      xvisualFreeContents(v);
      memmove(v, v + 1, sizeof(VisualRecord) * (screen->visualCount - i - 1));
      screen->visualCount--;
    }
  }
  if (screen->visualCount == 0)
    return "No visuals left after adjusting - Maybe color tag not set to the screen with the least significant visual bits";
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    free(h->visualMap);
    h->visualMap = nullptr;
    xproxyIndexHeadVisuals(h);
    h->visualMap = static_cast<VisualRecord **>(calloc(screen->visualCount, sizeof(VisualRecord *)));
    if (!h->visualMap) return OUT_OF_MEMORY_TEXT();
    for (uint32_t i = 0; i < screen->visualCount; i++) {
      VisualRecord wanted;
      memcpy(&wanted, &screen->visuals[i], sizeof wanted);  // matched without narrowing: a shallow copy
      VisualRecord *match = mainMatchVisual(&wanted, h->visuals, h->visualCount, h, screen->visualCount, 0);
      if (!match)
        return strTempPrintf(
            "Display %s has no visual %s - Make sure the common visuals are specified in your configuration",
            h->name, xvisualDescribe(&screen->visuals[i]));
      h->visualMap[i] = match;
      if (resourceVisualTracing()) LOG(logChannelVerbose, "visual #%u = %s", i, xvisualDescribe(match));
    }
    xproxyIndexHeadVisuals(h);
  }
  // The root visual: the lowest score, scanned from the last entry so that equals keep the later.
  uint32_t best = UINT32_MAX;
  for (uint32_t k = screen->visualCount; k-- > 0;) {
    uint32_t score = k == 0 ? 2 : 3;
    VisualRecord *own = primary->visualMap ? primary->visualMap[k] : nullptr;
    if (own && own->isDefault && !own->baseVisualId) {
      score = 0;
    } else {
      for (Head *h = screen->heads; h; h = h->next)
        if (h != primary && h->visualMap && h->visualMap[k] && h->visualMap[k]->isDefault &&
            !h->visualMap[k]->baseVisualId)
          score = 1;
    }
    if (score < best) {
      best = score;
      screen->rootVisual = &screen->visuals[k];
    }
  }
  if (!screen->rootVisual) return "No default visual found";
  // DOUBLE-BUFFER emulated by Multi-Buffering: a visual can be double-buffered where the primary
  // head's match takes two image buffers (a Multi-Buffering maximum of 0 means no limit).
  if (primary->serverDisplay && primary->serverDisplay->emulateDoubleBuffer)
    for (uint32_t k = 0; k < screen->visualCount; k++) {
      const VisualRecord *own = primary->visualMap ? primary->visualMap[k] : nullptr;
      bool capable = own && (own->mbufMono == 0 || own->mbufMono >= 2);
      screen->visuals[k].doubleBuffered = capable ? 1 : 0;
      screen->visuals[k].doubleBufferPerformance = capable ? 255 : 0;
    }
  return nullptr;
}

}  // namespace

uint32_t mainDisplayIdMask(uint32_t realMask, uint32_t headCount) {
  // One head number more than the heads take: the proxy's own ids on a client's raw
  // connections (its departure handle) use it, so that no client id can name them.
  uint32_t b = uint32_t(std::popcount(realMask)), h = bitsToNumber(headCount + 1);
  if (h >= b) return 0;
  return uint32_t((uint64_t(1) << (b - h)) - 1);
}

void mainSetIdLayout(ServerDisplay *display, uint32_t realMask, uint32_t proxyMask) {
  uint32_t b = uint32_t(std::popcount(realMask)), g = uint32_t(std::popcount(proxyMask));
  uint32_t lowest = realMask ? uint32_t(std::countr_zero(realMask)) : 0;
  uint32_t extra = b > g ? b - g : 0;
  display->lowestBit = lowest;
  display->headBitsMask = uint32_t(((uint64_t(1) << extra) - 1) << lowest);
  display->idShift = lowest + extra;
  display->freeBitsMask = (kLow29Bits & ~realMask) | display->headBitsMask;
}

VisualRecord *mainMatchVisual(VisualRecord *wanted, VisualRecord *table, int count, Head *, uint32_t, int narrow) {
  if (!wanted || !table) return nullptr;
  VisualRecord *winner = nullptr;
  uint64_t best = UINT64_MAX;
  for (int i = count; i-- > 0;) {
    VisualRecord *c = &table[i];
    if (c->depth != wanted->depth) continue;
    uint32_t distance = xvisualDistance(wanted, c, 0);
    if (distance >= 1000000) continue;
    uint64_t score = distance;
    if (!mainGlxDisabled) {
      uint32_t gl = glScore(wanted, c);
      if (gl == UINT32_MAX) continue;
      score += gl;
    }
    if (score < best) {
      best = score;
      winner = c;
      if (score == 0) break;
    }
  }
  if (winner && narrow) narrowTo(wanted, winner);
  return winner;
}

VisualRecord *mainHeadVisual(const VisualRecord *metaVisual, const Head *head) {
  if (!head || !head->display || !head->visualMap) return nullptr;
  int index = visualIndex(head->metaScreen, metaVisual);
  return index < 0 ? nullptr : head->visualMap[index];
}

const char *mainReplicateSharedColors(Head *head, ColormapShadow *shadow, Colormap colormap) {
  if (!shadow || !head->display) return nullptr;
  // The allocations are Xlib's round trips: asked only of a server that answered one in time.
  if (const char *failure = xproxySyncXlib(head->display, "the shared colours"))
    return strTempPrintf("Can't alloc shared colors on %s: %s", xscreenHeadName(head), failure);
  std::vector<XColor> readOnly;
  int failed = 0;
  for (uint32_t i = 0; i < shadow->cellCount; i++) {
    const ColormapCell &cell = shadow->cells[i];
    XColor colour{};
    colour.pixel = xproxyPixelToServer(cell.pixel, shadow->visual, head);
    xmainQueryCell(shadow, cell.pixel, &colour);
    colour.pixel = xproxyPixelToServer(cell.pixel, shadow->visual, head);
    colour.flags = DoRed | DoGreen | DoBlue;
    if (cell.readOnly) {
      readOnly.push_back(colour);
      continue;
    }
    unsigned long pixel = colour.pixel, mask = cell.planeMask;
    if (!miscAllocColorCells(head->display, colormap, &pixel, 1, mask ? &mask : nullptr, mask ? 1 : 0)) {
      failed++;
      continue;
    }
    XStoreColor(head->display, colormap, &colour);
  }
  if (!readOnly.empty() && !miscAllocPixels(head->display, colormap, readOnly.data(), int(readOnly.size())))
    failed += int(readOnly.size());
  if (failed) return strTempPrintf("Can't alloc %d shared colors on %s", failed, xscreenHeadName(head));
  return nullptr;
}

const char *mainShareDefaultColors(Head *head, ColormapShadow *shadow) {
  if (!xscreenNoClients()) return nullptr;
  return mainReplicateSharedColors(head, shadow, head->shadowColormap);
}

const char *mainHeadDefaultColormap(Head *head) {
  MetaScreen *screen = head->metaScreen;
  auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(screen->defaultColormap, kResourceColormap));
  if (!shadow) return "Xid of default colormap not found";
  if (!head->display) return nullptr;
  VisualRecord *match = mainHeadVisual(screen->rootVisual, head);
  const char *reason = nullptr;
  if (!match)
    reason = "sloppy visuals";
  else if (match->baseVisualId)
    reason = "emulation";
  else if (!match->isDefault)
    reason = "visual";
  else if (head->blackPixel != xproxyPixelToServer(screen->blackPixel, screen->rootVisual, head))
    reason = "black pixel";
  else if (head->whitePixel != xproxyPixelToServer(screen->whitePixel, screen->rootVisual, head))
    reason = "white pixel";
  else if (mainReplicateSharedColors(head, shadow, head->defaultColormap))
    reason = "alloc";
  if (!reason) {
    head->shadowColormap = head->defaultColormap;
    LOG(logChannelStep, "%s uses default colormap 0x%x ...", xscreenHeadName(head), unsigned(head->defaultColormap));
    return nullptr;
  }
  LOG(logChannelStep, "Creating default colormap on %s (%s)...", xscreenHeadName(head), reason);
  if (match && match->baseVisualId) {
    return mainCreateEmulatedColormap(head, match, shadow);
  }
  Visual *visual = match ? xvisualXlibVisual(match) : DefaultVisual(head->display, head->screen);
  head->shadowColormap = XCreateColormap(head->display, head->root, visual,
                                         screen->rootVisual->visualClass & 1 ? int(shadow->allocMode) : AllocNone);
  if (head != (screen->primaryHead ? screen->primaryHead : screen->heads))
    return mainShareDefaultColors(head, shadow);
  return mainReplicateSharedColors(head, shadow, head->shadowColormap);
}

const char *mainAdjustVisuals(int afterReset) {
  // 1. Every real display open.
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    int status = 0;
    if (const char *error = mainOpenServerDisplay(d, &status)) return error;
  }
  // 2. The id layout.
  logStep("Adjusting xid masks...");
  uint32_t proxyMask = 0xffffffffu;
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    proxyMask = std::min(proxyMask, mainDisplayIdMask(realIdMask(d), d->headCount));
  if (mainServerDisplays) {
    for (ServerDisplay *d = mainServerDisplays; d; d = d->next) mainSetIdLayout(d, realIdMask(d), proxyMask);
    proxyState.idMask = proxyMask;
    proxyState.idShift = uint32_t(std::popcount(proxyMask)) + (proxyMask ? uint32_t(std::countr_zero(proxyMask)) : 0);
  }
  if (afterReset && !resourceInitClient(0)) return OUT_OF_MEMORY_TEXT();
  // 3. Pixmap formats and the image format of the first real display.
  if (mainServerDisplays) {
    const XImage &image = mainServerDisplays->imageTemplate;
    proxyState.imageByteOrder = uint8_t(image.byte_order);
    proxyState.bitmapBitOrder = uint8_t(image.bitmap_bit_order);
    proxyState.bitmapUnit = uint8_t(image.bitmap_unit);
    proxyState.bitmapPad = uint8_t(image.bitmap_pad);
  }
  logStep("Adjusting pixmap formats...");
  if (mainServerDisplays && mainServerDisplays->display) {
    int n = 0;
    XPixmapFormatValues *formats = XListPixmapFormats(mainServerDisplays->display, &n);
    if (!formats) return strTempPrintf("XListPixmapFormats(%s) failed", mainServerDisplays->name);
    proxyState.pixmapFormatCount = uint8_t(std::min(n, 255));
    for (int i = 0; i < proxyState.pixmapFormatCount; i++)
      proxyState.pixmapFormats[i] = {uint8_t(formats[i].depth), uint8_t(formats[i].bits_per_pixel),
                                     uint8_t(formats[i].scanline_pad)};
    XFree(formats);
  }
  // 4. Visual tables of the heads.
  const char *error = nullptr;
  forEachHead([&](MetaScreen *, Head *h) {
    if (error || h->visuals || !h->display) return;
    logStep("Querying visuals of %s...", xscreenHeadName(h));
    error = xvisualBuildHeadVisuals(h->display, h->screen, &h->visuals, &h->visualCount);
  });
  if (error) return error;
  // 5. Each meta screen's visuals.
  logStep("Adjusting visuals...");
  for (MetaScreen *s = xscreenList; s; s = s->next)
    if ((error = adjustMetaVisuals(s))) return error;
  // 6. The visual trace.
  if (resourceVisualTracing()) {
    for (MetaScreen *s = xscreenList; s; s = s->next)
      for (uint32_t i = 0; i < s->visualCount; i++) {
        LOG(logChannelVerbose, "%s%s", xvisualDescribe(&s->visuals[i]), &s->visuals[i] == s->rootVisual ? " [default]" : "");
        for (Head *h = s->heads; h; h = h->next)
          if (h->visualMap && h->visualMap[i])
            LOG(logChannelVerbose, "  %s@%s", xvisualDescribe(h->visualMap[i]), xscreenHeadName(h));
      }
  }
  // 7. Colours.
  for (MetaScreen *s = xscreenList; s; s = s->next) xscreenAdjustColors(s);
  // 8. Keycodes of the first real display.
  if (mainServerDisplays && mainServerDisplays->display) {
    int low = 8, high = 255;
    XDisplayKeycodes(mainServerDisplays->display, &low, &high);
    proxyState.minKeycode = uint8_t(low);
    proxyState.maxKeycode = uint8_t(std::min<uint32_t>(255, uint32_t(low) + proxyState.keycodeLimit - 1));
  }
  // 9. After a reset the heads take their real roots again and new client-side root ids;
  // the proxy's focus starts again as an X server's does.
  if (afterReset) {
    proxyState.focusWindow = 1;  // PointerRoot
    proxyState.focusRevertTo = 0;
    forEachHead([&](MetaScreen *, Head *h) {
      if (error || !h->display) return;
      h->root = RootWindow(h->display, h->screen);
      h->defaultColormap = DefaultColormap(h->display, h->screen);
      h->clientRoot = ++proxyXidCounter;
      if (!resourceAddHeadRoot(h)) error = OUT_OF_MEMORY_TEXT();
    });
    if (error) return error;
  }
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    // 10. Visual ids.
    for (uint32_t i = 0; i < s->visualCount; i++) {
      s->visuals[i].visualId = ++proxyXidCounter;
      if (!resourceAdd(s->visuals[i].visualId, kResourceVisual, s)) return OUT_OF_MEMORY_TEXT();
    }
    s->visualIdsContiguous = xvisualIdsContiguous(s->visuals, int(s->visualCount));
    // 11. The default colormap's id and shadow.
    s->defaultColormap = ++proxyXidCounter;
    if (!resourceCreateColormap(nullptr, s->defaultColormap, s, s->rootVisual, 0)) return OUT_OF_MEMORY_TEXT();
    // 12. Backing store and save-unders.
    s->backingStore = 2;
    s->saveUnders = 1;
    for (Head *h = s->heads; h; h = h->next) {
      if (!h->display) continue;
      Screen *real = ScreenOfDisplay(h->display, h->screen);
      int backing = DoesBackingStore(real);
      if (backing == NotUseful) s->backingStore = 0;
      else if (backing == WhenMapped && s->backingStore == 2) s->backingStore = 1;
      if (!DoesSaveUnders(real)) s->saveUnders = 0;
    }
    // 13. Each head's root visual on its real screen.
    for (Head *h = s->heads; h; h = h->next) {
      VisualRecord *match = mainHeadVisual(s->rootVisual, h);
      if (!match) continue;
      if (match->baseVisualId) {
        h->rootVisualId = match->baseVisualId;
        h->rootDepth = match->baseDepth;
      } else {
        h->rootVisualId = match->visualId;
        h->rootDepth = match->depth;
      }
    }
  }
  // 14. Default colormaps, primary head first.
  logStep("Adjusting default colormaps...");
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    Head *primary = s->primaryHead ? s->primaryHead : s->heads;
    if (primary && (error = mainHeadDefaultColormap(primary))) return error;
    for (Head *h = s->heads; h; h = h->next)
      if (h != primary && (error = mainHeadDefaultColormap(h))) return error;
  }
  return nullptr;
}

namespace {

// A bitmap scaled by the zoom factors (rows of two bytes, least significant bit leftmost).
std::vector<unsigned char> zoomBitmap(const unsigned char *bits, int width, int height, int zoomedWidth,
                                      int zoomedHeight) {
  int stride = (zoomedWidth + 7) / 8;
  std::vector<unsigned char> out(size_t(stride) * zoomedHeight, 0);
  for (int y = 0; y < zoomedHeight; y++)
    for (int x = 0; x < zoomedWidth; x++) {
      int sx = int(int64_t(x) * width / zoomedWidth), sy = int(int64_t(y) * height / zoomedHeight);
      if (bits[sy * ((width + 7) / 8) + sx / 8] & (1 << (sx % 8))) out[size_t(y) * stride + x / 8] |= 1 << (x % 8);
    }
  return out;
}

int zoomed(int size, double zoom) {
  double v = std::floor(size * zoom);
  return v < 1 ? 1 : v > 4096 ? 4096 : int(v);
}

Cursor makeProxyCursor(Head *h) {
  Display *d = h->display;
  int width = kCursorSize, height = kCursorSize, hotX = kCursorHotX, hotY = kCursorHotY;
  std::vector<unsigned char> source(kCursorSource, kCursorSource + 32), mask(kCursorMask, kCursorMask + 32);
  if (h->zoomX != 1.0 || h->zoomY != 1.0) {
    // At least 1 x 1 with the hot spot inside: XCreatePixmapCursor refuses anything else.
    width = zoomed(kCursorSize, h->zoomX > 0 ? h->zoomX : 1.0);
    height = zoomed(kCursorSize, h->zoomY > 0 ? h->zoomY : 1.0);
    hotX = std::min(width - 1, int(kCursorHotX * double(width) / kCursorSize));
    hotY = std::min(height - 1, int(kCursorHotY * double(height) / kCursorSize));
    source = zoomBitmap(kCursorSource, kCursorSize, kCursorSize, width, height);
    mask = zoomBitmap(kCursorMask, kCursorSize, kCursorSize, width, height);
  }
  Pixmap sourcePixmap = XCreateBitmapFromData(d, h->root, reinterpret_cast<char *>(source.data()), width, height);
  Pixmap maskPixmap = XCreateBitmapFromData(d, h->root, reinterpret_cast<char *>(mask.data()), width, height);
  XColor black{}, white{};
  white.red = white.green = white.blue = 0xffff;
  Cursor cursor = XCreatePixmapCursor(d, sourcePixmap, maskPixmap, &black, &white, unsigned(hotX), unsigned(hotY));
  XFreePixmap(d, sourcePixmap);
  XFreePixmap(d, maskPixmap);
  return cursor;
}

// The reply to an xcb request on the display's connection (beside Xlib's), waited for at most
// the sync limit; NULL without it (no answer in time is logged with what was asked).
template <typename Reply>
std::unique_ptr<Reply, decltype(&free)> boundedReply(Display *d, unsigned sequence, const char *what) {
  void *answer = nullptr;
  if (const char *failure = xtargetWaitReply(d, sequence, xproxySyncWaitLimitMs, &answer, nullptr))
    LOG(logChannelProblem, "No answer from %s to %s: %s", DisplayString(d), what, failure);
  return {static_cast<Reply *>(answer), free};
}

void copyRootProperties(Head *h) {
  xcb_connection_t *c = XGetXCBConnection(h->display);
  auto names = boundedReply<xcb_list_properties_reply_t>(
      h->display, xcb_list_properties(c, uint32_t(h->root)).sequence, "the root's property list");
  if (!names) return;
  const xcb_atom_t *atoms = xcb_list_properties_atoms(names.get());
  for (int i = 0; i < xcb_list_properties_atoms_length(names.get()); i++) {
    auto property = boundedReply<xcb_get_property_reply_t>(
        h->display, xcb_get_property(c, 0, uint32_t(h->root), atoms[i], XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1000000).sequence,
        "a root property");
    if (!property) {
      if (xcb_connection_has_error(c)) return;
      continue;
    }
    if (property->type == XCB_NONE) continue;
    int format = property->format;
    if (format != 8 && format != 16 && format != 32) continue;
    int items = xcb_get_property_value_length(property.get()) / (format / 8);
    const void *value = xcb_get_property_value(property.get());
    // Xlib takes 16- and 32-bit items as shorts and longs.
    std::vector<long> longs;
    std::vector<short> shorts;
    const unsigned char *data = static_cast<const unsigned char *>(value);
    if (format == 32) {
      longs.resize(size_t(items));
      for (int k = 0; k < items; k++) longs[size_t(k)] = long(static_cast<const uint32_t *>(value)[k]);
      data = reinterpret_cast<const unsigned char *>(longs.data());
    } else if (format == 16) {
      shorts.assign(static_cast<const short *>(value), static_cast<const short *>(value) + items);
      data = reinterpret_cast<const unsigned char *>(shorts.data());
    }
    XChangeProperty(h->display, h->innerWindow, atoms[i], property->type, format, PropModeReplace, data, items);
  }
}

}  // namespace

const char *mainCreateRootWindows(int check) {
  // ===== window tree (grabs) =====
  // New root windows: no grab of the old ones stays.
  windowUngrabPointer(kWindowPointer, nullptr, 0);
  windowUngrabKeyboard(kWindowKeyboard, nullptr, 0);
  windowClearPointerFreeze();
  windowClearKeyboardFreeze();
  // ===== end of window tree (grabs) =====
  // 1. Cursors and the outer window of each head.
  forEachHead([&](MetaScreen *, Head *h) {
    if (!h->display) return;
    Display *d = h->display;
    h->cursor = makeProxyCursor(h);
    h->invisibleCursor = xrcCreateInvisibleCursor(d);
    XSetWindowAttributes a{};
    a.background_pixel = h->blackPixel;
    a.colormap = h->shadowColormap ? h->shadowColormap : h->defaultColormap;
    a.cursor = h->invisibleCursor;
    Visual *visual = xvisualXlibVisualById(h->rootVisualId);
    int depth = h->rootDepth ? int(h->rootDepth) : CopyFromParent;
    if (!visual || !h->rootVisualId) visual = CopyFromParent;
    h->outerWindow = XCreateWindow(d, h->root, h->logical.x - int(h->border), h->logical.y - int(h->border),
                                   unsigned(std::max<int64_t>(1, h->logical.width + 2 * int64_t(h->border))),
                                   unsigned(std::max<int64_t>(1, h->logical.height + 2 * int64_t(h->border))), 0,
                                   depth, InputOutput, visual, CWBackPixel | CWColormap | CWCursor, &a);
    xvisualSetWindowName(d, h->outerWindow, "Wrong configuration! See the manual of %s.", mainProgramName);
  });
  // 2. The configured sizes.
  if (check) {
    for (MetaScreen *s = xscreenList; s; s = s->next) {
      MetaScreenChange change{};
      change.mask = 0x2 | 0x4;
      change.width = s->widthWord ? s->widthWord : int32_t(s->width);
      change.height = s->heightWord ? s->heightWord : int32_t(s->height);
      if (const char *error = xscreenApplyMetaChange(s, &change)) return error;
      windowKeepVisible(s);
    }
  }
  // 3. The pattern, the middle and the inner window.
  const char *error = nullptr;
  forEachHead([&](MetaScreen *s, Head *h) {
    if (error || !h->display) return;
    Display *d = h->display;
    Visual *visual = xvisualXlibVisualById(h->rootVisualId);
    int depth = h->rootDepth ? int(h->rootDepth) : DefaultDepth(d, h->screen);
    if (!visual || !h->rootVisualId) visual = CopyFromParent;
    Colormap colormap = h->shadowColormap ? h->shadowColormap : h->defaultColormap;
    uint32_t foreground = xproxyPixelToServer(s->whitePixel, s->rootVisual, h);
    uint32_t background = xproxyPixelToServer(s->blackPixel, s->rootVisual, h);
    h->backgroundPattern = XCreatePixmapFromBitmapData(d, h->root, const_cast<char *>(reinterpret_cast<const char *>(kPattern)),
                                                       4, 4, foreground, background, unsigned(depth));
    XSetWindowAttributes a{};
    a.background_pixel = h->blackPixel;
    a.event_mask = LeaveWindowMask;
    a.colormap = colormap;
    a.cursor = h->invisibleCursor;
    h->middleWindow = XCreateWindow(d, h->outerWindow, int(h->border), int(h->border),
                                    unsigned(std::max<int64_t>(1, h->logical.width)),
                                    unsigned(std::max<int64_t>(1, h->logical.height)), 0, depth, InputOutput, visual,
                                    CWBackPixel | CWEventMask | CWColormap | CWCursor, &a);
    XSetWindowAttributes b{};
    b.background_pixmap = h->backgroundPattern;
    b.win_gravity = NorthWestGravity;
    b.colormap = colormap;
    b.cursor = h->cursor;
    h->innerWindow = XCreateWindow(d, h->middleWindow, -h->rect.x, -h->rect.y, std::max(1u, s->width),
                                   std::max(1u, s->height), 0, depth, InputOutput, visual,
                                   CWBackPixmap | CWWinGravity | CWColormap | CWCursor, &b);
    h->rootWindow = h->innerWindow;
    copyRootProperties(h);
    XMapWindow(d, h->innerWindow);
    XMapRaised(d, h->middleWindow);
    XMapWindow(d, h->outerWindow);
    logStep("Installing default colormap 0x%x on %s...", unsigned(colormap), xscreenHeadName(h));
    XInstallColormap(d, colormap);
    xcb_connection_t *c = XGetXCBConnection(d);
    void *attributes = nullptr;
    xcb_generic_error_t *failure = nullptr;
    const char *late = xtargetWaitReply(d, xcb_get_window_attributes(c, uint32_t(h->innerWindow)).sequence,
                                        xproxySyncWaitLimitMs, &attributes, &failure);
    free(failure);
    if (late)
      error = strTempPrintf("Can't create root window on '%s' - The X server did not answer: %s", xscreenHeadName(h),
                            late);
    else if (!attributes)
      error = strTempPrintf("Can't create root window on '%s' - Make sure the cursor font is available in the font path",
                            xscreenHeadName(h));
    free(attributes);
  });
  if (error) return error;
  // 4. The server time: a property change on the first head's outer window reports it.
  if (Head *first = xscreenList ? xscreenList->heads : nullptr; first && first->display) {
    // The atom is asked only of a server that answered a round trip in time, the event waited
    // for at most the sync limit; without them the server time stays as it was.
    Display *d = first->display;
    if (!xproxySyncXlib(d, "the server time")) {
      XSelectInput(d, first->outerWindow, PropertyChangeMask);
      Atom atom = XInternAtom(d, "_TARVO_TIME", False);
      XChangeProperty(d, first->outerWindow, atom, XA_STRING, 8, PropModeAppend, nullptr, 0);
      XEvent event;
      if (!xproxySyncXlib(d, "the server time") &&
          XCheckWindowEvent(d, first->outerWindow, PropertyChangeMask, &event) && event.type == PropertyNotify)
        proxyState.serverTime = uint32_t(event.xproperty.time);
      XSelectInput(d, first->outerWindow, NoEventMask);
    }
  }
  // 5. The meta screens' roots in the proxy's window tree; 6. their visual properties.
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    if (!windowCreateRoot(++proxyXidCounter, s)) return OUT_OF_MEMORY_TEXT();
  }
  proxyState.pointerHead = xscreenList ? xscreenList->heads : nullptr;
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next)
      if (h->display && (error = xvisualSetProperties(h->display, h->innerWindow, s->visuals, int(s->visualCount))))
        return error;
  // 7. The real pointer decides the pointer head (no grab can exist yet).
  bool pointerFound = false;
  if (mainServerDisplays && mainServerDisplays->display) {
    Display *d = mainServerDisplays->display;
    auto pointer = boundedReply<xcb_query_pointer_reply_t>(
        d, xcb_query_pointer(XGetXCBConnection(d), uint32_t(DefaultRootWindow(d))).sequence, "the pointer query");
    if (pointer && pointer->same_screen) {
      Window root = pointer->root;
      int rootX = pointer->root_x, rootY = pointer->root_y;
      forEachHead([&](MetaScreen *, Head *h) {
        if (pointerFound || h->serverDisplay != mainServerDisplays || h->root != root) return;
        if (rootX >= h->logical.x && rootY >= h->logical.y && rootX < h->logical.x + int64_t(h->logical.width) &&
            rootY < h->logical.y + int64_t(h->logical.height)) {
          pointerFound = true;
          proxyState.pointerHead = h;
          proxyState.pointerX = int32_t(rootX - h->logical.x + h->rect.x);
          proxyState.pointerY = int32_t(rootY - h->logical.y + h->rect.y);
        }
      });
    }
  }
  // 8. Centres; the pointer goes to the first one when no head holds it.
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    Head *h = s->heads;
    if (!h || !h->display) continue;
    int cx = int(h->logical.x + int64_t(h->visible.width ? h->visible.width : h->logical.width) / 2);
    int cy = int(h->logical.y + int64_t(h->visible.height ? h->visible.height : h->logical.height) / 2);
    if (!pointerFound) {
      XWarpPointer(h->display, None, h->root, 0, 0, 0, 0, cx, cy);
      proxyState.pointerHead = h;
      proxyState.pointerX = cx - h->logical.x + h->rect.x;
      proxyState.pointerY = cy - h->logical.y + h->rect.y;
      pointerFound = true;
    }
    if (cx >= 1 && cy >= 1) xdisplaySetCenterHint(h->display, h->root, cx, cy);
  }
  // 9. The focus of every head, the flush and the display name.
  forEachHead([&](MetaScreen *, Head *h) {
    if (!h->display) return;
    Window focus = proxyState.focusWindow == 1 ? PointerRoot
                   : proxyState.focusWindow == 0 ? None
                                                 : resourceServerId(proxyState.focusWindow, kResourceWindow, h);
    XSetInputFocus(h->display, focus, proxyState.focusRevertTo, CurrentTime);
  });
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    if (d->display) XFlush(d->display);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  snprintf(proxyState.displayName, sizeof proxyState.displayName, "%s:%u", host, unsigned(xproxyDisplayNumber()));
  return nullptr;
}
// ===== end of visuals, id layout, default colormaps and root windows =====

// ===== Visuals, id layout, default colormaps and root windows (helpers) =====
uint32_t mainRealIdMask(Display *display) { return display ? uint32_t(display->resource_mask) : 0; }

const char *mainCreateEmulatedColormap(Head *head, VisualRecord *visual, ColormapShadow *shadow) {
  if (!shadow->emulated) {
    shadow->emulated = static_cast<EmulatedColormap *>(calloc(1, sizeof(EmulatedColormap)));
    if (!shadow->emulated) return OUT_OF_MEMORY_TEXT();
  }
  if (const char *error = xemulationCreateColormap(head->display, head->root, visual, shadow->emulated)) return error;
  head->shadowColormap = shadow->emulated->realColormap;
  return nullptr;
}
// ===== end of visuals, id layout, default colormaps and root windows (helpers) =====
