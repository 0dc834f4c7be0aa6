// Queries the proxy makes on its own connection to the real server while it serves a client
// request (colour cells replicated on another head, the cursor size every head allows, the
// selections a retained client owned, BIG-REQUESTS for a new client's server connection): a
// server that holds such an answer back (the relay of scripts/answer_relay.py, longer than the
// proxy's sync limit of 5 s) fails the request for its client once the limit passed, or lets it
// go on without that answer; the loop then serves everyone again, and the late answer does
// not confuse the next query.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "answerrelay_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

// How long the relay holds an answer back, and how long a test waits for what should come
// once the proxy's limit (5 s) passed: the answer held back comes only after the wait.
constexpr int kHoldSeconds = 8;
constexpr int kWithinMs = 7000;

RawBytes internAtom(const std::string &name) {
  return RawRequest(false).b(16).b(0).s(0).s(unsigned(name.size())).s(0).text(name).done();
}
RawBytes getInputFocus() { return RawRequest(false).b(43).b(0).s(1).done(); }
// Arms the relay: the next request of the opcode on another connection is held back.
std::string armHold(RawClient &marker, unsigned opcode) {
  RawBytes answer;
  return marker.roundTrip(internAtom("TARVO_HOLD_" + std::to_string(opcode) + "_" + std::to_string(kHoldSeconds)),
                          answer);
}
RawBytes allocColor(uint32_t colormap, unsigned red, unsigned green, unsigned blue) {
  return RawRequest(false).b(84).b(0).s(0).i(colormap).s(red).s(green).s(blue).s(0).done();
}
RawBytes queryCursorSize(uint32_t drawable) { return RawRequest(false).b(97).b(0).s(0).i(drawable).s(20).s(20).done(); }

// The first screen's record in a client's setup reply.
size_t screenAt(const RawClient &client) {
  const RawBytes &setup = client.setup();
  size_t vendor = rawGet16(setup, 24, false), formats = setup[29];
  return 40 + ((vendor + 3) & ~size_t(3)) + 8 * formats;
}
uint32_t rootVisual(const RawClient &client) { return rawGet32(client.setup(), screenAt(client) + 32, false); }

long long since(long long start) { return xvfbNowMs() - start; }

// Two 8-bit PseudoColor screens of one Xvfb behind the relay, joined into one meta screen.
class OwnQueries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens = {"320x240x8", "320x240x8"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    ASSERT_EQ(relay.start(xvfb.displayName()), "");
    TarvoOptions options;
    options.arguments = {"screen", "%D.0", "tags", "anyScreen"};
    ASSERT_EQ(tarvo.start(relay.displayName(), options), "");
  }
  void TearDown() override {
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }

  XvfbServer xvfb;
  AnswerRelay relay;
  TarvoProcess tarvo;
};

// BIG-REQUESTS looked up for a new client's server connection, then a colour the primary head
// allocated and another head could not: the setup completes and the allocation fails with
// BadAlloc once the limit passed; a later setup and allocation are answered.
TEST_F(OwnQueries, SetupAndColourGoOnWithoutTheHeldAnswer) {
  RawClient marker;  // straight to the relay: the first tarvo client's setup is held
  ASSERT_EQ(marker.connect(relay.number, 'l'), "");
  ASSERT_EQ(armHold(marker, 98), "");  // QueryExtension
  long long start = xvfbNowMs();
  RawClient client;
  ASSERT_EQ(client.connect(tarvo.displayNumber(), 'l', kWithinMs), "");
  EXPECT_LT(since(start), kWithinMs);
  EXPECT_TRUE(tarvo.waitForLog("QueryExtension on the proxy's own connection", 2000)) << tarvo.log();
  // The next setup asks again: its answer comes behind the one held back.
  RawClient bystander;
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B', 10000), "");

  uint32_t colormap = client.idBase() + 1;
  ASSERT_EQ(client.send(RawRequest(false).b(78).b(0).s(0).i(colormap).i(client.rootWindow()).i(rootVisual(client))
                            .done()), "");
  ASSERT_EQ(armHold(client, 84), "");  // AllocColor: the client's own goes through
  start = xvfbNowMs();
  ASSERT_EQ(client.send(allocColor(colormap, 0x1200, 0x3400, 0x5600)), "");
  uint16_t allocSequence = client.sequence();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RawBytes answer;
  ASSERT_EQ(bystander.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer, kWithinMs), "");
  EXPECT_EQ(answer[0], 1);
  ASSERT_EQ(client.read(answer, int(kWithinMs - since(start))), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 11);  // BadAlloc
  EXPECT_EQ(rawGet16(answer, 2, false), allocSequence);
  EXPECT_TRUE(tarvo.waitForLog("AllocColor on the proxy's own connection", 2000)) << tarvo.log();

  // The answer held back is dropped when it comes; the next allocation gets its own.
  ASSERT_EQ(client.roundTrip(allocColor(colormap, 0xab00, 0xcd00, 0xef00), answer, 10000), "");
  EXPECT_EQ(answer[0], 1);
  ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
  EXPECT_EQ(answer[0], 1);
}

// The cursor size every head allows goes back as the primary head gave it; the selections of
// a client that leaves retained stay where they are; meanwhile a bystander is served.
TEST_F(OwnQueries, CursorSizeAndRetainedSelectionsGoOnWithoutTheHeldAnswer) {
  RawClient client, bystander, retained;
  ASSERT_EQ(client.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(retained.connect(tarvo.displayNumber(), 'l'), "");
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(queryCursorSize(client.rootWindow()), answer), "");
  ASSERT_EQ(answer[0], 1);
  uint32_t width = rawGet16(answer, 8, false), height = rawGet16(answer, 10, false);

  ASSERT_EQ(armHold(client, 97), "");  // QueryBestSize
  long long start = xvfbNowMs();
  ASSERT_EQ(client.send(queryCursorSize(client.rootWindow())), "");
  ASSERT_EQ(client.read(answer, kWithinMs), "");
  EXPECT_LT(since(start), kWithinMs);
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, false), client.sequence());
  EXPECT_TRUE(tarvo.waitForLog("QueryBestSize on the proxy's own connection", 2000)) << tarvo.log();
  // Once the held answer came, the heads are asked again.
  ASSERT_EQ(client.roundTrip(queryCursorSize(client.rootWindow()), answer, 10000), "");
  EXPECT_EQ(rawGet16(answer, 8, false), width);
  EXPECT_EQ(rawGet16(answer, 10, false), height);

  uint32_t window = retained.idBase() + 1;
  ASSERT_EQ(retained.send(RawRequest(false).b(1).b(0).s(0).i(window).i(retained.rootWindow()).s(0).s(0).s(10).s(10)
                              .s(0).s(1).i(0).i(0).done()), "");
  ASSERT_EQ(retained.send(RawRequest(false).b(22).b(0).s(0).i(window).i(1).i(0).done()), "");  // PRIMARY
  ASSERT_EQ(retained.send(RawRequest(false).b(112).b(2).s(0).done()), "");  // RetainTemporary
  ASSERT_EQ(retained.roundTrip(getInputFocus(), answer), "");
  ASSERT_EQ(armHold(client, 23), "");  // GetSelectionOwner
  start = xvfbNowMs();
  retained.close();
  EXPECT_TRUE(tarvo.waitForLog("GetSelectionOwner on the proxy's own connection", kWithinMs)) << tarvo.log();
  ASSERT_EQ(bystander.roundTrip(RawRequest(false).b(23).b(0).s(0).i(1).done(), answer, int(kWithinMs - since(start))),
            "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet32(answer, 8, false), window);  // still the retained client's
}

}  // namespace
