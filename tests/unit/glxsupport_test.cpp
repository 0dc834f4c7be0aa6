#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>

#include "xclient/glxsupport.h"

// The defaults replace whatever the record held, texts included.
TEST(Glxsupport, DefaultsOverwriteEveryField) {
  auto caps = std::make_unique<GlCapabilities>();
  memset(caps.get(), 0xAB, sizeof *caps);
  glxsupportDefaultCaps(caps.get());
  EXPECT_EQ(caps->glxVersion, 64u);
  EXPECT_EQ(caps->direct, 0u);
  EXPECT_EQ(caps->viewportWidth, 16);
  EXPECT_EQ(caps->viewportHeight, 16);
  EXPECT_EQ(caps->textureUnits, 1);
  EXPECT_EQ(caps->textureLevels, 6);
  EXPECT_EQ(caps->textureWidth, 128);
  EXPECT_EQ(caps->textureHeight, 128);
  EXPECT_EQ(caps->lightSources, 8);
  EXPECT_EQ(caps->clipPlanes, 6);
  EXPECT_EQ(caps->drawBuffers, 1);
  EXPECT_EQ(caps->colorAttachments, 0);
  for (const char *text : {caps->glVersion, caps->vendor, caps->renderer, caps->shadingLanguage,
                           caps->glExtensions, caps->glxExtensions})
    EXPECT_STREQ(text, "");
}

// Levels follow the width alone, rounded down; widths up to 1, and negative ones from a bad
// reply, give none.
TEST(Glxsupport, TextureLevelsFromWidth) {
  struct Case {
    int32_t width;
    int32_t levels;
  } cases[] = {
      {INT32_MIN, 0}, {-128, 0}, {-1, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 1}, {127, 6}, {128, 7},
      {129, 7}, {16384, 14}, {16385, 14}, {INT32_MAX, 30},
  };
  auto caps = std::make_unique<GlCapabilities>();
  for (const Case &c : cases) {
    glxsupportDefaultCaps(caps.get());
    caps->textureWidth = c.width;
    caps->textureHeight = 65536;  // not read
    EXPECT_EQ(glxsupportSetTextureLevels(caps.get()), c.levels) << c.width;
    EXPECT_EQ(caps->textureLevels, c.levels) << c.width;
    EXPECT_EQ(caps->textureWidth, c.width);
    EXPECT_EQ(caps->textureHeight, 65536);
  }
}
