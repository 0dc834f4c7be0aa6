// GL rendered inside the proxy for a head (a head with a GL library instance): what the window,
// drawing and image requests tell it, the start and release of a head's instance, and the
// operations the GLX context code calls for such a head.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "xclient/glxsupport.h"

struct Head;
// One GL library loaded into the proxy for one real display.
struct GlxLibraryInstance;

// A window of the head's server (its id there) is mapped or unmapped: rendering the proxy holds
// for it is flushed first. No head has a GL library instance yet: nothing to do.
void glxdirectFlushForDrawable(Head *head, uint32_t serverDrawable);
// Finishes the GL work of every head that renders GL inside the proxy (before pixels are read),
// and flushes every client after such a read. No head renders GL inside the proxy yet: both do
// nothing.
void glxdirectFinishAll();
void glxdirectFlushAll();

// ===== instances =====
// Starts GL inside the proxy on one head: the library list (colon-separated), the GLX version
// code the proxy offers, the head's Display and screen; on success the instance is stored
// through *instance and caps is filled. NULL or a failure text. Not built yet: every call
// answers "not available yet".
const char *glxdirectSetupDisplay(const char *library, uint32_t glxVersion, Display *display, int screen,
                                  GlxLibraryInstance **instance, GlCapabilities *caps);
// Drops one reference of the instance (NULL: nothing).
void glxdirectFreeInstance(GlxLibraryInstance *instance);
// True while at least one instance exists (none can yet).
bool glxdirectAvailable();
// ===== end of instances =====

// ===== tags, contexts and drawables =====
// A tag slot (from 1) for the context serial made current on the draw and read drawables under
// the proxy tag; 0 on failure (always, until instances exist).
uint32_t glxdirectCreateTag(GlxLibraryInstance *instance, uint32_t contextSerial, uint32_t drawDrawable,
                            uint32_t readDrawable, uint32_t proxyTag);
// Frees a tag slot.
void dGLDestroyTag(GlxLibraryInstance *instance, uint32_t slot);
// Destroys the direct context of that serial (its tag slots first).
void dGLDestroyContext(GlxLibraryInstance *instance, uint32_t contextSerial);
// Destroy a direct GLX pixmap or pbuffer of the instance.
void glxdirectDestroyGLXPixmap(GlxLibraryInstance *instance, uint32_t pixmap);
void glxdirectDestroyPbuffer(GlxLibraryInstance *instance, uint32_t pbuffer);
// ===== end of tags, contexts and drawables =====

// ===== requests on contexts and drawables =====
// A new direct context (its serial) on the head's screen for the server visual or FBConfig,
// sharing with the direct context of that serial (0: none); 0 on failure (always, until
// instances exist).
uint32_t dGLCreateContext(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t shareContext,
                          const int *attributes);
uint32_t glxdirectCreateNewContext(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t renderType,
                                   uint32_t shareContext);
// glFinish, respectively XSync, for the context behind the tag slot.
void glxdirectWaitGL(GlxLibraryInstance *instance, uint32_t slot);
void glxdirectWaitX(GlxLibraryInstance *instance, uint32_t slot);
// A direct GLX pixmap or pbuffer; 0 on failure (always, until instances exist).
uint32_t glxdirectCreateGLXPixmap(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t pixmap);
uint32_t glxdirectCreatePbuffer(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t width,
                                uint32_t height, uint32_t largest, uint32_t preserved);
// Swap, copy context state and make display lists of a font under the tag slot.
void glxdirectSwapBuffers(GlxLibraryInstance *instance, uint32_t slot, uint32_t drawable);
void glxdirectCopyContext(GlxLibraryInstance *instance, uint32_t source, uint32_t destination, uint32_t mask,
                          uint32_t slot);
void glxdirectUseXFont(GlxLibraryInstance *instance, uint32_t slot, uint32_t font, uint32_t first, uint32_t count,
                       uint32_t listBase);
// ===== end of requests on contexts and drawables =====

// ===== render streams =====
// A stream of render commands (16-bit headers) in [first, end), respectively one complete
// large render command, for the context behind the tag slot. Nothing until instances exist.
void glxdirectRender(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *first, const uint8_t *end);
void glxdirectRenderLarge(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *command, uint64_t length);
// ===== end of render streams =====

// ===== single operations =====
// What a single operation executed inside the proxy gives back: a return value, a count of
// items and the items themselves (count * the operation's item size bytes).
struct GlxDirectResult {
  int32_t value;
  uint32_t count;
  const uint8_t *data;  // owned by the instance, valid until its next operation; NULL: none
};
// One single operation on the context behind the tag slot, its parameters the request's bytes
// from 8 on (in this machine's order): 1 when executed, 0 when it could not be. Until instances
// exist each executes nothing and gives no data.
using GlxDirectSingle = int (*)(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params,
                                uint32_t length, GlxDirectResult *result);
#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)
GLXDIRECT_SINGLE(glxdirectNewList);
GLXDIRECT_SINGLE(glxdirectEndList);
GLXDIRECT_SINGLE(glxdirectDeleteLists);
GLXDIRECT_SINGLE(glxdirectGenLists);
GLXDIRECT_SINGLE(glxdirectFeedbackBuffer);
GLXDIRECT_SINGLE(glxdirectSelectBuffer);
GLXDIRECT_SINGLE(glxdirectFinish);
GLXDIRECT_SINGLE(glxdirectPixelStoref);
GLXDIRECT_SINGLE(glxdirectPixelStorei);
GLXDIRECT_SINGLE(glxdirectFlush);
GLXDIRECT_SINGLE(glxdirectDeleteTextures);
GLXDIRECT_SINGLE(glxdirectGenTextures);
GLXDIRECT_SINGLE(glxdirectDeleteQueries);
GLXDIRECT_SINGLE(glxdirectDeleteBuffers);
// The state queries: one stand-in serves every query whose answer is a value list (GetDoublev,
// GetLightfv, IsEnabled ...) and the operations whose replies other code builds.
GLXDIRECT_SINGLE(glxdirectQuery);
#undef GLXDIRECT_SINGLE
// ===== end of single operations =====
