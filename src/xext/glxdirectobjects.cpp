// Strings and occlusion queries on a head that renders GL inside the proxy: the single
// operations of the GLX front, each on the tag slot made current first. Compressed texture
// images have no direct form yet: that operation executes nothing and gives no data, and the
// front answers it as it answers an empty result.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <cstring>

#include "proxy/clientconnection.h"

namespace {

uint32_t word(const uint8_t *params, uint32_t length, uint32_t index) {
  uint32_t v = 0;
  if (params && (uint64_t(index) + 1) * 4 <= length) std::memcpy(&v, params + 4 * index, 4);
  return v;
}

void set(GlxDirectResult *result, int32_t value, uint32_t count = 0, const uint8_t *data = nullptr) {
  if (result) *result = GlxDirectResult{value, count, data};
}

// The slot current in the library: 1, or 0 (nothing may be called then). The result is cleared
// either way.
int current(GlxLibraryInstance *instance, uint32_t slot, GlxDirectResult *result) {
  set(result, 0);
  if (!instance) return 0;
  if (slot != 0 && instance->currentTagSlot == slot) return 1;
  return glxdirectMakeTagCurrent(instance, slot);
}

// One value of a get of two words (target or query name, pname), into room for the longest
// answer (the library may write more than one value for a pname it knows and the proxy does not).
template <typename T>
using TwoWordGet = void (*)(GLenum, GLenum, T *);
template <typename T>
int oneValue(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
             GlxDirectResult *result, TwoWordGet<T> GlFunctionTable::*get) {
  if (!current(instance, slot, result)) return 0;
  T values[16] = {};
  (instance->functions.*get)(word(params, length, 0), word(params, length, 1), values);
  set(result, int32_t(values[0]));
  return 1;
}

}  // namespace

#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)

GLXDIRECT_SINGLE(glxdirectGetString) {
  if (!current(instance, slot, result)) return 0;
  const auto *text = reinterpret_cast<const char *>(instance->functions.glGetString(word(params, length, 0)));
  if (text) set(result, 0, uint32_t(strnlen(text, UINT32_MAX - 1) + 1), reinterpret_cast<const uint8_t *>(text));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGetCompressedTexImage) {
  (void)instance, (void)slot, (void)params, (void)length;
  set(result, 0);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGenQueries) {
  if (!current(instance, slot, result)) return 0;
  uint32_t n = word(params, length, 0);
  if (int32_t(n) <= 0) return 1;  // none asked for (a negative count included): no call
  // The names count against the client's budget.
  if (!glxdirectCharge(n * kGlxDirectNameBytes)) return 0;
  uint8_t *names = glxdirectScratch(instance, 4 * uint64_t(n));
  if (!names) {
    glxdirectRefund(xproxyCurrentClient, n * kGlxDirectNameBytes);
    return 0;
  }
  std::memset(names, 0, 4 * size_t(n));
  instance->functions.glGenQueries(GLsizei(n), reinterpret_cast<GLuint *>(names));
  glxdirectNamesMade(instance, kGlxDirectQueryNames, names, n);
  set(result, 0, n, names);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectIsQuery) {
  if (!current(instance, slot, result)) return 0;
  set(result, instance->functions.glIsQuery(word(params, length, 0)) & 0xff);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGetQueryiv) {
  return oneValue(instance, slot, params, length, result, &GlFunctionTable::glGetQueryiv);
}

GLXDIRECT_SINGLE(glxdirectGetQueryObjectiv) {
  return oneValue(instance, slot, params, length, result, &GlFunctionTable::glGetQueryObjectiv);
}

GLXDIRECT_SINGLE(glxdirectGetQueryObjectuiv) {
  return oneValue(instance, slot, params, length, result, &GlFunctionTable::glGetQueryObjectuiv);
}
#undef GLXDIRECT_SINGLE
