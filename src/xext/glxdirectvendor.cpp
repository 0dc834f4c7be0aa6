// Vendor-private commands executed inside the proxy: each served vendor code has a row of the
// sorted table below (its fixed fields, its decoder, the form of its reply). The decoder reads
// the command's data only inside [data, end): counts, lengths and names are checked against the
// bytes present before any call, and a size the library would fill is computed in 64 bits and
// taken from the instance's scratch buffer, zeroed, so that a library writing less sends zeros
// and never an earlier answer. Errors (short data, no room, a slot that cannot be made current)
// and replies are sent only for the reply head of the meta screen: a screen of several heads
// answers once.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/gldatatype.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"
#include "xext/plugin.h"

namespace {

constexpr char kSource[] = "xext/glxdirectvendor.cpp";
constexpr uint8_t kMinorVendorPrivateWithReply = 17;
constexpr uint8_t kBadLength = 16, kBadAlloc = 11;
constexpr uint8_t kGlxBadContextTag = 4, kGlxBadCurrentWindow = 5;
// The most bytes a vendor command has the library write for a reply (a GL size is 31 bits; a
// reply this large is already far beyond what a client asks for).
constexpr uint64_t kMostVendorBytes = uint64_t(1) << 28;

constexpr uint32_t kGlProgramLengthNv = 0x8627, kGlProgramTargetNv = 0x8646, kGlProgramResidentNv = 0x8647;
constexpr uint32_t kGlProgramLengthArb = 0x8627;
constexpr uint32_t kGlBufferMapLength = 0x9120;
constexpr uint32_t kGlVertexAttribArrayBufferBinding = 0x889F;
constexpr uint32_t kGlActiveUniforms = 0x8B86, kGlActiveUniformMaxLength = 0x8B87;

enum class Reply : uint8_t {
  Nothing,   // nothing is sent
  Values,    // n values of the item size
  ValuesEx,  // the same with the status word (0)
  Pair,      // one 64-bit value
  Variable,  // an active variable: its name's length, size, type and the name
  Text,      // n bytes
};

enum Outcome : uint8_t { kDone, kShort, kNoRoom };

// One command being executed: its data, its slot, and what it answers.
struct Vendor {
  GlxLibraryInstance *instance;
  const GlFunctionTable &gl;
  const uint8_t *data;
  uint64_t size;
  // The answer (for the reply forms above).
  const void *values = nullptr;
  uint64_t count = 0;
  uint32_t itemSize = 4;
  uint32_t wordA = 0, wordB = 0;

  bool holds(uint64_t bytes) const { return bytes <= size; }
  uint32_t u(uint64_t at) const {
    uint32_t v;
    memcpy(&v, data + at, 4);
    return v;
  }
  int32_t i(uint64_t at) const { return int32_t(u(at)); }
  float f(uint64_t at) const {
    float v;
    memcpy(&v, data + at, 4);
    return v;
  }
  const uint8_t *at(uint64_t offset) const { return data + offset; }
  // A NUL-terminated text from offset inside the data, or NULL.
  const char *name(uint64_t offset) const {
    if (offset >= size || !memchr(data + offset, 0, size_t(size - offset))) return nullptr;
    return reinterpret_cast<const char *>(data + offset);
  }
  uint32_t tag() const {
    uint32_t slot = instance->currentTagSlot;
    return slot < kGlxDirectTagSlots ? instance->tagSlots[slot].proxyTag : 0;
  }
  uint32_t program(uint64_t at) const { return glxLookupProgramId(tag(), u(at)); }
  uint32_t shader(uint64_t at) const { return glxLookupShaderId(tag(), u(at)); }
  // count items of itemBytes from the scratch buffer, zeroed; NULL when the size does not fit a
  // GL size or no room can be had.
  uint8_t *room(uint64_t items, uint64_t itemBytes) const {
    uint64_t bytes = items * itemBytes;
    if (items > 0x7FFFFFFF || bytes > kMostVendorBytes) return nullptr;
    uint8_t *area = glxdirectScratch(instance, bytes ? bytes : 1);
    if (area) memset(area, 0, size_t(bytes ? bytes : 1));
    return area;
  }
  Outcome answer(const void *v, uint64_t n, uint32_t item) {
    values = v;
    count = n;
    itemSize = item;
    return kDone;
  }
};

using Decoder = Outcome (*)(Vendor &v);

struct VendorRow {
  uint32_t code;
  uint32_t fields;  // bytes of fixed fields the data must hold
  Decoder decode;
  Reply reply;
};

// A local area for the few values a query writes (the library may write up to 16).
struct Values16 {
  union {
    double d[16];
    float f[16];
    int32_t i[16];
    uint8_t b[128];
  };
  Values16() { memset(b, 0, sizeof b); }
};

// ----- program queries -----
Outcome areProgramsResident(Vendor &v) {
  uint32_t n = v.u(0);
  if (!v.holds(4 + 4ull * n)) return kShort;
  uint8_t *out = v.room(n, 1);
  if (!out) return kNoRoom;
  v.gl.glAreProgramsResidentNV(GLsizei(n), reinterpret_cast<const GLuint *>(v.at(4)), out);
  return v.answer(out, n, 1);
}
Outcome deletePrograms(Vendor &v) {
  uint32_t n = v.u(0);
  if (!v.holds(4 + 4ull * n)) return kShort;
  glxdirectNamesDeleted(v.instance, kGlxDirectProgramNames, v.at(4), n);
  glxdirectStorageDeleted(v.instance, kGlxDirectProgramStrings, v.at(4), n);
  v.gl.glDeleteProgramsARB(GLsizei(n), reinterpret_cast<const GLuint *>(v.at(4)));
  return kDone;
}
// Generates n names with the call into the scratch buffer: n values of 4 bytes. Names of a
// counted kind (kGlxDirectNameKinds: none) count against the client's budget.
template <void (*GlFunctionTable::*Gen)(GLsizei, GLuint *), GlxDirectNameKind kind = kGlxDirectNameKinds>
Outcome generate(Vendor &v) {
  uint32_t n = v.u(0);
  uint64_t charged = kind != kGlxDirectNameKinds && int32_t(n) > 0 ? n * kGlxDirectNameBytes : 0;
  if (!glxdirectCharge(charged)) return kNoRoom;
  uint8_t *out = v.room(n, 4);
  if (!out) {
    glxdirectRefund(xproxyCurrentClient, charged);
    return kNoRoom;
  }
  (v.gl.*Gen)(GLsizei(n), reinterpret_cast<GLuint *>(out));
  if (charged) glxdirectNamesMade(v.instance, kind, out, n);
  return v.answer(out, n, 4);
}
Outcome programParameterfNv(Vendor &v) {
  uint8_t *out = v.room(16, 4);
  if (!out) return kNoRoom;
  v.gl.glGetProgramParameterfvNV(v.u(0), v.u(4), v.u(8), reinterpret_cast<GLfloat *>(out));
  return v.answer(out, 4, 4);
}
Outcome programParameterdNv(Vendor &v) {
  uint8_t *out = v.room(16, 8);
  if (!out) return kNoRoom;
  v.gl.glGetProgramParameterdvNV(v.u(0), v.u(4), v.u(8), reinterpret_cast<GLdouble *>(out));
  return v.answer(out, 4, 8);
}
Outcome programIvNv(Vendor &v) {
  static Values16 out;
  out = Values16();
  uint32_t pname = v.u(4);
  if (pname != kGlProgramLengthNv && pname != kGlProgramTargetNv && pname != kGlProgramResidentNv) {
    logProblem("UNE", kSource, __LINE__);
    return v.answer(out.b, 0, 4);
  }
  v.gl.glGetProgramivNV(v.u(0), pname, out.i);
  return v.answer(out.b, 1, 4);
}
// The library writes the whole program string: the area holds the length it reports.
Outcome programStringNv(Vendor &v) {
  Values16 length;
  v.gl.glGetProgramivNV(v.u(0), kGlProgramLengthNv, length.i);
  uint8_t *out = v.room(uint64_t(std::max(length.i[0], 0)) + 1, 1);
  if (!out) return kNoRoom;
  v.gl.glGetProgramStringNV(v.u(0), v.u(4), out);
  return v.answer(out, 1, 1);
}
Outcome trackMatrix(Vendor &v) {
  static Values16 out;
  out = Values16();
  v.gl.glGetTrackMatrixivNV(v.u(0), v.u(4), v.u(8), out.i);
  return v.answer(out.b, 1, 4);
}
// The vertex attribute queries: one value for a known pname, none otherwise.
template <typename T, void (*GlFunctionTable::*Get)(GLuint, GLenum, T *), int (*Count)(uint32_t)>
Outcome vertexAttrib(Vendor &v) {
  static Values16 out;
  out = Values16();
  (v.gl.*Get)(v.u(0), v.u(4), reinterpret_cast<T *>(out.b));
  return v.answer(out.b, uint64_t(Count(v.u(4))), sizeof(T));
}
Outcome isProgramArb(Vendor &v) {
  static int32_t out;
  out = v.gl.glIsProgramARB(v.program(0));
  return v.answer(&out, 1, 4);
}
Outcome programLocalf(Vendor &v) {
  uint8_t *out = v.room(16, 4);
  if (!out) return kNoRoom;
  v.gl.glGetProgramLocalParameterfvARB(v.u(0), v.u(4), reinterpret_cast<GLfloat *>(out));
  return v.answer(out, 4, 4);
}
Outcome programLocald(Vendor &v) {
  uint8_t *out = v.room(16, 8);
  if (!out) return kNoRoom;
  v.gl.glGetProgramLocalParameterdvARB(v.u(0), v.u(4), reinterpret_cast<GLdouble *>(out));
  return v.answer(out, 4, 8);
}
bool knownProgramPname(uint32_t p) {
  return p == 0x8620 || p == 0x8627 || p == 0x8677 || (p >= 0x8805 && p <= 0x8810) || p == 0x8871 ||
         p == 0x8872 || p == 0x8876 || (p >= 0x88A0 && p <= 0x88B6) || (p >= 0x88F4 && p <= 0x88F8);
}
Outcome programIvArb(Vendor &v) {
  static Values16 out;
  out = Values16();
  uint32_t pname = v.u(4);
  if (!knownProgramPname(pname))
    LOG(logChannelWarning, "Unsupported enum %s in nGetProgramValues()", gldatatypeEnumName(pname));
  v.gl.glGetProgramivARB(v.u(0), pname, out.i);
  return v.answer(out.b, 1, 4);
}
Outcome programStringArb(Vendor &v) {
  Values16 length;
  v.gl.glGetProgramivARB(v.u(0), kGlProgramLengthArb, length.i);
  uint8_t *out = v.room(uint64_t(std::max(length.i[0], 0)) + 4, 1);
  if (!out) return kNoRoom;
  v.gl.glGetProgramStringARB(v.u(0), v.u(4), out);
  return v.answer(out, 1, 4);
}
template <typename T, void (*GlFunctionTable::*Get)(GLuint, GLsizei, const GLubyte *, T *)>
Outcome namedParameter(Vendor &v) {
  uint32_t length = v.u(4);
  if (!v.holds(8ull + length)) return kShort;
  uint8_t *out = v.room(16, sizeof(T));
  if (!out) return kNoRoom;
  (v.gl.*Get)(v.u(0), GLsizei(length), v.at(8), reinterpret_cast<T *>(out));
  return v.answer(out, 4, sizeof(T));
}

// ----- queries, textures, framebuffers, swap interval -----
template <typename T, void (*GlFunctionTable::*Get)(GLuint, GLenum, T *)>
Outcome queryObject64(Vendor &v) {
  T out = 0;
  (v.gl.*Get)(v.u(0), v.u(4), &out);
  uint64_t bits = uint64_t(out);
  v.wordA = uint32_t(bits);
  v.wordB = uint32_t(bits >> 32);
  return kDone;
}
// The attribute pairs go to the library ended by None.
Outcome bindTexImage(Vendor &v) {
  uint32_t pairs = v.u(8);
  if (!v.holds(12 + 8ull * pairs)) return kShort;
  auto *list = reinterpret_cast<int *>(v.room(2ull * pairs + 1, sizeof(int)));
  if (!list) return kNoRoom;
  memcpy(list, v.at(12), size_t(8ull * pairs));
  list[2ull * pairs] = None;
  v.gl.glXBindTexImageEXT(v.instance->display, v.u(0), v.i(4), list);
  return kDone;
}
Outcome releaseTexImage(Vendor &v) {
  v.gl.glXReleaseTexImageEXT(v.instance->display, v.u(0), v.i(4));
  return kDone;
}
template <GLboolean (*GlFunctionTable::*Is)(GLuint)>
Outcome isName(Vendor &v) {
  static uint8_t out;
  out = (v.gl.*Is)(v.u(0));
  return v.answer(&out, 1, 1);
}
Outcome isProgram(Vendor &v) {
  static uint8_t out;
  out = v.gl.glIsProgram(v.program(0));
  return v.answer(&out, 1, 1);
}
Outcome isShader(Vendor &v) {
  static uint8_t out;
  out = v.gl.glIsShader(v.shader(0));
  return v.answer(&out, 1, 1);
}
Outcome renderbufferParameter(Vendor &v) {
  uint8_t *out = v.room(16, 4);
  if (!out) return kNoRoom;
  v.gl.glGetRenderbufferParameteriv(v.u(0), v.u(4), reinterpret_cast<GLint *>(out));
  return v.answer(out, 1, 4);
}
Outcome checkFramebuffer(Vendor &v) {
  static uint32_t out;
  out = v.gl.glCheckFramebufferStatus(v.u(0));
  return v.answer(&out, 1, 4);
}
Outcome framebufferAttachment(Vendor &v) {
  uint8_t *out = v.room(16, 4);
  if (!out) return kNoRoom;
  v.gl.glGetFramebufferAttachmentParameteriv(v.u(0), v.u(4), v.u(8), reinterpret_cast<GLint *>(out));
  return v.answer(out, 1, 4);
}
Outcome swapInterval(Vendor &v) {
  v.gl.glXSwapIntervalSGI(v.i(0));
  return kDone;
}

// ----- shaders and programs -----
Outcome createShader(Vendor &v) {
  uint32_t type = v.u(4);
  GLuint id = v.gl.glCreateShader(type);
  glxRecordShaderId(v.tag(), v.u(0), id, type);
  return kDone;
}
// Shader sources as the render command carries them: count, count lengths, the texts.
Outcome shaderSource(Vendor &v) {
  uint32_t count = v.u(4);
  if (!v.holds(8 + 4ull * count)) return kShort;
  uint64_t texts = 0;
  for (uint32_t n = 0; n < count; n++) {
    uint32_t length = v.u(8 + 4ull * n);
    if (length & 0x80000000u) return kShort;
    texts += length;
  }
  uint64_t start = 8 + 4ull * count;
  if (!v.holds(start + texts)) return kShort;
  // The library keeps the source: the bytes sent for it count.
  if (!glxdirectShaderSource(v.instance, v.shader(0), start + texts)) return kNoRoom;
  const GLchar **pointers = nullptr;
  if (count) {
    pointers = reinterpret_cast<const GLchar **>(v.room(count, sizeof(GLchar *)));
    if (!pointers) return kNoRoom;
    for (uint32_t n = 0; n < count; n++) {
      pointers[n] = reinterpret_cast<const GLchar *>(v.at(start));
      start += v.u(8 + 4ull * n);
    }
  }
  v.gl.glShaderSource(v.shader(0), GLsizei(count), pointers, reinterpret_cast<const GLint *>(v.at(8)));
  return kDone;
}
Outcome compileShader(Vendor &v) {
  (void)glxdirectCompileShader(v.instance, v.shader(0));  // (a request that ended has nothing more)
  return kDone;
}
Outcome shaderIv(Vendor &v) {
  static Values16 out;
  out = Values16();
  v.gl.glGetShaderiv(v.shader(0), v.u(4), out.i);
  return v.answer(out.b, 1, 4);
}
Outcome linkProgram(Vendor &v) {
  (void)glxdirectLinkProgram(v.instance, v.program(0));
  return kDone;
}
Outcome bindAttribLocation(Vendor &v) {
  const char *name = v.name(12);
  if (!name) return kShort;
  v.gl.glBindAttribLocationARB(v.program(0), v.u(4), name);
  return kDone;
}
Outcome createProgram(Vendor &v) {
  GLuint id = v.gl.glCreateProgram();
  glxRecordProgramId(v.tag(), v.u(0), id);
  return kDone;
}
Outcome programIv(Vendor &v) {
  static Values16 out;
  out = Values16();
  v.gl.glGetProgramiv(v.program(0), v.u(4), out.i);
  return v.answer(out.b, 1, 4);
}
Outcome attachObject(Vendor &v) {
  v.gl.glAttachObjectARB(v.program(0), v.shader(4));
  return kDone;
}
Outcome attachShader(Vendor &v) {
  uint32_t program = v.program(0), shader = v.shader(4);
  v.gl.glAttachShader(program, shader);
  glxAttachShaderEntry(v.tag(), program, shader);
  return kDone;
}
Outcome useProgram(Vendor &v) {
  v.gl.glUseProgram(v.program(0));
  glxdirectProgramChanged(v.instance, 0);
  return kDone;
}
// An active uniform or attribute: the name in a buffer of the client's size.
template <void (*GlFunctionTable::*Get)(GLuint, GLuint, GLsizei, GLsizei *, GLint *, GLenum *, GLchar *)>
Outcome activeVariable(Vendor &v) {
  uint32_t bufferSize = v.u(8);
  uint8_t *name = v.room(uint64_t(bufferSize) + 1, 1);
  if (!name || bufferSize > 0x7FFFFFFF) return kNoRoom;
  GLsizei length = 0;
  GLint size = 0;
  GLenum type = 0;
  (v.gl.*Get)(v.program(0), v.u(4), GLsizei(bufferSize), &length, &size, &type, reinterpret_cast<GLchar *>(name));
  uint32_t n = length < 0 ? 0 : std::min<uint32_t>(uint32_t(length), bufferSize ? bufferSize - 1 : 0);
  v.wordA = uint32_t(size);
  v.wordB = type;
  return v.answer(name, n, 1);
}
template <GLint (*GlFunctionTable::*Get)(GLuint, const GLchar *)>
Outcome location(Vendor &v) {
  const char *name = v.name(8);
  if (!name) return kShort;
  static int32_t out;
  out = (v.gl.*Get)(v.program(0), name);
  return v.answer(&out, 1, 4);
}
// An information log or source into a buffer of the client's size: the reported length, at most
// the size less its NUL.
template <void (*GlFunctionTable::*Get)(GLuint, GLsizei, GLsizei *, GLchar *), bool Shader>
Outcome textOf(Vendor &v) {
  uint32_t bufferSize = v.u(4);
  uint8_t *text = v.room(uint64_t(bufferSize) + 1, 1);
  if (!text || bufferSize > 0x7FFFFFFF) return kNoRoom;
  GLsizei length = 0;
  (v.gl.*Get)(Shader ? v.shader(0) : v.program(0), GLsizei(bufferSize), &length, reinterpret_cast<GLchar *>(text));
  uint32_t n = length < 0 ? 0 : std::min<uint32_t>(uint32_t(length), bufferSize ? bufferSize - 1 : 0);
  return v.answer(text, n, 1);
}
Outcome validateProgram(Vendor &v) {
  v.gl.glValidateProgramARB(v.program(0));
  return kDone;
}
// Uniform vectors: location, count, count x Components values.
template <typename T, void (*GlFunctionTable::*Set)(GLint, GLsizei, const T *), uint32_t Components>
Outcome uniformVector(Vendor &v) {
  uint32_t count = v.u(4);
  if (!v.holds(8 + 4ull * Components * count)) return kShort;
  (v.gl.*Set)(v.i(0), GLsizei(count), reinterpret_cast<const T *>(v.at(8)));
  return kDone;
}
Outcome stencilFuncSeparate(Vendor &v) {
  v.gl.glStencilFuncSeparate(v.u(0), v.u(4), v.i(8), v.u(12));
  return kDone;
}
Outcome stencilOpSeparate(Vendor &v) {
  v.gl.glStencilOpSeparate(v.u(0), v.u(4), v.u(8), v.u(12));
  return kDone;
}
Outcome stencilMaskSeparate(Vendor &v) {
  v.gl.glStencilMaskSeparate(v.u(0), v.u(4));
  return kDone;
}
Outcome deleteProgram(Vendor &v) {
  uint32_t program = v.program(0);
  v.gl.glDeleteProgram(program);
  glxDropProgramEntry(v.tag(), program);
  return kDone;
}
Outcome deleteShader(Vendor &v) {
  uint32_t shader = v.shader(0);
  v.gl.glDeleteShader(shader);
  glxdirectStorageDeleted(v.instance, kGlxDirectShaderSources, reinterpret_cast<const uint8_t *>(&shader), 1);
  glxDropShaderEntry(v.tag(), shader);
  return kDone;
}
Outcome detachShader(Vendor &v) {
  uint32_t program = v.program(0), shader = v.shader(4);
  v.gl.glDetachShader(program, shader);
  glxDetachShaderEntry(v.tag(), program, shader);
  return kDone;
}
template <void (*GlFunctionTable::*Set)(GLuint)>
Outcome attribArray(Vendor &v) {
  glxdirectArraysChanged(v.instance);
  (v.gl.*Set)(v.u(0));
  return kDone;
}
Outcome attachedShaders(Vendor &v) {
  uint32_t most = v.u(4);
  uint8_t *out = v.room(most, 4);
  if (!out) return kNoRoom;
  GLsizei count = 0;
  v.gl.glGetAttachedShaders(v.program(0), GLsizei(most), &count, reinterpret_cast<GLuint *>(out));
  uint32_t n = count < 0 ? 0 : std::min<uint32_t>(uint32_t(count), most);
  // The client names its shaders by its own ids (every other code takes those): the library's
  // are turned back into them where the client made the shader.
  auto *ids = reinterpret_cast<uint32_t *>(out);
  for (uint32_t k = 0; k < n; k++)
    if (const GlxShaderEntry *entry = glxFindShaderEntry(v.tag(), ids[k])) ids[k] = entry->clientId;
  return v.answer(out, n, 4);
}
// The uniform's reported size in values of 4 bytes; the area holds at least one matrix.
template <typename T, void (*GlFunctionTable::*Get)(GLuint, GLint, T *)>
Outcome uniformValues(Vendor &v) {
  uint32_t program = v.program(0);
  int32_t where = v.i(4);
  uint32_t size = glxdirectUniformSize(v.instance, program, where);
  uint8_t *out = v.room(std::max<uint64_t>(size, 16), 4);
  if (!out) return kNoRoom;
  (v.gl.*Get)(program, where, reinterpret_cast<T *>(out));
  return v.answer(out, size, 4);
}
// The attribute array's pointer as the client gave it: with a buffer bound to the array, its
// offset into that buffer. Without one the array is the copy the proxy made of the client's
// carried data, and its address is the proxy's own: 0 is sent, never an address. An offset
// beyond 32 bits cannot be sent either (0).
Outcome attribPointer(Vendor &v) {
  static uint32_t out;
  out = 0;
  void *pointer = nullptr;
  v.gl.glGetVertexAttribPointerv(v.u(0), v.u(4), &pointer);
  Values16 buffer;
  if (pointer) v.gl.glGetVertexAttribiv(v.u(0), kGlVertexAttribArrayBufferBinding, buffer.i);
  uintptr_t offset = reinterpret_cast<uintptr_t>(pointer);
  if (buffer.i[0] != 0 && offset <= 0xFFFFFFFFu) out = uint32_t(offset);
  return v.answer(&out, 1, 4);
}
template <typename T, uint32_t N>
Outcome uniformScalars(Vendor &v);
#define UNIFORM_SCALARS(T, N, CALL)    \
  template <>                          \
  Outcome uniformScalars<T, N>(Vendor & v) { \
    CALL;                              \
    return kDone;                      \
  }
UNIFORM_SCALARS(float, 1, v.gl.glUniform1fARB(v.i(0), v.f(4)))
UNIFORM_SCALARS(float, 2, v.gl.glUniform2fARB(v.i(0), v.f(4), v.f(8)))
UNIFORM_SCALARS(float, 3, v.gl.glUniform3fARB(v.i(0), v.f(4), v.f(8), v.f(12)))
UNIFORM_SCALARS(float, 4, v.gl.glUniform4fARB(v.i(0), v.f(4), v.f(8), v.f(12), v.f(16)))
UNIFORM_SCALARS(int32_t, 1, v.gl.glUniform1iARB(v.i(0), v.i(4)))
UNIFORM_SCALARS(int32_t, 2, v.gl.glUniform2iARB(v.i(0), v.i(4), v.i(8)))
UNIFORM_SCALARS(int32_t, 3, v.gl.glUniform3iARB(v.i(0), v.i(4), v.i(8), v.i(12)))
UNIFORM_SCALARS(int32_t, 4, v.gl.glUniform4iARB(v.i(0), v.i(4), v.i(8), v.i(12), v.i(16)))
#undef UNIFORM_SCALARS
template <void (*GlFunctionTable::*Set)(GLint, GLsizei, GLboolean, const GLfloat *), uint32_t K>
Outcome uniformMatrix(Vendor &v) {
  uint32_t count = v.u(4);
  if (!v.holds(12 + 4ull * K * K * count)) return kShort;
  (v.gl.*Set)(v.i(0), GLsizei(count), GLboolean(v.u(8) & 0xFF), reinterpret_cast<const GLfloat *>(v.at(12)));
  return kDone;
}
Outcome deleteObject(Vendor &v) {
  uint32_t object = glxLookupObjectId(v.tag(), v.u(0));
  v.gl.glDeleteObjectARB(object);
  glxdirectStorageDeleted(v.instance, kGlxDirectShaderSources, reinterpret_cast<const uint8_t *>(&object), 1);
  return kDone;
}
template <typename T, void (*GlFunctionTable::*Get)(GLhandleARB, GLenum, T *)>
Outcome objectParameter(Vendor &v) {
  static Values16 out;
  out = Values16();
  (v.gl.*Get)(glxLookupObjectId(v.tag(), v.u(0)), v.u(4), reinterpret_cast<T *>(out.b));
  return v.answer(out.b, 1, 4);
}

// ----- buffer objects and arrays -----
Outcome bindBuffer(Vendor &v) {
  glxdirectArraysChanged(v.instance);
  if (!glxdirectNameBound(v.instance, kGlxDirectBufferNames, v.u(4))) return kNoRoom;
  v.gl.glBindBufferARB(v.u(0), v.u(4));
  return kDone;
}
Outcome bufferData(Vendor &v) {
  int32_t size = v.i(4);
  bool withData = v.u(12) != 0;
  if (withData && (size < 0 || !v.holds(16ull + uint32_t(size)))) return kShort;
  glxdirectArraysChanged(v.instance);
  if (!glxdirectBufferData(v.instance, v.u(0), size < 0 ? 0 : uint64_t(size))) return kNoRoom;
  v.gl.glBufferDataARB(v.u(0), GLsizeiptr(size), withData ? v.at(16) : nullptr, v.u(8));
  return kDone;
}
Outcome bufferSubData(Vendor &v) {
  int32_t size = v.i(8);
  if (size < 0 || !v.holds(12ull + uint32_t(size))) return kShort;
  v.gl.glBufferSubDataARB(v.u(0), GLintptr(v.i(4)), GLsizeiptr(size), v.at(12));
  return kDone;
}
Outcome deleteBuffers(Vendor &v) {
  uint32_t n = v.u(0);
  if (!v.holds(4 + 4ull * n)) return kShort;
  glxdirectArraysChanged(v.instance);
  v.gl.glDeleteBuffers(GLsizei(n), reinterpret_cast<const GLuint *>(v.at(4)));
  glxdirectStorageDeleted(v.instance, kGlxDirectBufferStorage, v.at(4), n);
  glxdirectNamesDeleted(v.instance, kGlxDirectBufferNames, v.at(4), n);
  return kDone;
}
Outcome bufferParameter(Vendor &v) {
  static Values16 out;
  out = Values16();
  v.gl.glGetBufferParameteriv(v.u(0), v.u(4), out.i);
  return v.answer(out.b, 1, 4);
}
// The length of the target's mapping (not the buffer's size: a range mapped at an offset ends
// before the buffer does).
uint32_t mappedLength(Vendor &v, uint32_t target) {
  Values16 length;
  v.gl.glGetBufferParameteriv(target, kGlBufferMapLength, length.i);
  return length.i[0] < 0 ? 0 : uint32_t(length.i[0]);
}
Outcome bufferPointer(Vendor &v) {
  void *pointer = nullptr;
  v.gl.glGetBufferPointervARB(v.u(0), v.u(4), &pointer);
  return v.answer(pointer, pointer ? mappedLength(v, v.u(0)) : 0, 1);
}
// size bytes of data answered as size values of 4 bytes: zeros past the data.
Outcome bufferSubDataGet(Vendor &v) {
  uint32_t size = v.u(8);
  uint8_t *out = v.room(size, 4);
  if (!out || size > 0x7FFFFFFF) return kNoRoom;
  v.gl.glGetBufferSubData(v.u(0), GLintptr(v.i(4)), GLsizeiptr(size), out);
  return v.answer(out, size, 4);
}
Outcome mapBuffer(Vendor &v) {
  void *pointer = v.gl.glMapBuffer(v.u(0), v.u(4));
  return v.answer(pointer, pointer ? mappedLength(v, v.u(0)) : 0, 1);
}
Outcome unmapBuffer(Vendor &v) {
  static uint8_t out;
  out = v.gl.glUnmapBuffer(v.u(0));
  return v.answer(&out, 1, 1);
}
Outcome lockArrays(Vendor &v) {
  v.gl.glLockArraysEXT(v.i(0), v.i(4));
  return kDone;
}
Outcome unlockArrays(Vendor &v) {
  v.gl.glUnlockArraysEXT();
  return kDone;
}
Outcome mapBufferRange(Vendor &v) {
  int32_t length = v.i(8);
  void *pointer = v.gl.glMapBufferRange(v.u(0), GLintptr(v.i(4)), GLsizeiptr(length), v.u(12));
  return v.answer(pointer, pointer && length > 0 ? uint32_t(length) : 0, 1);
}
Outcome flushMappedRange(Vendor &v) {
  v.gl.glFlushMappedBufferRange(v.u(0), GLintptr(v.i(4)), GLsizeiptr(v.i(8)));
  return kDone;
}
// A notice of the client's library: type, one word, the text.
Outcome clientNotice(Vendor &v) {
  const char *text = v.name(8);
  if (!text) return kShort;
  // A placeholder no library exports: the loader's stub stands there, which must not be
  // called through another function type.
  if (!pluginIsStub(v.gl.doNothing1)) v.gl.doNothing1();
  switch (v.u(0)) {
    case 0: LOG(logChannelXerror, "Lumora: Unimplemented function: %s", text); break;
    case 1: LOG(logChannelXerror, "Lumora: Missing feature: %s", text); break;
    case 2: LOG(logChannelNote, "Lumora: error %s", text); break;
    case 3: LOG(logChannelXerror, "Lumora: version %s", text); break;
    default: LOG(logChannelWarning, "Lumora: Unsupported hint type %s", gldatatypeEnumName(v.u(0))); break;
  }
  return kDone;
}

using F = GlFunctionTable;
using R = Reply;
constexpr VendorRow kRows[] = {
    {1293, 4, areProgramsResident, R::Values},
    {1294, 4, deletePrograms, R::Nothing},
    {1295, 4, generate<&F::glGenProgramsARB, kGlxDirectProgramNames>, R::ValuesEx},
    {1296, 12, programParameterfNv, R::Values},
    {1297, 12, programParameterdNv, R::Values},
    {1298, 8, programIvNv, R::Values},
    {1299, 8, programStringNv, R::ValuesEx},
    {1300, 12, trackMatrix, R::Values},
    {1301, 8, vertexAttrib<GLdouble, &F::glGetVertexAttribdvARB, glxdirectCheckVertexAttribPname>, R::Values},
    {1302, 8, vertexAttrib<GLfloat, &F::glGetVertexAttribfvARB, glxdirectCheckVertexAttribPname>, R::Values},
    {1303, 8, vertexAttrib<GLint, &F::glGetVertexAttribivARB, glxdirectCheckVertexAttribPname>, R::Values},
    {1304, 4, isProgramArb, R::Values},
    {1305, 8, programLocalf, R::Values},
    {1306, 8, programLocald, R::Values},
    {1307, 8, programIvArb, R::Values},
    {1308, 8, programStringArb, R::ValuesEx},
    {1310, 8, namedParameter<GLfloat, &F::glGetProgramNamedParameterfvNV>, R::ValuesEx},
    {1311, 8, namedParameter<GLdouble, &F::glGetProgramNamedParameterdvNV>, R::ValuesEx},
    {1328, 8, queryObject64<GLint64, &F::glGetQueryObjecti64vEXT>, R::Pair},
    {1329, 8, queryObject64<GLuint64, &F::glGetQueryObjectui64vEXT>, R::Pair},
    {1330, 12, bindTexImage, R::Nothing},
    {1331, 8, releaseTexImage, R::Nothing},
    {1422, 4, isName<&F::glIsRenderbuffer>, R::Values},
    {1423, 4, generate<&F::glGenRenderbuffers, kGlxDirectRenderbufferNames>, R::ValuesEx},
    {1424, 8, renderbufferParameter, R::ValuesEx},
    {1425, 4, isName<&F::glIsFramebuffer>, R::Values},
    {1426, 4, generate<&F::glGenFramebuffers, kGlxDirectFramebufferNames>, R::ValuesEx},
    {1427, 4, checkFramebuffer, R::Values},
    {1428, 12, framebufferAttachment, R::ValuesEx},
    {65536, 4, swapInterval, R::Nothing},
    {90000, 8, createShader, R::Nothing},
    {90001, 8, shaderSource, R::Nothing},
    {90002, 4, compileShader, R::Nothing},
    {90003, 8, shaderIv, R::Values},
    {90004, 4, linkProgram, R::Nothing},
    {90005, 12, bindAttribLocation, R::Nothing},
    {90006, 4, createProgram, R::Nothing},
    {90007, 8, programIv, R::Values},
    {90008, 8, attachObject, R::Nothing},
    {90009, 8, attachShader, R::Nothing},
    {90010, 4, useProgram, R::Nothing},
    {90011, 12, activeVariable<&F::glGetActiveUniform>, R::Variable},
    {90012, 8, location<&F::glGetUniformLocation>, R::Values},
    {90013, 12, activeVariable<&F::glGetActiveAttrib>, R::Variable},
    {90014, 8, location<&F::glGetAttribLocation>, R::Values},
    {90015, 8, textOf<&F::glGetShaderInfoLog, true>, R::Text},
    {90016, 8, textOf<&F::glGetProgramInfoLog, false>, R::Text},
    {90017, 4, validateProgram, R::Nothing},
    {90018, 8, uniformVector<GLfloat, &F::glUniform1fvARB, 1>, R::Nothing},
    {90019, 8, uniformVector<GLfloat, &F::glUniform2fvARB, 2>, R::Nothing},
    {90020, 8, uniformVector<GLfloat, &F::glUniform3fvARB, 3>, R::Nothing},
    {90021, 8, uniformVector<GLfloat, &F::glUniform4fvARB, 4>, R::Nothing},
    {90022, 8, uniformVector<GLint, &F::glUniform1ivARB, 1>, R::Nothing},
    {90023, 8, uniformVector<GLint, &F::glUniform2ivARB, 2>, R::Nothing},
    {90024, 8, uniformVector<GLint, &F::glUniform3ivARB, 3>, R::Nothing},
    {90025, 8, uniformVector<GLint, &F::glUniform4ivARB, 4>, R::Nothing},
    {90026, 16, stencilFuncSeparate, R::Nothing},
    {90027, 16, stencilOpSeparate, R::Nothing},
    {90028, 8, stencilMaskSeparate, R::Nothing},
    {90029, 4, deleteProgram, R::Nothing},
    {90030, 4, deleteShader, R::Nothing},
    {90031, 8, detachShader, R::Nothing},
    {90032, 4, attribArray<&F::glDisableVertexAttribArrayARB>, R::Nothing},
    {90033, 4, attribArray<&F::glEnableVertexAttribArrayARB>, R::Nothing},
    {90034, 8, attachedShaders, R::ValuesEx},
    {90035, 8, textOf<&F::glGetShaderSource, true>, R::ValuesEx},
    {90036, 8, uniformValues<GLfloat, &F::glGetUniformfv>, R::ValuesEx},
    {90037, 8, uniformValues<GLint, &F::glGetUniformiv>, R::ValuesEx},
    {90038, 8, vertexAttrib<GLdouble, &F::glGetVertexAttribdv, glxdirectIsVertexAttribPname>, R::ValuesEx},
    {90039, 8, vertexAttrib<GLfloat, &F::glGetVertexAttribfv, glxdirectIsVertexAttribPname>, R::ValuesEx},
    {90040, 8, vertexAttrib<GLint, &F::glGetVertexAttribiv, glxdirectIsVertexAttribPname>, R::ValuesEx},
    {90041, 8, attribPointer, R::Values},
    {90042, 4, isProgram, R::Values},
    {90043, 4, isShader, R::Values},
    {90044, 8, uniformScalars<float, 1>, R::Nothing},
    {90045, 12, uniformScalars<float, 2>, R::Nothing},
    {90046, 16, uniformScalars<float, 3>, R::Nothing},
    {90047, 20, uniformScalars<float, 4>, R::Nothing},
    {90048, 8, uniformScalars<int32_t, 1>, R::Nothing},
    {90049, 12, uniformScalars<int32_t, 2>, R::Nothing},
    {90050, 16, uniformScalars<int32_t, 3>, R::Nothing},
    {90051, 20, uniformScalars<int32_t, 4>, R::Nothing},
    {90052, 12, uniformMatrix<&F::glUniformMatrix2fvARB, 2>, R::Nothing},
    {90053, 12, uniformMatrix<&F::glUniformMatrix3fvARB, 3>, R::Nothing},
    {90054, 12, uniformMatrix<&F::glUniformMatrix4fvARB, 4>, R::Nothing},
    {90055, 8, bindBuffer, R::Nothing},
    {90056, 16, bufferData, R::Nothing},
    {90057, 12, bufferSubData, R::Nothing},
    {90058, 4, deleteBuffers, R::Nothing},
    {90059, 4, generate<&F::glGenBuffers, kGlxDirectBufferNames>, R::ValuesEx},
    {90060, 8, bufferParameter, R::ValuesEx},
    {90061, 8, bufferPointer, R::ValuesEx},
    {90062, 12, bufferSubDataGet, R::ValuesEx},
    {90063, 4, isName<&F::glIsBuffer>, R::Values},
    {90064, 8, mapBuffer, R::ValuesEx},
    {90065, 4, unmapBuffer, R::Values},
    {90066, 8, clientNotice, R::Nothing},
    {90073, 4, deleteObject, R::Nothing},
    {90074, 8, objectParameter<GLfloat, &F::glGetObjectParameterfvARB>, R::Values},
    {90075, 8, objectParameter<GLint, &F::glGetObjectParameterivARB>, R::Values},
    {90076, 8, lockArrays, R::Nothing},
    {90077, 0, unlockArrays, R::Nothing},
    {90078, 16, mapBufferRange, R::ValuesEx},
    {90079, 12, flushMappedRange, R::Nothing},
};

constexpr bool sortedByCode() {
  for (size_t k = 1; k < std::size(kRows); k++)
    if (kRows[k - 1].code >= kRows[k].code) return false;
  return true;
}
static_assert(sortedByCode(), "vendor rows must be sorted by code");
static_assert(std::size(kRows) == 104, "every served vendor code has a row");

const VendorRow *findRow(uint32_t code) {
  const VendorRow *row = std::lower_bound(std::begin(kRows), std::end(kRows), code,
                                          [](const VendorRow &r, uint32_t c) { return r.code < c; });
  return row != std::end(kRows) && row->code == code ? row : nullptr;
}

bool isReplyHead(const Head *head) {
  if (!head || !head->metaScreen) return true;
  const MetaScreen *screen = head->metaScreen;
  return head == (screen->glxHead ? screen->glxHead : screen->heads);
}

void sendAnswer(const VendorRow &row, const Vendor &v) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t n = uint32_t(v.count);
  switch (row.reply) {
    case Reply::Nothing: break;
    case Reply::Values:
      glxindirectReplyValues(v.values, n, v.itemSize, client, kMinorVendorPrivateWithReply);
      break;
    case Reply::ValuesEx:
      glxindirectReplyValuesEx(v.values, n, v.itemSize, 0, client, kMinorVendorPrivateWithReply);
      break;
    case Reply::Pair: glxindirectReplyPair(v.wordA, v.wordB, 1, client, kMinorVendorPrivateWithReply); break;
    case Reply::Variable:
      glxindirectReplyData1(n, v.wordA, v.wordB, static_cast<const uint8_t *>(v.values));
      break;
    case Reply::Text: glxindirectReplyData3(n, static_cast<const uint8_t *>(v.values)); break;
  }
}

}  // namespace

int glxdirectCheckVertexAttribPname(uint32_t pname) {
  if (glxdirectIsVertexAttribPname(pname)) return 1;
  logProblem("UNE", kSource, __LINE__);
  return 0;
}

int glxdirectIsVertexAttribPname(uint32_t pname) { return pname == 0x8620 || (pname >= 0x8622 && pname <= 0x8626); }

int32_t glxdirectBufferSize(GlxLibraryInstance *instance, uint32_t target) {
  GLint size = 0;
  instance->functions.glGetBufferParameteriv(target, 0x8764, &size);
  return size;
}

uint32_t glxdirectUniformSize(GlxLibraryInstance *instance, uint32_t program, int32_t location) {
  const GlFunctionTable &gl = instance->functions;
  GLint uniforms = 0, longest = 0;
  gl.glGetProgramiv(program, kGlActiveUniforms, &uniforms);
  gl.glGetProgramiv(program, kGlActiveUniformMaxLength, &longest);
  if (longest <= 0 || uniforms <= 0) return 0;
  auto *name = static_cast<GLchar *>(calloc(1, size_t(longest) + 1));
  if (!name) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return 0;
  }
  uint32_t found = 0;
  bool seen = false;
  for (GLint index = 0; index < uniforms && !seen; index++) {
    GLsizei length = 0;
    GLint size = 0;
    GLenum type = 0;
    memset(name, 0, size_t(longest) + 1);
    gl.glGetActiveUniform(program, GLuint(index), longest, &length, &size, &type, name);
    if (gl.glGetUniformLocation(program, name) == location) {
      seen = true;
      found = size < 0 ? 0 : uint32_t(size);
    }
  }
  free(name);
  if (!seen) LOG(logChannelXhint, "Lumora: No uniform with location %d found", location);
  return found;
}

bool glxdirectVendorPrivate(GlxLibraryInstance *instance, uint32_t slot, uint32_t code, const uint8_t *data,
                            const uint8_t *end, Head *head) {
  if (!instance) return false;
  uint64_t size = data && end > data ? uint64_t(end - data) : 0;
  const VendorRow *row = findRow(code);
  if (!row) {
    LOG(logChannelWarning, "Lumora: Unsupported vendor command #%u (%u bytes) by %s", code, uint32_t(size),
        xscreenClientName(xproxyCurrentClient));
    return false;
  }
  bool answers = isReplyHead(head);
  // The request began 12 bytes before its data (header, vendor code, context tag).
  const uint8_t *request = data ? data - 12 : nullptr;
  // A client that sent the code without asking for a reply gets none.
  bool withReply = request && request[1] == kMinorVendorPrivateWithReply;
  uint32_t length = uint32_t(size + 12);
  auto fail = [&](uint8_t error, uint32_t badValue) {
    if (answers && request) xprotoSendError(error, badValue, request, length, nullptr);
    return true;
  };
  if (size < row->fields) return fail(kBadLength, length);
  // Slot 0 is no client's: never "already current" (no context may be current at all).
  if ((slot == 0 || instance->currentTagSlot != slot) && !glxdirectMakeTagCurrent(instance, slot)) {
    uint32_t tag = slot < kGlxDirectTagSlots ? instance->tagSlots[slot].proxyTag : 0;
    // A slot whose drawable ended is a current window gone, as a GLX server answers.
    bool gone = slot < kGlxDirectTagSlots && instance->tagSlots[slot].context && instance->tagSlots[slot].drawableGone;
    if (answers && request)
      xprotoSendExtensionError(gone ? kGlxBadCurrentWindow : kGlxBadContextTag, tag, request, length, nullptr);
    return true;
  }
  Vendor v{instance, instance->functions, data, size};
  Outcome outcome = row->decode(v);
  // What was counted before the call stays only when the library accepted the call.
  glxdirectStorageDone(instance, outcome == kDone);
  switch (outcome) {
    case kShort: return fail(kBadLength, length);
    case kNoRoom: return fail(kBadAlloc, 0);
    case kDone: break;
  }
  if (answers && withReply) sendAnswer(*row, v);
  return true;
}
