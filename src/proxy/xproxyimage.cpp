// Images between the clients' layout and the heads' layouts: formats of either side, images
// converted for a head (pixels through the head's pixel conversion), head images read back or
// brought into the clients' layout, and images scaled for a head's zoom.
#include <X11/Xlib.h>
#include "xclient/xutilh.h"

#include <cstring>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/resourcetable.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/ximage.h"

namespace {

uint32_t depthMask(uint32_t depth) { return depth >= 32 ? 0xffffffffu : (1u << depth) - 1; }

// The depth a head's server gives a drawable of the meta visual: the base depth of an
// emulated visual, else the visual's own; 0 when the head has no entry.
uint32_t headDepthOf(const VisualRecord *visual, const Head *head) {
  const VisualRecord *own = visual && head ? xproxyHeadVisual(head, visual) : nullptr;
  if (!own) return 0;
  return own->baseVisualId ? own->baseDepth : own->depth;
}

bool sameLayout(const ImageFormat &a, const ImageFormat &b) {
  return a.format == b.format && a.depth == b.depth && a.bitsPerPixel == b.bitsPerPixel && a.byteOrder == b.byteOrder &&
         a.bitOrder == b.bitOrder && a.scanlinePad == b.scanlinePad &&
         (a.bitsPerPixel > 1 || a.bitmapUnit == b.bitmapUnit);
}

// Copies width x height pixels of source into destination at 0, 0, each passed through fn.
template <typename Fn>
void copyPixels(XImage *source, int sx, int sy, XImage *destination, int dx, int dy, int width, int height, Fn fn) {
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) XPutPixel(destination, dx + x, dy + y, fn(XGetPixel(source, sx + x, sy + y)));
}

}  // namespace

// ===== request regions and head images =====
int xproxyClientImageFormat(ImageFormat *out, uint32_t format, uint32_t depth) {
  *out = ImageFormat{};
  out->format = format;
  out->depth = depth;
  out->byteOrder = proxyState.imageByteOrder;
  out->bitOrder = proxyState.bitmapBitOrder;
  out->bitmapUnit = proxyState.bitmapUnit ? proxyState.bitmapUnit : 32;
  if (format == ZPixmap) {
    for (uint32_t i = 0; i < proxyState.pixmapFormatCount; i++)
      if (proxyState.pixmapFormats[i].depth == depth) {
        out->bitsPerPixel = proxyState.pixmapFormats[i].bitsPerPixel;
        out->scanlinePad = proxyState.pixmapFormats[i].scanlinePad;
        return out->bitsPerPixel && out->scanlinePad;
      }
    return 0;
  }
  if (format > ZPixmap) return 0;
  out->bitsPerPixel = 1;
  out->scanlinePad = proxyState.bitmapPad ? proxyState.bitmapPad : 32;
  return 1;
}

int xproxyHeadImageFormat(ImageFormat *out, const Head *head, uint32_t format, uint32_t depth) {
  if (!head || !head->display) return xproxyClientImageFormat(out, format, depth);
  if (format == ZPixmap && !ximageHasPixmapFormat(head->display, int(depth))) return 0;
  *out = *ximageFormatOfDisplay(head->display, int(format), int(depth), nullptr);
  return 1;
}

XImage *xproxyConvertImageForHead(XImage *image, const VisualRecord *visual, Head *head, int width, int height) {
  if (!image) return nullptr;
  const VisualRecord *conversion = image->depth >= 2 ? xproxyVisualConversion(visual, head) : nullptr;
  uint32_t depth = uint32_t(image->depth);
  if (image->depth >= 2)
    if (uint32_t headDepth = headDepthOf(visual, head)) depth = headDepth;
  uint32_t format = image->format == XYPixmap && depth >= 2 ? ZPixmap : uint32_t(image->format);
  ImageFormat wanted, have;
  if (!xproxyHeadImageFormat(&wanted, head, format, depth)) return nullptr;
  ximageFormatOfImage(image, &have);
  if (!conversion && depth == uint32_t(image->depth) && sameLayout(wanted, have)) return image;
  XImage *converted = ximageCreate(width, height, 0, &wanted);
  if (!converted) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  int w = std::min(width, image->width), h = std::min(height, image->height);
  uint32_t mask = depthMask(depth);
  if (conversion)
    copyPixels(image, 0, 0, converted, 0, 0, w, h, [&](unsigned long pixel) {
      return xproxyPixelToServer(uint32_t(pixel), visual, head) & mask;
    });
  else
    copyPixels(image, 0, 0, converted, 0, 0, w, h, [&](unsigned long pixel) { return pixel & mask; });
  return converted;
}

XImage *xproxyConvertImageDepth(XImage *image, uint32_t depth, Head *head) {
  if (!image) return nullptr;
  ImageFormat wanted;
  if (!xproxyHeadImageFormat(&wanted, head, depth >= 2 ? ZPixmap : uint32_t(image->format), depth)) return nullptr;
  XImage *converted = ximageCreate(image->width, image->height, 0, &wanted);
  if (!converted) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  uint32_t mask = depthMask(depth);
  copyPixels(image, 0, 0, converted, 0, 0, image->width, image->height,
             [&](unsigned long pixel) { return pixel & mask; });
  return converted;
}

XImage *xproxyConvertImageStatic(XImage *image, uint32_t depth, Head *head) {
  XImage *converted = xproxyConvertImageDepth(image, depth, head);
  if (image && converted != image) XDestroyImage(image);
  return converted;
}
// ===== end of request regions and head images =====

// ===== head images =====
XImage *mainGetPixmapImage(uint32_t pixmap, uint32_t width, uint32_t height, Head *head) {
  if (!head || !head->display || !width || !height) return nullptr;
  uint32_t serverId = resourceServerId(pixmap, kResourcePixmap, head);
  XImage *got = nullptr;
  if (const char *failure = ximageGetImageWithin(head->display, serverId, 0, 0, width, height, AllPlanes, ZPixmap,
                                                 xproxySyncWaitLimitMs, &got)) {
    LOG(logChannelXhint, "XGetImage(display=%s pixmap=0x%x) failed: %s", head->name, pixmap, failure);
    return nullptr;
  }
  const PixmapRecord *record = resourceLookupPixmap(pixmap);
  XImage *result = mainCreateHeadImage(head, got, 0, 0, int(width), int(height), record ? record->visual : nullptr,
                                       record ? record->depth : uint32_t(got->depth));
  XDestroyImage(got);
  return result;
}

XImage *mainCreateHeadImage(Head *head, XImage *source, int x, int y, int width, int height,
                            const VisualRecord *metaVisual, uint32_t depth) {
  if (!source || width <= 0 || height <= 0) return nullptr;
  uint32_t format = source->format == XYPixmap && depth >= 2 ? ZPixmap : uint32_t(source->format);
  if (depth < 2 && source->depth >= 2) format = ZPixmap;
  ImageFormat wanted;
  if (!xproxyClientImageFormat(&wanted, format, depth)) return nullptr;
  XImage *target = ximageCreate(width, height, 0, &wanted);
  if (!target) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  int w = std::min(width, source->width - x), h = std::min(height, source->height - y);
  if (x < 0 || y < 0 || w <= 0 || h <= 0) return target;
  uint32_t mask = depthMask(depth);
  const VisualRecord *conversion = metaVisual && depth >= 2 ? xproxyVisualConversion(metaVisual, head) : nullptr;
  if (conversion)
    copyPixels(source, x, y, target, 0, 0, w, h, [&](unsigned long pixel) {
      return xproxyPixelFromServer(uint32_t(pixel), metaVisual, head) & mask;
    });
  else
    copyPixels(source, x, y, target, 0, 0, w, h, [&](unsigned long pixel) { return pixel & mask; });
  return target;
}
// ===== end of head images =====

// ===== image scaling =====
XImage *xmainScaleImage(XImage *image, int copy, int *owned, Head *head) {
  if (!image || !head) return image;
  if (head->zoomX != 1.0 || head->zoomY != 1.0) {
    XImage *scaled = ximageScale(image, head->zoomX, head->zoomY);
    if (!scaled) {
      LOG_OUT_OF_MEMORY();
      return nullptr;
    }
    if (scaled != image) {
      if (*owned) XDestroyImage(image);
      image = scaled;
      *owned = 1;
    }
  }
  if (!copy) return image;
  ImageFormat wanted;
  if (!xproxyHeadImageFormat(&wanted, head, uint32_t(image->format), uint32_t(image->depth))) return nullptr;
  XImage *result = ximageCreate(image->width, image->height, 0, &wanted);
  if (!result) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  ximageCopyArea(image, 0, 0, image->width, image->height, result, 0, 0);
  if (*owned) XDestroyImage(image);
  *owned = 1;
  return result;
}
// ===== end of image scaling =====
