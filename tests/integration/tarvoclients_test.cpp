// Real X clients through the tarvo executable, judged against the same clients run direct on
// the Xvfb: xdpyinfo (also after a SIGHUP reset), xwininfo -root, xlsatoms and xprop -root.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The client's stdout (stderr appended) on the display; the status in *status.
std::string runClient(const std::string &display, const std::string &command, int *status = nullptr) {
  std::string line = "DISPLAY=" + display + " timeout 20 " + command + " 2>&1";
  FILE *pipe = popen(line.c_str(), "r");
  if (!pipe) return "";
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int raw = pclose(pipe);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool startsWith(const std::string &line, const std::string &prefix) { return line.rfind(prefix, 0) == 0; }
std::string trimmed(const std::string &s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// xdpyinfo's output cut into what the comparison needs.
struct Xdpyinfo {
  std::vector<std::string> common;       // lines that must be equal
  std::set<std::string> extensions;
  std::set<int> depths;                  // the screen's "depths" line
  std::multiset<std::string> visuals;    // each visual's lines but its id
  std::set<int> visualDepths;
  std::string defaultVisual;             // the default visual's lines but its id
};

Xdpyinfo parseXdpyinfo(const std::string &text) {
  Xdpyinfo out;
  std::map<std::string, std::string> visualById;
  std::string defaultId, currentId, current;
  bool inExtensions = false, inVisual = false;
  auto closeVisual = [&] {
    if (!inVisual) return;
    out.visuals.insert(current);
    visualById[currentId] = current;
    inVisual = false;
  };
  for (const std::string &line : linesOf(text)) {
    std::string t = trimmed(line);
    if (inExtensions) {
      if (startsWith(line, "    ")) {
        out.extensions.insert(t);
        continue;
      }
      inExtensions = false;
    }
    if (startsWith(t, "visual:")) {
      closeVisual();
      inVisual = true;
      current.clear();
      continue;
    }
    if (inVisual && startsWith(line, "    ")) {
      if (startsWith(t, "visual id:")) {
        currentId = trimmed(t.substr(10));
      } else {
        current += t + "\n";
        if (startsWith(t, "depth:")) out.visualDepths.insert(atoi(t.c_str() + 6));
      }
      continue;
    }
    closeVisual();
    if (startsWith(t, "number of extensions:")) {
      inExtensions = true;
      continue;
    }
    if (startsWith(t, "depths (")) {
      std::string list = t.substr(t.find(':') + 1);
      for (char &c : list)
        if (c == ',') c = ' ';
      std::istringstream in(list);
      for (int d; in >> d;) out.depths.insert(d);
      continue;
    }
    if (startsWith(t, "default visual id:")) {
      defaultId = trimmed(t.substr(18));
      continue;
    }
    // Different by design: the names, the vendor, the ids.
    static const char *const kSkipped[] = {"name of display:", "vendor string:", "vendor release number:",
                                           "X.Org version:", "root window id:", "default colormap:"};
    if (std::any_of(std::begin(kSkipped), std::end(kSkipped), [&](const char *p) { return startsWith(t, p); }))
      continue;
    out.common.push_back(t);
  }
  closeVisual();
  out.defaultVisual = visualById[defaultId];
  return out;
}

class TarvoClientsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  XvfbServer xvfb_;
  TarvoProcess tarvo_;
};

TEST_F(TarvoClientsTest, XdpyinfoMatchesDirectButForTheProxysOwnValuesAlsoAfterAReset) {
  ASSERT_EQ(xvfb_.start(), "");
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "extensions", "-XVideo"};
  options.noReset = false;
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  int status = -1;
  std::string proxyText = runClient(tarvo_.displayName(), "xdpyinfo", &status);
  ASSERT_EQ(status, 0) << proxyText;
  std::string directText = runClient(xvfb_.displayName(), "xdpyinfo", &status);
  ASSERT_EQ(status, 0) << directText;
  Xdpyinfo proxy = parseXdpyinfo(proxyText), direct = parseXdpyinfo(directText);

  EXPECT_NE(proxyText.find("vendor string:    Morwentech Tarvo\n"), std::string::npos);
  EXPECT_NE(proxyText.find("vendor release number:    81\n"), std::string::npos);
  EXPECT_EQ(proxy.common, direct.common);
  ASSERT_GT(direct.visuals.size(), 1u);
  EXPECT_EQ(proxy.visuals, direct.visuals);
  EXPECT_EQ(proxy.defaultVisual, direct.defaultVisual);
  EXPECT_FALSE(proxy.defaultVisual.empty());
  // Depth 1 and the visuals' depths.
  std::set<int> expectedDepths = proxy.visualDepths;
  expectedDepths.insert(1);
  EXPECT_EQ(proxy.depths, expectedDepths);
  // Each extension is the real server's or one the proxy adds (and then it is in the log).
  EXPECT_FALSE(proxy.extensions.empty());
  EXPECT_EQ(proxy.extensions.count("XVideo"), 0u);
  for (const std::string &name : proxy.extensions) {
    if (!direct.extensions.count(name)) {
      EXPECT_NE(tarvo_.log().find("Init " + name + " "), std::string::npos) << name;
    }
  }

  // A SIGHUP reset: the next xdpyinfo sees the same server.
  tarvo_.signal(SIGHUP);
  ASSERT_TRUE(tarvo_.waitForLog("Sleeping 2 seconds...", 5000));
  std::string again;
  for (int attempt = 0; attempt < 100; attempt++) {
    again = runClient(tarvo_.displayName(), "xdpyinfo", &status);
    if (status == 0) break;
    usleep(100000);
  }
  ASSERT_EQ(status, 0) << again;
  EXPECT_EQ(again, proxyText);
  EXPECT_EQ(tarvo_.stop(), 0);
}

TEST_F(TarvoClientsTest, XwininfoXlsatomsAndXpropOfTheRootMatchDirect) {
  ASSERT_EQ(xvfb_.start(), "");
  // A STRING on the real root before start-up.
  Display *d = XOpenDisplay(xvfb_.displayName().c_str());
  ASSERT_NE(d, nullptr);
  const std::string value = "set before the proxy started";
  XChangeProperty(d, DefaultRootWindow(d), XInternAtom(d, "TARVO_TEST_TEXT", False), XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char *>(value.data()), int(value.size()));
  XSync(d, False);
  XCloseDisplay(d);
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");

  // xwininfo -root: all but the ids.
  int status = -1;
  auto xwininfo = [&](const std::string &display) {
    std::vector<std::string> kept;
    for (const std::string &line : linesOf(runClient(display, "xwininfo -root", &status))) {
      std::string t = trimmed(line);
      if (t.empty() || startsWith(t, "xwininfo: Window id:") || startsWith(t, "Visual:") || startsWith(t, "Colormap:"))
        continue;
      kept.push_back(t);
    }
    return kept;
  };
  std::vector<std::string> proxyInfo = xwininfo(tarvo_.displayName());
  EXPECT_EQ(status, 0);
  std::vector<std::string> directInfo = xwininfo(xvfb_.displayName());
  EXPECT_EQ(status, 0);
  EXPECT_GT(directInfo.size(), 10u);
  EXPECT_EQ(proxyInfo, directInfo);

  // xlsatoms: every atom of the real server, by the same numbers.
  std::string proxyAtoms = runClient(tarvo_.displayName(), "xlsatoms", &status);
  EXPECT_EQ(status, 0);
  std::string directAtoms = runClient(xvfb_.displayName(), "xlsatoms", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(directAtoms.find("TARVO_TEST_TEXT"), std::string::npos);
  EXPECT_EQ(proxyAtoms, directAtoms);

  // xprop -root: the keyboard rules and the text set before start-up.
  const std::string xprop = "xprop -root _XKB_RULES_NAMES TARVO_TEST_TEXT";
  std::string proxyProps = runClient(tarvo_.displayName(), xprop, &status);
  EXPECT_EQ(status, 0);
  std::string directProps = runClient(xvfb_.displayName(), xprop, &status);
  EXPECT_NE(directProps.find("_XKB_RULES_NAMES(STRING) = "), std::string::npos);
  EXPECT_NE(directProps.find("TARVO_TEST_TEXT(STRING) = \"" + value + "\""), std::string::npos);
  EXPECT_EQ(proxyProps, directProps);
  EXPECT_EQ(tarvo_.stop(), 0);
}

}  // namespace

// With indirect GLX the proxy's visual records carry the GL attributes of each visual: the
// visuals xdpyinfo lists through the proxy stay those of the real screens, one for one.
TEST_F(TarvoClientsTest, XdpyinfoListsTheSameVisualsWithGlAttributesRead) {
  for (const char *screen : {"1024x768x24", "800x600x16"}) {
    SCOPED_TRACE(screen);
    XvfbServer xvfb;
    XvfbOptions x;
    x.screens = {screen};
    x.extraArguments = {"-nolisten", "tcp", "+iglx"};
    ASSERT_EQ(xvfb.start(x), "");
    int status = -1;
    std::string glx = runClient(xvfb.displayName(), "xdpyinfo -ext GLX", &status);
    ASSERT_NE(glx.find("GLX"), std::string::npos) << glx;
    TarvoProcess tarvo;
    ASSERT_EQ(tarvo.start(xvfb.displayName()), "");
    std::string proxyText = runClient(tarvo.displayName(), "xdpyinfo", &status);
    ASSERT_EQ(status, 0) << proxyText;
    std::string directText = runClient(xvfb.displayName(), "xdpyinfo", &status);
    ASSERT_EQ(status, 0) << directText;
    Xdpyinfo proxy = parseXdpyinfo(proxyText), direct = parseXdpyinfo(directText);
    ASSERT_GT(direct.visuals.size(), 1u);
    EXPECT_EQ(proxy.visuals, direct.visuals);
    EXPECT_EQ(proxy.defaultVisual, direct.defaultVisual);
    EXPECT_EQ(tarvo.stop(), 0);
  }
}
