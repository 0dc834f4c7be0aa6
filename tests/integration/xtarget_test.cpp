// The display opener, the X error trap, the grab test and the extension query against Xvfb.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <X11/Xlib.h>
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
void returningExitHandler(Display *, void *) {}

std::string connectText(const std::string &name, unsigned seconds) {
  return "Can't connect to display '" + name + "' for " + std::to_string(seconds) +
         " seconds - Make sure the X Window server is available and access is granted";
}

// Opens `name` through the opener; the failure text (or "") and the time taken.
std::string openWith(const std::string &name, uint32_t timeoutMs, Display **display,
                     long long *elapsedMs = nullptr, uint32_t openFlags = 0, int synchronous = 0) {
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = name.c_str();
  params.timeoutMs = timeoutMs;
  params.openFlags = openFlags;
  params.synchronous = synchronous;
  long long started = xvfbNowMs();
  const char *failure = xtargetOpenDisplay(&params, "tarvo test", display);
  if (elapsedMs) *elapsedMs = xvfbNowMs() - started;
  return failure ? failure : "";
}

class XtargetTest : public ::testing::Test {
 protected:
  void SetUp() override { ioErrors = 0, XSetIOErrorHandler(countingIoErrorHandler); }
  void TearDown() override {
    for (Display *display : opened_) xtargetCloseDisplay(display);
    XSetIOErrorHandler(nullptr);
  }
  // Starts the test's own server (when not yet running) and opens a connection to it.
  Display *open(uint32_t openFlags = 0, int synchronous = 0) {
    std::string error = server_.running() ? "" : server_.start();
    EXPECT_EQ(error, "");
    Display *display = nullptr;
    if (error.empty()) {
      EXPECT_EQ(openWith(server_.displayName(), 10000, &display, nullptr, openFlags, synchronous),
                "");
    }
    if (display) opened_.push_back(display);
    return display;
  }
  // Closes through the opener now, not at the end of the test.
  void close(Display *display) { std::erase(opened_, display), xtargetCloseDisplay(display); }
  std::string unusedName() { return ":" + std::to_string(xvfbUnusedDisplayNumber()); }

  XvfbServer server_;
  std::vector<Display *> opened_;
};

TEST(XtargetParams, DefaultsFollowTheEnvironment) {
  const char *saved = getenv("DISPLAY");
  std::string savedValue = saved ? saved : "";  // put back at the end
  unsetenv("DISPLAY");
  TargetDisplayParams params;
  memset(&params, 0x5a, sizeof params);
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, ":0.0");
  EXPECT_EQ(params.timeoutMs, 10000u);
  EXPECT_EQ(params.secondTimeoutMs, 10000u);
  EXPECT_TRUE(!params.authName && !params.authData && !params.authNameLength &&
              !params.authDataLength && !params.openFlags && !params.extraOpenFlag &&
              !params.synchronous);
  setenv("DISPLAY", "otherhost:7.0", 1);
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, "otherhost:7.0");
  if (saved) setenv("DISPLAY", savedValue.c_str(), 1); else unsetenv("DISPLAY");
}

// Sub-second parts that pass a whole second carry into the seconds.
TEST(XtargetParams, DeadlineCarriesIntoSeconds) {
  struct Case { long nowSeconds, nowNanoseconds; uint32_t timeoutMs; long seconds, nanoseconds; };
  for (const Case &c : {Case{100, 0, 2500, 102, 500000000}, Case{100, 500000000, 500, 101, 0},
                        Case{100, 600000000, 2500, 103, 100000000},
                        Case{0, 999000000, 4294967295u, 4294968, 294000000}}) {
    timespec deadline = xtargetDeadline(timespec{c.nowSeconds, c.nowNanoseconds}, c.timeoutMs);
    EXPECT_EQ(deadline.tv_sec, c.seconds) << c.timeoutMs;
    EXPECT_EQ(deadline.tv_nsec, c.nanoseconds) << c.timeoutMs;
  }
}

// No server: the open gives up at its 2.5 s deadline, says 2 seconds, and stores nothing.
TEST_F(XtargetTest, MissingServerTimesOut) {
  std::string name = unusedName();
  Display *untouched = reinterpret_cast<Display *>(&ioErrors), *display = untouched;
  long long elapsed = 0;
  EXPECT_EQ(openWith(name, 2500, &display, &elapsed), connectText(name, 2));
  EXPECT_EQ(display, untouched);
  EXPECT_GE(elapsed, 2450);
  EXPECT_LT(elapsed, 3500);
}

// A listener that never sends the greeting holds XOpenDisplay for ever, but not the caller.
TEST_F(XtargetTest, SilentServerDoesNotHoldTheCaller) {
  std::string name = unusedName();
  std::string path = "/tmp/.X11-unix/X" + name.substr(1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, path.data(), path.size());  // abstract name
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 4), 0);
  Display *display = nullptr;
  long long elapsed = 0;
  EXPECT_EQ(openWith(name, 1500, &display, &elapsed), connectText(name, 1));
  EXPECT_EQ(display, nullptr);
  EXPECT_GE(elapsed, 1450);
  EXPECT_LT(elapsed, 2500);
  ::close(listener);  // ends the connecting thread that was left behind
  usleep(300000);
}

// A server that comes up 1.5 s into a 10 s open is taken on the next retry.
TEST_F(XtargetTest, ServerStartedLateIsConnected) {
  int number = xvfbUnusedDisplayNumber();
  std::string name = ":" + std::to_string(number), failure;
  Display *display = nullptr;
  long long elapsed = 0;
  // The server dies with the thread that started it: the open runs on another thread.
  std::thread opener([&] { failure = openWith(name, 10000, &display, &elapsed); });
  usleep(1500000);
  XvfbOptions options;
  options.displayNumber = number;
  std::string startError = server_.start(options);
  opener.join();
  ASSERT_EQ(startError, "");
  ASSERT_EQ(failure, "");
  ASSERT_NE(display, nullptr);
  opened_.push_back(display);
  EXPECT_GE(elapsed, 1500);
  EXPECT_LT(elapsed, 9000);
  // The identity window was created and destroyed without an error.
  xtargetArmErrorTrap(display);
  XSync(display, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
}

// Closing after the server died returns at once, touches no socket and drops buffered requests.
TEST_F(XtargetTest, CloseAfterServerDiedReturnsAtOnce) {
  for (int synchronous = 0; synchronous <= 1; synchronous++) {
    Display *display = open(0, synchronous);
    ASSERT_NE(display, nullptr);
    XSetIOErrorExitHandler(display, returningExitHandler, nullptr);
    XCreateFontCursor(display, XC_left_ptr);  // a cursor font and extensions to clean up
    ASSERT_NE(xutilHasExtension(display, "XTEST"), nullptr);
    ASSERT_NE(xutilHasExtension(display, "MIT-SHM"), nullptr);
    XSync(display, False);
    server_.kill();
    for (int i = 0; i < 50 && !synchronous; i++) {
      XDrawPoint(display, DefaultRootWindow(display), DefaultGC(display, 0), i, i);
    }
    long long started = xvfbNowMs();
    close(display);
    EXPECT_LT(xvfbNowMs() - started, 1000) << synchronous;
    EXPECT_EQ(ioErrors, 0) << synchronous;
  }
}

std::string loggedLine;  // the last Xerror line and its source file
std::string loggedSource;

// The trap flags errors of its one display; errors of any other display go to the Xerror log.
TEST_F(XtargetTest, ErrorTrapCatchesOnlyItsDisplay) {
  Display *first = open();
  Display *second = open();
  ASSERT_TRUE(first && second);
  xtargetArmErrorTrap(first);
  XFreePixmap(first, xmiscResourceBase(first) | 0x1234);
  XSync(first, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);  // disarming again changes nothing
  xtargetArmErrorTrap(first);  // a new arm clears the flag
  XFreePixmap(first, XCreatePixmap(first, DefaultRootWindow(first), 4, 4, 1));
  XSync(first, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);

  char program[] = "xtarget_test";
  char *argv[] = {program, nullptr};
  logInit(1, argv, "test", "test");
  logOutputHook = [](LogChannel *channel, const char *sourceFile, int, const char *message) {
    if (channel == logChannelXerror) loggedLine = message, loggedSource = sourceFile;
  };
  xtargetArmErrorTrap(first);
  unsigned long serial = NextRequest(second);
  XFreePixmap(second, xmiscResourceBase(second) | 0x1234);
  XSync(second, False);
  XSync(first, False);
  logOutputHook = logEmit;
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
  EXPECT_EQ(loggedLine, std::string("X error BadPixmap ") +
                            xmiscIdText(static_cast<unsigned>(xmiscResourceBase(second) | 0x1234)) +
                            " in request 54.0 #" + std::to_string(serial) + " from " +
                            server_.displayName());
  EXPECT_NE(loggedSource.find("xtarget"), std::string::npos);

  // Extension errors: "missing" is never reported, other reasons go to stderr unless trapped.
  testing::internal::CaptureStderr();
  XMissingExtension(second, "NO-SUCH-EXTENSION");
  xtargetTrapExtensionErrorHandler(second, "XTEST", "broken");
  xtargetArmErrorTrap(second);
  xtargetTrapExtensionErrorHandler(second, "XTEST", "broken");
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error in X extension XTEST: broken (display " + server_.displayName() + ")\n");
}

// 0 for plain connections (a synchronous one must not hang), 1 when the opener asked for it.
TEST_F(XtargetTest, GrabTestTellsImperviousConnections) {
  Display *plain = open(0);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(xmiscIsImpervious(plain), 0);
  Display *synchronous = open(0, 1);
  ASSERT_NE(synchronous, nullptr);
  xtargetArmErrorTrap(synchronous);  // synchronous: the error comes inside the failing call
  XFreePixmap(synchronous, xmiscResourceBase(synchronous) | 0x7777);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  EXPECT_EQ(xmiscIsImpervious(synchronous), 0);
  Display *impervious = open(1);
  ASSERT_NE(impervious, nullptr);
  EXPECT_EQ(xmiscIsImpervious(impervious), 1);
  // The test leaves no grab and no stray error behind.
  xtargetArmErrorTrap(plain);
  XSync(plain, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
}

// Present and absent extensions; NULL without a round trip once the connection broke.
TEST_F(XtargetTest, HasExtensionAnswersFromTheServer) {
  Display *display = open();
  ASSERT_NE(display, nullptr);
  int opcode, event, error;
  ASSERT_TRUE(XQueryExtension(display, "XTEST", &opcode, &event, &error));
  XExtCodes *codes = xutilHasExtension(display, "XTEST");
  ASSERT_NE(codes, nullptr);
  EXPECT_EQ(codes->major_opcode, opcode);
  EXPECT_EQ(xutilHasExtension(display, "XTEST"), codes);  // known now, no second record
  EXPECT_EQ(xutilHasExtension(display, "xtest"), nullptr);
  EXPECT_EQ(xutilHasExtension(display, "NO-SUCH-EXTENSION"), nullptr);
  EXPECT_EQ(xutilHasExtension(nullptr, "XTEST"), nullptr);
  XSetIOErrorExitHandler(display, returningExitHandler, nullptr);
  server_.kill();
  XSync(display, False);
  ASSERT_EQ(ioErrors, 1);
  EXPECT_EQ(xutilHasExtension(display, "BIG-REQUESTS"), nullptr);
  EXPECT_EQ(ioErrors, 1);
  close(display);
  EXPECT_EQ(ioErrors, 1);
}

}  // namespace
