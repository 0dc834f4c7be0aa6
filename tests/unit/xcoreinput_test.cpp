// The cursor, keyboard, pointer, screen-saver, host-access, close-down and KillClient handlers
// on the fake core, in both byte orders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fakecore.h"
#include "proxy/access.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xclient/xrclibcursors.h"

namespace {

class XcoreInputTest : public ::testing::TestWithParam<bool> {};

// An error's code, bad value and major opcode.
struct ErrorSeen {
  int code;
  uint32_t badValue;
  int major;
};
ErrorSeen errorOf(const FakeClient &c, const FakeBytes &m) {
  return {m[0] == 0 ? m[1] : -1, c.u32(m, 4), m[10]};
}

// A request of the given bytes after the 4-byte header, the length word filled.
FakeBytes request(bool big, uint8_t major, uint8_t data, const std::vector<uint32_t> &words) {
  FakeMessage m(big);
  m.b(major).b(data).s(0);
  for (uint32_t w : words) m.i(w);
  return m.done();
}

// A reply as the real server sends it for the last request written on the connection.
FakeMessage serverReply(FakeClient &c, uint8_t data, uint32_t words) {
  FakeMessage m(false);
  m.b(1).b(data).s(c.client->displays[0]->requestsSent & 0xffff).i(words);
  return m;
}

// The client's end forgets a client the proxy closed by itself.
void forget(FakeClient &c, int fd) {
  if (fd >= 0) close(fd);
  close(c.peer);
  for (int p : c.serverPeers) close(p);
  c.serverPeers.clear();
  c.client = nullptr;
}

TEST_P(XcoreInputTest, EveryLengthRuleAnswersBadLengthWithTheLength) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  const bool big = c.big;
  struct Case {
    const char *name;
    FakeBytes good;  // a request of the right length
  };
  // Counted requests carry their count so that one word more or less breaks the rule.
  FakeMessage changeKeyboardMapping(big);
  changeKeyboardMapping.b(100).b(2).s(0).b(10).b(3).s(0);
  for (int i = 0; i < 6; i++) changeKeyboardMapping.i(0x61 + i);
  FakeMessage changeHosts(big);
  changeHosts.b(109).b(0).s(0).b(0).b(0).s(4).b(127).b(0).b(0).b(2);
  FakeMessage setPointerMapping(big);
  setPointerMapping.b(116).b(3).s(0).b(1).b(2).b(3).b(0);
  FakeMessage setModifierMapping(big);
  setModifierMapping.b(118).b(1).s(0);
  for (int i = 0; i < 8; i++) setModifierMapping.b(0);
  FakeMessage rotate(big);
  rotate.b(114).b(0).s(0).i(core.root()->id).s(2).s(1).i(1).i(2);
  const Case cases[] = {
      {"RotateProperties", rotate.done()},
      {"CreateCursor", request(big, 93, 0, {c.id(1), c.id(2), 0, 0, 0, 0, 0})},
      {"CreateGlyphCursor", request(big, 94, 0, {c.id(1), c.id(2), 0, 0, 0, 0, 0})},
      {"FreeCursor", request(big, 95, 0, {c.id(1)})},
      {"RecolorCursor", request(big, 96, 0, {c.id(1), 0, 0, 0})},
      {"ChangeKeyboardMapping", changeKeyboardMapping.done()},
      {"ChangeKeyboardControl", request(big, 102, 0, {0x3, 50, 60})},
      {"GetKeyboardControl", request(big, 103, 0, {})},
      {"Bell", request(big, 104, 0, {})},
      {"ChangePointerControl", request(big, 105, 0, {0, 0})},
      {"GetPointerControl", request(big, 106, 0, {})},
      {"SetScreenSaver", request(big, 107, 0, {0, 0})},
      {"GetScreenSaver", request(big, 108, 0, {})},
      {"ChangeHosts", changeHosts.done()},
      {"ListHosts", request(big, 110, 0, {})},
      {"SetAccessControl", request(big, 111, 0, {})},
      {"SetCloseDownMode", request(big, 112, 0, {})},
      {"KillClient", request(big, 113, 0, {c.id(7)})},
      {"ForceScreenSaver", request(big, 115, 0, {})},
      {"SetPointerMapping", setPointerMapping.done()},
      {"GetPointerMapping", request(big, 117, 0, {})},
      {"SetModifierMapping", setModifierMapping.done()},
      {"GetModifierMapping", request(big, 119, 0, {})},
  };
  for (const Case &k : cases) {
    for (int delta : {-4, 4}) {
      if (delta < 0 && k.good.size() == 4) continue;  // no shorter request exists
      FakeBytes bad = k.good;
      if (delta < 0) {
        bad.resize(bad.size() - 4);
      } else {
        bad.insert(bad.end(), 4, 0);
      }
      // The length word tells the truth about the bytes: the rule inside the request breaks.
      uint32_t words = uint32_t(bad.size() / 4);
      bad[2] = uint8_t(big ? words >> 8 : words);
      bad[3] = uint8_t(big ? words : words >> 8);
      core.send(c, bad);
      auto messages = core.messages(c);
      ASSERT_EQ(messages.size(), 1u) << k.name << " " << delta;
      ErrorSeen e = errorOf(c, messages[0]);
      EXPECT_EQ(e.code, 16) << k.name << " " << delta;
      EXPECT_EQ(e.badValue, bad.size()) << k.name << " " << delta;
      EXPECT_EQ(e.major, k.good[0]) << k.name;
    }
    core.serverRequests(c);
  }
  // The right lengths reach the server where the request is forwarded.
  const uint8_t forwarded[] = {114, 100, 102, 103, 104, 105, 106, 107, 108, 110, 115, 116, 117, 118, 119};
  for (const Case &k : cases) {
    bool isForwarded = std::find(std::begin(forwarded), std::end(forwarded), k.good[0]) != std::end(forwarded);
    if (!isForwarded) continue;
    core.send(c, k.good);
    auto requests = core.serverRequests(c);
    ASSERT_EQ(requests.size(), 1u) << k.name;
    EXPECT_EQ(requests[0][0], k.good[0]) << k.name;
    // Written in the server's order: the same bytes as a native client's request.
    FakeBytes native = k.good;
    if (!big && k.good[0] != 114) {
      EXPECT_EQ(requests[0], native) << k.name;
    }
  }
  EXPECT_TRUE(core.logged("Keyboard mapping (10..11) changed by"));
  EXPECT_TRUE(core.messages(c).empty());
}

TEST_P(XcoreInputTest, RepliesGoOnWithTheClientsSequenceAndOrder) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  // GetPointerControl: accel numerator, denominator, threshold.
  core.send(c, request(c.big, 106, 0, {}));
  ASSERT_EQ(core.serverRequests(c).size(), 1u);
  FakeMessage reply = serverReply(c, 0, 0);
  reply.s(3).s(2).s(4).pad(18);
  core.feedServer(c, reply.d);
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], 1);
  EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence);
  EXPECT_EQ(c.u16(messages[0], 8), 3u);
  EXPECT_EQ(c.u16(messages[0], 10), 2u);
  EXPECT_EQ(c.u16(messages[0], 12), 4u);

  // GetModifierMapping: 2 keycodes per modifier, 16 bytes of data.
  core.send(c, request(c.big, 119, 0, {}));
  core.serverRequests(c);
  FakeMessage modifiers = serverReply(c, 2, 4);
  modifiers.pad(24);
  for (int i = 0; i < 16; i++) modifiers.b(10 + i);
  core.feedServer(c, modifiers.d);
  messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  ASSERT_EQ(messages[0].size(), 48u);
  EXPECT_EQ(messages[0][1], 2);
  EXPECT_EQ(c.u32(messages[0], 4), 4u);
  EXPECT_EQ(messages[0][32], 10);
  EXPECT_EQ(messages[0][47], 25);
}

TEST_P(XcoreInputTest, GetKeyboardMappingRepliesHoldTheRowsAsked) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  struct Case {
    uint8_t asked, given, perKeycode;
  } cases[] = {
      {2, 3, 2},  // more rows than asked: only the asked ones, nothing read past them
      {3, 1, 2},  // fewer: the rest are NoSymbol
      {2, 2, 0},  // no keysyms per keycode: the reply goes on unchanged
  };
  for (const Case &k : cases) {
    FakeMessage ask(c.big);
    ask.b(101).b(0).s(0).b(20).b(k.asked).s(0);
    core.send(c, ask.done());
    core.serverRequests(c);
    uint32_t words = uint32_t(k.given) * k.perKeycode;
    FakeMessage reply = serverReply(c, k.perKeycode, words);
    reply.pad(24);
    for (uint32_t i = 0; i < words; i++) reply.i(0x100 + i);
    core.feedServer(c, reply.d);
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    const FakeBytes &m = messages[0];
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(m[1], k.perKeycode);
    EXPECT_EQ(c.u16(m, 2), c.client->sequence);
    uint32_t rows = k.perKeycode ? k.asked : k.given;
    ASSERT_EQ(c.u32(m, 4), rows * k.perKeycode);
    ASSERT_EQ(m.size(), 32u + 4u * rows * k.perKeycode);
    for (uint32_t i = 0; i < rows * k.perKeycode; i++)
      EXPECT_EQ(c.u32(m, 32 + 4 * i), i < uint32_t(k.given) * k.perKeycode ? 0x100 + i : 0u) << i;
  }
}

TEST_P(XcoreInputTest, QueryBestSizeReplyWithoutItsRecordGoesOnUnchanged) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  FakeMessage reply = serverReply(c, 0, 0);
  reply.s(48).s(40).pad(20);
  FakeBytes bytes = reply.d;
  {
    FakeCore::Current current(c);
    xproxyCurrentDisplayConnection = c.client->displays[0];
    xcoreQueryBestSizeReply(bytes.data(), uint32_t(bytes.size()));
    xproxyCurrentDisplayConnection = nullptr;
  }
  EXPECT_TRUE(core.logged("UNE"));
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(c.u16(messages[0], 8), 48u);
  EXPECT_EQ(c.u16(messages[0], 10), 40u);
}

TEST_P(XcoreInputTest, LocalRequestsCheckTheirModes) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  FakeMessage hosts(c.big);
  hosts.b(109).b(2).s(0).b(0).b(0).s(4).b(127).b(0).b(0).b(2);
  struct Case {
    const char *name;
    FakeBytes request;
    int code;
    uint32_t badValue;
  } cases[] = {
      {"ChangeHosts mode 2", hosts.done(), 2, 2},
      {"SetAccessControl 2", request(c.big, 111, 2, {}), 2, 2},
      {"SetCloseDownMode 3", request(c.big, 112, 3, {}), 2, 3},
      {"SetCloseDownMode 2", request(c.big, 112, 2, {}), -1, 0},
  };
  for (const Case &k : cases) {
    core.send(c, k.request);
    auto messages = core.messages(c);
    if (k.code < 0) {
      EXPECT_TRUE(messages.empty()) << k.name;
      continue;
    }
    ASSERT_EQ(messages.size(), 1u) << k.name;
    ErrorSeen e = errorOf(c, messages[0]);
    EXPECT_EQ(e.code, k.code) << k.name;
    EXPECT_EQ(e.badValue, k.badValue) << k.name;
  }
  EXPECT_EQ(c.client->closeDownMode, 2);
  EXPECT_TRUE(core.logged("invalid mode"));
  // Nothing of these reaches the real server.
  EXPECT_TRUE(core.serverRequests(c).empty());
}

TEST_P(XcoreInputTest, ChangeHostsChangesTheProxysListThatListHostsShows) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  // Every client counts as local (the fake client's unconnected transport has no peer address).
  accessSetDefeated(1);
  FakeMessage insert(c.big);
  insert.b(109).b(0).s(0).b(0).b(0).s(4).b(127).b(0).b(0).b(2);
  FakeBytes insertRequest = insert.done();
  core.send(c, insertRequest);
  auto messages = core.messages(c);
  EXPECT_TRUE(messages.empty());
  FakeMessage sixBytes(c.big);
  sixBytes.b(109).b(0).s(0).b(0).b(0).s(6).b(127).b(0).b(0).b(2).b(0).b(0).s(0);
  core.send(c, sixBytes.done());
  messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(errorOf(c, messages[0]).code, 2);
  EXPECT_EQ(errorOf(c, messages[0]).badValue, 6u);
  EXPECT_TRUE(core.serverRequests(c).empty());
  // ListHosts: whatever the server lists, the client sees the proxy's list.
  core.send(c, request(c.big, 110, 0, {}));
  ASSERT_EQ(core.serverRequests(c).size(), 1u);
  FakeMessage reply = serverReply(c, 1, 2);
  reply.s(1).pad(22).b(0).b(0).s(4).b(10).b(0).b(0).b(1);
  core.feedServer(c, reply.d);
  messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  const FakeBytes &m = messages[0];
  EXPECT_EQ(c.u16(m, 2), c.client->sequence);
  bool found = false;
  for (size_t at = 32, n = 0; n < c.u16(m, 8) && at + 4 <= m.size(); n++) {
    uint32_t length = c.u16(m, at + 2);
    if (m[at] == 0 && length == 4 && at + 8 <= m.size() && m[at + 4] == 127 && m[at + 7] == 2) found = true;
    at += 4 + ((length + 3) & ~3u);
  }
  EXPECT_TRUE(found);
  insertRequest[1] = 1;  // Delete
  core.send(c, insertRequest);
  EXPECT_TRUE(core.messages(c).empty());
  accessSetDefeated(0);
  bool left = false;
  for (const HostEntry *e = accessHostList(); e; e = e->next)
    left = left || (e->length == 4 && e->address()[0] == 127 && e->address()[3] == 2);
  EXPECT_FALSE(left);
}

TEST_P(XcoreInputTest, KillClientOfTheProxysOwnIdsAnswersBadValue) {
  FakeCore core;
  MetaScreen *screen = core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  const uint32_t ids[] = {screen->root, screen->defaultColormap, c.id(9)};
  for (uint32_t id : ids) {
    if (!id) continue;
    core.send(c, request(c.big, 113, 0, {id}));
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    ErrorSeen e = errorOf(c, messages[0]);
    EXPECT_EQ(e.code, 2);
    EXPECT_EQ(e.badValue, id);
  }
  // The root is still there for new windows.
  EXPECT_NE(resourceLookupWindow(screen->root), nullptr);
  ASSERT_NE(c.client, nullptr);
  EXPECT_EQ(c.client->reader.bytesNeeded == kReaderStopped, false);
}

TEST_P(XcoreInputTest, KillClientClosesTheOwnerOrMarksItself) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &killer = core.addClient(GetParam());
  FakeClient &victim = core.addClient(!GetParam());
  {
    FakeCore::Current current(victim);
    ASSERT_NE(resourceCreateCursor(victim.id(3), 1), nullptr);
  }
  {
    FakeCore::Current current(killer);
    ASSERT_NE(resourceCreateCursor(killer.id(4), 1), nullptr);
  }
  int victimFd = victim.client->fd;
  core.send(killer, request(killer.big, 113, 0, {victim.id(3)}));
  EXPECT_TRUE(core.logged("reason=KillClient"));
  EXPECT_EQ(resourceLookupAny(victim.id(3)), nullptr);
  forget(victim, victimFd);
  EXPECT_TRUE(core.messages(killer).empty());
  // The killer's own id: it is closed after the request.
  core.send(killer, request(killer.big, 113, 0, {killer.id(4)}));
  EXPECT_EQ(killer.client->reader.bytesNeeded, kReaderStopped);
  EXPECT_STREQ(killer.client->reader.stopReason, "client killed");
}

TEST_P(XcoreInputTest, KillClientAllTemporaryFreesRetainedTemporaryClientsOnly) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &killer = core.addClient(GetParam());
  FakeClient &temporaryA = core.addClient(GetParam());
  FakeClient &temporaryB = core.addClient(!GetParam());
  FakeClient &permanent = core.addClient(GetParam());
  struct Retained {
    FakeClient *client;
    uint8_t mode;
    int fd;
  } retained[] = {{&temporaryA, 2, -1}, {&temporaryB, 2, -1}, {&permanent, 1, -1}};
  for (Retained &r : retained) {
    core.send(*r.client, request(r.client->big, 112, r.mode, {}));
    {
      FakeCore::Current current(*r.client);
      ASSERT_NE(resourceCreateCursor(r.client->id(1), 1), nullptr);
    }
    r.fd = r.client->client->fd;
    xproxyCloseClient(r.client->client, "test leaves", 1);
    ASSERT_EQ(r.client->client->retained, 1) << int(r.mode);
    close(r.fd);
  }
  core.send(killer, request(killer.big, 113, 0, {0}));
  EXPECT_EQ(resourceLookupAny(temporaryA.id(1)), nullptr);
  EXPECT_EQ(resourceLookupAny(temporaryB.id(1)), nullptr);
  EXPECT_NE(resourceLookupAny(permanent.id(1)), nullptr);
  EXPECT_NE(xproxyClientByIndex(permanent.index), nullptr);
  EXPECT_EQ(xproxyClientByIndex(temporaryA.index), nullptr);
  forget(temporaryA, -1);
  forget(temporaryB, -1);
  // The permanent one goes with a KillClient of its id.
  core.send(killer, request(killer.big, 113, 0, {permanent.id(1)}));
  EXPECT_EQ(resourceLookupAny(permanent.id(1)), nullptr);
  EXPECT_EQ(xproxyClientByIndex(permanent.index), nullptr);
  forget(permanent, -1);
  EXPECT_TRUE(core.messages(killer).empty());
}

TEST_P(XcoreInputTest, CursorRequestsCheckTheirResources) {
  FakeCore core;
  MetaScreen *screen = core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  {
    FakeCore::Current current(c);
    ASSERT_NE(resourceCreatePixmap(c.id(1), screen, nullptr, 16, 16, 1), nullptr);
    ASSERT_NE(resourceCreatePixmap(c.id(2), screen, nullptr, 8, 16, 1), nullptr);
    ASSERT_NE(resourceCreatePixmap(c.id(3), screen, nullptr, 16, 16, 8), nullptr);
    ASSERT_NE(resourceCreateCursor(c.id(4), 1), nullptr);
  }
  struct Case {
    const char *name;
    FakeBytes request;
    int code;
    uint32_t badValue;
    const char *detail;
  } cases[] = {
      {"no source", request(c.big, 93, 0, {c.id(10), c.id(9), 0, 0, 0, 0, 0}), 4, c.id(9), "invalid src pixmap"},
      {"deep source", request(c.big, 93, 0, {c.id(10), c.id(3), 0, 0, 0, 0, 0}), 8, 0, "bad src pixmap usage"},
      {"hot spot outside", request(c.big, 93, 0, {c.id(10), c.id(1), 0, 0, 0, 0, c.big ? 17u << 16 : 17u}), 8, 0,
       "bad src pixmap usage"},
      {"no mask", request(c.big, 93, 0, {c.id(10), c.id(1), c.id(9), 0, 0, 0, 0}), 4, c.id(9), "invalid mask pixmap"},
      {"mask of another size", request(c.big, 93, 0, {c.id(10), c.id(1), c.id(2), 0, 0, 0, 0}), 8, 0,
       "invalid mask pixmap usage"},
      {"id in use", request(c.big, 93, 0, {c.id(4), c.id(1), c.id(1), 0, 0, 0, 0}), 14, c.id(4), nullptr},
      {"no source font", request(c.big, 94, 0, {c.id(10), c.id(9), 0, 0, 0, 0, 0}), 7, c.id(9), nullptr},
      {"unknown cursor freed", request(c.big, 95, 0, {c.id(9)}), 6, c.id(9), nullptr},
      {"unknown cursor recoloured", request(c.big, 96, 0, {c.id(9), 0, 0, 0}), 6, c.id(9), nullptr},
  };
  for (const Case &k : cases) {
    core.clearLog();
    core.send(c, k.request);
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u) << k.name;
    ErrorSeen e = errorOf(c, messages[0]);
    EXPECT_EQ(e.code, k.code) << k.name;
    EXPECT_EQ(e.badValue, k.badValue) << k.name;
    if (k.detail) {
      EXPECT_TRUE(core.logged(k.detail)) << k.name;
    }
  }
  EXPECT_TRUE(core.serverRequests(c).empty());
}

TEST_P(XcoreInputTest, CursorsAreRecolouredAndFreedOnEveryHead) {
  FakeCore core;
  core.addScreen(320, 200, 2);
  FakeClient &c = core.addClient(GetParam());
  CursorRecord *cursor;
  {
    FakeCore::Current current(c);
    cursor = resourceCreateCursor(c.id(4), 1);
    ASSERT_NE(cursor, nullptr);
    // Source and mask are one bit array: released once.
    cursor->images[0].data = static_cast<char *>(calloc(1, 2));
    cursor->images[0].mask = cursor->images[0].data;
  }
  core.send(c, request(c.big, 96, 0, {c.id(4), c.big ? 0x11112222u : 0x22221111u, c.big ? 0x33334444u : 0x44443333u,
                                      c.big ? 0x55556666u : 0x66665555u}));
  EXPECT_EQ(cursor->foreRed, 0x1111);
  EXPECT_EQ(cursor->foreBlue, 0x3333);
  EXPECT_EQ(cursor->backBlue, 0x6666);
  EXPECT_EQ(core.serverRequests(c).size(), 2u);
  core.send(c, request(c.big, 95, 0, {c.id(4)}));
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0][0], 95);
  EXPECT_EQ(resourceLookupAny(c.id(4)), nullptr);
  EXPECT_TRUE(core.messages(c).empty());
}

TEST_P(XcoreInputTest, ACursorIsBuiltOnAHeadScaledByItsZoom) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  Head *head = core.heads()[0];
  struct Case {
    double zoom;
    bool sharedMask;
  } cases[] = {{1, true}, {2, false}};
  for (const Case &k : cases) {
    head->zoomX = head->zoomY = k.zoom;
    FakeCore::Current current(c);
    CursorRecord *cursor = resourceCreateCursor(c.id(20), 1);
    ASSERT_NE(cursor, nullptr);
    XrcImage &image = cursor->images[0];
    image.width = 8, image.height = 2, image.depth = 1;
    image.data = static_cast<char *>(calloc(1, 2));
    image.data[0] = 0x0f;
    image.mask = k.sharedMask ? image.data : static_cast<char *>(calloc(1, 2));
    cursor->xHot = 3, cursor->yHot = 1;
    ASSERT_EQ(mainCreateCursorOnHead(cursor, c.client, &c.client->displays[0]->reader.sink, 0x1234, head), 1);
    auto requests = core.serverRequests(c);
    std::string opcodes;
    for (const FakeBytes &r : requests) opcodes += std::to_string(r[0]) + " ";
    EXPECT_EQ(opcodes, k.sharedMask ? "53 55 72 60 93 54 " : "53 55 72 60 53 55 72 60 93 54 54 ");
    const FakeBytes &create = requests[0];  // written in this machine's order
    uint16_t width, height;
    memcpy(&width, &create[12], 2);
    memcpy(&height, &create[14], 2);
    EXPECT_EQ(width, 8 * k.zoom);
    EXPECT_EQ(height, 2 * k.zoom);
    const FakeBytes &made = requests[k.sharedMask ? 4 : 8];
    uint32_t source, mask;
    memcpy(&source, &made[8], 4);
    memcpy(&mask, &made[12], 4);
    EXPECT_EQ(source == mask, k.sharedMask);
    uint16_t hotX, hotY;
    memcpy(&hotX, &made[28], 2);
    memcpy(&hotY, &made[30], 2);
    EXPECT_EQ(hotX, 3 * k.zoom);
    EXPECT_EQ(hotY, 1 * k.zoom);
    resourceFree(c.id(20), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, XcoreInputTest, ::testing::Values(false, true));

}  // namespace
