// Starting GL inside the proxy on a head with the recording fake GL library, against a private
// Xvfb: refusals before anything is loaded, the failures of context creation and make-current
// (and what they leave behind), the capability queries, the crash guard, and instances shared
// by heads on one display.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakegl.h"
#include "support/logging.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xvfb_fixture.h"

namespace {

const std::string kFake = std::string(TARVO_FAKEGL_DIR) + "/libtarvo_fakegl.so";
constexpr uint32_t kGlx14 = 68;

const int kGuardedSignals[] = {SIGILL, SIGSEGV, SIGBUS, SIGFPE, SIGABRT};

// Step and warning lines, "step: text" and "warning: text".
std::vector<std::string> logLines;
// Whether the crash guard's handler was in force for every guarded signal when the set-up
// announced the context creation.
bool guardedAtContextStep = false;

void captureLog(LogChannel *channel, const char *, int, const char *text) {
  if (channel == logChannelStep) logLines.push_back(std::string("step: ") + text);
  if (channel == logChannelWarning) logLines.push_back(std::string("warning: ") + text);
  if (channel == logChannelStep && std::string(text).rfind("Lumora: Creating context", 0) == 0) {
    guardedAtContextStep = true;
    for (int signal : kGuardedSignals) {
      struct sigaction now {};
      sigaction(signal, nullptr, &now);
      guardedAtContextStep = guardedAtContextStep && now.sa_handler == glxdirectCrashJump;
    }
  }
}

size_t countLines(const std::string &start) {
  size_t n = 0;
  for (const std::string &line : logLines)
    if (line.rfind(start, 0) == 0) n++;
  return n;
}

// What X-Resource counts for the client that owns the id, by type name (python3-xlib).
std::string resourceCounts(const std::string &displayName, unsigned long id) {
  std::string command = "timeout 30 /usr/bin/python3 -c \"import sys\nfrom Xlib import display\n"
                        "d=display.Display(sys.argv[1])\n"
                        "r=d.res_query_client_resources(int(sys.argv[2]))\n"
                        "print(sorted((d.get_atom_name(t.resource_type),t.count) for t in r.types))\" '" +
                        displayName + "' " + std::to_string(id);
  std::string output;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

class GlxDirectSetupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char name[] = "glxdirectsetup_test", *argv[] = {name, nullptr};
    logInit(1, argv, "", "");
    logEnableChannel(logChannelStep);
    logEnableChannel(logChannelWarning);
    server_ = new XvfbServer;
    XvfbOptions options;
    options.screens = {"640x480x24", "640x480x8"};
    // TCP for a display that names another host (127.0.0.2 is this machine under another name).
    options.extraArguments = {"-listen", "tcp", "-ac"};
    startError_ = server_->start(options);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    logOutputHook = logEmit;
  }
  void SetUp() override {
    ASSERT_EQ(startError_, "");
    logOutputHook = captureLog;
    logLines.clear();
    fakeglReset();
    display_ = open(server_->displayName());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    for (GlxLibraryInstance *instance : made_) glxdirectFreeInstance(instance);
    EXPECT_FALSE(glxdirectAvailable());
    for (Display *display : displays_) XCloseDisplay(display);
    logOutputHook = logEmit;
  }
  Display *open(const std::string &name) {
    Display *display = XOpenDisplay(name.c_str());
    if (display) displays_.push_back(display);
    return display;
  }
  // A set-up on screen 0 of the display; a made instance is released after the test.
  const char *setup(const std::string &library, Display *display, GlxLibraryInstance **instance = nullptr) {
    GlxLibraryInstance *made = reinterpret_cast<GlxLibraryInstance *>(1);
    const char *error = glxdirectSetupDisplay(library.c_str(), kGlx14, display, 0, &made, &caps_);
    if (made && !error) made_.push_back(made);
    EXPECT_TRUE(error ? made == nullptr : made != nullptr);
    if (instance) *instance = made;
    return error;
  }

  static inline XvfbServer *server_ = nullptr;
  static inline std::string startError_;
  Display *display_ = nullptr;
  std::vector<Display *> displays_;
  std::vector<GlxLibraryInstance *> made_;
  GlCapabilities caps_{};
};

TEST_F(GlxDirectSetupTest, RefusalsBeforeAnyLibraryIsLoaded) {
  // Another host's display.
  Display *remote = open("127.0.0.2" + server_->displayName());
  ASSERT_NE(remote, nullptr);
  EXPECT_STREQ(setup(kFake, remote), "Display is remote");
  // A screen without a GL-capable visual: the library (which does not exist) is never tried.
  GlCapabilities caps;
  GlxLibraryInstance *made = nullptr;
  EXPECT_STREQ(glxdirectSetupDisplay("libtarvo_no_such_gl.so", kGlx14, display_, 1, &made, &caps),
               "No OpenGL capable visual available");
  EXPECT_EQ(made, nullptr);
  EXPECT_STREQ(fakeglLog(), "");
  EXPECT_EQ(countLines("step: Lumora: Loading"), 0u);
  EXPECT_FALSE(glxdirectAvailable());
}

TEST_F(GlxDirectSetupTest, NoContextIsAFailureThatLeavesNoInstance) {
  fakeglSetCreateContext(kFakeglCreateFail);
  std::string error = setup(kFake, display_);
  EXPECT_EQ(error, "Can't create direct rendering context using GL lib " + kFake);
  EXPECT_FALSE(glxdirectAvailable());
  EXPECT_EQ(std::string(fakeglLog()).find("glXMakeCurrent"), std::string::npos);
}

TEST_F(GlxDirectSetupTest, MakeCurrentFailingDestroysContextWindowAndColormap) {
  XSync(display_, False);
  unsigned long id = XAllocID(display_);
  std::string before = resourceCounts(server_->displayName(), id);
  ASSERT_NE(before, "");
  fakeglSetMakeCurrent(0);
  EXPECT_STREQ(setup(kFake, display_), "Can't make GLX context current");
  EXPECT_FALSE(glxdirectAvailable());
  std::string log = fakeglLog();
  size_t created = log.find("glXCreateContext(");
  size_t destroyed = log.find("glXDestroyContext(");
  ASSERT_NE(created, std::string::npos) << log;
  EXPECT_NE(destroyed, std::string::npos) << log;
  EXPECT_LT(created, destroyed);
  XSync(display_, False);
  EXPECT_EQ(resourceCounts(server_->displayName(), id), before);
}

TEST_F(GlxDirectSetupTest, CapabilitiesComeFromTheLibrary) {
  const int32_t viewport[] = {1000, 900}, units = 4, size = 2048, lights = 9, planes = 7, buffers = 3;
  fakeglSetIntegers(0x0D3A, viewport, 2);
  fakeglSetIntegers(0x84E2, &units, 1);
  fakeglSetIntegers(0x0D33, &size, 1);
  fakeglSetIntegers(0x0D31, &lights, 1);
  fakeglSetIntegers(0x0D32, &planes, 1);
  fakeglSetIntegers(0x8824, &buffers, 1);  // GL_MAX_COLOR_ATTACHMENTS stays unanswered
  std::string longVersion(100, 'v');
  fakeglSetString(0x1F02, longVersion.c_str());
  fakeglSetString(0x1F00, "Fake vendor");
  fakeglSetString(0x8B8C, "1.30");  // GL_RENDERER stays NULL
  // GL extensions: names of 17 characters, more than fit; the cut lands inside a name.
  std::string gl, glFits;
  for (int i = 0; gl.size() < 9000; i++) {
    char name[32];
    snprintf(name, sizeof name, "GL_EXT_name_%05d", i);
    if (!gl.empty()) gl += ' ';
    gl += name;
    if (gl.size() <= 8191) glFits = gl;
  }
  ASSERT_NE(gl[8191], ' ');
  fakeglSetString(0x1F03, gl.c_str());
  // GLX extensions: names that fill the 2047 characters exactly, then one more.
  std::string glx(2047 - 12, 'x');
  glx = "GLX_" + glx.substr(4) + " GLX_last_11" + " GLX_more";
  ASSERT_EQ(glx.find(" GLX_more"), 2047u);
  fakeglSetString(kFakeglGlxExtensions, glx.c_str());

  memset(&caps_, 0x55, sizeof caps_);
  GlxLibraryInstance *instance = nullptr;
  ASSERT_EQ(setup(kFake, display_, &instance), nullptr);
  EXPECT_EQ(caps_.glxVersion, kGlx14);
  EXPECT_EQ(caps_.direct, 1u);
  EXPECT_EQ(caps_.viewportWidth, 1000);
  EXPECT_EQ(caps_.viewportHeight, 900);
  EXPECT_EQ(caps_.textureUnits, 8);
  EXPECT_EQ(caps_.textureWidth, 2048);
  EXPECT_EQ(caps_.textureHeight, 2048);
  EXPECT_EQ(caps_.textureLevels, 11);
  EXPECT_EQ(caps_.lightSources, 9);
  EXPECT_EQ(caps_.clipPlanes, 7);
  EXPECT_EQ(caps_.drawBuffers, 3);
  EXPECT_EQ(caps_.colorAttachments, 0);
  EXPECT_EQ(std::string(caps_.glVersion), longVersion.substr(0, 79));
  EXPECT_STREQ(caps_.vendor, "Fake vendor");
  EXPECT_STREQ(caps_.renderer, "");
  EXPECT_STREQ(caps_.shadingLanguage, "1.30");
  EXPECT_EQ(std::string(caps_.glExtensions), glFits);
  EXPECT_EQ(std::string(caps_.glxExtensions), glx.substr(0, 2047));
  EXPECT_EQ(memcmp(&instance->capabilities, &caps_, sizeof caps_), 0);
  EXPECT_EQ(instance->display, display_);
  EXPECT_EQ(instance->renderMode, 0x1C00u);
  EXPECT_EQ(instance->scratchSize, 16384u);
  EXPECT_EQ(instance->glVersion, 67u);  // GL 1.3 goes with GLX 1.4
  EXPECT_STREQ(instance->libraryText, kFake.c_str());
  // One integer: the first value, 0 for a name the library does not answer.
  EXPECT_EQ(glxdirectGetInteger(instance, 0x0D3A), 1000);
  EXPECT_EQ(glxdirectGetInteger(instance, 0x8CDF), 0);
  // The test context and window are gone: the context is released, then destroyed.
  std::string log = fakeglLog();
  size_t released = log.find("glXMakeCurrent(", log.find("glXMakeCurrent(") + 1);
  ASSERT_NE(released, std::string::npos) << log;
  EXPECT_NE(log.find("glXDestroyContext(", released), std::string::npos) << log;
  EXPECT_EQ(countLines("step: Lumora enabled at "), 1u);
}

TEST_F(GlxDirectSetupTest, IndirectContextOnlyWarns) {
  fakeglSetIsDirect(0);
  ASSERT_EQ(setup(kFake, display_), nullptr);
  EXPECT_EQ(caps_.direct, 0u);
  EXPECT_EQ(countLines("warning: No direct rendering to display "), 1u);
  EXPECT_TRUE(glxdirectAvailable());
}

// A handler of the test's own for the guarded signals: what must be in force again after.
void ownHandler(int) {}

TEST_F(GlxDirectSetupTest, CrashInTheLibraryIsCaughtEveryTime) {
  struct sigaction own {}, saved[5];
  own.sa_handler = ownHandler;
  sigemptyset(&own.sa_mask);
  for (int i = 0; i < 5; i++) sigaction(kGuardedSignals[i], &own, &saved[i]);
  fakeglSetCreateContext(kFakeglCrashCallingThread);
  // Twice: after the first jump the signal must not stay blocked.
  for (int round = 0; round < 2; round++) {
    guardedAtContextStep = false;
    EXPECT_STREQ(setup(kFake, display_), "GL lib has crashed") << round;
    EXPECT_TRUE(guardedAtContextStep);
    EXPECT_FALSE(glxdirectAvailable());
    for (int signal : kGuardedSignals) {
      struct sigaction now {};
      sigaction(signal, nullptr, &now);
      EXPECT_EQ(now.sa_handler, ownHandler) << signal;
    }
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    EXPECT_FALSE(sigismember(&blocked, SIGSEGV));
  }
  // A working library on the same display afterwards.
  fakeglSetCreateContext(kFakeglCreateSucceed);
  EXPECT_EQ(setup(kFake, display_), nullptr);
  for (int i = 0; i < 5; i++) sigaction(kGuardedSignals[i], &saved[i], nullptr);
}

TEST_F(GlxDirectSetupTest, CrashOnALibraryThreadKillsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string name = server_->displayName();
  EXPECT_EXIT(
      {
        Display *display = XOpenDisplay(name.c_str());
        fakeglSetCreateContext(kFakeglCrashOwnThread);
        GlxLibraryInstance *made = nullptr;
        glxdirectSetupDisplay(kFake.c_str(), kGlx14, display, 0, &made, nullptr);
        _exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

TEST_F(GlxDirectSetupTest, HeadsShareAnInstancePerDisplayAndText) {
  GlxLibraryInstance *first = nullptr, *second = nullptr, *other = nullptr, *elsewhere = nullptr;
  ASSERT_EQ(setup(kFake, display_, &first), nullptr);
  ASSERT_EQ(setup(kFake, display_, &second), nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->referenceCount, 1u);
  EXPECT_EQ(countLines("step: Lumora: Loading"), 1u);
  EXPECT_EQ(countLines("step: Lumora enabled at "), 2u);  // each head probes again
  // The first release only lowers the count.
  made_.pop_back();
  glxdirectFreeInstance(second);
  EXPECT_EQ(first->referenceCount, 0u);
  EXPECT_TRUE(glxdirectAvailable());
  // Another text for the same library, and another Display: new instances.
  ASSERT_EQ(setup("libtarvo_no_such_gl:" + kFake, display_, &other), nullptr);
  EXPECT_NE(other, first);
  Display *again = open(server_->displayName());
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(setup(kFake, again, &elsewhere), nullptr);
  EXPECT_NE(elsewhere, first);
  EXPECT_NE(elsewhere, other);
  EXPECT_EQ(countLines("step: Lumora: Loading"), 3u);
  // Released in another order than made, with one made in between: the list stays whole (a
  // broken tail link would lose or revisit records). The library stays mapped.
  made_.clear();
  glxdirectFreeInstance(elsewhere);
  GlxLibraryInstance *later = nullptr;
  ASSERT_EQ(setup(kFake, again, &later), nullptr);
  made_.clear();
  for (GlxLibraryInstance *instance : {other, first, later}) {
    EXPECT_TRUE(glxdirectAvailable());
    glxdirectFreeInstance(instance);
  }
  EXPECT_FALSE(glxdirectAvailable());
  void *handle = dlopen(kFake.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  EXPECT_NE(handle, nullptr);
  if (handle) dlclose(handle);
}

}  // namespace
