// Starting GL inside the proxy with the system's GL library (Mesa, software rendering) on a
// private Xvfb, with and without indirect GLX: the capabilities it reports, the steps it logs,
// a second screen, and a screen without GL-capable visuals.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/logging.h"
#include "xclient/xtarget.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xvfb_fixture.h"

// Mesa's driver keeps a little memory per closed Display after its last use, with no frame
// name to suppress: leak detection is off for this executable only.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

constexpr uint32_t kGlx14 = 68;
const char *const kLibrary = "libGL:libGL.so.1";

std::vector<std::string> steps;

void captureSteps(LogChannel *channel, const char *, int, const char *text) {
  if (channel == logChannelStep) steps.push_back(text);
}

// The step that starts with the text ("" when none).
std::string stepStarting(const std::string &start) {
  for (const std::string &step : steps)
    if (step.rfind(start, 0) == 0) return step;
  return "";
}

class GlxDirectMesaTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char name[] = "glxdirectmesa_test", *argv[] = {name, nullptr};
    logInit(1, argv, "", "");
    logEnableChannel(logChannelStep);
    logOutputHook = captureSteps;
    steps.clear();
    XvfbOptions options;
    options.screens = {"800x600x24", "640x480x24", "640x480x8"};
    options.iglx = GetParam();
    ASSERT_EQ(server_.start(options), "");
    display_ = XOpenDisplay(server_.displayName().c_str());
    ASSERT_NE(display_, nullptr);
    XSetErrorHandler(xtargetTrapErrorHandler);
  }
  void TearDown() override {
    glxdirectFreeInstance(instance_);
    EXPECT_FALSE(glxdirectAvailable());
    // The library stays loaded; its Display goes first.
    if (display_) XCloseDisplay(display_);
    logOutputHook = logEmit;
  }

  XvfbServer server_;
  Display *display_ = nullptr;
  GlxLibraryInstance *instance_ = nullptr;
};

TEST_P(GlxDirectMesaTest, SetUpFillsTheRecordAndLogsItsSteps) {
  GlCapabilities caps;
  memset(&caps, 0x55, sizeof caps);
  ASSERT_EQ(glxdirectSetupDisplay(kLibrary, kGlx14, display_, 0, &instance_, &caps), nullptr);
  ASSERT_NE(instance_, nullptr);
  EXPECT_TRUE(glxdirectAvailable());
  EXPECT_EQ(caps.glxVersion, kGlx14);
  EXPECT_EQ(caps.direct, 1u);
  EXPECT_EQ(std::string(caps.glVersion).rfind("4.5 (Compatibility Profile) Mesa ", 0), 0u) << caps.glVersion;
  EXPECT_STREQ(caps.vendor, "Mesa/X.org");
  EXPECT_EQ(std::string(caps.renderer).rfind("llvmpipe", 0), 0u) << caps.renderer;
  EXPECT_STREQ(caps.shadingLanguage, "4.50");
  EXPECT_EQ(caps.viewportWidth, 16384);
  EXPECT_EQ(caps.viewportHeight, 16384);
  EXPECT_EQ(caps.textureUnits, 16);  // twice GL_MAX_TEXTURE_UNITS
  EXPECT_EQ(caps.textureWidth, 16384);
  EXPECT_EQ(caps.textureHeight, 16384);
  EXPECT_EQ(caps.textureLevels, 14);
  EXPECT_EQ(caps.lightSources, 8);
  EXPECT_GE(caps.clipPlanes, 6);
  EXPECT_GE(caps.drawBuffers, 4);
  EXPECT_GE(caps.colorAttachments, 4);
  EXPECT_GT(strlen(caps.glExtensions), 7000u);
  EXPECT_NE(strstr(caps.glExtensions, "GL_ARB_vertex_buffer_object "), nullptr);
  EXPECT_NE(strstr(caps.glxExtensions, "GLX_ARB_create_context "), nullptr);
  EXPECT_EQ(memcmp(&instance_->capabilities, &caps, sizeof caps), 0);
  EXPECT_STREQ(instance_->libraryText, kLibrary);
  EXPECT_EQ(instance_->currentTagSlot, 0u);
  // A value of GL state outside the set-up, read the same way.
  EXPECT_EQ(glxdirectGetInteger(instance_, 0x0D31), 0);  // no context is current any more

  std::string display = server_.displayName();
  EXPECT_NE(stepStarting("Lumora: Querying visuals of display " + display + ", screen 0 ..."), "");
  EXPECT_NE(stepStarting("Lumora: Loading libGL:libGL.so.1 ..."), "");
  EXPECT_NE(stepStarting("Lumora: Using "), "");
  std::string enabled = stepStarting("Lumora enabled at " + display + " using libGL.so.1: OpenGL 4.5 ");
  EXPECT_NE(enabled, "");
  EXPECT_NE(enabled.find(" direct rendering"), std::string::npos) << enabled;
}

TEST_P(GlxDirectMesaTest, SecondScreenAndScreenWithoutGl) {
  GlCapabilities caps;
  ASSERT_EQ(glxdirectSetupDisplay(kLibrary, kGlx14, display_, 1, &instance_, &caps), nullptr);
  EXPECT_EQ(caps.direct, 1u);
  EXPECT_EQ(caps.viewportWidth, 16384);
  EXPECT_NE(stepStarting("Lumora: Querying visuals of display " + server_.displayName() + ", screen 1 ..."), "");
  GlxLibraryInstance *none = nullptr;
  EXPECT_STREQ(glxdirectSetupDisplay(kLibrary, kGlx14, display_, 2, &none, &caps),
               "No OpenGL capable visual available");
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(instance_->referenceCount, 0u);  // the refused head took no reference
}

INSTANTIATE_TEST_SUITE_P(Iglx, GlxDirectMesaTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "WithIndirectGlx" : "WithoutIndirectGlx";
                         });

}  // namespace
