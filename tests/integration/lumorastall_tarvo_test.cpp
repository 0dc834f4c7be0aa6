// No GL client's work holds the others: through tarvo with its screen served by the GL library
// ("lumora on", lumoraMemory 64M), a bystander's round trips stay answered while one client
// compiles a display list to its budget and past it, replays a million blended window-filling
// rectangles through nested lists on a 1280x1024 window, sends forty such requests back to back,
// or closes its socket in the middle of one. The hostile client's work ends where it was cut
// (BadAlloc and GL_OUT_OF_MEMORY, or its request's time), and tarvo ends cleanly.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "glxcommands.h"
#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kMinorNewList = 101, kMinorEndList = 102, kMinorGetError = 115;
constexpr uint32_t kGlCompile = 0x1300, kGlOutOfMemory = 0x0505;
constexpr int kBadAlloc = 11;
// A round trip of the bystander that takes longer than this is a stall (generous: the machine
// may be busy, and tarvo may run under AddressSanitizer).
constexpr int kCeilingMs = 20000;

GlxCommand words(uint16_t opcode, std::initializer_list<uint32_t> values) {
  GlxCommand command{opcode, {}};
  for (uint32_t v : values) glxcommandPut32(command, v);
  return command;
}
GlxCommand floats(uint16_t opcode, std::initializer_list<float> values) {
  GlxCommand command{opcode, {}};
  for (float v : values) glxcommandPutFloat(command, v);
  return command;
}
GlxCommand callList(uint32_t list) { return words(1, {list}); }

class LumoraStall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens = {"1280x1024x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    TarvoOptions options = lumoraOptions();
    options.arguments.insert(options.arguments.end(), {"lumoraMemory", "64M"});
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
    ASSERT_EQ(gl.connect(tarvo.displayNumber(), 'l'), "");
    uint32_t visual = lumoraGlVisual(gl.raw, gl.big, gl.major, false, false);
    ASSERT_NE(visual, 0u);
    // A mapped window as large as the screen, and a context current on it.
    uint32_t colormap = gl.id(), window = gl.id(), context = gl.id();
    RawClient &raw = gl.raw;
    ASSERT_EQ(raw.send(RawRequest(false).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done()), "");
    ASSERT_EQ(raw.send(RawRequest(false)
                           .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(1280).s(1024).s(0).s(1)
                           .i(visual).i(0x0002 | 0x0008 | 0x2000).i(0).i(0).i(colormap)
                           .done()),
              "");
    ASSERT_EQ(raw.send(RawRequest(false).b(8).b(0).s(0).i(window).done()), "");
    ASSERT_EQ(gl.errorAfter(gl.glx(3).i(context).i(visual).i(0).i(0).b(0).pad(3)), 0);
    RawBytes answer = gl.ask(gl.glx(5).i(window).i(context).i(0));
    ASSERT_EQ(answer.empty() ? 0 : answer[0], 1);
    tag = gl.word(answer, 8);
    ASSERT_NE(tag, 0u);
    ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  }
  void TearDown() override {
    gl.raw.close();
    bystander.close();
    lumoraExpectServedAndStop(tarvo);
  }

  // Runs hostile on a thread while the bystander makes GetInputFocus round trips, each expected
  // within the ceiling; the number answered.
  int roundTripsWhile(const std::function<void()> &hostile) {
    bool done = false;
    std::thread worker([&] {
      hostile();
      __atomic_store_n(&done, true, __ATOMIC_RELEASE);
    });
    int answered = 0;
    while (!__atomic_load_n(&done, __ATOMIC_ACQUIRE)) {
      RawBytes answer;
      std::string failed = bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs);
      if (!failed.empty()) {
        ADD_FAILURE() << "the bystander's round trip: " << failed;
        break;
      }
      answered++;
    }
    worker.join();
    return answered;
  }

  // The GL client's next GetError: the GL error (0xFFFFFFFF without an answer).
  uint32_t glError() {
    RawBytes answer;
    std::string failed = gl.raw.roundTrip(gl.single(kMinorGetError, tag).done(), answer, 120000);
    return failed.empty() && answer.size() >= 12 && answer[0] == 1 ? gl.word(answer, 8) : 0xFFFFFFFFu;
  }

  // Lists 1 to 3: a window-filling rectangle, 1000 calls of list 1, 1000 calls of list 2; the
  // rectangles blended, so that each costs the library the window's pixels.
  void nestedLists() {
    auto make = [&](uint32_t list, const std::vector<GlxCommand> &commands) {
      gl.send(gl.single(kMinorNewList, tag).i(list).i(kGlCompile));
      gl.render(tag, commands);
      EXPECT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
    };
    make(1, {floats(46, {-1, -1, 1, 1})});
    make(2, std::vector<GlxCommand>(1000, callList(1)));
    make(3, std::vector<GlxCommand>(1000, callList(2)));
    gl.render(tag, {words(191, {0, 0, 1280, 1024}), words(139, {0x0BE2}), words(160, {0x0302, 0x0303}),
                    floats(16, {1, 0, 0, 0.5f})});
    EXPECT_EQ(glError(), 0u);
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  LumoraClient gl;
  uint32_t tag = 0;
  RawClient bystander;
};

// A list compiled to the 64M budget in requests of 4000 colours each: every one fits until the
// budget is used, then each is refused at once (BadAlloc, GL_OUT_OF_MEMORY); the bystander is
// answered throughout (the list's room grew by exactly the next command once half again did not
// fit the budget, copying the whole list for every command: minutes).
TEST_F(LumoraStall, CompilingAListPastItsBudget) {
  GlxCommand color = floats(16, {0.1f, 0.2f, 0.3f, 1});
  std::vector<GlxCommand> colors(4000, color);
  GlxBytes request = glxcommandRenderRequest(gl.major, tag, colors, gl.big);
  constexpr int kRequests = 900;  // 4000 x 24 bytes kept each: 86 MB asked for
  int refused = 0, answers = 0;
  gl.send(gl.single(kMinorNewList, tag).i(50).i(kGlCompile));
  int answered = roundTripsWhile([&] {
    for (int k = 0; k < kRequests; k++) EXPECT_EQ(gl.raw.send(request, 120000), "");
    EXPECT_EQ(gl.raw.send(RawRequest(false).b(43).b(0).s(1).done()), "");
    for (RawBytes message; gl.raw.read(message, 120000) == "";) {
      if (message[0] == 0 && message[1] == kBadAlloc) refused++;
      if (message[0] == 1) break;
      answers++;
    }
  });
  EXPECT_GT(answered, 0);
  EXPECT_GT(refused, 0);
  EXPECT_LT(refused, kRequests - 500);  // 64 MB hold about 690 of them
  EXPECT_EQ(refused, answers);
  EXPECT_EQ(glError(), kGlOutOfMemory);
  EXPECT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
  EXPECT_EQ(glError(), 0u);
}

// One 12-byte request that replays a million blended window-filling rectangles: its work ends
// at its time (GL_OUT_OF_MEMORY for its next GetError), and the bystander is answered meanwhile.
TEST_F(LumoraStall, AMillionRectanglesFromNestedLists) {
  nestedLists();
  uint32_t error = 0;
  int answered = roundTripsWhile([&] {
    gl.render(tag, {callList(3)});
    error = glError();
  });
  EXPECT_GT(answered, 0);
  EXPECT_EQ(error, kGlOutOfMemory);
  EXPECT_NE(tarvo.log().find("ended its work at the bound"), std::string::npos);
}

// The same million rectangles as quads inside one glBegin, from nested lists: the library is
// finished between quads (the proxy ends the primitive and begins it again), and the work ends
// at the request's time.
TEST_F(LumoraStall, AMillionQuadsInsideOneBegin) {
  nestedLists();
  auto make = [&](uint32_t list, const std::vector<GlxCommand> &commands) {
    gl.send(gl.single(kMinorNewList, tag).i(list).i(kGlCompile));
    gl.render(tag, commands);
    EXPECT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
  };
  make(4, {floats(66, {-1, -1}), floats(66, {1, -1}), floats(66, {1, 1}), floats(66, {-1, 1})});
  make(5, std::vector<GlxCommand>(1000, callList(4)));
  make(6, std::vector<GlxCommand>(1000, callList(5)));
  uint32_t error = 0;
  int answered = roundTripsWhile([&] {
    gl.render(tag, {words(4, {0x0007}), callList(6), words(23, {})});
    error = glError();
  });
  EXPECT_GT(answered, 0);
  EXPECT_EQ(error, kGlOutOfMemory);
}

// Forty such requests back to back: each ends at its time, and the bystander is served between
// them (turns of time), not only after the last.
TEST_F(LumoraStall, FortyRequestsAtTheBoundBackToBack) {
  nestedLists();
  uint32_t error = 0;
  int answered = roundTripsWhile([&] {
    for (int k = 0; k < 40; k++) gl.render(tag, {callList(3)});
    error = glError();
  });
  EXPECT_GE(answered, 20);
  EXPECT_EQ(error, kGlOutOfMemory);
}

// A client that closes its socket in the middle of such a request is not drawn for: its work
// ends at the next look at the clock, before its time is up.
TEST_F(LumoraStall, AClientThatLeavesMidReplayIsNotDrawnFor) {
  nestedLists();
  int answered = roundTripsWhile([&] {
    gl.render(tag, {callList(3)});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gl.raw.close();
    // Until the work has ended.
    for (int k = 0; k < 2000 && tarvo.log().find("ended its work") == std::string::npos; k++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  EXPECT_GT(answered, 0);
  EXPECT_NE(tarvo.log().find("ended its work: its client has gone"), std::string::npos) << tarvo.log();
}

// A glBegin left open by a client that then sleeps holds the other clients for a second only:
// the proxy ends it (GL_OUT_OF_MEMORY for the client's next GetError), and another GL client
// and the bystander are served.
TEST_F(LumoraStall, AGlBeginLeftOpenHoldsTheOthersForASecondOnly) {
  LumoraConfig config = lumoraFindConfig(tarvo.displayName());
  ASSERT_NE(config.config, 0u);
  LumoraClient other;
  uint32_t otherTag = other.currentOnPbuffer(tarvo.displayNumber(), 'B', config.config);
  ASSERT_NE(otherTag, 0u);
  gl.render(tag, {words(4, {0x0007}), floats(70, {0, 0, 0})});  // glBegin(GL_QUADS), a vertex
  // The bystander and the other GL client are answered (a glFinish of its own context).
  RawBytes answer;
  EXPECT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
  EXPECT_EQ(other.raw.roundTrip(other.single(108, otherTag).done(), answer, kCeilingMs), "");
  EXPECT_EQ(answer.empty() ? 0 : answer[0], 1);
  EXPECT_NE(tarvo.log().find("held the other clients"), std::string::npos);
  // The sleeper's primitive was ended for it: its glEnd now is GL's error after the first one.
  EXPECT_EQ(glError(), kGlOutOfMemory);
  gl.render(tag, {words(23, {})});
  EXPECT_EQ(glError(), 0x0502u);  // GL_INVALID_OPERATION
  other.raw.close();
}

}  // namespace
