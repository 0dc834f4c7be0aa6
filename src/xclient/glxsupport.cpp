// The GL capability record: defaults and derived values.
#include "xclient/glxsupport.h"

#include <cstring>

#include "support/numbers.h"

void glxsupportDefaultCaps(GlCapabilities *caps) {
  memset(caps, 0, sizeof *caps);  // not direct, every text empty
  caps->glxVersion = 64;          // 1.0
  caps->viewportWidth = 16;
  caps->viewportHeight = 16;
  caps->textureUnits = 1;
  caps->textureLevels = 6;
  caps->textureWidth = 128;
  caps->textureHeight = 128;
  caps->lightSources = 8;
  caps->clipPlanes = 6;
  caps->drawBuffers = 1;
  caps->colorAttachments = 0;
}

int32_t glxsupportSetTextureLevels(GlCapabilities *caps) {
  // A width from a reply may be anything; a negative one must not be read as a huge unsigned.
  int32_t width = caps->textureWidth;
  caps->textureLevels = width <= 1 ? 0 : mathFloorLog2(static_cast<uint64_t>(width));
  return caps->textureLevels;
}
