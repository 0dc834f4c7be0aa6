// The pointer on two heads through the tarvo executable: an Xvfb of two 1024x768 screens
// joined into one meta screen. A real pointer on the second screen is reported in meta
// coordinates; a WarpPointer through tarvo lands on the right real screen.
#include <gtest/gtest.h>

#include <string>

#include "twinrun_fixture.h"

namespace {

// A python3-xlib program run with a time-out; %D is the display.
std::string python(const std::string &display, const std::string &body) {
  std::string command = "timeout 20 /usr/bin/python3 -c '" + body + "' 2>&1";
  size_t at = command.find("%D");
  while (at != std::string::npos) {
    command.replace(at, 2, display);
    at = command.find("%D");
  }
  return twinRunCommand(command);
}

class PointerTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(2, "1024x768x24");
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

constexpr const char *kWarpOnScreen1 =
    "from Xlib import display\n"
    "d = display.Display(\"%D\")\n"
    "d.screen(1).root.warp_pointer(10, 20)\n"
    "d.sync()\n";
constexpr const char *kQuery =
    "from Xlib import display\n"
    "d = display.Display(\"%D\")\n"
    "p = d.screen().root.query_pointer()\n"
    "print(p.root_x, p.root_y, p.same_screen, p.root == d.screen().root)\n";
constexpr const char *kRealPosition =
    "from Xlib import display\n"
    "d = display.Display(\"%D\")\n"
    "for s in range(d.screen_count()):\n"
    "  p = d.screen(s).root.query_pointer()\n"
    "  if p.same_screen: print(s, p.root_x, p.root_y)\n";

TEST_F(PointerTarvo, SecondScreensPointerIsReportedOnTheMetaScreen) {
  python(twin.behindDisplay(), kWarpOnScreen1);
  EXPECT_EQ(python(twin.proxyDisplay(), kQuery), "1034 20 1 True\n");
}

TEST_F(PointerTarvo, WarpPointerLandsOnTheRealScreenThatShowsIt) {
  python(twin.behindDisplay(), kWarpOnScreen1);
  std::string warp =
      "from Xlib import display\n"
      "d = display.Display(\"%D\")\n"
      "d.screen().root.warp_pointer(1500, 300)\n"
      "d.get_input_focus()\n";
  EXPECT_EQ(python(twin.proxyDisplay(), warp), "");
  EXPECT_EQ(python(twin.behindDisplay(), kRealPosition), "1 476 300\n");
  EXPECT_TRUE(twin.tarvo().waitForLog("Pointer warped to", 5000));
  // A source rectangle that misses the pointer moves nothing.
  std::string missed =
      "from Xlib import display, X\n"
      "d = display.Display(\"%D\")\n"
      "r = d.screen().root\n"
      "r.warp_pointer(5, 5, src_window=r, src_x=0, src_y=0, src_width=100, src_height=100)\n"
      "d.get_input_focus()\n";
  EXPECT_EQ(python(twin.proxyDisplay(), missed), "");
  EXPECT_EQ(python(twin.behindDisplay(), kRealPosition), "1 476 300\n");
  EXPECT_EQ(python(twin.proxyDisplay(), kQuery), "1500 300 1 True\n");
}

}  // namespace
