// The test relay against a private Xvfb, judged by a raw client, python3-xlib, xdpyinfo and xset.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string run(const std::string &command, int *status = nullptr) {
  return xrelayRun(command, status);
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(xvfb.start(), "");
    ASSERT_EQ(relay.start(xvfb.displayName(), {"-emulate", "DPMS,FBPM"}), "");
  }
  XvfbServer xvfb;
  XrelayServer relay;
};

TEST_F(RelayTest, ChecksFromOutside) {
  for (const char *name : {"xdpyinfo", "roundtrips", "putimage", "raw-b", "pipelined"}) {
    int status = -1;
    std::string output = run("/usr/bin/python3 " TARVO_SOURCE_DIR "/tests/relay/relay_check.py " +
                                 xvfb.displayName() + " " + relay.displayName() + " " + name,
                             &status);
    EXPECT_EQ(status, 0) << name << ": " << output;
  }
}

TEST_F(RelayTest, XsetSeesDpmsStates) {
  std::string query = "xset -display " + relay.displayName() + " q";
  std::string before = run(query);
  EXPECT_NE(before.find("DPMS is Enabled"), std::string::npos) << before;
  EXPECT_NE(before.find("Monitor is On"), std::string::npos) << before;
  run("xset -display " + relay.displayName() + " dpms force standby");
  std::string after = run(query);
  EXPECT_NE(after.find("Monitor is in Standby"), std::string::npos) << after;
  // The extension list shows the emulated names; the plain server has neither.
  std::string list = run("xdpyinfo -display " + relay.displayName());
  EXPECT_NE(list.find("    FBPM\n"), std::string::npos);
  EXPECT_EQ(run("xdpyinfo -display " + xvfb.displayName()).find("    DPMS\n"), std::string::npos);
}

TEST(RelayOptions, HideAndRewriteVersions) {
  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-hide", "XVideo", "-version", "XTEST=2.1"}), "");
  std::string list = run("xdpyinfo -display " + relay.displayName());
  EXPECT_EQ(list.find("XVideo"), std::string::npos);
  EXPECT_NE(list.find("XTEST"), std::string::npos);
  std::string version = run("/usr/bin/python3 -c \"import Xlib.display; "
                            "d=Xlib.display.Display('" + relay.displayName() + "'); "
                            "print(d.query_extension('XVideo')); "
                            "from Xlib.ext import xtest; v=d.xtest_get_version(2,2); "
                            "print(v.major_version, v.minor_version)\"");
  EXPECT_EQ(version, "None\n2 1\n");
}

}  // namespace
