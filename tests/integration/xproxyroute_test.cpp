// The routing helpers of the request handlers against an Xvfb whose two screens are the two
// heads of one meta screen: event masks selected on the real root, background tiles cut for a
// head and read back, forced exposures, the raw request writer, and the error of a creation
// both heads' servers refuse.
#include "twohead_fixture.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/outbuffer.h"

namespace {

// CreateWindow as the window requests build it, reduced to what the error path needs: the
// record first, then one copy per head with the new id and the parent translated for it.
int windowCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *) {
  static const XcoreIdField fields[] = {{4, kResourceScreenResource}, {8, kResourceWindow}, {0, 0}};
  return xcoreFrameCopyForHead(request, length, connection, head, fields) != nullptr;
}
void testCreateWindow(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiissssssI", 32, XcoreShape::ValueList, 28, 4};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id, parent;
  memcpy(&id, request + 4, 4);
  memcpy(&parent, request + 8, 4);
  if (!xcoreFrameNewId(id, request, length)) return;
  if (!xcoreFrameResolve(parent, kXcoreWantWindow, 3, request, length)) return;
  MetaScreen *screen = xproxyCurrentClient->cachedScreen;
  if (!windowCreateRecord(id, screen, screen->rootVisual)) return;
  xcoreFramePerHead(request, length, id, windowCopy, nullptr);
}

class RouteTest : public TwoHeadTest {
 protected:
  void installHandlers() override {
    proxyState.requestHandlers[1] = testCreateWindow;
    proxyState.requestHandlers[2] = twoHeadPassOn;
  }

  // The pixel a test tile holds at x, y.
  static unsigned long tilePixel(int x, int y) { return (unsigned long)(x) << 12 | (unsigned long)(y); }
  // A pixmap of the client's on every head, filled with tilePixel.
  uint32_t makeTile(uint32_t n, int width, int height) {
    uint32_t id = clientId(n);
    EXPECT_NE(resourceCreatePixmap(id, screen, screen->rootVisual, uint16_t(width), uint16_t(height), 24), nullptr);
    for (Head *h : heads) {
      uint8_t create[16] = {53, 24, 4, 0};
      uint32_t serverId = resourceServerId(id, kResourcePixmap, h), root = uint32_t(h->root);
      memcpy(create + 4, &serverId, 4);
      memcpy(create + 8, &root, 4);
      uint16_t size[2] = {uint16_t(width), uint16_t(height)};
      memcpy(create + 12, size, 4);
      EXPECT_NE(xproxySendRequest(create, sizeof create, connection), nullptr);
      sync();
      XImage *image = XCreateImage(judge, DefaultVisual(judge, 0), 24, ZPixmap, 0, nullptr, unsigned(width),
                                   unsigned(height), 32, 0);
      image->data = static_cast<char *>(calloc(size_t(image->bytes_per_line) * unsigned(height), 1));
      for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) XPutPixel(image, x, y, tilePixel(x, y));
      GC gc = XCreateGC(judge, serverId, 0, nullptr);
      XPutImage(judge, serverId, gc, image, 0, 0, 0, 0, unsigned(width), unsigned(height));
      XFreeGC(judge, gc);
      XDestroyImage(image);
    }
    XSync(judge, False);
    return id;
  }
};

TEST_P(RouteTest, FocusChangeOnTheMetaRootIsSelectedOnTheRealRoot) {
  Head *head = heads[1];
  XWindowAttributes before;
  ASSERT_TRUE(XGetWindowAttributes(judge, head->root, &before));
  ASSERT_EQ(before.all_event_masks & FocusChangeMask, 0);
  xproxyCurrentClient = client;
  uint32_t mask = xproxyWindowEventMask(client, screen->root, FocusChangeMask | KeyPressMask, head);
  // On another window FocusChange stays in the copy's mask.
  uint32_t other = xproxyWindowEventMask(client, clientId(3), FocusChangeMask, head);
  xproxyCurrentClient = nullptr;
  EXPECT_EQ(mask, uint32_t(KeyPressMask));
  EXPECT_EQ(other, uint32_t(FocusChangeMask));
  sync();
  XWindowAttributes after;
  ASSERT_TRUE(XGetWindowAttributes(judge, head->root, &after));
  EXPECT_EQ(after.all_event_masks & FocusChangeMask, FocusChangeMask);
  // The other head's real root was left alone.
  ASSERT_TRUE(XGetWindowAttributes(judge, heads[0]->root, &after));
  EXPECT_EQ(after.all_event_masks & FocusChangeMask, 0);
}

TEST_P(RouteTest, AllocModeIsAllForEmulatedVisuals) {
  VisualRecord *visual = &screen->visuals[0];
  VisualRecord *own = heads[0]->visualMap[0];
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(xproxyColormapAllocMode(0, visual, heads[0]), 0);
  EXPECT_EQ(xproxyColormapAllocMode(1, visual, heads[0]), 1);
  uint32_t base = own->baseVisualId;
  own->baseVisualId = own->visualId;  // as an emulated visual would name its base
  EXPECT_EQ(xproxyColormapAllocMode(0, visual, heads[0]), 1);
  own->baseVisualId = base;
}

TEST_P(RouteTest, BackgroundTilesLargerThanAStaticHeadAreCutAtItsOrigin) {
  const int tileWidth = 400, tileHeight = 300;
  uint32_t tile = makeTile(30, tileWidth, tileHeight);
  struct Case {
    const char *name;
    int32_t headX, headY;  // the head's origin inside the meta screen
  };
  // A head right of the tile's origin starts inside the tile; one left of it (the tile's origin
  // right of the head's) starts at the wrapped phase, never at a negative one.
  for (const Case &c : {Case{"right", 100, 0}, Case{"below", 0, 70}, Case{"left and above", -100, -30}}) {
    SCOPED_TRACE(c.name);
    Head *head = heads[1];
    head->staticDisplay = 1;
    head->rect.x = c.headX, head->rect.y = c.headY;
    int created = 0;
    xproxyCurrentClient = client;
    uint32_t cut = xproxyShiftedBackgroundPixmap(tile, 0, head, &created);
    xproxyCurrentClient = nullptr;
    ASSERT_EQ(created, 1);
    ASSERT_NE(cut, resourceServerId(tile, kResourcePixmap, head));
    sync();
    XImage *image = XGetImage(judge, cut, 0, 0, head->rect.width, head->rect.height, AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(unsigned(image->width), head->rect.width);
    int mismatches = 0;
    for (int y = 0; y < image->height; y += 7)
      for (int x = 0; x < image->width; x += 5) {
        int tx = ((x + c.headX) % tileWidth + tileWidth) % tileWidth;
        int ty = ((y + c.headY) % tileHeight + tileHeight) % tileHeight;
        if (XGetPixel(image, x, y) != tilePixel(tx, ty) && mismatches++ < 3)
          ADD_FAILURE() << "pixel " << x << "," << y << " is " << XGetPixel(image, x, y) << ", tile " << tx << ","
                        << ty;
      }
    EXPECT_EQ(mismatches, 0);
    XDestroyImage(image);
    XFreePixmap(judge, cut);
    XSync(judge, False);
  }
  // A tile that fits the head, a head that is not static, None and ParentRelative: as they are.
  uint32_t small = makeTile(31, 64, 64);
  int created = 1;
  xproxyCurrentClient = client;
  EXPECT_EQ(xproxyShiftedBackgroundPixmap(small, 0, heads[1], &created), resourceServerId(small, kResourcePixmap, heads[1]));
  EXPECT_EQ(created, 0);
  EXPECT_EQ(xproxyShiftedBackgroundPixmap(tile, 0, heads[0], &created), resourceServerId(tile, kResourcePixmap, heads[0]));
  EXPECT_EQ(created, 0);
  for (uint32_t special : {0u, 1u}) EXPECT_EQ(xproxyShiftedBackgroundPixmap(special, 0, heads[1], &created), special);
  xproxyCurrentClient = nullptr;
}

TEST_P(RouteTest, ForcedExposuresExposeTheWindowBelow) {
  Window window = XCreateSimpleWindow(judge, DefaultRootWindow(judge), 10, 10, 100, 100, 0, 0, 0);
  XSelectInput(judge, window, ExposureMask);
  XMapWindow(judge, window);
  XSync(judge, False);
  XEvent event;
  while (XCheckTypedWindowEvent(judge, window, Expose, &event)) {
  }
  XRectangle rectangles[2] = {{10, 20, 30, 40}, {0, 0, 0, 5}};  // the empty one is skipped
  miscForceExposures(heads[0]->display, window, rectangles, 2);
  XSync(heads[0]->display, False);
  XSync(judge, False);
  std::vector<XExposeEvent> exposes;
  long long deadline = xvfbNowMs() + 2000;
  while (xvfbNowMs() < deadline) {
    if (XCheckTypedWindowEvent(judge, window, Expose, &event)) {
      exposes.push_back(event.xexpose);
      if (event.xexpose.count == 0) break;
    }
  }
  ASSERT_EQ(exposes.size(), 1u);
  EXPECT_EQ(exposes[0].x, 10);
  EXPECT_EQ(exposes[0].y, 20);
  EXPECT_EQ(exposes[0].width, 30);
  EXPECT_EQ(exposes[0].height, 40);
  // The child is gone again.
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  ASSERT_TRUE(XQueryTree(judge, window, &root, &parent, &children, &count));
  EXPECT_EQ(count, 0u);
  if (children) XFree(children);
}

TEST_P(RouteTest, RawRequestsTakeTheBigFormOrAnswerBadAlloc) {
  ASSERT_TRUE(connection->bigRequests);
  std::vector<uint8_t> big(0x40000, 0);
  big[0] = 127;
  big[1] = 9;
  big[4] = 0xab;
  big.back() = 0xcd;
  xproxyCurrentClient = client;
  uint32_t sent = requestsSent();
  ASSERT_EQ(miscWriteServerRequest(connection, big.data(), uint32_t(big.size())), 1);
  EXPECT_EQ(requestsSent(), sent + 1);
  // In the output: the first two bytes, a zero length, the length in words with its own word,
  // then the request from byte 4 on.
  OutBlock *block = connection->output.last;
  ASSERT_NE(block, nullptr);
  const auto *end = reinterpret_cast<const uint8_t *>(block->end);
  const uint8_t *start = end - (big.size() + 4);
  ASSERT_GE(start, reinterpret_cast<const uint8_t *>(outbufferData(block)));
  EXPECT_EQ(start[0], 127);
  EXPECT_EQ(start[1], 9);
  EXPECT_EQ(start[2] | start[3], 0);
  uint32_t words;
  memcpy(&words, start + 4, 4);
  EXPECT_EQ(words, (big.size() + 4) / 4);
  EXPECT_EQ(start[8], 0xab);
  EXPECT_EQ(end[-1], 0xcd);
  // Exactly 0x3fffc bytes still take the plain form.
  std::vector<uint8_t> plain(0x3fffc, 0);
  plain[0] = 127;
  ASSERT_EQ(miscWriteServerRequest(connection, plain.data(), uint32_t(plain.size())), 1);
  end = reinterpret_cast<const uint8_t *>(connection->output.last->end);
  EXPECT_EQ(end[-int(plain.size()) + 2] | end[-int(plain.size()) + 3] << 8, 0xffff);

  // Output that cannot take the request: without BIG-REQUESTS, and beyond 32 bits with it.
  // Nothing of it is written (at most the 4-byte round trip that orders the local error) and
  // the client gets BadAlloc with bad value 0, once for each of its two requests.
  sync();
  uint64_t pending = outbufferPending(&connection->output);
  connection->bigRequests = 0;
  client->sequence++;
  EXPECT_EQ(miscWriteServerRequest(connection, big.data(), uint32_t(big.size())), 0);
  connection->bigRequests = 1;
  client->sequence++;
  EXPECT_EQ(miscWriteServerRequest(connection, big.data(), 0xfffffffcu), 0);  // never read past the header
  EXPECT_LE(outbufferPending(&connection->output), pending + 8);
  xproxyCurrentClient = nullptr;
  auto m = messages();
  ASSERT_EQ(m.size(), 2u);
  for (const RawBytes &error : m) {
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(error[1], BadAlloc);
    EXPECT_EQ(u32(error, 4), 0u);
    EXPECT_EQ(error[10], 127);
  }
  // The server read everything right: a query still answers in place.
  RawBytes focus = answer(request().b(43).b(0).s(0).done());
  EXPECT_EQ(focus[0], 1);
}

TEST_P(RouteTest, BadWindowOfACreationCarriesTheClientsId) {
  xprotoLogXErrors = 1;
  // A parent the proxy knows but neither head's server has: both copies fail.
  uint32_t parent = clientId(40), window = clientId(41);
  ASSERT_NE(windowCreateRecord(parent, screen, screen->rootVisual), nullptr);
  send(request().b(1).b(0).s(0).i(window).i(parent).s(0).s(0).s(10).s(10).s(0).s(2).i(0).i(0).done());
  uint32_t failed = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);  // one error for the two copies
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], BadWindow);
  EXPECT_EQ(u16(m[0], 2), failed & 0xffff);
  EXPECT_EQ(u32(m[0], 4), parent);
  EXPECT_NE(u32(m[0], 4), resourceServerId(parent, kResourceWindow, heads[0]));
  EXPECT_EQ(m[0][10], 1);
  // The creation is undone on every head and in the proxy.
  EXPECT_EQ(resourceLookupAny(window), nullptr);
  EXPECT_NE(resourceLookupAny(parent), nullptr);
  xprotoLogXErrors = 0;
}

TEST_P(RouteTest, BadValueOfOtherRequestsComesAsTheServerSentIt) {
  // A value that looks like a client resource's id on the head: a BadValue of anything but
  // KillClient keeps it as the server reported it.
  uint32_t pixmap = clientId(50);
  ASSERT_NE(resourceCreatePixmap(pixmap, screen, screen->rootVisual, 1, 1, 24), nullptr);
  uint32_t serverValue = resourceServerId(pixmap, kResourcePixmap, heads[0]);
  ASSERT_NE(serverValue, pixmap);
  ASSERT_EQ(mainServerToProxyXid(serverValue, mainServerDisplays), pixmap);
  // ChangeWindowAttributes of the head's window with a do-not-propagate mask the server refuses.
  send(request().b(2).b(0).s(0).i(uint32_t(heads[0]->rootWindow)).i(0x1000).i(serverValue).done());
  uint32_t failed = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][1], BadValue);
  EXPECT_EQ(u16(m[0], 2), failed & 0xffff);
  EXPECT_EQ(u32(m[0], 4), serverValue);
  EXPECT_EQ(m[0][10], 2);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, RouteTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
