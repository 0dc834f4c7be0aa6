// GLX MakeCurrent through tarvo on Xvfb with indirect GLX, answered as Xvfb answers it: an
// xcb-glx client and a raw client of the other byte order release with nothing current (a
// reply with tag 0), name a tag they never got (GLXBadContextTag) and a context that does
// not exist (GLXBadContext). The Xlib destroy requests of the proxy's own GLX objects.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"
#include "xext/glxindirect.h"

namespace {

// What one MakeCurrent got: a reply (error -1, value the tag) or an error (its number within
// GLX's errors, value the bad value less the context id sent).
struct Outcome {
  int error;
  uint32_t value;
  bool operator==(const Outcome &) const = default;
};

// MakeCurrent(0, 0, 0), (0, 0, 77) and (root, an unused context id, 0) through xcb-glx.
std::vector<Outcome> xcbOutcomes(const std::string &display) {
  std::vector<Outcome> out;
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return out;
  }
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  if (glx && glx->present) {
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    uint32_t context = xcb_generate_id(c);
    const uint32_t cases[3][3] = {{0, 0, 0}, {0, 0, 77}, {root, context, 0}};
    for (const auto &k : cases) {
      xcb_generic_error_t *error = nullptr;
      xcb_glx_make_current_reply_t *reply =
          xcb_glx_make_current_reply(c, xcb_glx_make_current(c, k[0], k[1], k[2]), &error);
      if (reply) out.push_back({-1, reply->context_tag});
      if (error) out.push_back({error->error_code - glx->first_error, error->resource_id - k[1]});
      free(reply);
      free(error);
    }
  }
  xcb_disconnect(c);
  return out;
}

TEST(GlxContextThroughTarvo, MakeCurrentAnsweredAsXvfb) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");
  // Xvfb leaves the bad values of these errors 0; the proxy names the tag and the context.
  std::vector<Outcome> direct = xcbOutcomes(xvfb.displayName());
  std::vector<Outcome> proxied = xcbOutcomes(tarvo.displayName());
  ASSERT_EQ(direct.size(), 3u);
  ASSERT_EQ(proxied.size(), 3u);
  for (size_t k = 0; k < 3; k++) EXPECT_EQ(proxied[k].error, direct[k].error) << k;
  EXPECT_EQ(proxied, (std::vector<Outcome>{{-1, 0}, {4, 77}, {0, 0}}));

  // The raw client in the other byte order sees the same.
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = c.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t context = c.idBase() | 5;
  const uint32_t cases[3][3] = {{0, 0, 0}, {0, 0, 77}, {c.rootWindow(), context, 0}};
  for (int k = 0; k < 3; k++) {
    SCOPED_TRACE(k);
    RawRequest request(true);
    request.b(major).b(5).s(0).i(cases[k][0]).i(cases[k][1]).i(cases[k][2]);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(request.done(), answer), "");
    EXPECT_EQ(rawGet16(answer, 2, true), c.sequence());
    if (k == 0) {
      ASSERT_EQ(answer[0], 1);
      EXPECT_EQ(rawGet32(answer, 8, true), 0u);
    } else {
      ASSERT_EQ(answer[0], 0);
      EXPECT_EQ(rawGet32(answer, 4, true), k == 1 ? 77u : context);
      EXPECT_EQ(rawGet16(answer, 8, true), 5u);
      EXPECT_EQ(answer[10], major);
    }
  }
}

// The destroy requests the proxy writes into an Xlib display for its own GLX objects reach the
// server as the requests they are: each unknown id gets the server's error for that minor.
std::vector<std::pair<int, int>> xlibErrors;  // (error code, minor)
int keepError(Display *, XErrorEvent *event) {
  xlibErrors.emplace_back(event->error_code, event->minor_code);
  return 0;
}

TEST(GlxContextThroughTarvo, XlibDestroyRequests) {
  XvfbServer xvfb;
  XvfbOptions options;
  options.iglx = true;
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(options), "");
  Display *display = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(display, nullptr);
  int major = 0, firstEvent = 0, firstError = 0;
  ASSERT_TRUE(XQueryExtension(display, "GLX", &major, &firstEvent, &firstError));
  proxyState.ext.glxMajor = uint8_t(major);
  ServerDisplay server{};
  server.display = display;
  xlibErrors.clear();
  XErrorHandler previous = XSetErrorHandler(keepError);
  uint32_t unknown = uint32_t(XAllocID(display));
  glxindirectDestroyContext(&server, unknown);
  glxindirectDestroyGlxPixmap(&server, unknown);
  glxindirectDestroyPbuffer(&server, unknown);
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  proxyState.ext.glxMajor = 0;
  // GLXBadContext, GLXBadPixmap, GLXBadPbuffer.
  EXPECT_EQ(xlibErrors, (std::vector<std::pair<int, int>>{{firstError, 4}, {firstError + 3, 15}, {firstError + 10, 28}}));
}

}  // namespace
