// DOUBLE-BUFFER and Multi-Buffering on the fake core, in both byte orders: the emulated pair of
// image buffers (what the names draw into and what each swap shows), the reserved second id,
// length and value checks before anything is written, and Multi-Buffering's id checks.
#include <gtest/gtest.h>

#include <cstring>

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

INSTANTIATE_TEST_SUITE_P(ByteOrders, BuffersTest, ::testing::Values(false, true));

}  // namespace
