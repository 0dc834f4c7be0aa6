// GLX single operations through tarvo on Xvfb (indirect GLX, one head): an xcb-glx client and a
// raw client of the other byte order with a current context get each reply at its own sequence
// number, in order, and the connection goes on answering after them. Behind the capturing
// relay, each reply the client gets is the server's reply as the relay passed it, with the
// client's sequence number (and, for the other byte order, every word swapped).
#include <gtest/gtest.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "glx_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kGlMaxTextureSize = 0x0D33, kGlRgba = 0x1908, kGlUnsignedByte = 0x1401;

using CapturedExchange = GlxCaptured;

// The answer the relay passed back to the last captured request of the minor.
RawBytes capturedAnswer(const std::vector<CapturedExchange> &exchanges, uint8_t minor) {
  for (size_t k = exchanges.size(); k-- > 0;)
    if (exchanges[k].request.size() > 1 && exchanges[k].request[1] == minor) return exchanges[k].answer;
  return {};
}

TEST(GlxSingleThroughTarvo, RepliesKeepTheClientsSequence) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartOnGlxXvfb(xvfb, tarvo), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t tag = 0;
  ASSERT_EQ(glxXcbMakeCurrent(c, &tag), "");

  // Several requests in flight at once: each reply is matched by its sequence.
  auto lists = xcb_glx_gen_lists(c, tag, 2);
  xcb_glx_new_list(c, tag, 1, 0x1300);
  xcb_glx_end_list(c, tag);
  auto integer = xcb_glx_get_integerv(c, tag, kGlMaxTextureSize);
  auto glError = xcb_glx_get_error(c, tag);
  xcb_glx_flush(c, tag);
  auto finish = xcb_glx_finish(c, tag);
  xcb_generic_error_t *error = nullptr;
  auto *listsReply = xcb_glx_gen_lists_reply(c, lists, &error);
  EXPECT_NE(listsReply, nullptr);
  EXPECT_EQ(error, nullptr);
  free(listsReply);
  auto *integerReply = xcb_glx_get_integerv_reply(c, integer, &error);
  EXPECT_NE(integerReply, nullptr);
  EXPECT_EQ(error, nullptr);
  free(integerReply);
  auto *errorReply = xcb_glx_get_error_reply(c, glError, &error);
  EXPECT_NE(errorReply, nullptr);
  free(errorReply);
  auto *finishReply = xcb_glx_finish_reply(c, finish, &error);
  EXPECT_NE(finishReply, nullptr);
  free(finishReply);
  // Another client's view of the tag: the proxy refuses it.
  xcb_connection_t *second = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(second));
  auto *foreign = xcb_glx_is_list_reply(second, xcb_glx_is_list(second, tag, 1), &error);
  EXPECT_EQ(foreign, nullptr);
  ASSERT_NE(error, nullptr);
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(second, &xcb_glx_id);
  EXPECT_EQ(error->error_code, glx->first_error + 4);
  free(error);
  free(foreign);
  xcb_disconnect(second);
  xcb_visualid_t visual = screen->root_visual;
  xcb_disconnect(c);

  // A client of the other byte order.
  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t rawTag = 0;
  ASSERT_EQ(glxRawMakeCurrent(raw, major, visual, &rawTag), "");
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(117).s(0).i(rawTag).i(kGlMaxTextureSize).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, true), raw.sequence());
  EXPECT_EQ(rawGet32(answer, 4, true), (answer.size() - 32) / 4);
  // ReadPixels of 4 x 4 RGBA bytes: 64 bytes of data.
  RawRequest read(true);
  read.b(major).b(111).s(0).i(rawTag).i(0).i(0).i(4).i(4).i(kGlRgba).i(kGlUnsignedByte).b(0).b(0).pad(2);
  ASSERT_EQ(raw.roundTrip(read.done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, true), raw.sequence());
  EXPECT_EQ(rawGet32(answer, 4, true), 16u);
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, true), raw.sequence());
  raw.close();
}

// Relay between tarvo and Xvfb, capturing: each single operation's reply reaches the client as
// the server's bytes with the client's sequence number; a client of the other byte order gets
// each word of GetIntegerv's reply swapped.
TEST(GlxSingleThroughTarvo, RepliesAreTheServersBytes) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string capture = xrelayTempDir() + "/capture.txt";
  XrelayServer relay;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindRelay(xvfb, relay, tarvo, capture, 1, "1024x768x24", true), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t tag = 0;
  ASSERT_EQ(glxXcbMakeCurrent(c, &tag), "");
  uint8_t major = xcb_get_extension_data(c, &xcb_glx_id)->major_opcode;

  // minor -> (the client's sequence, the reply's bytes as the client got them)
  std::map<uint8_t, std::pair<uint32_t, RawBytes>> got;
  auto keep = [&](uint8_t minor, uint32_t sequence, void *reply, xcb_generic_error_t *error) {
    ASSERT_NE(reply, nullptr) << int(minor) << " error " << (error ? int(error->error_code) : -1);
    auto *bytes = static_cast<const uint8_t *>(reply);
    size_t size = 32 + 4 * size_t(static_cast<xcb_generic_reply_t *>(reply)->length);
    got[minor] = {sequence, RawBytes(bytes, bytes + size)};
    free(reply);
  };
  xcb_generic_error_t *error = nullptr;
  auto lists = xcb_glx_gen_lists(c, tag, 2);
  keep(XCB_GLX_GEN_LISTS, lists.sequence, xcb_glx_gen_lists_reply(c, lists, &error), error);
  auto finish = xcb_glx_finish(c, tag);
  keep(XCB_GLX_FINISH, finish.sequence, xcb_glx_finish_reply(c, finish, &error), error);
  auto booleans = xcb_glx_get_booleanv(c, tag, 0x0B71);  // GL_DEPTH_TEST
  keep(XCB_GLX_GET_BOOLEANV, booleans.sequence, xcb_glx_get_booleanv_reply(c, booleans, &error), error);
  auto doubles = xcb_glx_get_doublev(c, tag, 0x0BA6);  // GL_MODELVIEW_MATRIX: 16 values
  keep(XCB_GLX_GET_DOUBLEV, doubles.sequence, xcb_glx_get_doublev_reply(c, doubles, &error), error);
  auto glError = xcb_glx_get_error(c, tag);
  keep(XCB_GLX_GET_ERROR, glError.sequence, xcb_glx_get_error_reply(c, glError, &error), error);
  auto floats = xcb_glx_get_floatv(c, tag, 0x0C22);  // GL_COLOR_CLEAR_VALUE: 4 values
  keep(XCB_GLX_GET_FLOATV, floats.sequence, xcb_glx_get_floatv_reply(c, floats, &error), error);
  auto integer = xcb_glx_get_integerv(c, tag, kGlMaxTextureSize);
  keep(XCB_GLX_GET_INTEGERV, integer.sequence, xcb_glx_get_integerv_reply(c, integer, &error), error);
  auto light = xcb_glx_get_lightfv(c, tag, 0x4000, 0x1200);  // GL_LIGHT0, GL_AMBIENT
  keep(XCB_GLX_GET_LIGHTFV, light.sequence, xcb_glx_get_lightfv_reply(c, light, &error), error);
  auto texture = xcb_glx_get_tex_parameteriv(c, tag, 0x0DE1, 0x2801);  // GL_TEXTURE_2D, MIN_FILTER
  keep(XCB_GLX_GET_TEX_PARAMETERIV, texture.sequence, xcb_glx_get_tex_parameteriv_reply(c, texture, &error), error);
  auto isList = xcb_glx_is_list(c, tag, 1);
  keep(XCB_GLX_IS_LIST, isList.sequence, xcb_glx_is_list_reply(c, isList, &error), error);
  xcb_visualid_t visual = screen->root_visual;
  xcb_disconnect(c);

  auto exchanges = glxCaptured(capture, major);
  for (auto &[minor, entry] : got) {
    SCOPED_TRACE(int(minor));
    RawBytes expected = capturedAnswer(exchanges, minor);
    ASSERT_GE(expected.size(), 32u);
    EXPECT_EQ(expected[0], 1);
    expected[2] = uint8_t(entry.first);
    expected[3] = uint8_t(entry.first >> 8);
    EXPECT_EQ(entry.second, expected);
  }

  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  ASSERT_EQ(raw.queryExtension("GLX"), major);
  uint32_t rawTag = 0;
  ASSERT_EQ(glxRawMakeCurrent(raw, major, visual, &rawTag), "");
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(117).s(0).i(rawTag).i(kGlMaxTextureSize).done(), answer), "");
  RawBytes expected = capturedAnswer(glxCaptured(capture, major), 117);
  ASSERT_EQ(answer.size(), expected.size());
  ASSERT_GE(answer.size(), 32u);
  EXPECT_EQ(answer[0], expected[0]);
  EXPECT_EQ(rawGet16(answer, 2, true), raw.sequence());
  for (size_t at = 4; at < answer.size(); at += 4)
    EXPECT_EQ(rawGet32(answer, at, true), rawGet32(expected, at, false)) << at;
  raw.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

}  // namespace
