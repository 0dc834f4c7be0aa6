// The XDMCP client against a scripted display manager on 127.0.0.1, with the loop's clock
// faked so that retransmission and keepalive schedules run in no time.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "proxy/access.h"
#include "proxy/files.h"
#include "proxy/xdmcp.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"
#define HASXDMAUTH 1  // declares XdmcpWrap and XdmcpUnwrap
#include "xdmcpmanager_fixture.h"

namespace {

uint64_t fakeNow = 0;
uint64_t fakeClock() { return fakeNow; }

std::vector<std::string> ends;    // "exit <status> <reason>", "request-exit <reason>", "reset <reason>"
std::vector<std::pair<uint64_t, std::string>> errorLines;  // error-channel lines with their time

const std::string kCookie = std::string("\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f", 16);

std::vector<uint8_t> willing(const std::string &authentication = "") {
  return XdmcpPacketWriter(WILLING).array8(authentication).array8("dm.example").array8("ready").finish();
}
std::vector<uint8_t> accept(uint32_t session, const std::string &authName = "", const std::string &authData = "",
                            const std::string &name = "MIT-MAGIC-COOKIE-1", const std::string &data = kCookie) {
  return XdmcpPacketWriter(ACCEPT).card32(session).array8(authName).array8(authData).array8(name).array8(data).finish();
}
std::vector<uint8_t> alive(unsigned running, uint32_t session) {
  return XdmcpPacketWriter(ALIVE).card8(running).card32(session).finish();
}

class XdmcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(manager.ok());
    fakeNow = 5000000;
    origin = fakeNow;
    ordersClock = fakeClock;
    ordersInit();
    ends.clear();
    errorLines.clear();
    static char programName[] = "xdmcp_test";
    static char *argv[] = {programName, nullptr};
    logInit(1, argv, "test", "test");
    logOutputHook = [](LogChannel *channel, const char *, int, const char *message) {
      if (channel == logChannelError) errorLines.emplace_back(fakeNow, message);
    };
    xdmcpExitHook = [](const char *reason, int status) { ends.push_back("exit " + std::to_string(status) + " " + reason); };
    xdmcpRequestExitHook = [](const char *reason) { ends.push_back(std::string("request-exit ") + reason); };
    xdmcpRequestResetHook = [](const char *reason) { ends.push_back(std::string("reset ") + reason); };
  }
  void TearDown() override {
    xdmcpFreeAll();
    accessFreeAll();
    ordersFreeAll();
    ordersClock = ordersMonotonicMs;
    logOutputHook = logEmit;
  }

  // Applies the options in order (each call consumes what it takes), registers one connection
  // address and starts XDMCP.
  void start(std::vector<std::string> options) {
    std::vector<const char *> argv;
    for (const std::string &o : options) argv.push_back(o.c_str());
    int count = static_cast<int>(argv.size());
    for (int i = 0; i < count;) i = xdmcpOptions(count, argv.data(), i);
    static const uint8_t address[4] = {10, 1, 2, 3};
    xdmcpRegisterConnection(kFamilyInternet, address, 4);
    xdmcpInit();
    manager.drain(elapsed());
  }
  std::vector<std::string> queryOptions() { return {"-query", "127.0.0.1", "-port", std::to_string(manager.port())}; }

  uint64_t elapsed() const { return fakeNow - origin; }
  // Lets the proxy read what waits on its socket (loopback datagrams are there at once).
  void pump() {
    for (int i = 0; i < 3; i++) ordersStep(0);
    manager.drain(elapsed());
    if (chooser) chooser->drain(elapsed());
  }
  // Advances the clock in 50 ms steps, running one loop step after each.
  void run(uint64_t ms) {
    uint64_t end = fakeNow + ms;
    while (fakeNow < end) {
      fakeNow += 50;
      ordersStep(0);
      manager.drain(elapsed());
    }
  }
  size_t count(int opcode) const {
    return static_cast<size_t>(std::count_if(manager.packets.begin(), manager.packets.end(),
                                             [opcode](const RecordedXdmcpPacket &p) { return p.opcode == opcode; }));
  }
  std::vector<uint64_t> times(int opcode) const {
    std::vector<uint64_t> out;
    for (const RecordedXdmcpPacket &p : manager.packets)
      if (p.opcode == opcode) out.push_back(p.time);
    return out;
  }
  // Query, Willing, Request, Accept, Manage: the session waits for its client.
  void reachManage(uint32_t session = 77) {
    ASSERT_EQ(manager.packets.back().opcode, QUERY);
    manager.reply(willing());
    pump();
    ASSERT_EQ(manager.packets.back().opcode, REQUEST);
    manager.reply(accept(session));
    pump();
    ASSERT_EQ(manager.packets.back().opcode, MANAGE);
    ASSERT_EQ(xdmcpCurrentState(), kXdmcpAwaitManageResponse);
  }
  void reachRunSession() {
    reachManage();
    AccessClient client{};
    ASSERT_EQ(accessClientAuthorized(&client, 18, "MIT-MAGIC-COOKIE-1", 16,
                                     reinterpret_cast<const uint8_t *>(kCookie.data())),
              nullptr);
    ASSERT_EQ(xdmcpCurrentState(), kXdmcpRunSession);
  }

  FakeXdmcpManager manager;
  FakeXdmcpManager *chooser = nullptr;
  uint64_t origin = 0;
};

TEST_F(XdmcpTest, QueryRetransmissionsBackOffThenWaitForADatagram) {
  start(queryOptions());
  run(200000);
  EXPECT_EQ(times(QUERY), (std::vector<uint64_t>{0, 2000, 6000, 14000, 30000, 62000, 94000}));
  ASSERT_EQ(errorLines.size(), 1u);
  EXPECT_EQ(errorLines[0].first - origin, 126000u);
  EXPECT_EQ(errorLines[0].second, "XDMCP: too many retransmissions");
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitUserInput);
  EXPECT_TRUE(ends.empty());
  // Any datagram (even an empty one from a stranger) starts the round again.
  FakeXdmcpManager stranger;
  sockaddr_in proxy{};
  proxy.sin_family = AF_INET;
  proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof proxy;
  getsockname(xdmcpSocket(), reinterpret_cast<sockaddr *>(&proxy), &length);
  proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  stranger.send({}, proxy);
  pump();
  EXPECT_EQ(times(QUERY).size(), 8u);
  EXPECT_EQ(times(QUERY).back(), elapsed());
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpCollectQuery);
}

TEST_F(XdmcpTest, SessionWithCookieKeepAliveAndCloseDisplay) {
  auto options = queryOptions();
  options.insert(options.end(), {"-class", "TestClass", "-displayID", "unit-7"});
  start(options);
  ASSERT_EQ(manager.packets.size(), 1u);
  {
    XdmcpPacketReader query(manager.packets[0]);
    EXPECT_EQ(query.arrayOfArray8(), std::vector<std::string>{});  // no authentication without a cookie
    EXPECT_EQ(manager.packets[0].version, 1);
  }
  manager.reply(willing());
  pump();
  ASSERT_EQ(manager.packets.back().opcode, REQUEST);
  {
    const RecordedXdmcpPacket &request = manager.packets.back();
    XdmcpPacketReader r(request);
    EXPECT_EQ(r.card16(), xproxyDisplayNumber());
    std::vector<unsigned> types = r.array16();
    std::vector<std::string> addresses = r.arrayOfArray8();
    EXPECT_EQ(types, std::vector<unsigned>{0});
    EXPECT_EQ(addresses, std::vector<std::string>{std::string("\x0a\x01\x02\x03", 4)});
    EXPECT_EQ(r.array8(), "");  // authentication name
    EXPECT_EQ(r.array8(), "");  // authentication data
    std::vector<std::string> names = r.arrayOfArray8();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"MIT-MAGIC-COOKIE-1", "SUN-DES-1", "XDM-AUTHORIZATION-1"}));
    EXPECT_EQ(r.array8(), "unit-7");
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(r.remaining(), 0);
    EXPECT_EQ(request.length, static_cast<int>(request.body.size()));
  }
  manager.reply(accept(0x01020304));
  pump();
  ASSERT_EQ(manager.packets.back().opcode, MANAGE);
  uint64_t manageTime = manager.packets.back().time;
  {
    XdmcpPacketReader r(manager.packets.back());
    EXPECT_EQ(r.card32(), 0x01020304u);
    EXPECT_EQ(r.card16(), xproxyDisplayNumber());
    EXPECT_EQ(r.array8(), "TestClass");
  }
  // A client without the cookie never becomes the session's; one with it does.
  AccessClient client{};
  std::string wrong(16, 'x');
  EXPECT_NE(accessClientAuthorized(&client, 18, "MIT-MAGIC-COOKIE-1", 16,
                                   reinterpret_cast<const uint8_t *>(wrong.data())),
            nullptr);
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitManageResponse);
  EXPECT_EQ(accessClientAuthorized(&client, 18, "MIT-MAGIC-COOKIE-1", 16,
                                   reinterpret_cast<const uint8_t *>(kCookie.data())),
            nullptr);
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpRunSession);
  // The first KeepAlive follows 2 s after Manage; after an Alive the next comes 180 s later.
  run(3000);
  ASSERT_EQ(times(KEEPALIVE).size(), 1u);
  EXPECT_EQ(times(KEEPALIVE)[0], manageTime + 2000);
  {
    XdmcpPacketReader r(manager.packets.back());
    EXPECT_EQ(r.card16(), xproxyDisplayNumber());
    EXPECT_EQ(r.card32(), 0x01020304u);
  }
  manager.reply(alive(1, 0x01020304));
  pump();
  uint64_t aliveTime = elapsed();
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpRunSession);
  run(181000);
  ASSERT_EQ(times(KEEPALIVE).size(), 2u);
  EXPECT_EQ(times(KEEPALIVE)[1], aliveTime + 180000);
  manager.reply(alive(1, 0x01020304));
  pump();
  // Another connection's close is no concern; the session's resets the proxy and starts over.
  xdmcpCloseDisplay(12345);
  EXPECT_TRUE(ends.empty());
  xdmcpCloseDisplay(-1);
  EXPECT_EQ(ends, std::vector<std::string>{"reset XDMCP close display"});
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpQuery);
  size_t queries = count(QUERY);
  xdmcpRestart();
  manager.drain(elapsed());
  EXPECT_EQ(count(QUERY), queries + 1);
}

TEST_F(XdmcpTest, OnceEndsTheProxyWhenTheSessionCloses) {
  auto options = queryOptions();
  options.push_back("-once");
  start(options);
  EXPECT_EQ(xdmcpOnce(), 1);
  reachRunSession();
  xdmcpCloseDisplay(-1);
  EXPECT_EQ(ends, std::vector<std::string>{"request-exit XDMCP close display"});
}

TEST_F(XdmcpTest, FourUnansweredKeepAlivesDeclareTheSessionDead) {
  start(queryOptions());
  reachRunSession();
  run(2000);
  uint64_t first = times(KEEPALIVE).at(0);
  run(40000);
  std::vector<uint64_t> keepalives = times(KEEPALIVE);
  for (uint64_t &t : keepalives) t -= first;
  EXPECT_EQ(keepalives, (std::vector<uint64_t>{0, 2000, 6000, 14000}));
  ASSERT_FALSE(errorLines.empty());
  EXPECT_EQ(errorLines[0].second, "XDMCP: too many keepalive retransmissions, declaring session dead");
  EXPECT_EQ(errorLines[0].first - origin, first + 30000);
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends[0], "reset XDMCP session dead");
  // A new query went out at once.
  std::vector<uint64_t> queries = times(QUERY);
  ASSERT_GE(queries.size(), 2u);
  EXPECT_EQ(queries[1], first + 30000);
}

TEST_F(XdmcpTest, AliveWithAnotherSessionOrNotRunningIsDeadAtOnce) {
  for (auto [running, session] : {std::pair<unsigned, uint32_t>{1, 78}, {0, 77}}) {
    SCOPED_TRACE(std::to_string(running) + "/" + std::to_string(session));
    start(queryOptions());
    reachRunSession();
    run(2000);
    ASSERT_EQ(xdmcpCurrentState(), kXdmcpAwaitAliveResponse);
    manager.reply(alive(running, session));
    pump();
    EXPECT_EQ(ends, std::vector<std::string>{"reset XDMCP session dead"});
    ASSERT_FALSE(errorLines.empty());
    EXPECT_EQ(errorLines.back().second, "XDMCP: Alive response indicates session dead, declaring session dead");
    EXPECT_EQ(manager.packets.back().opcode, QUERY);
    xdmcpFreeAll();
    accessFreeAll();
    manager.packets.clear();
    ends.clear();
  }
}

TEST_F(XdmcpTest, RefuseWithTheSessionIdBringsANewRequest) {
  start(queryOptions());
  reachManage(77);
  manager.reply(XdmcpPacketWriter(REFUSE).card32(78).finish());
  pump();
  EXPECT_EQ(manager.packets.back().opcode, MANAGE);
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitManageResponse);
  manager.reply(XdmcpPacketWriter(REFUSE).card32(77).finish());
  pump();
  EXPECT_EQ(manager.packets.back().opcode, REQUEST);
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitRequestResponse);
}

TEST_F(XdmcpTest, DeclineUnwillingAndFailedEndTheProxyInTheirStates) {
  struct Case {
    const char *name;
    int stage;  // 0 after Query, 1 after Request, 2 after Manage
    std::vector<uint8_t> packet;
    std::string expected;
  };
  const Case cases[] = {
      {"unwilling", 0, XdmcpPacketWriter(UNWILLING).array8("dm").array8("busy").finish(),
       "exit 1 XDMCP: Manager unwilling Host unwilling"},
      {"decline", 1, XdmcpPacketWriter(DECLINE).array8("no seats").array8("").array8("").finish(),
       "exit 1 XDMCP: Session declined no seats"},
      {"failed", 2, XdmcpPacketWriter(FAILED).card32(77).array8("no session").finish(),
       "exit 1 XDMCP: Session failed no session"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(queryOptions());
    if (c.stage >= 1) {
      manager.reply(willing());
      pump();
    }
    if (c.stage >= 2) {
      manager.reply(accept(77));
      pump();
    }
    manager.reply(c.packet);
    pump();
    EXPECT_EQ(ends, std::vector<std::string>{c.expected});
    EXPECT_EQ(xdmcpCurrentState(), kXdmcpOff);
    xdmcpFreeAll();
    accessFreeAll();
    manager.packets.clear();
    ends.clear();
  }
}

TEST_F(XdmcpTest, IndirectRequestGoesToTheWillingSender) {
  FakeXdmcpManager second;
  chooser = &second;
  start({"-indirect", "127.0.0.1", "-port", std::to_string(manager.port())});
  ASSERT_EQ(manager.opcodes(), std::vector<int>{INDIRECT_QUERY});
  second.send(willing(), manager.packets.back().from);
  pump();
  ASSERT_EQ(second.opcodes(), std::vector<int>{REQUEST});
  // The session is the second manager's now: an Accept from the first is a stranger's.
  manager.reply(accept(5));
  pump();
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitRequestResponse);
  second.reply(accept(5));
  pump();
  EXPECT_EQ(second.opcodes(), (std::vector<int>{REQUEST, MANAGE}));
  chooser = nullptr;
}

TEST_F(XdmcpTest, BroadcastGoesToTheRegisteredAddressesWithTheConfiguredPort) {
  sockaddr_in broadcast{};
  broadcast.sin_family = AF_INET;
  broadcast.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  broadcast.sin_port = htons(9);  // the configured port replaces it
  xdmcpRegisterBroadcastAddress(reinterpret_cast<sockaddr *>(&broadcast), sizeof broadcast);
  start({"-broadcast", "-port", std::to_string(manager.port())});
  ASSERT_EQ(manager.opcodes(), std::vector<int>{BROADCAST_QUERY});
  manager.reply(willing());
  pump();
  EXPECT_EQ(manager.packets.back().opcode, REQUEST);
}

TEST_F(XdmcpTest, XdmAuthenticationWrapsRhoAndChecksTheAccept) {
  const uint8_t key[8] = {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  for (bool good : {true, false}) {
    SCOPED_TRACE(good ? "rho+1" : "rho");
    auto options = queryOptions();
    options.insert(options.end(), {"-cookie", "0x0011223344556677"});
    start(options);
    {
      XdmcpPacketReader query(manager.packets.back());
      EXPECT_EQ(query.arrayOfArray8(), std::vector<std::string>{"XDM-AUTHENTICATION-1"});
    }
    manager.reply(willing("XDM-AUTHENTICATION-1"));
    pump();
    ASSERT_EQ(manager.packets.back().opcode, REQUEST);
    XdmcpPacketReader r(manager.packets.back());
    r.card16();
    r.array16();
    r.arrayOfArray8();
    EXPECT_EQ(r.array8(), "XDM-AUTHENTICATION-1");
    std::string wrapped = r.array8();
    ASSERT_EQ(wrapped.size(), 8u);
    XdmAuthKeyRec rho;
    XdmcpUnwrap(reinterpret_cast<unsigned char *>(wrapped.data()), const_cast<uint8_t *>(key), rho.data, 8);
    XdmAuthKeyRec answer = rho;
    if (good) XdmcpIncrementKey(&answer);
    std::string answerWrapped(8, '\0');
    XdmcpWrap(answer.data, const_cast<uint8_t *>(key), reinterpret_cast<unsigned char *>(answerWrapped.data()), 8);
    // The authorization: a session key (and 8 bytes of padding), wrapped with the shared key.
    // A client then presents rho and that key.
    const std::string sessionKey("\x00\x21\x32\x43\x54\x65\x76\x07", 8);
    std::string plain = sessionKey + std::string(8, '\x5a');
    std::string clientEntry = std::string(reinterpret_cast<char *>(rho.data), 8) + sessionKey;
    std::string authWrapped(16, '\0');
    XdmcpWrap(reinterpret_cast<unsigned char *>(plain.data()), const_cast<uint8_t *>(key),
              reinterpret_cast<unsigned char *>(authWrapped.data()), 16);
    manager.reply(accept(9, "XDM-AUTHENTICATION-1", answerWrapped, "XDM-AUTHORIZATION-1", authWrapped));
    pump();
    if (good) {
      EXPECT_EQ(manager.packets.back().opcode, MANAGE);
      EXPECT_TRUE(ends.empty());
      // The unwrapped rho and key were added (removing them finds them).
      EXPECT_EQ(accessXdmCookieRemove(16, reinterpret_cast<const uint8_t *>(clientEntry.data())), 1);
    } else {
      EXPECT_EQ(ends, std::vector<std::string>{"exit 1 XDMCP: Authentication Failure XDM-AUTHENTICATION-1"});
    }
    xdmcpFreeAll();
    accessFreeAll();
    manager.packets.clear();
    ends.clear();
  }
}

// Malformed datagrams and packets out of state or from a stranger, sent in each waiting state:
// none changes the state, ends or resets the proxy, or moves the retransmission schedule.
TEST_F(XdmcpTest, HostileDatagramsAreIgnored) {
  FakeXdmcpManager stranger;
  const uint32_t session = 77;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> table;
  auto both = [&](const std::string &name, XdmcpPacketWriter &&w) {
    table.emplace_back(name + " length+1", w.finish(1));
    table.emplace_back(name + " length-1", w.finish(-1));
  };
  both("willing", std::move(XdmcpPacketWriter(WILLING).array8("").array8("h").array8("s")));
  both("unwilling", std::move(XdmcpPacketWriter(UNWILLING).array8("h").array8("s")));
  both("accept", std::move(XdmcpPacketWriter(ACCEPT).card32(session).array8("").array8("").array8("MIT-MAGIC-COOKIE-1").array8(kCookie)));
  both("decline", std::move(XdmcpPacketWriter(DECLINE).array8("s").array8("").array8("")));
  both("refuse", std::move(XdmcpPacketWriter(REFUSE).card32(session)));
  both("failed", std::move(XdmcpPacketWriter(FAILED).card32(session).array8("s")));
  both("alive", std::move(XdmcpPacketWriter(ALIVE).card8(0).card32(session)));
  // Truncated arrays: the declared length matches the bytes, the array runs past them.
  {
    auto p = XdmcpPacketWriter(WILLING).array8("").array8("h").finish();
    p.push_back(0);
    p.push_back(9);  // status ARRAY8 says 9 bytes, none follow
    p[5] = static_cast<uint8_t>(p.size() - 6);
    table.emplace_back("willing truncated", p);
    auto a = XdmcpPacketWriter(ACCEPT).card32(session).card16(0xFFFF).finish();  // ARRAY8 length 0xFFFF
    table.emplace_back("accept array8 0xffff", a);
  }
  table.emplace_back("version 2", XdmcpPacketWriter(WILLING, 2).array8("").array8("h").array8("s").finish());
  for (int opcode : {0, 4, 15, 65535}) table.emplace_back("opcode " + std::to_string(opcode), XdmcpPacketWriter(opcode).finish());
  table.emplace_back("bare header", XdmcpPacketWriter(ACCEPT).finish());
  table.emplace_back("empty", std::vector<uint8_t>{});
  table.emplace_back("short", std::vector<uint8_t>{0, 1, 0});
  table.emplace_back("65507 bytes", std::vector<uint8_t>(65507, 0x5a));
  // Well-formed packets that count only in another state or from the manager.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> wellFormed = {
      {"unwilling", XdmcpPacketWriter(UNWILLING).array8("h").array8("s").finish()},
      {"decline", XdmcpPacketWriter(DECLINE).array8("s").array8("").array8("").finish()},
      {"failed", XdmcpPacketWriter(FAILED).card32(session).array8("s").finish()},
      {"refuse", XdmcpPacketWriter(REFUSE).card32(session).finish()},
      {"alive", alive(0, session)},
      {"accept", accept(session)},
  };

  start(queryOptions());
  sockaddr_in proxy{};
  socklen_t length = sizeof proxy;
  getsockname(xdmcpSocket(), reinterpret_cast<sockaddr *>(&proxy), &length);
  proxy.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  auto hammer = [&](XdmcpState expected, bool fromManagerToo) {
    SCOPED_TRACE(static_cast<int>(expected));
    size_t sent = manager.packets.size();
    for (const auto &[name, datagram] : table) {
      stranger.send(datagram, proxy);
      if (fromManagerToo) manager.send(datagram, proxy);
      pump();
      EXPECT_EQ(xdmcpCurrentState(), expected) << name;
    }
    for (const auto &[name, datagram] : wellFormed) {
      stranger.send(datagram, proxy);
      pump();
      EXPECT_EQ(xdmcpCurrentState(), expected) << "stranger " << name;
    }
    EXPECT_TRUE(ends.empty());
    EXPECT_EQ(manager.packets.size(), sent);  // nothing answered them
  };

  hammer(kXdmcpCollectQuery, true);
  // Out of state from the manager itself: Decline, Failed, Refuse, Alive, Accept while collecting.
  for (size_t i = 1; i < wellFormed.size(); i++) {
    manager.send(wellFormed[i].second, proxy);
    pump();
    EXPECT_EQ(xdmcpCurrentState(), kXdmcpCollectQuery) << wellFormed[i].first;
  }
  // The schedule is untouched: the second Query still comes 2 s after the first.
  run(2000);
  EXPECT_EQ(times(QUERY), (std::vector<uint64_t>{0, 2000}));

  manager.reply(willing());
  pump();
  ASSERT_EQ(xdmcpCurrentState(), kXdmcpAwaitRequestResponse);
  hammer(kXdmcpAwaitRequestResponse, false);
  // Unwilling from the manager after Willing is out of state.
  manager.reply(wellFormed[0].second);
  pump();
  EXPECT_EQ(xdmcpCurrentState(), kXdmcpAwaitRequestResponse);

  manager.reply(accept(session));
  pump();
  ASSERT_EQ(xdmcpCurrentState(), kXdmcpAwaitManageResponse);
  hammer(kXdmcpAwaitManageResponse, false);
  EXPECT_TRUE(ends.empty());
}

TEST_F(XdmcpTest, OptionsTable) {
  struct Case {
    std::vector<std::string> words;
    int next;                // index after the first option
    XdmcpState initial;
    std::string end;         // "" when the proxy goes on
  };
  const Case cases[] = {
      {{"-query", "127.0.0.1"}, 2, kXdmcpQuery, ""},
      {{"-indirect", "localhost"}, 2, kXdmcpIndirect, ""},
      {{"-broadcast"}, 1, kXdmcpBroadcast, ""},
      {{"-once"}, 1, kXdmcpOff, ""},
      {{"-port", "1234"}, 2, kXdmcpOff, ""},
      {{"-class", "C"}, 2, kXdmcpOff, ""},
      {{"-displayID", "D"}, 2, kXdmcpOff, ""},
      {{"-Query", "127.0.0.1"}, 1, kXdmcpOff, ""},  // exact names only: skipped
      {{"-nolisten"}, 1, kXdmcpOff, ""},
      {{"-query"}, 1, kXdmcpOff, "exit 1 Xserver: missing host name in command line"},
      {{"-indirect"}, 1, kXdmcpOff, "exit 1 Xserver: missing host name in command line"},
      {{"-query", "no-such-host.invalid"}, 2, kXdmcpOff, "exit 1 Xserver: unknown host: no-such-host.invalid"},
      {{"-query", "::1"}, 2, kXdmcpOff, "exit 1 Xserver: host on strange network ::1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : ""));
    xdmcpFreeAll();
    ends.clear();
    std::vector<const char *> argv;
    for (const std::string &w : c.words) argv.push_back(w.c_str());
    int next = xdmcpOptions(static_cast<int>(argv.size()), argv.data(), 0);
    EXPECT_EQ(next, c.next);
    EXPECT_EQ(xdmcpInitialState(), c.initial);
    EXPECT_EQ(ends.empty() ? "" : ends[0], c.end);
  }
  // Values land where they belong; a later option wins.
  xdmcpFreeAll();
  const char *words[] = {"-port", "99", "-query", "127.0.0.1", "-once", "-port", "1234", "-broadcast"};
  for (int i = 0; i < 8;) i = xdmcpOptions(8, words, i);
  EXPECT_EQ(xdmcpPort(), 1234u);
  EXPECT_EQ(xdmcpOnce(), 1);
  EXPECT_EQ(xdmcpInitialState(), kXdmcpBroadcast);
  ASSERT_NE(xdmcpManagerAddress(), nullptr);
  EXPECT_EQ(ntohl(xdmcpManagerAddress()->sin_addr.s_addr), INADDR_LOOPBACK);
}

}  // namespace
