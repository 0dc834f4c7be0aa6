#include <gtest/gtest.h>

#include <unistd.h>

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <string_view>
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

// Leading and trailing blanks removed.
std::string_view trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Version and extension markers (VERSION_1_1, ARB_imaging, 3DFX_multisample): an upper-case
// vendor prefix and a lower-case name, or a version.
bool isMarker(std::string_view name) {
  if (name.starts_with("VERSION_")) return true;
  size_t bar = name.find('_');
  if (bar == 0 || bar == std::string_view::npos || bar + 1 == name.size()) return false;
  for (char c : name.substr(0, bar))
    if (!std::isupper(static_cast<unsigned char>(c)) && !std::isdigit(static_cast<unsigned char>(c))) return false;
  return std::islower(static_cast<unsigned char>(name[bar + 1]));
}

// The (name, value) tokens that a GL header defines, in header order. Version and extension
// markers (GL_VERSION_1_1, GL_ARB_imaging) are left out; onlyClassic stops at gl.h's
// "OpenGL 1.2" section, so what remains are the GL 1.0/1.1 tokens. Read by hand rather than
// by regular expression per line: the headers have some 15000 lines and this test also runs
// under ThreadSanitizer.
std::vector<std::pair<std::string, uint32_t>> headerTokens(const std::string &path, bool onlyClassic) {
  std::vector<std::pair<std::string, uint32_t>> tokens;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::string_view rest = trimmed(line);
    if (onlyClassic && rest.starts_with('*') && trimmed(rest.substr(1)) == "OpenGL 1.2") break;
    if (!rest.starts_with('#')) continue;
    rest = trimmed(rest.substr(1));
    if (!rest.starts_with("define") || rest.size() == 6 || (rest[6] != ' ' && rest[6] != '\t')) continue;
    rest = trimmed(rest.substr(6));
    size_t nameEnd = rest.find_first_of(" \t");
    if (!rest.starts_with("GL_") || nameEnd == std::string_view::npos) continue;
    std::string name(rest.substr(3, nameEnd - 3));
    std::string_view text = trimmed(rest.substr(nameEnd));
    size_t digits = text.find_first_not_of("0123456789abcdefABCDEFxX");
    std::string number(text.substr(0, digits));
    // A plain number with an optional u/l suffix: expressions and negative counts are no enums.
    std::string_view after = digits == std::string_view::npos ? "" : text.substr(digits);
    after = after.substr(std::min(after.find_first_not_of("uUlL"), after.size()));
    if (number.empty() || !std::isdigit(static_cast<unsigned char>(number[0])) || !trimmed(after).empty() ||
        isMarker(name))
      continue;
    char *end = nullptr;
    uint64_t value = std::strtoull(number.c_str(), &end, 0);
    if (*end == '\0' && value <= 0xFFFFFFFF) tokens.emplace_back(name, static_cast<uint32_t>(value));
  }
  return tokens;
}

// A whole file, or "" when it cannot be read.
std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The GL_GLEXT_VERSION that a text names ("GL_GLEXT_VERSION 20220530"), or "".
std::string glextVersion(const std::string &text) {
  std::smatch m;
  static const std::regex version(R"(GL_GLEXT_VERSION\s+(\d+))");
  return std::regex_search(text, m, version) ? m[1].str() : "";
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

// The committed list is what the generator writes from the installed headers: a header change or
// a hand edit of the table shows here. Headers of another GL_GLEXT_VERSION than the table was
// made from skip (the table is then to be generated anew).
TEST(Gldatatype, CommittedListIsTheGeneratorsOutput) {
  const std::string committed = readFile(TARVO_SOURCE_DIR "/src/xclient/gldatatypetable.inc");
  ASSERT_FALSE(committed.empty());
  const std::string glext = readFile("/usr/include/GL/glext.h");
  if (glext.empty() || access("/usr/bin/python3", X_OK) != 0)
    GTEST_SKIP() << "no GL/glext.h (libgl-dev) or /usr/bin/python3 installed";
  if (glextVersion(glext) != glextVersion(committed))
    GTEST_SKIP() << "GL/glext.h is of version " << glextVersion(glext) << ", the table of "
                 << glextVersion(committed);

  FILE *pipe = popen("/usr/bin/python3 '" TARVO_SOURCE_DIR "/scripts/gldatatype-table' /usr/include/GL", "r");
  ASSERT_NE(pipe, nullptr);
  std::string generated;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) generated.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  if (generated == committed) return;
  size_t at = std::mismatch(generated.begin(), generated.end(), committed.begin(), committed.end()).first - generated.begin();
  size_t line = std::count(generated.begin(), generated.begin() + at, '\n') + 1;
  ADD_FAILURE() << "line " << line << " differs; regenerate with scripts/gldatatype-table /usr/include/GL"
                << " > src/xclient/gldatatypetable.inc";
}
