// DOUBLE-BUFFER and Multi-Buffering on the fake core, in both byte orders: the emulated pair of
// image buffers (what the names draw into and what each swap shows), the reserved second id,
// length and value checks before anything is written, and Multi-Buffering's id checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/wirewords.h"
#include "xext/doublebuf.h"
#include "xext/ext.h"
#include "xext/multibuf.h"

namespace {

constexpr uint8_t kMbuf = 150, kDbe = 151;

class BuffersTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(800, 600, 2);
    display = core.addRealDisplay();
    display->emulateDoubleBuffer = 1;
    for (uint32_t v = 0; v < screen->visualCount; v++) screen->visuals[v].doubleBuffered = 1;
    ExtensionRecord *mb = &proxyState.extensions[kMbuf];
    *mb = ExtensionRecord{};
    mb->majorOpcode = kMbuf, mb->firstEvent = 90, mb->firstError = 150, mb->version = 65;
    ASSERT_EQ(multibufSetup(mb), nullptr);
    ExtensionRecord *dbe = &proxyState.extensions[kDbe];
    *dbe = ExtensionRecord{};
    dbe->majorOpcode = kDbe, dbe->firstError = 160, dbe->version = 64;
    ASSERT_EQ(doublebufRegister(dbe), nullptr);
  }
  void TearDown() override {
    extReset(&proxyState.extensions[kDbe]);
    extReset(&proxyState.extensions[kMbuf]);
    display->emulateDoubleBuffer = 0;
  }
  // The requests of a major the proxy wrote since the last call.
  std::vector<FakeBytes> written(FakeClient &c, uint8_t major) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == major) out.push_back(r);
    return out;
  }
  // The error codes the client received since the last call.
  std::vector<int> errors(FakeClient &c) {
    std::vector<int> out;
    for (auto &m : core.messages(c))
      if (m[0] == 0) out.push_back(m[1]);
    return out;
  }
  WindowRecord *window(FakeClient &c, uint32_t n) {
    WindowRecord *w = windowCreate(c.id(n), core.root(screen), 600, 100, 400, 300, 0, 1, 0);
    core.serverRequests(c);
    return w;
  }
  FakeBytes allocate(FakeClient &c, uint32_t w, uint32_t name, uint8_t action) {
    return FakeMessage(c.big).b(kDbe).b(1).s(0).i(w).i(name).b(action).b(0).s(0).done();
  }
  FakeBytes swap(FakeClient &c, uint32_t w, uint8_t action) {
    return FakeMessage(c.big).b(kDbe).b(3).s(0).i(1).i(w).b(action).b(0).s(0).done();
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  ServerDisplay *display = nullptr;
};

// The toggle starts clear: the name draws into the second id and the first swap shows it; then
// the name draws into its own buffer, which the next swap shows. On every head alike.
TEST_P(BuffersTest, EmulatedDrawsAndSwapsGoSecondSecondBackBack) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  ASSERT_NE(w, nullptr);
  uint32_t name = c.id(6);
  core.send(c, allocate(c, w->id, name, 1));
  auto *record = static_cast<DbeBackBuffer *>(resourceLookupByType(name, kResourceDbeBuffer));
  ASSERT_NE(record, nullptr);
  uint32_t second = record->secondId;
  ASSERT_NE(second, 0u);
  auto heads = core.heads();
  auto created = written(c, kMbuf);
  ASSERT_EQ(created.size(), 2u);
  for (size_t h = 0; h < 2; h++) {
    EXPECT_EQ(created[h][1], 1);
    EXPECT_EQ(wireGet32(created[h].data() + 4), core.realId(w->id, heads[h]));
    EXPECT_EQ(wireGet32(created[h].data() + 12), core.realId(name, heads[h]));  // buffer 0: the window's
    EXPECT_EQ(wireGet32(created[h].data() + 16), core.realId(second, heads[h]));
  }
  const uint32_t expected[] = {second, second, name, name};
  for (int round = 0; round < 4; round += 2) {
    for (Head *head : heads) EXPECT_EQ(xproxyServerDrawable(name, head), core.realId(expected[round], head));
    core.send(c, swap(c, w->id, 1));
    auto shown = written(c, kMbuf);
    ASSERT_EQ(shown.size(), 2u);
    for (size_t h = 0; h < 2; h++) {
      EXPECT_EQ(shown[h][1], 3);
      EXPECT_EQ(wireGet32(shown[h].data() + 8), core.realId(expected[round + 1], heads[h])) << round;
    }
  }
  EXPECT_TRUE(errors(c).empty());
  // The second id stays taken while the name lives, and is free again after it.
  EXPECT_EQ(resourceIdNotNew(second), 1);
  uint32_t low = 0, high = 0;
  resourceGetIdRange(c.client->index, 0, &low, &high);
  EXPECT_TRUE(second < low || second > high);
  core.send(c, FakeMessage(c.big).b(kDbe).b(2).s(0).i(name).done());
  auto destroyed = written(c, kMbuf);
  ASSERT_EQ(destroyed.size(), 2u);
  EXPECT_EQ(destroyed[0][1], 2);
  EXPECT_EQ(resourceIdNotNew(second), 0);
  EXPECT_EQ(resourceIdNotNew(name), 0);
  EXPECT_EQ(doublebufBufferCount(), 0u);
}

// Counts beyond the bytes present and swap actions above 3 are refused before anything is
// written; a refused allocation makes no record.
TEST_P(BuffersTest, BadLengthAndBadValueWriteNothing) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  struct Case {
    const char *what;
    FakeBytes request;
    int error;
  } cases[] = {
      {"visual info count 0x40000000 in 12 bytes",
       FakeMessage(c.big).b(kDbe).b(6).s(0).i(0x40000000).i(screen->root).done(), 16},
      {"swap count 3 in 16 bytes", FakeMessage(c.big).b(kDbe).b(3).s(0).i(3).i(w->id).b(1).b(0).s(0).done(), 16},
      {"swap action 4", swap(c, w->id, 4), 2},
      {"allocate with action 4", allocate(c, w->id, c.id(7), 4), 2},
      {"allocate on a pixmap id", allocate(c, c.id(99), c.id(7), 0), 3},
  };
  for (const Case &k : cases) {
    core.send(c, k.request);
    EXPECT_EQ(errors(c), std::vector<int>{k.error}) << k.what;
    auto sent = core.serverRequests(c);
    for (const FakeBytes &r : sent) EXPECT_TRUE(r[0] != kDbe && r[0] != kMbuf) << k.what;
  }
  EXPECT_EQ(doublebufBufferCount(), 0u);
}

// GetVisualInfo of no drawable lists every meta screen; counts and ids in the client's order.
TEST_P(BuffersTest, VisualInfoInTheClientsOrder) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  MetaScreen *other = core.addScreen(640, 480, 1);
  for (uint32_t v = 0; v < other->visualCount; v++) other->visuals[v].doubleBuffered = 0;
  core.send(c, FakeMessage(c.big).b(kDbe).b(6).s(0).i(0).done());
  auto replies = core.messages(c);
  ASSERT_EQ(replies.size(), 1u);
  const FakeBytes &r = replies[0];
  ASSERT_EQ(r[0], 1);
  EXPECT_EQ(c.u32(r, 8), 2u);
  uint32_t listed = c.u32(r, 32);
  ASSERT_EQ(listed, screen->visualCount);
  ASSERT_GE(r.size(), 36 + 8 * listed + 4);
  EXPECT_EQ(c.u32(r, 36), screen->visuals[0].visualId);
  EXPECT_EQ(r[40], screen->visuals[0].depth);
  EXPECT_EQ(c.u32(r, 36 + 8 * listed), 0u);  // the second screen has none
  EXPECT_EQ(c.u32(r, 4), (r.size() - 32) / 4);
}

// A window's names share one pair: a second name sends nothing, and freeing one keeps the
// other; a destroyed window frees each name once.
TEST_P(BuffersTest, NamesOfOneWindowShareThePair) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  core.send(c, allocate(c, w->id, c.id(6), 2));
  EXPECT_EQ(written(c, kMbuf).size(), 2u);
  core.send(c, allocate(c, w->id, c.id(7), 2));
  core.send(c, allocate(c, w->id, c.id(8), 2));
  EXPECT_TRUE(written(c, kMbuf).empty());
  EXPECT_EQ(doublebufBufferCount(), 3u);
  core.send(c, FakeMessage(c.big).b(kDbe).b(2).s(0).i(c.id(6)).done());
  EXPECT_TRUE(written(c, kMbuf).empty());
  EXPECT_EQ(resourceIdNotNew(c.id(6)), 1);  // still buffer 0 of the pair on the servers
  for (Head *head : core.heads()) EXPECT_EQ(xproxyServerDrawable(c.id(7), head), xproxyServerDrawable(c.id(8), head));
  resourceFree(w->id, 0);
  EXPECT_EQ(doublebufBufferCount(), 0u);
  EXPECT_EQ(resourceIdNotNew(c.id(6)), 0);
  EXPECT_EQ(resourceIdNotNew(c.id(7)), 0);
  EXPECT_TRUE(errors(c).empty());
}

// Multi-Buffering: a repeated or foreign id is refused with the old buffers kept and nothing
// written; DisplayImageBuffers without a buffer goes once, unchanged.
TEST_P(BuffersTest, MultiBufferingIdChecksKeepTheOldBuffers) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  auto create = [&](uint32_t a, uint32_t b) {
    return FakeMessage(c.big).b(kMbuf).b(1).s(0).i(w->id).b(0).b(0).s(0).i(a).i(b).done();
  };
  core.send(c, create(c.id(10), c.id(11)));
  EXPECT_EQ(written(c, kMbuf).size(), 2u);
  EXPECT_EQ(multibufBufferCount(), 2u);
  for (const FakeBytes &refused : {create(c.id(12), c.id(12)), create(c.id(12), ((c.index + 1) << resourceIdShift()) | 99)}) {
    core.send(c, refused);
    EXPECT_EQ(errors(c), std::vector<int>{14});
    EXPECT_TRUE(written(c, kMbuf).empty());
    EXPECT_EQ(multibufBufferCount(), 2u);
    EXPECT_NE(resourceLookupByType(c.id(10), kResourceMbufBuffer), nullptr);
  }
  // The window's own ids may be given again: its old buffers go first.
  core.send(c, create(c.id(11), c.id(10)));
  EXPECT_TRUE(errors(c).empty());
  EXPECT_EQ(multibufBufferCount(), 2u);
  core.serverRequests(c);
  core.send(c, FakeMessage(c.big).b(kMbuf).b(3).s(0).s(0).s(0).done());
  auto once = written(c, kMbuf);
  ASSERT_EQ(once.size(), 1u);
  EXPECT_EQ(once[0].size(), 8u);
  // A 'B' client's SetBufferAttributes carries its event mask in the proxy's order.
  core.send(c, FakeMessage(c.big).b(kMbuf).b(6).s(0).i(c.id(10)).i(1).i(0x1).done());
  auto set = written(c, kMbuf);
  ASSERT_EQ(set.size(), 2u);
  EXPECT_EQ(wireGet32(set[0].data() + 12), 0x1u);
  resourceFree(w->id, 0);
  EXPECT_EQ(multibufBufferCount(), 0u);
  EXPECT_EQ(resourceLookupByType(c.id(10), kResourceMbufBuffer), nullptr);
}

// A buffer the proxy holds no record of (never made, or gone with its window) is refused with
// MbufBadBuffer under the client's id; nothing reaches a head.
TEST_P(BuffersTest, UnknownBuffersGiveMbufBadBufferAndWriteNothing) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  core.send(c, FakeMessage(c.big).b(kMbuf).b(1).s(0).i(w->id).b(0).b(0).s(0).i(c.id(10)).i(c.id(11)).done());
  core.serverRequests(c);
  uint32_t stranger = c.id(40);
  const FakeBytes refused[] = {
      FakeMessage(c.big).b(kMbuf).b(3).s(0).s(0).s(0).i(c.id(10)).i(stranger).done(),  // Display
      FakeMessage(c.big).b(kMbuf).b(6).s(0).i(stranger).i(1).i(0x04000000).done(),     // SetBufferAttributes
      FakeMessage(c.big).b(kMbuf).b(7).s(0).i(stranger).done(),                        // GetBufferAttributes
      FakeMessage(c.big).b(kMbuf).b(10).s(0).i(stranger).s(0).s(0).s(4).s(4).i(0).done(),  // ClearImageBufferArea
  };
  for (const FakeBytes &request : refused) {
    core.send(c, request);
    auto got = core.messages(c);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], 150);  // the extension's first error
    uint32_t value = wireGet32(got[0].data() + 4);
    EXPECT_EQ(c.big ? __builtin_bswap32(value) : value, stranger);
    EXPECT_TRUE(written(c, kMbuf).empty());
  }
  // The window's buffers go with it: displaying one is then refused alike.
  resourceFree(w->id, 0);
  core.serverRequests(c);
  core.send(c, FakeMessage(c.big).b(kMbuf).b(3).s(0).s(0).s(0).i(c.id(11)).done());
  EXPECT_EQ(errors(c), std::vector<int>{150});
  EXPECT_TRUE(written(c, kMbuf).empty());
}

// The meta screen with a second visual (0x22, depth 8), and each head with two visuals of its
// own (0x61 for 0x21, 0x62 for 0x22): before any window exists but the root.
class BuffersWithTwoVisuals : public BuffersTest {
 protected:
  void SetUp() override {
    BuffersTest::SetUp();
    auto *two = static_cast<VisualRecord *>(calloc(2, sizeof(VisualRecord)));
    ASSERT_NE(two, nullptr);
    two[0] = screen->visuals[0];
    two[1] = two[0];
    two[1].visualId = 0x22;
    two[1].depth = 8;
    two[0].doubleBufferPerformance = 0x11;
    two[1].doubleBufferPerformance = 0xc8;
    core.root(screen)->visual = two;
    screen->rootVisual = two;
    free(screen->visuals);
    screen->visuals = two;
    screen->visualCount = 2;
    headVisuals[0].visualId = 0x61;
    headVisuals[1].visualId = 0x62;
    for (Head *head : core.heads(screen)) {
      free(head->visualMap);
      head->visualMap = static_cast<VisualRecord **>(calloc(2, sizeof(VisualRecord *)));
      ASSERT_NE(head->visualMap, nullptr);
      head->visualMap[0] = &headVisuals[0];
      head->visualMap[1] = &headVisuals[1];
    }
  }
  void TearDown() override {
    doublebufReplyAllocate = malloc;
    BuffersTest::TearDown();
  }
  // GetBufferInfo's reply as the real server sends it: `count` at byte 8, the entries after.
  FakeBytes bufferInfoReply(FakeClient &c, uint16_t count, const std::vector<uint32_t> &visuals) {
    FakeMessage reply(false);
    reply.b(1).b(0).s(uint16_t(c.client->displays[0]->requestsSent)).i(uint32_t(2 * visuals.size()));
    reply.s(count).s(0).pad(20);
    for (uint32_t v : visuals) reply.i(v).s(uint16_t(v & 0xf)).b(24).b(0);
    return reply.d;
  }
  VisualRecord headVisuals[2] = {};
};

// GetBufferInfo: only the entries present are read whatever the count says; the head's visuals
// become the meta screen's, and an entry without a counterpart is dropped with the count and
// length lowered.
TEST_P(BuffersWithTwoVisuals, BufferInfoMapsTheEntriesPresent) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  struct Case {
    const char *what;
    uint16_t count;
    std::vector<uint32_t> visuals;
  } cases[] = {
      {"count 1000, two entries", 1000, {0x62, 0x61}},
      {"three entries, one unknown", 3, {0x61, 0x99, 0x62}},
  };
  for (const Case &k : cases) {
    core.send(c, FakeMessage(c.big).b(kMbuf).b(8).s(0).i(w->id).done());
    FakeBytes reply = bufferInfoReply(c, k.count, k.visuals);
    auto sent = written(c, kMbuf);
    ASSERT_EQ(sent.size(), 1u) << k.what;
    EXPECT_EQ(wireGet32(sent[0].data() + 4), core.realId(w->id, core.heads(screen)[0])) << k.what;
    core.feedServer(c, reply);
    auto got = core.messages(c);
    ASSERT_EQ(got.size(), 1u) << k.what;
    const FakeBytes &r = got[0];
    ASSERT_EQ(r[0], 1) << k.what;
    ASSERT_EQ(r.size(), 48u) << k.what;
    EXPECT_EQ(c.u16(r, 8), 2u) << k.what;
    EXPECT_EQ(c.u16(r, 10), 0u) << k.what;
    EXPECT_EQ(c.u32(r, 4), 4u) << k.what;
    EXPECT_EQ(c.u32(r, 32), k.visuals[0] == 0x62 ? 0x22u : 0x21u) << k.what;
    EXPECT_EQ(c.u16(r, 36), k.visuals[0] & 0xf) << k.what;  // the maximum in the client's order
    EXPECT_EQ(r[38], 24) << k.what;
    EXPECT_EQ(c.u32(r, 40), k.visuals[0] == 0x62 ? 0x21u : 0x22u) << k.what;
  }
}

// UpdateNotify and ClobberNotify come from every head: the primary head's pass with the
// client's buffer id and sequence, the second head's are dropped, SendEvent copies pass as sent.
TEST_P(BuffersWithTwoVisuals, BufferEventsOfTheSecondHeadDropped) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  core.send(c, FakeMessage(c.big).b(kMbuf).b(1).s(0).i(w->id).b(0).b(0).s(0).i(c.id(10)).i(c.id(11)).done());
  core.serverRequests(c);
  uint16_t real = core.serverSequence(c, 7);
  auto heads = core.heads(screen);
  auto event = [&](uint8_t code, Head *head, uint32_t buffer) {
    FakeBytes e(32, 0);
    e[0] = code;
    memcpy(&e[2], &real, 2);
    uint32_t id = resourceServerId(buffer, kResourceMbufBuffer, head), time = 4321;
    memcpy(&e[4], &id, 4);
    if ((code & 0x7f) == 91) memcpy(&e[8], &time, 4);
    return e;
  };
  core.feedEvents(c, {event(91, heads[0], c.id(11)), event(91, heads[1], c.id(11)), event(90, heads[1], c.id(10)),
                      event(90, heads[0], c.id(10)), event(0x80 | 91, heads[1], c.id(11))});
  auto got = core.messages(c);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0][0], 91);
  EXPECT_EQ(c.u32(got[0], 4), c.id(11));
  EXPECT_EQ(c.u32(got[0], 8), 4321u);
  EXPECT_EQ(got[1][0], 90);
  EXPECT_EQ(c.u32(got[1], 4), c.id(10));
  EXPECT_EQ(got[2][0], 0x80 | 91);
  EXPECT_EQ(c.u32(got[2], 4), resourceServerId(c.id(11), kResourceMbufBuffer, heads[1]));
  for (const FakeBytes &m : got) EXPECT_EQ(c.u16(m, 2), 7u);
}

void *noMemory(size_t) { return nullptr; }

// GetVisualInfo's bytes: counts and ids in the client's order, depth and level bytes as they
// are; without memory for the reply BadAlloc and no reply.
TEST_P(BuffersWithTwoVisuals, VisualInfoBytesAndAllocationFailure) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = window(c, 5);
  core.send(c, FakeMessage(c.big).b(kDbe).b(6).s(0).i(1).i(w->id).done());
  auto got = core.messages(c);
  ASSERT_EQ(got.size(), 1u);
  const FakeBytes &r = got[0];
  ASSERT_EQ(r[0], 1);
  ASSERT_EQ(r.size(), 32u + 4 + 16);
  EXPECT_EQ(c.u32(r, 4), 5u);
  EXPECT_EQ(c.u32(r, 8), 1u);
  const uint8_t littleCount[4] = {2, 0, 0, 0}, bigCount[4] = {0, 0, 0, 2};
  EXPECT_EQ(memcmp(&r[32], c.big ? bigCount : littleCount, 4), 0);
  const uint8_t littleId[4] = {0x22, 0, 0, 0}, bigId[4] = {0, 0, 0, 0x22};
  EXPECT_EQ(memcmp(&r[44], c.big ? bigId : littleId, 4), 0);
  const uint8_t first[4] = {24, 0x11, 0, 0}, second[4] = {8, 0xc8, 0, 0};
  EXPECT_EQ(memcmp(&r[40], first, 4), 0);
  EXPECT_EQ(memcmp(&r[48], second, 4), 0);
  EXPECT_EQ(c.u32(r, 36), 0x21u);

  doublebufReplyAllocate = noMemory;
  core.send(c, FakeMessage(c.big).b(kDbe).b(6).s(0).i(0).done());
  EXPECT_EQ(errors(c), std::vector<int>{11});
  doublebufReplyAllocate = malloc;
  core.send(c, FakeMessage(c.big).b(kDbe).b(6).s(0).i(0).done());
  got = core.messages(c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, BuffersWithTwoVisuals, ::testing::Values(false, true));

INSTANTIATE_TEST_SUITE_P(ByteOrders, BuffersTest, ::testing::Values(false, true));

}  // namespace
