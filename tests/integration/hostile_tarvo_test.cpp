// Hostile and retained clients through the tarvo executable, on one head and on two heads (two
// screens of one Xvfb joined into one meta screen by "tags anyScreen"), noReset on: clients
// that close in the middle of their requests, a long run of round trips, a client whose setup
// meets the last client's close, retained windows and a retained server grab. Raw clients of
// both byte orders. Every case ends with tarvo still serving new clients, and stopping with
// status 0 on SIGTERM with no sanitizer report in its output.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

// ----- Requests, built as words in the client's byte order -------------------------------------

RawBytes joined(std::initializer_list<RawBytes> requests) {
  RawBytes all;
  for (const RawBytes &r : requests) all.insert(all.end(), r.begin(), r.end());
  return all;
}

RawBytes openFont(bool big, uint32_t font, const std::string &name) {
  return RawRequest(big).b(45).b(0).s(0).i(font).s(unsigned(name.size())).s(0).text(name).done();
}

RawBytes internAtom(bool big, const std::string &name) {
  return RawRequest(big).b(16).b(0).s(0).s(unsigned(name.size())).s(0).text(name).done();
}

// Black on white; mask 0 is None.
RawBytes createGlyphCursor(bool big, uint32_t cursor, uint32_t font, uint32_t mask, unsigned sourceChar,
                           unsigned maskChar) {
  RawRequest r(big);
  r.b(94).b(0).s(0).i(cursor).i(font).i(mask).s(sourceChar).s(maskChar);
  r.s(0).s(0).s(0).s(0xffff).s(0xffff).s(0xffff);
  return r.done();
}

RawBytes freeCursor(bool big, uint32_t cursor) { return RawRequest(big).b(95).b(0).s(0).i(cursor).done(); }
RawBytes getInputFocus(bool big) { return RawRequest(big).b(43).b(0).s(0).done(); }
RawBytes grabServer(bool big) { return RawRequest(big).b(36).b(0).s(0).done(); }
RawBytes ungrabServer(bool big) { return RawRequest(big).b(37).b(0).s(0).done(); }
RawBytes setCloseDownMode(bool big, unsigned mode) { return RawRequest(big).b(112).b(mode).s(0).done(); }
RawBytes killClient(bool big, uint32_t resource) { return RawRequest(big).b(113).b(0).s(0).i(resource).done(); }
RawBytes getGeometry(bool big, uint32_t drawable) { return RawRequest(big).b(14).b(0).s(0).i(drawable).done(); }

// An InputOutput child of the parent with the parent's depth and visual, no attributes.
RawBytes createWindow(bool big, uint32_t window, uint32_t parent, int x, int y, unsigned width, unsigned height) {
  RawRequest r(big);
  r.b(1).b(0).s(0).i(window).i(parent).s(unsigned(x) & 0xffff).s(unsigned(y) & 0xffff).s(width).s(height);
  r.s(0).s(1).i(0).i(0);
  return r.done();
}

constexpr uint32_t kAtomPrimary = 1;
constexpr uint8_t kBadDrawable = 9;

// What an answer is, for failure messages: "reply", "error 9 (major 14)", "event 12".
std::string describe(const RawBytes &m) {
  if (m.empty()) return "nothing";
  if (m[0] == 1) return "reply";
  if (m[0] == 0) return "error " + std::to_string(m[1]) + " (major " + std::to_string(m.size() > 10 ? m[10] : 0) + ")";
  return "event " + std::to_string(m[0] & 0x7f);
}

size_t countOf(const std::string &text, const std::string &word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) count++;
  return count;
}

// ----- The fixture: one Xvfb of 1 or 2 screens and tarvo on it --------------------------------

class HostileTarvo : public ::testing::TestWithParam<int> {
 public:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void SetUp() override {
    TarvoOptions options;  // noReset on
    options.logTypes = {"steps", "Clients"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, GetParam(), "640x480x24", options), "");
  }

  void TearDown() override {
    if (!tarvo.directory().empty()) {
      std::string log = tarvo.log();
      EXPECT_EQ(log.find("poll entries"), std::string::npos) << "descriptor readers piled up";
      EXPECT_EQ(tarvo.stop(), 0) << "tarvo's exit status on SIGTERM";
      std::string output = tarvo.output();
      EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << "sanitizer report from tarvo:\n" << output;
      EXPECT_EQ(output.find("runtime error"), std::string::npos) << "sanitizer report from tarvo:\n" << output;
    }
  }

  int display() const { return tarvo.displayNumber(); }

  // "" while tarvo runs, else how it ended.
  std::string alive() {
    if (tarvo.wait(0) < 0) return "";
    return "tarvo ended with status " + std::to_string(tarvo.status());
  }

  // A GetInputFocus round trip: "" when its reply came.
  static std::string served(RawClient &c, int timeoutMs = 10000) {
    RawBytes answer;
    if (std::string e = c.roundTrip(getInputFocus(c.big()), answer, timeoutMs); !e.empty()) return e;
    return answer[0] == 1 ? "" : "GetInputFocus answered with " + describe(answer);
  }

  // Connects a new client and makes a round trip; "" when it was served.
  std::string connectServed(RawClient &c, char order) {
    if (std::string e = c.connect(display(), order); !e.empty()) return "connect (" + std::string(1, order) + "): " + e;
    return served(c);
  }

  // tarvo runs and serves fresh clients of both byte orders.
  void expectBystandersServed() {
    ASSERT_EQ(alive(), "");
    for (char order : {'l', 'B'}) {
      RawClient bystander;
      EXPECT_EQ(connectServed(bystander, order), "") << "bystander " << order;
    }
  }

  // Waits (at most 3 s) until tarvo has logged this many client stops in all: a later client
  // then does not meet the close half done. No failure here: the requests that follow judge.
  void awaitClientStops(size_t count) {
    long long deadline = xvfbNowMs() + 3000;
    while (countOf(tarvo.log(), " stopped (") < count && xvfbNowMs() < deadline && alive().empty()) usleep(5000);
  }
  size_t clientStops() { return countOf(tarvo.log(), " stopped ("); }

  XvfbServer xvfb;
  TarvoProcess tarvo;  // declared after the Xvfb: ends (and prints its log on failure) first
};

// ----- 1. Three requests, then the close at once ------------------------------------------------

// OpenFont, InternAtom and CreateGlyphCursor in one write, then the socket closes before any
// answer is read: the cursor's work for the display connections must not outlive the client.
// First with no other client connected (each close is the last client's), then beside a
// bystander that is served after every close.
TEST_P(HostileTarvo, ThreeRequestsThenCloseLeaveTarvoServing) {
  std::unique_ptr<RawClient> bystander;
  for (int i = 0; i < 30; i++) {
    SCOPED_TRACE("try " + std::to_string(i));
    char order = i % 2 ? 'B' : 'l';
    bool withMask = (i / 2) % 2 == 0;
    if (i == 10) {
      bystander = std::make_unique<RawClient>();
      ASSERT_EQ(connectServed(*bystander, 'B'), "");
    }
    size_t stops = clientStops();
    {
      RawClient c;
      ASSERT_EQ(c.connect(display(), order), "") << alive();
      bool big = c.big();
      uint32_t font = c.idBase() | 1, cursor = c.idBase() | 2;
      RawBytes all = joined({openFont(big, font, "fixed"), internAtom(big, "PRIMARY"),
                             createGlyphCursor(big, cursor, font, withMask ? font : 0, 68, withMask ? 69 : 0)});
      ASSERT_EQ(c.sendRaw(all.data(), all.size()), "");
    }  // closed here
    if (bystander) {
      ASSERT_EQ(served(*bystander), "") << alive();
    } else {
      awaitClientStops(stops + 1);
    }
    ASSERT_EQ(alive(), "");
  }
  expectBystandersServed();
}

// ----- 2. Many round trips of the same kind -----------------------------------------------------

// Each round: InternAtom (its reply comes before the cursor's work on the real server is done),
// CreateGlyphCursor, FreeCursor and GetInputFocus; both replies must come, no error. Work left
// behind per round (descriptor readers) would fill the event loop's poll table long before the
// end. Afterwards the client leaves and a new one is served.
TEST_P(HostileTarvo, RoundTripsKeepEveryAnswer) {
  RawClient bystander;
  ASSERT_EQ(connectServed(bystander, 'B'), "");
  constexpr int kRounds = 3000;
  {
    RawClient c;
    ASSERT_EQ(c.connect(display(), 'l'), "");
    bool big = c.big();
    uint32_t font = c.idBase() | 1, cursor = c.idBase() | 2;
    ASSERT_EQ(c.send(openFont(big, font, "fixed")), "");
    for (int round = 0; round < kRounds; round++) {
      SCOPED_TRACE("round " + std::to_string(round));
      bool withMask = round % 2 == 0;
      uint16_t first = uint16_t(c.sequence() + 1);
      RawBytes all = joined({internAtom(big, "PRIMARY"),
                             createGlyphCursor(big, cursor, font, withMask ? font : 0, 68, withMask ? 69 : 0),
                             freeCursor(big, cursor), getInputFocus(big)});
      ASSERT_EQ(c.sendRaw(all.data(), all.size()), "");
      c.setSequence(uint16_t(first + 3));
      RawBytes answer;
      ASSERT_EQ(c.read(answer, 10000), "") << alive();
      ASSERT_EQ(describe(answer), "reply");
      ASSERT_EQ(rawGet16(answer, 2, big), uint32_t(first)) << "InternAtom's reply";
      ASSERT_EQ(rawGet32(answer, 8, big), kAtomPrimary);
      ASSERT_EQ(c.read(answer, 10000), "") << alive();
      ASSERT_EQ(describe(answer), "reply");
      ASSERT_EQ(rawGet16(answer, 2, big), uint32_t(uint16_t(first + 3))) << "GetInputFocus's reply";
      if (round % 500 == 499) {
        ASSERT_EQ(tarvo.log().find("poll entries"), std::string::npos);
      }
    }
  }
  ASSERT_EQ(served(bystander), "");
  RawClient next;
  EXPECT_EQ(connectServed(next, 'B'), "");
  EXPECT_EQ(tarvo.log().find("poll entries"), std::string::npos);
  expectBystandersServed();
}

// ----- 3. A setup meets the last client's close -------------------------------------------------

// Client A is the only client; B's setup arrives as A closes (just before or just after). With
// noReset on, B's setup must be answered with success and B served; B is then the next A.
TEST_P(HostileTarvo, SetupWhileTheLastClientLeavesIsServed) {
  constexpr int kTries = 20;
  auto a = std::make_unique<RawClient>();
  ASSERT_EQ(connectServed(*a, 'l'), "");
  std::vector<std::string> failures;
  for (int i = 0; i < kTries; i++) {
    char order = i % 2 ? 'l' : 'B';
    int fd = rawConnectUnix(display());
    ASSERT_GE(fd, 0) << alive();
    auto b = std::make_unique<RawClient>();
    if ((i / 2) % 2 == 0) {
      a->close();
    } else {
      // B's setup is written first; A closes while B waits for the reply.
      b->setPump([&a] { a->close(); });
    }
    std::string e = b->connectFd(fd, order, 5000);
    b->setPump(nullptr);
    a->close();
    if (e.empty()) e = served(*b, 5000);
    if (!e.empty()) {
      failures.push_back("try " + std::to_string(i) + ": " + e);
      ASSERT_EQ(alive(), "");
      b = std::make_unique<RawClient>();
      ASSERT_EQ(connectServed(*b, order), "");
    }
    a = std::move(b);
  }
  std::string all;
  for (const std::string &f : failures) all += f + "\n";
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << kTries << " setups failed:\n" << all;
  a->close();
  expectBystandersServed();
}

// ----- 4. A retained window --------------------------------------------------------------------

// A creates a top-level window, asks for RetainPermanent and leaves as the last client; B comes
// and goes. The window stays for C until C kills it by its id.
TEST_P(HostileTarvo, RetainedWindowStaysUntilKilled) {
  uint32_t window = 0;
  size_t stops = clientStops();
  {
    RawClient a;
    ASSERT_EQ(a.connect(display(), 'B'), "");
    bool big = a.big();
    window = a.idBase() | 0x10;
    RawBytes answer;
    ASSERT_EQ(a.send(createWindow(big, window, a.rootWindow(), 10, 20, 100, 50)), "");
    ASSERT_EQ(a.send(setCloseDownMode(big, 1)), "");
    ASSERT_EQ(a.roundTrip(getInputFocus(big), answer), "");
    ASSERT_EQ(describe(answer), "reply");
  }
  awaitClientStops(stops + 1);
  {
    RawClient b;
    ASSERT_EQ(connectServed(b, 'l'), "") << alive();
  }
  awaitClientStops(stops + 2);
  RawClient c;
  ASSERT_EQ(connectServed(c, 'B'), "") << alive();
  bool big = c.big();
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(getGeometry(big, window), answer), "");
  ASSERT_EQ(describe(answer), "reply") << "GetGeometry of the retained window";
  EXPECT_EQ(rawGet16(answer, 12, big), 10u);
  EXPECT_EQ(rawGet16(answer, 14, big), 20u);
  EXPECT_EQ(rawGet16(answer, 16, big), 100u);
  EXPECT_EQ(rawGet16(answer, 18, big), 50u);
  ASSERT_EQ(c.send(killClient(big, window)), "");
  ASSERT_EQ(c.roundTrip(getGeometry(big, window), answer), "") << alive();
  EXPECT_EQ(describe(answer), "error " + std::to_string(kBadDrawable) + " (major 14)")
      << "GetGeometry after KillClient";
  EXPECT_EQ(served(c), "");
  c.close();
  expectBystandersServed();
}

// ----- 5. Server grabs of clients that leave ----------------------------------------------------

// A client that grabs the server and leaves, in RetainPermanent mode or in the default
// DestroyAll: its grab goes with its connection either way. While it holds the grab, the
// waiting client (when given) sends GetInputFocus and gets no answer; once the grabber has left
// the answer comes at once.
void grabAndLeave(HostileTarvo &fixture, RawClient *waiting, bool retain) {
  RawClient a;
  ASSERT_EQ(a.connect(fixture.tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(a.send(grabServer(a.big())), "");
  if (retain) {
    ASSERT_EQ(a.send(setCloseDownMode(a.big(), 1)), "");
  }
  ASSERT_EQ(HostileTarvo::served(a), "");
  if (!waiting) return;
  ASSERT_EQ(waiting->send(getInputFocus(waiting->big())), "");
  RawBytes early;
  ASSERT_EQ(waiting->read(early, 300), "time-out reading from the X server")
      << "the waiting client was answered (" << describe(early) << ") during the grab";
  ASSERT_EQ(HostileTarvo::served(a), "") << "the grabbing client";
  a.close();
  RawBytes answer;
  ASSERT_EQ(waiting->read(answer, 3000), "") << "the waiting client after the grabbing one left; " << fixture.alive();
  EXPECT_EQ(describe(answer), "reply");
  EXPECT_EQ(rawGet16(answer, 2, waiting->big()), uint32_t(waiting->sequence()));
  EXPECT_EQ(HostileTarvo::served(*waiting), "");
}

// After a grabbing client left: B grabs the server and is served, then ungrabs; C is served.
void othersGrabAfterwards(HostileTarvo &fixture) {
  RawClient b;
  ASSERT_EQ(b.connect(fixture.tarvo.displayNumber(), 'B'), "") << fixture.alive();
  ASSERT_EQ(b.send(grabServer(b.big())), "");
  ASSERT_EQ(HostileTarvo::served(b, 5000), "") << "the grabbing B";
  ASSERT_EQ(b.send(ungrabServer(b.big())), "");
  ASSERT_EQ(HostileTarvo::served(b, 5000), "");
  RawClient c;
  ASSERT_EQ(fixture.connectServed(c, 'l'), "") << "C after B's ungrab";
}

// The retained grabber alone (its close is the last client's), the retained grabber beside a
// waiting client, and the plain grabber beside a waiting client.
TEST_P(HostileTarvo, GrabOfALeavingClientEnds) {
  size_t stops = clientStops();
  {
    SCOPED_TRACE("retained grabber, no other client");
    ASSERT_NO_FATAL_FAILURE(grabAndLeave(*this, nullptr, true));
    awaitClientStops(stops + 1);
    ASSERT_NO_FATAL_FAILURE(othersGrabAfterwards(*this));
  }
  RawClient d;
  ASSERT_EQ(connectServed(d, 'B'), "");
  {
    SCOPED_TRACE("retained grabber, D waiting");
    ASSERT_NO_FATAL_FAILURE(grabAndLeave(*this, &d, true));
    ASSERT_NO_FATAL_FAILURE(othersGrabAfterwards(*this));
  }
  {
    SCOPED_TRACE("DestroyAll grabber, D waiting");
    ASSERT_NO_FATAL_FAILURE(grabAndLeave(*this, &d, false));
    ASSERT_NO_FATAL_FAILURE(othersGrabAfterwards(*this));
  }
  EXPECT_EQ(served(d), "");
  expectBystandersServed();
}

// ----- 6. A setup cut short by the end of its input --------------------------------------------

// The first 16 bytes of a setup that names a 65 535-byte authorization (and then a few bytes of
// the name, and nothing), then the peer shuts its writing side and reads: tarvo closes it at
// once, as the real server does, not by the setup timer a minute later (the wait's ceiling stays
// far below that). Both byte orders, with and without a client already served.
TEST_P(HostileTarvo, SetupEndedBeforeItIsCompleteIsClosedAtOnce) {
  RawClient bystander;
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE("try " + std::to_string(i));
    bool big = i % 2;
    if (i == 2) {
      ASSERT_EQ(connectServed(bystander, 'l'), "");
    }
    int fd = rawConnectUnix(display());
    ASSERT_GE(fd, 0);
    RawRequest setup(big);
    setup.b(big ? 'B' : 'l').b(0).s(11).s(0).s(65535).s(0).s(0).text("MIT-");
    ASSERT_TRUE(rawSendAll(fd, setup.d.data(), setup.d.size()));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    // Nothing comes but the end.
    long long began = xvfbNowMs();
    uint8_t byte = 0;
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1) << "not closed within 30 s";
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    EXPECT_LT(xvfbNowMs() - began, 30000);
    close(fd);
    ASSERT_EQ(alive(), "");
  }
  EXPECT_EQ(served(bystander), "");
  expectBystandersServed();
}

// ----- 7. Clients whose output is full ----------------------------------------------------------

RawBytes selectPropertyChange(bool big, uint32_t window) {
  return RawRequest(big).b(2).b(0).s(0).i(window).i(1u << 11).i(1u << 22).done();  // ChangeWindowAttributes
}
// ChangeProperty (Replace) of CUT_BUFFER0 on the window, one byte of type STRING: a PropertyNotify
// to whoever selected PropertyChange there.
RawBytes changeCutBuffer(bool big, uint32_t window) {
  return RawRequest(big).b(18).b(0).s(0).i(window).i(9).i(31).b(8).pad(3).i(1).text("x").done();
}
RawBytes repeated(const RawBytes &request, size_t n) {
  RawBytes all;
  all.reserve(request.size() * n);
  for (size_t i = 0; i < n; i++) all.insert(all.end(), request.begin(), request.end());
  return all;
}

// A client whose own root property changes have piled up a megabyte of notifications for it,
// unread, sends a megabyte more of requests in one blocking write before it reads, as
// python-xlib does: tarvo takes it all, as the server does directly, and once the client reads,
// every notification and the reply behind them come. (The write's ceiling only turns a hang
// into a failure.)
TEST_P(HostileTarvo, ClientWritingBeforeItReadsWithAFullOutputIsNotStuck) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(display(), order), "");
    bool big = c.big();
    ASSERT_EQ(c.send(selectPropertyChange(big, c.rootWindow())), "");
    ASSERT_EQ(served(c), "");
    c.setNeverRead(true);
    const RawBytes change = changeCutBuffer(big, c.rootWindow());
    const size_t first = 32768, second = (1 << 20) / change.size() + 1;  // a megabyte each way
    RawBytes burst = repeated(change, first);
    ASSERT_EQ(c.sendRaw(burst.data(), burst.size(), 30000), "") << alive();
    burst = repeated(change, second);
    ASSERT_EQ(c.sendRaw(burst.data(), burst.size(), 30000), "") << "the blocking write; " << alive();
    c.setSequence(uint16_t(c.sequence() + first + second));
    c.setNeverRead(false);
    c.events().clear();
    ASSERT_EQ(served(c, 30000), "");
    size_t notifications = 0;
    for (const RawBytes &e : c.events()) notifications += (e[0] & 0x7f) == 28;
    EXPECT_EQ(notifications, first + second);
  }
  expectBystandersServed();
}

// A client holds the server, makes 60 000 root property changes that notify itself, reads none
// of it and shuts its writing side: tarvo ends it and its grab with it, as the real server does
// at the end of a client's input, and a client that waited for the grab is answered; the
// grabber's socket ends.
TEST_P(HostileTarvo, GrabberThatShutsItsWritingSideWithUnreadEventsEndsWithItsGrab) {
  RawClient waiting;
  ASSERT_EQ(connectServed(waiting, 'B'), "");
  RawClient g;
  ASSERT_EQ(g.connect(display(), 'l'), "");
  ASSERT_EQ(g.send(selectPropertyChange(false, g.rootWindow())), "");
  ASSERT_EQ(g.send(grabServer(false)), "");
  ASSERT_EQ(served(g), "");
  g.setNeverRead(true);
  const RawBytes burst = repeated(changeCutBuffer(false, g.rootWindow()), 60000);
  ASSERT_EQ(g.sendRaw(burst.data(), burst.size(), 30000), "") << alive();
  ASSERT_EQ(waiting.send(getInputFocus(true)), "");
  RawBytes answer;
  ASSERT_EQ(waiting.read(answer, 300), "time-out reading from the X server") << "answered during the grab";
  ASSERT_EQ(shutdown(g.fd(), SHUT_WR), 0);
  ASSERT_EQ(waiting.read(answer, 30000), "") << "the grab did not end with its holder; " << alive();
  EXPECT_EQ(describe(answer), "reply");
  EXPECT_EQ(g.waitClosed(30000), "");
  expectBystandersServed();
}

INSTANTIATE_TEST_SUITE_P(Heads, HostileTarvo, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "OneHead" : "TwoHeads"; });

}  // namespace
