// Id layout per real display, the client slots it leaves, and the choice of a head's visual
// for a visual of a meta screen.
#include <gtest/gtest.h>

#include <bit>
#include <set>
#include <vector>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"

namespace {

TEST(IdLayout, MaskAndPerDisplayFields) {
  struct Row {
    uint32_t realMask, heads, proxyMask, headBits, shift, lowest;
  } rows[] = {
      // One head number more than the heads: the proxy's own ids on the raw connections.
      {0x1fffff, 1, 0xfffff, 0x1, 1, 0},
      {0x1fffff, 2, 0x7ffff, 0x3, 2, 0},
      {0x1fffff, 3, 0x7ffff, 0x3, 2, 0},
      {0x1fffff, 4, 0x3ffff, 0x7, 3, 0},
      {0x3ffffe, 2, 0x7ffff, 0x6, 3, 1},  // a mask from bit 1 moves the layout up by one
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.realMask << " with " << r.heads << " heads");
    uint32_t proxyMask = mainDisplayIdMask(r.realMask, r.heads);
    EXPECT_EQ(proxyMask, r.proxyMask);
    ServerDisplay display{};
    mainSetIdLayout(&display, r.realMask, proxyMask);
    EXPECT_EQ(display.headBitsMask, r.headBits);
    EXPECT_EQ(display.idShift, r.shift);
    EXPECT_EQ(display.lowestBit, r.lowest);
    EXPECT_EQ(display.freeBitsMask, (0x1fffffffu & ~r.realMask) | r.headBits);
  }
  // The smallest mask over two displays rules; the other display keeps more head bits.
  uint32_t proxyMask = std::min(mainDisplayIdMask(0x1fffff, 1), mainDisplayIdMask(0x1fffff, 4));
  ServerDisplay single{};
  mainSetIdLayout(&single, 0x1fffff, proxyMask);
  EXPECT_EQ(single.headBitsMask, 0x7u);
  EXPECT_EQ(single.freeBitsMask, 0x1fe00007u);
}

TEST(IdLayout, SlotSearchEndsWhereIdsLeaveTwentyNineBits) {
  proxyState.idMask = 0x1fffff;
  proxyState.idShift = 21;
  uint32_t taken = 0;
  while (uint32_t slot = resourceFreeClientSlot()) {
    ASSERT_EQ(resourceInitClient(slot), 1);
    ASSERT_LT((uint64_t(slot) << 21) | 0x1fffff, 0x20000000u);
    taken++;
  }
  EXPECT_EQ(taken, 255u);
  for (uint32_t slot = 1; slot <= taken; slot++) resourceFreeAllOfClient(slot);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
}

// A client id of slot 4 lands, on every head of a display, inside the id range that the real
// server gave that client's connection, and the heads never share an id.
TEST(IdLayout, SlotFourMapsIntoTheConnectionsRangeOnEveryHead) {
  struct Row {
    uint32_t realMask, heads, connectionBase;
  } rows[] = {
      {0x1fffff, 1, 0x00600000}, {0x1fffff, 2, 0x00600000}, {0x1fffff, 3, 0x1fe00000},
      {0x1fffff, 4, 0x00200000}, {0x3ffffe, 3, 0x00c00000},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.realMask << " with " << std::dec << r.heads << " heads");
    uint32_t proxyMask = mainDisplayIdMask(r.realMask, r.heads);
    ServerDisplay display{};
    mainSetIdLayout(&display, r.realMask, proxyMask);
    proxyState.idMask = proxyMask;
    proxyState.idShift = uint32_t(std::popcount(proxyMask));
    std::vector<Head> heads(r.heads);
    for (uint32_t i = 0; i < r.heads; i++) {
      heads[i].serverDisplay = &display;
      heads[i].displayNumber = i;
      heads[i].idIndex = i;
    }
    ASSERT_EQ(resourceInitClient(4), 1);
    for (Head &h : heads) resourceSetScreenIdBase(4, &h, r.connectionBase);
    const uint32_t base = 4u << proxyState.idShift;
    for (uint32_t low : {0u, 1u, 0x1234u, proxyMask}) {
      std::set<uint32_t> seen;
      for (Head &h : heads) {
        uint32_t real = resourceServerId(base | (low & proxyMask), kResourceWindow, &h);
        EXPECT_EQ(real & ~r.realMask, r.connectionBase) << std::hex << real;
        EXPECT_TRUE(seen.insert(real).second) << std::hex << real;
      }
    }
    resourceFreeAllOfClient(4);
  }
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
}

VisualRecord make(uint32_t id, uint8_t visualClass, uint8_t depth, uint16_t entries = 256, uint8_t bits = 8) {
  VisualRecord v{};
  v.visualId = id, v.visualClass = visualClass, v.depth = depth, v.colormapEntries = entries, v.bitsPerRgb = bits;
  if (visualClass >= 4) xvisualSetMasks(&v, 0xff0000, 0xff00, 0xff);
  return v;
}

VisualRecord gl(VisualRecord v, uint8_t depthSize = 24) {
  v.glVersion = 64 + 4;
  v.glRgba = 1;
  v.glRedSize = v.glGreenSize = v.glBlueSize = 8;
  v.glDepthSize = depthSize;
  return v;
}

TEST(MatchVisual, ScoresAndTies) {
  Head head{};
  VisualRecord wanted = make(0x21, 4, 24);
  {
    VisualRecord table[] = {make(0x30, 4, 32), make(0x31, 3, 24)};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 2, &head, 1, 0), nullptr) << "another depth or class never matches";
  }
  {
    // Equal scores: the later entry wins.
    VisualRecord table[] = {make(0x30, 4, 24), make(0x31, 4, 24)};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 2, &head, 1, 0), &table[1]);
  }
  {
    // A score of 0 (the same id) ends the scan even before a later-scanned equal one.
    VisualRecord table[] = {make(0x30, 4, 24), make(0x21, 4, 24), make(0x32, 4, 24)};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 3, &head, 1, 0), &table[1]);
  }
}

TEST(MatchVisual, NarrowingCutsEntriesBitsAndMasks) {
  Head head{};
  VisualRecord wanted = make(0x21, 4, 24, 256, 8);
  VisualRecord table[] = {make(0x30, 4, 24, 64, 6)};
  xvisualSetMasks(&table[0], 0xfc0000, 0xfc00, 0xfc);
  ASSERT_EQ(mainMatchVisual(&wanted, table, 1, &head, 1, 1), &table[0]);
  EXPECT_EQ(wanted.colormapEntries, 64);
  EXPECT_EQ(wanted.bitsPerRgb, 6);
  EXPECT_EQ(wanted.redMask, 0xfc0000u);
  EXPECT_EQ(wanted.blueMask, 0xfcu);

  VisualRecord untouched = make(0x21, 4, 24, 256, 8);
  mainMatchVisual(&untouched, table, 1, &head, 1, 0);
  EXPECT_EQ(untouched.colormapEntries, 256) << "without narrowing the wanted visual stays";
}

TEST(MatchVisual, GlRules) {
  Head head{};
  VisualRecord plain = make(0x30, 4, 24), withGl = gl(make(0x31, 4, 24));
  {
    // A wanted visual without GL prefers the candidate without GL (5 more for GL).
    VisualRecord wanted = make(0x21, 4, 24);
    VisualRecord table[] = {plain, withGl};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 2, &head, 1, 0), &table[0]);
  }
  {
    // A wanted GL visual refuses a candidate without GL once clients are connected; while no
    // client is connected it is only penalised.
    VisualRecord wanted = gl(make(0x21, 4, 24));
    VisualRecord table[] = {plain};
    ASSERT_TRUE(xscreenNoClients());
    EXPECT_EQ(mainMatchVisual(&wanted, table, 1, &head, 1, 0), &table[0]);
    VisualRecord both[] = {withGl, plain};
    EXPECT_EQ(mainMatchVisual(&wanted, both, 2, &head, 1, 0), &both[0]);
  }
  {
    // A smaller colour size refuses; a smaller depth buffer costs more than a larger one.
    VisualRecord wanted = gl(make(0x21, 4, 24), 16);
    VisualRecord small = gl(make(0x32, 4, 24), 8), large = gl(make(0x33, 4, 24), 24);
    VisualRecord table[] = {large, small};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 2, &head, 1, 0), &table[0]);
    VisualRecord fewerBits = withGl;
    fewerBits.glRedSize = 4;
    VisualRecord only[] = {fewerBits};
    EXPECT_EQ(mainMatchVisual(&wanted, only, 1, &head, 1, 0), nullptr);
  }
  {
    // Switched off, GL does not count: the later entry wins the tie.
    mainGlxDisabled = 1;
    VisualRecord wanted = make(0x21, 4, 24);
    VisualRecord table[] = {plain, withGl};
    EXPECT_EQ(mainMatchVisual(&wanted, table, 2, &head, 1, 0), &table[1]);
    mainGlxDisabled = 0;
  }
  {
    // Narrowing against a candidate without GL clears the wanted visual's GL fields.
    VisualRecord wanted = gl(make(0x21, 4, 24));
    VisualRecord table[] = {plain};
    mainMatchVisual(&wanted, table, 1, &head, 1, 1);
    EXPECT_EQ(wanted.glVersion, 0);
    EXPECT_EQ(wanted.glDepthSize, 0);
  }
}

}  // namespace
