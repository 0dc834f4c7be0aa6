// Hostile GLX commands against GL executed inside tarvo ("lumora on", the system's GL library),
// from raw clients of both byte orders: pixel images shorter than the pixel-store rules make
// them, client arrays never set or refused, vertex counts no command carries, attribute indices
// beyond the library's, read-backs and uploads the library cannot serve, pixel-store settings it
// misreads. Each is answered (BadLength, a GL error, or nothing drawn) and tarvo stays up: the
// client's next request is answered, another client is served, and tarvo ends with status 0 (an
// AddressSanitizer report would change it).
// The pixel-store settings of images drawn through tarvo draw what Xvfb's own GL (+iglx) draws
// for the same commands (LumoraPixelStore). Display lists draw what their commands draw at once
// (LumoraLists).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kBadLength = 16;
constexpr uint32_t kGlInvalidEnum = 0x0500, kGlInvalidValue = 0x0501;
constexpr uint32_t kRgba = 0x1908, kUnsignedByte = 0x1401, kFloat = 0x1406, kColorIndex = 0x1900,
                   kStencilIndex = 0x1901, kBitmap = 0x1A00, kVertexArray = 0x8074;

// A raw client with a GLX context current on a window of its own: requests, commands and answers
// in its byte order.
class HostileClient {
 public:
  // withStencil: on a visual with a stencil buffer.
  std::string start(int display, char order, bool withStencil = false) {
    if (std::string failed = raw.connect(display, order); !failed.empty()) return failed;
    big = order == 'B';
    major = raw.queryExtension("GLX");
    if (major == 0) return "no GLX";
    uint32_t visual = lumoraGlVisual(raw, big, major, false, withStencil);
    if (visual == 0) return "no visual";
    uint32_t colormap = raw.idBase() | 1, context = raw.idBase() | 3;
    window = raw.idBase() | 2;
    raw.send(RawRequest(big).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done());
    raw.send(RawRequest(big)
                 .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(32).s(32).s(0).s(1)
                 .i(visual).i(0x0002 | 0x0008 | 0x0200 | 0x2000).i(0).i(0).i(1).i(colormap)
                 .done());
    raw.send(RawRequest(big).b(8).b(0).s(0).i(window).done());
    raw.send(RawRequest(big).b(major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done());
    RawBytes answer;
    if (std::string failed = raw.roundTrip(RawRequest(big).b(major).b(5).s(0).i(window).i(context).i(0).done(), answer);
        !failed.empty())
      return failed;
    if (answer[0] != 1) return "MakeCurrent: error " + std::to_string(answer[1]);
    tag = rawGet32(answer, 8, big);
    return tag ? "" : "no tag";
  }

  // Command data in the client's order.
  RawRequest data() const { return RawRequest(big); }
  // One command as a GLXRender, respectively as a GLXRenderLarge of one piece.
  RawBytes render(uint16_t opcode, const RawRequest &d) const {
    RawRequest r(big);
    r.b(major).b(1).s(0).i(tag).s(uint16_t(4 + lumoraPad4(d.d.size()))).s(opcode);
    r.d.insert(r.d.end(), d.d.begin(), d.d.end());
    return r.align().done();
  }
  RawBytes renderLarge(uint32_t opcode, const RawRequest &d) const {
    uint32_t length = uint32_t(8 + lumoraPad4(d.d.size()));
    RawRequest r(big);
    r.b(major).b(2).s(0).i(tag).s(1).s(1).i(length).i(length).i(opcode);
    r.d.insert(r.d.end(), d.d.begin(), d.d.end());
    return r.align().done();
  }

  // Sends the request, then a GLX GetError: the X error code the request drew (0: none) and
  // the GL error through *glError. Fails the test when the answer does not come.
  uint8_t errorOf(const RawBytes &request, uint32_t *glError = nullptr) {
    EXPECT_EQ(raw.send(request), "");
    uint16_t sequence = raw.sequence();
    EXPECT_EQ(raw.send(RawRequest(big).b(major).b(115).s(0).i(tag).done()), "");
    uint8_t code = 0;
    RawBytes answer;
    for (;;) {
      // (A request ended at its bound of its own time may take far longer on a busy machine.)
      if (std::string failed = raw.read(answer, 90000); !failed.empty()) {
        ADD_FAILURE() << "GetError unanswered: " << failed;
        return 0xFF;
      }
      if (answer[0] == 0 && rawGet16(answer, 2, big) == sequence) code = answer[1];
      if (answer[0] == 1 && rawGet16(answer, 2, big) == raw.sequence()) break;
    }
    if (glError) *glError = rawGet32(answer, 8, big);
    return code;
  }

  // A glFinish (a round trip): "" or what failed.
  std::string finish() {
    RawBytes answer;
    std::string failed = raw.roundTrip(RawRequest(big).b(major).b(108).s(0).i(tag).done(), answer, 20000);
    if (failed.empty() && answer[0] != 1) failed = "Finish: error " + std::to_string(answer[1]);
    return failed;
  }
  // The window's 32x32 pixels as 0xRRGGBB (GetImage, decoded by the image byte order of the
  // setup); empty on an error.
  std::vector<uint32_t> pixels() {
    RawBytes answer;
    std::vector<uint32_t> out;
    if (!raw.roundTrip(RawRequest(big).b(73).b(2).s(0).i(window).s(0).s(0).s(32).s(32).i(~0u).done(), answer, 20000)
             .empty() ||
        answer[0] != 1 || answer.size() < 32 + 32 * 32 * 4)
      return out;
    bool msbFirst = raw.setup().size() > 30 && raw.setup()[30] == 1;
    for (size_t k = 0; k < 32 * 32; k++) out.push_back(rawGet32(answer, 32 + 4 * k, msbFirst) & 0xFFFFFF);
    return out;
  }

  RawClient raw;
  bool big = false;
  uint8_t major = 0;
  uint32_t tag = 0;
  uint32_t window = 0;

};

// The 2D pixel header: swap, lsb, row length, skip rows, skip pixels, alignment.
RawRequest &header2d(RawRequest &d, int32_t rowLength) {
  return d.b(0).b(0).s(0).i(uint32_t(rowLength)).i(0).i(0).i(1);
}

// The whole 2D pixel header.
struct Store {
  int32_t rowLength, skipRows, skipPixels, alignment;
  uint8_t swapBytes, lsbFirst;
};
RawRequest &header2d(RawRequest &d, const Store &s) {
  return d.b(s.swapBytes).b(s.lsbFirst).s(0).i(uint32_t(s.rowLength)).i(uint32_t(s.skipRows)).i(uint32_t(s.skipPixels))
      .i(uint32_t(s.alignment));
}

uint32_t floatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

// TexImage2D of 4096x2 RGBA bytes whose header gives row length 1: the 8 bytes the faulty size
// asked for, where the library reads 32 KiB.
RawRequest texImage2dRowLengthOne(const HostileClient &c) {
  RawRequest d = c.data();
  header2d(d, 1).i(0x0DE1).i(0).i(kRgba).i(4096).i(2).i(0).i(kRgba).i(kUnsignedByte);
  return d.pad(8);
}

// TexImage3D of 4 x height x depth RGBA bytes (or a bitmap) with image height and skipped
// images, carrying `bytes` of image.
RawRequest texImage3d(const HostileClient &c, uint32_t format, uint32_t type, int32_t height, int32_t depth,
                      int32_t imageHeight, int32_t skipImages, size_t bytes) {
  RawRequest d = c.data();
  d.b(0).b(0).s(0).i(0).i(uint32_t(imageHeight)).i(0).i(0).i(uint32_t(skipImages)).i(0).i(0).i(1);
  d.i(0x806F).i(0).i(kRgba).i(8).i(uint32_t(height)).i(uint32_t(depth)).i(0).i(0).i(format).i(type).i(0);
  return d.pad(bytes);
}

// Xvfb, tarvo with its screen served by the GL library, and a client of the parameter's byte
// order with its context current on a window.
class LumoraHostileRig : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    tarvoBlockSignals();
    XvfbOptions x;
    x.screens = {"640x480x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    ASSERT_EQ(tarvo.start(xvfb.displayName(), lumoraOptions()), "");
    ASSERT_EQ(client.start(tarvo.displayNumber(), GetParam()), "");
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  HostileClient client;
};

class LumoraHostile : public LumoraHostileRig {
 protected:
  void TearDown() override {
    client.raw.close();
    // Another client is still served, and tarvo ends cleanly.
    lumoraExpectServedAndStop(tarvo, false);
  }
};

TEST_P(LumoraHostile, ImagesShorterThanTheLibraryReadsAreBadLength) {
  HostileClient &c = client;
  EXPECT_EQ(c.errorOf(c.renderLarge(110, texImage2dRowLengthOne(c))), kBadLength);
  EXPECT_EQ(c.errorOf(c.render(110, texImage2dRowLengthOne(c))), kBadLength);
  // DrawPixels 4096x2 with row length 1.
  RawRequest draw = c.data();
  header2d(draw, 1).i(4096).i(2).i(kRgba).i(kUnsignedByte).pad(8);
  EXPECT_EQ(c.errorOf(c.render(173, draw)), kBadLength);
  // TexImage3D: image height 1 below a height of 1024; a bitmap with skipped images.
  EXPECT_EQ(c.errorOf(c.renderLarge(4114, texImage3d(c, kRgba, kUnsignedByte, 1024, 2, 1, 0, 2 * 32))), kBadLength);
  EXPECT_EQ(c.errorOf(c.render(4114, texImage3d(c, kColorIndex, kBitmap, 8, 4, 0, 100, 32))), kBadLength);
  // The same sizes carried in full are served.
  EXPECT_EQ(c.errorOf(c.render(4114, texImage3d(c, kRgba, kUnsignedByte, 8, 2, 1, 0, 2 * 8 * 32))), 0);
}

TEST_P(LumoraHostile, DrawsReadOnlyArraysOfTheirOwnCommand) {
  HostileClient &c = client;
  // The vertex array enabled but never set, then ArrayElement: nothing read from nowhere.
  EXPECT_EQ(c.errorOf(c.render(292, c.data().i(kVertexArray).i(0))), 0);
  EXPECT_EQ(c.errorOf(c.render(294, c.data().i(0))), 0);
  // A DrawArrays that sets the pointer into its own command, then one whose vertex pointer the
  // library refuses (0 values per vertex) over 2^31 - 1 vertices: no bytes carry them.
  RawRequest valid = c.data();
  valid.i(3).i(1).i(0 /* GL_POINTS */).i(kFloat).i(2).i(kVertexArray).pad(3 * 8);
  EXPECT_EQ(c.errorOf(c.render(193, valid)), 0);
  RawRequest zero = c.data();
  zero.i(0x7FFFFFFF).i(1).i(0).i(kFloat).i(0).i(kVertexArray);
  EXPECT_EQ(c.errorOf(c.render(193, zero)), kBadLength);
  // The same with an array carried by DrawArrays (300) of no bytes per vertex.
  RawRequest carried = c.data();
  carried.i(0).i(0).i(0x7FFFFFFF).i(1).i(kFloat).i(0).i(kVertexArray).i(0).i(0);
  EXPECT_EQ(c.errorOf(c.render(300, carried)), kBadLength);
  // And from no array at all: answered, nothing drawn.
  EXPECT_EQ(c.errorOf(c.render(300, c.data().i(0).i(0).i(0x7FFFFFFF).i(0))), 0);
  // A vertex array far beyond the end of a buffer of 16 bytes: ArrayElement reads nothing there.
  EXPECT_EQ(c.errorOf(c.render(290, c.data().i(0x8892).i(7))), 0);
  RawRequest data = c.data();
  // The 64-bit size in the client's order.
  (c.big ? data.i(0).i(16) : data.i(16).i(0)).i(0x8892).i(0x88E4).b(0).pad(3).pad(16);
  EXPECT_EQ(c.errorOf(c.render(298, data)), 0);
  RawRequest pointer = c.data();
  pointer.i(0x40000000).i(0).i(kVertexArray).i(0).i(2).i(kFloat).i(0).b(0).b(0).s(0);
  EXPECT_EQ(c.errorOf(c.render(291, pointer)), 0);
  EXPECT_EQ(c.errorOf(c.render(292, c.data().i(kVertexArray).i(0))), 0);
  EXPECT_EQ(c.errorOf(c.render(294, c.data().i(0x7FFFFFFE))), 0);
  EXPECT_EQ(c.errorOf(c.render(294, c.data().i(1))), 0);
}

TEST_P(LumoraHostile, IndicesBeyondTheLibrarysAndReadsItCannotServe) {
  HostileClient &c = client;
  // VertexAttribs1fvNV at index 0x40000000: the library's own error.
  uint32_t glError = 0;
  EXPECT_EQ(c.errorOf(c.render(4206, c.data().i(0x40000000).i(1).i(0)), &glError), 0);
  EXPECT_EQ(glError, kGlInvalidValue);
  // ReadPixels 8x32 of stencil indices as a bitmap: refused before the library, answered as a
  // server does, with an empty reply and GL_INVALID_ENUM.
  RawBytes answer;
  EXPECT_EQ(c.raw.roundTrip(RawRequest(c.big)
                                .b(c.major).b(111).s(0).i(c.tag).i(0).i(0).i(8).i(32).i(kStencilIndex).i(kBitmap)
                                .b(0).b(0).s(0)
                                .done(),
                            answer, 20000),
            "");
  ASSERT_GE(answer.size(), 32u);
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(rawGet32(answer, 4, c.big), 0u);  // no pixels
  EXPECT_EQ(c.errorOf(c.render(127, c.data().i(0x4000)), &glError), 0);  // still served
  EXPECT_EQ(glError, 0x0500u);                                           // GL_INVALID_ENUM
}

// Display lists are the proxy's own: streams that crashed or overran the library's list
// compiler are recorded and replayed through the checks of immediate commands. A material for
// both faces after a vertex of a quad strip; an attribute new after the first vertex of lines
// and a line strip with a list called (CallList, CallLists) after the primitive's glEnd, all in
// one list (the proxy died under glxdirectEndList); evaluator commands inside a compiled
// glBegin, and one before the first vertex of lines (a heap over-read in the library). Each list
// is made without error in both modes and draws.
TEST_P(LumoraHostile, StreamsThatBrokeTheLibrarysListCompilerAreServed) {
  HostileClient &c = client;
  auto f = [](float v) { return floatBits(v); };
  auto newList = [&](uint32_t list, uint32_t mode) {
    EXPECT_EQ(c.raw.send(RawRequest(c.big).b(c.major).b(101).s(0).i(c.tag).i(list).i(mode).done()), "");
  };
  auto endList = [&](uint32_t list) {
    uint32_t glError = 0;
    EXPECT_EQ(c.errorOf(RawRequest(c.big).b(c.major).b(102).s(0).i(c.tag).done(), &glError), 0) << list;
    EXPECT_EQ(glError, 0u) << list;
    EXPECT_EQ(c.errorOf(c.render(1, c.data().i(list)), &glError), 0) << list;
    EXPECT_EQ(glError, 0u) << list;
    EXPECT_EQ(c.finish(), "");
  };
  // A GLXRender of several commands; each adds its header and data.
  struct Commands {
    RawRequest r;
    Commands &add(uint16_t opcode, const RawRequest &d) {
      r.s(uint16_t(4 + lumoraPad4(d.d.size()))).s(opcode);
      r.d.insert(r.d.end(), d.d.begin(), d.d.end());
      r.d.resize(r.d.size() + (lumoraPad4(d.d.size()) - d.d.size()), 0);
      return *this;
    }
  };
  auto commands = [&] {
    Commands k{RawRequest(c.big)};
    k.r.b(c.major).b(1).s(0).i(c.tag);
    return k;
  };
  // A one-dimensional vertex map over [0, 1] of two points, enabled.
  EXPECT_EQ(c.errorOf(c.render(144, c.data().i(0x0D97).i(f(0)).i(f(1)).i(2).i(f(-1)).i(0).i(0).i(f(1)).i(0).i(0))), 0);
  EXPECT_EQ(c.errorOf(c.render(139, c.data().i(0x0D97))), 0);
  uint32_t list = 40;
  for (uint32_t mode : {0x1300u, 0x1301u}) {
    SCOPED_TRACE(mode);
    newList(++list, mode);
    Commands strip = commands();
    strip.add(4, c.data().i(8));  // Begin(GL_QUAD_STRIP)
    for (int k = 0; k < 2; k++)
      strip.add(30, c.data().i(f(0)).i(f(0)).i(f(1))).add(70, c.data().i(f(0.5f)).i(0).i(0));
    strip.add(97, c.data().i(0x0408).i(0x1602).i(f(0.8f)).i(f(0.2f)).i(f(0.2f)).i(f(1)));
    strip.add(70, c.data().i(0).i(f(0.5f)).i(0)).add(23, c.data());
    EXPECT_EQ(c.raw.send(strip.r.done()), "");
    endList(list);
    for (uint32_t primitive : {1u, 3u}) {  // GL_LINES, GL_LINE_STRIP
      for (bool several : {false, true}) {
        newList(++list, mode);
        Commands open = commands();
        open.add(4, c.data().i(primitive)).add(74, c.data().i(0).i(0).i(0).i(f(1))).add(11, c.data().b(1).b(2).b(3));
        EXPECT_EQ(c.raw.send(open.r.done()), "");
        EXPECT_EQ(c.raw.send(commands().add(23, c.data()).r.done()), "");
        if (several)
          EXPECT_EQ(c.raw.send(commands().add(2, c.data().i(1).i(0x1405).i(3)).r.done()), "");
        else
          EXPECT_EQ(c.raw.send(commands().add(1, c.data().i(3)).r.done()), "");
        endList(list);
      }
    }
    // Evaluator commands inside a compiled glBegin of triangles, and before the first vertex of
    // lines with a generic attribute after it.
    newList(++list, mode);
    Commands eval = commands();
    eval.add(4, c.data().i(4)).add(66, c.data().i(f(0.1f)).i(f(0.1f)));
    eval.add(152, c.data().i(f(0.5f))).add(156, c.data().i(1)).add(151, c.data().i(0).i(0));
    eval.add(154, c.data().i(f(0.5f)).i(f(0.5f))).add(66, c.data().i(f(0.9f)).i(f(0.1f))).add(23, c.data());
    eval.add(4, c.data().i(1)).add(154, c.data().i(f(0.25f)).i(f(0.75f)));
    eval.add(4196, c.data().i(1).i(f(1)).i(f(0)).i(f(0)).i(f(1))).add(66, c.data().i(0).i(0)).add(23, c.data());
    EXPECT_EQ(c.raw.send(eval.r.done()), "");
    endList(list);
  }
}

// A list that calls itself twice would make 2^64 calls: the request's replay ends at its bound,
// the client's next GetError answers GL_OUT_OF_MEMORY, and the client (and every other) is
// served after it. Nesting stops at GL_MAX_LIST_NESTING, which the proxy answers itself.
TEST_P(LumoraHostile, ASelfCallingListEndsAtTheRequestsBound) {
  HostileClient &c = client;
  EXPECT_EQ(c.raw.send(RawRequest(c.big).b(c.major).b(101).s(0).i(c.tag).i(1).i(0x1300).done()), "");
  EXPECT_EQ(c.raw.send(c.render(1, c.data().i(1))), "");
  EXPECT_EQ(c.raw.send(c.render(1, c.data().i(1))), "");
  uint32_t glError = 0;
  EXPECT_EQ(c.errorOf(RawRequest(c.big).b(c.major).b(102).s(0).i(c.tag).done(), &glError), 0);
  EXPECT_EQ(glError, 0u);
  EXPECT_EQ(c.errorOf(c.render(1, c.data().i(1)), &glError), 0);
  EXPECT_EQ(glError, 0x0505u);  // GL_OUT_OF_MEMORY
  EXPECT_EQ(c.finish(), "");
  // GetIntegerv singles (117): GL_MAX_LIST_NESTING; GL_LIST_BASE kept by PushAttrib of
  // GL_LIST_BIT and restored by its PopAttrib, left alone by one without it.
  auto integer = [&](uint32_t pname) {
    RawBytes answer;
    EXPECT_EQ(c.raw.roundTrip(RawRequest(c.big).b(c.major).b(117).s(0).i(c.tag).i(pname).done(), answer, 20000), "");
    return answer.size() >= 32 ? rawGet32(answer, 16, c.big) : 0xFFFFFFFFu;
  };
  EXPECT_EQ(integer(0x0B31), 64u);
  EXPECT_EQ(c.raw.send(c.render(3, c.data().i(5))), "");
  EXPECT_EQ(c.raw.send(c.render(142, c.data().i(0x00020000))), "");
  EXPECT_EQ(c.raw.send(c.render(3, c.data().i(9))), "");
  EXPECT_EQ(c.raw.send(c.render(142, c.data().i(0x00000001))), "");
  EXPECT_EQ(c.raw.send(c.render(3, c.data().i(11))), "");
  EXPECT_EQ(c.raw.send(c.render(141, c.data())), "");
  EXPECT_EQ(integer(0x0B32), 11u);
  EXPECT_EQ(c.raw.send(c.render(141, c.data())), "");
  EXPECT_EQ(integer(0x0B32), 5u);
}

// Images are sized as GL reads them: the last row only to its last pixel, skipped pixels within
// the rows, a row length below the width and an image height below the height as set. A 13x9
// image of 140 bytes (alignment 2, 15 pixels skipped) is drawn (tarvo asked for 141); 136 bytes
// are BadLength.
TEST_P(LumoraHostile, ImagesAreSizedAsGlReadsThem) {
  HostileClient &c = client;
  constexpr uint32_t kLuminance = 0x1909;
  auto drawPixels = [&](const Store &store, int32_t width, int32_t height, uint32_t format, size_t bytes) {
    RawRequest d = c.data();
    header2d(d, store).i(uint32_t(width)).i(uint32_t(height)).i(format).i(kUnsignedByte);
    return c.render(173, d.pad(bytes));
  };
  uint32_t glError = 0;
  EXPECT_EQ(c.errorOf(drawPixels({0, 0, 15, 2, 0, 0}, 13, 9, kLuminance, 140), &glError), 0);
  EXPECT_EQ(glError, 0u);
  EXPECT_EQ(c.errorOf(drawPixels({0, 0, 15, 2, 0, 0}, 13, 9, kLuminance, 136)), kBadLength);
  // Rows of 4 pixels for an image 8 wide: 3 rows of 16 bytes and the last one's 32.
  EXPECT_EQ(c.errorOf(drawPixels({4, 0, 0, 4, 0, 0}, 8, 4, kRgba, 80), &glError), 0);
  EXPECT_EQ(glError, 0u);
  EXPECT_EQ(c.errorOf(drawPixels({4, 0, 0, 4, 0, 0}, 8, 4, kRgba, 76)), kBadLength);
  // Images of one row for 8 rows, 2 deep: the first image's row, then 8 rows of 32 bytes.
  EXPECT_EQ(c.errorOf(c.render(4114, texImage3d(c, kRgba, kUnsignedByte, 8, 2, 1, 0, 32 + 8 * 32)), &glError), 0);
  EXPECT_EQ(glError, 0u);
  EXPECT_EQ(c.errorOf(c.render(4114, texImage3d(c, kRgba, kUnsignedByte, 8, 2, 1, 0, 8 * 32))), kBadLength);
  EXPECT_EQ(c.finish(), "");
}

// SeparableFilter2D of a format/type pair without a size records the GL error a server gives,
// as every other pixel command does.
TEST_P(LumoraHostile, SeparableFilterOfAPairWithoutASizeIsAGlError) {
  HostileClient &c = client;
  for (auto [format, type, expected] : {std::tuple{kRgba, 0x1234u, kGlInvalidEnum}, {kRgba, kBitmap, kGlInvalidEnum},
                                        {0x1234u, kUnsignedByte, kGlInvalidEnum}}) {
    RawRequest d = c.data();
    header2d(d, 0).i(0x8012).i(kRgba).i(2).i(2).i(format).i(type).pad(32);
    uint32_t glError = 0;
    EXPECT_EQ(c.errorOf(c.render(4109, d), &glError), 0);
    EXPECT_EQ(glError, expected) << std::hex << format << " " << type;
  }
}

TEST_P(LumoraHostile, ColourIndexImagesMesaMisreadsAreRefused) {
  HostileClient &c = client;
  // 255x100 colour indices as a bitmap (32 bytes a row), and 33x2 as bytes: sized in full, but
  // Mesa reads past a buffer of its own for colour indices over 32 pixels wide.
  RawRequest bitmap = c.data();
  header2d(bitmap, 0).i(255).i(100).i(kColorIndex).i(kBitmap).pad(32 * 100);
  EXPECT_EQ(c.errorOf(c.render(173, bitmap)), 0);
  RawRequest bytes = c.data();
  header2d(bytes, 0).i(33).i(2).i(kColorIndex).i(kUnsignedByte).pad(36 * 2);
  EXPECT_EQ(c.errorOf(c.render(173, bytes)), 0);
}

// DrawPixels of a 2x1 image of stencil indices as bits on a window with a stencil buffer, which
// the library never returns from: answered as a server answers it, GL_INVALID_ENUM, through
// GLXRender and GLXRenderLarge; the same pair is refused for a texture image too.
TEST_P(LumoraHostile, StencilIndicesAsBitsAreAnsweredWithAGlError) {
  HostileClient c;
  ASSERT_EQ(c.start(tarvo.displayNumber(), GetParam(), true), "");
  RawRequest draw = c.data();
  header2d(draw, 0).i(2).i(1).i(kStencilIndex).i(kBitmap).pad(4);
  uint32_t glError = 0;
  EXPECT_EQ(c.errorOf(c.render(173, draw), &glError), 0);
  EXPECT_EQ(glError, kGlInvalidEnum);
  EXPECT_EQ(c.errorOf(c.renderLarge(173, draw), &glError), 0);
  EXPECT_EQ(glError, kGlInvalidEnum);
  RawRequest texture = c.data();
  header2d(texture, 0).i(0x0DE1).i(0).i(kRgba).i(2).i(1).i(0).i(kStencilIndex).i(kBitmap).pad(4);
  EXPECT_EQ(c.errorOf(c.render(110, texture), &glError), 0);
  EXPECT_EQ(glError, kGlInvalidEnum);
  // The next command is served without error.
  EXPECT_EQ(c.errorOf(c.render(127, c.data().i(0x4000)), &glError), 0);
  EXPECT_EQ(glError, 0u);
}

// Colour indices with skipped rows, as bits and as bytes, drawn and as a texture (Mesa applies
// the skips once more to a buffer of its own): served from the tight image, without error, and
// the indices drawn are those of the row the skips select (index 1 white, 0 black).
TEST_P(LumoraHostile, ColourIndicesWithSkippedRowsAreServed) {
  HostileClient &c = client;
  uint32_t glError = 0;
  for (uint32_t map : {0x0C72u, 0x0C73u, 0x0C74u, 0x0C75u})  // I_TO_R, G, B, A: 0 -> 0, 1 -> 1
    EXPECT_EQ(c.errorOf(c.render(168, c.data().i(map).i(2).i(floatBits(0)).i(floatBits(1))), &glError), 0);
  EXPECT_EQ(glError, 0u);
  EXPECT_EQ(c.errorOf(c.render(130, c.data().i(0).i(0).i(floatBits(1)).i(0))), 0);  // clear to blue
  EXPECT_EQ(c.errorOf(c.render(127, c.data().i(0x4000))), 0);
  // Bits 10 in the second row (one skipped), bytes 0 1 there: at (0,0) and (2,0) from the bottom.
  EXPECT_EQ(c.errorOf(c.render(34, c.data().i(floatBits(-1)).i(floatBits(-1)))), 0);
  RawRequest bits = c.data();
  header2d(bits, Store{0, 1, 0, 4, 0, 0}).i(2).i(1).i(kColorIndex).i(kBitmap).b(0x40).pad(3).b(0x80).pad(3);
  EXPECT_EQ(c.errorOf(c.render(173, bits), &glError), 0);
  EXPECT_EQ(glError, 0u);
  float x = -1 + 2 * 2 / 32.0f;
  EXPECT_EQ(c.errorOf(c.render(34, c.data().i(floatBits(x)).i(floatBits(-1)))), 0);
  RawRequest bytes = c.data();
  header2d(bytes, Store{0, 1, 0, 4, 0, 0}).i(2).i(1).i(kColorIndex).i(kUnsignedByte).b(1).b(1).pad(2).b(0).b(1).pad(2);
  EXPECT_EQ(c.errorOf(c.render(173, bytes), &glError), 0);
  EXPECT_EQ(glError, 0u);
  RawRequest texture = c.data();
  header2d(texture, Store{0, 1, 0, 4, 0, 0}).i(0x0DE1).i(0).i(kRgba).i(2).i(1).i(0).i(kColorIndex).i(kUnsignedByte);
  texture.pad(8);
  EXPECT_EQ(c.errorOf(c.render(110, texture), &glError), 0);
  EXPECT_EQ(glError, 0u);
  ASSERT_EQ(c.finish(), "");
  std::vector<uint32_t> pixels = c.pixels();
  ASSERT_EQ(pixels.size(), 32u * 32);
  const uint32_t *bottom = &pixels[31 * 32];
  EXPECT_EQ(bottom[0], 0xFFFFFFu);
  EXPECT_EQ(bottom[1], 0x000000u);
  EXPECT_EQ(bottom[2], 0x000000u);
  EXPECT_EQ(bottom[3], 0xFFFFFFu);
  EXPECT_EQ(bottom[4], 0x0000FFu);
}

// Images under pixel-store settings drawn through tarvo: the window shows exactly the pixels the
// settings select (this Xvfb's own GL draws nothing to compare with: the expected pixels are laid
// out here by the pixel-store rules).
class LumoraPixelStore : public LumoraHostileRig {
 protected:
  void TearDown() override {
    client.raw.close();
    EXPECT_EQ(tarvo.stop(), 0);
  }

  // Clears to dark blue, sets the colour to yellow and the raster position to (x, y) of the
  // window from the bottom left, then the command.
  void draw(int x, int y, uint16_t opcode, const RawRequest &command, bool large) {
    HostileClient &c = client;
    EXPECT_EQ(c.errorOf(c.render(130, c.data().i(0).i(0).i(floatBits(0.25f)).i(0))), 0);
    EXPECT_EQ(c.errorOf(c.render(127, c.data().i(0x4000))), 0);
    EXPECT_EQ(c.errorOf(c.render(8, c.data().i(floatBits(1)).i(floatBits(1)).i(0))), 0);
    EXPECT_EQ(c.errorOf(c.render(34, c.data().i(floatBits(-1 + x / 16.0f)).i(floatBits(-1 + y / 16.0f)))), 0);
    uint32_t glError = 0;
    EXPECT_EQ(c.errorOf(large ? c.renderLarge(opcode, command) : c.render(opcode, command), &glError), 0);
    EXPECT_EQ(glError, 0u);
  }
  // The window's pixels against want(x, y) (y from the bottom): the first wrong ones.
  void expectPixels(const std::string &what, const std::function<uint32_t(int, int)> &want) {
    ASSERT_EQ(client.finish(), "") << what;
    std::vector<uint32_t> got = client.pixels();
    ASSERT_EQ(got.size(), 32u * 32) << what;
    std::string wrong;
    for (int y = 0; y < 32; y++)
      for (int x = 0; x < 32; x++) {
        uint32_t have = got[size_t((31 - y) * 32 + x)], expected = want(x, y);
        if (have != expected && wrong.size() < 300)
          wrong += std::to_string(x) + "," + std::to_string(y) + ": " + std::to_string(have) + " not " +
                   std::to_string(expected) + "; ";
      }
    EXPECT_EQ(wrong, "") << what;
  }
};

constexpr uint32_t kBackground = 0x000040, kYellow = 0xFFFF00;

// A client image of width x height pixels of `pixel` bytes (bits for 0) under the store, pixel
// (x, y) given by put(x, y, bytes) (bitmaps: one byte, 0 or 1); every other byte 0x5A.
std::vector<uint8_t> layOut(const Store &s, int width, int height, int pixel,
                            const std::function<void(int, int, uint8_t *)> &put) {
  int64_t rowPixels = s.rowLength ? s.rowLength : width;
  int64_t rowBytes = pixel ? rowPixels * pixel : (rowPixels + 7) / 8;
  rowBytes = (rowBytes + s.alignment - 1) / s.alignment * s.alignment;
  std::vector<uint8_t> out(size_t((s.skipRows + height) * rowBytes + s.skipPixels * (pixel ? pixel : 1) + 8), 0x5A);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      uint8_t *row = &out[size_t((s.skipRows + y) * rowBytes)];
      if (pixel) {
        put(x, y, row + (s.skipPixels + x) * pixel);
        continue;
      }
      uint8_t bit = 0;
      put(x, y, &bit);
      int64_t at = s.skipPixels + x;
      uint8_t mask = s.lsbFirst ? uint8_t(1u << (at % 8)) : uint8_t(0x80u >> (at % 8));
      row[at / 8] = bit ? row[at / 8] | mask : row[at / 8] & uint8_t(~mask);
    }
  return out;
}

// The colour of pixel (x, y) of the test images: distinct bytes per pixel.
uint32_t colourOf(int x, int y) { return uint32_t(0x10 + 0x30 * x) << 16 | uint32_t(0x20 + 0x40 * y) << 8 | 0x90; }

TEST_P(LumoraPixelStore, DrawPixelsBitmapAndTexturesDrawThePixelsTheStoreSelects) {
  HostileClient &c = client;
  constexpr int kX = 3, kY = 4;
  // RGBA and RGB bytes under row lengths, skips and alignments.
  const Store byteStores[] = {{8, 2, 1, 4, 0, 0}, {0, 0, 0, 8, 0, 0}, {5, 1, 2, 2, 0, 0}};
  for (int pixel : {4, 3})
    for (const Store &store : byteStores) {
      std::vector<uint8_t> image = layOut(store, 5, 3, pixel, [pixel](int x, int y, uint8_t *to) {
        uint32_t colour = colourOf(x, y);
        to[0] = uint8_t(colour >> 16), to[1] = uint8_t(colour >> 8), to[2] = uint8_t(colour);
        if (pixel == 4) to[3] = 0xFF;
      });
      RawRequest command = c.data();
      header2d(command, store).i(5).i(3).i(pixel == 4 ? kRgba : 0x1907).i(kUnsignedByte);
      for (uint8_t b : image) command.b(b);
      draw(kX, kY, 173, command, false);
      expectPixels("bytes of " + std::to_string(pixel) + ", row length " + std::to_string(store.rowLength),
                   [&](int x, int y) {
                     bool inside = x >= kX && x < kX + 5 && y >= kY && y < kY + 3;
                     return inside ? colourOf(x - kX, y - kY) : kBackground;
                   });
    }
  // RGBA shorts in the other byte order: 0xFF00 reads as 254 only when swapped back.
  for (uint8_t swap : {0, 1}) {
    Store store{0, 1, 1, 4, swap, 0};
    std::vector<uint8_t> image = layOut(store, 3, 2, 8, [&](int x, int y, uint8_t *to) {
      const uint16_t values[4] = {uint16_t(x == 1 ? 0xFF00 : 0xFFFF), uint16_t(y ? 0xFF00 : 0), 0xFFFF, 0xFFFF};
      for (int k = 0; k < 4; k++) {
        uint8_t high = uint8_t(values[k] >> 8), low = uint8_t(values[k]);
        to[2 * k] = swap ? high : low;
        to[2 * k + 1] = swap ? low : high;
      }
    });
    RawRequest command = c.data();
    header2d(command, store).i(3).i(2).i(kRgba).i(0x1403);
    for (uint8_t b : image) command.b(b);
    draw(kX, kY, 173, command, swap == 1);
    expectPixels(swap ? "shorts swapped" : "shorts in order", [&](int x, int y) {
      if (x < kX || x >= kX + 3 || y < kY || y >= kY + 2) return kBackground;
      return uint32_t(x - kX == 1 ? 0xFE : 0xFF) << 16 | uint32_t(y - kY ? 0xFE : 0) << 8 | 0xFF;
    });
  }
  // Bitmaps in both bit orders with skipped bits and rows, one through GLXRenderLarge.
  auto bitAt = [](int x, int y) { return ((x * 7 + y * 3) % 5) < 2; };
  for (uint8_t lsb : {0, 1}) {
    Store store{20, 1, 3, 2, 0, lsb};
    std::vector<uint8_t> image = layOut(store, 13, 4, 0, [&](int x, int y, uint8_t *to) { *to = bitAt(x, y); });
    RawRequest command = c.data();
    header2d(command, store).i(13).i(4).i(0).i(0).i(0).i(0);
    for (uint8_t b : image) command.b(b);
    draw(kX, kY, 5, command, lsb == 1);
    expectPixels(lsb ? "bitmap lsb first" : "bitmap msb first", [&](int x, int y) {
      bool inside = x >= kX && x < kX + 13 && y >= kY && y < kY + 4;
      return inside && bitAt(x - kX, y - kY) ? kYellow : kBackground;
    });
  }
  // A 4x4 texture out of a larger image, nearest and replacing, on a quad over the window: texel
  // (i, j) fills the 8x8 square (i, j) from the bottom left.
  Store store{6, 1, 2, 1, 0, 0};
  std::vector<uint8_t> image = layOut(store, 4, 4, 4, [](int x, int y, uint8_t *to) {
    uint32_t colour = colourOf(x, y);
    to[0] = uint8_t(colour >> 16), to[1] = uint8_t(colour >> 8), to[2] = uint8_t(colour), to[3] = 0xFF;
  });
  RawRequest texture = c.data();
  header2d(texture, store).i(0x0DE1).i(0).i(kRgba).i(4).i(4).i(0).i(kRgba).i(kUnsignedByte);
  for (uint8_t b : image) texture.b(b);
  draw(0, 0, 110, texture, false);
  RawRequest quad = c.data();
  auto add = [&](uint16_t op, const RawRequest &d) {
    quad.s(uint16_t(4 + d.d.size())).s(op);
    quad.d.insert(quad.d.end(), d.d.begin(), d.d.end());
  };
  add(107, c.data().i(0x0DE1).i(0x2801).i(0x2600));
  add(107, c.data().i(0x0DE1).i(0x2800).i(0x2600));
  add(113, c.data().i(0x2300).i(0x2200).i(0x1E01));
  add(139, c.data().i(0x0DE1));
  add(4, c.data().i(7));
  const float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (const auto &corner : corners) {
    add(54, c.data().i(floatBits(corner[0])).i(floatBits(corner[1])));
    add(66, c.data().i(floatBits(corner[0] * 2 - 1)).i(floatBits(corner[1] * 2 - 1)));
  }
  add(23, c.data());
  add(138, c.data().i(0x0DE1));
  RawRequest r(c.big);
  r.b(c.major).b(1).s(0).i(c.tag);
  r.d.insert(r.d.end(), quad.d.begin(), quad.d.end());
  uint32_t glError = 0;
  EXPECT_EQ(c.errorOf(r.align().done(), &glError), 0);
  EXPECT_EQ(glError, 0u);
  expectPixels("texture", [](int x, int y) { return colourOf(x / 8, y / 8); });
}

// ===== display lists draw what their commands draw =====
// A window of 32x32 pixels drawn by streams of every kind (primitives with every attribute, a
// texture, pixel images, evaluators, client arrays, nested lists), each at once and from a list
// made in both modes: CallList draws exactly the pixels of the commands executed at once,
// GL_COMPILE draws nothing, GL_COMPILE_AND_EXECUTE draws them while the list is made.
class LumoraLists : public LumoraHostileRig {
 protected:
  void TearDown() override {
    client.raw.close();
    lumoraExpectServedAndStop(tarvo, false);
  }
  struct Command {
    uint16_t opcode;
    RawRequest data;
  };
  using Commands = std::vector<Command>;
  // The commands as one GLXRender.
  RawBytes render(const Commands &commands) {
    RawRequest r(client.big);
    r.b(client.major).b(1).s(0).i(client.tag);
    for (const Command &k : commands) {
      r.s(uint16_t(4 + lumoraPad4(k.data.d.size()))).s(k.opcode);
      r.d.insert(r.d.end(), k.data.d.begin(), k.data.d.end());
      r.d.resize(r.d.size() + (lumoraPad4(k.data.d.size()) - k.data.d.size()), 0);
    }
    return r.align().done();
  }
  void send(const Commands &commands) { ASSERT_EQ(client.raw.send(render(commands)), ""); }
  void single(uint8_t minor, std::vector<uint32_t> words) {
    RawRequest r(client.big);
    r.b(client.major).b(minor).s(0).i(client.tag);
    for (uint32_t w : words) r.i(w);
    ASSERT_EQ(client.raw.send(r.done()), "");
  }
  // The window cleared to dark grey, then what draw sends, then the pixels (no GL error).
  std::vector<uint32_t> drawn(const std::function<void()> &draw) {
    send({{130, d().i(f(0.25f)).i(f(0.25f)).i(f(0.25f)).i(f(1))}, {127, d().i(0x4000)}});
    draw();
    EXPECT_EQ(client.finish(), "");
    RawBytes answer;
    EXPECT_EQ(client.raw.roundTrip(RawRequest(client.big).b(client.major).b(115).s(0).i(client.tag).done(), answer,
                                   20000),
              "");
    EXPECT_EQ(answer.size() >= 12 ? rawGet32(answer, 8, client.big) : 1u, 0u);
    return client.pixels();
  }
  RawRequest d() const { return client.data(); }
  static uint32_t f(float v) { return floatBits(v); }
};

TEST_P(LumoraLists, CallListDrawsWhatTheCommandsDrawAtOnce) {
  auto v2 = [&](float x, float y) { return Command{66, d().i(f(x)).i(f(y))}; };
  auto c3 = [&](float r, float g, float b) { return Command{8, d().i(f(r)).i(f(g)).i(f(b))}; };
  // A 2x2 RGBA texture of four colours (pixel header, target, level, components, width, height,
  // border, format, type).
  RawRequest texture = d();
  header2d(texture, 0).i(0x0DE1).i(0).i(kRgba).i(2).i(2).i(0).i(kRgba).i(kUnsignedByte);
  for (uint32_t texel : {0xFF0000FFu, 0x00FF00FFu, 0x0000FFFFu, 0xFFFF00FFu})
    texture.b(uint8_t(texel >> 24)).b(uint8_t(texel >> 16)).b(uint8_t(texel >> 8)).b(uint8_t(texel));
  RawRequest pixels = d();
  header2d(pixels, 0).i(4).i(4).i(kRgba).i(kUnsignedByte);
  for (int k = 0; k < 16; k++) pixels.b(uint8_t(40 * (k % 6))).b(200).b(uint8_t(15 * k)).b(255);
  RawRequest bitmap = d();
  header2d(bitmap, 0).i(8).i(8).i(f(0)).i(f(0)).i(f(9)).i(f(0));
  for (int k = 0; k < 8; k++) bitmap.b(uint8_t(0xA5 >> (k % 3)));
  // DrawArrays (193) of a triangle with carried vertex (2 floats) and colour (3 bytes) arrays.
  RawRequest arrays = d();
  arrays.i(3).i(2).i(4 /* GL_TRIANGLES */).i(kFloat).i(2).i(kVertexArray).i(kUnsignedByte).i(3).i(0x8076);
  for (auto [x, y] : {std::pair{-0.9f, 0.9f}, {-0.1f, 0.9f}, {-0.5f, 0.1f}})
    arrays.i(f(x)).i(f(y)).b(250).b(uint8_t(x * -200)).b(30).b(0);
  const std::vector<std::pair<const char *, Commands>> streams = {
      {"primitives with every attribute",
       {{104, d().i(0x1D01)}, c3(1, 0, 0), {4, d().i(4)}, v2(-1, -1), {11, d().b(0).b(255).b(0)}, v2(0, -1),
        {16, d().i(f(0)).i(f(0)).i(f(1)).i(f(1))}, v2(0, 0), {23, d()},
        {4, d().i(8)}, {30, d().i(0).i(0).i(f(1))}, {54, d().i(f(0)).i(f(1))}, {4129, d().i(f(0.2f)).i(0).i(0)},
        {4124, d().i(f(0.5f))}, v2(0.1f, 0.1f), {97, d().i(0x0408).i(0x1602).i(f(0.8f)).i(f(0.2f)).i(f(0.2f)).i(f(1))},
        v2(0.1f, 0.9f), c3(0, 1, 1), v2(0.9f, 0.1f), {203, d().i(0x84C0).i(f(1)).i(f(1))}, v2(0.9f, 0.9f), {23, d()},
        {4, d().i(1)}, {74, d().i(f(-1)).i(f(0.5f)).i(0).i(f(1))}, {11, d().b(255).b(255).b(0)}, v2(0, 0.5f),
        {23, d()}, {100, d().i(f(3))}, {4, d().i(0)}, v2(-0.5f, -0.5f), {23, d()}}},
      {"a texture",
       {{110, texture}, {107, d().i(0x0DE1).i(0x2801).i(0x2600)}, {107, d().i(0x0DE1).i(0x2800).i(0x2600)},
        {139, d().i(0x0DE1)}, c3(1, 1, 1), {4, d().i(7)}, {54, d().i(0).i(0)}, v2(-1, -1), {54, d().i(f(1)).i(0)},
        v2(1, -1), {54, d().i(f(1)).i(f(1))}, v2(1, 1), {54, d().i(0).i(f(1))}, v2(-1, 1), {23, d()},
        {138, d().i(0x0DE1)}}},
      {"pixel images",
       {{34, d().i(f(-0.5f)).i(f(-0.5f))}, {173, pixels}, c3(1, 0, 1), {34, d().i(f(0.2f)).i(f(0.2f))}, {5, bitmap}}},
      {"evaluators",
       {{144, d().i(0x0D97).i(f(0)).i(f(1)).i(2).i(f(-1)).i(f(-1)).i(0).i(f(1)).i(f(1)).i(0)}, {139, d().i(0x0D97)},
        {148, d().i(8).i(f(0)).i(f(1))}, c3(0, 1, 0), {155, d().i(0x1B01).i(0).i(8)}, c3(1, 1, 0), {4, d().i(3)},
        {152, d().i(f(0))}, {152, d().i(f(0.5f))}, {156, d().i(8)}, {23, d()}, {138, d().i(0x0D97)}}},
      {"client arrays", {{193, arrays}}},
      {"nested lists", {{3, d().i(0)}, {1, d().i(200)}, {2, d().i(2).i(0x1401).b(200).b(201).b(0).b(0)}}},
  };
  // Lists 200 and 201, called from the streams: a quad, and a line strip calling 200 again.
  single(101, {200, 0x1300});
  send({c3(0, 0, 1), {4, d().i(7)}, v2(0.3f, -0.9f), v2(0.9f, -0.9f), v2(0.9f, -0.3f), v2(0.3f, -0.3f), {23, d()}});
  single(102, {});
  single(101, {201, 0x1300});
  send({c3(1, 0.5f, 0), {4, d().i(3)}, v2(-0.9f, -0.9f), v2(-0.3f, -0.2f), {23, d()}, {1, d().i(200)}});
  single(102, {});
  uint32_t list = 1;
  for (const auto &[name, commands] : streams) {
    SCOPED_TRACE(name);
    std::vector<uint32_t> atOnce = drawn([&] { send(commands); });
    ASSERT_EQ(atOnce.size(), 32u * 32u);
    EXPECT_NE(std::count(atOnce.begin(), atOnce.end(), 0x404040u), 32 * 32) << "nothing drawn";
    for (uint32_t mode : {0x1300u, 0x1301u}) {
      ++list;
      std::vector<uint32_t> compiled = drawn([&] {
        single(101, {list, mode});
        send(commands);
        single(102, {});
      });
      if (mode == 0x1301) EXPECT_EQ(compiled, atOnce) << "compiled and executed";
      else EXPECT_EQ(std::count(compiled.begin(), compiled.end(), 0x404040u), 32 * 32) << "drawn while compiled";
      EXPECT_EQ(drawn([&] { send({{1, d().i(list)}}); }), atOnce) << std::hex << mode;
    }
  }
}

// A draw from arrays in buffer objects compiled into a list reads them when it is compiled, as
// GL says: the buffers changed afterwards, the list still draws what they held (the same draw
// sent at once draws what they hold now). DrawArrays and DrawElements, both list modes.
TEST_P(LumoraLists, DrawsFromBuffersReadTheBuffersWhenCompiled) {
  auto u64 = [&](RawRequest &r, uint64_t v) -> RawRequest & {
    return client.big ? r.i(uint32_t(v >> 32)).i(uint32_t(v)) : r.i(uint32_t(v)).i(uint32_t(v >> 32));
  };
  // Positions (x, y) and colours (RGBA bytes) of a triangle, 12 bytes a vertex: buffer bytes,
  // which GLX carries unswapped (this machine's order, whatever the client's).
  auto triangle = [&](float dx) {
    RawRequest d(false);
    for (auto [x, y] : {std::pair{-0.8f, -0.8f}, {0.2f, -0.8f}, {-0.3f, 0.6f}})
      d.i(f(x + dx)).i(f(y)).b(uint8_t(200 + dx * 50)).b(90).b(30).b(255);
    return d;
  };
  auto withTriangle = [&](RawRequest r, float dx) {
    RawRequest t = triangle(dx);
    r.d.insert(r.d.end(), t.d.begin(), t.d.end());
    return r;
  };
  RawRequest data = d();
  u64(data, 36).i(0x8892).i(0x88E4).b(0).b(0).b(0).b(0);
  data = withTriangle(data, 0);
  RawRequest elements = d();
  u64(elements, 8).i(0x8893).i(0x88E4).b(0).b(0).b(0).b(0);
  for (uint8_t byte : {0, 0, 2, 0, 1, 0, 0, 0}) elements.b(byte);  // GL_UNSIGNED_SHORT indices 0, 2, 1
  RawRequest vertices = d(), colours = d();
  vertices.i(0).i(0).i(kVertexArray).i(0).i(2).i(kFloat).i(12).b(0).b(0).s(0);
  colours.i(0).i(0).i(0x8076).i(0).i(4).i(kUnsignedByte).i(12).b(0).b(0).s(0);
  // The colour array starts 8 bytes into the buffer.
  (client.big ? colours.d[4 + 3] : colours.d[0]) = 8;
  send({{290, d().i(0x8892).i(1)}, {298, data}, {291, vertices}, {291, colours}, {292, d().i(kVertexArray).i(0)},
        {292, d().i(0x8076).i(0)}, {290, d().i(0x8893).i(2)}, {298, elements}});
  const Commands draws[] = {{{300, d().i(4).i(0).i(3).i(0)}},
                            {{295, d().i(0).i(0).i(4).i(3).i(0x1403)}}};
  uint32_t list = 300;
  for (const Commands &draw : draws) {
    for (uint32_t mode : {0x1300u, 0x1301u}) {
      SCOPED_TRACE(draw[0].opcode);
      RawRequest back = d();
      u64(u64(back, 0), 36).i(0x8892);
      send({{299, withTriangle(back, 0)}});
      std::vector<uint32_t> atOnce = drawn([&] { send(draw); });
      EXPECT_NE(std::count(atOnce.begin(), atOnce.end(), 0x404040u), 32 * 32) << "nothing drawn";
      ++list;
      drawn([&] {
        single(101, {list, mode});
        send(draw);
        single(102, {});
      });
      // The buffer moved to the right: the list draws the triangle of its compile.
      RawRequest moved = d();
      u64(u64(moved, 0), 36).i(0x8892);
      send({{299, withTriangle(moved, 0.5f)}});
      EXPECT_EQ(drawn([&] { send({{1, d().i(list)}}); }), atOnce) << std::hex << mode;
      EXPECT_NE(drawn([&] { send(draw); }), atOnce) << "the buffer did not change";
    }
  }
}

// A TexImage3D that takes its image from the pixel-unpack buffer, compiled into a list, takes
// the image the buffer holds then: the buffer changed and unbound afterwards, the list's level
// is the old image (GetTexImage).
TEST_P(LumoraLists, ImagesFromTheUnpackBufferAreReadWhenCompiled) {
  auto u64 = [&](RawRequest &r, uint64_t v) -> RawRequest & {
    return client.big ? r.i(uint32_t(v >> 32)).i(uint32_t(v)) : r.i(uint32_t(v)).i(uint32_t(v >> 32));
  };
  const std::vector<uint8_t> before = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, after(16, 0xEE);
  RawRequest data = d();
  u64(data, 16).i(0x88EC).i(0x88E4).b(0).b(0).b(0).b(0);
  data.d.insert(data.d.end(), before.begin(), before.end());
  RawRequest image = d();
  image.b(0).b(0).s(0).i(0).i(0).i(0).i(0).i(0).i(0).i(0).i(4);
  image.i(0x806F).i(0).i(0x8058).i(2).i(2).i(1).i(0).i(0).i(kRgba).i(kUnsignedByte).i(1);
  send({{290, d().i(0x88EC).i(5)}, {298, data}, {4117, d().i(0x806F).i(7)}});
  single(101, {400, 0x1300});
  send({{4114, image}});
  single(102, {});
  RawRequest later = d();
  u64(u64(later, 0), 16).i(0x88EC);
  later.d.insert(later.d.end(), after.begin(), after.end());
  send({{299, later}, {290, d().i(0x88EC).i(0)}, {1, d().i(400)}});
  EXPECT_EQ(client.finish(), "");
  RawBytes answer;
  ASSERT_EQ(client.raw.roundTrip(RawRequest(client.big)
                                     .b(client.major).b(135).s(0).i(client.tag).i(0x806F).i(0).i(kRgba)
                                     .i(kUnsignedByte).b(0).b(0).s(0)
                                     .done(),
                                 answer, 20000),
            "");
  ASSERT_GE(answer.size(), 48u);
  EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 32, answer.begin() + 48), before);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, LumoraLists, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char> &info) {
                           return std::string(info.param == 'l' ? "LsbFirst" : "MsbFirst");
                         });

INSTANTIATE_TEST_SUITE_P(ByteOrders, LumoraPixelStore, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char> &info) {
                           return std::string(info.param == 'B' ? "MsbFirst" : "LsbFirst");
                         });

INSTANTIATE_TEST_SUITE_P(ByteOrders, LumoraHostile, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char> &info) {
                           return std::string(info.param == 'B' ? "MsbFirst" : "LsbFirst");
                         });

}  // namespace
