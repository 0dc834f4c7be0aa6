#include "support/buffer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/datapack.h"

namespace {

std::string held(const Buffer &b) { return std::string(b.data, b.length); }

// Sizes go 130972, 4194204, then 67108764 or the wanted size; consuming everything frees.
TEST(Buffer, GrowsInStepsEditsAndRefusesWrappingLengths) {
  constexpr uint32_t small = 130972, medium = 4194204;
  Buffer b{}, moved{};
  std::string fill(small - 1, 'b');
  ASSERT_TRUE(bufferAppend(fill.data(), small - 1, &b));
  ASSERT_TRUE(bufferPrepend("a", 1, &b));
  EXPECT_EQ(b.capacity, small);  // exactly full
  ASSERT_TRUE(bufferAppendByte('c', &b));
  EXPECT_EQ(b.capacity, medium);
  EXPECT_TRUE(held(b) == "a" + fill + "c");
  EXPECT_EQ(bufferRoundSize(medium + 1), 67108764u);
  EXPECT_EQ(bufferRoundSize(70000000), 70000000u);
  bufferCut(&b, b.data + 1, small - 2);
  bufferMove(&b, &moved);
  ASSERT_TRUE(bufferAppendFrom(&moved, 1, &b));  // b is empty again, not sharing the bytes
  EXPECT_EQ(held(b), "bc");
  bufferConsume(&moved, 1);
  EXPECT_EQ(held(moved), "bc");
  bufferConsume(&moved, 2);
  EXPECT_TRUE(moved.data == nullptr && moved.capacity == 0);

  // A length that would wrap 32 bits is refused before any byte is touched.
  Buffer huge{b.data, UINT32_MAX - 1, UINT32_MAX - 1};
  EXPECT_EQ(bufferGrow(&huge, 2), 0u);
  EXPECT_FALSE(bufferAppend("ab", 2, &huge) || bufferPrepend("ab", 2, &huge));
  EXPECT_TRUE(huge.data == b.data && huge.length == UINT32_MAX - 1 && huge.capacity == UINT32_MAX - 1);
  bufferFree(&b);
}

// Past the last step a buffer that fills 64 KB at a time (a sync reading a display's answers)
// grows by half again, not by the 64 KB each read asks for; what it holds survives each move.
// (The length is set by hand: the bytes in between are never written, so the test stays cheap.)
TEST(Buffer, GrowsByHalfAgainPastTheLastStep) {
  constexpr uint32_t large = 67108764, chunk = 0x10000;
  Buffer b{};
  ASSERT_EQ(bufferGrow(&b, large), large);
  memcpy(b.data, "head", 4);
  b.length = large - 100;
  int moves = 0;
  while (b.length < 2 * large) {
    uint32_t before = b.capacity;
    if (before - b.length < chunk) {
      ASSERT_GE(bufferGrow(&b, chunk), chunk);
      moves++;
      ASSERT_GE(uint64_t(b.capacity), uint64_t(before) + before / 2) << "move " << moves;
    }
    b.length += chunk;
  }
  EXPECT_LE(moves, 2);  // 64 MB -> 96 MB -> 144 MB; a step of 64 KB each time made 1024
  EXPECT_EQ(std::string(b.data, 4), "head");
  bufferFree(&b);
}

TEST(Buffer, ReadFdResults) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  Buffer b{};
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 2);  // nothing there yet
  ASSERT_EQ(write(sv[1], std::string(5000, 'r').data(), 5000), 5000);
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 1);
  EXPECT_EQ(b.length, 5000u);  // takes all the free room holds, not only the 16 asked for
  close(sv[1]);
  EXPECT_EQ(bufferReadFd(sv[0], 16, &b), 0);  // end of file
  close(sv[0]);
  bufferFree(&b);
}

// A connection's input: reads take at most what is asked and never grow a buffer that has
// room; an input emptied keeps an allocation of the small size, and one that held a burst gives
// its memory back: a few bytes left move into the small size, none left frees it.
TEST(Buffer, ConnectionInputReadsIntoItsRoomAndGivesABurstsMemoryBack) {
  constexpr uint32_t small = 130972, medium = 4194204;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  std::string sent(3000, 'x');
  for (size_t i = 0; i < sent.size(); i++) sent[i] = char('a' + i % 26);
  ASSERT_EQ(write(sv[1], sent.data(), sent.size()), ssize_t(sent.size()));
  Buffer b{};
  EXPECT_EQ(bufferReadFdRoom(sv[0], 1000, &b), 1);  // nothing allocated: the small size
  EXPECT_TRUE(b.length == 1000 && b.capacity == small);
  ASSERT_TRUE(bufferAppend(std::string(small - 1000 - 10, 'f').data(), small - 1000 - 10, &b));
  EXPECT_EQ(bufferReadFdRoom(sv[0], 0, &b), 1);  // 10 bytes of room: filled, not grown
  EXPECT_TRUE(b.length == small && b.capacity == small);
  EXPECT_EQ(bufferReadFdRoom(sv[0], 0, &b), 1);  // full: the next size, then all that is there
  EXPECT_EQ(b.capacity, medium);
  EXPECT_EQ(held(b).substr(0, 1000) + held(b).substr(small - 10), sent);
  EXPECT_EQ(bufferReadFdRoom(sv[0], 0, &b), 2);  // nothing there

  std::string all = held(b);
  bufferConsumeKeep(&b, 5);
  EXPECT_EQ(held(b), all.substr(5));
  EXPECT_EQ(bufferAllocated(&b), medium);
  bufferConsumeKeep(&b, 0);
  EXPECT_EQ(held(b), all.substr(5));
  bufferConsumeKeep(&b, b.length - 10);
  EXPECT_EQ(held(b), all.substr(all.size() - 10));
  EXPECT_EQ(bufferAllocated(&b), small);
  char *kept = b.data;
  bufferConsumeKeep(&b, b.length);
  EXPECT_TRUE(b.data == kept && b.length == 0 && b.capacity == small);
  ASSERT_TRUE(bufferAppend(std::string(small + 1, 'g').data(), small + 1, &b));
  EXPECT_EQ(bufferAllocated(&b), medium);
  bufferConsumeKeep(&b, b.length);
  EXPECT_TRUE(b.data == nullptr && b.capacity == 0);
  close(sv[1]);
  EXPECT_EQ(bufferReadFdRoom(sv[0], 16, &b), 0);  // end of file
  close(sv[0]);
  bufferFree(&b);
}

// A long input taken in small steps while more arrives: what is held is always what came and
// was not taken, and the consumed front goes back to the room before the allocation grows
// (a move costs at most what was consumed since the last, never the whole input each step).
TEST(Buffer, TakingALongInputInSmallStepsKeepsItsBytesAndItsSize) {
  Buffer b{};
  std::string expected;
  uint32_t next = 0;
  auto arrive = [&](uint32_t n) {
    std::string bytes;
    for (uint32_t i = 0; i < n; i++) bytes += char(next++ * 7919 % 251);
    ASSERT_TRUE(bufferAppend(bytes.data(), n, &b));
    expected += bytes;
  };
  arrive(3000000);
  for (int step = 0; step < 20000; step++) {
    uint32_t take = 100 + uint32_t(step * 37 % 900);
    bufferConsumeKeep(&b, take);
    expected.erase(0, take);
    if (step % 3 == 0) arrive(150);
    ASSERT_EQ(b.length, expected.size());
    ASSERT_LE(uint64_t(b.offset), uint64_t(b.length));
  }
  EXPECT_EQ(held(b), expected);
  EXPECT_LE(bufferAllocated(&b), uint64_t(4194204));
  bufferFree(&b);
}

// Each case's bytes fill their allocation exactly: a look past them fails under the sanitizer.
TEST(Buffer, TakeLine) {
  struct Case { std::string bytes; uint32_t taken; const char *line; } cases[] = {
      {"abc\r\ndef", 5, "abc"}, {"abc\n\ndef", 5, "abc"}, {"abc\rdef", 4, "abc"},
      {"abc\r", 4, "abc"},      {"\n", 1, ""},            {"a\n\n\n", 3, "a"},   {"abc", 0, "abc"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    uint32_t n = uint32_t(c.bytes.size());
    Buffer b{static_cast<char *>(memDup(c.bytes.data(), n)), n, n};
    EXPECT_EQ(bufferTakeLine(nullptr, nullptr, &b), c.taken);
    EXPECT_EQ(std::string(b.data, strnlen(b.data, n)), c.line);  // the terminator became a NUL
    bufferFree(&b);
  }
}

}  // namespace
