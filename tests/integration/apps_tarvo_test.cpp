// Real applications through the tarvo executable, judged against the same applications on an
// Xvfb used directly: xterm, xlogo, xclock, xcalc, xeyes and a Tk window on their own; twm and
// openbox managing an xterm and an xclock, with a move through the window manager; GTK 3's
// widget factory under a zenity dialog; twm on two heads with a window across the heads' border
// and one dragged from the first head to the second. Every application stays up and prints no
// X error, and once both sides have come to rest the real screens behind tarvo (side by side)
// show what the direct screen shows, pixel for pixel.
//
// The direct Xvfb goes without the extensions that tarvo does not serve, as far as Xvfb lets
// them be switched off: with RENDER, say, xclock, Xft and cairo would draw through other
// requests. It draws the classic root weave (-retro), as tarvo's root does. XKEYBOARD,
// XInputExtension, SHAPE, SYNC and Present cannot be switched off; the applications run with
// XKB_DISABLE=1 on both sides. TARVO_APPS_SHOTS=directory keeps the compared shots there.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "apps_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xvfb_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";

// The extensions that tarvo serves: the list of a tarvo on a scratch Xvfb that offers them all.
std::vector<std::string> tarvoExtensions() {
  XvfbServer xvfb;
  TarvoProcess tarvo;
  std::vector<std::string> names;
  if (std::string failure = tarvoStartOnScreens(xvfb, tarvo, 1, "320x240x24"); !failure.empty()) {
    ADD_FAILURE() << "the scratch tarvo: " << failure;
    return names;
  }
  if (Display *d = XOpenDisplay(tarvo.displayName().c_str())) {
    int count = 0;
    char **list = XListExtensions(d, &count);
    for (int i = 0; i < count; i++) names.push_back(list[i]);
    if (list) XFreeExtensionList(list);
    XCloseDisplay(d);
  }
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  return names;
}

// The direct Xvfb draws the root weave and goes without each extension that Xvfb lets it switch
// off and that tarvo does not serve. XFIXES and DAMAGE stay on (Xvfb aborts at a client's close
// without them), and so does RECORD (switching it off takes XTEST, which xdotool needs, with it).
// MIT-SHM goes too while RENDER is off: on Xvfb itself GTK 3 then leaves its windows blank,
// while through tarvo (MIT-SHM without shared pixmaps) it draws them.
std::vector<std::string> directArguments() {
  static const char *const kSwitchable[] = {"RENDER",   "MIT-SHM",       "GLX",    "COMPOSITE",        "RANDR",
                                            "XINERAMA", "DOUBLE-BUFFER", "XVideo", "MIT-SCREEN-SAVER", "X-Resource",
                                            "SECURITY"};
  std::vector<std::string> served = tarvoExtensions(), out{"-retro"};
  auto isServed = [&](const char *name) {
    return std::any_of(served.begin(), served.end(), [&](const std::string &s) { return strcasecmp(s.c_str(), name) == 0; });
  };
  for (const char *name : kSwitchable)
    if (!isServed(name) || (strcmp(name, "MIT-SHM") == 0 && !isServed("RENDER"))) out.insert(out.end(), {"-extension", name});
  return out;
}

// Texts in an application's output that tell of an X error or a lost connection.
const char *const kXFailures[] = {"X Error",
                                  "X Window System error",
                                  "XIO:",
                                  "fatal IO error",
                                  "BadRequest",
                                  "BadValue",
                                  "BadWindow",
                                  "BadPixmap",
                                  "BadAtom",
                                  "BadCursor",
                                  "BadFont",
                                  "BadMatch",
                                  "BadDrawable",
                                  "BadAccess",
                                  "BadAlloc",
                                  "BadColor",
                                  "BadGC",
                                  "BadIDChoice",
                                  "BadName",
                                  "BadLength",
                                  "BadImplementation"};

std::string xFailureIn(const std::string &output) {
  for (const char *text : kXFailures)
    if (output.find(text) != std::string::npos) return text;
  return "";
}

// One application, run on both sides.
struct App {
  std::string name, title;  // title: the WM_NAME of its top-level
  Program direct, proxied;
  Box box;  // its top-level on the meta screen, as xwininfo through tarvo places it
};

struct Point {
  int x = 0, y = 0;
};

bool overlaps(const Box &a, const Box &b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}
bool holds(const Box &b, int x, int y) { return x >= b.x && x < b.x + b.width && y >= b.y && y < b.y + b.height; }

// Both sides' screens at one moment: the direct screen, and the real screens behind tarvo side
// by side.
struct TwinShots {
  Shot direct, proxied;
  std::vector<uint8_t> restless;  // pixels that changed by themselves while the scene was at rest
  long restlessCount = 0;
  bool settled = false;
};

// Pixels where two shots differ (the shots of equal size), marked into `marks` when given.
long differing(const Shot &a, const Shot &b, std::vector<uint8_t> *marks = nullptr) {
  long count = 0;
  for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); i++)
    if (a.pixels[i] != b.pixels[i]) {
      count++;
      if (marks) (*marks)[i] = 1;
    }
  return count;
}

// Pixels of the box (clipped to the shots) where two shots of equal size differ.
long changedIn(const Shot &a, const Shot &b, const Box &box) {
  long count = 0;
  for (int y = std::max(box.y, 0); y < std::min(box.y + box.height, std::min(a.height, b.height)); y++)
    for (int x = std::max(box.x, 0); x < std::min(box.x + box.width, std::min(a.width, b.width)); x++)
      count += a.at(x, y) != b.at(x, y);
  return count;
}

class AppsTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override;

  // The twin run: each Xvfb with the screens (the direct one with `directScreens` when given),
  // the pointers parked in the bottom right corner.
  void startScene(const std::vector<std::string> &screens, const std::vector<std::string> &directScreens = {});
  // Starts the program on both sides (DISPLAY names the side) and waits until its top-level of
  // that title is viewable on both; its place must be the same on both.
  App &launch(const std::string &name, const std::vector<std::string> &words, const std::string &title);
  // Starts a window manager on both sides and waits until it redirects the root's children and
  // frames a new window.
  void startManager(const std::string &name, const std::vector<std::string> &words);
  // Whether the window manager on the display frames a new window within timeoutMs.
  bool managerFramesAProbe(const std::string &display, int timeoutMs);
  // xlogo, xclock and xcalc under the window manager, compared with the direct run: xlogo and
  // xclock (to be closed).
  std::pair<App *, App *> launchThreeToClose();
  // Closes the program on each side by the command (its words after "env DISPLAY=..."; the
  // display tarvo serves, or the real one behind it when `real`), waits until both sides'
  // processes ended and forgets it.
  void closeApp(App &app, const std::string &command, bool real = false);
  // Asks for a move of the titled top-level by ConfigureWindow on each side (its window
  // manager decides) and waits until it is viewable where the direct side put it.
  void moveByRequest(App &app, int x, int y);
  // Screenshots of both sides every 200 ms until each side agrees with its previous shot (up to
  // `restless` changed pixels, which then count as restless and are not compared) and the sides
  // agree with each other outside the boxes left out; at most timeoutMs.
  TwinShots settle(int timeoutMs, long restless = 0, const std::vector<Box> &except = {});
  // The sides came to rest and show the same outside the restless pixels and the boxes left
  // out.
  void expectSame(const TwinShots &shots, const std::string &what, const std::vector<Box> &except = {});
  // Each application still runs on both sides and printed no X error; its window shows its
  // drawing (a large share of its pixels left the empty screen's).
  void expectUpAndDrawn(const TwinShots &shots);
  // Presses button 1 at the first point and moves through the others on each side's real
  // display (xdotool); releases it once the titled window is where `placed` wants it on that
  // side (the window manager moves it with the pointer), at most 20 s; then parks the pointer.
  void drag(const std::vector<Point> &path, const std::string &title, const std::function<bool(const Box &)> &placed);
  // After a drag: the boxes of the titled window on both sides once the direct one is where
  // `placed` wants it and the proxied one is at the same place (the window manager moves the
  // frame when it has read the release, maybe after xdotool ended); at most 20 s.
  void awaitDragged(const std::string &title, const std::function<bool(const Box &)> &placed, Box &direct,
                    Box &proxied);
  // Runs xdotool with the words on each side's real display, then parks the pointer (one head).
  void xdotool(const std::string &words);
  void park();
  // "mousemove ..." words of xdotool for the point of the meta screen, on the real screen behind
  // tarvo that shows it when `behind`.
  std::string pointerAt(Point p, bool behind) const;
  // The box of the largest window of that title on a side (xwininfo; GTK gives a small unmapped
  // leader window the same name), and whether it is viewable there.
  Box windowBox(const std::string &display, const std::string &title, bool *viewable = nullptr) const;
  std::vector<std::string> environment(const std::string &display) const;

  TwinRun twin;
  int heads = 1, headWidth = 0, width = 0, height = 0;
  std::string home;  // HOME and XDG directories of the applications
  Display *directReal = nullptr, *behindReal = nullptr;
  Shot emptyScreen;  // the proxied side before any application
  std::vector<std::unique_ptr<App>> apps;
  std::unique_ptr<App> manager;  // the window manager, when there is one
  int shotsKept = 0;
};

std::vector<std::string> AppsTarvo::environment(const std::string &display) const {
  return {"DISPLAY=" + display,
          "XKB_DISABLE=1",
          "HOME=" + home,
          "XDG_CONFIG_HOME=" + home + "/config",
          "XDG_CACHE_HOME=" + home + "/cache",
          "XDG_RUNTIME_DIR=" + home + "/run",
          "NO_AT_BRIDGE=1",
          "GDK_BACKEND=x11",
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + home + "/no-bus",
          "LC_ALL=C.UTF-8"};
}

void AppsTarvo::startScene(const std::vector<std::string> &screens, const std::vector<std::string> &directScreens) {
  char templateText[] = "/tmp/tarvo-apps-XXXXXX";
  ASSERT_NE(mkdtemp(templateText), nullptr);
  home = templateText;
  std::filesystem::create_directories(home + "/config/gtk-3.0");
  ASSERT_EQ(mkdir((home + "/run").c_str(), 0700), 0);
  // GTK's animations and its text cursor's blink stand still.
  std::ofstream(home + "/config/gtk-3.0/settings.ini")
      << "[Settings]\ngtk-enable-animations=false\ngtk-cursor-blink=false\n";
  // twm moves windows whole and without grabbing the server (xdotool's requests must go on); F9
  // over a window closes it (WM_DELETE_WINDOW), F10 ends its client (KillClient).
  std::ifstream systemRc("/etc/X11/twm/system.twmrc");
  std::stringstream twmrc;
  twmrc << "NoGrabServer\nOpaqueMove\n" << systemRc.rdbuf()
        << "\n\"F9\" = : window|title|frame : f.delete\n\"F10\" = : window|title|frame : f.destroy\n";
  std::ofstream(home + "/twmrc") << twmrc.str();

  TwinRunOptions options;
  options.screens = screens;
  options.directScreens = directScreens;
  options.directArguments = directArguments();
  ASSERT_EQ(twin.start(options), "");
  heads = int(screens.size());
  directReal = XOpenDisplay(twin.directDisplay().c_str());
  behindReal = XOpenDisplay(twin.behindDisplay().c_str());
  ASSERT_NE(directReal, nullptr);
  ASSERT_NE(behindReal, nullptr);
  headWidth = DisplayWidth(behindReal, 0);
  width = DisplayWidth(directReal, 0);
  height = DisplayHeight(directReal, 0);
  ASSERT_EQ(width, headWidth * heads);
  park();
  TwinShots empty = settle(5000);
  ASSERT_TRUE(empty.settled);
  expectSame(empty, "the empty screens");
  emptyScreen = empty.proxied;
}

std::string AppsTarvo::pointerAt(Point p, bool behind) const {
  if (!behind || heads == 1) return "mousemove " + std::to_string(p.x) + " " + std::to_string(p.y);
  int head = std::clamp(p.x / headWidth, 0, heads - 1);
  return "mousemove --screen " + std::to_string(head) + " " + std::to_string(p.x - head * headWidth) + " " +
         std::to_string(p.y);
}

void AppsTarvo::park() {
  Point corner{width - 1, height - 1};
  for (bool behind : {false, true}) {
    int status = -1;
    std::string out = twinRunCommand("env DISPLAY=" + (behind ? twin.behindDisplay() : twin.directDisplay()) +
                                         " xdotool " + pointerAt(corner, behind) + " 2>&1",
                                     &status);
    EXPECT_EQ(status, 0) << out;
  }
}

void AppsTarvo::drag(const std::vector<Point> &path, const std::string &title,
                     const std::function<bool(const Box &)> &placed) {
  ASSERT_FALSE(path.empty());
  for (bool behind : {false, true}) {
    // Half a second between steps: tarvo follows a grabbed pointer by polling it.
    std::string xdotool = "env DISPLAY=" + (behind ? twin.behindDisplay() : twin.directDisplay()) + " xdotool ";
    std::string command = xdotool + pointerAt(path[0], behind) + " sleep 0.3 mousedown 1";
    for (size_t i = 1; i < path.size(); i++) command += " sleep 0.5 " + pointerAt(path[i], behind);
    int status = -1;
    std::string out = twinRunCommand(command + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    // A release before the manager followed the last motion would drop the window short of it.
    std::string display = behind ? twin.proxyDisplay() : twin.directDisplay();
    EXPECT_TRUE(waitUntil([&] { return placed(windowBox(display, title)); }, 20000))
        << title << (behind ? " through tarvo" : " direct") << " did not follow the pointer";
    out = twinRunCommand(xdotool + "mouseup 1 sleep 0.3 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
  park();
}

void AppsTarvo::awaitDragged(const std::string &title, const std::function<bool(const Box &)> &placed, Box &direct,
                             Box &proxied) {
  waitUntil(
      [&] {
        direct = windowBox(twin.directDisplay(), title);
        proxied = windowBox(twin.proxyDisplay(), title);
        return placed(direct) && proxied.x == direct.x && proxied.y == direct.y;
      },
      20000);
}

void AppsTarvo::xdotool(const std::string &words) {
  for (const std::string &display : {twin.directDisplay(), twin.behindDisplay()}) {
    int status = -1;
    std::string out = twinRunCommand("env DISPLAY=" + display + " xdotool " + words + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
  park();
}

Box AppsTarvo::windowBox(const std::string &display, const std::string &title, bool *viewable) const {
  if (viewable) *viewable = false;
  // Tree lines: `0x200002 "title": (...)  1366x741+0+0  +0+0`.
  std::istringstream tree(twinRunCommand("xwininfo -display " + display + " -root -tree 2>&1"));
  std::string line, id;
  long largest = -1;
  for (std::string quoted = "\"" + title + "\":"; std::getline(tree, line);) {
    size_t at = line.find(quoted), idAt = line.find("0x");
    if (at == std::string::npos || idAt == std::string::npos || idAt > at) continue;
    // The size follows the class names in parentheses.
    size_t close = line.find(')', at);
    int w = 0, h = 0;
    if (sscanf(line.c_str() + (close == std::string::npos ? at + quoted.size() : close + 1), " %dx%d", &w, &h) != 2)
      continue;
    if (long(w) * h > largest) {
      largest = long(w) * h;
      id = line.substr(idAt, line.find(' ', idAt) - idAt);
    }
  }
  if (id.empty()) return Box{-1, -1, -1, -1};
  std::string info = twinRunCommand("xwininfo -display " + display + " -id " + id + " 2>&1");
  if (viewable) *viewable = info.find("Map State: IsViewable") != std::string::npos;
  return Box{xwininfoField(info, "Absolute upper-left X:"), xwininfoField(info, "Absolute upper-left Y:"),
             xwininfoField(info, "Width:"), xwininfoField(info, "Height:")};
}

App &AppsTarvo::launch(const std::string &name, const std::vector<std::string> &words, const std::string &title) {
  apps.push_back(std::make_unique<App>());
  App &app = *apps.back();
  app.name = name;
  app.title = title;
  for (bool behind : {false, true}) {
    std::string display = behind ? twin.proxyDisplay() : twin.directDisplay();
    Program &program = behind ? app.proxied : app.direct;
    std::string output = home + "/" + name + (behind ? "-tarvo" : "-direct") + ".out";
    EXPECT_EQ(program.start(words, output, environment(display)), "") << name;
  }
  Box direct, proxied;
  bool directViewable = false, proxiedViewable = false;
  bool shown = waitUntil(
      [&] {
        direct = windowBox(twin.directDisplay(), title, &directViewable);
        proxied = windowBox(twin.proxyDisplay(), title, &proxiedViewable);
        // A toolkit may size its window again after the first map (later on a loaded machine):
        // wait for the two to agree, and compare what they show at the time-out.
        bool same = proxied.x == direct.x && proxied.y == direct.y && proxied.width == direct.width &&
                    proxied.height == direct.height;
        return (directViewable && proxiedViewable && same) || !app.direct.running() || !app.proxied.running();
      },
      20000);
  if (!shown) shown = directViewable && proxiedViewable;
  EXPECT_TRUE(shown && app.direct.running() && app.proxied.running())
      << name << " did not come up. Direct: " << app.direct.output() << "\nThrough tarvo: " << app.proxied.output();
  EXPECT_EQ(proxied.x, direct.x) << name;
  EXPECT_EQ(proxied.y, direct.y) << name;
  EXPECT_EQ(proxied.width, direct.width) << name;
  EXPECT_EQ(proxied.height, direct.height) << name;
  app.box = proxied;
  return app;
}

void AppsTarvo::startManager(const std::string &name, const std::vector<std::string> &words) {
  manager = std::make_unique<App>();
  manager->name = name;
  manager->box = Box{0, 0, width, height};
  for (bool behind : {false, true}) {
    std::string display = behind ? twin.proxyDisplay() : twin.directDisplay();
    std::string output = home + "/" + name + (behind ? "-tarvo" : "-direct") + ".out";
    EXPECT_EQ((behind ? manager->proxied : manager->direct).start(words, output, environment(display)), "");
    bool redirected = waitUntil(
        [&] {
          return twinRunCommand("xwininfo -display " + display + " -root -events 2>&1").find("SubstructureRedirect") !=
                 std::string::npos;
        },
        15000);
    EXPECT_TRUE(redirected) << name << (behind ? " through tarvo" : " direct") << " does not manage the screen: "
                            << (behind ? manager->proxied : manager->direct).output();
  }
  // The redirect is taken early in a manager's start: openbox drops a window mapped before the
  // rest of its start is done (directly as well). A probe window framed on each side tells
  // that it manages new windows now.
  for (bool behind : {false, true}) {
    std::string display = behind ? twin.proxyDisplay() : twin.directDisplay();
    EXPECT_TRUE(managerFramesAProbe(display, 15000)) << name << (behind ? " through tarvo" : " direct")
                                                     << " frames no new window";
  }
}

bool AppsTarvo::managerFramesAProbe(const std::string &display, int timeoutMs) {
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return false;
  Window root = DefaultRootWindow(d);
  bool framed = false;
  long long deadline = xvfbNowMs() + timeoutMs;
  // A probe mapped while the manager still starts may stay unmanaged: a new one after a while.
  while (!framed && xvfbNowMs() < deadline) {
    Window probe = XCreateSimpleWindow(d, root, 0, 0, 40, 40, 0, 0, 0);
    XSizeHints hints{};
    hints.flags = USPosition | USSize;  // twm places it without asking
    hints.width = hints.height = 40;
    XSetWMNormalHints(d, probe, &hints);
    XMapWindow(d, probe);
    XSync(d, False);
    framed = waitUntil(
        [&] {
          Window rootReturn = 0, parent = 0, *children = nullptr;
          unsigned count = 0;
          if (!XQueryTree(d, probe, &rootReturn, &parent, &children, &count)) return false;
          if (children) XFree(children);
          return parent != root;
        },
        int(std::min<long long>(2000, std::max<long long>(0, deadline - xvfbNowMs()))));
    XDestroyWindow(d, probe);
    XSync(d, False);
  }
  XCloseDisplay(d);
  return framed;
}

std::pair<App *, App *> AppsTarvo::launchThreeToClose() {
  App &logo = launch("xlogo", {"xlogo", "-title", "apps-xlogo", "-geometry", "120x120+40+60"}, "apps-xlogo");
  App &clock = launch("xclock",
                      {"xclock", "-title", "apps-xclock", "-geometry", "164x164+400+300", "-update", "3600", "-hd",
                       "white", "-hl", "white"},
                      "apps-xclock");
  launch("xcalc", {"xcalc", "-title", "apps-xcalc", "-geometry", "+700+60"}, "apps-xcalc");
  expectSame(settle(15000), manager->name + " with xlogo, xclock and xcalc");
  return {&logo, &clock};
}

void AppsTarvo::closeApp(App &app, const std::string &command, bool real) {
  for (bool behind : {false, true}) {
    std::string display = behind ? (real ? twin.behindDisplay() : twin.proxyDisplay()) : twin.directDisplay();
    int status = -1;
    std::string out = twinRunCommand("env DISPLAY=" + display + " " + command + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
  }
  EXPECT_TRUE(waitUntil([&] { return !app.direct.running() && !app.proxied.running(); }, 10000))
      << app.name << " still runs after " << command;
  apps.erase(std::find_if(apps.begin(), apps.end(), [&](const std::unique_ptr<App> &a) { return a.get() == &app; }));
}

void AppsTarvo::moveByRequest(App &app, int x, int y) {
  for (bool behind : {false, true}) {
    std::string display = behind ? twin.proxyDisplay() : twin.directDisplay();
    int status = -1;
    std::string out = twinRunCommand("env DISPLAY=" + display + " /usr/bin/python3 " + kScripts + "move_window.py '" +
                                         app.title + "' " + std::to_string(x) + " " + std::to_string(y) + " 2>&1",
                                     &status);
    EXPECT_EQ(status, 0) << out;
  }
  Box before = app.box, direct, proxied;
  bool moved = waitUntil(
      [&] {
        bool directViewable = false, proxiedViewable = false;
        direct = windowBox(twin.directDisplay(), app.title, &directViewable);
        proxied = windowBox(twin.proxyDisplay(), app.title, &proxiedViewable);
        return directViewable && proxiedViewable && (direct.x != before.x || direct.y != before.y) &&
               proxied.x == direct.x && proxied.y == direct.y;
      },
      10000);
  EXPECT_TRUE(moved) << app.name << " at " << before.x << "," << before.y << ": direct " << direct.x << "," << direct.y
                     << ", through tarvo " << proxied.x << "," << proxied.y;
  app.box = proxied;
}

TwinShots AppsTarvo::settle(int timeoutMs, long restless, const std::vector<Box> &except) {
  TwinShots t;
  Shot previousDirect, previousProxied;
  int calmRounds = 0;
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    t.direct = shotSideBySide(screenshot(directReal));
    t.proxied = shotSideBySide(screenshot(behindReal));
    if (t.direct.pixels.empty() || t.direct.width != t.proxied.width || t.direct.height != t.proxied.height) {
      ADD_FAILURE() << "the screens cannot be read or differ in size";
      return t;
    }
    if (t.restless.empty()) t.restless.assign(t.direct.pixels.size(), 0);
    if (!previousDirect.pixels.empty()) {
      bool calm = differing(previousDirect, t.direct) <= restless && differing(previousProxied, t.proxied) <= restless;
      if (calm && restless > 0) {
        differing(previousDirect, t.direct, &t.restless);
        differing(previousProxied, t.proxied, &t.restless);
      }
      calmRounds = calm ? calmRounds + 1 : 0;
      long apart = 0;
      for (size_t i = 0; i < t.direct.pixels.size(); i++)
        if (!t.restless[i] && t.direct.pixels[i] != t.proxied.pixels[i]) {
          int x = int(i % size_t(t.direct.width)), y = int(i / size_t(t.direct.width));
          if (std::none_of(except.begin(), except.end(), [&](const Box &b) { return holds(b, x, y); })) apart++;
        }
      // With restless pixels allowed, a second of rest lets them show themselves.
      if (calmRounds >= (restless > 0 ? 5 : 1) && apart == 0) {
        t.settled = true;
        break;
      }
    }
    if (xvfbNowMs() >= deadline) break;
    previousDirect = t.direct;
    previousProxied = t.proxied;
    usleep(200000);
  }
  t.restlessCount = std::count(t.restless.begin(), t.restless.end(), uint8_t(1));
  return t;
}

void AppsTarvo::expectSame(const TwinShots &shots, const std::string &what, const std::vector<Box> &except) {
  // TARVO_APPS_SHOTS=directory keeps every compared pair of shots there, for a look.
  if (const char *keep = getenv("TARVO_APPS_SHOTS")) {
    std::string name = std::string(keep) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                       std::to_string(++shotsKept);
    shotWritePpm(shots.direct, name + "-direct.ppm");
    shotWritePpm(shots.proxied, name + "-tarvo.ppm");
  }
  EXPECT_TRUE(shots.settled) << what << ": the screens did not come to rest and agree";
  if (shots.direct.pixels.empty() || shots.restless.size() != shots.direct.pixels.size() ||
      shots.proxied.pixels.size() != shots.direct.pixels.size()) {
    ADD_FAILURE() << what << ": no shots to compare";
    return;
  }
  long count = 0;
  Box bounds{INT32_MAX, INT32_MAX, 0, 0};
  int right = -1, bottom = -1;
  for (int y = 0; y < shots.direct.height; y++)
    for (int x = 0; x < shots.direct.width; x++) {
      size_t i = size_t(y) * size_t(shots.direct.width) + size_t(x);
      if (shots.restless[i] || shots.direct.pixels[i] == shots.proxied.pixels[i]) continue;
      if (std::any_of(except.begin(), except.end(), [&](const Box &b) { return holds(b, x, y); })) continue;
      count++;
      bounds.x = std::min(bounds.x, x), bounds.y = std::min(bounds.y, y);
      right = std::max(right, x), bottom = std::max(bottom, y);
    }
  if (count == 0) return;
  bounds.width = right - bounds.x + 1;
  bounds.height = bottom - bounds.y + 1;
  std::string where;
  for (const auto &app : apps)
    if (overlaps(app->box, bounds)) where += " " + app->name;
  // The shots stay for a look (the test's temporary directory goes).
  char templateText[] = "/tmp/tarvo-apps-failure-XXXXXX";
  std::string kept = mkdtemp(templateText) ? templateText : "/tmp";
  shotWritePpm(shots.direct, kept + "/direct.ppm");
  shotWritePpm(shots.proxied, kept + "/tarvo.ppm");
  ADD_FAILURE() << what << ": " << count << " pixels differ from the direct run within " << bounds.width << "x"
                << bounds.height << "+" << bounds.x << "+" << bounds.y << " (windows:" << where << "); "
                << (shots.settled ? "" : "the screens did not come to rest; ") << "shots in " << kept;
}

void AppsTarvo::expectUpAndDrawn(const TwinShots &shots) {
  if (manager)
    for (bool behind : {false, true}) {
      Program &program = behind ? manager->proxied : manager->direct;
      const char *side = behind ? " through tarvo" : " direct";
      EXPECT_TRUE(program.running()) << manager->name << side << " ended with status " << program.status << ": "
                                     << program.output();
      EXPECT_EQ(xFailureIn(program.output()), "") << manager->name << side << ": " << program.output();
    }
  for (const auto &app : apps) {
    for (bool behind : {false, true}) {
      Program &program = behind ? app->proxied : app->direct;
      const char *side = behind ? " through tarvo" : " direct";
      EXPECT_TRUE(program.running()) << app->name << side << " ended with status " << program.status << ": "
                                     << program.output();
      EXPECT_EQ(xFailureIn(program.output()), "") << app->name << side << ": " << program.output();
    }
    const Box &b = app->box;
    long total = long(std::max(0, std::min(b.x + b.width, shots.proxied.width) - std::max(b.x, 0))) *
                 std::max(0, std::min(b.y + b.height, shots.proxied.height) - std::max(b.y, 0));
    EXPECT_GT(total, 0) << app->name << " has no window on the screen";
    EXPECT_GE(double(changedIn(shots.proxied, emptyScreen, b)), 0.2 * double(total))
        << app->name << " drew little of its window";
  }
}

void AppsTarvo::TearDown() {
  apps.clear();  // each ended and reaped before tarvo stops
  manager.reset();
  if (directReal) XCloseDisplay(directReal);
  if (behindReal) XCloseDisplay(behindReal);
  if (twin.tarvo().running()) {
    // A sanitizer build's tarvo ends with a failure status on a leak or a bad access.
    EXPECT_EQ(twin.stop(), 0) << twin.tarvo().output();
    EXPECT_EQ(twin.tarvo().output().find("Sanitizer"), std::string::npos) << twin.tarvo().output();
  }
  if (!home.empty()) std::filesystem::remove_all(home);
}

// ----- one head -----

// The white pixels of a box: xeyes' eye whites.
long whites(const Shot &shot, const Box &b) {
  long n = 0;
  for (int y = std::max(b.y, 0); y < std::min(b.y + b.height, shot.height); y++)
    for (int x = std::max(b.x, 0); x < std::min(b.x + b.width, shot.width); x++)
      if ((shot.at(x, y) & 0xffffff) == 0xffffff) n++;
  return n;
}

TEST_F(AppsTarvo, PlainApplicationsLookAsDirect) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1024x768x24"}));
  App &term = launch("xterm",
                     {"xterm", "+bc", "-T", "apps-xterm", "-geometry", "60x10+10+10", "-e", "sh", "-c",
                      "echo hello through tarvo; printf '%s\\n' 'a second line' '  indented'; exec sleep 600"},
                     "apps-xterm");
  launch("xlogo", {"xlogo", "-title", "apps-xlogo", "-geometry", "100x100+420+10"}, "apps-xlogo");
  // The hands drawn white on the white face: the time of day stays out of the picture.
  launch("xclock",
         {"xclock", "-title", "apps-xclock", "-geometry", "164x164+420+150", "-update", "3600", "-hd", "white", "-hl",
          "white"},
         "apps-xclock");
  App &calc = launch("xcalc", {"xcalc", "-title", "apps-xcalc", "-geometry", "+600+10"}, "apps-xcalc");
  App &eyes = launch("xeyes", {"xeyes", "-title", "apps-xeyes", "-geometry", "150x100+420+340"}, "apps-xeyes");
  launch("tk", {"/usr/bin/python3", kScripts + "tk_shapes.py", "apps-tk", "+10+200"}, "apps-tk");
  TwinShots shots = settle(15000, 0, {eyes.box});
  // On the direct server xeyes draws through Present and follows the pointer through the
  // XInputExtension, which Xvfb cannot switch off: only its eyes' whites are compared, as a
  // count (the pupils may look elsewhere).
  expectSame(shots, "plain applications", {eyes.box});
  expectUpAndDrawn(shots);
  long directWhites = whites(shots.direct, eyes.box), proxiedWhites = whites(shots.proxied, eyes.box);
  EXPECT_GT(proxiedWhites, long(eyes.box.width) * eyes.box.height / 5);
  EXPECT_NEAR(double(proxiedWhites), double(directWhites), 0.05 * double(directWhites));

  // A user at the real displays: 7 * 6 = on xcalc's keys, a line typed into the xterm (the
  // terminal echoes it; the window under the pointer has the focus).
  auto at = [](const Box &b, int x, int y) { return std::to_string(b.x + x) + " " + std::to_string(b.y + y); };
  xdotool("mousemove " + at(calc.box, 69, 286) + " click 1 sleep 0.2 mousemove " + at(calc.box, 201, 286) +
          " click 1 sleep 0.2 mousemove " + at(calc.box, 157, 316) + " click 1 sleep 0.2 mousemove " +
          at(calc.box, 201, 376) + " click 1 sleep 0.2 mousemove " + at(term.box, 200, 100) +
          " sleep 0.3 type --delay 20 'typed at the real display'");
  Shot before = shots.proxied;
  shots = settle(15000, 0, {eyes.box});
  expectSame(shots, "after the input", {eyes.box});
  for (const App *app : {&calc, &term})
    EXPECT_GT(changedIn(shots.proxied, before, app->box), 20) << app->name << " shows no trace of the input";
}

TEST_F(AppsTarvo, TwmFramesAndAMoveByDragLookAsDirect) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1024x768x24"}));
  startManager("twm", {"twm", "-f", home + "/twmrc"});
  launch("xterm",
         {"xterm", "+bc", "-T", "apps-xterm", "-geometry", "50x8+30+40", "-e", "sh", "-c",
          "echo managed by twm; exec sleep 600"},
         "apps-xterm");
  App &clock = launch("xclock",
                      {"xclock", "-title", "apps-xclock", "-geometry", "164x164+500+300", "-update", "3600", "-hd",
                       "white", "-hl", "white"},
                      "apps-xclock");
  TwinShots shots = settle(15000);
  expectSame(shots, "twm with xterm and xclock");
  // Dragged by its title bar 300 pixels right and 100 up.
  Box framed = clock.box;
  auto placed = [&](const Box &b) { return b.x == framed.x + 300 && b.y == framed.y - 100; };
  drag({{framed.x + 60, framed.y - 8}, {framed.x + 200, framed.y - 50}, {framed.x + 360, framed.y - 108}}, clock.title,
       placed);
  Box direct, proxied;
  awaitDragged(clock.title, placed, direct, proxied);
  EXPECT_EQ(direct.x, framed.x + 300);
  EXPECT_EQ(direct.y, framed.y - 100);
  EXPECT_EQ(proxied.x, direct.x);
  EXPECT_EQ(proxied.y, direct.y);
  clock.box = proxied;
  shots = settle(15000);
  expectSame(shots, "after the move");
  expectUpAndDrawn(shots);
}

TEST_F(AppsTarvo, OpenboxFramesAndAMoveByRequestLookAsDirect) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1024x768x24"}));
  startManager("openbox", {"openbox"});
  App &term = launch("xterm",
                     {"xterm", "+bc", "-T", "apps-xterm", "-geometry", "50x8+30+40", "-e", "sh", "-c",
                      "echo managed by openbox; exec sleep 600"},
                     "apps-xterm");
  launch("xclock",
         {"xclock", "-title", "apps-xclock", "-geometry", "164x164+500+300", "-update", "3600", "-hd", "white", "-hl",
          "white"},
         "apps-xclock");
  TwinShots shots = settle(15000);
  expectSame(shots, "openbox with xterm and xclock");
  moveByRequest(term, 250, 420);
  shots = settle(15000);
  expectSame(shots, "after the move");
  expectUpAndDrawn(shots);
}

// Programs closed by the window manager and by KillClient: their frames go with them, the
// screen shows what the direct run shows (twm by its own key bindings: WM_DELETE_WINDOW and
// KillClient).
TEST_F(AppsTarvo, ProgramsClosedUnderTwmLeaveNoFrame) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1024x768x24"}));
  startManager("twm", {"twm", "-f", home + "/twmrc"});
  auto [logo, clock] = launchThreeToClose();
  auto over = [](const App &app) {
    return "mousemove " + std::to_string(app.box.x + app.box.width / 2) + " " +
           std::to_string(app.box.y + app.box.height / 2) + " sleep 0.3 key ";
  };
  closeApp(*logo, "xdotool " + over(*logo) + "F9 sleep 0.3", true);
  closeApp(*clock, "xdotool " + over(*clock) + "F10 sleep 0.3", true);
  park();
  TwinShots shots = settle(15000);
  expectSame(shots, "after the closes");
  expectUpAndDrawn(shots);
}

TEST_F(AppsTarvo, ProgramsClosedUnderOpenboxLeaveNoFrame) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1024x768x24"}));
  startManager("openbox", {"openbox"});
  auto [logo, clock] = launchThreeToClose();
  closeApp(*logo, "/usr/bin/python3 " + kScripts + "close_window.py apps-xlogo manager");
  closeApp(*clock, "/usr/bin/python3 " + kScripts + "close_window.py apps-xclock kill");
  TwinShots shots = settle(15000);
  expectSame(shots, "after the closes");
  expectUpAndDrawn(shots);
}

// GTK 3's widget factory pulses one progress bar by a timer of its own: those pixels, and only
// a few, are not compared.
TEST_F(AppsTarvo, GtkWidgetFactoryAndZenityLookAsDirect) {
  ASSERT_NO_FATAL_FAILURE(startScene({"1400x1050x24"}));
  launch("gtk3-widget-factory", {"gtk3-widget-factory"}, "gtk3-widget-factory");
  TwinShots shots = settle(20000, 3000);
  expectSame(shots, "the widget factory");
  // After the factory: the dialog lies above it on both sides.
  App &dialog =
      launch("zenity", {"zenity", "--question", "--title", "apps-zenity", "--text", "Through tarvo?"}, "apps-zenity");
  shots = settle(20000, 3000);
  EXPECT_LT(shots.restlessCount, 3000) << "restless pixels";
  expectSame(shots, "the widget factory under a zenity dialog");
  expectUpAndDrawn(shots);
  // A click on the dialog's "Yes" (its bottom right button) at the real displays answers it: zenity
  // ends with status 0 on both sides, and the factory shows again where the dialog was.
  xdotool("mousemove " + std::to_string(dialog.box.x + dialog.box.width - 50) + " " +
          std::to_string(dialog.box.y + dialog.box.height - 25) + " sleep 0.3 click 1 sleep 0.3");
  EXPECT_TRUE(waitUntil([&] { return !dialog.direct.running() && !dialog.proxied.running(); }, 10000));
  EXPECT_EQ(dialog.direct.status, 0) << dialog.direct.output();
  EXPECT_EQ(dialog.proxied.status, 0) << dialog.proxied.output();
  EXPECT_EQ(xFailureIn(dialog.proxied.output()), "") << dialog.proxied.output();
  apps.pop_back();
  shots = settle(20000, 3000);
  expectSame(shots, "the widget factory after the dialog");
  expectUpAndDrawn(shots);
}

// ----- two heads -----

// One 1600x600 screen direct against two 800x600 heads joined behind tarvo: an xterm across
// the heads' border, an xclock dragged by twm from the first head to the second (the pointer
// stops on the first head's edge, where tarvo carries it over while twm holds it grabbed).
TEST_F(AppsTarvo, TwmOnTwoHeadsLooksAsDirectSideBySide) {
  ASSERT_NO_FATAL_FAILURE(startScene({"800x600x24", "800x600x24"}, {"1600x600x24"}));
  startManager("twm", {"twm", "-f", home + "/twmrc"});
  App &term = launch("xterm",
                     {"xterm", "+bc", "-T", "apps-xterm", "-geometry", "40x8+700+100", "-e", "sh", "-c",
                      "echo across two heads; exec sleep 600"},
                     "apps-xterm");
  EXPECT_LT(term.box.x, 800);
  EXPECT_GT(term.box.x + term.box.width, 800);
  App &clock = launch("xclock",
                      {"xclock", "-title", "apps-xclock", "-geometry", "164x164+100+300", "-update", "3600", "-hd",
                       "white", "-hl", "white"},
                      "apps-xclock");
  TwinShots shots = settle(15000);
  expectSame(shots, "twm with xterm and xclock");
  Box framed = clock.box;
  int titleY = framed.y - 8;
  auto placed = [&](const Box &b) { return b.x == framed.x + 900; };
  drag({{framed.x + 60, titleY}, {400, titleY}, {799, titleY}, {framed.x + 960, titleY}}, clock.title, placed);
  Box direct, proxied;
  awaitDragged(clock.title, placed, direct, proxied);
  EXPECT_EQ(direct.x, framed.x + 900);
  EXPECT_EQ(proxied.x, direct.x);
  EXPECT_EQ(proxied.y, direct.y);
  clock.box = proxied;
  shots = settle(15000);
  expectSame(shots, "after the move");
  expectUpAndDrawn(shots);
}

}  // namespace
