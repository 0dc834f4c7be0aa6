// Visual records built from a private Xvfb, with chosen and malformed root properties.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xdbe.h>

#include "proxy/xvisual.h"
#include "xclient/xtarget.h"
#include "xclient/xutilh.h"
#include "display_fixture.h"
#include "xvfb_fixture.h"

namespace {

class XvisualTest : public XvfbDisplayTest {
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
    root_ = RootWindow(display_, 0);
    defaultId_ = static_cast<uint32_t>(XVisualIDFromVisual(DefaultVisual(display_, 0)));
  }
  void TearDown() override {
    xvisualFreeArray(records_, count_);
    XvfbDisplayTest::TearDown();
  }
  void build(int screen = 0) {
    xvisualFreeArray(records_, count_);
    records_ = nullptr;
    count_ = 0;
    ASSERT_EQ(xvisualBuildHeadVisuals(display_, screen, &records_, &count_), nullptr);
  }
  // Writes a format-16 XDCCC_LINEAR_RGB_CORRECTION property on screen 0's root.
  void plantCorrection(const std::vector<short> &items) {
    Atom atom = XInternAtom(display_, "XDCCC_LINEAR_RGB_CORRECTION", False);
    XChangeProperty(display_, root_, atom, XA_INTEGER, 16, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(items.data()), static_cast<int>(items.size()));
    XSync(display_, False);
  }
  VisualRecord *byId(uint32_t id) { return xvisualFindById(records_, count_, id); }

  Window root_ = 0;
  uint32_t defaultId_ = 0;
  VisualRecord *records_ = nullptr;
  int count_ = 0;
};

TEST_F(XvisualTest, OneRecordPerVisualAsTheServerTellsIt) {
  for (int screen = 0; screen < 2; screen++) {
    build(screen);
    XVisualInfo templ{};
    templ.screen = screen;
    int listed = 0;
    XVisualInfo *list = XGetVisualInfo(display_, VisualScreenMask, &templ, &listed);
    ASSERT_EQ(count_, listed);
    Drawable root = RootWindow(display_, screen);
    int screens = 1;
    XdbeScreenVisualInfo *dbe = XdbeGetVisualInfo(display_, &root, &screens);
    ASSERT_NE(dbe, nullptr);
    for (int i = 0; i < listed; i++) {
      const VisualRecord &r = records_[i];
      SCOPED_TRACE(xvisualDescribe(&r));
      EXPECT_EQ(r.visualId, list[i].visualid);
      EXPECT_EQ(r.visualClass, list[i].c_class);
      EXPECT_EQ(r.depth, list[i].depth);
      EXPECT_EQ(r.colormapEntries, list[i].colormap_size);
      EXPECT_EQ(r.bitsPerRgb, list[i].bits_per_rgb);
      EXPECT_EQ(r.screen, screen);
      bool masked = list[i].c_class >= TrueColor;
      EXPECT_EQ(r.redMask, masked ? list[i].red_mask : 0);
      EXPECT_EQ(r.blueMask, masked ? list[i].blue_mask : 0);
      EXPECT_EQ(r.isDefault, list[i].visual == DefaultVisual(display_, screen));
      bool listedDbe = false;
      for (int k = 0; k < dbe->count; k++) listedDbe |= dbe->visinfo[k].visual == list[i].visualid;
      EXPECT_EQ(r.doubleBuffered, listedDbe);
      XRenderPictFormat *format = XRenderFindVisualFormat(display_, list[i].visual);
      if (format && format->type == PictTypeDirect) {
        EXPECT_EQ(r.renderFormat, format->id);
        EXPECT_EQ(r.alphaBits, static_cast<uint32_t>(__builtin_popcount(format->direct.alphaMask)));
      } else {
        EXPECT_EQ(r.renderFormat, 0u);
      }
      EXPECT_TRUE(r.glVersion == 0 || r.glVersion == 68);  // GLX 1.4 with +iglx
      EXPECT_EQ(r.mbufMono, -1);
    }
    XdbeFreeVisualInfo(dbe);
    XFree(list);
  }
}

TEST_F(XvisualTest, OverlayEntriesApplyToKnownIdsOnly) {
  Atom atom = XInternAtom(display_, "SERVER_OVERLAY_VISUALS", False);
  long entries[] = {0x7777, 1, 5, 1, static_cast<long>(defaultId_), 1, 9, 2, 0x7778};  // last entry cut short
  XChangeProperty(display_, root_, atom, atom, 32, PropModeReplace, reinterpret_cast<unsigned char *>(entries), 9);
  build();
  for (int i = 0; i < count_; i++) {
    const VisualRecord &r = records_[i];
    if (r.visualId == defaultId_) {
      EXPECT_EQ(r.overlayFormat, 32);
      EXPECT_EQ(r.transparentType, 1);
      EXPECT_EQ(r.transparentValue, 9u);
      EXPECT_EQ(r.layer, 2);
    } else {
      EXPECT_EQ(r.overlayFormat, 0);
    }
  }
  EXPECT_NE(strstr(xvisualDescribe(byId(defaultId_)), ", overlay 2, transparent pixel 9"), nullptr);

  // Written back, rebuilt: the same; without entries the property goes.
  ASSERT_EQ(xvisualSetProperties(display_, root_, records_, count_), nullptr);
  build();
  EXPECT_EQ(byId(defaultId_)->layer, 2);
  EXPECT_EQ(byId(defaultId_)->transparentValue, 9u);
  for (int i = 0; i < count_; i++) records_[i].overlayFormat = 0;
  ASSERT_EQ(xvisualSetProperties(display_, root_, records_, count_), nullptr);
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char *data = nullptr;
  XGetWindowProperty(display_, root_, atom, 0, 100, False, AnyPropertyType, &type, &format, &items, &after, &data);
  EXPECT_EQ(type, None);
  if (data) XFree(data);
}

TEST_F(XvisualTest, CorrectionTables) {
  // An id-0 type-1 table of 256 intensities, then a one-id type-0 entry for the default visual.
  std::vector<short> items = {0, 0, 1, 1, 255};
  for (int i = 0; i < 256; i++) items.push_back(static_cast<short>(i * 257));
  std::vector<short> second = {static_cast<short>(defaultId_ >> 16), static_cast<short>(defaultId_ & 0xffff), 0, 1, 1,
                               0, 0, -1, -1};
  items.insert(items.end(), second.begin(), second.end());
  plantCorrection(items);
  build();
  for (int i = 0; i < count_; i++) {
    const VisualRecord &r = records_[i];
    ASSERT_EQ(r.correctionCount, 1);
    EXPECT_EQ(r.correctionType, 1);
    ASSERT_EQ(r.redCorrectionCount, 256u);
    EXPECT_EQ(r.greenCorrection, r.redCorrection);
    for (uint32_t k = 0; k < 256; k++) {
      EXPECT_EQ(r.redCorrection[k].value, k * 257);
      EXPECT_DOUBLE_EQ(r.redCorrection[k].intensity, k * 257 / 65535.0);
    }
    EXPECT_NE(strstr(xvisualDescribe(&r), ", gamma"), nullptr);
  }

  // Written back and rebuilt: equal records.
  ASSERT_EQ(xvisualSetProperties(display_, root_, records_, count_), nullptr);
  VisualRecord *copies = xvisualCopyArray(records_, count_);
  int copied = count_;
  build();
  ASSERT_EQ(count_, copied);
  for (int i = 0; i < count_; i++) EXPECT_TRUE(xvisualEqual(&copies[i], &records_[i])) << i;
  xvisualFreeArray(copies, copied);
}

TEST_F(XvisualTest, MalformedCorrectionLeavesThatRecordWithoutTables) {
  const short hi = static_cast<short>(defaultId_ >> 16), lo = static_cast<short>(defaultId_ & 0xffff);
  const std::vector<short> good = {0, 0, 1, 1, 1, 0, -1};  // id 0, two intensities
  struct Case {
    const char *what;
    std::vector<short> entry;
  } cases[] = {
      {"type 1 of length 1", {hi, lo, 1, 1, 0, 100, 0, 0, 0}},
      {"longer than the property", {hi, lo, 1, 1, 30000, 0, 1, 2}},
      {"table count 2", {hi, lo, 1, 2, 1, 0, -1, 1, 0, -1}},
      {"unknown type", {hi, lo, 7, 1, 1, 0, -1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<short> items = good;
    items.insert(items.end(), c.entry.begin(), c.entry.end());
    plantCorrection(items);
    build();
    for (int i = 0; i < count_; i++) {
      const VisualRecord &r = records_[i];
      if (r.visualId == defaultId_) {
        EXPECT_EQ(r.correctionCount, 0);
        EXPECT_EQ(r.redCorrection, nullptr);
      } else {
        EXPECT_EQ(r.correctionCount, 1);
        EXPECT_EQ(r.redCorrectionCount, 2u);
      }
    }
  }
  // A malformed id-0 entry alone: nobody gets tables.
  plantCorrection({0, 0, 1, 1, 0, 5});
  build();
  for (int i = 0; i < count_; i++) EXPECT_EQ(records_[i].correctionCount, 0);
}

TEST_F(XvisualTest, RenderFormatsListVisualsPerScreen) {
  int major = 0, minor = 0, count = 0;
  RenderFormatInfo *formats = xvisualQueryRenderFormats(display_, &major, &minor, &count);
  ASSERT_NE(formats, nullptr);
  EXPECT_GT(count, 0);
  EXPECT_GE(major * 100 + minor, 6);
  bool found = false;
  XRenderPictFormat *want = XRenderFindVisualFormat(display_, DefaultVisual(display_, 0));
  ASSERT_NE(want, nullptr);
  for (int f = 0; f < count; f++) {
    for (int v = 0; formats[f].visualIds[v]; v++) {
      if (formats[f].visualIds[v] == defaultId_) {
        found = true;
        EXPECT_EQ(formats[f].formatId, want->id);
        EXPECT_EQ(formats[f].screen, 0);
        EXPECT_EQ(formats[f].redBits, 8);
        EXPECT_EQ(formats[f].redShift, 16);
      }
    }
  }
  EXPECT_TRUE(found);
  free(formats);
}

}  // namespace
