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
