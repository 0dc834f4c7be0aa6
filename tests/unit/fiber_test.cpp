// Fibers: a function that yields stands still with its frames intact while the caller goes on,
// and goes on where it stood when resumed; several stand still at once and are resumed in any
// order; a start on a fiber runs inline; deep frames fit the stack; stacks are reused; a call on
// a large stack of its own runs recursion far deeper than a fiber's, from a fiber too, and
// cannot be suspended.
#include "support/fiber.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every step appends to the trace, so that the tests see the order of the switches.
std::string trace;

struct Counter {
  char name;
  int steps;
};

void countAndYield(void *argument) {
  auto *counter = static_cast<Counter *>(argument);
  // A frame's own data survives every switch.
  std::vector<int> mine(64, counter->name);
  for (int k = 0; k < counter->steps; k++) {
    trace += counter->name;
    EXPECT_TRUE(fiberRunning());
    fiberYield();
    EXPECT_EQ(mine.front(), counter->name);
  }
  trace += char(counter->name - 'a' + 'A');
}

// Recursion far deeper than a small stack: the fiber's stack is as large as a thread's.
int deep(int n) {
  volatile char pad[256];
  pad[0] = char(n);
  return n == 0 ? pad[0] : deep(n - 1) + 1;
}

TEST(Fiber, YieldsAndResumesInAnyOrder) {
  trace.clear();
  EXPECT_FALSE(fiberRunning());
  Counter a{'a', 2}, b{'b', 3};
  Fiber *fa = fiberStart(countAndYield, &a);
  Fiber *fb = fiberStart(countAndYield, &b);
  ASSERT_NE(fa, nullptr);
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(trace, "ab");
  EXPECT_TRUE(fiberResume(fb));
  EXPECT_TRUE(fiberResume(fa));
  EXPECT_FALSE(fiberResume(fa));  // returned: given back
  EXPECT_TRUE(fiberResume(fb));
  EXPECT_FALSE(fiberResume(fb));
  EXPECT_EQ(trace, "abbaAbB");
  EXPECT_FALSE(fiberRunning());
}

TEST(Fiber, AFunctionThatNeverYieldsReturnsAtOnce) {
  trace.clear();
  Counter none{'n', 0};
  EXPECT_EQ(fiberStart(countAndYield, &none), nullptr);
  EXPECT_EQ(trace, "N");
  fiberYield();  // outside a fiber: nothing
}

TEST(Fiber, AStartOnAFiberRunsInlineAndItsYieldSuspendsTheOuterOne) {
  trace.clear();
  static Counter inner{'i', 1};
  Fiber *outer = fiberStart(
      [](void *) {
        trace += 'o';
        EXPECT_EQ(fiberStart(countAndYield, &inner), nullptr);  // ran here, yielding this fiber
        trace += 'O';
      },
      nullptr);
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(trace, "oi");
  EXPECT_FALSE(fiberResume(outer));
  EXPECT_EQ(trace, "oiIO");
}

TEST(Fiber, DeepFramesFitAndStacksAreReused) {
  static int result = 0;
  for (int round = 0; round < 50; round++) {
    Fiber *fiber = fiberStart(
        [](void *) {
          fiberYield();
          result = deep(10000);  // about 3 MB of frames
        },
        nullptr);
    ASSERT_NE(fiber, nullptr);
    EXPECT_FALSE(fiberResume(fiber));
    EXPECT_EQ(result, 10000);
  }
}

TEST(Fiber, ACallOnALargeStackRecursesBeyondAFibersStackFromAnywhere) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps a shadow of every stack it sees switched to: it cannot follow a
  // recursion of this depth on a stack of its own (the call runs on the loop's thread only).
  GTEST_SKIP() << "not under ThreadSanitizer";
#endif
  struct Deep {
    int depth;
    int result;
  };
  auto deepAndSteady = [](void *argument) {
    auto *call = static_cast<Deep *>(argument);
    EXPECT_FALSE(fiberRunning());  // nothing may suspend it
    fiberYield();                  // does nothing
    call->result = deep(call->depth);
  };
  // About 60 MB of frames: seven times a fiber's stack.
  static Deep call{200000, 0};
  EXPECT_GE(fiberCallOnStack(deepAndSteady, &call, 256ul << 20), 256ul << 20);
  EXPECT_EQ(call.result, 200000);
  call.result = 0;
  static bool resumedAfter = false;
  trace.clear();
  Fiber *outer = fiberStart(
      [](void *argument) {
        trace += 'o';
        EXPECT_NE(fiberCallOnStack(+[](void *inner) { static_cast<Deep *>(inner)->result = deep(200000); }, argument,
                                   256ul << 20),
                  0ul);
        trace += 'c';
        EXPECT_TRUE(fiberRunning());  // back on the fiber, which may stand still again
        fiberYield();
        resumedAfter = true;
      },
      &call);
  ASSERT_NE(outer, nullptr);
  EXPECT_EQ(trace, "oc");
  EXPECT_EQ(call.result, 200000);
  EXPECT_FALSE(fiberResume(outer));
  EXPECT_TRUE(resumedAfter);
}

}  // namespace
