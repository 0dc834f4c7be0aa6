// RENDER's picture formats and version through the tarvo executable, against Xvfb used
// directly (or the test relay in front of it): what xdpyinfo shows, the format limit of the
// environment, and the version a client is answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// xdpyinfo's RENDER part with every id masked and the "depth formats" lists (which follow the
// core screen's depths, not RENDER) left out.
std::string renderPart(const std::string &text) {
  size_t start = text.find("RENDER version");
  if (start == std::string::npos) return "no RENDER: " + text;
  std::istringstream in(text.substr(start));
  std::string line, out;
  bool depthList = false;
  while (std::getline(in, line)) {
    if (line.find("depth formats:") != std::string::npos) depthList = true;
    if (line.find("Screen ") != std::string::npos) depthList = false;
    if (!depthList) out += line + "\n";
  }
  return std::regex_replace(out, std::regex("0x[0-9a-f]+|opcode: [0-9]+|base error: [0-9]+"), "#");
}

class RenderThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override {
    if (!tarvo.running() && tarvo.status() == -1) return;  // never started
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0);
    std::string output = tarvo.output();
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  }
  // Xvfb, the relay with these options when there are any, tarvo on the one or the other
  // (with the options' arguments, "%U" the upstream display; else its screen 0).
  void start(const std::vector<std::string> &relayOptions, const TarvoOptions &options = TarvoOptions{},
             const std::vector<std::string> &screens = {"800x600x24"}) {
    XvfbOptions xvfbOptions;
    xvfbOptions.screens = screens;
    xvfbOptions.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(xvfbOptions), "");
    upstream = xvfb.displayName();
    if (!relayOptions.empty()) {
      ASSERT_EQ(relay.start(xvfb.displayName(), relayOptions), "");
      upstream = relay.displayName();
    }
    TarvoOptions o = options;
    if (o.arguments.empty()) o.arguments = {"screen", "%U.0"};
    for (std::string &w : o.arguments)
      if (size_t at = w.find("%U"); at != std::string::npos) w.replace(at, 2, upstream);
    ASSERT_EQ(tarvo.start(upstream, o), "");
  }
  std::string xdpyinfo(const std::string &display) {
    return renderPart(xrelayRun("xdpyinfo -ext RENDER -display " + display + " 2>&1"));
  }
  // QueryVersion asking 0.asked: "major.minor", or what failed.
  std::string version(RawClient &c, uint8_t major, uint32_t asked) {
    RawBytes answer;
    if (std::string e = c.roundTrip(RawRequest(c.big()).b(major).b(0).s(0).i(0).i(asked).done(), answer); !e.empty())
      return e;
    if (answer[0] != 1) return "error " + std::to_string(answer[1]);
    return std::to_string(rawGet32(answer, 8, c.big())) + "." + std::to_string(rawGet32(answer, 12, c.big()));
  }
  // The error a request without reply brings (0 when none, -1 when the connection failed),
  // read up to the reply of a GetInputFocus after it.
  int errorOf(RawClient &c, const RawBytes &request) {
    if (!c.send(request).empty() || !c.send(RawRequest(c.big()).b(43).b(0).s(0).done()).empty()) return -1;
    int error = 0;
    for (RawBytes answer; c.read(answer).empty();) {
      if (answer[0] == 0 && !error) error = answer[1];
      if (answer[0] == 1 && rawGet16(answer, 2, c.big()) == c.sequence()) return error;
    }
    return -1;
  }

  // CreateSolidFill of an opaque white.
  static RawBytes solidFill(uint8_t major, uint32_t id, bool big = false) {
    return RawRequest(big).b(major).b(33).s(0).i(id).s(0xffff).s(0xffff).s(0xffff).s(0xffff).done();
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string upstream;
  TarvoProcess tarvo;
};

TEST_F(RenderThroughTarvo, XdpyinfoShowsTheFormatsOfDirect) {
  start({});
  std::string direct = xdpyinfo(xvfb.displayName());
  EXPECT_NE(direct.find("RENDER version 0.11"), std::string::npos) << direct;
  EXPECT_NE(direct.find("visual format:"), std::string::npos) << direct;
  EXPECT_EQ(xdpyinfo(tarvo.displayName()), direct);
}

// Each screen of the server its own meta screen: the same formats and visual formats per screen.
TEST_F(RenderThroughTarvo, XdpyinfoShowsTheFormatsOfDirectOnTwoMetaScreens) {
  TarvoOptions options;
  options.arguments = {"metaScreen", "a", "screen", "%U.0", "metaScreen", "b", "screen", "%U.1"};
  start({}, options, {"800x600x24", "640x480x24"});
  std::string direct = xdpyinfo(xvfb.displayName());
  EXPECT_NE(direct.find("Screen 1"), std::string::npos) << direct;
  EXPECT_EQ(xdpyinfo(tarvo.displayName()), direct);
}

TEST_F(RenderThroughTarvo, DepthLimitLeavesOutDepth32) {
  TarvoOptions options;
  options.environment = {{"maxPictureFormatDepth", "24"}};
  start({}, options);
  std::string direct = xdpyinfo(xvfb.displayName()), proxied = xdpyinfo(tarvo.displayName());
  EXPECT_NE(direct.find("depth:        32"), std::string::npos);
  EXPECT_EQ(proxied.find("depth:        32"), std::string::npos) << proxied;
  EXPECT_NE(proxied.find("depth:        24"), std::string::npos) << proxied;
  EXPECT_NE(proxied.find("visual format:"), std::string::npos) << proxied;
}

// The client is answered no higher than it asked, nor than the server speaks; requests of a
// later version are not offered.
TEST_F(RenderThroughTarvo, VersionIsTheSmallestOfClientServerAndProxy) {
  start({});
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("RENDER");
    ASSERT_NE(major, 0);
    EXPECT_EQ(version(c, major, 5), "0.5");
    EXPECT_EQ(version(c, major, 11), "0.11");
  }
}

// The relay answers QueryVersion with at most the given version, the proxy's set-up as well:
// CreateSolidFill (0.10) is not offered at 0.9, CreateAnimCursor (0.8) neither at 0.7.
TEST_F(RenderThroughTarvo, RelayVersionLimitsRequests) {
  start({"-version", "RENDER=0.9"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  uint8_t major = c.queryExtension("RENDER");
  ASSERT_NE(major, 0);
  EXPECT_EQ(version(c, major, 11), "0.9");
  EXPECT_EQ(version(c, major, 5), "0.5");
  EXPECT_EQ(errorOf(c, solidFill(major, c.idBase() + 1)), 1);
}

TEST_F(RenderThroughTarvo, RelayVersionLimitsAnimatedCursors) {
  start({"-version", "RENDER=0.7"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = c.queryExtension("RENDER");
  ASSERT_NE(major, 0);
  EXPECT_EQ(version(c, major, 11), "0.7");
  EXPECT_EQ(errorOf(c, RawRequest(true).b(major).b(31).s(0).i(c.idBase() + 2).done()), 1);
  EXPECT_EQ(errorOf(c, solidFill(major, c.idBase() + 1, true)), 1);
}

// The fields of a QueryPictFormats reply (counts, formats, screens with depths and visuals,
// subpixels) read in the client's order; "cut" where the counts run past the reply.
std::vector<uint32_t> pictFormatsFields(const RawBytes &r, bool big) {
  std::vector<uint32_t> out;
  size_t at = 32;
  auto has = [&](size_t n) { return r.size() >= at + n; };
  if (r.size() < 32) return {0xdead};
  for (size_t k = 8; k < 28; k += 4) out.push_back(rawGet32(r, k, big));
  for (uint32_t f = 0; f < out[0]; f++, at += 28) {
    if (!has(28)) return {0xdead};
    out.insert(out.end(), {rawGet32(r, at, big), r[at + 4], r[at + 5], rawGet32(r, at + 24, big)});
    for (size_t k = 8; k < 24; k += 2) out.push_back(rawGet16(r, at + k, big));
  }
  for (uint32_t s = 0; s < out[1]; s++) {
    if (!has(8)) return {0xdead};
    uint32_t depths = rawGet32(r, at, big);
    out.insert(out.end(), {depths, rawGet32(r, at + 4, big)});
    at += 8;
    for (uint32_t d = 0; d < depths; d++) {
      if (!has(8)) return {0xdead};
      uint32_t visuals = rawGet16(r, at + 2, big);
      out.insert(out.end(), {r[at], visuals});
      at += 8;
      for (uint32_t v = 0; v < 2 * visuals; v++, at += 4) {
        if (!has(4)) return {0xdead};
        out.push_back(rawGet32(r, at, big));
      }
    }
  }
  for (uint32_t k = 0; k < out[4]; k++, at += 4) {
    if (!has(4)) return {0xdead};
    out.push_back(rawGet32(r, at, big));
  }
  return out;
}

// QueryFilters: the counts, the 16-bit aliases, and the names' bytes as they are.
std::vector<uint32_t> filtersFields(const RawBytes &r, bool big) {
  if (r.size() < 32) return {0xdead};
  uint32_t aliases = rawGet32(r, 8, big);
  std::vector<uint32_t> out{aliases, rawGet32(r, 12, big)};
  size_t at = 32;
  for (uint32_t k = 0; k < aliases && at + 2 <= r.size(); k++, at += 2) out.push_back(rawGet16(r, at, big));
  out.insert(out.end(), r.begin() + long(std::min(at, r.size())), r.end());
  return out;
}

// A client of either byte order reads the same fields.
TEST_F(RenderThroughTarvo, BothByteOrdersReadTheSameQueries) {
  start({});
  std::vector<uint32_t> formats[2], filters[2];
  for (int k = 0; k < 2; k++) {
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), k ? 'B' : 'l'), "");
    uint8_t major = c.queryExtension("RENDER");
    ASSERT_NE(major, 0);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(1).s(0).done(), answer), "");
    ASSERT_EQ(answer[0], 1);
    formats[k] = pictFormatsFields(answer, c.big());
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(29).s(0).i(c.rootWindow()).done(), answer), "");
    ASSERT_EQ(answer[0], 1);
    filters[k] = filtersFields(answer, c.big());
  }
  ASSERT_GE(formats[0].size(), 5u);
  EXPECT_GT(formats[0][0], 20u);  // Xvfb's 23 formats of one screen
  EXPECT_EQ(formats[1], formats[0]);
  // Xvfb's aliases: none (0xffff) for the first three filters, then 0, 1, 1.
  ASSERT_GE(filters[0].size(), 2u + filters[0][0]);
  std::vector<uint32_t> aliases(filters[0].begin() + 2, filters[0].begin() + 2 + filters[0][0]);
  EXPECT_NE(std::find(aliases.begin(), aliases.end(), 1u), aliases.end());
  EXPECT_NE(std::find(aliases.begin(), aliases.end(), 0u), aliases.end());
  EXPECT_EQ(filters[1], filters[0]);
}

}  // namespace
