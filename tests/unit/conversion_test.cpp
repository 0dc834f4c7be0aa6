// Frame converters on images built in memory: rgb24 from several pixel layouts in both byte
// orders, yuv420p planes of even and odd sizes against an independent reference, YUV4MPEG2
// stream headers, checks by ffmpeg as a real reader, parallel conversion and bad frames.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "conversions/conversion.h"
#include "conversions/rgb24toyuv.h"
#include "support/threadlib.h"
#include "xclient/ximage.h"
#include "yuv_helpers.h"

namespace {

std::atomic<int> released{0};
void releaseImage(void *data) {
  released++;
  XDestroyImage(static_cast<XImage *>(data));
}

// A pixel layout and what its channels mean, written out per layout rather than by mask.
struct Layout {
  const char *name;
  int depth, bitsPerPixel, byteOrder;
  unsigned long red, green, blue;
  void (*expected)(uint32_t pixel, uint8_t *rgb);
};
void rgb888(uint32_t p, uint8_t *rgb) { rgb[0] = uint8_t(p >> 16), rgb[1] = uint8_t(p >> 8), rgb[2] = uint8_t(p); }
void rgb565(uint32_t p, uint8_t *rgb) {
  rgb[0] = uint8_t(((p >> 11) & 31) << 3), rgb[1] = uint8_t(((p >> 5) & 63) << 2), rgb[2] = uint8_t((p & 31) << 3);
}
const Layout kLayouts[] = {
    {"24/32 LSB", 24, 32, LSBFirst, 0xff0000, 0xff00, 0xff, rgb888},
    {"24/32 MSB", 24, 32, MSBFirst, 0xff0000, 0xff00, 0xff, rgb888},
    {"24/24 LSB", 24, 24, LSBFirst, 0xff0000, 0xff00, 0xff, rgb888},
    {"24/24 MSB", 24, 24, MSBFirst, 0xff0000, 0xff00, 0xff, rgb888},
    {"16 LSB", 16, 16, LSBFirst, 0xf800, 0x7e0, 0x1f, rgb565},
    {"16 MSB", 16, 16, MSBFirst, 0xf800, 0x7e0, 0x1f, rgb565},
};

// An image of the layout whose pixel bytes are written here in the layout's byte order (not
// through the image's own put-pixel function).
XImage *makeImage(const Layout &layout, int width, int height, const std::vector<uint32_t> &pixels) {
  ImageFormat format{ZPixmap, uint32_t(layout.depth), uint32_t(layout.bitsPerPixel), 32, uint32_t(layout.byteOrder),
                     MSBFirst, 32, uint32_t(layout.red), uint32_t(layout.green), uint32_t(layout.blue)};
  XImage *image = ximageCreate(width, height, 0, &format);
  if (!image) return nullptr;
  int bytes = layout.bitsPerPixel / 8;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      uint32_t pixel = pixels[size_t(y) * size_t(width) + size_t(x)];
      uint8_t *p = reinterpret_cast<uint8_t *>(image->data) + y * image->bytes_per_line + x * bytes;
      for (int i = 0; i < bytes; i++) {
        int shift = 8 * (layout.byteOrder == LSBFirst ? i : bytes - 1 - i);
        p[i] = uint8_t(pixel >> shift);
      }
    }
  return image;
}

MultimediaFrame *imageFrame(MultimediaStream *stream, XImage *image) {
  return multimediaWrapFrame(stream, image, uint32_t(image->bytes_per_line) * uint32_t(image->height), releaseImage);
}

// An image of packed RGB pixels in the default depth-24 layout.
XImage *rgbImage(const std::vector<uint8_t> &rgb, int width, int height) {
  std::vector<uint32_t> pixels;
  for (size_t i = 0; i < rgb.size(); i += 3) pixels.push_back(uint32_t(rgb[i]) << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
  return makeImage(kLayouts[0], width, height, pixels);
}

std::vector<uint8_t> randomRgb(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
  for (uint8_t &c : rgb) c = uint8_t(random());
  return rgb;
}

std::vector<uint8_t> bytesOf(const MultimediaFrame *frame) {
  const uint8_t *data = static_cast<const uint8_t *>(frame->data);
  return {data, data + frame->length};
}

// What a sink receives of a frame: every copy of it, the header before the first only.
std::string written(const MultimediaFrame *frame) {
  std::string out;
  for (unsigned copy = 0; copy < (frame->repeatCount ? frame->repeatCount : 1u); copy++) {
    const uint8_t *data;
    uint32_t length;
    multimediaFrameCopy(frame, copy, &data, &length);
    out.append(reinterpret_cast<const char *>(data), length);
  }
  return out;
}

std::string header(int width, int height) {
  return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F24:1 Ip A1:1\n";
}

int cacheMappings() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) count += line.find(kRgb24toyuvCacheName) != std::string::npos;
  return count;
}

class ConversionTest : public ::testing::Test {
 protected:
  static inline std::string dir;
  MultimediaStream stream{};

  static void SetUpTestSuite() {
    char pattern[] = "/tmp/conversionXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir); }
  void SetUp() override {
    setenv(kRgb24toyuvVariable, dir.c_str(), 1);
    strcpy(stream.description, "test stream");
    conversionYuvInit(&stream);
    ASSERT_EQ(multimediaStreamError(&stream), nullptr);
    released = 0;
  }
  void TearDown() override {
    conversionYuvFree(nullptr);
    EXPECT_EQ(rgb24toyuvTable(), nullptr);
  }
  // Converts an image frame through a row and checks that the image was released once.
  MultimediaFrame *convert(FrameConverterConvert converter, XImage *image) {
    int before = released;
    MultimediaFrame *frame = imageFrame(&stream, image);
    MultimediaFrame *out = converter(nullptr, frame);
    EXPECT_EQ(released, before + 1);
    return out;
  }
};

// Rows in their order; the identity row hands its frame back; unknown pairs find nothing.
TEST_F(ConversionTest, TableRows) {
  ASSERT_EQ(conversionTableSize, 4u);
  const char *targets[] = {"", "image/rgb24", "image/yuv420p", "image/yuv4mpeg2"};
  for (size_t i = 0; i < conversionTableSize; i++) {
    EXPECT_STREQ(conversionTable[i].to, targets[i]);
    EXPECT_EQ(conversionFind(conversionTable[i].from, targets[i]), &conversionTable[i]);
  }
  EXPECT_EQ(conversionFind("image/Xlib", "image/png"), nullptr);
  EXPECT_EQ(conversionFind("image/rgb24", "image/yuv420p"), nullptr);
  MultimediaFrame *frame = multimediaNewFrame(&stream, "abc", 3);
  EXPECT_EQ(conversionTable[0].convert(nullptr, frame), frame);
  multimediaReleaseFrame(frame);
}

// rgb24 and yuv420p of every layout in both byte orders equal the references; the new frames
// take the stream and repeat count of the image frame.
TEST_F(ConversionTest, LayoutsToRgb24AndYuv420p) {
  const int width = 7, height = 5;
  for (const Layout &layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    std::mt19937 random(layout.depth * 31 + layout.byteOrder);
    std::vector<uint32_t> pixels(width * height);
    std::vector<uint8_t> expected(pixels.size() * 3);
    for (size_t i = 0; i < pixels.size(); i++) {
      pixels[i] = uint32_t(random()) & ((1u << layout.depth) - 1);
      layout.expected(pixels[i], &expected[3 * i]);
    }
    MultimediaFrame *frame = imageFrame(&stream, makeImage(layout, width, height, pixels));
    frame->repeatCount = 2;
    MultimediaFrame *rgb = conversionXlibToRgb24(nullptr, frame);
    ASSERT_NE(rgb, nullptr);
    EXPECT_EQ(bytesOf(rgb), expected);
    EXPECT_TRUE(rgb->stream == &stream && rgb->repeatCount == 2 && rgb->referenceCount == 1);
    multimediaReleaseFrame(rgb);
    MultimediaFrame *yuv = convert(conversionXlibToYuv420p, makeImage(layout, width, height, pixels));
    ASSERT_NE(yuv, nullptr);
    EXPECT_EQ(bytesOf(yuv), referenceYuv420p(expected, width, height));
    multimediaReleaseFrame(yuv);
  }
  EXPECT_EQ(released, 2 * int(std::size(kLayouts)));
}

// A 4 x 2 image of known colours: the Y bytes in pixel order, then one U and one V byte per
// 2 x 2 block, each the sum of its four values shifted right by 2.
TEST_F(ConversionTest, Yuv420pOfKnownPixels) {
  std::vector<uint8_t> rgb = {0, 0, 0,     255, 255, 255, 255, 0, 0,   0, 255, 0,
                              0, 0, 255,   10, 20, 30,    200, 100, 50, 128, 128, 128};
  MultimediaFrame *yuv = convert(conversionXlibToYuv420p, rgbImage(rgb, 4, 2));
  ASSERT_NE(yuv, nullptr);
  ASSERT_EQ(yuv->length, 8u + 2 + 2);
  const uint8_t *out = static_cast<const uint8_t *>(yuv->data);
  YuvTriple p[8];
  for (int i = 0; i < 8; i++) {
    p[i] = referenceYuv(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
    EXPECT_EQ(out[i], p[i].y) << i;
  }
  EXPECT_EQ(out[0], 16);
  EXPECT_EQ(out[1], 235);
  EXPECT_EQ(out[8], (p[0].u + p[1].u + p[4].u + p[5].u) >> 2);
  EXPECT_EQ(out[9], (p[2].u + p[3].u + p[6].u + p[7].u) >> 2);
  EXPECT_EQ(out[10], (p[0].v + p[1].v + p[4].v + p[5].v) >> 2);
  EXPECT_EQ(out[11], (p[2].v + p[3].v + p[6].v + p[7].v) >> 2);
  multimediaReleaseFrame(yuv);
}

// Even, odd and single-line sizes, and sizes beyond the static scratch block: planes equal the
// reference and nothing is written past them.
TEST_F(ConversionTest, PlaneSizesAndEdges) {
  struct {
    int width, height;
  } sizes[] = {{1, 1}, {2, 2}, {3, 1}, {1, 3}, {33, 17}, {64, 64}, {181, 181}, {300, 7}};
  for (const auto &size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    std::vector<uint8_t> rgb = randomRgb(size.width, size.height, unsigned(size.width * 1000 + size.height));
    uint64_t bytes = conversionYuv420pSize(uint32_t(size.width), uint32_t(size.height));
    uint64_t chroma = uint64_t((size.width + 1) / 2) * uint64_t((size.height + 1) / 2);
    EXPECT_EQ(bytes, uint64_t(size.width) * uint64_t(size.height) + 2 * chroma);
    std::vector<uint8_t> out(bytes + 16, 0xa5);
    ASSERT_EQ(conversionRgb24ToYuv420p(rgb.data(), size.width, size.height, out.data()), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + long(bytes)), referenceYuv420p(rgb, size.width, size.height));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + long(bytes), out.end()), std::vector<uint8_t>(16, 0xa5));
  }
  EXPECT_EQ(conversionYuv420pSize(65535, 65535), 65535ull * 65535 + 2ull * 32768 * 32768);
}

// Each stream starts with its own header, carried by the frame marked first whatever order
// frames are converted in; a repeated frame carries the header before its first copy only.
TEST_F(ConversionTest, Yuv4mpeg2HeaderOncePerStream) {
  std::vector<uint8_t> rgb = randomRgb(6, 4, 7);
  std::vector<uint8_t> planes = referenceYuv420p(rgb, 6, 4);
  std::string body = "FRAME\n" + std::string(planes.begin(), planes.end());
  for (int streamIndex = 0; streamIndex < 2; streamIndex++) {
    MultimediaStream other{};
    MultimediaStream *s = streamIndex ? &other : &stream;
    MultimediaFrame *first = imageFrame(s, rgbImage(rgb, 6, 4)), *second = imageFrame(s, rgbImage(rgb, 6, 4));
    multimediaMarkFirstFrame(first);
    multimediaMarkFirstFrame(second);  // the stream has its first frame already
    MultimediaFrame *secondOut = conversionXlibToYuv4mpeg2(nullptr, second);  // converted before the first
    MultimediaFrame *firstOut = conversionXlibToYuv4mpeg2(nullptr, first);
    ASSERT_TRUE(firstOut && secondOut);
    EXPECT_EQ(written(firstOut) + written(secondOut), header(6, 4) + body + body);
    multimediaReleaseFrame(firstOut);
    multimediaReleaseFrame(secondOut);
  }
  MultimediaStream third{};
  MultimediaFrame *frame = imageFrame(&third, rgbImage(rgb, 6, 4));
  multimediaMarkFirstFrame(frame);
  frame->repeatCount = 3;
  MultimediaFrame *out = conversionXlibToYuv4mpeg2(nullptr, frame);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->headerLength, header(6, 4).size());
  EXPECT_EQ(written(out), header(6, 4) + body + body + body);
  multimediaReleaseFrame(out);
}

// Fifty frames of distinct greys, marked in order and converted by eight threads in any
// order: one header at byte 0, "FRAME\n" before every frame, frames in the order given.
TEST_F(ConversionTest, Yuv4mpeg2ConvertedInParallel) {
  const int count = 50, width = 16, height = 8;
  std::vector<MultimediaFrame *> in(count), out(count);
  for (int i = 0; i < count; i++) {
    std::vector<uint8_t> rgb(width * height * 3, uint8_t(i * 5));
    in[i] = imageFrame(&stream, rgbImage(rgb, width, height));
    multimediaMarkFirstFrame(in[i]);
  }
  std::atomic<int> next{count};
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; t++)
    workers.emplace_back([&] {
      for (int i; (i = --next) >= 0;) out[i] = conversionXlibToYuv4mpeg2(nullptr, in[i]);  // last frame first
    });
  for (std::thread &worker : workers) worker.join();
  std::string all;
  for (MultimediaFrame *frame : out) {
    ASSERT_NE(frame, nullptr);
    all += written(frame);
    multimediaReleaseFrame(frame);
  }
  size_t frameBytes = 6 + conversionYuv420pSize(width, height), at = header(width, height).size();
  ASSERT_EQ(all.size(), at + count * frameBytes);
  EXPECT_EQ(all.rfind("YUV4MPEG2"), 0u);
  for (int i = 0; i < count; i++, at += frameBytes) {
    EXPECT_EQ(all.substr(at, 6), "FRAME\n") << i;
    EXPECT_EQ(uint8_t(all[at + 6]), referenceYuv(i * 5, i * 5, i * 5).y) << i;
  }
}

// Eight threads converting 64 x 64 images at once (the static scratch block fits each) give
// exactly the single-threaded output.
TEST_F(ConversionTest, ParallelYuv420pEqualsSerial) {
  const int width = 64, height = 64, rounds = 40;
  std::vector<std::vector<uint8_t>> images, serial;
  for (int i = 0; i < 8; i++) {
    images.push_back(randomRgb(width, height, unsigned(100 + i)));
    serial.emplace_back(conversionYuv420pSize(width, height));
    ASSERT_EQ(conversionRgb24ToYuv420p(images[i].data(), width, height, serial[i].data()), nullptr);
  }
  std::atomic<int> differences{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; i++)
    threads.emplace_back([&, i] {
      std::vector<uint8_t> out(serial[i].size());
      for (int round = 0; round < rounds; round++) {
        std::fill(out.begin(), out.end(), 0);
        differences += conversionRgb24ToYuv420p(images[i].data(), width, height, out.data()) != nullptr || out != serial[i];
      }
    });
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(differences.load(), 0);
}

// Both yuv rows share one mapping: a second user does not map again, the table outlives the
// first free while the other user converts, and the last free unmaps it.
TEST_F(ConversionTest, RowsShareOneMapping) {
  EXPECT_EQ(cacheMappings(), 1);
  MultimediaStream second{};
  conversionYuvInit(&second);
  EXPECT_EQ(cacheMappings(), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0}, frames{0};
  std::vector<uint8_t> rgb = randomRgb(8, 8, 3);
  std::thread converter([&] {
    while (!stop || frames < 20) {
      MultimediaFrame *out = conversionXlibToYuv4mpeg2(nullptr, imageFrame(&second, rgbImage(rgb, 8, 8)));
      failures += !out;
      frames++;
      multimediaReleaseFrame(out);
    }
  });
  conversionYuvFree(nullptr);  // the other stream closes while this one converts
  stop = true;
  converter.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(multimediaStreamError(&second), nullptr);
  EXPECT_EQ(cacheMappings(), 1);
  conversionYuvFree(nullptr);
  EXPECT_EQ(cacheMappings(), 0);
  conversionYuvInit(&stream);  // for TearDown
}

// Bad frames are refused and released: an image header far larger than its buffer (nothing of
// it is read), a frame beyond 32-bit lengths, conversion without a mapped table, and a cache
// directory that is a regular file.
TEST_F(ConversionTest, BadFramesAndFailures) {
  XImage *small = rgbImage(std::vector<uint8_t>(12), 2, 2);
  XImage *forged = static_cast<XImage *>(calloc(1, sizeof(XImage)));
  *forged = *small;
  forged->width = forged->height = 40000;
  forged->bytes_per_line = 160000;
  forged->data = static_cast<char *>(malloc(64));
  MultimediaFrame *frame = multimediaWrapFrame(&stream, forged, 64, [](void *data) {
    released++;
    free(static_cast<XImage *>(data)->data);
    free(data);
  });
  EXPECT_EQ(conversionXlibToYuv4mpeg2(nullptr, frame), nullptr);
  EXPECT_EQ(released, 1);
  EXPECT_STREQ(multimediaStreamError(&stream), "Invalid image in frame of test stream (40000x40000, 64 bytes)");
  XDestroyImage(small);

  MultimediaStream fresh{};
  MultimediaFrame model{};
  model.stream = &fresh;
  EXPECT_EQ(multimediaNewFrameLike(&model, uint64_t{1} << 32), nullptr);
  const char *text = multimediaStreamError(&fresh);
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(std::string(text).starts_with("Out of memory (conversions/multimedia.cpp:")) << text;

  conversionYuvFree(nullptr);
  uint8_t pixel[3] = {}, out[3];
  EXPECT_NE(conversionRgb24ToYuv420p(pixel, 1, 1, out), nullptr);
  std::string plain = dir + "/plain";
  std::ofstream(plain) << "x";
  setenv(kRgb24toyuvVariable, plain.c_str(), 1);
  MultimediaStream refused{};
  EXPECT_EQ(conversionYuvInit(&refused), nullptr);
  text = multimediaStreamError(&refused);
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(std::string(text).starts_with("Can't create cache file '" + plain + "/rgb24toyuv.cache': ")) << text;
  EXPECT_EQ(cacheMappings(), 0);
  setenv(kRgb24toyuvVariable, dir.c_str(), 1);
  conversionYuvInit(&stream);  // for TearDown
}

// --- ffmpeg as the reader ------------------------------------------------------------------

bool haveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A 33 x 17 yuv420p stream of ten frames is ten frames to ffmpeg as rawvideo; YUV4MPEG2
// streams of even and odd sizes decode to exactly our yuv420p bytes.
TEST_F(ConversionTest, FfmpegReadsOurStreams) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg, see scripts/setup): "
                                     "the check by a real reader is skipped";
  std::string work = dir + "/ffmpeg";
  std::filesystem::create_directory(work);
  struct {
    int width, height;
  } sizes[] = {{33, 17}, {32, 16}};
  for (const auto &size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    std::string raw, y4m;
    MultimediaStream y4mStream{};
    for (int i = 0; i < 10; i++) {
      std::vector<uint8_t> rgb = randomRgb(size.width, size.height, unsigned(i));
      MultimediaFrame *yuv = convert(conversionXlibToYuv420p, rgbImage(rgb, size.width, size.height));
      MultimediaFrame *frame = imageFrame(&y4mStream, rgbImage(rgb, size.width, size.height));
      multimediaMarkFirstFrame(frame);
      MultimediaFrame *mpeg = conversionXlibToYuv4mpeg2(nullptr, frame);
      ASSERT_TRUE(yuv && mpeg);
      raw += written(yuv);
      y4m += written(mpeg);
      multimediaReleaseFrame(yuv);
      multimediaReleaseFrame(mpeg);
    }
    std::string dimensions = std::to_string(size.width) + "x" + std::to_string(size.height);
    std::string rawFile = work + "/in.yuv", y4mFile = work + "/in.y4m", md5 = work + "/frames.md5",
                decoded = work + "/out.yuv";
    std::ofstream(rawFile, std::ios::binary) << raw;
    std::ofstream(y4mFile, std::ios::binary) << y4m;
    std::string ffmpeg = "timeout 60 ffmpeg -nostdin -v error -y ";
    ASSERT_EQ(std::system((ffmpeg + "-f rawvideo -pix_fmt yuv420p -s " + dimensions + " -i " + rawFile +
                           " -f framemd5 " + md5).c_str()), 0);
    std::istringstream lines(readAll(md5));
    int frames = 0;
    for (std::string line; std::getline(lines, line);) frames += !line.empty() && line[0] != '#';
    EXPECT_EQ(frames, 10);
    ASSERT_EQ(std::system((ffmpeg + "-i " + y4mFile + " -f rawvideo -pix_fmt yuv420p " + decoded).c_str()), 0);
    EXPECT_TRUE(readAll(decoded) == raw) << readAll(decoded).size() << " bytes decoded, " << raw.size() << " expected";
  }
}

// --- through real streams ------------------------------------------------------------------

// Producers of "image/Xlib" frames writing to streams whose profiles name each row's target:
// a threaded YUV4MPEG2 stream of 50 greys on 8 workers, a repeated frame on a direct side, an
// rgb24 stream through cat, and a second stream that starts with its own header.
TEST_F(ConversionTest, ImageFramesThroughRealStreams) {
  if (!threadlibDefaultPool) {
    ASSERT_EQ(threadlibInitDefaultPool(8), nullptr);
  }
  std::string work = dir + "/streams";
  std::filesystem::create_directory(work);
  for (const char *name : {"/y4m", "/second", "/direct"}) std::ofstream(work + name);
  std::ofstream(work + "/profiles")
      << "Name=Y4m\nMWTcontentType=image/yuv4mpeg2\nMWTwriteThreaded=1\nMWTwritePath=" << work << "/y4m\n"
      << "Name=Second\nMWTcontentType=image/yuv4mpeg2\nMWTwritePath=" << work << "/second\n"
      << "Name=Direct\nMWTcontentType=image/yuv4mpeg2\nMWTwriteThreaded=0\nMWTwritePath=" << work << "/direct\n"
      << "Name=Rgb\nMWTcontentType=image/rgb24\nMWTwriteBuffered=1\nMWTwriteCmd=\"cat > " << work << "/rgb\"\n";
  setenv("XMULTIMEDIA_PROFILES", (work + "/profiles").c_str(), 1);
  setenv("TMPDIR", work.c_str(), 1);
  multimediaClearProfiles();
  ASSERT_EQ(multimediaLoadProfiles(), nullptr);
  auto open = [](const char *name) {
    MultimediaStream *stream = nullptr;
    const char *error = multimediaOpenStream(name, "image/Xlib", 6, &stream);
    EXPECT_EQ(error, nullptr) << error;
    if (stream) {
      error = multimediaStartStream(stream);
      EXPECT_EQ(error, nullptr) << error;
    }
    return stream;
  };
  const int width = 16, height = 8, count = 50;
  MultimediaStream *y4m = open("Y4m"), *rgb = open("Rgb");
  ASSERT_TRUE(y4m && rgb);
  std::string rgbExpected;
  for (int i = 0; i < count; i++) {
    std::vector<uint8_t> grey(width * height * 3, uint8_t(i * 5));
    MultimediaFrame *frame = imageFrame(y4m, rgbImage(grey, width, height));
    multimediaWriteFrame(frame, 1);
    multimediaReleaseFrame(frame);
    std::vector<uint8_t> colours = randomRgb(width, height, unsigned(i));
    rgbExpected.append(colours.begin(), colours.end());
    frame = imageFrame(rgb, rgbImage(colours, width, height));
    multimediaWriteFrame(frame, 1);
    multimediaReleaseFrame(frame);
  }
  EXPECT_EQ(multimediaCloseStream(y4m), nullptr);
  EXPECT_EQ(multimediaCloseStream(rgb), nullptr);
  std::string all = readAll(work + "/y4m");
  size_t frameBytes = 6 + conversionYuv420pSize(width, height), at = header(width, height).size();
  ASSERT_EQ(all.size(), at + count * frameBytes);
  EXPECT_EQ(all.rfind(header(width, height), 0), 0u);
  for (int i = 0; i < count; i++, at += frameBytes) {
    EXPECT_EQ(all.substr(at, 6), "FRAME\n") << i;
    EXPECT_EQ(uint8_t(all[at + 6]), referenceYuv(i * 5, i * 5, i * 5).y) << i;
  }
  EXPECT_TRUE(readAll(work + "/rgb") == rgbExpected);

  MultimediaStream *second = open("Second");
  std::vector<uint8_t> picture = randomRgb(6, 4, 9);
  MultimediaFrame *frame = imageFrame(second, rgbImage(picture, 6, 4));
  multimediaWriteFrame(frame, 1);
  multimediaReleaseFrame(frame);
  EXPECT_EQ(multimediaCloseStream(second), nullptr);
  EXPECT_EQ(readAll(work + "/second").rfind(header(6, 4), 0), 0u);

  MultimediaStream *direct = open("Direct");
  frame = imageFrame(direct, rgbImage(picture, 6, 4));
  multimediaWriteFrame(frame, 3);
  multimediaReleaseFrame(frame);
  EXPECT_EQ(multimediaCloseStream(direct), nullptr);
  std::vector<uint8_t> planes = referenceYuv420p(picture, 6, 4);
  std::string body = "FRAME\n" + std::string(planes.begin(), planes.end());
  EXPECT_TRUE(readAll(work + "/direct") == header(6, 4) + body + body + body);
  while (multimediaStreams) multimediaFreeStream(multimediaStreams);
  multimediaClearProfiles();
  unsetenv("TMPDIR");
}

// Streams of the test's own profiles, each with a path sink in the work directory; the rows
// are chosen from "image/Xlib" to each profile's content type.
class StreamConversionTest : public ConversionTest {
 protected:
  std::string work;
  void SetUp() override {
    ConversionTest::SetUp();
    if (!threadlibDefaultPool) {
      ASSERT_EQ(threadlibInitDefaultPool(8), nullptr);
    }
    work = dir + "/real";
    std::filesystem::remove_all(work);
    std::filesystem::create_directory(work);
    setenv("TMPDIR", work.c_str(), 1);
  }
  void TearDown() override {
    while (multimediaStreams) multimediaFreeStream(multimediaStreams);
    multimediaClearProfiles();
    unsetenv("TMPDIR");
    setenv(kRgb24toyuvVariable, dir.c_str(), 1);
    if (!rgb24toyuvTable()) conversionYuvInit(&stream);  // the fixture's user, given back below
    ConversionTest::TearDown();
  }
  // Profiles "name contentType threaded" each writing to work/name.
  void profiles(const std::vector<std::tuple<std::string, std::string, int>> &rows) {
    std::ofstream file(work + "/profiles");
    for (const auto &[name, type, threaded] : rows) {
      file << "Name=" << name << "\nMWTcontentType=" << type << "\nMWTwriteThreaded=" << threaded
           << "\nMWTwritePath=" << work << "/" << name << "\n";
      std::ofstream(work + "/" + name);
    }
    file.close();
    setenv("XMULTIMEDIA_PROFILES", (work + "/profiles").c_str(), 1);
    multimediaClearProfiles();
    ASSERT_EQ(multimediaLoadProfiles(), nullptr);
  }
  MultimediaStream *started(const std::string &name) {
    MultimediaStream *s = nullptr;
    const char *error = multimediaOpenStream(name.c_str(), "image/Xlib", kMultimediaWrite, &s);
    EXPECT_EQ(error, nullptr) << error;
    if (!s) return nullptr;
    error = multimediaStartStream(s);
    EXPECT_EQ(error, nullptr) << error;
    return error ? nullptr : s;
  }
  void write(MultimediaStream *s, XImage *image, unsigned repeat = 1) {
    MultimediaFrame *frame = imageFrame(s, image);
    multimediaWriteFrame(frame, repeat);
    multimediaReleaseFrame(frame);
  }
  std::string sink(const std::string &name) { return readAll(work + "/" + name); }
};

std::string text(const std::vector<uint8_t> &bytes) { return {bytes.begin(), bytes.end()}; }

// Every layout in both byte orders through rgb24 and yuv420p streams, the 4 x 2 image of known
// pixels, and a 33 x 17 yuv420p stream of ten frames that ffmpeg reads as ten frames.
TEST_F(StreamConversionTest, RowsThroughRealStreams) {
  const int width = 7, height = 5;
  std::vector<std::tuple<std::string, std::string, int>> rows;
  for (size_t i = 0; i < std::size(kLayouts); i++) {
    rows.emplace_back("Rgb" + std::to_string(i), "image/rgb24", int(i % 2));
    rows.emplace_back("Yuv" + std::to_string(i), "image/yuv420p", int(i % 2));
  }
  rows.emplace_back("Known", "image/yuv420p", 0);
  rows.emplace_back("Odd", "image/yuv420p", 1);
  profiles(rows);
  for (size_t i = 0; i < std::size(kLayouts); i++) {
    const Layout &layout = kLayouts[i];
    SCOPED_TRACE(layout.name);
    std::mt19937 random(unsigned(i) + 7);
    std::vector<uint32_t> pixels(width * height);
    std::vector<uint8_t> expected(pixels.size() * 3);
    for (size_t p = 0; p < pixels.size(); p++) {
      pixels[p] = uint32_t(random()) & ((1u << layout.depth) - 1);
      layout.expected(pixels[p], &expected[3 * p]);
    }
    MultimediaStream *rgb = started("Rgb" + std::to_string(i)), *yuv = started("Yuv" + std::to_string(i));
    ASSERT_TRUE(rgb && yuv);
    write(rgb, makeImage(layout, width, height, pixels));
    write(yuv, makeImage(layout, width, height, pixels));
    EXPECT_EQ(multimediaCloseStream(rgb), nullptr);
    EXPECT_EQ(multimediaCloseStream(yuv), nullptr);
    EXPECT_TRUE(sink("Rgb" + std::to_string(i)) == text(expected));
    EXPECT_TRUE(sink("Yuv" + std::to_string(i)) == text(referenceYuv420p(expected, width, height)));
  }
  std::vector<uint8_t> known = {0, 0, 0,   255, 255, 255, 255, 0, 0,   0, 255, 0,
                                0, 0, 255, 10, 20, 30,    200, 100, 50, 128, 128, 128};
  MultimediaStream *s = started("Known");
  ASSERT_NE(s, nullptr);
  write(s, rgbImage(known, 4, 2));
  EXPECT_EQ(multimediaCloseStream(s), nullptr);
  std::string got = sink("Known");
  ASSERT_EQ(got.size(), 12u);
  YuvTriple p[8];
  for (int k = 0; k < 8; k++) p[k] = referenceYuv(known[3 * k], known[3 * k + 1], known[3 * k + 2]);
  const uint8_t want[12] = {p[0].y, p[1].y, p[2].y, p[3].y, p[4].y, p[5].y, p[6].y, p[7].y,
                            uint8_t((p[0].u + p[1].u + p[4].u + p[5].u) >> 2), uint8_t((p[2].u + p[3].u + p[6].u + p[7].u) >> 2),
                            uint8_t((p[0].v + p[1].v + p[4].v + p[5].v) >> 2), uint8_t((p[2].v + p[3].v + p[6].v + p[7].v) >> 2)};
  EXPECT_TRUE(got == std::string(reinterpret_cast<const char *>(want), 12));

  s = started("Odd");
  ASSERT_NE(s, nullptr);
  std::string expected;
  for (int k = 0; k < 10; k++) {
    std::vector<uint8_t> rgb = randomRgb(33, 17, unsigned(50 + k));
    expected += text(referenceYuv420p(rgb, 33, 17));
    write(s, rgbImage(rgb, 33, 17));
  }
  EXPECT_EQ(multimediaCloseStream(s), nullptr);
  EXPECT_TRUE(sink("Odd") == expected);
  if (haveFfmpeg()) {
    std::string md5 = work + "/odd.md5";
    ASSERT_EQ(std::system(("timeout 60 ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt yuv420p -s 33x17 -i " + work +
                           "/Odd -f framemd5 " + md5).c_str()), 0);
    std::istringstream lines(readAll(md5));
    int frames = 0;
    for (std::string line; std::getline(lines, line);) frames += !line.empty() && line[0] != '#';
    EXPECT_EQ(frames, 10);
  }
}

// Eight threaded yuv420p streams of 64 x 64 images converted at once by the pool's workers
// give exactly the single-threaded output.
TEST_F(StreamConversionTest, EightThreadedStreamsEqualSerial) {
  const int width = 64, height = 64, frames = 12;
  std::vector<std::tuple<std::string, std::string, int>> rows;
  for (int i = 0; i < 8; i++) rows.emplace_back("T" + std::to_string(i), "image/yuv420p", 1);
  profiles(rows);
  std::vector<MultimediaStream *> streams;
  for (int i = 0; i < 8; i++) streams.push_back(started("T" + std::to_string(i)));
  std::vector<std::string> expected(8);
  for (int f = 0; f < frames; f++)
    for (int i = 0; i < 8; i++) {
      ASSERT_NE(streams[i], nullptr);
      std::vector<uint8_t> rgb = randomRgb(width, height, unsigned(f * 8 + i));
      std::vector<uint8_t> serial(conversionYuv420pSize(width, height));
      ASSERT_EQ(conversionRgb24ToYuv420p(rgb.data(), width, height, serial.data()), nullptr);
      expected[i] += text(serial);
      write(streams[i], rgbImage(rgb, width, height));
    }
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(multimediaCloseStream(streams[i]), nullptr) << i;
    EXPECT_TRUE(sink("T" + std::to_string(i)) == expected[i]) << i;
  }
}

// A yuv420p stream closes while a threaded YUV4MPEG2 stream still converts on the pool: the
// table stays mapped for the second, its output is right, and after both closes the cache is
// no longer mapped.
TEST_F(StreamConversionTest, CloseWhileAnotherConverts) {
  conversionYuvFree(nullptr);  // the fixture's user: only the streams hold the table here
  ASSERT_EQ(cacheMappings(), 0);
  profiles({{"Plain", "image/yuv420p", 0}, {"Mpeg", "image/yuv4mpeg2", 1}});
  MultimediaStream *plain = started("Plain"), *mpeg = started("Mpeg");
  ASSERT_TRUE(plain && mpeg);
  EXPECT_EQ(cacheMappings(), 1);
  const int width = 128, height = 96, count = 40;
  std::vector<uint8_t> first = randomRgb(width, height, 1);
  write(plain, rgbImage(first, width, height));
  std::string expected = header(width, height);
  for (int i = 0; i < count; i++) {
    std::vector<uint8_t> rgb = randomRgb(width, height, unsigned(100 + i));
    expected += "FRAME\n" + text(referenceYuv420p(rgb, width, height));
    write(mpeg, rgbImage(rgb, width, height));
    if (i == 2) {
      EXPECT_EQ(multimediaCloseStream(plain), nullptr);  // jobs of mpeg still queued
    }
  }
  EXPECT_EQ(cacheMappings(), 1);
  EXPECT_EQ(multimediaCloseStream(mpeg), nullptr);
  EXPECT_TRUE(sink("Plain") == text(referenceYuv420p(first, width, height)));
  std::string got = sink("Mpeg");
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(cacheMappings(), 0);
}

// Failures of the open and the start: a caller content type that no row converts to the
// stream's, and a cache directory that is a regular file (the start fails with the cache
// text and leaves no mapping).
TEST_F(StreamConversionTest, OpenAndStartFailures) {
  profiles({{"Yuv", "image/yuv420p", 0}, {"Mpeg", "image/yuv4mpeg2", 1}});
  MultimediaStream *s = nullptr;
  const char *error = multimediaOpenStream("Yuv", "image/png", kMultimediaWrite, &s);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Yuv does not support content type: image/png");
  EXPECT_EQ(s, nullptr);
  error = multimediaOpenStream("Yuv", "image/rgb24", kMultimediaWrite, &s);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Yuv does not support content type: image/rgb24");

  conversionYuvFree(nullptr);
  ASSERT_EQ(cacheMappings(), 0);
  std::string plain = work + "/plain";
  std::ofstream(plain) << "x";
  setenv(kRgb24toyuvVariable, plain.c_str(), 1);
  for (const char *name : {"Yuv", "Mpeg"}) {
    ASSERT_EQ(multimediaOpenStream(name, "image/Xlib", kMultimediaWrite, &s), nullptr);
    error = multimediaStartStream(s);
    ASSERT_NE(error, nullptr) << name;
    EXPECT_TRUE(std::string(error).starts_with("Can't create cache file '" + plain + "/rgb24toyuv.cache': ")) << error;
    EXPECT_EQ(s->users, 0) << name;
    EXPECT_EQ(cacheMappings(), 0) << name;
    EXPECT_EQ(rgb24toyuvTable(), nullptr) << name;
    EXPECT_EQ(multimediaCloseStream(s), nullptr);  // a stream that never started has nothing to close
    multimediaFreeStream(s);
  }
  for (size_t i = 0; i < conversionTableSize; i++) EXPECT_EQ(conversionTable[i].users, 0u) << i;
}

}  // namespace
