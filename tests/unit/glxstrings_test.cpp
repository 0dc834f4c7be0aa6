// The GLX strings and client-information requests on the fake core, in both byte orders: the
// length rules, the strings answered from the meta screen (configured vendor, version text),
// the names passed to a real server, and the client information copied or dropped.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "glxfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/resource.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/ext.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxinstance.h"

namespace {

constexpr uint8_t kGlxError = 170;
constexpr uint8_t kBadValue = 2, kBadIdChoice = 14, kBadLength = 16;

class GlxStringsTest : public GlxFakeCoreTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(setUpGlx(40));
    GlCapabilities &caps = screen->glCapabilities;
    caps.glxVersion = 67;
    strcpy(caps.vendor, "Lowered GL");
    strcpy(caps.glxExtensions, "GLX_ARB_multisample GLX_EXT_visual_info");
    savedVendor = configRecord.glxVendorString;
    configRecord.glxVendorString = nullptr;
    core.serverRequests(*client);
  }
  void TearDown() override {
    configRecord.glxVendorString = savedVendor;
    GlxFakeCoreTest::TearDown();
  }
  // The string of the one reply the client got; an error's code as "error N" instead.
  std::string answer() {
    auto got = core.messages(*client);
    if (got.size() != 1) return "messages: " + std::to_string(got.size());
    const FakeBytes &m = got[0];
    if (m[0] == 0) return "error " + std::to_string(m[1]);
    uint32_t n = client->u32(m, 12);
    EXPECT_EQ(m.size(), 32 + (n + 3) / 4 * 4);
    EXPECT_EQ(client->u32(m, 4), (m.size() - 32) / 4);
    if (n == 0 || 32 + n > m.size()) return "bad n";
    EXPECT_EQ(m[32 + n - 1], 0);
    return std::string(reinterpret_cast<const char *>(m.data() + 32), n - 1);
  }

  char *savedVendor = nullptr;
};

// (A context with attributes is refused at 4 bytes over too: its pair count, 0, must fill it;
// so are the client-information forms, whose counts, 0, must fill theirs.)
TEST_P(GlxStringsTest, LengthRules) {
  struct Case {
    uint8_t minor;
    uint32_t length;
    bool atLeast;
  } cases[] = {{18, 8, false}, {19, 12, false}, {33, 24, false}, {34, 28, false}, {35, 24, false}};
  for (const Case &c : cases)
    for (uint32_t length : {c.length - 4, c.length + 4}) {
      send(request(c.minor).pad(length - 4).done());
      auto got = core.messages(*client);
      if (length < c.length || !c.atLeast) {
        ASSERT_EQ(got.size(), 1u) << int(c.minor) << " " << length;
        EXPECT_EQ(got[0][1], kBadLength);
      } else {
        EXPECT_TRUE(got.empty()) << int(c.minor);
      }
    }
  EXPECT_TRUE(copies().empty());
}

TEST_P(GlxStringsTest, ServerStringsComeFromTheMetaScreen) {
  send(request(18).i(0).done());
  EXPECT_EQ(answer(), "GLX_ARB_multisample GLX_EXT_visual_info");
  send(request(19).i(0).i(3).done());
  EXPECT_EQ(answer(), "GLX_ARB_multisample GLX_EXT_visual_info");
  send(request(19).i(0).i(2).done());
  EXPECT_EQ(answer(), "1.3");
  send(request(19).i(0).i(1).done());
  EXPECT_EQ(answer(), "Lowered GL");
  char configured[] = "Acme";
  configRecord.glxVendorString = configured;
  send(request(19).i(0).i(1).done());
  EXPECT_EQ(answer(), "Acme");
  EXPECT_TRUE(copies().empty());
  send(request(18).i(7).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadValue));
  send(request(19).i(7).i(1).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadValue));
}

// A name the proxy does not know goes to the reply head's server with that head's screen.
TEST_P(GlxStringsTest, UnknownNameGoesToTheReplyHead) {
  send(request(19).i(0).i(0x20F6).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][1], 19);
  EXPECT_EQ(rawGet32(sent[0], 4, false), uint32_t(heads[0]->screen));
  EXPECT_EQ(rawGet32(sent[0], 8, false), 0x20F6u);
  EXPECT_TRUE(core.logged("UNE"));
  // A reply head served inside the proxy asks its library for its screen; a name the library
  // does not know is refused with BadValue, as a server refuses it.
  auto *instance = new GlxLibraryInstance{};
  instance->functions.glXQueryServerString = [](Display *, int screenNumber, int name) -> const char * {
    return name == 0x20F6 && screenNumber == 1 ? "from the library" : nullptr;
  };
  int savedScreen = heads[0]->screen;
  heads[0]->screen = 1;
  heads[0]->glLibrary = instance;
  send(request(19).i(0).i(0x20F6).done());
  EXPECT_EQ(answer(), "from the library");
  send(request(19).i(0).i(0x20F7).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadValue));
  heads[0]->glLibrary = nullptr;
  heads[0]->screen = savedScreen;
  delete instance;
  EXPECT_TRUE(copies().empty());
}

TEST_P(GlxStringsTest, ClientInfoIsCheckedMendedAndForwarded) {
  // n = 5 in 24 bytes, its last byte not NUL: made NUL and forwarded.
  send(request(20).i(1).i(4).i(5).text("GL_AB").pad(3).done());
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].size(), 24u);
  EXPECT_EQ(rawGet32(sent[0], 12, false), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(sent[0].data() + 16)), "GL_A");
  EXPECT_EQ(client->client->glxClientVersion, 68u);
  // n = 5 in 28 bytes, and an n past the request's end.
  send(request(20).i(1).i(4).i(5).text("GL_AB").pad(7).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  send(request(20).i(1).i(4).i(0xFFFFFFF0u).pad(4).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  EXPECT_TRUE(copies().empty());
  // The ARB forms are taken and dropped: no reply, nothing forwarded, no error.
  send(request(33).i(1).i(4).i(0).i(0).i(0).done());
  send(request(35).i(1).i(4).i(0).i(0).i(0).done());
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_TRUE(copies().empty());
  // One version (two words, three for the second form) and strings of 5 and 1 bytes fill them;
  // 0x10000000 versions with nothing behind do not.
  send(request(33).i(1).i(4).i(1).i(5).i(1).i(1).i(4).text("GL_AB").pad(3).text("G").pad(3).done());
  send(request(35).i(1).i(4).i(1).i(0).i(0).i(1).i(4).i(2).done());
  EXPECT_TRUE(core.messages(*client).empty());
  send(request(33).i(1).i(4).i(0x10000000).i(0).i(0).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  send(request(35).i(1).i(4).i(1).i(0).i(0).i(1).i(4).done());
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  EXPECT_TRUE(copies().empty());
  // Their lists have no layout the proxy knows: a client of the other order is reported.
  EXPECT_EQ(core.logged("UNE"), GetParam());
}

// A context with attributes goes to every head with its ids, the head's FBConfig and screen,
// never direct, its pairs unchanged; the checks answer as for the other context requests.
TEST_P(GlxStringsTest, CreateContextAttribs) {
  auto attribs = [&](uint32_t id, uint32_t config, uint32_t screenNumber, uint32_t share, uint32_t pairs,
                     uint32_t words) {
    FakeMessage m = request(34);
    m.i(id).i(config).i(screenNumber).i(share).b(1).pad(3).i(pairs);
    for (uint32_t k = 0; k < words; k++) m.i(0x2091 + k);
    send(m.done());
  };
  uint32_t id = client->id(3), visual = screen->visuals->visualId;
  attribs(id, visual, screen->index, 0, 2, 4);
  EXPECT_TRUE(core.messages(*client).empty());
  auto sent = copies();
  ASSERT_EQ(sent.size(), 2u);
  for (int k = 0; k < 2; k++) {
    ASSERT_EQ(sent[k].size(), 44u);
    EXPECT_EQ(sent[k][1], 34);
    EXPECT_EQ(rawGet32(sent[k], 4, false), core.realId(id, heads[k]));
    EXPECT_EQ(rawGet32(sent[k], 8, false), 0x90u + k);
    EXPECT_EQ(rawGet32(sent[k], 12, false), uint32_t(heads[k]->screen));
    EXPECT_EQ(sent[k][20], 0);
    EXPECT_EQ(rawGet32(sent[k], 24, false), 2u);
    EXPECT_EQ(rawGet32(sent[k], 40, false), 0x2094u);
  }
  EXPECT_EQ(client->client->glxClientVersion, 64u);
  ASSERT_NE(resourceLookupByType(id, kResourceGlxContext), nullptr);

  // A count past the request (0x20000000 pairs wrap to 0 bytes in 32 bits), or short of it.
  attribs(client->id(5), visual, screen->index, 0, 0x20000000, 0);
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  attribs(client->id(5), visual, screen->index, 0, 0, 2);
  EXPECT_EQ(answer(), "error " + std::to_string(kBadLength));
  struct Bad {
    uint32_t context, config, screenNumber, share;
    int code;
  } bad[] = {{client->id(5), visual, 9, 0, kBadValue},
             {id, visual, screen->index, 0, kBadIdChoice},
             {client->id(5), visual, screen->index, client->id(9), kGlxError + 0},
             {client->id(5), 0x77, screen->index, 0, kGlxError + 9}};  // GLXBadFBConfig
  for (const Bad &b : bad) {
    attribs(b.context, b.config, b.screenNumber, b.share, 0, 0);
    EXPECT_EQ(answer(), "error " + std::to_string(b.code));
  }
  EXPECT_TRUE(copies().empty());
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxStringsTest, ::testing::Values(false, true));

}  // namespace
