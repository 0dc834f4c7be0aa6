// Font, pixmap and GC requests through their handlers against an Xvfb whose two screens are
// the two heads of one meta screen, in both byte orders: what the real server ends up holding
// (X-Resource), the refusals, the GC record's references and the font replies.
#include "corerequests_fixture.h"

#include <X11/Xlib.h>

#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xemulation.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xvfb_fixture.h"

namespace corerequests {
namespace {

constexpr uint8_t kOpenFont = 45, kCloseFont = 46, kQueryFont = 47, kListFontsWithInfo = 50, kCreatePixmap = 53,
                  kFreePixmap = 54, kCreateGC = 55, kChangeGC = 56, kCopyGC = 57, kSetClipRectangles = 59,
                  kFreeGC = 60, kSetDashes = 58;

class FontGCTest : public CoreRequestOrderTest {
 protected:
  Bytes openFont(uint32_t id, const std::string &name) {
    return Request(big()).b(kOpenFont).b(0).s(0).i(id).s(uint32_t(name.size())).s(0).text(name).done();
  }
  Bytes createPixmap(uint32_t id, uint32_t depth, uint32_t w = 8, uint32_t h = 8) {
    return Request(big()).b(kCreatePixmap).b(depth).s(0).i(id).i(screen->root).s(w).s(h).done();
  }
  Bytes createGC(uint32_t id, uint32_t drawable, uint32_t mask = 0, std::vector<uint32_t> values = {}) {
    Request r(big());
    r.b(kCreateGC).b(0).s(0).i(id).i(drawable).i(mask);
    for (uint32_t v : values) r.i(v);
    return r.done();
  }
  Bytes changeGC(uint32_t id, uint32_t mask, std::vector<uint32_t> values) {
    Request r(big());
    r.b(kChangeGC).b(0).s(0).i(id).i(mask);
    for (uint32_t v : values) r.i(v);
    return r.done();
  }
  Bytes oneId(uint8_t opcode, uint32_t id) { return Request(big()).b(opcode).b(0).s(0).i(id).done(); }
  Bytes copyGC(uint32_t from, uint32_t to, uint32_t mask) {
    return Request(big()).b(kCopyGC).b(0).s(0).i(from).i(to).i(mask).done();
  }
  uint32_t count(const std::string &type) { return serverCounts()[type]; }
};

TEST_P(FontGCTest, TheRealServerHoldsOneFontAndOneCopyPerHead) {
  uint32_t gcs = count("GC"), pixmaps = count("PIXMAP"), fonts = count("FONT");
  uint32_t font = clientId(1), pixmap = clientId(2), gc = clientId(3);
  send(openFont(font, "fixed"));
  send(createPixmap(pixmap, 24));
  send(createGC(gc, pixmap, 0x4000, {font}));
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(count("FONT"), fonts + 1);
  EXPECT_EQ(count("PIXMAP"), pixmaps + heads.size());
  EXPECT_EQ(count("GC"), gcs + heads.size());
  GCRecord *record = resourceLookupGC(gc);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->font, resourceLookupFont(font));
  EXPECT_EQ(record->depth, 24);

  // The font stays on the server while the GC's record uses it; the GC's free lets it go.
  send(oneId(kCloseFont, font));
  send(oneId(kFreeGC, gc));
  send(oneId(kFreePixmap, pixmap));
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(count("GC"), gcs);
  EXPECT_EQ(count("PIXMAP"), pixmaps);
  EXPECT_EQ(count("FONT"), fonts);
  EXPECT_EQ(resourceLookupAny(gc), nullptr);
  EXPECT_EQ(resourceLookupAny(pixmap), nullptr);
}

TEST_P(FontGCTest, RefusalsAnswerWithTheirCodeAndValue) {
  uint32_t gc = clientId(5), pixmap = clientId(6), unknown = clientId(0x99);
  send(createGC(gc, screen->root));
  send(createPixmap(pixmap, 24));
  ASSERT_TRUE(messages().empty());
  struct Case {
    const char *name;
    Bytes request;
    uint8_t code;
    uint32_t badValue;
  };
  Bytes shortOpen = openFont(clientId(7), "fixed");
  shortOpen.resize(16);
  shortOpen[big() ? 3 : 2] = 4;
  std::vector<Case> cases = {
      {"CreateGC value list short", Request(big()).b(kCreateGC).b(0).s(0).i(clientId(8)).i(screen->root).i(3).i(1).done(),
       16, 20},
      {"CreateGC mask above bit 22", createGC(clientId(8), screen->root, 0x800000, {0}), 2, 0x800000},
      {"CreateGC used id", createGC(gc, screen->root), 14, gc},
      {"CreateGC unknown drawable", createGC(clientId(8), unknown), 9, unknown},
      {"ChangeGC mask above bit 22", changeGC(gc, 0x1000000, {1}), 2, 0x1000000},
      {"ChangeGC no GC", changeGC(unknown, 4, {1}), 13, unknown},
      {"CopyGC mask above bit 22", copyGC(gc, gc, 0x800001), 2, 0x800001},
      {"SetClipRectangles ordering", Request(big()).b(kSetClipRectangles).b(4).s(0).i(gc).s(0).s(0).done(), 2, 4},
      {"SetClipRectangles no GC", Request(big()).b(kSetClipRectangles).b(0).s(0).i(unknown).s(0).s(0).done(), 13,
       unknown},
      {"CreatePixmap width 0", createPixmap(clientId(9), 24, 0, 4), 2, 0},
      {"CreatePixmap height 0", createPixmap(clientId(9), 24, 4, 0), 2, 0},
      {"CreatePixmap depth 7", createPixmap(clientId(9), 7), 2, 7},
      {"FreePixmap of a GC", oneId(kFreePixmap, gc), 4, gc},
      {"CloseFont unknown", oneId(kCloseFont, unknown), 7, unknown},
      {"OpenFont name longer than the request", shortOpen, 16, 16},
      {"SetDashes count beyond the request", Request(big()).b(kSetDashes).b(0).s(0).i(gc).s(0).s(9).i(0).done(), 16, 16},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    expectError(c.request, c.code, c.badValue);
  }
  EXPECT_EQ(resourceLookupAny(clientId(8)), nullptr);
  EXPECT_EQ(resourceLookupAny(clientId(9)), nullptr);
  // A FreeGC of an id that is no GC still goes to the server, which answers BadGC.
  send(oneId(kFreeGC, unknown));
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][1], 13);
  EXPECT_EQ(u32(m[0], 4), unknown);
}

TEST_P(FontGCTest, GCReferencesSurviveEveryOrderOfFrees) {
  constexpr uint32_t kTile = 1u << 10, kFillStyle = 1u << 8;
  uint32_t pixmaps = count("PIXMAP");
  // Each order frees the tile pixmap, a GC holding it and a GC that copied it.
  const std::vector<std::vector<int>> orders = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  uint32_t next = 0x10;
  for (const auto &order : orders) {
    SCOPED_TRACE(::testing::PrintToString(order));
    uint32_t tile = clientId(next++), first = clientId(next++), second = clientId(next++);
    send(createPixmap(tile, 24));
    send(createGC(first, screen->root, kTile | kFillStyle, {1, tile}));
    // The same tile again: the reference must not be dropped before it is taken.
    send(changeGC(first, kTile, {tile}));
    send(createGC(second, screen->root));
    send(copyGC(first, second, kTile));
    ASSERT_TRUE(messages().empty());
    PixmapRecord *record = resourceLookupPixmap(tile);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->refCount, 2u);
    EXPECT_EQ(resourceLookupGC(first)->tile, record);
    EXPECT_EQ(resourceLookupGC(second)->tile, record);
    const Bytes frees[] = {oneId(kFreePixmap, tile), oneId(kFreeGC, first), oneId(kFreeGC, second)};
    for (int step : order) send(frees[step]);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(resourceLookupAny(tile), nullptr);
    EXPECT_EQ(resourceFindOrphanPixmap(tile), nullptr);
    EXPECT_EQ(count("PIXMAP"), pixmaps);
  }
}

TEST_P(FontGCTest, ATileOfTheWrongDepthIsForwardedButNotReferenced) {
  uint32_t bitmap = clientId(0x30), gc = clientId(0x31);
  send(createPixmap(bitmap, 1));
  send(createGC(gc, screen->root, 1u << 10, {bitmap}));
  auto m = messages();
  // Each head's server refuses the tile: one BadMatch for the client.
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][1], 8);
  EXPECT_EQ(resourceLookupPixmap(bitmap)->refCount, 0u);
  // A depth-1 stipple and clip mask are taken.
  uint32_t gc2 = clientId(0x32);
  send(createGC(gc2, screen->root, 1u << 11 | 1u << 19, {bitmap, bitmap}));
  EXPECT_TRUE(messages().empty());
  GCRecord *record = resourceLookupGC(gc2);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->stipple, resourceLookupPixmap(bitmap));
  EXPECT_EQ(record->clipMask, resourceLookupPixmap(bitmap));
  EXPECT_EQ(resourceLookupPixmap(bitmap)->refCount, 2u);
  // Clip rectangles replace the clip mask.
  send(Request(big()).b(kSetClipRectangles).b(0).s(0).i(gc2).s(0).s(0).s(0).s(0).s(4).s(4).done());
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(record->clipMask, nullptr);
  EXPECT_EQ(resourceLookupPixmap(bitmap)->refCount, 1u);
}

TEST_P(FontGCTest, QueryFontAndListFontsWithInfoMatchANativeClient) {
  uint32_t font = clientId(0x40);
  send(openFont(font, "fixed"));
  send(oneId(kQueryFont, font));
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  XFontStruct *native = XLoadQueryFont(judge, "fixed");
  ASSERT_NE(native, nullptr);
  const Bytes &r = m[0];
  EXPECT_EQ(r[0], 1);
  EXPECT_EQ(u16(r, 2), client->sequence & 0xffff);
  auto s16 = [&](size_t at) { return int16_t(u16(r, at)); };
  EXPECT_EQ(s16(8), native->min_bounds.lbearing);
  EXPECT_EQ(s16(12), native->min_bounds.width);
  EXPECT_EQ(s16(24), native->max_bounds.lbearing);
  EXPECT_EQ(s16(28), native->max_bounds.width);
  EXPECT_EQ(u16(r, 40), native->min_char_or_byte2);
  EXPECT_EQ(u16(r, 42), native->max_char_or_byte2);
  EXPECT_EQ(u16(r, 44), native->default_char);
  uint32_t properties = u16(r, 46);
  EXPECT_EQ(properties, uint32_t(native->n_properties));
  EXPECT_EQ(s16(52), native->ascent);
  EXPECT_EQ(s16(54), native->descent);
  uint32_t infos = u32(r, 56);
  ASSERT_EQ(r.size(), 60 + 8 * properties + 12 * size_t(infos));
  for (uint32_t k = 0; k < properties; k++) {
    EXPECT_EQ(u32(r, 60 + 8 * k), uint32_t(native->properties[k].name));
    EXPECT_EQ(u32(r, 64 + 8 * k), uint32_t(native->properties[k].card32));
  }
  if (native->per_char && infos > 0x41) {
    size_t at = 60 + 8 * properties + 12 * 0x41;
    EXPECT_EQ(int16_t(u16(r, at + 4)), native->per_char[0x41 - native->min_char_or_byte2].width);
    EXPECT_EQ(int16_t(u16(r, at + 6)), native->per_char[0x41 - native->min_char_or_byte2].ascent);
  }
  XFreeFont(judge, native);

  // ListFontsWithInfo: one reply per name, then the last-reply marker.
  std::string pattern = "*";
  send(Request(big()).b(kListFontsWithInfo).b(0).s(0).s(3).s(uint32_t(pattern.size())).text(pattern).done());
  m = messages();
  int count = 0;
  XFontStruct *info = nullptr;
  char **names = XListFontsWithInfo(judge, pattern.c_str(), 3, &count, &info);
  ASSERT_GT(count, 0);
  ASSERT_EQ(m.size(), size_t(count) + 1);
  for (int k = 0; k < count; k++) {
    const Bytes &reply = m[k];
    uint32_t nameLength = reply[1];
    uint32_t nProperties = u16(reply, 46);
    EXPECT_EQ(int16_t(u16(reply, 52)), info[k].ascent);
    std::string name(reply.begin() + 60 + 8 * nProperties, reply.begin() + 60 + 8 * nProperties + nameLength);
    EXPECT_EQ(name, names[k]);
    EXPECT_EQ(u16(reply, 2), client->sequence & 0xffff);
  }
  EXPECT_EQ(m.back()[1], 0);  // the end marker
  XFreeFontInfo(names, info, count);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, FontGCTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

// A 24-bit head that offers only an emulated 8-bit PseudoColor visual.
class EmulatedGCTest : public CoreRequestOrderTest {
 protected:
  HarnessOptions options() const override { return {{"320x240x24"}, kEmulatePseudoColor8 | kEmulateOnly, {}}; }
};

TEST_P(EmulatedGCTest, CreateGCCarriesTheHeadsPixelsForTheDefaults) {
  ASSERT_EQ(screen->rootVisual->visualClass, PseudoColor);
  ASSERT_EQ(screen->rootVisual->depth, 8);
  // Without foreground and background: the background 1 is another pixel on the head, the
  // foreground 0 is 0 there too.
  send(Request(big()).b(55).b(0).s(0).i(clientId(1)).i(screen->root).i(0).done());
  auto written = pendingRequests();
  ASSERT_EQ(written.size(), 1u);
  const Bytes &create = written[0];
  EXPECT_EQ(create[0], 55);
  EXPECT_EQ(get(create, 12, 4, false), 1u << 3);
  ASSERT_EQ(create.size(), 20u);
  EXPECT_EQ(get(create, 16, 4, false), 0x010101u);
  // A client foreground and background are converted; nothing is added.
  send(Request(big()).b(55).b(0).s(0).i(clientId(2)).i(screen->root).i(0xc).i(2).i(3).done());
  written = pendingRequests();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(get(written[1], 12, 4, false), 0xcu);
  EXPECT_EQ(get(written[1], 16, 4, false), 0x020202u);
  EXPECT_EQ(get(written[1], 20, 4, false), 0x030303u);
  EXPECT_TRUE(messages().empty());
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, EmulatedGCTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
}  // namespace corerequests
