// Head placement through the tarvo executable: screens placed against each other give the meta
// screen their union, and a direction the placement does not take ends start-up.
#include <unistd.h>
#include <xcb/xcb.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

class TarvoHead : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions two;
    two.screens = {"1024x768x24", "800x600x24"};
    ASSERT_EQ(xvfb_.start(two), "");
  }
  XvfbServer xvfb_;
};

TEST_F(TarvoHead, PlacedScreensMakeTheMetaScreen) {
  struct Case {
    const char *what;
    std::vector<std::string> placement;  // words after "screen s1 display %D.1"
    unsigned width, height;
    const char *logged;
  } cases[] = {
      // Screens east of each other need no border; any other placement gives each head a
      // border of 1 around its part of the real screen.
      {"east + 10", {"eastOf", "s0", "10", "0"}, 1024 + 10 + 800, 768, "s1 changed by"},
      {"south", {"southOf", "s0"}, 1022, 766 + 598, "s1 changed by"},
      {"west, shifted to 0", {"westOf", "s0"}, 798 + 1022, 766, "s1 changed by"},
      {"same place + 5", {"sameAs", "s0", "5", "5"}, 1022, 766, "s1 changed by"},
      {"same place + 300", {"sameAs", "s0", "300", "200"}, 300 + 798, 200 + 598, "s1 changed by"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TarvoProcess tarvo;
    TarvoOptions options;
    options.arguments = {"screen", "s0", "display", "%D.0", "screen", "s1", "display", "%D.1"};
    options.arguments.insert(options.arguments.end(), c.placement.begin(), c.placement.end());
    ASSERT_EQ(tarvo.start(xvfb_.displayName(), options), "");
    xcb_connection_t *connection = xcb_connect(tarvo.displayName().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(connection), 0);
    const xcb_setup_t *setup = xcb_get_setup(connection);
    ASSERT_EQ(xcb_setup_roots_length(setup), 1);
    xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
    EXPECT_EQ(screen->width_in_pixels, c.width);
    EXPECT_EQ(screen->height_in_pixels, c.height);
    xcb_disconnect(connection);
    EXPECT_NE(tarvo.log().find(c.logged), std::string::npos) << tarvo.log();
    // No pointer is moved while the heads have no windows.
    EXPECT_EQ(tarvo.log().find("Pointer repositioned"), std::string::npos);
    EXPECT_EQ(tarvo.stop(), 0);
  }
}

TEST_F(TarvoHead, DiagonalDirectionEndsStartUp) {
  std::string directory = "/tmp/tarvo-head-XXXXXX";
  ASSERT_NE(mkdtemp(directory.data()), nullptr);
  std::string log = directory + "/tarvo.log", output;
  const std::string d = xvfb_.displayName();
  const std::string own = ":" + std::to_string(xvfbUnusedDisplayNumber());
  int status = tarvoRunToEnd({own, "screen", "s0", "display", d + ".0", "screen", "s1", "display", d + ".1",
                              "northWestOf", "s0", "logDestination", log, "logTypes", "steps"},
                             {}, true, &output, directory);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE((output + tarvoReadFile(log)).find("Invalid direction 6 for screen s1"), std::string::npos)
      << output << tarvoReadFile(log);
  EXPECT_EQ(system(("rm -rf " + directory).c_str()), 0);
}

}  // namespace
