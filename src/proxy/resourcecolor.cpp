// Colormap shadows: the cells each client holds, the colours of dynamic visuals, and the
// repetition of every allocation, store and free on the meta screen's other heads.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xcolor.h"
#include "xclient/xtarget.h"

// Of proxy/xemulation.h, whose emulation bits korvanparser.h declares too.
void xemulationFreeClientCells(EmulatedColormap *colormap);

namespace {

// Every colormap shadow with a record (resourceCreateColormap lists it, resourceFreeColormapShadow
// takes it off): a client's close releases its cells in these, not in every record of every
// client.
std::vector<ColormapShadow *> liveColormaps;

bool dynamicClass(const VisualRecord *v) { return v && (v->visualClass & 1); }

Head *primaryOf(const MetaScreen *ms) { return ms->primaryHead ? ms->primaryHead : ms->heads; }

// The heads that repeat the primary head's colour work through the proxy's connection.
std::vector<Head *> otherHeads(const ColormapShadow *shadow) {
  std::vector<Head *> heads;
  if (!shadow->screen) return heads;
  Head *primary = primaryOf(shadow->screen);
  for (Head *h = shadow->screen->heads; h; h = h->next)
    if (h != primary && h->display) heads.push_back(h);
  return heads;
}

bool headEmulates(const Head *head, const VisualRecord *visual) {
  VisualRecord *hv = xproxyHeadVisual(head, visual);
  return hv && hv->baseVisualId;
}

// Heads whose real colormap cells follow the shadow's: dynamic visual there, not emulated.
bool replicatesCells(const Head *head, const VisualRecord *visual) {
  VisualRecord *hv = xproxyHeadVisual(head, visual);
  return hv && !hv->baseVisualId && dynamicClass(hv);
}

// A client adds one entry per cell it is given, and a colour allocated again is held again:
// the array grows by half again when full, so that filling it copies each entry a bounded
// number of times.
int appendCell(ColormapShadow *shadow, ClientConnection *client, uint32_t pixel, uint32_t planeMask,
               uint32_t readOnly) {
  if (shadow->cellCount == shadow->cellCapacity) {
    uint64_t capacity = uint64_t(shadow->cellCapacity) + shadow->cellCapacity / 2;
    if (capacity < 16) capacity = 16;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    auto *grown = capacity > shadow->cellCount
                      ? static_cast<ColormapCell *>(realloc(shadow->cells, sizeof(ColormapCell) * size_t(capacity)))
                      : nullptr;
    if (!grown) {
      LOG_OUT_OF_MEMORY();
      return 0;
    }
    shadow->cells = grown;
    shadow->cellCapacity = uint32_t(capacity);
  }
  shadow->cells[shadow->cellCount++] = ColormapCell{client, pixel, planeMask, readOnly};
  return 1;
}

// Releases entry k on the other heads and removes it.
void releaseEntry(ColormapShadow *shadow, uint32_t k) {
  ColormapCell cell = shadow->cells[k];
  if (shadow->allocMode != 1) {
    for (Head *h : otherHeads(shadow)) {
      if (!replicatesCells(h, shadow->visual)) continue;
      unsigned long pixel = xproxyPixelToServer(cell.pixel, shadow->visual, h);
      unsigned long planes = cell.readOnly ? 0 : xproxyPixelToServer2(cell.planeMask, shadow->visual, h);
      XtargetErrorTrap trap(h->display);
      XFreeColors(h->display, resourceServerId(shadow->id, kResourceColormap, h), &pixel, 1, planes);
      xproxySyncXlib(h->display, "FreeColors on another head");
    }
  }
  memmove(shadow->cells + k, shadow->cells + k + 1, sizeof(ColormapCell) * (shadow->cellCount - k - 1));
  shadow->cellCount--;
}

// A pixel inside a read-write entry: its bits outside the entry's planes are the entry's pixel.
bool inReadWriteEntry(const ColormapShadow *shadow, uint32_t pixel) {
  for (uint32_t k = 0; k < shadow->cellCount; k++) {
    const ColormapCell &c = shadow->cells[k];
    if (!c.readOnly && (pixel & ~c.planeMask) == (c.pixel & ~c.planeMask)) return true;
  }
  return false;
}

uint32_t maskOfMasks(const uint32_t *masks, uint32_t m) {
  uint32_t all = 0;
  for (uint32_t i = 0; i < m; i++) all |= masks[i];
  return all;
}

}  // namespace

int resourceVisualTracing() { return (configRecord.logTypes & kLogTypeVisuals) != 0; }

uint32_t resourceCellIndex(const ColormapShadow *shadow, uint32_t pixel, int channel) {
  uint32_t size = shadow ? shadow->size : 0;
  if (size == 0) return 0;
  uint32_t index = pixel;
  const VisualRecord *v = shadow->visual;
  if (v && v->visualClass == DirectColor) {
    uint32_t mask = channel == 0 ? v->redMask : channel == 1 ? v->greenMask : v->blueMask;
    uint32_t shift = channel == 0 ? v->redShift : channel == 1 ? v->greenShift : v->blueShift;
    index = shift < 32 ? (pixel & mask) >> shift : 0;
  }
  return index % size;
}

ColormapShadow *resourceCreateColormap(ClientConnection *client, uint32_t id, MetaScreen *screen, VisualRecord *visual,
                                       uint32_t alloc) {
  auto *shadow = static_cast<ColormapShadow *>(calloc(1, sizeof(ColormapShadow)));
  if (!shadow) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  shadow->id = id;
  shadow->allocMode = alloc;
  shadow->screen = screen;
  shadow->visual = visual;
  shadow->size = visual ? visual->colormapEntries : 0;
  if (dynamicClass(visual) && shadow->size) {
    shadow->red = static_cast<uint16_t *>(calloc(shadow->size, sizeof(uint16_t)));
    shadow->green = static_cast<uint16_t *>(calloc(shadow->size, sizeof(uint16_t)));
    shadow->blue = static_cast<uint16_t *>(calloc(shadow->size, sizeof(uint16_t)));
    if (!shadow->red || !shadow->green || !shadow->blue) {
      LOG_OUT_OF_MEMORY();
      resourceFreeColormapShadow(shadow);
      return nullptr;
    }
    if (alloc == 1) {
      uint32_t mask = visual->visualClass == DirectColor ? visual->redMask | visual->greenMask | visual->blueMask
                                                           : shadow->size - 1;
      uint32_t pixel = 0;
      if (!resourceAddColorCells(client, shadow, &pixel, 1, &mask, 1)) {
        resourceFreeColormapShadow(shadow);
        return nullptr;
      }
    }
  }
  if (!resourceAdd(id, kResourceColormap, shadow)) return nullptr;
  liveColormaps.push_back(shadow);
  return shadow;
}

void resourceUnlistColormap(ColormapShadow *shadow) { std::erase(liveColormaps, shadow); }

int resourcePreallocColormap(ClientConnection *client, ColormapShadow *shadow, Head *head, VisualRecord *visual,
                             VisualRecord *headVisual) {
  (void)client;
  bool trace = resourceVisualTracing();
  auto failed = [&] {
    if (trace) LOG(logChannelInfo, "Can't alloc pixel");
    return 0;
  };
  if (headVisual && head && head->display &&
      (headVisual->visualClass == GrayScale || headVisual->visualClass == PseudoColor)) {
    int count = 0;
    XColor *colours = miscQueryAllocatedColors(head->display, resourceServerId(shadow->id, kResourceColormap, head),
                                               headVisual->colormapEntries, &count);
    for (int i = 0; i < count; i++) {
      if (headVisual->transparentType == 2) {
        if (colours[i].pixel == headVisual->transparentValue) continue;  // the visual's reserved pixel
      } else if (headVisual->transparentType != 0) {
        LOG_UNE();
      }
      uint32_t pixel = xproxyPixelFromServer(uint32_t(colours[i].pixel), visual, head);
      if (!appendCell(shadow, nullptr, pixel, 0, 1)) {
        free(colours);
        return failed();
      }
      xmainStoreCell(shadow, pixel, colours[i].red, colours[i].green, colours[i].blue, DoRed | DoGreen | DoBlue);
      if (trace)
        LOG(logChannelInfo, "Prealloced color %d (RGB 0x%x, 0x%x, 0x%x)", int(pixel), colours[i].red, colours[i].green,
            colours[i].blue);
    }
    free(colours);
    return 1;
  }
  if (dynamicClass(visual) && shadow->screen) {
    uint32_t black = shadow->screen->blackPixel, white = shadow->screen->whitePixel;
    if (!appendCell(shadow, nullptr, black, 0, 1) || !appendCell(shadow, nullptr, white, 0, 1)) return failed();
    xmainStoreCell(shadow, black, 0, 0, 0, DoRed | DoGreen | DoBlue);
    xmainStoreCell(shadow, white, 0xffff, 0xffff, 0xffff, DoRed | DoGreen | DoBlue);
  }
  return 1;
}

int resourceAddColor(ClientConnection *client, ColormapShadow *shadow, const ResourceColor *colour) {
  if (!appendCell(shadow, client, colour->pixel, 0, 1)) return 0;
  xmainStoreCell(shadow, colour->pixel, colour->red, colour->green, colour->blue, DoRed | DoGreen | DoBlue);
  if (!client) return 1;
  for (Head *h : otherHeads(shadow)) {
    if (!replicatesCells(h, shadow->visual)) continue;
    XColor c{xproxyPixelToServer(colour->pixel, shadow->visual, h), colour->red, colour->green, colour->blue,
             DoRed | DoGreen | DoBlue, 0};
    if (!miscAllocColorAtPixel(h->display, resourceServerId(shadow->id, kResourceColormap, h), &c, 1)) {
      LOG(logChannelWarning, "Can't alloc pixel %d on %s", int(colour->pixel), xscreenHeadName(h));
      return 0;
    }
  }
  return 1;
}

namespace {

// The cells (or planes) of new read-write entries on the other heads.
using CellAllocator = int (*)(Display *, Colormap, const unsigned long *, int, const uint32_t *, uint32_t,
                              const VisualRecord *, const Head *);

int addReadWrite(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                 uint32_t planes, const std::vector<uint32_t> &masks, bool planesForm) {
  for (uint32_t i = 0; i < n; i++)
    if (!appendCell(shadow, client, pixels[i], planes, 0)) return 0;
  if (shadow->allocMode == 1) return 1;  // every head's colormap holds every cell already
  for (Head *h : otherHeads(shadow)) {
    if (!replicatesCells(h, shadow->visual)) continue;
    Colormap cm = resourceServerId(shadow->id, kResourceColormap, h);
    std::vector<unsigned long> converted(n);
    for (uint32_t i = 0; i < n; i++) converted[i] = xproxyPixelToServer(pixels[i], shadow->visual, h);
    if (planesForm) {
      miscAllocColorPlanes(h->display, cm, xproxyPixelToServer2(masks[0], shadow->visual, h),
                           xproxyPixelToServer2(masks[1], shadow->visual, h),
                           xproxyPixelToServer2(masks[2], shadow->visual, h), converted.data(), int(n));
    } else {
      std::vector<unsigned long> convertedMasks(masks.size());
      for (size_t i = 0; i < masks.size(); i++)
        convertedMasks[i] = xproxyPixelToServer2(masks[i], shadow->visual, h);
      miscAllocColorCells(h->display, cm, converted.data(), int(n), convertedMasks.data(), int(masks.size()));
    }
  }
  return 1;
}

}  // namespace

int resourceAddColorCells(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                          const uint32_t *masks, uint32_t m) {
  return addReadWrite(client, shadow, pixels, n, maskOfMasks(masks, m), std::vector<uint32_t>(masks, masks + m),
                      false);
}

int resourceAddColorPlanes(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                           uint32_t redMask, uint32_t greenMask, uint32_t blueMask) {
  return addReadWrite(client, shadow, pixels, n, redMask | greenMask | blueMask, {redMask, greenMask, blueMask},
                      true);
}

void resourceStoreColors(ColormapShadow *shadow, const ResourceColor *items, uint32_t n) {
  // Only items naming read-write cells go on: the primary head refused the others, and on an
  // emulated or AllocAll head they would overwrite a shared read-only colour.
  std::vector<ResourceColor> accepted;
  for (uint32_t i = 0; i < n; i++)
    if (inReadWriteEntry(shadow, items[i].pixel)) {
      xmainStoreCell(shadow, items[i].pixel, items[i].red, items[i].green, items[i].blue, items[i].flags);
      accepted.push_back(items[i]);
    }
  if (!accepted.empty())
    for (Head *h : otherHeads(shadow)) {
      if (headEmulates(h, shadow->visual)) continue;
      std::vector<XColor> converted;
      for (const ResourceColor &c : accepted)
        converted.push_back(XColor{xproxyPixelToServer(c.pixel, shadow->visual, h), c.red, c.green, c.blue,
                                   char(c.flags & 7), 0});
      XStoreColors(h->display, resourceServerId(shadow->id, kResourceColormap, h), converted.data(),
                   int(converted.size()));
    }
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    if (d->display) XFlush(d->display);
}

void resourceStoreNamedColor(ColormapShadow *shadow, uint32_t pixel, uint8_t flags, const char *name,
                             uint32_t length) {
  ResourceColor item{pixel, 0, 0, 0, flags};
  if (!xcolorLookup(nullptr, name, length, &item.red, &item.green, &item.blue)) return;
  resourceStoreColors(shadow, &item, 1);
}

void resourceFreeColormapCells(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                               uint32_t planeMask) {
  if (!dynamicClass(shadow->visual)) return;
  // One entry per listed pixel: a colour allocated twice is held twice.
  for (uint32_t i = n; i-- > 0;) {
    for (uint32_t k = shadow->cellCount; k-- > 0;) {
      const ColormapCell &c = shadow->cells[k];
      if (c.client == client && c.pixel == pixels[i] && (c.readOnly || c.planeMask == planeMask)) {
        releaseEntry(shadow, k);
        break;
      }
    }
  }
}

int resourceMoveClientCells(ClientConnection *client, ColormapShadow *from, ColormapShadow *to) {
  if (!dynamicClass(from->visual) || !dynamicClass(to->visual)) return 1;
  for (uint32_t k = from->cellCount; k-- > 0;) {
    if (k >= from->cellCount) continue;
    ColormapCell cell = from->cells[k];
    if (cell.client != client) continue;
    if (cell.readOnly) {
      XColor c{};
      xmainQueryCell(from, cell.pixel, &c);
      ResourceColor colour{cell.pixel, c.red, c.green, c.blue, 7};
      if (!resourceAddColor(client, to, &colour)) return 0;
    } else {
      std::vector<uint32_t> masks;
      for (int b = 0; b < 32; b++)
        if (cell.planeMask & (1u << b)) masks.push_back(1u << b);
      if (!resourceAddColorCells(client, to, &cell.pixel, 1, masks.data(), uint32_t(masks.size()))) return 0;
      std::vector<ResourceColor> items;
      uint64_t combinations = masks.size() < 24 ? uint64_t{1} << masks.size() : 0;
      for (uint64_t subset = 0; subset < combinations; subset++) {
        uint32_t p = cell.pixel;
        for (size_t i = 0; i < masks.size(); i++)
          if (subset & (uint64_t{1} << i)) p |= masks[i];
        XColor c{};
        xmainQueryCell(from, p, &c);
        items.push_back(ResourceColor{p, c.red, c.green, c.blue, 7});
      }
      resourceStoreColors(to, items.data(), uint32_t(items.size()));
    }
    releaseEntry(from, k);
  }
  return 1;
}

void resourceFreeClientCells(ClientConnection *client) {
  if (!client) return;
  // Every colormap but the client's own (they went with its records); a copy of the list, as a
  // release may free colormaps.
  std::vector<ColormapShadow *> colormaps = liveColormaps;
  for (ColormapShadow *shadow : colormaps) {
    if (std::find(liveColormaps.begin(), liveColormaps.end(), shadow) == liveColormaps.end() ||
        resourceSlotOf(shadow->id) == client->index)
      continue;
    for (uint32_t k = shadow->cellCount; k-- > 0;)
      if (k < shadow->cellCount && shadow->cells[k].client == client) releaseEntry(shadow, k);
    // The emulated colormap knows its owners by the current client's index.
    if (shadow->emulated) {
      CurrentScope owner(client);
      xemulationFreeClientCells(shadow->emulated);
    }
  }
}
