#include <gtest/gtest.h>

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/logging.h"
#include "xclient/gldatatype.h"

namespace {

// Warning lines written while an instance lives.
struct WarningCapture {
  static inline std::vector<std::string> lines;
  WarningCapture() {
    char name[] = "gldatatype_test", *argv[] = {name, nullptr};
    logInit(1, argv, "", "");
    lines.clear();
    logOutputHook = [](LogChannel *channel, const char *, int, const char *text) {
      if (channel == logChannelWarning) lines.push_back(text);
    };
  }
  ~WarningCapture() { logOutputHook = logEmit; }
};

// The (name, value) tokens that a GL header defines, in header order. Version and extension
// markers (GL_VERSION_1_1, GL_ARB_imaging) are left out; onlyClassic stops at gl.h's
// "OpenGL 1.2" section, so what remains are the GL 1.0/1.1 tokens.
std::vector<std::pair<std::string, uint32_t>> headerTokens(const std::string &path, bool onlyClassic) {
  static const std::regex define(R"(^\s*#\s*define\s+GL_(\w+)\s+(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]*\s*$)");
  static const std::regex marker(R"(VERSION_\d+_\d+|[A-Z0-9]+_[a-z]\w*)");
  std::vector<std::pair<std::string, uint32_t>> tokens;
  std::ifstream in(path);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (onlyClassic && std::regex_search(line, std::regex(R"(^\s*\*\s*OpenGL 1\.2\s*$)"))) break;
    if (!std::regex_match(line, m, define) || std::regex_match(m[1].str(), marker)) continue;
    uint64_t value = std::stoull(m[2].str(), nullptr, 0);
    if (value <= 0xFFFFFFFF) tokens.emplace_back(m[1].str(), static_cast<uint32_t>(value));
  }
  return tokens;
}

bool unnamed(const char *name) { return name[0] == '0' && name[1] == 'x'; }

}  // namespace

TEST(Gldatatype, SizeOfEveryKnownType) {
  WarningCapture capture;
  struct Case {
    uint32_t type;
    uint32_t size;
  } cases[] = {
      {GL_BYTE, 1}, {GL_UNSIGNED_BYTE, 1}, {GL_SHORT, 2}, {GL_UNSIGNED_SHORT, 2}, {GL_INT, 4},
      {GL_UNSIGNED_INT, 4}, {GL_FLOAT, 4}, {GL_DOUBLE, 8}, {GL_HALF_FLOAT, 2},
      {GL_UNSIGNED_BYTE_3_3_2, 1}, {GL_UNSIGNED_BYTE_2_3_3_REV, 1},
      {GL_UNSIGNED_SHORT_4_4_4_4, 2}, {GL_UNSIGNED_SHORT_5_5_5_1, 2}, {GL_UNSIGNED_SHORT_5_6_5, 2},
      {GL_UNSIGNED_SHORT_5_6_5_REV, 2}, {GL_UNSIGNED_SHORT_4_4_4_4_REV, 2},
      {GL_UNSIGNED_SHORT_1_5_5_5_REV, 2}, {GL_UNSIGNED_INT_8_8_8_8, 4},
      {GL_UNSIGNED_INT_10_10_10_2, 4}, {GL_UNSIGNED_INT_8_8_8_8_REV, 4},
      {GL_UNSIGNED_INT_2_10_10_10_REV, 4}, {GL_UNSIGNED_INT_24_8, 4},
  };
  for (const Case &c : cases) EXPECT_EQ(gldatatypeSize(c.type), c.size) << gldatatypeEnumName(c.type);
  EXPECT_TRUE(WarningCapture::lines.empty());
}

// Types without a size here are logged by name (or number) and measured as one byte.
TEST(Gldatatype, UnknownTypesAreLoggedAndCountOneByte) {
  WarningCapture capture;
  const uint32_t types[] = {GL_BITMAP, GL_2_BYTES, GL_3_BYTES, GL_4_BYTES, 0x12345};
  for (uint32_t type : types) EXPECT_EQ(gldatatypeSize(type), 1u);
  const std::vector<std::string> expected = {
      "GLX: Unknown GL datatype BITMAP - please advise",
      "GLX: Unknown GL datatype 2_BYTES - please advise",
      "GLX: Unknown GL datatype 3_BYTES - please advise",
      "GLX: Unknown GL datatype 4_BYTES - please advise",
      "GLX: Unknown GL datatype 0x12345 - please advise",
  };
  EXPECT_EQ(WarningCapture::lines, expected);
}

// Values that several tokens share are named by the first in the list's order: the GL 1.0/1.1
// tokens before their bit masks, the classic mask values, the names that predate GL 3.0.
TEST(Gldatatype, SharedValuesGetTheirFirstName) {
  struct Case {
    uint32_t value;
    const char *name;
  } cases[] = {
      {0x0000, "FALSE"}, {0x0001, "TRUE"}, {0x0007, "QUADS"}, {0x0100, "ACCUM"},
      {0x0200, "NEVER"}, {0x0400, "FRONT_LEFT"}, {0x0800, "EXP"}, {0x1000, "TEXTURE_WIDTH"},
      {0x2000, "S"}, {0x4000, "LIGHT0"}, {0x8000, "HINT_BIT"},
      {0x000FFFFF, "ALL_ATTRIB_BITS"}, {0xFFFFFFFF, "CLIENT_ALL_ATTRIB_BITS"},
      {0x140B, "HALF_FLOAT_ARB"}, {0x84F9, "DEPTH_STENCIL_NV"}, {0x84FA, "UNSIGNED_INT_24_8_NV"},
      {0x8B65, "FLOAT_MAT2x3"}, {0x8B66, "FLOAT_MAT2x4"}, {0x8B67, "FLOAT_MAT3x2"},
      {0x8B68, "FLOAT_MAT3x4"}, {0x8B69, "FLOAT_MAT4x2"}, {0x8B6A, "FLOAT_MAT4x3"},
      {0x1A00, "BITMAP"}, {0x0500, "INVALID_ENUM"},
  };
  for (const Case &c : cases) EXPECT_STREQ(gldatatypeEnumName(c.value), c.name) << std::hex << c.value;
}

// Unnamed values: at least four upper-case hex digits, in a buffer that the same thread's next
// unnamed value overwrites and that another thread's does not.
TEST(Gldatatype, UnnamedValuesAreFormattedInOneBufferPerThread) {
  EXPECT_STREQ(gldatatypeEnumName(0x12345), "0x12345");
  const char *first = gldatatypeEnumName(0x0021);
  EXPECT_STREQ(first, "0x0021");
  std::string other;
  std::thread([&other] { other = gldatatypeEnumName(0xABCDEF01); }).join();
  EXPECT_EQ(other, "0xABCDEF01");
  EXPECT_STREQ(first, "0x0021");
  EXPECT_STREQ(gldatatypeEnumName(0x7FFF), "0x7FFF");
  EXPECT_STREQ(first, "0x7FFF");  // overwritten, as documented
  EXPECT_STREQ(gldatatypeEnumName(0x00FFFFF), "ALL_ATTRIB_BITS");
  EXPECT_STREQ(first, "0x7FFF");  // a named value leaves the buffer alone
}

// The committed list against the installed headers: it starts with gl.h's GL 1.0/1.1 tokens in
// header order, every value of those tokens has a name, and every pair is a token the headers
// define with that value (ALL_ATTRIB_BITS carries its classic value).
TEST(Gldatatype, ListAgreesWithTheInstalledHeaders) {
  auto classic = headerTokens("/usr/include/GL/gl.h", true);
  if (classic.empty()) GTEST_SKIP() << "no GL/gl.h (libgl-dev) installed";
  std::map<std::string, uint32_t> defined;
  for (const char *header : {"/usr/include/GL/gl.h", "/usr/include/GL/glext.h"})
    for (auto &[name, value] : headerTokens(header, false)) defined.emplace(name, value);

  // Of the two names of the client mask 0xFFFFFFFF, the classic one leads.
  auto client = std::find_if(classic.begin(), classic.end(), [](auto &t) { return t.first == "CLIENT_ALL_ATTRIB_BITS"; });
  auto all = std::find_if(classic.begin(), classic.end(), [](auto &t) { return t.first == "ALL_CLIENT_ATTRIB_BITS"; });
  if (client != classic.end() && all < client) std::rotate(all, client, client + 1);

  ASSERT_EQ(static_cast<size_t>(gldatatypeClassicCount()), classic.size());
  for (size_t i = 0; i < classic.size(); i++) {
    const GldatatypeEnum *pair = gldatatypeEnumAt(static_cast<int>(i));
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(pair->name, classic[i].first) << "position " << i;
    const char *name = gldatatypeEnumName(classic[i].second);
    EXPECT_FALSE(unnamed(name)) << classic[i].first;
  }

  EXPECT_EQ(gldatatypeEnumAt(-1), nullptr);
  EXPECT_EQ(gldatatypeEnumAt(gldatatypeEnumCount()), nullptr);
  for (int i = 0; i < gldatatypeEnumCount(); i++) {
    const GldatatypeEnum *pair = gldatatypeEnumAt(i);
    auto it = defined.find(pair->name);
    ASSERT_NE(it, defined.end()) << pair->name;
    uint32_t expected = std::string(pair->name) == "ALL_ATTRIB_BITS" ? 0x000FFFFF : it->second;
    EXPECT_EQ(pair->value, expected) << pair->name;
  }
}
