// Frame converters on images read from Xvfb: a pattern drawn on a pixmap of a depth-24 and of
// a depth-16 screen, read back with XGetImage, converted to rgb24, yuv420p and YUV4MPEG2.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "conversions/conversion.h"
#include "conversions/rgb24toyuv.h"
#include "xvfb_fixture.h"
#include "../unit/yuv_helpers.h"

namespace {

int released = 0;
void releaseImage(void *data) {
  released++;
  XDestroyImage(static_cast<XImage *>(data));
}

// Colours exact at 5-6-5 bits, so both depths show them unchanged.
const uint8_t kColours[][3] = {{0, 0, 0},   {248, 0, 0},      {0, 252, 0},   {0, 0, 248},
                               {248, 252, 248}, {128, 64, 200}, {40, 180, 96}};
constexpr int kWidth = 37, kHeight = 21;

// The pattern: vertical bands of five columns cycling through the colours, and a rectangle of
// the sixth colour at 10, 5 of 9 x 7.
int colourAt(int x, int y) {
  if (x >= 10 && x < 19 && y >= 5 && y < 12) return 5;
  return (x / 5) % 7;
}

unsigned long pixelOf(const Visual *visual, const uint8_t *rgb) {
  unsigned long pixel = 0, masks[3] = {visual->red_mask, visual->green_mask, visual->blue_mask};
  for (int c = 0; c < 3; c++) {
    int low = __builtin_ctzl(masks[c]), bits = __builtin_popcountl(masks[c]);
    pixel |= (static_cast<unsigned long>(rgb[c]) >> (8 - bits)) << low;
  }
  return pixel;
}

class ConversionDisplayTest : public ::testing::Test {
 protected:
  XvfbServer server;
  Display *display = nullptr;
  std::string dir;
  MultimediaStream stream{};

  void SetUp() override {
    XvfbOptions options;
    options.screens = {"64x48x24", "64x48x16"};
    ASSERT_EQ(server.start(options), "");
    display = XOpenDisplay(server.displayName().c_str());
    ASSERT_NE(display, nullptr);
    char pattern[] = "/tmp/conversionXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    setenv(kRgb24toyuvVariable, dir.c_str(), 1);
    conversionYuvInit(&stream);
    ASSERT_EQ(multimediaStreamError(&stream), nullptr);
  }
  void TearDown() override {
    conversionYuvFree(nullptr);
    if (display) XCloseDisplay(display);
    std::filesystem::remove_all(dir);
  }

  // The pattern drawn on a pixmap of the screen and read back; the expected packed RGB.
  XImage *drawnImage(int screen, std::vector<uint8_t> *expected) {
    Visual *visual = DefaultVisual(display, screen);
    int depth = DefaultDepth(display, screen);
    Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), kWidth, kHeight, unsigned(depth));
    GC gc = XCreateGC(display, pixmap, 0, nullptr);
    expected->clear();
    for (int y = 0; y < kHeight; y++)
      for (int x = 0; x < kWidth; x++) {
        const uint8_t *rgb = kColours[colourAt(x, y)];
        XSetForeground(display, gc, pixelOf(visual, rgb));
        XDrawPoint(display, pixmap, gc, x, y);
        expected->insert(expected->end(), rgb, rgb + 3);
      }
    XImage *image = XGetImage(display, pixmap, 0, 0, kWidth, kHeight, AllPlanes, ZPixmap);
    if (image) {  // XGetImage knows no visual: the producer names the channels
      image->red_mask = visual->red_mask;
      image->green_mask = visual->green_mask;
      image->blue_mask = visual->blue_mask;
    }
    XFreeGC(display, gc);
    XFreePixmap(display, pixmap);
    return image;
  }
};

TEST_F(ConversionDisplayTest, DrawnPatternOnBothDepths) {
  for (int screen = 0; screen < 2; screen++) {
    SCOPED_TRACE("screen " + std::to_string(screen) + ", depth " + std::to_string(DefaultDepth(display, screen)));
    std::vector<uint8_t> expected;
    released = 0;
    XImage *image = drawnImage(screen, &expected);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->depth, screen == 0 ? 24 : 16);
    uint32_t length = uint32_t(image->bytes_per_line) * uint32_t(image->height);
    MultimediaFrame *rgb = conversionXlibToRgb24(nullptr, multimediaWrapFrame(&stream, image, length, releaseImage));
    ASSERT_NE(rgb, nullptr);
    const uint8_t *data = static_cast<const uint8_t *>(rgb->data);
    EXPECT_EQ(std::vector<uint8_t>(data, data + rgb->length), expected);
    multimediaReleaseFrame(rgb);

    image = drawnImage(screen, &expected);
    MultimediaFrame *frame = multimediaWrapFrame(&stream, image, length, releaseImage);
    multimediaMarkFirstFrame(frame);
    MultimediaFrame *mpeg = conversionXlibToYuv4mpeg2(nullptr, frame);
    ASSERT_NE(mpeg, nullptr);
    std::string header = "YUV4MPEG2 W37 H21 F24:1 Ip A1:1\n", bytes(static_cast<const char *>(mpeg->data), mpeg->length);
    std::vector<uint8_t> planes = referenceYuv420p(expected, kWidth, kHeight);
    EXPECT_EQ(bytes, (screen == 0 ? header : "") + "FRAME\n" + std::string(planes.begin(), planes.end()));
    multimediaReleaseFrame(mpeg);
    EXPECT_EQ(released, 2);
  }
}

}  // namespace
