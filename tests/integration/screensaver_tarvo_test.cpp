// MIT-SCREEN-SAVER through the tarvo executable: the proxy's version, xprintidle as direct,
// and on two heads a client's saver attributes (python3-xlib, and a raw client of the other
// byte order) set on both real screens, once per head as the real server sees it, with its
// Notify events (On, External, its meta root; then Off) as the saver goes on and off. The
// older SCREEN-SAVER through tarvo on the test relay (-emulate SCREEN-SAVER): its version
// lowered, Enable sent for the first head's screen, and the saver's two events with the meta
// root.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string script(const std::string &name) { return std::string(TARVO_SOURCE_DIR) + "/tests/integration/scripts/" + name; }

class ScreenSaverThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  XvfbServer xvfb;
  TarvoProcess tarvo;

  // The saver client through tarvo (with "unset": its attributes set and unset again), the
  // saver forced on and off with xset through tarvo, and the real roots' colour while it is on:
  // the client's lines, then the colours.
  std::string saverRun(const std::string &mode) {
    std::string out = directory() + "/notify" + mode + ".txt";
    std::string d = tarvo.displayName();
    return twinRunCommand("sh -c 'timeout 15 /usr/bin/python3 " + script("saver_notify.py") + " " + d + " " + mode +
                          " > " + out + " 2>&1 & for i in $(seq 100); do grep -q ready " + out +
                          " && break; sleep 0.1; done; timeout 5 xset -display " + d +
                          " s activate; sleep 0.5; timeout 5 /usr/bin/python3 " + script("saver_colour.py") + " " +
                          xvfb.displayName() + " > " + out + ".colour; timeout 5 xset -display " + d +
                          " s reset; wait; cat " + out + " " + out + ".colour' 2>&1");
  }
  std::string directory() { return tarvo.directory(); }
};

TEST_F(ScreenSaverThroughTarvo, VersionAndIdleTime) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24"), "");
  for (char order : {'l', 'B'}) {
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("MIT-SCREEN-SAVER");
    ASSERT_NE(major, 0);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(0).s(0).b(1).b(1).s(0).done(), answer), "");
    ASSERT_EQ(answer[0], 1);
    EXPECT_EQ(rawGet16(answer, 8, c.big()), 1u);
    EXPECT_EQ(rawGet16(answer, 10, c.big()), 0u);  // Xvfb speaks 1.1
  }
  int status = -1;
  // The idle time grows while the two are asked one after the other: on a busy machine the
  // second may come a second or more later, so the time between them counts too. Both must
  // answer: a line that is not a number fails the case, never reads as an idle time of 0.
  long long began = xvfbNowMs();
  std::string both = twinRunCommand("sh -c 'DISPLAY=" + tarvo.displayName() + " timeout 5 xprintidle && DISPLAY=" +
                                        xvfb.displayName() + " timeout 5 xprintidle' 2>&1",
                                    &status);
  long long took = xvfbNowMs() - began;
  ASSERT_EQ(status, 0) << both;
  size_t newline = both.find('\n');
  ASSERT_NE(newline, std::string::npos) << both;
  char *end = nullptr;
  long proxied = strtol(both.c_str(), &end, 10);
  ASSERT_EQ(end, both.c_str() + newline) << both;
  long direct = strtol(both.c_str() + newline + 1, &end, 10);
  ASSERT_EQ(*end, '\n') << both;
  EXPECT_GT(direct - proxied, -1000) << both;
  EXPECT_LT(direct - proxied, 1000 + took) << both;
}

TEST_F(ScreenSaverThroughTarvo, AttributesOnEveryHeadAndNotify) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "800x600x24"), "");
  EXPECT_EQ(saverRun("set"), "ready\nnotify 1 2 1\nnotify 0 2 1\n00ff00\n00ff00\n");
  // After UnsetAttributes the saver is the server's own again: not External (kind 2).
  std::string unset = saverRun("unset");
  EXPECT_EQ(unset.find("notify 1 2"), std::string::npos) << unset;
  EXPECT_NE(unset.find("notify 1 "), std::string::npos) << unset;
}


// Major opcode and first event of an extension through a raw client ({0, 0} when absent).
std::pair<uint8_t, uint8_t> extensionCodes(RawClient &c, const std::string &name) {
  RawBytes answer;
  RawRequest q(c.big());
  q.b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align();
  if (!c.roundTrip(q.done(), answer).empty() || answer[0] != 1 || !answer[8]) return {0, 0};
  return {answer[9], answer[10]};
}

// The default colormap of the first screen, from the setup reply (the word after its root).
uint32_t defaultColormap(const RawClient &c) {
  const RawBytes &setup = c.setup();
  size_t vendor = rawGet16(setup, 24, c.big()), formats = setup.size() > 29 ? setup[29] : 0;
  return rawGet32(setup, 44 + ((vendor + 3) & ~size_t(3)) + 8 * formats, c.big());
}

// The next event of that code, or an empty message when none comes within the time-out.
RawBytes nextEvent(RawClient &c, uint8_t code, int timeoutMs = 5000) {
  std::vector<RawBytes> &queued = c.events();
  for (size_t k = 0; k < queued.size(); k++)
    if ((queued[k][0] & 0x7f) == code) {
      RawBytes found = queued[k];
      queued.erase(queued.begin() + long(k));
      return found;
    }
  for (;;) {
    RawBytes message;
    if (!c.read(message, timeoutMs).empty()) return {};
    if ((message[0] & 0x7f) == code) return message;
  }
}

// A raw client selects ScreenSaverNotify on its root and sets the saver's attributes there
// (background pixel 0x00ff00, the default colormap, a glyph cursor); "" or what failed.
std::string rawSetSaverAttributes(RawClient &c, uint8_t major) {
  const bool big = c.big();
  uint32_t root = c.rootWindow(), font = c.idBase() + 1, cursor = c.idBase() + 2;
  std::vector<RawBytes> requests{
      RawRequest(big).b(major).b(2).s(0).i(root).i(1).done(),  // SelectInput: NotifyMask
      RawRequest(big).b(45).b(0).s(0).i(font).s(6).s(0).text("cursor").align().done(),
      RawRequest(big).b(94).b(0).s(0).i(cursor).i(font).i(font).s(34).s(35).s(0).s(0).s(0).s(0xffff).s(0xffff)
          .s(0xffff).done(),
      // SetAttributes: 0,0 800x600, no border, CopyFromParent; BackPixel, Colormap, Cursor.
      RawRequest(big).b(major).b(3).s(0).i(root).s(0).s(0).s(800).s(600).s(0).b(0).b(0).i(0).i(0x6002)
          .i(0x00ff00).i(defaultColormap(c)).i(cursor).done()};
  for (const RawBytes &r : requests)
    if (std::string e = c.send(r); !e.empty()) return e;
  RawBytes answer;
  if (std::string e = c.roundTrip(RawRequest(big).b(43).b(0).s(0).done(), answer); !e.empty()) return e;
  return answer[0] == 1 ? "" : "error " + std::to_string(answer[1]) + " before the sync";
}

TEST_F(ScreenSaverThroughTarvo, RawClientOfTheOtherByteOrderGetsItsNotify) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "800x600x24"), "");
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  auto [major, event] = extensionCodes(c, "MIT-SCREEN-SAVER");
  ASSERT_NE(major, 0);
  ASSERT_EQ(rawSetSaverAttributes(c, major), "");
  std::string d = tarvo.displayName();
  std::string colours = twinRunCommand("timeout 5 xset -display " + d + " s activate; sleep 0.5; timeout 5 "
                                       "/usr/bin/python3 " + script("saver_colour.py") + " " + xvfb.displayName() +
                                       "; timeout 5 xset -display " + d + " s reset");
  EXPECT_EQ(colours, "00ff00\n00ff00\n");
  for (uint8_t state : {1, 0}) {
    RawBytes notify = nextEvent(c, event);
    ASSERT_EQ(notify.size(), 32u) << "no Notify for state " << int(state);
    EXPECT_EQ(notify[1], state);
    EXPECT_EQ(rawGet32(notify, 8, true), c.rootWindow());
    EXPECT_EQ(notify[16], 2);  // External: the saver window is the client's
  }
  // One Notify each way: nothing more once the server has answered a later request.
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer), "");
  EXPECT_TRUE(nextEvent(c, event, 0).empty());
}

// With xtrace between tarvo and the Xvfb of two screens, one SetAttributes goes out per head,
// each naming that head's root and CopyFromParent's visual 0.
TEST_F(ScreenSaverThroughTarvo, OneSetAttributesPerHeadReachesTheServer) {
  XvfbOptions options;
  options.screens.assign(2, "800x600x24");
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  int traced = 0;
  for (int n = 700 + getpid() % 200; n < 1000 && !traced; n++)
    if (access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0 &&
        access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0)
      traced = n;
  ASSERT_NE(traced, 0);
  std::string name = ":" + std::to_string(traced);
  pid_t xtrace = xrelaySpawn({"/usr/bin/xtrace", "-n", "-k", "-d", xvfb.displayName(), "-D", name, "-o", trace});
  ASSERT_GT(xtrace, 0);
  struct End {
    pid_t pid;
    ~End() { xrelayEnd(pid); }
  } end{xtrace};
  for (int k = 0; k < 100 && access(("/tmp/.X11-unix/X" + std::to_string(traced)).c_str(), F_OK) != 0; k++)
    usleep(50000);
  TarvoOptions tarvoOptions;
  tarvoOptions.arguments = {"screen", name + ".0", "tags", "anyScreen"};
  ASSERT_EQ(tarvo.start(name, tarvoOptions), "");
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  auto [major, event] = extensionCodes(c, "MIT-SCREEN-SAVER");
  ASSERT_NE(major, 0);
  ASSERT_EQ(rawSetSaverAttributes(c, major), "");
  Display *judge = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(judge, nullptr);
  std::vector<std::string> roots;
  for (int n = 0; n < 2; n++) {
    std::ostringstream hex;
    hex << "drawable=0x" << std::hex << std::setw(8) << std::setfill('0') << RootWindow(judge, n) << " ";
    roots.push_back(hex.str());
  }
  XCloseDisplay(judge);
  std::vector<std::string> lines;
  for (int k = 0; k < 40; k++) {
    lines.clear();
    std::istringstream text(xrelayReadFile(trace));
    for (std::string line; std::getline(text, line);)
      if (line.find("MIT-SCREEN-SAVER-Request") != std::string::npos && line.find("SetAttributes") != std::string::npos &&
          line.find("Unset") == std::string::npos)
        lines.push_back(line);
    if (lines.size() >= 2) break;
    usleep(50000);
  }
  ASSERT_EQ(lines.size(), 2u) << xrelayReadFile(trace).substr(0, 4000);
  for (int n = 0; n < 2; n++) {
    EXPECT_NE(lines[n].find(roots[n]), std::string::npos) << lines[n] << " / " << roots[n];
    EXPECT_NE(lines[n].find("visual-id=0x00000000"), std::string::npos) << lines[n];
  }
}

// tarvo on the test relay, which emulates the older SCREEN-SAVER in front of an Xvfb of two
// screens (one meta screen of both).
class SgiScreenSaverOnRelay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void start(const std::string &version) {
    XvfbOptions options;
    options.screens.assign(2, "320x240x24");
    options.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(options), "");
    relayLog = xrelayTempDir() + "/relay.log";
    ASSERT_EQ(relay.start(xvfb.displayName(), {"-emulate", "SCREEN-SAVER", "-version", "SCREEN-SAVER=" + version,
                                               "-log", relayLog}),
              "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", relay.displayName() + ".0", "tags", "anyScreen"};
    ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
  }
  // The version through tarvo, as "M.m".
  std::string version(char order) {
    RawClient c;
    if (!c.connect(tarvo.displayNumber(), order).empty()) return "no connection";
    uint8_t major = extensionCodes(c, "SCREEN-SAVER").first;
    if (!major) return "no SCREEN-SAVER";
    RawBytes answer;
    if (!c.roundTrip(RawRequest(c.big()).b(major).b(0).s(0).b(1).b(0).s(0).done(), answer).empty() || answer[0] != 1)
      return "no reply";
    return std::to_string(rawGet16(answer, 8, c.big())) + "." + std::to_string(rawGet16(answer, 10, c.big()));
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  TarvoProcess tarvo;
};

TEST_F(SgiScreenSaverOnRelay, AHigherVersionIsLowered) {
  start("1.2");
  EXPECT_EQ(version('l'), "1.0");
  EXPECT_EQ(version('B'), "1.0");
}

TEST_F(SgiScreenSaverOnRelay, ALowerVersionPasses) {
  start("0.9");
  EXPECT_EQ(version('B'), "0.9");
}

// Clients of both byte orders enable the saver events for screen 5: the relay sees the first
// head's screen (0), each reply carries its client's sequence, and the saver going on and off
// reaches each as the two events with its meta root.
TEST_F(SgiScreenSaverOnRelay, EnableGoesToTheFirstHeadAndTheEventsCarryTheMetaRoot) {
  start("1.0");
  RawClient clients[2];
  uint8_t firstEvent[2] = {0, 0};
  size_t logFrom = xrelayReadFile(relayLog).size();
  for (int k = 0; k < 2; k++) {
    RawClient &c = clients[k];
    ASSERT_EQ(c.connect(tarvo.displayNumber(), k ? 'B' : 'l'), "");
    auto [major, event] = extensionCodes(c, "SCREEN-SAVER");
    ASSERT_NE(major, 0);
    firstEvent[k] = event;
    // Some requests first, so that the client's sequence is not the proxy's.
    RawBytes answer;
    for (int n = 0; n < 3; n++) ASSERT_EQ(c.send(RawRequest(c.big()).b(127).b(0).s(0).done()), "");  // NoOperation
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(1).s(0).i(5).done(), answer), "");
    ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
    EXPECT_EQ(answer[1], 1);
    EXPECT_EQ(rawGet16(answer, 2, c.big()), c.sequence());
  }
  std::vector<std::vector<unsigned char>> enables;
  for (auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), logFrom))
    if (bytes.size() == 8 && bytes[1] == 1) enables.push_back(bytes);
  ASSERT_EQ(enables.size(), 2u);
  for (auto &bytes : enables) EXPECT_EQ(xrelayCard32(bytes, 4), 0u);
  std::string d = tarvo.displayName();
  twinRunCommand("timeout 5 xset -display " + d + " s activate; sleep 0.3; timeout 5 xset -display " + d + " s reset");
  for (int k = 0; k < 2; k++) {
    RawClient &c = clients[k];
    for (int which = 0; which < 2; which++) {
      RawBytes e = nextEvent(c, uint8_t(firstEvent[k] + which));
      ASSERT_EQ(e.size(), 32u) << "client " << k << " event " << which;
      EXPECT_EQ(rawGet32(e, 4, c.big()), c.rootWindow());
    }
  }
}

}  // namespace
