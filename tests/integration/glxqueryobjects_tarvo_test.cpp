// Occlusion queries through tarvo on an Xvfb of two screens joined into one meta screen of two
// heads (indirect GLX): GenQueries goes to both heads, and a client of either byte order gets
// exactly one reply, at its own sequence number, with the three names it asked for.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

TEST(GlxQueryObjectsThroughTarvo, GenQueriesOnTwoHeadsAnswersOnce) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  XvfbOptions x;
  x.screens = {"320x240x24", "320x240x24"};
  x.iglx = true;
  x.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(x), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "tags", "anyScreen"};
  ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_setup_t *setup = xcb_get_setup(c);
  ASSERT_EQ(xcb_setup_roots_length(setup), 1);  // one meta screen over both heads
  xcb_visualid_t visual = xcb_setup_roots_iterator(setup).data->root_visual;
  xcb_disconnect(c);

  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    bool big = order == 'B';
    RawClient raw;
    ASSERT_EQ(raw.connect(tarvo.displayNumber(), order), "");
    uint8_t major = raw.queryExtension("GLX");
    ASSERT_NE(major, 0);
    uint32_t context = raw.idBase() | 1;
    ASSERT_EQ(raw.send(RawRequest(big).b(major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done()), "");
    RawBytes answer;
    ASSERT_EQ(raw.roundTrip(RawRequest(big).b(major).b(5).s(0).i(raw.rootWindow()).i(context).i(0).done(), answer),
              "");
    ASSERT_EQ(answer[0], 1);
    uint32_t tag = rawGet32(answer, 8, big);

    // The names are the server's business (Xvfb's GL of an indirect context leaves them
    // unset); what counts is one reply of three names, the reply head's, and nothing after it:
    // the next message is GetInputFocus's own reply.
    for (int round = 0; round < 2; round++) {
      ASSERT_EQ(raw.send(RawRequest(big).b(major).b(162).s(0).i(tag).i(3).done()), "");
      uint16_t genQueries = raw.sequence();
      ASSERT_EQ(raw.send(RawRequest(big).b(43).b(0).s(1).done()), "");
      ASSERT_EQ(raw.read(answer), "");
      ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
      EXPECT_EQ(rawGet16(answer, 2, big), genQueries);
      EXPECT_EQ(rawGet32(answer, 4, big), 3u);
      EXPECT_EQ(answer.size(), 44u);
      ASSERT_EQ(raw.read(answer), "");
      EXPECT_EQ(answer[0], 1);
      EXPECT_EQ(answer.size(), 32u);
      EXPECT_EQ(rawGet16(answer, 2, big), raw.sequence());
    }
    raw.close();
  }
}

}  // namespace
