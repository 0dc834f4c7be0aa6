// State queries and simple single operations on the context behind a tag slot of a library
// instance: the value counts of the gets (tables of pnames), the gets themselves into the
// instance's scratch buffer, the display-list, flush, pixel-store, texture, query and buffer
// name operations, and GetError with its Xerror line.
#include "xext/glxdirect.h"
// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"
#include "xext/glxdirectlists.h"

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/gldatatype.h"
#include "xclient/misc.h"

namespace {

constexpr const char *kSource = "Xext/glxdirectstate";

// ===== value counts =====
struct PnameCount {
  uint32_t pname;
  uint8_t count;
};

// The gets of one pname (GetBooleanv, GetDoublev, GetFloatv, GetIntegerv) that answer more than
// one value, sorted by pname.
constexpr PnameCount kGetCounts[] = {
    {0x0B00, 4},   // CURRENT_COLOR
    {0x0B02, 3},   // CURRENT_NORMAL
    {0x0B03, 4},   // CURRENT_TEXTURE_COORDS
    {0x0B04, 4},   // CURRENT_RASTER_COLOR
    {0x0B06, 4},   // CURRENT_RASTER_TEXTURE_COORDS
    {0x0B07, 4},   // CURRENT_RASTER_POSITION
    {0x0B12, 2},   // POINT_SIZE_RANGE
    {0x0B22, 2},   // LINE_WIDTH_RANGE
    {0x0B40, 2},   // POLYGON_MODE
    {0x0B53, 4},   // LIGHT_MODEL_AMBIENT
    {0x0B66, 4},   // FOG_COLOR
    {0x0B70, 2},   // DEPTH_RANGE
    {0x0B80, 4},   // ACCUM_CLEAR_VALUE
    {0x0BA2, 4},   // VIEWPORT
    {0x0BA6, 16},  // MODELVIEW_MATRIX
    {0x0BA7, 16},  // PROJECTION_MATRIX
    {0x0BA8, 16},  // TEXTURE_MATRIX
    {0x0C10, 4},   // SCISSOR_BOX
    {0x0C22, 4},   // COLOR_CLEAR_VALUE
    {0x0C23, 4},   // COLOR_WRITEMASK
    {0x0D3A, 2},   // MAX_VIEWPORT_DIMS
    {0x0DD0, 2},   // MAP1_GRID_DOMAIN
    {0x0DD2, 4},   // MAP2_GRID_DOMAIN
    {0x0DD3, 2},   // MAP2_GRID_SEGMENTS
    {0x8005, 4},   // BLEND_COLOR
    {0x80B1, 16},  // COLOR_MATRIX
    {0x8129, 3},   // POINT_DISTANCE_ATTENUATION
    {0x8459, 4},   // CURRENT_SECONDARY_COLOR
    {0x845F, 4},   // CURRENT_RASTER_SECONDARY_COLOR
    {0x846D, 2},   // ALIASED_POINT_SIZE_RANGE
    {0x846E, 2},   // ALIASED_LINE_WIDTH_RANGE
    {0x84E3, 16},  // TRANSPOSE_MODELVIEW_MATRIX
    {0x84E4, 16},  // TRANSPOSE_PROJECTION_MATRIX
    {0x84E5, 16},  // TRANSPOSE_TEXTURE_MATRIX
    {0x84E6, 16},  // TRANSPOSE_COLOR_MATRIX
    {0x8641, 16},  // CURRENT_MATRIX_ARB
    {0x8891, 2},   // DEPTH_BOUNDS_EXT
    {0x88B7, 16},  // TRANSPOSE_CURRENT_MATRIX_ARB
};
constexpr uint32_t kCompressedTextureFormats = 0x86A3, kNumCompressedTextureFormats = 0x86A2;

// Light parameters (AMBIENT 0x1200 .. QUADRATIC_ATTENUATION 0x1209).
constexpr uint8_t kLightCounts[] = {4, 4, 4, 4, 3, 1, 1, 1, 1, 1};

// Values per control point of the evaluator maps of one dimension (MAP1_COLOR_4 0x0D90 ..
// MAP1_VERTEX_4 0x0D98); the two-dimensional maps (0x0DB0 ..) follow the same order.
constexpr uint8_t kMapComponents[] = {4, 1, 3, 1, 2, 3, 4, 3, 4};
constexpr uint32_t kMap1First = 0x0D90, kMap2First = 0x0DB0;
constexpr uint32_t kCoeff = 0x0A00, kOrder = 0x0A01, kDomain = 0x0A02;

constexpr uint32_t kPixelMapFirst = 0x0C70, kPixelMapLast = 0x0C79, kPixelMapSizeFirst = 0x0CB0;
constexpr uint32_t kTextureEnvColor = 0x2201, kTextureBorderColor = 0x1004;
constexpr uint32_t kGlCompile = 0x1300, kGlCompileAndExecute = 0x1301;
constexpr uint32_t kGlInvalidEnum = 0x0500, kGlInvalidValue = 0x0501, kGlInvalidOperation = 0x0502,
                   kGlOutOfMemory = 0x0505;
constexpr uint32_t kGlListMode = 0x0B30, kGlMaxListNesting = 0x0B31, kGlListBase = 0x0B32, kGlListIndex = 0x0B33;

// The first of count unused list names of the current share group (0: no such run).
uint32_t unusedListNames(GlxLibraryInstance *instance, uint64_t count);
// EndList of the node's list: its commands are kept under its name in the node's share group,
// counted for what they take.
void keepCompiledList(GlxLibraryInstance *instance, GlxDirectContext *node);

void warnUnsupported(const char *what, uint32_t value) {
  LOG(logChannelWarning, "Lumora: Unsupported %s %s", what, gldatatypeEnumName(value));
}

uint64_t getCount(GlxLibraryInstance *instance, uint32_t pname) {
  if (pname == kCompressedTextureFormats) {
    int32_t formats = glxdirectGetInteger(instance, kNumCompressedTextureFormats);
    return formats > 0 ? uint64_t(formats) : 0;
  }
  size_t low = 0, high = sizeof kGetCounts / sizeof kGetCounts[0];
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (kGetCounts[middle].pname == pname) return kGetCounts[middle].count;
    if (kGetCounts[middle].pname < pname) low = middle + 1;
    else high = middle;
  }
  return 1;
}

uint64_t lightCount(uint32_t pname) {
  if (pname >= 0x1200 && pname < 0x1200 + sizeof kLightCounts) return kLightCounts[pname - 0x1200];
  warnUnsupported("light value", pname);
  return 1;
}

uint64_t materialCount(uint32_t pname) {
  if ((pname >= 0x1200 && pname <= 0x1202) || pname == 0x1600) return 4;
  if (pname == 0x1601) return 1;
  if (pname == 0x1603) return 3;
  warnUnsupported("material", pname);
  return 4;
}

uint64_t texGenCount(uint32_t pname) {
  if (pname == 0x2500) return 1;
  if (pname == 0x2501 || pname == 0x2502) return 4;
  warnUnsupported("tex gen", pname);
  return 0;
}

uint64_t pixelMapCount(GlxLibraryInstance *instance, uint32_t map) {
  if (map < kPixelMapFirst || map > kPixelMapLast) {
    warnUnsupported("pixel map", map);
    return 0;
  }
  int32_t size = glxdirectGetInteger(instance, kPixelMapSizeFirst + (map - kPixelMapFirst));
  return size > 0 ? uint64_t(size) : 0;
}

// The library's orders of the map (one for a one-dimensional map), each at least 0.
uint64_t mapOrder(GlxLibraryInstance *instance, uint32_t target, bool twoDimensional) {
  GLint orders[2] = {0, 0};
  instance->functions.glGetMapiv(target, kOrder, orders);
  uint64_t first = orders[0] > 0 ? uint64_t(orders[0]) : 0;
  uint64_t second = orders[1] > 0 ? uint64_t(orders[1]) : 0;
  return twoDimensional ? first * second : first;
}

uint64_t mapCount(GlxLibraryInstance *instance, uint32_t target, uint32_t query) {
  bool twoDimensional = target >= kMap2First && target < kMap2First + sizeof kMapComponents;
  bool oneDimensional = target >= kMap1First && target < kMap1First + sizeof kMapComponents;
  if (!twoDimensional && !oneDimensional) warnUnsupported("map target", target);
  if (query == kOrder) return twoDimensional ? 2 : 1;
  if (query == kDomain) return twoDimensional ? 4 : 2;
  if (query == kCoeff) {
    // An unknown target is taken as a one-dimensional map of one value per point.
    uint64_t components = twoDimensional  ? kMapComponents[target - kMap2First]
                          : oneDimensional ? kMapComponents[target - kMap1First]
                                           : 1;
    return components * mapOrder(instance, target, twoDimensional);
  }
  warnUnsupported("map query", query);
  return 0;
}
// ===== end of value counts =====

// The request's word i (this machine's order) into *value: false when the parameters end first.
bool word(const uint8_t *params, uint32_t length, uint32_t i, uint32_t *value) {
  if (!params || uint64_t(i) * 4 + 4 > length) return false;
  memcpy(value, params + 4 * uint64_t(i), 4);
  return true;
}

// The slot's context current in the library.
bool makeCurrent(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return false;
  if (slot != 0 && instance->currentTagSlot == slot) return true;
  return glxdirectMakeTagCurrent(instance, slot) != 0;
}

void clearResult(GlxDirectResult *result) {
  if (result) *result = GlxDirectResult{0, 0, nullptr};
}

// Count items of itemSize bytes in the scratch buffer, zeroed (the library may write less):
// NULL when they do not fit.
uint8_t *zeroedScratch(GlxLibraryInstance *instance, uint64_t count, uint32_t itemSize) {
  if (count > UINT32_MAX / itemSize) return nullptr;
  uint64_t bytes = count * itemSize;
  uint8_t *area = glxdirectScratch(instance, bytes);
  if (area && bytes) memset(area, 0, size_t(bytes));
  return area;
}

// The common form of the array gets: the slot made current, the count worked out by counter
// (after make-current: some ask the library), count items taken from the scratch buffer and
// filled by get. 0 (no call) when the slot cannot be made current or the items do not fit.
template <typename Counter, typename Get>
int arrayGet(GlxLibraryInstance *instance, uint32_t slot, GlxDirectResult *result, uint32_t itemSize,
             Counter counter, Get get) {
  clearResult(result);
  if (!makeCurrent(instance, slot)) return 0;
  uint64_t count = counter();
  uint8_t *area = zeroedScratch(instance, count, itemSize);
  if (!area) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  if (count == 0) return 1;
  get(area);
  if (result) *result = GlxDirectResult{0, uint32_t(count), area};
  return 1;
}

// A get of one pname.
template <typename T>
int getOf(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
          GlxDirectResult *result, void (*get)(GLenum, T *)) {
  uint32_t pname = 0;
  clearResult(result);
  if (!word(params, length, 0, &pname)) return 0;
  return arrayGet(
      instance, slot, result, sizeof(T), [&] { return getCount(instance, pname); },
      [&](uint8_t *area) {
        // The list state is the proxy's; the library knows no list of a client.
        int32_t value = 0;
        if (!glxdirectListState(instance, pname, &value)) return get(pname, reinterpret_cast<T *>(area));
        T answer = std::is_same_v<T, GLboolean> ? T(value != 0) : T(value);
        memcpy(area, &answer, sizeof answer);
      });
}

// A get of two keys (light and pname, target and query ...) with the count counter gives.
template <typename T, typename Counter>
int getOfTwo(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
             GlxDirectResult *result, void (*get)(GLenum, GLenum, T *), Counter counter) {
  uint32_t key = 0, pname = 0;
  clearResult(result);
  if (!word(params, length, 0, &key) || !word(params, length, 1, &pname)) return 0;
  return arrayGet(
      instance, slot, result, sizeof(T), [&] { return counter(key, pname); },
      [&](uint8_t *area) { get(key, pname, reinterpret_cast<T *>(area)); });
}

template <typename T>
int pixelMapOf(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
               GlxDirectResult *result, void (*get)(GLenum, T *)) {
  uint32_t map = 0;
  clearResult(result);
  if (!word(params, length, 0, &map)) return 0;
  return arrayGet(
      instance, slot, result, sizeof(T), [&] { return pixelMapCount(instance, map); },
      [&](uint8_t *area) { get(map, reinterpret_cast<T *>(area)); });
}

template <typename T>
int texLevelOf(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
               GlxDirectResult *result, void (*get)(GLenum, GLint, GLenum, T *)) {
  uint32_t target = 0, level = 0, pname = 0;
  clearResult(result);
  if (!word(params, length, 0, &target) || !word(params, length, 1, &level) || !word(params, length, 2, &pname))
    return 0;
  return arrayGet(
      instance, slot, result, sizeof(T), [] { return uint64_t(1); },
      [&](uint8_t *area) { get(target, GLint(level), pname, reinterpret_cast<T *>(area)); });
}

// An operation on n names that follow n in the request (DeleteTextures, DeleteQueries ...): no
// call when they are not all present.
int onNames(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
            GlxDirectResult *result, void (*op)(GLsizei, const GLuint *)) {
  uint32_t n = 0;
  clearResult(result);
  if (!word(params, length, 0, &n) || int32_t(n) < 0 || 4 + 4 * uint64_t(n) > length) return 0;
  if (!makeCurrent(instance, slot)) return 0;
  // The names are copied out: the request's bytes need not be aligned for the library.
  uint8_t *names = glxdirectScratch(instance, 4 * uint64_t(n));
  if (!names) return 0;
  if (n) memcpy(names, params + 4, 4 * size_t(n));
  op(GLsizei(n), reinterpret_cast<const GLuint *>(names));
  return 1;
}

// A query of one name or capability that answers a GL boolean.
template <typename Name>
int isOf(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
         GlxDirectResult *result, GLboolean (*is)(Name)) {
  uint32_t name = 0;
  clearResult(result);
  if (!word(params, length, 0, &name) || !makeCurrent(instance, slot)) return 0;
  GLboolean answer = is(name);
  if (result) result->value = answer;
  return 1;
}

}  // namespace

#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)

// ===== display lists, flush and pixel store =====
// The lists are the proxy's own (glxdirect.h): NewList, EndList, GenLists and IsList never reach
// the library; they answer GL's errors themselves (kept for the client's next GetError).
GLXDIRECT_SINGLE(glxdirectNewList) {
  uint32_t list = 0, mode = 0;
  clearResult(result);
  if (!word(params, length, 0, &list) || !word(params, length, 1, &mode) || !makeCurrent(instance, slot)) return 0;
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return 1;
  uint32_t error = instance->insideBegin                       ? kGlInvalidOperation
                   : list == 0                                 ? kGlInvalidValue
                   : mode != kGlCompile && mode != kGlCompileAndExecute ? kGlInvalidEnum
                   : node->compileList                         ? kGlInvalidOperation
                                                               : 0;
  if (error) {
    glxdirectRecordError(instance, error);
    return 1;
  }
  // A name the share group does not hold yet is made by the list: it counts like a GenLists one.
  uint64_t charged = glxdirectListNameHeld(instance, list) ? 0 : kGlxDirectNameBytes;
  if (charged && !glxdirectCharge(charged)) return 0;
  if (charged) glxdirectRefund(xproxyCurrentClient, charged - glxdirectAddListNames(instance, list, 1) * charged);
  node->compileList = list;
  node->compileMode = mode;
  node->compileBytes = 0;
  node->compileOwner = glxdirectOwner();
  return 1;
}

GLXDIRECT_SINGLE(glxdirectEndList) {
  (void)params, (void)length;
  clearResult(result);
  if (!makeCurrent(instance, slot)) return 0;
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return 1;
  // Inside a glBegin that was executed (GL_COMPILE_AND_EXECUTE) the list cannot end.
  if (!node->compileList || (node->compileMode == kGlCompileAndExecute && instance->insideBegin)) {
    glxdirectRecordError(instance, kGlInvalidOperation);
    return 1;
  }
  keepCompiledList(instance, node);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectDeleteLists) {
  uint32_t list = 0, range = 0;
  clearResult(result);
  if (!word(params, length, 0, &list) || !word(params, length, 1, &range) || !makeCurrent(instance, slot))
    return 0;
  glxdirectDeleteListNames(instance, list, int32_t(range));
  return 1;
}

GLXDIRECT_SINGLE(glxdirectGenLists) {
  uint32_t range = 0;
  clearResult(result);
  if (!word(params, length, 0, &range) || !makeCurrent(instance, slot)) return 0;
  if (instance->insideBegin || int32_t(range) < 0) {
    glxdirectRecordError(instance, instance->insideBegin ? kGlInvalidOperation : kGlInvalidValue);
    return 1;
  }
  // The names count against the client's budget (the proxy keeps a list for each).
  uint64_t count = range;
  if (!glxdirectCharge(count * kGlxDirectNameBytes)) return 0;
  uint32_t first = count ? unusedListNames(instance, count) : 0;
  uint64_t added = first == 0 ? 0 : glxdirectAddListNames(instance, first, count);
  glxdirectRefund(xproxyCurrentClient, (count - added) * kGlxDirectNameBytes);
  if (result) result->value = added == count ? int32_t(first) : 0;
  return 1;
}

GLXDIRECT_SINGLE(glxdirectFinish) {
  (void)params, (void)length;
  clearResult(result);
  if (!makeCurrent(instance, slot)) return 0;
  // (Inside glBegin/glEnd the library answers the client's error itself.)
  if (instance->insideBegin)
    instance->functions.glFinish();
  else
    glxdirectFinishYielding(instance);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectFlush) {
  (void)params, (void)length;
  clearResult(result);
  if (!makeCurrent(instance, slot)) return 0;
  instance->functions.glFlush();
  return 1;
}

GLXDIRECT_SINGLE(glxdirectPixelStoref) {
  uint32_t pname = 0, bits = 0;
  clearResult(result);
  if (!word(params, length, 0, &pname) || !word(params, length, 1, &bits) || !makeCurrent(instance, slot)) return 0;
  float value = 0;
  memcpy(&value, &bits, 4);
  instance->functions.glPixelStoref(pname, value);
  return 1;
}

GLXDIRECT_SINGLE(glxdirectPixelStorei) {
  uint32_t pname = 0, value = 0;
  clearResult(result);
  if (!word(params, length, 0, &pname) || !word(params, length, 1, &value) || !makeCurrent(instance, slot))
    return 0;
  instance->functions.glPixelStorei(pname, GLint(value));
  return 1;
}
// ===== end of display lists, flush and pixel store =====

// ===== names =====
GLXDIRECT_SINGLE(glxdirectDeleteTextures) {
  int done = onNames(instance, slot, params, length, result, instance ? instance->functions.glDeleteTextures : nullptr);
  uint32_t n = 0;
  if (done && word(params, length, 0, &n)) {
    glxdirectNamesDeleted(instance, kGlxDirectTextureNames, params + 4, n);
    glxdirectTexturesDeleted(instance, params + 4, n);
  }
  return done;
}

GLXDIRECT_SINGLE(glxdirectDeleteQueries) {
  int done = onNames(instance, slot, params, length, result, instance ? instance->functions.glDeleteQueries : nullptr);
  uint32_t n = 0;
  if (done && word(params, length, 0, &n)) glxdirectNamesDeleted(instance, kGlxDirectQueryNames, params + 4, n);
  return done;
}

GLXDIRECT_SINGLE(glxdirectDeleteBuffers) {
  glxdirectArraysChanged(instance);
  int done = onNames(instance, slot, params, length, result, instance ? instance->functions.glDeleteBuffers : nullptr);
  uint32_t n = 0;
  if (done && word(params, length, 0, &n)) {
    glxdirectStorageDeleted(instance, kGlxDirectBufferStorage, params + 4, n);
    glxdirectNamesDeleted(instance, kGlxDirectBufferNames, params + 4, n);
  }
  return done;
}

GLXDIRECT_SINGLE(glxdirectGenTextures) {
  uint32_t n = 0;
  clearResult(result);
  if (!word(params, length, 0, &n)) return 0;
  // A negative count gives no names and calls nothing.
  uint64_t count = int32_t(n) < 0 ? 0 : n;
  // The names count against the client's budget (and the reply that carries them).
  if (!makeCurrent(instance, slot) || !glxdirectCharge(count * kGlxDirectNameBytes)) return 0;
  int done = arrayGet(
      instance, slot, result, 4, [&] { return count; },
      [&](uint8_t *area) {
        instance->functions.glGenTextures(GLsizei(n), reinterpret_cast<GLuint *>(area));
        glxdirectNamesMade(instance, kGlxDirectTextureNames, area, uint32_t(count));
      });
  if (!done) glxdirectRefund(xproxyCurrentClient, count * kGlxDirectNameBytes);
  return done;
}

GLXDIRECT_SINGLE(glxdirectAreTexturesResident) {
  uint32_t n = 0;
  clearResult(result);
  if (!word(params, length, 0, &n) || int32_t(n) < 0 || 4 + 4 * uint64_t(n) > length) return 0;
  if (!makeCurrent(instance, slot)) return 0;
  // The names and then the residence bytes, both in the scratch buffer.
  uint64_t namesBytes = 4 * uint64_t(n);
  uint8_t *area = zeroedScratch(instance, namesBytes + n, 1);
  if (!area) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  if (n) memcpy(area, params + 4, size_t(namesBytes));
  GLboolean all = instance->functions.glAreTexturesResident(GLsizei(n), reinterpret_cast<const GLuint *>(area),
                                                            reinterpret_cast<GLboolean *>(area + namesBytes));
  if (result) *result = GlxDirectResult{all, n, area + namesBytes};
  return 1;
}

GLXDIRECT_SINGLE(glxdirectIsEnabled) {
  return isOf(instance, slot, params, length, result, instance ? instance->functions.glIsEnabled : nullptr);
}

GLXDIRECT_SINGLE(glxdirectIsList) {
  uint32_t name = 0;
  clearResult(result);
  if (!word(params, length, 0, &name) || !makeCurrent(instance, slot)) return 0;
  bool isList = false;
  if (instance->insideBegin)
    glxdirectRecordError(instance, kGlInvalidOperation);
  else
    isList = name != 0 && glxdirectListNameHeld(instance, name);
  if (result) result->value = isList;
  return 1;
}

GLXDIRECT_SINGLE(glxdirectIsTexture) {
  return isOf(instance, slot, params, length, result, instance ? instance->functions.glIsTexture : nullptr);
}
// ===== end of names =====

// ===== state gets =====
GLXDIRECT_SINGLE(glxdirectGetBooleanv) {
  return getOf(instance, slot, params, length, result, instance ? instance->functions.glGetBooleanv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetDoublev) {
  return getOf(instance, slot, params, length, result, instance ? instance->functions.glGetDoublev : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetFloatv) {
  return getOf(instance, slot, params, length, result, instance ? instance->functions.glGetFloatv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetIntegerv) {
  return getOf(instance, slot, params, length, result, instance ? instance->functions.glGetIntegerv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetClipPlane) {
  uint32_t plane = 0;
  clearResult(result);
  if (!word(params, length, 0, &plane)) return 0;
  return arrayGet(
      instance, slot, result, 8, [] { return uint64_t(4); },
      [&](uint8_t *area) { instance->functions.glGetClipPlane(plane, reinterpret_cast<GLdouble *>(area)); });
}

GLXDIRECT_SINGLE(glxdirectGetLightfv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetLightfv : nullptr,
                  [](uint32_t, uint32_t pname) { return lightCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetLightiv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetLightiv : nullptr,
                  [](uint32_t, uint32_t pname) { return lightCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetMapdv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetMapdv : nullptr,
                  [&](uint32_t target, uint32_t query) { return mapCount(instance, target, query); });
}

GLXDIRECT_SINGLE(glxdirectGetMapfv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetMapfv : nullptr,
                  [&](uint32_t target, uint32_t query) { return mapCount(instance, target, query); });
}

GLXDIRECT_SINGLE(glxdirectGetMapiv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetMapiv : nullptr,
                  [&](uint32_t target, uint32_t query) { return mapCount(instance, target, query); });
}

GLXDIRECT_SINGLE(glxdirectGetMaterialfv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetMaterialfv : nullptr,
                  [](uint32_t, uint32_t pname) { return materialCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetMaterialiv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetMaterialiv : nullptr,
                  [](uint32_t, uint32_t pname) { return materialCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetPixelMapfv) {
  return pixelMapOf(instance, slot, params, length, result, instance ? instance->functions.glGetPixelMapfv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetPixelMapuiv) {
  return pixelMapOf(instance, slot, params, length, result,
                    instance ? instance->functions.glGetPixelMapuiv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetPixelMapusv) {
  return pixelMapOf(instance, slot, params, length, result,
                    instance ? instance->functions.glGetPixelMapusv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetTexEnvfv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetTexEnvfv : nullptr,
                  [](uint32_t, uint32_t pname) { return uint64_t(pname == kTextureEnvColor ? 4 : 1); });
}

GLXDIRECT_SINGLE(glxdirectGetTexEnviv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetTexEnviv : nullptr,
                  [](uint32_t, uint32_t pname) { return uint64_t(pname == kTextureEnvColor ? 4 : 1); });
}

GLXDIRECT_SINGLE(glxdirectGetTexGendv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetTexGendv : nullptr,
                  [](uint32_t, uint32_t pname) { return texGenCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetTexGenfv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetTexGenfv : nullptr,
                  [](uint32_t, uint32_t pname) { return texGenCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetTexGeniv) {
  return getOfTwo(instance, slot, params, length, result, instance ? instance->functions.glGetTexGeniv : nullptr,
                  [](uint32_t, uint32_t pname) { return texGenCount(pname); });
}

GLXDIRECT_SINGLE(glxdirectGetTexParameterfv) {
  return getOfTwo(instance, slot, params, length, result,
                  instance ? instance->functions.glGetTexParameterfv : nullptr,
                  [](uint32_t, uint32_t pname) { return uint64_t(pname == kTextureBorderColor ? 4 : 1); });
}

GLXDIRECT_SINGLE(glxdirectGetTexParameteriv) {
  return getOfTwo(instance, slot, params, length, result,
                  instance ? instance->functions.glGetTexParameteriv : nullptr,
                  [](uint32_t, uint32_t pname) { return uint64_t(pname == kTextureBorderColor ? 4 : 1); });
}

GLXDIRECT_SINGLE(glxdirectGetTexLevelParameterfv) {
  return texLevelOf(instance, slot, params, length, result,
                    instance ? instance->functions.glGetTexLevelParameterfv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetTexLevelParameteriv) {
  return texLevelOf(instance, slot, params, length, result,
                    instance ? instance->functions.glGetTexLevelParameteriv : nullptr);
}

GLXDIRECT_SINGLE(glxdirectGetError) {
  (void)params, (void)length;
  clearResult(result);
  if (!makeCurrent(instance, slot)) return 0;
  // An error the proxy read for its own checks comes first.
  GLenum error = glxdirectTakeHeldError(instance);
  if (error == 0) error = instance->functions.glGetError();
  if (error != 0)
    LOG(logChannelXerror, "<= GL error %s using tag %u from display %s for %s", gldatatypeEnumName(error), slot,
        xmiscLocalDisplayPart(instance->display), xscreenClientName(xproxyCurrentClient));
  if (result) result->value = int32_t(error);
  return 1;
}
// ===== end of state gets =====
#undef GLXDIRECT_SINGLE

// ===== display-list names =====
// Disjoint ranges of names by share group: the key is the group in the high word and the first
// name in the low word, the value the last name (inclusive) and the owner serial of the client
// the names are counted for. Touching ranges of the same owner are joined.
struct GlxDirectListRange {
  uint32_t last;
  uint64_t owner;
};
// One list kept: its recorded commands (shared: a replay that stands still while others are
// served keeps the commands it walks, whatever becomes of the list meanwhile; NULL for none),
// or a list the library made itself.
struct GlxDirectStoredList {
  std::shared_ptr<const std::vector<uint8_t>> commands;
  uint32_t libraryList = 0;
};
// The lists themselves, keyed like the ranges (group and name): a name held may have none yet
// (GenLists, a NewList not ended); a list always has its name held. Erased with their names.
struct GlxDirectListNames {
  std::map<uint64_t, GlxDirectListRange> ranges;
  std::map<uint64_t, GlxDirectStoredList> bodies;
};

namespace {

// The share group of the context current in the library (0: none current).
uint32_t currentGroup(GlxLibraryInstance *instance) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  return node ? node->shareGroup : 0;
}

// The first range of the group that ends at or after name, or the map's end.
std::map<uint64_t, GlxDirectListRange>::iterator rangeFrom(std::map<uint64_t, GlxDirectListRange> &ranges,
                                                           uint32_t group, uint32_t name) {
  uint64_t key = uint64_t(group) << 32 | name;
  auto at = ranges.upper_bound(key);
  if (at != ranges.begin()) {
    auto before = std::prev(at);
    if (before->first >> 32 == group && before->second.last >= name) return before;
  }
  return at != ranges.end() && at->first >> 32 == group ? at : ranges.end();
}

// Gives the names [from, to) of the range back to its owner, with their contents.
void giveBack(GlxLibraryInstance *instance, uint32_t group, const GlxDirectListRange &range, uint32_t from,
              uint64_t to) {
  glxdirectRefundOwner(range.owner, (to - from) * kGlxDirectNameBytes);
  glxdirectListContentsDeleted(instance, group, from, to - from);
}

// Records the free names [first, last] for the owner, joined with a touching range of the same
// owner on either side; false when there is no room (nothing recorded).
bool joinRange(std::map<uint64_t, GlxDirectListRange> &ranges, uint32_t group, uint32_t first, uint32_t last,
               uint64_t owner) {
  uint64_t groupKey = uint64_t(group) << 32;
  auto after = ranges.find(groupKey | (uint64_t(last) + 1));
  if (last != UINT32_MAX && after != ranges.end() && after->second.owner == owner) {
    last = after->second.last;
    ranges.erase(after);
  }
  auto at = ranges.lower_bound(groupKey | first);
  if (at != ranges.begin()) {
    auto before = std::prev(at);
    if (before->first >> 32 == group && before->second.last + uint64_t(1) == first && before->second.owner == owner) {
      before->second.last = last;
      return true;
    }
  }
  try {
    ranges.emplace(groupKey | first, GlxDirectListRange{last, owner});
    return true;
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return false;
  }
}

// Forgets the lists [from, to) of the group (their count is given back with their names).
void eraseBodies(GlxDirectListNames *names, uint32_t group, uint32_t from, uint64_t to) {
  auto &bodies = names->bodies;
  uint64_t groupKey = uint64_t(group) << 32;
  for (auto at = bodies.lower_bound(groupKey | from); at != bodies.end() && at->first < groupKey + to;)
    at = bodies.erase(at);
}

uint32_t unusedListNames(GlxLibraryInstance *instance, uint64_t count) {
  uint32_t group = currentGroup(instance);
  if (group == 0 || count == 0) return 0;
  uint64_t candidate = 1;
  if (instance->listNames) {
    auto &ranges = instance->listNames->ranges;
    for (auto at = ranges.lower_bound(uint64_t(group) << 32); at != ranges.end() && at->first >> 32 == group; ++at) {
      uint32_t first = uint32_t(at->first);
      if (first >= candidate && first - candidate >= count) break;
      candidate = uint64_t(at->second.last) + 1;
    }
  }
  return candidate + count <= uint64_t(UINT32_MAX) + 1 ? uint32_t(candidate) : 0;
}

void keepCompiledList(GlxLibraryInstance *instance, GlxDirectContext *node) {
  uint32_t list = node->compileList;
  GlxDirectListBody *body = node->compileBody;
  uint64_t counted = node->compileBytes;
  node->compileList = 0;
  node->compileBody = nullptr;
  node->compileBytes = 0;
  // What the list keeps is its commands: the room reserved beyond them goes back.
  uint64_t kept = 0;
  if (body) {
    try {
      body->commands.shrink_to_fit();
    } catch (const std::exception &) {
    }
    kept = body->commands.capacity();
  }
  glxdirectRefundOwner(node->compileOwner, counted > kept ? counted - kept : 0);
  auto drop = [&](const char *why) {
    if (why) LOG_OUT_OF_MEMORY_AT(kSource);
    glxdirectRefundOwner(node->compileOwner, kept);
    delete body;
    if (!node->heldError) node->heldError = kGlOutOfMemory;
  };
  // The name went meanwhile (DeleteLists by a context of the group): EndList makes it again.
  if (!glxdirectListNameHeld(instance, list)) {
    if (!glxdirectCharge(kGlxDirectNameBytes)) return drop(nullptr);
    if (glxdirectAddListNames(instance, list, 1) == 0) {
      glxdirectRefund(xproxyCurrentClient, kGlxDirectNameBytes);
      return drop("name");
    }
  }
  if (!instance->listNames) return drop("lists");
  try {
    GlxDirectStoredList &stored = instance->listNames->bodies[uint64_t(node->shareGroup) << 32 | list];
    stored.libraryList = 0;
    stored.commands.reset();
    if (body) stored.commands = std::make_shared<const std::vector<uint8_t>>(std::move(body->commands));
  } catch (const std::exception &) {
    return drop("list");
  }
  delete body;
  // The list made now replaces what the name held.
  glxdirectListContents(instance, list, kept);
}

}  // namespace

uint64_t glxdirectAddListNames(GlxLibraryInstance *instance, uint32_t first, uint64_t count) {
  uint32_t group = currentGroup(instance);
  if (!instance || count == 0 || first == 0 || group == 0) return 0;
  if (!instance->listNames) instance->listNames = new (std::nothrow) GlxDirectListNames{};
  if (!instance->listNames) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return 0;
  }
  auto &ranges = instance->listNames->ranges;
  uint64_t end = uint64_t(first) + count;  // one past the last
  if (end > uint64_t(UINT32_MAX) + 1) end = uint64_t(UINT32_MAX) + 1;
  uint64_t owner = glxdirectOwner(), added = 0;
  // Only the gaps between names held already are new.
  uint64_t name = first;
  while (name < end) {
    auto at = rangeFrom(ranges, group, uint32_t(name));
    uint64_t gapEnd = end;
    if (at != ranges.end()) {
      uint32_t heldFirst = uint32_t(at->first);
      if (heldFirst <= name) {
        name = uint64_t(at->second.last) + 1;
        continue;
      }
      if (heldFirst < gapEnd) gapEnd = heldFirst;
    }
    if (!joinRange(ranges, group, uint32_t(name), uint32_t(gapEnd - 1), owner)) break;
    added += gapEnd - name;
    name = gapEnd;
  }
  return added;
}

bool glxdirectListNameHeld(GlxLibraryInstance *instance, uint32_t list) {
  uint32_t group = currentGroup(instance);
  if (!instance || !instance->listNames || group == 0) return false;
  auto at = rangeFrom(instance->listNames->ranges, group, list);
  return at != instance->listNames->ranges.end() && uint32_t(at->first) <= list;
}

void glxdirectDeleteListNames(GlxLibraryInstance *instance, uint32_t list, int32_t range) {
  if (!instance) return;
  GlFunctionTable &gl = instance->functions;
  // The library judges the range itself (a negative one is its error); only names that the
  // current share group made are walked, so a range over billions of unused names costs nothing.
  if (range <= 0) {
    gl.glDeleteLists(list, range);
    return;
  }
  uint32_t group = currentGroup(instance);
  if (!instance->listNames || group == 0) return;
  auto &ranges = instance->listNames->ranges;
  uint64_t end = uint64_t(list) + uint64_t(range);  // one past the last name asked for
  auto at = rangeFrom(ranges, group, list);
  while (at != ranges.end() && at->first >> 32 == group && uint32_t(at->first) < end) {
    uint32_t first = uint32_t(at->first);
    GlxDirectListRange held = at->second;
    uint32_t from = first > list ? first : list;
    uint64_t to = uint64_t(held.last) + 1 < end ? uint64_t(held.last) + 1 : end;  // exclusive
    // The library holds only the lists of fonts it made itself (glXUseXFont) among them.
    gl.glDeleteLists(from, GLsizei(to - from));
    giveBack(instance, group, held, from, to);
    eraseBodies(instance->listNames, group, from, to);
    at = ranges.erase(at);
    // What is left of the range on either side stays.
    try {
      if (first < from) ranges.emplace(uint64_t(group) << 32 | first, GlxDirectListRange{from - 1, held.owner});
      if (to <= held.last)
        at = ranges.emplace(uint64_t(group) << 32 | uint32_t(to), GlxDirectListRange{held.last, held.owner}).first, ++at;
    } catch (const std::bad_alloc &) {
      // The rest stays counted for nobody: its names are given back now.
      LOG_OUT_OF_MEMORY_AT(kSource);
      if (to <= held.last) giveBack(instance, group, held, uint32_t(to), uint64_t(held.last) + 1);
      return;
    }
  }
}

void glxdirectListGroupGone(GlxLibraryInstance *instance, uint32_t shareGroup) {
  if (!instance || !instance->listNames) return;
  auto &ranges = instance->listNames->ranges;
  for (auto at = ranges.lower_bound(uint64_t(shareGroup) << 32); at != ranges.end() && at->first >> 32 == shareGroup;) {
    // The contents go with the group's other storage (glxdirectContextTexturesGone).
    glxdirectRefundOwner(at->second.owner, (uint64_t(at->second.last) + 1 - uint32_t(at->first)) * kGlxDirectNameBytes);
    at = ranges.erase(at);
  }
  eraseBodies(instance->listNames, shareGroup, 0, uint64_t(1) << 32);
}

void glxdirectFreeListNames(GlxLibraryInstance *instance) {
  if (!instance) return;
  delete instance->listNames;
  instance->listNames = nullptr;
}
bool glxdirectListBody(GlxLibraryInstance *instance, uint32_t list, const uint8_t **first, const uint8_t **end,
                       uint32_t *libraryList, std::shared_ptr<const void> *keep) {
  uint32_t group = currentGroup(instance);
  if (!instance || !instance->listNames || group == 0) return false;
  auto &bodies = instance->listNames->bodies;
  auto at = bodies.find(uint64_t(group) << 32 | list);
  if (at == bodies.end()) return false;
  const std::vector<uint8_t> *commands = at->second.commands.get();
  *first = commands ? commands->data() : nullptr;
  *end = commands ? *first + commands->size() : nullptr;
  *libraryList = at->second.libraryList;
  if (keep) *keep = at->second.commands;
  return true;
}

void glxdirectLibraryLists(GlxLibraryInstance *instance, uint32_t first, uint64_t count) {
  uint32_t group = currentGroup(instance);
  if (!instance || !instance->listNames || group == 0 || first == 0) return;
  uint64_t end = uint64_t(first) + count;
  if (end > uint64_t(UINT32_MAX) + 1) end = uint64_t(UINT32_MAX) + 1;
  glxdirectListContentsDeleted(instance, group, first, end - first);
  try {
    for (uint64_t name = first; name < end; name++) {
      GlxDirectStoredList &body = instance->listNames->bodies[uint64_t(group) << 32 | name];
      body.commands.reset();
      body.libraryList = uint32_t(name);
    }
  } catch (const std::exception &) {
    LOG_OUT_OF_MEMORY_AT(kSource);
  }
}

bool glxdirectListState(GlxLibraryInstance *instance, uint32_t pname, int32_t *value) {
  if (pname != kGlListIndex && pname != kGlListMode && pname != kGlListBase && pname != kGlMaxListNesting) return false;
  GlxDirectContext *node = instance ? glxdirectCurrentNode(instance) : nullptr;
  *value = 0;
  if (pname == kGlMaxListNesting) *value = int32_t(kGlxDirectListNesting);
  if (!node) return true;
  if (pname == kGlListIndex) *value = int32_t(node->compileList);
  if (pname == kGlListMode && node->compileList) *value = int32_t(node->compileMode);
  if (pname == kGlListBase) *value = int32_t(node->listBase);
  return true;
}
// ===== end of display-list names =====
