// The id mapping between clients and the heads' real servers, destroying a resource on every
// head, and the Xlib copies of shared pixmaps.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <new>
#include <unordered_map>
#include <vector>

#include <X11/Xlib.h>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xtarget.h"
#include "xext/glxdirect.h"

namespace {
uint32_t slotOf(uint32_t id) { return resourceSlotOf(id); }
ClientResourceTable &table(uint32_t index) { return proxyState.resourceTables[index]; }

uint64_t baseKey(uint32_t headIndex, uint32_t base) { return uint64_t(headIndex) << 32 | base; }

// Slots whose base for a head is set, by head and base: a real id finds its few candidates
// without a walk over every slot. Kept in step with ClientResourceTable::idBases.
std::unordered_map<uint64_t, std::vector<uint32_t>> slotsByBase;

void unindexBase(uint64_t key, uint32_t slot) {
  auto at = slotsByBase.find(key);
  if (at == slotsByBase.end()) return;
  std::erase(at->second, slot);
  if (at->second.empty()) slotsByBase.erase(at);
}

// What released departed slots left behind (resourceKeepDepartedBases). Per departure a record,
// oldest first (its marker, the entries of its bases still kept); per head and base
// the entries of the departures that had it, in the order of their markers (a base goes from
// client to client, so one key gathers many departures): a reader finds the departure that
// speaks for a base there by the markers it has read, with a binary search. An entry is 16
// bytes and a record 16: what a sleeping connection keeps alive grows with the departures it
// sleeps through, by a constant, and the walks that forget them cost what they forget.
struct DepartedRecord {
  uint64_t marker;
  uint32_t entriesLeft;  // its bases' entries not forgotten yet
};
struct DepartedBase {
  uint64_t marker;
  uint32_t slot;
  uint32_t record;  // the record's number (departedFirstRecord + its place in departedRecords)
};
std::deque<DepartedRecord> departedRecords;
uint32_t departedFirstRecord = 0;  // the number of departedRecords.front()
uint32_t departedLive = 0;         // records with entries left
std::unordered_map<uint64_t, std::deque<DepartedBase>> departedByBase;

// An entry is forgotten: its record loses one; records without entries go from the front.
void entryForgotten(const DepartedBase &b) {
  uint32_t at = b.record - departedFirstRecord;
  if (at < departedRecords.size() && departedRecords[at].entriesLeft && --departedRecords[at].entriesLeft == 0)
    departedLive--;
  while (!departedRecords.empty() && departedRecords.front().entriesLeft == 0) {
    departedRecords.pop_front();
    departedFirstRecord++;
  }
}

const ServerDisplay *displayOfHeadIndex(uint32_t headIndex) {
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->idIndex == headIndex) return h->serverDisplay;
  return nullptr;
}
}  // namespace

void resourceUnindexBases(uint32_t index) {
  if (index == 0 || index >= kResourceClientSlots) return;
  ClientResourceTable &t = table(index);
  if (!t.idBases) return;
  for (uint32_t h = 0; h < kResourceIdTableHeads; h++)
    if ((t.idBaseSet[h / 32] >> (h % 32)) & 1) unindexBase(baseKey(h, t.idBases[h]), index);
}

uint32_t resourceDepartedRecordLimit = kResourceDepartedRecordLimit;

void resourceKeepDepartedBases(uint32_t index) {
  ClientResourceTable &t = table(index);
  if (!t.departureMarker || !t.idBases) return;
  uint32_t number = departedFirstRecord + uint32_t(departedRecords.size());
  uint32_t entries = 0;
  try {
    for (uint32_t h = 0; h < kResourceIdTableHeads; h++) {
      if (!((t.idBaseSet[h / 32] >> (h % 32)) & 1)) continue;
      std::deque<DepartedBase> &kept = departedByBase[baseKey(h, t.idBases[h])];
      DepartedBase entry{t.departureMarker, index, number};
      // Markers go out in order; one that came out of order still finds its place.
      auto at = kept.end();
      while (at != kept.begin() && std::prev(at)->marker > entry.marker) --at;
      kept.insert(at, entry);
      entries++;
    }
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY();  // (the bases kept so far speak for the departure)
  }
  if (!entries) return;
  departedRecords.push_back(DepartedRecord{t.departureMarker, entries});
  departedLive++;
}

void resourceForgetDepartedRecords(ResourceMarkerPassed passed, void *context) {
  for (auto at = departedByBase.begin(); at != departedByBase.end();) {
    const ServerDisplay *display = displayOfHeadIndex(uint32_t(at->first >> 32));
    std::deque<DepartedBase> &kept = at->second;
    // The entries of one key are on one display: those every reader there has passed are the
    // first ones.
    while (!kept.empty() && (!passed || passed(display, kept.front().marker, context))) {
      entryForgotten(kept.front());
      kept.pop_front();
    }
    at = kept.empty() ? departedByBase.erase(at) : std::next(at);
  }
}

uint32_t resourceDepartedRecordCount() { return departedLive; }

uint64_t resourceOldestDepartedMarker(const ServerDisplay *display) {
  uint64_t oldest = 0;
  for (const auto &[key, kept] : departedByBase)
    if (!kept.empty() && (!oldest || kept.front().marker < oldest) && displayOfHeadIndex(uint32_t(key >> 32)) == display)
      oldest = kept.front().marker;
  return oldest;
}

uint64_t resourceOldestDepartedMarkerAll() {
  for (const DepartedRecord &r : departedRecords)
    if (r.entriesLeft) return r.marker;
  return 0;
}

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
  if (baseIsSet(t, head->idIndex)) unindexBase(baseKey(head->idIndex, t.idBases[head->idIndex]), index);
  t.idBases[head->idIndex] = shiftedLeft(head->displayNumber, headShift) | base;
  t.fontIdBases[head->idIndex] = shiftedLeft(fontHead->displayNumber, headShift) | base;
  t.idBaseSet[head->idIndex / 32] |= 1u << (head->idIndex % 32);
  std::vector<uint32_t> &holders = slotsByBase[baseKey(head->idIndex, t.idBases[head->idIndex])];
  // A departing slot with the same base on the head: the real server has closed that
  // connection, since it gave its base to a new one. The slot is kept (events already queued
  // on other connections still speak of it), but its marker goes out now, before any request
  // of the new connection (xproxyDepartedBaseTaken).
  std::vector<uint32_t> taken;
  for (uint32_t slot : holders)
    if (slot != index && table(slot).departing && !table(slot).departureMarker) taken.push_back(slot);
  holders.push_back(index);
  for (uint32_t slot : taken) xproxyDepartedBaseTaken(slot);
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
    // A departing slot's ids too: the server answers them as it would the client's own.
    if ((t.bucketCount || t.departing) && baseIsSet(t, head->idIndex) && head->serverDisplay) {
      uint32_t base = kind == kResourceFont ? t.fontIdBases[head->idIndex] : t.idBases[head->idIndex];
      return shiftedLeft(id & resourceIdMask(), head->serverDisplay->idShift) | base;
    }
  }
  MetaScreen *screen = resourceMetaScreenOf(id);
  // An id of a slot no client holds: as it stands it could be another client's real id (on one
  // head the ranges overlap), so it goes out as one that names nothing.
  if (!screen && index >= 1 && index < kResourceClientSlots && !table(index).bucketCount &&
      !table(index).departing && head->serverDisplay)
    return kResourceNoServerId | (id & ~kResourceNoServerId);
  if (!screen) return id;
  // The meta screen's root (and a head's client-side root) is the head's root window there.
  ResourceRecord *r = resourceLookupAny(id);
  if ((id != 0 && id == screen->root) || (r && r->type == kResourceHeadRoot)) {
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
  uint32_t clientId = id;
  resourceServerToClientIdOf(id, display, &clientId);
  return clientId;
}

int resourceServerToClientIdOf(uint32_t id, ServerDisplay *display, uint32_t *clientId) {
  *clientId = id;
  if ((id & 0xe0000000u) || !display) return 0;
  uint32_t number = display->lowestBit < 32 ? (id & display->headBitsMask) >> display->lowestBit : 0;
  Head *head = nullptr;
  for (MetaScreen *ms = xscreenList; ms && !head; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next)
      if (h->serverDisplay == display && h->displayNumber == number) {
        head = h;
        break;
      }
  if (!head || head->idIndex >= kResourceIdTableHeads) return 0;
  uint32_t base = id & display->freeBitsMask;
  // Only slots in use or departing whose base for the head is set: a released slot's stale
  // base, or the unset base of one still connecting, must not claim the id. Read from a raw
  // connection, what a departed slot (departing, or released with its record kept) left under
  // a marker that connection has not read yet comes first (what it reads is older than the
  // departed client's close), then slots in use, then other departing ones.
  const DisplayConnection *reader = xproxyCurrentDisplayConnection;
  if (reader && reader->display != display) reader = nullptr;
  // Of several departed slots that speak here (the base went from client to client), the one
  // whose marker comes first: what the connection reads now is older than that marker.
  uint32_t found = 0;
  int rank = 0;  // 3: departed and speaking here, 2: in use, 1: departing
  uint64_t first = ~uint64_t(0);
  auto consider = [&](uint32_t slot, int r, uint64_t marker) {
    if (r > rank || (r == 3 && marker < first)) {
      rank = r;
      found = slot;
      if (r == 3) first = marker;
    }
  };
  uint64_t key = baseKey(head->idIndex, base);
  if (auto at = slotsByBase.find(key); at != slotsByBase.end())
    for (uint32_t slot : at->second) {
      const ClientResourceTable &t = table(slot);
      if (!(t.bucketCount || t.departing)) continue;
      uint64_t marker = t.departureMarker ? t.departureMarker : ~uint64_t(0);
      bool speaks = t.departing && reader && (!t.departureMarker || xproxyBeforeMarker(reader, t.departureMarker));
      consider(slot, t.bucketCount ? 2 : speaks ? 3 : 1, marker);
    }
  if (reader)
    if (auto at = departedByBase.find(key); at != departedByBase.end()) {
      // The first departure whose marker the reader has not read yet speaks for the base.
      const std::deque<DepartedBase> &kept = at->second;
      uint64_t read = xproxyMarkersRead(reader);
      auto first = std::upper_bound(kept.begin(), kept.end(), read,
                                    [](uint64_t serial, const DepartedBase &b) { return serial < b.marker; });
      if (first != kept.end()) consider(first->slot, 3, first->marker);
    }
  if (!rank) return 0;
  uint32_t own = display->idShift < 32 ? (id >> display->idShift) & resourceIdMask() : 0;
  *clientId = (found << resourceIdShift()) | own;
  return 1;
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
      xproxySyncXlib(d, "a destroyed resource");
      xtargetDisarmErrorTrap();
    }
  }
  // The server side is gone already: the free routine must not free the pixmaps again.
  if (type == kResourcePixmap && value) static_cast<PixmapRecord *>(value)->ownerCopiesValid = 0;
  resourceFree(id, 0);
}

int resourceShareMakesCopies(const PixmapRecord *pixmap, uint32_t userId) {
  // Without the owner's server pixmaps (an orphan's are gone) there is nothing to copy from.
  return slotOf(userId) != slotOf(pixmap->id) && !pixmap->copies && pixmap->ownerCopiesValid && pixmap->screen &&
         pixmap->width && pixmap->height;
}

void resourceSharePixmap(PixmapRecord *pixmap, uint32_t userId, const char *failure) {
  pixmap->refCount++;
  if (!resourceShareMakesCopies(pixmap, userId)) return;
  if (failure) {
    logProblem(failure, __FILE__, __LINE__);
    return;
  }
  for (Head *h = pixmap->screen->heads; h; h = h->next) {
    Display *d = h->display;
    if (!d) continue;
    XtargetErrorTrap trap(d);
    Pixmap copy = XCreatePixmap(d, h->root, pixmap->width, pixmap->height, pixmapDepthOn(pixmap, h));
    XGCValues values{};
    values.graphics_exposures = False;  // no NoExpose events for the proxy's queue
    GC gc = XCreateGC(d, copy, GCGraphicsExposures, &values);
    XCopyArea(d, resourceServerId(pixmap->id, kResourcePixmap, h), copy, gc, 0, 0, pixmap->width, pixmap->height, 0,
              0);
    XFreeGC(d, gc);
    if (trap.errorCame()) {
      XFreePixmap(d, copy);
      xproxySyncXlib(d, "a shared pixmap");
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

void resourceFreeOwnerPixmaps(PixmapRecord *pixmap) {
  ClientConnection *c = xproxyCurrentClient;
  bool sends = c && c->displayCount > 0 && c->displays[0];
  if (pixmap->ownerCopiesValid && pixmap->screen) {
    for (Head *h = pixmap->screen->heads; h; h = h->next) {
      uint32_t serverId = resourceServerId(pixmap->id, kResourcePixmap, h);
      // GL drawn inside the proxy lets go of GLX pixmaps on it before the real server hears of
      // its end, whoever ends it.
      if (h->glLibrary) glxdirectPixmapGone(h, serverId);
      uint8_t *request = sends ? xproxyBeginRequest(c->displays[0], 54, 0, 8) : nullptr;  // FreePixmap
      if (request) memcpy(request + 4, &serverId, 4);
    }
  }
  // Without a current client the owner's connections are closing: the real server frees them.
  pixmap->ownerCopiesValid = 0;
}

void resourceFreeServerPixmaps(PixmapRecord *pixmap) {
  resourceFreeOwnerPixmaps(pixmap);
  while (PixmapCopy *copy = pixmap->copies) {
    if (copy->head && copy->head->display) {
      XFreePixmap(copy->head->display, copy->pixmap);
      XFlush(copy->head->display);
    }
    circListUnlink(&pixmap->copies, copy);
    free(copy);
  }
}

void resourceFreeServerSideId(uint32_t id) {
  resourceFree(id, 0);
  if (id == proxyXidCounter) proxyXidCounter--;
}

