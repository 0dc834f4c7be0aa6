// XInputExtension on the fake core, in both byte orders: the version the set-up settles and
// what it installs for it, the version each client is told, requests whose length follows a
// count, the item-framed lists of replies and requests in the client's order, device events
// (translated, dropped with their valuators, sent ones untouched) and the error printers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/xinput.h"

namespace {

constexpr uint8_t kMajor = 203, kEvent = 100, kError = 200;
constexpr uint8_t kDeviceKeyPress = kEvent + 1, kDeviceMotion = kEvent + 5;

// Two real displays as the set-up sees them: the first at 1.5, the second at displayVersion.
uint32_t displayVersion = 69;
ServerDisplay firstDisplay{}, secondDisplay{};
uint32_t fakeVersion(ServerDisplay *display) { return display == &secondDisplay ? displayVersion : 69; }

class XinputTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    saved = xinputDisplayVersion;
    xinputDisplayVersion = fakeVersion;
    displayVersion = 69;
    static char secondName[] = "other:0";
    secondDisplay.name = secondName;
    firstDisplay.next = &secondDisplay;
    savedDisplays = mainServerDisplays;
    mainServerDisplays = &firstDisplay;
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    FakeCore::Current current(*client);
    w = windowCreate(client->id(5), core.root(screen), 10, 10, 100, 50, 0, 0, 0);
    windowMap(w);
    core.serverRequests(*client);
  }
  void TearDown() override {
    extResetAll();
    xinputDisplayVersion = saved;
    mainServerDisplays = savedDisplays;
  }
  ExtensionRecord *init() { return xproxyInitExtension("XInputExtension", 0, kMajor, kEvent, kError); }
  FakeMessage req(uint8_t minor) {
    FakeMessage m(client->big);
    m.b(kMajor).b(minor).s(0);
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
  // A reply as the real server sends it (the proxy's order) to the last request written.
  FakeMessage reply() {
    FakeMessage m(false);
    m.b(1).b(0).s(uint16_t(client->client->displays[0]->requestsSent)).i(0);
    return m;
  }
  void feedReply(FakeMessage &m) {
    FakeBytes bytes = m.d;
    while (bytes.size() < 32) bytes.push_back(0);
    uint32_t words = uint32_t((bytes.size() - 32) / 4);
    memcpy(&bytes[4], &words, 4);
    core.feedServer(*client, bytes);
  }
  FakeBytes only(std::vector<FakeBytes> got) {
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? FakeBytes(32, 0) : got[0];
  }
  // A 32-byte event in the proxy's order with the real-server sequence of client request 3.
  FakeBytes event(uint8_t code) {
    FakeBytes e(32, 0);
    e[0] = code;
    uint16_t real = core.serverSequence(*client, 3);
    memcpy(&e[2], &real, 2);
    return e;
  }
  static void put32(FakeBytes &e, size_t at, uint32_t v) { memcpy(&e[at], &v, 4); }
  static void put16(FakeBytes &e, size_t at, uint16_t v) { memcpy(&e[at], &v, 2); }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  WindowRecord *w = nullptr;
  XinputVersionQuery saved = nullptr;
  ServerDisplay *savedDisplays = nullptr;
};

// The lowest version of the real displays decides the rows and events; a display without
// XInput keeps the extension out.
TEST_P(XinputTest, SetUpFollowsTheRealVersion) {
  displayVersion = 67;  // 1.3
  ExtensionRecord *record = init();
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->name, nullptr);
  EXPECT_EQ(record->version, 67);
  EXPECT_EQ(proxyState.ext.xinput, record);
  // DevicePresenceNotify and DevicePropertyNotify are not served at 1.3.
  EXPECT_EQ(record->eventCount, 15);
  EXPECT_EQ(record->errorCount, 5);
  EXPECT_STREQ(proxyState.errorNames[kError + 3], "XIDeviceBusy");
  // The property requests answer as unsupported and go nowhere.
  send(req(36).s(2).s(0).done());
  send(req(39).b(2).b(0).s(0).i(1).i(0).i(0).i(1).i(0).done());
  EXPECT_TRUE(written().empty());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  for (auto &m : got) EXPECT_EQ(m[0], 0) << "an error";
  for (auto &m : got) EXPECT_EQ(m[1], 1) << "BadRequest";
  extResetAll();
  EXPECT_EQ(proxyState.ext.xinput, nullptr);

  displayVersion = 68;  // 1.4: presence, no property events
  record = init();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->eventCount, 16);
  extResetAll();

  displayVersion = 0;
  record = init();
  EXPECT_TRUE(record == nullptr || record->name == nullptr);
  EXPECT_TRUE(core.logged("Display other:0 does not support extension XInputExtension"));
}

// XIGetExtensionVersion tells the record's version, or 2.0 to "zelquatool"; XIQueryVersion
// never tells more than that, whatever the real server speaks.
TEST_P(XinputTest, VersionTold) {
  ASSERT_NE(init(), nullptr);
  struct Case {
    const char *name;
    uint8_t minor;
    uint16_t serverMajor, serverMinor;
    const char *program;
    uint32_t wantMajor, wantMinor;
  } cases[] = {
      {"extension version", 1, 2, 4, "", 1, 5},
      {"extension version to zelquatool", 1, 1, 5, "zelquatool", 2, 0},
      {"query version above", 47, 2, 4, "", 1, 5},
      {"query version to zelquatool", 47, 2, 4, "zelquatool", 2, 0},
      {"query version below stays", 47, 1, 3, "", 1, 3},
      {"a longer name is someone else", 47, 2, 4, "zelquatool2", 1, 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    snprintf(client->client->windowName, sizeof client->client->windowName, "%s", c.program);
    if (c.minor == 1)
      send(req(1).s(15).s(0).text("XInputExtension").align().done());
    else
      send(req(47).s(2).s(0).done());
    only(written());
    FakeMessage r = reply();
    r.s(c.serverMajor).s(c.serverMinor).b(1);
    feedReply(r);
    FakeBytes got = only(core.messages(*client));
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(client->u16(got, 8), c.wantMajor);
    EXPECT_EQ(client->u16(got, 10), c.wantMinor);
  }
}

// Lengths that follow a count inside the request are checked in the client's order; the
// window goes out as the first head's.
TEST_P(XinputTest, CountedLengthsAndWindows) {
  ASSERT_NE(init(), nullptr);
  struct Case {
    const char *name;
    FakeBytes request;
    bool forwarded;
  } cases[] = {
      {"select, count 2", req(6).i(w->id).s(2).s(0).i(0x0105).i(0x0106).done(), true},
      {"select, count 3 for two", req(6).i(w->id).s(3).s(0).i(0x0105).i(0x0106).done(), false},
      {"dont-propagate, count 0 with one", req(8).i(w->id).s(0).b(0).b(0).i(0x0105).done(), false},
      {"extension version, name too long", req(1).s(40).s(0).text("XInputExtension").align().done(), false},
      {"modifier mapping, 2 per modifier", req(27).b(1).b(2).s(0).pad(16).done(), true},
      {"modifier mapping, 3 per modifier", req(27).b(1).b(3).s(0).pad(16).done(), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    send(c.request);
    auto out = written();
    auto got = core.messages(*client);
    if (!c.forwarded) {
      EXPECT_TRUE(out.empty());
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], 16) << "BadLength";
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(got.empty());
    if (c.request[1] == 6) {
      uint32_t window, first;
      memcpy(&window, &out[0][4], 4);
      memcpy(&first, &out[0][12], 4);
      EXPECT_EQ(window, core.realId(w->id, core.heads(screen)[0]));
      EXPECT_EQ(first, 0x0105u) << "the class list in the proxy's order";
    }
  }
}

// Replies whose items are framed by their own class and length reach the client with every
// field in its order.
TEST_P(XinputTest, ItemFramedReplies) {
  ASSERT_NE(init(), nullptr);
  // QueryDeviceState: a key class (bytes) and a valuator class of two values.
  send(req(30).b(2).pad(3).done());
  only(written());
  FakeMessage r = reply();
  r.b(2).pad(23);
  r.b(0).b(36).b(3).b(0).pad(32);
  r.b(2).b(12).b(2).b(0).i(0x11223344).i(0xfffffffe);
  feedReply(r);
  FakeBytes got = only(core.messages(*client));
  ASSERT_EQ(got.size(), 32u + 36 + 12);
  EXPECT_EQ(got[32 + 2], 3);
  EXPECT_EQ(client->u32(got, 32 + 36 + 4), 0x11223344u);
  EXPECT_EQ(client->u32(got, 32 + 36 + 8), 0xfffffffeu);

  // GetFeedbackControl: a pointer feedback and a string feedback with two keysyms.
  send(req(22).b(2).pad(3).done());
  only(written());
  r = reply();
  r.s(2).pad(22);
  r.b(1).b(0).s(12).s(0).s(2).s(1).s(4);
  r.b(3).b(1).s(16).s(8).s(2).i(0xff0d).i(0x61);
  feedReply(r);
  got = only(core.messages(*client));
  ASSERT_EQ(got.size(), 32u + 12 + 16);
  EXPECT_EQ(client->u16(got, 8), 2u);
  EXPECT_EQ(client->u16(got, 32 + 2), 12u);
  EXPECT_EQ(client->u16(got, 32 + 10), 4u);  // threshold
  EXPECT_EQ(client->u16(got, 44 + 2), 16u);
  EXPECT_EQ(client->u16(got, 44 + 6), 2u);
  EXPECT_EQ(client->u32(got, 44 + 8), 0xff0du);
  EXPECT_EQ(client->u32(got, 44 + 12), 0x61u);

  // GetDeviceControl: a resolution control with one valuator.
  send(req(34).s(1).b(2).b(0).done());
  only(written());
  r = reply();
  r.b(1).pad(23).s(1).s(20).i(1).i(1000).i(0).i(65535);
  feedReply(r);
  got = only(core.messages(*client));
  EXPECT_EQ(client->u16(got, 32), 1u);
  EXPECT_EQ(client->u16(got, 34), 20u);
  EXPECT_EQ(client->u32(got, 40), 1000u);
  EXPECT_EQ(client->u32(got, 48), 65535u);

  // A feedback whose length would not move on: the header still reaches the client framed.
  send(req(22).b(2).pad(3).done());
  only(written());
  r = reply();
  r.s(1).pad(22).b(1).b(0).s(0).pad(8);
  feedReply(r);
  got = only(core.messages(*client));
  EXPECT_EQ(client->u16(got, 8), 1u);
}

// Requests with an item after their fixed part reach the server in its order.
TEST_P(XinputTest, ItemFramedRequests) {
  ASSERT_NE(init(), nullptr);
  auto u16 = [](const FakeBytes &m, size_t at) { return uint32_t(m[at] | m[at + 1] << 8); };
  auto u32 = [](const FakeBytes &m, size_t at) {
    uint32_t v;
    memcpy(&v, &m[at], 4);
    return v;
  };
  // ChangeDeviceControl, resolution: first valuator 0, two values.
  send(req(35).s(1).b(2).b(0).s(1).s(16).b(0).b(2).s(0).i(300).i(70000).done());
  FakeBytes out = only(written());
  EXPECT_EQ(u16(out, 4), 1u);
  EXPECT_EQ(u16(out, 10), 16u);
  EXPECT_EQ(u32(out, 16), 300u);
  EXPECT_EQ(u32(out, 20), 70000u);
  // ChangeFeedbackControl, keyboard: pitch, duration and the LED words.
  send(req(23).i(0x1f).b(2).b(0).s(0).b(0).b(0).s(20).b(1).b(2).b(50).b(60).s(440).s(100).i(3).i(1).done());
  out = only(written());
  EXPECT_EQ(u32(out, 4), 0x1fu);
  EXPECT_EQ(u16(out, 14), 20u);
  EXPECT_EQ(u16(out, 20), 440u);
  EXPECT_EQ(u16(out, 22), 100u);
  EXPECT_EQ(u32(out, 24), 3u);
  // ChangeDeviceProperty of format 16: the values.
  send(req(37).i(0x55).i(19).b(2).b(16).b(0).b(0).i(2).s(0x1234).s(7).done());
  out = only(written());
  EXPECT_EQ(u32(out, 16), 2u);
  EXPECT_EQ(u16(out, 20), 0x1234u);
  EXPECT_EQ(u16(out, 22), 7u);
  // SendExtensionEvent: a DeviceButtonPress (passed as written, ids too) and one class.
  FakeMessage m = req(31);
  m.i(w->id).b(2).b(0).s(1).b(1).pad(3);
  m.b(kEvent + 3).b(1).s(0).i(1234).i(0x777).i(0x888).i(0).s(5).s(6).s(7).s(8).s(0).b(1).b(2);
  m.i(0x0203);
  send(m.done());
  out = only(written());
  EXPECT_EQ(u32(out, 4), core.realId(w->id, core.heads(screen)[0]));
  EXPECT_EQ(u16(out, 10), 1u);
  EXPECT_EQ(u32(out, 16 + 4), 1234u);
  EXPECT_EQ(u32(out, 16 + 8), 0x777u);
  EXPECT_EQ(u16(out, 16 + 20), 5u);
  EXPECT_EQ(out[16 + 31], 2);
  EXPECT_EQ(u32(out, 48), 0x0203u);
  // Counts that claim more than is there: BadLength, nothing sent.
  send(req(31).i(w->id).b(2).b(0).s(1).b(1).pad(3).done());
  EXPECT_TRUE(written().empty());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
}

// Device events: translated into the meta screen; one the translation refuses takes the
// DeviceValuators behind it along, the next device event passes; a sent one is untouched.
TEST_P(XinputTest, DeviceEventsAndTheirValuators) {
  ASSERT_NE(init(), nullptr);
  Head *second = core.heads(screen)[1];
  auto input = [&](uint8_t code, uint32_t root, bool more) {
    FakeBytes e = event(code);
    put32(e, 4, 500);
    put32(e, 8, root);
    put32(e, 12, root);
    put16(e, 20, 830);
    put16(e, 22, 40);
    e[30] = 1;
    e[31] = uint8_t(2 | (more ? 0x80 : 0));
    return e;
  };
  auto valuator = [&](bool more) {
    FakeBytes e = event(kEvent);
    e[1] = uint8_t(2 | (more ? 0x80 : 0));
    e[8] = 2;
    put32(e, 12, 77);
    return e;
  };
  core.feedEvents(*client, {input(kDeviceMotion, 0x0badbad0, true), valuator(true), valuator(false),
                            input(kDeviceKeyPress, core.realRoot(second), true), valuator(false)});
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], kDeviceKeyPress);
  EXPECT_EQ(client->u32(got[0], 8), screen->root);
  EXPECT_EQ(client->u16(got[0], 20), 830u) ;
  EXPECT_EQ(client->u16(got[0], 2), 3u);
  EXPECT_EQ(got[1][0], kEvent);
  EXPECT_EQ(client->u32(got[1], 12), 77u);

  FakeBytes sent = input(kDeviceMotion | 0x80, 0x0badbad0, false);
  core.feedEvents(*client, {sent});
  FakeBytes passed = only(core.messages(*client));
  EXPECT_EQ(client->u32(passed, 8), 0x0badbad0u);
}

// DeviceStateNotify's valuators, focus events and replies, and the error printers.
TEST_P(XinputTest, StateFocusAndErrors) {
  ASSERT_NE(init(), nullptr);
  FakeBytes state = event(kEvent + 10);
  put32(state, 4, 99);
  state[8] = 3;
  put32(state, 20, 0x01020304);
  put32(state, 28, 0xa0b0c0d0);
  FakeBytes focus = event(kEvent + 6);
  put32(focus, 4, 700);
  put32(focus, 8, core.realId(w->id, core.heads(screen)[0]));
  core.feedEvents(*client, {state, focus});
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(client->u32(got[0], 4), 99u);
  EXPECT_EQ(got[0][8], 3);
  EXPECT_EQ(client->u32(got[0], 20), 0x01020304u);
  EXPECT_EQ(client->u32(got[0], 28), 0xa0b0c0d0u);
  EXPECT_EQ(client->u32(got[1], 8), w->id);
  EXPECT_EQ(client->u32(got[1], 4), 700u);

  // XIGetDeviceFocus: the focus window back in the client's view, the time as the server's.
  send(req(20).b(3).pad(3).done());
  only(written());
  FakeMessage r = reply();
  r.i(core.realId(w->id, core.heads(screen)[0])).i(5000).b(2).pad(15);
  feedReply(r);
  FakeBytes focusReply = only(core.messages(*client));
  EXPECT_EQ(client->u32(focusReply, 8), w->id);
  EXPECT_EQ(client->u32(focusReply, 12), 5000u);
  EXPECT_EQ(focusReply[16], 2);

  // XIBadDevice with device 7: the value is no id and stays as it is.
  xprotoLogXErrors = 1;
  send(req(3).b(7).pad(3).done());
  only(written());
  FakeBytes error(32, 0);
  error[1] = kError;
  put16(error, 2, uint16_t(client->client->displays[0]->requestsSent));
  put32(error, 4, 7);
  error[10] = kMajor;
  error[8] = 3;
  core.feedServer(*client, error);
  FakeBytes e = only(core.messages(*client));
  EXPECT_EQ(e[0], 0);
  EXPECT_EQ(e[1], kError);
  EXPECT_EQ(client->u32(e, 4), 7u);
  EXPECT_TRUE(core.logged("XIBadDevice 7"));
  xprotoLogXErrors = 0;
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, XinputTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
