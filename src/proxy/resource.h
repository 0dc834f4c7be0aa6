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


struct ClientConnection;
struct ColormapShadow;
struct EmulatedColormap;
struct Head;
struct MetaScreen;
struct ServerDisplay;
struct VisualRecord;
struct XrcImage;  // xclient/xrclibcursors.h

constexpr uint32_t kResourceClientSlots = 1024;    // slot 0 is the proxy's own
constexpr uint32_t kResourceIdTableHeads = 128;    // entries of a slot's id base tables
constexpr uint32_t kResourceDefaultIdMask = 0xfffff;
constexpr uint32_t kResourceDefaultIdShift = 20;
constexpr uint32_t kResourceFirstHashBits = 6;     // 64 buckets
constexpr uint32_t kResourceMaxHashBits = 11;      // 2048 buckets; chains only grow beyond
constexpr uint32_t kResourceRetainTemporary = 2;   // close-down mode RetainTemporary
constexpr uint32_t kResourceIdLimit = 0x20000000;  // X ids have their top three bits clear

// Resource types (kinds 11 and 12 only name what resourceServerId should give for a root or a
// default colormap id; 4 is a visual, which has no record).
using ResourceType = uint32_t;
enum : uint32_t {
  kResourceWindow = 1,
  kResourcePixmap = 2,
  kResourceGC = 3,
  kResourceVisual = 4,
  kResourceColormap = 5,
  kResourceCursor = 6,
  kResourceFont = 7,
  kResourceHeadRoot = 9,         // value: the Head
  kResourceScreenResource = 10,  // per-screen XIE or print resource; value: the MetaScreen
  kResourceRealRoot = 11,
  kResourceRealDefaultColormap = 12,
  kResourceDbeBuffer = 13,
  kResourceGlxContext = 14,
  kResourceGlxDrawable = 15,
  kResourceGlxPbuffer = 16,
  kResourceShmSegment = 17,
  kResourceMbufBuffer = 18,
  kResourceRenderFormat = 19,
  kResourcePicture = 20,
  kResourceGlyphSet = 21,
  kResourceXie = 22,
  kResourceTypeCount = 23,
};

struct ResourceRecord {
  ResourceRecord *next;  // chain of one bucket; new records are pushed at the head
  uint32_t id;
  ResourceType type;
  void *value;           // the type's record (owned: freed through the type's free routine)
};

struct ClientResourceTable {
  ResourceRecord **buckets;  // bucketCount chains
  uint32_t elements;         // records in all chains
  uint32_t bucketCount;      // 64 at start, doubling up to 2048; 0 = slot unused
  uint32_t hashBits;         // log2 of bucketCount (6 .. 11)
  uint32_t *idBases;         // by a head's id-table index; NULL for slot 0
  uint32_t *fontIdBases;     // likewise, from the head's font head (fonts serve a whole display)
  uint32_t idBaseSet[kResourceIdTableHeads / 32];  // bit per head: its base was set
  uint32_t closeDownMode;    // kResourceRetainTemporary marks a slot for resourceKillTemporaryClients
  uint32_t serverIdCounter;  // resourceNewServerSideId counts down from the top of the range
};

// ----- Records of the types ------------------------------------------------------------------

// An Xlib copy of a shared pixmap on one head (made on the proxy's own connection).
struct PixmapCopy {
  PixmapCopy *next;  // the first copy's prev is the last
  PixmapCopy *prev;
  Head *head;
  uint32_t pixmap;   // the Xlib pixmap id
};

struct PixmapRecord {
  PixmapRecord *next;  // orphan-pixmap list (only while the client's id is freed)
  PixmapRecord *prev;
  uint32_t id;
  uint16_t width, height, depth;
  uint8_t ownerCopiesValid;  // the owner's raw connections still hold the server pixmaps
  uint8_t orphan;            // in the orphan list
  MetaScreen *screen;
  VisualRecord *visual;      // the meta screen visual its pixels follow (NULL: none known)
  uint32_t refCount;         // users besides the id itself
  PixmapCopy *copies;
};

// One per cursor id; the image data per head are XrcImage records (data and mask buffers).
struct CursorRecord {
  uint32_t id;
  uint32_t refCount;     // starts at 1 (the id)
  uint32_t imageCount;   // entries of images (one per head)
  uint16_t xHot, yHot;
  uint16_t foreRed, foreGreen, foreBlue;
  uint16_t backRed, backGreen, backBlue;
  XrcImage *images;      // malloc'ed, zeroed at creation
};

struct FontRecord {
  FontRecord *next;  // font list; the first font's prev is the last
  FontRecord *prev;
  uint32_t id;       // 0 once the id was closed while references remain
  uint32_t refCount; // users besides the id itself
  char **names;      // malloc'ed list of malloc'ed names (the server's ListFonts answer)
  uint32_t nameCount;
  uint32_t nameLength;
  char *name;        // in the same allocation, NUL-terminated
};

struct GCRecord {
  uint32_t id;
  uint8_t depth;
  MetaScreen *screen;
  PixmapRecord *tile;      // each NULL or a reference held by the GC
  PixmapRecord *stipple;
  PixmapRecord *clipMask;
  FontRecord *font;
};

// One cell (or plane group) a client holds in a colormap.
struct ColormapCell {
  ClientConnection *client;  // NULL: the proxy's own
  uint32_t pixel;
  uint32_t planeMask;        // 0 for a single cell
  uint32_t readOnly;         // 1 shared read-only cell, 0 read-write cell or plane group
};

// The proxy's shadow of a client colormap (type 5): who holds which cells, and the colours of
// a dynamic visual's cells.
struct ColormapShadow {
  uint32_t id;
  uint32_t allocMode;        // 0 AllocNone, 1 AllocAll
  MetaScreen *screen;
  VisualRecord *visual;      // of the meta screen
  uint32_t size;             // the visual's colormap entries (entries of red, green, blue)
  uint16_t *red, *green, *blue;  // dynamic classes only (class odd), else NULL
  ColormapCell *cells;
  uint32_t cellCount;
  EmulatedColormap *emulated;  // a head's emulated colormap standing for this one (owned), or NULL
};

// Routines of the extension types 13 to 22, filled by the extensions (all NULL: nothing done).
struct ResourceTypeRoutines {
  void (*free)(uint32_t id, void *value);
  // Destroys the resource on one head, with the head's server id, on the head's Xlib display.
  void (*destroyOnServer)(void *value, Head *head, uint32_t serverId);
  MetaScreen *(*metaScreenOf)(void *value);
  VisualRecord *(*visualOf)(void *value);
};
extern ResourceTypeRoutines resourceTypeRoutines[kResourceTypeCount];

// ----- The tables ------------------------------------------------------------------------------

uint32_t resourceIdMask();
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
// and ids beyond the tables included), an id in use, or an orphan pixmap's id.
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
void resourceKillTemporaryClients();
void resourceFreeIdBases();
// An id for a resource the proxy creates for a client; 0 when the client's range is full.
uint32_t resourceNewServerSideId(ClientConnection *client);
void resourceFreeServerSideId(uint32_t id);

// ----- Id mapping ------------------------------------------------------------------------------
// Records the id base a client's raw connection got for a head (and its font head).
void resourceSetScreenIdBase(uint32_t index, Head *head, uint32_t base);
// The id of a client resource on a head's real server (kind: a type, or 11 real root, 12 real
// default colormap, 10 per-screen resource). Unknown ids stay as they are.
uint32_t resourceServerId(uint32_t id, uint32_t kind, Head *head);
// A real server's id back to the client id; ids of no client stay as they are.
uint32_t resourceServerToClientId(uint32_t id, ServerDisplay *display);
MetaScreen *resourceMetaScreenOf(uint32_t id);
// Never NULL while a meta screen exists.
MetaScreen *resourceMetaScreenOfId(uint32_t id);
void resourceCacheDrawable(ClientConnection *client, uint32_t id);
VisualRecord *resourceVisualOfDrawable(uint32_t id);
// Registers a head's client-side root window as type 9 of slot 0 (the slot set up when needed).
int resourceAddHeadRoot(Head *head);
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
// One reference less; a pixmap whose id was freed meanwhile waits in the orphan list. At no
// reference the server pixmaps and the Xlib copies are freed, then the record.
void resourceFreePixmap(PixmapRecord *pixmap, int freedById);
// One more user of the pixmap; a user of another client gets Xlib copies of it on every head
// (they keep the pixels when the owner's connection goes).
void resourceSharePixmap(PixmapRecord *pixmap, uint32_t userId);
// The id to draw with on a head (the client id without a head).
uint32_t resourcePixmapServerId(PixmapRecord *pixmap, Head *head);
PixmapRecord *resourceFindOrphanPixmap(uint32_t id);

// ----- Colormap shadows ----------------------------------------------------------------------
// The free routine of type 5: the cell list, the colour arrays and the record.
void resourceFreeColormapShadow(ColormapShadow *shadow);
// Colormap shadows. Colours are XColor-like items (pixel, red, green, blue, flags 1/2/4).
struct ResourceColor {
  uint32_t pixel;
  uint16_t red, green, blue;
  uint8_t flags;
};
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
void resourceFreeClientCells(ClientConnection *client);
// The cell index of a pixel in the colour arrays, below the size; shadows without arrays give 0.
uint32_t resourceCellIndex(const ColormapShadow *shadow, uint32_t pixel, int channel);
// 1 when the "visuals" log type is on.
int resourceVisualTracing();
