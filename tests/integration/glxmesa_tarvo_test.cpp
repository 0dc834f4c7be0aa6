// Mesa's GL library with indirect contexts, on Xvfb with indirect GLX, used directly and through
// tarvo (one screen; two screens as two heads joined by "tags anyScreen"): a client calling GLX
// and GL functions with distinct values prints the same results and the same X errors both
// ways, and glxgears draws frames through tarvo without an X error.
#include <gtest/gtest.h>

#include <string>

#include "glxinfo_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

class GlxMesaThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens.assign(size_t(GetParam()), "640x480x24");
    x.iglx = true;
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    TarvoOptions t;
    t.arguments = {"screen", "%D.0"};
    if (GetParam() > 1) t.arguments.insert(t.arguments.end(), {"tags", "anyScreen"});
    ASSERT_EQ(tarvo.start(xvfb.displayName(), t), "");
  }
  // tarvo ends cleanly (a sanitizer's report at exit shows in its status).
  void TearDown() override { EXPECT_EQ(tarvo.stop(), 0) << tarvo.output(); }
  // The command's output (stderr included) against the display, the GL library indirect.
  static std::string run(const std::string &display, const std::string &command) {
    return glxinfoCommandOutput("DISPLAY='" + display + "' LIBGL_ALWAYS_INDIRECT=1 " + command +
                                " 2>&1; echo \"exit=$?\"");
  }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_P(GlxMesaThroughTarvo, ClientCallsAnswerAsDirect) {
  const std::string client = std::string("timeout 60 ") + GLX_CALLS_CLIENT;
  std::string direct = run(xvfb.displayName(), client);
  // The direct run reaches its end and shows the calls the comparison is about: otherwise
  // equal outputs would prove nothing.
  ASSERT_NE(direct.find("\nend\nexit=0"), std::string::npos) << direct;
  EXPECT_NE(direct.find("glXSwapIntervalSGI: X error"), std::string::npos) << direct;
  EXPECT_NE(direct.find("glXCopySubBufferMESA: called"), std::string::npos) << direct;
  EXPECT_NE(direct.find("glXCreateContextWithConfigSGIX: made"), std::string::npos) << direct;
  EXPECT_NE(direct.find("glXQueryDrawable(pbuffer): 41x23"), std::string::npos) << direct;
  EXPECT_NE(direct.find("glGenTexturesEXT:"), std::string::npos) << direct;

  std::string proxied = run(tarvo.displayName(), client);
  EXPECT_EQ(proxied, direct);
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

TEST_P(GlxMesaThroughTarvo, GlxgearsCountsFrames) {
  // glxgears prints its count after each 5 s of drawing: it is ended once it has printed
  // (its start may take long on a busy machine), or after 90 s.
  std::string out = run(tarvo.displayName(),
                        "sh -c 'f=$(mktemp); stdbuf -oL glxgears >\"$f\" 2>&1 & p=$!; i=0; "
                        "while [ $i -lt 900 ] && kill -0 $p 2>/dev/null && ! grep -q \"frames in\" \"$f\"; do "
                        "sleep 0.1; i=$((i+1)); done; kill $p 2>/dev/null; wait $p; cat \"$f\"; rm -f \"$f\"'");
  EXPECT_NE(out.find("frames in 5.0 seconds"), std::string::npos) << out;
  EXPECT_EQ(out.find("X Error"), std::string::npos) << out;
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

INSTANTIATE_TEST_SUITE_P(Heads, GlxMesaThroughTarvo, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return info.param == 1 ? std::string("OneHead") : std::string("TwoHeads");
                         });

}  // namespace
