// XIE photoflos on the fake core with one, two and three heads side by side: the rewriting of
// drawable imports into paste-ups of per-head parts and of drawable exports into one copy per
// head, hostile element counts and lengths (refused, nothing written), the import table of an
// execution that a destroy right behind it cannot pull away, and the photoflos of a 'B' client
// swapped element by element (technique parameters included) before they are rewritten.
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
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/xie.h"

namespace {

constexpr uint8_t kXie = 152, kFirstEvent = 100, kFirstError = 170;

// Elements as words, halves and bytes, in the proxy's own order unless most significant first.
struct Elements {
  std::vector<uint8_t> d;
  bool big = false;
  Elements &b(uint8_t v) { d.push_back(v); return *this; }
  Elements &s(uint16_t v) { return big ? b(uint8_t(v >> 8)).b(uint8_t(v)) : b(uint8_t(v)).b(uint8_t(v >> 8)); }
  Elements &i(uint32_t v) { return big ? s(uint16_t(v >> 16)).s(uint16_t(v)) : s(uint16_t(v)).s(uint16_t(v >> 16)); }
  // ImportDrawable: drawable, source x, y, width, height, fill, notify.
  Elements &importDrawable(uint32_t drawable, int16_t x, int16_t y, uint16_t w, uint16_t h) {
    return s(4).s(6).i(drawable).s(uint16_t(x)).s(uint16_t(y)).s(w).s(h).i(0).i(0);
  }
  // ExportDrawable: source, x, y, drawable, GC.
  Elements &exportDrawable(uint16_t source, uint32_t drawable, uint32_t gc) {
    return s(33).s(5).s(source).s(0).s(0).s(0).i(drawable).i(gc);
  }
  Elements &importLUT(uint32_t lut) { return s(6).s(2).i(lut); }
};

class XieTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    heads = GetParam();
    screen = core.addScreen(1200, 600, heads);
    // A second meta screen of fewer heads (two beside three, else one).
    small = core.addScreen(800, 480, heads == 3 ? 2 : 1);
    proxyState.maxHeadsPerMetaScreen = uint32_t(heads);
    core.addRealDisplay();
    ExtensionRecord *record = &proxyState.extensions[kXie];
    *record = ExtensionRecord{};
    record->majorOpcode = kXie, record->firstEvent = kFirstEvent, record->firstError = kFirstError;
    record->version = 320;
    ASSERT_EQ(xieSetup(record), nullptr);
  }
  void TearDown() override {
    extReset(&proxyState.extensions[kXie]);
    proxyState.maxHeadsPerMetaScreen = 0;
  }
  std::vector<FakeBytes> written(FakeClient &c) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == kXie) out.push_back(r);
    return out;
  }
  std::vector<int> errors(FakeClient &c) {
    std::vector<int> out;
    for (auto &m : core.messages(c))
      if (m[0] == 0) out.push_back(m[1]);
    return out;
  }
  FakeBytes createFlo(FakeClient &c, uint32_t flo, const Elements &e, uint16_t count) {
    FakeMessage m(c.big);
    m.b(kXie).b(17).s(0).i(flo).s(count).s(0);
    m.d.insert(m.d.end(), e.d.begin(), e.d.end());
    return m.done();
  }

  FakeCore core;
  MetaScreen *screen = nullptr, *small = nullptr;
  int heads = 1;
};

// A window at 500..900 across the heads' borders (1200 / heads wide each), read from 510 to 890:
// each copy reads its head's part with that head's window id, its tile at the part's offset.
// With three heads the first copy has no part on head 0 and reads head 1's part.
TEST_P(XieTest, ImportsBecomeAPasteUpOfPerHeadPartsAndExportsACopyPerHead) {
  FakeClient &c = core.addClient(false);
  FakeCore::Current current(c);
  WindowRecord *w = windowCreate(c.id(1), core.root(screen), 500, 100, 400, 200, 0, 1, 0);
  ASSERT_NE(w, nullptr);
  uint32_t gc = c.id(2), lut = c.id(3);
  Elements e;
  e.importDrawable(w->id, 10, 20, 380, 100).importLUT(lut).exportDrawable(1, w->id, gc);
  uint64_t size = 0, extra = 0;
  uint32_t imports = 0, added = 0;
  ASSERT_EQ(xieMeasureElements(e.d.data(), uint32_t(e.d.size()), 3, &size, &extra, &imports, &added), 0);
  const uint32_t H = uint32_t(heads);
  EXPECT_EQ(size, 28 + 12 * H + 8 + 20);
  EXPECT_EQ(extra, 24 * H + 20 * (H - 1));
  EXPECT_EQ(imports, 1u);
  EXPECT_EQ(added, 2 * H - 1);
  std::vector<uint8_t> out(size), more(extra);
  XieImportTable *table = xieNewTable(1, H);
  std::vector<XieElementRecord> records(4);
  uint8_t error = 0;
  ASSERT_EQ(xieRewriteElements(e.d.data(), uint32_t(e.d.size()), 3, out.data(), size, more.data(), extra, 4, table,
                               records.data(), &error),
            int64_t(2 * H - 1));
  auto hs = core.heads(screen);
  // (head, source x, width, tile x) of each copy, by head count.
  struct Part { int head, x, width, tile; };
  const std::vector<std::vector<Part>> expected = {
      {{0, 10, 380, 0}}, {{0, 10, 90, 0}, {1, 100, 290, 90}}, {{1, 10, 290, 0}, {1, 10, 290, 0}, {2, 300, 90, 290}}};
  EXPECT_EQ(wireGet16(&out[0]), 26u);
  EXPECT_EQ(wireGet16(&out[2]), 7 + 3 * H);
  EXPECT_EQ(wireGet16(&out[4]), H);
  EXPECT_EQ(wireGet32(&out[8]), 380u);
  EXPECT_EQ(wireGet32(&out[12]), 100u);
  for (int k = 16; k < 28; k++) EXPECT_EQ(out[k], 0) << "constant byte " << k;
  for (uint32_t i = 0; i < H; i++) {
    const Part &p = expected[size_t(heads - 1)][i];
    const uint8_t *tile = &out[28 + 12 * i], *copy = &more[24 * i];
    EXPECT_EQ(wireGet16(tile), 4 + i) << i;
    EXPECT_EQ(int32_t(wireGet32(tile + 4)), p.tile) << i;
    EXPECT_EQ(wireGet32(tile + 8), 0u) << i;
    EXPECT_EQ(wireGet16(copy), 4u);
    EXPECT_EQ(wireGet16(copy + 2), 6u);
    EXPECT_EQ(wireGet32(copy + 4), core.realId(w->id, hs[size_t(p.head)])) << i;
    EXPECT_EQ(int16_t(wireGet16(copy + 8)), p.x) << i;
    EXPECT_EQ(wireGet16(copy + 10), 20u);
    EXPECT_EQ(wireGet16(copy + 12), uint32_t(p.width)) << i;
    EXPECT_EQ(wireGet16(copy + 14), 100u);
  }
  // The LUT is the first head's; the export names each head's window and GC.
  EXPECT_EQ(wireGet32(&out[28 + 12 * H + 4]), core.realId(lut, hs[0]));
  for (uint32_t i = 0; i < H; i++) {
    const uint8_t *exportCopy = i == 0 ? &out[28 + 12 * H + 8] : &more[24 * H + 20 * (i - 1)];
    EXPECT_EQ(wireGet16(exportCopy), 33u);
    EXPECT_EQ(wireGet32(exportCopy + 12), core.realId(w->id, hs[i])) << i;
    EXPECT_EQ(wireGet32(exportCopy + 16), core.realId(gc, hs[i])) << i;
  }
  // An export to a meta screen of fewer heads: its heads in order, then its first again.
  WindowRecord *narrow = windowCreate(c.id(4), core.root(small), 0, 0, 10, 10, 0, 1, 0);
  Elements x;
  x.exportDrawable(1, narrow->id, gc);
  std::vector<uint8_t> first(20), copies(20 * (H - 1) + 1);
  ASSERT_EQ(xieRewriteElements(x.d.data(), 20, 1, first.data(), 20, copies.data(), copies.size(), 2, nullptr, nullptr,
                               &error),
            int64_t(H - 1));
  auto narrowHeads = core.heads(small);
  for (uint32_t i = 0; i < H; i++)
    EXPECT_EQ(wireGet32((i ? &copies[20 * (i - 1)] : &first[0]) + 12),
              core.realId(narrow->id, narrowHeads[i < narrowHeads.size() ? i : 0]))
        << i;
  ASSERT_EQ(table->count, 1u);
  EXPECT_EQ(table->pairs[0].firstCopy, 4u);
  EXPECT_EQ(table->pairs[0].element, 1u);
  EXPECT_EQ(xieClientElementNumber(table, 4 + H - 1), 1u);
  EXPECT_EQ(xieClientElementNumber(table, 4 + H), 4 + H);
  EXPECT_EQ(records[0].width, 400u);
  EXPECT_EQ(records[0].x, 500);
  EXPECT_EQ(records[2].type, 33u);
  EXPECT_EQ(records[2].width, 0u);
  xieDropTable(table);
}

// Counts and lengths that do not fit the bytes: BadLength, and nothing is written to the
// buffers, the table or the records. Too many elements with the copies: BadAlloc.
TEST_P(XieTest, HostileElementsAreRefusedBeforeAnythingIsWritten) {
  FakeClient &c = core.addClient(false);
  FakeCore::Current current(c);
  Elements two;
  two.importDrawable(c.id(1), 0, 0, 10, 10).importLUT(c.id(3));
  auto withLength = [&](uint16_t words) {
    Elements e = two;
    wirePut16(&e.d[2], words);
    return e;
  };
  Elements shortImport;  // ImportDrawable of 3 words: it lacks its size fields
  shortImport.s(4).s(3).i(c.id(1)).s(0).s(0);
  struct Case { const char *what; Elements e; uint32_t count; uint8_t code; } cases[] = {
      {"count past the end", two, 3, 16},      {"count short of the bytes", two, 1, 16},
      {"length 0", withLength(0), 2, 16},      {"length 0xffff", withLength(0xffff), 2, 16},
      {"fields cut", shortImport, 1, 16},     {"count 0xffff", two, 0xffff, 16},
  };
  for (const Case &k : cases) {
    std::vector<uint8_t> out(4096, 0xab), more(4096, 0xab);
    XieImportTable *table = xieNewTable(4, uint32_t(heads));
    std::vector<XieElementRecord> records(4);
    memset(records.data(), 0x5c, records.size() * sizeof(XieElementRecord));
    uint8_t error = 0;
    EXPECT_EQ(xieRewriteElements(k.e.d.data(), uint32_t(k.e.d.size()), k.count, out.data(), out.size(), more.data(),
                                 more.size(), 3, table, records.data(), &error),
              -1)
        << k.what;
    EXPECT_EQ(error, k.code) << k.what;
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xab), 4096) << k.what;
    EXPECT_EQ(std::count(more.begin(), more.end(), 0xab), 4096) << k.what;
    EXPECT_EQ(table->count, 0u) << k.what;
    EXPECT_EQ(reinterpret_cast<uint8_t *>(records.data())[0], 0x5c) << k.what;
    xieDropTable(table);
  }
  Elements many;
  for (int k = 0; k < 40000; k++) many.importDrawable(c.id(1), 0, 0, 1, 1);
  uint64_t size = 0, extra = 0;
  uint32_t imports = 0, added = 0;
  EXPECT_EQ(xieMeasureElements(many.d.data(), uint32_t(many.d.size()), 40000, &size, &extra, &imports, &added), 11);
  // Elements exactly of their protocol sizes are whole: ConvertFromIndex is 12 bytes (source,
  // class, precision, colormap), ConvertToIndex 20.
  Elements exact;
  exact.s(16).s(3).s(1).s(0x0801).i(c.id(7)).s(18).s(5).s(1).s(0).i(c.id(7)).i(c.id(8)).s(0).s(0);
  EXPECT_EQ(xieMeasureElements(exact.d.data(), uint32_t(exact.d.size()), 2, &size, &extra, &imports, &added), 0);
  EXPECT_EQ(size, 32u);
}

// Through the request handlers: a used flo id is refused before anything is built; an
// ExecutePhotoflo and a DestroyPhotoflo in one go leave the execution its own table, which maps
// ImportObscured back to the client's element; a moved window brings two ModifyPhotoflo ahead of
// the run; ModifyPhotoflo from element 0 goes as it came but for the flo id.
TEST_P(XieTest, StoredFloRequests) {
  FakeClient &c = core.addClient(false);
  FakeCore::Current current(c);
  WindowRecord *w = windowCreate(c.id(1), core.root(screen), 500, 100, 400, 200, 0, 1, 0);
  ASSERT_NE(w, nullptr);
  core.serverRequests(c);
  Elements e;
  e.importDrawable(w->id, 0, 0, 400, 200).exportDrawable(1, w->id, c.id(2));
  core.send(c, createFlo(c, w->id, e, 2));  // the window's id is taken
  EXPECT_EQ(errors(c), std::vector<int>{14});
  EXPECT_TRUE(written(c).empty());
  uint32_t flo = c.id(5);
  core.send(c, createFlo(c, flo, e, 2));
  auto created = written(c);
  ASSERT_EQ(created.size(), 1u);
  const uint32_t H = uint32_t(heads);
  EXPECT_EQ(wireGet32(&created[0][4]), core.realId(flo, core.heads(screen)[0]));
  EXPECT_EQ(wireGet16(&created[0][8]), 2 + 2 * H - 1);

  w->x += 10;  // moved after the flo was written
  core.send(c, FakeMessage(false).b(kXie).b(19).s(0).i(flo).i(0).done());
  uint16_t executed = uint16_t(c.client->displays[0]->lastWrittenSequence);
  core.send(c, FakeMessage(false).b(kXie).b(18).s(0).i(flo).done());
  EXPECT_EQ(resourceLookupByType(flo, kResourceXie), nullptr);
  FakeBytes obscured(32, 0);
  obscured[0] = kFirstEvent + 3;
  wirePut16(&obscured[2], executed);
  wirePut32(&obscured[12], core.realId(flo, core.heads(screen)[0]));
  wirePut16(&obscured[16], uint16_t(3 + H - 1));  // the last copy of the import
  wirePut32(&obscured[20], core.realId(w->id, core.heads(screen)[H - 1]));
  core.feedEvents(c, {obscured});
  auto got = core.messages(c);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(c.u16(got[0], 16), 1u);
  EXPECT_EQ(c.u32(got[0], 20), w->id);
  EXPECT_EQ(c.u32(got[0], 12), flo);
  auto run = written(c);
  ASSERT_EQ(run.size(), 4u);
  EXPECT_EQ(run[0][1], 20);
  EXPECT_EQ(wireGet16(&run[0][8]), 1u);
  EXPECT_EQ(wireGet16(&run[0][10]), 1u);
  EXPECT_EQ(wireGet16(&run[0][12]), 26u);
  EXPECT_EQ(run[1][1], 20);
  EXPECT_EQ(wireGet16(&run[1][8]), 3u);
  EXPECT_EQ(wireGet16(&run[1][10]), H);
  EXPECT_EQ(run[2][1], 19);
  EXPECT_EQ(run[3][1], 18);

  uint32_t other = c.id(6);
  core.send(c, createFlo(c, other, e, 2));
  written(c);
  FakeMessage modify(false);
  modify.b(kXie).b(20).s(0).i(other).s(0).s(1);
  modify.d.insert(modify.d.end(), e.d.begin(), e.d.begin() + 24);
  FakeBytes request = modify.done();
  core.send(c, request);
  auto modified = written(c);
  ASSERT_EQ(modified.size(), 1u);
  EXPECT_EQ(wireGet32(&modified[0][4]), core.realId(other, core.heads(screen)[0]));
  EXPECT_TRUE(std::equal(request.begin() + 8, request.end(), modified[0].begin() + 8));
  EXPECT_TRUE(errors(c).empty());
}

// ModifyPhotoflo that changes an element's kind goes unchanged but for the flo id, with "UNE";
// one that keeps it updates the record (a later run rebuilds nothing). RedefinePhotoflo with
// elements that do not fit its length is refused and keeps the record; a sound one replaces it.
TEST_P(XieTest, ModifyAndRedefineKeepTheRecordSound) {
  FakeClient &c = core.addClient(false);
  FakeCore::Current current(c);
  WindowRecord *w = windowCreate(c.id(1), core.root(screen), 500, 100, 400, 200, 0, 1, 0);
  WindowRecord *v = windowCreate(c.id(2), core.root(screen), 10, 10, 100, 100, 0, 1, 0);
  ASSERT_NE(v, nullptr);
  uint32_t flo = c.id(5);
  Elements e;
  e.importDrawable(w->id, 0, 0, 400, 200).importLUT(c.id(3));
  core.send(c, createFlo(c, flo, e, 2));
  written(c);
  auto modify = [&](const Elements &with) {
    FakeMessage m(false);
    m.b(kXie).b(20).s(0).i(flo).s(1).s(1);
    m.d.insert(m.d.end(), with.d.begin(), with.d.end());
    return m.done();
  };
  Elements lut;
  lut.importLUT(c.id(4));
  core.send(c, modify(lut));
  EXPECT_TRUE(core.logged("UNE"));
  auto unchanged = written(c);
  ASSERT_EQ(unchanged.size(), 1u);
  EXPECT_EQ(wireGet16(&unchanged[0][12]), 6u);
  Elements other;
  other.importDrawable(v->id, 0, 0, 50, 50);
  core.send(c, modify(other));
  auto rewritten = written(c);
  ASSERT_EQ(rewritten.size(), 2u);  // the copies first, then the PasteUp in place
  EXPECT_EQ(wireGet16(&rewritten[0][8]), 3u);
  EXPECT_EQ(wireGet16(&rewritten[1][12]), 26u);
  w->x += 50;  // the old window moves: its import is gone from the flo
  core.send(c, FakeMessage(false).b(kXie).b(19).s(0).i(flo).i(0).done());
  auto run = written(c);
  ASSERT_EQ(run.size(), 1u);
  EXPECT_EQ(run[0][1], 19);

  FakeMessage bad(false);
  bad.b(kXie).b(21).s(0).i(flo).s(3).s(0);
  bad.d.insert(bad.d.end(), e.d.begin(), e.d.end());
  core.send(c, bad.done());
  EXPECT_EQ(errors(c), std::vector<int>{16});
  auto *record = static_cast<XiePhotofloRecord *>(resourceLookupByType(flo, kResourceXie));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->elementCount, 2u);
  ASSERT_NE(record->elements, nullptr);
  EXPECT_EQ(wireGet32(record->elements[0].element + 4), v->id);
  FakeMessage redefine(false);
  redefine.b(kXie).b(21).s(0).i(flo).s(1).s(0);
  redefine.d.insert(redefine.d.end(), lut.d.begin(), lut.d.end());
  core.send(c, redefine.done());
  EXPECT_EQ(record->elementCount, 1u);
  EXPECT_EQ(record->imports, nullptr);
  EXPECT_EQ(written(c).size(), 1u);
  EXPECT_TRUE(errors(c).empty());
}

// A client of the other byte order: its photoflos reach the server in the proxy's order, every
// field and the technique parameters swapped as their element and technique lay them out, and
// are rewritten as any other (its import's window found again when it has moved); elements
// that do not fit are refused before anything is swapped or written; its LUT is made.
TEST_P(XieTest, ReversedClientsFlosAreSwappedIntoOurOrder) {
  FakeClient &c = core.addClient(true);
  FakeCore::Current current(c);
  WindowRecord *w = windowCreate(c.id(1), core.root(screen), 500, 100, 400, 200, 0, 1, 0);
  ASSERT_NE(w, nullptr);
  core.serverRequests(c);
  uint32_t gc = c.id(2), flo = c.id(5);
  Elements e;
  e.big = true;
  e.importDrawable(w->id, 0, 0, 400, 200);
  e.s(15).s(18).s(1).s(0).i(1).i(2).i(3).s(2).s(12);  // Constrain, clip-scale: 12 words
  for (uint32_t k = 0; k < 12; k++) e.i(0x01020304u + k);
  e.s(22).s(17).s(2).b(7).b(0);  // Geometry, gaussian: radius, simple, pad, sigma, normalize
  for (uint32_t k = 0; k < 11; k++) e.i(0x10000000u + k);
  e.s(10).s(3).b(2).b(1).s(0).i(0x3f800000).i(0x40000000);
  e.exportDrawable(3, w->id, gc);
  FakeMessage create(true);
  create.b(kXie).b(17).s(0).i(flo).s(4).b(1).b(0);
  create.d.insert(create.d.end(), e.d.begin(), e.d.end());
  core.send(c, create.done());
  EXPECT_TRUE(errors(c).empty());
  auto made = written(c);
  ASSERT_EQ(made.size(), 1u);
  const FakeBytes &f = made[0];
  const uint32_t H = uint32_t(heads);
  auto hs = core.heads(screen);
  EXPECT_EQ(wireGet32(&f[4]), core.realId(flo, hs[0]));
  EXPECT_EQ(wireGet16(&f[8]), 4 + 2 * H - 1);
  EXPECT_EQ(f[10], 1);
  size_t at = 12;
  EXPECT_EQ(wireGet16(&f[at]), 26u);  // the PasteUp
  EXPECT_EQ(wireGet32(&f[at + 8]), 400u);
  at += 28 + 12 * H;
  EXPECT_EQ(wireGet16(&f[at]), 15u);
  EXPECT_EQ(wireGet16(&f[at + 2]), 18u);
  EXPECT_EQ(wireGet32(&f[at + 16]), 3u);
  EXPECT_EQ(wireGet16(&f[at + 20]), 2u);
  EXPECT_EQ(wireGet16(&f[at + 22]), 12u);
  for (uint32_t k = 0; k < 12; k++) EXPECT_EQ(wireGet32(&f[at + 24 + 4 * k]), 0x01020304u + k) << k;
  at += 72;
  EXPECT_EQ(wireGet16(&f[at]), 22u);
  EXPECT_EQ(f[at + 6], 7);
  EXPECT_EQ(wireGet32(&f[at + 48]), 0x1000000au);
  EXPECT_EQ(wireGet16(&f[at + 52]), 10u);
  EXPECT_EQ(f[at + 56], 2);
  EXPECT_EQ(wireGet32(&f[at + 60]), 0x3f800000u);
  EXPECT_EQ(wireGet32(&f[at + 64]), 0x40000000u);
  at += 68;
  EXPECT_EQ(wireGet16(&f[at]), 33u);
  EXPECT_EQ(wireGet16(&f[at + 4]), 3u);
  EXPECT_EQ(wireGet32(&f[at + 12]), core.realId(w->id, hs[0]));
  EXPECT_EQ(wireGet32(&f[at + 16]), core.realId(gc, hs[0]));
  at += 20;
  EXPECT_EQ(wireGet16(&f[at]), 4u);  // the first copy of the import (three heads: nothing on the first)
  EXPECT_EQ(wireGet32(&f[at + 4]), core.realId(w->id, hs[H == 3 ? 1 : 0]));

  // The record holds the import in our order: a move rebuilds it before the run.
  w->x += 10;
  core.send(c, FakeMessage(true).b(kXie).b(19).s(0).i(flo).b(0).pad(3).done());
  auto run = written(c);
  ASSERT_EQ(run.size(), 3u);
  EXPECT_EQ(run[0][1], 20);
  EXPECT_EQ(run[2][1], 19);
  // ModifyPhotoflo of the Constrain to hard clipping (no parameters), in our order.
  FakeMessage modify(true);
  modify.b(kXie).b(20).s(0).i(flo).s(2).s(1).s(15).s(6).s(1).s(0).i(9).i(8).i(7).s(4).s(0);
  core.send(c, modify.done());
  auto modified = written(c);
  ASSERT_EQ(modified.size(), 1u);
  EXPECT_EQ(wireGet16(&modified[0][8]), 2u);
  EXPECT_EQ(wireGet16(&modified[0][10]), 1u);
  EXPECT_EQ(wireGet32(&modified[0][20]), 9u);
  EXPECT_EQ(wireGet16(&modified[0][32]), 4u);
  // An element longer than the request: BadLength, nothing written.
  FakeMessage bad(true);
  bad.b(kXie).b(21).s(0).i(flo).s(1).s(0).s(6).s(3).i(c.id(3));
  core.send(c, bad.done());
  EXPECT_EQ(errors(c), std::vector<int>{16});
  EXPECT_TRUE(written(c).empty());
  EXPECT_EQ(static_cast<XiePhotofloRecord *>(resourceLookupByType(flo, kResourceXie))->elementCount, 4u);

  core.send(c, FakeMessage(true).b(kXie).b(7).s(0).i(c.id(3)).done());
  made = written(c);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(wireGet32(&made[0][4]), core.realId(c.id(3), core.heads(screen)[0]));
  EXPECT_NE(resourceLookupByType(c.id(3), kResourceScreenResource), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Heads, XieTest, ::testing::Values(1, 2, 3));

}  // namespace
