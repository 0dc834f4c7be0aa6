// Image requests: PutImage (72) writes an image to every head of the drawable's meta screen,
// converting pixels for heads whose visual differs; GetImage (73) reads from the one head that
// holds the whole rectangle, or one piece per head assembled into one reply.
#include <X11/Xlib.h>
#include "xclient/xutilh.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/resourcetable.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xcoreimage.h"
#include "proxy/xcoreshift.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/region.h"
#include "xclient/ximage.h"
#include "xext/glxdirect.h"

uint32_t xcorePackBits(uint32_t value, uint32_t mask) {
  uint32_t out = 0, bit = 0;
  for (uint32_t i = 0; i < 32; i++)
    if (mask & (1u << i)) out |= ((value >> i) & 1u) << bit++;
  return out;
}

XcoreDrawableFacts xcoreCurrentDrawableFacts() {
  ClientConnection *client = xproxyCurrentClient;
  switch (client->cachedType) {
    case kResourceWindow: {
      auto *window = static_cast<const WindowRecord *>(client->cachedRecord);
      return {window->visual, window->depth ? window->depth : window->visual ? window->visual->depth : 0u};
    }
    case kResourceHeadRoot: {
      const MetaScreen *screen = static_cast<const Head *>(client->cachedRecord)->metaScreen;
      const VisualRecord *visual = screen ? screen->rootVisual : nullptr;
      return {visual, visual ? visual->depth : static_cast<const Head *>(client->cachedRecord)->depth};
    }
    case kResourcePixmap: {
      auto *pixmap = static_cast<const PixmapRecord *>(client->cachedRecord);
      return {pixmap->visual, pixmap->depth};
    }
    default: return {nullptr, 0};
  }
}

int xcoreCopyInPlace(const WindowRecord *window, const Head *head) {
  WindowCopy copy{};
  int64_t originX, originY;
  windowHeadOrigin(head, &originX, &originY);
  return windowCopyOnHead(window, head, &copy) && copy.x.inside == originX + window->x &&
         copy.y.inside == originY + window->y;
}

bool xcorePixmapPieces(const PixmapRecord *pixmap, const MetaScreen *screen, const Rect &wanted,
                  std::vector<std::pair<Rect, Head *>> *pieces) {
  if (!pixmap->parts || !pixmap->partCount || !screen->heads || !screen->heads->next) return true;
  Region *uncovered = regionCreateRect(wanted.x, wanted.y, wanted.width, wanted.height);
  Region *inside = regionCreate();
  bool failed = !uncovered || !inside;
  auto take = [&](int32_t x, int32_t y, uint32_t w, uint32_t h, Head *head) {
    if (failed || regionIntersectRect(inside, uncovered, x, y, w, h)) {
      failed = true;
      return;
    }
    long n = 0;
    XRectangle *boxes = regionGetRects(inside, &n);
    for (long i = 0; boxes && i < n; i++)
      pieces->push_back({Rect{boxes[i].x, boxes[i].y, boxes[i].width, boxes[i].height}, head});
    free(boxes);
    if (regionSubtractRect(uncovered, uncovered, x, y, w, h)) failed = true;
  };
  for (uint32_t i = pixmap->partCount; i-- > 0;) {
    const PixmapPart &p = pixmap->parts[i];
    for (Head *h = screen->heads; h; h = h->next)
      if (h == p.head) take(p.x, p.y, p.width, p.height, h);
  }
  take(wanted.x, wanted.y, wanted.width, wanted.height, screen->heads);
  regionDestroy(uncovered);
  regionDestroy(inside);
  bool otherHead = false;
  for (const auto &piece : *pieces) otherHead |= piece.second != screen->heads;
  if (failed || !otherHead) pieces->clear();
  return !failed;
}

namespace {

constexpr uint8_t kBadValue = 2, kBadMatch = 8, kBadDrawable = 9, kBadAlloc = 11, kBadLength = 16;
constexpr uint32_t kWantBuffers = 1u << kResourceDbeBuffer | 1u << kResourceMbufBuffer;

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }
uint32_t depthMask(uint32_t depth) { return depth >= 32 ? 0xffffffffu : (1u << depth) - 1; }

struct RegionScope {
  ~RegionScope() { xproxyClearRequestRegion(); }
};

const XcoreIdField kDrawableGC[] = {{4, kResourceWindow}, {8, kResourceGC}, {0, 0}};
const XcoreIdField kDrawable[] = {{4, kResourceWindow}, {0, 0}};

void discardPiece(uintptr_t piece) { xcoreFreeImageRef(reinterpret_cast<XcoreImagePiece *>(piece)); }

// The window record the current request resolved to; NULL for any other drawable.
const WindowRecord *currentWindow() {
  ClientConnection *client = xproxyCurrentClient;
  return client->cachedType == kResourceWindow ? static_cast<const WindowRecord *>(client->cachedRecord) : nullptr;
}

// One piece of a GetImage: the part (meta coordinates inside the wanted rectangle) read from the
// head's drawable at x, y, converted to the client's format and visual when the reply comes.
// *shared is the image the pieces fill (made by the first). False when nothing was sent.
bool readPiece(DisplayConnection *connection, XcoreSharedImage **shared, const XcoreDrawableFacts &facts,
               uint32_t replyVisual, uint8_t format, uint32_t planeMask, const Rect &wanted, const Rect &part, Head *head,
               uint32_t drawable, int16_t x, int16_t y) {
  bool convert = facts.depth >= 2 && xproxyVisualConversion(facts.visual, head);
  uint8_t pieceFormat = convert ? 2 : format;
  uint32_t pieceMask = convert ? 0xffffffffu : xproxyPixelToServer2(planeMask, facts.visual, head);
  XcoreImagePiece *piece = xcoreConvertImage(*shared, facts.depth, format, planeMask, wanted.width, wanted.height,
                                             Rect{part.x - wanted.x, part.y - wanted.y, part.width, part.height}, head);
  if (!piece) return false;
  *shared = piece->shared;
  (*shared)->metaVisual = facts.visual;
  (*shared)->visual = replyVisual;
  piece->requestedFormat = pieceFormat;
  piece->requestedMask = pieceMask;
  if (!core11GGetImage(connection, pieceFormat, drawable, x, y, uint16_t(part.width), uint16_t(part.height),
                       pieceMask)) {
    (*shared)->piecesExpected--;
    xcoreFreeImageRef(piece);
    return false;
  }
  xproxyPushReplyCallback(connection, kXcoreReplyTagImagePiece, reinterpret_cast<uintptr_t>(piece), discardPiece);
  return true;
}

// GetImage of a pixmap holding parts copied from windows (PixmapPart): each part of the
// rectangle is read from the head whose copy holds it, the rest from the first head, and the
// pieces are assembled into one reply. False (nothing sent) when every piece would come from
// the first head, which then serves the request alone.
bool readPixmapParts(const uint8_t *request, uint32_t length, DisplayConnection *connection, const MetaScreen *screen,
                     const PixmapRecord *pixmap, uint32_t drawable, uint8_t format, uint32_t planeMask,
                     const Rect &wanted, const XcoreDrawableFacts &facts) {
  if (!pixmap->parts || !pixmap->partCount || !screen->heads->next) return false;
  std::vector<std::pair<Rect, Head *>> pieces;
  bool failed = !xcorePixmapPieces(pixmap, screen, wanted, &pieces);
  if (!failed && pieces.empty()) return false;
  XcoreSharedImage *shared = nullptr;
  for (size_t i = 0; i < pieces.size() && !failed; i++) {
    const Rect &part = pieces[i].first;
    Head *head = pieces[i].second;
    // The image of a pixmap names no visual.
    if (!readPiece(connection, &shared, facts, 0, format, planeMask, wanted, part, head,
                   xproxyServerDrawable(drawable, head), part.x, part.y)) {
      failed = true;
      break;
    }
  }
  if (failed) {
    // Pieces already sent stay sent; their completion must not answer a second time.
    if (shared) shared->failed = 1;
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  return true;
}

// PutImage's part (part: columns and rows of the client's image) on the head at x, y: the
// request's own bytes with the new place when the part is the whole image and the head keeps
// the client's pixels, else an image of the part, converted for the head where needed. NULL or
// a failure text.
const char *putImageCut(const uint8_t *request, uint32_t length, ImageFormat layout, const XcoreDrawableFacts &facts,
                        Head *head, const Rect &part, int16_t x, int16_t y) {
  uint8_t format = request[1], leftPad = request[20], depth = request[21];
  uint32_t drawable = wireGet32(request + 4), gc = wireGet32(request + 8);
  int width = wireGet16(request + 12), height = wireGet16(request + 14);
  DisplayConnection *connection = xcoreFrameConnection();
  bool whole = part.x == 0 && part.y == 0 && part.width == uint32_t(width) && part.height == uint32_t(height);
  bool convert = xcoreImageNeedsPixelConversion(format, depth, facts.visual, head);
  if (whole && !convert) {
    uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, kDrawableGC);
    if (!copy) return "no memory";
    wirePut16(copy + 16, uint16_t(x));
    wirePut16(copy + 18, uint16_t(y));
    return nullptr;
  }
  XImage image{};
  layout.depth = format == 0 ? 1 : depth;
  if (ximageInit(&image, width, height, leftPad, reinterpret_cast<char *>(const_cast<uint8_t *>(request) + 24),
                 &layout))
    return "no image";
  XImage *piece = &image;
  if (!whole) {
    piece = ximageCreate(int(part.width), int(part.height), 0, &layout);
    if (!piece) return "no memory";
    ximageCopyArea(&image, part.x, part.y, int(part.width), int(part.height), piece, 0, 0);
  }
  XImage *converted = convert ? xproxyConvertImageForHead(piece, facts.visual, head, int(part.width), int(part.height))
                              : piece;
  int done = converted && xcorePutImageOnScreen(connection, head, drawable, gc, converted, x, y);
  if (converted && converted != piece) XDestroyImage(converted);
  if (piece != &image) XDestroyImage(piece);
  return done ? nullptr : "not sent";
}

}  // namespace

// ===== image requests =====

int xcoreImageNeedsPixelConversion(uint32_t format, uint32_t depth, const VisualRecord *visual, const Head *head) {
  (void)format;
  return depth >= 2 && xproxyVisualConversion(visual, head) != nullptr;
}

int xcorePutImageOnScreen(DisplayConnection *connection, Head *head, uint32_t drawable, uint32_t gc, XImage *image,
                          int16_t x, int16_t y) {
  if (!connection || !image) return 0;
  uint64_t bytes = uint64_t(image->bytes_per_line) * uint64_t(image->height);
  if (image->format == XYPixmap) bytes *= uint64_t(image->depth);
  if (head->serverDisplay && head->serverDisplay->mitShmUsable && bytes >= shmPutImageMinSize &&
      shmPutImageOnServer(connection->owner, head, drawable, gc, x, y, uint32_t(image->width), uint32_t(image->height),
                          uint32_t(image->depth), uint32_t(image->format),
                          reinterpret_cast<const uint8_t *>(image->data), bytes))
    return 1;
  return xprotoEncodePutImage(&connection->reader.sink, xproxyServerDrawable(drawable, head),
                              resourceServerId(gc, kResourceGC, head), image, x, y);
}

XcoreImagePiece *xcoreConvertImage(XcoreSharedImage *shared, uint32_t depth, uint32_t format, uint32_t planeMask,
                                   uint32_t width, uint32_t height, const Rect &piece, Head *head) {
  auto *record = static_cast<XcoreImagePiece *>(calloc(1, sizeof(XcoreImagePiece)));
  if (!record) {
    LOG_OUT_OF_MEMORY_AT(kXcoreSource);
    return nullptr;
  }
  if (!shared) {
    shared = static_cast<XcoreSharedImage *>(calloc(1, sizeof(XcoreSharedImage)));
    if (!shared) {
      free(record);
      LOG_OUT_OF_MEMORY_AT(kXcoreSource);
      return nullptr;
    }
    shared->format = format;
    shared->depth = depth;
    shared->planeMask = planeMask;
    shared->width = width;
    shared->height = height;
    // XYPixmap holds only the planes of the mask among the depth's bits.
    shared->imageDepth = format == XYPixmap ? uint32_t(__builtin_popcount(planeMask & depthMask(depth))) : depth;
    ImageFormat layout;
    bool known = shared->imageDepth && xproxyClientImageFormat(&layout, format, depth);
    uint64_t bytes = known ? xprotoImageBytes(width, height, int(format), depth, planeMask, layout.bitsPerPixel,
                                              layout.scanlinePad)
                           : 0;
    if (bytes > kXimageMaxBytes) {
      free(shared);
      free(record);
      return nullptr;
    }
    shared->data = static_cast<uint8_t *>(calloc(bytes + 1, 1));
    if (!shared->data) {
      free(shared);
      free(record);
      LOG_OUT_OF_MEMORY_AT(kXcoreSource);
      return nullptr;
    }
    shared->dataLength = bytes;
    if (known && width && height) {
      layout.depth = shared->imageDepth;
      if (ximageInit(&shared->image, int(width), int(height), 0, reinterpret_cast<char *>(shared->data), &layout)) {
        free(shared->data);
        free(shared);
        free(record);
        return nullptr;
      }
      shared->hasImage = 1;
    }
  }
  shared->refCount++;
  shared->piecesExpected++;
  record->shared = shared;
  record->head = head;
  record->x = piece.x;
  record->y = piece.y;
  record->width = piece.width;
  record->height = piece.height;
  return record;
}

void xcoreFreeImageRef(XcoreImagePiece *piece) {
  if (!piece) return;
  if (XcoreSharedImage *shared = piece->shared)
    if (--shared->refCount == 0) {
      free(shared->data);
      free(shared);
    }
  free(piece);
}

void xcorePutImage(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiissss", 24, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t format = request[1], leftPad = request[20], depth = request[21];
  uint32_t drawable = wireGet32(request + 4), gc = wireGet32(request + 8);
  uint16_t width = wireGet16(request + 12), height = wireGet16(request + 14);
  int16_t x = int16_t(wireGet16(request + 16)), y = int16_t(wireGet16(request + 18));
  if (format > 2) return xprotoSendError(kBadValue, format, request, length, "invalid format");
  // The layout the client used; a depth without pixmap format ends here, before any size.
  ImageFormat layout;
  if (!xproxyClientImageFormat(&layout, format, format == 0 ? 1 : depth))
    return xprotoSendError(kBadMatch, depth, request, length, "invalid depth");
  uint64_t bytes = xprotoImageBytes(uint32_t(width) + leftPad, height, format, depth, 0xffffffffu,
                                    layout.bitsPerPixel, layout.scanlinePad);
  if (uint64_t(length) != 24 + pad4(bytes)) return xprotoSendError(kBadLength, length, request, length, nullptr);
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) return;
  XcoreDrawableFacts facts = xcoreCurrentDrawableFacts();
  if ((format == 0 && depth != 1) || (format != 0 && depth != facts.depth))
    return xprotoSendError(kBadMatch, depth, request, length, "invalid depth");
  RegionScope scope;
  if (xproxyCullingHeadCount) xproxySetRequestRegion(x, y, width, height);
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client->cachedScreen ? client->cachedScreen : xscreenList;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!screen || !connection) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  uint8_t *data = request + 24;
  const GCRecord *gcRecord = resourceLookupGC(gc);
  for (Head *head = screen->heads; head; head = head->next) {
    if (xcoreFrameHeadCulled(head)) continue;
    XcoreCopyShift shift;
    if (xcoreCopyShiftOf(drawable, head, &shift)) {
      // Into a copy placed apart: moved there, the columns and rows before 16 bits cut off.
      XcoreBox box{x, y, width, height};
      int64_t cutX = 0, cutY = 0;
      if (!xcoreShiftBox(shift, &box, &cutX, &cutY)) continue;
      xcoreShiftGCOrigins(connection, head, gcRecord, shift, 1);
      const char *failure = putImageCut(request, length, layout, facts, head, Rect{int32_t(cutX), int32_t(cutY),
                                        uint32_t(box.width), uint32_t(box.height)}, int16_t(box.x), int16_t(box.y));
      xcoreShiftGCOrigins(connection, head, gcRecord, shift, 0);
      if (failure) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      continue;
    }
    if (xcoreImageNeedsPixelConversion(format, depth, facts.visual, head)) {
      XImage image{};
      layout.depth = depth;
      if (ximageInit(&image, width, height, leftPad, reinterpret_cast<char *>(data), &layout))
        return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      XImage *converted = xproxyConvertImageForHead(&image, facts.visual, head, width, height);
      int done = converted && xcorePutImageOnScreen(connection, head, drawable, gc, converted, x, y);
      if (converted && converted != &image) XDestroyImage(converted);
      if (!done) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      continue;
    }
    if (head->serverDisplay && head->serverDisplay->mitShmUsable && leftPad == 0 &&
        uint64_t(length - 24) >= shmPutImageMinSize &&
        shmPutImageOnServer(client, head, drawable, gc, x, y, width, height, depth, format, data, length - 24))
      continue;
    if (!xcoreFrameCopyForHead(request, length, connection, head, kDrawableGC))
      return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
}

void xcoreGetImage(uint8_t *request, uint32_t length) {
  // GL drawn inside the proxy is completed before the pixels are read, a turn at a time where
  // the library takes long (the request then stands, on a stack of its own, while others run:
  // it looks nothing up before).
  if (glxdirectAvailable() && !miscCanYield())
    return miscRunYielding([](uint8_t *r, uint32_t l, uint8_t *) { xcoreGetImage(r, l); }, request, length);
  if (!glxdirectFinishEvery()) return;
  static const XcoreRequestShape shape{"bbsissssi", 20, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t format = request[1];
  uint32_t drawable = wireGet32(request + 4), planeMask = wireGet32(request + 16);
  int16_t x = int16_t(wireGet16(request + 8)), y = int16_t(wireGet16(request + 10));
  uint16_t width = wireGet16(request + 12), height = wireGet16(request + 14);
  if (format != 1 && format != 2) return xprotoSendError(kBadValue, format, request, length, "invalid pixmap format");
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) return;
  XcoreDrawableFacts facts = xcoreCurrentDrawableFacts();
  XproxyRequestArea area;
  const void *record = xproxyCurrentRequestArea(&area);
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client->cachedScreen ? client->cachedScreen : xscreenList;
  if (!mainIsAreaReadable(drawable, x, y, width, height))
    return xprotoSendError(kBadMatch, 0, request, length, "invalid dimensions");
  DisplayConnection *connection = xcoreFrameConnection();
  if (!screen || !screen->heads || !connection) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  // Inside the meta screen (mainIsAreaReadable), so within 32 bits.
  Rect wanted{int32_t(int64_t(area.x) + x), int32_t(int64_t(area.y) + y), width, height};
  const WindowRecord *window = currentWindow();
  Head *single = nullptr;
  if (!record || !area.isWindow)
    single = screen->heads;
  else
    for (Head *head = screen->heads; head && !single; head = head->next)
      if (rectContains(wanted, head->rect)) single = head;
  // A copy placed apart on that head is read piece by piece, at its own coordinates.
  if (single && window && area.isWindow && !xcoreCopyInPlace(window, single)) single = nullptr;

  if (single && client->cachedType == kResourcePixmap &&
      readPixmapParts(request, length, connection, screen, static_cast<const PixmapRecord *>(record), drawable, format,
                      planeMask, wanted, facts)) {
    glxdirectFlushAll();
    return;
  }
  if (single) {
    uint8_t *copy = xcoreFrameForwardToHead(request, length, single, kDrawable);
    if (!copy) return;
    XcoreImagePiece *piece;
    if (facts.depth >= 2 && xproxyVisualConversion(facts.visual, single)) {
      // Converted pixels: the head answers in ZPixmap with all planes; the mask is applied here.
      copy[1] = 2;
      wirePut32(copy + 16, 0xffffffffu);
      piece = xcoreConvertImage(nullptr, facts.depth, format, planeMask, width, height, Rect{0, 0, width, height},
                                single);
      if (piece) {
        piece->requestedFormat = 2;
        piece->requestedMask = 0xffffffffu;
        piece->shared->metaVisual = facts.visual;
        piece->shared->visual = area.isWindow && facts.visual ? facts.visual->visualId : 0;
      }
    } else {
      wirePut32(copy + 16, xproxyPixelToServer2(planeMask, facts.visual, single));
      piece = static_cast<XcoreImagePiece *>(calloc(1, sizeof(XcoreImagePiece)));
      if (piece) piece->head = single;
    }
    if (!piece) {
      LOG_OUT_OF_MEMORY_AT(kXcoreSource);
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    } else {
      xproxyPushReplyCallback(connection, kXcoreReplyTagImagePiece, reinterpret_cast<uintptr_t>(piece), discardPiece);
    }
    glxdirectFlushAll();
    return;
  }

  // One piece per head that meets what is still uncovered.
  Region *uncovered = regionCreateRect(wanted.x, wanted.y, wanted.width, wanted.height);
  Region *inside = regionCreate();
  XcoreSharedImage *shared = nullptr;
  bool failed = !uncovered || !inside;
  for (Head *head = screen->heads; head && !failed; head = head->next) {
    if (regionIntersectRect(inside, uncovered, head->rect.x, head->rect.y, head->rect.width, head->rect.height)) {
      failed = true;
      break;
    }
    const RegionBox &box = inside->extents;
    if (box.x2 <= box.x1 || box.y2 <= box.y1 || !pixman_region_not_empty(inside)) continue;
    Rect part{box.x1, box.y1, uint32_t(box.x2 - box.x1), uint32_t(box.y2 - box.y1)};
    regionSubtractRect(uncovered, uncovered, part.x, part.y, part.width, part.height);
    // Where the piece is read: at its offset inside the drawable, in 64 bits; a window's piece
    // beyond 16 bits of its copy is read through the nearest ancestor that holds it in range.
    uint32_t reader = xproxyServerDrawable(drawable, head);
    int64_t pieceX = int64_t(part.x) - area.x, pieceY = int64_t(part.y) - area.y;
    if (window) {
      const WindowRecord *through = nullptr;
      int16_t readX = 0, readY = 0;
      if (!windowCopyForRead(window, head, part, &through, &readX, &readY)) {
        LOG(logChannelWarning, "GetImage piece of %ux%u at %d,%d unreadable on %s", part.width, part.height, part.x,
            part.y, head->name);
        continue;
      }
      reader = xproxyServerDrawable(through->id, head);
      pieceX = readX, pieceY = readY;
    } else if (pieceX < INT16_MIN || pieceX > INT16_MAX || pieceY < INT16_MIN || pieceY > INT16_MAX) {
      continue;
    }
    if (!readPiece(connection, &shared, facts, facts.visual ? facts.visual->visualId : 0, format, planeMask,
                   wanted, part, head, reader, int16_t(pieceX), int16_t(pieceY))) {
      failed = true;
      break;
    }
  }
  if (!failed && !shared) {
    // Outside every head: one 1x1 read of the first head's root answers with an all-zero image.
    Head *first = screen->heads;
    XcoreImagePiece *piece =
        xcoreConvertImage(nullptr, facts.depth, format, planeMask, width, height, Rect{0, 0, 0, 0}, first);
    if (piece && core11GGetImage(connection, 2, first->root, 0, 0, 1, 1, 0xffffffffu)) {
      shared = piece->shared;
      shared->metaVisual = facts.visual;
      shared->visual = facts.visual ? facts.visual->visualId : 0;
      xproxyPushReplyCallback(connection, kXcoreReplyTagImagePiece, reinterpret_cast<uintptr_t>(piece), discardPiece);
    } else {
      xcoreFreeImageRef(piece);
      failed = true;
    }
  }
  regionDestroy(uncovered);
  regionDestroy(inside);
  if (failed) {
    // Pieces already sent stay sent; their completion must not answer a second time.
    if (shared) shared->failed = 1;
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  glxdirectFlushAll();
}

void xcoreGetImageReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *piece = connection ? reinterpret_cast<XcoreImagePiece *>(
                                 xproxyTakeReplyCallback(connection, kXcoreReplyTagImagePiece))
                           : nullptr;
  if (!piece) return;
  xcoreFrameReplySequence(reply);
  uint32_t visual = length >= 12 ? xproxyServerVisualToProxy(wireGet32(reply + 8), connection->display, piece->head) : 0;
  if (length >= 12) wirePut32(reply + 8, visual);
  XcoreSharedImage *shared = piece->shared;
  if (!shared) {
    xcoreFrameWriteReply(reply, length, "bbsii");
    xcoreFreeImageRef(piece);
    return;
  }
  if (piece->width && piece->height && shared->hasImage && length >= 32) {
    // The piece in the head's layout: its planes (XYPixmap) or its reply depth (ZPixmap).
    uint32_t replyDepth = reply[1];
    uint32_t format = piece->requestedFormat ? piece->requestedFormat : shared->format;
    uint32_t planes = replyDepth;
    if (format == XYPixmap) {
      uint32_t mask = piece->requestedMask;
      planes = uint32_t(__builtin_popcount(mask & depthMask(replyDepth)));
    }
    ImageFormat layout;
    XImage source{};
    uint64_t needed = 0;
    bool usable = planes && xproxyHeadImageFormat(&layout, piece->head, format, replyDepth);
    if (usable) {
      needed = xprotoImageBytes(piece->width, piece->height, int(format), replyDepth,
                                format == XYPixmap ? depthMask(planes) : 0xffffffffu, layout.bitsPerPixel,
                                layout.scanlinePad);
      layout.depth = planes;
      usable = needed <= uint64_t(length - 32) &&
               !ximageInit(&source, int(piece->width), int(piece->height), 0, reinterpret_cast<char *>(reply + 32),
                           &layout);
    }
    if (!usable) {
      LOG(logChannelWarning, "GetImage piece of %ux%u from %s too short (%u bytes)", piece->width, piece->height,
          piece->head ? piece->head->name : "?", length - 32);
    } else {
      uint32_t mask = shared->planeMask & depthMask(shared->depth);
      const VisualRecord *metaVisual = shared->depth >= 2 && format == ZPixmap ? shared->metaVisual : nullptr;
      bool convert = metaVisual && xproxyVisualConversion(metaVisual, piece->head);
      bool packPlanes = shared->format == XYPixmap && format == ZPixmap;
      int bpp = source.bits_per_pixel;
      if (format == ZPixmap && !convert && !packPlanes && bpp % 8 == 0 && bpp == shared->image.bits_per_pixel &&
          source.byte_order == shared->image.byte_order) {
        // Same layout: the rows as the head gave them (bits beyond the depth included, as a
        // single head's reply would carry them).
        size_t rowBytes = size_t(piece->width) * size_t(bpp / 8);
        for (uint32_t row = 0; row < piece->height; row++)
          memcpy(shared->image.data + size_t(piece->y + row) * size_t(shared->image.bytes_per_line) +
                     size_t(piece->x) * size_t(bpp / 8),
                 source.data + size_t(row) * size_t(source.bytes_per_line), rowBytes);
      } else {
        for (uint32_t row = 0; row < piece->height; row++)
          for (uint32_t column = 0; column < piece->width; column++) {
            uint32_t pixel = uint32_t(XGetPixel(&source, int(column), int(row)));
            if (format == ZPixmap) {
              if (convert) pixel = xproxyPixelFromServer(pixel, metaVisual, piece->head);
              pixel &= mask;
              if (packPlanes) pixel = xcorePackBits(pixel, mask);
            }
            XPutPixel(&shared->image, int(piece->x + column), int(piece->y + row), pixel);
          }
      }
    }
  }
  if (--shared->piecesExpected == 0 && !shared->failed) {
    ClientConnection *client = xproxyCurrentClient;
    if (client && !core11GGetImageReply(client, client->replySequence, shared->visual, uint8_t(shared->depth),
                                        shared->data, uint32_t(shared->dataLength))) {
      xcoreFrameReplyError(client, 73, kBadAlloc, 0);
    }
  }
  xcoreFreeImageRef(piece);
}
// ===== end of image requests =====
