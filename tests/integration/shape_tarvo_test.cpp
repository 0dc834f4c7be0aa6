// SHAPE through the tarvo executable: twin runs of one 1600x600 Xvfb used directly against two
// 800x600 heads behind tarvo (xeyes, a seeded run of every SHAPE request), the real copies on
// both heads, and the version and length rules behind the test relay.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string script(const std::string &name) { return std::string(TARVO_SOURCE_DIR) + "/tests/integration/scripts/" + name; }

// The lines of xwininfo -shape that speak of the window's place, size and shapes.
std::string shapeLines(const std::string &text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    for (const char *part : {"Absolute", "Width", "Height", "Border width", "shape"})
      if (line.find(part) != std::string::npos) {
        out += line + "\n";
        break;
      }
    start = end + 1;
  }
  return out;
}

class ShapeTwin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens = {"800x600x24", "800x600x24"};
    options.directScreens = {"1600x600x24"};
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

// A seeded run of every request, op, kind and ordering on bordered windows with resizes in
// between: the rectangles, extents and ShapeNotify counts through tarvo equal the direct ones.
TEST_F(ShapeTwin, SeededRequestsAsDirect) {
  for (const char *seed : {"7", "31"}) {
    auto [direct, proxied] = twin.run("timeout 120 /usr/bin/python3 " + script("shape_ops.py") + " %D " + seed + " 70");
    ASSERT_NE(direct.find("69 "), std::string::npos) << direct;
    EXPECT_EQ(proxied, direct) << "seed " << seed;
  }
}

// xeyes across the seam of the heads: its shape through tarvo as direct, and each head's real
// copy shaped alike.
TEST_F(ShapeTwin, XeyesShapeOnBothHeads) {
  auto [direct, proxied] = twin.run(
      "sh -c 'timeout 30 xeyes -display %D -geometry 200x200+700+100 >/dev/null 2>&1 & sleep 1.5; "
      "timeout 10 xwininfo -display %D -shape -name xeyes 2>/dev/null'");
  EXPECT_NE(direct.find("Window shape extents"), std::string::npos) << direct;
  EXPECT_EQ(shapeLines(proxied), shapeLines(direct));
  // The real copies: on each screen of the Xvfb behind tarvo, the 200x200 windows with a
  // bounding shape, printed by their rectangles; the client's own rectangles through tarvo.
  const std::string copies =
      "timeout 20 /usr/bin/python3 -c \"from Xlib import display\nfrom Xlib.ext import shape\n"
      "d = display.Display('" + twin.behindDisplay() + "')\nfound = []\n"
      "def walk(w):\n"
      "  for c in w.query_tree().children:\n"
      "    g = c.get_geometry()\n"
      "    if g.width == 200 and g.height == 200 and c.shape_query_extents().bounding_shaped:\n"
      "      found.append([(r.x, r.y, r.width, r.height) for r in c.shape_get_rectangles(0).rectangles])\n"
      "    walk(c)\n"
      "for s in range(d.screen_count()):\n  walk(d.screen(s).root)\n"
      "print(len(found), len(set(map(str, found))))\n"
      "print(found[0] if found else None)\" 2>&1";
  std::string real = twinRunCommand(copies);
  const std::string own =
      "timeout 20 /usr/bin/python3 -c \"from Xlib import display\nfrom Xlib.ext import shape\n"
      "d = display.Display('" + twin.proxyDisplay() + "')\n"
      "def find(w):\n"
      "  for c in w.query_tree().children:\n"
      "    if c.get_wm_name() == 'xeyes': return c\n"
      "    f = find(c)\n"
      "    if f: return f\n"
      "w = find(d.screen().root)\n"
      "print([(r.x, r.y, r.width, r.height) for r in w.shape_get_rectangles(0).rectangles])\" 2>&1";
  std::string mine = twinRunCommand(own);
  ASSERT_EQ(real.substr(0, 4), "2 1\n") << real;
  EXPECT_EQ(real.substr(4), mine);
}

// Behind the relay: the smallest version of the displays reaches the client, and a list that
// is not whole rectangles is refused before anything else.
TEST(ShapeRelay, VersionAndLength) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  XvfbOptions x;
  x.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(x), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-version", "SHAPE=1.0"}), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", relay.displayName() + ".0"};
  ASSERT_EQ(tarvo.start(relay.displayName(), options), "");
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("SHAPE");
    ASSERT_NE(major, 0);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(0).s(0).done(), answer), "");
    ASSERT_EQ(answer[0], 1);
    EXPECT_EQ(rawGet16(answer, 8, c.big()), 1u);
    EXPECT_EQ(rawGet16(answer, 10, c.big()), 0u);
    // ShapeRectangles of 16 + 8 + 4 bytes on the root.
    RawRequest bad(c.big());
    bad.b(major).b(1).s(0).b(0).b(0).b(0).b(0).i(c.rootWindow()).s(0).s(0).s(1).s(2).s(3).s(4).i(0);
    ASSERT_EQ(c.roundTrip(bad.done(), answer), "");
    ASSERT_EQ(answer[0], 0);
    EXPECT_EQ(answer[1], 16);
    EXPECT_EQ(rawGet32(answer, 4, c.big()), 28u);
    EXPECT_EQ(rawGet16(answer, 2, c.big()), c.sequence());
  }
}

}  // namespace
