// What clients leave behind in the tarvo executable: sessions of xcb clients create windows
// (destroyed by request or left to the connection's end), pixmaps, GCs, images and properties;
// once the destroyed windows' event masks have had their 7 s, the proxy's heap in use (as its
// log reports it then) is back where it was after a warm-up of the same kind.
#include <gtest/gtest.h>

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The proxy's line once a burst of destroyed windows' event masks has gone.
constexpr const char *kFreedLine = "destroyed windows freed, heap in use ";

// The heap figures of the freed lines the log holds so far.
std::vector<uint64_t> heapFigures(const std::string &log) {
  std::vector<uint64_t> figures;
  for (size_t at = log.find(kFreedLine); at != std::string::npos; at = log.find(kFreedLine, at + 1))
    figures.push_back(std::strtoull(log.c_str() + at + std::string(kFreedLine).size(), nullptr, 10));
  return figures;
}

// Waits until the log holds more than `count` freed lines; the last figure, or 0 after timeoutMs.
uint64_t waitForHeapFigure(const TarvoProcess &tarvo, size_t count, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    std::vector<uint64_t> figures = heapFigures(tarvo.log());
    if (figures.size() > count) return figures.back();
    if (xvfbNowMs() > deadline) return 0;
    usleep(100000);
  }
}

// Waits for every answer so far (a GetInputFocus round trip) and drops the queued events.
void settle(xcb_connection_t *c) {
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  while (xcb_generic_event_t *event = xcb_poll_for_event(c)) free(event);
}

// One client session: `windows` windows with event masks (half with a child, every fourth
// mapped), of which the first `destroyed` are destroyed by request; pixmaps with a GC each,
// filled, put to and read back; a property on the last window (ChangeProperty may answer
// BadRequest: its error is dropped with the events). The connection's end frees the rest.
bool session(const std::string &display, int windows, int destroyed) {
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return false;
  }
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const uint32_t windowValues[] = {screen->white_pixel, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                                            XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_POINTER_MOTION};
  xcb_window_t last = screen->root;
  for (int i = 0; i < windows; i++) {
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, int16_t(i % 400), int16_t(i % 300),
                      uint16_t(20 + i % 30), uint16_t(10 + i % 20), uint16_t(i % 3), XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, windowValues);
    if (i % 2) {
      const uint32_t childMask[] = {XCB_EVENT_MASK_EXPOSURE};
      xcb_create_window(c, XCB_COPY_FROM_PARENT, xcb_generate_id(c), w, 1, 1, 5, 5, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, childMask);
    }
    if (i % 4 == 0) {
      xcb_map_subwindows(c, w);
      xcb_map_window(c, w);
    }
    if (i < destroyed) xcb_destroy_window(c, w);
    last = w;
    if (i % 200 == 199) settle(c);
  }
  std::vector<uint8_t> pixels(16 * 16 * 4);
  for (size_t k = 0; k < pixels.size(); k++) pixels[k] = uint8_t(k * 7 + windows);
  for (int i = 0; i < 3; i++) {
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, 16, 16);
    const uint32_t gcValues[] = {screen->black_pixel};
    xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, gcValues);
    const xcb_rectangle_t all = {0, 0, 16, 16};
    xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
    if (screen->root_depth == 24)
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, 16, 16, 0, 0, 0, 24, uint32_t(pixels.size()),
                    pixels.data());
    free(xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, 0, 0, 16, 16, ~0u), nullptr));
    if (i == 1) {  // the others go with the connection
      xcb_free_gc(c, gc);
      xcb_free_pixmap(c, pixmap);
    }
  }
  static const char name[] = "memory test";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, last, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof name - 1, name);
  settle(c);
  bool ok = !xcb_connection_has_error(c);
  xcb_disconnect(c);
  return ok;
}

class MemoryThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

// A phase: one session that destroys every window it made, then short sessions that leave
// theirs to the connection's end. Between its destructions there is never a 7 s pause, so its
// destroyed windows' masks go in one burst after its end.
struct Phase {
  int windows;       // of the first session
  int sessions;      // short ones after it
  int windowsEach;   // of each short session (a quarter of them destroyed by request)
  int total() const { return windows + sessions * windowsEach; }
};

TEST_F(MemoryThroughTarvo, DestroyedWindowsAndClosedSessionsLeaveNoHeapBehind) {
  XvfbOptions options;
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  ASSERT_EQ(tarvo.start(xvfb.displayName()), "");  // logs its steps, the freed lines among them
  const std::string display = tarvo.displayName();
  auto run = [&](const Phase &phase) {
    if (!session(display, phase.windows, phase.windows)) return false;
    for (int s = 0; s < phase.sessions; s++)
      if (!session(display, phase.windowsEach, phase.windowsEach / 4)) return false;
    return true;
  };
  const Phase warmUp{1000, 20, 20}, measured{3000, 150, 20};
  ASSERT_TRUE(run(warmUp));
  const uint64_t warm = waitForHeapFigure(tarvo, 0, 30000);
  ASSERT_GT(warm, 0u) << tarvo.log();
  ASSERT_TRUE(run(measured));
  const uint64_t after = waitForHeapFigure(tarvo, 1, 30000);
  ASSERT_GT(after, 0u) << tarvo.log();
  // A destroyed window's block alone takes 64 bytes while it waits: a window that left only a
  // quarter of that behind for good shows here.
  const double perWindow = after > warm ? double(after - warm) / measured.total() : 0.0;
  RecordProperty("heapAfterWarmUp", std::to_string(warm));
  RecordProperty("heapAfterMeasured", std::to_string(after));
  EXPECT_LT(perWindow, 16.0) << "heap in use " << warm << " after the warm-up, " << after << " after "
                             << measured.total() << " windows in " << measured.sessions + 1 << " sessions";
  EXPECT_EQ(heapFigures(tarvo.log()).size(), 2u) << "one burst per phase";
}

}  // namespace
