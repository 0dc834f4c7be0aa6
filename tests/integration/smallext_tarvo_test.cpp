// The small extensions through the tarvo executable, compared with the X server (or the test
// relay in front of it) used directly: BIG-REQUESTS, XC-MISC and the Generic Event Extension
// of Xvfb; DPMS, FBPM and SUN_ALLPLANES as the relay answers them.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Bool
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The lines of a text that contain any of the parts, in order.
std::string linesWith(const std::string &text, const std::vector<std::string> &parts) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    for (const std::string &p : parts)
      if (line.find(p) != std::string::npos) {
        out += line + "\n";
        break;
      }
    start = end + 1;
  }
  return out;
}

class SmallExtensionsThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  // Xvfb with the screens, optionally the relay in front of it, and tarvo on the relay (or on
  // the Xvfb) with every screen a head.
  void start(const std::vector<std::string> &screens, const std::vector<std::string> &relayOptions, bool useRelay) {
    XvfbOptions options;
    options.screens = screens;
    options.extraArguments = {"-nolisten", "tcp", "-br"};
    ASSERT_EQ(xvfb.start(options), "");
    upstream = xvfb.displayName();
    if (useRelay) {
      relayLog = xrelayTempDir() + "/relay.log";
      std::vector<std::string> words = relayOptions;
      words.insert(words.end(), {"-log", relayLog});
      ASSERT_EQ(relay.start(xvfb.displayName(), words), "");
      upstream = relay.displayName();
    }
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", upstream + ".0"};
    if (screens.size() > 1) tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), {"tags", "anyScreen"});
    ASSERT_EQ(tarvo.start(upstream, tarvoOptions), "");
  }

  std::string run(const std::string &command) {
    int status = 0;
    std::string out = xrelayRun(command + " 2>&1", &status);
    return out;
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  std::string upstream;
  TarvoProcess tarvo;
};

TEST_F(SmallExtensionsThroughTarvo, ExtensionListAndRequestSizeAsDirect) {
  start({"800x600x24"}, {}, false);
  const std::vector<std::string> parts{"BIG-REQUESTS", "XC-MISC", "Generic Event Extension", "maximum request size"};
  std::string direct = linesWith(run("xdpyinfo -queryExtensions -display " + xvfb.displayName()), parts);
  std::string proxied = linesWith(run("xdpyinfo -queryExtensions -display " + tarvo.displayName()), parts);
  EXPECT_NE(direct.find("opcode"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);

  // python3-xlib's GEQueryVersion: the same outcome both ways (its 12-byte request is refused
  // by the server as by the proxy, so the error's class is compared).
  const std::string script =
      "/usr/bin/python3 -c 'import sys, Xlib.display\n"
      "d = Xlib.display.Display(sys.argv[1])\n"
      "try:\n"
      "    r = d.ge_query_version(); print(r.major_version, r.minor_version)\n"
      "except Exception as e:\n"
      "    print(type(e).__name__)\n' ";
  std::string geDirect = run(script + xvfb.displayName());
  EXPECT_FALSE(geDirect.empty());
  EXPECT_EQ(run(script + tarvo.displayName()), geDirect);
}

TEST_F(SmallExtensionsThroughTarvo, XidRangesAndListsGiveUsableIdsInBothOrders) {
  start({"800x600x24"}, {}, false);
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    bool big = c.big();
    uint8_t major = c.queryExtension("XC-MISC");
    ASSERT_NE(major, 0);
    uint32_t base = c.idBase(), mask = rawGet32(c.setup(), 16, big);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(major).b(1).s(0).done(), answer), "");  // GetXIDRange
    ASSERT_EQ(answer[0], 1);
    uint32_t start = rawGet32(answer, 8, big), count = rawGet32(answer, 12, big);
    EXPECT_EQ(start & ~mask, base);
    EXPECT_GE(count, 1u);
    EXPECT_LE(uint64_t(start - base) + count, uint64_t(mask) + 1);

    ASSERT_EQ(c.roundTrip(RawRequest(big).b(major).b(2).s(0).i(16).done(), answer), "");  // GetXIDList
    ASSERT_EQ(answer[0], 1);
    ASSERT_EQ(rawGet32(answer, 8, big), 16u);
    ASSERT_GE(answer.size(), 32u + 64u);
    for (size_t k = 0; k < 16; k++) {
      uint32_t id = rawGet32(answer, 32 + 4 * k, big);
      EXPECT_EQ(id & ~mask, base) << std::hex << id;
      // CreatePixmap with it: accepted.
      ASSERT_EQ(c.send(RawRequest(big).b(53).b(24).s(0).i(id).i(c.rootWindow()).s(8).s(8).done()), "");
    }
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(43).b(0).s(0).done(), answer), "");  // GetInputFocus
    EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  }
}

TEST_F(SmallExtensionsThroughTarvo, XcbAsksForMoreIdsWhenItsRangeRunsOut) {
  start({"800x600x24"}, {}, false);
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  const xcb_setup_t *setup = xcb_get_setup(c);
  uint32_t mask = setup->resource_id_mask;
  xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
  // Use up the whole mask; the ids after that come from XC-MISC.
  for (uint64_t k = 0; k <= uint64_t(mask); k++) ASSERT_NE(xcb_generate_id(c), 0xffffffffu) << k;
  for (int k = 0; k < 100; k++) {
    uint32_t id = xcb_generate_id(c);
    ASSERT_NE(id, 0xffffffffu) << k;
    xcb_generic_error_t *error = xcb_request_check(c, xcb_create_pixmap_checked(c, 24, id, root, 4, 4));
    EXPECT_EQ(error, nullptr) << k << ": error " << (error ? int(error->error_code) : 0);
    free(error);
  }
  EXPECT_EQ(xcb_connection_has_error(c), 0);
  xcb_disconnect(c);
}

TEST_F(SmallExtensionsThroughTarvo, RelayMaximumHoldsForBigRequests) {
  start({"800x600x24"}, {"-bigreq-max", "65536"}, true);
  std::string size = linesWith(run("xdpyinfo -display " + tarvo.displayName()), {"maximum request size"});
  EXPECT_NE(size.find("262144 bytes"), std::string::npos) << size;

  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(c.enableBigRequests(), 65536u);
  // A PutImage of 300 KB in the big form: refused with BadLength, and the next request is
  // answered.
  RawRequest put(false);
  put.b(72).b(2).s(0).i(c.rootWindow()).i(0).s(100).s(750).s(0).s(0).b(0).b(24).s(0);
  put.pad(300 * 1024);
  RawBytes request = rawBigForm(put.done(), false);
  ASSERT_EQ(c.send(request), "");
  RawBytes answer;
  ASSERT_EQ(c.read(answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 16);
  ASSERT_EQ(c.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
}

TEST_F(SmallExtensionsThroughTarvo, DpmsAndFbpmAsTheRelayAnswersThem) {
  start({"800x600x24"}, {"-emulate", "DPMS,FBPM", "-version", "DPMS=1.2"}, true);
  const std::string report = "/usr/bin/python3 " TARVO_SOURCE_DIR "/tests/relay/dpms_report.py ";
  std::string direct = run(report + relay.displayName());
  std::string proxied = run(report + tarvo.displayName());
  EXPECT_NE(direct.find("version 1.2\n"), std::string::npos) << direct;
  EXPECT_NE(proxied.find("version 1.1\n"), std::string::npos) << proxied;
  // Everything else reads the same.
  auto rest = [](const std::string &text) { return text.substr(std::min(text.size(), text.find('\n') + 1)); };
  EXPECT_NE(rest(direct).find("timeouts 100 200 300"), std::string::npos) << direct;
  EXPECT_EQ(rest(proxied), rest(direct));

  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    bool big = c.big();
    uint8_t dpms = c.queryExtension("DPMS"), fbpm = c.queryExtension("FBPM");
    ASSERT_NE(dpms, 0);
    ASSERT_NE(fbpm, 0);
    size_t logFrom = xrelayReadFile(relayLog).size();
    RawBytes answer;
    // DPMSSetTimeouts of 16 bytes: BadLength 16 from tarvo, never at the relay.
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(dpms).b(3).s(0).s(1).s(2).s(3).pad(6).done(), answer), "");
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(answer[1], 16);
    EXPECT_EQ(rawGet32(answer, 4, big), 16u);
    // FBPM: GetVersion, Info and ForceLevel reach the relay; minors 2 and 3 do not.
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(fbpm).b(0).s(0).s(1).s(1).done(), answer), "");
    EXPECT_EQ(answer[0], 1);
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(fbpm).b(7).s(0).done(), answer), "");
    EXPECT_EQ(answer[0], 1);
    ASSERT_EQ(c.send(RawRequest(big).b(fbpm).b(6).s(0).s(0).pad(2).done()), "");
    for (int minor : {2, 3}) {
      ASSERT_EQ(c.roundTrip(RawRequest(big).b(fbpm).b(minor).s(0).done(), answer), "");
      EXPECT_EQ(answer[0], 0);
      EXPECT_EQ(answer[1], 1) << minor;  // BadRequest
    }
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(43).b(0).s(0).done(), answer), "");
    std::string log = xrelayReadFile(relayLog).substr(logFrom);
    auto seen = [&](uint8_t major, int minor) {
      return log.find("major " + std::to_string(major) + " minor " + std::to_string(minor) + " ") != std::string::npos;
    };
    EXPECT_FALSE(seen(dpms, 3)) << log;
    EXPECT_TRUE(seen(fbpm, 0)) << log;
    EXPECT_TRUE(seen(fbpm, 7)) << log;
    EXPECT_TRUE(seen(fbpm, 6)) << log;
    EXPECT_FALSE(seen(fbpm, 2)) << log;
    EXPECT_FALSE(seen(fbpm, 3)) << log;
  }
}

TEST_F(SmallExtensionsThroughTarvo, AllPlanesDrawsOnEveryHeadAcrossTheBoundary) {
  start({"800x600x24", "800x600x24"}, {"-emulate", "ALLPLANES"}, true);
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = c.queryExtension("SUN_ALLPLANES");
  ASSERT_NE(major, 0);
  size_t logFrom = xrelayReadFile(relayLog).size();
  // A filled rectangle across the heads' boundary on the meta root, and one of width 0.
  ASSERT_EQ(c.send(RawRequest(true).b(major).b(5).s(0).i(c.rootWindow()).s(790).s(100).s(20).s(10).s(300).s(300).s(0).s(5).done()), "");
  // Into a pixmap: each head's copy of the pixmap, coordinates unchanged.
  uint32_t pixmap = c.idBase() | 7;
  ASSERT_EQ(c.send(RawRequest(true).b(53).b(24).s(0).i(pixmap).i(c.rootWindow()).s(32).s(32).done()), "");
  ASSERT_EQ(c.send(RawRequest(true).b(major).b(1).s(0).i(pixmap).b(0).pad(3).s(3).s(4).done()), "");
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);

  // The relay saw one copy per head, in tarvo's byte order.
  std::vector<std::vector<unsigned char>> seen = xrelayAnsweredSince(xrelayReadFile(relayLog), logFrom);
  std::vector<std::vector<unsigned char>> fills, points;
  for (const auto &bytes : seen) {
    if (bytes.size() >= 2 && bytes[1] == 5) fills.push_back(bytes);
    if (bytes.size() >= 2 && bytes[1] == 1) points.push_back(bytes);
  }
  Display *direct = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(fills.size(), 2u);
  for (int h = 0; h < 2; h++) {
    SCOPED_TRACE(h);
    const auto &f = fills[h];
    ASSERT_EQ(f.size(), 24u);
    EXPECT_EQ(xrelayCard32(f, 4), uint32_t(RootWindow(direct, h)));
    EXPECT_EQ(int16_t(xrelayCard16(f, 8)), h == 0 ? 790 : -10);
    EXPECT_EQ(xrelayCard16(f, 10), 100u);
    EXPECT_EQ(xrelayCard16(f, 12), 20u);
    EXPECT_EQ(xrelayCard16(f, 14), 10u);
    EXPECT_EQ(int16_t(xrelayCard16(f, 16)), h == 0 ? 300 : -500);
    EXPECT_EQ(xrelayCard16(f, 20), 0u);  // width 0 stays 0
  }
  ASSERT_EQ(points.size(), 2u);
  EXPECT_NE(xrelayCard32(points[0], 4), xrelayCard32(points[1], 4));
  for (const auto &p : points) {
    EXPECT_EQ(xrelayCard16(p, 12), 3u);
    EXPECT_EQ(xrelayCard16(p, 14), 4u);
  }

  // The drawing reached the real screens through the proxy's windows on them.
  auto pixel = [&](int screen, int x, int y) {
    XImage *image = XGetImage(direct, RootWindow(direct, screen), x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long value = image ? XGetPixel(image, 0, 0) : 0;
    if (image) XDestroyImage(image);
    return value & 0xffffff;
  };
  EXPECT_EQ(pixel(0, 795, 105), 0xffffffu);
  EXPECT_EQ(pixel(1, 5, 105), 0xffffffu);
  EXPECT_NE(pixel(1, 15, 105), 0xffffffu);
  EXPECT_NE(pixel(0, 300, 302), 0xffffffu);  // the width-0 rectangle drew nothing
  XCloseDisplay(direct);
}

}  // namespace
