// The tarvo executable's memory under load that never lets up: one client floods it for 20 s
// with drawing, property and image requests (and reads its answers), another sends requests
// whose replies it never reads. Flow control bounds what tarvo queues for either, so its
// resident set at the end of the flood stays within 10% of what it was after the first 2 s.
// Afterwards three SIGHUP resets, each followed by a short session, leave it no larger than
// the first one did. No timing is asserted: the bounds are on memory only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr int kFloodMs = 20000;
constexpr int kFirstSampleMs = 2000;
constexpr double kAllowedGrowth = 1.10;
constexpr int kResets = 3;

// The resident set of a process in kB (VmRSS), or -1.
long residentKb(pid_t pid) {
  std::string status = tarvoReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

size_t countOf(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// One batch of the flood on a mapped window: filled rectangles, a polyline, a replaced property,
// a 32x32 image put; every 16th batch reads an image and the property back (round trips).
// false when the connection failed.
bool floodBatch(xcb_connection_t *c, xcb_window_t window, xcb_gcontext_t gc, uint8_t depth, xcb_atom_t property,
                uint32_t n, std::vector<uint8_t> &pixels) {
  xcb_rectangle_t rectangles[16];
  for (uint32_t i = 0; i < 16; i++)
    rectangles[i] = {int16_t((n * 7 + i * 13) % 300), int16_t((n + i * 5) % 200), uint16_t(5 + i), uint16_t(5 + n % 9)};
  xcb_poly_fill_rectangle(c, window, gc, 16, rectangles);
  xcb_point_t points[8];
  for (uint32_t i = 0; i < 8; i++) points[i] = {int16_t((n + i * 37) % 320), int16_t((n * 3 + i * 11) % 240)};
  xcb_poly_line(c, XCB_COORD_MODE_ORIGIN, window, gc, 8, points);
  std::string value(64 + n % 512, char('a' + n % 26));
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, XCB_ATOM_STRING, 8, uint32_t(value.size()),
                      value.data());
  pixels[n % pixels.size()] = uint8_t(n);
  if (depth == 24)
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, 32, 32, int16_t(n % 200), int16_t(n % 150), 0, 24,
                  uint32_t(pixels.size()), pixels.data());
  if (n % 16 == 15) {
    free(xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, 24, 24, ~0u), nullptr));
    free(xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_STRING, 0, 1024), nullptr));
    while (xcb_generic_event_t *event = xcb_poll_for_event(c)) free(event);
  }
  return !xcb_connection_has_error(c);
}

struct Flooder {
  xcb_connection_t *c = nullptr;
  xcb_window_t window = 0;
  xcb_gcontext_t gc = 0;
  uint8_t depth = 0;
  xcb_atom_t property = 0;

  bool open(const std::string &display) {
    c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) return false;
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    depth = screen->root_depth;
    window = xcb_generate_id(c);
    const uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 320, 240, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window);
    gc = xcb_generate_id(c);
    const uint32_t gcValues[] = {screen->black_pixel};
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, gcValues);
    static const char name[] = "TARVO_FLOOD";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
    if (!atom) return false;
    property = atom->atom;
    free(atom);
    return true;
  }
  ~Flooder() {
    if (c) xcb_disconnect(c);
  }
};

// Floods until told to stop; the number of batches, or -1 when the connection failed.
long floodUntil(Flooder &f, const std::atomic<bool> &stop) {
  std::vector<uint8_t> pixels(32 * 32 * 4, 0x5a);
  long batches = 0;
  while (!stop.load()) {
    if (!floodBatch(f.c, f.window, f.gc, f.depth, f.property, uint32_t(batches), pixels)) return -1;
    batches++;
  }
  free(xcb_get_input_focus_reply(f.c, xcb_get_input_focus(f.c), nullptr));
  return xcb_connection_has_error(f.c) ? -1 : batches;
}

// A client that never reads: GetInputFocus and ListExtensions requests written on a
// non-blocking socket whenever it takes them, until told to stop or a budget of requests is
// spent (the real server keeps the replies the proxy does not take). The bytes written.
long neverRead(int fd, const std::atomic<bool> &stop) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::vector<uint8_t> batch;
  for (int i = 0; i < 512; i++) batch.insert(batch.end(), {uint8_t(i % 2 ? 99 : 43), 0, 1, 0});
  const long budget = 20000 * 4;
  long written = 0;
  size_t at = 0;
  while (!stop.load() && written < budget) {
    ssize_t n = write(fd, batch.data() + at, batch.size() - at);
    if (n > 0) {
      written += n;
      at = (at + size_t(n)) % batch.size();
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 20);
  }
  return written;
}

// A short session after a reset: drawing, a property, an image and its round trips.
bool shortSession(const std::string &display) {
  Flooder f;
  for (long long deadline = xvfbNowMs() + 10000; !f.open(display); usleep(50000)) {
    if (xvfbNowMs() > deadline) return false;
    if (f.c) xcb_disconnect(f.c);  // (the reset may still be closing the listeners)
    f.c = nullptr;
  }
  std::vector<uint8_t> pixels(32 * 32 * 4, 0x33);
  for (uint32_t n = 0; n < 64; n++)
    if (!floodBatch(f.c, f.window, f.gc, f.depth, f.property, n, pixels)) return false;
  free(xcb_get_input_focus_reply(f.c, xcb_get_input_focus(f.c), nullptr));
  return !xcb_connection_has_error(f.c);
}

class FloodThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_F(FloodThroughTarvo, ResidentMemoryStaysFlatUnderFloodAndResets) {
  TarvoOptions options;
  // Under AddressSanitizer freed blocks wait in its quarantine: kept small, so that the resident
  // set shows what tarvo holds rather than what the sanitizer has not yet given back.
  const char *asan = getenv("ASAN_OPTIONS");
  options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=1");
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24", options), "");
  const std::string display = tarvo.displayName();

  Flooder flooder;
  ASSERT_TRUE(flooder.open(display));
  RawClient silent;
  ASSERT_EQ(silent.connect(tarvo.displayNumber(), 'l'), "");

  std::atomic<bool> stop{false};
  long batches = 0, silentBytes = 0;
  std::thread floodThread([&] { batches = floodUntil(flooder, stop); });
  std::thread silentThread([&] { silentBytes = neverRead(silent.fd(), stop); });
  const long long began = xvfbNowMs();
  usleep(kFirstSampleMs * 1000);
  const long early = residentKb(tarvo.pid());
  while (xvfbNowMs() - began < kFloodMs && tarvo.running() && tarvo.wait(0) == -1) usleep(100000);
  const long late = residentKb(tarvo.pid());
  stop = true;
  floodThread.join();
  silentThread.join();

  ASSERT_GT(batches, 100) << "the flooding client was served";
  ASSERT_GT(silentBytes, 0);
  ASSERT_GT(early, 0);
  ASSERT_GT(late, 0) << "tarvo ran through the flood";
  RecordProperty("residentKbAfter2s", std::to_string(early));
  RecordProperty("residentKbAtEnd", std::to_string(late));
  RecordProperty("floodBatches", std::to_string(batches));
  EXPECT_LE(double(late), double(early) * kAllowedGrowth)
      << "resident " << early << " kB after 2 s, " << late << " kB after " << kFloodMs / 1000 << " s ("
      << batches << " batches, " << silentBytes << " bytes of unread requests)";
  silent.close();
  xcb_disconnect(flooder.c);
  flooder.c = nullptr;

  // Resets: each closes what is connected and serves the next session.
  std::vector<long> afterReset;
  for (int k = 1; k <= kResets; k++) {
    tarvo.signal(SIGHUP);
    long long deadline = xvfbNowMs() + 10000;
    while (countOf(tarvo.log(), "Received reset signal SIGHUP") < size_t(k) && xvfbNowMs() < deadline)
      usleep(20000);
    ASSERT_EQ(countOf(tarvo.log(), "Received reset signal SIGHUP"), size_t(k));
    ASSERT_TRUE(shortSession(display)) << "reset " << k;
    afterReset.push_back(residentKb(tarvo.pid()));
    ASSERT_GT(afterReset.back(), 0);
  }
  RecordProperty("residentKbAfterResets",
                 std::to_string(afterReset[0]) + " " + std::to_string(afterReset[1]) + " " +
                     std::to_string(afterReset[2]));
  EXPECT_LE(double(afterReset.back()), double(afterReset.front()) * kAllowedGrowth)
      << "resident after resets: " << afterReset[0] << ", " << afterReset[1] << ", " << afterReset[2] << " kB";
  EXPECT_EQ(tarvo.stop(), 0);
}

}  // namespace
