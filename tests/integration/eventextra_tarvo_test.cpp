// Events through the tarvo executable that the client-side checks of the event handlers do not
// reach: xev judging pointer, crossing and key events made by xdotool on the real display, key
// events of a client's own window with a child, and structure and exposure events of a client
// that speaks MSB-first. Each is a twin run: the same actions against an equal Xvfb used
// directly give the expected output.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "rawclient_fixture.h"
#include "twinrun_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/";

// The number of a display name ":N".
int displayNumberOf(const std::string &name) { return std::stoi(name.substr(name.find(':') + 1)); }

// The xev output block (event name to the next blank line) of the n-th event of that name, "" when
// there are fewer.
std::string xevBlock(const std::string &output, const std::string &event, int n = 0) {
  for (size_t at = 0; (at = output.find(event + " event,", at)) != std::string::npos; at++) {
    if (at > 0 && output[at - 1] != '\n') continue;
    if (n-- > 0) continue;
    size_t end = output.find("\n\n", at);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return "";
}

// Runs the script (the display it uses, the real display for xdotool, then the words) on each
// side: on the direct Xvfb with xdotool there, and through tarvo with xdotool on the Xvfb behind
// it. {direct output, output through tarvo}, stderr joined.
std::pair<std::string, std::string> runTwin(TwinRun &twin, const std::string &script,
                                            const std::string &directWords = "", const std::string &proxiedWords = "") {
  std::string command = "timeout 90 /usr/bin/python3 " + kScripts + script + " ";
  std::string direct =
      twinRunCommand(command + twin.directDisplay() + " " + twin.directDisplay() + " " + directWords + " 2>&1");
  std::string proxied =
      twinRunCommand(command + twin.proxyDisplay() + " " + twin.behindDisplay() + " " + proxiedWords + " 2>&1");
  return {direct, proxied};
}

class EventExtraThroughTarvo : public TwinRunOnScreens {
 protected:
  // tarvo lived through the run (a fault the sanitizer build finds ends it at once).
  void TearDown() override { EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test"; }
};

// xev's window (xev a core client on both sides): the pointer enters over its inner window,
// moves, clicks buttons 1 and 3, types "a" and shift+b, crosses out of the inner window and
// leaves. The same blocks, with the same window-relative and root positions, as xev prints
// against the Xvfb itself.
TEST_P(EventExtraThroughTarvo, XevSeesPointerCrossingAndKeyEventsAsDirect) {
  auto [direct, proxied] = runTwin(twin, "xevdrive.py");
  ASSERT_EQ(direct.find("TIMEOUT"), std::string::npos) << direct;
  // The direct run itself shows every kind asked for (otherwise the comparison proves little).
  std::string motion = xevBlock(direct, "MotionNotify");
  EXPECT_NE(motion.find("(48,58), root:(60,70)"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "ButtonPress", 0).find("button 1,"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "ButtonRelease", 1).find("button 3,"), std::string::npos) << direct;
  std::string press = xevBlock(direct, "KeyPress");
  EXPECT_NE(press.find("(keysym 0x61, a)"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "KeyRelease").find("(keysym 0x61, a)"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "EnterNotify").find("detail NotifyVirtual"), std::string::npos) << direct;
  EXPECT_NE(direct.find("(388,288), root:(400,300),\n    mode NotifyNormal, detail NotifyAncestor"), std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// Two 640x480 heads joined into one meta screen behind tarvo, against one 1280x480 screen used
// directly; xdotool acts on the real display's second screen.
class EventExtraSecondHead : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens = {"640x480x24", "640x480x24"};
    options.directScreens = {"1280x480x24"};
    ASSERT_EQ(twin.start(options), "");
  }
  // tarvo lived through the run (a fault the sanitizer build finds ends it at once).
  void TearDown() override { EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test"; }
  TwinRun twin;
};

// xev's window on the second head (its left edge at 700 on the meta root): the same output as
// xev on the wide screen with the pointer at the same root positions. Root and window-relative
// positions are meta-screen positions, not those of the head.
TEST_F(EventExtraSecondHead, XevOnTheSecondHeadAsOnOneWideScreen) {
  auto [direct, proxied] = runTwin(twin, "xevdrive.py", "--origin 700", "--origin 700 --screen 1 --offset 640");
  ASSERT_EQ(direct.find("TIMEOUT"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "MotionNotify").find("(48,58), root:(750,70)"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "ButtonPress", 1).find("button 3,"), std::string::npos) << direct;
  EXPECT_NE(xevBlock(direct, "KeyPress").find("(keysym 0x61, a)"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

// Key events of a window on the second head (left edge at 700): meta-screen root positions and
// positions relative to the window, as on one wide screen.
TEST_F(EventExtraSecondHead, KeyEventsOnTheSecondHeadAsOnOneWideScreen) {
  auto [direct, proxied] = runTwin(twin, "eventkeys.py", "--origin 700", "--origin 700 --screen 1 --offset 640");
  EXPECT_NE(direct.find("KeyPress detail=38 window=top root=root child=child root_x=740 root_y=90 event_x=40"),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("child=none root_x=850 root_y=150 event_x=150 event_y=110 state=5"), std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// Key events of a window whose child selects none: the window receives them with the child
// named, the same keycode, modifier state (shift, control, a held button) and positions.
TEST_P(EventExtraThroughTarvo, KeyEventsFromXdotoolAsDirect) {
  auto [direct, proxied] = runTwin(twin, "eventkeys.py");
  EXPECT_NE(direct.find("KeyPress detail=38 window=top root=root child=child root_x=90 root_y=90 event_x=40"),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("child=none root_x=200 root_y=150 event_x=150 event_y=110 state=5"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("state=256"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

// ===== MSB-first structure and exposure events =====

// One event as text: its name, sequence number and fields, window ids as names.
std::string describeEvent(const RawBytes &e, bool big, uint32_t window, uint32_t sibling, uint32_t root) {
  auto id = [&](size_t at) {
    uint32_t v = rawGet32(e, at, big);
    return std::string(v == window ? "w" : v == sibling ? "sibling" : v == root ? "root" : v == 0 ? "0" : "other");
  };
  auto u16 = [&](size_t at) { return std::to_string(rawGet16(e, at, big)); };
  auto i16 = [&](size_t at) { return std::to_string(int16_t(rawGet16(e, at, big))); };
  std::string seq = " seq=" + u16(2);
  switch (e[0] & 0x7f) {
    case 0:
      return "error " + std::to_string(e[1]) + seq;
    case 12:
      return "Expose" + seq + " window=" + id(4) + " " + u16(8) + "," + u16(10) + " " + u16(12) + "x" + u16(14) +
             " count=" + u16(16);
    case 17:
      return "DestroyNotify" + seq + " event=" + id(4) + " window=" + id(8);
    case 18:
      return "UnmapNotify" + seq + " event=" + id(4) + " window=" + id(8) + " fromConfigure=" + std::to_string(e[12]);
    case 19:
      return "MapNotify" + seq + " event=" + id(4) + " window=" + id(8) + " override=" + std::to_string(e[12]);
    case 22:
      return "ConfigureNotify" + seq + " event=" + id(4) + " window=" + id(8) + " above=" + id(12) + " " + i16(16) +
             "," + i16(18) + " " + u16(20) + "x" + u16(22) + " border=" + u16(24) + " override=" +
             std::to_string(e[26]);
    default:
      return "event " + std::to_string(e[0]) + seq;
  }
}

// Creates a window selecting StructureNotify and Exposure, maps, moves and resizes it, creates a
// sibling above it and raises it over that, unmaps, maps and destroys it, with a round trip after
// each step; every event read back as text.
std::string structureScript(int display, char order) {
  RawClient c;
  if (std::string failure = c.connect(display, order); !failure.empty()) return "connect: " + failure;
  bool big = c.big();
  uint32_t w = c.idBase() | 0x21, sibling = c.idBase() | 0x22, root = c.rootWindow();
  std::string out;
  auto step = [&](const std::string &name, const RawBytes &request) {
    out += "-- " + name + "\n";
    RawBytes answer;
    std::string failure = c.send(request);
    if (failure.empty()) failure = c.roundTrip(RawRequest(big).b(43).b(0).s(0).done(), answer);
    if (!failure.empty()) {
      out += name + ": " + failure + "\n";
      return false;
    }
    if (answer[0] == 0) out += "error " + std::to_string(answer[1]) + "\n";
    for (const RawBytes &e : c.events()) out += describeEvent(e, big, w, sibling, root) + "\n";
    c.events().clear();
    return true;
  };
  // CreateWindow: depth and visual from the parent, InputOutput, background pixel and event mask.
  RawBytes create = RawRequest(big).b(1).b(0).s(0).i(w).i(root).s(20).s(30).s(100).s(80).s(2).s(1).i(0).i(0x802)
                        .i(0x123456).i((1u << 17) | (1u << 15)).done();
  RawBytes createSibling = RawRequest(big).b(1).b(0).s(0).i(sibling).i(root).s(0).s(0).s(300).s(200).s(0).s(1).i(0)
                               .i(0).done();
  RawBytes map = RawRequest(big).b(8).b(0).s(0).i(w).done();
  RawBytes moveResize = RawRequest(big).b(12).b(0).s(0).i(w).s(0x1f).s(0).i(uint32_t(-5)).i(50).i(160).i(120).i(4)
                            .done();
  RawBytes shrink = RawRequest(big).b(12).b(0).s(0).i(w).s(0x0c).s(0).i(60).i(40).done();
  RawBytes raise = RawRequest(big).b(12).b(0).s(0).i(w).s(0x40).s(0).i(0).done();  // stack mode Above
  RawBytes unmap = RawRequest(big).b(10).b(0).s(0).i(w).done();
  RawBytes destroy = RawRequest(big).b(4).b(0).s(0).i(w).done();
  step("create", create) && step("map", map) && step("move and resize", moveResize) && step("shrink", shrink) &&
      step("sibling", createSibling) && step("raise", raise) && step("unmap", unmap) && step("map again", map) &&
      step("destroy", destroy);
  return out;
}

TEST_P(EventExtraThroughTarvo, MsbFirstStructureAndExposureEventsAsDirect) {
  std::string direct = structureScript(displayNumberOf(twin.directDisplay()), 'B');
  std::string proxied = structureScript(twin.tarvo().displayNumber(), 'B');
  // The direct run shows each kind (a round trip after each request: the n-th request is 2n-1).
  EXPECT_NE(direct.find("MapNotify seq=3 event=w window=w override=0"), std::string::npos) << direct;
  EXPECT_NE(direct.find("ConfigureNotify seq=5 event=w window=w above=0 -5,50 160x120 border=4"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("Expose seq=5 window=w 1,0 159x120 count=0"), std::string::npos) << direct;
  EXPECT_NE(direct.find("ConfigureNotify seq=11 event=w window=w above=sibling -5,50 60x40"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("UnmapNotify"), std::string::npos) << direct;
  EXPECT_NE(direct.find("DestroyNotify"), std::string::npos) << direct;
  EXPECT_EQ(direct.find("error"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  // The same client in LSB-first order sees the same events (the byte order changes nothing).
  EXPECT_EQ(structureScript(twin.tarvo().displayNumber(), 'l'), direct);
}

INSTANTIATE_TEST_SUITE_P(Screens, EventExtraThroughTarvo, ::testing::Values(1, 2));

}  // namespace
