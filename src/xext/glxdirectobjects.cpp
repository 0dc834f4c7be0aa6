// Strings, compressed texture images and query objects on a head that renders GL inside the
// proxy: not executed there yet. Each executes nothing and gives no data; the GLX front answers
// from that as it answers from a library's result.
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
#undef GLXDIRECT_STANDIN
