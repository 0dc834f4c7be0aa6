// DOUBLE-BUFFER through the tarvo executable on a plain Xvfb, compared with the Xvfb used
// directly: the visual info, and a libXext client that animates frames through a back buffer
// with each swap action.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "dbe_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

class DbeThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_F(DbeThroughTarvo, OneHeadAnimatesAsDirect) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24"), "");
  std::string direct = dbeAnimate(xvfb.displayName());
  ASSERT_NE(direct.find("attributes ok"), std::string::npos) << direct;
  EXPECT_EQ(dbeAnimate(tarvo.displayName()), direct);
  EXPECT_EQ(dbeVisualInfo(tarvo.displayName()), dbeVisualInfo(xvfb.displayName()));
}

// The frames without the pixels right of a head boundary ("+RRGGBB" dropped); "mismatch" when
// a window pixel there differs from the one left of it (a back buffer's may differ, as direct).
std::string leftOfBoundary(const std::string &frames) {
  std::string out;
  for (size_t k = 0; k < frames.size(); k++) {
    if (frames[k] != '+') {
      out += frames[k];
      continue;
    }
    bool window = k < 7 || frames[k - 7] != '/';
    if (window && (k < 6 || frames.compare(k - 6, 6, frames, k + 1, 6) != 0)) return "mismatch at " + std::to_string(k);
    k += 6;
  }
  return out;
}

// Two heads in one meta screen: every swap reaches both; the window lies across the boundary
// and shows the same frame on both sides (direct, x 50 lies beyond the 320-pixel screen).
TEST_F(DbeThroughTarvo, TwoHeadsAnimateAsDirect) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "320x240x24"), "");
  std::string through = dbeAnimate(tarvo.displayName());
  std::string direct = dbeAnimate(xvfb.displayName());
  // Direct, window pixels beyond the screen cannot be read; back-buffer pixels can.
  std::string directLeft;
  for (size_t k = 0; k < direct.size(); k++) {
    if (direct[k] != '+') {
      directLeft += direct[k];
      continue;
    }
    while (k + 1 < direct.size() && isxdigit(static_cast<unsigned char>(direct[k + 1]))) k++;
  }
  EXPECT_EQ(leftOfBoundary(through), directLeft) << through;
  // One meta screen: the first Xvfb screen's visuals.
  std::string directInfo = dbeVisualInfo(xvfb.displayName());
  EXPECT_EQ(dbeVisualInfo(tarvo.displayName()), directInfo.substr(0, directInfo.find('\n') + 1));
}

// Two meta screens of different depths, one Xvfb screen each: xdpyinfo's DOUBLE-BUFFER section
// gives 1.0 and per screen the count, depths and levels of the Xvfb used directly.
TEST_F(DbeThroughTarvo, TwoMetaScreensListDirectsVisuals) {
  XvfbOptions options;
  options.screens = {"320x240x24", "320x240x16"};
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  TarvoOptions tarvoOptions;
  tarvoOptions.arguments = {"metaScreen", "a", "screen", "%D.0", "metaScreen", "b", "screen", "%D.1"};
  ASSERT_EQ(tarvo.start(xvfb.displayName(), tarvoOptions), "");
  std::string direct = dbeXdpyinfoSummary(xvfb.displayName());
  ASSERT_EQ(direct.rfind("DOUBLE-BUFFER version 1.0\nscreen 0", 0), 0u) << direct;
  ASSERT_NE(direct.find("\nscreen 1"), std::string::npos) << direct;
  ASSERT_NE(direct.find("depth 16"), std::string::npos) << direct;
  EXPECT_EQ(dbeXdpyinfoSummary(tarvo.displayName()), direct);
}

// A client killed while it swaps leaves nothing behind: tarvo serves the next client and ends
// with status 0 and no sanitizer report.
TEST_F(DbeThroughTarvo, ClientKilledMidAnimationLeaksNothing) {
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "320x240x24"), "");
  for (int round = 0; round < 2; round++) ASSERT_EQ(bufferAnimationKilled(tarvo.displayName(), false), "");
  std::string after = dbeAnimate(tarvo.displayName());
  EXPECT_NE(after.find("attributes ok"), std::string::npos) << after;
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  for (const char *report : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(tarvo.output().find(report), std::string::npos) << tarvo.output();
}

}  // namespace
