// Pixel-returning and imaging single operations on the fake core, in both byte orders: replies
// built from what a direct head's library produced (items swapped by the GL type for a client of
// the other order, dimensions in the header, no data answered by BadAlloc of the reply's size),
// the words a render mode leaves, and RenderMode served on every head with one reply and the
// context's mode recorded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "fakecore.h"
#include "glxfixture.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "support/wirewords.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxinstance.h"
#include "xext/glxpixel.h"
#include "xext/glxrecords.h"

namespace {

constexpr uint8_t kBadAlloc = 11;
constexpr uint32_t kRgb = 0x1907, kRgba = 0x1908, kLuminance = 0x1909, kUnsignedByte = 0x1401,
                   kUnsignedShort = 0x1403, kFloat = 0x1406, kShort565 = 0x8363;
constexpr uint32_t kRender = 0x1C00, kFeedback = 0x1C01, kSelect = 0x1C02;

class GlxPixelTest : public GlxFakeCoreTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpGlx(203));
    ASSERT_NO_FATAL_FAILURE(makeCurrent(kRender, &context, &tag));
  }
  void TearDown() override {
    for (Head *h : heads) h->glLibrary = nullptr;
    GlxFakeCoreTest::TearDown();
  }
  // A request in this machine's order, as the builders get it.
  std::vector<uint8_t> native(uint8_t minor, std::vector<uint32_t> words) {
    return nativeRequest(minor, tag, words);
  }
  void expectReply(const FakeBytes &m, size_t size) {
    ASSERT_EQ(m.size(), size);
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(client->u16(m, 2), client->client->sequence & 0xffffu);
    EXPECT_EQ(client->u32(m, 4), (size - 32) / 4);
  }
  void expectBadAlloc(const FakeBytes &m, uint32_t size) {
    ASSERT_EQ(m.size(), 32u);
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[1], kBadAlloc);
    EXPECT_EQ(client->u32(m, 4), size);
  }
  // Item k of `size` bytes of a reply's data, as the client reads it in its own order.
  uint32_t item(const FakeBytes &m, size_t k, int size) {
    size_t at = 32 + k * size;
    return size == 1 ? m[at] : size == 2 ? client->u16(m, at) : client->u32(m, at);
  }

  GlxContextRecord *context = nullptr;
  uint32_t tag = 0;
};

// ReadPixels of 2 x 2 RGBA unsigned shorts: a direct head's 16 items reach the client as 16-bit
// numbers of its own order; a forwarded head's bytes pass as the server packed them (it was told
// to pack for the client), only the header turned. Pixels the library could not give are
// BadAlloc of the reply's size, an empty rectangle count 0.
TEST_P(GlxPixelTest, ReadPixelsItemsInTheClientsOrder) {
  uint16_t pixels[16];
  for (int k = 0; k < 16; k++) pixels[k] = uint16_t(0x0102 * (k + 1) + (k << 12));
  auto req = native(111, {0, 0, 2, 2, kRgba, kUnsignedShort, 0});
  {
    FakeCore::Current current(*client);
    glxpixelReplyReadPixels(req.data(), 36, reinterpret_cast<uint8_t *>(pixels), 16, 2);
  }
  FakeBytes m = only();
  expectReply(m, 64);
  EXPECT_EQ(client->u32(m, 8), 0u);
  EXPECT_EQ(client->u32(m, 12), 16u);
  for (int k = 0; k < 16; k++) EXPECT_EQ(item(m, k, 2), pixels[k]) << k;
  {
    FakeCore::Current current(*client);
    glxpixelReplyReadPixels(req.data(), 36, nullptr, 0, 1);
    expectBadAlloc(only(), 64);
    req = native(111, {0, 0, 0, 2, kRgba, kUnsignedShort, 0});
    glxpixelReplyReadPixels(req.data(), 36, nullptr, 0, 1);
    m = only();
    expectReply(m, 32);
    EXPECT_EQ(client->u32(m, 12), 0u);
    // Refused with a GL error: data but no items, an empty answer.
    req = native(111, {0, 0, 8, 32, 0x1901, 0x1A00, 0});
    glxpixelReplyReadPixels(req.data(), 36, reinterpret_cast<uint8_t *>(pixels), 0, 1);
    m = only();
    expectReply(m, 32);
    EXPECT_EQ(client->u32(m, 12), 0u);
  }

  send(request(111).i(tag).i(0).i(0).i(2).i(2).i(kRgba).i(kUnsignedShort).b(0).b(0).b(0).b(0).done());
  uint16_t last = 0;
  ASSERT_EQ(copies(&last).size(), 1u);
  FakeMessage answer(false);
  answer.b(1).b(0).s(last).i(8).pad(24);
  for (int k = 0; k < 32; k++) answer.b(uint8_t(0xC0 + k));
  core.feedServer(*client, answer.d);
  m = only();
  expectReply(m, 64);
  for (int k = 0; k < 32; k++) EXPECT_EQ(m[32 + k], 0xC0 + k) << k;
}

// Images: dimensions where the minor keeps them, data after the header padded to 4 and swapped
// in the unit of the GL type; the separable filter's row and column back to back. An image the
// library could not give is BadAlloc of the reply's size.
TEST_P(GlxPixelTest, ImagesCarryTheirDimensions) {
  std::vector<uint8_t> texture(64);
  for (size_t k = 0; k < texture.size(); k++) texture[k] = uint8_t(k * 3);
  FakeCore::Current current(*client);
  auto req = native(135, {0x0DE1, 0, kRgba, kUnsignedByte, 0});
  glxpixelReplyImage(req.data(), 28, GlxPixelImage{texture.data(), 64, 4, 4, 1, kUnsignedByte});
  FakeBytes m = only();
  expectReply(m, 96);
  EXPECT_EQ(client->u32(m, 16), 4u);
  EXPECT_EQ(client->u32(m, 20), 4u);
  EXPECT_EQ(client->u32(m, 24), 1u);
  EXPECT_TRUE(std::equal(texture.begin(), texture.end(), m.begin() + 32));

  // Row of 2 RGBA floats, column of 3: 32 + 48 bytes, as 20 numbers of 32 bits.
  float filter[20];
  for (int k = 0; k < 20; k++) filter[k] = float(k) + 0.25f;
  req = native(153, {0x8012, kRgba, kFloat, 0});
  glxpixelReplyImage(req.data(), 24, GlxPixelImage{reinterpret_cast<uint8_t *>(filter), 80, 2, 3, 0, kFloat});
  m = only();
  expectReply(m, 112);
  EXPECT_EQ(client->u32(m, 16), 2u);
  EXPECT_EQ(client->u32(m, 20), 3u);
  for (int k = 0; k < 20; k++) {
    uint32_t bits;
    memcpy(&bits, &filter[k], 4);
    EXPECT_EQ(item(m, k, 4), bits) << k;
  }

  // A colour table of 3 RGB bytes: 9 bytes padded to 12; width at 16.
  uint8_t table[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  req = native(147, {0x80D0, kRgb, kUnsignedByte, 0});
  glxpixelReplyImage(req.data(), 24, GlxPixelImage{table, 9, 3, 0, 0, kUnsignedByte});
  m = only();
  expectReply(m, 44);
  EXPECT_EQ(client->u32(m, 16), 3u);
  EXPECT_EQ(m[40], 9);
  EXPECT_EQ(m[41], 0);

  req = native(154, {0x8024, kRgba, kUnsignedShort, 0});
  glxpixelReplyImage(req.data(), 24, GlxPixelImage{nullptr, 2048, 256, 0, 0, kUnsignedShort});
  expectBadAlloc(only(), 32 + 2048);
}

// GetMinmax answers two pixels of the request's format and type, rows aligned to 4.
TEST_P(GlxPixelTest, MinmaxIsTwoPixels) {
  struct Case {
    uint32_t format, type;
    size_t bytes;
    int unit;
  } cases[] = {{kRgba, kUnsignedByte, 8, 1},   {kRgb, kUnsignedByte, 8, 1},  {kLuminance, kFloat, 8, 4},
               {kRgba, kFloat, 32, 4},         {kRgb, kShort565, 4, 2},      {kRgb, kUnsignedShort, 12, 2},
               {0x1234, kUnsignedByte, 0, 1}};
  uint8_t area[64];
  for (int k = 0; k < 64; k++) area[k] = uint8_t(0x40 + k);
  FakeCore::Current current(*client);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.format << " " << c.type);
    auto req = native(157, {0x802E, c.format, c.type, 0});
    glxpixelReplyMinmax(req.data(), 24, area);
    FakeBytes m = only();
    expectReply(m, 32 + c.bytes);
    for (size_t k = 0; k < c.bytes / c.unit; k++) {
      uint32_t expected = 0;
      memcpy(&expected, area + k * c.unit, c.unit);
      EXPECT_EQ(item(m, k, c.unit), expected) << k;
    }
    if (c.bytes) {
      glxpixelReplyMinmax(req.data(), 24, nullptr);
      expectBadAlloc(only(), uint32_t(32 + c.bytes));
    }
  }
}

// The words a mode leaves: select hits walked inside the buffer, an overflow the whole buffer,
// feedback values bounded by it.
TEST(GlxPixelWords, WhatTheModeLeft) {
  // Two hits: one name, then two names.
  const uint32_t hits[] = {1, 10, 20, 7, 2, 30, 40, 8, 9, 0xEE, 0xEE};
  const uint32_t bogus[] = {1, 10, 20, 7, 0xFFFFFFFF, 1, 2, 3};
  struct Case {
    int32_t result;
    uint32_t mode;
    const uint32_t *buffer;
    uint32_t size;
    uint32_t words;
  } cases[] = {
      {0, kSelect, hits, 11, 0},      {2, kSelect, hits, 11, 9},      {1, kSelect, hits, 11, 4},
      {-1, kSelect, hits, 11, 11},    {2, kSelect, hits, 6, 4},       {2, kSelect, bogus, 8, 4},
      {5, kFeedback, hits, 11, 5},    {50, kFeedback, hits, 11, 11},  {-1, kFeedback, hits, 11, 11},
      {3, kRender, hits, 11, 0},      {2, kSelect, nullptr, 11, 0},   {2, kSelect, hits, 0, 0},
  };
  for (const Case &c : cases)
    EXPECT_EQ(glxpixelRenderModeWords(c.result, c.mode, c.buffer, c.size), c.words)
        << c.result << " " << std::hex << c.mode << " " << c.size;

  uint64_t size = 0;
  uint8_t *reply = glxpixelBuildRenderMode(2, kSelect, kRender, hits, 11, &size);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(size, 32u + 9 * 4);
  EXPECT_EQ(wireGet32(reply + 8), 2u);
  EXPECT_EQ(wireGet32(reply + 12), 9u);
  EXPECT_EQ(wireGet32(reply + 16), kRender);
  for (int k = 0; k < 9; k++) EXPECT_EQ(wireGet32(reply + 32 + 4 * k), hits[k]);
  free(reply);
}

// RenderMode goes to every head with one reply: a direct reply head answers once the forwarded
// head has its copy (whose reply is then dropped); with forwarded heads only the reply head's
// reply passes. Either way the context records the new mode. Pixel queries on a direct reply
// head reach no server.
TEST_P(GlxPixelTest, RenderModeOnEveryHeadOneReply) {
  // An instance without contexts or tag slots, on a display record that only names itself:
  // every direct operation finds no slot to make current and produces nothing.
  std::remove_pointer_t<_XPrivDisplay> display{};
  char displayName[] = ":9";
  display.display_name = displayName;
  auto *instance = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
  ASSERT_NE(instance, nullptr);
  instance->display = reinterpret_cast<Display *>(&display);
  heads[0]->glLibrary = instance;
  send(request(107).i(tag).i(kSelect).done());
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x22u);
  FakeBytes m = only();
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 12), 0u);
  EXPECT_EQ(client->u32(m, 16), kSelect);
  EXPECT_EQ(context->renderMode, kSelect);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(3).pad(20).d);
  EXPECT_TRUE(core.messages(*client).empty());
  // Queries stay with the direct reply head: pixels it has none of are BadAlloc of their size.
  send(request(111).i(tag).i(0).i(0).i(2).i(2).i(kRgba).i(kUnsignedShort).b(0).b(0).b(0).b(0).done());
  expectBadAlloc(only(), 64);
  send(request(156).i(tag).i(0x8024).i(0x8026).done());
  expectBadAlloc(only(), 32);
  EXPECT_TRUE(copies().empty());

  heads[0]->glLibrary = nullptr;
  free(instance);
  send(request(107).i(tag).i(kRender).done());
  sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(context->renderMode, kRender);
  FakeMessage answer(false);
  answer.b(1).b(0).s(uint16_t(last - 1)).i(2).i(1).i(2).i(kRender).pad(12).i(1).i(5);
  core.feedServer(*client, answer.d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(0).pad(20).d);
  m = only();
  expectReply(m, 40);
  EXPECT_EQ(client->u32(m, 8), 1u);
  EXPECT_EQ(client->u32(m, 12), 2u);
  EXPECT_EQ(client->u32(m, 32), 1u);
  EXPECT_EQ(client->u32(m, 36), 5u);
}

// Parameters: the colour table's float 0.5 as its 32 bits at bytes 8 and 16; four convolution
// values from byte 32; values the library could not give, BadAlloc; the stipple's 128 bytes.
TEST_P(GlxPixelTest, ParametersAndStipple) {
  FakeCore::Current current(*client);
  float half = 0.5f;
  uint32_t bits;
  memcpy(&bits, &half, 4);
  auto req = native(148, {0x80D0, 0x80D6});
  glxpixelReplyParameter(req.data(), 16, bits);
  FakeBytes m = only();
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 8), 0x3F000000u);
  EXPECT_EQ(client->u32(m, 16), 0x3F000000u);

  const uint32_t scale[4] = {1, 2, 3, 0x01020304};
  req = native(152, {0x8010, 0x8014});
  glxpixelReplyParameters(req.data(), 16, reinterpret_cast<const uint8_t *>(scale), 4);
  m = only();
  expectReply(m, 48);
  EXPECT_EQ(client->u32(m, 12), 4u);
  for (int k = 0; k < 4; k++) EXPECT_EQ(item(m, k, 4), scale[k]);
  glxpixelReplyParameters(req.data(), 16, nullptr, 4);
  expectBadAlloc(only(), 48);

  uint8_t stipple[128];
  for (int k = 0; k < 128; k++) stipple[k] = uint8_t(255 - k);
  req = native(128, {0});
  glxpixelReplyStipple(req.data(), 12, stipple, 128);
  m = only();
  expectReply(m, 160);
  EXPECT_EQ(client->u32(m, 12), 128u);
  EXPECT_TRUE(std::equal(stipple, stipple + 128, m.begin() + 32));
  glxpixelReplyStipple(req.data(), 12, nullptr, 0);
  expectBadAlloc(only(), 160);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxPixelTest, ::testing::Values(false, true));

}  // namespace
