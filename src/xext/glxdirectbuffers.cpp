// Buffer objects and GLSL objects on a head that renders GL inside the proxy: the single
// operations of the GLX front, and the typed operations on programs, shaders and their logs.
// Each makes its tag slot current when it is not, then calls the library; arrays come back in
// the instance's scratch buffer, zeroed first so that nothing of an earlier answer leaks out
// where the library writes less than it was given room for.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <cstring>

#include "proxy/clientconnection.h"
#include "support/fiber.h"
#include "support/logging.h"
#include "xext/glxobjects.h"

namespace {

constexpr uint64_t kMaxGlSize = INT32_MAX;  // what a 32-bit GLsizei holds
static_assert(sizeof(GLhandleARB) == 4, "attached objects are sent as 4-byte handles");

uint32_t word(const uint8_t *params, uint32_t length, uint32_t index) {
  uint32_t v = 0;
  if (params && (uint64_t(index) + 1) * 4 <= length) std::memcpy(&v, params + 4 * index, 4);
  return v;
}

// The slot current in the library: 1, or 0 (nothing may be called then).
int current(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return 0;
  if (slot != 0 && instance->currentTagSlot == slot) return 1;
  return glxdirectMakeTagCurrent(instance, slot);
}

// The proxy tag the object lists of the current slot are kept under.
uint32_t currentProxyTag(const GlxLibraryInstance *instance) {
  return instance->tagSlots[instance->currentTagSlot].proxyTag;
}

// Zeroed scratch room for bytes (64 bits, bounded by the GL size), or NULL.
uint8_t *zeroedRoom(GlxLibraryInstance *instance, uint64_t bytes) {
  if (bytes > kMaxGlSize) return nullptr;
  uint8_t *room = glxdirectScratch(instance, bytes);
  if (room && bytes) std::memset(room, 0, size_t(bytes));
  return room;
}

void set(GlxDirectResult *result, int32_t value, uint32_t count = 0, const uint8_t *data = nullptr) {
  if (result) *result = GlxDirectResult{value, count, data};
}

}  // namespace

#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)

// ===== buffer objects =====
GLXDIRECT_SINGLE(glxdirectGenBuffers) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  uint32_t count = word(params, length, 0);
  // The names count against the client's budget.
  uint64_t charged = int32_t(count) > 0 ? count * kGlxDirectNameBytes : 0;
  if (!glxdirectCharge(charged)) return 0;
  uint8_t *names = zeroedRoom(instance, uint64_t(count) * 4);
  if (!names) {
    glxdirectRefund(xproxyCurrentClient, charged);
    return 1;  // no room: nothing called, no data
  }
  instance->functions.glGenBuffers(GLsizei(count), reinterpret_cast<GLuint *>(names));
  if (charged) glxdirectNamesMade(instance, kGlxDirectBufferNames, names, count);
  set(result, 0, count, names);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectIsBuffer) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  set(result, instance->functions.glIsBuffer(word(params, length, 0)) & 0xff);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGetBufferSubData) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  // The offset's word after its low word is ignored; the size is taken whole.
  uint32_t offset = word(params, length, 0);
  uint64_t size = uint64_t(word(params, length, 3)) << 32 | word(params, length, 2);
  uint32_t target = word(params, length, 4);
  uint8_t *bytes = zeroedRoom(instance, size);
  if (!bytes) return 1;
  if (size) instance->functions.glGetBufferSubData(target, GLintptr(offset), GLsizeiptr(size), bytes);
  set(result, 0, uint32_t(size), bytes);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGetBufferParameteriv) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  GLint values[4] = {};
  instance->functions.glGetBufferParameteriv(word(params, length, 0), word(params, length, 1), values);
  set(result, values[0]);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGetBufferPointerv) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  void *pointer = nullptr;
  instance->functions.glGetBufferPointerv(word(params, length, 0), word(params, length, 1), &pointer);
  set(result, 0, 0, static_cast<const uint8_t *>(pointer));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectMapBuffer) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  void *pointer = instance->functions.glMapBuffer(word(params, length, 0), word(params, length, 1));
  set(result, 0, 0, static_cast<const uint8_t *>(pointer));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectUnmapBuffer) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  set(result, instance->functions.glUnmapBuffer(word(params, length, 0)) & 0xff);
  return 1;
}

// Element ranges have no GL call behind them: the front answers with an empty range.
GLXDIRECT_SINGLE(glxdirectGetElementRange) {
  (void)instance, (void)slot, (void)params, (void)length;
  logProblem("WIP", __FILE__, __LINE__);
  set(result, 0);
  return 1;
}
// ===== end of buffer objects =====

// ===== GLSL objects =====
GLXDIRECT_SINGLE(glxdirectGetHandle) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  set(result, int32_t(instance->functions.glGetHandleARB(word(params, length, 0))));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectCreateShaderObject) {
  set(result, 0);
  if (!current(instance, slot)) return 0;
  uint32_t type = word(params, length, 0);
  uint32_t id = instance->functions.glCreateShader(type);
  if (id) glxRecordShaderId(currentProxyTag(instance), id, id, type);
  set(result, int32_t(id));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectCreateProgramObject) {
  (void)params, (void)length;
  set(result, 0);
  if (!current(instance, slot)) return 0;
  uint32_t id = instance->functions.glCreateProgram();
  if (id) glxRecordProgramId(currentProxyTag(instance), id, id);
  set(result, int32_t(id));
  return 1;
}
#undef GLXDIRECT_SINGLE

int glxdirectBindBuffer(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t buffer) {
  if (!current(instance, slot)) return 0;
  glxdirectArraysChanged(instance);
  instance->functions.glBindBuffer(target, buffer);
  return 1;
}

int glxdirectDeleteProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t program) {
  if (!current(instance, slot)) return 0;
  instance->functions.glDeleteProgram(program);
  glxDropProgramEntry(currentProxyTag(instance), program);
  return 1;
}

int glxdirectDeleteShader(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader) {
  if (!current(instance, slot)) return 0;
  instance->functions.glDeleteShader(shader);
  // Its source is given back at the delete (the library may keep an attached shader until its
  // program lets it go).
  glxdirectStorageDeleted(instance, kGlxDirectShaderSources, reinterpret_cast<const uint8_t *>(&shader), 1);
  glxDropShaderEntry(currentProxyTag(instance), shader);
  return 1;
}

int glxdirectIsProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, int32_t *value) {
  *value = 0;
  if (!current(instance, slot)) return 0;
  *value = instance->functions.glIsProgram(program) & 0xff;
  return 1;
}

int glxdirectGetProgramiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, uint32_t pname,
                          int32_t *value) {
  *value = 0;
  if (!current(instance, slot)) return 0;
  GLint values[4] = {};
  instance->functions.glGetProgramiv(program, pname, values);
  *value = values[0];
  return 1;
}

int glxdirectGetShaderiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader, uint32_t pname,
                         int32_t *value) {
  *value = 0;
  if (!current(instance, slot)) return 0;
  GLint values[4] = {};
  instance->functions.glGetShaderiv(shader, pname, values);
  *value = values[0];
  return 1;
}

int glxdirectGetObjectParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t object, uint32_t pname,
                                  float *value) {
  *value = 0;
  if (!current(instance, slot)) return 0;
  GLfloat values[4] = {};
  instance->functions.glGetObjectParameterfvARB(object, pname, values);
  *value = values[0];
  return 1;
}

int glxdirectGetObjectParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t object, uint32_t pname,
                                  int32_t *value) {
  *value = 0;
  if (!current(instance, slot)) return 0;
  GLint values[4] = {};
  instance->functions.glGetObjectParameterivARB(object, pname, values);
  *value = values[0];
  return 1;
}

namespace {

enum class TextKind { ProgramLog, ShaderLog, ShaderSource, InfoLog };

// The text of the object in bufferSize zeroed bytes of scratch and its length as reported
// (bounded by the room); NULL without a call when no room can be had.
const uint8_t *objectText(GlxLibraryInstance *instance, uint32_t slot, TextKind kind, uint32_t object,
                          uint64_t bufferSize, int32_t *textLength) {
  *textLength = 0;
  if (!current(instance, slot)) return nullptr;
  uint8_t *room = zeroedRoom(instance, bufferSize);
  if (!room) return nullptr;
  GlFunctionTable &gl = instance->functions;
  GLsizei reported = 0;
  auto size = GLsizei(bufferSize);
  auto *text = reinterpret_cast<GLchar *>(room);
  switch (kind) {
    case TextKind::ProgramLog: gl.glGetProgramInfoLog(object, size, &reported, text); break;
    case TextKind::ShaderLog: gl.glGetShaderInfoLog(object, size, &reported, text); break;
    case TextKind::ShaderSource: gl.glGetShaderSource(object, size, &reported, text); break;
    case TextKind::InfoLog: gl.glGetInfoLogARB(object, size, &reported, text); break;
  }
  if (reported < 0) reported = 0;
  if (uint64_t(reported) > bufferSize) reported = GLsizei(bufferSize);
  *textLength = reported;
  return room;
}

}  // namespace

namespace {

struct LibraryCall {
  GlxLibraryInstance *instance;
  uint32_t object;
  bool link;
};

void compileOrLink(void *argument) {
  auto *call = static_cast<LibraryCall *>(argument);
  GlFunctionTable &gl = call->instance->functions;
  if (call->link) {
    gl.glLinkProgram(call->object);
  } else {
    gl.glCompileShader(call->object);
  }
}

// On a stack of its own, outside the loop where the request may yield (a compile of a long
// source takes seconds). Whether a stack could be had is logged once the call is over.
const char *onCompileStack(GlxLibraryInstance *instance, uint32_t object, bool link) {
  struct OnStack {
    LibraryCall call;
    unsigned long stackBytes;
  } onStack{{instance, object, link}, 0};
  const char *why = glxdirectOutside(
      instance,
      [](void *a) {
        auto *o = static_cast<OnStack *>(a);
        o->stackBytes = fiberCallOnStack(compileOrLink, &o->call, kGlxDirectCompileStackBytes);
      },
      &onStack);
  if (onStack.stackBytes == 0) {
    // Left uncompiled (unlinked): its status stays false.
    LOG(logChannelWarning, "Lumora: no stack for the library's %s of %u", link ? "link" : "compile", object);
  }
  return why;
}

}  // namespace

const char *glxdirectCompileShader(GlxLibraryInstance *instance, uint32_t shader) {
  return onCompileStack(instance, shader, false);
}
const char *glxdirectLinkProgram(GlxLibraryInstance *instance, uint32_t program) {
  glxdirectProgramChanged(instance, program);
  return onCompileStack(instance, program, true);
}

const uint8_t *glxdirectGetProgramInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                          uint64_t bufferSize, int32_t *textLength) {
  return objectText(instance, slot, TextKind::ProgramLog, program, bufferSize, textLength);
}
const uint8_t *glxdirectGetShaderInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader,
                                         uint64_t bufferSize, int32_t *textLength) {
  return objectText(instance, slot, TextKind::ShaderLog, shader, bufferSize, textLength);
}
const uint8_t *glxdirectGetShaderSource(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader,
                                        uint64_t bufferSize, int32_t *textLength) {
  return objectText(instance, slot, TextKind::ShaderSource, shader, bufferSize, textLength);
}
const uint8_t *glxdirectGetInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t object,
                                   uint64_t bufferSize, int32_t *textLength) {
  return objectText(instance, slot, TextKind::InfoLog, object, bufferSize, textLength);
}

const uint8_t *glxdirectGetAttachedObjects(GlxLibraryInstance *instance, uint32_t slot, uint32_t container,
                                           uint64_t maximumCount, int32_t *count) {
  *count = 0;
  if (!current(instance, slot)) return nullptr;
  if (maximumCount > kMaxGlSize) return nullptr;
  uint8_t *room = zeroedRoom(instance, maximumCount * 4);
  if (!room) return nullptr;
  GLsizei reported = 0;
  instance->functions.glGetAttachedObjectsARB(container, GLsizei(maximumCount), &reported,
                                              reinterpret_cast<GLhandleARB *>(room));
  if (reported < 0) reported = 0;
  if (uint64_t(reported) > maximumCount) reported = GLsizei(maximumCount);
  *count = reported;
  return room;
}
namespace {

using LocationGet = GLint (*)(GLuint, const GLchar *);
using ActiveGet = void (*)(GLuint, GLuint, GLsizei, GLsizei *, GLint *, GLenum *, GLchar *);

int location(GlxLibraryInstance *instance, uint32_t slot, LocationGet GlFunctionTable::*get, uint32_t program,
             const char *name, int32_t *result) {
  *result = -1;
  if (!current(instance, slot)) return 0;
  *result = (instance->functions.*get)(program, name);
  return 1;
}

// The active variable's name in bufferSize zeroed bytes, its length bounded by the room.
const uint8_t *active(GlxLibraryInstance *instance, uint32_t slot, ActiveGet GlFunctionTable::*get, uint32_t program,
                      uint32_t index, uint64_t bufferSize, int32_t *nameLength, int32_t *size, uint32_t *type) {
  *nameLength = *size = 0;
  *type = 0;
  if (!current(instance, slot)) return nullptr;
  uint8_t *room = zeroedRoom(instance, bufferSize);
  if (!room) return nullptr;
  GLsizei reported = 0;
  GLint items = 0;
  GLenum kind = 0;
  (instance->functions.*get)(program, index, GLsizei(bufferSize), &reported, &items, &kind,
                             reinterpret_cast<GLchar *>(room));
  if (reported < 0) reported = 0;
  if (uint64_t(reported) > bufferSize) reported = GLsizei(bufferSize);
  *nameLength = reported;
  *size = items;
  *type = kind;
  return room;
}

}  // namespace

int glxdirectGetUniformLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, const char *name,
                                int32_t *result) {
  return location(instance, slot, &GlFunctionTable::glGetUniformLocation, program, name, result);
}
int glxdirectGetAttribLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, const char *name,
                               int32_t *result) {
  return location(instance, slot, &GlFunctionTable::glGetAttribLocation, program, name, result);
}
const uint8_t *glxdirectGetActiveUniform(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                         uint32_t index, uint64_t bufferSize, int32_t *nameLength, int32_t *size,
                                         uint32_t *type) {
  return active(instance, slot, &GlFunctionTable::glGetActiveUniform, program, index, bufferSize, nameLength, size,
                type);
}
const uint8_t *glxdirectGetActiveAttrib(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                        uint32_t index, uint64_t bufferSize, int32_t *nameLength, int32_t *size,
                                        uint32_t *type) {
  return active(instance, slot, &GlFunctionTable::glGetActiveAttrib, program, index, bufferSize, nameLength, size,
                type);
}
// ===== end of GLSL objects =====
