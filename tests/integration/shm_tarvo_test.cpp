// MIT-SHM through the tarvo executable: images put and read through libXext's shared-memory
// calls give the same pixels, segment bytes and completions as the X server used directly (one
// screen, and two 800x600 screens joined against a direct 1600x600 one; an emulated 8-bit
// PseudoColor visual against an 8-bit server); the copies the server gets (seen by xtrace); the
// attach counts of a segment, also across a reset; converted puts under flow control; hostile
// offsets and sizes from a raw client of either byte order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include "rawclient_fixture.h"
#include "sanitizer_runtime.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// A System V segment of the test, mapped here; removed at the end.
struct Segment {
  int id = -1;
  uint8_t *address = nullptr;
  explicit Segment(size_t size) {
    id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id >= 0) address = static_cast<uint8_t *>(shmat(id, nullptr, 0));
  }
  ~Segment() {
    if (address) shmdt(address);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
  shmatt_t attaches() const {
    shmid_ds status{};
    shmctl(id, IPC_STAT, &status);
    return status.shm_nattch;
  }
};

uint64_t hashBytes(const uint8_t *p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

uint64_t hashImage(XImage *image) {
  if (!image) return 0;
  size_t n = size_t(image->bytes_per_line) * size_t(image->height) *
             (image->format == XYPixmap ? size_t(image->depth) : 1);
  uint64_t h = hashBytes(reinterpret_cast<uint8_t *>(image->data), n);
  XDestroyImage(image);
  return h;
}

int xErrors = 0;
int countError(Display *, XErrorEvent *) {
  xErrors++;
  return 0;
}

// Puts Z, XY and bitmap images (whole and parts) into a window at `x` and into a pixmap, then
// reads everything back: a description to compare between the two servers. At depth 8 the
// window has an 8-bit PseudoColor visual of its own colormap.
std::string exercise(const std::string &name, int x, int depth = 24) {
  Display *d = XOpenDisplay(name.c_str());
  if (!d) return "no display";
  xErrors = 0;
  auto previousHandler = XSetErrorHandler(countError);
  unsigned long pixels = depth >= 32 ? 0xffffffffUL : (1UL << depth) - 1;
  std::string out;
  int major = 0, minor = 0;
  Bool pixmaps = True;
  XShmQueryVersion(d, &major, &minor, &pixmaps);
  // The first line differs by design: tarvo offers version 1.1 without shared pixmaps.
  out += "version " + std::to_string(major) + "." + std::to_string(minor) + " pixmaps " + std::to_string(pixmaps) +
         "\n";
  int screen = DefaultScreen(d);
  Window root = RootWindow(d, screen);
  XVisualInfo visualInfo{};
  visualInfo.visual = DefaultVisual(d, screen);
  if (depth != 24 && !XMatchVisualInfo(d, screen, depth, PseudoColor, &visualInfo)) {
    XSetErrorHandler(previousHandler);
    XCloseDisplay(d);
    return "no PseudoColor visual of depth " + std::to_string(depth);
  }
  Visual *visual = visualInfo.visual;
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.background_pixel = 0;
  a.border_pixel = 0;
  unsigned long valueMask = CWOverrideRedirect | CWBackPixel;
  if (depth != 24) {
    a.colormap = XCreateColormap(d, root, visual, AllocNone);
    valueMask |= CWColormap | CWBorderPixel;
  }
  Window w = XCreateWindow(d, root, x, 100, 200, 100, 0, depth, InputOutput, visual, valueMask, &a);
  XMapWindow(d, w);
  // Made on the root at every depth: at depth 8 through tarvo a pixmap on the 24-bit root must
  // still take the emulated visual's depth on the head, or the 8-bit window's GC cannot draw
  // into it (BadMatch).
  Pixmap p = XCreatePixmap(d, root, 200, 100, unsigned(depth));
  GC gc = XCreateGC(d, w, 0, nullptr);
  XSetForeground(d, gc, 0x00ff8040 & pixels);
  XSetBackground(d, gc, 0x00102030 & pixels);
  XFillRectangle(d, p, gc, 0, 0, 200, 100);
  XSync(d, False);
  Segment segment(1 << 20);
  XShmSegmentInfo info{};
  info.shmid = segment.id;
  info.shmaddr = reinterpret_cast<char *>(segment.address);
  info.readOnly = False;
  XShmAttach(d, &info);
  for (size_t i = 0; i < (1u << 20); i++) segment.address[i] = uint8_t(i * 7 + i / 251);
  XImage *z = XShmCreateImage(d, visual, unsigned(depth), ZPixmap, info.shmaddr, &info, 200, 100);
  for (int row = 0; row < 100; row++)
    for (int col = 0; col < 200; col++) XPutPixel(z, col, row, (uint32_t(row * 2654435761u + col * 40503u)) & pixels);
  XShmPutImage(d, w, gc, z, 0, 0, 0, 0, 200, 100, True);
  XShmPutImage(d, p, gc, z, 0, 0, 0, 0, 200, 100, True);
  XShmPutImage(d, w, gc, z, 30, 10, 150, 60, 40, 30, True);
  // XY pixmap and bitmap images further into the segment.
  XImage *xy = XShmCreateImage(d, visual, unsigned(depth), XYPixmap, info.shmaddr + 200 * 100 * 4, &info, 50,
                               20);
  XShmPutImage(d, w, gc, xy, 0, 0, 5, 70, 50, 20, True);
  XShmPutImage(d, p, gc, xy, 10, 5, 100, 50, 30, 10, True);
  XImage *bitmap = XShmCreateImage(d, visual, 1, XYBitmap, info.shmaddr + 400000, &info, 64, 16);
  XShmPutImage(d, w, gc, bitmap, 0, 0, 120, 5, 64, 16, True);
  XSync(d, False);
  int completions = 0;
  XEvent event;
  while (XCheckTypedEvent(d, XShmGetEventBase(d) + ShmCompletion, &event)) completions++;
  out += "completions " + std::to_string(completions) + "\n";
  out += "window " + std::to_string(hashImage(XGetImage(d, w, 0, 0, 200, 100, AllPlanes, ZPixmap))) + "\n";
  out += "pixmap " + std::to_string(hashImage(XGetImage(d, p, 0, 0, 200, 100, AllPlanes, ZPixmap))) + "\n";
  // ShmGetImage into the segment: Z, XY of all planes and XY of part of them.
  memset(segment.address, 0x5a, 1 << 20);
  XImage *back = XShmCreateImage(d, visual, unsigned(depth), ZPixmap, info.shmaddr + 4096, &info, 200, 100);
  Status ok = XShmGetImage(d, w, back, 0, 0, AllPlanes);
  out += "get Z " + std::to_string(ok) + " " + std::to_string(hashBytes(segment.address, 200000)) + "\n";
  memset(segment.address, 0x5a, 1 << 20);
  ok = XShmGetImage(d, p, back, 0, 0, AllPlanes);
  out += "get Z pixmap " + std::to_string(ok) + " " + std::to_string(hashBytes(segment.address, 200000)) + "\n";
  XImage *backXY = XShmCreateImage(d, visual, unsigned(depth), XYPixmap, info.shmaddr, &info, 64, 40);
  for (unsigned long mask : {AllPlanes, depth == 24 ? 0xffUL : 0x0fUL}) {
    memset(segment.address, 0x5a, 1 << 20);
    ok = XShmGetImage(d, w, backXY, 100, 30, mask);
    out += "get XY " + std::to_string(mask) + " " + std::to_string(ok) + " " +
           std::to_string(hashBytes(segment.address, size_t(64 * 40 * depth / 8 + 64))) + "\n";
  }
  XShmDetach(d, &info);
  for (XImage *image : {z, xy, bitmap, back, backXY}) {
    image->data = nullptr;
    XDestroyImage(image);
  }
  XFreeGC(d, gc);
  XSync(d, False);
  out += "errors " + std::to_string(xErrors) + "\n";
  XSetErrorHandler(previousHandler);
  XCloseDisplay(d);
  return out;
}

// A raw client of the given byte order puts a pattern into a 24-bit window at `x`, a 24-bit
// pixmap and a bitmap, then reads XY images of them (all planes, some planes, no plane) by
// GetImage and by ShmGetImage: per read the answer's bytes (visual and sequence apart) and the
// segment's bytes, to compare between the two servers.
std::string rawXYImages(int display, char order, int x) {
  RawClient c;
  std::string failure = c.connect(display, order);
  if (!failure.empty()) return failure;
  bool big = c.big();
  uint8_t shm = c.queryExtension("MIT-SHM");
  uint32_t base = c.idBase(), root = c.rootWindow();
  uint32_t win = base | 1, pix = base | 2, bits = base | 3, gc = base | 4, gc1 = base | 5, seg = base | 6;
  auto send = [&](RawRequest &r) { failure += c.send(r.done()); };
  send(RawRequest(big).b(1).b(24).s(0).i(win).i(root).s(uint16_t(x)).s(100).s(200).s(100).s(0).s(1).i(0)
           .i(0x202).i(0).i(1));  // CreateWindow: background pixel 0, override-redirect
  send(RawRequest(big).b(8).b(0).s(0).i(win));
  send(RawRequest(big).b(53).b(24).s(0).i(pix).i(root).s(64).s(32));
  send(RawRequest(big).b(53).b(1).s(0).i(bits).i(root).s(64).s(32));
  send(RawRequest(big).b(55).b(0).s(0).i(gc).i(root).i(0));
  send(RawRequest(big).b(55).b(0).s(0).i(gc1).i(bits).i(0));
  // A 40x12 Z image at 24 bits (32 per pixel) and a 40x12 XY image of one plane (rows of 8 bytes).
  RawRequest z(big), xy(big);
  z.b(72).b(2).s(0).i(win).i(gc).s(40).s(12).s(0).s(0).b(0).b(24).s(0);
  for (unsigned k = 0; k < 40 * 12 * 4; k++) z.b(k * 37 + k / 97);
  xy.b(72).b(1).s(0).i(bits).i(gc1).s(40).s(12).s(0).s(0).b(0).b(1).s(0);
  for (unsigned k = 0; k < 8 * 12; k++) xy.b(k * 53 + 11);
  RawBytes zImage = z.done();
  for (uint32_t drawable : {win, pix}) {
    RawBytes put = zImage;
    for (int k = 0; k < 4; k++) put[4 + k] = uint8_t(big ? drawable >> (24 - 8 * k) : drawable >> (8 * k));
    for (int16_t at : {0, 80, 17}) {  // at 80 the image crosses the heads where the window does
      put[16] = put[17] = put[18] = put[19] = 0;
      put[big ? 17 : 16] = uint8_t(at);
      put[big ? 19 : 18] = uint8_t(at % 13);
      if (drawable == pix && at > 24) continue;
      failure += c.send(put);
    }
  }
  send(xy);
  Segment segment(1 << 16);
  send(RawRequest(big).b(shm).b(1).s(0).i(seg).i(uint32_t(segment.id)).b(0).pad(3));
  if (!failure.empty() || !shm) return "set-up: " + failure;
  struct Read {
    uint32_t drawable;
    int16_t x, y;
    uint16_t w, h;
    uint32_t mask;
  } reads[] = {
      {win, 0, 0, 200, 30, 0xffffffffu}, {win, 140, 3, 50, 20, 0x00a5c3f0u}, {win, 1, 1, 9, 9, 0},
      {pix, 0, 0, 64, 32, 0x0081ff18u},  {bits, 0, 0, 64, 32, 1},            {bits, 3, 2, 37, 9, 0xfffffffeu},
  };
  std::string out;
  RawBytes answer;
  for (const Read &r : reads) {
    std::string tag = std::to_string(r.drawable - base) + " " + std::to_string(r.mask) + ":";
    out += tag + c.roundTrip(RawRequest(big).b(73).b(1).s(0).i(r.drawable).s(uint16_t(r.x)).s(uint16_t(r.y)).s(r.w)
                                 .s(r.h).i(r.mask).done(), answer);
    if (answer.size() < 32 || answer[0] != 1) return out + " no image";
    bool noVisual = rawGet32(answer, 8, big) == 0;
    answer[2] = answer[3] = answer[8] = answer[9] = answer[10] = answer[11] = 0;
    out += " depth " + std::to_string(answer[1]) + " words " + std::to_string(rawGet32(answer, 4, big)) +
           " no visual " + std::to_string(noVisual) + " " + std::to_string(hashBytes(answer.data(), answer.size()));
    memset(segment.address, 0x5a, 1 << 16);
    out += " shm:" + c.roundTrip(RawRequest(big).b(shm).b(4).s(0).i(r.drawable).s(uint16_t(r.x)).s(uint16_t(r.y))
                                     .s(r.w).s(r.h).i(r.mask).b(1).pad(3).i(seg).i(64).done(), answer);
    if (answer.size() < 32 || answer[0] != 1) return out + " no image";
    out += " depth " + std::to_string(answer[1]) + " size " + std::to_string(rawGet32(answer, 12, big)) + " " +
           std::to_string(hashBytes(segment.address, 1 << 16)) + "\n";
  }
  return out;
}

struct Layout {
  const char *name;
  std::vector<std::string> screens, directScreens;
  int windowX;  // the window lies across the two heads at 700
};

class ShmThroughTarvo : public ::testing::TestWithParam<Layout> {
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

TEST_P(ShmThroughTarvo, ImagesAndCompletionsAsDirect) {
  std::string direct = exercise(twin.directDisplay(), GetParam().windowX);
  std::string proxied = exercise(twin.proxyDisplay(), GetParam().windowX);
  EXPECT_NE(direct.find("completions 6\n"), std::string::npos) << direct;
  EXPECT_EQ(proxied.substr(0, proxied.find('\n')), "version 1.1 pixmaps 0");
  EXPECT_EQ(proxied.substr(proxied.find('\n')), direct.substr(direct.find('\n')));
}

// One client's attach: the test, tarvo and the X server behind it; another client of the same
// shmid adds nothing of the proxy's; a detach or a close without one gives the counts back.
// 70000 attaches of one shmid end with BadAlloc, and detaching all leaves the count right.
TEST_P(ShmThroughTarvo, AttachCounts) {
  Segment segment(4096);
  shmatt_t own = segment.attaches();
  Display *a = XOpenDisplay(twin.proxyDisplay().c_str());
  Display *b = XOpenDisplay(twin.proxyDisplay().c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  XShmSegmentInfo ia{0, segment.id, reinterpret_cast<char *>(segment.address), False};
  XShmSegmentInfo ib = ia;
  XShmAttach(a, &ia);
  XSync(a, False);
  EXPECT_EQ(segment.attaches(), own + 2);
  XShmAttach(b, &ib);
  XSync(b, False);
  EXPECT_EQ(segment.attaches(), own + 2);
  XShmDetach(a, &ia);
  XSync(a, False);
  EXPECT_EQ(segment.attaches(), own + 2);
  XCloseDisplay(b);
  // The close reaches tarvo and, through its connection, the server in their own time.
  for (int i = 0; i < 200 && segment.attaches() != own; i++) usleep(10000);
  EXPECT_EQ(segment.attaches(), own);

  xErrors = 0;
  auto previous = XSetErrorHandler(countError);
  std::vector<XShmSegmentInfo> many(70000, ia);
  for (auto &info : many) XShmAttach(a, &info);
  XSync(a, False);
  EXPECT_EQ(xErrors, 70000 - 65536);
  EXPECT_EQ(segment.attaches(), own + 2);
  xErrors = 0;
  for (size_t k = 0; k < 65536; k++) XShmDetach(a, &many[k]);
  XSync(a, False);
  EXPECT_EQ(xErrors, 0);
  EXPECT_EQ(segment.attaches(), own);
  XSetErrorHandler(previous);
  XCloseDisplay(a);
}

// XY images of 24-bit and 1-bit drawables, any plane mask, for clients of either byte order:
// the bytes the server gives, through GetImage and through ShmGetImage.
TEST_P(ShmThroughTarvo, XYImagesOfEitherByteOrderAsDirect) {
  int direct = std::stoi(twin.directDisplay().substr(1)), proxied = std::stoi(twin.proxyDisplay().substr(1));
  for (char order : {'l', 'B'}) {
    std::string expected = rawXYImages(direct, order, GetParam().windowX);
    // 200 columns in 28 bytes a row, 30 rows, 24 planes; no plane of the bitmap in the last.
    EXPECT_NE(expected.find("1 4294967295: depth 24 words 5040 "), std::string::npos) << expected;
    EXPECT_NE(expected.find("3 4294967294: depth 1 words 0 no visual 1 "), std::string::npos) << expected;
    EXPECT_EQ(rawXYImages(proxied, order, GetParam().windowX), expected) << order;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ShmThroughTarvo,
                         ::testing::Values(Layout{"OneScreen", {"800x600x24"}, {}, 300},
                                           Layout{"TwoScreensJoined", {"800x600x24", "800x600x24"}, {"1600x600x24"},
                                                  700}),
                         [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

// Behind a relay that hides MIT-SHM, tarvo still offers it: puts become core images, gets are
// read by core GetImage, completions are tarvo's own, all as the server used directly.
TEST(ShmHidden, ImagesAsDirectWithoutServerShm) {
  tarvoBlockSignals();
  XvfbOptions x;
  x.screens = {"800x600x24"};
  x.extraArguments = {"-nolisten", "tcp"};
  XvfbServer direct, behind;
  ASSERT_EQ(direct.start(x), "");
  ASSERT_EQ(behind.start(x), "");
  XrelayServer relay;
  ASSERT_EQ(relay.start(behind.displayName(), {"-hide", "MIT-SHM"}), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", relay.displayName() + ".0"};
  ASSERT_EQ(tarvo.start(relay.displayName(), options), "");
  // Each side keeps a client: a server resets when its last one leaves.
  Display *keepDirect = XOpenDisplay(direct.displayName().c_str());
  Display *keepProxied = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(keepDirect, nullptr);
  ASSERT_NE(keepProxied, nullptr);
  std::string a = exercise(direct.displayName(), 300);
  std::string b = exercise(tarvo.displayName(), 300);
  EXPECT_NE(a.find("completions 6\n"), std::string::npos) << a;
  EXPECT_EQ(b.substr(b.find('\n')), a.substr(a.find('\n')));
  XCloseDisplay(keepProxied);
  XCloseDisplay(keepDirect);
}

// tarvo offering an emulated 8-bit PseudoColor visual on 24-bit heads (one, and two joined),
// against an 8-bit Xvfb used directly: no head takes the shared-memory requests unchanged, so
// every put and get goes by the image path with its pixels converted, and gives the same
// pixels, segment bytes and completions.
class ShmPseudoColor : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), GetParam() == 1 ? "1600x600x24" : "800x600x24");
    options.directScreens = {"1600x600x8"};
    options.tarvoWords = {"emulateVisuals", "PseudoColor:8"};
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

TEST_P(ShmPseudoColor, ConvertedImagesAsOnAnEightBitServer) {
  std::string direct = exercise(twin.directDisplay(), 700, 8);
  std::string proxied = exercise(twin.proxyDisplay(), 700, 8);
  EXPECT_NE(direct.find("completions 6\n"), std::string::npos) << direct;
  ASSERT_NE(proxied.find('\n'), std::string::npos) << proxied;
  EXPECT_EQ(proxied.substr(proxied.find('\n')), direct.substr(direct.find('\n')));
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test";
}

INSTANTIATE_TEST_SUITE_P(Heads, ShmPseudoColor, ::testing::Values(1, 2));

// With xtrace between tarvo and an Xvfb of two screens (two heads that both take ShmPutImage
// unchanged), a put with send-event across both goes out once per head and only the last copy
// asks for the completion; the client gets exactly one.
TEST(ShmTraced, CompletionAskedOfTheLastCopyOnly) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindXtrace(xvfb, xtrace, tarvo, trace, 2, "800x600x24"), "");
  Display *d = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(d, nullptr);
  int screen = DefaultScreen(d);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  Window w = XCreateWindow(d, RootWindow(d, screen), 700, 100, 200, 100, 0, 24, InputOutput, DefaultVisual(d, screen),
                           CWOverrideRedirect, &a);
  XMapWindow(d, w);
  GC gc = XCreateGC(d, w, 0, nullptr);
  Segment segment(1 << 16);
  XShmSegmentInfo info{0, segment.id, reinterpret_cast<char *>(segment.address), False};
  XShmAttach(d, &info);
  XImage *image = XShmCreateImage(d, DefaultVisual(d, screen), 24, ZPixmap, info.shmaddr, &info, 123, 45);
  memset(segment.address, 0x5c, 1 << 16);
  XShmPutImage(d, w, gc, image, 0, 0, 10, 20, 123, 45, True);
  XSync(d, False);
  int completions = 0;
  XEvent event;
  for (int k = 0; k < 20 && completions == 0; k++) {
    XSync(d, False);
    while (XCheckTypedEvent(d, XShmGetEventBase(d) + ShmCompletion, &event)) completions++;
    if (!completions) usleep(20000);
  }
  usleep(100000);
  XSync(d, False);
  while (XCheckTypedEvent(d, XShmGetEventBase(d) + ShmCompletion, &event)) completions++;
  EXPECT_EQ(completions, 1);
  // The copies as the server got them, in order.
  std::vector<std::string> puts;
  for (int k = 0; k < 40; k++) {
    puts.clear();
    std::istringstream text(xrelayReadFile(trace));
    for (std::string line; std::getline(text, line);)
      if (line.find("MIT-SHM-Request") != std::string::npos && line.find("PutImage") != std::string::npos &&
          line.find("total-width=123") != std::string::npos)
        puts.push_back(line);
    if (puts.size() >= 2) break;
    usleep(50000);
  }
  ASSERT_EQ(puts.size(), 2u) << xrelayReadFile(trace).substr(0, 4000);
  EXPECT_NE(puts[0].find("send-event=false"), std::string::npos) << puts[0];
  EXPECT_NE(puts[1].find("send-event=true"), std::string::npos) << puts[1];
  image->data = nullptr;
  XDestroyImage(image);
  XShmDetach(d, &info);
  XFreeGC(d, gc);
  XCloseDisplay(d);
}

// A SIGHUP reset (tarvo runs with noReset on) closes every client: whatever they attached,
// and a ShmGetImage across two heads whose reply nobody reads, only the test's own attach of
// the segment remains; the next generation attaches it afresh.
TEST(ShmReset, OnlyOwnAttachRemainsAfterSighup) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "800x600x24"), "");
  Segment segment(1 << 20);
  shmatt_t own = segment.attaches();
  auto attach = [&](RawClient &c, uint32_t seg) {
    uint8_t major = c.queryExtension("MIT-SHM");
    if (!major) return uint8_t(0);
    c.send(RawRequest(c.big()).b(major).b(1).s(0).i(seg).i(uint32_t(segment.id)).b(0).pad(3).done());
    RawBytes answer;
    c.roundTrip(RawRequest(c.big()).b(43).b(0).s(0).done(), answer);  // GetInputFocus
    return major;
  };
  RawClient a, b;
  ASSERT_EQ(a.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(b.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = attach(a, a.idBase() | 1);
  ASSERT_NE(major, 0);
  ASSERT_NE(attach(b, b.idBase() | 1), 0);
  EXPECT_EQ(segment.attaches(), own + 2);
  // A get across both heads, its reply left unread.
  ASSERT_EQ(b.send(RawRequest(b.big()).b(major).b(4).s(0).i(b.rootWindow()).s(700).s(0).s(200).s(100).i(0xffffffffu)
                       .b(2).pad(3).i(b.idBase() | 1).i(0).done()),
            "");
  tarvo.signal(SIGHUP);
  ASSERT_TRUE(tarvo.waitForLog("Received reset signal SIGHUP", 5000));
  for (int k = 0; k < 300 && segment.attaches() != own; k++) usleep(10000);
  EXPECT_EQ(segment.attaches(), own);
  RawClient next;
  std::string failure;
  for (int k = 0; k < 100; k++) {
    failure = next.connect(tarvo.displayNumber(), 'l');
    if (failure.empty()) break;
    next.close();
    usleep(50000);
  }
  ASSERT_EQ(failure, "");
  ASSERT_NE(attach(next, next.idBase() | 1), 0);
  EXPECT_EQ(segment.attaches(), own + 2);
  next.close();
  for (int k = 0; k < 300 && segment.attaches() != own; k++) usleep(10000);
  EXPECT_EQ(segment.attaches(), own);
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended";
}

// Peak resident set of a process in kB (VmHWM), -1 when unknown.
long peakKb(pid_t pid) {
  std::string status = tarvoReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

constexpr int kFloodPuts = 160, kFloodWidth = 512, kFloodHeight = 256;

// Writes kFloodPuts puts of one 8-bit segment image into a window of the emulated PseudoColor
// visual in one go, then reads the window back. 0: served to the end with the image in the
// window; else the step that failed.
int floodClient(const std::string &display) {
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return 10;
  int screen = DefaultScreen(d);
  XVisualInfo info{};
  if (!XMatchVisualInfo(d, screen, 8, PseudoColor, &info)) return 11;
  Window root = RootWindow(d, screen);
  XSetWindowAttributes a{};
  a.override_redirect = True;
  a.colormap = XCreateColormap(d, root, info.visual, AllocNone);
  Window w = XCreateWindow(d, root, 0, 0, kFloodWidth, kFloodHeight, 0, 8, InputOutput, info.visual,
                           CWOverrideRedirect | CWColormap | CWBorderPixel, &a);
  XMapWindow(d, w);
  GC gc = XCreateGC(d, w, 0, nullptr);
  Segment segment(size_t(kFloodWidth) * kFloodHeight);
  if (!segment.address) return 12;
  for (size_t i = 0; i < size_t(kFloodWidth) * kFloodHeight; i++) segment.address[i] = uint8_t(i * 13 + i / 509);
  XShmSegmentInfo shm{0, segment.id, reinterpret_cast<char *>(segment.address), True};
  XShmAttach(d, &shm);
  XImage *image = XShmCreateImage(d, info.visual, 8, ZPixmap, shm.shmaddr, &shm, kFloodWidth, kFloodHeight);
  XSync(d, False);
  for (int k = 0; k < kFloodPuts; k++) XShmPutImage(d, w, gc, image, 0, 0, 0, 0, kFloodWidth, kFloodHeight, False);
  XFlush(d);
  XImage *back = XGetImage(d, w, 0, 0, kFloodWidth, kFloodHeight, 0xff, ZPixmap);
  int result = back ? 0 : 13;
  for (int row = 0; back && row < kFloodHeight && !result; row++)
    if (memcmp(back->data + size_t(row) * size_t(back->bytes_per_line), segment.address + size_t(row) * kFloodWidth,
               kFloodWidth) != 0)
      result = 14;
  if (back) XDestroyImage(back);
  image->data = nullptr;
  XDestroyImage(image);
  XShmDetach(d, &shm);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  return result;
}

// Puts that tarvo converts for the head, many written at once: each 40-byte request becomes
// half a megabyte for the server, so tarvo takes the client's further requests only as the
// server drains the earlier ones. Its peak memory stays far below the sum of the converted
// images, and the client is served to its end with the image in its window.
TEST(ShmFlowControl, ConvertedPutsWaitForTheServerToDrain) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "emulateVisuals", "PseudoColor:8"};
  // Core images only (none through tarvo's own segments).
  options.environment.emplace_back("shmPutImageMinSize", "1000000000000");
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24", options), "");
  long before = peakKb(tarvo.pid());
  ASSERT_GT(before, 0);
  pid_t child = fork();
  if (child == 0) _exit(floodClient(tarvo.displayName()));
  ASSERT_GT(child, 0);
  int status = 0;
  for (int i = 0; i < 3000 && waitpid(child, &status, WNOHANG) == 0; i++) usleep(20000);
  if (!WIFEXITED(status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the client was not served to its end";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
  long after = peakKb(tarvo.pid());
  long converted = long(kFloodPuts) * kFloodWidth * kFloodHeight * 4 / 1024;
  RecordProperty("peakKbGrowth", std::to_string(after - before));
  // A sanitizer's allocator keeps freed image buffers mapped (about 200 MB here whatever the
  // quarantine): the peak tells what tarvo holds only in the normal build.
  if (!testUnderSanitizer()) {
    EXPECT_LT(after - before, converted / 4) << "peak " << before << " kB before, " << after << " kB after";
  }
  EXPECT_EQ(tarvo.wait(0), -1) << "tarvo ended";
}

// What a client of another user gets: run in a child that drops to uid and gid 65534 before it
// connects. Bit k of the exit status: step k answered as expected.
int otherUserClient(const std::string &display, int closedId, int readableId, uint8_t *readable) {
  if (setgid(65534) != 0 || setuid(65534) != 0) return 255;
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return 254;
  xErrors = 0;
  XSetErrorHandler(countError);
  int result = 0;
  auto attach = [&](int id, bool readOnly) {
    XShmSegmentInfo info{0, id, nullptr, readOnly};
    xErrors = 0;
    XShmAttach(d, &info);
    XSync(d, False);
    return std::pair<bool, XShmSegmentInfo>{xErrors == 0, info};
  };
  if (!attach(closedId, true).first) result |= 1;     // 0600 of root: refused
  if (attach(readableId, false).first == false) result |= 2;  // 0604: not for writing
  auto readOnly = attach(readableId, true);
  if (readOnly.first) result |= 4;                     // 0604: for reading
  // A get into the read-only attach of a segment root attached read-write is refused.
  XImage *image = XShmCreateImage(d, DefaultVisual(d, 0), 24, ZPixmap, reinterpret_cast<char *>(readable),
                                  &readOnly.second, 8, 8);
  // Xlib takes BadAccess of a reply request silently: the get fails without a handler call.
  if (XShmGetImage(d, RootWindow(d, 0), image, 0, 0, AllPlanes) == 0) result |= 8;
  image->data = nullptr;
  XDestroyImage(image);
  XCloseDisplay(d);
  return result;
}

TEST(ShmCredentials, OtherUserAsAnXServerWould) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a client of another user";
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24"), "");
  Segment closed(4096), readable(4096);
  shmid_ds status{};
  shmctl(readable.id, IPC_STAT, &status);
  status.shm_perm.mode = 0604;
  ASSERT_EQ(shmctl(readable.id, IPC_SET, &status), 0);
  memset(readable.address, 0x77, 4096);
  Display *root = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(root, nullptr);
  XShmSegmentInfo info{0, readable.id, reinterpret_cast<char *>(readable.address), False};
  XShmAttach(root, &info);
  XSync(root, False);
  shmatt_t closedBefore = closed.attaches();
  pid_t child = fork();
  if (child == 0) _exit(otherUserClient(tarvo.displayName(), closed.id, readable.id, readable.address));
  ASSERT_GT(child, 0);
  int status2 = 0;
  for (int i = 0; i < 500 && waitpid(child, &status2, WNOHANG) == 0; i++) usleep(20000);
  ASSERT_TRUE(WIFEXITED(status2)) << "child did not end";
  EXPECT_EQ(WEXITSTATUS(status2), 15) << "bits: 1 closed refused, 2 read-write refused, 4 read-only taken, 8 get refused";
  EXPECT_EQ(closed.attaches(), closedBefore);
  for (size_t i = 0; i < 4096; i++) ASSERT_EQ(readable.address[i], 0x77) << i;
  XShmDetach(root, &info);
  XCloseDisplay(root);
}

// A client over TCP (also from this host) has no peer credentials: it learns the version, but
// no segment is attached for it, whatever the segment's mode.
TEST(ShmTcp, QueryAnsweredAttachRefused) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24"), "");
  RawClient c;
  ASSERT_EQ(c.connectTcp(tarvo.displayNumber(), 'B'), "") << tarvo.log();
  uint8_t major = c.queryExtension("MIT-SHM");
  ASSERT_NE(major, 0);
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(major).b(0).s(0).done(), answer), "");
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 0) << "shared pixmaps";
  EXPECT_EQ(rawGet16(answer, 8, true), 1u);
  EXPECT_EQ(rawGet16(answer, 10, true), 1u);
  EXPECT_EQ(answer[16], 2) << "pixmap format";
  Segment segment(4096);
  shmid_ds status{};
  shmctl(segment.id, IPC_STAT, &status);
  status.shm_perm.mode = 0666;
  ASSERT_EQ(shmctl(segment.id, IPC_SET, &status), 0);
  shmatt_t before = segment.attaches();
  // Attach has no reply: the round trip ends at its error.
  RawBytes attach = RawRequest(true).b(major).b(1).s(0).i(c.idBase() | 1).i(uint32_t(segment.id)).b(1).pad(3).done();
  ASSERT_EQ(c.roundTrip(attach, answer, 3000), "");
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 10) << "BadAccess";
  EXPECT_EQ(segment.attaches(), before);
}

// Hostile offsets and sizes from a raw client of either byte order: BadValue for puts and gets,
// nothing of the client's mapping past the segment touched, and tarvo serves on.
class ShmHostile : public ::testing::TestWithParam<char> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
};

TEST_P(ShmHostile, OutOfSegmentIsBadValue) {
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "800x600x24"), "");
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), GetParam()), "");
  bool big = c.big();
  uint8_t major = c.queryExtension("MIT-SHM");
  ASSERT_NE(major, 0);
  // A segment of 4000 bytes: the page's last 96 bytes of the test's mapping lie past its size.
  Segment segment(4000);
  uint32_t seg = c.idBase() | 1, gc = c.idBase() | 2, root = c.rootWindow();
  RawBytes answer;
  ASSERT_EQ(c.send(RawRequest(big).b(55).b(0).s(0).i(gc).i(root).i(0).done()), "");
  ASSERT_EQ(c.send(RawRequest(big).b(major).b(1).s(0).i(seg).i(uint32_t(segment.id)).b(0).pad(3).done()), "");
  memset(segment.address, 0x33, 4096);
  struct Case {
    const char *name;
    uint16_t w, h;
    uint8_t format;
    uint32_t offset;
  } cases[] = {
      {"offset 2", 4, 4, 2, 2},
      {"offset beyond", 1, 1, 2, 8192},
      {"Z 4 bytes past the end", 32, 31, 2, 36},   // 3968 bytes
      {"XY 4 bytes past the end", 32, 41, 1, 68},  // 4 x 41 x 24 = 3936 bytes
  };
  for (const Case &k : cases) {
    RawBytes put = RawRequest(big).b(major).b(3).s(0).i(root).i(gc).s(k.w).s(k.h).s(0).s(0).s(k.w).s(k.h).s(0).s(0)
                       .b(24).b(k.format).b(0).b(0).i(seg).i(k.offset).done();
    ASSERT_EQ(c.roundTrip(put, answer), "");
    ASSERT_EQ(answer.size(), 32u);
    EXPECT_EQ(answer[0], 0) << k.name;
    EXPECT_EQ(answer[1], 2) << "put " << k.name;
    RawBytes get = RawRequest(big).b(major).b(4).s(0).i(root).s(0).s(0).s(k.w).s(k.h).i(0xffffffffu).b(k.format)
                       .pad(3).i(seg).i(k.offset).done();
    ASSERT_EQ(c.roundTrip(get, answer), "");
    ASSERT_EQ(answer.size(), 32u);
    EXPECT_EQ(answer[0], 0) << k.name;
    EXPECT_EQ(answer[1], 2) << "get " << k.name;
  }
  for (size_t i = 0; i < 4096; i++) ASSERT_EQ(segment.address[i], 0x33) << i;
  // The largest image that fits, read across both heads, ends at the segment's size.
  RawBytes get = RawRequest(big).b(major).b(4).s(0).i(root).s(790).s(0).s(32).s(31).i(0xffffffffu).b(2).pad(3).i(seg)
                     .i(32).done();
  ASSERT_EQ(c.roundTrip(get, answer), "");
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet32(answer, 12, big), 3968u);
  for (size_t i = 4000; i < 4096; i++) ASSERT_EQ(segment.address[i], 0x33) << i;
  RawClient next;
  ASSERT_EQ(next.connect(tarvo.displayNumber(), 'l'), "");
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ShmHostile, ::testing::Values('l', 'B'));

}  // namespace
