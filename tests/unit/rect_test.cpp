#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <utility>

#include "support/rect.h"

namespace {

using Pixels = std::set<std::pair<int, int>>;

Pixels pixelsOf(const Rect &r) {
  Pixels p;
  for (uint32_t dy = 0; dy < r.height; dy++)
    for (uint32_t dx = 0; dx < r.width; dx++) p.insert({r.x + static_cast<int>(dx), r.y + static_cast<int>(dy)});
  return p;
}

bool operator==(const Rect &a, const Rect &b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

}  // namespace

// Random small rectangles (empty ones included) checked against brute-force pixel sets.
TEST(Rect, SubtractIntersectUnionAgainstPixelSets) {
  unsigned seed = 4711;
  auto upTo = [&seed](int n) { return seed = seed * 1103515245 + 12345, static_cast<int>((seed >> 16) % n); };
  auto random = [&] { return Rect{upTo(12) - 3, upTo(12) - 3, uint32_t(upTo(8)), uint32_t(upTo(8))}; };
  for (int round = 0; round < 3000; round++) {
    Rect r = random(), s = random(), common, pieces[4];
    Pixels pr = pixelsOf(r), ps = pixelsOf(s), both, rest, got, all = pr;
    for (const auto &p : pr) (ps.count(p) ? both : rest).insert(p);
    all.insert(ps.begin(), ps.end());

    rectIntersect(&common, r, s);
    ASSERT_EQ(pixelsOf(common), both) << round;

    // The pieces are non-empty, disjoint and cover exactly r minus s.
    int n = rectSubtract(pieces, r, s);
    ASSERT_TRUE(n >= 0 && n <= 4);
    size_t total = 0;
    for (int i = 0; i < n; i++) {
      Pixels pp = pixelsOf(pieces[i]);
      ASSERT_FALSE(pp.empty()) << round;
      total += pp.size();
      got.insert(pp.begin(), pp.end());
    }
    ASSERT_EQ(got, rest) << round;
    ASSERT_EQ(total, got.size()) << "pieces overlap, round " << round;

    // The union is the bounding box of both pixel sets (an empty one adds nothing).
    Rect u = r;
    rectUnion(&u, s.x, s.y, s.width, s.height);
    int x1 = 99, y1 = 99, x2 = -99, y2 = -99;
    for (const auto &[x, y] : all) x1 = std::min(x1, x), x2 = std::max(x2, x), y1 = std::min(y1, y), y2 = std::max(y2, y);
    Pixels box;
    for (int y = y1; y <= y2; y++)
      for (int x = x1; x <= x2; x++) box.insert({x, y});
    ASSERT_EQ(pixelsOf(u), box) << round;

    if (!pr.empty() && !ps.empty()) {
      ASSERT_EQ(rectContains(r, s), std::includes(ps.begin(), ps.end(), pr.begin(), pr.end()) ? 1 : 0) << round;
    }
  }
}

TEST(Rect, SubtractOrder) {
  Rect pieces[4];
  EXPECT_EQ(rectSubtract(pieces, Rect{0, 0, 10, 10}, Rect{-1, -1, 12, 12}), 0);
  ASSERT_EQ(rectSubtract(pieces, Rect{0, 0, 10, 10}, Rect{3, 4, 2, 3}), 4);
  EXPECT_TRUE(pieces[0] == (Rect{0, 0, 10, 4}));  // above
  EXPECT_TRUE(pieces[1] == (Rect{0, 4, 3, 3}));   // left
  EXPECT_TRUE(pieces[2] == (Rect{5, 4, 5, 3}));   // right
  EXPECT_TRUE(pieces[3] == (Rect{0, 7, 10, 3}));  // below
}

// Points move to the nearest edge (both coordinates on a tie); distances count from the last pixel.
TEST(Rect, ClampingAndDistances) {
  struct Case { Rect r; bool outside; int32_t x, y, wantX, wantY; } cases[] = {
      {{0, 0, 100, 50}, true, 50, 25, 50, 50},    // bottom edge nearer: the row below
      {{0, 0, 100, 50}, true, 3, 25, -1, 25},     // left edge nearer: the column left of r
      {{0, 0, 100, 100}, false, 10, 10, 0, 0},    // left and top equally near: both move
      {{0, 0, 100, 50}, false, -7, 80, 0, 49},    // outside: clamped into r
      {{INT32_MIN, 0, 10, 10}, true, INT32_MIN, -50, INT32_MIN, -1}};  // no overflow at the range's edge
  for (const Case &c : cases) {
    int32_t x = c.x, y = c.y;
    (c.outside ? rectClampOutside : rectClampToBorder)(&x, &y, c.r);
    EXPECT_EQ(std::make_pair(x, y), std::make_pair(c.wantX, c.wantY)) << c.x << "," << c.y;
  }
  Rect r{0, 0, 100, 50};
  EXPECT_EQ(rectDistance(r, 50, 25), 0);
  EXPECT_EQ(rectDistance(r, 103, 52), (103 - 99) + (52 - 49));
  int32_t dx, dy;
  rectOutsideOffsets(r, -4, 60, &dx, &dy);
  EXPECT_EQ(std::make_pair(dx, dy), std::make_pair(-4, 11));
  rectOutsideOffsets(r, 99, 0, &dx, &dy);
  EXPECT_EQ(std::make_pair(dx, dy), std::make_pair(0, 0));
}

TEST(Rect, FittingAndText) {
  Rect out;
  rectFit(&out, Rect{0, 0, 100, 100}, Rect{90, -5, 30, 20});
  EXPECT_TRUE(out == (Rect{70, 0, 30, 20}));
  rectFitInside(&out, Rect{-5, 95, 200, 20}, Rect{0, 0, 100, 100});
  EXPECT_TRUE(out == (Rect{0, 80, 100, 20}));
  rectUnionPoint(&out, Rect{5, 5, 2, 2}, 9, 3);
  EXPECT_TRUE(out == (Rect{5, 3, 5, 4}));
  rectUnionPoint(&out, Rect{5, 5, 0, 2}, 9, 3);
  EXPECT_TRUE(out == (Rect{9, 3, 1, 1}));
  EXPECT_STREQ(rectGeometryText(Rect{0, 0, 640, 480}), "640x480");
  EXPECT_STREQ(rectGeometryText(Rect{0, 10, 640, 480}), "640x480+0+10");
}
