// The RENDER extension: pictures, glyph sets, drawing requests and the proxy's own writers.
// Every request on a picture is written once for each head that holds it, on the client's first
// display connection, with the ids and formats of that head; coordinates and colours travel
// unchanged. Glyph sets belong to no screen: the heads of one real server share one copy.
#include <X11/Xlib.h>
#include <X11/Xlib-xcb.h>
#include <xcb/xproto.h>

#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/park.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/ximage.h"
#include "xclient/xrclibcursors.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "xext/byteswap.h"
#include "xext/ext.h"
#include "xext/render.h"
#include "xext/windowbuffers.h"

// Xlibint.h last: it defines min and max as macros.
#include <X11/Xlibint.h>

namespace {

constexpr uint8_t kBadDrawable = 9, kBadAlloc = 11, kBadIDChoice = 14, kBadImplementation = 17, kBadCursor = 6;
// RENDER's errors, from the extension's first error code.
constexpr uint8_t kBadPictFormat = 0, kBadPicture = 1, kBadGlyphSet = 3;
// The resource kinds of resourceServerId for RENDER's ids.
constexpr uint8_t kKindPicture = kResourceScreenResource, kKindPixmap = kResourcePixmap,
                  kKindCursor = kResourceCursor, kKindDrawable = kResourceWindow;

constexpr uint8_t kMinorCreatePicture = 4, kMinorCreateCursor = 27, kMinorFreePicture = 7, kMinorFreeGlyphSet = 19,
                  kMinorCreateAnimCursor = 31, kMinorComposite = 8;
constexpr uint8_t kPictOpSrc = 1;

// The value-mask bits of CreatePicture and ChangePicture whose values are ids.
constexpr uint32_t kCPAlphaMap = 1, kCPClipMask = 6;

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// ----- Records -----------------------------------------------------------------------------

MetaScreen *screenOfPicture(const RenderPicture *picture) {
  if (picture->window) return picture->window->screen;
  if (picture->pixmap) return picture->pixmap->screen;
  return nullptr;
}

void freePictureRoutine(uint32_t, void *value) { renderReleasePicture(static_cast<RenderPicture *>(value)); }
void freeGlyphSetRoutine(uint32_t, void *value) { renderReleaseGlyphSet(static_cast<RenderGlyphSet *>(value)); }
MetaScreen *pictureScreenRoutine(void *value) { return screenOfPicture(static_cast<RenderPicture *>(value)); }
MetaScreen *glyphSetScreenRoutine(void *value) { return static_cast<RenderGlyphSet *>(value)->metaScreen; }
void destroyPictureOnServer(void *value, Head *head, uint32_t serverId) {
  // Destroyed through the proxy's own connections: the release must not free it again.
  static_cast<RenderPicture *>(value)->goneOnServer = 1;
  if (head) renderXlibFreePicture(head->display, serverId);
}
bool carriesServerCopy(const Head *head, const MetaScreen *screen);
// Called for every head of the set's meta screen with the head's id of the set: the copy of each
// server goes once, through the head that carries it.
void destroyGlyphSetOnServer(void *value, Head *head, uint32_t serverId) {
  if (head && carriesServerCopy(head, static_cast<RenderGlyphSet *>(value)->metaScreen))
    renderXlibFreeGlyphSet(head->display, serverId);
}

// The routines of types 20 and 21, in place before the first record of either is added.
void installTypeRoutines() {
  ResourceTypeRoutines &pictures = resourceTypeRoutines[kResourcePicture];
  pictures.free = freePictureRoutine;
  pictures.destroyOnServer = destroyPictureOnServer;
  pictures.metaScreenOf = pictureScreenRoutine;
  ResourceTypeRoutines &glyphSets = resourceTypeRoutines[kResourceGlyphSet];
  glyphSets.free = freeGlyphSetRoutine;
  glyphSets.destroyOnServer = destroyGlyphSetOnServer;
  glyphSets.metaScreenOf = glyphSetScreenRoutine;
}

// ----- Per-head copies ---------------------------------------------------------------------

// Changes a copy for its head beyond the plain id fields.
using CopyPatch = void (*)(uint8_t *copy, uint32_t length, Head *head);

// One copy on every head of the meta screen (every head of every meta screen when screen is
// NULL), the id fields translated for the head, then the patch. BadAlloc 0 and 0 at the first
// copy that gets no room.
int copyToHeads(const uint8_t *request, uint32_t length, MetaScreen *screen, const XcoreIdField *fields,
                CopyPatch patch = nullptr) {
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *ms = screen ? screen : xscreenList; ms; ms = screen ? nullptr : ms->next)
    for (Head *head = ms->heads; head; head = head->next) {
      uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, fields) : nullptr;
      if (!copy) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        return 0;
      }
      if (patch) patch(copy, length, head);
    }
  return 1;
}

void translateAt(uint8_t *copy, uint32_t at, uint32_t kind, Head *head) {
  wirePut32(copy + at, resourceServerId(wireGet32(copy + at), kind, head));
}

void translateFormatAt(uint8_t *copy, uint32_t at, Head *head) {
  wirePut32(copy + at, renderPictFormatOnHead(wireGet32(copy + at), head));
}

// ----- Glyph sets: one copy per real server -------------------------------------------------

// Whether two heads are screens of one real server.
bool sameServer(const Head *a, const Head *b) {
  return a->serverDisplay || b->serverDisplay ? a->serverDisplay == b->serverDisplay : a->display == b->display;
}

// The heads that hold a glyph set are those of its meta screen (of every meta screen when it
// has none); the first of them on each real server carries that server's copy, under the id the
// set has on that head. NULL when none of them is on the head's server.
Head *carrierOnServer(const Head *head, const MetaScreen *screen) {
  for (const MetaScreen *ms = screen ? screen : xscreenList; ms; ms = screen ? nullptr : ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (sameServer(h, head)) return h;
  return nullptr;
}
bool carriesServerCopy(const Head *head, const MetaScreen *screen) { return carrierOnServer(head, screen) == head; }

// The id of a glyph set on the head's server (the head's own when no copy is there).
uint32_t glyphSetOnServer(uint32_t id, Head *head) {
  auto *glyphSet = static_cast<RenderGlyphSet *>(resourceLookupByType(id, kResourceGlyphSet));
  Head *carrier = glyphSet ? carrierOnServer(head, glyphSet->metaScreen) : nullptr;
  return resourceServerId(id, kKindPicture, carrier ? carrier : head);
}
void translateGlyphSetAt(uint8_t *copy, uint32_t at, Head *head) {
  wirePut32(copy + at, glyphSetOnServer(wireGet32(copy + at), head));
}

// One copy for each real server among the heads that hold the glyph set, patched for the head
// that carries it (the glyph-set ids are the patch's to translate). BadAlloc 0 and 0 at the
// first copy that gets no room.
int copyToServers(const uint8_t *request, uint32_t length, const MetaScreen *screen, CopyPatch patch) {
  DisplayConnection *connection = xcoreFrameConnection();
  for (const MetaScreen *ms = screen ? screen : xscreenList; ms; ms = screen ? nullptr : ms->next)
    for (Head *head = ms->heads; head; head = head->next) {
      if (!carriesServerCopy(head, screen)) continue;
      uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, nullptr) : nullptr;
      if (!copy) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        return 0;
      }
      patch(copy, length, head);
    }
  return 1;
}

void patchGlyphSetAt4(uint8_t *copy, uint32_t, Head *head) { translateGlyphSetAt(copy, 4, head); }
void patchCreateGlyphSet(uint8_t *copy, uint32_t, Head *head) {
  translateGlyphSetAt(copy, 4, head);
  translateFormatAt(copy, 8, head);
}
void patchReferenceGlyphSet(uint8_t *copy, uint32_t, Head *head) {
  translateGlyphSetAt(copy, 4, head);
  translateGlyphSetAt(copy, 8, head);
}

// The ids of a CreatePicture or ChangePicture value list (values from `start`, one word per bit
// of the mask at `maskAt`): the alpha map is a picture, the clip mask a pixmap.
void translateValues(uint8_t *copy, uint32_t length, uint32_t maskAt, uint32_t start, Head *head) {
  uint32_t mask = wireGet32(copy + maskAt);
  uint64_t at = start;
  for (uint32_t bit = 0; bit <= kCPClipMask && at + 4 <= length; bit++) {
    if (!(mask >> bit & 1)) continue;
    if (bit == kCPAlphaMap) translateAt(copy, uint32_t(at), kKindPicture, head);
    if (bit == kCPClipMask) translateAt(copy, uint32_t(at), kKindPixmap, head);
    at += 4;
  }
}

void patchCreatePicture(uint8_t *copy, uint32_t length, Head *head) {
  translateFormatAt(copy, 12, head);
  translateValues(copy, length, 16, 20, head);
}
void patchChangePicture(uint8_t *copy, uint32_t length, Head *head) { translateValues(copy, length, 8, 12, head); }
void patchMaskFormat(uint8_t *copy, uint32_t, Head *head) { translateFormatAt(copy, 16, head); }

// The glyph set at 20 and the glyph-set changes inside a CompositeGlyphs element list: an element
// of count 255 carries a glyph set in the word after its 8-byte head. Walked as the byte swapper
// walks it.
void patchGlyphElements(uint8_t *copy, uint32_t length, Head *head, uint32_t glyphSize) {
  translateFormatAt(copy, 16, head);
  translateGlyphSetAt(copy, 20, head);
  uint64_t at = 28;
  while (at + 8 < length) {
    uint32_t count = copy[at];
    at += 8;
    if (count == 255) {
      if (at + 4 <= length) translateGlyphSetAt(copy, uint32_t(at), head);
      at += 4;
    } else {
      at += pad4(uint64_t(count) * glyphSize);
    }
  }
}
void patchGlyphs8(uint8_t *copy, uint32_t length, Head *head) { patchGlyphElements(copy, length, head, 1); }
void patchGlyphs16(uint8_t *copy, uint32_t length, Head *head) { patchGlyphElements(copy, length, head, 2); }
void patchGlyphs32(uint8_t *copy, uint32_t length, Head *head) { patchGlyphElements(copy, length, head, 4); }

// CreateAnimCursor: the (cursor, delay) pairs from byte 8.
void patchAnimFrames(uint8_t *copy, uint32_t length, Head *head) {
  for (uint64_t at = 8; at + 8 <= length; at += 8) translateAt(copy, uint32_t(at), kKindCursor, head);
}

// ----- Resolving ids -----------------------------------------------------------------------

// The picture the id names (resolved for the client, so that its meta screen is the current
// one); BadPicture with the id and NULL when it names none.
RenderPicture *resolvePicture(uint32_t id, const uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  resourceCacheDrawable(client, id);
  auto *picture = static_cast<RenderPicture *>(resourceLookupByType(id, kResourcePicture));
  if (!picture) xprotoSendExtensionError(kBadPicture, id, request, length, nullptr);
  return picture;
}

RenderGlyphSet *resolveGlyphSet(uint32_t id, const uint8_t *request, uint32_t length) {
  resourceCacheDrawable(xproxyCurrentClient, id);
  auto *glyphSet = static_cast<RenderGlyphSet *>(resourceLookupByType(id, kResourceGlyphSet));
  if (!glyphSet) xprotoSendExtensionError(kBadGlyphSet, id, request, length, nullptr);
  return glyphSet;
}

// The heads that hold a picture: its drawable's meta screen, or (no drawable) every head.
MetaScreen *headsOfPicture(const RenderPicture *picture) { return picture->format ? screenOfPicture(picture) : nullptr; }

RenderPictFormat *lookupFormat(uint32_t id) {
  return static_cast<RenderPictFormat *>(resourceLookupByType(id, kResourceRenderFormat));
}

// ----- Requests ----------------------------------------------------------------------------

constexpr XcoreIdField kPictureAt4[] = {{4, kKindPicture}, {0, 0}};
constexpr XcoreIdField kCreatePictureIds[] = {{4, kKindPicture}, {8, kKindDrawable}, {0, 0}};
constexpr XcoreIdField kCompositeIds[] = {{8, kKindPicture}, {12, kKindPicture}, {16, kKindPicture}, {0, 0}};
constexpr XcoreIdField kSourceDestAt4[] = {{4, kKindPicture}, {8, kKindPicture}, {0, 0}};
constexpr XcoreIdField kSourceDestAt8[] = {{8, kKindPicture}, {12, kKindPicture}, {0, 0}};
constexpr XcoreIdField kGlyphsIds[] = {{8, kKindPicture}, {12, kKindPicture}, {0, 0}};
constexpr XcoreIdField kDestAt8[] = {{8, kKindPicture}, {0, 0}};
constexpr XcoreIdField kCursorAt4[] = {{4, kKindCursor}, {0, 0}};
constexpr XcoreIdField kCursorAndPicture[] = {{4, kKindCursor}, {8, kKindPicture}, {0, 0}};

void createPictureShared(uint8_t *request, uint32_t length, const char *shareFailure);

void createPicture(uint8_t *request, uint32_t length, uint8_t *) {
  // The first picture of another client on a pixmap copies it once the client's drawing has
  // reached the servers (proxy/resource.h): the client waits for that, parked.
  const PixmapRecord *pixmap = resourceLookupPixmap(wireGet32(request + 8));
  if (pixmap && xproxyCurrentClient && resourceShareMakesCopies(pixmap, wireGet32(request + 4)))
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, createPictureShared);
  createPictureShared(request, length, nullptr);
}

// CreatePicture once the client's earlier requests have reached the servers (at once when it
// shares no pixmap); the drawable looked up again.
void createPictureShared(uint8_t *request, uint32_t length, const char *shareFailure) {
  uint32_t id = wireGet32(request + 4), drawable = wireGet32(request + 8), formatId = wireGet32(request + 12);
  ClientConnection *client = xproxyCurrentClient;
  resourceCacheDrawable(client, drawable);
  if (!xcoreFrameNewId(id, request, length)) return;
  RenderPicture *picture = renderNewPicture(id);
  if (!picture) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  picture->format = lookupFormat(formatId);
  if (!picture->format) {
    free(picture);
    return xprotoSendExtensionError(kBadPictFormat, formatId, request, length, nullptr);
  }
  void *value = nullptr;
  ResourceType type = resourceLookupIdType(drawable, &value);
  MetaScreen *screen = nullptr;
  if (type == kResourcePixmap && value) {
    picture->pixmap = static_cast<PixmapRecord *>(value);
    resourceSharePixmap(picture->pixmap, id, shareFailure);
    screen = picture->pixmap->screen;
  } else if (type == kResourceWindow && value) {
    picture->window = static_cast<WindowRecord *>(value);
    circListPushBack(&picture->window->renderPictures, picture);
    screen = picture->window->screen;
  } else {
    free(picture);
    return xprotoSendError(kBadDrawable, drawable, request, length, nullptr);
  }
  if (!resourceAdd(id, kResourcePicture, picture)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  copyToHeads(request, length, screen, kCreatePictureIds, patchCreatePicture);
}

void changePicture(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *picture = resolvePicture(wireGet32(request + 4), request, length);
  if (picture) copyToHeads(request, length, headsOfPicture(picture), kPictureAt4, patchChangePicture);
}

// SetPictureClipRectangles, SetPictureTransform, SetPictureFilter and AddTraps: the picture at 4.
void onPicture(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *picture = resolvePicture(wireGet32(request + 4), request, length);
  if (picture) copyToHeads(request, length, headsOfPicture(picture), kPictureAt4);
}

void freePicture(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  // Only a picture: any other record of the id (a window, a pixmap) stays.
  if (!resourceLookupByType(id, kResourcePicture))
    return xprotoSendExtensionError(kBadPicture, id, request, length, nullptr);
  resourceFree(id, 0);  // the release writes the copies
}

void composite(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *destination = resolvePicture(wireGet32(request + 16), request, length);
  if (destination) copyToHeads(request, length, headsOfPicture(destination), kCompositeIds);
}

void scale(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *destination = resolvePicture(wireGet32(request + 8), request, length);
  if (destination) copyToHeads(request, length, headsOfPicture(destination), kSourceDestAt4);
}

// A mask format (at 16; 0 for none) must be one of the table: any other id would reach whatever
// the real server holds under it, another format or one without alpha. BadPictFormat and false
// otherwise.
bool checkMaskFormat(const uint8_t *request, uint32_t length) {
  uint32_t format = wireGet32(request + 16);
  if (!format || lookupFormat(format)) return true;
  xprotoSendExtensionError(kBadPictFormat, format, request, length, nullptr);
  return false;
}

// Trapezoids, Triangles, TriStrip and TriFan.
void trapezoids(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *destination = resolvePicture(wireGet32(request + 12), request, length);
  if (destination && checkMaskFormat(request, length))
    copyToHeads(request, length, headsOfPicture(destination), kSourceDestAt8, patchMaskFormat);
}

void fillRectangles(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *destination = resolvePicture(wireGet32(request + 8), request, length);
  if (destination) copyToHeads(request, length, headsOfPicture(destination), kDestAt8);
}

void compositeGlyphs(uint8_t *request, uint32_t length, uint8_t *) {
  RenderPicture *destination = resolvePicture(wireGet32(request + 12), request, length);
  if (!destination) return;
  MetaScreen *heads = headsOfPicture(destination);
  if (!checkMaskFormat(request, length) || !resolveGlyphSet(wireGet32(request + 20), request, length)) return;
  CopyPatch patch = request[1] == 23 ? patchGlyphs8 : request[1] == 24 ? patchGlyphs16 : patchGlyphs32;
  copyToHeads(request, length, heads, kGlyphsIds, patch);
}

void notImplemented(uint8_t *request, uint32_t length, uint8_t *) {
  xprotoSendError(kBadImplementation, request[1], request, length, nullptr);
}

void createGlyphSet(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4), formatId = wireGet32(request + 8);
  if (!xcoreFrameNewId(id, request, length)) return;
  RenderPictFormat *format = lookupFormat(formatId);
  if (!format) return xprotoSendExtensionError(kBadPictFormat, formatId, request, length, nullptr);
  auto *glyphSet = static_cast<RenderGlyphSet *>(calloc(1, sizeof(RenderGlyphSet)));
  if (!glyphSet) {
    LOG_OUT_OF_MEMORY();
    return xprotoSendError(kBadAlloc, 12, request, length, nullptr);
  }
  glyphSet->metaScreen = renderFormatMetaScreen(format);
  glyphSet->format = format;
  installTypeRoutines();
  if (!resourceAdd(id, kResourceGlyphSet, glyphSet)) return xprotoSendError(kBadAlloc, 12, request, length, nullptr);
  copyToServers(request, length, glyphSet->metaScreen, patchCreateGlyphSet);
}

void referenceGlyphSet(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4), existing = wireGet32(request + 8);
  RenderGlyphSet *glyphSet = resolveGlyphSet(existing, request, length);
  if (!glyphSet || !xcoreFrameNewId(id, request, length)) return;
  glyphSet->refCount++;  // a failed add gives it back through the free routine
  if (!resourceAdd(id, kResourceGlyphSet, glyphSet)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  copyToServers(request, length, glyphSet->metaScreen, patchReferenceGlyphSet);
}

void freeGlyphSet(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  RenderGlyphSet *glyphSet = resolveGlyphSet(id, request, length);
  if (!glyphSet) return;
  copyToServers(request, length, glyphSet->metaScreen, patchGlyphSetAt4);
  resourceFree(id, 0);
}

// AddGlyphs and FreeGlyphs: once to each server that holds the glyph set.
void onGlyphSet(uint8_t *request, uint32_t length, uint8_t *) {
  RenderGlyphSet *glyphSet = resolveGlyphSet(wireGet32(request + 4), request, length);
  if (glyphSet) copyToServers(request, length, glyphSet->metaScreen, patchGlyphSetAt4);
}

// A drawable of the pixmap's size and depth on the head read through the proxy's own connection,
// as a client's image of the pixmap: a bounded query (the sync limit), so that a server that
// holds the connection back costs its client the cursor's image, not the loop its time. NULL
// (logged) on failure.
XImage *readHeadImage(Head *head, uint32_t drawable, const PixmapRecord *pixmap) {
  Display *display = head ? head->display : nullptr;
  if (!display || !pixmap->width || !pixmap->height) return nullptr;
  XImage *got = nullptr;
  if (const char *failure = ximageGetImageWithin(display, drawable, 0, 0, pixmap->width, pixmap->height, AllPlanes,
                                                 ZPixmap, xproxySyncWaitLimitMs, &got))
    LOG(logChannelXhint, "GetImage(display=%s pixmap=0x%x) failed: %s", head->name, unsigned(pixmap->id), failure);
  if (!got) return nullptr;
  XImage *result = mainCreateHeadImage(head, got, 0, 0, int(pixmap->width), int(pixmap->height), pixmap->visual,
                                       pixmap->depth);
  XDestroyImage(got);
  return result;
}

// The pixels of a picture on the head once its client has freed the pixmap under it (a cursor
// library frees it before CreateCursor; the id may name another pixmap since): composed into a
// pixmap of the proxy's own connection and read from there. NULL (logged) on failure.
XImage *readPictureImage(const RenderPicture *picture, Head *head) {
  Display *display = head ? head->display : nullptr;
  ExtensionRecord *record = proxyState.ext.render;
  const PixmapRecord *pixmap = picture->pixmap;
  if (!display || !record || !pixmap->width || !pixmap->height) return nullptr;
  XtargetErrorTrap trap(display);
  Pixmap target = XCreatePixmap(display, head->root, pixmap->width, pixmap->height, picture->format->depth);
  auto put32 = [](unsigned char *at, uint32_t value) { memcpy(at, &value, 4); };
  auto put16 = [](unsigned char *at, uint16_t value) { memcpy(at, &value, 2); };
  LockDisplay(display);  // (Xlib has the next id ready only under its lock)
  auto targetPicture = uint32_t(XAllocID(display));
  unsigned char *create = xutilBeginRequest(display, record->majorOpcode, kMinorCreatePicture, 20);
  put32(create + 4, targetPicture);
  put32(create + 8, uint32_t(target));
  put32(create + 12, renderPictFormatOnHead(picture->format->id, head));
  unsigned char *composite = xutilBeginRequest(display, record->majorOpcode, kMinorComposite, 36);
  composite[4] = kPictOpSrc;
  put32(composite + 8, resourceServerId(picture->id, kKindPicture, head));
  put32(composite + 16, targetPicture);
  put16(composite + 32, pixmap->width);
  put16(composite + 34, pixmap->height);
  unsigned char *release = xutilBeginRequest(display, record->majorOpcode, kMinorFreePicture, 8);
  put32(release + 4, targetPicture);
  UnlockDisplay(display);
  XImage *image = readHeadImage(head, uint32_t(target), pixmap);
  XFreePixmap(display, target);
  if (trap.errorCame() && image) {
    LOG(logChannelXhint, "Reading picture 0x%x on display %s failed", unsigned(picture->id), head->name);
    XDestroyImage(image);
    image = nullptr;
  }
  return image;
}

// The image of a picture made on a pixmap into the cursor record (read from the primary head of
// the pixmap's meta screen once the client's drawing has reached it); 0 when there is none.
int readCursorImage(CursorRecord *cursor, const RenderPicture *picture, const uint8_t *request) {
  PixmapRecord *pixmap = picture->pixmap;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!pixmap || !connection || !pixmap->screen || !cursor->imageCount) return 0;
  Head *head = pixmap->screen->primaryHead ? pixmap->screen->primaryHead : pixmap->screen->heads;
  XImage *image = pixmap->ownerCopiesValid
                     ? readHeadImage(head, resourceServerId(pixmap->id, kResourcePixmap, head), pixmap)
                     : readPictureImage(picture, head);
  if (!image) return 0;
  uint64_t bytes = uint64_t(image->bytes_per_line) * uint64_t(image->height);
  if (image->format == XYPixmap) bytes *= uint64_t(image->depth);
  XrcImage target{};
  target.width = uint16_t(image->width);
  target.height = uint16_t(image->height);
  target.depth = picture->format->depth;
  target.format = uint8_t(image->format);
  target.byteOrder = uint8_t(image->byte_order);
  target.bitOrder = uint8_t(image->bitmap_bit_order);
  target.bitmapPad = uint8_t(image->bitmap_pad);
  // The record's image holds whole pixels of the format's depth, rows unpadded (32-bit ARGB):
  // any other layout is left to the real servers, which make the cursor from the picture.
  if (image->depth != picture->format->depth || !bytes || bytes != xrcImageDataSize(&target)) {
    XDestroyImage(image);
    return 0;
  }
  char *data = static_cast<char *>(malloc(bytes));
  if (data) memcpy(data, image->data, bytes);
  cursor->images[0] = target;
  XrcImage &stored = cursor->images[0];
  stored.data = data;
  stored.mask = nullptr;
  cursor->xHot = wireGet16(request + 12);
  cursor->yHot = wireGet16(request + 14);
  cursor->pictFormat = picture->format->id;
  XDestroyImage(image);
  if (!data) LOG_OUT_OF_MEMORY();
  return data != nullptr;
}

void createCursorSynced(uint8_t *request, uint32_t length, const char *failure);

void createCursor(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4), pictureId = wireGet32(request + 8);
  auto *picture = static_cast<RenderPicture *>(resourceLookupByType(pictureId, kResourcePicture));
  if (!picture || !picture->format)
    return xprotoSendExtensionError(kBadPicture, pictureId, request, length, nullptr);
  if (!xcoreFrameNewId(id, request, length)) return;
  // A picture on a pixmap is read back once the client's drawing has reached the server: the
  // client waits for that, parked, while the others are served.
  DisplayConnection *connection = xcoreFrameConnection();
  if (picture->pixmap && picture->pixmap->screen && connection)
    return xproxyParkClient(xproxyCurrentClient, connection, request, length, createCursorSynced);
  createCursorSynced(request, length, nullptr);
}

void createCursorSynced(uint8_t *request, uint32_t length, const char *failure) {
  uint32_t id = wireGet32(request + 4), pictureId = wireGet32(request + 8);
  // Looked up again: another client may have freed the picture meanwhile.
  auto *picture = static_cast<RenderPicture *>(resourceLookupByType(pictureId, kResourcePicture));
  if (!picture || !picture->format)
    return xprotoSendExtensionError(kBadPicture, pictureId, request, length, nullptr);
  CursorRecord *cursor = resourceCreateCursor(id, 1);
  if (!cursor) return xprotoSendError(kBadAlloc, 64, request, length, nullptr);
  if (failure) LOG(logChannelProblem, "%s", failure);
  if (failure || !readCursorImage(cursor, picture, request)) {
    // No image to build from (a picture made on a window): every head makes the cursor from
    // the picture itself, as the client asked.
    copyToHeads(request, length, nullptr, kCursorAndPicture);
    return;
  }
  ClientConnection *client = xproxyCurrentClient;
  DisplayConnection *connection = xcoreFrameConnection();
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *head = ms->heads; head; head = head->next)
      if (!connection || !mainCreateCursorOnHead(cursor, client, &connection->reader.sink,
                                                 resourceServerId(id, kKindCursor, head), head))
        return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
}

void createAnimCursor(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameNewId(id, request, length)) return;
  for (uint64_t at = 8; at + 8 <= length; at += 8) {
    uint32_t frame = wireGet32(request + at);
    if (!resourceLookupByType(frame, kResourceCursor)) return xprotoSendError(kBadCursor, frame, request, length, nullptr);
  }
  CursorRecord *cursor = resourceCreateCursor(id, 0);
  if (!cursor) return xprotoSendError(kBadAlloc, 64, request, length, nullptr);
  // The frames are kept (each frame's record referenced), so that the cursor can be built
  // again on a head when its id is gone (a pointer grab that holds it follows the pointer).
  uint32_t count = (length - 8) / 8;
  cursor->frames = count ? static_cast<CursorFrame *>(calloc(count, sizeof(CursorFrame))) : nullptr;
  if (count && !cursor->frames) LOG_OUT_OF_MEMORY();
  for (uint32_t k = 0; cursor->frames && k < count; k++) {
    auto *frame = static_cast<CursorRecord *>(resourceLookupByType(wireGet32(request + 8 + 8 * k), kResourceCursor));
    frame->refCount++;
    cursor->frames[k] = CursorFrame{frame, wireGet32(request + 12 + 8 * k)};
    cursor->frameCount = k + 1;
  }
  copyToHeads(request, length, nullptr, kCursorAt4, patchAnimFrames);
}

// A picture without drawable or format, on every head: CreateSolidFill and the gradients.
void createSource(uint8_t *request, uint32_t length) {
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameNewId(id, request, length)) return;
  RenderPicture *picture = renderNewPicture(id);
  if (!picture) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (!resourceAdd(id, kResourcePicture, picture)) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  copyToHeads(request, length, nullptr, kPictureAt4);
}

void createSolidFill(uint8_t *request, uint32_t length, uint8_t *) { createSource(request, length); }

// The gradients: nStops stops (32 bits each) and as many colours (four 16-bit channels) follow
// the fixed part, exactly; the frame has swapped the fixed part only.
void createGradient(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t fixed = request[1] == 34 ? 28 : request[1] == 35 ? 36 : 24;
  uint64_t stops = wireGet32(request + fixed - 4);
  if (!xcoreFrameCheckLength(request, length, fixed + 12 * stops)) return;
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->reader.swapped) {
    uint8_t *end = request + length;
    byteswapInts(request + fixed, end, stops);
    byteswapShorts(request + fixed + 4 * stops, end, 4 * stops);
  }
  createSource(request, length);
}

// ----- The rows ----------------------------------------------------------------------------

constexpr ExtServed kPerHead = ExtServed::PerHead, kLocal = ExtServed::Local;
constexpr ExtReplyKind kNone = ExtReplyKind::NoReply;

constexpr ExtRequestRow kRows[] = {
    {4, "RenderCreatePicture", 20, 4, "bbsI", kPerHead, createPicture, nullptr, kNone, nullptr, 16},
    {5, "RenderChangePicture", 12, 4, "bbsI", kPerHead, changePicture, nullptr, kNone, nullptr, 8},
    {6, "RenderSetPictureClipRectangles", 12, 8, "bbsiS", kPerHead, onPicture, nullptr, kNone, nullptr},
    {7, "RenderFreePicture", 8, 0, "bbsi", kLocal, freePicture, nullptr, kNone, nullptr},
    {8, "RenderComposite", 36, 0, "bbsbbsiiiS", kPerHead, composite, nullptr, kNone, nullptr},
    {9, "RenderScale", 32, 0, "bbsiiiiS", kPerHead, scale, nullptr, kNone, nullptr},
    {10, "RenderTrapezoids", 24, 4, "bbsbbsiiissI", kPerHead, trapezoids, nullptr, kNone, nullptr},
    {11, "RenderTriangles", 24, 4, "bbsbbsiiissI", kPerHead, trapezoids, nullptr, kNone, nullptr},
    {12, "RenderTriStrip", 24, 4, "bbsbbsiiissI", kPerHead, trapezoids, nullptr, kNone, nullptr},
    {13, "RenderTriFan", 24, 4, "bbsbbsiiissI", kPerHead, trapezoids, nullptr, kNone, nullptr},
    {14, "RenderColorTrapezoids", 4, 4, "bbs", kLocal, notImplemented, nullptr, kNone, nullptr},
    {15, "RenderColorTriangles", 4, 4, "bbs", kLocal, notImplemented, nullptr, kNone, nullptr},
    {17, "RenderCreateGlyphSet", 12, 0, "bbsii", kPerHead, createGlyphSet, nullptr, kNone, nullptr},
    {18, "RenderReferenceGlyphSet", 12, 0, "bbsii", kPerHead, referenceGlyphSet, nullptr, kNone, nullptr},
    {19, "RenderFreeGlyphSet", 8, 0, "bbsi", kPerHead, freeGlyphSet, nullptr, kNone, nullptr},
    {20, "RenderAddGlyphs", 12, 4, "H25", kPerHead, onGlyphSet, nullptr, kNone, nullptr},
    {21, "RenderAddGlyphsFromPicture", 4, 4, "bbs", kLocal, notImplemented, nullptr, kNone, nullptr},
    {22, "RenderFreeGlyphs", 8, 4, "bbsI", kPerHead, onGlyphSet, nullptr, kNone, nullptr},
    {23, "RenderCompositeGlyphs8", 28, 4, "H27", kPerHead, compositeGlyphs, nullptr, kNone, nullptr},
    {24, "RenderCompositeGlyphs16", 28, 4, "H28", kPerHead, compositeGlyphs, nullptr, kNone, nullptr},
    {25, "RenderCompositeGlyphs32", 28, 4, "H29", kPerHead, compositeGlyphs, nullptr, kNone, nullptr},
    {26, "RenderFillRectangles", 20, 8, "bbsbbsiS", kPerHead, fillRectangles, nullptr, kNone, nullptr},
    {27, "RenderCreateCursor", 16, 0, "bbsiiss", kPerHead, createCursor, nullptr, kNone, nullptr},
    {28, "RenderSetPictureTransform", 44, 0, "bbsI", kPerHead, onPicture, nullptr, kNone, nullptr},
    {30, "RenderSetPictureFilter", 12, 4, "H26", kPerHead, onPicture, nullptr, kNone, nullptr},
    {31, "RenderCreateAnimCursor", 8, 8, "bbsI", kPerHead, createAnimCursor, nullptr, kNone, nullptr},
    {32, "RenderAddTraps", 12, 24, "bbsissI", kPerHead, onPicture, nullptr, kNone, nullptr},
    {33, "RenderCreateSolidFill", 16, 0, "bbsissss", kPerHead, createSolidFill, nullptr, kNone, nullptr},
    {34, "RenderCreateLinearGradient", 28, 4, "bbsiiiiii", kPerHead, createGradient, nullptr, kNone, nullptr},
    {35, "RenderCreateRadialGradient", 36, 4, "bbsiiiiiiii", kPerHead, createGradient, nullptr, kNone, nullptr},
    {36, "RenderCreateConicalGradient", 24, 4, "bbsiiiii", kPerHead, createGradient, nullptr, kNone, nullptr},
};

// ----- Errors from the real servers --------------------------------------------------------

// The client's sequence and major opcode, the bad value mapped back to the client's id when
// `mapId`, a log line, and the error queued in the client's output in request order.
void forwardError(uint8_t *error, const char *format, bool mapId) {
  DisplayConnection *connection = extEnterMessage(error);
  if (!connection) {
    LOG_UNE();
    return;
  }
  error[10] = xproxyMapMajorOpcode(error[10]);
  if (mapId) wirePut32(error + 4, mainServerToProxyXid(wireGet32(error + 4), connection->display));
  xprotoLogXError(error, format, wireGet32(error + 4));
  mainQueueEventForClient(error, "bbsis");
}

}  // namespace

// ===== picture rows =====
const ExtRequestRow *renderPictureRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRows)
    if (row.minor == minor) return &row;
  return nullptr;
}

void renderBadPictFormatError(uint8_t *error) { forwardError(error, "BadPictFormat 0x%x", false); }
void renderBadPictureError(uint8_t *error) { forwardError(error, "BadPicture 0x%x", true); }
void renderBadPictOpError(uint8_t *error) { forwardError(error, "BadPictOp %u", false); }
// The glyph set is a client resource as much as a picture: the client gets its own id back.
void renderBadGlyphSetError(uint8_t *error) { forwardError(error, "BadGlyphSet 0x%x", true); }
void renderBadGlyphError(uint8_t *error) { forwardError(error, "BadGlyph 0x%x", false); }

const char *renderWriteErrorRows(ExtensionRecord *record) {
  static const struct {
    ErrorHandler printer;
    const char *name;
  } rows[] = {
      {renderBadPictFormatError, "BadPictFormat"}, {renderBadPictureError, "BadPicture"},
      {renderBadPictOpError, "BadPictOp"},         {renderBadGlyphSetError, "BadGlyphSet"},
      {renderBadGlyphError, "BadGlyph"},
  };
  for (const auto &row : rows)
    if (const char *error = extAddErrorRow(record, row.printer, row.name)) return error;
  installTypeRoutines();
  return nullptr;
}
// ===== end of picture rows =====

// ===== pictures and glyph sets =====
RenderPicture *renderNewPicture(uint32_t id) {
  installTypeRoutines();
  auto *picture = static_cast<RenderPicture *>(calloc(1, sizeof(RenderPicture)));
  if (!picture) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  picture->id = id;
  return picture;
}

void renderReleasePicture(RenderPicture *picture) {
  if (!picture) return;
  if (picture->refCount > 0) {
    picture->refCount--;
    return;
  }
  ClientConnection *client = xproxyCurrentClient;
  DisplayConnection *connection = client && client->displayCount ? client->displays[0] : nullptr;
  if (connection && !picture->goneOnServer) {
    MetaScreen *own = picture->format ? screenOfPicture(picture) : nullptr;
    for (MetaScreen *ms = xscreenList; ms; ms = ms->next) {
      if (picture->format && ms != own) continue;
      for (Head *head = ms->heads; head; head = head->next)
        renderSendFreePicture(&connection->reader.sink, resourceServerId(picture->id, kKindPicture, head));
    }
  }
  if (picture->window) circListUnlink(&picture->window->renderPictures, picture);
  if (picture->pixmap) resourceFreePixmap(picture->pixmap, 0);
  free(picture);
}

void renderReleaseGlyphSet(RenderGlyphSet *glyphSet) {
  if (!glyphSet) return;
  if (glyphSet->refCount > 0) {
    glyphSet->refCount--;
    return;
  }
  free(glyphSet);
}

void renderFreeWindowPictures(WindowRecord *window) {
  // The real servers free them with the window: a FreePicture now would only earn an error.
  while (RenderPicture *picture = window ? window->renderPictures : nullptr) {
    circListUnlink(&window->renderPictures, picture);
    picture->window = nullptr;
    picture->goneOnServer = 1;
    // A picture someone still holds stays as a record without drawable.
    if (resourceLookupByType(picture->id, kResourcePicture) == picture) resourceFree(picture->id, 0);
  }
}

namespace {
void xlibWriteOneId(Display *display, uint8_t minor, uint32_t id) {
  ExtensionRecord *record = proxyState.ext.render;
  if (!display || !record) return;
  LockDisplay(display);
  unsigned char *request = xutilBeginRequest(display, record->majorOpcode, minor, 8);
  memcpy(request + 4, &id, 4);
  UnlockDisplay(display);
  if (display->synchandler) (*display->synchandler)(display);
}
}  // namespace

void renderXlibFreePicture(Display *display, uint32_t picture) { xlibWriteOneId(display, kMinorFreePicture, picture); }
void renderXlibFreeGlyphSet(Display *display, uint32_t glyphSet) {
  xlibWriteOneId(display, kMinorFreeGlyphSet, glyphSet);
}
// ===== end of pictures and glyph sets =====

// ===== request writers =====
namespace {
// The request's start in the sink's output, minor and length written; NULL without the RENDER
// record or room.
uint8_t *beginRender(const RequestSink *sink, uint8_t minor, uint32_t length) {
  ExtensionRecord *record = proxyState.ext.render;
  if (!record || !sink || !sink->begin) return nullptr;
  return sink->begin(sink->context, record->majorOpcode, minor, length);
}
}  // namespace

int renderSendCreatePicture(const RequestSink *sink, uint32_t picture, uint32_t drawable, uint32_t format) {
  uint8_t *request = beginRender(sink, kMinorCreatePicture, 20);
  if (!request) return 0;
  wirePut32(request + 4, picture);
  wirePut32(request + 8, drawable);
  wirePut32(request + 12, format);
  wirePut32(request + 16, 0);
  return 1;
}

int renderSendCreateCursor(const RequestSink *sink, uint32_t cursor, uint32_t picture, uint16_t x, uint16_t y) {
  uint8_t *request = beginRender(sink, kMinorCreateCursor, 16);
  if (!request) return 0;
  wirePut32(request + 4, cursor);
  wirePut32(request + 8, picture);
  wirePut16(request + 12, x);
  wirePut16(request + 14, y);
  return 1;
}

int renderSendFreePicture(const RequestSink *sink, uint32_t picture) {
  uint8_t *request = beginRender(sink, kMinorFreePicture, 8);
  if (!request) return 0;
  wirePut32(request + 4, picture);
  return 1;
}

int renderSendCreateAnimCursor(const RequestSink *sink, uint32_t cursor, const uint32_t *frames, uint32_t count) {
  uint64_t length = 8 + 8 * uint64_t(count);
  if (length > 0xffffffffu || (count && !frames)) return 0;
  uint8_t *request = beginRender(sink, kMinorCreateAnimCursor, uint32_t(length));
  if (!request) return 0;
  wirePut32(request + 4, cursor);
  for (uint32_t k = 0; k < 2 * count; k++) wirePut32(request + 8 + 4 * k, frames[k]);
  return 1;
}
// ===== end of request writers =====
