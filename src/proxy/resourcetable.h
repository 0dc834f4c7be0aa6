// The records of the resource database, apart from its functions (proxy/resource.h), so that
// the global state can hold the tables without including the functions' dependencies.
#pragma once

#include <cstdint>

struct ClientConnection;
struct EmulatedColormap;
struct Head;
struct MetaScreen;
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
  // A departed client's slot: its records are freed (bucketCount 0), but the slot stays taken
  // and its id bases go on translating, both ways, what names its resources: the requests of
  // others that still name them go out with its bases (the real server answers BadWindow ... as
  // it would directly), and what the real servers send about them after its close (the Unmap
  // and DestroyNotify of its windows reach other clients' connections later) comes back with
  // its ids. Set by resourceDepartClient (the full close of a client with raw connections);
  // cleared with the bases by resourceReleaseDepartedSlot, which the connections module calls
  // once every other raw connection has read past the departure's marker (see
  // departureMarker) and at reset (resourceFreeIdBases). A new client that gets an equal base
  // does not release it: on each connection the slot speaks for that base until the marker.
  uint8_t departing;
  // The serial of the marker the connections module sent after the real servers closed the
  // departed client (0: not sent yet). Events a raw connection reads before a marker of this
  // serial or later are older than the close's end; after it, the slot's bases mean whatever
  // holds them now (resourceServerToClientIdOf).
  uint64_t departureMarker;
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

// A part of a pixmap whose pixels are right on one head only: copied there from a window, whose
// copy on a head holds only what that head shows (in the pixmap's coordinates).
struct PixmapPart {
  int32_t x, y;
  uint32_t width, height;
  Head *head;
};
constexpr uint32_t kPixmapMaxParts = 32;

// Lifetime: created with its id (resourceCreatePixmap); each user (a GC's tile, stipple or clip
// mask, a window's background) takes a reference and lets it go through resourceFreePixmap.
// Freeing the id while users remain makes it an orphan: it leaves the resource table, its
// owner's server pixmaps are freed (the real server keeps what its users hold), and its id is
// free for a new resource of that slot, also of a later client. The last user's release frees
// the Xlib copies and the record; nothing reaches an orphan through its id any more.
struct PixmapRecord {
  PixmapRecord *next;  // orphan-pixmap list (only while the client's id is freed)
  PixmapRecord *prev;
  uint32_t id;         // the client id it was created with (an orphan's may name a new resource)
  uint16_t width, height, depth;
  uint8_t ownerCopiesValid;  // the owner's raw connections still hold the server pixmaps (never
                             // for an orphan)
  uint8_t orphan;            // in the orphan list
  MetaScreen *screen;
  VisualRecord *visual;      // the meta screen visual its pixels follow (NULL: none known)
  uint32_t refCount;         // users besides the id itself
  PixmapCopy *copies;
  // Parts copied from windows, oldest first (a later part overrides an earlier one where they
  // overlap); at most kPixmapMaxParts, the oldest dropped beyond. Elsewhere every head's copy
  // holds the same pixels.
  PixmapPart *parts;         // malloc'ed; NULL when none
  uint32_t partCount;
};

// One per cursor id; the image data per head are XrcImage records (data and mask buffers).
struct CursorRecord;
// One frame of an animated cursor (RENDER CreateAnimCursor): the frame's cursor, whose record
// the animated one holds a reference to (released when the animated record goes), and its delay.
struct CursorFrame {
  CursorRecord *cursor;
  uint32_t delay;  // milliseconds
};

struct CursorRecord {
  uint32_t id;           // 0 once the id was freed while references remain
  uint32_t refCount;     // starts at 1 (the id)
  uint32_t imageCount;   // entries of images (one per head)
  uint16_t xHot, yHot;
  uint16_t foreRed, foreGreen, foreBlue;
  uint16_t backRed, backGreen, backBlue;
  XrcImage *images;      // malloc'ed, zeroed at creation
  uint32_t pictFormat;   // the RENDER picture format of an image of depth above 1 (0: none)
  CursorFrame *frames;   // an animated cursor's frames (malloc'ed, owned), NULL for a still one
  uint32_t frameCount;
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

// The GC values by bit of the value mask (0..22), in protocol order.
enum : uint32_t {
  kGCFunction = 0, kGCPlaneMask, kGCForeground, kGCBackground, kGCLineWidth, kGCLineStyle, kGCCapStyle,
  kGCJoinStyle, kGCFillStyle, kGCFillRule, kGCTile, kGCStipple, kGCTileStippleX, kGCTileStippleY, kGCFont,
  kGCSubwindowMode, kGCGraphicsExposures, kGCClipX, kGCClipY, kGCClipMask, kGCDashOffset, kGCDashes,
  kGCArcMode, kGCValueCount,
};
constexpr uint32_t kGCValueMaskAll = (1u << kGCValueCount) - 1;  // 0x7fffff

struct GCRecord {
  uint32_t id;
  uint8_t depth;
  MetaScreen *screen;
  PixmapRecord *tile;      // each NULL or a reference held by the GC
  PixmapRecord *stipple;
  PixmapRecord *clipMask;
  FontRecord *font;
  // ===== GC values =====
  VisualRecord *visual;             // the drawable's visual (NULL: none known)
  uint32_t values[kGCValueCount];   // as the client last set them (kGCFunction ...)
  // ===== end of GC values =====
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
  ColormapCell *cells;       // malloc'ed, cellCapacity entries, the first cellCount in use
  uint32_t cellCount;
  uint32_t cellCapacity;     // grows by half again (AllocColor of one colour repeated adds entries)
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

// Colormap shadows. Colours are XColor-like items (pixel, red, green, blue, flags 1/2/4).
struct ResourceColor {
  uint32_t pixel;
  uint16_t red, green, blue;
  uint8_t flags;
};
