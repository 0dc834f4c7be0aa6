// GL drawn inside tarvo: one head served by the system's GL library ("lumora on"), xtrace
// between tarvo and Xvfb. A client makes a context on a single-buffered GL visual current on a
// window of that visual, clears and draws a quad with a GLXRender (then the same as GLXRenderLarge
// pieces) and releases it: GetImage through tarvo and GetImage on Xvfb itself show exactly those
// colours, and no render request reaches Xvfb. Done by an xcb-glx client and by a raw client in
// 'B' order. Two clients with tags on the head: while A's commands leave glBegin open, B is
// answered and draws, and A's primitive comes out whole at its glEnd.
// A window drawn without a release or flush reads back drawn (ShmGetImage, GetImage).
// A GL client held by the server in a SYNC Await holds no other client while its first render
// on a tag, its swap interval, a map of its window and its read-back wait for the server, and
// draws right after.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "glx_fixture.h"
#include "glxcommands.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kColorBufferBit = 0x4000;  // GL_COLOR_BUFFER_BIT
constexpr uint32_t kQuads = 7;                // GL_QUADS
constexpr int kSize = 64;                     // the window, square
constexpr int kX = 10, kY = 20;               // where it lies on the root

TarvoOptions lumoraOptions() {
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "lumora", "on"};
  options.logTypes = {"steps", "Xhints"};
  // Mesa's driver keeps a little memory per closed Display: no leak detection in tarvo.
  const char *asan = getenv("ASAN_OPTIONS");
  options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
  return options;
}

// Xvfb (24 bits), xtrace towards it, tarvo with its one screen served by the GL library.
struct LumoraRig {
  XvfbServer xvfb;
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  std::string trace;

  std::string start() {
    XvfbOptions x;
    x.screens = {"800x600x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    if (std::string failed = xvfb.start(x); !failed.empty()) return failed;
    trace = xrelayTempDir() + "/xtrace.txt";
    if (std::string failed = xtrace.start(xvfb.displayName(), trace); !failed.empty()) return failed;
    return tarvo.start(xtrace.displayName(), lumoraOptions());
  }
};

// A mapped kSize-square window of the visual at (kX + dx, kY) with a colormap of it.
xcb_window_t visualWindow(xcb_connection_t *c, xcb_visualid_t visual, int dx = 0) {
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_colormap_t colormap = xcb_generate_id(c);
  xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
  xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {0, 0, 1, colormap};  // background, border, override-redirect, colormap
  xcb_create_window(c, 24, window, screen->root, int16_t(kX + dx), kY, kSize, kSize, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP, values);
  xcb_map_window(c, window);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return window;
}

// Clear to one colour, then a quad over the middle half in another: 16..47 both ways.
std::vector<GlxCommand> clearAndQuad(float clear[3], float quad[3]) {
  return {glxcommandClearColor(clear[0], clear[1], clear[2], 1),
          glxcommandClear(kColorBufferBit),
          glxcommandColor3f(quad[0], quad[1], quad[2]),
          glxcommandBegin(kQuads),
          glxcommandVertex2f(-0.5f, -0.5f),
          glxcommandVertex2f(0.5f, -0.5f),
          glxcommandVertex2f(0.5f, 0.5f),
          glxcommandVertex2f(-0.5f, 0.5f),
          glxcommandEnd()};
}

// The same drawing as three large commands (32-bit headers): ClearColor, Clear, and the quad as
// a DrawArrays with a vertex and a colour array.
std::vector<GlxBytes> largeClearAndQuad(float clear[3], float quad[3], bool big = false) {
  constexpr uint32_t kFloat = 0x1406, kVertexArray = 0x8074, kColorArray = 0x8076;  // GL_FLOAT ...
  GlxArray vertices{kFloat, 2, kVertexArray, {-0.5, -0.5, 0.5, -0.5, 0.5, 0.5, -0.5, 0.5}};
  GlxArray colours{kFloat, 3, kColorArray, {}};
  for (int k = 0; k < 4; k++) colours.data.insert(colours.data.end(), quad, quad + 3);
  return {glxcommandEncodeLarge(glxcommandClearColor(clear[0], clear[1], clear[2], 1), big),
          glxcommandEncodeLarge(glxcommandClear(kColorBufferBit), big),
          glxcommandEncodeLarge(glxcommandDrawArrays(kQuads, 4, {vertices, colours}), big)};
}

// A large command's GLXRenderLarge pieces: three where the first holds the whole 8-byte header,
// else the header and the rest.
std::vector<GlxBytes> largePieces(const GlxBytes &large) {
  std::vector<GlxBytes> pieces = glxcommandLargePieces(large, 3);
  if (pieces.empty() || pieces[0].size() >= 8) return pieces;
  return {GlxBytes(large.begin(), large.begin() + 8), GlxBytes(large.begin() + 8, large.end())};
}

uint32_t rgb(const float colour[3]) {
  return uint32_t(colour[0] * 255) << 16 | uint32_t(colour[1] * 255) << 8 | uint32_t(colour[2] * 255);
}

// The pixels that are not what clearAndQuad draws ("" when all are), at most 8 named.
std::string wrongPixels(const std::vector<uint32_t> &pixels, uint32_t clear, uint32_t quad) {
  if (pixels.size() != size_t(kSize * kSize)) return "got " + std::to_string(pixels.size()) + " pixels";
  std::string out;
  int wrong = 0;
  for (int y = 0; y < kSize; y++)
    for (int x = 0; x < kSize; x++) {
      bool inside = x >= 16 && x < 48 && y >= 16 && y < 48;
      uint32_t want = inside ? quad : clear, got = pixels[size_t(y * kSize + x)] & 0xFFFFFF;
      if (got != want && wrong++ < 8) {
        char line[80];
        snprintf(line, sizeof line, "%d,%d: got %06x want %06x\n", x, y, got, want);
        out += line;
      }
    }
  if (wrong > 8) out += std::to_string(wrong) + " in all, inside at 32,32: " + std::to_string(pixels[32 * kSize + 32]) + "\n";
  return out;
}

// GetImage (ZPixmap, all planes) of a kSize square of the drawable at (x, y), as 0xRRGGBB for a
// 24-bit TrueColor image in 32-bit units (empty on an error).
std::vector<uint32_t> image(const std::string &display, bool ofRoot, xcb_drawable_t drawable, int x, int y) {
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  std::vector<uint32_t> out;
  if (!xcb_connection_has_error(c)) {
    if (ofRoot) drawable = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto *reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(x), int16_t(y), kSize, kSize, ~0u), nullptr);
    if (reply && xcb_get_image_data_length(reply) == kSize * kSize * 4) {
      out.resize(size_t(kSize * kSize));
      memcpy(out.data(), xcb_get_image_data(reply), out.size() * 4);
    }
    free(reply);
  }
  xcb_disconnect(c);
  return out;
}

// The same window image through tarvo (by the client's id on its own connection) and from Xvfb.
void expectDrawn(LumoraRig &rig, xcb_connection_t *c, xcb_window_t window, uint32_t clear, uint32_t quad) {
  if (c) {
    auto *reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, kSize, kSize, ~0u), nullptr);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(xcb_get_image_data_length(reply), kSize * kSize * 4);
    std::vector<uint32_t> through(size_t(kSize * kSize));
    memcpy(through.data(), xcb_get_image_data(reply), through.size() * 4);
    free(reply);
    EXPECT_EQ(wrongPixels(through, clear, quad), "") << "through tarvo";
  }
  EXPECT_EQ(wrongPixels(image(rig.xvfb.displayName(), true, 0, kX, kY), clear, quad), "") << "on Xvfb";
}

// GetImage of the window through the raw client, decoded by the image byte order its setup
// names (empty on an error).
std::vector<uint32_t> rawImage(RawClient &raw, uint32_t window) {
  RawBytes answer;
  std::vector<uint32_t> out;
  if (raw.roundTrip(RawRequest(raw.big()).b(73).b(2).s(0).i(window).s(0).s(0).s(kSize).s(kSize).i(~0u).done(),
                    answer) != "" ||
      answer[0] != 1 || answer.size() < 32 + size_t(kSize * kSize * 4))
    return out;
  bool msbFirst = raw.setup().size() > 30 && raw.setup()[30] == 1;
  for (size_t k = 0; k < size_t(kSize * kSize); k++) out.push_back(rawGet32(answer, 32 + 4 * k, msbFirst));
  return out;
}

// What went from tarvo to Xvfb holds no GLXRender or GLXRenderLarge, while it does hold the
// GetImage tarvo passed on (the trace is the real one).
void expectNoRenderInTrace(const std::string &trace) {
  std::string text = tarvoReadFile(trace);
  EXPECT_NE(text.find("GetImage"), std::string::npos) << text.substr(0, 2000);
  EXPECT_EQ(text.find("glXRender"), std::string::npos);
}

// The client's commands in one GLXRender on the tag.
void renderCommands(xcb_connection_t *c, uint32_t tag, const std::vector<GlxCommand> &commands) {
  GlxBytes stream = glxcommandStream(commands, false);
  xcb_glx_render(c, tag, uint32_t(stream.size()), stream.data());
}

// GLXMakeCurrent of the context on the window (0, 0: release oldTag); *tag is the reply's tag.
// False without a reply.
bool makeCurrent(xcb_connection_t *c, xcb_window_t window, uint32_t context, uint32_t oldTag, uint32_t *tag) {
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, oldTag), nullptr);
  if (!current) return false;
  *tag = current->context_tag;
  free(current);
  return true;
}

// Each test runs its own Xvfb, xtrace and tarvo (skipped without xtrace).
class LumoraDrawThroughTarvo : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/xtrace", X_OK) != 0) GTEST_SKIP() << "no xtrace";
    tarvoBlockSignals();
    ASSERT_EQ(rig.start(), "");
  }
  // A connection to tarvo and the single-buffered visual it finds.
  void connectWithVisual(xcb_connection_t **c, uint32_t *visual) {
    *c = xcb_connect(rig.tarvo.displayName().c_str(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(*c));
    *visual = glxSingleBufferedVisual(*c);
    ASSERT_NE(*visual, 0u);
  }

  LumoraRig rig;
};

TEST_F(LumoraDrawThroughTarvo, XcbClientRendersAndRendersLarge) {
  xcb_connection_t *c = nullptr;
  uint32_t visual = 0;
  ASSERT_NO_FATAL_FAILURE(connectWithVisual(&c, &visual));
  xcb_window_t window = visualWindow(c, visual);
  uint32_t context = xcb_generate_id(c);
  xcb_generic_error_t *error = xcb_request_check(c, xcb_glx_create_context_checked(c, context, visual, 0, 0, 0));
  ASSERT_EQ(error, nullptr) << int(error->error_code);
  uint32_t tag = 0;
  ASSERT_TRUE(makeCurrent(c, window, context, 0, &tag));
  ASSERT_NE(tag, 0u);

  float red[3] = {1, 0, 0}, green[3] = {0, 1, 0};
  renderCommands(c, tag, clearAndQuad(red, green));
  uint32_t released = 1;
  ASSERT_TRUE(makeCurrent(c, 0, 0, tag, &released));
  EXPECT_EQ(released, 0u);
  expectDrawn(rig, c, window, rgb(red), rgb(green));

  // Again as large commands, cut in up to three pieces.
  ASSERT_TRUE(makeCurrent(c, window, context, 0, &tag));
  float blue[3] = {0, 0, 1}, yellow[3] = {1, 1, 0};
  for (const GlxBytes &large : largeClearAndQuad(blue, yellow)) {
    std::vector<GlxBytes> pieces = largePieces(large);
    for (size_t k = 0; k < pieces.size(); k++) {
      error = xcb_request_check(c, xcb_glx_render_large_checked(c, tag, uint16_t(k + 1), uint16_t(pieces.size()),
                                                                uint32_t(pieces[k].size()), pieces[k].data()));
      EXPECT_EQ(error, nullptr) << "piece " << k + 1 << ": error " << int(error->error_code);
      free(error);
    }
  }
  ASSERT_TRUE(makeCurrent(c, 0, 0, tag, &released));
  expectDrawn(rig, c, window, rgb(blue), rgb(yellow));
  xcb_disconnect(c);
  expectNoRenderInTrace(rig.trace);
  EXPECT_EQ(rig.tarvo.stop(), 0);
}

// Through the raw client, in its byte order: a colormap of the visual (at colormap), a mapped
// window of it at (kX, kY), an indirect GLX context on the visual made current on the window.
// The tag; 0 when something failed.
uint32_t rawCurrentWindow(RawClient &raw, uint8_t glx, uint32_t visual, uint32_t colormap, uint32_t window,
                          uint32_t context) {
  bool big = raw.big();
  RawBytes answer;
  // CreateWindow: depth 24, back pixel, border pixel, override-redirect, colormap.
  if (!raw.send(RawRequest(big).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done()).empty() ||
      !raw.send(RawRequest(big)
                    .b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(kX).s(kY).s(kSize).s(kSize).s(0).s(1)
                    .i(visual).i(0x0002 | 0x0008 | 0x0200 | 0x2000)
                    .i(0).i(0).i(1).i(colormap)
                    .done())
           .empty() ||
      !raw.send(RawRequest(big).b(8).b(0).s(0).i(window).done()).empty() ||
      !raw.send(RawRequest(big).b(glx).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done()).empty() ||
      !raw.roundTrip(RawRequest(big).b(glx).b(5).s(0).i(window).i(context).i(0).done(), answer).empty() ||
      answer[0] != 1)
    return 0;
  return rawGet32(answer, 8, big);
}

TEST_F(LumoraDrawThroughTarvo, RawClientInOtherByteOrder) {
  // The visual, as the xcb-glx client finds it.
  xcb_connection_t *probe = nullptr;
  uint32_t visual = 0;
  ASSERT_NO_FATAL_FAILURE(connectWithVisual(&probe, &visual));
  xcb_disconnect(probe);

  RawClient raw;
  ASSERT_EQ(raw.connect(rig.tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t window = raw.idBase() | 2, context = raw.idBase() | 3;
  uint32_t tag = rawCurrentWindow(raw, major, visual, raw.idBase() | 1, window, context);
  ASSERT_NE(tag, 0u);
  RawBytes answer;

  float magenta[3] = {1, 0, 1}, cyan[3] = {0, 1, 1};
  GlxBytes render = glxcommandRenderRequest(major, tag, clearAndQuad(magenta, cyan), true);
  ASSERT_FALSE(render.empty());
  ASSERT_EQ(raw.send(render), "");
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(0).i(0).i(tag).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  expectDrawn(rig, nullptr, window, rgb(magenta), rgb(cyan));
  EXPECT_EQ(wrongPixels(rawImage(raw, window), rgb(magenta), rgb(cyan)), "") << "through tarvo";

  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(window).i(context).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  tag = rawGet32(answer, 8, true);
  float white[3] = {1, 1, 1}, black[3] = {0, 0, 0};
  for (const GlxBytes &large : largeClearAndQuad(white, black, true)) {
    std::vector<GlxBytes> pieces = largePieces(large);
    for (size_t k = 0; k < pieces.size(); k++) {
      RawRequest request(true);
      request.b(major).b(2).s(0).i(tag).s(uint16_t(k + 1)).s(uint16_t(pieces.size())).i(uint32_t(pieces[k].size()));
      request.d.insert(request.d.end(), pieces[k].begin(), pieces[k].end());
      ASSERT_EQ(raw.send(request.done()), "");
    }
  }
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(0).i(0).i(tag).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  expectDrawn(rig, nullptr, window, rgb(white), rgb(black));
  EXPECT_EQ(wrongPixels(rawImage(raw, window), rgb(white), rgb(black)), "") << "through tarvo";
  raw.close();
  expectNoRenderInTrace(rig.trace);
  EXPECT_EQ(rig.tarvo.stop(), 0);
}

// A context made current on a window of its own (at dx) through tarvo: the tag (0 on failure).
uint32_t currentTag(xcb_connection_t *c, uint32_t visual, int dx, xcb_window_t *window, uint32_t *context) {
  *window = visualWindow(c, visual, dx);
  *context = xcb_generate_id(c);
  xcb_glx_create_context(c, *context, visual, 0, 0, 0);
  uint32_t tag = 0;
  return makeCurrent(c, *window, *context, 0, &tag) ? tag : 0;
}

// Polls for the reply of the request until it comes or timeoutMs pass.
bool replyWithin(xcb_connection_t *c, unsigned int sequence, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    int done = xcb_poll_for_reply(c, sequence, &reply, &error);
    free(reply);
    free(error);
    if (done) return true;
    if (xcb_connection_has_error(c)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A glBegin that A leaves open across requests holds nobody: B is answered and draws with its
// own context meanwhile (the library keeps A's primitive with A's context), and both drawings
// come out whole once A ends its quad.
TEST_F(LumoraDrawThroughTarvo, AnOpenBeginHoldsNobody) {
  xcb_connection_t *a = xcb_connect(rig.tarvo.displayName().c_str(), nullptr);
  xcb_connection_t *b = xcb_connect(rig.tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(a));
  ASSERT_FALSE(xcb_connection_has_error(b));
  uint32_t visual = glxSingleBufferedVisual(a);
  ASSERT_NE(visual, 0u);
  xcb_window_t windowA = 0, windowB = 0;
  uint32_t contextA = 0, contextB = 0;
  uint32_t tagA = currentTag(a, visual, 0, &windowA, &contextA);
  uint32_t tagB = currentTag(b, visual, 2 * kSize, &windowB, &contextB);
  ASSERT_NE(tagA, 0u);
  ASSERT_NE(tagB, 0u);

  float red[3] = {1, 0, 0}, green[3] = {0, 1, 0}, blue[3] = {0, 0, 1}, yellow[3] = {1, 1, 0};
  std::vector<GlxCommand> commands = clearAndQuad(red, green);
  std::vector<GlxCommand> first(commands.begin(), commands.begin() + 6), second(commands.begin() + 6, commands.end());
  renderCommands(a, tagA, first);
  free(xcb_get_input_focus_reply(a, xcb_get_input_focus(a), nullptr));
  unsigned int focus = xcb_get_input_focus(b).sequence;
  xcb_flush(b);
  EXPECT_TRUE(replyWithin(b, focus, 20000)) << "not answered inside A's glBegin";
  renderCommands(b, tagB, clearAndQuad(blue, yellow));
  uint32_t released = 0;
  ASSERT_TRUE(makeCurrent(b, 0, 0, tagB, &released));
  renderCommands(a, tagA, second);

  // The quad begun in one request and ended in the next is whole, and so is B's.
  ASSERT_TRUE(makeCurrent(a, 0, 0, tagA, &released));
  expectDrawn(rig, a, windowA, rgb(red), rgb(green));
  auto *reply = xcb_get_image_reply(b, xcb_get_image(b, XCB_IMAGE_FORMAT_Z_PIXMAP, windowB, 0, 0, kSize, kSize, ~0u),
                                    nullptr);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(xcb_get_image_data_length(reply), kSize * kSize * 4);
  std::vector<uint32_t> pixelsB(size_t(kSize * kSize));
  memcpy(pixelsB.data(), xcb_get_image_data(reply), pixelsB.size() * 4);
  free(reply);
  EXPECT_EQ(wrongPixels(pixelsB, rgb(blue), rgb(yellow)), "");
  EXPECT_EQ(rig.tarvo.log().find("held the other clients"), std::string::npos);

  // Left open again, A's disconnection goes unnoticed by B.
  ASSERT_TRUE(makeCurrent(a, windowA, contextA, 0, &tagA));
  renderCommands(a, tagA, first);
  free(xcb_get_input_focus_reply(a, xcb_get_input_focus(a), nullptr));
  xcb_disconnect(a);
  focus = xcb_get_input_focus(b).sequence;
  xcb_flush(b);
  EXPECT_TRUE(replyWithin(b, focus, 20000)) << "not answered after A left";
  xcb_disconnect(b);
  EXPECT_EQ(rig.tarvo.stop(), 0);
}

// A stippled line loop and line strip drawn by DrawArrays, long enough for the proxy to give
// the library pieces, look exactly like the same vertices between glBegin and glEnd (never cut
// for a loop or a strip): both images read through tarvo after a release.
TEST_F(LumoraDrawThroughTarvo, StippledLinesByDrawArraysLookLikeTheirGlBeginForm) {
  xcb_connection_t *c = nullptr;
  uint32_t visual = 0;
  ASSERT_NO_FATAL_FAILURE(connectWithVisual(&c, &visual));
  xcb_window_t window = 0;
  uint32_t context = 0, tag = currentTag(c, visual, 0, &window, &context);
  ASSERT_NE(tag, 0u);
  GlxCommand stipple{94, {}};  // LineStipple
  glxcommandPut16(glxcommandPut32(stipple, 2), 0x5F1D);
  const std::vector<GlxCommand> state{glxcommandClearColor(0, 0, 0.2f, 1), glxcommandClear(kColorBufferBit),
                                      glxcommandEnable(0x0B24), stipple};  // GL_LINE_STIPPLE
  // A loop of 200 vertices, then a strip of 1500 (the finish interval has grown by then).
  std::vector<GlxCommand> arrays = state, begun = state;
  for (auto [mode, count] : {std::pair<uint32_t, int>{2, 200}, {3, 1500}}) {
    GlxArray where{0x1406, 2, 0x8074, {}}, colour{0x1406, 3, 0x8076, {}};  // floats: vertex, colour
    begun.push_back(glxcommandBegin(mode));
    for (int k = 0; k < count; k++) {
      double r = 0.1 + 0.85 * k / count, x = r * std::cos(k * 0.37), y = r * std::sin(k * 0.41);
      double red = (k * 37 % 256) / 255.0, green = (k * 91 % 256) / 255.0, blue = (k * 53 % 256) / 255.0;
      where.data.insert(where.data.end(), {x, y});
      colour.data.insert(colour.data.end(), {red, green, blue});
      begun.push_back(glxcommandColor3f(float(red), float(green), float(blue)));
      begun.push_back(glxcommandVertex2f(float(x), float(y)));
    }
    begun.push_back(glxcommandEnd());
    arrays.push_back(glxcommandDrawArrays(mode, uint32_t(count), {where, colour}));
  }
  std::vector<uint32_t> images[2];
  for (int k = 0; k < 2; k++) {
    if (k == 1) {
      ASSERT_TRUE(makeCurrent(c, window, context, 0, &tag));
    }
    renderCommands(c, tag, k == 0 ? arrays : begun);
    uint32_t released = 1;
    ASSERT_TRUE(makeCurrent(c, 0, 0, tag, &released));
    auto *reply = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, kSize, kSize, ~0u), nullptr);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(xcb_get_image_data_length(reply), kSize * kSize * 4);
    const auto *pixels = reinterpret_cast<const uint32_t *>(xcb_get_image_data(reply));
    for (int p = 0; p < kSize * kSize; p++) images[k].push_back(pixels[p] & 0xFFFFFF);
    free(reply);
  }
  EXPECT_GT(std::count_if(images[1].begin(), images[1].end(), [](uint32_t p) { return p != 0x000033; }), 200);
  int differing = 0;
  for (size_t p = 0; p < images[0].size(); p++) differing += images[0][p] != images[1][p];
  EXPECT_EQ(differing, 0);
  xcb_disconnect(c);
  EXPECT_EQ(rig.tarvo.stop(), 0);
}

// ShmGetImage (ZPixmap, all planes) of a kSize square of the window through a second
// connection, as 0xRRGGBB (empty when MIT-SHM is missing or the read fails).
std::vector<uint32_t> shmImage(const std::string &display, uint32_t window) {
  std::vector<uint32_t> out;
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return out;
  XShmSegmentInfo info{};
  XImage *image = XShmQueryExtension(d) ? XShmCreateImage(d, DefaultVisual(d, DefaultScreen(d)), 24, ZPixmap,
                                                          nullptr, &info, kSize, kSize)
                                        : nullptr;
  if (image) {
    info.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * kSize, IPC_CREAT | 0600);
    void *at = info.shmid >= 0 ? shmat(info.shmid, nullptr, 0) : reinterpret_cast<void *>(-1);
    if (at != reinterpret_cast<void *>(-1)) {
      info.shmaddr = image->data = static_cast<char *>(at);
      info.readOnly = False;
      if (XShmAttach(d, &info) && XShmGetImage(d, window, image, 0, 0, AllPlanes)) {
        for (int y = 0; y < kSize; y++)
          for (int x = 0; x < kSize; x++) out.push_back(uint32_t(XGetPixel(image, x, y)));
        XShmDetach(d, &info);
      }
      XSync(d, False);
      shmdt(at);
    }
    if (info.shmid >= 0) shmctl(info.shmid, IPC_RMID, nullptr);
    image->data = nullptr;
    XDestroyImage(image);
  }
  XCloseDisplay(d);
  return out;
}

TEST_F(LumoraDrawThroughTarvo, GetImageShowsDrawingNotYetReleased) {
  xcb_connection_t *c = nullptr;
  uint32_t visual = 0;
  ASSERT_NO_FATAL_FAILURE(connectWithVisual(&c, &visual));
  xcb_window_t window = 0;
  uint32_t context = 0;
  uint32_t tag = currentTag(c, visual, 0, &window, &context);
  ASSERT_NE(tag, 0u);
  // Drawn, neither flushed nor released: the read-back itself completes the library's work.
  float blue[3] = {0, 0, 1}, red[3] = {1, 0, 0};
  renderCommands(c, tag, clearAndQuad(blue, red));
  xcb_flush(c);
  EXPECT_EQ(wrongPixels(shmImage(rig.tarvo.displayName(), window), rgb(blue), rgb(red)), "") << "ShmGetImage";
  // Again, read by a core GetImage.
  float green[3] = {0, 1, 0}, yellow[3] = {1, 1, 0};
  renderCommands(c, tag, clearAndQuad(green, yellow));
  expectDrawn(rig, c, window, rgb(green), rgb(yellow));
  xcb_disconnect(c);
  EXPECT_EQ(rig.tarvo.stop(), 0);
}

// ----- a GL client held by an Await -----
constexpr uint8_t kSyncCreateCounter = 2, kSyncSetCounter = 3, kSyncAwait = 7;

// The longest of the client's round trips over 1.2 s, the requests taken in turn (each answered
// by a reply); 1e9 when one failed.
double longestRoundTrip(RawClient &c, const std::vector<RawBytes> &requests) {
  auto begin = std::chrono::steady_clock::now();
  double longest = 0;
  for (size_t k = 0; std::chrono::steady_clock::now() - begin < std::chrono::milliseconds(1200); k++) {
    auto start = std::chrono::steady_clock::now();
    RawBytes answer;
    if (!c.roundTrip(requests[k % requests.size()], answer, 40000).empty() || answer[0] != 1) return 1e9;
    longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return longest;
}

// The messages up to the reply of a GetInputFocus sent now (0xff alone: a time-out).
std::vector<RawBytes> messagesUntilFocus(RawClient &c, int timeoutMs = 20000) {
  std::vector<RawBytes> out;
  if (!c.send(RawRequest(c.big()).b(43).b(0).s(1).done()).empty()) return {RawBytes{0xff}};
  for (;;) {
    RawBytes message;
    if (!c.read(message, timeoutMs).empty()) return {RawBytes{0xff}};
    if (message[0] == 1 && rawGet16(message, 2, c.big()) == c.sequence()) return out;
    out.push_back(message);
  }
}

// The errors among the messages, as "code/minor" texts.
std::string errorsOf(const std::vector<RawBytes> &messages) {
  std::string out;
  for (const RawBytes &m : messages)
    if (m.size() >= 32 && m[0] == 0) out += std::to_string(m[1]) + "/" + std::to_string(m[10]) + " ";
  return out;
}

class LumoraHeldClient : public LumoraDrawThroughTarvo {};

// The GL client's requests go behind an Await on a frozen counter, in rounds: a MakeCurrent
// that moves its tag before its first use, the first render on the new tag, a swap interval, an
// unmap and map of its window (drawn again), a GetImage of it; then, the GL client held once
// more, another client closes with a tag not used yet. Meanwhile a third client's round trips
// (GetInputFocus, its own GetImage) stay short; each time the counter moves, the GL client's
// requests go on, and what it drew reads back.
TEST_F(LumoraHeldClient, AwaitingGlClientHoldsNoOtherClient) {
  xcb_connection_t *probe = nullptr;
  uint32_t visual = 0;
  ASSERT_NO_FATAL_FAILURE(connectWithVisual(&probe, &visual));
  xcb_disconnect(probe);
  RawClient gl, setter, bystander;
  ASSERT_EQ(gl.connect(rig.tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(setter.connect(rig.tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(bystander.connect(rig.tarvo.displayNumber(), 'B'), "");
  uint8_t glx = gl.queryExtension("GLX"), sync = gl.queryExtension("SYNC");
  ASSERT_NE(glx, 0);
  ASSERT_NE(sync, 0);
  uint32_t base = gl.idBase(), counter = base | 1, window = base | 3, context = base | 4;
  auto syncRequest = [&](uint8_t minor, const std::vector<uint32_t> &words) {
    RawRequest r(false);
    r.b(sync).b(minor).s(0);
    for (uint32_t w : words) r.i(w);
    return r.done();
  };
  ASSERT_EQ(gl.send(syncRequest(kSyncCreateCounter, {counter, 0, 0})), "");
  uint32_t tag = rawCurrentWindow(gl, glx, visual, base | 2, window, context);
  ASSERT_NE(tag, 0u);

  RawBytes focus = RawRequest(true).b(43).b(0).s(1).done();
  // GetImage of a corner of the root, on the GL head's screen.
  RawBytes corner = RawRequest(true).b(73).b(2).s(5).i(bystander.rootWindow()).s(0).s(0).s(1).s(1).i(~0u).done();
  auto await = [&](uint32_t value) {
    return syncRequest(kSyncAwait, {counter, 0, 0, value, 2, 0, 0});  // absolute, positive comparison
  };
  float red[3] = {1, 0, 0}, green[3] = {0, 1, 0};
  struct Round {
    const char *name;
    std::vector<RawBytes> requests;
  };
  RawBytes swapInterval = RawRequest(false).b(glx).b(16).s(0).i(1416).i(tag).i(window).i(1).done();
  RawBytes getImage = RawRequest(false).b(73).b(2).s(0).i(window).s(0).s(0).s(kSize).s(kSize).i(~0u).done();
  float blue[3] = {0, 0, 1}, yellow[3] = {1, 1, 0};
  RawBytes unmap = RawRequest(false).b(10).b(0).s(0).i(window).done();
  RawBytes map = RawRequest(false).b(8).b(0).s(0).i(window).done();
  // The tag moves (onto the same window) while its slot is new: the library lets go of that slot.
  RawBytes moveTag = RawRequest(false).b(glx).b(5).s(0).i(window).i(context).i(tag).done();
  std::vector<Round> rounds = {
      {"tag moved before its first use", {moveTag}},
      {"first render on the tag", {glxcommandRenderRequest(glx, tag, clearAndQuad(red, green), false)}},
      {"swap interval", {swapInterval}},
      {"unmap and map of the window drawn into", {unmap, map, glxcommandRenderRequest(glx, tag, clearAndQuad(blue, yellow), false)}},
      {"read-back", {getImage}}};
  std::vector<RawBytes> held;
  for (uint32_t k = 0; k < rounds.size(); k++) {
    SCOPED_TRACE(rounds[k].name);
    ASSERT_EQ(gl.send(await(k + 1)), "");
    for (const RawBytes &request : rounds[k].requests) ASSERT_EQ(gl.send(request), "");
    EXPECT_LT(longestRoundTrip(bystander, {focus, corner}), 1.0);
    ASSERT_EQ(setter.send(RawRequest(false).b(sync).b(kSyncSetCounter).s(0).i(counter).i(0).i(k + 1).done()), "");
    held = messagesUntilFocus(gl);
    ASSERT_FALSE(held.size() == 1 && held[0] == RawBytes{0xff}) << "no answer after the counter moved";
    EXPECT_EQ(errorsOf(held), "");
  }
  // The last round's answer: the window as drawn after its map.
  auto image = std::find_if(held.begin(), held.end(), [](const RawBytes &m) { return m[0] == 1; });
  ASSERT_NE(image, held.end());
  ASSERT_GE(image->size(), 32 + size_t(kSize * kSize * 4));
  bool msbFirst = gl.setup().size() > 30 && gl.setup()[30] == 1;
  std::vector<uint32_t> pixels;
  for (size_t k = 0; k < size_t(kSize * kSize); k++) pixels.push_back(rawGet32(*image, 32 + 4 * k, msbFirst));
  EXPECT_EQ(wrongPixels(pixels, rgb(blue), rgb(yellow)), "");
  expectDrawn(rig, nullptr, window, rgb(blue), rgb(yellow));

  // Held once more: another client's tag goes with its close before its first use, and nobody
  // waits for that.
  ASSERT_EQ(gl.send(await(uint32_t(rounds.size() + 1))), "");
  {
    RawClient other;
    ASSERT_EQ(other.connect(rig.tarvo.displayNumber(), 'l'), "");
    uint32_t otherBase = other.idBase();
    ASSERT_NE(rawCurrentWindow(other, glx, visual, otherBase | 1, otherBase | 2, otherBase | 3), 0u);
  }
  EXPECT_LT(longestRoundTrip(bystander, {focus, corner}), 1.0);
  ASSERT_EQ(setter.send(RawRequest(false).b(sync).b(kSyncSetCounter).s(0).i(counter).i(0).i(uint32_t(rounds.size() + 1)).done()),
            "");
  EXPECT_EQ(errorsOf(messagesUntilFocus(gl)), "");
  gl.close();
  setter.close();
  bystander.close();
  EXPECT_EQ(rig.tarvo.stop(), 0) << rig.tarvo.output();
}

}  // namespace
