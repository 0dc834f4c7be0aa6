// GLX through tarvo on Xvfb with indirect GLX: the extension keeps the real server's opcode
// and codes, the set-up logs its version and one line per head, the same again after a reset;
// a server without indirect GLX leaves GLX out and the rest served; behind the relay at GLX
// 1.2 the version goes down and the requests of 1.3 are refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// xdpyinfo's line of an extension in -queryExtensions form ("GLX  (opcode: ...)"), trimmed;
// "" when it does not list it.
std::string extensionLine(const std::string &display, const std::string &name) {
  std::string out = xrelayRun("xdpyinfo -queryExtensions -display " + display + " 2>&1");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    size_t start = line.find_first_not_of(' ');
    if (start != std::string::npos && line.compare(start, name.size() + 1, name + " ") == 0)
      return line.substr(start);
  }
  return "";
}

// The log's lines that hold the text, from the text's first word on (the prefix carries times).
std::vector<std::string> linesWith(const std::string &log, const std::string &text, const std::string &from) {
  std::vector<std::string> out;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(text) == std::string::npos) continue;
    size_t at = line.find(from);
    out.push_back(at == std::string::npos ? line : line.substr(at));
  }
  return out;
}

// The line without the GL limits: Xvfb's GLX without a GL driver answers the limit queries
// with whatever its reply buffer held, so only these numbers may change between generations.
std::string withoutLimits(const std::string &line) {
  size_t from = line.find("max viewport "), to = line.find(" draw buffer");
  if (from == std::string::npos || to == std::string::npos || to < from) return line;
  return line.substr(0, from) + "..." + line.substr(to);
}

class GlxThroughTarvo : public ::testing::Test {
 protected:
  void SetUp() override { tarvoBlockSignals(); }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

// One Xvfb screen, then two as two meta screens: GLX with the direct opcode and bases, one
// version line and one line per head, repeated word for word after SIGHUP.
TEST_F(GlxThroughTarvo, SetUpPerHeadAndAfterReset) {
  for (int screens : {1, 2}) {
    SCOPED_TRACE(screens);
    XvfbOptions options;
    options.iglx = true;
    options.screens.assign(size_t(screens), "320x240x24");
    options.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(options), "");
    TarvoOptions tarvoOptions;
    tarvoOptions.noReset = false;  // the set-up runs again at every reset
    tarvoOptions.arguments = {"metaScreen", "a", "screen", "%D.0"};
    if (screens == 2) tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), {"metaScreen", "b", "screen", "%D.1"});
    ASSERT_EQ(tarvo.start(xvfb.displayName(), tarvoOptions), "");
    std::string log = tarvo.log();
    auto init = linesWith(log, "Init GLX ", "Init GLX ");
    auto adjusted = linesWith(log, " adjusted to ", "OpenGL ");
    ASSERT_EQ(init.size(), 1u) << log;
    EXPECT_EQ(init[0].rfind("Init GLX 1.4 (op=", 0), 0u) << init[0];
    ASSERT_EQ(adjusted.size(), size_t(screens)) << log;
    EXPECT_NE(adjusted[0].find("indirect rendering"), std::string::npos) << adjusted[0];
    EXPECT_NE(adjusted[0].find("GLX 1.4"), std::string::npos) << adjusted[0];
    EXPECT_NE(adjusted.back().find(" by " + xvfb.displayName() + "." + std::to_string(screens - 1) + " ..."),
              std::string::npos)
        << adjusted.back();
    EXPECT_TRUE(linesWith(log, "Adjusting extension to GLX", "").empty()) << log;

    std::string direct = extensionLine(xvfb.displayName(), "GLX");
    ASSERT_NE(direct, "");
    EXPECT_EQ(extensionLine(tarvo.displayName(), "GLX"), direct);

    size_t before = tarvo.log().size();
    tarvo.signal(SIGHUP);
    ASSERT_TRUE(tarvo.waitForLog("Received reset signal SIGHUP", 5000));
    long long deadline = xvfbNowMs() + 10000;
    std::string after;
    do {
      usleep(100000);
      after = tarvo.log().substr(before);
    } while (linesWith(after, " adjusted to ", "").size() < size_t(screens) && xvfbNowMs() < deadline);
    auto initAfter = linesWith(after, "Init GLX ", "Init GLX ");
    auto adjustedAfter = linesWith(after, " adjusted to ", "OpenGL ");
    ASSERT_GE(initAfter.size(), 1u) << after;
    ASSERT_GE(adjustedAfter.size(), size_t(screens)) << after;
    EXPECT_EQ(initAfter[0], init[0]);
    adjustedAfter.resize(size_t(screens));
    for (size_t k = 0; k < adjusted.size(); k++)
      EXPECT_EQ(withoutLimits(adjustedAfter[k]), withoutLimits(adjusted[k])) << after;
    EXPECT_EQ(extensionLine(tarvo.displayName(), "GLX"), direct);
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
    xvfb.stop();
  }
}

// Without indirect GLX the real server cannot make a context: GLX is not offered, the reason
// names the display, and the other extensions are served.
TEST_F(GlxThroughTarvo, ServerWithoutIndirectGlx) {
  XvfbOptions options;
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  ASSERT_EQ(tarvo.start(xvfb.displayName()), "");
  ASSERT_NE(extensionLine(xvfb.displayName(), "GLX"), "");
  EXPECT_EQ(extensionLine(tarvo.displayName(), "GLX"), "");
  EXPECT_NE(extensionLine(tarvo.displayName(), "RENDER"), "");
  EXPECT_NE(tarvo.log().find("Display " + xvfb.displayName() + ".0 does not support extension GLX"),
            std::string::npos)
      << tarvo.log();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

// Behind the relay at GLX 1.2: the version goes down by the head, and MakeContextCurrent (a 1.3
// request) is refused with BadRequest in both byte orders.
TEST_F(GlxThroughTarvo, OlderServerLowersTheVersion) {
  XvfbOptions options;
  options.iglx = true;
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-version", "GLX=1.2"}), "");
  TarvoOptions tarvoOptions;
  tarvoOptions.arguments = {"screen", relay.displayName() + ".0"};
  ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
  EXPECT_NE(tarvo.log().find("Adjusting extension to GLX 1.2 by "), std::string::npos) << tarvo.log();
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("GLX");
    ASSERT_NE(major, 0);
    RawBytes answer;
    RawRequest request(c.big());
    request.b(major).b(26).s(0).i(0).i(0).i(0).i(0);
    ASSERT_EQ(c.roundTrip(request.done(), answer), "");
    ASSERT_EQ(answer[0], 0);
    EXPECT_EQ(answer[1], 1);  // BadRequest
    EXPECT_EQ(rawGet16(answer, 2, c.big()), c.sequence());
    EXPECT_EQ(rawGet16(answer, 8, c.big()), 26u);
    EXPECT_EQ(answer[10], major);
  }
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
