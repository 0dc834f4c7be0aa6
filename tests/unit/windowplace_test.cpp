// The copies of windows beyond the real server's 16-bit positions: the span arithmetic, and on
// the fake core what CreateWindow, ConfigureWindow and GetImage send to a second head whose
// real screen shows the meta screen from x 800 on (both byte orders); drawing moved into such a
// copy: the cut and drop arithmetic at the range's ends, the rebuilt requests, GC origins,
// and what comes back (events, replies).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fakecore.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "proxy/xcoreshift.h"
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

TEST_P(WindowPlaceTest, CopiesOfDeeplyNestedWindowsFollowEveryAncestor) {
  FakeCore::Current current(c);
  // Each window 1000 to the right of its parent's inside: from depth 33 on the inside lies
  // beyond the range, and the copies stay at its end. Depths on both sides of 32.
  uint32_t parent = screen->root;
  for (uint32_t depth = 1; depth <= 40; depth++) {
    core.send(c, createWindow(c.id(depth), parent, 1000, 0, 100, 10));
    parent = c.id(depth);
  }
  struct Case {
    uint32_t depth;
    int32_t offset;
    int64_t inside;
    bool apart;
  };
  const Case cases[] = {{1, 1000, 1000, false}, {30, 1000, 30000, false}, {32, 1000, 32000, false},
                        {33, 767, 32767, true},  {34, 0, 32767, true},     {40, 0, 32767, true}};
  for (const Case &k : cases) {
    WindowCopy copy{};
    ASSERT_TRUE(windowCopyOnHead(window(c.id(k.depth)), heads[0], &copy)) << k.depth;
    EXPECT_EQ(copy.x.offset, k.offset) << k.depth;
    EXPECT_EQ(copy.x.inside, k.inside) << k.depth;
    EXPECT_EQ(copy.x.size, 100u) << k.depth;
    EXPECT_EQ(copy.apart, k.apart) << k.depth;
    EXPECT_EQ(windowPlacedApart(window(c.id(k.depth)), heads[0]), k.apart ? 1 : 0) << k.depth;
  }
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


// ----- Drawing into copies placed apart -----

// The wide window's copy on the second head: its inside moved 33 pixels right, to the range's
// start, with its far edge kept; and a copy moved 233 pixels left, to the range's end.
constexpr XcoreCopyShift kLeft{-33, 0, 32967, 100};
constexpr XcoreCopyShift kRight{233, 0, 50, 100};

TEST(XcoreShift, BoxesArePlacedAndCutExactlyAtTheRangeEnds) {
  struct Case {
    const char *name;
    XcoreCopyShift shift;
    XcoreBox box;
    bool kept;
    XcoreBox placed;
    int64_t cutX;
  } cases[] = {
      {"across the heads' border", kLeft, {32700, 0, 200, 10}, true, {32667, 0, 200, 10}, 0},
      {"from the first 16-bit position", kLeft, {-32768, 5, 65535, 2}, true, {-32768, 5, 65502, 2}, 33},
      {"the cut leaves nothing", kLeft, {-32768, 5, 33, 2}, false, {}, 0},
      {"wholly left of the copy", kLeft, {-100, 0, 90, 10}, false, {}, 0},
      {"one pixel inside", kLeft, {0, 0, 34, 10}, true, {-33, 0, 34, 10}, 0},
      {"moved beyond 16 bits", kRight, {32600, 0, 10, 10}, false, {}, 0},
      {"inside a copy moved left", kRight, {-233, 0, 10, 10}, true, {0, 0, 10, 10}, 0},
      {"rows cut at the top", XcoreCopyShift{0, -40, 100, 32800}, {0, -32740, 10, 32800}, true,
       {0, -32768, 10, 32788}, 0},
  };
  for (const Case &k : cases) {
    XcoreBox box = k.box;
    int64_t cutX = -1, cutY = -1;
    ASSERT_EQ(xcoreShiftBox(k.shift, &box, &cutX, &cutY), k.kept) << k.name;
    if (!k.kept) continue;
    EXPECT_EQ(box.x, k.placed.x) << k.name;
    EXPECT_EQ(box.y, k.placed.y) << k.name;
    EXPECT_EQ(box.width, k.placed.width) << k.name;
    EXPECT_EQ(box.height, k.placed.height) << k.name;
    EXPECT_EQ(cutX, k.cutX) << k.name;
    EXPECT_EQ(cutY, k.placed.height == k.box.height ? 0 : k.box.height - k.placed.height) << k.name;
  }
}

TEST(XcoreShift, PointsAndThinLinesKeepOnlyWhatTheCopyCanShow) {
  int64_t x = 32767, y = 3;
  EXPECT_TRUE(xcoreShiftPoint(kLeft, &x, &y));
  EXPECT_EQ(x, 32734);
  x = 32, y = 3;
  EXPECT_FALSE(xcoreShiftPoint(kLeft, &x, &y)) << "left of the copy's inside";
  x = -32768, y = 3;
  EXPECT_FALSE(xcoreShiftPoint(kLeft, &x, &y)) << "beyond 16 bits";
  x = 0, y = 100;
  EXPECT_FALSE(xcoreShiftPoint(kLeft, &x, &y)) << "below the copy";

  // A line that fits moves as it is.
  int64_t x0 = 32500, y0 = 25, x1 = 32767, y1 = 45;
  ASSERT_TRUE(xcoreShiftThinLine(kLeft, &x0, &y0, &x1, &y1));
  EXPECT_EQ(x0, 32467);
  EXPECT_EQ(x1, 32734);
  EXPECT_EQ(y1, 45);
  // A horizontal line from the first position is cut exactly at the range's start.
  x0 = -32768, y0 = 27, x1 = 32767, y1 = 27;
  ASSERT_TRUE(xcoreShiftThinLine(kLeft, &x0, &y0, &x1, &y1));
  EXPECT_EQ(x0, -32768);
  EXPECT_EQ(y0, 27);
  EXPECT_EQ(x1, 32734);
  // A slanted one: the cut end lies on the line, within half a pixel, inside 16 bits.
  x0 = -32768, y0 = 0, x1 = 32767, y1 = 99;
  ASSERT_TRUE(xcoreShiftThinLine(kLeft, &x0, &y0, &x1, &y1));
  EXPECT_EQ(x0, -32768);
  long double exact = 99.0L * 33 / 65535;
  EXPECT_LE(std::abs((long double)y0 - exact), 0.5L);
  EXPECT_EQ(x1, 32734);
  EXPECT_EQ(y1, 99);
  // Wholly left of the copy: dropped.
  x0 = -32768, y0 = 0, x1 = 20, y1 = 50;
  EXPECT_FALSE(xcoreShiftThinLine(kLeft, &x0, &y0, &x1, &y1));
}

TEST(XcoreShift, CopiesLoseTheSameColumnsOnBothSides) {
  auto copyArea = [](int16_t sx, int16_t sy, int16_t dx, int16_t dy, uint16_t w, uint16_t h) {
    FakeBytes r = FakeMessage(false).b(62).b(0).s(7).i(1).i(2).i(3).s(uint16_t(sx)).s(uint16_t(sy)).s(uint16_t(dx))
                      .s(uint16_t(dy)).s(w).s(h).done();
    return r;
  };
  auto field = [](const FakeBytes &r, size_t at) { return int16_t(rawGet16(r, at, false)); };
  XcoreCopyShift none{};
  // Destination placed apart, source not: the destination moves, the source stays.
  FakeBytes r = copyArea(100, 0, 32700, 0, 200, 10);
  xcoreShiftCopyRequest(r.data(), none, kLeft);
  EXPECT_EQ(field(r, 16), 100);
  EXPECT_EQ(field(r, 20), 32667);
  EXPECT_EQ(rawGet16(r, 24, false), 200u);
  // The source's start leaves 16 bits: both lose 33 columns.
  r = copyArea(-32768, 0, 0, 0, 100, 10);
  xcoreShiftCopyRequest(r.data(), kLeft, none);
  EXPECT_EQ(field(r, 16), -32768);
  EXPECT_EQ(field(r, 20), 33);
  EXPECT_EQ(rawGet16(r, 24, false), 67u);
  // Nothing left: a copy of no size, which still answers its exposure events.
  r = copyArea(-32768, 0, 0, 0, 20, 10);
  xcoreShiftCopyRequest(r.data(), kLeft, kLeft);
  EXPECT_EQ(rawGet16(r, 24, false), 0u);
  EXPECT_EQ(rawGet16(r, 26, false), 0u);
}

TEST(XcoreShift, DrawRequestsAreRebuiltPerPrimitive) {
  auto points = [](const std::vector<std::pair<int64_t, int64_t>> &list, FakeMessage m) {
    for (auto [x, y] : list) m.s(uint16_t(x)).s(uint16_t(y));
    return m.done();
  };
  auto s16 = [](const std::vector<uint8_t> &r, size_t at) { return int16_t(rawGet16(r, at, false)); };
  // PolyPoint relative to the previous point: absolute in the copy, the points outside dropped.
  auto out = xcoreShiftDrawRequest(
      points({{32760, 3}, {7, 0}, {-32767, 0}}, FakeMessage(false).b(64).b(1).s(0).i(1).i(2)).data(), 24, kLeft, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][1], 0) << "CoordModeOrigin";
  ASSERT_EQ(out[0].size(), 20u) << "two points left";
  EXPECT_EQ(s16(out[0], 12), 32727);
  EXPECT_EQ(s16(out[0], 16), 32734);

  // A thin PolyLine with a point beyond 16 bits: the segments that fit keep their join, the
  // others are cut and go as runs of their own.
  FakeBytes line = points({{32700, 0}, {32767, 10}, {-32768, 10}, {32700, 20}},
                          FakeMessage(false).b(65).b(0).s(0).i(1).i(2));
  out = xcoreShiftDrawRequest(line.data(), uint32_t(line.size()), kLeft, 0);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].size(), 20u);
  EXPECT_EQ(s16(out[1], 16), -32768) << "cut at the range's start";
  EXPECT_EQ(s16(out[2], 12), -32768);
  EXPECT_EQ(s16(out[2], 16), 32667);
  // The same line wide: the segments that cannot be written go.
  out = xcoreShiftDrawRequest(line.data(), uint32_t(line.size()), kLeft, 4);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 20u);

  // A thin PolyRectangle from beyond 16 bits goes as its cut edges; one that fits stays.
  FakeBytes rectangles = FakeMessage(false).b(67).b(0).s(0).i(1).i(2).s(uint16_t(-32768)).s(0).s(65000).s(10)
                             .s(32700).s(0).s(10).s(10).done();
  out = xcoreShiftDrawRequest(rectangles.data(), uint32_t(rectangles.size()), kLeft, 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0][0], 67);
  EXPECT_EQ(s16(out[0], 12), 32667);
  EXPECT_EQ(out[1][0], 66);
  EXPECT_EQ(out[1].size(), 12u + 3 * 8) << "three edges: the left one lies left of the copy";

  // Arcs and polygons: kept when their coordinates fit, else dropped.
  FakeBytes arcs = FakeMessage(false).b(68).b(0).s(0).i(1).i(2).s(32700).s(0).s(80).s(20).s(0).s(23040)
                       .s(uint16_t(-32767)).s(0).s(65000).s(20).s(0).s(23040).done();
  out = xcoreShiftDrawRequest(arcs.data(), uint32_t(arcs.size()), kLeft, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].size(), 24u);
  EXPECT_EQ(s16(out[0], 12), 32667);
  FakeBytes polygon = points({{32700, 0}, {-32767, 10}, {32767, 20}},
                             FakeMessage(false).b(69).b(0).s(0).i(1).i(2).b(2).b(0).s(0));
  EXPECT_TRUE(xcoreShiftDrawRequest(polygon.data(), uint32_t(polygon.size()), kLeft, 0).empty());

  // ClearArea to the window's edge keeps its size 0; a text origin that leaves 16 bits drops
  // the text.
  FakeBytes clear = FakeMessage(false).b(61).b(0).s(4).i(1).s(32700).s(0).s(0).s(0).done();
  out = xcoreShiftDrawRequest(clear.data(), 16, kLeft, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(s16(out[0], 8), 32667);
  EXPECT_EQ(rawGet16(out[0], 12, false), 0u);
  FakeBytes text = FakeMessage(false).b(76).b(2).s(5).i(1).i(2).s(uint16_t(-32760)).s(10).text("ab").pad(2).done();
  EXPECT_TRUE(xcoreShiftDrawRequest(text.data(), 20, kLeft, 0).empty());
}

TEST_P(WindowPlaceTest, DrawingReachesTheCopyPlacedApartMovedWithItsGCOrigins) {
  FakeCore::Current current(c);
  uint32_t wide = c.id(1), gc = c.id(2);
  core.send(c, createWindow(wide, screen->root, -32000, 100, 33000, 100));
  // A GC with a tile origin of 3, 5 and a clip origin of 7, 0.
  core.send(c, FakeMessage(c.big).b(55).b(0).s(0).i(gc).i(wide).i(0x23000).i(3).i(5).i(7).done());
  core.serverRequests(c);
  core.send(c, FakeMessage(c.big).b(70).b(0).s(0).i(wide).i(gc).s(32700).s(0).s(200).s(10)
                   .s(uint16_t(-32768)).s(20).s(65535).s(2).s(uint16_t(-32768)).s(30).s(10).s(10).done());
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 4u);
  // The first head as asked; the second: its GC's origins moved, the rectangles, the origins back.
  EXPECT_EQ(requests[0][0], 70);
  EXPECT_EQ(requests[0].size(), 36u);
  ASSERT_EQ(requests[1][0], 56);
  EXPECT_EQ(u32(requests[1], 4), resourceServerId(gc, kResourceGC, heads[1]));
  EXPECT_EQ(u32(requests[1], 8), 0x63000u);
  EXPECT_EQ(int32_t(u32(requests[1], 12)), -30);
  EXPECT_EQ(int32_t(u32(requests[1], 16)), 5);
  EXPECT_EQ(int32_t(u32(requests[1], 20)), -26);
  ASSERT_EQ(requests[2][0], 70);
  EXPECT_EQ(u32(requests[2], 4), resourceServerId(wide, kResourceWindow, heads[1]));
  ASSERT_EQ(requests[2].size(), 28u) << "the rectangle left of the copy dropped";
  EXPECT_EQ(s16(requests[2], 12), 32667);
  EXPECT_EQ(s16(requests[2], 20), -32768);
  EXPECT_EQ(u16(requests[2], 24), 65502u);
  ASSERT_EQ(requests[3][0], 56);
  EXPECT_EQ(int32_t(u32(requests[3], 12)), 3);
  EXPECT_EQ(int32_t(u32(requests[3], 20)), 7);

  // PutImage of a row of 32802 pixels at x -32767: the second head gets it from its 33rd
  // pixel on, at the range's start.
  struct Formats {
    std::remove_reference_t<decltype(proxyState.pixmapFormats[0])> saved[2];
    uint8_t count, pad;
    Formats() : saved{proxyState.pixmapFormats[0], proxyState.pixmapFormats[1]} {
      count = proxyState.pixmapFormatCount, pad = proxyState.bitmapPad;
      proxyState.pixmapFormatCount = 2;
      proxyState.pixmapFormats[0] = {1, 1, 32};
      proxyState.pixmapFormats[1] = {24, 32, 32};
      proxyState.bitmapPad = 32;
    }
    ~Formats() {
      proxyState.pixmapFormats[0] = saved[0], proxyState.pixmapFormats[1] = saved[1];
      proxyState.pixmapFormatCount = count, proxyState.bitmapPad = pad;
    }
  } formats;
  FakeMessage put =
      FakeMessage(c.big).b(72).b(2).s(0).i(wide).i(gc).s(32802).s(1).s(uint16_t(-32767)).s(0).b(0).b(24).s(0);
  // Pixels in the image byte order the proxy announces (least significant byte first).
  for (uint32_t i = 0; i < 32802; i++) put.b(i).b(i >> 8).b(i >> 16).b(0);
  core.send(c, put.done());
  EXPECT_TRUE(core.messages(c).empty());
  auto images = sent(72);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(s16(images[1], 16), -32768);
  EXPECT_EQ(u16(images[1], 12), 32770u);
  EXPECT_EQ(u32(images[1], 24), 32u) << "the first 32 pixels cut off";
  EXPECT_EQ(u32(images[1], 24 + 4 * 32769), 32801u);
  // Wholly left of the copy: nothing for the second head.
  FakeMessage small =
      FakeMessage(c.big).b(72).b(2).s(0).i(wide).i(gc).s(1).s(1).s(uint16_t(-32767)).s(0).b(0).b(24).s(0).b(5).b(0).b(0).b(0);
  core.send(c, small.done());
  EXPECT_EQ(sent(72).size(), 1u);
}

// What comes back from a copy placed apart: the first head, which speaks for structure events
// and answers TranslateCoordinates, shows the meta screen from x 800 on as the second does, so
// that the wide window's copy there lies 33 pixels right of the client's window.
class PlacedApartAnswers : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    c = &core.addClient(GetParam());
    heads = core.heads();
    for (size_t i = 0; i < 2; i++) heads[i]->rect.x = 800, heads[i]->logical.x = 0, heads[i]->idIndex = uint32_t(i);
    FakeCore::Current current(*c);
    wide = c->id(1);
    // PointerMotion and Exposure selected.
    core.send(*c, FakeMessage(c->big).b(1).b(0).s(0).i(wide).i(screen->root).s(uint16_t(-32000)).s(100).s(33000)
                      .s(100).s(0).s(1).i(0).i(0x800).i(0x8040).done());
    core.send(*c, FakeMessage(c->big).b(8).b(0).s(0).i(wide).done());
    core.serverRequests(*c);
    core.messages(*c);
  }
  FakeBytes event(uint8_t code, uint16_t sequence) {
    FakeBytes e(32, 0);
    e[0] = code;
    memcpy(&e[2], &sequence, 2);
    return e;
  }
  static void put16(FakeBytes &e, size_t at, uint16_t v) { memcpy(&e[at], &v, 2); }
  static void put32(FakeBytes &e, size_t at, uint32_t v) { memcpy(&e[at], &v, 4); }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *c = nullptr;
  std::vector<Head *> heads;
  uint32_t wide = 0;
};

TEST_P(PlacedApartAnswers, EventsAndRepliesCarryTheClientsCoordinates) {
  FakeCore::Current current(*c);
  ASSERT_TRUE(windowPlacedApart(static_cast<WindowRecord *>(resourceLookupWindow(wide)), heads[0]));
  uint16_t real = core.serverSequence(*c, uint16_t(c->client->sequence));
  uint32_t copy = core.realId(wide, heads[0]);

  // ConfigureNotify of the copy: its own place goes; the client's comes.
  FakeBytes configure = event(22, real);
  put32(configure, 4, copy), put32(configure, 8, copy);
  put16(configure, 16, uint16_t(-31967)), put16(configure, 18, 100), put16(configure, 20, 32967), put16(configure, 22, 100);
  core.feedEvents(*c, {configure});
  auto got = core.messages(*c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(int16_t(c->u16(got[0], 16)), -32000);
  EXPECT_EQ(c->u16(got[0], 20), 33000u);

  // An Expose of the copy at its x 32734 is the window's x 32767.
  FakeBytes expose = event(12, real);
  put32(expose, 4, copy), put16(expose, 8, 32734), put16(expose, 12, 100), put16(expose, 14, 10);
  core.feedEvents(*c, {expose});
  got = core.messages(*c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(c->u16(got[0], 8), 32767u);
  EXPECT_EQ(c->u16(got[0], 12), 100u);

  // Motion over the copy at x 100 of the head's real screen (the meta screen's 900): the real
  // server reports 32867 from the copy's inside, the client's window has it at 32900.
  FakeBytes motion = event(6, real);
  put32(motion, 4, 1000), put32(motion, 8, core.realRoot(heads[0])), put32(motion, 12, copy);
  put16(motion, 20, 100), put16(motion, 22, 150), put16(motion, 24, 32867), put16(motion, 26, 50);
  motion[30] = 1;
  core.feedEvents(*c, {motion});
  got = core.messages(*c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 6);
  EXPECT_EQ(c->u16(got[0], 20), 900u);
  EXPECT_EQ(c->u16(got[0], 24), 32900u);
  EXPECT_EQ(c->u16(got[0], 26), 50u);

  // TranslateCoordinates into the window: the copy's answer moves back by 33.
  core.send(*c, FakeMessage(c->big).b(40).b(0).s(0).i(screen->root).i(wide).s(900).s(150).done());
  uint16_t sequence = uint16_t(c->client->displays[0]->requestsSent);
  core.serverRequests(*c);
  core.feedServer(*c, FakeMessage(false).b(1).b(1).s(sequence).i(0).i(0).s(32867).s(50).pad(16).d);
  got = core.messages(*c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(c->u16(got[0], 12), 32900u);
  EXPECT_EQ(c->u16(got[0], 14), 50u);
  // Out of the window: the point is asked in the copy.
  core.send(*c, FakeMessage(c->big).b(40).b(0).s(0).i(wide).i(screen->root).s(32767).s(0).done());
  auto asked = core.serverRequests(*c);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(int16_t(rawGet16(asked[0], 12, false)), 32734);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, PlacedApartAnswers, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

INSTANTIATE_TEST_SUITE_P(ByteOrders, WindowPlaceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
