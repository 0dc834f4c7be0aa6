// The RENDER extension: picture formats and set-up (render.cpp), pictures, glyph sets, drawing
// and the request writers the core's cursor code uses (renderpicture.cpp).
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

struct Head;
struct MetaScreen;
struct RenderFormatInfo;  // proxy/xvisual.h: a format as a real display reports it
struct RequestSink;
struct ServerDisplay;

// ===== picture formats =====
constexpr uint32_t kRenderFormatVisuals = 500;  // 499 visual ids and the end mark
constexpr uint32_t kRenderFormatHeads = 128;    // one slot per head index

// One picture format offered to clients. The table in ProxyState owns the entries; each is also
// entered in the resource database under its id with type 19, whose free routine frees nothing.
struct RenderPictFormat {
  uint32_t id;               // the proxy's own format id
  uint8_t type;              // 0 Indexed, 1 Direct
  uint8_t depth;
  uint16_t metaScreenIndex;  // meaningful only when visuals[0] != 0
  uint8_t bits[4];           // red, green, blue, alpha bit counts (0 for Indexed)
  uint8_t shifts[4];         // red, green, blue, alpha shifts (0 for Indexed)
  uint32_t colormap;         // the client's view; 0 for Direct formats and formats without one
  uint32_t visuals[kRenderFormatVisuals];  // the meta screen's visual ids, ended by 0
  uint32_t idsPerHead[kRenderFormatHeads];  // the same format's id on each head's real server
};

// Appends an entry for the display's format (head and meta screen NULL for a format without
// visuals): a new id, the visuals the head places on the meta screen, and the format's id in
// the slot of every head of the display. 1, or 0 when the table cannot grow.
int renderAddFormat(ServerDisplay *display, Head *head, const RenderFormatInfo *format, MetaScreen *screen);
// Stores the id of the first format of the head's display that can stand for the entry in the
// entry's slot for the head; NULL, or the text saying what the display lacks.
const char *renderMatchFormatOnHead(RenderPictFormat *entry, Head *head);
// The id of a format on the head's real server: the slot of the type-19 entry found under the
// id, as the same format of the head's screen (every screen has its own formats), or the id
// itself when there is no such entry.
uint32_t renderPictFormatOnHead(uint32_t format, Head *head);
// The entry whose slot for the head holds the real server's id; NULL when none.
RenderPictFormat *renderFindFormatByHeadId(uint32_t serverFormat, Head *head);
// The meta screen whose visuals the format carries; NULL when the format has no visuals.
MetaScreen *renderFormatMetaScreen(const RenderPictFormat *format);
// ===== end of picture formats =====

// ===== reply mapping =====
// Maps a QueryPictFormats reply of the display (the proxy's byte order) in place to what the
// client sees: formats the table lacks cut, ids and colormaps translated, screens whose head is
// not its meta screen's primary cut with their depths, visuals and subpixel, visuals no entry
// stands for cut, fallbacks translated (0 without an entry), no subpixels below version code 6.
// Counts and length word are rewritten; nothing outside [reply, reply + length) is read. Returns
// the new length.
uint32_t renderMapPictFormats(uint8_t *reply, uint32_t length, ServerDisplay *display, uint16_t version);
// ===== end of reply mapping =====

// ===== set-up =====
// Reads a display's picture formats and its RENDER version (malloc'ed array; NULL when the
// display has none). Replaceable for tests; the default asks the display through Xlib.
using RenderFormatReader = RenderFormatInfo *(*)(ServerDisplay *display, int *major, int *minor, int *count);
extern RenderFormatReader renderReadFormats;
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered.
const char *renderSetup(ExtensionRecord *record);
// Frees the format table, its resource entries and the displays' format lists.
void renderReset();
// ===== end of set-up =====

// ===== picture rows =====
// The row of a request on pictures, glyph sets, drawing or cursors (every minor from 4 to 36 but
// QueryFilters, 29); NULL for a minor without one. The set-up installs them by version.
const ExtRequestRow *renderPictureRow(uint8_t minor);
// Installs the five error rows (BadPictFormat ... BadGlyph) with their printers; NULL or a text.
const char *renderWriteErrorRows(ExtensionRecord *record);
// The printers of RENDER's errors from a real server (32 bytes): the client's sequence, a log
// line, the error queued for the client; BadPicture and BadGlyphSet carry the client's id.
void renderBadPictFormatError(uint8_t *error);
void renderBadPictureError(uint8_t *error);
void renderBadPictOpError(uint8_t *error);
void renderBadGlyphSetError(uint8_t *error);
void renderBadGlyphError(uint8_t *error);
// ===== end of picture rows =====

// ===== pictures and glyph sets =====
struct PixmapRecord;
struct WindowRecord;

// One client picture (resource type 20). A picture made on a window is linked into the window's
// picture list (the first element's prev is the last); one made on a pixmap holds a reference
// on it. Solid fills and gradients have neither and no format.
struct RenderPicture {
  RenderPicture *next;
  RenderPicture *prev;
  uint32_t id;
  uint32_t refCount;         // users besides the id itself
  WindowRecord *window;      // NULL unless made on a window
  PixmapRecord *pixmap;      // NULL unless made on a pixmap (a reference held)
  RenderPictFormat *format;  // NULL for solid fills and gradients
  // Set once the real servers no longer hold the picture (its window went, or it was destroyed
  // through the proxy's own connections): its release writes no FreePicture.
  uint8_t goneOnServer;
};

// One glyph set (resource type 21), shared by every id that names it (ReferenceGlyphSet).
struct RenderGlyphSet {
  MetaScreen *metaScreen;    // of its format; NULL: the glyph set lives on every head
  RenderPictFormat *format;
  uint32_t refCount;         // ids besides the first
};

// A new picture record with the id (reference count 0); NULL when out of memory.
RenderPicture *renderNewPicture(uint32_t id);
// The free routines of types 20 and 21: a reference less, or at none the record freed (a
// picture's FreePicture copies written through the current client first).
void renderReleasePicture(RenderPicture *picture);
void renderReleaseGlyphSet(RenderGlyphSet *glyphSet);
// FreePicture and FreeGlyphSet written straight into an Xlib display's output (nothing without
// the RENDER record).
void renderXlibFreePicture(struct _XDisplay *display, uint32_t picture);
void renderXlibFreeGlyphSet(struct _XDisplay *display, uint32_t glyphSet);
// ===== end of pictures and glyph sets =====

// ===== request writers =====
// The proxy's own RENDER requests on a head (the core's cursor code): each returns 0 when
// nothing could be written (no RENDER record, or the sink refused), else 1.
int renderSendCreatePicture(const RequestSink *sink, uint32_t picture, uint32_t drawable, uint32_t format);
int renderSendCreateCursor(const RequestSink *sink, uint32_t cursor, uint32_t picture, uint16_t x, uint16_t y);
int renderSendFreePicture(const RequestSink *sink, uint32_t picture);
// Pairs of frame cursor and delay in milliseconds.
int renderSendCreateAnimCursor(const RequestSink *sink, uint32_t cursor, const uint32_t *frames, uint32_t count);
// ===== end of request writers =====
