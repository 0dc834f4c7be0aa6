// The display helpers against a private Xvfb with a 24-bit and an 8-bit screen.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "proxy/xcore.h"
#include "proxy/xdisplay.h"
#include "xclient/xtarget.h"
#include "xvfb_fixture.h"

namespace {

class XdisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XvfbOptions options;
    options.screens = {"1024x768x24", "320x240x8"};
    options.iglx = true;
    ASSERT_EQ(server_.start(options), "");
    display_ = open();
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }
  Display *open() {
    Display *display = XOpenDisplay(server_.displayName().c_str());
    if (display) XSetErrorHandler(xtargetTrapErrorHandler);
    return display;
  }

  XvfbServer server_;
  Display *display_ = nullptr;
};

// The System V segments this process created.
std::set<long> ownSegments() {
  std::set<long> ids;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long key, id, perms, size, cpid;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == getpid()) ids.insert(id);
  }
  return ids;
}

TEST_F(XdisplayTest, DepthGCCacheLivesWithTheConnection) {
  int before = xdisplayGCCacheCount();
  GC gc24 = xdisplayGetDepthGC(display_, 0, 24);
  ASSERT_NE(gc24, nullptr);
  EXPECT_EQ(xdisplayGetDepthGC(display_, 0, 24), gc24);
  EXPECT_EQ(xdisplayGCCacheCount(), before + 1);
  EXPECT_NE(xdisplayGetDepthGC(display_, 0, 1), nullptr);
  EXPECT_EQ(xdisplayGetDepthGC(display_, 0, 33), nullptr);
  EXPECT_EQ(xdisplayGetDepthGC(display_, 0, -1), nullptr);
  // Depth 8 is a pixmap format of the server but not a depth of screen 0's root: whether the
  // server makes it or not, the connection stays usable.
  xdisplayGetDepthGC(display_, 0, 8);
  EXPECT_NE(xdisplayGetDepthGC(display_, 1, 8), nullptr);
  EXPECT_EQ(xdisplayGCCacheCount(), before + 2);
  XSync(display_, False);

  // Closed the proxy's way.
  EXPECT_EQ(xtargetCloseDisplay(display_), 0);
  display_ = nullptr;
  EXPECT_EQ(xdisplayGCCacheCount(), before);

  // Closed by Xlib itself; a new connection builds a new cache.
  Display *second = open();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(xdisplayGetDepthGC(second, 0, 24), nullptr);
  EXPECT_EQ(xdisplayGCCacheCount(), before + 1);
  XCloseDisplay(second);
  EXPECT_EQ(xdisplayGCCacheCount(), before);

  Display *third = open();
  ASSERT_NE(third, nullptr);
  EXPECT_NE(xdisplayGetDepthGC(third, 0, 24), nullptr);
  EXPECT_EQ(xdisplayGCCacheCount(), before + 1);
  XCloseDisplay(third);
}

TEST_F(XdisplayTest, AllocCellsTakesWhatIsLeft) {
  Visual *visual = DefaultVisual(display_, 1);
  ASSERT_EQ(visual->c_class, PseudoColor);
  Colormap colormap = XCreateColormap(display_, RootWindow(display_, 1), visual, AllocNone);
  unsigned long *pixels = nullptr;
  int count = -1;
  EXPECT_EQ(xdisplayAllocCells(display_, colormap, &pixels, &count), nullptr);
  EXPECT_EQ(count, 256);
  ASSERT_NE(pixels, nullptr);
  std::set<unsigned long> distinct(pixels, pixels + count);
  EXPECT_EQ(distinct.size(), 256u);
  free(pixels);

  Colormap other = XCreateColormap(display_, RootWindow(display_, 1), visual, AllocNone);
  XSync(display_, False);
  Display *peer = open();
  ASSERT_NE(peer, nullptr);
  unsigned long taken[100];
  ASSERT_TRUE(XAllocColorCells(peer, other, False, nullptr, 0, taken, 100));
  XSync(peer, False);
  EXPECT_EQ(xdisplayAllocCells(display_, other, &pixels, &count), nullptr);
  EXPECT_EQ(count, 156);
  free(pixels);
  // None left: no array.
  EXPECT_EQ(xdisplayAllocCells(display_, other, &pixels, &count), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pixels, nullptr);
  XCloseDisplay(peer);
}

// A stopped server: the cells are given up on once the sync limit passed (one wait, not one per
// chunk), the run is marked stalled and no later query of it waits; the connection is usable
// once the server runs again.
TEST_F(XdisplayTest, AllocCellsGivesUpOnAStoppedServer) {
  Visual *visual = DefaultVisual(display_, 1);
  Colormap colormap = XCreateColormap(display_, RootWindow(display_, 1), visual, AllocNone);
  XSync(display_, False);
  // A limit long enough that a second wait cannot hide in the slack a busy machine needs.
  uint32_t savedLimit = xtargetSyncLimitMs;
  const uint32_t limit = 2000;
  xtargetSyncLimitMs = limit;
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  std::atomic<bool> done{false};
  std::thread resume([&done, pid = server_.pid()] {  // an unbounded wait fails the timing, not the run
    for (int i = 0; i < 3000 && !done; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGCONT);
  });
  unsigned long *pixels = nullptr;
  int count = -1;
  bool stalled = false;
  long long started = xvfbNowMs();
  const char *failure = xdisplayAllocCells(display_, colormap, &pixels, &count, &stalled);
  long long spent = xvfbNowMs() - started;
  EXPECT_NE(failure, nullptr);
  EXPECT_TRUE(stalled);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(pixels, nullptr);
  EXPECT_GE(spent, limit - 10);
  EXPECT_LT(spent, 2 * limit);  // one wait
  // Stalled already: given up at once (a wait would take the limit).
  started = xvfbNowMs();
  EXPECT_NE(xdisplayAllocCells(display_, colormap, &pixels, &count, &stalled), nullptr);
  EXPECT_LT(xvfbNowMs() - started, limit - 10);
  done = true;
  resume.join();
  xtargetSyncLimitMs = savedLimit;

  Colormap other = XCreateColormap(display_, RootWindow(display_, 1), visual, AllocNone);
  EXPECT_EQ(xdisplayAllocCells(display_, other, &pixels, &count), nullptr);
  EXPECT_EQ(count, 256);
  free(pixels);
}

TEST_F(XdisplayTest, SharedMemory) {
  std::set<long> before = ownSegments();
  EXPECT_EQ(xdisplayCheckShm(display_), nullptr);
  EXPECT_EQ(ownSegments(), before);

  XShmSegmentInfo *segment = xdisplayShmAlloc(4096, 0);
  ASSERT_NE(segment, nullptr);
  shmid_ds info{};
  ASSERT_EQ(shmctl(segment->shmid, IPC_STAT, &info), 0);
  EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
  segment->shmaddr[4095] = 1;  // writable
  xdisplayFreeShmSegment(segment);
  EXPECT_EQ(ownSegments(), before);
  EXPECT_EQ(xdisplayShmAlloc(0, 0), nullptr);
}

TEST_F(XdisplayTest, ErrorTextNamesErrorResourceAndRequest) {
  XErrorEvent event{};
  event.display = display_;
  event.error_code = BadWindow;
  event.resourceid = 0x200001;
  event.request_code = 4;  // DestroyWindow
  event.serial = 17;
  std::string text = xdisplayErrorText(&event);
  EXPECT_EQ(text.rfind("X error BadWindow 0x200001 in request 4.0 #17", 0), 0u) << text;
  xcoreInitDispatchTables();
  xdisplayInstallHooks(xcoreRequestName);
  text = xdisplayErrorText(&event);
  EXPECT_EQ(text.rfind("X error BadWindow 0x200001 in DestroyWindow #17", 0), 0u) << text;
  EXPECT_NE(text.find(" #17 from " + std::string(DisplayString(display_))), std::string::npos) << text;
  event.error_code = 0;
  event.resourceid = 999;
  text = xdisplayErrorText(&event);
  EXPECT_EQ(text.rfind("X error 0 999 in ", 0), 0u) << text;
}

TEST_F(XdisplayTest, PropertiesSelectionsAndTime) {
  Window root = DefaultRootWindow(display_);
  Window window = XCreateSimpleWindow(display_, root, 0, 0, 10, 10, 0, 0, 0);
  XSetSelectionOwner(display_, XA_PRIMARY, window, CurrentTime);
  int count = 0;
  Window *owners = xdisplayListSelectionOwners(display_, &count);
  ASSERT_NE(owners, nullptr);
  ASSERT_GT(count, int(XA_LAST_PREDEFINED));
  EXPECT_EQ(owners[0], 0u);
  EXPECT_EQ(owners[XA_PRIMARY], window);
  EXPECT_EQ(owners[XA_SECONDARY], 0u);
  EXPECT_EQ(owners[count - 1], 0u);
  free(owners);

  xdisplaySetCenterHint(display_, window, 300, -20);
  Atom hint = XInternAtom(display_, "XINERAMA_CENTER_HINT", True);
  ASSERT_NE(hint, None);
  unsigned char *data = nullptr;
  unsigned long items = 0;
  Atom type = None;
  int format = 0;
  ASSERT_EQ(xdisplayGetProperty(display_, window, hint, &data, &items, &type, &format), nullptr);
  EXPECT_EQ(type, XA_INTEGER);
  EXPECT_EQ(format, 16);
  ASSERT_EQ(items, 2u);
  EXPECT_EQ(reinterpret_cast<short *>(data)[0], 300);
  EXPECT_EQ(reinterpret_cast<short *>(data)[1], -20);
  XFree(data);

  // A missing property still gives data.
  ASSERT_EQ(xdisplayGetProperty(display_, window, XA_WM_NAME, &data, &items, &type, &format), nullptr);
  EXPECT_NE(data, nullptr);
  EXPECT_EQ(items, 0u);
  XFree(data);

  // Copies to another connection's window, deleting when the source has none.
  Display *peer = open();
  ASSERT_NE(peer, nullptr);
  Window target = XCreateSimpleWindow(peer, DefaultRootWindow(peer), 0, 0, 10, 10, 0, 0, 0);
  XStoreName(peer, target, "old");
  XSync(peer, False);
  xdisplayCopyProperties(display_, window, peer, target);
  Atom hintOnPeer = XInternAtom(peer, "XINERAMA_CENTER_HINT", False);
  ASSERT_EQ(xdisplayGetProperty(peer, target, hintOnPeer, &data, &items, &type, &format), nullptr);
  EXPECT_EQ(items, 2u);
  EXPECT_EQ(format, 16);
  XFree(data);
  xdisplayCopyProperty(display_, window, XA_WM_NAME, peer, target, XA_WM_NAME);
  ASSERT_EQ(xdisplayGetProperty(peer, target, XA_WM_NAME, &data, &items, &type, &format), nullptr);
  EXPECT_EQ(items, 0u);
  XFree(data);
  XCloseDisplay(peer);

  Time first = xdisplayServerTime(display_);
  usleep(20000);
  Time second = xdisplayServerTime(display_);
  EXPECT_GT(first, 0u);
  EXPECT_GE(second, first + 10);
}

TEST_F(XdisplayTest, ExtensionProbes) {
  int major = -1, minor = -1;
  EXPECT_NE(xdisplayQueryDbe(display_, &major, &minor), 0);
  EXPECT_GE(major, 1);
  EXPECT_EQ(xdisplayMultiBufferingOpcode(display_), 0);
  EXPECT_FALSE(xdisplayIsRemote(display_));
}

}  // namespace
