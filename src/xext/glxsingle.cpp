// The GLX single operations (minors 101-202): GL commands and queries on the context behind a
// client's tag, carried out on every head of the tag's meta screen or on its reply head only.
// Queries go to the reply head; commands to every head; commands with a reply to every head,
// of whose replies the client sees only the reply head's (the others are dropped through their
// reply callbacks).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/gldatatype.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/glxobjects.h"
#include "xext/glxpixel.h"
#include "xext/glxqueryobjects.h"
#include "xext/glxrecords.h"

namespace {

constexpr uint8_t kBadLength = 16, kBadAlloc = 11;
constexpr uint8_t kGlxBadContextTag = 4;
constexpr uint8_t kGenTextures = 145, kGetError = 115, kFinish = 108, kRenderMode = 107, kGetString = 129;
constexpr uint8_t kNewList = 101, kFeedbackBuffer = 105, kSelectBuffer = 106;

// How the heads of the tag's meta screen are served.
enum class SingleKind : uint8_t {
  Query,    // the reply head only; its answer is the client's
  Command,  // every head, no reply
  Reply,    // every head; one reply, the reply head's
};

// How a reply built from a direct result is laid out.
enum class DirectReply : uint8_t {
  Nothing,   // no reply
  Int,       // the return value at byte 8
  Values,    // count at 12; one item at 16, more from 32
  ValuesEx,  // as Values, with the return value at 8
  List,      // the items from 32, count at 8
  Own,       // the operation's own reply (glxqueryobjectsDirectReply)
  Pixel,     // the pixel code runs the operation and answers (glxpixelDirect)
  Glsl,      // the row's GLSL operation runs and answers (GlslDirect)
};

// What a request checks beyond its length.
enum class SingleCheck : uint8_t {
  Plain,
  Count,  // a count at byte 8 of 4-byte items from byte 12, all inside the request
  Name,   // a C string from byte 12, its NUL inside the request
};

// A GLSL object request on a head whose GL runs inside the proxy: the object id translated
// through the client's tag, the typed operation run under the head's tag slot and, when the
// head answers, the reply written. The request is in this machine's order, its length and
// name checked.
using GlslDirect = void (*)(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                            uint32_t length, bool answers);

struct SingleRow {
  ExtRequestRow row;
  SingleKind kind;
  GlxDirectSingle direct;
  DirectReply directReply;
  uint8_t itemSize;      // of the direct result's items
  uint8_t swapBytesAt;   // not 0: the pixel-store byte that a client of the other order has inverted
  SingleCheck check;
  GlslDirect glsl;       // the GLSL object requests' direct form (directReply Glsl), else NULL
};

void glxSingleRequest(uint8_t *request, uint32_t length, uint8_t *);

constexpr SingleRow row(uint8_t minor, const char *name, uint32_t length, uint32_t itemSize, WireLayout layout,
                        SingleKind kind, GlxDirectSingle direct, DirectReply directReply, uint8_t items,
                        WireLayout replyLayout, uint8_t swapBytesAt = 0, SingleCheck check = SingleCheck::Plain) {
  return SingleRow{ExtRequestRow{minor, name, length, itemSize, layout, ExtServed::Local, glxSingleRequest,
                                 replyLayout, replyLayout ? ExtReplyKind::Own : ExtReplyKind::NoReply,
                                 replyLayout ? glxSingleReply : nullptr},
                   kind,
                   direct,
                   directReply,
                   items,
                   swapBytesAt,
                   check,
                   nullptr};
}

// The GLSL object requests' entry points (below): the single operations' common service.
void glxGetObjectParameterfv(uint8_t *request, uint32_t length, uint8_t *);
void glxGetObjectParameteriv(uint8_t *request, uint32_t length, uint8_t *);
void glxGetInfoLog(uint8_t *request, uint32_t length, uint8_t *);
void glxGetAttachedObjects(uint8_t *request, uint32_t length, uint8_t *);
void glxGetUniformLocation(uint8_t *request, uint32_t length, uint8_t *);
void glxGetActiveUniform(uint8_t *request, uint32_t length, uint8_t *);
void glxGetShaderSource(uint8_t *request, uint32_t length, uint8_t *);
void glxGetActiveAttrib(uint8_t *request, uint32_t length, uint8_t *);
void glxGetAttribLocation(uint8_t *request, uint32_t length, uint8_t *);
void glxDeleteShader(uint8_t *request, uint32_t length, uint8_t *);
void glxIsProgram(uint8_t *request, uint32_t length, uint8_t *);
void glxGetShaderiv(uint8_t *request, uint32_t length, uint8_t *);
void glxGetProgramiv(uint8_t *request, uint32_t length, uint8_t *);
void glxGetShaderInfoLog(uint8_t *request, uint32_t length, uint8_t *);
void glxGetProgramInfoLog(uint8_t *request, uint32_t length, uint8_t *);
void glxDeleteProgram(uint8_t *request, uint32_t length, uint8_t *);
// Their direct forms (below).
void glslGetObjectParameterfv(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetObjectParameteriv(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetInfoLog(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetAttachedObjects(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetUniformLocation(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetActiveUniform(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetShaderSource(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetActiveAttrib(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetAttribLocation(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslDeleteShader(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslIsProgram(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetShaderiv(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetProgramiv(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetShaderInfoLog(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslGetProgramInfoLog(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
void glslDeleteProgram(GlxLibraryInstance *, uint32_t, uint32_t, const uint8_t *, uint32_t, bool);
// A GLSL object request's row: served as every single operation is, under its own entry point,
// with its own direct form.
constexpr SingleRow glsl(ExtRowHandler handler, GlslDirect direct, SingleRow single) {
  single.row.handler = handler;
  single.glsl = direct;
  return single;
}

using K = SingleKind;
using D = DirectReply;
using C = SingleCheck;
constexpr K Q = K::Query, Cm = K::Command, R = K::Reply;

constexpr SingleRow kSingleRows[] = {
    row(101, "GLXNewList", 16, 0, "bbsiii", Cm, glxdirectNewList, D::Nothing, 0, nullptr),
    row(102, "GLXEndList", 8, 0, "bbsi", Cm, glxdirectEndList, D::Nothing, 0, nullptr),
    row(103, "GLXDeleteLists", 16, 0, "bbsiii", Cm, glxdirectDeleteLists, D::Nothing, 0, nullptr),
    row(104, "GLXGenLists", 12, 0, "bbsii", R, glxdirectGenLists, D::Int, 0, "bbsiiii"),
    row(105, "GLXFeedbackBuffer", 16, 0, "bbsiii", Cm, glxdirectFeedbackBuffer, D::Nothing, 0, nullptr),
    row(106, "GLXSelectBuffer", 12, 0, "bbsii", Cm, glxdirectSelectBuffer, D::Nothing, 0, nullptr),
    row(107, "GLXRenderMode", 12, 0, "bbsii", R, nullptr, D::Pixel, 0, "bbsI"),
    row(108, "GLXFinish", 8, 0, "bbsi", R, glxdirectFinish, D::Int, 0, "bbsiiii"),
    row(109, "GLXPixelStoref", 16, 0, "bbsiii", Cm, glxdirectPixelStoref, D::Nothing, 0, nullptr),
    row(110, "GLXPixelStorei", 16, 0, "bbsiii", Cm, glxdirectPixelStorei, D::Nothing, 0, nullptr),
    row(111, "GLXReadPixels", 36, 0, "bbsiiiiiii", Q, nullptr, D::Pixel, 0, "bbsi", 32),
    row(112, "GLXGetBooleanv", 12, 0, "bbsii", Q, glxdirectGetBooleanv, D::Values, 1, "bbsiii"),
    row(113, "GLXGetClipPlane", 12, 0, "bbsii", Q, glxdirectGetClipPlane, D::ValuesEx, 8, "bbsiiiL"),
    row(114, "GLXGetDoublev", 12, 0, "bbsii", Q, glxdirectGetDoublev, D::Values, 8, "bbsiiiL"),
    row(115, "GLXGetError", 8, 0, "bbsi", Q, glxdirectGetError, D::Int, 0, "bbsii"),
    row(116, "GLXGetFloatv", 12, 0, "bbsii", Q, glxdirectGetFloatv, D::Values, 4, "bbsI"),
    row(117, "GLXGetIntegerv", 12, 0, "bbsii", Q, glxdirectGetIntegerv, D::Values, 4, "bbsI"),
    row(118, "GLXGetLightfv", 16, 0, "bbsiii", Q, glxdirectGetLightfv, D::Values, 4, "bbsI"),
    row(119, "GLXGetLightiv", 16, 0, "bbsiii", Q, glxdirectGetLightiv, D::Values, 4, "bbsI"),
    row(120, "GLXGetMapdv", 16, 0, "bbsiii", Q, glxdirectGetMapdv, D::Values, 8, "bbsiiiL"),
    row(121, "GLXGetMapfv", 16, 0, "bbsiii", Q, glxdirectGetMapfv, D::Values, 4, "bbsI"),
    row(122, "GLXGetMapiv", 16, 0, "bbsiii", Q, glxdirectGetMapiv, D::Values, 4, "bbsI"),
    row(123, "GLXGetMaterialfv", 16, 0, "bbsiii", Q, glxdirectGetMaterialfv, D::Values, 4, "bbsI"),
    row(124, "GLXGetMaterialiv", 16, 0, "bbsiii", Q, glxdirectGetMaterialiv, D::Values, 4, "bbsI"),
    row(125, "GLXGetPixelMapfv", 12, 0, "bbsii", Q, glxdirectGetPixelMapfv, D::Values, 4, "bbsI"),
    row(126, "GLXGetPixelMapuiv", 12, 0, "bbsii", Q, glxdirectGetPixelMapuiv, D::Values, 4, "bbsI"),
    row(127, "GLXGetPixelMapusv", 12, 0, "bbsii", Q, glxdirectGetPixelMapusv, D::Values, 2, "bbsiiiS"),
    // lsbFirst is a byte: as a word it would move away from byte 8.
    row(128, "GLXGetPolygonStipple", 12, 0, "bbsi", Q, nullptr, D::Pixel, 0, "bbsiii"),
    row(129, "GLXGetString", 12, 0, "bbsii", Q, glxdirectGetString, D::Own, 0, "bbsiii"),
    row(130, "GLXGetTexEnvfv", 16, 0, "bbsiii", Q, glxdirectGetTexEnvfv, D::Values, 4, "bbsI"),
    row(131, "GLXGetTexEnviv", 16, 0, "bbsiii", Q, glxdirectGetTexEnviv, D::Values, 4, "bbsI"),
    row(132, "GLXGetTexGendv", 16, 0, "bbsiii", Q, glxdirectGetTexGendv, D::Values, 8, "bbsiiiL"),
    row(133, "GLXGetTexGenfv", 16, 0, "bbsiii", Q, glxdirectGetTexGenfv, D::Values, 4, "bbsI"),
    row(134, "GLXGetTexGeniv", 16, 0, "bbsiii", Q, glxdirectGetTexGeniv, D::Values, 4, "bbsI"),
    row(135, "GLXGetTexImage", 28, 0, "bbsiiiii", Q, nullptr, D::Pixel, 0, "bbsiiiiii", 24),
    row(136, "GLXGetTexParameterfv", 16, 0, "bbsiii", Q, glxdirectGetTexParameterfv, D::Values, 4, "bbsI"),
    row(137, "GLXGetTexParameteriv", 16, 0, "bbsiii", Q, glxdirectGetTexParameteriv, D::Values, 4, "bbsI"),
    row(138, "GLXGetTexLevelParameterfv", 20, 0, "bbsI", Q, glxdirectGetTexLevelParameterfv, D::Values, 4, "bbsI"),
    row(139, "GLXGetTexLevelParameteriv", 20, 0, "bbsI", Q, glxdirectGetTexLevelParameteriv, D::Values, 4, "bbsI"),
    row(140, "GLXIsEnabled", 12, 0, "bbsii", Q, glxdirectIsEnabled, D::Int, 0, "bbsiiii"),
    row(141, "GLXIsList", 12, 0, "bbsii", Q, glxdirectIsList, D::Int, 0, "bbsiiii"),
    row(142, "GLXFlush", 8, 0, "bbsi", Cm, glxdirectFlush, D::Nothing, 0, nullptr),
    row(143, "GLXAreTexturesResident", 12, 4, "bbsI", Q, glxdirectAreTexturesResident, D::ValuesEx, 1, "bbsiii", 0,
        C::Count),
    row(144, "GLXDeleteTextures", 12, 4, "bbsI", Cm, glxdirectDeleteTextures, D::Nothing, 0, nullptr, 0, C::Count),
    row(145, "GLXGenTextures", 12, 0, "bbsii", R, glxdirectGenTextures, D::List, 4, "bbsI"),
    row(146, "GLXIsTexture", 12, 0, "bbsii", Q, glxdirectIsTexture, D::Int, 0, "bbsiiii"),
    row(147, "GLXGetColorTable", 24, 0, "bbsiiii", Q, nullptr, D::Pixel, 0, "bbsiiii", 20),
    row(148, "GLXGetColorTableParameterfv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(149, "GLXGetColorTableParameteriv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(150, "GLXGetConvolutionFilter", 24, 0, "bbsiiii", Q, nullptr, D::Pixel, 0, "bbsiiiii", 20),
    row(151, "GLXGetConvolutionParameterfv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(152, "GLXGetConvolutionParameteriv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(153, "GLXGetSeparableFilter", 24, 0, "bbsiiii", Q, nullptr, D::Pixel, 0, "bbsiiiii", 20),
    row(154, "GLXGetHistogram", 24, 0, "bbsiiii", Q, nullptr, D::Pixel, 0, "bbsiiii", 20),
    row(155, "GLXGetHistogramParameterfv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(156, "GLXGetHistogramParameteriv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(157, "GLXGetMinmax", 24, 0, "bbsiiii", Q, nullptr, D::Pixel, 0, "bbsi", 20),
    row(158, "GLXGetMinmaxParameterfv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(159, "GLXGetMinmaxParameteriv", 16, 0, "bbsiii", Q, nullptr, D::Pixel, 0, "bbsI"),
    row(160, "GLXGetCompressedTexImage", 16, 0, "bbsiii", Q, glxdirectGetCompressedTexImage, D::Own, 0, "bbsiiii"),
    row(161, "GLXDeleteQueries", 12, 4, "bbsI", Cm, glxdirectDeleteQueries, D::Nothing, 0, nullptr, 0, C::Count),
    row(162, "GLXGenQueries", 12, 0, "bbsii", R, glxdirectGenQueries, D::Own, 0, "bbsI"),
    row(163, "GLXIsQuery", 12, 0, "bbsii", Q, glxdirectIsQuery, D::Own, 0, "bbsI"),
    row(164, "GLXGetQueryiv", 16, 0, "bbsI", Q, glxdirectGetQueryiv, D::Own, 0, "bbsI"),
    row(165, "GLXGetQueryObjectiv", 16, 0, "bbsI", Q, glxdirectGetQueryObjectiv, D::Own, 0, "bbsI"),
    row(166, "GLXGetQueryObjectuiv", 16, 0, "bbsI", Q, glxdirectGetQueryObjectuiv, D::Own, 0, "bbsI"),
    row(167, "GLXGetHandle", 12, 0, "bbsii", Q, glxdirectGetHandle, D::Own, 0, "bbsI"),
    row(168, "GLXCreateShaderObject", 12, 0, "bbsii", R, glxdirectCreateShaderObject, D::Own, 0, "bbsI"),
    row(169, "GLXCreateProgramObject", 8, 0, "bbsi", R, glxdirectCreateProgramObject, D::Own, 0, "bbsI"),
    // The GLSL object requests. A forwarded head's reply is a single reply like the others
    // (return word at 8, count at 12, a single value at 16), every word turned for the other
    // byte order; a direct head's is written by the row's GLSL operation.
    glsl(glxGetObjectParameterfv, glslGetObjectParameterfv,
         row(170, "GLXGetObjectParameterfv", 16, 0, "bbsiii", Q, nullptr, D::Glsl, 0, "bbsI")),
    glsl(glxGetObjectParameteriv, glslGetObjectParameteriv,
         row(171, "GLXGetObjectParameteriv", 16, 0, "bbsiii", Q, nullptr, D::Glsl, 0, "bbsI")),
    // The log is text: its bytes must not be turned around in groups of four.
    glsl(glxGetInfoLog, glslGetInfoLog,
         row(172, "GLXGetInfoLog", 16, 0, "bbsiii", Q, nullptr, D::Glsl, 0, "bbsiii")),
    glsl(glxGetAttachedObjects, glslGetAttachedObjects,
         row(173, "GLXGetAttachedObjects", 16, 0, "bbsiii", Q, nullptr, D::Glsl, 0, "bbsI")),
    glsl(glxGetUniformLocation, glslGetUniformLocation,
         row(174, "GLXGetUniformLocation", 12, 4, "bbsii", Q, nullptr, D::Glsl, 0, "bbsI", 0, C::Name)),
    glsl(glxGetActiveUniform, glslGetActiveUniform,
         row(175, "GLXGetActiveUniform", 20, 0, "bbsI", Q, nullptr, D::Glsl, 0, "bbsiiiiiii")),
    glsl(glxGetShaderSource, glslGetShaderSource,
         row(178, "GLXGetShaderSource", 16, 0, "bbsI", Q, nullptr, D::Glsl, 0, "bbsiii")),
    glsl(glxGetActiveAttrib, glslGetActiveAttrib,
         row(179, "GLXGetActiveAttrib", 20, 0, "bbsI", Q, nullptr, D::Glsl, 0, "bbsiiiiiii")),
    glsl(glxGetAttribLocation, glslGetAttribLocation,
         row(180, "GLXGetAttribLocation", 12, 4, "bbsii", Q, nullptr, D::Glsl, 0, "bbsI", 0, C::Name)),
    row(186, "GLXDeleteBuffers", 12, 4, "bbsI", Cm, glxdirectDeleteBuffers, D::Nothing, 0, nullptr, 0, C::Count),
    row(187, "GLXGenBuffers", 12, 0, "bbsii", Q, glxdirectGenBuffers, D::Own, 0, "bbsI"),
    row(188, "GLXIsBuffer", 12, 0, "bbsii", Q, glxdirectIsBuffer, D::Own, 0, "bbsiiii"),
    row(189, "GLXGetBufferSubData", 28, 0, "bbsilli", Q, glxdirectGetBufferSubData, D::Own, 0, "bbsiii"),
    row(190, "GLXGetBufferParameteriv", 16, 0, "bbsiii", Q, glxdirectGetBufferParameteriv, D::Own, 0, "bbsI"),
    row(191, "GLXGetElementRange", 24, 0, "bbsilii", Q, glxdirectGetElementRange, D::Own, 0, "bbsiiii"),
    row(192, "GLXGetBufferPointerv", 16, 0, "bbsiii", Q, glxdirectGetBufferPointerv, D::Own, 0, "bbsiiii"),
    row(193, "GLXMapBuffer", 16, 0, "bbsiii", R, glxdirectMapBuffer, D::Own, 0, "bbsiiiL"),
    row(194, "GLXUnmapBuffer", 12, 0, "bbsii", R, glxdirectUnmapBuffer, D::Own, 0, "bbsI"),
    glsl(glxDeleteShader, glslDeleteShader,
         row(195, "GLXDeleteShader", 12, 0, "bbsii", Cm, nullptr, D::Glsl, 0, nullptr)),
    // Served on every head: one reply, the reply head's.
    glsl(glxIsProgram, glslIsProgram,
         row(197, "GLXIsProgram", 12, 0, "bbsii", R, nullptr, D::Glsl, 0, "bbsI")),
    glsl(glxGetShaderiv, glslGetShaderiv,
         row(198, "GLXGetShaderiv", 16, 0, "bbsiii", R, nullptr, D::Glsl, 0, "bbsI")),
    glsl(glxGetProgramiv, glslGetProgramiv,
         row(199, "GLXGetProgramiv", 16, 0, "bbsiii", R, nullptr, D::Glsl, 0, "bbsI")),
    glsl(glxGetShaderInfoLog, glslGetShaderInfoLog,
         row(200, "GLXGetShaderInfoLog", 16, 0, "bbsI", R, nullptr, D::Glsl, 0, "bbsiii")),
    glsl(glxGetProgramInfoLog, glslGetProgramInfoLog,
         row(201, "GLXGetProgramInfoLog", 16, 0, "bbsI", R, nullptr, D::Glsl, 0, "bbsiii")),
    glsl(glxDeleteProgram, glslDeleteProgram,
         row(202, "GLXDeleteProgram", 12, 0, "bbsii", R, nullptr, D::Glsl, 0, "bbsiii")),
};

const SingleRow *findSingle(uint8_t minor) {
  for (const SingleRow &r : kSingleRows)
    if (r.row.minor == minor) return &r;
  return nullptr;
}

Head *replyHeadOf(MetaScreen *screen) { return screen->glxHead ? screen->glxHead : screen->heads; }

GlxLibraryInstance *instanceOf(const Head *head) { return static_cast<GlxLibraryInstance *>(head->glLibrary); }

// The record a GLXGenTextures copy carries to its reply.
struct GenTexturesRecord {
  Head *head;
  uint32_t tag;
  uint32_t contextId;
};

void freeGenTexturesRecord(uintptr_t record) { free(reinterpret_cast<GenTexturesRecord *>(record)); }
void discardNothing(uintptr_t) {}

uint32_t pad4(uint64_t n) { return uint32_t((n + 3) & ~uint64_t(3)); }

// BadAlloc for a reply of size bytes (32-bit saturated) that could not be given its data.
void sendNoRoom(const uint8_t *request, uint32_t length, uint64_t size) {
  xprotoSendError(kBadAlloc, size > UINT32_MAX ? UINT32_MAX : uint32_t(size), request, length, nullptr);
}

// The reply built from a direct result for the current client; BadAlloc when no room.
void sendDirectReply(const SingleRow &r, const uint8_t *request, uint32_t length, const GlxDirectResult &result) {
  if (r.directReply == D::Own) return glxqueryobjectsDirectReply(request, length, result);
  uint64_t items = r.directReply == D::Int ? 0 : result.count;
  uint64_t bytes = items * r.itemSize;
  bool inlineItem = (r.directReply == D::Values || r.directReply == D::ValuesEx) && items == 1 && bytes <= 8;
  uint64_t data = inlineItem ? 0 : pad4(bytes);
  if (data > 0x3fffffffull * 4 - 32) data = 0;
  auto *reply = static_cast<uint8_t *>(calloc(1, size_t(32 + data)));
  if (!reply) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  reply[0] = 1;
  wirePut32(reply + 4, uint32_t(data / 4));
  const uint8_t *from = result.data;
  switch (r.directReply) {
    case D::Nothing:
    case D::Pixel:
    case D::Own:
    case D::Glsl: break;
    case D::Int: wirePut32(reply + 8, uint32_t(result.value)); break;
    case D::ValuesEx: wirePut32(reply + 8, uint32_t(result.value)); [[fallthrough]];
    case D::Values:
      wirePut32(reply + 12, uint32_t(items));
      if (from && bytes) memcpy(reply + (inlineItem ? 16 : 32), from, size_t(inlineItem ? bytes : data < bytes ? data : bytes));
      break;
    case D::List:
      wirePut32(reply + 8, uint32_t(items));
      if (from && data) memcpy(reply + 32, from, size_t(bytes));
      break;
  }
  extSendLocalReply(request, reply, uint32_t(32 + data), r.row.replyLayout);
  free(reply);
}

// The length and content checks the frame does not know: BadLength with the length when they fail.
int checkContent(const SingleRow &r, const uint8_t *request, uint32_t length) {
  bool fits = true;
  if (r.check == C::Count) fits = 12 + 4 * uint64_t(wireGet32(request + 8)) <= length;
  if (r.check == C::Name) fits = memchr(request + 12, 0, length - 12) != nullptr;
  if (fits) return 1;
  xprotoSendError(kBadLength, length, request, length, nullptr);
  return 0;
}

// Serves one head; 0 when the heads after it are not to be served (BadAlloc sent).
int serveHead(const SingleRow &r, Head *head, Head *replyHead, uint8_t *request, uint32_t length, uint32_t tag,
              ClientConnection *client, DisplayConnection *connection, bool *replied) {
  uint8_t minor = r.row.minor;
  uint32_t serverTag = glxTagForServer(tag, head);
  if (head->glLibrary && r.directReply == D::Pixel) {
    glxpixelDirect(instanceOf(head), serverTag, request, length, head == replyHead);
    if (head == replyHead) *replied = true;
    return 1;
  }
  if (head->glLibrary && r.glsl) {
    bool answers = r.kind != K::Command && head == replyHead;
    r.glsl(instanceOf(head), serverTag, tag, request, length, answers);
    if (answers) *replied = true;
    return 1;
  }
  if (head->glLibrary) {
    GlxDirectResult result{0, 0, nullptr};
    int executed = r.direct(instanceOf(head), serverTag, request + 8, length - 8, &result);
    if (!executed) LOG_UNE();
    // A list name or a select or feedback buffer past the client's lumoraMemory (the slot is
    // current, so nothing else stopped it): BadAlloc, as for the commands of a render request.
    bool budgeted = minor == kNewList || minor == kFeedbackBuffer || minor == kSelectBuffer;
    if (!executed && budgeted && head == replyHead && glxdirectSlotIsCurrent(instanceOf(head), serverTag))
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    bool answers = r.kind != K::Command && head == replyHead && r.row.replyLayout;
    if (answers && minor != kFinish && minor != kRenderMode) {
      // Nothing came back although the slot is current: there was no room for the answer (an
      // empty reply would tell the client there are no names or values).
      if (!executed && r.directReply != D::Own && glxdirectSlotIsCurrent(instanceOf(head), serverTag))
        sendNoRoom(request, length, r.directReply == D::List ? 32 + 4 * uint64_t(wireGet32(request + 8)) : 0);
      else
        sendDirectReply(r, request, length, result);
      *replied = true;
    }
    return 1;
  }
  uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
  if (!copy) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return 0;
  }
  wirePut32(copy + 4, serverTag);
  // The server packs pixels for a client of the other order with the pixel-store byte turned.
  if (r.swapBytesAt && client->reader.swapped) copy[r.swapBytesAt] = copy[r.swapBytesAt] ? 0 : 1;
  // As with replies, the client hears only the reply head's error.
  if (head != replyHead) xproxyPushReplyCallback(connection, kXcoreReplyTagDropError, 1, nullptr);
  if (r.kind != K::Reply) return 1;
  if (minor == kGenTextures) {
    auto *record = static_cast<GenTexturesRecord *>(malloc(sizeof(GenTexturesRecord)));
    if (!record) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return 0;
    }
    GlxTagEntry *entry = glxFindTagEntry(client, tag);
    *record = GenTexturesRecord{head, tag, entry ? entry->contextId : 0};
    xproxyPushReplyCallback(connection, minor, reinterpret_cast<uintptr_t>(record), freeGenTexturesRecord);
  } else {
    xproxyPushReplyCallback(connection, minor, reinterpret_cast<uintptr_t>(head), discardNothing);
  }
  return 1;
}

// GetString of a name the meta screen's record holds, answered without any real server (a
// client sees the GL of the meta screen, not of one head): 1 when answered.
int answerGetString(const uint8_t *request, uint32_t, const MetaScreen *screen) {
  const GlCapabilities &caps = screen->glCapabilities;
  uint32_t name = wireGet32(request + 8);
  const char *text = name == 0x1F00   ? caps.vendor
                     : name == 0x1F01 ? caps.renderer
                     : name == 0x1F02 ? caps.glVersion
                     : name == 0x1F03 ? caps.glExtensions
                     : name == 0x8B8C ? caps.shadingLanguage
                                      : nullptr;
  if (!text) {
    LOG(logChannelXhint, "GLXGetString(unknown name=%s)", gldatatypeEnumName(name));
    return 0;
  }
  glxindirectReplyString(text, xproxyCurrentClient, request[1]);
  return 1;
}

void glxSingleRequest(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  const SingleRow *r = findSingle(request[1]);
  if (!client || !r) return;
  if (!checkContent(*r, request, length)) return;
  uint32_t tag = wireGet32(request + 4);
  MetaScreen *screen = glxTagScreen(tag);
  if (!screen || (r->row.minor == kRenderMode && !glxTagContext(tag))) {
    xprotoSendExtensionError(kGlxBadContextTag, tag, request, length, nullptr);
    return;
  }
  // A Finish served by the GL library inside the proxy waits for all the client drew: it
  // yields its turns meanwhile (glxdirectFinishYielding).
  if (r->row.minor == kFinish && !miscCanYield() && glxScreenServedInside(screen))
    return miscRunYielding(glxSingleRequest, request, length);
  client->glxScreen = screen->index;
  if (r->row.minor == kGetString && answerGetString(request, length, screen)) return;
  DisplayConnection *connection = client->displayCount ? client->displays[0] : nullptr;
  Head *replyHead = replyHeadOf(screen);
  bool replied = false;
  if (r->kind == K::Query) {
    serveHead(*r, replyHead, replyHead, request, length, tag, client, connection, &replied);
    return;
  }
  for (Head *head = screen->heads; head; head = head->next)
    if (!serveHead(*r, head, replyHead, request, length, tag, client, connection, &replied)) return;
  if (r->row.minor == kRenderMode) glxpixelRenderModeServed(request, length);
  // Finish and RenderMode answer for a direct reply head once every head has been served.
  if (r->kind == K::Reply && !replied && replyHead->glLibrary) {
    GlxDirectResult result{0, 0, nullptr};
    sendDirectReply(*r, request, length, result);
  }
}

// The Xhint line and the error count of a GL error the real server reported.
void noteGlError(uint8_t *reply, DisplayConnection *connection, ClientConnection *client) {
  uint32_t code = wireGet32(reply + 8);
  if (code == 0) return;
  LOG(logChannelXhint, "<= %s in GLXGetError #%u from display %s for %s", gldatatypeEnumName(code),
      unsigned(client->replySequence), connection->display && connection->display->name ? connection->display->name : "?",
      xscreenClientName(client));
  if (proxyState.ext.glx) proxyState.ext.glx->errorsSent++;
}

// ===== GLSL object requests =====
// The direct forms. The object id at byte 8 is the client's; the library knows it by the id the
// lookup of the client's tag gives. A text, name or list for which no room could be had is
// BadAlloc; a slot the library refuses answers zeros, as the other single operations do.
uint32_t objectField(const uint8_t *request) { return wireGet32(request + 8); }
uint32_t fieldAt(const uint8_t *request, uint32_t at) { return wireGet32(request + at); }

using TextGet = const uint8_t *(*)(GlxLibraryInstance *, uint32_t, uint32_t, uint64_t, int32_t *);

// A log or source of at most the length at byte 12: the bytes and a NUL (valuesEx: as 1-byte
// items after a return word of 0).
void glslText(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *request, uint32_t length, bool answers,
              uint32_t object, TextGet get, bool valuesEx) {
  uint32_t most = fieldAt(request, 12);
  int32_t n = 0;
  const uint8_t *text = get(instance, slot, object, most, &n);
  if (!answers) return;
  if (!text && glxdirectSlotIsCurrent(instance, slot)) return sendNoRoom(request, length, 32 + uint64_t(most) + 1);
  if (!text) n = 0;
  if (valuesEx)
    glxindirectReplyValuesEx(text, uint32_t(n), 1, 0, xproxyCurrentClient, request[1]);
  else
    glxindirectReplyBytes(text, uint32_t(n), xproxyCurrentClient, request[1]);
}

void glslValue(const uint8_t *request, bool answers, int32_t value) {
  if (answers) glxindirectReplyValues(&value, 1, 4, xproxyCurrentClient, request[1]);
}

void glslGetObjectParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                              uint32_t, bool answers) {
  float value = 0;
  glxdirectGetObjectParameterfv(instance, slot, glxLookupObjectId(tag, objectField(request)), fieldAt(request, 12),
                                &value);
  if (answers) glxindirectReplyValues(&value, 1, 4, xproxyCurrentClient, request[1]);
}

void glslGetObjectParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                              uint32_t, bool answers) {
  int32_t value = 0;
  glxdirectGetObjectParameteriv(instance, slot, glxLookupObjectId(tag, objectField(request)), fieldAt(request, 12),
                                &value);
  glslValue(request, answers, value);
}

void glslGetInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                    uint32_t length, bool answers) {
  glslText(instance, slot, request, length, answers, glxLookupObjectId(tag, objectField(request)),
           glxdirectGetInfoLog, true);
}

// The handles go back to the client under its own ids.
void glslGetAttachedObjects(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                            uint32_t length, bool answers) {
  uint32_t most = fieldAt(request, 12);
  int32_t count = 0;
  const uint8_t *handles = glxdirectGetAttachedObjects(instance, slot, glxLookupObjectId(tag, objectField(request)),
                                                       most, &count);
  if (!answers) return;
  if (!handles && glxdirectSlotIsCurrent(instance, slot)) return sendNoRoom(request, length, 32 + 4 * uint64_t(most));
  size_t n = handles ? size_t(count) : 0;
  std::unique_ptr<uint32_t[]> ids(new (std::nothrow) uint32_t[n ? n : 1]);
  if (!ids) return sendNoRoom(request, length, 32 + 4 * uint64_t(n));
  for (size_t k = 0; k < n; k++) {
    uint32_t id;
    memcpy(&id, handles + 4 * k, 4);
    const GlxShaderEntry *shader = glxFindShaderEntry(tag, id);
    ids[k] = shader ? shader->clientId : id;
  }
  glxindirectReplyValues(ids.get(), uint32_t(n), 4, xproxyCurrentClient, request[1]);
}

void glslLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, bool answers,
                  int (*get)(GlxLibraryInstance *, uint32_t, uint32_t, const char *, int32_t *)) {
  int32_t location = -1;
  // The name's NUL lies inside the request (checked before any head is served).
  get(instance, slot, glxLookupProgramId(tag, objectField(request)), reinterpret_cast<const char *>(request + 12),
      &location);
  if (answers) glxindirectReplyInt(uint32_t(location), xproxyCurrentClient, request[1]);
}

void glslGetUniformLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                            uint32_t, bool answers) {
  glslLocation(instance, slot, tag, request, answers, glxdirectGetUniformLocation);
}

void glslGetAttribLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                           uint32_t, bool answers) {
  glslLocation(instance, slot, tag, request, answers, glxdirectGetAttribLocation);
}

using ActiveGet = const uint8_t *(*)(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint64_t, int32_t *,
                                     int32_t *, uint32_t *);

// The name of the active variable (index at 12, at most the length at 16), with its size and type.
void glslActive(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t length,
                bool answers, ActiveGet get) {
  uint32_t most = fieldAt(request, 16);
  int32_t n = 0, size = 0;
  uint32_t type = 0;
  const uint8_t *name = get(instance, slot, glxLookupProgramId(tag, objectField(request)), fieldAt(request, 12), most,
                            &n, &size, &type);
  if (!answers) return;
  if (!name && glxdirectSlotIsCurrent(instance, slot)) return sendNoRoom(request, length, 32 + uint64_t(most));
  glxindirectReplyBlock(name, name ? uint32_t(n) : 0, uint32_t(size), type, xproxyCurrentClient);
}

void glslGetActiveUniform(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                          uint32_t length, bool answers) {
  glslActive(instance, slot, tag, request, length, answers, glxdirectGetActiveUniform);
}

void glslGetActiveAttrib(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                         uint32_t length, bool answers) {
  glslActive(instance, slot, tag, request, length, answers, glxdirectGetActiveAttrib);
}

void glslGetShaderSource(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                         uint32_t length, bool answers) {
  glslText(instance, slot, request, length, answers, glxLookupShaderId(tag, objectField(request)),
           glxdirectGetShaderSource, false);
}

void glslDeleteShader(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t,
                      bool) {
  glxdirectDeleteShader(instance, slot, glxLookupShaderId(tag, objectField(request)));
}

void glslIsProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t,
                   bool answers) {
  int32_t value = 0;
  glxdirectIsProgram(instance, slot, glxLookupProgramId(tag, objectField(request)), &value);
  if (answers) glxindirectReplyInt(uint32_t(value), xproxyCurrentClient, request[1]);
}

void glslGetShaderiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t,
                     bool answers) {
  int32_t value = 0;
  glxdirectGetShaderiv(instance, slot, glxLookupShaderId(tag, objectField(request)), fieldAt(request, 12), &value);
  glslValue(request, answers, value);
}

void glslGetProgramiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t,
                      bool answers) {
  int32_t value = 0;
  glxdirectGetProgramiv(instance, slot, glxLookupProgramId(tag, objectField(request)), fieldAt(request, 12), &value);
  glslValue(request, answers, value);
}

void glslGetShaderInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                          uint32_t length, bool answers) {
  glslText(instance, slot, request, length, answers, glxLookupShaderId(tag, objectField(request)),
           glxdirectGetShaderInfoLog, false);
}

void glslGetProgramInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request,
                           uint32_t length, bool answers) {
  glslText(instance, slot, request, length, answers, glxLookupProgramId(tag, objectField(request)),
           glxdirectGetProgramInfoLog, false);
}

// Deleting answers 1 whatever the library did.
void glslDeleteProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t tag, const uint8_t *request, uint32_t,
                       bool answers) {
  glxdirectDeleteProgram(instance, slot, glxLookupProgramId(tag, objectField(request)));
  if (answers) glxindirectReplyInt(1, xproxyCurrentClient, request[1]);
}

#define GLSL_HANDLER(name) \
  void name(uint8_t *request, uint32_t length, uint8_t *data) { glxSingleRequest(request, length, data); }
GLSL_HANDLER(glxGetObjectParameterfv)
GLSL_HANDLER(glxGetObjectParameteriv)
GLSL_HANDLER(glxGetInfoLog)
GLSL_HANDLER(glxGetAttachedObjects)
GLSL_HANDLER(glxGetUniformLocation)
GLSL_HANDLER(glxGetActiveUniform)
GLSL_HANDLER(glxGetShaderSource)
GLSL_HANDLER(glxGetActiveAttrib)
GLSL_HANDLER(glxGetAttribLocation)
GLSL_HANDLER(glxDeleteShader)
GLSL_HANDLER(glxIsProgram)
GLSL_HANDLER(glxGetShaderiv)
GLSL_HANDLER(glxGetProgramiv)
GLSL_HANDLER(glxGetShaderInfoLog)
GLSL_HANDLER(glxGetProgramInfoLog)
GLSL_HANDLER(glxDeleteProgram)
#undef GLSL_HANDLER
// ===== end of GLSL object requests =====

}  // namespace

GlxContextRecord *glxTagContext(uint32_t tag) {
  GlxTagEntry *entry = glxFindTagEntry(xproxyCurrentClient, tag);
  return entry ? entry->context : nullptr;
}

void glxSingleReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) return;
  uint8_t minor = uint8_t(connection->replyKey >> 8);
  const SingleRow *r = findSingle(minor);
  if (!r || !r->row.replyLayout) {
    xcoreUnexpectedReply(reply, length);
    return;
  }
  if (r->kind == K::Reply) {
    uintptr_t argument = xproxyTakeReplyCallback(connection, minor);
    Head *head = nullptr;
    if (minor == kGenTextures) {
      auto *record = reinterpret_cast<GenTexturesRecord *>(argument);
      if (record) head = record->head;
      else LOG(logChannelStep, "No data in GLXGenTextures reply for %s ...", xscreenClientName(client));
      free(record);
    } else {
      head = reinterpret_cast<Head *>(argument);
    }
    if (head && head->metaScreen && head != replyHeadOf(head->metaScreen)) return;
  }
  if (minor == kGetError) noteGlError(reply, connection, client);
  extWriteReply(reply, length, r->row.replyLayout);
}

const ExtRequestRow *glxSingleRow(uint8_t minor) {
  const SingleRow *r = findSingle(minor);
  return r ? &r->row : nullptr;
}
