// The proxy's own requests (encoders and builders) and its ordered output, through a raw display
// connection to a private Xvfb; Xlib on a second connection judges the effect.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/main.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "support/orders.h"
#include "xclient/xutilh.h"
#include "xvfb_fixture.h"

namespace {

int trappedErrors;
int firstErrorSequence;
std::vector<uint8_t> capturedReply;
int countError(Display *, XErrorEvent *) {
  trappedErrors++;
  return 0;
}

// One client of the proxy with one display connection to the server.
struct ProxySide {
  ClientConnection client{};
  ServerDisplay display{};
  DisplayConnection *connection = nullptr;

  // "" when the setup was answered (accepted or refused as `accepted` then says).
  // plain: the display's BIG-REQUESTS counts as absent and no sync follows the setup, so the
  // proxy itself writes nothing on the connection after the setup.
  std::string open(const std::string &name, const char *authName = nullptr, const std::string &authData = "",
                   bool plain = false) {
    static bool tables = (xcoreInitDispatchTables(), true);
    (void)tables;
    ordersInit();
    client.fd = -1;
    client.index = 5;
    client.reader.bytesNeeded = 4;
    client.life.holds = 1;  // a close (the refused setup) then only marks the record, which is ours
    outbufferInit(&client.output, -1, nullptr, nullptr);
    display.name = strdup(name.c_str());
    display.display = XOpenDisplay(name.c_str());
    if (!display.display) return "no Xlib connection";
    display.bigRequestsAsked = plain ? 1 : 0;
    connection = xproxyOpenDisplayConnection(&client, &display);
    if (!connection) return "no display connection";
    if (!core11GSendConnectionSetup(connection, authName, authName ? uint32_t(strlen(authName)) : 0,
                                    authData.data(), uint32_t(authData.size())))
      return "setup not written";
    client.setupsPending = 1;
    long long deadline = xvfbNowMs() + 10000;
    while (!client.life.closed && !connection->setupDone && xvfbNowMs() < deadline) ordersStep(50);
    if (client.life.closed) return "";  // refused and closed
    if (!connection->setupDone) return "no setup reply";
    // BIG-REQUESTS is enabled by a round trip of its own.
    if (accepted() && !plain) sync();
    return "";
  }
  bool accepted() const {
    return !client.life.closed && client.reader.bytesNeeded != kReaderStopped && connection->idMask != 0;
  }
  uint32_t id(uint32_t n) const { return connection->idBase | n; }
  const RequestSink *sink() const { return &connection->reader.sink; }
  void sync() {
    const char *failure = xproxySyncDisplayConnection(connection);
    EXPECT_EQ(failure, nullptr) << failure;
  }
  // A sync takes only its own reply: the answers before it are handled by the loop's next steps.
  void syncAndHandle() {
    sync();
    long long deadline = xvfbNowMs() + 5000;
    while (connection->input.length > 0 && xvfbNowMs() < deadline) ordersStep(10);
  }
  ~ProxySide() {
    if (connection && !client.life.closed) xproxyCloseDisplayConnection(connection);
    mainFreeDeferredOutputs(&client);
    outbufferFree(&client.output);
    free(client.displays);
    if (display.display) XCloseDisplay(display.display);
    free(display.name);
    ordersFreeAll();
  }
};

class BuildersTest : public testing::Test {
 protected:
  void start(XvfbOptions options = XvfbOptions{}) {
    ASSERT_EQ(server.start(options), "");
    ASSERT_EQ(proxy.open(server.displayName()), "");
    ASSERT_TRUE(proxy.accepted());
    judge = XOpenDisplay(server.displayName().c_str());
    ASSERT_NE(judge, nullptr);
    previousHandler = XSetErrorHandler(countError);
    trappedErrors = 0;
  }
  void TearDown() override {
    if (judge) XCloseDisplay(judge);
    XSetErrorHandler(previousHandler);
  }
  XvfbServer server;
  ProxySide proxy;
  Display *judge = nullptr;
  XErrorHandler previousHandler = nullptr;
};

TEST_F(BuildersTest, EncodedWindowsPixmapsColormapsAndCursorsTakeEffect) {
  start();
  Window root = DefaultRootWindow(judge);
  uint32_t window = proxy.id(1), pixmap = proxy.id(2), colormap = proxy.id(3), cursor = proxy.id(4),
           bitmap = proxy.id(5), gc = proxy.id(6);
  XSetWindowAttributes a{};
  a.background_pixel = 0x00ff00;
  a.override_redirect = True;
  a.event_mask = ExposureMask | StructureNotifyMask;
  ASSERT_EQ(xprotoEncodeCreateWindow(proxy.sink(), window, uint32_t(root), 10, 20, 100, 50, 0, 0, InputOutput, 0,
                                     CWBackPixel | CWOverrideRedirect | CWEventMask, &a), 1);
  ASSERT_EQ(xprotoEncodeMapWindow(proxy.sink(), window), 1);
  ASSERT_EQ(xprotoEncodeResizeWindow(proxy.sink(), window, 120, 70), 1);
  ASSERT_EQ(xprotoEncodeCreatePixmap(proxy.sink(), pixmap, uint32_t(root), 33, 44, 24), 1);
  ASSERT_EQ(xprotoEncodeCreateColormap(proxy.sink(), colormap, uint32_t(root),
                                       uint32_t(XVisualIDFromVisual(DefaultVisual(judge, 0))), 0), 1);
  ASSERT_EQ(xprotoEncodeCreatePixmap(proxy.sink(), bitmap, uint32_t(root), 16, 16, 1), 1);
  ASSERT_EQ(xprotoEncodeCreateCursor(proxy.sink(), cursor, bitmap, bitmap, 1, 1, 0xffff, 0, 0, 0, 0, 0xffff), 1);
  XSetWindowAttributes withCursor{};
  withCursor.cursor = cursor;
  ASSERT_EQ(xprotoEncodeChangeWindowAttributes(proxy.sink(), window, CWCursor, &withCursor), 1);
  XGCValues values{};
  values.foreground = 0x123456;
  ASSERT_EQ(xprotoEncodeCreateGC(proxy.sink(), gc, window, GCForeground, &values), 1);
  ASSERT_EQ(xprotoEncodeCopyArea(proxy.sink(), window, pixmap, gc, 0, 0, 33, 44, 0, 0), 1);
  proxy.sync();

  XWindowAttributes seen{};
  ASSERT_NE(XGetWindowAttributes(judge, window, &seen), 0);
  EXPECT_EQ(seen.override_redirect, True);
  EXPECT_EQ(seen.all_event_masks & (ExposureMask | StructureNotifyMask), ExposureMask | StructureNotifyMask);
  EXPECT_EQ(seen.width, 120);
  EXPECT_EQ(seen.height, 70);
  EXPECT_EQ(seen.x, 10);
  EXPECT_EQ(seen.map_state, IsViewable);
  Window r;
  int x, y;
  unsigned w, h, border, depth;
  ASSERT_NE(XGetGeometry(judge, pixmap, &r, &x, &y, &w, &h, &border, &depth), 0);
  EXPECT_EQ(w, 33u);
  EXPECT_EQ(depth, 24u);
  XColor color{};
  color.pixel = 0;
  XQueryColor(judge, colormap, &color);
  XSync(judge, False);
  EXPECT_EQ(trappedErrors, 0);
  // The copied pixels are the window's background.
  XImage *image = XGetImage(judge, pixmap, 5, 5, 1, 1, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(XGetPixel(image, 0, 0) & 0xffffff, 0x00ff00u);
  XDestroyImage(image);

  ASSERT_EQ(xprotoEncodeFreeCursor(proxy.sink(), cursor), 1);
  ASSERT_EQ(xprotoEncodeFreeColormap(proxy.sink(), colormap), 1);
  ASSERT_EQ(xprotoEncodeFreePixmap(proxy.sink(), pixmap), 1);
  ASSERT_EQ(xprotoEncodeFreeGC(proxy.sink(), gc), 1);
  ASSERT_EQ(xprotoEncodeDestroyWindow(proxy.sink(), window), 1);
  proxy.sync();
  XGetWindowAttributes(judge, window, &seen);
  XSync(judge, False);
  EXPECT_EQ(trappedErrors, 1);  // the window is gone
}

TEST_F(BuildersTest, PutImageChunksArriveWhole) {
  start();
  const int width = 256, height = 1000;  // 1024 bytes per line at 32 bits per pixel
  std::vector<char> data(size_t(1024) * height);
  for (size_t i = 0; i < data.size(); i++) data[i] = char((i * 2654435761u) >> 13);
  XImage *image = XCreateImage(judge, DefaultVisual(judge, 0), 24, ZPixmap, 0, data.data(), width, height, 32, 1024);
  ASSERT_NE(image, nullptr);
  uint32_t pixmap = proxy.id(1), gc = proxy.id(2);
  Window root = DefaultRootWindow(judge);
  ASSERT_EQ(xprotoEncodeCreatePixmap(proxy.sink(), pixmap, uint32_t(root), width, height, 24), 1);
  ASSERT_EQ(xprotoEncodeCreateGC(proxy.sink(), gc, pixmap, 0, nullptr), 1);
  uint32_t before = proxy.connection->requestsSent;
  ASSERT_EQ(xprotoEncodePutImage(proxy.sink(), pixmap, gc, image, 0, 0), 1);
  EXPECT_EQ(proxy.connection->requestsSent - before, 4u);  // 255, 255, 255 and 235 rows
  proxy.sync();
  XImage *back = XGetImage(judge, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
  ASSERT_NE(back, nullptr);
  int differing = 0;
  for (int row = 0; row < height; row++)
    for (int column = 0; column < width; column++)
      differing += (XGetPixel(back, column, row) & 0xffffff) != (XGetPixel(image, column, row) & 0xffffff);
  EXPECT_EQ(differing, 0);
  XDestroyImage(back);
  image->data = nullptr;
  XDestroyImage(image);

  // Lines longer than one chunk go out one row per request, in the big form.
  const int wide = 65535;
  std::vector<char> line(size_t(wide) * 4 * 2, 0x5a);
  XImage *long_ = XCreateImage(judge, DefaultVisual(judge, 0), 24, ZPixmap, 0, line.data(), wide, 2, 32, wide * 4);
  ASSERT_NE(long_, nullptr);
  uint32_t widePixmap = proxy.id(3);  // pixmaps end at 32767: the image is clipped to this one
  ASSERT_EQ(xprotoEncodeCreatePixmap(proxy.sink(), widePixmap, uint32_t(root), 100, 2, 24), 1);
  before = proxy.connection->requestsSent;
  ASSERT_EQ(xprotoEncodePutImage(proxy.sink(), widePixmap, gc, long_, 0, 0), 1);
  EXPECT_EQ(proxy.connection->requestsSent - before, 2u);
  proxy.sync();
  XImage *corner = XGetImage(judge, widePixmap, 99, 1, 1, 1, AllPlanes, ZPixmap);
  ASSERT_NE(corner, nullptr);
  EXPECT_EQ(XGetPixel(corner, 0, 0) & 0xffffff, 0x5a5a5au);
  XDestroyImage(corner);
  long_->data = nullptr;
  XDestroyImage(long_);
  XSync(judge, False);
  EXPECT_EQ(trappedErrors, 0);
}

TEST_F(BuildersTest, GrabsWarpsFocusAndMovesTakeEffect) {
  start();
  Window root = DefaultRootWindow(judge);
  uint32_t window = proxy.id(1);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  ASSERT_EQ(xprotoEncodeCreateWindow(proxy.sink(), window, uint32_t(root), 0, 0, 200, 200, 0, 0, InputOutput, 0,
                                     CWOverrideRedirect, &a), 1);
  ASSERT_EQ(xprotoEncodeMapWindow(proxy.sink(), window), 1);
  core11GMoveWindow(proxy.connection, window, 30, 40);
  core11GWarpPointer(proxy.connection, uint32_t(root), 111, 222);
  core11GSetInputFocus(proxy.connection, RevertToParent, window);
  core11GGrabPointer(proxy.connection, 0, window, ButtonPressMask, GrabModeAsync, GrabModeAsync, 0, 0);
  proxy.sync();

  Window r, child, focus;
  int rootX, rootY, x, y, revert;
  unsigned mask, w, h, border, depth;
  ASSERT_TRUE(XQueryPointer(judge, root, &r, &child, &rootX, &rootY, &x, &y, &mask));
  EXPECT_EQ(rootX, 111);
  EXPECT_EQ(rootY, 222);
  XGetInputFocus(judge, &focus, &revert);
  EXPECT_EQ(focus, window);
  ASSERT_NE(XGetGeometry(judge, window, &r, &x, &y, &w, &h, &border, &depth), 0);
  EXPECT_EQ(x, 30);
  EXPECT_EQ(y, 40);
  EXPECT_EQ(XGrabPointer(judge, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime),
            AlreadyGrabbed);
  ASSERT_NE(core11GUngrabPointer(proxy.connection), nullptr);
  core11GMoveResizeWindow(proxy.connection, window, -5, 6, 70, 80);
  proxy.sync();
  EXPECT_EQ(XGrabPointer(judge, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime), GrabSuccess);
  XUngrabPointer(judge, CurrentTime);
  ASSERT_NE(XGetGeometry(judge, window, &r, &x, &y, &w, &h, &border, &depth), 0);
  EXPECT_EQ(x, -5);
  EXPECT_EQ(w, 70u);
  EXPECT_EQ(h, 80u);
  XSync(judge, False);
  EXPECT_EQ(trappedErrors, 0);
}

// The GetImage builder's reply, routed by its request key, carries the pixels drawn.
TEST_F(BuildersTest, GetImageReplyCarriesThePixels) {
  start();
  const int width = 7, height = 5;
  uint32_t pixmap = proxy.id(1);
  Window root = DefaultRootWindow(judge);
  ASSERT_EQ(xprotoEncodeCreatePixmap(proxy.sink(), pixmap, uint32_t(root), width, height, 24), 1);
  proxy.sync();
  GC gc = XCreateGC(judge, pixmap, 0, nullptr);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      XSetForeground(judge, gc, uint32_t(0x010203 * (y * width + x + 1)) & 0xffffff);
      XDrawPoint(judge, pixmap, gc, x, y);
    }
  XFreeGC(judge, gc);
  XSync(judge, False);
  const uint32_t key = 73 | ZPixmap << 8;
  ReplyHandler saved = proxyState.replyHandlers[key];
  proxyState.replyHandlers[key] = [](uint8_t *reply, uint32_t length) { capturedReply.assign(reply, reply + length); };
  capturedReply.clear();
  ASSERT_EQ(core11GGetImage(proxy.connection, ZPixmap, pixmap, 0, 0, width, height, ~0u), 1);
  proxy.syncAndHandle();
  proxyState.replyHandlers[key] = saved;
  ASSERT_EQ(capturedReply.size(), 32u + 4u * width * height);  // 32 bits per pixel, no pad
  EXPECT_EQ(capturedReply[1], 24);                              // depth
  uint32_t words = capturedReply[4] | capturedReply[5] << 8 | capturedReply[6] << 16 | uint32_t(capturedReply[7]) << 24;
  EXPECT_EQ(words, uint32_t(width * height));
  int differing = 0;
  for (int i = 0; i < width * height; i++) {
    const uint8_t *p = capturedReply.data() + 32 + 4 * i;
    uint32_t pixel = p[0] | p[1] << 8 | p[2] << 16;
    differing += pixel != (uint32_t(0x010203 * (i + 1)) & 0xffffff);
  }
  EXPECT_EQ(differing, 0);
  EXPECT_EQ(trappedErrors, 0);
}

TEST_F(BuildersTest, StoreColorSetsACell) {
  XvfbOptions options;
  options.screens = {"640x480x8"};
  start(options);
  Visual *visual = DefaultVisual(judge, 0);
  ASSERT_EQ(visual->c_class, PseudoColor);
  uint32_t colormap = proxy.id(1);
  ASSERT_EQ(xprotoEncodeCreateColormap(proxy.sink(), colormap, uint32_t(DefaultRootWindow(judge)),
                                       uint32_t(XVisualIDFromVisual(visual)), AllocAll), 1);
  core11GStoreColor(proxy.connection, colormap, 7, 0x1234, 0x5678, 0x9abc);
  proxy.sync();
  XColor color{};
  color.pixel = 7;
  XQueryColor(judge, colormap, &color);
  EXPECT_EQ(color.red >> 8, 0x12);
  EXPECT_EQ(color.green >> 8, 0x56);
  EXPECT_EQ(color.blue >> 8, 0x9a);
}

TEST_F(BuildersTest, DeferredOutputWaitsForRealRoundTrips) {
  start();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  outbufferFree(&proxy.client.output);
  outbufferInit(&proxy.client.output, fds[0], nullptr, nullptr);
  // A transport of our own makes the client's socket count as present.
  proxy.client.transport = _X11TransOpenCOTSClient("unix/:0");
  ASSERT_NE(proxy.client.transport, nullptr);
  uint8_t reply[32] = {};
  reply[2] = 9;  // sequence 9
  mainSendReply(1, 0, reply, 32, "bbsi", &proxy.client);
  ASSERT_NE(proxy.client.deferred, nullptr);  // waits for the round trip
  long long deadline = xvfbNowMs() + 10000;
  while (proxy.client.deferred && xvfbNowMs() < deadline) ordersStep(50);
  EXPECT_EQ(proxy.client.deferred, nullptr);
  outbufferFlush(&proxy.client.output);
  uint8_t got[64];
  EXPECT_EQ(read(fds[1], got, sizeof got), 32);
  EXPECT_EQ(got[0], 1);
  EXPECT_EQ(got[2], 9);
  _X11TransClose(proxy.client.transport);
  proxy.client.transport = nullptr;
  outbufferFree(&proxy.client.output);
  close(fds[0]);
  close(fds[1]);
}

// A server that requires MIT-MAGIC-COOKIE-1 takes the setup with the cookie and refuses it
// without; the first request after the setup is the server's request 1.
TEST(ConnectionSetup, CookieAcceptedAndRefused) {
  char directory[] = "/tmp/builders_testXXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  std::string authFile = std::string(directory) + "/auth";
  const std::string cookie = "0123456789abcdef";
  int display = xvfbUnusedDisplayNumber();
  ASSERT_EQ(xvfbWriteCookieFile(authFile, display, cookie), "");
  setenv("XAUTHORITY", authFile.c_str(), 1);  // the Xlib connections of the test use it
  XvfbServer server;
  XvfbOptions options;
  options.displayNumber = display;
  options.extraArguments = {"-auth", authFile};
  ASSERT_EQ(server.start(options), "");
  {
    ProxySide with;
    ASSERT_EQ(with.open(server.displayName(), "MIT-MAGIC-COOKIE-1", cookie), "");
    EXPECT_TRUE(with.accepted());
    // The setup is not counted: BIG-REQUESTS's round trip was request 1 and the sync request 2;
    // the syncs find their replies by these numbers, so the server counted the same way.
    EXPECT_EQ(with.connection->requestsSent, 2u);
    ASSERT_EQ(xprotoEncodeMapWindow(with.sink(), 0x1fffffff), 1);  // answered by an error
    with.sync();
    EXPECT_EQ(with.connection->requestsSent, 4u);
  }
  {
    // Without the proxy's own round trips the first request is the server's request 1: its
    // error carries that number.
    ProxySide plain;
    ASSERT_EQ(plain.open(server.displayName(), "MIT-MAGIC-COOKIE-1", cookie, true), "");
    ASSERT_TRUE(plain.accepted());
    EXPECT_EQ(plain.connection->requestsSent, 0u);
    ErrorHandler saved = proxyState.errorHandlers[BadWindow];
    proxyState.errorHandlers[BadWindow] = [](uint8_t *error) { firstErrorSequence = error[2] | error[3] << 8; };
    firstErrorSequence = -1;
    ASSERT_EQ(xprotoEncodeMapWindow(plain.sink(), 0x1fffffff), 1);
    plain.syncAndHandle();
    proxyState.errorHandlers[BadWindow] = saved;
    EXPECT_EQ(firstErrorSequence, 1);
  }
  {
    ProxySide without;
    ASSERT_EQ(without.open(server.displayName(), "MIT-MAGIC-COOKIE-1", "wrong cookie...."), "");
    EXPECT_FALSE(without.accepted());
  }
  server.stop();
  unlink(authFile.c_str());
  rmdir(directory);
  unsetenv("XAUTHORITY");
}

}  // namespace
