// Font, pixmap and graphics-context requests (opcodes 45 to 60). Pixmaps and GCs exist once
// per head of their meta screen with pixel values and depths translated for each head's
// visual; fonts once per font head. The proxy keeps every GC value in its own GC record,
// because later requests need them on each head.
#include <cstdlib>
#include <cstring>
#include <utility>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/wirewords.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadPixmap = 4, kBadFont = 7, kBadDrawable = 9, kBadAlloc = 11, kBadGC = 13;
constexpr uint32_t kGCTileBit = 1u << kGCTile, kGCStippleBit = 1u << kGCStipple, kGCFontBit = 1u << kGCFont,
                   kGCClipMaskBit = 1u << kGCClipMask;
constexpr uint32_t kWantBuffers = 1u << kResourceDbeBuffer | 1u << kResourceMbufBuffer;

uint32_t pad4(uint64_t n) { return uint32_t((n + 3) & ~uint64_t(3)); }


// A request with a counted list after its fixed part: at least `fixed` bytes, and exactly the
// fixed part plus the list rounded up to 4 (the count read only once the fixed part is there).
bool exactListLength(uint8_t *request, uint32_t length, const XcoreRequestShape &shape, uint32_t countOffset,
                     uint32_t unit) {
  if (!xcoreFrameEnter(request, length, shape)) return false;
  uint64_t count = wireGet16(request + countOffset);
  if (uint64_t(length) == shape.fixedLength + pad4(count * unit)) return true;
  xprotoSendError(16, length, request, length, nullptr);
  return false;
}

// What a drawable gives a pixmap or GC made from it: meta screen, visual and depth.
struct DrawableInfo {
  MetaScreen *screen;
  VisualRecord *visual;
  uint32_t depth;
};
DrawableInfo drawableInfo() {
  ClientConnection *client = xproxyCurrentClient;
  DrawableInfo info{client->cachedScreen, nullptr, 0};
  void *value = client->cachedRecord;
  switch (client->cachedType) {
    case kResourceWindow: {
      auto *window = static_cast<WindowRecord *>(value);
      info.visual = window->visual;
      info.depth = window->depth ? window->depth : window->visual ? window->visual->depth : 0;
      if (window->screen) info.screen = window->screen;
      break;
    }
    case kResourceHeadRoot: {
      Head *head = static_cast<Head *>(value);
      info.screen = head->metaScreen;
      info.visual = info.screen ? info.screen->rootVisual : nullptr;
      info.depth = info.visual ? info.visual->depth : head->depth;
      break;
    }
    case kResourcePixmap: {
      auto *pixmap = static_cast<PixmapRecord *>(value);
      info.visual = pixmap->visual;
      info.depth = pixmap->depth;
      if (pixmap->screen) info.screen = pixmap->screen;
      break;
    }
    default: {
      const ResourceTypeRoutines &r = resourceTypeRoutines[client->cachedType];
      if (r.visualOf) info.visual = r.visualOf(value);
      if (r.metaScreenOf && r.metaScreenOf(value)) info.screen = r.metaScreenOf(value);
      info.depth = info.visual ? info.visual->depth : 0;
      break;
    }
  }
  return info;
}

bool depthIsAFormat(uint32_t depth) {
  for (uint32_t i = 0; i < proxyState.pixmapFormatCount; i++)
    if (proxyState.pixmapFormats[i].depth == depth) return true;
  return false;
}

// A pixmap of the GC's meta screen with the wanted depth, or NULL.
PixmapRecord *gcPixmap(const GCRecord *gc, uint32_t id, uint32_t depth) {
  PixmapRecord *pixmap = resourceLookupPixmap(id);
  return pixmap && pixmap->screen == gc->screen && pixmap->depth == depth ? pixmap : nullptr;
}

// Replaces a pixmap reference: the new one is taken before the old one is dropped, so that
// giving a GC the pixmap it already holds never frees it.
void replacePixmap(PixmapRecord *&slot, PixmapRecord *next, uint32_t gcId, const char *shareFailure = nullptr) {
  if (next) resourceSharePixmap(next, gcId, shareFailure);
  if (slot) resourceFreePixmap(slot, 0);
  slot = next;
}

void replaceFont(FontRecord *&slot, FontRecord *next) {
  if (next) resourceRef(next);
  if (slot) resourceReleaseFont(slot, 0);
  slot = next;
}

const char *clientName() { return xscreenClientName(xproxyCurrentClient); }

// ----- GC values on a head -----------------------------------------------------------------

// The client's values of the mask, by bit (the list holds one word per set bit, in bit order).
void spreadValues(uint32_t mask, const uint8_t *list, uint32_t *byBit) {
  for (uint32_t bit = 0, n = 0; bit < kGCValueCount; bit++)
    if (mask & (1u << bit)) byBit[bit] = wireGet32(list + 4 * n++);
}

// The values as a head takes them, in Xlib's record for the encoders; the mask may grow by
// a foreground or background that the head needs (CreateGC only).
struct HeadValues {
  const GCRecord *gc;
  uint32_t mask;
  uint32_t byBit[kGCValueCount];
  bool addDefaults;
};
uint32_t headValues(const HeadValues &in, Head *head, XGCValues *out) {
  const VisualRecord *visual = in.gc->visual;
  uint32_t mask = in.mask & kGCValueMaskAll;
  const uint32_t *v = in.byBit;
  memset(out, 0, sizeof *out);
  out->function = int(v[kGCFunction]);
  out->plane_mask = xproxyPixelToServer2(v[kGCPlaneMask], visual, head);
  out->foreground = xproxyPixelToServer(v[kGCForeground], visual, head);
  out->background = xproxyPixelToServer(v[kGCBackground], visual, head);
  if (in.addDefaults) {
    // The record's defaults (foreground 0, background 1) go along where the head's pixel for
    // them differs, so that the head draws with the colour the client expects.
    if (!(mask & (1u << kGCForeground)) && (out->foreground = xproxyPixelToServer(0, visual, head)) != 0)
      mask |= 1u << kGCForeground;
    if (!(mask & (1u << kGCBackground)) && (out->background = xproxyPixelToServer(1, visual, head)) != 1)
      mask |= 1u << kGCBackground;
  }
  out->line_width = int(v[kGCLineWidth] & 0xffff);
  out->line_style = int(v[kGCLineStyle]);
  out->cap_style = int(v[kGCCapStyle]);
  out->join_style = int(v[kGCJoinStyle]);
  out->fill_style = int(v[kGCFillStyle]);
  out->fill_rule = int(v[kGCFillRule]);
  out->tile = resourceServerId(v[kGCTile], kResourcePixmap, head);
  out->stipple = resourceServerId(v[kGCStipple], kResourcePixmap, head);
  out->ts_x_origin = int(v[kGCTileStippleX]);
  out->ts_y_origin = int(v[kGCTileStippleY]);
  out->font = resourceServerId(v[kGCFont], kResourceFont, head);
  out->subwindow_mode = int(v[kGCSubwindowMode]);
  out->graphics_exposures = int(v[kGCGraphicsExposures]);
  out->clip_x_origin = int(v[kGCClipX]);
  out->clip_y_origin = int(v[kGCClipY]);
  out->clip_mask = resourceServerId(v[kGCClipMask], kResourcePixmap, head);
  out->dash_offset = int(v[kGCDashOffset]);
  out->dashes = char(v[kGCDashes] & 0xff);
  out->arc_mode = int(v[kGCArcMode]);
  return mask;
}

struct CreateGCArgument {
  HeadValues values;
  uint32_t gc, drawable;
};
int createGCCopy(Head *head, DisplayConnection *connection, const uint8_t *, uint32_t, void *argument) {
  auto *a = static_cast<CreateGCArgument *>(argument);
  XGCValues values;
  uint32_t mask = headValues(a->values, head, &values);
  return xprotoEncodeCreateGC(&connection->reader.sink, resourceServerId(a->gc, kResourceScreenResource, head),
                              xproxyServerDrawable(a->drawable, head), mask, &values);
}

int changeGCCopy(Head *head, DisplayConnection *connection, const uint8_t *, uint32_t, void *argument) {
  auto *a = static_cast<CreateGCArgument *>(argument);
  XGCValues values;
  uint32_t mask = headValues(a->values, head, &values);
  uint32_t before = connection->requestsSent;
  core11GChangeGC(connection, resourceServerId(a->gc, kResourceGC, head), mask, &values);
  return connection->requestsSent != before;
}

const XcoreIdField kGCAt4[] = {{4, kResourceGC}, {0, 0}};

// The screen the copies of a request about an id go to: the id's own, or the first.
void cacheScreenOf(uint32_t id) { resourceCacheDrawable(xproxyCurrentClient, id); }

// The forwarded copy of a request about a font or GC id, patched for the first head of the
// first meta screen (as a font with its font head when it names one, else as a GC).
void forwardFontQuery(uint8_t *request, uint32_t length) {
  uint32_t id = wireGet32(request + 4);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) return;
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  uint32_t kind = resourceLookupFont(id) ? kResourceFont : kResourceGC;
  wirePut32(copy + 4, resourceServerId(id, kind, head));
}

// Whether a value list names, as tile, stipple or clip mask, a pixmap that the GC would be
// the first user of another client of (the proxy then copies it: proxy/resource.h).
bool valuesShareAPixmap(uint32_t mask, const uint8_t *list, uint32_t gcId) {
  if (!xproxyCurrentClient || mask > kGCValueMaskAll) return false;
  for (uint32_t bit = 0, n = 0; bit < kGCValueCount; bit++) {
    if (!(mask & (1u << bit))) continue;
    uint32_t value = wireGet32(list + 4 * n++);
    if (bit != kGCTile && bit != kGCStipple && bit != kGCClipMask) continue;
    const PixmapRecord *pixmap = resourceLookupPixmap(value);
    if (pixmap && resourceShareMakesCopies(pixmap, gcId)) return true;
  }
  return false;
}

// CreateGC once the client's earlier requests have reached the servers (or at once when no
// pixmap is shared); everything is looked up again, another client may have freed it meanwhile.
void createGC(uint8_t *request, uint32_t length, const char *shareFailure) {
  uint32_t id = wireGet32(request + 4), drawable = wireGet32(request + 8), mask = wireGet32(request + 12);
  if (!xcoreFrameNewId(id, request, length)) return;
  if (mask > kGCValueMaskAll) return xprotoSendError(kBadValue, mask, request, length, nullptr);
  auto *gc = static_cast<GCRecord *>(calloc(1, sizeof(GCRecord)));
  if (!gc) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) {
    free(gc);
    return;
  }
  DrawableInfo info = drawableInfo();
  gc->id = id;
  gc->depth = uint8_t(info.depth);
  gc->screen = info.screen;
  gc->visual = info.visual;
  gc->values[kGCFunction] = 3;  // GXcopy
  gc->values[kGCPlaneMask] = 0xffffffffu;
  gc->values[kGCBackground] = 1;
  gc->values[kGCCapStyle] = 1;  // CapButt
  gc->values[kGCGraphicsExposures] = 1;
  gc->values[kGCDashes] = 4;
  gc->values[kGCArcMode] = 1;  // ArcPieSlice
  // Values the client does not give are the record's defaults (the CopyGC and ChangeGC paths
  // read them); the copies carry only what the client gave, plus the pixel defaults a head
  // needs.
  uint32_t words[kGCValueCount];
  for (uint32_t i = 0, n = uint32_t(__builtin_popcount(mask)); i < n; i++) words[i] = wireGet32(request + 16 + 4 * i);
  xcoreApplyGCValues(gc, mask, words, shareFailure);
  if (!resourceAdd(id, kResourceGC, gc)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  CreateGCArgument argument{{gc, mask, {}, true}, id, drawable};
  memcpy(argument.values.byBit, gc->values, sizeof gc->values);
  spreadValues(mask, request + 16, argument.values.byBit);
  xproxyCurrentClient->cachedScreen = info.screen;
  xcoreFramePerHead(request, length, id, createGCCopy, &argument);
}

// ChangeGC, as CreateGC.
void changeGC(uint8_t *request, uint32_t length, const char *shareFailure) {
  uint32_t id = wireGet32(request + 4), mask = wireGet32(request + 8);
  if (!xcoreFrameResolve(id, kXcoreWantGC, kBadGC, request, length)) return;
  if (mask > kGCValueMaskAll) return xprotoSendError(kBadValue, mask, request, length, nullptr);
  GCRecord *gc = static_cast<GCRecord *>(xproxyCurrentClient->cachedRecord);
  CreateGCArgument argument{{gc, mask, {}, false}, id, 0};
  spreadValues(mask, request + 12, argument.values.byBit);
  if (!xcoreFramePerHead(request, length, 0, changeGCCopy, &argument)) return;
  uint32_t words[kGCValueCount];
  for (uint32_t i = 0, n = uint32_t(__builtin_popcount(mask)); i < n; i++) words[i] = wireGet32(request + 12 + 4 * i);
  xcoreApplyGCValues(gc, mask, words, shareFailure);
}

}  // namespace

// ===== GC record values =====
void xcoreApplyGCValues(GCRecord *record, uint32_t mask, const uint32_t *values, const char *shareFailure) {
  // Bits above 22 name no value; the list holds one word per bit below.
  mask &= kGCValueMaskAll;
  for (uint32_t bit = 0, n = 0; bit < kGCValueCount; bit++) {
    if (!(mask & (1u << bit))) continue;
    uint32_t value = values[n++];
    switch (bit) {
      case kGCTile:
        replacePixmap(record->tile, gcPixmap(record, value, record->depth), record->id, shareFailure);
        break;
      case kGCStipple: replacePixmap(record->stipple, gcPixmap(record, value, 1), record->id, shareFailure); break;
      case kGCFont: {
        FontRecord *font = resourceLookupFont(value);
        if (!font) {
          // The real server refuses the font and keeps the GC's old one.
          LOG(logChannelXhint, "Unknown font 0x%x in ChangeGC 0x%x by %s", value, record->id, clientName());
          continue;
        }
        replaceFont(record->font, font);
        break;
      }
      case kGCClipMask:
        if (value == 0) {
          replacePixmap(record->clipMask, nullptr, record->id);
        } else if (PixmapRecord *clip = gcPixmap(record, value, 1)) {
          replacePixmap(record->clipMask, clip, record->id, shareFailure);
        } else {
          LOG(logChannelXhint, "Invalid clip mask 0x%x for gc 0x%x", value, record->id);
          continue;
        }
        break;
      default: break;
    }
    record->values[bit] = value;
  }
}
// ===== end of GC record values =====

// ----- Fonts -----------------------------------------------------------------------------------

void xcoreOpenFont(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsis", 12, XcoreShape::List, 0, 0};
  if (!exactListLength(request, length, shape, 8, 1)) return;
  uint32_t id = wireGet32(request + 4);
  uint32_t nameLength = wireGet16(request + 8);
  if (!xcoreFrameNewId(id, request, length)) return;
  FontRecord *font = resourceNewFont(id, reinterpret_cast<const char *>(request + 12), nameLength);
  if (!font || !resourceAdd(id, kResourceFont, font)) {
    xprotoSendError(kBadAlloc, nameLength, request, length, nullptr);
    return;
  }
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next)
    for (Head *head = screen->heads; head; head = head->next) {
      if (xproxyFontHeadOf(head) != head) continue;
      static const XcoreIdField fields[] = {{4, kResourceScreenResource}, {0, 0}};
      if (!connection || !xcoreFrameCopyForHead(request, length, connection, head, fields)) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        return;
      }
      xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, id, nullptr);
    }
}

void xcoreCloseFont(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantFont, kBadFont, request, length)) return;
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next)
    for (Head *head = screen->heads; head; head = head->next) {
      if (xproxyFontHeadOf(head) != head) continue;
      static const XcoreIdField fields[] = {{4, kResourceFont}, {0, 0}};
      if (!connection || !xcoreFrameCopyForHead(request, length, connection, head, fields)) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        break;
      }
    }
  resourceFree(id, 0);
}

void xcoreQueryFont(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardFontQuery(request, length);
}

void xcoreQueryTextExtents(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardFontQuery(request, length);
}

void xcoreListFonts(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsss", 8, XcoreShape::List, 0, 0};
  if (!exactListLength(request, length, shape, 6, 1)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreListFontsWithInfo(uint8_t *request, uint32_t length) { xcoreListFonts(request, length); }

void xcoreSetFontPath(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbss", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreForgetGlyphShapes();  // (a name may name another font now)
  xcoreFrameForwardOnce(request, length);
}

void xcoreGetFontPath(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreQueryFontReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "H-36"); }
void xcoreQueryTextExtentsReply(uint8_t *reply, uint32_t length) {
  xcoreFrameWriteReply(reply, length, "bbsissssiii");
}
void xcoreListFontsReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsis"); }
void xcoreListFontsWithInfoReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "H-35"); }
void xcoreGetFontPathReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsis"); }

// ----- Pixmaps ---------------------------------------------------------------------------------

namespace {
int pixmapCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  auto *pixmap = static_cast<PixmapRecord *>(argument);
  static const XcoreIdField fields[] = {{4, kResourceScreenResource}, {0, 0}};
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, fields);
  if (!copy) return 0;
  wirePut32(copy + 8, xproxyServerDrawable(wireGet32(request + 8), head));
  if (pixmap->visual)
    if (VisualRecord *headVisual = xproxyHeadVisual(head, pixmap->visual))
      copy[1] = headVisual->baseVisualId ? headVisual->baseDepth : headVisual->depth;
  return 1;
}

// The meta screen's visual of that depth when a head emulates it on a deeper visual of its own,
// else NULL. A pixmap of another depth than its drawable's takes it: its copies are then made
// at the depth the head draws that visual with, where a GC of the emulated visual's windows
// can draw into them (as a GC of an 8-bit window on an 8-bit server can).
VisualRecord *emulatedVisualOfDepth(MetaScreen *screen, uint8_t depth) {
  if (!screen) return nullptr;
  for (uint32_t i = 0; i < screen->visualCount; i++) {
    VisualRecord *visual = &screen->visuals[i];
    if (visual->depth != depth) continue;
    for (Head *head = screen->heads; head; head = head->next)
      if (VisualRecord *headVisual = xproxyHeadVisual(head, visual); headVisual && headVisual->baseVisualId)
        return visual;
  }
  return nullptr;
}
}  // namespace

void xcoreCreatePixmap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), drawable = wireGet32(request + 8);
  uint16_t width = wireGet16(request + 12), height = wireGet16(request + 14);
  uint8_t depth = request[1];
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) return;
  DrawableInfo info = drawableInfo();
  if (!xcoreFrameNewId(id, request, length)) return;
  if (width == 0) return xprotoSendError(kBadValue, 0, request, length, "width");
  if (height == 0) return xprotoSendError(kBadValue, 0, request, length, "height");
  if (!depthIsAFormat(depth)) return xprotoSendError(kBadValue, depth, request, length, "depth");
  PixmapRecord *pixmap =
      resourceCreatePixmap(id, info.screen, depth == info.depth ? info.visual : emulatedVisualOfDepth(info.screen, depth),
                           width, height, depth);
  if (!pixmap) return xprotoSendError(kBadAlloc, 36, request, length, nullptr);
  xproxyCurrentClient->cachedScreen = info.screen;
  xcoreFramePerHead(request, length, id, pixmapCopy, pixmap);
}

void xcoreFreePixmap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantPixmap, kBadPixmap, request, length)) return;
  resourceFree(id, 0);
}

// ----- Graphics contexts -------------------------------------------------------------------------

void xcoreCreateGC(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsI", 16, XcoreShape::ValueList, 12, 4};
  if (!xcoreFrameEnter(request, length, shape)) return;
  // A pixmap of another client as tile, stipple or clip mask is copied once the client's
  // drawing has reached the servers: the client waits for that, parked.
  if (valuesShareAPixmap(wireGet32(request + 12), request + 16, wireGet32(request + 4)))
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, createGC);
  createGC(request, length, nullptr);
}

void xcoreChangeGC(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsI", 12, XcoreShape::ValueList, 8, 4};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (valuesShareAPixmap(wireGet32(request + 8), request + 12, wireGet32(request + 4)))  // (as CreateGC's)
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, changeGC);
  changeGC(request, length, nullptr);
}

namespace {
void copyGC(uint8_t *request, uint32_t length, const char *shareFailure);
}  // namespace

void xcoreCopyGC(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiii", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  // The destination may be the first user of another client of a source's pixmap (as CreateGC).
  uint32_t destinationId = wireGet32(request + 8), mask = wireGet32(request + 12);
  const GCRecord *source = resourceLookupGC(wireGet32(request + 4));
  bool shares = false;
  if (source && xproxyCurrentClient && mask <= kGCValueMaskAll)
    for (auto [bit, pixmap] : {std::pair{kGCTileBit, source->tile}, std::pair{kGCStippleBit, source->stipple},
                               std::pair{kGCClipMaskBit, source->clipMask}})
      shares = shares || ((mask & bit) && pixmap && resourceShareMakesCopies(pixmap, destinationId));
  if (shares) return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, copyGC);
  copyGC(request, length, nullptr);
}

namespace {

// CopyGC once the client's earlier requests have reached the servers, the GCs looked up again.
void copyGC(uint8_t *request, uint32_t length, const char *shareFailure) {
  uint32_t sourceId = wireGet32(request + 4), destinationId = wireGet32(request + 8), mask = wireGet32(request + 12);
  if (mask > kGCValueMaskAll) return xprotoSendError(kBadValue, mask, request, length, nullptr);
  GCRecord *source = resourceLookupGC(sourceId), *destination = resourceLookupGC(destinationId);
  if (source && destination && source != destination && source->screen == destination->screen &&
      source->depth == destination->depth) {
    // The destination takes its own references on the source's pixmaps and font; the source
    // keeps its own.
    for (uint32_t bit = 0; bit < kGCValueCount; bit++)
      if (mask & (1u << bit)) destination->values[bit] = source->values[bit];
    if (mask & kGCTileBit) replacePixmap(destination->tile, source->tile, destinationId, shareFailure);
    if (mask & kGCStippleBit) replacePixmap(destination->stipple, source->stipple, destinationId, shareFailure);
    if (mask & kGCClipMaskBit) replacePixmap(destination->clipMask, source->clipMask, destinationId, shareFailure);
    if (mask & kGCFontBit) replaceFont(destination->font, source->font);
  }
  cacheScreenOf(sourceId);
  static const XcoreIdField fields[] = {{4, kResourceGC}, {8, kResourceGC}, {0, 0}};
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(fields));
}

}  // namespace

void xcoreSetDashes(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiss", 12, XcoreShape::List, 0, 0};
  if (!exactListLength(request, length, shape, 10, 1)) return;
  cacheScreenOf(wireGet32(request + 4));
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kGCAt4));
}

void xcoreSetClipRectangles(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiS", 12, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantGC, kBadGC, request, length)) return;
  if (request[1] > 3) return xprotoSendError(kBadValue, request[1], request, length, "invalid ordering");
  if (!xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kGCAt4))) return;
  // The rectangles replace a clip-mask pixmap on the server; the record lets it go too.
  auto *gc = static_cast<GCRecord *>(xproxyCurrentClient->cachedRecord);
  replacePixmap(gc->clipMask, nullptr, id);
  gc->values[kGCClipMask] = 0;
  gc->values[kGCClipX] = uint32_t(int32_t(int16_t(wireGet16(request + 8))));
  gc->values[kGCClipY] = uint32_t(int32_t(int16_t(wireGet16(request + 10))));
}

void xcoreFreeGC(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  cacheScreenOf(id);
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kGCAt4));
  if (resourceLookupGC(id)) resourceFree(id, 0);
}
