// GLX configuration lists, contexts and drawables through tarvo against the same Xvfb (+iglx)
// asked directly, with an xcb-glx client: the version, the visual and FBConfig lists describe
// the same configs under tarvo's ids, a context asked for direct is indirect, QueryContext and
// GetDrawableAttributes name the client's ids; errors where Xvfb has them.
#include <gtest/gtest.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kFbConfigId = 0x8013, kVisualId = 0x800B, kScreen = 0x800C;

struct Seen {
  uint32_t visualCount = 0, visualProperties = 0;
  std::vector<std::vector<uint32_t>> visualConfigs;  // each without its id (first value)
  std::set<uint32_t> visualIds;
  uint32_t fbCount = 0, fbPairs = 0;
  std::multiset<std::map<uint32_t, uint32_t>> fbConfigs;  // GL-visual configs, ids aside
  std::set<uint32_t> fbIds;
  int createError = -1, isDirect = -1, afterDestroyError = -1;
  std::map<uint32_t, uint32_t> context;  // QueryContext's pairs
  uint32_t visualUsed = 0;
  uint32_t version = 0;  // major * 64 + minor
};

Seen look(const std::string &display) {
  Seen s;
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return s;
  }
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  if (!glx || !glx->present) {
    xcb_disconnect(c);
    return s;
  }
  if (auto *r = xcb_glx_query_version_reply(c, xcb_glx_query_version(c, 1, 4), nullptr)) {
    s.version = r->major_version * 64 + r->minor_version;
    free(r);
  }
  if (auto *r = xcb_glx_get_visual_configs_reply(c, xcb_glx_get_visual_configs(c, 0), nullptr)) {
    s.visualCount = r->num_visuals;
    s.visualProperties = r->num_properties;
    const uint32_t *v = xcb_glx_get_visual_configs_property_list(r);
    int words = xcb_glx_get_visual_configs_property_list_length(r);
    for (uint32_t k = 0; r->num_properties && (k + 1) * r->num_properties <= uint32_t(words); k++) {
      const uint32_t *config = v + k * r->num_properties;
      s.visualIds.insert(config[0]);
      if (!s.visualUsed) s.visualUsed = config[0];
      s.visualConfigs.emplace_back(config + 1, config + 18);
    }
    free(r);
  }
  if (auto *r = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, 0), nullptr)) {
    s.fbCount = r->num_FB_configs;
    s.fbPairs = r->num_properties;
    const uint32_t *v = xcb_glx_get_fb_configs_property_list(r);
    int words = xcb_glx_get_fb_configs_property_list_length(r);
    for (uint32_t k = 0; (k + 1) * 2 * r->num_properties <= uint32_t(words); k++) {
      std::map<uint32_t, uint32_t> config;
      for (uint32_t p = 0; p < r->num_properties; p++) config[v[(k * r->num_properties + p) * 2]] = v[(k * r->num_properties + p) * 2 + 1];
      if (config[kVisualId] == 0) continue;
      s.fbIds.insert(config[kFbConfigId]);
      config.erase(kFbConfigId);
      config.erase(kVisualId);
      s.fbConfigs.insert(config);
    }
    free(r);
  }
  uint32_t context = xcb_generate_id(c);
  xcb_generic_error_t *error =
      xcb_request_check(c, xcb_glx_create_context_checked(c, context, s.visualUsed, 0, 0, 1));
  s.createError = error ? error->error_code : 0;
  free(error);
  if (auto *r = xcb_glx_is_direct_reply(c, xcb_glx_is_direct(c, context), nullptr)) {
    s.isDirect = r->is_direct;
    free(r);
  }
  if (auto *r = xcb_glx_query_context_reply(c, xcb_glx_query_context(c, context), nullptr)) {
    const uint32_t *v = xcb_glx_query_context_attribs(r);
    int words = xcb_glx_query_context_attribs_length(r);
    for (int k = 0; k + 1 < words; k += 2) s.context[v[k]] = v[k + 1];
    free(r);
  }
  xcb_glx_destroy_context(c, context);
  error = nullptr;
  free(xcb_glx_is_direct_reply(c, xcb_glx_is_direct(c, context), &error));
  s.afterDestroyError = error ? error->error_code - glx->first_error : -1;
  free(error);
  xcb_disconnect(c);
  return s;
}

// Every window of the server's tree below the window.
size_t windowsBelow(xcb_connection_t *c, xcb_window_t window) {
  size_t count = 0;
  if (auto *tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr)) {
    const xcb_window_t *children = xcb_query_tree_children(tree);
    for (int k = 0; k < xcb_query_tree_children_length(tree); k++) count += 1 + windowsBelow(c, children[k]);
    free(tree);
  }
  return count;
}

int errorOf(xcb_connection_t *c, xcb_void_cookie_t cookie) {
  xcb_generic_error_t *error = xcb_request_check(c, cookie);
  int code = error ? error->error_code : 0;
  free(error);
  return code;
}

// Through tarvo: a pbuffer and a GLX window report tarvo's FBConfig id; the GLX window is a
// window on Xvfb until GLXDestroyWindow, which refuses a plain window.
void checkDrawables(const std::string &display, const std::string &behindDisplay) {
  xcb_connection_t *behind = xcb_connect(behindDisplay.c_str(), nullptr);
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  ASSERT_TRUE(glx && glx->present);
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t behindRoot = xcb_setup_roots_iterator(xcb_get_setup(behind)).data->root;
  uint32_t config = screen->root_visual;  // tarvo's FBConfig ids are its visual ids
  auto fbConfigOf = [&](uint32_t drawable) -> uint32_t {
    uint32_t value = 0;
    if (auto *r = xcb_glx_get_drawable_attributes_reply(c, xcb_glx_get_drawable_attributes(c, drawable), nullptr)) {
      const uint32_t *v = xcb_glx_get_drawable_attributes_attribs(r);
      for (int k = 0; k + 1 < xcb_glx_get_drawable_attributes_attribs_length(r); k += 2)
        if (v[k] == kFbConfigId) value = v[k + 1];
      free(r);
    }
    return value;
  };
  uint32_t pbuffer = xcb_generate_id(c);
  const uint32_t size[] = {0x8041, 64, 0x8040, 32};
  EXPECT_EQ(errorOf(c, xcb_glx_create_pbuffer_checked(c, 0, config, pbuffer, 2, size)), 0);
  EXPECT_EQ(fbConfigOf(pbuffer), config);
  xcb_window_t parent = xcb_generate_id(c), glxWindow = xcb_generate_id(c);
  xcb_create_window(c, screen->root_depth, parent, screen->root, 0, 0, 100, 80, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  EXPECT_EQ(errorOf(c, xcb_map_window_checked(c, parent)), 0);
  size_t before = windowsBelow(behind, behindRoot);
  EXPECT_EQ(errorOf(c, xcb_glx_create_window_checked(c, 0, config, parent, glxWindow, 0, nullptr)), 0);
  EXPECT_EQ(windowsBelow(behind, behindRoot), before + 1);
  EXPECT_EQ(fbConfigOf(glxWindow), config);
  EXPECT_EQ(errorOf(c, xcb_glx_delete_window_checked(c, parent)), glx->first_error + 12);  // GLXBadWindow
  EXPECT_EQ(errorOf(c, xcb_glx_delete_window_checked(c, glxWindow)), 0);
  EXPECT_EQ(windowsBelow(behind, behindRoot), before);
  EXPECT_EQ(errorOf(c, xcb_glx_destroy_pbuffer_checked(c, pbuffer)), 0);
  xcb_disconnect(c);
  xcb_disconnect(behind);
}

TEST(GlxRequestsThroughTarvo, ConfigsAndContextsAsXvfb) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");
  Seen direct = look(xvfb.displayName());
  Seen proxied = look(tarvo.displayName());

  EXPECT_EQ(direct.version, 68u);  // 1.4
  EXPECT_EQ(proxied.version, direct.version);
  ASSERT_GT(direct.visualCount, 0u);
  EXPECT_EQ(proxied.visualCount, direct.visualCount);
  EXPECT_EQ(proxied.visualProperties, 38u);
  auto sorted = [](std::vector<std::vector<uint32_t>> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(proxied.visualConfigs), sorted(direct.visualConfigs));

  // One FBConfig per GL visual, named by tarvo's visual ids, each one of Xvfb's on the pairs
  // tarvo lists.
  EXPECT_EQ(proxied.fbCount, proxied.visualCount);
  EXPECT_EQ(proxied.fbPairs, 43u);
  EXPECT_EQ(proxied.fbIds, proxied.visualIds);
  std::multiset<std::map<uint32_t, uint32_t>> narrowed;
  for (auto config : direct.fbConfigs) {
    std::erase_if(config, [&](const auto &pair) { return !proxied.fbConfigs.begin()->count(pair.first); });
    narrowed.insert(config);
  }
  ASSERT_FALSE(proxied.fbConfigs.empty());
  for (const auto &config : proxied.fbConfigs) EXPECT_TRUE(narrowed.count(config)) << config.size();

  EXPECT_EQ(direct.createError, 0);
  EXPECT_EQ(proxied.createError, 0);
  // Xvfb echoes the is-direct flag asked for; tarvo's contexts are never direct.
  EXPECT_EQ(direct.isDirect, 1);
  EXPECT_EQ(proxied.isDirect, 0);
  EXPECT_EQ(proxied.context.size(), direct.context.size());
  EXPECT_EQ(proxied.context[kVisualId], proxied.visualUsed);
  EXPECT_EQ(proxied.context[kScreen], 0u);
  EXPECT_EQ(proxied.afterDestroyError, 0);  // GLXBadContext
  EXPECT_EQ(proxied.afterDestroyError, direct.afterDestroyError);
  checkDrawables(tarvo.displayName(), xvfb.displayName());
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
