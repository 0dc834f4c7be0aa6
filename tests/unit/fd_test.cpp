#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/fd.h"

namespace {

using Clock = std::chrono::steady_clock;
long msSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() { closeEnd(0), closeEnd(1); }
  void closeEnd(int i) { close(fd[i]), fd[i] = -1; }
};

// Mode changes, readiness, a wait that times out, and a zero timeout that waits without limit.
TEST(Fd, BlockingModeAndReadiness) {
  Pipe p;
  fdSetNonBlocking(p.fd[0]);
  EXPECT_TRUE(fcntl(p.fd[0], F_GETFL) & O_NONBLOCK);
  fdSetBlocking(p.fd[0]);
  EXPECT_FALSE(fcntl(p.fd[0], F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(fdIsReadable(p.fd[0]), 0);
  EXPECT_EQ(fdIsWritable(p.fd[1]), 1);
  auto start = Clock::now();
  EXPECT_EQ(fdWaitReadable(p.fd[0], 100), 0);
  EXPECT_GE(msSince(start), 90);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(p.fd[1], "y", 1), 1);
  });
  EXPECT_EQ(fdWaitReadable(p.fd[0], 0), 1);
  EXPECT_GE(msSince(start), 350);
  writer.join();
}

// A full pipe nobody reads: the write gives up after the wait with the unwritten count; a
// pipe without reader fails at once; a slow reader gets every byte.
TEST(Fd, WriteAll) {
  signal(SIGPIPE, SIG_IGN);
  Pipe full, gone, slow;
  fdSetNonBlocking(full.fd[1]);
  int capacity = fcntl(full.fd[1], F_GETPIPE_SZ);
  std::vector<char> data(static_cast<size_t>(capacity) * 3, 'z'), got;
  unsigned saved = fdWriteAllWaitMs;
  fdWriteAllWaitMs = 200;
  auto start = Clock::now();
  std::string failure = fdWriteAll(full.fd[1], data.data(), data.size());
  fdWriteAllWaitMs = saved;
  EXPECT_GE(msSince(start), 190);
  EXPECT_EQ(failure.rfind("Can't write " + std::to_string(2 * capacity) + " bytes to fd " + std::to_string(full.fd[1]) +
                          ": ", 0), 0u) << failure;
  gone.closeEnd(0);
  EXPECT_STREQ(fdWriteAll(gone.fd[1], "abc", 3),
               ("Can't write 3 bytes to fd " + std::to_string(gone.fd[1]) + ": " + strerror(EPIPE)).c_str());

  fdSetNonBlocking(slow.fd[1]);
  data.resize(1 << 20);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
  std::thread reader([&] {
    char block[4096];
    for (ssize_t n; (n = read(slow.fd[0], block, sizeof block)) > 0;) got.insert(got.end(), block, block + n);
  });
  EXPECT_EQ(fdWriteAll(slow.fd[1], data.data(), data.size()), nullptr);
  slow.closeEnd(1);
  reader.join();
  EXPECT_EQ(got, data);
}

// Rewriting bytes behind or before the position leaves the position; a reopen on a path in a
// missing directory leaves the stream usable; a lock keeps another process out until unlocked.
TEST(Files, UpdateReopenAndLock) {
  char pattern[] = "/tmp/fdtestXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  FILE *f = fopen((dir + "/content").c_str(), "w+");
  ASSERT_EQ(fileWriteStream("0123456789", 10, f), nullptr);
  ASSERT_EQ(fseek(f, 4, SEEK_SET), 0);
  EXPECT_EQ(fileUpdateContent("ab", 2, f, 7), nullptr);
  EXPECT_EQ(ftell(f), 4);
  ASSERT_EQ(fileWriteStream("W", 1, f), nullptr);
  ASSERT_EQ(fseek(f, 0, SEEK_END), 0);
  EXPECT_EQ(fileUpdateContent("Q", 1, f, 0), nullptr);
  EXPECT_EQ(ftell(f), 10);
  char text[16] = {};
  rewind(f);
  ASSERT_EQ(fread(text, 1, sizeof text, f), 10u);
  EXPECT_STREQ(text, "Q123W56ab9");

  EXPECT_EQ(fileReopen(f, (dir + "/missing/dir/file").c_str(), "w"), nullptr);
  ASSERT_EQ(fileWriteStream("still here", 10, f), nullptr);
  ASSERT_EQ(fileReopen(f, (dir + "/second").c_str(), "w+"), f);
  EXPECT_EQ(std::filesystem::file_size(dir + "/content"), 20u);

  ASSERT_EQ(fileLock(f), 1);
  auto otherProcessLocks = [&]() {
    pid_t pid = fork();
    if (pid == 0) {
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      _exit(fcntl(open((dir + "/second").c_str(), O_RDWR), F_SETLK, &lock) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(otherProcessLocks());
  ASSERT_EQ(fileUnlock(f), 1);
  EXPECT_TRUE(otherProcessLocks());
  fclose(f);
  std::filesystem::remove_all(dir);
}

// The counters wrap and lose no update when several threads add at once.
TEST(Counters, WrapAndStayConsistentUnderThreads) {
  uint16_t small = 65535, shared16 = 0;
  uint32_t big = 0xffffffffu, shared32 = 0;
  EXPECT_EQ(atomicAdd16(&small, 1), 0);
  EXPECT_EQ(atomicAdd16(&small, -1), 65535);
  EXPECT_EQ(atomicAdd32(&big, 2), 1u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) atomicAdd16(&shared16, 1), atomicAdd32(&shared32, 3);
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(shared16, 40000);
  EXPECT_EQ(shared32, 120000u);
  EXPECT_EQ(strCountChar("a.b.c.", '.'), 3u);
}

}  // namespace
