// MIT-SHM on the fake core, in both byte orders: the attach permission rule, the image size
// rule, bounds of offsets and images, shared and read-only attaches, where puts go and who
// sends the completion, and ShmGetImage assembled from parts over the heads. (The holder
// limit is tested through tarvo: tests/integration/shm_tarvo_test.cpp.)
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/shm.h"

namespace {

constexpr uint8_t kShmMajor = 210, kShmEvent = 95, kShmError = 160;
constexpr uint8_t kBadValue = 2, kBadMatch = 8, kBadAccess = 10;

// ----- The permission rule -----

TEST(ShmRules, PermissionAsAnXServer) {
  // Owner 1000/100 (creator 1001/101), mode rw- r-- r-- or as given.
  struct Case {
    const char *name;
    bool credentials;
    uid_t uid;
    gid_t gid;
    uint32_t mode;
    bool readOnly, allowed;
  } cases[] = {
      {"root always", true, 0, 0, 0000, false, true},
      {"owner rw", true, 1000, 5, 0600, false, true},
      {"creator counts as owner", true, 1001, 5, 0600, false, true},
      {"owner without write reads", true, 1000, 5, 0400, true, true},
      {"owner without write cannot write", true, 1000, 5, 0400, false, false},
      {"owner bits rule even when others may", true, 1000, 5, 0066, true, false},
      {"group reads", true, 2000, 100, 0640, true, true},
      {"creator group reads", true, 2000, 101, 0640, true, true},
      {"group cannot write", true, 2000, 100, 0640, false, false},
      {"other reads 0604", true, 2000, 5, 0604, true, true},
      {"other cannot write 0604", true, 2000, 5, 0604, false, false},
      {"other on 0600", true, 2000, 5, 0600, true, false},
      {"no credentials", false, 0, 0, 0666, true, false},
  };
  for (const Case &k : cases) {
    ShmPermission p{1000, 1001, 100, 101, k.mode};
    EXPECT_EQ(shmAccessAllowed(k.credentials, k.uid, k.gid, p, k.readOnly), k.allowed) << k.name;
  }
}

// ----- Fixture: two heads of 800 x 600 side by side -----

// The client's credentials as the test sets them (-1: none, as over TCP); the group is the
// test's own only for the test's own user.
int fakeUid = 0;
int fakeCredentials(ClientConnection *, uid_t *uid, gid_t *gid) {
  if (fakeUid < 0) return -1;
  *uid = uid_t(fakeUid);
  *gid = uid_t(fakeUid) == getuid() ? getgid() : 54321;
  return 0;
}

class ShmTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    savedCount = proxyState.pixmapFormatCount;
    memcpy(savedFormats, proxyState.pixmapFormats, sizeof savedFormats);
    savedPad = proxyState.bitmapPad;
    proxyState.pixmapFormatCount = 7;
    proxyState.pixmapFormats[0] = {1, 1, 32};
    proxyState.pixmapFormats[1] = {4, 8, 32};
    proxyState.pixmapFormats[2] = {8, 8, 32};
    proxyState.pixmapFormats[3] = {15, 16, 32};
    proxyState.pixmapFormats[4] = {16, 16, 32};
    proxyState.pixmapFormats[5] = {24, 32, 32};
    proxyState.pixmapFormats[6] = {32, 32, 32};
    proxyState.bitmapPad = 32;
    screen = core.addScreen(1600, 600, 2);
    savedCredentials = shmPeerCredentials;
    shmPeerCredentials = fakeCredentials;
    fakeUid = int(getuid());
    ASSERT_NE(xproxyInitExtension("MIT-SHM", 0, kShmMajor, kShmEvent, kShmError), nullptr);
    ASSERT_NE(proxyState.extensions[kShmMajor].name, nullptr);
    client = &core.addClient(GetParam());
  }
  void TearDown() override {
    for (FakeClient *c : extra) core.closeClient(*c);
    if (client) core.closeClient(*client);
    extResetAll();
    shmPeerCredentials = savedCredentials;
    for (auto &s : segments) {
      shmdt(s.second);
      shmctl(s.first, IPC_RMID, nullptr);
    }
    proxyState.pixmapFormatCount = savedCount;
    memcpy(proxyState.pixmapFormats, savedFormats, sizeof savedFormats);
    proxyState.bitmapPad = savedPad;
  }
  // A segment of the test (mode 0600), mapped here as well.
  int makeSegment(size_t size, int mode = 0600) {
    int id = shmget(IPC_PRIVATE, size, IPC_CREAT | mode);
    EXPECT_GE(id, 0);
    auto *at = static_cast<uint8_t *>(shmat(id, nullptr, 0));
    segments.push_back({id, at});
    return id;
  }
  uint8_t *mapping(int id) {
    for (auto &s : segments)
      if (s.first == id) return s.second;
    return nullptr;
  }
  static shmatt_t attaches(int id) {
    shmid_ds status{};
    shmctl(id, IPC_STAT, &status);
    return status.shm_nattch;
  }
  void send(FakeClient &c, const FakeBytes &request) {
    FakeCore::Current current(c);
    core.send(c, request);
  }
  FakeBytes attach(FakeClient &c, uint32_t seg, int shmid, bool readOnly) {
    return FakeMessage(c.big).b(kShmMajor).b(1).s(0).i(seg).i(uint32_t(shmid)).b(readOnly).pad(3).done();
  }
  FakeBytes detach(FakeClient &c, uint32_t seg) { return FakeMessage(c.big).b(kShmMajor).b(2).s(0).i(seg).done(); }
  FakeBytes put(FakeClient &c, uint32_t drawable, uint32_t gc, uint16_t tw, uint16_t th, uint16_t sx, uint16_t sy,
                uint16_t sw, uint16_t sh, int16_t dx, int16_t dy, uint8_t depth, uint8_t format, uint8_t sendEvent,
                uint32_t seg, uint32_t offset) {
    return FakeMessage(c.big).b(kShmMajor).b(3).s(0).i(drawable).i(gc).s(tw).s(th).s(sx).s(sy).s(sw).s(sh)
        .s(uint16_t(dx)).s(uint16_t(dy)).b(depth).b(format).b(sendEvent).b(0).i(seg).i(offset).done();
  }
  FakeBytes get(FakeClient &c, uint32_t drawable, int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t mask,
                uint8_t format, uint32_t seg, uint32_t offset) {
    return FakeMessage(c.big).b(kShmMajor).b(4).s(0).i(drawable).s(uint16_t(x)).s(uint16_t(y)).s(w).s(h).i(mask)
        .b(format).pad(3).i(seg).i(offset).done();
  }
  uint32_t makeGC(FakeClient &c) {
    uint32_t id = c.id(60);
    send(c, FakeMessage(c.big).b(55).b(0).s(0).i(id).i(screen->root).i(0).done());
    core.serverRequests(c);
    return id;
  }
  // The X errors the client got: their codes.
  std::vector<int> errors(FakeClient &c) {
    std::vector<int> out;
    for (auto &m : core.messages(c))
      if (m[0] == 0) out.push_back(m[1]);
    return out;
  }
  std::vector<FakeBytes> written(FakeClient &c, uint8_t opcode) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] == opcode) out.push_back(r);
    return out;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<FakeClient *> extra;
  std::vector<std::pair<int, uint8_t *>> segments;
  ShmPeerCredentials savedCredentials = nullptr;
  uint8_t savedCount = 0, savedPad = 0;
  ProxyState::PixmapFormat savedFormats[8];
};

// The bytes an image takes: ZPixmap rows at the depth's bits per pixel padded to 32 bits; XY
// rows of one bit, times the depth (XYPixmap) or the mask's planes within it (GetImage).
TEST_P(ShmTest, SizeRule) {
  struct Case {
    const char *name;
    uint32_t width, height, format, depth, mask;
    uint64_t bytes;
  } cases[] = {
      {"Z depth 1", 33, 2, 2, 1, ~0u, 16},       {"Z depth 4", 5, 3, 2, 4, ~0u, 24},
      {"Z depth 8", 5, 3, 2, 8, ~0u, 24},        {"Z depth 15", 3, 2, 2, 15, ~0u, 16},
      {"Z depth 16", 3, 2, 2, 16, ~0u, 16},      {"Z depth 24", 3, 2, 2, 24, ~0u, 24},
      {"Z depth 32", 3, 2, 2, 32, ~0u, 24},      {"XY depth 24", 10, 2, 1, 24, ~0u, 4 * 2 * 24},
      {"XY mask 0xff", 10, 2, 1, 24, 0xff, 4 * 2 * 8}, {"XY mask beyond depth", 10, 2, 1, 8, 0xf0f, 4 * 2 * 4},
      {"Bitmap", 40, 3, 0, 1, ~0u, 8 * 3},       {"largest", 65535, 65535, 2, 32, ~0u, 65535ull * 65535ull * 4},
      {"no such depth", 4, 4, 2, 12, ~0u, 0},
  };
  for (const Case &k : cases)
    EXPECT_EQ(shmImageBytes(k.width, k.height, k.format, k.depth, k.mask), k.bytes) << k.name;
  EXPECT_TRUE(shmImageFits(100, 0, 100));
  EXPECT_TRUE(shmImageFits(100, 100, 0));
  EXPECT_FALSE(shmImageFits(100, 2, 4));
  EXPECT_FALSE(shmImageFits(100, 104, 0));
  EXPECT_FALSE(shmImageFits(100, 4, 100));
  EXPECT_FALSE(shmImageFits(100, 0, 65535ull * 65535ull * 4));
}

// Hostile offsets and sizes are BadValue before anything is forwarded or put; nothing past the
// segment's size is read or written.
TEST_P(ShmTest, OffsetsAndImagesStayInsideTheSegment) {
  FakeClient &c = *client;
  uint32_t gc = makeGC(c);
  int id = makeSegment(4096);
  send(c, attach(c, c.id(1), id, false));
  EXPECT_TRUE(errors(c).empty());
  core.serverRequests(c);
  // 4096 bytes hold 32 x 32 pixels at 32 bits.
  struct Case {
    const char *name;
    uint16_t w, h;
    uint8_t format, depth;
    uint32_t offset;
  } cases[] = {
      {"offset 2", 4, 4, 2, 24, 2},          {"offset beyond the size", 1, 1, 2, 24, 8192},
      {"4 bytes past the end", 32, 32, 2, 24, 4}, {"XY 4 bytes past the end", 32, 32, 1, 24, 4096 - 32 * 4 * 24 + 4},
      {"65535 x 65535", 65535, 65535, 2, 24, 0},
  };
  for (const Case &k : cases) {
    send(c, put(c, screen->root, gc, k.w, k.h, 0, 0, k.w, k.h, 0, 0, k.depth, k.format, 0, c.id(1), k.offset));
    EXPECT_EQ(errors(c), std::vector<int>{kBadValue}) << "put " << k.name;
    // As the server does, an area beyond the drawable is BadMatch before the image's size.
    send(c, get(c, screen->root, 0, 0, k.w, k.h, ~0u, k.format, c.id(1), k.offset));
    EXPECT_EQ(errors(c), std::vector<int>{k.w == 65535 ? kBadMatch : kBadValue}) << "get " << k.name;
    EXPECT_TRUE(core.serverRequests(c).empty()) << k.name;
  }
  // The last allowed image is taken.
  send(c, put(c, screen->root, gc, 32, 32, 0, 0, 32, 32, 0, 0, 24, 2, 0, c.id(1), 0));
  EXPECT_TRUE(errors(c).empty());
  EXPECT_FALSE(written(c, 72).empty());
}

// Attaches: refused without the client's rights (nothing attached), shared between clients,
// read-only kept per attach, and the mapping gone with the last holder.
TEST_P(ShmTest, AttachRightsSharingAndReadOnly) {
  FakeClient &a = *client;
  FakeClient &b = core.addClient(!GetParam());
  extra.push_back(&b);
  int id = makeSegment(4096, 0604);
  shmatt_t own = attaches(id);
  fakeUid = -1;
  send(a, attach(a, a.id(1), id, true));
  EXPECT_EQ(errors(a), std::vector<int>{kBadAccess}) << "no credentials";
  fakeUid = 12345;  // another user: 0604 lets it read only
  send(a, attach(a, a.id(1), id, false));
  EXPECT_EQ(errors(a), std::vector<int>{kBadAccess}) << "read-write by other";
  EXPECT_EQ(attaches(id), own);
  send(a, attach(a, a.id(1), id, true));
  EXPECT_TRUE(errors(a).empty());
  EXPECT_EQ(attaches(id), own + 1);
  // A read-write attach of the read-only mapping fails, for the owner too.
  fakeUid = int(getuid());
  send(b, attach(b, b.id(1), id, false));
  EXPECT_EQ(errors(b), std::vector<int>{kBadAccess});
  send(b, attach(b, b.id(2), id, true));
  EXPECT_TRUE(errors(b).empty());
  EXPECT_EQ(attaches(id), own + 1) << "one mapping for both";
  // A read-only attach never gets written.
  send(a, get(a, screen->root, 0, 0, 1, 1, ~0u, 2, a.id(1), 0));
  EXPECT_EQ(errors(a), std::vector<int>{kBadAccess});
  send(a, detach(a, a.id(1)));
  EXPECT_TRUE(errors(a).empty());
  send(a, detach(a, a.id(1)));
  auto m = core.messages(a);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][1], kShmError) << "BadShmSeg";
  EXPECT_EQ(a.u32(m[0], 4), a.id(1));
  EXPECT_EQ(attaches(id), own + 1);
  core.closeClient(b);  // without detaching
  extra.clear();
  EXPECT_EQ(attaches(id), own);
}

// A read-only attach of a segment another client attached read-write may not write it.
TEST_P(ShmTest, ReadOnlyIsKeptPerAttach) {
  FakeClient &a = *client;
  FakeClient &b = core.addClient(GetParam());
  extra.push_back(&b);
  int id = makeSegment(4096, 0666);
  send(b, attach(b, b.id(1), id, false));
  send(a, attach(a, a.id(1), id, true));
  EXPECT_TRUE(errors(a).empty());
  send(a, get(a, screen->root, 0, 0, 1, 1, ~0u, 2, a.id(1), 0));
  EXPECT_EQ(errors(a), std::vector<int>{kBadAccess});
  core.serverRequests(b);
  send(b, get(b, screen->root, 0, 0, 1, 1, ~0u, 2, b.id(1), 0));
  EXPECT_TRUE(errors(b).empty());
  EXPECT_EQ(written(b, 73).size(), 1u) << "read for the read-write attach";
}

// Where puts go: forwarded to heads of a display with MIT-SHM (the completion asked of the last
// copy only), else put as core images with a completion of the proxy's.
TEST_P(ShmTest, PutsAndTheirCompletion) {
  FakeClient &c = *client;
  ServerDisplay *display = core.addRealDisplay();
  uint32_t gc = makeGC(c);
  int id = makeSegment(4096);
  display->mitShmUsable = 1;
  send(c, attach(c, c.id(1), id, false));
  EXPECT_EQ(written(c, kShmMajor).size(), 1u) << "attach forwarded";
  // A 4 x 1 image at 798: across both heads.
  send(c, put(c, screen->root, gc, 4, 1, 0, 0, 4, 1, 798, 0, 24, 2, 1, c.id(1), 0));
  auto copies = written(c, kShmMajor);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0][30], 0);
  EXPECT_EQ(copies[1][30], 1);
  EXPECT_TRUE(core.messages(c).empty());
  display->mitShmUsable = 0;
  memcpy(mapping(id), "\x01\x02\x03\x00\x04\x05\x06\x00\x07\x08\x09\x00\x0a\x0b\x0c\x00", 16);
  // 2 x 1 of the 4 x 1 image from its second pixel: core puts per head, the sub-image's pixels.
  send(c, put(c, screen->root, gc, 4, 1, 1, 0, 2, 1, 10, 20, 24, 2, 1, c.id(1), 0));
  auto puts = written(c, 72);
  ASSERT_EQ(puts.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(puts[0].begin() + 24, puts[0].begin() + 32),
            (std::vector<uint8_t>{4, 5, 6, 0, 7, 8, 9, 0}));
  auto m = core.messages(c);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], proxyState.extensions[kShmMajor].firstEvent);
  EXPECT_EQ(c.u16(m[0], 2), c.client->sequence & 0xffff);
  EXPECT_EQ(c.u32(m[0], 4), screen->root);
  EXPECT_EQ(c.u16(m[0], 8), 3u);
  EXPECT_EQ(m[0][10], kShmMajor);
  EXPECT_EQ(c.u32(m[0], 12), c.id(1));
  // Without send-event no completion.
  send(c, put(c, screen->root, gc, 4, 1, 0, 0, 4, 1, 0, 0, 24, 2, 0, c.id(1), 0));
  EXPECT_TRUE(core.messages(c).empty());
}

// Into a window whose copy the second head places apart (its real screen shows the meta screen
// from x 800 on): the destination moves 33 pixels left there, the source loses what falls
// before 16 bits, and a head left with nothing still answers the completion.
TEST_P(ShmTest, PutsIntoACopyPlacedApart) {
  FakeClient &c = *client;
  FakeCore::Current current(c);
  ServerDisplay *display = core.addRealDisplay();
  auto heads = core.heads();
  heads[1]->logical = Rect{0, 0, 800, 600};
  heads[0]->idIndex = 0, heads[1]->idIndex = 1;
  uint32_t wide = c.id(2), gc = makeGC(c);
  send(c, FakeMessage(c.big).b(1).b(0).s(0).i(wide).i(screen->root).s(uint16_t(-32000)).s(100).s(33000).s(100)
              .s(0).s(1).i(0).i(0).done());
  int id = makeSegment(32802 * 4);
  display->mitShmUsable = 1;
  send(c, attach(c, c.id(1), id, false));
  core.serverRequests(c);
  send(c, put(c, wide, gc, 4, 1, 0, 0, 4, 1, 32700, 0, 24, 2, 0, c.id(1), 0));
  auto copies = written(c, kShmMajor);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(int16_t(rawGet16(copies[0], 24, false)), 32700);
  EXPECT_EQ(int16_t(rawGet16(copies[1], 24, false)), 32667);
  // A row of 32802 from x -32767: on the second head from its 33rd pixel at the range's start.
  send(c, put(c, wide, gc, 32802, 1, 0, 0, 32802, 1, -32767, 0, 24, 2, 0, c.id(1), 0));
  copies = written(c, kShmMajor);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(rawGet16(copies[1], 16, false), 32u);
  EXPECT_EQ(rawGet16(copies[1], 20, false), 32770u);
  EXPECT_EQ(int16_t(rawGet16(copies[1], 24, false)), -32768);
  // Wholly left of that copy, with send-event: the second head answers with nothing drawn.
  send(c, put(c, wide, gc, 4, 1, 0, 0, 4, 1, -32767, 0, 24, 2, 1, c.id(1), 0));
  copies = written(c, kShmMajor);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[1][30], 1);
  EXPECT_EQ(rawGet16(copies[1], 20, false), 0u);
  // Through core puts: the cut image.
  display->mitShmUsable = 0;
  for (uint32_t i = 0; i < 32802; i++) memcpy(mapping(id) + 4 * i, &i, 4);
  send(c, put(c, wide, gc, 32802, 1, 0, 0, 32802, 1, -32767, 0, 24, 2, 0, c.id(1), 0));
  // Two images of 128 KiB: the second read takes what the socket's buffer held back.
  auto puts = written(c, 72);
  for (auto &more : written(c, 72)) puts.push_back(more);
  ASSERT_EQ(puts.size(), 2u);
  EXPECT_EQ(rawGet16(puts[1], 12, false), 32770u);
  EXPECT_EQ(int16_t(rawGet16(puts[1], 16, false)), -32768);
  EXPECT_EQ(rawGet32(puts[1], 24, false), 32u);
  EXPECT_TRUE(errors(c).empty());
}

// A GetImage reply of the real server (the proxy's order) with `data`.
FakeBytes imageReply(uint16_t sequence, uint8_t depth, const std::vector<uint8_t> &data) {
  FakeMessage m(false);
  m.b(1).b(depth).s(sequence).i(uint32_t(data.size() / 4)).i(0x21).pad(20);
  m.d.insert(m.d.end(), data.begin(), data.end());
  return m.d;
}

// Across two heads: one GetImage per head, each reply's pixels at their place in the segment,
// one ShmGetImage reply after the last; a short part is not copied and still counts.
TEST_P(ShmTest, GetImageByParts) {
  FakeClient &c = *client;
  FakeCore::Current current(c);
  DisplayConnection *connection = c.client->displays[0];
  int id = makeSegment(4096);
  send(c, attach(c, c.id(1), id, false));
  for (bool shortFirst : {false, true}) {
    memset(mapping(id), 0xee, 64);
    core.send(c, get(c, screen->root, 798, 0, 4, 1, ~0u, 2, c.id(1), 8));
    auto parts = written(c, 73);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(rawGet16(parts[0], 8, false), 798u);
    EXPECT_EQ(rawGet16(parts[1], 8, false), 800u);
    uint16_t second = uint16_t(connection->requestsSent), first = uint16_t(second - 1);
    std::vector<uint8_t> left = {1, 2, 3, 0, 4, 5, 6, 0}, right = {7, 8, 9, 0, 10, 11, 12, 0};
    core.feedServer(c, imageReply(first, 24, shortFirst ? std::vector<uint8_t>{1, 2, 3, 0} : left));
    EXPECT_TRUE(core.messages(c).empty());
    core.feedServer(c, imageReply(second, 24, right));
    auto m = core.messages(c);
    ASSERT_EQ(m.size(), 1u) << shortFirst;
    EXPECT_EQ(m[0][0], 1);
    EXPECT_EQ(m[0][1], 24);
    EXPECT_EQ(c.u16(m[0], 2), c.client->sequence & 0xffff);
    EXPECT_EQ(c.u32(m[0], 4), 0u);
    EXPECT_EQ(c.u32(m[0], 12), 16u) << "size";
    std::vector<uint8_t> expected(8, 0xee);
    if (shortFirst) expected.insert(expected.end(), 8, 0xee);
    else expected.insert(expected.end(), left.begin(), left.end());
    expected.insert(expected.end(), right.begin(), right.end());
    expected.insert(expected.end(), 8, 0xee);
    EXPECT_EQ(std::vector<uint8_t>(mapping(id), mapping(id) + 32), expected) << shortFirst;
  }
  // XYPixmap with a partial mask: only the mask's planes are written (4 planes x 4 bytes).
  memset(mapping(id), 0xee, 64);
  core.send(c, get(c, screen->root, 0, 0, 1, 1, 0x0f, 1, c.id(1), 0));
  auto parts = written(c, 73);
  ASSERT_EQ(parts.size(), 1u);
  core.feedServer(c, imageReply(uint16_t(connection->requestsSent), 24, std::vector<uint8_t>(16, 0x80)));
  auto m = core.messages(c);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(c.u32(m[0], 12), 16u);
  EXPECT_EQ(mapping(id)[16], 0xee) << "nothing past the mask's planes";
}

// A pixmap holding a part copied from a window of the second head: that part is read there,
// the rest from the first head, each placed in the segment.
TEST_P(ShmTest, GetImageOfPixmapReadsItsPartsWhereTheyLie) {
  FakeClient &c = *client;
  FakeCore::Current current(c);
  DisplayConnection *connection = c.client->displays[0];
  uint32_t pixmapId = c.id(70);
  core.send(c, FakeMessage(c.big).b(53).b(24).s(0).i(pixmapId).i(screen->root).s(4).s(1).done());
  PixmapRecord *pixmap = resourceLookupPixmap(pixmapId);
  ASSERT_NE(pixmap, nullptr);
  pixmap->parts = static_cast<PixmapPart *>(malloc(sizeof(PixmapPart)));
  pixmap->parts[0] = {0, 0, 2, 1, core.heads()[1]};
  pixmap->partCount = 1;
  int id = makeSegment(4096);
  send(c, attach(c, c.id(1), id, false));
  core.serverRequests(c);
  core.send(c, get(c, pixmapId, 0, 0, 4, 1, ~0u, 2, c.id(1), 0));
  auto parts = written(c, 73);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(rawGet16(parts[0], 8, false), 0u);
  EXPECT_EQ(rawGet16(parts[1], 8, false), 2u);
  uint16_t second = uint16_t(connection->requestsSent), first = uint16_t(second - 1);
  core.feedServer(c, imageReply(first, 24, {1, 2, 3, 0, 4, 5, 6, 0}));
  core.feedServer(c, imageReply(second, 24, {7, 8, 9, 0, 10, 11, 12, 0}));
  auto m = core.messages(c);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(c.u32(m[0], 8), 0u) << "a pixmap's image names no visual";
  EXPECT_EQ(std::vector<uint8_t>(mapping(id), mapping(id) + 16),
            (std::vector<uint8_t>{1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0}));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ShmTest, ::testing::Values(false, true));

}  // namespace
