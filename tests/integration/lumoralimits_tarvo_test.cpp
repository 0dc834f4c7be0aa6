// The GL library inside the proxy is handed only what it can hold, and reads back only what
// exists (tarvo with its screen served by the system's GL library, "lumora on", a raw GLX
// client beside a bystander doing round trips): a window larger than the library's largest
// drawable fails MakeCurrent with BadAlloc, and so does every request under a tag whose window
// grew past it (until it shrinks again), a SwapBuffers of it included; ReadPixels of a rectangle
// far larger than its window is answered with the window's pixels and zeros elsewhere, counted
// against the client's lumoraMemory (BadAlloc past it), and tarvo's resident set stays within
// the budget. tarvo stays up, serves the bystander and ends cleanly (a sanitizer's report shows
// in its status).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <thread>
#include <chrono>

#include "glxcommands.h"
#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kMinorCreateContext = 3, kMinorMakeCurrent = 5, kMinorSwapBuffers = 11;
constexpr uint8_t kMinorFinish = 108, kMinorReadPixels = 111, kMinorGetError = 115;
constexpr int kBadAlloc = 11;
constexpr uint32_t kRgba = 0x1908, kUnsignedByte = 0x1401, kFloat = 0x1406;
constexpr uint16_t kLargest = 32767;  // the largest window the real server makes
// Round trips and replies of up to 256 MiB through tarvo, perhaps under AddressSanitizer on a
// busy machine: generous.
constexpr int kCeilingMs = 120000;
// What tarvo's peak resident set may grow beyond the budget (the library's working memory).
constexpr long kMarginKb = 64 * 1024;

GlxCommand words(uint16_t opcode, std::initializer_list<uint32_t> values) { return glxcommandWords(opcode, values); }
GlxCommand floats(uint16_t opcode, std::initializer_list<float> values) { return glxcommandFloats(opcode, values); }

// A field of tarvo's /proc status in kB (VmRSS, VmHWM), or -1.
long statusKb(pid_t pid, const char *field) {
  std::string status = tarvoReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find(field);
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + strlen(field), nullptr, 10);
}

// Xvfb, tarvo with its screen served by the GL library (lumoraMemory as the test's name ends,
// "...Budget600M", else the default), a GL client with a double-buffered visual, and a
// bystander of the other byte order.
class LumoraLimits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    ASSERT_EQ(lumoraStartXvfb(xvfb, "1280x1024x24"), "");
    TarvoOptions options = lumoraOptions();
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (size_t at = name.rfind("Budget"); at != std::string::npos) {
      budgetMb = std::atol(name.c_str() + at + 6);
      options.arguments.insert(options.arguments.end(), {"lumoraMemory", std::to_string(budgetMb) + "M"});
      // Freed blocks stay out of AddressSanitizer's quarantine: the resident set is to show
      // what tarvo holds.
      options.environment.back().second += ":quarantine_size_mb=1";
    }
    options.logTypes = {"steps", "Xhints"};
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
    ASSERT_EQ(gl.connect(tarvo.displayNumber(), 'l'), "");
    visual = lumoraGlVisual(gl.raw, gl.big, gl.major, true, false);
    ASSERT_NE(visual, 0u);
    context = gl.id();
    ASSERT_EQ(gl.errorAfter(gl.glx(kMinorCreateContext).i(context).i(visual).i(0).i(0).b(0).pad(3)), 0);
    ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  }
  void TearDown() override {
    gl.raw.close();
    bystander.close();
    lumoraExpectServedAndStop(tarvo);
  }

  // A mapped window of the GL visual, width x height at the origin.
  uint32_t window(uint16_t width, uint16_t height) {
    uint32_t colormap = gl.id(), made = gl.id();
    RawClient &raw = gl.raw;
    gl.send(RawRequest(false).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual));
    gl.send(RawRequest(false).b(1).b(24).s(0).i(made).i(raw.rootWindow()).s(0).s(0).s(width).s(height).s(0).s(1)
                .i(visual).i(0x0002 | 0x0008 | 0x2000).i(0).i(0).i(colormap));
    gl.send(RawRequest(false).b(8).b(0).s(0).i(made));
    return made;
  }
  // ConfigureWindow of the width and height.
  void resize(uint32_t target, uint16_t width, uint16_t height) {
    gl.send(RawRequest(false).b(12).b(0).s(0).i(target).s(0x0004 | 0x0008).s(0).i(width).i(height));
  }
  // GLXMakeCurrent of the context on the drawable: the tag, 0 after an error (*error its code).
  uint32_t makeCurrent(uint32_t drawable, uint32_t oldTag, int *error) {
    RawBytes answer;
    EXPECT_EQ(gl.raw.roundTrip(gl.glx(kMinorMakeCurrent).i(drawable).i(context).i(oldTag).done(), answer, kCeilingMs),
              "");
    *error = answer.empty() ? 255 : answer[0] == 0 ? answer[1] : 0;
    return !answer.empty() && answer[0] == 1 ? gl.word(answer, 8) : 0;
  }
  // A red rectangle over the whole viewport of side x side pixels.
  void drawRed(uint32_t tag, uint32_t width, uint32_t height) {
    gl.render(tag, {words(191, {0, 0, width, height}), floats(16, {1, 0, 0, 1}), floats(46, {-1, -1, 1, 1})});
  }
  int swap(uint32_t tag, uint32_t drawable) { return gl.errorAfter(gl.glx(kMinorSwapBuffers).i(tag).i(drawable)); }
  // The bystander's round trip is answered.
  void expectBystanderServed() {
    RawBytes answer;
    EXPECT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
    EXPECT_EQ(answer.empty() ? 0 : answer[0], 1);
  }
  // ReadPixels under the tag: "" and the reply or error.
  RawBytes readPixels(uint32_t tag, int32_t x, int32_t y, int32_t width, int32_t height, uint32_t type) {
    RawBytes answer;
    EXPECT_EQ(gl.raw.roundTrip(gl.single(kMinorReadPixels, tag)
                                   .i(uint32_t(x)).i(uint32_t(y)).i(uint32_t(width)).i(uint32_t(height))
                                   .i(kRgba).i(type).b(0).b(0).pad(2)
                                   .done(),
                               answer, kCeilingMs),
              "");
    return answer;
  }
  // A 64x64 window filled red, the context current on it: its tag.
  uint32_t redWindow() {
    uint32_t drawn = window(64, 64);
    int error = 0;
    uint32_t tag = makeCurrent(drawn, 0, &error);
    EXPECT_EQ(error, 0);
    drawRed(tag, 64, 64);
    EXPECT_EQ(gl.errorAfter(gl.single(kMinorFinish, tag)), 0);
    return tag;
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  LumoraClient gl;
  RawClient bystander;
  uint32_t visual = 0, context = 0;
  long budgetMb = 0;
};

// A window as large as the real server makes: MakeCurrent and MakeContextCurrent (as draw or
// read drawable) fail with BadAlloc, and so does a SwapBuffers of it under no tag; tarvo (which
// the library's overrun of the window's image took down) serves the bystander.
TEST_F(LumoraLimits, AWindowBeyondTheLibrarysLargestIsRefused) {
  uint32_t huge = window(kLargest, kLargest), small = window(64, 64);
  int error = 0;
  uint32_t tag = makeCurrent(huge, 0, &error);
  EXPECT_EQ(error, kBadAlloc);
  if (tag) {
    // Served all the same (as before): what the library then does with it.
    drawRed(tag, kLargest, kLargest);
    swap(tag, huge);
  }
  EXPECT_EQ(swap(0, huge), kBadAlloc);
  expectBystanderServed();
  gl.makeCurrent(0, small, huge, context, &error);
  EXPECT_EQ(error, kBadAlloc);
  gl.makeCurrent(0, huge, small, context, &error);
  EXPECT_EQ(error, kBadAlloc);
  // The small window is served.
  tag = makeCurrent(small, 0, &error);
  EXPECT_EQ(error, 0);
  EXPECT_NE(tag, 0u);
  drawRed(tag, 64, 64);
  EXPECT_EQ(swap(tag, small), 0);
  EXPECT_NE(tarvo.log().find("beyond the GL library's largest size"), std::string::npos) << tarvo.log();
  expectBystanderServed();
}

// A window made current while small and then resized past the largest size: every request
// under its tag (render, a single request with a reply, SwapBuffers under the tag or under none)
// is BadAlloc while it is that large, the bystander is served, and once the window is small
// again it is drawn into as before.
TEST_F(LumoraLimits, AWindowResizedBeyondTheLargestIsRefusedUntilItShrinks) {
  uint32_t drawn = window(64, 64);
  int error = 0;
  uint32_t tag = makeCurrent(drawn, 0, &error);
  ASSERT_EQ(error, 0);
  drawRed(tag, 64, 64);
  EXPECT_EQ(swap(tag, drawn), 0);
  resize(drawn, kLargest, kLargest);
  EXPECT_EQ(gl.errorAfter(glxcommandRenderRequest(gl.major, tag, {floats(46, {-1, -1, 1, 1})}, gl.big)), kBadAlloc);
  EXPECT_EQ(swap(tag, drawn), kBadAlloc);
  EXPECT_EQ(swap(0, drawn), kBadAlloc);
  EXPECT_EQ(gl.errorOf(gl.single(kMinorGetError, tag)), kBadAlloc);
  expectBystanderServed();
  resize(drawn, 64, 64);
  drawRed(tag, 64, 64);
  EXPECT_EQ(swap(tag, drawn), 0);
  RawBytes answer;
  EXPECT_EQ(gl.raw.roundTrip(gl.single(kMinorGetError, tag).done(), answer, kCeilingMs), "");
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(gl.word(answer, 8), 0u);
  // A tag let go of while its window is too large moves to another drawable.
  resize(drawn, kLargest, kLargest);
  uint32_t other = window(32, 32);
  uint32_t moved = makeCurrent(other, tag, &error);
  EXPECT_EQ(error, 0);
  drawRed(moved, 32, 32);
  EXPECT_EQ(swap(moved, other), 0);
  expectBystanderServed();
}

// ReadPixels of 4096x4096 RGBA floats (256 MiB) from a 64x64 window, three times: answered at
// the requested size, the window's pixels red and every other one zero; tarvo's peak resident
// set grows by less than the budget (the library reads the window's part straight into the
// reply). A rectangle partly left of and below the window holds the window's part where it lies.
TEST_F(LumoraLimits, ReadPixelsAreClippedToTheWindowBudget600M) {
  uint32_t tag = redWindow();
  long before = statusKb(tarvo.pid(), "VmHWM:");
  ASSERT_GT(before, 0);
  constexpr int32_t kSide = 4096;
  for (int round = 0; round < 3; round++) {
    RawBytes answer = readPixels(tag, 0, 0, kSide, kSide, kFloat);
    ASSERT_EQ(answer.size(), 32 + size_t(kSide) * kSide * 16) << (answer.empty() ? -1 : answer[1]);
    ASSERT_EQ(answer[0], 1);
    size_t wrong = 0;
    for (size_t row = 0; row < size_t(kSide); row++) {
      for (size_t column = 0; column < size_t(kSide); column++) {
        float rgba[4];
        memcpy(rgba, answer.data() + 32 + (row * kSide + column) * 16, 16);
        bool inside = row < 64 && column < 64;
        bool right = inside ? rgba[0] == 1 && rgba[1] == 0 && rgba[2] == 0 && rgba[3] == 1
                            : rgba[0] == 0 && rgba[1] == 0 && rgba[2] == 0 && rgba[3] == 0;
        wrong += !right;
      }
    }
    EXPECT_EQ(wrong, 0u);
    expectBystanderServed();
  }
  long after = statusKb(tarvo.pid(), "VmHWM:");
  EXPECT_LT(after - before, budgetMb * 1024 + kMarginKb) << "kB";

  // 128x128 bytes from (-32, -40): the window's pixels at columns 32..95 of rows 40..103.
  RawBytes answer = readPixels(tag, -32, -40, 128, 128, kUnsignedByte);
  ASSERT_EQ(answer.size(), 32 + size_t(128) * 128 * 4);
  size_t wrong = 0;
  for (size_t row = 0; row < 128; row++) {
    for (size_t column = 0; column < 128; column++) {
      const uint8_t *pixel = answer.data() + 32 + (row * 128 + column) * 4;
      bool inside = row >= 40 && row < 104 && column >= 32 && column < 96;
      wrong += inside ? !(pixel[0] == 255 && pixel[1] == 0 && pixel[2] == 0 && pixel[3] == 255)
                      : !(pixel[0] == 0 && pixel[1] == 0 && pixel[2] == 0 && pixel[3] == 0);
    }
  }
  EXPECT_EQ(wrong, 0u);
}

// Past the client's lumoraMemory the read is BadAlloc at once, whatever part of it exists; a
// read within the budget is answered, and tarvo's peak resident set stays within it.
TEST_F(LumoraLimits, ReadPixelsPastTheBudgetAreRefusedBudget64M) {
  uint32_t tag = redWindow();
  long before = statusKb(tarvo.pid(), "VmHWM:");
  for (int round = 0; round < 3; round++) {
    RawBytes answer = readPixels(tag, 0, 0, 4096, 4096, kFloat);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(answer[1], kBadAlloc);
  }
  RawBytes answer = readPixels(tag, 0, 0, 2048, 2048, kUnsignedByte);  // 16 MiB
  ASSERT_EQ(answer.size(), 32 + size_t(2048) * 2048 * 4);
  EXPECT_EQ(answer[32], 255);
  expectBystanderServed();
  EXPECT_LT(statusKb(tarvo.pid(), "VmHWM:") - before, budgetMb * 1024 + kMarginKb) << "kB";
}

// A client that sends read-backs before it reads their replies: each reply stays counted until
// the client's output has been written out, so one made while an earlier one is still on its
// way is BadAlloc at once (whether the next comes before or after the client read is the
// scheduler's), and tarvo's peak resident set stays within the budget; once the client has
// read its replies, the next read is answered.
TEST_F(LumoraLimits, RepliesNotTakenStayCountedBudget600M) {
  uint32_t tag = redWindow();
  long before = statusKb(tarvo.pid(), "VmHWM:");
  RawBytes request =
      gl.single(kMinorReadPixels, tag).i(0).i(0).i(4096).i(4096).i(kRgba).i(kFloat).b(0).b(0).pad(2).done();
  constexpr int kReads = 4;
  for (int k = 0; k < kReads; k++) ASSERT_EQ(gl.raw.send(request, kCeilingMs), "");
  int replies = 0, refused = 0;
  for (int k = 0; k < kReads; k++) {
    RawBytes answer;
    ASSERT_EQ(gl.raw.read(answer, kCeilingMs), "");
    replies += answer[0] == 1;
    refused += answer[0] == 0 && answer[1] == kBadAlloc;
  }
  EXPECT_GE(replies, 1);
  EXPECT_EQ(replies + refused, kReads);
  EXPECT_LT(statusKb(tarvo.pid(), "VmHWM:") - before, budgetMb * 1024 + kMarginKb) << "kB";
  RawBytes answer = readPixels(tag, 0, 0, 4096, 4096, kFloat);
  EXPECT_EQ(answer.empty() ? 0 : answer[0], 1);
  expectBystanderServed();
}

}  // namespace
