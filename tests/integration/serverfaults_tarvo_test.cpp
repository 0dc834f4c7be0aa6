// A real server that misbehaves, through the tarvo executable: answers longer than any request
// can produce, replies that answer no request and read-backs of the proxy answered only after
// its sync limit (a relay of the test's own in front of Xvfb, scripts/answer_relay.py), and a
// server stopped by SIGSTOP while clients come and go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "answerrelay_fixture.h"
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

// A reply announcing nearly 4 GiB closes only the client it was for, before the proxy makes room
// for it; a reply whose sequence answers no request reaches no client; others are served.
TEST(ServerFaults, OverlongAndStrayRepliesStayWithTheirConnection) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  AnswerRelay relay;
  ASSERT_EQ(relay.start(xvfb.displayName()), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  ASSERT_EQ(tarvo.start(":" + std::to_string(relay.number), options), "");
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
  ASSERT_TRUE(xvfbStopProcess(xvfb.pid()));
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
    ASSERT_TRUE(xvfbStopProcess(xvfb.pid()));
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

// The real server answers the probe of the head's reopening after SIGHUP and then stalls (a
// relay of the test's own holds every answer but the first 8 bytes of a setup): the reset gives
// up at the connect time-out and tarvo ends with the text of a display it cannot open, instead
// of waiting for ever inside the open.
TEST(ServerFaults, ServerStalledWhileTheHeadReopensEndsTheReset) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  AnswerRelay relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), "stall_relay.py"), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.noReset = false;
  options.arguments = {"connectTimeout", "2s", "screen", "%D.0"};
  std::string relayName = ":" + std::to_string(relay.number);
  ASSERT_EQ(tarvo.start(relayName, options), "");
  RawClient client;
  ASSERT_EQ(client.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(kill(relay.pid, SIGUSR1), 0);  // the answers are held from now on
  tarvo.signal(SIGHUP);
  EXPECT_EQ(client.waitClosed(5000), "");
  // The reset's sleep (2 s), then the two tries of the open (1 s each).
  EXPECT_NE(tarvo.wait(12000), -1) << tarvo.log();
  std::string texts = tarvo.log() + tarvo.output();
  EXPECT_NE(texts.find("Can't connect to display '" + relayName), std::string::npos) << texts;
  EXPECT_NE(texts.find("answered its probe but not the connection setup in time"), std::string::npos) << texts;
  kill(relay.pid, SIGUSR1);
}

// Many clients each park a cursor's creation while the server is stopped; the heads' refresh
// that comes with every park does not wait on the stopped server's socket, so the loop goes on
// refusing a wrong setup at once; after SIGCONT every client gets its answers.
TEST(ServerFaults, StoppedServerWithManyParkedClientsHoldsNoFlush) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  constexpr int kClients = 150;
  std::vector<std::unique_ptr<RawClient>> clients;
  RawBytes answer;
  for (int i = 0; i < kClients; i++) {
    clients.push_back(std::make_unique<RawClient>());
    RawClient &c = *clients.back();
    ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "") << i;
    ASSERT_EQ(c.send(RawRequest(false).b(53).b(1).s(0).i(c.idBase() + 1).i(c.rootWindow()).s(16).s(16).done()), "");
    ASSERT_EQ(c.roundTrip(getInputFocus(false), answer), "") << i;
  }
  ASSERT_TRUE(xvfbStopProcess(xvfb.pid()));
  for (int round = 0; round < 3; round++)
    for (auto &c : clients) {
      RawRequest makeCursor(false);
      makeCursor.b(93).b(0).s(0).i(c->idBase() + 2 + round).i(c->idBase() + 1).i(0).s(0).s(0).s(0).s(0xffff).s(0xffff)
          .s(0xffff).s(0).s(0);
      ASSERT_EQ(c->send(makeCursor.done()), "");
    }
  for (int i = 0; i < 3; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    expectRefusedAtOnce(tarvo, i);
  }
  kill(xvfb.pid(), SIGCONT);
  for (auto &c : clients) {
    ASSERT_EQ(c->send(getInputFocus(false)), "");
    uint16_t wanted = c->sequence();
    do ASSERT_EQ(c->read(answer, 20000), "");
    while (answer[0] != 1 || rawGet16(answer, 2, false) != wanted);
  }
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A client sets a property and leaves while the server is stopped (as a machine may keep it from
// the processor for seconds): the proxy waits for the server to run before it judges that the
// server holds the connection, so the request runs once the server goes on, as it would after
// a slow server's turns. Stopped 13 s: past the drain's sync limit, a stall's checks and the
// quiet bound of a departure.
TEST(ServerFaults, ClientLeavingWhileTheServerIsStoppedHasItsLastRequestRun) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  constexpr uint32_t kCutBuffer0 = 9, kString = 31;
  const std::string text = "set by a leaver";
  RawBytes answer;
  auto leaver = std::make_unique<RawClient>();
  ASSERT_EQ(leaver->connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(leaver->roundTrip(getInputFocus(true), answer), "");
  ASSERT_TRUE(xvfbStopProcess(xvfb.pid()));
  RawRequest change(true);
  change.b(18).b(0).s(6 + unsigned(text.size() + 3) / 4).i(leaver->rootWindow()).i(kCutBuffer0).i(kString).b(8).pad(3)
      .i(uint32_t(text.size())).text(text).align();
  ASSERT_EQ(leaver->send(change.done()), "");
  leaver.reset();
  std::this_thread::sleep_for(std::chrono::seconds(13));
  kill(xvfb.pid(), SIGCONT);
  RawClient reader;
  ASSERT_EQ(reader.connect(tarvo.displayNumber(), 'l'), "");
  RawBytes value;
  for (int tries = 0; tries < 50; tries++) {  // the server closes the leaver in its own time
    ASSERT_EQ(reader.roundTrip(RawRequest(false).b(20).b(0).s(0).i(reader.rootWindow()).i(kCutBuffer0).i(0).i(0)
                                   .i(100).done(), value), "");
    ASSERT_EQ(value[0], 1);
    if (rawGet32(value, 16, false) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(value.size(), 32 + text.size());
  EXPECT_EQ(std::string(value.begin() + 32, value.begin() + 32 + long(text.size())), text);
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace

// ----- Read-backs on the proxy's own connection answered after the sync limit -----

// Tarvo on the answer relay in front of Xvfb; a marker straight to the relay that arms its holds,
// a client and a bystander.
struct HeldReadBack {
  // How long the relay holds an answer back, and how long a bystander may wait: the proxy's
  // sync limit (5 s) passes first, the held answer comes only after the wait.
  static constexpr int kHoldSeconds = 8;
  static constexpr int kWithinMs = 7000;
  XvfbServer xvfb;
  AnswerRelay relay;
  TarvoProcess tarvo;
  RawClient marker, client, bystander;
  std::string start() {
    if (std::string failure = xvfb.start(); !failure.empty()) return failure;
    if (std::string failure = relay.start(xvfb.displayName()); !failure.empty()) return failure;
    TarvoOptions options;
    options.logTypes = {"steps", "Xhints"};
    if (std::string failure = tarvo.start(relay.displayName(), options); !failure.empty()) return failure;
    if (std::string failure = marker.connect(relay.number, 'l'); !failure.empty()) return failure;
    if (std::string failure = client.connect(tarvo.displayNumber(), 'l'); !failure.empty()) return failure;
    return bystander.connect(tarvo.displayNumber(), 'B');
  }
  // The client's requests so far have reached the server; then the relay holds back the answer
  // to the next request of the opcode ("major" or "major.minor") on the proxy's connections.
  std::string hold(const std::string &opcode) {
    RawBytes answer;
    if (std::string failure = client.roundTrip(getInputFocus(false), answer); !failure.empty()) return failure;
    return marker.roundTrip(internAtom(false, "TARVO_HOLD_" + opcode + "_" + std::to_string(kHoldSeconds)), answer);
  }
  // The request sent whose read-back the relay holds back: the bystander's round trip is
  // answered once the sync limit passed, before the held answer comes; then the client reads
  // the request's error (0: none, then the reply to the round trip that follows it), and the
  // proxy has logged the failed read.
  void expectServed(const RawBytes &request, uint8_t error, const std::string &logged) {
    long long started = xvfbNowMs();
    ASSERT_EQ(client.send(request), "");
    uint16_t sequence = client.sequence();
    ASSERT_EQ(client.send(getInputFocus(false)), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the read-back waits by now
    RawBytes answer;
    ASSERT_EQ(bystander.roundTrip(getInputFocus(true), answer, 12000), "");
    EXPECT_EQ(answer[0], 1);
    EXPECT_LT(xvfbNowMs() - started, kWithinMs);
    ASSERT_EQ(client.read(answer, 12000), "");
    EXPECT_EQ(answer[0], error ? 0 : 1);
    if (error) {
      EXPECT_EQ(answer[1], error);
    }
    EXPECT_EQ(rawGet16(answer, 2, false), error ? sequence : client.sequence());
    EXPECT_TRUE(tarvo.waitForLog(logged, 2000)) << tarvo.log();
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }
};

// CreateCursor's read-back of its bitmaps (GetImage) and CreateGlyphCursor's of its font's
// metrics (QueryFont) give up after the sync limit: the request fails with BadAlloc or
// BadValue, logged, and the loop goes on.
TEST(ServerFaults, CursorReadBackAnsweredLateFailsItsRequest) {
  tarvoBlockSignals();
  HeldReadBack run;
  ASSERT_EQ(run.start(), "");
  uint32_t pixmap = run.client.idBase() + 1, cursor = run.client.idBase() + 2;
  ASSERT_EQ(run.client.send(RawRequest(false).b(53).b(1).s(0).i(pixmap).i(run.client.rootWindow()).s(16).s(16).done()),
            "");
  ASSERT_EQ(run.hold("73"), "");
  RawRequest makeCursor(false);
  makeCursor.b(93).b(0).s(0).i(cursor).i(pixmap).i(pixmap).s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff).s(1).s(1);
  run.expectServed(makeCursor.done(), 11, "did not answer within");  // BadAlloc
}

TEST(ServerFaults, GlyphCursorReadBackAnsweredLateFailsItsRequest) {
  tarvoBlockSignals();
  HeldReadBack run;
  ASSERT_EQ(run.start(), "");
  uint32_t font = run.client.idBase() + 1, cursor = run.client.idBase() + 2;
  ASSERT_EQ(run.client.send(RawRequest(false).b(45).b(0).s(0).i(font).s(6).s(0).text("cursor").align().done()), "");
  ASSERT_EQ(run.hold("47"), "");
  RawRequest makeCursor(false);
  makeCursor.b(94).b(0).s(0).i(cursor).i(font).i(font).s(68).s(69).s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff);
  run.expectServed(makeCursor.done(), 2, "Querying font");  // BadValue
}

// RENDER CreateCursor's read-back of the picture's pixmap (GetImage) gives up after the sync
// limit: logged, the heads make the cursor from the picture, and the loop goes on.
TEST(ServerFaults, RenderCursorReadBackAnsweredLateLeavesTheLoopGoing) {
  tarvoBlockSignals();
  HeldReadBack run;
  ASSERT_EQ(run.start(), "");
  uint8_t render = run.client.queryExtension("RENDER");
  ASSERT_NE(render, 0);
  // The ARGB32 format from QueryPictFormats: direct, depth 32, alpha mask 0xff at 24.
  RawBytes formats;
  ASSERT_EQ(run.client.roundTrip(RawRequest(false).b(render).b(1).s(0).done(), formats), "");
  ASSERT_EQ(formats[0], 1);
  uint32_t argb = 0;
  for (uint32_t k = 0, n = rawGet32(formats, 8, false); k < n && 32 + 28 * (k + 1) <= formats.size(); k++) {
    size_t at = 32 + 28 * k;
    if (formats[at + 4] == 1 && formats[at + 5] == 32 && rawGet16(formats, at + 20, false) == 24 &&
        rawGet16(formats, at + 22, false) == 0xff && rawGet16(formats, at + 8, false) == 16)
      argb = rawGet32(formats, at, false);
  }
  ASSERT_NE(argb, 0u);
  uint32_t pixmap = run.client.idBase() + 1, picture = run.client.idBase() + 2, cursor = run.client.idBase() + 3;
  ASSERT_EQ(run.client.send(RawRequest(false).b(53).b(32).s(0).i(pixmap).i(run.client.rootWindow()).s(8).s(8).done()),
            "");
  ASSERT_EQ(run.client.send(RawRequest(false).b(render).b(4).s(0).i(picture).i(pixmap).i(argb).i(0).done()), "");
  ASSERT_EQ(run.hold("73"), "");
  run.expectServed(RawRequest(false).b(render).b(27).s(0).i(cursor).i(picture).s(1).s(1).done(), 0,
                   "did not answer within");
}

// ShapeMask's read-back of the shape the server computed (SHAPE GetRectangles) gives up after
// the sync limit: logged, the local shape stays, and the loop goes on.
TEST(ServerFaults, ShapeReadBackAnsweredLateLeavesTheLoopGoing) {
  tarvoBlockSignals();
  HeldReadBack run;
  ASSERT_EQ(run.start(), "");
  uint8_t shape = run.client.queryExtension("SHAPE");
  ASSERT_NE(shape, 0);
  uint32_t window = run.client.idBase() + 1, pixmap = run.client.idBase() + 2;
  ASSERT_EQ(run.client.send(RawRequest(false).b(1).b(0).s(0).i(window).i(run.client.rootWindow()).s(0).s(0).s(100)
                                .s(100).s(0).s(1).i(0).i(0).done()), "");
  ASSERT_EQ(run.client.send(RawRequest(false).b(53).b(1).s(0).i(pixmap).i(window).s(16).s(16).done()), "");
  ASSERT_EQ(run.hold(std::to_string(shape) + ".8"), "");  // GetRectangles
  // ShapeMask: Set the bounding shape from the bitmap.
  run.expectServed(RawRequest(false).b(shape).b(2).s(0).b(0).b(0).s(0).i(window).s(0).s(0).i(pixmap).done(), 0,
                   "Reading the shape of window");
}

// The real pointer asked on the proxy's own connection (a relative WarpPointer asks where the
// pointer is) while the relay holds the answer back: the question gives up after the sync limit
// with a log line, the warp goes on from the proxy's own idea of the pointer, and the loop goes
// on.
TEST(ServerFaults, PointerQueryAnsweredLateLeavesTheLoopGoing) {
  tarvoBlockSignals();
  HeldReadBack run;
  ASSERT_EQ(run.start(), "");
  ASSERT_EQ(run.hold("38"), "");
  run.expectServed(RawRequest(false).b(41).b(0).s(0).i(0).i(0).s(0).s(0).s(0).s(0).s(3).s(4).done(), 0,
                   "The pointer query on the proxy's own connection for a pointer query failed");
}
