// The proxy's connection setup reply: built from synthetic real answers for a fake client and
// read back by a decoder written from the X protocol's description of the setup reply, in an
// explicit byte order.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/clientconnection.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xcoresetup.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/outbuffer.h"
#include "setupdecoder.h"

namespace {

using Bytes = SetupBytes;

// A real server's success answer with the given id base and mask, keycodes 8..255.
Bytes realAnswer(uint32_t base, uint32_t mask, uint32_t length = 40) {
  Bytes a(length, 0);
  a[0] = 1;
  uint16_t words = uint16_t((length - 8) / 4);
  memcpy(&a[6], &words, 2);
  memcpy(&a[12], &base, 4);
  memcpy(&a[16], &mask, 4);
  if (length > 35) a[34] = 8, a[35] = 255;
  return a;
}

VisualRecord visual(uint32_t id, uint8_t visualClass, uint8_t depth, uint16_t entries = 256, uint32_t red = 0,
                    uint32_t green = 0, uint32_t blue = 0) {
  VisualRecord v{};
  v.visualId = id, v.visualClass = visualClass, v.depth = depth, v.colormapEntries = entries, v.bitsPerRgb = 8;
  v.redMask = red, v.greenMask = green, v.blueMask = blue;
  return v;
}

class SetupReplyTest : public ::testing::Test {
 protected:
  ClientConnection client{};
  DisplayConnection connections[2]{};
  DisplayConnection *connectionList[2] = {&connections[0], &connections[1]};
  MetaScreen screen{};
  std::vector<VisualRecord> visuals;
  int peer = -1;
  ServerDisplay display{};

  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = fds[1];
    fcntl(peer, F_SETFL, O_NONBLOCK);
    client.fd = fds[0];
    outbufferInit(&client.output, fds[0], nullptr, nullptr);
    // Earlier heap bytes in the output's space: the reply must not pass them on.
    char *junk = outbufferReserve(&client.output, 4096);
    memset(junk, 0xa5, 4096);
    outbufferCut(junk, 4096, &client.output);
    client.index = 4;
    client.displays = connectionList;
    client.displayCount = 1;
    client.setupsPending = 1;
    for (DisplayConnection &c : connections) c.owner = &client;
    proxyState.protocolMajor = 11, proxyState.protocolMinor = 0;
    proxyState.releaseNumber = 12345;
    strcpy(proxyState.vendor, "Tarvo");
    proxyState.idMask = 0x1fffff, proxyState.idShift = 21;
    proxyState.motionBufferSize = 256;
    proxyState.maxRequestBytes = 0x3fffc;
    proxyState.pixmapFormatCount = 2;
    proxyState.pixmapFormats[0] = {1, 1, 32};
    proxyState.pixmapFormats[1] = {24, 32, 32};
    proxyState.imageByteOrder = LSBFirst;
    proxyState.bitmapBitOrder = LSBFirst;
    proxyState.bitmapUnit = 32;
    proxyState.bitmapPad = 32;
    mainServerDisplays = &display;
    screen.root = 0x40, screen.defaultColormap = 0x41, screen.whitePixel = 0xffffff, screen.blackPixel = 0;
    screen.width = 1024, screen.height = 768, screen.widthMM = 338.5, screen.heightMM = 338.4;
    screen.minInstalledMaps = 1, screen.maxInstalledMaps = 1, screen.backingStore = 2, screen.saveUnders = 0;
    xscreenList = &screen;
    screen.previous = &screen;
  }
  void TearDown() override {
    xscreenList = nullptr;
    mainServerDisplays = nullptr;
    xproxyCurrentDisplayConnection = nullptr;
    outbufferFree(&client.output);
    close(client.fd);
    close(peer);
  }
  void setVisuals(std::vector<VisualRecord> table, size_t root) {
    visuals = std::move(table);
    screen.visuals = visuals.data();
    screen.visualCount = uint32_t(visuals.size());
    screen.rootVisual = &visuals[root];
  }
  void answer(int connection, Bytes a) {
    xproxyCurrentDisplayConnection = &connections[connection];
    xcoreServerSetupReply(a.data(), uint32_t(a.size()));
  }
  Bytes received() {
    outbufferFlush(&client.output);
    Bytes bytes(1 << 16);
    ssize_t n = read(peer, bytes.data(), bytes.size());
    bytes.resize(n > 0 ? size_t(n) : 0);
    return bytes;
  }
};

TEST_F(SetupReplyTest, OneReplyAfterTheLastOfTwoAnswers) {
  setVisuals({visual(0x21, 4, 24, 256, 0xff0000, 0xff00, 0xff)}, 0);
  client.displayCount = 2, client.setupsPending = 2;
  answer(0, realAnswer(0x200000, 0x1fffff));
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(client.setUp, 0);
  answer(1, realAnswer(0x400000, 0x1fffff));
  EXPECT_EQ(connections[0].idBase, 0x200000u);
  EXPECT_EQ(connections[1].idBase, 0x400000u);
  EXPECT_EQ(connections[1].idMask, 0x1fffffu);
  Bytes reply = received();
  ASSERT_FALSE(reply.empty());
  SetupInfo s = decode(reply, false);
  EXPECT_EQ(s.base, 4u << 21);
  EXPECT_EQ(s.mask, 0x1fffffu);
  EXPECT_EQ(client.setUp, 1);
}

// Both byte orders: every field decodes to the same values; pads are zero.
TEST_F(SetupReplyTest, FieldsInBothByteOrders) {
  setVisuals({visual(0x21, 4, 24, 256, 0xff0000, 0xff00, 0xff), visual(0x22, 3, 8), visual(0x23, 4, 24, 256,
                                                                                        0xff, 0xff00, 0xff0000),
              visual(0x24, 0, 1, 2), visual(0x25, 4, 32, 256, 0xff0000, 0xff00, 0xff)},
            0);
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "MSB client" : "LSB client");
    client.reader.swapped = big;
    client.setupsPending = 1;
    answer(0, realAnswer(0x200000, 0x1fffff));
    SetupInfo s = decode(received(), big);
    EXPECT_EQ(s.success, 1);
    EXPECT_TRUE(s.zeroPads);
    EXPECT_EQ(s.major, 11);
    EXPECT_EQ(s.release, 12345u);
    EXPECT_EQ(s.motion, 256u);
    EXPECT_EQ(s.maxRequest, 0xffff);
    EXPECT_EQ(s.vendor, "Tarvo");
    EXPECT_EQ(s.formatsAt, 48u);  // a 5-byte vendor and 3 pad bytes
    ASSERT_EQ(s.formats.size(), 2u);
    EXPECT_EQ(s.formats[1], (std::array<uint8_t, 3>{24, 32, 32}));
    EXPECT_EQ(s.minKey, 8);
    EXPECT_EQ(s.maxKey, 255);
    EXPECT_EQ(s.unit, 32);
    ASSERT_EQ(s.screens.size(), 1u);
    const ScreenInfo &c = s.screens[0];
    EXPECT_EQ(c.root, 0x40u);
    EXPECT_EQ(c.colormap, 0x41u);
    EXPECT_EQ(c.white, 0xffffffu);
    EXPECT_EQ(c.width, 1024);
    EXPECT_EQ(c.widthMM, 339);
    EXPECT_EQ(c.heightMM, 338);
    EXPECT_EQ(c.rootVisual, 0x21u);
    EXPECT_EQ(c.rootDepth, 24);
    EXPECT_EQ(c.backingStore, 2);
    // Depth 1 first (holding the depth-1 visual), then the depths in order of first appearance.
    ASSERT_EQ(c.depths.size(), 4u);
    EXPECT_EQ(c.depths[0].depth, 1);
    ASSERT_EQ(c.depths[0].visuals.size(), 1u);
    EXPECT_EQ(c.depths[0].visuals[0].id, 0x24u);
    EXPECT_EQ(c.depths[1].depth, 24);
    ASSERT_EQ(c.depths[1].visuals.size(), 2u);
    EXPECT_EQ(c.depths[1].visuals[1].id, 0x23u);
    EXPECT_EQ(c.depths[1].visuals[1].red, 0xffu);
    EXPECT_EQ(c.depths[1].visuals[1].blue, 0xff0000u);
    EXPECT_EQ(c.depths[2].depth, 8);
    EXPECT_EQ(c.depths[2].visuals[0].visualClass, 3);
    EXPECT_EQ(c.depths[2].visuals[0].entries, 256);
    EXPECT_EQ(c.depths[3].depth, 32);
  }
}

TEST_F(SetupReplyTest, OnlyDepth24AnnouncesAnEmptyDepth1First) {
  setVisuals({visual(0x21, 4, 24, 256, 0xff0000, 0xff00, 0xff), visual(0x22, 5, 24, 256, 0xff0000, 0xff00, 0xff)},
             0);
  answer(0, realAnswer(0x200000, 0x1fffff));
  SetupInfo s = decode(received(), false);
  ASSERT_EQ(s.screens.size(), 1u);
  ASSERT_EQ(s.screens[0].depths.size(), 2u);
  EXPECT_EQ(s.screens[0].depths[0].depth, 1);
  EXPECT_TRUE(s.screens[0].depths[0].visuals.empty());
  EXPECT_EQ(s.screens[0].depths[1].visuals.size(), 2u);
}

// A refusal goes on with its header in the client's order; the client is closed.
TEST_F(SetupReplyTest, RefusalPassedOnAndClientClosed) {
  setVisuals({visual(0x21, 4, 24)}, 0);
  client.reader.swapped = 1;
  Bytes refusal(8 + 12, 0);
  refusal[1] = 10;
  refusal[2] = 11;  // protocol major, low byte first
  refusal[6] = 3;
  memcpy(&refusal[8], "No access!", 10);
  answer(0, refusal);
  Bytes got = received();
  ASSERT_EQ(got.size(), refusal.size());
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[1], 10);
  EXPECT_EQ(got[2], 0);
  EXPECT_EQ(got[3], 11);
  EXPECT_EQ(got[7], 3);
  EXPECT_EQ(0, memcmp(&got[8], "No access!", 10));
  EXPECT_EQ(client.reader.bytesNeeded, kReaderStopped);
  EXPECT_STREQ(client.reader.stopReason, "setup failed");
  EXPECT_EQ(client.setupsPending, 1);
}

// A success answer too short for its fixed part, and a reply too large to reserve, close the
// client with nothing written.
TEST_F(SetupReplyTest, ShortAnswerAndFailedReservationWriteNothing) {
  setVisuals({visual(0x21, 4, 24)}, 0);
  answer(0, realAnswer(0x200000, 0x1fffff, 30));
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(client.reader.bytesNeeded, kReaderStopped);
  EXPECT_STREQ(client.reader.stopReason, "setup failed");

  client.reader = ProtocolReader{};
  client.setupsPending = 1;
  std::vector<VisualRecord> many(9000, visual(0x30, 4, 24));
  setVisuals(many, 0);
  answer(0, realAnswer(0x200000, 0x1fffff));
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(client.reader.bytesNeeded, kReaderStopped);
  EXPECT_EQ(std::string(client.reader.stopReason).rfind("Out of memory", 0), 0u);
}

}  // namespace
