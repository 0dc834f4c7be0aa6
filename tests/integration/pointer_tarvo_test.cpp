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

// A client's pointer grab without a confine-to window lets the real server carry the pointer
// onto its second screen by itself; the grab must follow it there, or that screen's motion,
// which the real server reports to the first head's copy of the grab window as not on the
// same screen, is lost.
TEST_F(PointerTarvo, AnUnconfinedGrabFollowsTheRealPointerOntoTheSecondScreen) {
  std::string script =
      "import time\n"
      "from Xlib import display, X\n"
      "d = display.Display(\"%P\")\n"
      "real = display.Display(\"%R\")\n"
      "root = d.screen().root\n"
      "real.screen(0).root.warp_pointer(100, 100)\n"
      "real.sync()\n"
      "print(\"grab\", root.grab_pointer(False, X.PointerMotionMask, X.GrabModeAsync, X.GrabModeAsync, 0, 0, 0))\n"
      "d.sync()\n"
      "for s, x, y in ((0, 200, 150), (1, 10, 20), (1, 50, 60), (1, 70, 80)):\n"
      "  real.screen(s).root.warp_pointer(x, y)\n"
      "  real.sync()\n"
      "  time.sleep(0.4)\n"
      "d.sync()\n"
      "while d.pending_events():\n"
      "  e = d.next_event()\n"
      "  if e.type == X.MotionNotify: print(e.root_x, e.root_y, e.same_screen, e.root == root)\n";
  for (size_t at; (at = script.find("%P")) != std::string::npos;) script.replace(at, 2, twin.proxyDisplay());
  for (size_t at; (at = script.find("%R")) != std::string::npos;) script.replace(at, 2, twin.behindDisplay());
  std::string out = twinRunCommand("timeout 20 /usr/bin/python3 -c '" + script + "' 2>&1");
  // The motion onto the second screen may arrive before the grab followed (the proxy polls
  // the grabbed pointer); the motion after it is reported on the meta screen.
  EXPECT_EQ(out.rfind("grab 0\n200 150 1 True\n", 0), 0u) << out;
  EXPECT_NE(out.find("1074 60 1 True\n1094 80 1 True\n"), std::string::npos) << out;
  EXPECT_TRUE(twin.tarvo().waitForLog("under a grab", 5000)) << twin.tarvo().log();
}

}  // namespace
