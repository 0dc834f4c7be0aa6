// Drawing with the system's GL library inside the proxy's GL path (no proxy running): a clear
// and a quad on a single-buffered window, first by calls straight into the function table, then
// as render command streams through the render loop and as large commands, each checked pixel
// by pixel in the GL front buffer and on the server; pixel rectangles with a pixel-store header,
// a textured quad, a bitmap, vertex arrays carried in the command (interleaved, and back to
// back) and a program's uniform colour, each both ways and both ways from the other byte order.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "glxcommands.h"
#include "glxmesa_fixture.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/glxinstance.h"
#include "xext/glxswap.h"

// Mesa's driver keeps a little memory per closed Display after its last use, with no frame
// name to suppress: leak detection is off for this executable only.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

constexpr int kSize = 32;

// A quad from -0.5 to 0.5 in both directions covers the middle half of the window exactly
// (its edges fall between pixel centres).
std::vector<uint32_t> quadPicture(uint32_t outside, uint32_t inside) {
  std::vector<uint32_t> out(size_t(kSize) * kSize, outside);
  for (int y = kSize / 4; y < 3 * kSize / 4; y++)
    for (int x = kSize / 4; x < 3 * kSize / 4; x++) out[size_t(y) * kSize + size_t(x)] = inside;
  return out;
}

std::vector<GlxCommand> clearAndQuad(float clear[3], float quad[3]) {
  return {glxcommandClearColor(clear[0], clear[1], clear[2], 1), glxcommandClear(GL_COLOR_BUFFER_BIT),
          glxcommandColor3f(quad[0], quad[1], quad[2]),          glxcommandBegin(GL_QUADS),
          glxcommandVertex2f(-0.5f, -0.5f),                       glxcommandVertex2f(0.5f, -0.5f),
          glxcommandVertex2f(0.5f, 0.5f),                         glxcommandVertex2f(-0.5f, 0.5f),
          glxcommandEnd()};
}

class GlxDirectDrawTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(glxmesaStart(harness_, kSize, kSize), ""); }
  void TearDown() override { glxmesaStop(harness_); }

  // The front buffer and the server both show the picture.
  void expectPicture(const std::vector<uint32_t> &want) {
    EXPECT_EQ(glxmesaComparePixels(glxmesaReadPixels(harness_), want, kSize), "") << "front buffer";
    EXPECT_EQ(glxmesaComparePixels(glxmesaServerPixels(harness_), want, kSize), "") << "server";
  }

  GlxMesaHarness harness_;
};

// The harness itself: a clear and a quad drawn by calls into the table reach the front buffer
// and the server exactly.
TEST_F(GlxDirectDrawTest, TableCallsDrawExactPixels) {
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  const GlFunctionTable &gl = harness_.instance->functions;
  gl.glClearColor(1, 0, 0, 1);
  gl.glClear(GL_COLOR_BUFFER_BIT);
  EXPECT_EQ(glxmesaComparePixels(glxmesaReadPixels(harness_), quadPicture(0xFF0000, 0xFF0000), kSize), "");
  gl.glColor3f(0, 1, 0);
  gl.glBegin(GL_QUADS);
  gl.glVertex2f(-0.5f, -0.5f);
  gl.glVertex2f(0.5f, -0.5f);
  gl.glVertex2f(0.5f, 0.5f);
  gl.glVertex2f(-0.5f, 0.5f);
  gl.glEnd();
  expectPicture(quadPicture(0xFF0000, 0x00FF00));
}

// The same through the render loop: one stream with the clear and the quad, then a second
// stream that only clears (the first picture must not survive it).
TEST_F(GlxDirectDrawTest, RenderStreamDrawsExactPixels) {
  float blue[3] = {0, 0, 1}, yellow[3] = {1, 1, 0};
  glxmesaRender(harness_, clearAndQuad(blue, yellow));
  expectPicture(quadPicture(0x0000FF, 0xFFFF00));
  EXPECT_EQ(harness_.instance->insideBegin, 0u);
  glxmesaRender(harness_, {glxcommandClearColor(0, 1, 0, 1), glxcommandClear(GL_COLOR_BUFFER_BIT)});
  expectPicture(quadPicture(0x00FF00, 0x00FF00));
}

// A slot that cannot be made current runs nothing, though the library still has the last
// slot's context current (the commands would land there).
TEST_F(GlxDirectDrawTest, UnusableSlotDrawsNothing) {
  float red[3] = {1, 0, 0}, white[3] = {1, 1, 1};
  glxmesaRender(harness_, clearAndQuad(red, white));
  GlxBytes blue = glxcommandStream({glxcommandClearColor(0, 0, 1, 1), glxcommandClear(GL_COLOR_BUFFER_BIT)}, false);
  GlxBytes large = glxcommandEncodeLarge(glxcommandClear(GL_COLOR_BUFFER_BIT), false);
  for (uint32_t slot : {0u, harness_.slot + 1, 255u}) {
    glxdirectRender(harness_.instance, slot, blue.data(), blue.data() + blue.size());
    glxdirectRenderLarge(harness_.instance, slot, large.data(), large.size());
  }
  expectPicture(quadPicture(0xFF0000, 0xFFFFFF));
}

// Each command as a large command.
TEST_F(GlxDirectDrawTest, LargeCommandsDrawExactPixels) {
  float magenta[3] = {1, 0, 1}, cyan[3] = {0, 1, 1};
  glxmesaRenderLarge(harness_, clearAndQuad(magenta, cyan));
  expectPicture(quadPicture(0xFF00FF, 0x00FFFF));
}

// Each picture drawn as one render stream, as one large command per command, or as either
// built most significant byte first and brought into this machine's order by the proxy's
// swappers (what a client of the other byte order sends).
enum class DrawPath { Stream, Large, SwappedStream, SwappedLarge };

class GlxDirectDrawBothWays : public GlxDirectDrawTest, public ::testing::WithParamInterface<DrawPath> {
 protected:
  void draw(const std::vector<GlxCommand> &commands) {
    bool swapped = GetParam() == DrawPath::SwappedStream || GetParam() == DrawPath::SwappedLarge;
    if (GetParam() == DrawPath::Large || GetParam() == DrawPath::SwappedLarge) {
      for (const GlxCommand &command : commands) {
        GlxBytes large = glxcommandEncodeLarge(command, swapped);
        if (swapped) glxindirectSwapRender(large.data(), large.size(), 1);
        glxdirectRenderLarge(harness_.instance, harness_.slot, large.data(), large.size());
      }
      return;
    }
    GlxBytes stream = glxcommandStream(commands, swapped);
    if (swapped) glxindirectSwapRender16(stream.data(), stream.data() + stream.size(), 1);
    glxdirectRender(harness_.instance, harness_.slot, stream.data(), stream.data() + stream.size());
  }
  // Clears to the colour first.
  std::vector<GlxCommand> cleared(float red, float green, float blue, std::vector<GlxCommand> then) {
    std::vector<GlxCommand> out{glxcommandClearColor(red, green, blue, 1), glxcommandClear(GL_COLOR_BUFFER_BIT)};
    out.insert(out.end(), then.begin(), then.end());
    return out;
  }
  void set(std::vector<uint32_t> &picture, int x, int y, uint32_t colour) {
    picture[size_t(y) * kSize + size_t(x)] = colour;
  }
};

// A 4 x 4 RGBA image cut out of a wider one by row length, skipped rows and pixels, alignment 1,
// drawn at the raster position (window 8,8; GL rows count upwards).
TEST_P(GlxDirectDrawBothWays, DrawPixelsHonoursThePixelHeader) {
  GlxPixelHeader header;
  header.rowLength = 7;
  header.skipRows = 2;
  header.skipPixels = 3;
  header.alignment = 1;
  // Whole rows of 7 up to the image's last one, and the skipped pixels' bytes after them (the
  // executor bounds pixel data by both); what is skipped stays 0x111111.
  GlxBytes source(size_t(2 + 4) * 7 * 4 + 3 * 4, 0x11);
  std::vector<uint32_t> want = quadPicture(0x000000, 0x000000);
  for (int r = 0; r < 4; r++)
    for (int c = 0; c < 4; c++) {
      uint8_t *p = &source[(size_t(2 + r) * 7 + size_t(3 + c)) * 4];
      p[0] = uint8_t(0x40 * r + 0x10), p[1] = uint8_t(0x40 * c + 0x20), p[2] = uint8_t(0x80 + 0x10 * r + c), p[3] = 255;
      set(want, 8 + c, kSize - 1 - (8 + r), uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
    }
  draw(cleared(0, 0, 0,
               {glxcommandRasterPos2f(-0.5f, -0.5f),
                glxcommandDrawPixels(header, 4, 4, GL_RGBA, GL_UNSIGNED_BYTE, source)}));
  expectPicture(want);
}

// A 2 x 2 texture (nearest filtering) on the quad: each quarter of the quad one texel.
TEST_P(GlxDirectDrawBothWays, TexturedQuad) {
  GlxPixelHeader header;
  header.alignment = 1;
  // Texel rows from the bottom: red, green; blue, white.
  GlxBytes texels{255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
  draw(cleared(0, 0, 0,
               {glxcommandTexImage2D(header, GL_TEXTURE_2D, 0, 4, 2, 2, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels),
                glxcommandTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST),
                glxcommandTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST),
                glxcommandEnable(GL_TEXTURE_2D), glxcommandColor3f(1, 1, 1), glxcommandBegin(GL_QUADS),
                glxcommandTexCoord2f(0, 0), glxcommandVertex2f(-0.5f, -0.5f), glxcommandTexCoord2f(1, 0),
                glxcommandVertex2f(0.5f, -0.5f), glxcommandTexCoord2f(1, 1), glxcommandVertex2f(0.5f, 0.5f),
                glxcommandTexCoord2f(0, 1), glxcommandVertex2f(-0.5f, 0.5f), glxcommandEnd(),
                glxcommandDisable(GL_TEXTURE_2D)}));
  std::vector<uint32_t> want = quadPicture(0x000000, 0x000000);
  const uint32_t quarter[2][2] = {{0xFF0000, 0x00FF00}, {0x0000FF, 0xFFFFFF}};  // [texel row][column]
  for (int y = 8; y < 24; y++)
    for (int x = 8; x < 24; x++) set(want, x, y, quarter[y < 16 ? 1 : 0][x < 16 ? 0 : 1]);
  expectPicture(want);
}

// An 8 x 3 bitmap in the raster colour (latched by the raster position), rows from the bottom.
TEST_P(GlxDirectDrawBothWays, BitmapInTheRasterColour) {
  GlxPixelHeader header;
  header.alignment = 1;
  GlxBytes rows{0xF0, 0x0F, 0xAA};  // most significant bit leftmost
  draw(cleared(0, 0, 1,
               {glxcommandColor3f(1, 1, 0), glxcommandRasterPos2f(-0.5f, -0.5f),
                glxcommandBitmap(header, 8, 3, 0, 0, 8, 0, rows)}));
  std::vector<uint32_t> want = quadPicture(0x0000FF, 0x0000FF);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 8; c++)
      if (rows[size_t(r)] & (0x80 >> c)) set(want, 8 + c, kSize - 1 - (8 + r), 0xFFFF00);
  expectPicture(want);
}

// DrawArrays with vertex (float) and colour (unsigned byte, three values: padded) arrays in the
// command: two quads side by side, each in one colour.
TEST_P(GlxDirectDrawBothWays, DrawArraysWithCarriedArrays) {
  GlxArray vertices{GL_FLOAT, 2, GL_VERTEX_ARRAY,
                    {-0.5, -0.5, 0, -0.5, 0, 0.5, -0.5, 0.5, 0, -0.5, 0.5, -0.5, 0.5, 0.5, 0, 0.5}};
  GlxArray colours{GL_UNSIGNED_BYTE, 3, GL_COLOR_ARRAY, {}};
  for (int v = 0; v < 8; v++) colours.data.insert(colours.data.end(), {v < 4 ? 255.0 : 0.0, 128, v < 4 ? 0.0 : 255.0});
  draw(cleared(0, 0, 0, {glxcommandDrawArrays(GL_QUADS, 8, {vertices, colours})}));
  std::vector<uint32_t> want = quadPicture(0x000000, 0x000000);
  for (int y = 8; y < 24; y++)
    for (int x = 8; x < 24; x++) set(want, x, y, x < 16 ? 0xFF8000 : 0x0080FF);
  expectPicture(want);
}

// The same two quads from arrays carried back to back (vertex floats, then four-byte colours),
// switched on before and off after;
// the first index the command names is not where its own arrays start, so 0 is drawn from.
TEST_P(GlxDirectDrawBothWays, CarriedArraysDrawFromTheirStart) {
  GlxArray vertices{GL_FLOAT, 2, GL_VERTEX_ARRAY,
                    {-0.5, -0.5, 0, -0.5, 0, 0.5, -0.5, 0.5, 0, -0.5, 0.5, -0.5, 0.5, 0.5, 0, 0.5}};
  GlxArray colours{GL_UNSIGNED_BYTE, 4, GL_COLOR_ARRAY, {}};
  for (int v = 0; v < 8; v++) colours.data.insert(colours.data.end(), {v < 4 ? 0.0 : 255.0, 255, 64, 255});
  draw(cleared(0, 0, 0,
               {glxcommandEnableArray(GL_VERTEX_ARRAY, 0), glxcommandEnableArray(GL_COLOR_ARRAY, 0),
                glxcommandDrawArraysCarried(GL_QUADS, 5, 8, {vertices, colours}),
                glxcommandDisableArray(GL_VERTEX_ARRAY, 0), glxcommandDisableArray(GL_COLOR_ARRAY, 0)}));
  std::vector<uint32_t> want = quadPicture(0x000000, 0x000000);
  for (int y = 8; y < 24; y++)
    for (int x = 8; x < 24; x++) set(want, x, y, x < 16 ? 0x00FF40 : 0xFFFF40);
  expectPicture(want);
}

// A quad in the uniform colour of a program whose source (two texts), compilation, attachment
// and link come as commands; the shader and program objects are made through the table, the
// uniform's location asked of the linked program.
TEST_P(GlxDirectDrawBothWays, QuadInAProgramsUniformColour) {
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  const GlFunctionTable &gl = harness_.instance->functions;
  GLuint shader = gl.glCreateShader(GL_FRAGMENT_SHADER), program = gl.glCreateProgram();
  ASSERT_NE(shader, 0u);
  ASSERT_NE(program, 0u);
  draw({glxcommandShaderSource(shader, {"#version 110\nuniform vec4 colour;\n", "void main() { gl_FragColor = colour; }\n"}),
        glxcommandCompileShader(shader), glxcommandAttachShader(program, shader), glxcommandLinkProgram(program)});
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  GLint linked = 0;
  gl.glGetProgramiv(program, GL_LINK_STATUS, &linked);
  ASSERT_EQ(linked, GL_TRUE);
  GLint location = gl.glGetUniformLocation(program, "colour");
  ASSERT_GE(location, 0);
  draw(cleared(0, 0, 0,
               {glxcommandUseProgram(program), glxcommandUniform4f(location, 1, 0.5f + 1 / 512.0f, 0, 1),
                glxcommandBegin(GL_QUADS), glxcommandVertex2f(-0.5f, -0.5f), glxcommandVertex2f(0.5f, -0.5f),
                glxcommandVertex2f(0.5f, 0.5f), glxcommandVertex2f(-0.5f, 0.5f), glxcommandEnd(),
                glxcommandUseProgram(0)}));
  expectPicture(quadPicture(0x000000, 0xFF8000));
}

std::string pathName(const ::testing::TestParamInfo<DrawPath> &info) {
  static const char *const names[] = {"RenderStream", "LargeCommands", "SwappedRenderStream",
                                      "SwappedLargeCommands"};
  return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Paths, GlxDirectDrawBothWays,
                         ::testing::Values(DrawPath::Stream, DrawPath::Large, DrawPath::SwappedStream,
                                           DrawPath::SwappedLarge),
                         pathName);

}  // namespace
