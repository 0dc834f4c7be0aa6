// Emulated colormaps and visual distances, without a display.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include "proxy/main.h"
#include "proxy/xemulation.h"
#include "proxy/xvisual.h"

namespace {

uint32_t currentIndex = 0;
uint32_t currentClient() { return currentIndex; }

VisualRecord pseudoColor(int depth) {
  VisualRecord record{};
  record.visualId = 40;
  record.visualClass = PseudoColor;
  record.depth = static_cast<uint8_t>(depth);
  record.colormapEntries = static_cast<uint16_t>(1u << depth);
  record.bitsPerRgb = 8;
  record.channelMask = 0xff00;
  record.baseVisualId = 33;
  return record;
}

class EmulatedColormapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    xemulationSetClientIndexFunction(currentClient);
    currentIndex = 0;
  }
  void TearDown() override { xemulationSetClientIndexFunction(nullptr); }
  void make(int depth) {
    visual_ = pseudoColor(depth);
    ASSERT_EQ(xemulationCreateColormap(nullptr, 0, &visual_, &map_), nullptr);
  }
  VisualRecord visual_{};
  EmulatedColormap map_{};
};

TEST_F(EmulatedColormapTest, SharedCellsByOwner) {
  make(8);
  XColor a{}, b{};
  a.red = b.red = 0x12ff;  // masked to 0x1200
  currentIndex = 44;
  ASSERT_TRUE(xemulationAllocColor(nullptr, &map_, &a));
  currentIndex = 300;
  ASSERT_TRUE(xemulationAllocColor(nullptr, &map_, &b));
  EXPECT_EQ(a.pixel, b.pixel);
  EXPECT_EQ(map_.cells[a.pixel].red, 0x1200);

  unsigned long pixel = a.pixel;
  currentIndex = 44;
  xemulationFreeColors(nullptr, &map_, &pixel, 1, 0);
  EXPECT_EQ(map_.cells[pixel].state, 1);  // 300 still holds it
  xemulationFreeColors(nullptr, &map_, &pixel, 1, 0);  // 44 again: nothing changes
  EXPECT_EQ(map_.cells[pixel].state, 1);
  currentIndex = 300;
  xemulationFreeClientCells(&map_);
  EXPECT_EQ(map_.cells[pixel].state, 0);
}

TEST_F(EmulatedColormapTest, AllocCellsPlaneCases) {
  struct Case {
    int depth;
    bool contiguous;
    int planes;
    int pixels;
    bool ok;
    unsigned long firstPixel;
    unsigned long masks[8];
  } cases[] = {
      {8, true, 2, 1, true, 0, {0x1, 0x2}},
      {8, false, 0, 256, true, 0, {}},
      {8, false, 0, 257, false, 0, {}},
      {8, false, 8, 1, true, 0, {1, 2, 4, 8, 16, 32, 64, 128}},  // n = d
      {8, false, 9, 1, false, 0, {}},
      {4, true, 3, 2, true, 0, {0x1, 0x2, 0x4}},                 // bases 0 and 8
      {4, true, 4, 2, false, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "depth " << c.depth << " planes " << c.planes << " pixels " << c.pixels);
    make(c.depth);
    unsigned long masks[8] = {}, pixels[300] = {};
    ASSERT_EQ(xemulationAllocCells(nullptr, &map_, c.contiguous, masks, c.planes, pixels, c.pixels), c.ok);
    int taken = 0;
    for (const EmulatedCell &cell : map_.cells) taken += cell.state == 2;
    if (!c.ok) {
      EXPECT_EQ(taken, 0);
      continue;
    }
    EXPECT_EQ(pixels[0], c.firstPixel);
    for (int i = 0; i < c.planes; i++) EXPECT_EQ(masks[i], c.masks[i]) << i;
    EXPECT_EQ(taken, c.pixels << c.planes);
  }
}

TEST_F(EmulatedColormapTest, NonContiguousAndAllOrNothing) {
  make(4);
  XColor color{};
  ASSERT_TRUE(xemulationAllocColor(nullptr, &map_, &color));
  ASSERT_EQ(color.pixel, 0u);
  unsigned long masks[4], pixels[16];
  // 15 free cells: 16 pixels never fit, and nothing is taken.
  EXPECT_FALSE(xemulationAllocCells(nullptr, &map_, false, masks, 0, pixels, 16));
  EXPECT_FALSE(xemulationAllocCells(nullptr, &map_, false, masks, 3, pixels, 2));
  int used = 0;
  for (const EmulatedCell &cell : map_.cells) used += cell.state != 0;
  EXPECT_EQ(used, 1);

  // Depth 3 with cells 2 and 7 taken: both contiguous two-plane masks (0b011, 0b110) meet a
  // taken cell in every group; 0b101 with base 0 (cells 0, 1, 4, 5) is free.
  make(3);
  ASSERT_TRUE(xemulationAllocCells(nullptr, &map_, false, masks, 0, pixels, 8));
  unsigned long release[] = {0, 1, 3, 4, 5, 6};
  xemulationFreeColors(nullptr, &map_, release, 6, 0);
  EXPECT_FALSE(xemulationAllocCells(nullptr, &map_, true, masks, 2, pixels, 1));
  ASSERT_TRUE(xemulationAllocCells(nullptr, &map_, false, masks, 2, pixels, 1));
  EXPECT_EQ(pixels[0], 0u);
  EXPECT_EQ(masks[0], 0x1u);
  EXPECT_EQ(masks[1], 0x4u);
  for (unsigned pixel : {0u, 1u, 4u, 5u}) EXPECT_EQ(map_.cells[pixel].state, 2) << pixel;
  // Beyond the entries nothing is ever touched.
  for (unsigned pixel = 8; pixel < 256; pixel++) ASSERT_EQ(map_.cells[pixel].state, 0) << pixel;
}

TEST_F(EmulatedColormapTest, StoreAndQueryColors) {
  make(8);
  unsigned long masks[1], pixel;
  ASSERT_TRUE(xemulationAllocCells(nullptr, &map_, true, masks, 0, &pixel, 1));
  XColor shared{};
  shared.green = 0x4000;
  ASSERT_TRUE(xemulationAllocColor(nullptr, &map_, &shared));
  XColor items[4] = {};
  items[0].pixel = pixel;
  items[0].red = 0xabcd;
  items[0].flags = DoRed | DoGreen | DoBlue;
  items[1].pixel = shared.pixel;  // read-only
  items[1].flags = DoRed;
  items[1].red = 0xffff;
  items[2].pixel = 200;  // free
  items[2].flags = DoRed;
  items[3].pixel = 256;  // beyond the entries
  items[3].flags = DoRed;
  EXPECT_EQ(xemulationStoreColors(nullptr, &map_, items, 4), BadAccess);
  EXPECT_EQ(xemulationStoreColors(nullptr, &map_, &items[3], 1), BadValue);
  EXPECT_EQ(map_.cells[pixel].red, 0xab00);
  EXPECT_EQ(map_.cells[shared.pixel].red, 0);
  EXPECT_EQ(map_.cells[200].state, 0);
  EXPECT_EQ(xemulationStoreColors(nullptr, &map_, items, 1), 0);

  XColor query[2] = {};
  query[0].pixel = pixel;
  query[1].pixel = shared.pixel;
  ASSERT_TRUE(xemulationQueryColors(nullptr, &map_, query, 2));
  EXPECT_EQ(query[0].red, 0xab00);
  EXPECT_EQ(query[1].green, 0x4000);
  query[1].pixel = 256;
  EXPECT_FALSE(xemulationQueryColors(nullptr, &map_, query, 2));
}

TEST_F(EmulatedColormapTest, AddVisualsChoosesBase) {
  VisualRecord head[3] = {};
  head[0].visualId = 0x21;
  head[0].visualClass = TrueColor;
  head[0].depth = 24;
  head[1].visualId = 0x22;
  head[1].visualClass = DirectColor;
  head[1].depth = 24;
  head[1].colormapEntries = 256;
  head[1].bitsPerRgb = 8;
  xvisualSetMasks(&head[1], 0xff0000, 0xff00, 0xff);
  head[2] = head[1];
  head[2].visualId = 0x23;
  head[2].hasMatrices = 1;  // with gamma: the other one wins
  uint32_t before = proxyXidCounter;
  VisualRecord *made = nullptr;
  int count = 0;
  ASSERT_EQ(xemulationAddVisuals(nullptr, head, 3, kEmulatePseudoColor8 | kEmulatePseudoColor4 | 0x40, &made, &count),
            nullptr);
  ASSERT_EQ(count, 2);  // StaticColor has no base rule
  EXPECT_EQ(made[0].visualClass, PseudoColor);
  EXPECT_EQ(made[0].depth, 4);
  EXPECT_EQ(made[0].colormapEntries, 16);
  EXPECT_EQ(made[1].depth, 8);
  EXPECT_EQ(made[1].colormapEntries, 256);
  EXPECT_EQ(made[1].baseVisualId, 0x22u);
  EXPECT_EQ(made[1].visualId, before + 2);
  EXPECT_EQ(made[1].channelMask, 0xff00u);
  EXPECT_EQ(made[1].redMask, 0xff0000u);
  free(made);

  head[1].depth = head[2].depth = 8;
  ASSERT_EQ(xemulationAddVisuals(nullptr, head, 3, kEmulatePseudoColor4, &made, &count), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(made, nullptr);
}

TEST(XvisualDistanceTest, Cases) {
  VisualRecord a{};
  a.visualId = 0x21;
  a.visualClass = TrueColor;
  a.depth = 24;
  a.colormapEntries = 256;
  a.bitsPerRgb = 8;
  xvisualSetMasks(&a, 0xff0000, 0xff00, 0xff);
  VisualRecord b = a;
  b.visualId = 0x22;
  EXPECT_EQ(xvisualDistance(&a, &b, 0), 1u);
  EXPECT_EQ(xvisualDistance(&a, &a, 0), 0u);
  VisualRecord direct = a;
  direct.visualClass = DirectColor;
  EXPECT_EQ(xvisualDistance(&a, &direct, 0), 1000000u);
  VisualRecord layered = b;
  layered.layer = 1;
  EXPECT_EQ(xvisualDistance(&a, &layered, 1), 3u);
  EXPECT_GE(xvisualDistance(&a, &layered, 0), 1000000u);
  VisualRecord doubled = b;
  doubled.doubleBuffered = 1;
  EXPECT_EQ(xvisualDistance(&a, &doubled, 0), 3u);
  EXPECT_EQ(xvisualDistance(&doubled, &a, 0), 4097u);
  VisualRecord emulated = b;
  emulated.baseVisualId = 0x30;
  EXPECT_EQ(xvisualDistance(&a, &emulated, 0), 1025u);
}

TEST(XvisualCopyTest, SharedTableCopiedOnce) {
  VisualRecord record{};
  record.correctionCount = 1;
  record.redCorrection = static_cast<CorrectionEntry *>(malloc(2 * sizeof(CorrectionEntry)));
  record.redCorrection[0] = {0, 0.0};
  record.redCorrection[1] = {65535, 1.0};
  record.greenCorrection = record.blueCorrection = record.redCorrection;
  record.redCorrectionCount = record.greenCorrectionCount = record.blueCorrectionCount = 2;
  VisualRecord *copies = xvisualCopyArray(&record, 1);
  ASSERT_NE(copies, nullptr);
  EXPECT_NE(copies[0].redCorrection, record.redCorrection);
  EXPECT_EQ(copies[0].greenCorrection, copies[0].redCorrection);
  EXPECT_TRUE(xvisualEqual(&record, &copies[0]));
  copies[0].redCorrection[1].intensity = 0.5;
  EXPECT_FALSE(xvisualEqual(&record, &copies[0]));
  xvisualFreeArray(copies, 1);
  xvisualFreeContents(&record);  // frees the shared table once (ASan checks)
  EXPECT_EQ(record.redCorrection, nullptr);
}

}  // namespace
