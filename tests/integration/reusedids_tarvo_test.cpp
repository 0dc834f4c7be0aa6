// Ids of pixmaps that the root window's background keeps, through the tarvo executable: a raw
// client makes a pixmap the root's background and frees it or leaves; the next client given
// the same id base creates a pixmap of that id without an error, draws into its own pixmap,
// and the real screens still show the first client's background. One screen, and two screens
// joined into one meta screen; the clients alternate byte orders.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kFirstColour = 0x00a05a, kSecondColour = 0xc03010, kNewColour = 0x3040ff;

class ReusedIdsThroughTarvo : public ::testing::TestWithParam<std::tuple<int, char>> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    screens = std::get<0>(GetParam());
    TarvoOptions options;
    options.logTypes = {"steps", "Xclients"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, screens, "640x480x24", options), "");
    // Keeps the proxy from resetting when the clients under test leave.
    ASSERT_EQ(holder.connect(tarvo.displayNumber(), 'l'), "");
    real = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(real, nullptr);
  }
  void TearDown() override {
    if (real) XCloseDisplay(real);
    if (HasFailure()) ADD_FAILURE() << tarvo.log();
    holder.close();
    // A sanitizer build's tarvo ends with a failure status on a leak or a bad access.
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }

  // The error codes the client got up to the reply of a GetInputFocus sent now.
  static std::vector<int> errors(RawClient &c) {
    std::vector<int> codes;
    EXPECT_EQ(c.send(RawRequest(c.big()).b(43).b(0).s(1).done()), "");
    for (;;) {
      RawBytes m;
      if (!c.read(m).empty()) {
        ADD_FAILURE() << "no answer";
        break;
      }
      if (m[0] == 0) codes.push_back(m[1]);
      if (m[0] == 1 && rawGet16(m, 2, c.big()) == c.sequence()) break;
    }
    return codes;
  }
  // An 8x8 pixmap of the root's depth filled with the colour, through a GC freed again.
  static void filledPixmap(RawClient &c, uint32_t pixmap, uint32_t colour) {
    uint32_t gc = c.idBase() | 0x100;
    uint32_t root = c.rootWindow();
    EXPECT_EQ(c.send(RawRequest(c.big()).b(53).b(24).s(0).i(pixmap).i(root).s(8).s(8).done()), "");
    EXPECT_EQ(c.send(RawRequest(c.big()).b(55).b(0).s(0).i(gc).i(pixmap).i(0x4).i(colour).done()), "");  // foreground
    EXPECT_EQ(c.send(RawRequest(c.big()).b(70).b(0).s(0).i(pixmap).i(gc).s(0).s(0).s(8).s(8).done()), "");
    EXPECT_EQ(c.send(RawRequest(c.big()).b(60).b(0).s(0).i(gc).done()), "");  // FreeGC
  }
  // Makes the pixmap the root's background and repaints the root.
  static void rootBackground(RawClient &c, uint32_t pixmap) {
    uint32_t root = c.rootWindow();
    EXPECT_EQ(c.send(RawRequest(c.big()).b(2).b(0).s(0).i(root).i(0x1).i(pixmap).done()), "");  // CWBackPixmap
    EXPECT_EQ(c.send(RawRequest(c.big()).b(61).b(0).s(0).i(root).s(0).s(0).s(0).s(0).done()), "");  // ClearArea
  }
  // A pixel of a pixmap read back through the proxy (ZPixmap, 32 bits per pixel).
  static uint32_t pixmapPixel(RawClient &c, uint32_t pixmap) {
    RawBytes answer;
    RawBytes request = RawRequest(c.big()).b(73).b(2).s(0).i(pixmap).s(3).s(3).s(1).s(1).i(0xffffffff).done();
    EXPECT_EQ(c.roundTrip(request, answer), "");
    if (answer.size() < 36 || answer[0] != 1) {
      ADD_FAILURE() << "no GetImage reply";
      return 0xffffffff;
    }
    bool msbImage = c.setup().size() > 30 && c.setup()[30] == 1;  // image byte order
    return rawGet32(answer, 32, msbImage) & 0xffffff;
  }
  // The pixel of each real root after the real server repainted it from its background.
  std::vector<unsigned long> realRootPixels() {
    std::vector<unsigned long> pixels;
    for (int s = 0; s < screens; s++) {
      Window root = RootWindow(real, s);
      XClearWindow(real, root);
      XSync(real, False);
      XImage *image = XGetImage(real, root, 20, 20, 1, 1, AllPlanes, ZPixmap);
      pixels.push_back(image ? XGetPixel(image, 0, 0) & 0xffffff : 0xffffffff);
      if (image) XDestroyImage(image);
    }
    return pixels;
  }
  // Closes the client and waits until the proxy has let its slot go (once the real server
  // answered the close of its raw connections).
  void leave(RawClient &c) {
    uint32_t mask = rawGet32(c.setup(), 16, c.big());  // resource-id-mask
    uint32_t slot = c.idBase() / (mask + 1);
    const std::string departed = "Client #" + std::to_string(slot) + " departed";
    auto departures = [&] {
      std::string log = tarvo.log();
      size_t n = 0;
      for (size_t at = log.find(departed); at != std::string::npos; at = log.find(departed, at + 1)) n++;
      return n;
    };
    size_t before = departures();
    c.close();
    ASSERT_TRUE(tarvo.waitForLog("Client #" + std::to_string(slot) + " stopped", 5000));
    for (int waited = 0; departures() == before && waited < 5000; waited += 10) usleep(10000);
    ASSERT_GT(departures(), before);
  }
  std::vector<unsigned long> all(uint32_t colour) const { return std::vector<unsigned long>(size_t(screens), colour); }

  int screens = 1;
  XvfbServer xvfb;
  TarvoProcess tarvo;
  RawClient holder;
  Display *real = nullptr;
};

TEST_P(ReusedIdsThroughTarvo, TheNextClientOfTheSlotCreatesTheBackgroundsId) {
  const char order = std::get<1>(GetParam()), other = order == 'l' ? 'B' : 'l';
  // Round 1: the client frees its pixmap while the root uses it, then leaves.
  RawClient first;
  ASSERT_EQ(first.connect(tarvo.displayNumber(), order), "");
  const uint32_t base = first.idBase(), pixmap = base | 1, second = base | 2;
  filledPixmap(first, pixmap, kFirstColour);
  rootBackground(first, pixmap);
  EXPECT_EQ(errors(first), std::vector<int>{});
  EXPECT_EQ(realRootPixels(), all(kFirstColour));
  EXPECT_EQ(first.send(RawRequest(first.big()).b(54).b(0).s(0).i(pixmap).done()), "");  // FreePixmap
  // The same client may take the id again at once.
  filledPixmap(first, pixmap, kNewColour);
  EXPECT_EQ(errors(first), std::vector<int>{}) << "no BadIDChoice";
  EXPECT_EQ(pixmapPixel(first, pixmap), kNewColour);
  EXPECT_EQ(first.send(RawRequest(first.big()).b(54).b(0).s(0).i(pixmap).done()), "");
  EXPECT_EQ(errors(first), std::vector<int>{});
  leave(first);

  RawClient next;
  ASSERT_EQ(next.connect(tarvo.displayNumber(), other), "");
  ASSERT_EQ(next.idBase(), base) << "the same slot";
  filledPixmap(next, pixmap, kNewColour);
  EXPECT_EQ(errors(next), std::vector<int>{}) << "no BadIDChoice";
  EXPECT_EQ(pixmapPixel(next, pixmap), kNewColour) << "the id names the new pixmap";
  EXPECT_EQ(realRootPixels(), all(kFirstColour)) << "the real server still holds the background";
  EXPECT_EQ(next.send(RawRequest(next.big()).b(54).b(0).s(0).i(pixmap).done()), "");
  EXPECT_EQ(errors(next), std::vector<int>{});
  EXPECT_EQ(realRootPixels(), all(kFirstColour));

  // Round 2: that client makes another pixmap the background and leaves without freeing it.
  filledPixmap(next, second, kSecondColour);
  rootBackground(next, second);
  EXPECT_EQ(errors(next), std::vector<int>{});
  EXPECT_EQ(realRootPixels(), all(kSecondColour));
  leave(next);

  RawClient third;
  ASSERT_EQ(third.connect(tarvo.displayNumber(), order), "");
  ASSERT_EQ(third.idBase(), base);
  filledPixmap(third, second, kNewColour);
  filledPixmap(third, pixmap, kFirstColour);
  EXPECT_EQ(errors(third), std::vector<int>{}) << "no BadIDChoice";
  EXPECT_EQ(pixmapPixel(third, second), kNewColour);
  EXPECT_EQ(realRootPixels(), all(kSecondColour));
  // A background of its own lets the kept pixmap go; the new pixmaps of its ids stay.
  rootBackground(third, pixmap);
  EXPECT_EQ(errors(third), std::vector<int>{});
  EXPECT_EQ(realRootPixels(), all(kFirstColour));
  EXPECT_EQ(pixmapPixel(third, second), kNewColour);
  for (uint32_t id : {pixmap, second})
    EXPECT_EQ(third.send(RawRequest(third.big()).b(54).b(0).s(0).i(id).done()), "");
  EXPECT_EQ(errors(third), std::vector<int>{});
  EXPECT_EQ(tarvo.log().find("POTENTIAL PROBLEM"), std::string::npos) << tarvo.log();
}

// Another client's GC keeps the pixmap as its tile: it tiles with the first client's pixels
// after the id went to the next client's pixmap, and lets the kept pixmap go with the GC.
TEST_P(ReusedIdsThroughTarvo, AnotherClientsTileKeepsItsPixelsButNotItsId) {
  const char order = std::get<1>(GetParam()), other = order == 'l' ? 'B' : 'l';
  RawClient first;
  ASSERT_EQ(first.connect(tarvo.displayNumber(), order), "");
  const uint32_t pixmap = first.idBase() | 1;
  filledPixmap(first, pixmap, kFirstColour);
  EXPECT_EQ(errors(first), std::vector<int>{});
  const uint32_t gc = holder.idBase() | 1, target = holder.idBase() | 2;
  // FillStyle FillTiled (bit 8) and Tile (bit 10).
  RawBytes createGC = RawRequest(false).b(55).b(0).s(0).i(gc).i(holder.rootWindow()).i(0x500).i(1).i(pixmap).done();
  EXPECT_EQ(holder.send(createGC), "");
  EXPECT_EQ(errors(holder), std::vector<int>{});
  EXPECT_EQ(first.send(RawRequest(first.big()).b(54).b(0).s(0).i(pixmap).done()), "");  // FreePixmap
  EXPECT_EQ(errors(first), std::vector<int>{});
  leave(first);

  RawClient next;
  ASSERT_EQ(next.connect(tarvo.displayNumber(), other), "");
  ASSERT_EQ(next.idBase(), first.idBase());
  filledPixmap(next, pixmap, kNewColour);
  EXPECT_EQ(errors(next), std::vector<int>{}) << "no BadIDChoice";
  // The holder tiles a pixmap of its own with the kept tile.
  EXPECT_EQ(holder.send(RawRequest(false).b(53).b(24).s(0).i(target).i(holder.rootWindow()).s(8).s(8).done()), "");
  EXPECT_EQ(holder.send(RawRequest(false).b(70).b(0).s(0).i(target).i(gc).s(0).s(0).s(8).s(8).done()), "");
  EXPECT_EQ(errors(holder), std::vector<int>{});
  EXPECT_EQ(pixmapPixel(holder, target), kFirstColour);
  EXPECT_EQ(pixmapPixel(next, pixmap), kNewColour);
  EXPECT_EQ(holder.send(RawRequest(false).b(60).b(0).s(0).i(gc).done()), "");  // FreeGC: the last reference
  EXPECT_EQ(holder.send(RawRequest(false).b(54).b(0).s(0).i(target).done()), "");
  EXPECT_EQ(errors(holder), std::vector<int>{});
  EXPECT_EQ(pixmapPixel(next, pixmap), kNewColour) << "the new pixmap outlives the kept one";
  EXPECT_EQ(errors(next), std::vector<int>{});
  EXPECT_EQ(tarvo.log().find("POTENTIAL PROBLEM"), std::string::npos) << tarvo.log();
}

INSTANTIATE_TEST_SUITE_P(ScreensAndOrders, ReusedIdsThroughTarvo,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values('l', 'B')),
                         [](const ::testing::TestParamInfo<std::tuple<int, char>> &info) {
                           return std::to_string(std::get<0>(info.param)) + "Screens" +
                                  (std::get<1>(info.param) == 'B' ? "MsbFirst" : "LsbFirst");
                         });

}  // namespace
