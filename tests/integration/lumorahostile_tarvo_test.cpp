// Hostile GLX commands against GL executed inside tarvo ("lumora on", the system's GL library),
// from raw clients of both byte orders: pixel images shorter than the pixel-store rules make
// them, client arrays never set or refused, vertex counts no command carries, attribute indices
// beyond the library's, read-backs the library cannot serve. Each is answered (BadLength, a GL
// error, or nothing drawn) and tarvo stays up: the client's next request is answered, another
// client is served, and tarvo ends with status 0 (an AddressSanitizer report would change it).
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kBadLength = 16;
constexpr uint32_t kGlInvalidValue = 0x0501;
constexpr uint32_t kRgba = 0x1908, kUnsignedByte = 0x1401, kFloat = 0x1406, kColorIndex = 0x1900,
                   kStencilIndex = 0x1901, kBitmap = 0x1A00, kVertexArray = 0x8074;

TarvoOptions lumoraOptions() {
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "lumora", "on"};
  // Mesa's driver keeps a little memory per closed Display: no leak detection in tarvo.
  const char *asan = getenv("ASAN_OPTIONS");
  options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
  return options;
}

size_t pad4(size_t n) { return (n + 3) & ~size_t(3); }

// A raw client with a GLX context current on a window of its own: requests, commands and answers
// in its byte order.
class HostileClient {
 public:
  std::string start(int display, char order) {
    if (std::string failed = raw.connect(display, order); !failed.empty()) return failed;
    big = order == 'B';
    major = raw.queryExtension("GLX");
    if (major == 0) return "no GLX";
    uint32_t visual = singleBufferedVisual();
    if (visual == 0) return "no visual";
    uint32_t colormap = raw.idBase() | 1, window = raw.idBase() | 2, context = raw.idBase() | 3;
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
    r.b(major).b(1).s(0).i(tag).s(uint16_t(4 + pad4(d.d.size()))).s(opcode);
    r.d.insert(r.d.end(), d.d.begin(), d.d.end());
    return r.align().done();
  }
  RawBytes renderLarge(uint32_t opcode, const RawRequest &d) const {
    uint32_t length = uint32_t(8 + pad4(d.d.size()));
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
      if (std::string failed = raw.read(answer, 20000); !failed.empty()) {
        ADD_FAILURE() << "GetError unanswered: " << failed;
        return 0xFF;
      }
      if (answer[0] == 0 && rawGet16(answer, 2, big) == sequence) code = answer[1];
      if (answer[0] == 1 && rawGet16(answer, 2, big) == raw.sequence()) break;
    }
    if (glError) *glError = rawGet32(answer, 8, big);
    return code;
  }

  RawClient raw;
  bool big = false;
  uint8_t major = 0;
  uint32_t tag = 0;

 private:
  // The first single-buffered RGBA TrueColor visual of 8 bits per colour (GLXGetVisualConfigs).
  uint32_t singleBufferedVisual() {
    RawBytes answer;
    if (!raw.roundTrip(RawRequest(big).b(major).b(14).s(0).i(0).done(), answer).empty() || answer[0] != 1) return 0;
    uint32_t visuals = rawGet32(answer, 8, big), per = rawGet32(answer, 12, big);
    for (uint32_t k = 0; k < visuals && per >= 18; k++) {
      auto prop = [&](uint32_t n) { return rawGet32(answer, 32 + 4 * (size_t(k) * per + n), big); };
      if (32 + 4 * (size_t(k) + 1) * per > answer.size()) break;
      if (prop(1) == 4 && prop(2) && prop(3) == 8 && prop(4) == 8 && prop(5) == 8 && !prop(11) && !prop(12))
        return prop(0);
    }
    return 0;
  }
};

// The 2D pixel header: swap, lsb, row length, skip rows, skip pixels, alignment.
RawRequest &header2d(RawRequest &d, int32_t rowLength) {
  return d.b(0).b(0).s(0).i(uint32_t(rowLength)).i(0).i(0).i(1);
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

class LumoraHostile : public ::testing::TestWithParam<char> {
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
  void TearDown() override {
    client.raw.close();
    // Another client is still served, and tarvo ends cleanly.
    xcb_connection_t *other = xcb_connect(tarvo.displayName().c_str(), nullptr);
    EXPECT_FALSE(xcb_connection_has_error(other));
    xcb_get_input_focus_reply_t *focus = xcb_get_input_focus_reply(other, xcb_get_input_focus(other), nullptr);
    EXPECT_NE(focus, nullptr);
    free(focus);
    xcb_disconnect(other);
    EXPECT_EQ(tarvo.stop(), 0);
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  HostileClient client;
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

INSTANTIATE_TEST_SUITE_P(ByteOrders, LumoraHostile, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char> &info) {
                           return std::string(info.param == 'B' ? "MsbFirst" : "LsbFirst");
                         });

}  // namespace
