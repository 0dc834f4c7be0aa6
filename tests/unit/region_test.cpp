#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "xclient/region.h"
// Xlib's own Region must not collide with ours when both headers are in.
#include "xclient/xutilh.h"

namespace {

struct RegionDeleter {
  void operator()(Region *region) const { regionDestroy(region); }
};
using RegionPtr = std::unique_ptr<Region, RegionDeleter>;

std::vector<XRectangle> rectsOf(const Region *region) {
  long count = -1;
  XRectangle *rects = regionGetRects(region, &count);
  std::vector<XRectangle> out(rects, rects + count);
  EXPECT_EQ(rects == nullptr, count == 0);
  free(rects);
  return out;
}

bool sameRects(const std::vector<XRectangle> &got, const std::vector<XRectangle> &want) {
  if (got.size() != want.size()) return false;
  for (size_t i = 0; i < got.size(); i++) {
    if (got[i].x != want[i].x || got[i].y != want[i].y || got[i].width != want[i].width ||
        got[i].height != want[i].height)
      return false;
  }
  return true;
}

std::string describe(const std::vector<XRectangle> &rects) {
  std::string text;
  for (const XRectangle &r : rects)
    text += std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
            std::to_string(r.height) + "; ";
  return text;
}

}  // namespace

// Building from one rectangle: the ends are computed without wrapping and limited to 32767.
TEST(Region, CreateRectClampsTheEnds) {
  struct Case {
    int32_t x, y;
    uint32_t width, height;
    std::vector<XRectangle> want;
  } cases[] = {
      {10, 20, 30, 40, {{10, 20, 30, 40}}},
      {32000, 0, 1000, 10, {{32000, 0, 767, 10}}},
      {-32768, -32768, 65535, 65535, {{-32768, -32768, 65535, 65535}}},
      {0, 32767, 10, 10, {}},  // nothing of it lies below 32767
      {5, 5, 0, 7, {}},
      {5, 5, 7, 0, {}},
      {70000, 0, 10, 10, {}},  // wider arguments than 16 bits: outside the coordinate space
      {-70000, 0, 10, 10, {}},
      {-70000, 0, 69990, 10, {{-32768, 0, 32758, 10}}},  // the part inside the space stays
  };
  for (const Case &c : cases) {
    RegionPtr region(regionCreateRect(c.x, c.y, c.width, c.height));
    ASSERT_TRUE(region);
    std::vector<XRectangle> got = rectsOf(region.get());
    EXPECT_TRUE(sameRects(got, c.want)) << c.x << "," << c.y << " " << c.width << "x" << c.height
                                        << " gave " << describe(got);
    EXPECT_EQ(pixman_region_not_empty(region.get()) != 0, !c.want.empty());
  }
}

TEST(Region, ResetToAnEmptyRectEmptiesAndKeepsTheCorner) {
  RegionPtr region(regionCreateRect(0, 0, 50, 50));
  regionResetRect(region.get(), 7, 9, 0, 4);
  EXPECT_FALSE(pixman_region_not_empty(region.get()));
  EXPECT_EQ(region->extents.x1, 7);
  EXPECT_EQ(region->extents.y1, 9);
  EXPECT_EQ(region->extents.x2, 7);
  EXPECT_TRUE(rectsOf(region.get()).empty());
  regionResetRect(region.get(), 32000, 1, 1000, 2);
  EXPECT_TRUE(sameRects(rectsOf(region.get()), {{32000, 1, 767, 2}}));
}

TEST(Region, GetRectsOfEmptyOneBoxAndBandedRegions) {
  RegionPtr empty(regionCreate());
  long count = 99;
  EXPECT_EQ(regionGetRects(empty.get(), &count), nullptr);
  EXPECT_EQ(count, 0);

  RegionPtr one(regionCreateRect(-5, 3, 20, 7));
  EXPECT_TRUE(sameRects(rectsOf(one.get()), {{-5, 3, 20, 7}}));
  int16_t x, y;
  uint16_t width, height;
  regionGetRect(one.get(), 0, &x, &y, &width, &height);  // no box data: the extents
  EXPECT_EQ(x, -5);
  EXPECT_EQ(y, 3);
  EXPECT_EQ(width, 20);
  EXPECT_EQ(height, 7);
  regionGetRect(one.get(), 1, &x, &y, &width, &height);  // beyond the count: neutral
  EXPECT_EQ(x, 0);
  EXPECT_EQ(width, 0);

  // Two overlapping squares make three bands, in y-x order.
  RegionPtr banded(regionCreateRect(0, 0, 10, 10));
  ASSERT_EQ(regionUnionWithRect(banded.get(), banded.get(), 5, 5, 10, 10), nullptr);
  std::vector<XRectangle> want = {{0, 0, 10, 5}, {0, 5, 15, 5}, {5, 10, 10, 5}};
  std::vector<XRectangle> got = rectsOf(banded.get());
  EXPECT_TRUE(sameRects(got, want)) << describe(got);
  for (size_t i = 0; i < want.size(); i++) {
    regionGetRect(banded.get(), static_cast<long>(i), &x, &y, &width, &height);
    EXPECT_TRUE(sameRects({{x, y, width, height}}, {want[i]})) << i;
  }
}

// Containment near the ends of the coordinate space, where 16-bit ends would wrap.
TEST(Region, ContainsAtTheEndsOfTheCoordinateSpace) {
  RegionPtr box(regionCreateRect(10, 20, 5, 5));
  RegionPtr high(regionCreateRect(32700, 32700, 1000, 1000));  // clamped to end at 32767
  RegionPtr low(regionCreate());
  ASSERT_EQ(regionUnionRect(low.get(), -40000, -40000, 10, 10), nullptr);
  ASSERT_EQ(regionValidate(low.get()), nullptr);
  struct Case {
    const char *what;
    const Region *region;
    int32_t x, y;
    uint32_t width, height;
    int rect;   // regionContainsRect
    int point;  // regionContainsPoint at x, y
  } cases[] = {
      {"top-left pixel", box.get(), 10, 20, 1, 1, 1, 1},
      {"pixel at x2, y2", box.get(), 15, 25, 1, 1, 0, 0},
      {"last pixel", box.get(), 14, 24, 1, 1, 1, 1},
      {"overlapping", box.get(), 12, 22, 10, 10, 2, 1},
      {"empty rectangle", box.get(), 11, 21, 0, 3, 0, 1},
      {"end beyond 32767", high.get(), 32700, 32700, 100, 100, 1, 1},
      {"partly, end beyond 32767", high.get(), 32600, 32700, 32767, 1, 2, 0},
      {"pixel 32766", high.get(), 32766, 32766, 1, 1, 1, 1},
      {"pixel 32767 (no box reaches it)", high.get(), 32767, 32767, 1, 1, 0, 0},
      {"pixel -32767", low.get(), -32767, -32767, 1, 1, 1, 1},
      {"pixel -32768", low.get(), -32768, -32768, 1, 1, 0, 0},
      {"from -32768", low.get(), -32768, -32768, 3, 3, 2, 0},
      {"far outside", low.get(), -70000, 0, 10, 10, 0, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(regionContainsRect(c.x, c.y, c.width, c.height, c.region), c.rect) << c.what;
    EXPECT_EQ(regionContainsPoint(c.x, c.y, c.region) != 0, c.point != 0) << c.what;
  }
}

TEST(Region, UnionRectAppendsRaisedBoxesUntilValidate) {
  RegionPtr region(regionCreateRect(0, 0, 4, 4));
  ASSERT_EQ(regionUnionRect(region.get(), 100, 100, 0, 5), nullptr);
  ASSERT_EQ(regionUnionRect(region.get(), 100, 100, 5, 0), nullptr);
  EXPECT_EQ(region->pendingCount, 0u);
  // x below -32767 is raised first and the end computed from the raised value.
  ASSERT_EQ(regionUnionRect(region.get(), -40000, 0, 10, 2), nullptr);
  ASSERT_EQ(regionUnionRect(region.get(), 32760, 32760, 100, 100), nullptr);
  ASSERT_EQ(regionValidate(region.get()), nullptr);
  EXPECT_EQ(region->pendingCount, 0u);
  std::vector<XRectangle> want = {{-32767, 0, 10, 2}, {0, 0, 4, 2}, {0, 2, 4, 2},
                                  {32760, 32760, 7, 7}};
  std::vector<XRectangle> got = rectsOf(region.get());
  EXPECT_TRUE(sameRects(got, want)) << describe(got);
}

// Many appends, in no order, then one validate: the same region as pixman's union of the boxes.
TEST(Region, ManyAppendsThenValidateEqualPixmansUnion) {
  unsigned seed = 2024;
  auto upTo = [&seed](int n) { return seed = seed * 1103515245 + 12345, static_cast<int>((seed >> 16) % n); };
  for (int round = 0; round < 20; round++) {
    RegionPtr region(regionCreateRect(upTo(50), upTo(50), upTo(30), upTo(30)));
    pixman_region16_t expected;
    pixman_region_init(&expected);
    ASSERT_TRUE(pixman_region_copy(&expected, region.get()));
    std::vector<XRectangle> added;
    int n = 1 + upTo(600);
    for (int i = 0; i < n; i++) {
      int x = upTo(400) - 100, y = upTo(400) - 100, width = upTo(40), height = upTo(40);
      ASSERT_EQ(regionUnionRect(region.get(), x, y, width, height), nullptr);
      if (width && height) pixman_region_union_rect(&expected, &expected, x, y, width, height);
      added.push_back(XRectangle{static_cast<short>(x), static_cast<short>(y),
                                 static_cast<unsigned short>(width),
                                 static_cast<unsigned short>(height)});
    }
    ASSERT_EQ(regionValidate(region.get()), nullptr);
    EXPECT_TRUE(pixman_region_equal(region.get(), &expected)) << round;

    // The same boxes through regionFromRects, whatever ordering the caller claims.
    RegionPtr fromRects(regionFromRects(static_cast<long>(added.size()), added.data(), RegionYXBanded));
    ASSERT_TRUE(fromRects);
    ASSERT_EQ(regionUnion(fromRects.get(), fromRects.get(), region.get()), nullptr);
    EXPECT_TRUE(pixman_region_equal(fromRects.get(), &expected)) << round;
    pixman_region_fini(&expected);
  }
}

TEST(Region, TwoRegionOperationsAndTranslation) {
  RegionPtr a(regionCreateRect(0, 0, 10, 10)), b(regionCreateRect(5, 0, 10, 10));
  RegionPtr result(regionCreate());
  struct Case {
    const char *what;
    const char *(*operation)(Region *, const Region *, const Region *);
    std::vector<XRectangle> want;
  } cases[] = {
      {"union", regionUnion, {{0, 0, 15, 10}}},
      {"intersect", regionIntersect, {{5, 0, 5, 10}}},
      {"subtract", regionSubtract, {{0, 0, 5, 10}}},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(c.operation(result.get(), a.get(), b.get()), nullptr);
    EXPECT_TRUE(sameRects(rectsOf(result.get()), c.want)) << c.what;
  }
  struct RectCase {
    const char *what;
    const char *(*operation)(Region *, const Region *, int32_t, int32_t, uint32_t, uint32_t);
    uint32_t width;
    std::vector<XRectangle> want;
  } rectCases[] = {
      {"union", regionUnionWithRect, 10, {{0, 0, 15, 10}}},
      {"intersect", regionIntersectRect, 10, {{5, 0, 5, 10}}},
      {"subtract", regionSubtractRect, 10, {{0, 0, 5, 10}}},
      {"union with empty", regionUnionWithRect, 0, {{0, 0, 10, 10}}},
      {"intersect with empty", regionIntersectRect, 0, {}},
      {"subtract empty", regionSubtractRect, 0, {{0, 0, 10, 10}}},
  };
  for (const RectCase &c : rectCases) {
    ASSERT_EQ(c.operation(result.get(), a.get(), 5, 0, c.width, 10), nullptr);
    EXPECT_TRUE(sameRects(rectsOf(result.get()), c.want)) << c.what;
  }

  ASSERT_EQ(regionCopy(result.get(), a.get()), nullptr);
  regionTranslate(result.get(), 32760, -3);  // cut at 32767
  EXPECT_TRUE(sameRects(rectsOf(result.get()), {{32760, -3, 7, 10}}));
  regionTranslate(result.get(), INT32_MAX, 0);  // moved out of the coordinate space
  EXPECT_FALSE(pixman_region_not_empty(result.get()));
  EXPECT_TRUE(sameRects(rectsOf(a.get()), {{0, 0, 10, 10}}));  // the copy's source is untouched

  // Boxes that leave the coordinate space each on a side of its own, while the extents stay
  // partly inside: nothing is left, and the result copies (and frees) as any empty region.
  XRectangle apart[] = {{0, 0, 10, 10}, {30000, 20000, 10, 10}, {100, 20020, 10, 10}};
  for (int withThird : {0, 1}) {
    RegionPtr moved(regionFromRects(2 + withThird, apart, RegionUnsorted));
    ASSERT_TRUE(moved);
    regionTranslate(moved.get(), 2768, -32779);
    std::vector<XRectangle> want;
    if (withThird) want = {{2868, -12759, 10, 10}};
    EXPECT_TRUE(sameRects(rectsOf(moved.get()), want)) << withThird;
    EXPECT_EQ(pixman_region_not_empty(moved.get()) != 0, withThird == 1);
    ASSERT_EQ(regionCopy(result.get(), moved.get()), nullptr);
    EXPECT_TRUE(sameRects(rectsOf(result.get()), want)) << withThird;
  }

  RegionPtr none(regionFromRects(0, nullptr, RegionUnsorted));
  ASSERT_TRUE(none);
  EXPECT_TRUE(rectsOf(none.get()).empty());
}

// A region embedded in a record: appended boxes that are never validated are freed with it.
TEST(Region, FiniFreesAppendedBoxes) {
  Region region;
  regionInit(&region);
  for (int i = 0; i < 100; i++) ASSERT_EQ(regionUnionRect(&region, i * 3, 0, 2, 2), nullptr);
  regionFini(&region);
  regionFini(nullptr);
  regionDestroy(nullptr);
}
