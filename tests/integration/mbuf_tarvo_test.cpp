// Multi-Buffering through the tarvo executable on the test relay (-emulate MBUF) in front of
// Xvfb, compared with the relay used directly; and DOUBLE-BUFFER emulated by Multi-Buffering on
// a relay that hides Xvfb's own, compared frame by frame with plain Xvfb.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibuf.h>

#include <sstream>
#include <string>
#include <vector>

#include "dbe_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

int lastErrorCode = 0;
int recordError(Display *, XErrorEvent *event) {
  lastErrorCode = event->error_code;
  return 0;
}

// Per screen of xdpyinfo's Multi-Buffering section: the mono and stereo counts and each entry's
// depth and maximum (visual ids differ between a proxy and its server).
std::string bufferInfoSummary(const std::string &xdpyinfo) {
  std::istringstream lines(xdpyinfo);
  std::string line, out;
  bool inSection = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Multi-Buffering version", 0) == 0) {
      inSection = true;
      out += line.substr(0, line.find(" opcode")) + "\n";
      continue;
    }
    if (!inSection) continue;
    if (line.find("visual id") != std::string::npos) {
      size_t comma = line.find(',', line.find(':'));  // "..., 0xID, MAX, DEPTH"
      out += line.substr(line.find(',', comma + 1) + 1) + ";";
    } else if (line.find("multibuffer types") != std::string::npos) {
      out += "\n" + line;
    }
  }
  return out;
}

// The bytes of a request with 32-bit id words.
RawBytes mbufRequest(RawClient &c, uint8_t major, uint8_t minor, const std::vector<uint32_t> &words) {
  RawRequest r(c.big());
  r.b(major).b(minor).s(uint16_t(1 + words.size()));
  for (uint32_t w : words) r.i(w);
  return r.done();
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

class BuffersOnRelay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  // Xvfb of `screens` screens of 320x240, the relay with the options in front of it, tarvo on
  // the relay: with the words ("%U" the relay's display) or every screen one head of one meta
  // screen.
  void start(int screens, std::vector<std::string> relayOptions, std::vector<std::string> tarvoWords = {}) {
    XvfbOptions options;
    options.screens.assign(size_t(screens), "320x240x24");
    options.extraArguments = {"-nolisten", "tcp", "-br"};
    ASSERT_EQ(xvfb.start(options), "");
    relayLog = xrelayTempDir() + "/relay.log";
    relayOptions.insert(relayOptions.end(), {"-log", relayLog});
    ASSERT_EQ(relay.start(xvfb.displayName(), relayOptions), "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", relay.displayName() + ".0"};
    if (screens > 1) tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), {"tags", "anyScreen"});
    if (!tarvoWords.empty()) tarvoOptions.arguments = tarvoWords;
    for (std::string &w : tarvoOptions.arguments)
      if (size_t at = w.find("%U"); at != std::string::npos) w.replace(at, 2, relay.displayName());
    ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
  }

  std::string xdpyinfo(const std::string &display, const std::string &extension) {
    return xrelayRun("xdpyinfo -display " + display + " -ext " + extension + " 2>&1");
  }

  // The relay's log lines of requests with that major and minor.
  size_t relayLogged(int major, int minor) {
    std::istringstream lines(xrelayReadFile(relayLog));
    std::string line, wanted = " major " + std::to_string(major) + " minor " + std::to_string(minor) + " ";
    size_t n = 0;
    while (std::getline(lines, line)) n += line.find(wanted) != std::string::npos;
    return n;
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  TarvoProcess tarvo;
};

// The relay hands out the Multi-Buffering major from 255 down: it is the only emulation here.
constexpr int kRelayMbufMajor = 255;

TEST_F(BuffersOnRelay, BufferInfoPerScreenAsTheRelayAlone) {
  start(1, {"-emulate", "MBUF"});
  std::string alone = bufferInfoSummary(xdpyinfo(relay.displayName(), "Multi-Buffering"));
  ASSERT_NE(alone.find("mono multibuffer types"), std::string::npos) << alone;
  EXPECT_EQ(bufferInfoSummary(xdpyinfo(tarvo.displayName(), "Multi-Buffering")), alone);
}

// One meta screen of two heads: the first screen's answer. An unknown visual is left out and
// the stereo entry cut.
TEST_F(BuffersOnRelay, TwoHeadsAndABogusVisualGiveTheFirstScreenLessTheBogusEntries) {
  start(2, {"-emulate", "MBUF", "-mbuf-bogus-visual"});
  std::string alone = xdpyinfo(relay.displayName(), "Multi-Buffering");
  std::string through = xdpyinfo(tarvo.displayName(), "Multi-Buffering");
  auto count = [](const std::string &text, const std::string &what) {
    size_t at = text.find(what);
    return at == std::string::npos ? -1 : atoi(text.c_str() + text.find_first_of("0123456789", at + what.size()));
  };
  int relayMono = count(alone, "screen 0 number of mono multibuffer types:");
  ASSERT_GT(relayMono, 1) << alone;
  EXPECT_EQ(count(alone, "number of stereo multibuffer types:"), 1);
  EXPECT_EQ(count(through, "screen 0 number of mono multibuffer types:"), relayMono - 1) << through;
  EXPECT_EQ(count(through, "number of stereo multibuffer types:"), 0);
  EXPECT_EQ(through.find("screen 1"), std::string::npos);
}

// A window across the head boundary: one CreateImageBuffers per head with different ids; what
// is drawn into a buffer shows on both heads once displayed (through tarvo and on Xvfb).
TEST_F(BuffersOnRelay, BuffersAcrossTheHeadBoundaryDisplayOnBothHeads) {
  start(2, {"-emulate", "MBUF"});
  Display *display = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(display, nullptr);
  Display *direct = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(direct, nullptr);
  XSetErrorHandler(recordError);
  int eventBase = 0, errorBase = 0;
  ASSERT_TRUE(XmbufQueryExtension(display, &eventBase, &errorBase));
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0x404040;
  attributes.override_redirect = True;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 290, 20, 60, 40, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(display, window);
  XSync(display, False);
  size_t logFrom = xrelayReadFile(relayLog).size();
  Multibuffer buffers[2] = {};
  ASSERT_EQ(XmbufCreateBuffers(display, window, 2, MultibufferUpdateActionUntouched, MultibufferUpdateHintFrequent,
                               buffers),
            2);
  std::vector<std::vector<unsigned char>> created;
  for (auto &r : xrelayAnsweredSince(xrelayReadFile(relayLog), logFrom))
    if (r[0] == kRelayMbufMajor && r[1] == 1) created.push_back(r);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_NE(xrelayCard32(created[0], 4), xrelayCard32(created[1], 4));
  EXPECT_NE(xrelayCard32(created[0], 12), xrelayCard32(created[1], 12));
  EXPECT_NE(xrelayCard32(created[0], 16), xrelayCard32(created[1], 16));

  // Xvfb directly: the window's part on each screen (x 290 on screen 0, x 0 on screen 1).
  auto onXvfb = [&] {
    char text[32];
    snprintf(text, sizeof text, "%06lx+%06lx", dbePixelAt(direct, RootWindow(direct, 0), 295, 25),
             dbePixelAt(direct, RootWindow(direct, 1), 20, 25));
    return std::string(text);
  };
  GC gc = XCreateGC(display, buffers[1], 0, nullptr);
  XSetForeground(display, gc, 0xff0000);
  XFillRectangle(display, buffers[1], gc, 0, 0, 60, 40);
  XSync(display, False);
  EXPECT_EQ(dbePixels(display, window), "404040+404040");
  XmbufDisplayBuffers(display, 1, &buffers[1], 0, 0);
  XSync(display, False);
  EXPECT_EQ(dbePixels(display, window), "ff0000+ff0000");
  EXPECT_EQ(onXvfb(), "ff0000+ff0000");
  XSetForeground(display, gc, 0x0000ff);
  XFillRectangle(display, buffers[0], gc, 0, 0, 60, 40);
  XmbufDisplayBuffers(display, 1, &buffers[0], 0, 0);
  XSync(display, False);
  EXPECT_EQ(dbePixels(display, window), "0000ff+0000ff");
  EXPECT_EQ(onXvfb(), "0000ff+0000ff");
  EXPECT_EQ(dbePixels(display, buffers[1]), "ff0000+ff0000");  // Untouched
  EXPECT_EQ(lastErrorCode, 0);
  XmbufDestroyBuffers(display, window);
  XSync(display, False);
  EXPECT_EQ(relayLogged(kRelayMbufMajor, 2), 2u);  // one DestroyImageBuffers per head
  XFreeGC(display, gc);
  XCloseDisplay(direct);
  XCloseDisplay(display);
}

// A client of the other byte order on two heads: UpdateNotify once per display with its own
// buffer id, MbufBadBuffer with the client's id, stereo refused, a destroyed window's buffers
// unknown.
TEST_F(BuffersOnRelay, UpdateNotifyAndErrorsForAReversedClient) {
  start(2, {"-emulate", "MBUF"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  bool big = c.big();
  RawBytes answer;
  const std::string name = "Multi-Buffering";
  ASSERT_EQ(c.roundTrip(RawRequest(big).b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align().done(), answer),
            "");
  ASSERT_EQ(answer[8], 1);
  uint8_t major = answer[9], firstEvent = answer[10], firstError = answer[11];
  uint32_t window = c.idBase() + 1, b0 = c.idBase() + 2, b1 = c.idBase() + 3;
  // CreateWindow 290,20 60x40 with a background and override-redirect, then MapWindow.
  RawRequest create(big);
  create.b(1).b(0).s(10).i(window).i(c.rootWindow()).s(290).s(20).s(60).s(40).s(0).s(1).i(0).i(0x202).i(0x404040).i(1);
  ASSERT_EQ(c.send(create.done()), "");
  ASSERT_EQ(c.send(RawRequest(big).b(8).b(0).s(2).i(window).done()), "");
  RawRequest buffers(big);
  buffers.b(major).b(1).s(5).i(window).b(MultibufferUpdateActionUntouched).b(0).s(0).i(b0).i(b1);
  ASSERT_EQ(c.roundTrip(buffers.done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(rawGet16(answer, 8, big), 2);
  for (uint32_t b : {b0, b1})
    ASSERT_EQ(c.send(mbufRequest(c, major, 6, {b, 1, MultibufferUpdateNotifyMask})), "");

  auto displayAndCollect = [&](uint32_t buffer) {
    RawRequest show(big);
    show.b(major).b(3).s(3).s(0).s(0).i(buffer);
    std::string out;
    if (std::string e = c.send(show.done()); !e.empty()) return e;
    for (const RawBytes &e : messagesBeforeSync(c)) {
      if (e[0] == 0) {
        out += "error " + std::to_string(e[1]) + " value " + std::to_string(rawGet32(e, 4, big)) + ";";
      } else if ((e[0] & 0x7f) == firstEvent + 1) {
        out += "update " + std::to_string(rawGet32(e, 4, big)) + ";";
      }
    }
    return out;
  };
  EXPECT_EQ(displayAndCollect(b1), "update " + std::to_string(b1) + ";");
  EXPECT_EQ(displayAndCollect(b0), "update " + std::to_string(b0) + ";");
  uint32_t stranger = c.idBase() + 40;
  EXPECT_EQ(displayAndCollect(stranger), "error " + std::to_string(firstError) + " value " + std::to_string(stranger) + ";");

  RawRequest stereo(big);
  stereo.b(major).b(9).s(11).b(0).b(0).b(0).b(0).i(c.idBase() + 5).i(c.rootWindow()).i(c.idBase() + 6).i(c.idBase() + 7);
  stereo.s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0);
  ASSERT_EQ(c.send(stereo.done()), "");
  std::vector<RawBytes> refused = messagesBeforeSync(c);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0][0], 0);
  EXPECT_EQ(refused[0][1], BadMatch);
  EXPECT_EQ(refused[0][10], major);

  ASSERT_EQ(c.send(RawRequest(big).b(4).b(0).s(2).i(window).done()), "");  // DestroyWindow
  EXPECT_EQ(displayAndCollect(b1), "error " + std::to_string(firstError) + " value " + std::to_string(b1) + ";");
}

// ----- DOUBLE-BUFFER emulated by Multi-Buffering ------------------------------------------------

TEST_F(BuffersOnRelay, EmulatedDoubleBufferAnimatesAsPlainXvfb) {
  start(1, {"-hide", "DOUBLE-BUFFER", "-emulate", "MBUF"}, {"screen", "%U.0", "emulateDoubleBuffer", "on"});
  EXPECT_TRUE(tarvo.waitForLog("Emulating DOUBLE-BUFFER by Multi-Buffering on", 5000)) << tarvo.log();
  std::string info = dbeVisualInfo(tarvo.displayName());
  ASSERT_NE(info.find("screen 0: "), std::string::npos) << info;
  EXPECT_EQ(info.find(" 0\n"), std::string::npos) << info;  // some visual is listed
  std::istringstream entries(info.substr(info.find(':') + 1));
  std::string entry;
  entries >> entry;  // the count
  while (entries >> entry) EXPECT_EQ(entry.substr(entry.find('/')), "/255") << info;

  std::string direct = dbeAnimate(xvfb.displayName());
  ASSERT_NE(direct.find("attributes ok"), std::string::npos) << direct;
  // Direct x 50 lies beyond the 320-pixel screen as through tarvo.
  std::string through = dbeAnimate(tarvo.displayName());
  EXPECT_EQ(through, direct);
  // Xvfb's DOUBLE-BUFFER is hidden: none of its requests reached the relay (GetVersion and
  // GetBackBufferAttributes are answered by tarvo, idioms dropped).
  Display *plain = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(plain, nullptr);
  int dbeMajor = 0, event = 0, error = 0;
  ASSERT_TRUE(XQueryExtension(plain, "DOUBLE-BUFFER", &dbeMajor, &event, &error));
  XCloseDisplay(plain);
  EXPECT_EQ(xrelayReadFile(relayLog).find(" major " + std::to_string(dbeMajor) + " "), std::string::npos);
}

// Two names of one window share one pair: one CreateImageBuffers and, with the last name, one
// DestroyImageBuffers; a swap action above 3 is refused.
TEST_F(BuffersOnRelay, EmulatedNamesOfOneWindowShareThePair) {
  start(1, {"-hide", "DOUBLE-BUFFER", "-emulate", "MBUF"}, {"screen", "%U.0", "emulateDoubleBuffer", "on"});
  Display *display = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(display, nullptr);
  XSetErrorHandler(recordError);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0x404040;
  attributes.override_redirect = True;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 20, 20, 60, 40, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(display, window);
  XdbeBackBuffer one = XdbeAllocateBackBufferName(display, window, XdbeCopied);
  XdbeBackBuffer two = XdbeAllocateBackBufferName(display, window, XdbeCopied);
  GC gc = XCreateGC(display, window, 0, nullptr);
  XdbeSwapInfo info{window, XdbeCopied};
  auto frame = [&](XdbeBackBuffer name, unsigned long colour) {
    XSetForeground(display, gc, colour);
    XFillRectangle(display, name, gc, 0, 0, 60, 40);
    XdbeSwapBuffers(display, &info, 1);
    XSync(display, False);
    return dbePixels(display, window);
  };
  EXPECT_EQ(frame(two, 0xff0000), "ff0000+ff0000");
  EXPECT_EQ(frame(one, 0x00ff00), "00ff00+00ff00");
  XdbeDeallocateBackBufferName(display, one);
  EXPECT_EQ(frame(two, 0x0000ff), "0000ff+0000ff");
  EXPECT_EQ(lastErrorCode, 0);
  XdbeSwapInfo bad{window, XdbeSwapAction(7)};
  XdbeSwapBuffers(display, &bad, 1);
  XSync(display, False);
  EXPECT_EQ(lastErrorCode, BadValue);
  EXPECT_EQ(relayLogged(kRelayMbufMajor, 1), 1u);
  EXPECT_EQ(relayLogged(kRelayMbufMajor, 2), 0u);
  XdbeDeallocateBackBufferName(display, two);
  XSync(display, False);
  EXPECT_EQ(relayLogged(kRelayMbufMajor, 2), 1u);
  XFreeGC(display, gc);
  XCloseDisplay(display);
}

// The relay makes one buffer only: the allocation gives BadAlloc and the id is free again.
TEST_F(BuffersOnRelay, EmulatedAllocationWithTooFewBuffersGivesBadAlloc) {
  start(1, {"-hide", "DOUBLE-BUFFER", "-emulate", "MBUF", "-mbuf-alloc", "1"},
        {"screen", "%U.0", "emulateDoubleBuffer", "on"});
  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'l'), "");
  bool big = c.big();
  uint8_t dbe = c.queryExtension("DOUBLE-BUFFER");
  ASSERT_NE(dbe, 0);
  uint32_t window = c.idBase() + 1, name = c.idBase() + 2;
  RawRequest create(big);
  create.b(1).b(0).s(8).i(window).i(c.rootWindow()).s(20).s(20).s(60).s(40).s(0).s(1).i(0).i(0);
  ASSERT_EQ(c.send(create.done()), "");
  ASSERT_EQ(c.send(RawRequest(big).b(dbe).b(1).s(4).i(window).i(name).b(0).b(0).s(0).done()), "");
  uint16_t allocation = c.sequence();
  RawBytes answer;
  std::string errors;
  for (const RawBytes &e : messagesBeforeSync(c))
    if (e[0] == 0) errors += std::to_string(e[1]) + "@" + std::to_string(rawGet16(e, 2, big) == allocation) + ";";
  EXPECT_EQ(errors, "11@1;");
  // The id is free: a pixmap takes it.
  ASSERT_EQ(c.send(RawRequest(big).b(53).b(24).s(4).i(name).i(window).s(8).s(8).done()), "");
  EXPECT_TRUE(messagesBeforeSync(c).empty());
}

TEST_F(BuffersOnRelay, EmulationWorksWithMultiBufferingLeftOut) {
  start(1, {"-hide", "DOUBLE-BUFFER", "-emulate", "MBUF"},
        {"screen", "%U.0", "emulateDoubleBuffer", "on", "extensions", "-Multi-Buffering"});
  std::string list = xrelayRun("xdpyinfo -queryExtensions -display " + tarvo.displayName() + " 2>&1");
  EXPECT_EQ(list.find("Multi-Buffering"), std::string::npos);
  EXPECT_NE(list.find("DOUBLE-BUFFER"), std::string::npos) << list;
  std::string through = dbeAnimate(tarvo.displayName());
  EXPECT_EQ(through, dbeAnimate(xvfb.displayName()));
}

TEST_F(BuffersOnRelay, WithoutMultiBufferingDoubleBufferIsNotOffered) {
  start(1, {"-hide", "DOUBLE-BUFFER"}, {"screen", "%U.0", "emulateDoubleBuffer", "on"});
  EXPECT_TRUE(tarvo.waitForLog("does not support extension DOUBLE-BUFFER", 5000)) << tarvo.log();
  EXPECT_EQ(dbeAnimate(tarvo.displayName()), "no DOUBLE-BUFFER");
}

// Clients killed while they display image buffers (on two heads), and while they swap an
// emulated back buffer, leave nothing behind: tarvo serves the next client and ends with
// status 0 and no sanitizer report.
TEST_F(BuffersOnRelay, ClientsKilledMidAnimationLeakNothing) {
  start(2, {"-emulate", "MBUF"}, {"screen", "%U.0", "emulateDoubleBuffer", "on", "tags", "anyScreen"});
  ASSERT_EQ(bufferAnimationKilled(tarvo.displayName(), true), "");
  ASSERT_EQ(bufferAnimationKilled(tarvo.displayName(), false), "");
  EXPECT_GE(relayLogged(kRelayMbufMajor, 1), 4u);  // one per head and client
  Display *display = XOpenDisplay(tarvo.displayName().c_str());
  ASSERT_NE(display, nullptr);
  int eventBase = 0, errorBase = 0;
  EXPECT_TRUE(XmbufQueryExtension(display, &eventBase, &errorBase));
  XSync(display, False);
  XCloseDisplay(display);
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  for (const char *report : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(tarvo.output().find(report), std::string::npos) << tarvo.output();
}

}  // namespace
