// Client images unpacked into tight images for the library, and the format/type pairs it cannot
// serve (see glxdirectunpack.h).
#include "xext/glxdirectunpack.h"

#include <cstring>

#include "xext/glxdirect.h"

namespace {

constexpr uint32_t kGlBitmap = 0x1A00;
constexpr uint32_t kGlStencilIndex = 0x1901;
constexpr uint32_t kGlInvalidEnum = 0x0500;
constexpr uint32_t kAnyFormat = 0xFFFFFFFFu;

// The pairs the library cannot serve, tried one by one on Mesa (its software rasteriser) with
// small images of every format and type. Packing any pixels into bits never returns; so does
// unpacking stencil indices from bits for glDrawPixels (the library loops on "Unsupported
// format/type"). A server answers both with GL_INVALID_ENUM; the upload is refused for every
// command alike, whichever of them loops.
struct RefusedPair {
  uint32_t format, type;
  bool reading, uploading;
  uint32_t glError;
};
constexpr RefusedPair kRefused[] = {
    {kAnyFormat, kGlBitmap, true, false, kGlInvalidEnum},
    {kGlStencilIndex, kGlBitmap, true, true, kGlInvalidEnum},
};

// The unit the swap-bytes flag reverses: the element of the type, a packed pixel whole; 1 for
// the one-byte types and bitmaps.
int swapUnit(uint32_t type) {
  switch (type) {
    case 0x1402: case 0x1403: case 0x140B: case 0x8033: case 0x8034: case 0x8363: case 0x8364: case 0x8365: case 0x8366:
    case 0x85BA: case 0x85BB:
      return 2;
    case 0x1404: case 0x1405: case 0x1406: case 0x8035: case 0x8036: case 0x8367: case 0x8368: case 0x84FA:
    case 0x8C3B: case 0x8C3E:
      return 4;
    default:
      return 1;
  }
}

// Bytes of one pixel (0: the pair has no size); not for bitmaps.
int64_t pixelBytes(uint32_t format, uint32_t type) { return glxdirectImageSize(format, type, 0, 1, 1, 1, 0, 0, 0, 0, 1); }

}  // namespace

int64_t glxdirectTightBytes(uint32_t format, uint32_t type, int32_t width, int32_t height, int32_t depth) {
  if (width < 0 || height < 0 || depth < 0) return -1;
  if (width == 0 || height == 0 || depth == 0) return 0;
  int64_t rowBytes;
  if (type == kGlBitmap) {
    if (pixelBytes(format, type) == 0) return -1;
    rowBytes = (int64_t{width} + 7) / 8;
  } else {
    int64_t pixel = pixelBytes(format, type);
    if (pixel == 0) return -1;
    rowBytes = pixel * width;
  }
  // At most 2^31 * 2^31 * 2^31 * 16: saturated beyond what any command holds.
  __int128 total = static_cast<__int128>(rowBytes) * height * depth;
  return total > INT64_MAX ? INT64_MAX : static_cast<int64_t>(total);
}

namespace {

// The strides of the client's image under the state, and how far it reaches (every factor below
// 2^36, every product and sum below 2^127).
struct Reach {
  __int128 rowStride, imageStride, first, reach;
};

Reach reachOf(const GlxUnpackState &state, bool bitmap, int64_t pixel, int32_t width, int32_t height, int32_t depth) {
  int64_t alignment = state.alignment > 0 ? state.alignment : 1;
  int64_t rowPixels = state.rowLength > 0 ? state.rowLength : width;
  int64_t imageRows = state.imageHeight > 0 ? state.imageHeight : height;
  int64_t rowUsed = bitmap ? (rowPixels + 7) / 8 : rowPixels * pixel;
  Reach r;
  r.rowStride = (rowUsed + alignment - 1) / alignment * alignment;
  r.imageStride = r.rowStride * imageRows;
  r.first = int64_t{state.skipImages} * r.imageStride + int64_t{state.skipRows} * r.rowStride;
  // The last byte read: the last row of the last image, from its first pixel (bit) on.
  __int128 rowReach = bitmap ? (int64_t{state.skipPixels} + width + 7) / 8 : (state.skipPixels + int64_t{width}) * pixel;
  r.reach = r.first + (depth - 1) * r.imageStride + (height - 1) * r.rowStride + rowReach;
  return r;
}

}  // namespace

int64_t glxdirectUnpackReach(const GlxUnpackState &state, uint32_t format, uint32_t type, int32_t width,
                             int32_t height, int32_t depth) {
  if (width < 0 || height < 0 || depth < 0) return -1;
  int64_t pixel = pixelBytes(format, type);
  if (pixel == 0) return -1;
  if (width == 0 || height == 0 || depth == 0) return 0;
  __int128 reach = reachOf(state, type == kGlBitmap, pixel, width, height, depth).reach;
  return reach > INT64_MAX ? INT64_MAX : static_cast<int64_t>(reach);
}

const char *glxdirectUnpackImage(const GlxUnpackState &state, uint32_t format, uint32_t type, int32_t width,
                                 int32_t height, int32_t depth, const uint8_t *source, uint64_t sourceBytes,
                                 uint8_t *out) {
  if (width < 0 || height < 0 || depth < 0) return "negative image size";
  if (width == 0 || height == 0 || depth == 0) return nullptr;
  bool bitmap = type == kGlBitmap;
  int64_t pixel = pixelBytes(format, type);
  if (pixel == 0) return "pixel format or type without a size";
  Reach r = reachOf(state, bitmap, pixel, width, height, depth);
  __int128 rowStride = r.rowStride, imageStride = r.imageStride, first = r.first;
  int64_t tightRow = bitmap ? (int64_t{width} + 7) / 8 : pixel * width;
  if (r.reach > static_cast<__int128>(sourceBytes)) return "image beyond the bytes carried";
  int unit = bitmap ? 1 : swapUnit(type);
  for (int64_t z = 0; z < depth; z++) {
    for (int64_t y = 0; y < height; y++) {
      const uint8_t *row = source + static_cast<uint64_t>(first + z * imageStride + y * rowStride);
      uint8_t *to = out + (z * height + y) * tightRow;
      if (bitmap) {
        // Bit skipPixels + x of the row, in the client's bit order, to bit x, most significant
        // first.
        std::memset(to, 0, static_cast<size_t>(tightRow));
        for (int64_t x = 0; x < width; x++) {
          int64_t bit = state.skipPixels + x;
          uint8_t byte = row[bit / 8];
          bool set = state.lsbFirst ? (byte >> (bit % 8)) & 1 : (byte >> (7 - bit % 8)) & 1;
          if (set) to[x / 8] |= uint8_t(0x80u >> (x % 8));
        }
        continue;
      }
      const uint8_t *from = row + state.skipPixels * pixel;
      if (!state.swapBytes || unit == 1) {
        std::memcpy(to, from, static_cast<size_t>(tightRow));
        continue;
      }
      for (int64_t k = 0; k < tightRow; k += unit)
        for (int b = 0; b < unit; b++) to[k + b] = from[k + unit - 1 - b];
    }
  }
  return nullptr;
}

bool glxdirectPixelsRefused(uint32_t format, uint32_t type, bool reading, uint32_t *glError) {
  for (const RefusedPair &pair : kRefused) {
    if (pair.type != type || (pair.format != kAnyFormat && pair.format != format)) continue;
    if (reading ? !pair.reading : !pair.uploading) continue;
    if (glError) *glError = pair.glError;
    return true;
  }
  return false;
}

uint32_t glxdirectPixelsError(uint32_t format, uint32_t type) {
  constexpr uint32_t kGlInvalidOperation = 0x0502, kGlUnsignedByte = 0x1401, kGlRgba = 0x1908;
  // A format or type of no size by itself is unknown; each known but not together, a mismatch.
  bool knownType = type == kGlBitmap || glxdirectImageSize(kGlRgba, type, 0, 1, 1, 1, 0, 0, 0, 0, 1) > 0;
  bool knownFormat = glxdirectImageSize(format, kGlUnsignedByte, 0, 1, 1, 1, 0, 0, 0, 0, 1) > 0;
  if (!knownType || !knownFormat || type == kGlBitmap) return kGlInvalidEnum;
  return kGlInvalidOperation;
}
