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
#include <X11/Xlibint.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xext.h>

#include "xclient/misc.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "xvfb_fixture.h"

namespace {

int ioErrors = 0;

// Xlib's own I/O-error handler ends the process; these record the call instead, so that a
// test can see whether a broken connection was touched.
int countingIoErrorHandler(Display *) {
  ioErrors++;
  return 0;
}
void returningExitHandler(Display *, void *) {}

std::string connectText(const std::string &name, unsigned seconds) {
  return "Can't connect to display '" + name + "' for " + std::to_string(seconds) +
         " seconds - Make sure the X Window server is available and access is granted";
}

class XtargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ioErrors = 0;
    XSetIOErrorHandler(countingIoErrorHandler);
  }
  void TearDown() override {
    for (Display *display : opened_) xtargetCloseDisplay(display);
    XSetIOErrorHandler(nullptr);
  }
  // Opens through the opener with a short time-out; fails the test on error.
  Display *open(uint32_t openFlags = 0, int synchronous = 0) {
    TargetDisplayParams params;
    xtargetDefaultParams(&params);
    params.displayName = server_.displayName().c_str();
    params.timeoutMs = 5000;
    params.openFlags = openFlags;
    params.synchronous = synchronous;
    Display *display = nullptr;
    const char *failure = xtargetOpenDisplay(&params, "tarvo test", &display);
    EXPECT_EQ(failure, nullptr) << failure;
    if (display) opened_.push_back(display);
    return display;
  }
  void startServer() {
    std::string error = server_.start();
    ASSERT_EQ(error, "") << error;
  }
  void forget(Display *display) { std::erase(opened_, display); }

  XvfbServer server_;
  std::vector<Display *> opened_;
};

TEST(XtargetParams, DefaultsFollowTheEnvironment) {
  const char *saved = getenv("DISPLAY");
  std::string savedValue = saved ? saved : "";
  unsetenv("DISPLAY");
  TargetDisplayParams params;
  memset(&params, 0x5a, sizeof params);
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, ":0.0");
  EXPECT_EQ(params.timeoutMs, 10000u);
  EXPECT_EQ(params.secondTimeoutMs, 10000u);
  EXPECT_EQ(params.authName, nullptr);
  EXPECT_EQ(params.authData, nullptr);
  EXPECT_EQ(params.authNameLength, 0);
  EXPECT_EQ(params.authDataLength, 0);
  EXPECT_EQ(params.openFlags, 0u);
  EXPECT_EQ(params.extraOpenFlag, 0);
  EXPECT_EQ(params.synchronous, 0);
  setenv("DISPLAY", "otherhost:7.0", 1);
  xtargetDefaultParams(&params);
  EXPECT_STREQ(params.displayName, "otherhost:7.0");
  if (saved) {
    setenv("DISPLAY", savedValue.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

TEST(XtargetParams, DeadlineCarriesIntoSeconds) {
  struct Case {
    long nowSeconds, nowNanoseconds;
    uint32_t timeoutMs;
    long seconds, nanoseconds;
  } cases[] = {
      {100, 0, 2500, 102, 500000000},
      {100, 600000000, 2500, 103, 100000000},
      {100, 999999999, 1, 101, 999999},
      {100, 500000000, 500, 101, 0},
      {100, 123, 0, 100, 123},
      {0, 999000000, 4294967295u, 4294968, 294000000},
  };
  for (const Case &c : cases) {
    timespec deadline = xtargetDeadline(timespec{c.nowSeconds, c.nowNanoseconds}, c.timeoutMs);
    EXPECT_EQ(deadline.tv_sec, c.seconds) << c.timeoutMs;
    EXPECT_EQ(deadline.tv_nsec, c.nanoseconds) << c.timeoutMs;
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
  }
}

TEST_F(XtargetTest, MissingServerTimesOut) {
  int number = xvfbUnusedDisplayNumber();
  ASSERT_GE(number, 0);
  std::string name = ":" + std::to_string(number);
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = name.c_str();
  params.timeoutMs = 2500;
  Display *untouched = reinterpret_cast<Display *>(&params);
  Display *display = untouched;
  long long started = xvfbNowMs();
  const char *failure = xtargetOpenDisplay(&params, nullptr, &display);
  long long elapsed = xvfbNowMs() - started;
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure), connectText(name, 2));
  EXPECT_EQ(display, untouched);
  EXPECT_GE(elapsed, 2450);
  EXPECT_LT(elapsed, 3500);
}

TEST_F(XtargetTest, SilentServerDoesNotHoldTheCaller) {
  // A listener on the display's abstract socket that never answers: XOpenDisplay connects
  // and then waits for the server's greeting for ever.
  int number = xvfbUnusedDisplayNumber();
  ASSERT_GE(number, 0);
  std::string name = ":" + std::to_string(number);
  std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, path.data(), path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 4), 0);

  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = name.c_str();
  params.timeoutMs = 1500;
  Display *display = nullptr;
  long long started = xvfbNowMs();
  const char *failure = xtargetOpenDisplay(&params, nullptr, &display);
  long long elapsed = xvfbNowMs() - started;
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure), connectText(name, 1));
  EXPECT_EQ(display, nullptr);
  EXPECT_GE(elapsed, 1450);
  EXPECT_LT(elapsed, 2500);
  // Closing the listener ends the connecting thread that was left behind.
  close(listener);
  usleep(300000);
}

TEST_F(XtargetTest, ServerStartedLateIsConnected) {
  int number = xvfbUnusedDisplayNumber();
  ASSERT_GE(number, 0);
  std::string name = ":" + std::to_string(number);
  // The server dies with the thread that started it, so the main thread starts it and the
  // open runs on another thread.
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = name.c_str();
  params.timeoutMs = 10000;
  Display *display = nullptr;
  const char *failure = nullptr;
  long long elapsed = 0;
  std::thread opener([&] {
    long long started = xvfbNowMs();
    failure = xtargetOpenDisplay(&params, "late", &display);
    elapsed = xvfbNowMs() - started;
  });
  usleep(1500000);
  XvfbOptions options;
  options.displayNumber = number;
  std::string startError = server_.start(options);
  opener.join();
  ASSERT_EQ(startError, "") << startError;
  ASSERT_EQ(failure, nullptr) << failure;
  ASSERT_NE(display, nullptr);
  opened_.push_back(display);
  EXPECT_GE(elapsed, 1500);
  EXPECT_LT(elapsed, 9000);
  EXPECT_STREQ(XDisplayString(display), name.c_str());
  // The identity window was created and destroyed without an error.
  xtargetArmErrorTrap(display);
  XSync(display, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
}

TEST_F(XtargetTest, OpenFlagsAreStored) {
  startServer();
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = server_.displayName().c_str();
  params.openFlags = 1;
  params.extraOpenFlag = 1;
  params.synchronous = 1;
  Display *display = nullptr;
  ASSERT_EQ(xtargetOpenDisplay(&params, nullptr, &display), nullptr);
  opened_.push_back(display);
  EXPECT_EQ(imperviousXOpenDisplay, 3u);
  // Synchronous mode reports an error inside the call that caused it.
  xtargetArmErrorTrap(display);
  XFreePixmap(display, xmiscResourceBase(display) | 0x7777);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
}

TEST_F(XtargetTest, CloseAfterServerDiedReturnsAtOnce) {
  for (int synchronous = 0; synchronous <= 1; synchronous++) {
    startServer();
    Display *display = open(0, synchronous);
    ASSERT_NE(display, nullptr);
    XSetIOErrorExitHandler(display, returningExitHandler, nullptr);
    // Give the close some clean-up to do: a cursor font and extensions.
    XCreateFontCursor(display, XC_left_ptr);
    ASSERT_NE(xutilHasExtension(display, "XTEST"), nullptr);
    ASSERT_NE(xutilHasExtension(display, "MIT-SHM"), nullptr);
    XSync(display, False);
    server_.kill();
    if (!synchronous) {
      // Requests still in the buffer are thrown away, not sent.
      for (int i = 0; i < 50; i++) {
        XDrawPoint(display, DefaultRootWindow(display), DefaultGC(display, 0), i, i);
      }
    }
    long long started = xvfbNowMs();
    forget(display);
    xtargetCloseDisplay(display);
    EXPECT_LT(xvfbNowMs() - started, 500) << synchronous;
    EXPECT_EQ(ioErrors, 0) << synchronous;
  }
}

TEST_F(XtargetTest, ErrorTrapCatchesOnlyItsDisplay) {
  startServer();
  Display *first = open();
  Display *second = open();
  ASSERT_TRUE(first && second);
  Pixmap bogus = xmiscResourceBase(first) | 0x1234;

  xtargetArmErrorTrap(first);
  XFreePixmap(first, bogus);
  XSync(first, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  // Disarming again changes nothing; a new arm clears the flag.
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
  xtargetArmErrorTrap(first);
  Pixmap real = XCreatePixmap(first, DefaultRootWindow(first), 4, 4, 1);
  XFreePixmap(first, real);
  XSync(first, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);

  // An error on another display is logged, not caught, and the process goes on.
  xtargetArmErrorTrap(first);
  XFreePixmap(second, xmiscResourceBase(second) | 0x1234);
  XSync(second, False);
  XSync(first, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);

  // Arming for another display replaces the first.
  xtargetArmErrorTrap(first);
  xtargetArmErrorTrap(second);
  XFreePixmap(second, xmiscResourceBase(second) | 0x4321);
  XSync(second, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);

  // A request still buffered at the close is dropped: it never reaches the server.
  Display *third = open();
  ASSERT_NE(third, nullptr);
  XFreePixmap(third, xmiscResourceBase(third) | 0x55);
  forget(third);
  EXPECT_EQ(xtargetCloseDisplay(third), 0);
}

TEST_F(XtargetTest, ExtensionErrorsAreSilentOnlyWhenMissing) {
  startServer();
  Display *display = open();
  ASSERT_NE(display, nullptr);

  testing::internal::CaptureStderr();
  XMissingExtension(display, "NO-SUCH-EXTENSION");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  testing::internal::CaptureStderr();
  xtargetTrapExtensionErrorHandler(display, "XTEST", "broken");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error in X extension XTEST: broken (display " + server_.displayName() + ")\n");

  xtargetArmErrorTrap(display);
  testing::internal::CaptureStderr();
  XMissingExtension(display, "NO-SUCH-EXTENSION");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(xtargetDisarmErrorTrap(), 1);
}

TEST_F(XtargetTest, GrabTestTellsImperviousConnections) {
  startServer();
  Display *plainXlib = XOpenDisplay(server_.displayName().c_str());
  ASSERT_NE(plainXlib, nullptr);
  EXPECT_EQ(xmiscIsImpervious(plainXlib), 0);
  XCloseDisplay(plainXlib);

  Display *plain = open(0);
  ASSERT_NE(plain, nullptr);
  long long started = xvfbNowMs();
  EXPECT_EQ(xmiscIsImpervious(plain), 0);
  EXPECT_LT(xvfbNowMs() - started, 3000);

  Display *impervious = open(1);
  ASSERT_NE(impervious, nullptr);
  EXPECT_EQ(xmiscIsImpervious(impervious), 1);
  // The test leaves no grab and no stray error behind.
  xtargetArmErrorTrap(plain);
  XSync(plain, False);
  EXPECT_EQ(xtargetDisarmErrorTrap(), 0);
}

TEST_F(XtargetTest, HasExtensionAnswersFromTheServer) {
  startServer();
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

  // A broken connection answers NULL without touching the server again.
  XSetIOErrorExitHandler(display, returningExitHandler, nullptr);
  server_.kill();
  XSync(display, False);
  ASSERT_EQ(ioErrors, 1);
  EXPECT_EQ(xutilHasExtension(display, "XTEST"), nullptr);
  EXPECT_EQ(xutilHasExtension(display, "BIG-REQUESTS"), nullptr);
  EXPECT_EQ(ioErrors, 1);
  forget(display);
  xtargetCloseDisplay(display);
  EXPECT_EQ(ioErrors, 1);
}

}  // namespace
