// The real display and its heads against one Xvfb with three screens: opening heads, the
// refusals of mainOpenHead, closing and reopening with the keyboard-mapping tool, meta screens
// laid out on the heads, and the pointer crossing between them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xatom.h>

#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/host.h"
#include "support/orders.h"
#include "xvfb_fixture.h"

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class RealDisplay : public testing::Test {
 protected:
  static XvfbServer *xvfb;
  static void SetUpTestSuite() {
    xvfb = new XvfbServer;
    XvfbOptions options;
    options.screens = {"800x600x24", "640x480x24", "320x200x24"};
    std::string error = xvfb->start(options);
    ASSERT_EQ(error, "") << error;
  }
  static void TearDownTestSuite() {
    delete xvfb;
    xvfb = nullptr;
  }

  void SetUp() override {
    ordersInit();
    mainSetStartLimits();
    proxyXidCounter = 31;
    char pattern[] = "/tmp/realdisplayXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    ASSERT_EQ(mkdir((dir + "/bin").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/etc").c_str(), 0700), 0);
    std::ofstream tool(dir + "/bin/xxmodmap");
    tool << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" << dir << "/record'\n"
         << "echo --- >> '" << dir << "/record'\n";
    tool.close();
    chmod((dir + "/bin/xxmodmap").c_str(), 0700);
    setenv("TARVO_HOME", dir.c_str(), 1);
    setenv("TARVO_ETC", (dir + "/etc").c_str(), 1);
    prefix = xvfb->displayName();  // ":N"
    // Start-up listens before it opens the heads: the proxy's own display number is set.
    ASSERT_EQ(xproxyListen((":" + std::to_string(xvfbUnusedDisplayNumber())).c_str(), 0), nullptr);
  }

  void TearDown() override {
    while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
    xscreenFreeAll();
    EXPECT_EQ(mainOpenDisplayCount(), 0u);
    EXPECT_EQ(mainDrainOrder(), nullptr);
    mainSetStartLimits();
    xproxyCloseListeners();
    ordersFreeAll();
    unsetenv("TARVO_HOME");
    unsetenv("TARVO_ETC");
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  Head *open(const std::string &name, MetaScreen *screen, int *status, const char **error,
             uint64_t timeout = 5000) {
    *status = 0;
    *error = nullptr;
    return mainOpenHead(name.c_str(), screen, timeout, 0, 0, status, error);
  }

  std::string dir, prefix;
};
XvfbServer *RealDisplay::xvfb = nullptr;

TEST_F(RealDisplay, ThreeScreensOneDisplayAndTheRefusals) {
  MetaScreen *screen = xscreenNew();
  ASSERT_NE(screen, nullptr);
  int status;
  const char *error;
  Head *heads[3];
  const uint32_t widths[3] = {800, 640, 320}, heights[3] = {600, 480, 200};
  for (int i = 0; i < 3; i++) {
    heads[i] = open(prefix + "." + std::to_string(i), screen, &status, &error);
    ASSERT_NE(heads[i], nullptr) << error;
    EXPECT_EQ(heads[i]->idIndex, uint32_t(i));
    EXPECT_EQ(heads[i]->displayNumber, uint32_t(i));
    EXPECT_EQ(heads[i]->clientRoot, uint32_t(32 + i));
    EXPECT_EQ(heads[i]->realWidth, widths[i]);
    EXPECT_EQ(heads[i]->realHeight, heights[i]);
    EXPECT_EQ(heads[i]->widthMM, uint32_t(DisplayWidthMM(heads[i]->display, i)));
    EXPECT_GT(heads[i]->widthMM, 0u);
    EXPECT_EQ(heads[i]->screen, i);
  }
  ASSERT_NE(mainServerDisplays, nullptr);
  EXPECT_EQ(mainServerDisplays->next, nullptr);
  EXPECT_EQ(mainServerDisplayCount, 1u);
  EXPECT_EQ(mainServerDisplays->headCount, 3u);
  EXPECT_EQ(heads[0]->display, heads[2]->display);
  EXPECT_EQ(screen->headCount, 3u);
  EXPECT_EQ(screen->primaryHead, heads[0]);
  EXPECT_EQ(mainFindHeadByScreen(mainServerDisplays, 1), heads[1]);
  EXPECT_EQ(mainFindHeadByRoot(mainServerDisplays, heads[2]->root), heads[2]);
  EXPECT_EQ(xproxyXlibDisplay(nullptr), heads[0]->display);
  EXPECT_EQ(mainOpenDisplayCount(), 1u);
  EXPECT_NE(mainDrainOrder(), nullptr);
  // The limits came down to the display's.
  Display *d = heads[0]->display;
  EXPECT_EQ(xprotoBigRequestMaximum, 4 * uint64_t(XExtendedMaxRequestSize(d)));
  EXPECT_LE(proxyState.maxRequestBytes, 4 * uint64_t(XMaxRequestSize(d)));
  EXPECT_LE(proxyState.keycodeLimit, 248u);

  EXPECT_EQ(open(prefix + ".5", screen, &status, &error), nullptr);
  EXPECT_EQ(status, kOpenHeadConfiguration);
  EXPECT_EQ(std::string(error), "No screen #5 on " + std::string(mainServerDisplays->displayName));
  EXPECT_EQ(std::string(mainServerDisplays->displayName), std::string(hostName()) + prefix);

  EXPECT_EQ(open(prefix + ".1", screen, &status, &error), nullptr);
  EXPECT_EQ(status, kOpenHeadConfiguration);
  EXPECT_NE(std::string(error).find("already configured - Make sure each screen is specified just once"),
            std::string::npos)
      << error;

  int other = xvfbUnusedDisplayNumber();
  EXPECT_EQ(open(":" + std::to_string(other) + ".0", screen, &status, &error), nullptr);
  EXPECT_EQ(status, kOpenHeadConfiguration);
  EXPECT_NE(std::string(error).find("supports only one X window server - Use Korvan for multiple X window server"),
            std::string::npos)
      << error;
  EXPECT_EQ(mainServerDisplayCount, 1u);
}

TEST_F(RealDisplay, OwnDisplayNumberUnreachableDisplayAndLocalForm) {
  int status;
  const char *error;
  MetaScreen *screen = xscreenNew();
  int own = xproxyDisplayNumber();
  EXPECT_EQ(open(":" + std::to_string(own) + ".0", screen, &status, &error), nullptr);
  EXPECT_EQ(status, kOpenHeadConnection);
  EXPECT_NE(std::string(error).find("Can't connect to display ':" + std::to_string(own) + ".0' (same port used by"),
            std::string::npos)
      << error;

  int unused = xvfbUnusedDisplayNumber();
  long long start = xvfbNowMs();
  EXPECT_EQ(open(":" + std::to_string(unused) + ".0", screen, &status, &error, 1500), nullptr);
  long long took = xvfbNowMs() - start;
  EXPECT_EQ(status, kOpenHeadConnection);
  EXPECT_GE(took, 1300);
  EXPECT_LT(took, 4000);
  EXPECT_EQ(mainServerDisplays, nullptr);
  EXPECT_EQ(mainOpenDisplayCount(), 0u);

  // With TCP off only the local form can connect.
  Head *head = open(std::string(hostName()) + prefix + ".0", screen, &status, &error);
  ASSERT_NE(head, nullptr) << error;
  EXPECT_NE(head->display, nullptr);
}

TEST_F(RealDisplay, CloseReopenKeyboardMapAndDrain) {
  int status;
  const char *error;
  MetaScreen *screen = xscreenNew();
  Head *head0 = open(prefix + ".0", screen, &status, &error);
  ASSERT_NE(head0, nullptr) << error;
  Head *head1 = open(prefix + ".1", screen, &status, &error);
  ASSERT_NE(head1, nullptr) << error;
  ServerDisplay *display = mainServerDisplays;
  const char *mapName = "a b;$(touch x).map";
  display->keyboardMapFile = strdup(mapName);
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);

  mainCloseServerDisplay(display, 0);
  EXPECT_EQ(head0->display, nullptr);
  EXPECT_EQ(head1->display, nullptr);
  EXPECT_EQ(mainOpenDisplayCount(), 0u);
  EXPECT_EQ(mainDrainOrder(), nullptr);
  ASSERT_EQ(mainOpenServerDisplay(display, &status), nullptr);
  EXPECT_EQ(head0->display, display->display);
  EXPECT_EQ(head1->display, display->display);
  mainCloseServerDisplay(display, 0);
  ASSERT_EQ(mainOpenServerDisplay(display, &status), nullptr);
  std::string expected = "-display\n" + prefix + ".0\n" + dir + "/etc/" + mapName + "\n---\n";
  std::string record = readFile(dir + "/record");
  EXPECT_EQ(record, expected + expected)
      << "the tool runs once per open with the map file as one argument";
  EXPECT_NE(access((dir + "/x").c_str(), F_OK), 0);
  EXPECT_NE(access("x", F_OK), 0);

  // Without TARVO_ETC the map file cannot be found: status 1, the display closed, not counted.
  mainCloseServerDisplay(display, 0);
  unsetenv("TARVO_ETC");
  const char *failure = mainOpenServerDisplay(display, &status);
  EXPECT_NE(failure, nullptr);
  EXPECT_EQ(status, kOpenHeadConnection);
  EXPECT_EQ(display->display, nullptr);
  EXPECT_EQ(mainOpenDisplayCount(), 0u);
  mainCloseServerDisplay(display, 0);  // nothing: already closed
  EXPECT_EQ(mainOpenDisplayCount(), 0u);
  setenv("TARVO_ETC", (dir + "/etc").c_str(), 1);
  ASSERT_EQ(mainOpenServerDisplay(display, &status), nullptr);
  EXPECT_EQ(mainOpenDisplayCount(), 1u);
  ASSERT_NE(mainDrainOrder(), nullptr);

  // Events that a round trip left in Xlib's queue are drained by the idle order.
  Display *xlib = display->display;
  XSelectInput(xlib, DefaultRootWindow(xlib), PropertyChangeMask);
  Atom atom = XInternAtom(xlib, "TARVO_TEST_DRAIN", False);
  XChangeProperty(xlib, DefaultRootWindow(xlib), atom, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char *>("x"), 1);
  XSync(xlib, False);
  ASSERT_GT(XEventsQueued(xlib, QueuedAlready), 0);
  ordersStep(0);
  EXPECT_EQ(XEventsQueued(xlib, QueuedAlready), 0);
  ASSERT_EQ(chdir(saved), 0);
}

// Heads of the three screens laid side by side by hand, in one meta screen each.
class RealDisplayLayout : public RealDisplay {
 protected:
  void SetUp() override {
    RealDisplay::SetUp();
    int status;
    const char *error;
    for (int i = 0; i < 3; i++) {
      screens[i] = xscreenNew();
      heads[i] = open(prefix + "." + std::to_string(i), screens[0], &status, &error);
      ASSERT_NE(heads[i], nullptr) << error;
    }
    heads[1]->rect.x = 800;
    heads[2]->rect.x = 1440;
  }
  MetaScreen *screens[3];
  Head *heads[3];
};

TEST_F(RealDisplayLayout, SizesFromTheHeadsAndTheirChecks) {
  MetaScreen *m = screens[0];
  uint32_t unionMM = uint32_t(xscreenHeadMmX(heads[2])) + heads[2]->widthMM;
  MetaScreenChange change{};
  change.mask = 0x2 | 0x4;
  change.width = 0;
  change.height = 0;
  ASSERT_EQ(xscreenApplyMetaChange(m, &change), nullptr);
  EXPECT_EQ(m->width, 1760u);
  EXPECT_EQ(m->height, 600u);
  EXPECT_EQ(std::llround(m->widthMM), int64_t(unionMM));
  EXPECT_EQ(std::llround(m->heightMM), int64_t(heads[0]->heightMM));
  change.width = -10;
  change.height = -10;
  ASSERT_EQ(xscreenApplyMetaChange(m, &change), nullptr);
  EXPECT_EQ(m->width, 3520u);
  EXPECT_EQ(m->height, 1200u);
  EXPECT_EQ(std::llround(m->widthMM), 2 * int64_t(unionMM));
  change.mask = 0x2;
  change.width = 1700;  // below head 2's right edge
  const char *error = xscreenApplyMetaChange(m, &change);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Screen " + std::string(heads[2]->name) +
                                    " has more pixels in width than the specified meta screen width 1700");
  EXPECT_EQ(m->width, 3520u) << "a failed change leaves the size";
}

TEST_F(RealDisplayLayout, PlacementsCyclesAndCrossing) {
  // Meta screen 0 holds all three heads; screens 1 and 2 are placed against it.
  MetaScreen *m0 = screens[0], *m1 = screens[1], *m2 = screens[2];
  MetaScreenChange size{};
  size.mask = 0x2 | 0x4;
  ASSERT_EQ(xscreenApplyMetaChange(m0, &size), nullptr);
  m1->widthMM = 100, m1->heightMM = 50;
  struct Side {
    uint32_t direction;
    double x, y;
  } sides[] = {{2, -100, 0}, {3, m0->widthMM, 0}, {4, 0, -50}, {5, 0, m0->heightMM}};
  for (const Side &side : sides) {
    MetaScreenChange change{};
    change.mask = 0x8 | 0x10;
    change.direction = side.direction;
    change.referenceIndex = 0;
    ASSERT_EQ(xscreenApplyMetaChange(m1, &change), nullptr);
    EXPECT_DOUBLE_EQ(m1->xMM, side.x) << side.direction;
    EXPECT_DOUBLE_EQ(m1->yMM, side.y) << side.direction;
  }
  MetaScreenChange diagonal{};
  diagonal.mask = 0x8;
  diagonal.direction = 6;
  const char *error = xscreenApplyMetaChange(m1, &diagonal);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Invalid direction 6 for screen 1");
  EXPECT_EQ(m1->direction, 5u);

  // A two-screen cycle fails, and the runtime change leaves the old placement.
  MetaScreenChange east{};
  east.mask = 0x8 | 0x10;
  east.direction = 3;
  east.referenceIndex = 1;
  ASSERT_EQ(xscreenApplyMetaChange(m2, &east), nullptr);
  double oldX = m1->xMM, oldY = m1->yMM;
  MetaScreenChange back{};
  back.mask = 0x8 | 0x10;
  back.direction = 2;
  back.referenceIndex = 2;
  error = xscreenApplyMetaChange(m1, &back);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("Cyclic relative positioning of screen"), std::string::npos) << error;
  EXPECT_EQ(m1->direction, 5u);
  EXPECT_EQ(m1->referenceIndex, 0);
  EXPECT_DOUBLE_EQ(m1->xMM, oldX);
  EXPECT_DOUBLE_EQ(m1->yMM, oldY);

  // Crossing: leaving head 0 at its right edge at 100 mm lands on head 1 at 100 mm.
  for (Head *h : heads) mainUpdateHeadTransform(h);
  HeadPointerArea &from = heads[0]->pointerArea;
  from.pointerX = from.x + from.width - 1;
  from.pointerY = 100 * 10000;
  uint32_t best = kPointerUnreachable;
  Head *winner = nullptr;
  for (MetaScreen *m = xscreenFirst(); m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) {
      uint32_t result = xpointerCross(&from, &h->pointerArea);
      if (result < best) best = result, winner = h;
    }
  ASSERT_EQ(winner, heads[1]);
  EXPECT_EQ(heads[1]->pointerArea.destinationY, 100 * 10000);
  int x, y;
  xpointerToPixels(&heads[1]->pointerArea, heads[1]->display, 1, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, int(std::lround(100.0 * 480 / heads[1]->heightMM)));
}

TEST(MetaScreenConfigured, SelfReferencesAndCyclesFailAtOnce) {
  struct Case {
    std::vector<const char *> arguments;
    int failing;  // index of the meta screen whose change fails
  } cases[] = {
      {{"metaScreen", "solo", "direction", "east"}, 0},
      {{"metaScreen", "left", "metaScreen", "right", "eastOf", "right"}, 1},
      {{"metaScreen", "a", "westOf", "b", "metaScreen", "b", "eastOf", "a"}, 1},
  };
  for (const Case &c : cases) {
    korvanInitDefaults(&configRecord);
    const char *parse = korvanParseCommandLine(int(c.arguments.size()), c.arguments.data(), 0);
    if (parse) {
      ADD_FAILURE() << parse;
      continue;
    }
    const char *error = nullptr;
    int failed = -1, index = 0;
    for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next) xscreenNew();
    for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next, index++) {
      MetaScreen *screen = xscreenFindByIndex(config->index);
      MetaScreenChange change = xscreenChangeFromConfig(config);
      if ((error = xscreenApplyMetaChange(screen, &change))) {
        failed = index;
        break;
      }
    }
    EXPECT_EQ(failed, c.failing) << c.arguments[1];
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find("Cyclic relative positioning of "), std::string::npos) << error;
    xscreenFreeAll();
  }
  korvanInitDefaults(&configRecord);
}

}  // namespace
