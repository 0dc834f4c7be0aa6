// Colour cells of a client that leaves, through the tarvo executable: client A keeps a
// colormap of an 8-bit PseudoColor visual, B takes all its read/write cells and leaves, C then
// gets them all again, as on an 8-bit X server; a client that leaves retaining its resources
// keeps its cells until KillClient. On one and two heads, real 8-bit and emulated on 24 bits.
// Colours allocated on a TrueColor colormap, by several clients one after the other (the later
// ones answered from what tarvo kept of the first), are those the real server gives.
#include <gtest/gtest.h>

#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <string>
#include <vector>

#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

struct CellsCase {
  const char *name;
  int heads;
  const char *size;
  bool emulate;
};
void PrintTo(const CellsCase &c, std::ostream *os) { *os << c.name; }

class ColourCellsOfLeavingClients : public ::testing::TestWithParam<CellsCase> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TarvoOptions options;
    options.logTypes = {"steps", "Clients"};
    if (GetParam().emulate) options.arguments = {"screen", "%D.0", "emulateVisuals", "PseudoColor:8"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, GetParam().heads, GetParam().size, options), "");
  }
  void TearDown() override {
    if (keeper) XCloseDisplay(keeper);
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0);
  }
  // A client takes every cell it can get with that close-down mode and leaves: how many it got,
  // once tarvo has closed it.
  int takeAll(Colormap colormap, const char *mode) {
    size_t stops = count("stopped (");
    std::string out = xrelayRun("timeout 60 /usr/bin/python3 " TARVO_SOURCE_DIR
                                "/tests/integration/scripts/color_cells.py " +
                                tarvo.displayName() + " " + std::to_string(colormap) + " " + mode + " 2>&1");
    for (int k = 0; k < 100 && count("stopped (") == stops; k++) usleep(50000);
    EXPECT_GT(count("stopped ("), stops) << out;
    return out.rfind("cells ", 0) == 0 ? std::stoi(out.substr(6)) : -1;
  }
  size_t count(const std::string &text) const {
    std::string log = tarvo.log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  Display *keeper = nullptr;
};

TEST_P(ColourCellsOfLeavingClients, AreGivenBackByAFullCloseAndKeptByARetainedOne) {
  keeper = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(keeper, nullptr);
  XVisualInfo info;
  ASSERT_TRUE(XMatchVisualInfo(keeper, 0, 8, PseudoColor, &info));
  Colormap colormap = XCreateColormap(keeper, DefaultRootWindow(keeper), info.visual, AllocNone);
  XSync(keeper, False);

  EXPECT_EQ(takeAll(colormap, "destroy"), 256);
  EXPECT_EQ(takeAll(colormap, "destroy"), 256);
  EXPECT_EQ(takeAll(colormap, "temporary"), 256);
  EXPECT_EQ(takeAll(colormap, "destroy"), 0);
  XKillClient(keeper, AllTemporary);
  XSync(keeper, False);
  EXPECT_EQ(takeAll(colormap, "permanent"), 256);
  // Cells the other heads could not take at the pixels of the first are logged.
  EXPECT_EQ(count("Failed XAllocColorCells"), 0u);
  EXPECT_EQ(count("Different cells"), 0u);
}

const CellsCase kCases[] = {
    {"EightBitOneHead", 1, "320x240x8", false},
    {"EightBitTwoHeads", 2, "320x240x8", false},
    {"EmulatedOneHead", 1, "320x240x24", true},
    {"EmulatedTwoHeads", 2, "320x240x24", true},
};
INSTANTIATE_TEST_SUITE_P(Heads, ColourCellsOfLeavingClients, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(StaticColours, AreTheRealServersForEveryClientThatAsks) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "320x240x24"), "");
  Display *real = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(real, nullptr);
  std::vector<XColor> asked;
  for (int k = 0; k < 64; k++)
    asked.push_back(XColor{0, uint16_t(k * 1031 + 7), uint16_t(65535 - k * 977), uint16_t(k * 12345 % 65536), 7, 0});
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    Display *client = XOpenDisplay(tarvo.displayName().c_str());
    ASSERT_NE(client, nullptr);
    for (const XColor &colour : asked) {
      XColor viaTarvo = colour, direct = colour;
      ASSERT_TRUE(XAllocColor(client, DefaultColormap(client, 0), &viaTarvo));
      ASSERT_TRUE(XAllocColor(real, DefaultColormap(real, 0), &direct));
      EXPECT_EQ(viaTarvo.pixel, direct.pixel);
      EXPECT_EQ(viaTarvo.red, direct.red);
      EXPECT_EQ(viaTarvo.green, direct.green);
      EXPECT_EQ(viaTarvo.blue, direct.blue);
    }
    XCloseDisplay(client);
  }
  XCloseDisplay(real);
  EXPECT_EQ(tarvo.stop(), 0);
}

}  // namespace
