// Core PutImage through tarvo's own shared-memory segment, reused put after put: hundreds of
// puts of changing sizes and formats written in one go (the segment wraps and grows; images
// above its largest size take a segment of their own) give the pixels the X server gives
// directly, with one head and with two; the server sees a handful of attaches, not one per put
// (seen by xtrace); a reset in the middle of a burst; no segment of tarvo's is left once its
// clients are gone, once it has ended, nor after it was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// System V segments made by the process (from /proc/sysvipc/shm, attached ones marked for
// removal included).
int segmentsOf(pid_t pid) {
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // column names
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long key = 0, shmid = 0, perms = 0, cpid = 0;
    unsigned long size = 0;
    if (fields >> key >> shmid >> perms >> size >> cpid && cpid == pid) count++;
  }
  return count;
}

// Waits up to three seconds for the process to hold no segment: the count then.
int segmentsLeft(pid_t pid) {
  int count = segmentsOf(pid);
  for (int k = 0; k < 60 && count; k++) {
    usleep(50000);
    count = segmentsOf(pid);
  }
  return count;
}

uint64_t hashImage(XImage *image) {
  if (!image) return 0;
  uint64_t h = 1469598103934665603ull;
  size_t n = size_t(image->bytes_per_line) * size_t(image->height);
  for (size_t i = 0; i < n; i++) h = (h ^ uint8_t(image->data[i])) * 1099511628211ull;
  XDestroyImage(image);
  return h;
}

int xErrors = 0;
int countError(Display *, XErrorEvent *) {
  xErrors++;
  return 0;
}

// An image of pseudo-random bytes (the generator's state advanced).
XImage *randomImage(Display *d, int depth, int format, unsigned width, unsigned height, uint32_t *state) {
  XImage *image = XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), unsigned(depth), format, 0, nullptr, width,
                               height, 32, 0);
  if (!image) return nullptr;
  size_t bytes = size_t(image->bytes_per_line) * height * (format == XYPixmap ? size_t(depth) : 1);
  image->data = static_cast<char *>(malloc(bytes));
  for (size_t i = 0; i < bytes; i++) {
    *state = *state * 1664525u + 1013904223u;
    image->data[i] = char(*state >> 24);
  }
  return image;
}

constexpr int kPixmapWidth = 1100, kPixmapHeight = 1000;

// Puts `puts` images into a 600x300 window at `windowX` and a 1100x1000 pixmap in one go: small
// Z images in a grid on the pixmap, XY and bitmap images and larger Z images on the window, at
// 100 two megabytes on the pixmap (the segment grows), at 200 and 320 the whole pixmap and
// more (above four megabytes: a segment of their own; the second partly outside). Then reads
// both back: a description to compare between two servers.
std::string putMany(const std::string &name, int windowX, int puts, uint32_t seed) {
  Display *d = XOpenDisplay(name.c_str());
  if (!d) return "no display";
  xErrors = 0;
  auto previousHandler = XSetErrorHandler(countError);
  int screen = DefaultScreen(d);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = 0;
  Window w = XCreateWindow(d, RootWindow(d, screen), windowX, 40, 600, 300, 0, 24, InputOutput,
                           DefaultVisual(d, screen), CWOverrideRedirect | CWBackPixel, &a);
  XMapWindow(d, w);
  Pixmap p = XCreatePixmap(d, w, kPixmapWidth, kPixmapHeight, 24);
  GC gc = XCreateGC(d, w, 0, nullptr);
  XSetForeground(d, gc, 0x00345678);
  XSetBackground(d, gc, 0x00c0ffee);
  XFillRectangle(d, p, gc, 0, 0, kPixmapWidth, kPixmapHeight);
  XSync(d, False);
  uint32_t state = seed;
  for (int k = 0; k < puts; k++) {
    XImage *image = nullptr;
    Drawable target = w;
    int x = 0, y = 0;
    if (k == 100) {
      image = randomImage(d, 24, ZPixmap, 700, 700, &state);
      target = p;
      x = 300;
      y = 200;
    } else if (k == 200 || k == 320) {
      image = randomImage(d, 24, ZPixmap, kPixmapWidth, kPixmapHeight, &state);
      target = p;
      x = k == 200 ? 0 : -50;
      y = k == 200 ? 0 : -30;
    } else if (k % 10 < 7) {
      image = randomImage(d, 24, ZPixmap, 1 + unsigned(k * 37) % 97, 1 + unsigned(k * 53) % 61, &state);
      target = p;
      x = (k % 11) * 100;
      y = (k / 11 % 16) * 62;
    } else if (k % 10 == 7) {
      image = randomImage(d, 24, XYPixmap, 1 + unsigned(k * 29) % 80, 1 + unsigned(k * 31) % 40, &state);
      x = (k * 13) % 500;
      y = (k * 7) % 250;
    } else if (k % 10 == 8) {
      image = randomImage(d, 1, XYBitmap, 8 + unsigned(k % 64), 4 + unsigned(k % 20), &state);
      x = (k * 17) % 520;
      y = (k * 5) % 270;
    } else {
      image = randomImage(d, 24, ZPixmap, 100 + unsigned(k * 17) % 200, 50 + unsigned(k * 11) % 150, &state);
      x = (k * 3) % 300;
      y = (k * 19) % 150;
    }
    if (!image) return "no image";
    XPutImage(d, target, gc, image, 0, 0, x, y, unsigned(image->width), unsigned(image->height));
    XDestroyImage(image);
  }
  XSync(d, False);
  std::string out = "window " + std::to_string(hashImage(XGetImage(d, w, 0, 0, 600, 300, AllPlanes, ZPixmap))) + "\n";
  out += "pixmap " +
         std::to_string(hashImage(XGetImage(d, p, 0, 0, kPixmapWidth, kPixmapHeight, AllPlanes, ZPixmap))) + "\n";
  XFreePixmap(d, p);
  XFreeGC(d, gc);
  XSync(d, False);
  out += "errors " + std::to_string(xErrors) + "\n";
  XSetErrorHandler(previousHandler);
  XCloseDisplay(d);
  return out;
}

struct Layout {
  const char *name;
  std::vector<std::string> screens, directScreens;
  int windowX;  // with two heads the window lies across both
};

class ShmImageRing : public ::testing::TestWithParam<Layout> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens = GetParam().screens;
    options.directScreens = GetParam().directScreens;
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

TEST_P(ShmImageRing, ManyPutsAsDirectAndNoSegmentLeft) {
  pid_t pid = twin.tarvo().pid();
  for (uint32_t seed : {7u, 12345u}) {
    std::string direct = putMany(twin.directDisplay(), GetParam().windowX, 400, seed);
    std::string proxied = putMany(twin.proxyDisplay(), GetParam().windowX, 400, seed);
    EXPECT_NE(direct.find("errors 0\n"), std::string::npos) << direct;
    EXPECT_EQ(proxied, direct) << "seed " << seed;
    // The client gone, its connection's segment went with it.
    EXPECT_EQ(segmentsLeft(pid), 0) << "seed " << seed;
  }
  EXPECT_EQ(twin.stop(), 0);
  EXPECT_EQ(segmentsLeft(pid), 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ShmImageRing,
                         ::testing::Values(Layout{"OneHead", {"1280x600x24"}, {}, 300},
                                           Layout{"TwoHeads", {"640x600x24", "640x600x24"}, {"1280x600x24"}, 350}),
                         [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

// With xtrace between tarvo and an Xvfb of two screens: 300 puts on both heads go to the
// server as 600 shared-memory puts from a few attaches, each copy at its own offset.
TEST(ShmImageRingTraced, FewAttachesForManyPuts) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindXtrace(xvfb, xtrace, tarvo, trace, 2, "640x480x24"), "");
  Display *d = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(d, nullptr);
  int screen = DefaultScreen(d);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  Window w = XCreateWindow(d, RootWindow(d, screen), 500, 100, 300, 200, 0, 24, InputOutput, DefaultVisual(d, screen),
                           CWOverrideRedirect, &a);
  XMapWindow(d, w);
  GC gc = XCreateGC(d, w, 0, nullptr);
  int major = 0, firstEvent = 0, firstError = 0;
  ASSERT_TRUE(XQueryExtension(d, "MIT-SHM", &major, &firstEvent, &firstError));
  uint32_t state = 99;
  constexpr int kPuts = 300;
  for (int k = 0; k < kPuts; k++) {
    XImage *image = randomImage(d, 24, ZPixmap, 37 + unsigned(k % 5), 20, &state);
    ASSERT_NE(image, nullptr);
    XPutImage(d, w, gc, image, 0, 0, 110 + k % 50, k % 150, unsigned(image->width), 20);
    XDestroyImage(image);
  }
  XSync(d, False);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  // As xtrace shows them: by number where tarvo's connection did not query the extension
  // (byte 1 the minor opcode), else by name; the put's offset ends the line.
  std::string byNumber = "Request(" + std::to_string(major) + "): UNKNOWN", byName = "Request(" + std::to_string(major) + ",";
  std::vector<std::string> puts;
  int attaches = 0;
  std::string text;
  for (int k = 0; k < 100 && puts.size() < 2 * kPuts; k++) {
    if (k) usleep(50000);
    puts.clear();
    attaches = 0;
    text = xrelayReadFile(trace);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      bool numbered = line.find(byNumber) != std::string::npos;
      if (line.find(numbered ? "opcode2=0x03" : byName + "3)") != std::string::npos && line.size() > 19)
        puts.push_back(line.substr(line.size() - 19));
      else if (line.find(numbered ? "opcode2=0x01" : byName + "1)") != std::string::npos)
        attaches++;
    }
  }
  ASSERT_EQ(puts.size(), size_t(2 * kPuts)) << text.substr(0, 3000);
  // One segment, grown a few times by doubling under the burst: not one per put.
  EXPECT_GE(attaches, 1);
  EXPECT_LE(attaches, 8);
  // Every copy (one per head) has a place of its own while the segment has room.
  for (size_t i = 0; i < 40; i++)
    for (size_t j = i + 1; j < 40; j++) EXPECT_NE(puts[i], puts[j]) << i << " " << j;
  pid_t pid = tarvo.pid();
  EXPECT_EQ(tarvo.stop(), 0);
  EXPECT_EQ(segmentsLeft(pid), 0);
}

// A reset in the middle of a client's burst of puts: tarvo stays up, holds no segment once
// the client is gone, and the next client's puts give the pixels the server gives directly.
TEST(ShmImageRingReset, BurstCutByReset) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "640x600x24"), "");
  pid_t pid = tarvo.pid();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Puts until the connection breaks.
    signal(SIGPIPE, SIG_IGN);
    XSetIOErrorHandler([](Display *) -> int { _exit(0); });
    putMany(tarvo.displayName(), 500, 1000000, 1);
    _exit(4);
  }
  usleep(400000);
  tarvo.signal(SIGHUP);
  EXPECT_TRUE(tarvo.waitForLog("Received reset signal SIGHUP", 5000));
  int status = 0;
  pid_t done = 0;
  for (int k = 0; k < 100 && done == 0; k++) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(50000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(done != 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the client's connection did not end";
  EXPECT_EQ(segmentsLeft(pid), 0);
  // The next generation: the same puts as on the Xvfb behind, within its first screen.
  std::string proxied;
  for (int k = 0; k < 100; k++) {
    proxied = putMany(tarvo.displayName(), 20, 240, 77);
    if (proxied != "no display") break;
    usleep(50000);
  }
  std::string direct = putMany(xvfb.displayName(), 20, 240, 77);
  EXPECT_NE(direct.find("errors 0\n"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  EXPECT_EQ(segmentsLeft(pid), 0);
  // Killed while a client's segment is in use: its shmid was removed once the server had
  // attached it, so it goes with the last mapping.
  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'l'), "");
  uint32_t gc = raw.idBase() | 1;
  raw.send(RawRequest(false).b(55).b(0).s(0).i(gc).i(raw.rootWindow()).i(0).done());  // CreateGC
  raw.send(RawRequest(false).b(72).b(2).s(0).i(raw.rootWindow()).i(gc).s(64).s(32).s(0).s(0).b(0).b(24).pad(2)
               .pad(64 * 32 * 4).done());  // PutImage
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");  // GetInputFocus
  EXPECT_EQ(segmentsOf(pid), 1);
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended";
  tarvo.signal(SIGKILL);
  EXPECT_EQ(tarvo.wait(5000), 128 + SIGKILL);
  EXPECT_EQ(segmentsLeft(pid), 0);
}

}  // namespace
