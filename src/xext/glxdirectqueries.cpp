// The state queries of a context rendered inside the proxy: stand-ins that execute nothing and
// give no data (the reply then says so), until the direct executor serves them.
#include "xext/glxdirect.h"

#define GLXDIRECT_STANDIN(name)                                                                   \
  int name(GlxLibraryInstance *, uint32_t, const uint8_t *, uint32_t, GlxDirectResult *result) { \
    if (result) *result = GlxDirectResult{0, 0, nullptr};                                          \
    return 1;                                                                                      \
  }
GLXDIRECT_STANDIN(glxdirectGetBooleanv)
GLXDIRECT_STANDIN(glxdirectGetClipPlane)
GLXDIRECT_STANDIN(glxdirectGetDoublev)
GLXDIRECT_STANDIN(glxdirectGetError)
GLXDIRECT_STANDIN(glxdirectGetFloatv)
GLXDIRECT_STANDIN(glxdirectGetIntegerv)
GLXDIRECT_STANDIN(glxdirectGetLightfv)
GLXDIRECT_STANDIN(glxdirectGetLightiv)
GLXDIRECT_STANDIN(glxdirectGetMapdv)
GLXDIRECT_STANDIN(glxdirectGetMapfv)
GLXDIRECT_STANDIN(glxdirectGetMapiv)
GLXDIRECT_STANDIN(glxdirectGetMaterialfv)
GLXDIRECT_STANDIN(glxdirectGetMaterialiv)
GLXDIRECT_STANDIN(glxdirectGetPixelMapfv)
GLXDIRECT_STANDIN(glxdirectGetPixelMapuiv)
GLXDIRECT_STANDIN(glxdirectGetPixelMapusv)
GLXDIRECT_STANDIN(glxdirectGetTexEnvfv)
GLXDIRECT_STANDIN(glxdirectGetTexEnviv)
GLXDIRECT_STANDIN(glxdirectGetTexGendv)
GLXDIRECT_STANDIN(glxdirectGetTexGenfv)
GLXDIRECT_STANDIN(glxdirectGetTexGeniv)
GLXDIRECT_STANDIN(glxdirectGetTexParameterfv)
GLXDIRECT_STANDIN(glxdirectGetTexParameteriv)
GLXDIRECT_STANDIN(glxdirectGetTexLevelParameterfv)
GLXDIRECT_STANDIN(glxdirectGetTexLevelParameteriv)
GLXDIRECT_STANDIN(glxdirectIsEnabled)
GLXDIRECT_STANDIN(glxdirectIsList)
GLXDIRECT_STANDIN(glxdirectAreTexturesResident)
GLXDIRECT_STANDIN(glxdirectIsTexture)
#undef GLXDIRECT_STANDIN
