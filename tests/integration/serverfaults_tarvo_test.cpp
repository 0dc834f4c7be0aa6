// A real server that misbehaves, through the tarvo executable: answers longer than any request
// can produce and replies that answer no request (a relay of the test's own in front of Xvfb,
// scripts/answer_relay.py), and a server stopped by SIGSTOP while clients come and go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kGetInputFocus = 43;

RawBytes internAtom(bool big, const std::string &name) {
  return RawRequest(big).b(16).b(0).s(0).s(unsigned(name.size())).s(0).text(name).done();
}

RawBytes getInputFocus(bool big) { return RawRequest(big).b(kGetInputFocus).b(0).s(1).done(); }

// The resident memory of a process in kB (0 when unknown).
long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  return 0;
}

// The relay of scripts/answer_relay.py in front of the upstream display; ended with the record.
struct AnswerRelay {
  pid_t pid = -1;
  int number = -1;
  ~AnswerRelay() { xrelayEnd(pid); }
  std::string start(const std::string &upstream) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "pipe";
    pid = xrelaySpawn({"/usr/bin/python3", TARVO_SOURCE_DIR "/tests/integration/scripts/answer_relay.py", upstream,
                       std::to_string(fds[1])},
                      fds[1]);
    close(fds[1]);
    std::string text;
    long long deadline = xvfbNowMs() + 10000;
    while (text.find('\n') == std::string::npos && xvfbNowMs() < deadline) {
      pollfd entry{fds[0], POLLIN, 0};
      if (poll(&entry, 1, 200) <= 0) continue;
      char buffer[32];
      ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, size_t(n));
    }
    close(fds[0]);
    if (text.find('\n') == std::string::npos) return "the relay did not start";
    number = std::stoi(text);
    return "";
  }
};

// Xvfb, the relay in front of it and tarvo on the relay: "" or the failure.
std::string startBehindAnswerRelay(XvfbServer &xvfb, AnswerRelay &relay, TarvoProcess &tarvo) {
  if (std::string failure = xvfb.start(); !failure.empty()) return failure;
  if (std::string failure = relay.start(xvfb.displayName()); !failure.empty()) return failure;
  return tarvo.start(":" + std::to_string(relay.number), TarvoOptions{});
}

// A reply announcing nearly 4 GiB closes only the client it was for, before the proxy makes room
// for it; a reply whose sequence answers no request reaches no client; others are served.
TEST(ServerFaults, OverlongAndStrayRepliesStayWithTheirConnection) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  AnswerRelay relay;
  TarvoProcess tarvo;
  ASSERT_EQ(startBehindAnswerRelay(xvfb, relay, tarvo), "");
  long startKb = residentKb(tarvo.pid());
  RawClient affected, strayed, bystander;
  ASSERT_EQ(affected.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(strayed.connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'l'), "");

  ASSERT_EQ(affected.send(internAtom(false, "TARVO_HUGE_REPLY")), "");
  EXPECT_EQ(affected.waitClosed(10000), "");
  EXPECT_TRUE(tarvo.waitForLog("Answer of 4294967136 bytes", 5000)) << tarvo.log();
  EXPECT_LT(residentKb(tarvo.pid()) - startKb, 100 * 1024);

  // Only the real reply comes back, under the client's own sequence.
  ASSERT_EQ(strayed.send(internAtom(true, "TARVO_STRAY_REPLY")), "");
  RawBytes answer;
  ASSERT_EQ(strayed.read(answer, 10000), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, true), strayed.sequence());
  EXPECT_NE(rawGet32(answer, 8, true), 0x5a5a5a5au);
  ASSERT_EQ(strayed.roundTrip(getInputFocus(true), answer), "");
  EXPECT_TRUE(strayed.events().empty());
  EXPECT_TRUE(tarvo.waitForLog("Dropped reply", 5000)) << tarvo.log();

  ASSERT_EQ(bystander.roundTrip(internAtom(false, "WM_NAME"), answer), "");
  EXPECT_EQ(rawGet32(answer, 8, false), 39u);
  RawClient later;
  EXPECT_EQ(later.connect(tarvo.displayNumber(), 'l'), "");
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A wrong setup is refused by the proxy alone: within a second even while the server is stopped.
void expectRefusedAtOnce(TarvoProcess &tarvo, int round) {
  int fd = rawConnectUnix(tarvo.displayNumber());
  ASSERT_GE(fd, 0);
  RawBytes setup = rawSetupMessage(false, "", "");
  setup[2] = 12;  // protocol 12: refused by the proxy alone
  auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(rawSendAll(fd, setup.data(), setup.size()));
  RawSetupReply reply = rawReadSetupReply(fd, 3000);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 1.0) << round;
  EXPECT_EQ(reply.reason, "X protocol version mismatch");
  close(fd);
}

// While the real server is stopped the proxy goes on with what it answers alone: a wrong setup
// is refused at once throughout, also while a client's CreateCursor waits for the stopped
// server and after that wait has given up (the request fails with an error, the proxy's own
// connection is not asked); a client set up meanwhile and a round trip asked meanwhile
// complete once the server runs again.
TEST(ServerFaults, StoppedServerHoldsOnlyWhatNeedsIt) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  RawClient early;
  ASSERT_EQ(early.connect(tarvo.displayNumber(), 'l'), "");
  uint32_t pixmap = early.idBase() + 1, cursor = early.idBase() + 2;
  RawBytes answer;
  ASSERT_EQ(early.send(RawRequest(false).b(53).b(1).s(0).i(pixmap).i(early.rootWindow()).s(16).s(16).done()), "");
  ASSERT_EQ(early.roundTrip(getInputFocus(false), answer), "");
  ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
  RawRequest makeCursor(false);
  makeCursor.b(93).b(0).s(0).i(cursor).i(pixmap).i(0).s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff).s(0).s(0);
  ASSERT_EQ(early.send(makeCursor.done()), "");
  uint16_t cursorSequence = early.sequence();
  ASSERT_EQ(early.send(internAtom(false, "WM_CLASS")), "");
  std::thread late([&] {  // a new client whose setup waits for the server
    RawClient waiting;
    EXPECT_EQ(waiting.connect(tarvo.displayNumber(), 'B', 30000), "");
  });
  // The sync limit (5 s) passes while the server is stopped.
  for (int i = 0; i < 7; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    expectRefusedAtOnce(tarvo, i);
  }
  kill(xvfb.pid(), SIGCONT);
  late.join();
  // The cursor failed with an error, the atom's round trip is answered.
  ASSERT_EQ(early.read(answer, 10000), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 11);  // BadAlloc
  EXPECT_EQ(rawGet16(answer, 2, false), cursorSequence);
  ASSERT_EQ(early.read(answer, 10000), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet32(answer, 8, false), 67u);  // WM_CLASS
  ASSERT_EQ(early.roundTrip(getInputFocus(false), answer), "");
  EXPECT_TRUE(early.events().empty());
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// Requests whose handlers need the server to have taken them before the proxy goes on
// (ConfigureWindow's exposures under the RefreshBitGravity workaround; the window a pointer
// grab confines to moved off the pointer's head, which the pointer follows) while the server is
// stopped: the loop goes on refusing wrong setups, and after SIGCONT the client's requests are
// answered.
TEST(ServerFaults, StoppedServerHoldsNoRoundTripOfTheLoop) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"workarounds", "RefreshBitGravity", "screen", "%D.0"};
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24", options), "");
  RawClient client;
  ASSERT_EQ(client.connect(tarvo.displayNumber(), 'l'), "");
  uint32_t window = client.idBase() + 1;
  RawBytes answer;
  ASSERT_EQ(client.send(RawRequest(false).b(1).b(0).s(0).i(window).i(client.rootWindow()).s(0).s(0).s(100).s(100)
                            .s(0).s(1).i(0).i(0).done()), "");
  ASSERT_EQ(client.send(RawRequest(false).b(8).b(0).s(0).i(window).done()), "");  // MapWindow
  ASSERT_EQ(client.roundTrip(getInputFocus(false), answer), "");
  // GrabPointer (asynchronous, confined to the window), then the window resized, then moved
  // off the head: each sent while the server is stopped.
  const RawBytes grab = RawRequest(false).b(26).b(0).s(0).i(window).s(0).b(1).b(1).i(window).i(0).i(0).done();
  const RawBytes resize = RawRequest(false).b(12).b(0).s(0).i(window).s(0xc).s(0).i(200).i(150).done();
  const RawBytes away = RawRequest(false).b(12).b(0).s(0).i(window).s(0x1).s(0).i(3000).done();
  int step = 0;
  for (const RawBytes &request : {grab, resize, away}) {
    SCOPED_TRACE(step++);
    ASSERT_EQ(kill(xvfb.pid(), SIGSTOP), 0);
    ASSERT_EQ(client.send(request), "");
    ASSERT_EQ(client.send(getInputFocus(false)), "");
    for (int i = 0; i < 2; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      expectRefusedAtOnce(tarvo, i);
    }
    kill(xvfb.pid(), SIGCONT);
    if (request == grab) {
      ASSERT_EQ(client.read(answer, 10000), "");
      EXPECT_EQ(answer[0], 1);
      EXPECT_EQ(answer[1], 0);  // GrabSuccess
    }
    ASSERT_EQ(client.read(answer, 10000), "");
    EXPECT_EQ(answer[0], 1);
  }
  ASSERT_EQ(client.roundTrip(getInputFocus(false), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// The real pointer asked on the proxy's own connection (a relative WarpPointer asks where the
// pointer is) while the relay drops every QueryPointer answer: the question gives up after the
// sync limit with a log line, the warp goes on from the proxy's own idea of the pointer, and
// every client is served after it.
TEST(ServerFaults, UnansweredPointerQueryOfTheProxyGivesUpAtTheLimit) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  AnswerRelay relay;
  TarvoProcess tarvo;
  ASSERT_EQ(startBehindAnswerRelay(xvfb, relay, tarvo), "");
  RawClient client, other;
  ASSERT_EQ(client.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(other.connect(tarvo.displayNumber(), 'B'), "");
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(internAtom(false, "TARVO_MUTE_QUERY_POINTER"), answer), "");
  ASSERT_EQ(answer[0], 1);

  std::string locate = "env DISPLAY=" + xvfb.displayName() + " xdotool getmouselocation --shell";
  std::string before = xrelayRun(locate);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(client.send(RawRequest(false).b(41).b(0).s(0).i(0).i(0).s(0).s(0).s(0).s(0).s(3).s(4).done()), "");
  ASSERT_EQ(client.roundTrip(getInputFocus(false), answer, 15000), "");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(answer[0], 1);
  EXPECT_LT(seconds, 5.0 + 3.0);
  // The pointer moved by 3, 4 from where the proxy had it (where the server put it at start).
  int x = -1, y = -1, movedX = -1, movedY = -1;
  ASSERT_EQ(sscanf(before.c_str(), "X=%d Y=%d", &x, &y), 2) << before;
  std::string after = xrelayRun(locate);
  ASSERT_EQ(sscanf(after.c_str(), "X=%d Y=%d", &movedX, &movedY), 2) << after;
  EXPECT_EQ(movedX, x + 3);
  EXPECT_EQ(movedY, y + 4);
  EXPECT_TRUE(tarvo.waitForLog("The pointer query on the proxy's own connection for a pointer query failed", 1000))
      << tarvo.log();
  ASSERT_EQ(other.roundTrip(getInputFocus(true), answer, 5000), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
