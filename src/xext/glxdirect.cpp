// GL rendered inside the proxy: the GL library instances and the set-up of a head that renders
// with one, under a guard that turns a crash inside the library into a failure.
#include "xext/glxdirect.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/xdisplay.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/process.h"
#include "support/strtemp.h"
#include "xclient/misc.h"
#include "xext/glxinstance.h"
#include "xext/plugin.h"

namespace {

constexpr const char *kSource = "Xext/glxdirect";
constexpr const char *kCrashText = "GL lib has crashed";

// GL state the set-up reads.
constexpr uint32_t kGlMaxViewportDims = 0x0D3A;
constexpr uint32_t kGlMaxTextureUnits = 0x84E2;
constexpr uint32_t kGlMaxTextureSize = 0x0D33;
constexpr uint32_t kGlMaxLights = 0x0D31;
constexpr uint32_t kGlMaxClipPlanes = 0x0D32;
constexpr uint32_t kGlMaxDrawBuffers = 0x8824;
constexpr uint32_t kGlMaxColorAttachments = 0x8CDF;
constexpr uint32_t kGlMaxRenderbufferSize = 0x84E8;
constexpr uint32_t kGlReadFramebufferBinding = 0x8CAA;
constexpr uint32_t kGlFramebufferBindingExt = 0x8CA6;
// Errors a library may have queued at most (one per error kind): glGetError is asked no more
// often than this to empty the queue.
constexpr int kQueuedErrors = 8;
constexpr uint32_t kGlVendor = 0x1F00;
constexpr uint32_t kGlRenderer = 0x1F01;
constexpr uint32_t kGlVersion = 0x1F02;
constexpr uint32_t kGlExtensions = 0x1F03;
constexpr uint32_t kGlShadingLanguageVersion = 0x8B8C;

// Room for the longest answer of glGetIntegerv to any parameter the proxy asks for.
constexpr int kGetIntegerRoom = 16;

// The signals the crash guard catches, in the order their handlers are pushed and popped.
constexpr int kCrashSignals[] = {SIGILL, SIGSEGV, SIGBUS, SIGFPE, SIGABRT};

// The instance list: first record, its prev the last.
GlxLibraryInstance *instances = nullptr;

// The crash guard. One set-up at a time, on the event-loop thread: the jump point saves the
// signal mask (the handlers run with their signal blocked, and a jump that left it blocked
// would let the next fault kill the process without a word).
sigjmp_buf crashJumpPoint;
volatile sig_atomic_t crashGuardArmed = 0;
pthread_t crashGuardThread;

// How far the guarded part of the set-up got, for the clean-up after a crash (kept outside the
// frame that the jump returns into).
struct SetupProgress {
  GlxLibraryInstance *instance;  // the instance this head uses, once known
  bool listed;                   // in the list (shared or appended): released through
                                 // glxdirectFreeInstance; else only the record is freed
};
SetupProgress progress;

void pushCrashHandlers() {
  for (int signal : kCrashSignals) processPushSignal(glxdirectCrashJump, signal);
}

void popCrashHandlers() {
  for (int signal : kCrashSignals) processPopSignal(glxdirectCrashJump, signal);
}

void appendInstance(GlxLibraryInstance *instance) {
  instance->next = nullptr;
  if (!instances) {
    instance->prev = instance;
    instances = instance;
    return;
  }
  GlxLibraryInstance *last = instances->prev;
  last->next = instance;
  instance->prev = last;
  instances->prev = instance;
}

void unlinkInstance(GlxLibraryInstance *instance) {
  if (instance == instances) {
    instances = instance->next;
    if (instances) instances->prev = instance->prev;
  } else {
    instance->prev->next = instance->next;
    if (instance->next)
      instance->next->prev = instance->prev;
    else
      instances->prev = instance->prev;
  }
  instance->next = instance->prev = nullptr;
}

GlxLibraryInstance *findInstance(Display *display, const char *library) {
  for (GlxLibraryInstance *i = instances; i; i = i->next)
    if (i->display == display && strcmp(i->libraryText, library) == 0) return i;
  return nullptr;
}

// Frees what the record owns and the record; the library is left to the caller.
void freeRecord(GlxLibraryInstance *instance) {
  glxdirectFreeListNames(instance);
  glxdirectFreeTextureLevels(instance);
  free(instance->scratch);
  free(instance->selectBuffer);
  free(instance->feedbackBuffer);
  for (GlxDirectPixmapOn *on = instance->pixmapsOn; on;) {
    GlxDirectPixmapOn *next = on->next;
    free(on);
    on = next;
  }
  for (GlxDirectContext *node = instance->contexts; node;) {
    GlxDirectContext *next = node->next;
    glxdirectFreeCompileBody(node);
    free(node->selectBuffer);
    free(node->feedbackBuffer);
    free(node);
    node = next;
  }
  free(instance);
}

// The record's last use of its library goes, then the record. The library was loaded never to
// be unmapped: this drops the record's use of it only.
void unloadAndFree(GlxLibraryInstance *instance) {
  if (const char *error = pluginUnload(instance->library)) logProblem(error, kSource, __LINE__);
  freeRecord(instance);
}

// The values of glGetIntegerv for pname; every value the library does not write stays 0.
void getIntegers(GlxLibraryInstance *instance, uint32_t pname, GLint (&values)[kGetIntegerRoom]) {
  memset(values, 0, sizeof values);
  instance->functions.glGetIntegerv(pname, values);
}

// Whether the library knows the integer pname (its glGetIntegerv leaves no error). Errors queued
// before are taken first; the probe's context ends with the probe, and with it what was asked.
bool knowsInteger(GlxLibraryInstance *instance, uint32_t pname) {
  GlFunctionTable &gl = instance->functions;
  for (int k = 0; k < kQueuedErrors && gl.glGetError() != 0; k++) {
  }
  glxdirectGetInteger(instance, pname);
  bool known = gl.glGetError() == 0;
  for (int k = 0; k < kQueuedErrors && gl.glGetError() != 0; k++) {
  }
  return known;
}

// The library's largest drawable and its framebuffer query (GlxLibraryInstance), with the
// probe's context current.
void takeDrawableLimits(GlxLibraryInstance *instance, const GlCapabilities *caps) {
  uint32_t width = caps->viewportWidth > 0 ? uint32_t(caps->viewportWidth) : 0;
  uint32_t height = caps->viewportHeight > 0 ? uint32_t(caps->viewportHeight) : 0;
  int32_t renderbuffer =
      knowsInteger(instance, kGlMaxRenderbufferSize) ? glxdirectGetInteger(instance, kGlMaxRenderbufferSize) : 0;
  if (renderbuffer > 0) {
    width = width ? std::min(width, uint32_t(renderbuffer)) : uint32_t(renderbuffer);
    height = height ? std::min(height, uint32_t(renderbuffer)) : uint32_t(renderbuffer);
  }
  instance->largestWidth = width;
  instance->largestHeight = height;
  instance->readFramebufferQuery = knowsInteger(instance, kGlReadFramebufferBinding) ? kGlReadFramebufferBinding
                                   : knowsInteger(instance, kGlFramebufferBindingExt) ? kGlFramebufferBindingExt
                                                                                      : 0;
  instance->programQueries =
      uint8_t((knowsInteger(instance, kGlxDirectCurrentProgram) ? kGlxDirectKnowsProgram : 0) |
              (knowsInteger(instance, kGlxDirectVertexProgram) ? kGlxDirectKnowsVertexProgram : 0) |
              (knowsInteger(instance, kGlxDirectProgramPipelineBinding) ? kGlxDirectKnowsPipeline : 0));
}

// Copies a text of the library into a field of size bytes, cut to size - 1 characters.
void copyText(char *field, size_t size, const char *text) {
  if (!text) return;
  size_t length = strnlen(text, size - 1);
  memcpy(field, text, length);
  field[length] = 0;
}

// Copies a blank-separated list of names into a field of size bytes. A list that does not fit
// ends after the last whole name that does, without the blank after it: a cut name could be
// another extension's name.
void copyNames(char *field, size_t size, const char *text) {
  if (!text) return;
  size_t length = strnlen(text, size);
  if (length == size) {
    length = size - 1;
    if (text[length] != ' ') {
      while (length > 0 && text[length - 1] != ' ') length--;
    }
    while (length > 0 && text[length - 1] == ' ') length--;
  }
  memcpy(field, text, length);
  field[length] = 0;
}

const char *getString(GlxLibraryInstance *instance, uint32_t name) {
  return reinterpret_cast<const char *>(instance->functions.glGetString(name));
}

// Steps 9 to 14 of the set-up for the head: a test context and window, the queries, and the
// clean-up of both. NULL or a failure text; on failure the instance has been released.
const char *probeLibrary(GlxLibraryInstance *instance, Display *display, int screen, XVisualInfo *visualInfo,
                         uint32_t glxVersion, GlCapabilities *caps) {
  GlFunctionTable &gl = instance->functions;
  const char *local = xmiscLocalDisplayPart(display);
  const char *path = pluginPath(instance->library);

  logStep("Lumora: Creating context ...");
  GLXContext context = gl.glXCreateContext(display, visualInfo, nullptr, True);
  if (!context) {
    const char *text = strTempPrintf("Can't create direct rendering context using GL lib %s", path);
    progress = {};
    glxdirectFreeInstance(instance);
    return text;
  }
  if (!gl.glXIsDirect(display, context))
    LOG(logChannelWarning, "No direct rendering to display %s by GL lib %s", local, path);

  logStep("Lumora: Creating window ...");
  Window root = RootWindow(display, screen);
  Colormap colormap = XCreateColormap(display, root, visualInfo->visual, AllocNone);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = BlackPixel(display, screen);
  attributes.border_pixel = BlackPixel(display, screen);
  attributes.override_redirect = True;
  attributes.colormap = colormap;
  Window window = XCreateWindow(display, root, 0, 0, 1, 1, 0, visualInfo->depth, InputOutput, visualInfo->visual,
                                CWBackPixel | CWBorderPixel | CWOverrideRedirect | CWColormap, &attributes);
  XFlush(display);

  logStep("Lumora: Making context current ...");
  if (!gl.glXMakeCurrent(display, window, context)) {
    gl.glXDestroyContext(display, context);
    XDestroyWindow(display, window);
    XFreeColormap(display, colormap);
    XFlush(display);
    progress = {};
    glxdirectFreeInstance(instance);
    return "Can't make GLX context current";
  }

  logStep("Lumora: Querying features ...");
  glxsupportDefaultCaps(caps);
  caps->glxVersion = glxVersion;
  caps->direct = gl.glXIsDirect(display, context) ? 1 : 0;
  GLint values[kGetIntegerRoom];
  getIntegers(instance, kGlMaxViewportDims, values);
  caps->viewportWidth = values[0];
  caps->viewportHeight = values[1];
  // Twice the fixed-function units: only logs and the intersection over heads read it.
  caps->textureUnits = 2 * glxdirectGetInteger(instance, kGlMaxTextureUnits);
  caps->textureWidth = caps->textureHeight = glxdirectGetInteger(instance, kGlMaxTextureSize);
  caps->lightSources = glxdirectGetInteger(instance, kGlMaxLights);
  caps->clipPlanes = glxdirectGetInteger(instance, kGlMaxClipPlanes);
  caps->drawBuffers = glxdirectGetInteger(instance, kGlMaxDrawBuffers);
  caps->colorAttachments = glxdirectGetInteger(instance, kGlMaxColorAttachments);
  copyText(caps->glVersion, sizeof caps->glVersion, getString(instance, kGlVersion));
  copyText(caps->vendor, sizeof caps->vendor, getString(instance, kGlVendor));
  copyText(caps->renderer, sizeof caps->renderer, getString(instance, kGlRenderer));
  copyText(caps->shadingLanguage, sizeof caps->shadingLanguage, getString(instance, kGlShadingLanguageVersion));
  const char *extensions = getString(instance, kGlExtensions);
  copyNames(caps->glExtensions, sizeof caps->glExtensions, extensions);
  // Looked for in the whole string (the field may hold only its beginning).
  instance->fences = glxsupportHasWord(extensions, "GL_ARB_sync") ? 1 : 0;
  copyNames(caps->glxExtensions, sizeof caps->glxExtensions, gl.glXQueryExtensionsString(display, screen));
  glxsupportSetTextureLevels(caps);
  glxsupportCopyCaps(caps, &instance->capabilities);
  takeDrawableLimits(instance, caps);

  gl.glXMakeCurrent(display, None, nullptr);
  gl.glXDestroyContext(display, context);
  XDestroyWindow(display, window);
  XFreeColormap(display, colormap);
  XFlush(display);
  return nullptr;
}

// Steps 6 to 14: the instance for the display and library text (shared or new) and the probe.
const char *setupGuarded(const char *library, uint32_t glxVersion, Display *display, int screen,
                         XVisualInfo *visualInfo, GlCapabilities *caps) {
  GlxLibraryInstance *instance = findInstance(display, library);
  if (instance) {
    instance->referenceCount++;
    progress = {instance, true};
  } else {
    instance = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
    if (!instance) return OUT_OF_MEMORY_TEXT_AT(kSource);
    instance->scratch = static_cast<uint8_t *>(calloc(1, kGlxDirectScratchSize));
    if (!instance->scratch) {
      free(instance);
      return OUT_OF_MEMORY_TEXT_AT(kSource);
    }
    instance->scratchSize = kGlxDirectScratchSize;
    progress = {instance, false};
    instance->glVersion = glxsupportGlxVersion(glxVersion);
    if (const char *error = glxdirectLoadFunctions(library, instance->glVersion, instance)) {
      progress = {};
      freeRecord(instance);
      return error;
    }
    instance->renderMode = kGlxDirectRenderMode;
    instance->display = display;
    copyText(instance->libraryText, sizeof instance->libraryText, library);
    appendInstance(instance);
    progress.listed = true;
  }
  return probeLibrary(instance, display, screen, visualInfo, glxVersion, caps);
}

// Steps 5 to 14 with the crash guard armed: a crash inside the library comes back here as
// "GL lib has crashed", after which nothing more is asked of the library. Nothing of this frame
// is changed between the jump point and the jump: what the clean-up needs is in progress.
const char *setupUnderGuard(const char *library, uint32_t glxVersion, Display *display, int screen,
                            XVisualInfo *visualInfo, GlCapabilities *caps) {
  progress = {};
  if (sigsetjmp(crashJumpPoint, 1) != 0) {
    popCrashHandlers();
    if (progress.instance) {
      if (progress.listed)
        glxdirectFreeInstance(progress.instance);
      else
        freeRecord(progress.instance);
    }
    progress = {};
    return kCrashText;
  }
  crashGuardThread = pthread_self();
  crashGuardArmed = 1;
  pushCrashHandlers();
  const char *error = setupGuarded(library, glxVersion, display, screen, visualInfo, caps);
  crashGuardArmed = 0;
  popCrashHandlers();
  return error;
}

}  // namespace

void glxdirectCrashJump(int signal) {
  if (crashGuardArmed && pthread_equal(pthread_self(), crashGuardThread)) {
    crashGuardArmed = 0;
    siglongjmp(crashJumpPoint, 1);
  }
  // A fault on another thread (a renderer thread of the library) or outside the guard cannot be
  // undone here: the default action, delivered when this handler returns.
  ::signal(signal, SIG_DFL);
  raise(signal);
}

int32_t glxdirectGetInteger(GlxLibraryInstance *instance, uint32_t pname) {
  GLint values[kGetIntegerRoom];
  getIntegers(instance, pname, values);
  return values[0];
}

const char *glxdirectSetupDisplay(const char *library, uint32_t glxVersion, Display *display, int screen,
                                  GlxLibraryInstance **instance, GlCapabilities *caps) {
  if (instance) *instance = nullptr;
  if (!library) library = "";
  if (xdisplayIsRemote(display)) return "Display is remote";

  logStep("Lumora: Querying visuals of display %s, screen %d ...", xmiscLocalDisplayPart(display), screen);
  VisualRecord *records = nullptr;
  int count = 0;
  if (const char *error = xvisualBuildHeadVisuals(display, screen, &records, &count)) return error;
  const VisualRecord *chosen = nullptr;
  for (int i = 0; i < count && !chosen; i++)
    if (records[i].glVersion) chosen = &records[i];
  if (!chosen) {
    xvisualFreeArray(records, count);
    return "No OpenGL capable visual available";
  }
  logStep("Lumora: Using %s ...", xvisualDescribe(chosen));
  XVisualInfo wanted{};
  wanted.visualid = chosen->visualId;
  wanted.screen = screen;
  int found = 0;
  XVisualInfo *visualInfo = XGetVisualInfo(display, VisualIDMask | VisualScreenMask, &wanted, &found);
  if (!visualInfo || found <= 0) {
    if (visualInfo) XFree(visualInfo);
    xvisualFreeArray(records, count);
    return "No OpenGL capable visual available";
  }

  GlCapabilities local;
  GlCapabilities *filled = caps ? caps : &local;
  const char *error = setupUnderGuard(library, glxVersion, display, screen, visualInfo, filled);
  GlxLibraryInstance *made = progress.instance;
  progress = {};
  XFree(visualInfo);
  xvisualFreeArray(records, count);
  if (error) return error;
  if (instance) *instance = made;
  logStep("Lumora enabled at %s using %s: %s ...", xmiscLocalDisplayPart(display), pluginPath(made->library),
          glxsupportDescribeCaps(filled));
  return nullptr;
}

void glxdirectFreeInstance(GlxLibraryInstance *instance) {
  if (!instance) return;
  if (instance->referenceCount > 0) {
    instance->referenceCount--;
    return;
  }
  unlinkInstance(instance);
  if (instance->contextsEnding) {  // (freed once they have ended: glxdirectContextEnded)
    instance->freeOnceEnded = 1;
    return;
  }
  unloadAndFree(instance);
}

void glxdirectContextEnded(GlxLibraryInstance *instance) {
  instance->contextsEnding--;
  if (!instance->freeOnceEnded) {
    if (!instance->contexts) glxdirectReopenLibrary(instance);
    return;
  }
  if (instance->contextsEnding == 0) unloadAndFree(instance);
}

void glxdirectFreeUnlisted(GlxLibraryInstance *instance) {
  if (instance) freeRecord(instance);
}

bool glxdirectAvailable() { return instances != nullptr; }

bool glxdirectFinishEvery() {
  // By place in the list, each at most once: the list may change while a finish stands.
  for (size_t k = 0;; k++) {
    GlxLibraryInstance *instance = instances;
    for (size_t j = 0; instance && j < k; j++) instance = instance->next;
    if (!instance) return true;
    if (!glxdirectFinishAll(instance)) return false;
  }
}

void glxdirectLetGoOfOversizedAll() {
  for (GlxLibraryInstance *instance = instances; instance; instance = instance->next)
    glxdirectLetGoOfOversized(instance);
}

