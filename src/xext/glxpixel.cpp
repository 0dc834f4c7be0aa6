// Pixel-returning and imaging single operations: pixel sizes by format and type, and the replies
// of a direct head, built from what its GL library produced.
#include "xext/glxpixel.h"

#include <cstdlib>
#include <cstring>

#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "support/wirewords.h"
#include "xext/extrequest.h"
#include "xext/glx.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/glxrecords.h"

namespace {

constexpr uint8_t kBadAlloc = 11;
constexpr uint32_t kGlBitmap = 0x1A00;
constexpr uint32_t kGlFeedback = 0x1C01, kGlSelect = 0x1C02;
constexpr uint64_t kSaturated = uint64_t(1) << 40;
// The largest reply the writers take (their byte counts are 32-bit).
constexpr uint64_t kLargestReply = 0xFFFFFFFCu;

enum : uint8_t {
  kRenderMode = 107,
  kReadPixels = 111,
  kGetPolygonStipple = 128,
  kGetTexImage = 135,
  kGetColorTable = 147,
  kGetColorTableParameterfv = 148,
  kGetColorTableParameteriv = 149,
  kGetConvolutionFilter = 150,
  kGetConvolutionParameterfv = 151,
  kGetConvolutionParameteriv = 152,
  kGetSeparableFilter = 153,
  kGetHistogram = 154,
  kGetHistogramParameterfv = 155,
  kGetHistogramParameteriv = 156,
  kGetMinmax = 157,
  kGetMinmaxParameterfv = 158,
  kGetMinmaxParameteriv = 159,
};

struct FormatRow {
  uint32_t format;
  uint32_t components;
};

constexpr FormatRow kFormats[] = {
    {0x1900, 1},  // COLOR_INDEX
    {0x1901, 1},  // STENCIL_INDEX
    {0x1902, 1},  // DEPTH_COMPONENT
    {0x1903, 1},  // RED
    {0x1904, 1},  // GREEN
    {0x1905, 1},  // BLUE
    {0x1906, 1},  // ALPHA
    {0x1907, 3},  // RGB
    {0x1908, 4},  // RGBA
    {0x1909, 1},  // LUMINANCE
    {0x190A, 2},  // LUMINANCE_ALPHA
    {0x8000, 4},  // ABGR_EXT
    {0x8049, 1},  // INTENSITY
    {0x80E0, 3},  // BGR
    {0x80E1, 4},  // BGRA
    {0x8227, 2},  // RG
    {0x8228, 2},  // RG_INTEGER
    {0x84F9, 1},  // DEPTH_STENCIL (always with a packed type)
    {0x8D94, 1},  // RED_INTEGER
    {0x8D95, 1},  // GREEN_INTEGER
    {0x8D96, 1},  // BLUE_INTEGER
    {0x8D97, 1},  // ALPHA_INTEGER
    {0x8D98, 3},  // RGB_INTEGER
    {0x8D99, 4},  // RGBA_INTEGER
    {0x8D9A, 3},  // BGR_INTEGER
    {0x8D9B, 4},  // BGRA_INTEGER
    {0x8D9C, 1},  // LUMINANCE_INTEGER_EXT
    {0x8D9D, 2},  // LUMINANCE_ALPHA_INTEGER_EXT
};

struct TypeRow {
  uint32_t type;
  uint32_t unit;   // bytes swapped together
  uint32_t pixel;  // packed types: bytes of one whole pixel; 0: one unit per component
};

constexpr TypeRow kTypes[] = {
    {0x1400, 1, 0},  // BYTE
    {0x1401, 1, 0},  // UNSIGNED_BYTE
    {0x1402, 2, 0},  // SHORT
    {0x1403, 2, 0},  // UNSIGNED_SHORT
    {0x1404, 4, 0},  // INT
    {0x1405, 4, 0},  // UNSIGNED_INT
    {0x1406, 4, 0},  // FLOAT
    {0x140B, 2, 0},  // HALF_FLOAT
    {0x1A00, 1, 0},  // BITMAP (one bit per component; sized apart)
    {0x8032, 1, 1},  // UNSIGNED_BYTE_3_3_2
    {0x8362, 1, 1},  // UNSIGNED_BYTE_2_3_3_REV
    {0x8033, 2, 2},  // UNSIGNED_SHORT_4_4_4_4
    {0x8034, 2, 2},  // UNSIGNED_SHORT_5_5_5_1
    {0x8363, 2, 2},  // UNSIGNED_SHORT_5_6_5
    {0x8364, 2, 2},  // UNSIGNED_SHORT_5_6_5_REV
    {0x8365, 2, 2},  // UNSIGNED_SHORT_4_4_4_4_REV
    {0x8366, 2, 2},  // UNSIGNED_SHORT_1_5_5_5_REV
    {0x85BA, 2, 2},  // UNSIGNED_SHORT_8_8_MESA
    {0x85BB, 2, 2},  // UNSIGNED_SHORT_8_8_REV_MESA
    {0x8035, 4, 4},  // UNSIGNED_INT_8_8_8_8
    {0x8036, 4, 4},  // UNSIGNED_INT_10_10_10_2
    {0x8367, 4, 4},  // UNSIGNED_INT_8_8_8_8_REV
    {0x8368, 4, 4},  // UNSIGNED_INT_2_10_10_10_REV
    {0x84FA, 4, 4},  // UNSIGNED_INT_24_8
    {0x8C3B, 4, 4},  // UNSIGNED_INT_10F_11F_11F_REV
    {0x8C3E, 4, 4},  // UNSIGNED_INT_5_9_9_9_REV
    {0x8DAD, 4, 8},  // FLOAT_32_UNSIGNED_INT_24_8_REV: a float and a word
};

const TypeRow *findType(uint32_t type) {
  for (const TypeRow &row : kTypes)
    if (row.type == type) return &row;
  return nullptr;
}

// a * b, held at kSaturated once it gets there.
uint64_t saturatingTimes(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  if (a >= kSaturated || b >= kSaturated || a > kSaturated / b) return kSaturated;
  return a * b;
}

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// The reply header layouts of the image queries; the words after the named fields up to byte
// 32 carry nothing, so swapping them too does no harm where items follow.
WireLayout headerLayout(uint8_t minor) {
  switch (minor) {
    case kGetTexImage: return "bbsiiiiii";
    case kGetConvolutionFilter:
    case kGetSeparableFilter: return "bbsiiiii";
    case kGetColorTable:
    case kGetHistogram: return "bbsiiii";
    case kGetMinmax: return "bbsi";
    default: return "bbsiii";
  }
}

// An error to the current client for its request.
void sendBadAlloc(const uint8_t *request, uint32_t length, uint64_t replySize) {
  xprotoSendError(kBadAlloc, replySize > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(replySize), request, length, nullptr);
}

ClientConnection *currentClient() { return xproxyCurrentClient; }

// The RenderMode answer of a direct reply head, waiting until every head has been served.
struct PendingRenderMode {
  uint8_t *reply;       // NULL: none built (failed is then whether that was for want of memory)
  uint64_t size;
  bool failed;
  bool waiting;         // a direct reply head answered the request being served
};
PendingRenderMode pending;

void dropPending() {
  free(pending.reply);
  pending = PendingRenderMode{nullptr, 0, false, false};
}

}  // namespace

// ===== pixel formats and layouts =====
uint32_t glxpixelComponents(uint32_t format) {
  for (const FormatRow &row : kFormats)
    if (row.format == format) return row.components;
  return 0;
}

uint32_t glxpixelItemSize(uint32_t type) {
  const TypeRow *row = findType(type);
  return row ? row->unit : 0;
}

uint64_t glxpixelImageSize(uint32_t format, uint32_t type, int64_t width, int64_t height, int64_t depth) {
  uint32_t components = glxpixelComponents(format);
  const TypeRow *row = findType(type);
  if (!components || !row || width < 1 || height < 1 || depth < 1) return 0;
  uint64_t rowBytes;
  if (type == kGlBitmap) {
    uint64_t bits = saturatingTimes(uint64_t(width), components);
    rowBytes = bits >= kSaturated ? kSaturated : (bits + 7) / 8;
  } else {
    uint64_t pixel = row->pixel ? row->pixel : uint64_t(row->unit) * components;
    rowBytes = saturatingTimes(uint64_t(width), pixel);
  }
  if (rowBytes < kSaturated) rowBytes = pad4(rowBytes);
  return saturatingTimes(saturatingTimes(rowBytes, uint64_t(height)), uint64_t(depth));
}

WireLayout glxpixelReplyLayout(uint8_t minor, uint32_t itemSize) {
  switch (itemSize) {
    case 2: return "bbsiiiiiiiS";
    case 4: return "bbsiiiiiiiI";
    case 8: return "bbsiiiiiiiL";
    default: return headerLayout(minor);
  }
}
// ===== end of pixel formats and layouts =====

// ===== direct replies =====
void glxpixelReplyReadPixels(const uint8_t *request, uint32_t length, const uint8_t *data, uint32_t count,
                             uint32_t itemSize, GlxDirectReply *reply) {
  if (data && !count) {
    // Refused with a GL error, which the client asks for: an empty answer.
    itemSize = 1;
  } else if (!data) {
    // The rectangle has pixels the operation could not give: no reply would tell the client.
    uint64_t expected = length >= 32 ? glxpixelImageSize(wireGet32(request + 24), wireGet32(request + 28),
                                                         int32_t(wireGet32(request + 16)),
                                                         int32_t(wireGet32(request + 20)), 1)
                                     : 0;
    if (expected || (reply && reply->refused)) {
      sendBadAlloc(request, length, 32 + pad4(expected));
      return;
    }
    count = 0;
    itemSize = 1;
  } else if (reply && reply->reply && uint64_t(count) * itemSize <= reply->image) {
    // The pixels lie in the reply already: its header, and out it goes (the values' layout,
    // as glxindirectReplyValuesEx writes it).
    wirePut32(reply->reply + 8, 0);
    wirePut32(reply->reply + 12, count);
    extSendLocalReply(request, reply->reply, uint32_t(reply->size), glxpixelReplyLayout(request[1], itemSize));
    return;
  }
  glxindirectReplyValuesEx(data, count, itemSize, 0, currentClient(), request[1]);
}

void glxpixelReplyStipple(const uint8_t *request, uint32_t length, const uint8_t *data, uint32_t count) {
  if (!data || count != 128) {
    sendBadAlloc(request, length, 32 + 128);
    return;
  }
  glxindirectReplyValues(data, 128, 1, currentClient(), request[1]);
}

void glxpixelReplyImage(const uint8_t *request, uint32_t length, const GlxPixelImage &image, GlxDirectReply *packed) {
  uint8_t minor = request[1];
  uint64_t data = pad4(image.size);
  uint64_t size = 32 + data;
  // Packed into its reply by the operation: sent from there.
  bool inPlace = packed && packed->reply && image.data && image.size <= packed->image;
  uint8_t *reply = inPlace ? packed->reply : nullptr;
  if (inPlace) size = packed->size;
  if (!inPlace && (image.data || !image.size) && size <= kLargestReply && !(packed && packed->refused))
    reply = static_cast<uint8_t *>(calloc(1, size_t(size)));
  if (!reply) {
    sendBadAlloc(request, length, size);
    return;
  }
  switch (minor) {
    case kGetTexImage: wirePut32(reply + 24, uint32_t(image.depth)); [[fallthrough]];
    case kGetConvolutionFilter:
    case kGetSeparableFilter: wirePut32(reply + 20, uint32_t(image.height)); [[fallthrough]];
    case kGetColorTable:
    case kGetHistogram: wirePut32(reply + 16, uint32_t(image.width)); break;
    default: break;
  }
  if (image.size && !inPlace) memcpy(reply + 32, image.data, size_t(image.size));
  extSendLocalReply(request, reply, uint32_t(size), glxpixelReplyLayout(minor, glxpixelItemSize(image.type)));
  if (!inPlace) free(reply);
}

void glxpixelReplyMinmax(const uint8_t *request, uint32_t length, const uint8_t *area) {
  uint32_t format = wireGet32(request + 12), type = wireGet32(request + 16);
  // Two pixels in one row: the operation's area is far larger than that.
  uint64_t size = glxpixelImageSize(format, type, 2, 1, 1);
  glxpixelReplyImage(request, length, GlxPixelImage{area, size, 0, 0, 0, type});
}

void glxpixelReplyParameters(const uint8_t *request, uint32_t length, const uint8_t *values, uint32_t count) {
  if (!values && count) {
    sendBadAlloc(request, length, count == 1 ? 32 : 32 + uint64_t(count) * 4);
    return;
  }
  glxindirectReplyValues(values, count, 4, currentClient(), request[1]);
}

void glxpixelReplyParameter(const uint8_t *request, uint32_t, uint32_t bits) {
  glxindirectReplyInt(bits, currentClient(), request[1]);
}

uint32_t glxpixelRenderModeWords(int32_t result, uint32_t leftMode, const uint32_t *buffer, uint32_t size) {
  if (!buffer || !size) return 0;
  if (result < 0) return size;
  if (leftMode == kGlFeedback) return uint32_t(result) < size ? uint32_t(result) : size;
  if (leftMode != kGlSelect) return 0;
  // Each hit: its name count, the minimum and maximum depth, the names. A record that would
  // reach beyond the buffer ends the walk (the records are the library's, the count the GL's).
  uint64_t at = 0;
  for (int32_t hit = 0; hit < result && at < size; hit++) {
    uint64_t record = 3 + uint64_t(buffer[at]);
    if (at + record > size) break;
    at += record;
  }
  return uint32_t(at);
}

uint8_t *glxpixelBuildRenderMode(int32_t result, uint32_t leftMode, uint32_t newMode, const uint32_t *buffer,
                                 uint32_t size, uint64_t *replySize) {
  uint32_t n = glxpixelRenderModeWords(result, leftMode, buffer, size);
  uint64_t bytes = 32 + uint64_t(n) * 4;
  if (replySize) *replySize = bytes;
  auto *reply = bytes <= kLargestReply ? static_cast<uint8_t *>(calloc(1, size_t(bytes))) : nullptr;
  if (!reply) return nullptr;
  wirePut32(reply + 8, uint32_t(result));
  wirePut32(reply + 12, n);
  wirePut32(reply + 16, newMode);
  for (uint32_t k = 0; k < n; k++) wirePut32(reply + 32 + uint64_t(k) * 4, buffer[k]);
  return reply;
}
// ===== end of direct replies =====

// ===== service =====
void glxpixelDirect(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *request, uint32_t length,
                    bool replyHead) {
  uint8_t minor = request[1];
  auto word = [&](uint32_t at) { return at + 4 <= length ? wireGet32(request + at) : 0u; };
  auto byte = [&](uint32_t at) { return at < length ? uint32_t(request[at]) : 0u; };
  if (minor == kRenderMode) {
    // Every head switches; the reply head's result is the client's.
    uint32_t mode = word(8);
    const uint32_t *buffer = nullptr;
    uint32_t size = 0;
    int32_t result = glxdirectRenderMode(instance, slot, mode, &buffer, &size);
    if (!replyHead) return;
    dropPending();
    GlxContextRecord *context = glxTagContext(word(4));
    uint32_t leftMode = context ? context->renderMode : 0;
    pending.reply = glxpixelBuildRenderMode(result, leftMode, mode, buffer, size, &pending.size);
    pending.failed = !pending.reply;
    pending.waiting = true;
    return;
  }
  // The others are queries: only the reply head is asked.
  if (!replyHead) return;
  switch (minor) {
    case kReadPixels: {
      uint32_t count = 0, itemSize = 1;
      GlxDirectReply reply{};
      const uint8_t *data = glxdirectReadPixels(instance, slot, int32_t(word(8)), int32_t(word(12)),
                                                int32_t(word(16)), int32_t(word(20)), word(24), word(28), byte(32),
                                                byte(33), &reply, &count, &itemSize);
      glxpixelReplyReadPixels(request, length, data, count, itemSize, &reply);
      glxdirectReplyDone(&reply);
      break;
    }
    case kGetPolygonStipple: {
      uint32_t count = 0;
      const uint8_t *data = glxdirectGetPolygonStipple(instance, slot, &count);
      glxpixelReplyStipple(request, length, data, count);
      break;
    }
    case kGetTexImage: {
      GlxPixelImage image{nullptr, 0, 0, 0, 0, word(20)};
      int32_t border = 0;
      GlxDirectReply reply{};
      image.data = glxdirectGetTexImage(instance, slot, word(8), int32_t(word(12)), word(16), word(20), byte(24),
                                        &image.width, &image.height, &image.depth, &border, &image.size, &reply);
      glxpixelReplyImage(request, length, image, &reply);
      glxdirectReplyDone(&reply);
      break;
    }
    case kGetColorTable:
    case kGetConvolutionFilter:
    case kGetSeparableFilter:
    case kGetHistogram: {
      GlxPixelImage image{nullptr, 0, 0, 0, 0, word(16)};
      uint32_t target = word(8), format = word(12), type = word(16);
      GlxDirectReply reply{};
      if (minor == kGetColorTable)
        image.data = glxdirectGetColorTable(instance, slot, target, format, type, &image.width, &image.size, &reply);
      else if (minor == kGetConvolutionFilter)
        image.data = glxdirectGetConvolutionFilter(instance, slot, target, format, type, &image.width,
                                                   &image.height, &image.size, &reply);
      else if (minor == kGetSeparableFilter)
        image.data = glxdirectGetSeparableFilter(instance, slot, target, format, type, &image.width, &image.height,
                                                 &image.size, &reply);
      else
        image.data = glxdirectGetHistogram(instance, slot, target, byte(21), format, type, &image.width, &image.size,
                                           &reply);
      glxpixelReplyImage(request, length, image, &reply);
      glxdirectReplyDone(&reply);
      break;
    }
    case kGetMinmax:
      glxpixelReplyMinmax(request, length,
                          glxdirectGetMinmax(instance, slot, word(8), byte(21), word(12), word(16)));
      break;
    case kGetColorTableParameterfv: {
      float value = glxdirectGetColorTableParameterfv(instance, slot, word(8), word(12));
      uint32_t bits;
      memcpy(&bits, &value, 4);
      glxpixelReplyParameter(request, length, bits);
      break;
    }
    case kGetColorTableParameteriv:
      glxpixelReplyParameter(request, length,
                             uint32_t(glxdirectGetColorTableParameteriv(instance, slot, word(8), word(12))));
      break;
    case kGetConvolutionParameterfv:
    case kGetConvolutionParameteriv: {
      uint32_t count = 0;
      const uint8_t *values =
          minor == kGetConvolutionParameterfv
              ? glxdirectGetConvolutionParameterfv(instance, slot, word(8), word(12), &count)
              : glxdirectGetConvolutionParameteriv(instance, slot, word(8), word(12), &count);
      glxpixelReplyParameters(request, length, values, count);
      break;
    }
    case kGetHistogramParameterfv:
      glxpixelReplyParameters(request, length, glxdirectGetHistogramParameterfv(instance, slot, word(8), word(12)), 1);
      break;
    case kGetHistogramParameteriv:
      glxpixelReplyParameters(request, length, glxdirectGetHistogramParameteriv(instance, slot, word(8), word(12)), 1);
      break;
    case kGetMinmaxParameterfv:
      glxpixelReplyParameters(request, length, glxdirectGetMinmaxParameterfv(instance, slot, word(8), word(12)), 1);
      break;
    case kGetMinmaxParameteriv:
      glxpixelReplyParameters(request, length, glxdirectGetMinmaxParameteriv(instance, slot, word(8), word(12)), 1);
      break;
    default: break;
  }
}

void glxpixelRenderModeServed(const uint8_t *request, uint32_t length) {
  bool failed = false;
  if (pending.waiting) {
    failed = pending.failed;
    if (pending.reply) extSendLocalReply(request, pending.reply, uint32_t(pending.size), "bbsI");
    else sendBadAlloc(request, length, pending.size);
    dropPending();
  }
  // The mode the context is in decides how its render commands replay on the other heads.
  GlxContextRecord *context = length >= 12 ? glxTagContext(wireGet32(request + 4)) : nullptr;
  if (context && !failed) context->renderMode = wireGet32(request + 8);
}
// ===== end of service =====
