#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/strings.h"

namespace {
struct Array {
  int count = 0;
  char **array = nullptr;
  ~Array() { strArrayFree(count, array); }
  std::string joined() {
    char *text = strArrayJoin(count, array);
    std::string s = text ? text : "(null)";
    free(text);
    return s;
  }
};
}  // namespace

// Appends copy the texts; a merge adds only what is missing, each text once.
TEST(StrArray, AppendMergeContains) {
  Array a;
  EXPECT_EQ(a.joined(), "");
  ASSERT_EQ(strArrayAppend(&a.count, &a.array, "one"), 1);
  EXPECT_EQ(a.joined(), "one");  // no blank for one element
  const char *more[] = {"two", "three"}, *present[] = {"three", "one"}, *mixed[] = {"four", "one", "four"};
  ASSERT_EQ(strArrayAppendAll(&a.count, &a.array, 2, more), 1);
  EXPECT_NE(a.array[2], more[1]);
  EXPECT_EQ(strArrayMerge(&a.count, &a.array, 2, present), 1);
  EXPECT_EQ(strArrayMerge(&a.count, &a.array, 3, mixed), 1);
  EXPECT_EQ(a.joined(), "one two three four");
  EXPECT_EQ(strArrayContainsAll(2, present, a.count, a.array), 1);
  EXPECT_EQ(strArrayContains(a.count, a.array, "tw"), 0);
  EXPECT_EQ(strArrayTotalLength(a.count, a.array), strlen("onetwothreefour"));
}

TEST(StrArray, DupEqualSetReplace) {
  const char *three[] = {"a", "", "c"}, *one[] = {"alone"};
  Array a, b, none;
  ASSERT_EQ(strArrayDup(&a.count, &a.array, 3, three), 1);
  ASSERT_EQ(strArrayDup(&b.count, &b.array, 3, three), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, b.count, b.array), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, 2, b.array), 0);
  ASSERT_EQ(strArraySet(b.count, b.array, 0, "z"), 1);
  EXPECT_EQ(strArrayEqual(a.count, a.array, b.count, b.array), 0);
  ASSERT_EQ(strArrayDup(&none.count, &none.array, 0, three), 1);
  EXPECT_TRUE(none.count == 0 && none.array == nullptr);
  ASSERT_EQ(strArrayReplace(&a.count, &a.array, 1, one), 1);
  EXPECT_EQ(a.joined(), "alone");
}

// Removal takes the last equal text and frees the array with its last element.
TEST(StrArray, RemoveAndTerminate) {
  const char *texts[] = {"x", "y", "x", "z"};
  Array a;
  ASSERT_EQ(strArrayDup(&a.count, &a.array, 4, texts), 1);
  strArrayRemoveValue(&a.count, &a.array, "x");
  strArrayRemoveValue(&a.count, &a.array, "absent");
  EXPECT_EQ(a.joined(), "x y z");
  strArrayRemove(&a.count, &a.array, 1, 5);  // more than there is: only what exists
  EXPECT_EQ(a.joined(), "x");
  ASSERT_EQ(strArrayTerminate(&a.count, &a.array), 1);
  EXPECT_TRUE(a.count == 1 && a.array[1] == nullptr);
  strArrayRemove(&a.count, &a.array, 0, 1);
  EXPECT_TRUE(a.count == 0 && a.array == nullptr);
}
