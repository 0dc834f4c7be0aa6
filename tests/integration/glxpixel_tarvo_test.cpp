// Pixel data through tarvo on Xvfb (indirect GLX, one head, a capturing relay in between): a
// client of the other byte order has its ReadPixels reach the server with the swap-bytes flag
// turned, so that the server packs the pixels in the client's order (or, asked to swap, in the
// other), and gets the server's pixel bytes unchanged with only the reply header in its order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "glx_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint32_t kGlRgba = 0x1908, kGlFloat = 0x1406;
constexpr uint8_t kReadPixels = 111;

TEST(GlxPixelThroughTarvo, OtherOrderClientGetsPixelsPackedForIt) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string capture = xrelayTempDir() + "/capture.txt";
  XrelayServer relay;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindRelay(xvfb, relay, tarvo, capture, 1, "1024x768x24", true), "");

  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  const RawBytes &setup = raw.setup();
  size_t vendor = rawGet16(setup, 24, true), formats = setup[29];
  uint32_t visual = rawGet32(setup, 40 + ((vendor + 3) & ~size_t(3)) + 8 * formats + 32, true);
  uint32_t tag = 0;
  ASSERT_EQ(glxRawMakeCurrent(raw, major, visual, &tag), "");
  RawBytes answer;

  // 2 x 2 RGBA floats, first in the client's own order (flag 0), then in the other (flag 1).
  // (Xvfb's pixel values carry no meaning: what counts is the flag it gets and that its bytes
  // pass unchanged.)
  std::vector<RawBytes> got;
  for (uint8_t swapBytes : {0, 1}) {
    RawRequest read(true);
    read.b(major).b(kReadPixels).s(0).i(tag).i(0).i(0).i(2).i(2).i(kGlRgba).i(kGlFloat).b(swapBytes).b(0).pad(2);
    ASSERT_EQ(raw.roundTrip(read.done(), answer), "");
    ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
    EXPECT_EQ(rawGet16(answer, 2, true), raw.sequence());
    EXPECT_EQ(rawGet32(answer, 4, true), 16u);
    got.push_back(answer);
  }
  raw.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();

  auto exchanges = glxCaptured(capture, major, kReadPixels);
  ASSERT_EQ(exchanges.size(), 2u);
  for (size_t k = 0; k < 2; k++) {
    SCOPED_TRACE(k);
    const RawBytes &request = exchanges[k].request, &expected = exchanges[k].answer;
    ASSERT_EQ(request.size(), 36u);
    EXPECT_EQ(request[32], k == 0 ? 1 : 0);
    ASSERT_EQ(got[k].size(), expected.size());
    EXPECT_EQ(rawGet32(got[k], 4, true), rawGet32(expected, 4, false));
    EXPECT_TRUE(std::equal(expected.begin() + 8, expected.end(), got[k].begin() + 8));
  }
}

}  // namespace
