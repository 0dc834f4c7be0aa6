// Query, shader and buffer objects on a head that renders GL inside the proxy: the stand-ins
// until heads get GL library instances. No instance can be made, so each executes nothing and
// gives no data; the GLX front answers from that as it answers from a library's result.
#include "support/logging.h"
#include "xext/glxdirect.h"

#define GLXDIRECT_STANDIN(name)                                                                   \
  int name(GlxLibraryInstance *, uint32_t, const uint8_t *, uint32_t, GlxDirectResult *result) { \
    if (result) *result = GlxDirectResult{0, 0, nullptr};                                          \
    return 1;                                                                                      \
  }
GLXDIRECT_STANDIN(glxdirectGetString)
GLXDIRECT_STANDIN(glxdirectGetCompressedTexImage)
GLXDIRECT_STANDIN(glxdirectGenQueries)
GLXDIRECT_STANDIN(glxdirectIsQuery)
GLXDIRECT_STANDIN(glxdirectGetQueryiv)
GLXDIRECT_STANDIN(glxdirectGetQueryObjectiv)
GLXDIRECT_STANDIN(glxdirectGetQueryObjectuiv)
GLXDIRECT_STANDIN(glxdirectGetHandle)
GLXDIRECT_STANDIN(glxdirectCreateShaderObject)
GLXDIRECT_STANDIN(glxdirectCreateProgramObject)
GLXDIRECT_STANDIN(glxdirectGenBuffers)
GLXDIRECT_STANDIN(glxdirectIsBuffer)
GLXDIRECT_STANDIN(glxdirectGetBufferSubData)
GLXDIRECT_STANDIN(glxdirectGetBufferParameteriv)
GLXDIRECT_STANDIN(glxdirectGetBufferPointerv)
GLXDIRECT_STANDIN(glxdirectMapBuffer)
GLXDIRECT_STANDIN(glxdirectUnmapBuffer)
#undef GLXDIRECT_STANDIN

// Element ranges have no GL call behind them: the front answers with an empty range.
int glxdirectGetElementRange(GlxLibraryInstance *, uint32_t, const uint8_t *, uint32_t, GlxDirectResult *result) {
  logProblem("WIP", __FILE__, __LINE__);
  if (result) *result = GlxDirectResult{0, 0, nullptr};
  return 1;
}
