#include "support/buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string held(const Buffer &b) { return std::string(b.data, b.length); }

// Sizes go 130972, 4194204, then 67108764 or the wanted size; consuming everything frees.
TEST(Buffer, GrowsInStepsAndFreesWhenConsumed) {
  constexpr uint32_t small = 130972, medium = 4194204;
  Buffer b{};
  ASSERT_TRUE(bufferAppendByte('a', &b));
  EXPECT_EQ(b.capacity, small);
  std::vector<char> fill(small - 1, 'b');
  ASSERT_TRUE(bufferAppend(fill.data(), uint32_t(fill.size()), &b));
  EXPECT_EQ(b.capacity, small);
  ASSERT_TRUE(bufferAppendByte('c', &b));
  EXPECT_EQ(b.capacity, medium);
  EXPECT_EQ(b.length, small + 1);
  EXPECT_TRUE(b.data[0] == 'a' && b.data[small - 1] == 'b' && b.data[small] == 'c');
  EXPECT_EQ(bufferRoundSize(medium + 1), 67108764u);
  EXPECT_EQ(bufferRoundSize(70000000), 70000000u);
  bufferConsume(&b, small);
  EXPECT_EQ(held(b), "c");
  bufferConsume(&b, 1);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.capacity, 0u);
  ASSERT_TRUE(bufferAppend("xy", 2, &b));
  EXPECT_EQ(b.capacity, small);
  bufferFree(&b);
}

TEST(Buffer, LengthsThatWouldWrapAreRefused) {
  char storage[8] = "abc";
  // The held length is a fiction: the refusal must come before any byte is touched.
  Buffer b{storage, UINT32_MAX - 10, UINT32_MAX - 10};
  EXPECT_EQ(bufferGrow(&b, 11), 0u);
  EXPECT_EQ(bufferAppend("0123456789ab", 12, &b), 0);
  EXPECT_EQ(bufferPrepend("0123456789ab", 12, &b), 0);
  EXPECT_TRUE(b.data == storage && b.length == UINT32_MAX - 10 && b.capacity == UINT32_MAX - 10);
}

TEST(Buffer, PrependCutAppendFromAndMove) {
  Buffer a{}, b{};
  ASSERT_TRUE(bufferAppend("world", 5, &a));
  ASSERT_TRUE(bufferPrepend("hello ", 6, &a));
  EXPECT_EQ(held(a), "hello world");
  bufferCut(&a, a.data + 2, 3);
  EXPECT_EQ(held(a), "he world");
  ASSERT_TRUE(bufferAppendBuffer(&a, &b));
  ASSERT_TRUE(bufferAppendFrom(&a, 3, &b));
  Buffer c{};
  bufferMove(&b, &c);  // ownership passes: freeing both must not free twice
  EXPECT_EQ(held(c), "he worldworld");
  bufferFree(&b);
  bufferFree(&a);
  bufferFree(&c);
}

TEST(Buffer, ReadFdResults) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  fcntl(sv[0], F_SETFL, O_NONBLOCK);
  Buffer b{};
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 2);  // nothing there yet
  std::string data(5000, 'r');
  ASSERT_EQ(write(sv[1], data.data(), data.size()), ssize_t(data.size()));
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 1);
  EXPECT_EQ(b.length, 5000u);  // reads all the free room takes, not only the 16 asked for
  close(sv[1]);
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 0);
  EXPECT_EQ(bufferReadFd(-1, 16, &b), 0);  // a read error
  EXPECT_EQ(b.length, 5000u);
  close(sv[0]);
  bufferFree(&b);
}

TEST(Buffer, TakeLine) {
  struct Case { std::string bytes; uint32_t taken; const char *line; } cases[] = {
      {"abc\r\ndef", 5, "abc"}, {"abc\n\ndef", 5, "abc"}, {"abc\rdef", 4, "abc"},  {"\n", 1, ""},
      {"abc", 0, nullptr},      {"abc\r", 4, "abc"},      {"a\n\n\n", 3, "a"},      {"", 0, nullptr},
  };
  for (const Case &c : cases) {
    // Held bytes fill the allocation exactly, so a look past them is caught by the sanitizer.
    Buffer b{static_cast<char *>(malloc(c.bytes.size())), uint32_t(c.bytes.size()), uint32_t(c.bytes.size())};
    memcpy(b.data, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(bufferTakeLine(nullptr, nullptr, &b), c.taken) << c.bytes;
    if (c.line) {
      EXPECT_STREQ(b.data, c.line);
    }
    bufferFree(&b);
  }
}

}  // namespace
