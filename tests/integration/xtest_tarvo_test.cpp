// XTEST through the tarvo executable, compared with the X server used directly: forwarded to
// Xvfb's XTEST, and emulated through the remote-control library when the test relay hides XTEST
// (its control extension injects). A python3-xlib client is the judge of versions, cursor
// comparison, errors and delays; the relay's event window records what reaches the real server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <poll.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

const std::string kProbe = "/usr/bin/python3 " TARVO_SOURCE_DIR "/tests/integration/scripts/xtest_probe.py ";

std::string run(const std::string &command) { return xrelayRun(command + " 2>&1"); }

// The number after the prefix in the output's line that starts with it (-1 when none).
long numberAfter(const std::string &text, const std::string &prefix) {
  size_t at = text.find(prefix);
  return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + prefix.size(), nullptr, 10);
}

// A fake KeyPress of the given length (36, or with 32-byte tails) from a raw client: "" when
// nothing came back before a round trip, else "error CODE VALUE".
std::string rawFakeInput(RawClient &c, uint8_t major, uint8_t type, uint8_t detail, size_t tails) {
  RawRequest m(c.big());
  m.b(major).b(2).s(0).b(type).b(detail).s(0).i(0).i(0).pad(8).s(100).s(200).pad(7).b(2);
  for (size_t k = 0; k < tails; k++) m.b(70).b(2).s(0).s(0).b(1).b(0).i(5).pad(20);
  if (std::string e = c.send(m.done()); !e.empty()) return e;
  if (std::string e = c.send(RawRequest(c.big()).b(43).b(0).s(0).done()); !e.empty()) return e;
  std::string errors;
  for (;;) {
    RawBytes answer;
    if (std::string e = c.read(answer); !e.empty()) return e;
    if (answer[0] == 0)
      errors += "error " + std::to_string(answer[1]) + " " + std::to_string(rawGet32(answer, 4, c.big()));
    else if (answer[0] == 1 && rawGet16(answer, 2, c.big()) == c.sequence())
      return errors;
  }
}

// Whether the client's connection stays silent for the time (nothing to read).
bool silentFor(RawClient &c, int ms) {
  pollfd p{c.fd(), POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

RawBytes getInputFocus(bool big) { return RawRequest(big).b(43).b(0).s(0).done(); }

class XtestThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override {
    if (!tarvo.running() && tarvo.status() == -1) return;
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0);
    std::string output = tarvo.output();
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  }
  // Xvfb with the screens (every one a head of one meta screen), the relay in front of it when
  // options are given, tarvo on top.
  void start(const std::vector<std::string> &screens, std::vector<std::string> relayOptions = {},
             const std::vector<std::string> &tarvoWords = {}) {
    XvfbOptions options;
    options.screens = screens;
    options.extraArguments = {"-nolisten", "tcp", "-br"};
    ASSERT_EQ(xvfb.start(options), "");
    upstream = xvfb.displayName();
    if (!relayOptions.empty()) {
      relayLog = xrelayTempDir() + "/relay.log";
      relayOptions.insert(relayOptions.end(), {"-log", relayLog});
      ASSERT_EQ(relay.start(xvfb.displayName(), relayOptions), "");
      upstream = relay.displayName();
    }
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", upstream + ".0"};
    if (screens.size() > 1) tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), {"tags", "anyScreen"});
    tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), tarvoWords.begin(), tarvoWords.end());
    ASSERT_EQ(tarvo.start(upstream, tarvoOptions), "");
  }
  std::string pointer() { return run("env DISPLAY=" + xvfb.displayName() + " xdotool getmouselocation --shell"); }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  std::string upstream;
  TarvoProcess tarvo;
};

// Forwarded to Xvfb: the answers are the server's, the version the proxy's 2.2 (also over a
// server that says 2.1), and absolute motion lands where the direct one does.
TEST_F(XtestThroughTarvo, ForwardedAsDirect) {
  start({"800x600x24"}, {"-version", "XTEST=2.1"});
  const std::string steps = "version cursors keybad button0";
  std::string direct = run(kProbe + xvfb.displayName() + " " + steps);
  EXPECT_EQ(direct, "version 2.2\ncursors 1 0 0 1\nkeybad 2 7\nbutton0 2 0\n");
  EXPECT_EQ(run(kProbe + relay.displayName() + " version"), "version 2.1\n");
  EXPECT_EQ(run(kProbe + tarvo.displayName() + " " + steps), direct);

  // Keys go to the real server: the event window there sees them.
  XrelayEventWindow window;
  ASSERT_EQ(window.start(xvfb.displayName(), xrelayTempDir()), "");
  EXPECT_NE(run(kProbe + tarvo.displayName() + " delayed 0").find("delayed"), std::string::npos);
  EXPECT_TRUE(window.saw("KeyPress 38"));
  EXPECT_TRUE(window.saw("KeyRelease 38"));
  EXPECT_EQ(run(kProbe + tarvo.displayName() + " motion 321 123"), "moved\n");
  std::string at = pointer();
  EXPECT_EQ(numberAfter(at, "X="), 321) << at;
  EXPECT_EQ(numberAfter(at, "Y="), 123) << at;

  // Raw clients of both orders: a device event with its valuator goes through; a core type
  // with a tail is refused here.
  uint8_t major = 0;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    major = c.queryExtension("XTEST");
    ASSERT_NE(major, 0);
    EXPECT_EQ(rawFakeInput(c, major, 2, 38, 1), "error 16 68");
    EXPECT_EQ(rawFakeInput(c, major, 2, 38, 0), "");
    EXPECT_EQ(rawFakeInput(c, major, 3, 38, 0), "");
  }
}

// XTestFakeDeviceMotionEvent's form: a DeviceMotionNotify of the Xvfb mouse with one
// DeviceValuator event behind it (68 bytes), from raw clients of both orders: Xvfb takes it
// and its pointer goes where the valuators say.
TEST_F(XtestThroughTarvo, DeviceMotionWithValuators) {
  start({"800x600x24"});
  RawClient direct;
  ASSERT_EQ(direct.connect(xvfb.displayNumber(), 'l'), "");
  RawRequest query(false);
  query.b(98).b(0).s(0).s(15).s(0).text("XInputExtension").align();
  RawBytes answer;
  ASSERT_EQ(direct.roundTrip(query.done(), answer), "");
  ASSERT_EQ(answer[8], 1);
  const uint8_t firstEvent = answer[10], kXvfbMouse = 6, kMoreEvents = 0x80;
  const int16_t targets[][2] = {{321, 123}, {222, 111}};
  int k = 0;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("XTEST");
    ASSERT_NE(major, 0);
    RawRequest m(c.big());
    m.b(major).b(2).s(0).b(firstEvent + 5).b(0).s(0).i(0).i(0).pad(8).s(0).s(0).pad(7).b(kXvfbMouse | kMoreEvents);
    m.b(firstEvent).b(kXvfbMouse).s(0).s(0).b(2).b(0).i(uint32_t(targets[k][0])).i(uint32_t(targets[k][1])).pad(16);
    RawBytes request = m.done();
    ASSERT_EQ(request.size(), 68u);
    ASSERT_EQ(c.send(request), "");
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(43).b(0).s(0).done(), answer), "");
    std::string at = pointer();
    EXPECT_EQ(numberAfter(at, "X="), targets[k][0]) << at;
    EXPECT_EQ(numberAfter(at, "Y="), targets[k][1]) << at;
    k++;
  }
}

// Motion to a meta position on the second head puts the real pointer on that screen.
TEST_F(XtestThroughTarvo, MotionAcrossHeads) {
  start({"800x600x24", "800x600x24"});
  EXPECT_EQ(run(kProbe + tarvo.displayName() + " motion 1000 100"), "moved\n");
  std::string at = pointer();
  EXPECT_EQ(numberAfter(at, "SCREEN="), 1) << at;
  EXPECT_EQ(numberAfter(at, "X="), 200) << at;
  EXPECT_EQ(numberAfter(at, "Y="), 100) << at;
}

// The relay hides XTEST and offers its control extension: the proxy serves XTEST itself and
// nothing is sent under its opcode; a delay holds the client, not the proxy.
TEST_F(XtestThroughTarvo, EmulatedThroughTheControlExtension) {
  start({"800x600x24"}, {"-hide", "XTEST", "-emulate", "CONTROL"});
  XrelayEventWindow window;
  ASSERT_EQ(window.start(xvfb.displayName(), xrelayTempDir()), "");
  std::string out =
      run(kProbe + tarvo.displayName() + " opcode version cursors keybad button0 grab 1 grab 0 delayed 300");
  long opcode = numberAfter(out, "opcode ");
  EXPECT_GT(opcode, 127) << out;
  EXPECT_NE(out.find("version 2.2\ncursors 1 0 0 1\nkeybad 2 7\nbutton0 2 0\ngrab 1\ngrab 0\n"), std::string::npos)
      << out;
  EXPECT_GE(numberAfter(out, "delayed "), 300) << out;
  EXPECT_TRUE(window.saw("KeyPress 38"));
  EXPECT_TRUE(window.saw("KeyRelease 38"));

  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  EXPECT_EQ(rawFakeInput(c, uint8_t(opcode), 7, 1, 0), "error 2 7");

  std::string log = xrelayReadFile(relayLog);
  EXPECT_EQ(log.find(" major " + std::to_string(opcode) + " "), std::string::npos) << log;

  // Another client's round trips go on while the delayed one is held.
  std::string both = run("sh -c '" + kProbe + tarvo.displayName() + " delayed 1000 & sleep 0.2; " + kProbe +
                         tarvo.displayName() + " version; wait'");
  EXPECT_LT(both.find("version 2.2"), both.find("delayed ")) << both;
  EXPECT_GE(numberAfter(both, "delayed "), 1000) << both;

  // A client that ends inside its delay presses nothing.
  EXPECT_EQ(run(kProbe + tarvo.displayName() + " press 800"), "pressed\n");
  EXPECT_FALSE(window.saw("KeyPress 39", 1500));
}

// GrabControl: while A holds the server, an impervious B is served and C waits until the
// ungrab; after GrabControl(False) B waits too.
TEST_F(XtestThroughTarvo, ImperviousClientRunsThroughAServerGrab) {
  start({"800x600x24"});
  RawClient a, b, c;
  ASSERT_EQ(a.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(b.connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  uint8_t major = b.queryExtension("XTEST");
  ASSERT_NE(major, 0);
  auto grabControl = [&](bool on) { return b.send(RawRequest(true).b(major).b(3).s(0).b(on).pad(3).done()); };
  RawBytes answer;
  ASSERT_EQ(grabControl(true), "");
  ASSERT_EQ(b.roundTrip(getInputFocus(true), answer), "");
  auto serverGrab = [&](uint8_t opcode) {  // GrabServer 36, UngrabServer 37, then a round trip
    ASSERT_EQ(a.send(RawRequest(false).b(opcode).b(0).s(0).done()), "");
    ASSERT_EQ(a.roundTrip(getInputFocus(false), answer), "");
  };
  serverGrab(36);

  EXPECT_EQ(b.roundTrip(getInputFocus(true), answer, 3000), "");
  ASSERT_EQ(c.send(getInputFocus(false)), "");
  EXPECT_TRUE(silentFor(c, 300));
  serverGrab(37);
  EXPECT_EQ(c.read(answer, 3000), "");
  EXPECT_EQ(answer[0], 1);

  serverGrab(36);
  ASSERT_EQ(grabControl(false), "");
  ASSERT_EQ(b.send(getInputFocus(true)), "");
  EXPECT_TRUE(silentFor(b, 300));
  ASSERT_EQ(a.send(RawRequest(false).b(37).b(0).s(0).done()), "");
  EXPECT_EQ(b.read(answer, 3000), "");
  EXPECT_EQ(answer[0], 1);
}

// A client of the real server itself holds it grabbed; a client of tarvo made impervious by
// GrabControl goes on being served on two 8-bit heads: its colour allocation, which the proxy
// repeats on the second head through its own connection, and a property written and read back.
TEST_F(XtestThroughTarvo, ImperviousClientRunsThroughAGrabOfTheRealServer) {
  start({"320x240x8", "320x240x8"});
  RawClient b;
  ASSERT_EQ(b.connect(tarvo.displayNumber(), 'l'), "");
  uint8_t major = b.queryExtension("XTEST");
  ASSERT_NE(major, 0);
  RawBytes answer;
  ASSERT_EQ(b.send(RawRequest(false).b(major).b(3).s(0).b(1).pad(3).done()), "");
  ASSERT_EQ(b.roundTrip(getInputFocus(false), answer), "");
  size_t vendor = rawGet16(b.setup(), 24, false), screens = 40 + ((vendor + 3) & ~size_t(3)) + 8 * b.setup()[29];
  uint32_t colormap = rawGet32(b.setup(), screens + 4, false);

  // Its grab ends when it closes, also when an assertion below leaves early.
  std::unique_ptr<Display, int (*)(Display *)> grabber(XOpenDisplay(xvfb.displayName().c_str()), XCloseDisplay);
  ASSERT_NE(grabber, nullptr);
  XGrabServer(grabber.get());
  XSync(grabber.get(), False);
  EXPECT_EQ(b.roundTrip(RawRequest(false).b(84).b(0).s(0).i(colormap).s(0x1234).s(0x5678).s(0x9abc).s(0).done(),
                        answer, 3000),
            "");
  EXPECT_EQ(answer[0], 1);
  const std::string value = "through the grab";
  ASSERT_EQ(b.send(RawRequest(false).b(18).b(0).s(0).i(b.rootWindow()).i(39).i(31).b(8).pad(3)
                       .i(uint32_t(value.size())).text(value).align().done()),
            "");
  EXPECT_EQ(b.roundTrip(RawRequest(false).b(20).b(0).s(0).i(b.rootWindow()).i(39).i(31).i(0).i(100).done(), answer,
                        3000),
            "");
  ASSERT_GE(answer.size(), 32u + value.size());
  EXPECT_EQ(std::string(answer.begin() + 32, answer.begin() + 32 + long(value.size())), value);
  grabber.reset();
  EXPECT_EQ(tarvo.log().find("Can't alloc"), std::string::npos) << tarvo.log();
}

// xdotool (which needs XKEYBOARD) through tarvo makes the events it makes direct: the
// recorder window on Xvfb sees the same lines, and the pointer ends where it ends direct.
TEST_F(XtestThroughTarvo, XdotoolAsDirect) {
  start({"800x600x24"}, {}, {"extensions", "+XKEYBOARD"});
  const std::string words = " xdotool mousemove 100 100 mousemove_relative -- 23 -55 click 1 click 3 key a type Hi!";
  std::vector<std::vector<std::string>> seen;
  for (const std::string &display : {xvfb.displayName(), tarvo.displayName()}) {
    SCOPED_TRACE(display);
    run("env DISPLAY=" + xvfb.displayName() + " xdotool mousemove 400 300");
    XrelayEventWindow window;
    ASSERT_EQ(window.start(xvfb.displayName(), xrelayTempDir()), "");
    EXPECT_EQ(run("env DISPLAY=" + display + words), "");
    EXPECT_TRUE(window.saw("KeyRelease 10"));  // the "1" of the "!"
    std::string at = pointer();
    EXPECT_EQ(numberAfter(at, "X="), 123) << at;
    EXPECT_EQ(numberAfter(at, "Y="), 45) << at;
    seen.push_back(window.lines());
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_GT(seen[0].size(), 10u);
  EXPECT_EQ(seen[1], seen[0]);
}

}  // namespace
