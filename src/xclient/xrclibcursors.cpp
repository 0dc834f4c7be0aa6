// The remote-control library's cursors and image records.
#include "xclient/xrclibcursors.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "support/strings.h"
#include "xclient/xrclib.h"

namespace {

constexpr int kBuiltinSize = 32;
constexpr int kBuiltinHot = 16;

// A duplicate of size bytes; NULL for no data. *failed on an allocation failure.
char *duplicate(const char *data, uint64_t size, bool *failed) {
  if (!data) return nullptr;
  if (size > kXrcImageMaxBytes) {
    *failed = true;
    return nullptr;
  }
  auto copy = static_cast<char *>(malloc(size ? static_cast<size_t>(size) : 1));
  if (!copy) {
    *failed = true;
    return nullptr;
  }
  memcpy(copy, data, static_cast<size_t>(size));
  return copy;
}

// One record's deep copy; on failure nothing is allocated.
const char *copyOne(XrcImage *target, const XrcImage &source) {
  XrcImage copy = source;
  copy.data = copy.mask = nullptr;
  bool failed = false;
  uint64_t dataSize = xrcImageDataSize(&source);
  if (source.data && source.mask == source.data) {
    // A shared buffer is copied once, at the larger of the two sizes, and shared again.
    uint64_t maskSize = xrcImageMaskSize(&source);
    copy.data = duplicate(source.data, dataSize > maskSize ? dataSize : maskSize, &failed);
    copy.mask = copy.data;
  } else {
    copy.data = duplicate(source.data, dataSize, &failed);
    copy.mask = failed ? nullptr : duplicate(source.mask, xrcImageMaskSize(&source), &failed);
  }
  if (failed) {
    free(copy.data);
    if (copy.mask != copy.data) free(copy.mask);
    return strTempPrintf("Out of memory (%s:%d) for a %ux%ux%u image", "xrclibcursors",
                         __LINE__, source.width, source.height, source.depth);
  }
  *target = copy;
  return nullptr;
}

// A depth-1 cursor of the size whose source and mask bits the two functions give.
Cursor bitmapCursor(Display *display, unsigned width, unsigned height, unsigned hotX,
                    unsigned hotY, const std::function<bool(unsigned, unsigned)> &source,
                    const std::function<bool(unsigned, unsigned)> &mask) {
  size_t stride = (width + 7) / 8;
  std::vector<char> sourceBits(stride * height), maskBits(stride * height);
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      char bit = static_cast<char>(1u << (x % 8));
      if (source(x, y)) sourceBits[y * stride + x / 8] |= bit;
      if (mask(x, y)) maskBits[y * stride + x / 8] |= bit;
    }
  }
  Window root = DefaultRootWindow(display);
  Pixmap sourcePixmap = XCreateBitmapFromData(display, root, sourceBits.data(), width, height);
  Pixmap maskPixmap = XCreateBitmapFromData(display, root, maskBits.data(), width, height);
  XColor black{}, white{};
  white.red = white.green = white.blue = 0xffff;
  Cursor cursor = XCreatePixmapCursor(display, sourcePixmap, maskPixmap, &black, &white, hotX,
                                      hotY);
  XFreePixmap(display, sourcePixmap);
  XFreePixmap(display, maskPixmap);
  return cursor;
}

// Sets the cursor on the window, or on the active pointer grab without one, and frees it.
const char *applyCursor(Display *display, Window window, Cursor cursor) {
  if (window) {
    XDefineCursor(display, window, cursor);
  } else {
    XChangeActivePointerGrab(display, ButtonPressMask | ButtonReleaseMask, cursor, CurrentTime);
  }
  if (cursor) XFreeCursor(display, cursor);
  xrcFlushIfWanted(display);
  return nullptr;
}

}  // namespace

uint64_t xrcImageDataSize(const XrcImage *image) {
  return (uint64_t{image->width} * image->depth + 7) / 8 * image->height;
}

uint64_t xrcImageMaskSize(const XrcImage *image) {
  return (uint64_t{image->width} + 7) / 8 * image->height;
}

const char *xrcCopyImages(XrcImage *target, const XrcImage *source, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (const char *error = copyOne(&target[i], source[i])) {
      for (size_t j = 0; j < i; j++) xrcClearImage(&target[j]);
      target[i] = XrcImage{};
      return error;
    }
  }
  return nullptr;
}

const char *xrcAssignImage(XrcImage *target, const XrcImage *source) {
  XrcImage copy{};
  if (const char *error = copyOne(&copy, *source)) return error;
  xrcClearImage(target);
  *target = copy;
  return nullptr;
}

const char *xrcGrowImages(XrcImage **array, size_t count, size_t newCount) {
  if (newCount > kXrcImageMaxBytes / sizeof(XrcImage)) {
    return strTempPrintf("Out of memory (%s:%d) for %zu images", "xrclibcursors", __LINE__,
                         newCount);
  }
  for (size_t i = newCount; i < count; i++) xrcClearImage(&(*array)[i]);
  if (newCount == 0) {
    free(*array);
    *array = nullptr;
    return nullptr;
  }
  auto grown = static_cast<XrcImage *>(realloc(*array, newCount * sizeof(XrcImage)));
  if (!grown) {
    return strTempPrintf("Out of memory (%s:%d) for %zu images", "xrclibcursors", __LINE__,
                         newCount);
  }
  for (size_t i = count; i < newCount; i++) grown[i] = XrcImage{};
  *array = grown;
  return nullptr;
}

void xrcClearImage(XrcImage *image) {
  if (!image) return;
  if (image->mask != image->data) free(image->mask);
  free(image->data);
  *image = XrcImage{};
}

void xrcFreeImages(XrcImage *array, size_t count) {
  if (!array) return;
  for (size_t i = 0; i < count; i++) xrcClearImage(&array[i]);
  free(array);
}

Cursor xrcCreateInvisibleCursor(Display *display) {
  if (!display) return None;
  return bitmapCursor(display, 1, 1, 0, 0, [](unsigned, unsigned) { return false; },
                      [](unsigned, unsigned) { return false; });
}

Cursor xrcCreateBuiltinCursor(Display *display, int which) {
  if (!display) return None;
  auto distance2 = [](unsigned x, unsigned y) {
    int dx = static_cast<int>(x) - kBuiltinHot, dy = static_cast<int>(y) - kBuiltinHot;
    return dx * dx + dy * dy;
  };
  if (which == 0) {
    // Two rings and a dot, each line with a white outline.
    auto ring = [&](unsigned x, unsigned y, int widen) {
      int d = distance2(x, y);
      auto within = [&](int r) { return d >= (r - 1 - widen) * (r - 1 - widen) && d <= (r + widen) * (r + widen); };
      return within(14) || within(8) || d <= (2 + widen) * (2 + widen);
    };
    return bitmapCursor(
        display, kBuiltinSize, kBuiltinSize, kBuiltinHot, kBuiltinHot,
        [&](unsigned x, unsigned y) { return ring(x, y, 0); },
        [&](unsigned x, unsigned y) { return ring(x, y, 1); });
  }
  auto line = [](unsigned x, unsigned y, unsigned widen) {
    auto near = [&](unsigned a) { return a + widen + 1 >= kBuiltinHot && a <= kBuiltinHot + widen; };
    return (near(x) && y > 0) || (near(y) && x > 0);
  };
  return bitmapCursor(
      display, kBuiltinSize, kBuiltinSize, kBuiltinHot, kBuiltinHot,
      [&](unsigned x, unsigned y) { return line(x, y, 0); },
      [&](unsigned x, unsigned y) { return line(x, y, 1); });
}

const char *xrcSetFrameCursor(Display *display, Window window, unsigned width, unsigned height) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (width == 0 || height == 0) return applyCursor(display, window, None);
  if (width > 0x7fff || height > 0x7fff) {
    return xrcError(display, "Frame cursor %ux%u is too large", width, height);
  }
  auto border = [width, height](unsigned x, unsigned y, unsigned thickness) {
    return x < thickness || y < thickness || x + thickness >= width || y + thickness >= height;
  };
  Cursor cursor = bitmapCursor(
      display, width, height, width / 2, height / 2,
      [&](unsigned x, unsigned y) { return border(x, y, 1); },
      [&](unsigned x, unsigned y) { return border(x, y, 2); });
  return applyCursor(display, window, cursor);
}

const char *xrcSetCrossCursor(Display *display, Window window, unsigned width, unsigned height) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (width <= 2 || height <= 2) {
    return xrcError(display, "Cross cursor %ux%u is too small", width, height);
  }
  if (width > 0x7fff || height > 0x7fff) {
    return xrcError(display, "Cross cursor %ux%u is too large", width, height);
  }
  unsigned centreX = width / 2, centreY = height / 2;
  auto cross = [=](unsigned x, unsigned y, unsigned widen) {
    return (x + widen >= centreX && x <= centreX + widen) ||
           (y + widen >= centreY && y <= centreY + widen);
  };
  Cursor cursor = bitmapCursor(
      display, width, height, centreX, centreY,
      [&](unsigned x, unsigned y) { return cross(x, y, 0); },
      [&](unsigned x, unsigned y) { return cross(x, y, 1); });
  return applyCursor(display, window, cursor);
}

const char *xrcSetInvisibleCursor(Display *display, Window window) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  return applyCursor(display, window, xrcCreateInvisibleCursor(display));
}

const char *xrcSetFontCursor(Display *display, Window window, unsigned shape) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (shape >= 154 || (shape & 1)) return xrcError(display, "No font cursor #%u", shape);
  return applyCursor(display, window, XCreateFontCursor(display, shape));
}

const char *xrcSetBuiltinCursor(Display *display, Window window, int which) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  return applyCursor(display, window, xrcCreateBuiltinCursor(display, which));
}
