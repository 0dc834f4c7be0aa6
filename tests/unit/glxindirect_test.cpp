// The GLX replies the proxy builds itself, read back by a client of either byte order: where each
// field lands, how items of each size reach the client, the padding, a size no reply can carry,
// and the list reply that only the meta screen's GLX reply head sends.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/glxindirect.h"

namespace {

constexpr uint8_t kGlxMajor = 201;
constexpr uint8_t kBadAlloc = 11;

class GlxReplyTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    heads = core.heads(screen);
    savedMajor = proxyState.ext.glxMajor;
    proxyState.ext.glxMajor = kGlxMajor;
    // Replies go out at the sequence of the request being answered.
    client->client->sequence = 0x1234;
  }
  void TearDown() override {
    screen->glxHead = nullptr;
    proxyState.ext.glxMajor = savedMajor;
  }
  // The one message the client got (an empty message when it got another number).
  FakeBytes one() {
    auto got = core.messages(*client);
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1) return {};
    const FakeBytes &m = got[0];
    if (m.size() >= 32 && m[0] == 1) {
      EXPECT_EQ(client->u16(m, 2), 0x1234u);
      EXPECT_EQ(client->u32(m, 4), (m.size() - 32) / 4);
    }
    return m;
  }
  // The one message the call sent to the client, the client current during it.
  FakeBytes sent(const std::function<void()> &call) {
    {
      FakeCore::Current current(*client);
      call();
    }
    return one();
  }
  // An item of `size` bytes at `at` as the client reads it in its own order.
  uint64_t item(const FakeBytes &m, size_t at, uint32_t size) const {
    uint64_t v = 0;
    for (uint32_t k = 0; k < size; k++) {
      uint32_t shift = client->big ? 8 * (size - 1 - k) : 8 * k;
      v |= uint64_t(m.at(at + k)) << shift;
    }
    return v;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  uint8_t savedMajor = 0;
};

// Items of 1, 2, 4 and 8 bytes in the client's order; one item inline at byte 16 with its first
// 32 bits at byte 8 and nothing after the header; several from byte 32, padded to 4.
TEST_P(GlxReplyTest, ValuesEachItemSize) {
  const uint8_t bytes[] = {0xA1, 0xB2, 0xC3};
  const uint16_t shorts[] = {0xA1B2, 0xC3D4, 0xE5F6};
  const uint32_t words[] = {0xA1B2C3D4, 0x01020304, 0xFFFFFFFE};
  const uint64_t longs[] = {0x1122334455667788ull, 0x99AABBCCDDEEFF00ull, 1};
  struct Case {
    uint32_t size;
    const void *values;
  } cases[] = {{1, bytes}, {2, shorts}, {4, words}, {8, longs}};
  for (const Case &c : cases) {
    auto expected = [&](uint32_t k) {
      uint64_t v = 0;
      memcpy(&v, static_cast<const uint8_t *>(c.values) + k * c.size, c.size);
      return v;
    };
    FakeBytes m = sent([&] { glxindirectReplyValues(c.values, 1, c.size, client->client, 112); });
    ASSERT_EQ(m.size(), 32u) << c.size;
    EXPECT_EQ(client->u32(m, 12), 1u);
    EXPECT_EQ(item(m, 16, c.size), expected(0)) << c.size;
    EXPECT_EQ(client->u32(m, 8), uint32_t(expected(0))) << c.size;  // an 8-byte item's low word
    m = sent([&] { glxindirectReplyValues(c.values, 3, c.size, client->client, 112); });
    ASSERT_EQ(m.size(), 32 + (3 * c.size + 3) / 4 * 4) << c.size;
    EXPECT_EQ(client->u32(m, 12), 3u);
    for (uint32_t k = 0; k < 3; k++) EXPECT_EQ(item(m, 32 + k * c.size, c.size), expected(k)) << c.size << " " << k;
    for (size_t k = 32 + 3 * c.size; k < m.size(); k++) EXPECT_EQ(m[k], 0) << "padding " << k;
    EXPECT_FALSE(core.logged("UNE"));
  }
}

// The return word at byte 8 and the items from byte 32 even for one item.
TEST_P(GlxReplyTest, ValuesWithReturnWord) {
  const uint64_t value = 0x0102030405060708ull;
  FakeBytes m = sent([&] { glxindirectReplyValuesEx(&value, 1, 8, 0xCAFE, client->client, 113); });
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 8), 0xCAFEu);
  EXPECT_EQ(client->u32(m, 12), 1u);
  EXPECT_EQ(item(m, 16, 8), 0u);
  EXPECT_EQ(item(m, 32, 8), value);
  const uint16_t shorts[] = {7, 0x8001, 9};
  m = sent([&] { glxindirectReplyValuesEx(shorts, 3, 2, 0xFFFFFFFF, client->client, 113); });
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 8), 0xFFFFFFFFu);
  for (uint32_t k = 0; k < 3; k++) EXPECT_EQ(item(m, 32 + 2 * k, 2), shorts[k]);
}

// An item size no layout knows is reported and its bytes pass as they stand, padded.
TEST_P(GlxReplyTest, ValuesOfAnUnknownSize) {
  const uint8_t triples[] = {1, 2, 3, 4, 5, 6};
  FakeBytes m = sent([&] { glxindirectReplyValues(triples, 2, 3, client->client, 112); });
  EXPECT_TRUE(core.logged("UNE"));
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 12), 2u);
  EXPECT_EQ(0, memcmp(m.data() + 32, triples, 6));
  EXPECT_EQ(m[38], 0);
  EXPECT_EQ(m[39], 0);
}

// Sizes beyond a reply's length word: BadAlloc with the size (saturated) and the GLX request,
// nothing read from the values.
TEST_P(GlxReplyTest, SizeNoReplyCanCarry) {
  FakeBytes m = sent([&] { glxindirectReplyValues(nullptr, 0x80000000u, 4, client->client, 112); });
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(m[0], 0);
  EXPECT_EQ(m[1], kBadAlloc);
  EXPECT_EQ(client->u32(m, 4), 0xFFFFFFFFu);
  EXPECT_EQ(client->u16(m, 8), 112u);
  EXPECT_EQ(m[10], kGlxMajor);
}

// Text replies: the length with its NUL at byte 12, the text and the NUL from byte 32, padded.
TEST_P(GlxReplyTest, StringsAndBytes) {
  FakeBytes m = sent([&] { glxindirectReplyString("abc", client->client, 19); });
  ASSERT_EQ(m.size(), 36u);
  EXPECT_EQ(client->u32(m, 12), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.data() + 32)), "abc");
  m = sent([&] { glxindirectReplyString(nullptr, client->client, 19); });
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(client->u32(m, 12), 0u);
  const uint8_t five[] = {'h', 'e', 'l', 'l', 'o'};
  m = sent([&] { glxindirectReplyBytes(five, 5, client->client, 172); });
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 12), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.data() + 32)), "hello");
  m = sent([&] { glxindirectReplyBytes(five, 0, client->client, 172); });
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(client->u32(m, 12), 0u);
}

// The fixed 32-byte replies and the data blocks of minors 175 and 17.
TEST_P(GlxReplyTest, FixedFieldsAndBlocks) {
  FakeBytes m = sent([&] { glxindirectReplyInt(0x80000001, client->client, 141); });
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(client->u32(m, 8), 0x80000001u);
  EXPECT_EQ(client->u32(m, 12), 1u);
  EXPECT_EQ(client->u32(m, 16), 0x80000001u);
  m = sent([&] { glxindirectReplyPair(0x55667788, 0x11223344, 1, client->client, 165); });
  ASSERT_EQ(m.size(), 32u);
  EXPECT_EQ(client->u32(m, 12), 1u);
  EXPECT_EQ(item(m, 16, 8), 0x1122334455667788ull);
  const uint8_t data[] = {9, 8, 7, 6, 5};
  m = sent([&] { glxindirectReplyBlock(data, 5, 0xA, 0xB, client->client); });
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 20), 0xBu);
  EXPECT_EQ(0, memcmp(m.data() + 32, data, 5));
  m = sent([&] { glxindirectReplyData2(5, 0xC, 0xD, data); });
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 8), 5u);
  EXPECT_EQ(client->u32(m, 12), 0xCu);
  EXPECT_EQ(client->u32(m, 16), 0xDu);
  EXPECT_EQ(0, memcmp(m.data() + 32, data, 5));
  m = sent([&] { glxindirectReplyData4(3, data); });
  ASSERT_EQ(m.size(), 36u);
  EXPECT_EQ(client->u32(m, 8), 3u);
  EXPECT_EQ(client->u32(m, 12), 0u);
  EXPECT_EQ(0, memcmp(m.data() + 32, data, 3));
}

// Each head answers for itself; only the GLX reply head's list reaches the client (the first
// head unless one is tagged).
TEST_P(GlxReplyTest, ListOnlyFromTheReplyHead) {
  const uint32_t names[] = {5, 0x01020304};
  auto list = [&](Head *head) {
    FakeCore::Current current(*client);
    glxindirectReplyList(names, 2, head);
  };
  list(heads[1]);
  EXPECT_TRUE(core.messages(*client).empty());
  list(heads[0]);
  FakeBytes m = one();
  ASSERT_EQ(m.size(), 40u);
  EXPECT_EQ(client->u32(m, 32), 5u);
  EXPECT_EQ(client->u32(m, 36), 0x01020304u);
  screen->glxHead = heads[1];
  list(heads[0]);
  EXPECT_TRUE(core.messages(*client).empty());
  list(heads[1]);
  m = one();
  ASSERT_EQ(m.size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxReplyTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
