// Font helpers on any Xlib connection: glyph cursor bitmaps, text extents, a font atlas, a
// packed form of a font's metrics, font-path probes, font properties, XLFD names and the
// process-wide default font name.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>

// --- Glyph cursors ----------------------------------------------------------------------------

// The two 1-bit bitmaps of a glyph cursor, rendered by the display's server. A NULL font
// information is queried from the font (and released again). The cursor takes its size and hot
// spot from the mask glyph when there is a mask font, else from the source glyph; a zero width
// or height counts as 1. The bitmaps are in the default bitmap format (ximageDefaultFormat:
// rows of (width + 7) / 8 bytes, least significant bit first), malloc'ed, the caller frees them;
// without a mask font *maskBits is NULL. Returns 1 on success, 0 when a glyph is empty (width,
// ascent, descent and both bearings all 0), a font cannot be queried or a glyph read back (the
// server's error, or no answer within xtargetSyncLimitMs: logged) or memory runs out; on
// failure nothing is returned in the out parameters. The errors of the queries and read-backs
// are answers here; those of the drawing go to the installed handler.
int xfontMakeGlyphCursor(Display *display, Font sourceFont, XFontStruct *sourceInfo,
                         unsigned sourceChar, Font maskFont, XFontStruct *maskInfo,
                         unsigned maskChar, int *width, int *height, uint8_t **sourceBits,
                         uint8_t **maskBits, int *hotX, int *hotY);

// A malloc'ed bitmap of width x height in the default bitmap format with the low bit of each
// pixel of the image (pixels outside the image stay 0). Without an image (a read that failed),
// the bitmap is all zeros, still of the full size. NULL for a non-positive size or no memory.
uint8_t *xfontBitmapFromImage(XImage *image, int width, int height);

// --- Text extents -----------------------------------------------------------------------------

// The rectangle {x + left bearing, y - ascent, width, ascent + descent} of a string drawn at
// x, y, from XTextExtents / XTextExtents16. Sizes below 0 give 0; values are clamped to the
// ranges of XRectangle.
XRectangle xfontTextExtents(XFontStruct *font, const char *text, int length, int x, int y);
XRectangle xfontTextExtents16(XFontStruct *font, const XChar2b *text, int length, int x, int y);
// The same with the font's maximum ascent and descent where they are larger and the font's
// minimum left bearing where it is smaller: a box that any string of the font fits vertically.
XRectangle xfontTextExtentsFull(XFontStruct *font, const char *text, int length, int x, int y);
XRectangle xfontTextExtentsFull16(XFontStruct *font, const XChar2b *text, int length, int x,
                                  int y);

// --- Font atlas -------------------------------------------------------------------------------

// The place of one character in an atlas; all zero for a character without metrics.
struct FontAtlasEntry {
  int x;
  int y;
  int width;
  int height;
};

// Every character of a font drawn into one depth-1 pixmap. Characters are indexed row-major:
// (byte1 - min_byte1) x (max_char_or_byte2 - min_char_or_byte2 + 1) + (byte2 - min_char_or_byte2).
struct FontAtlas {
  Pixmap pixmap;  // owned by the caller (XFreePixmap)
  int width;      // below kFontAtlasMaxWidth
  int height;
  int count;                // number of entries
  FontAtlasEntry *entries;  // malloc'ed, count entries
};

constexpr int kFontAtlasMaxWidth = 4000;

// Draws every character of the font (font->fid) on the screen's root in rows of the font's
// maximum height, each row narrower than kFontAtlasMaxWidth. NULL on success, else an error
// text (and nothing allocated).
const char *xfontMakeAtlas(Display *display, int screen, XFontStruct *font, FontAtlas *atlas);
// Frees the pixmap and the entries; accepts a zeroed atlas.
void xfontFreeAtlas(Display *display, FontAtlas *atlas);

// --- Packed font metrics ----------------------------------------------------------------------
//
// bytes 0-1 default character, 2-3 ascent, 4-5 descent (16-bit, machine order), 6 first
// column, 7 last column, 8 first row, 9 last row, 10 flags, 11 form (1 short, 0 long); then the
// minimum and the maximum bounds and one entry per character (left bearing, right bearing,
// width, ascent, descent): signed bytes in the short form, 16-bit numbers in the long form. The
// character entries are present when the font has per-character metrics.

constexpr size_t kFontPackedHeaderLength = 12;
constexpr uint8_t kFontPackedNotLeftToRight = 0x1;
constexpr uint8_t kFontPackedNotAllExist = 0x2;
// Wire layouts that swap a packed buffer between the byte orders.
extern const char *const kFontPackedShortLayout;  // "sss"
extern const char *const kFontPackedLongLayout;   // "sssbbbbbbS"

// The packed form of the font's metrics in a malloc'ed buffer (*data, *length). The short form
// when every value of the bounds and the characters fits a signed byte. NULL on success, else
// an error text (a column or row above 255, a last column or row below the first, no memory).
const char *xfontPackMetrics(const XFontStruct *font, uint8_t **data, size_t *length);
// The layout that swaps a packed buffer (by its form byte); NULL for a buffer too short.
const char *xfontPackedLayout(const uint8_t *data, size_t length);
// A font record with the packed metrics: no properties, font id 0. NULL when the buffer is
// shorter than its header, bounds and characters say, names a last column or row below the
// first or an unknown form, or memory runs out (then "Out of memory" on the problem channel).
// Released with xfontFreeMetrics.
XFontStruct *xfontUnpackMetrics(const uint8_t *data, size_t length);
void xfontFreeMetrics(XFontStruct *font);
// The font's metrics as XQueryFont gives them (no properties: the glyph boxes need none), the
// wait for the server bounded by the sync limit. NULL and *font (released with
// xfontFreeMetrics) on success; else the failure text. A reply whose characters are fewer
// than its columns and rows name, or than its length holds, is refused.
const char *xfontQueryWithin(Display *display, Font id, XFontStruct **font);

// --- Font path probes -------------------------------------------------------------------------
//
// Each probe runs under a server grab, restores the path it found and ungrabs and flushes at
// the end. Errors of the probe are swallowed (the display's error trap, xtargetArmErrorTrap).

// accepted[i] = 1 when the server takes elements[i] as the whole path (the first element read
// back equals it), else 0. NULL or an error text (path unreadable).
const char *xfontProbePathElements(Display *display, const char *const *elements, int count,
                                   int *accepted);
// 1 when the server takes the whole path (read back element by element), 0 when it refuses it,
// -1 when the current path cannot be read.
int xfontProbePath(Display *display, const char *const *elements, int count);
// 1 when listing the fonts "*" with that path set gives an error (or the path is refused), 0
// when it does not, -1 when the current path cannot be read.
int xfontProbeListFonts(Display *display, const char *const *elements, int count);

// --- Font properties --------------------------------------------------------------------------

// The value of the named property as an atom name (malloc'ed copy), NULL when it is missing.
char *xfontPropertyAtomName(Display *display, XFontStruct *font, const char *property);
// The value of the named property as a number, 65535 when it is missing.
unsigned long xfontPropertyNumber(Display *display, XFontStruct *font, const char *property);

// --- XLFD names -------------------------------------------------------------------------------

constexpr int32_t kXlfdNumberMissing = 65535;

// The fourteen fields of an XLFD name. Strings are malloc'ed, NULL when missing ("*"); numbers
// are kXlfdNumberMissing when missing.
struct XlfdName {
  char *foundry;
  char *family;
  char *weight;
  char *slant;
  char *setWidth;
  char *addStyle;
  int32_t pixelSize;
  int32_t pointSize;
  int32_t resolutionX;
  int32_t resolutionY;
  char *spacing;
  int32_t averageWidth;
  char *registry;
  char *encoding;
};

// "-foundry-family-...-encoding" in a malloc'ed string: a missing field is "*", a negative
// number is '~' and its magnitude ("-~5"). NULL when out of memory.
char *xfontComposeXlfd(const XlfdName *name);
// Parses a name of exactly fourteen '-'-introduced fields; "~N" is -N. NULL and *name set on
// success (release with xfontFreeXlfd), else an error text.
const char *xfontParseXlfd(const char *text, XlfdName **name);
// Accepts NULL.
void xfontFreeXlfd(XlfdName *name);

// --- Default font name ------------------------------------------------------------------------

// The process-wide default font name, "fixed" until set. Setting NULL restores "fixed".
const char *xfontDefaultName();
void xfontSetDefaultName(const char *name);
