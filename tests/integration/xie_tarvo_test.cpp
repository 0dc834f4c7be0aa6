// XIE through the tarvo executable on the test relay (-emulate XIE -sent-event) in front of Xvfb,
// the relay's log the witness of what tarvo sent: photoflos that import a window across two
// heads and export to it, a window moved before the run, the events and the flo error of a run
// mapped back, a destroy in the same write as the run, clients of both byte orders sending the
// same photoflos (technique parameters and all) and reading the same answers, and three screens
// as meta screens {0} and {1, 2}.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The relay hands out majors from 255, events from 127 and errors from 255 downwards.
constexpr int kRelayMajor = 255;
using Logged = std::vector<unsigned char>;

struct Xie {
  uint8_t major = 0, firstEvent = 0, firstError = 0;
};

Xie queryXie(RawClient &c) {
  RawBytes answer;
  const std::string name = "XIE";
  Xie x;
  if (!c.roundTrip(RawRequest(c.big()).b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align().done(), answer)
           .empty() ||
      answer[0] != 1 || !answer[8])
    return x;
  x.major = answer[9], x.firstEvent = answer[10], x.firstError = answer[11];
  return x;
}

// Sends GetInputFocus and reads up to its reply: the errors and events before it.
std::vector<RawBytes> messagesBeforeSync(RawClient &c) {
  std::vector<RawBytes> out;
  if (!c.send(RawRequest(c.big()).b(43).b(0).s(1).done()).empty()) return out;
  for (;;) {
    RawBytes message;
    if (!c.read(message).empty()) return out;
    if (message[0] == 1 && rawGet16(message, 2, c.big()) == c.sequence()) return out;
    out.push_back(message);
  }
}

// The root of the client's n-th screen, from the setup reply.
uint32_t rootOf(RawClient &c, int n) {
  const RawBytes &s = c.setup();
  bool big = c.big();
  size_t at = 40 + ((rawGet16(s, 24, big) + 3) & ~size_t(3)) + 8 * s[29];
  for (int k = 0; k < n; k++) {
    size_t depths = s[at + 39];
    at += 40;
    for (size_t d = 0; d < depths; d++) at += 8 + 24 * rawGet16(s, at + 2, big);
  }
  return rawGet32(s, at, big);
}

// Requests in the client's order.
RawBytes createWindow(RawClient &c, uint32_t id, uint32_t parent, int x, int y, int w, int h) {
  RawRequest r(c.big());
  r.b(1).b(0).s(0).i(id).i(parent).s(uint16_t(x)).s(uint16_t(y)).s(uint16_t(w)).s(uint16_t(h)).s(0).s(1).i(0);
  return r.i(0x202).i(0x336699).i(1).done();  // background pixel, override-redirect
}
RawBytes createFlo(RawClient &c, uint8_t major, uint32_t flo, uint16_t count, const RawRequest &elements) {
  RawRequest r(c.big());
  r.b(major).b(17).s(0).i(flo).s(count).s(0);
  r.d.insert(r.d.end(), elements.d.begin(), elements.d.end());
  return r.done();
}
void importDrawable(RawRequest &e, uint32_t drawable, uint16_t w, uint16_t h) {
  e.s(4).s(6).i(drawable).s(0).s(0).s(w).s(h).i(0).b(1).pad(3);
}
void exportDrawable(RawRequest &e, uint16_t source, uint32_t drawable, uint32_t gc) {
  e.s(33).s(5).s(source).s(0).s(0).s(0).i(drawable).i(gc);
}
RawBytes plain(RawClient &c, uint8_t major, uint8_t minor, uint32_t id, bool execute = false) {
  RawRequest r(c.big());
  r.b(major).b(minor).s(0).i(id);
  if (execute) r.b(1).pad(3);
  return r.done();
}

class XieOnRelay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void start(int screens, std::vector<std::string> tarvoWords) {
    XvfbOptions options;
    options.screens.assign(size_t(screens), "800x600x24");
    options.extraArguments = {"-nolisten", "tcp", "-br"};
    ASSERT_EQ(xvfb.start(options), "");
    relayLog = xrelayTempDir() + "/relay.log";
    ASSERT_EQ(relay.start(xvfb.displayName(), {"-emulate", "XIE", "-sent-event", "-log", relayLog}), "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = tarvoWords;
    for (std::string &w : tarvoOptions.arguments)
      if (size_t at = w.find("%U"); at != std::string::npos) w.replace(at, 2, relay.displayName());
    ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
    direct = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(direct, nullptr);
  }
  void TearDown() override {
    if (direct) XCloseDisplay(direct);
  }
  size_t logSize() { return xrelayReadFile(relayLog).size(); }
  // The XIE requests tarvo sent since `from`.
  std::vector<Logged> sent(size_t from) {
    std::vector<Logged> out;
    for (auto &r : xrelayAnsweredSince(xrelayReadFile(relayLog), from))
      if (r[0] == kRelayMajor) out.push_back(r);
    return out;
  }
  // The Xvfb screen a window of the relay's ids lies on (-1: none).
  int screenOf(uint32_t window) {
    Window root = 0;
    int x, y;
    unsigned w, h, border, depth;
    if (!XGetGeometry(direct, window, &root, &x, &y, &w, &h, &border, &depth)) return -1;
    for (int s = 0; s < ScreenCount(direct); s++)
      if (RootWindow(direct, s) == root) return s;
    return -1;
  }
  std::string sanitizerReport() {
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
    for (const char *report : {"Sanitizer", "runtime error:"})
      if (tarvo.output().find(report) != std::string::npos) return tarvo.output();
    return "";
  }

  XvfbServer xvfb;
  XrelayServer relay;
  TarvoProcess tarvo;
  std::string relayLog;
  Display *direct = nullptr;
};

// Two 800x600 heads, a window at 700..900 across the boundary: the flo's import becomes a
// PasteUp of two tiles, the right one at x 100, each import reading its part with its head's
// window; the export goes once per head. A move before the run brings two ModifyPhotoflo first;
// the run's events come back with the client's element, window and flo (the relay's sent copies
// as they were); a run and a destroy in one write; a run whose window is gone gives the flo
// error with the client's window; a 'B' client's CreatePhotoflo and CreateLUT are served.
TEST_F(XieOnRelay, TwoHeadsPhotofloAcrossTheBoundary) {
  start(2, {"screen", "%U.0", "tags", "anyScreen"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  Xie xie = queryXie(c);
  ASSERT_NE(xie.major, 0);
  uint32_t window = c.idBase() + 1, gc = c.idBase() + 2, flo = c.idBase() + 3;
  ASSERT_EQ(c.send(createWindow(c, window, c.rootWindow(), 700, 100, 200, 100)), "");
  ASSERT_EQ(c.send(RawRequest(false).b(8).b(0).s(2).i(window).done()), "");        // MapWindow
  ASSERT_EQ(c.send(RawRequest(false).b(55).b(0).s(4).i(gc).i(window).i(0).done()), "");  // CreateGC
  ASSERT_TRUE(messagesBeforeSync(c).empty());

  size_t from = logSize();
  RawRequest elements(false);
  importDrawable(elements, window, 200, 100);
  exportDrawable(elements, 1, window, gc);
  ASSERT_EQ(c.send(createFlo(c, xie.major, flo, 2, elements)), "");
  ASSERT_TRUE(messagesBeforeSync(c).empty());
  auto created = sent(from);
  ASSERT_EQ(created.size(), 1u);
  const Logged &f = created[0];
  ASSERT_EQ(f[1], 17);
  ASSERT_EQ(xrelayCard16(f, 8), 5);  // PasteUp, export, two imports, the export's copy
  // Element 1 (from 12): PasteUp of 2 tiles; element 2 (from 64): the export; 3 and 4 the
  // imports (from 84 and 108); 5 the export's copy (from 132).
  EXPECT_EQ(xrelayCard16(f, 12), 26);
  EXPECT_EQ(xrelayCard16(f, 16), 2);
  EXPECT_EQ(xrelayCard32(f, 20), 200u);
  EXPECT_EQ(xrelayCard16(f, 40), 3);
  EXPECT_EQ(xrelayCard32(f, 44), 0u);
  EXPECT_EQ(xrelayCard16(f, 52), 4);
  EXPECT_EQ(xrelayCard32(f, 56), 100u);  // the right tile at the left part's width
  for (int i = 0; i < 2; i++) {
    size_t at = 84 + 24 * size_t(i);
    EXPECT_EQ(xrelayCard16(f, at), 4);
    EXPECT_EQ(screenOf(xrelayCard32(f, at + 4)), i) << i;
    EXPECT_EQ(xrelayCard16(f, at + 8), i == 0 ? 0 : 100) << i;
    EXPECT_EQ(xrelayCard16(f, at + 12), 100) << i;
  }
  uint32_t exportWindows[2] = {xrelayCard32(f, 64 + 12), xrelayCard32(f, 132 + 12)};
  EXPECT_EQ(xrelayCard16(f, 132), 33);
  EXPECT_EQ(screenOf(exportWindows[0]), 0);
  EXPECT_EQ(screenOf(exportWindows[1]), 1);
  EXPECT_NE(xrelayCard32(f, 64 + 16), xrelayCard32(f, 132 + 16));  // each head's GC

  // ConfigureWindow x 650: both parts change.
  ASSERT_EQ(c.send(RawRequest(false).b(12).b(0).s(0).i(window).s(1).s(0).i(650).done()), "");
  ASSERT_TRUE(messagesBeforeSync(c).empty());
  from = logSize();
  ASSERT_EQ(c.send(plain(c, xie.major, 19, flo, true)), "");
  std::vector<RawBytes> events = messagesBeforeSync(c);
  auto run = sent(from);
  ASSERT_EQ(run.size(), 3u);
  EXPECT_EQ(run[0][1], 20);
  EXPECT_EQ(xrelayCard16(run[0], 8), 1);
  EXPECT_EQ(xrelayCard16(run[0], 10), 1);
  EXPECT_EQ(xrelayCard32(run[0], 12 + 44), 150u);  // the right tile now at 150
  EXPECT_EQ(run[1][1], 20);
  EXPECT_EQ(xrelayCard16(run[1], 8), 3);
  EXPECT_EQ(xrelayCard16(run[1], 10), 2);
  EXPECT_EQ(run[2][1], 19);
  std::string seen;
  for (const RawBytes &e : events) {
    int code = (e[0] & 0x7f) - xie.firstEvent;
    bool copy = e[0] & 0x80;
    if (code == 3)
      seen += std::string(copy ? "sent " : "") + "obscured " + std::to_string(rawGet16(e, 16, false)) +
              (rawGet32(e, 20, false) == window ? " window;" : " head window;");
    else if (code == 4)
      seen += std::string(copy ? "sent " : "") + (rawGet32(e, 12, false) == flo ? "done flo;" : "done other;");
    else
      seen += "other " + std::to_string(e[0]) + ";";
  }
  EXPECT_EQ(seen,
            "obscured 1 window;sent obscured 3 head window;obscured 1 window;sent obscured 4 head window;"
            "done flo;sent done other;");

  // ExecuteImmediate in a photospace: the same mapping, the photospace the client's.
  uint32_t space = c.idBase() + 5;
  ASSERT_EQ(c.send(plain(c, xie.major, 14, space)), "");  // CreatePhotospace
  RawRequest immediate(false);
  immediate.b(xie.major).b(16).s(0).i(space).i(7).s(1).b(1).b(0);
  importDrawable(immediate, window, 200, 100);
  ASSERT_EQ(c.send(immediate.done()), "");
  std::string immediateSeen;
  for (const RawBytes &e : messagesBeforeSync(c))
    if (!(e[0] & 0x80))
      immediateSeen += std::to_string(int(e[0]) - xie.firstEvent) + ":" + std::to_string(rawGet16(e, 16, false)) +
                       (rawGet32(e, 8, false) == space ? " space;" : " other;");
  EXPECT_EQ(immediateSeen, "3:1 space;3:1 space;4:0 space;");

  // Execute and Destroy in one write; then the flo is gone.
  RawBytes both = plain(c, xie.major, 19, flo, true), destroy = plain(c, xie.major, 18, flo);
  both.insert(both.end(), destroy.begin(), destroy.end());
  ASSERT_EQ(c.sendRaw(both.data(), both.size()), "");
  c.setSequence(uint16_t(c.sequence() + 2));
  events = messagesBeforeSync(c);
  EXPECT_EQ(events.size(), 6u);
  for (const RawBytes &e : events) EXPECT_NE(e[0], 0) << "error " << int(e[1]);

  // A window gone upstream: FloDrawable with the client's window.
  uint32_t second = c.idBase() + 4;
  RawRequest one(false);
  importDrawable(one, window, 50, 50);
  ASSERT_EQ(c.send(createFlo(c, xie.major, second, 1, one)), "");
  ASSERT_EQ(c.send(RawRequest(false).b(4).b(0).s(2).i(window).done()), "");  // DestroyWindow
  ASSERT_EQ(c.send(plain(c, xie.major, 19, second, true)), "");
  events = messagesBeforeSync(c);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0][0], 0);
  EXPECT_EQ(events[0][1], xie.firstError + 6);
  EXPECT_EQ(events[0][11], 6);
  EXPECT_EQ(rawGet32(events[0], 4, false), second);
  EXPECT_EQ(rawGet32(events[0], 20, false), window);

  RawClient b;
  ASSERT_EQ(b.connect(tarvo.displayNumber(), 'B'), "");
  Xie bx = queryXie(b);
  ASSERT_EQ(bx.major, xie.major);
  RawRequest lut(true);
  lut.s(6).s(2).i(b.idBase() + 2);
  from = logSize();
  ASSERT_EQ(b.send(createFlo(b, bx.major, b.idBase() + 1, 1, lut)), "");
  ASSERT_EQ(b.send(plain(b, bx.major, 7, b.idBase() + 2)), "");
  events = messagesBeforeSync(b);
  EXPECT_TRUE(events.empty());
  auto served = sent(from);
  ASSERT_EQ(served.size(), 2u);
  EXPECT_EQ(served[0][1], 17);
  EXPECT_EQ(xrelayCard16(served[0], 12), 6);  // the ImportLUT in the proxy's order
  EXPECT_EQ(served[1][1], 7);
  EXPECT_EQ(sanitizerReport(), "");
}

// A request tarvo sent with the object ids zeroed (the flo name, the ids of the elements): what
// two clients with their own ids must send alike. Header of `header` bytes, the element count at
// countAt.
Logged withoutIds(Logged r, size_t header, size_t countAt, bool immediate = false) {
  auto clear = [&](size_t at) {
    for (size_t k = at; k < at + 4 && k < r.size(); k++) r[k] = 0;
  };
  clear(4);
  if (immediate) clear(8);
  size_t at = header;
  for (uint32_t n = xrelayCard16(r, countAt); n > 0 && at + 4 <= r.size(); n--) {
    uint16_t type = xrelayCard16(r, at), words = xrelayCard16(r, at + 2);
    if (type == 4 || type == 5 || type == 6 || type == 7 || type == 8) clear(at + 4);
    if (type == 16 || type == 18 || (type >= 35 && type <= 37)) clear(at + 8);
    if (type == 18) clear(at + 12);
    if (type == 33 || type == 34) clear(at + 12), clear(at + 16);
    if (!words) break;
    at += 4 * size_t(words);
  }
  return r;
}

// The elements of the photoflo both clients send, in the client's order: an import of the
// window, a client photo import (decoding parameters), a clip-scale Constrain, a gaussian
// Geometry, a client photo export (G32D parameters) and an export to the window.
RawRequest sameFlo(RawClient &c, uint32_t window, uint32_t gc) {
  RawRequest e(c.big());
  importDrawable(e, window, 200, 100);
  e.s(2).s(14).b(1).b(1).s(0).i(64).i(0).i(0).i(32).i(0).i(0).i(256).i(0).i(0).s(2).s(2);
  e.b(1).b(1).b(8).b(0).b(32).pad(3);
  e.s(15).s(18).s(1).s(0).i(255).i(255).i(255).s(2).s(12);
  for (uint32_t k = 0; k < 12; k++) e.i(0x3f800000u + k);
  e.s(22).s(17).s(3).b(7).b(0).i(200).i(100);
  for (uint32_t k = 0; k < 9; k++) e.i(0x3f000000u + k);
  e.s(10).s(3).b(2).b(1).s(0).i(0x3fc00000u).i(0x40000000u);
  e.s(31).s(5).s(4).b(2).b(0).s(6).s(2).b(2).b(1).b(0).b(0).i(4);
  exportDrawable(e, 4, window, gc);
  return e;
}

// Clients of either byte order send the same photoflos: tarvo writes the same requests for both
// (ids aside) for CreatePhotoflo, the two ModifyPhotoflo and the run after a move, a
// ModifyPhotoflo, a RedefinePhotoflo and an ExecuteImmediate; both read the same events,
// techniques and photoflo lists.
TEST_F(XieOnRelay, BothByteOrdersSendTheSamePhotoflos) {
  start(2, {"screen", "%U.0", "tags", "anyScreen"});
  std::vector<std::vector<Logged>> seen(2);
  std::vector<std::string> answers(2);
  for (int o = 0; o < 2; o++) {
    SCOPED_TRACE(o);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), o ? 'B' : 'l'), "");
    bool big = c.big();
    Xie xie = queryXie(c);
    ASSERT_NE(xie.major, 0);
    uint32_t window = c.idBase() + 1, gc = c.idBase() + 2, flo = c.idBase() + 3, space = c.idBase() + 4;
    ASSERT_EQ(c.send(createWindow(c, window, c.rootWindow(), 700, 100, 200, 100)), "");
    ASSERT_EQ(c.send(RawRequest(big).b(8).b(0).s(2).i(window).done()), "");
    ASSERT_EQ(c.send(RawRequest(big).b(55).b(0).s(4).i(gc).i(window).i(0).done()), "");
    ASSERT_EQ(c.send(plain(c, xie.major, 14, space)), "");
    ASSERT_TRUE(messagesBeforeSync(c).empty());
    size_t from = logSize();
    ASSERT_EQ(c.send(createFlo(c, xie.major, flo, 6, sameFlo(c, window, gc))), "");
    ASSERT_TRUE(messagesBeforeSync(c).empty());
    // Moved: the import is rebuilt before the run.
    ASSERT_EQ(c.send(RawRequest(big).b(12).b(0).s(0).i(window).s(1).s(0).i(650).done()), "");
    ASSERT_EQ(c.send(plain(c, xie.major, 19, flo, true)), "");
    std::string events;
    for (const RawBytes &e : messagesBeforeSync(c)) {
      if (e[0] & 0x80) continue;
      int code = e[0] - xie.firstEvent;
      events += std::to_string(code) + ":" + std::to_string(rawGet16(e, 16, big)) +
                (code == 3 && rawGet32(e, 20, big) == window ? " window" : "") +
                (rawGet32(e, 12, big) == flo ? " flo;" : ";");
    }
    answers[size_t(o)] += events + "\n";
    RawRequest modify(big);
    modify.b(xie.major).b(20).s(0).i(flo).s(3).s(1).s(15).s(6).s(1).s(0).i(9).i(8).i(7).s(4).s(0);
    ASSERT_EQ(c.send(modify.done()), "");
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(xie.major).b(24).s(0).i(0).i(flo).done(), answer), "");  // QueryPhotoflo
    ASSERT_EQ(answer[0], 1);
    answers[size_t(o)] += "state " + std::to_string(answer[1]) + " expected";
    uint32_t expected = rawGet16(answer, 8, big), available = rawGet16(answer, 10, big);
    for (uint32_t k = 0; k < expected; k++) answers[size_t(o)] += " " + std::to_string(rawGet16(answer, 32 + 2 * k, big));
    answers[size_t(o)] += " available";
    size_t availableAt = 32 + (2 * size_t(expected) + 3) / 4 * 4;
    for (uint32_t k = 0; k < available; k++)
      answers[size_t(o)] += " " + std::to_string(rawGet16(answer, availableAt + 2 * k, big));
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(xie.major).b(2).s(0).b(1).pad(3).done(), answer), "");  // QueryTechniques
    ASSERT_EQ(answer[0], 1);
    answers[size_t(o)] += "\ntechniques";
    size_t at = 32;
    for (uint32_t k = rawGet16(answer, 8, big); k > 0 && at + 8 <= answer.size(); k--) {
      answers[size_t(o)] += " " + std::to_string(answer[at + 1]) + "." + std::to_string(rawGet16(answer, at + 2, big)) +
                            " " + std::string(answer.begin() + long(at) + 8, answer.begin() + long(at) + 8 + answer[at + 5]);
      at += 8 + (answer[at + 5] + 3u) / 4 * 4;
    }
    RawRequest redefine(big);
    redefine.b(xie.major).b(21).s(0).i(flo).s(1).s(0);
    importDrawable(redefine, window, 20, 10);
    ASSERT_EQ(c.send(redefine.done()), "");
    RawRequest immediate(big);
    immediate.b(xie.major).b(16).s(0).i(space).i(9).s(6).b(0).b(0);
    RawRequest elements = sameFlo(c, window, gc);
    immediate.d.insert(immediate.d.end(), elements.d.begin(), elements.d.end());
    ASSERT_EQ(c.send(immediate.done()), "");
    for (const RawBytes &e : messagesBeforeSync(c)) answers[size_t(o)] += " " + std::to_string(int(e[0]));
    for (const Logged &r : sent(from)) {
      if (r[1] == 17 || r[1] == 21) seen[size_t(o)].push_back(withoutIds(r, 12, 8));
      else if (r[1] == 20) seen[size_t(o)].push_back(withoutIds(r, 12, 10));
      else if (r[1] == 16) seen[size_t(o)].push_back(withoutIds(r, 16, 12, true));
      else seen[size_t(o)].push_back(r.size() >= 8 ? Logged(r.begin(), r.begin() + 4) : r);
    }
  }
  // Create, two modifies and the run, modify, query, query, redefine, the immediate run.
  ASSERT_EQ(seen[0].size(), 9u);
  ASSERT_EQ(seen[1].size(), seen[0].size());
  for (size_t k = 0; k < seen[0].size(); k++) EXPECT_EQ(seen[1][k], seen[0][k]) << k;
  EXPECT_EQ(xrelayCard16(seen[0][0], 8), 9);  // six elements, two import copies, an export copy
  EXPECT_EQ(answers[1], answers[0]);
  EXPECT_NE(answers[0].find("state 1 expected 2 available 5\ntechniques 12.2 UNCOMPRESSED-SINGLE 2.4 MATCH"),
            std::string::npos)
      << answers[0];
  EXPECT_EQ(answers[0].find("3:1 window flo;3:1 window flo;4:0 flo;\n"), 0u) << answers[0];
  EXPECT_EQ(sanitizerReport(), "");
}

// Three screens as meta screens {0} and {1, 2}: objects live on the first head of the first
// meta screen and work; an export to a window of the second meta screen reaches screens 1 and 2.
TEST_F(XieOnRelay, ThreeScreensExportReachesBothHeadsOfTheSecondMetaScreen) {
  start(3, {"metaScreen", "one", "screen", "%U.0", "metaScreen", "two", "screen", "b", "display", "%U.1",
            "borderWidth", "0", "screen", "c", "display", "%U.2", "borderWidth", "0"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  Xie xie = queryXie(c);
  ASSERT_NE(xie.major, 0);
  RawBytes version;
  ASSERT_EQ(c.roundTrip(RawRequest(false).b(xie.major).b(1).s(0).s(5).s(0).done(), version), "");
  ASSERT_EQ(version[0], 1);
  EXPECT_EQ(rawGet16(version, 8, false), 5u);
  EXPECT_EQ(rawGet16(version, 10, false), 0u);
  uint32_t window = c.idBase() + 1, gc = c.idBase() + 2, lut = c.idBase() + 3, flo = c.idBase() + 4;
  ASSERT_EQ(c.send(createWindow(c, window, rootOf(c, 1), 700, 100, 200, 100)), "");
  ASSERT_EQ(c.send(RawRequest(false).b(8).b(0).s(2).i(window).done()), "");
  ASSERT_EQ(c.send(RawRequest(false).b(55).b(0).s(4).i(gc).i(window).i(0).done()), "");
  ASSERT_EQ(c.send(plain(c, xie.major, 7, lut)), "");          // CreateLUT
  ASSERT_EQ(c.send(plain(c, xie.major, 6, lut)), "");          // QueryColorList of a LUT: unknown
  std::vector<RawBytes> events = messagesBeforeSync(c);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0][1], xie.firstError + 0);  // XieNoColorList, the client's id
  EXPECT_EQ(rawGet32(events[0], 4, false), lut);
  size_t from = logSize();
  RawRequest elements(false);
  elements.s(6).s(2).i(lut);  // ImportLUT
  exportDrawable(elements, 1, window, gc);
  ASSERT_EQ(c.send(createFlo(c, xie.major, flo, 2, elements)), "");
  ASSERT_EQ(c.send(plain(c, xie.major, 19, flo, true)), "");
  events = messagesBeforeSync(c);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ((events.back()[0] & 0x7f) - xie.firstEvent, 4);  // PhotofloDone
  auto created = sent(from);
  ASSERT_GE(created.size(), 1u);
  const Logged &f = created[0];
  ASSERT_EQ(xrelayCard16(f, 8), 3);
  EXPECT_EQ(screenOf(xrelayCard32(f, 20 + 12)), 1);
  EXPECT_EQ(screenOf(xrelayCard32(f, 40 + 12)), 2);
  EXPECT_EQ(sanitizerReport(), "");
}

}  // namespace
