// Whose state a GL request of tarvo's in-proxy GL ("lumora on", the system's GL library) works
// on, from raw clients of both byte orders: a window that ends under a current tag (destroyed,
// its parent's subwindows destroyed, an ancestor destroyed, its owner closed, killed, or killed
// after a retained close) is never drawn into again; the glBegin state and array room of one
// context never stand for another's; a texture binding under a tag that is not the client's, or
// on a drawable that is no GLX pixmap, is refused before the library is called. Answers are
// compared with Xvfb's own GLX (+iglx) where the server has it. Each case ends with the client
// still served, another client served, and tarvo ending with status 0 (a crash or an
// AddressSanitizer report would change it).
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "innerwindow_fixture.h"
#include "lumoraclient_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kGlxBadPixmap = 3, kGlxBadContextTag = 4, kGlxBadCurrentWindow = 5;
constexpr uint32_t kVertexArray = 0x8074, kArrayBuffer = 0x8892, kStaticDraw = 0x88E4, kShort = 0x1402,
                   kDouble = 0x140A, kGlPoints = 0;

// A raw client speaking GLX in its byte order: windows, contexts and tags of its own.
class GlClient {
 public:
  std::string start(int display, char order, bool doubleBuffered = false) {
    if (std::string failed = raw.connect(display, order); !failed.empty()) return failed;
    big = order == 'B';
    RawBytes answer;
    if (std::string failed = raw.roundTrip(RawRequest(big).b(98).b(0).s(3).s(3).s(0).text("GLX").align().done(), answer);
        !failed.empty())
      return failed;
    if (answer[0] != 1 || answer[8] == 0) return "no GLX";
    major = answer[9];
    firstError = answer[11];
    visual = lumoraGlVisual(raw, big, major, doubleBuffered, false);
    if (visual == 0) return "no visual";
    colormap = newId();
    raw.send(RawRequest(big).b(78).b(0).s(0).i(colormap).i(raw.rootWindow()).i(visual).done());
    return "";
  }
  uint32_t newId() { return raw.idBase() | ++ids; }

  // A mapped 32x32 window of the GL visual under the parent (0: the root).
  uint32_t window(uint32_t parent = 0) {
    uint32_t id = newId();
    raw.send(RawRequest(big)
                 .b(1).b(24).s(0).i(id).i(parent ? parent : raw.rootWindow()).s(0).s(0).s(32).s(32).s(0).s(1)
                 .i(visual).i(0x0002 | 0x0008 | 0x2000).i(0).i(0).i(colormap)
                 .done());
    raw.send(RawRequest(big).b(8).b(0).s(0).i(id).done());
    return id;
  }
  uint32_t context() {
    uint32_t id = newId();
    raw.send(RawRequest(big).b(major).b(3).s(0).i(id).i(visual).i(0).i(0).b(0).pad(3).done());
    return id;
  }
  // MakeCurrent: the new tag, 0 after an error (its code through *error).
  uint32_t makeCurrent(uint32_t drawable, uint32_t context, uint32_t oldTag, uint8_t *error = nullptr) {
    RawBytes answer;
    std::string failed =
        raw.roundTrip(RawRequest(big).b(major).b(5).s(0).i(drawable).i(context).i(oldTag).done(), answer, 20000);
    EXPECT_EQ(failed, "");
    if (error) *error = failed.empty() && answer[0] == 0 ? answer[1] : 0;
    return failed.empty() && answer[0] == 1 ? rawGet32(answer, 8, big) : 0;
  }

  // One render command under the tag.
  RawBytes render(uint32_t tag, uint16_t opcode, const RawRequest &d) const {
    RawRequest r(big);
    r.b(major).b(1).s(0).i(tag).s(uint16_t(4 + lumoraPad4(d.d.size()))).s(opcode);
    r.d.insert(r.d.end(), d.d.begin(), d.d.end());
    return r.align().done();
  }
  RawRequest data() const { return RawRequest(big); }
  RawBytes glClear(uint32_t tag) const { return render(tag, 127, data().i(0x4000)); }
  RawBytes swapBuffers(uint32_t tag, uint32_t drawable) const {
    return RawRequest(big).b(major).b(11).s(0).i(tag).i(drawable).done();
  }
  // The GL error GetError answers under the tag.
  uint32_t glError(uint32_t tag) {
    RawBytes answer;
    EXPECT_EQ(raw.roundTrip(RawRequest(big).b(major).b(115).s(0).i(tag).done(), answer, 20000), "");
    return answer.size() >= 12 && answer[0] == 1 ? rawGet32(answer, 8, big) : 0xFFFFFFFF;
  }
  // The pixel at 0, 0 of the drawable (GetImage, ZPixmap).
  uint32_t pixel(uint32_t drawable) {
    RawBytes answer;
    EXPECT_EQ(raw.roundTrip(RawRequest(big).b(73).b(2).s(0).i(drawable).s(0).s(0).s(1).s(1).i(~0u).done(), answer), "");
    // In the servers' image byte order (least significant first), whatever the client's.
    return answer.size() >= 36 && answer[0] == 1 ? rawGet32(answer, 32, false) & 0xFFFFFF : 0xFFFFFFFF;
  }

  // Sends the request, then a round trip (GetInputFocus): the error code the request drew,
  // relative to GLX's first error when it is one of GLX's (0: none; 0xFF: no answer).
  int errorOf(const RawBytes &request) {
    EXPECT_EQ(raw.send(request), "");
    uint16_t sequence = raw.sequence();
    EXPECT_EQ(raw.send(RawRequest(big).b(43).b(0).s(1).done()), "");
    int code = 0;
    RawBytes answer;
    for (;;) {
      if (std::string failed = raw.read(answer, 20000); !failed.empty()) {
        ADD_FAILURE() << "round trip unanswered: " << failed;
        return 0xFF;
      }
      if (answer[0] == 0 && rawGet16(answer, 2, big) == sequence)
        code = answer[1] >= firstError && firstError >= 128 ? 0x100 + answer[1] - firstError : answer[1];
      if (answer[0] == 1 && rawGet16(answer, 2, big) == raw.sequence()) break;
    }
    return code;
  }
  // GLX error n as errorOf gives it.
  static int glx(uint8_t n) { return 0x100 + n; }

  // A BindTexImageEXT (vendor code 1330) of the front-left buffer, respectively the release.
  RawBytes bindTexImage(uint32_t tag, uint32_t drawable) const {
    return RawRequest(big).b(major).b(16).s(0).i(1330).i(tag).i(drawable).i(0x20DE).i(0).done();
  }
  RawBytes releaseTexImage(uint32_t tag, uint32_t drawable) const {
    return RawRequest(big).b(major).b(16).s(0).i(1331).i(tag).i(drawable).i(0x20DE).done();
  }

  RawClient raw;
  bool big = false;
  uint8_t major = 0, firstError = 0;
  uint32_t visual = 0, colormap = 0, ids = 0;

};

// The ways a window ends under a tag drawing into it.
enum class WindowEnd { kDestroy, kParentsSubwindows, kAncestor, kOwnerKilled, kOwnerClosed, kRetainedKilled };

// On the display: a context current on a window (of another client for the owner's ends), the
// window ended, then glClear and glBegin under the tag, and a new context made current on a new
// window: the two errors, whether the new tag came, and the error of a glClear under it.
std::vector<int> windowEndAnswers(int display, char order, WindowEnd end) {
  GlClient c, owner;
  std::vector<int> answers;
  if (std::string failed = c.start(display, order); !failed.empty()) {
    ADD_FAILURE() << failed;
    return answers;
  }
  bool foreign = end == WindowEnd::kOwnerKilled || end == WindowEnd::kOwnerClosed || end == WindowEnd::kRetainedKilled;
  if (foreign && !owner.start(display, order).empty()) {
    ADD_FAILURE() << "no owner";
    return answers;
  }
  GlClient &maker = foreign ? owner : c;
  uint32_t grand = maker.window(), parent = maker.window(grand), window = maker.window(parent);
  // Known to the server before another client names it.
  if (foreign) {
    EXPECT_EQ(maker.errorOf(RawRequest(maker.big).b(43).b(0).s(1).done()), 0);
  }
  uint32_t context = c.context();
  uint32_t tag = c.makeCurrent(window, context, 0);
  EXPECT_NE(tag, 0u);
  EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
  switch (end) {
    case WindowEnd::kRetainedKilled:
      // The owner's resources outlive its close (RetainPermanent) until a KillClient.
      owner.raw.send(RawRequest(owner.big).b(112).b(1).s(1).done());
      EXPECT_EQ(owner.errorOf(RawRequest(owner.big).b(43).b(0).s(1).done()), 0);
      owner.raw.close();
      c.raw.send(RawRequest(c.big).b(113).b(0).s(0).i(window).done());
      break;
    case WindowEnd::kDestroy: c.raw.send(RawRequest(c.big).b(4).b(0).s(0).i(window).done()); break;
    case WindowEnd::kParentsSubwindows: c.raw.send(RawRequest(c.big).b(5).b(0).s(0).i(parent).done()); break;
    case WindowEnd::kAncestor: c.raw.send(RawRequest(c.big).b(4).b(0).s(0).i(grand).done()); break;
    case WindowEnd::kOwnerKilled: c.raw.send(RawRequest(c.big).b(113).b(0).s(0).i(window).done()); break;
    case WindowEnd::kOwnerClosed:
      owner.raw.close();
      // The close is seen once the window is gone: a GetGeometry of it fails (10 s at most).
      for (int tries = 0; tries < 2000; tries++) {
        RawBytes answer;
        if (!c.raw.roundTrip(RawRequest(c.big).b(14).b(0).s(2).i(window).done(), answer).empty() || answer[0] == 0)
          break;
        usleep(5000);
      }
      break;
  }
  answers.push_back(c.errorOf(c.glClear(tag)));
  answers.push_back(c.errorOf(c.render(tag, 4, c.data().i(kGlPoints))));  // glBegin
  // A new context on a new window serves again.
  uint32_t fresh = c.window();
  uint32_t again = c.makeCurrent(fresh, c.context(), 0);
  answers.push_back(again != 0);
  answers.push_back(c.errorOf(c.glClear(again)));
  return answers;
}

class LumoraGlState : public ::testing::TestWithParam<char> {
 protected:
  void SetUp() override {
    tarvoBlockSignals();
    XvfbOptions x;
    x.screens = {"640x480x24"};
    x.extraArguments = {"-nolisten", "tcp", "+iglx"};
    ASSERT_EQ(xvfb.start(x), "");
    ASSERT_EQ(tarvo.start(xvfb.displayName(), lumoraOptions()), "");
  }
  void TearDown() override {
    // Another client is served, and tarvo ends cleanly.
    lumoraExpectServedAndStop(tarvo, false);
  }
  // Whether the real server has GLX of its own (indirect rendering) to compare with.
  bool serverHasGlx() {
    GlClient probe;
    return probe.start(xvfb.displayNumber(), 'l').empty();
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
};

TEST_P(LumoraGlState, AWindowThatEndsUnderATagIsNeverDrawnIntoAgain) {
  bool compare = serverHasGlx();
  for (WindowEnd end : {WindowEnd::kDestroy, WindowEnd::kParentsSubwindows, WindowEnd::kAncestor,
                        WindowEnd::kOwnerKilled, WindowEnd::kOwnerClosed, WindowEnd::kRetainedKilled}) {
    SCOPED_TRACE("window end " + std::to_string(int(end)));
    std::vector<int> got = windowEndAnswers(tarvo.displayNumber(), GetParam(), end);
    // As a GLX server answers: the current window is gone; a new one serves again.
    std::vector<int> want = {GlClient::glx(kGlxBadCurrentWindow), GlClient::glx(kGlxBadCurrentWindow), 1, 0};
    EXPECT_EQ(got, want);
    if (compare) {
      EXPECT_EQ(windowEndAnswers(xvfb.displayNumber(), GetParam(), end), want);
    }
  }
}

// A GLX pixmap current under a tag while the pixmap under it is freed, then glClear and a
// glFinish round trip (GLXFinish, single 108): the errors of both.
std::vector<int> pixmapFreedAnswers(int display, char order) {
  GlClient c;
  std::vector<int> answers;
  if (std::string failed = c.start(display, order); !failed.empty()) {
    ADD_FAILURE() << failed;
    return answers;
  }
  uint32_t window = c.window(), pixmap = c.newId(), glxPixmap = c.newId();
  c.raw.send(RawRequest(c.big).b(53).b(24).s(0).i(pixmap).i(window).s(16).s(16).done());
  c.raw.send(RawRequest(c.big).b(c.major).b(13).s(0).i(0).i(c.visual).i(pixmap).i(glxPixmap).done());
  uint32_t tag = c.makeCurrent(glxPixmap, c.context(), 0);
  EXPECT_NE(tag, 0u);
  EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
  c.raw.send(RawRequest(c.big).b(54).b(0).s(0).i(pixmap).done());
  answers.push_back(c.errorOf(c.glClear(tag)));
  answers.push_back(c.errorOf(RawRequest(c.big).b(c.major).b(108).s(0).i(tag).done()));
  return answers;
}

TEST_P(LumoraGlState, AGlxPixmapOutlivesThePixmapUnderIt) {
  std::vector<int> got = pixmapFreedAnswers(tarvo.displayNumber(), GetParam());
  if (serverHasGlx()) {
    EXPECT_EQ(pixmapFreedAnswers(xvfb.displayNumber(), GetParam()), got);
  }
}

// A GLX pixmap whose pixmap was freed, made current again (after another tag, and under a new
// context): the library finds the pixmap by the id that is gone, so every answer under such a
// tag is either a GLX error or the GLX pixmap's own size (GetIntegerv GL_VIEWPORT, 20x12), never
// another size the library made up. The tag current when the pixmap went draws on, and so does
// the window beside it.
TEST_P(LumoraGlState, AGlxPixmapWhosePixmapWasFreedIsNeverTakenAtAnotherSize) {
  GlClient c;
  ASSERT_EQ(c.start(tarvo.displayNumber(), GetParam()), "");
  uint32_t window = c.window(), windowContext = c.context();
  auto viewport = [&](uint32_t tag, int *error) {
    RawBytes answer;
    EXPECT_EQ(c.raw.roundTrip(RawRequest(c.big).b(c.major).b(117).s(0).i(tag).i(0x0BA2).done(), answer, 20000), "");
    *error = answer.size() >= 2 && answer[0] == 0 ? answer[1] : 0;
    std::vector<uint32_t> box;
    for (size_t at = 32; answer[0] == 1 && at + 4 <= answer.size() && box.size() < 4; at += 4)
      box.push_back(rawGet32(answer, at, c.big));
    return box;
  };
  const std::vector<uint32_t> own = {0, 0, 20, 12};
  for (int round = 0; round < 4; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    uint32_t pixmap = c.newId(), glxPixmap = c.newId();
    c.raw.send(RawRequest(c.big).b(53).b(24).s(0).i(pixmap).i(window).s(20).s(12).done());
    c.raw.send(RawRequest(c.big).b(c.major).b(13).s(0).i(0).i(c.visual).i(pixmap).i(glxPixmap).done());
    uint32_t context = c.context();
    uint32_t tag = c.makeCurrent(glxPixmap, context, 0);
    ASSERT_NE(tag, 0u);
    // Drawn once (the library has it current), the pixmap freed: still drawn at the size known.
    EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
    c.raw.send(RawRequest(c.big).b(54).b(0).s(0).i(pixmap).done());
    EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
    int error = 0;
    EXPECT_EQ(viewport(tag, &error), own);
    // Another tag, then back; and a context that never drew there.
    uint32_t windowTag = c.makeCurrent(window, windowContext, tag);
    ASSERT_NE(windowTag, 0u);
    EXPECT_EQ(c.errorOf(c.glClear(windowTag)), 0);
    for (uint32_t again : {context, c.context()}) {
      uint8_t made = 0;
      uint32_t back = c.makeCurrent(glxPixmap, again, windowTag, &made);
      if (back == 0) {
        EXPECT_NE(made, 0);
        continue;
      }
      std::vector<uint32_t> box = viewport(back, &error);
      if (error == 0) {
        EXPECT_EQ(box, own);
      } else {
        EXPECT_EQ(error, c.firstError + kGlxBadCurrentWindow);
      }
      // (From no tag: a GLX server refuses to let go of a tag whose drawable ended.)
      windowTag = c.makeCurrent(window, windowContext, error ? 0 : back);
      ASSERT_NE(windowTag, 0u);
    }
    EXPECT_EQ(c.errorOf(c.glClear(windowTag)), 0);
    EXPECT_EQ(c.glError(windowTag), 0u);
    // The GLX pixmap itself goes without a word.
    EXPECT_EQ(c.errorOf(RawRequest(c.big).b(c.major).b(15).s(0).i(glxPixmap).done()), 0);
  }
}

// A read-back (GetImage) by a client that holds no GL context tag waits for nothing: the proxy
// then asks the real server for no more than the image (a wait for the server would also clear
// the proxy's whole inner window there, which busy clients reading back would keep the server
// doing). Seen on the real display: a mark drawn into the inner window stays. The read-back of
// a client drawing GL does wait, and clears it.
TEST_P(LumoraGlState, AReadBackOfAClientWithoutGlWaitsForNothing) {
  Display *real = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(real, nullptr);
  Window inner = innerWindowOf(real);
  ASSERT_NE(inner, 0u);
  GC gc = XCreateGC(real, inner, 0, nullptr);
  XSetForeground(real, gc, 0xff0000);
  // Whether the inner window shows the mark, read on the real display.
  auto marked = [&]() {
    XImage *image = XGetImage(real, inner, 605, 445, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) : 0;
    if (image) XDestroyImage(image);
    return pixel == 0xff0000;
  };
  GlClient plain, drawing;
  ASSERT_EQ(plain.start(tarvo.displayNumber(), GetParam()), "");
  ASSERT_EQ(drawing.start(tarvo.displayNumber(), GetParam()), "");
  uint32_t window = plain.window();
  uint32_t tag = drawing.makeCurrent(drawing.window(), drawing.context(), 0);
  ASSERT_NE(tag, 0u);
  EXPECT_EQ(drawing.errorOf(drawing.glClear(tag)), 0);
  for (GlClient *reader : {&plain, &drawing}) {
    SCOPED_TRACE(reader == &plain ? "without GL" : "drawing GL");
    // (Away from the clients' windows, near the bottom right of the screen.)
    XFillRectangle(real, inner, gc, 600, 440, 10, 10);
    XSync(real, False);
    ASSERT_TRUE(marked());
    for (int k = 0; k < 3; k++) EXPECT_NE(reader->pixel(window), 0xFFFFFFFFu);
    EXPECT_EQ(marked(), reader == &plain);
  }
  XFreeGC(real, gc);
  XCloseDisplay(real);
}

TEST_P(LumoraGlState, GlBeginStateAndArrayRoomBelongToTheirContext) {
  GlClient c;
  ASSERT_EQ(c.start(tarvo.displayNumber(), GetParam()), "");
  uint32_t window = c.window();
  uint32_t first = c.context(), second = c.context();
  // Two tags of one client, one per context (as two threads have them).
  uint32_t tag1 = c.makeCurrent(window, first, 0), tag2 = c.makeCurrent(window, second, 0);
  ASSERT_NE(tag1, 0u);
  ASSERT_NE(tag2, 0u);
  auto bind = [&](uint32_t tag, uint32_t buffer) { return c.render(tag, 290, c.data().i(kArrayBuffer).i(buffer)); };
  auto bufferData = [&](uint32_t tag, uint64_t size, bool noData) {
    RawRequest d = c.data();
    (c.big ? d.i(uint32_t(size >> 32)).i(uint32_t(size)) : d.i(uint32_t(size)).i(uint32_t(size >> 32)));
    d.i(kArrayBuffer).i(kStaticDraw).b(noData).pad(3);
    if (!noData) d.pad(size_t(size));
    return c.render(tag, 298, d);
  };
  auto vertexPointer = [&](uint32_t tag, int32_t size, uint32_t type) {
    return c.render(tag, 291, c.data().i(0).i(0).i(kVertexArray).i(0).i(uint32_t(size)).i(type).i(0).b(0).b(0).s(0));
  };
  auto enable = [&](uint32_t tag) { return c.render(tag, 292, c.data().i(kVertexArray).i(0)); };
  auto begin = [&](uint32_t tag) { return c.render(tag, 4, c.data().i(kGlPoints)); };
  auto element = [&](uint32_t tag, int32_t n) { return c.render(tag, 294, c.data().i(uint32_t(n))); };
  auto end = [&](uint32_t tag) { return c.render(tag, 23, c.data()); };

  // Context 1: 16 bytes of GL_DOUBLE x4 vertices (no whole element) in a buffer.
  EXPECT_EQ(c.errorOf(bind(tag1, 6)), 0);
  EXPECT_EQ(c.errorOf(bufferData(tag1, 16, false)), 0);
  EXPECT_EQ(c.errorOf(vertexPointer(tag1, 4, kDouble)), 0);
  EXPECT_EQ(c.errorOf(enable(tag1)), 0);
  // Context 2: a glBegin over a 256 MiB buffer of GL_SHORT x2 vertices (64 Mi elements).
  EXPECT_EQ(c.errorOf(bind(tag2, 5)), 0);
  EXPECT_EQ(c.errorOf(bufferData(tag2, uint64_t(256) << 20, true)), 0);
  EXPECT_EQ(c.errorOf(vertexPointer(tag2, 2, kShort)), 0);
  EXPECT_EQ(c.errorOf(enable(tag2)), 0);
  EXPECT_EQ(c.errorOf(begin(tag2)), 0);
  // Context 1 opens its glBegin: element 60 million lies gigabytes past its buffer, whatever
  // context 2 holds.
  EXPECT_EQ(c.errorOf(begin(tag1)), 0);
  EXPECT_EQ(c.errorOf(element(tag1, 60000000)), 0);
  EXPECT_EQ(c.errorOf(end(tag1)), 0);
  // Context 2's glBegin is still open: its elements are served, and it ends.
  EXPECT_EQ(c.errorOf(element(tag2, 3)), 0);
  EXPECT_EQ(c.errorOf(end(tag2)), 0);

  // The variant: context 2 opens a glBegin with no array enabled (nothing to bound); context 1
  // has the vertex array enabled in client memory with no pointer ever set.
  uint32_t third = c.context(), fourth = c.context();
  uint32_t tag3 = c.makeCurrent(window, third, 0), tag4 = c.makeCurrent(window, fourth, 0);
  ASSERT_NE(tag3, 0u);
  ASSERT_NE(tag4, 0u);
  EXPECT_EQ(c.errorOf(enable(tag3)), 0);
  EXPECT_EQ(c.errorOf(begin(tag4)), 0);
  EXPECT_EQ(c.errorOf(begin(tag3)), 0);
  EXPECT_EQ(c.errorOf(element(tag3, 0)), 0);
  EXPECT_EQ(c.errorOf(end(tag3)), 0);
  EXPECT_EQ(c.errorOf(end(tag4)), 0);
  EXPECT_EQ(c.errorOf(c.glClear(tag3)), 0);
}

TEST_P(LumoraGlState, TextureBindingsNeedTheClientsTagAndAGlxPixmap) {
  GlClient c, other;
  ASSERT_EQ(c.start(tarvo.displayNumber(), GetParam()), "");
  ASSERT_EQ(other.start(tarvo.displayNumber(), GetParam()), "");
  uint32_t window = c.window(), context = c.context();
  uint32_t tag = c.makeCurrent(window, context, 0);
  ASSERT_NE(tag, 0u);
  uint32_t otherTag = other.makeCurrent(other.window(), other.context(), 0);
  ASSERT_NE(otherTag, 0u);
  // A GLX pixmap over a pixmap of the GL visual's depth (24).
  uint32_t pixmap = c.newId(), glxPixmap = c.newId();
  c.raw.send(RawRequest(c.big).b(53).b(24).s(0).i(pixmap).i(window).s(16).s(16).done());
  EXPECT_EQ(c.errorOf(RawRequest(c.big).b(c.major).b(13).s(0).i(0).i(c.visual).i(pixmap).i(glxPixmap).done()), 0);
  // Another client's tag, and tag 0 after the client let its context go: GLXBadContextTag
  // before anything runs.
  EXPECT_EQ(c.errorOf(c.bindTexImage(otherTag, glxPixmap)), GlClient::glx(kGlxBadContextTag));
  EXPECT_EQ(c.errorOf(c.releaseTexImage(otherTag, glxPixmap)), GlClient::glx(kGlxBadContextTag));
  EXPECT_EQ(c.makeCurrent(0, 0, tag), 0u);
  EXPECT_EQ(c.errorOf(c.bindTexImage(0, glxPixmap)), GlClient::glx(kGlxBadContextTag));
  EXPECT_EQ(c.errorOf(c.bindTexImage(0, window)), GlClient::glx(kGlxBadContextTag));
  // Under its own tag: a window or a plain pixmap is no GLX pixmap.
  tag = c.makeCurrent(window, context, 0);
  ASSERT_NE(tag, 0u);
  EXPECT_EQ(c.errorOf(c.bindTexImage(tag, window)), GlClient::glx(kGlxBadPixmap));
  EXPECT_EQ(c.errorOf(c.bindTexImage(tag, pixmap)), GlClient::glx(kGlxBadPixmap));
  EXPECT_EQ(c.errorOf(c.releaseTexImage(tag, window)), GlClient::glx(kGlxBadPixmap));
  // The library's GLX pixmaps have no texture-from-pixmap attributes: it would bind the pixmap
  // to no texture target. Refused (BadMatch); with nothing bound, the release does nothing.
  EXPECT_EQ(c.errorOf(c.bindTexImage(tag, glxPixmap)), 8);
  EXPECT_EQ(c.errorOf(c.releaseTexImage(tag, glxPixmap)), 0);
  // Both clients are still served.
  EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
  EXPECT_EQ(other.errorOf(other.glClear(otherTag)), 0);
}

// A window of a double-buffered visual cleared red in its back buffer under a context that
// stays current on it, swapped under no context tag (as libGL sends a swap of a drawable that
// is not its thread's current one): the pixel before and after (the swap may reach the screen
// on another connection: polled 5 s at most where poll says); the errors of swaps under tag 0 of an id that
// names nothing, of a window destroyed, and of a window whose context was let go of.
std::vector<uint32_t> tagZeroSwapAnswers(int display, char order, bool poll) {
  GlClient c;
  std::vector<uint32_t> answers;
  if (std::string failed = c.start(display, order, true); !failed.empty()) {
    ADD_FAILURE() << failed;
    return answers;
  }
  uint32_t window = c.window();
  uint32_t tag = c.makeCurrent(window, c.context(), 0);
  EXPECT_NE(tag, 0u);
  uint32_t one = 0x3F800000;  // 1.0f
  EXPECT_EQ(c.errorOf(c.render(tag, 130, c.data().i(one).i(0).i(0).i(one))), 0);  // glClearColor
  EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
  answers.push_back(c.pixel(window));
  answers.push_back(uint32_t(c.errorOf(c.swapBuffers(0, window))));
  uint32_t after = c.pixel(window);
  for (int tries = 0; poll && tries < 500 && after == answers[0]; tries++) {
    usleep(10000);
    after = c.pixel(window);
  }
  answers.push_back(after);
  answers.push_back(uint32_t(c.errorOf(c.swapBuffers(0, c.newId()))));
  // (Windows made only now: they cover the first one.)
  uint32_t gone = c.window(), released = c.window();
  EXPECT_NE(c.makeCurrent(gone, c.context(), 0), 0u);
  c.raw.send(RawRequest(c.big).b(4).b(0).s(0).i(gone).done());
  answers.push_back(uint32_t(c.errorOf(c.swapBuffers(0, gone))));
  uint32_t other = c.makeCurrent(released, c.context(), 0);
  EXPECT_NE(other, 0u);
  EXPECT_EQ(c.makeCurrent(0, 0, other), 0u);
  answers.push_back(uint32_t(c.errorOf(c.swapBuffers(0, released))));
  // The first tag still draws.
  answers.push_back(uint32_t(c.errorOf(c.glClear(tag))));
  return answers;
}

TEST_P(LumoraGlState, SwapBuffersUnderNoTagSwapsTheWindow) {
  std::vector<uint32_t> got = tagZeroSwapAnswers(tarvo.displayNumber(), GetParam(), true);
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0], 0u);         // black before
  EXPECT_EQ(got[2], 0xFF0000u);  // red after the swap
  // The errors as Xvfb's GLX answers them (its window shows no GL drawing to GetImage at all:
  // the pixels are not compared).
  if (serverHasGlx()) {
    std::vector<uint32_t> want = tagZeroSwapAnswers(xvfb.displayNumber(), GetParam(), false);
    ASSERT_EQ(want.size(), 7u);
    for (size_t k : {1, 3, 4, 5, 6}) EXPECT_EQ(got[k], want[k]) << "answer " << k;
  }
}

// A context that drew on a window (and finished, or not) while the window ends, then a
// MakeCurrent from its tag to a new window, respectively a release of the tag: the errors (0
// after a new tag came).
std::vector<int> makeCurrentFromEndedAnswers(int display, char order) {
  GlClient c;
  std::vector<int> answers;
  if (std::string failed = c.start(display, order); !failed.empty()) {
    ADD_FAILURE() << failed;
    return answers;
  }
  for (int flushed : {0, 1}) {
    for (int release : {0, 1}) {
      uint32_t window = c.window();
      uint32_t tag = c.makeCurrent(window, c.context(), 0);
      EXPECT_NE(tag, 0u);
      EXPECT_EQ(c.errorOf(c.glClear(tag)), 0);
      if (flushed) {
        EXPECT_EQ(c.errorOf(RawRequest(c.big).b(c.major).b(108).s(0).i(tag).done()), 0);  // glFinish
      }
      c.raw.send(RawRequest(c.big).b(4).b(0).s(0).i(window).done());
      uint8_t error = 0;
      if (release) {
        c.makeCurrent(0, 0, tag, &error);
      } else {
        uint32_t moved = c.makeCurrent(c.window(), c.context(), tag, &error);
        // A tag that came serves.
        if (moved) {
          EXPECT_EQ(c.errorOf(c.glClear(moved)), 0);
        }
      }
      answers.push_back(error >= c.firstError && c.firstError >= 128 ? GlClient::glx(error - c.firstError) : error);
    }
  }
  // A new context on a new window serves still.
  uint32_t fresh = c.makeCurrent(c.window(), c.context(), 0);
  answers.push_back(c.errorOf(c.glClear(fresh)));
  return answers;
}

TEST_P(LumoraGlState, MakeCurrentFromATagWhoseWindowEnded) {
  std::vector<int> got = makeCurrentFromEndedAnswers(tarvo.displayNumber(), GetParam());
  int gone = GlClient::glx(kGlxBadCurrentWindow);
  EXPECT_EQ(got, (std::vector<int>{gone, gone, gone, gone, 0}));
  if (serverHasGlx()) {
    EXPECT_EQ(makeCurrentFromEndedAnswers(xvfb.displayNumber(), GetParam()), got);
  }
}

TEST_P(LumoraGlState, PixelPairsWithoutASizeGiveTheLibrarysGlError) {
  GlClient c;
  ASSERT_EQ(c.start(tarvo.displayNumber(), GetParam()), "");
  uint32_t tag = c.makeCurrent(c.window(), c.context(), 0);
  ASSERT_NE(tag, 0u);
  constexpr uint32_t kRgba = 0x1908, kRgbaInteger = 0x8D99, kUnsignedByte = 0x1401, kHalfFloat = 0x140B,
                     kBitmap = 0x1A00, kInvalidEnum = 0x0500, kInvalidOperation = 0x0502;
  // glDrawPixels of one pixel (16 bytes carried, as much as any of them needs).
  auto drawPixels = [&](uint32_t format, uint32_t type) {
    return c.render(tag, 173, c.data().b(0).b(0).s(0).i(0).i(0).i(0).i(1).i(1).i(1).i(format).i(type).pad(16));
  };
  struct Case {
    uint32_t format, type, glError;
  };
  // As Mesa answers glDrawPixels of each: an unknown type or GL_BITMAP with a colour format,
  // GL_INVALID_ENUM; an integer format into a colour buffer, GL_INVALID_OPERATION; half floats
  // are drawn.
  for (Case k : {Case{kRgba, 0x1234, kInvalidEnum}, Case{0x1234, kUnsignedByte, kInvalidEnum},
                 Case{kRgba, kBitmap, kInvalidEnum}, Case{kRgbaInteger, kUnsignedByte, kInvalidOperation},
                 Case{kRgba, kHalfFloat, 0}}) {
    SCOPED_TRACE(std::to_string(k.format) + "/" + std::to_string(k.type));
    EXPECT_EQ(c.errorOf(drawPixels(k.format, k.type)), 0);
    EXPECT_EQ(c.glError(tag), k.glError);
    EXPECT_EQ(c.glError(tag), 0u);
  }
  // The first error stays: a later refused pair does not replace it (the library keeps one).
  EXPECT_EQ(c.errorOf(c.render(tag, 127, c.data().i(0xFFFFFFFF))), 0);  // glClear of bad bits: GL_INVALID_VALUE
  EXPECT_EQ(c.errorOf(drawPixels(kRgba, 0x1234)), 0);
  EXPECT_EQ(c.glError(tag), 0x0501u);
  EXPECT_EQ(c.glError(tag), 0u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, LumoraGlState, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char> &info) {
                           return std::string(info.param == 'B' ? "MsbFirst" : "LsbFirst");
                         });

}  // namespace
