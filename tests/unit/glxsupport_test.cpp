#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "logcapture_helpers.h"
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

namespace {

std::unique_ptr<GlCapabilities> capsWith(const char *gl, const char *glx) {
  auto caps = std::make_unique<GlCapabilities>();
  glxsupportDefaultCaps(caps.get());
  snprintf(caps->glExtensions, sizeof caps->glExtensions, "%s", gl);
  snprintf(caps->glxExtensions, sizeof caps->glxExtensions, "%s", glx);
  return caps;
}

// The override settings, cleared before and after a test that sets them.
void clearOverrides() {
  for (const char *name : {"glVersion", "glTextureUnits", "glTextureLevels", "glExtensions"}) unsetenv(name);
}

}  // namespace

// Names are whole words: a name inside a longer one is neither found, nor kept out of an
// addition, nor removed in its place.
TEST(Glxsupport, ExtensionNamesAreWholeWords) {
  auto caps = capsWith("GL_EXT_texture3D GL_ARB_multitexture", "GLX_ARB_create_context_no_error GLX_ARB_create_context");
  EXPECT_FALSE(glxsupportHasExtension("GL_EXT_texture", caps.get()));
  EXPECT_TRUE(glxsupportHasExtension("GL_EXT_texture3D", caps.get()));
  EXPECT_TRUE(glxsupportHasExtension("GL_ARB_multitexture", caps.get()));
  EXPECT_FALSE(glxsupportHasExtension("", caps.get()));
  EXPECT_FALSE(glxsupportHasGlxExtension("GLX_ARB_create", caps.get()));
  EXPECT_TRUE(glxsupportHasGlxExtension("GLX_ARB_create_context", caps.get()));

  glxsupportAddExtension("GL_EXT_texture", caps.get());
  EXPECT_STREQ(caps->glExtensions, "GL_EXT_texture3D GL_ARB_multitexture GL_EXT_texture");
  glxsupportAddExtension("GL_EXT_texture", caps.get());  // present: once only
  EXPECT_STREQ(caps->glExtensions, "GL_EXT_texture3D GL_ARB_multitexture GL_EXT_texture");

  glxsupportRemoveExtension("GLX_ARB_create_context", caps->glxExtensions);
  EXPECT_STREQ(caps->glxExtensions, "GLX_ARB_create_context_no_error ");  // last word: the blank before stays
  glxsupportRemoveExtension("GLX_ARB_create_context", caps->glxExtensions);
  EXPECT_STREQ(caps->glxExtensions, "GLX_ARB_create_context_no_error ");
  // After a trailing blank no further blank goes in.
  glxsupportAddGlxExtension("GLX_SGIX_fbconfig", caps.get());
  EXPECT_STREQ(caps->glxExtensions, "GLX_ARB_create_context_no_error GLX_SGIX_fbconfig");

  char text[] = "A AB B AB";
  glxsupportRemoveExtension("AB", text);  // the first whole occurrence and its blank
  EXPECT_STREQ(text, "A B AB");
  glxsupportRemoveExtension("A", text);
  EXPECT_STREQ(text, "B AB");
}

// An addition that does not fit whole leaves the string as it was; an empty string takes the
// name without a blank.
TEST(Glxsupport, AddStaysInsideTheField) {
  auto caps = capsWith("", "");
  glxsupportAddGlxExtension("GLX_first", caps.get());
  EXPECT_STREQ(caps->glxExtensions, "GLX_first");
  std::string full(sizeof caps->glxExtensions - 12, 'x');
  snprintf(caps->glxExtensions, sizeof caps->glxExtensions, "%s", full.c_str());
  glxsupportAddGlxExtension("GLX_0123456789", caps.get());  // 1 + 14 bytes, 11 free
  EXPECT_EQ(std::string(caps->glxExtensions), full);
  glxsupportAddGlxExtension("GLX_ab", caps.get());  // 1 + 6 fit
  EXPECT_EQ(std::string(caps->glxExtensions), full + " GLX_ab");
}

// The word walk: blanks skipped, one blank consumed, NULL at the end; a word beyond 1024
// characters is cut and the cursor still moves past all of it.
TEST(Glxsupport, NextWordWalk) {
  std::string longWord(1500, 'w');
  std::string text = "  one two  " + longWord + " three";
  const char *cursor = text.c_str();
  std::vector<std::string> words;
  while (const char *w = glxsupportNextWord(&cursor)) words.push_back(w);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0], "one");
  EXPECT_EQ(words[1], "two");
  EXPECT_EQ(words[2], std::string(1024, 'w'));
  EXPECT_EQ(words[3], "three");
  EXPECT_EQ(*cursor, '\0');
}

// Intersection: limits go to the smaller, words the other record lacks go (also behind a
// longer name of the other record), texts and the direct flag stay; the overrides win and are
// logged.
TEST(Glxsupport, IntersectLowersAndOverrides) {
  clearOverrides();
  auto mine = capsWith("GL_ARB_multitexture GL_EXT_texture3D GL_EXT_texture", "GLX_a GLX_b");
  auto theirs = capsWith("GL_EXT_texture3D", "GLX_b GLX_c");
  mine->glxVersion = 68, theirs->glxVersion = 66;
  mine->viewportWidth = 4096, theirs->viewportWidth = 2048;
  mine->textureUnits = 2, theirs->textureUnits = 4;
  mine->colorAttachments = 8, theirs->colorAttachments = 0;
  mine->direct = 1;
  snprintf(mine->vendor, sizeof mine->vendor, "Mine");
  snprintf(mine->glVersion, sizeof mine->glVersion, "1.4");
  EXPECT_EQ(glxsupportIntersectCaps(theirs.get(), mine.get()), nullptr);
  EXPECT_EQ(mine->glxVersion, 66u);
  EXPECT_EQ(mine->viewportWidth, 2048);
  EXPECT_EQ(mine->textureUnits, 2);
  EXPECT_EQ(mine->colorAttachments, 0);
  EXPECT_EQ(mine->direct, 1u);
  EXPECT_STREQ(mine->vendor, "Mine");
  EXPECT_STREQ(mine->glVersion, "1.4");
  EXPECT_STREQ(mine->glExtensions, "GL_EXT_texture3D ");
  EXPECT_STREQ(mine->glxExtensions, "GLX_b");

  LogCapture log;
  setenv("glTextureUnits", "8", 1);
  setenv("glVersion", "1.2 forced", 1);
  setenv("glExtensions", "GL_forced GL_other", 1);
  auto again = capsWith("GL_x", "GLX_b GLX_z");
  EXPECT_EQ(glxsupportIntersectCaps(theirs.get(), again.get()), nullptr);
  EXPECT_EQ(again->textureUnits, 8);  // above what the other head has
  EXPECT_STREQ(again->glVersion, "1.2 forced");
  EXPECT_STREQ(again->glExtensions, "GL_forced GL_other");
  EXPECT_STREQ(again->glxExtensions, "GLX_b ");  // GLX words are intersected all the same
  EXPECT_TRUE(log.has(logChannelStep, "Setting glTextureUnits to 8 by env variable..."));
  EXPECT_TRUE(log.has(logChannelStep, "Setting glVersion to 1.2 forced by env variable..."));
  EXPECT_TRUE(log.has(logChannelStep, "Setting glExtensions to GL_forced GL_other by env variable..."));
  clearOverrides();
}

// The GL version of each GLX version, and an unknown one reported.
TEST(Glxsupport, GlVersionOfGlxVersion) {
  LogCapture log;
  const uint32_t gl[] = {64, 64, 65, 66, 67};
  for (uint32_t glx = 64; glx <= 68; glx++) EXPECT_EQ(glxsupportGlxVersion(glx), gl[glx - 64]) << glx;
  EXPECT_TRUE(log.on(logChannelWarning).empty());
  EXPECT_EQ(glxsupportGlxVersion(69), 67u);
  EXPECT_TRUE(log.has(logChannelWarning, "GLX: Unknown GLX version 1.5 - please advise"));
}

// The log line, singular and plural forms, and the word counts (an empty string counts 1).
TEST(Glxsupport, Description) {
  auto caps = capsWith("", "GLX_a GLX_b");
  caps->glxVersion = 68;
  caps->lightSources = 1;
  snprintf(caps->glVersion, sizeof caps->glVersion, "2.1 Mesa");
  snprintf(caps->vendor, sizeof caps->vendor, "V");
  snprintf(caps->renderer, sizeof caps->renderer, "R");
  EXPECT_STREQ(glxsupportDescribeCaps(caps.get()),
               "OpenGL 2.1 Mesa by V (1 exts, indirect rendering), R, shader , max viewport 16x16, 1 texture unit "
               "(6 levels, 128x128 max), 1 light source, 6 clip planes, 1 draw buffer, 0 color attachments, GLX "
               "1.4 (2 exts)");
}
