// GLX vendor-private and GLSL object requests on the fake core, two forwarded heads, in both
// byte orders: each code's length rule, the texture requests by server version, counts larger
// than the request, the tag a relayed request carries, one answer out of many (errors too), the
// GLSL replies in the client's order, the SGIX objects that later requests accept,
// MakeCurrentRead's release, drawables of relayed codes and the head query.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fakecore.h"
#include "glxfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"

namespace {

constexpr uint8_t kGlxError = 170;
constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadLength = 16;
constexpr uint8_t kBadContextTag = kGlxError + 4, kBadDrawable = kGlxError + 2;

class GlxVendorTest : public GlxFakeCoreTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpGlx(256));
    for (Head *h : heads) h->glxVersion = 67;
    FakeCore::Current current(*client);
    window = windowCreate(client->id(1), core.root(screen), 0, 0, 100, 100, 0, 0, 0);
    context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    *context = GlxContextRecord{screen, screen->visuals, nullptr, client->id(3), 0, 0, 0, {}, {}};
    EXPECT_EQ(glxInitContextObjects(context, nullptr), 1);
    EXPECT_EQ(resourceAdd(client->id(3), kResourceGlxContext, context), 1);
    core.serverRequests(*client);
  }
  // A tag of the client bound to the window, the heads' server tags 0x11 and 0x22.
  uint32_t bind(FakeClient &owner) {
    FakeCore::Current current(owner);
    GlxTagEntry *entry = glxAllocTag(owner.client);
    EXPECT_NE(glxBindTag(entry, context, context->contextId, window->id), nullptr);
    uint32_t tag = glxTagOf(entry);
    setGLXTagForServer(tag, heads[0], 0x11);
    setGLXTagForServer(tag, heads[1], 0x22);
    return tag;
  }
  FakeMessage vendor(uint8_t minor, uint32_t code, uint32_t tag) { return std::move(request(minor).i(code).i(tag)); }
  // The one message the client got: an error's code and bad value (code -1 for a reply).
  std::pair<int, uint32_t> answer() {
    auto got = core.messages(*client);
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1) return {-2, 0};
    return got[0][0] == 0 ? std::pair<int, uint32_t>{got[0][1], client->u32(got[0], 4)}
                          : std::pair<int, uint32_t>{-1, 0};
  }
  static uint32_t get(const FakeBytes &m, size_t at) { return rawGet32(m, at, false); }

  WindowRecord *window = nullptr;
  GlxContextRecord *context = nullptr;
};

// Every code's row and every GLSL row at its length and 4 bytes off: BadLength with the length
// and nothing sent where the rule refuses; a request under 12 bytes before its code is read.
TEST_P(GlxVendorTest, LengthRules) {
  struct Case {
    uint8_t minor;
    uint32_t code;  // vendor rows only
    uint32_t length;
    bool atLeast;
  } cases[] = {{16, 12, 16, true},        {16, 1330, 16, true},      {16, 1331, 16, true},
               {16, 1416, 20, false},     {16, 5154, 16, true},      {16, 0x10005, 36, false},
               {16, 0x10006, 28, false},  {16, 0x10007, 32, true},   {16, 0x10008, 16, false},
               {16, 777, 12, true},       {17, 11, 16, true},        {17, 13, 16, false},
               {17, 14, 16, false},       {17, 2053, 16, false},     {17, 0x10001, 24, false},
               {17, 0x10004, 16, false},  {17, 0x10005, 36, false},  {17, 777, 12, true},
               {170, 0, 16, false},       {171, 0, 16, false},       {172, 0, 16, false},
               {173, 0, 16, false},       {174, 0, 12, true},        {175, 0, 20, false},
               {178, 0, 16, false},       {179, 0, 20, false},       {180, 0, 12, true},
               {195, 0, 12, false},       {197, 0, 12, false},       {198, 0, 16, false},
               {199, 0, 16, false},       {200, 0, 16, false},       {201, 0, 16, false},
               {202, 0, 12, false}};
  for (const Case &c : cases) {
    for (uint32_t length : {c.length - 4, c.length + 4}) {
      FakeMessage m = request(c.minor);
      if (c.minor <= 17 && length >= 8) m.i(c.code);
      send(m.pad(length - m.d.size()).done());
      bool refused = length < c.length || !c.atLeast;
      auto got = core.messages(*client);
      if (refused) {
        ASSERT_EQ(got.size(), 1u) << int(c.minor) << " " << c.code << " " << length;
        EXPECT_EQ(got[0][1], kBadLength) << int(c.minor) << " " << c.code << " " << length;
        EXPECT_EQ(client->u32(got[0], 4), length);
        EXPECT_TRUE(copies().empty()) << int(c.minor) << " " << c.code;
      } else {
        for (auto &m2 : got) EXPECT_NE(m2[1], kBadLength) << int(c.minor) << " " << c.code;
      }
      copies();
    }
  }
  // The bare header.
  send(request(16).done());
  EXPECT_EQ(answer().first, kBadLength);
}

// Counts of codes 11 and 12 beyond the request are BadLength before any head is served; a
// proper delete goes as GLXDeleteTextures to a 1.3 server, as the vendor code to a 1.1 one.
TEST_P(GlxVendorTest, TextureCountsAndServerVersions) {
  uint32_t tag = bind(*client);
  for (uint8_t minor : {16, 17}) {
    send(vendor(minor, minor == 16 ? 12 : 11, tag).i(0x3FFFFFFF).done());
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadLength, 16}));
    EXPECT_TRUE(copies().empty());
    send(vendor(minor, minor == 16 ? 12 : 11, tag).i(2).i(7).done());
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadLength, 20}));
  }
  heads[1]->glxVersion = 65;
  send(vendor(16, 12, tag).i(2).i(7).i(8).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][1], 144);
  EXPECT_EQ(sent[0].size(), 20u);
  EXPECT_EQ(get(sent[0], 4), 0x11u);
  EXPECT_EQ(get(sent[0], 16), 8u);
  EXPECT_EQ(sent[1][1], 16);
  EXPECT_EQ(sent[1].size(), 24u);
  EXPECT_EQ(get(sent[1], 4), 12u);
  EXPECT_EQ(get(sent[1], 8), 0x22u);
  EXPECT_EQ(get(sent[1], 20), 8u);
}

// GenTextures reaches each head under its own minor; the client gets one reply, the reply
// head's, in its byte order.
TEST_P(GlxVendorTest, GenTexturesOneReply) {
  uint32_t tag = bind(*client);
  send(vendor(17, 13, tag).i(1).done());
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0][1], 145);
  EXPECT_EQ(get(sent[0], 4), 0x11u);
  EXPECT_EQ(get(sent[1], 4), 0x22u);
  EXPECT_EQ(get(sent[1], 8), 1u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last - 1).i(1).pad(24).i(0x501).d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(1).pad(24).i(0x602).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 32), 0x501u);
}

// A code outside the table: minor 16 with another client's tag goes to the first screen's heads
// under tag 0; minor 17 copies carry each head's tag, one reply comes back, swapped by code.
TEST_P(GlxVendorTest, OtherCodes) {
  FakeClient &second = core.addClient(GetParam());
  uint32_t foreign = bind(second);
  send(vendor(16, 65536, foreign).i(5).done());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (auto &c : sent) {
    EXPECT_EQ(get(c, 4), 65536u);
    EXPECT_EQ(get(c, 8), 0u);
    EXPECT_EQ(rawGet32(c, 12, false), 5u);  // the code's data in this machine's order
  }
  send(vendor(17, 1423, foreign).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadContextTag, foreign}));

  uint32_t tag = bind(*client);
  send(vendor(17, 1423, tag).i(9).done());
  uint16_t last = 0;
  sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(get(sent[0], 8), 0x11u);
  EXPECT_EQ(get(sent[1], 8), 0x22u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last - 1).i(1).i(3).pad(20).i(0x01020304).d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(1).i(4).pad(20).i(0x0A0B0C0D).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 3u);
  EXPECT_EQ(client->u32(got[0], 32), 0x01020304u);  // 1423's data are words
}

// MakeCurrentRead's release: one release per head, one reply with tag 0 and no error after it;
// the old tag is gone.
TEST_P(GlxVendorTest, MakeCurrentReadRelease) {
  uint32_t tag = bind(*client);
  send(vendor(17, 0x10001, tag).i(0).i(0).i(0).done());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(sent[k][1], 5);
    EXPECT_EQ(get(sent[k], 12), k ? 0x22u : 0x11u);
  }
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(client->u32(got[0], 8), 0u);
  EXPECT_EQ(glxFindTagEntry(client->client, tag), nullptr);
  send(vendor(17, 0x10001, tag).i(0).i(0).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadContextTag, tag}));
  EXPECT_TRUE(copies().empty());
}

// The SGIX context and GLX pixmap are recorded, checked as their GLX 1.3 forms, and reach the
// servers as GLXCreateContext and GLXCreateGLXPixmap with the heads' visuals.
TEST_P(GlxVendorTest, SgixObjectsRecorded) {
  uint32_t id = client->id(5);
  send(vendor(17, 0x10005, 0).i(id).i(0x21).i(screen->index).i(0x8014).i(0).i(0).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(sent[k][1], 3);
    EXPECT_EQ(sent[k].size(), 24u);
    EXPECT_EQ(get(sent[k], 4), core.realId(id, heads[k]));
    EXPECT_EQ(get(sent[k], 8), 0x60u + k);
    EXPECT_EQ(get(sent[k], 12), uint32_t(heads[k]->screen));
  }
  EXPECT_NE(resourceLookupByType(id, kResourceGlxContext), nullptr);
  send(request(6).i(id).done());  // IsDirect knows it
  EXPECT_EQ(copies().size(), 1u);
  EXPECT_TRUE(core.messages(*client).empty());

  send(vendor(16, 0x10005, 0).i(client->id(6)).i(0x77).i(screen->index).i(0x8014).i(0).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x77}));  // GLXBadFBConfig
  send(vendor(16, 0x10005, 0).i(client->id(6)).i(0x21).i(9).i(0x8014).i(0).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadValue, 9}));
  EXPECT_TRUE(copies().empty());

  uint32_t pixmap = client->id(7), glxPixmap = client->id(8);
  auto savedFormats = proxyState.pixmapFormats[0];
  auto savedCount = proxyState.pixmapFormatCount;
  proxyState.pixmapFormats[0] = {24, 32, 32};
  proxyState.pixmapFormatCount = 1;
  send(FakeMessage(client->big).b(53).b(24).s(0).i(pixmap).i(screen->root).s(10).s(10).done());
  proxyState.pixmapFormats[0] = savedFormats;
  proxyState.pixmapFormatCount = savedCount;
  copies();
  EXPECT_TRUE(core.messages(*client).empty());
  send(vendor(17, 0x10006, 0).i(screen->index).i(0x21).i(pixmap).i(glxPixmap).done());
  EXPECT_TRUE(core.messages(*client).empty());
  sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(sent[k][1], 13);
    EXPECT_EQ(get(sent[k], 8), 0x60u + k);
    EXPECT_EQ(get(sent[k], 12), core.realId(pixmap, heads[k]));
    EXPECT_EQ(get(sent[k], 16), core.realId(glxPixmap, heads[k]));
  }
  EXPECT_NE(resourceLookupByType(glxPixmap, kResourceGlxDrawable), nullptr);
  send(vendor(17, 0x10006, 0).i(screen->index).i(0x21).i(window->id).i(client->id(9)).done());
  EXPECT_EQ(answer().first, 4);  // BadPixmap
  send(vendor(17, 0x10006, 0).i(screen->index).i(0x77).i(pixmap).i(client->id(10)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x77}));
  send(vendor(16, 0x10007, 0).i(screen->index).i(0x77).i(client->id(10)).i(8).i(8).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x77}));
  EXPECT_TRUE(copies().empty());
}

// Drawable codes name the drawable as each server knows it; an unknown one is GLXBadDrawable.
TEST_P(GlxVendorTest, DrawableCodesTranslated) {
  uint32_t tag = bind(*client);
  for (uint32_t code : {1330u, 1331u, 5154u}) {
    send(vendor(16, code, tag).i(window->id).i(0).i(0).i(5).i(5).done());
    auto sent = copies();
    ASSERT_EQ(sent.size(), 2u) << code;
    for (int k = 0; k < 2; k++) {
      EXPECT_EQ(get(sent[k], 8), k ? 0x22u : 0x11u);
      EXPECT_EQ(get(sent[k], 12), core.realId(window->id, heads[k])) << code;
    }
  }
  send(vendor(16, 5154, tag).i(client->id(40)).i(0).i(0).i(5).i(5).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadDrawable, client->id(40)}));
  EXPECT_TRUE(copies().empty());
}

// The head query looks for the window first: an unknown one leaves the client's view alone.
TEST_P(GlxVendorTest, HeadQuery) {
  send(vendor(17, 2053, 0).i(client->id(40)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadWindow, client->id(40)}));
  EXPECT_EQ(client->client->headsAsScreens, 0);
  send(vendor(17, 2053, 0).i(window->id).done());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 76u);
  EXPECT_EQ(client->u32(got[0], 8), 2u);
  EXPECT_EQ(client->u32(got[0], 12), window->id);
  EXPECT_EQ(client->u32(got[0], 16), window->id);
  EXPECT_EQ(client->u32(got[0], 20), 0u);
  EXPECT_EQ(client->client->headsAsScreens, 1);
}

// Every-head GLSL requests: both heads with their tags, the reply head's reply alone; a
// location name without its NUL is BadLength.
TEST_P(GlxVendorTest, GlslRequests) {
  uint32_t tag = bind(*client);
  send(request(199).i(tag).i(3).i(0x8B82).done());
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(get(sent[0], 4), 0x11u);
  EXPECT_EQ(get(sent[1], 4), 0x22u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last - 1).i(0).i(0).i(1).i(7).pad(12).d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(0).i(1).i(8).pad(12).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 16), 7u);

  send(request(174).i(tag).i(3).text("abcd").done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadLength, 16}));
  send(request(174).i(tag).i(3).text("abc").b(0).done());
  EXPECT_EQ(copies().size(), 1u);
  send(request(197).i(tag + 1).i(3).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadContextTag, tag + 1}));
}

// The GLSL replies are single replies: return word at 8, count at 12, a single value at 16. A
// client of the other byte order gets each of those words in its own order.
TEST_P(GlxVendorTest, GlslRepliesAreSingleReplies) {
  uint32_t tag = bind(*client);
  send(request(174).i(tag).i(3).text("abc").b(0).done());
  uint16_t last = 0;
  ASSERT_EQ(copies(&last).size(), 1u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(5).i(1).i(5).pad(12).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 5u);
  EXPECT_EQ(client->u32(got[0], 12), 1u);
  EXPECT_EQ(client->u32(got[0], 16), 5u);

  send(request(197).i(tag).i(3).done());
  ASSERT_EQ(copies(&last).size(), 2u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last - 1).i(0).i(1).i(1).i(1).pad(12).d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(0).i(1).i(0).pad(12).d);
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 1u);
  EXPECT_EQ(client->u32(got[0], 16), 1u);
}

// A request that every head gets is answered once however its copies fare: the reply head's
// error or reply reaches the client, another head's error never does; the replies after it
// still find their heads.
TEST_P(GlxVendorTest, EveryHeadCopiesAnswerOnce) {
  uint32_t tag = bind(*client);
  screen->glxHead = heads[1];
  uint16_t last = 0;
  auto fail = [&](uint16_t sequence, uint32_t value) {
    core.feedServer(*client, FakeMessage(false).b(0).b(kBadValue).s(sequence).i(value).s(0).b(kGlxMajor).pad(21).d);
  };
  struct Case {
    const char *what;
    FakeBytes bytes;
  } cases[] = {{"IsProgram", request(197).i(tag).i(3).done()},
               {"DeleteShader", request(195).i(tag).i(3).done()},
               {"GenLists", request(104).i(tag).i(1).done()},
               {"unknown code, minor 16", vendor(16, 65536, tag).i(5).done()},
               {"unknown code, minor 17", vendor(17, 1423, tag).i(9).done()},
               {"GenTexturesEXT", vendor(17, 13, tag).i(1).done()},
               {"CopySubBuffer", vendor(16, 5154, tag).i(window->id).i(0).i(0).i(5).i(5).done()}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    send(c.bytes);
    ASSERT_EQ(copies(&last).size(), 2u);
    fail(uint16_t(last - 1), 0x111);
    fail(last, 0x222);
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadValue, 0x222}));
  }
  // The first head fails, the reply head answers: the reply alone.
  send(request(197).i(tag).i(3).done());
  ASSERT_EQ(copies(&last).size(), 2u);
  fail(uint16_t(last - 1), 0x111);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(1).i(1).i(1).pad(12).d);
  EXPECT_EQ(answer().first, -1);
  // The reply head fails: its error alone.
  send(request(199).i(tag).i(3).i(0x8B82).done());
  ASSERT_EQ(copies(&last).size(), 2u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(uint16_t(last - 1)).i(0).i(0).i(1).i(7).pad(12).d);
  fail(last, 0x333);
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadValue, 0x333}));
  // Both answer: the reply head's value.
  send(request(199).i(tag).i(3).i(0x8B82).done());
  ASSERT_EQ(copies(&last).size(), 2u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(uint16_t(last - 1)).i(0).i(0).i(1).i(7).pad(12).d);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(0).i(1).i(8).pad(12).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 16), 8u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxVendorTest, ::testing::Values(false, true));

}  // namespace
