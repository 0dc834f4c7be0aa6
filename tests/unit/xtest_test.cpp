// XTEST on the fake core, in both byte orders and both modes (forwarded to a real XTEST, and
// emulated through the remote-control library): the local version, FakeInput's checks, its
// device events with valuators, the delay that holds the sender, cursor comparison from the
// proxy's window tree, and GrabControl's imperviousness during another client's server grab.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xproto.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/xtest.h"

namespace {

constexpr uint8_t kMajor = 203;

// What the injection seam was asked to do: "type/detail" per call.
std::vector<std::string> injected;
void recordInjection(ClientConnection *, const uint8_t *request) {
  injected.push_back(std::to_string(request[4]) + "/" + std::to_string(request[5]));
}

// One meta screen of two heads on one real display, a client of the parameter's byte order,
// and its window W (id 5) at 10,10 of 100 x 50.
class XtestTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    ASSERT_NE(xproxyInitExtension("XTEST", 0, kMajor, 0, 0), nullptr);
    ASSERT_NE(proxyState.ext.xtest, nullptr);
    proxyState.minKeycode = 8;
    proxyState.maxKeycode = 255;
    proxyState.pointerButtonLimit = 5;
    FakeCore::Current current(*client);
    w = windowCreate(client->id(5), core.root(screen), 10, 10, 100, 50, 0, 0, 0);
    windowMap(w);
    core.serverRequests(*client);
    saved = xtestInject;
    xtestInject = recordInjection;
    injected.clear();
  }
  void TearDown() override {
    xtestInject = saved;
    xtestEmulated = 0;
    extResetAll();
  }
  FakeMessage req(uint8_t minor) {
    FakeMessage m(client->big);
    m.b(kMajor).b(minor).s(0);
    return m;
  }
  // FakeInput with the type, detail, delay and root, x, y at 24 and 26.
  FakeMessage fake(uint8_t type, uint8_t detail, uint32_t delay = 0, uint32_t root = 0, int16_t x = 0,
                   int16_t y = 0) {
    FakeMessage m = req(2);
    m.b(type).b(detail).s(0).i(delay).i(root).pad(8).s(uint16_t(x)).s(uint16_t(y)).pad(7).b(3);
    return m;
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  std::vector<FakeBytes> written() {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == kMajor) out.push_back(r);
    return out;
  }
  // The one error the client got: "code/value".
  std::string error() {
    auto got = core.messages(*client);
    if (got.size() != 1 || got[0][0] != 0) return "no single error (" + std::to_string(got.size()) + ")";
    return std::to_string(got[0][1]) + "/" + std::to_string(client->u32(got[0], 4));
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  WindowRecord *w = nullptr;
  XtestInject saved = nullptr;
};

TEST_P(XtestTest, VersionIsAnsweredLocallyInBothModes) {
  for (int emulated : {0, 1}) {
    SCOPED_TRACE(emulated);
    xtestEmulated = emulated;
    send(req(0).b(2).b(1).s(0).done());
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 1);
    EXPECT_EQ(got[0][1], 2);
    EXPECT_EQ(client->u16(got[0], 8), 2u);
    EXPECT_EQ(client->u16(got[0], 2), client->client->sequence & 0xffff);
    EXPECT_TRUE(written().empty());
  }
  send(req(0).b(2).b(1).s(0).i(0).done());
  EXPECT_EQ(error(), "16/12");
}

// Forwarded mode: keys and buttons go to the real XTEST as they came (native order), device
// events with their valuators; the keycode range is checked here, the button by the server.
TEST_P(XtestTest, ForwardedFakeInput) {
  send(fake(2, 38, 7).done());
  auto out = written();
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].size(), 36u);
  EXPECT_EQ(rawGet32(out[0], 8, false), 7u);
  EXPECT_EQ(out[0][5], 38);
  send(fake(3, 7).done());
  EXPECT_EQ(error(), "2/7");
  EXPECT_TRUE(written().empty());
  send(fake(4, 0).done());
  EXPECT_EQ(written().size(), 1u);
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_TRUE(injected.empty());

  // DeviceMotionNotify (XInput type 69 here) with one DeviceValuator: 68 bytes, the valuator
  // event's words in native order.
  FakeMessage m = fake(69, 0, 0, 0, 100, 200);
  m.b(70).b(3).s(0x0102).s(0x0304).b(2).b(0).i(0x11223344).i(0x55667788).pad(16);
  send(m.done());
  out = written();
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].size(), 68u);
  EXPECT_EQ(rawGet16(out[0], 24, false), 100u);
  EXPECT_EQ(rawGet16(out[0], 36 + 4, false), 0x0304u);
  EXPECT_EQ(rawGet32(out[0], 36 + 8, false), 0x11223344u);
  EXPECT_EQ(rawGet32(out[0], 36 + 12, false), 0x55667788u);
  EXPECT_EQ(out[0][36 + 6], 2);

  // The core types are exactly 36 bytes; a valuator list must be whole events.
  FakeMessage key = fake(2, 38);
  key.pad(32);
  send(key.done());
  EXPECT_EQ(error(), "16/68");
  FakeMessage ragged = fake(69, 0);
  ragged.pad(12);
  send(ragged.done());
  EXPECT_EQ(error(), "16/48");
  EXPECT_TRUE(written().empty());
}

// Emulation: nothing reaches the real server under tarvo's own opcode.
TEST_P(XtestTest, EmulatedFakeInputChecks) {
  xtestEmulated = 1;
  struct Case {
    const char *name;
    uint8_t type, detail;
    const char *want;  // the error, or "" when injected
  } cases[] = {
      {"key in range", 2, 8, ""},
      {"key above the maximum", 2, 255, ""},
      {"key below the minimum", 3, 7, "2/7"},
      {"button 0", 4, 0, "2/0"},
      {"button above the pointer's", 5, 6, "2/6"},
      {"button 5", 5, 5, ""},
      {"device event", 7, 1, "2/7"},
      {"unknown type", 0, 1, "2/0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    injected.clear();
    send(fake(c.type, c.detail).done());
    if (*c.want) {
      EXPECT_EQ(error(), c.want);
      EXPECT_TRUE(injected.empty());
    } else {
      EXPECT_TRUE(core.messages(*client).empty());
      ASSERT_EQ(injected.size(), 1u);
      EXPECT_EQ(injected[0], std::to_string(c.type) + "/" + std::to_string(c.detail));
    }
  }
  // GrabControl only sets the flag.
  send(req(3).b(1).pad(3).done());
  EXPECT_EQ(client->client->impervious, 1);
  EXPECT_TRUE(written().empty());
}

// Motion is the proxy's own in both modes: a root must be a meta root.
TEST_P(XtestTest, MotionNeedsAMetaRoot) {
  for (int emulated : {0, 1}) {
    SCOPED_TRACE(emulated);
    xtestEmulated = emulated;
    injected.clear();
    send(fake(6, 0, 0, w->id, 5, 5).done());
    EXPECT_EQ(error(), "3/" + std::to_string(w->id));
    send(fake(6, 0, 0, core.root(screen)->id, 1000, 100).done());
    send(fake(6, 1, 0, w->id, -5, 5).done());  // relative: the root is not looked at
    send(fake(6, 0, 0, 0, 1, 1).done());
    EXPECT_TRUE(core.messages(*client).empty());
    EXPECT_EQ(injected, (std::vector<std::string>{"6/0", "6/1", "6/0"}));
    EXPECT_TRUE(written().empty());
  }
}

// A delay holds the sender (no further request cut, its socket unread) until a timer injects;
// the sender's close cancels the injection.
TEST_P(XtestTest, DelayHoldsTheSender) {
  xtestEmulated = 1;
  send(fake(2, 38, 300).done());
  EXPECT_TRUE(injected.empty());
  ClientConnection *c = client->client;
  EXPECT_NE(c->xtestDelay, nullptr);
  EXPECT_EQ(c->reader.bytesNeeded, kReaderStopped);
  miscScheduleClientReads(c);
  EXPECT_EQ(c->readOrder, nullptr);
  core.advanceMs(299);
  EXPECT_TRUE(injected.empty());
  core.advanceMs(1);
  EXPECT_EQ(injected, std::vector<std::string>{"2/38"});
  EXPECT_EQ(c->xtestDelay, nullptr);
  EXPECT_NE(c->readOrder, nullptr);

  // Motion waits in forwarded mode too; keys there are the real server's to delay.
  xtestEmulated = 0;
  injected.clear();
  send(fake(6, 0, 50, 0, 3, 3).done());
  EXPECT_TRUE(injected.empty());
  core.advanceMs(50);
  EXPECT_EQ(injected, std::vector<std::string>{"6/0"});
  send(fake(2, 38, 50).done());
  EXPECT_EQ(c->xtestDelay, nullptr);
  EXPECT_EQ(written().size(), 1u);

  // A reason to close the held client is kept (the pause does not count as a first reason).
  send(fake(6, 0, 50).done());
  ASSERT_EQ(c->reader.bytesNeeded, kReaderStopped);
  xprotoCloseWithReason(&c->reader, "held and closed");
  EXPECT_STREQ(c->reader.stopReason, "held and closed");
  c->reader.stopReason[0] = '\0';
  core.advanceMs(50);

  // A hostile delay does not sleep anything; the close drops the pending press.
  xtestEmulated = 1;
  injected.clear();
  send(fake(2, 38, 0xffffffff).done());
  EXPECT_EQ(xtestDelayMs(0xffffffff), uint64_t(0xffffffff));
  core.closeClient(*client);
  core.advanceMs(uint64_t(0xffffffff));
  EXPECT_TRUE(injected.empty());
}

TEST_P(XtestTest, CompareCursor) {
  FakeCore::Current current(*client);
  CursorRecord *arrow = resourceCreateCursor(client->id(20), 0);
  CursorRecord *hand = resourceCreateCursor(client->id(21), 0);
  windowSetCursor(w, arrow->id);
  WindowRecord *child = windowCreate(client->id(6), w, 1, 1, 5, 5, 0, 0, 0);
  auto compare = [&](uint32_t window, uint32_t cursor) {
    send(req(1).i(window).i(cursor).done());
    auto got = core.messages(*client);
    if (got.size() != 1) return std::string("none");
    if (got[0][0] == 0) return "error " + std::to_string(got[0][1]) + "/" + std::to_string(client->u32(got[0], 4));
    return std::to_string(got[0][1]);
  };
  xtestEmulated = 1;
  EXPECT_EQ(compare(w->id, arrow->id), "1");
  EXPECT_EQ(compare(w->id, hand->id), "0");
  EXPECT_EQ(compare(w->id, 0), "0");
  EXPECT_EQ(compare(child->id, arrow->id), "1");  // inherited from its parent
  EXPECT_EQ(compare(core.root(screen)->id, 0), "1");
  EXPECT_EQ(compare(w->id, client->id(99)), "error 6/" + std::to_string(client->id(99)));
  EXPECT_EQ(compare(client->id(98), 0), "error 3/" + std::to_string(client->id(98)));
  EXPECT_TRUE(written().empty());

  // Forwarded: one head, the window and cursor as that head knows them; None stays.
  xtestEmulated = 0;
  Head *first = core.heads(screen)[0];
  send(req(1).i(w->id).i(arrow->id).done());
  send(req(1).i(w->id).i(0).done());
  auto out = written();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(rawGet32(out[0], 4, false), core.realId(w->id, first));
  EXPECT_EQ(rawGet32(out[0], 8, false), core.realId(arrow->id, first));
  EXPECT_EQ(rawGet32(out[1], 8, false), 0u);
  EXPECT_EQ(compare(client->id(98), 0), "error 3/" + std::to_string(client->id(98)));
}

// GrabControl: an impervious client is read during another client's server grab; after
// GrabControl(False) it waits, and its remaining input is not cut.
TEST_P(XtestTest, GrabControlKeepsTheClientRunning) {
  FakeClient &grabber = core.addClient(false);
  ClientConnection *c = client->client;
  send(req(3).b(1).pad(3).done());
  EXPECT_EQ(c->impervious, 1);
  EXPECT_EQ(written().size(), 1u);
  miscSuspendOtherClients(grabber.client);
  EXPECT_NE(c->readOrder, nullptr);
  send(req(3).b(0).pad(3).done());
  EXPECT_EQ(c->impervious, 0);
  EXPECT_EQ(c->reader.bytesNeeded, kReaderStopped);
  EXPECT_EQ(c->readOrder, nullptr);
  miscRescheduleAllClients();
  EXPECT_NE(c->readOrder, nullptr);
  c->reader.bytesNeeded = 4;
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, XtestTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
