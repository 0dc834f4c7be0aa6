// The copies of windows beyond the real server's 16-bit positions: the span arithmetic, and on
// the fake core what CreateWindow, ConfigureWindow and GetImage send to a second head whose
// real screen shows the meta screen from x 800 on (both byte orders).
#include <gtest/gtest.h>

#include "fakecore.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

TEST(WindowPlaceSpan, KeepsWhatFitsAndMovesApartWhatWouldWrap) {
  struct Case {
    const char *name;
    int64_t parent, inside;
    uint32_t size, border;
    int32_t offset;
    uint32_t placedSize;
    int64_t placedInside;
  } cases[] = {
      {"in range", -800, -300, 100, 0, 500, 100, -300},
      {"at the range's start", -800, -32767, 100, 0, -31967, 100, -32767},
      {"one before: the far edge stays", -800, -32768, 100, 0, -31967, 99, -32767},
      {"33000 wide from -32800", -800, -32800, 33000, 0, -31967, 32967, -32767},
      {"with a border", -800, -32800, 33000, 5, -31972, 32967, -32767},
      {"wholly before the range", -800, -40000, 10, 0, -31967, 1, -32767},
      {"beyond the range's end", 0, 40000, 50, 0, 32767, 50, 32767},
      {"a child against a copy placed apart", -32767, -100, 200, 0, 32667, 200, -100},
      {"an offset beyond 16 bits", -32767, 32767, 10, 0, 32767, 10, 0},
  };
  for (const Case &k : cases) {
    WindowCopySpan s = windowPlaceSpan(k.parent, k.inside, k.size, k.border);
    EXPECT_EQ(s.offset, k.offset) << k.name;
    EXPECT_EQ(s.size, k.placedSize) << k.name;
    EXPECT_EQ(s.inside, k.placedInside) << k.name;
  }
}

class WindowPlaceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    heads = core.heads();
    // The second head shows its real screen from its own origin: its inner window lies at -800.
    heads[1]->logical = Rect{0, 0, 800, 600};
    heads[0]->idIndex = 0, heads[1]->idIndex = 1;
  }
  FakeBytes createWindow(uint32_t id, uint32_t parent, int x, int y, unsigned width, unsigned height) {
    return FakeMessage(c.big).b(1).b(0).s(0).i(id).i(parent).s(uint16_t(x)).s(uint16_t(y)).s(width).s(height).s(0).s(1).i(0).i(0).done();
  }
  // The server requests of the opcode, and one field of a request (the proxy's own order).
  std::vector<FakeBytes> sent(uint8_t opcode) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == opcode) out.push_back(r);
    return out;
  }
  static int16_t s16(const FakeBytes &m, size_t at) { return int16_t(rawGet16(m, at, false)); }
  static uint32_t u16(const FakeBytes &m, size_t at) { return rawGet16(m, at, false); }
  static uint32_t u32(const FakeBytes &m, size_t at) { return rawGet32(m, at, false); }
  WindowRecord *window(uint32_t id) { return static_cast<WindowRecord *>(resourceLookupWindow(id)); }

  FakeCore core;
  MetaScreen *screen = nullptr;
  std::vector<Head *> heads;
  FakeClient &c = core.addClient(GetParam());
};

TEST_P(WindowPlaceTest, CopiesBeyondTheRangeArePlacedApartAndComeBack) {
  FakeCore::Current current(c);
  uint32_t wide = c.id(1), child = c.id(2);
  core.send(c, createWindow(wide, screen->root, -32000, 100, 33000, 100));
  core.send(c, createWindow(child, wide, 32700, 10, 200, 50));
  auto created = sent(1);
  ASSERT_EQ(created.size(), 4u);
  // The first head holds them as asked; the second moves the wide one to the range's start
  // with its far edge kept, and the child against it, where it belongs.
  EXPECT_EQ(s16(created[0], 12), -32000);
  EXPECT_EQ(u16(created[0], 16), 33000u);
  EXPECT_EQ(s16(created[1], 12), -31967);
  EXPECT_EQ(u16(created[1], 16), 32967u);
  EXPECT_EQ(s16(created[2], 12), 32700);
  EXPECT_EQ(s16(created[3], 12), 32667);
  EXPECT_EQ(u16(created[3], 16), 200u);
  EXPECT_FALSE(windowPlacedApart(window(wide), heads[0]));
  EXPECT_TRUE(windowPlacedApart(window(wide), heads[1]));
  EXPECT_TRUE(windowPlacedApart(window(child), heads[1]));

  // Back into range: the first head takes the request as it is; the second gets the whole
  // geometry of both copies again, the parent first.
  core.send(c, FakeMessage(c.big).b(12).b(0).s(0).i(wide).s(0x1).s(0).i(uint32_t(-31000)).done());
  auto configured = sent(12);
  ASSERT_EQ(configured.size(), 3u);
  EXPECT_EQ(u16(configured[0], 8), 0x1u);
  EXPECT_EQ(s16(configured[0], 12), -31000);
  EXPECT_EQ(u16(configured[1], 8), 0xfu);
  EXPECT_EQ(u32(configured[1], 12), uint32_t(-31000));
  EXPECT_EQ(u32(configured[1], 20), 33000u);
  EXPECT_EQ(u32(configured[2], 4), u32(created[3], 4)) << "the child's copy on the second head";
  EXPECT_EQ(u32(configured[2], 12), 32700u);
  EXPECT_FALSE(windowPlacedApart(window(wide), heads[1]));
  EXPECT_FALSE(windowPlacedApart(window(child), heads[1]));

  // A change that keeps everything in range sends nothing more.
  core.send(c, FakeMessage(c.big).b(12).b(0).s(0).i(wide).s(0x1).s(0).i(uint32_t(-30000)).done());
  EXPECT_EQ(sent(12).size(), 2u);
}

TEST_P(WindowPlaceTest, GetGeometryOfACopyPlacedApartAnswersTheClientsGeometry) {
  FakeCore::Current current(c);
  uint32_t wide = c.id(1);
  core.send(c, createWindow(wide, screen->root, -32000, 100, 33000, 100));
  // The first head, which answers GetGeometry, now shows the meta screen from x 800 on too.
  heads[0]->rect.x = 800, heads[0]->logical.x = 0;
  windowPlaceCopies(core.root(), heads[0], c.client, 1);
  ASSERT_TRUE(windowPlacedApart(window(wide), heads[0]));
  core.serverRequests(c);
  core.send(c, FakeMessage(c.big).b(14).b(0).s(0).i(wide).done());
  ASSERT_EQ(sent(14).size(), 1u);
  // The real server reports the copy's own place.
  uint16_t sequence = uint16_t(c.client->displays[0]->requestsSent);
  core.feedServer(c, FakeMessage(false).b(1).b(24).s(sequence).i(0).i(0x1).s(uint16_t(-31967)).s(100).s(32967).s(100)
                         .s(0).pad(10).d);
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(int16_t(c.u16(messages[0], 12)), -32000);
  EXPECT_EQ(c.u16(messages[0], 14), 100u);
  EXPECT_EQ(c.u16(messages[0], 16), 33000u);
}

TEST_P(WindowPlaceTest, GetImageReadsEachPieceWhereItsCoordinatesFit) {
  FakeCore::Current current(c);
  uint32_t wide = c.id(1);
  core.send(c, createWindow(wide, screen->root, -32000, 100, 33000, 100));
  core.send(c, FakeMessage(c.big).b(8).b(0).s(0).i(wide).done());  // MapWindow
  struct Case {
    const char *name;
    int32_t logicalX;  // where the second head's part of its real screen starts
    bool throughRoot;  // its piece is read through the meta root's copy
    int16_t x;         // the piece's x there
  } cases[] = {{"the copy holds it", 0, false, 32767}, {"beyond 16 bits of the copy", 10, true, 800}};
  for (const Case &k : cases) {
    heads[1]->logical.x = k.logicalX;
    windowPlaceCopies(core.root(), heads[1], c.client, 1);
    core.serverRequests(c);
    // GetImage of 200 x 100 at x 32700: 100 pixels on each head.
    core.send(c, FakeMessage(c.big).b(73).b(2).s(0).i(wide).s(32700).s(0).s(200).s(100).i(~0u).done());
    EXPECT_TRUE(core.messages(c).empty()) << k.name << ": no error";
    auto pieces = sent(73);
    ASSERT_EQ(pieces.size(), 2u) << k.name;
    EXPECT_EQ(s16(pieces[0], 8), 32700) << k.name;
    EXPECT_EQ(u16(pieces[0], 12), 100u) << k.name;
    EXPECT_EQ(u32(pieces[1], 4), k.throughRoot ? resourceServerId(screen->root, kResourceWindow, heads[1])
                                               : resourceServerId(wide, kResourceWindow, heads[1]))
        << k.name;
    EXPECT_EQ(s16(pieces[1], 8), k.x) << k.name;
    EXPECT_EQ(u16(pieces[1], 12), 100u) << k.name;
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, WindowPlaceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
