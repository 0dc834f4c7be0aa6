// Real GL programs through tarvo with its one head served by the system's GL library ("lumora
// on"), the programs' GL library indirect: glxinfo names the library's renderer, tarvo's own GLX
// extension and the library's limits; glxgears runs without an X error and its gears show in
// their colours in the window's pixels on Xvfb itself (on a head forwarded to Xvfb's indirect
// GLX the window stays black). An xcb-glx client reads back a cleared window with GLXReadPixels,
// also after a client's pack row length that the read-back must not use, and a raw client in
// 'B' order gets the float items in its own byte order. Texture images, texture-object vendor
// codes, display lists, select and feedback modes of two clients at once, and a GLSL program
// built from vendor codes answer as the library drew. The GLX extensions offered are the ones
// the proxy serves, and server strings the library does not know are refused as Xvfb does. The library opened anew after its last
// context and set up again after a reset still draws.
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
#include <map>
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
    x.screens.assign(size_t(heads()), "800x600x24");
    x.extraArguments = {"-nolisten", "tcp"};
    x.iglx = indirectHead();
    ASSERT_EQ(xvfb.start(x), "");
    TarvoOptions options;
    options.arguments = {"screen", "%D.0"};
    if (!indirectHead()) options.arguments.insert(options.arguments.end(), {"lumora", "on"});
    if (heads() > 1) options.arguments.insert(options.arguments.end(), {"tags", "anyScreen"});
    options.logTypes = {"steps", "Xhints"};
    options.noReset = noReset();
    // Mesa's driver keeps a little memory per closed Display: no leak detection in tarvo.
    const char *asan = getenv("ASAN_OPTIONS");
    options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  }
  virtual bool noReset() const { return true; }
  // The screens of the display, each a head of tarvo's meta screen.
  virtual int heads() const { return 1; }
  // The head's GL forwarded to Xvfb's own indirect GLX instead of the library inside tarvo.
  virtual bool indirectHead() const { return false; }
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

// A GLX QueryServerString of screen 0 by a raw client: the string, or "error <code> value <v>".
std::string queryServerString(RawClient &c, uint8_t major, uint32_t name) {
  RawBytes answer;
  if (!c.roundTrip(RawRequest(c.big()).b(major).b(19).s(0).i(0).i(name).done(), answer).empty()) return "no answer";
  if (answer[0] == 0) return "error " + std::to_string(answer[1]) + " value " + std::to_string(rawGet32(answer, 4, c.big()));
  size_t length = rawGet32(answer, 12, c.big());
  std::string text(answer.begin() + 32, answer.begin() + 32 + std::min(length, answer.size() - 32));
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// glxinfo -B shows no renderer queries (the extension is not offered: the client would query
// a server that cannot answer); every GLX extension offered but the proxy's own is one a real
// server names too; a name the library does not know is refused with the real server's error,
// for clients of both byte orders.
TEST_F(LumoraApps, ServerStringsAreTheOnesServed) {
  std::string brief = run("timeout 60 glxinfo -B");
  ASSERT_NE(brief.find("\nexit=0"), std::string::npos) << brief;
  EXPECT_EQ(brief.find("(null)"), std::string::npos) << brief;
  EXPECT_EQ(brief.find("GLX_MESA_query_renderer"), std::string::npos) << brief;

  RawClient real;
  ASSERT_EQ(real.connect(xvfb.displayNumber(), 'l'), "");
  uint8_t realMajor = real.queryExtension("GLX");
  ASSERT_NE(realMajor, 0);
  std::string realWords = " " + queryServerString(real, realMajor, 3) + " ";
  for (char order : {'l', 'B'}) {
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("GLX");
    ASSERT_NE(major, 0);
    std::string offered = queryServerString(c, major, 3);
    ASSERT_NE(offered.find("GLX_MWT_Lumora"), std::string::npos) << offered;
    for (size_t at = 0; at < offered.size();) {
      size_t end = std::min(offered.find(' ', at), offered.size());
      std::string word = offered.substr(at, end - at);
      if (!word.empty() && word != "GLX_MWT_Lumora") {
        EXPECT_NE(realWords.find(" " + word + " "), std::string::npos) << word << " of " << offered;
      }
      at = end + 1;
    }
    for (uint32_t name : {0u, 4u, 99u})
      EXPECT_EQ(queryServerString(c, major, name), queryServerString(real, realMajor, name)) << order << " " << name;
  }
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

// glxgears run through tarvo for `seconds` (its GL library indirect), its window read from Xvfb
// a second before it ends (or as soon after as it is mapped): its output, and the pixels in
// *pixels.
std::string runGears(const std::string &tarvoDisplay, const std::string &xvfbDisplay, int seconds,
                     GearPixels *pixels) {
  FILE *pipe = popen(("DISPLAY='" + tarvoDisplay + "' LIBGL_ALWAYS_INDIRECT=1 timeout -s INT " +
                      std::to_string(seconds) + " glxgears -geometry 300x300+0+0 2>&1")
                         .c_str(),
                     "r");
  if (!pipe) return "popen failed";
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds - 1));
  // A slow machine may map the window late: read again until shortly before the end.
  while ((*pixels = gearPixels(xvfbDisplay)).error != "" &&
         std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1000 * seconds - 300))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// glxgears through tarvo on the Xvfb behind it: no error, and each gear covers thousands of
// pixels of the 300x300 window (its lit faces vary in shade).
template <typename Tarvo>
void expectGearsDrawn(const Tarvo &tarvo, const std::string &real) {
  GearPixels pixels;
  std::string out = runGears(tarvo.displayName(), real, 4, &pixels);
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  ASSERT_EQ(pixels.error, "") << out << tarvo.log();
  EXPECT_GT(pixels.red, 500) << "green " << pixels.green << " blue " << pixels.blue << " other " << pixels.other;
  EXPECT_GT(pixels.green, 500) << "red " << pixels.red << " blue " << pixels.blue << " other " << pixels.other;
  EXPECT_GT(pixels.blue, 500) << "red " << pixels.red << " green " << pixels.green << " other " << pixels.other;
}

TEST_F(LumoraApps, GlxgearsDrawsItsGears) {
  expectGearsDrawn(tarvo, xvfb.displayName());
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

// Two heads served by the library (gears are display lists, replayed by tarvo): glxgears draws
// its gears and glxinfo shows the library.
class LumoraAppsTwoHeads : public LumoraApps {
 protected:
  int heads() const override { return 2; }
};

TEST_F(LumoraAppsTwoHeads, GlxgearsAndGlxinfoRunOnTwoHeads) {
  expectGearsDrawn(tarvo, xvfb.displayName());
  std::string info = run("glxinfo");
  EXPECT_NE(info.find("exit=0"), std::string::npos) << info;
  EXPECT_NE(info.find("direct rendering: No"), std::string::npos) << info;
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

// A connection to tarvo (*c, to be disconnected by the caller) with a new context current on a
// new window of a single-buffered visual: the tag (0 on a failure, which the checks here show).
uint32_t connectCurrent(const TarvoProcess &tarvo, xcb_connection_t **c) {
  *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  EXPECT_FALSE(xcb_connection_has_error(*c));
  uint32_t visual = xcb_connection_has_error(*c) ? 0 : glxSingleBufferedVisual(*c), context = 0;
  EXPECT_NE(visual, 0u);
  return visual ? currentOnNewWindow(*c, visual, &context) : 0;
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
  xcb_connection_t *c = nullptr;
  uint32_t tag = connectCurrent(tarvo, &c);
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

// A raw client in 'B' order on tarvo with a 16x16 window of the single-buffered visual and a
// new context current on it: "" with GLX's major opcode and the context tag, or the failure.
std::string rawBigCurrent(const TarvoProcess &tarvo, RawClient &raw, uint8_t *major, uint32_t *tag) {
  xcb_connection_t *probe = xcb_connect(tarvo.displayName().c_str(), nullptr);
  uint32_t visual = xcb_connection_has_error(probe) ? 0 : glxSingleBufferedVisual(probe);
  xcb_disconnect(probe);
  if (!visual) return "no single-buffered visual";
  std::string failure = raw.connect(tarvo.displayNumber(), 'B');
  if (!failure.empty()) return failure;
  if (!(*major = raw.queryExtension("GLX"))) return "no GLX";
  uint32_t colormap = raw.idBase() | 1, window = raw.idBase() | 2, context = raw.idBase() | 3;
  RawBytes answer;
  // CreateColormap; CreateWindow 16x16, depth 24: back pixel, border pixel, override-redirect,
  // colormap; MapWindow; CreateContext; MakeCurrent.
  for (const RawBytes &request :
       {RawRequest(true).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done(),
        RawRequest(true)
            .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(16).s(16).s(0).s(1)
            .i(visual).i(0x0002 | 0x0008 | 0x0200 | 0x2000)
            .i(0).i(0).i(1).i(colormap)
            .done(),
        RawRequest(true).b(8).b(0).s(0).i(window).done(),
        RawRequest(true).b(*major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done()})
    if (!(failure = raw.send(request)).empty()) return failure;
  failure = raw.roundTrip(RawRequest(true).b(*major).b(5).s(0).i(window).i(context).i(0).done(), answer);
  if (!failure.empty()) return failure;
  if (answer[0] != 1) return "MakeCurrent: error " + std::to_string(answer[1]);
  *tag = rawGet32(answer, 8, true);
  return *tag ? "" : "MakeCurrent: tag 0";
}

TEST_F(LumoraApps, ReadPixelsInTheClientsByteOrder) {
  RawClient raw;
  uint8_t major = 0;
  uint32_t tag = 0;
  ASSERT_EQ(rawBigCurrent(tarvo, raw, &major, &tag), "");
  RawBytes answer;
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
  // The same square as GL_UNSIGNED_SHORT: each 16-bit item big-endian (0xFFFF, 0x8080, 0, 0xFFFF).
  ASSERT_EQ(raw.roundTrip(RawRequest(true)
                              .b(major).b(111).s(0).i(tag).i(0).i(0).i(2).i(2).i(0x1908).i(0x1403).b(0).b(0).pad(2)
                              .done(),
                          answer),
            "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answer.size(), 32u + 2 * 16);
  const uint16_t shorts[4] = {0xFFFF, 0x8080, 0, 0xFFFF};
  for (int k = 0; k < 16; k++)
    EXPECT_EQ(answer[32 + 2 * size_t(k)] << 8 | answer[33 + 2 * size_t(k)], shorts[k % 4]) << "item " << k;
  raw.close();
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}


// GetTexImage of a 4x4 texture loaded by a render command, to a 'B' client: the bytes as loaded
// for GL_UNSIGNED_BYTE, and each 16-bit item big-endian for a packed 16-bit type.
TEST_F(LumoraApps, GetTexImageOfATextureLoadedByRender) {
  RawClient raw;
  uint8_t major = 0;
  uint32_t tag = 0;
  ASSERT_EQ(rawBigCurrent(tarvo, raw, &major, &tag), "");
  constexpr uint32_t kTexture2D = 0x0DE1, kRgba = 0x1908, kUnsignedByte = 0x1401, kShort4444 = 0x8033;
  // Texel k: red k, green 15 - k, blue 3k mod 16, alpha 15, in 4-bit steps (exact in 8 bits).
  GlxBytes texels;
  for (int k = 0; k < 16; k++)
    texels.insert(texels.end(), {uint8_t(17 * k), uint8_t(17 * (15 - k)), uint8_t(17 * (3 * k % 16)), 255});
  ASSERT_EQ(raw.send(glxcommandRenderRequest(
                major, tag, {glxcommandTexImage2D({}, kTexture2D, 0, int32_t(kRgba), 4, 4, 0, kRgba, kUnsignedByte, texels)},
                true)),
            "");
  // GetTexImage of level 0 in the format and type, the swap-bytes flag as given.
  auto get = [&](uint32_t format, uint32_t type, uint8_t swap, uint32_t side, RawBytes &answer) {
    ASSERT_EQ(raw.roundTrip(
                  RawRequest(true).b(major).b(135).s(0).i(tag).i(kTexture2D).i(0).i(format).i(type).b(swap).pad(3).done(),
                  answer),
              "");
    ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
    EXPECT_EQ(rawGet32(answer, 16, true), side);  // width
    EXPECT_EQ(rawGet32(answer, 20, true), side);  // height
  };
  // A row length the client set for its own packing does not reach the library's read.
  ASSERT_EQ(raw.send(RawRequest(true).b(major).b(110).s(0).i(tag).i(0x0D02).i(4096).done()), "");
  RawBytes answer;
  ASSERT_NO_FATAL_FAILURE(get(kRgba, kUnsignedByte, 0, 4, answer));
  EXPECT_EQ(RawBytes(answer.begin() + 32, answer.end()), texels);
  // Each 16-bit item in the client's order; with its swap-bytes flag in the other one.
  for (uint8_t swap : {0, 1}) {
    SCOPED_TRACE(int(swap));
    ASSERT_NO_FATAL_FAILURE(get(kRgba, kShort4444, swap, 4, answer));
    ASSERT_EQ(answer.size(), 32u + 2 * 16);
    for (int k = 0; k < 16; k++)
      EXPECT_EQ(rawGet16(answer, 32 + 2 * size_t(k), !swap), uint32_t(k << 12 | (15 - k) << 8 | (3 * k % 16) << 4 | 15))
          << "texel " << k;
  }
  // 3x3 RGB: rows of 9 bytes, each padded to 12.
  GlxBytes rgb(27);
  for (size_t k = 0; k < rgb.size(); k++) rgb[k] = uint8_t(10 * k);
  constexpr uint32_t kRgb = 0x1907;
  GlxPixelHeader packed;
  packed.alignment = 1;
  ASSERT_EQ(raw.send(glxcommandRenderRequest(
                major, tag, {glxcommandTexImage2D(packed, kTexture2D, 0, int32_t(kRgb), 3, 3, 0, kRgb, kUnsignedByte, rgb)},
                true)),
            "");
  ASSERT_NO_FATAL_FAILURE(get(kRgb, kUnsignedByte, 0, 3, answer));
  ASSERT_EQ(answer.size(), 32u + 36);
  for (size_t row = 0; row < 3; row++)
    EXPECT_EQ(RawBytes(answer.begin() + 32 + long(12 * row), answer.begin() + 32 + long(12 * row + 9)),
              GlxBytes(rgb.begin() + long(9 * row), rgb.begin() + long(9 * row + 9)))
        << "row " << row;
  raw.close();
}

// The texture-object vendor codes (GenTextures, IsTexture, AreTexturesResident with a reply,
// DeleteTextures without) are executed by the library and answered in the client's order.
TEST_F(LumoraApps, TextureVendorCodesAreAnswered) {
  RawClient raw;
  uint8_t major = 0;
  uint32_t tag = 0;
  ASSERT_EQ(rawBigCurrent(tarvo, raw, &major, &tag), "");
  auto code = [&](bool withReply, uint32_t vendorCode, std::initializer_list<uint32_t> words) {
    RawRequest request(true);
    request.b(major).b(withReply ? 17 : 16).s(0).i(vendorCode).i(tag);
    for (uint32_t w : words) request.i(w);
    return request.done();
  };
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(code(true, 13, {2}), answer, 3000), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answer.size(), 32u + 8);
  EXPECT_EQ(rawGet32(answer, 12, true), 2u);
  uint32_t first = rawGet32(answer, 32, true), second = rawGet32(answer, 36, true);
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  // A name becomes a texture once bound (BindTexture, render 4117).
  GlxCommand bind{4117, {}};
  glxcommandPut32(bind, 0x0DE1);
  glxcommandPut32(bind, first);
  ASSERT_EQ(raw.send(glxcommandRenderRequest(major, tag, {bind}, true)), "");
  auto isTexture = [&](uint32_t name) {
    RawBytes reply;
    EXPECT_EQ(raw.roundTrip(code(true, 14, {name}), reply, 3000), "");
    return reply.size() >= 32 && reply[0] == 1 ? rawGet32(reply, 8, true) : 0xDEADu;
  };
  EXPECT_EQ(isTexture(first), 1u);
  EXPECT_EQ(isTexture(second), 0u);
  ASSERT_EQ(raw.roundTrip(code(true, 11, {1, first}), answer, 3000), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(rawGet32(answer, 8, true), 1u);   // all resident
  EXPECT_EQ(rawGet32(answer, 12, true), 1u);  // one residence byte
  ASSERT_EQ(raw.send(code(false, 12, {1, first})), "");
  EXPECT_EQ(isTexture(first), 0u);
  raw.close();
}

// A quad over the whole viewport in the colour, between Begin and End.
std::vector<GlxCommand> quad(float red, float green, float blue, float left = -1, float right = 1) {
  return {glxcommandColor3f(red, green, blue), glxcommandBegin(7 /* GL_QUADS */), glxcommandVertex2f(left, -1),
          glxcommandVertex2f(right, -1),        glxcommandVertex2f(right, 1),           glxcommandVertex2f(left, 1),
          glxcommandEnd()};
}
void render(xcb_connection_t *c, uint32_t tag, const std::vector<GlxCommand> &commands) {
  GlxBytes stream = glxcommandStream(commands, false);
  xcb_glx_render(c, tag, uint32_t(stream.size()), stream.data());
}
GlxCommand command32(uint32_t opcode, std::initializer_list<uint32_t> words) {
  GlxCommand command{opcode, {}};
  for (uint32_t w : words) glxcommandPut32(command, w);
  return command;
}

TEST_F(LumoraApps, ADisplayListDrawsOnlyWhenCalled) {
  xcb_connection_t *c = nullptr;
  uint32_t tag = connectCurrent(tarvo, &c);
  ASSERT_NE(tag, 0u);
  clear(c, tag, 0, 0, 0);
  xcb_glx_new_list(c, tag, 5, 0x1300 /* GL_COMPILE */);
  render(c, tag, quad(1, 1, 0));
  xcb_glx_end_list(c, tag);
  EXPECT_EQ(readPixels(c, tag), four(0, 0, 0));  // compiled, not drawn
  render(c, tag, {command32(1 /* CallList */, {5})});
  EXPECT_EQ(readPixels(c, tag), four(255, 255, 0));
  xcb_disconnect(c);
}

// Two clients in GL_SELECT at once, each naming a quad in view and one outside it: each gets
// back its own one hit.
TEST_F(LumoraApps, SelectModePicksEachClientsOwnQuad) {
  constexpr uint32_t kSelect = 0x1C02, kRender = 0x1C00;
  constexpr uint32_t kInitNames = 121, kLoadName = 122, kPushName = 125;
  struct Picker {
    xcb_connection_t *c = nullptr;
    uint32_t tag = 0, seen = 0, hidden = 0;
  } pickers[2];
  for (int k = 0; k < 2; k++) {
    Picker &p = pickers[k];
    p.tag = connectCurrent(tarvo, &p.c);
    ASSERT_NE(p.tag, 0u);
    p.seen = 7 + 2 * uint32_t(k);
    p.hidden = p.seen + 1;
    xcb_glx_select_buffer(p.c, p.tag, 64);
    free(xcb_glx_render_mode_reply(p.c, xcb_glx_render_mode(p.c, p.tag, kSelect), nullptr));
  }
  for (Picker &p : pickers) {
    std::vector<GlxCommand> commands = {command32(kInitNames, {}), command32(kPushName, {0}),
                                        command32(kLoadName, {p.seen})};
    for (const GlxCommand &command : quad(1, 1, 1)) commands.push_back(command);
    commands.push_back(command32(kLoadName, {p.hidden}));
    for (const GlxCommand &command : quad(1, 1, 1, 2, 3)) commands.push_back(command);
    render(p.c, p.tag, commands);
  }
  // The second leaves select mode first.
  for (int k = 1; k >= 0; k--) {
    SCOPED_TRACE(k);
    Picker &p = pickers[k];
    auto *reply = xcb_glx_render_mode_reply(p.c, xcb_glx_render_mode(p.c, p.tag, kRender), nullptr);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->ret_val, 1u);
    const uint32_t *hits = xcb_glx_render_mode_data(reply);
    ASSERT_EQ(xcb_glx_render_mode_data_length(reply), 4);  // the one hit record
    EXPECT_EQ(hits[0], 1u);  // one name on the stack
    EXPECT_EQ(hits[3], p.seen);
    free(reply);
  }
  for (Picker &p : pickers) xcb_disconnect(p.c);
}

// Feedback mode: a point's token and window position come back as floats.
TEST_F(LumoraApps, FeedbackModeReturnsAPointsPosition) {
  xcb_connection_t *c = nullptr;
  uint32_t tag = connectCurrent(tarvo, &c);
  ASSERT_NE(tag, 0u);
  xcb_glx_feedback_buffer(c, tag, 64, 0x0600 /* GL_2D */);
  free(xcb_glx_render_mode_reply(c, xcb_glx_render_mode(c, tag, 0x1C01 /* GL_FEEDBACK */), nullptr));
  render(c, tag, {glxcommandBegin(0 /* GL_POINTS */), glxcommandVertex2f(0, 0), glxcommandEnd()});
  auto *reply = xcb_glx_render_mode_reply(c, xcb_glx_render_mode(c, tag, 0x1C00), nullptr);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->ret_val, 3u);
  ASSERT_EQ(xcb_glx_render_mode_data_length(reply), 3);
  const uint32_t *values = xcb_glx_render_mode_data(reply);
  EXPECT_FLOAT_EQ(std::bit_cast<float>(values[0]), float(0x0701));  // GL_POINT_TOKEN
  EXPECT_FLOAT_EQ(std::bit_cast<float>(values[1]), 8);
  EXPECT_FLOAT_EQ(std::bit_cast<float>(values[2]), 8);
  free(reply);
  xcb_disconnect(c);
}

// Vendor command data in the client's order.
struct VendorData {
  std::vector<uint8_t> d;
  VendorData &u(uint32_t v) {
    auto *p = reinterpret_cast<const uint8_t *>(&v);
    d.insert(d.end(), p, p + 4);
    return *this;
  }
  VendorData &f(float v) { return u(std::bit_cast<uint32_t>(v)); }
  VendorData &text(const std::string &t, bool nul) {
    d.insert(d.end(), t.begin(), t.end());
    if (nul) d.push_back(0);
    return *this;
  }
};
void vendor(xcb_connection_t *c, uint32_t tag, uint32_t code, const VendorData &data) {
  xcb_glx_vendor_private(c, code, tag, uint32_t(data.d.size()), data.d.data());
}
// The whole reply of a VendorPrivateWithReply (empty on an error).
std::vector<uint8_t> vendorAnswer(xcb_connection_t *c, uint32_t tag, uint32_t code, const VendorData &data) {
  xcb_generic_error_t *error = nullptr;
  auto *reply = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, code, tag, uint32_t(data.d.size()), data.d.data()), &error);
  free(error);
  std::vector<uint8_t> out;
  if (!reply) return out;
  // The reply as it came (libxcb's reply record is 36 bytes long: its data accessor starts late).
  auto *bytes = reinterpret_cast<const uint8_t *>(reply);
  out.assign(bytes, bytes + 32 + 4 * uint64_t(reply->length));
  free(reply);
  return out;
}
uint32_t word(const std::vector<uint8_t> &m, size_t at) {
  uint32_t v = 0;
  if (m.size() >= at + 4) memcpy(&v, m.data() + at, 4);
  return v;
}

// A fragment shader and program made, linked and used through vendor commands fill a quad with
// their uniform's colour; a broken shader's information log is the compiler's.
TEST_F(LumoraApps, AProgramMadeByVendorCommandsDraws) {
  constexpr uint32_t kFragmentShader = 0x8B30, kCompileStatus = 0x8B81, kLinkStatus = 0x8B82;
  xcb_connection_t *c = nullptr;
  uint32_t tag = connectCurrent(tarvo, &c);
  ASSERT_NE(tag, 0u);
  clear(c, tag, 0, 0, 0);
  auto shader = [&](uint32_t id, const std::string &source) {
    vendor(c, tag, 90000, VendorData().u(id).u(kFragmentShader));
    vendor(c, tag, 90001, VendorData().u(id).u(1).u(uint32_t(source.size())).text(source, false));
    vendor(c, tag, 90002, VendorData().u(id));
    return word(vendorAnswer(c, tag, 90003, VendorData().u(id).u(kCompileStatus)), 16);
  };
  EXPECT_EQ(shader(11, "uniform vec4 colour; void main() { gl_FragColor = colour; }"), 1u);
  vendor(c, tag, 90006, VendorData().u(12));
  vendor(c, tag, 90009, VendorData().u(12).u(11));
  // The attached shader is named as the client named it.
  std::vector<uint8_t> attached = vendorAnswer(c, tag, 90034, VendorData().u(12).u(4));
  EXPECT_EQ(word(attached, 12), 1u);
  EXPECT_EQ(word(attached, 32), 11u);
  vendor(c, tag, 90004, VendorData().u(12));
  EXPECT_EQ(word(vendorAnswer(c, tag, 90007, VendorData().u(12).u(kLinkStatus)), 16), 1u);
  vendor(c, tag, 90010, VendorData().u(12));
  std::vector<uint8_t> where = vendorAnswer(c, tag, 90012, VendorData().u(12).u(0).text("colour", true));
  ASSERT_EQ(word(where, 12), 1u);
  vendor(c, tag, 90047, VendorData().u(word(where, 16)).f(1).f(0).f(1).f(1));  // Uniform4f
  render(c, tag, quad(0, 1, 0));
  EXPECT_EQ(readPixels(c, tag), four(255, 0, 255));

  EXPECT_EQ(shader(13, "void main() { gl_FragColor = undeclared; }"), 0u);
  std::vector<uint8_t> log = vendorAnswer(c, tag, 90015, VendorData().u(13).u(1000));
  ASSERT_GE(log.size(), 32u);
  uint32_t length = word(log, 8);
  ASSERT_GT(length, 0u);
  ASSERT_LE(32 + length, log.size());
  std::string text(log.begin() + 32, log.begin() + 32 + length);
  EXPECT_NE(text.find("error"), std::string::npos) << text;
  xcb_disconnect(c);
}

// A fragment shader whose one expression sums 60 000 terms (240 KB, which the library's
// compiler recurses through term by term, far past the stack a request runs on) compiles,
// links and draws; tarvo lives on and ends cleanly.
TEST_F(LumoraApps, AShaderDeeperThanARequestsStackCompilesAndDraws) {
  constexpr uint32_t kFragmentShader = 0x8B30, kCompileStatus = 0x8B81, kLinkStatus = 0x8B82;
  constexpr int kTerms = 60000;
  xcb_connection_t *c = nullptr;
  uint32_t tag = connectCurrent(tarvo, &c);
  ASSERT_NE(tag, 0u);
  clear(c, tag, 0, 0, 0);
  std::string sum = "1.0";
  for (int n = 1; n < kTerms; n++) sum += "+1.0";
  // Unseen by the library's shader cache, which would skip the compile.
  std::string source = glxcommandUniqueComment() + "void main() { float s = " + sum + "; gl_FragColor = vec4(s / " + std::to_string(kTerms) +
                       ".0, 0.0, 1.0, 1.0); }";
  vendor(c, tag, 90000, VendorData().u(31).u(kFragmentShader));
  vendor(c, tag, 90001, VendorData().u(31).u(1).u(uint32_t(source.size())).text(source, false));
  vendor(c, tag, 90002, VendorData().u(31));
  EXPECT_EQ(word(vendorAnswer(c, tag, 90003, VendorData().u(31).u(kCompileStatus)), 16), 1u);
  vendor(c, tag, 90006, VendorData().u(32));
  vendor(c, tag, 90009, VendorData().u(32).u(31));
  vendor(c, tag, 90004, VendorData().u(32));
  EXPECT_EQ(word(vendorAnswer(c, tag, 90007, VendorData().u(32).u(kLinkStatus)), 16), 1u);
  vendor(c, tag, 90010, VendorData().u(32));
  render(c, tag, quad(0, 1, 0));
  EXPECT_EQ(readPixels(c, tag), four(255, 0, 255));
  xcb_disconnect(c);
}

// The same program from a 'B' client: its fields swapped, its texts and names as written.
TEST_F(LumoraApps, AProgramMadeByVendorCommandsInTheClientsByteOrder) {
  RawClient raw;
  uint8_t major = 0;
  uint32_t tag = 0;
  ASSERT_EQ(rawBigCurrent(tarvo, raw, &major, &tag), "");
  auto vendor = [&](bool withReply, uint32_t code) {
    RawRequest request(true);
    request.b(major).b(withReply ? 17 : 16).s(0).i(code).i(tag);
    return request;
  };
  RawBytes answer;
  auto ask = [&](RawRequest &request) {
    EXPECT_EQ(raw.roundTrip(request.done(), answer, 3000), "");
    return answer.size() >= 32 && answer[0] == 1;
  };
  const std::string source = "uniform vec4 colour; void main() { gl_FragColor = colour; }";
  for (RawRequest request : {vendor(false, 90000).i(21).i(0x8B30),
                             vendor(false, 90001).i(21).i(1).i(uint32_t(source.size())).text(source),
                             vendor(false, 90002).i(21), vendor(false, 90006).i(22), vendor(false, 90009).i(22).i(21),
                             vendor(false, 90004).i(22), vendor(false, 90010).i(22)})
    ASSERT_EQ(raw.send(request.done()), "");
  RawRequest where = vendor(true, 90012).i(22).i(0).text("colour").b(0);
  ASSERT_TRUE(ask(where));
  ASSERT_EQ(rawGet32(answer, 12, true), 1u);
  uint32_t location = rawGet32(answer, 16, true);
  EXPECT_NE(location, 0xFFFFFFFFu);
  ASSERT_EQ(raw.send(vendor(false, 90047)
                         .i(location).i(std::bit_cast<uint32_t>(0.0f)).i(std::bit_cast<uint32_t>(1.0f))
                         .i(std::bit_cast<uint32_t>(1.0f)).i(std::bit_cast<uint32_t>(1.0f)).done()),
            "");
  std::vector<GlxCommand> commands = {glxcommandBegin(7), glxcommandVertex2f(-1, -1), glxcommandVertex2f(1, -1),
                                      glxcommandVertex2f(1, 1), glxcommandVertex2f(-1, 1), glxcommandEnd()};
  ASSERT_EQ(raw.send(glxcommandRenderRequest(major, tag, commands, true)), "");
  // ReadPixels (single 111) of 2x2 as GL_RGBA GL_UNSIGNED_BYTE.
  ASSERT_EQ(raw.roundTrip(RawRequest(true)
                              .b(major).b(111).s(0).i(tag).i(0).i(0).i(2).i(2).i(0x1908).i(0x1401).b(0).b(0).pad(2)
                              .done(),
                          answer),
            "");
  ASSERT_EQ(answer.size(), 32u + 16);
  EXPECT_EQ(RawBytes(answer.begin() + 32, answer.end()), four(0, 255, 255));

  const std::string broken = "void main() { gl_FragColor = undeclared; }";
  for (RawRequest request : {vendor(false, 90000).i(23).i(0x8B30),
                             vendor(false, 90001).i(23).i(1).i(uint32_t(broken.size())).text(broken),
                             vendor(false, 90002).i(23)})
    ASSERT_EQ(raw.send(request.done()), "");
  RawRequest log = vendor(true, 90015).i(23).i(1000);
  ASSERT_TRUE(ask(log));
  uint32_t length = rawGet32(answer, 8, true);
  ASSERT_GT(length, 0u);
  ASSERT_LE(32 + length, answer.size());
  std::string text(answer.begin() + 32, answer.begin() + 32 + length);
  EXPECT_NE(text.find("error"), std::string::npos) << text;
  raw.close();
}

// The id of an RGBA FBConfig of screen 0 that can draw to a pbuffer (0: none).
uint32_t pbufferFbConfig(xcb_connection_t *c) {
  constexpr uint32_t kDrawableType = 0x8010, kPbufferBit = 0x4, kRenderType = 0x8011, kRgbaBit = 0x1,
                     kFbConfigId = 0x8013, kRedSize = 8;
  auto *reply = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, 0), nullptr);
  if (!reply) return 0;
  const uint32_t *words = xcb_glx_get_fb_configs_property_list(reply);
  uint32_t found = 0;
  for (uint32_t k = 0; k < reply->num_FB_configs && !found; k++) {
    std::map<uint32_t, uint32_t> pairs;
    for (uint32_t p = 0; p < reply->num_properties; p++)
      pairs[words[2 * (k * reply->num_properties + p)]] = words[2 * (k * reply->num_properties + p) + 1];
    if ((pairs[kDrawableType] & kPbufferBit) && (pairs[kRenderType] & kRgbaBit) && pairs[kRedSize] == 8)
      found = pairs[kFbConfigId];
  }
  free(reply);
  return found;
}

// A pbuffer made by the SGIX vendor command is one the library draws into.
TEST_F(LumoraApps, AnSgixPbufferIsDrawnInto) {
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  uint32_t config = pbufferFbConfig(c);
  ASSERT_NE(config, 0u);
  constexpr uint32_t kCreatePbufferSgix = 0x10007, kRgbaType = 0x8014;
  uint32_t pbuffer = xcb_generate_id(c), context = xcb_generate_id(c);
  // Screen, FBConfig, pbuffer, width, height; no attributes.
  vendor(c, 0, kCreatePbufferSgix, VendorData().u(0).u(config).u(pbuffer).u(16).u(16));
  xcb_generic_error_t *error =
      xcb_request_check(c, xcb_glx_create_new_context_checked(c, context, config, 0, kRgbaType, 0, 0));
  ASSERT_EQ(error, nullptr) << "CreateNewContext: " << int(error->error_code);
  auto *current =
      xcb_glx_make_context_current_reply(c, xcb_glx_make_context_current(c, 0, pbuffer, pbuffer, context), &error);
  ASSERT_NE(current, nullptr) << "MakeContextCurrent: " << int(error->error_code) << tarvo.log();
  uint32_t tag = current->context_tag;
  free(current);
  clear(c, tag, 0, 1, 1);
  EXPECT_EQ(readPixels(c, tag), four(0, 255, 255));
  xcb_disconnect(c);
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

// A head whose GL is Xvfb's own indirect GLX.
class LumoraAppsIndirect : public LumoraApps {
 protected:
  bool indirectHead() const override { return true; }
};

// Xvfb's indirect GLX draws nothing visible: glxgears runs without an error and its window stays
// black (the gears of the direct head come from tarvo's library).
TEST_F(LumoraAppsIndirect, GlxgearsRunsAndItsWindowStaysBlack) {
  GearPixels pixels;
  std::string out = runGears(tarvo.displayName(), xvfb.displayName(), 2, &pixels);
  EXPECT_EQ(out.find("Error"), std::string::npos) << out;
  ASSERT_EQ(pixels.error, "") << out << tarvo.log();
  EXPECT_EQ(pixels.red + pixels.green + pixels.blue + pixels.other, 0)
      << "red " << pixels.red << " green " << pixels.green << " blue " << pixels.blue << " other " << pixels.other;
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended:\n" << tarvo.log();
}

}  // namespace
