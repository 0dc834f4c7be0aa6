// Drawing with the system's GL library inside the proxy's GL path (no proxy running): a clear
// and a quad on a single-buffered window, first by calls straight into the function table, then
// as render command streams through the render loop and as large commands, each checked pixel
// by pixel in the GL front buffer and on the server; pixel rectangles with a pixel-store header,
// a textured quad, a bitmap, vertex arrays carried in the command (interleaved, and back to
// back) and a program's uniform colour, each both ways and both ways from the other byte order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include <GL/gl.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "glxcommands.h"
#include "glxmesa_fixture.h"
#include "support/orders.h"
#include "xext/glxdirect.h"
#include "xext/glxdirectlists.h"
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

// A fragment shader whose one expression is a sum of 60 000 terms (240 KB of source, which
// the library's compiler recurses through term by term, far past an ordinary stack) compiles,
// links and draws through the render commands; the request that carries it lives on.
TEST_F(GlxDirectDrawTest, AShaderDeeperThanAnOrdinaryStackCompilesAndDraws) {
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  const GlFunctionTable &gl = harness_.instance->functions;
  GLuint shader = gl.glCreateShader(GL_FRAGMENT_SHADER), program = gl.glCreateProgram();
  ASSERT_NE(shader, 0u);
  ASSERT_NE(program, 0u);
  constexpr int kTerms = 60000;
  std::string sum = "1.0";
  for (int n = 1; n < kTerms; n++) sum += "+1.0";
  // Unseen by the library's shader cache, which would skip the compile.
  std::string source = "#version 110\n" + glxcommandUniqueComment() + "void main() { float s = " + sum + "; gl_FragColor = vec4(s / " +
                       std::to_string(kTerms) + ".0, 0.0, 1.0, 1.0); }\n";
  glxmesaRenderLarge(harness_, {glxcommandShaderSource(shader, {source}), glxcommandCompileShader(shader),
                                glxcommandAttachShader(program, shader), glxcommandLinkProgram(program)});
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  GLint compiled = 0, linked = 0;
  gl.glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
  gl.glGetProgramiv(program, GL_LINK_STATUS, &linked);
  ASSERT_EQ(compiled, GL_TRUE);
  ASSERT_EQ(linked, GL_TRUE);
  float black[3] = {0, 0, 0}, white[3] = {1, 1, 1};
  std::vector<GlxCommand> commands = clearAndQuad(black, white);
  commands.insert(commands.begin() + 2, glxcommandUseProgram(program));
  commands.push_back(glxcommandUseProgram(0));
  glxmesaRender(harness_, commands);
  expectPicture(quadPicture(0x000000, 0xFF00FF));
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

// ===== draws and meshes in pieces =====
// A draw or mesh larger than the first finish interval reaches the library in pieces: each
// looks exactly like the library's own whole draw (made here by calls into the table), and
// leaves the current values as that does.
class GlxDirectPiecesTest : public ::testing::Test {
 protected:
  static constexpr int kSide = 96;
  using Calls = std::function<void(const GlFunctionTable &)>;
  // The requests here run with no client, so they cannot yield their turn: a request's work
  // ends at the bound of one that cannot (kGlxDirectRequestNs), which a large mesh of the
  // software library passes on a busy machine. What these cases compare is the picture drawn in
  // pieces, not that bound: their clock runs a fortieth as fast as the real one (as on a faster
  // machine, the pieces still grow from the first interval).
  static int64_t slowClock() { return ordersMonotonicNs() / 40; }
  void SetUp() override {
    realClock_ = glxdirectClock;
    glxdirectClock = slowClock;
    ASSERT_EQ(glxmesaStart(harness_, kSide, kSide), "");
    ASSERT_TRUE(glxmesaMakeCurrent(harness_));
    gl_ = &harness_.instance->functions;
  }
  void TearDown() override {
    glxmesaStop(harness_);
    glxdirectClock = realClock_;
  }
  GlxDirectClock realClock_ = nullptr;
  // The window after a clear, the state set and the drawing, done by the calls or (with
  // commands) by the proxy from the first interval on.
  std::vector<uint32_t> picture(const Calls &state, const Calls &calls, const std::vector<GlxCommand> &commands = {}) {
    EXPECT_TRUE(glxmesaMakeCurrent(harness_));
    gl_->glClearColor(0.1f, 0.2f, 0.3f, 1);
    gl_->glClear(GL_COLOR_BUFFER_BIT);
    state(*gl_);
    if (calls) calls(*gl_);
    harness_.instance->workInterval = kGlxDirectFirstInterval;
    if (!commands.empty()) glxmesaRender(harness_, commands);
    return glxmesaReadPixels(harness_);
  }
  GlxMesaHarness harness_;
  const GlFunctionTable *gl_ = nullptr;
};

// A spiral of 121 vertices, each of its own colour; every mode of primitive in states that
// pieces could break (line stipple, wide and smooth lines, polygons drawn as stippled lines,
// flat shading): DrawArrays and glBegin/glEnd through the proxy draw what the library's own
// DrawArrays and glBegin/glEnd draw.
TEST_F(GlxDirectPiecesTest, CutDrawsLookLikeTheWhole) {
  constexpr int kCount = 121;
  GlxArray where{GL_FLOAT, 2, GL_VERTEX_ARRAY, {}}, colour{GL_FLOAT, 3, GL_COLOR_ARRAY, {}};
  for (int k = 0; k < kCount; k++) {
    double r = 0.15 + 0.8 * k / kCount;
    where.data.insert(where.data.end(), {r * std::cos(k * 0.55), r * std::sin(k * 0.55)});
    colour.data.insert(colour.data.end(), {(k * 37 % 256) / 255.0, (k * 91 % 256) / 255.0, (k * 53 % 256) / 255.0});
  }
  std::vector<float> xy(where.data.begin(), where.data.end()), rgb(colour.data.begin(), colour.data.end());
  const std::vector<std::pair<const char *, Calls>> states = {
      {"plain", [](const GlFunctionTable &) {}},
      {"stippled", [](const GlFunctionTable &gl) { gl.glEnable(GL_LINE_STIPPLE), gl.glLineStipple(2, 0x5F1D); }},
      {"wide stippled", [](const GlFunctionTable &gl) {
         gl.glEnable(GL_LINE_STIPPLE), gl.glLineStipple(1, 0x0F0F), gl.glLineWidth(3), gl.glPointSize(3);
       }},
      {"smooth", [](const GlFunctionTable &gl) {
         gl.glEnable(GL_LINE_SMOOTH), gl.glEnable(GL_BLEND), gl.glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
       }},
      {"stippled polygon lines", [](const GlFunctionTable &gl) {
         gl.glPolygonMode(GL_FRONT_AND_BACK, GL_LINE), gl.glEnable(GL_LINE_STIPPLE), gl.glLineStipple(1, 0x3F07);
       }},
      {"flat", [](const GlFunctionTable &gl) { gl.glShadeModel(GL_FLAT); }},
  };
  auto reset = [](const GlFunctionTable &gl) {
    gl.glDisable(GL_LINE_STIPPLE), gl.glDisable(GL_LINE_SMOOTH), gl.glDisable(GL_BLEND);
    gl.glLineWidth(1), gl.glPointSize(1), gl.glPolygonMode(GL_FRONT_AND_BACK, GL_FILL), gl.glShadeModel(GL_SMOOTH);
  };
  for (const auto &[name, state] : states)
    for (uint32_t mode = GL_POINTS; mode <= GL_POLYGON; mode++) {
      auto set = [&](const GlFunctionTable &gl) { reset(gl), state(gl); };
      std::vector<GlxCommand> begun{glxcommandBegin(mode)};
      for (int k = 0; k < kCount; k++)
        begun.insert(begun.end(), {glxcommandColor3f(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]),
                                   glxcommandVertex2f(xy[2 * k], xy[2 * k + 1])});
      begun.push_back(glxcommandEnd());
      std::vector<uint32_t> whole = picture(set, [&](const GlFunctionTable &gl) {
        gl.glEnableClientState(GL_VERTEX_ARRAY), gl.glEnableClientState(GL_COLOR_ARRAY);
        gl.glVertexPointer(2, GL_FLOAT, 0, xy.data()), gl.glColorPointer(3, GL_FLOAT, 0, rgb.data());
        gl.glDrawArrays(mode, 0, kCount);
        gl.glDisableClientState(GL_VERTEX_ARRAY), gl.glDisableClientState(GL_COLOR_ARRAY);
      });
      std::string what = std::string(name) + " mode " + std::to_string(mode);
      EXPECT_EQ(glxmesaComparePixels(picture(set, {}, {glxcommandDrawArrays(mode, kCount, {where, colour})}), whole,
                                     kSide, 3),
                "")
          << what << ", DrawArrays";
      EXPECT_EQ(glxmesaComparePixels(picture(set, {}, begun), whole, kSide, 3), "") << what << ", glBegin";
      std::vector<uint32_t> begunByTheLibrary = picture(set, [&](const GlFunctionTable &gl) {
        gl.glBegin(mode);
        for (int k = 0; k < kCount; k++)
          gl.glColor3f(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]), gl.glVertex2f(xy[2 * k], xy[2 * k + 1]);
        gl.glEnd();
      });
      EXPECT_EQ(glxmesaComparePixels(begunByTheLibrary, whole, kSide, 3), "") << what << ", the library's glBegin";
    }
}

// A fan, a polygon and a loop cut into pieces with colour and normal arrays (the later pieces
// go through ArrayElement) leave the current colour and normal the library's own DrawArrays
// leaves: those set before.
TEST_F(GlxDirectPiecesTest, CutDrawsLeaveTheCurrentValues) {
  constexpr int kCount = 40;
  GlxArray where{GL_FLOAT, 2, GL_VERTEX_ARRAY, {}}, colour{GL_FLOAT, 3, GL_COLOR_ARRAY, {}},
      normal{GL_FLOAT, 3, GL_NORMAL_ARRAY, {}};
  for (int k = 0; k < kCount; k++) {
    where.data.insert(where.data.end(), {0.9 * std::cos(k * 0.15), 0.9 * std::sin(k * 0.15)});
    colour.data.insert(colour.data.end(), {1, k / 64.0, 0});
    normal.data.insert(normal.data.end(), {0, 1, k / 64.0});
  }
  std::vector<float> xy(where.data.begin(), where.data.end()), rgb(colour.data.begin(), colour.data.end()),
      xyz(normal.data.begin(), normal.data.end());
  // The current colour and normal after the draw, the colour and normal set first.
  auto after = [&](const Calls &calls, const std::vector<GlxCommand> &commands) {
    std::vector<float> values(7, -1);
    static const float kNormal[3] = {1, 0, 0};
    picture([](const GlFunctionTable &gl) { gl.glColor3f(0.25f, 0.5f, 0.75f), gl.glNormal3fv(kNormal); }, calls,
            commands);
    EXPECT_TRUE(glxmesaMakeCurrent(harness_));
    gl_->glGetFloatv(GL_CURRENT_COLOR, values.data());
    gl_->glGetFloatv(GL_CURRENT_NORMAL, values.data() + 4);
    return values;
  };
  for (uint32_t mode : {GL_TRIANGLE_FAN, GL_POLYGON, GL_LINE_LOOP}) {
    std::vector<float> own = after(
        [&](const GlFunctionTable &gl) {
          for (uint32_t array : {GL_VERTEX_ARRAY, GL_COLOR_ARRAY, GL_NORMAL_ARRAY}) gl.glEnableClientState(array);
          gl.glVertexPointer(2, GL_FLOAT, 0, xy.data()), gl.glColorPointer(3, GL_FLOAT, 0, rgb.data());
          gl.glNormalPointer(GL_FLOAT, 0, xyz.data());
          gl.glDrawArrays(mode, 0, kCount);
          for (uint32_t array : {GL_VERTEX_ARRAY, GL_COLOR_ARRAY, GL_NORMAL_ARRAY}) gl.glDisableClientState(array);
        },
        {});
    EXPECT_EQ(own, (std::vector<float>{0.25f, 0.5f, 0.75f, 1, 1, 0, 0})) << mode;
    EXPECT_EQ(after({}, {glxcommandDrawArrays(mode, kCount, {where, colour, normal})}), own) << mode;
  }
}

// Inside glBegin(GL_TRIANGLES) an EvalCoord1 is a vertex only while a vertex map is enabled:
// between vertices without one (it sets nothing then) and alone with one, the triangles the
// proxy gives the library in pieces are the library's own.
TEST_F(GlxDirectPiecesTest, EvalCoordInsideTrianglesIsAVertexOnlyWithAVertexMap) {
  constexpr int kCount = 120;
  const float points[4 * 3] = {-0.9f, -0.9f, 0, 0.9f, -0.6f, 0, -0.7f, 0.9f, 0, 0.8f, 0.7f, 0};
  const float colours[2 * 4] = {1, 0.2f, 0, 1, 0, 0.4f, 1, 1};
  for (bool vertexMap : {false, true}) {
    auto state = [&](const GlFunctionTable &gl) {
      gl.glMap1f(GL_MAP1_VERTEX_3, 0, 1, 3, 4, points), gl.glMap1f(GL_MAP1_COLOR_4, 0, 1, 4, 2, colours);
      gl.glEnable(GL_MAP1_COLOR_4);
      if (vertexMap) gl.glEnable(GL_MAP1_VERTEX_3);
      else gl.glDisable(GL_MAP1_VERTEX_3);
    };
    auto u = [](int k) { return float(k * 7 % kCount) / kCount; };
    auto x = [](int k) { return float(std::cos(k * 2.1)) * (0.2f + 0.7f * k / kCount); };
    auto y = [](int k) { return float(std::sin(k * 2.1)) * (0.2f + 0.7f * k / kCount); };
    std::vector<GlxCommand> commands{glxcommandBegin(GL_TRIANGLES)};
    // Without a vertex map two EvalCoord1 before each vertex: counted as vertices, they would
    // let the primitive be begun again after any vertex.
    for (int k = 0; k < kCount; k++) {
      for (int twice = vertexMap ? 1 : 2; twice > 0; twice--) {
        GlxCommand evaluated{152, {}};  // EvalCoord1f
        commands.push_back(glxcommandPutFloat(evaluated, u(k + twice)));
      }
      if (!vertexMap)
        commands.insert(commands.end(), {glxcommandColor3f(0, 1, k / 255.0f), glxcommandVertex2f(x(k), y(k))});
    }
    commands.push_back(glxcommandEnd());
    std::vector<uint32_t> own = picture(state, [&](const GlFunctionTable &gl) {
      gl.glBegin(GL_TRIANGLES);
      for (int k = 0; k < kCount; k++) {
        for (int twice = vertexMap ? 1 : 2; twice > 0; twice--) gl.glEvalCoord1f(u(k + twice));
        if (!vertexMap) gl.glColor3f(0, 1, k / 255.0f), gl.glVertex2f(x(k), y(k));
      }
      gl.glEnd();
    });
    EXPECT_EQ(glxmesaComparePixels(picture(state, {}, commands), own, kSide), "") << "vertex map " << vertexMap;
  }
}

// Triangle and quad strips, triangle fans and polygons are ended and begun again between two of
// their primitives with two of their vertices given again (a strip's last two, a fan's or
// polygon's first and last), only where each vertex then has the values it had: with a colour before every third
// vertex and a normal before every fourth, lit, they draw through the proxy what the library's
// own draw; with a material set inside as well (which is not given again), too. The clock steps 9 ms at each look, so that the interval stays at its first size
// and the strips are cut all along; they are sent in requests of 16 commands, each far within
// a request's time.
TEST_F(GlxDirectPiecesTest, StripsAndFansCutGiveTheirVerticesAgainAsTheyWere) {
  constexpr int kCount = 160;
  static int64_t steppedNs = 0;
  GlxDirectClock clock = glxdirectClock;
  glxdirectClock = [] { return steppedNs += 9'000'000; };
  auto state = [](const GlFunctionTable &gl) {
    static const float kLight[4] = {0.3f, 0.5f, 1, 0};
    gl.glEnable(GL_LIGHTING), gl.glEnable(GL_LIGHT0), gl.glLightfv(GL_LIGHT0, GL_POSITION, kLight);
    gl.glEnable(GL_COLOR_MATERIAL);
  };
  auto x = [](int k) { return float(std::cos(k * 0.4)) * (0.1f + 0.85f * k / kCount); };
  auto y = [](int k) { return float(std::sin(k * 0.4)) * (0.1f + 0.85f * k / kCount) + (k % 2 ? 0.05f : -0.05f); };
  auto colour = [](int k) { return std::array<float, 3>{(k * 37 % 256) / 255.0f, (k * 91 % 256) / 255.0f, 0.5f}; };
  auto normal = [](int k) { return std::array<float, 3>{float(std::cos(k)), float(std::sin(k)), 1}; };
  for (uint32_t mode : {GL_TRIANGLE_STRIP, GL_TRIANGLE_FAN, GL_QUAD_STRIP, GL_POLYGON})
    for (bool material : {false, true}) {
      std::vector<GlxCommand> commands{glxcommandBegin(mode)};
      for (int k = 0; k < kCount; k++) {
        if (k % 3 == 0) commands.push_back(glxcommandColor3f(colour(k)[0], colour(k)[1], colour(k)[2]));
        if (k % 4 == 0) commands.push_back(glxcommandFloats(30, {normal(k)[0], normal(k)[1], normal(k)[2]}));
        if (material && k == kCount / 2) {
          GlxCommand shininess = glxcommandWords(96, {GL_FRONT_AND_BACK, GL_SHININESS});  // Materialf
          commands.push_back(glxcommandPutFloat(shininess, 40));
        }
        commands.push_back(glxcommandVertex2f(x(k), y(k)));
      }
      commands.push_back(glxcommandEnd());
      std::vector<uint32_t> own = picture(state, [&](const GlFunctionTable &gl) {
        gl.glBegin(mode);
        for (int k = 0; k < kCount; k++) {
          if (k % 3 == 0) gl.glColor3f(colour(k)[0], colour(k)[1], colour(k)[2]);
          if (k % 4 == 0) gl.glNormal3fv(normal(k).data());
          if (material && k == kCount / 2) gl.glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 40);
          gl.glVertex2f(x(k), y(k));
        }
        gl.glEnd();
      });
      std::vector<uint32_t> cut = picture(state, [&](const GlFunctionTable &) {
        for (size_t at = 0; at < commands.size(); at += 16)
          glxmesaRender(harness_, std::vector<GlxCommand>(commands.begin() + long(at),
                                                          commands.begin() + long(std::min(at + 16, commands.size()))));
      });
      EXPECT_EQ(glxmesaComparePixels(cut, own, kSide), "") << "mode " << mode << ", material " << material;
    }
  glxdirectClock = clock;
}

// Meshes of thousands of points, in points, lines and filled, evaluated by the proxy in pieces
// (also with stippled lines, as lines exclusive-or'ed, flat) draw the library's own mesh. (Not
// compared: an EvalMesh2's stippled lines and its crowded points flat, which the library itself
// does not draw the same twice.)
TEST_F(GlxDirectPiecesTest, MeshesInPiecesLookLikeTheWhole) {
  const float curve[4 * 3] = {-0.9f, -0.8f, 0, 0.2f, 0.9f, 0, 0.5f, -0.9f, 0, 0.9f, 0.7f, 0};
  const float patch[2 * 2 * 3] = {-0.9f, -0.9f, 0, 0.9f, -0.7f, 0, -0.8f, 0.9f, 0, 0.8f, 0.8f, 0};
  const float colours[2 * 2 * 4] = {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 1, 1, 0.2f, 1};
  auto grid = [&](const GlFunctionTable &gl) {
    gl.glMap1f(GL_MAP1_VERTEX_3, 0, 1, 3, 4, curve), gl.glEnable(GL_MAP1_VERTEX_3);
    gl.glMap2f(GL_MAP2_VERTEX_3, 0, 1, 3, 2, 0, 1, 6, 2, patch), gl.glEnable(GL_MAP2_VERTEX_3);
    gl.glMap2f(GL_MAP2_COLOR_4, 0, 1, 4, 2, 0, 1, 8, 2, colours), gl.glEnable(GL_MAP2_COLOR_4);
    gl.glMapGrid1f(5000, 0.013f, 0.977f), gl.glMapGrid2f(1250, 0.013f, 0.977f, 19, 0.02f, 0.99f);
    gl.glColor3f(1, 1, 0.6f);
  };
  const std::vector<std::pair<const char *, Calls>> states = {
      {"plain", [](const GlFunctionTable &) {}},
      {"stippled", [](const GlFunctionTable &gl) { gl.glEnable(GL_LINE_STIPPLE), gl.glLineStipple(1, 0x3F07); }},
      {"exclusive-or lines", [](const GlFunctionTable &gl) {
         gl.glPolygonMode(GL_FRONT_AND_BACK, GL_LINE), gl.glEnable(GL_COLOR_LOGIC_OP), gl.glLogicOp(GL_XOR);
       }},
      {"flat", [](const GlFunctionTable &gl) { gl.glShadeModel(GL_FLAT); }},
  };
  struct Mesh {
    uint32_t mode;
    int32_t i1, i2, j1, j2;  // j2 < 0: EvalMesh1
  };
  for (const auto &[name, state] : states)
    for (Mesh mesh : {Mesh{GL_POINT, 3, 4990, 0, -1}, Mesh{GL_LINE, 0, 5000, 0, -1}, Mesh{GL_POINT, 0, 1250, 0, 19},
                      Mesh{GL_LINE, 2, 1250, 1, 19}, Mesh{GL_FILL, 0, 1249, 0, 19}}) {
      if (mesh.j2 >= 0 && ((mesh.mode == GL_LINE && name == std::string("stippled")) ||
                           (mesh.mode == GL_POINT && name == std::string("flat"))))
        continue;
      auto set = [&](const GlFunctionTable &gl) {
        gl.glDisable(GL_LINE_STIPPLE), gl.glDisable(GL_COLOR_LOGIC_OP), gl.glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        gl.glShadeModel(GL_SMOOTH), gl.glPointSize(1), grid(gl), state(gl);
      };
      GlxCommand evaluate{mesh.j2 < 0 ? 155u : 157u, {}};  // EvalMesh1, EvalMesh2
      for (int32_t word : {int32_t(mesh.mode), mesh.i1, mesh.i2}) glxcommandPut32(evaluate, uint32_t(word));
      if (mesh.j2 >= 0) glxcommandPut32(glxcommandPut32(evaluate, uint32_t(mesh.j1)), uint32_t(mesh.j2));
      std::vector<uint32_t> own = picture(set, [&](const GlFunctionTable &gl) {
        if (mesh.j2 < 0) gl.glEvalMesh1(mesh.mode, mesh.i1, mesh.i2);
        else gl.glEvalMesh2(mesh.mode, mesh.i1, mesh.i2, mesh.j1, mesh.j2);
      });
      EXPECT_EQ(glxmesaComparePixels(picture(set, {}, {evaluate}), own, kSide, 3), "")
          << name << ", mode " << mesh.mode << (mesh.j2 < 0 ? ", EvalMesh1" : ", EvalMesh2");
    }
}

// Indexed draws from buffer objects while primitive restart is on (fixed index): the proxy draws
// what the library draws, in every mode, and its question leaves no error.
TEST_F(GlxDirectPiecesTest, IndexedDrawsWithPrimitiveRestartLookLikeTheWhole) {
  constexpr int kCount = 61;
  std::vector<float> vertices;
  std::vector<uint16_t> indices;
  for (int k = 0; k < kCount; k++) {
    double r = 0.2 + 0.7 * k / kCount;
    vertices.insert(vertices.end(), {float(r * std::cos(k * 0.55)), float(r * std::sin(k * 0.55)),
                                     (k * 37 % 256) / 255.0f, (k * 91 % 256) / 255.0f, (k * 53 % 256) / 255.0f});
    indices.push_back(uint16_t(k));
    if (k % 7 == 4) indices.push_back(0xFFFF);
  }
  GLuint buffers[2] = {0, 0};
  gl_->glGenBuffers(2, buffers);
  gl_->glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
  gl_->glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(vertices.size() * 4), vertices.data(), GL_STATIC_DRAW);
  gl_->glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffers[1]);
  gl_->glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size() * 2), indices.data(), GL_STATIC_DRAW);
  gl_->glEnableClientState(GL_VERTEX_ARRAY), gl_->glEnableClientState(GL_COLOR_ARRAY);
  gl_->glVertexPointer(2, GL_FLOAT, 20, nullptr);
  gl_->glColorPointer(3, GL_FLOAT, 20, reinterpret_cast<void *>(8));
  gl_->glEnable(GL_PRIMITIVE_RESTART_FIXED_INDEX);
  ASSERT_EQ(gl_->glGetError(), GLenum(GL_NO_ERROR));
  for (uint32_t mode = GL_POINTS; mode <= GL_POLYGON; mode++) {
    GlxCommand draw{295, {}};  // DrawElements from offset 0 of the element buffer
    for (uint32_t word : {0u, 0u, mode, uint32_t(indices.size()), uint32_t(GL_UNSIGNED_SHORT)})
      glxcommandPut32(draw, word);
    std::vector<uint32_t> own = picture([](const GlFunctionTable &) {}, [&](const GlFunctionTable &gl) {
      gl.glDrawElements(mode, GLsizei(indices.size()), GL_UNSIGNED_SHORT, nullptr);
    });
    EXPECT_EQ(glxmesaComparePixels(picture([](const GlFunctionTable &) {}, {}, {draw}), own, kSide, 3), "") << mode;
  }
  ASSERT_TRUE(glxmesaMakeCurrent(harness_));
  EXPECT_EQ(glxdirectTakeHeldError(harness_.instance), 0u);
  EXPECT_EQ(gl_->glGetError(), GLenum(GL_NO_ERROR));
}

// ===== end of draws and meshes in pieces =====

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
