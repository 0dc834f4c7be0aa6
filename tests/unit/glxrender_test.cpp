// GLXRender and GLXRenderLarge on the fake core, in both byte orders: the per-head copies with
// the heads' tags, large commands joined and cut again into the proxy's own pieces, the pieces
// refused (order, totals, lengths) without anything replayed, growth that follows the bytes
// sent, the MakeCurrent before each head of a shared display, single-buffering emulation; the
// render-stream walkers and the size of a large command's first piece.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xclient/glxsupport.h"
#include "xext/ext.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxindirect.h"
#include "xext/glxswap.h"

namespace {

constexpr uint8_t kMajor = 201;
constexpr uint8_t kGlxError = 170;
constexpr uint8_t kBadLargeRequest = kGlxError + 7;
ExtRequestRow rows[3];

struct SeenCommand {
  uint32_t opcode;
  size_t bytes;
  int direction;
};
std::vector<SeenCommand> seen;
void observe(uint32_t opcode, uint8_t *first, uint8_t *end, int direction) {
  seen.push_back({opcode, size_t(end - first), direction});
}

// A large command: its 8-byte header in the given order, then `data` bytes counting up.
FakeBytes largeCommand(bool big, uint32_t length, uint32_t opcode, size_t data) {
  FakeBytes out = FakeMessage(big).i(length).i(opcode).d;
  for (size_t k = 0; k < data; k++) out.push_back(uint8_t(k * 7 + 1));
  return out;
}

class GlxRenderTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    single = core.addScreen(800, 600, 1);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    heads = core.heads(screen);
    heads.push_back(core.heads(single)[0]);
    for (size_t k = 0; k < 3; k++) {
      headVisuals[k].visualId = 0x60 + uint32_t(k);
      maps[k] = &headVisuals[k];
      heads[k]->visualMap = &maps[k];
    }
    ExtensionRecord *record = &proxyState.extensions[kMajor];
    record->firstError = kGlxError;
    ASSERT_EQ(extRegister(record, "GLX", 2, 14), nullptr);
    rows[0] = *glxContextRow(1);
    rows[1] = *glxContextRow(2);
    rows[2] = *glxContextRow(5);
    extWriteRows(record, ExtRequestTable{rows, 3});
    proxyState.ext.glx = record;
    proxyState.ext.glxMajor = kMajor;
    glxInitContexts();
    FakeCore::Current current(*client);
    window = windowCreate(client->id(1), core.root(screen), 0, 0, 100, 100, 0, 0, 0);
    singleWindow = windowCreate(client->id(2), core.root(single), 0, 0, 100, 100, 0, 0, 0);
    context = newContext(client->id(3), screen);
    singleContext = newContext(client->id(4), single);
    core.serverRequests(*client);
    seen.clear();
    glxSwapRenderObserver = observe;
  }
  void TearDown() override {
    glxSwapRenderObserver = nullptr;
    for (Head *h : heads) h->visualMap = nullptr;
    glxFreeTagTable();
    xproxyGlxClientGone = nullptr;
    extResetAll();
  }
  GlxContextRecord *newContext(uint32_t id, MetaScreen *on) {
    auto *c = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    *c = GlxContextRecord{on, on->visuals, nullptr, id, 0, 0, 0, {}, {}};
    EXPECT_EQ(glxInitContextObjects(c, nullptr), 1);
    FakeCore::Current current(*client);
    EXPECT_EQ(resourceAdd(id, kResourceGlxContext, c), 1);
    return c;
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  // The GLX requests of the minor (all for 0) written since the last look.
  std::vector<FakeBytes> copies(uint16_t *last = nullptr, uint8_t minor = 0) {
    // Large output passes the socket in several flushes: read until nothing more comes.
    std::vector<FakeBytes> out;
    for (int quiet = 0; quiet < 3;) {
      auto got = core.serverRequests(*client);
      quiet = got.empty() ? quiet + 1 : 0;
      for (auto &r : got)
        if (r[0] == kMajor && (minor == 0 || r[1] == minor)) out.push_back(r);
    }
    if (last) *last = uint16_t(client->client->displays[0]->requestsSent);
    return out;
  }
  // Binds a tag on the window's screen through each head's reply (server tags 0x11, 0x22 ...).
  uint32_t bind(WindowRecord *on, GlxContextRecord *ctx) {
    send(FakeMessage(client->big).b(kMajor).b(5).s(4).i(on->id).i(ctx->contextId).i(0).done());
    uint16_t last = 0;
    size_t n = copies(&last, 5).size();
    for (size_t k = 0; k < n; k++)
      core.feedServer(*client, FakeMessage(false).b(1).b(0).s(uint16_t(last - (n - 1 - k))).i(0).i(uint32_t(0x11 * (k + 1))).pad(20).d);
    auto got = core.messages(*client);
    copies();
    return got.size() == 1 && got[0][0] == 1 ? client->u32(got[0], 8) : 0;
  }
  void piece(uint32_t tag, uint32_t number, uint32_t total, const FakeBytes &data, uint32_t count) {
    FakeMessage m(client->big);
    m.b(kMajor).b(2).s(0).i(tag).s(number).s(total).i(count);
    m.d.insert(m.d.end(), data.begin(), data.end());
    send(m.align().done());
  }
  // The whole command sent in pieces of the given data sizes.
  void pieces(uint32_t tag, const FakeBytes &command, const std::vector<size_t> &sizes) {
    size_t at = 0;
    for (size_t k = 0; k < sizes.size(); k++) {
      FakeBytes part(command.begin() + long(at), command.begin() + long(at + sizes[k]));
      piece(tag, uint32_t(k + 1), uint32_t(sizes.size()), part, uint32_t(sizes[k]));
      at += sizes[k];
    }
  }
  // The large pieces written: their data joined; counts and numbering checked.
  FakeBytes joined(const std::vector<FakeBytes> &written, uint32_t serverTag, std::vector<uint32_t> *counts) {
    FakeBytes out;
    for (size_t k = 0; k < written.size(); k++) {
      const FakeBytes &r = written[k];
      EXPECT_EQ(r[1], 2);
      EXPECT_EQ(rawGet32(r, 4, false), serverTag);
      EXPECT_EQ(rawGet16(r, 8, false), k + 1);
      EXPECT_EQ(rawGet16(r, 10, false), written.size());
      uint32_t count = rawGet32(r, 12, false);
      EXPECT_EQ(r.size(), 16 + ((count + 3) & ~3u));
      if (counts) counts->push_back(count);
      out.insert(out.end(), r.begin() + 16, r.begin() + 16 + count);
    }
    return out;
  }
  // What the proxy sends on for a command in the client's order: header in this machine's, and
  // for the other order the data put into this one by the render table.
  FakeBytes forwarded(const FakeBytes &command) {
    FakeBytes out = command;
    for (size_t at : {0, 4}) {
      uint32_t v = rawGet32(command, at, client->big);
      memcpy(out.data() + at, &v, 4);
    }
    if (client->big) {
      GlxSwapRenderObserver saved = glxSwapRenderObserver;
      glxSwapRenderObserver = nullptr;
      glxSwapRenderCommand(rawGet32(out, 4, false), out.data() + 8, out.data() + out.size(), 1);
      glxSwapRenderObserver = saved;
    }
    return out;
  }

  FakeCore core;
  MetaScreen *screen = nullptr, *single = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  VisualRecord headVisuals[3] = {};
  VisualRecord *maps[3] = {};
  WindowRecord *window = nullptr, *singleWindow = nullptr;
  GlxContextRecord *context = nullptr, *singleContext = nullptr;
};

TEST_P(GlxRenderTest, RenderCopiedPerHead) {
  uint32_t tag = bind(window, context);
  ASSERT_EQ(tag, 1u);
  send(FakeMessage(client->big).b(kMajor).b(1).s(0).i(tag).done());  // no commands
  // Two commands, a third whose length runs past the end.
  send(FakeMessage(client->big).b(kMajor).b(1).s(0).i(tag).s(8).s(2).i(5).s(12).s(171).i(1).i(2).s(40).s(9).done());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t k = 0; k < 4; k++) {
    EXPECT_EQ(sent[k][1], 1);
    EXPECT_EQ(rawGet32(sent[k], 4, false), 0x11u * (k % 2 + 1));
  }
  EXPECT_EQ(sent[0].size(), 8u);
  ASSERT_EQ(sent[2].size(), 32u);
  EXPECT_EQ(rawGet16(sent[2], 8, false), 8u);
  EXPECT_EQ(rawGet16(sent[2], 10, false), 2u);
  EXPECT_EQ(client->u32(sent[2], 12), 5u);  // data is the command swapper's
  EXPECT_EQ(rawGet16(sent[2], 18, false), 171u);
  EXPECT_EQ(rawGet16(sent[2], 28, false), 40u);  // the stray header comes out in this order too
  // The data of each whole command went to the command swapper once, for 'B' only.
  if (client->big) {
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].opcode, 2u);
    EXPECT_EQ(seen[0].bytes, 4u);
    EXPECT_EQ(seen[1].opcode, 171u);
    EXPECT_EQ(seen[1].bytes, 8u);
  } else {
    EXPECT_TRUE(seen.empty());
  }
  EXPECT_TRUE(core.messages(*client).empty());
  // Tag 0 and a tag of nobody: GLXBadContextTag; shorter than 8 bytes: BadLength.
  send(FakeMessage(client->big).b(kMajor).b(1).s(0).i(0).done());
  send(FakeMessage(client->big).b(kMajor).b(1).s(0).i(9).done());
  send(FakeMessage(client->big).b(kMajor).b(1).s(0).done());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0][1], kGlxError + 4);
  EXPECT_EQ(client->u32(got[0], 4), 0u);
  EXPECT_EQ(got[1][1], kGlxError + 4);
  EXPECT_EQ(client->u32(got[1], 4), 9u);
  EXPECT_EQ(got[2][1], 16);
  EXPECT_TRUE(copies().empty());
}

TEST_P(GlxRenderTest, LargeJoinedThenCutAgain) {
  uint32_t tag = bind(singleWindow, singleContext);
  ASSERT_EQ(tag, 1u);
  // A 500 x 300 RGBA glTexImage2D: 600060 bytes in three pieces.
  FakeBytes command = largeCommand(client->big, 600060, 110, 600052);
  piece(tag, 1, 3, FakeBytes(command.begin(), command.begin() + 200020), 200020);
  piece(tag, 2, 3, FakeBytes(command.begin() + 200020, command.begin() + 400040), 200020);
  EXPECT_TRUE(copies().empty());  // nothing before the last piece
  piece(tag, 3, 3, FakeBytes(command.begin() + 400040, command.end()), 200020);
  auto sent = copies();
  ASSERT_EQ(sent.size(), 4u);
  std::vector<uint32_t> counts;
  FakeBytes out = joined(sent, 0x11, &counts);
  EXPECT_EQ(counts, (std::vector<uint32_t>{60, 262124, 262124, 75752}));
  EXPECT_EQ(sent[1].size(), 0x3fffcu);
  EXPECT_TRUE(out == forwarded(command));
  // Swapped once, as a whole, for 'B'.
  EXPECT_EQ(seen.size(), client->big ? 1u : 0u);
  if (client->big) {
    EXPECT_EQ(seen[0].bytes, 600052u);
  }
  EXPECT_TRUE(core.messages(*client).empty());
  // Total 1: replayed at once; an odd data count takes the request's padding.
  FakeBytes small = largeCommand(client->big, 16, 2, 8);
  piece(tag, 1, 1, FakeBytes(small.begin(), small.end() - 2), 14);
  sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 12, false), 16u);
}

TEST_P(GlxRenderTest, RefusedPiecesReplayNothing) {
  uint32_t tag = bind(singleWindow, singleContext);
  ASSERT_EQ(tag, 1u);
  FakeBytes command = largeCommand(client->big, 48, 110, 40);
  auto part = [&](size_t from, size_t to) { return FakeBytes(command.begin() + long(from), command.begin() + long(to)); };
  struct Step {
    uint32_t number, total;
    size_t from, to;
    int error;       // 0: none
    uint32_t value;
  };
  struct Case {
    const char *name;
    std::vector<Step> steps;
  } cases[] = {
      {"repeated", {{1, 3, 0, 16, 0, 0}, {2, 3, 16, 32, 0, 0}, {2, 3, 16, 32, kBadLargeRequest, 2},
                    {3, 3, 32, 48, kBadLargeRequest, 3}}},
      {"skipped", {{1, 3, 0, 16, 0, 0}, {3, 3, 32, 48, kBadLargeRequest, 3}}},
      {"reordered", {{2, 3, 16, 32, kBadLargeRequest, 2}, {1, 3, 0, 16, 0, 0}, {3, 3, 32, 48, kBadLargeRequest, 3}}},
      {"another total", {{1, 3, 0, 16, 0, 0}, {2, 4, 16, 32, kBadLargeRequest, 2}}},
      {"number 0", {{0, 3, 0, 16, kBadLargeRequest, 0}}},
      {"number above total", {{4, 3, 0, 16, kBadLargeRequest, 0}}},
      {"piece 1 of 4 bytes", {{1, 2, 0, 4, 16, 0}}},
      {"past the length word", {{1, 2, 0, 40, 0, 0}, {2, 2, 0, 16, kBadLargeRequest, 2}}},
      {"short of the length word", {{1, 2, 0, 16, 0, 0}, {2, 2, 16, 32, kBadLargeRequest, 2}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (const Step &s : c.steps) {
      piece(tag, s.number, s.total, part(s.from, s.to), uint32_t(s.to - s.from));
      auto got = core.messages(*client);
      if (s.error == 0) {
        EXPECT_TRUE(got.empty());
        continue;
      }
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], s.error);
      if (s.error != 16) {
        EXPECT_EQ(client->u32(got[0], 4), s.value);
      }
    }
    EXPECT_TRUE(copies().empty());
  }
  // A data count beyond the request: BadLength, nothing read past it.
  piece(tag, 1, 2, part(0, 4), 0xFFFFFFFF);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
  // Shorter than its 16-byte fixed part.
  send(FakeMessage(client->big).b(kMajor).b(2).s(0).i(tag).s(1).s(1).done());
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
  // Bad tag: GLXBadContextTag.
  piece(5, 1, 1, command, 48);
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kGlxError + 4);
  // After all that a whole command still goes through, once.
  pieces(tag, command, {16, 16, 16});
  auto sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(joined(sent, 0x11, nullptr) == forwarded(command));
  EXPECT_TRUE(core.messages(*client).empty());
}

TEST_P(GlxRenderTest, ManySmallPiecesGrowWithTheBytes) {
  uint32_t tag = bind(singleWindow, singleContext);
  ASSERT_EQ(tag, 1u);
  // Total 65535 with a length word of 0xFFFFFFFF: no room is reserved for pieces not yet sent,
  // and a new piece 1 drops the unfinished command.
  FakeBytes head = largeCommand(client->big, 0xFFFFFFFF, 110, 8);
  piece(tag, 1, 65535, head, 16);
  for (uint32_t k = 2; k <= 100; k++) piece(tag, k, 65535, FakeBytes(16, uint8_t(k)), 16);
  EXPECT_TRUE(core.messages(*client).empty());
  // 65535 pieces of 16 bytes making one whole command.
  FakeBytes command = largeCommand(client->big, 65535 * 16, 110, 65535 * 16 - 8);
  core.clearLog();
  pieces(tag, command, std::vector<size_t>(65535, 16));
  EXPECT_TRUE(core.logged("UNE"));
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies(nullptr, 2);
  std::vector<uint32_t> counts;
  FakeBytes out = joined(sent, 0x11, &counts);
  EXPECT_EQ(counts, (std::vector<uint32_t>{60, 262124, 262124, 262124, 262124, 4}));
  EXPECT_TRUE(out == forwarded(command));
  // An unfinished command goes with its client.
  piece(tag, 1, 3, head, 16);
  core.closeClient(*client);
}

TEST_P(GlxRenderTest, SharedDisplayMakesEachHeadCurrent) {
  uint32_t tag = bind(window, context);
  ASSERT_EQ(tag, 1u);
  FakeBytes command = largeCommand(client->big, 24, 110, 16);
  pieces(tag, command, {24});
  auto sent = copies();
  ASSERT_EQ(sent.size(), 4u);
  for (size_t k = 0; k < 2; k++) {
    const FakeBytes &current = sent[2 * k];
    ASSERT_EQ(current[1], 5);
    EXPECT_EQ(rawGet32(current, 4, false), core.realId(window->id, heads[k]));
    EXPECT_EQ(rawGet32(current, 8, false), core.realId(context->contextId, heads[k]));
    EXPECT_EQ(rawGet32(current, 12, false), 0x11u * (k + 1));
    EXPECT_TRUE(joined({sent[2 * k + 1]}, 0x11u * uint32_t(k + 1), nullptr) == forwarded(command));
  }
  // The reply to such a MakeCurrent is the proxy's own: the client sees nothing.
  uint16_t last = uint16_t(client->client->displays[0]->requestsSent);
  core.feedServer(*client, FakeMessage(false).b(1).b(0).s(uint16_t(last - 1)).i(0).i(0x11).pad(20).d);
  EXPECT_TRUE(core.messages(*client).empty());
  // Out of render mode only the head that answers the screen's queries gets it.
  context->renderMode = 7169;
  client->client->displays[0]->glxTag = 0;
  core.clearLog();
  pieces(tag, command, {24});
  sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
  EXPECT_TRUE(core.logged("Tag 1 not in Render mode"));
}

TEST_P(GlxRenderTest, SingleBufferingDropsBackBufferChoices) {
  headVisuals[2].glDoubleBuffer = 1;  // the head offers the visual only double-buffered
  uint32_t tag = bind(singleWindow, singleContext);
  ASSERT_EQ(tag, 1u);
  copies();
  // glDrawBuffer(GL_BACK): dropped.
  // (Headers and data in the client's order.)
  auto command12 = [&](uint32_t opcode, uint32_t value) {
    FakeBytes out = FakeMessage(client->big).i(12).i(opcode).d;
    FakeBytes data = FakeMessage(client->big).i(value).d;
    out.insert(out.end(), data.begin(), data.end());
    return out;
  };
  pieces(tag, command12(126, 1029), {12});
  EXPECT_TRUE(copies().empty());
  // glReadBuffer(GL_FRONT): re-encoded as a render command.
  pieces(tag, command12(171, 1028), {12});
  auto sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0][1], 1);
  ASSERT_EQ(sent[0].size(), 16u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
  EXPECT_EQ(rawGet16(sent[0], 8, false), 8u);
  EXPECT_EQ(rawGet16(sent[0], 10, false), 171u);
  EXPECT_EQ(rawGet32(sent[0], 12, false), 1028u);
  // More than 63996 data bytes stay a large command.
  FakeBytes command = largeCommand(client->big, 64008, 110, 64000);
  pieces(tag, command, {30000, 34008});
  sent = copies();
  std::vector<uint32_t> counts;
  FakeBytes large = joined(sent, 0x11, &counts);
  EXPECT_EQ(counts, (std::vector<uint32_t>{60, 63948}));
  EXPECT_TRUE(large == forwarded(command));
  EXPECT_TRUE(core.messages(*client).empty());
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxRenderTest, ::testing::Values(false, true));

// ----- walkers and the first piece's size -----
struct WalkCase {
  std::vector<uint16_t> lengths;  // command lengths in the stream, written as given
  size_t bytes;                   // bytes handed to the walker
  size_t commands;                // commands whose data is swapped
};

TEST(GlxRenderWalkers, SixteenBitHeadersStop) {
  const WalkCase cases[] = {
      {{0}, 8, 0}, {{2}, 8, 0}, {{3}, 8, 0}, {{0xFFFF}, 8, 0}, {{8, 4}, 12, 2}, {{8, 8}, 10, 1}, {{8}, 10, 1},
  };
  for (int direction : {1, -1}) {
    for (const WalkCase &c : cases) {
      bool big = direction > 0;
      FakeMessage m(big);
      for (uint16_t length : c.lengths) m.s(length).s(33).pad(length > 4 && length < 100 ? length - 4 : 4);
      m.d.resize(c.bytes + 4);
      m.d[c.bytes] = 0xEE;
      seen.clear();
      glxSwapRenderObserver = observe;
      glxindirectSwapRender16(m.d.data(), m.d.data() + c.bytes, direction);
      glxSwapRenderObserver = nullptr;
      EXPECT_EQ(seen.size(), c.commands);
      for (const SeenCommand &s : seen) EXPECT_EQ(s.opcode, 33u);
      // The first header ends up in the other order than it came.
      EXPECT_EQ(rawGet16(m.d, 0, !big), c.lengths[0]);
      EXPECT_EQ(m.d[c.bytes], 0xEE);  // nothing touched past the bytes given
    }
  }
}

TEST(GlxRenderWalkers, ThirtyTwoBitHeadersStop) {
  struct Case {
    std::vector<uint32_t> lengths;
    size_t bytes, commands;
    size_t lastData;  // data bytes the last swapped command had
  } cases[] = {
      {{0}, 16, 0, 0},       {{2}, 16, 0, 0},        {{3}, 16, 0, 0},         {{0xFFFF}, 16, 1, 8},
      {{12, 8}, 20, 2, 0},   {{12, 12}, 22, 2, 2},   {{0xFFFFFFFF}, 12, 1, 4}, {{12}, 7, 0, 0},
  };
  for (int direction : {1, -1}) {
    for (const Case &c : cases) {
      bool big = direction > 0;
      FakeMessage m(big);
      for (uint32_t length : c.lengths) m.i(length).i(44).pad(length > 8 && length < 100 ? length - 8 : 4);
      m.d.resize(c.bytes + 4);
      m.d[c.bytes] = 0xEE;
      seen.clear();
      glxSwapRenderObserver = observe;
      glxindirectSwapRender(m.d.data(), c.bytes, direction);
      glxSwapRenderObserver = nullptr;
      ASSERT_EQ(seen.size(), c.commands);
      if (c.commands) {
        EXPECT_EQ(seen.back().bytes, c.lastData);
      }
      if (c.bytes >= 8) {
        EXPECT_EQ(rawGet32(m.d, 0, !big), c.lengths[0]);
      }
      EXPECT_EQ(m.d[c.bytes], 0xEE);
    }
  }
}

TEST(GlxRenderWalkers, FirstPieceSizeStaysInsideTheCommand) {
  auto command = [](uint32_t opcode, std::vector<uint32_t> words) {
    FakeMessage m(false);
    m.i(0).i(opcode);
    for (uint32_t w : words) m.i(w);
    return m.d;
  };
  struct Case {
    FakeBytes bytes;
    uint64_t length;
    uint64_t size;
  } cases[] = {
      {command(193, {0, 0xFFFFFFFF}), 16, 16},         // the count would ask for 48 GB
      {command(193, {0, 2, 0}), 64, 44},
      {command(193, {0}), 12, 12},                     // its count lies past the command
      {command(193, {0, 0xFFFFFFFF}), 1u << 30, 262124},
      {command(110, {}), 600060, 60},
      {command(253, {0, 3}), 100, 28},
      {command(300, {0, 0, 0, 1}), 100, 44},
      {command(301, {0, 0, 0, 0, 0, 0, 0, 1}), 36, 36},  // count at 36 is not inside
      {command(4115, {}), 200, 92},
      {command(9999, {}), 100, 60},
  };
  for (const Case &c : cases) {
    FakeBytes bytes = c.bytes;
    bytes.resize(std::max<size_t>(bytes.size(), 40), 0);
    EXPECT_EQ(glxsupportLargeRenderSize(bytes.data(), c.length), c.size) << rawGet32(c.bytes, 4, false);
  }
}

}  // namespace
