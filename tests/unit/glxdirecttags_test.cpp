// Direct contexts and tag slots of a GL library instance on the recording fake GL library (an
// instance set up on a private Xvfb): slot reuse and sharing, the end of the slot range, the
// synchronisation before a slot first draws and before a map of its window, refusals of
// make-current, an open glBegin that holds nobody, context creation and the scratch buffer;
// which GLX requests park their client until its earlier requests reached the real server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xvfb_fixture.h"

namespace {

class GlxDirectTagsTest : public GlxDirectXvfbTest {
 protected:
  void SetUp() override {
    GlxDirectXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    addContexts(serials_, 3);
    syncs = 0;
    glxdirectSyncClient = countSync;
    fakeglClearLog();
  }
  uint32_t tag(int context, uint32_t draw, uint32_t read, uint32_t proxyTag = 7) {
    return glxdirectCreateTag(instance_, serials_[context], draw, read, proxyTag);
  }

  uint32_t serials_[3] = {};
};

TEST_F(GlxDirectTagsTest, SlotsAreReusedSharedAndEndAt255) {
  EXPECT_EQ(serials_[1], serials_[0] + 1);
  EXPECT_EQ(glxdirectCreateTag(instance_, 999999, 1, 1, 7), 0u);  // no such context
  ASSERT_EQ(tag(0, 0x100, 0x100), 1u);
  ASSERT_EQ(tag(1, 0x100, 0x100), 2u);
  ASSERT_EQ(tag(2, 0x100, 0x101), 3u);
  // The same context and drawables under another proxy tag: the slot, now shared.
  EXPECT_EQ(tag(1, 0x100, 0x100, 9), 2u);
  EXPECT_EQ(instance_->tagSlots[2].proxyTag, 9u);
  dGLDestroyTag(instance_, 2);  // one of its two tags goes: it stays
  EXPECT_EQ(tag(0, 0x200, 0x200), 4u);
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, 2), 1);
  dGLDestroyTag(instance_, 2);  // the last: freed, and reused before the highest grows
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, 2), 0);
  EXPECT_TRUE(core_.logged("Lumora: Invalid tag #2 for "));
  EXPECT_EQ(tag(2, 0x300, 0x300), 2u);
  // The highest goes: the next lower slot in use becomes the highest, and a new one extends it.
  dGLDestroyTag(instance_, 4);
  dGLDestroyTag(instance_, 3);
  EXPECT_EQ(instance_->highestTagSlot, 2u);
  EXPECT_EQ(tag(0, 0x400, 0x400), 3u);
  dGLDestroyTag(instance_, 300);
  EXPECT_TRUE(core_.logged("Unknown tag 300 in dGLDestroyTag("));
  // Up to 255 and no further; a freed slot serves again.
  for (uint32_t slot = 4; slot <= 255; slot++) ASSERT_EQ(tag(0, 0x1000 + slot, 0), slot);
  EXPECT_EQ(tag(1, 0x5000, 0), 0u);
  EXPECT_TRUE(core_.logged("Lumora: No free tag slot at "));
  dGLDestroyTag(instance_, 100);
  EXPECT_EQ(tag(1, 0x5000, 0), 100u);
}

TEST_F(GlxDirectTagsTest, FirstMakeCurrentSynchronisesAndRefusalsAreReported) {
  uint32_t slot = tag(0, 0x100, 0x101);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, slot), 1);
  EXPECT_EQ(syncs, 1);
  EXPECT_EQ(instance_->currentTagSlot, slot);
  ASSERT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 1u);
  EXPECT_NE(std::string(fakeglLog()).find(", 256, 257, "), std::string::npos) << fakeglLog();
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, slot), 1);
  EXPECT_EQ(syncs, 1);
  // Slots that cannot be made current: no call, the current slot stays.
  fakeglClearLog();
  for (uint32_t bad : {0u, 2u, 256u, 0xFFFFFFFFu}) EXPECT_EQ(glxdirectMakeTagCurrent(instance_, bad), 0) << bad;
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 0u);
  EXPECT_EQ(instance_->currentTagSlot, slot);
  // The library refuses: reported, and no slot is current.
  fakeglSetMakeCurrent(0);
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, slot), 0);
  EXPECT_EQ(instance_->currentTagSlot, 0u);
  EXPECT_TRUE(core_.logged("Lumora: Can't make tag #1 current for "));
}

TEST_F(GlxDirectTagsTest, MapOfADrawDrawableSynchronises) {
  Head head{};
  head.glLibrary = instance_;
  uint32_t first = tag(0, 0x100, 0x200), second = tag(1, 0x300, 0x300);
  glxdirectFlushForDrawable(&head, 0x100);  // never made current yet: nothing drew
  EXPECT_EQ(syncs, 0);
  glxdirectMakeTagCurrent(instance_, first);
  glxdirectMakeTagCurrent(instance_, second);
  syncs = 0;
  glxdirectFlushForDrawable(&head, 0x100);  // drawn to before, not current now
  EXPECT_EQ(syncs, 1);
  glxdirectFlushForDrawable(&head, 0x200);  // read only
  glxdirectFlushForDrawable(&head, 0x999);
  EXPECT_EQ(syncs, 1);
  head.glLibrary = nullptr;
  glxdirectFlushForDrawable(&head, 0x100);
  EXPECT_EQ(syncs, 1);
}

// A window's end reaches every slot that draws into or reads from it: the library lets go of
// it when it is current, and none of them is made current again (not even to be released).
TEST_F(GlxDirectTagsTest, AnEndedWindowIsNeverMadeCurrentAgain) {
  Head head{};
  head.glLibrary = instance_;
  uint32_t drawing = tag(0, 0x100, 0x100), reading = tag(1, 0x200, 0x100), other = tag(2, 0x300, 0x300);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, drawing), 1);
  instance_->insideBegin = 1;
  fakeglClearLog();
  glxdirectWindowGone(&head, 0x100);
  EXPECT_EQ(fakeglCountCalls("glXMakeCurrent"), 1u);
  EXPECT_EQ(instance_->currentTagSlot, 0u);
  EXPECT_EQ(instance_->insideBegin, 0);
  fakeglClearLog();
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, drawing), 0);
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, reading), 0);
  EXPECT_TRUE(core_.logged("draws into a destroyed drawable"));
  dGLDestroyTag(instance_, reading);
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 0u);
  // A slot on another window still serves; a window nobody draws into changes nothing.
  glxdirectWindowGone(&head, 0x999);
  glxdirectWindowGone(nullptr, 0x300);
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, other), 1);
}

// The glBegin flag, client arrays and array room are those of the current slot's context: a
// switch to another context brings its own, a slot of the same context shares them.
TEST_F(GlxDirectTagsTest, GlBeginStateFollowsItsContext) {
  uint32_t first = tag(0, 0x100, 0x100), second = tag(1, 0x200, 0x200), same = tag(0, 0x300, 0x300);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, first), 1);
  instance_->insideBegin = 1;
  instance_->beginArrayRoom = 5;
  instance_->enabledArrays[5] = 1;
  instance_->beginMode = 7, instance_->beginVertices = 6, instance_->beginUnsure = 0, instance_->workIntervalCap = 99;
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, second), 1);
  EXPECT_EQ(instance_->insideBegin, 0);
  EXPECT_EQ(instance_->beginArrayRoom, 0u);
  EXPECT_EQ(instance_->workIntervalCap, 0u);
  instance_->beginMode = 1, instance_->beginVertices = 1, instance_->beginUnsure = 1;
  // The open primitive's count goes on where it stood: the proxy may still cut it between two
  // of its quads.
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, first), 1);
  EXPECT_EQ(instance_->beginMode, 7u);
  EXPECT_EQ(instance_->beginVertices, 6u);
  EXPECT_EQ(instance_->beginUnsure, 0);
  EXPECT_EQ(instance_->workIntervalCap, 99u);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, second), 1);
  EXPECT_EQ(instance_->enabledArrays[5], 0);
  instance_->beginArrayRoom = 9;
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, same), 1);
  EXPECT_EQ(instance_->insideBegin, 1);
  EXPECT_EQ(instance_->beginArrayRoom, 5u);
  EXPECT_EQ(instance_->enabledArrays[5], 1);
  // Released (no context current): nothing open; the context keeps its own.
  dGLDestroyTag(instance_, same);
  EXPECT_EQ(instance_->insideBegin, 0);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, second), 1);
  EXPECT_EQ(instance_->beginArrayRoom, 9u);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, first), 1);
  EXPECT_EQ(instance_->insideBegin, 1);
}

// A glBegin left open at the end of a request stays open in the library with its context:
// nobody else is held (no grab, no client suspended), and another context draws meanwhile.
TEST_F(GlxDirectTagsTest, AnOpenGlBeginHoldsNobody) {
  FakeClient &a = core_.addClient(), &b = core_.addClient();
  miscScheduleClientReads(a.client);
  miscScheduleClientReads(b.client);
  uint32_t own = tag(0, 0x100, 0x100), other = tag(1, 0x200, 0x200);
  const uint8_t begin[8] = {8, 0, 4, 0, 4, 0, 0, 0};  // glBegin(GL_TRIANGLES)
  {
    FakeCore::Current current(a);
    EXPECT_EQ(glxdirectRender(instance_, own, begin, begin + sizeof begin), 0);
  }
  EXPECT_EQ(instance_->insideBegin, 1);
  EXPECT_EQ(miscGrabbingClient, nullptr);
  EXPECT_NE(b.client->readOrder, nullptr);
  {
    FakeCore::Current current(b);
    const uint8_t end[4] = {4, 0, 23, 0};  // a glEnd of its own: nothing open there
    EXPECT_EQ(glxdirectRender(instance_, other, end, end + sizeof end), 0);
    EXPECT_EQ(instance_->insideBegin, 0);
  }
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, own), 1);
  EXPECT_EQ(instance_->insideBegin, 1);
  EXPECT_EQ(instance_->beginMode, 4u);
}

TEST_F(GlxDirectTagsTest, ContextsByVisualAndByConfiguration) {
  uint32_t visual = uint32_t(XVisualIDFromVisual(DefaultVisual(display_, 0)));
  uint32_t plain = dGLCreateContext(instance_, 0, visual, serials_[1], nullptr);
  EXPECT_EQ(plain, serials_[2] + 1);
  EXPECT_NE(std::string(fakeglLog()).find(", 0x2000, 1)"), std::string::npos) << fakeglLog();
  EXPECT_NE(glxdirectContextBySerial(instance_, plain), nullptr);
  EXPECT_EQ(dGLCreateContext(instance_, 0, 0x7FFFFFF, 0, nullptr), 0u);
  EXPECT_TRUE(core_.logged("Lumora: Unknown visual #134217727 in dGLCreateContext by "));
  // With attributes: the configuration of that id, else the one of that visual, else none.
  fakeglSetFbConfigCount(3);
  fakeglSetFbConfigAttrib(1, 0x8013, 0x91);
  fakeglSetFbConfigAttrib(2, 0x8013, 0x92);
  fakeglSetFbConfigAttrib(2, 0x800B, 0x61);
  auto hex = [](const void *p) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%p", p);
    return std::string(buffer);
  };
  std::string first = hex(glxdirectFindFBConfig(instance_, 0, 0x91)),
              second = hex(glxdirectFindFBConfig(instance_, 0, 0x92));
  EXPECT_EQ(glxdirectFindFBConfig(instance_, 0, 0x61), nullptr);
  std::vector<int> pairs;
  for (int k = 0; k < 57; k++) pairs.insert(pairs.end(), {0x2091, k});
  pairs.push_back(0);
  struct Case {
    uint32_t id;
    int share;
    std::string arguments;
  } cases[] = {{0x91, 0, ", " + first + ", 0x1000, 1, "},
               {0x61, -1, ", " + second + ", NULL, 1, "},
               {0x55, -1, ", NULL, NULL, 1, "}};
  for (const Case &c : cases) {
    fakeglClearLog();
    EXPECT_NE(dGLCreateContext(instance_, 0, c.id, c.share < 0 ? 0 : serials_[c.share], pairs.data()), 0u);
    EXPECT_EQ(fakeglCountCalls("glXCreateContextAttribsARB"), 1u);
    EXPECT_NE(std::string(fakeglLog()).find(c.arguments), std::string::npos) << c.arguments << fakeglLog();
  }
  // One pair more than the list holds: nothing made.
  pairs.back() = 0x2092;
  pairs.insert(pairs.end(), {1, 0});
  fakeglClearLog();
  EXPECT_EQ(dGLCreateContext(instance_, 0, 0x91, 0, pairs.data()), 0u);
  EXPECT_EQ(fakeglCountCalls("glXCreateContextAttribsARB"), 0u);
}

TEST_F(GlxDirectTagsTest, SynchronisationUsesTheConnectionToTheInstancesDisplay) {
  FakeClient &a = core_.addClient(false, 2);
  ServerDisplay real{};
  real.display = display_;
  a.client->displays[1]->display = &real;
  uint32_t limit = xproxySyncWaitLimitMs;
  xproxySyncWaitLimitMs = 20;  // nobody answers: each sync gives up
  auto syncsOn = [&](size_t connection) {
    size_t n = 0;
    for (const FakeBytes &r : core_.serverRequests(a, connection)) n += r[0] == 17 && r[4] == 3;  // atom 3
    return n;
  };
  glxSyncClientWithDisplay(a.client, display_);
  EXPECT_EQ(syncsOn(0), 0u);
  EXPECT_EQ(syncsOn(1), 1u);
  // A display none of its connections is to: all of them.
  a.client->displays[1]->display = nullptr;
  glxSyncClientWithDisplay(a.client, display_);
  EXPECT_EQ(syncsOn(0), 1u);
  EXPECT_EQ(syncsOn(1), 1u);
  xproxySyncWaitLimitMs = limit;
}

// The requests whose library call first uses a new slot of the client's tag (or sets a swap
// interval) park the client behind a round trip on its connection to the instance's display;
// the rest of the request then runs with the client's syncs taken as done.
namespace parked {
int resumed = 0;
const char *failure = nullptr;
void resume(uint8_t *, uint32_t, const char *why) {
  resumed++;
  failure = why;
}
Display *display = nullptr;
int synced = 0;
void handler(uint8_t *, uint32_t, uint8_t *) {
  synced += glxdirectSyncedClient == xproxyCurrentClient;
  glxSyncClientWithDisplay(xproxyCurrentClient, display);  // nothing written: done already
}
}  // namespace parked

TEST_F(GlxDirectTagsTest, RequestsThatFirstUseANewSlotParkTheirClient) {
  MetaScreen *screen = core_.addScreen(320, 240);
  Head *head = core_.heads(screen)[0];
  head->glLibrary = instance_;
  FakeClient &a = core_.addClient(false, 2);
  ServerDisplay real{};
  real.display = display_;
  a.client->displays[1]->display = &real;
  GlxTagEntry *fresh = glxAllocTag(a.client), *used = glxAllocTag(a.client);
  fresh->screen = used->screen = screen;
  uint32_t freshTag = glxTagOf(fresh), usedTag = glxTagOf(used);
  setGLXTagForServer(freshTag, head, tag(0, 0x100, 0x100, freshTag));
  uint32_t usedSlot = tag(1, 0x200, 0x200, usedTag);
  setGLXTagForServer(usedTag, head, usedSlot);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, usedSlot), 1);
  FakeCore::Current current(a);
  auto request = [](uint8_t minor, std::vector<uint32_t> words) {
    FakeMessage m(false);
    m.b(150).b(minor).s(0);
    for (uint32_t w : words) m.i(w);
    return m.done();
  };
  // Parks (true) or not; a park is answered and its resume run before the next request.
  auto parksFor = [&](FakeClient &c, const FakeBytes &r) {
    if (!glxdirectParkForSync(r.data(), uint32_t(r.size()), parked::resume)) return false;
    EXPECT_NE(c.client->park, nullptr);
    for (size_t k = 0; k < c.serverPeers.size(); k++) core_.answerRoundTrips(c, k);
    core_.runLoopOnce();
    EXPECT_EQ(c.client->park, nullptr);
    return true;
  };
  auto parks = [&](const FakeBytes &r) { return parksFor(a, r); };
  core_.serverRequests(a, 0);
  core_.serverRequests(a, 1);
  // Render, a single request, a MakeCurrent moving the tag, CopyContext, DestroyContext: the new
  // slot's tag parks, on the connection to the instance's display only.
  EXPECT_TRUE(parks(request(1, {freshTag})));
  EXPECT_EQ(core_.serverRequests(a, 0).size(), 0u);
  EXPECT_EQ(core_.serverRequests(a, 1).size(), 1u);
  EXPECT_EQ(parked::resumed, 1);
  EXPECT_EQ(parked::failure, nullptr);
  EXPECT_TRUE(parks(request(112, {freshTag, 0})));
  EXPECT_TRUE(parks(request(5, {0x300, 0x400, freshTag})));
  EXPECT_TRUE(parks(request(10, {1, 2, 3, freshTag})));
  EXPECT_TRUE(parks(request(4, {0x400})));
  EXPECT_EQ(parked::resumed, 5);
  // RenderLarge: only its last piece draws.
  EXPECT_FALSE(parks(request(2, {freshTag, 1 | 2 << 16, 4, 0})));
  EXPECT_TRUE(parks(request(2, {freshTag, 2 | 2 << 16, 4, 0})));
  // The used slot's tag, no tag, a fresh MakeCurrent, a request without a tag, a short one.
  EXPECT_FALSE(parks(request(1, {usedTag})));
  EXPECT_FALSE(parks(request(1, {0})));
  EXPECT_FALSE(parks(request(5, {0x300, 0x400, 0})));
  EXPECT_FALSE(parks(request(7, {1, 4})));
  EXPECT_FALSE(parks(request(5, {0x300})));
  // A swap interval parks whatever the tag, on every connection.
  EXPECT_TRUE(parks(request(16, {1416, usedTag, 0x200, 1})));
  EXPECT_EQ(core_.serverRequests(a, 0).size(), 1u);
  EXPECT_FALSE(parks(request(16, {1417, usedTag, 0x200, 1})));
  // A client of the other byte order: its vendor requests are read as it wrote them.
  {
    FakeClient &b = core_.addClient(true, 1);
    GlxTagEntry *other = glxAllocTag(b.client);
    other->screen = screen;
    uint32_t otherTag = glxTagOf(other);
    setGLXTagForServer(otherTag, head, tag(2, 0x500, 0x500, otherTag));
    FakeCore::Current big(b);
    EXPECT_TRUE(parksFor(b, FakeMessage(true).b(150).b(16).s(0).i(1416).i(0).i(0x500).i(1).done()));
    EXPECT_TRUE(parksFor(b, FakeMessage(true).b(150).b(17).s(0).i(1).i(otherTag).i(0).done()));
    EXPECT_FALSE(parksFor(b, FakeMessage(true).b(150).b(17).s(0).i(1).i(usedTag).i(0).done()));
  }
  // The first use made: the tag parks no more.
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, glxTagForServer(freshTag, head)), 1);
  EXPECT_FALSE(parks(request(1, {freshTag})));

  // The rest of a parked request: the client's syncs are done, and after it they wait again.
  core_.serverRequests(a, 0);
  core_.serverRequests(a, 1);
  uint32_t limit = xproxySyncWaitLimitMs;
  xproxySyncWaitLimitMs = 20;  // nobody answers: a sync gives up
  parked::display = display_;
  FakeBytes render = request(1, {freshTag});
  glxdirectRunSynced(parked::handler, render.data(), uint32_t(render.size()), "gave up");
  EXPECT_EQ(parked::synced, 1);
  EXPECT_EQ(glxdirectSyncedClient, nullptr);
  EXPECT_TRUE(core_.logged("gave up"));
  EXPECT_EQ(core_.serverRequests(a, 0).size() + core_.serverRequests(a, 1).size(), 0u);
  glxSyncClientWithDisplay(a.client, display_);
  EXPECT_EQ(core_.serverRequests(a, 1).size(), 1u);
  xproxySyncWaitLimitMs = limit;
  head->glLibrary = nullptr;
  glxFreeTagTable();
}

TEST_F(GlxDirectTagsTest, ScratchGrowsAndKeepsItsBufferWhenRefused) {
  EXPECT_EQ(glxdirectScratch(instance_, instance_->scratchSize), instance_->scratch);
  uint8_t *large = glxdirectScratch(instance_, uint64_t(instance_->scratchSize) + 1);
  ASSERT_NE(large, nullptr);
  large[instance_->scratchSize - 1] = 1;
  uint32_t size = instance_->scratchSize;
  EXPECT_EQ(glxdirectScratch(instance_, uint64_t(1) << 33), nullptr);
  EXPECT_EQ(instance_->scratch, large);
  EXPECT_EQ(instance_->scratchSize, size);
}

}  // namespace

namespace {

// A pbuffer destroyed while slots draw into it or read from it: the library lets go of the
// current one first, and no slot on it is made current again, not even to be released.
TEST_F(GlxDirectTagsTest, SlotsOfADestroyedDrawableAreNeverMadeCurrent) {
  instance_->livePbuffers = 2;  // another pbuffer stays: no reload
  ASSERT_EQ(tag(0, 0x300, 0x300), 1u);
  ASSERT_EQ(tag(1, 0x100, 0x300), 2u);
  ASSERT_EQ(tag(2, 0x100, 0x100), 3u);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, 1), 1);
  fakeglClearLog();
  glxdirectDestroyPbuffer(instance_, 0x300);
  std::string log = fakeglLog();
  size_t released = log.find("glXMakeCurrent("), destroyed = log.find("glXDestroyPbuffer(");
  ASSERT_NE(released, std::string::npos) << log;
  EXPECT_LT(released, destroyed) << log;
  EXPECT_EQ(instance_->currentTagSlot, 0u);
  fakeglClearLog();
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, 2), 0);
  dGLDestroyTag(instance_, 1);
  dGLDestroyTag(instance_, 2);
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 0u) << fakeglLog();
  // The freed slots serve again, unmarked (the highest free first).
  EXPECT_EQ(tag(0, 0x300, 0x300), 2u);
  EXPECT_EQ(glxdirectMakeTagCurrent(instance_, 2), 1);
}

// A swap under no context tag: under a live slot that draws into the drawable, else under a
// context of the visual made for that call alone; a drawable that a slot marks gone, or one with
// neither a slot nor a visual, is never handed to the library.
TEST_F(GlxDirectTagsTest, SwapsUnderNoTagNeedAContextAndALiveDrawable) {
  Head head{};
  head.glLibrary = instance_;
  uint32_t live = tag(0, 0x100, 0x100);
  tag(1, 0x200, 0x200);
  glxdirectWindowGone(&head, 0x200);
  uint32_t visual = uint32_t(XVisualIDFromVisual(DefaultVisual(instance_->display, 0)));
  fakeglClearLog();
  glxdirectSwapWithoutTag(instance_, 0x200, 0, visual);
  glxdirectSwapWithoutTag(instance_, 0x300, 0, 0);
  EXPECT_STREQ(fakeglLog(), "");
  glxdirectSwapWithoutTag(instance_, 0x100, 0, visual);
  EXPECT_EQ(instance_->currentTagSlot, live);
  EXPECT_EQ(fakeglCountCalls("glXSwapBuffers"), 1u);
  EXPECT_EQ(fakeglCountCalls("glXCreateContext"), 0u);
  fakeglClearLog();
  glxdirectSwapWithoutTag(instance_, 0x300, 0, visual);
  std::string log = fakeglLog();
  size_t made = log.find("glXCreateContext("), current = log.find("glXMakeCurrent("),
         swapped = log.find("glXSwapBuffers("), released = log.find("glXMakeCurrent(", current + 1),
         destroyed = log.find("glXDestroyContext(");
  ASSERT_NE(destroyed, std::string::npos) << log;
  EXPECT_TRUE(made < current && current < swapped && swapped < released && released < destroyed) << log;
  EXPECT_EQ(instance_->currentTagSlot, 0u);
}

}  // namespace
