// Readers and client set-ups shared by the GLX tests that run tarvo on an Xvfb with indirect GLX.
#pragma once

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rawclient_fixture.h"

// One request the relay passed to the server, on its connection, with the first reply or error
// that came back at its sequence number (empty when none).
struct GlxCaptured {
  int conn = 0;
  RawBytes request, answer;
  uint8_t minor() const { return request.size() > 1 ? request[1] : 0; }
};

// The captured requests of the major opcode (and of the minor, when one is given), in the order
// they passed, read back by the relay's reader.
std::vector<GlxCaptured> glxCaptured(const std::string &capturePath, uint8_t major, int minor = -1);

// Through a raw client: CreateContext (id idBase | 1, on the visual, not direct) and MakeCurrent
// of it on the root window. "" with the context tag in *tag, or the failure.
std::string glxRawMakeCurrent(RawClient &raw, uint8_t major, uint32_t visual, uint32_t *tag);

// Through an xcb client: a 64 x 64 window on the first screen's root, a context on its root
// visual and MakeCurrent of the two. "" with the context tag in *tag, or the failure. (Inline:
// only the tests that link libxcb-glx use it.)
inline std::string glxXcbMakeCurrent(xcb_connection_t *c, uint32_t *tag) {
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  uint32_t context = xcb_generate_id(c);
  if (xcb_generic_error_t *error =
          xcb_request_check(c, xcb_glx_create_context_checked(c, context, screen->root_visual, 0, 0, 0))) {
    std::string failure = "CreateContext: error " + std::to_string(error->error_code);
    free(error);
    return failure;
  }
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, 0), nullptr);
  if (!current) return "MakeCurrent: no reply";
  *tag = current->context_tag;
  free(current);
  return "";
}

// The first single-buffered RGBA TrueColor visual of depth 24 that GLXGetVisualConfigs lists
// (0 when none). The 18 leading properties are fixed: visual, class, rgba, red, green, blue ...
// doublebuffer at 11, stereo at 12. (Inline: only the tests that link libxcb-glx use it.)
inline uint32_t glxSingleBufferedVisual(xcb_connection_t *c) {
  auto *reply = xcb_glx_get_visual_configs_reply(c, xcb_glx_get_visual_configs(c, 0), nullptr);
  if (!reply) return 0;
  const uint32_t *p = xcb_glx_get_visual_configs_property_list(reply);
  uint32_t per = reply->num_properties, found = 0;
  for (uint32_t k = 0; k < reply->num_visuals && !found; k++) {
    const uint32_t *v = p + k * per;
    if (per >= 18 && v[1] == XCB_VISUAL_CLASS_TRUE_COLOR && v[2] && v[3] == 8 && v[4] == 8 && v[5] == 8 && !v[11] &&
        !v[12])
      found = v[0];
  }
  free(reply);
  return found;
}
