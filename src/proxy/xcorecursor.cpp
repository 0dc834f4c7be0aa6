// Cursors: the proxy keeps each cursor's bitmaps and colours and builds the cursor on every head
// of every meta screen (scaled for a head's zoom), under the id the client's raw connection has
// for it there.
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/ximage.h"
#include "xclient/xutilh.h"
#include "xclient/xfont.h"
#include "xclient/xrclibcursors.h"
#include "xclient/xtarget.h"
#include "xext/render.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadPixmap = 4, kBadCursor = 6, kBadFont = 7, kBadMatch = 8, kBadAlloc = 11;

uint64_t rowBytes(uint32_t width) { return (uint64_t(width) + 7) / 8; }

// The bits of a depth-1 image in the cursor's own layout (rows of (width + 7) / 8 bytes, least
// significant bit first); NULL when out of memory.
char *bitsOfImage(XImage *image, uint32_t width, uint32_t height) {
  auto *bits = static_cast<char *>(calloc(1, size_t(rowBytes(width) * height) + 1));
  if (!bits) return nullptr;
  for (uint32_t y = 0; y < height; y++)
    for (uint32_t x = 0; x < width; x++)
      if (XGetPixel(image, int(x), int(y)) & 1) bits[rowBytes(width) * y + x / 8] |= char(1 << (x % 8));
  return bits;
}

// Reads a depth-1 client pixmap back from the first head of its meta screen, the wait for the
// server bounded by the sync limit; NULL (logged) when that head has no real display or the
// read fails.
char *readPixmapBits(PixmapRecord *pixmap) {
  Head *head = pixmap->screen ? pixmap->screen->heads : (xscreenList ? xscreenList->heads : nullptr);
  uint32_t serverId = head ? resourcePixmapServerId(pixmap, head) : pixmap->id;
  XImage *image = nullptr;
  const char *failure = "no real display";
  if (head && head->display)
    failure = ximageGetImageWithin(head->display, serverId, 0, 0, pixmap->width, pixmap->height, 1, XYPixmap,
                                   xproxySyncWaitLimitMs, &image);
  if (failure) {
    LOG(logChannelXhint, "XGetImage(display=%s pixmap=0x%x) failed: %s", head ? head->name : "?", unsigned(serverId),
        failure);
    return nullptr;
  }
  char *bits = bitsOfImage(image, pixmap->width, pixmap->height);
  XDestroyImage(image);
  return bits;
}

// Writes a copy of the request on every head of every meta screen with the cursor's id
// translated for the head; BadAlloc 0 at the first copy that cannot be written.
bool copyToEveryHead(const uint8_t *request, uint32_t length) {
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next)
    for (Head *head = screen->heads; head; head = head->next) {
      uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
      if (!copy) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        return false;
      }
      uint32_t id;
      memcpy(&id, copy + 4, 4);
      id = resourceServerId(id, kResourceCursor, head);
      memcpy(copy + 4, &id, 4);
    }
  return true;
}

// Builds the new cursor on every head; on a failure BadAlloc 0 and the cursor is destroyed
// wherever it was made.
void buildOnEveryHead(CursorRecord *cursor, const uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next)
    for (Head *head = screen->heads; head; head = head->next)
      if (!connection || !mainCreateCursorOnHead(cursor, client, &connection->reader.sink,
                                                 resourceServerId(cursor->id, kResourceCursor, head), head)) {
        uint32_t id = cursor->id;
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        resourceDestroyEverywhere(id);
        return;
      }
}

// The cursor's colours from six 16-bit fields (foreground red, green, blue, then background).
void storeColours(CursorRecord *cursor, const uint8_t *at) {
  cursor->foreRed = wireGet16(at), cursor->foreGreen = wireGet16(at + 2), cursor->foreBlue = wireGet16(at + 4);
  cursor->backRed = wireGet16(at + 6), cursor->backGreen = wireGet16(at + 8), cursor->backBlue = wireGet16(at + 10);
}

// A new cursor record holding the bitmaps (taken over; mask may be the source itself or NULL).
CursorRecord *newCursor(uint32_t id, uint32_t width, uint32_t height, char *source, char *mask) {
  CursorRecord *cursor = resourceCreateCursor(id, 1);
  if (!cursor) {
    free(source);
    if (mask != source) free(mask);
    return nullptr;
  }
  XrcImage &image = cursor->images[0];
  image.width = uint16_t(width);
  image.height = uint16_t(height);
  image.depth = 1;
  image.format = XYBitmap;
  image.byteOrder = LSBFirst;
  image.bitOrder = LSBFirst;
  image.bitmapPad = 8;
  image.data = source;
  image.mask = mask;
  return cursor;
}

// A pixmap on the head under a new server-side id of the client holding the scaled image, put in
// the head's layout `format` at the format's depth; 0 when a request cannot be written.
uint32_t pixmapOfImage(const RequestSink *sink, ClientConnection *client, Head *head, XImage *scaled,
                       const ImageFormat &format) {
  XImage target{};
  uint32_t pixmap = 0;
  if (!ximageInit(&target, scaled->width, scaled->height, 0, nullptr, &format)) {
    ximageCopyArea(scaled, 0, 0, scaled->width, scaled->height, &target, 0, 0);
    uint32_t pixmapId = resourceNewServerSideId(client), gcId = resourceNewServerSideId(client);
    uint32_t serverPixmap = resourceServerId(pixmapId, kResourceScreenResource, head);
    uint32_t serverGC = resourceServerId(gcId, kResourceScreenResource, head);
    if (pixmapId && gcId &&
        xprotoEncodeCreatePixmap(sink, serverPixmap, uint32_t(head->root), uint16_t(target.width),
                                 uint16_t(target.height), uint8_t(format.depth)) &&
        xprotoEncodeCreateGC(sink, serverGC, serverPixmap, 0, nullptr) &&
        xprotoEncodePutImage(sink, serverPixmap, serverGC, &target, 0, 0) && xprotoEncodeFreeGC(sink, serverGC))
      pixmap = serverPixmap;
    free(target.data);
  }
  return pixmap;
}

// A pixmap of depth 1 on the head under a new server-side id of the client, holding a bitmap of
// the cursor's layout scaled by the head's zoom; 0 when a request cannot be written.
uint32_t bitmapOnHead(const RequestSink *sink, ClientConnection *client, Head *head, char *bits, uint32_t width,
                      uint32_t height) {
  XImage plain{};
  if (ximageInit(&plain, int(width), int(height), 0, bits, &ximageDefaultFormat)) return 0;
  double zoomX = head->zoomX > 0 ? head->zoomX : 1, zoomY = head->zoomY > 0 ? head->zoomY : 1;
  XImage *scaled = ximageScale(&plain, zoomX, zoomY);
  if (!scaled) return 0;
  // The head's server reads the bits in its own bitmap layout, as one plane.
  ImageFormat format = ximageDefaultFormat;
  if (head->display) format = *ximageFormatOfDisplay(head->display, XYPixmap, 1, nullptr);
  else format.scanlinePad = 32;
  format.format = XYPixmap;
  format.depth = 1;
  uint32_t pixmap = pixmapOfImage(sink, client, head, scaled, format);
  if (scaled != &plain) XDestroyImage(scaled);
  return pixmap;
}

// A cursor image of a depth above 1 (in the clients' layout) in a pixmap of that depth on the
// head, scaled by the head's zoom; 0 when it cannot be made or written.
uint32_t imagePixmapOnHead(const RequestSink *sink, ClientConnection *client, Head *head, const XrcImage &image) {
  ImageFormat own;
  if (!image.data || !image.width || !image.height || !xproxyClientImageFormat(&own, ZPixmap, image.depth)) return 0;
  XImage plain{};
  if (ximageInit(&plain, image.width, image.height, 0, image.data, &own)) return 0;
  double zoomX = head->zoomX > 0 ? head->zoomX : 1, zoomY = head->zoomY > 0 ? head->zoomY : 1;
  XImage *scaled = ximageScale(&plain, zoomX, zoomY);
  if (!scaled) return 0;
  ImageFormat format = own;
  if (head->display) format = *ximageFormatOfDisplay(head->display, ZPixmap, image.depth, nullptr);
  format.format = ZPixmap;
  format.depth = image.depth;
  uint32_t pixmap = pixmapOfImage(sink, client, head, scaled, format);
  if (scaled != &plain) XDestroyImage(scaled);
  return pixmap;
}

// An animated cursor on the head: each frame built under a new id of the client, RENDER
// CreateAnimCursor of those with the delays, then the frame cursors freed (the animated one
// keeps them). A frame that is itself animated cannot be built, as RENDER refuses it.
int animatedCursorOnHead(CursorRecord *cursor, ClientConnection *client, const RequestSink *sink, uint32_t cursorId,
                         Head *head) {
  std::vector<uint32_t> pairs;  // (frame cursor on the head, delay)
  int written = 1;
  for (uint32_t k = 0; k < cursor->frameCount && written; k++) {
    CursorRecord *frame = cursor->frames[k].cursor;
    uint32_t id = frame && !frame->frameCount ? resourceNewServerSideId(client) : 0;
    uint32_t serverId = id ? resourceServerId(id, kResourceScreenResource, head) : 0;
    written = serverId && mainCreateCursorOnHead(frame, client, sink, serverId, head);
    if (written) pairs.insert(pairs.end(), {serverId, cursor->frames[k].delay});
  }
  written = written && renderSendCreateAnimCursor(sink, cursorId, pairs.data(), uint32_t(pairs.size() / 2));
  for (size_t k = 0; k < pairs.size(); k += 2) written = xprotoEncodeFreeCursor(sink, pairs[k]) && written;
  return written;
}

}  // namespace

// ===== cursors on heads =====
int mainCreateCursorOnHead(CursorRecord *cursor, ClientConnection *client, const RequestSink *sink, uint32_t cursorId,
                           Head *head) {
  if (cursor && cursor->frameCount && head && sink) return animatedCursorOnHead(cursor, client, sink, cursorId, head);
  if (!cursor || !cursor->imageCount || !head || !sink) return 0;
  XrcImage &image = cursor->images[0];
  if (image.depth != 1) {
    // Cursors of other depths are made from a RENDER picture on a pixmap of the image.
    uint32_t pixmap = imagePixmapOnHead(sink, client, head, image);
    uint32_t picture = pixmap ? resourceNewServerSideId(client) : 0;
    if (!picture) return 0;
    picture = resourceServerId(picture, kResourceScreenResource, head);
    int32_t hotX = cursor->xHot, hotY = cursor->yHot;
    if (head->zoomX > 0) hotX = int32_t(hotX * head->zoomX);
    if (head->zoomY > 0) hotY = int32_t(hotY * head->zoomY);
    return renderSendCreatePicture(sink, picture, pixmap, renderPictFormatOnHead(cursor->pictFormat, head)) &&
           xprotoEncodeFreePixmap(sink, pixmap) &&
           renderSendCreateCursor(sink, cursorId, picture, uint16_t(hotX), uint16_t(hotY)) &&
           renderSendFreePicture(sink, picture);
  }
  uint32_t width = std::max<uint32_t>(image.width, 1), height = std::max<uint32_t>(image.height, 1);
  if (!image.data) return 0;
  uint32_t source = bitmapOnHead(sink, client, head, image.data, width, height);
  if (!source) return 0;
  uint32_t mask = 0;
  if (image.mask == image.data) mask = source;
  else if (image.mask && !(mask = bitmapOnHead(sink, client, head, image.mask, width, height))) return 0;
  int32_t hotX = cursor->xHot, hotY = cursor->yHot;
  if (head->zoomX > 0) hotX = int32_t(hotX * head->zoomX);
  if (head->zoomY > 0) hotY = int32_t(hotY * head->zoomY);
  int written = xprotoEncodeCreateCursor(sink, cursorId, source, mask, uint16_t(hotX), uint16_t(hotY),
                                         cursor->foreRed, cursor->foreGreen, cursor->foreBlue, cursor->backRed,
                                         cursor->backGreen, cursor->backBlue) &&
                xprotoEncodeFreePixmap(sink, source) && (mask == source || !mask || xprotoEncodeFreePixmap(sink, mask));
  return written;
}

uint32_t xproxyCreateCursor(CursorRecord *cursor, ClientConnection *client, Head *head) {
  DisplayConnection *connection = client && client->displayCount ? client->displays[0] : nullptr;
  uint32_t id = connection ? resourceNewServerSideId(client) : 0;
  if (!id) return 0;
  uint32_t serverId = resourceServerId(id, kResourceScreenResource, head);
  return mainCreateCursorOnHead(cursor, client, &connection->reader.sink, serverId, head) ? serverId : 0;
}
// ===== end of cursors on heads =====

namespace {

// CreateCursor's pixmaps as the request names them: NULL (the error sent) when one is no longer
// a fitting pixmap. The mask stays NULL for None.
PixmapRecord *cursorPixmaps(const uint8_t *request, uint32_t length, PixmapRecord **mask) {
  uint32_t sourceId = wireGet32(request + 8), maskId = wireGet32(request + 12);
  uint16_t x = wireGet16(request + 28), y = wireGet16(request + 30);
  PixmapRecord *source = resourceLookupPixmap(sourceId);
  *mask = nullptr;
  if (!source) return xprotoSendError(kBadPixmap, sourceId, request, length, "invalid src pixmap"), nullptr;
  // The hot spot may lie on the right or bottom edge, as the X server allows.
  if (source->depth != 1 || x > source->width || y > source->height)
    return xprotoSendError(kBadMatch, 0, request, length, "bad src pixmap usage"), nullptr;
  if (maskId != None) {
    *mask = resourceLookupPixmap(maskId);
    if (!*mask) return xprotoSendError(kBadPixmap, maskId, request, length, "invalid mask pixmap"), nullptr;
    if ((*mask)->depth != 1 || (*mask)->width != source->width || (*mask)->height != source->height)
      return xprotoSendError(kBadMatch, 0, request, length, "invalid mask pixmap usage"), nullptr;
  }
  return source;
}

// The rest of CreateCursor once the client's drawing has reached the server: the pixmaps are
// looked up again (another client may have freed them meanwhile) and read back.
void createCursorSynced(uint8_t *request, uint32_t length, const char *failure) {
  // The server did not take the drawing in time (or the connection broke): the pixmaps are not
  // read, since the proxy's own connection would wait on that server without a bound.
  if (failure) {
    LOG(logChannelProblem, "%s", failure);
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  uint32_t id = wireGet32(request + 4), sourceId = wireGet32(request + 8), maskId = wireGet32(request + 12);
  PixmapRecord *mask = nullptr;
  PixmapRecord *source = cursorPixmaps(request, length, &mask);
  if (!source) return;
  char *sourceBits = readPixmapBits(source);
  if (!sourceBits) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  char *maskBits = nullptr;
  if (maskId == sourceId) {
    maskBits = sourceBits;  // one bit array shared, released once
  } else if (mask && !(maskBits = readPixmapBits(mask))) {
    free(sourceBits);
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  CursorRecord *cursor = newCursor(id, source->width, source->height, sourceBits, maskBits);
  if (!cursor) return xprotoSendError(kBadAlloc, 64, request, length, nullptr);
  cursor->xHot = std::min<uint16_t>(wireGet16(request + 28), source->width);
  cursor->yHot = std::min<uint16_t>(wireGet16(request + 30), source->height);
  storeColours(cursor, request + 16);
  buildOnEveryHead(cursor, request, length);
}

}  // namespace

void xcoreCreateCursor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiissssssss", 32, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  PixmapRecord *mask = nullptr;
  PixmapRecord *source = cursorPixmaps(request, length, &mask);
  if (!source || !xcoreFrameNewId(wireGet32(request + 4), request, length)) return;
  // What the client drew into the pixmaps must have reached the server before they are read:
  // the client waits for that, parked, while the others are served.
  Head *head = source->screen ? source->screen->heads : nullptr;
  if (head && head->display && xproxyCurrentClient)
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, createCursorSynced);
  createCursorSynced(request, length, nullptr);
}

namespace {
void createGlyphCursorSynced(uint8_t *request, uint32_t length, const char *failure);

// The shapes of glyph cursors as the real display drew them, by the fonts' names and the
// glyphs: a font of a name draws the same glyph whoever opened it, so a shape read once serves
// every later CreateGlyphCursor of it at once (no park, no round trip of the proxy's own
// connection: a program that makes a dozen cursors at its start does not wait for a dozen
// reads, nor do the others). Forgotten when the font path changes and when the real displays
// close (xcoreForgetGlyphShapes); at most kGlyphShapesMax kept (then forgotten all at once).
struct GlyphShape {
  int width, height, hotX, hotY;
  std::vector<char> source, mask;  // rows of (width + 7) / 8 bytes; mask empty: none
};
using GlyphKey = std::tuple<std::string, unsigned, std::string, unsigned>;
std::map<GlyphKey, GlyphShape> glyphShapes;
constexpr size_t kGlyphShapesMax = 1024;

// The key of the request's glyphs; false when a font is unknown.
bool glyphKeyOf(const uint8_t *request, GlyphKey *key) {
  uint32_t sourceFont = wireGet32(request + 8), maskFont = wireGet32(request + 12);
  FontRecord *source = resourceLookupFont(sourceFont);
  FontRecord *mask = maskFont != None ? resourceLookupFont(maskFont) : nullptr;
  if (!source || !source->name || (maskFont != None && (!mask || !mask->name))) return false;
  try {
    *key = GlyphKey{source->name, wireGet16(request + 16), mask ? mask->name : "", wireGet16(request + 18)};
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

char *copyBits(const std::vector<char> &bits) {
  auto *copy = static_cast<char *>(malloc(bits.size() + 1));
  if (copy && !bits.empty()) memcpy(copy, bits.data(), bits.size());
  return copy;
}

// Makes the cursor of the request from a shape (BadAlloc when out of memory).
void cursorOfShape(const GlyphShape &shape, uint8_t *request, uint32_t length) {
  char *source = copyBits(shape.source);
  char *mask = shape.mask.empty() ? nullptr : copyBits(shape.mask);
  if (!source || (!shape.mask.empty() && !mask)) {
    free(source);
    free(mask);
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  CursorRecord *cursor = newCursor(wireGet32(request + 4), uint32_t(shape.width), uint32_t(shape.height), source, mask);
  if (!cursor) return xprotoSendError(kBadAlloc, 64, request, length, nullptr);
  cursor->xHot = uint16_t(std::clamp(shape.hotX, 0, shape.width));
  cursor->yHot = uint16_t(std::clamp(shape.hotY, 0, shape.height));
  storeColours(cursor, request + 20);
  buildOnEveryHead(cursor, request, length);
}

void keepGlyphShape(const uint8_t *request, int width, int height, int hotX, int hotY, const uint8_t *source,
                    const uint8_t *mask) {
  GlyphKey key;
  if (!glyphKeyOf(request, &key)) return;
  size_t bytes = size_t(rowBytes(uint32_t(width)) * uint64_t(height));
  try {
    if (glyphShapes.size() >= kGlyphShapesMax) glyphShapes.clear();
    GlyphShape shape{width, height, hotX, hotY, std::vector<char>(source, source + bytes), {}};
    if (mask) shape.mask.assign(mask, mask + bytes);
    glyphShapes[key] = std::move(shape);
  } catch (const std::bad_alloc &) {
  }
}
}  // namespace

void xcoreForgetGlyphShapes() { glyphShapes.clear(); }

void xcoreCreateGlyphCursor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiissssssss", 32, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), sourceFont = wireGet32(request + 8), maskFont = wireGet32(request + 12);
  if (!resourceLookupFont(sourceFont)) return xprotoSendError(kBadFont, sourceFont, request, length, nullptr);
  if (maskFont != None && !resourceLookupFont(maskFont))
    return xprotoSendError(kBadFont, maskFont, request, length, nullptr);
  if (!xcoreFrameNewId(id, request, length)) return;
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  if (!head || !head->display) return xprotoSendError(kBadValue, 0, request, length, nullptr);
  GlyphKey key;
  if (glyphKeyOf(request, &key))
    if (auto found = glyphShapes.find(key); found != glyphShapes.end()) return cursorOfShape(found->second, request, length);
  // The fonts the client opened must be on the server before the proxy's own connection reads
  // their glyphs: the client waits for that, parked.
  if (xproxyCurrentClient)
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, createGlyphCursorSynced);
  createGlyphCursorSynced(request, length, nullptr);
}

namespace {

// The rest of CreateGlyphCursor once the client's requests have reached the server; the fonts
// are looked up again (another client may have closed a shared one meanwhile).
void createGlyphCursorSynced(uint8_t *request, uint32_t length, const char *failure) {
  if (failure) {  // (as CreateCursor's)
    LOG(logChannelProblem, "%s", failure);
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  uint32_t id = wireGet32(request + 4), sourceFont = wireGet32(request + 8), maskFont = wireGet32(request + 12);
  if (!resourceLookupFont(sourceFont)) return xprotoSendError(kBadFont, sourceFont, request, length, nullptr);
  if (maskFont != None && !resourceLookupFont(maskFont))
    return xprotoSendError(kBadFont, maskFont, request, length, nullptr);
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  if (!head || !head->display) return xprotoSendError(kBadValue, 0, request, length, nullptr);
  // The glyphs' reads wait for the server at most the sync limit each.
  int width = 0, height = 0, hotX = 0, hotY = 0, made;
  uint8_t *sourceBits = nullptr, *maskBits = nullptr;
  {
    XtargetErrorTrap trap(head->display);
    made = xfontMakeGlyphCursor(head->display, resourceServerId(sourceFont, kResourceFont, head), nullptr,
                                wireGet16(request + 16),
                                maskFont ? resourceServerId(maskFont, kResourceFont, head) : None, nullptr,
                                wireGet16(request + 18), &width, &height, &sourceBits, &maskBits, &hotX, &hotY);
    if (made && trap.errorCame()) {
      free(sourceBits);
      free(maskBits);
      made = 0;
    }
  }
  if (!made || width <= 0 || height <= 0 || width > 0xffff || height > 0xffff) {
    if (made) free(sourceBits), free(maskBits);
    return xprotoSendError(kBadValue, 0, request, length, nullptr);
  }
  keepGlyphShape(request, width, height, hotX, hotY, sourceBits, maskBits);
  CursorRecord *cursor = newCursor(id, uint32_t(width), uint32_t(height), reinterpret_cast<char *>(sourceBits),
                                   reinterpret_cast<char *>(maskBits));
  if (!cursor) return xprotoSendError(kBadAlloc, 64, request, length, nullptr);
  cursor->xHot = uint16_t(std::clamp(hotX, 0, width));
  cursor->yHot = uint16_t(std::clamp(hotY, 0, height));
  storeColours(cursor, request + 20);
  buildOnEveryHead(cursor, request, length);
}

}  // namespace

void xcoreFreeCursor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!resourceLookupByType(id, kResourceCursor)) return xprotoSendError(kBadCursor, id, request, length, nullptr);
  copyToEveryHead(request, length);
  resourceFree(id, 0);
}

void xcoreRecolorCursor(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissssss", 20, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  auto *cursor = static_cast<CursorRecord *>(resourceLookupByType(id, kResourceCursor));
  if (!cursor) return xprotoSendError(kBadCursor, id, request, length, nullptr);
  storeColours(cursor, request + 8);
  copyToEveryHead(request, length);
}
