// GLX vendor-private requests through tarvo against Xvfb (+iglx), with an xcb-glx client: the
// SGIX context is one that IsDirect and MakeCurrent accept, MakeCurrentRead releases its tag
// without an error, an unknown code gets the error Xvfb gives, and the head query answers. On two
// screens of one Xvfb joined as two heads, behind the capturing relay, a client of the other byte
// order gets one answer per request and the copies reach Xvfb in the forms it serves.
#include <gtest/gtest.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "glx_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
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

// The FBConfig whose visual is the one given, else 0.
uint32_t configOfVisual(xcb_connection_t *c, uint32_t screen, uint32_t visual) {
  uint32_t found = 0;
  auto *r = xcb_glx_get_fb_configs_reply(c, xcb_glx_get_fb_configs(c, screen), nullptr);
  if (!r) return 0;
  const uint32_t *v = xcb_glx_get_fb_configs_property_list(r);
  for (uint32_t k = 0; k < r->num_FB_configs && !found; k++) {
    uint32_t id = 0, own = 0;
    for (uint32_t p = 0; p < r->num_properties; p++) {
      const uint32_t *pair = v + (k * r->num_properties + p) * 2;
      if (pair[0] == kFbConfigId) id = pair[1];
      if (pair[0] == kVisualId) own = pair[1];
    }
    if (own == visual) found = id;
  }
  free(r);
  return found;
}

// The error code of vendor code 65536 on minor 16 (tag 0), 0 for none.
int unknownCodeError(xcb_connection_t *c) {
  uint8_t data[4] = {};
  return errorOf(c, xcb_glx_vendor_private_checked(c, 65536, 0, sizeof data, data));
}

// The same under the tag of a context current on the first screen's root window.
int unknownCodeErrorWhenCurrent(xcb_connection_t *c) {
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t context = xcb_generate_id(c);
  xcb_glx_create_context(c, context, screen->root_visual, 0, 0, 0);
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, screen->root, context, 0), nullptr);
  if (!current) return 0;
  uint32_t tag = current->context_tag;
  free(current);
  uint8_t data[4] = {};
  return errorOf(c, xcb_glx_vendor_private_checked(c, 65536, tag, sizeof data, data));
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

// The requests of the major opcode that the relay passed, in order, with their connections
// (the bytes as they passed, in Xvfb's order: this machine's).
using Captured = std::vector<std::pair<int, RawBytes>>;
Captured capturedRequests(const std::string &file, uint8_t major) {
  Captured requests;
  for (const GlxCaptured &c : glxCaptured(file, major)) requests.push_back({c.conn, c.request});
  return requests;
}

// Sends the request and a GetInputFocus: *answer is the request's reply or error, which must
// carry its sequence number and be followed at once by GetInputFocus's reply (one answer per
// request). "" or what went wrong.
std::string answerOnce(RawClient &raw, const RawBytes &request, RawBytes *answer) {
  bool big = raw.big();
  if (std::string e = raw.send(request); !e.empty()) return e;
  uint16_t sequence = raw.sequence();
  if (std::string e = raw.send(RawRequest(big).b(43).b(0).s(1).done()); !e.empty()) return e;
  if (std::string e = raw.read(*answer); !e.empty()) return e;
  if ((*answer)[0] > 1) return "event " + std::to_string((*answer)[0]);
  if (rawGet16(*answer, 2, big) != sequence)
    return "no answer (type " + std::to_string((*answer)[0]) + " at " + std::to_string(rawGet16(*answer, 2, big)) + ")";
  RawBytes next;
  if (std::string e = raw.read(next); !e.empty()) return e;
  if (next[0] != 1 || rawGet16(next, 2, big) != raw.sequence())
    return "a second answer (type " + std::to_string(next[0]) + ", code " + std::to_string(next[1]) + ")";
  return "";
}

// Sends a request that has no reply and a GetInputFocus: "" when GetInputFocus's reply is the
// next message (no error came).
std::string noAnswer(RawClient &raw, const RawBytes &request) {
  bool big = raw.big();
  if (std::string e = raw.send(request); !e.empty()) return e;
  if (std::string e = raw.send(RawRequest(big).b(43).b(0).s(1).done()); !e.empty()) return e;
  RawBytes next;
  if (std::string e = raw.read(next); !e.empty()) return e;
  if (next[0] != 1 || rawGet16(next, 2, big) != raw.sequence())
    return "an answer (type " + std::to_string(next[0]) + ", code " + std::to_string(next[1]) + ")";
  return "";
}

TEST(GlxVendorThroughTarvo, TwoHeadsAnswerOnceAndServeEachHead) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string capture = xrelayTempDir() + "/capture.txt";
  XrelayServer relay;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindRelay(xvfb, relay, tarvo, capture, 2, "320x240x24", true), "");

  xcb_connection_t *behind = xcb_connect(xvfb.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(behind));
  const xcb_query_extension_reply_t *realGlx = xcb_get_extension_data(behind, &xcb_glx_id);
  ASSERT_TRUE(realGlx && realGlx->present);
  uint8_t realMajor = realGlx->major_opcode;
  int unsupported = unknownCodeErrorWhenCurrent(behind) - realGlx->first_error;
  ASSERT_GT(unsupported, 0);
  xcb_disconnect(behind);
  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  uint8_t firstError = xcb_get_extension_data(c, &xcb_glx_id)->first_error;
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t visual = screen->root_visual, config = configOfVisual(c, 0, visual);
  ASSERT_NE(config, 0u);
  xcb_disconnect(c);

  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  auto glx = [&](uint8_t minor) { return std::move(RawRequest(true).b(major).b(minor).s(0)); };
  auto vendor = [&](uint8_t minor, uint32_t code, uint32_t tag) { return std::move(glx(minor).i(code).i(tag)); };
  uint32_t window = raw.idBase() | 1, context = raw.idBase() | 2, sgixContext = raw.idBase() | 3;
  uint32_t pixmap = raw.idBase() | 4, glxPixmap = raw.idBase() | 5, readContext = raw.idBase() | 6;
  RawRequest create(true);
  create.b(1).b(0).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(64).s(64).s(0).s(1).i(0).i(0);
  ASSERT_EQ(raw.send(create.done()), "");
  ASSERT_EQ(raw.send(glx(3).i(context).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  RawBytes answer;
  ASSERT_EQ(answerOnce(raw, glx(5).i(window).i(context).i(0).done(), &answer), "");
  ASSERT_EQ(answer[0], 1);
  uint32_t tag = rawGet32(answer, 8, true);

  // Codes relayed to both heads with a reply: one reply each.
  for (uint32_t code : {1423u, 1304u}) {
    SCOPED_TRACE(code);
    ASSERT_EQ(answerOnce(raw, vendor(17, code, tag).i(1).done(), &answer), "");
    EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  }
  // The EXT texture calls: two names, a texture query, a resident query, a delete.
  ASSERT_EQ(answerOnce(raw, vendor(17, 13, tag).i(2).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answer.size(), 40u);
  uint32_t name = rawGet32(answer, 32, true);
  ASSERT_EQ(answerOnce(raw, vendor(17, 14, tag).i(name).done(), &answer), "");
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answerOnce(raw, vendor(17, 11, tag).i(1).i(name).done(), &answer), "");
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(noAnswer(raw, vendor(16, 12, tag).i(1).i(name).done()), "");
  // An unknown code on both heads: the one error Xvfb gives.
  ASSERT_EQ(answerOnce(raw, vendor(16, 65536, tag).i(0).done(), &answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1] - firstError, unsupported);
  // CopySubBuffer of the window.
  EXPECT_EQ(noAnswer(raw, vendor(16, 5154, tag).i(window).i(0).i(0).i(8).i(8).done()), "");

  // The SGIX context and GLX pixmap on minor 17, as Mesa sends them: IsDirect and MakeCurrent
  // accept them.
  EXPECT_EQ(noAnswer(raw, vendor(17, 0x10005, 0).i(sgixContext).i(config).i(0).i(0x8014).i(0).i(0).done()), "");
  ASSERT_EQ(answerOnce(raw, glx(6).i(sgixContext).done(), &answer), "");
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(raw.send(RawRequest(true).b(53).b(24).s(0).i(pixmap).i(raw.rootWindow()).s(16).s(16).done()), "");
  EXPECT_EQ(noAnswer(raw, vendor(17, 0x10006, 0).i(0).i(config).i(pixmap).i(glxPixmap).done()), "");
  ASSERT_EQ(answerOnce(raw, glx(5).i(glxPixmap).i(sgixContext).i(0).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  uint32_t pixmapTag = rawGet32(answer, 8, true);
  EXPECT_NE(pixmapTag, 0u);
  // MakeCurrentRead binds a context of its own; of nothing, it releases it with tag 0 and no
  // error on either head; the old tag is gone.
  ASSERT_EQ(raw.send(glx(3).i(readContext).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  ASSERT_EQ(answerOnce(raw, vendor(17, 0x10001, 0).i(window).i(window).i(readContext).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  uint32_t readTag = rawGet32(answer, 8, true);
  EXPECT_NE(readTag, 0u);
  EXPECT_EQ(noAnswer(raw, glx(8).i(readTag).done()), "");  // WaitGL
  ASSERT_EQ(answerOnce(raw, vendor(17, 0x10001, readTag).i(0).i(0).i(0).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(rawGet32(answer, 8, true), 0u);
  ASSERT_EQ(answerOnce(raw, glx(8).i(readTag).done(), &answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], firstError + 4);  // GLXBadContextTag

  // The current SGIX context destroyed, then released.
  EXPECT_EQ(noAnswer(raw, glx(4).i(sgixContext).done()), "");
  ASSERT_EQ(answerOnce(raw, glx(5).i(0).i(0).i(pixmapTag).done(), &answer), "");
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);

  // What reached Xvfb so far (the relay writes as it passes: the last request is in once the
  // client has its answer).
  Captured all = capturedRequests(capture, realMajor), windows = capturedRequests(capture, 1);
  auto code = [](const RawBytes &r) { return r.size() >= 8 ? rawGet32(r, 4, false) : 0; };
  // The client's display connection: the one that carried 1423 (tarvo's own comes first).
  int connection = -1;
  for (auto &[conn, r] : all)
    if (r[1] == 17 && code(r) == 1423) connection = conn;
  std::vector<RawBytes> sent;
  std::string shown;  // what a failure prints: minor, then words 4, 8 and 12
  for (auto &[conn, r] : all) {
    if (conn != connection) continue;
    sent.push_back(r);
    char line[80];
    snprintf(line, sizeof line, "%u %x %x %x\n", r[1], code(r), r.size() >= 12 ? rawGet32(r, 8, false) : 0,
             r.size() >= 16 ? rawGet32(r, 12, false) : 0);
    shown += line;
  }
  auto count = [&](uint8_t minor, uint32_t vendorCode) {
    int n = 0;
    for (const RawBytes &r : sent)
      if (r.size() >= 8 && r[1] == minor && (minor != 16 && minor != 17 ? true : code(r) == vendorCode)) n++;
    return n;
  };
  EXPECT_EQ(count(145, 0), 2) << shown;  // GenTextures: every head
  EXPECT_EQ(count(146, 0), 1) << shown;  // IsTexture: the reply head
  EXPECT_EQ(count(143, 0), 1) << shown;  // AreTexturesResident: the reply head
  EXPECT_EQ(count(144, 0), 2) << shown;  // DeleteTextures: every head
  for (uint32_t texture : {11u, 12u, 13u, 14u}) EXPECT_EQ(count(16, texture) + count(17, texture), 0) << texture;
  std::set<uint32_t> tags1423, drawables5154, serverWindows;
  for (auto &[conn, r] : windows)
    if (conn == connection && r.size() >= 8) serverWindows.insert(rawGet32(r, 4, false));
  for (const RawBytes &r : sent) {
    if (r.size() >= 12 && r[1] == 17 && code(r) == 1423) tags1423.insert(rawGet32(r, 8, false));
    if (r.size() >= 16 && r[1] == 16 && code(r) == 5154) {
      uint32_t drawable = rawGet32(r, 12, false);
      EXPECT_TRUE(serverWindows.count(drawable)) << std::hex << drawable;
      drawables5154.insert(drawable);
    }
  }
  EXPECT_EQ(tags1423.size(), 2u) << shown;  // each head's own tag
  EXPECT_FALSE(tags1423.count(0));
  EXPECT_EQ(drawables5154.size(), 2u) << shown;  // each head's window
  // The current context's DestroyContext copies leave after its release (the last MakeCurrent
  // of context 0 with an old tag: the pixmap's).
  size_t lastRelease = 0, firstDestroy = sent.size();
  for (size_t k = 0; k < sent.size(); k++) {
    const RawBytes &r = sent[k];
    if (r.size() >= 16 && r[1] == 5 && rawGet32(r, 8, false) == 0 && rawGet32(r, 12, false) != 0) lastRelease = k;
    if (r.size() >= 8 && r[1] == 4 && firstDestroy == sent.size()) firstDestroy = k;
  }
  ASSERT_LT(firstDestroy, sent.size()) << shown;
  EXPECT_GT(firstDestroy, lastRelease) << shown;
  // The head query: two heads, the window twice; then screen 1 is the second head.
  ASSERT_EQ(answerOnce(raw, vendor(17, 2053, 0).i(window).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  ASSERT_EQ(answer.size(), 76u);
  EXPECT_EQ(rawGet32(answer, 8, true), 2u);
  EXPECT_EQ(rawGet32(answer, 12, true), window);
  EXPECT_EQ(rawGet32(answer, 16, true), window);
  EXPECT_EQ(rawGet32(answer, 20, true), 0u);
  ASSERT_EQ(answerOnce(raw, glx(21).i(1).done(), &answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_GT(rawGet32(answer, 8, true), 0u);
  raw.close();

  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
