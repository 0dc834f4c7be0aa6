// Drawing, text and image requests on the fake core: culling by the request region, PolyText
// item walks, PutImage's checks and GetImage assembled from pieces, in both byte orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/resourcetable.h"
#include "proxy/window.h"
#include "proxy/core11g.h"
#include "proxy/xcore.h"
#include "proxy/xcoreimage.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

class XcoreDrawTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    saved = proxyState.pixmapFormatCount;
    savedFormats[0] = proxyState.pixmapFormats[0];
    savedFormats[1] = proxyState.pixmapFormats[1];
    proxyState.pixmapFormatCount = 2;
    proxyState.pixmapFormats[0] = {1, 1, 32};
    proxyState.pixmapFormats[1] = {24, 32, 32};
    savedPad = proxyState.bitmapPad;
    proxyState.bitmapPad = 32;
    screen = core.addScreen(1600, 600, 2);
  }
  void TearDown() override {
    for (Head *head : core.heads()) head->culling = 0;
    xproxyCullingHeadCount = 0;
    proxyState.pixmapFormatCount = saved;
    proxyState.pixmapFormats[0] = savedFormats[0];
    proxyState.pixmapFormats[1] = savedFormats[1];
    proxyState.bitmapPad = savedPad;
  }
  void cull(std::initializer_list<int> which) {
    auto heads = core.heads();
    for (int i : which) heads[size_t(i)]->culling = 1;
    xproxyCullingHeadCount = uint32_t(which.size());
  }
  // The requests of the opcode the proxy wrote since the last call.
  std::vector<FakeBytes> written(FakeClient &c, uint8_t opcode) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == opcode) out.push_back(r);
    return out;
  }
  // A GC on the root with line width, join style and graphics exposures.
  uint32_t makeGC(FakeClient &c, uint32_t lineWidth, uint32_t join, uint32_t exposures = 0) {
    uint32_t id = c.id(40 + gcs++);
    // LineWidth (bit 4), JoinStyle (bit 7), GraphicsExposures (bit 16).
    core.send(c, FakeMessage(c.big).b(55).b(0).s(0).i(id).i(screen->root).i(0x10090).i(lineWidth).i(join).i(exposures).done());
    core.serverRequests(c);
    return id;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  uint8_t saved = 0, savedPad = 0;
  std::remove_reference_t<decltype(proxyState.pixmapFormats[0])> savedFormats[2]{};
  int gcs = 0;
};

TEST_P(XcoreDrawTest, CullingSendsDrawingOnlyToTheHeadsItTouches) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  uint32_t gc = makeGC(c, 20, 0);  // wide lines, JoinMiter
  uint32_t root = screen->root;
  struct Case {
    const char *name;
    FakeBytes request;
    size_t copies;
  } cases[] = {
      {"fill inside the left head", FakeMessage(c.big).b(70).b(0).s(0).i(root).i(gc).s(10).s(10).s(50).s(50).done(), 1},
      {"fill across the boundary", FakeMessage(c.big).b(70).b(0).s(0).i(root).i(gc).s(790).s(10).s(20).s(20).done(), 2},
      {"clear without exposures", FakeMessage(c.big).b(61).b(0).s(0).i(root).s(10).s(10).s(20).s(20).done(), 1},
      {"clear with exposures", FakeMessage(c.big).b(61).b(1).s(0).i(root).s(10).s(10).s(20).s(20).done(), 2},
      {"clear to the window's edge", FakeMessage(c.big).b(61).b(0).s(0).i(root).s(10).s(10).s(0).s(0).done(), 2},
      // Boxes near 32767: 32-bit sums and clipping keep them on the right head.
      {"wide line to 32767", FakeMessage(c.big).b(65).b(0).s(0).i(root).i(gc).s(700).s(10).s(32767).s(10).done(), 2},
      {"relative line wrapping 16 bits",
       FakeMessage(c.big).b(65).b(1).s(0).i(root).i(gc).s(700).s(10).s(32000).s(0).s(32000).s(0).done(), 2},
      {"segment to 32767", FakeMessage(c.big).b(66).b(0).s(0).i(root).i(gc).s(700).s(10).s(32767).s(10).done(), 2},
      {"arc wider than 16 bits", FakeMessage(c.big).b(68).b(0).s(0).i(root).i(gc).s(700).s(10).s(65535).s(4).s(0).s(0x1000).done(), 2},
      {"relative points", FakeMessage(c.big).b(64).b(1).s(0).i(root).i(gc).s(10).s(10).s(900).s(0).done(), 2},
      {"fill poly inside", FakeMessage(c.big).b(69).b(0).s(0).i(root).i(gc).b(0).b(0).s(0).s(10).s(10).s(20).s(30).s(5).s(40).done(), 1},
      {"image text", FakeMessage(c.big).b(76).b(2).s(0).i(root).i(gc).s(10).s(10).text("ab").align().done(), 2},
  };
  cull({1});
  for (const Case &k : cases) {
    core.send(c, k.request);
    EXPECT_EQ(written(c, k.request[0]).size(), k.copies) << k.name;
    EXPECT_TRUE(core.messages(c).empty()) << k.name;
    EXPECT_EQ(c.client->requestRegionActive, 0) << k.name;
  }
  // Other requests are never culled by a region a drawing request left.
  core.send(c, FakeMessage(c.big).b(53).b(24).s(0).i(c.id(90)).i(root).s(4).s(4).done());
  EXPECT_EQ(written(c, 53).size(), 2u);
  // Without flagged heads every request reaches every head.
  for (Head *head : core.heads()) head->culling = 0;
  xproxyCullingHeadCount = 0;
  core.send(c, cases[0].request);
  EXPECT_EQ(written(c, 70).size(), 2u);
}

TEST_P(XcoreDrawTest, CopyWithGraphicsExposuresAlwaysReachesOneHead) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  uint32_t gc = makeGC(c, 0, 0, 1);
  uint32_t root = screen->root;
  cull({0, 1});
  // The destination misses every head: the last one still copies and answers.
  core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(root).i(root).i(gc).s(0).s(0).s(-200 & 0xffff).s(10).s(20).s(20).done());
  EXPECT_EQ(written(c, 62).size(), 1u);
  DisplayConnection *connection = c.client->displays[0];
  ASSERT_NE(connection->callbacksLast, nullptr);
  EXPECT_EQ(connection->callbacksLast->key >> 16, uint32_t(kXcoreReplyTagCopyExposures));
  // Inside the left head: that head alone.
  core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(root).i(root).i(gc).s(0).s(0).s(10).s(10).s(20).s(20).done());
  EXPECT_EQ(written(c, 62).size(), 1u);
  core.messages(c);
}

// A window at 600..1000 across the heads' boundary at 800, the second head flagged: each copy
// goes to the heads named by their real ids. A pixmap filled from the window holds each head's
// part on that head only: GetImage reads every part from its own head.
TEST_P(XcoreDrawTest, CullingOfAWindowAndPixmapPartsGoToTheirHeads) {
  core.addRealDisplay();
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  auto heads = core.heads();
  WindowRecord *w = windowCreate(c.id(5), core.root(screen), 600, 100, 400, 300, 0, 0, 0);
  ASSERT_NE(w, nullptr);
  windowMap(w);
  uint32_t gc = makeGC(c, 0, 0, 1);  // graphics exposures on
  cull({1});
  auto targets = [&](uint8_t opcode, size_t at) {
    std::vector<int> out;
    for (const FakeBytes &r : written(c, opcode)) {
      uint32_t id = rawGet32(r, at, false);
      out.push_back(id == core.realId(w->id, heads[0]) ? 0 : id == core.realId(w->id, heads[1]) ? 1 : -1);
    }
    return out;
  };
  core.send(c, FakeMessage(c.big).b(70).b(0).s(0).i(w->id).i(gc).s(10).s(10).s(50).s(50).done());
  EXPECT_EQ(targets(70, 4), std::vector<int>{0}) << "a fill inside the first head";
  core.send(c, FakeMessage(c.big).b(70).b(0).s(0).i(w->id).i(gc).s(250).s(10).s(10).s(10).done());
  EXPECT_EQ(targets(70, 4), (std::vector<int>{0, 1})) << "a fill on the second head";
  core.send(c, FakeMessage(c.big).b(61).b(1).s(0).i(w->id).s(10).s(10).s(20).s(20).done());
  EXPECT_EQ(targets(61, 4), (std::vector<int>{0, 1})) << "a clear with exposures";
  // CopyArea with graphics exposures inside the first head: that head copies and answers.
  core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(w->id).i(w->id).i(gc).s(0).s(0).s(10).s(10).s(20).s(20).done());
  EXPECT_EQ(targets(62, 8), std::vector<int>{0}) << "a copy inside the first head";
  core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(w->id).i(w->id).i(gc).s(0).s(0).s(150).s(10).s(100).s(20).done());
  EXPECT_EQ(targets(62, 8), (std::vector<int>{0, 1})) << "a copy across the boundary";
  core.messages(c);

  uint32_t pm = c.id(7);
  core.send(c, FakeMessage(c.big).b(53).b(24).s(0).i(pm).i(w->id).s(400).s(300).done());
  core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(w->id).i(pm).i(gc).s(0).s(0).s(0).s(0).s(400).s(300).done());
  EXPECT_EQ(written(c, 62).size(), 2u) << "a pixmap is never culled";
  core.messages(c);
  core.send(c, FakeMessage(c.big).b(73).b(2).s(0).i(pm).s(0).s(0).s(400).s(300).i(~0u).done());
  auto pieces = written(c, 73);
  ASSERT_EQ(pieces.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    // The latest part first: the second head's, from x 200 of the pixmap.
    Head *head = heads[1 - i];
    EXPECT_EQ(rawGet32(pieces[i], 4, false), core.realId(pm, head));
    EXPECT_EQ(rawGet16(pieces[i], 8, false), i == 0 ? 200u : 0u);
    EXPECT_EQ(rawGet16(pieces[i], 12, false), 200u);
    EXPECT_EQ(rawGet16(pieces[i], 14, false), 300u);
  }
  // Inside the first head's part: that head alone, as asked.
  core.send(c, FakeMessage(c.big).b(73).b(2).s(0).i(pm).s(5).s(6).s(100).s(50).i(~0u).done());
  pieces = written(c, 73);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(rawGet32(pieces[0], 4, false), core.realId(pm, heads[0]));
  EXPECT_EQ(rawGet16(pieces[0], 8, false), 5u);
}

// Copies between pixmaps carry the parts that lie in the copied rectangle along, cut to it and
// to the target; the target keeps its latest parts, the oldest dropped, also when a pixmap is
// copied onto itself. A plain model of the list follows every copy.
TEST_P(XcoreDrawTest, PixmapPartsMoveWithCopiesAndKeepTheLatest) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  WindowRecord *w = windowCreate(c.id(5), core.root(screen), 600, 100, 400, 300, 0, 0, 0);
  ASSERT_NE(w, nullptr);
  windowMap(w);
  uint32_t gc = makeGC(c, 0, 0);
  uint32_t pm = c.id(7), other = c.id(8);
  core.send(c, FakeMessage(c.big).b(53).b(24).s(0).i(pm).i(w->id).s(400).s(300).done());
  core.send(c, FakeMessage(c.big).b(53).b(24).s(0).i(other).i(w->id).s(150).s(100).done());
  auto copy = [&](uint32_t from, uint32_t to, int sx, int sy, int dx, int dy, int width, int height) {
    core.send(c, FakeMessage(c.big).b(62).b(0).s(0).i(from).i(to).i(gc).s(sx & 0xffff).s(sy & 0xffff)
                     .s(dx & 0xffff).s(dy & 0xffff).s(width).s(height).done());
  };
  copy(w->id, pm, 0, 0, 0, 0, 400, 300);  // one part per head: x 0..200 and 200..400
  PixmapRecord *source = resourceLookupPixmap(pm), *target = resourceLookupPixmap(other);
  ASSERT_TRUE(source && target && source->partCount == 2);
  std::vector<PixmapPart> model[2] = {{source->parts, source->parts + 2}, {}};
  auto follow = [&](int from, int to, int sx, int sy, int dx, int dy, int width, int height) {
    PixmapRecord *records[2] = {source, target};
    std::vector<PixmapPart> moved, &list = model[to];
    for (const PixmapPart &p : model[from]) {
      int64_t x0 = std::max<int64_t>(std::max<int64_t>(p.x, sx) - sx + dx, 0);
      int64_t y0 = std::max<int64_t>(std::max<int64_t>(p.y, sy) - sy + dy, 0);
      int64_t x1 = std::min<int64_t>(std::min<int64_t>(p.x + int64_t(p.width), sx + width) - sx + dx, records[to]->width);
      int64_t y1 = std::min<int64_t>(std::min<int64_t>(p.y + int64_t(p.height), sy + height) - sy + dy, records[to]->height);
      if (x1 > x0 && y1 > y0) moved.push_back({int32_t(x0), int32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0), p.head});
    }
    list.insert(list.end(), moved.begin(), moved.end());
    if (list.size() > kPixmapMaxParts) list.erase(list.begin(), list.end() - kPixmapMaxParts);
    copy(from ? other : pm, to ? other : pm, sx, sy, dx, dy, width, height);
    ASSERT_EQ(records[to]->partCount, list.size());
    for (size_t i = 0; i < list.size(); i++) {
      const PixmapPart &a = records[to]->parts[i], &b = list[i];
      EXPECT_TRUE(a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height && a.head == b.head) << i;
    }
  };
  // Onto itself until the list is full, then across, cut at the edges and beyond the origin.
  for (int i = 0; i < 20; i++) follow(0, 0, 190 - i, 10 + i, 5 * i, 3 * i, 20 + i, 30);
  follow(0, 1, 150, 0, -40, -10, 200, 300);
  follow(1, 1, 0, 0, 100, 50, 150, 100);
  for (int i = 0; i < 3; i++) follow(0, 1, 0, 0, 0, 0, 400, 300);
  EXPECT_EQ(source->partCount, kPixmapMaxParts);
  core.messages(c);
}

TEST_P(XcoreDrawTest, PolyTextWalksItemsToTheRequestEndOnly) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  uint32_t gc = makeGC(c, 0, 0);
  uint32_t font = c.id(70);
  core.send(c, FakeMessage(c.big).b(45).b(0).s(0).i(font).s(5).s(0).text("fixed").align().done());
  core.serverRequests(c);
  FontRecord *record = resourceLookupFont(font);
  ASSERT_NE(record, nullptr);
  auto msb = [](FakeMessage &m, uint32_t v) -> FakeMessage & { return m.b(v >> 24).b(v >> 16).b(v >> 8).b(v); };
  // PolyText8: a text item, a font change (id most significant byte first in either order),
  // then an item claiming more characters than the request holds.
  {
    FakeMessage m(c.big);
    m.b(74).b(0).s(0).i(screen->root).i(gc).s(10).s(20).b(2).b(0).text("ab").b(255);
    msb(m, font).b(200).b(0).text("xy");
    FakeBytes request = m.align().done();
    core.send(c, request);
    auto copies = written(c, 74);
    ASSERT_EQ(copies.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
      uint32_t id = xprotoReadCard32MSB(&copies[i][21]);
      EXPECT_EQ(id, resourceServerId(font, kResourceFont, xproxyFontHeadOf(core.heads()[i])));
      EXPECT_EQ(memcmp(&copies[i][25], &request[25], request.size() - 25), 0);
    }
    EXPECT_EQ(resourceLookupGC(gc)->font, record);
    EXPECT_TRUE(core.messages(c).empty());
  }
  // PolyText16 whose font change is cut by the request's end: not applied, nothing read past it.
  {
    uint32_t gc2 = makeGC(c, 0, 0);
    FakeMessage m(c.big);
    m.b(75).b(0).s(0).i(screen->root).i(gc2).s(10).s(20).b(1).b(0).b(0).b('a').b(0).b(0).b(255).b(font >> 24).b(font >> 16);
    FakeBytes request = m.align().done();
    core.send(c, request);
    EXPECT_EQ(written(c, 75).size(), 2u);
    EXPECT_EQ(resourceLookupGC(gc2)->font, nullptr);
  }
}

TEST_P(XcoreDrawTest, LengthsAndImageChecks) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  uint32_t gc = makeGC(c, 0, 0);
  uint32_t root = screen->root;
  struct Case {
    const char *name;
    FakeBytes request;
    uint8_t error;  // 0: no error
  } cases[] = {
      {"segment list not whole", FakeMessage(c.big).b(66).b(0).s(0).i(root).i(gc).s(1).s(2).done(), 16},
      {"image text too short", FakeMessage(c.big).b(76).b(9).s(0).i(root).i(gc).s(1).s(2).text("ab").align().done(), 16},
      {"put image format 3", FakeMessage(c.big).b(72).b(3).s(0).i(root).i(gc).s(1).s(1).s(0).s(0).b(0).b(24).s(0).i(0).done(), 2},
      {"put image depth without format", FakeMessage(c.big).b(72).b(2).s(0).i(root).i(gc).s(1).s(1).s(0).s(0).b(0).b(7).s(0).i(0).done(), 8},
      // 2 x 2 at 32 bits per pixel is 16 bytes, not 4.
      {"put image length", FakeMessage(c.big).b(72).b(2).s(0).i(root).i(gc).s(2).s(2).s(0).s(0).b(0).b(24).s(0).i(0).done(), 16},
      // 65535 x 65535 x 4 bytes wraps 32 bits; never a match.
      {"put image huge", FakeMessage(c.big).b(72).b(2).s(0).i(root).i(gc).s(65535).s(65535).s(0).s(0).b(0).b(24).s(0).i(0).done(), 16},
      {"bitmap of depth 24", FakeMessage(c.big).b(72).b(0).s(0).i(root).i(gc).s(1).s(1).s(0).s(0).b(0).b(24).s(0).i(0).done(), 8},
      {"put image fine", FakeMessage(c.big).b(72).b(2).s(0).i(root).i(gc).s(1).s(1).s(0).s(0).b(0).b(24).s(0).i(0x00ff00).done(), 0},
      {"bitmap left pad 3", FakeMessage(c.big).b(72).b(0).s(0).i(root).i(gc).s(29).s(1).s(0).s(0).b(3).b(1).s(0).i(0xffffffff).done(), 0},
      {"get image bitmap", FakeMessage(c.big).b(73).b(0).s(0).i(root).s(0).s(0).s(1).s(1).i(~0u).done(), 2},
  };
  for (const Case &k : cases) {
    core.send(c, k.request);
    auto messages = core.messages(c);
    if (!k.error) {
      EXPECT_TRUE(messages.empty()) << k.name;
      EXPECT_EQ(written(c, k.request[0]).size(), 2u) << k.name;
      continue;
    }
    ASSERT_EQ(messages.size(), 1u) << k.name;
    EXPECT_EQ(messages[0][0], 0) << k.name;
    EXPECT_EQ(messages[0][1], k.error) << k.name;
    EXPECT_TRUE(written(c, k.request[0]).empty()) << k.name;
  }
}

// A GetImage reply of the real server (its order is the proxy's own) with `data`.
FakeBytes imageReply(uint16_t sequence, uint8_t depth, const std::vector<uint8_t> &data) {
  FakeMessage m(false);
  m.b(1).b(depth).s(sequence).i(uint32_t(data.size() / 4)).i(0x21).pad(20);
  m.d.insert(m.d.end(), data.begin(), data.end());
  return m.d;
}

TEST_P(XcoreDrawTest, GetImageAcrossHeadsAssemblesThePieces) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  DisplayConnection *connection = c.client->displays[0];
  struct Case {
    const char *name;
    bool shortFirst;
  } cases[] = {{"both pieces", false}, {"a short first piece", true}};
  for (const Case &k : cases) {
    core.clearLog();
    // 4 x 1 pixels at 798..801: two on each head.
    core.send(c, FakeMessage(c.big).b(73).b(2).s(0).i(screen->root).s(798).s(0).s(4).s(1).i(~0u).done());
    auto pieces = written(c, 73);
    ASSERT_EQ(pieces.size(), 2u) << k.name;
    EXPECT_EQ(rawGet16(pieces[0], 8, false), 798u);
    EXPECT_EQ(rawGet16(pieces[0], 12, false), 2u);
    EXPECT_EQ(rawGet16(pieces[1], 8, false), 800u);
    uint16_t second = uint16_t(connection->requestsSent), first = uint16_t(second - 1);
    std::vector<uint8_t> left = {1, 2, 3, 0, 4, 5, 6, 0}, right = {7, 8, 9, 0, 10, 11, 12, 0};
    core.feedServer(c, imageReply(first, 24, k.shortFirst ? std::vector<uint8_t>{1, 2, 3, 0} : left));
    EXPECT_TRUE(core.messages(c).empty()) << k.name;
    core.feedServer(c, imageReply(second, 24, right));
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u) << k.name;
    const FakeBytes &reply = messages[0];
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[1], 24);
    EXPECT_EQ(c.u16(reply, 2), c.client->sequence & 0xffff);
    EXPECT_EQ(c.u32(reply, 4), 4u);
    EXPECT_EQ(c.u32(reply, 8), 0x21u);
    ASSERT_EQ(reply.size(), 48u);
    std::vector<uint8_t> expected = k.shortFirst ? std::vector<uint8_t>(8, 0) : left;
    expected.insert(expected.end(), right.begin(), right.end());
    // Image data are never swapped; the client's layout is the proxy's (little-endian here).
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 32, reply.end()), expected) << k.name;
    EXPECT_EQ(core.logged("too short"), k.shortFirst) << k.name;
  }
}

TEST_P(XcoreDrawTest, FailedAssemblySendsNothingAfterItsError) {
  FakeClient &c = core.addClient(GetParam());
  FakeCore::Current current(c);
  DisplayConnection *connection = c.client->displays[0];
  auto heads = core.heads();
  // Two pieces went out, then the request was answered with BadAlloc: the pieces' replies
  // still come and are consumed, and no reply follows the error.
  XcoreImagePiece *a = xcoreConvertImage(nullptr, 24, 2, ~0u, 4, 1, Rect{0, 0, 2, 1}, heads[0]);
  ASSERT_NE(a, nullptr);
  core11GGetImage(connection, 2, 1, 0, 0, 2, 1, ~0u);
  xproxyPushReplyCallback(connection, kXcoreReplyTagImagePiece, reinterpret_cast<uintptr_t>(a),
                          [](uintptr_t p) { xcoreFreeImageRef(reinterpret_cast<XcoreImagePiece *>(p)); });
  XcoreImagePiece *b = xcoreConvertImage(a->shared, 24, 2, ~0u, 4, 1, Rect{2, 0, 2, 1}, heads[1]);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->shared->piecesExpected, 2u);
  EXPECT_EQ(a->shared->refCount, 2u);
  core11GGetImage(connection, 2, 1, 0, 0, 2, 1, ~0u);
  xproxyPushReplyCallback(connection, kXcoreReplyTagImagePiece, reinterpret_cast<uintptr_t>(b),
                          [](uintptr_t p) { xcoreFreeImageRef(reinterpret_cast<XcoreImagePiece *>(p)); });
  a->shared->failed = 1;
  core.serverRequests(c);
  uint16_t second = uint16_t(connection->requestsSent);
  core.feedServer(c, imageReply(uint16_t(second - 1), 24, std::vector<uint8_t>(8, 1)));
  core.feedServer(c, imageReply(second, 24, std::vector<uint8_t>(8, 2)));
  EXPECT_TRUE(core.messages(c).empty());
}

INSTANTIATE_TEST_SUITE_P(BothOrders, XcoreDrawTest, ::testing::Values(false, true));

}  // namespace
