#include <gtest/gtest.h>

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

struct Random {
  unsigned seed;
  int upTo(int n) {
    seed = seed * 1103515245 + 12345;
    return static_cast<int>((seed >> 16) % static_cast<unsigned>(n));
  }
  Rect rect() {
    return Rect{upTo(12) - 3, upTo(12) - 3, static_cast<uint32_t>(upTo(8)), static_cast<uint32_t>(upTo(8))};
  }
};

}  // namespace

TEST(Rect, SubtractIntersectUnionAgainstPixelSets) {
  Random rnd{4711};
  for (int round = 0; round < 3000; round++) {
    Rect r = rnd.rect(), s = rnd.rect();
    Pixels pr = pixelsOf(r), ps = pixelsOf(s);

    Rect common;
    rectIntersect(&common, r, s);
    Pixels both;
    for (const auto &p : pr)
      if (ps.count(p)) both.insert(p);
    ASSERT_EQ(pixelsOf(common), both) << round;

    // Subtraction: the pieces are disjoint, lie in r, and cover exactly r minus s.
    Rect pieces[4];
    int n = rectSubtract(pieces, r, s);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, 4);
    Pixels got;
    size_t total = 0;
    for (int i = 0; i < n; i++) {
      ASSERT_TRUE(pieces[i].width > 0 && pieces[i].height > 0) << round;
      Pixels pp = pixelsOf(pieces[i]);
      total += pp.size();
      got.insert(pp.begin(), pp.end());
    }
    Pixels rest;
    for (const auto &p : pr)
      if (!ps.count(p)) rest.insert(p);
    ASSERT_EQ(got, rest) << round;
    ASSERT_EQ(total, got.size()) << "pieces overlap, round " << round;

    // Union: exactly the bounding box of both pixel sets (an empty one adds nothing).
    Rect u = r;
    rectUnion(&u, s.x, s.y, s.width, s.height);
    Pixels all = pr;
    all.insert(ps.begin(), ps.end());
    Pixels box;
    if (!all.empty()) {
      int minX = INT32_MAX, maxX = INT32_MIN, minY = INT32_MAX, maxY = INT32_MIN;
      for (const auto &p : all) {
        minX = std::min(minX, p.first), maxX = std::max(maxX, p.first);
        minY = std::min(minY, p.second), maxY = std::max(maxY, p.second);
      }
      box = pixelsOf(Rect{minX, minY, static_cast<uint32_t>(maxX - minX + 1), static_cast<uint32_t>(maxY - minY + 1)});
    }
    ASSERT_EQ(pixelsOf(u), box) << round;

    // Containment agrees with the pixel sets for non-empty rectangles.
    if (!pr.empty() && !ps.empty()) {
      bool inside = true;
      for (const auto &p : pr) inside = inside && ps.count(p);
      ASSERT_EQ(rectContains(r, s), inside ? 1 : 0) << round;
    }
  }
}

TEST(Rect, SubtractOrderAndCover) {
  Rect pieces[4];
  EXPECT_EQ(rectSubtract(pieces, Rect{0, 0, 10, 10}, Rect{-1, -1, 12, 12}), 0);
  EXPECT_EQ(rectSubtract(pieces, Rect{0, 0, 0, 10}, Rect{20, 20, 1, 1}), 0);
  ASSERT_EQ(rectSubtract(pieces, Rect{0, 0, 10, 10}, Rect{3, 4, 2, 3}), 4);
  auto same = [](const Rect &a, const Rect &b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
  };
  EXPECT_TRUE(same(pieces[0], Rect{0, 0, 10, 4}));  // above
  EXPECT_TRUE(same(pieces[1], Rect{0, 4, 3, 3}));   // left
  EXPECT_TRUE(same(pieces[2], Rect{5, 4, 5, 3}));   // right
  EXPECT_TRUE(same(pieces[3], Rect{0, 7, 10, 3}));  // below
  ASSERT_EQ(rectSubtract(pieces, Rect{0, 0, 10, 10}, Rect{20, 0, 5, 5}), 1);
  EXPECT_TRUE(same(pieces[0], Rect{0, 0, 10, 10}));
}

TEST(Rect, ClampingAndDistances) {
  Rect r{0, 0, 100, 50};
  int32_t x = 50, y = 25;
  rectClampOutside(&x, &y, r);
  EXPECT_EQ(x, 50);
  EXPECT_EQ(y, 50);  // the bottom edge is nearer than the top one
  x = 3, y = 25;
  rectClampOutside(&x, &y, r);
  EXPECT_EQ(x, -1);
  EXPECT_EQ(y, 25);
  x = 10, y = 10;  // equally near left and top: both move
  rectClampToBorder(&x, &y, Rect{0, 0, 100, 100});
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  x = -7, y = 80;
  rectClampToBorder(&x, &y, r);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 49);

  EXPECT_EQ(rectDistance(r, 50, 25), 0);
  EXPECT_EQ(rectDistance(r, 103, 52), (103 - 99) + (52 - 49));  // from the last column and row
  EXPECT_EQ(rectDistance(r, -4, -6), 4 + 6);
  int32_t dx, dy;
  rectOutsideOffsets(r, -4, 60, &dx, &dy);
  EXPECT_EQ(dx, -4);
  EXPECT_EQ(dy, 11);
  rectOutsideOffsets(r, 99, 0, &dx, &dy);
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);
}

TEST(Rect, FittingAndText) {
  Rect out;
  rectFit(&out, Rect{0, 0, 100, 100}, Rect{90, -5, 30, 20});
  EXPECT_EQ(out.x, 70);
  EXPECT_EQ(out.y, 0);
  EXPECT_EQ(out.width, 30u);
  EXPECT_EQ(out.height, 20u);
  rectFitInside(&out, Rect{-5, 95, 200, 20}, Rect{0, 0, 100, 100});
  EXPECT_EQ(out.x, 0);
  EXPECT_EQ(out.y, 80);
  EXPECT_EQ(out.width, 100u);
  EXPECT_EQ(out.height, 20u);
  rectUnionPoint(&out, Rect{5, 5, 2, 2}, 9, 3);
  EXPECT_EQ(out.x, 5);
  EXPECT_EQ(out.y, 3);
  EXPECT_EQ(out.width, 5u);
  EXPECT_EQ(out.height, 4u);

  EXPECT_STREQ(rectGeometryText(Rect{0, 0, 640, 480}), "640x480");
  EXPECT_STREQ(rectGeometryText(Rect{0, 10, 640, 480}), "640x480+0+10");
  EXPECT_STREQ(rectGeometryText(Rect{-3, 10, 1, 2}), "1x2+-3+10");
}
