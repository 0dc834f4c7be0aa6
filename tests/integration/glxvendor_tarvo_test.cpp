// GLX vendor-private requests through tarvo against Xvfb (+iglx), with an xcb-glx client: the
// SGIX context is one that IsDirect and MakeCurrent accept, MakeCurrentRead releases its tag
// without an error, an unknown code gets the error Xvfb gives, and the head query answers.
#include <gtest/gtest.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kFbConfigId = 0x8013, kVisualId = 0x800B;

int errorOf(xcb_connection_t *c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t *error = xcb_request_check(c, cookie);
  int code = error ? error->error_code : 0;
  free(error);
  return code;
}

// The first FBConfig with a visual, else 0.
uint32_t glConfig(xcb_connection_t *c) {
  uint32_t found = 0;
  auto *r = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, 0), nullptr);
  if (!r) return 0;
  const uint32_t *v = xcb_glx_get_fb_configs_property_list(r);
  for (uint32_t k = 0; k < r->num_FB_configs && !found; k++) {
    uint32_t id = 0, visual = 0;
    for (uint32_t p = 0; p < r->num_properties; p++) {
      const uint32_t *pair = v + (k * r->num_properties + p) * 2;
      if (pair[0] == kFbConfigId) id = pair[1];
      if (pair[0] == kVisualId) visual = pair[1];
    }
    if (visual) found = id;
  }
  free(r);
  return found;
}

// The error code of vendor code 65536 on minor 16 (tag 0), 0 for none.
int unknownCodeError(xcb_connection_t *c) {
  uint8_t data[4] = {};
  return errorOf(c, xcb_glx_vendor_private_checked(c, 65536, 0, sizeof data, data));
}

TEST(GlxVendorThroughTarvo, SgixContextReleaseAndUnknownCode) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");

  xcb_connection_t *behind = xcb_connect(xvfb.displayName().c_str(), nullptr);
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  ASSERT_FALSE(xcb_connection_has_error(behind));
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  ASSERT_TRUE(glx && glx->present);
  int expected = unknownCodeError(behind);
  EXPECT_NE(expected, 0);
  EXPECT_EQ(unknownCodeError(c) - glx->first_error,
            expected - xcb_get_extension_data(behind, &xcb_glx_id)->first_error);

  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t config = glConfig(c);
  ASSERT_NE(config, 0u);
  // CreateContextWithConfigSGIX on minor 17, as Mesa sends it: no reply.
  uint32_t context = xcb_generate_id(c);
  uint32_t fields[6] = {context, config, 0, 0x8014, 0, 0};
  xcb_glx_vendor_private(c, 0x10005, 0, sizeof fields, reinterpret_cast<uint8_t *>(fields));
  auto *direct = xcb_glx_is_direct_reply(c, xcb_glx_is_direct(c, context), nullptr);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->is_direct, 0);
  free(direct);

  uint32_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 50, 50, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  xcb_map_window(c, window);
  xcb_generic_error_t *error = nullptr;
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, 0), &error);
  ASSERT_NE(current, nullptr) << (error ? int(error->error_code) : 0);
  uint32_t tag = current->context_tag;
  free(current);
  EXPECT_NE(tag, 0u);

  // The EXT texture calls reach Xvfb in the forms it answers: two names, a texture query and a
  // resident query answered, deleted without error.
  uint32_t count[1] = {2};
  auto *generated = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, 13, tag, sizeof count, reinterpret_cast<uint8_t *>(count)), &error);
  ASSERT_NE(generated, nullptr) << (error ? int(error->error_code) : 0);
  ASSERT_EQ(xcb_glx_vendor_private_with_reply_data_2_length(generated), 8);
  uint32_t names[2];
  memcpy(names, xcb_glx_vendor_private_with_reply_data_2(generated), sizeof names);
  free(generated);
  EXPECT_NE(names[0], 0u);
  EXPECT_NE(names[0], names[1]);
  uint32_t which[1] = {names[0]};
  auto *known = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, 14, tag, sizeof which, reinterpret_cast<uint8_t *>(which)), nullptr);
  EXPECT_NE(known, nullptr);
  free(known);
  uint32_t list[3] = {2, names[0], names[1]};
  auto *resident = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, 11, tag, sizeof list, reinterpret_cast<uint8_t *>(list)), nullptr);
  EXPECT_NE(resident, nullptr);
  free(resident);
  EXPECT_EQ(errorOf(c, xcb_glx_vendor_private_checked(c, 12, tag, sizeof list, reinterpret_cast<uint8_t *>(list))),
            0);
  // CopySubBuffer names the window as Xvfb knows it.
  uint32_t area[5] = {window, 0, 0, 10, 10};
  EXPECT_EQ(errorOf(c, xcb_glx_vendor_private_checked(c, 5154, tag, sizeof area, reinterpret_cast<uint8_t *>(area))),
            0);

  // MakeCurrentRead of nothing: tag 0 and no error; the old tag is gone.
  uint32_t release[3] = {0, 0, 0};
  auto *released = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, 0x10001, tag, sizeof release, reinterpret_cast<uint8_t *>(release)),
      &error);
  ASSERT_NE(released, nullptr) << (error ? int(error->error_code) : 0);
  EXPECT_EQ(released->retval, 0u);
  free(released);
  EXPECT_EQ(errorOf(c, xcb_glx_wait_gl_checked(c, tag)), glx->first_error + 4);  // GLXBadContextTag
  EXPECT_EQ(errorOf(c, xcb_glx_destroy_context_checked(c, context)), 0);

  // The head query: one head, the window once.
  uint32_t query[1] = {window};
  auto *heads = xcb_glx_vendor_private_with_reply_reply(
      c, xcb_glx_vendor_private_with_reply(c, 2053, 0, sizeof query, reinterpret_cast<uint8_t *>(query)), nullptr);
  ASSERT_NE(heads, nullptr);
  EXPECT_EQ(heads->retval, 1u);
  EXPECT_EQ(heads->data1[0] | heads->data1[1] << 8 | heads->data1[2] << 16 | uint32_t(heads->data1[3]) << 24,
            window);
  free(heads);
  xcb_disconnect(c);
  xcb_disconnect(behind);
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
