// Read-backs and render modes of GL rendered inside the proxy, on the recording fake GL library
// (an instance set up on a private Xvfb): the pack state set before each get, areas that never
// reach past what was sized for them whatever the client set, zeroed areas where the library
// writes nothing, and select buffers kept per context.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <dlfcn.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/korvanparser.h"
#include "proxy/window.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kRgba = 0x1908, kUnsignedByte = 0x1401, kUnsignedShort = 0x1403, kTexture2D = 0x0DE1;
constexpr uint32_t kPackRowLength = 0x0D02, kPackSkipRows = 0x0D03, kPackSkipPixels = 0x0D04;
constexpr uint32_t kRender = 0x1C00, kFeedback = 0x1C01, kSelect = 0x1C02;

// Whether every line of wanted appears in the log before the first line starting with last.
bool loggedBefore(const std::vector<std::string> &wanted, const std::string &last) {
  std::string log = fakeglLog();
  size_t end = log.find("\n" + last + "(");
  if (end == std::string::npos) return false;
  for (const std::string &line : wanted)
    if (log.find(line + "\n") >= end) return false;
  return true;
}

const std::vector<std::string> kPackLines = {
    "glPixelStorei(0x0D02, 0)", "glPixelStorei(0x0D03, 0)", "glPixelStorei(0x0D04, 0)",
    "glPixelStorei(0x806C, 0)", "glPixelStorei(0x806B, 0)", "glPixelStorei(0x0D05, 4)"};

bool allBytes(const uint8_t *data, uint64_t size, uint8_t value) {
  for (uint64_t i = 0; i < size; i++)
    if (data[i] != value) return false;
  return true;
}

class GlxDirectReadTest : public GlxDirectXvfbTest {
 protected:
  void SetUp() override {
    GlxDirectXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    // Contexts of the library stand in as handles only: the fake takes any.
    for (uintptr_t k = 0; k < 2; k++) {
      uint32_t serial = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x1000 * (k + 1)));
      slots_[k] = glxdirectCreateTag(instance_, serial, 0x100 + k, 0x100 + k, 7 + k);
    }
    glxdirectSyncClient = noSync;
    fakeglClearLog();
  }
  // A client's pack state that would make a library write far past a tightly sized area.
  void setClientPackState() {
    instance_->functions.glPixelStorei(kPackRowLength, 4096);
    instance_->functions.glPixelStorei(kPackSkipRows, 7);
    instance_->functions.glPixelStorei(kPackSkipPixels, 3);
    fakeglClearLog();
  }
  GlxDirectContext *node(int k) {
    GlxDirectContext *n = instance_->contexts;
    for (int i = 0; i < k && n; i++) n = n->next;
    return n;
  }
  // A fresh reply for one read-back: its image stays valid until the test ends.
  GlxDirectReply *reply() { return &replies_.emplace_back(); }
  void TearDown() override {
    for (GlxDirectReply &made : replies_) glxdirectReplyDone(&made);
    GlxDirectXvfbTest::TearDown();
  }
  int selectBuffer(uint32_t slot, int32_t entries) {
    uint8_t params[4];
    memcpy(params, &entries, 4);
    GlxDirectResult result{};
    return glxdirectSelectBuffer(instance_, slot, params, 4, &result);
  }

  uint32_t slots_[2] = {};
  std::deque<GlxDirectReply> replies_;
};

TEST_F(GlxDirectReadTest, ImagesArePackedTightlyWhateverTheClientSet) {
  fakeglSetPixelFill(0xAB);
  setClientPackState();
  uint32_t count = 0, itemSize = 0;
  // 60 x 20 pixels of 4 bytes: 4800 bytes, inside the first scratch area; the client's row
  // length would put its second row 16 KiB further.
  const uint8_t *pixels = glxdirectReadPixels(instance_, slots_[0], 0, 0, 60, 20, kRgba, kUnsignedByte, 1, 0,
                                              reply(), &count, &itemSize);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(count, 4800u);
  EXPECT_EQ(itemSize, 1u);
  EXPECT_TRUE(allBytes(pixels, 4800, 0xAB));
  EXPECT_TRUE(loggedBefore(kPackLines, "glReadPixels")) << fakeglLog();
  EXPECT_TRUE(loggedBefore({"glPixelStorei(0x0D00, 1)", "glPixelStorei(0x0D01, 0)"}, "glReadPixels"));
  // Items of the GL type: 3 x 3 RGBA unsigned shorts.
  pixels = glxdirectReadPixels(instance_, slots_[0], 0, 0, 3, 3, kRgba, kUnsignedShort, 0, 0, reply(), &count, &itemSize);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(count, 36u);
  EXPECT_EQ(itemSize, 2u);

  // A texture level of 40 x 30, same pack state; the swap flag reaches the pack state.
  const int32_t width = 40, height = 30, depth = 1;
  fakeglSetKeyedValues(kTexture2D, 0x1000, &width, 1);
  fakeglSetKeyedValues(kTexture2D, 0x1001, &height, 1);
  fakeglSetKeyedValues(kTexture2D, 0x8071, &depth, 1);
  setClientPackState();
  int32_t w = 0, h = 0, d = 0, border = -1;
  uint64_t size = 0;
  const uint8_t *texels = glxdirectGetTexImage(instance_, slots_[1], kTexture2D, 0, kRgba, kUnsignedByte, 1, &w, &h,
                                               &d, &border, &size, reply());
  ASSERT_NE(texels, nullptr);
  EXPECT_EQ(w, 40);
  EXPECT_EQ(h, 30);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(border, 0);
  EXPECT_EQ(size, 4800u);
  EXPECT_TRUE(allBytes(texels, size, 0xAB));
  EXPECT_TRUE(loggedBefore(kPackLines, "glGetTexImage")) << fakeglLog();
  EXPECT_TRUE(loggedBefore({"glPixelStorei(0x0D00, 1)"}, "glGetTexImage"));
  // The byte and bit order an earlier read left (swap on, and a client's LSB first) do not reach
  // a get whose request sets neither.
  instance_->functions.glPixelStorei(0x0D01, 1);
  fakeglClearLog();
  ASSERT_NE(glxdirectGetPolygonStipple(instance_, slots_[1], &count), nullptr);
  EXPECT_TRUE(loggedBefore({"glPixelStorei(0x0D00, 0)", "glPixelStorei(0x0D01, 0)"}, "glGetPolygonStipple"))
      << fakeglLog();
}

TEST_F(GlxDirectReadTest, BitmapReadBacksAreRefusedBeforeTheLibrary) {
  // Stencil indices packed as a bitmap: the library never returns. Its GL_INVALID_ENUM comes
  // from a read of no type and no pixels, answered with nothing.
  uint32_t count = 7, itemSize = 0;
  EXPECT_NE(glxdirectReadPixels(instance_, slots_[0], 0, 0, 8, 32, 0x1901, 0x1A00, 0, 0, reply(), &count, &itemSize), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(std::string(fakeglLog()).find("glReadPixels(0, 0, 8"), std::string::npos) << fakeglLog();
  EXPECT_NE(std::string(fakeglLog()).find("glReadPixels(0, 0, 0, 0, 0x1908, 0x0000, "), std::string::npos)
      << fakeglLog();
  fakeglClearLog();
  const int32_t side = 8;
  fakeglSetKeyedValues(kTexture2D, 0x1000, &side, 1);
  fakeglSetKeyedValues(kTexture2D, 0x1001, &side, 1);
  int32_t w = 0, h = 0, d = 0, border = 0;
  uint64_t size = 1;
  EXPECT_EQ(glxdirectGetTexImage(instance_, slots_[0], kTexture2D, 0, 0x1900, 0x1A00, 0, &w, &h, &d, &border, &size, reply()),
            nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(std::string(fakeglLog()).find("glGetTexImage"), std::string::npos) << fakeglLog();
}

TEST_F(GlxDirectReadTest, AreasAreZeroedAndEmptyImagesCallNothing) {
  // Another client's pixels are read first (into memory a later reply may be given).
  fakeglSetPixelFill(0x5C);
  uint32_t count = 0, itemSize = 0;
  ASSERT_NE(glxdirectReadPixels(instance_, slots_[0], 0, 0, 64, 64, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize),
            nullptr);
  // The library writes nothing now (as for a GL error): the client gets zeros.
  fakeglSetPixelFill(-1);
  const uint8_t *pixels =
      glxdirectReadPixels(instance_, slots_[0], 0, 0, 64, 64, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize);
  ASSERT_NE(pixels, nullptr);
  EXPECT_TRUE(allBytes(pixels, 16384, 0));
  ASSERT_NE(glxdirectReadPixels(instance_, slots_[0], 0, 0, 64, 64, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize),
            nullptr);
  uint32_t stippleCount = 0;
  fakeglSetPixelFill(0x5C);
  glxdirectReadPixels(instance_, slots_[0], 0, 0, 64, 64, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize);
  const uint8_t *stipple = glxdirectGetPolygonStipple(instance_, slots_[0], &stippleCount);
  ASSERT_NE(stipple, nullptr);
  EXPECT_EQ(stippleCount, 128u);
  EXPECT_TRUE(allBytes(stipple, 128, 0));
  const uint8_t *minmax = glxdirectGetMinmax(instance_, slots_[0], 0x802E, 0, kRgba, kUnsignedByte);
  ASSERT_NE(minmax, nullptr);
  EXPECT_TRUE(allBytes(minmax, 100000, 0));
  const uint8_t *scale = glxdirectGetConvolutionParameterfv(instance_, slots_[0], 0x8010, 0x8014, &count);
  ASSERT_NE(scale, nullptr);
  EXPECT_EQ(count, 4u);
  EXPECT_TRUE(allBytes(scale, 16, 0));

  // Nothing to read: no pack state, no get, no data.
  fakeglClearLog();
  EXPECT_EQ(glxdirectReadPixels(instance_, slots_[0], 0, 0, 0, 5, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize),
            nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(itemSize, 1u);
  int32_t w = -1, h = -1, d = -1, border = -1;
  uint64_t size = 1;
  EXPECT_EQ(glxdirectGetTexImage(instance_, slots_[0], kTexture2D, 0, kRgba, kUnsignedByte, 0, &w, &h, &d, &border,
                                 &size, reply()),
            nullptr);
  EXPECT_EQ(size, 0u);
  int32_t tableWidth = -1;
  EXPECT_EQ(glxdirectGetColorTable(instance_, slots_[0], 0x80D0, kRgba, kUnsignedByte, &tableWidth, &size, reply()), nullptr);
  EXPECT_EQ(tableWidth, 0);
  EXPECT_EQ(fakeglCountCalls("glPixelStorei") + fakeglCountCalls("glReadPixels") + fakeglCountCalls("glGetTexImage") +
                fakeglCountCalls("glGetColorTable"),
            0u)
      << fakeglLog();
  // A slot that cannot be made current: nothing either.
  EXPECT_EQ(glxdirectGetPolygonStipple(instance_, 9, &stippleCount), nullptr);
  EXPECT_EQ(stippleCount, 0u);
}

// ReadPixels reads only the part of its rectangle inside the read drawable (a 64x48 window of
// the proxy's records here), into that part's place in the requested image: rows of the
// requested width, the part's offset skipped; every other byte is zero. A rectangle of which
// nothing exists has the library check the request only; a negative size goes to the library
// for its error; with a framebuffer object bound for reading the library's largest drawable
// bounds the read instead.
TEST_F(GlxDirectReadTest, ReadPixelsReadOnlyThePartInsideTheDrawable) {
  MetaScreen *screen = core_.addScreen(64, 48);
  uint32_t window = core_.root(screen)->id;
  uint32_t serial = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x3000));
  uint32_t slot = glxdirectCreateTag(instance_, serial, 0x300, 0x300, 9, window, window);
  ASSERT_NE(slot, 0u);
  fakeglSetPixelFill(0xAB);
  struct Case {
    int32_t x, y, width, height;
    int64_t partX, partY, partWidth, partHeight;  // partWidth 0: nothing of it exists
  };
  const Case cases[] = {
      {0, 0, 64, 48, 0, 0, 64, 48},          // the whole window
      {8, 4, 16, 8, 8, 4, 16, 8},            // inside
      {32, 40, 64, 16, 32, 40, 32, 8},       // beyond the right and top edges
      {-10, -5, 20, 10, 0, 0, 10, 5},        // left of and below the origin
      {-3, 20, 100, 3, 0, 20, 64, 3},        // wider than the window on both sides
      {0, 0, 4096, 4096, 0, 0, 64, 48},      // far larger (64 MiB asked for)
      {-100, 0, 50, 10, 0, 0, 0, 0},         // left of it: nothing exists
      {64, 0, 8, 8, 0, 0, 0, 0},             // just right of it
      {0, 2147483600, 8, 100, 0, 0, 0, 0},   // x + width past the 32-bit range
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    fakeglClearLog();
    uint32_t count = 0, itemSize = 0;
    const uint8_t *image = glxdirectReadPixels(instance_, slot, c.x, c.y, c.width, c.height, kRgba, kUnsignedByte, 0,
                                               0, reply(), &count, &itemSize);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(count, uint32_t(c.width) * uint32_t(c.height) * 4);
    std::string call = "glReadPixels(" + std::to_string(c.partWidth ? c.partX : c.x) + ", " +
                       std::to_string(c.partWidth ? c.partY : c.y) + ", " + std::to_string(c.partWidth) + ", " +
                       std::to_string(c.partHeight) + ", 0x1908, 0x1401, ";
    EXPECT_EQ(fakeglCountCalls("glReadPixels"), 1u);
    EXPECT_NE(std::string(fakeglLog()).find(call), std::string::npos) << fakeglLog();
    uint64_t wrong = 0;
    for (int64_t row = 0; row < c.height; row++) {
      for (int64_t column = 0; column < c.width; column++) {
        int64_t x = c.x + column, y = c.y + row;
        bool inside = c.partWidth && x >= c.partX && x < c.partX + c.partWidth && y >= c.partY &&
                      y < c.partY + c.partHeight;
        const uint8_t *pixel = image + (row * c.width + column) * 4;
        for (int k = 0; k < 4; k++) wrong += pixel[k] != (inside ? 0xAB : 0);
      }
    }
    EXPECT_EQ(wrong, 0u);
  }
  // Nothing asked for: no call, no data; a negative size is the library's GL_INVALID_VALUE.
  fakeglClearLog();
  uint32_t count = 7, itemSize = 0;
  EXPECT_EQ(glxdirectReadPixels(instance_, slot, 0, 0, 0, 5, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize),
            nullptr);
  EXPECT_EQ(fakeglCountCalls("glReadPixels"), 0u);
  EXPECT_EQ(glxdirectReadPixels(instance_, slot, 10, 10, -1, 5, kRgba, kUnsignedByte, 0, 0, reply(), &count,
                                &itemSize),
            nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(std::string(fakeglLog()).find("glReadPixels(10, 10, -1, 5, "), std::string::npos) << fakeglLog();
  // From a framebuffer object: the library's largest drawable (100x100 here) bounds the read.
  const int32_t bound = 5;
  fakeglSetIntegers(instance_->readFramebufferQuery ? instance_->readFramebufferQuery : 0x8CAA, &bound, 1);
  instance_->readFramebufferQuery = 0x8CAA;
  instance_->largestWidth = instance_->largestHeight = 100;
  fakeglClearLog();
  const uint8_t *image =
      glxdirectReadPixels(instance_, slot, -28, 0, 256, 2, kRgba, kUnsignedByte, 0, 0, reply(), &count, &itemSize);
  ASSERT_NE(image, nullptr);
  EXPECT_NE(std::string(fakeglLog()).find("glReadPixels(0, 0, 100, 2, "), std::string::npos) << fakeglLog();
  EXPECT_TRUE(allBytes(image, 28 * 4, 0));
  EXPECT_TRUE(allBytes(image + 28 * 4, 100 * 4, 0xAB));
  EXPECT_TRUE(allBytes(image + 128 * 4, 128 * 4, 0));
}

TEST_F(GlxDirectReadTest, SelectBuffersBelongToTheirContexts) {
  uint32_t a = slots_[0], b = slots_[1];
  const uint32_t *buffer = nullptr;
  uint32_t size = 99;
  // From GL_RENDER nothing is handed back.
  ASSERT_EQ(selectBuffer(a, 64), 1);
  EXPECT_EQ(glxdirectRenderMode(instance_, a, kSelect, &buffer, &size), 0);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 0u);
  // B's buffer leaves A's alone; a new one inside select mode keeps the old.
  ASSERT_EQ(selectBuffer(b, 32), 1);
  glxdirectRenderMode(instance_, b, kSelect, &buffer, &size);
  uint32_t *bBuffer = node(1)->selectBuffer;
  fakeglClearLog();
  selectBuffer(b, 4096);
  EXPECT_EQ(node(1)->selectBuffer, bBuffer);
  EXPECT_EQ(node(1)->selectSize, 32u);
  EXPECT_NE(std::string(fakeglLog()).find("glSelectBuffer(32, "), std::string::npos) << fakeglLog();
  // Each context's hits come back to it, in its own buffer.
  EXPECT_EQ(glxdirectRenderMode(instance_, a, kRender, &buffer, &size), 1);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer, node(0)->selectBuffer);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(buffer[0], 1u);
  EXPECT_EQ(buffer[3], 0x1000u);
  EXPECT_EQ(glxdirectRenderMode(instance_, b, kRender, &buffer, &size), 1);
  EXPECT_EQ(buffer, bBuffer);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(buffer[3], 0x2000u);
  // Back in GL_RENDER: a new buffer replaces the old one.
  ASSERT_EQ(selectBuffer(a, 16), 1);
  EXPECT_EQ(node(0)->selectSize, 16u);
}

// Select buffers count against the client's lumoraMemory for as long as the context keeps
// them: a second one past the budget is refused, a replacement gives the old one's bytes back
// (it needs room beside the old one), and so does the context going.
TEST_F(GlxDirectReadTest, SelectBuffersCountWhileTheyAreKept) {
  FakeClient &client = core_.addClient();
  FakeCore::Current current(client);
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 1 << 20;
  const uint64_t &bytes = client.client->lumoraBytes;
  ASSERT_EQ(selectBuffer(slots_[0], 150000), 1);
  EXPECT_EQ(bytes, 600004u);
  EXPECT_EQ(selectBuffer(slots_[1], 150000), 0);
  ASSERT_EQ(selectBuffer(slots_[1], 1000), 1);
  ASSERT_EQ(selectBuffer(slots_[0], 50000), 1);
  EXPECT_EQ(bytes, 200004u + 4004u);
  dGLDestroyContext(instance_, node(0)->serial);
  EXPECT_EQ(bytes, 4004u);
  EXPECT_EQ(selectBuffer(slots_[1], 200000), 1);  // the old one's room counts until it went
  EXPECT_EQ(bytes, 800004u);
  configRecord.lumoraMemory = saved;
}

TEST_F(GlxDirectReadTest, BuffersBeyondA32BitSizeAreRefused) {
  fakeglClearLog();
  EXPECT_EQ(selectBuffer(slots_[0], 0x40000000), 0);
  uint8_t params[8];
  int32_t entries = 0x40000000, type = 0x0602;
  memcpy(params, &entries, 4);
  memcpy(params + 4, &type, 4);
  GlxDirectResult result{};
  EXPECT_EQ(glxdirectFeedbackBuffer(instance_, slots_[0], params, 8, &result), 0);
  EXPECT_EQ(fakeglCountCalls("glSelectBuffer") + fakeglCountCalls("glFeedbackBuffer"), 0u) << fakeglLog();
  EXPECT_EQ(node(0)->selectBuffer, nullptr);
  // The largest that fits is only limited by memory; a short parameter list calls nothing.
  EXPECT_EQ(glxdirectFeedbackBuffer(instance_, slots_[0], params, 4, &result), 0);
  entries = 100;
  memcpy(params, &entries, 4);
  ASSERT_EQ(glxdirectFeedbackBuffer(instance_, slots_[0], params, 8, &result), 1);
  const uint32_t *buffer = nullptr;
  uint32_t size = 0;
  glxdirectRenderMode(instance_, slots_[0], kFeedback, &buffer, &size);
  glxdirectRenderMode(instance_, slots_[0], kRender, &buffer, &size);
  EXPECT_EQ(buffer, reinterpret_cast<const uint32_t *>(node(0)->feedbackBuffer));
  EXPECT_EQ(size, 100u);
}

// Contexts, drawables and the reload of the library once nothing made with it is left.
TEST_F(GlxDirectReadTest, DestroyingAContextTakesItsSlotsHighestFirst) {
  // A third slot on the first context, above the second context's slot.
  uint32_t first = instance_->contexts->serial, second = instance_->contexts->next->serial;
  ASSERT_EQ(glxdirectCreateTag(instance_, first, 0x300, 0x300, 20), 3u);
  glxdirectMakeTagCurrent(instance_, slots_[1]);
  fakeglClearLog();
  dGLDestroyContext(instance_, first);
  std::string log = fakeglLog();
  size_t third = log.find(", 768, 768, "), one = log.find(", 256, 256, ");
  ASSERT_NE(third, std::string::npos) << log;
  ASSERT_NE(one, std::string::npos) << log;
  EXPECT_LT(third, one);
  EXPECT_EQ(fakeglCountCalls("glXDestroyContext"), 1u);
  EXPECT_EQ(instance_->tagSlots[1].context, nullptr);
  EXPECT_EQ(instance_->tagSlots[3].context, nullptr);
  EXPECT_NE(instance_->tagSlots[2].context, nullptr);
  EXPECT_EQ(instance_->contexts->serial, second);
  EXPECT_EQ(instance_->contexts->next, nullptr);
  EXPECT_FALSE(core_.logged("Last resource at"));
  fakeglClearLog();
  dGLDestroyContext(instance_, first);
  EXPECT_TRUE(core_.logged("Unknown context 0x"));
  EXPECT_EQ(fakeglCountCalls("glXDestroyContext"), 0u);
}

TEST_F(GlxDirectReadTest, LibraryIsReloadedOnlyWhenTheLastResourceGoes) {
  fakeglSetFbConfigCount(1);
  fakeglSetFbConfigAttrib(0, GLX_FBCONFIG_ID, 0x21);
  uint32_t pbuffer = glxdirectCreatePbuffer(instance_, 0, 0x21, 64, 32, 0, 1);
  ASSERT_NE(pbuffer, 0u);
  EXPECT_EQ(instance_->livePbuffers, 1u);
  EXPECT_EQ(glxdirectCreatePbuffer(instance_, 0, 0x99, 64, 32, 0, 1), 0u);  // no such config
  // A select buffer and a grown scratch area outlive nothing of the contexts.
  ASSERT_EQ(selectBuffer(slots_[0], 8), 1);
  ASSERT_NE(glxdirectScratch(instance_, 100000), nullptr);
  dGLDestroyContext(instance_, instance_->contexts->serial);
  dGLDestroyContext(instance_, instance_->contexts->serial);
  EXPECT_EQ(instance_->contexts, nullptr);
  EXPECT_FALSE(core_.logged("Last resource at"));
  EXPECT_EQ(instance_->scratchSize, 100000u);
  // The pbuffer goes: a fresh scratch area, the table resolved anew, the library still mapped.
  instance_->functions.glFinish = nullptr;
  instance_->insideBegin = 1;
  instance_->enabledArrays[5] = 1;
  glxdirectDestroyPbuffer(instance_, pbuffer);
  EXPECT_EQ(instance_->livePbuffers, 0u);
  EXPECT_TRUE(core_.logged("Lumora: Last resource at "));
  EXPECT_EQ(instance_->scratchSize, 16384u);
  EXPECT_NE(instance_->functions.glFinish, nullptr);
  EXPECT_EQ(instance_->insideBegin, 0);
  EXPECT_EQ(instance_->enabledArrays[5], 0);
  void *mapped = dlopen(kFakeGlLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(mapped, nullptr);
  if (mapped) dlclose(mapped);
  // A second destroy of a pbuffer lowers nothing further.
  glxdirectDestroyPbuffer(instance_, pbuffer);
  EXPECT_EQ(instance_->livePbuffers, 0u);
}

}  // namespace
