// Render commands executed inside the proxy: the two loops that cut GLXRender and GLXRenderLarge
// requests into commands, the executor that turns one command into calls of the instance's GL
// library, the recording of commands into the proxy's display lists and their replay through
// the same executor, the bound on what one request may make the library do, and the
// command-data helpers (64-bit fields, pixel headers, image sizes, client arrays carried in a
// command).
//
// Every case first computes, in 64 bits, how many bytes it and the library will read from the
// command (images as the pixel-store rules make the library read them); a command that does not
// hold them makes no call, is logged once as undecoded and ends its request with BadLength.
// Arguments the library would take unchecked (attribute indices, element indices, mesh sizes)
// are bounded by its limits first. A draw reads only client arrays that point into its own
// command and arrays in buffer objects: the library is asked which arrays are enabled and
// where they lie, and the others are disabled for the draw.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "xclient/gldatatype.h"
#include "xext/glxdirect.h"
#include "xext/glxdirectlists.h"
#include "xext/glxdirectunpack.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"

namespace {

using namespace glxdirectdecode;

// GL values the executor interprets.
constexpr uint32_t kGlCompileAndExecute = 0x1301;
constexpr uint32_t kGlOutOfMemory = 0x0505;

constexpr uint32_t kGlUnsignedByte = 0x1401;
constexpr uint32_t kGlBitmap = 0x1A00;
constexpr uint32_t kGlColorIndex = 0x1900;
constexpr uint32_t kGlTexture0 = 0x84C0;
constexpr uint32_t kGlUnpackSwapBytes = 0x0CF0;
constexpr uint32_t kGlInvalidValue = 0x0501;
constexpr uint32_t kGlInvalidOperation = 0x0502;
constexpr uint32_t kGlUnpackLsbFirst = 0x0CF1;
constexpr uint32_t kGlUnpackRowLength = 0x0CF2;
constexpr uint32_t kGlUnpackSkipRows = 0x0CF3;
constexpr uint32_t kGlUnpackSkipPixels = 0x0CF4;
constexpr uint32_t kGlUnpackAlignment = 0x0CF5;
constexpr uint32_t kGlUnpackSkipImages = 0x806D;
constexpr uint32_t kGlUnpackImageHeight = 0x806E;
constexpr uint32_t kGlArrayBufferBinding = 0x8894;
constexpr uint32_t kGlElementArrayBufferBinding = 0x8895;
constexpr uint32_t kGlVertexAttribArrayEnabled = 0x8622;
constexpr uint32_t kGlVertexAttribArrayBufferBinding = 0x889F;
constexpr uint32_t kGlVertexAttribArraySize = 0x8623;
constexpr uint32_t kGlVertexAttribArrayStride = 0x8624;
constexpr uint32_t kGlVertexAttribArrayType = 0x8625;
constexpr uint32_t kGlVertexAttribArrayPointer = 0x8645;
constexpr uint32_t kGlArrayBuffer = 0x8892;
constexpr uint32_t kGlElementArrayBuffer = 0x8893;
constexpr uint32_t kGlTextureCoordArray = 0x8078;
constexpr uint32_t kGlMaxVertexAttribs = 0x8869;
constexpr uint32_t kGlMaxTextureCoords = 0x8871;
constexpr uint32_t kGlMaxTextureUnits = 0x84E2;
constexpr uint32_t kGlLastPrimitive = 0x000E;  // GL_PATCHES
constexpr uint32_t kGlTriangles = 0x0004;
constexpr uint32_t kGlElementArrayAti = 0x8768;

// The client-array kinds, in the order of the instance's enabled-array flags (edge flag, texture
// coordinate, colour, index, normal, vertex, fog coordinate, secondary colour).
constexpr uint32_t kArrayKinds[8] = {0x8079, 0x8078, 0x8076, 0x8077, 0x8075, 0x8074, 0x8457, 0x845E};
// The buffer-object binding of each kind's array, in the same order.
constexpr uint32_t kArrayBindings[8] = {0x889B, 0x889A, 0x8898, 0x8899, 0x8897, 0x8896, 0x889D, 0x889C};
// The order in which DrawArrays disables what it enabled: colour, edge flag, fog coordinate,
// index, normal, secondary colour, texture coordinate, vertex (indices into kArrayKinds).
constexpr int kDisableOrder[8] = {2, 0, 6, 3, 4, 7, 1, 5};

// Index of a client-array kind in kArrayKinds, -1 for another value.
int arrayIndex(uint32_t kind) {
  for (int i = 0; i < 8; i++)
    if (kArrayKinds[i] == kind) return i;
  return -1;
}

// Bytes of one element of a client data type; 0 for a type without a size.
uint64_t typeBytes(uint32_t type) {
  uint32_t size = gldatatypeSize(type);
  if (size == 1 && type != 0x1400 && type != 0x1401 && type != 0x8032 && type != 0x8362) return 0;
  return size;
}

// Control points per value for a map target (k), 0 for another target.
uint32_t mapValues(uint32_t target) {
  uint32_t base = target >= 0x0DB0 ? target - 0x0DB0 : target - 0x0D90;
  if ((target < 0x0D90 || target > 0x0D98) && (target < 0x0DB0 || target > 0x0DB8)) return 0;
  static constexpr uint32_t kValues[9] = {4, 1, 3, 1, 2, 3, 4, 3, 4};
  return kValues[base];
}

// The most grid points one EvalMesh may evaluate in one call of the library (a mesh drawn whole):
// the library would hold every client for as long as a mesh of 2^31 points per side takes (no
// command carries the points). A mesh drawn in pieces is bounded by its request's time.
constexpr uint64_t kMeshPointLimit = uint64_t(1) << 22;

// Points of the mesh from i1 to i2 (and j1 to j2), 64 bits; an empty range counts one.
uint64_t meshPoints(int32_t i1, int32_t i2, int32_t j1, int32_t j2) {
  auto span = [](int32_t from, int32_t to) {
    return to > from ? static_cast<uint64_t>(static_cast<int64_t>(to) - from) + 1 : uint64_t{1};
  };
  return times(span(i1, i2), span(j1, j2));
}

// A fixed-size vector of n values of T taken out of the command at an offset, aligned for the
// library. The caller has checked that the command holds them.
template <typename T, int N>
struct Values {
  T v[N];
  Values(const Command &c, uint64_t offset) { std::memcpy(v, c.at(offset), sizeof v); }
};

// A vector whose length depends on a pname: what the command carries from offset on (at most 16
// values of 4 or 8 bytes), zero-filled to 16 values.
template <typename T>
struct PnameValues {
  T v[16] = {};
  PnameValues(const Command &c, uint64_t offset) {
    uint64_t carried = c.size > offset ? c.size - offset : 0;
    std::memcpy(v, c.at(offset), carried < sizeof v ? carried : sizeof v);
  }
};

// The pixel header of the 2D commands: the unpack state set from it, in header order, after the
// header was checked (negative row length or skips, or an alignment other than 1, 2, 4, 8 drop the
// command). withSwap: whether the swap-bytes byte is applied.
struct PixelHeader {
  int32_t rowLength, imageHeight, skipRows, skipImages, skipPixels, alignment;
};

bool readPixelHeader(const Command &c, bool threeD, PixelHeader *h) {
  if (!threeD) {
    *h = {c.i(4), 0, c.i(8), 0, c.i(12), c.i(16)};
  } else {
    *h = {c.i(4), c.i(8), c.i(16), c.i(20), c.i(28), c.i(32)};
  }
  if (h->rowLength < 0 || h->imageHeight < 0 || h->skipRows < 0 || h->skipImages < 0 || h->skipPixels < 0) {
    c.dropped("negative pixel store value");
    return false;
  }
  if (h->alignment != 1 && h->alignment != 2 && h->alignment != 4 && h->alignment != 8) {
    c.dropped("bad alignment");
    return false;
  }
  return true;
}

// The library's unpack state for the tight images of glxdirectUnpackImage: nothing skipped or
// swapped, rows of whole bytes (a client's GLXPixelStorei of an unpack parameter must not reach a
// command either).
void setTightUnpack(GlFunctionTable &gl) {
  gl.glPixelStorei(kGlUnpackSwapBytes, 0);
  gl.glPixelStorei(kGlUnpackLsbFirst, 0);
  gl.glPixelStorei(kGlUnpackRowLength, 0);
  gl.glPixelStorei(kGlUnpackSkipRows, 0);
  gl.glPixelStorei(kGlUnpackSkipPixels, 0);
  gl.glPixelStorei(kGlUnpackImageHeight, 0);
  gl.glPixelStorei(kGlUnpackSkipImages, 0);
  gl.glPixelStorei(kGlUnpackAlignment, 1);
}

// The header's unpack state; the swap-bytes byte only where the command has one (withSwap).
GlxUnpackState unpackState(const Command &c, const PixelHeader &h, bool withSwap) {
  return GlxUnpackState{withSwap ? c.at(0)[0] : uint8_t{0}, c.at(1)[0], h.rowLength, h.imageHeight, h.skipRows,
                        h.skipImages, h.skipPixels, h.alignment};
}

// A pair the library cannot serve (glxdirectPixelsRefused): true after the GL error a server
// gives it was recorded with the library (by a call it refuses with that error; inside
// glBegin/glEnd it gives GL_INVALID_OPERATION, as for the command itself).
bool refusedPixels(const Command &c, uint32_t format, uint32_t type) {
  uint32_t glError = 0;
  if (!glxdirectPixelsRefused(format, type, false, &glError)) return false;
  // GL_INVALID_ENUM, the only error of the table: a pixel-store parameter of no name.
  c.gl.glPixelStorei(0, 0);
  c.dropped("pixel format and type the library cannot serve");
  return true;
}

// The tight copy of a checked image of bytes > 0 in the command from offset on, in the
// instance's scratch from `at` on (room for it made by the caller); NULL after the command was
// dropped.
const void *unpackInto(const Command &c, const GlxUnpackState &state, uint64_t offset, uint32_t format, uint32_t type,
                       int32_t width, int32_t height, int32_t depth, uint8_t *at) {
  const char *failed = glxdirectUnpackImage(state, format, type, width, height, depth, c.at(offset), c.size - offset, at);
  if (!failed) return at;
  c.error = kBadLength;
  c.dropped(failed);
  return nullptr;
}

// Scratch room for the tight images of a command; NULL (BadAlloc, dropped) when none can be had.
uint8_t *tightRoom(const Command &c, int64_t bytes) {
  uint8_t *room = bytes > 0 ? glxdirectScratch(c.instance, static_cast<uint64_t>(bytes)) : nullptr;
  if (room) return room;
  c.error = kBadAlloc;
  c.dropped("no room for the unpacked image");
  return nullptr;
}

// Bytes of an image under the header, as GL reads them (glxdirectUnpackReach); -1 when the
// format or type has no size for a non-empty image. A proxy target reads no data.
int64_t imageBytes(const Command &c, const PixelHeader &h, uint32_t format, uint32_t type, uint32_t target,
                   int32_t width, int32_t height, int32_t depth) {
  if (width < 0 || height < 0 || depth < 0) return -1;
  if (width == 0 || height == 0 || depth == 0) return 0;
  int64_t size = glxdirectUnpackReach(unpackState(c, h, false), format, type, width, height, depth);
  if (size <= 0) return -1;
  if (glxdirectImageSize(format, type, target, 1, 1, 1, 0, 0, 0, 0, 1) == 0) return 0;
  return size;
}

// The library is about to read an image the command carries: a pixel-unpack buffer bound is
// unbound until the command is done (glxdirectExecuteRender binds it again).
constexpr uint32_t kGlPixelUnpackBuffer = 0x88EC, kGlPixelUnpackBufferBinding = 0x88EF;
void carriedImage(const Command &c) {
  if (c.unpackBuffer) return;
  c.unpackBuffer = static_cast<uint32_t>(glxdirectGetInteger(c.instance, kGlPixelUnpackBufferBinding));
  if (c.unpackBuffer) c.gl.glBindBuffer(kGlPixelUnpackBuffer, 0);
}

// Checks the header and the image of a pixel command whose image starts at imageOffset, unpacks
// it tight into the instance's scratch and sets the library's unpack state for it: *image is
// what to hand the library (the command's own bytes where the library reads none, a proxy
// target or an empty image). False: dropped (logged; BadLength for a command shorter than its
// image, BadAlloc without room, the library's GL error for a pair it cannot serve).
bool pixelCommand(const Command &c, bool withSwap, bool threeD, uint64_t imageOffset, uint32_t format, uint32_t type,
                  uint32_t target, int32_t width, int32_t height, int32_t depth, const void **image) {
  PixelHeader h;
  if (!readPixelHeader(c, threeD, &h)) return false;
  int64_t bytes = imageBytes(c, h, format, type, target, width, height, depth);
  if (bytes < 0) {
    // The library's answer to such a command: its GL error, for the client's next GetError.
    glxdirectRecordError(c.instance, width < 0 || height < 0 || depth < 0 ? kGlInvalidValue
                                                                          : glxdirectPixelsError(format, type));
    c.dropped("pixel format or type without a size");
    return false;
  }
  if (!c.holds(plus(imageOffset, static_cast<uint64_t>(bytes)))) return false;
  if (refusedPixels(c, format, type)) return false;
  *image = c.at(imageOffset);
  if (bytes > 0) {
    uint8_t *room = tightRoom(c, glxdirectTightBytes(format, type, width, height, depth));
    if (!room) return false;
    *image = unpackInto(c, unpackState(c, h, withSwap), imageOffset, format, type, width, height, depth, room);
    if (!*image) return false;
    carriedImage(c);
  }
  setTightUnpack(c.gl);
  return true;
}

// Counts the texture level a command defines against the client's budget: false when it does
// not fit (BadAlloc; nothing is called). *width becomes -1 when the library is to refuse the
// command (a size beyond its limits, inside glBegin/glEnd): its GL error, and no storage.
bool levelStorage(const Command &c, uint32_t target, int32_t level, uint32_t internalFormat, int32_t *width,
                  int32_t height, int32_t depth) {
  switch (glxdirectTextureLevel(c.instance, target, level, internalFormat, *width, height, depth)) {
    case kGlxDirectLevelRefused:
      *width = -1;
      return true;
    case kGlxDirectLevelOverBudget:
      c.beyondBudget("texture level");
      return false;
    default:
      return true;
  }
}

// A bind (a query's begin) of name: false when the name it makes passes the client's budget
// (BadAlloc; nothing is called).
bool boundName(const Command &c, GlxDirectNameKind kind, uint32_t name) {
  if (glxdirectNameBound(c.instance, kind, name)) return true;
  c.beyondBudget("new name");
  return false;
}

// A library without the placeholder entry has the loader's stub there, of another type: it is
// not called.
template <typename Fn>
void callDummy(Fn fn, uint32_t value) {
  if (pluginIsStub(fn)) return;
  reinterpret_cast<void (*)(GLuint)>(fn)(value);
}

// The client-active-texture bracket of a texture-coordinate array of another unit than 0.
template <typename Body>
void withClientUnit(const Command &c, uint32_t unit, Body body) {
  if (unit != 0) c.gl.glClientActiveTexture(kGlTexture0 + unit);
  body();
  if (unit != 0) c.gl.glClientActiveTexture(kGlTexture0);
}

// Whether a 64-bit pointer value may reach the library: a buffer is bound for that binding.
bool bufferBound(const Command &c, uint32_t binding) {
  if (glxdirectGetInteger(c.instance, binding) != 0) return true;
  c.dropped("pointer value without a bound buffer");
  return false;
}


// ===== client arrays =====
// The library's limits on generic vertex attributes and texture-coordinate sets, asked once per
// instance with a context current (at most kArrayLimit each; at least one coordinate set).
constexpr uint32_t kArrayLimit = kGlxDirectArrayLimit;

void askLimits(GlxLibraryInstance *instance) {
  // Inside glBegin/glEnd the library answers no question: asked at the next render request.
  if (instance->limitsAsked || instance->insideBegin) return;
  auto bounded = [instance](uint32_t pname) {
    int32_t value = glxdirectGetInteger(instance, pname);
    return value < 0 ? 0u : value > int32_t{kArrayLimit} ? kArrayLimit : static_cast<uint32_t>(value);
  };
  instance->maxVertexAttribs = bounded(kGlMaxVertexAttribs);
  instance->maxTextureCoords = bounded(kGlMaxTextureCoords);
  if (instance->maxTextureCoords == 0) instance->maxTextureCoords = bounded(kGlMaxTextureUnits);
  if (instance->maxTextureCoords == 0) instance->maxTextureCoords = 1;
  instance->limitsAsked = 1;
}

// The GL error GL_INVALID_VALUE of an attribute index out of range, given by the library itself
// through a call it refuses without touching any state.
void invalidAttribute(const Command &c) {
  static const GLfloat kZero[4] = {};
  c.gl.glVertexAttrib4fvARB(0xFFFFFFFFu, kZero);
  c.dropped("attribute index beyond the library's");
}

// Whether the library takes an array of that kind (0: a generic attribute) with size values of
// type per element, checked as the library checks them (stricter where in doubt: such an array
// is then not drawn from).
bool arrayAccepted(uint32_t kind, uint32_t size, uint32_t type) {
  constexpr uint32_t kByte = 0x1400, kUbyte = 0x1401, kShort = 0x1402, kUshort = 0x1403, kInt = 0x1404,
                     kUint = 0x1405, kFloat = 0x1406, kDouble = 0x140A;
  auto oneOf = [type](std::initializer_list<uint32_t> types) {
    for (uint32_t t : types)
      if (t == type) return true;
    return false;
  };
  switch (kind) {
    case 0x8074: return size >= 2 && size <= 4 && oneOf({kShort, kInt, kFloat, kDouble});
    case 0x8075: return size == 3 && oneOf({kByte, kShort, kInt, kFloat, kDouble});
    case 0x8076: return (size == 3 || size == 4) && oneOf({kByte, kUbyte, kShort, kUshort, kInt, kUint, kFloat, kDouble});
    case 0x8077: return size == 1 && oneOf({kUbyte, kShort, kInt, kFloat, kDouble});
    case 0x8078: return size >= 1 && size <= 4 && oneOf({kShort, kInt, kFloat, kDouble});
    case 0x8079: return size == 1 && typeBytes(type) != 0;
    case 0x8457: return size == 1 && oneOf({kFloat, kDouble});
    case 0x845E: return size == 3 && oneOf({kByte, kUbyte, kShort, kUshort, kInt, kUint, kFloat, kDouble});
    case 0: return size >= 1 && size <= 4 && oneOf({kByte, kUbyte, kShort, kUshort, kInt, kUint, kFloat, kDouble});
    default: return false;
  }
}

// Points the array of that kind (0: the generic attribute of index unit; texture coordinates:
// of that unit) at data of the command. Counted as the command's own only when the library
// takes it; a refused one is still handed over (the library gives its error) and left out of
// the draw. False for a kind that is no array.
bool pointArray(const Command &c, uint32_t kind, uint32_t unit, uint32_t size, uint32_t type, GLsizei stride,
                uint8_t normalized, const void *data) {
  GlxLibraryInstance *instance = c.instance;
  GlFunctionTable &gl = c.gl;
  askLimits(instance);
  bool taken = arrayAccepted(kind, size, type);
  GLint values = static_cast<GLint>(size > 4 ? 0 : size);
  switch (kind) {
    case 0x8074: gl.glVertexPointer(values, type, stride, data); break;
    case 0x8075: gl.glNormalPointer(type, stride, data); break;
    case 0x8076: gl.glColorPointer(values, type, stride, data); break;
    case 0x8077: gl.glIndexPointer(type, stride, data); break;
    case 0x8078:
      if (unit >= instance->maxTextureCoords) {
        // The library refuses the unit (its error); nothing is pointed.
        gl.glClientActiveTexture(kGlTexture0 + unit);
        gl.glClientActiveTexture(kGlTexture0);
        return true;
      }
      withClientUnit(c, unit, [&] { gl.glTexCoordPointer(values, type, stride, data); });
      if (taken) c.ownUnits |= 1ull << unit;
      return true;
    case 0x8079: gl.glEdgeFlagPointer(stride, data); break;
    case 0x8457: gl.glFogCoordPointer(type, stride, data); break;
    case 0x845E: gl.glSecondaryColorPointer(values, type, stride, data); break;
    case 0:
      if (unit >= instance->maxVertexAttribs) {
        invalidAttribute(c);
        return true;
      }
      gl.glVertexAttribPointer(unit, values, type, normalized, stride, data);
      if (taken) c.ownAttributes |= 1ull << unit;
      return true;
    default:
      return false;
  }
  if (taken) c.ownKinds |= 1u << arrayIndex(kind);
  return true;
}

// Enabled client arrays that the library would read though they do not point into the command
// being drawn (never set, set by an earlier command that is gone, refused by the library):
// disabled for the draw, then enabled again. Arrays in a buffer object stay; how many elements
// each holds from its offset to its buffer's end bounds what a draw reading nothing of the
// command may ask for (the library's ArrayElement reads them unchecked).
struct ForeignArrays {
  uint32_t kinds = 0;
  uint64_t units = 0;
  uint64_t attributes = 0;
  bool inBuffers = false;     // an enabled array lies in a buffer object
  uint64_t room = UINT64_MAX;  // the fewest elements such an array holds
};

// What is asked about an enabled array of each kind (kArrayKinds order): its values per element
// (fixed when no pname), type (none: bytes), stride and pointer.
struct ArrayQuestions {
  uint32_t size, type, stride, pointer;
  uint8_t fixedSize;
};
constexpr ArrayQuestions kArrayQuestions[8] = {
    {0, 0, 0x808C, 0x8093, 1},           {0x8088, 0x8089, 0x808A, 0x8092, 0}, {0x8081, 0x8082, 0x8083, 0x8090, 0},
    {0, 0x8085, 0x8086, 0x8091, 1},      {0, 0x807E, 0x807F, 0x808F, 3},      {0x807A, 0x807B, 0x807C, 0x808E, 0},
    {0, 0x8454, 0x8455, 0x8456, 1},      {0x845A, 0x845B, 0x845C, 0x845D, 0}};

// GL_BUFFER_SIZE of the buffer object of that name (bound to GL_ARRAY_BUFFER for the question,
// the binding restored).
uint64_t arrayBufferBytes(const Command &c, uint32_t name) {
  int32_t bound = glxdirectGetInteger(c.instance, kGlArrayBufferBinding);
  c.gl.glBindBuffer(kGlArrayBuffer, name);
  int32_t bytes = glxdirectBufferSize(c.instance, kGlArrayBuffer);
  c.gl.glBindBuffer(kGlArrayBuffer, static_cast<GLuint>(bound));
  return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

// Elements of size values of type, stride bytes apart (0: packed), from offset in a buffer of
// bytes. An unknown size counts 4 values, an unknown type 8 bytes.
uint64_t elementsIn(uint64_t bytes, uint64_t offset, int32_t size, uint32_t type, int32_t stride) {
  uint64_t values = size >= 1 && size <= 4 ? static_cast<uint64_t>(size) : 4;
  uint64_t element = values * (typeBytes(type) ? typeBytes(type) : 8);
  uint64_t step = stride > 0 ? static_cast<uint64_t>(stride) : element;
  if (offset > bytes || bytes - offset < element) return 0;
  return (bytes - offset - element) / step + 1;
}

// One integer parameter of a generic vertex attribute's array.
GLint vertexAttribInteger(GlFunctionTable &gl, uint32_t index, uint32_t pname) {
  GLint values[16] = {};
  gl.glGetVertexAttribiv(index, pname, values);
  return values[0];
}

ForeignArrays disableForeignArrays(const Command &c, bool disable = true) {
  GlxLibraryInstance *instance = c.instance;
  GlFunctionTable &gl = c.gl;
  askLimits(instance);
  ForeignArrays off;
  auto inBuffer = [&](uint64_t elements) {
    off.inBuffers = true;
    if (elements < off.room) off.room = elements;
  };
  // An enabled conventional array (of the current texture unit): true when it lies in client
  // memory, else its buffer's elements counted.
  auto clientArray = [&](int i) {
    const ArrayQuestions &q = kArrayQuestions[i];
    uint32_t name = static_cast<uint32_t>(glxdirectGetInteger(instance, kArrayBindings[i]));
    if (name == 0) return true;
    GLvoid *pointer = nullptr;
    gl.glGetPointerv(q.pointer, &pointer);
    inBuffer(elementsIn(arrayBufferBytes(c, name), reinterpret_cast<uintptr_t>(pointer),
                        q.size ? glxdirectGetInteger(instance, q.size) : q.fixedSize,
                        q.type ? static_cast<uint32_t>(glxdirectGetInteger(instance, q.type)) : kGlUnsignedByte,
                        glxdirectGetInteger(instance, q.stride)));
    return false;
  };
  for (int i = 0; i < 8; i++) {
    uint32_t kind = kArrayKinds[i];
    if (kind == kGlTextureCoordArray || glxdirectGetInteger(instance, kind) == 0) continue;
    if (!clientArray(i) || (c.ownKinds >> i & 1)) continue;
    if (disable) gl.glDisableClientState(kind);
    off.kinds |= 1u << i;
  }
  for (uint32_t unit = 0; unit < instance->maxTextureCoords; unit++) {
    withClientUnit(c, unit, [&] {
      if (glxdirectGetInteger(instance, kGlTextureCoordArray) == 0) return;
      if (!clientArray(1) || (c.ownUnits >> unit & 1)) return;
      if (disable) gl.glDisableClientState(kGlTextureCoordArray);
      off.units |= 1ull << unit;
    });
  }
  for (uint32_t index = 0; index < instance->maxVertexAttribs; index++) {
    auto attribute = [&](uint32_t pname) { return vertexAttribInteger(gl, index, pname); };
    if (!attribute(kGlVertexAttribArrayEnabled)) continue;
    if (uint32_t name = static_cast<uint32_t>(attribute(kGlVertexAttribArrayBufferBinding))) {
      GLvoid *pointer = nullptr;
      gl.glGetVertexAttribPointerv(index, kGlVertexAttribArrayPointer, &pointer);
      inBuffer(elementsIn(arrayBufferBytes(c, name), reinterpret_cast<uintptr_t>(pointer),
                          attribute(kGlVertexAttribArraySize), static_cast<uint32_t>(attribute(kGlVertexAttribArrayType)),
                          attribute(kGlVertexAttribArrayStride)));
      continue;
    }
    if (c.ownAttributes >> index & 1) continue;
    if (disable) gl.glDisableVertexAttribArray(index);
    off.attributes |= 1ull << index;
  }
  if (disable && (off.kinds || off.units || off.attributes))
    LOG(logChannelXhint, "Lumora: client arrays not in render command #%u by %s left out of its draw", c.opcode,
        clientName());
  return off;
}

// How many elements an ArrayElement may index inside a glBegin about to open: 0 when an
// enabled array lies in client memory (the command that set it is gone).
uint64_t arrayRoomForBegin(const Command &c) {
  ForeignArrays found = disableForeignArrays(c, false);
  return found.kinds || found.units || found.attributes ? 0 : found.room;
}

void enableAgain(const Command &c, const ForeignArrays &off) {
  for (int i = 0; i < 8; i++)
    if (off.kinds >> i & 1) c.gl.glEnableClientState(kArrayKinds[i]);
  for (uint32_t unit = 0; unit < kArrayLimit; unit++)
    if (off.units >> unit & 1) withClientUnit(c, unit, [&] { c.gl.glEnableClientState(kGlTextureCoordArray); });
  for (uint32_t index = 0; index < kArrayLimit; index++)
    if (off.attributes >> index & 1) c.gl.glEnableVertexAttribArray(index);
}

// ===== current values set by ArrayElement pieces =====
// Where each conventional kind's current value is asked (glGetFloatv), by kArrayKinds index; 0
// for the kinds that have none of their own here (texture coordinates, per unit; the vertex).
constexpr uint32_t kCurrentValueOf[8] = {0x0B43, 0, 0x0B00, 0x0B01, 0x0B02, 0, 0x8453, 0x8459};
constexpr uint32_t kGlActiveTexture = 0x84E0, kGlCurrentTextureCoords = 0x0B03, kGlCurrentVertexAttrib = 0x8626;
}  // namespace

namespace glxdirectdecode {

void keepCurrentValues(const Command &c, CurrentValues &values) {
  GlxLibraryInstance *instance = c.instance;
  GlFunctionTable &gl = c.gl;
  askLimits(instance);
  values = CurrentValues{};
  values.kept = true;
  for (int i = 0; i < 8; i++) {
    if (!kCurrentValueOf[i] || glxdirectGetInteger(instance, kArrayKinds[i]) == 0) continue;
    values.kinds |= 1u << i;
    gl.glGetFloatv(kCurrentValueOf[i], values.kind[i]);
  }
  // A unit's current coordinates are asked with it active (the active unit set back after).
  int32_t active = -1;
  for (uint32_t unit = 0; unit < instance->maxTextureCoords; unit++) {
    bool enabled = false;
    withClientUnit(c, unit, [&] { enabled = glxdirectGetInteger(instance, kGlTextureCoordArray) != 0; });
    if (!enabled) continue;
    if (active < 0) active = glxdirectGetInteger(instance, kGlActiveTexture);
    values.units |= 1ull << unit;
    gl.glActiveTexture(kGlTexture0 + unit);
    gl.glGetFloatv(kGlCurrentTextureCoords, values.unit[unit]);
  }
  if (active >= 0) gl.glActiveTexture(static_cast<GLenum>(active));
  // Attribute 0 is the vertex: it has no current value.
  for (uint32_t index = 1; index < instance->maxVertexAttribs; index++) {
    if (!vertexAttribInteger(gl, index, kGlVertexAttribArrayEnabled)) continue;
    values.attributes |= 1ull << index;
    gl.glGetVertexAttribfv(index, kGlCurrentVertexAttrib, values.attribute[index]);
  }
}

void restoreCurrentValues(const Command &c, const CurrentValues &values) {
  if (!values.kept) return;
  GlFunctionTable &gl = c.gl;
  const auto &kind = values.kind;
  if (values.kinds >> 0 & 1) {
    GLboolean flag = kind[0][0] != 0 ? 1 : 0;
    gl.glEdgeFlagv(&flag);
  }
  if (values.kinds >> 2 & 1) gl.glColor4fv(kind[2]);
  if (values.kinds >> 3 & 1) gl.glIndexfv(kind[3]);
  if (values.kinds >> 4 & 1) gl.glNormal3fv(kind[4]);
  if (values.kinds >> 6 & 1) gl.glFogCoordfvEXT(kind[6]);
  if (values.kinds >> 7 & 1) gl.glSecondaryColor3fvEXT(kind[7]);
  for (uint32_t unit = 0; unit < kArrayLimit; unit++)
    if (values.units >> unit & 1) gl.glMultiTexCoord4fv(kGlTexture0 + unit, values.unit[unit]);
  for (uint32_t index = 1; index < kArrayLimit; index++)
    if (values.attributes >> index & 1) gl.glVertexAttrib4fvARB(index, values.attribute[index]);
}

}  // namespace glxdirectdecode

namespace {
// ===== end of current values set by ArrayElement pieces =====

// A draw from the arrays: only those of the command and those in buffer objects are read. A
// draw that reads nothing of the command (uncarried) may not ask for more vertices (first +
// count) than every array in a buffer holds; without such an array nothing is drawn. An
// ArrayElement asks for element `vertices` - 1.
// What the draw expands to (its vertices or indices) counts against the request's bound,
// piece by piece (drawInPieces); an ArrayElement counts one.
// The draw is given the fewest elements an array in a buffer object holds (all ones: none is).
template <typename Draw>
void drawFromArrays(const Command &c, bool uncarried, uint64_t vertices, Draw draw, bool element = false) {
  ForeignArrays off = disableForeignArrays(c);
  if (uncarried && ((!off.inBuffers && !element) || vertices > off.room))
    c.dropped("more vertices than the buffers of its arrays hold");
  else
    draw(off.room);
  enableAgain(c, off);
}

// The elements of a draw of consecutive vertices from first on, for drawInPieces.
auto consecutiveElements(int64_t first) {
  return [first](int64_t from, int64_t n, std::vector<uint32_t> &out) {
    for (int64_t k = 0; k < n; k++) out.push_back(static_cast<uint32_t>(first + from + k));
    return true;
  };
}

// ===== meshes in pieces =====
// A mesh larger than a piece is evaluated by the proxy as the library's EvalMesh evaluates it:
// the same strips (glBegin ... glEnd) of EvalCoord calls in the same order, at the same grid
// coordinates, cut into pieces between which the library is finished. The coordinates are not
// u1 + i * du for each point: the library (Mesa) starts at u1 + i1 * du and adds du for each
// next point, in single precision, so an EvalMesh of a piece, which starts from its own first
// point, would land a little elsewhere and draw other pixels. They are stepped here the same
// way, from the grid the library holds (du = (u2 - u1) / n in single precision; this build
// fuses no multiply-add).
constexpr uint32_t kGlMap1GridDomain = 0x0DD0, kGlMap1GridSegments = 0x0DD1;
constexpr uint32_t kGlMap2GridDomain = 0x0DD2, kGlMap2GridSegments = 0x0DD3;
constexpr uint32_t kGlPoints = 0x0000, kGlLineStrip = 0x0003, kGlTriangleStrip = 0x0005;

// One strip of a mesh: glBegin(prim), then for each of its columns the grid coordinate along it
// (from, stepped by step) with EvalCoord1f (oneD), or EvalCoord2f at (along, across) for a row
// (paired: and at (along, across + next), a filled row's two points), at (across, along) for a
// column of lines.
struct MeshStrip {
  uint32_t prim;
  bool oneD, row, paired;
  float from, step, across, next;
  int64_t columns;
};

// The piece being filled: the points it may still take (none: a finish comes before more), and
// whether it has drawn any.
struct MeshPiece {
  int64_t left;
  bool drawn;
};

// Gives the strip to the library in pieces: a strip cut before goes on from its last column
// (a line strip its last point, a triangle strip its last two), so the same points make the
// same primitives; a whole strip (stippled lines) is not cut. False once the request's work
// has ended.
bool stripInPieces(const Command &c, const MeshStrip &s, bool whole, MeshPiece &piece) {
  const int64_t per = s.paired ? 2 : 1;
  const bool carry = s.prim != kGlPoints;
  auto column = [&](float along) {
    if (s.oneD) {
      c.gl.glEvalCoord1f(along);
    } else if (s.row) {
      c.gl.glEvalCoord2f(along, s.across);
      if (s.paired) c.gl.glEvalCoord2f(along, s.across + s.next);
    } else {
      c.gl.glEvalCoord2f(s.across, along);
    }
  };
  float along = s.from, last = s.from;
  for (int64_t k = 0; k < s.columns;) {
    if (piece.left <= 0) {
      if (piece.drawn) pieceDrawn(c.instance);
      if (!spend(c, 0)) return false;
      piece.left = pieceVertices(c.instance);
    }
    int64_t again = carry && k > 0 ? 1 : 0;
    int64_t n = whole ? s.columns - k : std::clamp<int64_t>(piece.left / per - again, 1, s.columns - k);
    if (!spend(c, uint64_t((n + again) * per))) return false;
    c.gl.glBegin(s.prim);
    if (again) column(last);
    for (int64_t e = 0; e < n; e++, along += s.step) {
      column(along);
      last = along;
    }
    c.gl.glEnd();
    piece.drawn = true;
    piece.left -= (n + again) * per;
    k += n;
  }
  return true;
}

// An EvalMesh1 (twoD false) or EvalMesh2: whole when it fits one piece, or outside a request, or
// inside glBegin/glEnd or of a mode of no name (the library's error), or empty; else in pieces
// of at most pieceVertices points, each counted before it is drawn. Lines while line stipple is
// on are cut only between strips (the pattern starts again with each); a stippled EvalMesh1 of
// lines, one strip, goes whole, and so does a stippled EvalMesh2 of lines whose strips are longer
// than a piece (one call of the library, which runs to its end).
void meshInPieces(const Command &c, uint32_t mode, int32_t i1, int32_t i2, int32_t j1, int32_t j2, bool twoD) {
  constexpr uint32_t kPoint = 0x1B00, kLine = 0x1B01, kFill = 0x1B02;
  GlxLibraryInstance *instance = c.instance;
  uint64_t points = meshPoints(i1, i2, twoD ? j1 : 0, twoD ? j2 : 0);
  auto whole = [&] {
    if (points > kMeshPointLimit) return c.dropped("mesh of too many points");
    if (!spend(c, points)) return;
    libraryDraw(c, [&] {
      if (twoD)
        c.gl.glEvalMesh2(mode, i1, i2, j1, j2);
      else
        c.gl.glEvalMesh1(mode, i1, i2);
    });
  };
  bool named = mode == kPoint || mode == kLine || (twoD && mode == kFill);
  if (!named || i2 < i1 || (twoD && j2 < j1) || !instance->workBounded || instance->insideBegin) return whole();
  // The interval is brought up to date (a finish due comes first) before the pieces are sized.
  if (!spend(c, 0)) return;
  if (points <= uint64_t(pieceVertices(instance))) return whole();
  int64_t columns = int64_t(i2) - i1 + 1, rows = int64_t(j2) - j1 + 1;
  bool stippled = mode == kLine && linesStippled(c);
  if (stippled && (!twoD || std::max(columns, rows) > pieceVertices(instance))) return whole();
  GLfloat domain[4] = {0, 0, 0, 0};
  GLint segments[2] = {1, 1};
  c.gl.glGetFloatv(twoD ? kGlMap2GridDomain : kGlMap1GridDomain, domain);
  c.gl.glGetIntegerv(twoD ? kGlMap2GridSegments : kGlMap1GridSegments, segments);
  const GLfloat du = (domain[1] - domain[0]) / GLfloat(segments[0] > 0 ? segments[0] : 1);
  const GLfloat dv = (domain[3] - domain[2]) / GLfloat(segments[1] > 0 ? segments[1] : 1);
  const GLfloat u1 = domain[0] + GLfloat(i1) * du, v1 = domain[2] + GLfloat(j1) * dv;
  MeshPiece piece{0, false};
  bool going = true;
  if (!twoD) {
    going = stripInPieces(c, {mode == kPoint ? kGlPoints : kGlLineStrip, true, true, false, u1, du, 0, 0, columns},
                          false, piece);
  } else if (mode == kFill) {
    // Rows of triangle strips between two rows of points.
    GLfloat v = v1;
    for (int64_t j = j1; j < j2 && going; j++, v += dv)
      going = stripInPieces(c, {kGlTriangleStrip, false, true, true, u1, du, v, dv, columns}, false, piece);
  } else {
    // Points or lines along each row; lines then along each column.
    uint32_t prim = mode == kPoint ? kGlPoints : kGlLineStrip;
    GLfloat v = v1;
    for (int64_t j = j1; j <= j2 && going; j++, v += dv)
      going = stripInPieces(c, {prim, false, true, false, u1, du, v, 0, columns}, stippled, piece);
    GLfloat u = u1;
    for (int64_t i = i1; i <= i2 && going && mode == kLine; i++, u += du)
      going = stripInPieces(c, {prim, false, false, false, v1, dv, u, 0, rows}, stippled, piece);
  }
  if (going && piece.drawn) pieceDrawn(instance);
}
// ===== end of meshes in pieces =====

// Index k of an array of indices of each bytes (1, 2 or 4).
uint32_t indexAt(const uint8_t *indices, uint64_t each, uint64_t k) {
  const uint8_t *p = indices + each * k;
  if (each == 1) return p[0];
  if (each == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  return u32At(p);
}

// The elements of a draw of the indices the element buffer holds from offset on, each below
// room (the fewest elements an array in a buffer holds: ArrayElement reads them unchecked).
auto bufferElements(const Command &c, uint32_t type, uint64_t offset, uint64_t room) {
  return [&c, type, offset, room](int64_t from, int64_t n, std::vector<uint32_t> &out) {
    uint64_t each = typeBytes(type);
    if (each != 1 && each != 2 && each != 4) {
      c.dropped("index type");
      return false;
    }
    std::vector<uint8_t> raw;
    try {
      raw.assign(each * uint64_t(n), 0);
    } catch (const std::exception &) {
      c.error = kBadAlloc;
      c.dropped("no room for the indices read");
      return false;
    }
    c.gl.glGetBufferSubData(kGlElementArrayBuffer, static_cast<GLintptr>(offset + each * uint64_t(from)),
                            static_cast<GLsizeiptr>(raw.size()), raw.data());
    for (int64_t k = 0; k < n; k++) {
      uint32_t element = indexAt(raw.data(), each, uint64_t(k));
      if (element >= room) {
        c.dropped("index beyond the arrays");
        return false;
      }
      out.push_back(element);
    }
    return true;
  };
}

// Sets the arrays a 300 or 301 command carries (descriptors at offset, count of them, each of
// vertices elements) after checking their bytes; the element data (the array of kind
// kGlElementArrayAti) or NULL through *elements. False: dropped (a command shorter than its
// arrays, or with vertices of no bytes: BadLength).
bool carriedArrays(const Command &c, uint64_t offset, uint32_t arrays, uint32_t vertices,
                   const uint8_t **elements) {
  uint64_t descriptorBytes = 20ull * arrays;
  if (!c.holds(offset + descriptorBytes)) return false;
  uint64_t vertexBytes = 0;
  for (uint32_t a = 0; a < arrays; a++) {
    const uint8_t *descriptor = c.at(offset + 20ull * a);
    uint64_t element = typeBytes(u32At(descriptor));
    if (element == 0) {
      c.dropped("array type without a size");
      return false;
    }
    vertexBytes = plus(vertexBytes, times(element, u32At(descriptor + 4)));
  }
  // Each vertex takes at least one byte of the command: a count cannot outgrow what it carries.
  uint64_t dataBytes = times(vertexBytes > 0 ? vertexBytes : 1, vertices);
  if (!c.holds(plus(offset + descriptorBytes, dataBytes))) return false;
  const uint8_t *data = c.at(offset + descriptorBytes);
  *elements = nullptr;
  for (uint32_t a = 0; a < arrays; a++) {
    const uint8_t *d = c.at(offset + 20ull * a);
    uint32_t type = u32At(d), components = u32At(d + 4), kind = u32At(d + 8), unit = u32At(d + 12);
    if (kind == kGlElementArrayAti)
      *elements = data;
    else if (kind == 0x850C || kind == 0x86AD || kind == 0x8844)
      logProblem("WIP", __FILE__, __LINE__);
    else if (!pointArray(c, kind, unit, components, type, 0, d[16], data))
      LOG(logChannelWarning, "Lumora: Unsupported array type %s", gldatatypeEnumName(kind));
    data += times(typeBytes(type), components, vertices);
  }
  return true;
}

// The old DrawArrays (193).
void drawArraysCommand(const Command &c) {
  if (!c.holds(12)) return;
  uint32_t vertices = c.u(0), components = c.u(4), mode = c.u(8);
  uint64_t descriptorBytes = 12ull * components;
  if (!c.holds(12 + descriptorBytes)) return;
  uint64_t stride = 0;
  for (uint32_t k = 0; k < components; k++) {
    uint64_t element = typeBytes(c.u(12 + 12ull * k));
    if (element == 0) return c.dropped("array type without a size");
    stride = plus(stride, (times(element, c.u(16 + 12ull * k)) + 3) & ~3ull);
  }
  // A vertex takes at least one byte of the command.
  if (!c.holds(plus(12 + descriptorBytes, times(stride > 0 ? stride : 1, vertices)))) return;
  if (stride > 0x7FFFFFFF || vertices > 0x7FFFFFFF) return c.dropped("stride");
  GlxLibraryInstance *instance = c.instance;
  const uint8_t *data = c.at(12 + descriptorBytes);
  GLsizei s = static_cast<GLsizei>(stride);
  for (uint32_t k = 0; k < components; k++) {
    uint32_t type = c.u(12 + 12ull * k), values = c.u(16 + 12ull * k), kind = c.u(20 + 12ull * k);
    int index = arrayIndex(kind);
    if (index < 0) {
      LOG(logChannelWarning, "Lumora: Unsupported component %s", gldatatypeEnumName(kind));
    } else {
      // An array the library does not take at the size the command gives it is pointed (the
      // library gives its error) but left disabled: a normal, index, edge flag or fog
      // coordinate array has a size of its own, and the library would read elements of that
      // size past what the command carries.
      if (arrayAccepted(kind, values, type)) {
        instance->enabledArrays[index] = 1;
        c.gl.glEnableClientState(kind);
      }
      pointArray(c, kind, 0, values, type, s, 0, data);
    }
    data += (typeBytes(type) * values + 3) & ~3ull;
  }
  drawFromArrays(c, false, vertices, [&](uint64_t) {
    drawInPieces(
        c, mode, int64_t(vertices), false,
        [&](uint32_t m, int64_t at, int64_t n) { c.gl.glDrawArrays(m, static_cast<GLint>(at), static_cast<GLsizei>(n)); },
        consecutiveElements(0));
  });
  for (int index : kDisableOrder) {
    if (!instance->enabledArrays[index]) continue;
    instance->enabledArrays[index] = 0;
    c.gl.glDisableClientState(kArrayKinds[index]);
  }
}
// ===== end of client arrays =====


// Maps (143-146).
void mapCommand(const Command &c) {
  static const char *const kNames[] = {"Map1d", "Map1f", "Map2d", "Map2f"};
  static constexpr uint64_t kFixed[] = {24, 16, 44, 28};
  int which = static_cast<int>(c.opcode - 143);
  if (!c.holds(kFixed[which])) return;
  uint32_t target = which == 0 ? c.u(16) : which == 2 ? c.u(32) : c.u(0);
  uint32_t k = mapValues(target);
  if (k == 0) LOG(logChannelWarning, "Lumora: Unsupported %s target %s", kNames[which], gldatatypeEnumName(target));
  uint64_t valueBytes = which == 0 || which == 2 ? 8 : 4;
  switch (which) {
    case 0: {
      int32_t order = c.i(20);
      if (order < 0) return c.dropped("negative order");
      if (!c.holds(24 + times(valueBytes * k, static_cast<uint64_t>(order)))) return;
      c.gl.glMap1d(target, c.d(0), c.d(8), k, order, reinterpret_cast<const GLdouble *>(c.at(24)));
      break;
    }
    case 1: {
      int32_t order = c.i(12);
      if (order < 0) return c.dropped("negative order");
      if (!c.holds(16 + times(valueBytes * k, static_cast<uint64_t>(order)))) return;
      c.gl.glMap1f(target, c.f(4), c.f(8), k, order, reinterpret_cast<const GLfloat *>(c.at(16)));
      break;
    }
    case 2: {
      int32_t uorder = c.i(36), vorder = c.i(40);
      if (uorder < 0 || vorder < 0 || uint64_t{k} * vorder > 0x7FFFFFFF) return c.dropped("order");
      if (!c.holds(44 + times(valueBytes * k, static_cast<uint64_t>(uorder), static_cast<uint64_t>(vorder)))) return;
      c.gl.glMap2d(target, c.d(0), c.d(8), static_cast<GLint>(k * vorder), uorder, c.d(16), c.d(24), k, vorder,
                   reinterpret_cast<const GLdouble *>(c.at(44)));
      break;
    }
    default: {
      int32_t uorder = c.i(12), vorder = c.i(24);
      if (uorder < 0 || vorder < 0 || uint64_t{k} * vorder > 0x7FFFFFFF) return c.dropped("order");
      if (!c.holds(28 + times(valueBytes * k, static_cast<uint64_t>(uorder), static_cast<uint64_t>(vorder)))) return;
      c.gl.glMap2f(target, c.f(4), c.f(8), static_cast<GLint>(k * vorder), uorder, c.f(16), c.f(20), k, vorder,
                   reinterpret_cast<const GLfloat *>(c.at(28)));
      break;
    }
  }
}

// ShaderSource (253).
void shaderSourceCommand(const Command &c) {
  if (!c.holds(8)) return;
  uint32_t shader = c.u(0), count = c.u(4);
  if (count > 0x7FFFFFFF) return c.dropped("negative count");
  if (!c.holds(8 + 4ull * count)) return;
  uint64_t texts = 0;
  for (uint32_t n = 0; n < count; n++) {
    uint32_t length = c.u(8 + 4ull * n);
    if (length & 0x80000000u) return c.dropped("negative text length");
    texts += length;
  }
  uint64_t textStart = 8 + 4ull * count;
  if (!c.holds(textStart + texts)) return;
  // The library keeps the source: the bytes sent for it count.
  if (!glxdirectShaderSource(c.instance, shader, textStart + texts)) {
    return c.beyondBudget("shader source");
  }
  const GLchar **pointers = nullptr;
  if (count > 0) {
    pointers = reinterpret_cast<const GLchar **>(glxdirectScratch(c.instance, sizeof(GLchar *) * uint64_t{count}));
    if (!pointers) return c.dropped("no scratch memory");
    uint64_t offset = textStart;
    for (uint32_t n = 0; n < count; n++) {
      pointers[n] = reinterpret_cast<const GLchar *>(c.at(offset));
      offset += c.u(8 + 4ull * n);
    }
  }
  c.gl.glShaderSource(shader, static_cast<GLsizei>(count), pointers,
                      reinterpret_cast<const GLint *>(c.at(8)));
}

uint32_t programId(const Command &c, uint32_t id) {
  uint32_t slot = c.instance->currentTagSlot;
  return glxLookupProgramId(slot < kGlxDirectTagSlots ? c.instance->tagSlots[slot].proxyTag : 0, id);
}
uint32_t shaderId(const Command &c, uint32_t id) {
  uint32_t slot = c.instance->currentTagSlot;
  return glxLookupShaderId(slot < kGlxDirectTagSlots ? c.instance->tagSlots[slot].proxyTag : 0, id);
}

// 291: an array pointed at an offset of the bound array buffer.
void arrayPointerCommand(const Command &c) {
  if (!c.holds(30)) return;
  uint64_t value = c.u(0) | static_cast<uint64_t>(c.u(4)) << 32;
  uint32_t kind = c.u(8), index = c.u(12);
  int32_t size = c.i(16), stride = c.i(24);
  uint32_t type = c.u(20);
  uint8_t normalized = c.at(29)[0];
  if (!bufferBound(c, kGlArrayBufferBinding)) return;
  // An attribute the draws do not look at must not get a pointer either.
  askLimits(c.instance);
  if (kind == 0 && index >= c.instance->maxVertexAttribs) return invalidAttribute(c);
  const void *pointer = reinterpret_cast<const void *>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
  callDummy(c.gl.glDummyFunc1, index);
  switch (kind) {
    case 0: c.gl.glVertexAttribPointer(index, size, type, normalized, stride, pointer); break;
    case 0x8074: c.gl.glVertexPointer(size, type, stride, pointer); break;
    case 0x8075: c.gl.glNormalPointer(type, stride, pointer); break;
    case 0x8076: c.gl.glColorPointer(size, type, stride, pointer); break;
    case 0x8077: c.gl.glIndexPointer(type, stride, pointer); break;
    case 0x8078:
      withClientUnit(c, index, [&] { c.gl.glTexCoordPointer(size, type, stride, pointer); });
      break;
    case 0x8079: c.gl.glEdgeFlagPointer(stride, pointer); break;
    case 0x8457: c.gl.glFogCoordPointer(type, stride, pointer); break;
    case 0x845E: c.gl.glSecondaryColorPointer(size, type, stride, pointer); break;
    default:
      LOG(logChannelWarning, "Lumora: Unsupported array %s", gldatatypeEnumName(kind));
      return;
  }
}

// 292 and 293.
void enableArrayCommand(const Command &c, bool enable) {
  if (!c.holds(8)) return;
  uint32_t kind = c.u(0), index = c.u(4);
  callDummy(enable ? c.gl.glDummyFunc2 : c.gl.glDummyFunc3, index);
  auto state = enable ? c.gl.glEnableClientState : c.gl.glDisableClientState;
  askLimits(c.instance);
  if (kind == 0 && index >= c.instance->maxVertexAttribs)
    invalidAttribute(c);
  else if (kind == 0)
    (enable ? c.gl.glEnableVertexAttribArray : c.gl.glDisableVertexAttribArray)(index);
  else if (kind == 0x8078 && index >= c.instance->maxTextureCoords)
    pointArray(c, kind, index, 0, 0, 0, 0, nullptr);  // the library refuses the unit
  else if (kind == 0x8078)
    withClientUnit(c, index, [&] { state(kind); });
  else
    state(kind);
}

// Whether count indices of the type from offset lie inside the bound element buffer (dropped
// when not).
bool elementsInBuffer(const Command &c, uint32_t type, int32_t count, uint64_t offset) {
  uint64_t element = typeBytes(type);
  uint64_t bytes = plus(offset, times(element > 0 ? element : 1, static_cast<uint64_t>(count > 0 ? count : 0)));
  int32_t size = glxdirectBufferSize(c.instance, kGlElementArrayBuffer);
  if (bytes <= static_cast<uint64_t>(size > 0 ? size : 0)) return true;
  c.dropped("indices beyond the element buffer");
  return false;
}

// ===== arrays read when a draw is compiled =====
// GL reads the arrays of a draw compiled into a display list when it is compiled. A draw that
// reads arrays in buffer objects (DrawArrays and DrawRangeElements without carried arrays,
// DrawElements, ArrayElement) is recorded as what it means then: a glBegin, for each element its
// attributes read from the buffers and its vertex last (as ArrayElement gives them), a glEnd.
// Arrays in client memory are no command's own by then and are left out, as an executed draw
// leaves them out. The record counts against the budget by its bytes like any other.

// One enabled array in a buffer object: which command it feeds (kArrayKinds index, 8 a
// texture-coordinate unit, 9 a generic attribute, with its unit or index), its layout, and the
// bytes of the elements [lowest, highest] read from its buffer.
struct BufferArray {
  int feeds;
  uint32_t index;
  int32_t size;
  uint32_t type;
  int32_t stride;
  bool normalized;
  uint32_t name;
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

constexpr int kFeedsTexture = 8, kFeedsGeneric = 9;

// The enabled arrays of the current context that lie in buffer objects.
std::vector<BufferArray> bufferArrays(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  GlFunctionTable &gl = c.gl;
  askLimits(instance);
  std::vector<BufferArray> out;
  auto conventional = [&](int i, uint32_t unit) {
    const ArrayQuestions &q = kArrayQuestions[i];
    uint32_t name = static_cast<uint32_t>(glxdirectGetInteger(instance, kArrayBindings[i]));
    if (name == 0) return;
    GLvoid *pointer = nullptr;
    gl.glGetPointerv(q.pointer, &pointer);
    int32_t size = q.size ? glxdirectGetInteger(instance, q.size) : q.fixedSize;
    uint32_t type = q.type ? static_cast<uint32_t>(glxdirectGetInteger(instance, q.type)) : kGlUnsignedByte;
    // Colours and normals of integer types are normalized; the others are taken as they are.
    bool normalized = kArrayKinds[i] == 0x8076 || kArrayKinds[i] == 0x845E || kArrayKinds[i] == 0x8075;
    out.push_back(BufferArray{i == 1 ? kFeedsTexture : i, unit, size, type, glxdirectGetInteger(instance, q.stride),
                              normalized, name, reinterpret_cast<uintptr_t>(pointer), {}});
  };
  for (int i = 0; i < 8; i++)
    if (kArrayKinds[i] != kGlTextureCoordArray && glxdirectGetInteger(instance, kArrayKinds[i]) != 0) conventional(i, 0);
  for (uint32_t unit = 0; unit < instance->maxTextureCoords; unit++)
    withClientUnit(c, unit, [&] {
      if (glxdirectGetInteger(instance, kGlTextureCoordArray) != 0) conventional(1, unit);
    });
  for (uint32_t index = 0; index < instance->maxVertexAttribs; index++) {
    auto attribute = [&](uint32_t pname) { return vertexAttribInteger(gl, index, pname); };
    if (!attribute(kGlVertexAttribArrayEnabled)) continue;
    uint32_t name = static_cast<uint32_t>(attribute(kGlVertexAttribArrayBufferBinding));
    if (name == 0) continue;
    GLvoid *pointer = nullptr;
    gl.glGetVertexAttribPointerv(index, kGlVertexAttribArrayPointer, &pointer);
    out.push_back(BufferArray{kFeedsGeneric, index, attribute(kGlVertexAttribArraySize),
                              static_cast<uint32_t>(attribute(kGlVertexAttribArrayType)),
                              attribute(kGlVertexAttribArrayStride), attribute(0x886A) != 0, name,
                              reinterpret_cast<uintptr_t>(pointer), {}});
  }
  return out;
}

// Bytes of one element of the array and the step between elements.
uint64_t elementBytes(const BufferArray &a) {
  uint64_t values = a.size >= 1 && a.size <= 4 ? static_cast<uint64_t>(a.size) : 4;
  return values * (typeBytes(a.type) ? typeBytes(a.type) : 8);
}
uint64_t elementStep(const BufferArray &a) { return a.stride > 0 ? static_cast<uint64_t>(a.stride) : elementBytes(a); }

// Value k of an element as GL takes it (integers normalized when the array says so).
float component(const uint8_t *p, uint32_t type, bool normalized) {
  switch (type) {
    case 0x1400: { int8_t v; std::memcpy(&v, p, 1); return normalized ? (2.0f * v + 1) / 255 : v; }
    case 0x1401: return normalized ? p[0] / 255.0f : p[0];
    case 0x1402: { int16_t v; std::memcpy(&v, p, 2); return normalized ? (2.0f * v + 1) / 65535 : v; }
    case 0x1403: { uint16_t v; std::memcpy(&v, p, 2); return normalized ? v / 65535.0f : v; }
    case 0x1404: { int32_t v; std::memcpy(&v, p, 4); return normalized ? float((2.0 * v + 1) / 4294967295.0) : float(v); }
    case 0x1405: { uint32_t v; std::memcpy(&v, p, 4); return normalized ? float(v / 4294967295.0) : float(v); }
    case 0x1406: return f32At(p);
    case 0x140A: { double v; std::memcpy(&v, p, 8); return float(v); }
    default: return 0;
  }
}

// The records of the commands that give element k of every array, the vertex last.
struct Records {
  std::vector<uint8_t> bytes;
  void add(uint32_t opcode, const void *data, uint32_t size) {
    uint32_t padded = (size + 3) & ~3u;
    uint8_t header[8];
    std::memcpy(header, &opcode, 4);
    std::memcpy(header + 4, &padded, 4);
    bytes.insert(bytes.end(), header, header + 8);
    const uint8_t *d = static_cast<const uint8_t *>(data);
    bytes.insert(bytes.end(), d, d + size);
    bytes.resize(bytes.size() + (padded - size), 0);
  }
};

// Bytes of the records of one element.
uint64_t elementRecordBytes(const std::vector<BufferArray> &arrays) {
  uint64_t bytes = 0;
  for (const BufferArray &a : arrays) {
    switch (a.feeds) {
      case 0: case 3: case 6: bytes += 8 + 4; break;   // edge flag, index, fog coordinate
      case 4: case 7: bytes += 8 + 12; break;          // normal, secondary colour
      case 2: case 5: bytes += 8 + 16; break;          // colour, vertex
      default: bytes += 8 + 20; break;                 // texture unit, generic attribute
    }
  }
  return bytes;
}

void addElement(Records &out, const std::vector<BufferArray> &arrays, uint64_t element, uint64_t lowest) {
  const BufferArray *vertex = nullptr;
  for (const BufferArray &a : arrays) {
    const uint8_t *p = a.bytes.data() + (element - lowest) * elementStep(a);
    float v[4] = {0, 0, 0, 1};
    uint64_t values = a.size >= 1 && a.size <= 4 ? static_cast<uint64_t>(a.size) : 4;
    uint64_t each = typeBytes(a.type) ? typeBytes(a.type) : 8;
    for (uint64_t k = 0; k < values; k++) v[k] = component(p + k * each, a.type, a.normalized);
    if (a.feeds == 5 || (a.feeds == kFeedsGeneric && a.index == 0)) {
      // The vertex comes last; a generic attribute 0 takes the place of the vertex array.
      if (!vertex || a.feeds == kFeedsGeneric) vertex = &a;
      continue;
    }
    switch (a.feeds) {
      case 0: { uint8_t flag[4] = {uint8_t(p[0] != 0), 0, 0, 0}; out.add(22, flag, 4); break; }
      case 2: out.add(16, v, 16); break;
      case 3: out.add(25, v, 4); break;
      case 4: out.add(30, v, 12); break;
      case 6: out.add(4124, v, 4); break;
      case 7: out.add(4129, v, 12); break;
      default: {
        uint8_t data[20];
        uint32_t target = a.feeds == kFeedsTexture ? kGlTexture0 + a.index : a.index;
        std::memcpy(data, &target, 4);
        std::memcpy(data + 4, v, 16);
        out.add(a.feeds == kFeedsTexture ? 211 : 4196, data, 20);
        break;
      }
    }
  }
  if (!vertex) return;
  const uint8_t *p = vertex->bytes.data() + (element - lowest) * elementStep(*vertex);
  float v[4] = {0, 0, 0, 1};
  uint64_t values = vertex->size >= 1 && vertex->size <= 4 ? static_cast<uint64_t>(vertex->size) : 4;
  uint64_t each = typeBytes(vertex->type) ? typeBytes(vertex->type) : 8;
  for (uint64_t k = 0; k < values; k++) v[k] = component(p + k * each, vertex->type, vertex->normalized);
  if (vertex->feeds == 5) {
    out.add(74, v, 16);
  } else {
    uint8_t data[20] = {};
    std::memcpy(data + 4, v, 16);
    out.add(4196, data, 20);
  }
}

// Reads the elements [lowest, highest] of each array out of its buffer: false (dropped) when a
// buffer does not hold them.
bool readArrays(const Command &c, std::vector<BufferArray> &arrays, uint64_t lowest, uint64_t highest) {
  for (BufferArray &a : arrays) {
    uint64_t held = elementsIn(arrayBufferBytes(c, a.name), a.offset, a.size, a.type, a.stride);
    if (highest >= held) {
      c.dropped("more vertices than the buffers of its arrays hold");
      return false;
    }
    uint64_t from = a.offset + lowest * elementStep(a);
    uint64_t bytes = (highest - lowest) * elementStep(a) + elementBytes(a);
    try {
      a.bytes.assign(bytes, 0);
    } catch (const std::exception &) {
      c.error = kBadAlloc;
      c.dropped("no room for the arrays read");
      return false;
    }
    int32_t bound = glxdirectGetInteger(c.instance, kGlArrayBufferBinding);
    c.gl.glBindBuffer(kGlArrayBuffer, a.name);
    c.gl.glGetBufferSubData(kGlArrayBuffer, static_cast<GLintptr>(from), static_cast<GLsizeiptr>(bytes), a.bytes.data());
    c.gl.glBindBuffer(kGlArrayBuffer, static_cast<GLuint>(bound));
  }
  return true;
}

// The indices of a draw from the element buffer (count of the type from offset), or false
// (dropped) when they do not lie in it.
bool readIndices(const Command &c, uint32_t type, int32_t count, uint64_t offset, std::vector<uint32_t> *indices) {
  uint64_t each = typeBytes(type);
  if (each != 1 && each != 2 && each != 4) {
    c.dropped("index type");
    return false;
  }
  if (!bufferBound(c, kGlElementArrayBufferBinding) || !elementsInBuffer(c, type, count, offset)) return false;
  std::vector<uint8_t> raw;
  try {
    raw.assign(each * static_cast<uint64_t>(count), 0);
    indices->resize(static_cast<uint64_t>(count));
  } catch (const std::exception &) {
    c.error = kBadAlloc;
    c.dropped("no room for the indices read");
    return false;
  }
  if (count > 0)
    c.gl.glGetBufferSubData(kGlElementArrayBuffer, static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(raw.size()),
                            raw.data());
  for (int32_t k = 0; k < count; k++) {
    const uint8_t *p = raw.data() + each * static_cast<uint64_t>(k);
    uint16_t shortIndex;
    std::memcpy(&shortIndex, p, 2 <= each ? 2 : 1);
    (*indices)[k] = each == 1 ? p[0] : each == 2 ? shortIndex : u32At(p);
  }
  return true;
}

// Whether the command reads arrays in buffer objects when it draws.
bool readsBufferArrays(const Command &c) {
  switch (c.opcode) {
    case 294: case 295: return true;
    case 300: return c.size >= 16 && c.u(12) == 0;
    case 301: return c.size >= 32 && c.u(28) == 0;
    default: return false;
  }
}

// Records such a command into the list being made as the commands it means now. The X error
// (BadLength short, BadAlloc past the budget), 0 otherwise (a draw dropped records nothing).
uint8_t recordReadArrays(const Command &c) {
  bool inside = c.opcode == 294;
  uint32_t mode = 0, indexType = 0;
  uint64_t first = 0, count = 0, indexOffset = 0;
  int32_t indexCount = -1;  // a draw of indices: how many
  auto raw = [&] { return glxdirectRecordCommand(c.instance, c.opcode, c.data, c.size) ? 0 : kBadAlloc; };
  switch (c.opcode) {
    case 294:
      if (!c.holds(4)) return c.error;
      if (c.i(0) < 0) {
        c.dropped("negative element");
        return 0;
      }
      first = static_cast<uint64_t>(c.i(0)), count = 1;
      break;
    case 300:
      // A negative first or count is the library's error when the list is called.
      if (c.i(4) < 0 || c.i(8) < 0) return raw();
      mode = c.u(0), first = static_cast<uint64_t>(c.i(4)), count = static_cast<uint64_t>(c.i(8));
      break;
    case 295:
      if (!c.holds(20)) return c.error;
      if (c.i(12) < 0) return raw();
      mode = c.u(8), indexCount = c.i(12), indexType = c.u(16), indexOffset = c.u(0);
      break;
    default:
      if (c.i(20) < 0) return raw();
      mode = c.u(8), indexCount = c.i(20), indexType = c.u(24), indexOffset = c.u(0);
      break;
  }
  std::vector<BufferArray> arrays = bufferArrays(c);
  uint64_t elements = indexCount >= 0 ? static_cast<uint64_t>(indexCount) : count;
  uint64_t total = plus(times(elements, elementRecordBytes(arrays)), inside ? 0 : 8 + 4 + 8);
  // Nothing is read or built for a record that the budget does not take.
  if (!glxdirectCharge(total)) {
    c.beyondBudget("display list");
    return kBadAlloc;
  }
  glxdirectRefund(xproxyCurrentClient, total);
  std::vector<uint32_t> indices;
  if (indexCount >= 0) {
    if (!readIndices(c, indexType, indexCount, indexOffset, &indices)) return c.error;
    first = UINT64_MAX;
    uint64_t highest = 0;
    for (uint32_t index : indices) {
      if (index < first) first = index;
      if (index > highest) highest = index;
    }
    count = indices.empty() ? 0 : highest - first + 1;
  }
  if (arrays.empty() || elements == 0) {
    if (inside) return 0;
    arrays.clear();
  } else if (!readArrays(c, arrays, first, first + count - 1)) {
    return c.error;
  }
  Records records;
  try {
    records.bytes.reserve(total);
    if (!inside) records.add(4, &mode, 4);
    if (!arrays.empty()) {
      if (indexCount < 0)
        for (uint64_t k = 0; k < count; k++) addElement(records, arrays, first + k, first);
      else
        for (uint32_t index : indices) addElement(records, arrays, index, first);
    }
    if (!inside) records.add(23, nullptr, 0);
  } catch (const std::exception &) {
    c.beyondBudget("display list");
    return kBadAlloc;
  }
  if (glxdirectRecordFormed(c.instance, records.bytes.data(), records.bytes.size())) return 0;
  c.beyondBudget("display list");
  return kBadAlloc;
}
// A TexImage3D without an image takes it from the pixel-unpack buffer bound: compiled into a
// list, it is recorded with the image read from the buffer then (as the library reads it there,
// tight), counted by its bytes. An image the buffer does not hold, or of no size, is recorded as
// sent (the library's error when the list is called). The X error, 0 for none.
bool readsUnpackBuffer(const Command &c) {
  return c.opcode == 4114 && c.size >= 80 && c.u(76) != 0 &&
         glxdirectGetInteger(c.instance, kGlPixelUnpackBufferBinding) != 0;
}

uint8_t recordUnpackImage(const Command &c) {
  auto raw = [&] { return glxdirectRecordCommand(c.instance, c.opcode, c.data, c.size) ? 0 : kBadAlloc; };
  PixelHeader h;
  if (!readPixelHeader(c, true, &h)) return 0;
  int64_t bytes = glxdirectTightBytes(c.u(68), c.u(72), c.i(48), c.i(52), c.i(56));
  int32_t held = glxdirectBufferSize(c.instance, kGlPixelUnpackBuffer);
  if (bytes <= 0 || held < 0 || bytes > held) return raw();
  uint64_t size = 80 + static_cast<uint64_t>(bytes);
  if (!glxdirectCharge(size + 8)) {
    c.beyondBudget("display list");
    return kBadAlloc;
  }
  glxdirectRefund(xproxyCurrentClient, size + 8);
  std::vector<uint8_t> command;
  try {
    command.assign(c.data, c.data + 80);
    command.resize(size);
  } catch (const std::exception &) {
    c.beyondBudget("display list");
    return kBadAlloc;
  }
  // The header of a tight image (alignment 1, nothing skipped or swapped), the image carried.
  std::memset(command.data(), 0, 36);
  const uint32_t one = 1, none = 0;
  std::memcpy(command.data() + 32, &one, 4);
  std::memcpy(command.data() + 76, &none, 4);
  c.gl.glGetBufferSubData(kGlPixelUnpackBuffer, 0, static_cast<GLsizeiptr>(bytes), command.data() + 80);
  if (glxdirectRecordCommand(c.instance, c.opcode, command.data(), size)) return 0;
  c.beyondBudget("display list");
  return kBadAlloc;
}
// ===== end of arrays read when a draw is compiled =====

// 300 and 301.
void drawCarriedCommand(const Command &c) {
  if (c.opcode == 300) {
    if (!c.holds(16)) return;
    uint32_t mode = c.u(0), arrays = c.u(12);
    int32_t first = c.i(4), count = c.i(8);
    if (arrays != 0) {
      if (count < 0) return c.dropped("negative count");
      const uint8_t *elements = nullptr;
      if (!carriedArrays(c, 16, arrays, static_cast<uint32_t>(count), &elements)) return;
      first = 0;
    }
    uint64_t vertices = static_cast<uint64_t>(first > 0 ? first : 0) + static_cast<uint64_t>(count > 0 ? count : 0);
    drawFromArrays(c, arrays == 0, vertices, [&](uint64_t) {
      if (first < 0 || count < 0) return c.gl.glDrawArrays(mode, first, count);  // the library's error
      drawInPieces(
          c, mode, count, false,
          [&](uint32_t m, int64_t at, int64_t n) {
            c.gl.glDrawArrays(m, static_cast<GLint>(first + at), static_cast<GLsizei>(n));
          },
          consecutiveElements(first));
    });
    return;
  }
  if (!c.holds(32)) return;
  uint64_t value = c.u(0) | static_cast<uint64_t>(c.u(4)) << 32;
  uint32_t mode = c.u(8), start = c.u(12), end = c.u(16), type = c.u(24), arrays = c.u(28);
  int32_t count = c.i(20);
  if (count < 0) return c.dropped("negative count");
  const void *indices = nullptr;
  if (arrays != 0) {
    const uint8_t *elements = nullptr;
    if (!carriedArrays(c, 32, arrays, static_cast<uint32_t>(count), &elements)) return;
    if (arrays > 1 || !elements) {
      drawFromArrays(c, false, static_cast<uint64_t>(count), [&](uint64_t) {
        drawInPieces(
            c, mode, count, false,
            [&](uint32_t m, int64_t at, int64_t n) {
              c.gl.glDrawArrays(m, static_cast<GLint>(at), static_cast<GLsizei>(n));
            },
            consecutiveElements(0));
      });
      callDummy(c.gl.glDummyFunc5, 0);
      return;
    }
    // The indices are what the element array carries: count of them, each below the count of
    // vertices the arrays were set up for, which is also the range the library is told.
    uint64_t element = typeBytes(type);
    if (element == 0 || element > 4) return c.dropped("index type");
    if (!c.holds(static_cast<uint64_t>(elements - c.data) + element * static_cast<uint64_t>(count))) return;
    for (int32_t n = 0; n < count; n++)
      if (indexAt(elements, element, uint64_t(n)) >= static_cast<uint32_t>(count))
        return c.dropped("index beyond the vertices");
    indices = elements;
    start = 0;
    end = count > 0 ? static_cast<uint32_t>(count - 1) : 0;
  } else {
    if (!bufferBound(c, kGlElementArrayBufferBinding)) return;
    if (!elementsInBuffer(c, type, count, static_cast<uint32_t>(value))) return;
    indices = reinterpret_cast<const void *>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
  }
  const uint8_t *carried = arrays != 0 ? static_cast<const uint8_t *>(indices) : nullptr;
  drawFromArrays(c, false, 0, [&](uint64_t room) {
    auto piece = [&](uint32_t m, int64_t at, int64_t n) {
      c.gl.glDrawRangeElements(m, start, end, static_cast<GLsizei>(n), type,
                               static_cast<const uint8_t *>(indices) + at * int64_t(typeBytes(type)));
    };
    if (!carried) return drawInPieces(c, mode, count, true, piece, bufferElements(c, type, uint32_t(value), room));
    drawInPieces(c, mode, count, true, piece, [&](int64_t from, int64_t n, std::vector<uint32_t> &out) {
      for (int64_t k = 0; k < n; k++) out.push_back(indexAt(carried, typeBytes(type), uint64_t(from + k)));
      return true;
    });
  });
  callDummy(c.gl.glDummyFunc5, 0);
}


// Vectors of fixed length: the opcode, the entry point, the value type and the count.
#define VEC(op, fn, T, n)                        \
  case op:                                       \
    if (c.holds(sizeof(T) * (n))) {              \
      Values<T, n> values(c, 0);                 \
      gl.fn(values.v);                           \
    }                                            \
    return;
// The same after a leading 32-bit field (a target or an index).
#define VEC1(op, fn, T, n)                       \
  case op:                                       \
    if (c.holds(4 + sizeof(T) * (n))) {          \
      Values<T, n> values(c, 4);                 \
      gl.fn(c.u(0), values.v);                   \
    }                                            \
    return;
// The same with the 32-bit field after the values (the multi-texture doubles).
#define VECD1(op, fn, n)                          \
  case op:                                        \
    if (c.holds(8 * (n) + 4)) {                   \
      Values<GLdouble, n> values(c, 0);           \
      gl.fn(c.u(8 * (n)), values.v);              \
    }                                             \
    return;
// Two fixed vectors of n values (the rectangles).
#define RECT(op, fn, T)                             \
  case op:                                          \
    if (c.holds(sizeof(T) * 4)) {                   \
      Values<T, 4> values(c, 0);                    \
      libraryDraw(c, [&] { gl.fn(values.v, values.v + 2); }); \
    }                                               \
    return;
// Vectors whose length depends on the pname, after the pname (PVEC0) or a target and the pname
// (PVEC1): handed over as a zero-filled 16-value copy.
#define PVEC0(op, fn, T)                          \
  case op:                                        \
    if (c.holds(4)) {                             \
      PnameValues<T> values(c, 4);                \
      gl.fn(c.u(0), values.v);                    \
    }                                             \
    return;
#define PVEC1(op, fn, T)                          \
  case op:                                        \
    if (c.holds(8)) {                             \
      PnameValues<T> values(c, 8);                \
      gl.fn(c.u(0), c.u(4), values.v);            \
    }                                             \
    return;
// Calls of 32-bit fields: u = unsigned/enum, i = signed, f = float.
#define CALL0(op, fn) \
  case op:            \
    gl.fn();          \
    return;
#define CALL(op, fn, bytes, ...) \
  case op:                       \
    if (c.holds(bytes)) gl.fn(__VA_ARGS__); \
    return;

}  // namespace

uint64_t glxdirectTakeU64(const uint8_t **cursor) {
  uint64_t low = u32At(*cursor), high = u32At(*cursor + 4);
  *cursor += 8;
  return low | high << 32;
}

double glxdirectTakeDouble(const uint8_t **cursor) {
  double v;
  std::memcpy(&v, *cursor, 8);
  *cursor += 8;
  return v;
}

namespace {
int unpackByte(const uint8_t **cursor, GlxLibraryInstance *instance, uint32_t pname) {
  instance->functions.glPixelStorei(pname, **cursor);
  *cursor += 1;
  return 0;
}
int unpackWord(const uint8_t **cursor, GlxLibraryInstance *instance, uint32_t pname) {
  instance->functions.glPixelStorei(pname, i32At(*cursor));
  *cursor += 4;
  return 0;
}
}  // namespace

int glxdirectUnpackSwapBytes(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackByte(cursor, instance, kGlUnpackSwapBytes);
}
int glxdirectUnpackLsbFirst(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackByte(cursor, instance, kGlUnpackLsbFirst);
}
int glxdirectUnpackRowLength(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackWord(cursor, instance, kGlUnpackRowLength);
}
int glxdirectUnpackSkipRows(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackWord(cursor, instance, kGlUnpackSkipRows);
}
int glxdirectUnpackSkipPixels(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackWord(cursor, instance, kGlUnpackSkipPixels);
}
int glxdirectUnpackAlignment(const uint8_t **cursor, GlxLibraryInstance *instance) {
  return unpackWord(cursor, instance, kGlUnpackAlignment);
}

int64_t glxdirectImageSize(uint32_t format, uint32_t type, uint32_t target, int32_t width, int32_t height,
                           int32_t depth, int32_t imageHeight, int32_t rowLength, int32_t skipImages,
                           int32_t skipRows, int32_t alignment, int32_t skipPixels) {
  if (width < 0 || height < 0 || depth < 0 || (type == kGlBitmap && format != 0x1900 && format != 0x1901)) {
    logProblem("UNE", __FILE__, __LINE__);
    return 0;
  }
  if (width == 0 || height == 0 || depth == 0) return 0;
  static constexpr uint32_t kProxies[] = {0x8025, 0x8063, 0x8064, 0x8070, 0x80BD, 0x80D3,
                                          0x80D4, 0x80D5, 0x8135, 0x8163, 0x84F7, 0x851B};
  for (uint32_t proxy : kProxies)
    if (proxy == target) return 0;
  if (alignment < 1) return 0;
  // Negative skips and row lengths count as 0 here; the render commands refuse them earlier. The
  // library reads whole rows of width pixels and images of height rows: a row length or image
  // height below them only makes rows or images overlap, never shorter.
  int64_t skipRowCount = skipRows > 0 ? skipRows : 0;
  int64_t skipImageCount = skipImages > 0 ? skipImages : 0;
  int64_t skipPixelCount = skipPixels > 0 ? skipPixels : 0;
  int64_t pixelsPerRow = rowLength > width ? rowLength : width;
  int64_t rows = imageHeight > height ? imageHeight : height;
  auto raise = [alignment](int64_t bytes) { return (bytes + alignment - 1) / alignment * alignment; };
  // Each factor fits in 36 bits; their product may not: it saturates at the largest value,
  // which no command holds. Skipped images and rows count whole, skipped pixels (bits of a
  // bitmap) reach into the last row read.
  auto size = [&](int64_t rowBytes, int64_t skipBytes) {
    __int128 p = static_cast<__int128>(depth + skipImageCount) * (rows + skipRowCount) * rowBytes + skipBytes;
    return p > INT64_MAX ? INT64_MAX : static_cast<int64_t>(p);
  };
  if (type == kGlBitmap) return size(raise((pixelsPerRow + 7) / 8), (skipPixelCount + 7) / 8);
  int64_t components;
  switch (format) {
    // The integer formats (red, green, blue, alpha, luminance ...) count as their plain forms.
    case 0x1900: case 0x1901: case 0x1902: case 0x1903: case 0x1904: case 0x1905: case 0x1906:
    case 0x1909: case 0x8049: case 0x8D94: case 0x8D95: case 0x8D96: case 0x8D97: case 0x8D9C:
      components = 1;
      break;
    case 0x190A: case 0x80CC: case 0x80CD: case 0x80CE: case 0x80CF: case 0x84F9: case 0x8757:
    case 0x8227: case 0x8228: case 0x8D9D:
      components = 2;
      break;
    case 0x1907: case 0x80E0: case 0x8D98: case 0x8D9A:
      components = 3;
      break;
    case 0x1908: case 0x80E1: case 0x8000: case 0x8D99: case 0x8D9B:
      components = 4;
      break;
    default:
      logProblem("UNE", __FILE__, __LINE__);
      return 0;
  }
  int64_t element;
  switch (type) {
    case 0x1400: case 0x1401:
      element = 1;
      break;
    case 0x1402: case 0x1403: case 0x140B:  // GL_HALF_FLOAT among them
      element = 2;
      break;
    case 0x1404: case 0x1405: case 0x1406:
      element = 4;
      break;
    case 0x8032: case 0x8362:
      element = 1, components = 1;
      break;
    case 0x8033: case 0x8034: case 0x8363: case 0x8364: case 0x8365: case 0x8366: case 0x85BA: case 0x85BB:
      element = 2, components = 1;
      break;
    case 0x8035: case 0x8036: case 0x8367: case 0x8368: case 0x84FA: case 0x8C3B: case 0x8C3E:
      element = 4, components = 1;
      break;
    default:
      logProblem("UNE", __FILE__, __LINE__);
      return 0;
  }
  return size(raise(pixelsPerRow * element * components), skipPixelCount * element * components);
}

namespace {
void executeCommand(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  uint32_t opcode = c.opcode;
  GlFunctionTable &gl = c.gl;
  // The attribute of a single vertex-attribute command must be one of the library's (the NV
  // forms are not checked by every library).
  bool attribute = (opcode >= 4189 && opcode <= 4201) || (opcode >= 4230 && opcode <= 4239) ||
                   (opcode >= 4265 && opcode <= 4277);
  if (attribute && instance->limitsAsked && c.size >= 4 && c.u(0) >= instance->maxVertexAttribs)
    return invalidAttribute(c);
  switch (opcode) {
    case 1:
      if (c.holds(4)) callList(c, c.u(0));
      return;
    case 2:
      return callListsCommand(c);
    case 3:
      if (!c.holds(4)) return;
      if (GlxDirectContext *node = glxdirectCurrentNode(instance)) node->listBase = c.u(0);
      return;
    case 4:
      if (!c.holds(4)) return;
      // Inside glBegin/glEnd nothing about the arrays can be asked: an ArrayElement there is
      // served only when, at the glBegin, every enabled array was in a buffer object (and a
      // valid mode makes the library take the glBegin).
      if (!instance->insideBegin) {
        instance->beginArrayRoom = c.u(0) <= kGlLastPrimitive ? arrayRoomForBegin(c) : 0;
        beginAsked(c, c.u(0));
      }
      gl.glBegin(c.u(0));
      if (instance->insideBegin)
        LOG(logChannelXhint, "Lumora: glBegin without previous glEnd by %s", clientName());
      // (A glBegin inside another is the library's error: the first one goes on, unknown.)
      instance->beginUnsure = instance->insideBegin;
      instance->beginMode = c.u(0);
      instance->beginVertices = 0;
      instance->insideBegin = 1;
      return;
    case 5: {
      if (!c.holds(44)) return;
      const void *image = nullptr;
      if (!pixelCommand(c, false, false, 44, kGlColorIndex, kGlBitmap, 0, c.i(20), c.i(24), 1, &image)) return;
      libraryDraw(c, [&] {
        gl.glBitmap(c.i(20), c.i(24), c.f(28), c.f(32), c.f(36), c.f(40), static_cast<const GLubyte *>(image));
      });
      return;
    }
    VEC(6, glColor3bv, GLbyte, 3)
    VEC(7, glColor3dv, GLdouble, 3)
    CALL(8, glColor3f, 12, c.f(0), c.f(4), c.f(8))
    VEC(9, glColor3iv, GLint, 3)
    VEC(10, glColor3sv, GLshort, 3)
    VEC(11, glColor3ubv, GLubyte, 3)
    VEC(12, glColor3uiv, GLuint, 3)
    VEC(13, glColor3usv, GLushort, 3)
    VEC(14, glColor4bv, GLbyte, 4)
    VEC(15, glColor4dv, GLdouble, 4)
    VEC(16, glColor4fv, GLfloat, 4)
    VEC(17, glColor4iv, GLint, 4)
    VEC(18, glColor4sv, GLshort, 4)
    VEC(19, glColor4ubv, GLubyte, 4)
    VEC(20, glColor4uiv, GLuint, 4)
    VEC(21, glColor4usv, GLushort, 4)
    VEC(22, glEdgeFlagv, GLboolean, 1)
    case 23:
      if (!instance->insideBegin)
        LOG(logChannelXhint, "Lumora: glEnd without previous glBegin by %s", clientName());
      instance->insideBegin = 0;
      libraryDraw(c, [&] { gl.glEnd(); });
      return;
    VEC(24, glIndexdv, GLdouble, 1)
    VEC(25, glIndexfv, GLfloat, 1)
    VEC(26, glIndexiv, GLint, 1)
    VEC(27, glIndexsv, GLshort, 1)
    VEC(28, glNormal3bv, GLbyte, 3)
    VEC(29, glNormal3dv, GLdouble, 3)
    VEC(30, glNormal3fv, GLfloat, 3)
    VEC(31, glNormal3iv, GLint, 3)
    VEC(32, glNormal3sv, GLshort, 3)
    VEC(33, glRasterPos2dv, GLdouble, 2)
    VEC(34, glRasterPos2fv, GLfloat, 2)
    VEC(35, glRasterPos2iv, GLint, 2)
    VEC(36, glRasterPos2sv, GLshort, 2)
    VEC(37, glRasterPos3dv, GLdouble, 3)
    VEC(38, glRasterPos3fv, GLfloat, 3)
    VEC(39, glRasterPos3iv, GLint, 3)
    VEC(40, glRasterPos3sv, GLshort, 3)
    VEC(41, glRasterPos4dv, GLdouble, 4)
    VEC(42, glRasterPos4fv, GLfloat, 4)
    VEC(43, glRasterPos4iv, GLint, 4)
    VEC(44, glRasterPos4sv, GLshort, 4)
    RECT(45, glRectdv, GLdouble)
    RECT(46, glRectfv, GLfloat)
    CALL(47, glRecti, 16, c.i(0), c.i(4), c.i(8), c.i(12))
    RECT(48, glRectsv, GLshort)
    VEC(49, glTexCoord1dv, GLdouble, 1)
    VEC(50, glTexCoord1fv, GLfloat, 1)
    VEC(51, glTexCoord1iv, GLint, 1)
    VEC(52, glTexCoord1sv, GLshort, 1)
    CALL(53, glTexCoord2d, 16, c.d(0), c.d(8))
    VEC(54, glTexCoord2fv, GLfloat, 2)
    VEC(55, glTexCoord2iv, GLint, 2)
    VEC(56, glTexCoord2sv, GLshort, 2)
    VEC(57, glTexCoord3dv, GLdouble, 3)
    VEC(58, glTexCoord3fv, GLfloat, 3)
    VEC(59, glTexCoord3iv, GLint, 3)
    VEC(60, glTexCoord3sv, GLshort, 3)
    VEC(61, glTexCoord4dv, GLdouble, 4)
    VEC(62, glTexCoord4fv, GLfloat, 4)
    VEC(63, glTexCoord4iv, GLint, 4)
    VEC(64, glTexCoord4sv, GLshort, 4)
    CALL(65, glVertex2d, 16, c.d(0), c.d(8))
    CALL(66, glVertex2f, 8, c.f(0), c.f(4))
    CALL(67, glVertex2i, 8, c.i(0), c.i(4))
    case 68:
      if (c.holds(4)) {
        Values<GLshort, 2> v(c, 0);
        gl.glVertex2s(v.v[0], v.v[1]);
      }
      return;
    CALL(69, glVertex3d, 24, c.d(0), c.d(8), c.d(16))
    CALL(70, glVertex3f, 12, c.f(0), c.f(4), c.f(8))
    VEC(71, glVertex3iv, GLint, 3)
    VEC(72, glVertex3sv, GLshort, 3)
    VEC(73, glVertex4dv, GLdouble, 4)
    VEC(74, glVertex4fv, GLfloat, 4)
    VEC(75, glVertex4iv, GLint, 4)
    VEC(76, glVertex4sv, GLshort, 4)
    case 77:
      if (c.holds(36)) {
        Values<GLdouble, 4> equation(c, 0);
        gl.glClipPlane(c.u(32), equation.v);
      }
      return;
    CALL(78, glColorMaterial, 8, c.u(0), c.u(4))
    CALL(79, glCullFace, 4, c.u(0))
    CALL(80, glFogf, 8, c.u(0), c.f(4))
    PVEC0(81, glFogfv, GLfloat)
    CALL(82, glFogi, 8, c.u(0), c.i(4))
    PVEC0(83, glFogiv, GLint)
    CALL(84, glFrontFace, 4, c.u(0))
    CALL(85, glHint, 8, c.u(0), c.u(4))
    CALL(86, glLightf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(87, glLightfv, GLfloat)
    CALL(88, glLighti, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(89, glLightiv, GLint)
    CALL(90, glLightModelf, 8, c.u(0), c.f(4))
    PVEC0(91, glLightModelfv, GLfloat)
    CALL(92, glLightModeli, 8, c.u(0), c.i(4))
    PVEC0(93, glLightModeliv, GLint)
    case 94:
      if (c.holds(6)) {
        Values<GLushort, 1> pattern(c, 4);
        gl.glLineStipple(c.i(0), pattern.v[0]);
      }
      return;
    CALL(95, glLineWidth, 4, c.f(0))
    CALL(96, glMaterialf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(97, glMaterialfv, GLfloat)
    CALL(98, glMateriali, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(99, glMaterialiv, GLint)
    CALL(100, glPointSize, 4, c.f(0))
    CALL(101, glPolygonMode, 8, c.u(0), c.u(4))
    case 102: {
      if (!c.holds(20)) return;
      const void *image = nullptr;
      if (!pixelCommand(c, false, false, 20, kGlColorIndex, kGlBitmap, 0, 32, 32, 1, &image)) return;
      gl.glPolygonStipple(static_cast<const GLubyte *>(image));
      return;
    }
    CALL(103, glScissor, 16, c.i(0), c.i(4), c.i(8), c.i(12))
    CALL(104, glShadeModel, 4, c.u(0))
    CALL(105, glTexParameterf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(106, glTexParameterfv, GLfloat)
    CALL(107, glTexParameteri, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(108, glTexParameteriv, GLint)
    case 109:
    case 110: {
      if (!c.holds(52)) return;
      uint32_t target = c.u(20), format = c.u(44), type = c.u(48);
      int32_t width = c.i(32), height = opcode == 110 ? c.i(36) : 1;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 52, format, type, target, width, height, 1, &image)) return;
      if (!levelStorage(c, target, c.i(24), c.u(28), &width, height, 1)) return;
      if (opcode == 109)
        gl.glTexImage1D(target, c.i(24), c.i(28), width, c.i(40), format, type, image);
      else
        gl.glTexImage2D(target, c.i(24), c.i(28), width, height, c.i(40), format, type, image);
      return;
    }
    CALL(111, glTexEnvf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(112, glTexEnvfv, GLfloat)
    CALL(113, glTexEnvi, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(114, glTexEnviv, GLint)
    CALL(115, glTexGend, 16, c.u(8), c.u(12), c.d(0))
    PVEC1(116, glTexGendv, GLdouble)
    CALL(117, glTexGenf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(118, glTexGenfv, GLfloat)
    CALL(119, glTexGeni, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(120, glTexGeniv, GLint)
    CALL0(121, glInitNames)
    CALL(122, glLoadName, 4, c.u(0))
    CALL(123, glPassThrough, 4, c.f(0))
    CALL0(124, glPopName)
    CALL(125, glPushName, 4, c.u(0))
    CALL(126, glDrawBuffer, 4, c.u(0))
    CALL(127, glClear, 4, c.u(0))
    CALL(128, glClearAccum, 16, c.f(0), c.f(4), c.f(8), c.f(12))
    CALL(129, glClearIndex, 4, c.f(0))
    CALL(130, glClearColor, 16, c.f(0), c.f(4), c.f(8), c.f(12))
    CALL(131, glClearStencil, 4, c.i(0))
    CALL(132, glClearDepth, 8, c.d(0))
    CALL(133, glStencilMask, 4, c.u(0))
    CALL(134, glColorMask, 4, c.at(0)[0], c.at(1)[0], c.at(2)[0], c.at(3)[0])
    CALL(135, glDepthMask, 1, c.at(0)[0])
    CALL(136, glIndexMask, 4, c.u(0))
    CALL(137, glAccum, 8, c.u(0), c.f(4))
    CALL(138, glDisable, 4, c.u(0))
    CALL(139, glEnable, 4, c.u(0))
    case 141:
      return attributeStack(c, false);
    case 142:
      if (c.holds(4)) attributeStack(c, true);
      return;
    case 143:
    case 144:
    case 145:
    case 146:
      return mapCommand(c);
    CALL(147, glMapGrid1d, 20, c.i(16), c.d(0), c.d(8))
    CALL(148, glMapGrid1f, 12, c.i(0), c.f(4), c.f(8))
    CALL(149, glMapGrid2d, 40, c.i(32), c.d(0), c.d(8), c.i(36), c.d(16), c.d(24))
    CALL(150, glMapGrid2f, 24, c.i(0), c.f(4), c.f(8), c.i(12), c.f(16), c.f(20))
    CALL(151, glEvalCoord1d, 8, c.d(0))
    CALL(152, glEvalCoord1f, 4, c.f(0))
    CALL(153, glEvalCoord2d, 16, c.d(0), c.d(8))
    CALL(154, glEvalCoord2f, 8, c.f(0), c.f(4))
    case 155:
      if (!c.holds(12)) return;
      return meshInPieces(c, c.u(0), c.i(4), c.i(8), 0, 0, false);
    CALL(156, glEvalPoint1, 4, c.i(0))
    case 157:
      if (!c.holds(20)) return;
      return meshInPieces(c, c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), true);
    CALL(158, glEvalPoint2, 8, c.i(0), c.i(4))
    CALL(159, glAlphaFunc, 8, c.u(0), c.f(4))
    CALL(160, glBlendFunc, 8, c.u(0), c.u(4))
    CALL(161, glLogicOp, 4, c.u(0))
    CALL(162, glStencilFunc, 12, c.u(0), c.i(4), c.u(8))
    CALL(163, glStencilOp, 12, c.u(0), c.u(4), c.u(8))
    CALL(164, glDepthFunc, 4, c.u(0))
    CALL(165, glPixelZoom, 8, c.f(0), c.f(4))
    CALL(166, glPixelTransferf, 8, c.u(0), c.f(4))
    CALL(167, glPixelTransferi, 8, c.u(0), c.i(4))
    case 168:
    case 169:
    case 170: {
      if (!c.holds(8)) return;
      int32_t n = c.i(4);
      if (!holdsCounted(c, 8, n, opcode == 170 ? 2 : 4)) return;
      if (opcode == 168) gl.glPixelMapfv(c.u(0), n, reinterpret_cast<const GLfloat *>(c.at(8)));
      if (opcode == 169) gl.glPixelMapuiv(c.u(0), n, reinterpret_cast<const GLuint *>(c.at(8)));
      if (opcode == 170) gl.glPixelMapusv(c.u(0), n, reinterpret_cast<const GLushort *>(c.at(8)));
      return;
    }
    CALL(171, glReadBuffer, 4, c.u(0))
    case 172:
      if (c.holds(20)) libraryDraw(c, [&] { gl.glCopyPixels(c.i(0), c.i(4), c.i(8), c.i(12), c.u(16)); });
      return;
    case 173: {
      if (!c.holds(36)) return;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 36, c.u(28), c.u(32), 0, c.i(20), c.i(24), 1, &image)) return;
      // Mesa (its software rasteriser at least) reads beyond a buffer of its own for colour
      // indices of more than 32 pixels a row and more than one row, even tight ones (as bytes or
      // bits; the other types and every narrower or one-row image it reads right): refused here.
      if (c.u(28) == kGlColorIndex && c.i(20) > 32 && c.i(24) > 1)
        return c.dropped("colour indices more than 32 wide, which the library misreads");
      libraryDraw(c, [&] { gl.glDrawPixels(c.i(20), c.i(24), c.u(28), c.u(32), image); });
      return;
    }
    CALL(174, glDepthRange, 16, c.d(0), c.d(8))
    CALL(175, glFrustum, 48, c.d(0), c.d(8), c.d(16), c.d(24), c.d(32), c.d(40))
    CALL0(176, glLoadIdentity)
    VEC(177, glLoadMatrixf, GLfloat, 16)
    VEC(178, glLoadMatrixd, GLdouble, 16)
    CALL(179, glMatrixMode, 4, c.u(0))
    VEC(180, glMultMatrixf, GLfloat, 16)
    VEC(181, glMultMatrixd, GLdouble, 16)
    CALL(182, glOrtho, 48, c.d(0), c.d(8), c.d(16), c.d(24), c.d(32), c.d(40))
    CALL0(183, glPopMatrix)
    CALL0(184, glPushMatrix)
    CALL(185, glRotated, 32, c.d(0), c.d(8), c.d(16), c.d(24))
    CALL(186, glRotatef, 16, c.f(0), c.f(4), c.f(8), c.f(12))
    CALL(187, glScaled, 24, c.d(0), c.d(8), c.d(16))
    CALL(188, glScalef, 12, c.f(0), c.f(4), c.f(8))
    CALL(189, glTranslated, 24, c.d(0), c.d(8), c.d(16))
    CALL(190, glTranslatef, 12, c.f(0), c.f(4), c.f(8))
    CALL(191, glViewport, 16, c.i(0), c.i(4), c.i(8), c.i(12))
    CALL(192, glPolygonOffset, 8, c.f(0), c.f(4))
    case 193:
      return drawArraysCommand(c);
    VEC(194, glIndexubv, GLubyte, 1)
    case 195: {
      if (!c.holds(40)) return;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 40, c.u(32), c.u(36), c.u(20), c.i(28), 1, 1, &image)) return;
      gl.glColorSubTable(c.u(20), c.i(24), c.i(28), c.u(32), c.u(36), image);
      return;
    }
    CALL(196, glCopyColorSubTable, 20, c.u(0), c.i(4), c.i(8), c.i(12), c.i(16))
    CALL(197, glActiveTexture, 4, c.u(0))
    VECD1(198, glMultiTexCoord1dv, 1)
    VEC1(199, glMultiTexCoord1fv, GLfloat, 1)
    VEC1(200, glMultiTexCoord1iv, GLint, 1)
    VEC1(201, glMultiTexCoord1sv, GLshort, 1)
    VECD1(202, glMultiTexCoord2dv, 2)
    VEC1(203, glMultiTexCoord2fv, GLfloat, 2)
    VEC1(204, glMultiTexCoord2iv, GLint, 2)
    VEC1(205, glMultiTexCoord2sv, GLshort, 2)
    VECD1(206, glMultiTexCoord3dv, 3)
    VEC1(207, glMultiTexCoord3fv, GLfloat, 3)
    VEC1(208, glMultiTexCoord3iv, GLint, 3)
    VEC1(209, glMultiTexCoord3sv, GLshort, 3)
    VECD1(210, glMultiTexCoord4dv, 4)
    VEC1(211, glMultiTexCoord4fv, GLfloat, 4)
    VEC1(212, glMultiTexCoord4iv, GLint, 4)
    VEC1(213, glMultiTexCoord4sv, GLshort, 4)
    case 214:
    case 215:
    case 216:
    case 217:
    case 218:
    case 219: {
      // The image size is the last fixed field.
      static constexpr uint64_t kFixed[] = {28, 28, 32, 32, 32, 40};
      uint64_t fixed = kFixed[opcode - 214];
      if (!c.holds(fixed)) return;
      int32_t bytes = c.i(fixed - 4);
      if (!holdsCounted(c, fixed, bytes, 1)) return;
      const void *image = c.at(fixed);
      // No pixel header comes with these: a row length or skips left by an earlier command or
      // set by the client would let the library read beyond the image's bytes (with compressed
      // block sizes set); the image is read as sent.
      for (uint32_t pname : {kGlUnpackRowLength, kGlUnpackSkipRows, kGlUnpackSkipPixels, kGlUnpackImageHeight,
                             kGlUnpackSkipImages})
        gl.glPixelStorei(pname, 0);
      int32_t width = c.i(12);
      if (opcode <= 216 && !levelStorage(c, c.u(0), c.i(4), c.u(8), &width, opcode >= 215 ? c.i(16) : 1,
                                         opcode == 216 ? c.i(20) : 1))
        return;
      if (opcode == 214) gl.glCompressedTexImage1DARB(c.u(0), c.i(4), c.u(8), width, c.i(16), bytes, image);
      if (opcode == 215)
        gl.glCompressedTexImage2DARB(c.u(0), c.i(4), c.u(8), width, c.i(16), c.i(20), bytes, image);
      if (opcode == 216)
        gl.glCompressedTexImage3DARB(c.u(0), c.i(4), c.u(8), width, c.i(16), c.i(20), c.i(24), bytes, image);
      if (opcode == 217) gl.glCompressedTexSubImage1DARB(c.u(0), c.i(4), c.i(8), c.i(16), c.u(24), bytes, image);
      if (opcode == 218)
        gl.glCompressedTexSubImage2DARB(c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20), c.u(24), bytes, image);
      if (opcode == 219)
        gl.glCompressedTexSubImage3DARB(c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20), c.i(24), c.i(28),
                                        c.u(32), bytes, image);
      return;
    }
    CALL(229, glSampleCoverage, 5, c.f(0), c.at(4)[0])
    VEC(230, glWindowPos3fv, GLfloat, 3)
    case 231:
      if (c.holds(8) && boundName(c, kGlxDirectQueryNames, c.u(4))) gl.glBeginQuery(c.u(0), c.u(4));
      return;
    CALL(232, glEndQuery, 4, c.u(0))
    case 233: {
      if (!c.holds(4)) return;
      int32_t n = c.i(0);
      if (holdsCounted(c, 4, n, 4)) gl.glDrawBuffers(n, reinterpret_cast<const GLenum *>(c.at(4)));
      return;
    }
    case 236:
      if (c.holds(8) && boundName(c, kGlxDirectFramebufferNames, c.u(4))) gl.glBindFramebuffer(c.u(0), c.u(4));
      return;
    CALL(237, glFramebufferTextureLayerARB, 20, c.u(0), c.u(4), c.u(8), c.i(12), c.i(16))
    CALL(238, glDeleteObjectARB, 4, programId(c, c.u(0)))
    CALL(239, glDetachObjectARB, 8, programId(c, c.u(0)), shaderId(c, c.u(4)))
    case 240:
      if (!c.holds(4)) return;
      if (const char *why = glxdirectCompileShader(c.instance, shaderId(c, c.u(0)))) stopWork(c, why);
      return;
    case 241: {
      if (!c.holds(8)) return;
      uint32_t program = programId(c, c.u(0)), shader = shaderId(c, c.u(4));
      gl.glAttachShader(program, shader);
      uint32_t slot = instance->currentTagSlot;
      glxAttachShaderEntry(slot < kGlxDirectTagSlots ? instance->tagSlots[slot].proxyTag : 0, program, shader);
      return;
    }
    case 242:
      if (!c.holds(4)) return;
      if (const char *why = glxdirectLinkProgram(c.instance, programId(c, c.u(0)))) stopWork(c, why);
      return;
    case 243:
      if (!c.holds(4)) return;
      gl.glUseProgram(programId(c, c.u(0)));
      glxdirectProgramChanged(instance, 0);
      return;
    CALL(244, glValidateProgram, 4, programId(c, c.u(0)))
    CALL(245, glUniform1f, 8, c.i(0), c.f(4))
    CALL(246, glUniform2f, 12, c.i(0), c.f(4), c.f(8))
    CALL(247, glUniform3f, 16, c.i(0), c.f(4), c.f(8), c.f(12))
    CALL(248, glUniform4f, 20, c.i(0), c.f(4), c.f(8), c.f(12), c.f(16))
    CALL(249, glUniform1i, 8, c.i(0), c.i(4))
    CALL(250, glUniform2i, 12, c.i(0), c.i(4), c.i(8))
    CALL(251, glUniform3i, 16, c.i(0), c.i(4), c.i(8), c.i(12))
    CALL(252, glUniform4i, 20, c.i(0), c.i(4), c.i(8), c.i(12), c.i(16))
    case 253:
      return shaderSourceCommand(c);
    case 254: case 255: case 256: case 257: case 258: case 259: case 260: case 261: {
      if (!c.holds(8)) return;
      int32_t n = c.i(4);
      uint32_t per = (opcode - 254) % 4 + 1;
      if (!holdsCounted(c, 8, n, 4ull * per)) return;
      const GLfloat *fv = reinterpret_cast<const GLfloat *>(c.at(8));
      const GLint *iv = reinterpret_cast<const GLint *>(c.at(8));
      switch (opcode) {
        case 254: gl.glUniform1fv(c.i(0), n, fv); break;
        case 255: gl.glUniform2fv(c.i(0), n, fv); break;
        case 256: gl.glUniform3fv(c.i(0), n, fv); break;
        case 257: gl.glUniform4fv(c.i(0), n, fv); break;
        case 258: gl.glUniform1iv(c.i(0), n, iv); break;
        case 259: gl.glUniform2iv(c.i(0), n, iv); break;
        case 260: gl.glUniform3iv(c.i(0), n, iv); break;
        default: gl.glUniform4iv(c.i(0), n, iv); break;
      }
      return;
    }
    case 262:
    case 263:
    case 264: {
      if (!c.holds(12)) return;
      int32_t n = c.i(4);
      uint64_t per = opcode == 262 ? 4 : opcode == 263 ? 9 : 16;
      if (!holdsCounted(c, 12, n, 4 * per)) return;
      const GLfloat *v = reinterpret_cast<const GLfloat *>(c.at(12));
      GLboolean transpose = c.at(8)[0];
      if (opcode == 262) gl.glUniformMatrix2fv(c.i(0), n, transpose, v);
      if (opcode == 263) gl.glUniformMatrix3fv(c.i(0), n, transpose, v);
      if (opcode == 264) gl.glUniformMatrix4fv(c.i(0), n, transpose, v);
      return;
    }
    case 265: {
      if (!c.holds(9)) return;  // at least the NUL of an empty name
      const void *nul = std::memchr(c.at(8), 0, c.size - 8);
      if (!nul) return c.dropped("name without its NUL");
      gl.glBindAttribLocation(programId(c, c.u(0)), c.u(4), reinterpret_cast<const GLchar *>(c.at(8)));
      return;
    }
    CALL(266, glProgramParameteriARB, 12, programId(c, c.u(0)), c.u(4), c.i(8))
    CALL(267, glFramebufferTextureARB, 16, c.u(0), c.u(4), c.u(8), c.i(12))
    CALL(268, glFramebufferTextureFaceARB, 20, c.u(0), c.u(4), c.u(8), c.i(12), c.u(16))
    default:
      break;
  }
  // Commands that change the arrays: an ArrayElement after them inside glBegin/glEnd cannot be
  // checked (nor can the library take them there; a glBegin it refused would let them work).
  if (instance->insideBegin && (opcode == 193 || (opcode >= 290 && opcode <= 293) || opcode == 297 ||
                                opcode == 300 || opcode == 301))
    instance->beginArrayRoom = 0;
  switch (opcode) {
    case 290:
      if (c.holds(8) && boundName(c, kGlxDirectBufferNames, c.u(4))) gl.glBindBuffer(c.u(0), c.u(4));
      return;
    case 291:
      return arrayPointerCommand(c);
    case 292:
    case 293:
      return enableArrayCommand(c, opcode == 292);
    case 294: {
      // The library reads the element of every enabled array unchecked: it must lie in them.
      if (!c.holds(4)) return;
      int32_t element = c.i(0);
      if (element < 0) return c.dropped("negative element");
      uint64_t reach = static_cast<uint64_t>(element) + 1;
      if (!instance->insideBegin)
        return drawFromArrays(c, true, reach, [&](uint64_t) { gl.glArrayElement(element); }, true);
      if (reach > instance->beginArrayRoom) return c.dropped("element beyond the arrays checked at glBegin");
      gl.glArrayElement(element);
      return;
    }
    case 295: {
      if (!c.holds(20)) return;
      uint64_t value = c.u(0) | static_cast<uint64_t>(c.u(4)) << 32;
      if (!bufferBound(c, kGlElementArrayBufferBinding)) return;
      if (!elementsInBuffer(c, c.u(16), c.i(12), static_cast<uint32_t>(value))) return;
      drawFromArrays(c, false, 0, [&](uint64_t room) {
        if (c.i(12) < 0) return gl.glDrawElements(c.u(8), c.i(12), c.u(16), nullptr);  // the library's error
        drawInPieces(
            c, c.u(8), c.i(12), true,
            [&](uint32_t m, int64_t at, int64_t n) {
              uintptr_t offset = static_cast<uint32_t>(value) + uint64_t(at) * typeBytes(c.u(16));
              gl.glDrawElements(m, static_cast<GLsizei>(n), c.u(16), reinterpret_cast<const void *>(offset));
            },
            bufferElements(c, c.u(16), static_cast<uint32_t>(value), room));
      });
      return;
    }
    CALL(296, glPushClientAttrib, 4, c.u(0))
    CALL0(297, glPopClientAttrib)
    case 298: {
      if (!c.holds(20)) return;
      const uint8_t *cursor = c.data;
      uint64_t size = glxdirectTakeU64(&cursor);
      bool noData = c.at(16)[0] != 0;
      if (size > 0x7FFFFFFFFFFFFFFFull) return c.dropped("negative size");
      if (!noData && !c.holds(plus(20, size))) return;
      if (!glxdirectBufferData(instance, c.u(8), size)) {
        return c.beyondBudget("buffer storage");
      }
      gl.glBufferData(c.u(8), static_cast<GLsizeiptr>(size), noData ? nullptr : c.at(20), c.u(12));
      return;
    }
    case 299: {
      if (!c.holds(20)) return;
      const uint8_t *cursor = c.data;
      uint64_t offset = glxdirectTakeU64(&cursor), size = glxdirectTakeU64(&cursor);
      if (size > 0x7FFFFFFFFFFFFFFFull || offset > 0x7FFFFFFFFFFFFFFFull) return c.dropped("negative size");
      if (!c.holds(plus(20, size))) return;
      gl.glBufferSubData(c.u(16), static_cast<GLintptr>(offset), static_cast<GLsizeiptr>(size), c.at(20));
      return;
    }
    case 300:
    case 301:
      return drawCarriedCommand(c);
    case 2053: {
      if (!c.holds(40)) return;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 40, c.u(32), c.u(36), c.u(20), c.i(28), 1, 1, &image)) return;
      gl.glColorTable(c.u(20), c.u(24), c.i(28), c.u(32), c.u(36), image);
      return;
    }
    PVEC1(2054, glColorTableParameterfv, GLfloat)
    PVEC1(2055, glColorTableParameteriv, GLint)
    CALL(2056, glCopyColorTable, 20, c.u(0), c.u(4), c.i(8), c.i(12), c.i(16))
    CALL(2065, glPointParameterf, 8, c.u(0), c.f(4))
    PVEC0(2066, glPointParameterfv, GLfloat)
    CALL(4096, glBlendColor, 16, c.f(0), c.f(4), c.f(8), c.f(12))
    CALL(4097, glBlendEquation, 4, c.u(0))
    case 4099:
    case 4100: {
      if (!c.holds(56)) return;
      uint32_t target = c.u(20), format = c.u(44), type = c.u(48);
      int32_t width = c.i(36), height = opcode == 4100 ? c.i(40) : 1;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 56, format, type, target, width, height, 1, &image)) return;
      if (opcode == 4099)
        gl.glTexSubImage1D(target, c.i(24), c.i(28), width, format, type, image);
      else
        gl.glTexSubImage2D(target, c.i(24), c.i(28), c.i(32), width, height, format, type, image);
      return;
    }
    case 4101:
    case 4102: {
      if (!c.holds(44)) return;
      uint32_t target = c.u(20), format = c.u(36), type = c.u(40);
      int32_t width = c.i(28), height = opcode == 4102 ? c.i(32) : 1;
      const void *image = nullptr;
      if (!pixelCommand(c, true, false, 44, format, type, target, width, height, 1, &image)) return;
      if (opcode == 4101)
        gl.glConvolutionFilter1D(target, c.u(24), width, format, type, image);
      else
        gl.glConvolutionFilter2D(target, c.u(24), width, height, format, type, image);
      return;
    }
    CALL(4103, glConvolutionParameterf, 12, c.u(0), c.u(4), c.f(8))
    PVEC1(4104, glConvolutionParameterfv, GLfloat)
    CALL(4105, glConvolutionParameteri, 12, c.u(0), c.u(4), c.i(8))
    PVEC1(4106, glConvolutionParameteriv, GLint)
    CALL(4107, glCopyConvolutionFilter1D, 20, c.u(0), c.u(4), c.i(8), c.i(12), c.i(16))
    CALL(4108, glCopyConvolutionFilter2D, 24, c.u(0), c.u(4), c.i(8), c.i(12), c.i(16), c.i(20))
    case 4109: {
      if (!c.holds(44)) return;
      uint32_t target = c.u(20), format = c.u(36), type = c.u(40);
      int32_t width = c.i(28), height = c.i(32);
      PixelHeader h;
      if (!readPixelHeader(c, false, &h)) return;
      int64_t row = imageBytes(c, h, format, type, target, width, 1, 1);
      int64_t column = imageBytes(c, h, format, type, target, height, 1, 1);
      if (row < 0 || column < 0) {
        // The library's answer, as for every other pixel command: its GL error.
        glxdirectRecordError(instance, width < 0 || height < 0 ? kGlInvalidValue : glxdirectPixelsError(format, type));
        return c.dropped("pixel format or type without a size");
      }
      uint64_t rowPadded = (static_cast<uint64_t>(row) + 3) & ~3ull;
      if (!c.holds(plus(44 + rowPadded, static_cast<uint64_t>(column)))) return;
      if (refusedPixels(c, format, type)) return;
      // Each filter unpacked as a one-row image by the header's rules, one after the other.
      const void *rowImage = c.at(44), *columnImage = c.at(44 + rowPadded);
      if (row > 0 && column > 0) {
        int64_t rowTight = glxdirectTightBytes(format, type, width, 1, 1);
        uint8_t *room = tightRoom(c, rowTight + glxdirectTightBytes(format, type, height, 1, 1));
        if (!room) return;
        GlxUnpackState state = unpackState(c, h, true);
        // The column's bytes end where the command ends; the row's where the column's begin.
        Command rowPart = c;
        rowPart.size = 44 + rowPadded;
        rowImage = unpackInto(rowPart, state, 44, format, type, width, 1, 1, room);
        if (rowImage) columnImage = unpackInto(c, state, 44 + rowPadded, format, type, height, 1, 1, room + rowTight);
        if (!rowImage || !columnImage) {
          c.error = c.error ? c.error : rowPart.error;
          return;
        }
        carriedImage(c);
      }
      setTightUnpack(gl);
      gl.glSeparableFilter2D(target, c.u(24), width, height, format, type, rowImage, columnImage);
      return;
    }
    CALL(4110, glHistogram, 13, c.u(0), c.i(4), c.u(8), c.at(12)[0])
    CALL(4111, glMinmax, 9, c.u(0), c.u(4), c.at(8)[0])
    CALL(4112, glResetHistogram, 4, c.u(0))
    CALL(4113, glResetMinmax, 4, c.u(0))
    case 4114: {
      if (!c.holds(80)) return;
      uint32_t target = c.u(36), format = c.u(68), type = c.u(72);
      int32_t width = c.i(48), height = c.i(52), depth = c.i(56);
      bool nullImage = c.u(76) != 0;
      const void *image = nullptr;
      if (nullImage) {
        PixelHeader h;
        if (!readPixelHeader(c, true, &h)) return;
        setTightUnpack(gl);
      } else if (!pixelCommand(c, true, true, 80, format, type, target, width, height, depth, &image)) {
        return;
      }
      if (!levelStorage(c, target, c.i(40), c.u(44), &width, height, depth)) return;
      gl.glTexImage3D(target, c.i(40), c.i(44), width, height, depth, c.i(64), format, type, image);
      return;
    }
    case 4115: {
      if (!c.holds(88)) return;
      uint32_t target = c.u(36), format = c.u(76), type = c.u(80);
      int32_t width = c.i(60), height = c.i(64), depth = c.i(68);
      const void *image = nullptr;
      if (!pixelCommand(c, true, true, 88, format, type, target, width, height, depth, &image)) return;
      gl.glTexSubImage3D(target, c.i(40), c.i(44), c.i(48), c.i(52), width, height, depth, format, type, image);
      return;
    }
    case 4117:
      if (c.holds(8) && boundName(c, kGlxDirectTextureNames, c.u(4))) gl.glBindTexture(c.u(0), c.u(4));
      return;
    case 4118: {
      if (!c.holds(4)) return;
      int32_t n = c.i(0);
      if (!holdsCounted(c, 4, n, 8)) return;
      gl.glPrioritizeTextures(n, reinterpret_cast<const GLuint *>(c.at(4)),
                              reinterpret_cast<const GLclampf *>(c.at(4 + 4ull * n)));
      return;
    }
    case 4119:
    case 4120: {
      if (!c.holds(opcode == 4119 ? 28 : 32)) return;
      int32_t width = c.i(20), height = opcode == 4120 ? c.i(24) : 1;
      if (!levelStorage(c, c.u(0), c.i(4), c.u(8), &width, height, 1)) return;
      if (opcode == 4119)
        gl.glCopyTexImage1D(c.u(0), c.i(4), c.u(8), c.i(12), c.i(16), width, c.i(24));
      else
        gl.glCopyTexImage2D(c.u(0), c.i(4), c.u(8), c.i(12), c.i(16), width, height, c.i(28));
      return;
    }
    CALL(4121, glCopyTexSubImage1D, 24, c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20))
    CALL(4122, glCopyTexSubImage2D, 32, c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20), c.i(24), c.i(28))
    CALL(4123, glCopyTexSubImage3D, 36, c.u(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20), c.i(24), c.i(28),
         c.i(32))
    VEC(4124, glFogCoordfvEXT, GLfloat, 1)
    VEC(4125, glFogCoorddvEXT, GLdouble, 1)
    VEC(4126, glSecondaryColor3bvEXT, GLbyte, 3)
    VEC(4127, glSecondaryColor3svEXT, GLshort, 3)
    VEC(4128, glSecondaryColor3ivEXT, GLint, 3)
    VEC(4129, glSecondaryColor3fvEXT, GLfloat, 3)
    VEC(4130, glSecondaryColor3dvEXT, GLdouble, 3)
    VEC(4131, glSecondaryColor3ubvEXT, GLubyte, 3)
    VEC(4132, glSecondaryColor3usvEXT, GLushort, 3)
    VEC(4133, glSecondaryColor3uivEXT, GLuint, 3)
    CALL(4134, glBlendFuncSeparateEXT, 16, c.u(0), c.u(4), c.u(8), c.u(12))
    default:
      break;
  }
  // The later opcodes.
  switch (opcode) {
    case 4180:
      if (c.holds(8) && boundName(c, kGlxDirectProgramNames, c.u(4))) gl.glBindProgramARB(c.u(0), c.u(4));
      return;
    case 4181:
      if (c.holds(24)) {
        Values<GLfloat, 4> v(c, 8);
        gl.glExecuteProgramNV(c.u(0), c.u(4), v.v);
      }
      return;
    case 4182: {
      if (!c.holds(4)) return;
      int32_t n = c.i(0);
      if (holdsCounted(c, 4, n, 4)) gl.glRequestResidentProgramsNV(n, reinterpret_cast<const GLuint *>(c.at(4)));
      return;
    }
    case 4183: {
      if (!c.holds(12)) return;
      int32_t n = c.i(8);
      if (!holdsCounted(c, 12, n, 1)) return;
      if (!glxdirectProgramString(instance, c.u(0), c.u(4), uint64_t(n))) {
        return c.beyondBudget("program string");
      }
      gl.glLoadProgramNV(c.u(0), c.u(4), n, c.at(12));
      return;
    }
    case 4184:
      if (c.holds(24)) {
        Values<GLfloat, 4> v(c, 8);
        gl.glProgramParameter4fvNV(c.u(0), c.u(4), v.v);
      }
      return;
    case 4185:
      if (c.holds(40)) {
        Values<GLdouble, 4> v(c, 8);
        gl.glProgramParameter4dvNV(c.u(0), c.u(4), v.v);
      }
      return;
    case 4186:
    case 4187: {
      if (!c.holds(12)) return;
      int32_t n = c.i(8);
      if (!holdsCounted(c, 12, n, opcode == 4186 ? 16 : 32)) return;
      if (opcode == 4186)
        gl.glProgramParameters4fvNV(c.u(0), c.u(4), n, reinterpret_cast<const GLfloat *>(c.at(12)));
      else
        gl.glProgramParameters4dvNV(c.u(0), c.u(4), n, reinterpret_cast<const GLdouble *>(c.at(12)));
      return;
    }
    CALL(4188, glTrackMatrixNV, 16, c.u(0), c.u(4), c.u(8), c.u(12))
    VEC1(4189, glVertexAttrib1svARB, GLshort, 1)
    VEC1(4190, glVertexAttrib2svARB, GLshort, 2)
    VEC1(4191, glVertexAttrib3svARB, GLshort, 3)
    VEC1(4192, glVertexAttrib4svARB, GLshort, 4)
    VEC1(4193, glVertexAttrib1fvARB, GLfloat, 1)
    CALL(4194, glVertexAttrib2fARB, 12, c.u(0), c.f(4), c.f(8))
    VEC1(4195, glVertexAttrib3fvARB, GLfloat, 3)
    VEC1(4196, glVertexAttrib4fvARB, GLfloat, 4)
    VEC1(4197, glVertexAttrib1dvARB, GLdouble, 1)
    VEC1(4198, glVertexAttrib2dvARB, GLdouble, 2)
    VEC1(4199, glVertexAttrib3dvARB, GLdouble, 3)
    VEC1(4200, glVertexAttrib4dvARB, GLdouble, 4)
    VEC1(4201, glVertexAttrib4NubvARB, GLubyte, 4)
    case 4202: case 4203: case 4204: case 4205: case 4206: case 4207: case 4208: case 4209:
    case 4210: case 4211: case 4212: case 4213: case 4214: {
      if (!c.holds(8)) return;
      int32_t n = c.i(4);
      uint32_t k = (opcode - 4202) % 4 + 1;
      uint64_t element = opcode == 4214 ? 1 : opcode >= 4210 ? 8 : opcode >= 4206 ? 4 : 2;
      if (opcode == 4214) k = 4;
      if (!holdsCounted(c, 8, n, element * k)) return;
      uint32_t index = c.u(0);
      const void *v = c.at(8);
      // The library writes attributes index to index + n - 1: each must be one of its own.
      askLimits(instance);
      if (index >= instance->maxVertexAttribs) return invalidAttribute(c);
      if (static_cast<uint64_t>(n) > instance->maxVertexAttribs - index)
        n = static_cast<int32_t>(instance->maxVertexAttribs - index);
      switch (opcode) {
        case 4202: gl.glVertexAttribs1svNV(index, n, static_cast<const GLshort *>(v)); break;
        case 4203: gl.glVertexAttribs2svNV(index, n, static_cast<const GLshort *>(v)); break;
        case 4204: gl.glVertexAttribs3svNV(index, n, static_cast<const GLshort *>(v)); break;
        case 4205: gl.glVertexAttribs4svNV(index, n, static_cast<const GLshort *>(v)); break;
        case 4206: gl.glVertexAttribs1fvNV(index, n, static_cast<const GLfloat *>(v)); break;
        case 4207: gl.glVertexAttribs2fvNV(index, n, static_cast<const GLfloat *>(v)); break;
        case 4208: gl.glVertexAttribs3fvNV(index, n, static_cast<const GLfloat *>(v)); break;
        case 4209: gl.glVertexAttribs4fvNV(index, n, static_cast<const GLfloat *>(v)); break;
        case 4210: gl.glVertexAttribs1dvNV(index, n, static_cast<const GLdouble *>(v)); break;
        case 4211: gl.glVertexAttribs2dvNV(index, n, static_cast<const GLdouble *>(v)); break;
        case 4212: gl.glVertexAttribs3dvNV(index, n, static_cast<const GLdouble *>(v)); break;
        case 4213: gl.glVertexAttribs4dvNV(index, n, static_cast<const GLdouble *>(v)); break;
        default: gl.glVertexAttribs4ubvNV(index, n, static_cast<const GLubyte *>(v)); break;
      }
      return;
    }
    case 4215:
      if (c.holds(24)) {
        Values<GLfloat, 4> v(c, 8);
        gl.glProgramLocalParameter4fvARB(c.u(0), c.u(4), v.v);
      }
      return;
    case 4216:
      if (c.holds(40)) {
        Values<GLdouble, 4> v(c, 8);
        gl.glProgramLocalParameter4dvARB(c.u(0), c.u(4), v.v);
      }
      return;
    case 4217: {
      if (!c.holds(12)) return;
      int32_t n = c.i(8);
      if (!holdsCounted(c, 12, n, 1)) return;
      if (!glxdirectProgramString(instance, c.u(0), 0, uint64_t(n))) {
        return c.beyondBudget("program string");
      }
      gl.glProgramStringARB(c.u(0), c.u(4), n, c.at(12));
      return;
    }
    case 4218: {
      if (!c.holds(24)) return;
      int32_t n = c.i(4);
      if (!holdsCounted(c, 24, n, 1)) return;
      Values<GLfloat, 4> v(c, 8);
      gl.glProgramNamedParameter4fvNV(c.u(0), n, c.at(24), v.v);
      return;
    }
    case 4219: {
      if (!c.holds(40)) return;
      int32_t n = c.i(36);
      if (!holdsCounted(c, 40, n, 1)) return;
      Values<GLdouble, 4> v(c, 0);
      gl.glProgramNamedParameter4dvNV(c.u(32), n, c.at(40), v.v);
      return;
    }
    CALL(4220, glActiveStencilFaceEXT, 4, c.u(0))
    CALL(4221, glPointParameteri, 8, c.u(0), c.i(4))
    PVEC0(4222, glPointParameteriv, GLint)
    CALL(4227, glProvokingVertex, 4, c.u(0))
    CALL(4228, glBlendEquationSeparateEXT, 8, c.u(0), c.u(4))
    CALL(4229, glDepthBoundsEXT, 16, c.d(0), c.d(8))
    VEC1(4230, glVertexAttrib4bvARB, GLbyte, 4)
    VEC1(4231, glVertexAttrib4ivARB, GLint, 4)
    VEC1(4232, glVertexAttrib4ubvARB, GLubyte, 4)
    VEC1(4233, glVertexAttrib4usvARB, GLushort, 4)
    VEC1(4234, glVertexAttrib4uivARB, GLuint, 4)
    VEC1(4235, glVertexAttrib4NbvARB, GLbyte, 4)
    VEC1(4236, glVertexAttrib4NsvARB, GLshort, 4)
    VEC1(4237, glVertexAttrib4NivARB, GLint, 4)
    VEC1(4238, glVertexAttrib4NusvARB, GLushort, 4)
    VEC1(4239, glVertexAttrib4NuivARB, GLuint, 4)
    VEC1(4265, glVertexAttrib1svNV, GLshort, 1)
    VEC1(4266, glVertexAttrib2svNV, GLshort, 2)
    VEC1(4267, glVertexAttrib3svNV, GLshort, 3)
    VEC1(4268, glVertexAttrib4svNV, GLshort, 4)
    VEC1(4269, glVertexAttrib1fvNV, GLfloat, 1)
    VEC1(4270, glVertexAttrib2fvNV, GLfloat, 2)
    VEC1(4271, glVertexAttrib3fvNV, GLfloat, 3)
    VEC1(4272, glVertexAttrib4fvNV, GLfloat, 4)
    VEC1(4273, glVertexAttrib1dvNV, GLdouble, 1)
    VEC1(4274, glVertexAttrib2dvNV, GLdouble, 2)
    VEC1(4275, glVertexAttrib3dvNV, GLdouble, 3)
    VEC1(4276, glVertexAttrib4dvNV, GLdouble, 4)
    VEC1(4277, glVertexAttrib4ubvNV, GLubyte, 4)
    case 4281:
    case 4282: {
      if (!c.holds(12)) return;
      int32_t n = c.i(8);
      if (!holdsCounted(c, 12, n, 16)) return;
      const GLfloat *v = reinterpret_cast<const GLfloat *>(c.at(12));
      if (opcode == 4281)
        gl.glProgramEnvParameters4fvEXT(c.u(0), c.u(4), n, v);
      else
        gl.glProgramLocalParameters4fvEXT(c.u(0), c.u(4), n, v);
      return;
    }
    case 235:
    case 4316:
      if (c.holds(8) && boundName(c, kGlxDirectRenderbufferNames, c.u(4))) gl.glBindRenderbuffer(c.u(0), c.u(4));
      return;
    case 4317:
    case 4320: {
      if (!c.holds(4)) return;
      int32_t n = c.i(0);
      if (!holdsCounted(c, 4, n, 4)) return;
      const GLuint *ids = reinterpret_cast<const GLuint *>(c.at(4));
      if (opcode == 4317) {
        glxdirectRenderbuffersDeleted(instance, c.at(4), uint32_t(n));
        glxdirectNamesDeleted(instance, kGlxDirectRenderbufferNames, c.at(4), uint32_t(n));
      } else {
        glxdirectNamesDeleted(instance, kGlxDirectFramebufferNames, c.at(4), uint32_t(n));
      }
      if (opcode == 4317)
        gl.glDeleteRenderbuffers(n, ids);
      else
        gl.glDeleteFramebuffers(n, ids);
      return;
    }
    case 4318:
    case 4331: {
      // The storage counts against the client's budget; a size beyond the library's is its error.
      bool multisample = opcode == 4331;
      if (!c.holds(multisample ? 20 : 16)) return;
      uint64_t at = multisample ? 4 : 0;
      int32_t samples = multisample ? c.i(4) : 0, width = c.i(at + 8), height = c.i(at + 12);
      switch (glxdirectRenderbufferStorage(instance, c.u(at + 4), samples, width, height)) {
        case kGlxDirectLevelRefused: width = -1; break;
        case kGlxDirectLevelOverBudget:
          return c.beyondBudget("renderbuffer");
        default: break;
      }
      if (multisample)
        gl.glRenderbufferStorageMultisample(c.u(0), samples, c.u(8), width, height);
      else
        gl.glRenderbufferStorage(c.u(0), c.u(4), width, height);
      return;
    }
    case 4319:
      if (c.holds(8) && boundName(c, kGlxDirectFramebufferNames, c.u(4))) gl.glBindFramebuffer(c.u(0), c.u(4));
      return;
    CALL(4321, glFramebufferTexture1D, 20, c.u(0), c.u(4), c.u(8), c.u(12), c.i(16))
    CALL(4322, glFramebufferTexture2D, 20, c.u(0), c.u(4), c.u(8), c.u(12), c.i(16))
    CALL(4323, glFramebufferTexture3D, 24, c.u(0), c.u(4), c.u(8), c.u(12), c.i(16), c.i(20))
    CALL(4324, glFramebufferRenderbuffer, 16, c.u(0), c.u(4), c.u(8), c.u(12))
    CALL(4325, glGenerateMipmap, 4, c.u(0))
    CALL(4330, glBlitFramebuffer, 40, c.i(0), c.i(4), c.i(8), c.i(12), c.i(16), c.i(20), c.i(24), c.i(28),
         c.u(32), c.u(36))
    case 9900:
    case 9901: {
      if (!c.holds(4)) return;
      // The name made counts against the client's budget like a Gen request's.
      GlxDirectNameKind kind = opcode == 9900 ? kGlxDirectRenderbufferNames : kGlxDirectFramebufferNames;
      if (!glxdirectCharge(kGlxDirectNameBytes)) {
        return c.beyondBudget("new name");
      }
      GLuint name = 0;
      if (opcode == 9900) {
        callDummy(gl.glDummyFunc6, c.u(0));
        gl.glGenRenderbuffers(1, &name);
      } else {
        callDummy(gl.glDummyFunc7, c.u(0));
        gl.glGenFramebuffers(1, &name);
      }
      glxdirectNamesMade(instance, kind, reinterpret_cast<const uint8_t *>(&name), 1);
      return;
    }
    default:
      break;
  }
  LOG(logChannelWarning, "Lumora: Unsupported render command #%u by %s", opcode, clientName());
}
}  // namespace

namespace {
// Runs the command in the library, a unit of the request's work (nothing when the request's
// work has ended): its error, 0 for none.
uint8_t runCommand(Command &c) {
  if (!spend(c, commandUnits(c))) return 0;
  bool inside = c.instance->insideBegin;
  executeCommand(c);
  if (inside) {
    beginCounted(c);
    beginRecorded(c);
  }
  commandDone(c);
  if (c.unpackBuffer) c.gl.glBindBuffer(kGlPixelUnpackBuffer, c.unpackBuffer);
  // What was counted before the call stays only when the library accepted the call.
  glxdirectStorageDone(c.instance, c.error == 0);
  return c.error;
}
}  // namespace

void glxdirectdecode::glxdirectGiveAgain(GlxLibraryInstance *instance, const GlxDirectStripCommand &command) {
  Command c{instance, command.opcode, command.data, command.size, instance->functions};
  executeCommand(c);
}

uint8_t glxdirectExecuteRender(GlxLibraryInstance *instance, uint32_t opcode, const uint8_t *data,
                               const uint8_t *end) {
  Command c{instance, opcode, data, static_cast<uint64_t>(end > data ? end - data : 0), instance->functions};
  // While a list is made (and none is replayed), the command is recorded as sent; in GL_COMPILE
  // nothing of it reaches the library.
  GlxDirectContext *node = instance->listDepth ? nullptr : glxdirectCurrentNode(instance);
  if (node && node->compileList && !executedAtOnce(c)) {
    if (readsBufferArrays(c) || readsUnpackBuffer(c)) {
      // The buffers are read now, as GL reads them for a list.
      uint8_t error = readsBufferArrays(c) ? recordReadArrays(c) : recordUnpackImage(c);
      if (error == kBadAlloc && !node->heldError) node->heldError = kGlOutOfMemory;
      if (error || node->compileMode != kGlCompileAndExecute) return error;
    } else if (!glxdirectRecordCommand(instance, opcode, data, c.size)) {
      c.beyondBudget("display list");
      return kBadAlloc;
    } else if (node->compileMode != kGlCompileAndExecute) {
      return 0;
    }
    // (afresh: the recording's checks leave nothing on the command the library runs)
    Command executed{instance, opcode, data, c.size, instance->functions};
    return runCommand(executed);
  }
  return runCommand(c);
}

void glxdirectArraysChanged(GlxLibraryInstance *instance) {
  if (instance) instance->beginArrayRoom = 0;
}

uint8_t glxdirectRender(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *first, const uint8_t *end) {
  if (!instance) return 0;
  if ((slot == 0 || instance->currentTagSlot != slot) && !glxdirectMakeTagCurrent(instance, slot)) return 0;
  askLimits(instance);
  startRequestWork(instance);
  const uint8_t *cursor = first;
  uint8_t error = 0;
  while (cursor < end && !error && !instance->workSpent) {
    uint64_t remaining = static_cast<uint64_t>(end - cursor);
    if (remaining < 4) break;
    uint16_t length, opcode;
    std::memcpy(&length, cursor, 2);
    std::memcpy(&opcode, cursor + 2, 2);
    if (length < 4 || length > remaining) break;
    error = glxdirectExecuteRender(instance, opcode, cursor + 4, cursor + length);
    cursor += length;
  }
  if (cursor < end && !error && !instance->workSpent) {
    LOG(logChannelWarning, "Lumora: %s undecoded in GLXRender", strSizeText(static_cast<uint64_t>(end - cursor)));
    error = kBadLength;
  }
  endRequestWork(instance);
  return error;
}

uint8_t glxdirectRenderLarge(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *command, uint64_t size) {
  if (!instance) return 0;
  if ((slot == 0 || instance->currentTagSlot != slot) && !glxdirectMakeTagCurrent(instance, slot)) return 0;
  askLimits(instance);
  if (size < 8) {
    LOG(logChannelWarning, "Lumora: Large render cmd too small (%u) from %s", static_cast<unsigned>(size),
        clientName());
    return kBadLength;
  }
  uint32_t length = u32At(command), opcode = u32At(command + 4);
  // A length field below the header's own 8 bytes is as invalid as one beyond the size.
  if (length > size || length < 8) {
    LOG(logChannelWarning, "Lumora: Invalid large render size (%llu vs. %u, #%u) from %s",
        static_cast<unsigned long long>(size), length, opcode, clientName());
    return kBadLength;
  }
  startRequestWork(instance);
  uint8_t error = glxdirectExecuteRender(instance, opcode, command + 8, command + length);
  endRequestWork(instance);
  if (size != length) LOG(logChannelWarning, "Lumora: %s undecoded in GLXRenderLarge", strSizeText(size - length));
  return error;
}

#undef VEC
#undef VEC1
#undef VECD1
#undef RECT
#undef PVEC0
#undef PVEC1
#undef CALL0
#undef CALL
