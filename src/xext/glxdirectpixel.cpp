// The pixel queries of GL rendered inside the proxy: stand-ins until heads get GL library
// instances. No instance can be made, so none of them produces anything.
#include "xext/glxdirect.h"

namespace {

template <typename T>
void clear(T *out) {
  if (out) *out = 0;
}

}  // namespace

const uint8_t *glxdirectReadPixels(GlxLibraryInstance *, uint32_t, int32_t, int32_t, int32_t, int32_t, uint32_t,
                                   uint32_t, uint32_t, uint32_t, uint32_t *count, uint32_t *itemSize) {
  clear(count);
  if (itemSize) *itemSize = 1;
  return nullptr;
}

const uint8_t *glxdirectGetPolygonStipple(GlxLibraryInstance *, uint32_t, uint32_t *count) {
  clear(count);
  return nullptr;
}

const uint8_t *glxdirectGetTexImage(GlxLibraryInstance *, uint32_t, uint32_t, int32_t, uint32_t, uint32_t, uint32_t,
                                    int32_t *width, int32_t *height, int32_t *depth, int32_t *border,
                                    uint64_t *size) {
  clear(width);
  clear(height);
  clear(depth);
  clear(border);
  clear(size);
  return nullptr;
}

const uint8_t *glxdirectGetColorTable(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t, int32_t *width,
                                      uint64_t *size) {
  clear(width);
  clear(size);
  return nullptr;
}

const uint8_t *glxdirectGetConvolutionFilter(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t,
                                             int32_t *width, int32_t *height, uint64_t *size) {
  clear(width);
  clear(height);
  clear(size);
  return nullptr;
}

const uint8_t *glxdirectGetSeparableFilter(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t,
                                           int32_t *width, int32_t *height, uint64_t *size) {
  clear(width);
  clear(height);
  clear(size);
  return nullptr;
}

const uint8_t *glxdirectGetHistogram(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                     int32_t *width, uint64_t *size) {
  clear(width);
  clear(size);
  return nullptr;
}

const uint8_t *glxdirectGetMinmax(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return nullptr;
}

int32_t glxdirectGetColorTableParameteriv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) { return 0; }
float glxdirectGetColorTableParameterfv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) { return 0; }

const uint8_t *glxdirectGetConvolutionParameterfv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t,
                                                  uint32_t *count) {
  clear(count);
  return nullptr;
}
const uint8_t *glxdirectGetConvolutionParameteriv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t,
                                                  uint32_t *count) {
  clear(count);
  return nullptr;
}
const uint8_t *glxdirectGetHistogramParameterfv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) {
  return nullptr;
}
const uint8_t *glxdirectGetHistogramParameteriv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) {
  return nullptr;
}
const uint8_t *glxdirectGetMinmaxParameterfv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) { return nullptr; }
const uint8_t *glxdirectGetMinmaxParameteriv(GlxLibraryInstance *, uint32_t, uint32_t, uint32_t) { return nullptr; }

int32_t glxdirectRenderMode(GlxLibraryInstance *, uint32_t, uint32_t, const uint32_t **buffer, uint32_t *size) {
  if (buffer) *buffer = nullptr;
  clear(size);
  return 0;
}
