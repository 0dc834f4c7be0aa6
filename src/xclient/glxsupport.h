// The GL and GLX capabilities of one renderer: what a head's real server or GL library can do,
// and, after intersection over the heads, what the proxy offers its clients on a meta screen.
#pragma once

#include <cstdint>

// A plain value: copied whole, never shared. Every text is NUL-terminated and cut to its field.
struct GlCapabilities {
  uint32_t glxVersion;           // GLX version code, major * 64 + minor
  uint32_t direct;               // 1 when the renderer renders directly
  int32_t viewportWidth;         // GL_MAX_VIEWPORT_DIMS
  int32_t viewportHeight;
  int32_t textureUnits;          // texture units offered
  int32_t textureLevels;         // mipmap levels offered
  int32_t textureWidth;          // largest texture
  int32_t textureHeight;
  int32_t lightSources;          // GL_MAX_LIGHTS
  int32_t clipPlanes;            // GL_MAX_CLIP_PLANES
  int32_t drawBuffers;           // GL_MAX_DRAW_BUFFERS
  int32_t colorAttachments;      // GL_MAX_COLOR_ATTACHMENTS
  char glVersion[80];            // GL_VERSION
  char vendor[80];               // GL_VENDOR
  char renderer[80];             // GL_RENDERER
  char shadingLanguage[80];      // GL_SHADING_LANGUAGE_VERSION
  char glExtensions[8192];       // blank-separated GL extension names
  char glxExtensions[2048];      // blank-separated GLX extension names
};

// Sets every field to the minimum any renderer offers: GLX 1.0, not direct, viewport 16 x 16,
// 1 texture unit, 6 texture levels, textures up to 128 x 128, 8 lights, 6 clip planes, 1 draw
// buffer, no colour attachments, every text empty. Never fails.
void glxsupportDefaultCaps(GlCapabilities *caps);

// Sets the texture levels to floor(log2(texture width)), 0 for widths up to 1 (negative ones
// too), and returns the new value. Never fails.
int32_t glxsupportSetTextureLevels(GlCapabilities *caps);

// Copies the whole record.
void glxsupportCopyCaps(const GlCapabilities *source, GlCapabilities *destination);

// One line for the log: GL version, vendor, extension counts, renderer, limits and the GLX
// version, in a temporary string of at most 1023 characters. An extension count is the number
// of blanks in the string plus one (an empty string counts as one).
const char *glxsupportDescribeCaps(const GlCapabilities *caps);

// Extension strings hold blank-separated names. Every operation below compares whole words of
// any length: "GL_EXT_texture" is not found in "GL_EXT_texture3D".
// True when the name is a word of the GL (respectively GLX) extension string.
bool glxsupportHasExtension(const char *name, const GlCapabilities *caps);
bool glxsupportHasGlxExtension(const char *name, const GlCapabilities *caps);
// The same in any such list (NULL: no), as a library's own string gives it.
bool glxsupportHasWord(const char *list, const char *name);
// Appends the name (after a blank when the string is not empty and does not end in white
// space) unless it is already there. A name that does not fit whole into the field is not
// added.
void glxsupportAddExtension(const char *name, GlCapabilities *caps);
void glxsupportAddGlxExtension(const char *name, GlCapabilities *caps);
// Removes the first occurrence of the name as a word together with the blank after it; a last
// word is cut off where it starts, so a blank before it stays. Absent: nothing.
void glxsupportRemoveExtension(const char *name, char *string);
// Skips white space, copies the following word (at most 1024 characters) into one static
// buffer that the next call overwrites, moves *cursor past the word and one following blank,
// and returns the buffer; NULL when no word is left.
const char *glxsupportNextWord(const char **cursor);

// Lowers caps to what other allows (GLX version, limits, extension words) and applies the
// environment overrides glVersion, glTextureUnits, glTextureLevels and glExtensions (each
// logged on the step channel). The direct flag and the vendor, renderer and shading-language
// texts stay. Returns NULL.
const char *glxsupportIntersectCaps(const GlCapabilities *other, GlCapabilities *caps);

// The GL version code that goes with a GLX version code (1.0 and 1.1: GL 1.0, 1.2: 1.1, 1.3: 1.2,
// 1.4: 1.3); any other code is logged as unknown on the warning channel and gives GL 1.3.
uint32_t glxsupportGlxVersion(uint32_t glxVersion);

// The bytes, header included, of a large render command (8-byte header: u32 length, u32 render
// opcode, then its fields, in this machine's order) that go into the first GLXRenderLarge piece
// before the rest is cut into pieces of equal size. Counts inside the command are read only when
// they lie inside its length bytes (else taken as 0); the result is never above the command's
// length nor above 262124. An opcode without a known leading part is logged on the warning
// channel and takes 60 bytes.
uint64_t glxsupportLargeRenderSize(const uint8_t *command, uint64_t length);
