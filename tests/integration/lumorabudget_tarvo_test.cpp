// What the GL library inside the proxy keeps for a client counts against its lumoraMemory
// (tarvo with its one head served by the system's GL library, "lumora on", raw clients of both
// byte orders): buffer storage by its size, a texture level only once the library took it, the
// contents of display lists by the bytes of their commands; display-list names belong to their
// share group and go back with it; what a client that went left in a share group gives nothing
// back to the client that takes its index. Past the budget the client gets BadAlloc, tarvo's
// resident set stays within the budget and a margin, other clients are served and tarvo ends
// cleanly (a sanitizer's report shows in its status).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "glxcommands.h"
#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kMinorDestroyContext = 4;
constexpr uint8_t kMinorNewList = 101, kMinorEndList = 102, kMinorDeleteLists = 103, kMinorGenLists = 104;
constexpr uint8_t kMinorGetError = 115, kMinorIsList = 141, kMinorDeleteTextures = 144;
constexpr int kBadAlloc = 11;
constexpr uint32_t kGlCompile = 0x1300;
constexpr uint32_t kTexture2D = 0x0DE1, kRgba8 = 0x8058, kRgba32f = 0x8814, kRgba = 0x1908, kUnsignedByte = 0x1401;
constexpr uint32_t kArrayBuffer = 0x8892, kStaticDraw = 0x88E4;
constexpr uint16_t kRopBindTexture = 4117, kRopCopyTexImage2D = 4120, kRopBindBuffer = 290, kRopBufferData = 298;
// What tarvo's resident set may grow beyond the budget (the library's own working memory).
constexpr long kMarginKb = 64 * 1024;

// The resident set of a process in kB (VmRSS), or -1.
long residentKb(pid_t pid) {
  std::string status = tarvoReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

GlxCommand bindTexture(uint32_t texture) {
  GlxCommand bind{kRopBindTexture, {}};
  return glxcommandPut32(glxcommandPut32(bind, kTexture2D), texture);
}
// CopyTexImage2D of a side x side level 0 of the format from the read buffer.
GlxCommand copyTexImage(uint32_t format, int32_t side) {
  GlxCommand copy{kRopCopyTexImage2D, {}};
  for (uint32_t v : {kTexture2D, 0u, format, 0u, 0u, uint32_t(side), uint32_t(side), 0u}) glxcommandPut32(copy, v);
  return copy;
}
GlxCommand bindBuffer(uint32_t buffer, uint32_t target = kArrayBuffer) {
  GlxCommand bind{kRopBindBuffer, {}};
  return glxcommandPut32(glxcommandPut32(bind, target), buffer);
}
// A command of 32-bit words.
GlxCommand words(uint16_t opcode, std::initializer_list<uint32_t> values) { return glxcommandWords(opcode, values); }
// BufferData of size bytes into the array buffer (or another target): the bytes carried, or none
// (a NULL pointer).
GlxCommand bufferData(uint64_t size, bool carried, uint32_t target = kArrayBuffer) {
  GlxCommand data{kRopBufferData, {}};
  data.fields.push_back(GlxCommandField{8, size, {}});
  glxcommandPut32(glxcommandPut32(data, target), kStaticDraw);
  glxcommandPut8(data, carried ? 0 : 1);
  for (int k = 0; k < 3; k++) glxcommandPut8(data, 0);
  if (carried) glxcommandPutRaw(data, GlxBytes(size, 0x5a));
  return data;
}

// Xvfb, tarvo with its screen served by the GL library and lumoraMemory as the test's name ends
// ("...Budget16M"), and the FBConfig to draw with.
class LumoraBudget : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    XvfbOptions x;
    x.screens = {"800x600x24"};
    x.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(x), "");
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    size_t at = name.rfind("Budget");
    ASSERT_NE(at, std::string::npos);
    budgetMb = std::atoi(name.c_str() + at + 6);
    ASSERT_GT(budgetMb, 0);
    TarvoOptions options;
    options.arguments = {"screen", "%D.0", "lumora", "on", "lumoraMemory", std::to_string(budgetMb) + "M"};
    options.logTypes = {"steps", "Xhints"};
    const char *asan = getenv("ASAN_OPTIONS");
    // Under AddressSanitizer freed blocks (the large requests' buffers) would stay resident in
    // its quarantine: the resident set is to show what the library holds.
    options.environment.emplace_back("ASAN_OPTIONS",
                                     std::string(asan ? asan : "") + ":detect_leaks=0:quarantine_size_mb=1");
    ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
    config = lumoraFindConfig(tarvo.displayName());
    ASSERT_NE(config.config, 0u);
  }
  // tarvo is up and serves another client, and ends cleanly.
  void TearDown() override { lumoraExpectServedAndStop(tarvo); }
  // A client of the byte order with a context (sharing with share) current on a pbuffer: its tag.
  uint32_t currentOnPbuffer(LumoraClient &client, char order, uint32_t share = 0, uint32_t *context = nullptr) {
    return client.currentOnPbuffer(tarvo.displayNumber(), order, config.config, share, context);
  }
  // tarvo's resident set grew by less than the budget and the margin since `before`.
  void expectWithinBudget(long before) {
    long now = residentKb(tarvo.pid());
    EXPECT_LT(now - before, budgetMb * 1024 + kMarginKb) << "kB";
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  LumoraConfig config;
  long budgetMb = 0;
};

// Buffer storage counts by its size: 1 GiB without data is BadAlloc at once, 4 MiB buffers
// with data are taken while the budget lasts, the first storage re-specified replaces its
// count, and deleted buffers give it back.
TEST_F(LumoraBudget, BufferStorageCountsBySizeBudget16M) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    EXPECT_EQ(client.errorAfter(glxcommandRenderRequest(client.major, tag, {bindBuffer(1), bufferData(1u << 30, false)},
                                                        client.big)),
              kBadAlloc);
    int served = 0, refused = 0;
    for (uint32_t buffer = 1; buffer <= 24; buffer++) {
      client.render(tag, {bindBuffer(buffer)});
      int error = client.renderLarge(tag, bufferData(4 << 20, true));
      if (error == 0) served++;
      if (error == kBadAlloc) refused++;
    }
    EXPECT_GE(served, 2);
    EXPECT_LE(served, 4);
    EXPECT_EQ(served + refused, 24);
    expectWithinBudget(before);
    // The first buffer's storage shrunk to 4 bytes: room for another 4 MiB.
    client.render(tag, {bindBuffer(1)});
    EXPECT_EQ(client.errorAfter(glxcommandRenderRequest(client.major, tag, {bufferData(4, true)}, client.big)), 0);
    client.render(tag, {bindBuffer(24)});
    EXPECT_EQ(client.renderLarge(tag, bufferData(4 << 20, true)), 0);
    client.raw.close();
  }
}

// A level the library refuses (0x0 with border 2) leaves the level it keeps counted: textures
// of 16 MiB each, each "re-specified" so, stop at the budget.
TEST_F(LumoraBudget, RefusedLevelsKeepTheirCountBudget32M) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    int served = 0, refused = 0;
    for (uint32_t texture = 1; texture <= 8; texture++) {
      int error = client.errorAfter(glxcommandRenderRequest(
          client.major, tag, {bindTexture(texture), copyTexImage(kRgba8, 2048)}, client.big));
      if (error == 0) served++;
      if (error == kBadAlloc) refused++;
      GlxCommand zero = glxcommandTexImage2D(GlxPixelHeader{}, kTexture2D, 0, int32_t(kRgba), 0, 0, 2, kRgba,
                                             kUnsignedByte, {});
      EXPECT_EQ(client.errorAfter(glxcommandRenderRequest(client.major, tag, {zero}, client.big)), 0);
      // The refusal is the library's: the client reads its error.
      if (error == 0) {
        RawBytes answer = client.ask(client.single(kMinorGetError, tag));
        ASSERT_EQ(answer[0], 1);
        EXPECT_EQ(client.word(answer, 8), 0x0501u);  // GL_INVALID_VALUE
      }
    }
    // One level and the pbuffer's pixels fill most of the budget: the second level passes it.
    EXPECT_EQ(served, 1);
    EXPECT_EQ(served + refused, 8);
    expectWithinBudget(before);
    client.raw.close();
  }
}

// Display-list names belong to their share group: lists deleted in an unshared context stay
// counted (half the budget a round: the third round is refused); two clients' list 1 are two
// lists; a context destroyed gives its group's names back.
TEST_F(LumoraBudget, ListNamesBelongToTheShareGroupBudget64M) {
  // Names worth a little less than half the budget (the pbuffers count too).
  constexpr uint32_t kHalf = (64u << 20) / 256 / 2 - 1024;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    uint32_t pbuffer = client.pbuffer(config.config, 16, 16);
    uint32_t otherContext = client.newContext(config.config);
    uint32_t otherTag = client.makeCurrent(0, pbuffer, pbuffer, otherContext);
    ASSERT_NE(otherTag, 0u);
    for (int round = 0; round < 3; round++) {
      RawBytes lists = client.ask(client.single(kMinorGenLists, tag).i(kHalf));
      ASSERT_FALSE(lists.empty());
      if (round < 2) {
        ASSERT_EQ(lists[0], 1) << "error " << int(lists[1]);
        EXPECT_EQ(client.errorAfter(client.single(kMinorDeleteLists, otherTag).i(client.word(lists, 8)).i(kHalf)), 0);
      } else {
        EXPECT_EQ(lists[0], 0);
        EXPECT_EQ(lists[1], kBadAlloc);
      }
    }
    // The rest of the budget filled with names: a list of an unused name is a name too.
    for (uint32_t n = 4096; n >= 1; n /= 2)
      for (RawBytes more = client.ask(client.single(kMinorGenLists, tag).i(n)); !more.empty() && more[0] == 1;)
        more = client.ask(client.single(kMinorGenLists, tag).i(n));
    EXPECT_EQ(client.errorAfter(client.single(kMinorNewList, tag).i(0x7fff0000).i(kGlCompile)), kBadAlloc);
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    client.raw.close();
  }
  // Two clients' list 1 are two lists: the first deletes its own, then the second its own.
  LumoraClient first, second;
  uint32_t firstTag = currentOnPbuffer(first, 'l'), secondTag = currentOnPbuffer(second, 'B');
  ASSERT_NE(firstTag, 0u);
  ASSERT_NE(secondTag, 0u);
  for (auto [c, t] : {std::pair{&first, firstTag}, {&second, secondTag}}) {
    RawBytes lists = c->ask(c->single(kMinorGenLists, t).i(1));
    ASSERT_EQ(lists[0], 1);
    ASSERT_EQ(c->word(lists, 8), 1u);
  }
  EXPECT_EQ(first.errorAfter(first.single(kMinorDeleteLists, firstTag).i(1).i(1)), 0);
  EXPECT_EQ(second.errorAfter(second.single(kMinorDeleteLists, secondTag).i(1).i(1)), 0);
  RawBytes isList = second.ask(second.single(kMinorIsList, secondTag).i(1));
  ASSERT_EQ(isList[0], 1);
  EXPECT_EQ(second.word(isList, 8) & 0xff, 0u);
  first.raw.close();
  second.raw.close();
  // Lists worth half the budget in contexts that go, three times: the names went with them.
  LumoraClient client;
  uint32_t tag = currentOnPbuffer(client, 'l');
  ASSERT_NE(tag, 0u);
  uint32_t pbuffer = client.pbuffer(config.config, 16, 16);
  for (int round = 0; round < 3; round++) {
    uint32_t context = client.newContext(config.config);
    uint32_t t = client.makeCurrent(0, pbuffer, pbuffer, context);
    ASSERT_NE(t, 0u);
    RawBytes lists = client.ask(client.single(kMinorGenLists, t).i(kHalf));
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(lists[0], 1) << "round " << round << " error " << int(lists[1]);
    client.makeCurrent(t, 0, 0, 0);
    EXPECT_EQ(client.errorAfter(client.glx(kMinorDestroyContext).i(context)), 0);
  }
  client.raw.close();
}

// A client leaves a 16 MiB texture in another client's share group; the client that takes its
// connection index fills its budget; the texture deleted gives that client nothing.
TEST_F(LumoraBudget, ADepartedClientsRefundsGoToNobodyBudget40M) {
  LumoraClient owner;
  uint32_t groupContext = 0;
  uint32_t ownerTag = currentOnPbuffer(owner, 'l', 0, &groupContext);
  ASSERT_NE(ownerTag, 0u) << tarvo.log();
  uint32_t leaverBase = 0;
  {
    LumoraClient leaver;
    uint32_t tag = currentOnPbuffer(leaver, 'l', groupContext);
    ASSERT_NE(tag, 0u) << tarvo.log();
    leaverBase = leaver.raw.idBase();
    EXPECT_EQ(leaver.errorAfter(glxcommandRenderRequest(leaver.major, tag,
                                                        {bindTexture(7), copyTexImage(kRgba32f, 1024)}, false)),
              0);
    leaver.raw.close();
  }
  // A later client takes the index once the proxy let the old one go (its raw connections
  // departed): clients that got lower free indexes stay connected meanwhile.
  std::unique_ptr<LumoraClient> taker;
  std::vector<std::unique_ptr<LumoraClient>> lower;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!taker && lower.size() < 64 && std::chrono::steady_clock::now() < deadline) {
    auto probe = std::make_unique<LumoraClient>();
    ASSERT_EQ(probe->connect(tarvo.displayNumber(), 'l'), "");
    if (probe->raw.idBase() == leaverBase) {
      taker = std::move(probe);
    } else if (probe->raw.idBase() < leaverBase) {
      lower.push_back(std::move(probe));
    } else {
      probe->raw.close();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  for (auto &probe : lower) probe->raw.close();
  ASSERT_TRUE(taker) << "no client took the index";
  uint32_t pbuffer = taker->pbuffer(config.config, 32, 32);
  uint32_t context = taker->newContext(config.config);
  uint32_t takerTag = taker->makeCurrent(0, pbuffer, pbuffer, context);
  ASSERT_NE(takerTag, 0u);
  int served = 0;
  for (uint32_t texture = 1; texture <= 3; texture++)
    if (taker->errorAfter(glxcommandRenderRequest(taker->major, takerTag,
                                                 {bindTexture(texture), copyTexImage(kRgba32f, 1024)}, false)) == 0)
      served++;
  EXPECT_EQ(served, 2);
  EXPECT_EQ(owner.errorAfter(owner.single(kMinorDeleteTextures, ownerTag).i(1).i(7)), 0);
  EXPECT_EQ(taker->errorAfter(glxcommandRenderRequest(taker->major, takerTag,
                                                     {bindTexture(4), copyTexImage(kRgba32f, 1024)}, false)),
            kBadAlloc);
  taker->raw.close();
  owner.raw.close();
}

// The commands compiled into a display list count by their bytes: 24 DrawPixels of 4 MiB into
// one list are refused once the budget is used; the list re-made empty gives the room back.
TEST_F(LumoraBudget, ListContentsCountByTheirBytesBudget16M) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    GlxCommand pixels = glxcommandDrawPixels(GlxPixelHeader{}, 1024, 1024, kRgba, kUnsignedByte,
                                             GlxBytes(4u << 20, 0x33));
    client.send(client.single(kMinorNewList, tag).i(1).i(kGlCompile));
    int served = 0, refused = 0;
    for (int k = 0; k < 24; k++) {
      int error = client.renderLarge(tag, pixels);
      if (error == 0) served++;
      if (error == kBadAlloc) refused++;
    }
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    EXPECT_GE(served, 2);
    EXPECT_LE(served, 4);
    EXPECT_EQ(served + refused, 24);
    expectWithinBudget(before);
    client.send(client.single(kMinorNewList, tag).i(1).i(kGlCompile));
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    client.send(client.single(kMinorNewList, tag).i(2).i(kGlCompile));
    EXPECT_EQ(client.renderLarge(tag, pixels), 0);
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    client.raw.close();
  }
}

// The font lists of UseXFont count by their glyph bitmaps: 256 characters of a Type1 font
// scaled to 2000 pixels (about 34 MB of bitmaps) are refused with BadAlloc and nothing kept;
// the printable characters of "fixed" are served, and each list is there; deleted, they give
// their room back.
TEST_F(LumoraBudget, UseXFontCountsItsGlyphBitmapsBudget16M) {
  constexpr uint8_t kMinorUseXFont = 12;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    auto openFont = [&](const std::string &name) {
      uint32_t font = client.id();
      RawRequest open(client.big);
      open.b(45).b(0).s(0).i(font).s(uint32_t(name.size())).s(0).text(name).align();
      EXPECT_EQ(client.errorAfter(open), 0) << name;
      return font;
    };
    auto useXFont = [&](uint32_t font, uint32_t first, uint32_t count, uint32_t base) {
      return client.errorAfter(client.single(kMinorUseXFont, tag).i(font).i(first).i(count).i(base));
    };
    uint32_t large = openFont("-adobe-itc bookman-light-r-normal--2000-0-0-0-p-0-iso8859-1");
    EXPECT_EQ(useXFont(large, 0, 256, 1000), kBadAlloc);
    RawBytes isList = client.ask(client.single(kMinorIsList, tag).i(1065));
    ASSERT_EQ(isList[0], 1);
    EXPECT_EQ(client.word(isList, 8), 0u);
    expectWithinBudget(before);
    uint32_t fixed = openFont("fixed");
    for (int round = 0; round < 2; round++) {
      EXPECT_EQ(useXFont(fixed, 32, 96, 2000), 0);
      isList = client.ask(client.single(kMinorIsList, tag).i(2000 + 65 - 32));
      ASSERT_EQ(isList[0], 1);
      EXPECT_EQ(client.word(isList, 8), 1u);
      EXPECT_EQ(client.errorAfter(client.single(kMinorDeleteLists, tag).i(2000).i(96)), 0);
    }
    client.raw.close();
  }
}

// A list keeps what its draws and images read from buffer objects when it is compiled, counted
// by its bytes: 40 draws of 1 Mi points from an 8 MiB array buffer, 10 of 4 Mi indices from an
// element buffer and 10 three-dimensional images of 16 MiB from a pixel-unpack buffer compiled
// into one list pass the budget left but for one image (BadAlloc, nothing kept; the library's
// list compiler kept every vertex and image it read, uncounted), and tarvo's resident set stays
// within the budget. Draws of 2^15 points fit; a CallLists of such a list 25 times is drawn
// whole (the request yields its turns meanwhile), and nothing more is kept for it. (Its 3 Mi
// points take a second or two of the software library under AddressSanitizer on a busy
// machine: far within the watchdog of a request's own turns, which 100 calls could pass there.)
TEST_F(LumoraBudget, ListsKeepWhatTheyReadCountedBudget64M) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    long before = residentKb(tarvo.pid());
    constexpr uint32_t kElementBuffer = 0x8893, kUnpackBuffer = 0x88EC;
    client.render(tag, {bindBuffer(1), bufferData(8u << 20, false), words(291, {0, 0, 0x8074, 0, 2, 0x1406, 0, 0}),
                        words(292, {0x8074, 0}), bindBuffer(2, kElementBuffer),
                        bufferData(16u << 20, false, kElementBuffer), bindBuffer(3, kUnpackBuffer),
                        bufferData(16u << 20, false, kUnpackBuffer)});
    client.send(client.single(kMinorNewList, tag).i(1).i(kGlCompile));
    int refused = 0;
    auto compiled = [&](const GlxCommand &command) {
      int error = client.errorAfter(glxcommandRenderRequest(client.major, tag, {command}, client.big));
      EXPECT_TRUE(error == 0 || error == kBadAlloc) << error;
      refused += error == kBadAlloc;
    };
    for (int k = 0; k < 40; k++) compiled(words(300, {0, 0, 1u << 20, 0}));
    for (int k = 0; k < 10; k++) compiled(words(295, {0, 0, 0, 4u << 20, 0x1405}));
    // TexImage3D of 256 x 256 x 64 RGBA bytes from the unpack buffer (no image carried).
    GlxCommand image = words(4114, {0, 0, 0, 0, 0, 0, 0, 0, 4, 0x806F, 0, kRgba8, 256, 256, 64, 0, 0, kRgba,
                                    kUnsignedByte, 1});
    EXPECT_EQ(refused, 50);
    // The images are read from the buffer as well: the budget takes one.
    for (int k = 0; k < 10; k++) compiled(image);
    EXPECT_EQ(refused, 59);
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    {
      SCOPED_TRACE("compiled");
      expectWithinBudget(before);
    }
    client.render(tag, {words(1, {1})});
    client.ask(client.single(kMinorGetError, tag));
    {
      SCOPED_TRACE("called");
      expectWithinBudget(before);
    }
    client.render(tag, {bindBuffer(0, kUnpackBuffer)});
    client.send(client.single(kMinorNewList, tag).i(2).i(kGlCompile));
    for (int k = 0; k < 4; k++) compiled(words(300, {0, 0, 1u << 15, 0}));
    EXPECT_EQ(refused, 59);
    EXPECT_EQ(client.errorAfter(client.single(kMinorEndList, tag)), 0);
    GlxCommand calls = words(2, {25, 0x1401});
    glxcommandPutRaw(calls, GlxBytes(25, 2));
    client.render(tag, {calls});
    RawBytes error = client.ask(client.single(kMinorGetError, tag));
    EXPECT_EQ(client.word(error, 8), 0u);
    expectWithinBudget(before);
    client.raw.close();
  }
}

// A client that ends while it makes a list leaves nothing behind: five clients one after the
// other, each compiling 48 MiB and closing without EndList, leave tarvo's resident set within
// one budget (the library kept each open list, and the client's count was given back anyway).
TEST_F(LumoraBudget, ListsOfClientsThatEndWhileCompilingGoBudget64M) {
  long before = -1;
  GlxCommand pixels = glxcommandDrawPixels(GlxPixelHeader{}, 1024, 1024, kRgba, kUnsignedByte, GlxBytes(4u << 20, 0x33));
  for (int round = 0; round < 5; round++) {
    char order = round % 2 ? 'B' : 'l';
    SCOPED_TRACE(round);
    LumoraClient client;
    uint32_t tag = currentOnPbuffer(client, order);
    ASSERT_NE(tag, 0u) << tarvo.log();
    if (before < 0) before = residentKb(tarvo.pid());
    client.send(client.single(kMinorNewList, tag).i(1).i(round % 2 ? 0x1301 : kGlCompile));
    for (int k = 0; k < 12; k++) EXPECT_EQ(client.renderLarge(tag, pixels), 0);
    client.raw.close();
  }
  LumoraClient last;
  ASSERT_NE(currentOnPbuffer(last, 'l'), 0u);
  expectWithinBudget(before);
}

}  // namespace
