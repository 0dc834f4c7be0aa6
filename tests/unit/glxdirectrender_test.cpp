// Render commands executed inside the proxy, against the recording fake GL library: the command
// families by representative opcodes (the call log shows what reached the library), the loops'
// edge cases, pixel sizes, and the bounds: every served command cut short at the end of an
// exactly sized heap block makes no call and is reported once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "logcapture_helpers.h"
#include "proxy/connections.h"
#include "support/orders.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxdirectlists.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"

namespace {

constexpr uint32_t kGl21 = 2 * 64 + 1;

// A render command's data (after its header), built field by field in this machine's order.
struct Data {
  std::vector<uint8_t> bytes;
  Data &u32(uint32_t v) { return raw(&v, 4); }
  Data &i32(int32_t v) { return raw(&v, 4); }
  Data &f32(float v) { return raw(&v, 4); }
  Data &f64(double v) { return raw(&v, 8); }
  Data &u16(uint16_t v) { return raw(&v, 2); }
  Data &u8(uint8_t v) { return raw(&v, 1); }
  Data &pad(size_t n) {
    bytes.insert(bytes.end(), n, 0);
    return *this;
  }
  Data &text(const std::string &s) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
  }
  Data &raw(const void *p, size_t n) {
    auto *b = static_cast<const uint8_t *>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
  // The 20-byte pixel header.
  Data &pixels(int32_t rowLength, int32_t skipRows, int32_t skipPixels, int32_t alignment, uint8_t swap = 0,
               uint8_t lsb = 0) {
    return u8(swap).u8(lsb).u16(0).i32(rowLength).i32(skipRows).i32(skipPixels).i32(alignment);
  }
};

// A GLXRender stream of commands with 16-bit headers.
struct Stream {
  std::vector<uint8_t> bytes;
  Stream &add(uint16_t opcode, const Data &d) {
    uint16_t length = static_cast<uint16_t>(4 + ((d.bytes.size() + 3) & ~size_t{3}));
    bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&length), reinterpret_cast<uint8_t *>(&length) + 2);
    bytes.insert(bytes.end(), reinterpret_cast<uint8_t *>(&opcode), reinterpret_cast<uint8_t *>(&opcode) + 2);
    bytes.insert(bytes.end(), d.bytes.begin(), d.bytes.end());
    bytes.resize(bytes.size() + ((4 - d.bytes.size() % 4) % 4), 0);
    return *this;
  }
};

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The work bound's clock: each look advances it by clockStep nanoseconds.
int64_t clockNow = 1, clockStep = 1000;
int64_t steppedClock() { return clockNow += clockStep; }

class GlxDirectRender : public ::testing::Test {
 protected:
  void SetUp() override {
    clockNow = 1, clockStep = 1000;
    glxdirectClock = steppedClock;
    fakeglReset();
    instance = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
    ASSERT_EQ(glxdirectLoadFunctions(kFakeGlLibrary.c_str(), kGl21, instance), nullptr);
    fakeglTwoSlots(instance, contextHandles, &display);  // failure texts name the display
    // Limits as a library might answer them, asked already: each request's calls start with
    // its own. A test of the limits asks the fake again.
    instance->limitsAsked = 1;
    instance->maxVertexAttribs = 16;
    instance->maxTextureCoords = 1;
    fakeglClearLog();
  }
  void TearDown() override {
    fakeglFreeTwoSlots(instance, display);
    glxdirectClock = ordersMonotonicNs;
  }

  // Executes one command whose data is exactly the bytes given, in a heap block of that size;
  // the calls it made.
  std::vector<std::string> run(uint32_t opcode, const std::vector<uint8_t> &data) {
    fakeglClearLog();
    std::unique_ptr<uint8_t[]> block(new uint8_t[data.size()]);
    if (!data.empty()) std::memcpy(block.get(), data.data(), data.size());
    glxdirectExecuteRender(instance, opcode, block.get(), block.get() + data.size());
    return lines(fakeglLog());
  }
  std::vector<std::string> run(uint32_t opcode, const Data &d) { return run(opcode, d.bytes); }
  std::vector<std::string> render(const Stream &s, uint32_t slot = 1) {
    fakeglClearLog();
    std::unique_ptr<uint8_t[]> block(new uint8_t[s.bytes.size()]);
    if (!s.bytes.empty()) std::memcpy(block.get(), s.bytes.data(), s.bytes.size());
    glxdirectRender(instance, slot, block.get(), block.get() + s.bytes.size());
    return lines(fakeglLog());
  }
  std::vector<std::string> warnings() const { return log.on(logChannelWarning); }
  size_t warningsContaining(const std::string &part) const {
    size_t n = 0;
    for (const std::string &w : warnings())
      if (w.find(part) != std::string::npos) n++;
    return n;
  }

  char contextHandles[4] = {};
  _XPrivDisplay display = nullptr;
  GlxLibraryInstance *instance = nullptr;
  LogCapture log;
};

using Calls = std::vector<std::string>;

// The calls without the questions a draw asks about the arrays (which are enabled, in which
// buffer, the limits).
Calls drawn(const Calls &calls) {
  Calls out;
  for (const std::string &call : calls)
    if (call.rfind("glGetIntegerv(", 0) != 0 && call.rfind("glGetVertexAttribiv(", 0) != 0 &&
        call.rfind("glGetBufferParameteriv(", 0) != 0 && call.rfind("glGetPointerv(", 0) != 0 &&
        call.rfind("glGetVertexAttribPointerv(", 0) != 0)
      out.push_back(call);
  return out;
}

// The calls without the glFinish that bounds what the library holds while a request expands.
Calls unfinished(const Calls &calls) {
  Calls out;
  for (const std::string &call : calls)
    if (call != "glFinish()") out.push_back(call);
  return out;
}

// ===== families =====

TEST_F(GlxDirectRender, VectorsAndScalarsReachTheLibraryWithTheirValues) {
  EXPECT_EQ(run(8, Data().f32(1).f32(0.5f).f32(0.25f)), Calls{"glColor3f(1, 0.5, 0.25)"});
  EXPECT_EQ(run(19, Data().u8(1).u8(2).u8(3).u8(250)), Calls{"glColor4ubv({1, 2, 3, 250})"});
  EXPECT_EQ(run(7, Data().f64(0.5).f64(1).f64(2)), Calls{"glColor3dv({0.5, 1, 2})"});
  EXPECT_EQ(run(72, Data().u16(7).u16(0xFFFF).u16(3)), Calls{"glVertex3sv({7, -1, 3})"});
  EXPECT_EQ(run(47, Data().i32(-1).i32(2).i32(3).i32(4)), Calls{"glRecti(-1, 2, 3, 4)"});
  EXPECT_EQ(run(94, Data().i32(3).u16(0xF0F0)), Calls{"glLineStipple(3, 61680)"});
  EXPECT_EQ(run(127, Data().u32(0x4000)), Calls{"glClear(16384)"});
  EXPECT_EQ(run(139, Data().u32(0x0B71)), Calls{"glEnable(0x0B71)"});
  EXPECT_EQ(run(203, Data().u32(0x84C1).f32(0.5f).f32(2)), Calls{"glMultiTexCoord2fv(0x84C1, {0.5, 2})"});
  EXPECT_EQ(run(4194, Data().u32(3).f32(1).f32(2)), Calls{"glVertexAttrib2fARB(3, 1, 2)"});
  EXPECT_EQ(run(4231, Data().u32(2).i32(1).i32(2).i32(3).i32(4)), Calls{"glVertexAttrib4ivARB(2, {1, 2, 3, 4})"});
}

TEST_F(GlxDirectRender, DoublesAreReadWhereTheEncodingPutsThem) {
  // Doubles first, then the 32-bit fields; the doubles also off 8-byte alignment.
  EXPECT_EQ(run(65, Data().f64(1.5).f64(-2)), Calls{"glVertex2d(1.5, -2)"});
  EXPECT_EQ(run(153, Data().f64(0.25).f64(0.75)), Calls{"glEvalCoord2d(0.25, 0.75)"});
  EXPECT_EQ(run(115, Data().f64(3.5).u32(0x2000).u32(0x2500)), Calls{"glTexGend(0x2000, 0x2500, 3.5)"});
  EXPECT_EQ(run(147, Data().f64(0).f64(1).i32(10)), Calls{"glMapGrid1d(10, 0, 1)"});
  EXPECT_EQ(run(202, Data().f64(1).f64(2).u32(0x84C0)), Calls{"glMultiTexCoord2dv(0x84C0, {1, 2})"});
  EXPECT_EQ(run(4200, Data().u32(5).f64(1).f64(2).f64(3).f64(4)), Calls{"glVertexAttrib4dvARB(5, {1, 2, 3, 4})"});
  std::vector<uint8_t> shifted(1, 0);
  Data d = Data().f64(1.5).f64(-2);
  shifted.insert(shifted.end(), d.bytes.begin(), d.bytes.end());
  fakeglClearLog();
  std::unique_ptr<uint8_t[]> block(new uint8_t[shifted.size()]);
  std::memcpy(block.get(), shifted.data(), shifted.size());
  glxdirectExecuteRender(instance, 65, block.get() + 1, block.get() + shifted.size());
  EXPECT_EQ(lines(fakeglLog()), Calls{"glVertex2d(1.5, -2)"});
}

TEST_F(GlxDirectRender, BeginAndEndKeepTheFlagAndLogOutOfOrder) {
  EXPECT_EQ(run(23, Data()), Calls{"glEnd()"});
  EXPECT_EQ(log.on(logChannelXhint).size(), 1u);
  EXPECT_EQ(instance->insideBegin, 0);
  run(4, Data().u32(7));
  run(4, Data().u32(7));
  EXPECT_EQ(instance->insideBegin, 1);
  EXPECT_EQ(log.on(logChannelXhint).size(), 2u);
  EXPECT_EQ(run(23, Data()), Calls{"glEnd()"});
  EXPECT_EQ(instance->insideBegin, 0);
  EXPECT_EQ(log.on(logChannelXhint).size(), 2u);
}

TEST_F(GlxDirectRender, MapsUseTheTargetsValueCountAsStride) {
  // GL_MAP2_VERTEX_3, u order 2, v order 5: u stride 3 x 5, v stride 3.
  Data map2d = Data().f64(0).f64(1).f64(2).f64(3).u32(0x0DB7).i32(2).i32(5).pad(2 * 5 * 3 * 8);
  Calls calls = run(145, map2d);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glMap2d(0x0DB7, 0, 1, 15, 2, 2, 3, 3, 5, 0x", 0), 0u) << calls[0];
  // The same one value short: dropped.
  map2d.bytes.pop_back();
  EXPECT_EQ(run(145, map2d), Calls{});
  Data map1f = Data().u32(0x0D96).f32(0).f32(1).i32(3).pad(3 * 4 * 4);
  calls = run(144, map1f);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glMap1f(0x0D96, 0, 1, 4, 3, 0x", 0), 0u) << calls[0];
  // Another target: logged, called with k = 0.
  calls = run(143, Data().f64(0).f64(1).u32(0x1234).i32(4));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glMap1d(0x1234, 0, 1, 0, 4, ", 0), 0u) << calls[0];
  EXPECT_EQ(warningsContaining("Unsupported Map1d target"), 1u);
}

// The library's unpack state for the tight images it is handed.
const Calls kTightUnpack = {"glPixelStorei(0x0CF0, 0)", "glPixelStorei(0x0CF1, 0)", "glPixelStorei(0x0CF2, 0)",
                            "glPixelStorei(0x0CF3, 0)", "glPixelStorei(0x0CF4, 0)", "glPixelStorei(0x806E, 0)",
                            "glPixelStorei(0x806D, 0)", "glPixelStorei(0x0CF5, 1)"};

TEST_F(GlxDirectRender, PixelCommandsSetTheUnpackStateInOrderThenCall) {
  // DrawPixels of a 4x4 RGBA image, row length 6, skip rows 1, skip pixels 2, alignment 1: the
  // library gets the image tight, with its default unpack state.
  Data d = Data().pixels(6, 1, 2, 1, 1, 0).i32(4).i32(4).u32(0x1908).u32(0x1401);
  // As GL reads it: the skipped row and three rows of six pixels whole, then the last row to its
  // last pixel (two skipped and four read).
  d.pad(6 * 4 * 4 + (2 + 4) * 4);
  Calls calls = drawn(run(173, d));
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8), kTightUnpack);
  EXPECT_EQ(calls[8].rfind("glDrawPixels(4, 4, 0x1908, 0x1401, 0x", 0), 0u) << calls[8];
  EXPECT_EQ(fakeglLastImage(nullptr, 0), 4u * 4 * 4);
  // The skip-pixels offset counts: one byte less is not enough.
  d.bytes.pop_back();
  EXPECT_EQ(run(173, d), Calls{});
  EXPECT_EQ(warningsContaining("undecoded in render command #173"), 1u);

  // Bitmap too (its bits in the client's order, rows of 2 bytes).
  calls = drawn(run(5, Data().pixels(0, 0, 0, 4, 1, 1).i32(10).i32(2).f32(0).f32(0).f32(1).f32(0).pad(8)));
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8), kTightUnpack);
  EXPECT_EQ(calls[8].rfind("glBitmap(10, 2, 0, 0, 1, 0, 0x", 0), 0u) << calls[8];
  EXPECT_EQ(fakeglLastImage(nullptr, 0), 4u);
}

// ===== tight images =====
// One image command's pixel-store settings and image, laid out by the client's rules.
struct Store {
  int32_t rowLength, skipRows, skipPixels, alignment;
  uint8_t swap, lsb;
  int32_t imageHeight, skipImages;
};

struct TightCase {
  const char *name;
  uint16_t opcode;
  uint32_t format, type;
  int32_t width, height, depth;
  int pixel, unit;  // bytes of a pixel (0: a bitmap), bytes the swap flag reverses
  Store store;
};

// The client's image holding `tight` (rows of width pixels, bitmap rows of whole bytes most
// significant bit first) under the store: every other byte 0xA5, generous room at the end.
std::vector<uint8_t> layOut(const TightCase &t, const std::vector<uint8_t> &tight) {
  const Store &s = t.store;
  int64_t rowPixels = s.rowLength ? s.rowLength : t.width, rows = s.imageHeight ? s.imageHeight : t.height;
  int64_t rowBytes = t.pixel ? rowPixels * t.pixel : (rowPixels + 7) / 8;
  if (t.pixel == 0 || t.unit < s.alignment) rowBytes = (rowBytes + s.alignment - 1) / s.alignment * s.alignment;
  int64_t imageBytes = rowBytes * rows;
  std::vector<uint8_t> out(size_t((s.skipImages + t.depth + 1) * imageBytes + (s.skipRows + 1) * rowBytes +
                                  s.skipPixels * int64_t(t.pixel ? t.pixel : 1) + 64),
                           0xA5);
  int64_t tightRow = t.pixel ? int64_t(t.width) * t.pixel : (t.width + 7) / 8;
  for (int64_t z = 0; z < t.depth; z++)
    for (int64_t y = 0; y < t.height; y++) {
      int64_t row = (s.skipImages + z) * imageBytes + (s.skipRows + y) * rowBytes;
      const uint8_t *from = &tight[size_t((z * t.height + y) * tightRow)];
      for (int64_t x = 0; x < t.width; x++) {
        if (t.pixel == 0) {
          bool set = from[x / 8] & (0x80 >> (x % 8));
          int64_t bit = s.skipPixels + x;
          uint8_t mask = s.lsb ? uint8_t(1u << (bit % 8)) : uint8_t(0x80u >> (bit % 8));
          uint8_t &byte = out[size_t(row + bit / 8)];
          byte = set ? byte | mask : byte & uint8_t(~mask);
          continue;
        }
        for (int b = 0; b < t.pixel; b++) {
          int within = b % t.unit, unitStart = b - within;
          int source = s.swap ? unitStart + t.unit - 1 - within : b;
          out[size_t(row + (s.skipPixels + x) * t.pixel + b)] = from[x * t.pixel + source];
        }
      }
    }
  return out;
}

// The command of the case carrying the image.
Data tightCommand(const TightCase &t, const std::vector<uint8_t> &image) {
  const Store &s = t.store;
  Data d;
  if (t.opcode == 4114) {
    d.u8(s.swap).u8(s.lsb).u16(0).i32(s.rowLength).i32(s.imageHeight).i32(0).i32(s.skipRows).i32(s.skipImages);
    d.i32(0).i32(s.skipPixels).i32(s.alignment);
    d.u32(0x806F).i32(0).i32(0x1908).i32(t.width).i32(t.height).i32(t.depth).i32(0).i32(0).u32(t.format).u32(t.type);
    d.u32(0);
  } else {
    d.pixels(s.rowLength, s.skipRows, s.skipPixels, s.alignment, s.swap, s.lsb);
    if (t.opcode == 173) d.i32(t.width).i32(t.height).u32(t.format).u32(t.type);
    if (t.opcode == 5) d.i32(t.width).i32(t.height).f32(0).f32(0).f32(1).f32(0);
    if (t.opcode == 109 || t.opcode == 110)
      d.u32(t.opcode == 110 ? 0x0DE1 : 0x0DE0).i32(0).i32(0x1908).i32(t.width).i32(t.height).i32(0).u32(t.format).u32(t.type);
    if (t.opcode == 4100) d.u32(0x0DE1).i32(0).i32(0).i32(0).i32(t.width).i32(t.height).u32(t.format).u32(t.type).u32(0);
    if (t.opcode == 195 || t.opcode == 2053) d.u32(0x80D0).i32(0).i32(t.width).u32(t.format).u32(t.type);
  }
  return d.raw(image.data(), image.size());
}

constexpr uint32_t kRgba = 0x1908, kRgb = 0x1907, kLuminance = 0x1909, kColorIdx = 0x1900, kUbyte = 0x1401,
                   kShort = 0x1402, kUshort = 0x1403, kFloatType = 0x1406, kBitmapType = 0x1A00;

const TightCase kTightCases[] = {
    {"DrawPixelsRowLengthAndSkips", 173, kRgba, kUbyte, 3, 2, 1, 4, 1, {5, 1, 1, 4, 0, 0, 0, 0}},
    {"DrawPixelsRgbRowsToEight", 173, kRgb, kUbyte, 3, 3, 1, 3, 1, {0, 0, 0, 8, 0, 0, 0, 0}},
    {"DrawPixelsShortsSwapped", 173, kLuminance, kUshort, 3, 2, 1, 2, 2, {0, 0, 2, 2, 1, 0, 0, 0}},
    {"DrawPixelsShortsUnswappedAlignedToEight", 173, kLuminance, kShort, 3, 2, 1, 2, 2, {0, 1, 0, 8, 0, 0, 0, 0}},
    {"DrawPixelsFloatsSwapped", 173, kRgba, kFloatType, 2, 2, 1, 16, 4, {3, 0, 0, 4, 1, 0, 0, 0}},
    {"DrawPixelsPacked565Swapped", 173, kRgb, 0x8363, 3, 1, 1, 2, 2, {0, 0, 1, 4, 1, 0, 0, 0}},
    {"DrawPixelsPacked8888Swapped", 173, kRgba, 0x8035, 2, 2, 1, 4, 4, {0, 2, 0, 1, 1, 0, 0, 0}},
    {"DrawPixelsIndexBitsLsbFirst", 173, kColorIdx, kBitmapType, 10, 3, 1, 0, 1, {0, 1, 3, 2, 1, 1, 0, 0}},
    {"DrawPixelsIndexBytesSkippedRows", 173, kColorIdx, kUbyte, 2, 1, 1, 1, 1, {0, 3, 0, 4, 0, 0, 0, 0}},
    {"BitmapMsbFirst", 5, kColorIdx, kBitmapType, 13, 2, 1, 0, 1, {20, 0, 5, 4, 0, 0, 0, 0}},
    {"BitmapLsbFirstSkipped", 5, kColorIdx, kBitmapType, 13, 3, 1, 0, 1, {0, 2, 11, 8, 0, 1, 0, 0}},
    {"PolygonStippleLsbFirst", 102, kColorIdx, kBitmapType, 32, 32, 1, 0, 1, {0, 1, 3, 1, 0, 1, 0, 0}},
    {"TexImage1DShortsSwapped", 109, kLuminance, kShort, 5, 1, 1, 2, 2, {0, 2, 1, 4, 1, 0, 0, 0}},
    {"TexImage2DRowLengthAndAlignmentOne", 110, kRgba, kUbyte, 4, 3, 1, 4, 1, {7, 0, 1, 1, 0, 0, 0, 0}},
    {"TexSubImage2DSkips", 4100, kRgb, kUbyte, 3, 2, 1, 3, 1, {4, 1, 1, 2, 0, 0, 0, 0}},
    {"ColorTableSkipPixels", 2053, kRgba, kUbyte, 4, 1, 1, 4, 1, {0, 0, 3, 4, 0, 0, 0, 0}},
    {"TexImage3DImageHeightAndSkipImages", 4114, kRgba, kUbyte, 2, 2, 2, 4, 1, {3, 1, 1, 4, 0, 0, 3, 1}},
    {"TexImage3DBytesSwappedShorts", 4114, kLuminance, kUshort, 3, 2, 2, 2, 2, {0, 0, 0, 4, 1, 0, 0, 2}},
};

class TightImages : public GlxDirectRender, public ::testing::WithParamInterface<TightCase> {};

// Whatever the client's pixel-store settings, the library reads the image tight with its default
// unpack state: exactly the pixels the settings select, bits most significant first, elements in
// this machine's order.
TEST_P(TightImages, TheLibraryReadsThePixelsTheStoreSelects) {
  const TightCase &t = GetParam();
  int64_t tightRow = t.pixel ? int64_t(t.width) * t.pixel : (t.width + 7) / 8;
  std::vector<uint8_t> tight(size_t(tightRow * t.height * t.depth));
  for (size_t k = 0; k < tight.size(); k++) tight[k] = uint8_t(k * 37 + 11);
  if (t.pixel == 0 && t.width % 8)  // unused bits of a bitmap row are 0
    for (int64_t row = 0; row < t.height * t.depth; row++) tight[size_t(row * tightRow + tightRow - 1)] &= uint8_t(0xFF00 >> (t.width % 8));
  Calls calls = drawn(run(t.opcode, tightCommand(t, layOut(t, tight))));
  ASSERT_GE(calls.size(), 9u) << (calls.empty() ? "" : calls.back());
  EXPECT_EQ(Calls(calls.end() - 9, calls.end() - 1), kTightUnpack);
  std::vector<uint8_t> got(tight.size() + 16);
  got.resize(size_t(fakeglLastImage(got.data(), got.size())));
  EXPECT_EQ(got, tight);
}

INSTANTIATE_TEST_SUITE_P(Stores, TightImages, ::testing::ValuesIn(kTightCases),
                         [](const ::testing::TestParamInfo<TightCase> &info) { return std::string(info.param.name); });

// Stencil indices as bits, which the library loops on: every pixel command is refused before
// it with the library's GL_INVALID_ENUM (a pixel-store call of no name), whichever command.
TEST_F(GlxDirectRender, PairsTheLibraryCannotServeAreRefusedForEveryCommand) {
  const Calls refused = {"glPixelStorei(0x0000, 0)"};
  TightCase stencilBits = {"", 173, 0x1901, kBitmapType, 2, 1, 1, 0, 1, {0, 1, 0, 4, 0, 0, 0, 0}};
  std::vector<uint8_t> image(4, 0xFF);
  for (uint16_t opcode : {173, 110, 109, 4100, 2053, 195}) {
    stencilBits.opcode = opcode;
    EXPECT_EQ(drawn(run(opcode, tightCommand(stencilBits, layOut(stencilBits, image)))), refused) << opcode;
  }
  EXPECT_EQ(warningsContaining("pixel format and type the library cannot serve"), 6u);
  // Colour indices as bits are served.
  stencilBits.format = kColorIdx;
  EXPECT_EQ(drawn(run(173, tightCommand(stencilBits, layOut(stencilBits, image)))).size(), 9u);
}

TEST_F(GlxDirectRender, BadPixelHeadersDropTheCommand) {
  auto drawPixels = [](int32_t rowLength, int32_t skipRows, int32_t skipPixels, int32_t alignment) {
    return Data().pixels(rowLength, skipRows, skipPixels, alignment).i32(1).i32(1).u32(0x1908).u32(0x1401).pad(64);
  };
  EXPECT_EQ(run(173, drawPixels(-1, 0, 0, 4)), Calls{});
  EXPECT_EQ(run(173, drawPixels(0, -1, 0, 4)), Calls{});
  EXPECT_EQ(run(173, drawPixels(0, 0, -1, 4)), Calls{});
  EXPECT_EQ(run(173, drawPixels(0, 0, 0, 0)), Calls{});
  EXPECT_EQ(run(173, drawPixels(0, 0, 0, 3)), Calls{});
  EXPECT_EQ(drawn(run(173, drawPixels(0, 0, 0, 8))).size(), 9u);
  // A format without a size for a non-empty image.
  EXPECT_EQ(run(173, Data().pixels(0, 0, 0, 4).i32(1).i32(1).u32(0x1234).u32(0x1401).pad(64)), Calls{});
  // An empty image of any format is fine.
  EXPECT_EQ(run(173, Data().pixels(0, 0, 0, 4).i32(0).i32(1).u32(0x1234).u32(0x1401)).size(), 9u);
}

TEST_F(GlxDirectRender, ThreeDimensionalImagesApplyImageHeightAndSkipImages) {
  // 2x2x2 RGBA bytes, image height 3, skip images 1: two images of 3 rows of 8 bytes whole
  // (the skipped one and the first), then the last image's two rows.
  Data d;
  d.u8(0).u8(0).u16(0).i32(0).i32(3).i32(0).i32(0).i32(1).i32(0).i32(0).i32(4);
  d.u32(0x806F).i32(0).i32(0x1908).i32(2).i32(2).i32(2).i32(0).i32(0).u32(0x1908).u32(0x1401).u32(0);
  d.pad(2 * 3 * 8 + 2 * 8);
  Calls calls = drawn(run(4114, d));
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 8), kTightUnpack);
  EXPECT_EQ(fakeglLastImage(nullptr, 0), 2u * 2 * 2 * 4);
  EXPECT_EQ(calls[8].rfind("glTexImage3D(0x806F, 0, 6408, 2, 2, 2, 0, 0x1908, 0x1401, 0x", 0), 0u) << calls[8];
  d.bytes.pop_back();
  EXPECT_EQ(run(4114, d), Calls{});
}

TEST_F(GlxDirectRender, SeparableFilterFindsTheColumnAfterThePaddedRow) {
  // Width 3 of RGB bytes: a 9-byte row padded to 12, then a column of 2 pixels (6 bytes).
  Data d = Data().pixels(0, 0, 0, 1).u32(0x8012).u32(0x1907).i32(3).i32(2).u32(0x1907).u32(0x1401).pad(12 + 6);
  Calls calls = drawn(run(4109, d));
  ASSERT_EQ(calls.size(), 9u);
  EXPECT_NE(calls[8].find("glSeparableFilter2D(0x8012, 0x1907, 3, 2, 0x1907, 0x1401, 0x"), std::string::npos);
  d.bytes.pop_back();
  EXPECT_EQ(run(4109, d), Calls{});
  // Both filters unpacked: one skipped pixel each, shorts swapped; the column is what the
  // library reads last.
  Data swapped = Data().pixels(0, 0, 1, 1, 1).u32(0x8012).u32(0x1909).i32(3).i32(2).u32(0x1909).u32(0x1403);
  swapped.pad(8).u8(0xEE).u8(0xEE).u8(1).u8(2).u8(3).u8(4).pad(2);
  ASSERT_EQ(drawn(run(4109, swapped)).size(), 9u);
  uint8_t column[8] = {};
  ASSERT_EQ(fakeglLastImage(column, sizeof column), 4u);
  EXPECT_EQ(std::vector<uint8_t>(column, column + 4), (std::vector<uint8_t>{2, 1, 4, 3}));
}

TEST_F(GlxDirectRender, DrawArraysSkipsAnUnsupportedComponentAndDisablesWhatItEnabled) {
  Data d = Data().u32(3).u32(3).u32(4);
  d.u32(0x1406).u32(2).u32(0x8074);  // vertex: 2 floats
  d.u32(0x1401).u32(3).u32(0x1234);  // unsupported: 3 bytes, padded to 4
  d.u32(0x1401).u32(4).u32(0x8076);  // colour: 4 bytes
  d.pad(3 * (8 + 4 + 4));
  Calls calls = drawn(run(193, d));
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0], "glEnableClientState(0x8074)");
  EXPECT_EQ(calls[1].rfind("glVertexPointer(2, 0x1406, 16, 0x", 0), 0u) << calls[1];
  EXPECT_EQ(calls[2], "glEnableClientState(0x8076)");
  EXPECT_EQ(calls[3].rfind("glColorPointer(4, 0x1401, 16, 0x", 0), 0u) << calls[3];
  EXPECT_EQ(calls[4], "glDrawArrays(0x0004, 0, 3)");
  EXPECT_EQ(calls[5], "glDisableClientState(0x8076)");
  EXPECT_EQ(calls[6], "glDisableClientState(0x8074)");
  EXPECT_EQ(warningsContaining("Unsupported component"), 1u);
  // The colour pointer lies 12 bytes after the vertex pointer (8 + the 4 skipped).
  auto address = [](const std::string &call) {
    return std::stoull(call.substr(call.rfind("0x")), nullptr, 16);
  };
  EXPECT_EQ(address(calls[3]) - address(calls[1]), 12u);
  // One vertex short: dropped.
  d.bytes.resize(d.bytes.size() - 4);
  EXPECT_EQ(run(193, d), Calls{});
}

TEST_F(GlxDirectRender, CountedArraysAreBoundedByTheirBytes) {
  EXPECT_EQ(run(254, Data().i32(0).i32(0x7FFFFFFF).pad(16)), Calls{});
  EXPECT_EQ(run(254, Data().i32(0).u32(0xFFFFFFFF).pad(16)), Calls{});
}

TEST_F(GlxDirectRender, ShaderSourceAndNames) {
  Calls calls = run(253, Data().u32(5).u32(0));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glShaderSource(5, 0, ", 0), 0u) << calls[0];
  calls = run(253, Data().u32(5).u32(2).u32(3).u32(4).text("abcdefg"));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glShaderSource(5, 2, ", 0), 0u) << calls[0];
  const auto **pointers = reinterpret_cast<const char **>(instance->scratch);
  EXPECT_EQ(pointers[1] - pointers[0], 3);
  EXPECT_EQ(run(253, Data().u32(5).u32(2).u32(3).u32(4).text("abcdef")), Calls{});
  EXPECT_EQ(run(253, Data().u32(5).u32(1).u32(0xFFFFFFFF).text("abcdef")), Calls{});
  calls = run(265, Data().u32(9).u32(1).text("pos").u8(0));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "glBindAttribLocation(9, 1, \"pos\")");
  EXPECT_EQ(run(265, Data().u32(9).u32(1).text("posi")), Calls{});
}

TEST_F(GlxDirectRender, PointerValuesReachTheLibraryOnlyWithABoundBuffer) {
  Data pointer = Data().u32(64).u32(0).u32(0x8074).u32(0).i32(3).u32(0x1406).i32(12).u8(0).u8(0).pad(2);
  Calls calls = run(291, pointer);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glGetIntegerv(0x8894, ", 0), 0u) << calls[0];
  EXPECT_EQ(warningsContaining("without a bound buffer"), 1u);
  int32_t bound = 4;
  fakeglSetIntegers(0x8894, &bound, 1);
  calls = run(291, pointer);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], "glVertexPointer(3, 0x1406, 12, 0x40)");
  // Texture coordinates of unit 0: no client-active-texture bracket; of unit 2 one.
  Data tex = Data().u32(8).u32(0).u32(0x8078).u32(0).i32(2).u32(0x1406).i32(0).pad(4);
  EXPECT_EQ(run(291, tex).size(), 2u);
  tex.bytes[12] = 2;
  calls = run(291, tex);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1], "glClientActiveTexture(0x84C2)");
  EXPECT_EQ(calls[3], "glClientActiveTexture(0x84C0)");
  // 295: the element array binding.
  Data elements = Data().u32(16).u32(0).u32(4).i32(6).u32(0x1403);
  EXPECT_EQ(run(295, elements).size(), 1u);  // only the binding query
  fakeglSetIntegers(0x8895, &bound, 1);
  fakeglSetBufferMapping(0x8893, 16 + 6 * 2);
  calls = run(295, elements);
  EXPECT_EQ(calls.back(), "glDrawElements(0x0004, 6, 0x1403, 0x10)");
  // Indices beyond the element buffer's end are not drawn.
  fakeglSetBufferMapping(0x8893, 16 + 6 * 2 - 1);
  EXPECT_EQ(drawn(run(295, elements)), Calls{});
  EXPECT_EQ(warningsContaining("indices beyond the element buffer"), 1u);
}

TEST_F(GlxDirectRender, ArraysCarriedInACommandStayMarkedUntilRepointed) {
  // 300 with one vertex array of 3 vertices carried in the command.
  Data draw = Data().u32(4).i32(5).i32(3).u32(1).u32(0x1406).u32(2).u32(0x8074).u32(0).u32(0).pad(3 * 8);
  Calls calls = run(300, draw);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "glDrawArrays(0x0004, 0, 3)");
  // The vertex array is enabled: an ArrayElement would read the gone command; it is left out.
  int32_t on = 1;
  fakeglSetIntegers(0x8074, &on, 1);
  EXPECT_EQ(drawn(run(294, Data().i32(0))),
            (Calls{"glDisableClientState(0x8074)", "glArrayElement(0)", "glEnableClientState(0x8074)"}));
  EXPECT_EQ(log.on(logChannelXhint).size(), 1u);
  // Disabled: nothing to leave out.
  int32_t off = 0;
  fakeglSetIntegers(0x8074, &off, 1);
  EXPECT_EQ(drawn(run(294, Data().i32(0))), Calls{"glArrayElement(0)"});
  // Repointed into a buffer: read even when enabled.
  fakeglSetIntegers(0x8074, &on, 1);
  int32_t bound = 1;
  fakeglSetIntegers(0x8894, &bound, 1);
  run(291, Data().u32(0).u32(0).u32(0x8074).u32(0).i32(2).u32(0x1406).i32(0).pad(4));
  fakeglSetIntegers(0x8896, &bound, 1);
  fakeglSetBufferMapping(0x8892, 64);
  EXPECT_EQ(drawn(run(294, Data().i32(0))), (Calls{"glBindBuffer(0x8892, 1)", "glBindBuffer(0x8892, 1)",
                                                   "glArrayElement(0)"}));
  // 297 restores whatever pointer the library had: its answers decide again.
  run(297, Data());
  fakeglSetIntegers(0x8896, &off, 1);
  EXPECT_EQ(drawn(run(294, Data().i32(0)))[0], "glDisableClientState(0x8074)");
}

TEST_F(GlxDirectRender, DrawRangeElementsChecksTheCarriedIndices) {
  // One array: the element array (kind 0x8768) of 2 unsigned bytes.
  auto command = [](uint8_t lastIndex, uint32_t arrays) {
    Data d = Data().u32(0).u32(0).u32(1).u32(0).u32(1).i32(2).u32(0x1401).u32(arrays);
    d.u32(0x1401).u32(1).u32(0x8768).u32(0).u32(0);
    if (arrays == 2) d.u32(0x1406).u32(2).u32(0x8074).u32(0).u32(0);
    d.u8(0).u8(lastIndex);
    if (arrays == 2) d.pad(2 * 8);
    return d;
  };
  Calls calls = drawn(run(301, command(1, 1)));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glDrawRangeElements(0x0001, 0, 1, 2, 0x1401, 0x", 0), 0u) << calls[0];
  EXPECT_EQ(run(301, command(2, 1)), Calls{});  // an index equal to the count
  EXPECT_EQ(warningsContaining("index beyond the vertices"), 1u);
  // More than one array: the arrays are drawn in order.
  calls = drawn(run(301, command(2, 2)));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], "glDrawArrays(0x0001, 0, 2)");
}

TEST_F(GlxDirectRender, PlaceholdersGenerateAndUnsupportedOpcodesAreLogged) {
  Calls calls = run(9900, Data().u32(7));
  ASSERT_EQ(calls.size(), 1u);  // the placeholder resolves to a no-op
  EXPECT_EQ(calls[0].rfind("glGenRenderbuffers(1, 0x", 0), 0u);
  calls = run(9901, Data().u32(7));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glGenFramebuffers(1, 0x", 0), 0u);
  EXPECT_EQ(run(140, Data().pad(16)), Calls{});
  EXPECT_EQ(run(4098, Data().pad(16)), Calls{});
  EXPECT_EQ(warningsContaining("Unsupported render command #140 by"), 1u);
  EXPECT_EQ(warningsContaining("Unsupported render command #4098 by"), 1u);
}

TEST_F(GlxDirectRender, ShaderAndFramebufferCommands) {
  // Without a proxy tag behind the slot the ids pass unchanged.
  EXPECT_EQ(run(241, Data().u32(3).u32(4)), Calls{"glAttachShader(3, 4)"});
  EXPECT_EQ(run(237, Data().u32(0x8D40).u32(0x8CE0).u32(5).i32(1).i32(2)),
            Calls{"glFramebufferTextureLayerARB(0x8D40, 0x8CE0, 5, 1, 2)"});
  EXPECT_EQ(run(248, Data().i32(2).f32(1).f32(2).f32(3).f32(4)), Calls{"glUniform4f(2, 1, 2, 3, 4)"});
  // The transpose flag is the field's low byte; two 2x2 matrices need 32 bytes.
  Calls calls = run(262, Data().i32(1).i32(2).u32(0x101).pad(32));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glUniformMatrix2fv(1, 2, 1, 0x", 0), 0u) << calls[0];
  EXPECT_EQ(run(262, Data().i32(1).i32(2).u32(0x101).pad(31)), Calls{});
  EXPECT_EQ(run(4320, Data().i32(2).u32(7).u32(8)).size(), 1u);
  EXPECT_EQ(run(4320, Data().i32(3).u32(7).u32(8)), Calls{});
}

TEST_F(GlxDirectRender, ProgramAndShaderIdsAreTranslatedThroughTheSlotsTag) {
  FakeCore core;
  FakeClient *client = &core.addClient(false);
  uint32_t tag = 0;
  ASSERT_NO_FATAL_FAILURE(fakeglObjectTag(client, instance, &tag));
  {
    FakeCore::Current current(*client);
    EXPECT_EQ(run(241, Data().u32(5).u32(6)), Calls{"glAttachShader(105, 106)"});
    GlxProgramEntry *program = glxFindProgramEntry(tag, 105);
    ASSERT_NE(program, nullptr);
    EXPECT_NE(program->attachments, nullptr);
    EXPECT_EQ(run(243, Data().u32(5)), Calls{"glUseProgram(105)"});
    EXPECT_EQ(run(240, Data().u32(6)), Calls{"glCompileShader(106)"});
    EXPECT_EQ(run(239, Data().u32(5).u32(6)), Calls{"glDetachObjectARB(105, 106)"});
    EXPECT_EQ(run(265, Data().u32(5).u32(2).text("n").u8(0)), Calls{"glBindAttribLocation(105, 2, \"n\")"});
    // The shader of ShaderSource passes unchanged.
    Calls calls = run(253, Data().u32(6).u32(0));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("glShaderSource(6, 0, ", 0), 0u) << calls[0];
  }
  fakeglDropObjectTag(instance);
}

// ===== bounds =====

// The opcodes served, as ranges.
const std::pair<uint32_t, uint32_t> kServed[] = {
    {1, 139},     {141, 219},   {229, 233},   {235, 268},   {290, 301},   {2053, 2056}, {2065, 2066},
    {4096, 4097}, {4099, 4115}, {4117, 4134}, {4180, 4222}, {4227, 4239}, {4265, 4277}, {4281, 4282},
    {4316, 4325}, {4330, 4331}, {9900, 9901}};

bool served(uint32_t opcode) {
  for (auto [low, high] : kServed)
    if (opcode >= low && opcode <= high) return true;
  return false;
}

// A minimal command: zero fields (counts and sizes 0), a valid alignment in a pixel header.
std::vector<uint8_t> minimal(uint32_t opcode, size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  static const std::set<uint32_t> kPixel = {5, 102, 109, 110, 173, 195, 2053, 4099, 4100, 4101, 4102, 4109};
  if (kPixel.count(opcode) && length >= 20) bytes[16] = 4;
  if ((opcode == 4114 || opcode == 4115) && length >= 36) bytes[32] = 4;
  return bytes;
}

TEST_F(GlxDirectRender, EveryServedCommandCutShortMakesNoCallAndOneUndecodedLine) {
  // Pointer values pass (a buffer is bound), arrays are never enabled.
  int32_t bound = 1;
  fakeglSetIntegers(0x8894, &bound, 1);
  fakeglSetIntegers(0x8895, &bound, 1);
  size_t servedCount = 0;
  constexpr size_t kLongest = 160;
  for (uint32_t opcode = 0; opcode <= 9905; opcode++) {
    if (opcode == 4400) opcode = 9890;
    log.lines.clear();
    // The smallest length at which the command does something. The list commands call nothing
    // of the library (the lists are the proxy's): their fixed sizes.
    size_t smallest = 0;
    bool listCommand = opcode >= 1 && opcode <= 3;
    for (; !listCommand && smallest <= kLongest; smallest++) {
      log.lines.clear();
      if (!run(opcode, minimal(opcode, smallest)).empty()) break;
      if (warningsContaining("Unsupported render command") == 1) break;
    }
    if (listCommand) smallest = opcode == 2 ? 8 : 4;
    bool unsupported = warningsContaining("Unsupported render command") > 0;
    EXPECT_EQ(unsupported, !served(opcode)) << "opcode " << opcode;
    if (unsupported) continue;
    servedCount++;
    ASSERT_LE(smallest, kLongest) << "opcode " << opcode << " never ran";
    for (size_t cut = 0; cut < smallest; cut++) {
      log.lines.clear();
      EXPECT_EQ(run(opcode, minimal(opcode, cut)), Calls{}) << "opcode " << opcode << " cut to " << cut;
      EXPECT_EQ(warnings().size(), 1u) << "opcode " << opcode << " cut to " << cut;
      EXPECT_EQ(warningsContaining("undecoded in render command"), 1u) << "opcode " << opcode << " cut to " << cut;
    }
  }
  EXPECT_EQ(servedCount, 397u);
}

TEST_F(GlxDirectRender, FixedSizesFollowTheEncoding) {
  // Smallest data lengths from the GLX encoding: a selection across the layouts.
  const std::pair<uint32_t, size_t> kSizes[] = {
      {7, 24},    {15, 32},   {45, 32},  {77, 36},   {115, 16},  {116, 8},   {143, 24},  {145, 44},
      {146, 28},  {5, 44},    {102, 20 + 128}, {109, 52}, {173, 36}, {4099, 56}, {4114, 80}, {4115, 88},
      {178, 128}, {219, 40},  {4219, 40}, {4330, 40}, {298, 20},  {299, 20},  {301, 32},  {291, 30}};
  for (auto [opcode, size] : kSizes) {
    std::vector<uint8_t> bytes = minimal(opcode, size);
    if (opcode == 102) bytes[16] = 1;
    EXPECT_FALSE(run(opcode, bytes).empty()) << opcode;
    bytes.pop_back();
    EXPECT_TRUE(run(opcode, bytes).empty()) << opcode;
  }
}

// ===== loops =====

TEST_F(GlxDirectRender, TheRenderLoopStopsAtShortOrBadLengths) {
  EXPECT_EQ(render(Stream()), Calls{});
  EXPECT_TRUE(warnings().empty());

  Stream s;
  s.add(127, Data().u32(1));
  s.bytes.insert(s.bytes.end(), {1, 2, 3});
  EXPECT_EQ(render(s), Calls{"glClear(1)"});
  EXPECT_EQ(warnings(), std::vector<std::string>{"Lumora: 3 bytes undecoded in GLXRender"});

  log.lines.clear();
  Stream zero;
  zero.add(127, Data().u32(1));
  zero.bytes.insert(zero.bytes.end(), {0, 0, 127, 0, 1, 0, 0, 0});
  EXPECT_EQ(render(zero), Calls{"glClear(1)"});
  EXPECT_EQ(warnings(), std::vector<std::string>{"Lumora: 8 bytes undecoded in GLXRender"});

  log.lines.clear();
  Stream over;
  over.add(127, Data().u32(2));
  over.bytes[0] = 9;  // one more than the 8 present
  EXPECT_EQ(render(over), Calls{});
  EXPECT_EQ(warnings(), std::vector<std::string>{"Lumora: 8 bytes undecoded in GLXRender"});
}

TEST_F(GlxDirectRender, LargeCommandsAreCheckedAgainstTheirSize) {
  auto large = [](uint32_t length, uint32_t opcode, std::vector<uint8_t> data) {
    std::vector<uint8_t> bytes(8);
    std::memcpy(bytes.data(), &length, 4);
    std::memcpy(bytes.data() + 4, &opcode, 4);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
  };
  auto runLarge = [&](const std::vector<uint8_t> &bytes) {
    fakeglClearLog();
    std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    glxdirectRenderLarge(instance, 1, block.get(), bytes.size());
    return lines(fakeglLog());
  };
  EXPECT_EQ(runLarge(large(8, 121, {})), Calls{"glInitNames()"});
  EXPECT_EQ(runLarge(large(12, 127, {5, 0, 0, 0, 9, 9})), Calls{"glClear(5)"});
  EXPECT_EQ(warnings(), std::vector<std::string>{"Lumora: 2 bytes undecoded in GLXRenderLarge"});
  log.lines.clear();
  EXPECT_EQ(runLarge(large(13, 127, {5, 0, 0, 0})), Calls{});
  EXPECT_EQ(warnings().size(), 1u);
  EXPECT_EQ(warnings()[0].rfind("Lumora: Invalid large render size (12 vs. 13, #127) from ", 0), 0u);
  log.lines.clear();
  EXPECT_EQ(runLarge({1, 2, 3, 4, 5, 6, 7}), Calls{});
  EXPECT_EQ(warnings()[0].rfind("Lumora: Large render cmd too small (7) from ", 0), 0u);
  // A command cut inside the large one: the executor sees only the length field's bytes.
  log.lines.clear();
  EXPECT_EQ(runLarge(large(10, 127, {5, 0, 0, 0})), Calls{});
  EXPECT_EQ(warningsContaining("undecoded in render command #127"), 1u);
}

TEST_F(GlxDirectRender, EachRequestMakesItsOwnSlotCurrentFirst) {
  Stream s;
  s.add(127, Data().u32(1));
  instance->currentTagSlot = 2;
  Calls calls = render(s);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].rfind("glXMakeContextCurrent(", 0), 0u) << calls[0];
  EXPECT_EQ(calls[1], "glClear(1)");
  EXPECT_EQ(instance->currentTagSlot, 1u);
  EXPECT_EQ(render(s), Calls{"glClear(1)"});
  calls = render(s, 2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].rfind("glXMakeContextCurrent(", 0), 0u) << calls[0];
  EXPECT_EQ(instance->currentTagSlot, 2u);
  // A slot that cannot be made current executes nothing.
  fakeglSetMakeCurrent(0);
  instance->currentTagSlot = 2;
  calls = render(s);
  for (const std::string &call : calls) EXPECT_EQ(call.find("glClear"), std::string::npos);
  EXPECT_EQ(instance->currentTagSlot, 0u);
  // A freed slot neither.
  fakeglSetMakeCurrent(1);
  instance->tagSlots[1].context = nullptr;
  calls = render(s);
  EXPECT_EQ(calls, Calls{});
}

// ===== hostile commands =====

TEST_F(GlxDirectRender, ImagesShorterThanTheLibraryReadsEndTheStreamWithBadLength) {
  // TexImage2D 4096x2 RGBA bytes, row length 1: the library reads whole rows of 4096 pixels.
  Data tex = Data().pixels(1, 0, 0, 1).u32(0x0DE1).i32(0).i32(0x1908).i32(4096).i32(2).i32(0);
  tex.u32(0x1908).u32(0x1401).pad(8);
  fakeglClearLog();
  std::vector<uint8_t> bytes = tex.bytes;
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size()]);
  std::memcpy(block.get(), bytes.data(), bytes.size());
  EXPECT_EQ(glxdirectExecuteRender(instance, 110, block.get(), block.get() + bytes.size()), 16);
  EXPECT_EQ(lines(fakeglLog()), Calls{});
  tex.pad(4096 * 4 * 2 - 8);
  EXPECT_EQ(drawn(run(110, tex)).size(), 9u);
  // In a stream the command in error ends it: the Clear after it is not executed.
  Stream stream;
  stream.add(173, Data().pixels(1, 0, 0, 1).i32(64).i32(2).u32(0x1908).u32(0x1401).pad(8));
  stream.add(127, Data().u32(0x4000));
  std::unique_ptr<uint8_t[]> streamBlock(new uint8_t[stream.bytes.size()]);
  std::memcpy(streamBlock.get(), stream.bytes.data(), stream.bytes.size());
  fakeglClearLog();
  EXPECT_EQ(glxdirectRender(instance, 1, streamBlock.get(), streamBlock.get() + stream.bytes.size()), 16);
  EXPECT_EQ(std::string(fakeglLog()).find("glClear("), std::string::npos);
  // A stream cut inside a header, a large command whose length is beyond its bytes.
  EXPECT_EQ(glxdirectRender(instance, 1, streamBlock.get(), streamBlock.get() + 2), 16);
  uint8_t large[12] = {64, 0, 0, 0, 127, 0, 0, 0, 0, 0x40, 0, 0};
  EXPECT_EQ(glxdirectRenderLarge(instance, 1, large, sizeof large), 16);
}

TEST_F(GlxDirectRender, CompressedImagesAreReadAsSentWhateverTheUnpackState) {
  Calls calls = drawn(run(215, Data().u32(0x0DE1).i32(0).u32(0x83F0).i32(4).i32(4).i32(0).i32(8).pad(8)));
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0], "glPixelStorei(0x0CF2, 0)");
  EXPECT_EQ(calls[4], "glPixelStorei(0x806D, 0)");
  EXPECT_EQ(calls[5].rfind("glCompressedTexImage2DARB(0x0DE1, 0, 0x83F0, 4, 4, 0, 8, 0x", 0), 0u) << calls[5];
}

TEST_F(GlxDirectRender, VertexCountsAreBoundedByTheBytesCarried) {
  // DrawArrays (193) of 2^31 - 1 vertices with one float component of no values: BadLength.
  Data zero = Data().u32(0x7FFFFFFF).u32(1).u32(0).u32(0x1406).u32(0).u32(0x8074);
  fakeglClearLog();
  std::unique_ptr<uint8_t[]> block(new uint8_t[zero.bytes.size()]);
  std::memcpy(block.get(), zero.bytes.data(), zero.bytes.size());
  EXPECT_EQ(glxdirectExecuteRender(instance, 193, block.get(), block.get() + zero.bytes.size()), 16);
  EXPECT_EQ(lines(fakeglLog()), Calls{});
  // 300 carrying one array of no bytes per vertex, likewise.
  Data carried = Data().u32(0).i32(0).i32(0x7FFFFFFF).u32(1).u32(0x1406).u32(0).u32(0x8074).u32(0).u32(0);
  EXPECT_EQ(run(300, carried), Calls{});
  // 300 drawing from the arrays in buffers: no more vertices than their buffers have bytes.
  Data uncarried = Data().u32(0).i32(0).i32(0x7FFFFFFF).u32(0);
  EXPECT_EQ(drawn(run(300, uncarried)), Calls{});
  int32_t on = 1, buffer = 5;
  fakeglSetIntegers(0x8074, &on, 1);
  fakeglSetIntegers(0x8896, &buffer, 1);
  // 96 bytes of two floats a vertex: 12 vertices; an ArrayElement also reads inside them.
  int32_t two = 2, floats = 0x1406;
  fakeglSetIntegers(0x807A, &two, 1);
  fakeglSetIntegers(0x807B, &floats, 1);
  fakeglSetBufferMapping(0x8892, 96);
  EXPECT_EQ(drawn(run(300, Data().u32(0).i32(0).i32(13).u32(0))),
            (Calls{"glBindBuffer(0x8892, 5)", "glBindBuffer(0x8892, 0)"}));
  EXPECT_EQ(drawn(run(300, Data().u32(0).i32(0).i32(12).u32(0))).back(), "glDrawArrays(0x0000, 0, 12)");
  EXPECT_EQ(drawn(run(294, Data().i32(11))).back(), "glArrayElement(11)");
  EXPECT_EQ(drawn(run(294, Data().i32(12))).back(), "glBindBuffer(0x8892, 0)");
  // Meshes: 2048 x 2048 points evaluate (whole outside a request, in pieces inside one: below),
  // 2^31 on a side do not.
  EXPECT_EQ(run(157, Data().u32(0x1B02).i32(0).i32(2047).i32(0).i32(2047)),
            Calls{"glEvalMesh2(0x1B02, 0, 2047, 0, 2047)"});
  EXPECT_EQ(run(157, Data().u32(0x1B02).i32(0).i32(0x7FFFFFFF).i32(0).i32(0x7FFFFFFF)), Calls{});
  EXPECT_EQ(run(155, Data().u32(0x1B02).i32(-0x7FFFFFFF).i32(0x7FFFFFFF)), Calls{});
}

// A long draw reaches the library in pieces of the finish interval, each counted and finished
// before the next: the pieces grow while the library finishes them quickly and shrink when a
// stretch runs long; independent primitives are cut between primitives, strips carry their
// last vertices over (a triangle strip an even count on), fans start every piece at their first
// vertex again (drawn by ArrayElement), loops are strips closed by a last line; a polygon drawn
// as lines cannot be cut and goes whole, however long. Meshes likewise.
TEST_F(GlxDirectRender, LongDrawsReachTheLibraryInFinishedPieces) {
  int32_t on = 1, buffer = 5, two = 2, floats = 0x1406;
  fakeglSetIntegers(0x8074, &on, 1);
  fakeglSetIntegers(0x8896, &buffer, 1);
  fakeglSetIntegers(0x807A, &two, 1);
  fakeglSetIntegers(0x807B, &floats, 1);
  fakeglSetBufferMapping(0x8892, 8 << 20);
  struct Piece {
    uint32_t mode;
    int64_t at, n;
  };
  // The draws of one request: runs of glDrawArrays as pieces, each preceded (but the first) by
  // a finish; ArrayElement runs as pieces of their elements.
  auto draw = [&](uint32_t mode, int32_t count, std::vector<std::vector<int64_t>> *runs = nullptr) {
    std::vector<Piece> out;
    bool finished = true;
    std::vector<int64_t> run;
    for (const std::string &call : drawn(render(Stream().add(300, Data().u32(mode).i32(0).i32(count).u32(0))))) {
      unsigned m = 0;
      long long at = 0, n = 0;
      if (call == "glFinish()") finished = true;
      if (std::sscanf(call.c_str(), "glDrawArrays(0x%x, %lld, %lld)", &m, &at, &n) == 3) {
        EXPECT_TRUE(finished) << "piece at " << at << " without a finish before it";
        finished = false;
        out.push_back({m, at, n});
      }
      if (std::sscanf(call.c_str(), "glArrayElement(%lld)", &at) == 1) run.push_back(at);
      if (call.rfind("glEnd()", 0) == 0 && runs) {
        EXPECT_TRUE(finished);
        finished = false;
        runs->push_back(run);
        run.clear();
      }
    }
    return out;
  };
  auto expectCovered = [](const std::vector<Piece> &pieces, int64_t count, int64_t step, int64_t overlap) {
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.front().at, 0);
    EXPECT_EQ(pieces.back().at + pieces.back().n, count);
    for (size_t k = 0; k < pieces.size(); k++) {
      EXPECT_LE(pieces[k].n, kGlxDirectDrawPiece);
      if (k + 1 < pieces.size()) {
        EXPECT_EQ(pieces[k + 1].at, pieces[k].at + pieces[k].n - overlap) << k;
        EXPECT_EQ((pieces[k].n - overlap) % step, 0) << k;
      }
    }
  };
  // Points on a small viewport: pieces that start at the first interval and double up to the
  // most a piece takes.
  int32_t small[4] = {0, 0, 64, 64}, large[4] = {0, 0, 4000, 4000};
  fakeglSetIntegers(0x0BA2, small, 4);
  std::vector<Piece> points = draw(0, 200000);
  expectCovered(points, 200000, 1, 0);
  EXPECT_EQ(points.front().n, int64_t(kGlxDirectFirstInterval));
  EXPECT_EQ(points[points.size() - 2].n, kGlxDirectDrawPiece);
  for (size_t k = 1; k + 1 < points.size(); k++) EXPECT_GE(points[k].n, points[k - 1].n);
  // The interval is the instance's: the next request goes on where this one left it.
  EXPECT_EQ(draw(0, 70000).front().n, kGlxDirectDrawPiece);
  // On a large viewport, where each unit may fill far more, the pieces stay far smaller (and
  // a Viewport command sets their bound at once).
  fakeglSetIntegers(0x0BA2, large, 4);
  std::vector<Piece> bounded = draw(0, 200000);
  expectCovered(bounded, 200000, 1, 0);
  EXPECT_LT(bounded.front().n * 64, kGlxDirectDrawPiece);
  for (const Piece &p : bounded) EXPECT_LE(p.n, bounded.front().n);
  fakeglSetIntegers(0x0BA2, small, 4);
  expectCovered(draw(4, 65537 + 65535), 65537 + 65535, 3, 0);
  std::vector<Piece> strip = draw(5, 65540);
  expectCovered(strip, 65540, 2, 2);
  for (const Piece &p : strip) EXPECT_EQ(p.at % 2, 0);
  expectCovered(draw(8, 5001), 5001, 2, 2);
  // Stretches that run long shrink the pieces again (each look at the clock: 40 ms).
  clockStep = 40'000'000;
  instance->workInterval = 64;
  std::vector<Piece> slow = draw(0, 70);
  ASSERT_GE(slow.size(), 2u);
  EXPECT_LT(slow[1].n, slow[0].n);
  clockStep = 1000;
  // A fan: its first run, then runs of ArrayElement that begin at element 0 and go on from the
  // last element drawn; every triangle of the fan is drawn once.
  instance->workInterval = 0;
  std::vector<std::vector<int64_t>> runs;
  std::vector<Piece> fan = draw(6, 5000, &runs);
  ASSERT_EQ(fan.size(), 1u);
  EXPECT_EQ(fan[0].mode, 6u);
  int64_t next = fan[0].n;
  for (const std::vector<int64_t> &r : runs) {
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], next - 1);
    for (size_t k = 2; k < r.size(); k++) EXPECT_EQ(r[k], r[k - 1] + 1);
    next = r.back() + 1;
  }
  EXPECT_EQ(next, 5000);
  // A loop: strips, then its closing line from the last vertex to the first.
  runs.clear();
  std::vector<Piece> loop = draw(2, 5000, &runs);
  for (const Piece &p : loop) EXPECT_EQ(p.mode, 3u);
  expectCovered(loop, 5000, 1, 1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0], (std::vector<int64_t>{4999, 0}));
  // A polygon drawn as lines goes whole, however long: an honest draw never fails.
  int32_t asLines[2] = {0x1B01, 0x1B01};
  fakeglSetIntegers(0x0B40, asLines, 2);
  ASSERT_EQ(draw(9, 1 << 18).size(), 1u);
  EXPECT_EQ(draw(9, (1 << 18) + 1).size(), 1u);
  EXPECT_EQ(warningsContaining("cannot be cut"), 0u);
  // A filled 300 x 300 mesh on the grid 0..299 in steps of 1: rows of triangle strips at the
  // grid's points, in pieces of at most a piece's points between two finishes, a row cut going
  // on from its last column: every cell is drawn once, row after row.
  int32_t domain[4] = {0, 299, 0, 299}, segments[2] = {299, 299};
  fakeglSetIntegers(0x0DD2, domain, 4);
  fakeglSetIntegers(0x0DD3, segments, 2);
  Calls calls = render(Stream().add(157, Data().u32(0x1B02).i32(0).i32(299).i32(0).i32(299)));
  std::vector<int> cells(299 * 299, 0);
  std::vector<std::pair<float, float>> evaluated;
  int64_t sinceFinish = 0, finishes = 0, lastCell = -1;
  for (const std::string &call : calls) {
    float u = 0, v = 0;
    if (call == "glFinish()") {
      EXPECT_LE(sinceFinish, kGlxDirectDrawPiece + 4);
      sinceFinish = 0, finishes++;
    } else if (call == "glBegin(0x0005)") {
      evaluated.clear();
    } else if (std::sscanf(call.c_str(), "glEvalCoord2f(%f, %f)", &u, &v) == 2) {
      evaluated.push_back({u, v});
      sinceFinish++;
    } else if (call == "glEnd()") {
      ASSERT_EQ(evaluated.size() % 2, 0u);
      for (size_t k = 0; k + 3 < evaluated.size(); k += 2) {
        EXPECT_EQ(evaluated[k + 1], std::make_pair(evaluated[k].first, evaluated[k].second + 1));
        EXPECT_EQ(evaluated[k + 2].first, evaluated[k].first + 1);
        int64_t cell = int64_t(evaluated[k].second) * 299 + int64_t(evaluated[k].first);
        ASSERT_TRUE(cell >= 0 && cell < 299 * 299) << call;
        EXPECT_GT(cell, lastCell);
        lastCell = cell;
        cells[size_t(cell)]++;
      }
    }
  }
  EXPECT_GT(finishes, 1);
  EXPECT_EQ(std::count(cells.begin(), cells.end(), 1), 299 * 299);
}

// Inside glBegin/glEnd the library is finished between two primitives of an independent mode:
// the proxy ends the primitive, finishes and begins it again, never in the middle of a quad;
// strips are not begun again, nor is a glBegin after a command that is neither a vertex nor an
// attribute.
TEST_F(GlxDirectRender, IndependentPrimitivesInsideBeginAreFinishedBetweenThem) {
  auto quads = [&](uint32_t mode, int vertices, bool withOther) {
    Stream s;
    s.add(4, Data().u32(mode));
    for (int k = 0; k < vertices; k++) {
      if (withOther && k == 6) s.add(139, Data().u32(0x0B71));  // not an attribute (GL's error there)
      s.add(8, Data().f32(1).f32(0).f32(0)).add(70, Data().f32(float(k)).f32(0).f32(0));
    }
    s.add(23, Data());
    instance->workInterval = kGlxDirectFirstInterval;
    return render(s);
  };
  // The vertices given between two begins, for each begin.
  auto runs = [](const Calls &calls) {
    std::vector<int> out;
    for (const std::string &call : calls) {
      if (call.rfind("glBegin(", 0) == 0) out.push_back(0);
      if (call.rfind("glVertex3f(", 0) == 0 && !out.empty()) out.back()++;
    }
    return out;
  };
  Calls calls = drawn(quads(7, 400, false));
  std::vector<int> quadRuns = runs(calls);
  ASSERT_GT(quadRuns.size(), 1u);
  int total = 0;
  for (int n : quadRuns) {
    EXPECT_EQ(n % 4, 0);
    total += n;
  }
  EXPECT_EQ(total, 400);
  // Each begin again comes after an end and a finish.
  for (size_t k = 2; k < calls.size(); k++)
    if (calls[k].rfind("glBegin(", 0) == 0) {
      EXPECT_EQ(calls[k - 1], "glFinish()");
      EXPECT_EQ(calls[k - 2], "glEnd()");
    }
  EXPECT_EQ(runs(quads(5, 400, false)).size(), 1u);  // a triangle strip: one run
  // Not begun again after a command that is neither a vertex nor an attribute (before the 7th).
  EXPECT_GE(runs(quads(4, 400, true)).back(), 400 - 6);
}

// Inside a glBegin of triangles filled with the fixed-function transform, a primitive counts by
// the pixels its window box covers (with a share of the viewport each): 20 000 small triangles
// reach the library without a finish between them, while as many that each span the viewport,
// small ones drawn as lines, small ones under a program, or one behind the eye, are finished
// between every interval of them as before.
TEST_F(GlxDirectRender, SmallFilledTrianglesCountByThePixelsTheyCover) {
  const int32_t viewport[4] = {0, 0, 1280, 1024}, fill[2] = {0x1B02, 0x1B02}, lines[2] = {0x1B01, 0x1B01};
  const int32_t identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  fakeglSetIntegers(0x0BA2, viewport, 4);
  fakeglSetIntegers(0x0BA6, identity, 16);
  fakeglSetIntegers(0x0BA7, identity, 16);
  instance->programQueries = kGlxDirectKnowsProgram;
  // The finishes among 20 000 triangles, each reaching size window pixels out from its point.
  auto finishes = [&](float size, float w = 1) {
    Stream s;
    s.add(4, Data().u32(4));
    for (int k = 0; k < 20000; k++) {
      float x = float(k % 1000) / 1000, y = float(k % 7) / 10;
      for (auto [dx, dy] : {std::pair{-size, -size}, {size, -size}, {-size, size}})
        s.add(74, Data().f32((x + dx / 640) * w).f32((y + dy / 512) * w).f32(0).f32(w));
    }
    s.add(23, Data());
    instance->workInterval = 4096;  // grown as far as it goes on 1280x1024 (about 5 000)
    Calls calls = render(s);
    return std::count(calls.begin(), calls.end(), "glFinish()");
  };
  fakeglSetIntegers(0x0B40, fill, 2);
  EXPECT_EQ(finishes(2), 0);
  int64_t spanning = finishes(2000);
  EXPECT_GE(spanning, 3);
  EXPECT_GE(finishes(2, -1), spanning);  // behind the eye: placed nowhere the proxy can tell
  EXPECT_GE(finishes(std::nanf("")), spanning);  // not a number: likewise
  fakeglSetIntegers(0x0B40, lines, 2);
  EXPECT_GE(finishes(2), spanning);
  fakeglSetIntegers(0x0B40, fill, 2);
  const int32_t program = 3;
  fakeglSetIntegers(0x8B8D, &program, 1);
  EXPECT_GE(finishes(2), spanning);
}

// What pieces would draw differently goes whole: strips and loops of lines while line stipple
// is on, indexed primitives but points while primitive restart is on (asked without leaving
// the question's error: the client's own comes first). Pieces drawn by ArrayElement set the
// current values of the enabled arrays back (asked before the first of them); no other draw
// asks.
TEST_F(GlxDirectRender, PiecesDrawAsTheWholeAndLeaveTheCurrentValues) {
  auto *node = static_cast<GlxDirectContext *>(calloc(1, sizeof(GlxDirectContext)));
  node->context = reinterpret_cast<GLXContext>(&contextHandles[1]);
  instance->contexts = node;
  int32_t on = 1, buffer = 5, two = 2, floats = 0x1406, off = 0;
  for (uint32_t array : {0x8074u, 0x8076u}) fakeglSetIntegers(array, &on, 1);         // vertex, colour
  for (uint32_t binding : {0x8896u, 0x8898u, 0x8895u}) fakeglSetIntegers(binding, &buffer, 1);
  fakeglSetIntegers(0x807A, &two, 1);
  fakeglSetIntegers(0x807B, &floats, 1);
  fakeglSetBufferMapping(0x8892, 16 << 20);  // room for 2^19 elements of unknown size
  fakeglSetBufferMapping(0x8893, 4 << 20);
  // The draw calls of a request of one command; the calls after its last glEnd.
  auto draws = [&](uint16_t opcode, const Data &d, Calls *after = nullptr) {
    instance->workInterval = kGlxDirectFirstInterval;
    Calls out, calls = drawn(render(Stream().add(opcode, d)));
    for (const std::string &call : calls)
      if (call.rfind("glDraw", 0) == 0 || call.rfind("glBegin", 0) == 0) out.push_back(call);
    if (after) after->assign(std::find(calls.rbegin(), calls.rend(), "glEnd()").base(), calls.end());
    return out;
  };
  auto arrays = [](uint32_t mode, int32_t count) { return Data().u32(mode).i32(0).i32(count).u32(0); };
  auto elements = [](uint32_t mode, int32_t count) { return Data().u32(0).u32(0).u32(mode).i32(count).u32(0x1405); };
  fakeglSetIntegers(0x0B24, &on, 1);  // GL_LINE_STIPPLE
  EXPECT_EQ(draws(300, arrays(3, 5000)), Calls{"glDrawArrays(0x0003, 0, 5000)"});
  EXPECT_GT(draws(300, arrays(1, 5000)).size(), 1u);
  EXPECT_EQ(draws(300, arrays(3, (1 << 18) + 1)), Calls{"glDrawArrays(0x0003, 0, 262145)"});
  EXPECT_EQ(warningsContaining("cannot be cut"), 0u);
  EXPECT_EQ(node->heldError, 0u);
  fakeglSetIntegers(0x0B24, &off, 1);
  fakeglSetIntegers(0x8D69, &on, 1);  // GL_PRIMITIVE_RESTART_FIXED_INDEX
  fakeglSetRefusal("glClear", 0x0501);
  run(127, Data().u32(0x4000));
  fakeglSetRefusal("glGetIntegerv", 0x0500);
  EXPECT_EQ(draws(295, elements(4, 5000)), Calls{"glDrawElements(0x0004, 5000, 0x1405, NULL)"});
  fakeglSetRefusal("glGetIntegerv", 0);
  EXPECT_EQ(node->heldError, 0x0501u);
  EXPECT_EQ(instance->functions.glGetError(), 0u);
  EXPECT_GT(draws(295, elements(0, 5000)).size(), 1u);
  EXPECT_GT(draws(300, arrays(4, 5000)).size(), 1u);
  fakeglSetIntegers(0x8D69, &off, 1);
  // A fan with the colour array enabled: the current colour asked before its first ArrayElement
  // piece and set after the last; a strip asks nothing.
  int32_t colour[4] = {0, 1, 0, 1};
  fakeglSetIntegers(0x0B00, colour, 4);
  Calls after;
  EXPECT_GT(draws(300, arrays(6, 5000), &after).size(), 2u);
  EXPECT_EQ(after, Calls{"glColor4fv({0, 1, 0, 1})"});
  Calls strip = drawn(render(Stream().add(300, arrays(3, 5000))));
  EXPECT_EQ(std::count_if(strip.begin(), strip.end(), [](const std::string &call) {
              return call.rfind("glGetFloatv", 0) == 0 || call.rfind("glColor4fv", 0) == 0;
            }), 0);
  instance->contexts = nullptr;
  instance->currentNode = nullptr;
  free(node);
}

// Inside glBegin/glEnd an EvalCoord or EvalPoint gives a vertex only while a vertex map of its
// dimension is enabled, an ArrayElement only while the vertex array is: asked before the glBegin,
// and the primitive is begun again only after whole triangles.
TEST_F(GlxDirectRender, EvaluatorsAndArrayElementsInsideBeginCountOnlyAsVertices) {
  int32_t on = 1, buffer = 5;
  fakeglSetIntegers(0x8076, &on, 1);  // a colour array in a buffer, no vertex array
  fakeglSetIntegers(0x8898, &buffer, 1);
  fakeglSetBufferMapping(0x8892, 1 << 16);
  const Data vertex = Data().f32(1).f32(0).f32(0);
  // The vertices (calls named so) given between two begins of GL_TRIANGLES, for each begin.
  auto runs = [&](std::vector<std::pair<uint16_t, Data>> each, const std::string &counted) {
    Stream s;
    s.add(4, Data().u32(4));
    for (int k = 0; k < 300; k++)
      for (const auto &[opcode, data] : each) s.add(opcode, data);
    s.add(23, Data());
    instance->workInterval = kGlxDirectFirstInterval;
    std::vector<int> out;
    for (const std::string &call : render(s)) {
      if (call.rfind("glBegin(", 0) == 0) out.push_back(0);
      if (call.rfind(counted, 0) == 0 && !out.empty()) out.back()++;
    }
    return out;
  };
  for (auto [each, counted] : std::vector<std::pair<std::vector<std::pair<uint16_t, Data>>, std::string>>{
           {{{70, vertex}, {152, Data().f32(0.5f)}}, "glVertex3f("},
           {{{70, vertex}, {158, Data().i32(1).i32(2)}}, "glVertex3f("},
           {{{294, Data().i32(0)}, {70, vertex}}, "glVertex3f("}}) {
    std::vector<int> got = runs(each, counted);
    EXPECT_GT(got.size(), 1u) << counted;
    for (int n : got) EXPECT_EQ(n % 3, 0) << each[1].first;
  }
  fakeglSetIntegers(0x0D98, &on, 1);  // GL_MAP1_VERTEX_4: EvalCoord1 makes the vertices
  std::vector<int> evaluated = runs({{152, Data().f32(0.5f)}}, "glEvalCoord1f(");
  EXPECT_GT(evaluated.size(), 1u);
  for (int n : evaluated) EXPECT_EQ(n % 3, 0);
}

TEST_F(GlxDirectRender, RefusedPointersAndNeverSetArraysAreLeftOutOfTheDraw) {
  int32_t on = 1;
  fakeglSetIntegers(0x8074, &on, 1);
  fakeglSetIntegers(0x8076, &on, 1);
  // One value per vertex for the vertex array: the library refuses it (its error) and keeps an
  // older pointer, so the array is not drawn from; the colour array is the command's own.
  Data d = Data().u32(2).u32(2).u32(0);
  d.u32(0x1406).u32(1).u32(0x8074);
  d.u32(0x1401).u32(4).u32(0x8076);
  d.pad(2 * 8);
  // The refused array is not enabled by the command (the library would read it at a size of its
  // own); the library's own enabled vertex array is left out of the draw and enabled again.
  Calls calls = drawn(run(193, d));
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[0].rfind("glVertexPointer(1, 0x1406, 8, 0x", 0), 0u) << calls[0];
  EXPECT_EQ(calls[1], "glEnableClientState(0x8076)");
  EXPECT_EQ(calls[3], "glDisableClientState(0x8074)");
  EXPECT_EQ(calls[4], "glDrawArrays(0x0000, 0, 2)");
  EXPECT_EQ(calls[5], "glEnableClientState(0x8074)");
  EXPECT_EQ(calls[6], "glDisableClientState(0x8076)");
  // An array enabled but never set: ArrayElement does not read it.
  fakeglSetIntegers(0x8076, nullptr, 0);
  EXPECT_EQ(drawn(run(294, Data().i32(0))),
            (Calls{"glDisableClientState(0x8074)", "glArrayElement(0)", "glEnableClientState(0x8074)"}));
  // Generic attributes and texture units up to the library's limits are looked at.
  int32_t attributes = 2, units = 2;
  fakeglSetIntegers(0x8869, &attributes, 1);
  fakeglSetIntegers(0x8871, &units, 1);
  fakeglSetIntegers(0x8074, nullptr, 0);
  instance->limitsAsked = 0;
  fakeglSetKeyedValues(1, 0x8622, &on, 1);
  calls = drawn(run(294, Data().i32(0)));
  EXPECT_EQ(calls, (Calls{"glClientActiveTexture(0x84C1)", "glClientActiveTexture(0x84C0)",
                          "glDisableVertexAttribArray(1)", "glArrayElement(0)", "glEnableVertexAttribArray(1)"}));
}

TEST_F(GlxDirectRender, ArrayElementsInsideBeginAreCheckedAtTheBegin) {
  // Nothing can be asked inside glBegin/glEnd: the arrays are looked at before the glBegin.
  int32_t on = 1;
  fakeglSetIntegers(0x8074, &on, 1);
  run(4, Data().u32(0));
  EXPECT_EQ(run(294, Data().i32(0)), Calls{});
  EXPECT_EQ(warningsContaining("checked at glBegin"), 1u);
  run(23, Data());
  // In a buffer object (of two elements at most): served inside, without a question.
  int32_t buffer = 3;
  fakeglSetIntegers(0x8896, &buffer, 1);
  fakeglSetBufferMapping(0x8892, 64);
  run(4, Data().u32(0));
  EXPECT_EQ(run(294, Data().i32(1)), Calls{"glArrayElement(1)"});
  EXPECT_EQ(run(294, Data().i32(2)), Calls{});
  // Until a command changes the arrays; a mode the library refuses makes it unsafe from the start.
  run(292, Data().u32(0x8076).u32(0));
  EXPECT_EQ(run(294, Data().i32(0)), Calls{});
  run(23, Data());
  run(4, Data().u32(0x0F));
  EXPECT_EQ(run(294, Data().i32(0)), Calls{});
  run(23, Data());
}

TEST_F(GlxDirectRender, ArrayElementsInsideBeginStopWhenABufferChangesOutsideTheStream) {
  // A vertex array in buffer 3 of 64 bytes (room for two elements), counted at the glBegin. A
  // library that refused the glBegin takes single operations: the buffer deleted or another
  // bound leaves the counted room meaningless.
  int32_t on = 1, buffer = 3;
  fakeglSetIntegers(0x8074, &on, 1);
  fakeglSetIntegers(0x8896, &buffer, 1);
  fakeglSetBufferMapping(0x8892, 64);
  uint32_t names[2] = {1, 3};
  GlxDirectResult result{};
  auto changes = {
      std::function<void()>([&] {
        glxdirectDeleteBuffers(instance, 1, reinterpret_cast<const uint8_t *>(names), sizeof names, &result);
      }),
      std::function<void()>([&] { glxdirectBindBuffer(instance, 1, 0x8892, 0); }),
  };
  for (const auto &change : changes) {
    run(4, Data().u32(0));
    EXPECT_EQ(run(294, Data().i32(1)), Calls{"glArrayElement(1)"});
    change();
    EXPECT_EQ(run(294, Data().i32(0)), Calls{});
    run(23, Data());
  }
  EXPECT_EQ(warningsContaining("checked at glBegin"), 2u);
}

TEST_F(GlxDirectRender, AttributeIndicesBeyondTheLibrarysGiveItsError) {
  int32_t attributes = 16;
  fakeglSetIntegers(0x8869, &attributes, 1);
  instance->limitsAsked = 0;
  // VertexAttribs1fvNV at 0x40000000: not handed over; the library's GL_INVALID_VALUE instead.
  Calls calls = drawn(run(4206, Data().u32(0x40000000).i32(1).f32(1)));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glVertexAttrib4fvARB(4294967295, ", 0), 0u) << calls[0];
  // From index 15 only one attribute is the library's.
  calls = drawn(run(4206, Data().u32(15).i32(3).f32(1).f32(2).f32(3)));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind("glVertexAttribs1fvNV(15, 1, ", 0), 0u) << calls[0];
  // A generic array enabled or pointed beyond the limit, a single attribute of the NV form: the
  // same error, nothing else called.
  int32_t bound = 1;
  fakeglSetIntegers(0x8894, &bound, 1);
  for (auto [opcode, data] : {std::pair<uint32_t, Data>{292, Data().u32(0).u32(16)},
                              {4269, Data().u32(16).f32(1)},
                              {291, Data().u32(0).u32(0).u32(0).u32(16).i32(4).u32(0x1406).i32(0).pad(4)}}) {
    calls = drawn(run(opcode, data));
    ASSERT_EQ(calls.size(), 1u) << opcode;
    EXPECT_EQ(calls[0].rfind("glVertexAttrib4fvARB(4294967295, ", 0), 0u) << calls[0];
  }
  EXPECT_EQ(run(4269, Data().u32(15).f32(1)), Calls{"glVertexAttrib1fvNV(15, {1})"});
}

// Display lists are the proxy's: GL_COMPILE records each command and hands the library nothing
// (a list calling itself, a list called inside a primitive, attributes after a vertex: none of
// it reaches a list compiler); CallList and CallLists replay the recorded commands through the
// executor, with the list base, at most 64 levels deep; GL_COMPILE_AND_EXECUTE records and
// executes; commands GL executes at once are executed, not recorded; one request's replay ends
// at its bound with GL_OUT_OF_MEMORY for the client's next GetError.
TEST_F(GlxDirectRender, ListsAreRecordedAndReplayedThroughTheExecutor) {
  auto *node = static_cast<GlxDirectContext *>(calloc(1, sizeof(GlxDirectContext)));
  node->context = reinterpret_cast<GLXContext>(&contextHandles[1]);
  node->shareGroup = node->serial = 1;
  instance->contexts = node;
  auto single = [&](GlxDirectSingle op, std::vector<uint32_t> words) {
    GlxDirectResult result{};
    EXPECT_EQ(op(instance, 1, reinterpret_cast<const uint8_t *>(words.data()), uint32_t(4 * words.size()), &result), 1);
    return result;
  };
  auto heldError = [&] { return uint32_t(single(glxdirectGetError, {}).value); };
  auto integer = [&](uint32_t pname) {
    GlxDirectResult result = single(glxdirectGetIntegerv, {pname});
    int32_t value = 0;
    if (result.data) std::memcpy(&value, result.data, 4);
    return value;
  };
  // GL's errors: list 0, a mode of no name, a negative GenLists range.
  single(glxdirectNewList, {0, 0x1300});
  EXPECT_EQ(heldError(), 0x0501u);
  single(glxdirectNewList, {5, 0x1302});
  EXPECT_EQ(heldError(), 0x0500u);
  EXPECT_EQ(single(glxdirectGenLists, {uint32_t(-1)}).value, 0);
  EXPECT_EQ(heldError(), 0x0501u);
  EXPECT_EQ(integer(0x0B33), 0);
  const Data vertex = Data().f32(0.5f).f32(0).f32(0), color = Data().u8(9).u8(8).u8(7);
  const Data material = Data().u32(0x0408).u32(0x1602).f32(0.8f).f32(0.2f).f32(0.2f).f32(1);
  single(glxdirectNewList, {5, 0x1300});
  EXPECT_EQ(integer(0x0B33), 5);       // GL_LIST_INDEX
  EXPECT_EQ(integer(0x0B30), 0x1300);  // GL_LIST_MODE
  EXPECT_EQ(integer(0x0B31), 64);      // GL_MAX_LIST_NESTING
  fakeglClearLog();
  for (const auto &[opcode, data] : std::vector<std::pair<uint32_t, Data>>{
           {4, Data().u32(1)}, {70, vertex}, {11, color}, {23, Data()}, {4, Data().u32(8)}, {70, vertex},
           {97, material}, {1, Data().u32(5)}, {70, vertex}, {23, Data()}})
    EXPECT_EQ(run(opcode, data), Calls{}) << opcode;
  EXPECT_EQ(instance->insideBegin, 0);
  // Executed at once: a buffer bound, not recorded.
  EXPECT_EQ(run(290, Data().u32(0x8892).u32(0)), Calls{"glBindBuffer(0x8892, 0)"});
  // Another NewList inside is GL_INVALID_OPERATION; EndList keeps the list.
  single(glxdirectNewList, {6, 0x1300});
  EXPECT_EQ(heldError(), 0x0502u);
  single(glxdirectEndList, {});
  EXPECT_EQ(integer(0x0B33), 0);
  EXPECT_EQ(heldError(), 0u);
  single(glxdirectEndList, {});
  EXPECT_EQ(heldError(), 0x0502u);
  EXPECT_EQ(single(glxdirectIsList, {5}).value, 1);
  EXPECT_EQ(single(glxdirectIsList, {6}).value, 0);
  // Replayed: what the commands do at once, the list calling itself 64 levels deep.
  Calls once = {"glBegin(0x0001)", "glVertex3f(0.5, 0, 0)", "glColor3ubv({9, 8, 7})", "glEnd()",
                "glBegin(0x0008)", "glVertex3f(0.5, 0, 0)"};
  Calls replayed = drawn(run(1, Data().u32(5)));
  ASSERT_EQ(replayed.size(), 64 * (once.size() + 3)) << (replayed.empty() ? "" : replayed[0]);
  EXPECT_EQ(Calls(replayed.begin(), replayed.begin() + long(once.size())), once);
  EXPECT_EQ(replayed[once.size()].rfind("glMaterialfv(0x0408, 0x1602, ", 0), 0u) << replayed[once.size()];
  EXPECT_EQ(replayed.back(), "glEnd()");
  // CallLists: each name after the list base; GL_2_BYTES names are big-endian.
  single(glxdirectNewList, {12, 0x1301});
  EXPECT_EQ(run(8, Data().f32(1).f32(0).f32(0)), Calls{"glColor3f(1, 0, 0)"});  // executed too
  single(glxdirectEndList, {});
  run(3, Data().u32(10));
  EXPECT_EQ(integer(0x0B32), 10);  // GL_LIST_BASE
  EXPECT_EQ(run(2, Data().i32(3).u32(0x1407).u8(0).u8(2).u8(0).u8(99).u8(0).u8(2).pad(2)),
            (Calls{"glColor3f(1, 0, 0)", "glColor3f(1, 0, 0)"}));
  EXPECT_EQ(run(2, Data().i32(1).u32(0x1406).f32(2.0f)), Calls{"glColor3f(1, 0, 0)"});
  EXPECT_EQ(run(2, Data().i32(1).u32(0x1406).f32(1e30f)), Calls{});
  EXPECT_EQ(run(2, Data().i32(3).u32(0x1409).pad(11)), Calls{});  // one byte short
  // A type without a size, a negative count: GL's errors (the library's earlier ones kept first).
  EXPECT_EQ(run(2, Data().i32(2).u32(0x1A00).pad(16)), Calls{"glGetError()"});
  EXPECT_EQ(heldError(), 0x0500u);
  EXPECT_EQ(run(2, Data().i32(-1).u32(0x1401).pad(16)), Calls{"glGetError()"});
  EXPECT_EQ(heldError(), 0x0501u);
  // A list that calls itself twice: 2^64 calls without a bound; the request ends at it.
  single(glxdirectNewList, {20, 0x1300});
  run(1, Data().u32(20));
  run(1, Data().u32(20));
  single(glxdirectEndList, {});
  Stream twice;
  twice.add(1, Data().u32(20)).add(8, Data().f32(0).f32(1).f32(0));
  int64_t began = clockNow;
  Calls calls = render(twice);
  // The request ends once its time is up (here the clock's: 1 us a look), finished along the
  // way; what it held after the list is dropped with it.
  EXPECT_EQ(drawn(unfinished(calls)), Calls{});
  EXPECT_GT(calls.size(), 10u);
  EXPECT_GE(clockNow - began, kGlxDirectRequestNs);
  EXPECT_LT(clockNow - began, kGlxDirectRequestNs + 1'000'000);
  EXPECT_EQ(heldError(), 0x0505u);
  EXPECT_EQ(warningsContaining("ended its work at the bound"), 1u);
  // The next request has its own bound; deleted, the lists replay nothing.
  EXPECT_EQ(drawn(render(Stream().add(1, Data().u32(12)))), Calls{"glColor3f(1, 0, 0)"});
  single(glxdirectDeleteLists, {1, 100});
  EXPECT_EQ(drawn(render(Stream().add(1, Data().u32(12)).add(1, Data().u32(5)))), Calls{});
  // A context that goes while it makes a list takes the list with it.
  single(glxdirectNewList, {30, 0x1300});
  run(1, Data().u32(20));
  EXPECT_NE(node->compileBody, nullptr);
  glxdirectFreeCompileBody(node);
  EXPECT_EQ(node->compileBody, nullptr);
  glxdirectFreeListNames(instance);
  glxdirectFreeTextureLevels(instance);
  instance->contexts = nullptr;
  instance->currentNode = nullptr;
  free(node);
}

// ===== image sizes =====

TEST(GlxDirectImageSize, RowsAreRaisedToTheAlignment) {
  EXPECT_EQ(glxdirectImageSize(0x1900, 0x1A00, 0, 10, 2, 1, 0, 0, 0, 0, 4), 8);
  EXPECT_EQ(glxdirectImageSize(0x1907, 0x1401, 0, 3, 2, 1, 0, 0, 0, 0, 4), 24);
  EXPECT_EQ(glxdirectImageSize(0x1907, 0x1401, 0, 3, 2, 1, 0, 0, 0, 0, 1), 18);
  EXPECT_EQ(glxdirectImageSize(0x1907, 0x1401, 0, 3, 2, 1, 0, 0, 0, 0, 0), 0);
  EXPECT_EQ(glxdirectImageSize(0x1907, 0x1401, 0, 3, 2, 1, 0, 0, 0, 0, -4), 0);
  // Row length, skip rows, image height and skip images.
  EXPECT_EQ(glxdirectImageSize(0x1908, 0x1401, 0, 2, 2, 2, 3, 5, 1, 1, 4), (2 + 1) * (3 + 1) * 20);
  // 64 bits: no wrap; beyond them the size saturates.
  EXPECT_EQ(glxdirectImageSize(0x1908, 0x1406, 0, 0x7FFFFFFF, 0x7FFF, 1, 0, 0, 0, 0, 8),
            int64_t{0x7FFFFFFF} * 16 * 0x7FFF);
  EXPECT_EQ(glxdirectImageSize(0x1908, 0x1406, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0, 0, 0, 0, 8), INT64_MAX);
  EXPECT_EQ(glxdirectImageSize(0x1908, 0x1401, 0, -1, 1, 1, 0, 0, 0, 0, 4), 0);
  EXPECT_EQ(glxdirectImageSize(0x1907, 0x1A00, 0, 8, 1, 1, 0, 0, 0, 0, 4), 0);  // bitmap of RGB
}

TEST(GlxDirectImageSize, FormatsAndTypes) {
  const std::pair<uint32_t, int64_t> kFormats[] = {
      {0x1900, 1}, {0x1901, 1}, {0x1902, 1}, {0x1903, 1}, {0x1904, 1}, {0x1905, 1}, {0x1906, 1},
      {0x1909, 1}, {0x8049, 1}, {0x190A, 2}, {0x80CC, 2}, {0x80CD, 2}, {0x80CE, 2}, {0x80CF, 2},
      {0x84F9, 2}, {0x8757, 2}, {0x1907, 3}, {0x80E0, 3}, {0x1908, 4}, {0x80E1, 4}, {0x8000, 4},
      {0x1234, 0}};
  for (auto [format, components] : kFormats)
    EXPECT_EQ(glxdirectImageSize(format, 0x1406, 0, 5, 1, 1, 0, 0, 0, 0, 1), 5 * 4 * components) << format;
  const std::pair<uint32_t, int64_t> kTypes[] = {
      {0x1400, 4}, {0x1401, 4}, {0x1402, 8}, {0x1403, 8}, {0x1404, 16}, {0x1405, 16}, {0x1406, 16},
      {0x8032, 1}, {0x8362, 1}, {0x8033, 2}, {0x8034, 2}, {0x8363, 2},  {0x8364, 2},  {0x8365, 2},
      {0x8366, 2}, {0x85BA, 2}, {0x85BB, 2}, {0x8035, 4}, {0x8036, 4},  {0x8367, 4},  {0x8368, 4},
      {0x84FA, 4}, {0x140A, 0}};
  for (auto [type, bytes] : kTypes)
    EXPECT_EQ(glxdirectImageSize(0x1908, type, 0, 1, 1, 1, 0, 0, 0, 0, 1), bytes) << type;
  for (uint32_t proxy : {0x8025u, 0x8063u, 0x8064u, 0x8070u, 0x80BDu, 0x80D3u, 0x80D4u, 0x80D5u, 0x8135u, 0x8163u,
                         0x84F7u, 0x851Bu})
    EXPECT_EQ(glxdirectImageSize(0x1908, 0x1401, proxy, 4, 4, 1, 0, 0, 0, 0, 4), 0) << proxy;
}

TEST(GlxDirectImageSize, RowLengthAndImageHeightOnlyEnlargeAndBitmapsCountEveryImage) {
  struct Case {
    uint32_t format, type;
    int32_t width, height, depth, imageHeight, rowLength, skipImages, skipRows, alignment, skipPixels;
    int64_t bytes;
  };
  const Case kCases[] = {
      // A row length below the width: rows of the width.
      {0x1908, 0x1401, 4096, 2, 1, 0, 1, 0, 0, 1, 0, 4096 * 4 * 2},
      {0x1908, 0x1401, 4, 1, 1, 0, 6, 0, 0, 1, 0, 24},
      // An image height below the height: images of the height.
      {0x1908, 0x1401, 4, 1024, 2, 1, 0, 0, 0, 1, 0, 2 * 1024 * 16},
      // Skipped pixels reach into the last row read.
      {0x1907, 0x1401, 3, 2, 1, 0, 0, 0, 0, 4, 2, 2 * 12 + 6},
      // Bitmaps: bits, rows aligned, depth, image height and skipped images, skipped bits.
      {0x1900, 0x1A00, 10, 2, 1, 0, 3, 0, 0, 4, 0, 2 * 4},
      {0x1900, 0x1A00, 8, 8, 4, 0, 0, 100, 0, 1, 0, 104 * 8},
      {0x1901, 0x1A00, 16, 2, 2, 5, 0, 0, 1, 1, 0, 2 * 6 * 2},
      {0x1900, 0x1A00, 8, 1, 1, 0, 0, 0, 0, 1, 9, 1 + 2},
  };
  for (const Case &k : kCases)
    EXPECT_EQ(glxdirectImageSize(k.format, k.type, 0, k.width, k.height, k.depth, k.imageHeight, k.rowLength,
                                 k.skipImages, k.skipRows, k.alignment, k.skipPixels),
              k.bytes)
        << k.format << " " << k.type << " " << k.width << "x" << k.height << "x" << k.depth;
}

TEST(GlxDirectCommandData, SixtyFourBitFieldsAreReadLowWordFirst) {
  uint8_t bytes[9] = {0xFF, 1, 0, 0, 0, 2, 0, 0, 0};
  const uint8_t *cursor = bytes + 1;
  EXPECT_EQ(glxdirectTakeU64(&cursor), 0x0000000200000001ull);
  EXPECT_EQ(cursor, bytes + 9);
  double value = -0.125;
  std::memcpy(bytes + 1, &value, 8);
  cursor = bytes + 1;
  EXPECT_EQ(glxdirectTakeDouble(&cursor), -0.125);
}

}  // namespace
