// Real GL programs through tarvo with its one head served by the system's GL library ("lumora
// on"), the programs' GL library indirect: glxinfo names the library's renderer, tarvo's own GLX
// extension and the library's limits; glxgears runs without an X error and its gears show in
// their colours in the window's pixels on Xvfb itself. An xcb-glx client reads back a cleared
// window with GLXReadPixels, also after a client's pack row length that the read-back must not
// use, and a raw client in 'B' order gets the float items in its own byte order. The library
// opened anew after its last context and set up again after a reset still draws.
#include <gtest/gtest.h>
#include <unistd.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <X11/Xlib.h>

#include <bit>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "glx_fixture.h"
#include "glxcommands.h"
#include "glxinfo_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xclient/xutilh.h"
#include "xvfb_fixture.h"

namespace {

class LumoraApps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens = {"800x600x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    TarvoOptions options;
    options.arguments = {"screen", "%D.0", "lumora", "on"};
    options.logTypes = {"steps", "Xhints"};
    options.noReset = noReset();
    // Mesa's driver keeps a little memory per closed Display: no leak detection in tarvo.
    const char *asan = getenv("ASAN_OPTIONS");
    options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  }
  virtual bool noReset() const { return true; }
  // tarvo ends cleanly (a sanitizer's report at exit shows in its status).
  void TearDown() override { EXPECT_EQ(tarvo.stop(), 0) << tarvo.output(); }
  // The shell command's output (stderr included) against tarvo, the GL library indirect, then
  // "exit=<status>".
  std::string run(const std::string &command) const {
    return glxinfoCommandOutput("DISPLAY='" + tarvo.displayName() + "' LIBGL_ALWAYS_INDIRECT=1 " + command +
                                " 2>&1; echo \"exit=$?\"");
  }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

// The text of glxinfo's section that starts at the line beginning with `title` (up to the next
// line that does not start with a blank), "" without one.
std::string section(const std::string &text, const std::string &title) {
  size_t at = text.find("\n" + title);
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at + 1);
  while (end != std::string::npos && end + 1 < text.size() && text[end + 1] == ' ') end = text.find('\n', end + 1);
  return text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

TEST_F(LumoraApps, GlxinfoShowsTheLibrary) {
  std::string out = run("timeout 60 glxinfo");
  ASSERT_NE(out.find("\nexit=0"), std::string::npos) << out << tarvo.log();
  EXPECT_EQ(out.find("X Error"), std::string::npos) << out;
  EXPECT_NE(out.find("OpenGL renderer string: llvmpipe"), std::string::npos) << out;
  // Among the server's GLX extensions, not the client's.
  std::string server = section(out, "server glx extensions:");
  EXPECT_NE(server.find("GLX_MWT_Lumora"), std::string::npos) << server;
  EXPECT_EQ(section(out, "client glx extensions:").find("GLX_MWT_Lumora"), std::string::npos);

  std::string limits = run("timeout 60 glxinfo -l");
  ASSERT_NE(limits.find("\nexit=0"), std::string::npos) << limits;
  EXPECT_NE(limits.find("GL_MAX_TEXTURE_SIZE = 16384"), std::string::npos) << limits;
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

// The window named `name` under `window` on the display (0 when none), depth first.
Window windowNamed(Display *display, Window window, const std::string &name) {
  char *own = nullptr;
  bool match = XFetchName(display, window, &own) && own && name == own;
  if (own) XFree(own);
  if (match) return window;
  Window root, parent, *children = nullptr, found = 0;
  unsigned count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return 0;
  for (unsigned k = 0; k < count && !found; k++) found = windowNamed(display, children[k], name);
  if (children) XFree(children);
  return found;
}

struct GearPixels {
  int red = 0, green = 0, blue = 0, other = 0;
  std::string error;
};

// The pixels of glxgears' window read on Xvfb itself, sorted by the colour that clearly
// dominates (lit gears: red 0.8,0.1,0; green 0,0.8,0.2; blue 0.2,0.2,1).
GearPixels gearPixels(const std::string &xvfbDisplay) {
  GearPixels out;
  Display *display = XOpenDisplay(xvfbDisplay.c_str());
  if (!display) {
    out.error = "cannot open " + xvfbDisplay;
    return out;
  }
  Window window = windowNamed(display, DefaultRootWindow(display), "glxgears");
  XWindowAttributes attributes{};
  XImage *image = nullptr;
  if (!window)
    out.error = "no window named glxgears on Xvfb";
  else if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable)
    out.error = "glxgears' window is not viewable";
  else if (!(image = XGetImage(display, window, 0, 0, unsigned(attributes.width), unsigned(attributes.height),
                                AllPlanes, ZPixmap)))
    out.error = "XGetImage failed";
  for (int y = 0; image && y < attributes.height; y++)
    for (int x = 0; x < attributes.width; x++) {
      unsigned long p = XGetPixel(image, x, y);
      int r = int(p >> 16 & 0xFF), g = int(p >> 8 & 0xFF), b = int(p & 0xFF);
      if (r > 40 && r > 2 * g && r > 2 * b)
        out.red++;
      else if (g > 40 && g > 2 * r && g > b)
        out.green++;
      else if (b > 40 && b > 2 * r && b > 2 * g)
        out.blue++;
      else if (p & 0xFFFFFF)
        out.other++;
    }
  if (image) XDestroyImage(image);
  XCloseDisplay(display);
  return out;
}

TEST_F(LumoraApps, GlxgearsDrawsItsGears) {
  // glxgears runs 4 s in the background; its window is read from Xvfb after 3 s.
  FILE *pipe = popen(("DISPLAY='" + tarvo.displayName() +
                      "' LIBGL_ALWAYS_INDIRECT=1 timeout -s INT 4 glxgears -geometry 300x300+0+0 2>&1")
                         .c_str(),
                     "r");
  ASSERT_NE(pipe, nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  GearPixels pixels = gearPixels(xvfb.displayName());
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);

  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  ASSERT_EQ(pixels.error, "") << out << tarvo.log();
  // Each gear covers thousands of pixels of the 300x300 window; its lit faces vary in shade.
  EXPECT_GT(pixels.red, 500) << "green " << pixels.green << " blue " << pixels.blue << " other " << pixels.other;
  EXPECT_GT(pixels.green, 500) << "red " << pixels.red << " blue " << pixels.blue << " other " << pixels.other;
  EXPECT_GT(pixels.blue, 500) << "red " << pixels.red << " green " << pixels.green << " other " << pixels.other;
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

// GLXReadPixels of the 2x2 square at the origin as RGBA bytes (empty on an error).
std::vector<uint8_t> readPixels(xcb_connection_t *c, uint32_t tag) {
  constexpr uint32_t kRgba = 0x1908, kUnsignedByte = 0x1401;  // GL_RGBA, GL_UNSIGNED_BYTE
  std::vector<uint8_t> out;
  auto *reply = xcb_glx_read_pixels_reply(c, xcb_glx_read_pixels(c, tag, 0, 0, 2, 2, kRgba, kUnsignedByte, 0, 0),
                                          nullptr);
  if (!reply) return out;
  const uint8_t *data = xcb_glx_read_pixels_data(reply);
  out.assign(data, data + xcb_glx_read_pixels_data_length(reply));
  free(reply);
  return out;
}

// A 16x16 window of the visual at the origin with a new context current on it: the tag (0 on
// a failure, which the test's own checks show).
uint32_t currentOnNewWindow(xcb_connection_t *c, uint32_t visual, uint32_t *context) {
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_colormap_t colormap = xcb_generate_id(c);
  xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
  xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {0, 0, 1, colormap};  // background, border, override-redirect, colormap
  xcb_create_window(c, 24, window, screen->root, 0, 0, 16, 16, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP, values);
  xcb_map_window(c, window);
  *context = xcb_generate_id(c);
  xcb_generic_error_t *error = xcb_request_check(c, xcb_glx_create_context_checked(c, *context, visual, 0, 0, 0));
  EXPECT_EQ(error, nullptr) << "CreateContext: " << int(error->error_code);
  if (error) {
    free(error);
    return 0;
  }
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, *context, 0), &error);
  EXPECT_NE(current, nullptr) << "MakeCurrent: " << int(error->error_code);
  free(error);
  uint32_t tag = current ? current->context_tag : 0;
  free(current);
  return tag;
}

// Clears with the colour (alpha 1) by a GLXRender.
void clear(xcb_connection_t *c, uint32_t tag, float red, float green, float blue) {
  GlxBytes stream = glxcommandStream({glxcommandClearColor(red, green, blue, 1), glxcommandClear(0x4000)}, false);
  xcb_glx_render(c, tag, uint32_t(stream.size()), stream.data());
}

// Four RGBA byte pixels of the one colour.
std::vector<uint8_t> four(uint8_t red, uint8_t green, uint8_t blue) {
  std::vector<uint8_t> out;
  for (int k = 0; k < 4; k++) out.insert(out.end(), {red, green, blue, 255});
  return out;
}

TEST_F(LumoraApps, ReadPixelsAfterAClear) {
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  uint32_t visual = glxSingleBufferedVisual(c), context = 0;
  ASSERT_NE(visual, 0u);
  uint32_t tag = currentOnNewWindow(c, visual, &context);
  ASSERT_NE(tag, 0u);
  clear(c, tag, 1, 0.5f, 0);
  EXPECT_EQ(readPixels(c, tag), four(255, 128, 0));
  // A row length the client set for its own packing: the answer is still the 2x2 square.
  constexpr uint32_t kPackRowLength = 0x0D02;  // GL_PACK_ROW_LENGTH
  xcb_glx_pixel_storei(c, tag, kPackRowLength, 4096);
  EXPECT_EQ(readPixels(c, tag), four(255, 128, 0));
  xcb_disconnect(c);
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

// tarvo that resets (SIGHUP, or the last client gone).
class LumoraAppsResetting : public LumoraApps {
 protected:
  bool noReset() const override { return false; }
};

// How often text occurs in tarvo's log.
int occurrences(const std::string &log, const std::string &text) {
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) count++;
  return count;
}

// The last context of the library gone, the library is opened anew and another client draws
// with it; after a SIGHUP reset a new client draws again, and tarvo ends cleanly.
TEST_F(LumoraAppsResetting, LastContextGoneThenAnotherDraws) {
  xcb_connection_t *a = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(a));
  uint32_t visual = glxSingleBufferedVisual(a), context = 0;
  ASSERT_NE(visual, 0u);
  uint32_t tag = currentOnNewWindow(a, visual, &context);
  ASSERT_NE(tag, 0u);
  clear(a, tag, 0, 1, 0);
  EXPECT_EQ(readPixels(a, tag), four(0, 255, 0));
  free(xcb_glx_make_current_reply(a, xcb_glx_make_current(a, 0, 0, tag), nullptr));
  xcb_generic_error_t *error = xcb_request_check(a, xcb_glx_destroy_context_checked(a, context));
  EXPECT_EQ(error, nullptr);
  free(error);
  EXPECT_TRUE(tarvo.waitForLog("reopening GL lib", 5000)) << tarvo.log();

  // A stays connected: its leaving alone would reset tarvo.
  xcb_connection_t *b = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(b));
  tag = currentOnNewWindow(b, visual, &context);
  ASSERT_NE(tag, 0u);
  clear(b, tag, 0, 0, 1);
  EXPECT_EQ(readPixels(b, tag), four(0, 0, 255));

  tarvo.signal(SIGHUP);
  EXPECT_TRUE(tarvo.waitForLog("Resetting X proxy", 5000)) << tarvo.log();
  xcb_disconnect(a);
  xcb_disconnect(b);
  // The library set up again after the reset's delay.
  for (int k = 0; k < 80 && occurrences(tarvo.log(), "Lumora enabled at") < 2; k++)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(occurrences(tarvo.log(), "Lumora enabled at"), 2) << tarvo.log();
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  visual = glxSingleBufferedVisual(c);
  tag = currentOnNewWindow(c, visual, &context);
  ASSERT_NE(tag, 0u);
  clear(c, tag, 1, 0, 0);
  EXPECT_EQ(readPixels(c, tag), four(255, 0, 0));
  xcb_disconnect(c);
  // TearDown's stop: SIGTERM, status 0.
}

TEST_F(LumoraApps, ReadPixelsInTheClientsByteOrder) {
  xcb_connection_t *probe = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(probe));
  uint32_t visual = glxSingleBufferedVisual(probe);
  xcb_disconnect(probe);
  ASSERT_NE(visual, 0u);

  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t colormap = raw.idBase() | 1, window = raw.idBase() | 2, context = raw.idBase() | 3;
  RawBytes answer;
  ASSERT_EQ(raw.send(RawRequest(true).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done()), "");
  // CreateWindow 16x16, depth 24: back pixel, border pixel, override-redirect, colormap.
  ASSERT_EQ(raw.send(RawRequest(true)
                         .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(16).s(16).s(0).s(1)
                         .i(visual).i(0x0002 | 0x0008 | 0x0200 | 0x2000)
                         .i(0).i(0).i(1).i(colormap)
                         .done()),
            "");
  ASSERT_EQ(raw.send(RawRequest(true).b(8).b(0).s(0).i(window).done()), "");
  ASSERT_EQ(raw.send(RawRequest(true).b(major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(window).i(context).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  uint32_t tag = rawGet32(answer, 8, true);
  ASSERT_NE(tag, 0u);
  ASSERT_EQ(raw.send(glxcommandRenderRequest(
                major, tag, {glxcommandClearColor(1, 0.5f, 0, 1), glxcommandClear(0x4000)}, true)),
            "");
  // ReadPixels (single 111) of 2x2 as GL_RGBA GL_FLOAT, swap-bytes and lsb-first off.
  ASSERT_EQ(raw.roundTrip(RawRequest(true)
                              .b(major).b(111).s(0).i(tag).i(0).i(0).i(2).i(2).i(0x1908).i(0x1406).b(0).b(0).pad(2)
                              .done(),
                          answer),
            "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answer.size(), 32u + 4 * 16);
  // Each item a big-endian float: 1, 128/255 (the 8-bit green), 0, 1.
  const float want[4] = {1, 128.0f / 255, 0, 1};
  for (int k = 0; k < 16; k++)
    EXPECT_FLOAT_EQ(std::bit_cast<float>(rawGet32(answer, 32 + 4 * size_t(k), true)), want[k % 4]) << "item " << k;
  raw.close();
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

}  // namespace
