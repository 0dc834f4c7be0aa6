// The resource database: per-slot hash tables, records of pixmaps, cursors, fonts and GCs.
// (The id mapping is in resourcemap.cpp, the colormap shadows in resourcecolor.cpp.)
#include "proxy/resource.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/xproxy.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xrclibcursors.h"

ResourceTypeRoutines resourceTypeRoutines[kResourceTypeCount];

namespace {

uint32_t globalServerSideCounter = 0;

ClientResourceTable &table(uint32_t index) { return proxyState.resourceTables[index]; }

// The slot an id belongs to; kResourceClientSlots (no table) for ids beyond the tables.
uint32_t slotOf(uint32_t id) { return resourceSlotOf(id); }
}  // namespace

uint32_t resourceSlotOf(uint32_t id) {
  uint64_t index = uint64_t(id) >> resourceIdShift();
  return index < kResourceClientSlots ? uint32_t(index) : kResourceClientSlots;
}

namespace {

uint32_t currentIndex() { return xproxyCurrentClient ? xproxyCurrentClient->index : 0; }

// Records come from blocks of their own, so that they lie densely: a lookup walks a chain of
// them, and a record alone among larger allocations costs a cache miss per step. Freed records
// are kept for the next ones (the blocks stay for the process's life). Under AddressSanitizer
// each record is an allocation of its own, so that a use after a free is still caught.
#if defined(__SANITIZE_ADDRESS__)
ResourceRecord *newRecord() { return static_cast<ResourceRecord *>(malloc(sizeof(ResourceRecord))); }
void freeRecord(ResourceRecord *r) { free(r); }
#else
constexpr size_t kRecordsPerBlock = 255;
struct RecordBlock {
  RecordBlock *next;
  ResourceRecord records[kRecordsPerBlock];
};
RecordBlock *recordBlocks = nullptr;
ResourceRecord *spareRecords = nullptr;  // chained through next

ResourceRecord *newRecord() {
  if (!spareRecords) {
    auto *block = static_cast<RecordBlock *>(malloc(sizeof(RecordBlock)));
    if (!block) return nullptr;
    block->next = recordBlocks;
    recordBlocks = block;
    for (size_t i = kRecordsPerBlock; i-- > 0;) {
      block->records[i].next = spareRecords;
      spareRecords = &block->records[i];
    }
  }
  ResourceRecord *r = spareRecords;
  spareRecords = r->next;
  return r;
}

void freeRecord(ResourceRecord *r) {
  r->next = spareRecords;
  spareRecords = r;
}
#endif

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
      freeRecord(r);
    }
  }
}

uint32_t departingSlots = 0;  // slots with departing set (resourceDepartingSlots)

void clearBases(ClientResourceTable &t) {
  resourceUnindexBases(uint32_t(&t - proxyState.resourceTables));
  if (t.departing) departingSlots--;
  t.departing = 0;
  t.departureMarker = 0;
  memset(t.idBaseSet, 0, sizeof t.idBaseSet);
  if (t.idBases) memset(t.idBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
  if (t.fontIdBases) memset(t.fontIdBases, 0, sizeof(uint32_t) * kResourceIdTableHeads);
}

// Frees a slot's resources with no current client and its buckets; clears its bases unless
// the slot departs (then they stay until resourceReleaseDepartedSlot).
void freeSlot(uint32_t index, bool departs = false) {
  ClientResourceTable &t = table(index);
  if (t.bucketCount == 0) {
    if (!departs) clearBases(t);
    return;
  }
  {
    CurrentScope none(nullptr);
    freeEverything(index);
  }
  free(t.buckets);
  t.buckets = nullptr;
  t.bucketCount = 0;
  t.hashBits = 0;
  t.elements = 0;
  if (departs) {
    if (!t.departing) departingSlots++;
    t.departing = 1;
  } else
    clearBases(t);
  for (PixmapRecord *p = proxyState.orphanPixmaps; p; p = p->next)
    if (slotOf(p->id) == index) p->ownerCopiesValid = 0;
}

// Ids the proxy hands out itself also stay clear of orphan pixmaps' ids (there are plenty).
bool idIsUsed(uint32_t id) { return resourceLookupAny(id) || resourceFindOrphanPixmap(id); }


// The server side of a pixmap at its last reference: the owner's pixmaps on every head (while
// its raw connections hold them) and the proxy's Xlib copies.
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
  ResourceRecord *r = newRecord();
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
  // An orphan pixmap no longer holds its id (the server side let go of it at the orphaning),
  // as an X server's id is free once its owner freed it, whoever still uses the object.
  return resourceLookupAny(id) ? 1 : 0;
}

uint32_t resourceFreeClientSlot() {
  for (uint32_t slot = 1; slot < kResourceClientSlots; slot++) {
    uint64_t top = (uint64_t(slot) << resourceIdShift()) | resourceIdMask();
    if (top >= kResourceIdLimit) break;  // the slot's ids would not be X ids
    if (table(slot).bucketCount == 0 && !table(slot).departing) return slot;
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
  // Every id of the range that has a record (orphan pixmaps hold no id: the client may take them).
  std::vector<uint32_t> used;
  ClientResourceTable *t = resourceTableOf(index);
  if (t)
    for (uint32_t b = 0; b < t->bucketCount; b++)
      for (ResourceRecord *r = t->buckets[b]; r; r = r->next)
        if (r->id >= low && r->id <= high) used.push_back(r->id);
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
      freeRecord(r);
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
    case kResourceWindow:
      // The window tree installs its destruction here (the subtree goes with a window); until
      // then the record is freed.
      if (resourceTypeRoutines[type].free)
        resourceTypeRoutines[type].free(id, value);
      else
        free(value);
      break;
    case kResourcePixmap: resourceFreePixmap(static_cast<PixmapRecord *>(value), id != 0); break;
    case kResourceGC: freeGC(static_cast<GCRecord *>(value)); break;
    case kResourceColormap: resourceFreeColormapShadow(static_cast<ColormapShadow *>(value)); break;
    case kResourceCursor: {
      // Users that outlive the id see id 0 (no id of its own): the id may name a new cursor.
      auto *cursor = static_cast<CursorRecord *>(value);
      if (id != 0 && cursor->id == id) cursor->id = 0;
      resourceReleaseCursor(cursor);
      break;
    }
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
  // The close handled the client's save set before (windowHandleSaveSet, while its windows
  // still stood); here its resources go.
  freeSlot(index);
}

void resourceDepartClient(uint32_t index) {
  if (index == 0 || index >= kResourceClientSlots) return;
  freeSlot(index, true);
}

void resourceReleaseDepartedSlot(uint32_t index) {
  if (index == 0 || index >= kResourceClientSlots || !table(index).departing) return;
  resourceKeepDepartedBases(index);
  clearBases(table(index));
}

uint32_t resourceDepartingSlots() { return departingSlots; }

void resourceSetDepartureMarker(uint32_t index, uint64_t serial) {
  if (index == 0 || index >= kResourceClientSlots || !table(index).departing) return;
  table(index).departureMarker = serial;
}

void resourceKillTemporaryClients() {
  for (uint32_t index = kResourceClientSlots; index-- > 0;)
    if (table(index).closeDownMode == kResourceRetainTemporary && table(index).bucketCount != 0) freeSlot(index);
}

void resourceFreeIdBases() {
  for (uint32_t index = kResourceClientSlots; index-- > 0;) {
    ClientResourceTable &t = table(index);
    freeSlot(index);
    resourceUnindexBases(index);
    free(t.idBases);
    free(t.fontIdBases);
    t.idBases = t.fontIdBases = nullptr;
    memset(t.idBaseSet, 0, sizeof t.idBaseSet);
  }
  resourceForgetDepartedRecords(nullptr);
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
  for (uint32_t k = 0; k < cursor->frameCount; k++)
    if (cursor->frames[k].cursor) resourceReleaseCursor(cursor->frames[k].cursor);
  free(cursor->frames);
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
      // The id is free from now on: the owner's server pixmaps go (the real server keeps what
      // still uses them), so that the id can name a new pixmap there too.
      resourceFreeOwnerPixmaps(pixmap);
      if (pixmap->orphan) circListUnlink(&proxyState.orphanPixmaps, pixmap);
      circListPushBack(&proxyState.orphanPixmaps, pixmap);
      pixmap->orphan = 1;
    }
    return;
  }
  resourceFreeServerPixmaps(pixmap);
  if (pixmap->orphan) circListUnlink(&proxyState.orphanPixmaps, pixmap);
  free(pixmap->parts);
  free(pixmap);
}

void resourceNotePixmapPart(PixmapRecord *pixmap, int64_t x, int64_t y, int64_t width, int64_t height, Head *head) {
  if (!pixmap || !head) return;
  int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  int64_t x1 = std::min<int64_t>(x + width, pixmap->width), y1 = std::min<int64_t>(y + height, pixmap->height);
  if (x1 <= x0 || y1 <= y0) return;
  if (!pixmap->parts) {
    pixmap->parts = static_cast<PixmapPart *>(malloc(kPixmapMaxParts * sizeof(PixmapPart)));
    if (!pixmap->parts) {
      LOG_OUT_OF_MEMORY();
      return;
    }
    pixmap->partCount = 0;
  }
  if (pixmap->partCount == kPixmapMaxParts) {
    memmove(pixmap->parts, pixmap->parts + 1, (kPixmapMaxParts - 1) * sizeof(PixmapPart));
    pixmap->partCount--;
  }
  pixmap->parts[pixmap->partCount++] =
      PixmapPart{int32_t(x0), int32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0), head};
}

// ----- Colormap shadows -------------------------------------------------------------------------

void resourceFreeColormapShadow(ColormapShadow *shadow) {
  resourceUnlistColormap(shadow);
  free(shadow->cells);
  free(shadow->red);
  free(shadow->green);
  free(shadow->blue);
  free(shadow->emulated);
  free(shadow);
}


int resourceAddHeadRoot(Head *head) {
  if (!head) return 0;
  if (!resourceTableOf(0) && !resourceInitClient(0)) return 0;
  return resourceAdd(head->clientRoot, kResourceHeadRoot, head);
}
