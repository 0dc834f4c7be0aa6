// The resource tables and the id mapping with fake clients, heads and displays in memory (no
// real display: heads have no Xlib connection).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"

namespace {

constexpr int kExtType = kResourceDbeBuffer;  // the seam type the tests fill

std::map<uint32_t, int> freedIds;  // id -> times its extension record was freed
std::vector<uint32_t> alsoFree;    // ids the seam routine frees from inside a free

void countingFree(uint32_t id, void *value) {
  freedIds[id]++;
  free(value);
  std::vector<uint32_t> more;
  more.swap(alsoFree);
  for (uint32_t other : more) resourceFree(other, 0);
}

uint32_t elementsOf(uint32_t slot) {
  ClientResourceTable *t = resourceTableOf(slot);
  return t ? t->elements : 0;
}

class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proxyState.idMask = kResourceDefaultIdMask;
    proxyState.idShift = kResourceDefaultIdShift;
    resourceTypeRoutines[kExtType].free = countingFree;
    freedIds.clear();
    alsoFree.clear();
  }
  void TearDown() override {
    xproxyCurrentClient = nullptr;
    resourceFreeIdBases();
    resourceTypeRoutines[kExtType] = ResourceTypeRoutines{};
    xscreenList = nullptr;
    proxyState.idMask = kResourceDefaultIdMask;
    proxyState.idShift = kResourceDefaultIdShift;
  }
  // An extension record the seam frees (and counts).
  static void *ext() { return malloc(8); }
  uint32_t id(uint32_t slot, uint32_t own) { return (slot << resourceIdShift()) | own; }
  ClientConnection client3{};
};

// Which ids a client of slot 3 may not take, and that the table functions leave every table
// alone for ids beyond the tables or of unused slots.
TEST_F(ResourceTest, IdNotNewAndOutOfRangeIds) {
  client3.index = 3;
  xproxyCurrentClient = &client3;
  ASSERT_EQ(resourceInitClient(0), 1);
  ASSERT_EQ(resourceInitClient(3), 1);
  ASSERT_EQ(resourceInitClient(4), 1);
  MetaScreen screen{};
  VisualRecord visual{};
  visual.visualId = 0x21;
  screen.visuals = &visual;
  screen.visualCount = 1;
  screen.defaultColormap = 0x22;
  xscreenList = &screen;
  Head head{};
  head.metaScreen = &screen;
  head.clientRoot = 0x20;
  ASSERT_EQ(resourceAddHeadRoot(&head), 1);
  ASSERT_NE(resourceCreateColormap(nullptr, 0x22, &screen, &visual, 0), nullptr);
  // An orphan: a pixmap of slot 3 freed by its client while something still uses it. Its id is
  // free again, as on an X server.
  PixmapRecord *orphan = resourceCreatePixmap(id(3, 9), &screen, nullptr, 4, 4, 8);
  ASSERT_NE(orphan, nullptr);
  orphan->refCount = 1;
  resourceFree(id(3, 9), 0);
  ASSERT_EQ(resourceFindOrphanPixmap(id(3, 9)), orphan);

  struct Case {
    uint32_t id;
    int notNew;
  } cases[] = {{0, 1},          {0x20, 1},        {0x21, 1},   {0x22, 1},       {id(4, 1), 1},
               {id(7, 1), 1},   {0x20000000, 1},  {0xffffffff, 1}, {id(3, 9), 0}, {id(3, 10), 0},
               {id(3, 0xfffff), 0}};
  for (const Case &c : cases) EXPECT_EQ(resourceIdNotNew(c.id), c.notNew) << std::hex << c.id;

  uint32_t before[5] = {elementsOf(0), elementsOf(3), elementsOf(4), elementsOf(7), elementsOf(1023)};
  for (uint32_t bad : {0x40000000u, 0xffffffffu, id(7, 1)}) {
    void *value = ext();
    EXPECT_EQ(resourceAdd(bad, kExtType, value), 0);
    EXPECT_EQ(freedIds[bad], 1) << "the value is freed at once";
    EXPECT_EQ(resourceLookupAny(bad), nullptr);
    resourceFree(bad, 0);
    EXPECT_EQ(resourceServerId(bad, kResourcePixmap, &head), bad);
  }
  uint32_t after[5] = {elementsOf(0), elementsOf(3), elementsOf(4), elementsOf(7), elementsOf(1023)};
  EXPECT_EQ(std::vector<uint32_t>(before, before + 5), std::vector<uint32_t>(after, after + 5));
  EXPECT_EQ(resourceTableOf(7), nullptr);
  orphan->refCount = 0;
  resourceFreePixmap(orphan, 0);
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
}

// The slot choice stops where the ids no longer fit 29 bits, and refuses slot 0.
TEST_F(ResourceTest, FreeSlotsFitTwentyNineBits) {
  for (auto [mask, shift, last] : {std::tuple{0xfffffu, 20u, 511u}, std::tuple{0x3fffffu, 22u, 127u}}) {
    proxyState.idMask = mask;
    proxyState.idShift = shift;
    std::vector<uint32_t> slots;
    for (uint32_t s; (s = resourceFreeClientSlot()) != 0;) {
      ASSERT_EQ(resourceInitClient(s), 1);
      slots.push_back(s);
    }
    ASSERT_FALSE(slots.empty());
    EXPECT_EQ(slots.front(), 1u);
    EXPECT_EQ(slots.back(), last);
    resourceFreeAllOfClient(5);
    EXPECT_EQ(resourceFreeClientSlot(), 5u);
    resourceFreeIdBases();
  }
}

// The Part's mapping example, fonts per display, ids of other meta screens and the way back.
TEST_F(ResourceTest, IdMappingPerHead) {
  ServerDisplay display{};
  display.lowestBit = 0;  // head number shift
  display.idShift = 1;    // client-id shift
  display.headBitsMask = 0x1;
  display.freeBitsMask = 0x1fe00001;
  MetaScreen a{}, b{};
  a.next = &b;
  a.previous = &b;
  b.previous = &a;
  xscreenList = &a;
  Head a1{}, b1{}, b2{};
  a.heads = &a1;
  b.heads = &b1;
  b1.next = &b2;
  Head *heads[] = {&a1, &b1, &b2};
  for (uint32_t i = 0; i < 3; i++) {
    heads[i]->serverDisplay = &display;
    heads[i]->idIndex = i;
    heads[i]->metaScreen = i == 0 ? &a : &b;
    heads[i]->fontHead = &b1;
  }
  a1.displayNumber = 1;  // the example's head number 1
  b1.displayNumber = 0;
  b2.displayNumber = 1;
  constexpr uint32_t B = 0x400000;
  ASSERT_EQ(resourceInitClient(4), 1);
  for (Head *h : heads) resourceSetScreenIdBase(4, h, B);

  uint32_t own5 = id(4, 5);
  EXPECT_EQ(resourceServerId(own5, kResourcePixmap, &a1), B + 11);
  // Fonts use the font head's number: the same id on every head of the display.
  uint32_t font = resourceServerId(own5, kResourceFont, &a1);
  EXPECT_EQ(resourceServerId(own5, kResourceFont, &b2), font);
  EXPECT_EQ(font, B + 10);
  // A window of meta screen B used on A's head is translated on B's first head (number 0).
  ASSERT_NE(windowCreateRecord(id(4, 6), &b, nullptr), nullptr);
  EXPECT_EQ(resourceServerId(id(4, 6), kResourceWindow, &a1), B + 12);
  // An unknown id with two meta screens keeps its head.
  EXPECT_EQ(resourceServerId(id(4, 7), kResourceWindow, &a1), B + 15);
  EXPECT_EQ(resourceServerId(id(4, 7), kResourceWindow, &b2), B + 15);
  EXPECT_EQ(resourceServerId(id(4, 7), kResourceWindow, &b1), B + 14);
  // Mapped ids map back; ids with the top bits set or of no client stay.
  for (uint32_t own : {0u, 5u, 7u, 0xfffffu})
    for (Head *h : heads)
      EXPECT_EQ(resourceServerToClientId(resourceServerId(id(4, own), kResourcePixmap, h), &display), id(4, own));
  EXPECT_EQ(resourceServerToClientId(0xe0000001, &display), 0xe0000001u);
  EXPECT_EQ(resourceServerToClientId(0x800001, &display), 0x800001u);

  // Slot 2 departs; slot 5 still connecting has no base yet; then gets the same real base.
  constexpr uint32_t C = 0x600000;
  ASSERT_EQ(resourceInitClient(2), 1);
  resourceSetScreenIdBase(2, &b1, C);
  uint32_t real = resourceServerId(id(2, 3), kResourcePixmap, &b1);
  EXPECT_EQ(resourceServerToClientId(real, &display), id(2, 3));
  resourceFreeAllOfClient(2);
  ASSERT_EQ(resourceInitClient(5), 1);
  EXPECT_EQ(resourceServerToClientId(real, &display), real);
  resourceSetScreenIdBase(5, &b1, C);
  EXPECT_EQ(resourceServerToClientId(real, &display), id(5, 3));
}

// One meta screen of one head on a real display whose ids carry the base in bits 20 to 28.
struct OneHeadScreen {
  ServerDisplay display{};
  MetaScreen screen{};
  Head head{};
  OneHeadScreen() {
    display.freeBitsMask = 0x1ff00000;
    xscreenList = &screen;
    screen.heads = &head;
    head.serverDisplay = &display;
    head.metaScreen = &screen;
  }
};

// A departing slot: its records go, its ids still map back and its slot is not handed out,
// until it is released or a new client's raw connection gets the same base (the real server has
// closed the old one then).
TEST_F(ResourceTest, DepartingSlotKeepsItsBasesUntilReleasedOrTakenOver) {
  OneHeadScreen one;
  ServerDisplay &display = one.display;
  Head &head = one.head;
  constexpr uint32_t B = 0x600000, C = 0x700000;
  for (bool takenOver : {false, true}) {
    SCOPED_TRACE(takenOver);
    ASSERT_EQ(resourceFreeClientSlot(), 1u);
    ASSERT_EQ(resourceInitClient(1), 1);
    resourceSetScreenIdBase(1, &head, B);
    ASSERT_EQ(resourceAdd(id(1, 9), kExtType, ext()), 1);
    uint32_t real = resourceServerId(id(1, 9), kResourcePixmap, &head);
    resourceDepartClient(1);
    EXPECT_EQ(freedIds[id(1, 9)], 1);
    EXPECT_EQ(resourceTableOf(1), nullptr);
    uint32_t back = 0;
    EXPECT_EQ(resourceServerToClientIdOf(real, &display, &back), 1);
    EXPECT_EQ(back, id(1, 9));
    EXPECT_EQ(resourceFreeClientSlot(), 2u);
    ASSERT_EQ(resourceInitClient(2), 1);
    resourceSetScreenIdBase(2, &head, takenOver ? B : C);
    EXPECT_EQ(resourceServerToClientId(real, &display), takenOver ? id(2, 9) : id(1, 9));
    resourceReleaseDepartedSlot(1);
    EXPECT_EQ(resourceServerToClientIdOf(real, &display, &back), takenOver ? 1 : 0);
    EXPECT_EQ(back, takenOver ? id(2, 9) : real);
    EXPECT_EQ(resourceFreeClientSlot(), 1u);
    resourceFreeAllOfClient(2);
    freedIds.clear();
  }
}

// Both directions for a departing slot whose base a newcomer got: requests naming the departed
// client's ids go out with its kept base, ids of a slot nobody holds go out as ids that name
// nothing; read from a raw connection, the base is the departed client's until that connection
// has read the departure's marker (or asked for markers only after it), the newcomer's after.
TEST_F(ResourceTest, DepartingIdsTranslateBothWaysByTheReadersMarker) {
  OneHeadScreen one;
  ServerDisplay &display = one.display;
  Head &head = one.head;
  constexpr uint32_t B = 0x600000;
  ASSERT_EQ(resourceInitClient(1), 1);
  resourceSetScreenIdBase(1, &head, B);
  ASSERT_EQ(resourceAdd(id(1, 9), kExtType, ext()), 1);
  uint32_t real = resourceServerId(id(1, 9), kResourceWindow, &head);
  EXPECT_EQ(real, B | 9);
  // Never used: as it stands it could be the real id of another client's window.
  EXPECT_EQ(resourceServerId(id(7, 9), kResourceWindow, &head) & kResourceNoServerId, kResourceNoServerId);
  resourceDepartClient(1);
  EXPECT_EQ(resourceServerId(id(1, 9), kResourceWindow, &head), real);
  ASSERT_EQ(resourceInitClient(2), 1);
  resourceSetScreenIdBase(2, &head, B);  // no departure is listed here: no marker goes out
  resourceSetDepartureMarker(1, 5);
  DisplayConnection reader{};
  reader.display = &display;
  struct Case {
    uint64_t seen, floor;
    uint32_t slot;
  };
  for (Case c : {Case{0, 0, 1}, Case{4, 4, 1}, Case{5, 0, 2}, Case{9, 0, 2}, Case{0, 5, 2}}) {
    SCOPED_TRACE(testing::Message() << c.seen << " " << c.floor);
    reader.markerSeen = c.seen;
    reader.markerFloor = c.floor;
    xproxyCurrentDisplayConnection = &reader;
    EXPECT_EQ(resourceServerToClientId(real, &display), id(c.slot, 9));
    xproxyCurrentDisplayConnection = nullptr;
  }
  // Not read from a raw connection: the newcomer's; both requests keep their own slot's.
  EXPECT_EQ(resourceServerToClientId(real, &display), id(2, 9));
  EXPECT_EQ(resourceServerId(id(1, 9), kResourceWindow, &head), real);
  EXPECT_EQ(resourceServerId(id(2, 9), kResourceWindow, &head), real);
  resourceReleaseDepartedSlot(1);
  EXPECT_EQ(resourceServerId(id(1, 9), kResourceWindow, &head) & kResourceNoServerId, kResourceNoServerId);
  // Released, and slot 1 serves a newcomer on another base: what a reader reads before marker 5
  // still names the departed client, after it the client that holds the base now.
  ASSERT_EQ(resourceInitClient(1), 1);
  resourceSetScreenIdBase(1, &head, 0x700000);
  ASSERT_EQ(resourceDepartedRecordCount(), 1u);
  for (Case c : {Case{0, 0, 1}, Case{4, 0, 1}, Case{5, 0, 2}, Case{0, 5, 2}}) {
    SCOPED_TRACE(testing::Message() << "released " << c.seen << " " << c.floor);
    reader.markerSeen = c.seen;
    reader.markerFloor = c.floor;
    xproxyCurrentDisplayConnection = &reader;
    EXPECT_EQ(resourceServerToClientId(real, &display), id(c.slot, 9));
    EXPECT_EQ(resourceServerToClientId(0x700000 | 9, &display), id(1, 9));
    xproxyCurrentDisplayConnection = nullptr;
  }
  // Forgotten once every reader has passed it.
  resourceForgetDepartedRecords([](const ServerDisplay *, uint64_t marker, void *) { return marker <= 5; });
  EXPECT_EQ(resourceDepartedRecordCount(), 0u);
  reader.markerSeen = 0;
  xproxyCurrentDisplayConnection = &reader;
  EXPECT_EQ(resourceServerToClientId(real, &display), id(2, 9));
  xproxyCurrentDisplayConnection = nullptr;
  resourceFreeAllOfClient(1);
  resourceFreeAllOfClient(2);
  freedIds.clear();
}

// A reader that never reads keeps every departed slot's record, however many departures pass:
// it reads each base as the first departure it has not passed named it (the departed client's
// ids), never as whoever holds the base now; a reader that has passed some reads the next. The
// records go once every reader has passed them; the kept ones cost a constant each.
TEST_F(ResourceTest, DepartedRecordsStayForASleeperHoweverMany) {
  OneHeadScreen one;
  ServerDisplay &display = one.display;
  Head &head = one.head;
  DisplayConnection sleeper{};
  sleeper.display = &display;
  // Departure n (marker n + 1) had slot 2 + n % 3 and base ((n % 500) + 1) << 20, and for the
  // first departure a base of its own.
  auto slotOf = [](uint32_t n) { return 2 + n % 3; };
  auto depart = [&](uint32_t base, uint64_t marker, uint32_t slot) {
    ASSERT_EQ(resourceInitClient(slot), 1);
    resourceSetScreenIdBase(slot, &head, base);
    ASSERT_EQ(resourceAdd(id(slot, 1), kExtType, ext()), 1);
    resourceDepartClient(slot);
    resourceSetDepartureMarker(slot, marker);
    resourceReleaseDepartedSlot(slot);
  };
  constexpr uint32_t kTotal = 20000;  // far beyond the 4096 a sleeper once kept
  constexpr uint32_t kFirst = 0x1ff00000;
  for (uint32_t n = 0; n < kTotal; n++) depart(n == 0 ? kFirst : (n % 500 + 1) << 20, n + 1, slotOf(n));
  EXPECT_EQ(resourceDepartedRecordCount(), kTotal);
  // A newcomer holds base 7 now.
  ASSERT_EQ(resourceInitClient(9), 1);
  resourceSetScreenIdBase(9, &head, 7u << 20);
  xproxyCurrentDisplayConnection = &sleeper;
  EXPECT_EQ(resourceServerToClientId(kFirst | 1, &display), id(slotOf(0), 1));
  EXPECT_EQ(resourceServerToClientId((7u << 20) | 1, &display), id(slotOf(6), 1));  // departure 6 had it first
  // Having read up to marker 507 (departure 506 had base 7), the next to have it was 1006.
  sleeper.markerSeen = 507;
  EXPECT_EQ(resourceServerToClientId((7u << 20) | 1, &display), id(slotOf(1006), 1));
  // Past all of them: the newcomer.
  sleeper.markerSeen = kTotal;
  EXPECT_EQ(resourceServerToClientId((7u << 20) | 1, &display), id(9, 1));
  xproxyCurrentDisplayConnection = nullptr;
  // Forgotten as far as the readers have read, and all at the reset.
  resourceForgetDepartedRecords([](const ServerDisplay *, uint64_t marker, void *) { return marker <= 10000; });
  EXPECT_EQ(resourceDepartedRecordCount(), kTotal - 10000);
  EXPECT_EQ(resourceOldestDepartedMarker(&display), 10001u);
  EXPECT_EQ(resourceOldestDepartedMarkerAll(), 10001u);
  resourceForgetDepartedRecords(nullptr);
  EXPECT_EQ(resourceDepartedRecordCount(), 0u);
  EXPECT_EQ(resourceOldestDepartedMarkerAll(), 0u);
  resourceFreeAllOfClient(9);
  freedIds.clear();
}

// Growing buckets, the end of growth, a full range, and free routines that free other records.
TEST_F(ResourceTest, BucketsRangesAndReentrantFrees) {
  ASSERT_EQ(resourceInitClient(1), 1);
  for (uint32_t n = 1; n <= 256; n++) {
    ASSERT_EQ(resourceAdd(id(1, n), kExtType, ext()), 1);
    EXPECT_EQ(resourceTableOf(1)->bucketCount, n < 256 ? 64u : 128u) << n;
  }
  for (uint32_t n = 257; n <= 12000; n++) ASSERT_EQ(resourceAdd(id(1, n * 7), kExtType, ext()), 1);
  EXPECT_EQ(resourceTableOf(1)->bucketCount, 2048u);
  EXPECT_EQ(resourceTableOf(1)->hashBits, 11u);
  for (uint32_t n = 1; n <= 12000; n++)
    ASSERT_NE(resourceLookupByType(id(1, n <= 256 ? n : n * 7), kExtType), nullptr) << n;
  EXPECT_EQ(elementsOf(1), 12000u);
  // Records freed one by one are taken by later ones: each id keeps finding its own value.
  for (uint32_t n = 2; n <= 256; n += 2) resourceFree(id(1, n), 0);
  EXPECT_EQ(freedIds.size(), 128u);
  std::vector<void *> values(257);
  for (uint32_t n = 2; n <= 256; n += 2) ASSERT_EQ(resourceAdd(id(1, n), kExtType, values[n] = ext()), 1);
  for (uint32_t n = 1; n <= 256; n++) {
    void *value = nullptr;
    ASSERT_EQ(resourceLookupIdType(id(1, n), &value), kExtType) << n;
    if (n % 2 == 0) {
      EXPECT_EQ(value, values[n]) << n;
    }
  }
  EXPECT_EQ(elementsOf(1), 12000u);
  freedIds.clear();
  resourceFreeAllOfClient(1);
  EXPECT_EQ(freedIds.size(), 12000u);

  // With an id mask of 0xff a full range gives 0 at once.
  proxyState.idMask = 0xff;
  proxyState.idShift = 8;
  ClientConnection client{};
  client.index = 2;
  ASSERT_EQ(resourceInitClient(2), 1);
  for (uint32_t own = 0; own < 256; own++) ASSERT_EQ(resourceAdd(id(2, own), kExtType, ext()), 1);
  EXPECT_EQ(resourceNewServerSideId(&client), 0u);
  resourceFree(id(2, 17), 0);
  EXPECT_EQ(resourceNewServerSideId(&client), id(2, 17));
  uint32_t min = 1, max = 1;
  resourceGetIdRange(2, 0, &min, &max);
  EXPECT_EQ(min, id(2, 17));
  EXPECT_EQ(max, id(2, 17));
  resourceFreeAllOfClient(2);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;

  // A free routine that frees further records of its slot: each record is freed once, in
  // resourceFree and in the whole-slot free.
  freedIds.clear();
  ASSERT_EQ(resourceInitClient(3), 1);
  for (uint32_t own = 1; own <= 600; own++) ASSERT_EQ(resourceAdd(id(3, own), kExtType, ext()), 1);
  alsoFree = {id(3, 2), id(3, 3), id(3, 65), id(3, 1)};
  resourceFree(id(3, 1), 0);
  EXPECT_EQ(elementsOf(3), 596u);
  alsoFree = {id(3, 100), id(3, 164), id(3, 600), id(3, 599)};
  resourceFreeAllOfClient(3);
  EXPECT_EQ(freedIds.size(), 600u);
  for (auto [freed, times] : freedIds) EXPECT_EQ(times, 1) << std::hex << freed;
  EXPECT_EQ(resourceTableOf(3), nullptr);
}

// The id range is cut by used ids; orphan pixmaps' ids are skipped (they are free). The whole
// range is the client's: its top id too.
TEST_F(ResourceTest, IdRangeSkipsOrphans) {
  ASSERT_EQ(resourceInitClient(6), 1);
  uint32_t min = 0, max = 0;
  resourceGetIdRange(6, 0, &min, &max);
  EXPECT_EQ(min, id(6, 0));
  EXPECT_EQ(max, id(6, 0xfffff));
  PixmapRecord *p = resourceCreatePixmap(id(6, 0x7ffff), nullptr, nullptr, 1, 1, 1);
  ASSERT_NE(p, nullptr);
  p->refCount = 1;
  resourceFree(id(6, 0x7ffff), 0);  // orphaned: its id is free
  ASSERT_EQ(resourceFindOrphanPixmap(id(6, 0x7ffff)), p);
  resourceGetIdRange(6, 0, &min, &max);
  EXPECT_EQ(min, id(6, 0));
  EXPECT_EQ(max, id(6, 0xfffff));
  ASSERT_EQ(resourceAdd(id(6, 0x7ffff), kExtType, ext()), 1);  // a record of the same id cuts
  resourceGetIdRange(6, 0, &min, &max);
  EXPECT_EQ(min, id(6, 0x80000));
  EXPECT_EQ(max, id(6, 0xfffff));
  ASSERT_EQ(resourceAdd(id(6, 0xffff0), kExtType, ext()), 1);
  resourceGetIdRange(6, 0, &min, &max);
  EXPECT_EQ(min, id(6, 0x80000));
  EXPECT_EQ(max, id(6, 0xfffef));
  resourceFreePixmap(p, 0);
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
}

VisualRecord trueColor(uint32_t red, uint32_t green, uint32_t blue) {
  VisualRecord v{};
  v.visualClass = TrueColor;
  xvisualSetMasks(&v, red, green, blue);
  return v;
}

// Pixel conversion between channel layouts and to emulated visuals, both ways.
TEST_F(ResourceTest, PixelConversion) {
  VisualRecord meta = trueColor(0xff0000, 0xff00, 0xff);
  VisualRecord head565 = trueColor(0xf800, 0x7e0, 0x1f);
  ASSERT_EQ(head565.greenBits, 6u);
  struct Case {
    uint32_t pixel, toHead, back;
  } cases[] = {{0x00ff00, 0x07e0, 0x00fc00},
               {0xffffffff, 0xffffffff, 0xffffffff},
               {0xff0000, 0xf800, 0xf80000},
               {0x0000ff, 0x001f, 0x0000f8},
               {0x000000, 0x0000, 0x000000},
               {0x123456, 0x11aa, 0x103450}};
  for (const Case &c : cases) {
    EXPECT_EQ(xproxyConvertPixel(c.pixel, &meta, &head565), c.toHead) << std::hex << c.pixel;
    uint32_t from = c.toHead;
    EXPECT_EQ(xproxyConvertPixelBack(from, &meta, &head565), c.back) << std::hex << c.pixel;
  }
  // Through a head's visual map; the same masks need no conversion.
  MetaScreen screen{};
  screen.visuals = &meta;
  screen.visualCount = 1;
  VisualRecord *map[1] = {&head565};
  Head head{};
  head.metaScreen = &screen;
  head.visualMap = map;
  EXPECT_EQ(xproxyPixelToServer(0x00ff00, &meta, &head), 0x07e0u);
  EXPECT_EQ(xproxyPixelFromServer2(0x07e0, &meta, &head), 0x00fc00u);
  VisualRecord same = meta;
  map[0] = &same;
  EXPECT_EQ(xproxyVisualConversion(&meta, &head), nullptr);
  EXPECT_EQ(xproxyPixelToServer(0x123456, &meta, &head), 0x123456u);
  // An emulated PseudoColor on a 24-bit head: the index in every channel.
  VisualRecord pseudo{};
  pseudo.visualClass = PseudoColor;
  pseudo.colormapEntries = 16;
  VisualRecord emulated = trueColor(0xff0000, 0xff00, 0xff);
  emulated.baseVisualId = 33;
  screen.visuals = &pseudo;
  map[0] = &emulated;
  EXPECT_EQ(xproxyVisualConversion(&pseudo, &head), &emulated);
  EXPECT_EQ(xproxyPixelToServer(5, &pseudo, &head), 0x050505u);
  EXPECT_EQ(xproxyPixelToServer(21, &pseudo, &head), 0x050505u);
  EXPECT_EQ(xproxyPixelFromServer(0x050505, &pseudo, &head), 5u);
  EXPECT_EQ(xproxyPixelToServer(0xffffffff, &pseudo, &head), 0xffffffffu);
  // Broken shifts give 0 rather than undefined results.
  VisualRecord broken = head565;
  broken.greenShift = 40;
  EXPECT_EQ(xproxyConvertPixel(0x00ff00, &meta, &broken) & 0x7e0, 0u);
}

TEST_F(ResourceTest, FontCharsetAndReferences) {
  struct Case {
    const char *name;
    const char *charset;
  } cases[] = {{"-misc-fixed-medium-r-normal--13-120-75-75-c-70-iso8859-1", "iso8859-1"},
               {"-adobe-courier-bold-o-normal--0-0-0-0-m-0-iso10646-1", "iso10646-1"},
               {"-*-*-*-*-*-*-*-*-*-*-*-*-*", nullptr},
               {"-misc-fixed-medium-r-normal--13-120-75-75-c-70", nullptr},
               {"fixed", nullptr},
               {"", nullptr}};
  for (const Case &c : cases) {
    FontRecord *font = resourceNewFont(0x100, c.name, uint32_t(strlen(c.name)));
    ASSERT_NE(font, nullptr);
    const char *charset = resourceFontCharset(font);
    if (c.charset)
      EXPECT_STREQ(charset, c.charset) << c.name;
    else
      EXPECT_EQ(charset, nullptr) << c.name;
    resourceReleaseFont(font, 0x100);
  }
  EXPECT_EQ(proxyState.fonts, nullptr);
  // A font kept by a GC outlives its id.
  ASSERT_EQ(resourceInitClient(2), 1);
  FontRecord *font = resourceNewFont(id(2, 1), "fixed", 5);
  ASSERT_EQ(resourceAdd(id(2, 1), kResourceFont, font), 1);
  resourceRef(font);
  auto *gc = static_cast<GCRecord *>(calloc(1, sizeof(GCRecord)));
  gc->font = font;
  ASSERT_EQ(resourceAdd(id(2, 2), kResourceGC, gc), 1);
  resourceFree(id(2, 1), 0);
  EXPECT_EQ(proxyState.fonts, font);
  EXPECT_EQ(font->id, 0u);
  resourceFree(id(2, 2), 0);
  EXPECT_EQ(proxyState.fonts, nullptr);
}

// Objects another client's GC or a window keeps alive after their id was freed hold no id: the
// same client, and the next client given the slot, create new resources of those ids, lookups
// find the new ones, and the kept objects go with their last reference.
TEST_F(ResourceTest, KeptObjectsFreeTheirIds) {
  MetaScreen screen{};  // no heads: nothing to send
  ClientConnection first{}, next{};
  first.index = next.index = 3;
  ASSERT_EQ(resourceInitClient(3), 1);
  ASSERT_EQ(resourceInitClient(4), 1);
  xproxyCurrentClient = &first;
  const uint32_t pixmapId = id(3, 9), cursorId = id(3, 20), fontId = id(3, 30);
  PixmapRecord *kept = resourceCreatePixmap(pixmapId, &screen, nullptr, 4, 4, 1);
  ASSERT_NE(kept, nullptr);
  CursorRecord *cursor = resourceCreateCursor(cursorId, 0);
  ASSERT_NE(cursor, nullptr);
  FontRecord *font = resourceNewFont(fontId, "fixed", 5);
  ASSERT_EQ(resourceAdd(fontId, kResourceFont, font), 1);
  // A GC of slot 4 holds the pixmap twice (tile and clip mask) and the font; a window (by its
  // reference count) the cursor.
  auto *gc = static_cast<GCRecord *>(calloc(1, sizeof(GCRecord)));
  ASSERT_NE(gc, nullptr);
  gc->tile = gc->clipMask = kept;
  kept->refCount = 2;
  gc->font = font;
  resourceRef(font);
  ASSERT_EQ(resourceAdd(id(4, 1), kResourceGC, gc), 1);
  cursor->refCount++;

  for (uint32_t freed : {pixmapId, cursorId, fontId}) resourceFree(freed, 0);
  EXPECT_EQ(resourceFindOrphanPixmap(pixmapId), kept);
  EXPECT_EQ(kept->ownerCopiesValid, 0) << "the owner's server pixmaps went with the id";
  EXPECT_EQ(cursor->id, 0u);
  EXPECT_EQ(font->id, 0u);
  for (uint32_t freed : {pixmapId, cursorId, fontId}) EXPECT_EQ(resourceIdNotNew(freed), 0) << std::hex << freed;
  // The same client takes the pixmap id again and frees it: the orphan stays.
  PixmapRecord *again = resourceCreatePixmap(pixmapId, &screen, nullptr, 2, 2, 1);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again, kept);
  EXPECT_EQ(resourceLookupPixmap(pixmapId), again);
  EXPECT_EQ(resourceIdNotNew(pixmapId), 1);
  resourceFree(pixmapId, 0);
  EXPECT_EQ(resourceLookupPixmap(pixmapId), nullptr);
  EXPECT_EQ(resourceFindOrphanPixmap(pixmapId), kept);

  // The client leaves; the next one of slot 3 creates all three ids.
  xproxyCurrentClient = nullptr;
  resourceFreeAllOfClient(3);
  ASSERT_EQ(resourceInitClient(3), 1);
  xproxyCurrentClient = &next;
  for (uint32_t freed : {pixmapId, cursorId, fontId}) EXPECT_EQ(resourceIdNotNew(freed), 0) << std::hex << freed;
  PixmapRecord *fresh = resourceCreatePixmap(pixmapId, &screen, nullptr, 8, 8, 1);
  CursorRecord *freshCursor = resourceCreateCursor(cursorId, 0);
  FontRecord *freshFont = resourceNewFont(fontId, "6x13", 4);
  ASSERT_TRUE(fresh && freshCursor && freshFont);
  ASSERT_EQ(resourceAdd(fontId, kResourceFont, freshFont), 1);
  EXPECT_EQ(resourceLookupPixmap(pixmapId), fresh);
  EXPECT_EQ(resourceLookupByType(cursorId, kResourceCursor), freshCursor);
  EXPECT_EQ(resourceLookupFont(fontId), freshFont);
  EXPECT_EQ(fresh->ownerCopiesValid, 1);

  // The kept objects go with their last references; the new ones stay untouched.
  resourceReleaseCursor(cursor);  // the window lets go
  resourceFree(id(4, 1), 0);      // the GC: tile, clip mask and font
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
  EXPECT_EQ(proxyState.fonts, freshFont);
  EXPECT_EQ(resourceLookupPixmap(pixmapId), fresh);
  EXPECT_EQ(fresh->refCount, 0u);
  EXPECT_EQ(freshCursor->refCount, 1u);
  EXPECT_EQ(freshFont->id, fontId);
}

}  // namespace

// A colormap's entries: one per cell a client is given, again for a colour allocated again. Their
// room grows by half again (kept beside the count), entries keep their order and contents across
// each move, and freeing gives entries back without giving up the room.
TEST_F(ResourceTest, ColormapEntriesGrowByHalf) {
  client3.index = 3;
  xproxyCurrentClient = &client3;
  ASSERT_EQ(resourceInitClient(3), 1);
  MetaScreen screen{};  // no heads: nothing is repeated anywhere
  VisualRecord pseudo{};
  pseudo.visualId = 0x21;
  pseudo.visualClass = PseudoColor;
  pseudo.colormapEntries = 256;
  screen.visuals = &pseudo;
  screen.visualCount = 1;
  const uint32_t mapId = id(3, 0x40);
  ColormapShadow *shadow = resourceCreateColormap(&client3, mapId, &screen, &pseudo, 0);
  ASSERT_NE(shadow, nullptr);
  uint32_t room = shadow->cellCapacity;
  int moves = 0;
  for (uint32_t k = 0; k < 20000; k++) {
    ResourceColor colour{k % 256, uint16_t(k), 0, 0, 7};
    ASSERT_EQ(resourceAddColor(&client3, shadow, &colour), 1);
    ASSERT_LE(shadow->cellCount, shadow->cellCapacity);
    if (shadow->cellCapacity != room) {
      EXPECT_GE(uint64_t(shadow->cellCapacity), uint64_t(room) + room / 2) << "at entry " << k;
      room = shadow->cellCapacity;
      moves++;
    }
  }
  EXPECT_LE(moves, 20);  // from 16 by half again; one entry at a time took 20000
  ASSERT_EQ(shadow->cellCount, 20000u);
  for (uint32_t k : {0u, 255u, 256u, 19999u}) {
    EXPECT_EQ(shadow->cells[k].pixel, k % 256) << k;
    EXPECT_EQ(shadow->cells[k].client, &client3) << k;
    EXPECT_EQ(shadow->cells[k].readOnly, 1u) << k;
  }
  uint32_t pixels[] = {5, 5, 7};
  resourceFreeColormapCells(&client3, shadow, pixels, 3, 0);
  EXPECT_EQ(shadow->cellCount, 19997u);
  EXPECT_EQ(shadow->cellCapacity, room);
  resourceFree(mapId, 0);
  xproxyCurrentClient = nullptr;
}
