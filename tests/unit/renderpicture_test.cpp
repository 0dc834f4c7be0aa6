// RENDER pictures, glyph sets and drawing on the fake core, in both byte orders: the length
// rules, the order of the checks, one copy per head with that head's ids and formats (value
// lists and glyph-set changes inside glyph lists included), the records' lifetimes and the
// request writers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/render.h"

namespace {

constexpr uint8_t kMajor = 150;
constexpr uint8_t kBadDrawable = 9, kBadIDChoice = 14, kBadLength = 16, kBadImplementation = 17;
constexpr uint32_t kPlainFormat = 0x41, kScreenFormat = 0x42;  // the proxy's format ids

// Meta screen A with two heads side by side and meta screen B with one, all on one real
// display; the RENDER rows installed under kMajor; two formats: an A8-like one without visuals
// and one carrying A's visuals, each with its own id on every head.
class RenderPictureTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    a = core.addScreen(1600, 600, 2);
    b = core.addScreen(800, 600, 1);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    for (MetaScreen *ms : {a, b})
      for (Head *h : core.heads(ms)) heads.push_back(h);
    record = &proxyState.extensions[kMajor];
    ASSERT_EQ(extRegister(record, "RENDER", 0, 5), nullptr);
    ASSERT_EQ(renderWriteErrorRows(record), nullptr);
    for (unsigned minor = 0; minor < 64; minor++)
      if (const ExtRequestRow *row = renderPictureRow(uint8_t(minor))) rows.push_back(*row);
    extWriteRows(record, ExtRequestTable{rows.data(), rows.size()});
    proxyState.ext.render = record;
    formats = static_cast<RenderPictFormat *>(calloc(2, sizeof(RenderPictFormat)));
    formats[0].id = kPlainFormat, formats[0].type = 1, formats[0].depth = 8;
    formats[1].id = kScreenFormat, formats[1].type = 1, formats[1].depth = 32;
    formats[1].metaScreenIndex = uint16_t(a->index), formats[1].visuals[0] = 0x21;
    for (Head *h : heads) {
      formats[0].idsPerHead[h->idIndex] = 0x500 + h->idIndex;
      formats[1].idsPerHead[h->idIndex] = 0x600 + h->idIndex;
    }
    proxyState.ext.renderFormats = formats;
    proxyState.ext.renderFormatCount = 2;
    if (!resourceTableOf(0)) resourceInitClient(0);
    ASSERT_TRUE(resourceAdd(kPlainFormat, kResourceRenderFormat, &formats[0]));
    ASSERT_TRUE(resourceAdd(kScreenFormat, kResourceRenderFormat, &formats[1]));
    FakeCore::Current current(*client);
    window = windowCreate(client->id(1), core.root(a), 700, 100, 200, 50, 0, 0, 0);
    ASSERT_NE(window, nullptr);
    pixmap = resourceCreatePixmap(client->id(2), a, nullptr, 16, 16, 32);
    ASSERT_NE(pixmap, nullptr);
    core.serverRequests(*client);
  }
  void TearDown() override {
    resourceFree(kPlainFormat, 0);
    resourceFree(kScreenFormat, 0);
    proxyState.ext.renderFormats = nullptr;
    proxyState.ext.renderFormatCount = 0;
    free(formats);
    extResetAll();
  }

  FakeMessage req(uint8_t minor) { return std::move(FakeMessage(client->big).b(kMajor).b(minor).s(0)); }
  // Sends a request as the client; the RENDER requests written towards the real server.
  std::vector<FakeBytes> send(const FakeBytes &bytes) {
    {
      FakeCore::Current current(*client);
      core.send(*client, bytes);
    }
    std::vector<FakeBytes> out;
    for (FakeBytes &r : core.serverRequests(*client))
      if (r[0] == kMajor) out.push_back(r);
    return out;
  }
  // One error expected: its code and bad value.
  void expectError(uint8_t code, uint32_t value) {
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], code);
    EXPECT_EQ(client->u32(got[0], 4), value);
    EXPECT_EQ(client->u16(got[0], 2), client->client->sequence & 0xffff);
  }
  void expectNoError() { EXPECT_TRUE(core.messages(*client).empty()); }
  uint8_t firstError() const { return record->firstError; }
  static uint32_t at(const FakeBytes &copy, size_t offset) { return rawGet32(copy, offset, false); }
  uint32_t real(uint32_t id, size_t head) const { return core.realId(id, heads[head]); }

  FakeBytes createPicture(uint32_t id, uint32_t drawable, uint32_t format, uint32_t mask = 0,
                          const std::vector<uint32_t> &values = {}) {
    FakeMessage m = req(4);
    m.i(id).i(drawable).i(format).i(mask);
    for (uint32_t v : values) m.i(v);
    return m.done();
  }
  FakeBytes solidFill(uint32_t id) { return req(33).i(id).s(1).s(2).s(3).s(4).done(); }
  FakeBytes composite(uint32_t source, uint32_t mask, uint32_t destination) {
    return req(8).b(3).b(0).s(0).i(source).i(mask).i(destination).s(1).s(2).s(3).s(4).s(5).s(6).s(7).s(8).done();
  }
  FakeBytes glyphSet(uint8_t minor, uint32_t id, uint32_t other) { return req(minor).i(id).i(other).done(); }

  FakeCore core;
  MetaScreen *a = nullptr, *b = nullptr;
  std::vector<Head *> heads;  // A's two, then B's
  FakeClient *client = nullptr;
  ExtensionRecord *record = nullptr;
  std::vector<ExtRequestRow> rows;
  RenderPictFormat *formats = nullptr;
  WindowRecord *window = nullptr;
  PixmapRecord *pixmap = nullptr;
};

// Each length rule answers BadLength with the received length, and nothing is written.
TEST_P(RenderPictureTest, LengthRules) {
  uint32_t id = client->id(10);
  struct Case {
    const char *name;
    FakeMessage m;
  };
  std::vector<Case> cases;
  cases.push_back({"CreatePicture one value too many", std::move(req(4).i(id).i(window->id).i(kPlainFormat).i(1).i(1).i(0))});
  cases.push_back({"CreatePicture values missing", std::move(req(4).i(id).i(window->id).i(kPlainFormat).i(0x41))});
  cases.push_back({"ChangePicture one value too many", std::move(req(5).i(id).i(0).i(0))});
  cases.push_back({"FreePicture", std::move(req(7).i(id).i(0))});
  cases.push_back({"Composite", std::move(req(8).pad(36))});
  cases.push_back({"FillRectangles half a rectangle", std::move(req(26).pad(16 + 4))});
  cases.push_back({"AddTraps part of a trap", std::move(req(32).i(id).s(0).s(0).pad(12))});
  cases.push_back({"CreateAnimCursor half a frame", std::move(req(31).i(id).i(0))});
  cases.push_back({"CreateSolidFill", std::move(req(33).pad(16))});
  cases.push_back({"LinearGradient one stop short", std::move(req(34).i(id).pad(16).i(2).i(0).s(0).s(0).s(0).s(0).pad(8))});
  cases.push_back({"ConicalGradient count beyond the request",
                   std::move(req(36).i(id).pad(12).i(0xffffffff).pad(12))});
  cases.push_back({"CreateGlyphSet", std::move(req(17).pad(4))});
  for (Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeBytes bytes = c.m.done();
    EXPECT_TRUE(send(bytes).empty());
    expectError(kBadLength, uint32_t(bytes.size()));
    EXPECT_EQ(resourceLookupAny(id), nullptr);
  }
}

// CreatePicture's checks in order: a used id before the format, the format before the
// drawable; a GC is no drawable. Requests the proxy does not serve answer BadImplementation.
TEST_P(RenderPictureTest, CreatePictureChecks) {
  uint32_t id = client->id(10);
  auto *gc = static_cast<GCRecord *>(calloc(1, sizeof(GCRecord)));
  {
    FakeCore::Current current(*client);
    ASSERT_TRUE(resourceAdd(client->id(11), kResourceGC, gc));
  }
  EXPECT_TRUE(send(createPicture(window->id, window->id, 0x999)).empty());
  expectError(kBadIDChoice, window->id);
  EXPECT_TRUE(send(createPicture(id, window->id, 0x999)).empty());
  expectError(firstError() + 0, 0x999);
  EXPECT_TRUE(send(createPicture(id, client->id(11), kPlainFormat)).empty());
  expectError(kBadDrawable, client->id(11));
  EXPECT_TRUE(send(createPicture(id, client->id(99), kPlainFormat)).empty());
  expectError(kBadDrawable, client->id(99));
  EXPECT_EQ(resourceLookupAny(id), nullptr);
  EXPECT_EQ(window->renderPictures, nullptr);
  for (uint8_t minor : {14, 15, 21}) {
    EXPECT_TRUE(send(req(minor).pad(8).done()).empty());
    expectError(kBadImplementation, minor);
  }
}

// The copies of a CreatePicture carry each head's picture, drawable, format, alpha map and clip
// mask; the other values travel as they came.
TEST_P(RenderPictureTest, CreatePictureTranslatesPerHead) {
  uint32_t alpha = client->id(10), id = client->id(11);
  auto copies = send(createPicture(alpha, pixmap->id, kScreenFormat));
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(pixmap->refCount, 1u);
  // repeat, alpha map, alpha x origin, clip mask
  copies = send(createPicture(id, window->id, kScreenFormat, 1 | 2 | 4 | 64, {1, alpha, 5, pixmap->id}));
  expectNoError();
  ASSERT_EQ(copies.size(), 2u);
  for (size_t h = 0; h < 2; h++) {
    SCOPED_TRACE(h);
    const FakeBytes &c = copies[h];
    ASSERT_EQ(c.size(), 36u);
    EXPECT_EQ(at(c, 4), real(id, h));
    EXPECT_EQ(at(c, 8), real(window->id, h));
    EXPECT_EQ(at(c, 12), 0x600 + heads[h]->idIndex);
    EXPECT_EQ(at(c, 16), 0x47u);
    EXPECT_EQ(at(c, 20), 1u);
    EXPECT_EQ(at(c, 24), real(alpha, h));
    EXPECT_EQ(at(c, 28), 5u);
    EXPECT_EQ(at(c, 32), real(pixmap->id, h));
  }
  EXPECT_NE(at(copies[0], 24), at(copies[1], 24));
  auto *picture = static_cast<RenderPicture *>(resourceLookupByType(id, kResourcePicture));
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(window->renderPictures, picture);
  EXPECT_EQ(resourceMetaScreenOf(id), a);
  // ChangePicture: the clip mask alone (bit 6), for the picture's heads.
  copies = send(req(5).i(id).i(64).i(pixmap->id).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(at(copies[1], 4), real(id, 1));
  EXPECT_EQ(at(copies[1], 12), real(pixmap->id, 1));
}

// Drawing goes once to each head of the destination's meta screen with coordinates unchanged;
// sources without drawable are on every head; an unknown destination is BadPicture.
TEST_P(RenderPictureTest, DrawingGoesToTheDestinationsHeads) {
  uint32_t destination = client->id(10), fill = client->id(11);
  send(createPicture(destination, window->id, kScreenFormat));
  auto copies = send(solidFill(fill));
  ASSERT_EQ(copies.size(), 3u);
  EXPECT_EQ(at(copies[2], 4), real(fill, 2));
  copies = send(composite(fill, 0, destination));
  expectNoError();
  ASSERT_EQ(copies.size(), 2u);
  for (size_t h = 0; h < 2; h++) {
    EXPECT_EQ(at(copies[h], 8), real(fill, h));
    EXPECT_EQ(at(copies[h], 12), 0u);
    EXPECT_EQ(at(copies[h], 16), real(destination, h));
    for (size_t k = 0; k < 8; k++) EXPECT_EQ(rawGet16(copies[h], 20 + 2 * k, false), k + 1);
  }
  // Trapezoids: the mask format is each head's.
  copies = send(req(10).b(3).b(0).s(0).i(fill).i(destination).i(kPlainFormat).s(0).s(0).pad(40).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(at(copies[1], 16), 0x500 + heads[1]->idIndex);
  // A mask format the proxy does not offer is BadPictFormat and reaches no head: on the real
  // server the id may name another format, one without alpha. So for glyphs.
  for (uint8_t minor : {10, 11, 12, 13}) {
    SCOPED_TRACE(int(minor));
    EXPECT_TRUE(send(req(minor).b(3).b(0).s(0).i(fill).i(destination).i(0x500).s(0).s(0).pad(24).done()).empty());
    expectError(firstError(), 0x500);
  }
  EXPECT_TRUE(send(req(23).b(3).b(0).s(0).i(fill).i(destination).i(0x24).i(0).s(0).s(0).done()).empty());
  expectError(firstError(), 0x24);
  EXPECT_EQ(send(req(13).b(3).b(0).s(0).i(fill).i(destination).i(0).s(0).s(0).pad(24).done()).size(), 2u);
  expectNoError();
  // FillRectangles, SetPictureTransform on a gradient source (on every head).
  EXPECT_EQ(send(req(26).b(3).b(0).s(0).i(destination).s(1).s(2).s(3).s(4).s(0).s(0).s(9).s(9).done()).size(), 2u);
  EXPECT_EQ(send(req(28).i(fill).pad(36).done()).size(), 3u);
  expectNoError();
  uint32_t unknown = client->id(77);
  EXPECT_TRUE(send(composite(fill, 0, unknown)).empty());
  expectError(firstError() + 1, unknown);
  EXPECT_TRUE(send(composite(fill, 0, window->id)).empty());  // a window is no picture
  expectError(firstError() + 1, window->id);
}

// FreePicture frees pictures only; a picture's copies go to its heads and it leaves its
// window; a window going with its pictures writes nothing.
TEST_P(RenderPictureTest, FreePictureAndWindowPictures) {
  EXPECT_TRUE(send(req(7).i(window->id).done()).empty());
  expectError(firstError() + 1, window->id);
  EXPECT_EQ(resourceLookupWindow(window->id), window);
  uint32_t p1 = client->id(10), p2 = client->id(11), p3 = client->id(12), fill = client->id(13);
  for (uint32_t id : {p1, p2, p3}) send(createPicture(id, window->id, kScreenFormat));
  send(solidFill(fill));
  auto copies = send(req(7).i(p2).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0][1], 7);
  EXPECT_EQ(at(copies[0], 4), real(p2, 0));
  EXPECT_EQ(at(copies[1], 4), real(p2, 1));
  EXPECT_EQ(resourceLookupAny(p2), nullptr);
  int onWindow = 0;
  for (RenderPicture *p = window->renderPictures; p; p = p->next) onWindow++;
  EXPECT_EQ(onWindow, 2);
  EXPECT_EQ(send(req(7).i(fill).done()).size(), 3u);  // no drawable: every head
  {
    FakeCore::Current current(*client);
    resourceFree(window->id, 0);
  }
  EXPECT_TRUE(send(req(7).i(p1).done()).empty());  // already gone with the window
  expectError(firstError() + 1, p1);
  EXPECT_EQ(resourceLookupAny(p3), nullptr);
}

// Glyph sets: a format without visuals puts them on every head, one with a meta screen's
// visuals on that screen's heads, and the heads of one real server (all of them here) hold one
// copy, made through the first; FreeGlyphs follows the glyph set; a second id keeps the record
// until both ids are freed.
TEST_P(RenderPictureTest, GlyphSets) {
  uint32_t everywhere = client->id(20), onA = client->id(21), second = client->id(22);
  auto copies = send(glyphSet(17, everywhere, kPlainFormat));
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(at(copies[0], 4), real(everywhere, 0));
  EXPECT_EQ(at(copies[0], 8), 0x500 + heads[0]->idIndex);
  EXPECT_EQ(send(glyphSet(17, onA, kScreenFormat)).size(), 1u);
  EXPECT_EQ(resourceMetaScreenOf(onA), a);
  // FreeGlyphs with three glyphs, and with none: whole, once for the server.
  for (bool none : {false, true}) {
    FakeMessage m = req(22);
    m.i(everywhere);
    if (!none) m.i(1).i(2).i(3);
    copies = send(m.done());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].size(), none ? 8u : 20u);
    EXPECT_EQ(at(copies[0], 4), real(everywhere, 0));
    copies = send(req(22).i(onA).i(7).done());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(at(copies[0], 4), real(onA, 0));
    EXPECT_EQ(at(copies[0], 8), 7u);
  }
  EXPECT_TRUE(send(req(22).i(window->id).done()).empty());
  expectError(firstError() + 3, window->id);
  // ReferenceGlyphSet: checked, then the same record under the second id.
  EXPECT_TRUE(send(glyphSet(18, second, client->id(99))).empty());
  expectError(firstError() + 3, client->id(99));
  copies = send(glyphSet(18, second, onA));
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(at(copies[0], 4), real(second, 0));
  EXPECT_EQ(at(copies[0], 8), real(onA, 0));
  void *shared = resourceLookupByType(onA, kResourceGlyphSet);
  EXPECT_EQ(resourceLookupByType(second, kResourceGlyphSet), shared);
  EXPECT_EQ(send(req(19).i(onA).done()).size(), 1u);
  EXPECT_EQ(resourceLookupAny(onA), nullptr);
  EXPECT_EQ(resourceLookupByType(second, kResourceGlyphSet), shared);
  EXPECT_EQ(static_cast<RenderGlyphSet *>(shared)->metaScreen, a);
  EXPECT_EQ(send(req(20).i(second).i(0).done()).size(), 1u);  // AddGlyphs without glyphs
  EXPECT_EQ(send(req(19).i(second).done()).size(), 1u);
  EXPECT_EQ(resourceLookupAny(second), nullptr);
  expectNoError();
}

// The glyph sets of a glyph list (at 20 and in its changes) are translated for each head to the
// one copy of the head's server; a list that claims more than it holds is walked no further
// than its bytes.
TEST_P(RenderPictureTest, CompositeGlyphsTranslatesEveryGlyphSet) {
  uint32_t destination = client->id(10), fill = client->id(11), g1 = client->id(20), g2 = client->id(21);
  send(createPicture(destination, window->id, kScreenFormat));
  send(solidFill(fill));
  send(glyphSet(17, g1, kPlainFormat));
  send(glyphSet(17, g2, kPlainFormat));
  auto head = [&](uint8_t minor) {
    FakeMessage m = req(minor);
    m.b(3).b(0).s(0).i(fill).i(destination).i(kPlainFormat).i(g1).s(0).s(0);
    return m;
  };
  struct Case {
    uint8_t minor;
    uint32_t glyphBytes;
  } cases[] = {{23, 1}, {24, 2}, {25, 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.minor));
    FakeMessage m = head(c.minor);
    // 3 glyphs of g1, a change to g2, 2 glyphs of g2
    m.b(3).pad(3).s(10).s(20);
    for (int k = 0; k < 3; k++) c.glyphBytes == 1 ? m.b(k) : c.glyphBytes == 2 ? m.s(k) : m.i(k);
    m.align();
    size_t change = m.d.size() + 8;
    m.b(255).pad(3).s(0).s(0).i(g2);
    m.b(2).pad(3).s(1).s(1);
    for (int k = 0; k < 2; k++) c.glyphBytes == 1 ? m.b(k) : c.glyphBytes == 2 ? m.s(k) : m.i(k);
    m.align();
    auto copies = send(m.done());
    expectNoError();
    ASSERT_EQ(copies.size(), 2u);
    for (size_t h = 0; h < 2; h++) {
      EXPECT_EQ(at(copies[h], 16), 0x500 + heads[h]->idIndex);
      EXPECT_EQ(at(copies[h], 20), real(g1, 0));
      EXPECT_EQ(at(copies[h], change), real(g2, 0));
      EXPECT_EQ(rawGet16(copies[h], 32, false), 10u);
    }
  }
  // Hostile lists: counts beyond the request, a change without its id, a lone header.
  std::vector<std::vector<uint8_t>> tails = {
      {254, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4},
      {255, 0, 0, 0, 0, 0, 0, 0},
      {255, 0, 0, 0, 0, 0, 0, 0, 1},
      {200, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0},
  };
  for (uint8_t minor : {23, 24, 25})
    for (const auto &tail : tails) {
      FakeMessage m = head(minor);
      m.d.insert(m.d.end(), tail.begin(), tail.end());
      m.align();
      FakeBytes bytes = m.done();
      auto copies = send(bytes);
      ASSERT_EQ(copies.size(), 2u);
      // Whole, and past the fixed part nothing changed for the head.
      EXPECT_EQ(copies[1].size(), bytes.size());
      EXPECT_EQ(copies[1][28], tail[0]);
      if (!client->big) {
        EXPECT_TRUE(std::equal(copies[1].begin() + 28, copies[1].end(), bytes.begin() + 28));
      }
    }
  core.messages(*client);
  EXPECT_TRUE(send(req(23).b(3).b(0).s(0).i(fill).i(destination).i(0).i(fill).s(0).s(0).done()).empty());
  expectError(firstError() + 3, fill);
}

// The writers put the proxy's own requests into a sink; without the RENDER record nothing.
TEST_P(RenderPictureTest, RequestWriters) {
  const RequestSink *sink = &client->client->displays[0]->reader.sink;
  uint32_t frames[4] = {0x11, 100, 0x12, 200};
  EXPECT_EQ(renderSendCreatePicture(sink, 0x101, 0x102, 0x103), 1);
  EXPECT_EQ(renderSendCreateCursor(sink, 0x201, 0x202, 3, 4), 1);
  EXPECT_EQ(renderSendCreateAnimCursor(sink, 0x301, frames, 2), 1);
  EXPECT_EQ(renderSendFreePicture(sink, 0x401), 1);
  auto written = core.serverRequests(*client);
  ASSERT_EQ(written.size(), 4u);
  const FakeBytes want[] = {
      {kMajor, 4, 5, 0, 1, 1, 0, 0, 2, 1, 0, 0, 3, 1, 0, 0, 0, 0, 0, 0},
      {kMajor, 27, 4, 0, 1, 2, 0, 0, 2, 2, 0, 0, 3, 0, 4, 0},
      {kMajor, 31, 6, 0, 1, 3, 0, 0, 0x11, 0, 0, 0, 100, 0, 0, 0, 0x12, 0, 0, 0, 200, 0, 0, 0},
      {kMajor, 7, 2, 0, 1, 4, 0, 0},
  };
  for (size_t k = 0; k < 4; k++) EXPECT_EQ(written[k], want[k]) << k;
  proxyState.ext.render = nullptr;
  EXPECT_EQ(renderSendCreatePicture(sink, 1, 2, 3), 0);
  EXPECT_EQ(renderSendFreePicture(sink, 1), 0);
  EXPECT_TRUE(core.serverRequests(*client).empty());
  proxyState.ext.render = record;
}

// An error of a real server reaches the client with its sequence; BadPicture and BadGlyphSet
// carry the client's ids.
TEST_P(RenderPictureTest, ServerErrorsMapped) {
  uint32_t id = client->id(10), set = client->id(20);
  send(createPicture(id, window->id, kScreenFormat));
  send(glyphSet(17, set, kPlainFormat));
  core.messages(*client);
  struct Case {
    uint8_t offset;
    uint32_t value, want;
  } cases[] = {{1, real(id, 1), id}, {3, real(set, 0), set}, {4, 0x1234, 0x1234}};
  for (const Case &c : cases) {
    uint16_t sequence = core.serverSequence(*client, 77);
    FakeMessage e(false);
    e.b(0).b(uint8_t(firstError() + c.offset)).s(sequence).i(c.value).s(8).b(kMajor).pad(21);
    core.feedServer(*client, e.d);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][1], firstError() + c.offset);
    EXPECT_EQ(client->u16(got[0], 2), 77u);
    EXPECT_EQ(client->u32(got[0], 4), c.want);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, RenderPictureTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
