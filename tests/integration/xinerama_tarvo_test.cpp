// XINERAMA through the tarvo executable: answered by the proxy from its heads, compared with
// Xvfb's own XINERAMA on one screen, and judged by xdpyinfo and raw clients of both byte
// orders on two screens joined into one meta screen (or kept as two meta screens).
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <functional>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xvfb_fixture.h"

namespace {

enum : uint8_t { kQueryVersion = 0, kGetState, kGetScreenCount, kGetScreenSize, kIsActive, kQueryScreens };

// One answer as words read in the client's order: the reply's fields by offset, or the error.
struct Answer {
  bool error = false;
  uint8_t code = 0;      // error code, or byte 1 of a reply
  uint32_t value = 0;    // the error's bad value
  uint16_t sequence = 0;
  RawBytes bytes;
  bool big = false;
  uint32_t u16(size_t at) const { return rawGet16(bytes, at, big); }
  uint32_t u32(size_t at) const { return rawGet32(bytes, at, big); }
};

class XineramaThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void start(const std::vector<std::string> &screens, const std::vector<std::string> &extra,
             TarvoOptions options = TarvoOptions{}) {
    XvfbOptions x;
    x.screens = screens;
    x.extraArguments = {"-nolisten", "tcp"};
    x.extraArguments.insert(x.extraArguments.end(), extra.begin(), extra.end());
    ASSERT_EQ(xvfb.start(x), "");
    if (options.arguments.empty()) {
      options.arguments = {"screen", "%D.0"};
      if (screens.size() > 1) options.arguments.insert(options.arguments.end(), {"tags", "anyScreen"});
    }
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  }

  static RawRequest req(const RawClient &c, uint8_t major, uint8_t minor) {
    RawRequest r(c.big());
    r.b(major).b(minor).s(0);
    return r;
  }
  static Answer ask(RawClient &c, const RawBytes &request) {
    Answer a;
    a.big = c.big();
    std::string failure = c.roundTrip(request, a.bytes);
    EXPECT_EQ(failure, "");
    if (a.bytes.size() < 32) return a;
    a.error = a.bytes[0] == 0;
    a.code = a.bytes[1];
    a.sequence = uint16_t(rawGet16(a.bytes, 2, c.big()));
    a.value = rawGet32(a.bytes, 4, c.big());
    return a;
  }
  static uint32_t createWindow(RawClient &c, uint32_t parent, int16_t x, int16_t y, uint16_t w, uint16_t h) {
    static uint32_t next = 1;
    uint32_t id = c.idBase() + next++;
    RawRequest r(c.big());
    r.b(1).b(0).s(0).i(id).i(parent).s(uint16_t(x)).s(uint16_t(y)).s(w).s(h).s(0).s(1).i(0).i(0);
    EXPECT_EQ(c.send(r.done()), "");
    return id;
  }
  // The heads as "WxH @ X,Y" lines that xdpyinfo prints for XINERAMA.
  std::string xdpyinfoHeads(const std::string &display) {
    std::string out = twinRunCommand("timeout 20 xdpyinfo -display " + display + " -ext XINERAMA 2>&1");
    size_t at = out.find("XINERAMA version");
    return at == std::string::npos ? out : out.substr(at);
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
};

// One Xvfb screen with its own XINERAMA: the proxy answers as the server does, except that a
// meta screen of one full head is not split.
TEST_F(XineramaThroughTarvo, OneScreenAnswersAsTheServer) {
  start({"1024x768x24"}, {"+xinerama"});
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient direct, proxied;
    ASSERT_EQ(direct.connect(xvfb.displayNumber(), order), "");
    ASSERT_EQ(proxied.connect(tarvo.displayNumber(), order), "");
    uint8_t dm = direct.queryExtension("XINERAMA"), pm = proxied.queryExtension("XINERAMA");
    ASSERT_NE(dm, 0);
    ASSERT_EQ(pm, dm);  // the server's opcode
    auto both = [&](uint8_t minor, const std::function<void(RawRequest &, RawClient &)> &body) {
      RawRequest d = req(direct, dm, minor), p = req(proxied, pm, minor);
      body(d, direct);
      body(p, proxied);
      return std::make_pair(ask(direct, d.done()), ask(proxied, p.done()));
    };
    auto [dv, pv] = both(kQueryVersion, [](RawRequest &r, RawClient &) { r.b(1).b(1).s(0); });
    EXPECT_EQ(pv.u16(8), 1u);
    EXPECT_EQ(pv.u16(10), 1u);
    EXPECT_EQ(dv.u16(8), pv.u16(8));
    auto [ds, ps] = both(kQueryScreens, [](RawRequest &, RawClient &) {});
    ASSERT_FALSE(ps.error);
    EXPECT_EQ(ps.u32(8), 1u);
    EXPECT_EQ(ds.u32(8), ps.u32(8));
    for (size_t at : {32, 34, 36, 38}) EXPECT_EQ(ds.u16(at), ps.u16(at)) << at;
    auto [dc, pc] = both(kGetScreenCount, [](RawRequest &r, RawClient &c) { r.i(c.rootWindow()); });
    EXPECT_EQ(pc.code, 1u);
    EXPECT_EQ(dc.code, pc.code);
    EXPECT_EQ(pc.u32(8), proxied.rootWindow());
    auto [dz, pz] = both(kGetScreenSize, [](RawRequest &r, RawClient &c) { r.i(c.rootWindow()).i(0); });
    ASSERT_FALSE(pz.error);
    EXPECT_EQ(pz.u32(8), 1024u);
    EXPECT_EQ(pz.u32(12), 768u);
    EXPECT_EQ(dz.u32(8), pz.u32(8));
    EXPECT_EQ(dz.u32(12), pz.u32(12));
    EXPECT_EQ(pz.u32(16), proxied.rootWindow());
    EXPECT_EQ(pz.u32(20), 0u);
    Answer active = ask(proxied, req(proxied, pm, kIsActive).done());
    ASSERT_FALSE(active.error);
    EXPECT_EQ(active.u32(8), 0u);
    Answer state = ask(proxied, req(proxied, pm, kGetState).i(proxied.rootWindow()).done());
    EXPECT_EQ(state.code, 0u);
    EXPECT_EQ(state.u32(8), proxied.rootWindow());
  }
  EXPECT_NE(xdpyinfoHeads(tarvo.displayName()).find("Xinerama is inactive."), std::string::npos)
      << xdpyinfoHeads(tarvo.displayName());
}

// Two screens joined: XINERAMA offered though Xvfb lacks it; the heads as xdpyinfo sees them.
TEST_F(XineramaThroughTarvo, TwoHeadsOfOneMetaScreen) {
  start({"800x600x24", "1024x768x24"}, {});
  std::string heads = xdpyinfoHeads(tarvo.displayName());
  EXPECT_NE(heads.find("head #0: 800x600 @ 0,0"), std::string::npos) << heads;
  EXPECT_NE(heads.find("head #1: 1024x768 @ 800,0"), std::string::npos) << heads;
  // python3-xlib reads every reply with its own layouts.
  std::string py = twinRunCommand(
      "timeout 20 /usr/bin/python3 -c \"from Xlib import display\n"
      "d = display.Display('" + tarvo.displayName() + "')\n"
      "r = d.screen().root\n"
      "v = d.xinerama_query_version()\n"
      "print(v.major_version, v.minor_version, d.xinerama_is_active(), r.xinerama_get_state().state,"
      " r.xinerama_get_screen_count().screen_count,"
      " [(s.x, s.y, s.width, s.height) for s in d.xinerama_query_screens().screens],"
      " r.xinerama_get_screen_size(1).width)\" 2>&1");
  EXPECT_EQ(py, "1 1 1 1 2 [(0, 0, 800, 600), (800, 0, 1024, 768)] 1024\n");
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("XINERAMA");
    ASSERT_NE(major, 0);
    uint32_t root = c.rootWindow();
    EXPECT_EQ(ask(c, req(c, major, kGetState).i(root).done()).code, 1u);
    EXPECT_EQ(ask(c, req(c, major, kIsActive).done()).u32(8), 1u);
    EXPECT_EQ(ask(c, req(c, major, kGetScreenCount).i(root).done()).code, 2u);
    Answer second = ask(c, req(c, major, kGetScreenSize).i(root).i(1).done());
    EXPECT_EQ(second.u32(8), 1024u);
    EXPECT_EQ(second.u32(12), 768u);
    EXPECT_EQ(second.u32(20), 1u);
    for (uint32_t n : {2u, 0xffffffffu}) {
      Answer bad = ask(c, req(c, major, kGetScreenSize).i(root).i(n).done());
      EXPECT_TRUE(bad.error);
      EXPECT_EQ(bad.code, 2u);
      EXPECT_EQ(bad.value, n);
    }
    Answer unknown = ask(c, req(c, major, kGetState).i(c.idBase() + 0x999).done());
    EXPECT_TRUE(unknown.error);
    EXPECT_EQ(unknown.code, 3u);
    // The window report: the part of a window 700..900 on each head, relative to the head.
    uint32_t w = createWindow(c, root, 700, 100, 200, 50);
    Answer report = ask(c, req(c, major, kIsActive).i(w).done());
    ASSERT_FALSE(report.error);
    ASSERT_EQ(report.bytes.size(), 460u);
    EXPECT_EQ(report.u32(8), w);
    const uint32_t first[7] = {w, 0, 0, 700, 100, 100, 50};
    const uint32_t other[7] = {w, 800, 0, 0, 100, 100, 50};
    for (int k = 0; k < 7; k++) {
      EXPECT_EQ(report.u32(12 + 4 * k), first[k]) << k;
      EXPECT_EQ(report.u32(40 + 4 * k), other[k]) << k;
    }
    for (size_t at = 68; at < 460; at += 4) EXPECT_EQ(report.u32(at), 0u) << at;
    // A window on the first head only: the second head's entry has no part.
    uint32_t left = createWindow(c, root, 10, 10, 20, 20);
    report = ask(c, req(c, major, kIsActive).i(left).done());
    EXPECT_EQ(report.u32(40 + 20), 0u);
    EXPECT_EQ(report.u32(40 + 24), 0u);
    EXPECT_EQ(report.u32(12 + 20), 20u);
  }
}

// Lengths: one word short and one long give BadLength with the length, and the sequence goes on.
TEST_F(XineramaThroughTarvo, WrongLengthsAreRefused) {
  start({"800x600x24", "1024x768x24"}, {});
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("XINERAMA");
    ASSERT_NE(major, 0);
    const uint32_t sizes[6] = {8, 8, 8, 12, 4, 4};
    for (uint8_t minor = 0; minor < 6; minor++) {
      for (int delta : {-4, 4}) {
        uint32_t words = (sizes[minor] + delta) / 4;
        if (minor == kIsActive && delta > 0) words = 3;  // 8 bytes is the window report
        if (words == 0) continue;
        RawRequest r = req(c, major, minor);
        r.pad(4 * (words - 1));
        RawBytes bytes = r.done();
        Answer a = ask(c, bytes);
        EXPECT_TRUE(a.error) << int(minor) << " " << delta;
        EXPECT_EQ(a.code, 16u);
        EXPECT_EQ(a.value, 4 * words);
        EXPECT_EQ(a.sequence, c.sequence());
      }
    }
    EXPECT_FALSE(ask(c, req(c, major, kQueryScreens).done()).error);
  }
}

// XineramaOrdering=Reverse (any case) takes each meta screen's heads last to first.
TEST_F(XineramaThroughTarvo, ReverseOrdering) {
  TarvoOptions options;
  options.environment = {{"XineramaOrdering", "Reverse"}};
  start({"800x600x24", "1024x768x24"}, {}, options);
  std::string heads = xdpyinfoHeads(tarvo.displayName());
  EXPECT_NE(heads.find("head #0: 1024x768 @ 800,0"), std::string::npos) << heads;
  EXPECT_NE(heads.find("head #1: 800x600 @ 0,0"), std::string::npos) << heads;
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = c.queryExtension("XINERAMA");
  Answer size = ask(c, req(c, major, kGetScreenSize).i(c.rootWindow()).i(1).done());
  EXPECT_EQ(size.u32(8), 800u);
  Answer bad = ask(c, req(c, major, kGetScreenSize).i(c.rootWindow()).i(0xffffffffu).done());
  EXPECT_TRUE(bad.error);
  EXPECT_EQ(bad.code, 2u);
}

// Two meta screens: all heads in list order, the first meta screen's first.
TEST_F(XineramaThroughTarvo, TwoMetaScreens) {
  TarvoOptions options;
  options.arguments = {"metaScreen", "a", "screen", "%D.0", "metaScreen", "b", "screen", "%D.1"};
  start({"800x600x24", "1024x768x24"}, {}, options);
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  uint8_t major = c.queryExtension("XINERAMA");
  Answer screens = ask(c, req(c, major, kQueryScreens).done());
  ASSERT_EQ(screens.u32(8), 2u);
  // Each head at its meta screen's origin; the first meta screen's (800 wide, less the frame
  // the proxy keeps around a head alone on its screen) before the second's.
  EXPECT_EQ(screens.u16(32), 0u);
  EXPECT_EQ(screens.u16(40), 0u);
  EXPECT_GT(screens.u16(36), 780u);
  EXPECT_LE(screens.u16(36), 800u);
  EXPECT_GT(screens.u16(44), 1000u);
  // Each meta screen is one full head: not split.
  EXPECT_EQ(ask(c, req(c, major, kIsActive).done()).u32(8), 0u);
  EXPECT_EQ(ask(c, req(c, major, kGetScreenCount).i(c.rootWindow()).done()).code, 1u);
}

}  // namespace
