// State queries and simple single operations of a GL library instance on the recording fake GL
// library (an instance set up on a private Xvfb): the value counts of the gets and their
// fallbacks, zeroed answers where the library writes nothing, names bounded by the request,
// counts too large for the library, and the GL error line.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "logcapture_helpers.h"
#include "xclient/gldatatype.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xvfb_fixture.h"

namespace {

bool logged(const std::string &line) { return std::string(fakeglLog()).find(line + "\n") != std::string::npos; }

using Single = int (*)(GlxLibraryInstance *, uint32_t, const uint8_t *, uint32_t, GlxDirectResult *);

class GlxDirectStateTest : public GlxDirectXvfbTest {
 protected:
  void SetUp() override {
    GlxDirectXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    uint32_t serial = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x1000));
    glxdirectSyncClient = noSync;
    slot_ = glxdirectCreateTag(instance_, serial, 0x200001, 0x200001, 7);
    ASSERT_NE(slot_, 0u);
    fakeglClearLog();
  }
  // The operation on the parameter words; its return value.
  int run(Single op, std::vector<uint32_t> words) {
    result_ = GlxDirectResult{-1, 99, nullptr};
    return op(instance_, slot_, reinterpret_cast<const uint8_t *>(words.data()), uint32_t(4 * words.size()),
              &result_);
  }
  template <typename T>
  std::vector<T> items() {
    std::vector<T> out(result_.count);
    if (result_.data && result_.count) memcpy(out.data(), result_.data, result_.count * sizeof(T));
    return out;
  }

  uint32_t slot_ = 0;
  GlxDirectResult result_{};
};

TEST_F(GlxDirectStateTest, GetCountsFollowThePnameAndTheLibrary) {
  std::vector<int32_t> matrix;
  for (int32_t k = 1; k <= 16; k++) matrix.push_back(k);
  fakeglSetIntegers(0x0BA6, matrix.data(), 16);
  ASSERT_EQ(run(glxdirectGetFloatv, {0x0BA6}), 1);
  EXPECT_EQ(result_.count, 16u);
  std::vector<float> floats = items<float>();
  EXPECT_EQ(floats.front(), 1.0f);
  EXPECT_EQ(floats.back(), 16.0f);
  ASSERT_EQ(run(glxdirectGetDoublev, {0x0B70}), 1);  // DEPTH_RANGE
  EXPECT_EQ(result_.count, 2u);
  ASSERT_EQ(run(glxdirectGetFloatv, {0x0B44}), 1);  // unlisted: one value
  EXPECT_EQ(result_.count, 1u);
  // The compressed formats are as many as the library says there are.
  int32_t three = 3;
  fakeglSetIntegers(0x86A2, &three, 1);
  ASSERT_EQ(run(glxdirectGetIntegerv, {0x86A3}), 1);
  EXPECT_EQ(result_.count, 3u);
  // One make-current for the run of gets on the same slot.
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 1u);
}

TEST_F(GlxDirectStateTest, ValuesTheLibraryDoesNotWriteAreZero) {
  int32_t viewport[4] = {1, 2, 300, 200};
  fakeglSetIntegers(0x0BA2, viewport, 4);
  ASSERT_EQ(run(glxdirectGetIntegerv, {0x0BA2}), 1);
  EXPECT_EQ(items<int32_t>(), (std::vector<int32_t>{1, 2, 300, 200}));
  // Nothing known for the scissor box: the viewport's values must not come back.
  ASSERT_EQ(run(glxdirectGetIntegerv, {0x0C10}), 1);
  EXPECT_EQ(items<int32_t>(), (std::vector<int32_t>{0, 0, 0, 0}));
  ASSERT_EQ(run(glxdirectGenTextures, {2}), 1);
  EXPECT_EQ(items<uint32_t>(), (std::vector<uint32_t>{0, 0}));
  ASSERT_EQ(run(glxdirectAreTexturesResident, {2, 5, 6}), 1);
  EXPECT_EQ(result_.count, 2u);
  EXPECT_EQ(items<uint8_t>(), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(fakeglCountCalls("glAreTexturesResident"), 1u);
}

TEST_F(GlxDirectStateTest, MapCountsUseTheOrdersOfTheMap) {
  int32_t orders[2] = {3, 4};
  fakeglSetKeyedValues(0x0DB7, 0x0A01, orders, 2);  // MAP2_VERTEX_3
  ASSERT_EQ(run(glxdirectGetMapdv, {0x0DB7, 0x0A00}), 1);
  EXPECT_EQ(result_.count, 36u);
  // The orders are asked for before the coefficients are read.
  std::string calls = fakeglLog();
  ASSERT_NE(calls.find("glGetMapiv(0x0DB7, 0x0A01, "), std::string::npos);
  EXPECT_LT(calls.find("glGetMapiv(0x0DB7, 0x0A01, "), calls.find("glGetMapdv(0x0DB7, 0x0A00, "));
  ASSERT_EQ(run(glxdirectGetMapiv, {0x0DB7, 0x0A01}), 1);
  EXPECT_EQ(items<int32_t>(), (std::vector<int32_t>{3, 4}));
  ASSERT_EQ(run(glxdirectGetMapfv, {0x0DB7, 0x0A02}), 1);
  EXPECT_EQ(result_.count, 4u);
  // A one-dimensional colour map of order 5: four values per point, one order.
  int32_t order = 5;
  fakeglSetKeyedValues(0x0D90, 0x0A01, &order, 1);
  ASSERT_EQ(run(glxdirectGetMapfv, {0x0D90, 0x0A00}), 1);
  EXPECT_EQ(result_.count, 20u);
}

TEST_F(GlxDirectStateTest, PixelMapsAndTextureParameters) {
  ASSERT_EQ(run(glxdirectGetPixelMapusv, {0x0C72}), 1);  // its size pname knows nothing: 0
  EXPECT_EQ(result_.count, 0u);
  EXPECT_EQ(result_.data, nullptr);
  EXPECT_EQ(fakeglCountCalls("glGetPixelMapusv"), 0u);
  int32_t size = 3, values[3] = {7, 8, 65535};
  fakeglSetIntegers(0x0CB2, &size, 1);
  fakeglSetKeyedValues(0x0C72, 0, values, 3);
  ASSERT_EQ(run(glxdirectGetPixelMapusv, {0x0C72}), 1);
  EXPECT_EQ(items<uint16_t>(), (std::vector<uint16_t>{7, 8, 65535}));
  ASSERT_EQ(run(glxdirectGetTexParameteriv, {0x0DE1, 0x1004}), 1);  // BORDER_COLOR
  EXPECT_EQ(result_.count, 4u);
  ASSERT_EQ(run(glxdirectGetTexParameteriv, {0x0DE1, 0x2801}), 1);
  EXPECT_EQ(result_.count, 1u);
  ASSERT_EQ(run(glxdirectGetTexEnvfv, {0x2300, 0x2201}), 1);
  EXPECT_EQ(result_.count, 4u);
  int32_t width = 64;
  fakeglSetKeyedValues(0x0DE1, 0x1000, &width, 1);
  ASSERT_EQ(run(glxdirectGetTexLevelParameteriv, {0x0DE1, 0, 0x1000}), 1);
  EXPECT_EQ(items<int32_t>(), (std::vector<int32_t>{64}));
}

TEST_F(GlxDirectStateTest, UnsupportedValuesGetTheirFallbackAndLine) {
  LogCapture log;
  auto warned = [&](const std::string &what, uint32_t value) {
    return log.has(logChannelWarning, "Lumora: Unsupported " + what + " " + gldatatypeEnumName(value));
  };
  ASSERT_EQ(run(glxdirectGetLightfv, {0x4000, 0x1300}), 1);
  EXPECT_EQ(result_.count, 1u);
  EXPECT_TRUE(warned("light value", 0x1300));
  ASSERT_EQ(run(glxdirectGetMaterialiv, {0x0404, 0x1300}), 1);
  EXPECT_EQ(result_.count, 4u);
  EXPECT_TRUE(warned("material", 0x1300));
  ASSERT_EQ(run(glxdirectGetTexGeniv, {0x2000, 0x1300}), 1);
  EXPECT_EQ(result_.count, 0u);
  EXPECT_TRUE(warned("tex gen", 0x1300));
  ASSERT_EQ(run(glxdirectGetPixelMapfv, {0x0C80}), 1);
  EXPECT_TRUE(warned("pixel map", 0x0C80));
  ASSERT_EQ(run(glxdirectGetMapdv, {0x0DB7, 0x0A05}), 1);
  EXPECT_EQ(result_.count, 0u);
  EXPECT_TRUE(warned("map query", 0x0A05));
  ASSERT_EQ(run(glxdirectGetMapiv, {0x0E00, 0x0A01}), 1);  // taken as one-dimensional
  EXPECT_EQ(result_.count, 1u);
  EXPECT_TRUE(warned("map target", 0x0E00));
  // Nothing to answer: no get for them.
  EXPECT_EQ(fakeglCountCalls("glGetTexGeniv") + fakeglCountCalls("glGetPixelMapfv") + fakeglCountCalls("glGetMapdv"), 0u);
  EXPECT_EQ(fakeglCountCalls("glGetLightfv"), 1u);
}

TEST_F(GlxDirectStateTest, SimpleOperationsCallTheLibrary) {
  int32_t first = 40;
  fakeglSetKeyedValues(0, kFakeglGenLists, &first, 1);
  ASSERT_EQ(run(glxdirectGenLists, {3}), 1);
  EXPECT_EQ(result_.value, 40);
  float half = 2.5f;
  uint32_t bits = 0;
  memcpy(&bits, &half, 4);
  ASSERT_EQ(run(glxdirectNewList, {40, 0x1300}), 1);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  ASSERT_EQ(run(glxdirectPixelStoref, {0x0D05, bits}), 1);
  ASSERT_EQ(run(glxdirectDeleteLists, {40, 3}), 1);
  ASSERT_EQ(run(glxdirectDeleteTextures, {2, 11, 12}), 1);
  int32_t yes = 1;
  fakeglSetKeyedValues(0x0B71, kFakeglIsEnabled, &yes, 1);
  ASSERT_EQ(run(glxdirectIsEnabled, {0x0B71}), 1);
  EXPECT_EQ(result_.value, 1);
  EXPECT_TRUE(logged("glGenLists(3)"));
  EXPECT_TRUE(logged("glNewList(40, 0x1300)"));
  EXPECT_TRUE(logged("glEndList()"));
  EXPECT_TRUE(logged("glPixelStoref(0x0D05, 2.5)"));
  EXPECT_TRUE(logged("glDeleteLists(40, 3)"));
  EXPECT_EQ(fakeglCountCalls("glDeleteTextures"), 1u);
}

TEST_F(GlxDirectStateTest, CountsBeyondTheDataOrTheLibraryCallNothing) {
  EXPECT_EQ(run(glxdirectDeleteTextures, {3, 11, 12}), 0);  // one name short
  EXPECT_EQ(run(glxdirectDeleteQueries, {0x40000000, 1}), 0);
  EXPECT_EQ(run(glxdirectAreTexturesResident, {0x80000000u}), 0);
  // 4 x 0x40000000 bytes of names do not fit the library's 32-bit size.
  EXPECT_EQ(run(glxdirectGenTextures, {0x40000000}), 0);
  EXPECT_EQ(result_.count, 0u);
  EXPECT_EQ(run(glxdirectGetTexParameterfv, {0x0DE1}), 0);  // the pname missing
  EXPECT_EQ(fakeglCountCalls("glDeleteTextures") + fakeglCountCalls("glDeleteQueries") + fakeglCountCalls("glAreTexturesResident") +
                fakeglCountCalls("glGenTextures") + fakeglCountCalls("glGetTexParameterfv"),
            0u);
  // A slot the library refuses: no get.
  instance_->currentTagSlot = 0;
  fakeglSetMakeCurrent(0);
  EXPECT_EQ(run(glxdirectGetFloatv, {0x0BA6}), 0);
  EXPECT_EQ(fakeglCountCalls("glGetFloatv"), 0u);
}

TEST_F(GlxDirectStateTest, GlErrorsAreReportedOnTheirChannel) {
  LogCapture log;
  logEnableChannel(logChannelXerror);
  ASSERT_EQ(run(glxdirectGetError, {}), 1);
  EXPECT_EQ(result_.value, 0);
  EXPECT_TRUE(log.on(logChannelXerror).empty());
  int32_t invalidEnum = 0x0500;
  fakeglSetKeyedValues(0, kFakeglError, &invalidEnum, 1);
  ASSERT_EQ(run(glxdirectGetError, {}), 1);
  EXPECT_EQ(result_.value, 0x0500);
  std::vector<std::string> lines = log.on(logChannelXerror);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(std::string("<= GL error ") + gldatatypeEnumName(0x0500) + " using tag " +
                          std::to_string(slot_)),
            std::string::npos);
}

}  // namespace
