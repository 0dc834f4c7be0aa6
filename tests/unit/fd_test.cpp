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

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  int in() const { return fd[0]; }
  int out() const { return fd[1]; }
};

class TempFile : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char pattern[] = "/tmp/fdtestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string path(const char *name) { return dir + "/" + name; }
};

TEST(Fd, BlockingModeAndReadiness) {
  Pipe p;
  fdSetNonBlocking(p.in());
  EXPECT_TRUE(fcntl(p.in(), F_GETFL) & O_NONBLOCK);
  fdSetBlocking(p.in());
  EXPECT_FALSE(fcntl(p.in(), F_GETFL) & O_NONBLOCK);

  EXPECT_EQ(fdIsReadable(p.in()), 0);
  EXPECT_EQ(fdIsWritable(p.out()), 1);
  ASSERT_EQ(write(p.out(), "x", 1), 1);
  EXPECT_EQ(fdIsReadable(p.in()), 1);

  Pipe q;
  auto start = Clock::now();
  EXPECT_EQ(fdWaitReadable(q.in(), 100), 0);
  EXPECT_GE(elapsedMs(start), 90);
  // A hang-up counts as ready, too.
  close(q.fd[1]);
  q.fd[1] = -1;
  EXPECT_EQ(fdIsReadable(q.in()), 1);

  // A zero timeout waits without limit.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(write(p.out(), "y", 1), 1);
  });
  char drain[4];
  ASSERT_EQ(read(p.in(), drain, sizeof drain), 1);
  start = Clock::now();
  EXPECT_EQ(fdWaitReadable(p.in(), 0), 1);
  EXPECT_GE(elapsedMs(start), 250);
  writer.join();
}

TEST(Fd, WriteAllOnFullPipeReportsUnwrittenBytes) {
  signal(SIGPIPE, SIG_IGN);
  Pipe p;
  fdSetNonBlocking(p.out());
  int capacity = fcntl(p.out(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  std::vector<char> data(static_cast<size_t>(capacity) * 3, 'z');
  unsigned saved = fdWriteAllWaitMs;
  fdWriteAllWaitMs = 200;
  auto start = Clock::now();
  const char *failure = fdWriteAll(p.out(), data.data(), data.size());
  fdWriteAllWaitMs = saved;
  EXPECT_GE(elapsedMs(start), 190);
  ASSERT_NE(failure, nullptr);
  std::string expected = "Can't write " + std::to_string(data.size() - static_cast<size_t>(capacity)) +
                         " bytes to fd " + std::to_string(p.out()) + ": ";
  EXPECT_EQ(std::string(failure).substr(0, expected.size()), expected) << failure;

  // A reader that has gone away ends the write at once with the system's reason.
  Pipe gone;
  close(gone.fd[0]);
  gone.fd[0] = -1;
  failure = fdWriteAll(gone.out(), "abc", 3);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("Can't write 3 bytes"), std::string::npos);
  EXPECT_NE(std::string(failure).find(strerror(EPIPE)), std::string::npos);
}

TEST(Fd, WriteAllWaitsForASlowReader) {
  Pipe p;
  fdSetNonBlocking(p.out());
  std::vector<char> data(1 << 20);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
  std::vector<char> got;
  std::thread reader([&] {
    char block[4096];
    ssize_t n;
    while ((n = read(p.in(), block, sizeof block)) > 0) got.insert(got.end(), block, block + n);
  });
  EXPECT_EQ(fdWriteAll(p.out(), data.data(), data.size()), nullptr);
  close(p.fd[1]);
  p.fd[1] = -1;
  reader.join();
  EXPECT_EQ(got, data);
}

TEST_F(TempFile, UpdateContentKeepsThePosition) {
  FILE *f = fopen(path("content").c_str(), "w+");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fileWriteStream("0123456789", 10, f), nullptr);
  ASSERT_EQ(fseek(f, 4, SEEK_SET), 0);
  EXPECT_EQ(fileUpdateContent("ab", 2, f, 7), nullptr);
  EXPECT_EQ(ftell(f), 4);
  ASSERT_EQ(fileWriteStream("W", 1, f), nullptr);  // goes on where it was
  ASSERT_EQ(fseek(f, 0, SEEK_END), 0);
  EXPECT_EQ(fileUpdateContent("Q", 1, f, 0), nullptr);
  EXPECT_EQ(ftell(f), 10);
  char text[16] = {};
  rewind(f);
  ASSERT_EQ(fread(text, 1, sizeof text, f), 10u);
  EXPECT_STREQ(text, "Q123W56ab9");
  fclose(f);

  FILE *readOnly = fopen(path("content").c_str(), "r");
  ASSERT_NE(readOnly, nullptr);
  const char *failure = fileUpdateContent("x", 1, readOnly, 0);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("Can't update file content: ", 0), 0u) << failure;
  fclose(readOnly);
}

TEST_F(TempFile, ReopenLeavesStreamUsableWhenThePathFails) {
  FILE *f = fopen(path("first").c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fileReopen(f, path("missing/dir/file").c_str(), "w"), nullptr);
  ASSERT_EQ(fileWriteStream("still here", 10, f), nullptr);
  FILE *again = fileReopen(f, path("second").c_str(), "w");
  ASSERT_EQ(again, f);
  ASSERT_EQ(fileWriteStream("moved", 5, f), nullptr);
  fclose(f);
  EXPECT_EQ(std::filesystem::file_size(path("first")), 10u);
  EXPECT_EQ(std::filesystem::file_size(path("second")), 5u);
}

TEST_F(TempFile, LockExcludesOtherProcesses) {
  FILE *f = fopen(path("locked").c_str(), "w+");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fileLock(f), 1);
  // Another process's attempt without waiting fails while the lock is held, and succeeds after.
  auto probe = [&]() {
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(path("locked").c_str(), O_RDWR);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      _exit(fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(probe(), 1);
  ASSERT_EQ(fileUnlock(f), 1);
  EXPECT_EQ(probe(), 0);
  fclose(f);
}

TEST(Counters, WrapAndStayConsistentUnderThreads) {
  uint16_t small = 65535;
  EXPECT_EQ(atomicAdd16(&small, 1), 0);
  EXPECT_EQ(atomicAdd16(&small, -1), 65535);
  uint32_t big = 0xffffffffu;
  EXPECT_EQ(atomicAdd32(&big, 2), 1u);

  uint16_t shared16 = 0;
  uint32_t shared32 = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) {
        atomicAdd16(&shared16, 1);
        atomicAdd32(&shared32, 3);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(shared16, 40000);
  EXPECT_EQ(shared32, 120000u);

  struct {
    const char *text;
    char c;
    size_t n;
  } cases[] = {{"", 'a', 0}, {"banana", 'a', 3}, {"a.b.c.", '.', 3}, {"xyz", 'q', 0}};
  for (auto &c : cases) EXPECT_EQ(strCountChar(c.text, c.c), c.n) << c.text;
}

}  // namespace
