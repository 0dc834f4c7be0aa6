// glxinfo through tarvo on Xvfb with indirect GLX: it runs to its end without an X error and
// lists the server's GLX strings as the proxy answers them.
#include <gtest/gtest.h>

#include <string>

#include "glxinfo_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

TEST(GlxStringsThroughTarvo, GlxinfoRunsToItsEnd) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");
  std::string out = glxinfoCommandOutput("LIBGL_ALWAYS_INDIRECT=1 timeout 60 glxinfo -display '" + tarvo.displayName() +
                                         "' 2>&1; echo \"exit=$?\"");
  EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
  EXPECT_EQ(out.find("X Error"), std::string::npos) << out;
  EXPECT_NE(out.find("server glx vendor string"), std::string::npos) << out;
  EXPECT_NE(out.find("client glx vendor string"), std::string::npos) << out;
  EXPECT_NE(out.find("server glx extensions:"), std::string::npos) << out;
}

}  // namespace
