// The pointer on two heads through the tarvo executable: an Xvfb of two 1024x768 screens
// joined into one meta screen. A real pointer on the second screen is reported in meta
// coordinates; a WarpPointer through tarvo lands on the right real screen. The crossing events
// of a pointer moved between two 640x480 heads are those of one 1280x480 screen, and so is where
// a pointer confined to a (shaped) window near their border goes.
#include <gtest/gtest.h>

#include <future>
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

// XTEST's relative motion through tarvo starts from the real pointer also when it is on the
// second screen (where XQueryPointer on the first screen's root says "not same screen").
TEST_F(PointerTarvo, RelativeFakeMotionStartsOnTheSecondScreen) {
  python(twin.behindDisplay(), kWarpOnScreen1);
  std::string relative =
      "from Xlib import display, X\n"
      "from Xlib.ext import xtest\n"
      "d = display.Display(\"%D\")\n"
      "xtest.fake_input(d, X.MotionNotify, 1, x=5, y=-7)\n"
      "d.sync()\n";
  python(twin.proxyDisplay(), relative);
  EXPECT_EQ(python(twin.proxyDisplay(), kQuery), "1039 13 1 True\n");
  EXPECT_EQ(python(twin.behindDisplay(), kRealPosition), "1 15 13\n");
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

// Two 640x480 heads behind tarvo against one 1280x480 screen used directly; crossingdrive.py
// moves the pointer with XTEST through the display it speaks to, over a window across the
// border with a child on each side and a window wholly on each head.
class CrossingBetweenHeads : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens = {"640x480x24", "640x480x24"};
    options.directScreens = {"1280x480x24"};
    ASSERT_EQ(twin.start(options), "");
  }
  // tarvo lived through the run and ends cleanly (a fault or a leak the sanitizer build finds
  // ends it at once or fails its exit).
  void TearDown() override {
    EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(twin.stop(), 0) << twin.tarvo().output();
  }
  // The scenes on both sides at once: {direct output, output through tarvo}.
  std::pair<std::string, std::string> drive(const std::string &scenes, const std::string &script = "crossingdrive.py") {
    auto command = [&](const std::string &display) {
      return "timeout 60 /usr/bin/python3 " TARVO_SOURCE_DIR "/tests/integration/" + script + " " + display + " " +
             scenes + " 2>&1";
    };
    auto direct = std::async(std::launch::async, twinRunCommand, command(twin.directDisplay()), nullptr, 60);
    std::string proxied = twinRunCommand(command(twin.proxyDisplay()));
    return {direct.get(), proxied};
  }
  // A round trip directly on the real server behind tarvo and one through tarvo answer. A real
  // server that does not is killed, so that the test ends rather than waits for it.
  void expectServersAnswer() {
    auto answers = [](const std::string &display) {
      return twinRunCommand("timeout 10 /usr/bin/python3 -c 'from Xlib import display; d = display.Display(\"" +
                            display + "\"); d.get_input_focus(); print(1)' 2>&1") == "1\n";
    };
    if (!answers(twin.behindDisplay())) {
      ADD_FAILURE() << "the real server behind tarvo does not answer";
      twin.behind().kill();
      return;
    }
    EXPECT_TRUE(answers(twin.proxyDisplay())) << "tarvo does not answer";
  }
  TwinRun twin;
};

// Between children on two heads (Nonlinear, and Ancestor/Inferior with the parent on the
// border), between windows each on one head, from a child to another head's top-level window
// (NonlinearVirtual), onto the root and back, back and forth 30 times without waiting (each
// crossing in its place among the motion events), with the focus on the parent (the focus
// flag, and no FocusIn or FocusOut of the pointer's windows), None and PointerRoot.
TEST_F(CrossingBetweenHeads, EnterAndLeaveAsOnOneWideScreen) {
  auto [direct, proxied] = drive("children windows root quick focus");
  ASSERT_NE(direct.find("== end"), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- left to right\nLeave left child=none detail=3 mode=0 flags=3 root=740,100 at=290,70 state=0\n"
                        "Enter right child=none detail=3 mode=0 flags=3 root=740,100 at=90,70 state=0\n"
                        "Motion right child=none detail=0 same=1 root=740,100 at=90,70 state=0\n--"),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("-- left to east\nLeave left child=none detail=3 mode=0 flags=3 root=800,360 at=350,330 state=0\n"
                        "Leave parent child=left detail=4 "),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("-- left onto the root\nLeave left child=none detail=0 mode=0 flags=3 root=1000,100 at=550,70 "
                        "state=0\nLeave parent child=left detail=1 "),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("Enter east child=none detail=3 mode=0 flags=2 "), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

// Under an active pointer grab on the parent (without and with owner-events), through its
// NotifyGrab and NotifyUngrab, under the implicit grab of a button held across the border (the
// grab's rules pick the same events, with the held button in their state), and under a
// keyboard grab of the focus window (no FocusIn or FocusOut on the way); back and forth 30
// times without waiting under the grab (the pointer poll's answers from before a crossing do
// not carry the pointer back).
TEST_F(CrossingBetweenHeads, GrabbedCrossingsAsOnOneWideScreen) {
  auto [direct, proxied] = drive("grab ownergrab keyboard implicit grabquick");
  ASSERT_NE(direct.find("== end"), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- right onto the root\nLeave parent child=right detail=1 mode=0 flags=3 root=1000,100 "),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("-- ungrab\nLeave parent child=none detail=0 mode=2 "), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- left to right\nLeave left child=none detail=3 mode=0 flags=3 root=740,100 at=290,70 state=256\n"
                        "Motion left "),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// A pointer grab confined to a shaped window across the border (the grab then the shape, and
// the shape then the grab), warped across, beyond and back, and a passive button grab confined
// to it moved by XTEST: the pointer stays in the shape as on one screen, and the real server
// behind tarvo, never sent a confinement it cannot satisfy (a copy on another screen than the
// pointer's), answers all along.
TEST_F(CrossingBetweenHeads, ConfinedWarpsAcrossTheBorderAsOnOneWideScreen) {
  auto [direct, proxied] = drive("grabshape shapegrab button", "confinedrive.py");
  ASSERT_NE(direct.find("== end"), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- grabshape\ngrab 0\ngrabbed 560,120\nwarp 1000,150: 689,150\nwarp 100,300: 540,179\n"),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
  expectServersAnswer();
}

// The same confinement reached otherwise: a window wholly on the other head than the pointer's,
// a grab again confined to a window on the other head, a shape taken off the pointer's head and
// back under the grab, the window moved off it and resized back, and XTEST motion instead of
// warps.
TEST_F(CrossingBetweenHeads, ConfinementFollowsTheWindowAndMotionAsOnOneWideScreen) {
  auto [direct, proxied] = drive("far regrab reshape move xtest", "confinedrive.py");
  ASSERT_NE(direct.find("== end"), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- reshape\ngrab 0\nreshaped 660,120\nwarp 0,0: 660,100\n"), std::string::npos) << direct;
  EXPECT_NE(direct.find("-- move\ngrab 0\nmoved 900,120\n"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  expectServersAnswer();
}

}  // namespace
