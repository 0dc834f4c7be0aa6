#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "support/fd.h"
#include "support/logging.h"

namespace {

// A poll that fails for good (more descriptors than the limit allows) ends the wait with 0
// instead of retrying for ever; the child is ended by an alarm if it hangs.
TEST(Fd, PollFailureEndsTheWait) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_NOFILE, &none) != 0) _exit(3);
    _exit(fdWaitReadable(p[0], 0) == 0 && fdIsReadable(p[0]) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(p[0]);
  close(p[1]);
}

// Mode changes and readiness; a write to a full pipe nobody reads gives up after the wait with the
// unwritten count; with wait 0 (no limit) a late reader gets every byte; without reader it fails.
TEST(Fd, ModesReadinessAndWriteAll) {
  signal(SIGPIPE, SIG_IGN);
  int p[2] = {-1, -1};
  ASSERT_EQ(pipe(p), 0);
  fdSetNonBlocking(p[1]);
  ASSERT_TRUE(fcntl(p[1], F_GETFL) & O_NONBLOCK);
  size_t capacity = static_cast<size_t>(fcntl(p[1], F_GETPIPE_SZ));
  std::string data(capacity * 3, 'z'), got;
  fdWriteAllWaitMs = 200;  // only this test writes with fdWriteAll
  auto start = std::chrono::steady_clock::now();
  std::string unwritten = "Can't write " + std::to_string(capacity * 2) + " bytes to fd " + std::to_string(p[1]);
  EXPECT_STREQ(fdWriteAll(p[1], data.data(), data.size()), (unwritten + ": " + strerror(EAGAIN)).c_str());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_TRUE(fdIsReadable(p[0]) == 1 && fdIsWritable(p[1]) == 0);

  fdWriteAllWaitMs = 0;
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char block[4096];
    for (ssize_t n; got.size() < capacity + data.size() && fdWaitReadable(p[0], 10000) &&
                    (n = read(p[0], block, sizeof block)) > 0;)
      got.append(block, static_cast<size_t>(n));
  });
  EXPECT_EQ(fdWriteAll(p[1], data.data(), data.size()), nullptr);
  reader.join();
  EXPECT_EQ(got, std::string(capacity, 'z') + data);  // what the full pipe held, then all of data
  fdSetBlocking(p[1]);
  EXPECT_FALSE(fcntl(p[1], F_GETFL) & O_NONBLOCK);
  close(p[0]);
  EXPECT_STREQ(fdWriteAll(p[1], "abc", 3), ("Can't write 3 bytes to fd " + std::to_string(p[1]) + ": " +
                                            strerror(EPIPE)).c_str());
  close(p[1]);

  // A failed mode change is reported on the error channel under the module's fixed source name.
  static std::string reported;
  char name[] = "fd_test", *argv[] = {name, nullptr};
  logInit(1, argv, "", "");
  logOutputHook = [](LogChannel *, const char *source, int, const char *text) { reported = std::string(source) + " " + text; };
  fdSetNonBlocking(-1);
  logOutputHook = logEmit;
  EXPECT_EQ(reported, std::string("fd.c fcntl(O_NONBLOCK) failed: ") + strerror(EBADF));
}

// Rewriting bytes behind the position leaves the position; a reopen on a path in a missing
// directory leaves the stream usable; a lock keeps another process out until unlocked.
TEST(Files, UpdateReopenAndLock) {
  char pattern[] = "/tmp/fdtestXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  FILE *f = fopen((dir + "/content").c_str(), "w+");
  ASSERT_EQ(fileWriteStream("0123456789", 10, f), nullptr);
  ASSERT_EQ(fseek(f, 4, SEEK_SET), 0);
  EXPECT_EQ(fileUpdateContent("ab", 2, f, 7), nullptr);
  ASSERT_EQ(fileWriteStream("W", 1, f), nullptr);  // lands at 4
  char text[16] = {};
  rewind(f);
  ASSERT_EQ(fread(text, 1, sizeof text, f), 10u);
  EXPECT_STREQ(text, "0123W56ab9");

  EXPECT_EQ(fileReopen(f, (dir + "/missing/dir/file").c_str(), "w"), nullptr);
  ASSERT_EQ(fileWriteStream("still here", 10, f), nullptr);
  ASSERT_EQ(fileReopen(f, (dir + "/second").c_str(), "w+"), f);
  EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);  // never leaks into a child
  EXPECT_EQ(std::filesystem::file_size(dir + "/content"), 20u);

  ASSERT_EQ(fileLock(f), 1);
  auto otherProcessLocks = [&] {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    pid_t pid = fork();
    if (pid == 0) _exit(fcntl(open((dir + "/second").c_str(), O_RDWR), F_SETLK, &lock) == 0 ? 0 : 1);
    int status = -1;
    return waitpid(pid, &status, 0) == pid && status == 0;
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
  auto add = [&] { for (int i = 0; i < 10000; i++) atomicAdd16(&shared16, 1), atomicAdd32(&shared32, 3); };
  { std::jthread a(add), b(add), c(add), d(add); }  // they join as the block ends
  EXPECT_EQ(shared16, 40000);
  EXPECT_EQ(shared32, 120000u);
  EXPECT_EQ(strCountChar("a.b.c.", '.'), 3u);
}

}  // namespace
