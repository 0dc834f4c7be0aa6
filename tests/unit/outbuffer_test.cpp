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
#include <thread>

#include "support/orders.h"

namespace {

// fd[0] is the buffer's non-blocking end; drain() reads what has arrived at fd[1].
struct SocketPair {
  int fd[2];
  SocketPair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    fcntl(fd[0], F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
  }
  ~SocketPair() { close(fd[0]); if (fd[1] >= 0) close(fd[1]); }
  std::string drain() {
    std::string got;
    char bytes[4096];
    ssize_t n;
    fcntl(fd[1], F_SETFL, O_NONBLOCK);
    while ((n = read(fd[1], bytes, sizeof bytes)) > 0) got.append(bytes, size_t(n));
    return got;
  }
};

void countCall(void *argument) { ++*static_cast<int *>(argument); }

TEST(OutBuffer, ReserveFillsStandardBlocksAndGivesLargeRequestsTheirOwn) {
  OutBuffer ob;
  int calls = 0;
  outbufferInit(&ob, -1, countCall, &calls);
  ASSERT_NE(outbufferReserve(&ob, kOutBlockData), nullptr);
  EXPECT_EQ(outbufferCapacity(&ob), kOutBlockData);
  EXPECT_NE(outbufferReserve(&ob, 1), nullptr);  // one more byte starts a second block
  EXPECT_EQ(outbufferCapacity(&ob), 2u * kOutBlockData);
  EXPECT_EQ(calls, 1);  // only the transition from empty
  char *big = outbufferReserve(&ob, 100000);
  ASSERT_NE(big, nullptr);
  memset(big, 7, 100000);  // the sanitizer build checks the block really holds it
  EXPECT_EQ(ob.last->readPosition, outbufferReserve(&ob, 1));  // a large block takes nothing more
  EXPECT_EQ(outbufferPending(&ob), kOutBlockData + 1u + 100000u + 1u);
  // Trimming the unused tail leaves the block ready for appends.
  char *r = outbufferReserve(&ob, 50);
  outbufferCut(r + 10, 40, &ob);
  EXPECT_EQ(outbufferReserve(&ob, 5), r + 10);
  outbufferFree(&ob);
}

// The owner's writer order, registered when data arrives and dropped when a flush is done.
struct Stream {
  OutBuffer ob;
  Order *writer = nullptr;
};
void streamWritable(void *argument) {
  auto *s = static_cast<Stream *>(argument);
  if (outbufferFlush(&s->ob) == kOutbufferPending) return;
  ordersCancel(s->writer);
  s->writer = nullptr;
}
void streamHasData(void *argument) {
  auto *s = static_cast<Stream *>(argument);
  s->writer = ordersAddWriter(s->ob.fd, streamWritable, s);
}

uint64_t checksum(uint64_t sum, const unsigned char *data, size_t n) {
  for (size_t i = 0; i < n; i++) sum = (sum ^ data[i]) * 1099511628211ull;
  return sum;
}

TEST(OutBuffer, TenMegabytesReachASlowReaderIntact) {
  ordersInit();
  SocketPair sp;
  int small = 16384;
  setsockopt(sp.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const size_t total = 10u << 20;
  uint64_t received = 14695981039346656037ull, sent = received;
  size_t queued = 0;
  std::thread reader([&] {
    unsigned char bytes[32768];
    ssize_t n;
    for (int reads = 1; (n = read(sp.fd[1], bytes, sizeof bytes)) > 0; reads++) {
      received = checksum(received, bytes, size_t(n));
      if (reads % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Stream s;
  outbufferInit(&s.ob, sp.fd[0], streamHasData, &s);
  std::mt19937 random(42);
  bool stepsOk = true;
  while (queued < total || s.writer) {
    for (int i = 0; i < 8 && queued < total; i++) {
      size_t n = std::min<size_t>(random() % 40000 + 1, total - queued);
      uint64_t before = outbufferCapacity(&s.ob);
      auto *p = reinterpret_cast<unsigned char *>(outbufferReserve(&s.ob, uint32_t(n)));
      ASSERT_NE(p, nullptr);
      for (size_t j = 0; j < n; j++) p[j] = static_cast<unsigned char>(random());
      sent = checksum(sent, p, n);
      queued += n;
      uint64_t after = outbufferCapacity(&s.ob);
      stepsOk &= after == before || after - before == kOutBlockData;
    }
    ASSERT_EQ(ordersStep(1000), 0u);
  }
  shutdown(sp.fd[0], SHUT_WR);
  reader.join();
  EXPECT_TRUE(stepsOk);  // capacity grew one 65520-byte block at a time
  EXPECT_EQ(received, sent);  // every byte, in order (a write error would have lost some)
  ordersFreeAll();
}

TEST(OutBuffer, PartialWritesTimeOutAndErrors) {
  SocketPair sp;
  OutBuffer ob;
  outbufferInit(&ob, sp.fd[0], nullptr, nullptr);
  outbufferPut("0123456789", 10, &ob);
  ob.maximumWrite = 4;
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferPending);
  EXPECT_EQ(sp.drain(), "0123");
  ob.maximumWrite = 100;
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferDone);
  EXPECT_EQ(ob.first, nullptr);
  EXPECT_EQ(sp.drain(), "456789");
  // A peer that never reads: the wait gives up after its timeout, the limit comes back.
  std::string block(1 << 20, 'q');
  for (int i = 0; i < 4; i++) outbufferPut(block.data(), uint32_t(block.size()), &ob);
  ob.maximumWrite = 10;  // lifted for the wait
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outbufferFlushWait(&ob, 50), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_EQ(ob.maximumWrite, 10u);
  EXPECT_GT(outbufferPending(&ob), 0u);
  close(sp.fd[1]);
  sp.fd[1] = -1;
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferError);
  outbufferFree(&ob);
}

// A flush held by a locked block says so (the owner drops its writer order instead of
// spinning), and the unlock tells the owner to write again.
TEST(OutBuffer, LockedInsertedBlockHoldsLaterBytesUntilUnlocked) {
  SocketPair sp;
  OutBuffer ob;
  int calls = 0;
  outbufferInit(&ob, sp.fd[0], countCall, &calls);
  char *head = outbufferReserve(&ob, 4);
  memcpy(head, "AAaa", 4);
  char *hole = outbufferInsertLocked(&ob, head + 2, 4);
  ASSERT_NE(hole, nullptr);
  outbufferPut("CC", 2, &ob);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferHeld);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferHeld);
  EXPECT_EQ(sp.drain(), "AA");
  EXPECT_EQ(calls, 1);
  memcpy(hole, "BBBB", 4);
  outbufferUnlock(&ob, hole, 4);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferDone);
  EXPECT_EQ(sp.drain(), "BBBBaaCC");

  // A lock further on stops the flush after the blocks before it are written and freed;
  // emptying the held block unlocks it.
  outbufferReserve(&ob, kOutBlockData);
  char *second = outbufferReserve(&ob, 3);
  outbufferLock(&ob, second);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferHeld);
  EXPECT_EQ(ob.first->readPosition, second);
  EXPECT_EQ(sp.drain().size(), kOutBlockData);
  outbufferCut(second, 3, &ob);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(outbufferFlush(&ob), kOutbufferDone);
  outbufferFree(&ob);
}

int collect(char *start, uint32_t length, void *argument) {
  auto *s = static_cast<std::string *>(argument);
  s->append(start, length).push_back('|');
  return s->size() > 40 ? 5 : 0;
}

TEST(OutBuffer, CutExtractAndRangeWalk) {
  struct Case {
    int position, n;
    const char *left;
  } cases[] = {{0, 2, "cdefgh|"}, {6, 2, "abcdef|"}, {3, 2, "abcfgh|"}, {0, 8, ""}};
  for (const Case &c : cases) {
    OutBuffer ob;
    outbufferInit(&ob, -1, nullptr, nullptr);
    char *p = outbufferReserve(&ob, 8);
    memcpy(p, "abcdefgh", 8);
    outbufferCut(p + c.position, uint32_t(c.n), &ob);
    std::string left;
    outbufferForRange(&ob, ob.first->readPosition, outbufferPending(&ob), collect, &left);
    EXPECT_EQ(left, c.left) << c.position << "+" << c.n;
    outbufferFree(&ob);
  }
  OutBuffer ob;
  outbufferInit(&ob, -1, nullptr, nullptr);
  char *p = outbufferReserve(&ob, 6);
  memcpy(p, "012345", 6);
  OutBlock *piece = outbufferExtract(&ob, p + 1, 2);
  ASSERT_NE(piece, nullptr);
  outbufferAppendBlock(&ob, piece);
  std::string seen;
  EXPECT_EQ(outbufferForRange(&ob, p + 2, 4, collect, &seen), 0);
  EXPECT_EQ(seen, "45|12|");
  // Positions outside every block give neutral results.
  EXPECT_EQ(outbufferExtract(&ob, p + 100, 1), nullptr);
  EXPECT_EQ(outbufferForRange(&ob, p - 50, 1, collect, &seen), 0);
  EXPECT_EQ(outbufferInsertLocked(&ob, p + 100, 4), nullptr);
  std::string many(60, 'x');
  outbufferPut(many.data(), 60, &ob);
  seen.clear();
  EXPECT_EQ(outbufferForRange(&ob, p, 66, collect, &seen), 5);  // stops at the first non-zero
  outbufferFree(&ob);
}

}  // namespace
