// The resource database: per-slot hash tables, records of pixmaps, cursors, fonts and GCs, and
// the id mapping between clients and the heads' real servers.
#include "proxy/resource.h"

#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <vector>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/window.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xclient/xcolor.h"
#include "xclient/xtarget.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xrclibcursors.h"

ResourceTypeRoutines resourceTypeRoutines[kResourceTypeCount];

namespace {

ClientResourceTable &table(uint32_t index) { return proxyState.resourceTables[index]; }

// The slot an id belongs to; kResourceClientSlots (no table) for ids beyond the tables.
uint32_t slotOf(uint32_t id) {
  uint64_t index = uint64_t(id) >> resourceIdShift();
  return index < kResourceClientSlots ? uint32_t(index) : kResourceClientSlots;
}

uint32_t currentIndex() { return xproxyCurrentClient ? xproxyCurrentClient->index : 0; }

// The bucket array for 2^bits chains, all empty; NULL when out of memory.
ResourceRecord **newBuckets(uint32_t bits) {
  return static_cast<ResourceRecord **>(calloc(size_t{1} << bits, sizeof(ResourceRecord *)));
}

// Doubles the slot's buckets, rehashing every chain in order (so that records of one id keep
// their newest-first order). Out of memory leaves the table as it was.
void growBuckets(uint32_t index) {
  ClientResourceTable &t = table(index);
  ResourceRecord **grown = newBuckets(t.hashBits + 1);
  if (!grown) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  ResourceRecord **old = t.buckets;
  uint32_t oldCount = t.bucketCount;
  t.buckets = grown;
  t.hashBits++;
  t.bucketCount = 1u << t.hashBits;
  // Appending at each new chain's tail keeps the relative order of the old chains.
  auto **tails = static_cast<ResourceRecord ***>(malloc(sizeof(ResourceRecord **) * t.bucketCount));
  if (!tails) {
    free(grown);
    t.buckets = old;
    t.hashBits--;
    t.bucketCount = oldCount;
    LOG_OUT_OF_MEMORY();
    return;
  }
  for (uint32_t b = 0; b < t.bucketCount; b++) tails[b] = &grown[b];
  for (uint32_t b = 0; b < oldCount; b++) {
    for (ResourceRecord *r = old[b], *next; r; r = next) {
      next = r->next;
      uint32_t h = resourceHash(index, r->id);
      r->next = nullptr;
      *tails[h] = r;
      tails[h] = &r->next;
    }
  }
  free(tails);
  free(old);
}

// Empties a slot record by record: each record leaves its chain before its free routine runs,
// and the walk takes the chain's head again afterwards, because a routine may free further
// records of the slot (a window's children, say).
void freeEverything(uint32_t index) {
  ClientResourceTable &t = table(index);
  for (uint32_t b = 0; t.buckets && b < t.bucketCount; b++) {
    while (t.buckets && b < t.bucketCount && t.buckets[b]) {
      ResourceRecord *r = t.buckets[b];
      t.buckets[b] = r->next;
      t.elements--;
      resourceFreeByType(r->type, r->id, r->value);
      free(r);
    }
  }
}

// Frees a slot's resources with no current client, its buckets, and clears its bases.
void freeSlot(uint32_t index) {
  ClientResourceTable &t = table(index);
  if (t.bucketCount == 0) return;
  ClientConnection *current = xproxyCurrentClient;
  xproxyCurrentClient = nullptr;
  freeEverything(index);
  xproxyCurrentClient = current;
  free(t.buckets);
  t.buckets = nullptr;
  t.bucketCount = 0;
  t.hashBits = 0;
  t.elements = 0;
  memset(t.idBaseSet, 0, sizeof t.idBaseSet);
  if (t.idBases) memset(t.idBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
  if (t.fontIdBases) memset(t.fontIdBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
  for (PixmapRecord *p = proxyState.orphanPixmaps; p; p = p->next)
    if (slotOf(p->id) == index) p->ownerCopiesValid = 0;
}

bool idIsUsed(uint32_t id) { return resourceLookupAny(id) || resourceFindOrphanPixmap(id); }

uint32_t globalServerSideCounter = 0;

// The server side of a pixmap at its last reference: the owner's pixmaps on every head (while
// its raw connections hold them) and the proxy's Xlib copies.
void freeServerPixmaps(PixmapRecord *pixmap) {
  ClientConnection *c = xproxyCurrentClient;
  if (pixmap->ownerCopiesValid && pixmap->screen && c && c->displayCount > 0 && c->displays[0]) {
    for (Head *h = pixmap->screen->heads; h; h = h->next) {
      uint32_t serverId = resourceServerId(pixmap->id, kResourcePixmap, h);
      uint8_t *request = xproxyBeginRequest(c->displays[0], 54, 0, 8);  // FreePixmap
      if (request) memcpy(request + 4, &serverId, 4);
    }
  }
  while (PixmapCopy *copy = pixmap->copies) {
    if (copy->head && copy->head->display) {
      XFreePixmap(copy->head->display, copy->pixmap);
      XFlush(copy->head->display);
    }
    circListUnlink(&pixmap->copies, copy);
    free(copy);
  }
}

void freeGC(GCRecord *gc) {
  if (gc->tile) resourceFreePixmap(gc->tile, 0);
  if (gc->stipple) resourceFreePixmap(gc->stipple, 0);
  if (gc->clipMask) resourceFreePixmap(gc->clipMask, 0);
  if (gc->font) resourceReleaseFont(gc->font, 0);
  free(gc);
}

}  // namespace

uint32_t resourceIdMask() { return proxyState.idMask; }
uint32_t resourceIdShift() { return proxyState.idShift; }

ClientResourceTable *resourceTableOf(uint32_t index) {
  if (index >= kResourceClientSlots || table(index).bucketCount == 0) return nullptr;
  return &table(index);
}

int resourceInitClient(uint32_t index) {
  if (index >= kResourceClientSlots) return 0;
  ClientResourceTable &t = table(index);
  if (index != 0) {
    if (!t.idBases) t.idBases = static_cast<uint32_t *>(calloc(kResourceIdTableHeads, sizeof(uint32_t)));
    if (!t.fontIdBases) t.fontIdBases = static_cast<uint32_t *>(calloc(kResourceIdTableHeads, sizeof(uint32_t)));
    if (!t.idBases || !t.fontIdBases) {
      LOG_OUT_OF_MEMORY();
      return 0;
    }
    memset(t.idBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
    memset(t.fontIdBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
  }
  memset(t.idBaseSet, 0, sizeof t.idBaseSet);
  t.closeDownMode = 0;
  t.serverIdCounter = resourceIdMask();
  if (t.bucketCount == 0) {
    ResourceRecord **buckets = newBuckets(kResourceFirstHashBits);
    if (!buckets) {
      LOG_OUT_OF_MEMORY();
      return 0;
    }
    t.buckets = buckets;
    t.bucketCount = 1u << kResourceFirstHashBits;
    t.hashBits = kResourceFirstHashBits;
    t.elements = 0;
  }
  return 1;
}

uint32_t resourceHash(uint32_t index, uint32_t id) {
  uint32_t m = id & resourceIdMask();
  switch (index < kResourceClientSlots ? table(index).hashBits : 0) {
    case 6: return ((m >> 6) ^ m ^ (m >> 12)) & 63;
    case 7: return ((m >> 7) ^ m ^ (m >> 13)) & 127;
    case 8: return ((m >> 8) ^ m ^ (m >> 16)) & 255;
    case 9: return ((m >> 9) ^ m) & 0x1ff;
    case 10: return ((m >> 10) ^ m) & 0x3ff;
    case 11: return ((m >> 11) ^ m) & 0x7ff;
    default: return 0;
  }
}

int resourceAdd(uint32_t id, ResourceType type, void *value) {
  uint32_t index = slotOf(id);
  ClientResourceTable *t = resourceTableOf(index);
  if (!t) {
    resourceFreeByType(type, id, value);
    return 0;
  }
  // The record being added counts: the 256th record of 64 buckets doubles them.
  if (t->elements + 1 >= 4 * t->bucketCount && t->hashBits < kResourceMaxHashBits) growBuckets(index);
  auto *r = static_cast<ResourceRecord *>(malloc(sizeof(ResourceRecord)));
  if (!r) {
    LOG_OUT_OF_MEMORY();
    resourceFreeByType(type, id, value);
    return 0;
  }
  uint32_t h = resourceHash(index, id);
  r->id = id;
  r->type = type;
  r->value = value;
  r->next = t->buckets[h];
  t->buckets[h] = r;
  t->elements++;
  return 1;
}

ResourceRecord *resourceLookupAny(uint32_t id) {
  uint32_t index = slotOf(id);
  ClientResourceTable *t = resourceTableOf(index);
  if (!t) return nullptr;
  for (ResourceRecord *r = t->buckets[resourceHash(index, id)]; r; r = r->next)
    if (r->id == id) return r;
  return nullptr;
}

void *resourceLookupByType(uint32_t id, ResourceType type) {
  uint32_t index = slotOf(id);
  ClientResourceTable *t = resourceTableOf(index);
  if (!t) return nullptr;
  for (ResourceRecord *r = t->buckets[resourceHash(index, id)]; r; r = r->next)
    if (r->id == id && r->type == type) return r->value;
  return nullptr;
}

GCRecord *resourceLookupGC(uint32_t id) { return static_cast<GCRecord *>(resourceLookupByType(id, kResourceGC)); }
FontRecord *resourceLookupFont(uint32_t id) {
  return static_cast<FontRecord *>(resourceLookupByType(id, kResourceFont));
}
void *resourceLookupWindow(uint32_t id) { return resourceLookupByType(id, kResourceWindow); }
PixmapRecord *resourceLookupPixmap(uint32_t id) {
  return static_cast<PixmapRecord *>(resourceLookupByType(id, kResourcePixmap));
}

ResourceType resourceLookupIdType(uint32_t id, void **value) {
  ResourceRecord *r = resourceLookupAny(id);
  if (value) *value = r ? r->value : nullptr;
  return r ? r->type : 0;
}

int resourceIdNotNew(uint32_t id) {
  uint32_t index = slotOf(id);
  if (index == kResourceClientSlots || index == 0 || index != currentIndex()) return 1;
  return idIsUsed(id) ? 1 : 0;
}

uint32_t resourceFreeClientSlot() {
  for (uint32_t slot = 1; slot < kResourceClientSlots; slot++) {
    uint64_t top = (uint64_t(slot) << resourceIdShift()) | resourceIdMask();
    if (top >= kResourceIdLimit) break;  // the slot's ids would not be X ids
    if (table(slot).bucketCount == 0) return slot;
  }
  LOG_UNE();
  return 0;
}

uint32_t resourceFindFreeId(uint32_t index, uint32_t low, uint32_t high, uint32_t hint) {
  (void)index;
  if (hint >= low && hint <= high) return hint;
  if (low > high) return 0;
  for (uint64_t id = low; id <= high; id++)
    if (!resourceLookupAny(uint32_t(id))) return uint32_t(id);
  return 0;
}

void resourceGetIdRange(uint32_t index, int serverFlag, uint32_t *min, uint32_t *max) {
  uint64_t low = uint64_t(index) << resourceIdShift();
  if (serverFlag) low += index == 0 ? 32 : 0x40000000;
  uint64_t high = low | resourceIdMask();
  // Every used id of the range, orphan pixmaps' included: the real server would refuse them.
  std::vector<uint32_t> used;
  ClientResourceTable *t = resourceTableOf(index);
  if (t)
    for (uint32_t b = 0; b < t->bucketCount; b++)
      for (ResourceRecord *r = t->buckets[b]; r; r = r->next)
        if (r->id >= low && r->id <= high) used.push_back(r->id);
  for (PixmapRecord *p = proxyState.orphanPixmaps; p; p = p->next)
    if (p->id >= low && p->id <= high) used.push_back(p->id);
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  // Whether [a, b] still holds an id that is not used.
  auto holdsFree = [&](int64_t a, int64_t b) {
    if (a > b) return false;
    auto from = std::lower_bound(used.begin(), used.end(), uint64_t(a));
    auto to = std::upper_bound(used.begin(), used.end(), uint64_t(b));
    return int64_t(to - from) < b - a + 1;
  };
  int64_t lo = int64_t(low), hi = int64_t(high);
  for (uint32_t id : used) {
    int64_t i = id;
    if (i < lo || i > hi) continue;
    // The larger side first; the other when the larger one holds no free id.
    bool upperFirst = i - lo <= hi - i;
    bool upper = upperFirst ? holdsFree(i + 1, hi) || !holdsFree(lo, i - 1) : !holdsFree(lo, i - 1) && holdsFree(i + 1, hi);
    if (upper)
      lo = i + 1;
    else
      hi = i - 1;
    if (lo > hi) break;
  }
  if (lo > hi || !holdsFree(lo, hi)) {
    *min = *max = 0;
    return;
  }
  *min = uint32_t(lo);
  *max = uint32_t(hi);
}

void resourceFree(uint32_t id, ResourceType skipType) {
  uint32_t index = slotOf(id);
  ClientResourceTable *t = resourceTableOf(index);
  if (!t) return;
  bool removed = true;
  while (removed) {
    removed = false;
    // The chain is looked up afresh after each removal: a free routine may have changed it
    // (removed records, or grown the buckets by adding one).
    for (ResourceRecord **link = &t->buckets[resourceHash(index, id)]; *link; link = &(*link)->next) {
      ResourceRecord *r = *link;
      if (r->id != id) continue;
      *link = r->next;
      t->elements--;
      if (r->type != skipType) resourceFreeByType(r->type, r->id, r->value);
      free(r);
      removed = true;
      break;
    }
    t = resourceTableOf(index);
    if (!t) return;
  }
}

void resourceFreeByType(ResourceType type, uint32_t id, void *value) {
  if (!value && type != kResourceWindow) return;
  switch (type) {
    case kResourceWindow: windowFreeRecord(static_cast<WindowRecord *>(value)); break;
    case kResourcePixmap: resourceFreePixmap(static_cast<PixmapRecord *>(value), id != 0); break;
    case kResourceGC: freeGC(static_cast<GCRecord *>(value)); break;
    case kResourceColormap: resourceFreeColormapShadow(static_cast<ColormapShadow *>(value)); break;
    case kResourceCursor: resourceReleaseCursor(static_cast<CursorRecord *>(value)); break;
    case kResourceFont: resourceReleaseFont(static_cast<FontRecord *>(value), id); break;
    case kResourceDbeBuffer:
    case kResourceGlxContext:
    case kResourceGlxDrawable:
    case kResourceGlxPbuffer:
    case kResourceShmSegment:
    case kResourceMbufBuffer:
    case kResourcePicture:
    case kResourceGlyphSet:
    case kResourceXie:
      if (resourceTypeRoutines[type].free) resourceTypeRoutines[type].free(id, value);
      break;
    default: break;
  }
}

void resourceFreeAllOfClient(uint32_t index) {
  if (index >= kResourceClientSlots) return;
  // A closing client's save set would be handled here; the window tree does not keep one yet.
  freeSlot(index);
}

void resourceKillTemporaryClients() {
  for (uint32_t index = kResourceClientSlots; index-- > 0;)
    if (table(index).closeDownMode == kResourceRetainTemporary && table(index).bucketCount != 0) freeSlot(index);
}

void resourceFreeIdBases() {
  for (uint32_t index = kResourceClientSlots; index-- > 0;) {
    ClientResourceTable &t = table(index);
    freeSlot(index);
    free(t.idBases);
    free(t.fontIdBases);
    t.idBases = t.fontIdBases = nullptr;
    memset(t.idBaseSet, 0, sizeof t.idBaseSet);
  }
}

uint32_t resourceNewServerSideId(ClientConnection *client) {
  if (!client) client = xproxyClients;
  if (!client) return ++globalServerSideCounter;
  uint32_t index = client->index;
  if (index >= kResourceClientSlots) return 0;
  ClientResourceTable &t = table(index);
  uint32_t mask = resourceIdMask();
  uint32_t base = index << resourceIdShift();
  // Each id of the range is tried once at most: a full range gives 0 (the caller's BadAlloc).
  for (uint64_t tries = uint64_t(mask) + 1; tries > 0; tries--) {
    uint32_t candidate = base | (t.serverIdCounter & mask);
    t.serverIdCounter = (t.serverIdCounter - 1) & mask;
    if (candidate != 0 && !idIsUsed(candidate)) return candidate;
  }
  return 0;
}

void resourceFreeServerSideId(uint32_t id) {
  resourceFree(id, 0);
  if (id == proxyXidCounter) proxyXidCounter--;
}

// ----- Fonts ------------------------------------------------------------------------------------

void resourceRef(FontRecord *font) { font->refCount++; }

void resourceReleaseFont(FontRecord *font, uint32_t id) {
  if (font->refCount > 0) {
    font->refCount--;
    if (font->id == id) font->id = 0;
    return;
  }
  for (uint32_t i = 0; i < font->nameCount; i++) free(font->names[i]);
  free(font->names);
  circListUnlink(&proxyState.fonts, font);
  free(font);
}

FontRecord *resourceNewFont(uint32_t id, const char *name, uint32_t length) {
  auto *font = static_cast<FontRecord *>(calloc(1, sizeof(FontRecord) + uint64_t(length) + 1));
  if (!font) return nullptr;
  font->id = id;
  font->name = reinterpret_cast<char *>(font + 1);
  if (length) memcpy(font->name, name, length);
  font->name[length] = 0;
  font->nameLength = length;
  circListPushBack(&proxyState.fonts, font);
  return font;
}

const char *resourceFontCharset(const FontRecord *font) {
  if (!font || !font->name || font->name[0] != '-') return nullptr;
  const char *p = font->name;
  for (int hyphens = 0; *p; p++)
    if (*p == '-' && ++hyphens == 13) {
      p++;
      if (*p == '*') return nullptr;
      return strTempDup(p);
    }
  return nullptr;
}

// ----- Cursors ----------------------------------------------------------------------------------

CursorRecord *resourceCreateCursor(uint32_t id, uint32_t count) {
  auto *cursor = static_cast<CursorRecord *>(calloc(1, sizeof(CursorRecord)));
  XrcImage *images = count ? static_cast<XrcImage *>(calloc(count, sizeof(XrcImage))) : nullptr;
  if (!cursor || (count && !images)) {
    free(cursor);
    free(images);
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  cursor->id = id;
  cursor->refCount = 1;
  cursor->imageCount = count;
  cursor->images = images;
  if (!resourceAdd(id, kResourceCursor, cursor)) return nullptr;
  return cursor;
}

void resourceReleaseCursor(CursorRecord *cursor) {
  if (cursor->refCount > 1) {
    cursor->refCount--;
    return;
  }
  xrcFreeImages(cursor->images, cursor->imageCount);
  free(cursor);
}

// ----- Pixmaps ----------------------------------------------------------------------------------

PixmapRecord *resourceFindOrphanPixmap(uint32_t id) {
  for (PixmapRecord *p = proxyState.orphanPixmaps; p; p = p->next)
    if (p->id == id) return p;
  return nullptr;
}

PixmapRecord *resourceCreatePixmap(uint32_t id, MetaScreen *screen, VisualRecord *visual, uint16_t width,
                                   uint16_t height, uint16_t depth) {
  auto *pixmap = static_cast<PixmapRecord *>(calloc(1, sizeof(PixmapRecord)));
  if (!pixmap) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  pixmap->id = id;
  pixmap->screen = screen;
  pixmap->visual = visual;
  pixmap->width = width;
  pixmap->height = height;
  pixmap->depth = depth;
  pixmap->ownerCopiesValid = 1;
  if (!resourceAdd(id, kResourcePixmap, pixmap)) return nullptr;
  return pixmap;
}

void resourceFreePixmap(PixmapRecord *pixmap, int freedById) {
  if (pixmap->refCount > 0) {
    pixmap->refCount--;
    if (freedById) {
      if (pixmap->orphan) circListUnlink(&proxyState.orphanPixmaps, pixmap);
      circListPushBack(&proxyState.orphanPixmaps, pixmap);
      pixmap->orphan = 1;
    }
    return;
  }
  freeServerPixmaps(pixmap);
  if (pixmap->orphan) circListUnlink(&proxyState.orphanPixmaps, pixmap);
  free(pixmap);
}

// ----- Colormap shadows -------------------------------------------------------------------------

void resourceFreeColormapShadow(ColormapShadow *shadow) {
  free(shadow->cells);
  free(shadow->red);
  free(shadow->green);
  free(shadow->blue);
  free(shadow->emulated);
  free(shadow);
}

// ----- Id mapping -------------------------------------------------------------------------------



namespace {

uint32_t shiftedLeft(uint32_t v, uint32_t bits) { return bits < 32 ? v << bits : 0; }

bool baseIsSet(const ClientResourceTable &t, uint32_t headIndex) {
  return headIndex < kResourceIdTableHeads && t.idBases && (t.idBaseSet[headIndex / 32] >> (headIndex % 32)) & 1;
}

// The depth of a pixmap on a head: the base depth when the head emulates its visual (the
// depth CreatePixmap chose there).
uint32_t pixmapDepthOn(const PixmapRecord *pixmap, const Head *head) {
  VisualRecord *hv = xproxyHeadVisual(head, pixmap->visual);
  return hv && hv->baseVisualId ? hv->baseDepth : pixmap->depth;
}

}  // namespace

void resourceSetScreenIdBase(uint32_t index, Head *head, uint32_t base) {
  if (index == 0 || index >= kResourceClientSlots || !head || head->idIndex >= kResourceIdTableHeads) return;
  ClientResourceTable &t = table(index);
  if (!t.idBases || !t.fontIdBases) return;
  uint32_t headShift = head->serverDisplay ? head->serverDisplay->lowestBit : 0;
  const Head *fontHead = head->fontHead ? head->fontHead : head;
  t.idBases[head->idIndex] = shiftedLeft(head->displayNumber, headShift) | base;
  t.fontIdBases[head->idIndex] = shiftedLeft(fontHead->displayNumber, headShift) | base;
  t.idBaseSet[head->idIndex / 32] |= 1u << (head->idIndex % 32);
}

uint32_t resourceServerId(uint32_t id, uint32_t kind, Head *head) {
  if (!head) return id;
  // A resource of another meta screen is translated on that screen's first head; an id with
  // no meta screen keeps the given head.
  if (xscreenList && xscreenList->next && kind != kResourceCursor && kind != kResourceFont &&
      kind != kResourceShmSegment && head->metaScreen) {
    MetaScreen *own = resourceMetaScreenOf(id);
    if (own && own != head->metaScreen && own->heads) head = own->heads;
  }
  uint32_t index = slotOf(id);
  if (index >= 1 && index < kResourceClientSlots) {
    const ClientResourceTable &t = table(index);
    if (t.bucketCount && baseIsSet(t, head->idIndex) && head->serverDisplay) {
      uint32_t base = kind == kResourceFont ? t.fontIdBases[head->idIndex] : t.idBases[head->idIndex];
      return shiftedLeft(id & resourceIdMask(), head->serverDisplay->idShift) | base;
    }
  }
  MetaScreen *screen = resourceMetaScreenOf(id);
  if (!screen) return id;
  ResourceRecord *r = resourceLookupAny(id);
  if (r && r->type == kResourceHeadRoot) {
    if (kind == kResourceRealRoot || !head->rootWindow) return uint32_t(head->root);
    return uint32_t(head->rootWindow);
  }
  if (id != 0 && id == screen->defaultColormap) {
    if (kind == kResourceRealDefaultColormap || !head->shadowColormap) return uint32_t(head->defaultColormap);
    return uint32_t(head->shadowColormap);
  }
  return id;
}

uint32_t resourceServerToClientId(uint32_t id, ServerDisplay *display) {
  if ((id & 0xe0000000u) || !display) return id;
  uint32_t number = display->lowestBit < 32 ? (id & display->headBitsMask) >> display->lowestBit : 0;
  Head *head = nullptr;
  for (MetaScreen *ms = xscreenList; ms && !head; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->serverDisplay == display && h->displayNumber == number) {
        head = h;
        break;
      }
  if (!head || head->idIndex >= kResourceIdTableHeads) return id;
  uint32_t base = id & display->freeBitsMask;
  // Only slots in use whose base for the head is set: a departed client's stale base, or the
  // unset base of one still connecting, must not claim the id.
  for (uint32_t slot = 1; slot < kResourceClientSlots; slot++) {
    const ClientResourceTable &t = table(slot);
    if (t.bucketCount && baseIsSet(t, head->idIndex) && t.idBases[head->idIndex] == base) {
      uint32_t own = display->idShift < 32 ? (id >> display->idShift) & resourceIdMask() : 0;
      return (slot << resourceIdShift()) | own;
    }
  }
  return id;
}

MetaScreen *resourceMetaScreenOf(uint32_t id) {
  ResourceRecord *r = resourceLookupAny(id);
  if (!r) {
    if (id == 0) return nullptr;
    for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
      for (uint32_t i = 0; ms->visuals && i < ms->visualCount; i++)
        if (ms->visuals[i].visualId == id) return ms;
    return nullptr;
  }
  if (!r->value) return nullptr;
  switch (r->type) {
    case kResourceWindow: return static_cast<WindowRecord *>(r->value)->screen;
    case kResourcePixmap: return static_cast<PixmapRecord *>(r->value)->screen;
    case kResourceGC: return static_cast<GCRecord *>(r->value)->screen;
    case kResourceColormap: return static_cast<ColormapShadow *>(r->value)->screen;
    case kResourceHeadRoot: return static_cast<Head *>(r->value)->metaScreen;
    case kResourceScreenResource: return static_cast<MetaScreen *>(r->value);
    case kResourceCursor:
    case kResourceFont:
    case kResourceShmSegment: return nullptr;
    case kResourceDbeBuffer:
    case kResourceGlxContext:
    case kResourceGlxDrawable:
    case kResourceGlxPbuffer:
    case kResourceMbufBuffer:
    case kResourceRenderFormat:
    case kResourcePicture:
    case kResourceGlyphSet:
    case kResourceXie:
      return resourceTypeRoutines[r->type].metaScreenOf ? resourceTypeRoutines[r->type].metaScreenOf(r->value)
                                                          : nullptr;
    default: LOG_UNE(); return nullptr;
  }
}

MetaScreen *resourceMetaScreenOfId(uint32_t id) {
  if (xscreenList && !xscreenList->next) return xscreenList;
  MetaScreen *screen = resourceMetaScreenOf(id);
  return screen ? screen : xscreenList;
}

void resourceCacheDrawable(ClientConnection *client, uint32_t id) {
  if (!client) return;
  ResourceRecord *r = resourceLookupAny(id);
  client->cachedType = r ? r->type : 0;
  client->cachedRecord = r ? r->value : nullptr;
  client->cachedScreen = r ? resourceMetaScreenOfId(id) : xscreenList;
}

VisualRecord *resourceVisualOfDrawable(uint32_t id) {
  ResourceRecord *r = resourceLookupAny(id);
  if (!r || !r->value) return nullptr;
  switch (r->type) {
    case kResourcePixmap: return static_cast<PixmapRecord *>(r->value)->visual;
    case kResourceWindow: return static_cast<WindowRecord *>(r->value)->visual;
    case kResourceDbeBuffer:
    case kResourceMbufBuffer:
      return resourceTypeRoutines[r->type].visualOf ? resourceTypeRoutines[r->type].visualOf(r->value) : nullptr;
    default: return nullptr;
  }
}

int resourceAddHeadRoot(Head *head) {
  if (!head) return 0;
  if (!resourceTableOf(0) && !resourceInitClient(0)) return 0;
  return resourceAdd(head->clientRoot, kResourceHeadRoot, head);
}

void resourceDestroyEverywhere(uint32_t id) {
  if (!xscreenList) {
    resourceFree(id, 0);
    return;
  }
  void *value = nullptr;
  ResourceType type = resourceLookupIdType(id, &value);
  MetaScreen *own = resourceMetaScreenOf(id);
  for (MetaScreen *ms = xscreenList; ms && type; ms = ms->next) {
    if (own && ms != own) continue;
    for (Head *h = ms->heads; h; h = h->next) {
      Display *d = h->display;
      if (!d) continue;
      uint32_t serverId = resourceServerId(id, type >= kResourceDbeBuffer ? kResourceScreenResource : type, h);
      xtargetArmErrorTrap(d);
      switch (type) {
        case kResourceWindow: XDestroyWindow(d, serverId); break;
        case kResourcePixmap: {
          XFreePixmap(d, serverId);
          auto *pixmap = static_cast<PixmapRecord *>(value);
          for (PixmapCopy *c = pixmap->copies; c; c = c->next)
            if (c->head == h) {
              XFreePixmap(d, c->pixmap);
              circListUnlink(&pixmap->copies, c);
              free(c);
              break;
            }
          break;
        }
        case kResourceGC: miscFreeGC(d, serverId); break;
        case kResourceColormap:
          if (slotOf(id) != 0) XFreeColormap(d, serverId);
          break;
        case kResourceCursor: XFreeCursor(d, serverId); break;
        case kResourceFont:
          if (!h->fontHead || h->fontHead == h) XUnloadFont(d, serverId);
          break;
        case kResourceMbufBuffer: logProblem("WIP", __FILE__, __LINE__); break;
        default:
          if (type < kResourceTypeCount && resourceTypeRoutines[type].destroyOnServer)
            resourceTypeRoutines[type].destroyOnServer(value, h, serverId);
          break;
      }
      XSync(d, False);
      xtargetDisarmErrorTrap();
    }
  }
  // The server side is gone already: the free routine must not free the pixmaps again.
  if (type == kResourcePixmap && value) static_cast<PixmapRecord *>(value)->ownerCopiesValid = 0;
  resourceFree(id, 0);
}

void resourceSharePixmap(PixmapRecord *pixmap, uint32_t userId) {
  pixmap->refCount++;
  if (slotOf(userId) == slotOf(pixmap->id) || pixmap->copies || !pixmap->screen || !pixmap->width ||
      !pixmap->height)
    return;
  if (xproxyCurrentClient)
    if (const char *error = xproxySyncClient(xproxyCurrentClient)) {
      logProblem(error, __FILE__, __LINE__);
      return;
    }
  for (Head *h = pixmap->screen->heads; h; h = h->next) {
    Display *d = h->display;
    if (!d) continue;
    XtargetErrorTrap trap(d);
    Pixmap copy = XCreatePixmap(d, h->root, pixmap->width, pixmap->height, pixmapDepthOn(pixmap, h));
    GC gc = XCreateGC(d, copy, 0, nullptr);
    XCopyArea(d, resourceServerId(pixmap->id, kResourcePixmap, h), copy, gc, 0, 0, pixmap->width, pixmap->height, 0,
              0);
    XFreeGC(d, gc);
    if (trap.errorCame()) {
      XFreePixmap(d, copy);
      XSync(d, False);
      continue;
    }
    auto *record = static_cast<PixmapCopy *>(calloc(1, sizeof(PixmapCopy)));
    if (!record) {
      LOG_OUT_OF_MEMORY();
      XFreePixmap(d, copy);
      continue;
    }
    record->head = h;
    record->pixmap = uint32_t(copy);
    circListPushBack(&pixmap->copies, record);
  }
}

uint32_t resourcePixmapServerId(PixmapRecord *pixmap, Head *head) {
  if (!head) return pixmap->id;
  if (pixmap->ownerCopiesValid) return resourceServerId(pixmap->id, kResourcePixmap, head);
  for (PixmapCopy *c = pixmap->copies; c; c = c->next)
    if (c->head == head) return c->pixmap;
  return pixmap->id;
}

// ----- Colormap shadows -------------------------------------------------------------------------

namespace {

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

int appendCell(ColormapShadow *shadow, ClientConnection *client, uint32_t pixel, uint32_t planeMask,
               uint32_t readOnly) {
  auto *grown = static_cast<ColormapCell *>(realloc(shadow->cells, sizeof(ColormapCell) * (shadow->cellCount + 1)));
  if (!grown) {
    LOG_OUT_OF_MEMORY();
    return 0;
  }
  shadow->cells = grown;
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
      XSync(h->display, False);
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
  return shadow;
}

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
  for (uint32_t slot = 0; slot < kResourceClientSlots; slot++) {
    ClientResourceTable *t = resourceTableOf(slot);
    if (!t || slot == client->index) continue;
    for (uint32_t b = 0; b < t->bucketCount; b++)
      for (ResourceRecord *r = t->buckets[b]; r; r = r->next) {
        if (r->type != kResourceColormap || !r->value) continue;
        auto *shadow = static_cast<ColormapShadow *>(r->value);
        for (uint32_t k = shadow->cellCount; k-- > 0;)
          if (k < shadow->cellCount && shadow->cells[k].client == client) releaseEntry(shadow, k);
      }
  }
}
