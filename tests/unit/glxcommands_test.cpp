// The test render-command builder against what the proxy's GLX swappers know of each command:
// a command built most-significant byte first and swapped by the proxy equals the same command
// built in this machine's order (field widths, padding, DrawArrays' per-array blocks), as a
// lone command, as a GLXRender stream and as a large command; the 16-bit length limit; large
// commands cut into pieces and wrapped in GLXRenderLarge requests.
#include "glxcommands.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "xext/glxindirect.h"
#include "xext/glxswap.h"

namespace {

// Counts the swappers' warnings and problem reports while alive.
struct SwapLog {
  static inline int complaints = 0;
  LogOutputHook saved;
  ClientConnection *client;
  ClientConnection *savedClient;
  SwapLog() : saved(logOutputHook), savedClient(xproxyCurrentClient) {
    static char name[] = "glxcommands_test";
    static char *argv[] = {name, nullptr};
    static bool once = logInit(1, argv, "", "") == 0 || true;
    (void)once;
    complaints = 0;
    logOutputHook = [](LogChannel *channel, const char *, int, const char *text) {
      if (channel == logChannelWarning || std::string(text) == "UNE") complaints++;
    };
    client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
    strcpy(client->className, "gltester");
    xproxyCurrentClient = client;
  }
  ~SwapLog() {
    logOutputHook = saved;
    xproxyCurrentClient = savedClient;
    free(client);
  }
};

uint32_t get32(const GlxBytes &b, size_t at, bool big) {
  return big ? uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3]
             : uint32_t(b[at + 3]) << 24 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 1]) << 8 | b[at];
}
uint16_t get16(const GlxBytes &b, size_t at, bool big) {
  return big ? uint16_t(b[at] << 8 | b[at + 1]) : uint16_t(b[at + 1] << 8 | b[at]);
}

struct Sample {
  const char *name;
  GlxCommand command;
  size_t dataBytes;  // unpadded data after the header
};

std::vector<Sample> samples() {
  GlxPixelHeader header;
  header.swapBytes = 1;
  header.rowLength = 7;
  header.skipRows = 2;
  header.skipPixels = 3;
  header.alignment = 1;
  GlxBytes pixels(4 * 4 * 4);
  for (size_t k = 0; k < pixels.size(); k++) pixels[k] = uint8_t(k * 13 + 5);
  GlxArray vertices{0x1406, 2, 0x8074, {-0.5, -0.5, 0.5, -0.5, 0.5, 0.5, -0.5, 0.5}};
  GlxArray colours{0x1401, 3, 0x8076, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}};
  GlxArray shorts{0x1402, 1, 0x8077, {1, 2, 3, 4}};  // one 2-byte value: padded to 4 per vertex
  GlxArray colours4{0x1401, 4, 0x8076, {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 9, 9, 9, 9}};
  GlxArray doubles{0x140A, 1, 0x8457, {0.5, 0.25, 0.125, 1}};
  return {
      {"ClearColor", glxcommandClearColor(0.25f, 0.5f, 0.75f, 1.0f), 16},
      {"Clear", glxcommandClear(0x4000), 4},
      {"Begin", glxcommandBegin(7), 4},
      {"Vertex2f", glxcommandVertex2f(-0.5f, 0.5f), 8},
      {"End", glxcommandEnd(), 0},
      {"Color3f", glxcommandColor3f(0, 1, 0), 12},
      {"TexParameteri", glxcommandTexParameteri(0x0DE1, 0x2801, 0x2600), 12},
      {"DrawPixels", glxcommandDrawPixels(header, 4, 4, 0x1908, 0x1401, pixels), 36 + 64},
      {"TexImage2D", glxcommandTexImage2D(header, 0x0DE1, 0, 4, 4, 4, 0, 0x1908, 0x1401, pixels), 52 + 64},
      {"Bitmap", glxcommandBitmap(header, 8, 3, 0, 0, 8, 0, {0xF0, 0x0F, 0xAA}), 44 + 3},
      {"DrawArrays", glxcommandDrawArrays(7, 4, {vertices, colours, shorts}), 12 + 36 + 4 * (8 + 4 + 4)},
      {"ShaderSource", glxcommandShaderSource(7, {"void main", "() {}\n"}), 8 + 8 + 9 + 6},
      {"Uniform4f", glxcommandUniform4f(3, 0.5f, 0.25f, 1, 0), 20},
      {"DrawArraysCarried", glxcommandDrawArraysCarried(7, 0, 4, {vertices, colours4, doubles}),
       16 + 60 + 4 * (8 + 4 + 8)},
  };
}

TEST(GlxCommands, EachCommandSwapsIntoTheOtherOrder) {
  SwapLog log;
  for (const Sample &sample : samples()) {
    SCOPED_TRACE(sample.name);
    GlxBytes big = glxcommandData(sample.command, true), little = glxcommandData(sample.command, false);
    EXPECT_EQ(big.size(), sample.dataBytes);
    glxSwapRenderCommand(sample.command.opcode, big.data(), big.data() + big.size(), 1);
    EXPECT_EQ(big, little);
    // The large form carries the same data behind an 8-byte header.
    GlxBytes large = glxcommandEncodeLarge(sample.command, false);
    ASSERT_EQ(large.size(), 8 + ((sample.dataBytes + 3) & ~size_t(3)));
    EXPECT_EQ(get32(large, 0, false), large.size());
    EXPECT_EQ(get32(large, 4, false), sample.command.opcode);
    EXPECT_TRUE(std::equal(little.begin(), little.end(), large.begin() + 8));
  }
  EXPECT_EQ(SwapLog::complaints, 0);
}

TEST(GlxCommands, RenderRequestAndLargeCommandSwapAsAWhole) {
  SwapLog log;
  std::vector<GlxCommand> commands;
  for (const Sample &sample : samples()) commands.push_back(sample.command);
  GlxBytes big = glxcommandRenderRequest(143, 0x01020304, commands, true);
  GlxBytes little = glxcommandRenderRequest(143, 0x01020304, commands, false);
  ASSERT_FALSE(big.empty());
  ASSERT_EQ(big.size(), little.size());
  EXPECT_EQ(big[0], 143);
  EXPECT_EQ(big[1], 1);
  EXPECT_EQ(get16(big, 2, true) * 4u, big.size());
  EXPECT_EQ(get32(big, 4, true), 0x01020304u);
  // The headers chain exactly to the end of the request, each length a multiple of 4.
  size_t at = 8, count = 0;
  while (at + 4 <= little.size()) {
    uint16_t length = get16(little, at, false);
    ASSERT_GE(length, 4);
    EXPECT_EQ(length % 4, 0);
    EXPECT_EQ(get16(little, at + 2, false), commands[count].opcode);
    at += length;
    count++;
  }
  EXPECT_EQ(at, little.size());
  EXPECT_EQ(count, commands.size());
  // The proxy's stream walker turns the big stream into the little one.
  glxindirectSwapRender16(big.data() + 8, big.data() + big.size(), 1);
  EXPECT_TRUE(std::equal(big.begin() + 8, big.end(), little.begin() + 8));

  for (const Sample &sample : samples()) {
    SCOPED_TRACE(sample.name);
    GlxBytes bigLarge = glxcommandEncodeLarge(sample.command, true);
    glxindirectSwapRender(bigLarge.data(), bigLarge.size(), 1);
    EXPECT_EQ(bigLarge, glxcommandEncodeLarge(sample.command, false));
  }
  EXPECT_EQ(SwapLog::complaints, 0);
}

TEST(GlxCommands, SixteenBitLengthLimit) {
  struct Case {
    size_t raw;
    size_t encoded;  // 0: does not fit
  } cases[] = {{0, 4}, {1, 8}, {3, 8}, {4, 8}, {5, 12}, {65528, 65532}, {65529, 0}, {65531, 0}, {65532, 0}};
  for (const Case &c : cases) {
    GlxCommand command{9999, {}};
    glxcommandPutRaw(command, GlxBytes(c.raw, 0xAB));
    for (bool big : {false, true}) {
      GlxBytes out = glxcommandEncode(command, big);
      ASSERT_EQ(out.size(), c.encoded) << c.raw;
      if (!c.encoded) continue;
      EXPECT_EQ(get16(out, 0, big), c.encoded);
      EXPECT_EQ(get16(out, 2, big), 9999);
      for (size_t k = 4 + c.raw; k < out.size(); k++) EXPECT_EQ(out[k], 0) << "padding";
    }
    // A stream or request holding a command that does not fit is refused whole.
    EXPECT_EQ(glxcommandStream({glxcommandEnd(), command}, false).empty(), c.encoded == 0);
    EXPECT_EQ(glxcommandRenderRequest(143, 1, {glxcommandEnd(), command}, false).empty(), c.encoded == 0);
  }
  // 65535 words at most in one request: 16 commands of 16384 bytes exceed it.
  GlxCommand big{9999, {}};
  glxcommandPutRaw(big, GlxBytes(16380, 1));
  EXPECT_FALSE(glxcommandRenderRequest(143, 1, std::vector<GlxCommand>(15, big), false).empty());
  EXPECT_TRUE(glxcommandRenderRequest(143, 1, std::vector<GlxCommand>(16, big), false).empty());
}

TEST(GlxCommands, LargeCommandPieces) {
  struct Case {
    size_t bytes;
    uint32_t pieces;
    std::vector<size_t> sizes;
  } cases[] = {
      {1000, 3, {336, 332, 332}}, {1000, 1, {1000}}, {16, 3, {8, 4, 4}}, {8, 3, {4, 4}},
      {12, 12, {4, 4, 4}},        {10, 4, {4, 6}},   {3, 2, {3}},        {0, 3, {}},
  };
  for (const Case &c : cases) {
    GlxBytes large(c.bytes);
    for (size_t k = 0; k < large.size(); k++) large[k] = uint8_t(k * 7 + 1);
    std::vector<GlxBytes> pieces = glxcommandLargePieces(large, c.pieces);
    std::vector<size_t> sizes;
    GlxBytes joined;
    for (const GlxBytes &piece : pieces) {
      sizes.push_back(piece.size());
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(sizes, c.sizes) << c.bytes << " in " << c.pieces;
    EXPECT_EQ(joined, large);
  }

  // Whole requests: numbers, total, data lengths, and the last piece padded inside its request.
  GlxCommand command{kGlxropDrawPixels, {}};
  glxcommandPutRaw(command, GlxBytes(1001, 0x5A));  // a large command of 1012 bytes
  for (bool big : {false, true}) {
    std::vector<GlxBytes> requests = glxcommandRenderLargeRequests(143, 0x77, command, 3, big);
    ASSERT_EQ(requests.size(), 3u);
    GlxBytes joined;
    for (size_t k = 0; k < requests.size(); k++) {
      const GlxBytes &r = requests[k];
      EXPECT_EQ(r[0], 143);
      EXPECT_EQ(r[1], 2);
      EXPECT_EQ(get16(r, 2, big) * 4u, r.size());
      EXPECT_EQ(get32(r, 4, big), 0x77u);
      EXPECT_EQ(get16(r, 8, big), k + 1);
      EXPECT_EQ(get16(r, 10, big), 3);
      uint32_t data = get32(r, 12, big);
      EXPECT_EQ(r.size(), 16 + ((data + 3) & ~3u));
      joined.insert(joined.end(), r.begin() + 16, r.begin() + 16 + data);
    }
    EXPECT_EQ(joined, glxcommandEncodeLarge(command, big));
    EXPECT_EQ(get32(joined, 0, big), 1012u);
  }
}

}  // namespace
