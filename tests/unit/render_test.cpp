// RENDER picture formats on the fake core, in both byte orders: the format table built from a
// two-screen Xvfb's 46 formats (limits, dropped formats and their log lines, a second display),
// the rows by version, and the forwarded queries with their replies mapped.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cctype>
#include <cstring>
#include <map>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/render.h"

namespace {

constexpr uint8_t kMajor = 139, kFirstError = 142;

// One screen of Xvfb at depth 24: id, type, depth, bits and shifts of red, green, blue, alpha.
constexpr uint8_t kXvfbScreen[][11] = {
    {0x23, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0},         {0x24, 1, 8, 0, 0, 0, 8, 0, 0, 0, 0},
    {0x25, 1, 32, 8, 8, 8, 8, 16, 8, 0, 24},      {0x26, 1, 32, 8, 8, 8, 0, 16, 8, 0, 0},
    {0x27, 1, 32, 8, 8, 8, 8, 8, 16, 24, 0},      {0x28, 1, 32, 8, 8, 8, 0, 8, 16, 24, 0},
    {0x29, 1, 24, 8, 8, 8, 0, 16, 8, 0, 0},       {0x2a, 1, 24, 8, 8, 8, 0, 0, 8, 16, 0},
    {0x2b, 1, 16, 4, 4, 4, 0, 8, 4, 0, 0},        {0x2c, 1, 16, 4, 4, 4, 0, 0, 4, 8, 0},
    {0x2d, 1, 16, 5, 5, 5, 0, 10, 5, 0, 0},       {0x2e, 1, 16, 5, 5, 5, 0, 0, 5, 10, 0},
    {0x2f, 1, 16, 5, 5, 5, 1, 10, 5, 0, 15},      {0x30, 1, 16, 5, 5, 5, 1, 0, 5, 10, 15},
    {0x31, 1, 16, 5, 6, 5, 0, 11, 5, 0, 0},       {0x32, 1, 16, 5, 6, 5, 0, 0, 5, 11, 0},
    {0x33, 1, 16, 4, 4, 4, 4, 8, 4, 0, 12},       {0x34, 1, 16, 4, 4, 4, 4, 0, 4, 8, 12},
    {0x35, 1, 32, 8, 8, 8, 0, 0, 8, 16, 0},       {0x36, 1, 32, 10, 10, 10, 2, 20, 10, 0, 30},
    {0x37, 1, 32, 10, 10, 10, 0, 20, 10, 0, 0},   {0x38, 1, 32, 10, 10, 10, 2, 0, 10, 20, 30},
    {0x39, 1, 32, 10, 10, 10, 0, 0, 10, 20, 0},
};

// Screen s's formats (ids 0x1d apart); visuals: 24-bit 0x21 and 32-bit 0x525 on screen 0,
// 0x3e and 0x60 on screen 1.
std::vector<RenderFormatInfo> xvfbScreen(uint16_t s) {
  std::vector<RenderFormatInfo> out;
  for (const auto &f : kXvfbScreen) {
    RenderFormatInfo i{};
    i.formatId = f[0] + 0x1du * s, i.type = f[1], i.depth = f[2], i.screen = s;
    i.redBits = f[3], i.greenBits = f[4], i.blueBits = f[5], i.alphaBits = f[6];
    i.redShift = f[7], i.greenShift = f[8], i.blueShift = f[9], i.alphaShift = f[10];
    if (f[0] == 0x29) i.visualIds[0] = s ? 0x3e : 0x21;
    if (f[0] == 0x25) i.visualIds[0] = s ? 0x60 : 0x525;
    out.push_back(i);
  }
  return out;
}

struct Listed {
  std::vector<RenderFormatInfo> formats;
  int major = 0, minor = 11;
};
std::map<ServerDisplay *, Listed> listed;
RenderFormatInfo *fakeReader(ServerDisplay *display, int *major, int *minor, int *count) {
  Listed &l = listed[display];
  *major = l.major, *minor = l.minor, *count = int(l.formats.size());
  if (l.formats.empty()) return nullptr;
  auto *copy = static_cast<RenderFormatInfo *>(malloc(l.formats.size() * sizeof(RenderFormatInfo)));
  memcpy(copy, l.formats.data(), l.formats.size() * sizeof(RenderFormatInfo));
  return copy;
}

// Param: the client sends most significant byte first. Meta screen 0 holds head 0 (screen 0)
// and, with `joined`, head 1 (screen 1); otherwise head 1 is meta screen 1. The meta screens'
// visuals 0x61 (24) and 0x62 (32) stand for the server visuals listed above.
class RenderTest : public ::testing::TestWithParam<bool> {
 protected:
  void build(bool joined) {
    screens.push_back(core.addScreen(joined ? 1600 : 800, 600, joined ? 2 : 1));
    if (!joined) screens.push_back(core.addScreen(800, 600, 1));
    display = core.addRealDisplay();
    reinterpret_cast<_XPrivDisplay>(display->display)->display_name = const_cast<char *>(":7");
    mainServerDisplays = display;
    client = &core.addClient(GetParam());
    for (MetaScreen *ms : screens) {
      ms->visuals = static_cast<VisualRecord *>(realloc(ms->visuals, 2 * sizeof(VisualRecord)));
      ms->visuals[1] = ms->visuals[0];
      ms->visuals[0].visualId = 0x61, ms->visuals[1].visualId = 0x62, ms->visuals[1].depth = 32;
      ms->rootVisual = ms->visuals, ms->visualCount = 2;
      for (Head *h : core.heads(ms)) heads.push_back(h);
    }
    for (size_t k = 0; k < heads.size(); k++) {
      server[k][0].visualId = k ? 0x3e : 0x21, server[k][1].visualId = k ? 0x60 : 0x525;
      maps[k][0] = &server[k][0], maps[k][1] = &server[k][1];
      heads[k]->visualMap = maps[k];
    }
    listed[display].formats = xvfbScreen(0);
    for (const RenderFormatInfo &f : xvfbScreen(1)) listed[display].formats.push_back(f);
    saved = renderReadFormats;
    renderReadFormats = fakeReader;
  }
  void TearDown() override {
    extResetAll();
    for (Head *h : heads) h->visualMap = nullptr;
    renderReadFormats = saved;
    mainServerDisplays = nullptr;
    listed.clear();
    unsetenv("maxPictureFormatDepth");
    unsetenv("maxPictureFormatBits");
  }
  bool init() {
    proxyXidCounter = 0x1000;
    return xproxyInitExtension("RENDER", 0, kMajor, 0, kFirstError) && proxyState.ext.render;
  }
  std::vector<RenderPictFormat> table() {
    return {proxyState.ext.renderFormats, proxyState.ext.renderFormats + proxyState.ext.renderFormatCount};
  }
  const RenderPictFormat *entryOf(uint32_t serverId, size_t head = 0) {
    return renderFindFormatByHeadId(serverId, heads[head]);
  }
  // Sends a request; the copies written towards the server.
  std::vector<FakeBytes> send(const FakeBytes &bytes) {
    {
      FakeCore::Current current(*client);
      core.send(*client, bytes);
    }
    std::vector<FakeBytes> out;
    for (FakeBytes &r : core.serverRequests(*client))
      if (r[0] == kMajor) out.push_back(r);
    return out;
  }
  FakeMessage req(uint8_t minor) { return std::move(FakeMessage(client->big).b(kMajor).b(minor).s(0)); }
  // A reply in the server's (the proxy's) order to the last request written.
  std::vector<FakeBytes> answer(FakeMessage reply) {
    FakeBytes bytes = reply.d;
    uint32_t words = uint32_t((bytes.size() - 32) / 4), sequence = client->client->displays[0]->requestsSent;
    memcpy(&bytes[2], &sequence, 2);
    memcpy(&bytes[4], &words, 4);
    core.feedServer(*client, bytes);
    return core.messages(*client);
  }

  FakeCore core;
  std::vector<MetaScreen *> screens;
  std::vector<Head *> heads;
  ServerDisplay *display = nullptr;
  FakeClient *client = nullptr;
  VisualRecord server[2][2] = {};
  VisualRecord *maps[2][2] = {};
  RenderFormatReader saved = nullptr;
};

// The table from the canned list: every format of either screen once, new ids, each head's
// slot the id on its display; the environment's limits leave formats out.
TEST_P(RenderTest, TableFromCannedLists) {
  build(false);
  struct Case {
    const char *depth, *bits;
    size_t count;
  } cases[] = {{nullptr, nullptr, 46}, {"24", nullptr, 28}, {nullptr, "5", 24}, {"x", nullptr, 46}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.depth ? c.depth : "-") << " " << (c.bits ? c.bits : "-"));
    for (auto [name, value] : {std::pair{"maxPictureFormatDepth", c.depth}, {"maxPictureFormatBits", c.bits}}) {
      if (value)
        setenv(name, value, 1);
      else
        unsetenv(name);
    }
    ASSERT_TRUE(init());
    std::vector<RenderPictFormat> t = table();
    ASSERT_EQ(t.size(), c.count);
    for (size_t k = 0; k < t.size(); k++) {
      EXPECT_EQ(t[k].id, 0x1001 + k);
      EXPECT_LE(t[k].depth, c.depth && isdigit(*c.depth) ? 24 : 32);
      EXPECT_LE(t[k].bits[0], c.bits ? 5 : 10);
      EXPECT_EQ(resourceLookupByType(t[k].id, kResourceRenderFormat), &proxyState.ext.renderFormats[k]);
    }
    // The 24-bit format of screen 1 (gone with the bit limit: its red has 8 bits).
    const RenderPictFormat *second = entryOf(c.bits ? 0x2b : 0x46, 1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(renderFormatMetaScreen(second), c.bits ? nullptr : screens[1]);
    EXPECT_EQ(second->visuals[0], c.bits ? 0u : 0x61u);
    EXPECT_EQ(second->visuals[1], 0u);
    // Each head gets the same format of its own screen.
    EXPECT_EQ(renderPictFormatOnHead(second->id, heads[0]), c.bits ? 0x2bu : 0x29u);
    EXPECT_EQ(renderPictFormatOnHead(second->id, heads[1]), c.bits ? 0x48u : 0x46u);
    EXPECT_EQ(resourceMetaScreenOf(second->id), c.bits ? nullptr : screens[1]);
    EXPECT_EQ(renderPictFormatOnHead(0x777, heads[1]), 0x777u);  // no entry: unchanged
    uint32_t id = second->id;
    extResetAll();
    EXPECT_EQ(proxyState.ext.renderFormats, nullptr);
    EXPECT_EQ(resourceLookupByType(id, kResourceRenderFormat), nullptr);
  }
}

// Two screens joined into one meta screen: every format, whichever screen's id the client
// names, reaches each head as that head's screen's own (the A8 of screen 1 is 0x41, its ARGB
// 0x42); a format whose screen cannot be told (a third A8 without visuals) stays as it is.
TEST_P(RenderTest, FormatsPerScreen) {
  build(true);
  ASSERT_TRUE(init());
  struct Case {
    uint32_t listed, onHead0, onHead1;
  } cases[] = {{0x24, 0x24, 0x41}, {0x41, 0x24, 0x41}, {0x25, 0x25, 0x42}, {0x42, 0x25, 0x42},
               {0x23, 0x23, 0x40}, {0x56, 0x39, 0x56}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.listed);
    const RenderPictFormat *entry = entryOf(c.listed);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(renderPictFormatOnHead(entry->id, heads[0]), c.onHead0);
    EXPECT_EQ(renderPictFormatOnHead(entry->id, heads[1]), c.onHead1);
  }
  extResetAll();
  RenderFormatInfo extra = listed[display].formats[1];
  extra.formatId = 0x99;
  listed[display].formats.push_back(extra);
  ASSERT_TRUE(init());
  for (uint32_t id : {0x24u, 0x41u, 0x99u}) {
    const RenderPictFormat *entry = entryOf(id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(renderPictFormatOnHead(entry->id, heads[1]), id);
  }
  EXPECT_EQ(renderPictFormatOnHead(entryOf(0x25)->id, heads[1]), 0x42u);
}

// Formats the meta screens cannot place are logged and left out; a second display that lacks
// a format drops it and still matches the next one; the lowest version decides the rows.
TEST_P(RenderTest, DroppedFormatsAndVersions) {
  build(false);
  listed[display].formats[6].visualIds[0] = 0x999;  // 0x29: no meta-screen visual
  // Head 1 on a display of its own, whose list lacks 0x2d and speaks 0.9.
  ServerDisplay second{};
  heads[1]->serverDisplay = &second;
  display->next = &second;
  std::vector<RenderFormatInfo> other = xvfbScreen(1);
  other.erase(other.begin() + 10);
  listed[&second] = Listed{other, 0, 9};
  ASSERT_TRUE(init());
  display->next = nullptr;
  for (const char *line : {"Display :7 does not support picture format #41 (no visual)",
                           "Display :7 does not support picture format #70 (no head)",
                           "Display head1 does not support picture format Direct 16 bit R5G5B5A0 (10,5,0,0, no visual)"})
    EXPECT_TRUE(core.logged(line)) << line;
  EXPECT_EQ(table().size(), 46u - 3 - 2);  // screen 1's two visual formats, 0x29, 0x2d and 0x4a
  EXPECT_EQ(entryOf(0x2d), nullptr);
  ASSERT_NE(entryOf(0x2e), nullptr);
  EXPECT_EQ(entryOf(0x2e)->idsPerHead[1], 0x4bu);
  EXPECT_EQ(proxyState.ext.render->version, 9);
  EXPECT_NE(extFindRow(kMajor, 29), nullptr);
  EXPECT_NE(extFindRow(kMajor, 2), nullptr);
  extResetAll();
  heads[1]->serverDisplay = display;
  struct Case {
    int minor;
    bool indexValues, filters;
  } cases[] = {{6, false, true}, {5, false, false}};
  for (const Case &c : cases) {
    listed[display].minor = c.minor;
    ASSERT_TRUE(init());
    EXPECT_EQ(extFindRow(kMajor, 2) != nullptr, c.indexValues);
    EXPECT_EQ(extFindRow(kMajor, 29) != nullptr, c.filters);
    EXPECT_NE(extFindRow(kMajor, 3), nullptr);
    extResetAll();
  }
  listed[display].formats.clear();
  EXPECT_FALSE(init());
  EXPECT_TRUE(core.logged("RENDER: Display :7 does not support extension RENDER"));
}

// A QueryPictFormats reply as the server sends it: format 0x99 unknown, screen 0 with a
// visual of no meta screen and an Indexed one, screen 1 (head 1, not primary) with its depth
// and subpixel.
FakeMessage pictFormatsReply(uint32_t formats = 3, uint32_t screens = 2, uint32_t subpixels = 2) {
  FakeMessage m(false);
  m.b(1).b(0).s(0).i(0).i(formats).i(screens).i(3).i(4).i(subpixels).i(0);
  m.i(0x29).b(1).b(24).s(0).s(16).s(0xff).s(8).s(0xff).s(0).s(0xff).s(0).s(0).i(0);
  m.i(0x99).b(1).b(8).s(0).pad(16).i(0);
  m.i(0x90).b(0).b(8).s(0).pad(16).i(0x55);
  m.i(2).i(0x29).b(24).b(0).s(2).i(0).i(0x21).i(0x29).i(0x22).i(0x29).b(8).b(0).s(1).i(0).i(0x23).i(0x90);
  m.i(1).i(0x46).b(24).b(0).s(1).i(0).i(0x3e).i(0x46);
  m.i(1).i(2);
  return m;
}

TEST_P(RenderTest, QueryPictFormatsReplyMapped) {
  build(true);
  RenderFormatInfo indexed{};
  indexed.formatId = 0x90, indexed.depth = 8, indexed.colormap = 0x55, indexed.visualIds[0] = 0x21;
  listed[display].formats.push_back(indexed);
  heads[0]->defaultColormap = 0x55;  // the head's default colormap: the meta screen's for clients
  ASSERT_TRUE(init());
  uint32_t id29 = entryOf(0x29)->id;
  const RenderPictFormat *id90 = entryOf(0x90);
  ASSERT_NE(id90, nullptr);
  EXPECT_EQ(send(req(1).done()).size(), 1u);
  auto got = answer(pictFormatsReply());
  ASSERT_EQ(got.size(), 1u);
  const FakeBytes &r = got[0];
  ASSERT_EQ(r.size(), 32u + 2 * 28 + 8 + 8 + 8 + 8 + 4);
  EXPECT_EQ(client->u32(r, 4), uint32_t(r.size() - 32) / 4);
  std::vector<uint32_t> counts, want = {2, 1, 2, 1, 1};
  for (size_t at = 8; at <= 24; at += 4) counts.push_back(client->u32(r, at));
  EXPECT_EQ(counts, want);
  EXPECT_EQ(client->u32(r, 32), id29);
  EXPECT_EQ(client->u16(r, 40), 16u);  // the red shift, in the client's order
  EXPECT_EQ(client->u32(r, 60), id90->id);
  EXPECT_EQ(client->u32(r, 84), screens[0]->defaultColormap);
  EXPECT_EQ(client->u32(r, 88), 2u);     // screen 0: two depths, the fallback translated
  EXPECT_EQ(client->u32(r, 92), id29);
  EXPECT_EQ(client->u16(r, 98), 1u);
  EXPECT_EQ(client->u32(r, 104), 0x61u);
  EXPECT_EQ(client->u32(r, 108), id29);
  EXPECT_EQ(client->u16(r, 114), 0u);  // the Indexed visual cut
  EXPECT_EQ(client->u32(r, 120), 1u);  // screen 0's subpixel alone

  // Below version 0.6 no subpixels; an unknown fallback becomes 0.
  FakeMessage old = pictFormatsReply();
  FakeBytes bytes = old.d;
  bytes[120] = 0x98;  // screen 0's fallback (before the 7 words of 0x99 are cut)
  uint32_t kept = renderMapPictFormats(bytes.data(), uint32_t(bytes.size()), display, 5);
  EXPECT_EQ(rawGet32(bytes, 24, false), 0u);
  EXPECT_EQ(rawGet32(bytes, 92, false), 0u);
  EXPECT_EQ(kept, 32u + 2 * 28 + 32);
}

// Every prefix and hostile counts: nothing read outside the reply (AddressSanitizer), and what
// comes out is consistent with its own length.
TEST_P(RenderTest, HostileRepliesStayInside) {
  build(true);
  ASSERT_TRUE(init());
  FakeBytes whole = pictFormatsReply().d;
  std::vector<FakeBytes> inputs;
  for (size_t n = 0; n <= whole.size(); n++) inputs.emplace_back(whole.begin(), whole.begin() + long(n));
  for (size_t at : {8, 12, 24, 116, 126}) {  // counts of formats, screens, subpixels, depths, visuals
    FakeBytes b = whole;
    memset(&b[at], 0xff, at == 126 ? 2 : 4);
    inputs.push_back(b);
  }
  for (const FakeBytes &in : inputs) {
    std::vector<uint8_t> exact(in.begin(), in.end());  // its own allocation, exactly this long
    uint32_t kept = renderMapPictFormats(exact.data(), uint32_t(exact.size()), display, 11);
    ASSERT_LE(kept, exact.size());
    if (exact.size() >= 32) {
      EXPECT_EQ(rawGet32(exact, 4, false), (kept - 32) / 4) << exact.size();
    }
  }
}

// QueryDithers is refused (BadLength without its header); QueryPictIndexValues takes formats of the table only, translated.
TEST_P(RenderTest, SmallQueries) {
  build(true);
  ASSERT_TRUE(init());
  EXPECT_TRUE(send(req(3).i(0).done()).empty());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 17);
  EXPECT_EQ(client->u32(got[0], 4), 3u);
  {
    uint8_t header[4] = {kMajor, 3, 0, 0};  // a length field of 0: the bare header
    FakeCore::Current current(*client);
    extRequest(header, 0);
  }
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);

  EXPECT_TRUE(send(req(2).i(0x29).done()).empty());
  got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kFirstError);
  EXPECT_EQ(client->u32(got[0], 4), 0x29u);
  auto copies = send(req(2).i(entryOf(0x24)->id).done());
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(rawGet32(copies[0], 4, false), 0x24u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, RenderTest, ::testing::Values(false, true));

}  // namespace
