// The request frame, server id translation and the error handlers against an Xvfb whose two
// screens are the two heads of one meta screen. A fake client (a record with a real display
// connection, its output read from a socketpair) talks in either byte order to a few
// handlers built from the frame: a query forwarded once, a creator copied per head and a
// local refusal.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xlibint.h>
#undef min
#undef max
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/streams.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"
#include "xext/byteswap.h"
#include "twohead_fixture.h"
#include "xvfb_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> &logLines = twoHeadLogLines();

// A request in the client's byte order.
struct Request {
  Bytes bytes;
  bool big;
  explicit Request(bool big) : big(big) {}
  Request &b(uint32_t v) { bytes.push_back(uint8_t(v)); return *this; }
  Request &s(uint32_t v) {
    for (int i = 0; i < 2; i++) bytes.push_back(uint8_t(v >> (8 * (big ? 1 - i : i))));
    return *this;
  }
  Request &i(uint32_t v) {
    for (int k = 0; k < 4; k++) bytes.push_back(uint8_t(v >> (8 * (big ? 3 - k : k))));
    return *this;
  }
  // Fills in the length field from the bytes present.
  Bytes done() {
    Bytes out = bytes;
    uint16_t words = uint16_t(out.size() / 4);
    out[2] = uint8_t(big ? words >> 8 : words);
    out[3] = uint8_t(big ? words : words >> 8);
    return out;
  }
};

// ----- The test-only handlers, built from the frame -----

constexpr uint8_t kGetGeometry = 14, kCreatePixmap = 53, kFreePixmap = 54, kDestroyWindow = 4;

// GetGeometry: forwarded once, the drawable patched for the first head of its meta screen; the
// reply's root comes back as the meta root.
Head *queryHead;
void testGetGeometry(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id;
  memcpy(&id, request + 4, 4);
  if (!xcoreFrameResolve(id, kXcoreWantDrawable, 9, request, length)) return;
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) return;
  queryHead = xcoreFrameChooseHead(XcoreHeadChoice::FirstOfResource);
  uint32_t serverId = resourceServerId(id, xproxyCurrentClient->cachedType, queryHead);
  memcpy(copy + 4, &serverId, 4);
}
void testGetGeometryReply(uint8_t *reply, uint32_t length) {
  uint32_t root;
  memcpy(&root, reply + 8, 4);
  root = mainHeadXidToProxy(1, root, queryHead);
  memcpy(reply + 8, &root, 4);
  xcoreFrameWriteReply(reply, length, "bbsiisssss");
}

// CreatePixmap: one copy per head with the head's ids; `sabotagedHead` gets a copy of width 0
// (which its server refuses), `refusingHead` no copy at all (the builder fails).
Head *sabotagedHead, *refusingHead;
bool sabotageAll;
int pixmapCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *) {
  if (head == refusingHead) return 0;
  static const XcoreIdField fields[] = {{4, kResourcePixmap}, {8, kResourceWindow}, {0, 0}};
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, fields);
  if (!copy) return 0;
  if (head == sabotagedHead || sabotageAll) memset(copy + 12, 0, 2);
  return 1;
}
void testCreatePixmap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id, drawable;
  uint16_t width, height;
  memcpy(&id, request + 4, 4);
  memcpy(&drawable, request + 8, 4);
  memcpy(&width, request + 12, 2);
  memcpy(&height, request + 14, 2);
  if (!xcoreFrameNewId(id, request, length)) return;
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable, 9, request, length)) return;
  if (request[1] != 24) {
    xprotoSendError(2, request[1], request, length, nullptr);  // BadValue
    return;
  }
  MetaScreen *screen = xproxyCurrentClient->cachedScreen;
  if (!resourceCreatePixmap(id, screen, screen->rootVisual, width, height, 24)) return;
  xcoreFramePerHead(request, length, id, pixmapCopy, nullptr);
}

// DestroyWindow of a meta root: refused locally.
void testDestroyWindow(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id;
  memcpy(&id, request + 4, 4);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, 3, request, length)) return;
  MetaScreen *screen = xproxyCurrentClient->cachedScreen;
  if (xproxyCurrentClient->cachedType == kResourceHeadRoot || (screen && id == screen->root))
    xcoreFrameRefuse(kXcoreNoEffectRoot, request);
}

// Any other request goes to the first head unchanged (the error tests send requests the
// server refuses). The requests sent to it are a header and whole 32-bit words.
constexpr auto testPassOn = twoHeadPassOn;

// SetInputFocus, written as a GetInputFocus recorded under SetInputFocus: the server's reply
// arrives for a request that has none.
DisplayConnection *testConnection;
void testReplyForSetInputFocus(uint8_t *, uint32_t) {
  uint8_t *at = xproxyBeginRequest(testConnection, 42, 0, 4);
  if (at) at[0] = 43;
}

class FrameTest : public TwoHeadTest {
 protected:
  void installHandlers() override {
    proxyState.requestHandlers[kGetGeometry] = testGetGeometry;
    proxyState.replyHandlers[kGetGeometry] = testGetGeometryReply;
    proxyState.requestHandlers[kCreatePixmap] = testCreatePixmap;
    proxyState.requestHandlers[kDestroyWindow] = testDestroyWindow;
    for (uint8_t op : {1, 2, 8, 26, 113, 42, 98, 55, 54}) proxyState.requestHandlers[op] = testPassOn;
  }
  void SetUp() override {
    TwoHeadTest::SetUp();
    testConnection = connection;
  }
  void send(const Bytes &request) { TwoHeadTest::send(request); }
  // Whether the real server of a head knows a pixmap.
  bool pixmapExists(Head *head, uint32_t id) {
    static int errors;
    errors = 0;
    auto *previous = XSetErrorHandler([](Display *, XErrorEvent *) { return ++errors, 0; });
    Window root;
    int x, y;
    unsigned w, h, b, d;
    (void)head;
    XGetGeometry(judge, id, &root, &x, &y, &w, &h, &b, &d);
    XSync(judge, False);
    XSetErrorHandler(previous);
    return errors == 0;
  }
};

TEST_P(FrameTest, ServerIdsTranslateToProxyIds) {
  ServerDisplay *display = mainServerDisplays;
  for (Head *h : heads) {
    SCOPED_TRACE(h->screen);
    EXPECT_EQ(mainServerToProxyXid(h->root, display), screen->root);
    EXPECT_EQ(mainServerToProxyXid(h->innerWindow, display), screen->root);
    EXPECT_EQ(mainServerToProxyXid(h->outerWindow, display), 0u);
    EXPECT_EQ(mainServerToProxyXid(h->middleWindow, display), 0u);
    EXPECT_EQ(mainServerToProxyXid(h->defaultColormap, display), screen->defaultColormap);
    if (h->shadowColormap) {
      EXPECT_EQ(mainServerToProxyXid(h->shadowColormap, display), screen->defaultColormap);
    }
    EXPECT_EQ(mainHeadXidToProxy(1, h->root, h), screen->root);
    EXPECT_EQ(mainHeadXidToProxy(5, h->defaultColormap, h), screen->defaultColormap);
    for (uint32_t id : {0u, 1u}) {
      EXPECT_EQ(mainServerToProxyXid(id, display), id);
      EXPECT_EQ(mainHeadXidToProxy(1, id, h), id);
    }
    ASSERT_GT(screen->visualCount, 0u);
    ASSERT_NE(h->visualMap[0], nullptr);
    EXPECT_EQ(mainHeadXidToProxy(4, h->visualMap[0]->visualId, h), screen->visuals[0].visualId);
    EXPECT_EQ(mainHeadOfServerXid(h->root, display), h);
    EXPECT_EQ(mainHeadOfServerXid(h->innerWindow, display), h);
    EXPECT_EQ(mainHeadOfServerXid(h->outerWindow, display), h);
  }
  // A client's pixmap, created on both heads, comes back from either head's id.
  uint32_t pixmap = clientId(7);
  uint32_t before = requestsSent();
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(8).s(8).done());
  EXPECT_EQ(requestsSent(), before + 2);
  EXPECT_TRUE(messages().empty());
  for (Head *h : heads) {
    uint32_t serverId = resourceServerId(pixmap, kResourcePixmap, h);
    EXPECT_NE(serverId, pixmap);
    EXPECT_TRUE(pixmapExists(h, serverId));
    EXPECT_EQ(mainServerToProxyXid(serverId, display), pixmap);
    EXPECT_EQ(mainHeadOfServerXid(serverId, display), h);
  }
  // An id of another connection is nobody's.
  Window stranger = XCreateSimpleWindow(judge, DefaultRootWindow(judge), 0, 0, 1, 1, 0, 0, 0);
  XSync(judge, False);
  EXPECT_EQ(mainHeadOfServerXid(uint32_t(stranger), display), nullptr);
  EXPECT_EQ(mainServerToProxyXid(uint32_t(stranger), display), uint32_t(stranger));
}

TEST_P(FrameTest, RefusedRequestsAreCountedAndWriteNothing) {
  struct Case {
    const char *name;
    Bytes request;
    uint8_t code;
    uint32_t badValue;
  };
  uint32_t unknown = clientId(0x77);
  std::vector<Case> cases = {
      {"too long", Request(big()).b(kGetGeometry).b(0).s(0).i(screen->root).i(0).done(), 16, 12},
      {"unknown id", Request(big()).b(kGetGeometry).b(0).s(0).i(unknown).done(), 9, unknown},
      {"bad value", Request(big()).b(kCreatePixmap).b(7).s(0).i(clientId(8)).i(screen->root).s(4).s(4).done(), 2,
       7},
      {"foreign new id", Request(big()).b(kCreatePixmap).b(24).s(0).i(0x12345).i(screen->root).s(4).s(4).done(),
       14, 0x12345},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t sent = requestsSent(), sequence = client->sequence;
    send(c.request);
    EXPECT_EQ(client->sequence, sequence + 1);
    // At most the round trip that keeps the local error behind older answers.
    EXPECT_LE(requestsSent(), sent + 1);
    auto m = messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0][0], 0);
    EXPECT_EQ(m[0][1], c.code);
    EXPECT_EQ(u16(m[0], 2), client->sequence & 0xffff);
    EXPECT_EQ(u32(m[0], 4), c.badValue);
    EXPECT_EQ(m[0][10], c.request[0]);
  }
  for (Head *h : heads) EXPECT_FALSE(pixmapExists(h, resourceServerId(clientId(8), kResourcePixmap, h)));
  // A refusal: a line on Xhint, nothing anywhere else.
  uint32_t sent = requestsSent();
  send(Request(big()).b(kDestroyWindow).b(0).s(0).i(screen->root).done());
  EXPECT_EQ(requestsSent(), sent);
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(logged("No effect for root window in")) << (logLines.empty() ? "" : logLines.back());
}

TEST_P(FrameTest, PerHeadCreationAndForwardedQuery) {
  // One copy per head in head order, each with that head's ids.
  uint32_t pixmap = clientId(9);
  uint32_t sent = requestsSent();
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(30).s(20).done());
  EXPECT_EQ(requestsSent(), sent + 2);
  sync();
  for (Head *h : heads) EXPECT_TRUE(pixmapExists(h, resourceServerId(pixmap, kResourcePixmap, h)));
  EXPECT_NE(resourceServerId(pixmap, kResourcePixmap, heads[0]), resourceServerId(pixmap, kResourcePixmap, heads[1]));

  // The query comes back with the client's sequence, its root the meta root.
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(m[0][1], 24);
  EXPECT_EQ(u16(m[0], 2), client->sequence & 0xffff);
  EXPECT_EQ(u32(m[0], 8), screen->root);
  EXPECT_EQ(u16(m[0], 16), 30u);
  EXPECT_EQ(u16(m[0], 18), 20u);

  // A builder refusing on the second head: the first copy stays, BadAlloc 0.
  refusingHead = heads[1];
  uint32_t second = clientId(10);
  sent = requestsSent();
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(second).i(screen->root).s(4).s(4).done());
  refusingHead = nullptr;
  // The first copy, and the round trip that orders the local error.
  EXPECT_EQ(requestsSent(), sent + 2);
  m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][1], 11);
  EXPECT_EQ(u32(m[0], 4), 0u);
  EXPECT_TRUE(pixmapExists(heads[0], resourceServerId(second, kResourcePixmap, heads[0])));
  EXPECT_FALSE(pixmapExists(heads[1], resourceServerId(second, kResourcePixmap, heads[1])));

  // A copy the second head's server refuses: its error reaches the client, and the pixmap is
  // gone on both heads.
  sabotagedHead = heads[1];
  uint32_t third = clientId(11);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(third).i(screen->root).s(4).s(4).done());
  sabotagedHead = nullptr;
  uint32_t sequence = client->sequence;
  m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], 2);  // BadValue of the width
  EXPECT_EQ(u16(m[0], 2), sequence & 0xffff);
  EXPECT_EQ(m[0][10], kCreatePixmap);
  for (Head *h : heads) EXPECT_FALSE(pixmapExists(h, resourceServerId(third, kResourcePixmap, h)));
  EXPECT_EQ(resourceLookupAny(third), nullptr);
}

TEST_P(FrameTest, ServerErrorsReachTheClientMappedAndInSequence) {
  xprotoLogXErrors = 1;
  uint32_t pixmap = clientId(12);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(4).s(4).done());
  uint32_t created = client->sequence;
  // KillClient of an id nobody holds: its BadValue comes back as the client's id.
  uint32_t nobody = clientId(0x55);
  send(Request(big()).b(113).b(0).s(0).i(resourceServerId(nobody, kResourcePixmap, heads[0])).done());
  uint32_t killed = client->sequence;
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t queried = client->sequence;
  // FreePixmap of the same unknown id: BadPixmap mapped back too.
  send(Request(big()).b(kFreePixmap).b(0).s(0).i(resourceServerId(nobody, kResourcePixmap, heads[0])).done());
  uint32_t freed = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_GT(killed, created);
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], 2);
  EXPECT_EQ(u16(m[0], 2), killed & 0xffff);
  EXPECT_EQ(u32(m[0], 4), nobody);
  EXPECT_EQ(m[0][10], 113);
  EXPECT_EQ(m[1][0], 1);
  EXPECT_EQ(u16(m[1], 2), queried & 0xffff);
  EXPECT_EQ(m[2][0], 0);
  EXPECT_EQ(m[2][1], 4);
  EXPECT_EQ(u16(m[2], 2), freed & 0xffff);
  EXPECT_EQ(u32(m[2], 4), nobody);
  char text[64];
  snprintf(text, sizeof text, "BadValue 0x%x in KillClient", nobody);
  EXPECT_TRUE(logged(text)) << (logLines.empty() ? "" : logLines.back());
  xprotoLogXErrors = 0;
}

TEST_P(FrameTest, UnregisteredErrorCodeReachesTheClientInSequence) {
  int major = 0, firstEvent = 0, firstError = 0;
  ASSERT_TRUE(XQueryExtension(judge, "RENDER", &major, &firstEvent, &firstError));
  uint8_t badPicture = uint8_t(firstError + 1);
  ASSERT_EQ(proxyState.errorHandlers[badPicture], xcoreUnsupportedError);
  proxyState.requestHandlers[major] = testPassOn;
  xprotoLogXErrors = 1;
  uint32_t pixmap = clientId(20);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(4).s(4).done());
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t before = client->sequence;
  // RenderFreePicture of a picture nobody holds.
  send(Request(big()).b(major).b(7).s(0).i(0x1fffff0).done());
  uint32_t failed = client->sequence;
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t after = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(u16(m[0], 2), before & 0xffff);
  EXPECT_EQ(m[1][0], 0);
  EXPECT_EQ(m[1][1], badPicture);
  EXPECT_EQ(u16(m[1], 2), failed & 0xffff);
  EXPECT_EQ(u32(m[1], 4), 0x1fffff0u);
  EXPECT_EQ(m[1][10], major);
  EXPECT_EQ(u16(m[1], 8), 7u);
  EXPECT_EQ(m[2][0], 1);
  EXPECT_EQ(u16(m[2], 2), after & 0xffff);
  EXPECT_TRUE(logged("Unsupported #" + std::to_string(badPicture))) << (logLines.empty() ? "" : logLines.back());
  xprotoLogXErrors = 0;
}

TEST_P(FrameTest, ARequestFailingOnBothHeadsAnswersOnce) {
  // Both copies of the creation are refused by their servers: one error for the client.
  sabotagedHead = heads[0];
  sabotageAll = true;
  uint32_t pixmap = clientId(21);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(4).s(4).done());
  sabotagedHead = nullptr;
  sabotageAll = false;
  uint32_t failed = client->sequence;
  uint32_t other = clientId(22);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(other).i(screen->root).s(4).s(4).done());
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(other).done());
  uint32_t queried = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], 2);
  EXPECT_EQ(u16(m[0], 2), failed & 0xffff);
  EXPECT_EQ(m[1][0], 1);
  EXPECT_EQ(u16(m[1], 2), queried & 0xffff);
  EXPECT_EQ(resourceLookupAny(pixmap), nullptr);
}

TEST_P(FrameTest, ErrorOfTheProxysOwnGrabReachesNoClient) {
  // A GrabPointer the proxy writes on its own account has no grab callback queued.
  uint8_t grab[24] = {26, 0, 6, 0};
  uint32_t window = 0x1fffff0;
  memcpy(grab + 4, &window, 4);
  grab[10] = 1, grab[11] = 1;  // asynchronous
  ASSERT_NE(xproxySendRequest(grab, sizeof grab, connection), nullptr);
  uint32_t pixmap = clientId(23);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(4).s(4).done());
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t queried = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(u16(m[0], 2), queried & 0xffff);
}

TEST_P(FrameTest, UnexpectedReplyAndUnknownEventsKeepTheFraming) {
  proxyState.requestHandlers[42] = testReplyForSetInputFocus;
  send(Request(big()).b(42).b(0).s(0).i(0).i(0).done());
  uint32_t focused = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(u16(m[0], 2), focused & 0xffff);
  EXPECT_EQ(u32(m[0], 4), 0u);
  EXPECT_TRUE(logged("Unexpected X reply (32 bytes) of SetInputFocus")) << (logLines.empty() ? "" : logLines.back());

  // An event of the server (a ClientMessage sent to a window the proxy's connection watches)
  // and a GenericEvent of a kind no handler knows, then a reply: all three arrive whole, in
  // the client's order, and the reply after them is read at the right place.
  ASSERT_EQ(proxyState.eventHandlers[33], xcoreClientMessage);
  Window window = XCreateSimpleWindow(judge, DefaultRootWindow(judge), 0, 0, 10, 10, 0, 0, 0);
  XSync(judge, False);
  uint32_t w = uint32_t(window), mask = 0x400000;  // PropertyChange
  uint8_t select[16] = {2, 0, 4, 0};
  memcpy(select + 4, &w, 4);
  select[9] = 0x08;  // CWEventMask
  memcpy(select + 12, &mask, 4);
  ASSERT_NE(xproxySendRequest(select, sizeof select, connection), nullptr);
  sync();
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XA_STRING;
  event.xclient.format = 32;
  for (int i = 0; i < 5; i++) event.xclient.data.l[i] = 0x01020304 * (i + 1);
  ASSERT_TRUE(XSendEvent(judge, window, False, long(mask), &event));
  XSync(judge, False);
  sync();
  // GenericEvents reach the handler of their 32-bit selector word: one of 40 bytes with a
  // selector no extension claims.
  uint8_t generic[40] = {35, 0x66};
  uint16_t serverSequence = uint16_t(connection->requestsSent);
  memcpy(generic + 2, &serverSequence, 2);
  uint32_t words = 2, selector = 200;
  memcpy(generic + 4, &words, 4);
  memcpy(generic + 8, &selector, 4);
  for (int i = 12; i < 40; i++) generic[i] = uint8_t(i);
  ASSERT_EQ(proxyState.eventHandlers[selector], xcoreUnsupportedEvent);
  xproxyCurrentClient = client;
  xproxyCurrentDisplayConnection = connection;
  proxyState.eventHandlers[selector](generic);
  xproxyCurrentClient = nullptr;
  xproxyCurrentDisplayConnection = nullptr;
  uint32_t pixmap = clientId(24);
  send(Request(big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(4).s(5).done());
  send(Request(big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t queried = client->sequence;
  m = messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0][0], 0x80 | ClientMessage);
  EXPECT_EQ(m[0][1], 32);
  // The ClientMessage handler writes it as it is, its data swapped by its format for a client
  // of the other byte order.
  EXPECT_EQ(u32(m[0], 4), uint32_t(window));
  EXPECT_EQ(u32(m[0], 12), 0x01020304u);
  EXPECT_EQ(m[1][0], 35);
  EXPECT_EQ(m[1][1], 0x66);
  EXPECT_EQ(u32(m[1], 4), 2u);
  ASSERT_EQ(m[1].size(), 40u);
  EXPECT_EQ(u16(m[1], 8), selector);  // the event type, 16 bits on the wire
  for (int i = 12; i < 40; i++) EXPECT_EQ(m[1][i], i) << i;
  EXPECT_EQ(m[2][0], 1);
  EXPECT_EQ(u16(m[2], 2), queried & 0xffff);
  EXPECT_EQ(u16(m[2], 18), 5u);
  EXPECT_FALSE(logged("UNSUPPORTED event type 33"));  // a core event has its handler
  EXPECT_TRUE(logged("UNSUPPORTED event type 200")) << (logLines.empty() ? "" : logLines.back());
  XDestroyWindow(judge, window);
}

TEST_P(FrameTest, FreedGCIsGoneAndLongRequestsTakeTheBigForm) {
  // Whether the server knows a GC id: a ChangeGC on it from the judge's connection.
  auto gcKnown = [&](uint32_t id) {
    static int errorCode;
    errorCode = 0;
    auto *previous = XSetErrorHandler([](Display *, XErrorEvent *e) { return errorCode = e->error_code, 0; });
    GC probe = XCreateGC(judge, DefaultRootWindow(judge), 0, nullptr);
    GContext own = probe->gid;
    probe->gid = id;
    XSetForeground(judge, probe, 1);
    XFlushGC(judge, probe);
    XSync(judge, False);
    probe->gid = own;
    XFreeGC(judge, probe);
    XSync(judge, False);
    XSetErrorHandler(previous);
    return errorCode == 0;
  };
  Display *display = heads[0]->display;
  GC gc = XCreateGC(display, heads[0]->root, 0, nullptr);
  uint32_t id = uint32_t(XGContextFromGC(gc));
  XSync(display, False);
  EXPECT_TRUE(gcKnown(id));
  miscFreeGC(display, id);
  XSync(display, False);
  EXPECT_FALSE(gcKnown(id));
  free(gc);  // the server's GC is gone; only Xlib's record is left

  // A NoOperation of 0x40000 bytes whose own length field says 0: written in the BIG-REQUESTS
  // form, after which the server still reads the requests right.
  ASSERT_TRUE(connection->bigRequests);
  Bytes big(0x40000, 0);
  big[0] = 127;
  uint32_t sent = requestsSent();
  xproxyCurrentClient = client;
  EXPECT_EQ(miscWriteServerRequest(connection, big.data(), uint32_t(big.size())), 1);
  Bytes small(0x3fffc, 0);
  small[0] = 127;
  EXPECT_EQ(miscWriteServerRequest(connection, small.data(), uint32_t(small.size())), 1);
  xproxyCurrentClient = nullptr;
  EXPECT_EQ(requestsSent(), sent + 2);
  uint32_t pixmap = clientId(25);
  send(Request(this->big()).b(kCreatePixmap).b(24).s(0).i(pixmap).i(screen->root).s(6).s(7).done());
  send(Request(this->big()).b(kGetGeometry).b(0).s(0).i(pixmap).done());
  uint32_t queried = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(u16(m[0], 2), queried & 0xffff);
  EXPECT_EQ(u16(m[0], 16), 6u);
  EXPECT_EQ(u16(m[0], 18), 7u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, FrameTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
