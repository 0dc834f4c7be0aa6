// The resource database: one hash table of resource records per client slot (slot 0 holds the
// proxy's own), the records of pixmaps, cursors, fonts and GCs, the orphan-pixmap and font
// lists, and the mapping between the ids clients use and the ids the same resource has on each
// head's real server.
//
// Id layout: a client's ids carry its slot above the proxy's id mask (slot = id >> id shift,
// own part = id & id mask). Mask and shift live in proxyState (resourceIdMask/resourceIdShift);
// nothing else may assume their values.
#pragma once

#include <cstdint>

#include "proxy/resourcetable.h"

struct ClientConnection;
struct Head;
struct MetaScreen;
struct ServerDisplay;
struct VisualRecord;

// ----- The tables ------------------------------------------------------------------------------

uint32_t resourceIdMask();
// The slot of an id; kResourceClientSlots for ids beyond the tables.
uint32_t resourceSlotOf(uint32_t id);
uint32_t resourceIdShift();
// The slot's table, NULL when the slot lies beyond the tables or is unused.
ClientResourceTable *resourceTableOf(uint32_t index);

// Allocates the id base tables (slots other than 0, when not there yet), clears the close-down
// mode and gives the slot 64 empty buckets. 1, or 0 when out of memory.
int resourceInitClient(uint32_t index);
uint32_t resourceHash(uint32_t index, uint32_t id);
// Stores a record; 1, or 0 (the value freed through its type's free routine) when the slot is
// out of range or unused, or when out of memory.
int resourceAdd(uint32_t id, ResourceType type, void *value);
ResourceRecord *resourceLookupAny(uint32_t id);
void *resourceLookupByType(uint32_t id, ResourceType type);
GCRecord *resourceLookupGC(uint32_t id);
FontRecord *resourceLookupFont(uint32_t id);
void *resourceLookupWindow(uint32_t id);
PixmapRecord *resourceLookupPixmap(uint32_t id);
// The type of the id's first record and its value; 0 when unknown.
ResourceType resourceLookupIdType(uint32_t id, void **value);
// 1 when the current client may not create a resource of this id: another slot's id (slot 0
// and ids beyond the tables included) or an id with a record. An orphan pixmap's id is free.
int resourceIdNotNew(uint32_t id);
// The lowest unused slot from 1 whose ids fit 29 bits; 0 ("UNE" logged) when none.
uint32_t resourceFreeClientSlot();
uint32_t resourceFindFreeId(uint32_t index, uint32_t low, uint32_t high, uint32_t hint);
// The largest run of free ids in the slot's range (see XC-MISC); 0, 0 when none.
void resourceGetIdRange(uint32_t index, int serverFlag, uint32_t *min, uint32_t *max);
// Removes every record of the id, calling the free routine of each whose type is not skipType.
void resourceFree(uint32_t id, ResourceType skipType);
void resourceFreeByType(ResourceType type, uint32_t id, void *value);
void resourceFreeAllOfClient(uint32_t index);
// The full close of a client whose raw connections the real servers still have to answer:
// its records go as resourceFreeAllOfClient frees them, its slot and id bases stay (see
// ClientResourceTable::departing) until resourceReleaseDepartedSlot.
void resourceDepartClient(uint32_t index);
void resourceReleaseDepartedSlot(uint32_t index);
// Records the serial of the marker that follows a departed slot's close (see
// ClientResourceTable::departureMarker); nothing for a slot that does not depart.
void resourceSetDepartureMarker(uint32_t index, uint64_t serial);
// How many slots depart now.
uint32_t resourceDepartingSlots();
// What a released departed slot leaves behind: its bases under its marker's serial, so that a
// raw connection that has not read that marker yet still reads the slot's ids in what the
// real server said before the close (resourceServerToClientIdOf), while the slot itself serves
// a newcomer, however many departures that connection sleeps through: the record is never
// dropped while a connection may read what it speaks for (about 16 bytes, and 16 more for
// each head it had). Kept by resourceReleaseDepartedSlot (for a slot whose marker went out);
// forgotten by resourceForgetDepartedRecords once `passed` says that every connection on the
// displays of its bases has read past the marker (`passed` NULL: all of them, at reset). More
// than resourceDepartedRecordLimit records kept (kResourceDepartedRecordLimit; tests may lower
// it): the clients whose connections sleep before the oldest are ended (connections.cpp), so
// that theirs can go.
constexpr uint32_t kResourceDepartedRecordLimit = 262144;
extern uint32_t resourceDepartedRecordLimit;
void resourceKeepDepartedBases(uint32_t index);
using ResourceMarkerPassed = bool (*)(const ServerDisplay *display, uint64_t marker, void *context);
void resourceForgetDepartedRecords(ResourceMarkerPassed passed, void *context = nullptr);
uint32_t resourceDepartedRecordCount();
// The oldest marker serial of a kept record with a base on the display (0: none), of any kept
// record (0: none).
uint64_t resourceOldestDepartedMarker(const ServerDisplay *display);
uint64_t resourceOldestDepartedMarkerAll();
// The slots whose base for a head is set are indexed by head and base (resourceSetScreenIdBase
// adds, clearing a slot's bases removes them).
void resourceUnindexBases(uint32_t index);
void resourceKillTemporaryClients();
void resourceFreeIdBases();
// An id for a resource the proxy creates for a client; 0 when the client's range is full.
uint32_t resourceNewServerSideId(ClientConnection *client);
void resourceFreeServerSideId(uint32_t id);

// ----- Id mapping ------------------------------------------------------------------------------
// Records the id base a client's raw connection got for a head (and its font head).
void resourceSetScreenIdBase(uint32_t index, Head *head, uint32_t base);
// The id of a client resource on a head's real server (kind: a type, or 11 real root, 12 real
// default colormap, 10 per-screen resource). A departing slot's ids go with its kept bases.
// An id of a client slot that is neither in use nor departing becomes an id that names
// nothing on any server (kResourceNoServerId bits set), so that it cannot name another client's
// resource there; other unknown ids (the proxy's own, visuals, None ...) stay as they are.
constexpr uint32_t kResourceNoServerId = 0xe0000000u;
uint32_t resourceServerId(uint32_t id, uint32_t kind, Head *head);
// A real server's id back to the client id; ids of no client stay as they are. Read from a
// raw connection (xproxyCurrentDisplayConnection on the display), a base that a departing slot
// still speaks for on that connection (its marker not read there yet) is that slot's, before
// a live slot that got the same base since; else live slots come first.
uint32_t resourceServerToClientId(uint32_t id, ServerDisplay *display);
// The same with the answer whether the id carries a client's id base at all (1, the client id
// in *clientId) or not (0, *clientId = id). A client id equal to the server id is an ordinary
// translation (the slot may equal the raw connection's client index): never infer "not a
// client's id" from the number staying the same.
int resourceServerToClientIdOf(uint32_t id, ServerDisplay *display, uint32_t *clientId);
MetaScreen *resourceMetaScreenOf(uint32_t id);
// Never NULL while a meta screen exists.
MetaScreen *resourceMetaScreenOfId(uint32_t id);
void resourceCacheDrawable(ClientConnection *client, uint32_t id);
VisualRecord *resourceVisualOfDrawable(uint32_t id);
// Registers a head's client-side root window as type 9 of slot 0 (the slot set up when needed).
int resourceAddHeadRoot(Head *head);
// The server side of a pixmap at its last reference: the owner's pixmaps on every head (while
// its raw connections hold them, through the current client's connection) and the Xlib copies.
void resourceFreeServerPixmaps(PixmapRecord *pixmap);
// The owner's pixmaps alone (FreePixmap through the current client's connection while they are
// valid); they are invalid afterwards. The Xlib copies stay.
void resourceFreeOwnerPixmaps(PixmapRecord *pixmap);
// After an error answered a request that was to create the id: the resource is destroyed on
// every head of its meta screen (through the proxy's Xlib connections) and its records freed.
void resourceDestroyEverywhere(uint32_t id);

// ----- Fonts, cursors, pixmaps ---------------------------------------------------------------
void resourceRef(FontRecord *font);
void resourceReleaseFont(FontRecord *font, uint32_t id);
FontRecord *resourceNewFont(uint32_t id, const char *name, uint32_t length);
// The charset registry and encoding of an XLFD name (after its 13th hyphen) as a temporary
// string; NULL for other names or a wildcard there.
const char *resourceFontCharset(const FontRecord *font);
CursorRecord *resourceCreateCursor(uint32_t id, uint32_t count);
void resourceReleaseCursor(CursorRecord *cursor);
// A pixmap record added as type 2; NULL when out of memory.
PixmapRecord *resourceCreatePixmap(uint32_t id, MetaScreen *screen, VisualRecord *visual, uint16_t width,
                                   uint16_t height, uint16_t depth);
// One reference less; a pixmap whose id was freed meanwhile waits in the orphan list, its
// owner's server pixmaps freed at once (what uses them keeps them on the real server) and its
// id free for a new resource. At no reference the server pixmaps and the Xlib copies are
// freed, then the record.
void resourceFreePixmap(PixmapRecord *pixmap, int freedById);
// Notes that the pixmap's pixels in the rectangle (clipped to the pixmap) are right on that
// head only; out of memory, the note is left out.
void resourceNotePixmapPart(PixmapRecord *pixmap, int64_t x, int64_t y, int64_t width, int64_t height, Head *head);
// Whether the pixmap's first user of another client (userId) makes Xlib copies of it: then the
// request that shares it waits, parked (proxy/park.h), until its client's earlier requests have
// reached the servers, and shares it in its resume.
int resourceShareMakesCopies(const PixmapRecord *pixmap, uint32_t userId);
// One more user of the pixmap; a user of another client gets Xlib copies of it on every head
// (they keep the pixels when the owner's connection goes), made once the client's earlier
// requests have reached the servers: `failure` is the text of a wait for that which failed
// (logged, no copies made), NULL otherwise.
void resourceSharePixmap(PixmapRecord *pixmap, uint32_t userId, const char *failure);
// The id to draw with on a head (the client id without a head).
uint32_t resourcePixmapServerId(PixmapRecord *pixmap, Head *head);
PixmapRecord *resourceFindOrphanPixmap(uint32_t id);

// ----- Colormap shadows ----------------------------------------------------------------------
// The free routine of type 5: the cell list, the colour arrays and the record.
void resourceFreeColormapShadow(ColormapShadow *shadow);
// Takes a shadow off the list of those with a record (resourceFreeColormapShadow does).
void resourceUnlistColormap(ColormapShadow *shadow);
// Colormap shadows (ResourceColor: proxy/resourcetable.h).
ColormapShadow *resourceCreateColormap(ClientConnection *client, uint32_t id, MetaScreen *screen, VisualRecord *visual,
                                       uint32_t alloc);
int resourcePreallocColormap(ClientConnection *client, ColormapShadow *shadow, Head *head, VisualRecord *visual,
                             VisualRecord *headVisual);
int resourceAddColor(ClientConnection *client, ColormapShadow *shadow, const ResourceColor *colour);
int resourceAddColorCells(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                          const uint32_t *masks, uint32_t m);
int resourceAddColorPlanes(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                           uint32_t redMask, uint32_t greenMask, uint32_t blueMask);
void resourceStoreColors(ColormapShadow *shadow, const ResourceColor *items, uint32_t n);
void resourceStoreNamedColor(ColormapShadow *shadow, uint32_t pixel, uint8_t flags, const char *name, uint32_t length);
void resourceFreeColormapCells(ClientConnection *client, ColormapShadow *shadow, const uint32_t *pixels, uint32_t n,
                               uint32_t planeMask);
int resourceMoveClientCells(ClientConnection *client, ColormapShadow *from, ColormapShadow *to);
// A fully closing client's cells in every colormap it does not own (the proxy's included) go:
// its entries, released on the other heads, and its cells of emulated colormaps.
void resourceFreeClientCells(ClientConnection *client);
// The cell index of a pixel in the colour arrays, below the size; shadows without arrays give 0.
uint32_t resourceCellIndex(const ColormapShadow *shadow, uint32_t pixel, int channel);
// 1 when the "visuals" log type is on.
int resourceVisualTracing();
