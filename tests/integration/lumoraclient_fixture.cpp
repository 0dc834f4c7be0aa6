#include "lumoraclient_fixture.h"

#include <gtest/gtest.h>
#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <map>

namespace {
constexpr uint8_t kMinorCreateNewContext = 24, kMinorMakeContextCurrent = 26, kMinorCreatePbuffer = 27;
constexpr uint32_t kRgbaType = 0x8014;
}  // namespace

TarvoOptions lumoraOptions() {
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "lumora", "on"};
  const char *asan = getenv("ASAN_OPTIONS");
  options.environment.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":detect_leaks=0");
  return options;
}

std::string lumoraStartXvfb(XvfbServer &xvfb, const char *screen) {
  XvfbOptions x;
  x.screens = {screen};
  x.extraArguments = {"-nolisten", "tcp"};
  return xvfb.start(x);
}

uint32_t lumoraGlVisual(RawClient &raw, bool big, uint8_t major, bool doubleBuffered, bool withStencil) {
  RawBytes answer;
  if (!raw.roundTrip(RawRequest(big).b(major).b(14).s(0).i(0).done(), answer).empty() || answer[0] != 1) return 0;
  uint32_t visuals = rawGet32(answer, 8, big), per = rawGet32(answer, 12, big);
  for (uint32_t k = 0; k < visuals && per >= 18; k++) {
    auto prop = [&](uint32_t n) { return rawGet32(answer, 32 + 4 * (size_t(k) * per + n), big); };
    if (32 + 4 * (size_t(k) + 1) * per > answer.size()) break;
    if (prop(1) == 4 && prop(2) && prop(3) == 8 && prop(4) == 8 && prop(5) == 8 && !prop(11) == !doubleBuffered &&
        !prop(12) && (!withStencil || prop(15) > 0))
      return prop(0);
  }
  return 0;
}

void lumoraExpectServedAndStop(TarvoProcess &tarvo, bool glx) {
  if (glx) {
    LumoraClient other;
    EXPECT_EQ(other.connect(tarvo.displayNumber(), 'l'), "") << tarvo.log();
    if (other.major) {
      EXPECT_EQ(other.errorOf(RawRequest(false).b(43).b(0).s(0)), 0);
    }
    other.raw.close();
  } else {
    xcb_connection_t *other = xcb_connect(tarvo.displayName().c_str(), nullptr);
    EXPECT_FALSE(xcb_connection_has_error(other));
    xcb_get_input_focus_reply_t *focus = xcb_get_input_focus_reply(other, xcb_get_input_focus(other), nullptr);
    EXPECT_NE(focus, nullptr);
    free(focus);
    xcb_disconnect(other);
  }
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output() << tarvo.log();
}

LumoraConfig lumoraFindConfig(const std::string &display) {
  constexpr uint32_t kDrawableType = 0x8010, kWindowBit = 0x1, kPbufferBit = 0x4, kRenderType = 0x8011,
                     kRgbaBit = 0x1, kFbConfigId = 0x8013, kVisualId = 0x800B, kRedSize = 8;
  LumoraConfig out;
  xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
  if (const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id); glx && glx->present)
    out.firstError = glx->first_error;
  // Visuals of depth 24 on the root's screen.
  std::vector<uint32_t> depth24;
  for (auto d = xcb_screen_allowed_depths_iterator(xcb_setup_roots_iterator(xcb_get_setup(c)).data); d.rem;
       xcb_depth_next(&d))
    if (d.data->depth == 24)
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
        depth24.push_back(v.data->visual_id);
  if (auto *reply = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, 0), nullptr)) {
    const uint32_t *words = xcb_glx_get_fb_configs_property_list(reply);
    for (uint32_t k = 0; k < reply->num_FB_configs && !out.config; k++) {
      std::map<uint32_t, uint32_t> pairs;
      for (uint32_t p = 0; p < reply->num_properties; p++)
        pairs[words[2 * (k * reply->num_properties + p)]] = words[2 * (k * reply->num_properties + p) + 1];
      bool drawable = (pairs[kDrawableType] & (kWindowBit | kPbufferBit)) == (kWindowBit | kPbufferBit);
      bool deep = std::find(depth24.begin(), depth24.end(), pairs[kVisualId]) != depth24.end();
      if (drawable && (pairs[kRenderType] & kRgbaBit) && pairs[kRedSize] == 8 && deep) {
        out.config = pairs[kFbConfigId];
        out.visual = pairs[kVisualId];
      }
    }
    free(reply);
  }
  xcb_disconnect(c);
  return out;
}

std::string LumoraClient::connect(int display, char order) {
  big = order == 'B';
  if (std::string failed = raw.connect(display, order); !failed.empty()) return failed;
  major = raw.queryExtension("GLX");
  return major ? "" : "no GLX";
}

RawBytes LumoraClient::ask(RawRequest request) {
  RawBytes answer;
  std::string failed = raw.roundTrip(request.done(), answer);
  EXPECT_EQ(failed, "");
  return answer;
}

int LumoraClient::errorOf(RawRequest request) {
  RawBytes answer = ask(std::move(request));
  return answer.empty() ? 255 : answer[0] == 0 ? answer[1] : 0;
}

int LumoraClient::errorAfter(const RawBytes &request, int timeoutMs) {
  EXPECT_EQ(raw.send(request), "");
  EXPECT_EQ(raw.send(RawRequest(big).b(43).b(0).s(0).done()), "");  // GetInputFocus
  // Events aside, the first answer is the request's error or GetInputFocus's reply.
  for (RawBytes message; raw.read(message, timeoutMs) == "";) {
    if (message[0] == 0) {
      int code = message[1];
      // The GetInputFocus reply follows.
      while (raw.read(message, timeoutMs) == "" && message[0] != 1) {
      }
      return code;
    }
    if (message[0] == 1) return 0;
  }
  return 255;
}

void LumoraClient::send(RawRequest request) { EXPECT_EQ(raw.send(request.done()), ""); }

void LumoraClient::render(uint32_t tag, const std::vector<GlxCommand> &commands) {
  EXPECT_EQ(raw.send(glxcommandRenderRequest(major, tag, commands, big)), "");
}

uint32_t LumoraClient::newContext(uint32_t config, uint32_t share) {
  uint32_t context = id();
  EXPECT_EQ(errorAfter(glx(kMinorCreateNewContext).i(context).i(config).i(0).i(kRgbaType).i(share).b(0).pad(3)), 0);
  return context;
}

int LumoraClient::renderLarge(uint32_t tag, const GlxCommand &command) {
  uint32_t pieces = uint32_t(glxcommandEncodeLarge(command, big).size() / 65536 + 1);
  std::vector<GlxBytes> requests = glxcommandRenderLargeRequests(major, tag, command, pieces, big);
  for (size_t k = 0; k + 1 < requests.size(); k++) EXPECT_EQ(raw.send(requests[k]), "");
  return errorAfter(requests.back());
}

uint32_t LumoraClient::pbuffer(uint32_t config, uint32_t width, uint32_t height, int *error) {
  uint32_t pbuffer = id();
  int code = errorAfter(glx(kMinorCreatePbuffer).i(0).i(config).i(pbuffer).i(2).i(0x8041).i(width).i(0x8040).i(height));
  if (error) *error = code;
  else EXPECT_EQ(code, 0);
  return pbuffer;
}

uint32_t LumoraClient::window(uint32_t visual) {
  uint32_t colormap = id(), window = id();
  send(RawRequest(big).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual));
  send(RawRequest(big).b(1).b(24).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(64).s(64).s(0).s(1)
           .i(visual).i(0x0002 | 0x0008 | 0x0200 | 0x2000).i(0).i(0).i(1).i(colormap));
  send(RawRequest(big).b(8).b(0).s(0).i(window));
  return window;
}

uint32_t LumoraClient::makeCurrent(uint32_t oldTag, uint32_t draw, uint32_t read, uint32_t context, int *error) {
  RawBytes answer = ask(glx(kMinorMakeContextCurrent).i(oldTag).i(draw).i(read).i(context));
  if (error) *error = answer.empty() ? 255 : answer[0] == 0 ? answer[1] : 0;
  return !answer.empty() && answer[0] == 1 ? word(answer, 8) : 0;
}

uint32_t LumoraClient::currentOnPbuffer(int display, char order, uint32_t config, uint32_t share, uint32_t *context) {
  EXPECT_EQ(connect(display, order), "");
  uint32_t drawable = pbuffer(config, 32, 32);
  uint32_t made = newContext(config, share);
  if (context) *context = made;
  return makeCurrent(0, drawable, drawable, made);
}
