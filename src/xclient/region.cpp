// Regions: pixman's 16-bit regions seen through X rectangles (x, y, width, height).
#include "xclient/region.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>

#include "support/strings.h"

namespace {

constexpr int64_t kCoordMin = -32768;
constexpr int64_t kCoordMax = 32767;
// regionUnionRect raises x and y to this before it computes the ends.
constexpr int64_t kAppendMin = -32767;

int16_t toCoord(int64_t v) { return static_cast<int16_t>(std::clamp(v, kCoordMin, kCoordMax)); }

// The clamped box of a rectangle. The ends are computed in 64 bits, so that x + width cannot wrap
// (at 32767 a 16-bit end would turn negative), then limited to 32767. Since width and height
// are unsigned, x2 >= x1 and y2 >= y1 after clamping: the box is valid, possibly empty.
RegionBox clampedBox(int64_t x, int64_t y, uint32_t width, uint32_t height) {
  return RegionBox{toCoord(x), toCoord(y), toCoord(x + width), toCoord(y + height)};
}

bool boxIsEmpty(const RegionBox &box) { return box.x1 >= box.x2 || box.y1 >= box.y2; }

void dropPendingBoxes(Region *region) {
  free(region->pendingBoxes);
  region->pendingBoxes = nullptr;
  region->pendingCount = region->pendingSize = 0;
}

// Sets an initialised pixman region to exactly the box. An empty box gives an empty region
// whose extents keep the box's top-left corner, as pixman's own emptying does; pixman's reset
// would instead make a region of one empty box, which pixman counts as not empty.
void setToBox(pixman_region16_t *region, const RegionBox &box) {
  if (boxIsEmpty(box)) {
    pixman_region_fini(region);
    pixman_region_init(region);
    region->extents = RegionBox{box.x1, box.y1, box.x1, box.y1};
  } else {
    pixman_region_reset(region, const_cast<RegionBox *>(&box));
  }
}

const char *resultText(pixman_bool_t ok) { return ok ? nullptr : OUT_OF_MEMORY_TEXT_AT("region"); }

// The three operations with a rectangle: the clamped box as a temporary region without box data.
using RegionOperation = pixman_bool_t (*)(pixman_region16_t *, const pixman_region16_t *,
                                          const pixman_region16_t *);
const char *operateWithRect(RegionOperation operation, Region *destination, const Region *source,
                            int32_t x, int32_t y, uint32_t width, uint32_t height) {
  pixman_region16_t box;
  pixman_region_init(&box);
  setToBox(&box, clampedBox(x, y, width, height));
  const char *problem = resultText(operation(destination, source, &box));
  pixman_region_fini(&box);
  return problem;
}

}  // namespace

// --- Life cycle ---------------------------------------------------------------------------

void regionInit(Region *region) {
  pixman_region_init(region);
  region->pendingBoxes = nullptr;
  region->pendingCount = region->pendingSize = 0;
}

void regionFini(Region *region) {
  if (!region) return;
  // A zeroed record has no box data; pixman frees only data of its own.
  pixman_region_fini(region);
  dropPendingBoxes(region);
}

Region *regionCreate() {
  Region *region = new (std::nothrow) Region{};
  if (region) regionInit(region);
  return region;
}

Region *regionCreateRect(int32_t x, int32_t y, uint32_t width, uint32_t height) {
  Region *region = regionCreate();
  if (region) setToBox(region, clampedBox(x, y, width, height));
  return region;
}

void regionDestroy(Region *region) {
  if (!region) return;
  regionFini(region);
  delete region;
}

const char *regionCopy(Region *destination, const Region *source) {
  dropPendingBoxes(destination);
  return resultText(pixman_region_copy(destination, source));
}

// --- Rectangles in and out ------------------------------------------------------------------

void regionResetRect(Region *region, int32_t x, int32_t y, uint32_t width, uint32_t height) {
  dropPendingBoxes(region);
  setToBox(region, clampedBox(x, y, width, height));
}

void regionBoxToRect(const RegionBox *box, int16_t *x, int16_t *y, uint16_t *width,
                     uint16_t *height) {
  *x = box->x1;
  *y = box->y1;
  *width = static_cast<uint16_t>(box->x2 - box->x1);
  *height = static_cast<uint16_t>(box->y2 - box->y1);
}

void regionGetRect(const Region *region, long index, int16_t *x, int16_t *y, uint16_t *width,
                   uint16_t *height) {
  int count = 0;
  // pixman answers a region without box data with its extents as the one box.
  const RegionBox *boxes = pixman_region_rectangles(region, &count);
  if (index < 0 || index >= count) {
    *x = *y = 0;
    *width = *height = 0;
    return;
  }
  regionBoxToRect(&boxes[index], x, y, width, height);
}

XRectangle *regionGetRects(const Region *region, long *count) {
  *count = 0;
  if (!pixman_region_not_empty(region)) return nullptr;
  int n = 0;
  const RegionBox *boxes = pixman_region_rectangles(region, &n);
  if (n <= 0) return nullptr;
  auto *rects = static_cast<XRectangle *>(malloc(static_cast<size_t>(n) * sizeof(XRectangle)));
  if (!rects) return nullptr;
  for (int i = 0; i < n; i++) {
    int16_t x, y;
    uint16_t width, height;
    regionBoxToRect(&boxes[i], &x, &y, &width, &height);
    rects[i] = XRectangle{x, y, width, height};
  }
  *count = n;
  return rects;
}

Region *regionFromRects(long count, const XRectangle *rectangles, int /*ordering*/) {
  // pixman sorts and merges whatever order it gets, so the client's ordering is never trusted.
  Region *region = regionCreate();
  if (!region || count <= 0) return region;
  if (count > INT_MAX) {
    regionDestroy(region);
    return nullptr;
  }
  auto *boxes = static_cast<RegionBox *>(malloc(static_cast<size_t>(count) * sizeof(RegionBox)));
  if (!boxes) {
    regionDestroy(region);
    return nullptr;
  }
  for (long i = 0; i < count; i++) {
    const XRectangle &r = rectangles[i];
    boxes[i] = clampedBox(r.x, r.y, r.width, r.height);
  }
  pixman_region_fini(region);
  // pixman drops the empty boxes itself.
  bool ok = pixman_region_init_rects(region, boxes, static_cast<int>(count));
  free(boxes);
  if (!ok) {
    regionDestroy(region);
    return nullptr;
  }
  return region;
}

Region *regionFromRects2(long count, const XRectangle *rectangles, int ordering) {
  return regionFromRects(count, rectangles, ordering);
}

// --- Tests ----------------------------------------------------------------------------------

int regionContainsRect(int32_t x, int32_t y, uint32_t width, uint32_t height,
                       const Region *region) {
  RegionBox box = clampedBox(x, y, width, height);
  if (boxIsEmpty(box)) return 0;
  switch (pixman_region_contains_rectangle(region, &box)) {
    case PIXMAN_REGION_IN: return 1;
    case PIXMAN_REGION_PART: return 2;
    default: return 0;
  }
}

int regionContainsPoint(int32_t x, int32_t y, const Region *region) {
  return regionContainsRect(x, y, 1, 1, region) != 0;
}

// --- Arithmetic -----------------------------------------------------------------------------

const char *regionUnionRect(Region *region, int32_t x, int32_t y, uint32_t width,
                            uint32_t height) {
  if (width == 0 || height == 0) return nullptr;
  int64_t raisedX = std::max<int64_t>(x, kAppendMin), raisedY = std::max<int64_t>(y, kAppendMin);
  RegionBox box = clampedBox(raisedX, raisedY, width, height);
  if (boxIsEmpty(box)) return nullptr;  // wholly beyond 32767: nothing of it is representable
  if (region->pendingCount == region->pendingSize) {
    // pixman takes the box count as an int.
    if (region->pendingSize >= INT_MAX / 2) return OUT_OF_MEMORY_TEXT_AT("region");
    uint32_t size = region->pendingSize ? region->pendingSize * 2 : 16;
    auto *boxes = static_cast<RegionBox *>(
        realloc(region->pendingBoxes, static_cast<size_t>(size) * sizeof(RegionBox)));
    if (!boxes) return OUT_OF_MEMORY_TEXT_AT("region");
    region->pendingBoxes = boxes;
    region->pendingSize = size;
  }
  region->pendingBoxes[region->pendingCount++] = box;
  return nullptr;
}

const char *regionValidate(Region *region) {
  if (region->pendingCount == 0) return nullptr;
  pixman_region16_t appended;
  bool ok = pixman_region_init_rects(&appended, region->pendingBoxes,
                                     static_cast<int>(region->pendingCount));
  dropPendingBoxes(region);
  if (ok) ok = pixman_region_union(region, region, &appended);
  pixman_region_fini(&appended);
  return resultText(ok);
}

const char *regionUnionWithRect(Region *destination, const Region *source, int32_t x, int32_t y,
                                uint32_t width, uint32_t height) {
  return operateWithRect(pixman_region_union, destination, source, x, y, width, height);
}

const char *regionIntersectRect(Region *destination, const Region *source, int32_t x, int32_t y,
                                uint32_t width, uint32_t height) {
  return operateWithRect(pixman_region_intersect, destination, source, x, y, width, height);
}

const char *regionSubtractRect(Region *destination, const Region *source, int32_t x, int32_t y,
                               uint32_t width, uint32_t height) {
  return operateWithRect(pixman_region_subtract, destination, source, x, y, width, height);
}

const char *regionUnion(Region *destination, const Region *a, const Region *b) {
  return resultText(pixman_region_union(destination, a, b));
}

const char *regionIntersect(Region *destination, const Region *a, const Region *b) {
  return resultText(pixman_region_intersect(destination, a, b));
}

const char *regionSubtract(Region *destination, const Region *a, const Region *b) {
  return resultText(pixman_region_subtract(destination, a, b));
}

void regionTranslate(Region *region, int32_t dx, int32_t dy) {
  const RegionBox &e = region->extents;
  if (e.x1 + int64_t(dx) >= kCoordMin && e.x2 + int64_t(dx) <= kCoordMax && e.y1 + int64_t(dy) >= kCoordMin &&
      e.y2 + int64_t(dy) <= kCoordMax) {
    pixman_region_translate(region, dx, dy);
    return;
  }
  // Parts leave the coordinate space: each box is cut on its own and the region rebuilt from
  // what is left. (pixman cuts in place, and where every box leaves on a side of its own while
  // the extents do not, it keeps a region of no boxes whose data a copy then mistakes for boxes.)
  int count = 0;
  const RegionBox *boxes = pixman_region_rectangles(region, &count);
  auto *kept = static_cast<RegionBox *>(malloc(size_t(std::max(count, 1)) * sizeof(RegionBox)));
  int keptCount = 0;
  for (int i = 0; kept && i < count; i++) {
    RegionBox box{toCoord(boxes[i].x1 + int64_t(dx)), toCoord(boxes[i].y1 + int64_t(dy)),
                  toCoord(boxes[i].x2 + int64_t(dx)), toCoord(boxes[i].y2 + int64_t(dy))};
    if (!boxIsEmpty(box)) kept[keptCount++] = box;
  }
  pixman_region_fini(region);
  // Without memory for the boxes the region is left empty.
  if (keptCount == 0 || !pixman_region_init_rects(region, kept, keptCount)) pixman_region_init(region);
  free(kept);
}
