// GLX requests on contexts, drawables and configuration lists on the fake core, in both byte
// orders: the length rules of every row, the per-head copies (ids, screen numbers, never
// direct), the checks and their errors, hostile counts in requests and replies, and the
// configuration lists the proxy answers itself.
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
constexpr uint8_t kBadValue = 2, kBadIdChoice = 14, kBadLength = 16;

class GlxRequestsTest : public GlxFakeCoreTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpGlx(40));
    screen->visuals->glDoubleBuffer = 1;
    core.serverRequests(*client);
  }
  // The one message the client got: an error's code and bad value (code -1 for a reply).
  std::pair<int, uint32_t> answer() {
    auto got = core.messages(*client);
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1) return {-2, 0};
    EXPECT_EQ(client->u16(got[0], 2), client->client->sequence & 0xffff);
    return got[0][0] == 0 ? std::pair<int, uint32_t>{got[0][1], client->u32(got[0], 4)}
                          : std::pair<int, uint32_t>{-1, 0};
  }
  // Every request written since the last look but the proxy's own round trips.
  std::vector<FakeBytes> written() {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] != 43) out.push_back(r);
    return out;
  }
  void createContext(uint32_t id, uint32_t visual, uint32_t screenNumber, uint32_t share, uint8_t direct) {
    send(request(3).i(id).i(visual).i(screenNumber).i(share).b(direct).pad(3).done());
  }

};

// Each row at its length and 4 bytes off: exact rows refuse both, "at least" rows only the
// shorter. (CreatePbuffer and ChangeDrawableAttributes with a pair count of 0 are exact.)
TEST_P(GlxRequestsTest, LengthRules) {
  struct Case {
    uint8_t minor;
    uint32_t length;
    bool atLeast;
  } cases[] = {{3, 24, false},  {4, 8, false},   {7, 12, false},   {6, 8, false},   {8, 8, false},   {9, 8, false},
               {10, 20, false}, {11, 12, false}, {12, 24, false}, {13, 20, false}, {14, 8, false},
               {15, 8, false},  {21, 8, true},   {22, 24, true},  {23, 8, true},   {24, 28, false},
               {25, 8, false},  {27, 20, false}, {28, 8, true},   {29, 8, true},   {30, 12, false}};
  for (const Case &c : cases) {
    for (uint32_t length : {c.length - 4, c.length + 4}) {
      send(request(c.minor).pad(length - 4).done());
      auto got = core.messages(*client);
      bool refused = length < c.length || !c.atLeast;
      if (refused) {
        ASSERT_EQ(got.size(), 1u) << int(c.minor) << " " << length;
        EXPECT_EQ(got[0][1], kBadLength) << int(c.minor) << " " << length;
      } else {
        for (auto &m : got) EXPECT_NE(m[1], kBadLength) << int(c.minor);
      }
      copies();
    }
  }
}

// A context is created indirect on every head with its ids and screen translated; IsDirect
// says false whatever the server says; the checks answer in order.
TEST_P(GlxRequestsTest, CreateContextAndIsDirect) {
  uint32_t id = client->id(3);
  createContext(id, 0x21, screen->index, 0, 1);
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(sent[k][1], 3);
    EXPECT_EQ(rawGet32(sent[k], 4, false), core.realId(id, heads[k]));
    EXPECT_EQ(rawGet32(sent[k], 8, false), 0x60u + k);
    EXPECT_EQ(rawGet32(sent[k], 12, false), uint32_t(heads[k]->screen));
    EXPECT_EQ(sent[k][20], 0);
  }
  EXPECT_EQ(client->client->glxClientVersion, 64u);
  ASSERT_NE(resourceLookupByType(id, kResourceGlxContext), nullptr);

  send(request(6).i(id).done());
  uint16_t last = 0;
  sent = copies(&last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), core.realId(id, heads[0]));
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).b(1).pad(23).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(got[0][8], 0);

  // A new-style context shares the first; its is-direct word goes out as 0.
  uint32_t second = client->id(4);
  send(request(24).i(second).i(0x21).i(screen->index).i(0x8014).i(id).b(1).pad(3).done());
  sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[1], 8, false), 0x91u);
  EXPECT_EQ(rawGet32(sent[1], 20, false), core.realId(id, heads[1]));
  EXPECT_EQ(rawGet32(sent[1], 24, false), 0u);
  EXPECT_TRUE(core.logged("Direct rendering in GLXCreateNewContext requested by"));

  struct Bad {
    std::vector<uint32_t> fields;  // context, visual, screen, share
    int code;
    uint32_t value;
  } bad[] = {{{client->id(5), 0x21, 9, 0}, kBadValue, 9},
             {{id, 0x21, screen->index, 0}, kBadIdChoice, id},
             {{client->id(5), 0x21, screen->index, client->id(9)}, kGlxError + 0, client->id(9)},
             {{client->id(5), 0x77, screen->index, 0}, kBadValue, 0x77}};
  for (const Bad &b : bad) {
    createContext(b.fields[0], b.fields[1], b.fields[2], b.fields[3], 0);
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{b.code, b.value}));
    EXPECT_TRUE(copies().empty());
  }
  screen->visuals->glVersion = 0;  // a visual without GL
  createContext(client->id(5), 0x21, screen->index, 0, 0);
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadValue, 0x21}));

  // Destroying: only contexts, and then on every head.
  send(request(4).i(client->id(9)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 0, client->id(9)}));
  send(request(4).i(second).done());
  EXPECT_EQ(copies().size(), 2u);
  EXPECT_EQ(resourceLookupByType(second, kResourceGlxContext), nullptr);
}

// The version the client learns is the proxy's, whatever the server answers.
TEST_P(GlxRequestsTest, VersionIsTheProxys) {
  proxyState.ext.glx->version = 66;  // 1.2
  send(request(7).i(1).i(4).done());
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 8, false), 4u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(1).i(4).pad(16).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 2u);
}

// Server ids in QueryContext and GetDrawableAttributes replies come back as the client's; a
// count beyond the reply reads nothing past it.
TEST_P(GlxRequestsTest, RepliesMappedWithinTheirBytes) {
  uint32_t id = client->id(3);
  createContext(id, 0x21, screen->index, 0, 0);
  copies();
  send(request(25).i(id).done());
  uint16_t last = 0;
  ASSERT_EQ(copies(&last).size(), 1u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(4).i(2).pad(20).i(0x8013).i(0x90).i(0x800C).i(0).d);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 36), 0x21u);
  EXPECT_EQ(client->u32(got[0], 44), screen->index);

  // 1000 pairs claimed in a 32-byte reply.
  send(request(25).i(id).done());
  ASSERT_EQ(copies(&last).size(), 1u);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(0).i(1000).pad(20).d);
  EXPECT_EQ(core.messages(*client).size(), 1u);

  uint32_t pbuffer = client->id(6);
  send(request(27).i(screen->index).i(0x21).i(pbuffer).i(1).i(0x8041).i(64).done());
  EXPECT_EQ(copies().size(), 2u);
  send(request(29).i(pbuffer).done());
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), core.realId(pbuffer, heads[0]));
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(last).i(2).i(1).pad(20).i(0x8013).i(0x90).d);
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 36), 0x21u);
  // No drawable: the core BadDrawable (9), as the X server answers.
  send(request(29).i(client->id(12)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{9, client->id(12)}));
  send(request(30).i(client->id(12)).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{9, client->id(12)}));
}

// Pair counts are summed in 64 bits: a count that wraps 32 bits is BadLength, as is a request
// one pair longer than its count.
TEST_P(GlxRequestsTest, PbufferCountsAndDestroys) {
  uint32_t id = client->id(6);
  send(request(27).i(screen->index).i(0x21).i(id).i(0x20000000).done());
  EXPECT_EQ(answer().first, kBadLength);
  send(request(27).i(screen->index).i(0x21).i(id).i(2).i(0x8041).i(64).i(0x8040).i(32).i(0).i(0).done());
  EXPECT_EQ(answer().first, kBadLength);
  send(request(30).i(client->id(1)).i(0x20000000).done());
  EXPECT_EQ(answer().first, kBadLength);
  EXPECT_EQ(resourceLookupByType(id, kResourceGlxPbuffer), nullptr);
  // An FBConfig the screen does not have: GLXBadFBConfig, for the other FBConfig requests too.
  send(request(27).i(screen->index).i(0x22).i(id).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x22}));
  send(request(24).i(id).i(0x22).i(screen->index).i(0x8014).i(0).b(0).pad(3).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x22}));
  EXPECT_EQ(resourceLookupByType(id, kResourceGlxContext), nullptr);

  send(request(27).i(screen->index).i(0x21).i(id).i(2).i(0x8041).i(64).i(0x8040).i(32).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[1], 8, false), 0x91u);
  EXPECT_EQ(rawGet32(sent[1], 12, false), core.realId(id, heads[1]));
  auto *record = static_cast<GlxPbufferRecord *>(resourceLookupByType(id, kResourceGlxPbuffer));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->width, 64);
  EXPECT_EQ(record->height, 32);

  // Each destroy names its own kind.
  send(request(15).i(id).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 3, id}));
  send(request(28).i(client->id(7)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 10, client->id(7)}));
  send(request(28).i(id).done());
  EXPECT_EQ(copies().size(), 2u);
  EXPECT_EQ(resourceLookupByType(id, kResourceGlxPbuffer), nullptr);
}

// Requests on a tag: tag 0, a free tag and another client's tag are GLXBadContextTag.
TEST_P(GlxRequestsTest, TagsChecked) {
  FakeClient &second = core.addClient(GetParam());
  GlxTagEntry *other = glxAllocTag(second.client);
  ASSERT_NE(other, nullptr);
  uint32_t foreign = glxTagOf(other);
  for (uint32_t tag : {0u, foreign, 7u}) {
    send(request(8).i(tag).done());
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 4, tag}));
  }
  send(request(11).i(foreign).i(client->id(1)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 4, foreign}));
  send(request(11).i(0).i(client->id(1)).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 2, client->id(1)}));
  send(request(12).i(0).i(0).i(0).i(0).i(0).done());
  EXPECT_EQ(answer().first, kGlxError + 4);
  EXPECT_TRUE(copies().empty());
  glxReleaseTag(other, nullptr);
}

// Copies on a tag carry each head's server tag; a single-buffered window skips the heads that
// draw it into the front buffer of a double-buffered visual.
TEST_P(GlxRequestsTest, TaggedCopies) {
  WindowRecord *window = nullptr;
  {
    FakeCore::Current current(*client);
    window = windowCreate(client->id(1), core.root(screen), 0, 0, 30, 20, 0, 0, 0);
  }
  ASSERT_NE(window, nullptr);
  uint32_t id = client->id(3);
  createContext(id, 0x21, screen->index, 0, 0);
  copies();
  GlxTagEntry *entry = glxAllocTag(client->client);
  ASSERT_NE(entry, nullptr);
  uint32_t tag = glxTagOf(entry);
  entry->screen = screen;
  setGLXTagForServer(tag, heads[0], 0x11);
  setGLXTagForServer(tag, heads[1], 0x22);
  send(request(11).i(tag).i(window->id).done());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[1], 4, false), 0x22u);
  EXPECT_EQ(rawGet32(sent[1], 8, false), core.realId(window->id, heads[1]));
  screen->visuals->glDoubleBuffer = 0;
  headVisuals[1].glDoubleBuffer = 1;
  send(request(11).i(tag).i(window->id).done());
  sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);

  send(request(10).i(id).i(id).i(0xff).i(tag).done());
  send(request(12).i(tag).i(client->id(7)).i(32).i(96).i(1000).done());
  send(request(9).i(tag).done());
  EXPECT_TRUE(core.messages(*client).empty());
  sent = copies();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(rawGet32(sent[1], 8, false), core.realId(id, heads[1]));
  EXPECT_EQ(rawGet32(sent[1], 16, false), 0x22u);
  EXPECT_EQ(rawGet32(sent[3], 4, false), 0x22u);
  EXPECT_EQ(rawGet32(sent[3], 20, false), 1000u);
  EXPECT_EQ(sent[5][1], 9);
  EXPECT_EQ(rawGet32(sent[5], 4, false), 0x22u);
  glxReleaseTag(entry, nullptr);
}

// The lists come from the proxy's own visuals: one config per GL visual under the proxy's ids.
TEST_P(GlxRequestsTest, ConfigurationLists) {
  send(request(14).i(screen->index).done());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 32u + 38 * 4);
  EXPECT_EQ(client->u32(got[0], 4), 38u);
  EXPECT_EQ(client->u32(got[0], 8), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 38u);
  EXPECT_EQ(client->u32(got[0], 32), 0x21u);
  send(request(21).i(screen->index).done());
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 32u + 43 * 8);
  EXPECT_EQ(got[0][1], 0);
  EXPECT_EQ(client->u32(got[0], 8), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 43u);
  EXPECT_EQ(client->u32(got[0], 32), 0x8013u);
  EXPECT_EQ(client->u32(got[0], 36), 0x21u);
  for (uint8_t minor : {14, 21}) {
    send(request(minor).i(5).done());
    EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kBadValue, 5}));
  }
  EXPECT_TRUE(copies().empty());
}

// A GLX window is a core child covering its parent on every head with a colormap of its own;
// only such a window is destroyed by GLXDestroyWindow, and then on the heads too.
TEST_P(GlxRequestsTest, GlxWindows) {
  WindowRecord *parent = nullptr;
  {
    FakeCore::Current current(*client);
    parent = windowCreate(client->id(1), core.root(screen), 0, 0, 300, 200, 0, 0, 0);
  }
  ASSERT_NE(parent, nullptr);
  uint32_t id = client->id(2);
  send(request(31).i(0).i(0x21).i(client->id(9)).i(id).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{3, client->id(9)}));
  send(request(31).i(0).i(0x55).i(parent->id).i(id).i(0).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 9, 0x55}));
  EXPECT_TRUE(written().empty());

  send(request(31).i(0).i(0x21).i(parent->id).i(id).i(0).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = written();
  ASSERT_EQ(sent.size(), 6u);
  for (int k = 0; k < 2; k++) {
    const FakeBytes &colormap = sent[3 * k], &window = sent[3 * k + 1], &freed = sent[3 * k + 2];
    EXPECT_EQ(colormap[0], 78);
    EXPECT_EQ(rawGet32(colormap, 8, false), core.realId(parent->id, heads[k]));
    EXPECT_EQ(rawGet32(colormap, 12, false), 0x60u + k);
    EXPECT_EQ(window[0], 1);
    EXPECT_EQ(rawGet32(window, 4, false), core.realId(id, heads[k]));
    EXPECT_EQ(rawGet32(window, 8, false), core.realId(parent->id, heads[k]));
    EXPECT_EQ(rawGet16(window, 16, false), 300u);
    EXPECT_EQ(rawGet32(window, 24, false), 0x60u + k);
    EXPECT_EQ(rawGet32(window, 28, false), 0x2008u);
    EXPECT_EQ(rawGet32(window, 36, false), rawGet32(colormap, 4, false));
    EXPECT_EQ(freed[0], 79);
    EXPECT_EQ(rawGet32(freed, 4, false), rawGet32(colormap, 4, false));
  }
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->parent, parent);
  EXPECT_EQ(window->visual, screen->visuals);

  send(request(32).i(parent->id).done());
  EXPECT_EQ(answer(), (std::pair<int, uint32_t>{kGlxError + 12, parent->id}));
  send(request(32).i(id).done());
  sent = written();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1][0], 4);
  EXPECT_EQ(rawGet32(sent[1], 4, false), core.realId(id, heads[1]));
  EXPECT_EQ(resourceLookupWindow(id), nullptr);
  EXPECT_EQ(resourceLookupWindow(parent->id), parent);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxRequestsTest, ::testing::Values(false, true));

}  // namespace
