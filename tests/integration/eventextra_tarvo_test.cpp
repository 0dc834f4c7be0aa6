// Events through the tarvo executable that the client-side checks of the event handlers do not
// reach: xev judging pointer, crossing and key events made by xdotool on the real display, key
// events of a client's own window with a child, structure and exposure events of a client
// that speaks MSB-first, focus events of PointerRoot and None, and the ConfigureRequest a
// window manager receives on a meta screen that keeps windows visible. Each is a twin run: the
// same actions against an equal Xvfb used directly give the expected output.
#include <gtest/gtest.h>

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

// The focus set to PointerRoot, None and windows with the pointer over the root and over a
// window: the same FocusIn and FocusOut events, details PointerRoot and None included.
TEST_P(EventExtraThroughTarvo, FocusEventsOfPointerRootAndNoneAsDirect) {
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + kScripts + "focusprint.py %D");
  EXPECT_NE(direct.find("-- None from PointerRoot, pointer in inner\nFocusOut inner detail=Pointer mode=Normal\n"
                        "FocusOut top detail=Pointer mode=Normal\nFocusOut root detail=Pointer mode=Normal\n"
                        "FocusOut root detail=PointerRoot mode=Normal\nFocusIn root detail=None mode=Normal\n--"),
            std::string::npos)
      << direct;
  EXPECT_NE(direct.find("FocusOut root detail=None mode=Normal\nFocusIn root detail=PointerRoot mode=Normal\n"
                        "FocusIn root detail=Pointer mode=Normal\n-- inner, pointer over the root"),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// Through two heads the real server reports a switch of PointerRoot and None on each head's
// root, and the pointer moves between the heads' copies of the windows: one wide screen's
// events all the same (the window lies on the second head).
TEST_F(EventExtraSecondHead, FocusEventsOfPointerRootAndNoneAsOnOneWideScreen) {
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + kScripts + "focusprint.py %D");
  EXPECT_NE(direct.find("-- PointerRoot from top\nFocusOut top detail=Nonlinear mode=Normal\n"
                        "FocusOut root detail=NonlinearVirtual mode=Normal\nFocusIn root detail=PointerRoot "
                        "mode=Normal\nFocusIn root detail=Pointer mode=Normal\n--"),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// A window manager on a 1600x900 meta screen whose two 800x600 heads leave the bottom 300 rows
// hidden, keepWindowsVisible 100: a ConfigureRequest for a place in the hidden part carries the
// corrected position (the window's outer box moved up to the heads' box, at most 100 of a
// dimension allowed outside); requests on a shown part, without a position, or for a window
// whose WM_CLASS says KeepWindowsVisible arrive as asked. Against one 1600x600 screen used
// directly, where every request arrives as asked.
TEST(EventExtraKeepVisible, AWindowManagerReceivesTheCorrectedPosition) {
  tarvoBlockSignals();
  TwinRun twin;
  TwinRunOptions options;
  options.screens = {"800x600x24", "800x600x24"};
  options.directScreens = {"1600x600x24"};
  options.tarvoScreenWords = {"metaScreen", "m", "height", "900", "keepWindowsVisible", "100",
                              "screen", "%D.0", "tags", "anyScreen"};
  ASSERT_EQ(twin.start(options), "");
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + kScripts + "wmconfigure.py %D");
  EXPECT_NE(direct.find("ConfigureRequest plain x=300 y=700 w=200 h=100 border=0 mask=0x3\n"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("ConfigureRequest exempt x=300 y=700 "), std::string::npos) << direct;
  // The direct run with the corrections a keep-visible meta screen makes: a 200x100 window
  // asked at y 700 or 800 goes to y 500; the bordered one (outer box 210x110, so 10 rows may lie
  // outside) asked at 1500,650 goes to 1500,500, and later requests for it carry that place.
  std::string expected = direct;
  auto replaceAll = [&](const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = expected.find(from, at)) != std::string::npos; at += to.size())
      expected.replace(at, from.size(), to);
  };
  replaceAll("plain x=300 y=700", "plain x=300 y=500");
  replaceAll("plain x=300 y=800", "plain x=300 y=500");
  replaceAll("geometry plain 300,700", "geometry plain 300,500");
  replaceAll("geometry plain 300,800", "geometry plain 300,500");
  replaceAll("bordered x=1500 y=650", "bordered x=1500 y=500");
  replaceAll("geometry bordered 1500,650", "geometry bordered 1500,500");
  EXPECT_EQ(proxied, expected);
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test";
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

// ===== pointer and key events of an xcb client and of an MSB-first client =====

// One device or crossing event as text: window ids as names ("w", "c" its child, "root").
std::string describeDeviceEvent(const uint8_t *e, bool big, uint32_t w, uint32_t child, uint32_t root) {
  static const char *const kNames[] = {"KeyPress", "KeyRelease", "ButtonPress", "ButtonRelease", "MotionNotify",
                                       "EnterNotify", "LeaveNotify"};
  RawBytes m(e, e + 32);
  uint8_t code = e[0] & 0x7f;
  if (code < 2 || code > 8) return code == 0 ? "error " + std::to_string(e[1]) : "event " + std::to_string(code);
  auto id = [&](size_t at) {
    uint32_t v = rawGet32(m, at, big);
    return std::string(v == 0 ? "0" : v == w ? "w" : v == child ? "c" : v == root ? "root" : "other");
  };
  auto i16 = [&](size_t at) { return std::to_string(int16_t(rawGet16(m, at, big))); };
  std::string text = std::string(kNames[code - 2]) + " detail=" + std::to_string(e[1]) + " root=" + id(8) +
                     " event=" + id(12) + " child=" + id(16) + " at " + i16(20) + "," + i16(22) + " in " + i16(24) +
                     "," + i16(26) + " state=" + std::to_string(rawGet16(m, 28, big));
  if (code >= 7) return text + " mode=" + std::to_string(e[30]) + " flags=" + std::to_string(e[31]);
  return text + " same-screen=" + std::to_string(e[30]);
}

// The client under test: xcb in the machine's order, or a raw connection in MSB-first order.
class PointerClient {
 public:
  virtual ~PointerClient() = default;
  virtual std::string connect(const std::string &display) = 0;
  // Creates and maps the window w (child of the root, with the event mask).
  virtual void createWindow(int x, int y, unsigned width, unsigned height, uint32_t mask) = 0;
  // A round trip; the events that came before it, as text.
  virtual std::vector<std::string> events() = 0;
  uint32_t window = 0, root = 0;
  uint32_t child = 0;  // the child another client gave the window
};

class XcbPointerClient : public PointerClient {
 public:
  ~XcbPointerClient() override {
    if (c_) xcb_disconnect(c_);
  }
  std::string connect(const std::string &display) override {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (!c_ || xcb_connection_has_error(c_)) return "xcb_connect failed";
    root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    return "";
  }
  void createWindow(int x, int y, unsigned width, unsigned height, uint32_t mask) override {
    window = xcb_generate_id(c_);
    uint32_t values[] = {0xffffff, mask};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, root, int16_t(x), int16_t(y), uint16_t(width),
                      uint16_t(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window);
  }
  std::vector<std::string> events() override {
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    std::vector<std::string> out;
    while (xcb_generic_event_t *e = xcb_poll_for_event(c_)) {
      out.push_back(describeDeviceEvent(reinterpret_cast<const uint8_t *>(e), false, window, child, root));
      free(e);
    }
    return out;
  }

 private:
  xcb_connection_t *c_ = nullptr;
};

class RawPointerClient : public PointerClient {
 public:
  std::string connect(const std::string &display) override {
    if (std::string failure = c_.connect(displayNumberOf(display), 'B'); !failure.empty()) return failure;
    root = c_.rootWindow();
    return "";
  }
  void createWindow(int x, int y, unsigned width, unsigned height, uint32_t mask) override {
    window = c_.idBase() | 0x31;
    c_.send(RawRequest(true).b(1).b(0).s(0).i(window).i(root).s(unsigned(x)).s(unsigned(y)).s(width).s(height)
                .s(0).s(1).i(0).i(0x802).i(0xffffff).i(mask).done());
    c_.send(RawRequest(true).b(8).b(0).s(0).i(window).done());
  }
  std::vector<std::string> events() override {
    RawBytes answer;
    std::vector<std::string> out;
    if (std::string failure = c_.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer); !failure.empty())
      out.push_back("round trip: " + failure);
    for (const RawBytes &e : c_.events())
      if (e.size() >= 32) out.push_back(describeDeviceEvent(e.data(), true, window, child, root));
    c_.events().clear();
    return out;
  }

 private:
  RawClient c_;
};

// The pointer enters the client's window w and moves in it, clicks and types (xdotool on the
// real display); another client maps and unmaps a window over the pointer, gives w a child under
// the pointer and moves the child away; then the pointer leaves. Every event w receives, step by
// step.
std::string pointerScene(PointerClient &client, const std::string &shown, const std::string &real) {
  if (std::string failure = client.connect(shown); !failure.empty()) return failure;
  Display *other = XOpenDisplay(shown.c_str());
  if (!other) return "the restructuring client cannot connect";
  std::string out;
  auto step = [&](const std::string &name) {
    XSync(other, False);
    usleep(50000);
    out += "-- " + name + "\n";
    for (const std::string &e : client.events()) out += e + "\n";
  };
  auto xdotool = [&](const std::string &words) {
    twinRunCommand("env -i PATH=/usr/bin:/bin DISPLAY=" + real + " xdotool " + words + " 2>&1");
  };
  xdotool("mousemove 20 20");
  client.createWindow(100, 100, 300, 200, 0x4f | 0x30);  // keys, buttons, motion, crossing
  step("mapped");
  xdotool("mousemove 200 180");
  step("pointer into w");
  xdotool("click 1");
  step("click");
  xdotool("key a");
  step("key");
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window over = XCreateWindow(other, DefaultRootWindow(other), 150, 150, 100, 100, 0, CopyFromParent, InputOutput,
                              CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(other, over);
  step("another window over the pointer");
  XUnmapWindow(other, over);
  step("unmapped");
  Window child = XCreateSimpleWindow(other, client.window, 50, 50, 150, 100, 0, 0, 0);
  client.child = uint32_t(child);
  XMapWindow(other, child);
  step("a child of w under the pointer");
  XMoveWindow(other, child, 200, 150);
  step("the child moved away");
  XDestroyWindow(other, child);
  XDestroyWindow(other, over);
  step("destroyed");
  xdotool("mousemove 500 400");
  step("pointer out");
  XCloseDisplay(other);
  return out;
}

TEST_P(EventExtraThroughTarvo, PointerEventsOfXcbAndMsbFirstClientsAsDirect) {
  for (bool xcb : {true, false}) {
    SCOPED_TRACE(xcb ? "xcb" : "MSB first");
    auto scene = [&](const std::string &shown, const std::string &real) {
      XcbPointerClient viaXcb;
      RawPointerClient raw;
      return pointerScene(xcb ? static_cast<PointerClient &>(viaXcb) : raw, shown, real);
    };
    std::string direct = scene(twin.directDisplay(), twin.directDisplay());
    std::string proxied = scene(twin.proxyDisplay(), twin.behindDisplay());
    EXPECT_NE(direct.find("-- pointer into w\nEnterNotify detail=0 root=root event=w child=0 at 200,180 in 100,80"),
              std::string::npos)
        << direct;
    EXPECT_NE(direct.find("ButtonRelease detail=1 root=root event=w child=0 at 200,180 in 100,80 state=256"),
              std::string::npos)
        << direct;
    EXPECT_NE(direct.find("KeyRelease detail=38 "), std::string::npos) << direct;
    EXPECT_NE(direct.find("-- another window over the pointer\nLeaveNotify detail=3 "), std::string::npos) << direct;
    EXPECT_NE(direct.find("-- a child of w under the pointer\nLeaveNotify detail=2 root=root event=w child=0"),
              std::string::npos)
        << direct;
    EXPECT_NE(direct.find("-- the child moved away\nEnterNotify detail=2 root=root event=w child=0"),
              std::string::npos)
        << direct;
    EXPECT_EQ(proxied, direct);
  }
}

INSTANTIATE_TEST_SUITE_P(Screens, EventExtraThroughTarvo, ::testing::Values(1, 2));

}  // namespace
