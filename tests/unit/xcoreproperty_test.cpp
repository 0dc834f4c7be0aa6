// The property, selection and SendEvent requests on the fake core, both byte orders: what is
// refused before anything reaches the real server, the names a client's properties teach the
// proxy, the keep-visible exemption, the byte order of forwarded values and sent events, the
// head each request goes to, and the owner ids of GetSelectionOwner replies.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

constexpr uint8_t kChangeProperty = 18, kDeleteProperty = 19, kGetProperty = 20, kSetSelectionOwner = 22,
                  kGetSelectionOwner = 23, kConvertSelection = 24, kSendEvent = 25;
constexpr uint32_t kString = 31, kWmClientMachine = 36, kWmName = 39, kWmNormalHints = 40, kWmSizeHints = 41,
                   kWmClass = 67, kPrimary = 1, kUtf8String = 300;

// A meta screen of two heads of 320 x 480 on one real display (and a second meta screen of one
// head), a client of the parameter's byte order with a top-level window W (id 1) at 10,10 of
// 100 x 50 on the first meta screen.
class PropertyRequests : public ::testing::TestWithParam<bool> {
 protected:
  FakeCore core;
  MetaScreen *screen = core.addScreen(640, 480, 2);
  MetaScreen *second = core.addScreen(320, 200, 1);
  ServerDisplay *real = core.addRealDisplay();
  FakeClient &c = core.addClient(GetParam());
  uint32_t w = c.id(1);

  void SetUp() override {
    FakeCore::Current current(c);
    ASSERT_NE(windowCreate(w, core.root(screen), 10, 10, 100, 50, 0, 1, 0), nullptr);
    core.messages(c);
    core.serverRequests(c);
  }

  static FakeBytes changeProperty(FakeClient &who, uint32_t window, uint32_t property, uint32_t type, uint8_t format,
                                  const std::vector<uint32_t> &values, uint8_t mode = 0) {
    FakeMessage m(who.big);
    m.b(kChangeProperty).b(mode).s(0).i(window).i(property).i(type).b(format).pad(3).i(uint32_t(values.size()));
    for (uint32_t v : values) format == 8 ? m.b(v) : format == 16 ? m.s(v) : m.i(v);
    return m.done();
  }
  static FakeBytes changeText(FakeClient &who, uint32_t window, uint32_t property, const std::string &value,
                              uint32_t type = kString) {
    return changeProperty(who, window, property, type, 8, std::vector<uint32_t>(value.begin(), value.end()));
  }
  // A header with any item count and format, followed by `valueBytes` bytes.
  static FakeBytes rawChange(FakeClient &who, uint8_t format, uint32_t items, size_t valueBytes, uint32_t window) {
    return FakeMessage(who.big).b(kChangeProperty).b(0).s(0).i(window).i(kWmName).i(kString).b(format).pad(3)
        .i(items).pad(valueBytes).done();
  }
  static FakeBytes sendEvent(FakeClient &who, uint32_t destination, const FakeBytes &event, uint32_t mask = 0) {
    FakeMessage m(who.big);
    m.b(kSendEvent).b(0).s(0).i(destination).i(mask);
    m.d.insert(m.d.end(), event.begin(), event.end());
    return m.done();
  }
  // What the proxy wrote towards the real server, its own round trips aside.
  std::vector<FakeBytes> sent(FakeClient &who) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(who))
      if (r[0] != 43) out.push_back(r);
    return out;
  }
  std::vector<FakeBytes> sent() { return sent(c); }
  // The one request forwarded for the last request (32 zero bytes when not exactly one).
  FakeBytes forwarded(FakeClient &who) {
    auto requests = sent(who);
    EXPECT_EQ(requests.size(), 1u);
    return requests.size() == 1 ? requests[0] : FakeBytes(32, 0);
  }
  FakeBytes forwarded() { return forwarded(c); }
  // Fields of what the proxy wrote (its own byte order).
  static uint32_t s16(const FakeBytes &m, size_t at) { return rawGet16(m, at, false); }
  static uint32_t s32(const FakeBytes &m, size_t at) { return rawGet32(m, at, false); }
  Head *head(size_t n, MetaScreen *of = nullptr) { return core.heads(of ? of : screen).at(n); }
  WindowRecord *record(uint32_t id) { return static_cast<WindowRecord *>(resourceLookupWindow(id)); }
  std::string name(const char *field) { return std::string(field); }
};

// ----- refusals -----

TEST_P(PropertyRequests, RefusedRequestsAnswerAtTheirSequenceAndForwardNothing) {
  FakeBytes event(32, 0);
  event[0] = 33;
  FakeBytes shortSendEvent = sendEvent(c, w, event);
  shortSendEvent.resize(40);
  shortSendEvent[c.big ? 3 : 2] = 10;
  FakeBytes longSendEvent = sendEvent(c, w, FakeBytes(36, 0));
  // A WM_NAME value of 5 bytes in 12: one word too many.
  FakeBytes longName = changeText(c, w, kWmName, "hello");
  longName.insert(longName.end(), 4, 'x');
  longName[c.big ? 3 : 2] = uint8_t(longName.size() / 4);
  FakeBytes shortChange = rawChange(c, 8, 0, 0, w);
  shortChange.resize(20);
  shortChange[c.big ? 3 : 2] = 5;
  struct Case {
    const char *what;
    FakeBytes request;
    int error;
    uint32_t badValue;
  } cases[] = {
      {"ChangeProperty of 20 bytes", shortChange, 16, 20},
      {"ChangeProperty format 7", rawChange(c, 7, 1, 4, w), 2, 7},
      {"ChangeProperty format 0, length also wrong", rawChange(c, 0, 100, 4, w), 2, 0},
      {"ChangeProperty format 64", rawChange(c, 64, 1, 8, w), 2, 64},
      {"ChangeProperty of an unknown window, format 12", rawChange(c, 12, 1, 4, c.id(9)), 2, 12},
      // 0x40000001 items of 4 bytes are 4 bytes more than 2^32: a 32-bit product would match.
      {"ChangeProperty of 0x40000001 longs in 28 bytes", rawChange(c, 32, 0x40000001, 4, w), 16, 28},
      {"ChangeProperty of 0x80000001 shorts in 28 bytes", rawChange(c, 16, 0x80000001, 4, w), 16, 28},
      {"ChangeProperty of 3 shorts in 4 bytes", rawChange(c, 16, 3, 4, w), 16, 28},
      {"ChangeProperty with a word too many", longName, 16, 36},
      {"ChangeProperty of an unknown window", changeText(c, c.id(9), kWmName, "x"), 3, c.id(9)},
      {"ChangeProperty of the default colormap's id", changeText(c, screen->defaultColormap, kWmName, "x"), 3,
       screen->defaultColormap},
      {"DeleteProperty of 16 bytes", FakeMessage(c.big).b(kDeleteProperty).b(0).s(0).i(w).i(kWmName).i(0).done(), 16,
       16},
      {"SetSelectionOwner of 12 bytes", FakeMessage(c.big).b(kSetSelectionOwner).b(0).s(0).i(w).i(kPrimary).done(), 16,
       12},
      {"GetSelectionOwner of 12 bytes", FakeMessage(c.big).b(kGetSelectionOwner).b(0).s(0).i(kPrimary).i(0).done(), 16,
       12},
      {"ConvertSelection of 20 bytes",
       FakeMessage(c.big).b(kConvertSelection).b(0).s(0).i(w).i(kPrimary).i(kString).i(0).done(), 16, 20},
      {"SendEvent of 40 bytes", shortSendEvent, 16, 40},
      {"SendEvent of 48 bytes", longSendEvent, 16, 48},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    core.send(c, k.request);
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    const FakeBytes &error = messages[0];
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(error[1], k.error);
    EXPECT_EQ(c.u16(error, 2), c.client->sequence & 0xffff) << "the error carries the request's sequence";
    EXPECT_EQ(c.u32(error, 4), k.badValue);
    EXPECT_EQ(error[10], k.request[0]);
    EXPECT_TRUE(sent().empty());
  }
  EXPECT_EQ(name(c.client->windowName), "") << "a refused request teaches nothing";
  // The client goes on: a good request after them is forwarded.
  core.send(c, changeText(c, w, kWmName, "ok"));
  EXPECT_TRUE(core.messages(c).empty());
  EXPECT_EQ(forwarded()[0], kChangeProperty);
}

// ----- names -----

TEST_P(PropertyRequests, NamesAreLearntOnceAndCut) {
  const std::string longName = "a program name of forty bytes, 123456789";
  ASSERT_EQ(longName.size(), 40u);
  // Not of type STRING, or not of format 8: nothing learnt.
  core.send(c, changeText(c, w, kWmName, "utf8 name", kUtf8String));
  core.send(c, changeProperty(c, w, kWmName, kString, 16, {0x6162, 0x6364}));
  EXPECT_EQ(name(c.client->windowName), "");
  sent();
  core.send(c, changeText(c, w, kWmName, longName));
  core.send(c, changeText(c, w, kWmName, "second name"));
  EXPECT_EQ(name(c.client->windowName), longName.substr(0, 31));
  EXPECT_EQ(name(xscreenClientName(c.client)).substr(0, 31), longName.substr(0, 31)) << "named by its program";

  const std::string machine(70, 'm');
  core.send(c, changeText(c, w, kWmClientMachine, machine.substr(0, 60) + "0123456789"));
  core.send(c, changeText(c, w, kWmClientMachine, "other"));
  EXPECT_EQ(name(c.client->machineName), machine.substr(0, 60) + "012");

  core.send(c, changeText(c, w, kWmClass, std::string("xterm\0XTerm\0", 12)));
  core.send(c, changeText(c, w, kWmClass, std::string("a\0B\0", 4)));
  EXPECT_EQ(name(c.client->className), "XTerm");
  EXPECT_EQ(name(xscreenClientName(c.client)).substr(0, 5), "XTerm") << "the class goes before the program";
  EXPECT_TRUE(core.messages(c).empty());
  // Every one of them is forwarded with its value as it came.
  auto requests = sent();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(std::string(requests[0].begin() + 24, requests[0].begin() + 64), longName);
  EXPECT_EQ(std::string(requests[4].begin() + 24, requests[4].begin() + 36), std::string("xterm\0XTerm\0", 12));
  for (const FakeBytes &r : requests) EXPECT_EQ(s32(r, 4), core.realId(w, head(0)));
}

// The class is the second string, cut to 31 bytes and never read past the value: a WM_CLASS of
// three bytes fills 28 bytes, and its pad byte (set here) is no part of it.
TEST_P(PropertyRequests, TheClassIsTheSecondStringWithinTheValue) {
  struct Case {
    const char *what;
    std::string value;
    std::string learnt;
    char pad = 0;
  } cases[] = {
      {"no NUL: no class", "justone", ""},
      {"three bytes, nothing after the NUL", std::string("xy\0", 3), "", 'Q'},
      {"three bytes, one after the NUL", std::string("a\0b", 3), "b", 'Z'},
      {"a class without its NUL", std::string("in\0Klass", 8), "Klass"},
      {"a class of 40 bytes", std::string("i\0", 2) + std::string(40, 'K') + std::string(1, '\0'),
       std::string(31, 'K')},
      {"KeepWindowsVisible without its NUL is a plain name", "KeepWindowsVisibleX" + std::string("\0Y", 2), "Y"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    FakeClient &other = core.addClient(GetParam());
    FakeBytes request = changeText(other, w, kWmClass, k.value);
    if (k.pad) request.back() = uint8_t(k.pad);
    core.send(other, request);
    EXPECT_TRUE(core.messages(other).empty());
    EXPECT_EQ(name(other.client->className), k.learnt);
    EXPECT_EQ(record(w)->keepVisibleExempt, 0);
    auto requests = sent(other);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::string(requests[0].begin() + 24, requests[0].begin() + 24 + long(k.value.size())), k.value);
  }
}

TEST_P(PropertyRequests, KeepWindowsVisibleExemptsTheTreeAndIsForwarded) {
  const std::string value("KeepWindowsVisible\0x", 20);
  core.clearLog();
  core.send(c, changeText(c, w, kWmClass, value));
  EXPECT_TRUE(core.messages(c).empty());
  EXPECT_EQ(record(w)->keepVisibleExempt, 1);
  char line[80];
  snprintf(line, sizeof line, "No keepWindowsVisible for win tree 0x%x by ", w);
  EXPECT_TRUE(core.logged(line)) << (core.log().empty() ? "" : core.log().back());
  EXPECT_EQ(name(c.client->className), "") << "\"x\" is no class name";
  FakeBytes copy = forwarded();
  EXPECT_EQ(s32(copy, 20), 20u);
  EXPECT_EQ(std::string(copy.begin() + 24, copy.begin() + 44), value);

  // WM_NORMAL_HINTS of 18 items with a program position in the hidden half: those of a window
  // outside the tree reach the server moved (in the proxy's order whatever the client's), those
  // of a child of the exempt window as they are, and hints of another size are not looked at.
  screen->keepWindowsVisible = 50;
  head(1)->rect.width = 0;
  windowKeepVisible(screen);
  ASSERT_TRUE(screen->hiddenParts);
  {
    FakeCore::Current current(c);
    ASSERT_NE(windowCreate(c.id(2), record(w), 0, 0, 100, 40, 0, 1, 0), nullptr);
    ASSERT_NE(windowCreate(c.id(3), core.root(screen), 0, 0, 100, 40, 0, 1, 0), nullptr);
  }
  std::vector<uint32_t> hints(18, 0);
  hints[0] = 4 | 8;  // PPosition, PSize: 100 x 40
  hints[1] = 500;
  hints[2] = 20;
  hints[3] = 100;
  hints[4] = 40;
  core.send(c, changeProperty(c, c.id(3), kWmNormalHints, kWmSizeHints, 32, hints));
  copy = forwarded();
  EXPECT_EQ(s32(copy, 24), 12u);
  EXPECT_EQ(s32(copy, 28), 270u) << "50 of its 100 columns stay on the left head";
  EXPECT_EQ(s32(copy, 32), 20u);
  EXPECT_EQ(s32(copy, 36), 100u);
  core.send(c, changeProperty(c, c.id(2), kWmNormalHints, kWmSizeHints, 32, hints));
  EXPECT_EQ(s32(forwarded(), 28), 500u);
  core.send(c, changeProperty(c, c.id(3), kWmNormalHints, kWmSizeHints, 32, {hints.begin(), hints.begin() + 17}));
  EXPECT_EQ(s32(forwarded(), 28), 500u);
  EXPECT_TRUE(core.messages(c).empty());
}

// ----- byte order -----

// Whatever the client's order, the real server gets the same request: format 8 values as
// bytes, 16- and 32-bit items in the proxy's order.
TEST_P(PropertyRequests, ValuesReachTheServerAsFromANativeClient) {
  FakeClient &native = core.addClient(false);
  struct Case {
    uint8_t format;
    std::vector<uint32_t> values;
  } cases[] = {
      {8, {'h', 'e', 'l', 'l', 'o', 0, 0xff}},
      {16, {0x0102, 0xa0b0, 0x7fff}},
      {32, {0x01020304, 0xa0b0c0d0}},
      {32, {}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(int(k.format));
    core.send(c, changeProperty(c, w, 0x123, 0x456, k.format, k.values, 2));
    core.send(native, changeProperty(native, w, 0x123, 0x456, k.format, k.values, 2));
    FakeBytes mine = forwarded(), theirs = forwarded(native);
    EXPECT_EQ(FakeBytes(mine.begin() + 4, mine.end()), FakeBytes(theirs.begin() + 4, theirs.end()));
    EXPECT_EQ(mine[1], 2) << "mode";
    EXPECT_EQ(s32(mine, 8), 0x123u);
    EXPECT_EQ(s32(mine, 12), 0x456u);
    EXPECT_EQ(mine[16], k.format);
    EXPECT_EQ(s32(mine, 20), k.values.size());
    for (size_t i = 0; i < k.values.size(); i++) {
      size_t at = 24 + i * (k.format / 8);
      uint32_t got = k.format == 8 ? mine[at] : k.format == 16 ? s16(mine, at) : s32(mine, at);
      EXPECT_EQ(got, k.values[i]) << i;
    }
    EXPECT_TRUE(core.messages(c).empty());
  }
}

TEST_P(PropertyRequests, SentEventsAreSwappedByTheirLayout) {
  auto configureNotify = [&](bool big, uint8_t code) {
    return FakeMessage(big).b(code).b(0).s(0x1234).i(w).i(c.id(7)).i(0).s(0xfff6).s(20).s(300).s(200).s(2).b(1)
        .pad(5).d;
  };
  auto clientMessage = [&](bool big, uint8_t format) {
    FakeMessage m(big);
    m.b(33).b(format).s(0).i(w).i(0x1a2);
    for (int k = 0; k < 20 / (format / 8); k++)
      format == 8 ? m.b(0x41 + k) : format == 16 ? m.s(0x0102 + k) : m.i(0x01020304u + k);
    return m.d;
  };
  struct Case {
    const char *what;
    FakeBytes event, expected;
  } cases[] = {
      {"ConfigureNotify", configureNotify(c.big, 22), configureNotify(false, 22)},
      {"ConfigureNotify with the sent bit", configureNotify(c.big, 0x80 | 22), configureNotify(false, 0x80 | 22)},
      {"ClientMessage format 32", clientMessage(c.big, 32), clientMessage(false, 32)},
      {"ClientMessage format 16", clientMessage(c.big, 16), clientMessage(false, 16)},
      {"ClientMessage format 8", clientMessage(c.big, 8), clientMessage(false, 8)},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(k.event.size(), 32u);
    core.send(c, sendEvent(c, w, k.event, 0x20000));
    FakeBytes copy = forwarded();
    ASSERT_EQ(copy.size(), 44u);
    EXPECT_EQ(s16(copy, 2), 11u);
    EXPECT_EQ(s32(copy, 8), 0x20000u) << "the event mask";
    EXPECT_EQ(FakeBytes(copy.begin() + 12, copy.end()), k.expected);
  }
  // A GenericEvent whose word at byte 8 names no layout: only the request's own fields turn.
  FakeMessage generic(c.big);
  generic.b(35).b(0x83).s(0x10).i(0).i(0x00010000).i(0x11223344).pad(16);
  core.send(c, sendEvent(c, w, generic.d, 0x1));
  FakeBytes copy = forwarded();
  EXPECT_EQ(s32(copy, 8), 1u);
  EXPECT_EQ(FakeBytes(copy.begin() + 12, copy.end()), generic.d);
  EXPECT_TRUE(core.messages(c).empty());
}

// ----- heads -----

TEST_P(PropertyRequests, PropertiesAndSelectionsLiveOnTheFirstHead) {
  proxyState.pointerHead = head(1);
  _XPrivDisplay xlib = reinterpret_cast<_XPrivDisplay>(head(0)->display);
  const uint32_t standIn = uint32_t(xlib->private3) | 0x11;  // an id of the proxy's own connection
  head(0)->rootWindow = head(0)->innerWindow = standIn;
  const uint32_t first = core.realId(w, head(0));
  ASSERT_NE(first, core.realId(w, head(1)));
  struct Case {
    const char *what;
    FakeBytes request;
    uint32_t expected;  // the window at byte 4 of the copy
  } cases[] = {
      {"ChangeProperty", changeText(c, w, 0x200, "v"), first},
      {"ChangeProperty of the root", changeText(c, screen->root, 0x200, "v"), standIn},
      {"DeleteProperty", FakeMessage(c.big).b(kDeleteProperty).b(0).s(0).i(w).i(0x200).done(), first},
      {"DeleteProperty of the root", FakeMessage(c.big).b(kDeleteProperty).b(0).s(0).i(screen->root).i(0x200).done(),
       standIn},
      {"GetProperty of the root",
       FakeMessage(c.big).b(kGetProperty).b(0).s(0).i(screen->root).i(0x200).i(0).i(0).i(100).done(), standIn},
      {"SetSelectionOwner", FakeMessage(c.big).b(kSetSelectionOwner).b(0).s(0).i(w).i(kPrimary).i(5).done(), first},
      {"SetSelectionOwner None", FakeMessage(c.big).b(kSetSelectionOwner).b(0).s(0).i(0).i(kPrimary).i(5).done(), 0},
      {"ConvertSelection",
       FakeMessage(c.big).b(kConvertSelection).b(0).s(0).i(w).i(kPrimary).i(kString).i(0x200).i(0).done(), first},
      {"GetSelectionOwner: the atom as it came", FakeMessage(c.big).b(kGetSelectionOwner).b(0).s(0).i(kPrimary).done(),
       kPrimary},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    core.send(c, k.request);
    FakeBytes copy = forwarded();
    EXPECT_EQ(copy[0], k.request[0]);
    EXPECT_EQ(copy.size(), k.request.size());
    EXPECT_EQ(s32(copy, 4), k.expected);
    EXPECT_NE(s32(copy, 4), core.realRoot(head(0)));
  }
  EXPECT_TRUE(core.messages(c).empty());
}

TEST_P(PropertyRequests, SentEventsGoToThePointerHeadOrTheFirstHeadOfTheirScreen) {
  WindowRecord *elsewhere;
  {
    FakeCore::Current current(c);
    elsewhere = windowCreate(c.id(3), core.root(second), 0, 0, 10, 10, 0, 1, 0);
  }
  ASSERT_NE(elsewhere, nullptr);
  FakeBytes event(32, 0);
  event[0] = 33;
  event[1] = 32;
  struct Case {
    const char *what;
    Head *pointer;
    uint32_t destination, expected;
  } cases[] = {
      {"a window under the pointer head's screen", head(1), w, core.realId(w, head(1))},
      {"the same window with the pointer on the first head", head(0), w, core.realId(w, head(0))},
      {"a window of the other screen", head(1), elsewhere->id, core.realId(elsewhere->id, head(0, second))},
      {"PointerWindow", head(1), 0, 0},
      {"InputFocus", head(1), 1, 1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    proxyState.pointerHead = k.pointer;
    core.send(c, sendEvent(c, k.destination, event));
    FakeBytes copy = forwarded();
    EXPECT_EQ(s32(copy, 4), k.expected);
  }
  EXPECT_TRUE(core.messages(c).empty());
}

// ----- GetSelectionOwner replies -----

TEST_P(PropertyRequests, SelectionOwnersComeBackAsTheClientsIds) {
  FakeClient &other = core.addClient(!GetParam());
  _XPrivDisplay xlib = reinterpret_cast<_XPrivDisplay>(head(0)->display);
  const uint32_t own = uint32_t(xlib->private3);
  head(0)->innerWindow = own | 0x11;
  head(0)->middleWindow = own | 0x12;
  head(0)->outerWindow = own | 0x13;
  struct Case {
    const char *what;
    uint32_t owner, expected;
  } cases[] = {
      {"the client's window on the first head", core.realId(w, head(0)), w},
      {"another client's window", core.realId(other.id(4), head(0)), other.id(4)},
      {"the real root", core.realRoot(head(0)), screen->root},
      {"the head's window standing for the root", own | 0x11, screen->root},
      {"the proxy's outer window", own | 0x13, 0},
      {"None", 0, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    core.send(c, FakeMessage(c.big).b(kGetSelectionOwner).b(0).s(0).i(kPrimary).done());
    auto requests = core.serverRequests(c);
    size_t at = requests.size();
    for (size_t i = 0; i < requests.size(); i++)
      if (requests[i][0] == kGetSelectionOwner) at = i;
    ASSERT_LT(at, requests.size());
    uint32_t serverSequence = c.client->displays[0]->requestsSent - uint32_t(requests.size() - 1 - at);
    FakeMessage reply(false);
    reply.b(1).b(0).s(serverSequence & 0xffff).i(0).i(k.owner).pad(20);
    core.feedServer(c, reply.d);
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0][0], 1);
    EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence & 0xffff);
    EXPECT_EQ(c.u32(messages[0], 8), k.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, PropertyRequests, ::testing::Values(false, true));

}  // namespace
