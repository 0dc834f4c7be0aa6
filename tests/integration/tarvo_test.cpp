// The tarvo executable as a whole: start-up failures, the ready signal, the exit and reset
// signals, the last client, the real display's end, the required process, additional heads,
// the quiet-time refresh, the local server and its cookie, XDMCP sessions against a scripted
// manager, the XTEST attach and the cursors of the proxy's windows. Each test runs the binary
// of its own build directory.
#define HASXDMAUTH 1  // declares XdmcpWrap and XdmcpUnwrap
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sanitizer_runtime.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include "innerwindow_fixture.h"
#include "tarvo_fixture.h"
#include "xdmcpmanager_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

size_t countOf(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

// What a client learns from the setup reply, as text, to compare two connections.
std::string setupSummary(xcb_connection_t *c) {
  const xcb_setup_t *setup = xcb_get_setup(c);
  std::string text = std::string(xcb_setup_vendor(setup), xcb_setup_vendor_length(setup)) + " " +
                     std::to_string(setup->release_number) + " max " + std::to_string(setup->maximum_request_length);
  for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it)) {
    const xcb_screen_t *s = it.data;
    text += " screen " + std::to_string(s->width_in_pixels) + "x" + std::to_string(s->height_in_pixels) + "x" +
            std::to_string(s->root_depth) + " depths " + std::to_string(xcb_screen_allowed_depths_length(s));
  }
  return text;
}

// Connects, retrying while the proxy resets (its listeners are closed meanwhile).
xcb_connection_t *connectWithin(const std::string &display, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
    if (!xcb_connection_has_error(c)) return c;
    xcb_disconnect(c);
    if (xvfbNowMs() > deadline) return nullptr;
    usleep(50000);
  }
}

// A round trip (GetInputFocus): true when an answer came, a reply or an error.
bool roundTrip(xcb_connection_t *c) {
  xcb_generic_error_t *error = nullptr;
  xcb_get_input_focus_reply_t *reply = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), &error);
  bool ok = reply != nullptr || error != nullptr;
  free(reply);
  free(error);
  return ok;
}

// Whether the proxy closes the connection within 5 s (xcb sees the end of the stream).
bool closedByPeer(xcb_connection_t *c) {
  long long deadline = xvfbNowMs() + 5000;
  while (!xcb_connection_has_error(c) && xvfbNowMs() < deadline) {
    struct pollfd slot = {xcb_get_file_descriptor(c), POLLIN, 0};
    if (poll(&slot, 1, 50) > 0) free(xcb_poll_for_event(c));
  }
  return xcb_connection_has_error(c) != 0;
}

class TarvoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void startXvfb(const XvfbOptions &options = XvfbOptions{}) { ASSERT_EQ(xvfb_.start(options), ""); }
  XvfbServer xvfb_;
  TarvoProcess tarvo_;
};

// ----- Start-up failures and information requests ----------------------------------------

TEST_F(TarvoTest, StartUpFailuresEndWithTheirTexts) {
  XvfbOptions two;
  two.screens = {"640x480x24", "640x480x24"};
  startXvfb(two);
  const std::string d = xvfb_.displayName();
  std::string directory = "/tmp/tarvo-fail-XXXXXX";
  ASSERT_NE(mkdtemp(directory.data()), nullptr);
  int absent = xvfbUnusedDisplayNumber();
  int own = xvfbUnusedDisplayNumber();
  const std::string ownName = ":" + std::to_string(own);
  struct Case {
    const char *name;
    std::vector<std::string> words;
    bool setHome;
    int status;
    const char *text;  // in the output or the log file
  } cases[] = {
      {"version", {"-VERSION"}, true, 0, "Tarvo 8.1."},
      {"version with more", {"-version", "x"}, true, 1, "Syntax error or no configuration file"},
      {"no home", {ownName, "screen", d + ".0"}, false, 1, "Environment variable *_HOME not set"},
      {"unspecified screen", {ownName, "screen", d + ".0"}, true, 1, "Unspecified screen on"},
      {"no such screen", {ownName, "screen", d + ".5"}, true, 1, "No screen #5"},
      {"absent display", {ownName, "screen", ":" + std::to_string(absent) + ".0", "connectTimeout", "1"}, true, 1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string output;
    std::string log = directory + "/tarvo.log";
    std::vector<std::string> words = c.words;
    if (words.size() > 1) words.insert(words.end(), {"logDestination", log, "logTypes", "steps"});
    unlink(log.c_str());
    long long began = xvfbNowMs();
    int status = tarvoRunToEnd(words, {}, c.setHome, &output, directory);
    EXPECT_EQ(status, c.status) << output << tarvoReadFile(log);
    EXPECT_NE((output + tarvoReadFile(log)).find(c.text), std::string::npos) << output << tarvoReadFile(log);
    EXPECT_LT(xvfbNowMs() - began, 10000);
    EXPECT_FALSE(tarvoSocketAnswers("/tmp/.X11-unix/X" + std::to_string(own)));
  }
  // A command line that does not parse still reaches the configured log file.
  std::string log = directory + "/parse.log";
  std::string output;
  EXPECT_EQ(tarvoRunToEnd({ownName, "logDestination", log, "screen", d + ".0", "bogusWord"}, {}, true, &output, directory), 1);
  EXPECT_NE(tarvoReadFile(log).find("bogusWord"), std::string::npos) << output;
  std::string remove = "rm -rf " + directory;
  EXPECT_EQ(system(remove.c_str()), 0);
}

// ----- Ready signal and exit signal -------------------------------------------------------

TEST_F(TarvoTest, ReadySignalThenSigtermEndsWithStatusZero) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  std::string log = tarvo_.log();
  EXPECT_NE(log.find("Sending ready signal to parent process " + std::to_string(getpid()) + "..."), std::string::npos);
  xcb_connection_t *c = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(setupSummary(c).rfind("Morwentech Tarvo 81", 0), 0u) << setupSummary(c);
  EXPECT_TRUE(roundTrip(c));
  xcb_disconnect(c);
  EXPECT_EQ(tarvo_.stop(), 0);  // ended by the signal itself: stop kills only after 10 s, with another status
  EXPECT_NE(tarvo_.log().find("Received exit signal 15"), std::string::npos);
  EXPECT_FALSE(tarvoSocketAnswers(tarvo_.socketPath()));
  EXPECT_NE(access(tarvo_.socketPath().c_str(), F_OK), 0);
}

TEST_F(TarvoTest, NoReadySignalWhenUsr1WasNotIgnored) {
  startXvfb();
  TarvoOptions options;
  options.ignoreUsr1 = false;
  options.waitReady = false;
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  xcb_connection_t *c = connectWithin(tarvo_.displayName(), 20000);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(roundTrip(c));
  xcb_disconnect(c);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  timespec wait{0, 200 * 1000000};
  EXPECT_NE(sigtimedwait(&set, nullptr, &wait), SIGUSR1);
  EXPECT_EQ(tarvo_.log().find("Sending ready signal"), std::string::npos);
  EXPECT_EQ(tarvo_.stop(), 0);
}

TEST_F(TarvoTest, NoReadySignalOnceTheStartingParentHasGone) {
  XvfbOptions options;
  options.displayNumber = xvfbUnusedDisplayNumber();
  TarvoOptions tarvoOptions;
  tarvoOptions.parentLeaves = true;
  tarvoOptions.arguments = {"screen", ":" + std::to_string(options.displayNumber) + ".0"};
  ASSERT_EQ(tarvo_.start("", tarvoOptions), "");
  EXPECT_EQ(getppid() == tarvo_.pid(), false);
  // The proxy waits for its display, now with this process as its parent.
  startXvfb(options);
  xcb_connection_t *c = connectWithin(tarvo_.displayName(), 20000);
  ASSERT_NE(c, nullptr);
  xcb_disconnect(c);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  timespec wait{0, 300 * 1000000};
  EXPECT_NE(sigtimedwait(&set, nullptr, &wait), SIGUSR1);
  EXPECT_EQ(tarvo_.log().find("Sending ready signal"), std::string::npos);
  EXPECT_EQ(tarvo_.stop(), 0);
}

// ----- Resets ------------------------------------------------------------------------------

// The sleep began at most a poll step before its line was seen, so without the signal at least
// 1.9 s of it would remain. A sanitizer build's own exit work can take most of a second on a
// loaded machine: its bound is wider but still below what the sleep would take.
long long sleepEndedWithinMs() { return testUnderSanitizer() ? 1600 : 1000; }

TEST_F(TarvoTest, SighupAndLastClientResetThenSigtermInTheSleep) {
  startXvfb();
  TarvoOptions options;
  options.noReset = false;
  options.logTypes = {"steps", "Hints"};
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  xcb_connection_t *held = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(roundTrip(held));
  std::string before = setupSummary(held);

  // SIGHUP: the held connection is closed, and after the sleep the next client gets the same.
  tarvo_.signal(SIGHUP);
  ASSERT_TRUE(tarvo_.waitForLog("Resetting tarvo (#1, Received reset signal SIGHUP, noReset=0, delay=2s)...", 5000));
  EXPECT_TRUE(closedByPeer(held));
  xcb_disconnect(held);
  xcb_connection_t *next = connectWithin(tarvo_.displayName(), 10000);
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(roundTrip(next));
  EXPECT_EQ(setupSummary(next), before);

  // The last client leaves: a reset, and the client after it is served.
  xcb_disconnect(next);
  ASSERT_TRUE(tarvo_.waitForLog("Resetting tarvo (#2, End of last", 5000));
  xcb_connection_t *after = connectWithin(tarvo_.displayName(), 10000);
  ASSERT_NE(after, nullptr);
  EXPECT_TRUE(roundTrip(after));
  EXPECT_EQ(setupSummary(after), before);

  // A third reset by SIGHUP; SIGTERM during its sleep ends the proxy at once.
  tarvo_.signal(SIGHUP);
  ASSERT_TRUE(tarvo_.waitForLog("Resetting tarvo (#3, Received reset signal SIGHUP", 5000));
  long long deadline = xvfbNowMs() + 5000;
  while (countOf(tarvo_.log(), "Sleeping 2 seconds...") < 3 && xvfbNowMs() < deadline) usleep(10000);
  ASSERT_EQ(countOf(tarvo_.log(), "Sleeping 2 seconds..."), 3u);
  long long began = xvfbNowMs();
  tarvo_.signal(SIGTERM);
  EXPECT_EQ(tarvo_.wait(sleepEndedWithinMs()), 0);
  EXPECT_LT(xvfbNowMs() - began, sleepEndedWithinMs());
  EXPECT_NE(tarvo_.log().find("Received exit signal 15"), std::string::npos);
  EXPECT_FALSE(tarvoSocketAnswers(tarvo_.socketPath()));
  xcb_disconnect(after);
}

TEST_F(TarvoTest, SighupWithNoResetClosesClientsWithoutSleeping) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  xcb_connection_t *held = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(held, nullptr);
  ASSERT_TRUE(roundTrip(held));
  tarvo_.signal(SIGHUP);
  EXPECT_TRUE(closedByPeer(held));
  xcb_disconnect(held);
  xcb_connection_t *next = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(roundTrip(next));
  xcb_disconnect(next);
  // Without the sleep: told by the log, not by the time the reset took.
  EXPECT_TRUE(tarvo_.waitForLog("Received reset signal SIGHUP", 20000));
  EXPECT_EQ(tarvo_.log().find("Sleeping"), std::string::npos);
  EXPECT_EQ(tarvo_.stop(), 0);
}

// ----- The end of the real display and of the required process ---------------------------

TEST_F(TarvoTest, KilledRealServerEndsTheProxy) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  xvfb_.kill();
  EXPECT_EQ(tarvo_.wait(20000), 0);
  EXPECT_NE(tarvo_.log().find("Broken connection to display"), std::string::npos);
  EXPECT_FALSE(tarvoSocketAnswers(tarvo_.socketPath()));
}

TEST_F(TarvoTest, DeadRequiredProcessEndsTheProxyWithStatusOne) {
  startXvfb();
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  TarvoOptions options;
  options.environment = {{"MWTProcessRequired", std::to_string(gone)}};
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  EXPECT_EQ(tarvo_.wait(12000), 1);
  EXPECT_NE(tarvo_.log().find("Required process is dead"), std::string::npos);
}

// ----- Heads -------------------------------------------------------------------------------

TEST_F(TarvoTest, AnyScreenMakesEveryScreenAHeadEastOfTheOneBefore) {
  XvfbOptions three;
  three.screens = {"1024x768x24", "1024x768x24", "1024x768x24"};
  startXvfb(three);
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "tags", "anyScreen"};
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  EXPECT_EQ(countOf(tarvo_.log(), "Found additional head"), 2u);
  xcb_connection_t *c = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(c, nullptr);
  const xcb_setup_t *setup = xcb_get_setup(c);
  ASSERT_EQ(xcb_setup_roots_length(setup), 1);
  xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
  EXPECT_EQ(screen->width_in_pixels, 3072);
  EXPECT_EQ(screen->height_in_pixels, 768);
  xcb_disconnect(c);
  EXPECT_EQ(tarvo_.stop(), 0);
}

unsigned long pixelAt(Display *d, Window w, int x, int y) {
  XImage *image = XGetImage(d, w, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return ~0ul;
  unsigned long pixel = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return pixel;
}

TEST_F(TarvoTest, QuietTimeRefreshClearsTheInnerWindow) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  Display *d = XOpenDisplay(xvfb_.displayName().c_str());
  ASSERT_NE(d, nullptr);
  Window inner = innerWindowOf(d);
  ASSERT_NE(inner, 0u);
  const unsigned long red = 0xff0000;
  GC gc = XCreateGC(d, inner, 0, nullptr);
  XSetForeground(d, gc, red);
  XFillRectangle(d, inner, gc, 100, 100, 50, 50);
  XSync(d, False);
  ASSERT_EQ(pixelAt(d, inner, 120, 120), red);
  long long deadline = xvfbNowMs() + 8000;
  while (pixelAt(d, inner, 120, 120) == red && xvfbNowMs() < deadline) usleep(100000);
  EXPECT_NE(pixelAt(d, inner, 120, 120), red);
  // Not before the quiet time (measured from the last event the proxy saw, which was before
  // the drawing).
  EXPECT_GT(xvfbNowMs() - (deadline - 8000), 1000);
  XFreeGC(d, gc);
  XCloseDisplay(d);
  EXPECT_EQ(tarvo_.stop(), 0);
}


// ----- The extension list in the log ---------------------------------------------------------

struct RealExtension {
  int opcode, event, error;
};

// Every extension the server lists, with its codes.
std::map<std::string, RealExtension> realExtensions(const std::string &display) {
  std::map<std::string, RealExtension> out;
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return out;
  }
  xcb_list_extensions_reply_t *list = xcb_list_extensions_reply(c, xcb_list_extensions(c), nullptr);
  if (list) {
    for (auto it = xcb_list_extensions_names_iterator(list); it.rem; xcb_str_next(&it)) {
      std::string name(xcb_str_name(it.data), xcb_str_name_length(it.data));
      xcb_query_extension_reply_t *q =
          xcb_query_extension_reply(c, xcb_query_extension(c, uint16_t(name.size()), name.c_str()), nullptr);
      if (q && q->present) out[name] = {q->major_opcode, q->first_event, q->first_error};
      free(q);
    }
    free(list);
  }
  xcb_disconnect(c);
  return out;
}

TEST_F(TarvoTest, LogListsTheExtensionsWithTheRealCodesAndTheAddedOnesAtFreeOpcodes) {
  startXvfb();
  auto real = realExtensions(xvfb_.displayName());
  ASSERT_TRUE(real.count("XVideo"));
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "extensions", "-XVideo"};
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  std::string log = tarvo_.log();
  size_t ready = log.find("Sending ready signal to parent process");
  ASSERT_NE(ready, std::string::npos);
  EXPECT_NE(log.find("Extension XVideo disabled ..."), std::string::npos);

  std::vector<std::string> lines;
  for (size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    line.erase(0, line.find_first_not_of(" 0123456789:"));  // the time stamp and the indent
    lines.push_back(line);
  }
  std::set<int> taken;
  std::set<std::string> triedNames;
  int initLines = 0, added = 0;
  bool readySeen = false;
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string &line = lines[i];
    if (line.rfind("Sending ready signal", 0) == 0) readySeen = true;
    if (line.rfind("Init ", 0) != 0 || line.find(" (op=") == std::string::npos) continue;
    SCOPED_TRACE(line);
    EXPECT_FALSE(readySeen);
    initLines++;
    size_t codes = line.rfind(" (op=");
    std::string head = line.substr(5, codes - 5);
    std::string name = head.substr(0, head.rfind(' '));  // the version follows the name
    unsigned op = 0, ev = 0, err = 0;
    ASSERT_EQ(sscanf(line.c_str() + codes, " (op=%u ev=%u err=%u)", &op, &ev, &err), 3);
    EXPECT_NE(name, "XVideo");
    bool failed = i + 1 < lines.size() && lines[i + 1].rfind(name + ": ", 0) == 0;
    auto it = real.find(name);
    // A second Init of a name is the proxy's own try after the real one failed, even when the
    // lowest free opcode happens to be the one the real server gave it.
    bool again = !triedNames.insert(name).second;
    if (it != real.end() && int(op) == it->second.opcode && !again) {
      // One the real server offers: its own codes.
      EXPECT_EQ(int(ev), it->second.event);
      EXPECT_EQ(int(err), it->second.error);
    } else {
      // One the proxy adds: the lowest free opcode, no events, no errors.
      added++;
      EXPECT_EQ(ev, 0u);
      EXPECT_EQ(err, 0u);
      int lowest = 128;
      while (taken.count(lowest)) lowest++;
      EXPECT_EQ(int(op), lowest);
    }
    if (!failed) taken.insert(int(op));
  }
  EXPECT_GT(initLines, 5);
  EXPECT_GT(added, 0);
  EXPECT_EQ(tarvo_.stop(), 0);
}

// ----- Events of the real display ----------------------------------------------------------

TEST_F(TarvoTest, SyntheticLeaveNotifyToTheMiddleWindowIsIgnored) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  Display *d = XOpenDisplay(xvfb_.displayName().c_str());
  ASSERT_NE(d, nullptr);
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window inner = innerWindowOf(d);
  ASSERT_NE(inner, 0u);
  ASSERT_TRUE(XQueryTree(d, inner, &root, &parent, &children, &count));
  if (children) XFree(children);
  XEvent event{};
  event.xcrossing.type = LeaveNotify;
  event.xcrossing.window = parent;  // the middle window
  event.xcrossing.root = DefaultRootWindow(d);
  event.xcrossing.mode = NotifyNormal;
  event.xcrossing.detail = NotifyAncestor;
  XSendEvent(d, parent, False, LeaveWindowMask, &event);
  XSync(d, False);
  EXPECT_TRUE(tarvo_.waitForLog("LeaveEvent by XSendEvent ignored ...", 5000));
  XCloseDisplay(d);
  EXPECT_EQ(tarvo_.stop(), 0);
}


// ----- A local X server ----------------------------------------------------------------------

TEST_F(TarvoTest, ServerCommandStartsTheLocalServerWhichTheResetSignalsAndTheExitStops) {
  int local = xvfbUnusedDisplayNumber();
  ASSERT_GT(local, 0);
  const std::string localName = ":" + std::to_string(local);
  const std::string localSocket = "/tmp/.X11-unix/X" + std::to_string(local);
  // Whatever happens, the local server does not outlive the test (its lock file names it).
  struct LocalServerGuard {
    int number;
    ~LocalServerGuard() {
      int pid = atoi(tarvoReadFile("/tmp/.X" + std::to_string(number) + "-lock").c_str());
      if (pid > 1) kill(pid, SIGKILL);
    }
  } guard{local};
  TarvoOptions options;
  options.noReset = false;
  options.logTypes = {"steps", "Hints"};
  options.arguments = {"screen", localName + ".0"};
  options.trailing = {"serverCommand", "Xvfb", localName, "-screen", "0", "800x600x24", "-nolisten", "tcp"};
  ASSERT_EQ(tarvo_.start(":0", options), "");
  EXPECT_NE(tarvo_.log().find("Starting local X-server: Xvfb..."), std::string::npos);
  xcb_connection_t *c = connectWithin(tarvo_.displayName(), 5000);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(setupSummary(c).find("screen 800x600x24"), std::string::npos) << setupSummary(c);
  // A SIGHUP: the local server is reset too, and served again after the sleep.
  tarvo_.signal(SIGHUP);
  EXPECT_TRUE(closedByPeer(c));
  xcb_disconnect(c);
  ASSERT_TRUE(tarvo_.waitForLog("Resetting tarvo (#1, Received reset signal SIGHUP", 5000));
  c = connectWithin(tarvo_.displayName(), 10000);
  ASSERT_NE(c, nullptr);
  EXPECT_NE(setupSummary(c).find("screen 800x600x24"), std::string::npos);
  xcb_disconnect(c);
  // The exit hooks stop the local server.
  ASSERT_TRUE(tarvo_.waitForLog("Resetting tarvo (#2, End of last", 5000));
  EXPECT_TRUE(tarvoSocketAnswers(localSocket));
  EXPECT_EQ(tarvo_.stop(), 0);
  EXPECT_NE(tarvo_.log().find("Stopping X server process"), std::string::npos);
  EXPECT_FALSE(tarvoSocketAnswers(localSocket));
}


// The words of a process's command line.
std::vector<std::string> commandLineOf(int pid) {
  std::string raw = tarvoReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> words;
  for (size_t at = 0; at < raw.size();) {
    size_t end = raw.find('\0', at);
    if (end == std::string::npos) end = raw.size();
    words.push_back(raw.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

// The pid in a local server's lock file (0 when there is none).
int localServerPid(int number) { return atoi(tarvoReadFile("/tmp/.X" + std::to_string(number) + "-lock").c_str()); }

// Kills a local server that the proxy left behind, whatever happened in the test.
struct LocalServerKiller {
  int number;
  ~LocalServerKiller() {
    int pid = localServerPid(number);
    if (pid > 1 && kill(pid, 0) == 0) kill(pid, SIGKILL);
  }
};

// A shell command's output (stderr joined); its status in *status.
std::string shellOutput(const std::string &command, int *status = nullptr) {
  FILE *pipe = popen(("timeout 20 " + command + " 2>&1").c_str(), "r");
  if (!pipe) return "";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  int raw = pclose(pipe);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

// Whether xdpyinfo succeeds on the display with that authority file.
bool xdpyinfoServes(const std::string &display, const std::string &authority) {
  int status = -1;
  shellOutput("env XAUTHORITY=" + authority + " xdpyinfo -display " + display + " >/dev/null", &status);
  return status == 0;
}

TEST_F(TarvoTest, ServerCommandGivesItsXdmcpOptionsToTarvoAndItsAuthFileToTarvosClients) {
  FakeXdmcpManager manager;
  ASSERT_TRUE(manager.ok());
  int local = xvfbUnusedDisplayNumber();
  ASSERT_GT(local, 0);
  LocalServerKiller killer{local};
  const std::string localName = ":" + std::to_string(local);
  // F holds a cookie for the local server and, under the proxy's number, for the proxy's
  // clients; the proxy itself reads it as its server authorization.
  const std::string cookie = "0123456789abcdef0123456789abcdef";
  char directory[] = "/tmp/tarvo-auth-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string file = std::string(directory) + "/F";
  int status = -1;
  shellOutput("xauth -f " + file + " add " + localName + " MIT-MAGIC-COOKIE-1 " + cookie, &status);
  ASSERT_EQ(status, 0);
  TarvoOptions options;
  options.arguments = {"screen", localName + ".0", "serverAuthorization", file};
  options.trailing = {"serverCommand", "Xvfb", localName, "-nolisten", "tcp", "-query", "127.0.0.1",
                      "-port", std::to_string(manager.port()), "-once", "-auth", file};
  ASSERT_EQ(tarvo_.start(":0", options), "");
  int pid = localServerPid(local);
  ASSERT_GT(pid, 1);
  EXPECT_EQ(commandLineOf(pid), (std::vector<std::string>{"Xvfb", localName, "-nolisten", "tcp", "-auth", file}));
  // The XDMCP options went to the proxy: Query to the manager on P, once set.
  EXPECT_NE(tarvo_.log().find("Init XDMCP (mode=3 host=127.0.0.1 port=" + std::to_string(manager.port()) + ")..."),
            std::string::npos)
      << tarvo_.log();
  long long deadline = xvfbNowMs() + 5000;
  while (manager.packets.empty() && xvfbNowMs() < deadline) {
    manager.drain(0);
    usleep(20000);
  }
  ASSERT_FALSE(manager.packets.empty());
  EXPECT_EQ(manager.packets.front().opcode, int(QUERY));
  // F is the proxy's client authorization: its clients need the cookie.
  const std::string clientFile = std::string(directory) + "/client";
  shellOutput("xauth -f " + clientFile + " add " + tarvo_.displayName() + " MIT-MAGIC-COOKIE-1 " + cookie, &status);
  ASSERT_EQ(status, 0);
  EXPECT_FALSE(xdpyinfoServes(tarvo_.displayName(), "/dev/null"));
  EXPECT_TRUE(xdpyinfoServes(tarvo_.displayName(), clientFile));
  EXPECT_EQ(tarvo_.stop(), 0);
  unlink(clientFile.c_str());
  unlink(file.c_str());
  rmdir(directory);
}

TEST_F(TarvoTest, OwnServerCookieGuardsTheLocalServerSurvivesAResetAndGoesAtTheExit) {
  std::set<std::string> cookies;
  for (int run = 0; run < 2; run++) {
    SCOPED_TRACE(run);
    int local = xvfbUnusedDisplayNumber();
    ASSERT_GT(local, 0);
    LocalServerKiller killer{local};
    const std::string localName = ":" + std::to_string(local);
    TarvoProcess tarvo;
    TarvoOptions options;
    options.noReset = false;
    options.arguments = {"screen", localName + ".0", "serverAuthorization", "own"};
    options.trailing = {"serverCommand", "Xvfb", localName, "-screen", "0", "800x600x24", "-nolisten", "tcp"};
    ASSERT_EQ(tarvo.start(":0", options), "");
    int pid = localServerPid(local);
    ASSERT_GT(pid, 1);
    std::vector<std::string> words = commandLineOf(pid);
    ASSERT_GE(words.size(), 2u);
    ASSERT_EQ(words[words.size() - 2], "-auth");
    const std::string file = words.back();
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0) << file;
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // One entry: this host's local address for the display, a 16-byte magic cookie.
    std::string list = shellOutput("xauth -f " + file + " list");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string prefix = std::string(host) + "/unix" + localName + "  MIT-MAGIC-COOKIE-1  ";
    ASSERT_EQ(list.rfind(prefix, 0), 0u) << list;
    std::string hex = list.substr(prefix.size());
    ASSERT_EQ(hex.size(), 33u) << list;
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), 32u);
    cookies.insert(hex);
    // The local server refuses a client without the cookie and serves one with it.
    EXPECT_FALSE(xdpyinfoServes(localName, "/dev/null"));
    EXPECT_TRUE(xdpyinfoServes(localName, file));
    xcb_connection_t *c = connectWithin(tarvo.displayName(), 5000);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(setupSummary(c).find("screen 800x600x24"), std::string::npos);
    xcb_disconnect(c);
    // The reset (end of the last client) reconnects with the cached cookie.
    ASSERT_TRUE(tarvo.waitForLog("Sleeping 2 seconds...", 5000));
    c = connectWithin(tarvo.displayName(), 10000);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(roundTrip(c));
    EXPECT_NE(setupSummary(c).find("screen 800x600x24"), std::string::npos);
    xcb_disconnect(c);
    EXPECT_EQ(lstat(file.c_str(), &info), 0);
    // SIGTERM: the server is stopped and the file removed.
    EXPECT_EQ(tarvo.stop(), 0);
    EXPECT_NE(tarvo.log().find("Stopping X server process " + std::to_string(pid) + "..."), std::string::npos);
    EXPECT_NE(lstat(file.c_str(), &info), 0);
    long long deadline = xvfbNowMs() + 5000;
    while (kill(pid, 0) == 0 && xvfbNowMs() < deadline) usleep(20000);
    EXPECT_NE(kill(pid, 0), 0);
  }
  EXPECT_EQ(cookies.size(), 2u);
}


// ----- XDMCP -------------------------------------------------------------------------------

TEST_F(TarvoTest, XdmcpQueryGoesToTheConfiguredManagerBeforeTheReadySignal) {
  startXvfb();
  FakeXdmcpManager manager;
  ASSERT_TRUE(manager.ok());
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort",
                       std::to_string(manager.port())};
  ASSERT_EQ(tarvo_.start(xvfb_.displayName(), options), "");
  std::string log = tarvo_.log();
  size_t init = log.find("Init XDMCP (mode=3 host=127.0.0.1 port=" + std::to_string(manager.port()) + ")...");
  ASSERT_NE(init, std::string::npos);
  EXPECT_LT(init, log.find("Sending ready signal"));
  long long deadline = xvfbNowMs() + 5000;
  while (manager.packets.empty() && xvfbNowMs() < deadline) {
    manager.drain(0);
    usleep(20000);
  }
  ASSERT_FALSE(manager.packets.empty());
  EXPECT_EQ(manager.packets.front().opcode, int(QUERY));
  EXPECT_EQ(tarvo_.stop(), 0);
}

// Waits until the manager has received a packet of that opcode after the first `from` packets.
bool awaitPacket(FakeXdmcpManager &manager, int opcode, size_t from, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    manager.drain(uint64_t(xvfbNowMs()));
    for (size_t i = from; i < manager.packets.size(); i++)
      if (manager.packets[i].opcode == opcode) return true;
    if (xvfbNowMs() > deadline) return false;
    usleep(10000);
  }
}

size_t lastIndexOf(const FakeXdmcpManager &manager, int opcode) {
  for (size_t i = manager.packets.size(); i-- > 0;)
    if (manager.packets[i].opcode == opcode) return i;
  return manager.packets.size();
}

// A whole session against the scripted manager through the tarvo executable: the session's
// client (holding the manager's cookie) puts it to run; its end resets the proxy, which queries
// again, or, with "once", ends it with status 0.
TEST_F(TarvoTest, XdmcpSessionRunsUntilItsClientLeaves) {
  startXvfb();
  const std::string cookie = std::string("\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2a\x2b\x2c\x2d\x2e\x2f\x30", 16);
  const std::string cookieHex = "2122232425262728292a2b2c2d2e2f30";
  char directory[] = "/tmp/tarvo-xdmcp-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  for (bool once : {false, true}) {
    SCOPED_TRACE(once ? "once" : "repeated");
    FakeXdmcpManager manager;
    ASSERT_TRUE(manager.ok());
    TarvoProcess tarvo;
    TarvoOptions options;
    options.noReset = false;
    options.logTypes = {"steps", "Hints"};
    options.arguments = {"screen", "%D.0", "xdmcpHost", "127.0.0.1", "xdmcpPort", std::to_string(manager.port()),
                         "xdmcpDisplayClass", "TarvoClass", "xdmcpMode", "query"};
    if (once) options.arguments.push_back("once");
    ASSERT_EQ(tarvo.start(xvfb_.displayName(), options), "");
    ASSERT_TRUE(awaitPacket(manager, QUERY, 0, 5000));
    manager.reply(XdmcpPacketWriter(WILLING).array8("").array8("dm.example").array8("ready").finish());
    ASSERT_TRUE(awaitPacket(manager, REQUEST, 0, 5000));
    {
      XdmcpPacketReader r(manager.packets[lastIndexOf(manager, REQUEST)]);
      EXPECT_EQ(int(r.card16()), tarvo.displayNumber());
      std::vector<unsigned> types = r.array16();
      std::vector<std::string> addresses = r.arrayOfArray8();
      EXPECT_EQ(types.size(), addresses.size());
      EXPECT_FALSE(types.empty());
      r.array8();
      r.array8();
      std::vector<std::string> names = r.arrayOfArray8();
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<std::string>{"MIT-MAGIC-COOKIE-1", "SUN-DES-1", "XDM-AUTHORIZATION-1"}));
      r.array8();  // the display ID
      EXPECT_FALSE(r.failed);
    }
    manager.reply(XdmcpPacketWriter(ACCEPT)
                      .card32(0x0a0b0c0d)
                      .array8("")
                      .array8("")
                      .array8("MIT-MAGIC-COOKIE-1")
                      .array8(cookie)
                      .finish());
    ASSERT_TRUE(awaitPacket(manager, MANAGE, 0, 5000));
    size_t manageAt = lastIndexOf(manager, MANAGE);
    {
      XdmcpPacketReader r(manager.packets[manageAt]);
      EXPECT_EQ(r.card32(), 0x0a0b0c0du);
      EXPECT_EQ(int(r.card16()), tarvo.displayNumber());
      EXPECT_EQ(r.array8(), "TarvoClass");
    }
    // The session's client: the manager's cookie admits it.
    const std::string authority = std::string(directory) + (once ? "/once" : "/repeated");
    int status = -1;
    shellOutput("xauth -f " + authority + " add " + tarvo.displayName() + " MIT-MAGIC-COOKIE-1 " + cookieHex, &status);
    ASSERT_EQ(status, 0);
    setenv("XAUTHORITY", authority.c_str(), 1);
    xcb_connection_t *c = connectWithin(tarvo.displayName(), 5000);
    unsetenv("XAUTHORITY");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(roundTrip(c));
    // The first KeepAlive follows about 2 s after Manage.
    ASSERT_TRUE(awaitPacket(manager, KEEPALIVE, manageAt, 5000));
    uint64_t gap = manager.packets[lastIndexOf(manager, KEEPALIVE)].time - manager.packets[manageAt].time;
    EXPECT_GE(gap, 1800u);
    EXPECT_LE(gap, 3000u);
    manager.reply(XdmcpPacketWriter(ALIVE).card8(1).card32(0x0a0b0c0d).finish());
    EXPECT_TRUE(roundTrip(c));
    size_t before = manager.packets.size();
    xcb_disconnect(c);
    if (once) {
      EXPECT_EQ(tarvo.wait(10000), 0);
    } else {
      EXPECT_TRUE(tarvo.waitForLog("Resetting tarvo (#1, XDMCP close display", 5000));
      EXPECT_TRUE(awaitPacket(manager, QUERY, before, 10000));
      EXPECT_EQ(tarvo.stop(), 0);
    }
    unlink(authority.c_str());
  }
  rmdir(directory);
}

// ----- XTEST through the remote-control library ----------------------------------------------

// A real display without XTEST: the proxy offers XTEST itself when the remote-control library
// attaches (here through the relay's XTestExtension1), else it logs why and offers none.
TEST_F(TarvoTest, XtestIsOfferedOnlyWhenTheRemoteControlLibraryAttaches) {
  startXvfb();
  struct Case {
    const char *name;
    std::vector<std::string> relayOptions;
    bool offered;
  } cases[] = {
      {"xtest1", {"-hide", "XTEST", "-emulate", "XTEST1"}, true},
      {"none", {"-hide", "XTEST"}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    XrelayServer relay;
    ASSERT_EQ(relay.start(xvfb_.displayName(), c.relayOptions), "");
    TarvoProcess tarvo;
    ASSERT_EQ(tarvo.start(relay.displayName()), "");
    std::string log = tarvo.log();
    const std::string attachText = "Unsupported extension XTEST (version 2.2 or higher), XTestExtension1 or XTRAP on display " +
                                   relay.displayName();
    if (c.offered) {
      EXPECT_NE(log.find("Init XTEST "), std::string::npos) << log;
      EXPECT_EQ(log.find(attachText), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("Init XTEST "), std::string::npos) << log;
      EXPECT_NE(log.find("POTENTIAL PROBLEM: " + attachText), std::string::npos) << log;
    }
    EXPECT_EQ(tarvo.stop(), 0);
  }
}

// ----- The proxy's windows on the real display -----------------------------------------------

// The cursor now showing on the display: its size and its largest alpha.
std::pair<int, unsigned> cursorShowing(Display *display) {
  XSync(display, False);
  XFixesCursorImage *image = XFixesGetCursorImage(display);
  if (!image) return {0, 0};
  unsigned maxAlpha = 0;
  for (int i = 0; i < int(image->width) * int(image->height); i++)
    maxAlpha = std::max(maxAlpha, unsigned(image->pixels[i] >> 24) & 0xff);
  int width = image->width;
  XFree(image);
  return {width, maxAlpha};
}

// A window's parent (None when the query fails).
Window parentOf(Display *display, Window window) {
  Window root = None, parent = None, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return None;
  if (children) XFree(children);
  return parent;
}

// The outer and middle windows of a head carry the all-transparent cursor; the inner window
// (the meta screen's root) carries the proxy's visible one.
TEST_F(TarvoTest, OuterAndMiddleWindowsHaveTheInvisibleCursor) {
  startXvfb();
  ASSERT_EQ(tarvo_.start(xvfb_.displayName()), "");
  Display *judge = XOpenDisplay(xvfb_.displayName().c_str());
  ASSERT_NE(judge, nullptr);
  Window inner = innerWindowOf(judge);
  ASSERT_NE(inner, 0u);
  Window middle = parentOf(judge, inner);
  ASSERT_NE(middle, None);
  XWarpPointer(judge, None, DefaultRootWindow(judge), 0, 0, 0, 0, 100, 100);
  std::pair<int, unsigned> seen = cursorShowing(judge);
  EXPECT_GT(seen.first, 0);
  EXPECT_GT(seen.second, 0u);  // the proxy's cursor over the inner window
  XUnmapWindow(judge, inner);
  seen = cursorShowing(judge);
  EXPECT_GT(seen.first, 0);
  EXPECT_EQ(seen.second, 0u);  // over the middle window
  XUnmapWindow(judge, middle);
  seen = cursorShowing(judge);
  EXPECT_GT(seen.first, 0);
  EXPECT_EQ(seen.second, 0u);  // over the outer window
  XCloseDisplay(judge);
  EXPECT_EQ(tarvo_.stop(), 0);
}

// Datagrams out of state, from a stranger or malformed leave the proxy running; Unwilling,
// Decline and Failed from the manager in their states end it with status 1 and their texts.
TEST_F(TarvoTest, XdmcpRefusalsInStateEndTarvoAndStrayDatagramsDoNot) {
  startXvfb();
  struct Case {
    const char *name;
    int stage;  // 0 after Query, 1 after Request, 2 after Manage
    std::vector<uint8_t> packet;
    std::string text;
  };
  const Case cases[] = {
      {"unwilling", 0, XdmcpPacketWriter(UNWILLING).array8("dm").array8("busy").finish(), "XDMCP: Manager unwilling"},
      {"decline", 1, XdmcpPacketWriter(DECLINE).array8("no seats").array8("").array8("").finish(),
       "XDMCP: Session declined no seats"},
      {"failed", 2, XdmcpPacketWriter(FAILED).card32(77).array8("no session").finish(),
       "XDMCP: Session failed no session"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeXdmcpManager manager, stranger;
    ASSERT_TRUE(manager.ok() && stranger.ok());
    TarvoProcess tarvo;
    TarvoOptions options;
    options.arguments = {"screen", "%D.0", "xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort",
                         std::to_string(manager.port())};
    ASSERT_EQ(tarvo.start(xvfb_.displayName(), options), "");
    ASSERT_TRUE(awaitPacket(manager, QUERY, 0, 5000));
    const sockaddr_in proxy = manager.packets.back().from;
    if (c.stage >= 1) {
      manager.reply(XdmcpPacketWriter(WILLING).array8("").array8("dm").array8("ready").finish());
      ASSERT_TRUE(awaitPacket(manager, REQUEST, 0, 5000));
    }
    if (c.stage >= 2) {
      manager.reply(XdmcpPacketWriter(ACCEPT)
                        .card32(77)
                        .array8("")
                        .array8("")
                        .array8("MIT-MAGIC-COOKIE-1")
                        .array8(std::string(16, 'k'))
                        .finish());
      ASSERT_TRUE(awaitPacket(manager, MANAGE, 0, 5000));
    }
    // The same packet from a stranger, the other refusals out of state from the manager, and
    // malformed datagrams: ignored.
    stranger.send(c.packet, proxy);
    for (const Case &other : cases)
      if (&other != &c) manager.send(other.packet, proxy);
    std::vector<uint8_t> truncated = c.packet;
    truncated.resize(truncated.size() - 1);
    manager.send(truncated, proxy);
    manager.send(XdmcpPacketWriter(c.packet[3], 2).array8("x").finish(), proxy);  // version 2
    manager.send(std::vector<uint8_t>{0, 1, 0}, proxy);                           // a bare header, cut
    manager.send(std::vector<uint8_t>(65507, 0xff), proxy);
    manager.send(std::vector<uint8_t>{}, proxy);
    for (int opcode : {0, 4, 15, 65535}) manager.send(XdmcpPacketWriter(opcode).finish(), proxy);
    manager.send(XdmcpPacketWriter(c.packet[3]).card16(0xFFFF).finish(), proxy);  // ARRAY8 of 0xFFFF bytes
    EXPECT_EQ(tarvo.wait(500), -1) << tarvo.log();
    // The packet itself, from the manager, in its state.
    manager.send(c.packet, proxy);
    EXPECT_EQ(tarvo.wait(5000), 1);
    EXPECT_NE(tarvo.log().find("EXITED: " + c.text), std::string::npos) << tarvo.log();
  }
}

// XDM-AUTHENTICATION-1 through the tarvo executable: the Request carries rho wrapped in the
// shared key; an Accept answering rho+1 hands over an XDM-AUTHORIZATION-1 key with which a
// client (whose authority file holds rho and the key) runs the session; an Accept answering
// anything else ends the proxy with "Authentication Failure" and status 1.
TEST_F(TarvoTest, XdmAuthenticationThroughTarvo) {
  startXvfb();
  uint8_t key[8] = {0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  char directory[] = "/tmp/tarvo-xdmauth-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  for (bool good : {true, false}) {
    SCOPED_TRACE(good ? "rho+1" : "rho");
    FakeXdmcpManager manager;
    ASSERT_TRUE(manager.ok());
    TarvoProcess tarvo;
    TarvoOptions options;
    options.arguments = {"screen", "%D.0", "xdmcpMode", "query", "xdmcpHost", "127.0.0.1", "xdmcpPort",
                         std::to_string(manager.port()), "xdmcpAuthorizationCookie", "0x0011223344556677"};
    ASSERT_EQ(tarvo.start(xvfb_.displayName(), options), "");
    ASSERT_TRUE(awaitPacket(manager, QUERY, 0, 5000));
    manager.reply(XdmcpPacketWriter(WILLING).array8("XDM-AUTHENTICATION-1").array8("dm").array8("ready").finish());
    ASSERT_TRUE(awaitPacket(manager, REQUEST, 0, 5000));
    XdmcpPacketReader r(manager.packets[lastIndexOf(manager, REQUEST)]);
    r.card16();
    r.array16();
    r.arrayOfArray8();
    EXPECT_EQ(r.array8(), "XDM-AUTHENTICATION-1");
    std::string wrapped = r.array8();
    ASSERT_EQ(wrapped.size(), 8u);
    XdmAuthKeyRec rho;
    XdmcpUnwrap(reinterpret_cast<unsigned char *>(wrapped.data()), key, rho.data, 8);
    XdmAuthKeyRec answer = rho;
    if (good) XdmcpIncrementKey(&answer);
    std::string answerWrapped(8, '\0');
    XdmcpWrap(answer.data, key, reinterpret_cast<unsigned char *>(answerWrapped.data()), 8);
    const std::string sessionKey("\x00\x21\x32\x43\x54\x65\x76\x07", 8);
    std::string plain = sessionKey + std::string(8, '\x5a');
    std::string authWrapped(16, '\0');
    XdmcpWrap(reinterpret_cast<unsigned char *>(plain.data()), key,
              reinterpret_cast<unsigned char *>(authWrapped.data()), 16);
    manager.reply(XdmcpPacketWriter(ACCEPT)
                      .card32(9)
                      .array8("XDM-AUTHENTICATION-1")
                      .array8(answerWrapped)
                      .array8("XDM-AUTHORIZATION-1")
                      .array8(authWrapped)
                      .finish());
    if (!good) {
      EXPECT_EQ(tarvo.wait(5000), 1);
      EXPECT_NE(tarvo.log().find("EXITED: XDMCP: Authentication Failure"), std::string::npos) << tarvo.log();
      continue;
    }
    ASSERT_TRUE(awaitPacket(manager, MANAGE, 0, 5000));
    size_t manageAt = lastIndexOf(manager, MANAGE);
    std::string entry = std::string(reinterpret_cast<char *>(rho.data), 8) + sessionKey;
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : entry) hex += std::string{kDigits[byte >> 4], kDigits[byte & 15]};
    const std::string authority = std::string(directory) + "/xdm";
    int status = -1;
    shellOutput("xauth -f " + authority + " add " + tarvo.displayName() + " XDM-AUTHORIZATION-1 " + hex, &status);
    ASSERT_EQ(status, 0);
    setenv("XAUTHORITY", authority.c_str(), 1);
    xcb_connection_t *c = connectWithin(tarvo.displayName(), 5000);
    unsetenv("XAUTHORITY");
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(roundTrip(c));
    // The client runs the session: KeepAlive follows Manage.
    EXPECT_TRUE(awaitPacket(manager, KEEPALIVE, manageAt, 5000));
    xcb_disconnect(c);
    EXPECT_EQ(tarvo.stop(), 0);
    unlink(authority.c_str());
  }
  rmdir(directory);
}

}  // namespace
