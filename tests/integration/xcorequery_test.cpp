// The core query handlers against an Xvfb whose two screens are the two heads of one meta
// screen, in both byte orders: each reply is compared with what the Xvfb answers a plain
// client of the same byte order directly, apart from what the proxy maps (sequence numbers,
// the heads' windows and colormaps, client ids, extension codes).
#include "twohead_fixture.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"

namespace {

class QueryTest : public TwoHeadTest {
 protected:
  void SetUp() override {
    TwoHeadTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(direct.connect(xvfb.displayNumber(), big() ? 'B' : 'l'), "");
    // The second head east of the first, as the head geometry would place it: the meta screen
    // twice as wide, each head's window for the root of its size at minus the head's origin.
    heads[1]->rect.x = int32_t(heads[0]->rect.width);
    screen->width = heads[0]->rect.width + heads[1]->rect.width;
    static_cast<WindowRecord *>(resourceLookupWindow(screen->root))->width = uint16_t(screen->width);
    for (Head *h : heads) {
      XMoveResizeWindow(h->display, Window(h->rootWindow), -h->rect.x, -h->rect.y, screen->width, screen->height);
      XSync(h->display, False);
    }
  }
  void TearDown() override {
    direct.close();
    extResetAll();
    TwoHeadTest::TearDown();
  }

  // The Xvfb's own answer to a request.
  RawBytes directAnswer(const RawBytes &request) {
    RawBytes answer;
    EXPECT_EQ(direct.roundTrip(request, answer), "");
    return answer;
  }
  // A proxy reply: a reply with the client's sequence number.
  RawBytes proxyReply(const RawBytes &request) {
    RawBytes m = answer(request);
    EXPECT_EQ(m.at(0), 1) << "error " << int(m.at(1));
    EXPECT_EQ(u16(m, 2), client->sequence & 0xffff);
    return m;
  }
  // Equal bytes but for the sequence number.
  void expectSameButSequence(const RawBytes &proxy, const RawBytes &real) {
    ASSERT_EQ(proxy.size(), real.size());
    for (size_t i = 0; i < proxy.size(); i++) {
      if (i != 2 && i != 3) {
        EXPECT_EQ(proxy[i], real[i]) << "byte " << i;
      }
    }
  }
  // A client window made as the window requests would: a record in the proxy, a copy on each
  // head inside the head's window that stands for the root.
  uint32_t makeWindow(uint32_t n, int16_t x, int16_t y, uint16_t width, uint16_t height, Head *only = nullptr) {
    uint32_t id = clientId(n);
    WindowRecord *window = windowCreateRecord(id, screen, screen->rootVisual);
    EXPECT_NE(window, nullptr);
    if (!window) return id;
    window->windowClass = 1;
    window->x = x, window->y = y, window->width = width, window->height = height;
    window->bitGravity = 5;
    window->windowGravity = 7;
    for (Head *h : heads) {
      if (only && h != only) continue;
      uint8_t create[32] = {1, 0, 8, 0};
      uint32_t serverId = resourceServerId(id, kResourceWindow, h), parent = uint32_t(h->rootWindow);
      memcpy(create + 4, &serverId, 4);
      memcpy(create + 8, &parent, 4);
      int16_t geometry[4] = {x, y, int16_t(width), int16_t(height)};
      memcpy(create + 12, geometry, 8);
      create[22] = 2;  // InputOnly: no depth, visual or colormap needed
      EXPECT_NE(xproxySendRequest(create, sizeof create, connection), nullptr);
      uint8_t map[8] = {8, 0, 2, 0};
      memcpy(map + 4, &serverId, 4);
      EXPECT_NE(xproxySendRequest(map, sizeof map, connection), nullptr);
    }
    sync();
    return id;
  }

  RawClient direct;
};

TEST_P(QueryTest, AtomsPassThrough) {
  auto intern = [&](const std::string &name, bool onlyIfExists) {
    return request().b(16).b(onlyIfExists).s(0).s(uint16_t(name.size())).s(0).text(name).done();
  };
  for (const std::string &name : {std::string("WM_NAME"), std::string("TARVO_QUERY_TEST_ATOM")}) {
    SCOPED_TRACE(name);
    RawBytes mine = proxyReply(intern(name, false));
    expectSameButSequence(mine, directAnswer(intern(name, true)));
    uint32_t atom = u32(mine, 8);
    ASSERT_NE(atom, 0u);
    RawBytes back = proxyReply(request().b(17).b(0).s(0).i(atom).done());
    expectSameButSequence(back, directAnswer(request().b(17).b(0).s(0).i(atom).done()));
    ASSERT_EQ(u16(back, 8), name.size());
    EXPECT_EQ(std::string(back.begin() + 32, back.begin() + 32 + long(name.size())), name);
  }
  // An atom the server does not know comes back as its BadAtom.
  RawBytes error = answer(request().b(17).b(0).s(0).i(0x7ffffff).done());
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], BadAtom);
  EXPECT_EQ(u16(error, 2), client->sequence & 0xffff);
  EXPECT_EQ(u32(error, 4), 0x7ffffffu);
}

TEST_P(QueryTest, RootPropertiesAreTheRealRootsInEveryFormat) {
  // The head's window standing for the root holds the real root's properties; values of
  // formats 16 and 32 set there come back swapped by their items.
  Window inner = Window(heads[0]->rootWindow);
  Atom shorts = XInternAtom(judge, "TARVO_SHORTS", False), words = XInternAtom(judge, "TARVO_WORDS", False);
  const short shortValues[3] = {0x0102, 0x0304, -2};
  const long wordValues[2] = {0x01020304, 0x7f00ff00};
  XChangeProperty(judge, inner, shorts, XA_INTEGER, 16, PropModeReplace,
                  reinterpret_cast<const unsigned char *>(shortValues), 3);
  XChangeProperty(judge, inner, words, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char *>(wordValues), 2);
  XSync(judge, False);
  Atom rules = XInternAtom(judge, "_XKB_RULES_NAMES", False);
  for (Atom property : {rules, shorts, words}) {
    SCOPED_TRACE(property);
    auto get = [&](uint32_t window) {
      return request().b(20).b(0).s(0).i(window).i(uint32_t(property)).i(0).i(0).i(100).done();
    };
    RawBytes mine = proxyReply(get(screen->root));
    RawBytes real = directAnswer(get(uint32_t(property == rules ? heads[0]->root : inner)));
    EXPECT_GT(u32(mine, 16), 0u);  // a value came
    expectSameButSequence(mine, real);
  }
  // The list of the root's properties is the real root's, and holds the two set above.
  RawBytes mine = proxyReply(request().b(21).b(0).s(0).i(screen->root).done());
  RawBytes real = directAnswer(request().b(21).b(0).s(0).i(uint32_t(inner)).done());
  expectSameButSequence(mine, real);
  int found = 0;
  for (uint32_t i = 0; i < u16(mine, 8); i++) found += u32(mine, 32 + 4 * i) == shorts || u32(mine, 32 + 4 * i) == words;
  EXPECT_EQ(found, 2);
  // A window the server does not know: its BadWindow, with the client's id.
  RawBytes error = answer(request().b(21).b(0).s(0).i(clientId(0x66)).done());
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], BadWindow);
  EXPECT_EQ(u32(error, 4), clientId(0x66));
}

TEST_P(QueryTest, RootGeometryAttributesAndTreeDescribeTheMetaScreen) {
  RawBytes geometry = proxyReply(request().b(14).b(0).s(0).i(screen->root).done());
  RawBytes realGeometry = directAnswer(request().b(14).b(0).s(0).i(uint32_t(heads[0]->root)).done());
  EXPECT_EQ(geometry[1], realGeometry[1]);  // depth
  EXPECT_EQ(u32(geometry, 8), screen->root);
  EXPECT_EQ(u32(geometry, 12), 0u);  // x, y
  EXPECT_EQ(u16(geometry, 16), screen->width);
  EXPECT_EQ(u16(geometry, 18), screen->height);
  EXPECT_EQ(u16(geometry, 20), 0u);  // border
  EXPECT_EQ(screen->width, 640u);  // the two heads side by side

  // A root visual that the first head emulates: its server reports the base depth, the
  // client gets the meta visual's; a depth the head's visual does not explain stays.
  VisualRecord *meta = screen->rootVisual;
  VisualRecord *own = xproxyHeadVisual(heads[0], meta);
  ASSERT_NE(own, nullptr);
  const VisualRecord savedMeta = *meta, savedOwn = *own;
  struct DepthCase {
    uint8_t baseDepth, expected;
  };
  for (const DepthCase &c : {DepthCase{24, 8}, DepthCase{16, 24}}) {
    meta->depth = 8;
    own->baseVisualId = own->visualId;
    own->baseDepth = c.baseDepth;
    RawBytes emulated = proxyReply(request().b(14).b(0).s(0).i(screen->root).done());
    EXPECT_EQ(emulated[1], c.expected) << int(c.baseDepth);
  }
  *meta = savedMeta;
  *own = savedOwn;

  RawBytes attributes = proxyReply(request().b(3).b(0).s(0).i(screen->root).done());
  RawBytes realAttributes = directAnswer(request().b(3).b(0).s(0).i(uint32_t(heads[0]->root)).done());
  ASSERT_EQ(attributes.size(), 44u);
  EXPECT_EQ(u32(attributes, 8), screen->rootVisual->visualId);
  EXPECT_EQ(u32(attributes, 28), screen->defaultColormap);
  for (size_t at : {12, 13, 14, 15, 26}) EXPECT_EQ(attributes[at], realAttributes[at]) << at;  // class, gravities, map state
  EXPECT_EQ(u32(attributes, 36), 0u);  // this client selected nothing

  RawBytes tree = proxyReply(request().b(15).b(0).s(0).i(screen->root).done());
  EXPECT_EQ(u32(tree, 8), screen->root);
  EXPECT_EQ(u32(tree, 12), 0u);  // no parent
  EXPECT_EQ(u16(tree, 16), 0u);  // no client windows yet

  // An unknown window: refused by the proxy, nothing written.
  uint32_t written = 0;
  RawBytes error = answer(request().b(3).b(0).s(0).i(clientId(0x70)).done(), &written);
  EXPECT_EQ(error[1], BadWindow);
  EXPECT_EQ(u32(error, 4), clientId(0x70));
  EXPECT_LE(written, 1u);  // at most the round trip ordering the error
  // A drawable unknown to the server: its BadDrawable, with the client's id.
  error = answer(request().b(14).b(0).s(0).i(clientId(0x71)).done());
  EXPECT_EQ(error[1], BadDrawable);
  EXPECT_EQ(u32(error, 4), clientId(0x71));
}

TEST_P(QueryTest, ClientWindowsComeBackWithTheClientsIds) {
  uint32_t window = makeWindow(5, 300, 10, 60, 40);
  RawBytes tree = proxyReply(request().b(15).b(0).s(0).i(screen->root).done());
  ASSERT_EQ(u16(tree, 16), 1u);
  EXPECT_EQ(u32(tree, 32), window);
  tree = proxyReply(request().b(15).b(0).s(0).i(window).done());
  EXPECT_EQ(u32(tree, 8), screen->root);
  EXPECT_EQ(u32(tree, 12), screen->root);

  RawBytes attributes = proxyReply(request().b(3).b(0).s(0).i(window).done());
  EXPECT_EQ(attributes[14], 5);  // bit gravity of the proxy's record
  EXPECT_EQ(attributes[15], 7);  // window gravity
  EXPECT_EQ(u16(attributes, 12), 2u);  // InputOnly, as the server says

  RawBytes geometry = proxyReply(request().b(14).b(0).s(0).i(window).done());
  EXPECT_EQ(u32(geometry, 8), screen->root);
  EXPECT_EQ(u16(geometry, 12), 300u);
  EXPECT_EQ(u16(geometry, 16), 60u);

  // A point on the second head is translated there: the child is that head's copy, mapped back.
  // (A window that only the second head's server holds shows which head was asked.)
  uint32_t onSecond = makeWindow(6, 400, 100, 50, 50, heads[1]);
  struct Case {
    int16_t x, y;
    uint32_t child;
  };
  ASSERT_EQ(heads[1]->rect.x, 320);
  for (const Case &c : {Case{330, 20, window}, Case{310, 15, window}, Case{100, 100, 0}, Case{500, 100, 0},
                       Case{410, 110, onSecond}}) {
    SCOPED_TRACE(c.x);
    RawBytes translated = proxyReply(request().b(40).b(0).s(0).i(screen->root).i(screen->root).s(c.x).s(c.y).done());
    EXPECT_EQ(translated[1], 1);  // same screen
    EXPECT_EQ(u32(translated, 8), c.child);
    EXPECT_EQ(int16_t(u16(translated, 12)), c.x);
    EXPECT_EQ(int16_t(u16(translated, 14)), c.y);
  }
  RawBytes inside = proxyReply(request().b(40).b(0).s(0).i(screen->root).i(window).s(330).s(20).done());
  EXPECT_EQ(u32(inside, 8), 0u);
  EXPECT_EQ(int16_t(u16(inside, 12)), 30);
  EXPECT_EQ(int16_t(u16(inside, 14)), 10);
}

TEST_P(QueryTest, InputFocusNamesTheMetaRoot) {
  RawBytes mine = proxyReply(request().b(43).b(0).s(0).done());
  expectSameButSequence(mine, directAnswer(request().b(43).b(0).s(0).done()));
  XSetInputFocus(judge, Window(heads[0]->rootWindow), RevertToParent, CurrentTime);
  XSync(judge, False);
  mine = proxyReply(request().b(43).b(0).s(0).done());
  EXPECT_EQ(mine[1], RevertToParent);
  EXPECT_EQ(u32(mine, 8), screen->root);
}

TEST_P(QueryTest, ExtensionsAreTheProxysOwn) {
  // The proxy offers BIG-REQUESTS (with codes of its own) and an extension the server lacks.
  ExtensionRecord *big = &proxyState.extensions[140];
  big->firstEvent = 90;
  big->firstError = 200;
  ASSERT_EQ(extRegister(big, "BIG-REQUESTS", 0, 0), nullptr);
  ASSERT_EQ(extRegister(&proxyState.extensions[141], "TARVO-ONLY", 0, 0), nullptr);
  auto query = [&](const std::string &name) {
    return request().b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).done();
  };
  struct Case {
    const char *name;
    uint8_t present, major, event, error;
  };
  for (const Case &c : {Case{"BIG-REQUESTS", 1, 140, 90, 200}, Case{"TARVO-ONLY", 1, 141, 0, 0},
                        Case{"RENDER", 0, 0, 0, 0}, Case{"big-requests", 0, 0, 0, 0}}) {
    SCOPED_TRACE(c.name);
    RawBytes mine = proxyReply(query(c.name));
    RawBytes real = directAnswer(query(c.name));
    EXPECT_EQ(mine[8], c.present);
    EXPECT_EQ(mine[9], c.major);
    EXPECT_EQ(mine[10], c.event);
    EXPECT_EQ(mine[11], c.error);
    EXPECT_EQ(u32(mine, 4), u32(real, 4));
  }
  EXPECT_NE(directAnswer(query("RENDER"))[8], 0);  // the server has it; the proxy does not offer it

  RawBytes list = proxyReply(request().b(99).b(0).s(0).done());
  EXPECT_EQ(list[1], 2);
  std::string names(list.begin() + 32, list.end());
  EXPECT_EQ(names, std::string("\x0c" "BIG-REQUESTS" "\x0a" "TARVO-ONLY", 24));

  // A name longer than the request: BadLength with the received length.
  RawBytes shortened = query("BIG-REQUESTS");
  shortened.resize(16);
  uint32_t written = 0;
  RawBytes error = answer(shortened, &written);
  EXPECT_EQ(error[1], BadLength);
  EXPECT_EQ(u32(error, 4), 16u);
  EXPECT_LE(written, 1u);
}

TEST_P(QueryTest, KeyboardMappingHasTheRowsAsked) {
  const uint8_t first = 8;
  for (uint8_t count : {1, 10, 100}) {
    SCOPED_TRACE(count);
    RawBytes ask = request().b(101).b(0).s(0).b(first).b(count).s(0).done();
    RawBytes mine = proxyReply(ask);
    RawBytes real = directAnswer(ask);
    ASSERT_EQ(mine[1], real[1]);  // keysyms per keycode
    uint32_t perRow = mine[1];
    ASSERT_GT(perRow, 0u);
    ASSERT_EQ(mine.size(), 32 + 4 * perRow * count);
    EXPECT_EQ(mine.size(), real.size());
    for (uint32_t row = 0; row < count; row++)
      for (uint32_t k = 0; k < 2 && k < perRow; k++)
        EXPECT_EQ(u32(mine, 32 + 4 * (row * perRow + k)), u32(real, 32 + 4 * (row * perRow + k))) << row;
  }
  // The server's BadValue for a keycode below its range.
  RawBytes error = answer(request().b(101).b(0).s(0).b(1).b(1).s(0).done());
  EXPECT_EQ(error[1], BadValue);
}

TEST_P(QueryTest, BestSizeOfCursorsFitsEveryHead) {
  auto ask = [&](uint8_t shapeClass, uint32_t drawable, uint16_t w, uint16_t h) {
    return request().b(97).b(shapeClass).s(0).i(drawable).s(w).s(h).done();
  };
  uint32_t realRoot = uint32_t(heads[0]->root);
  // Tiles and stipples: the server's answer.
  for (uint8_t shapeClass : {1, 2}) {
    RawBytes mine = proxyReply(ask(shapeClass, screen->root, 13, 7));
    expectSameButSequence(mine, directAnswer(ask(shapeClass, realRoot, 13, 7)));
  }
  // Cursors: the same as the server's while no head zooms ...
  RawBytes mine = proxyReply(ask(0, screen->root, 200, 200));
  expectSameButSequence(mine, directAnswer(ask(0, realRoot, 200, 200)));
  // ... and the smaller size a zoomed head can show: 2x zoom asks it for 400x400, which its
  // 320x240 screen cuts to 320x240, 160x120 of the meta screen's pixels.
  heads[1]->zoomX = heads[1]->zoomY = 2.0;
  mine = proxyReply(ask(0, screen->root, 200, 200));
  EXPECT_EQ(u16(mine, 8), 160u);
  EXPECT_EQ(u16(mine, 10), 120u);
  heads[1]->zoomX = heads[1]->zoomY = 1.0;
}

TEST_P(QueryTest, WrongLengthsAreRefusedAndCounted) {
  struct Case {
    uint8_t opcode;
    size_t length;  // a length the request may not have
  };
  const Case cases[] = {{3, 12}, {14, 4}, {15, 12}, {16, 4}, {17, 12}, {20, 20}, {21, 4},
                        {40, 12}, {43, 8}, {97, 8}, {98, 4}, {99, 8}, {101, 4}};
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.opcode));
    RawBytes bytes = request().b(c.opcode).b(0).s(0).done();
    bytes.resize(c.length, 0);
    uint32_t written = 0, sequence = client->sequence;
    RawBytes error = answer(bytes, &written);
    EXPECT_EQ(client->sequence, sequence + 1);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(error[1], BadLength);
    EXPECT_EQ(u32(error, 4), c.length);
    EXPECT_EQ(error[10], c.opcode);
    EXPECT_LE(written, 1u);
  }
}

TEST_P(QueryTest, RepliesShorterThanTheirFieldsAreNotWrittenPast) {
  // The handlers meet replies of 32 bytes (a server's length word of 0) whose fields would lie
  // beyond them, and a tree reply announcing more children than it holds. Each reply is handed
  // over in a buffer of exactly its size (the address sanitizer watches the end) while the
  // request's record waits, as the server input would when such a reply arrived.
  struct Case {
    RawBytes request;
    ReplyHandler handler;
    uint16_t children;
  };
  const Case cases[] = {
      {request().b(3).b(0).s(0).i(screen->root).done(), xcoreGetWindowAttributesReply, 0},
      {request().b(15).b(0).s(0).i(screen->root).done(), xcoreQueryTreeReply, 1000},
      {request().b(14).b(0).s(0).i(screen->root).done(), xcoreGetGeometryReply, 0},
      {request().b(101).b(0).s(0).b(8).b(4).s(0).done(), xcoreGetKeyboardMappingReply, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.request[0]));
    send(c.request);
    uint32_t asked = client->sequence;
    auto *reply = static_cast<uint8_t *>(calloc(32, 1));
    reply[0] = 1;
    reply[1] = 7;  // keysyms per keycode of the keyboard mapping
    memcpy(reply + 16, &c.children, 2);
    xproxyCurrentClient = client;
    xproxyCurrentDisplayConnection = connection;
    connection->sequenceHandled = connection->lastWrittenSequence;
    client->replySequence = uint16_t(asked);
    c.handler(reply, 32);
    xproxyCurrentClient = nullptr;
    xproxyCurrentDisplayConnection = nullptr;
    free(reply);
    // The client gets the short reply (the keyboard mapping rebuilt with the rows asked), then
    // the server's own reply finds no record and is passed on as it came.
    auto m = messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0][0], 1);
    EXPECT_EQ(u16(m[0], 2), asked & 0xffff);
    EXPECT_EQ(m[0].size(), c.request[0] == 101 ? 32 + 4 * 7 * 4u : 32u);
    EXPECT_EQ(m[1][0], 1);
    EXPECT_EQ(u16(m[1], 2), asked & 0xffff);
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, QueryTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
