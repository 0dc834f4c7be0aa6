// Occlusion queries, shader, program and buffer objects on the fake core, in both byte orders:
// delete counts bounded in 64 bits before any head is served, names made on every head with the
// reply head's answer the only one, and the replies built for a reply head that renders GL
// inside the proxy (no data: BadAlloc of the reply's size; library pointers never sent; the
// requests without a direct form answered without reaching any real server).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include "fakecore.h"
#include "glxfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xscreen.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxqueryobjects.h"

namespace {

constexpr uint8_t kBadAlloc = 11, kBadLength = 16;
constexpr uint8_t kDeleteQueries = 161, kGenQueries = 162, kDeleteBuffers = 186, kGenBuffers = 187;

class GlxQueryObjectsTest : public GlxFakeCoreTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpGlx(203));
    ASSERT_NO_FATAL_FAILURE(makeCurrent(0, nullptr, &tag));
    ASSERT_NE(tag, 0u);
    core.clearLog();
  }
  void TearDown() override {
    for (Head *h : heads) h->glLibrary = nullptr;
    screen->glxHead = nullptr;
    GlxFakeCoreTest::TearDown();
  }
  // A request of the minor with the tag and the words.
  FakeBytes single(uint8_t minor, std::vector<uint32_t> words) {
    FakeMessage m = request(minor);
    m.i(tag);
    for (uint32_t w : words) m.i(w);
    return m.done();
  }
  // A reply of a real server (this machine's order) with the words after its 32-byte header.
  void serverReply(uint16_t sequence, std::vector<uint32_t> data) {
    FakeMessage m(false);
    m.b(1).b(0).s(sequence).i(uint32_t(data.size())).pad(24);
    for (uint32_t w : data) m.i(w);
    core.feedServer(*client, m.d);
  }
  void expectError(const FakeBytes &m, uint8_t code, uint32_t value) {
    ASSERT_EQ(m.size(), 32u);
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[1], code);
    EXPECT_EQ(client->u32(m, 4), value);
  }
  // A reply at the client's sequence whose length word counts the bytes after the header.
  void expectReply(const FakeBytes &m, size_t size) {
    ASSERT_EQ(m.size(), size);
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(client->u16(m, 2), client->client->sequence & 0xffffu);
    EXPECT_EQ(client->u32(m, 4), (size - 32) / 4);
  }
  // The reply built for the request from a direct result, as the reply head would answer.
  FakeBytes builtReply(uint8_t minor, std::vector<uint32_t> words, const GlxDirectResult &result) {
    std::vector<uint8_t> req = nativeRequest(minor, tag, words);
    {
      FakeCore::Current current(*client);
      glxqueryobjectsDirectReply(req.data(), uint32_t(req.size()), result);
    }
    return only();
  }

  uint32_t tag = 0;
};

// A delete count must be covered by the request, counted in 64 bits: 0x40000000 names are 2^32
// bytes (0 in 32 bits), 0x40000002 are 8 in 32 bits. It is refused before the tag is looked at and before any head is served;
// a count that fits goes to every head with the head's tag and the names unchanged.
TEST_P(GlxQueryObjectsTest, DeleteCountsAreBoundedBeforeAnyHead) {
  for (uint8_t minor : {kDeleteQueries, kDeleteBuffers}) {
    SCOPED_TRACE(int(minor));
    for (uint32_t n : {0x20000000u, 0x40000000u, 0x40000002u, 0xFFFFFFFFu, 5u}) {
      send(single(minor, {n, 1, 2, 3, 4}));
      expectError(only(), kBadLength, 28);
    }
    tag ^= 0x40;  // a tag of nobody: the count is still what is refused
    send(single(minor, {0x20000000, 1, 2, 3, 4}));
    expectError(only(), kBadLength, 28);
    tag ^= 0x40;
    EXPECT_TRUE(copies().empty());

    send(single(minor, {4, 0x71, 0x72, 0x73, 0x74}));
    EXPECT_TRUE(core.messages(*client).empty());
    auto sent = copies();
    ASSERT_EQ(sent.size(), 2u);
    for (int k = 0; k < 2; k++) {
      ASSERT_EQ(sent[k].size(), 28u);
      EXPECT_EQ(rawGet32(sent[k], 4, false), 0x11u * (k + 1));
      EXPECT_EQ(rawGet32(sent[k], 8, false), 4u);
      EXPECT_EQ(rawGet32(sent[k], 24, false), 0x74u);
    }
  }
}

// GenQueries of 3 on a screen of two heads: both heads make 3 queries, the client gets one
// reply, the reply head's ids, whichever head that is.
TEST_P(GlxQueryObjectsTest, NamesMadeOnEveryHeadAnsweredOnce) {
  for (int replyHead = 0; replyHead < 2; replyHead++) {
    SCOPED_TRACE(replyHead);
    screen->glxHead = replyHead ? heads[1] : nullptr;
    send(single(kGenQueries, {3}));
    uint16_t last = 0;
    auto sent = copies(&last);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
    EXPECT_EQ(rawGet32(sent[1], 4, false), 0x22u);
    EXPECT_EQ(rawGet32(sent[1], 8, false), 3u);
    serverReply(uint16_t(last - 1), {1, 2, 3});
    serverReply(last, {7, 8, 9});
    FakeBytes m = only();
    expectReply(m, 44);
    uint32_t first = replyHead ? 7 : 1;
    for (uint32_t k = 0; k < 3; k++) EXPECT_EQ(client->u32(m, 32 + 4 * k), first + k);
  }
}

// A reply head that renders GL inside the proxy, with a library that gives nothing: requests
// without a direct form are answered without any real server; replies that need names or bytes
// are BadAlloc of the reply's size; a forwarded second head still gets the commands with a
// reply, and its answer is dropped.
TEST_P(GlxQueryObjectsTest, DirectReplyHeadWithoutData) {
  // An instance without a slot in use: its operations refuse the tag and give no data. Only
  // the display's name is read (in the refusal's line): Xlib's public view of the record.
  static GlxLibraryInstance unused{};
  static std::remove_pointer_t<_XPrivDisplay> display{};
  display.display_name = const_cast<char *>(":9");
  unused.display = reinterpret_cast<Display *>(&display);
  heads[0]->glLibrary = &unused;
  // GetCompressedTexImage: no tag slot goes to a real server; an empty image, "WIP" logged.
  send(single(160, {0x0DE1, 0}));
  EXPECT_TRUE(copies().empty());
  FakeBytes m = only();
  expectReply(m, 32);
  for (size_t at = 8; at < 32; at++) EXPECT_EQ(m[at], 0) << at;
  EXPECT_TRUE(core.logged("WIP"));
  core.clearLog();
  // GetElementRange: an empty range rather than no reply.
  send(single(191, {0, 0, 0x8892, 0x1405}));
  EXPECT_TRUE(copies().empty());
  m = only();
  expectReply(m, 32);
  for (size_t at = 8; at < 32; at++) EXPECT_EQ(m[at], 0) << at;

  // GenQueries: the second head makes its names; the direct head had none to give.
  send(single(kGenQueries, {3}));
  uint16_t last = 0;
  ASSERT_EQ(copies(&last).size(), 1u);
  expectError(only(), kBadAlloc, 44);
  serverReply(last, {7, 8, 9});
  EXPECT_TRUE(core.messages(*client).empty());
  // GenBuffers and GetBufferSubData ask the reply head only.
  send(single(kGenBuffers, {2}));
  expectError(only(), kBadAlloc, 40);
  // The size is a 64-bit field: its high word comes first from a client of the other order.
  send(single(189, {0, 0, client->big ? 0u : 5u, client->big ? 5u : 0u, 0x8892}));
  expectError(only(), kBadAlloc, 40);
  send(single(189, {0, 0, 0, 0, 0x8892}));
  expectReply(only(), 32);
  EXPECT_TRUE(copies().empty());

  // MapBuffer: no mapping, so n 0 and value 0.
  send(single(193, {0x8892, 0x88B8}));
  EXPECT_EQ(copies().size(), 1u);
  m = only();
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 12), 0u);
  EXPECT_EQ(client->u32(m, 16) | client->u32(m, 20), 0u);
}

// What the client reads from a library's results: a pointer only as 1 (0 for none, at the
// place and in the order of a 64-bit value), names and bytes in order, booleans from the low
// byte, a string with its NUL counted.
TEST_P(GlxQueryObjectsTest, RepliesFromLibraryResults) {
  static const uint8_t mapping[8] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x11, 0x22};
  auto expect64 = [&](const FakeBytes &m, uint8_t one) {
    // Byte 16 for a client that sends the least significant byte first, byte 23 otherwise.
    for (size_t at = 16; at < 24; at++) EXPECT_EQ(m[at], at == (client->big ? 23u : 16u) ? one : 0) << at;
  };
  FakeBytes m = builtReply(193, {0x8892, 0x88B8}, GlxDirectResult{0, 0, mapping});
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 12), 1u);
  expect64(m, 1);
  m = builtReply(192, {0x8892, 0x88BD}, GlxDirectResult{0, 0, mapping});
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 12), 1u);
  expect64(m, 1);
  m = builtReply(192, {0x8892, 0x88BD}, GlxDirectResult{0, 0, nullptr});
  EXPECT_EQ(client->u32(m, 12), 1u);
  expect64(m, 0);

  static const uint32_t ids[3] = {5, 6, 0x01020304};
  m = builtReply(kGenQueries, {3}, GlxDirectResult{0, 3, reinterpret_cast<const uint8_t *>(ids)});
  expectReply(m, 44);
  for (int k = 0; k < 3; k++) EXPECT_EQ(client->u32(m, 32 + 4 * k), ids[k]);
  // Fewer names than asked for is no reply the client could read: BadAlloc.
  m = builtReply(kGenBuffers, {4}, GlxDirectResult{0, 3, reinterpret_cast<const uint8_t *>(ids)});
  expectError(m, kBadAlloc, 48);
  // A count past what a reply can hold: the size is given as the largest word.
  m = builtReply(kGenBuffers, {0xFFFFFFFF}, GlxDirectResult{0, 0, nullptr});
  expectError(m, kBadAlloc, 0xFFFFFFFF);

  // Buffer bytes go as bytes (never turned around in groups of four).
  m = builtReply(189, {0, 0, 5, 0, 0x8892}, GlxDirectResult{0, 5, reinterpret_cast<const uint8_t *>("abcde")});
  expectReply(m, 40);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.data() + 32), 5), "abcde");

  m = builtReply(188, {9}, GlxDirectResult{0x101, 0, nullptr});
  expectReply(m, 32);
  EXPECT_EQ(client->u32(m, 8), 1u);

  m = builtReply(129, {0x1234}, GlxDirectResult{0, 0, reinterpret_cast<const uint8_t *>("Lib GL")});
  expectReply(m, 40);
  EXPECT_EQ(client->u32(m, 12), 7u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(m.data() + 32)), "Lib GL");
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxQueryObjectsTest, ::testing::Values(false, true));

}  // namespace
