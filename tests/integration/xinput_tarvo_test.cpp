// XInputExtension through the tarvo executable, with xinput and python3-xlib as judges: the
// version the proxy reports (1.5, 2.0 for "zelquatool", XIQueryVersion never above it), the
// device list and properties as direct, a property set through tarvo read back direct; raw
// clients of both byte orders get the bytes a direct client of that order gets for the
// queries whose replies hold item-framed lists, and a device event sent through tarvo by a
// 'B' client reaches an 'l' client selecting it as the same event direct.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string xinput(const std::string &display, const std::string &words, int *status = nullptr) {
  return twinRunCommand("env DISPLAY=" + display + " xinput " + words + " 2>&1", status);
}

// A device's id as xinput lists it (0 when absent).
int deviceId(const std::string &display, const std::string &name) {
  std::string id = xinput(display, "list --id-only '" + name + "'");
  return atoi(id.c_str());
}

std::string hex(const RawBytes &bytes) {
  std::string out;
  char two[4];
  for (uint8_t b : bytes) {
    snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string sortedLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string &line : lines) out += line + "\n";
  return out;
}

class XinputThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override { ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24"), ""); }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_F(XinputThroughTarvo, XinputToolAsDirect) {
  std::string m = tarvo.displayName(), d = xvfb.displayName();
  std::string version = xinput(m, "--version");
  EXPECT_NE(version.find("XI version on server: 1.5"), std::string::npos) << version;
  // Direct, xinput lists by XInput 2's hierarchy; through tarvo in XInput 1's order.
  EXPECT_EQ(sortedLines(xinput(m, "list --name-only")), sortedLines(xinput(d, "list --name-only")));
  EXPECT_NE(xinput(m, "list --name-only").find("Xvfb mouse"), std::string::npos);
  std::string props = xinput(m, "list-props 'Xvfb mouse'");
  EXPECT_EQ(props, xinput(d, "list-props 'Xvfb mouse'"));
  EXPECT_NE(props.find("Device Accel Constant Deceleration"), std::string::npos) << props;
  int status = -1;
  xinput(m, "set-prop 'Xvfb mouse' 'Device Accel Constant Deceleration' 2", &status);
  EXPECT_EQ(status, 0);
  std::string after = xinput(d, "list-props 'Xvfb mouse'");
  EXPECT_NE(after.find("Device Accel Constant Deceleration (") , std::string::npos) << after;
  EXPECT_NE(after.find("2.000000"), std::string::npos) << after;
}

// XInput 1 device events through tarvo: xinput's test of the XTEST keyboard sees the press and
// release that xdotool makes on the real server.
TEST_F(XinputThroughTarvo, DeviceKeyEvents) {
  std::string out = tarvo.directory() + "/test.txt";
  std::string events = twinRunCommand(
      "sh -c 'env DISPLAY=" + tarvo.displayName() + " timeout 4 xinput test \"Virtual core XTEST keyboard\" > " + out +
      " 2>&1 & sleep 1.5; env DISPLAY=" + xvfb.displayName() + " xdotool key a; wait; cat " + out + "'");
  EXPECT_NE(events.find("key press   38"), std::string::npos) << events;
  EXPECT_NE(events.find("key release 38"), std::string::npos) << events;
}

// python3-xlib asks XIQueryVersion 2.0 and hears what XIGetExtensionVersion tells: 1.5, or 2.0
// for a client named "zelquatool" (by WM_NAME) from both requests.
TEST_F(XinputThroughTarvo, VersionsTold) {
  std::string script =
      "from Xlib import display, Xatom\n"
      "from Xlib.ext import xinput\n"
      "import sys\n"
      "d = display.Display(sys.argv[1])\n"
      "if len(sys.argv) > 2:\n"
      "    w = d.screen().root.create_window(0, 0, 10, 10, 0, 0)\n"
      "    w.change_property(Xatom.WM_NAME, Xatom.STRING, 8, sys.argv[2].encode())\n"
      "v = d.xinput_query_version()\n"
      "print(v.major_version, v.minor_version)\n";
  std::string path = tarvo.directory() + "/version.py";
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(script.c_str(), f);
  fclose(f);
  std::string m = tarvo.displayName();
  EXPECT_EQ(twinRunCommand("timeout 10 /usr/bin/python3 " + path + " " + m + " 2>&1"), "1 5\n");
  EXPECT_EQ(twinRunCommand("timeout 10 /usr/bin/python3 " + path + " " + m + " zelquatool 2>&1"), "2 0\n");
  // Direct, the server's own XInput 2 answers.
  EXPECT_EQ(twinRunCommand("timeout 10 /usr/bin/python3 " + path + " " + xvfb.displayName() + " 2>&1"), "2 0\n");

  // XIGetExtensionVersion of a raw client named zelquatool.
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    bool big = c.big();
    uint8_t major = c.queryExtension("XInputExtension");
    ASSERT_NE(major, 0);
    uint32_t window = c.idBase() + 1;
    ASSERT_EQ(c.send(RawRequest(big).b(1).b(0).s(0).i(window).i(c.rootWindow()).s(0).s(0).s(1).s(1).s(0).s(0).i(0)
                         .i(0).done()),
              "");
    RawBytes answer;
    auto version = [&] {
      EXPECT_EQ(c.roundTrip(RawRequest(big).b(major).b(1).s(0).s(15).s(0).text("XInputExtension").align().done(),
                            answer),
                "");
      return std::to_string(rawGet16(answer, 8, big)) + "." + std::to_string(rawGet16(answer, 10, big));
    };
    EXPECT_EQ(version(), "1.5");
    ASSERT_EQ(c.send(RawRequest(big).b(18).b(0).s(0).i(window).i(39).i(31).b(8).pad(3).i(10).text("zelquatool")
                         .align().done()),
              "");
    EXPECT_EQ(version(), "2.0");
  }
}

// Replies whose lists are framed by their items: a client of each byte order gets through
// tarvo the bytes it gets direct (the sequence number aside).
TEST_F(XinputThroughTarvo, RawRepliesAsDirect) {
  int mouse = deviceId(xvfb.displayName(), "Xvfb mouse");
  int keyboard = deviceId(xvfb.displayName(), "Xvfb keyboard");
  ASSERT_GT(mouse, 0);
  ASSERT_GT(keyboard, 0);
  for (char order : {'B', 'l'}) {
    SCOPED_TRACE(order);
    RawClient through, direct;
    ASSERT_EQ(through.connect(tarvo.displayNumber(), order), "");
    ASSERT_EQ(direct.connect(xvfb.displayNumber(), order), "");
    bool big = through.big();
    uint8_t majorThrough = through.queryExtension("XInputExtension");
    uint8_t majorDirect = direct.queryExtension("XInputExtension");
    ASSERT_NE(majorThrough, 0);
    ASSERT_NE(majorDirect, 0);
    struct Query {
      const char *name;
      uint8_t minor;
      std::vector<uint8_t> body;  // after the 4-byte header
      bool rootAt4;
    } queries[] = {
        {"ListInputDevices", 2, {}, false},
        {"GetFeedbackControl mouse", 22, {uint8_t(mouse), 0, 0, 0}, false},
        {"GetFeedbackControl keyboard", 22, {uint8_t(keyboard), 0, 0, 0}, false},
        {"QueryDeviceState mouse", 30, {uint8_t(mouse), 0, 0, 0}, false},
        {"QueryDeviceState keyboard", 30, {uint8_t(keyboard), 0, 0, 0}, false},
        {"GetDeviceMotionEvents", 10, {}, false},
        {"GetDeviceDontPropagateList", 9, {}, true},
    };
    for (const Query &q : queries) {
      SCOPED_TRACE(q.name);
      RawBytes answers[2];
      RawClient *clients[2] = {&through, &direct};
      uint8_t majors[2] = {majorThrough, majorDirect};
      for (int k = 0; k < 2; k++) {
        RawRequest r(big);
        r.b(majors[k]).b(q.minor).s(0);
        if (q.minor == 10)
          r.i(0).i(0).b(uint8_t(mouse)).pad(3);  // all of the mouse's motion history
        else if (q.rootAt4)
          r.i(clients[k]->rootWindow());
        else
          for (uint8_t b : q.body) r.b(b);
        ASSERT_EQ(clients[k]->roundTrip(r.done(), answers[k]), "");
        answers[k][2] = answers[k][3] = 0;
      }
      EXPECT_EQ(answers[0][0], 1) << "a reply";
      EXPECT_EQ(hex(answers[0]), hex(answers[1]));
    }
    // GetDeviceControl of the mouse's resolution: the same answer, reply or error.
    RawBytes a, b;
    ASSERT_EQ(through.roundTrip(RawRequest(big).b(majorThrough).b(34).s(0).s(1).b(uint8_t(mouse)).b(0).done(), a), "");
    ASSERT_EQ(direct.roundTrip(RawRequest(big).b(majorDirect).b(34).s(0).s(1).b(uint8_t(mouse)).b(0).done(), b), "");
    a[2] = a[3] = b[2] = b[3] = 0;
    if (a[0] == 0) a[10] = b[10] = 0;  // an error's major opcode differs
    EXPECT_EQ(hex(a), hex(b));
  }
}

// The major opcode and first event of XInputExtension (QueryExtension by hand).
std::pair<uint8_t, uint8_t> inputCodes(RawClient &c) {
  RawBytes answer;
  std::string name = "XInputExtension";
  if (!c.roundTrip(RawRequest(c.big()).b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align().done(), answer)
           .empty() ||
      answer.size() < 12 || answer[0] != 1 || !answer[8])
    return {0, 0};
  return {answer[9], answer[10]};
}

// A 'B' client's SendExtensionEvent of a DeviceButtonPress to the window of an 'l' client
// that selects it: "" when the 'l' client receives it as sent (sent flag set, its fields and
// ids as the sender wrote them), else what it got.
std::string sentDeviceButtonPress(int display, int mouse) {
  RawClient l, b;
  if (!l.connect(display, 'l').empty() || !b.connect(display, 'B').empty()) return "no connection";
  auto [major, firstEvent] = inputCodes(l);
  if (!major) return "no XInputExtension";
  uint32_t window = l.idBase() + 1, root = l.rootWindow();
  uint8_t press = uint8_t(firstEvent + 3);
  uint32_t cls = uint32_t(mouse) << 8 | press;
  l.send(RawRequest(false).b(1).b(0).s(0).i(window).i(root).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0).done());
  l.send(RawRequest(false).b(major).b(6).s(0).i(window).s(1).s(0).i(cls).done());
  RawBytes answer;
  if (!l.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer).empty() || answer[0] != 1)
    return "select failed";
  auto event = [&](RawRequest &e, uint8_t code) {
    e.b(code).b(1).s(0).i(1234).i(root).i(window).i(0).s(5).s(6).s(7).s(8).s(0x100).b(1).b(uint8_t(mouse));
  };
  RawRequest r(true);
  r.b(major).b(31).s(0).i(window).b(uint8_t(mouse)).b(0).s(1).b(1).pad(3);
  event(r, press);
  r.i(cls);
  b.send(r.done());
  if (!b.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer).empty() || answer[0] != 1) return "send failed";
  RawBytes got;
  if (!l.read(got, 5000).empty()) return "no event";
  got[2] = got[3] = 0;
  RawRequest expected(false);
  event(expected, uint8_t(press | 0x80));
  return got == expected.d ? "" : hex(got) + " for " + hex(expected.d);
}

TEST_F(XinputThroughTarvo, SentExtensionEventAsDirect) {
  int mouse = deviceId(xvfb.displayName(), "Xvfb mouse");
  ASSERT_GT(mouse, 0);
  EXPECT_EQ(sentDeviceButtonPress(xvfb.displayNumber(), mouse), "") << "direct";
  EXPECT_EQ(sentDeviceButtonPress(tarvo.displayNumber(), mouse), "") << "through tarvo";
}

// On a real server that speaks XInput 1.3 the proxy reports 1.3 and offers no device
// properties (minor 36 is BadRequest).
TEST(XinputOnRelay, VersionOfTheRealServer) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-version", "XInputExtension=1.3"}), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", relay.displayName() + ".0"};
  ASSERT_EQ(tarvo.start(relay.displayName(), options), "");
  std::string version = xinput(tarvo.displayName(), "--version");
  EXPECT_NE(version.find("XI version on server: 1.3"), std::string::npos) << version;
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = c.queryExtension("XInputExtension");
  ASSERT_NE(major, 0);
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(major).b(36).s(0).b(2).pad(3).done(), answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 1) << "BadRequest";
  EXPECT_EQ(answer[10], major);
  EXPECT_EQ(answer[9], 36) << "the minor opcode";
}

}  // namespace
