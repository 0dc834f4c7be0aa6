// XKEYBOARD on the fake core, in both byte orders: the length rules of the fixed and the
// message-carrying requests, xkbBell's window for the first head, the events' ids and the
// unknown type, and the compat map's group maps after its symbol interpretations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/head.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xext/byteswap.h"
#include "xext/ext.h"
#include "xext/xkb.h"

namespace {

constexpr uint8_t kMajor = 204, kEvent = 92, kError = 150;

class XkbTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    ASSERT_NE(xproxyInitExtension("XKEYBOARD", 0, kMajor, kEvent, kError), nullptr);
    ASSERT_NE(proxyState.ext.xkb, nullptr);
    FakeCore::Current current(*client);
    w = windowCreate(client->id(5), core.root(screen), 10, 10, 100, 50, 0, 0, 0);
    core.serverRequests(*client);
  }
  void TearDown() override { extResetAll(); }
  FakeMessage req(uint8_t minor) {
    FakeMessage m(client->big);
    m.b(kMajor).b(minor).s(0);
    return m;
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  std::vector<FakeBytes> written() {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == kMajor) out.push_back(r);
    return out;
  }
  // "code/value" of each error the client got, space-separated.
  std::string errors() {
    std::string out;
    for (auto &m : core.messages(*client))
      if (m[0] == 0) out += std::to_string(m[1]) + "/" + std::to_string(client->u32(m, 4)) + " ";
    return out;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  WindowRecord *w = nullptr;
};

TEST_P(XkbTest, LengthRules) {
  // SetControls is exactly 100 bytes.
  for (size_t size : {96u, 104u, 100u}) {
    FakeMessage m = req(7);
    m.pad(size - 4);
    send(m.done());
  }
  EXPECT_EQ(errors(), "16/96 16/104 ");
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 100u);

  // SetDebuggingFlags: 24 bytes and the message (its length at 4) padded to 4.
  auto debugging = [&](uint16_t messageLength, size_t size) {
    FakeMessage m = req(101);
    m.s(messageLength).s(0).i(1).i(1).i(0).i(0).pad(size - 24);
    send(m.done());
  };
  debugging(5, 32);
  debugging(5, 28);
  debugging(0, 24);
  debugging(9, 32);
  EXPECT_EQ(errors(), "16/28 16/32 ");
  out = written();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(rawGet16(out[0], 4, false), 5u);

  // A variable request below its minimum, and a fixed one too short.
  FakeMessage select = req(1);
  select.pad(8);
  send(select.done());
  send(req(4).done());
  EXPECT_EQ(errors(), "16/12 16/4 ");
  EXPECT_TRUE(written().empty());
}

// xkbBell rings at the window as the first head of the first meta screen knows it.
TEST_P(XkbTest, BellWindowForTheFirstHead) {
  Head *first = core.heads(screen)[0];
  for (uint32_t window : {w->id, 0u}) {
    FakeMessage m = req(3);
    m.s(0x100).s(0).s(0).b(50).b(0).b(0).b(0).s(0).s(0).s(0).i(0).i(window);
    send(m.done());
  }
  auto out = written();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(rawGet32(out[0], 24, false), core.realId(w->id, first));
  EXPECT_EQ(rawGet32(out[1], 24, false), 0u);
  EXPECT_EQ(rawGet16(out[0], 4, false), 0x100u);
}

// Events: the client's sequence; BellNotify's window back in the client's view; a type the
// proxy does not know is reported and still delivered; a sent one keeps its window.
TEST_P(XkbTest, EventsMapTheirIds) {
  uint16_t real = core.serverSequence(*client, 11);
  Head *first = core.heads(screen)[0];
  auto event = [&](uint8_t type, bool sent) {
    FakeBytes e(32, 0);
    e[0] = uint8_t(kEvent | (sent ? 0x80 : 0));
    e[1] = type;
    memcpy(&e[2], &real, 2);
    uint32_t time = 4321, window = core.realId(w->id, first);
    memcpy(&e[4], &time, 4);
    memcpy(&e[20], &window, 4);
    return e;
  };
  core.clearLog();
  core.feedEvents(*client, {event(8, false), event(12, false), event(8, true)});
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(client->u32(got[0], 20), w->id);
  EXPECT_EQ(client->u32(got[0], 4), 4321u);
  EXPECT_EQ(got[1][1], 12);
  EXPECT_EQ(client->u32(got[2], 20), core.realId(w->id, first));
  for (auto &m : got) EXPECT_EQ(client->u16(m, 2), 11u);
  EXPECT_TRUE(core.logged("UNE"));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, XkbTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

// The compat map in both directions: the nSI interpretations (a keysym word, bytes, an
// 8-byte action left alone), then one group map per bit of the groups byte with its 16-bit
// virtual modifiers; bytes past the map are not touched. Case 20 is SetCompatMap's request in
// the other order, case -21 GetCompatMap's reply in ours (also inside GetKbdByName, -11).
TEST(XkbCompatMapSwap, GroupsFollowTheInterpretations) {
  auto compat = [](bool big, bool request, uint8_t groups) {
    RawRequest m(big);
    if (request)
      m.b(204).b(11).s(0).s(0x100).b(0).b(1).b(0).b(groups).s(0).s(2).s(0);
    else
      m.b(1).b(3).s(0x1234).i(0).b(groups).b(0).s(0).s(2).s(2).i(0).i(0).i(0).i(0);
    for (uint32_t k = 0; k < 2; k++) m.i(0x0000ff50 + k).b(1).b(2).b(3).b(4).b(5).b(6).b(7).b(8).b(9).b(10).b(11).b(12);
    for (int g = 0; g < 4; g++)
      if (groups & (1 << g)) m.b(0x80).b(0).s(uint16_t(0x0100 << g));
    m.b(0xaa).b(0xbb).b(0xcc).b(0xdd);  // beyond the map: a swap there would show
    return m.d;
  };
  for (uint8_t groups : {0x0f, 0x05, 0x00}) {
    SCOPED_TRACE(int(groups));
    RawBytes request = compat(true, true, groups);
    byteswapByFormat("H20", request.data(), request.data() + request.size());
    EXPECT_EQ(request, compat(false, true, groups));

    RawBytes reply = compat(false, false, groups);
    byteswapByFormat("H-21", reply.data(), reply.data() + reply.size());
    EXPECT_EQ(reply, compat(true, false, groups));
  }
}

}  // namespace
