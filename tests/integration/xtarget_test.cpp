// The display opener, the X error trap, the grab test and the extension query against Xvfb.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xext.h>

#include "support/logging.h"
#include "xclient/misc.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "xvfb_fixture.h"

namespace {

// Xlib's own I/O-error handlers end the process; these count the calls instead, so that a
// test can see whether a broken connection was touched.
int ioErrors = 0;
int countingIoErrorHandler(Display *) { return ++ioErrors, 0; }

// Opens `name` through the opener; the failure text or "".
std::string openWith(const std::string &name, uint32_t timeoutMs, Display **display,
                     uint32_t openFlags = 0, int synchronous = 0) {
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = name.c_str();
  params.timeoutMs = timeoutMs;
  params.openFlags = openFlags;
  params.synchronous = synchronous;
  const char *failure = xtargetOpenDisplay(&params, "tarvo test", display);
  return failure ? failure : "";
}

// A listener on the display's abstract socket that accepts but never sends the greeting.
int silentListener(const std::string &name) {
  std::string path = "/tmp/.X11-unix/X" + name.substr(1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  memcpy(address.sun_path + 1, path.data(), path.size());  // an abstract name
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0) << strerror(errno);
  EXPECT_EQ(listen(listener, 4), 0);
  return listener;
}

class XtargetTest : public ::testing::Test {
 protected:
  void SetUp() override { ioErrors = 0, XSetIOErrorHandler(countingIoErrorHandler); }
  void TearDown() override { for (Display *display : opened_) xtargetCloseDisplay(display); }
  // Starts the test's own server (when not yet running) and opens a connection to it.
  Display *open(uint32_t openFlags = 0, int synchronous = 0) {
    Display *display = nullptr;
    std::string error = server_.running() ? "" : server_.start();
    if (error.empty())
      error = openWith(server_.displayName(), 10000, &display, openFlags, synchronous);
    EXPECT_EQ(error, "");
    if (display) opened_.push_back(display);
    return display;
  }

  XvfbServer server_;
  std::vector<Display *> opened_;
};

TEST(XtargetParams, DefaultsAndDeadline) {
  unsetenv("DISPLAY");  // no test here reads it
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, ":0.0");
  setenv("DISPLAY", "otherhost:7.0", 1);
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, "otherhost:7.0");

  // Sub-second parts that pass a whole second carry into the seconds.
  struct Case { long nowSeconds, nowNanoseconds; uint32_t timeoutMs; long seconds, nanoseconds; };
  for (const Case &c : {Case{100, 500000000, 500, 101, 0},
                        Case{100, 400000000, 2500, 102, 900000000},
                        Case{100, 600000000, 2500, 103, 100000000}}) {
    timespec deadline = xtargetDeadline(timespec{c.nowSeconds, c.nowNanoseconds}, c.timeoutMs);
    EXPECT_EQ(deadline.tv_sec, c.seconds) << c.timeoutMs;
    EXPECT_EQ(deadline.tv_nsec, c.nanoseconds) << c.timeoutMs;
  }
}

// No server, or one whose XOpenDisplay would wait for ever: the open gives up at its deadline,
// names the whole seconds, and stores nothing.
TEST_F(XtargetTest, OpenGivesUpAtTheDeadline) {
  for (bool silent : {false, true}) {
    SCOPED_TRACE(silent ? "silent listener" : "no server");
    std::string name = ":" + std::to_string(xvfbUnusedDisplayNumber());
    int listener = silent ? silentListener(name) : -1;
    uint32_t timeoutMs = silent ? 1500 : 2500;
    Display *untouched = reinterpret_cast<Display *>(&ioErrors), *display = untouched;
    long long started = xvfbNowMs();
    EXPECT_EQ(openWith(name, timeoutMs, &display),
              "Can't connect to display '" + name + "' for " + std::to_string(timeoutMs / 1000) +
                  " seconds - Make sure the X Window server is available and access is granted");
    long long elapsed = xvfbNowMs() - started;
    EXPECT_EQ(display, untouched);
    EXPECT_GE(elapsed, timeoutMs - 50);
    EXPECT_LT(elapsed, timeoutMs + 3000);  // generous for a busy machine
    if (silent) ::close(listener);
  }
}

// A silent listener that stays: the opens after it still end at their own deadlines, with and
// without an authorization name (no thread may be left inside Xlib holding its lock).
TEST_F(XtargetTest, SilentListenerBlocksNoLaterOpen) {
  std::string silentName = ":" + std::to_string(xvfbUnusedDisplayNumber());
  int listener = silentListener(silentName);
  Display *display = nullptr;
  long long started = xvfbNowMs();
  EXPECT_NE(openWith(silentName, 1000, &display), "");
  EXPECT_LT(xvfbNowMs() - started, 1000 + 3000);  // generous for a busy machine
  for (bool withAuthorization : {false, true}) {
    SCOPED_TRACE(withAuthorization ? "authorization name" : "no authorization");
    std::string absent = ":" + std::to_string(xvfbUnusedDisplayNumber());
    TargetDisplayParams params;
    xtargetDefaultParams(&params);
    params.displayName = absent.c_str();
    params.timeoutMs = 1200;
    char authName[] = "MIT-MAGIC-COOKIE-1", authData[16] = {};
    if (withAuthorization) {
      params.authName = authName, params.authNameLength = sizeof authName - 1;
      params.authData = authData, params.authDataLength = sizeof authData;
    }
    started = xvfbNowMs();
    EXPECT_NE(xtargetOpenDisplay(&params, "tarvo test", &display), nullptr);
    long long elapsed = xvfbNowMs() - started;
    EXPECT_GE(elapsed, 1200 - 50);
    EXPECT_LT(elapsed, 1200 + 3000);  // generous for a busy machine
  }
  ::close(listener);
}

// A server on the display's abstract socket that answers the first 8 bytes of every connection
// setup (enough for the opener's probe) and then says nothing more; ended by the record.
struct StallingServer {
  int listener = -1;
  int stop[2] = {-1, -1};
  std::vector<int> accepted;
  std::thread thread;
  explicit StallingServer(const std::string &name) {
    listener = silentListener(name);
    EXPECT_EQ(pipe(stop), 0);
    thread = std::thread([this] {
      for (;;) {
        pollfd slots[2] = {{listener, POLLIN, 0}, {stop[0], POLLIN, 0}};
        if (poll(slots, 2, 10000) <= 0 || slots[1].revents) return;
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        accepted.push_back(fd);
        unsigned char setup[12];
        size_t got = 0;
        while (got < sizeof setup) {
          pollfd slot{fd, POLLIN, 0};
          if (poll(&slot, 1, 2000) <= 0) break;
          ssize_t n = read(fd, setup + got, sizeof setup - got);
          if (n <= 0) break;
          got += size_t(n);
        }
        const unsigned char head[8] = {1, 0, 11, 0, 0, 0, 200, 0};  // success, 800 more bytes
        if (got == sizeof setup) {
          EXPECT_EQ(write(fd, head, sizeof head), 8);
        }
      }
    });
  }
  ~StallingServer() {
    if (write(stop[1], "x", 1) != 1) ADD_FAILURE();
    thread.join();
    for (int fd : accepted) ::close(fd);
    ::close(listener), ::close(stop[0]), ::close(stop[1]);
  }
};

// A server that answers the probe and then stalls on Xlib's own connection: the open still
// ends at its deadline, and only the connections the open made are cut (an older one to the
// same server stays).
TEST_F(XtargetTest, ServerStalledAfterTheProbeIsCutAtTheDeadline) {
  std::string name = ":" + std::to_string(xvfbUnusedDisplayNumber());
  std::unique_ptr<StallingServer> server(new StallingServer(name));
  int older = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  {
    std::string path = "/tmp/.X11-unix/X" + name.substr(1);
    sockaddr_un address{AF_UNIX, {}};
    memcpy(address.sun_path + 1, path.data(), path.size());
    auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    ASSERT_EQ(connect(older, reinterpret_cast<sockaddr *>(&address), length), 0) << strerror(errno);
    const unsigned char setup[12] = {'l', 0, 11};
    ASSERT_EQ(send(older, setup, sizeof setup, MSG_NOSIGNAL), 12);
  }
  std::string failure = "(still waiting)";
  long long started = xvfbNowMs(), elapsed = -1;
  std::mutex mutex;
  std::condition_variable ended;
  std::thread opener([&] {
    Display *display = nullptr;
    std::string text = openWith(name, 1500, &display);
    std::lock_guard<std::mutex> lock(mutex);
    failure = text, elapsed = xvfbNowMs() - started;
    ended.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait_for(lock, std::chrono::seconds(6), [&] { return elapsed >= 0; });
  }
  // The older connection was not cut: writing works, its answer's head is there, and no end.
  EXPECT_EQ(send(older, "abcd", 4, MSG_NOSIGNAL), 4);
  char head[8];
  EXPECT_EQ(recv(older, head, sizeof head, MSG_DONTWAIT), 8);
  EXPECT_EQ(recv(older, head, sizeof head, MSG_DONTWAIT), -1);
  server.reset();  // frees an open that was not cut
  opener.join();
  ::close(older);
  EXPECT_EQ(failure, "Can't connect to display '" + name +
                         "' for 1 seconds - Make sure the X Window server is available and access is granted");
  EXPECT_GE(elapsed, 1500 - 50);
  EXPECT_LT(elapsed, 1500 + 2000);
}

// Display names as Xlib reads them: local sockets, TCP hosts, and names left to Xlib.
TEST(XtargetParams, DisplayNames) {
  struct Case { const char *name; int understood; const char *host, *path; unsigned number; };
  for (const Case &c : {Case{":5", 1, "", "/tmp/.X11-unix/X5", 5},
                        Case{":12.1", 1, "", "/tmp/.X11-unix/X12", 12},
                        Case{"unix:3", 1, "", "/tmp/.X11-unix/X3", 3},
                        Case{"unix/:4.0", 1, "", "/tmp/.X11-unix/X4", 4},
                        Case{"otherhost:7.0", 1, "otherhost", "", 7},
                        Case{"tcp/:2", 1, "localhost", "", 2},
                        Case{"[::1]:9", 1, "::1", "", 9},
                        Case{"host::0", 0, "", "", 0},   // DECnet
                        Case{"nohost", 0, "", "", 0},
                        Case{":", 0, "", "", 0},
                        Case{":x", 0, "", "", 0},
                        Case{":1x", 0, "", "", 0},
                        Case{"weird/:1", 0, "", "", 0}}) {
    TargetDisplayAddress address;
    EXPECT_EQ(xtargetParseDisplayName(c.name, &address), c.understood) << c.name;
    EXPECT_STREQ(address.host, c.host) << c.name;
    EXPECT_STREQ(address.path, c.path) << c.name;
    EXPECT_EQ(address.number, c.number) << c.name;
  }
}

// A server that comes up 1.5 s into a 10 s open is taken on the next retry.
TEST_F(XtargetTest, ServerStartedLateIsConnected) {
  int number = xvfbUnusedDisplayNumber();
  std::string name = ":" + std::to_string(number), failure;
  Display *display = nullptr;
  long long started = xvfbNowMs();
  // The server dies with the thread that started it: the open runs on another thread.
  std::thread opener([&] { failure = openWith(name, 10000, &display); });
  usleep(1500000);
  XvfbOptions options;
  options.displayNumber = number;
  EXPECT_EQ(server_.start(options), "");
  opener.join();
  ASSERT_EQ(failure, "");
  ASSERT_NE(display, nullptr);
  opened_.push_back(display);
  EXPECT_GE(xvfbNowMs() - started, 1500);
  EXPECT_LT(xvfbNowMs() - started, 9000);
}

// Extensions are answered from the server and then from the connection's own list. Closing after
// the server died returns at once, touches no socket, drops buffered requests and calls no
// I/O-error handler; once the break was seen, extension queries answer NULL without a request.
TEST_F(XtargetTest, ExtensionsAndCloseAfterServerDied) {
  for (int mode = 0; mode < 3; mode++) {  // requests buffered, synchronous, break already seen
    SCOPED_TRACE(mode);
    Display *display = open(0, mode == 1);
    ASSERT_NE(display, nullptr);
    XSetIOErrorExitHandler(display, xvfbReturnFromIOError, nullptr);
    xtargetArmErrorTrap(display);  // the identity window and the requests below cause no error
    XCreateFontCursor(display, XC_left_ptr);  // a cursor font and extensions to clean up
    ASSERT_NE(xutilHasExtension(display, "MIT-SHM"), nullptr);
    int opcode, event, error;
    ASSERT_TRUE(XQueryExtension(display, "XTEST", &opcode, &event, &error));
    XExtCodes *codes = xutilHasExtension(display, "XTEST");
    ASSERT_NE(codes, nullptr);
    EXPECT_EQ(codes->major_opcode, opcode);
    EXPECT_EQ(xutilHasExtension(display, "XTEST"), codes);  // known now, no second record
    EXPECT_EQ(xutilHasExtension(display, "NO-SUCH-EXTENSION"), nullptr);
    EXPECT_EQ(xutilHasExtension(nullptr, "XTEST"), nullptr);
    XSync(display, False);
    EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
    server_.kill();
    if (mode == 0) XNoOp(display);  // left in the buffer: the close must drop it, not send it
    if (mode == 2) {
      XSync(display, False);
      ASSERT_EQ(ioErrors, 1);
      EXPECT_EQ(xutilHasExtension(display, "BIG-REQUESTS"), nullptr);
    }
    long long started = xvfbNowMs();
    std::erase(opened_, display);  // closed here, not at the end of the test
    xtargetCloseDisplay(display);
    EXPECT_LT(xvfbNowMs() - started, 3000);  // at once; generous for a busy machine
    EXPECT_EQ(ioErrors, mode == 2 ? 1 : 0);
  }
}

std::string loggedLine;  // the last Xerror line

// The trap flags errors of its one display; errors of any other display go to the Xerror log.
// The grab test gives 0 for plain connections (a synchronous one must not hang) and 1 when the
// opener asked for imperviousness.
TEST_F(XtargetTest, ErrorTrapAndGrabTest) {
  Display *plain = open(0);
  Display *synchronous = open(0, 1);
  Display *impervious = open(1);
  ASSERT_TRUE(plain && synchronous && impervious);
  xtargetArmErrorTrap(synchronous);  // synchronous: the error comes inside the failing call
  XFreePixmap(synchronous, xmiscResourceBase(synchronous) | 0x1234);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);

  logInit(0, nullptr, "test", "test");
  logOutputHook = [](LogChannel *channel, const char *, int, const char *message) {
    if (channel == logChannelXerror) loggedLine = message;
  };
  xtargetArmErrorTrap(synchronous);  // a new arm clears the flag
  unsigned long serial = NextRequest(plain);
  XFreePixmap(plain, xmiscResourceBase(plain) | 0x1234);
  XSync(plain, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
  EXPECT_EQ(loggedLine, std::string("X error BadPixmap ") +
                            xmiscIdText(static_cast<unsigned>(xmiscResourceBase(plain) | 0x1234)) +
                            " in request 54.0 #" + std::to_string(serial) + " from " +
                            server_.displayName());

  // Extension errors: "missing" is never reported, other reasons go to stderr unless trapped.
  testing::internal::CaptureStderr();
  XMissingExtension(plain, "NO-SUCH-EXTENSION");
  xtargetTrapExtensionErrorHandler(plain, "XTEST", "broken");
  xtargetArmErrorTrap(plain);
  xtargetTrapExtensionErrorHandler(plain, "XTEST", "broken");
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error in X extension XTEST: broken (display " + server_.displayName() + ")\n");

  loggedLine.clear();
  EXPECT_EQ(xmiscIsImpervious(plain), 0);
  EXPECT_EQ(xmiscIsImpervious(synchronous), 0);
  EXPECT_EQ(xmiscIsImpervious(impervious), 1);
  XSync(plain, False);
  EXPECT_EQ(loggedLine, "");  // the grab test leaves no stray error behind
  logOutputHook = logEmit;
}

// The bounded round trip: a stopped server gives the failure once the limit passed, and the
// connection stays usable; once the server goes on, what it sent meanwhile (an event, an error
// of an earlier request) is in Xlib's queue and went through the error handler, as after XSync.
TEST_F(XtargetTest, SyncBoundedByTheLimit) {
  Display *display = open();
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);
  XSelectInput(display, root, PropertyChangeMask);
  XSync(display, False);
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  xtargetArmErrorTrap(display);
  XChangeProperty(display, root, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char *>("x"), 1);
  XFreePixmap(display, xmiscResourceBase(display) | 0x1234);
  long long started = xvfbNowMs();
  const char *failure = xtargetSync(display, 300);
  long long spent = xvfbNowMs() - started;
  kill(server_.pid(), SIGCONT);
  ASSERT_NE(failure, nullptr);
  EXPECT_GE(spent, 290);
  EXPECT_LT(spent, 2000);
  EXPECT_EQ(xtargetSync(display, 5000), nullptr);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  ASSERT_EQ(XEventsQueued(display, QueuedAlready), 1);
  XEvent event;
  XNextEvent(display, &event);
  EXPECT_EQ(event.type, PropertyNotify);
  // The late answer of the timed-out round trip was dropped: Xlib stays in step.
  XSync(display, False);
  EXPECT_EQ(XEventsQueued(display, QueuedAlready), 0);
  EXPECT_EQ(xtargetSync(display, 0), nullptr);
}

// Bounded queries beside Xlib's: a raw request (core or extension) and an xcb request get their
// reply or their error; a stopped server gives the failure once the limit passed, and Xlib stays
// in step with the connection afterwards (its own round trips and queries still work).
TEST_F(XtargetTest, QueriesBoundedByTheLimit) {
  Display *display = open();
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);
  uint32_t queryPointer[2] = {38u | (2u << 16), uint32_t(root)};
  uint8_t *reply = nullptr;
  ASSERT_EQ(xtargetRoundTrip(display, queryPointer, sizeof queryPointer, 2000, &reply), nullptr);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply[0], 1);
  uint32_t replyRoot = 0;
  memcpy(&replyRoot, reply + 8, 4);
  EXPECT_EQ(replyRoot, uint32_t(root));
  free(reply);

  // An error answers the request; the id of a window nobody made.
  queryPointer[1] = uint32_t(xmiscResourceBase(display) | 0x777);
  const char *failure = xtargetRoundTrip(display, queryPointer, sizeof queryPointer, 2000, &reply);
  ASSERT_NE(failure, nullptr);
  EXPECT_STREQ(failure, "the X server answered with error 3");
  EXPECT_EQ(reply, nullptr);
  // A malformed length is refused before anything is sent.
  EXPECT_NE(xtargetRoundTrip(display, queryPointer, 6, 2000, &reply), nullptr);

  // An extension's request by its major opcode on this server: SHAPE's QueryVersion.
  int major = 0, firstEvent = 0, firstError = 0;
  ASSERT_TRUE(XQueryExtension(display, "SHAPE", &major, &firstEvent, &firstError));
  uint32_t shapeVersion[1] = {uint32_t(major) | (1u << 16)};
  ASSERT_EQ(xtargetRoundTrip(display, shapeVersion, sizeof shapeVersion, 2000, &reply), nullptr);
  uint16_t shapeMajor = 0;
  memcpy(&shapeMajor, reply + 8, 2);
  EXPECT_EQ(shapeMajor, 1);
  free(reply);

  // xcb's own request, its error handed back rather than to Xlib's handler.
  xcb_connection_t *connection = XGetXCBConnection(display);
  xtargetArmErrorTrap(display);
  auto cookie = xcb_get_geometry(connection, uint32_t(xmiscResourceBase(display) | 0x778));
  void *geometry = nullptr;
  xcb_generic_error_t *error = nullptr;
  ASSERT_EQ(xtargetWaitReply(display, cookie.sequence, 2000, &geometry, &error), nullptr);
  EXPECT_EQ(geometry, nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->error_code, BadDrawable);
  free(error);
  XSync(display, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);

  // The server stopped: the query gives up once the limit passed.
  queryPointer[1] = uint32_t(root);
  XSync(display, False);
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  long long started = xvfbNowMs();
  failure = xtargetRoundTrip(display, queryPointer, sizeof queryPointer, 300, &reply);
  long long spent = xvfbNowMs() - started;
  kill(server_.pid(), SIGCONT);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(reply, nullptr);
  EXPECT_GE(spent, 290);
  EXPECT_LT(spent, 2000);
  // The late reply is dropped; Xlib's next query gets its own answer.
  Window rootReturn = 0, child = 0;
  int x, y, wx, wy;
  unsigned mask;
  EXPECT_TRUE(XQueryPointer(display, root, &rootReturn, &child, &x, &y, &wx, &wy, &mask));
  EXPECT_EQ(rootReturn, root);
  EXPECT_EQ(xtargetSync(display, 5000), nullptr);
}

}  // namespace
