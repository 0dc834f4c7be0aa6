// GL rendered inside the proxy: the stand-ins until heads get GL library instances. No instance
// can be made, so every operation on one has nothing to do.
#include "xext/glxdirect.h"

void glxdirectFlushForDrawable(Head *, uint32_t) {}
void glxdirectFinishAll() {}
void glxdirectFlushAll() {}

const char *glxdirectSetupDisplay(const char *, uint32_t, Display *, int, GlxLibraryInstance **instance,
                                  GlCapabilities *) {
  if (instance) *instance = nullptr;
  return "not available yet";
}
void glxdirectFreeInstance(GlxLibraryInstance *) {}
bool glxdirectAvailable() { return false; }

uint32_t glxdirectCreateTag(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t) { return 0; }
void dGLDestroyTag(GlxLibraryInstance *, uint32_t) {}
void dGLDestroyContext(GlxLibraryInstance *, uint32_t) {}
void glxdirectDestroyGLXPixmap(GlxLibraryInstance *, uint32_t) {}
void glxdirectDestroyPbuffer(GlxLibraryInstance *, uint32_t) {}

uint32_t dGLCreateContext(GlxLibraryInstance *, int, uint32_t, uint32_t, const int *) { return 0; }
uint32_t glxdirectCreateNewContext(GlxLibraryInstance *, int, uint32_t, uint32_t, uint32_t) { return 0; }
void glxdirectWaitGL(GlxLibraryInstance *, uint32_t) {}
void glxdirectWaitX(GlxLibraryInstance *, uint32_t) {}
uint32_t glxdirectCreateGLXPixmap(GlxLibraryInstance *, int, uint32_t, uint32_t) { return 0; }
uint32_t glxdirectCreatePbuffer(GlxLibraryInstance *, int, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return 0;
}
void glxdirectRender(GlxLibraryInstance *, uint32_t, const uint8_t *, const uint8_t *) {}
void glxdirectRenderLarge(GlxLibraryInstance *, uint32_t, const uint8_t *, uint64_t) {}
void glxdirectSwapBuffers(GlxLibraryInstance *, uint32_t, uint32_t) {}
void glxdirectCopyContext(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t) {}
void glxdirectUseXFont(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}

// Single operations: executed nowhere, no data.
#define GLXDIRECT_STANDIN(name)                                                                   \
  int name(GlxLibraryInstance *, uint32_t, const uint8_t *, uint32_t, GlxDirectResult *result) { \
    if (result) *result = GlxDirectResult{0, 0, nullptr};                                          \
    return 1;                                                                                      \
  }
GLXDIRECT_STANDIN(glxdirectNewList)
GLXDIRECT_STANDIN(glxdirectEndList)
GLXDIRECT_STANDIN(glxdirectDeleteLists)
GLXDIRECT_STANDIN(glxdirectGenLists)
GLXDIRECT_STANDIN(glxdirectFeedbackBuffer)
GLXDIRECT_STANDIN(glxdirectSelectBuffer)
GLXDIRECT_STANDIN(glxdirectFinish)
GLXDIRECT_STANDIN(glxdirectPixelStoref)
GLXDIRECT_STANDIN(glxdirectPixelStorei)
GLXDIRECT_STANDIN(glxdirectFlush)
GLXDIRECT_STANDIN(glxdirectDeleteTextures)
GLXDIRECT_STANDIN(glxdirectGenTextures)
GLXDIRECT_STANDIN(glxdirectDeleteQueries)
GLXDIRECT_STANDIN(glxdirectDeleteBuffers)
GLXDIRECT_STANDIN(glxdirectQuery)
#undef GLXDIRECT_STANDIN
