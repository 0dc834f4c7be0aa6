// Read-backs of GL rendered inside the proxy: the images and values a client asks back from the
// library (pixels, texture images, stipple, imaging tables and their parameters), and the
// render mode with its select and feedback buffers, which belong to the GL context of the slot.
// Every area whose bytes reach a client is zeroed before the library fills it: it may hold
// another client's earlier results, and a library that writes less (a GL error, a bound pack
// buffer) would send them. Images are packed with the pack state their size assumes.
// Images are sized by what exists (a texture level, a table, the part of a ReadPixels rectangle
// inside its drawable), and packed straight into the reply that carries them, counted against
// the client's lumoraMemory before it is taken: nothing of a client's choosing is zeroed, read
// or copied beyond that.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "support/strtemp.h"
#include "xclient/gldatatype.h"
#include "xext/glxdirectunpack.h"

namespace {

constexpr const char *kSource = "Xext/glxdirectread";

constexpr uint32_t kGlPackSwapBytes = 0x0D00;
constexpr uint32_t kGlPackLsbFirst = 0x0D01;
constexpr uint32_t kGlPackRowLength = 0x0D02;
constexpr uint32_t kGlPackSkipRows = 0x0D03;
constexpr uint32_t kGlPackSkipPixels = 0x0D04;
constexpr uint32_t kGlPackAlignment = 0x0D05;
constexpr uint32_t kGlPackSkipImages = 0x806B;
constexpr uint32_t kGlPackImageHeight = 0x806C;
constexpr int32_t kAlignment = 4;
constexpr uint32_t kGlRgba = 0x1908;

constexpr uint32_t kGlTextureWidth = 0x1000;
constexpr uint32_t kGlTextureHeight = 0x1001;
constexpr uint32_t kGlTextureBorder = 0x1005;
constexpr uint32_t kGlTextureDepth = 0x8071;
constexpr uint32_t kGlColorTableWidth = 0x80D9;
constexpr uint32_t kGlConvolutionWidth = 0x8018;
constexpr uint32_t kGlConvolutionHeight = 0x8019;
constexpr uint32_t kGlConvolutionFilterScale = 0x8014;
constexpr uint32_t kGlConvolutionFilterBias = 0x8015;
constexpr uint32_t kGlConvolutionBorderColor = 0x8154;
constexpr uint32_t kGlHistogramWidth = 0x8026;

constexpr uint32_t kGlRender = 0x1C00;
constexpr uint32_t kGlFeedback = 0x1C01;
constexpr uint32_t kGlSelect = 0x1C02;
constexpr uint32_t kGlRenderModeQuery = 0x0C40;  // GL_RENDER_MODE
constexpr uint32_t kGl2D = 0x0600, kGl4DColorTexture = 0x0604;  // the feedback vertex types

constexpr uint32_t kStippleBytes = 128;
constexpr uint32_t kMinmaxBytes = 100000;
// Room for the longest answer of a parameter get (a colour table's scale is 4 values).
constexpr uint32_t kValueRoom = 16;

// The slot's context is current in the library (made so when it is not).
bool makeCurrent(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return false;
  if (slot != 0 && instance->currentTagSlot == slot) return true;
  return glxdirectMakeTagCurrent(instance, slot) != 0;
}

// size bytes of scratch, all zero; NULL when no room can be had.
uint8_t *zeroedScratch(GlxLibraryInstance *instance, uint64_t size) {
  uint8_t *area = glxdirectScratch(instance, size);
  if (area) memset(area, 0, size);
  return area;
}

// The pack state every image size here assumes: tight rows aligned to 4, nothing skipped. A
// client's GLXPixelStorei of a pack parameter would else make the library write past the area.
// Bytes and bits in the library's own order: a read whose request carries flags sets them after
// this, and the flags of an earlier read (another client's, too) must not reach a later one.
void setPackState(GlxLibraryInstance *instance) {
  GlFunctionTable &gl = instance->functions;
  gl.glPixelStorei(kGlPackSwapBytes, 0);
  gl.glPixelStorei(kGlPackLsbFirst, 0);
  gl.glPixelStorei(kGlPackRowLength, 0);
  gl.glPixelStorei(kGlPackSkipRows, 0);
  gl.glPixelStorei(kGlPackSkipPixels, 0);
  gl.glPixelStorei(kGlPackImageHeight, 0);
  gl.glPixelStorei(kGlPackSkipImages, 0);
  gl.glPixelStorei(kGlPackAlignment, kAlignment);
}

// Bytes of an image packed with that state; 0 (nothing read back) also for the pairs the library
// cannot serve for a read (glxdirectPixelsRefused: packing into bits never returns).
int64_t imageSize(uint32_t format, uint32_t type, uint32_t target, int32_t width, int32_t height, int32_t depth) {
  if (glxdirectPixelsRefused(format, type, true, nullptr)) {
    LOG(logChannelXhint, "Lumora: pixels read back as 0x%x/0x%x refused", format, type);
    return 0;
  }
  return glxdirectImageSize(format, type, target, width, height, depth, 0, 0, 0, 0, kAlignment);
}

// An integer parameter of the library (0 when it writes nothing).
template <typename Get>
int32_t integerOf(Get get, uint32_t target, uint32_t pname) {
  GLint values[kValueRoom] = {};
  get(target, pname, values);
  return values[0];
}

// Values of a parameter get in zeroed scratch with room for the longest answer.
template <typename T, typename Get>
const uint8_t *valuesOf(GlxLibraryInstance *instance, uint32_t slot, Get get, uint32_t target, uint32_t pname) {
  if (!makeCurrent(instance, slot)) return nullptr;
  uint8_t *area = zeroedScratch(instance, kValueRoom * sizeof(T));
  if (!area) return nullptr;
  get(target, pname, reinterpret_cast<T *>(area));
  return area;
}

// bytes of zeroed scratch for an image the library is about to pack, with the pack state set;
// NULL for an empty (or negative) size or when no room can be had.
uint8_t *packArea(GlxLibraryInstance *instance, int64_t bytes) {
  if (bytes <= 0) return nullptr;
  uint8_t *area = zeroedScratch(instance, uint64_t(bytes));
  if (area) setPackState(instance);
  return area;
}

// The same in the reply: bytes of it, zeroed, counted against the client's lumoraMemory; NULL
// for an empty size or past the budget (reply->refused).
uint8_t *packReply(GlxLibraryInstance *instance, GlxDirectReply *reply, int64_t bytes) {
  if (bytes <= 0 || !reply) return nullptr;
  uint8_t *area = glxdirectReplyArea(reply, uint64_t(bytes));
  if (area) setPackState(instance);
  return area;
}

// The part of a ReadPixels rectangle the library is asked for (window coordinates, half-open,
// in 64 bits: x + width reaches past the 32-bit range); empty when nothing of it exists.
struct ReadPart {
  int64_t x, y, width, height;
};

// The rectangle clipped to what the slot reads from: the read drawable at the size the proxy's
// records give it; while a framebuffer object is bound for reading (its size is the library's
// to know), and for a drawable of no known size, the library's largest drawable; unbounded
// when that is unknown too. Outside, the library would read nothing (GL leaves those pixels
// undefined; the reply has zeros there), but a rectangle sized by the client would still be
// walked.
ReadPart clipRead(GlxLibraryInstance *instance, uint32_t slot, int32_t x, int32_t y, int32_t width, int32_t height) {
  uint32_t right = 0, top = 0;
  // Inside glBegin/glEnd the library answers no query (its error would be the client's).
  bool object = !instance->insideBegin && instance->readFramebufferQuery != 0 &&
                glxdirectGetInteger(instance, instance->readFramebufferQuery) != 0;
  if (object || !glxdirectSlotReadSize(instance, slot, &right, &top)) {
    right = instance->largestWidth;
    top = instance->largestHeight;
  }
  ReadPart part{x, y, width, height};
  if (right == 0 || top == 0) return part;
  int64_t x0 = std::max<int64_t>(x, 0), y0 = std::max<int64_t>(y, 0);
  int64_t x1 = std::min<int64_t>(int64_t(x) + width, right), y1 = std::min<int64_t>(int64_t(y) + height, top);
  if (x1 <= x0 || y1 <= y0) return ReadPart{x, y, 0, 0};
  return ReadPart{x0, y0, x1 - x0, y1 - y0};
}

// The width and height of the target's convolution filter, also given to the caller's outputs.
void filterSize(GlFunctionTable &gl, uint32_t target, int32_t *w, int32_t *h, int32_t *width, int32_t *height) {
  *w = integerOf(gl.glGetConvolutionParameteriv, target, kGlConvolutionWidth);
  *h = integerOf(gl.glGetConvolutionParameteriv, target, kGlConvolutionHeight);
  if (width) *width = *w;
  if (height) *height = *h;
}

template <typename T>
void clear(T *out) {
  if (out) *out = 0;
}

}  // namespace

// ===== replies =====
uint8_t *glxdirectReplyArea(GlxDirectReply *reply, uint64_t imageBytes) {
  if (!reply || reply->reply) return nullptr;
  uint64_t size = 32 + ((imageBytes + 3) & ~uint64_t(3));
  // Beyond the limit no allocation is even tried, whatever the budget (a reply's length is 32-bit).
  if (imageBytes > kGlxDirectScratchLimit) {
    LOG(logChannelXhint, "Lumora: a read-back of %s refused for %s", strSizeText(imageBytes),
        xscreenClientName(xproxyCurrentClient));
    reply->refused = true;
    return nullptr;
  }
  // The reply is held twice on its way out: in sequence behind the client's earlier output
  // (until the real servers answered what came before it), then in the client's output buffer.
  uint64_t counted = 2 * size;
  if (!glxdirectCharge(counted)) {
    reply->refused = true;
    return nullptr;
  }
  // Zeroed (a large block comes from the system as zero pages: only what the library writes is
  // touched).
  reply->reply = static_cast<uint8_t *>(calloc(1, size_t(size)));
  if (!reply->reply) {
    glxdirectRefund(xproxyCurrentClient, counted);
    LOG_OUT_OF_MEMORY_AT(kSource);
    reply->refused = true;
    return nullptr;
  }
  reply->size = size;
  reply->image = imageBytes;
  reply->charged = counted;
  reply->owner = glxdirectOwner();
  return reply->reply + 32;
}

void glxdirectReplyDone(GlxDirectReply *reply) {
  if (!reply) return;
  free(reply->reply);
  // Its copies stay counted until the client's output has been written out.
  glxdirectHoldUntilWritten(reply->owner, reply->charged);
  *reply = GlxDirectReply{};
}
// ===== end of replies =====

// ===== images =====
const uint8_t *glxdirectReadPixels(GlxLibraryInstance *instance, uint32_t slot, int32_t x, int32_t y, int32_t width,
                                   int32_t height, uint32_t format, uint32_t type, uint32_t swapBytes,
                                   uint32_t lsbFirst, GlxDirectReply *reply, uint32_t *count, uint32_t *itemSize) {
  // Handed to the library for calls that write nothing (an error, or nothing to read): a
  // pointer it may check, never a place it fills.
  static uint8_t nowhere[4];
  clear(count);
  if (itemSize) *itemSize = 1;
  if (glxdirectPixelsRefused(format, type, true, nullptr)) {
    // The library never returns from packing into bits; a server answers the combination with
    // GL_INVALID_ENUM and no pixels. The library gives that error for a call of no type (on
    // colours, which every drawable has: a missing stencil buffer would be another error).
    if (!makeCurrent(instance, slot)) return nullptr;
    instance->functions.glReadPixels(x, y, 0, 0, kGlRgba, 0, nowhere);
    return nowhere;
  }
  if (width < 0 || height < 0) {
    // GL_INVALID_VALUE, the library's, and no pixels.
    if (makeCurrent(instance, slot)) instance->functions.glReadPixels(x, y, width, height, format, type, nowhere);
    return nullptr;
  }
  int64_t size = imageSize(format, type, 0, width, height, 1);
  if (size <= 0 || !makeCurrent(instance, slot)) return nullptr;
  ReadPart part = clipRead(instance, slot, x, y, width, height);
  uint8_t *area = packReply(instance, reply, size);
  if (!area) return nullptr;
  GlFunctionTable &gl = instance->functions;
  gl.glPixelStorei(kGlPackSwapBytes, GLint(swapBytes));
  gl.glPixelStorei(kGlPackLsbFirst, GLint(lsbFirst));
  if (part.width == 0) {
    // Nothing of the rectangle exists: the library only checks the request (its GL errors).
    gl.glReadPixels(x, y, 0, 0, format, type, area);
  } else {
    // The part lands where it lies in the requested image: rows of the requested width, from
    // the part's offset in it.
    if (part.width != width || part.height != height) {
      gl.glPixelStorei(kGlPackRowLength, width);
      gl.glPixelStorei(kGlPackSkipPixels, GLint(part.x - x));
      gl.glPixelStorei(kGlPackSkipRows, GLint(part.y - y));
    }
    gl.glReadPixels(GLint(part.x), GLint(part.y), GLsizei(part.width), GLsizei(part.height), format, type, area);
  }
  uint32_t element = gldatatypeSize(type);
  if (element == 0) element = 1;
  if (count) *count = uint32_t(uint64_t(size) / element);
  if (itemSize) *itemSize = element;
  return area;
}

const uint8_t *glxdirectGetPolygonStipple(GlxLibraryInstance *instance, uint32_t slot, uint32_t *count) {
  clear(count);
  if (!makeCurrent(instance, slot)) return nullptr;
  uint8_t *area = packArea(instance, kStippleBytes);
  if (!area) return nullptr;
  instance->functions.glGetPolygonStipple(area);
  if (count) *count = kStippleBytes;
  return area;
}

const uint8_t *glxdirectGetTexImage(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, int32_t level,
                                    uint32_t format, uint32_t type, uint32_t swapBytes, int32_t *width,
                                    int32_t *height, int32_t *depth, int32_t *border, uint64_t *size,
                                    GlxDirectReply *reply) {
  clear(width);
  clear(height);
  clear(depth);
  clear(border);
  clear(size);
  if (!makeCurrent(instance, slot)) return nullptr;
  GlFunctionTable &gl = instance->functions;
  auto level_ = [&](uint32_t pname) {
    GLint values[kValueRoom] = {};
    gl.glGetTexLevelParameteriv(target, level, pname, values);
    return values[0];
  };
  int32_t w = level_(kGlTextureWidth), h = level_(kGlTextureHeight), d = level_(kGlTextureDepth);
  int32_t b = level_(kGlTextureBorder);
  if (width) *width = w;
  if (height) *height = h;
  if (depth) *depth = d;
  if (border) *border = b;
  int64_t bytes = imageSize(format, type, target, w, h, d);
  uint8_t *area = packReply(instance, reply, bytes);
  if (!area) return nullptr;
  gl.glPixelStorei(kGlPackSwapBytes, GLint(swapBytes));
  gl.glGetTexImage(target, level, format, type, area);
  if (size) *size = uint64_t(bytes);
  return area;
}

const uint8_t *glxdirectGetColorTable(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                      uint32_t format, uint32_t type, int32_t *width, uint64_t *size,
                                      GlxDirectReply *reply) {
  clear(width);
  clear(size);
  if (!makeCurrent(instance, slot)) return nullptr;
  GlFunctionTable &gl = instance->functions;
  int32_t w = integerOf(gl.glGetColorTableParameteriv, target, kGlColorTableWidth);
  if (width) *width = w;
  int64_t bytes = imageSize(format, type, 0, w, 1, 1);
  uint8_t *area = packReply(instance, reply, bytes);
  if (!area) return nullptr;
  gl.glGetColorTable(target, format, type, area);
  if (size) *size = uint64_t(bytes);
  return area;
}

const uint8_t *glxdirectGetConvolutionFilter(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t format, uint32_t type, int32_t *width, int32_t *height,
                                             uint64_t *size, GlxDirectReply *reply) {
  clear(width);
  clear(height);
  clear(size);
  if (!makeCurrent(instance, slot)) return nullptr;
  GlFunctionTable &gl = instance->functions;
  int32_t w = 0, h = 0;
  filterSize(gl, target, &w, &h, width, height);
  int64_t bytes = imageSize(format, type, 0, w, h, 1);
  uint8_t *area = packReply(instance, reply, bytes);
  if (!area) return nullptr;
  gl.glGetConvolutionFilter(target, format, type, area);
  if (size) *size = uint64_t(bytes);
  return area;
}

const uint8_t *glxdirectGetSeparableFilter(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                           uint32_t format, uint32_t type, int32_t *width, int32_t *height,
                                           uint64_t *size, GlxDirectReply *reply) {
  clear(width);
  clear(height);
  clear(size);
  if (!makeCurrent(instance, slot)) return nullptr;
  GlFunctionTable &gl = instance->functions;
  int32_t w = 0, h = 0;
  filterSize(gl, target, &w, &h, width, height);
  // Both filters are one-row images: the column filter is height pixels in one row.
  int64_t row = imageSize(format, type, 0, w, 1, 1);
  int64_t column = imageSize(format, type, 0, h, 1, 1);
  if (row <= 0 || column <= 0) return nullptr;
  uint8_t *area = packReply(instance, reply, row + column);
  if (!area) return nullptr;
  gl.glGetSeparableFilter(target, format, type, area, area + row, area + row + column);
  if (size) *size = uint64_t(row + column);
  return area;
}

const uint8_t *glxdirectGetHistogram(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t reset,
                                     uint32_t format, uint32_t type, int32_t *width, uint64_t *size,
                                     GlxDirectReply *reply) {
  clear(width);
  clear(size);
  if (!makeCurrent(instance, slot)) return nullptr;
  GlFunctionTable &gl = instance->functions;
  int32_t w = integerOf(gl.glGetHistogramParameteriv, target, kGlHistogramWidth);
  if (width) *width = w;
  int64_t bytes = imageSize(format, type, 0, w, 1, 1);
  uint8_t *area = packReply(instance, reply, bytes);
  if (!area) return nullptr;
  gl.glGetHistogram(target, GLboolean(reset != 0), format, type, area);
  if (size) *size = uint64_t(bytes);
  return area;
}

const uint8_t *glxdirectGetMinmax(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t reset,
                                  uint32_t format, uint32_t type) {
  if (!makeCurrent(instance, slot)) return nullptr;
  uint8_t *area = packArea(instance, kMinmaxBytes);
  if (!area) return nullptr;
  instance->functions.glGetMinmax(target, GLboolean(reset != 0), format, type, area);
  return area;
}
// ===== end of images =====

// ===== parameters of the imaging tables =====
int32_t glxdirectGetColorTableParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                          uint32_t pname) {
  const uint8_t *values =
      valuesOf<GLint>(instance, slot, instance ? instance->functions.glGetColorTableParameteriv : nullptr, target,
                      pname);
  int32_t first = 0;
  if (values) memcpy(&first, values, sizeof first);
  return first;
}

float glxdirectGetColorTableParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                        uint32_t pname) {
  const uint8_t *values =
      valuesOf<GLfloat>(instance, slot, instance ? instance->functions.glGetColorTableParameterfv : nullptr, target,
                        pname);
  float first = 0;
  if (values) memcpy(&first, values, sizeof first);
  return first;
}

namespace {
uint32_t convolutionCount(uint32_t pname) {
  return pname == kGlConvolutionFilterScale || pname == kGlConvolutionFilterBias ||
                 pname == kGlConvolutionBorderColor
             ? 4
             : 1;
}
}  // namespace

const uint8_t *glxdirectGetConvolutionParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                  uint32_t pname, uint32_t *count) {
  clear(count);
  const uint8_t *values = valuesOf<GLfloat>(
      instance, slot, instance ? instance->functions.glGetConvolutionParameterfv : nullptr, target, pname);
  if (values && count) *count = convolutionCount(pname);
  return values;
}

const uint8_t *glxdirectGetConvolutionParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                  uint32_t pname, uint32_t *count) {
  clear(count);
  const uint8_t *values = valuesOf<GLint>(
      instance, slot, instance ? instance->functions.glGetConvolutionParameteriv : nullptr, target, pname);
  if (values && count) *count = convolutionCount(pname);
  return values;
}

const uint8_t *glxdirectGetHistogramParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                uint32_t pname) {
  return valuesOf<GLfloat>(instance, slot, instance ? instance->functions.glGetHistogramParameterfv : nullptr,
                           target, pname);
}

const uint8_t *glxdirectGetHistogramParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                uint32_t pname) {
  return valuesOf<GLint>(instance, slot, instance ? instance->functions.glGetHistogramParameteriv : nullptr,
                         target, pname);
}

const uint8_t *glxdirectGetMinmaxParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t pname) {
  return valuesOf<GLfloat>(instance, slot, instance ? instance->functions.glGetMinmaxParameterfv : nullptr,
                           target, pname);
}

const uint8_t *glxdirectGetMinmaxParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t pname) {
  return valuesOf<GLint>(instance, slot, instance ? instance->functions.glGetMinmaxParameteriv : nullptr, target,
                         pname);
}
// ===== end of parameters of the imaging tables =====

// ===== render mode, select and feedback buffers =====
namespace {

// The context node behind the slot (the slot must be current), or NULL.
GlxDirectContext *contextOfSlot(GlxLibraryInstance *instance, uint32_t slot) {
  GLXContext context = instance->tagSlots[slot].context;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node->context == context) return node;
  return nullptr;
}

uint32_t modeOf(const GlxDirectContext *node) { return node->renderMode ? node->renderMode : kGlRender; }

int32_t word(const uint8_t *params, uint32_t at) {
  int32_t value;
  memcpy(&value, params + at, sizeof value);
  return value;
}

// A buffer of entries 4-byte entries (and one more), zeroed, counted against the current
// client's lumoraMemory (*charged: its bytes) until the buffer goes with the context or the
// next buffer; NULL (nothing counted) when entries is negative, does not fit a 32-bit size or
// what is left of the client's lumoraMemory, or no memory can be had (logged).
void *newEntries(int32_t entries, uint64_t *charged) {
  if (entries < 0) return nullptr;
  uint64_t bytes = 4 * uint64_t(entries) + 4;
  if (bytes > UINT32_MAX) {
    LOG(logChannelXhint, "Lumora: %d entries refused for a select or feedback buffer", entries);
    return nullptr;
  }
  if (!glxdirectCharge(bytes)) return nullptr;
  void *buffer = calloc(1, bytes);
  if (!buffer) {
    glxdirectRefund(xproxyCurrentClient, bytes);
    LOG_OUT_OF_MEMORY_AT(kSource);
    return nullptr;
  }
  *charged = bytes;
  return buffer;
}

// The render mode the library's current context is in (GL_RENDER_MODE); 0 inside
// glBegin/glEnd, where the library answers no query.
uint32_t libraryRenderMode(GlxLibraryInstance *instance) {
  return uint32_t(glxdirectGetInteger(instance, kGlRenderModeQuery));
}

// Whether the library takes a new buffer for the mode now: outside glBegin/glEnd and while it
// is not in that mode (asked of the library itself: a glBegin of another tag or inside a list
// leaves the proxy's own flags unsure).
bool takesBuffer(GlxLibraryInstance *instance, GlxDirectContext *node, uint32_t mode) {
  uint32_t now = libraryRenderMode(instance);
  if (now == kGlRender || now == kGlFeedback || now == kGlSelect) node->renderMode = now;
  return now != 0 && now != mode;
}

}  // namespace

int32_t glxdirectRenderMode(GlxLibraryInstance *instance, uint32_t slot, uint32_t mode, const uint32_t **buffer,
                            uint32_t *size) {
  if (buffer) *buffer = nullptr;
  clear(size);
  if (!makeCurrent(instance, slot)) return 0;
  GlxDirectContext *node = contextOfSlot(instance, slot);
  if (!node) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  const uint32_t *left = nullptr;
  uint32_t leftSize = 0;
  switch (modeOf(node)) {
    case kGlFeedback:
      left = reinterpret_cast<const uint32_t *>(node->feedbackBuffer);
      leftSize = node->feedbackSize;
      break;
    case kGlSelect:
      left = node->selectBuffer;
      leftSize = node->selectSize;
      break;
    case kGlRender:
      break;
    default:
      logProblem("UNE", kSource, __LINE__);
      break;
  }
  int32_t result = instance->functions.glRenderMode(mode);
  // The mode is the one the library is in now: it keeps its mode on an unknown one and inside
  // glBegin/glEnd (where it answers no query either: the mode stays as recorded).
  uint32_t now = libraryRenderMode(instance);
  if (now == kGlRender || now == kGlFeedback || now == kGlSelect) node->renderMode = now;
  instance->renderMode = node->renderMode;
  if (buffer) *buffer = left;
  if (size) *size = left ? leftSize : 0;
  return result;
}

int glxdirectSelectBuffer(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
                          GlxDirectResult *result) {
  if (result) *result = GlxDirectResult{0, 0, nullptr};
  if (!params || length < 4 || !makeCurrent(instance, slot)) return 0;
  GlxDirectContext *node = contextOfSlot(instance, slot);
  if (!node) return 0;
  GlFunctionTable &gl = instance->functions;
  int32_t entries = word(params, 0);
  if (!takesBuffer(instance, node, kGlSelect) || entries < 0) {
    // The library refuses a buffer in select mode, inside glBegin/glEnd and of a negative size,
    // and keeps writing into the old one, which therefore stays; it is handed again so that the
    // refusal (its GL error) is the library's own and nothing else can be taken.
    gl.glSelectBuffer(entries < 0 ? entries : GLsizei(node->selectSize), node->selectBuffer);
    return 1;
  }
  uint64_t charged = 0;
  auto *fresh = static_cast<uint32_t *>(newEntries(entries, &charged));
  if (!fresh) return 0;
  gl.glSelectBuffer(entries, fresh);
  free(node->selectBuffer);
  glxdirectRefundOwner(node->selectOwner, node->selectCharged);
  node->selectBuffer = fresh;
  node->selectSize = uint32_t(entries);
  node->selectCharged = charged;
  node->selectOwner = glxdirectOwner();
  return 1;
}

int glxdirectFeedbackBuffer(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length,
                            GlxDirectResult *result) {
  if (result) *result = GlxDirectResult{0, 0, nullptr};
  if (!params || length < 8 || !makeCurrent(instance, slot)) return 0;
  GlxDirectContext *node = contextOfSlot(instance, slot);
  if (!node) return 0;
  GlFunctionTable &gl = instance->functions;
  int32_t entries = word(params, 0);
  uint32_t type = uint32_t(word(params, 4));
  // As for the select buffer; an unknown vertex type is refused too.
  if (!takesBuffer(instance, node, kGlFeedback) || entries < 0 || type < kGl2D || type > kGl4DColorTexture) {
    gl.glFeedbackBuffer(entries < 0 ? entries : GLsizei(node->feedbackSize), type, node->feedbackBuffer);
    return 1;
  }
  uint64_t charged = 0;
  auto *fresh = static_cast<float *>(newEntries(entries, &charged));
  if (!fresh) return 0;
  gl.glFeedbackBuffer(entries, type, fresh);
  free(node->feedbackBuffer);
  glxdirectRefundOwner(node->feedbackOwner, node->feedbackCharged);
  node->feedbackBuffer = fresh;
  node->feedbackSize = uint32_t(entries);
  node->feedbackCharged = charged;
  node->feedbackOwner = glxdirectOwner();
  return 1;
}
// ===== end of render mode, select and feedback buffers =====
