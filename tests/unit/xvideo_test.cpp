// XVideo on the fake core, in both byte orders: which adaptors a meta screen of two heads
// offers and where each port lands on each head, the per-head copies with their ids, the grab
// answered once, the adaptor-list filter on hand-built replies, the swapped replies and events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "xext/ext.h"
#include "xext/shm.h"
#include "xext/xvideo.h"

namespace {

constexpr uint8_t kXvMajor = 205, kXvEvent = 95, kXvError = 150;
constexpr uint8_t kShmMajor = 206, kShmEvent = 97, kShmError = 160;

// The adaptors each head's server lists, by head index; the reader hands out copies.
std::map<uint32_t, std::vector<XvHeadAdaptor>> listed;
int fakeReader(Head *head, XvHeadAdaptor **adaptors, uint32_t *count) {
  auto it = listed.find(head->idIndex);
  *adaptors = nullptr;
  *count = 0;
  if (it == listed.end()) return 0;
  *count = uint32_t(it->second.size());
  if (*count) {
    *adaptors = static_cast<XvHeadAdaptor *>(malloc(*count * sizeof(XvHeadAdaptor)));
    memcpy(*adaptors, it->second.data(), *count * sizeof(XvHeadAdaptor));
  }
  return 1;
}

std::vector<uint32_t> offeredPorts() {
  std::vector<uint32_t> out;
  for (XvAdaptor *a = proxyState.ext.xvAdaptors; a; a = a->next) out.push_back(a->firstPort);
  return out;
}

// Two heads of 800 x 600 side by side on one real display; head 1's server visual 0x77 is the
// meta screen's visual 0x21 there, head 0's is 0x66.
class XvideoTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    heads = core.heads(screen);
    serverVisuals[0].visualId = 0x66;
    serverVisuals[1].visualId = 0x77;
    for (int k = 0; k < 2; k++) {
      maps[k] = &serverVisuals[k];
      heads[k]->visualMap = &maps[k];
    }
    saved = xvideoReadAdaptors;
    xvideoReadAdaptors = fakeReader;
    // The relay's two-head set-up: A 21/2 and B 17/4 on head 0; C 17/2, D 17/4, E 21/2 on head 1.
    listed = {{0, {{64, 2, 21}, {66, 4, 17}}}, {1, {{320, 2, 17}, {322, 4, 17}, {326, 2, 21}}}};
  }
  void TearDown() override {
    extResetAll();
    for (Head *h : heads) h->visualMap = nullptr;
    xvideoReadAdaptors = saved;
  }
  void init() {
    ASSERT_NE(xproxyInitExtension("XVideo", 0, kXvMajor, kXvEvent, kXvError), nullptr);
    ASSERT_NE(proxyState.extensions[kXvMajor].name, nullptr);
  }
  FakeMessage req(uint8_t minor) {
    FakeMessage m(client->big);
    m.b(kXvMajor).b(minor).s(0);
    return m;
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  std::vector<FakeBytes> written() {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == kXvMajor) out.push_back(r);
    return out;
  }
  WindowRecord *window(uint32_t n, int16_t x, uint16_t width) {
    FakeCore::Current current(*client);
    WindowRecord *w = windowCreate(client->id(n), core.root(screen), x, 10, width, 50, 0, 0, 0);
    windowMap(w);
    core.serverRequests(*client);
    return w;
  }
  uint32_t sentTo(size_t connection = 0) { return client->client->displays[connection]->requestsSent; }
  // A reply as the real server sends it (the proxy's order), its length word filled in.
  void feed(FakeMessage reply) { core.feedServer(*client, replyBytes(reply)); }
  static FakeBytes replyBytes(const FakeMessage &reply) {
    FakeBytes bytes = reply.d;
    uint32_t words = uint32_t((bytes.size() - 32) / 4);
    memcpy(&bytes[4], &words, 4);
    return bytes;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  VisualRecord serverVisuals[2] = {};
  VisualRecord *maps[2] = {};
  XvideoAdaptorReader saved = nullptr;
};

// Which adaptors are offered and where a port lands on each head. The primary head keeps its
// own ports; every other head gives each adaptor its own head adaptor of the type's bits and
// enough ports.
TEST_P(XvideoTest, AdaptorsMatchPerHead) {
  struct Case {
    const char *name;
    std::vector<XvHeadAdaptor> head0, head1;
    std::vector<uint32_t> offered;
    std::vector<std::pair<uint32_t, uint32_t>> onHead1;  // client port, port on head 1
    std::vector<std::pair<uint32_t, uint32_t>> onHead0;
    std::vector<std::string> logs;
  } cases[] = {
      {"the relay's two heads", {{64, 2, 21}, {66, 4, 17}}, {{320, 2, 17}, {322, 4, 17}, {326, 2, 21}}, {64, 66},
       {{64, 326}, {65, 327}, {66, 322}, {69, 325}}, {{64, 64}, {69, 69}}, {}},
      {"a contained type keeps its own ports on the primary head", {{64, 2, 17}, {66, 2, 1}},
       {{320, 2, 17}, {322, 2, 1}}, {64, 66}, {{64, 320}, {67, 323}}, {{66, 66}, {67, 67}}, {}},
      {"two adaptors of one type take two head adaptors", {{64, 2, 17}, {66, 2, 17}},
       {{320, 2, 17}, {322, 2, 17}}, {64, 66}, {{65, 321}, {66, 322}}, {}, {}},
      {"too few ports on the other head", {{64, 4, 17}}, {{320, 2, 17}}, {}, {}, {},
       {"Display head1 does not support X-Video adaptor #0, type 17"}},
      {"a type bit missing", {{64, 2, 17}, {66, 2, 21}}, {{320, 2, 17}, {322, 2, 17}}, {64}, {{64, 320}}, {},
       {"Display head1 does not support X-Video adaptor #1, type 21"}},
      {"no adaptors on the other head", {{64, 2, 17}, {66, 2, 21}}, {}, {}, {}, {},
       {"Display head1 has no X-Video adaptors", "Display head1 has no X-Video adaptors"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    listed = {{0, c.head0}, {1, c.head1}};
    core.clearLog();
    init();
    EXPECT_EQ(offeredPorts(), c.offered);
    for (auto [port, want] : c.onHead1) EXPECT_EQ(xvPort2server(port, heads[1]), want) << port;
    for (auto [port, want] : c.onHead0) EXPECT_EQ(xvPort2server(port, heads[0]), want) << port;
    int found = 0;
    for (const std::string &line : core.log())
      if (line.find("X-Video adaptor") != std::string::npos) {
        ASSERT_LT(size_t(found), c.logs.size()) << line;
        EXPECT_NE(line.find(c.logs[found]), std::string::npos) << line;
        found++;
      }
    EXPECT_EQ(size_t(found), c.logs.size());
    extResetAll();
    EXPECT_EQ(proxyState.ext.xvAdaptors, nullptr);
    uint32_t count = 1;
    EXPECT_EQ(xvideoHeadAdaptors(heads[0], &count), nullptr);
    EXPECT_EQ(count, 0u);
  }
  // A port no adaptor owns passes unchanged, with a hint.
  listed = {{0, {{64, 2, 21}}}, {1, {{326, 2, 21}}}};
  init();
  core.clearLog();
  EXPECT_EQ(xvPort2server(90, heads[1]), 90u);
  EXPECT_TRUE(core.logged("Unknown video port #90 in xvPort2server(head1)"));
}

// Changes go to both heads with each head's port; a grab is answered once, by the primary head.
TEST_P(XvideoTest, PerHeadCopiesAndOneGrabReply) {
  init();
  send(req(13).i(69).i(0x55).i(uint32_t(-7)).done());  // SetPortAttribute
  auto copies = written();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(rawGet32(copies[0], 4, false), 69u);
  EXPECT_EQ(rawGet32(copies[1], 4, false), 325u);
  EXPECT_EQ(rawGet32(copies[1], 12, false), uint32_t(-7));
  core.messages(*client);

  send(req(3).i(64).i(0).done());  // GrabPort
  copies = written();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(rawGet32(copies[1], 4, false), 326u);
  uint16_t second = uint16_t(sentTo()), first = uint16_t(second - 1);
  uint16_t clientSequence = uint16_t(client->client->sequence);
  feed(FakeMessage(false).b(1).b(0).s(first).i(0).pad(24));
  feed(FakeMessage(false).b(1).b(2).s(second).i(0).pad(24));
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(got[0][1], 0);  // the primary head's result
  EXPECT_EQ(client->u16(got[0], 2), clientSequence);

  // Queries go to the primary head alone, with its port.
  send(req(14).i(66).i(0x55).done());  // GetPortAttribute
  copies = written();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(rawGet32(copies[0], 4, false), 66u);
}

// PutImage into a window: each head's drawable and GC; an overlap-only head the window misses
// gets no copy, a window across the boundary reaches both.
TEST_P(XvideoTest, DrawingFollowsTheOverlapFlag) {
  init();
  WindowRecord *left = window(5, 100, 200), *across = window(6, 700, 200);
  uint32_t gc = client->id(9);
  auto putImage = [&](uint32_t drawable) {
    send(req(18).i(65).i(drawable).i(gc).i(0x32315659).s(0).s(0).s(8).s(8).s(0).s(0).s(8).s(8).s(8).s(8)
             .pad(8).done());
    return written();
  };
  struct Case {
    const char *name;
    bool optimized;
    WindowRecord *w;
    size_t copies;
  } cases[] = {{"plain heads", false, left, 2},
               {"second head overlap-only", true, left, 1},
               {"window across the boundary", true, across, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    heads[1]->optimizedDraw = c.optimized;
    auto copies = putImage(c.w->id);
    ASSERT_EQ(copies.size(), c.copies);
    for (size_t k = 0; k < copies.size(); k++) {
      EXPECT_EQ(rawGet32(copies[k], 4, false), k == 0 ? 65u : 327u);
      EXPECT_EQ(rawGet32(copies[k], 8, false), core.realId(c.w->id, heads[k]));
      EXPECT_EQ(rawGet32(copies[k], 12, false), core.realId(gc, heads[k]));
      EXPECT_EQ(copies[k].size(), 48u);
    }
  }
  heads[1]->optimizedDraw = 0;
  // An unknown drawable stops the request.
  EXPECT_TRUE(putImage(client->id(77)).empty());
  auto got = core.messages(*client);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back()[0], 0);
  EXPECT_EQ(got.back()[1], 9);
}

// YV12 as the servers compute it: 12 bits per pixel.
uint32_t fakeImageSize(Head *, uint32_t, uint32_t format, uint16_t width, uint16_t height) {
  return format == 0x32315659 ? uint32_t(width) * height * 3 / 2 : 0;
}

// xvShmPutImage: one ShmCompletion whatever the heads (the first copy asks for it, or the
// proxy sends it when no copy asks); a head whose server cannot see the segment gets the image
// in an xvPutImage; a segment the client has not attached: BadShmSeg; an image past its end:
// BadValue and nothing sent.
TEST_P(XvideoTest, ShmPutImageCompletesOnce) {
  // MIT-SHM's codes as its set-up would register them.
  ExtensionRecord *shm = &proxyState.extensions[kShmMajor];
  shm->firstEvent = kShmEvent;
  shm->firstError = kShmError;
  ASSERT_EQ(extRegister(shm, "MIT-SHM", 1, 1), nullptr);
  init();
  XvideoImageSizer savedSizer = xvideoImageSize;
  xvideoImageSize = fakeImageSize;
  struct Restore {
    XvideoImageSizer sizer;
    ~Restore() { xvideoImageSize = sizer; }
  } restore{savedSizer};
  WindowRecord *w = window(5, 100, 200);
  uint32_t segmentId = client->id(12), gc = client->id(9);
  std::vector<uint8_t> memory(512);
  for (size_t k = 0; k < memory.size(); k++) memory[k] = uint8_t(k * 7 + 1);
  ShmSegment segment{};
  segment.address = memory.data();
  segment.size = memory.size();
  ShmAttachment attachment{&segment, 0};
  {
    FakeCore::Current current(*client);
    ASSERT_TRUE(resourceAdd(segmentId, kResourceShmSegment, &attachment));
  }
  ServerDisplay *display = heads[0]->serverDisplay;
  display->mitShmUsable = 1;
  WindowRecord *drawable = w;
  auto shmPut = [&](uint32_t seg, uint8_t sendEvent, uint32_t offset = 128) {
    send(req(19).i(64).i(drawable->id).i(gc).i(seg).i(0x32315659).i(offset).s(0).s(0).s(8).s(8).s(0).s(0).s(8)
             .s(8).s(8).s(8).b(sendEvent).pad(3).done());
    return written();
  };
  auto copies = shmPut(segmentId, 1);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0][1], 19);
  EXPECT_EQ(copies[0][48], 1);
  EXPECT_EQ(copies[1][48], 0);
  EXPECT_EQ(rawGet32(copies[1], 4, false), 326u);
  EXPECT_TRUE(core.messages(*client).empty());

  // Both heads overlap-only and the window off both: no copy, the proxy's own completion.
  drawable = window(7, 2000, 200);
  heads[0]->optimizedDraw = heads[1]->optimizedDraw = 1;
  auto completionCheck = [&](uint16_t sequence) {
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], kShmEvent);
    EXPECT_EQ(client->u16(got[0], 2), sequence);
    EXPECT_EQ(client->u32(got[0], 4), drawable->id);
    EXPECT_EQ(client->u16(got[0], 8), 19u);
    EXPECT_EQ(got[0][10], kXvMajor);
    EXPECT_EQ(client->u32(got[0], 12), segmentId);
    EXPECT_EQ(client->u32(got[0], 16), 128u);
  };
  EXPECT_TRUE(shmPut(segmentId, 1).empty());
  completionCheck(uint16_t(client->client->sequence));

  // Without send-event nothing comes back.
  EXPECT_TRUE(shmPut(segmentId, 0).empty());
  EXPECT_TRUE(core.messages(*client).empty());

  // A server without the segment: the image itself, from the segment at the offset.
  heads[0]->optimizedDraw = heads[1]->optimizedDraw = 0;
  drawable = w;
  display->mitShmUsable = 0;
  copies = shmPut(segmentId, 1);
  ASSERT_EQ(copies.size(), 2u);
  for (size_t k = 0; k < 2; k++) {
    EXPECT_EQ(copies[k][1], 18);
    ASSERT_EQ(copies[k].size(), 40u + 96u);
    EXPECT_EQ(rawGet32(copies[k], 4, false), k == 0 ? 64u : 326u);
    EXPECT_EQ(rawGet32(copies[k], 8, false), core.realId(w->id, heads[k]));
    EXPECT_EQ(rawGet32(copies[k], 12, false), core.realId(gc, heads[k]));
    EXPECT_EQ(rawGet32(copies[k], 16, false), 0x32315659u);
    EXPECT_EQ(rawGet16(copies[k], 36, false), 8u);
    EXPECT_TRUE(std::equal(copies[k].begin() + 40, copies[k].end(), memory.begin() + 128));
  }
  completionCheck(uint16_t(client->client->sequence));

  // Refused before anything is written.
  struct Refusal {
    const char *name;
    uint32_t segment, offset;
    uint8_t code;
    uint32_t value;
  } refusals[] = {{"no segment", client->id(13), 128, kShmError, client->id(13)},
                  {"offset past the end", segmentId, 512, 2, 512},
                  {"image past the end", segmentId, 420, 2, 420},
                  {"offset not a multiple of 4", segmentId, 2, 2, 2}};
  for (bool usable : {true, false}) {
    display->mitShmUsable = usable;
    for (const Refusal &r : refusals) {
      SCOPED_TRACE(r.name);
      EXPECT_TRUE(shmPut(r.segment, 1, r.offset).empty());
      auto got = core.messages(*client);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], r.code);
      EXPECT_EQ(client->u32(got[0], 4), r.value);
    }
  }
  display->mitShmUsable = 0;
}

// A hand-built xvQueryAdaptors reply of the primary head (the proxy's order).
struct Entry {
  uint32_t base;
  std::string name;
  std::vector<uint32_t> visuals;
  uint16_t claimedName = 0xffff;  // the name length written (0xffff: the name's own)
  uint16_t claimedFormats = 0xffff;
};
FakeBytes adaptorsReply(const std::vector<Entry> &entries, uint16_t count) {
  FakeMessage m(false);
  m.b(1).b(0).s(1).i(0).s(count).pad(22);
  for (const Entry &e : entries) {
    m.i(e.base).s(e.claimedName == 0xffff ? uint16_t(e.name.size()) : e.claimedName).s(2);
    m.s(e.claimedFormats == 0xffff ? uint16_t(e.visuals.size()) : e.claimedFormats).b(17).b(0);
    m.text(e.name).align();
    for (uint32_t v : e.visuals) m.i(v).b(24).pad(3);
  }
  FakeBytes bytes = m.d;
  uint32_t words = uint32_t((bytes.size() - 32) / 4);
  memcpy(&bytes[4], &words, 4);
  return bytes;
}

std::string describe(const FakeBytes &reply, uint32_t length) {
  std::string out = std::to_string(rawGet16(reply, 8, false)) + ":" + std::to_string(rawGet32(reply, 4, false));
  for (uint32_t at = 32; at + 12 <= length;) {
    uint32_t name = rawGet16(reply, at + 4, false), formats = rawGet16(reply, at + 8, false);
    out += " " + std::to_string(rawGet32(reply, at, false)) + "=" +
           std::string(reply.begin() + at + 12, reply.begin() + at + 12 + name);
    at += 12 + ((name + 3) & ~3u);
    for (uint32_t f = 0; f < formats; f++, at += 8) {
      char hex[16];
      snprintf(hex, sizeof hex, "/%x", rawGet32(reply, at, false));
      out += hex;
    }
  }
  return out;
}

// The filter: entries of offered adaptors stay with meta visual ids, others are cut; counts
// from the server never take it past the reply.
TEST_P(XvideoTest, AdaptorListFilter) {
  listed = {{0, {{40, 1, 8}, {64, 2, 21}, {66, 4, 17}}}, {1, {{320, 2, 21}, {322, 4, 17}}}};
  init();
  EXPECT_EQ(offeredPorts(), (std::vector<uint32_t>{64, 66}));
  ServerDisplay *display = heads[0]->serverDisplay;
  struct Case {
    const char *name;
    std::vector<Entry> entries;
    uint16_t count;
    std::string want;
  } cases[] = {
      {"first not offered", {{40, "ovl", {0x66}}, {64, "relay 0.0", {0x66, 0x99}}, {66, "B", {0x66}}}, 3,
       "2:16 64=relay 0.0/21/99 66=B/21"},
      {"a name past the end", {{64, "A", {0x66}}, {66, "B", {}, 200}}, 2, "1:6 64=A/21"},
      {"formats past the end", {{64, "A", {0x66}}, {66, "B", {0x66}, 0xffff, 0xfff0}}, 2, "1:6 64=A/21"},
      {"count 0", {{64, "A", {0x66}}}, 0, "0:0"},
      {"count 0xffff", {{64, "A", {0x66}}}, 0xffff, "1:6 64=A/21"},
      {"count beyond two entries", {{40, "x", {}}, {66, "B", {0x66}}}, 7, "1:6 66=B/21"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeBytes reply = adaptorsReply(c.entries, c.count);
    uint32_t length = xvideoFilterAdaptors(reply.data(), uint32_t(reply.size()), display);
    ASSERT_LE(length, reply.size());
    EXPECT_EQ(length, 32 + 4 * rawGet32(reply, 4, false));
    EXPECT_EQ(describe(reply, length), c.want);
  }
}

// Replies of lists reach a client of either order with every field in its order; a request one
// word short or long is refused with its length and still counts.
TEST_P(XvideoTest, RepliesAndLengths) {
  init();
  auto ask = [&](uint8_t minor, uint32_t port, FakeMessage reply, size_t extra = 0) {
    send(req(minor).i(port).pad(extra).done());
    written();
    FakeBytes bytes = replyBytes(reply);
    uint16_t real = uint16_t(sentTo());
    memcpy(&bytes[2], &real, 2);
    core.feedServer(*client, bytes);
    auto got = core.messages(*client);
    EXPECT_EQ(got.size(), 1u);
    return got.empty() ? FakeBytes{} : got[0];
  };
  // QueryEncodings: one encoding "XV_IMAGE" 2048 x 2048, rate 1/1.
  FakeMessage encodings(false);
  encodings.b(1).b(0).s(0).i(0).s(1).pad(22);
  encodings.i(0x45).s(8).s(2048).s(2048).s(0).i(1).i(1).text("XV_IMAGE");
  FakeBytes got = ask(2, 64, encodings);
  ASSERT_EQ(got.size(), 60u);
  EXPECT_EQ(client->u16(got, 8), 1u);
  EXPECT_EQ(client->u32(got, 32), 0x45u);
  EXPECT_EQ(client->u16(got, 36), 8u);
  EXPECT_EQ(client->u16(got, 38), 2048u);
  EXPECT_EQ(client->u32(got, 48), 1u);
  EXPECT_EQ(std::string(got.begin() + 52, got.end()), "XV_IMAGE");

  // QueryPortAttributes: "XV_BRIGHTNESS" -1000..1000, gettable and settable.
  FakeMessage attributes(false);
  attributes.b(1).b(0).s(0).i(0).i(1).i(16).pad(16);
  attributes.i(3).i(uint32_t(-1000)).i(1000).i(16).text("XV_BRIGHTNESS").pad(3);
  got = ask(15, 64, attributes);
  ASSERT_EQ(got.size(), 64u);
  EXPECT_EQ(client->u32(got, 8), 1u);
  EXPECT_EQ(client->u32(got, 12), 16u);
  EXPECT_EQ(client->u32(got, 36), uint32_t(-1000));
  EXPECT_EQ(client->u32(got, 44), 16u);
  EXPECT_EQ(std::string(got.begin() + 48, got.begin() + 61), "XV_BRIGHTNESS");

  // ListImageFormats: one 128-byte entry.
  FakeMessage formats(false);
  formats.b(1).b(0).s(0).i(0).i(1).pad(20);
  formats.i(0x32595559).b(1).b(0).s(0).pad(16).b(16).b(1).s(0).b(0).pad(3).i(0xff).i(0xff00).i(0xff0000);
  formats.b(0).pad(3).i(8).i(8).i(8).i(1).i(2).i(2).i(1).i(1).i(1).pad(32).b(0).pad(11);
  got = ask(16, 64, formats);
  ASSERT_EQ(got.size(), 160u);
  EXPECT_EQ(client->u32(got, 8), 1u);
  EXPECT_EQ(client->u32(got, 32), 0x32595559u);
  EXPECT_EQ(client->u32(got, 68), 0xff00u);
  EXPECT_EQ(client->u32(got, 80), 8u);
  EXPECT_EQ(client->u32(got, 96), 2u);

  // QueryImageAttributes: YV12 320 x 240, three planes.
  FakeMessage image(false);
  image.b(1).b(0).s(0).i(0).i(3).i(115200).s(320).s(240).pad(12);
  image.i(320).i(160).i(160).i(0).i(76800).i(96000);
  got = ask(17, 64, image, 8);
  ASSERT_EQ(got.size(), 56u);
  EXPECT_EQ(client->u32(got, 12), 115200u);
  EXPECT_EQ(client->u16(got, 16), 320u);
  EXPECT_EQ(client->u32(got, 52), 96000u);

  // Every request one word short and one word long.
  const uint32_t sizes[20] = {4, 8, 8, 12, 12, 32, 32, 32, 32, 12, 12, 12, 20, 16, 12, 8, 8, 16, 40, 52};
  for (uint8_t minor = 0; minor < 20; minor++) {
    for (int delta : {-4, 4}) {
      uint32_t size = sizes[minor] + uint32_t(delta);
      if (size < 4) continue;
      bool variable = minor == 5 || minor == 6 || minor == 18;
      if (variable && delta > 0) continue;  // a longer variable request is fine
      FakeMessage m = req(minor);
      m.pad(size - 4);
      uint16_t before = uint16_t(client->client->sequence);
      send(m.done());
      EXPECT_TRUE(written().empty()) << int(minor) << " " << delta;
      auto errors = core.messages(*client);
      ASSERT_EQ(errors.size(), 1u) << int(minor);
      EXPECT_EQ(errors[0][1], 16);
      EXPECT_EQ(client->u32(errors[0], 4), size);
      EXPECT_EQ(client->u16(errors[0], 2), uint16_t(before + 1));
    }
  }
}

// VideoNotify maps the drawable back; PortNotify passes its port and swaps its value.
TEST_P(XvideoTest, EventsFromThePrimaryHead) {
  init();
  WindowRecord *w = window(5, 100, 200);
  uint16_t real = core.serverSequence(*client, 11);
  FakeBytes video(32, 0), port(32, 0);
  video[0] = kXvEvent, video[1] = 1;
  memcpy(&video[2], &real, 2);
  uint32_t values[] = {1234, core.realId(w->id, heads[0]), 64};
  memcpy(&video[4], values, 12);
  port[0] = kXvEvent + 1;
  memcpy(&port[2], &real, 2);
  uint32_t portValues[] = {1235, 66, 0x44, uint32_t(-500)};
  memcpy(&port[4], portValues, 16);
  core.feedEvents(*client, {video, port});
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(client->u16(got[0], 2), 11u);
  EXPECT_EQ(client->u32(got[0], 4), 1234u);
  EXPECT_EQ(client->u32(got[0], 8), w->id);
  EXPECT_EQ(client->u32(got[0], 12), 64u);
  EXPECT_EQ(client->u32(got[1], 8), 66u);
  EXPECT_EQ(client->u32(got[1], 12), 0x44u);
  EXPECT_EQ(client->u32(got[1], 16), uint32_t(-500));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, XvideoTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
