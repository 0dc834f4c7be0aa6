// Font clients through the tarvo executable print what they print against the X server used
// directly, on one screen and on two screens joined into one meta screen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xlib.h>

#include "rawclient_fixture.h"
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

class FontsThroughTarvo : public TwinRunOnScreens {};

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


// Values of a message read field by field ('b' 8, 's' 16, 'i' 32 bits; '*' repeats the rest
// of the layout to the end of the message) in the given byte order.
std::vector<uint32_t> fields(const RawBytes &m, const std::string &layout, bool big) {
  std::vector<uint32_t> out;
  size_t at = 0;
  size_t repeat = layout.find('*');
  for (size_t k = 0; at < m.size(); k++) {
    if (k == layout.size()) {
      if (repeat == std::string::npos) break;
      k = repeat + 1;
      if (k == layout.size()) break;
    }
    char c = layout[k];
    if (c == '*') continue;
    size_t size = c == 'b' ? 1 : c == 's' ? 2 : 4;
    if (at + size > m.size()) break;
    out.push_back(size == 1 ? m[at] : size == 2 ? rawGet16(m, at, big) : rawGet32(m, at, big));
    at += size;
  }
  return out;
}

// The font reply layouts: the header of QueryFont and ListFontsWithInfo, then properties
// (name, value) and, for QueryFont, character infos.
const std::string kFontHeader = "bbsi" "ssssssi" "ssssssi" "ssssbbbbssi";

TEST(FontsThroughTarvoRaw, RepliesOfBothByteOrdersAgreeFieldByField) {
  tarvoBlockSignals();
  TwinRun twin;
  ASSERT_EQ(twin.start(), "");
  int display = twin.tarvo().displayNumber();
  std::vector<std::vector<uint32_t>> answers[2];
  for (int order = 0; order < 2; order++) {
    bool big = order == 1;
    RawClient c;
    ASSERT_EQ(c.connect(display, big ? 'B' : 'l'), "");
    uint32_t font = c.idBase() | 1;
    // The default colormap of the first screen: after the root window in the setup's screen.
    const RawBytes &setup = c.setup();
    size_t screenAt = 40 + ((rawGet16(setup, 24, big) + 3) & ~size_t(3)) + 8 * size_t(setup[29]);
    uint32_t colormap = rawGet32(setup, screenAt + 4, big);
    auto named = [&](uint8_t opcode, const std::string &name) {
      return RawRequest(big).b(opcode).b(0).s(0).i(colormap).s(uint32_t(name.size())).s(0).text(name).align().done();
    };
    std::string pattern = "fixed";
    const std::pair<RawBytes, std::string> steps[] = {
        {RawRequest(big).b(45).b(0).s(0).i(font).s(5).s(0).text("fixed").align().done(), ""},
        {RawRequest(big).b(47).b(0).s(0).i(font).done(), "query"},
        {RawRequest(big).b(84).b(0).s(0).i(colormap).s(0x1234).s(0x5678).s(0x9abc).s(0).done(), "bbsissssi"},
        {named(85, "red"), "bbsiissssss"},
        {RawRequest(big).b(86).b(0).s(0).i(colormap).s(1).s(0).done(), "bbsiss*i"},
        {RawRequest(big).b(91).b(0).s(0).i(colormap).i(0).i(0xffffff).done(), "bbsis*ssss"},
    };
    for (const auto &[request, layout] : steps) {
      RawBytes answer;
      if (layout.empty()) {
        ASSERT_EQ(c.send(request), "");
        continue;
      }
      ASSERT_EQ(c.roundTrip(request, answer), "");
      std::string full = answer[0] == 0 ? "bbsisbb" : layout;  // an error, or the reply's layout
      if (answer[0] == 1 && layout == "query") {
        uint32_t properties = rawGet16(answer, 46, big);
        full = kFontHeader;
        for (uint32_t k = 0; k < properties; k++) full += "ii";
        full += "*ssssss";
      }
      answers[order].push_back(fields(answer, full, big));
    }
    // ListFontsWithInfo: every reply up to the end marker.
    ASSERT_EQ(c.send(RawRequest(big).b(50).b(0).s(0).s(2).s(uint32_t(pattern.size())).text(pattern).align().done()), "");
    for (RawBytes m; c.read(m).empty();) {
      ASSERT_EQ(m[0], 1);
      uint32_t properties = rawGet16(m, 46, big);
      std::string full = kFontHeader;
      full.back() = 'i';  // replies-hint in place of the character info count
      for (uint32_t k = 0; k < properties; k++) full += "ii";
      full += "*b";
      answers[order].push_back(fields(m, full, big));
      if (m[1] == 0) break;  // the last-reply marker
    }
  }
  ASSERT_EQ(answers[0].size(), answers[1].size());
  ASSERT_GE(answers[0].size(), 6u);
  for (size_t k = 0; k < answers[0].size(); k++) {
    SCOPED_TRACE(k);
    ASSERT_GT(answers[0][k].size(), 3u);
    // The sequence numbers are the two clients' own and the same; everything else too.
    EXPECT_EQ(answers[1][k], answers[0][k]);
  }
}

INSTANTIATE_TEST_SUITE_P(Screens, FontsThroughTarvo, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "OneScreen" : "TwoScreens"; });

}  // namespace
