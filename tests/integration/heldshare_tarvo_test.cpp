// Requests that need the real server to have taken their client's earlier requests, sent by a
// client that the server holds in a SYNC Await on a frozen counter: a RENDER cursor made from a
// picture on a pixmap, GCs that take another client's pixmap as tile (CreateGC, ChangeGC) and a
// picture on another client's pixmap. Another client's round trips stay short meanwhile, and
// once the counter moves the held client's cursor and drawing are there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kCreatePixmap = 53, kCreateGC = 55, kChangeGC = 56, kCopyGC = 57, kPolyFillRectangle = 70,
                  kGetImage = 73, kFreePixmap = 54, kFreeCursor = 95, kGetInputFocus = 43;
constexpr uint8_t kSyncCreateCounter = 2, kSyncSetCounter = 3, kSyncAwait = 7;
constexpr uint8_t kRenderQueryVersion = 0, kRenderQueryPictFormats = 1, kRenderCreatePicture = 4,
                  kRenderComposite = 8, kRenderCreateCursor = 27;
constexpr uint32_t kGCForeground = 1u << 2, kGCFillStyle = 1u << 8, kGCTile = 1u << 10;
constexpr uint32_t kFillTiled = 1;

struct Held : ::testing::Test {
  void SetUp() override {
    tarvoBlockSignals();
    TarvoOptions options;
    options.logTypes = {"steps", "XHints"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24", options), "");
    for (RawClient *c : {&waiter, &setter, &bystander, &owner}) ASSERT_EQ(c->connect(tarvo.displayNumber(), 'l'), "");
    sync = waiter.queryExtension("SYNC");
    render = waiter.queryExtension("RENDER");
    ASSERT_NE(sync, 0);
    ASSERT_NE(render, 0);
    counter = waiter.idBase() + 1;
    ASSERT_EQ(waiter.send(RawRequest(false).b(sync).b(kSyncCreateCounter).s(4).i(counter).i(0).i(0).done()), "");
    RawBytes answer;
    ASSERT_EQ(waiter.roundTrip(RawRequest(false).b(render).b(kRenderQueryVersion).s(3).i(0).i(11).done(), answer), "");
  }
  void TearDown() override {
    for (RawClient *c : {&waiter, &setter, &bystander, &owner}) c->close();
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }

  // Sends GetInputFocus and reads up to its reply: the errors and events before it.
  static std::vector<RawBytes> messagesUntilSync(RawClient &c, int timeoutMs = 10000) {
    std::vector<RawBytes> out;
    if (!c.send(RawRequest(false).b(kGetInputFocus).b(0).s(1).done()).empty()) return out;
    for (;;) {
      RawBytes message;
      if (!c.read(message, timeoutMs).empty()) {
        out.push_back(RawBytes{0xff});  // marks a time-out
        return out;
      }
      if (message[0] == 1 && rawGet16(message, 2, false) == c.sequence()) return out;
      out.push_back(message);
    }
  }

  // A picture format of the depth (with an alpha channel when `alpha`); 0 when there is none.
  uint32_t pictFormat(uint8_t depth, bool alpha) {
    RawBytes reply;
    if (!waiter.roundTrip(RawRequest(false).b(render).b(kRenderQueryPictFormats).s(1).done(), reply).empty() ||
        reply[0] != 1)
      return 0;
    uint32_t count = rawGet32(reply, 8, false);
    for (uint32_t k = 0; k < count && 32 + 28 * (k + 1) <= reply.size(); k++) {
      size_t at = 32 + 28 * k;
      if (reply[at + 4] == 1 && reply[at + 5] == depth && (rawGet16(reply, at + 22, false) != 0) == alpha)
        return rawGet32(reply, at, false);
    }
    return 0;
  }

  // The waiter enters an Await that holds it until the setter moves the counter.
  void await() {
    ASSERT_TRUE(messagesUntilSync(waiter).empty());
    ASSERT_TRUE(messagesUntilSync(owner).empty());
    ASSERT_EQ(waiter.send(RawRequest(false).b(sync).b(kSyncAwait).s(7).i(counter).i(0).i(0).i(1).i(2).i(0).i(0).done()),
              "");
  }

  // The bystander's longest round trip over 1.5 s; then the counter moves and the waiter's
  // requests go on: only the Await's CounterNotify comes before the waiter's next reply.
  void expectBystanderServedThenRelease() {
    double longest = 0;
    auto start = std::chrono::steady_clock::now();
    do {
      auto before = std::chrono::steady_clock::now();
      RawBytes answer;
      ASSERT_EQ(bystander.roundTrip(RawRequest(false).b(kGetInputFocus).b(0).s(1).done(), answer, 40000), "");
      longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500));
    EXPECT_LT(longest, 1.0);
    ASSERT_EQ(setter.send(RawRequest(false).b(sync).b(kSyncSetCounter).s(4).i(counter).i(0).i(1).done()), "");
    std::vector<RawBytes> messages = messagesUntilSync(waiter, 20000);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_GE(messages[0][0], 2) << "the CounterNotify, no error";
    EXPECT_NE(messages[0][0], 0xff) << "no time-out";
  }

  // The pixel at (x, y) of a depth-24 pixmap of the client, read by GetImage.
  static uint32_t pixelAt(RawClient &c, uint32_t drawable, int x, int y) {
    RawBytes reply;
    RawRequest r(false);
    r.b(kGetImage).b(2).s(5).i(drawable).s(uint32_t(x)).s(uint32_t(y)).s(1).s(1).i(0xffffffffu);
    if (!c.roundTrip(r.done(), reply).empty() || reply[0] != 1 || reply.size() < 36) return 0xdeadbeef;
    return rawGet32(reply, 32, false) & 0xffffff;
  }

  RawBytes fill(uint32_t drawable, uint32_t gc, int width, int height) {
    return RawRequest(false).b(kPolyFillRectangle).b(0).s(5).i(drawable).i(gc).s(0).s(0).s(uint32_t(width))
        .s(uint32_t(height)).done();
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  RawClient waiter, setter, bystander, owner;
  uint8_t sync = 0, render = 0;
  uint32_t counter = 0;
};

}  // namespace

// Cursors from pictures on pixmaps: the pixmap is read back once the held client's drawing has
// reached the server, through a query that the proxy bounds; also when the client has freed the
// pixmap already, as a cursor library does before CreateCursor.
TEST_F(Held, RenderCursorFromAPixmapPictureHoldsNoOtherClient) {
  uint32_t argb = pictFormat(32, true);
  ASSERT_NE(argb, 0u);
  uint32_t base = waiter.idBase(), gc = base + 2, pixmaps[2] = {base + 3, base + 4}, pictures[2] = {base + 5, base + 6},
           cursors[2] = {base + 7, base + 8};
  for (uint32_t k = 0; k < 2; k++) {
    ASSERT_EQ(waiter.send(RawRequest(false).b(kCreatePixmap).b(32).s(4).i(pixmaps[k]).i(waiter.rootWindow()).s(16)
                              .s(16).done()),
              "");
    if (k == 0) {
      ASSERT_EQ(waiter.send(RawRequest(false).b(kCreateGC).b(0).s(5).i(gc).i(pixmaps[k]).i(kGCForeground)
                                .i(0xff00ff00).done()),
                "");
    }
    ASSERT_EQ(waiter.send(fill(pixmaps[k], gc, 16, 16)), "");
    ASSERT_EQ(waiter.send(RawRequest(false).b(render).b(kRenderCreatePicture).s(5).i(pictures[k]).i(pixmaps[k]).i(argb)
                              .i(0).done()),
              "");
  }
  ASSERT_EQ(waiter.send(RawRequest(false).b(kFreePixmap).b(0).s(2).i(pixmaps[1]).done()), "");
  ASSERT_NO_FATAL_FAILURE(await());
  for (uint32_t k = 0; k < 2; k++)
    ASSERT_EQ(waiter.send(RawRequest(false).b(render).b(kRenderCreateCursor).s(4).i(cursors[k]).i(pictures[k]).s(3)
                              .s(4).done()),
              "");
  ASSERT_NO_FATAL_FAILURE(expectBystanderServedThenRelease());
  // The cursors are there, and the proxy read their pixels.
  for (uint32_t cursor : cursors)
    ASSERT_EQ(waiter.send(RawRequest(false).b(kFreeCursor).b(0).s(2).i(cursor).done()), "");
  EXPECT_TRUE(messagesUntilSync(waiter).empty());
  EXPECT_EQ(tarvo.log().find("GetImage("), std::string::npos) << tarvo.log();
  EXPECT_EQ(tarvo.log().find("Reading picture"), std::string::npos) << tarvo.log();
}

// A GC of the held client tiled with another client's pixmap (given at CreateGC, by ChangeGC,
// and by CopyGC from that client's GC), and its picture on a fourth pixmap of that client: the
// tiles fill, the picture composites its pixels.
TEST_F(Held, SharingAnotherClientsPixmapsHoldsNoOtherClient) {
  uint32_t rgb = pictFormat(24, false);
  ASSERT_NE(rgb, 0u);
  const uint32_t colours[4] = {0xff0000, 0x00ff00, 0xffff00, 0x0000ff};
  uint32_t own = owner.idBase(), ownerGC = own + 10, ownerTiled = own + 11,
           tiles[4] = {own + 1, own + 2, own + 3, own + 4};
  for (uint32_t k = 0; k < 4; k++) {
    ASSERT_EQ(owner.send(RawRequest(false).b(kCreatePixmap).b(24).s(4).i(tiles[k]).i(owner.rootWindow()).s(4).s(4)
                             .done()),
              "");
    RawRequest gc(false);
    if (k == 0) gc.b(kCreateGC).b(0).s(5).i(ownerGC).i(tiles[k]).i(kGCForeground).i(colours[k]);
    else gc.b(kChangeGC).b(0).s(4).i(ownerGC).i(kGCForeground).i(colours[k]);
    ASSERT_EQ(owner.send(gc.done()), "");
    ASSERT_EQ(owner.send(fill(tiles[k], ownerGC, 4, 4)), "");
  }
  ASSERT_EQ(owner.send(RawRequest(false).b(kCreateGC).b(0).s(6).i(ownerTiled).i(tiles[2]).i(kGCFillStyle | kGCTile)
                           .i(kFillTiled).i(tiles[2]).done()),
            "");
  // The held client's targets, filled with black first.
  uint32_t base = waiter.idBase(), targets[4] = {base + 2, base + 3, base + 4, base + 5}, plain = base + 6,
           tiled = base + 7, changed = base + 8, copied = base + 9, picture = base + 10, targetPicture = base + 11;
  for (uint32_t target : targets)
    ASSERT_EQ(waiter.send(RawRequest(false).b(kCreatePixmap).b(24).s(4).i(target).i(waiter.rootWindow()).s(8).s(8)
                              .done()),
              "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCreateGC).b(0).s(5).i(plain).i(targets[0]).i(kGCForeground).i(0).done()),
            "");
  for (uint32_t target : targets) ASSERT_EQ(waiter.send(fill(target, plain, 8, 8)), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(render).b(kRenderCreatePicture).s(5).i(targetPicture).i(targets[3]).i(rgb)
                            .i(0).done()),
            "");
  ASSERT_NO_FATAL_FAILURE(await());
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCreateGC).b(0).s(6).i(tiled).i(targets[0]).i(kGCFillStyle | kGCTile)
                            .i(kFillTiled).i(tiles[0]).done()),
            "");
  ASSERT_EQ(waiter.send(fill(targets[0], tiled, 8, 8)), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCreateGC).b(0).s(4).i(changed).i(targets[1]).i(0).done()), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kChangeGC).b(0).s(5).i(changed).i(kGCFillStyle | kGCTile).i(kFillTiled)
                            .i(tiles[1]).done()),
            "");
  ASSERT_EQ(waiter.send(fill(targets[1], changed, 8, 8)), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCreateGC).b(0).s(4).i(copied).i(targets[2]).i(0).done()), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(kCopyGC).b(0).s(4).i(ownerTiled).i(copied).i(kGCFillStyle | kGCTile)
                            .done()),
            "");
  ASSERT_EQ(waiter.send(fill(targets[2], copied, 8, 8)), "");
  ASSERT_EQ(waiter.send(RawRequest(false).b(render).b(kRenderCreatePicture).s(5).i(picture).i(tiles[3]).i(rgb).i(0)
                            .done()),
            "");
  RawRequest composite(false);
  composite.b(render).b(kRenderComposite).s(9).b(1).b(0).s(0).i(picture).i(0).i(targetPicture);
  composite.s(0).s(0).s(0).s(0).s(0).s(0).s(4).s(4);
  ASSERT_EQ(waiter.send(composite.done()), "");
  ASSERT_NO_FATAL_FAILURE(expectBystanderServedThenRelease());
  for (uint32_t k = 0; k < 4; k++) {
    EXPECT_EQ(pixelAt(waiter, targets[k], 1, 2), colours[k]) << "target " << k;
    // The tiles repeat over the whole target; the composite covers its 4x4 corner only.
    EXPECT_EQ(pixelAt(waiter, targets[k], 6, 7), k < 3 ? colours[k] : 0u) << "target " << k;
  }
}
