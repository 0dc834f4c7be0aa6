// The remote-control library's pieces that need no server: UTF-8 decoding, character keysyms,
// keysym names and image records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "xclient/xrclibcursors.h"
#include "xclient/xrclibkeys.h"

namespace {

TEST(XrclibUnit, Utf8Decoding) {
  struct Case {
    const char *what;
    std::string bytes;
    int length;
    unsigned code;
  } cases[] = {
      {"ascii", "a", 1, 'a'},
      {"two bytes", "\xc3\xb1", 2, 0xf1},
      {"three bytes", "\xe2\x98\xba", 3, 0x263a},
      {"four bytes", "\xf0\x9f\x98\x80", 4, 0x1f600},
      {"largest", "\xf4\x8f\xbf\xbf", 4, 0x10ffff},
      {"cut two", "\xc3", 0, 0},
      {"cut four", "\xf0\x9f\x98", 0, 0},
      {"overlong slash", "\xc0\xaf", 0, 0},
      {"overlong three", "\xe0\x80\xaf", 0, 0},
      {"surrogate", "\xed\xa0\x80", 0, 0},
      {"above range", "\xf4\x90\x80\x80", 0, 0},
      {"lone continuation", "\x80", 0, 0},
      {"bad continuation", "\xc3\x28", 0, 0},
      {"f8 lead", "\xf8\x88\x80\x80\x80", 0, 0},
  };
  for (const Case &c : cases) {
    unsigned code = 0;
    // The buffer ends exactly after the bytes: nothing beyond may be read (ASan checks).
    char *copy = static_cast<char *>(malloc(c.bytes.size() ? c.bytes.size() : 1));
    memcpy(copy, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(xrcDecodeUtf8(copy, copy + c.bytes.size(), &code), c.length) << c.what;
    if (c.length) {
      EXPECT_EQ(code, c.code) << c.what;
    }
    free(copy);
  }
}

TEST(XrclibUnit, CharacterKeysymsAndNames) {
  EXPECT_EQ(xrcCharKeysym(8), 0xff08u);      // BackSpace
  EXPECT_EQ(xrcCharKeysym(9), 0xff09u);      // Tab
  EXPECT_EQ(xrcCharKeysym(10), 0xff0du);     // Return
  EXPECT_EQ(xrcCharKeysym(11), 0xff0bu);     // Clear
  EXPECT_EQ(xrcCharKeysym(0xf1), 0xf1u);
  EXPECT_EQ(xrcCharKeysym(0x20ac), 0x20acu);
  EXPECT_EQ(xrcCharKeysym(0x263a), 0x100263au);
  EXPECT_STREQ(xrcKeysymName(0), "NoSymbol");
  EXPECT_STREQ(xrcKeysymName(0xaae), "ellipsis");
  EXPECT_STREQ(xrcKeysymName(0x263a), "U263A");
  EXPECT_STREQ(xrcKeysymName(0x100263a), "U263A");
  EXPECT_STREQ(xrcKeysymName(0x61), "a");
  // The name reads back as the same keysym.
  EXPECT_EQ(xrcKeysymByName(xrcKeysymName(0x100263a)), 0x100263au);
  EXPECT_EQ(xrcKeysymByName("return"), 0xff0du);
  EXPECT_EQ(xrcKeysymByName("nonsense_name"), 0u);
  EXPECT_EQ(xrcNextKeysym(0), 32u);
  EXPECT_EQ(xrcNextKeysym(126), 160u);
  EXPECT_EQ(xrcNextKeysym(0x20ac), 0u);
  KeySym walked = 0;
  int steps = 0;
  while ((walked = xrcNextKeysym(walked)) != 0 && steps < 5000) steps++;
  EXPECT_GT(steps, 500);
  EXPECT_LT(steps, 5000);
}

XrcImage imageOf(uint16_t width, uint16_t height, uint16_t depth) {
  XrcImage image{};
  image.width = width;
  image.height = height;
  image.depth = depth;
  image.format = ZPixmap;
  return image;
}

TEST(XrclibUnit, ImageRecordsCopyAssignGrowFree) {
  XrcImage big = imageOf(65535, 65535, 32);
  EXPECT_EQ(xrcImageDataSize(&big), uint64_t{65535} * 4 * 65535);
  EXPECT_EQ(xrcImageMaskSize(&big), uint64_t{8192} * 65535);
  // A huge image with data is refused, not allocated (and nothing is left behind).
  char byte = 0;
  big.data = &byte;
  XrcImage target{};
  EXPECT_NE(xrcCopyImages(&target, &big, 1), nullptr);
  EXPECT_EQ(target.data, nullptr);

  XrcImage images[3] = {imageOf(3, 2, 8), imageOf(9, 2, 1), imageOf(0, 0, 1)};
  images[0].data = static_cast<char *>(malloc(6));
  memcpy(images[0].data, "abcdef", 6);
  images[0].mask = static_cast<char *>(malloc(2));
  memcpy(images[0].mask, "MN", 2);
  images[1].data = static_cast<char *>(malloc(4));  // shared: data and mask 4 bytes
  memcpy(images[1].data, "wxyz", 4);
  images[1].mask = images[1].data;
  XrcImage copies[3];
  ASSERT_EQ(xrcCopyImages(copies, images, 3), nullptr);
  EXPECT_EQ(memcmp(copies[0].data, "abcdef", 6), 0);
  EXPECT_EQ(memcmp(copies[0].mask, "MN", 2), 0);
  EXPECT_NE(copies[0].data, images[0].data);
  EXPECT_EQ(copies[1].mask, copies[1].data);
  EXPECT_NE(copies[1].data, images[1].data);
  EXPECT_EQ(memcmp(copies[1].data, "wxyz", 4), 0);
  EXPECT_EQ(copies[2].data, nullptr);

  // Assigning over a record frees its old buffers; assigning a record to itself keeps it.
  ASSERT_EQ(xrcAssignImage(&copies[0], &images[1]), nullptr);
  EXPECT_EQ(copies[0].mask, copies[0].data);
  EXPECT_EQ(copies[0].width, 9);
  ASSERT_EQ(xrcAssignImage(&copies[0], &copies[0]), nullptr);
  EXPECT_EQ(memcmp(copies[0].data, "wxyz", 4), 0);

  XrcImage *array = nullptr;
  ASSERT_EQ(xrcGrowImages(&array, 0, 2), nullptr);
  ASSERT_EQ(xrcCopyImages(array, images, 2), nullptr);
  ASSERT_EQ(xrcGrowImages(&array, 2, 5), nullptr);
  EXPECT_EQ(array[4].data, nullptr);
  EXPECT_EQ(memcmp(array[1].data, "wxyz", 4), 0);
  ASSERT_EQ(xrcGrowImages(&array, 5, 1), nullptr);  // drops (and frees) the shared one
  EXPECT_NE(xrcGrowImages(&array, 1, SIZE_MAX / 2), nullptr);
  EXPECT_EQ(memcmp(array[0].data, "abcdef", 6), 0);
  xrcFreeImages(array, 1);
  for (XrcImage &copy : copies) xrcClearImage(&copy);
  for (XrcImage &image : images) xrcClearImage(&image);
}

}  // namespace
