// GL attributes of visual records, the GLX config lists built from them, and the GL
// capability probe, against a private Xvfb with and without indirect GLX.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include <X11/Xlib.h>

#include "glxinfo_fixture.h"
#include "stopped_fixture.h"
#include "proxy/xvisual.h"
#include "xclient/xtarget.h"
#include "xvfb_fixture.h"

namespace {

uint32_t caveatCode(const std::string &name) {
  if (name == "Slow") return 0x8001;
  if (name == "Ncon") return 0x800D;
  return 0x8000;
}

class XvisualGlTest : public ::testing::Test {
 protected:
  void start(bool iglx) {
    XvfbOptions options;
    options.screens = {"1024x768x24", "800x600x16"};
    options.iglx = iglx;
    ASSERT_EQ(server_.start(options), "");
  }
  // Opens ":N.S" and builds screen S's records.
  void open(int screen) {
    close();
    name_ = server_.displayName() + "." + std::to_string(screen);
    display_ = XOpenDisplay(name_.c_str());
    ASSERT_NE(display_, nullptr);
    XSetErrorHandler(xtargetTrapErrorHandler);
    ASSERT_EQ(xvisualBuildHeadVisuals(display_, screen, &records_, &count_), nullptr);
  }
  void close() {
    xvisualFreeArray(records_, count_);
    records_ = nullptr;
    count_ = 0;
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
  }
  void TearDown() override { close(); }

  XvfbServer server_;
  std::string name_;
  Display *display_ = nullptr;
  VisualRecord *records_ = nullptr;
  int count_ = 0;
};

TEST_F(XvisualGlTest, RecordsCarryWhatGlxinfoShows) {
  start(true);
  // glxinfo lists screen 0 only, whatever screen the display name names.
  for (int screen = 0; screen < 1; screen++) {
    open(screen);
    auto rows = glxinfoParseVisuals(glxinfoRun(name_));
    ASSERT_FALSE(rows.empty()) << name_;
    int gl = 0;
    for (int i = 0; i < count_; i++) {
      const VisualRecord &r = records_[i];
      auto row = rows.find(r.visualId);
      if (row == rows.end()) continue;
      gl++;
      const GlxinfoVisual &v = row->second;
      SCOPED_TRACE(glxinfoDumpRecords(&r, 1));
      EXPECT_EQ(r.glVersion, 68);
      EXPECT_EQ(r.glDoubleBuffer, static_cast<uint32_t>(v.doubleBuffer));
      EXPECT_EQ(r.glStereo, static_cast<uint32_t>(v.stereo));
      EXPECT_EQ(r.glRgba, v.rgba ? 1 : 0);
      EXPECT_EQ(r.glRedSize, v.red);
      EXPECT_EQ(r.glGreenSize, v.green);
      EXPECT_EQ(r.glBlueSize, v.blue);
      EXPECT_EQ(r.glAlphaSize, v.alpha);
      EXPECT_EQ(r.glAuxBuffers, static_cast<uint32_t>(v.aux));
      EXPECT_EQ(r.glDepthSize, v.depthSize);
      EXPECT_EQ(r.glStencilSize, v.stencil);
      EXPECT_EQ(r.glAccumRedSize, v.accumRed);
      EXPECT_EQ(r.glAccumGreenSize, v.accumGreen);
      EXPECT_EQ(r.glAccumBlueSize, v.accumBlue);
      EXPECT_EQ(r.glAccumAlphaSize, v.accumAlpha);
      EXPECT_EQ(r.glLevel, v.level);
      EXPECT_EQ(r.glConfigCaveat, caveatCode(v.caveat));
      EXPECT_EQ(r.glSamples, static_cast<uint32_t>(v.samples));
      EXPECT_EQ(r.glSampleBuffers, static_cast<uint32_t>(v.sampleBuffers));
      EXPECT_EQ(r.glXRenderable, 1u);
      EXPECT_NE(r.glFbConfigId, 0u);
      EXPECT_NE(strstr(xvisualDescribe(&r), ", GL "), nullptr);
    }
    EXPECT_EQ(gl, static_cast<int>(rows.size())) << name_;
  }
}

TEST_F(XvisualGlTest, ConfigListsFromTheRecords) {
  start(true);
  open(0);
  int gl = 0;
  for (int i = 0; i < count_; i++) gl += records_[i].glVersion != 0;
  ASSERT_GT(gl, 0);
  int configs = -1, properties = -1;
  uint32_t *block = xvisualGlxConfigs(records_, count_, true, &configs, &properties);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(configs, gl);
  EXPECT_EQ(properties, 10);
  // Read back as a GetVisualConfigs reply of 38 values per visual: the same records result.
  VisualRecord *copy = xvisualCopyArray(records_, count_);
  for (int i = 0; i < count_; i++) {
    memset(&copy[i].glVersion, 0,
           reinterpret_cast<char *>(&copy[i].glColorSamples + 1) - reinterpret_cast<char *>(&copy[i].glVersion));
  }
  EXPECT_EQ(xvisualApplyVisualConfigs(block, static_cast<uint64_t>(configs) * 38, configs, 38, 68, copy, count_), 1);
  const uint32_t *c = block;
  for (int i = 0; i < count_; i++) {
    const VisualRecord &r = records_[i];
    if (!r.glVersion) continue;
    EXPECT_EQ(c[0], r.visualId);
    EXPECT_EQ(c[1], r.visualClass);
    EXPECT_EQ(c[14], r.glDepthSize);
    EXPECT_EQ(c[36], 0u);
    EXPECT_EQ(c[37], 0u);
    EXPECT_EQ(copy[i].glDepthSize, r.glDepthSize);
    EXPECT_EQ(copy[i].glAccumRedSize, r.glAccumRedSize);
    EXPECT_EQ(copy[i].glConfigCaveat, r.glConfigCaveat);
    EXPECT_EQ(copy[i].glSamples, r.glSamples);
    c += 38;
  }
  xvisualFreeArray(copy, count_);
  xvisualFreeConfigs(block);

  block = xvisualGlxConfigs(records_, count_, false, &configs, &properties);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(properties, 43);
  const uint32_t order[43] = {0x8013, 0x800B, 0x8012, 4, 0x8011, 5, 6, 2, 3, 7, 8, 9, 10, 11, 12,
                              14, 15, 16, 17, 13, 34, 35, 36, 37, 38, 39, 40, 32, 0x8010, 0x8016, 0x8017,
                              0x8018, 0x8019, 0x801A, 0x8060, 100001, 100000, 0x20D0, 0x20D1, 0x20D2, 0x20D3,
                              0x20D4, 0x8028};
  c = block;
  for (int i = 0; i < count_; i++) {
    const VisualRecord &r = records_[i];
    if (!r.glVersion) continue;
    for (int p = 0; p < 43; p++) EXPECT_EQ(c[2 * p], order[p]);
    EXPECT_EQ(xvisualPairValue(0x8013, c, 43), r.visualId);
    EXPECT_EQ(xvisualPairValue(0x800B, c, 43), r.visualId);
    EXPECT_EQ(xvisualPairValue(34, c, 43), xvisualGlxClass(r.visualClass));
    EXPECT_EQ(xvisualPairValue(12, c, 43), r.glDepthSize);
    c += 86;
  }
  xvisualFreeConfigs(block);
}

// The resource counts of every type that X-Resource reports for the client owning `base`.
std::string resourceCounts(const std::string &displayName, unsigned long base) {
  std::string command = "timeout 30 /usr/bin/python3 -c \"import sys\nfrom Xlib import display\n"
                        "d=display.Display(sys.argv[1])\n"
                        "from Xlib.ext import res\n"
                        "r=d.res_query_client_resources(int(sys.argv[2]))\n"
                        "print(sorted((d.get_atom_name(t.resource_type),t.count) for t in r.types))\" '" +
                        displayName + "' " + std::to_string(base);
  return glxinfoCommandOutput(command);
}

TEST_F(XvisualGlTest, ProbeReadsTheCapabilitiesAndLeavesNothing) {
  start(true);
  open(0);
  XSync(display_, False);
  unsigned long base = XAllocID(display_);
  std::string before = resourceCounts(name_, base);
  ASSERT_NE(before, "");
  GlCapabilities caps;
  memset(&caps, 0x55, sizeof caps);
  ASSERT_EQ(xvisualQueryGlx(display_, 0, &caps), 1);
  EXPECT_EQ(before, resourceCounts(name_, base));
  EXPECT_EQ(caps.glxVersion, 68u);
  EXPECT_STREQ(caps.glVersion, "");
  EXPECT_STREQ(caps.vendor, "");
  EXPECT_STREQ(caps.renderer, "");
  GlCapabilities defaults;
  glxsupportDefaultCaps(&defaults);
  EXPECT_EQ(caps.drawBuffers, defaults.drawBuffers);  // no query with an empty version
  EXPECT_EQ(caps.colorAttachments, defaults.colorAttachments);
  int32_t levels = 0;
  for (int32_t w = caps.textureWidth; w > 1; w >>= 1) levels++;
  EXPECT_EQ(caps.textureLevels, levels);
  EXPECT_EQ(caps.textureWidth, caps.textureHeight);
  // The server GLX extensions of glxinfo, word for word.
  std::string info = glxinfoRun(name_, false);
  size_t at = info.find("server glx extensions:\n");
  ASSERT_NE(at, std::string::npos);
  size_t end = info.find("client glx vendor", at);
  std::istringstream words(info.substr(at + 23, end - at - 23));
  std::set<std::string> listed;
  for (std::string w; words >> w;) {
    if (w.back() == ',') w.pop_back();
    listed.insert(w);
  }
  std::istringstream ours(caps.glxExtensions);
  std::set<std::string> got;
  for (std::string w; ours >> w;) got.insert(w);
  EXPECT_FALSE(listed.empty());
  for (const std::string &w : listed) EXPECT_TRUE(got.count(w)) << w;
}

TEST_F(XvisualGlTest, ProbeWithoutIndirectContextsFailsCleanly) {
  start(false);
  open(0);
  XSync(display_, False);
  unsigned long base = XAllocID(display_);
  std::string before = resourceCounts(name_, base);
  ASSERT_NE(before, "");
  GlCapabilities caps{};
  EXPECT_EQ(xvisualQueryGlx(display_, 0, &caps), 0);
  EXPECT_EQ(before, resourceCounts(name_, base));
  XSync(display_, False);
  EXPECT_EQ(XSync(display_, False), 1);
}

// A stopped server: the visual queries and the GL probe give up once the sync limit passed;
// once the server goes on, both work again on the same connection.
TEST_F(XvisualGlTest, StoppedServerGivesUpAtTheLimit) {
  start(true);
  open(0);
  uint32_t savedLimit = xtargetSyncLimitMs;
  xtargetSyncLimitMs = 300;
  GlCapabilities caps{};
  int probed = -1;
  EXPECT_LT(xvfbWhileStopped(server_.pid(), 4000, [&] { probed = xvisualQueryGlx(display_, 0, &caps); }), 2000);
  EXPECT_EQ(probed, 0);
  VisualRecord *records = nullptr;
  int count = 0;
  const char *failure = nullptr;
  EXPECT_LT(xvfbWhileStopped(server_.pid(), 4000,
                             [&] { failure = xvisualBuildHeadVisuals(display_, 0, &records, &count); }),
            2000);
  EXPECT_NE(failure, nullptr);
  EXPECT_EQ(records, nullptr);

  EXPECT_EQ(xvisualQueryGlx(display_, 0, &caps), 1);
  EXPECT_EQ(caps.glxVersion, 68u);
  ASSERT_EQ(xvisualBuildHeadVisuals(display_, 0, &records, &count), nullptr);
  EXPECT_EQ(count, count_);
  xvisualFreeArray(records, count);
  xtargetSyncLimitMs = savedLimit;
}

}  // namespace
