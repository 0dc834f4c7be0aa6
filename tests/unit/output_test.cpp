// Output to clients: X errors, the failed setup, replies built by the proxy and the ordered
// (deferred) output, seen by a fake client whose socket the test reads in either byte order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/core11g.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/host.h"
#include "support/logging.h"
#include "xclient/region.h"

// Stand-ins for the connection code where the library does not bring it; the real definitions
// win when linked.
__attribute__((weak)) ClientConnection *xproxyCurrentClient;
__attribute__((weak)) DisplayConnection *xproxyCurrentDisplayConnection;
__attribute__((weak)) ClientConnection *xproxyClients;
__attribute__((weak)) uint32_t xproxyClientCount;
__attribute__((weak)) uint32_t xproxySendNoOpRequest(DisplayConnection *, NoOpReplyFn, uintptr_t, NoOpReleaseFn) {
  return 0;
}
__attribute__((weak)) const char *xproxyClientHostName(ClientConnection *) { return "remote"; }
__attribute__((weak)) uint8_t *xproxyBeginRequest(void *context, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  auto *connection = static_cast<DisplayConnection *>(context);
  auto *request = reinterpret_cast<uint8_t *>(outbufferReserve(&connection->output, length));
  if (!request) return nullptr;
  request[0] = opcode;
  request[1] = dataByte;
  uint16_t words = uint16_t(length / 4);
  memcpy(request + 2, &words, 2);
  connection->requestsSent++;
  return request;
}

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t get(const Bytes &m, size_t at, size_t size, bool big) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) v |= uint32_t(m.at(at + i)) << (8 * (big ? size - 1 - i : i));
  return v;
}

// A client of the proxy on one end of a socketpair; the test reads the other end.
struct FakeClient {
  ClientConnection client{};
  int peer = -1;
  bool big;
  explicit FakeClient(bool swapped, uint32_t index = 3) : big(swapped) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = fds[1];
    fcntl(peer, F_SETFL, O_NONBLOCK);
    client.fd = fds[0];
    outbufferInit(&client.output, fds[0], nullptr, nullptr);
    client.transport = _X11TransOpenCOTSClient("unix/:0");
    // The transport is never connected: name the peer so that nobody asks it for an address.
    client.peerIdentity = strdup("testhost");
    client.reader.swapped = swapped ? 1 : 0;
    client.index = index;
  }
  ~FakeClient() {
    mainFreeDeferredOutputs(&client);
    outbufferFree(&client.output);
    if (client.transport) _X11TransClose(client.transport);
    free(client.peerIdentity);
    close(peer);
  }
  // Everything written to the client so far.
  Bytes received() {
    outbufferFlush(&client.output);
    Bytes all;
    uint8_t buffer[65536];
    for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
    return all;
  }
  // The received messages cut by the protocol's lengths.
  std::vector<Bytes> messages() {
    Bytes all = received();
    std::vector<Bytes> out;
    size_t at = 0;
    while (at + 32 <= all.size()) {
      size_t length = 32;
      if (all[at] == 1 || (all[at] & 0x7f) == 35) length += 4 * size_t(get(all, at + 4, 4, big));
      out.emplace_back(all.begin() + at, all.begin() + std::min(all.size(), at + length));
      at += length;
    }
    EXPECT_EQ(at, all.size());
    return out;
  }
  uint32_t u16(const Bytes &m, size_t at) const { return get(m, at, 2, big); }
  uint32_t u32(const Bytes &m, size_t at) const { return get(m, at, 4, big); }
};

// A client's display connections: `open` of them answer round trips, the others are closed.
struct Displays {
  std::vector<DisplayConnection> connections;
  std::vector<DisplayConnection *> pointers;
  Displays(ClientConnection *client, int open, int closed) : connections(size_t(open + closed)) {
    for (size_t i = 0; i < connections.size(); i++) {
      connections[i].owner = client;
      connections[i].transport = int(i) < open ? reinterpret_cast<XtransConnInfo>(&connections[i]) : nullptr;
      pointers.push_back(&connections[i]);
    }
    client->displays = pointers.data();
    client->displayCount = uint32_t(pointers.size());
  }
};

// Round trips are recorded, not sent; a test may make them fail.
struct RoundTrips {
  static inline std::vector<uintptr_t> blocks;
  static inline bool fail = false;
  static inline uint32_t next = 100;
  static uint32_t send(DisplayConnection *, NoOpReplyFn fn, uintptr_t argument, NoOpReleaseFn) {
    EXPECT_EQ(fn, mainReleaseDeferredOutput);
    if (fail) return 0;
    blocks.push_back(argument);
    return next++;
  }
  RoundTrips() {
    blocks.clear();
    fail = false;
    mainNoOpSender = send;
  }
  ~RoundTrips() { mainNoOpSender = xproxySendNoOpRequest; }
  // Answers every round trip of a block (as each display's NoOp reply would).
  static void answerAll(uintptr_t block, ClientConnection *client) {
    xproxyCurrentClient = client;
    for (uintptr_t b : std::vector<uintptr_t>(blocks))
      if (b == block) mainReleaseDeferredOutput(nullptr, block);
  }
};

// An event in the proxy's byte order: type, sequence and 32-bit words at offsets.
Bytes event(uint8_t type, uint16_t sequence, std::initializer_list<std::pair<size_t, uint32_t>> words = {}) {
  Bytes e(32, 0);
  e[0] = type;
  memcpy(&e[2], &sequence, 2);
  for (auto [at, v] : words) memcpy(&e[at], &v, 4);
  return e;
}
void set16(Bytes &m, size_t at, uint16_t v) { memcpy(&m[at], &v, 2); }

WireLayout layoutOf(uint8_t type) { return xcoreEventRows[type - 2].layout; }

struct LogCapture {
  static inline std::vector<std::string> lines;
  LogOutputHook saved = logOutputHook;
  LogCapture() {
    static char name[] = "output_test";
    static char *argv[] = {name, nullptr};
    static bool once = logInit(1, argv, "", "") == 0 || true;
    (void)once;
    logEnableChannel(logChannelXerror);
    lines.clear();
    logOutputHook = [](LogChannel *, const char *source, int, const char *text) {
      lines.push_back(std::string(source) + ": " + text);
    };
  }
  ~LogCapture() { logOutputHook = saved; }
};

class OutputTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    static bool tables = (xcoreInitDispatchTables(), true);
    (void)tables;
    proxyState.errorNames[2] = "BadValue";
    proxyState.errorNames[3] = "BadWindow";
    configRecord.workarounds = 0;
  }
  void TearDown() override {
    xproxyCurrentClient = nullptr;
    xproxyCurrentDisplayConnection = nullptr;
    configRecord.workarounds = 0;
  }
  LogCapture log;
  RoundTrips trips;
};

INSTANTIATE_TEST_SUITE_P(BothOrders, OutputTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "MsbFirst" : "LsbFirst"; });

// ----- X errors, the failed setup and replies ---------------------------------------------

TEST_P(OutputTest, ErrorCarriesTheClientsSequenceAndMinorZeroForCoreRequests) {
  FakeClient fake(GetParam());
  struct Case {
    Bytes request;
    uint8_t code;
    uint32_t value;
    uint16_t sequence;
    uint16_t minor;
  };
  const Case cases[] = {
      {{12, 7, 3, 0, 1, 0, 0, 0, 8, 0, 0, 0}, 3, 0x400001, 0x1234, 0},  // core: byte 1 is data
      {{150, 9, 1, 0}, 2, 5, 0xfffe, 9},                                 // extension: byte 1 kept
  };
  uint32_t count = 0;
  for (const Case &c : cases) {
    // Errors go through the ordered output: answer the block's round trips (none: no displays).
    core11GSendError(c.code, c.value, c.request.data(), uint32_t(c.request.size()), c.sequence, nullptr, &fake.client);
    EXPECT_EQ(fake.client.errorCount, ++count);
    auto messages = fake.messages();
    ASSERT_EQ(messages.size(), 1u);
    const Bytes &e = messages[0];
    EXPECT_EQ(e[0], 0);
    EXPECT_EQ(e[1], c.code);
    EXPECT_EQ(fake.u16(e, 2), c.sequence);
    EXPECT_EQ(fake.u32(e, 4), c.value);
    EXPECT_EQ(fake.u16(e, 8), c.minor);
    EXPECT_EQ(e[10], c.request[0]);
    EXPECT_EQ(Bytes(e.begin() + 11, e.end()), Bytes(21, 0));
  }
}

TEST_P(OutputTest, ErrorLogLineWithAndWithoutDetailAndBigRequests) {
  FakeClient fake(GetParam(), 7);
  const Bytes small = {8, 0, 2, 0, 1, 0, 0, 0};
  const Bytes big = {72, 2, 0, 0, 0, 0, 1, 0};
  XtransConnInfo transport = fake.client.transport;
  fake.client.transport = nullptr;  // socket gone: logged and counted, nothing written
  core11GSendError(3, 17, small.data(), 8, 5, nullptr, &fake.client);
  core11GSendError(2, 0x12345, big.data(), 262144, 6, "too long", &fake.client);
  fake.client.transport = transport;
  EXPECT_EQ(fake.client.errorCount, 2u);
  EXPECT_TRUE(fake.received().empty());
  ASSERT_EQ(LogCapture::lines.size(), 2u);
  EXPECT_EQ(LogCapture::lines[0], "Proxy/core11G.c: X error BadWindow 17 detected in MapWindow #5 (8 bytes) by client 7");
  EXPECT_EQ(LogCapture::lines[1],
            "Proxy/core11G.c: X error BadValue 0x12345 (too long) detected in big PutImage #6 (262144 bytes) by client 7");
}

TEST_P(OutputTest, FailedSetupCutsItsReasonTo255Bytes) {
  struct Case {
    std::string reason;
    uint32_t shown, words;
  };
  const Case cases[] = {{"nope!", 5, 2}, {std::string(300, 'r'), 255, 64}, {"", 0, 0}};
  for (const Case &c : cases) {
    FakeClient fake(GetParam());
    core11GSendSetupFailed(&fake.client, c.reason.c_str());
    Bytes all = fake.received();
    ASSERT_EQ(all.size(), 8u + 4 * c.words);
    EXPECT_EQ(all[0], 0);
    EXPECT_EQ(all[1], c.shown);
    EXPECT_EQ(fake.u16(all, 2), 11u);
    EXPECT_EQ(fake.u16(all, 4), 0u);
    EXPECT_EQ(fake.u16(all, 6), c.words);
    EXPECT_EQ(std::string(all.begin() + 8, all.begin() + 8 + c.shown), c.reason.substr(0, c.shown));
  }
}

TEST_P(OutputTest, KeyboardMappingRows) {
  struct Case {
    uint8_t perKeycode;
    uint32_t workarounds;
    std::vector<uint32_t> given;
    uint32_t rowsGiven, rowsAsked;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      {4, 0, {1, 2, 3, 4, 5, 6, 7, 8}, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8}},
      {6, 0, {'A', 'B', 'C', 'D', 'E', 'F', 'A', 'B', 'C', 'D', 0, 0}, 2, 2,
       {'A', 'B', 'E', 'F', 'E', 'F', 'A', 'B', 'C', 'D', 0, 0}},
      {6, kWorkaroundNoNoXKB, {'A', 'B', 'C', 'D', 'E', 'F'}, 1, 1, {'A', 'B', 'C', 'D', 'E', 'F'}},
      {2, 0, {1, 2, 3, 4, 5, 6}, 3, 1, {1, 2}},        // more given than asked: only the rows asked
      {2, 0, {1, 2}, 1, 3, {1, 2, 0, 0, 0, 0}},        // fewer given: the rest zero
  };
  for (const Case &c : cases) {
    FakeClient fake(GetParam());
    configRecord.workarounds = c.workarounds;
    ASSERT_EQ(core11GGetKeyboardMappingReply(&fake.client, 42, c.given.data(), c.perKeycode, c.rowsGiven, c.rowsAsked),
              1);
    auto messages = fake.messages();
    ASSERT_EQ(messages.size(), 1u);
    const Bytes &r = messages[0];
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[1], c.perKeycode);
    EXPECT_EQ(fake.u16(r, 2), 42u);
    ASSERT_EQ(fake.u32(r, 4), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); i++) EXPECT_EQ(fake.u32(r, 32 + 4 * i), c.expected[i]) << i;
  }
}

TEST_P(OutputTest, ColorRepliesCarryTheirFields) {
  FakeClient fake(GetParam());
  fake.client.sequence = 77;
  XColor color{};
  color.pixel = 0x10203;
  color.red = 0x1111;
  color.green = 0x2222;
  color.blue = 0x3333;
  ASSERT_EQ(core11GAllocColorReply(&fake.client, &color), 1);
  xproxyCurrentClient = &fake.client;
  const uint32_t pixels[] = {5, 6}, masks[] = {0x100};
  ASSERT_EQ(core11GAllocColorCellsReply(pixels, 2, masks, 1), 1);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(fake.u16(messages[0], 2), 77u);
  EXPECT_EQ(fake.u16(messages[0], 8), 0x1111u);
  EXPECT_EQ(fake.u16(messages[0], 12), 0x3333u);
  EXPECT_EQ(fake.u32(messages[0], 16), 0x10203u);
  EXPECT_EQ(fake.u32(messages[1], 4), 3u);
  EXPECT_EQ(fake.u16(messages[1], 8), 2u);
  EXPECT_EQ(fake.u16(messages[1], 10), 1u);
  EXPECT_EQ(fake.u32(messages[1], 36), 6u);
  EXPECT_EQ(fake.u32(messages[1], 40), 0x100u);
}

TEST_P(OutputTest, DataRepliesArePaddedAndCarryTheirFields) {
  FakeClient fake(GetParam());
  fake.client.replySequence = 31;
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(core11GGetImageReply(&fake.client, 30, 0x21, 24, data, 5), 1);
  ASSERT_EQ(core11GListExtensionsReply(&fake.client, 2, data, 5), 1);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0][1], 24);
  EXPECT_EQ(fake.u16(messages[0], 2), 30u);
  EXPECT_EQ(fake.u32(messages[0], 4), 2u);
  EXPECT_EQ(fake.u32(messages[0], 8), 0x21u);
  EXPECT_EQ(Bytes(messages[0].begin() + 32, messages[0].end()), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(messages[1][1], 2);
  EXPECT_EQ(fake.u16(messages[1], 2), 31u);
}

TEST(Core11GRequests, BuildersWriteTheirRequests) {
  DisplayConnection connection{};
  outbufferInit(&connection.output, -1, nullptr, nullptr);
  auto last = [&](size_t length) {
    Bytes all;
    for (OutBlock *b = connection.output.first; b; b = b->next)
      all.insert(all.end(), b->readPosition, b->end);
    EXPECT_GE(all.size(), length);
    return Bytes(all.end() - long(length), all.end());
  };
  XGCValues values{};
  values.function = 3;
  values.arc_mode = 1;
  core11GChangeGC(&connection, 0x55, (1u << 0) | (1u << 22), &values);
  EXPECT_EQ(last(20), (Bytes{56, 0, 5, 0, 0x55, 0, 0, 0, 1, 0, 0x40, 0, 3, 0, 0, 0, 1, 0, 0, 0}));
  core11GMoveResizeWindow(&connection, 9, -1, 2, 3, 4);
  EXPECT_EQ(last(28), (Bytes{12, 0, 7, 0, 9, 0, 0, 0, 15, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 3, 0, 0, 0,
                             4, 0, 0, 0}));
  core11GStoreColor(&connection, 0x20, 7, 1, 2, 3);
  EXPECT_EQ(last(20), (Bytes{89, 0, 5, 0, 0x20, 0, 0, 0, 7, 0, 0, 0, 1, 0, 2, 0, 3, 0, 7, 0}));
  core11GWarpPointer(&connection, 0x30, 10, -2);
  EXPECT_EQ(last(24), (Bytes{41, 0, 6, 0, 0, 0, 0, 0, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0xfe, 0xff}));
  uint64_t before = outbufferPending(&connection.output);
  core11GShmPutImage(&connection, 1, 2, 3, 4, 0, 0, 3, 4, 0, 0, 24, 2, 0, 5, 0);  // no MIT-SHM: nothing
  EXPECT_EQ(outbufferPending(&connection.output), before);
  outbufferFree(&connection.output);
}

// ----- Ordered output ----------------------------------------------------------------------

TEST_P(OutputTest, LocalReplyForALaterRequestWaitsForOlderOutput) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 2, 0);
  xproxyCurrentClient = &fake.client;
  DeferredOutput *older = mainInsertDeferredOutput(&fake.client, 4);
  ASSERT_NE(older, nullptr);
  EXPECT_EQ(older->waitCounter, 2);
  fake.client.replySequence = 4;
  Bytes motion = event(6, 4);
  mainWriteToClient(motion.data(), 32, layoutOf(6));
  XColor color{};
  fake.client.sequence = 5;
  core11GAllocColorReply(&fake.client, &color);
  EXPECT_TRUE(fake.received().empty());
  uintptr_t newer = RoundTrips::blocks.back();
  RoundTrips::answerAll(newer, &fake.client);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0][0], 6);
  EXPECT_EQ(fake.u16(messages[0], 2), 4u);
  EXPECT_EQ(messages[1][0], 1);
  EXPECT_EQ(fake.u16(messages[1], 2), 5u);
  EXPECT_EQ(fake.client.deferred, nullptr);
}

TEST_P(OutputTest, OnlyTheFirstErrorOfARequestReachesTheClient) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 1, 0);
  const Bytes request = {8, 0, 2, 0, 1, 0, 0, 0};
  core11GSendError(3, 1, request.data(), 8, 9, nullptr, &fake.client);
  core11GSendError(2, 2, request.data(), 8, 9, nullptr, &fake.client);
  RoundTrips::answerAll(RoundTrips::blocks.at(0), &fake.client);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][1], 3);
}

TEST_P(OutputTest, ExposureRegionsBecomeOneEventPerRectangle) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 1, 0);
  xproxyCurrentClient = &fake.client;
  fake.client.replySequence = 3;
  ASSERT_NE(mainInsertDeferredOutput(&fake.client, 3), nullptr);
  // Three boxes in three bands.
  const XRectangle rectangles[] = {{0, 0, 10, 10}, {20, 20, 5, 5}, {0, 40, 3, 3}};
  Region *region = regionFromRects(3, rectangles, RegionUnsorted);
  ASSERT_NE(region, nullptr);
  Bytes expose = event(12, 3, {{4, 0x400010}});
  mainSendEventToClient(expose.data(), layoutOf(12), reinterpret_cast<uintptr_t>(region));
  // An empty merged GraphicsExpose becomes one NoExpose with its opcodes.
  Bytes graphics = event(13, 3, {{4, 0x400011}});
  set16(graphics, 16, 0);  // minor
  graphics[20] = 62;       // CopyArea
  mainSendEventToClient(graphics.data(), layoutOf(13), reinterpret_cast<uintptr_t>(regionCreate()));
  RoundTrips::answerAll(RoundTrips::blocks.at(0), &fake.client);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 4u);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(messages[i][0], 12);
    EXPECT_EQ(fake.u32(messages[i], 4), 0x400010u);
    EXPECT_EQ(fake.u16(messages[i], 8), uint32_t(rectangles[i].x));
    EXPECT_EQ(fake.u16(messages[i], 10), uint32_t(rectangles[i].y));
    EXPECT_EQ(fake.u16(messages[i], 12), rectangles[i].width);
    EXPECT_EQ(fake.u16(messages[i], 14), rectangles[i].height);
    EXPECT_EQ(fake.u16(messages[i], 16), uint32_t(2 - i));
  }
  EXPECT_EQ(messages[3][0], 14);
  EXPECT_EQ(fake.u32(messages[3], 4), 0x400011u);
  EXPECT_EQ(fake.u16(messages[3], 8), 0u);
  EXPECT_EQ(messages[3][10], 62);
}

TEST_P(OutputTest, GraphicsExposeWorkarounds) {
  struct Case {
    uint32_t bits;
    std::string types;  // E Expose, G GraphicsExpose, in order
  };
  const Case cases[] = {
      {0, "GG"},
      {kWorkaroundExposeInsteadOfGraphicsExpose, "EE"},
      {kWorkaroundExposeBeforeGraphicsExpose, "EEGG"},
      {kWorkaroundExposeAfterGraphicsExpose, "GGEE"},
      {kWorkaroundExposeBeforeGraphicsExpose | kWorkaroundExposeAfterGraphicsExpose, "EEGGEE"},
  };
  for (const Case &c : cases) {
    FakeClient fake(GetParam());
    Displays displays(&fake.client, 1, 0);
    configRecord.workarounds = c.bits;
    xproxyCurrentClient = &fake.client;
    fake.client.replySequence = 8;
    RoundTrips::blocks.clear();
    ASSERT_NE(mainInsertDeferredOutput(&fake.client, 8), nullptr);
    const XRectangle rectangles[] = {{0, 0, 10, 10}, {0, 20, 5, 5}};
    Bytes graphics = event(13, 8, {{4, 0x77}});
    graphics[20] = 62;
    mainSendEventToClient(graphics.data(), layoutOf(13),
                          reinterpret_cast<uintptr_t>(regionFromRects(2, rectangles, RegionUnsorted)));
    RoundTrips::answerAll(RoundTrips::blocks.at(0), &fake.client);
    std::string types;
    auto messages = fake.messages();
    for (size_t i = 0; i < messages.size(); i++) {
      const Bytes &m = messages[i];
      types += m[0] == 12 ? 'E' : m[0] == 13 ? 'G' : '?';
      EXPECT_EQ(fake.u32(m, 4), 0x77u);
      // Counts descend to 0 within each run of two.
      EXPECT_EQ(fake.u16(m, m[0] == 12 ? 16 : 18), uint32_t(1 - i % 2));
    }
    EXPECT_EQ(types, c.types) << c.bits;
  }
}

TEST_P(OutputTest, KeymapNotifyFollowsOnlyEnterOrFocusIn) {
  FakeClient fake(GetParam());
  xproxyCurrentClient = &fake.client;
  Bytes motion = event(6, 1), enter = event(7, 2), keymap = event(11, 0);
  mainSendEventToClient(motion.data(), layoutOf(6), 0);
  mainSendEventToClient(keymap.data(), layoutOf(11), 0);
  mainSendEventToClient(enter.data(), layoutOf(7), 0);
  mainSendEventToClient(keymap.data(), layoutOf(11), 0);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0][0], 6);
  EXPECT_EQ(messages[1][0], 7);
  EXPECT_EQ(messages[2][0], 11);
  EXPECT_EQ(fake.client.lastEventSequence, 2);
}

TEST_P(OutputTest, SentConfigureNotifyFollowsTheRealStructureEventsAndCrossingsNeedTheirFlag) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 1, 0);
  xproxyCurrentClient = &fake.client;
  ASSERT_NE(mainInsertDeferredOutput(&fake.client, 2), nullptr);
  Bytes sent = event(22 | 0x80, 2, {{4, 1}}), real = event(22, 2, {{4, 2}}), visibility = event(15, 2);
  Bytes enter = event(7, 2, {{8, 3}}), leave = event(8, 2, {{8, 4}});
  mainSendEventToClient(sent.data(), layoutOf(22), 0);
  mainSendEventToClient(enter.data(), layoutOf(7), 0x80000000u);
  mainSendEventToClient(leave.data(), layoutOf(8), 0);  // not to be delivered
  mainSendEventToClient(visibility.data(), layoutOf(15), 0);
  mainSendEventToClient(real.data(), layoutOf(22), 0);
  RoundTrips::answerAll(RoundTrips::blocks.at(0), &fake.client);
  auto messages = fake.messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0][0], 22);
  EXPECT_EQ(messages[1][0], 15);
  EXPECT_EQ(messages[2][0], 22 | 0x80);
  EXPECT_EQ(messages[3][0], 7);
}

TEST_P(OutputTest, BlocksWithoutReachableDisplaysAreReleasedAtOnce) {
  struct Case {
    int open, closed;
    bool fail;
  };
  const Case cases[] = {{0, 2, false}, {2, 0, true}, {0, 0, false}};
  for (const Case &c : cases) {
    FakeClient fake(GetParam());
    Displays displays(&fake.client, c.open, c.closed);
    RoundTrips::fail = c.fail;
    Bytes error(32, 0);
    error[1] = 3;
    set16(error, 2, 12);
    mainWriteInSequence(error.data(), 32, "bbsis", &fake.client);
    EXPECT_EQ(fake.client.deferred, nullptr);
    EXPECT_EQ(fake.messages().size(), 1u);
  }
}

TEST_P(OutputTest, AClosingClientsBlocksAndRegionsAreFreed) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 1, 0);
  xproxyCurrentClient = &fake.client;
  for (uint16_t s = 1; s <= 3; s++) {
    ASSERT_NE(mainInsertDeferredOutput(&fake.client, s), nullptr);
    fake.client.replySequence = s;
    Bytes expose = event(12, s);
    mainSendEventToClient(expose.data(), layoutOf(12), reinterpret_cast<uintptr_t>(regionCreateRect(0, 0, 5, 5)));
  }
  mainFreeDeferredOutputs(&fake.client);
  EXPECT_EQ(fake.client.deferred, nullptr);
  // A late round trip for a freed block changes nothing.
  RoundTrips::answerAll(RoundTrips::blocks.at(0), &fake.client);
  EXPECT_TRUE(fake.received().empty());
  mainFreeDeferredPool();
}

// A client far ahead of its round trips takes many blocks at once; given back, they do not all
// stay in the pool for good: the heap returns to a few dozen blocks above where it was.
TEST_P(OutputTest, ABurstOfBlocksDoesNotStayInThePool) {
  FakeClient fake(GetParam());
  Displays displays(&fake.client, 1, 0);
  xproxyCurrentClient = &fake.client;
  constexpr uint16_t kBlocks = 4000;
  RoundTrips::blocks.reserve(2 * kBlocks);  // the stand-in's own record does not count
  mainFreeDeferredPool();
  const size_t before = hostHeapInUse();
  for (int round = 0; round < 2; round++) {
    for (uint16_t s = 1; s <= kBlocks; s++) ASSERT_NE(mainInsertDeferredOutput(&fake.client, s), nullptr);
    EXPECT_GT(hostHeapInUse() - before, kBlocks / 2 * sizeof(DeferredOutput));  // the burst is there
    mainFreeDeferredOutputs(&fake.client);
    const size_t after = hostHeapInUse();
    EXPECT_LT(after > before ? after - before : 0, 100 * sizeof(DeferredOutput)) << "round " << round;
  }
  mainFreeDeferredPool();
}

// Messages find the waiting block of their sequence among many, wherever it stands in the
// order (also across the 16-bit wrap), and a sequence without one gets a new block in its
// place: released, everything comes out in sequence order with no block made twice.
TEST_P(OutputTest, MessagesJoinTheirWaitingBlockAmongMany) {
  for (uint16_t base : {uint16_t(10), uint16_t(0xfff0)}) {
    SCOPED_TRACE(base);
    FakeClient fake(GetParam());
    Displays displays(&fake.client, 1, 0);
    xproxyCurrentClient = &fake.client;
    for (uint16_t step : {30, 10, 20}) ASSERT_NE(mainInsertDeferredOutput(&fake.client, uint16_t(base + step)), nullptr);
    for (uint16_t step : {20, 10, 25, 30, 10}) {
      Bytes motion = event(6, uint16_t(base + step), {{8, step}});
      mainWriteInSequence(motion.data(), 32, layoutOf(6), &fake.client);
    }
    std::vector<uint16_t> order;
    for (DeferredOutput *b = fake.client.deferred; b; b = b->next) order.push_back(uint16_t(b->sequence - base));
    EXPECT_EQ(order, (std::vector<uint16_t>{10, 20, 25, 30}));
    EXPECT_TRUE(fake.received().empty());
    for (uintptr_t block : std::vector<uintptr_t>(RoundTrips::blocks)) RoundTrips::answerAll(block, &fake.client);
    std::vector<uint32_t> steps;
    for (const Bytes &m : fake.messages()) steps.push_back(fake.u32(m, 8));
    EXPECT_EQ(steps, (std::vector<uint32_t>{10, 10, 20, 25, 30}));
    EXPECT_EQ(fake.client.deferred, nullptr);
    RoundTrips::blocks.clear();
  }
}

TEST(OrderedOutput, OneEventReachesANativeAndASwappedClientRight) {
  FakeClient native(false), swapped(true);
  Bytes configure = event(22, 0x0102, {{4, 0x11223344}});
  set16(configure, 16, 640);
  for (FakeClient *fake : {&native, &swapped}) {
    xproxyCurrentClient = &fake->client;
    mainSendEventToClient(configure.data(), xcoreEventRows[22 - 2].layout, 0);
  }
  xproxyCurrentClient = nullptr;
  for (FakeClient *fake : {&native, &swapped}) {
    auto messages = fake->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(fake->u16(messages[0], 2), 0x0102u);
    EXPECT_EQ(fake->u32(messages[0], 4), 0x11223344u);
    EXPECT_EQ(fake->u16(messages[0], 16), 640u);
  }
  EXPECT_EQ(get(configure, 4, 4, false), 0x11223344u);  // the caller's bytes stay as they were
}

TEST(ClientNames, LocalClientsByClassWindowOrIndex) {
  EXPECT_STREQ(xscreenClientName(nullptr), "no client");
  ClientConnection client{};
  client.index = 12;
  EXPECT_STREQ(xscreenClientName(&client), "client 12");
  strcpy(client.windowName, "xterm window");
  EXPECT_STREQ(xscreenClientName(&client), "xterm window");
  strcpy(client.className, "XTerm");
  EXPECT_STREQ(xscreenClientName(&client), "XTerm");
}


// ----- Default handlers and the request frame ------------------------------------------------

// A request in the client's byte order from 16-bit and 32-bit fields at offsets.
Bytes request(bool big, size_t length, std::initializer_list<std::tuple<size_t, size_t, uint32_t>> fields) {
  Bytes r(length, 0);
  for (auto [at, size, v] : fields)
    for (size_t i = 0; i < size; i++) r.at(at + i) = uint8_t(v >> (8 * (big ? size - 1 - i : i)));
  return r;
}

TEST_P(OutputTest, DefaultRequestHandlersAnswerBadRequestAndNoOperationNothing) {
  FakeClient fake(GetParam());
  xproxyCurrentClient = &fake.client;
  struct Case {
    uint8_t major, minor;
    uint32_t length;
    int code;          // 0: nothing at all
    uint32_t badValue;
  } cases[] = {
      {0, 9, 4, 1, 0},      {120, 0, 4, 1, 120},  {126, 3, 8, 1, 126}, {200, 7, 4, 1, 7},
      {127, 0, 4, 0, 0},    {127, 5, 12, 0, 0},   {127, 0, 0, 16, 0},
  };
  uint32_t sequence = 0;
  for (const Case &c : cases) {
    Bytes r = request(GetParam(), c.length < 4 ? 4 : c.length, {{0, 1, c.major}, {1, 1, c.minor}, {2, 2, c.length / 4}});
    fake.client.sequence = ++sequence;  // the cutter counts every request
    proxyState.requestHandlers[xcoreRequestKey(r.data())](r.data(), c.length);
    std::vector<Bytes> got = fake.messages();
    if (!c.code) {
      EXPECT_TRUE(got.empty()) << int(c.major);
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << int(c.major);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], c.code);
    EXPECT_EQ(fake.u16(got[0], 2), sequence);
    EXPECT_EQ(fake.u32(got[0], 4), c.badValue);
    EXPECT_EQ(got[0][10], c.major);
  }
  bool invalid = false;
  for (const std::string &line : LogCapture::lines) invalid |= line.find("(invalid request)") != std::string::npos;
  EXPECT_TRUE(invalid);
}

// A swapped client's fixed-length request shorter than its fixed part: BadLength with the
// received length, and not one byte behind it turned around.
TEST_P(OutputTest, FrameEntryBoundsTheSwapAndChecksLengths) {
  FakeClient fake(GetParam());
  xproxyCurrentClient = &fake.client;
  const XcoreRequestShape fixed{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  const XcoreRequestShape values{"bbsI", 12, XcoreShape::ValueList, 8, 4};
  struct Case {
    const XcoreRequestShape *shape;
    uint32_t length;    // bytes received
    uint32_t mask;      // value lists
    bool accepted;
  } cases[] = {
      {&fixed, 16, 0, true}, {&fixed, 8, 0, false}, {&fixed, 20, 0, false}, {&values, 12, 0, true},
      {&values, 20, 0x101, true}, {&values, 16, 0x101, false}, {&values, 8, 0, false},
  };
  for (const Case &c : cases) {
    Bytes input = request(GetParam(), c.length, {{0, 1, 2}, {2, 2, c.length / 4}});
    if (c.length >= 12) input = request(GetParam(), c.length, {{0, 1, 2}, {2, 2, c.length / 4}, {8, 4, c.mask}});
    for (int i = 0; i < 32; i++) input.push_back(uint8_t(0xa0 + i));  // the next request
    Bytes guard(input.end() - 32, input.end());
    EXPECT_EQ(xcoreFrameEnter(input.data(), c.length, *c.shape), c.accepted ? 1 : 0) << c.length;
    EXPECT_EQ(Bytes(input.end() - 32, input.end()), guard);
    std::vector<Bytes> got = fake.messages();
    if (c.accepted) {
      EXPECT_TRUE(got.empty());
      uint16_t words;
      memcpy(&words, &input[2], 2);
      EXPECT_EQ(words, c.length / 4);  // readable in the proxy's order now
    } else {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][1], 16);
      EXPECT_EQ(fake.u32(got[0], 4), c.length);
    }
  }
}

TEST_P(OutputTest, RefusalsLogOnXhintAndWriteNothing) {
  FakeClient fake(GetParam());
  xproxyCurrentClient = &fake.client;
  logEnableChannel(logChannelXhint);
  fake.client.sequence = 9;
  Bytes r = request(false, 8, {{0, 1, 10}, {2, 2, 2}});
  xcoreFrameRefuse(kXcoreNoEffectRoot, r.data());
  EXPECT_TRUE(fake.messages().empty());
  ASSERT_FALSE(LogCapture::lines.empty());
  EXPECT_NE(LogCapture::lines.back().find("No effect for root window in UnmapWindow #9 by"), std::string::npos)
      << LogCapture::lines.back();
}

}  // namespace

namespace {

TEST(RoutingHelpers, TileCopiesStartAtTheWrappedPhaseAndCoverTheRectangle) {
  struct Case {
    uint32_t tileW, tileH;
    int32_t x, y;
    uint32_t w, h;
    int32_t originX, originY;
  } cases[] = {{64, 64, 0, 0, 100, 70, 0, 0}, {2000, 2000, 0, 0, 1280, 1024, -100, 0},
               {30, 20, 5, 7, 61, 45, 40, 13}, {7, 5, 0, 0, 7, 5, 3, 2}};
  for (const Case &c : cases) {
    std::vector<uint8_t> covered(size_t(c.w) * c.h, 0);
    RequestSink sink{nullptr, nullptr};
    struct Check {
      static void run(const Case &c, std::vector<uint8_t> &covered, const uint8_t *body) {
        int16_t sx, sy, dx, dy;
        uint16_t w, h;
        memcpy(&sx, body + 16, 2), memcpy(&sy, body + 18, 2), memcpy(&dx, body + 20, 2), memcpy(&dy, body + 22, 2);
        memcpy(&w, body + 24, 2), memcpy(&h, body + 26, 2);
        ASSERT_GE(sx, 0);
        ASSERT_GE(sy, 0);
        ASSERT_LE(uint32_t(sx) + w, c.tileW);
        ASSERT_LE(uint32_t(sy) + h, c.tileH);
        // The tile position of the destination point is (point - origin) modulo the tile.
        EXPECT_EQ(uint32_t(sx), uint32_t(((dx - c.originX) % int(c.tileW) + int(c.tileW)) % int(c.tileW)));
        EXPECT_EQ(uint32_t(sy), uint32_t(((dy - c.originY) % int(c.tileH) + int(c.tileH)) % int(c.tileH)));
        for (int yy = dy; yy < dy + h; yy++)
          for (int xx = dx; xx < dx + w; xx++) covered.at(size_t(yy - c.y) * c.w + size_t(xx - c.x))++;
      }
    };
    // The sink keeps every CopyArea; each is checked after the fill.
    static std::vector<std::vector<uint8_t>> bodies;
    bodies.clear();
    sink.begin = [](void *, uint8_t, uint8_t, uint32_t) -> uint8_t * {
      bodies.emplace_back(28, 0);
      return bodies.back().data();
    };
    ASSERT_EQ(xprotoTilePixmap(&sink, 1, 2, 3, c.tileW, c.tileH, c.x, c.y, c.w, c.h, c.originX, c.originY), 1);
    for (const auto &body : bodies) Check::run(c, covered, body.data());
    for (uint8_t n : covered) ASSERT_EQ(n, 1);
  }
}

TEST(RoutingHelpers, EventMasksForCopiesAndForTheProxy) {
  EXPECT_EQ(xproxyWindowEventMask(nullptr, 5, 0x4, nullptr), 0xcu);
  EXPECT_EQ(xproxyWindowEventMask(nullptr, 5, 0x10, nullptr), 0x30u);
  EXPECT_EQ(xproxyWindowEventMask(nullptr, 5, 0x20, nullptr), 0x30u);
  EXPECT_EQ(xproxyWindowEventMask(nullptr, 5, 0x200001, nullptr), 0x200001u);  // no meta root
  EXPECT_EQ(xproxyServerEventMask(0x10), 0x38u);
  EXPECT_EQ(xproxyServerEventMask(0x1), 0x9u);
  EXPECT_EQ(xproxyColormapAllocMode(1, nullptr, nullptr), 1);
  EXPECT_EQ(xproxyColormapAllocMode(0, nullptr, nullptr), 0);
}

}  // namespace
