// Grab, focus and server-grab requests on the fake core, both byte orders: value checks, the
// client's passive-grab list, what reaches the real server per head, and the proxy's own
// emulation of the server grab, AllowEvents and the focus.
#include <gtest/gtest.h>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/window.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

class GrabRequests : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(200, 100, 2);
    proxyState.minKeycode = 8;
    proxyState.maxKeycode = 255;
  }
  void TearDown() override {
    proxyState.serverGrabClient = nullptr;
    proxyState.focusWindow = 1;
    proxyState.focusTime = 0;
    proxyState.serverTime = 0;
  }
  size_t grabCount(FakeClient &c) {
    size_t n = 0;
    PassiveGrab *first = c.client->passiveGrabs, *g = first;
    while (g) {
      n++;
      g = g->next;
      if (g == first) break;
    }
    return n;
  }
  WindowRecord *window(FakeClient &c, uint32_t n, int16_t x = 10, int16_t y = 10) {
    FakeCore::Current current(c);
    WindowRecord *w = windowCreate(c.id(n), core.root(screen), x, y, 20, 20, 0, 0, 0);
    if (w) windowMap(w);
    return w;
  }
  FakeBytes grabButton(FakeClient &c, uint32_t window, uint16_t modifiers, uint32_t confineTo = 0, uint8_t button = 1) {
    return FakeMessage(c.big).b(28).b(0).s(0).i(window).s(0x4).b(1).b(1).i(confineTo).i(0).b(button).b(0).s(modifiers).done();
  }
  FakeBytes grabKey(FakeClient &c, uint32_t window, uint16_t modifiers, uint8_t key) {
    return FakeMessage(c.big).b(33).b(0).s(0).i(window).s(modifiers).b(key).b(1).b(1).pad(3).done();
  }
  FakeCore core;
  MetaScreen *screen = nullptr;
};

TEST_P(GrabRequests, PassiveGrabModifiersAndKeys) {
  FakeClient &c = core.addClient(GetParam());
  ASSERT_NE(window(c, 1), nullptr);
  struct Case {
    const char *what;
    FakeBytes request;
    int error;  // 0: accepted
  } cases[] = {
      {"button, AnyModifier", grabButton(c, c.id(1), 0x8000), 0},
      {"button, plain modifiers", grabButton(c, c.id(1), 0x00ff, 0, 2), 0},
      {"button, bit 0x2000", grabButton(c, c.id(1), 0x2000), 2},
      {"button, bit 0x4000", grabButton(c, c.id(1), 0x4000), 2},
      {"button, AnyModifier plus a bit", grabButton(c, c.id(1), 0x8001), 2},
      {"button, unknown window", grabButton(c, c.id(7), 0), 3},
      {"key, AnyModifier", grabKey(c, c.id(1), 0x8000, 38), 0},
      {"key, bit 0x2000", grabKey(c, c.id(1), 0x2000, 38), 2},
      {"key below the keycodes", grabKey(c, c.id(1), 0, 3), 2},
      {"key AnyKey", grabKey(c, c.id(1), 0, 0), 0},
  };
  size_t accepted = 0;
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    core.send(c, k.request);
    auto messages = core.messages(c);
    auto requests = core.serverRequests(c);
    if (k.error) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0][0], 0);
      EXPECT_EQ(messages[0][1], k.error);
      EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence);
      EXPECT_TRUE(requests.empty());
    } else {
      accepted++;
      EXPECT_TRUE(messages.empty());
      ASSERT_EQ(requests.size(), 2u);  // one copy per head
      EXPECT_EQ(requests[0][0], k.request[0]);
    }
  }
  EXPECT_EQ(grabCount(c), accepted);
  // The same button and modifiers replace the earlier entry; UngrabButton AnyButton AnyModifier
  // clears the window's button grabs and leaves the key grabs.
  core.send(c, grabButton(c, c.id(1), 0x8000));
  core.serverRequests(c);
  EXPECT_EQ(grabCount(c), accepted);
  core.send(c, FakeMessage(c.big).b(29).b(0).s(0).i(c.id(1)).s(0x8000).s(0).done());
  EXPECT_EQ(core.serverRequests(c).size(), 2u);
  EXPECT_EQ(grabCount(c), 2u);  // the two key grabs
  core.send(c, FakeMessage(c.big).b(34).b(0).s(0).i(c.id(1)).s(0x8000).s(0).done());
  EXPECT_EQ(grabCount(c), 0u);
}

TEST_P(GrabRequests, ConfineToAnotherWindowReachesTheServerAsNone) {
  FakeClient &c = core.addClient(GetParam());
  ASSERT_NE(window(c, 1), nullptr);
  ASSERT_NE(window(c, 2, 50, 50), nullptr);
  core.send(c, grabButton(c, c.id(1), 0, c.id(2)));
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 2u);
  for (const FakeBytes &r : requests) EXPECT_EQ(rawGet32(r, 12, false), 0u);
  EXPECT_EQ(c.client->passiveGrabs->confineTo, c.id(2));  // the list keeps what the client asked
}

TEST_P(GrabRequests, WrongLengthsAreBadLength) {
  FakeClient &c = core.addClient(GetParam());
  struct Case {
    uint8_t opcode;
    uint32_t length;  // the right length in bytes
  } cases[] = {{28, 24}, {29, 12}, {33, 16}, {34, 12}, {35, 8}, {36, 4}, {37, 4}, {38, 8}, {41, 24}, {42, 12}};
  for (const Case &k : cases) {
    SCOPED_TRACE(int(k.opcode));
    for (uint32_t length : {k.length + 4, k.length == 4 ? 8u : k.length - 4}) {
      FakeMessage m(c.big);
      m.b(k.opcode).b(0).s(0).pad(length - 4);
      core.send(c, m.done());
      auto messages = core.messages(c);
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0][1], 16);
      EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence);
      EXPECT_TRUE(core.serverRequests(c).empty());
    }
  }
}

TEST_P(GrabRequests, ServerGrabIsTheProxys) {
  FakeClient &a = core.addClient(GetParam());
  FakeClient &b = core.addClient(GetParam());
  auto oneWord = [](FakeClient &c, uint8_t opcode) { return FakeMessage(c.big).b(opcode).b(0).s(0).done(); };
  core.send(a, oneWord(a, 36));
  EXPECT_EQ(proxyState.serverGrabClient, a.client);
  core.clearLog();
  core.send(a, oneWord(a, 36));
  EXPECT_TRUE(core.logged("Already grabbed"));
  core.send(b, oneWord(b, 37));
  EXPECT_TRUE(core.logged("Not grab client"));
  EXPECT_EQ(proxyState.serverGrabClient, a.client);
  core.send(a, oneWord(a, 37));
  EXPECT_EQ(proxyState.serverGrabClient, nullptr);
  EXPECT_TRUE(core.serverRequests(a).empty());  // nothing reaches the real server
}

TEST_P(GrabRequests, AllowEventsWithoutFreezeIsLoggedAndForwarded) {
  FakeClient &c = core.addClient(GetParam());
  core.clearLog();
  core.send(c, FakeMessage(c.big).b(35).b(2).s(0).i(0).done());
  EXPECT_TRUE(core.logged("ReplayPointer has no effect"));
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0][0], 35);
  core.send(c, FakeMessage(c.big).b(35).b(8).s(0).i(0).done());
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][1], 2);  // BadValue
}

TEST_P(GrabRequests, SetInputFocusRecordsTheWindowAndRefusesBadTimes) {
  FakeClient &c = core.addClient(GetParam());
  ASSERT_NE(window(c, 1), nullptr);
  proxyState.serverTime = 1000;
  auto focus = [&](uint32_t window, uint8_t revertTo, uint32_t time) {
    core.send(c, FakeMessage(c.big).b(42).b(revertTo).s(0).i(window).i(time).done());
  };
  focus(c.id(1), 2, 900);
  EXPECT_EQ(proxyState.focusWindow, c.id(1));
  EXPECT_EQ(proxyState.focusTime, 900u);
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(rawGet32(requests[0], 8, false), 0u);  // CurrentTime towards the server
  core.clearLog();
  focus(1, 0, 800);  // older than the focus time
  focus(1, 0, 2000);  // newer than the server time
  EXPECT_TRUE(core.logged("Time too old"));
  EXPECT_TRUE(core.logged("Time too new"));
  EXPECT_TRUE(core.serverRequests(c).empty());
  EXPECT_EQ(proxyState.focusWindow, c.id(1));
  focus(c.id(1), 3, 0);
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][1], 2);  // BadValue
}

// GrabPointer is recorded when the real server says Success; an UngrabPointer of a client
// that does not hold the grab changes nothing and sends nothing.
TEST_P(GrabRequests, PointerGrabFollowsTheServersAnswer) {
  FakeClient &a = core.addClient(GetParam());
  FakeClient &b = core.addClient(GetParam());
  ASSERT_NE(window(a, 1), nullptr);
  proxyState.pointerHead = core.heads(screen)[0];
  auto grab = [&](FakeClient &c) {
    core.send(c, FakeMessage(c.big).b(26).b(1).s(0).i(a.id(1)).s(0x4).b(1).b(1).i(0).i(0).i(0).done());
  };
  auto answer = [&](FakeClient &c, uint8_t status) {
    FakeMessage reply(false);
    reply.b(1).b(status).s(c.client->displays[0]->requestsSent).i(0).pad(24);
    core.feedServer(c, reply.d);
  };
  grab(a);
  auto requests = core.serverRequests(a);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0][0], 26);
  EXPECT_EQ(rawGet16(requests[0], 8, false), 0x4u | 0x8u);  // ButtonRelease added for the server
  answer(a, 0);
  auto messages = core.messages(a);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][1], 0);
  EXPECT_EQ(proxyState.pointerGrab.client, a.client);
  // A second client's grab: the server's AlreadyGrabbed goes to it and the grab stays a's.
  grab(b);
  core.serverRequests(b);
  answer(b, 1);
  messages = core.messages(b);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][1], 1);
  EXPECT_EQ(proxyState.pointerGrab.client, a.client);
  core.send(b, FakeMessage(b.big).b(27).b(0).s(0).i(0).done());
  EXPECT_TRUE(core.serverRequests(b).empty());
  EXPECT_EQ(proxyState.pointerGrab.client, a.client);
  core.send(a, FakeMessage(a.big).b(27).b(0).s(0).i(0).done());
  EXPECT_EQ(core.serverRequests(a).size(), 1u);
  EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
  proxyState.pointerHead = nullptr;
}

// ChangeActivePointerGrab changes only the holder's grab: refusals answer or log and send
// nothing; the holder's new mask reaches the grab record and the real server at CurrentTime.
TEST_P(GrabRequests, ChangeActivePointerGrabOfTheHolderOnly) {
  FakeClient &a = core.addClient(GetParam());
  FakeClient &b = core.addClient(!GetParam());
  WindowRecord *w = window(a, 1);
  ASSERT_NE(w, nullptr);
  proxyState.serverTime = 1000;
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a.client, w->id, 0, 0, 0x4, 1, 1, nullptr, 500, 0), 1);
  auto change = [](FakeClient &c, uint32_t cursor, uint32_t time, uint16_t mask) {
    return FakeMessage(c.big).b(30).b(0).s(0).i(cursor).i(time).s(mask).s(0).done();
  };
  core.serverRequests(a);
  struct Refused {
    const char *what;
    FakeClient *client;
    FakeBytes request;
    int error;  // 0: logged only
  } refused[] = {
      {"mask bit 0x8000", &a, change(a, 0, 0, 0x8004), 2},
      {"unknown cursor", &a, change(a, a.id(9), 0, 0x4), 6},
      {"not the holder", &b, change(b, 0, 0, 0x8), 0},
      {"time before the grab", &a, change(a, 0, 400, 0x8), 0},
      {"time after the server's", &a, change(a, 0, 2000, 0x8), 0},
  };
  for (const Refused &k : refused) {
    SCOPED_TRACE(k.what);
    core.send(*k.client, k.request);
    auto messages = core.messages(*k.client);
    if (k.error) {
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.back()[0], 0);
      EXPECT_EQ(messages.back()[1], k.error);
    } else {
      EXPECT_TRUE(messages.empty());
    }
    EXPECT_TRUE(core.serverRequests(*k.client).empty());
    EXPECT_EQ(proxyState.pointerGrab.eventMask, 0x4);
  }
  core.send(a, change(a, 0, 700, 0x8));
  EXPECT_EQ(proxyState.pointerGrab.eventMask, 0x8);
  auto sent = core.serverRequests(a);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][0], 30);
  EXPECT_EQ(rawGet32(sent[0], 8, false), 0u);  // CurrentTime
  windowUngrabPointer(kWindowPointer, a.client, 0);
}

// A GetMotionEvents reply whose count claims more events than it holds is read only as far as
// it goes and reaches the client whole.
TEST_P(GrabRequests, MotionEventsReplyBoundedByItsLength) {
  FakeClient &c = core.addClient(GetParam());
  WindowRecord *w = window(c, 1);
  ASSERT_NE(w, nullptr);
  core.send(c, FakeMessage(c.big).b(39).b(0).s(0).i(w->id).i(0).i(0).done());
  auto sent = core.serverRequests(c);
  ASSERT_EQ(sent.size(), 1u);
  uint32_t sequence = c.client->displays[0]->requestsSent;
  FakeMessage reply(false);  // two words: one event (time 10000) where 1000 are claimed
  reply.b(1).b(0).s(sequence).i(2).i(1000).pad(20).i(10000).s(5).s(6);
  core.feedServer(c, reply.d);
  auto messages = core.messages(c);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back()[0], 1);
  EXPECT_EQ(messages.back().size(), 40u);
}

// Requests 16 to 44 one word longer than their length (or than their counts give) answer
// BadLength with their own sequence number, and nothing reaches the real server.
TEST_P(GrabRequests, WrongLengthsOfSixteenToFortyFour) {
  FakeClient &c = core.addClient(GetParam());
  const uint32_t fixed[] = {0, 8, 0, 12, 24, 8, 16, 8, 24, 44, 24, 8, 24, 12, 16, 16, 8, 16, 12, 8, 4, 4, 8, 16, 16, 24, 12, 4, 4};
  for (uint8_t opcode = 16; opcode <= 44; opcode++) {
    SCOPED_TRACE(int(opcode));
    FakeMessage m(c.big);
    m.b(opcode).b(0).s(0);
    if (opcode == 16) {
      m.s(0).s(0).i(0);  // a name of 0 bytes in 12
    } else if (opcode == 18) {
      m.i(core.root(screen)->id).i(39).i(31).b(8).pad(3).i(0).i(0);  // 0 items of format 8 in 28
    } else {
      m.pad(fixed[opcode - 16]);  // the fixed length plus one word
    }
    core.send(c, m.done());
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0][0], 0);
    EXPECT_EQ(messages[0][1], 16);
    EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence & 0xffff);
    EXPECT_TRUE(core.serverRequests(c).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, GrabRequests, ::testing::Values(false, true));

}  // namespace
