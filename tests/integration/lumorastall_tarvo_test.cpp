// No GL client's work holds the others, and time decides whose turn it is, not whether a
// request succeeds: through tarvo with its screen served by the GL library ("lumora on",
// lumoraMemory 64M), a bystander's round trips stay answered while one client compiles a
// display list to its budget and past it, replays a million blended window-filling rectangles
// through nested lists on a 1280x1024 window (its request yields its turns, and ends only at
// its own time's bound), sends forty long requests back to back, or closes its socket in the
// middle of one; while eight GL clients work long requests at once; while a client renews an
// open glBegin again and again, or leaves one open and sleeps; while a client makes the lists of
// a large font, or of a huge one (within its budget); while a client's shader draws for a second
// in one call of the library, or eight texture units over the window for half a second; when a
// client standing inside a long strip or polygon ends, or one leaves behind a long draw (the
// last one, too, whose end resets the proxy). An
// honest model of 20 000 triangles in a list is drawn whole every frame. tarvo
// ends cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
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

GlxCommand words(uint16_t opcode, std::initializer_list<uint32_t> values) { return glxcommandWords(opcode, values); }
GlxCommand floats(uint16_t opcode, std::initializer_list<float> values) { return glxcommandFloats(opcode, values); }
GlxCommand callList(uint32_t list) { return words(1, {list}); }

class LumoraStall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    ASSERT_EQ(lumoraStartXvfb(xvfb, "1280x1024x24"), "");
    TarvoOptions options = lumoraOptions();
    options.arguments.insert(options.arguments.end(), {"lumoraMemory", "64M"});
    // The software library draws on a thread per core of the machine: two, as many as these
    // cases are counted for in CTest. (Under ThreadSanitizer the first time the library's own
    // race, suppressed in tests/tsan.supp, is met on the loop's thread, the sanitizer reads the
    // process's debug information to name it: 0.3-0.9 s on a busy machine, which holds every
    // client. With a thread per core the long shader's draws there took only 2 s, and a quarter
    // of that was missed; with two they take longer than four such waits.)
    options.environment.emplace_back("LP_NUM_THREADS", "2");
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
    this->window = window;
    ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  }
  void TearDown() override {
    gl.raw.close();
    bystander.close();
    if (tarvo.running()) lumoraExpectServedAndStop(tarvo);
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

  // The bystander's longest GetInputFocus round trip until done is set (each expected within the
  // ceiling); the round trips answered in *answered.
  std::chrono::steady_clock::duration longestTripUntil(const std::atomic<bool> &done, int *answered = nullptr) {
    std::chrono::steady_clock::duration longest{};
    while (!done) {
      auto start = std::chrono::steady_clock::now();
      RawBytes answer;
      std::string failed = bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs);
      if (!failed.empty()) {
        ADD_FAILURE() << "the bystander's round trip: " << failed;
        break;
      }
      longest = std::max(longest, std::chrono::steady_clock::now() - start);
      if (answered) ++*answered;
    }
    return longest;
  }

  // The GL client sends the commands and waits for its Finish's answer, on a thread of its own,
  // while the bystander asks: how long the GL client waited, and the bystander's longest round
  // trip meanwhile.
  std::pair<std::chrono::steady_clock::duration, std::chrono::steady_clock::duration> drawBesideBystander(
      const std::vector<GlxCommand> &commands) {
    constexpr uint8_t kMinorFinish = 108;
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration took{};
    std::thread worker([&] {
      auto start = std::chrono::steady_clock::now();
      gl.render(tag, commands);
      RawBytes answer;
      EXPECT_EQ(gl.raw.roundTrip(gl.single(kMinorFinish, tag).done(), answer, 120000), "");
      took = std::chrono::steady_clock::now() - start;
      done = true;
    });
    std::chrono::steady_clock::duration longest = longestTripUntil(done);
    worker.join();
    return {took, longest};
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

  // A triangle strip (or a polygon) standing inside its glBegin, four million window-filling
  // vertices from nested lists, whose client is killed by another or closes its socket: the
  // strip is ended and begun again between its triangles so that the library is finished there,
  // so the end of its context waits for little: the bystander's round trips over the next two
  // seconds each come within a second.
  void longShaderProgram(LumoraClient &drawer, bool doubleBuffered, uint32_t *own, uint32_t *window = nullptr,
                         uint32_t *context = nullptr);
  void longShaderLoop(bool doubleBuffered);
  void endDuringALongCall(bool serverKilled);
  void leavingWithALongDrawQueued(bool closes);

  void standingStripEnds(bool killed, uint32_t mode = 0x0005) {
    auto make = [&](uint32_t list, const std::vector<GlxCommand> &commands) {
      gl.send(gl.single(kMinorNewList, tag).i(list).i(kGlCompile));
      gl.render(tag, commands);
      EXPECT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
    };
    make(8, {floats(66, {-1, -1}), floats(66, {1, -1}), floats(66, {-1, 1}), floats(66, {1, 1})});
    make(9, std::vector<GlxCommand>(1000, callList(8)));
    make(10, std::vector<GlxCommand>(1000, callList(9)));
    gl.render(tag, {words(4, {mode}), callList(10)});  // glBegin(mode), never ended
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (killed)
      ASSERT_EQ(bystander.send(RawRequest(true).b(113).b(0).s(0).i(window).done()), "");  // KillClient
    else
      gl.raw.close();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::chrono::steady_clock::duration longest{};
    while (std::chrono::steady_clock::now() < end) {
      auto start = std::chrono::steady_clock::now();
      RawBytes answer;
      ASSERT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
      longest = std::max(longest, std::chrono::steady_clock::now() - start);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LT(longest, std::chrono::seconds(1));
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  LumoraClient gl;
  uint32_t tag = 0, window = 0;
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

// Forty requests of a hundred such rectangles back to back, each longer than a turn: each is
// drawn whole (no GL error), and the bystander is served between their turns, not only after
// the last.
TEST_F(LumoraStall, FortyLongRequestsBackToBack) {
  nestedLists();
  gl.send(gl.single(kMinorNewList, tag).i(7).i(kGlCompile));
  gl.render(tag, std::vector<GlxCommand>(100, callList(1)));
  ASSERT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
  uint32_t error = 0;
  int answered = roundTripsWhile([&] {
    for (int k = 0; k < 40; k++) gl.render(tag, {callList(7)});
    error = glError();
  });
  EXPECT_GE(answered, 20);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(tarvo.log().find("ended its work"), std::string::npos);
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

// Another client destroys the window of a request that stands still between its turns: the
// request ends there (its drawable went), nothing more is drawn into it, and everyone goes on.
TEST_F(LumoraStall, AWindowDestroyedUnderAStandingRequest) {
  nestedLists();
  gl.render(tag, {callList(3)});
  for (int k = 0; k < 200 && tarvo.log().find("ended its work") == std::string::npos; k++) {
    RawBytes answer;
    ASSERT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
    if (k == 3) {
      ASSERT_EQ(bystander.send(RawRequest(true).b(4).b(0).s(0).i(window).done()), "");  // DestroyWindow
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(tarvo.log().find("ended its work: its drawable or context has gone"), std::string::npos) << tarvo.log();
  // The client is answered again: its next request under the tag is GLXBadCurrentWindow's or a
  // GetError's, and the bystander is served.
  RawBytes answer;
  EXPECT_EQ(gl.raw.roundTrip(RawRequest(false).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
  EXPECT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kCeilingMs), "");
}

// A glBegin left open by a client that then sleeps holds nobody: another GL client and the
// bystander are answered at once, and the sleeper's primitive is still open when it wakes: its
// glEnd is no GL error.
TEST_F(LumoraStall, AGlBeginLeftOpenHoldsNobody) {
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
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(tarvo.log().find("held the other clients"), std::string::npos);
  gl.render(tag, {floats(70, {1, 0, 0}), floats(70, {1, 1, 0}), floats(70, {0, 1, 0}), words(23, {})});
  EXPECT_EQ(glError(), 0u);
  other.raw.close();
}

// A client that ends its primitive and begins the next every 50 ms for five seconds, beside
// another GL client with a tag of its own, holds nobody: the bystander's round trips go on all
// the while.
TEST_F(LumoraStall, EndAndBeginRenewedForFiveSeconds) {
  LumoraConfig config = lumoraFindConfig(tarvo.displayName());
  ASSERT_NE(config.config, 0u);
  LumoraClient other;
  ASSERT_NE(other.currentOnPbuffer(tarvo.displayNumber(), 'B', config.config), 0u);
  gl.render(tag, {words(4, {0x0007}), floats(70, {0, 0, 0})});
  auto start = std::chrono::steady_clock::now();
  int answered = roundTripsWhile([&] {
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
      gl.render(tag, {words(23, {}), words(4, {0x0007}), floats(70, {0, 0, 0})});
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  gl.render(tag, {words(23, {})});
  // About one a second when the glBegin held the others; hundreds when it holds nobody.
  EXPECT_GE(answered, 25);
  EXPECT_EQ(glError(), 0u);
  other.raw.close();
}

// Eight GL clients each replay six hundred blended rectangles on a 1280x1024 pbuffer of their
// own, in one request that takes many turns (and a few tenths of a second of the library's time
// alone), all at once: each request is drawn whole (no GL error), and the bystander is answered
// throughout.
TEST_F(LumoraStall, EightClientsWorkingLongRequestsAtOnce) {
  LumoraConfig config = lumoraFindConfig(tarvo.displayName());
  ASSERT_NE(config.config, 0u);
  constexpr int kClients = 8;
  std::vector<LumoraClient> workers(kClients);
  std::vector<uint32_t> tags(kClients);
  for (int k = 0; k < kClients; k++) {
    LumoraClient &w = workers[k];
    ASSERT_EQ(w.connect(tarvo.displayNumber(), k % 2 ? 'B' : 'l'), "");
    uint32_t drawable = w.pbuffer(config.config, 1280, 1024);
    tags[k] = w.makeCurrent(0, drawable, drawable, w.newContext(config.config));
    ASSERT_NE(tags[k], 0u);
    w.send(w.single(kMinorNewList, tags[k]).i(1).i(kGlCompile));
    w.render(tags[k], std::vector<GlxCommand>(600, floats(46, {-1, -1, 1, 1})));
    ASSERT_EQ(w.errorAfter(w.single(kMinorEndList, tags[k])), 0);
    w.render(tags[k], {words(191, {0, 0, 1280, 1024}), words(139, {0x0BE2}), words(160, {0x0302, 0x0303}),
                       floats(16, {0, 1, 0, 0.5f})});
  }
  std::vector<uint32_t> errors(kClients, 0xFFFFFFFFu);
  int answered = roundTripsWhile([&] {
    std::vector<std::thread> threads;
    for (int k = 0; k < kClients; k++)
      threads.emplace_back([&, k] {
        LumoraClient &w = workers[k];
        w.render(tags[k], {callList(1)});
        RawBytes answer;
        if (w.raw.roundTrip(w.single(kMinorGetError, tags[k]).done(), answer, 300000) == "" && answer.size() >= 12)
          errors[k] = w.word(answer, 8);
      });
    for (std::thread &t : threads) t.join();
  });
  EXPECT_GT(answered, 0);
  for (int k = 0; k < kClients; k++) EXPECT_EQ(errors[k], 0u) << "client " << k;
  EXPECT_EQ(tarvo.log().find("ended its work"), std::string::npos);
  for (LumoraClient &w : workers) w.raw.close();
}

// A model of 20 000 triangles compiled into one list (one glBegin), called between PushMatrix
// and PopMatrix once a frame for four frames: every frame is drawn whole (its last triangle,
// at the top right, too), no GL error, and the matrix stack is back at its depth each frame.
TEST_F(LumoraStall, TwentyThousandTrianglesFromAListEveryFrame) {
  constexpr int kColumns = 200, kRows = 50;  // two triangles a cell
  auto vertex = [](int column, int row) {
    return floats(70, {-1 + 2.0f * float(column) / kColumns, -1 + 2.0f * float(row) / kRows, 0});
  };
  gl.send(gl.single(kMinorNewList, tag).i(1).i(kGlCompile));
  std::vector<GlxCommand> chunk{floats(8, {0, 1, 0}), words(4, {0x0004})};  // green, GL_TRIANGLES
  for (int row = 0; row < kRows; row++) {
    for (int column = 0; column < kColumns; column++)
      for (GlxCommand v : {vertex(column, row), vertex(column + 1, row), vertex(column + 1, row + 1),
                           vertex(column, row), vertex(column + 1, row + 1), vertex(column, row + 1)}) {
        chunk.push_back(floats(30, {0, 0, 1}));
        chunk.push_back(v);
      }
    if (row % 5 == 4 || row == kRows - 1) {
      if (row == kRows - 1) chunk.push_back(words(23, {}));
      gl.render(tag, chunk);
      chunk.clear();
    }
  }
  ASSERT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
  auto integer = [&](uint32_t pname) {
    RawBytes answer;
    EXPECT_EQ(gl.raw.roundTrip(gl.single(117, tag).i(pname).done(), answer, 120000), "");
    return answer.size() >= 32 && answer[0] == 1 ? gl.word(answer, 16) : 0xFFFFFFFFu;
  };
  // The pixel at (x, y) as 0xRRGGBB (ReadPixels of one RGBA byte pixel).
  auto pixel = [&](int x, int y) {
    RawBytes answer;
    EXPECT_EQ(gl.raw.roundTrip(gl.single(111, tag).i(uint32_t(x)).i(uint32_t(y)).i(1).i(1).i(0x1908).i(0x1401).b(0).b(0).pad(2)
                                   .done(),
                               answer, 120000),
              "");
    return answer.size() >= 36 && answer[0] == 1 ? uint32_t(answer[32]) << 16 | uint32_t(answer[33]) << 8 | answer[34]
                                                  : 0xFFFFFFFFu;
  };
  uint32_t depth = integer(0x0BA3);  // GL_MODELVIEW_STACK_DEPTH
  ASSERT_EQ(depth, 1u);
  for (int frame = 0; frame < 4; frame++) {
    SCOPED_TRACE(frame);
    gl.render(tag, {words(191, {0, 0, 1280, 1024}), floats(130, {0, 0, 0, 1}), words(127, {0x4000}), words(184, {}),
                    floats(190, {0, 0, 0}), callList(1), words(183, {})});
    EXPECT_EQ(glError(), 0u);
    EXPECT_EQ(integer(0x0BA3), depth);
    EXPECT_EQ(pixel(2, 2), 0x00FF00u);
    EXPECT_EQ(pixel(1277, 1021), 0x00FF00u);
  }
  EXPECT_EQ(tarvo.log().find("ended its work"), std::string::npos);
}

// UseXFont of 256 characters of a Type1 font scaled to 1200 pixels (tens of megabytes of
// bitmaps, within the budget), sent right after the MakeCurrent (the request first waits for
// the client's earlier ones, and goes on outside any turn): the library makes a list a
// character from the server's font, which takes it most of a second; the request yields its
// turns between runs of characters, so each of the bystander's round trips comes within a
// quarter second meanwhile (one call of the library for the whole font held everyone
// throughout), and the lists are all made.
TEST_F(LumoraStall, UseXFontOfALargeFontHoldsNobody) {
  constexpr uint8_t kMinorUseXFont = 12, kMinorIsList = 141;
  const std::string name = "-adobe-avant garde gothic-book-r-normal--1200-0-0-0-p-0-iso8859-1";
  uint32_t font = gl.id();
  gl.send(RawRequest(false).b(45).b(0).s(0).i(font).s(uint16_t(name.size())).s(0).text(name));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    // (Answered: the library's own error for the space's empty bitmap aside, nothing fails. Its
    // 256 glyphs of 1200 pixels may take longer than a round trip's usual ten seconds under a
    // sanitizer on a busy machine: what is bounded here is the bystander's wait.)
    EXPECT_EQ(gl.errorAfter(gl.glx(kMinorUseXFont).i(tag).i(font).i(0).i(256).i(1000), 120000), 0);
    done = true;
  });
  auto began = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration longest = longestTripUntil(done);
  worker.join();
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(longest, std::chrono::milliseconds(250))
      << "UseXFont took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  for (uint32_t character : {0x41u, 0x7Au, 0xE9u}) {
    RawBytes answer = gl.ask(gl.single(kMinorIsList, tag).i(1000 + character));
    EXPECT_EQ(gl.word(answer, 8), 1u) << "list of character " << character;
  }
}

TEST_F(LumoraStall, AStandingStripsClientKilledHoldsNobody) { standingStripEnds(true); }
TEST_F(LumoraStall, AStandingStripsClientClosedHoldsNobody) { standingStripEnds(false); }
TEST_F(LumoraStall, AStandingPolygonsClientKilledHoldsNobody) { standingStripEnds(true, 0x0009); }

// The resident memory of the process in bytes (0 when unknown).
uint64_t residentBytes(pid_t pid) {
  FILE *status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!status) return 0;
  char line[256];
  uint64_t kb = 0;
  while (fgets(line, sizeof line, status))
    if (sscanf(line, "VmRSS: %" SCNu64, &kb) == 1) break;
  fclose(status);
  return kb * 1024;
}

// UseXFont of a font of 6000 pixels, whose bitmaps would take gigabytes: refused before the
// library makes any (or, where the server does not open the font, answered without it); the
// bystander waits for none of it, and tarvo grows by far less than the client's budget.
TEST_F(LumoraStall, UseXFontOfAHugeFontStaysWithinTheBudget) {
  constexpr uint8_t kMinorUseXFont = 12;
  const std::string name = "-adobe-avant garde gothic-book-r-normal--6000-0-0-0-p-0-iso8859-1";
  uint64_t before = residentBytes(tarvo.pid());
  ASSERT_GT(before, 0u);
  uint32_t font = gl.id();
  gl.send(RawRequest(false).b(45).b(0).s(0).i(font).s(uint16_t(name.size())).s(0).text(name));
  std::atomic<bool> done{false};
  std::thread worker([&] {
    gl.errorAfter(gl.glx(kMinorUseXFont).i(tag).i(font).i(0).i(256).i(1000));
    done = true;
  });
  std::chrono::steady_clock::duration longest = longestTripUntil(done);
  worker.join();
  EXPECT_LT(longest, std::chrono::milliseconds(250));
  EXPECT_LT(residentBytes(tarvo.pid()), before + (64u << 20));
}

// A program whose fragment shader loops long for every pixel, used by a second client on a
// double-buffered window (or a single-buffered one, whose drawing the library shows at its
// finish): one rectangle over a 256x256 viewport is one call of the library of about a second,
// whatever the proxy cuts. The Finish and the SwapBuffers after it, and a third client's
// GetImage meanwhile, wait for that without holding the others (a turn at a time, or outside
// the loop), so a bystander's round trip waits a small part of that time, not all of it. So do
// the finishes the proxy makes inside one request of 48 rectangles that cover the viewport
// three times.
// The drawer's 256x256 window (in *window), a context current on it (its tag in *own) and that
// program in use.
void LumoraStall::longShaderProgram(LumoraClient &drawer, bool doubleBuffered, uint32_t *own, uint32_t *windowOut,
                                    uint32_t *contextOut) {
  constexpr uint8_t kMinorVendor = 16, kMinorFinish = 108;
  constexpr uint32_t kFragmentShader = 0x8B30;
  ASSERT_EQ(drawer.connect(tarvo.displayNumber(), 'l'), "");
  uint32_t visual = lumoraGlVisual(drawer.raw, drawer.big, drawer.major, doubleBuffered, false);
  ASSERT_NE(visual, 0u);
  RawClient &raw = drawer.raw;
  uint32_t colormap = drawer.id(), window = drawer.id(), context = drawer.id();
  drawer.send(RawRequest(false).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual));
  drawer.send(RawRequest(false)
                  .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(256).s(256).s(0).s(1)
                  .i(visual).i(0x0002 | 0x0008 | 0x2000).i(0).i(0).i(colormap));
  drawer.send(RawRequest(false).b(8).b(0).s(0).i(window));
  ASSERT_EQ(drawer.errorAfter(drawer.glx(3).i(context).i(visual).i(0).i(0).b(1).pad(3)), 0);
  RawBytes answer = drawer.ask(drawer.glx(5).i(window).i(context).i(0));
  ASSERT_EQ(answer.empty() ? 0 : answer[0], 1);
  *own = drawer.word(answer, 8);
  if (windowOut) *windowOut = window;
  if (contextOut) *contextOut = context;
  auto vendor = [&](uint32_t code) { return drawer.glx(kMinorVendor).i(code).i(*own); };
  // Unseen by the library's shader cache, which would skip the compile.
  std::string source = glxcommandUniqueComment() +
                       "void main() { float a = 0.0; for (int i = 0; i < 30000; i++) a = sin(a + gl_FragCoord.x * "
                       "0.001); gl_FragColor = vec4(fract(a), 0.0, 1.0, 1.0); }";
  drawer.send(vendor(90000).i(41).i(kFragmentShader));
  drawer.send(vendor(90001).i(41).i(1).i(uint32_t(source.size())).text(source));
  drawer.send(vendor(90002).i(41));
  drawer.send(vendor(90006).i(42));
  drawer.send(vendor(90009).i(42).i(41));
  drawer.send(vendor(90004).i(42));
  drawer.send(vendor(90010).i(42));
  ASSERT_EQ(drawer.errorAfter(drawer.single(kMinorFinish, *own)), 0);
  // The library makes the program's machine code at its first draw, on the loop's thread: that
  // still holds every client (0.1 s here, up to 1.2 s under ThreadSanitizer), and it is not what
  // these cases measure. A draw of one pixel has it made before they begin.
  drawer.render(*own, {words(191, {0, 0, 1, 1}), floats(46, {-1, -1, 1, 1})});
  ASSERT_EQ(drawer.errorAfter(drawer.single(kMinorFinish, *own), 120000), 0);
}

void LumoraStall::longShaderLoop(bool doubleBuffered) {
  constexpr uint8_t kMinorSwapBuffers = 11, kMinorFinish = 108;
  LumoraClient drawer;
  uint32_t own = 0, window = 0;
  longShaderProgram(drawer, doubleBuffered, &own, &window);
  if (HasFatalFailure()) return;
  RawClient reader;
  ASSERT_EQ(reader.connect(tarvo.displayNumber(), 'l'), "");
  // The draws take seconds on a busy machine of two cores: their answers are waited for long.
  constexpr int kSlowMs = 120000;
  auto slowAnswer = [&](RawRequest request) {
    RawBytes answer;
    EXPECT_EQ(drawer.raw.roundTrip(request.done(), answer, kSlowMs), "");
    return answer.empty() ? 0 : answer[0];
  };
  std::atomic<bool> done{false}, drawn{false};
  std::chrono::steady_clock::duration took{};
  std::thread worker([&] {
    auto start = std::chrono::steady_clock::now();
    drawer.render(own, {words(191, {0, 0, 256, 256}), floats(46, {-1, -1, 1, 1})});
    drawn = true;
    EXPECT_EQ(slowAnswer(drawer.single(kMinorFinish, own)), 1);
    took = std::chrono::steady_clock::now() - start;
    drawer.render(own, {floats(46, {-1, -1, 1, 1})});
    drawer.send(drawer.glx(kMinorSwapBuffers).i(own).i(window));
    EXPECT_EQ(slowAnswer(RawRequest(false).b(43).b(0).s(1)), 1);  // (GetInputFocus: no error before it)
    start = std::chrono::steady_clock::now();
    std::vector<GlxCommand> strips;
    for (int k = 0; k < 48; k++) strips.push_back(floats(46, {-1, -1 + k % 16 / 8.0f, 1, -1 + (k % 16 + 1) / 8.0f}));
    drawer.render(own, strips);
    EXPECT_EQ(slowAnswer(drawer.single(kMinorGetError, own)), 1);
    took = std::min(took, std::chrono::steady_clock::now() - start);
    done = true;
  });
  std::thread reading([&] {
    while (!drawn) std::this_thread::yield();
    RawBytes image;  // GetImage of a pixel of the root, ZPixmap
    EXPECT_EQ(reader.roundTrip(RawRequest(false).b(73).b(2).s(0).i(reader.rootWindow()).s(0).s(0).s(1).s(1).i(~0u).done(),
                               image, kSlowMs),
              "");
    EXPECT_EQ(image.empty() ? 0 : image[0], 1);
  });
  int answered = 0;
  std::chrono::steady_clock::duration longest = longestTripUntil(done, &answered);
  worker.join();
  reading.join();
  auto ms = [](std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  // (Too short a call shows nothing: the library would have to be far faster than it is.)
  ASSERT_GT(took, std::chrono::milliseconds(300)) << "a draw took only " << ms(took) << " ms";
  EXPECT_LT(longest, took / 4) << "the shorter draw took " << ms(took) << " ms, the bystander waited " << ms(longest)
                               << " ms at most (" << answered << " round trips)";
  EXPECT_EQ(drawer.word(drawer.ask(drawer.single(kMinorGetError, own)), 8), 0u);
}

// The library's compile of a long source (2000 steps that depend each on the one before, which
// its optimiser takes in time that grows faster than the source) and the link after it take a
// second or more: a bystander's round trip waits a small part of that.
TEST_F(LumoraStall, ALongCompileHoldsOnlyItsClient) {
  constexpr uint8_t kMinorVendor = 16, kMinorVendorWithReply = 17;
  constexpr uint32_t kFragmentShader = 0x8B30, kCompileStatus = 0x8B81, kLinkStatus = 0x8B82;
  auto vendor = [&](uint8_t minor, uint32_t code) { return gl.glx(minor).i(code).i(tag); };
  std::string steps;
  for (int n = 0; n < 2000; n++) steps += "a = sin(a * " + std::to_string(n) + ".5 + u);";
  // Unseen by the library's shader cache, which would skip the compile.
  std::string source = glxcommandUniqueComment() + "uniform float u; void main() { float a = gl_FragCoord.x; " +
                       steps + " gl_FragColor = vec4(a); }";
  gl.send(vendor(kMinorVendor, 90000).i(51).i(kFragmentShader));
  gl.send(vendor(kMinorVendor, 90001).i(51).i(1).i(uint32_t(source.size())).text(source));
  EXPECT_EQ(glError(), 0u);
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration took{};
  uint32_t compiled = 0, linked = 0;
  std::thread worker([&] {
    auto start = std::chrono::steady_clock::now();
    RawBytes answer;
    gl.send(vendor(kMinorVendor, 90002).i(51));
    EXPECT_EQ(gl.raw.roundTrip(vendor(kMinorVendorWithReply, 90003).i(51).i(kCompileStatus).done(), answer, 120000), "");
    compiled = answer.size() >= 20 && answer[0] == 1 ? gl.word(answer, 16) : 0;
    gl.send(vendor(kMinorVendor, 90006).i(52));
    gl.send(vendor(kMinorVendor, 90009).i(52).i(51));
    gl.send(vendor(kMinorVendor, 90004).i(52));
    EXPECT_EQ(gl.raw.roundTrip(vendor(kMinorVendorWithReply, 90007).i(52).i(kLinkStatus).done(), answer, 120000), "");
    linked = answer.size() >= 20 && answer[0] == 1 ? gl.word(answer, 16) : 0;
    took = std::chrono::steady_clock::now() - start;
    done = true;
  });
  std::chrono::steady_clock::duration longest = longestTripUntil(done);
  worker.join();
  EXPECT_EQ(compiled, 1u);
  EXPECT_EQ(linked, 1u);
  auto ms = [](std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  ASSERT_GT(took, std::chrono::milliseconds(300)) << "the compile took only " << ms(took) << " ms";
  EXPECT_LT(longest, took / 4) << "the compile and link took " << ms(took) << " ms, the bystander waited "
                               << ms(longest) << " ms at most";
}

// The library makes a program's machine code at the first draw with it, not at its link: for a
// program of 1000 dependent steps that takes seconds, at the flush of a rectangle it kept back
// (here the Enable after it), or inside a DrawArrays. The first draw is made outside the loop:
// a bystander's round trip waits a small part of that time.
TEST_F(LumoraStall, AProgramsFirstDrawHoldsOnlyItsClient) {
  constexpr uint8_t kMinorVendor = 16;
  constexpr uint32_t kFragmentShader = 0x8B30, kGlBlend = 0x0BE2, kGlTriangleStrip = 5, kGlFloat = 0x1406,
                     kGlVertexArray = 0x8074;
  auto vendor = [&](uint32_t code) { return gl.glx(kMinorVendor).i(code).i(tag); };
  GlxCommand strip = words(193, {4, 1, kGlTriangleStrip, kGlFloat, 2, kGlVertexArray});
  for (float v : {-1.0f, -1.0f, 1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f}) glxcommandPutFloat(strip, v);
  const std::vector<std::pair<const char *, std::vector<GlxCommand>>> draws = {
      {"a rectangle kept back", {words(191, {0, 0, 8, 8}), floats(46, {-1, -1, 1, 1}), words(139, {kGlBlend})}},
      {"a DrawArrays", {words(191, {0, 0, 8, 8}), strip}},
  };
  uint32_t objects = 60;
  for (const auto &[what, commands] : draws) {
    SCOPED_TRACE(what);
    uint32_t shader = ++objects, program = ++objects;
    std::string steps;
    for (int n = 0; n < 1000; n++) steps += "a = sin(a * " + std::to_string(n) + ".5 + 0.25);";
    // Unseen by the library's shader cache, which would skip the compile.
    std::string source = glxcommandUniqueComment() + "void main() { float a = gl_FragCoord.x; " + steps +
                         " gl_FragColor = vec4(a); }";
    gl.send(vendor(90000).i(shader).i(kFragmentShader));
    gl.send(vendor(90001).i(shader).i(1).i(uint32_t(source.size())).text(source));
    gl.send(vendor(90002).i(shader));
    gl.send(vendor(90006).i(program));
    gl.send(vendor(90009).i(program).i(shader));
    gl.send(vendor(90004).i(program));
    gl.send(vendor(90010).i(program));
    ASSERT_EQ(glError(), 0u);
    auto [took, longest] = drawBesideBystander(commands);
    // (A machine slow enough for the draw to pass the request's bound ends its work there.)
    uint32_t error = glError();
    EXPECT_TRUE(error == 0 || error == kGlOutOfMemory) << error;
    auto ms = [](std::chrono::steady_clock::duration d) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    RecordProperty(std::string("firstDrawMs ") + what, std::to_string(ms(took)));
    RecordProperty(std::string("bystanderWorstMs ") + what, std::to_string(ms(longest)));
    ASSERT_GT(took, std::chrono::milliseconds(300)) << "the first draw took only " << ms(took) << " ms";
    EXPECT_LT(longest, took / 4) << "the first draw took " << ms(took) << " ms, the bystander waited "
                                 << ms(longest) << " ms at most";
  }
}

// The proxy ends while a long call of the library runs outside the loop (the drawing of the
// long shader into a front buffer, at its Finish): asked to (SIGTERM), or with its real server
// gone. It ends within seconds, cleanly (no sanitizer report).
void LumoraStall::endDuringALongCall(bool serverKilled) {
  constexpr uint8_t kMinorFinish = 108;
  LumoraClient drawer;
  uint32_t own = 0;
  longShaderProgram(drawer, false, &own);
  if (HasFatalFailure()) return;
  drawer.render(own, {words(191, {0, 0, 256, 256}), floats(46, {-1, -1, 1, 1})});
  drawer.send(drawer.single(kMinorFinish, own));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (serverKilled)
    xvfb.kill();
  else
    tarvo.signal(SIGTERM);
  int status = tarvo.wait(20000);
  EXPECT_NE(status, -1) << "tarvo did not end";
  if (!serverKilled) {
    EXPECT_EQ(status, 0) << tarvo.output();
  }
  EXPECT_EQ(tarvo.output().find("Sanitizer"), std::string::npos) << tarvo.output();
}

TEST_F(LumoraStall, AnExitDuringALongCallIsClean) { endDuringALongCall(false); }
TEST_F(LumoraStall, TheRealServerGoneDuringALongCallEndsTheProxy) { endDuringALongCall(true); }

TEST_F(LumoraStall, ALongShaderLoopHoldsOnlyItsClient) { longShaderLoop(true); }
TEST_F(LumoraStall, ALongShaderLoopIntoAFrontBufferHoldsOnlyItsClient) { longShaderLoop(false); }

}  // namespace

// A client of the long shader that leaves with a draw of it queued in the library (into a back
// buffer: its render request ends without waiting for it), closing its socket or destroying its
// context: the library's end of that context waits for the draw, and nobody else waits for
// that end. The draw's own time is measured first, through a Finish.
void LumoraStall::leavingWithALongDrawQueued(bool closes) {
  constexpr uint8_t kMinorDestroyContext = 4, kMinorMakeCurrent = 5, kMinorFinish = 108;
  LumoraClient drawer;
  uint32_t own = 0, context = 0;
  longShaderProgram(drawer, true, &own, nullptr, &context);
  if (HasFatalFailure()) return;
  auto start = std::chrono::steady_clock::now();
  drawer.render(own, {words(191, {0, 0, 256, 256}), floats(46, {-1, -1, 1, 1})});
  RawBytes answer;
  ASSERT_EQ(drawer.raw.roundTrip(drawer.single(kMinorFinish, own).done(), answer, 120000), "");
  auto took = std::chrono::steady_clock::now() - start;
  drawer.render(own, {floats(46, {-1, -1, 1, 1})});
  ASSERT_EQ(drawer.errorAfter(RawRequest(false).b(43).b(0).s(1)), 0);  // the draw is queued
  std::atomic<bool> done{false};
  std::thread leaving([&] {
    if (closes) {
      drawer.raw.close();
    } else {
      // The context made current on nothing, then destroyed.
      RawBytes released = drawer.ask(drawer.glx(kMinorMakeCurrent).i(0).i(0).i(own));
      EXPECT_EQ(released.empty() ? 0 : released[0], 1);
      drawer.send(drawer.glx(kMinorDestroyContext).i(context));
      EXPECT_EQ(drawer.errorAfter(RawRequest(false).b(43).b(0).s(1)), 0);
    }
    std::this_thread::sleep_for(took * 3 / 2);
    done = true;
  });
  std::chrono::steady_clock::duration longest = longestTripUntil(done);
  leaving.join();
  auto ms = [](std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  ASSERT_GT(took, std::chrono::milliseconds(300)) << "a draw took only " << ms(took) << " ms";
  EXPECT_LT(longest, took / 4) << "the draw took " << ms(took) << " ms, the bystander waited " << ms(longest)
                               << " ms at most";
}

TEST_F(LumoraStall, AClientClosedWithALongDrawQueuedHoldsNobody) { leavingWithALongDrawQueued(true); }
TEST_F(LumoraStall, AContextDestroyedWithALongDrawQueuedHoldsNobody) { leavingWithALongDrawQueued(false); }

// Eight texture units, each a 1024x1024 texture looked up far apart from one pixel to the next
// (coordinates made from the position and scaled by thousands), over rectangles that fill the
// 1280x1024 window, from one list call (64 of them, or as many more as a faster library needs to
// take half a second over them): a bystander's round trip waits a small part of that, not the
// whole draw. (A finish of the
// library between two pieces of the draw held everyone for 90 to 130 ms here; now about 15 ms.)
TEST_F(LumoraStall, EightScatteredTextureUnitsHoldOnlyTheirClient) {
  constexpr uint8_t kMinorFinish = 108;
  constexpr uint32_t kTexture0 = 0x84C0, kTexture2D = 0x0DE1, kRgba = 0x1908, kMinFilter = 0x2801,
                     kMagFilter = 0x2800, kLinear = 0x2601, kGenMode = 0x2500, kObjectLinear = 0x2401, kS = 0x2000,
                     kT = 0x2001, kGenS = 0x0C60, kGenT = 0x0C61, kTextureMatrix = 0x1702, kModelView = 0x1700;
  for (uint32_t unit = 0; unit < 8; unit++) {
    gl.render(tag, {words(197, {kTexture0 + unit}), words(4117, {kTexture2D, 100 + unit}),
                    words(4120, {kTexture2D, 0, kRgba, 0, 0, 1024, 1024, 0}),
                    words(107, {kTexture2D, kMinFilter, kLinear}), words(107, {kTexture2D, kMagFilter, kLinear}),
                    words(139, {kTexture2D}), words(119, {kS, kGenMode, kObjectLinear}),
                    words(119, {kT, kGenMode, kObjectLinear}), words(139, {kGenS}), words(139, {kGenT}),
                    words(179, {kTextureMatrix}), floats(188, {9973.0f + 31 * unit, 8861.0f + 17 * unit, 1}),
                    words(179, {kModelView})});
  }
  // A list of that many window-filling rectangles.
  auto compile = [&](uint32_t list, size_t rectangles) {
    gl.send(gl.single(kMinorNewList, tag).i(list).i(kGlCompile));
    gl.render(tag, std::vector<GlxCommand>(rectangles, floats(46, {-1, -1, 1, 1})));
    ASSERT_EQ(gl.errorAfter(gl.single(kMinorEndList, tag)), 0);
  };
  // A faster library draws more rectangles, so that the call lasts about half a second here too.
  compile(1, 64);
  ASSERT_EQ(glError(), 0u);
  auto calibrating = std::chrono::steady_clock::now();
  gl.render(tag, {callList(1)});
  RawBytes finished;
  ASSERT_EQ(gl.raw.roundTrip(gl.single(kMinorFinish, tag).done(), finished, 120000), "");
  auto once = std::chrono::steady_clock::now() - calibrating;
  size_t times = std::clamp<size_t>(size_t(std::chrono::milliseconds(500) / std::max(once, std::chrono::steady_clock::duration(1))) + 1, 1, 32);
  compile(2, 64 * times);
  ASSERT_EQ(glError(), 0u);
  auto [took, longest] = drawBesideBystander({callList(2)});
  auto ms = [](std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  EXPECT_EQ(glError(), 0u);
  ASSERT_GT(took, std::chrono::milliseconds(200)) << "the draw took only " << ms(took) << " ms";
  EXPECT_LT(longest, took / 4) << "the draw took " << ms(took) << " ms, the bystander waited " << ms(longest)
                               << " ms at most";
}

// The last client leaves behind a long draw, so the proxy resets (as it does without "noReset")
// while the library's end of its context still waits for that draw: the reset makes that end
// first, before the real display the library drew on is closed, and the next client's GL is
// served as before.
TEST_F(LumoraStall, AResetBehindALongDrawServesTheNextClient) {
  constexpr uint8_t kMinorFinish = 108;
  gl.raw.close();
  bystander.close();
  lumoraExpectServedAndStop(tarvo);
  TarvoOptions options = lumoraOptions();
  options.arguments.insert(options.arguments.end(), {"lumoraMemory", "64M"});
  options.noReset = false;
  ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  {
    LumoraClient drawer;
    uint32_t own = 0;
    longShaderProgram(drawer, true, &own);
    if (HasFatalFailure()) return;
    drawer.render(own, {words(191, {0, 0, 256, 256}), floats(46, {-1, -1, 1, 1})});
    ASSERT_EQ(drawer.errorAfter(RawRequest(false).b(43).b(0).s(1)), 0);  // the draw is queued
  }  // (the last client gone)
  // The reset ends that draw (on a busy machine that alone may take seconds), then pauses two
  // seconds before it listens again.
  ASSERT_TRUE(tarvo.waitForLog("Sleeping 2 seconds", 120000)) << tarvo.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  LumoraClient next;
  uint32_t own = 0;
  longShaderProgram(next, true, &own);
  if (HasFatalFailure()) return;
  RawBytes answer;
  EXPECT_EQ(next.raw.roundTrip(next.single(kMinorFinish, own).done(), answer, 120000), "");
  EXPECT_EQ(answer.empty() ? 0 : answer[0], 1);
  // Ended while the client is there: its leaving would reset the proxy again.
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.log();
}
