// XLFD names, packed font metrics in both byte orders, text extents of a font record and the
// glyph bitmap copy, all without a display.
#include <gtest/gtest.h>

#include "xclient/xfont.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "xclient/ximage.h"

namespace {

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
struct XlfdDeleter {
  void operator()(XlfdName *name) const { xfontFreeXlfd(name); }
};
struct MetricsDeleter {
  void operator()(XFontStruct *font) const { xfontFreeMetrics(font); }
};
using XlfdPtr = std::unique_ptr<XlfdName, XlfdDeleter>;
using MetricsPtr = std::unique_ptr<XFontStruct, MetricsDeleter>;

// --- XLFD ---------------------------------------------------------------------------------------

XlfdName emptyName() {
  XlfdName name{};
  name.pixelSize = name.pointSize = name.resolutionX = name.resolutionY = name.averageWidth =
      kXlfdNumberMissing;
  return name;
}

std::string compose(const XlfdName &name) {
  std::unique_ptr<char, FreeDeleter> text(xfontComposeXlfd(&name));
  EXPECT_TRUE(text);
  return text ? text.get() : "";
}

std::string orNull(const char *s) { return s ? s : "(null)"; }

void expectSameName(const XlfdName &a, const XlfdName &b) {
  EXPECT_EQ(orNull(a.foundry), orNull(b.foundry));
  EXPECT_EQ(orNull(a.family), orNull(b.family));
  EXPECT_EQ(orNull(a.weight), orNull(b.weight));
  EXPECT_EQ(orNull(a.slant), orNull(b.slant));
  EXPECT_EQ(orNull(a.setWidth), orNull(b.setWidth));
  EXPECT_EQ(orNull(a.addStyle), orNull(b.addStyle));
  EXPECT_EQ(a.pixelSize, b.pixelSize);
  EXPECT_EQ(a.pointSize, b.pointSize);
  EXPECT_EQ(a.resolutionX, b.resolutionX);
  EXPECT_EQ(a.resolutionY, b.resolutionY);
  EXPECT_EQ(orNull(a.spacing), orNull(b.spacing));
  EXPECT_EQ(a.averageWidth, b.averageWidth);
  EXPECT_EQ(orNull(a.registry), orNull(b.registry));
  EXPECT_EQ(orNull(a.encoding), orNull(b.encoding));
}

TEST(XfontXlfd, EmptyRecordIsFourteenStars) {
  XlfdName name = emptyName();
  EXPECT_EQ(compose(name), "-*-*-*-*-*-*-*-*-*-*-*-*-*-*");
}

TEST(XfontXlfd, ComposeAndParseRoundTrip) {
  char misc[] = "misc", fixed[] = "fixed", medium[] = "medium", r[] = "r", semi[] = "semicondensed",
       empty[] = "", c[] = "c", iso[] = "iso8859", one[] = "1";
  struct Case {
    XlfdName name;
    const char *text;
  };
  Case cases[] = {
      {{misc, fixed, medium, r, semi, empty, 13, 120, 75, 75, c, 60, iso, one},
       "-misc-fixed-medium-r-semicondensed--13-120-75-75-c-60-iso8859-1"},
      // Negative numbers: '~' and the magnitude, never a second '-'.
      {{misc, fixed, medium, r, semi, empty, -5, 0, -75, 65534, c, -2147483647 - 1, iso, one},
       "-misc-fixed-medium-r-semicondensed--~5-0-~75-65534-c-~2147483648-iso8859-1"},
      {{nullptr, fixed, nullptr, r, nullptr, nullptr, kXlfdNumberMissing, -1, kXlfdNumberMissing,
        2147483647, nullptr, kXlfdNumberMissing, nullptr, one},
       "-*-fixed-*-r-*-*-*-~1-*-2147483647-*-*-*-1"},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.text);
    EXPECT_EQ(compose(test.name), test.text);
    XlfdName *parsed = nullptr;
    ASSERT_EQ(orNull(xfontParseXlfd(test.text, &parsed)), "(null)");
    XlfdPtr owner(parsed);
    expectSameName(*parsed, test.name);
    EXPECT_EQ(compose(*parsed), test.text);
  }
  XlfdName *parsed = nullptr;
  ASSERT_EQ(xfontParseXlfd("-*-*-*-*-*-*-*-*-*-*-*-*-*-*", &parsed), nullptr);
  XlfdPtr owner(parsed);
  expectSameName(*parsed, emptyName());
}

TEST(XfontXlfd, MalformedNamesAreRefused) {
  const char *names[] = {
      "",
      "fixed",
      "-*-*-*-*-*-*-*-*-*-*-*-*-*",                  // thirteen fields
      "-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*",              // fifteen
      "-misc-fixed-medium-r-normal---5-0-75-75-c-60-iso8859-1",  // a minus sign splits a field
      "-*-*-*-*-*-*-12x-*-*-*-*-*-*-*",              // not a number
      "-*-*-*-*-*-*-~-*-*-*-*-*-*-*",                // '~' without digits
      "-*-*-*-*-*-*--*-*-*-*-*-*-*",                 // an empty number
      "-*-*-*-*-*-*-2147483648-*-*-*-*-*-*-*",       // beyond 32 bits
      "-*-*-*-*-*-*-~2147483649-*-*-*-*-*-*-*",
      "-*-*-*-*-*-*-99999999999-*-*-*-*-*-*-*",
  };
  for (const char *text : names) {
    SCOPED_TRACE(text);
    XlfdName sentinel{};
    XlfdName *parsed = &sentinel;  // must stay untouched
    EXPECT_NE(xfontParseXlfd(text, &parsed), nullptr);
    EXPECT_EQ(parsed, &sentinel);
  }
  XlfdName *parsed = nullptr;
  EXPECT_NE(xfontParseXlfd(nullptr, &parsed), nullptr);
  xfontFreeXlfd(nullptr);
}

// --- Packed metrics -----------------------------------------------------------------------------

// A small font of rows x columns characters; big selects values beyond a signed byte.
struct TestFont {
  XFontStruct font{};
  std::vector<XCharStruct> chars;

  TestFont(int firstColumn, int lastColumn, int firstRow, int lastRow, bool perChar, bool big) {
    font.min_char_or_byte2 = static_cast<unsigned>(firstColumn);
    font.max_char_or_byte2 = static_cast<unsigned>(lastColumn);
    font.min_byte1 = static_cast<unsigned>(firstRow);
    font.max_byte1 = static_cast<unsigned>(lastRow);
    font.default_char = 0x1234;
    font.ascent = 11;
    font.descent = -3;
    font.direction = FontRightToLeft;
    font.all_chars_exist = False;
    size_t count = size_t(lastColumn - firstColumn + 1) * size_t(lastRow - firstRow + 1);
    for (size_t i = 0; i < count; i++) {
      short k = static_cast<short>(i);
      chars.push_back(XCharStruct{static_cast<short>(-k), static_cast<short>(k + 1),
                                  static_cast<short>(k + 2), static_cast<short>(k % 7),
                                  static_cast<short>(-(k % 5)), 0});
    }
    font.min_bounds = XCharStruct{-128, -1, 0, -2, -4, 0};
    font.max_bounds = XCharStruct{0, 127, 100, 9, 3, 0};
    if (big) {
      font.max_bounds.width = 300;
      chars.back().width = -1000;
    }
    if (perChar) font.per_char = chars.data();
  }
};

void expectSameChar(const XCharStruct &a, const XCharStruct &b) {
  EXPECT_EQ(a.lbearing, b.lbearing);
  EXPECT_EQ(a.rbearing, b.rbearing);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.ascent, b.ascent);
  EXPECT_EQ(a.descent, b.descent);
}

void expectSameMetrics(const XFontStruct &a, const XFontStruct &b) {
  EXPECT_EQ(a.default_char, b.default_char);
  EXPECT_EQ(a.ascent, b.ascent);
  EXPECT_EQ(a.descent, b.descent);
  EXPECT_EQ(a.min_char_or_byte2, b.min_char_or_byte2);
  EXPECT_EQ(a.max_char_or_byte2, b.max_char_or_byte2);
  EXPECT_EQ(a.min_byte1, b.min_byte1);
  EXPECT_EQ(a.max_byte1, b.max_byte1);
  EXPECT_EQ(a.direction, b.direction);
  EXPECT_EQ(a.all_chars_exist, b.all_chars_exist);
  expectSameChar(a.min_bounds, b.min_bounds);
  expectSameChar(a.max_bounds, b.max_bounds);
  ASSERT_EQ(a.per_char == nullptr, b.per_char == nullptr);
  if (!a.per_char) return;
  size_t count = size_t(a.max_char_or_byte2 - a.min_char_or_byte2 + 1) * (a.max_byte1 - a.min_byte1 + 1);
  for (size_t i = 0; i < count; i++) {
    SCOPED_TRACE(i);
    expectSameChar(a.per_char[i], b.per_char[i]);
  }
}

// Our own reading of a layout string: 's' swaps one 16-bit unit, 'b' passes a byte, 'S' swaps
// 16-bit units to the end.
void swapByLayout(const char *layout, std::vector<uint8_t> &data) {
  size_t at = 0;
  for (const char *c = layout; *c && at < data.size(); c++) {
    if (*c == 'b') {
      at++;
    } else if (*c == 's' || *c == 'S') {
      do {
        if (at + 2 > data.size()) return;
        std::swap(data[at], data[at + 1]);
        at += 2;
      } while (*c == 'S');
    } else {
      FAIL() << "unexpected layout letter " << *c;
    }
  }
}

// The packed form written independently of the code under test, in the given byte order.
std::vector<uint8_t> packByHand(const XFontStruct &font, bool shortForm, bool bigEndian) {
  std::vector<uint8_t> out;
  auto put16 = [&](int v) {
    uint16_t u = static_cast<uint16_t>(v);
    if (bigEndian) {
      out.push_back(static_cast<uint8_t>(u >> 8));
      out.push_back(static_cast<uint8_t>(u));
    } else {
      out.push_back(static_cast<uint8_t>(u));
      out.push_back(static_cast<uint8_t>(u >> 8));
    }
  };
  auto putChar = [&](const XCharStruct &m) {
    for (int v : {int(m.lbearing), int(m.rbearing), int(m.width), int(m.ascent), int(m.descent)}) {
      if (shortForm) out.push_back(static_cast<uint8_t>(v));
      else put16(v);
    }
  };
  put16(font.default_char);
  put16(font.ascent);
  put16(font.descent);
  for (unsigned v : {font.min_char_or_byte2, font.max_char_or_byte2, font.min_byte1, font.max_byte1})
    out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>((font.direction != FontLeftToRight ? 1 : 0) | (font.all_chars_exist ? 0 : 2)));
  out.push_back(shortForm ? 1 : 0);
  putChar(font.min_bounds);
  putChar(font.max_bounds);
  if (font.per_char) {
    size_t count = size_t(font.max_char_or_byte2 - font.min_char_or_byte2 + 1) * (font.max_byte1 - font.min_byte1 + 1);
    for (size_t i = 0; i < count; i++) putChar(font.per_char[i]);
  }
  return out;
}

std::vector<uint8_t> pack(const XFontStruct &font) {
  uint8_t *data = nullptr;
  size_t length = 0;
  EXPECT_EQ(orNull(xfontPackMetrics(&font, &data, &length)), "(null)");
  std::vector<uint8_t> out(data, data + length);
  free(data);
  return out;
}

struct PackCase {
  const char *label;
  int firstColumn, lastColumn, firstRow, lastRow;
  bool perChar, big;
  bool shortForm;
};

const PackCase kPackCases[] = {
    {"short, one row", 32, 40, 0, 0, true, false, true},
    {"short, three rows", 250, 255, 1, 3, true, false, true},
    {"short, no characters", 0, 255, 0, 255, false, false, true},
    {"long, one row", 0, 9, 0, 0, true, true, false},
    {"long, two rows", 5, 6, 0, 1, true, true, false},
    {"long, no characters", 0, 0, 0, 0, false, true, false},
};

TEST(XfontPackedMetrics, RoundTripInBothFormsAndByteOrders) {
  const bool hostBig = std::endian::native == std::endian::big;
  for (const PackCase &test : kPackCases) {
    SCOPED_TRACE(test.label);
    TestFont source(test.firstColumn, test.lastColumn, test.firstRow, test.lastRow, test.perChar, test.big);
    std::vector<uint8_t> packed = pack(source.font);
    ASSERT_GE(packed.size(), kFontPackedHeaderLength);
    EXPECT_EQ(packed[11], test.shortForm ? 1 : 0);
    // Machine order, as written by hand.
    EXPECT_EQ(packed, packByHand(source.font, test.shortForm, hostBig));
    MetricsPtr unpacked(xfontUnpackMetrics(packed.data(), packed.size()));
    ASSERT_TRUE(unpacked);
    expectSameMetrics(*unpacked, source.font);
    EXPECT_EQ(unpacked->fid, 0u);
    EXPECT_EQ(unpacked->n_properties, 0);

    // The other byte order: the layout turns our buffer into the foreign one and back.
    const char *layout = xfontPackedLayout(packed.data(), packed.size());
    ASSERT_NE(layout, nullptr);
    EXPECT_STREQ(layout, test.shortForm ? "sss" : "sssbbbbbbS");
    std::vector<uint8_t> swapped = packed;
    swapByLayout(layout, swapped);
    EXPECT_EQ(swapped, packByHand(source.font, test.shortForm, !hostBig));
    std::vector<uint8_t> foreign = packByHand(source.font, test.shortForm, !hostBig);
    // The form byte is a byte: the layout is found on the foreign buffer as well.
    swapByLayout(xfontPackedLayout(foreign.data(), foreign.size()), foreign);
    MetricsPtr fromForeign(xfontUnpackMetrics(foreign.data(), foreign.size()));
    ASSERT_TRUE(fromForeign);
    expectSameMetrics(*fromForeign, source.font);
  }
}

TEST(XfontPackedMetrics, TruncatedOrInvertedBuffersAreRefused) {
  for (const PackCase &test : kPackCases) {
    if (!test.perChar) continue;  // every cut of a font with characters covers those without
    SCOPED_TRACE(test.label);
    TestFont source(test.firstColumn, test.lastColumn, test.firstRow, test.lastRow, true, test.big);
    std::vector<uint8_t> packed = pack(source.font);
    size_t unit = test.shortForm ? 5 : 10;
    size_t boundsOnly = kFontPackedHeaderLength + 2 * unit;
    // Every length short of the whole is refused, except the one that ends after the bounds (a
    // font without per-character metrics). Each copy has exactly that many bytes.
    for (size_t length = 0; length < packed.size(); length++) {
      std::vector<uint8_t> cut(packed.begin(), packed.begin() + static_cast<long>(length));
      MetricsPtr unpacked(xfontUnpackMetrics(cut.empty() ? nullptr : cut.data(), cut.size()));
      if (length == boundsOnly) {
        ASSERT_TRUE(unpacked) << length;
        EXPECT_EQ(unpacked->per_char, nullptr);
      } else {
        EXPECT_FALSE(unpacked) << length;
      }
    }
    // Trailing bytes are ignored.
    std::vector<uint8_t> longer = packed;
    longer.push_back(0x55);
    EXPECT_TRUE(MetricsPtr(xfontUnpackMetrics(longer.data(), longer.size())));

    struct Mutation {
      size_t offset;
      uint8_t value;
    };
    // A last column or row below the first, an unknown form.
    for (Mutation m : {Mutation{7, uint8_t(packed[6] - 1)}, Mutation{9, uint8_t(packed[8] - 1)},
                       Mutation{6, uint8_t(packed[7] + 1)}, Mutation{11, 2}}) {
      if ((m.offset == 7 && packed[6] == 0) || (m.offset == 9 && packed[8] == 0) ||
          (m.offset == 6 && packed[7] == 255))
        continue;
      std::vector<uint8_t> bad = packed;
      bad[m.offset] = m.value;
      EXPECT_FALSE(MetricsPtr(xfontUnpackMetrics(bad.data(), bad.size()))) << m.offset;
    }
  }
}

TEST(XfontPackedMetrics, FontsOutsideTheFormAreNotPacked) {
  TestFont wide(0, 300, 0, 0, false, false);  // a linear font beyond 255
  uint8_t *data = nullptr;
  size_t length = 0;
  EXPECT_NE(xfontPackMetrics(&wide.font, &data, &length), nullptr);
  TestFont inverted(10, 12, 0, 0, false, false);
  inverted.font.max_char_or_byte2 = 9;
  EXPECT_NE(xfontPackMetrics(&inverted.font, &data, &length), nullptr);
  EXPECT_EQ(data, nullptr);
}

// --- Text extents ---------------------------------------------------------------------------

TEST(XfontTextExtents, BoxesOfStrings) {
  // Characters 'a' (ink 1..5, ascent 6, descent 0) and 'b' (ink -2..4, ascent 9, descent 3).
  XCharStruct chars[2] = {{1, 5, 6, 6, 0, 0}, {-2, 4, 5, 9, 3, 0}};
  XFontStruct font{};
  font.min_char_or_byte2 = 'a';
  font.max_char_or_byte2 = 'b';
  font.per_char = chars;
  font.min_bounds = XCharStruct{-3, 4, 5, 6, 0, 0};
  font.max_bounds = XCharStruct{1, 5, 6, 11, 4, 0};
  font.ascent = 10;
  font.descent = 3;
  struct Case {
    const char *text;
    int x, y;
    XRectangle plain, full;
  };
  const Case cases[] = {
      {"a", 10, 20, {11, 14, 6, 6}, {7, 9, 6, 15}},
      {"ab", 0, 0, {1, -9, 11, 12}, {-3, -11, 11, 15}},
      {"ba", -32768, 100, {-32768, 91, 11, 12}, {-32768, 89, 11, 15}},
      {"", 5, 5, {5, 5, 0, 0}, {2, -6, 0, 15}},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.text);
    int length = static_cast<int>(strlen(test.text));
    std::vector<XChar2b> text16;
    for (int i = 0; i < length; i++) text16.push_back(XChar2b{0, static_cast<unsigned char>(test.text[i])});
    XRectangle boxes[4] = {xfontTextExtents(&font, test.text, length, test.x, test.y),
                           xfontTextExtents16(&font, text16.data(), length, test.x, test.y),
                           xfontTextExtentsFull(&font, test.text, length, test.x, test.y),
                           xfontTextExtentsFull16(&font, text16.data(), length, test.x, test.y)};
    for (int i = 0; i < 4; i++) {
      const XRectangle &want = i < 2 ? test.plain : test.full;
      EXPECT_EQ(boxes[i].x, want.x) << i;
      EXPECT_EQ(boxes[i].y, want.y) << i;
      EXPECT_EQ(boxes[i].width, want.width) << i;
      EXPECT_EQ(boxes[i].height, want.height) << i;
    }
  }
}

// --- Glyph bitmaps and the default font name ------------------------------------------------

TEST(XfontGlyphBitmap, CopiesPixelsOrGivesAZeroedBitmapOfFullSize) {
  // A failed read: zeros over every row, (width + 7) / 8 bytes each.
  for (auto [w, h] : {std::pair{1, 1}, {9, 3}, {17, 40}}) {
    std::unique_ptr<uint8_t, FreeDeleter> bits(xfontBitmapFromImage(nullptr, w, h));
    ASSERT_TRUE(bits);
    size_t bytes = size_t((w + 7) / 8) * size_t(h);
    EXPECT_EQ(std::vector<uint8_t>(bits.get(), bits.get() + bytes), std::vector<uint8_t>(bytes, 0));
  }
  EXPECT_EQ(xfontBitmapFromImage(nullptr, 0, 5), nullptr);

  // A read image in another layout (MSB first, 32-bit units and pad) becomes LSB first, pad 8.
  ImageFormat msb = ximageDefaultFormat;
  msb.format = XYPixmap;
  msb.bitOrder = MSBFirst;
  msb.byteOrder = MSBFirst;
  msb.bitmapUnit = 32;
  msb.scanlinePad = 32;
  XImage *image = ximageCreate(10, 2, 0, &msb);
  ASSERT_NE(image, nullptr);
  const int set[][2] = {{0, 0}, {7, 0}, {8, 0}, {9, 1}, {3, 1}};
  for (auto &p : set) XPutPixel(image, p[0], p[1], 1);
  std::unique_ptr<uint8_t, FreeDeleter> bits(xfontBitmapFromImage(image, 10, 2));
  XDestroyImage(image);
  ASSERT_TRUE(bits);
  const uint8_t want[] = {0x81, 0x01, 0x08, 0x02};
  EXPECT_EQ(std::vector<uint8_t>(bits.get(), bits.get() + 4), std::vector<uint8_t>(want, want + 4));
}

TEST(XfontDefaultName, SettableAndRestoredByNull) {
  EXPECT_STREQ(xfontDefaultName(), "fixed");
  xfontSetDefaultName("-misc-fixed-*");
  EXPECT_STREQ(xfontDefaultName(), "-misc-fixed-*");
  xfontSetDefaultName(nullptr);
  EXPECT_STREQ(xfontDefaultName(), "fixed");
}

}  // namespace
