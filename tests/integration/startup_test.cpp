// Start-up against Xvfb: the proxy's setup reply as real clients read it (python3-xlib's
// protocol-level display, libxcb, a raw client of the other byte order), the id layout with
// several heads, meta screens whose heads differ in depth, and the proxy's windows on the heads.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../unit/setupdecoder.h"
#include "loop_fixture.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "startup_fixture.h"

namespace {

// Prints what python3-xlib reads from a setup reply, one item a line.
const char *kSetupScript = R"PY(
from Xlib.protocol import display
class Bare(display.Display):
    resource_classes = {}
d = Bare()
i = d.info
print('ids', i.resource_id_base, i.resource_id_mask)
print('keys', i.min_keycode, i.max_keycode)
for f in i.pixmap_formats:
    print('format', f.depth, f.bits_per_pixel, f.scanline_pad)
for s in i.roots:
    print('screen', s.width_in_pixels, s.height_in_pixels, s.root_depth, s.root_visual)
    for g in s.allowed_depths:
        print('depth', g.depth, len(g.visuals))
        for v in g.visuals:
            print('visual', v.visual_id, g.depth, v.visual_class, v.bits_per_rgb_value, v.colormap_entries,
                  v.red_mask, v.green_mask, v.blue_mask)
)PY";

std::vector<std::vector<std::string>> lines(const std::string &text) {
  std::vector<std::vector<std::string>> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string w; words >> w;) row.push_back(w);
    if (!row.empty()) out.push_back(row);
  }
  return out;
}

std::vector<std::vector<std::string>> rowsOf(const std::vector<std::vector<std::string>> &all, const std::string &kind) {
  std::vector<std::vector<std::string>> out;
  for (const auto &row : all)
    if (row[0] == kind) out.push_back(row);
  return out;
}

// A visual's description without its id.
std::vector<std::string> withoutId(std::vector<std::string> row) {
  row.erase(row.begin() + 1);
  return row;
}

StartupOptions screens(std::vector<std::string> list, bool iglx = false) {
  StartupOptions options;
  options.xvfb.screens = std::move(list);
  options.xvfb.iglx = iglx;
  return options;
}

TEST(Startup, OneHeadAsPythonXlibXcbAndAnMsbClientSeeIt) {
  StartupProxy proxy;
  ASSERT_EQ(proxy.start(screens({"1024x768x24"}, true)), "");
  std::string viaProxy, direct;
  ASSERT_EQ(proxy.run({"/usr/bin/python3", "-c", kSetupScript}, &viaProxy), 0) << viaProxy;
  ASSERT_EQ(proxy.run({"/usr/bin/python3", "-c", kSetupScript}, &direct, 20000, proxy.xvfb().displayName()), 0);
  auto mine = lines(viaProxy), real = lines(direct);

  ASSERT_EQ(rowsOf(mine, "ids").size(), 1u);
  uint32_t base = uint32_t(std::stoul(rowsOf(mine, "ids")[0][1]));
  // Xvfb's 21 bits less the one that numbers the head and the proxy's own ids beside it.
  EXPECT_EQ(rowsOf(mine, "ids")[0][2], std::to_string(0xfffff));
  EXPECT_NE(base, 0u);
  EXPECT_EQ(base & 0xfffff, 0u);
  EXPECT_EQ(rowsOf(mine, "keys")[0], (std::vector<std::string>{"keys", "8", "255"}));
  EXPECT_EQ(rowsOf(mine, "format"), rowsOf(real, "format"));
  auto screenRows = rowsOf(mine, "screen");
  ASSERT_EQ(screenRows.size(), 1u);
  EXPECT_EQ(screenRows[0][1], "1024");
  EXPECT_EQ(screenRows[0][2], "768");
  EXPECT_EQ(screenRows[0][3], "24");
  auto depths = rowsOf(mine, "depth");
  ASSERT_FALSE(depths.empty());
  EXPECT_EQ(depths[0], (std::vector<std::string>{"depth", "1", "0"}));

  // Every visual of Xvfb, under a new id of its own.
  std::multiset<std::vector<std::string>> ours, theirs;
  std::set<std::string> ourIds, theirIds;
  bool rootVisualListed = false;
  for (const auto &row : rowsOf(mine, "visual")) {
    ours.insert(withoutId(row));
    EXPECT_TRUE(ourIds.insert(row[1]).second) << row[1];
    rootVisualListed = rootVisualListed || row[1] == screenRows[0][4];
  }
  for (const auto &row : rowsOf(real, "visual")) theirs.insert(withoutId(row)), theirIds.insert(row[1]);
  EXPECT_EQ(ours, theirs);
  EXPECT_TRUE(rootVisualListed);

  // The slot's base: the client index shifted by 20.
  EXPECT_EQ(base >> 20 << 20, base);

  // libxcb: no connection error, and every screen, depth and visual can be walked. xcb_connect
  // waits for the setup reply, so it runs in a thread of its own while the loop goes on here.
  std::atomic<bool> walked{false};
  int xcbError = -1;
  uint32_t xcbMask = 0;
  size_t xcbVisuals = 0, xcbScreens = 0;
  std::vector<int> xcbWidths;
  std::thread walker([&] {
    xcb_connection_t *c = xcb_connect(proxy.displayName().c_str(), nullptr);
    xcbError = xcb_connection_has_error(c);
    if (const xcb_setup_t *setup = xcbError ? nullptr : xcb_get_setup(c)) {
      xcbMask = setup->resource_id_mask;
      for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s)) {
        xcbScreens++;
        xcbWidths.push_back(s.data->width_in_pixels);
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d))
          for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) xcbVisuals++;
      }
    }
    xcb_disconnect(c);
    walked = true;
  });
  bool done = proxy.runUntil([&] { return walked.load(); }, 20000);
  walker.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(xcbError, 0);
  EXPECT_EQ(xcbMask, 0xfffffu);
  EXPECT_EQ(xcbScreens, 1u);
  EXPECT_EQ(xcbWidths, std::vector<int>{1024});
  EXPECT_EQ(xcbVisuals, ours.size());

  // A client that sends most significant byte first reads the same values but the base.
  RawClient msb;
  ASSERT_EQ(proxy.connect(msb, 'B'), "");
  SetupInfo info = decode(msb.setup(), true);
  EXPECT_EQ(info.success, 1);
  EXPECT_TRUE(info.zeroPads);
  EXPECT_EQ(info.mask, 0xfffffu);
  EXPECT_EQ(info.base >> 20 << 20, info.base);
  EXPECT_EQ(info.minKey, 8);
  EXPECT_EQ(info.maxKey, 255);
  ASSERT_EQ(info.screens.size(), 1u);
  EXPECT_EQ(info.screens[0].width, 1024);
  EXPECT_EQ(info.screens[0].height, 768);
  EXPECT_EQ(std::to_string(info.screens[0].rootVisual), screenRows[0][4]);
  std::multiset<std::vector<std::string>> decoded;
  for (const DepthInfo &g : info.screens[0].depths)
    for (const VisualType &v : g.visuals)
      decoded.insert({"visual", std::to_string(g.depth), std::to_string(v.visualClass), std::to_string(v.bitsPerRgb),
                      std::to_string(v.entries), std::to_string(v.red), std::to_string(v.green),
                      std::to_string(v.blue)});
  EXPECT_EQ(decoded, ours);
}

}  // namespace

namespace {

// The id mask the proxy's setup announces, read by a raw client.
uint32_t announcedMask(StartupProxy &proxy) {
  RawClient client;
  if (!proxy.connect(client, 'l').empty()) return 0;
  return decode(client.setup(), false).mask;
}

TEST(Startup, SeveralHeadsOfOneDisplayNarrowTheIdMask) {
  struct Case {
    std::vector<std::string> screens;
    uint32_t mask;
  } cases[] = {
      // Head numbers for the heads and one more (the proxy's own ids on the raw connections).
      {{"640x480x24", "640x480x24"}, 0x7ffff},
      {{"640x480x24", "640x480x24", "320x200x24"}, 0x7ffff},
      {{"640x480x24", "640x480x24", "320x200x24", "320x200x24"}, 0x3ffff},
  };
  for (const Case &c : cases) {
    StartupProxy proxy;
    ASSERT_EQ(proxy.start(screens(c.screens)), "");
    ASSERT_NE(xscreenFirst(), nullptr);
    EXPECT_EQ(xscreenFirst()->headCount, c.screens.size());
    EXPECT_EQ(xscreenFirst()->next, nullptr);
    EXPECT_EQ(announcedMask(proxy), c.mask);
  }
}

TEST(Startup, DepthsEightAndTwentyFourInOneMetaScreen) {
  {
    StartupProxy proxy;
    std::string error = proxy.start(screens({"640x480x8", "640x480x24"}));
    EXPECT_EQ(error.rfind("No visuals left after adjusting - ", 0), 0u) << error;
  }
  StartupProxy proxy;
  StartupOptions options = screens({"640x480x8", "640x480x24"});
  options.statements = {"screen", "a", "display", "%D.0", "screen", "b", "display", "%D.1", "emulateVisuals",
                        "PseudoColor8"};
  ASSERT_EQ(proxy.start(options), "");
  MetaScreen *screen = xscreenFirst();
  ASSERT_NE(screen, nullptr);
  ASSERT_NE(screen->rootVisual, nullptr);
  EXPECT_EQ(screen->rootVisual->visualClass, PseudoColor);
  EXPECT_EQ(screen->rootVisual->depth, 8);
  EXPECT_EQ(screen->rootVisual->colormapEntries, 256);
  bool noVisual = false;
  for (const std::string &line : loopLogLines())
    noVisual = noVisual || (line.rfind("No ", 0) == 0 && line.find(" at ") != std::string::npos);
  EXPECT_TRUE(noVisual);
  Head *first = screen->heads;
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->next, nullptr);
  EXPECT_EQ(first->shadowColormap, first->defaultColormap);
  EXPECT_TRUE(loopLogged("Creating default colormap on " + std::string(first->next->name) + " (emulation)..."));
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  SetupInfo info = decode(client.setup(), false);
  ASSERT_EQ(info.screens.size(), 1u);
  EXPECT_EQ(info.screens[0].rootDepth, 8);
}

}  // namespace

namespace {

TEST(Startup, ProxyWindowsOnEveryHeadAndTheFocus) {
  StartupProxy proxy;
  StartupOptions options = screens({"640x480x24", "320x200x24"});
  options.rootProperties = {{0, "TARVO_TEST_MARK", "first"}, {1, "TARVO_TEST_MARK", "second"}};
  ASSERT_EQ(proxy.start(options), "");
  std::string tree;
  ASSERT_EQ(proxy.run({"xwininfo", "-root", "-tree"}, &tree, 20000, proxy.xvfb().displayName()), 0);
  const std::string name = "\"Wrong configuration! See the manual of ";
  size_t outerCount = 0;
  for (size_t at = 0; (at = tree.find(name, at)) != std::string::npos; at++) outerCount++;
  EXPECT_EQ(outerCount, 1u) << tree;  // xwininfo -root shows the first screen
  int screenIndex = 0;
  for (Head *h = xscreenFirst()->heads; h; h = h->next, screenIndex++) {
    Display *d = h->display;
    ASSERT_NE(d, nullptr);
    char *windowName = nullptr;
    ASSERT_TRUE(XFetchName(d, h->outerWindow, &windowName));
    EXPECT_EQ(std::string(windowName).rfind(name.substr(1), 0), 0u) << windowName;
    XFree(windowName);
    std::string hex = "0x" + [](unsigned long v) {
      char text[32];
      snprintf(text, sizeof text, "%lx", v);
      return std::string(text);
    }(h->outerWindow);
    std::string headTree;
    ASSERT_EQ(proxy.run({"xwininfo", "-tree", "-id", hex}, &headTree, 20000, proxy.xvfb().displayName()), 0);
    EXPECT_NE(headTree.find(name), std::string::npos) << headTree;
    EXPECT_NE(headTree.find("1 child"), std::string::npos) << headTree;

    // Outer on the real root around the head, middle at the border, inner at the head's place
    // in the meta screen.
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    ASSERT_TRUE(XQueryTree(d, h->middleWindow, &root, &parent, &children, &count));
    if (children) XFree(children);
    EXPECT_EQ(parent, h->outerWindow);
    ASSERT_TRUE(XQueryTree(d, h->innerWindow, &root, &parent, &children, &count));
    if (children) XFree(children);
    EXPECT_EQ(parent, h->middleWindow);
    int x, y;
    unsigned width, height, border, depth;
    XGetGeometry(d, h->outerWindow, &root, &x, &y, &width, &height, &border, &depth);
    EXPECT_EQ(root, RootWindow(d, h->screen));
    EXPECT_EQ(x, h->logical.x - int(h->border));
    EXPECT_EQ(width, h->logical.width + 2 * h->border);
    XGetGeometry(d, h->middleWindow, &root, &x, &y, &width, &height, &border, &depth);
    EXPECT_EQ(x, int(h->border));
    EXPECT_EQ(y, int(h->border));
    EXPECT_EQ(width, h->logical.width);
    XGetGeometry(d, h->innerWindow, &root, &x, &y, &width, &height, &border, &depth);
    EXPECT_EQ(x, -h->rect.x);
    EXPECT_EQ(y, -h->rect.y);
    EXPECT_EQ(width, xscreenFirst()->width);

    std::string property;
    ASSERT_EQ(proxy.run({"xprop", "-id", std::to_string(h->innerWindow), "TARVO_TEST_MARK"}, &property, 20000,
                        proxy.xvfb().displayName()),
              0);
    EXPECT_NE(property.find(screenIndex == 0 ? "\"first\"" : "\"second\""), std::string::npos) << property;
  }

  // The focus: PointerRoot on the real server and in the proxy's state. (xdpyinfo through the
  // proxy needs requests that are not served yet.)
  EXPECT_EQ(proxyState.focusWindow, 1u);
  Window focus;
  int revert;
  XGetInputFocus(mainServerDisplays->display, &focus, &revert);
  EXPECT_EQ(focus, Window(PointerRoot));
}

}  // namespace
