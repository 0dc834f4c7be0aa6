// SYNC through the tarvo executable against Xvfb: xdpyinfo's report as direct, system counters
// in both byte orders, counters, alarms and awaits with the clients' ids in events and errors,
// priorities; and a client held by the server in an Await while the proxy syncs its connection,
// which holds no other client.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kGetInputFocus = 43, kGetGeometry = 14, kSendEvent = 25, kCreateWindow = 1, kCreatePixmap = 53,
                  kCreateCursor = 93;
constexpr uint8_t kBadIDChoice = 14;
// SYNC minors.
constexpr uint8_t kInitialize = 0, kListCounters = 1, kCreateCounter = 2, kSetCounter = 3, kChangeCounter = 4,
                  kQueryCounter = 5, kDestroyCounter = 6, kAwait = 7, kCreateAlarm = 8, kChangeAlarm = 9,
                  kQueryAlarm = 10, kSetPriority = 12, kGetPriority = 13;
// Alarm value-mask bits and test types.
constexpr uint32_t kCACounter = 1, kCAValueType = 2, kCAValue = 4, kCATestType = 8, kCAEvents = 32;
constexpr uint32_t kAbsolute = 0, kPositiveComparison = 2;

struct Codes {
  uint8_t major = 0, firstEvent = 0, firstError = 0;
};

Codes querySync(RawClient &c) {
  RawRequest q(c.big());
  q.b(98).b(0).s(0).s(4).s(0).text("SYNC");
  RawBytes answer;
  Codes codes;
  if (c.roundTrip(q.done(), answer).empty() && answer[0] == 1 && answer[8])
    codes = {answer[9], answer[10], answer[11]};
  return codes;
}

RawBytes syncRequest(RawClient &c, uint8_t major, uint8_t minor, const std::vector<uint32_t> &words) {
  RawRequest r(c.big());
  r.b(major).b(minor).s(0);
  for (uint32_t w : words) r.i(w);
  return r.done();
}

// Sends GetInputFocus and reads up to its reply: the errors and events before it.
std::vector<RawBytes> messagesUntilSync(RawClient &c, int timeoutMs = 10000) {
  std::vector<RawBytes> out;
  if (!c.send(RawRequest(c.big()).b(kGetInputFocus).b(0).s(1).done()).empty()) return out;
  for (;;) {
    RawBytes message;
    if (!c.read(message, timeoutMs).empty()) {
      out.push_back(RawBytes{0xff});  // marks a time-out
      return out;
    }
    if (message[0] == 1 && rawGet16(message, 2, c.big()) == c.sequence()) return out;
    out.push_back(message);
  }
}

// The one error among the messages: its code and bad value; code 0 when there is none or more.
std::pair<uint8_t, uint32_t> onlyError(const std::vector<RawBytes> &messages, bool big) {
  std::pair<uint8_t, uint32_t> found{0, 0};
  int errors = 0;
  for (const RawBytes &m : messages)
    if (m.size() >= 32 && m[0] == 0) {
      errors++;
      found = {m[1], rawGet32(m, 4, big)};
    }
  return errors == 1 ? found : std::pair<uint8_t, uint32_t>{0, 0};
}

// The 64-bit value of a QueryCounter (high word first).
int64_t queryCounter(RawClient &c, const Codes &sync, uint32_t counter) {
  RawBytes answer;
  if (!c.roundTrip(syncRequest(c, sync.major, kQueryCounter, {counter}), answer).empty() || answer[0] != 1)
    return INT64_MIN;
  return int64_t(uint64_t(rawGet32(answer, 8, c.big())) << 32 | rawGet32(answer, 12, c.big()));
}

// System counters of a ListSystemCounters reply: (id, resolution, name), read in the client's order.
std::vector<std::tuple<uint32_t, uint64_t, std::string>> systemCounters(RawClient &c, const Codes &sync) {
  std::vector<std::tuple<uint32_t, uint64_t, std::string>> out;
  RawBytes answer;
  if (!c.roundTrip(syncRequest(c, sync.major, kListCounters, {}), answer).empty() || answer[0] != 1) return out;
  uint32_t count = rawGet32(answer, 8, c.big());
  size_t at = 32;
  for (uint32_t k = 0; k < count && at + 14 <= answer.size(); k++) {
    uint32_t id = rawGet32(answer, at, c.big());
    uint64_t resolution = uint64_t(rawGet32(answer, at + 4, c.big())) << 32 | rawGet32(answer, at + 8, c.big());
    size_t nameLength = rawGet16(answer, at + 12, c.big());
    if (at + 14 + nameLength > answer.size()) break;
    auto name = answer.begin() + long(at) + 14;
    out.emplace_back(id, resolution, std::string(name, name + long(nameLength)));
    at += (14 + nameLength + 3) & ~size_t(3);
  }
  return out;
}

// The section of xdpyinfo -ext SYNC from its version line on.
std::string syncSection(const std::string &report) {
  size_t at = report.find("SYNC version");
  return at == std::string::npos ? "" : report.substr(at);
}

class SyncThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override { ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), ""); }
  // A clean exit: nothing left behind that the sanitizers would report.
  void TearDown() override { EXPECT_EQ(tarvo.stop(), 0) << tarvo.output(); }

  void connect(RawClient &c, char order) {
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    sync = querySync(c);
    ASSERT_NE(sync.major, 0);
  }

  // A SYNC request without a reply, and the one error it gets (code 0 when none).
  void put(RawClient &c, uint8_t minor, const std::vector<uint32_t> &words) {
    EXPECT_EQ(c.send(syncRequest(c, sync.major, minor, words)), "");
  }
  std::pair<uint8_t, uint32_t> errorOf(RawClient &c, uint8_t minor, const std::vector<uint32_t> &words) {
    put(c, minor, words);
    return onlyError(messagesUntilSync(c), c.big());
  }

  // The counters of all the server's clients, as its X-Resource extension counts them.
  int serverCounters() {
    std::string out = xrelayRun("/usr/bin/python3 " + std::string(TARVO_SOURCE_DIR) +
                                "/tests/integration/scripts/sync_counters.py " + xvfb.displayName() + " 2>&1");
    return out.empty() || !isdigit(static_cast<unsigned char>(out[0])) ? -1 : std::stoi(out);
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  Codes sync;
};

TEST_F(SyncThroughTarvo, XdpyinfoShowsTheProxysVersionAndTheServersCounters) {
  std::string direct = syncSection(xrelayRun("xdpyinfo -display " + xvfb.displayName() + " -ext SYNC 2>&1"));
  std::string proxied = syncSection(xrelayRun("xdpyinfo -display " + tarvo.displayName() + " -ext SYNC 2>&1"));
  ASSERT_NE(direct.find("system counters"), std::string::npos) << direct;
  EXPECT_EQ(proxied.rfind("SYNC version 3.0 ", 0), 0u) << proxied;
  // Everything after the version (opcode, bases, every counter's name, id and resolution).
  EXPECT_EQ(proxied.substr(proxied.find(" opcode")), direct.substr(direct.find(" opcode")));
}

// A client of either byte order.
class SyncByteOrder : public SyncThroughTarvo, public ::testing::WithParamInterface<char> {};

TEST_F(SyncThroughTarvo, SystemCountersAgreeInBothByteOrders) {
  RawClient little, big;
  connect(little, 'l');
  connect(big, 'B');
  auto fromLittle = systemCounters(little, sync), fromBig = systemCounters(big, sync);
  ASSERT_GE(fromLittle.size(), 2u);
  EXPECT_EQ(fromLittle, fromBig);
  bool serverTime = false;
  for (auto &entry : fromBig) serverTime = serverTime || std::get<2>(entry) == "SERVERTIME";
  EXPECT_TRUE(serverTime);
  // SyncInitialize answers the proxy's version in either order.
  RawBytes answer;
  ASSERT_EQ(big.roundTrip(syncRequest(big, sync.major, kInitialize, {0x0301}), answer), "");
  EXPECT_EQ(answer[8], 3);
  EXPECT_EQ(answer[9], 0);
}

TEST_P(SyncByteOrder, CountersErrorsAndPriorities) {
  RawClient c, other;
  connect(c, GetParam());
  connect(other, 'l');
  uint32_t counter = c.idBase() + 1, window = c.idBase() + 2;
  int before = serverCounters();
  put(c, kCreateCounter, {counter, 0, 5});
  EXPECT_EQ(queryCounter(c, sync, counter), 5);
  EXPECT_EQ(serverCounters(), before + 1);
  put(c, kSetCounter, {counter, 0, 10});
  EXPECT_EQ(queryCounter(c, sync, counter), 10);
  put(c, kChangeCounter, {counter, 0xffffffff, 0xfffffffe});
  EXPECT_EQ(queryCounter(c, sync, counter), 8);
  // Another client reaches the counter under the same id.
  EXPECT_EQ(queryCounter(other, sync, counter), 8);

  // An id in use, or of another client: BadIDChoice with the id, and the counter stays as it was.
  EXPECT_EQ(errorOf(c, kCreateCounter, {counter, 0, 99}), std::make_pair(kBadIDChoice, counter));
  EXPECT_EQ(queryCounter(c, sync, counter), 8);
  uint32_t foreign = other.idBase() + 7;
  EXPECT_EQ(errorOf(c, kCreateCounter, {foreign, 0, 1}), std::make_pair(kBadIDChoice, foreign));
  EXPECT_EQ(queryCounter(other, sync, foreign), INT64_MIN);
  EXPECT_EQ(serverCounters(), before + 1) << "a refused CreateCounter reached the server";

  // An unknown counter: SyncBadCounter with the client's id.
  uint32_t unknown = c.idBase() + 9;
  EXPECT_EQ(errorOf(c, kSetCounter, {unknown, 0, 1}), std::make_pair(sync.firstError, unknown));

  // DestroyCounter of a window: SyncBadCounter, and the window is still there.
  RawRequest create(c.big());
  create.b(kCreateWindow).b(0).s(0).i(window).i(c.rootWindow()).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0);
  ASSERT_EQ(c.send(create.done()), "");
  EXPECT_EQ(errorOf(c, kDestroyCounter, {window}), std::make_pair(sync.firstError, window));
  RawBytes geometry;
  ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(kGetGeometry).b(0).s(0).i(window).done(), geometry), "");
  EXPECT_EQ(geometry[0], 1) << "the window went with the refused DestroyCounter";

  // Priorities name the client by any of its resources.
  put(c, kSetPriority, {counter, 7});
  RawBytes priority;
  for (uint32_t id : {counter, window, 0u}) {
    ASSERT_EQ(c.roundTrip(syncRequest(c, sync.major, kGetPriority, {id}), priority), "");
    ASSERT_EQ(priority[0], 1);
    EXPECT_EQ(rawGet32(priority, 8, c.big()), 7u) << id;
  }
  ASSERT_EQ(other.roundTrip(syncRequest(other, sync.major, kGetPriority, {0}), priority), "");
  EXPECT_EQ(rawGet32(priority, 8, other.big()), 0u);

  // Destroyed, the counter is gone and its id free again.
  put(c, kDestroyCounter, {counter});
  EXPECT_TRUE(messagesUntilSync(c).empty());
  EXPECT_EQ(queryCounter(c, sync, counter), INT64_MIN);
  put(c, kCreateCounter, {counter, 0, 3});
  EXPECT_EQ(queryCounter(c, sync, counter), 3);
}

// The alarm events of the messages: (alarm id, counter value) each.
std::vector<std::pair<uint32_t, uint32_t>> alarmEvents(const std::vector<RawBytes> &messages, const Codes &sync,
                                                       bool big) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const RawBytes &m : messages)
    if (m[0] == sync.firstEvent + 1) out.emplace_back(rawGet32(m, 4, big), rawGet32(m, 12, big));
  return out;
}

TEST_P(SyncByteOrder, AlarmFollowsItsCounterAfterChangeAlarm) {
  RawClient c;
  connect(c, GetParam());
  uint32_t first = c.idBase() + 1, second = c.idBase() + 2, alarm = c.idBase() + 3;
  put(c, kCreateCounter, {first, 0, 0});
  put(c, kCreateCounter, {second, 0, 0});
  uint32_t mask = kCACounter | kCAValueType | kCAValue | kCATestType | kCAEvents;
  put(c, kCreateAlarm, {alarm, mask, first, kAbsolute, 0, 10, kPositiveComparison, 1});
  EXPECT_TRUE(messagesUntilSync(c).empty());
  put(c, kSetCounter, {first, 0, 10});
  auto events = alarmEvents(messagesUntilSync(c), sync, c.big());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair(alarm, 10u));

  // Moved to the second counter: the first no longer triggers it, the second does.
  put(c, kChangeAlarm, {alarm, kCACounter | kCAValueType | kCAValue, second, kAbsolute, 0, 4});
  RawBytes query;
  ASSERT_EQ(c.roundTrip(syncRequest(c, sync.major, kQueryAlarm, {alarm}), query), "");
  ASSERT_EQ(query[0], 1);
  EXPECT_EQ(rawGet32(query, 8, c.big()), second);
  put(c, kSetCounter, {first, 0, 50});
  EXPECT_TRUE(alarmEvents(messagesUntilSync(c), sync, c.big()).empty());
  put(c, kSetCounter, {second, 0, 4});
  events = alarmEvents(messagesUntilSync(c), sync, c.big());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], std::make_pair(alarm, 4u));
}

TEST_P(SyncByteOrder, AwaitEndsWhenAnotherClientSetsTheCounter) {
  RawClient waiter, setter;
  connect(waiter, GetParam());
  connect(setter, 'l');
  uint32_t counter = waiter.idBase() + 1;
  put(waiter, kCreateCounter, {counter, 0, 0});
  ASSERT_TRUE(messagesUntilSync(waiter).empty());
  put(waiter, kAwait, {counter, kAbsolute, 0, 1, kPositiveComparison, 0, 0});
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    setter.send(syncRequest(setter, sync.major, kSetCounter, {counter, 0, 1}));
  });
  std::vector<RawBytes> messages = messagesUntilSync(waiter);
  later.join();
  ASSERT_EQ(messages.size(), 1u);
  const RawBytes &notify = messages[0];
  EXPECT_EQ(notify[0], sync.firstEvent);
  EXPECT_EQ(rawGet32(notify, 4, waiter.big()), counter);
  EXPECT_EQ(rawGet32(notify, 20, waiter.big()), 1u);  // the counter's value, low word

  // A CounterNotify that a client sends keeps its ids, even one that names the real root.
  RawClient direct;
  ASSERT_EQ(direct.connect(xvfb.displayNumber(), 'l'), "");
  uint32_t window = waiter.idBase() + 2, realRoot = direct.rootWindow();
  RawRequest create(waiter.big());
  create.b(kCreateWindow).b(0).s(0).i(window).i(waiter.rootWindow()).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0);
  ASSERT_EQ(waiter.send(create.done()), "");
  RawRequest sent(waiter.big());
  sent.b(kSendEvent).b(0).s(0).i(window).i(0);
  sent.b(sync.firstEvent).b(0).s(0).i(realRoot).i(0).i(5).i(0).i(6).i(1234).s(1).b(0).b(0);
  ASSERT_EQ(waiter.send(sent.done()), "");
  messages = messagesUntilSync(waiter);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], sync.firstEvent | 0x80);
  EXPECT_EQ(rawGet32(messages[0], 4, waiter.big()), realRoot);
  EXPECT_EQ(rawGet32(messages[0], 24, waiter.big()), 1234u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, SyncByteOrder, ::testing::Values('l', 'B'));

// A client held by the server in an Await makes the proxy sync its connection (CreateCursor from
// a pixmap reads the pixmap after a sync of the client's connections; the client waits parked).
// The client that ends the Await is read meanwhile, both go on, and the sync answer reaches no
// client.
TEST(SyncHeldClient, ProxySyncOfAnAwaitingClientGivesUp) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  RawClient waiter, setter;
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(setter.connect(tarvo.displayNumber(), 'B'), "");
  Codes sync = querySync(waiter), syncB = querySync(setter);
  ASSERT_NE(sync.major, 0);
  uint32_t counter = waiter.idBase() + 1, pixmap = waiter.idBase() + 2, cursor = waiter.idBase() + 3;
  ASSERT_EQ(waiter.send(syncRequest(waiter, sync.major, kCreateCounter, {counter, 0, 0})), "");
  RawRequest makePixmap(false);
  makePixmap.b(kCreatePixmap).b(1).s(0).i(pixmap).i(waiter.rootWindow()).s(16).s(16);
  ASSERT_EQ(waiter.send(makePixmap.done()), "");
  ASSERT_TRUE(messagesUntilSync(waiter).empty());

  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(waiter.send(syncRequest(waiter, sync.major, kAwait, {counter, kAbsolute, 0, 1, kPositiveComparison, 0, 0})),
            "");
  RawRequest makeCursor(false);
  makeCursor.b(kCreateCursor).b(0).s(0).i(cursor).i(pixmap).i(0).s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff).s(0).s(0);
  ASSERT_EQ(waiter.send(makeCursor.done()), "");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  RawBytes value;
  ASSERT_EQ(setter.send(syncRequest(setter, syncB.major, kSetCounter, {counter, 0, 1})), "");
  ASSERT_EQ(setter.roundTrip(syncRequest(setter, syncB.major, kQueryCounter, {counter}), value, 20000), "");
  EXPECT_EQ(rawGet32(value, 12, true), 1u);
  std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0 + 4.0);
  // The CounterNotify of the Await and nothing else: no error, no stray reply.
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], sync.firstEvent);
  EXPECT_EQ(rawGet32(messages[0], 4, false), counter);
  // The cursor was made and the proxy serves others as before.
  std::string info = xrelayRun("xdpyinfo -display " + tarvo.displayName() + " 2>&1");
  EXPECT_NE(info.find("number of screens"), std::string::npos) << info;
  RawBytes again;
  ASSERT_EQ(waiter.roundTrip(syncRequest(waiter, sync.major, kQueryCounter, {counter}), again), "");
  EXPECT_EQ(again[0], 1);
  waiter.close();
  setter.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace

namespace {

// The longest GetInputFocus round trip of the client while `keepGoing` holds (at least one).
double longestRoundTrip(RawClient &c, const std::function<bool()> &keepGoing) {
  double longest = 0;
  do {
    auto start = std::chrono::steady_clock::now();
    RawBytes answer;
    if (!c.roundTrip(RawRequest(c.big()).b(kGetInputFocus).b(0).s(1).done(), answer, 40000).empty()) return 1e9;
    longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (keepGoing());
  return longest;
}

}  // namespace

// A client held by an Await whose cursor and pointer requests need the server's answer waits for
// it alone: another client's round trips stay short throughout, and the cursors are made once
// the counter moves.
TEST(SyncHeldClient, AwaitingClientsCursorsAndWarpsHoldNoOtherClient) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  RawClient waiter, setter, bystander;
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(setter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  Codes sync = querySync(waiter);
  ASSERT_NE(sync.major, 0);
  uint32_t base = waiter.idBase(), counter = base + 1, pixmap = base + 2, font = base + 3, cursors = base + 0x10;
  ASSERT_EQ(waiter.send(syncRequest(waiter, sync.major, kCreateCounter, {counter, 0, 0})), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCreatePixmap).b(1).s(0).i(pixmap).i(waiter.rootWindow()).s(16).s(16).done()),
            "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(45).b(0).s(0).i(font).s(6).s(0).text("cursor").align().done()), "");
  ASSERT_TRUE(messagesUntilSync(waiter).empty());

  ASSERT_EQ(waiter.send(syncRequest(waiter, sync.major, kAwait, {counter, kAbsolute, 0, 1, kPositiveComparison, 0, 0})),
            "");
  for (uint32_t i = 0; i < 3; i++) {
    RawRequest c(false);
    c.b(kCreateCursor).b(0).s(0).i(cursors + i).i(pixmap).i(0).s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff).s(0).s(0);
    ASSERT_EQ(waiter.send(c.done()), "");
    RawRequest g(false);
    g.b(94).b(0).s(0).i(cursors + 3 + i).i(font).i(font).s(2 * i).s(2 * i + 1).s(0).s(0).s(0).s(0xffff).s(0xffff)
        .s(0xffff);
    ASSERT_EQ(waiter.send(g.done()), "");
    // A relative WarpPointer asks for the pointer after the client's requests, too.
    ASSERT_EQ(waiter.send(RawRequest(false).b(41).b(0).s(0).i(0).i(0).s(0).s(0).s(0).s(0).s(1).s(1).done()), "");
  }
  auto start = std::chrono::steady_clock::now();
  double longest = longestRoundTrip(bystander, [&] {
    return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500);
  });
  EXPECT_LT(longest, 1.0);
  ASSERT_EQ(setter.send(syncRequest(setter, sync.major, kSetCounter, {counter, 0, 1})), "");
  // The waiter's requests go on: the Await's CounterNotify, then every cursor is there.
  std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], sync.firstEvent);
  for (uint32_t i = 0; i < 6; i++) ASSERT_EQ(waiter.send(RawRequest(false).b(95).b(0).s(0).i(cursors + i).done()), "");
  EXPECT_TRUE(messagesUntilSync(waiter).empty());
  EXPECT_LT(longestRoundTrip(bystander, [] { return false; }), 1.0);
  waiter.close();
  setter.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

namespace {

// The longest round trip of the client over the given time.
double longestRoundTripFor(RawClient &c, int ms) {
  auto start = std::chrono::steady_clock::now();
  return longestRoundTrip(c, [&] { return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms); });
}

// xdotool on the real display: its output.
std::string xdotool(const XvfbServer &xvfb, const std::string &words) {
  return xrelayRun("env DISPLAY=" + xvfb.displayName() + " xdotool " + words);
}

// tarvo on two 640x480 heads of one meta screen (the second starts at x 640), the real pointer
// at 100,100 of the first: "" or the failure.
std::string startOnTwoHeads(XvfbServer &xvfb, TarvoProcess &tarvo) {
  if (std::string failure = tarvoStartOnScreens(xvfb, tarvo, 2, "640x480x24"); !failure.empty()) return failure;
  xdotool(xvfb, "mousemove --screen 0 100 100");
  return "";
}

// A counter of the client at 0 and an Await of it reaching 1 (the client is held from then on).
void awaitNewCounter(RawClient &c, const Codes &sync, uint32_t counter) {
  ASSERT_EQ(c.send(syncRequest(c, sync.major, kCreateCounter, {counter, 0, 0})), "");
  ASSERT_EQ(c.send(syncRequest(c, sync.major, kAwait, {counter, kAbsolute, 0, 1, kPositiveComparison, 0, 0})), "");
}

// GrabPointer on the root, asynchronous, PointerMotion, no confine-to window, no cursor: the
// reply's status (255 without a reply).
uint8_t grabRoot(RawClient &c) {
  RawBytes answer;
  RawRequest grab(c.big());
  grab.b(26).b(0).s(0).i(c.rootWindow()).s(0x40).b(1).b(1).i(0).i(0).i(0);
  return c.roundTrip(grab.done(), answer).empty() && answer[0] == 1 ? answer[1] : 255;
}

RawBytes warpTo(uint32_t root, int x, int y) {
  return RawRequest(false).b(41).b(0).s(0).i(0).i(root).s(0).s(0).s(0).s(0).s(uint16_t(x)).s(uint16_t(y)).done();
}

}  // namespace

// A client held by an Await holds an active pointer grab while the real pointer moves onto the
// other head of the meta screen: the proxy carries the grab there through that client's
// connection without waiting for it, so another client's round trips stay short, and the held
// client's QueryPointer answers where the pointer is once the counter moves. Another client's
// WarpPointer back under that grab waits for nothing of the held client: it lands at once.
TEST(SyncHeldClient, AwaitingGrabOwnerHoldsNoOtherClientWhileThePointerCrosses) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(startOnTwoHeads(xvfb, tarvo), "");
  RawClient bystander, waiter, setter;
  // The oldest client carries the pointer poll's queries: the bystander, never held.
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(setter.connect(tarvo.displayNumber(), 'l'), "");
  Codes sync = querySync(waiter);
  ASSERT_NE(sync.major, 0);
  uint32_t counter = waiter.idBase() + 1, root = waiter.rootWindow();
  ASSERT_EQ(grabRoot(waiter), 0);  // GrabSuccess
  awaitNewCounter(waiter, sync, counter);
  ASSERT_EQ(waiter.send(RawRequest(false).b(38).b(0).s(0).i(root).done()), "");  // QueryPointer
  uint16_t querySequence = waiter.sequence();

  xdotool(xvfb, "mousemove --screen 1 200 150");
  EXPECT_LT(longestRoundTripFor(bystander, 2000), 1.0);
  EXPECT_TRUE(tarvo.waitForLog("under a grab", 5000)) << tarvo.log();

  // The warp waits for nothing of the held client (the sync limit is 5 s): its reply comes, and
  // the real pointer is there, before the counter moves.
  ASSERT_EQ(setter.send(warpTo(root, 100, 100)), "");
  ASSERT_EQ(setter.send(RawRequest(false).b(kGetInputFocus).b(0).s(1).done()), "");
  RawBytes answer;
  ASSERT_EQ(setter.read(answer, 3000), "") << "the warp's client waited for the held one";
  EXPECT_EQ(answer[0], 1);
  EXPECT_LT(longestRoundTripFor(bystander, 1000), 1.0);
  EXPECT_EQ(xdotool(xvfb, "getmouselocation").substr(0, 21), "x:100 y:100 screen:0 ");

  ASSERT_EQ(bystander.send(syncRequest(bystander, querySync(bystander).major, kSetCounter, {counter, 0, 1})), "");
  // The Await's CounterNotify (and motion under the grab), then the QueryPointer's reply on the
  // meta screen: the server answers it after the warp, as one screen would.
  RawBytes message;
  bool notified = false;
  for (;;) {
    ASSERT_EQ(waiter.read(message, 20000), "");
    ASSERT_NE(message[0], 0) << "error " << int(message[1]);
    if (message[0] == sync.firstEvent) notified = true;
    if (message[0] == 1) break;
  }
  EXPECT_TRUE(notified);
  EXPECT_EQ(rawGet16(message, 2, false), querySequence);
  EXPECT_EQ(message[1], 1);  // same screen
  EXPECT_EQ(rawGet32(message, 8, false), root);
  EXPECT_EQ(rawGet16(message, 16, false), 100);
  EXPECT_EQ(rawGet16(message, 18, false), 100);
  EXPECT_LT(longestRoundTrip(bystander, [] { return false; }), 1.0);
  waiter.close();
  setter.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A client held by an Await holds an active pointer grab, on the root and then confined to a
// window across the border: another client's WarpPointer across the border, five times, and its
// XTEST motion onto the other head each answer at once, as its round trip behind them shows (the
// sync limit is 5 s; the moves wait for nothing of the held client), the bystander's round trips
// stay short, and once the counter moves the held client goes on, the real server answers, and
// the pointer is where the last move put it (inside the window when confined).
TEST(SyncHeldClient, MovesUnderAnAwaitingClientsGrabWaitForNothingOfIt) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(startOnTwoHeads(xvfb, tarvo), "");
  RawClient bystander, waiter, mover;
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(mover.connect(tarvo.displayNumber(), 'l'), "");
  Codes sync = querySync(waiter), syncB = querySync(bystander);
  ASSERT_NE(sync.major, 0);
  RawBytes answer;
  ASSERT_EQ(mover.roundTrip(RawRequest(false).b(98).b(0).s(0).s(5).s(0).text("XTEST").done(), answer), "");
  ASSERT_EQ(answer[8], 1);
  uint8_t xtest = answer[9];
  uint32_t root = waiter.rootWindow(), window = waiter.idBase() + 1, counter = waiter.idBase() + 2;
  RawRequest create(false);  // 540,100 200x100: x 540 to 739 across the border at 640
  create.b(kCreateWindow).b(0).s(0).i(window).i(root).s(540).s(100).s(200).s(100).s(0).s(1).i(0).i(0);
  ASSERT_EQ(waiter.send(create.done()), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(8).b(0).s(0).i(window).done()), "");  // MapWindow
  ASSERT_TRUE(messagesUntilSync(waiter).empty());
  // The mover's request and a round trip behind it: the reply within 3 s (of a 5 s sync limit).
  auto moved = [&](const RawBytes &request) {
    if (!mover.send(request).empty() || !mover.send(RawRequest(false).b(kGetInputFocus).b(0).s(1).done()).empty())
      return false;
    RawBytes reply;
    return mover.read(reply, 3000).empty() && reply[0] == 1;
  };
  for (bool confined : {false, true}) {
    SCOPED_TRACE(confined ? "confined to the window" : "on the root");
    RawRequest grab(false);  // asynchronous, PointerMotion
    grab.b(26).b(0).s(0).i(confined ? window : root).s(0x40).b(1).b(1).i(confined ? window : 0).i(0).i(0);
    ASSERT_EQ(waiter.roundTrip(grab.done(), answer), "");
    ASSERT_EQ(answer[1], 0);  // GrabSuccess
    awaitNewCounter(waiter, sync, counter + (confined ? 1 : 0));
    for (int i = 0; i < 5; i++)
      EXPECT_TRUE(moved(warpTo(root, i % 2 ? 200 : 1000, 150))) << "warp " << i << " waited";
    EXPECT_TRUE(moved(RawRequest(false).b(xtest).b(2).s(0).b(6).b(0).s(0).i(0).i(root).pad(8).s(200).s(300).pad(8).done()))
        << "the XTEST motion waited";
    EXPECT_LT(longestRoundTripFor(bystander, 500), 1.0);
    ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter + (confined ? 1 : 0), 0, 1})), "");
    std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
    // The motion the moves brought under the grab, and the Await's CounterNotify.
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const RawBytes &m) { return m[0] == sync.firstEvent; }));
    for (const RawBytes &m : messages) EXPECT_NE(m[0], 0) << "error " << int(m[1]);
    // Unconfined the pointer is at 200,300; confined, the nearest point of the window.
    std::string location, expected = confined ? "x:540 y:199 screen:0" : "x:200 y:300 screen:0";
    for (int i = 0; i < 40 && location != expected; i++, usleep(50000))
      location = xdotool(xvfb, "getmouselocation").substr(0, 20);
    EXPECT_EQ(location, expected);
    ASSERT_EQ(waiter.send(RawRequest(false).b(27).b(0).s(0).i(0).done()), "");  // UngrabPointer
    EXPECT_TRUE(messagesUntilSync(waiter).empty());
  }
  waiter.close();
  mover.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A client held by an Await moves the pointer onto the other head and back under its own pointer
// grab (WarpPointer; the pointer poll runs): each crossing waits parked for the client's own
// requests to reach the server, another client's round trips stay short, and the moves are made
// in order once the counter moves. An XTEST relative motion whose wait gave up moves the pointer
// without waiting for the held client again; an absolute one onto the other head waits parked.
TEST(SyncHeldClient, AwaitingClientsCrossingsHoldNoOtherClient) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(startOnTwoHeads(xvfb, tarvo), "");
  RawClient waiter, bystander;
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  Codes sync = querySync(waiter), syncB = querySync(bystander);
  ASSERT_NE(sync.major, 0);
  uint32_t counter = waiter.idBase() + 1, root = waiter.rootWindow();
  ASSERT_EQ(grabRoot(waiter), 0);
  awaitNewCounter(waiter, sync, counter);
  for (int x : {900, 200, 700}) ASSERT_EQ(waiter.send(warpTo(root, x, 300)), "");
  EXPECT_LT(longestRoundTripFor(bystander, 1500), 1.0);
  ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter, 0, 1})), "");
  std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0][0], sync.firstEvent);
  for (const RawBytes &m : messages) EXPECT_EQ(m[0] & 0x7f, m[0] == sync.firstEvent ? sync.firstEvent : 6);  // motion
  EXPECT_EQ(xdotool(xvfb, "getmouselocation").substr(0, 20), "x:60 y:300 screen:1 ");
  EXPECT_TRUE(tarvo.waitForLog("Pointer warped to", 1000)) << tarvo.log();

  // Held again: a relative motion of 400 to the left waits for the sync limit (5 s), then goes
  // on from where the proxy has the pointer as the proxy's own move (which waits for nothing of
  // the held client).
  RawBytes answer;
  RawRequest query(false);
  query.b(98).b(0).s(0).s(5).s(0).text("XTEST");
  ASSERT_EQ(waiter.roundTrip(query.done(), answer), "");
  ASSERT_EQ(answer[8], 1);
  awaitNewCounter(waiter, sync, counter + 1);
  ASSERT_EQ(waiter.send(RawRequest(false).b(answer[9]).b(2).s(0).b(6).b(1).s(0).i(0).i(0).pad(8).s(uint16_t(-400)).s(0)
                            .pad(8).done()), "");
  EXPECT_LT(longestRoundTripFor(bystander, 6000), 1.0);
  EXPECT_TRUE(tarvo.waitForLog("at 300,300 from", 2000)) << tarvo.log();
  ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter + 1, 0, 1})), "");
  EXPECT_FALSE(messagesUntilSync(waiter, 20000).empty());
  std::string location;
  for (int i = 0; i < 40 && location != "x:300 y:300 screen:0"; i++, usleep(50000))
    location = xdotool(xvfb, "getmouselocation").substr(0, 20);
  EXPECT_EQ(location, "x:300 y:300 screen:0");

  // Held again: an XTEST absolute motion onto the other head waits parked as well, and is made
  // once the counter moves.
  awaitNewCounter(waiter, sync, counter + 2);
  ASSERT_EQ(waiter.send(RawRequest(false).b(answer[9]).b(2).s(0).b(6).b(0).s(0).i(0).i(root).pad(8).s(900).s(300)
                            .pad(8).done()), "");
  EXPECT_LT(longestRoundTripFor(bystander, 1500), 1.0);
  ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter + 2, 0, 1})), "");
  EXPECT_FALSE(messagesUntilSync(waiter, 20000).empty());
  for (int i = 0; i < 40 && location != "x:260 y:300 screen:1"; i++, usleep(50000))
    location = xdotool(xvfb, "getmouselocation").substr(0, 20);
  EXPECT_EQ(location, "x:260 y:300 screen:1");
  waiter.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A client held by an Await thaws and ends its frozen pointer grab (AllowEvents, UngrabPointer:
// the heads' LeaveWindow selection is switched around each): each waits parked for the client's
// own requests to reach the server, another client's round trips stay short, and both take
// effect once the counter moves.
TEST(SyncHeldClient, AwaitingClientsFrozenGrabRequestsHoldNoOtherClient) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  RawClient waiter, bystander;
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  Codes sync = querySync(waiter), syncB = querySync(bystander);
  ASSERT_NE(sync.major, 0);
  uint32_t counter = waiter.idBase() + 1;
  RawBytes answer;
  // GrabPointer on the root freezing pointer and keyboard (both modes Synchronous).
  RawRequest grab(false);
  grab.b(26).b(0).s(0).i(waiter.rootWindow()).s(0x40).b(0).b(0).i(0).i(0).i(0);
  ASSERT_EQ(waiter.roundTrip(grab.done(), answer), "");
  ASSERT_EQ(answer[1], 0);  // GrabSuccess
  awaitNewCounter(waiter, sync, counter);
  ASSERT_EQ(waiter.send(RawRequest(false).b(35).b(3).s(0).i(0).done()), "");  // AllowEvents AsyncKeyboard
  ASSERT_EQ(waiter.send(RawRequest(false).b(27).b(0).s(0).i(0).done()), "");  // UngrabPointer
  EXPECT_LT(longestRoundTripFor(bystander, 1500), 1.0);
  ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter, 0, 1})), "");
  std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0][0], sync.firstEvent);
  for (const RawBytes &m : messages) EXPECT_NE(m[0], 0) << "error " << int(m[1]);
  // The grab is gone: the bystander's own grab succeeds.
  RawRequest other(true);
  other.b(26).b(0).s(0).i(bystander.rootWindow()).s(0).b(1).b(1).i(0).i(0).i(0);
  ASSERT_EQ(bystander.roundTrip(other.done(), answer), "");
  EXPECT_EQ(answer[1], 0);
  waiter.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// A client held by an Await unmaps and destroys viewable windows under its frozen pointer grab
// (the heads' LeaveWindow selection is switched around each copy): each waits parked, another
// client's round trips stay short, and the windows go once the counter moves.
TEST(SyncHeldClient, AwaitingClientsWindowChangesUnderAFreezeHoldNoOtherClient) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  RawClient waiter, bystander;
  ASSERT_EQ(waiter.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(tarvo.displayNumber(), 'B'), "");
  Codes sync = querySync(waiter), syncB = querySync(bystander);
  ASSERT_NE(sync.major, 0);
  uint32_t counter = waiter.idBase() + 1, first = waiter.idBase() + 2, second = waiter.idBase() + 3;
  for (uint32_t window : {first, second}) {
    RawRequest create(false);
    create.b(kCreateWindow).b(0).s(0).i(window).i(waiter.rootWindow()).s(10).s(10).s(50).s(50).s(0).s(1).i(0).i(0);
    ASSERT_EQ(waiter.send(create.done()), "");
    ASSERT_EQ(waiter.send(RawRequest(false).b(8).b(0).s(0).i(window).done()), "");  // MapWindow
  }
  RawBytes answer;
  RawRequest grab(false);  // GrabPointer on the root freezing pointer and keyboard
  grab.b(26).b(0).s(0).i(waiter.rootWindow()).s(0x40).b(0).b(0).i(0).i(0).i(0);
  ASSERT_EQ(waiter.roundTrip(grab.done(), answer), "");
  ASSERT_EQ(answer[1], 0);  // GrabSuccess
  awaitNewCounter(waiter, sync, counter);
  ASSERT_EQ(waiter.send(RawRequest(false).b(10).b(0).s(0).i(first).done()), "");  // UnmapWindow
  ASSERT_EQ(waiter.send(RawRequest(false).b(4).b(0).s(0).i(second).done()), "");  // DestroyWindow
  EXPECT_LT(longestRoundTripFor(bystander, 1500), 1.0);
  ASSERT_EQ(bystander.send(syncRequest(bystander, syncB.major, kSetCounter, {counter, 0, 1})), "");
  std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
  ASSERT_FALSE(messages.empty());
  for (const RawBytes &m : messages) EXPECT_NE(m[0], 0) << "error " << int(m[1]);
  // The first is unmapped (GetWindowAttributes: map state 0), the second is gone (BadWindow).
  ASSERT_EQ(bystander.roundTrip(RawRequest(true).b(3).b(0).s(0).i(first).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(answer[26], 0);
  ASSERT_EQ(bystander.roundTrip(RawRequest(true).b(3).b(0).s(0).i(second).done(), answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 3);
  waiter.close();
  bystander.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}
