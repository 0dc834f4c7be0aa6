// Events a real client receives through the tarvo executable are the events it receives from
// the X server used directly: structure events once, exposures, in the same order.
#include <gtest/gtest.h>

#include <string>

#include "twinrun_fixture.h"

namespace {

class EventsThroughTarvo : public TwinRunOnScreens {};

TEST_P(EventsThroughTarvo, StructureAndExposureEventsAsDirect) {
  auto [direct, proxied] =
      twin.run("timeout 30 /usr/bin/python3 " TARVO_SOURCE_DIR "/tests/integration/eventprint.py %D");
  EXPECT_NE(direct.find("MapNotify window=top"), std::string::npos) << direct;
  EXPECT_NE(direct.find("Expose"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

// xdotool on the real display moves and clicks: the client through tarvo receives the
// same pointer events with the same details, states and positions.
TEST_P(EventsThroughTarvo, DeviceEventsFromXdotoolAsDirect) {
  std::string script = "timeout 40 /usr/bin/python3 " TARVO_SOURCE_DIR "/tests/integration/eventdevice.py ";
  std::string direct = twinRunCommand(script + twin.directDisplay() + " " + twin.directDisplay());
  std::string proxied = twinRunCommand(script + twin.proxyDisplay() + " " + twin.behindDisplay());
  EXPECT_NE(direct.find("ButtonPress detail=8"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

INSTANTIATE_TEST_SUITE_P(Screens, EventsThroughTarvo, ::testing::Values(1));

}  // namespace
