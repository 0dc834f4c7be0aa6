#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/strings.h"

namespace {
struct Array {
  int count = 0;
  char **array = nullptr;
  ~Array() { strArrayFree(count, array); }
};
}  // namespace

TEST(StrArray, AppendMergeContains) {
  Array a;
  ASSERT_EQ(strArrayAppend(&a.count, &a.array, "one"), 1);
  EXPECT_EQ(a.count, 1);
  ASSERT_NE(a.array, nullptr);
  const char *more[] = {"two", "three"};
  ASSERT_EQ(strArrayAppendAll(&a.count, &a.array, 2, more), 1);
  EXPECT_EQ(a.count, 3);
  EXPECT_STREQ(a.array[2], "three");
  EXPECT_NE(a.array[2], more[1]);  // a copy, owned by the array

  const char *present[] = {"three", "one"};
  EXPECT_EQ(strArrayMerge(&a.count, &a.array, 2, present), 1);
  EXPECT_EQ(a.count, 3);
  const char *mixed[] = {"four", "one", "four"};
  EXPECT_EQ(strArrayMerge(&a.count, &a.array, 3, mixed), 1);
  EXPECT_EQ(a.count, 4);  // "four" once, "one" not again

  EXPECT_EQ(strArrayContains(a.count, a.array, "tw"), 0);
  EXPECT_EQ(strArrayContainsAll(2, present, a.count, a.array), 1);
  const char *absent[] = {"one", "five"};
  EXPECT_EQ(strArrayContainsAll(2, absent, a.count, a.array), 0);
  EXPECT_EQ(strArrayTotalLength(a.count, a.array), strlen("onetwothreefour"));
}

TEST(StrArray, JoinEqualDup) {
  char *empty = strArrayJoin(0, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  free(empty);
  const char *one[] = {"alone"};
  char *joined = strArrayJoin(1, one);
  EXPECT_STREQ(joined, "alone");
  free(joined);
  const char *three[] = {"a", "", "c"};

  Array a, b;
  ASSERT_EQ(strArrayDup(&a.count, &a.array, 3, three), 1);
  ASSERT_EQ(strArrayDup(&b.count, &b.array, 3, three), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, b.count, b.array), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, 2, b.array), 0);
  ASSERT_EQ(strArraySet(b.count, b.array, 0, "z"), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, b.count, b.array), 0);
  EXPECT_EQ(strArraySet(b.count, b.array, 3, "out of range"), 0);

  Array none;
  ASSERT_EQ(strArrayDup(&none.count, &none.array, 0, three), 1);
  EXPECT_EQ(none.count, 0);
  EXPECT_EQ(none.array, nullptr);

  ASSERT_EQ(strArrayReplace(&a.count, &a.array, 1, one), 1);
  EXPECT_EQ(a.count, 1);
  EXPECT_STREQ(a.array[0], "alone");
}

TEST(StrArray, RemoveAndTerminate) {
  const char *texts[] = {"x", "y", "x", "z"};
  Array a;
  ASSERT_EQ(strArrayDup(&a.count, &a.array, 4, texts), 1);
  strArrayRemoveValue(&a.count, &a.array, "x");  // the last "x"
  ASSERT_EQ(a.count, 3);
  EXPECT_STREQ(a.array[0], "x");
  EXPECT_STREQ(a.array[2], "z");
  strArrayRemoveValue(&a.count, &a.array, "absent");
  EXPECT_EQ(a.count, 3);
  strArrayRemove(&a.count, &a.array, 1, 1);
  ASSERT_EQ(a.count, 2);
  EXPECT_STREQ(a.array[1], "z");
  strArrayRemove(&a.count, &a.array, 1, 5);  // more than there is: only what exists
  EXPECT_EQ(a.count, 1);

  ASSERT_EQ(strArrayTerminate(&a.count, &a.array), 1);
  EXPECT_EQ(a.count, 1);
  EXPECT_EQ(a.array[1], nullptr);

  strArrayRemove(&a.count, &a.array, 0, 1);
  EXPECT_EQ(a.count, 0);
  EXPECT_EQ(a.array, nullptr);
  strArrayFree(0, nullptr);  // a NULL array is ignored
}
