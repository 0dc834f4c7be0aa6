#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "proxy/xpointer.h"

namespace {

constexpr int32_t kMM = 10000;  // units per millimetre

HeadPointerArea area(int32_t x, int32_t y, int32_t width, int32_t height, uint8_t wrapX = 0, uint8_t wrapY = 0) {
  HeadPointerArea a{};
  a.x = x, a.y = y, a.width = width, a.height = height, a.wrapX = wrapX, a.wrapY = wrapY;
  return a;
}

// One pointer on head `from` of a small layout, tried against one candidate.
struct CrossCase {
  const char *name;
  std::vector<HeadPointerArea> heads;
  size_t from;
  int32_t pointerX, pointerY;
  size_t candidate;
  uint32_t result;
  bool destinationSet;
  int32_t destinationX, destinationY;
};

constexpr int32_t kBig = 0x70000000;

class CrossTable : public testing::TestWithParam<CrossCase> {};

TEST_P(CrossTable, ResultAndDestination) {
  CrossCase c = GetParam();
  std::vector<HeadPointerArea> heads = c.heads;
  heads[c.from].pointerX = c.pointerX;
  heads[c.from].pointerY = c.pointerY;
  heads[c.from].pointerValue = 77;
  HeadPointerArea &candidate = heads[c.candidate];
  candidate.destinationX = -12345, candidate.destinationY = -12345, candidate.destinationValue = 0;
  uint32_t result = xpointerCross(&heads[c.from], &candidate);
  EXPECT_EQ(result, c.result) << c.name;
  if (c.destinationSet) {
    EXPECT_EQ(candidate.destinationX, c.destinationX) << c.name;
    EXPECT_EQ(candidate.destinationY, c.destinationY) << c.name;
    EXPECT_EQ(candidate.destinationValue, 77u) << c.name;
  } else {
    EXPECT_EQ(candidate.destinationX, -12345) << c.name;
    EXPECT_EQ(candidate.destinationValue, 0u) << c.name;
  }
}

const HeadPointerArea kLeft = area(0, 0, 300 * kMM, 200 * kMM);
const HeadPointerArea kTouching = area(300 * kMM, 0, 300 * kMM, 200 * kMM);
const HeadPointerArea kGap5 = area(305 * kMM, 0, 300 * kMM, 200 * kMM);
const HeadPointerArea kDiagonal = area(300 * kMM, 200 * kMM, 100 * kMM, 100 * kMM);
const HeadPointerArea kDisabled = [] {
  HeadPointerArea a = area(300 * kMM, 0, 300 * kMM, 200 * kMM);
  a.disabled = 1;
  return a;
}();
const HeadPointerArea kDiagonalFar = area(300 * kMM + 10, 200 * kMM + 10, 100 * kMM, 100 * kMM);
const int32_t kRightEdge = 300 * kMM - 1;
// The result of a wrap: the pointer re-enters from plus or minus infinity.
constexpr uint32_t viaPlus(int64_t lastUnit) { return uint32_t(2 + (int64_t(kPointerPlusInfinity) - lastUnit)); }
constexpr uint32_t viaMinus(int64_t firstUnit) { return uint32_t(2 + (firstUnit - int64_t(kPointerMinusInfinity))); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, CrossTable,
    testing::Values(
        CrossCase{"touching heads: right edge lands at the same height", {kLeft, kTouching}, 0, kRightEdge,
                  100 * kMM, 1, 1, true, 300 * kMM, 100 * kMM},
        CrossCase{"pointer already inside the candidate", {kLeft, kTouching}, 0, 400 * kMM, 50 * kMM, 1, 0, true,
                  400 * kMM, 50 * kMM},
        CrossCase{"5 mm gap gives 2 + 50000", {kLeft, kGap5}, 0, kRightEdge, 100 * kMM, 1, 2 + 50000, true,
                  305 * kMM, 100 * kMM},
        CrossCase{"disabled candidate", {kLeft, kDisabled}, 0, kRightEdge, 100 * kMM, 1, kPointerUnreachable,
                  false, 0, 0},
        CrossCase{"own head without wrap at an edge", {kLeft}, 0, kRightEdge, 100 * kMM, 0, kPointerOwnHead, false,
                  0, 0},
        CrossCase{"wrapX alone re-enters at the own right edge", {area(0, 0, 300 * kMM, 200 * kMM, 1)}, 0, 0,
                  100 * kMM, 0, viaPlus(kRightEdge), true, kRightEdge, 100 * kMM},
        CrossCase{"wrapY alone re-enters at the own top", {area(0, 0, 300 * kMM, 200 * kMM, 0, 1)}, 0, 10 * kMM,
                  200 * kMM - 1, 0, viaMinus(0), true, 10 * kMM, 0},
        CrossCase{"corner: own head gives -2 with its destination at that corner", {kLeft}, 0, kRightEdge,
                  200 * kMM - 1, 0, kPointerOwnHead, true, kRightEdge, 200 * kMM - 1},
        CrossCase{"corner: a head touching diagonally wins", {kLeft, kDiagonal}, 0, kRightEdge, 200 * kMM - 1, 1, 1,
                  true, 300 * kMM, 200 * kMM},
        CrossCase{"corner: a head beyond the corner at a distance", {kLeft, kDiagonalFar}, 0, kRightEdge,
                  200 * kMM - 1, 1, 2 + 20, true, 300 * kMM + 10, 200 * kMM + 10},
        CrossCase{"candidate on another line is unreachable", {kLeft, area(300 * kMM, 300 * kMM, 10, 10)}, 0,
                  kRightEdge, 100 * kMM, 1, kPointerUnreachable, false, 0, 0},
        CrossCase{"wrap finds a head on the far side of the line",
                  {area(0, 0, 300 * kMM, 200 * kMM, 1), area(500 * kMM, 0, 100 * kMM, 200 * kMM)}, 0, 0, 100 * kMM,
                  1, viaPlus(600 * kMM - 1), true, 600 * kMM - 1, 100 * kMM},
        CrossCase{"heads at the integer limits with wrap stay below -2",
                  {area(INT32_MAX - 1, 0, 2, 10, 1), area(INT32_MAX - 2, 0, 1, 10)}, 0, INT32_MAX, 5, 1,
                  kPointerResultLimit - 1, true, INT32_MAX - 2, 5},
        CrossCase{"a far head near the upper limit without wrap", {area(-kBig, 0, 10, 10), area(kBig, 0, 10, 10)},
                  0, -kBig + 9, 5, 1, uint32_t(2 + (int64_t(kBig) - (-kBig + 10))), true, kBig, 5}));

TEST(XpointerRect, ClampsIntoTheSentinels) {
  HeadPointerArea a{};
  xpointerSetHeadRect(&a, nullptr, 0, -1e12, 1e12, 1e12, -5);
  EXPECT_GT(int64_t(a.x), int64_t(kPointerMinusInfinity));
  EXPECT_LT(int64_t(a.y), int64_t(kPointerPlusInfinity));
  EXPECT_LT(int64_t(a.x) + a.width - 1, int64_t(kPointerPlusInfinity));
  EXPECT_EQ(a.height, 0);
  xpointerSetHeadRect(&a, nullptr, 0, 1.23456, -2.5, 300.00009, 200);
  EXPECT_EQ(a.x, 12345);
  EXPECT_EQ(a.y, -25000);
  EXPECT_EQ(a.width, 3000000);
  EXPECT_EQ(a.height, 2000000);
}

PointerScreenSize fakeSize;
PointerScreenSize fakeScreen(Display *, int) { return fakeSize; }

TEST(XpointerPixels, PositionAndBackAndZeroMillimetres) {
  XpointerScreenSizeFn saved = xpointerScreenSize;
  xpointerScreenSize = fakeScreen;
  fakeSize = PointerScreenSize{640, 480, 169, 127};
  HeadPointerArea a = area(1000 * kMM, 0, 169 * kMM, 127 * kMM);
  a.pointerValue = 5;
  xpointerSetHeadPosition(&a, nullptr, 0, 320, 240);
  EXPECT_EQ(a.pointerX, 1000 * kMM + 845000);
  EXPECT_EQ(a.pointerY, 635000);
  EXPECT_EQ(a.destinationX, a.pointerX);
  EXPECT_EQ(a.destinationValue, 5u);
  int x = 0, y = 0;
  EXPECT_EQ(xpointerToPixels(&a, nullptr, 0, &x, &y), 240);
  EXPECT_EQ(x, 320);
  fakeSize = PointerScreenSize{640, 480, 0, 0};  // a screen reporting no size
  EXPECT_EQ(xpointerToPixels(&a, nullptr, 0, &x, &y), 0);
  EXPECT_EQ(x, 0);
  fakeSize = PointerScreenSize{INT32_MAX, INT32_MAX, 1, 1};  // huge results clamp
  a.destinationX = INT32_MAX;
  a.x = INT32_MIN + 2;
  xpointerToPixels(&a, nullptr, 0, &x, &y);
  EXPECT_EQ(x, INT32_MAX);
  xpointerScreenSize = saved;
}

}  // namespace
