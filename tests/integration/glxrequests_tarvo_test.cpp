// GLX configuration lists, contexts and drawables through tarvo against the same Xvfb (+iglx)
// asked directly, with an xcb-glx client: the version, the visual and FBConfig lists describe
// the same configs under tarvo's ids, a context asked for direct is indirect, QueryContext and
// GetDrawableAttributes name the client's ids; errors where Xvfb has them. Swapping, waiting,
// copying contexts, fonts, GLX pixmaps of both kinds and attribute changes, right and wrong,
// are answered request by request as Xvfb answers them.
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

// The outcome of each request of the run below: "ok", "GLX k" for the extension's error k,
// else "core k".
using Outcomes = std::map<std::string, std::string>;

// Swapping, waiting, copying contexts, fonts, GLX pixmaps of both kinds and drawable attributes,
// each right and in the ways it can go wrong, by an xcb-glx client with a current context
// (and a second client using the first one's tag).
Outcomes drawAndCopy(const std::string &display) {
  Outcomes out;
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  xcb_connection_t *other = xcb_connect(display.c_str(), nullptr);
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  if (xcb_connection_has_error(c) || xcb_connection_has_error(other) || !glx || !glx->present) {
    xcb_disconnect(c);
    xcb_disconnect(other);
    return out;
  }
  auto outcome = [&](xcb_connection_t *on, xcb_void_cookie_t cookie) -> std::string {
    xcb_generic_error_t *error = xcb_request_check(on, cookie);
    if (!error) return "ok";
    int code = error->error_code;
    free(error);
    if (code >= glx->first_error && code < glx->first_error + 14) return "GLX " + std::to_string(code - glx->first_error);
    return "core " + std::to_string(code);
  };
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t visual = screen->root_visual, fbConfig = 0;
  if (auto *r = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, 0), nullptr)) {
    const uint32_t *v = xcb_glx_get_fb_configs_property_list(r);
    uint32_t words = uint32_t(xcb_glx_get_fb_configs_property_list_length(r));
    for (uint32_t k = 0; !fbConfig && (k + 1) * 2 * r->num_properties <= words; k++) {
      uint32_t id = 0, ofVisual = 0;
      for (uint32_t p = 0; p < r->num_properties; p++) {
        uint32_t at = (k * r->num_properties + p) * 2;
        if (v[at] == kFbConfigId) id = v[at + 1];
        if (v[at] == kVisualId) ofVisual = v[at + 1];
      }
      if (ofVisual == visual) fbConfig = id;
    }
    free(r);
  }
  out["fbconfig of the root visual"] = fbConfig ? "found" : "none";
  xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    visual, 0, nullptr);
  xcb_map_window(c, window);
  uint32_t context = xcb_generate_id(c), second = xcb_generate_id(c), pbuffer = xcb_generate_id(c);
  out["create context"] = outcome(c, xcb_glx_create_context_checked(c, context, visual, 0, 0, 0));
  out["create second context"] = outcome(c, xcb_glx_create_context_checked(c, second, visual, 0, 0, 0));
  const uint32_t size[] = {0x8041, 64, 0x8040, 32};
  out["create pbuffer"] = outcome(c, xcb_glx_create_pbuffer_checked(c, 0, fbConfig, pbuffer, 2, size));
  uint32_t tag = 0;
  if (auto *r = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, 0), nullptr)) {
    tag = r->context_tag;
    free(r);
  }
  out["make current"] = tag ? "tag" : "no tag";
  const uint32_t badTag = tag + 77, unknown = xcb_generate_id(c);

  out["swap"] = outcome(c, xcb_glx_swap_buffers_checked(c, tag, window));
  out["swap tag 0"] = outcome(c, xcb_glx_swap_buffers_checked(c, 0, window));
  out["swap unknown tag"] = outcome(c, xcb_glx_swap_buffers_checked(c, badTag, window));
  out["swap unknown drawable"] = outcome(c, xcb_glx_swap_buffers_checked(c, tag, unknown));
  out["swap pbuffer"] = outcome(c, xcb_glx_swap_buffers_checked(c, tag, pbuffer));
  out["swap by another client's tag"] = outcome(other, xcb_glx_swap_buffers_checked(other, tag, window));
  out["wait gl"] = outcome(c, xcb_glx_wait_gl_checked(c, tag));
  out["wait gl tag 0"] = outcome(c, xcb_glx_wait_gl_checked(c, 0));
  out["wait gl unknown tag"] = outcome(c, xcb_glx_wait_gl_checked(c, badTag));
  out["wait x"] = outcome(c, xcb_glx_wait_x_checked(c, tag));
  out["wait x unknown tag"] = outcome(c, xcb_glx_wait_x_checked(c, badTag));
  out["wait x by another client's tag"] = outcome(other, xcb_glx_wait_x_checked(other, tag));

  const uint32_t allBits = 0x000FFFFF;
  out["copy"] = outcome(c, xcb_glx_copy_context_checked(c, context, second, allBits, tag));
  out["copy untagged"] = outcome(c, xcb_glx_copy_context_checked(c, context, second, allBits, 0));
  out["copy unknown source"] = outcome(c, xcb_glx_copy_context_checked(c, unknown, second, allBits, 0));
  out["copy unknown destination"] = outcome(c, xcb_glx_copy_context_checked(c, context, unknown, allBits, tag));
  out["copy into the current context"] = outcome(c, xcb_glx_copy_context_checked(c, second, context, allBits, 0));
  out["copy unknown tag"] = outcome(c, xcb_glx_copy_context_checked(c, context, second, allBits, badTag));
  out["copy by another client's tag"] =
      outcome(other, xcb_glx_copy_context_checked(other, context, second, allBits, tag));

  xcb_font_t font = xcb_generate_id(c);
  out["open font"] = outcome(c, xcb_open_font_checked(c, font, 5, "fixed"));
  out["use x font"] = outcome(c, xcb_glx_use_x_font_checked(c, tag, font, 32, 96, 1000));
  out["use x font unknown font"] = outcome(c, xcb_glx_use_x_font_checked(c, tag, unknown, 32, 96, 1000));
  out["use x font tag 0"] = outcome(c, xcb_glx_use_x_font_checked(c, 0, font, 32, 96, 1000));
  out["use x font unknown tag"] = outcome(c, xcb_glx_use_x_font_checked(c, badTag, font, 32, 96, 1000));
  xcb_close_font(c, font);

  xcb_pixmap_t pixmap = xcb_generate_id(c), shallow = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, 32, 16);
  xcb_create_pixmap(c, 1, shallow, screen->root, 32, 16);
  uint32_t glxPixmap = xcb_generate_id(c), newPixmap = xcb_generate_id(c);
  out["glx pixmap"] = outcome(c, xcb_glx_create_glx_pixmap_checked(c, 0, visual, pixmap, glxPixmap));
  out["glx pixmap of depth 1"] =
      outcome(c, xcb_glx_create_glx_pixmap_checked(c, 0, visual, shallow, xcb_generate_id(c)));
  out["glx pixmap unknown visual"] =
      outcome(c, xcb_glx_create_glx_pixmap_checked(c, 0, 0x7FFFFFFF, pixmap, xcb_generate_id(c)));
  out["glx pixmap unknown pixmap"] =
      outcome(c, xcb_glx_create_glx_pixmap_checked(c, 0, visual, unknown, xcb_generate_id(c)));
  out["glx pixmap id in use"] = outcome(c, xcb_glx_create_glx_pixmap_checked(c, 0, visual, pixmap, glxPixmap));
  out["destroy glx pixmap"] = outcome(c, xcb_glx_destroy_glx_pixmap_checked(c, glxPixmap));
  out["destroy glx pixmap again"] = outcome(c, xcb_glx_destroy_glx_pixmap_checked(c, glxPixmap));
  out["pixmap"] = outcome(c, xcb_glx_create_pixmap_checked(c, 0, fbConfig, pixmap, newPixmap, 0, nullptr));
  out["pixmap unknown fbconfig"] =
      outcome(c, xcb_glx_create_pixmap_checked(c, 0, 0x7FFFFFFF, pixmap, xcb_generate_id(c), 0, nullptr));
  out["pixmap of depth 1"] =
      outcome(c, xcb_glx_create_pixmap_checked(c, 0, fbConfig, shallow, xcb_generate_id(c), 0, nullptr));
  out["destroy pixmap with the other request"] = outcome(c, xcb_glx_destroy_glx_pixmap_checked(c, pbuffer));
  out["destroy pixmap"] = outcome(c, xcb_glx_destroy_pixmap_checked(c, newPixmap));
  out["destroy pixmap again"] = outcome(c, xcb_glx_destroy_pixmap_checked(c, newPixmap));
  xcb_free_pixmap(c, pixmap);
  xcb_free_pixmap(c, shallow);

  const uint32_t eventMask[] = {0x801F, 0};
  out["attributes of a pbuffer"] = outcome(c, xcb_glx_change_drawable_attributes_checked(c, pbuffer, 1, eventMask));
  out["attributes of a window"] = outcome(c, xcb_glx_change_drawable_attributes_checked(c, window, 1, eventMask));
  out["attributes of nothing"] = outcome(c, xcb_glx_change_drawable_attributes_checked(c, unknown, 1, eventMask));
  out["pbuffer unknown fbconfig"] =
      outcome(c, xcb_glx_create_pbuffer_checked(c, 0, 0x7FFFFFFF, xcb_generate_id(c), 2, size));
  out["new context unknown fbconfig"] =
      outcome(c, xcb_glx_create_new_context_checked(c, xcb_generate_id(c), 0x7FFFFFFF, 0, 0x8014, 0, 0));
  out["attribs context unknown fbconfig"] = outcome(
      c, xcb_glx_create_context_attribs_arb_checked(c, xcb_generate_id(c), 0x7FFFFFFF, 0, 0, 0, 0, nullptr));
  {
    xcb_generic_error_t *error = nullptr;
    free(xcb_glx_get_drawable_attributes_reply(c, xcb_glx_get_drawable_attributes(c, unknown), &error));
    out["attributes query of nothing"] = error ? "error " + std::to_string(error->error_code) : "ok";
    free(error);
  }
  out["attributes none"] = outcome(c, xcb_glx_change_drawable_attributes_checked(c, pbuffer, 0, nullptr));

  // A context current in another tag is refused without a reply; the tag number that MakeCurrent
  // would have had goes to the next one answered.
  xcb_window_t window2 = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window2, screen->root, 0, 0, 32, 32, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    visual, 0, nullptr);
  xcb_generic_error_t *error = nullptr;
  auto *refused = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window2, context, 0), &error);
  out["make current of a context current in another tag"] =
      refused ? "reply" : error ? "core " + std::to_string(error->error_code) : "nothing";
  free(refused);
  free(error);
  uint32_t next = 0;
  if (auto *r = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window2, second, 0), nullptr)) {
    next = r->context_tag;
    free(r);
  }
  out["tag after the refused one"] = next ? "tag + " + std::to_string(int(next) - int(tag)) : "none";
  if (auto *r = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, 0, 0, next), nullptr)) free(r);
  if (auto *r = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, 0, 0, tag), nullptr)) free(r);
  out["destroy pbuffer"] = outcome(c, xcb_glx_destroy_pbuffer_checked(c, pbuffer));
  out["destroy context"] = outcome(c, xcb_glx_destroy_context_checked(c, context));
  out["destroy second context"] = outcome(c, xcb_glx_destroy_context_checked(c, second));
  xcb_disconnect(other);
  xcb_disconnect(c);
  return out;
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

  Outcomes directOutcomes = drawAndCopy(xvfb.displayName());
  Outcomes proxiedOutcomes = drawAndCopy(tarvo.displayName());
  // The run did what it meant to on Xvfb (a wrong tag is GLXBadContextTag, a GLX pixmap destroyed
  // twice GLXBadPixmap), and tarvo answers each request as Xvfb does.
  EXPECT_EQ(directOutcomes["swap"], "ok");
  EXPECT_EQ(directOutcomes["wait gl tag 0"], "GLX 4");
  EXPECT_EQ(directOutcomes["destroy glx pixmap again"], "GLX 3");
  EXPECT_EQ(directOutcomes["make current of a context current in another tag"], "core 10");  // BadAccess
  EXPECT_NE(directOutcomes["tag after the refused one"], "none");
  for (const auto &[name, result] : directOutcomes) EXPECT_EQ(proxiedOutcomes[name], result) << name;
  EXPECT_EQ(proxiedOutcomes.size(), directOutcomes.size());
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
