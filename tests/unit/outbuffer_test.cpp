#include "support/outbuffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "support/orders.h"

namespace {

int collect(char *start, uint32_t length, void *got) {
  static_cast<std::string *>(got)->append(start, length).push_back('|');
  return 0;
}

// An output buffer on the non-blocking end fd[0] of a socket pair. Its owner counts the calls,
// registers a writer order when data arrives and drops it when a flush is not pending.
class OutBufferTest : public testing::Test {
 protected:
  int fd[2];
  OutBuffer ob;
  int calls = 0;
  Order *writer = nullptr;
  void SetUp() override {
    ordersInit();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    fcntl(fd[0], F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
    outbufferInit(&ob, fd[0], hasData, this);
  }
  void TearDown() override {
    outbufferFree(&ob);
    ordersFreeAll();
    close(fd[0]);
    close(fd[1]);
  }
  static void hasData(void *argument) {
    auto *self = static_cast<OutBufferTest *>(argument);
    self->calls++;
    self->writer = ordersAddWriter(self->fd[0], writable, self);
  }
  static void writable(void *argument) {
    auto *self = static_cast<OutBufferTest *>(argument);
    if (outbufferFlush(&self->ob) == kOutbufferPending) return;
    ordersCancel(self->writer);
    self->writer = nullptr;
  }
  std::string drain() {  // what has arrived at fd[1] (a stream socket hands over all of it)
    std::string got(1 << 18, 0);
    got.resize(size_t(std::max<ssize_t>(recv(fd[1], got.data(), got.size(), MSG_DONTWAIT), 0)));
    return got;
  }
};

TEST_F(OutBufferTest, TenMegabytesReachASlowReaderIntact) {
  int small = 16384;
  setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::minstd_rand data(7), expected(7);
  size_t queued = 0, received = 0;
  bool stepsOk = true, intact = true;
  unsigned char bytes[16384];
  // Each round the reader takes less than the writer queues, so the queue grows.
  for (int round = 0; received < (10u << 20) && round < 100000; round++) {
    if (queued < (10u << 20)) {
      uint64_t before = outbufferCapacity(&ob);
      char *p = outbufferReserve(&ob, 40960);  // pieces that straddle blocks
      for (int j = 0; p && j < 40960; j++) p[j] = static_cast<char>(data());
      uint64_t grown = outbufferCapacity(&ob) - before;
      stepsOk &= p && (grown == 0 || grown == kOutBlockData);
      queued += 40960;
    }
    ordersStep(0);
    ssize_t n = recv(fd[1], bytes, sizeof bytes, MSG_DONTWAIT);
    for (ssize_t i = 0; i < n; i++) intact &= bytes[i] == static_cast<unsigned char>(expected());
    received += size_t(std::max<ssize_t>(n, 0));
  }
  EXPECT_TRUE(stepsOk);  // capacity grew one 65520-byte block at a time
  EXPECT_EQ(received, 10u << 20);
  EXPECT_TRUE(intact);         // every byte, in order
  EXPECT_EQ(writer, nullptr);  // the emptied queue dropped the writer order
}

TEST_F(OutBufferTest, LargeBlocksTimeOutsAndErrors) {
  // A large request gets a block of its own (checked by the sanitizer) that takes no more.
  std::string block(4 << 20, 'q');
  outbufferPut(block.data(), uint32_t(block.size()), &ob);
  EXPECT_EQ(ob.last->readPosition, outbufferReserve(&ob, 1));
  EXPECT_EQ(outbufferPending(&ob), block.size() + 1);
  // A peer that never reads: the wait gives up after its timeout, the limit comes back.
  ob.maximumWrite = 10;  // lifted for the wait
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outbufferFlushWait(&ob, 50), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(ob.maximumWrite, 10u);
  shutdown(fd[1], SHUT_RD);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferError);
}

// A flush held by a locked block says so and the owner drops its writer order instead of
// spinning; the unlock tells the owner to write again.
TEST_F(OutBufferTest, LockedInsertedBlockHoldsLaterBytesUntilUnlocked) {
  char *head = outbufferReserve(&ob, 4);
  memcpy(head, "AAaa", 4);
  char *hole = outbufferInsertLocked(&ob, head + 2, 4);
  ASSERT_NE(hole, nullptr);
  outbufferPut("CC", 2, &ob);
  ordersStep(0);
  EXPECT_EQ(writer, nullptr);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferHeld);
  EXPECT_EQ(drain(), "AA");
  memcpy(hole, "BBBB", 4);
  outbufferUnlock(&ob, hole, 4);
  ordersStep(0);
  EXPECT_EQ(drain(), "BBBBaaCC");
  EXPECT_EQ(calls, 2);  // only when data arrived in an empty buffer and at the unlock

  // A full block, then a held one that its emptying unlocks.
  outbufferReserve(&ob, kOutBlockData);
  char *second = outbufferReserve(&ob, 3);
  outbufferLock(&ob, second);
  ordersStep(0);
  EXPECT_EQ(drain().size(), kOutBlockData);
  outbufferCut(second, 3, &ob);
  ordersStep(0);
  EXPECT_TRUE(ob.first == nullptr && writer == nullptr && calls == 4);
}

TEST_F(OutBufferTest, CutExtractAndRangeWalk) {
  char *p = outbufferReserve(&ob, 8);
  memcpy(p, "abcdefgh", 8);
  outbufferCut(p + 6, 2, &ob);  // the end: "abcdef"
  outbufferCut(p + 2, 2, &ob);  // the middle: "abef"
  outbufferCut(p, 1, &ob);      // the front: "bef"
  // An extracted piece appended again comes last; the walk crosses blocks.
  outbufferAppendBlock(&ob, outbufferExtract(&ob, p + 2, 1));
  std::string seen;
  EXPECT_EQ(outbufferForRange(&ob, p + 1, 3, collect, &seen), 0);
  EXPECT_EQ(seen, "bf|e|");
  // Positions outside every block give neutral results.
  EXPECT_EQ(outbufferExtract(&ob, p + 100, 1), nullptr);
  EXPECT_EQ(outbufferInsertLocked(&ob, p + 100, 4), nullptr);
  // The walk stops at the first non-zero result and returns it.
  int walks = 0;
  auto stop = [](char *, uint32_t, void *n) { return ++*static_cast<int *>(n) + 4; };
  EXPECT_EQ(outbufferForRange(&ob, p + 1, 3, stop, &walks), 5);
  EXPECT_EQ(walks, 1);
  // A hole at the very end is followed by an empty block that takes the later reservations.
  uint64_t before = outbufferCapacity(&ob);
  ASSERT_NE(outbufferInsertLocked(&ob, ob.last->end, 2), nullptr);
  EXPECT_EQ(outbufferCapacity(&ob), before + 2 * kOutBlockData);
  EXPECT_TRUE(outbufferReserve(&ob, 1) && outbufferCapacity(&ob) == before + 2 * kOutBlockData);
}

}  // namespace
