// The XTestExtension1 client against the test relay's emulation, judged by the relay's log and
// by where the pointer ends up on the real server.
#include <gtest/gtest.h>

#include "xclient/xtestext1.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/logging.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

// One Xvfb, and a relay with the XTestExtension1 emulation and a log in front of it.
struct Xtest1Relay {
  XvfbServer *xvfb = nullptr;
  XrelayServer relay;
  std::string dir, logPath;
  Display *display = nullptr;

  std::string start(XvfbServer &server, std::vector<std::string> options = {}) {
    xvfb = &server;
    dir = xrelayTempDir();
    logPath = dir + "/relay.log";
    options.insert(options.end(), {"-emulate", "XTEST1", "-log", logPath});
    std::string error = relay.start(server.displayName(), options);
    if (!error.empty()) return error;
    display = XOpenDisplay(relay.displayName().c_str());
    if (!display) return "cannot open the relay";
    return xtestExt1InitDisplay(display) ? "" : "no XTestExtension1 through the relay";
  }
  size_t logSize() {
    XSync(display, False);
    return xrelayReadFile(logPath).size();
  }
  // The fake-input requests (minor 1) logged after `from`.
  std::vector<Bytes> fakeInputsSince(size_t from) {
    XSync(display, False);
    std::vector<Bytes> result;
    for (Bytes &request : xrelayAnsweredSince(xrelayReadFile(logPath), from)) {
      if (request.size() > 1 && request[1] == 1) result.push_back(std::move(request));
    }
    return result;
  }
  ~Xtest1Relay() {
    if (display) XCloseDisplay(display);
    relay.stop();
    unlink(logPath.c_str());
    rmdir(dir.c_str());
  }
};

// The action list of a logged fake-input request (64 bytes).
Bytes actionsOf(const Bytes &request) {
  if (request.size() < 8) return {};
  return Bytes(request.begin() + 8, request.end());
}

// The actions as they travel: zero-filled to 64 bytes.
Bytes list(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  all.resize(kXtestExt1ActionListSize);
  return all;
}

Bytes u16(unsigned v) { return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)}; }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes keyAction(int device, bool release, int code, unsigned delay) {
  return cat({{static_cast<unsigned char>(device << 4 | 1 | (release ? 4 : 0)),
               static_cast<unsigned char>(code)},
              u16(delay)});
}

Bytes jumpAction(int device, int x, int y, unsigned delay) {
  return cat({{static_cast<unsigned char>(device << 4 | 3), 0}, u16(x), u16(y), u16(delay)});
}

Bytes motionAction(int device, int dx, int dy, unsigned delay) {
  int header = device << 4 | 2 | (dx < 0 ? 4 : 0) | (dy < 0 ? 8 : 0);
  return cat({{static_cast<unsigned char>(header),
               static_cast<unsigned char>(std::abs(dx) | std::abs(dy) << 4)},
              u16(delay)});
}

// Where the real server has the pointer.
std::pair<int, int> pointerOn(Display *direct) {
  Window root, child;
  int x = -1, y = -1, wx, wy;
  unsigned int mask;
  XQueryPointer(direct, DefaultRootWindow(direct), &root, &child, &x, &y, &wx, &wy, &mask);
  return {x, y};
}

int moveTo(Display *display, int device, int x, int y, unsigned long delay = 0) {
  return xtest1XTestMovePointer(display, device, &delay, &x, &y, 1);
}

class Xtestext1Test : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(xvfb_.start(), "");
    direct_ = XOpenDisplay(xvfb_.displayName().c_str());
    ASSERT_NE(direct_, nullptr);
  }
  void TearDown() override {
    if (direct_) XCloseDisplay(direct_);
  }
  XvfbServer xvfb_;
  Display *direct_ = nullptr;
};

// The packing rules byte for byte; the pointer ends up where the moves said.
TEST_F(Xtestext1Test, ActionsTravelAsPacked) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_), "");
  XWarpPointer(direct_, None, DefaultRootWindow(direct_), 0, 0, 0, 0, 500, 500);
  XSync(direct_, False);
  size_t from = r.logSize();

  // A fresh record does not know where the pointer is: the first move is a jump, even though
  // 10,5 lies within 15 pixels of the origin.
  EXPECT_EQ(moveTo(r.display, 0, 10, 5), 0);
  EXPECT_EQ(moveTo(r.display, 0, 26, 5), 0);        // (16, 0): a jump
  EXPECT_EQ(moveTo(r.display, 0, 11, 20, 7), 0);    // (-15, 15): a small motion
  EXPECT_EQ(xtest1XTestPressKey(r.display, 1, 5, 38, kXtestExt1Stroke), 0);
  EXPECT_EQ(xtest1XTestPressButton(r.display, 2, 0, 3, kXtestExt1Press), 0);
  EXPECT_EQ(xtest1XTestPressButton(r.display, 2, 0, 3, kXtestExt1Release), 0);
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  auto requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(requests[0].size(), 72u);
  EXPECT_EQ(xrelayCard16(requests[0], 2), 18);
  EXPECT_EQ(xrelayCard32(requests[0], 4), 1u);  // the flush asks for the acknowledgement
  EXPECT_EQ(actionsOf(requests[0]),
            list({jumpAction(0, 10, 5, 0), jumpAction(0, 26, 5, 0), motionAction(0, -15, 15, 7),
                 keyAction(1, false, 38, 5), keyAction(1, true, 38, 10),
                 keyAction(2, false, 3, 0), keyAction(2, true, 3, 0)}));
  EXPECT_EQ(motionAction(0, -15, 15, 7)[0], 0x06);
  EXPECT_EQ(motionAction(0, -15, 15, 7)[1], 0xFF);
  EXPECT_EQ(pointerOn(direct_), std::make_pair(11, 20));

  // A batch that would pass 64 bytes goes out first, without acknowledgement.
  from = r.logSize();
  for (int i = 0; i < 17; i++) {
    ASSERT_EQ(xtest1XTestPressKey(r.display, 0, 0, 50, i % 2 ? kXtestExt1Release
                                                              : kXtestExt1Press), 0);
  }
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(xrelayCard32(requests[0], 4), 0u);
  Bytes sixteen;
  for (int i = 0; i < 16; i++) {
    Bytes one = keyAction(0, i % 2, 50, 0);
    sixteen.insert(sixteen.end(), one.begin(), one.end());
  }
  EXPECT_EQ(actionsOf(requests[0]), sixteen);
  EXPECT_EQ(actionsOf(requests[1]), list({keyAction(0, false, 50, 0)}));
  EXPECT_EQ(xrelayCard32(requests[1], 4), 1u);
}

// From 500,500 a first move to 10,5 leaves the pointer at 10,5 (not 510,505).
TEST_F(Xtestext1Test, FirstMoveIsAJump) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_), "");
  XWarpPointer(direct_, None, DefaultRootWindow(direct_), 0, 0, 0, 0, 500, 500);
  XSync(direct_, False);
  EXPECT_EQ(moveTo(r.display, 0, 10, 5), 0);
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  EXPECT_EQ(pointerOn(direct_), std::make_pair(10, 5));
  EXPECT_EQ(moveTo(r.display, 0, 13, 1), 0);  // now relative
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  EXPECT_EQ(pointerOn(direct_), std::make_pair(13, 1));
}

// With an input-action array of 3, the fourth action sends the first three with the
// acknowledgement flag, and the call comes back once the acknowledgement arrived.
TEST_F(Xtestext1Test, FullArrayAsksForAcknowledgement) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_, {"-xtest1-size", "3"}), "");
  unsigned long size = 0;
  EXPECT_EQ(xtest1XTestQueryInputSize(r.display, &size), 0);
  EXPECT_EQ(size, 3u);
  size_t from = r.logSize();
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(xtest1XTestPressKey(r.display, 0, 0, 40 + i, kXtestExt1Press), 0);
  }
  EXPECT_TRUE(r.fakeInputsSince(from).empty());  // still packed
  XTestExt1Display *record = xtestExt1InitDisplay(r.display);
  long long start = xvfbNowMs();
  EXPECT_EQ(xtest1XTestPressKey(r.display, 0, 0, 43, kXtestExt1Press), 0);
  EXPECT_LT(xvfbNowMs() - start, kXtestExt1AckTimeoutMs);
  // The acknowledgement was taken off the queue by the call itself.
  EXPECT_EQ(XPending(r.display), 0);
  EXPECT_EQ(record->actionCount, 1u);
  EXPECT_EQ(record->actionIndex, 4);
  auto requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(xrelayCard32(requests[0], 4), 1u);
  EXPECT_EQ(actionsOf(requests[0]), list({keyAction(0, false, 40, 0), keyAction(0, false, 41, 0),
                                         keyAction(0, false, 42, 0)}));
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(xtest1XTestPressKey(r.display, 0, 0, 40 + i, kXtestExt1Release), 0);
  }
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
}

// Two displays driven in turn keep their own batches and positions.
TEST_F(Xtestext1Test, TwoRelaysKeepTheirOwnState) {
  Xtest1Relay a, b;
  ASSERT_EQ(a.start(xvfb_), "");
  ASSERT_EQ(b.start(xvfb_), "");
  size_t fromA = a.logSize(), fromB = b.logSize();
  EXPECT_EQ(moveTo(a.display, 0, 100, 100), 0);
  EXPECT_EQ(moveTo(b.display, 0, 200, 200), 0);
  EXPECT_EQ(xtest1XTestPressKey(a.display, 0, 0, 30, kXtestExt1Press), 0);
  EXPECT_EQ(moveTo(a.display, 0, 105, 100), 0);  // relative to a's 100,100
  EXPECT_EQ(moveTo(b.display, 0, 190, 203), 0);  // relative to b's 200,200
  EXPECT_EQ(xtest1XTestPressKey(b.display, 0, 0, 31, kXtestExt1Press), 0);
  EXPECT_EQ(xtest1XTestFlush(a.display), 0);
  EXPECT_TRUE(b.fakeInputsSince(fromB).empty());  // b's batch is still packed
  EXPECT_EQ(xtest1XTestFlush(b.display), 0);
  auto requestsA = a.fakeInputsSince(fromA), requestsB = b.fakeInputsSince(fromB);
  ASSERT_EQ(requestsA.size(), 1u);
  ASSERT_EQ(requestsB.size(), 1u);
  EXPECT_EQ(actionsOf(requestsA[0]), list({jumpAction(0, 100, 100, 0), keyAction(0, false, 30, 0),
                                          motionAction(0, 5, 0, 0)}));
  EXPECT_EQ(actionsOf(requestsB[0]), list({jumpAction(0, 200, 200, 0),
                                          motionAction(0, -10, 3, 0),
                                          keyAction(0, false, 31, 0)}));
  EXPECT_EQ(pointerOn(direct_), std::make_pair(190, 203));
  xtest1XTestPressKey(a.display, 0, 0, 30, kXtestExt1Release);
  xtest1XTestPressKey(b.display, 0, 0, 31, kXtestExt1Release);
  EXPECT_EQ(xtest1XTestFlush(a.display), 0);
  EXPECT_EQ(xtest1XTestFlush(b.display), 0);
}

// Long delays: 0xFFFF rides inside the action, 0x10000 becomes a delay action before an action
// with delay 0. (The real server would hold the relay's connection back for these delays; the
// relay caps what it passes on.)
TEST_F(Xtestext1Test, LongDelays) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_, {"-xtest1-maxdelay", "1"}), "");
  size_t from = r.logSize();
  EXPECT_EQ(xtest1XTestPressKey(r.display, 3, 0xFFFF, 38, kXtestExt1Press), 0);
  EXPECT_EQ(xtest1XTestPressKey(r.display, 3, 0x10000, 38, kXtestExt1Release), 0);
  EXPECT_EQ(moveTo(r.display, 4, 7, 8, 0x123456789UL), 0);  // beyond 32 bits: the most there is
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  auto requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(actionsOf(requests[0]),
            list({keyAction(3, false, 38, 0xFFFF), {0xF0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00},
                  keyAction(3, true, 38, 0), {0xF0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                  jumpAction(4, 7, 8, 0)}));
}

// A server that never acknowledges: the flush gives up within its bound, with a log line.
TEST_F(Xtestext1Test, MissingAcknowledgement) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_, {"-xtest1-noack"}), "");
  logInit(0, nullptr, "test", "test");
  static std::string logged;
  logged.clear();
  logOutputHook = [](LogChannel *, const char *, int, const char *message) { logged += message; };
  size_t from = r.logSize();
  EXPECT_EQ(xtest1XTestPressKey(r.display, 0, 0, 38, kXtestExt1Stroke), 0);
  long long start = xvfbNowMs();
  EXPECT_EQ(xtest1XTestFlush(r.display), -1);
  long long waited = xvfbNowMs() - start;
  logOutputHook = logEmit;
  EXPECT_GE(waited, kXtestExt1AckTimeoutMs - 100);
  EXPECT_LT(waited, kXtestExt1AckTimeoutMs + 2000);
  EXPECT_NE(logged.find("no acknowledgement from display " + r.relay.displayName()),
            std::string::npos)
      << logged;
  auto requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(xrelayCard32(requests[0], 4), 1u);
  // The connection still works.
  EXPECT_EQ(xtest1XTestPressKey(r.display, 0, 0, 38, kXtestExt1Press), 0);
  XSync(r.display, False);
}

// Arguments out of range give -1 and send nothing.
TEST_F(Xtestext1Test, BadArgumentsSendNothing) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_), "");
  size_t from = r.logSize();
  unsigned char actions[65] = {1, 38};
  unsigned long delay = 0;
  int x = 1, y = 1;
  struct Case {
    const char *what;
    int result;
  } cases[] = {
      {"key device 16", xtest1XTestPressKey(r.display, 16, 0, 38, kXtestExt1Press)},
      {"key device -1", xtest1XTestPressKey(r.display, -1, 0, 38, kXtestExt1Press)},
      {"key delay device", xtest1XTestPressKey(r.display, 15, 0, 38, kXtestExt1Press)},
      {"keycode 7", xtest1XTestPressKey(r.display, 0, 0, 7, kXtestExt1Press)},
      {"keycode 256", xtest1XTestPressKey(r.display, 0, 0, 256, kXtestExt1Press)},
      {"key action 3", xtest1XTestPressKey(r.display, 0, 0, 38, 3)},
      {"button 8", xtest1XTestPressButton(r.display, 0, 0, 8, kXtestExt1Press)},
      {"button action 0", xtest1XTestPressButton(r.display, 0, 0, 1, 0)},
      {"move device 16", xtest1XTestMovePointer(r.display, 16, &delay, &x, &y, 1)},
      {"65 bytes", xtest1XTestFakeInput(r.display, actions, 65, 0)},
      {"-1 bytes", xtest1XTestFakeInput(r.display, actions, -1, 0)},
  };
  for (const Case &c : cases) EXPECT_EQ(c.result, -1) << c.what;
  EXPECT_EQ(xtest1XTestMovePointer(r.display, 0, nullptr, nullptr, nullptr, 0), 0);  // no-op
  EXPECT_TRUE(r.fakeInputsSince(from).empty()) << xrelayReadFile(r.logPath).substr(from);
  // The record is untouched: nothing packed, no position taken.
  XTestExt1Display *record = xtestExt1InitDisplay(r.display);
  EXPECT_EQ(record->actionIndex, 0);
  EXPECT_FALSE(record->moveSent);
  // 64 bytes are fine and go out as given.
  EXPECT_EQ(xtest1XTestFakeInput(r.display, actions, 64, 0), 0);
  auto requests = r.fakeInputsSince(from);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0][8], 1);
  EXPECT_EQ(requests[0][9], 38);
}

// Without the extension every operation gives -1, and nothing is printed or logged.
TEST_F(Xtestext1Test, PlainServerGivesMinusOneSilently) {
  logInit(0, nullptr, "test", "test");
  static std::string logged;
  logged.clear();
  logOutputHook = [](LogChannel *, const char *, int, const char *message) { logged += message; };
  testing::internal::CaptureStderr();
  unsigned long delay = 0, size = 0;
  int x = 1, y = 1;
  unsigned char action[4] = {1, 38};
  EXPECT_EQ(xtestExt1InitDisplay(direct_), nullptr);
  EXPECT_EQ(xtest1XTestFakeInput(direct_, action, 4, 0), -1);
  EXPECT_EQ(xtest1XTestGetInput(direct_, 0), -1);
  EXPECT_EQ(xtest1XTestStopInput(direct_), -1);
  EXPECT_EQ(xtest1XTestReset(direct_), -1);
  EXPECT_EQ(xtest1XTestQueryInputSize(direct_, &size), -1);
  EXPECT_EQ(xtest1XTestMovePointer(direct_, 0, &delay, &x, &y, 1), -1);
  EXPECT_EQ(xtest1XTestPressButton(direct_, 0, 0, 1, kXtestExt1Press), -1);
  EXPECT_EQ(xtest1XTestPressKey(direct_, 0, 0, 38, kXtestExt1Stroke), -1);
  EXPECT_EQ(xtest1XTestFlush(direct_), -1);
  XSync(direct_, False);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  logOutputHook = logEmit;
  EXPECT_EQ(logged, "");
}

// Closing one display frees its record; the other goes on, and a display opened later gets a
// record of its own (also when Xlib hands it the freed memory).
TEST_F(Xtestext1Test, CloseOneUseTheOther) {
  Xtest1Relay r;
  ASSERT_EQ(r.start(xvfb_), "");
  Display *second = XOpenDisplay(r.relay.displayName().c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(moveTo(second, 0, 300, 300), 0);
  EXPECT_EQ(moveTo(r.display, 0, 50, 50), 0);  // r.display is now the current record
  EXPECT_EQ(xtest1XTestPressKey(second, 0, 0, 38, kXtestExt1Stroke), 0);  // second is current
  XCloseDisplay(second);
  EXPECT_EQ(moveTo(r.display, 0, 52, 50), 0);
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
  EXPECT_EQ(pointerOn(direct_), std::make_pair(52, 50));
  Display *third = XOpenDisplay(r.relay.displayName().c_str());
  ASSERT_NE(third, nullptr);
  XTestExt1Display *record = xtestExt1InitDisplay(third);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->display, third);
  EXPECT_FALSE(record->moveSent);
  EXPECT_EQ(record->actionIndex, 0);
  XCloseDisplay(third);
  EXPECT_EQ(xtest1XTestFlush(r.display), 0);
}

}  // namespace
