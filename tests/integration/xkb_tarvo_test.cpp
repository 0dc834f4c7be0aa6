// XKEYBOARD through the tarvo executable (switched on: the configuration's default leaves it
// off), compared with Xvfb used directly: xkbcomp and setxkbmap as judges of the keymap, raw
// clients of both byte orders comparing reply bytes, SetCompatMap's group maps, and BellNotify
// with the client's own window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string run(const std::string &command) { return xrelayRun(command + " 2>&1"); }

// A connected raw client with XKB in use: its XKB major (0 when the set-up failed).
uint8_t xkbClient(RawClient &c, int display, char order) {
  if (!c.connect(display, order).empty()) return 0;
  uint8_t major = c.queryExtension("XKEYBOARD");
  if (!major) return 0;
  RawBytes answer;
  if (!c.roundTrip(RawRequest(c.big()).b(major).b(0).s(0).s(1).s(0).done(), answer).empty() || answer[0] != 1 ||
      answer[1] != 1)
    return 0;
  return major;
}

// The reply to the request without its sequence number, or "error N".
RawBytes answerOf(RawClient &c, const RawBytes &request) {
  RawBytes answer;
  if (!c.roundTrip(request, answer).empty()) return {'t', 'i', 'm', 'e'};
  if (answer[0] == 0) return {'e', answer[1]};
  answer[2] = answer[3] = 0;
  return answer;
}

// Two fields that Xvfb leaves in its own order for a client of the other order (the proxy
// swaps them as the protocol says): a map's virtual modifier map entries (the last part) and
// the names' nKTLevels. Both are cleared in the reply at `at` for the comparison.
void mapFaultCleared(RawBytes &reply, size_t at, bool big) {
  size_t end = at + 32 + 4 * size_t(rawGet32(reply, at + 4, big));
  if (end > reply.size() || at + 37 > reply.size()) return;
  for (size_t k = 1; k <= reply[at + 36] && 4 * k <= end - at; k++) reply[end - 4 * k + 2] = reply[end - 4 * k + 3] = 0;
}
void namesFaultCleared(RawBytes &reply, size_t at) {
  if (at + 28 <= reply.size()) reply[at + 26] = reply[at + 27] = 0;
}

// What may differ from the direct reply: the server's two faults for the other order, and
// GetKbdByName's parts, replies of their own, each with the sequence of its connection.
void comparable(const std::string &query, RawBytes &reply, bool big) {
  if (query == "GetMap" && big) mapFaultCleared(reply, 0, big);
  if (query == "GetNames" && big) namesFaultCleared(reply, 0);
  if (query != "GetKbdByName" || reply.size() < 32) return;
  uint32_t reported = rawGet16(reply, 14, big);
  size_t at = 32;
  for (uint32_t part : {0x0Du, 0x02u, 0x10u, 0xA0u, 0x40u}) {
    if (!(reported & part) || at + 8 > reply.size()) continue;
    reply[at + 2] = reply[at + 3] = 0;
    if (big && part == 0x0D) mapFaultCleared(reply, at, big);
    if (big && part == 0xA0) namesFaultCleared(reply, at);
    at += 32 + 4 * size_t(rawGet32(reply, at + 4, big));
  }
}

// The XKB queries the comparison makes (device: the core keyboard).
std::vector<std::pair<std::string, RawBytes>> queries(uint8_t major, bool big) {
  auto req = [&](uint8_t minor) {
    RawRequest m(big);
    m.b(major).b(minor).s(0);
    return m;
  };
  constexpr uint16_t kCoreKeyboard = 0x100;
  std::vector<std::pair<std::string, RawBytes>> out;
  out.emplace_back("GetMap", req(8).s(kCoreKeyboard).s(0xff).s(0).b(0).b(0).b(0).b(0).b(0).b(0).b(0).b(0).s(0)
                                 .b(0).b(0).b(0).b(0).b(0).b(0).s(0).done());
  out.emplace_back("GetNames", req(17).s(kCoreKeyboard).s(0).i(0x3fff).done());
  out.emplace_back("GetGeometry", req(19).s(kCoreKeyboard).s(0).i(0).done());
  out.emplace_back("GetCompatMap", req(10).s(kCoreKeyboard).b(0x0f).b(1).s(0).s(0).done());
  out.emplace_back("GetIndicatorMap", req(13).s(kCoreKeyboard).s(0).i(0xffffffff).done());
  out.emplace_back("GetKbdByName", req(23).s(kCoreKeyboard).s(0).s(0xff).b(0).b(0).pad(6).align().done());
  out.emplace_back("GetDeviceInfo", req(24).s(kCoreKeyboard).s(0x1e).b(1).b(0).b(0).b(0).s(0x500).s(0x600).done());
  return out;
}

class XkbThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions options;
    options.screens = {"800x600x24"};
    options.extraArguments = {"-nolisten", "tcp", "-br"};
    ASSERT_EQ(xvfb.start(options), "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", xvfb.displayName() + ".0", "extensions", "+XKEYBOARD"};
    ASSERT_EQ(tarvo.start(xvfb.displayName(), tarvoOptions), "");
    // Xvfb drops a changed keymap when its last client leaves: one stays connected.
    ASSERT_EQ(keeper.connect(xvfb.displayNumber(), 'l'), "");
  }
  void TearDown() override {
    EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended during the test";
    EXPECT_EQ(tarvo.stop(), 0);
    std::string output = tarvo.output();
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  RawClient keeper;
};

TEST_F(XkbThroughTarvo, KeymapToolsAsDirect) {
  const std::string dir = xrelayTempDir();
  std::string direct = run("xkbcomp -xkb " + xvfb.displayName() + " -");
  EXPECT_NE(direct.find("xkb_keymap"), std::string::npos) << direct;
  EXPECT_EQ(run("xkbcomp -xkb " + tarvo.displayName() + " -"), direct);
  EXPECT_EQ(run("setxkbmap -display " + tarvo.displayName() + " -print"),
            run("setxkbmap -display " + xvfb.displayName() + " -print"));
  ASSERT_EQ(run("xkbcomp -xkb " + xvfb.displayName() + " " + dir + "/us.xkb"), "");

  EXPECT_EQ(run("setxkbmap -display " + tarvo.displayName() + " -layout de"), "");
  EXPECT_NE(run("xmodmap -display " + xvfb.displayName() + " -pke").find("keycode  29 = z Z"), std::string::npos);
  run("xkbcomp -w0 " + dir + "/us.xkb " + tarvo.displayName());
  EXPECT_NE(run("xmodmap -display " + xvfb.displayName() + " -pke").find("keycode  29 = y Y"), std::string::npos);
}

// Replies in the client's order are the server's own bytes, for both orders.
TEST_F(XkbThroughTarvo, RepliesAsDirectInBothOrders) {
  for (char order : {'B', 'l'}) {
    SCOPED_TRACE(order);
    RawClient direct, proxied;
    uint8_t directMajor = xkbClient(direct, xvfb.displayNumber(), order);
    uint8_t proxiedMajor = xkbClient(proxied, tarvo.displayNumber(), order);
    ASSERT_NE(directMajor, 0);
    ASSERT_NE(proxiedMajor, 0);
    auto d = queries(directMajor, order == 'B');
    auto p = queries(proxiedMajor, order == 'B');
    for (size_t k = 0; k < d.size(); k++) {
      SCOPED_TRACE(d[k].first);
      RawBytes want = answerOf(direct, d[k].second);
      EXPECT_GT(want.size(), 32u);
      RawBytes got = answerOf(proxied, p[k].second);
      comparable(d[k].first, want, order == 'B');
      comparable(d[k].first, got, order == 'B');
      EXPECT_EQ(got.size(), want.size());
      std::string diffs;
      for (size_t b = 0; b < got.size() && b < want.size() && diffs.size() < 200; b++)
        if (got[b] != want[b]) diffs += std::to_string(b) + " ";
      EXPECT_EQ(diffs, "");
    }
  }
}

// SetCompatMap of the map as read, groups 0x0f, from a client of the other byte order: the
// server's map stays the same (the group maps after the interpretations are swapped as such).
TEST_F(XkbThroughTarvo, SetCompatMapKeepsTheMap) {
  RawClient direct, proxied;
  uint8_t directMajor = xkbClient(direct, xvfb.displayNumber(), 'B');
  uint8_t major = xkbClient(proxied, tarvo.displayNumber(), 'B');
  ASSERT_NE(major, 0);
  RawBytes get = queries(directMajor, true)[3].second;
  RawBytes before = answerOf(direct, get);
  ASSERT_GT(before.size(), 32u);
  ASSERT_EQ(before[8], 0x0f);
  // Groups 2-4 hold AltGr's virtual modifier on Xvfb: a wrong swap would change them.
  RawRequest set(true);
  set.b(major).b(11).s(0).s(0x100).b(0).b(0).b(0).b(0x0f).s(0).s(uint16_t(rawGet16(before, 12, true))).s(0);
  set.d.insert(set.d.end(), before.begin() + 32, before.end());
  ASSERT_EQ(proxied.send(set.done()), "");
  RawBytes sync;
  ASSERT_EQ(proxied.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), sync), "");
  EXPECT_EQ(sync[0], 1);
  EXPECT_EQ(answerOf(direct, get), before);
}

// BellNotify for xkbbell towards the client's window carries that window's id.
TEST_F(XkbThroughTarvo, BellNotifyNamesTheClientsWindow) {
  RawClient c;
  uint8_t major = xkbClient(c, tarvo.displayNumber(), 'B');
  ASSERT_NE(major, 0);
  uint32_t window = c.idBase() | 1;
  RawRequest create(true);
  create.b(1).b(0).s(0).i(window).i(c.rootWindow()).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0);
  ASSERT_EQ(c.send(create.done()), "");
  RawRequest select(true);
  select.b(major).b(1).s(0).s(0x100).s(1 << 8).s(0).s(1 << 8).s(0).s(0);
  ASSERT_EQ(c.send(select.done()), "");
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  run("xkbbell -display " + tarvo.displayName() + " -nobeep -w " + std::to_string(window) + " x");
  RawBytes event;
  ASSERT_EQ(c.read(event, 5000), "");
  EXPECT_EQ(event[1], 8);  // BellNotify
  EXPECT_EQ(rawGet32(event, 20, true), window);
}

}  // namespace
