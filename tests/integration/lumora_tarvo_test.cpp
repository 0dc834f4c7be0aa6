// tarvo with "lumora on" for its screen: GL is set up inside the proxy with the system's GL
// library, the GLX extension string says so, server resets set it up again, and a head on which
// it cannot start ends tarvo with status 1 and the reason.
#include <gtest/gtest.h>

#include <signal.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kGlxExtensions = 3;  // GLX_EXTENSIONS

// The options of a tarvo whose screen is served with a GL library. Mesa's driver keeps a little
// memory per closed Display: leak detection is off in tarvo for these runs.
TarvoOptions lumoraOptions(const std::vector<std::string> &lumora) {
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "lumora"};
  options.arguments.insert(options.arguments.end(), lumora.begin(), lumora.end());
  const char *asan = getenv("ASAN_OPTIONS");
  options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
  return options;
}

// GLXQueryServerString(GLX_EXTENSIONS) for screen 0 through xcb-glx: the string, or "" when the
// display does not answer.
std::string serverExtensions(const std::string &display) {
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  std::string text;
  if (!xcb_connection_has_error(c)) {
    xcb_generic_error_t *error = nullptr;
    xcb_glx_query_server_string_reply_t *reply =
        xcb_glx_query_server_string_reply(c, xcb_glx_query_server_string(c, 0, kGlxExtensions), &error);
    if (reply) {
      text.assign(xcb_glx_query_server_string_string(reply),
                  size_t(xcb_glx_query_server_string_string_length(reply)));
      free(reply);
    }
    // The counted length takes the terminating zero in.
    while (!text.empty() && text.back() == '\0') text.pop_back();
    free(error);
  }
  xcb_disconnect(c);
  return text;
}

// The answer of a display that may still be starting again after a reset (10 s at most).
std::string serverExtensionsOnceUp(const std::string &display) {
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string text = serverExtensions(display);
    if (!text.empty()) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "";
}

bool hasWord(const std::string &list, const std::string &word) {
  return (" " + list + " ").find(" " + word + " ") != std::string::npos;
}

size_t occurrences(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

TEST(LumoraThroughTarvo, ServesAcrossResetsAndExitsCleanly) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  TarvoOptions options = lumoraOptions({"on"});
  options.noReset = false;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "800x600x24", options), "");
  for (int generation = 0; generation < 4; generation++) {
    SCOPED_TRACE(generation);
    if (generation > 0) {
      tarvo.signal(SIGHUP);
      for (int i = 0; i < 150 && occurrences(tarvo.log(), "Lumora enabled at ") <= size_t(generation); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(occurrences(tarvo.log(), "Lumora enabled at "), size_t(generation + 1));
    std::string extensions = serverExtensionsOnceUp(tarvo.displayName());
    ASSERT_NE(extensions, "");
    EXPECT_TRUE(hasWord(extensions, "GLX_MWT_Lumora")) << extensions;
    EXPECT_FALSE(hasWord(extensions, "GLX_ARB_create_context")) << extensions;
    EXPECT_FALSE(hasWord(extensions, "GLX_ARB_create_context_profile")) << extensions;
  }
  EXPECT_EQ(tarvo.stop(), 0);
}

TEST(LumoraThroughTarvo, HeadWithoutGlVisualEndsWithStatusOne) {
  tarvoBlockSignals();
  // The server offers GLX for its 24-bit screen; the head is its 8-bit one. (A server with only
  // an 8-bit screen offers no GLX at all, and so no GLX set-up runs.)
  XvfbServer xvfb;
  XvfbOptions screens;
  screens.screens = {"640x480x24", "640x480x8"};
  screens.iglx = true;  // the GLX of the first head is served by the server
  ASSERT_EQ(xvfb.start(screens), "");
  TarvoProcess tarvo;
  TarvoOptions options = lumoraOptions({"on"});
  options.arguments = {"metaScreen", "a", "screen", "%D.0", "metaScreen", "b", "screen", "%D.1", "lumora", "on"};
  options.waitReady = false;
  ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  EXPECT_EQ(tarvo.wait(20000), 1);
  std::string said = tarvo.log() + tarvo.output();
  EXPECT_NE(said.find("No Lumora on display "), std::string::npos) << said;
  EXPECT_NE(said.find(": No OpenGL capable visual available"), std::string::npos) << said;
}

TEST(LumoraThroughTarvo, CrashingLibraryEndsWithStatusOne) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  TarvoOptions options = lumoraOptions({"on", "libraryPath", std::string(TARVO_FAKEGL_DIR) + "/libtarvo_fakegl_crash.so"});
  options.waitReady = false;
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24", options), "");
  EXPECT_EQ(tarvo.wait(20000), 1);
  std::string said = tarvo.log() + tarvo.output();
  EXPECT_NE(said.find("No Lumora on display "), std::string::npos) << said;
  EXPECT_NE(said.find("GL lib has crashed"), std::string::npos) << said;
}

}  // namespace
