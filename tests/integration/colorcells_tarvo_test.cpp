// Colour cells of a client that leaves, through the tarvo executable: client A keeps a
// colormap of an 8-bit PseudoColor visual, B takes all its read/write cells and leaves, C then
// gets them all again, as on an 8-bit X server; a client that leaves retaining its resources
// keeps its cells until KillClient. On one and two heads, real 8-bit and emulated on 24 bits.
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

}  // namespace
