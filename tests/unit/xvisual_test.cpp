// The walks over GLX config replies, fed built replies.
#include <gtest/gtest.h>

#include <vector>

#include "proxy/xvisual.h"

namespace {

std::vector<uint32_t> core(uint32_t id, uint32_t depth, uint32_t alpha = 8) {
  return {id, 4, 1, 8, 8, 8, alpha, 0, 0, 0, 0, 1, 0, 32, depth, 8, 0, 0};
}

struct Records {
  VisualRecord r[2]{};
  Records() {
    r[0].visualId = 0x21;
    r[0].visualClass = 4;
    r[1].visualId = 0x22;
    r[1].visualClass = 5;
  }
};

TEST(XvisualGl, FirstVisualConfigWinsAndPairsEndAtTheConfig) {
  Records t;
  std::vector<uint32_t> words = core(0x21, 24);
  words.insert(words.end(), {32, 0x8001, 100001, 4, 36});  // 23 values: half a pair at the end
  std::vector<uint32_t> second = core(0x21, 16);
  second.insert(second.end(), {32, 0x8000, 100001, 2, 7});
  words.insert(words.end(), second.begin(), second.end());
  ASSERT_EQ(xvisualApplyVisualConfigs(words.data(), words.size(), 2, 23, 68, t.r, 2), 1);
  EXPECT_EQ(t.r[0].glVersion, 68);
  EXPECT_EQ(t.r[0].glDepthSize, 24);
  EXPECT_EQ(t.r[0].glConfigCaveat, 0x8001u);
  EXPECT_EQ(t.r[0].glSamples, 4u);
  EXPECT_EQ(t.r[0].glTransparentIndex, 0u);  // the half pair is not read
  EXPECT_EQ(t.r[0].glRenderType, 1u);
  EXPECT_EQ(t.r[1].glVersion, 0);
}

TEST(XvisualGl, CountsBeyondTheReplyLeaveRecordsWithoutGl) {
  struct Case {
    uint32_t visuals, properties;
    size_t words;
    int result;
  };
  const Case cases[] = {{1, 17, 17, 0}, {1, 18, 18, 1}, {1, 19, 19, 1}, {2, 18, 35, 0},
                        {0xFFFFFFFF, 18, 18, 0}, {1, 0xFFFFFFFF, 18, 0}, {0x10000, 0x10000, 18, 0}};
  for (const Case &c : cases) {
    Records t;
    std::vector<uint32_t> words = core(0x21, 24);
    words.resize(c.words, 0);
    EXPECT_EQ(xvisualApplyVisualConfigs(words.data(), c.words, c.visuals, c.properties, 68, t.r, 2), c.result)
        << c.visuals << "x" << c.properties;
    EXPECT_EQ(t.r[0].glVersion, c.result ? 68 : 0);
  }
  Records t;
  std::vector<uint32_t> fb(4, 0);
  EXPECT_EQ(xvisualApplyFbConfigs(fb.data(), fb.size(), 0xFFFFFFFF, 1, t.r, 2), 0);
  EXPECT_EQ(xvisualApplyFbConfigs(fb.data(), fb.size(), 1, 0x80000000, t.r, 2), 0);
  EXPECT_EQ(xvisualApplyFbConfigs(fb.data(), fb.size(), 2, 1, t.r, 2), 1);
}

TEST(XvisualGl, FbConfigMustMatchTheVisualRecord) {
  Records t;
  std::vector<uint32_t> words = core(0x21, 24);
  ASSERT_EQ(xvisualApplyVisualConfigs(words.data(), words.size(), 1, 18, 68, t.r, 2), 1);
  auto fb = [](uint32_t depth, uint32_t id) {
    return std::vector<uint32_t>{0x800B, 0x21, 34, 0x8002, 11, 8, 5, 1, 13, 8, 12, depth, 0x8013, id};
  };
  std::vector<uint32_t> other = fb(16, 0x99);
  EXPECT_EQ(xvisualApplyFbConfigs(other.data(), other.size(), 1, 7, t.r, 2), 1);
  EXPECT_EQ(t.r[0].glFbConfigId, 0u);
  std::vector<uint32_t> same = fb(24, 0x77);
  EXPECT_EQ(xvisualApplyFbConfigs(same.data(), same.size(), 1, 7, t.r, 2), 1);
  EXPECT_EQ(t.r[0].glFbConfigId, 0x77u);
}

TEST(XvisualGl, AttributeListsStopAtZeroOrTheirEnd) {
  VisualRecord r{};
  const uint32_t list[] = {5, 1, 0x8013, 9, 0, 0, 6, 1};
  xvisualParseGlxAttributes(list, list + 8, &r);
  EXPECT_EQ(r.glDoubleBuffer, 1u);
  EXPECT_EQ(r.glFbConfigId, 9u);
  EXPECT_EQ(r.glStereo, 0u);
  VisualRecord s{};
  const uint32_t open[] = {8, 5, 36, 3, 7};  // colour size skipped; no closing 0; half a pair
  xvisualParseGlxAttributes(open, open + 5, &s);
  EXPECT_EQ(s.glTransparentIndex, 3u);
  EXPECT_EQ(s.glRedSize, 0);
  EXPECT_EQ(s.glAuxBuffers, 0u);
}

TEST(XvisualGl, GlxClassOfEachVisualClass) {
  const uint32_t expected[] = {0x8007, 0x8006, 0x8005, 0x8004, 0x8002, 0x8003};
  for (unsigned c = 0; c < 6; c++) EXPECT_EQ(xvisualGlxClass(c), expected[c]);
  EXPECT_EQ(xvisualGlxClass(9), 0x8002u);
}

TEST(XvisualGl, ConfigsOfATableWithoutGl) {
  Records t;
  int configs = -1, properties = -1;
  uint32_t *block = xvisualGlxConfigs(t.r, 2, false, &configs, &properties);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(configs, 0);
  xvisualFreeConfigs(block);
}

}  // namespace
