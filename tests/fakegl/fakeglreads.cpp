// What the fake GL library reads through the pointers it is given, as a real library would:
// pixel images by the unpack state and the pixel-store rules, the names of glCallLists, and the
// client arrays a draw reads. Every byte is read (AddressSanitizer judges reads beyond a heap
// block), and a read that starts inside a region the test declared live must end inside it,
// else the process aborts with the call's name (a fuzz run keeps the input).
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "fakeglstubs.h"

namespace {

std::mutex mutex;  // guards everything below

struct LiveRegion {
  uintptr_t first;
  uint64_t size;
};
std::vector<LiveRegion> regions;
bool checking = false;
std::map<GLenum, GLint> unpack;  // glPixelStorei of the unpack parameters
GLuint unpackBuffer = 0;         // GL_PIXEL_UNPACK_BUFFER binding: pointers are offsets then
GLuint arrayBuffer = 0;          // GL_ARRAY_BUFFER binding (array pointers are offsets)
GLuint elementBuffer = 0;        // GL_ELEMENT_ARRAY_BUFFER binding
GLenum clientTexture = GL_TEXTURE0;

// One client array as the library keeps it.
struct Array {
  bool enabled = false;
  GLint size = 0;       // components
  GLenum type = 0;
  GLsizei stride = 0;
  const void *pointer = nullptr;
  bool inBuffer = false;  // an offset into a buffer object
};
enum ArrayKind { kVertex, kNormal, kColor, kIndex, kTexCoord, kEdgeFlag, kFogCoord, kSecondaryColor, kArrayKinds };
Array arrays[kArrayKinds];

volatile uint8_t sink;

[[noreturn]] void overrun(const char *what, const void *pointer, uint64_t bytes, const LiveRegion *region) {
  if (region)
    fprintf(stderr, "fakegl: %s reads %llu bytes at %p, past the end of the live region of %llu bytes at %p\n",
            what, static_cast<unsigned long long>(bytes), pointer, static_cast<unsigned long long>(region->size),
            reinterpret_cast<void *>(region->first));
  else
    fprintf(stderr, "fakegl: %s reads %llu bytes through a NULL pointer\n", what,
            static_cast<unsigned long long>(bytes));
  abort();
}

// The read of bytes at pointer by the call `what` (the lock held).
void readRange(const char *what, const void *pointer, uint64_t bytes) {
  if (!checking || bytes == 0) return;
  if (!pointer) overrun(what, pointer, bytes, nullptr);
  auto at = reinterpret_cast<uintptr_t>(pointer);
  for (const LiveRegion &region : regions)
    if (at >= region.first && at - region.first < region.size && bytes > region.size - (at - region.first))
      overrun(what, pointer, bytes, &region);
  const auto *p = static_cast<const volatile uint8_t *>(pointer);
  uint8_t sum = 0;
  for (uint64_t k = 0; k < bytes; k++) sum = uint8_t(sum + p[k]);
  sink = sum;
}

GLint unpackValue(GLenum pname) {
  auto known = unpack.find(pname);
  return known == unpack.end() ? (pname == GL_UNPACK_ALIGNMENT ? 4 : 0) : known->second;
}

// Components of a pixel of the format; 0 for an unknown one (the library refuses it).
uint64_t components(GLenum format) {
  switch (format) {
    case GL_COLOR_INDEX: case GL_STENCIL_INDEX: case GL_DEPTH_COMPONENT: case GL_RED: case GL_GREEN:
    case GL_BLUE: case GL_ALPHA: case GL_LUMINANCE: case GL_RED_INTEGER: case GL_GREEN_INTEGER:
    case GL_BLUE_INTEGER: case GL_ALPHA_INTEGER: case GL_DEPTH_STENCIL:
      return 1;
    case GL_LUMINANCE_ALPHA: case GL_RG: case GL_RG_INTEGER:
      return 2;
    case GL_RGB: case GL_BGR: case GL_RGB_INTEGER: case GL_BGR_INTEGER:
      return 3;
    case GL_RGBA: case GL_BGRA: case GL_ABGR_EXT: case GL_RGBA_INTEGER: case GL_BGRA_INTEGER:
      return 4;
    default:
      return 0;
  }
}

// Bytes of one element of the type (a packed type's whole group: *packed set); 0 unknown.
uint64_t elementBytes(GLenum type, bool *packed) {
  *packed = false;
  switch (type) {
    case GL_UNSIGNED_BYTE: case GL_BYTE: return 1;
    case GL_UNSIGNED_SHORT: case GL_SHORT: case GL_HALF_FLOAT: return 2;
    case GL_UNSIGNED_INT: case GL_INT: case GL_FLOAT: return 4;
    case GL_UNSIGNED_BYTE_3_3_2: case GL_UNSIGNED_BYTE_2_3_3_REV: *packed = true; return 1;
    case GL_UNSIGNED_SHORT_5_6_5: case GL_UNSIGNED_SHORT_5_6_5_REV: case GL_UNSIGNED_SHORT_4_4_4_4:
    case GL_UNSIGNED_SHORT_4_4_4_4_REV: case GL_UNSIGNED_SHORT_5_5_5_1: case GL_UNSIGNED_SHORT_1_5_5_5_REV:
      *packed = true;
      return 2;
    case GL_UNSIGNED_INT_8_8_8_8: case GL_UNSIGNED_INT_8_8_8_8_REV: case GL_UNSIGNED_INT_10_10_10_2:
    case GL_UNSIGNED_INT_2_10_10_10_REV: case GL_UNSIGNED_INT_24_8: case GL_UNSIGNED_INT_10F_11F_11F_REV:
    case GL_UNSIGNED_INT_5_9_9_9_REV:
      *packed = true;
      return 4;
    case GL_FLOAT_32_UNSIGNED_INT_24_8_REV: *packed = true; return 8;
    default: return 0;
  }
}

// The bytes an image of width x height x depth of the format and type takes from its pointer
// under the unpack state: rows of the row length (else the width) aligned, images of the image
// height (else the height), after the skipped images, rows and pixels. 0 when nothing is read.
uint64_t imageBytes(GLsizei width, GLsizei height, GLsizei depth, GLenum format, GLenum type, bool threeD) {
  if (width <= 0 || height <= 0 || depth <= 0) return 0;
  uint64_t alignment = uint64_t(unpackValue(GL_UNPACK_ALIGNMENT));
  if (alignment != 1 && alignment != 2 && alignment != 4 && alignment != 8) return 0;
  uint64_t rowLength = unpackValue(GL_UNPACK_ROW_LENGTH) > 0 ? uint64_t(unpackValue(GL_UNPACK_ROW_LENGTH)) : width;
  uint64_t skipPixels = uint64_t(std::max<GLint>(unpackValue(GL_UNPACK_SKIP_PIXELS), 0));
  uint64_t skipRows = uint64_t(std::max<GLint>(unpackValue(GL_UNPACK_SKIP_ROWS), 0));
  uint64_t imageHeight = threeD && unpackValue(GL_UNPACK_IMAGE_HEIGHT) > 0
                             ? uint64_t(unpackValue(GL_UNPACK_IMAGE_HEIGHT)) : uint64_t(height);
  uint64_t skipImages = threeD ? uint64_t(std::max<GLint>(unpackValue(GL_UNPACK_SKIP_IMAGES), 0)) : 0;
  if (type == GL_BITMAP) {
    if (format != GL_COLOR_INDEX && format != GL_STENCIL_INDEX) return 0;
    uint64_t rowBytes = (rowLength + 7) / 8;
    rowBytes = (rowBytes + alignment - 1) / alignment * alignment;
    uint64_t image = imageHeight * rowBytes;
    return (skipImages + depth - 1) * image + (skipRows + height - 1) * rowBytes + (skipPixels + width + 7) / 8;
  }
  bool packed = false;
  uint64_t element = elementBytes(type, &packed), n = components(format);
  if (element == 0 || n == 0) return 0;
  uint64_t pixel = packed ? element : element * n;
  uint64_t rowBytes = rowLength * pixel;
  if (element < alignment) rowBytes = (rowBytes + alignment - 1) / alignment * alignment;
  uint64_t image = imageHeight * rowBytes;
  return (skipImages + depth - 1) * image + (skipRows + height - 1) * rowBytes + (skipPixels + width) * pixel;
}

// The bytes the last image call read from its pointer (fakeglLastImage).
std::vector<uint8_t> lastImage;

// A texture image call given no pixels (and no unpack buffer) reads nothing: GL only makes the
// level (noImage); every other image call reads through its pointer, NULL or not.
void readImage(const char *what, GLsizei width, GLsizei height, GLsizei depth, GLenum format, GLenum type,
               const void *pixels, bool threeD = false, bool noImage = false) {
  std::lock_guard<std::mutex> lock(mutex);
  lastImage.clear();
  if (unpackBuffer || (noImage && !pixels)) return;
  uint64_t bytes = imageBytes(width, height, depth, format, type, threeD);
  readRange(what, pixels, bytes);
  if (pixels) lastImage.assign(static_cast<const uint8_t *>(pixels), static_cast<const uint8_t *>(pixels) + bytes);
}

uint64_t typeBytes(GLenum type) {
  switch (type) {
    case GL_BYTE: case GL_UNSIGNED_BYTE: return 1;
    case GL_SHORT: case GL_UNSIGNED_SHORT: case GL_HALF_FLOAT: case GL_2_BYTES: return 2;
    case GL_3_BYTES: return 3;
    case GL_INT: case GL_UNSIGNED_INT: case GL_FLOAT: case GL_4_BYTES: return 4;
    case GL_DOUBLE: return 8;
    default: return 0;
  }
}

Array *arrayOf(int kind) {
  if (kind == kTexCoord && clientTexture != GL_TEXTURE0) return nullptr;
  return &arrays[kind];
}

void setArray(int kind, GLint size, GLenum type, GLsizei stride, const void *pointer) {
  std::lock_guard<std::mutex> lock(mutex);
  Array *array = arrayOf(kind);
  // The library refuses a size, type or stride it does not take and keeps what it had.
  if (!array || size < 1 || size > 4 || stride < 0 || typeBytes(type) == 0) return;
  array->size = size;
  array->type = type;
  array->stride = stride;
  array->pointer = pointer;
  array->inBuffer = arrayBuffer != 0;
}

int kindOfCapability(GLenum capability) {
  switch (capability) {
    case GL_VERTEX_ARRAY: return kVertex;
    case GL_NORMAL_ARRAY: return kNormal;
    case GL_COLOR_ARRAY: return kColor;
    case GL_INDEX_ARRAY: return kIndex;
    case GL_TEXTURE_COORD_ARRAY: return kTexCoord;
    case GL_EDGE_FLAG_ARRAY: return kEdgeFlag;
    case GL_FOG_COORD_ARRAY: return kFogCoord;
    case GL_SECONDARY_COLOR_ARRAY: return kSecondaryColor;
    default: return -1;
  }
}

// Vertex `index` of every enabled array (the lock held).
void readVertex(const char *what, uint64_t index) {
  for (const Array &array : arrays) {
    if (!array.enabled || array.inBuffer) continue;
    uint64_t element = uint64_t(array.size) * typeBytes(array.type);
    uint64_t stride = array.stride ? uint64_t(array.stride) : element;
    readRange(what, static_cast<const uint8_t *>(array.pointer) + index * stride, element);
  }
}

// Vertices [first, first + count) of every enabled array, each array's whole extent at once.
void readVertices(const char *what, uint64_t first, uint64_t count) {
  if (count == 0) return;
  for (const Array &array : arrays) {
    if (!array.enabled || array.inBuffer) continue;
    uint64_t element = uint64_t(array.size) * typeBytes(array.type);
    uint64_t stride = array.stride ? uint64_t(array.stride) : element;
    readRange(what, static_cast<const uint8_t *>(array.pointer) + first * stride, (count - 1) * stride + element);
  }
}

// The indices of a draw and the vertices they name.
void readElements(const char *what, GLsizei count, GLenum type, const void *indices) {
  std::lock_guard<std::mutex> lock(mutex);
  uint64_t size = type == GL_UNSIGNED_BYTE ? 1 : type == GL_UNSIGNED_SHORT ? 2 : type == GL_UNSIGNED_INT ? 4 : 0;
  if (!checking || count <= 0 || size == 0 || elementBuffer) return;
  readRange(what, indices, uint64_t(count) * size);
  const auto *p = static_cast<const uint8_t *>(indices);
  for (GLsizei k = 0; k < count; k++) {
    uint32_t index = 0;
    if (size == 1) index = p[k];
    if (size == 2) {
      uint16_t value;
      memcpy(&value, p + 2 * k, 2);
      index = value;
    }
    if (size == 4) memcpy(&index, p + 4 * k, 4);
    readVertex(what, index);
  }
}

}  // namespace

extern "C" {
FAKEGL_EXPORT void fakeglCheckReads(int on) {
  std::lock_guard<std::mutex> lock(mutex);
  checking = on != 0;
}
FAKEGL_EXPORT void fakeglAddLiveRegion(const void *first, uint64_t size) {
  std::lock_guard<std::mutex> lock(mutex);
  regions.push_back(LiveRegion{reinterpret_cast<uintptr_t>(first), size});
}
FAKEGL_EXPORT void fakeglClearLiveRegions() {
  std::lock_guard<std::mutex> lock(mutex);
  regions.clear();
}
FAKEGL_EXPORT uint64_t fakeglLastImage(uint8_t *out, uint64_t room) {
  std::lock_guard<std::mutex> lock(mutex);
  if (out) std::memcpy(out, lastImage.data(), std::min<uint64_t>(room, lastImage.size()));
  return lastImage.size();
}

FAKEGL_EXPORT void fakeglResetReads() {
  std::lock_guard<std::mutex> lock(mutex);
  lastImage.clear();
  unpack.clear();
  unpackBuffer = arrayBuffer = elementBuffer = 0;
  clientTexture = GL_TEXTURE0;
  for (Array &array : arrays) array = Array{};
}

FAKEGL_EXPORT void fakeglNoteStore(GLenum pname, GLint value) {
  std::lock_guard<std::mutex> lock(mutex);
  // The library refuses a negative value and an alignment other than 1, 2, 4 or 8.
  if (value < 0) return;
  if (pname == GL_UNPACK_ALIGNMENT && value != 1 && value != 2 && value != 4 && value != 8) return;
  unpack[pname] = value;
}

FAKEGL_EXPORT void fakeglAnswer_glBindBuffer(GLenum target, GLuint buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  if (target == GL_PIXEL_UNPACK_BUFFER) unpackBuffer = buffer;
  if (target == GL_ARRAY_BUFFER) arrayBuffer = buffer;
  if (target == GL_ELEMENT_ARRAY_BUFFER) elementBuffer = buffer;
}
FAKEGL_EXPORT void fakeglAnswer_glBindBufferARB(GLenum target, GLuint buffer) { fakeglAnswer_glBindBuffer(target, buffer); }

FAKEGL_EXPORT void fakeglAnswer_glTexImage1D(GLenum, GLint, GLint, GLsizei width, GLint, GLenum format, GLenum type,
                                             const GLvoid *pixels) {
  readImage("glTexImage1D", width, 1, 1, format, type, pixels, false, true);
}
FAKEGL_EXPORT void fakeglAnswer_glTexImage2D(GLenum, GLint, GLint, GLsizei width, GLsizei height, GLint, GLenum format,
                                             GLenum type, const GLvoid *pixels) {
  readImage("glTexImage2D", width, height, 1, format, type, pixels, false, true);
}
FAKEGL_EXPORT void fakeglAnswer_glTexImage3D(GLenum, GLint, GLint, GLsizei width, GLsizei height, GLsizei depth, GLint,
                                             GLenum format, GLenum type, const GLvoid *pixels) {
  readImage("glTexImage3D", width, height, depth, format, type, pixels, true, true);
}
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage1D(GLenum, GLint, GLint, GLsizei width, GLenum format, GLenum type,
                                                const GLvoid *pixels) {
  readImage("glTexSubImage1D", width, 1, 1, format, type, pixels);
}
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage2D(GLenum, GLint, GLint, GLint, GLsizei width, GLsizei height,
                                                GLenum format, GLenum type, const GLvoid *pixels) {
  readImage("glTexSubImage2D", width, height, 1, format, type, pixels);
}
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage3D(GLenum, GLint, GLint, GLint, GLint, GLsizei width, GLsizei height,
                                                GLsizei depth, GLenum format, GLenum type, const GLvoid *pixels) {
  readImage("glTexSubImage3D", width, height, depth, format, type, pixels, true);
}
FAKEGL_EXPORT void fakeglAnswer_glDrawPixels(GLsizei width, GLsizei height, GLenum format, GLenum type,
                                             const GLvoid *pixels) {
  readImage("glDrawPixels", width, height, 1, format, type, pixels);
}
FAKEGL_EXPORT void fakeglAnswer_glBitmap(GLsizei width, GLsizei height, GLfloat, GLfloat, GLfloat, GLfloat,
                                         const GLubyte *bitmap) {
  readImage("glBitmap", width, height, 1, GL_COLOR_INDEX, GL_BITMAP, bitmap);
}
FAKEGL_EXPORT void fakeglAnswer_glPolygonStipple(const GLubyte *mask) {
  readImage("glPolygonStipple", 32, 32, 1, GL_COLOR_INDEX, GL_BITMAP, mask);
}
FAKEGL_EXPORT void fakeglAnswer_glColorTable(GLenum, GLenum, GLsizei width, GLenum format, GLenum type,
                                             const GLvoid *table) {
  readImage("glColorTable", width, 1, 1, format, type, table);
}
FAKEGL_EXPORT void fakeglAnswer_glColorSubTable(GLenum, GLsizei, GLsizei count, GLenum format, GLenum type,
                                                const GLvoid *data) {
  readImage("glColorSubTable", count, 1, 1, format, type, data);
}
FAKEGL_EXPORT void fakeglAnswer_glConvolutionFilter1D(GLenum, GLenum, GLsizei width, GLenum format, GLenum type,
                                                      const GLvoid *image) {
  readImage("glConvolutionFilter1D", width, 1, 1, format, type, image);
}
FAKEGL_EXPORT void fakeglAnswer_glConvolutionFilter2D(GLenum, GLenum, GLsizei width, GLsizei height, GLenum format,
                                                      GLenum type, const GLvoid *image) {
  readImage("glConvolutionFilter2D", width, height, 1, format, type, image);
}
FAKEGL_EXPORT void fakeglAnswer_glSeparableFilter2D(GLenum, GLenum, GLsizei width, GLsizei height, GLenum format,
                                                    GLenum type, const GLvoid *row, const GLvoid *column) {
  readImage("glSeparableFilter2D row", width, 1, 1, format, type, row);
  readImage("glSeparableFilter2D column", height, 1, 1, format, type, column);
}

FAKEGL_EXPORT void fakeglAnswer_glCallLists(GLsizei n, GLenum type, const GLvoid *lists) {
  std::lock_guard<std::mutex> lock(mutex);
  if (n > 0) readRange("glCallLists", lists, uint64_t(n) * typeBytes(type));
}

FAKEGL_EXPORT void fakeglAnswer_glClientActiveTexture(GLenum texture) {
  std::lock_guard<std::mutex> lock(mutex);
  clientTexture = texture;
}
FAKEGL_EXPORT void fakeglAnswer_glEnableClientState(GLenum capability) {
  std::lock_guard<std::mutex> lock(mutex);
  int kind = kindOfCapability(capability);
  if (Array *array = kind >= 0 ? arrayOf(kind) : nullptr) array->enabled = true;
}
FAKEGL_EXPORT void fakeglAnswer_glDisableClientState(GLenum capability) {
  std::lock_guard<std::mutex> lock(mutex);
  int kind = kindOfCapability(capability);
  if (Array *array = kind >= 0 ? arrayOf(kind) : nullptr) array->enabled = false;
}
FAKEGL_EXPORT void fakeglAnswer_glVertexPointer(GLint size, GLenum type, GLsizei stride, const GLvoid *pointer) {
  if (size >= 2) setArray(kVertex, size, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glColorPointer(GLint size, GLenum type, GLsizei stride, const GLvoid *pointer) {
  if (size >= 3) setArray(kColor, size, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glSecondaryColorPointer(GLint size, GLenum type, GLsizei stride, const void *pointer) {
  if (size == 3) setArray(kSecondaryColor, size, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glTexCoordPointer(GLint size, GLenum type, GLsizei stride, const GLvoid *pointer) {
  setArray(kTexCoord, size, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glNormalPointer(GLenum type, GLsizei stride, const GLvoid *pointer) {
  setArray(kNormal, 3, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glIndexPointer(GLenum type, GLsizei stride, const GLvoid *pointer) {
  setArray(kIndex, 1, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glFogCoordPointer(GLenum type, GLsizei stride, const void *pointer) {
  setArray(kFogCoord, 1, type, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glEdgeFlagPointer(GLsizei stride, const GLvoid *pointer) {
  setArray(kEdgeFlag, 1, GL_UNSIGNED_BYTE, stride, pointer);
}
FAKEGL_EXPORT void fakeglAnswer_glArrayElement(GLint index) {
  std::lock_guard<std::mutex> lock(mutex);
  if (index >= 0) readVertex("glArrayElement", uint64_t(index));
}
FAKEGL_EXPORT void fakeglAnswer_glDrawArrays(GLenum, GLint first, GLsizei count) {
  std::lock_guard<std::mutex> lock(mutex);
  if (first >= 0 && count > 0) readVertices("glDrawArrays", uint64_t(first), uint64_t(count));
}
FAKEGL_EXPORT void fakeglAnswer_glDrawElements(GLenum, GLsizei count, GLenum type, const GLvoid *indices) {
  readElements("glDrawElements", count, type, indices);
}
FAKEGL_EXPORT void fakeglAnswer_glDrawRangeElements(GLenum, GLuint start, GLuint end, GLsizei count, GLenum type,
                                                    const GLvoid *indices) {
  if (end >= start) readElements("glDrawRangeElements", count, type, indices);
}
}
