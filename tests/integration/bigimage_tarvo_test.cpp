// Images of several megabytes through the real tarvo: a PutImage of a 1024x768 ZPixmap (3 MB)
// in the BIG-REQUESTS form into a pixmap and its GetImage give back the same pixels, from raw
// clients of both byte orders, with one head and with two.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kCreatePixmap = 53, kCreateGC = 55, kPutImage = 72, kGetImage = 73;
constexpr uint16_t kWidth = 1024, kHeight = 768;
constexpr int kAnswerMs = 20000;

class BigImageThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override { ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, GetParam(), "1024x768x24"), ""); }
  void TearDown() override {
    EXPECT_EQ(tarvo.stop(), 0);
    std::string output = tarvo.output();
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << output;
  }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_P(BigImageThroughTarvo, ThreeMegabytePutImageComesBackWhole) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(std::string(1, order));
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order, kAnswerMs), "");
    bool big = c.big();
    ASSERT_GT(c.enableBigRequests(), uint32_t(kWidth) * kHeight + 6) << "BIG-REQUESTS too small for the image";
    // The server's image byte order (setup byte 30) places the pad byte of each 32-bit pixel.
    bool msbImage = c.setup().at(30) == 1;
    uint32_t pixmap = c.idBase() | 1, gc = c.idBase() | 2;
    ASSERT_EQ(c.send(RawRequest(big).b(kCreatePixmap).b(24).s(0).i(pixmap).i(c.rootWindow()).s(kWidth).s(kHeight).done()), "");
    ASSERT_EQ(c.send(RawRequest(big).b(kCreateGC).b(0).s(0).i(gc).i(pixmap).i(0).done()), "");
    std::mt19937 random(order == 'B' ? 7 : 3);
    RawBytes pixels(size_t(kWidth) * kHeight * 4);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = uint8_t(random());
    for (size_t i = 0; i < pixels.size(); i += 4) pixels[i + (msbImage ? 0 : 3)] = 0;
    RawRequest put(big);
    put.b(kPutImage).b(2).s(0).i(pixmap).i(gc).s(kWidth).s(kHeight).s(0).s(0).b(0).b(24).s(0);
    put.d.insert(put.d.end(), pixels.begin(), pixels.end());
    ASSERT_EQ(c.send(rawBigForm(put.done(), big), kAnswerMs), "");
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(kGetImage).b(2).s(0).i(pixmap).s(0).s(0).s(kWidth).s(kHeight).i(~0u).done(),
                          answer, kAnswerMs),
              "");
    ASSERT_EQ(answer.at(0), 1) << "error " << int(answer.at(1));
    EXPECT_EQ(answer.at(1), 24);
    ASSERT_EQ(answer.size(), 32 + pixels.size());
    size_t differing = 0;
    for (size_t i = 0; i < pixels.size(); i++) {
      bool pad = i % 4 == (msbImage ? 0 : 3);
      if (!pad && answer[32 + i] != pixels[i]) differing++;
    }
    EXPECT_EQ(differing, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, BigImageThroughTarvo, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &info) { return std::to_string(info.param) + "Head"; });

}  // namespace
