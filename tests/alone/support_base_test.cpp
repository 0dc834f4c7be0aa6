// strings, fd and buffer below logging: this test links only their objects and the problem
// hooks, so it stops linking when one of them reaches for logging (or anything else) again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/buffer.h"
#include "support/fd.h"
#include "support/problems.h"
#include "support/strings.h"

namespace {

std::string reported;
void captureError(const char *source, int, const char *message) { reported = std::string(source) + " " + message; }

TEST(SupportBase, ProblemsReachTheHookOrAreDropped) {
  problemErrorHook = nullptr;
  fdSetNonBlocking(-1);  // no hook: dropped, no crash
  problemErrorHook = captureError;
  fdSetNonBlocking(-1);
  problemErrorHook = nullptr;
  EXPECT_EQ(reported.rfind("fd.c fcntl(O_NONBLOCK) failed: ", 0), 0u) << reported;
}

TEST(SupportBase, LinesThroughAPipeIntoABuffer) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const char *text = strTempPrintf("%s %d\r\nsecond", "first", 1);
  ASSERT_EQ(fdWriteAll(p[1], text, strlen(text)), nullptr);
  close(p[1]);
  Buffer buf = {};
  while (bufferReadFd(p[0], 64, &buf) == 1) {
  }
  close(p[0]);
  ASSERT_EQ(buf.length, strlen(text));
  uint32_t taken = bufferTakeLine(nullptr, nullptr, &buf);
  EXPECT_EQ(taken, 9u);
  EXPECT_STREQ(buf.data, "first 1");
  bufferConsume(&buf, taken);
  EXPECT_EQ(std::string(buf.data, buf.length), "second");
  bufferFree(&buf);
}

}  // namespace
