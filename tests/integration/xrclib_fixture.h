// The remote-control library's integration tests: Xvfb, optionally the test relay in front of
// it, and one connection to the front.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xext.h>

#include "xclient/xrclib.h"
#include "xclient/xtarget.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

inline int xErrors = 0;
inline int countErrors(Display *, XErrorEvent *) {
  xErrors++;
  return 0;
}

// Xvfb, optionally a relay with a log in front of it, and one connection to the front.
struct XrcSetup {
  XvfbServer xvfb;
  XrelayServer relay;
  std::string dir, logPath;
  Display *display = nullptr;

  // relayOptions empty and useRelay false: the connection goes to Xvfb itself.
  std::string start(bool useRelay, std::vector<std::string> relayOptions = {}) {
    std::string error = xvfb.start();
    if (!error.empty()) return error;
    dir = xrelayTempDir();
    logPath = dir + "/relay.log";
    std::string name = xvfb.displayName();
    if (useRelay) {
      relayOptions.insert(relayOptions.end(), {"-log", logPath});
      error = relay.start(xvfb.displayName(), relayOptions);
      if (!error.empty()) return error;
      name = relay.displayName();
    }
    XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);
    XSetErrorHandler(countErrors);
    display = XOpenDisplay(name.c_str());
    if (!display) return "cannot open " + name;
    xrcSetOption(display, kXrcOptionDelayUnit, 3);
    return "";
  }
  std::string frontName() const {
    return relay.running() ? relay.displayName() : xvfb.displayName();
  }
  size_t logSize() {
    XSync(display, False);
    return xrelayReadFile(logPath).size();
  }
  size_t answeredSince(size_t from) {
    XSync(display, False);
    return xrelayAnsweredSince(xrelayReadFile(logPath), from).size();
  }
  ~XrcSetup() {
    if (display) XCloseDisplay(display);
    relay.stop();
    unlink(logPath.c_str());
    rmdir(dir.c_str());
  }
};

inline std::string localName(const std::string &name) {
  return name.substr(name.find(':'));
}

inline int countLines(const std::vector<std::string> &lines, const std::string &prefix) {
  int n = 0;
  for (const std::string &line : lines) n += line.rfind(prefix, 0) == 0;
  return n;
}


// A test with its own Xvfb, a focus window of another client reporting the input it gets, and
// a connection with the inject capability.
class XrcFocusTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(s_.start(false), "");
    ASSERT_EQ(window_.start(s_.xvfb.displayName(), s_.dir), "");
    ASSERT_EQ(xrcInitDisplay(s_.display, kXrcInject), nullptr);
    xErrors = 0;
  }
  XrcSetup s_;
  XrelayEventWindow window_;
};
