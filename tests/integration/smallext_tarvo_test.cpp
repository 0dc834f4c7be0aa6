// The small extensions through the tarvo executable, compared with the X server (or the test
// relay in front of it) used directly: BIG-REQUESTS, XC-MISC and the Generic Event Extension
// of Xvfb; DPMS, FBPM and SUN_ALLPLANES as the relay answers them.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Bool
#include <xcb/xcb.h>

#include <algorithm>
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

// Sends GetInputFocus and reads up to its reply: the errors that came before it, as "error
// CODE major MAJOR; " each ("" when none), or what failed.
std::string errorsBeforeRoundTrip(RawClient &c) {
  if (std::string e = c.send(RawRequest(c.big()).b(43).b(0).s(0).done()); !e.empty()) return e;
  std::string errors;
  for (;;) {
    RawBytes answer;
    if (std::string e = c.read(answer); !e.empty()) return e;
    if (answer[0] == 0)
      errors += "error " + std::to_string(answer[1]) + " major " + std::to_string(answer[10]) + "; ";
    else if (answer[0] == 1 && rawGet16(answer, 2, c.big()) == c.sequence())
      return errors;
  }
}

// The ZPixmap bytes of a drawable's area with all planes (the reply without its header), or
// "error N".
std::string rawGetImage(RawClient &c, uint32_t drawable, uint16_t width, uint16_t height) {
  RawBytes answer;
  RawRequest get(c.big());
  get.b(73).b(2).s(0).i(drawable).s(0).s(0).s(width).s(height).i(0xffffffffu);
  if (std::string e = c.roundTrip(get.done(), answer); !e.empty()) return e;
  if (answer[0] != 1) return "error " + std::to_string(answer[1]);
  return std::string(answer.begin() + 32, answer.end());
}

class SmallExtensionsThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override {
    if (!tarvo.running() && tarvo.status() == -1) return;  // never started
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0);
    std::string output = tarvo.output();
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  }

  // Xvfb with the screens, optionally the relay in front of it, and tarvo on the relay (or on
  // the Xvfb) with every screen a head, or with the given words ("%U" the upstream display).
  void start(const std::vector<std::string> &screens, const std::vector<std::string> &relayOptions, bool useRelay,
             const std::vector<std::string> &tarvoWords = {}) {
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
    if (!tarvoWords.empty()) tarvoOptions.arguments = upstreamWords(tarvoWords);
    ASSERT_EQ(tarvo.start(upstream, tarvoOptions), "");
  }

  std::vector<std::string> upstreamWords(std::vector<std::string> words) const {
    for (std::string &w : words)
      if (size_t at = w.find("%U"); at != std::string::npos) w.replace(at, 2, upstream);
    return words;
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
    uint32_t listed = rawGet32(answer, 8, big);
    ASSERT_GE(listed, 1u);
    ASSERT_LE(listed, 16u);
    ASSERT_GE(answer.size(), 32u + 4 * listed);
    for (size_t k = 0; k < listed; k++) {
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

TEST_F(SmallExtensionsThroughTarvo, XcbWindowsFromTheRangeAfterTheMaskRunsOut) {
  start({"800x600x24"}, {}, false);
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  const xcb_setup_t *setup = xcb_get_setup(c);
  uint32_t mask = setup->resource_id_mask, base = setup->resource_id_base;
  ASSERT_EQ(mask & 1, 1u);  // xcb steps its ids by one
  xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
  std::vector<uint32_t> windows;
  auto createWindows = [&] {
    for (int k = 0; k < 100; k++) {
      uint32_t id = xcb_generate_id(c);
      ASSERT_NE(id, 0xffffffffu) << k;
      windows.push_back(id);
      xcb_create_window(c, XCB_COPY_FROM_PARENT, id, root, int16_t(k % 10 * 20), int16_t(k / 10 * 20), 10, 10, 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
    }
  };
  // 100 windows with the first ids, which stay; then the rest of the mask is used up without
  // requests, so that xcb asks XC-MISC for a range, which must start above the windows.
  createWindows();
  for (uint64_t k = 100; k <= uint64_t(mask); k++) ASSERT_NE(xcb_generate_id(c), 0xffffffffu) << k;
  ASSERT_EQ(windows.front(), base);
  createWindows();
  EXPECT_EQ(windows[100], base + 100) << std::hex << windows[100];
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
    if (event->response_type == 0) {
      auto *error = reinterpret_cast<xcb_generic_error_t *>(event);
      ADD_FAILURE() << "error " << int(error->error_code) << " for 0x" << std::hex << error->resource_id;
    }
    free(event);
  }
  // All 200 are children of the root.
  xcb_query_tree_reply_t *tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
  ASSERT_NE(tree, nullptr);
  std::vector<uint32_t> children(xcb_query_tree_children(tree), xcb_query_tree_children(tree) + tree->children_len);
  free(tree);
  for (uint32_t id : windows)
    EXPECT_NE(std::find(children.begin(), children.end(), id), children.end()) << std::hex << id;
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

  // xset prints the same through tarvo as against the relay (of "xset q" the DPMS part: tarvo
  // offers no XKB and has colormap ids of its own). Each run starts from the same state: the
  // relay keeps one DPMS state for all its clients.
  auto xset = [&](const std::string &display) {
    std::string out;
    for (std::string words : {"+dpms", "dpms 600 600 600", "dpms force on", "dpms 100 200 300", "q",
                              "dpms force standby", "q", "-dpms", "q"}) {
      std::string printed = run("xset -display " + display + " " + words);
      if (words == "q") printed = printed.substr(std::min(printed.size(), printed.find("DPMS (Energy Star)")));
      out += "== " + words + "\n" + printed;
    }
    return out;
  };
  std::string xsetDirect = xset(relay.displayName());
  EXPECT_NE(xsetDirect.find("Standby: 100    Suspend: 200    Off: 300"), std::string::npos) << xsetDirect;
  EXPECT_NE(xsetDirect.find("Monitor is in Standby"), std::string::npos) << xsetDirect;
  EXPECT_NE(xsetDirect.find("DPMS is Disabled"), std::string::npos) << xsetDirect;
  EXPECT_EQ(xset(tarvo.displayName()), xsetDirect);
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

TEST_F(SmallExtensionsThroughTarvo, PutImageUnderTheRelayMaximumDrawsOnOneHeadAndTwo) {
  start({"800x600x24", "800x600x24"}, {"-bigreq-max", "65536"}, true);
  // After the two heads, a second tarvo whose first meta screen is the first head alone (it
  // starts only then: its windows over the whole screens cover those of the first).
  TarvoProcess oneHead;
  TarvoOptions options;
  options.arguments = upstreamWords({"metaScreen", "one", "screen", "%U.0", "metaScreen", "other", "screen", "%U.1"});

  struct Case {
    TarvoProcess *proxy;
    char order;
    int16_t windowX;  // across the heads' boundary when there are two
  };
  for (Case k : {Case{&tarvo, 'B', 640}, Case{&oneHead, 'l', 400}}) {
    SCOPED_TRACE(k.proxy == &tarvo ? "two heads" : "one head");
    if (k.proxy == &oneHead) {
      ASSERT_EQ(oneHead.start(upstream, options), "");
    }
    std::string size = linesWith(run("xdpyinfo -display " + k.proxy->displayName()), {"maximum request size"});
    EXPECT_NE(size.find("262144 bytes"), std::string::npos) << size;

    RawClient c;
    ASSERT_EQ(c.connect(k.proxy->displayNumber(), k.order), "");
    bool big = c.big();
    ASSERT_EQ(c.enableBigRequests(), 65536u);
    uint32_t window = c.idBase() | 1, pixmap = c.idBase() | 2, gc = c.idBase() | 3;
    const uint16_t width = 320, height = 200;  // 250 KB at 4 bytes a pixel
    ASSERT_EQ(c.send(RawRequest(big).b(1).b(0).s(0).i(window).i(c.rootWindow()).s(uint16_t(k.windowX)).s(100)
                         .s(width).s(height).s(0).s(1).i(0).i(2).i(0).done()), "");
    ASSERT_EQ(c.send(RawRequest(big).b(8).b(0).s(0).i(window).done()), "");
    ASSERT_EQ(c.send(RawRequest(big).b(53).b(24).s(0).i(pixmap).i(c.rootWindow()).s(width).s(height).done()), "");
    ASSERT_EQ(c.send(RawRequest(big).b(55).b(0).s(0).i(gc).i(pixmap).i(0).done()), "");

    // Pixels in the server's image byte order, the unused top byte 0.
    bool imageMsb = c.setup().at(30) == 1;
    std::string image;
    for (uint32_t y = 0; y < height; y++)
      for (uint32_t x = 0; x < width; x++) {
        uint32_t pixel = (x & 0xff) << 16 | (y & 0xff) << 8 | ((x * 7 + y * 13) & 0xff);
        for (int b = 0; b < 4; b++) image += char(pixel >> (imageMsb ? 24 - 8 * b : 8 * b));
      }
    for (uint32_t drawable : {window, pixmap}) {
      SCOPED_TRACE(drawable == window ? "window" : "pixmap");
      RawRequest put(big);
      put.b(72).b(2).s(0).i(drawable).i(gc).s(width).s(height).s(0).s(0).b(0).b(24).s(0).text(image);
      RawBytes request = rawBigForm(put.done(), big);
      ASSERT_GT(request.size(), 250u * 1024u);
      ASSERT_LT(request.size(), 262144u);
      ASSERT_EQ(c.send(request), "");
      EXPECT_EQ(errorsBeforeRoundTrip(c), "");
      std::string got = rawGetImage(c, drawable, width, height);
      ASSERT_EQ(got.size(), image.size()) << got.substr(0, 40);
      EXPECT_TRUE(got == image) << "the image read back differs";
    }

    // Over the maximum: BadLength, and the connection goes on.
    RawRequest over(big);
    over.b(72).b(2).s(0).i(pixmap).i(gc).s(width).s(240).s(0).s(0).b(0).b(24).s(0).pad(300 * 1024);
    ASSERT_EQ(c.send(rawBigForm(over.done(), big)), "");
    EXPECT_EQ(errorsBeforeRoundTrip(c), "error 16 major 72; ");
    if (k.proxy == &oneHead) {
      EXPECT_EQ(oneHead.wait(0), -1) << "tarvo ended during the test";
      EXPECT_EQ(oneHead.stop(), 0);
    }
  }
}

// SUN_ALLPLANES from a client through tarvo (heads 0 and 1 of the Xvfb, the second tagged
// "optimizedDraw", joined into the first meta screen) and from a client on the relay alone (the
// Xvfb's third screen, as wide as both heads): the same requests on a window across the
// boundary and on a pixmap.
TEST_F(SmallExtensionsThroughTarvo, AllPlanesOnAWindowAndAPixmapAsOnOneWideScreen) {
  start({"800x600x24", "800x600x24", "1600x600x24"}, {"-emulate", "ALLPLANES"}, true,
        {"metaScreen", "joined", "screen", "a", "display", "%U.0", "borderWidth", "0", "screen", "b", "display",
         "%U.1", "borderWidth", "0", "tags", "optimizedDraw", "metaScreen", "wide", "screen", "%U.2"});
  Display *viaRelay = XOpenDisplay(relay.displayName().c_str());
  ASSERT_NE(viaRelay, nullptr);
  const uint32_t roots[3] = {uint32_t(RootWindow(viaRelay, 0)), uint32_t(RootWindow(viaRelay, 1)),
                             uint32_t(RootWindow(viaRelay, 2))};
  XCloseDisplay(viaRelay);

  struct Draw {
    uint8_t minor;
    std::vector<int16_t> values;  // after the drawable (and the mode byte of points and lines)
  };
  // On the window at (700, 100): the meta x 800 is the heads' boundary.
  const std::vector<Draw> onWindow{{1, {95, 10, 10, 0}},  // mode previous
                                   {2, {50, 20, 150, 40}},
                                   {3, {90, 50, 110, 50}},
                                   {4, {80, 60, 40, 20}},
                                   {5, {85, 85, 30, 10, 20, 20, 0, 5}}};
  const std::vector<Draw> onPixmap{{1, {30, 10, 10, 0}},
                                   {2, {5, 20, 60, 40}},
                                   {3, {10, 50, 50, 50}},
                                   {4, {20, 30, 20, 10}},
                                   {5, {25, 45, 30, 10, 2, 2, 0, 5}}};
  auto request = [](bool big, uint8_t major, uint32_t drawable, const Draw &d) {
    RawRequest r(big);
    r.b(major).b(d.minor).s(0).i(drawable);
    if (d.minor <= 2) r.b(d.minor == 1 ? 1 : 0).pad(3);
    for (int16_t v : d.values) r.s(uint16_t(v));
    return r.done();
  };
  struct Images {
    std::string window, pixmap;
  };
  // A black window of 200x100 at (700, 100) and a black pixmap of 64x64, drawn on with all
  // planes, read back.
  auto drawAndRead = [&](RawClient &c, uint32_t root) {
    Images images;
    bool big = c.big();
    uint8_t major = c.queryExtension("SUN_ALLPLANES");
    EXPECT_NE(major, 0);
    uint32_t window = c.idBase() | 1, pixmap = c.idBase() | 2, gc = c.idBase() | 3;
    c.send(RawRequest(big).b(1).b(0).s(0).i(window).i(root).s(700).s(100).s(200).s(100).s(0).s(1).i(0).i(2).i(0).done());
    c.send(RawRequest(big).b(8).b(0).s(0).i(window).done());
    c.send(RawRequest(big).b(53).b(24).s(0).i(pixmap).i(root).s(64).s(64).done());
    c.send(RawRequest(big).b(55).b(0).s(0).i(gc).i(pixmap).i(4).i(0).done());
    c.send(RawRequest(big).b(70).b(0).s(0).i(pixmap).i(gc).s(0).s(0).s(64).s(64).done());
    EXPECT_EQ(errorsBeforeRoundTrip(c), "");
    for (const Draw &d : onWindow) c.send(request(big, major, window, d));
    for (const Draw &d : onPixmap) c.send(request(big, major, pixmap, d));
    EXPECT_EQ(errorsBeforeRoundTrip(c), "");
    images.window = rawGetImage(c, window, 200, 100);
    images.pixmap = rawGetImage(c, pixmap, 64, 64);
    return images;
  };

  RawClient direct;
  ASSERT_EQ(direct.connect(std::stoi(relay.displayName().substr(1)), 'l'), "");
  Images expected = drawAndRead(direct, roots[2]);
  ASSERT_EQ(expected.window.size(), 200u * 100u * 4u) << expected.window.substr(0, 40);
  ASSERT_EQ(expected.pixmap.size(), 64u * 64u * 4u) << expected.pixmap.substr(0, 40);
  EXPECT_NE(expected.window.find_first_not_of('\0'), std::string::npos);
  EXPECT_NE(expected.pixmap.find_first_not_of('\0'), std::string::npos);

  size_t logFrom = xrelayReadFile(relayLog).size();
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  Images proxied = drawAndRead(c, c.rootWindow());
  EXPECT_TRUE(proxied.window == expected.window) << "the window's pixels differ";
  EXPECT_TRUE(proxied.pixmap == expected.pixmap) << "the pixmap's pixels differ";

  // The relay got each request once per head, in tarvo's byte order: for the window on the
  // head's root at the head's coordinates (the width-0 rectangle kept), for the pixmap on the
  // head's own pixmap with the coordinates unchanged.
  std::vector<std::vector<unsigned char>> seen = xrelayAnsweredSince(xrelayReadFile(relayLog), logFrom);
  std::vector<std::vector<unsigned char>> copies;
  for (const auto &bytes : seen)
    if (bytes.size() >= 2 && bytes[1] >= 1 && bytes[1] <= 5) copies.push_back(bytes);
  ASSERT_EQ(copies.size(), 20u);
  auto values = [](const std::vector<unsigned char> &bytes) {
    std::vector<int16_t> v;
    for (size_t at = bytes[1] <= 2 ? 12 : 8; at + 2 <= bytes.size(); at += 2) v.push_back(int16_t(xrelayCard16(bytes, at)));
    return v;
  };
  const std::vector<std::vector<int16_t>> onHead0{{795, 110, 10, 0},
                                                  {750, 120, 850, 140},
                                                  {790, 150, 810, 150},
                                                  {780, 160, 40, 20},
                                                  {785, 185, 30, 10, 720, 120, 0, 5}};
  for (size_t k = 0; k < 5; k++) {
    for (int h = 0; h < 2; h++) {
      SCOPED_TRACE("minor " + std::to_string(k + 1) + " head " + std::to_string(h));
      const auto &w = copies[2 * k + size_t(h)];
      EXPECT_EQ(w[1], k + 1);
      EXPECT_EQ(xrelayCard32(w, 4), roots[h]);
      std::vector<int16_t> want = onHead0[k];
      for (size_t i = 0; i < want.size(); i += 2) {
        bool corner = k < 3 || i % 4 == 0;  // the sizes of rectangles stay
        if (corner && !(k == 0 && i > 0)) want[i] = int16_t(want[i] - 800 * h);  // relative points stay
      }
      EXPECT_EQ(values(w), want);
      const auto &p = copies[10 + 2 * k + size_t(h)];
      EXPECT_EQ(p[1], k + 1);
      EXPECT_EQ(values(p), onPixmap[k].values);
    }
    EXPECT_NE(xrelayCard32(copies[10 + 2 * k], 4), xrelayCard32(copies[10 + 2 * k + 1], 4));
    EXPECT_NE(xrelayCard32(copies[10 + 2 * k], 4), roots[0]);
  }

  // A window on the first head alone: nothing goes to the second.
  logFrom = xrelayReadFile(relayLog).size();
  uint8_t major = c.queryExtension("SUN_ALLPLANES");
  uint32_t small = c.idBase() | 4;
  ASSERT_EQ(c.send(RawRequest(true).b(1).b(0).s(0).i(small).i(c.rootWindow()).s(100).s(300).s(100).s(50).s(0).s(1).i(0).i(2).i(0).done()), "");
  ASSERT_EQ(c.send(RawRequest(true).b(8).b(0).s(0).i(small).done()), "");
  ASSERT_EQ(c.send(RawRequest(true).b(major).b(5).s(0).i(small).s(10).s(10).s(20).s(5).done()), "");
  EXPECT_EQ(errorsBeforeRoundTrip(c), "");
  copies.clear();
  for (const auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), logFrom))
    if (bytes.size() >= 2 && bytes[1] == 5) copies.push_back(bytes);
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(xrelayCard32(copies[0], 4), roots[0]);
  EXPECT_EQ(values(copies[0]), (std::vector<int16_t>{110, 310, 20, 5}));
}

}  // namespace
