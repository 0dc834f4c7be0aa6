// Emulated visuals and colormaps against a private Xvfb.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "proxy/main.h"
#include "proxy/xemulation.h"
#include "proxy/xvisual.h"
#include "xclient/xcolor.h"
#include "xclient/xtarget.h"
#include "display_fixture.h"
#include "xvfb_fixture.h"

namespace {

class XemulationTest : public XvfbDisplayTest {
 protected:
  XvfbOptions xvfbOptions() const override {
    XvfbOptions options;
    options.screens = {"1024x768x24", "320x240x8"};
    options.iglx = true;
    return options;
  }
  void SetUp() override {
    XvfbDisplayTest::SetUp();
    if (HasFatalFailure()) return;
    XSetErrorHandler(xtargetTrapErrorHandler);
  }
  void TearDown() override {
    xvisualFreeArray(head_, headCount_);
    free(emulated_);
    XvfbDisplayTest::TearDown();
  }
  void emulate(int screen, uint32_t mask) {
    xvisualFreeArray(head_, headCount_);
    free(emulated_);
    emulated_ = nullptr;
    ASSERT_EQ(xvisualBuildHeadVisuals(display_, screen, &head_, &headCount_), nullptr);
    ASSERT_EQ(xemulationAddVisuals(display_, head_, headCount_, mask, &emulated_, &emulatedCount_), nullptr);
  }

  VisualRecord *head_ = nullptr;
  int headCount_ = 0;
  VisualRecord *emulated_ = nullptr;
  int emulatedCount_ = 0;
};

TEST_F(XemulationTest, PseudoColorOnDirectColor) {
  uint32_t before = proxyXidCounter;
  emulate(0, kEmulatePseudoColor8);
  ASSERT_EQ(emulatedCount_, 1);
  const VisualRecord &r = emulated_[0];
  EXPECT_EQ(r.visualClass, PseudoColor);
  EXPECT_EQ(r.depth, 8);
  EXPECT_EQ(r.colormapEntries, 256);
  EXPECT_EQ(r.baseClass, DirectColor);
  EXPECT_EQ(r.visualId, before + 1);
  EXPECT_EQ(proxyXidCounter, before + 1);

  emulate(1, kEmulatePseudoColor4);
  EXPECT_EQ(emulatedCount_, 0);
}

TEST_F(XemulationTest, CopyKeepsTheSourceUsable) {
  emulate(0, kEmulatePseudoColor8);
  ASSERT_EQ(emulatedCount_, 1);
  EmulatedColormap source{}, destination{};
  ASSERT_EQ(xemulationCreateColormap(display_, RootWindow(display_, 0), &emulated_[0], &source), nullptr);
  ASSERT_NE(source.realColormap, 0u);
  unsigned long masks[1], pixels[2];
  ASSERT_TRUE(xemulationAllocCells(display_, &source, true, masks, 0, pixels, 2));
  XColor colors[2] = {};
  for (int i = 0; i < 2; i++) {
    colors[i].pixel = pixels[i];
    colors[i].red = static_cast<unsigned short>(0x1000 * (i + 1));
    colors[i].green = 0x8000;
    colors[i].flags = DoRed | DoGreen | DoBlue;
  }
  ASSERT_EQ(xemulationStoreColors(display_, &source, colors, 2), 0);
  ASSERT_EQ(xemulationCopyColormap(display_, &source, &destination), nullptr);
  ASSERT_NE(destination.realColormap, 0u);
  EXPECT_NE(destination.realColormap, source.realColormap);
  EXPECT_EQ(destination.cells[pixels[1]].state, 2);
  EXPECT_EQ(source.cells[pixels[1]].state, 0);

  // The source's real colormap still takes colours.
  XColor item{};
  item.pixel = 0x010101;
  item.red = 0x2000;
  item.flags = DoRed | DoGreen | DoBlue;
  xtargetArmErrorTrap(display_);
  XStoreColor(display_, source.realColormap, &item);
  XSync(display_, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);

  // The destination's holds the moved cells' colours.
  const VisualRecord &v = emulated_[0];
  XColor query{};
  query.pixel = ((pixels[1] << v.redShift) & v.redMask) | ((pixels[1] << v.greenShift) & v.greenMask) |
                ((pixels[1] << v.blueShift) & v.blueMask);
  XQueryColor(display_, destination.realColormap, &query);
  EXPECT_EQ(query.red & 0xff00, 0x2000);
  EXPECT_EQ(query.green & 0xff00, 0x8000);
}

TEST_F(XemulationTest, ColourNamesAskedOnce) {
  emulate(0, kEmulatePseudoColor8);
  ASSERT_EQ(emulatedCount_, 1);
  EmulatedColormap map{};
  ASSERT_EQ(xemulationCreateColormap(display_, RootWindow(display_, 0), &emulated_[0], &map), nullptr);
  XColor first{}, second{};
  unsigned long start = NextRequest(display_);
  ASSERT_TRUE(xemulationLookupColor(display_, &map, "LightSlateGray", &first));
  unsigned long afterFirst = NextRequest(display_);
  EXPECT_GT(afterFirst, start);  // Xlib may read colour-management properties first
  ASSERT_TRUE(xemulationLookupColor(display_, &map, "lightslategray", &second));
  EXPECT_EQ(NextRequest(display_), afterFirst);
  EXPECT_EQ(first.red, second.red);
  EXPECT_EQ(first.red, 119 * 257);  // exact, not masked
  EXPECT_EQ(first.blue, 153 * 257);
  int cached = xemulationColorCacheCount();
  XColor other{};
  EXPECT_FALSE(xemulationLookupColor(display_, &map, "#123456", &other));
  EXPECT_FALSE(xemulationLookupColor(display_, &map, "rgb:1/2/3", &other));
  EXPECT_FALSE(xemulationLookupColor(display_, &map, "no such colour", &other));
  EXPECT_EQ(xemulationColorCacheCount(), cached);
  ASSERT_TRUE(xemulationAllocNamedColor(display_, &map, "LightSlateGray", &other));
  EXPECT_EQ(map.cells[other.pixel].red, (119 * 257) & 0xff00);

  // Clients may name every colour the server knows: the cache's room grows by half again.
  int room = xemulationColorCacheCapacity(), moves = 0;
  for (int i = 0; i < xcolorCount() && i < 600; i++) {
    xemulationLookupColor(display_, &map, xcolorEntryName(xcolorEntry(i)), &other);
    int now = xemulationColorCacheCapacity();
    ASSERT_LE(xemulationColorCacheCount(), now);
    if (now != room) {
      EXPECT_GE(now, room + room / 2) << "at name " << i;
      room = now;
      moves++;
    }
  }
  EXPECT_GE(xemulationColorCacheCount(), 300);  // most names of the table are the server's too
  EXPECT_LE(moves, 9);                          // one entry at a time took one move per name
}

}  // namespace
