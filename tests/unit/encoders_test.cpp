// gtest before Xlib: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "proxy/xproto.h"

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A request sink that keeps every request it reserves (header included), or refuses them all.
struct FakeSink {
  std::vector<Bytes> requests;
  bool refuse = false;
  RequestSink sink{begin, this};

  static uint8_t *begin(void *context, uint8_t opcode, uint8_t dataByte, uint32_t length) {
    auto *self = static_cast<FakeSink *>(context);
    if (self->refuse) return nullptr;
    EXPECT_EQ(length % 4, 0u);
    Bytes &r = self->requests.emplace_back();
    if (length > 0x3fffc) {
      r.assign(length + 4, 0xee);
      uint32_t words = (length + 4) / 4;
      memcpy(&r[4], &words, 4);
      r[2] = r[3] = 0;
    } else {
      r.assign(length, 0xee);  // poison: every byte must be written
      uint16_t words = uint16_t(length / 4);
      memcpy(&r[2], &words, 2);
    }
    r[0] = opcode;
    r[1] = dataByte;
    return r.data() + (length > 0x3fffc ? 4 : 0);
  }
};

uint32_t word(const Bytes &r, size_t at) {
  uint32_t v;
  memcpy(&v, &r[at], 4);
  return v;
}
uint16_t half(const Bytes &r, size_t at) {
  uint16_t v;
  memcpy(&v, &r[at], 2);
  return v;
}

TEST(RequestEncoders, CreateGCSignExtendsTheDashByteAndWritesArcModeLast) {
  FakeSink fake;
  XGCValues values{};
  values.function = 6;
  values.arc_mode = 1;
  values.dashes = char(0x90);
  ASSERT_EQ(xprotoEncodeCreateGC(&fake.sink, 0x123, 0x456, 0x200000 | 0x400000 | 0x1, &values), 1);
  const Bytes &r = fake.requests.at(0);
  ASSERT_EQ(r.size(), 28u);
  EXPECT_EQ(r[0], 55);
  EXPECT_EQ(half(r, 2), 7);
  EXPECT_EQ(word(r, 4), 0x123u);
  EXPECT_EQ(word(r, 8), 0x456u);
  EXPECT_EQ(word(r, 12), 0x600001u);
  EXPECT_EQ(word(r, 16), 6u);           // function
  EXPECT_EQ(word(r, 20), 0xffffff90u);  // dashes
  EXPECT_EQ(word(r, 24), 1u);           // arc mode
}

TEST(RequestEncoders, CreateWindowTakesOverrideRedirectBeforeCursor) {
  FakeSink fake;
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.cursor = 0x77;
  a.save_under = 5;  // not in the mask: must not appear
  ASSERT_EQ(xprotoEncodeCreateWindow(&fake.sink, 1, 2, -3, 4, 5, 6, 7, 24, 1, 0x21, 0x4200, &a), 1);
  const Bytes &r = fake.requests.at(0);
  ASSERT_EQ(r.size(), 40u);
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(r[1], 24);
  EXPECT_EQ(half(r, 12), 0xfffd);
  EXPECT_EQ(half(r, 22), 1);
  EXPECT_EQ(word(r, 24), 0x21u);
  EXPECT_EQ(word(r, 28), 0x4200u);
  EXPECT_EQ(word(r, 32), 1u);
  EXPECT_EQ(word(r, 36), 0x77u);
}

TEST(RequestEncoders, ConfigureWindowHasASixteenBitMaskAndPad) {
  FakeSink fake;
  const uint32_t values[] = {10, 20, 30};
  ASSERT_EQ(xprotoEncodeConfigureWindow(&fake.sink, 9, 0x0013, values), 1);
  const Bytes &r = fake.requests.at(0);
  ASSERT_EQ(r.size(), 24u);
  EXPECT_EQ(half(r, 8), 0x13);
  EXPECT_EQ(half(r, 10), 0);
  EXPECT_EQ(word(r, 12), 10u);
  EXPECT_EQ(word(r, 20), 30u);
  fake.requests.clear();
  ASSERT_EQ(xprotoEncodeResizeWindow(&fake.sink, 9, 640, 480), 1);
  EXPECT_EQ(Bytes(fake.requests[0].begin() + 8, fake.requests[0].end()),
            (Bytes{0x0c, 0, 0, 0, 0x80, 2, 0, 0, 0xe0, 1, 0, 0}));
}

TEST(RequestEncoders, FixedRequestsByteForByte) {
  FakeSink fake;
  struct Case {
    int (*encode)(const RequestSink *);
    Bytes expected;
  };
  const Case cases[] = {
      {[](const RequestSink *s) { return xprotoEncodeSetEventMask(s, 0x10, 0x8005); },
       {2, 0, 4, 0, 0x10, 0, 0, 0, 0, 8, 0, 0, 5, 0x80, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeDestroyWindow(s, 0x01020304); }, {4, 0, 2, 0, 4, 3, 2, 1}},
      {[](const RequestSink *s) { return xprotoEncodeMapWindow(s, 7); }, {8, 0, 2, 0, 7, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeAllowEvents(s, 6, 0); }, {35, 6, 2, 0, 0, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeUngrabServer(s); }, {37, 0, 1, 0}},
      {[](const RequestSink *s) { return xprotoEncodeCreatePixmap(s, 1, 2, 3, 4, 8); },
       {53, 8, 4, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 4, 0}},
      {[](const RequestSink *s) { return xprotoEncodeFreePixmap(s, 1); }, {54, 0, 2, 0, 1, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeFreeGC(s, 1); }, {60, 0, 2, 0, 1, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeCopyArea(s, 1, 2, 3, 4, 5, 6, 7, -1, 9); },
       {62, 0, 7, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 5, 0, 0xff, 0xff, 9, 0, 6, 0, 7, 0}},
      {[](const RequestSink *s) { return xprotoEncodeCreateColormap(s, 1, 2, 3, 1); },
       {78, 1, 4, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeFreeColormap(s, 1); }, {79, 0, 2, 0, 1, 0, 0, 0}},
      {[](const RequestSink *s) { return xprotoEncodeCreateCursor(s, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11); },
       {93, 0, 8, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10, 0, 11, 0, 4, 0, 5, 0}},
      {[](const RequestSink *s) { return xprotoEncodeFreeCursor(s, 1); }, {95, 0, 2, 0, 1, 0, 0, 0}},
  };
  for (const Case &c : cases) {
    fake.requests.clear();
    fake.refuse = false;
    ASSERT_EQ(c.encode(&fake.sink), 1);
    ASSERT_EQ(fake.requests.size(), 1u);
    EXPECT_EQ(fake.requests[0], c.expected) << "opcode " << int(c.expected[0]);
    fake.requests.clear();
    fake.refuse = true;
    EXPECT_EQ(c.encode(&fake.sink), 0) << "opcode " << int(c.expected[0]);
  }
}

TEST(RequestEncoders, EveryEncoderReturnsZeroWhenTheSinkRefuses) {
  FakeSink fake;
  fake.refuse = true;
  XSetWindowAttributes a{};
  XGCValues g{};
  const uint32_t values[] = {1};
  EXPECT_EQ(xprotoEncodeCreateWindow(&fake.sink, 1, 2, 0, 0, 1, 1, 0, 0, 1, 0, 0x800, &a), 0);
  EXPECT_EQ(xprotoEncodeChangeWindowAttributes(&fake.sink, 1, 0x800, &a), 0);
  EXPECT_EQ(xprotoEncodeConfigureWindow(&fake.sink, 1, 1, values), 0);
  EXPECT_EQ(xprotoEncodeResizeWindow(&fake.sink, 1, 1, 1), 0);
  EXPECT_EQ(xprotoEncodeCreateGC(&fake.sink, 1, 2, 1, &g), 0);
  char data[16] = {};
  XImage image{};
  image.width = 4;
  image.height = 4;
  image.bytes_per_line = 4;
  image.depth = 8;
  image.format = ZPixmap;
  image.data = data;
  EXPECT_EQ(xprotoEncodePutImage(&fake.sink, 1, 2, &image, 0, 0), 0);
  EXPECT_TRUE(fake.requests.empty());
}

// A ZPixmap image of the given size whose byte at (row, column) is (row * 7 + column) & 0xff.
struct TestImage {
  std::vector<char> data;
  XImage image{};
  TestImage(int width, int height, int bytesPerLine, int format = ZPixmap, int depth = 8) {
    int planes = format == XYPixmap ? depth : 1;
    data.resize(size_t(bytesPerLine) * height * planes);
    for (size_t i = 0; i < data.size(); i++) data[i] = char(((i / bytesPerLine) * 7 + i % bytesPerLine) & 0xff);
    image.width = width;
    image.height = height;
    image.bytes_per_line = bytesPerLine;
    image.format = format;
    image.depth = depth;
    image.xoffset = 3;
    image.data = data.data();
  }
};

TEST(RequestEncoders, PutImageIsCutIntoChunksOfWholeRows) {
  FakeSink fake;
  TestImage t(1024, 1000, 1024);
  ASSERT_EQ(xprotoEncodePutImage(&fake.sink, 0x11, 0x22, &t.image, 5, -10), 1);
  ASSERT_EQ(fake.requests.size(), 4u);
  const uint16_t rows[] = {255, 255, 255, 235};
  size_t offset = 0;
  int y = -10;
  for (size_t i = 0; i < 4; i++) {
    const Bytes &r = fake.requests[i];
    ASSERT_EQ(r.size(), 24u + 1024u * rows[i]);
    EXPECT_EQ(r[0], 72);
    EXPECT_EQ(r[1], ZPixmap);
    EXPECT_EQ(half(r, 12), 1024);
    EXPECT_EQ(half(r, 14), rows[i]);
    EXPECT_EQ(int16_t(half(r, 16)), 5);
    EXPECT_EQ(int16_t(half(r, 18)), y);
    EXPECT_EQ(r[20], 3);
    EXPECT_EQ(r[21], 8);
    EXPECT_EQ(memcmp(&r[24], t.data.data() + offset, 1024u * rows[i]), 0);
    offset += 1024u * rows[i];
    y += rows[i];
  }
}

TEST(RequestEncoders, PutImageSendsOverlongLinesOneRowPerRequest) {
  FakeSink fake;
  const int bytesPerLine = 65535 * 4;  // 262140 > 262116
  TestImage t(65535, 3, bytesPerLine, ZPixmap, 24);
  ASSERT_EQ(xprotoEncodePutImage(&fake.sink, 1, 2, &t.image, 0, 0), 1);
  ASSERT_EQ(fake.requests.size(), 3u);
  for (size_t i = 0; i < 3; i++) {
    const Bytes &r = fake.requests[i];
    ASSERT_EQ(r.size(), 4u + 24u + size_t(bytesPerLine));  // the big form
    EXPECT_EQ(half(r, 2), 0);
    EXPECT_EQ(word(r, 4), (24u + bytesPerLine + 4) / 4);
    EXPECT_EQ(half(r, 4 + 14), 1);  // rows, after the 32-bit length
    EXPECT_EQ(memcmp(&r[28], t.data.data() + i * bytesPerLine, bytesPerLine), 0);
  }
}

TEST(RequestEncoders, PutImageOfXYPixmapTakesEachPlanesRowsAndPadsToFour) {
  FakeSink fake;
  // 2 planes, 3 rows of 6 bytes each; chunks stay within the byte limit.
  TestImage t(40, 3, 6, XYPixmap, 2);
  ASSERT_EQ(xprotoEncodePutImage(&fake.sink, 1, 2, &t.image, 0, 0), 1);
  ASSERT_EQ(fake.requests.size(), 1u);
  const Bytes &r = fake.requests[0];
  ASSERT_EQ(r.size(), 24u + 36u);
  EXPECT_EQ(memcmp(&r[24], t.data.data(), 36), 0);
  TestImage odd(3, 1, 1);
  fake.requests.clear();
  ASSERT_EQ(xprotoEncodePutImage(&fake.sink, 1, 2, &odd.image, 0, 0), 1);
  EXPECT_EQ(fake.requests[0].size(), 28u);
  EXPECT_EQ(Bytes(fake.requests[0].begin() + 25, fake.requests[0].end()), (Bytes{0, 0, 0}));
  TestImage empty(3, 0, 4);
  fake.requests.clear();
  EXPECT_EQ(xprotoEncodePutImage(&fake.sink, 1, 2, &empty.image, 0, 0), 1);
  EXPECT_TRUE(fake.requests.empty());
}

}  // namespace
