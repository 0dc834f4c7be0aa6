// Keyboard, pointer, screen-saver, extension, host-access and close-down clients through the
// tarvo executable print what they print against the X server used directly, on one screen and
// on two screens joined into one meta screen.
#include <gtest/gtest.h>

#include <string>

#include "twinrun_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";

// The line of the text that starts with the prefix ("" when none).
std::string lineStarting(const std::string &text, const std::string &prefix) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    size_t first = line.find_first_not_of(' ');
    if (first != std::string::npos && line.compare(first, prefix.size(), prefix) == 0) return line;
    at = end + 1;
  }
  return "";
}

class InputThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), "640x480x24");
    options.tarvoWords = {"workarounds", "NoNoXKB"};
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

TEST_P(InputThroughTarvo, XsetAndXmodmapAsDirect) {
  // (Auto-repeat rates need XKEYBOARD, which the proxy does not offer.)
  for (const char *change : {"xset -display %D b 50 400 100",
                             "xset -display %D s 600 60", "xset -display %D m 3/2 4", "xset -display %D led 3"}) {
    auto changed = twin.run(change);
    EXPECT_EQ(changed.second, changed.first) << change;
  }
  auto query = twin.run("xset -display %D q");
  // The parts that come from the core requests (XKB's lines and the colormap's id aside).
  for (const char *prefix : {"auto repeat:", "bell percent:", "acceleration:", "prefer blanking:", "timeout:"}) {
    EXPECT_NE(lineStarting(query.first, prefix), "") << prefix << query.first;
    EXPECT_EQ(lineStarting(query.second, prefix), lineStarting(query.first, prefix)) << prefix;
  }

  auto pointer = twin.run("xmodmap -display %D -e 'pointer = 3 2 1'");
  EXPECT_EQ(pointer.second, pointer.first);
  for (const char *command : {"xmodmap -display %D -pm", "xmodmap -display %D -pp"}) {
    auto shown = twin.run(command);
    EXPECT_FALSE(shown.first.empty());
    EXPECT_EQ(shown.second, shown.first) << command;
  }
  auto key = twin.run("xmodmap -display %D -e 'keycode 200 = a A'");
  EXPECT_EQ(key.second, key.first);
  auto keys = twin.run("xmodmap -display %D -pke");
  EXPECT_NE(lineStarting(keys.first, "keycode 200 =").find(" a A"), std::string::npos) << keys.first;
  EXPECT_EQ(keys.second, keys.first);
  EXPECT_NE(twin.tarvo().log().find("Keyboard mapping (200..200) changed by"), std::string::npos);
}

TEST_P(InputThroughTarvo, ScriptedRequestsAsDirect) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "bell_saver.py %D");
  EXPECT_NE(direct.find("saver 600 60 1 1"), std::string::npos) << direct;
  EXPECT_NE(direct.find("rotated by 1 ['value 2', 'value 0', 'value 1']\n"
                        "rotated by -2 ['value 1', 'value 2', 'value 0']\natom named twice 8\n"),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

TEST_P(InputThroughTarvo, CloseDownModesAndKillClientAsDirect) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "kill_clients.py %D");
  EXPECT_NE(direct.find("retained 2\nafter AllTemporary 0\n"), std::string::npos) << direct;
  EXPECT_NE(direct.find("kill own id 2 True"), std::string::npos) << direct;
  EXPECT_NE(direct.find("self kill closed"), std::string::npos) << direct;
  EXPECT_NE(direct.find("left windows 2\npermanent after AllTemporary 1\ntemporary after AllTemporary 0\n"
                        "permanent after its KillClient 0\nnew window 30 40 50 60 2\n"),
            std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
  // The proxy goes on serving new clients.
  auto info = twin.run("xdpyinfo -display %D");
  EXPECT_NE(info.second.find("number of screens:"), std::string::npos) << info.second;
  auto tree = twin.run("xwininfo -display %D -root -tree");
  EXPECT_NE(tree.second.find("Root window id"), std::string::npos) << tree.second;
}

TEST_P(InputThroughTarvo, CursorsAndTheirErrorsAsDirect) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "cursors.py %D");
  EXPECT_EQ(direct, "built\nbad source 4\nused id 14\nmask of another size 8\nbad font 7\nfreed\n");
  EXPECT_EQ(proxied, direct);
}

TEST_P(InputThroughTarvo, ExtensionsAreTheProxysOwn) {
  auto [direct, proxied] = twin.run("xdpyinfo -display %D -queryExtensions");
  EXPECT_NE(direct.find("RANDR"), std::string::npos);
  // RANDR is the real server's, not the proxy's: asked by name it is absent.
  EXPECT_EQ(proxied.find("RANDR"), std::string::npos) << proxied;
  EXPECT_NE(proxied.find("number of extensions:"), std::string::npos) << proxied;
  auto query = twin.run(
      "/usr/bin/python3 -c 'import sys, Xlib.display, Xlib.protocol.request as rq\n"
      "r = rq.QueryExtension(display=Xlib.display.Display(sys.argv[1]).display, name=\"RANDR\")\n"
      "print(r.present, r.major_opcode, r.first_event, r.first_error)' %D");
  EXPECT_EQ(query.second, "0 0 0 0\n");
}

TEST_P(InputThroughTarvo, HostListIsTheProxysOwn) {
  // Only the proxy's list changes when the change goes through it.
  auto added = twinRunCommand("env DISPLAY=" + twin.proxyDisplay() + " xhost +inet:127.0.0.2 2>&1");
  auto listed = twinRunCommand("env DISPLAY=" + twin.proxyDisplay() + " xhost 2>&1");
  EXPECT_NE(listed.find("127.0.0.2"), std::string::npos) << listed << added;
  auto behind = twinRunCommand("env DISPLAY=" + twin.behindDisplay() + " xhost 2>&1");
  EXPECT_EQ(behind.find("127.0.0.2"), std::string::npos) << behind;
  twinRunCommand("env DISPLAY=" + twin.proxyDisplay() + " xhost -inet:127.0.0.2 2>&1");
  listed = twinRunCommand("env DISPLAY=" + twin.proxyDisplay() + " xhost 2>&1");
  EXPECT_EQ(listed.find("127.0.0.2"), std::string::npos) << listed;
}

INSTANTIATE_TEST_SUITE_P(Screens, InputThroughTarvo, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "OneScreen" : "TwoScreens"; });

}  // namespace
