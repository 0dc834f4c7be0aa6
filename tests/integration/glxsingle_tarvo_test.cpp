// GLX single operations through tarvo on Xvfb (indirect GLX, one head): an xcb-glx client and a
// raw client of the other byte order with a current context get each reply at its own sequence
// number, in order, and the connection goes on answering after them.
#include <gtest/gtest.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <cstdlib>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kGlMaxTextureSize = 0x0D33, kGlRgba = 0x1908, kGlUnsignedByte = 0x1401;

TEST(GlxSingleThroughTarvo, RepliesKeepTheClientsSequence) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  XvfbOptions x;
  x.iglx = true;
  x.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(x), "");
  TarvoProcess tarvo;
  ASSERT_EQ(tarvo.start(xvfb.displayName()), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  uint32_t context = xcb_generate_id(c);
  ASSERT_EQ(xcb_request_check(c, xcb_glx_create_context_checked(c, context, screen->root_visual, 0, 0, 0)), nullptr);
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, 0), nullptr);
  ASSERT_NE(current, nullptr);
  uint32_t tag = current->context_tag;
  free(current);

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
  uint32_t rawContext = raw.idBase() | 1;
  ASSERT_EQ(raw.send(RawRequest(true).b(major).b(3).s(0).i(rawContext).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(raw.rootWindow()).i(rawContext).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  uint32_t rawTag = rawGet32(answer, 8, true);
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

}  // namespace
