// GLX single operations on the fake core, in both byte orders, on a meta screen of two
// forwarded heads: lengths and tags refused with nothing sent, queries to the reply head only,
// commands to every head, commands with a reply answered once, the GenTextures record, the
// GetError log line and count, pixel packing for a client of the other order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"

namespace {

constexpr uint8_t kMajor = 201;
constexpr uint8_t kGlxError = 170;
std::vector<ExtRequestRow> rows;

class GlxSingleTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    other = &core.addClient(!GetParam());
    heads = core.heads(screen);
    ExtensionRecord *record = &proxyState.extensions[kMajor];
    record->firstError = kGlxError;
    ASSERT_EQ(extRegister(record, "GLX", 2, 14), nullptr);
    rows.clear();
    rows.push_back(*glxContextRow(5));
    for (int minor = 101; minor <= 202; minor++)
      if (const ExtRequestRow *row = glxSingleRow(uint8_t(minor))) rows.push_back(*row);
    extWriteRows(record, ExtRequestTable{rows.data(), rows.size()});
    proxyState.ext.glx = record;
    proxyState.ext.glxMajor = kMajor;
    glxInitContexts();
    tag = bind(*client, 1);
    otherTag = bind(*other, 1);
  }
  void TearDown() override {
    for (Head *h : heads) h->glLibrary = nullptr;
    glxFreeTagTable();
    xproxyGlxClientGone = nullptr;
    extResetAll();
  }
  void send(FakeClient &c, const FakeBytes &bytes) {
    FakeCore::Current current(c);
    core.send(c, bytes);
  }
  // The GLX requests written since the last look.
  std::vector<FakeBytes> copies(FakeClient &c, uint16_t *last = nullptr) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == kMajor) out.push_back(r);
    if (last) *last = uint16_t(c.client->displays[0]->requestsSent);
    return out;
  }
  // A window and context of the client bound to a tag through each head's reply (server tags
  // 0x11, 0x22).
  uint32_t bind(FakeClient &c, uint32_t n) {
    FakeCore::Current current(c);
    WindowRecord *window = windowCreate(c.id(n), core.root(screen), 0, 0, 100, 100, 0, 0, 0);
    auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    *context = GlxContextRecord{screen, screen->visuals, nullptr, c.id(n + 1), 0, 0, 0, {}, {}};
    EXPECT_EQ(glxInitContextObjects(context, nullptr), 1);
    EXPECT_EQ(resourceAdd(c.id(n + 1), kResourceGlxContext, context), 1);
    core.serverRequests(c);
    send(c, FakeMessage(c.big).b(kMajor).b(5).s(4).i(window->id).i(c.id(n + 1)).i(0).done());
    uint16_t last = 0;
    size_t count = copies(c, &last).size();
    for (size_t k = 0; k < count; k++)
      core.feedServer(c, FakeMessage(false).b(1).b(0).s(uint16_t(last - (count - 1 - k))).i(0).i(uint32_t(0x11 * (k + 1))).pad(20).d);
    auto got = core.messages(c);
    return got.size() == 1 && got[0][0] == 1 ? c.u32(got[0], 8) : 0;
  }
  // A request of the minor: the tag, then `words` words counting up from 1.
  FakeBytes single(uint8_t minor, uint32_t t, size_t words, FakeClient *c = nullptr) {
    FakeClient &who = c ? *c : *client;
    FakeMessage m(who.big);
    m.b(kMajor).b(minor).s(uint16_t(2 + words)).i(t);
    for (size_t k = 0; k < words; k++) m.i(uint32_t(k + 1));
    return m.done();
  }
  // A request of the minor `length` bytes long: the tag (when there is room), then zeros.
  FakeBytes sized(uint8_t minor, uint32_t t, uint32_t length) {
    FakeMessage m(client->big);
    m.b(kMajor).b(minor).s(uint16_t(length / 4));
    if (length >= 8) m.i(t);
    for (uint32_t at = 8; at < length; at += 4) m.i(0);
    return m.done();
  }
  // A 32-byte reply from the real server (this machine's order) with a value at byte 8.
  void reply(uint16_t sequence, uint32_t value) {
    core.feedServer(*client, FakeMessage(false).b(1).b(0).s(sequence).i(0).i(value).pad(20).d);
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr, *other = nullptr;
  std::vector<Head *> heads;
  uint32_t tag = 0, otherTag = 0;
};

TEST_P(GlxSingleTest, EveryRowRefusesWrongLengthsAndForeignTags) {
  ASSERT_EQ(tag, 1u);
  ASSERT_EQ(otherTag, 2u);
  ASSERT_GT(rows.size(), 90u);
  for (size_t k = 1; k < rows.size(); k++) {
    const ExtRequestRow &row = rows[k];
    SCOPED_TRACE(row.name);
    std::vector<uint32_t> lengths{row.length - 4};
    if (!row.itemSize) lengths.push_back(row.length + 4);
    for (uint32_t length : lengths) {
      send(*client, sized(row.minor, tag, length));
      auto got = core.messages(*client);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], 16);
      EXPECT_EQ(client->u32(got[0], 4), length);
      EXPECT_TRUE(copies(*client).empty());
    }
    // The other client's tag, at a length that fits (a zero count, a name of one NUL).
    send(*client, sized(row.minor, otherTag, row.length + (row.itemSize ? 4 : 0)));
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][1], kGlxError + 4);
    EXPECT_EQ(client->u32(got[0], 4), otherTag);
    EXPECT_TRUE(copies(*client).empty());
  }
}

TEST_P(GlxSingleTest, QueriesGoToTheReplyHeadCommandsToEvery) {
  // GetIntegerv: one copy, the first head's tag; its reply passes with the client's sequence.
  send(*client, single(117, tag, 1));
  uint16_t last = 0;
  auto sent = copies(*client, &last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
  reply(last, 77);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u16(got[0], 2), client->client->sequence);
  EXPECT_EQ(client->u32(got[0], 8), 77u);
  // The head flagged for GLX answers instead.
  screen->glxHead = heads[1];
  send(*client, single(117, tag, 1));
  sent = copies(*client);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x22u);
  screen->glxHead = nullptr;
  // NewList: both heads, each with its own tag, nothing answered.
  send(*client, single(101, tag, 2));
  sent = copies(*client);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
  EXPECT_EQ(rawGet32(sent[1], 4, false), 0x22u);
  EXPECT_EQ(rawGet32(sent[1], 8, false), 1u);
  EXPECT_TRUE(core.messages(*client).empty());
}

TEST_P(GlxSingleTest, CommandsWithAReplyAnswerOnce) {
  for (uint8_t minor : {104, 197}) {
    SCOPED_TRACE(int(minor));
    screen->glxHead = minor == 197 ? heads[1] : nullptr;
    send(*client, single(minor, tag, 1));
    uint16_t last = 0;
    auto sent = copies(*client, &last);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(rawGet32(sent[0], 4, false), 0x11u);
    EXPECT_EQ(rawGet32(sent[1], 4, false), 0x22u);
    reply(uint16_t(last - 1), 100);
    reply(last, 200);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(client->u32(got[0], 8), minor == 197 ? 200u : 100u);
  }
  // A reply whose callback was never taken: the older one goes unanswered, the newer passes.
  screen->glxHead = nullptr;
  send(*client, single(104, tag, 1));
  uint16_t last = 0;
  ASSERT_EQ(copies(*client, &last).size(), 2u);
  reply(last, 300);  // the second head's: dropped, the first head's callback discarded
  EXPECT_TRUE(core.messages(*client).empty());
}

TEST_P(GlxSingleTest, GenTexturesWithoutItsRecordLogsAndPasses) {
  send(*client, single(145, tag, 1));
  uint16_t last = 0;
  ASSERT_EQ(copies(*client, &last).size(), 2u);
  // Take both records away, as if their replies had been settled already.
  DisplayConnection *connection = client->client->displays[0];
  for (uint16_t s : {uint16_t(last - 1), last}) {
    connection->sequenceHandled = s;
    free(reinterpret_cast<void *>(xproxyTakeReplyCallback(connection, 145)));
  }
  core.clearLog();
  reply(last, 5);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 5u);
  EXPECT_TRUE(core.logged("No data in GLXGenTextures reply"));
}

TEST_P(GlxSingleTest, GetErrorLogsAndCounts) {
  uint16_t before = proxyState.ext.glx->errorsSent;
  send(*client, single(115, tag, 0));
  uint16_t last = 0;
  ASSERT_EQ(copies(*client, &last).size(), 1u);
  core.clearLog();
  reply(last, 0x500);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 0x500u);
  EXPECT_EQ(proxyState.ext.glx->errorsSent, before + 1);
  EXPECT_TRUE(core.logged("in GLXGetError #"));
  // No error: no line, no count.
  send(*client, single(115, tag, 0));
  copies(*client, &last);
  core.clearLog();
  reply(last, 0);
  EXPECT_EQ(core.messages(*client).size(), 1u);
  EXPECT_EQ(proxyState.ext.glx->errorsSent, before + 1);
  EXPECT_FALSE(core.logged("in GLXGetError #"));
}

TEST_P(GlxSingleTest, CountsNamesAndPixelStore) {
  // A count beyond the request: refused before any head is served.
  for (uint8_t minor : {143, 144, 161, 186}) {
    send(*client, FakeMessage(client->big).b(kMajor).b(minor).s(4).i(tag).i(0x3fffffff).i(9).done());
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][1], 16);
    EXPECT_EQ(client->u32(got[0], 4), 16u);
    EXPECT_TRUE(copies(*client).empty());
  }
  // A name without its NUL, then one with it.
  send(*client, FakeMessage(client->big).b(kMajor).b(174).s(4).i(tag).i(7).b('a').b('b').b('c').b('d').done());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
  send(*client, FakeMessage(client->big).b(kMajor).b(180).s(4).i(tag).i(7).b('a').b(0).b(0).b(0).done());
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_EQ(copies(*client).size(), 1u);
  // ReadPixels: the server packs for the client's order; lsbFirst of GetPolygonStipple stays a byte.
  FakeMessage read(client->big);
  read.b(kMajor).b(111).s(9).i(tag).i(0).i(0).i(4).i(4).i(0x1908).i(0x1401).b(0).b(1).b(0).b(0);
  send(*client, read.done());
  auto sent = copies(*client);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][32], client->big ? 1 : 0);
  EXPECT_EQ(sent[0][33], 1);
  EXPECT_EQ(rawGet32(sent[0], 20, false), 4u);
  send(*client, FakeMessage(client->big).b(kMajor).b(128).s(3).i(tag).b(1).b(0).b(0).b(0).done());
  sent = copies(*client);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][8], 1);
}

TEST_P(GlxSingleTest, DirectHeadsAnswerInsideTheProxy) {
  // The first head renders inside the proxy: an instance without a slot in use, whose
  // operations refuse the tag and answer with nothing.
  static GlxLibraryInstance unused{};
  // Only its name is read (in the refusal's line): Xlib's public view of the record.
  static std::remove_pointer_t<_XPrivDisplay> display{};
  display.display_name = const_cast<char *>(":9");
  unused.display = reinterpret_cast<Display *>(&display);
  heads[0]->glLibrary = &unused;
  // A query: nothing reaches a real server, the reply comes at once.
  send(*client, single(117, tag, 1));
  EXPECT_TRUE(copies(*client).empty());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(client->u16(got[0], 2), client->client->sequence);
  EXPECT_EQ(client->u32(got[0], 4), 0u);
  // GenLists: the direct reply head answers; the forwarded head's reply is dropped.
  send(*client, single(104, tag, 1));
  uint16_t last = 0;
  auto sent = copies(*client, &last);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(rawGet32(sent[0], 4, false), 0x22u);
  EXPECT_EQ(core.messages(*client).size(), 1u);
  reply(last, 9);
  EXPECT_TRUE(core.messages(*client).empty());
  // Finish on heads that are all direct: one reply of 0 once both are done.
  heads[1]->glLibrary = heads[0]->glLibrary;
  send(*client, single(108, tag, 0));
  EXPECT_TRUE(copies(*client).empty());
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 8), 0u);
  heads[0]->glLibrary = heads[1]->glLibrary = nullptr;
}

// GetString of a name the meta screen keeps is answered from it, with no server asked; another
// name goes to the reply head.
TEST_P(GlxSingleTest, GetStringFromTheMetaScreen) {
  strcpy(screen->glCapabilities.glExtensions, "GL_ARB_shader_objects GL_EXT_texture_object");
  strcpy(screen->glCapabilities.shadingLanguage, "1.20");
  strcpy(screen->glCapabilities.vendor, "Lowered GL");
  struct Case {
    uint32_t name;
    std::string text;
  } cases[] = {{0x1F03, "GL_ARB_shader_objects GL_EXT_texture_object"}, {0x8B8C, "1.20"}, {0x1F00, "Lowered GL"}};
  for (const Case &c : cases) {
    send(*client, FakeMessage(client->big).b(kMajor).b(129).s(3).i(tag).i(c.name).done());
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0][0], 1);
    uint32_t n = client->u32(got[0], 12);
    ASSERT_EQ(n, c.text.size() + 1);
    ASSERT_EQ(got[0].size(), 32 + (n + 3) / 4 * 4);
    EXPECT_EQ(client->u32(got[0], 4), (n + 3) / 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(got[0].data() + 32)), c.text);
  }
  EXPECT_TRUE(copies(*client).empty());
  send(*client, FakeMessage(client->big).b(kMajor).b(129).s(3).i(tag).i(0x1234).done());
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_EQ(copies(*client).size(), 1u);
  EXPECT_TRUE(core.logged("GLXGetString(unknown name="));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxSingleTest, ::testing::Values(false, true));

}  // namespace
