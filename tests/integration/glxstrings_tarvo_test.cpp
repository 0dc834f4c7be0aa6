// glxinfo through tarvo on Xvfb with indirect GLX: it runs to its end without an X error and
// lists the server's GLX strings as the proxy answers them. SetClientInfoARB and
// SetClientInfo2ARB of raw clients of both byte orders: only a length that holds the counted
// versions and strings is accepted, in the short and the BIG-REQUESTS form.
#include <gtest/gtest.h>

#include <string>

#include "glxinfo_fixture.h"
#include "rawclient_fixture.h"
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

// A SetClientInfo(2)ARB of numVersions versions and the two strings, `words` words of versions
// actually present.
RawBytes setClientInfo(bool big, uint8_t major, uint8_t minor, uint32_t numVersions, uint32_t words,
                       const std::string &gl, const std::string &glx) {
  RawRequest r(big);
  r.b(major).b(minor).s(0).i(1).i(4).i(numVersions).i(uint32_t(gl.size())).i(uint32_t(glx.size()));
  for (uint32_t k = 0; k < words; k++) r.i(k);
  r.text(gl).align().text(glx).align();
  return r.done();
}

TEST(GlxStringsThroughTarvo, SetClientInfoLengthsChecked) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");
  for (char order : {'l', 'B'}) {
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("GLX");
    ASSERT_NE(major, 0);
    ASSERT_NE(c.enableBigRequests(), 0u);
    bool big = c.big();
    for (uint8_t minor : {33, 35}) {
      uint32_t perVersion = minor == 33 ? 2 : 3;
      struct Case {
        RawBytes request;
        bool refused;
      };
      RawBytes good = setClientInfo(big, major, minor, 2, 2 * perVersion, "GL_ARB_a", "GLX_x");
      // Version counts whose bytes wrap 32 bits onto the bytes present: 8 x 0x20000000 and
      // 12 x 0x15555556 (0x100000008).
      uint32_t wrapCount = minor == 33 ? 0x20000000u : 0x15555556u, wrapWords = minor == 33 ? 0 : 2;
      std::vector<Case> cases = {
          {good, false},
          {rawBigForm(good, big), false},
          {setClientInfo(big, major, minor, 0, 0, std::string(9, 'a'), ""), false},
          {setClientInfo(big, major, minor, 0x10000000, 0, "", ""), true},
          {rawBigForm(setClientInfo(big, major, minor, 0x10000000, 0, "", ""), big), true},
          {setClientInfo(big, major, minor, 2, 2 * perVersion - 1, "GL_ARB_a", "GLX_x"), true},
          {setClientInfo(big, major, minor, 2, 2 * perVersion + 1, "GL_ARB_a", "GLX_x"), true},
          {setClientInfo(big, major, minor, wrapCount, wrapWords, "", ""), true},
      };
      for (size_t k = 0; k < cases.size(); k++) {
        ASSERT_EQ(c.send(cases[k].request), "");
        uint16_t sent = c.sequence();
        std::string seen;
        ASSERT_EQ(c.send(RawRequest(big).b(43).b(0).s(1).done()), "");  // GetInputFocus
        for (RawBytes m; c.read(m).empty();) {
          if (m[0] == 1) break;
          if (m[0] == 0) seen += "error " + std::to_string(m[1]) + " at " + std::to_string(sent - rawGet16(m, 2, big)) + ";";
        }
        EXPECT_EQ(seen, cases[k].refused ? "error 16 at 0;" : "") << order << " minor " << int(minor) << " case " << k;
      }
    }
  }
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
