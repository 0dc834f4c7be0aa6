// The extension handler frame and the small extensions (SUN_ALLPLANES, BIG-REQUESTS, XC-MISC,
// DPMS, FBPM, Generic Event Extension) in-process: the two-head fixture with the test relay in
// front of its Xvfb (the relay answers DPMS, FBPM and SUN_ALLPLANES), and its fake client of
// either byte order talking to the handlers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xext/allplanes.h"
#include "xext/bigreq.h"
#include "xext/dpms.h"
#include "xext/ext.h"
#include "xext/fbpm.h"
#include "xext/ge.h"
#include "xext/xcmisc.h"
#include "twohead_fixture.h"
#include "xrelay_fixture.h"

namespace {

using Bytes = RawBytes;

int16_t s16le(const Bytes &m, size_t at) { return int16_t(rawGet16(m, at, false)); }

// A request sink that keeps the requests written through it instead of sending them, and can
// refuse one call.
struct Capture {
  std::deque<Bytes> copies;
  int calls = 0;
  int refuseCall = 0;  // 1-based; 0 refuses none
};
uint8_t *captureBegin(void *context, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  auto *capture = static_cast<Capture *>(context);
  if (++capture->calls == capture->refuseCall) return nullptr;
  Bytes &copy = capture->copies.emplace_back(length);
  copy[0] = opcode, copy[1] = dataByte;
  return copy.data();
}

// The two heads behind the test relay, which answers DPMS, FBPM and SUN_ALLPLANES and speaks
// DPMS 1.2 and XC-MISC 1.5; the six extensions set up under the relay's opcodes.
class SmallExtensions : public TwoHeadTest {
 protected:
  SmallExtensions() {
    relayLog = xrelayTempDir() + "/relay.log";
    relayOptions = {"-emulate", "DPMS,FBPM,ALLPLANES", "-version", "DPMS=1.2", "-version", "XC-MISC=1.5",
                    "-log",     relayLog};
  }

  void SetUp() override {
    TwoHeadTest::SetUp();
    if (HasFatalFailure()) return;
    // The second head to the right of the first, as a configured placement puts it.
    heads[1]->rect.x = int32_t(heads[0]->rect.width);
    secondX = heads[1]->rect.x;
    ASSERT_GT(secondX, 0);
    Display *viaRelay = XOpenDisplay(relay.displayName().c_str());
    ASSERT_NE(viaRelay, nullptr);
    for (const char *name :
         {"SUN_ALLPLANES", "BIG-REQUESTS", "XC-MISC", "DPMS", "FBPM", "Generic Event Extension"}) {
      int major = 0, event = 0, error = 0;
      ASSERT_TRUE(XQueryExtension(viaRelay, name, &major, &event, &error)) << name;
      ExtensionRecord *record = xproxyInitExtension(name, 0, uint8_t(major), uint8_t(event), uint8_t(error));
      ASSERT_TRUE(record && record->name) << name;
      majors[name] = uint8_t(major);
    }
    XCloseDisplay(viaRelay);
  }

  void TearDown() override {
    extResetAll();
    xprotoBigRequestMaximum = 0xffffffffu;
    TwoHeadTest::TearDown();
  }

  RawRequest request(const char *extension, uint8_t minor) const {
    RawRequest r(big());
    r.b(majors.at(extension)).b(minor).s(0);
    return r;
  }
  // Hands one request to the handler of its major and minor, as the cutter would (which
  // counts it first).
  void send(const RawBytes &request) {
    RawBytes copy = request;
    xproxyCurrentClient = client;
    client->sequence++;
    proxyState.requestHandlers[xcoreRequestKey(copy.data())](copy.data(), uint32_t(request.size()));
    xproxyCurrentClient = nullptr;
  }
  RawRequest req(uint8_t major, uint8_t minor) const {
    RawRequest r(big());
    r.b(major).b(minor).s(0);
    return r;
  }
  // Hands a reply of the real server to the handler of the request key, as the answer to the
  // client's request of sequence `sequence`.
  void reply(uint8_t major, uint8_t minor, Bytes reply, uint16_t sequence) {
    xproxyCurrentClient = client;
    xproxyCurrentDisplayConnection = connection;
    connection->replyKey = major | uint32_t(minor) << 8;
    client->replySequence = sequence;
    proxyState.replyHandlers[connection->replyKey](reply.data(), uint32_t(reply.size()));
    xproxyCurrentClient = nullptr;
    xproxyCurrentDisplayConnection = nullptr;
  }
  // The last `length` bytes queued for the real server.
  Bytes lastWritten(uint32_t length) const {
    const OutBlock *block = connection->output.last;
    if (!block || uint32_t(block->end - block->readPosition) < length) return {};
    return Bytes(block->end - length, block->end);
  }
  // Copies of a SUN_ALLPLANES request, caught instead of written.
  std::deque<Bytes> drawCaught(const Bytes &request, int refuseCall = 0) {
    Capture capture;
    capture.refuseCall = refuseCall;
    RequestSink saved = connection->reader.sink;
    connection->reader.sink = {captureBegin, &capture};
    send(request);
    connection->reader.sink = saved;
    return capture.copies;
  }
  WindowRecord *window(uint32_t n, int16_t x, int16_t y, uint16_t width, uint16_t height) {
    WindowRecord *w = windowCreateRecord(clientId(n), screen, screen->rootVisual);
    if (w) w->x = x, w->y = y, w->width = width, w->height = height;
    return w;
  }

  std::string relayLog;
  std::map<std::string, uint8_t> majors;
  int32_t secondX = 0;
};

TEST_P(SmallExtensions, EveryRowRefusesLengthsItsRuleRefuses) {
  struct Table {
    const char *name;
    const ExtRequestTable *table;
  };
  const Table tables[] = {{"SUN_ALLPLANES", &allplanesTable}, {"BIG-REQUESTS", &bigreqTable},
                          {"XC-MISC", &xcmiscTable},         {"DPMS", &dpmsTable},
                          {"FBPM", &fbpmTable},              {"Generic Event Extension", &geTable}};
  for (const Table &t : tables) {
    for (size_t k = 0; k < t.table->count; k++) {
      const ExtRequestRow &row = t.table->rows[k];
      std::vector<uint32_t> wrong;
      if (row.length > 4) wrong.push_back(row.length - 4);
      if (row.itemSize == 0) wrong.push_back(row.length + 4);
      if (row.itemSize > 4) wrong.push_back(row.length + row.itemSize + 4);  // off the item size
      for (uint32_t length : wrong) {
        SCOPED_TRACE(std::string(row.name) + " of " + std::to_string(length) + " bytes");
        uint32_t before = connection->requestsSent;
        RawRequest r = request(t.name, row.minor);
        r.pad(length - 4);
        send(r.done());
        // Nothing went to the server but the round trip that keeps the error in order.
        ASSERT_LE(connection->requestsSent, before + 1);
        if (connection->requestsSent == before + 1) {
          EXPECT_EQ(lastWritten(4).at(0), 43);
        }
        uint32_t sequence = client->sequence;
        std::vector<Bytes> got = messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0][0], 0);
        EXPECT_EQ(got[0][1], 16);  // BadLength
        EXPECT_EQ(u16(got[0], 2), sequence & 0xffff);
        EXPECT_EQ(u32(got[0], 4), length);
        EXPECT_EQ(got[0][10], majors.at(t.name));
      }
    }
  }
}

TEST_P(SmallExtensions, DpmsRequestsReachTheServerInItsOrderAndVersionsAreTheProxys) {
  send(request("DPMS", 3).s(100).s(200).s(300).pad(2).done());
  Bytes written = lastWritten(12);
  ASSERT_EQ(written.size(), 12u);
  EXPECT_EQ(rawGet16(written, 4, false), 100u);
  EXPECT_EQ(rawGet16(written, 6, false), 200u);
  EXPECT_EQ(rawGet16(written, 8, false), 300u);

  send(request("DPMS", 2).done());  // GetTimeouts
  uint32_t timeoutsSequence = client->sequence;
  send(request("DPMS", 0).s(1).s(1).done());  // GetVersion: the relay speaks 1.2
  uint32_t versionSequence = client->sequence;
  send(request("XC-MISC", 0).s(1).s(1).done());  // the relay rewrites Xvfb's to 1.5
  send(request("Generic Event Extension", 0).s(1).s(0).done());
  std::vector<Bytes> got = messages();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(u16(got[0], 2), timeoutsSequence & 0xffff);
  EXPECT_EQ(u16(got[0], 8), 100u);
  EXPECT_EQ(u16(got[0], 10), 200u);
  EXPECT_EQ(u16(got[0], 12), 300u);
  EXPECT_EQ(u16(got[1], 2), versionSequence & 0xffff);
  for (size_t k = 1; k < 4; k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(got[k][0], 1);
    EXPECT_EQ(u16(got[k], 8), 1u);
    EXPECT_EQ(u16(got[k], 10), k == 3 ? 0u : 1u);  // 1.1, 1.1 and the Generic Event Extension's 1.0
  }
  // The relay answered SetTimeouts and saw no GetVersion of 1.2 pass unchanged.
  std::string log = xrelayReadFile(relayLog);
  EXPECT_NE(log.find("major " + std::to_string(majors.at("DPMS")) + " minor 3 length 3"), std::string::npos);
}

TEST_P(SmallExtensions, FbpmServesItsMinorsAndRefusesTwoAndThree) {
  send(request("FBPM", 1).done());  // Capable
  uint32_t capableSequence = client->sequence;
  send(request("FBPM", 2).done());
  send(request("FBPM", 3).pad(4).done());
  std::vector<Bytes> got = messages();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(u16(got[0], 2), capableSequence & 0xffff);
  for (size_t k : {1u, 2u}) {
    EXPECT_EQ(got[k][0], 0);
    EXPECT_EQ(got[k][1], 1);  // BadRequest
    EXPECT_EQ(u16(got[k], 2), (capableSequence + k) & 0xffff);
  }
}

TEST_P(SmallExtensions, AllPlanesCopiesGoToEachHeadsRootAtItsCoordinates) {
  uint8_t major = majors.at("SUN_ALLPLANES");
  ASSERT_NE(window(1, 100, 50, 200, 100), nullptr);
  ASSERT_NE(window(2, 100, 100, 200, 100), nullptr);

  // A filled rectangle (10, 10, 20, 5) on the window at (100, 50), and a width-0 one.
  auto copies = drawCaught(
      req(major, 5).i(clientId(1)).s(10).s(10).s(20).s(5).s(10).s(10).s(0).s(5).done());
  ASSERT_EQ(copies.size(), 2u);
  for (size_t h = 0; h < 2; h++) {
    SCOPED_TRACE(h);
    const Bytes &c = copies[h];
    int dx = h == 0 ? 0 : -secondX;
    EXPECT_EQ(c[0], major);
    EXPECT_EQ(c[1], 5);
    EXPECT_EQ(rawGet32(c, 4, false), uint32_t(heads[h]->root));
    EXPECT_EQ(s16le(c, 8), 110 + dx);
    EXPECT_EQ(s16le(c, 10), 60);
    EXPECT_EQ(s16le(c, 12), 20);
    EXPECT_EQ(s16le(c, 14), 5);
    EXPECT_EQ(s16le(c, 16), 110 + dx);  // width 0 stays 0 and draws nothing
    EXPECT_EQ(s16le(c, 20), 0);
    EXPECT_EQ(s16le(c, 22), 5);
  }

  // Points in mode previous: (5, 5), (1, 0) on the window at (100, 100).
  copies = drawCaught(req(major, 1).i(clientId(2)).b(1).pad(3).s(5).s(5).s(1).s(0).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(s16le(copies[0], 12), 105);
  EXPECT_EQ(s16le(copies[0], 14), 105);
  EXPECT_EQ(s16le(copies[0], 16), 1);
  EXPECT_EQ(s16le(copies[0], 18), 0);
  EXPECT_EQ(s16le(copies[1], 12), 105 - secondX);
  EXPECT_EQ(s16le(copies[1], 16), 1);

  ASSERT_LT(secondX, 800);
  // Near the end of 16 bits the sums clamp instead of wrapping to the far side.
  copies = drawCaught(req(major, 2).i(clientId(2)).b(1).pad(3).s(32700).s(0).s(60).s(0).s(10).s(0).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(s16le(copies[0], 12), 32767);
  EXPECT_EQ(s16le(copies[0], 16), 0);
  EXPECT_EQ(s16le(copies[0], 20), 0);
  EXPECT_EQ(s16le(copies[1], 12), 32800 - secondX);
  EXPECT_EQ(s16le(copies[1], 16), 60);
  EXPECT_EQ(s16le(copies[1], 20), 10);
  // The far corner of a rectangle clamps too; the size is what stays inside.
  copies = drawCaught(req(major, 4).i(clientId(2)).s(32000).s(0).s(2000).s(1).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(s16le(copies[0], 8), 32100);
  EXPECT_EQ(rawGet16(copies[0], 12, false), 32767u - 32100u + 1u);

  // Segments: both ends move.
  copies = drawCaught(req(major, 3).i(clientId(1)).s(0).s(0).s(10).s(20).done());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(s16le(copies[1], 8), 100 - secondX);
  EXPECT_EQ(s16le(copies[1], 10), 50);
  EXPECT_EQ(s16le(copies[1], 12), 110 - secondX);
  EXPECT_EQ(s16le(copies[1], 14), 70);
  EXPECT_TRUE(messages().empty());
}

TEST_P(SmallExtensions, AllPlanesOnPixmapsOverlapCullingAndRefusedCopies) {
  uint8_t major = majors.at("SUN_ALLPLANES");
  ASSERT_NE(resourceCreatePixmap(clientId(3), screen, screen->rootVisual, 50, 50, 24), nullptr);
  auto copies = drawCaught(req(major, 1).i(clientId(3)).b(0).pad(3).s(7).s(9).done());
  ASSERT_EQ(copies.size(), 2u);
  for (size_t h = 0; h < 2; h++) {
    EXPECT_EQ(rawGet32(copies[h], 4, false), xproxyServerDrawable(clientId(3), heads[h]));
    EXPECT_EQ(s16le(copies[h], 12), 7);  // a pixmap's coordinates stay
    EXPECT_EQ(s16le(copies[h], 14), 9);
  }

  // With the second head's overlap flag, a window on the first head alone sends it nothing;
  // one across the boundary reaches both.
  heads[1]->optimizedDraw = 1;
  ASSERT_NE(window(1, 100, 50, 200, 100), nullptr);
  ASSERT_NE(window(2, int16_t(secondX - 50), 50, 200, 100), nullptr);
  Bytes fill1 = req(major, 5).i(clientId(1)).s(0).s(0).s(5).s(5).done();
  EXPECT_EQ(drawCaught(fill1).size(), 1u);
  EXPECT_EQ(drawCaught(req(major, 5).i(clientId(2)).s(0).s(0).s(5).s(5).done()).size(), 2u);
  heads[1]->optimizedDraw = 0;

  // The second copy cannot be written: the first stays, the client gets BadAlloc 0.
  copies = drawCaught(fill1, 2);
  uint32_t sequence = client->sequence;
  EXPECT_EQ(copies.size(), 1u);
  std::vector<Bytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 11);
  EXPECT_EQ(u32(got[0], 4), 0u);
  EXPECT_EQ(u16(got[0], 2), sequence & 0xffff);

  // An unknown drawable is a BadDrawable.
  EXPECT_TRUE(drawCaught(req(major, 5).i(clientId(77)).s(0).s(0).s(5).s(5).done()).empty());
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 9);
}

TEST_P(SmallExtensions, XidRangeAndList) {
  uint8_t major = majors.at("XC-MISC");
  uint32_t mask = resourceIdMask();
  ASSERT_NE(resourceCreatePixmap(clientId(0x10), screen, screen->rootVisual, 5, 5, 24), nullptr);
  send(req(major, 1).done());
  std::vector<Bytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(u16(got[0], 2), client->sequence & 0xffff);
  EXPECT_EQ(u32(got[0], 4), 0u);
  // The largest free run lies above the used id, up to the end of the client's range.
  EXPECT_EQ(u32(got[0], 8), clientId(0x11));
  EXPECT_EQ(u32(got[0], 12), mask - 0x10);
  for (size_t k = 16; k < 32; k++) EXPECT_EQ(got[0][k], 0) << k;

  // GetXIDList: the server's free ids come back as the client's own (those under the proxy's
  // own head number are left out).
  send(req(major, 2).i(16).done());
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  uint32_t listed = u32(got[0], 8);
  ASSERT_GE(listed, 1u);
  ASSERT_LE(listed, 16u);
  ASSERT_EQ(got[0].size(), 32u + 4 * listed);
  for (size_t k = 0; k < listed; k++) {
    uint32_t id = u32(got[0], 32 + 4 * k);
    EXPECT_EQ(id & ~mask, clientId(0)) << std::hex << id;
  }

  // A reply whose count claims more ids than it holds maps only those there; an id under the
  // proxy's own head number is no client's and goes.
  uint32_t serverId = resourceServerId(clientId(5), kResourcePixmap, heads[0]);
  ASSERT_NE(serverId, clientId(5));
  uint32_t proxyOwn = serverId | heads[0]->serverDisplay->headBitsMask;
  ASSERT_NE(proxyOwn, serverId);
  Bytes reply(32 + 12);
  reply[0] = 1;
  reply[4] = 3;
  reply[8] = 9;  // count 9, three ids present
  for (size_t k = 0; k < 3; k++) memcpy(reply.data() + 32 + 4 * k, k == 1 ? &proxyOwn : &serverId, 4);
  this->reply(major, 2, reply, 77);
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 40u);
  EXPECT_EQ(u16(got[0], 2), 77u);
  EXPECT_EQ(u32(got[0], 8), 2u);
  EXPECT_EQ(u32(got[0], 32), clientId(5));
  EXPECT_EQ(u32(got[0], 36), clientId(5));
}

TEST_P(SmallExtensions, FullClientGetsStartZeroCountOne) {
  // Shrink every client's id space to four ids and use all of them.
  proxyState.idMask = 0x3;
  proxyState.idShift = 2;
  for (uint32_t n = 0; n < 4; n++)
    ASSERT_NE(resourceCreatePixmap(clientId(n), screen, screen->rootVisual, 5, 5, 24), nullptr);
  send(req(majors.at("XC-MISC"), 1).done());
  std::vector<Bytes> got = messages();
  for (uint32_t n = 0; n < 4; n++) resourceFree(clientId(n), 0);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(u32(got[0], 8), 0u);
  EXPECT_EQ(u32(got[0], 12), 1u);
}

TEST_P(SmallExtensions, BigRequestsEnableAndMaximum) {
  uint8_t major = majors.at("BIG-REQUESTS");
  send(req(major, 0).pad(4).done());
  EXPECT_EQ(client->bigRequests, 0);
  std::vector<Bytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
  EXPECT_EQ(u32(got[0], 4), 8u);

  send(req(major, 0).done());
  EXPECT_EQ(client->bigRequests, 1);
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(uint64_t(u32(got[0], 8)) * 4, xprotoBigRequestMaximum);

  struct Step {
    uint32_t units;
    uint64_t maximum;
  };
  xprotoBigRequestMaximum = 0xffffffffu;
  for (Step step : {Step{0x40000000, 0xffffffffu}, Step{65535, 262140}, Step{100000, 262140}}) {
    SCOPED_TRACE(step.units);
    Bytes reply(32);
    reply[0] = 1;
    memcpy(reply.data() + 8, &step.units, 4);
    this->reply(major, 0, reply, 5);
    EXPECT_EQ(xprotoBigRequestMaximum, step.maximum);
    got = messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(u32(got[0], 8), step.units);  // the reply itself passes unchanged
  }
}

TEST_P(SmallExtensions, ResetGivesEveryMajorItsDefaults) {
  for (const auto &[name, major] : majors) {
    EXPECT_EQ(proxyState.requestHandlers[major], extRequest) << name;
    EXPECT_NE(proxyState.requestNames[xcoreRequestNameIndex(major, 0)], nullptr) << name;
  }
  EXPECT_NE(proxyState.ext.dpms, nullptr);
  EXPECT_EQ(proxyState.extensions[majors.at("Generic Event Extension")].providedByProxy, 1);
  extResetAll();
  for (const auto &[name, major] : majors) {
    for (unsigned minor = 0; minor < 8; minor++) {
      uint32_t key = major | minor << 8;
      EXPECT_EQ(proxyState.requestHandlers[key], xcoreUnsupportedRequest) << name << " " << minor;
      EXPECT_EQ(proxyState.replyHandlers[key], xcoreUnsupportedReply) << name << " " << minor;
      EXPECT_EQ(proxyState.requestNames[xcoreRequestNameIndex(major, uint8_t(minor))], nullptr);
    }
  }
  EXPECT_EQ(proxyState.ext.allplanes, nullptr);
  EXPECT_EQ(proxyState.ext.bigreq, nullptr);
  EXPECT_EQ(proxyState.ext.xcmisc, nullptr);
  EXPECT_EQ(proxyState.ext.dpms, nullptr);
  EXPECT_EQ(proxyState.ext.fbpm, nullptr);
  EXPECT_EQ(proxyState.ext.ge, nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, SmallExtensions, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "MsbFirst" : "LsbFirst";
                         });

}  // namespace
