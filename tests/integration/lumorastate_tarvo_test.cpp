// Hostile GL state requests against tarvo with its one head served by the system's GL library
// ("lumora on"), each by a raw client in both byte orders: a tag moved off a pbuffer onto a
// window leaves no slot that the client's exit would make current on the destroyed pbuffer;
// select and feedback buffers that the library refuses (inside glBegin/glEnd, an unknown type,
// a RenderMode refused inside glBegin/glEnd) stay where the library writes; names, name ranges
// and pbuffers beyond the client's lumoraMemory get BadAlloc while a second client is served;
// a missing read drawable and a missing or wrong pixmap get the server's errors, and the gets
// of GL_DEPTH_BOUNDS_EXT and the ARB current matrices their whole value counts. tarvo stays up
// and ends cleanly (a sanitizer's report shows in its status).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "glxcommands.h"
#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kMinorCreateGlxPixmap = 13;
constexpr uint8_t kMinorDeleteLists = 103, kMinorGenLists = 104, kMinorFeedbackBuffer = 105;
constexpr uint8_t kMinorSelectBuffer = 106, kMinorRenderMode = 107, kMinorGetDoublev = 114;
constexpr uint8_t kMinorGetIntegerv = 117, kMinorGenTextures = 145;
constexpr int kBadPixmap = 4, kBadDrawable = 9, kBadAlloc = 11, kGlxBadDrawable = 2;
constexpr uint32_t kGlRender = 0x1C00, kGlFeedback = 0x1C01, kGlSelect = 0x1C02, kGl3D = 0x0601;
constexpr uint32_t kPoints = 0;
constexpr uint16_t kRopInitNames = 121, kRopPushName = 125;

// Xvfb, tarvo with its screen served by the GL library, and the FBConfig to draw with.
class LumoraState : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens = {"800x600x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    TarvoOptions options = lumoraOptions();
    // A small budget for the tests of what counts against it.
    if (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).find("SmallBudget") !=
        std::string::npos)
      options.arguments.insert(options.arguments.end(), {"lumoraMemory", "64M"});
    options.logTypes = {"steps", "Xhints"};
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
    config = lumoraFindConfig(tarvo.displayName());
    ASSERT_NE(config.config, 0u);
  }
  // tarvo is up and serves another client, and ends cleanly.
  void TearDown() override { lumoraExpectServedAndStop(tarvo); }
  // A client of the byte order with a context current on a pbuffer: its tag.
  uint32_t currentOnPbuffer(LumoraClient &client, char order) {
    return client.currentOnPbuffer(tarvo.displayNumber(), order, config.config);
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  LumoraConfig config;
};

TEST_F(LumoraState, TagMovedOffAPbufferLeavesNoSlotBehind) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    ASSERT_EQ(client.connect(tarvo.displayNumber(), order), "");
    // The pbuffer first, the context with a higher id.
    uint32_t pbuffer = client.pbuffer(config.config, 32, 32);
    uint32_t context = client.newContext(config.config);
    uint32_t tag = client.makeCurrent(0, pbuffer, pbuffer, context);
    ASSERT_NE(tag, 0u) << tarvo.log();
    client.render(tag, {glxcommandClear(0x4000)});
    // The same tag moves onto a window and another context; again onto the same binding.
    uint32_t window = client.window(config.visual);
    uint32_t other = client.newContext(config.config);
    uint32_t moved = client.makeCurrent(tag, window, window, other);
    ASSERT_NE(moved, 0u) << tarvo.log();
    EXPECT_NE(client.makeCurrent(moved, window, window, other), 0u);
    client.render(moved, {glxcommandClear(0x4000)});
    // The window goes while the tag draws into it; then the client: its resources and tags.
    EXPECT_EQ(client.errorAfter(RawRequest(client.big).b(4).b(0).s(0).i(window)), 0);
    client.raw.close();
    LumoraClient probe;
    ASSERT_EQ(probe.connect(tarvo.displayNumber(), order), "") << tarvo.log();
    EXPECT_EQ(probe.errorOf(RawRequest(probe.big).b(43).b(0).s(0)), 0) << tarvo.log();
  }
}

// Select and feedback buffers the library keeps when it refuses a new one: hits and values
// reach the buffer it holds.
TEST_F(LumoraState, RefusedSelectAndFeedbackBuffersStay) {
  constexpr uint32_t kMany = 100000000;  // 400 MB: freed, the block is unmapped
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    const std::vector<GlxCommand> namedPoint = {GlxCommand{kRopInitNames, {}},
                                                [] {
                                                  GlxCommand push{kRopPushName, {}};
                                                  return glxcommandPut32(push, 7);
                                                }(),
                                                glxcommandBegin(kPoints), glxcommandVertex2f(0, 0), glxcommandEnd()};
    auto renderMode = [&](uint32_t mode) { return client.ask(client.single(kMinorRenderMode, tag).i(mode)); };

    // A select buffer refused inside glBegin/glEnd.
    client.send(client.single(kMinorSelectBuffer, tag).i(kMany));
    client.render(tag, {glxcommandBegin(kPoints)});
    client.send(client.single(kMinorSelectBuffer, tag).i(16));
    client.render(tag, {glxcommandEnd()});
    renderMode(kGlSelect);
    client.render(tag, namedPoint);
    RawBytes hits = renderMode(kGlRender);
    ASSERT_GE(hits.size(), 32u) << tarvo.log();
    ASSERT_EQ(hits[0], 1) << "error " << int(hits[1]);
    EXPECT_EQ(client.word(hits, 8), 1u);  // one hit

    // GL_RENDER refused inside glBegin/glEnd: still in select mode, so the next buffer is
    // refused too.
    client.send(client.single(kMinorSelectBuffer, tag).i(1000000));
    renderMode(kGlSelect);
    client.render(tag, {glxcommandBegin(kPoints)});
    renderMode(kGlRender);
    client.render(tag, {glxcommandEnd()});
    client.send(client.single(kMinorSelectBuffer, tag).i(64));
    client.render(tag, namedPoint);
    hits = renderMode(kGlRender);
    ASSERT_GE(hits.size(), 32u);
    EXPECT_EQ(client.word(hits, 8), 1u);

    // A feedback buffer of an unknown type is refused, the big one stays.
    client.send(client.single(kMinorFeedbackBuffer, tag).i(kMany).i(kGl3D));
    client.send(client.single(kMinorFeedbackBuffer, tag).i(4).i(0));
    renderMode(kGlFeedback);
    client.render(tag, {glxcommandBegin(kPoints), glxcommandVertex2f(0, 0), glxcommandEnd()});
    RawBytes values = renderMode(kGlRender);
    ASSERT_GE(values.size(), 32u) << tarvo.log();
    ASSERT_EQ(values[0], 1);
    EXPECT_EQ(client.word(values, 8), 4u);  // GL_POINT_TOKEN and x, y, z
    client.raw.close();
  }
}

// Beyond lumoraMemory (1 GiB by default) names and pbuffers get BadAlloc; a name range over
// billions of unused names is done at once.
TEST_F(LumoraState, NamesAndPbuffersBeyondTheBudgetGetBadAlloc) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.errorOf(client.single(kMinorGenTextures, tag).i(16 << 20)), kBadAlloc);
    EXPECT_EQ(client.errorOf(client.single(kMinorGenLists, tag).i(20 << 20)), kBadAlloc);
    EXPECT_EQ(client.errorOf(client.single(kMinorGenLists, tag).i(0x7fffffff)), kBadAlloc);
    RawBytes lists = client.ask(client.single(kMinorGenLists, tag).i(10));
    ASSERT_EQ(lists[0], 1);
    EXPECT_NE(client.word(lists, 8), 0u);
    EXPECT_EQ(client.errorAfter(client.single(kMinorDeleteLists, tag).i(1).i(0x7fffffff)), 0);
    // Within the budget names still come.
    RawBytes names = client.ask(client.single(kMinorGenTextures, tag).i(1000));
    ASSERT_EQ(names[0], 1) << "error " << int(names[1]);
    EXPECT_EQ(client.word(names, 4), 1000u);  // the reply's length: the names
    int error = 0;
    for (int k = 0; k < 3 && error == 0; k++) client.pbuffer(config.config, 16000, 16000, &error);
    EXPECT_EQ(error, kBadAlloc);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    client.raw.close();
  }
}

// The resident set of a process in kB (VmRSS), or -1.
long residentKb(pid_t pid) {
  std::string status = tarvoReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// Texture images and renderbuffers count against lumoraMemory (64M here): CopyTexImage2D of
// 1024x1024 RGBA32F (16 MiB each) onto new textures gets BadAlloc once the budget is used,
// deleting the textures gives it back; a size beyond the library's maximum is its
// GL_INVALID_VALUE. A renderbuffer of 1 GiB is BadAlloc at once.
TEST_F(LumoraState, TextureLevelsCountAgainstASmallBudget) {
  constexpr uint32_t kTexture2D = 0x0DE1, kRgba32f = 0x8814, kBindTexture = 4117, kCopyTexImage2D = 4120;
  constexpr uint32_t kTextures = 12;
  constexpr uint8_t kMinorDeleteTextures = 144, kMinorGetError = 115;
  auto copyOnto = [](uint32_t texture, int32_t size) {
    GlxCommand bind{kBindTexture, {}}, copy{kCopyTexImage2D, {}};
    glxcommandPut32(glxcommandPut32(bind, kTexture2D), texture);
    for (uint32_t v : {kTexture2D, 0u, kRgba32f, 0u, 0u, uint32_t(size), uint32_t(size), 0u}) glxcommandPut32(copy, v);
    return std::vector<GlxCommand>{bind, copy};
  };
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    auto storage = [&](int32_t side) {
      GlxCommand bind{4316, {}}, store{4318, {}};
      glxcommandPut32(glxcommandPut32(bind, 0x8D41), 1);
      for (uint32_t v : {0x8D41u, kRgba32f, uint32_t(side), uint32_t(side)}) glxcommandPut32(store, v);
      return client.errorAfter(glxcommandRenderRequest(client.major, tag, {bind, store}, client.big));
    };
    EXPECT_EQ(storage(8192), kBadAlloc);
    EXPECT_EQ(storage(64), 0);
    GlxCommand dropRenderbuffer{4317, {}};
    glxcommandPut32(glxcommandPut32(dropRenderbuffer, 1), 1);
    client.render(tag, {dropRenderbuffer});
    int served = 0, refused = 0;
    for (uint32_t texture = 1; texture <= kTextures; texture++) {
      int error = client.errorAfter(glxcommandRenderRequest(client.major, tag, copyOnto(texture, 1024), client.big));
      if (error == 0) served++;
      if (error == kBadAlloc) refused++;
    }
    EXPECT_GE(served, 2);
    EXPECT_LE(served, 4);
    EXPECT_EQ(served + refused, int(kTextures));
    EXPECT_LT(residentKb(tarvo.pid()) - before, 100 * 1024) << "kB";
    // Beyond the library's maximum: its error, nothing counted.
    EXPECT_EQ(client.errorAfter(glxcommandRenderRequest(client.major, tag, copyOnto(kTextures + 1, 1 << 20), client.big)),
              0);
    RawBytes error = client.ask(client.single(kMinorGetError, tag));
    ASSERT_EQ(error[0], 1);
    EXPECT_EQ(client.word(error, 8), 0x0501u);  // GL_INVALID_VALUE
    // The textures deleted, the budget is back.
    RawRequest remove = client.single(kMinorDeleteTextures, tag).i(kTextures);
    for (uint32_t texture = 1; texture <= kTextures; texture++) remove.i(texture);
    EXPECT_EQ(client.errorAfter(std::move(remove)), 0);
    for (uint32_t texture = 1; texture <= uint32_t(served); texture++)
      EXPECT_EQ(client.errorAfter(glxcommandRenderRequest(client.major, tag, copyOnto(texture, 1024), client.big)), 0);
    client.raw.close();
  }
}

// Answers as the real server gives them.
TEST_F(LumoraState, MissingDrawablesAndValueCountsAnswerAsTheServer) {
  constexpr uint32_t kDepthBounds = 0x8891, kCurrentMatrix = 0x8641, kTransposeCurrentMatrix = 0x88B7;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    uint32_t pbuffer = client.pbuffer(config.config, 16, 16);
    uint32_t context = client.newContext(config.config);
    int error = 0;
    EXPECT_EQ(client.makeCurrent(0, pbuffer, client.raw.idBase() | 0xfff0, context, &error), 0u);
    EXPECT_EQ(error, config.firstError + kGlxBadDrawable);
    // A missing pixmap (BadDrawable), and a window where a pixmap belongs (BadPixmap).
    uint32_t window = client.window(config.visual);
    for (auto [pixmap, code] : {std::pair{client.raw.idBase() | 0xfff1, kBadDrawable}, {window, kBadPixmap}})
      EXPECT_EQ(client.errorAfter(client.glx(kMinorCreateGlxPixmap).i(0).i(config.visual).i(pixmap).i(client.id())),
                code);
    for (uint8_t minor : {kMinorGetIntegerv, kMinorGetDoublev})
      for (auto [pname, count] : {std::pair{kDepthBounds, 2u}, {kCurrentMatrix, 16u}, {kTransposeCurrentMatrix, 16u}}) {
        RawBytes answer = client.ask(client.single(minor, tag).i(pname));
        ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
        EXPECT_EQ(client.word(answer, 12), count) << std::hex << pname;
      }
    client.raw.close();
  }
}

}  // namespace
