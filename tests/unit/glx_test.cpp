// GLX set-up on the fake core, in both byte orders: the versions a head contributes, the rows
// and extension strings by the version every head supports, a new generation after a reset,
// and the GLX errors and events that come back from a real server.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xclient/glxsupport.h"
#include "xext/ext.h"
#include "xext/glx.h"

namespace {

constexpr uint8_t kMajor = 149, kEvent = 90, kError = 160;

// What each head's server reports, by screen number (the fake core numbers heads 0, 1, 2).
std::map<int, GlCapabilities> served;
int fakeQuery(struct _XDisplay *, int screen, GlCapabilities *caps) {
  auto it = served.find(screen);
  if (it == served.end()) return 0;
  *caps = it->second;
  return 1;
}

GlCapabilities serverCaps(uint32_t glx, const char *version, const char *gl, const char *glxExtensions) {
  GlCapabilities caps;
  glxsupportDefaultCaps(&caps);
  caps.glxVersion = glx;
  snprintf(caps.glVersion, sizeof caps.glVersion, "%s", version);
  snprintf(caps.glExtensions, sizeof caps.glExtensions, "%s", gl);
  snprintf(caps.glxExtensions, sizeof caps.glxExtensions, "%s", glxExtensions);
  return caps;
}

bool hasWord(const char *text, const std::string &word) {
  std::string padded = std::string(" ") + text + " ";
  return padded.find(" " + word + " ") != std::string::npos;
}

// Meta screen A of heads 0 and 1, meta screen B of head 2, on one real display.
class GlxTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screenA = core.addScreen(1600, 600, 2);
    screenB = core.addScreen(800, 600, 1);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    saved = glxQueryHead;
    glxQueryHead = fakeQuery;
    savedLogging = xprotoLogXErrors;
    xprotoLogXErrors = 1;
    const char *glx = "GLX_ARB_create_context_no_error GLX_ARB_create_context GLX_ARB_create_context_profile "
                      "GLX_EXT_visual_info";
    served = {{0, serverCaps(68, "2.1 Mesa 22", "GL_EXT_texture3D GL_ARB_multitexture", glx)},
              {1, serverCaps(66, "1.2 Mesa 22", "GL_EXT_texture3D", glx)},
              {2, serverCaps(68, "", "GL_EXT_texture GL_ARB_multitexture", glx)}};
  }
  void TearDown() override {
    extResetAll();
    glxQueryHead = saved;
    xprotoLogXErrors = savedLogging;
  }
  ExtensionRecord *init() { return xproxyInitExtension("GLX", 0, kMajor, kEvent, kError); }
  const char *name(uint8_t minor) { return proxyState.requestNames[xcoreRequestNameIndex(kMajor, minor)]; }
  // Feeds a 32-byte message that answers the client's request of that sequence number.
  void feed(FakeBytes message, uint16_t clientSequence) {
    uint16_t real = core.serverSequence(*client, clientSequence);
    memcpy(&message[2], &real, 2);
    core.feedEvents(*client, {message});
  }

  FakeCore core;
  MetaScreen *screenA = nullptr, *screenB = nullptr;
  FakeClient *client = nullptr;
  GlxHeadQuery saved = nullptr;
  int savedLogging = 0;
};

// One head's contribution: a server's text gives the code up to 1.3 and stays; a head served
// inside the proxy goes up to 2.1 with that text; no point: the code of the GLX version.
TEST_P(GlxTest, AdjustVersion) {
  struct Case {
    const char *text;
    uint32_t glx;
    int direct;
    uint32_t code;
    const char *kept;
  } cases[] = {
      {"2.1.2 NVIDIA 1", 68, 0, 67, "2.1.2 NVIDIA 1"}, {"1.2 Mesa", 68, 0, 66, "1.2 Mesa"},
      {"3.0 Mesa", 68, 1, 129, "2.1"},                  {"1.5", 68, 1, 69, "1.5"},
      {"", 68, 0, 67, ""},                               {"", 66, 0, 65, ""},
  };
  Head *head = screenB->heads;
  for (const Case &c : cases) {
    ExtensionRecord record{};
    record.version = 68;
    screenB->glVersion = 0;
    memset(&screenB->glCapabilities, 0, sizeof screenB->glCapabilities);
    GlCapabilities caps = serverCaps(c.glx, c.text, "", "");
    core.clearLog();
    glxAdjustVersion(&record, head, &caps, c.direct);
    EXPECT_EQ(screenB->glVersion, c.code) << c.text;
    EXPECT_STREQ(screenB->glCapabilities.glVersion, c.kept) << c.text;
    EXPECT_STREQ(caps.glVersion, c.kept) << c.text;
    EXPECT_EQ(record.version, c.glx) << c.text;
    EXPECT_TRUE(core.logged(" adjusted to OpenGL " + std::string(c.kept) + " by ")) << c.text;
    EXPECT_EQ(core.logged("Adjusting extension to GLX 1.2 by head2..."), c.glx == 66) << c.text;
  }
  // A second head with a lower code takes the screen's text; a higher one leaves it.
  ExtensionRecord record{};
  record.version = 68;
  screenB->glVersion = 0;
  memset(&screenB->glCapabilities, 0, sizeof screenB->glCapabilities);
  GlCapabilities low = serverCaps(68, "1.1 low", "", ""), high = serverCaps(68, "1.3 high", "", "");
  glxAdjustVersion(&record, head, &low, 0);
  glxAdjustVersion(&record, head, &high, 0);
  EXPECT_EQ(screenB->glVersion, 65u);
  EXPECT_STREQ(screenB->glCapabilities.glVersion, "1.1 low");
}

// Heads at GLX 1.4 and 1.2: the record ends at 1.2, the rows of 1.3 and 1.4 stay unserved,
// those of 1.1 and 1.2 are named; the strings get the 1.2 names and never the create_context
// ones, also behind a longer name, which stays whole.
TEST_P(GlxTest, VersionsRowsAndStrings) {
  ExtensionRecord *record = init();
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->name, nullptr);
  EXPECT_EQ(record->version, 66u);
  EXPECT_EQ(proxyState.ext.glx, record);
  EXPECT_EQ(proxyState.ext.glxMajor, kMajor);
  EXPECT_TRUE(core.logged("Adjusting extension to GLX 1.2 by head1..."));
  for (unsigned minor : {18u, 19u, 20u, 143u, 146u, 21u, 1u, 17u, 35u, 101u, 175u, 202u})
    EXPECT_NE(name(uint8_t(minor)), nullptr) << minor;
  for (unsigned minor = 22; minor <= 32; minor++) EXPECT_EQ(name(uint8_t(minor)), nullptr) << minor;
  for (unsigned minor = 147; minor <= 160; minor++) EXPECT_EQ(name(uint8_t(minor)), nullptr) << minor;
  for (unsigned minor : {36u, 100u, 176u, 177u, 181u, 185u, 196u, 203u}) EXPECT_EQ(name(uint8_t(minor)), nullptr);
  EXPECT_STREQ(name(129), "GLXGetString");
  EXPECT_STREQ(name(145), "GLXGenTextures");
  EXPECT_EQ(record->eventCount, 2u);
  EXPECT_EQ(record->errorCount, 14u);
  EXPECT_STREQ(proxyState.errorNames[kError + 13], "GLXBadProfileARB");

  // Screen A: the GL words of both heads and the lower GL version; screen B its own head's.
  EXPECT_EQ(screenA->glVersion, 66u);
  EXPECT_STREQ(screenA->glCapabilities.glVersion, "1.2 Mesa 22");
  EXPECT_EQ(screenB->glVersion, 67u);
  for (MetaScreen *s : {screenA, screenB}) {
    const GlCapabilities &caps = s->glCapabilities;
    for (const char *word : {"GL_ARB_shader_objects", "GL_EXT_texture_object"})
      EXPECT_TRUE(hasWord(caps.glExtensions, word)) << word;
    for (const char *word : {"GLX_SGI_make_current_read", "GLX_SGIX_fbconfig", "GLX_EXT_visual_info",
                             "GLX_ARB_create_context_no_error"})
      EXPECT_TRUE(hasWord(caps.glxExtensions, word)) << word;
    EXPECT_FALSE(hasWord(caps.glxExtensions, "GLX_ARB_create_context"));
    EXPECT_FALSE(hasWord(caps.glxExtensions, "GLX_ARB_create_context_profile"));
  }
  EXPECT_FALSE(hasWord(screenA->glCapabilities.glExtensions, "GL_ARB_multitexture"));
  EXPECT_TRUE(hasWord(screenB->glCapabilities.glExtensions, "GL_EXT_texture"));

  // A request on a row of 1.3 is refused as an unsupported request.
  FakeMessage request(client->big);
  request.b(kMajor).b(26).s(0).i(0).i(0).i(0).i(0);
  {
    FakeCore::Current current(*client);
    core.send(*client, request.done());
  }
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(got[0][1], 1);  // BadRequest
}

// At GLX 1.1 none of the 1.2 names is added; the shader name always is.
TEST_P(GlxTest, OldVersionAddsOnlyTheShaderName) {
  served[1].glxVersion = 65;
  ExtensionRecord *record = init();
  ASSERT_NE(record->name, nullptr);
  EXPECT_EQ(record->version, 65u);
  EXPECT_NE(name(18), nullptr);
  EXPECT_EQ(name(143), nullptr);
  const GlCapabilities &caps = screenA->glCapabilities;
  EXPECT_TRUE(hasWord(caps.glExtensions, "GL_ARB_shader_objects"));
  EXPECT_FALSE(hasWord(caps.glExtensions, "GL_EXT_texture_object"));
  EXPECT_FALSE(hasWord(caps.glxExtensions, "GLX_SGI_make_current_read"));
  EXPECT_FALSE(hasWord(caps.glxExtensions, "GLX_SGIX_fbconfig"));
  // Screen B's head is at 1.4, but the record went down for every screen.
  EXPECT_FALSE(hasWord(screenB->glCapabilities.glxExtensions, "GLX_SGIX_fbconfig"));
}

// A reset and a new generation start from the heads again: names and versions the servers
// now offer come through, and the log lines repeat word for word.
TEST_P(GlxTest, NewGenerationStartsAfresh) {
  ASSERT_NE(init()->name, nullptr);
  std::vector<std::string> first;
  for (const std::string &line : core.log())
    if (line.find("adjusted to") != std::string::npos) first.push_back(line);
  ASSERT_EQ(first.size(), 3u);
  extResetAll();
  EXPECT_EQ(proxyState.ext.glx, nullptr);
  core.clearLog();
  ASSERT_NE(init()->name, nullptr);
  std::vector<std::string> second;
  for (const std::string &line : core.log())
    if (line.find("adjusted to") != std::string::npos) second.push_back(line);
  EXPECT_EQ(second, first);

  extResetAll();
  served[1] = serverCaps(68, "1.3 new", "GL_EXT_texture3D GL_ARB_multitexture", "GLX_new");
  served[0] = serverCaps(68, "1.3 new", "GL_EXT_texture3D GL_ARB_multitexture", "GLX_new");
  ExtensionRecord *record = init();
  EXPECT_EQ(record->version, 68u);
  EXPECT_EQ(screenA->glVersion, 67u);
  EXPECT_TRUE(hasWord(screenA->glCapabilities.glExtensions, "GL_ARB_multitexture"));
  EXPECT_TRUE(hasWord(screenA->glCapabilities.glxExtensions, "GLX_new"));
  EXPECT_NE(name(26), nullptr);
}

// Every GLX error from a head reaches the client with its sequence number and its name in the
// log; the values of resource errors come back as the client's ids, the others as sent. A
// GLXBadDrawable of SwapBuffers is dropped.
TEST_P(GlxTest, ErrorsFromAHead) {
  ASSERT_NE(init()->name, nullptr);
  Head *head = screenA->heads;
  uint32_t clientId = client->id(7), realId = core.realId(clientId, head);
  ASSERT_NE(clientId, realId);
  const char *names[] = {"GLXBadContext", "GLXBadContextState", "GLXBadDrawable", "GLXBadPixmap",
                         "GLXBadContextTag", "GLXBadCurrentWindow", "GLXBadRenderRequest", "GLXBadLargeRequest",
                         "GLXUnsupportedPrivateRequest", "GLXBadFBConfig", "GLXBadPbuffer",
                         "GLXBadCurrentDrawable", "GLXBadWindow", "GLXBadProfileARB"};
  const bool mapped[] = {true, true, true, true, false, true, false, false, false, false, true, true, true, false};
  for (unsigned k = 0; k < 14; k++) {
    bool isId = mapped[k];
    FakeBytes error(32, 0);
    error[1] = uint8_t(kError + k);
    uint32_t value = isId ? realId : 1234;
    memcpy(&error[4], &value, 4);
    uint16_t minor = 5;
    memcpy(&error[8], &minor, 2);
    error[10] = kMajor;
    core.clearLog();
    feed(error, uint16_t(40 + k));
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u) << names[k];
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], kError + k);
    EXPECT_EQ(client->u16(got[0], 2), 40u + k);
    EXPECT_EQ(client->u32(got[0], 4), isId ? clientId : 1234u) << names[k];
    EXPECT_EQ(client->u16(got[0], 8), 5u);
    EXPECT_EQ(got[0][10], kMajor);
    std::string text = std::string(names[k]) + (isId ? " 0x" : " ");
    bool hex = k == 9 || k == 13;
    char number[16];
    snprintf(number, sizeof number, isId ? "%x" : hex ? "0x%x" : "%u", isId ? clientId : 1234u);
    EXPECT_TRUE(core.logged("X error " + text + number + " in ")) << text + number;
  }
  FakeBytes swap(32, 0);
  swap[1] = kError + 2;
  uint16_t minor = 11;
  memcpy(&swap[8], &minor, 2);
  swap[10] = kMajor;
  core.clearLog();
  feed(swap, 60);
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_TRUE(core.logged("SwapBuffers workaround ..."));
  EXPECT_FALSE(core.logged("GLXBadDrawable"));
}

// PbufferClobber carries the client's drawable unless another client sent it; the second event
// goes nowhere.
TEST_P(GlxTest, Events) {
  ASSERT_NE(init()->name, nullptr);
  Head *head = screenA->heads;
  uint32_t clientId = client->id(9), realId = core.realId(clientId, head);
  for (bool sent : {false, true}) {
    FakeBytes event(32, 0);
    event[0] = uint8_t(kEvent | (sent ? 0x80 : 0));
    uint16_t type = 0x8017, drawType = 0x8019, width = 300;
    memcpy(&event[4], &type, 2);
    memcpy(&event[6], &drawType, 2);
    memcpy(&event[8], &realId, 4);
    memcpy(&event[22], &width, 2);
    feed(event, 70);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0] & 0x7f, kEvent);
    EXPECT_EQ(client->u16(got[0], 2), 70u);
    EXPECT_EQ(client->u16(got[0], 4), 0x8017u);
    EXPECT_EQ(client->u16(got[0], 6), 0x8019u);
    EXPECT_EQ(client->u32(got[0], 8), sent ? realId : clientId);
    EXPECT_EQ(client->u16(got[0], 22), 300u);
  }
  FakeBytes unserved(32, 0);
  unserved[0] = kEvent + 1;
  core.clearLog();
  feed(unserved, 71);
  EXPECT_TRUE(core.messages(*client).empty());
  EXPECT_TRUE(core.logged("WIP"));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, GlxTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
