// The GLX extension: set-up (how every head serves GLX, the versions every head supports, the
// rows by version), the extension strings the proxy reports, and the GLX events and errors
// that come back from a real server.
#include "xext/glx.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xcore.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/glxdirect.h"

GlxHeadQuery glxQueryHead = xvisualQueryGlx;

namespace {

// ----- Request rows ------------------------------------------------------------------------

// A minor is served while the record's version code is above its gate (0: always).
struct GlxRow {
  uint8_t minor;
  uint16_t gate;
  const char *name;
};

constexpr uint16_t kAlways = 0, kGlx11 = 64, kGlx12 = 65, kGlx13 = 66, kGlx14 = 67;

constexpr GlxRow kRows[] = {
    {1, kAlways, "GLXRender"},
    {2, kAlways, "GLXRenderLarge"},
    {3, kAlways, "GLXCreateContext"},
    {4, kAlways, "GLXDestroyContext"},
    {5, kAlways, "GLXMakeCurrent"},
    {6, kAlways, "GLXIsDirect"},
    {7, kAlways, "GLXQueryVersion"},
    {8, kAlways, "GLXWaitGL"},
    {9, kAlways, "GLXWaitX"},
    {10, kAlways, "GLXCopyContext"},
    {11, kAlways, "GLXSwapBuffers"},
    {12, kAlways, "GLXUseXFont"},
    {13, kAlways, "GLXCreateGLXPixmap"},
    {14, kAlways, "GLXGetVisualConfigs"},
    {15, kAlways, "GLXDestroyGLXPixmap"},
    {16, kAlways, "GLXVendorPrivate"},
    {17, kAlways, "GLXVendorPrivateWithReply"},
    {18, kGlx11, "GLXQueryExtensionsString"},
    {19, kGlx11, "GLXQueryServerString"},
    {20, kGlx11, "GLXClientInfo"},
    {21, kAlways, "GLXGetFBConfigs"},
    {22, kGlx13, "GLXCreatePixmap"},
    {23, kGlx13, "GLXDestroyPixmap"},
    {24, kGlx13, "GLXCreateNewContext"},
    {25, kGlx13, "GLXQueryContext"},
    {26, kGlx13, "GLXMakeContextCurrent"},
    {27, kGlx13, "GLXCreatePbuffer"},
    {28, kGlx13, "GLXDestroyPbuffer"},
    {29, kGlx13, "GLXGetDrawableAttributes"},
    {30, kGlx13, "GLXChangeDrawableAttributes"},
    {31, kGlx13, "GLXCreateWindow"},
    {32, kGlx13, "GLXDestroyWindow"},
    {33, kAlways, "GLXSetClientInfo"},
    {34, kAlways, "GLXCreateContextAttribs"},
    {35, kAlways, "GLXSetClientInfo2"},
    {101, kAlways, "GLXNewList"},
    {102, kAlways, "GLXEndList"},
    {103, kAlways, "GLXDeleteLists"},
    {104, kAlways, "GLXGenLists"},
    {105, kAlways, "GLXFeedbackBuffer"},
    {106, kAlways, "GLXSelectBuffer"},
    {107, kAlways, "GLXRenderMode"},
    {108, kAlways, "GLXFinish"},
    {109, kAlways, "GLXPixelStoref"},
    {110, kAlways, "GLXPixelStorei"},
    {111, kAlways, "GLXReadPixels"},
    {112, kAlways, "GLXGetBooleanv"},
    {113, kAlways, "GLXGetClipPlane"},
    {114, kAlways, "GLXGetDoublev"},
    {115, kAlways, "GLXGetError"},
    {116, kAlways, "GLXGetFloatv"},
    {117, kAlways, "GLXGetIntegerv"},
    {118, kAlways, "GLXGetLightfv"},
    {119, kAlways, "GLXGetLightiv"},
    {120, kAlways, "GLXGetMapdv"},
    {121, kAlways, "GLXGetMapfv"},
    {122, kAlways, "GLXGetMapiv"},
    {123, kAlways, "GLXGetMaterialfv"},
    {124, kAlways, "GLXGetMaterialiv"},
    {125, kAlways, "GLXGetPixelMapfv"},
    {126, kAlways, "GLXGetPixelMapuiv"},
    {127, kAlways, "GLXGetPixelMapusv"},
    {128, kAlways, "GLXGetPolygonStipple"},
    {129, kAlways, "GLXGetString"},
    {130, kAlways, "GLXGetTexEnvfv"},
    {131, kAlways, "GLXGetTexEnviv"},
    {132, kAlways, "GLXGetTexGendv"},
    {133, kAlways, "GLXGetTexGenfv"},
    {134, kAlways, "GLXGetTexGeniv"},
    {135, kAlways, "GLXGetTexImage"},
    {136, kAlways, "GLXGetTexParameterfv"},
    {137, kAlways, "GLXGetTexParameteriv"},
    {138, kAlways, "GLXGetTexLevelParameterfv"},
    {139, kAlways, "GLXGetTexLevelParameteriv"},
    {140, kAlways, "GLXIsEnabled"},
    {141, kAlways, "GLXIsList"},
    {142, kAlways, "GLXFlush"},
    {143, kGlx12, "GLXAreTexturesResident"},
    {144, kGlx12, "GLXDeleteTextures"},
    {145, kGlx12, "GLXGenTextures"},
    {146, kGlx12, "GLXIsTexture"},
    {147, kGlx13, "GLXGetColorTable"},
    {148, kGlx13, "GLXGetColorTableParameterfv"},
    {149, kGlx13, "GLXGetColorTableParameteriv"},
    {150, kGlx13, "GLXGetConvolutionFilter"},
    {151, kGlx13, "GLXGetConvolutionParameterfv"},
    {152, kGlx13, "GLXGetConvolutionParameteriv"},
    {153, kGlx13, "GLXGetSeparableFilter"},
    {154, kGlx13, "GLXGetHistogram"},
    {155, kGlx13, "GLXGetHistogramParameterfv"},
    {156, kGlx13, "GLXGetHistogramParameteriv"},
    {157, kGlx13, "GLXGetMinmax"},
    {158, kGlx13, "GLXGetMinmaxParameterfv"},
    {159, kGlx13, "GLXGetMinmaxParameteriv"},
    {160, kGlx14, "GLXGetCompressedTexImage"},
    {161, kAlways, "GLXDeleteQueries"},
    {162, kAlways, "GLXGenQueries"},
    {163, kAlways, "GLXIsQuery"},
    {164, kAlways, "GLXGetQueryiv"},
    {165, kAlways, "GLXGetQueryObjectiv"},
    {166, kAlways, "GLXGetQueryObjectuiv"},
    {167, kAlways, "GLXGetHandle"},
    {168, kAlways, "GLXCreateShaderObject"},
    {169, kAlways, "GLXCreateProgramObject"},
    {170, kAlways, "GLXGetObjectParameterfv"},
    {171, kAlways, "GLXGetObjectParameteriv"},
    {172, kAlways, "GLXGetInfoLog"},
    {173, kAlways, "GLXGetAttachedObjects"},
    {174, kAlways, "GLXGetUniformLocation"},
    {175, kAlways, "GLXGetActiveUniform"},
    {178, kAlways, "GLXGetShaderSource"},
    {179, kAlways, "GLXGetActiveAttrib"},
    {180, kAlways, "GLXGetAttribLocation"},
    {186, kAlways, "GLXDeleteBuffers"},
    {187, kAlways, "GLXGenBuffers"},
    {188, kAlways, "GLXIsBuffer"},
    {189, kAlways, "GLXGetBufferSubData"},
    {190, kAlways, "GLXGetBufferParameteriv"},
    {191, kAlways, "GLXGetElementRange"},
    {192, kAlways, "GLXGetBufferPointerv"},
    {193, kAlways, "GLXMapBuffer"},
    {194, kAlways, "GLXUnmapBuffer"},
    {195, kAlways, "GLXDeleteShader"},
    {197, kAlways, "GLXIsProgram"},
    {198, kAlways, "GLXGetShaderiv"},
    {199, kAlways, "GLXGetProgramiv"},
    {200, kAlways, "GLXGetShaderInfoLog"},
    {201, kAlways, "GLXGetProgramInfoLog"},
    {202, kAlways, "GLXDeleteProgram"},
};
constexpr size_t kRowCount = sizeof kRows / sizeof kRows[0];
static_assert(kRowCount == 129);

// The rows of this generation whose handlers exist, in minor order: the common request handler
// finds them by major and minor for as long as the generation lasts.
ExtRequestRow servedRows[kRowCount];
// The handlers of the rows the proxy serves itself, by minor: their rows call servedOrParked,
// which parks a request that must wait for the client's earlier requests to reach the real
// server before the GL library serves it (glxdirectParkForSync) and runs the rest later.
ExtRowHandler ownHandlers[256];

void servedAfterPark(uint8_t *request, uint32_t length, const char *failure) {
  // A window may have grown past what the GL library holds while the request waited.
  if (glxdirectRefuseOversized(request, length)) return;
  if (ExtRowHandler handler = ownHandlers[request[1]]) glxdirectRunSynced(handler, request, length, failure);
}

void servedOrParked(uint8_t *request, uint32_t length, uint8_t *copy) {
  if (glxdirectRefuseGoneDrawable(request, length) || glxdirectRefuseOversized(request, length) ||
      glxdirectParkForSync(request, length, servedAfterPark))
    return;
  ownHandlers[request[1]](request, length, copy);
}

// Writes the rows the version code lets through: a minor with a handler gets its row, the
// others their name over the registry's default handlers (unsupported request, unexpected
// reply) until their handlers exist.
void writeRows(ExtensionRecord *record) {
  size_t served = 0;
  for (const GlxRow &row : kRows) {
    if (record->version <= row.gate) continue;
    if (const ExtRequestRow *handled = glxContextRow(row.minor)) {
      servedRows[served] = *handled;
      servedRows[served].minor = row.minor;
      servedRows[served].name = row.name;
      if (handled->served != ExtServed::Forward && handled->handler) {
        ownHandlers[row.minor] = handled->handler;
        servedRows[served].handler = servedOrParked;
      }
      served++;
    } else {
      extAddRequestRow(record, row.minor, xcoreUnsupportedRequest, nullptr, row.name);
    }
  }
  if (served) extWriteRows(record, ExtRequestTable{servedRows, served});
}

// ----- Events and errors -------------------------------------------------------------------

constexpr uint8_t kMinorSwapBuffers = 11;
constexpr WireLayout kPbufferClobberLayout = "bbsssiissssss";

// PbufferClobber: the client's sequence and, unless another client sent it, the client's
// drawable.
void glxPbufferClobberEvent(uint8_t *event) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) return;
  xproxyMapReplySequence(connection, wireGet16(event + 2));
  wirePut16(event + 2, client->replySequence);
  if (!(event[0] & 0x80)) wirePut32(event + 8, mainServerToProxyXid(wireGet32(event + 8), connection->display));
  mainSendEventToClient(event, kPbufferClobberLayout, 0);
}

// The second GLX event is not served: nothing reaches the client.
void glxUnservedEvent(uint8_t *) { logProblem("WIP", __FILE__, __LINE__); }

// How an error's bad value is mapped and printed.
enum class ValueKind : uint8_t { ClientId, Decimal, Hex };

struct GlxError {
  const char *name;
  ValueKind value;
};

constexpr GlxError kErrors[] = {
    {"GLXBadContext", ValueKind::ClientId},
    {"GLXBadContextState", ValueKind::ClientId},
    {"GLXBadDrawable", ValueKind::ClientId},
    {"GLXBadPixmap", ValueKind::ClientId},
    {"GLXBadContextTag", ValueKind::Decimal},
    {"GLXBadCurrentWindow", ValueKind::ClientId},
    {"GLXBadRenderRequest", ValueKind::Decimal},
    {"GLXBadLargeRequest", ValueKind::Decimal},
    {"GLXUnsupportedPrivateRequest", ValueKind::Decimal},
    {"GLXBadFBConfig", ValueKind::Hex},
    {"GLXBadPbuffer", ValueKind::ClientId},
    {"GLXBadCurrentDrawable", ValueKind::ClientId},
    {"GLXBadWindow", ValueKind::ClientId},
    {"GLXBadProfileARB", ValueKind::Hex},
};
constexpr unsigned kErrorCount = sizeof kErrors / sizeof kErrors[0];
static_assert(kErrorCount == 14);
constexpr unsigned kBadDrawable = 2;

// Every GLX error from a real server: its row by code, the value as the row says. A
// GLXBadDrawable of a SwapBuffers is dropped: some servers answer a swap of a window whose
// copy went away with it, and the client has nothing to do about it.
void glxError(uint8_t *error) {
  ExtensionRecord *record = proxyState.ext.glx;
  unsigned index = record ? unsigned(error[1] - record->firstError) : kErrorCount;
  if (index >= kErrorCount) {
    xcoreUnsupportedError(error);
    return;
  }
  const GlxError &row = kErrors[index];
  if (index == kBadDrawable && wireGet16(error + 8) == kMinorSwapBuffers) {
    if (DisplayConnection *connection = xproxyCurrentDisplayConnection)
      xproxyMapReplySequence(connection, wireGet16(error + 2));
    logStep("SwapBuffers workaround ...");
    return;
  }
  switch (row.value) {
    case ValueKind::ClientId: xcoreForwardIdError(error, row.name); break;
    case ValueKind::Decimal: xcoreForwardValueError(error, row.name); break;
    case ValueKind::Hex: xcoreForwardHexValueError(error, row.name); break;
  }
}

// ----- Versions ----------------------------------------------------------------------------

// The ":N.S" part of a head's name, with the screen added when the name has none.
const char *displayPart(const Head *head) {
  const char *colon = strrchr(head->name, ':');
  const char *part = colon ? colon : head->name;
  if (strchr(part, '.')) return strTempPrintf("%s", part);
  return strTempPrintf("%s.%d", part, head->screen);
}

// The version code of a GL_VERSION text: the decimal numbers around its first point (64 bits,
// so that absurd numbers only raise it); -1 without a point.
int64_t versionCode(const char *text) {
  const char *point = strchr(text, '.');
  if (!point) return -1;
  const char *start = point;
  while (start > text && start[-1] >= '0' && start[-1] <= '9') start--;
  uint64_t major = 0, minor = 0;
  for (const char *p = start; p < point && major < (1u << 20); p++) major = major * 10 + uint64_t(*p - '0');
  for (const char *p = point + 1; *p >= '0' && *p <= '9' && minor < (1u << 20); p++)
    minor = minor * 10 + uint64_t(*p - '0');
  return int64_t(major * 64 + minor);
}

// The GLX extensions a head served inside the proxy offers, when its library has them: the
// framebuffer-configuration attributes, pbuffers, FBConfigs, separate read drawables and
// texture-from-pixmap, which the proxy executes with the library. A library's string also
// names what only a client side implements (renderer queries, swap control, buffer age ...)
// and what a client can use only against a server that answers it (context import, sub-buffer
// copies): those are not offered.
constexpr const char *kLibraryGlxServed[] = {
    "GLX_ARB_fbconfig_float",    "GLX_ARB_framebuffer_sRGB",  "GLX_ARB_multisample",
    "GLX_EXT_fbconfig_packed_float", "GLX_EXT_framebuffer_sRGB", "GLX_EXT_texture_from_pixmap",
    "GLX_EXT_visual_info",       "GLX_EXT_visual_rating",     "GLX_OML_swap_method",
    "GLX_SGIS_multisample",      "GLX_SGIX_fbconfig",         "GLX_SGIX_pbuffer",
    "GLX_SGIX_visual_select_group", "GLX_SGI_make_current_read",
};

void keepLibraryServedGlxExtensions(GlCapabilities *caps) {
  char kept[sizeof caps->glxExtensions] = "";
  size_t used = 0;
  const char *cursor = caps->glxExtensions;
  while (const char *word = glxsupportNextWord(&cursor)) {
    bool served = false;
    for (const char *name : kLibraryGlxServed) served = served || strcmp(name, word) == 0;
    size_t size = strlen(word);
    if (!served || used + size + 2 > sizeof kept) continue;
    if (used) kept[used++] = ' ';
    memcpy(kept + used, word, size);
    used += size;
    kept[used] = '\0';
  }
  memcpy(caps->glxExtensions, kept, sizeof kept);
}

void glxResetExtension() {
  glxFreeTagTable();
  proxyState.ext.glx = nullptr;
  proxyState.ext.glxMajor = 0;
}

}  // namespace

void glxAdjustVersion(ExtensionRecord *record, Head *head, GlCapabilities *caps, int direct) {
  MetaScreen *screen = head->metaScreen;
  if (!screen) return;
  constexpr int64_t kIndirectCap = 67, kDirectCap = 129;  // GL 1.3, 2.1
  int64_t code = versionCode(caps->glVersion);
  if (code < 0) {
    code = glxsupportGlxVersion(caps->glxVersion);
  } else if (!direct && code > kIndirectCap) {
    code = kIndirectCap;
  } else if (direct && code > kDirectCap) {
    code = kDirectCap;
    snprintf(caps->glVersion, sizeof caps->glVersion, "2.1");
  }
  if (screen->glVersion == 0 || screen->glVersion > code) {
    screen->glVersion = uint32_t(code);
    snprintf(screen->glCapabilities.glVersion, sizeof screen->glCapabilities.glVersion, "%s", caps->glVersion);
  }
  if (screen->glCapabilities.glxVersion == 0) glxsupportCopyCaps(caps, &screen->glCapabilities);
  glxsupportIntersectCaps(caps, &screen->glCapabilities);
  logStep("%s adjusted to %s by %s ...", xscreenName(screen), glxsupportDescribeCaps(&screen->glCapabilities),
          head->name);
  uint32_t glx = screen->glCapabilities.glxVersion;
  if (glx < record->version) {
    logStep("Adjusting extension to GLX %u.%u by %s...", glx / 64, glx % 64, head->name);
    record->version = uint16_t(glx);
  }
}

void glxAddGlExtensionAll(const char *name) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    glxsupportAddExtension(name, &s->glCapabilities);
}

void glxAddGlxExtensionAll(const char *name) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    glxsupportAddGlxExtension(name, &s->glCapabilities);
}

void glxRemoveGlxExtension(const char *name, MetaScreen *screen) {
  if (screen) {
    glxsupportRemoveExtension(name, screen->glCapabilities.glxExtensions);
    return;
  }
  for (MetaScreen *s = xscreenList; s; s = s->next)
    glxsupportRemoveExtension(name, s->glCapabilities.glxExtensions);
}

const char *glxInitExtension(ExtensionRecord *record) {
  // A new generation starts from no head seen: the screens outlive a reset, and the strings of
  // the last generation must not be intersected again.
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    s->glVersion = 0;
    memset(&s->glCapabilities, 0, sizeof s->glCapabilities);
    for (Head *h = s->heads; h; h = h->next) {
      glxdirectFreeInstance(static_cast<GlxLibraryInstance *>(h->glLibrary));
      h->glLibrary = nullptr;
    }
  }
  std::unique_ptr<GlCapabilities> caps(new (std::nothrow) GlCapabilities{});
  if (!caps) return OUT_OF_MEMORY_TEXT_AT("Xext/glx");
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    for (Head *h = s->heads; h; h = h->next) {
      if (!h->display) continue;
      bool direct = h->glLibraryName && h->glLibraryName[0];
      glxsupportDefaultCaps(caps.get());  // nothing of the previous head
      if (!direct) {
        if (!glxQueryHead(h->display, h->screen, caps.get()))
          return strTempPrintf("Display %s does not support extension %s", displayPart(h), "GLX");
        h->glxVersion = caps->glxVersion;
      } else {
        GlxLibraryInstance *instance = nullptr;
        if (const char *error = glxdirectSetupDisplay(h->glLibraryName, record->version, h->display, h->screen,
                                                      &instance, caps.get()))
          xproxyExit(strTempPrintf("No Lumora on display %s: %s", h->name, error), 1);
        h->glLibrary = instance;
        keepLibraryServedGlxExtensions(caps.get());
      }
      glxAdjustVersion(record, h, caps.get(), direct ? 1 : 0);
    }
  }
  if (const char *error = extRegister(record, "GLX", 2, kErrorCount)) return error;
  // What may call the GL library inside the proxy: every GLX request, and a GetImage (which
  // completes the GL drawn first).
  miscWaitsOutside(record->majorOpcode, -1);
  miscWaitsOutside(73, -1);
  record->reset = glxResetExtension;
  glxInitContexts();
  writeRows(record);
  if (glxdirectAvailable()) glxAddGlxExtensionAll("GLX_MWT_Lumora");
  // The second event's layout is never used (nothing is passed on); the sequence is all a
  // swapper may touch.
  if (const char *error = extAddEventRow(record, glxPbufferClobberEvent, kPbufferClobberLayout)) return error;
  if (const char *error = extAddEventRow(record, glxUnservedEvent, "bbs")) return error;
  for (const GlxError &row : kErrors)
    if (const char *error = extAddErrorRow(record, glxError, row.name)) return error;
  proxyState.ext.glx = record;
  proxyState.ext.glxMajor = record->majorOpcode;
  glxAddGlExtensionAll("GL_ARB_shader_objects");
  if (record->version > 65) {
    glxAddGlExtensionAll("GL_EXT_texture_object");
    glxAddGlxExtensionAll("GLX_SGI_make_current_read");
    glxAddGlxExtensionAll("GLX_SGIX_fbconfig");
  }
  glxRemoveGlxExtension("GLX_ARB_create_context_profile", nullptr);
  glxRemoveGlxExtension("GLX_ARB_create_context", nullptr);
  return nullptr;
}
