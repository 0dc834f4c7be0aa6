// GLX context tags and MakeCurrent on the fake core, in both byte orders: the tag table's
// numbering, releases and ownership; the per-head copies and the one reply built from the last
// head's; errors and BadAlloc part-way (one answer, the fresh tag given back); the reference
// counts of contexts, GLX pixmaps and shared id lists; single-buffering emulation.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "fakecore.h"
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
#include "xext/glxindirect.h"
#include "xext/glxinstance.h"

namespace {

constexpr uint8_t kMajor = 201;
constexpr uint8_t kGlxError = 170;
ExtRequestRow rows[2];

class GlxContextTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    other = core.addScreen(800, 600, 1);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    heads = core.heads(screen);
    for (int k = 0; k < 2; k++) {
      headVisuals[k].visualId = 0x60 + k;
      headVisuals[k].glDoubleBuffer = 1;
      maps[k] = &headVisuals[k];
      heads[k]->visualMap = &maps[k];
    }
    ExtensionRecord *record = &proxyState.extensions[kMajor];
    record->firstError = kGlxError;
    ASSERT_EQ(extRegister(record, "GLX", 2, 14), nullptr);
    rows[0] = *glxContextRow(5);
    rows[1] = *glxContextRow(26);
    extWriteRows(record, ExtRequestTable{rows, 2});
    proxyState.ext.glx = record;
    proxyState.ext.glxMajor = kMajor;
    glxInitContexts();
    FakeCore::Current current(*client);
    window = windowCreate(client->id(1), core.root(screen), 0, 0, 100, 100, 0, 0, 0);
    otherWindow = windowCreate(client->id(2), core.root(other), 0, 0, 100, 100, 0, 0, 0);
    context = newContext(client->id(3), nullptr);
    core.serverRequests(*client);
  }
  void TearDown() override {
    heads[1]->glLibrary = nullptr;
    for (Head *h : heads) h->visualMap = nullptr;
    glxFreeTagTable();
    xproxyGlxClientGone = nullptr;
    extResetAll();
  }
  GlxContextRecord *newContext(uint32_t id, GlxContextRecord *share) {
    auto *c = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    *c = GlxContextRecord{screen, screen->visuals, nullptr, id, 0, 0, 0, {}, {}};
    EXPECT_EQ(glxInitContextObjects(c, share), 1);
    FakeCore::Current current(*client);
    EXPECT_EQ(resourceAdd(id, kResourceGlxContext, c), 1);
    return c;
  }
  GlxDrawableRecord *newPixmap(uint32_t id) {
    auto *p = static_cast<GlxDrawableRecord *>(calloc(1, sizeof(GlxDrawableRecord)));
    p->screen = screen, p->glxDrawableId = id;
    FakeCore::Current current(*client);
    EXPECT_EQ(resourceAdd(id, kResourceGlxDrawable, p), 1);
    return p;
  }
  void freeId(uint32_t id) {
    FakeCore::Current current(*client);
    resourceFree(id, 0);
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  void makeCurrent(uint32_t drawable, uint32_t ctx, uint32_t oldTag) {
    send(FakeMessage(client->big).b(kMajor).b(5).s(4).i(drawable).i(ctx).i(oldTag).done());
  }
  // The GLX requests of the minor (all for 0) written since the last look; *last is the
  // real-server sequence of the last request written.
  std::vector<FakeBytes> copies(uint16_t *last = nullptr, uint8_t minor = 5) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == kMajor && (minor == 0 || r[1] == minor)) out.push_back(r);
    if (last) *last = uint16_t(client->client->displays[0]->requestsSent);
    return out;
  }
  void reply(uint16_t sequence, uint32_t serverTag) {
    core.feedServer(*client, FakeMessage(false).b(1).b(0).s(sequence).i(0).i(serverTag).pad(20).d);
  }
  void error(uint16_t sequence) {
    core.feedServer(*client, FakeMessage(false).b(0).b(8).s(sequence).i(0).s(5).b(kMajor).pad(21).d);
  }
  // Binds the window's tag through both heads' replies; the tag the client got.
  uint32_t bound(uint32_t oldTag, uint32_t tag0 = 0x11, uint32_t tag1 = 0x22) {
    makeCurrent(window->id, context->contextId, oldTag);
    uint16_t last = 0;
    EXPECT_EQ(copies(&last).size(), 2u);
    reply(uint16_t(last - 1), tag0);
    reply(last, tag1);
    auto got = core.messages(*client);
    return got.size() == 1 && got[0][0] == 1 ? client->u32(got[0], 8) : 0;
  }
  GlxTagEntry *entry(uint32_t tag) { return glxFindTagEntry(client->client, tag); }

  FakeCore core;
  MetaScreen *screen = nullptr, *other = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  VisualRecord headVisuals[2] = {};
  VisualRecord *maps[2] = {};
  WindowRecord *window = nullptr, *otherWindow = nullptr;
  GlxContextRecord *context = nullptr;
};

TEST_P(GlxContextTest, TagNumbersAndOwners) {
  FakeClient &second = core.addClient(GetParam());
  GlxTagEntry *one = glxAllocTag(client->client);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(glxTagOf(one), 1u);
  EXPECT_EQ(glxTagOf(glxAllocTag(client->client)), 2u);
  EXPECT_EQ(glxTagOf(glxAllocTag(second.client)), 3u);
  glxReleaseTag(entry(1), nullptr);
  EXPECT_EQ(proxyState.ext.glxTagCount, 4u);
  EXPECT_EQ(glxTagOf(glxAllocTag(client->client)), 1u);  // reused before the table grows
  glxReleaseTag(entry(2), nullptr);
  glxReleaseTag(glxFindTagEntry(second.client, 3), nullptr);
  EXPECT_EQ(proxyState.ext.glxTagCount, 3u);  // the highest goes, the free one below stays
  EXPECT_EQ(glxFindTagEntry(second.client, 1), nullptr);
  for (uint32_t k = 0; k < 1100; k++) glxAllocTag(second.client);
  EXPECT_EQ(proxyState.ext.glxTagCount, 1102u);
  EXPECT_EQ(entry(1)->owner, client->client);
  core.closeClient(*client);  // the other client still holds tags: the table stays
  EXPECT_EQ(proxyState.ext.glxTagCount, 1102u);
  core.closeClient(second);
  EXPECT_EQ(proxyState.ext.glxTags, nullptr);
  EXPECT_EQ(proxyState.ext.glxTagCount, 0u);
}

// A client that makes many contexts current: the table's room grows by half again (kept beside
// the count), and tags given back below the highest are taken again before it grows.
TEST_P(GlxContextTest, TagTableGrowsByHalfAndRetakesFreedTags) {
  uint32_t room = 0;
  int moves = 0;
  for (uint32_t k = 1; k <= 20000; k++) {
    GlxTagEntry *e = glxAllocTag(client->client);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(glxTagOf(e), k);
    uint32_t now = proxyState.ext.glxTagCapacity;
    ASSERT_LE(proxyState.ext.glxTagCount, now);
    if (now != room) {
      EXPECT_GE(uint64_t(now), uint64_t(room) + room / 2) << "at tag " << k;
      room = now;
      moves++;
    }
  }
  EXPECT_LE(moves, 9);  // from 1024 entries by half again; a step of 1024 took 20

  std::set<uint32_t> given;
  for (uint32_t k = 7; k < 20000; k += 997) {
    glxReleaseTag(entry(k), nullptr);
    given.insert(k);
  }
  std::set<uint32_t> taken;
  for (size_t i = 0; i < given.size(); i++) taken.insert(glxTagOf(glxAllocTag(client->client)));
  EXPECT_EQ(taken, given);
  EXPECT_EQ(proxyState.ext.glxTagCount, 20001u);
  EXPECT_EQ(proxyState.ext.glxTagCapacity, room);
}

TEST_P(GlxContextTest, AnswersWithoutServers) {
  struct Case {
    std::vector<uint32_t> fields;  // drawable, context, old tag
    int error;                     // -1: a reply with tag 0
    uint32_t bad;
  } cases[] = {{{0, 0, 0}, -1, 0}, {{0, 0, 77}, kGlxError + 4, 77},
               {{window->id, client->id(9), 0}, kGlxError + 0, client->id(9)},
               {{client->id(8), context->contextId, 0}, kGlxError + 2, client->id(8)},
               {{window->id, context->contextId, 5}, kGlxError + 4, 5}};
  for (const Case &c : cases) {
    makeCurrent(c.fields[0], c.fields[1], c.fields[2]);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], c.error < 0 ? 1 : 0);
    EXPECT_EQ(client->u16(got[0], 2), client->client->sequence & 0xffff);
    if (c.error >= 0) {
      EXPECT_EQ(got[0][1], c.error);
    }
    EXPECT_EQ(client->u32(got[0], c.error < 0 ? 8 : 4), c.bad);
    EXPECT_TRUE(copies(nullptr, 0).empty());
  }
  EXPECT_EQ(entry(1), nullptr);  // the failed bind gave its tag back
  EXPECT_EQ(bound(0), 1u);
  // MakeContextCurrent: at least 20 bytes.
  send(FakeMessage(client->big).b(kMajor).b(26).s(4).i(0).i(0).i(0).done());
  send(FakeMessage(client->big).b(kMajor).b(26).s(6).i(1).i(0).i(0).i(0).i(0).done());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][1], 16);
  EXPECT_EQ(got[1][0], 1);  // released: tag 0
  EXPECT_EQ(entry(1), nullptr);
}

TEST_P(GlxContextTest, TwoHeadsOneReply) {
  makeCurrent(window->id, context->contextId, 0);
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(rawGet32(sent[k], 4, false), core.realId(window->id, heads[k]));
    EXPECT_EQ(rawGet32(sent[k], 8, false), core.realId(context->contextId, heads[k]));
    EXPECT_EQ(rawGet32(sent[k], 12, false), 0u);
  }
  reply(uint16_t(last - 1), 0x11);
  EXPECT_TRUE(core.messages(*client).empty());
  reply(last, 0x22);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 1u);
  EXPECT_EQ(client->u16(got[0], 2), client->client->sequence & 0xffff);
  EXPECT_EQ(glxTagForServer(1, heads[0]), 0x11u);
  EXPECT_EQ(glxTagForServer(1, heads[1]), 0x22u);
  // Rebinding keeps the number; the copies name each head's own tag. The single-buffered
  // visual over double-buffered head visuals got its two render commands once per head.
  makeCurrent(window->id, context->contextId, 1);
  sent = copies(&last);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[0], 12, false), 0x11u);
  EXPECT_EQ(rawGet32(sent[1], 12, false), 0x22u);
  reply(uint16_t(last - 1), 0x11);
  reply(last, 0x22);
  EXPECT_EQ(client->u32(core.messages(*client).at(0), 8), 1u);
  EXPECT_TRUE(copies(nullptr, 1).empty());
  // The number is the first client's: another client naming it gets GLXBadContextTag.
  FakeClient &second = core.addClient(!GetParam());
  {
    FakeCore::Current current(second);
    core.send(second, FakeMessage(second.big).b(kMajor).b(5).s(4).i(window->id).i(context->contextId).i(1).done());
  }
  auto got2 = core.messages(second);
  ASSERT_EQ(got2.size(), 1u);
  EXPECT_EQ(got2[0][1], kGlxError + 4);
  EXPECT_EQ(second.u32(got2[0], 4), 1u);
}

TEST_P(GlxContextTest, SingleBufferingEmulated) {
  makeCurrent(window->id, context->contextId, 0);
  uint16_t last = 0;
  copies(&last);
  reply(uint16_t(last - 1), 0x11);
  reply(last, 0x22);
  auto render = copies(nullptr, 1);
  ASSERT_EQ(render.size(), 2u);
  const uint32_t tags[2] = {0x11, 0x22};
  for (int k = 0; k < 2; k++) {
    ASSERT_EQ(render[k].size(), 24u);
    EXPECT_EQ(render[k][1], 1);
    EXPECT_EQ(rawGet32(render[k], 4, false), tags[k]);
    EXPECT_EQ(rawGet16(render[k], 8, false), 8u);
    EXPECT_EQ(rawGet16(render[k], 10, false), 171u);
    EXPECT_EQ(rawGet32(render[k], 12, false), 1028u);
    EXPECT_EQ(rawGet16(render[k], 16, false), 8u);
    EXPECT_EQ(rawGet16(render[k], 18, false), 126u);
    EXPECT_EQ(rawGet32(render[k], 20, false), 1028u);
  }
  // A second context: MakeContextCurrent never emulates.
  GlxContextRecord *second = newContext(client->id(4), nullptr);
  send(FakeMessage(client->big).b(kMajor).b(26).s(5).i(1).i(window->id).i(window->id).i(second->contextId).done());
  copies(&last);
  reply(uint16_t(last - 1), 0x13);
  reply(last, 0x24);
  EXPECT_TRUE(copies(nullptr, 1).empty());
  EXPECT_EQ(client->u32(core.messages(*client).at(0), 8), 1u);
}

TEST_P(GlxContextTest, ErrorFromOneHeadIsTheOnlyAnswer) {
  makeCurrent(window->id, context->contextId, 0);
  uint16_t last = 0;
  copies(&last);
  error(uint16_t(last - 1));
  reply(last, 0x22);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(entry(1), nullptr);  // the fresh tag is free again, released on the head that gave one
  auto release = copies();
  ASSERT_EQ(release.size(), 1u);
  EXPECT_EQ(rawGet32(release[0], 12, false), 0x22u);
  EXPECT_EQ(bound(0), 1u);
}

TEST_P(GlxContextTest, BadAllocAfterTheFirstCopy) {
  // A direct head whose tag cannot be made: an instance without contexts, whose limits are
  // unknown (the drawable's size is checked against them first).
  static GlxLibraryInstance instance{};
  heads[1]->glLibrary = &instance;
  uint16_t first = uint16_t(client->client->displays[0]->requestsSent + 1);
  makeCurrent(window->id, context->contextId, 0);
  reply(first, 0x11);  // before the round trip that orders the BadAlloc
  auto sent = copies(nullptr, 0);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[1], 12, false), 0x11u);  // head 0's tag let go
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 11);
  EXPECT_EQ(entry(1), nullptr);
}

// A GLX pixmap destroyed while current and created again under its id: each record gets its
// one destroy per head when it goes, and the entry keeps the record it holds.
TEST_P(GlxContextTest, PixmapRecreatedUnderItsId) {
  uint32_t id = client->id(5);
  newPixmap(id);
  makeCurrent(id, context->contextId, 0);
  uint16_t last = 0;
  copies(&last);
  reply(uint16_t(last - 1), 0x11);
  reply(last, 0x22);
  core.messages(*client);
  auto destroys = [&] {
    int n = 0;
    for (auto &r : copies(nullptr, 15))
      if (r[1] == 15 && (rawGet32(r, 4, false) == core.realId(id, heads[0]) ||
                         rawGet32(r, 4, false) == core.realId(id, heads[1])))
        n++;
    return n;
  };
  freeId(id);
  EXPECT_EQ(destroys(), 0);
  GlxDrawableRecord *again = newPixmap(id);
  makeCurrent(id, context->contextId, 1);
  EXPECT_EQ(destroys(), 2);  // the first record goes now
  EXPECT_EQ(again->extraRefs, 1u);
  makeCurrent(0, 0, 1);
  EXPECT_EQ(destroys(), 0);
  EXPECT_EQ(again->extraRefs, 0u);
  freeId(id);
  EXPECT_EQ(destroys(), 2);
}

// Contexts: one destroyed while current goes when the tag lets it go; lists shared by two
// contexts survive the first of them, in either order.
TEST_P(GlxContextTest, ContextsAndSharedLists) {
  EXPECT_EQ(bound(0), 1u);
  freeId(context->contextId);
  auto destroyed = [&] {
    int n = 0;
    for (auto &r : copies(nullptr, 4)) n += r[1] == 4;
    return n;
  };
  EXPECT_EQ(destroyed(), 0);
  makeCurrent(0, 0, 1);
  EXPECT_EQ(destroyed(), 2);
  for (bool firstGoesFirst : {true, false}) {
    GlxContextRecord *a = newContext(client->id(10), nullptr);
    GlxContextRecord *b = newContext(client->id(11), a);
    ASSERT_EQ(a->objectLists, b->objectLists);
    EXPECT_EQ(a->objectLists->sharers, 1u);
    auto *program = static_cast<GlxProgramEntry *>(calloc(1, sizeof(GlxProgramEntry)));
    program->prev = program;
    a->objectLists->programs = program;
    GlxContextRecord *stays = firstGoesFirst ? b : a;
    freeId(firstGoesFirst ? a->contextId : b->contextId);
    EXPECT_EQ(stays->objectLists->sharers, 0u);
    EXPECT_EQ(stays->objectLists->programs, program);
    freeId(stays->contextId);
  }
}

TEST_P(GlxContextTest, TagMovesToAnotherScreen) {
  EXPECT_EQ(bound(0), 1u);
  makeCurrent(otherWindow->id, context->contextId, 1);
  uint16_t last = 0;
  auto sent = copies(&last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 12, false), 0u);  // the new head had no tag yet
  EXPECT_EQ(entry(1)->screen, other);
  EXPECT_EQ(client->client->glxScreen, other->index);
  reply(last, 0x33);
  EXPECT_EQ(client->u32(core.messages(*client).at(0), 8), 1u);
}

// The translators and the pbuffer record: visual ids through the head's map (0 and unknown
// ids unchanged), attribute pairs read whole, screens by number.
TEST_P(GlxContextTest, IdsAndPbufferAttributes) {
  EXPECT_EQ(glxindirectRealVisual(0, heads[1]), 0u);
  EXPECT_EQ(glxindirectRealVisual(0x999, heads[1]), 0x999u);
  EXPECT_EQ(glxindirectRealVisual(0x21, heads[1]), 0x61u);
  EXPECT_EQ(glxindirectRealContext(context->contextId, heads[1]), core.realId(context->contextId, heads[1]));
  EXPECT_EQ(glxScreenByNumber(other->index), other);
  EXPECT_EQ(glxScreenByNumber(7), nullptr);
  const uint32_t pairs[] = {0, 0, 0x8041, 640, 0x8040, 480, 0x801B, 0, 0x801C, 1, 0x1234, 5, 0x8041};
  FakeCore::Current current(*client);
  GlxPbufferRecord *p = glxCreatePbufferRecord(screen, nullptr, client->id(6), 1, 1,
                                               reinterpret_cast<const uint8_t *>(pairs),
                                               reinterpret_cast<const uint8_t *>(pairs + 13));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->width, 640);
  EXPECT_EQ(p->height, 480);
  EXPECT_EQ(p->preserved, 0);
  EXPECT_EQ(p->largest, 1);
  EXPECT_TRUE(core.logged("Unknown attribute: "));
  EXPECT_EQ(resourceLookupByType(client->id(6), kResourceGlxPbuffer), p);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxContextTest, ::testing::Values(false, true));

}  // namespace
