// Font clients through the tarvo executable print what they print against the X server used
// directly, on one screen and on two screens joined into one meta screen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include <X11/Xlib.h>

#include "twinrun_fixture.h"

namespace {

constexpr const char *kMiscFonts = "/usr/share/fonts/X11/misc";

// The "Font Path:" part of `xset q`: its heading line and the line after it.
std::string fontPathOf(const std::string &xsetQ) {
  size_t at = xsetQ.find("Font Path:");
  if (at == std::string::npos) return "(no font path in: " + xsetQ + ")";
  size_t end = xsetQ.find('\n', xsetQ.find('\n', at) + 1);
  return xsetQ.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

class FontsThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), "640x480x24");
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

TEST_P(FontsThroughTarvo, ListingsAndFontPathAsDirect) {
  for (const char *command : {"xlsfonts -display %D", "xlsfonts -l -display %D", "xlsfonts -lll -fn fixed -display %D"}) {
    SCOPED_TRACE(command);
    auto [direct, proxied] = twin.run(command);
    EXPECT_FALSE(direct.empty());
    EXPECT_EQ(proxied, direct);
  }
  std::string add = std::string("xset -display %D +fp ") + kMiscFonts;
  auto added = twin.run(add);
  EXPECT_EQ(added.second, added.first);
  auto query = twin.run("xset -display %D q");
  EXPECT_NE(fontPathOf(query.first).find(kMiscFonts), std::string::npos) << query.first;
  EXPECT_EQ(fontPathOf(query.second), fontPathOf(query.first));
  // The added directory's fonts are listed alike.
  auto listed = twin.run("xlsfonts -display %D -fn '-misc-fixed-medium-r-normal--13-*'");
  EXPECT_NE(listed.first.find("-misc-fixed"), std::string::npos) << listed.first;
  EXPECT_EQ(listed.second, listed.first);
  auto reset = twin.run("xset -display %D fp default");
  EXPECT_EQ(reset.second, reset.first);
  query = twin.run("xset -display %D q");
  EXPECT_EQ(fontPathOf(query.second), fontPathOf(query.first));
}

// What every client of the display holds, by X-Resource type name, as "NAME count" lines.
std::map<std::string, long> serverTotals(const std::string &display) {
  const std::string script =
      "/usr/bin/python3 -c 'import sys, Xlib.display\n"
      "d = Xlib.display.Display(sys.argv[1])\n"
      "totals = {}\n"
      "for c in d.res_query_clients().clients:\n"
      "    for t in d.res_query_client_resources(c.resource_base).types:\n"
      "        name = d.get_atom_name(t.resource_type)\n"
      "        totals[name] = totals.get(name, 0) + t.count\n"
      "for k, v in sorted(totals.items()): print(k, v)\n' ";
  std::istringstream lines(twinRunCommand(script + display));
  std::map<std::string, long> totals;
  // Type names may hold spaces ("COLORMAP ENTRY"): the count is the last word.
  for (std::string line; std::getline(lines, line);) {
    size_t space = line.rfind(' ');
    if (space != std::string::npos) totals[line.substr(0, space)] = std::atol(line.c_str() + space + 1);
  }
  return totals;
}

TEST_P(FontsThroughTarvo, FontsOnceAndPixmapsAndGCsOncePerHeadOnTheRealServer) {
  Display *client = XOpenDisplay(twin.proxyDisplay().c_str());
  ASSERT_NE(client, nullptr);
  XSync(client, False);
  auto before = serverTotals(twin.behindDisplay());
  Font font = XLoadFont(client, "fixed");
  Pixmap pixmap = XCreatePixmap(client, DefaultRootWindow(client), 16, 16, DefaultDepth(client, 0));
  GC gc = XCreateGC(client, pixmap, 0, nullptr);
  XSetFont(client, gc, font);
  XSync(client, False);
  auto during = serverTotals(twin.behindDisplay());
  long heads = GetParam();
  EXPECT_EQ(during["FONT"] - before["FONT"], 1);
  EXPECT_EQ(during["PIXMAP"] - before["PIXMAP"], heads);
  EXPECT_EQ(during["GC"] - before["GC"], heads);
  XFreeGC(client, gc);
  XFreePixmap(client, pixmap);
  XUnloadFont(client, font);
  XSync(client, False);
  auto after = serverTotals(twin.behindDisplay());
  EXPECT_EQ(after["FONT"], before["FONT"]);
  EXPECT_EQ(after["PIXMAP"], before["PIXMAP"]);
  EXPECT_EQ(after["GC"], before["GC"]);
  // The client's close takes away what it left.
  XLoadFont(client, "fixed");
  XCreatePixmap(client, DefaultRootWindow(client), 16, 16, DefaultDepth(client, 0));
  XSync(client, False);
  EXPECT_EQ(serverTotals(twin.behindDisplay())["PIXMAP"] - before["PIXMAP"], heads);
  XCloseDisplay(client);
  long long deadline = xvfbNowMs() + 5000;
  std::map<std::string, long> closed;
  do closed = serverTotals(twin.behindDisplay());
  while ((closed["PIXMAP"] != before["PIXMAP"] || closed["FONT"] != before["FONT"]) && xvfbNowMs() < deadline);
  EXPECT_EQ(closed["PIXMAP"], before["PIXMAP"]);
  EXPECT_EQ(closed["FONT"], before["FONT"]);
}

INSTANTIATE_TEST_SUITE_P(Screens, FontsThroughTarvo, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "OneScreen" : "TwoScreens"; });

}  // namespace
