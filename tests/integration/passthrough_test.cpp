// Clients through the pass-through harness against a private Xvfb: real clients print what they
// print directly, long pipelines keep their order and sequence numbers, large requests of the
// proxy reach the server intact, and a real server that dies closes its clients at once.
#include <gtest/gtest.h>
// (after gtest: Xlib's macros clash with its names)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "passthrough_fixture.h"
#include "proxy/connections.h"
#include "proxy/xproxy.h"
#include "support/orders.h"

namespace {

class PassthroughTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(proxy.start(), ""); }
  void TearDown() override { proxy.stop(); }

  // The program's output with lines containing any of `skip` left out.
  std::string output(const std::vector<std::string> &argv, const std::string &display,
                     const std::vector<std::string> &skip = {}) {
    std::string text;
    EXPECT_EQ(proxy.run(argv, &text, 30000, display), 0) << argv[0] << " on " << display;
    std::istringstream in(text);
    std::string line, kept;
    while (std::getline(in, line)) {
      bool drop = false;
      for (const std::string &s : skip) drop = drop || line.find(s) != std::string::npos;
      if (!drop) kept += line + "\n";
    }
    return kept;
  }

  ClientConnection *onlyClient() {
    EXPECT_EQ(passthroughClientCount(), 1u);
    return xproxyClients;
  }

  PassthroughProxy proxy;
};

TEST_F(PassthroughTest, RealClientsPrintWhatTheyPrintDirectly) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> skip;
  };
  const Case cases[] = {
      {{"xdpyinfo"}, {"name of display", "resource base"}},
      {{"xwininfo", "-root", "-tree"}, {}},
      {{"xprop", "-root"}, {}},
  };
  for (const Case &c : cases) {
    std::string direct = output(c.argv, proxy.xvfb().displayName(), c.skip);
    std::string through = output(c.argv, proxy.displayName(), c.skip);
    EXPECT_FALSE(direct.empty());
    EXPECT_EQ(through, direct) << c.argv[0];
  }
  EXPECT_TRUE(proxy.logged("Client #"));
}

TEST_F(PassthroughTest, SetupReplyReachesBothByteOrders) {
  RawClient little, big;
  ASSERT_EQ(proxy.connect(little, 'l'), "");
  ASSERT_EQ(proxy.connect(big, 'B'), "");
  EXPECT_EQ(little.rootWindow(), big.rootWindow());
  EXPECT_EQ(little.setup().size(), big.setup().size());
  EXPECT_NE(little.idBase(), big.idBase());  // each has a server connection of its own
  Display *direct = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(little.rootWindow(), uint32_t(DefaultRootWindow(direct)));
  XCloseDisplay(direct);
}

// 70,000 requests in batches of 1,000: replies (GetInputFocus), errors (FreePixmap of no
// pixmap) and events (PropertyNotify of ChangeProperty) come back in order, each under the
// client's own sequence number, across the 16-bit wrap.
TEST_F(PassthroughTest, PipelinedRequestsComeBackInOrderWithTheirSequenceNumbers) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  uint32_t window = client.idBase() | 1;
  RawRequest create(false);
  create.b(1).b(0).s(0).i(window).i(client.rootWindow()).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0x800).i(0x400000);
  ASSERT_EQ(client.send(create.done()), "");  // PropertyChangeMask
  uint32_t created = client.sequence();
  enum Kind { kReply, kError, kEvent };
  struct Expected {
    Kind kind;
    uint16_t sequence;
  };
  std::vector<Expected> expected;
  const int total = 70000;
  uint32_t sent = created;
  for (int batch = 0; batch < total / 1000; batch++) {
    RawBytes bytes;
    size_t batchStart = expected.size();
    for (int i = 0; i < 1000; i++) {
      RawRequest r(false);
      switch (i % 3) {
        case 0:  // GetInputFocus
          r.b(43).b(0).s(0);
          break;
        case 1:  // FreePixmap of no pixmap: BadPixmap
          r.b(54).b(0).s(0).i(client.idBase() | 0x777);
          break;
        default:  // ChangeProperty WM_NAME, STRING, 8 bits, one byte
          r.b(18).b(0).s(0).i(window).i(XA_WM_NAME).i(XA_STRING).b(8).pad(3).i(1).b('x');
      }
      RawBytes one = r.done();
      bytes.insert(bytes.end(), one.begin(), one.end());
      sent++;
      expected.push_back({Kind(i % 3), uint16_t(sent)});
    }
    ASSERT_EQ(client.sendRaw(bytes.data(), bytes.size()), "");
    for (size_t e = batchStart; e < expected.size(); e++) {
      RawBytes message;
      ASSERT_EQ(client.read(message), "") << "answer " << e;
      Kind kind = message[0] == 1 ? kReply : message[0] == 0 ? kError : kEvent;
      ASSERT_EQ(kind, expected[e].kind) << "answer " << e << " type " << int(message[0]);
      ASSERT_EQ(rawGet16(message, 2, false), expected[e].sequence) << "answer " << e;
      if (kind == kError) {
        EXPECT_EQ(message[1], 4) << "BadPixmap";
      } else if (kind == kEvent) {
        EXPECT_EQ(message[0] & 0x7f, 28) << "PropertyNotify";
      }
    }
  }
  client.setSequence(uint16_t(sent));
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(onlyClient()->sequence, sent + 1);
}

// The proxy writes 300 KB on the connection of a client that never enabled BIG-REQUESTS: the
// writer takes the big form on its own, and the server stores every byte.
TEST_F(PassthroughTest, LargeRequestOfTheProxyReachesTheServerIntact) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  ClientConnection *owner = onlyClient();
  ASSERT_EQ(owner->bigRequests, 0);
  DisplayConnection *c = owner->displays[0];
  ASSERT_TRUE(c->bigRequests);
  Display *direct = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(direct, nullptr);
  Atom property = XInternAtom(direct, "TARVO_LARGE", False);
  const uint32_t bytes = 300 * 1024;
  uint8_t *at = xproxyBeginRequest(c, 18, 0, 24 + bytes);  // ChangeProperty, Replace
  ASSERT_NE(at, nullptr);
  uint8_t *body = at + 4;
  uint32_t fields[5] = {client.rootWindow(), uint32_t(property), XA_STRING, 8, bytes};
  memcpy(body, fields, 12);
  body[12] = 8, body[13] = body[14] = body[15] = 0;
  memcpy(body + 16, &fields[4], 4);
  for (uint32_t i = 0; i < bytes; i++) body[20 + i] = uint8_t(i * 7 + i / 251);
  ASSERT_EQ(xproxySyncDisplayConnection(c), nullptr);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  ASSERT_EQ(XGetWindowProperty(direct, DefaultRootWindow(direct), property, 0, bytes, False, AnyPropertyType, &type,
                               &format, &count, &after, &data),
            Success);
  ASSERT_EQ(count, bytes);
  bool same = true;
  for (uint32_t i = 0; i < bytes && same; i++) same = data[i] == uint8_t(i * 7 + i / 251);
  EXPECT_TRUE(same);
  XFree(data);
  XCloseDisplay(direct);
  // The client's own connection goes on.
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
}

// XI2 motion selected by a client: the GenericEvents that xdotool's pointer moves cause are
// consumed by length, and the round trips and a blocking sync behind them still return.
TEST_F(PassthroughTest, GenericEventsAreConsumedAndRoundTripsGoOn) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  uint8_t xi = client.queryExtension("XInputExtension");
  ASSERT_NE(xi, 0);
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(xi).b(47).s(0).s(2).s(2).done(), answer), "");  // XIQueryVersion
  RawRequest select(false);  // XISelectEvents on the root: all master devices, Motion
  select.b(xi).b(46).s(0).i(client.rootWindow()).s(1).s(0).s(1).s(1).i(1u << 6);
  ASSERT_EQ(client.send(select.done()), "");  // no reply
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  for (int i = 0; i < 5; i++)
    ASSERT_EQ(proxy.run({"xdotool", "mousemove", std::to_string(10 + 40 * i), std::to_string(20 + 30 * i)}, nullptr,
                        10000, proxy.xvfb().displayName()),
              0);
  ClientConnection *owner = onlyClient();
  DisplayConnection *c = owner->displays[0];
  EXPECT_TRUE(proxy.runUntil([] { return passthroughGenericEvents() >= 5; }, kLoopEventBoundMs));
  EXPECT_TRUE(proxy.runUntil([&] { return c->input.length == 0; }, kLoopEventBoundMs));
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(xproxySyncClient(owner), nullptr);
  ASSERT_EQ(client.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
}

// A real server killed outright: with clients connected, while a sync waits, and while a long
// write is under way, every client is closed with the broken-connection text at once: not
// after the sync limit, set here far beyond the bounds, which only turn a wait into a failure.
TEST_F(PassthroughTest, KilledServerClosesItsClientsAtOnce) {
  enum Moment { kIdle, kDuringSync, kDuringWrite };
  const uint32_t savedLimit = xproxySyncWaitLimitMs;
  xproxySyncWaitLimitMs = 4 * kLoopEventBoundMs;
  struct Restore {
    uint32_t limit;
    ~Restore() { xproxySyncWaitLimitMs = limit; }
  } restore{savedLimit};
  for (Moment moment : {kIdle, kDuringSync, kDuringWrite}) {
    SCOPED_TRACE(int(moment));
    if (moment != kIdle) {
      ASSERT_EQ(proxy.start(), "");
    }
    RawClient a, b;
    ASSERT_EQ(proxy.connect(a, 'l'), "");
    ASSERT_EQ(proxy.connect(b, 'l'), "");
    RawBytes answer;
    ASSERT_EQ(a.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
    proxy.clearLog();
    long long begin = xvfbNowMs();
    if (moment == kIdle) {
      proxy.xvfb().kill();
    } else if (moment == kDuringSync) {
      // The server stops answering; a helper process kills it while the sync waits.
      ClientConnection *owner = xproxyClients;
      proxy.xvfb().suspend();
      pid_t server = proxy.xvfb().pid();
      pid_t killer = fork();
      if (killer == 0) {
        usleep(200 * 1000);
        kill(server, SIGKILL);
        _exit(0);
      }
      begin = xvfbNowMs();
      const char *failure = xproxySyncClient(owner);
      ASSERT_NE(failure, nullptr);
      EXPECT_NE(std::string(failure).find("Broken connection to X server by"), std::string::npos);
      int status = 0;
      waitpid(killer, &status, 0);
      xproxyCloseClient(owner, failure, 0);  // as the handler that asked for the sync does
    } else {
      // The server stops reading; the client writes more than the socket holds, then the server dies.
      ASSERT_NE(a.enableBigRequests(), 0u);
      proxy.xvfb().suspend();
      RawRequest large(false);
      large.b(18).b(0).s(0).i(a.rootWindow()).i(XA_WM_NAME).i(XA_STRING).b(8).pad(3).i(200000).pad(200000);
      RawBytes request = rawBigForm(large.done(), false);
      for (int i = 0; i < 5; i++) {
        if (!a.send(request, 200).empty()) break;  // the proxy no longer reads it
      }
      proxy.xvfb().kill();
      begin = xvfbNowMs();
    }
    EXPECT_EQ(a.waitClosed(kLoopEventBoundMs), "");
    EXPECT_EQ(b.waitClosed(kLoopEventBoundMs), "");
    EXPECT_LT(xvfbNowMs() - begin, 2 * kLoopEventBoundMs);
    EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, kLoopEventBoundMs));
    EXPECT_TRUE(proxy.logged("Broken connection to X server by"));
    proxy.stop();
  }
}

}  // namespace
