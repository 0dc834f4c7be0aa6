// State queries and simple single operations of a GL library instance on the recording fake GL
// library (an instance set up on a private Xvfb): the value counts of the gets and their
// fallbacks, zeroed answers where the library writes nothing, names bounded by the request,
// counts too large for the library, and the GL error line. Then through the GLX front (no
// display): the GLSL object requests, strings and query objects with the client's ids
// translated and their reply bytes, and answers that get no room.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/korvanparser.h"
#include "logcapture_helpers.h"
#include "proxy/head.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xclient/gldatatype.h"
#include "xext/extrequest.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
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
  // The lists are the proxy's: names from 1 up, nothing of them reaches the library but the
  // deletes (the library keeps the lists of fonts it made itself).
  ASSERT_EQ(run(glxdirectGenLists, {3}), 1);
  EXPECT_EQ(result_.value, 1);
  float half = 2.5f;
  uint32_t bits = 0;
  memcpy(&bits, &half, 4);
  ASSERT_EQ(run(glxdirectNewList, {1, 0x1300}), 1);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  ASSERT_EQ(run(glxdirectPixelStoref, {0x0D05, bits}), 1);
  ASSERT_EQ(run(glxdirectDeleteLists, {1, 3}), 1);
  ASSERT_EQ(run(glxdirectDeleteTextures, {2, 11, 12}), 1);
  int32_t yes = 1;
  fakeglSetKeyedValues(0x0B71, kFakeglIsEnabled, &yes, 1);
  ASSERT_EQ(run(glxdirectIsEnabled, {0x0B71}), 1);
  EXPECT_EQ(result_.value, 1);
  EXPECT_EQ(fakeglCountCalls("glGenLists") + fakeglCountCalls("glNewList") + fakeglCountCalls("glEndList"), 0u);
  EXPECT_TRUE(logged("glPixelStoref(0x0D05, 2.5)"));
  EXPECT_TRUE(logged("glDeleteLists(1, 3)"));
  EXPECT_EQ(fakeglCountCalls("glDeleteTextures"), 1u);
}

// A list range deleted reaches the library only where names were made (by GenLists, NewList
// or glXUseXFont), split around the holes; a range deleted in the middle leaves both ends.
TEST_F(GlxDirectStateTest, DeletedListRangesCoverOnlyTheNamesMade) {
  ASSERT_EQ(run(glxdirectGenLists, {10}), 1);  // 1..10
  EXPECT_EQ(result_.value, 1);
  ASSERT_EQ(run(glxdirectNewList, {11, 0x1300}), 1);  // joins them: 1..11
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  ASSERT_EQ(run(glxdirectNewList, {5000, 0x1300}), 1);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  // The next names free in a run of 20: after 11.
  ASSERT_EQ(run(glxdirectGenLists, {20}), 1);
  EXPECT_EQ(result_.value, 12);
  ASSERT_EQ(run(glxdirectDeleteLists, {12, 20}), 1);
  fakeglClearLog();
  ASSERT_EQ(run(glxdirectDeleteLists, {4, 2}), 1);
  EXPECT_EQ(std::string(fakeglLog()), "glDeleteLists(4, 2)\n");
  fakeglClearLog();
  ASSERT_EQ(run(glxdirectDeleteLists, {1, 0x7fffffff}), 1);
  EXPECT_EQ(std::string(fakeglLog()), "glDeleteLists(1, 3)\nglDeleteLists(6, 6)\nglDeleteLists(5000, 1)\n");
  fakeglClearLog();
  // Nothing left to delete; a negative range is the library's to refuse.
  ASSERT_EQ(run(glxdirectDeleteLists, {1, 0x7fffffff}), 1);
  ASSERT_EQ(run(glxdirectDeleteLists, {1, uint32_t(-1)}), 1);
  EXPECT_EQ(std::string(fakeglLog()), "glDeleteLists(1, -1)\n");
}

// Names count against the current client's lumoraMemory: past it nothing is called, and names
// deleted give their room back.
TEST_F(GlxDirectStateTest, NamesCountAgainstTheClientsBudget) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 100 * kGlxDirectNameBytes;
  int32_t first = 1;
  fakeglSetKeyedValues(0, kFakeglGenTextures, &first, 1);
  EXPECT_EQ(run(glxdirectGenTextures, {101}), 0);
  EXPECT_EQ(run(glxdirectGenLists, {101}), 0);
  EXPECT_EQ(fakeglCountCalls("glGenTextures") + fakeglCountCalls("glGenLists"), 0u);
  EXPECT_EQ(run(glxdirectGenTextures, {60}), 1);
  EXPECT_EQ(client.client->lumoraBytes, 60 * kGlxDirectNameBytes);
  EXPECT_EQ(run(glxdirectGenTextures, {41}), 0);
  std::vector<uint32_t> names(21, 0);
  names[0] = 20;
  for (uint32_t k = 1; k <= 20; k++) names[k] = k;
  EXPECT_EQ(run(glxdirectDeleteTextures, names), 1);
  first = 61;
  fakeglSetKeyedValues(0, kFakeglGenTextures, &first, 1);
  EXPECT_EQ(run(glxdirectGenTextures, {60}), 1);
  EXPECT_EQ(client.client->lumoraBytes, 100 * kGlxDirectNameBytes);
  configRecord.lumoraMemory = saved;
}

// Only names the client holds give their bytes back, each once: deleting made-up names leaves
// the budget spent. A bind of an unused name (a query's begin) makes one and counts it.
TEST_F(GlxDirectStateTest, OnlyHeldNamesGiveTheBudgetBack) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 4 * kGlxDirectNameBytes;
  const uint64_t &bytes = client.client->lumoraBytes;
  int32_t first = 1;
  fakeglSetKeyedValues(0, kFakeglGenTextures, &first, 1);
  auto render = [&](uint16_t opcode, uint32_t target, uint32_t name) {
    uint32_t command[3] = {uint32_t(opcode) << 16 | 12, target, name};
    return glxdirectRender(instance_, slot_, reinterpret_cast<uint8_t *>(command),
                           reinterpret_cast<uint8_t *>(command + 3));
  };
  EXPECT_EQ(run(glxdirectGenTextures, {2}), 1);  // 1 and 2
  EXPECT_EQ(run(glxdirectDeleteTextures, {3, 7, 8, 0}), 1);
  EXPECT_EQ(run(glxdirectDeleteBuffers, {2, 1, 2}), 1);  // texture names, not buffers
  EXPECT_EQ(bytes, 2 * kGlxDirectNameBytes);
  EXPECT_EQ(render(4117, 0x0DE1, 1), 0);  // held already
  EXPECT_EQ(render(4117, 0x0DE1, 9), 0);
  EXPECT_EQ(render(231, 0x8914, 5), 0);  // BeginQuery
  EXPECT_EQ(bytes, 4 * kGlxDirectNameBytes);
  fakeglClearLog();
  EXPECT_EQ(render(4117, 0x0DE1, 10), 11);  // BadAlloc
  EXPECT_EQ(render(290, 0x8892, 10), 11);
  EXPECT_EQ(render(235, 0x8D41, 10), 11);  // BindRenderbuffer
  EXPECT_EQ(run(glxdirectGenTextures, {1}), 0);
  EXPECT_EQ(fakeglCountCalls("glBindTexture") + fakeglCountCalls("glBindBuffer"), 0u);
  EXPECT_EQ(run(glxdirectDeleteTextures, {4, 1, 9, 1, 9}), 1);
  EXPECT_EQ(run(glxdirectDeleteTextures, {2, 1, 9}), 1);
  EXPECT_EQ(bytes, 2 * kGlxDirectNameBytes);
  first = 0;  // the library makes no names: nothing stays counted for them
  fakeglSetKeyedValues(0, kFakeglGenTextures, &first, 1);
  EXPECT_EQ(run(glxdirectGenTextures, {2}), 1);
  EXPECT_EQ(bytes, 2 * kGlxDirectNameBytes);
  configRecord.lumoraMemory = saved;
}

// ARB program and framebuffer names count as the other names do: made by a bind of an unused
// name or by the one-name Gen command, given back when deleted; past the budget the library is
// not called.
TEST_F(GlxDirectStateTest, ProgramAndFramebufferNamesCountAgainstTheBudget) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 3 * kGlxDirectNameBytes;
  const uint64_t &bytes = client.client->lumoraBytes;
  int32_t first = 40;
  fakeglSetKeyedValues(0, kFakeglGenFramebuffers, &first, 1);
  auto render = [&](std::vector<uint32_t> words) {
    words[0] = words[0] << 16 | uint32_t(4 * words.size());
    return glxdirectRender(instance_, slot_, reinterpret_cast<uint8_t *>(words.data()),
                           reinterpret_cast<uint8_t *>(words.data() + words.size()));
  };
  EXPECT_EQ(render({4180, 0x8620, 7}), 0);   // BindProgramARB of a new name
  EXPECT_EQ(render({4180, 0x8620, 7}), 0);   // held already
  EXPECT_EQ(render({236, 0x8D40, 5}), 0);    // BindFramebuffer
  EXPECT_EQ(render({9901, 0}), 0);           // one framebuffer name made
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes);
  fakeglClearLog();
  EXPECT_EQ(render({4319, 0x8D40, 6}), 11);  // BadAlloc, nothing called
  EXPECT_EQ(render({4180, 0x8620, 8}), 11);
  EXPECT_EQ(render({9901, 0}), 11);
  EXPECT_EQ(fakeglCountCalls("glBindFramebuffer") + fakeglCountCalls("glBindProgramARB") +
                fakeglCountCalls("glGenFramebuffers"),
            0u);
  EXPECT_EQ(render({4320, 2, 5, 99}), 0);    // DeleteFramebuffers: 5 was held, 99 not
  EXPECT_EQ(bytes, 2 * kGlxDirectNameBytes);
  EXPECT_EQ(render({4319, 0x8D40, 6}), 0);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes);
  configRecord.lumoraMemory = saved;
}

// Texture levels count against the client's budget by their estimated bytes, replaced in place,
// given back when their texture is deleted or the last context that shares it goes; sizes
// beyond the library's limits are refused without counting.
TEST_F(GlxDirectStateTest, TextureLevelsCountUntilReplacedOrDeleted) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 64 << 20;
  int32_t limit = 2048, texture = 5;
  fakeglSetIntegers(0x0D33, &limit, 1);  // GL_MAX_TEXTURE_SIZE
  fakeglSetIntegers(0x8069, &texture, 1);  // GL_TEXTURE_BINDING_2D
  const uint64_t &bytes = client.client->lumoraBytes;
  // Each level as its command defines it: counted, then the library's call (which accepts it).
  auto level = [&](int32_t which, uint32_t format, int32_t side) {
    GlxDirectLevelVerdict verdict = glxdirectTextureLevel(instance_, 0x0DE1, which, format, side, side, 1);
    glxdirectStorageDone(instance_, true);
    return verdict;
  };
  auto renderbufferStorage = [&](int32_t samples, int32_t side) {
    GlxDirectLevelVerdict verdict = glxdirectRenderbufferStorage(instance_, 0x8058, samples, side, side);
    glxdirectStorageDone(instance_, true);
    return verdict;
  };
  ASSERT_TRUE(glxdirectMakeTagCurrent(instance_, slot_));
  EXPECT_EQ(level(0, 0x8814, 1024), kGlxDirectLevelCall);  // RGBA32F: 16 bytes a texel
  EXPECT_EQ(bytes, 16u << 20);
  EXPECT_EQ(level(0, 0x8814, 512), kGlxDirectLevelCall);
  EXPECT_EQ(bytes, 4u << 20);
  EXPECT_EQ(level(1, 0x83F0, 256), kGlxDirectLevelCall);  // compressed: counted as 4 bytes
  EXPECT_EQ(bytes, (4u << 20) + (256u << 10));
  EXPECT_EQ(level(0, 0x8814, 2048), kGlxDirectLevelOverBudget);
  EXPECT_EQ(level(0, 0x8814, 4096), kGlxDirectLevelRefused);
  EXPECT_EQ(level(12, 0x1908, 1), kGlxDirectLevelRefused);
  EXPECT_EQ(bytes, (4u << 20) + (256u << 10));
  EXPECT_EQ(run(glxdirectDeleteTextures, {1, 5}), 1);
  EXPECT_EQ(bytes, 0u);
  // A context sharing the first one's textures, and one sharing none: a level of texture 5 in
  // each and one of the sharing context's default texture.
  uint32_t sharing = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x2000), instance_->contexts->serial);
  uint32_t alone = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x3000));
  uint32_t sharingSlot = glxdirectCreateTag(instance_, sharing, 0x200001, 0x200001, 8);
  uint32_t aloneSlot = glxdirectCreateTag(instance_, alone, 0x200001, 0x200001, 9);
  ASSERT_TRUE(glxdirectMakeTagCurrent(instance_, aloneSlot));
  EXPECT_EQ(level(0, 0x1908, 1024), kGlxDirectLevelCall);
  ASSERT_TRUE(glxdirectMakeTagCurrent(instance_, sharingSlot));
  EXPECT_EQ(level(0, 0x1908, 1024), kGlxDirectLevelCall);
  texture = 0;
  fakeglSetIntegers(0x8069, &texture, 1);
  EXPECT_EQ(level(0, 0x1908, 512), kGlxDirectLevelCall);
  EXPECT_EQ(bytes, 9u << 20);
  dGLDestroyContext(instance_, sharing);  // texture 5 of the first context stays
  EXPECT_EQ(bytes, 8u << 20);
  dGLDestroyContext(instance_, alone);
  EXPECT_EQ(bytes, 4u << 20);
  // Renderbuffers likewise, with their samples: none bound is the library's error.
  ASSERT_TRUE(glxdirectMakeTagCurrent(instance_, slot_));
  EXPECT_EQ(renderbufferStorage(4, 512), kGlxDirectLevelCall);
  EXPECT_EQ(bytes, 4u << 20);
  int32_t renderbuffer = 3;
  fakeglSetIntegers(0x8CA7, &renderbuffer, 1);
  EXPECT_EQ(renderbufferStorage(4, 512), kGlxDirectLevelCall);
  EXPECT_EQ(bytes, 8u << 20);
  EXPECT_EQ(renderbufferStorage(0, 8192), kGlxDirectLevelOverBudget);
  glxdirectRenderbuffersDeleted(instance_, reinterpret_cast<const uint8_t *>(&renderbuffer), 1);
  EXPECT_EQ(bytes, 4u << 20);
  configRecord.lumoraMemory = saved;
}

// A render command of that opcode: its words after the header, then bytes of data.
std::vector<uint32_t> command(uint16_t opcode, std::vector<uint32_t> words, uint32_t dataBytes = 0) {
  words.insert(words.begin(), 0);
  words.resize(words.size() + (dataBytes + 3) / 4, 0);
  words[0] = uint32_t(opcode) << 16 | uint32_t(4 * words.size());
  return words;
}

// The X error a stream of one command ends with.
uint8_t renderOne(GlxLibraryInstance *instance, uint32_t slot, const std::vector<uint32_t> &words) {
  return glxdirectRender(instance, slot, reinterpret_cast<const uint8_t *>(words.data()),
                         reinterpret_cast<const uint8_t *>(words.data() + words.size()));
}

// TexImage2D of a level of RGBA bytes (the image sent with it).
std::vector<uint32_t> texImage2D(int32_t side, int32_t border) {
  return command(110, {0, 0, 0, 0, 4, 0x0DE1, 0, 0x1908, uint32_t(side), uint32_t(side), uint32_t(border), 0x1908,
                       0x1401},
                 uint32_t(4 * side * side));
}

// BufferData of size bytes into the target's buffer, without data.
std::vector<uint32_t> bufferData(uint64_t size) {
  return command(298, {uint32_t(size), uint32_t(size >> 32), 0x8892, 0x88E4, 1});
}

// A texture level and a buffer's storage count only once the library took them: a level the
// library refuses keeps the old level's count, one it accepts replaces it (a 0x0 level frees
// it); the proxy's reading of the library's error hands it to the client's next GetError (an
// error of an earlier command first). Buffer storage counts by its size, replaced by the next
// BufferData, refused past the budget without a call, given back at the delete; a shader's
// source counts by the bytes sent until the shader is deleted.
TEST_F(GlxDirectStateTest, StorageCountsWhatTheLibraryAccepted) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 16 << 20;
  const uint64_t &bytes = client.client->lumoraBytes;
  int32_t limit = 2048, texture = 5, buffer = 3;
  fakeglSetIntegers(0x0D33, &limit, 1);    // GL_MAX_TEXTURE_SIZE
  fakeglSetIntegers(0x8069, &texture, 1);  // GL_TEXTURE_BINDING_2D
  fakeglSetIntegers(0x8894, &buffer, 1);   // GL_ARRAY_BUFFER_BINDING
  auto error = [&] {
    EXPECT_EQ(run(glxdirectGetError, {}), 1);
    return result_.value;
  };
  EXPECT_EQ(renderOne(instance_, slot_, texImage2D(64, 0)), 0);
  EXPECT_EQ(bytes, 16u << 10);
  fakeglSetRefusal("glTexImage2D", 0x0501);
  EXPECT_EQ(renderOne(instance_, slot_, texImage2D(0, 2)), 0);
  EXPECT_EQ(fakeglCountCalls("glTexImage2D"), 2u);
  EXPECT_EQ(bytes, 16u << 10);
  EXPECT_EQ(error(), 0x0501);
  EXPECT_EQ(error(), 0);
  // The client's own error before an accepted level stays for it.
  fakeglSetRefusal("glTexImage2D", 0);
  fakeglSetRefusal("glEnable", 0x0500);
  EXPECT_EQ(renderOne(instance_, slot_, command(139, {0x0B71})), 0);
  EXPECT_EQ(renderOne(instance_, slot_, texImage2D(0, 0)), 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(error(), 0x0500);

  fakeglClearLog();
  EXPECT_EQ(renderOne(instance_, slot_, bufferData(uint64_t(1) << 30)), 11);
  EXPECT_EQ(fakeglCountCalls("glBufferData"), 0u);
  EXPECT_EQ(renderOne(instance_, slot_, bufferData(8 << 20)), 0);
  EXPECT_EQ(bytes, 8u << 20);
  EXPECT_EQ(renderOne(instance_, slot_, bufferData(4 << 20)), 0);  // replaces the 8 MiB
  EXPECT_EQ(bytes, 4u << 20);
  fakeglSetRefusal("glBufferData", 0x0505);
  EXPECT_EQ(renderOne(instance_, slot_, bufferData(12 << 20)), 0);
  EXPECT_EQ(bytes, 4u << 20);
  EXPECT_EQ(error(), 0x0505);
  EXPECT_EQ(run(glxdirectDeleteBuffers, {1, 3}), 1);
  EXPECT_EQ(bytes, 0u);

  std::vector<uint32_t> source = command(253, {7, 1, 4000}, 4000);
  EXPECT_EQ(renderOne(instance_, slot_, source), 0);
  EXPECT_EQ(bytes, 4012u);
  EXPECT_EQ(renderOne(instance_, slot_, source), 0);  // re-sourced: replaced
  EXPECT_EQ(bytes, 4012u);
  EXPECT_EQ(glxdirectDeleteShader(instance_, slot_, 7), 1);
  EXPECT_EQ(bytes, 0u);
  // An ARB program's string likewise, for the program bound to the target.
  int32_t program = 9;
  fakeglSetKeyedValues(0x8620, 0x8677, &program, 1);  // GL_PROGRAM_BINDING_ARB
  EXPECT_EQ(renderOne(instance_, slot_, command(4217, {0x8620, 0x8875, 6000}, 6000)), 0);
  EXPECT_EQ(bytes, 6000u);
  EXPECT_EQ(renderOne(instance_, slot_, command(4217, {0x8620, 0x8875, 20 << 20}, 0)), 16);  // short
  EXPECT_EQ(renderOne(instance_, slot_, command(4183, {0x8620, 9, 3000}, 3000)), 0);  // LoadProgramNV
  EXPECT_EQ(bytes, 3000u);
  configRecord.lumoraMemory = saved;
}

// Display-list names belong to their share group: a context that shares nothing deletes none
// of another group's lists (nothing given back), the same name in two groups is two lists, and
// the names of a group are given back when its last context goes. Commands compiled into a
// list count by the bytes the proxy keeps for them (past the budget: BadAlloc, not recorded),
// the list re-made replaces them, a delete gives them back.
TEST_F(GlxDirectStateTest, ListNamesAndContentsCountPerShareGroup) {
  FakeClient &a = core_.addClient();
  FakeClient &b = core_.addClient();
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 60 << 10;
  uint32_t other = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x2000));
  uint32_t otherSlot = glxdirectCreateTag(instance_, other, 0x200001, 0x200001, 8);
  {
    FakeCore::Current current(a);
    ASSERT_EQ(run(glxdirectGenLists, {4}), 1);  // 1..4 in the first context's group
    EXPECT_EQ(result_.value, 1);
    EXPECT_EQ(a.client->lumoraBytes, 4 * kGlxDirectNameBytes);
  }
  {
    FakeCore::Current current(b);
    std::swap(slot_, otherSlot);
    fakeglClearLog();
    ASSERT_EQ(run(glxdirectDeleteLists, {1, 4}), 1);
    EXPECT_EQ(fakeglCountCalls("glDeleteLists"), 0u);
    ASSERT_EQ(run(glxdirectGenLists, {1}), 1);  // its own list 1
    EXPECT_EQ(result_.value, 1);
    std::swap(slot_, otherSlot);
  }
  EXPECT_EQ(a.client->lumoraBytes, 4 * kGlxDirectNameBytes);
  {
    FakeCore::Current current(a);
    ASSERT_EQ(run(glxdirectDeleteLists, {1, 1}), 1);
    EXPECT_EQ(a.client->lumoraBytes, 3 * kGlxDirectNameBytes);
  }
  {
    FakeCore::Current current(b);
    std::swap(slot_, otherSlot);
    fakeglClearLog();
    ASSERT_EQ(run(glxdirectDeleteLists, {1, 1}), 1);
    EXPECT_EQ(fakeglCountCalls("glDeleteLists"), 1u);
    EXPECT_TRUE(logged("glDeleteLists(1, 1)"));
    EXPECT_EQ(b.client->lumoraBytes, 0u);
    std::swap(slot_, otherSlot);
  }
  FakeCore::Current current(a);
  const uint64_t &bytes = a.client->lumoraBytes;
  // List 2 made with CallLists commands of 7996 bytes of data (7988 names), kept as 8004 each
  // (a header of 8): the eighth passes the budget.
  constexpr uint64_t kKept = 8004;
  std::vector<uint32_t> big = command(2, {7988, 0x1401}, 7988);
  ASSERT_EQ(run(glxdirectNewList, {2, 0x1300}), 1);
  fakeglClearLog();
  for (int k = 0; k < 7; k++) EXPECT_EQ(renderOne(instance_, slot_, big), 0);
  EXPECT_EQ(renderOne(instance_, slot_, big), 11);
  EXPECT_EQ(fakeglCountCalls("glCallLists") + fakeglCountCalls("glCallList"), 0u);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes + 7 * kKept);
  // Re-made: the old contents count until EndList replaces them (an empty list holds nothing).
  ASSERT_EQ(run(glxdirectNewList, {2, 0x1300}), 1);
  EXPECT_EQ(renderOne(instance_, slot_, big), 11);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes);
  ASSERT_EQ(run(glxdirectNewList, {2, 0x1300}), 1);
  EXPECT_EQ(renderOne(instance_, slot_, big), 0);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes + kKept);
  // A list refused at NewList (a mode of no name) records nothing: its commands execute.
  ASSERT_EQ(run(glxdirectNewList, {500, 0x1234}), 1);
  EXPECT_EQ(renderOne(instance_, slot_, big), 0);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes + kKept);
  ASSERT_EQ(run(glxdirectDeleteLists, {2, 1}), 1);
  EXPECT_EQ(bytes, 2 * kGlxDirectNameBytes);
  // A new name made by NewList counts; the last context of the group takes all with it, and so
  // does a context that goes while it makes a list.
  ASSERT_EQ(run(glxdirectNewList, {7, 0x1300}), 1);
  EXPECT_EQ(renderOne(instance_, slot_, big), 0);
  EXPECT_EQ(bytes, 3 * kGlxDirectNameBytes + kKept);
  ASSERT_EQ(run(glxdirectEndList, {}), 1);
  ASSERT_EQ(run(glxdirectNewList, {8, 0x1301}), 1);
  EXPECT_EQ(renderOne(instance_, slot_, big), 0);
  EXPECT_EQ(bytes, 4 * kGlxDirectNameBytes + 2 * kKept);
  dGLDestroyContext(instance_, instance_->contexts->serial);
  EXPECT_EQ(bytes, 0u);
  configRecord.lumoraMemory = saved;
}

// What a client that went left in a share group gives nothing back to the client that took its
// connection index after it; the group's other members delete it freely.
TEST_F(GlxDirectStateTest, ADepartedClientsRefundsGoToNobody) {
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 40 << 20;
  XproxyClientGlxGone savedGone = xproxyGlxClientGone;
  xproxyGlxClientGone = glxClientGone;
  int32_t limit = 2048, texture = 5;
  fakeglSetIntegers(0x0D33, &limit, 1);
  fakeglSetIntegers(0x8069, &texture, 1);
  FakeClient &x = core_.addClient();
  FakeClient &y = core_.addClient();
  {
    FakeCore::Current current(x);
    ASSERT_TRUE(glxdirectMakeTagCurrent(instance_, slot_));
    ASSERT_EQ(glxdirectTextureLevel(instance_, 0x0DE1, 0, 0x8814, 1024, 1024, 1), kGlxDirectLevelCall);
    glxdirectStorageDone(instance_, true);
    EXPECT_EQ(x.client->lumoraBytes, 16u << 20);
  }
  uint32_t index = x.index;
  core_.closeClient(x);
  FakeClient &z = core_.addClient();
  ASSERT_EQ(z.index, index);
  {
    FakeCore::Current current(z);
    ASSERT_TRUE(glxdirectCharge(40 << 20));
  }
  {
    FakeCore::Current current(y);
    EXPECT_EQ(run(glxdirectDeleteTextures, {1, 5}), 1);
  }
  EXPECT_EQ(z.client->lumoraBytes, 40u << 20);
  EXPECT_EQ(y.client->lumoraBytes, 0u);
  xproxyGlxClientGone = savedGone;
  configRecord.lumoraMemory = saved;
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

// A request through the front: the words after the tag, a name (sent with its NUL), the call
// the library must see once, and the reply's word at an offset (offset 0: no reply) and text from
// byte 32.
struct FrontCase {
  uint8_t minor;
  std::vector<uint32_t> words;
  std::string name, call;
  size_t at = 0;
  uint32_t value = 0;
  std::string text = "";
};

// The single operations through the GLX front, on a meta screen of two heads of which the first
// renders with an instance (slot 1 current) loaded without a display. The client's program 5 and
// shader 6 are the library's 105 and 106.
class GlxDirectFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeglReset();
    screen_ = core_.addScreen(1600, 600, 2);
    client_ = &core_.addClient(false);
    heads_ = core_.heads(screen_);
    savedMajor_ = proxyState.ext.glxMajor;
    proxyState.ext.glxMajor = 201;
    instance_ = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
    ASSERT_EQ(glxdirectLoadFunctions(kFakeGlLibrary.c_str(), 2 * 64 + 1, instance_), nullptr);
    fakeglTwoSlots(instance_, handles_, &display_);
    fakeglObjectTag(client_, instance_, &tag_);
    glxFindTagEntry(client_->client, tag_)->screen = screen_;
    for (Head *head : heads_) setGLXTagForServer(tag_, head, 1);
    heads_[0]->glLibrary = instance_;
  }
  void TearDown() override {
    for (Head *head : heads_) head->glLibrary = nullptr;
    fakeglDropObjectTag(instance_);
    proxyState.ext.glxMajor = savedMajor_;
    fakeglFreeTwoSlots(instance_, display_);
  }
  // Sends the case's request; the replies and errors the client got.
  std::vector<FakeBytes> send(const FrontCase &c) {
    FakeMessage m(false);
    m.b(201).b(c.minor).s(0).i(tag_);
    for (uint32_t w : c.words) m.i(w);
    for (size_t k = 0; k < (c.name.empty() ? 0 : (c.name.size() + 4) / 4 * 4); k++)
      m.b(k < c.name.size() ? uint8_t(c.name[k]) : 0);
    FakeBytes bytes = m.done();
    fakeglClearLog();
    FakeCore::Current current(*client_);
    glxSingleRow(c.minor)->handler(bytes.data(), uint32_t(bytes.size()), nullptr);
    return core_.messages(*client_);
  }
  void check(const FrontCase &c) {
    SCOPED_TRACE(int(c.minor));
    std::vector<FakeBytes> got = send(c);
    std::string calls = fakeglLog();
    EXPECT_EQ(fakeglCountCalls(c.call.substr(0, c.call.find('('))), 1u) << calls;
    EXPECT_NE(calls.find(c.call), std::string::npos) << calls;
    ASSERT_EQ(got.size(), c.at ? 1u : 0u);
    if (!c.at) return;
    ASSERT_EQ(got[0][0], 1);
    ASSERT_GE(got[0].size(), 32 + c.text.size());
    EXPECT_EQ(client_->u32(got[0], 4), (got[0].size() - 32) / 4);
    EXPECT_EQ(client_->u32(got[0], c.at), c.value);
    EXPECT_EQ(std::string(got[0].begin() + 32, got[0].begin() + 32 + long(c.text.size())), c.text);
  }

  FakeCore core_;
  MetaScreen *screen_ = nullptr;
  FakeClient *client_ = nullptr;
  std::vector<Head *> heads_;
  uint8_t savedMajor_ = 0;
  char handles_[4] = {};
  _XPrivDisplay display_ = nullptr;
  GlxLibraryInstance *instance_ = nullptr;
  uint32_t tag_ = 0;
};

void keyed(uint32_t key, uint32_t pname, std::vector<int32_t> values) {
  fakeglSetKeyedValues(key, pname, values.data(), uint32_t(values.size()));
}

TEST_F(GlxDirectFrontTest, GlslRequestsReachTheLibraryUnderItsIds) {
  fakeglSetString(kFakeglObjectText, "0:1(2): error: syntax");
  fakeglSetString(kFakeglActiveName, "u_colour");
  keyed(105, 0x8B80, {3});  // DELETE_STATUS
  keyed(106, 0x8B4F, {0x8B31});  // SHADER_TYPE
  keyed(105, 0x8B82, {1});  // LINK_STATUS
  keyed(105, kFakeglAttached, {106, 107});
  keyed(105, kFakeglLocation, {4});
  keyed(105, kFakeglActive, {2, 0x8B52});  // size 2, FLOAT_VEC4
  keyed(105, kFakeglIsProgram, {1});
  const std::string log = "0:1(2): error: syntax";
  for (const FrontCase &c : std::vector<FrontCase>{
           {170, {5, 0x8B80}, "", "glGetObjectParameterfvARB(105, 0x8B80, ", 16, 0x40400000, ""},  // 3.0f
           {171, {6, 0x8B4F}, "", "glGetObjectParameterivARB(106, 0x8B4F, ", 8, 0x8B31, ""},
           {172, {5, 64}, "", "glGetInfoLogARB(105, 64, ", 12, 21, log},
           // The attached shader goes back under the client's id.
           {173, {5, 4}, "", "glGetAttachedObjectsARB(105, 4, ", 12, 2, std::string("\6\0\0\0k\0\0\0", 8)},
           {174, {5}, "colour", "glGetUniformLocation(105, \"colour\")", 8, 4, ""},
           {175, {5, 0, 16}, "", "glGetActiveUniform(105, 0, 16, ", 20, 0x8B52, "u_colour"},
           {178, {6, 4}, "", "glGetShaderSource(106, 4, ", 12, 3, "0:1"},
           {179, {5, 1, 5}, "", "glGetActiveAttrib(105, 1, 5, ", 16, 2, "u_co"},
           {180, {5}, "pos", "glGetAttribLocation(105, \"pos\")", 16, 4, ""},
           {197, {5}, "", "glIsProgram(105)", 8, 1, ""},
           {198, {6, 0x8B4F}, "", "glGetShaderiv(106, 0x8B4F, ", 16, 0x8B31, ""},
           {199, {5, 0x8B82}, "", "glGetProgramiv(105, 0x8B82, ", 16, 1, ""},
           {200, {6, 64}, "", "glGetShaderInfoLog(106, 64, ", 12, 21, log},
           {201, {5, 8}, "", "glGetProgramInfoLog(105, 8, ", 12, 7, "0:1(2):"},
           {202, {5}, "", "glDeleteProgram(105)", 8, 1, ""},
           {195, {6}, "", "glDeleteShader(106)", 0, 0, ""}})
    check(c);
  // The ids went with their objects.
  FakeCore::Current current(*client_);
  EXPECT_EQ(glxFindProgramEntry(tag_, 105), nullptr);
  EXPECT_EQ(glxFindShaderEntry(tag_, 106), nullptr);
}

TEST_F(GlxDirectFrontTest, EveryHeadRowsRunOnEachHeadAndAnswerOnce) {
  heads_[1]->glLibrary = instance_;
  EXPECT_EQ(send({199, {5, 0x8B82}, "", "", 0, 0, ""}).size(), 1u);
  EXPECT_EQ(fakeglCountCalls("glGetProgramiv"), 2u);
  EXPECT_EQ(send({171, {5, 0x8B82}, "", "", 0, 0, ""}).size(), 1u);  // a query: the reply head only
  EXPECT_EQ(fakeglCountCalls("glGetObjectParameterivARB"), 1u);
}

TEST_F(GlxDirectFrontTest, StringsAndQueryObjects) {
  fakeglSetString(0x1F04, "fake text");
  keyed(0, kFakeglGenQueries, {40});
  keyed(41, kFakeglIsQuery, {1});
  keyed(0x8914, 0x8864, {64});  // SAMPLES_PASSED, QUERY_COUNTER_BITS
  keyed(41, 0x8866, {1234});    // QUERY_RESULT
  keyed(41, 0x8867, {-1});      // as the library writes it
  for (const FrontCase &c : std::vector<FrontCase>{
           {129, {0x1F04}, "", "glGetString(0x1F04)", 12, 10, std::string("fake text\0", 10)},
           {162, {3}, "", "glGenQueries(3, ", 36, 41, std::string("(\0\0\0)\0\0\0*\0\0\0", 12)},
           {163, {41}, "", "glIsQuery(41)", 8, 1, ""},
           {163, {42}, "", "glIsQuery(42)", 8, 0, ""},
           {164, {0x8914, 0x8864}, "", "glGetQueryiv(0x8914, 0x8864, ", 16, 64, ""},
           {165, {41, 0x8866}, "", "glGetQueryObjectiv(41, 0x8866, ", 16, 1234, ""},
           {166, {41, 0x8867}, "", "glGetQueryObjectuiv(41, 0x8867, ", 16, 0xFFFFFFFFu, ""}})
    check(c);
}

// Sizes a client chooses beyond what the scratch may grow to: BadAlloc from the reply head, and
// the library is given nothing to fill.
TEST_F(GlxDirectFrontTest, AnswersWithoutRoomAreBadAlloc) {
  uint8_t *before = instance_->scratch;
  EXPECT_EQ(glxdirectScratch(instance_, kGlxDirectScratchLimit + 1), nullptr);
  constexpr uint32_t kBeyond = 0x20000000;  // 512 MiB
  for (const FrontCase &c : std::vector<FrontCase>{
           {172, {5, kBeyond}, "", "glGetInfoLogARB"}, {200, {6, kBeyond}, "", "glGetShaderInfoLog"},
           {178, {6, kBeyond}, "", "glGetShaderSource"}, {175, {5, 0, kBeyond}, "", "glGetActiveUniform"},
           {173, {5, kBeyond / 4}, "", "glGetAttachedObjectsARB"},
           {189, {0, 0, kBeyond, 0, 0x8892}, "", "glGetBufferSubData"},
           {145, {kBeyond / 4}, "", "glGenTextures"}, {162, {kBeyond / 4}, "", "glGenQueries"},
           {187, {kBeyond / 4}, "", "glGenBuffers"},
           {111, {0, 0, 8192, 8193, 0x1908, 0x1401, 0}, "", "glReadPixels"}}) {  // RGBA bytes: 256 MiB + 32 KiB
    SCOPED_TRACE(int(c.minor));
    std::vector<FakeBytes> got = send(c);
    EXPECT_EQ(fakeglCountCalls(c.call), 0u);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], 11);
  }
  EXPECT_EQ(instance_->scratch, before);
}

}  // namespace

// The texture-from-pixmap vendor codes on a head whose library executes GL: the library's GLX
// pixmaps have no texture-from-pixmap attributes, so it is never called; a tag that is not the
// client's is GLXBadContextTag, a drawable that is no GLX pixmap (the root window) GLXBadPixmap.
TEST_F(GlxDirectFrontTest, BindTexImageRefusedBeforeTheLibrary) {
  const uint32_t window = core_.root(screen_)->id;
  const uint8_t firstError = proxyState.extensions[201].firstError;
  for (uint32_t code : {1330u, 1331u}) {
    for (uint32_t tag : {tag_, 0u, tag_ + 1}) {
      SCOPED_TRACE(std::to_string(code) + " under tag " + std::to_string(tag));
      FakeMessage m(false);
      m.b(201).b(16).s(0).i(code).i(tag).i(window).i(0x20DE).i(0);  // GLX_FRONT_LEFT_EXT, no attributes
      FakeBytes bytes = m.done();
      fakeglClearLog();
      {
        FakeCore::Current current(*client_);
        glxVendorRow(16)->handler(bytes.data(), uint32_t(bytes.size()), nullptr);
      }
      EXPECT_EQ(fakeglCountCalls("glXBindTexImageEXT") + fakeglCountCalls("glXReleaseTexImageEXT"), 0u);
      std::vector<FakeBytes> got = core_.messages(*client_);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], firstError + (tag == tag_ ? 3 : 4));  // GLXBadPixmap, GLXBadContextTag
    }
  }
}
