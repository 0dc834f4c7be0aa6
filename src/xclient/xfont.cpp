// Font helpers on any Xlib connection: glyph cursor bitmaps, text extents, a font atlas, a
// packed form of a font's metrics, font-path probes, font properties, XLFD names and the
// process-wide default font name.
#include "xclient/xfont.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <X11/Xlib-xcb.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/ximage.h"
#include "xclient/xtarget.h"

// --- Glyph cursors ----------------------------------------------------------------------------

namespace {

// The box of one glyph as a cursor: its size and the glyph origin's place inside it.
struct GlyphBox {
  int width;
  int height;
  int hotX;
  int hotY;
};

// The glyph's metrics as the server reports them for a one-character string; false for an
// empty glyph (every metric 0).
bool glyphBox(XFontStruct *font, unsigned character, GlyphBox *box) {
  XChar2b text{static_cast<unsigned char>((character >> 8) & 0xff),
               static_cast<unsigned char>(character & 0xff)};
  int direction = 0, fontAscent = 0, fontDescent = 0;
  XCharStruct overall{};
  XTextExtents16(font, &text, 1, &direction, &fontAscent, &fontDescent, &overall);
  int lbearing = overall.lbearing, rbearing = overall.rbearing;
  int ascent = overall.ascent, descent = overall.descent;
  if (overall.width == 0 && ascent == 0 && descent == 0 && lbearing == 0 && rbearing == 0)
    return false;
  // The box is the ink, widened so that it contains the glyph origin.
  box->width = rbearing - lbearing;
  box->height = ascent + descent;
  if (lbearing > 0) {
    box->width = rbearing;
    box->hotX = 0;
  } else {
    box->hotX = -lbearing;
    if (rbearing < 0) box->width = -lbearing;
  }
  if (ascent < 0) {
    box->height = descent;
    box->hotY = 0;
  } else {
    box->hotY = ascent;
    if (descent < 0) box->height = ascent;
  }
  // A cursor has at least one pixel each way; a depth-1 pixmap cannot be empty either.
  box->width = std::max(box->width, 1);
  box->height = std::max(box->height, 1);
  return true;
}

// Font information queried for the call and released with it (the font itself stays loaded).
struct QueriedFont {
  XFontStruct *info = nullptr;
  ~QueriedFont() { xfontFreeMetrics(info); }
};

// One character's metrics as the wire has them (12 bytes).
XCharStruct charOfWire(const xcb_charinfo_t &wire) {
  return XCharStruct{wire.left_side_bearing, wire.right_side_bearing, wire.character_width,
                     wire.ascent,            wire.descent,            wire.attributes};
}

}  // namespace

const char *xfontQueryWithin(Display *display, Font id, XFontStruct **font) {
  *font = nullptr;
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection) return "No connection to the X server";
  XFlush(display);
  xcb_query_font_cookie_t cookie = xcb_query_font(connection, uint32_t(id));
  void *answer = nullptr;
  if (const char *failure = xtargetReplyWithin(display, cookie.sequence, xtargetSyncLimitMs, "QueryFont", &answer))
    return failure;
  auto *reply = static_cast<xcb_query_font_reply_t *>(answer);
  std::unique_ptr<void, decltype(&free)> owned(answer, free);
  uint64_t present = 32 + uint64_t(reply->length) * 4;
  uint64_t count = reply->char_infos_len;
  uint64_t columns = reply->max_char_or_byte2 >= reply->min_char_or_byte2
                         ? uint64_t(reply->max_char_or_byte2 - reply->min_char_or_byte2) + 1 : 0;
  uint64_t rows = reply->max_byte1 >= reply->min_byte1 ? uint64_t(reply->max_byte1 - reply->min_byte1) + 1 : 0;
  if (!columns || !rows || (count && count != columns * rows) ||
      present < sizeof(xcb_query_font_reply_t) + uint64_t(reply->properties_len) * 8 + count * 12)
    return "The X server's font metrics are malformed";
  auto *made = static_cast<XFontStruct *>(calloc(1, sizeof(XFontStruct)));
  auto *perChar = count ? static_cast<XCharStruct *>(calloc(count, sizeof(XCharStruct))) : nullptr;
  if (!made || (count && !perChar)) {
    free(made);
    free(perChar);
    return OUT_OF_MEMORY_TEXT();
  }
  made->fid = id;
  made->direction = reply->draw_direction;
  made->min_char_or_byte2 = reply->min_char_or_byte2;
  made->max_char_or_byte2 = reply->max_char_or_byte2;
  made->min_byte1 = reply->min_byte1;
  made->max_byte1 = reply->max_byte1;
  made->all_chars_exist = reply->all_chars_exist;
  made->default_char = reply->default_char;
  made->min_bounds = charOfWire(reply->min_bounds);
  made->max_bounds = charOfWire(reply->max_bounds);
  made->ascent = reply->font_ascent;
  made->descent = reply->font_descent;
  const xcb_charinfo_t *wire = xcb_query_font_char_infos(reply);
  for (uint64_t i = 0; i < count; i++) perChar[i] = charOfWire(wire[i]);
  made->per_char = perChar;
  *font = made;
  return nullptr;
}

namespace {

// Draws the character with its origin at the box's hot spot into a depth-1 pixmap of the
// box's size and returns the pixels as a bitmap of the default format; NULL (logged) when the
// read-back fails or the server does not answer it within the sync limit.
uint8_t *renderGlyph(Display *display, Font font, unsigned character, const GlyphBox &box) {
  Window root = DefaultRootWindow(display);
  Pixmap pixmap = XCreatePixmap(display, root, static_cast<unsigned>(box.width),
                                static_cast<unsigned>(box.height), 1);
  XGCValues values{};
  values.foreground = 0;
  values.background = 0;
  values.font = font;
  values.graphics_exposures = False;
  GC gc = XCreateGC(display, pixmap, GCForeground | GCBackground | GCFont | GCGraphicsExposures,
                    &values);
  XFillRectangle(display, pixmap, gc, 0, 0, static_cast<unsigned>(box.width),
                 static_cast<unsigned>(box.height));
  XSetForeground(display, gc, 1);
  XChar2b text{static_cast<unsigned char>((character >> 8) & 0xff),
               static_cast<unsigned char>(character & 0xff)};
  XDrawString16(display, pixmap, gc, box.hotX, box.hotY, &text, 1);
  XImage *image = nullptr;
  const char *failure = ximageGetImageWithin(display, pixmap, 0, 0, static_cast<unsigned>(box.width),
                                             static_cast<unsigned>(box.height), 1, XYPixmap,
                                             xtargetSyncLimitMs, &image);
  uint8_t *bits = nullptr;
  if (failure)
    LOG(logChannelProblem, "Reading a glyph of font 0x%lx failed: %s", static_cast<unsigned long>(font), failure);
  else
    bits = xfontBitmapFromImage(image, box.width, box.height);
  if (image) XDestroyImage(image);
  XFreeGC(display, gc);
  XFreePixmap(display, pixmap);
  return bits;
}

}  // namespace

uint8_t *xfontBitmapFromImage(XImage *image, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  XImage bitmap{};
  if (ximageInit(&bitmap, width, height, 0, nullptr, &ximageDefaultFormat) != nullptr)
    return nullptr;
  if (image) {
    int w = std::min(width, image->width), h = std::min(height, image->height);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) XPutPixel(&bitmap, x, y, XGetPixel(image, x, y) & 1);
  }
  return reinterpret_cast<uint8_t *>(bitmap.data);
}

int xfontMakeGlyphCursor(Display *display, Font sourceFont, XFontStruct *sourceInfo,
                         unsigned sourceChar, Font maskFont, XFontStruct *maskInfo,
                         unsigned maskChar, int *width, int *height, uint8_t **sourceBits,
                         uint8_t **maskBits, int *hotX, int *hotY) {
  if (!display) return 0;
  QueriedFont querySource, queryMask;
  if (!sourceInfo) {
    if (const char *failure = xfontQueryWithin(display, sourceFont, &querySource.info)) {
      LOG(logChannelProblem, "Querying font 0x%lx failed: %s", static_cast<unsigned long>(sourceFont), failure);
      return 0;
    }
    sourceInfo = querySource.info;
  }
  GlyphBox box{};
  if (!glyphBox(sourceInfo, sourceChar, &box)) return 0;
  if (maskFont != None) {
    if (!maskInfo) {
      if (maskFont == sourceFont) {
        maskInfo = sourceInfo;
      } else {
        if (const char *failure = xfontQueryWithin(display, maskFont, &queryMask.info)) {
          LOG(logChannelProblem, "Querying font 0x%lx failed: %s", static_cast<unsigned long>(maskFont), failure);
          return 0;
        }
        maskInfo = queryMask.info;
      }
    }
    // The mask glyph gives the cursor its size and hot spot.
    if (!glyphBox(maskInfo, maskChar, &box)) return 0;
  }

  uint8_t *source = renderGlyph(display, sourceFont, sourceChar, box);
  if (!source) return 0;
  uint8_t *mask = nullptr;
  if (maskFont != None) {
    mask = renderGlyph(display, maskFont, maskChar, box);
    if (!mask) {
      free(source);
      return 0;
    }
  }
  *width = box.width;
  *height = box.height;
  *hotX = box.hotX;
  *hotY = box.hotY;
  *sourceBits = source;
  *maskBits = mask;
  return 1;
}

// --- Text extents -----------------------------------------------------------------------------

namespace {

short clampShort(long value) {
  return static_cast<short>(std::clamp<long>(value, SHRT_MIN, SHRT_MAX));
}

unsigned short clampSize(long value) {
  return static_cast<unsigned short>(std::clamp<long>(value, 0, USHRT_MAX));
}

XRectangle boxOf(const XCharStruct &overall, int x, int y) {
  XRectangle box;
  box.x = clampShort(long{x} + overall.lbearing);
  box.y = clampShort(long{y} - overall.ascent);
  box.width = clampSize(overall.width);
  box.height = clampSize(long{overall.ascent} + overall.descent);
  return box;
}

// Widens the string's extents to the font's extremes.
void fullExtents(const XFontStruct *font, XCharStruct *overall) {
  overall->ascent = std::max(overall->ascent, font->max_bounds.ascent);
  overall->descent = std::max(overall->descent, font->max_bounds.descent);
  overall->lbearing = std::min(overall->lbearing, font->min_bounds.lbearing);
}

}  // namespace

XRectangle xfontTextExtents(XFontStruct *font, const char *text, int length, int x, int y) {
  int direction, ascent, descent;
  XCharStruct overall{};
  XTextExtents(font, text, std::max(length, 0), &direction, &ascent, &descent, &overall);
  return boxOf(overall, x, y);
}

XRectangle xfontTextExtents16(XFontStruct *font, const XChar2b *text, int length, int x, int y) {
  int direction, ascent, descent;
  XCharStruct overall{};
  XTextExtents16(font, text, std::max(length, 0), &direction, &ascent, &descent, &overall);
  return boxOf(overall, x, y);
}

XRectangle xfontTextExtentsFull(XFontStruct *font, const char *text, int length, int x, int y) {
  int direction, ascent, descent;
  XCharStruct overall{};
  XTextExtents(font, text, std::max(length, 0), &direction, &ascent, &descent, &overall);
  fullExtents(font, &overall);
  return boxOf(overall, x, y);
}

XRectangle xfontTextExtentsFull16(XFontStruct *font, const XChar2b *text, int length, int x,
                                  int y) {
  int direction, ascent, descent;
  XCharStruct overall{};
  XTextExtents16(font, text, std::max(length, 0), &direction, &ascent, &descent, &overall);
  fullExtents(font, &overall);
  return boxOf(overall, x, y);
}

// --- Font atlas -------------------------------------------------------------------------------

namespace {

int columnsOf(const XFontStruct *font) {
  return static_cast<int>(font->max_char_or_byte2) - static_cast<int>(font->min_char_or_byte2) + 1;
}

int rowsOf(const XFontStruct *font) {
  return static_cast<int>(font->max_byte1) - static_cast<int>(font->min_byte1) + 1;
}

// The metrics of character index i; NULL for a character that does not exist.
const XCharStruct *charMetrics(const XFontStruct *font, int index) {
  if (!font->per_char) return &font->max_bounds;
  const XCharStruct *metrics = &font->per_char[index];
  if (metrics->width == 0 && metrics->lbearing == 0 && metrics->rbearing == 0 &&
      metrics->ascent == 0 && metrics->descent == 0)
    return nullptr;
  return metrics;
}

}  // namespace

const char *xfontMakeAtlas(Display *display, int screen, XFontStruct *font, FontAtlas *atlas) {
  *atlas = FontAtlas{};
  if (!display || !font || screen < 0 || screen >= ScreenCount(display))
    return "No display, screen or font for the font atlas";
  int columns = columnsOf(font), rows = rowsOf(font);
  if (columns <= 0 || rows <= 0 || columns > 65536 || rows > 256)
    return "The font's character range is empty or too large";
  int count = columns * rows;
  int rowHeight = std::max(font->max_bounds.ascent + font->max_bounds.descent, 1);
  auto *entries = static_cast<FontAtlasEntry *>(calloc(static_cast<size_t>(count), sizeof(FontAtlasEntry)));
  if (!entries) return OUT_OF_MEMORY_TEXT();

  // Places first, so that the pixmap is made once at its final size.
  int x = 0, y = 0, widest = 1;
  for (int i = 0; i < count; i++) {
    const XCharStruct *metrics = charMetrics(font, i);
    if (!metrics) continue;
    int w = metrics->rbearing - metrics->lbearing;
    int h = metrics->ascent + metrics->descent;
    if (w <= 0 || h <= 0) continue;
    w = std::min(w, kFontAtlasMaxWidth - 1);
    h = std::min(h, rowHeight);
    if (x + w >= kFontAtlasMaxWidth) {
      x = 0;
      y += rowHeight;
    }
    int top = std::max(font->max_bounds.ascent - metrics->ascent, 0);
    entries[i] = FontAtlasEntry{x, y + std::min(top, rowHeight - h), w, h};
    x += w;
    widest = std::max(widest, x);
  }
  int height = y + rowHeight;
  if (height > 32767) {
    free(entries);
    return "The font atlas would be too high";
  }

  Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), static_cast<unsigned>(widest),
                                static_cast<unsigned>(height), 1);
  XGCValues values{};
  values.foreground = 0;
  values.font = font->fid;
  values.graphics_exposures = False;
  GC gc = XCreateGC(display, pixmap, GCForeground | GCFont | GCGraphicsExposures, &values);
  XFillRectangle(display, pixmap, gc, 0, 0, static_cast<unsigned>(widest),
                 static_cast<unsigned>(height));
  XSetForeground(display, gc, 1);
  for (int i = 0; i < count; i++) {
    const FontAtlasEntry &entry = entries[i];
    if (entry.width == 0) continue;
    const XCharStruct *metrics = charMetrics(font, i);
    XChar2b text{static_cast<unsigned char>(font->min_byte1 + i / columns),
                 static_cast<unsigned char>(font->min_char_or_byte2 + i % columns)};
    // Clip to the entry so that a glyph wider than its place does not spill into the next.
    XRectangle clip{static_cast<short>(entry.x), static_cast<short>(entry.y),
                    static_cast<unsigned short>(entry.width), static_cast<unsigned short>(entry.height)};
    XSetClipRectangles(display, gc, 0, 0, &clip, 1, Unsorted);
    XDrawString16(display, pixmap, gc, entry.x - metrics->lbearing, entry.y + metrics->ascent,
                  &text, 1);
  }
  XFreeGC(display, gc);
  atlas->pixmap = pixmap;
  atlas->width = widest;
  atlas->height = height;
  atlas->count = count;
  atlas->entries = entries;
  return nullptr;
}

void xfontFreeAtlas(Display *display, FontAtlas *atlas) {
  if (!atlas) return;
  if (display && atlas->pixmap != None) XFreePixmap(display, atlas->pixmap);
  free(atlas->entries);
  *atlas = FontAtlas{};
}

// --- Packed font metrics ----------------------------------------------------------------------

const char *const kFontPackedShortLayout = "sss";
const char *const kFontPackedLongLayout = "sssbbbbbbS";

namespace {

constexpr size_t kValuesPerChar = 5;

void valuesOf(const XCharStruct &metrics, int values[kValuesPerChar]) {
  values[0] = metrics.lbearing;
  values[1] = metrics.rbearing;
  values[2] = metrics.width;
  values[3] = metrics.ascent;
  values[4] = metrics.descent;
}

bool fitsByte(const XCharStruct &metrics) {
  int values[kValuesPerChar];
  valuesOf(metrics, values);
  return std::all_of(values, values + kValuesPerChar, [](int v) { return v >= -128 && v <= 127; });
}

void put16(uint8_t *at, int value) {
  uint16_t v = static_cast<uint16_t>(value);
  memcpy(at, &v, 2);
}

int16_t get16(const uint8_t *at) {
  int16_t v;
  memcpy(&v, at, 2);
  return v;
}

uint8_t *putMetrics(uint8_t *at, const XCharStruct &metrics, bool shortForm) {
  int values[kValuesPerChar];
  valuesOf(metrics, values);
  for (int v : values) {
    if (shortForm) {
      *at++ = static_cast<uint8_t>(static_cast<int8_t>(v));
    } else {
      put16(at, v);
      at += 2;
    }
  }
  return at;
}

const uint8_t *getMetrics(const uint8_t *at, XCharStruct *metrics, bool shortForm) {
  int values[kValuesPerChar];
  for (int &v : values) {
    if (shortForm) {
      v = static_cast<int8_t>(*at++);
    } else {
      v = get16(at);
      at += 2;
    }
  }
  metrics->lbearing = static_cast<short>(values[0]);
  metrics->rbearing = static_cast<short>(values[1]);
  metrics->width = static_cast<short>(values[2]);
  metrics->ascent = static_cast<short>(values[3]);
  metrics->descent = static_cast<short>(values[4]);
  metrics->attributes = 0;
  return at;
}

}  // namespace

const char *xfontPackMetrics(const XFontStruct *font, uint8_t **data, size_t *length) {
  if (!font) return "No font to pack";
  if (font->min_char_or_byte2 > 255 || font->max_char_or_byte2 > 255 || font->min_byte1 > 255 ||
      font->max_byte1 > 255)
    return "The font's columns or rows do not fit the packed form";
  if (font->max_char_or_byte2 < font->min_char_or_byte2 || font->max_byte1 < font->min_byte1)
    return "The font's last column or row lies below the first";
  size_t count = font->per_char ? static_cast<size_t>(columnsOf(font)) * static_cast<size_t>(rowsOf(font)) : 0;
  bool shortForm = fitsByte(font->min_bounds) && fitsByte(font->max_bounds);
  for (size_t i = 0; shortForm && i < count; i++) shortForm = fitsByte(font->per_char[i]);
  size_t unit = shortForm ? kValuesPerChar : 2 * kValuesPerChar;
  size_t total = kFontPackedHeaderLength + (2 + count) * unit;
  auto *buffer = static_cast<uint8_t *>(malloc(total));
  if (!buffer) return OUT_OF_MEMORY_TEXT();
  put16(buffer, static_cast<int>(font->default_char));
  put16(buffer + 2, font->ascent);
  put16(buffer + 4, font->descent);
  buffer[6] = static_cast<uint8_t>(font->min_char_or_byte2);
  buffer[7] = static_cast<uint8_t>(font->max_char_or_byte2);
  buffer[8] = static_cast<uint8_t>(font->min_byte1);
  buffer[9] = static_cast<uint8_t>(font->max_byte1);
  buffer[10] = static_cast<uint8_t>((font->direction != FontLeftToRight ? kFontPackedNotLeftToRight : 0) |
                                    (font->all_chars_exist ? 0 : kFontPackedNotAllExist));
  buffer[11] = shortForm ? 1 : 0;
  uint8_t *at = buffer + kFontPackedHeaderLength;
  at = putMetrics(at, font->min_bounds, shortForm);
  at = putMetrics(at, font->max_bounds, shortForm);
  for (size_t i = 0; i < count; i++) at = putMetrics(at, font->per_char[i], shortForm);
  *data = buffer;
  *length = total;
  return nullptr;
}

const char *xfontPackedLayout(const uint8_t *data, size_t length) {
  if (!data || length < kFontPackedHeaderLength) return nullptr;
  return data[11] == 1 ? kFontPackedShortLayout : kFontPackedLongLayout;
}

XFontStruct *xfontUnpackMetrics(const uint8_t *data, size_t length) {
  if (!data || length < kFontPackedHeaderLength) return nullptr;
  int firstColumn = data[6], lastColumn = data[7], firstRow = data[8], lastRow = data[9];
  if (lastColumn < firstColumn || lastRow < firstRow || data[11] > 1) return nullptr;
  bool shortForm = data[11] == 1;
  uint64_t unit = shortForm ? kValuesPerChar : 2 * kValuesPerChar;
  uint64_t boundsEnd = kFontPackedHeaderLength + 2 * unit;
  if (length < boundsEnd) return nullptr;
  // Nothing after the bounds: a font without per-character metrics. Otherwise the buffer must
  // hold every character the header names.
  uint64_t count = 0;
  if (length > boundsEnd) {
    count = uint64_t(lastColumn - firstColumn + 1) * uint64_t(lastRow - firstRow + 1);
    if (length < boundsEnd + count * unit) return nullptr;
  }

  auto *font = static_cast<XFontStruct *>(calloc(1, sizeof(XFontStruct)));
  XCharStruct *perChar = nullptr;
  if (count) perChar = static_cast<XCharStruct *>(calloc(count, sizeof(XCharStruct)));
  if (!font || (count && !perChar)) {
    free(font);
    free(perChar);
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  font->default_char = static_cast<uint16_t>(get16(data));
  font->ascent = get16(data + 2);
  font->descent = get16(data + 4);
  font->min_char_or_byte2 = static_cast<unsigned>(firstColumn);
  font->max_char_or_byte2 = static_cast<unsigned>(lastColumn);
  font->min_byte1 = static_cast<unsigned>(firstRow);
  font->max_byte1 = static_cast<unsigned>(lastRow);
  font->direction = (data[10] & kFontPackedNotLeftToRight) ? FontRightToLeft : FontLeftToRight;
  font->all_chars_exist = (data[10] & kFontPackedNotAllExist) ? False : True;
  const uint8_t *at = data + kFontPackedHeaderLength;
  at = getMetrics(at, &font->min_bounds, shortForm);
  at = getMetrics(at, &font->max_bounds, shortForm);
  for (uint64_t i = 0; i < count; i++) at = getMetrics(at, &perChar[i], shortForm);
  font->per_char = perChar;
  return font;
}

void xfontFreeMetrics(XFontStruct *font) {
  if (!font) return;
  free(font->per_char);
  free(font);
}

// --- Font path probes -------------------------------------------------------------------------

namespace {

// The server's font path, read once.
struct FontPath {
  char **elements = nullptr;
  int count = 0;
  ~FontPath() {
    if (elements) XFreeFontPath(elements);
  }
  bool read(Display *display) {
    if (elements) XFreeFontPath(elements);
    count = 0;
    elements = XGetFontPath(display, &count);
    if (!elements) count = 0;
    return elements != nullptr;
  }
};

// Grabs the server, remembers its font path and, at the end, puts that path back, ungrabs and
// flushes. A probe runs between.
class PathProbe {
 public:
  explicit PathProbe(Display *display) : display_(display), trap_(display) {
    XGrabServer(display);
    valid_ = saved_.read(display);
  }
  ~PathProbe() {
    if (valid_) {
      XSetFontPath(display_, saved_.elements, saved_.count);
      trap_.errorCame();
    }
    XUngrabServer(display_);
    XFlush(display_);
  }
  PathProbe(const PathProbe &) = delete;
  PathProbe &operator=(const PathProbe &) = delete;
  bool valid() const { return valid_; }
  // Sets the path; false when the server refuses it.
  bool set(const char *const *elements, int count) {
    XSetFontPath(display_, const_cast<char **>(elements), count);
    return !trap_.errorCame();
  }
  XtargetErrorTrap &trap() { return trap_; }

 private:
  Display *display_;
  XtargetErrorTrap trap_;
  FontPath saved_;
  bool valid_ = false;
};

}  // namespace

const char *xfontProbePathElements(Display *display, const char *const *elements, int count,
                                   int *accepted) {
  if (!display || count < 0 || (count > 0 && (!elements || !accepted)))
    return "No display or elements to probe";
  PathProbe probe(display);
  if (!probe.valid()) return "The font path cannot be read";
  for (int i = 0; i < count; i++) {
    accepted[i] = 0;
    if (!elements[i] || !probe.set(&elements[i], 1)) continue;
    FontPath now;
    accepted[i] = now.read(display) && now.count > 0 && strcmp(now.elements[0], elements[i]) == 0;
  }
  return nullptr;
}

int xfontProbePath(Display *display, const char *const *elements, int count) {
  if (!display || count < 0 || (count > 0 && !elements)) return -1;
  for (int i = 0; i < count; i++)
    if (!elements[i]) return 0;
  PathProbe probe(display);
  if (!probe.valid()) return -1;
  if (!probe.set(elements, count)) return 0;
  FontPath now;
  if (!now.read(display) || now.count != count) return 0;
  for (int i = 0; i < count; i++)
    if (strcmp(now.elements[i], elements[i]) != 0) return 0;
  return 1;
}

int xfontProbeListFonts(Display *display, const char *const *elements, int count) {
  if (!display || count < 0 || (count > 0 && !elements)) return -1;
  for (int i = 0; i < count; i++)
    if (!elements[i]) return 1;
  PathProbe probe(display);
  if (!probe.valid()) return -1;
  if (!probe.set(elements, count)) return 1;
  int found = 0;
  char **names = XListFonts(display, "*", 1, &found);
  if (names) XFreeFontNames(names);
  return probe.trap().errorCame() ? 1 : 0;
}

// --- Font properties --------------------------------------------------------------------------

char *xfontPropertyAtomName(Display *display, XFontStruct *font, const char *property) {
  if (!display || !font || !property) return nullptr;
  Atom name = XInternAtom(display, property, True);
  unsigned long value = 0;
  if (name == None || !XGetFontProperty(font, name, &value) || value == None) return nullptr;
  char *atomName = XGetAtomName(display, static_cast<Atom>(value));
  if (!atomName) return nullptr;
  char *copy = strdup(atomName);
  XFree(atomName);
  if (!copy) LOG_OUT_OF_MEMORY();
  return copy;
}

unsigned long xfontPropertyNumber(Display *display, XFontStruct *font, const char *property) {
  constexpr unsigned long kMissing = 65535;
  if (!display || !font || !property) return kMissing;
  Atom name = XInternAtom(display, property, True);
  unsigned long value = 0;
  if (name == None || !XGetFontProperty(font, name, &value)) return kMissing;
  return value;
}

// --- XLFD names -------------------------------------------------------------------------------

namespace {

constexpr int kXlfdFields = 14;

enum class FieldKind { String, Number };

constexpr FieldKind kFieldKinds[kXlfdFields] = {
    FieldKind::String, FieldKind::String, FieldKind::String, FieldKind::String,
    FieldKind::String, FieldKind::String, FieldKind::Number, FieldKind::Number,
    FieldKind::Number, FieldKind::Number, FieldKind::String, FieldKind::Number,
    FieldKind::String, FieldKind::String};

// The record's fields in name order.
char **stringField(XlfdName *name, int index) {
  switch (index) {
    case 0: return &name->foundry;
    case 1: return &name->family;
    case 2: return &name->weight;
    case 3: return &name->slant;
    case 4: return &name->setWidth;
    case 5: return &name->addStyle;
    case 10: return &name->spacing;
    case 12: return &name->registry;
    case 13: return &name->encoding;
    default: return nullptr;
  }
}

int32_t *numberField(XlfdName *name, int index) {
  switch (index) {
    case 6: return &name->pixelSize;
    case 7: return &name->pointSize;
    case 8: return &name->resolutionX;
    case 9: return &name->resolutionY;
    case 11: return &name->averageWidth;
    default: return nullptr;
  }
}

// "N" or "~N" (negative) in 32 bits; false for anything else.
bool parseNumber(std::string_view text, int32_t *value) {
  bool negative = !text.empty() && text[0] == '~';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
  }
  int64_t result = negative ? -magnitude : magnitude;
  if (result < INT32_MIN || result > INT32_MAX) return false;
  *value = static_cast<int32_t>(result);
  return true;
}

// The name of a record (throws std::bad_alloc).
char *composeXlfd(const XlfdName *name) {
  std::string text;
  XlfdName *record = const_cast<XlfdName *>(name);
  for (int i = 0; i < kXlfdFields; i++) {
    text += '-';
    if (kFieldKinds[i] == FieldKind::String) {
      const char *value = *stringField(record, i);
      text += value ? value : "*";
      continue;
    }
    int64_t value = *numberField(record, i);
    if (value == kXlfdNumberMissing) {
      text += '*';
    } else if (value < 0) {
      // '~' stands for the minus sign, which would read as a field separator.
      text += '~';
      text += std::to_string(-value);
    } else {
      text += std::to_string(value);
    }
  }
  char *result = strdup(text.c_str());
  if (!result) throw std::bad_alloc();
  return result;
}

}  // namespace

char *xfontComposeXlfd(const XlfdName *name) {
  if (!name) return nullptr;
  try {
    return composeXlfd(name);
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
}

const char *xfontParseXlfd(const char *text, XlfdName **name) {
  if (!text || text[0] != '-') return "An XLFD name begins with '-'";
  std::string_view fields[kXlfdFields];
  size_t found = 0;
  std::string_view rest(text + 1);
  while (true) {
    size_t dash = rest.find('-');
    if (found < kXlfdFields) fields[found] = rest.substr(0, dash);
    found++;
    if (dash == std::string_view::npos) break;
    rest.remove_prefix(dash + 1);
  }
  if (found != kXlfdFields)
    return strTempPrintf("An XLFD name has %d fields, not %zu", kXlfdFields, found);

  auto *record = static_cast<XlfdName *>(calloc(1, sizeof(XlfdName)));
  if (!record) return OUT_OF_MEMORY_TEXT();
  for (int i = 0; i < kXlfdFields; i++) {
    std::string_view field = fields[static_cast<size_t>(i)];
    if (kFieldKinds[i] == FieldKind::String) {
      if (field == "*") continue;
      char *copy = strNDup(field.data(), field.size());
      if (!copy) {
        xfontFreeXlfd(record);
        return OUT_OF_MEMORY_TEXT();
      }
      *stringField(record, i) = copy;
      continue;
    }
    int32_t *number = numberField(record, i);
    if (field == "*") {
      *number = kXlfdNumberMissing;
    } else if (!parseNumber(field, number)) {
      xfontFreeXlfd(record);
      return strTempPrintf("Field %d of an XLFD name is not a number: \"%.*s\"", i + 1,
                           static_cast<int>(std::min<size_t>(field.size(), 40)), field.data());
    }
  }
  *name = record;
  return nullptr;
}

void xfontFreeXlfd(XlfdName *name) {
  if (!name) return;
  for (int i = 0; i < kXlfdFields; i++)
    if (char **field = stringField(name, i)) free(*field);
  free(name);
}

// --- Default font name ------------------------------------------------------------------------

namespace {

std::string &defaultFontName() {
  static std::string name = "fixed";
  return name;
}

}  // namespace

const char *xfontDefaultName() { return defaultFontName().c_str(); }

void xfontSetDefaultName(const char *name) {
  try {
    defaultFontName() = name ? name : "fixed";
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY();
  }
}
