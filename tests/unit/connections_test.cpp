// Closing clients through the fake core: what a client that leaves takes with it, whether its
// resources are retained or not, and what its leaving asks of the server's reset.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcoresetup.h"
#include "proxy/xproxy.h"
#include "support/buffer.h"
#include "support/orders.h"

namespace {

constexpr uint8_t kChangeWindowAttributes = 2, kGrabButton = 28, kUngrabButton = 29, kGrabServer = 36,
                  kUngrabServer = 37;

FakeBytes plain(bool big, uint8_t opcode) { return FakeMessage(big).b(opcode).b(0).s(0).done(); }

// What a closed client leaves the fake core to do: the record is gone.
void forget(FakeClient &f) { f.client = nullptr; }

bool selects(WindowRecord *window, ClientConnection *client) {
  for (EventSelection *s = window->selections; s; s = s->next)
    if (s->client == client) return true;
  return false;
}

// A server grab ends with its holder, whether the holder's resources are retained or not: the
// other clients are read again and the next GrabServer is served.
TEST(ClientClose, ServerGrabEndsWithItsHolder) {
  for (uint8_t mode : {0, 1, 2}) {
    SCOPED_TRACE(int(mode));
    FakeCore core;
    core.addScreen(800, 600);
    FakeClient &a = core.addClient(mode == 1);
    FakeClient &b = core.addClient(mode != 1);
    core.send(a, plain(a.big, kGrabServer));
    ASSERT_EQ(proxyState.serverGrabClient, a.client);
    ASSERT_EQ(b.client->readOrder, nullptr);  // not read while another holds the server
    a.client->closeDownMode = mode;
    xproxyCloseClient(a.client, "Broken connection", 1);
    if (mode == 0) {
      EXPECT_EQ(xproxyClientByIndex(a.index), nullptr);
      forget(a);
    } else {
      EXPECT_TRUE(a.client->retained);
    }
    EXPECT_EQ(proxyState.serverGrabClient, nullptr);
    EXPECT_EQ(miscGrabbingClient, nullptr);
    EXPECT_NE(b.client->readOrder, nullptr);
    core.send(b, plain(b.big, kGrabServer));
    EXPECT_EQ(proxyState.serverGrabClient, b.client);
    EXPECT_FALSE(core.logged("Already grabbed"));
    core.send(b, plain(b.big, kUngrabServer));
    EXPECT_EQ(proxyState.serverGrabClient, nullptr);
  }
}

// A retained close keeps the client listed with its server connections, but what would go on
// acting for it is released on the real server: its event masks (on the real roots and its
// windows' copies) become 0 and its passive grabs are ungrabbed there and in the proxy.
TEST(ClientClose, RetainedCloseReleasesSelectionsAndGrabsOnTheServer) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "msb first" : "lsb first");
    FakeCore core;
    core.addScreen(800, 600);
    core.addRealDisplay();
    FakeClient &a = core.addClient(big);
    uint32_t root = core.root()->id;
    core.send(a, FakeMessage(big).b(kChangeWindowAttributes).b(0).s(0).i(root).i(0x800).i(0x20000).done());
    core.send(a, FakeMessage(big).b(kGrabButton).b(1).s(0).i(root).s(4).b(1).b(1).i(0).i(0).b(1).b(0).s(0).done());
    ASSERT_TRUE(selects(core.root(), a.client));
    ASSERT_NE(a.client->passiveGrabs, nullptr);
    core.answerRoundTrips(a);
    core.serverRequests(a);
    a.client->closeDownMode = 1;
    xproxyCloseClient(a.client, "Broken connection", 1);
    ASSERT_EQ(xproxyClientByIndex(a.index), a.client);
    EXPECT_TRUE(a.client->retained);
    EXPECT_EQ(a.client->displayCount, 1u);
    EXPECT_FALSE(selects(core.root(), a.client));
    EXPECT_EQ(a.client->passiveGrabs, nullptr);
    // (requests towards the real server are in the proxy's own order, least significant first)
    auto word = [](const FakeBytes &r, size_t at) { return uint32_t(r[at] | r[at + 1] << 8 | r[at + 2] << 16 | r[at + 3] << 24); };
    std::vector<uint32_t> cleared;
    int ungrabbed = 0;
    for (const FakeBytes &r : core.serverRequests(a)) {
      if (r[0] == kChangeWindowAttributes && word(r, 8) == 0x800 && word(r, 12) == 0) cleared.push_back(word(r, 4));
      if (r[0] == kUngrabButton && r[1] == 1) ungrabbed++;
    }
    Head *head = core.heads().front();
    EXPECT_NE(std::find(cleared.begin(), cleared.end(), core.realRoot(head)), cleared.end());
    EXPECT_NE(std::find(cleared.begin(), cleared.end(), core.realId(root, head)), cleared.end());
    EXPECT_EQ(ungrabbed, 1);
    // KillClient of the retained client closes it fully.
    xproxyCloseClient(a.client, "KillClient", 0);
    EXPECT_EQ(xproxyClientByIndex(a.index), nullptr);
    forget(a);
  }
}

// A client retained while the end of its input is still being served (its socket broke on a
// write meanwhile) stays retained: the closer of ended clients has nothing left to drain for it
// and must not close it a second time, fully.
TEST(ClientClose, RetainedWhileItsInputsEndIsServedStaysRetained) {
  FakeCore core;
  core.addScreen(800, 600);
  core.addRealDisplay();
  FakeClient &a = core.addClient(false);
  a.client->closeDownMode = 1;
  miscScheduleClientReads(a.client);
  ASSERT_EQ(shutdown(a.peer, SHUT_WR), 0);
  for (int k = 0; k < 10 && !a.client->endRead; k++) core.runLoopOnce();
  ASSERT_EQ(a.client->endRead, kEndInput);
  xproxyCloseClient(a.client, "Broken connection", 1);
  ASSERT_TRUE(a.client->retained);
  for (int k = 0; k < 20; k++) {
    core.runLoopOnce();
    if (xproxyClientByIndex(a.index) == a.client) core.answerRoundTrips(a);
  }
  ASSERT_EQ(xproxyClientByIndex(a.index), a.client);
  EXPECT_TRUE(a.client->retained);
  xproxyCloseClient(a.client, "KillClient", 0);
  forget(a);
}

// A server connection that breaks while a retained close writes its releases out closes the
// client fully instead: it leaves the list and nothing of it is used afterwards.
TEST(ClientClose, RetainedCloseOverABrokenServerConnectionClosesFully) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  core.addScreen(800, 600);
  core.addRealDisplay();
  FakeClient &a = core.addClient();
  FakeClient &b = core.addClient();
  uint32_t root = core.root()->id;
  core.send(a, FakeMessage(false).b(kChangeWindowAttributes).b(0).s(0).i(root).i(0x800).i(0x20000).done());
  core.answerRoundTrips(a);
  core.serverRequests(a);
  for (int peer : a.serverPeers) close(peer);  // the real server's side goes away
  a.serverPeers.clear();
  a.client->closeDownMode = 1;
  xproxyCloseClient(a.client, "Broken connection", 1);
  EXPECT_EQ(xproxyClientByIndex(a.index), nullptr);
  forget(a);
  EXPECT_TRUE(core.logged("reason=Broken connection to X server"));  // the full close after the retained one
  EXPECT_EQ(xproxyClientByIndex(b.index), b.client);
}

// The last set-up client leaving asks for a reset, unless the server runs without resets (then
// retained resources and clients in their setup are left alone) or the close is the reset's own.
TEST(ClientClose, LastClientAsksForAResetOnlyWithResets) {
  uint8_t saved = xproxyNoReset;
  for (uint8_t noReset : {0, 1}) {
    SCOPED_TRACE(int(noReset));
    xproxyNoReset = noReset;
    FakeCore core;
    core.addScreen(800, 600);
    FakeClient &a = core.addClient();
    FakeClient &b = core.addClient();
    uint32_t before = xproxyResetRequests;
    xproxyCloseClient(a.client, "Broken connection", 1);
    forget(a);
    EXPECT_EQ(xproxyResetRequests, before);  // b is still connected
    b.client->closingForReset = 1;
    xproxyCloseClient(b.client, "reinit", 0);
    forget(b);
    EXPECT_EQ(xproxyResetRequests, before);  // the reset's own close
    FakeClient &c = core.addClient();
    xproxyCloseClient(c.client, "Broken connection", 1);
    forget(c);
    EXPECT_EQ(xproxyResetRequests - before, noReset ? 0u : 1u);
  }
  xproxyNoReset = saved;
}

}  // namespace

// ----- Reading clients again after a pause of flow control -----

namespace {

constexpr uint8_t kNoOperation = 127;

void writeAll(int fd, const FakeBytes &bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

// Flow control paused the client (its read order cancelled) and now lets it read again.
void pauseAndResume(ClientConnection *client) {
  ordersCancel(client->readOrder);
  client->readOrder = nullptr;
  miscScheduleClientReads(client);
}

bool readsSocket(const ClientConnection *client) {
  return client->readOrder && client->readOrder->pollSlot && !client->readOrder->paused;
}

}  // namespace

// A client paused with only the start of a request buffered waits for its socket, not for the
// buffered-input timer: the rest is cut as soon as it arrives, with the clock standing still.
// Split before the length is complete, after it, and inside the BIG-REQUESTS length word.
TEST(ClientReads, PartOfARequestWaitsForTheSocket) {
  for (bool big : {false, true}) {
    for (bool bigForm : {false, true}) {
      FakeBytes request = FakeMessage(big).b(kNoOperation).b(0).s(0).i(0).i(0).done();
      if (bigForm) request = rawBigForm(request, big);
      for (size_t split : {size_t(2), size_t(6), request.size() - 1}) {
        SCOPED_TRACE(testing::Message() << (big ? "msb first" : "lsb first") << (bigForm ? " big form" : "")
                                        << " split " << split);
        FakeCore core;
        core.addScreen(800, 600);
        FakeClient &a = core.addClient(big);
        a.client->bigRequests = bigForm ? 1 : 0;
        miscScheduleClientReads(a.client);
        writeAll(a.peer, FakeBytes(request.begin(), request.begin() + long(split)));
        core.runLoopOnce();
        ASSERT_EQ(a.client->input.length, split);
        EXPECT_EQ(a.client->sequence, 0u);
        pauseAndResume(a.client);
        EXPECT_TRUE(readsSocket(a.client));
        writeAll(a.peer, FakeBytes(request.begin() + long(split), request.end()));
        core.runLoopOnce();
        EXPECT_EQ(a.client->sequence, 1u);
        EXPECT_EQ(a.client->input.length, 0u);
      }
    }
  }
}

// Whole requests already buffered are served by the 8 ms timer, without reading the socket
// first; so is the part of a refused big request that is to be dropped.
TEST(ClientReads, BufferedWholeRequestsRunOnTheTimer) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "msb first" : "lsb first");
    FakeCore core;
    core.addScreen(800, 600);
    FakeClient &a = core.addClient(big);
    FakeBytes noOp = FakeMessage(big).b(kNoOperation).b(0).s(0).i(0).done();
    FakeBytes twoAndAPart = noOp;
    twoAndAPart.insert(twoAndAPart.end(), noOp.begin(), noOp.end());
    twoAndAPart.insert(twoAndAPart.end(), noOp.begin(), noOp.begin() + 3);
    ASSERT_TRUE(bufferAppend(twoAndAPart.data(), uint32_t(twoAndAPart.size()), &a.client->input));
    pauseAndResume(a.client);
    EXPECT_FALSE(readsSocket(a.client));
    core.advanceMs(kMiscBufferedInputDelayMs - 1);
    EXPECT_EQ(a.client->sequence, 0u);
    core.advanceMs(1);
    EXPECT_EQ(a.client->sequence, 2u);
    EXPECT_EQ(a.client->input.length, 3u);
    EXPECT_TRUE(readsSocket(a.client));  // the timer's callback put a reader in its place

    bufferConsume(&a.client->input, a.client->input.length);
    a.client->reader.skip = 100;  // a refused big request still arriving
    ASSERT_TRUE(bufferAppend(noOp.data(), 4, &a.client->input));
    pauseAndResume(a.client);
    EXPECT_FALSE(readsSocket(a.client));
    core.advanceMs(kMiscBufferedInputDelayMs);
    EXPECT_EQ(a.client->reader.skip, 96u);
    EXPECT_EQ(a.client->input.length, 0u);
  }
}

// One read takes all the socket holds, up to the chunk or the rest of a longer request begun
// in the input: many small requests leave the input at its first size, allocated still; a big
// one comes in whole in as many passes as the socket needed writes, its room made once, and
// once it is served that room is given back.
TEST(ClientReads, ReadsTakeWhatTheSocketHoldsAndTheInputStays) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &a = core.addClient(false);
  a.client->bigRequests = 1;
  miscScheduleClientReads(a.client);
  auto socketEmpty = [&] {
    uint8_t byte;
    return recv(a.client->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0;
  };
  FakeBytes noOps;
  for (int i = 0; i < 16000; i++) noOps.insert(noOps.end(), {kNoOperation, 0, 1, 0});
  writeAll(a.peer, noOps);
  core.runLoopOnce();
  EXPECT_TRUE(socketEmpty());  // all in one read of at most 64 KB
  // (served in as many turns as a slow machine needs)
  for (int step = 0; step < 1000 && a.client->sequence < 16000; step++) core.runLoopOnce();
  EXPECT_EQ(a.client->sequence, 16000u);
  EXPECT_TRUE(a.client->input.data && a.client->input.length == 0 && a.client->input.capacity == 130972);

  constexpr uint32_t kBig = 600000;  // a big-form NoOperation, then a plain one
  FakeBytes big(kBig + 4, 0);
  big[0] = kNoOperation, big[4] = uint8_t(kBig / 4), big[5] = uint8_t(kBig / 4 >> 8), big[6] = uint8_t(kBig / 4 >> 16);
  big[kBig] = kNoOperation, big[kBig + 2] = 1;
  size_t sent = 0;
  int shortReads = 0;  // only the first, which finds the input at its first size
  for (int pass = 0; sent < big.size() && pass < 1000; pass++) {
    ssize_t n = write(a.peer, big.data() + sent, big.size() - sent);
    if (n > 0) sent += size_t(n);
    core.runLoopOnce();
    if (!socketEmpty()) shortReads++, core.runLoopOnce();
    ASSERT_TRUE(socketEmpty()) << "after " << sent << " bytes";
  }
  EXPECT_EQ(sent, big.size());
  EXPECT_LE(shortReads, 1);
  EXPECT_EQ(a.client->sequence, 16002u);
  EXPECT_TRUE(a.client->input.data == nullptr && a.client->input.length == 0);  // the burst's room is given back
}

// ----- Turns -----

namespace {

// n NoOperation requests, as one client sends them.
FakeBytes noOperations(size_t n) {
  FakeBytes all;
  for (size_t k = 0; k < n; k++) all.insert(all.end(), {kNoOperation, 0, 1, 0});
  return all;
}

}  // namespace

// A client with far more requests buffered than one slice serves yields: its turn ends with
// whole requests left, and it waits in the queue of turns; a client that sends one request
// meanwhile has taken less time and is served at the next turn, long before the busy one is
// done. The loop never sleeps while the busy client's turns wait.
TEST(ClientTurns, ABusyClientYieldsAndAnIdleOneIsServedFirst) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &busy = core.addClient(false);
  FakeClient &idle = core.addClient(true);
  miscScheduleClientReads(idle.client);
  // Far more than one slice serves on any machine (a slice takes a few hundred thousand).
  constexpr size_t kRequests = 8000000;
  FakeBytes many = noOperations(kRequests);
  ASSERT_TRUE(bufferAppend(many.data(), uint32_t(many.size()), &busy.client->input));
  pauseAndResume(busy.client);
  core.advanceMs(kMiscBufferedInputDelayMs);
  ASSERT_GT(busy.client->sequence, 0u);
  ASSERT_LT(busy.client->sequence, kRequests);
  EXPECT_TRUE(busy.client->readIsTurn);
  EXPECT_FALSE(readsSocket(busy.client));
  writeAll(idle.peer, FakeMessage(true).b(kNoOperation).b(0).s(1).done());
  int passes = 0;
  while (idle.client->sequence == 0 && passes < 10) {
    core.runLoopOnce();
    passes++;
  }
  EXPECT_EQ(idle.client->sequence, 1u);
  EXPECT_LE(passes, 3);
  EXPECT_LT(busy.client->sequence, kRequests);
  // The busy client goes on turn by turn, with the fake clock standing still.
  uint32_t busyBefore = busy.client->sequence;
  int turns = 0;
  while (busy.client->sequence < kRequests && turns < 100000) {
    core.runLoopOnce();
    turns++;
  }
  EXPECT_EQ(busy.client->sequence, kRequests);
  EXPECT_GT(busy.client->sequence, busyBefore);
  EXPECT_GT(turns, 1);
  EXPECT_EQ(busy.client->input.length, 0u);
  EXPECT_TRUE(readsSocket(busy.client));  // done: its socket is read again
}

// Two busy clients share the slices: neither is done before the other has been served.
TEST(ClientTurns, BusyClientsTakeTurns) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &a = core.addClient(false);
  FakeClient &b = core.addClient(false);
  constexpr size_t kRequests = 1000000;
  FakeBytes many = noOperations(kRequests);
  for (FakeClient *f : {&a, &b}) {
    ASSERT_TRUE(bufferAppend(many.data(), uint32_t(many.size()), &f->client->input));
    pauseAndResume(f->client);
  }
  core.advanceMs(kMiscBufferedInputDelayMs);
  for (int k = 0; k < 100000 && (a.client->sequence < kRequests || b.client->sequence < kRequests); k++) {
    if (a.client->sequence == kRequests) {
      EXPECT_GT(b.client->sequence, 0u);
    }
    if (b.client->sequence == kRequests) {
      EXPECT_GT(a.client->sequence, 0u);
    }
    core.runLoopOnce();
  }
  EXPECT_EQ(a.client->sequence, kRequests);
  EXPECT_EQ(b.client->sequence, kRequests);
}

// A client that waited is served before every client that has used more time than it,
// however many of them wait: 300 busy clients (each with some requests, far more virtual time
// than the floor of late and turns of a millisecond) wait in the queue of turns beside one that
// has used still more and was served alone; the idle client's one request (its turns are
// short) is served at the next turn, before any busy one (waiting has raised it to the waiting
// level, where nothing that used time since comes before it, and its short turn comes first
// there).
TEST(ClientTurns, AClientThatWaitedComesBeforeHundredsOfBusyOnes) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &hog = core.addClient(false, 0);
  hog.client->turnVirtualNs = int64_t(1e13);
  hog.client->turnStarted = 1;
  // The hog has far more than a slice's work: served at once, then queued, and served alone.
  FakeBytes many = noOperations(4000000);
  ASSERT_TRUE(bufferAppend(many.data(), uint32_t(many.size()), &hog.client->input));
  pauseAndResume(hog.client);
  core.advanceMs(kMiscBufferedInputDelayMs);
  ASSERT_TRUE(hog.client->readIsTurn);
  core.runLoopOnce();
  std::vector<FakeClient *> busy;
  for (int k = 0; k < 300; k++) {
    FakeClient &b = core.addClient(false, 0);
    b.client->turnVirtualNs = int64_t(1e12) + k * 1000;
    b.client->turnSliceNs = 1000000;
    b.client->turnStarted = 1;
    b.client->turnQuietSinceNs = INT64_MAX / 2;  // (busy: never quiet before they send)
    miscScheduleClientReads(b.client);
    busy.push_back(&b);
  }
  FakeClient &idle = core.addClient(true, 0);
  idle.client->turnStarted = 1;  // served long ago (a short turn), idle since
  idle.client->turnSliceNs = 10000;
  miscScheduleClientReads(idle.client);
  for (FakeClient *b : busy) writeAll(b->peer, noOperations(10000));
  core.runLoopOnce();
  ASSERT_TRUE(std::any_of(busy.begin(), busy.end(), [](FakeClient *b) { return b->client->readIsTurn; }));
  // The turns in the order they are given (the cutter runs once per turn).
  static std::vector<ClientConnection *> turns;
  static ClientInputCutter cutter;
  turns.clear();
  cutter = xproxyClientInputCutter;
  xproxyClientInputCutter = [](ProtocolReader *reader, Buffer *input) {
    turns.push_back(xproxyCurrentClient);
    return cutter(reader, input);
  };
  // The queue's dispatcher looks for ready clients before each turn: the idle client's request
  // is read and served at the next turn, in the same step.
  writeAll(idle.peer, FakeMessage(true).b(kNoOperation).b(0).s(1).done());
  core.runLoopOnce();
  xproxyClientInputCutter = cutter;
  ASSERT_EQ(idle.client->sequence, 1u);
  ASSERT_FALSE(turns.empty());
  EXPECT_EQ(turns.front(), idle.client);
  // The busy ones are all served in the end.
  for (int k = 0; k < 10000 && std::any_of(busy.begin(), busy.end(), [](FakeClient *b) { return b->client->sequence < 10000; });
       k++)
    core.runLoopOnce();
  for (FakeClient *b : busy) EXPECT_EQ(b->client->sequence, 10000u);
}

namespace {

// The clients given turns with requests, in order, while it lives (the cutter runs once per turn).
// (One at a time: the cutter it stands in for is kept in one place.) raised[k] says whether
// the client of turns[k] had a raised place in the queue (deadline 0) when it was served, and
// due[k] whether the watched display connection (if any) still had answers due then.
struct TurnTrace {
  static std::vector<ClientConnection *> turns;
  static std::vector<bool> raised, due;
  static const DisplayConnection *watched;
  static ClientInputCutter saved;
  explicit TurnTrace(const DisplayConnection *watch = nullptr) {
    turns.clear();
    raised.clear();
    due.clear();
    watched = watch;
    saved = xproxyClientInputCutter;
    xproxyClientInputCutter = [](ProtocolReader *reader, Buffer *input) {
      turns.push_back(xproxyCurrentClient);
      raised.push_back(xproxyCurrentClient && xproxyCurrentClient->turnDeadlineNs == 0);
      due.push_back(watched && watched->answersDue);
      return saved(reader, input);
    };
  }
  ~TurnTrace() { xproxyClientInputCutter = saved; }
};
std::vector<ClientConnection *> TurnTrace::turns;
std::vector<bool> TurnTrace::raised, TurnTrace::due;
const DisplayConnection *TurnTrace::watched = nullptr;
ClientInputCutter TurnTrace::saved;

// A request that takes 20 us (NoOperation with data byte 2 while it lives).
struct SlowRequests {
  RequestHandler saved;
  static constexpr uint32_t kKey = kNoOperation | 2 << 8;
  SlowRequests() : saved(proxyState.requestHandlers[kKey]) {
    proxyState.requestHandlers[kKey] = [](uint8_t *, uint32_t) {
      for (int64_t end = ordersMonotonicNs() + 20000; ordersMonotonicNs() < end;) {
      }
    };
  }
  ~SlowRequests() { proxyState.requestHandlers[kKey] = saved; }
};
FakeBytes slowRequests(size_t n) {
  FakeBytes all;
  for (size_t k = 0; k < n; k++) all.insert(all.end(), {kNoOperation, 2, 1, 0});
  return all;
}

// Clients with far more than a slice of requests buffered, waiting for turns.
std::vector<FakeClient *> backlogged(FakeCore &core, int count, size_t requests, bool slow = false) {
  std::vector<FakeClient *> all;
  FakeBytes many = slow ? slowRequests(requests) : noOperations(requests);
  for (int k = 0; k < count; k++) {
    FakeClient &c = core.addClient(false, 0);
    EXPECT_TRUE(bufferAppend(many.data(), uint32_t(many.size()), &c.client->input));
    pauseAndResume(c.client);
    all.push_back(&c);
  }
  return all;
}

}  // namespace

// While hundreds of newcomers start working, each with far more than a slice to do, a client
// that waits between its requests (a few steps of the loop, as a bystander waits for its user)
// is served at the first turn after each of them arrives, before any newcomer: a
// newcomer comes before clients that have used more time, never ahead of one that waited.
TEST(ClientTurns, WhileHundredsStartAClientThatWaitsGoesFirst) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &waiter = core.addClient(true, 0);
  waiter.client->turnStarted = 1;
  miscScheduleClientReads(waiter.client);
  SlowRequests slow;
  std::vector<FakeClient *> newcomers = backlogged(core, 200, 150, true);  // 3 ms each
  core.advanceMs(kMiscBufferedInputDelayMs);
  TurnTrace trace;
  for (uint32_t request = 1; request <= 20; request++) {
    for (int k = 0; k < 10; k++) core.runLoopOnce();
    ASSERT_TRUE(std::any_of(newcomers.begin(), newcomers.end(), [](FakeClient *c) { return c->client->turnQueued; }));
    TurnTrace::turns.clear();
    writeAll(waiter.peer, FakeMessage(true).b(kNoOperation).b(0).s(1).done());
    core.runLoopOnce();
    ASSERT_EQ(waiter.client->sequence, request);
    ASSERT_FALSE(TurnTrace::turns.empty());
    EXPECT_EQ(TurnTrace::turns.front(), waiter.client) << "request " << request;
  }
  EXPECT_TRUE(std::any_of(newcomers.begin(), newcomers.end(), [](FakeClient *c) { return c->client->sequence > 0; }));
}

namespace {

// One head and its real display; 100 clients with 3 ms of slow requests each waiting for turns
// (SlowRequests in place), and a client that has used far more than anybody, its turns short:
// that client.
FakeClient &raiseScene(FakeCore &core, std::vector<FakeClient *> &busy) {
  core.addScreen(800, 600);
  core.addRealDisplay();
  busy = backlogged(core, 100, 150, true);
  FakeClient &waiter = core.addClient(false);
  waiter.client->turnStarted = 1;
  waiter.client->turnVirtualNs = INT64_MAX / 4;
  waiter.client->turnSliceNs = kMiscTurnNs;
  miscScheduleClientReads(waiter.client);
  core.advanceMs(kMiscBufferedInputDelayMs);
  return waiter;
}

// The client's output written out and its one answer read: the answer's first byte (1: a
// reply), or -1 for no 32-byte message.
int takeAnswer(FakeClient &c) {
  outbufferFlush(&c.client->output);
  uint8_t answer[64];
  return recv(c.peer, answer, sizeof answer, MSG_DONTWAIT) == 32 ? answer[0] : -1;
}

// Passes of the loop until the waiter's answer (a reply, due on its display) is taken, at most
// 20: whether it was served before any other client's request. (How many passes that takes is
// the machine's: a pass kept from the processor ends its slice early.)
bool answerComesFirst(FakeCore &core, FakeClient &waiter) {
  TurnTrace trace(waiter.client->displays[0]);
  int answer = -1;
  for (int k = 0; k < 20 && answer < 0; k++) {
    core.runLoopOnce();
    answer = takeAnswer(waiter);
  }
  return answer == 1 && std::find(TurnTrace::due.begin(), TurnTrace::due.end(), true) == TurnTrace::due.end();
}

}  // namespace

// A client that was quiet for a slice (its answers all taken, nothing sent) and asks again is
// raised above every waiting client for its request and its answer, however many wait and
// whatever it used before; a client that asks again as soon as it has its answers is not.
TEST(ClientTurns, AClientQuietForASliceIsRaisedForItsRequestAndItsAnswer) {
  // (The answer's place is looked at in up to three tries, as in the case after this one: a
  // busy machine may outlast the raise's turns.)
  bool answerFirst = false;
  for (int attempt = 0; attempt < 3 && !answerFirst; attempt++) {
    FakeCore core;
    SlowRequests slow;
    std::vector<FakeClient *> busy;
    FakeClient &waiter = raiseScene(core, busy);
    ASSERT_TRUE(std::any_of(busy.begin(), busy.end(), [](FakeClient *c) { return c->client->turnQueued; }));
    for (bool quiet : {true, false}) {
      SCOPED_TRACE(quiet ? "quiet" : "asks at once");
      waiter.client->turnQuietSinceNs = ordersMonotonicNs() - (quiet ? 10 * kMiscTurnNs : 0);
      if (!quiet) waiter.client->turnAskedNs = ordersMonotonicNs();  // (its last answer came at once)
      uint32_t before = waiter.client->sequence;
      writeAll(waiter.peer, FakeMessage(false).b(43).b(0).s(1).done());  // GetInputFocus
      {
        TurnTrace trace;
        core.runLoopOnce();
        if (!quiet) {
          EXPECT_EQ(waiter.client->turnRaiseTurns, 0);
          break;
        }
        ASSERT_EQ(waiter.client->sequence, before + 1);
        ASSERT_FALSE(TurnTrace::turns.empty());
        EXPECT_EQ(TurnTrace::turns.front(), waiter.client);
      }
      // Its answer: served at the next turn, before any busy client.
      EXPECT_EQ(core.answerRoundTrips(waiter), 1);
      ASSERT_TRUE(waiter.client->displays[0]->answersDue);
      answerFirst = answerComesFirst(core, waiter);
    }
  }
  EXPECT_TRUE(answerFirst);
}

// A raised client whose turn runs longer than the raise's time because the proxy was kept from
// the processor meanwhile (a request whose handler sleeps 3 ms stands for it) still has the
// answer to its round trip served at the next turn, before the busy clients, whose deadlines
// would otherwise all come first.
TEST(ClientTurns, ARaisedClientKeptFromTheProcessorStillHasItsAnswerFirst) {
  constexpr uint32_t kSleeping = kNoOperation | 3 << 8;
  // A busy machine may keep the process from the processor for longer than the raise's turns
  // last (each pass's slice then ends early): the scene is tried up to three times, and the
  // answer must come first in one. (Without the raise for answers it comes first in none.)
  bool first = false;
  for (int attempt = 0; attempt < 3 && !first; attempt++) {
    FakeCore core;
    SlowRequests slow;
    RequestHandler saved = proxyState.requestHandlers[kSleeping];
    proxyState.requestHandlers[kSleeping] = [](uint8_t *, uint32_t) { usleep(3000); };
    std::vector<FakeClient *> busy;
    FakeClient &waiter = raiseScene(core, busy);
    EXPECT_TRUE(std::any_of(busy.begin(), busy.end(), [](FakeClient *c) { return c->client->turnQueued; }));
    waiter.client->turnQuietSinceNs = ordersMonotonicNs() - 10 * kMiscTurnNs;
    FakeBytes sent{kNoOperation, 3, 1, 0};
    FakeBytes ask = FakeMessage(false).b(43).b(0).s(1).done();  // GetInputFocus
    sent.insert(sent.end(), ask.begin(), ask.end());
    writeAll(waiter.peer, sent);
    for (int k = 0; k < 20 && waiter.client->sequence < 2; k++) core.runLoopOnce();
    proxyState.requestHandlers[kSleeping] = saved;
    EXPECT_EQ(waiter.client->sequence, 2u);
    EXPECT_EQ(core.answerRoundTrips(waiter), 1);
    if (waiter.client->displays[0]->answersDue) first = answerComesFirst(core, waiter);
  }
  EXPECT_TRUE(first);
}

// A raised client whose answer came late (10 ms after it asked) and that asks again as soon as
// it has it, as a program that asks every few milliseconds does while a crowd keeps its answers
// late, is raised again, round trip after round trip: it waited for the proxy, not for its user.
// One whose answer came at once and that asks again at once is not, nor is one whose work since
// its last rest has used up the raise time the rest gave it.
TEST(ClientTurns, ARaisedClientWhoseAnswerCameLateStaysRaisedWhenItAsksAtOnce) {
  FakeCore core;
  SlowRequests slow;
  std::vector<FakeClient *> busy;
  FakeClient &waiter = raiseScene(core, busy);
  ASSERT_TRUE(std::any_of(busy.begin(), busy.end(), [](FakeClient *c) { return c->client->turnQueued; }));
  FakeBytes ask = FakeMessage(false).b(43).b(0).s(1).done();  // GetInputFocus
  // A round trip asked quietMs after its last answers were taken, which came answerMs after the
  // last ask: "first" when its request was raised and had the first turn, "raised" when it was
  // raised but others came first, "not raised" else. (Unraised, it may still come first: the
  // busy clients' turns, kept from the processor on a busy machine, run their deadlines on.)
  // Asked at once (quietMs 0), its quiet starts a second ahead: the loop, however long a busy
  // machine keeps it from reading the request, reads it before that quiet is a slice long.
  // (With work, that many slow requests go before the round trip.)
  auto roundTrip = [&](int64_t quietMs, int64_t answerMs, size_t work = 0) -> std::string {
    int64_t now = ordersMonotonicNs();
    waiter.client->turnQuietSinceNs = quietMs > 0 ? now - quietMs * 1000000 : now + 1'000'000'000;
    waiter.client->turnAskedNs = waiter.client->turnQuietSinceNs - answerMs * 1000000;
    uint32_t before = waiter.client->sequence;
    FakeBytes sent = slowRequests(work);
    sent.insert(sent.end(), ask.begin(), ask.end());
    writeAll(waiter.peer, sent);
    std::string place = "not served";
    {
      TurnTrace trace;
      for (int k = 0; k < 4000 && waiter.client->sequence < before + work + 1; k++) core.runLoopOnce();
      EXPECT_EQ(waiter.client->sequence, before + work + 1);
      auto own = std::find(TurnTrace::turns.begin(), TurnTrace::turns.end(), waiter.client);
      if (own != TurnTrace::turns.end())
        place = !TurnTrace::raised[size_t(own - TurnTrace::turns.begin())] ? "not raised"
                : own == TurnTrace::turns.begin()                          ? "first"
                                                                           : "raised";
    }
    EXPECT_EQ(core.answerRoundTrips(waiter), 1);
    for (int k = 0; k < 400 && waiter.client->output.first == nullptr; k++) core.runLoopOnce();
    EXPECT_EQ(takeAnswer(waiter), 1);
    return place;
  };
  EXPECT_EQ(roundTrip(20, 0), "first");  // after a quiet time
  for (int late = 0; late < 4; late++)
    EXPECT_EQ(roundTrip(0, 10), "first") << late;  // at once after a late answer, again and again
  EXPECT_EQ(roundTrip(0, 0), "not raised");  // at once after a prompt one
  EXPECT_EQ(roundTrip(20, 0), "first");      // after a quiet time again
  EXPECT_EQ(roundTrip(0, 10), "first");      // at once after a late answer
  // 1000 requests of 20 us each (20 ms, of which the proxy's thread has its raise time, 2 ms,
  // even on a busy machine) after a rest: at once after a late answer, it is no longer raised.
  EXPECT_NE(roundTrip(20, 0, 1000), "not raised");
  EXPECT_EQ(roundTrip(0, 10), "not raised");
}

// A crowd whose clients are raised again and again (each asks after a pause of its own, as
// programs that pause between their round trips do on a loaded machine, so that some are always
// raised and waiting) comes first, but holds the others for no more than a slice at a time: a
// newcomer's first request and a busy client's turns come within a few passes, while the crowd
// keeps most of the turns.
TEST(ClientTurns, ClientsRaisedAgainAndAgainHoldTheOthersNoMoreThanASliceAtATime) {
  FakeCore core;
  core.addScreen(800, 600);
  SlowRequests slow;
  std::vector<FakeClient *> crowd;
  for (int k = 0; k < 40; k++) {
    FakeClient &c = core.addClient(false, 0);
    c.client->turnStarted = 1;
    miscScheduleClientReads(c.client);
    crowd.push_back(&c);
  }
  FakeClient &busy = *backlogged(core, 1, 1000, true).front();  // 20 ms of requests
  busy.client->turnStarted = 1;
  FakeClient &newcomer = core.addClient(false, 0);
  miscScheduleClientReads(newcomer.client);
  core.advanceMs(kMiscBufferedInputDelayMs);
  TurnTrace trace;
  int passes = 0;
  for (; passes < 40 && (newcomer.client->sequence == 0 || busy.client->sequence < 200); passes++) {
    if (passes == 4) writeAll(newcomer.peer, noOperations(1));  // once the crowd is at work
    // Every crowd client done with its work asks again after its pause: 10 requests of 20 us.
    for (FakeClient *c : crowd) {
      if (c->client->input.length || c->client->turnQueued) continue;
      c->client->turnQuietSinceNs = ordersMonotonicNs() - 10 * kMiscTurnNs;
      writeAll(c->peer, slowRequests(10));
    }
    core.runLoopOnce();
  }
  EXPECT_EQ(newcomer.client->sequence, 1u);
  EXPECT_GE(busy.client->sequence, 200u);
  EXPECT_LT(passes, 40);
  size_t raised = size_t(std::count(TurnTrace::raised.begin(), TurnTrace::raised.end(), true));
  EXPECT_GT(raised, TurnTrace::raised.size() / 2) << raised << " of " << TurnTrace::raised.size();
}

// A client back from a long idle time with a long backlog comes first, but waiting gives it no
// more than a credit of about a slice over the others: busy clients that work without pause
// each get their turn within the next few, as they take turns with each other.
TEST(ClientTurns, AClientBackFromALongIdleTimeTakesNoMoreThanItsCredit) {
  FakeCore core;
  core.addScreen(800, 600);
  std::vector<FakeClient *> busy = backlogged(core, 3, 3000000);
  core.advanceMs(kMiscBufferedInputDelayMs);
  for (int k = 0; k < 6; k++) core.runLoopOnce();  // they take turns for a while
  for (FakeClient *b : busy) ASSERT_TRUE(b->client->turnQueued);
  FakeClient &back = core.addClient(false, 0);
  back.client->turnStarted = 1;  // served once, long ago
  FakeBytes many = noOperations(3000000);
  ASSERT_TRUE(bufferAppend(many.data(), uint32_t(many.size()), &back.client->input));
  TurnTrace trace;
  pauseAndResume(back.client);
  core.advanceMs(kMiscBufferedInputDelayMs);
  for (int k = 0; k < 1000 && TurnTrace::turns.size() < 12; k++) core.runLoopOnce();
  ASSERT_GE(TurnTrace::turns.size(), 12u);
  // (its buffered requests are served when their timer fires, after the turns of that step: one,
  // or two on a busy machine, where the slice's clock runs on while the proxy waits for the
  // processor)
  EXPECT_LE(std::find(TurnTrace::turns.begin(), TurnTrace::turns.end(), back.client) - TurnTrace::turns.begin(), 2);
  for (FakeClient *b : busy)
    EXPECT_NE(std::find(TurnTrace::turns.begin(), TurnTrace::turns.begin() + 12, b->client), TurnTrace::turns.begin() + 12);
}

// ----- Requests that yield their turn -----

namespace {

// A request whose handler stands still three times (NoOperation with data byte 1 in these
// tests): each step appends the client's index to the trace; a close meanwhile ends it.
std::vector<uint32_t> yieldTrace;
int yieldingDone = 0, yieldingEnded = 0;
void yieldingRequest(uint8_t *request, uint32_t length) {
  miscRunYielding(
      [](uint8_t *copy, uint32_t, uint8_t *) {
        EXPECT_EQ(copy[1], 1);  // its own copy of the request
        for (int k = 0; k < 3; k++) {
          yieldTrace.push_back(xproxyCurrentClient->index);
          if (!miscYieldTurn()) {
            yieldingEnded++;
            return;
          }
        }
        yieldingDone++;
      },
      request, length);
}

struct YieldingHandler {
  RequestHandler saved;
  static constexpr uint32_t kKey = kNoOperation | 1 << 8;
  YieldingHandler() : saved(proxyState.requestHandlers[kKey]) {
    proxyState.requestHandlers[kKey] = yieldingRequest;
    yieldTrace.clear();
    yieldingDone = yieldingEnded = 0;
  }
  ~YieldingHandler() { proxyState.requestHandlers[kKey] = saved; }
};

}  // namespace

// A request that stands still yields the client's turn: its later requests wait behind it, the
// other client is served meanwhile, and each of the request's steps comes at a turn of its own.
TEST(ClientTurns, ARequestStandsStillAndItsLaterRequestsWait) {
  FakeCore core;
  core.addScreen(800, 600);
  YieldingHandler yielding;
  FakeClient &a = core.addClient(false, 0), &b = core.addClient(true, 0);
  miscScheduleClientReads(a.client);
  miscScheduleClientReads(b.client);
  FakeBytes requests = FakeMessage(false).b(kNoOperation).b(1).s(1).done();
  FakeBytes after = noOperations(2);
  requests.insert(requests.end(), after.begin(), after.end());
  writeAll(a.peer, requests);
  core.runLoopOnce();
  EXPECT_EQ(a.client->sequence, 1u);
  EXPECT_NE(a.client->yielding, nullptr);
  writeAll(b.peer, FakeMessage(true).b(kNoOperation).b(0).s(1).done());
  for (int k = 0; k < 20 && (a.client->sequence < 3 || b.client->sequence < 1); k++) core.runLoopOnce();
  EXPECT_EQ(a.client->sequence, 3u);
  EXPECT_EQ(b.client->sequence, 1u);
  EXPECT_EQ(yieldingDone, 1);
  EXPECT_EQ(a.client->yielding, nullptr);
  EXPECT_EQ(yieldTrace, std::vector<uint32_t>(3, a.client->index));
}

// A client closed while its request stands still: the request is resumed to end its work (it
// sees the close), before anything of the client goes.
TEST(ClientTurns, AClosedClientsStandingRequestEndsFirst) {
  FakeCore core;
  core.addScreen(800, 600);
  YieldingHandler yielding;
  FakeClient &a = core.addClient(false, 0);
  miscScheduleClientReads(a.client);
  writeAll(a.peer, FakeMessage(false).b(kNoOperation).b(1).s(1).done());
  core.runLoopOnce();
  ASSERT_NE(a.client->yielding, nullptr);
  core.closeClient(a);
  EXPECT_EQ(yieldingEnded, 1);
  EXPECT_EQ(yieldingDone, 0);
  EXPECT_EQ(yieldTrace.size(), 1u);
}

// ----- Writing answers to clients -----

namespace {

// The fake core's clients have no writer: this one is armed as a listening client's is, when
// data enters the empty output, and writes when the socket is writable.
void armWriter(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  if (client->writeOrder) return;
  client->writeOrder = ordersAddWriter(client->fd, [](void *c) {
    miscFlushClientOutput(static_cast<ClientConnection *>(c));
  }, client);
}

FakeBytes readAvailable(int fd) {
  FakeBytes all;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
  return all;
}

}  // namespace

// A reply read from the real server reaches the client's socket when the pass that read it
// ends, with no wait for the socket to be polled writable; a socket that takes no more keeps
// the rest queued behind its writer, which sends it once the client reads.
TEST(ClientWrites, AnswersLeaveWithTheirPass) {
  constexpr uint8_t kGetInputFocus = 43;
  for (bool full : {false, true}) {
    SCOPED_TRACE(full ? "client socket full" : "client socket empty");
    FakeCore core;
    core.addScreen(800, 600);
    FakeClient &a = core.addClient(false);
    a.client->output.callback = armWriter;
    a.client->output.argument = a.client;
    FakeBytes filled;
    if (full) {
      std::vector<uint8_t> chunk(4096, 0x55);
      while (write(a.client->fd, chunk.data(), chunk.size()) > 0) filled.insert(filled.end(), chunk.begin(), chunk.end());
    }
    core.send(a, FakeMessage(false).b(kGetInputFocus).b(0).s(0).done());
    ASSERT_EQ(core.answerRoundTrips(a), 1);
    if (full) {
      EXPECT_NE(a.client->output.first, nullptr);
      EXPECT_NE(a.client->writeOrder, nullptr);
      EXPECT_EQ(readAvailable(a.peer).size(), filled.size());
      core.runLoopOnce();  // the writer's turn
    }
    FakeBytes reply = readAvailable(a.peer);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(a.u16(reply, 2), 1u);  // the client's sequence number
    EXPECT_EQ(a.client->output.first, nullptr);
    EXPECT_EQ(a.client->writeOrder, nullptr);
  }
}

// A pass that translates for a while feeds the real server as it goes: what the display
// connection holds leaves before the pass ends (so that the server works meanwhile), in order,
// and the pass's end writes the rest.
namespace {
int slowCalls = 0, fedAtCall = 0, serverEnd = -1;
void slowForward(uint8_t *request, uint32_t length) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(3);
  while (std::chrono::steady_clock::now() < until) {
  }
  ClientConnection *client = xproxyCurrentClient;
  ASSERT_NE(xproxySendRequest(request, length, client->displays[0]), nullptr);
  slowCalls++;
  uint8_t byte;
  if (!fedAtCall && recv(serverEnd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1) fedAtCall = slowCalls;
}
}  // namespace

TEST(ClientWrites, ALongPassFeedsTheServerBeforeItEnds) {
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &a = core.addClient(false);
  miscScheduleClientReads(a.client);
  RequestHandler saved = proxyState.requestHandlers[kNoOperation];
  proxyState.requestHandlers[kNoOperation] = slowForward;
  slowCalls = 0, fedAtCall = 0, serverEnd = a.serverPeers[0];
  constexpr int kRequests = 200;  // 3 us each: the pass lasts beyond the feed's interval
  FakeBytes noOps;
  auto numbered = [](int i) { return FakeBytes{kNoOperation, 0, 2, 0, uint8_t(i), uint8_t(i >> 8), 0, 0}; };
  for (int i = 0; i < kRequests; i++) {
    FakeBytes one = numbered(i);
    noOps.insert(noOps.end(), one.begin(), one.end());
  }
  writeAll(a.peer, noOps);
  // However many turns a slow machine takes to serve them (a turn ends with its slice).
  for (int pass = 0; pass < 100000 && slowCalls < kRequests; pass++) core.runLoopOnce();
  proxyState.requestHandlers[kNoOperation] = saved;
  EXPECT_EQ(slowCalls, kRequests);
  EXPECT_GT(fedAtCall, 0);
  EXPECT_LT(fedAtCall, kRequests);
  std::vector<FakeBytes> written = core.serverRequests(a);
  ASSERT_EQ(written.size(), size_t(kRequests));
  for (int i = 0; i < kRequests; i++) EXPECT_EQ(written[size_t(i)], numbered(i));
}

// ===== departures and id bases =====
namespace {

constexpr uint8_t kMapNotify = 19, kDestroyNotify = 17;

// A structure event from the real server about a window (event and window fields the same).
FakeBytes structureEvent(uint8_t code, uint16_t sequence, uint32_t window) {
  FakeBytes e(32, 0);
  e[0] = code;
  memcpy(&e[2], &sequence, 2);
  memcpy(&e[4], &window, 4);
  memcpy(&e[8], &window, 4);
  return e;
}

// The ids (event, window) of the events of that code the client received.
std::vector<std::pair<uint32_t, uint32_t>> received(FakeCore &core, FakeClient &f, uint8_t code) {
  std::vector<std::pair<uint32_t, uint32_t>> ids;
  for (const FakeBytes &m : core.messages(f))
    if ((m[0] & 0x7f) == code) ids.emplace_back(f.u32(m, 4), f.u32(m, 8));
  return ids;
}

// What the test's end of a display connection reads until the proxy's end is shut for writing:
// the bytes, and whether the end came (within a second).
std::pair<size_t, bool> readToEnd(int peer) {
  size_t bytes = 0;
  for (int waited = 0; waited < 1000;) {
    uint8_t chunk[4096];
    ssize_t got = recv(peer, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got == 0) return {bytes, true};
    if (got > 0) {
      bytes += size_t(got);
      continue;
    }
    usleep(1000);
    waited++;
  }
  return {bytes, false};
}

// A sent ClientMessage to the marker window with these data words.
FakeBytes clientMessage(uint16_t sequence, uint32_t window, const uint32_t words[5]) {
  FakeBytes e(32, 0);
  e[0] = 33 | 0x80;
  e[1] = 32;
  memcpy(&e[2], &sequence, 2);
  memcpy(&e[4], &window, 4);
  memcpy(&e[12], words, 20);
  return e;
}

// The last departure marker the proxy sent, as a raw connection reads it.
FakeBytes markerEvent(uint16_t sequence, uint32_t window) {
  uint32_t words[5];
  xproxyLastMarkerWords(words);
  return clientMessage(sequence, window, words);
}

// The real display of the core's screens, with its departure markers' window.
constexpr uint32_t kMarkerWindow = 0x1fffff0;
ServerDisplay *addMarkedDisplay(FakeCore &core) {
  ServerDisplay *display = core.addRealDisplay();
  display->markerWindow = kMarkerWindow;
  return display;
}

// The client leaves fully and the real server closes its connection: its marker goes out and its
// slot is free again.
void leaveAndClose(FakeCore &core, FakeClient &leaver) {
  xproxyCloseClient(leaver.client, "End of client", 0);
  int peer = leaver.serverPeers[0];
  forget(leaver);
  readToEnd(peer);
  close(peer);
  core.runLoopOnce();  // the end is read
  core.runLoopOnce();  // the marker of the batch
}

}  // namespace

// A client that leaves at once: the requests the proxy wrote for it still reach the real server,
// which then reads the end of the connection (shut for writing, not closed: the server may still
// answer). The slot keeps its id bases until the server has closed the connection and the
// marker sent after that is out; then it is free at once, whatever other connections have read:
// what a manager's connection holds before the marker (read however late, after the slot went)
// carries the client's ids, what comes after it does not. A server that has read everything and
// still holds the connection (asleep) gets it closed fully.
TEST(ClientClose, DepartingClientsRequestsRunAndItsIdsTranslateUntilTheServerAnswers) {
  signal(SIGPIPE, SIG_IGN);
  for (bool answered : {true, false}) {
    SCOPED_TRACE(answered);
    FakeCore core;
    core.addScreen(800, 600);
    FakeClient &wm = core.addClient();
    FakeClient &leaver = core.addClient(true);
    addMarkedDisplay(core);
    Head *head = core.heads()[0];
    uint32_t window = leaver.id(7), real = core.realId(window, head);
    // A request queued for the real server, not written yet when the client leaves.
    const uint8_t last[8] = {kNoOperation, 0, 2, 0, 1, 2, 3, 4};
    ASSERT_NE(xproxySendRequest(last, 8, leaver.client->displays[0]), nullptr);
    xproxyCloseClient(leaver.client, "End of client", 0);
    uint32_t slot = leaver.index;
    int peer = leaver.serverPeers[0];
    forget(leaver);
    EXPECT_EQ(xproxyDepartureCount(), 1u);
    auto [bytes, ended] = readToEnd(peer);
    EXPECT_EQ(bytes, 12u);  // the last request, and the round trip the proxy adds behind it
    EXPECT_TRUE(ended);
    // Shut for writing only: the server's answers are still taken (and dropped).
    FakeBytes error(32, 0);
    EXPECT_EQ(send(peer, error.data(), error.size(), MSG_NOSIGNAL), 32);
    core.runLoopOnce();

    uint16_t sequence = core.serverSequence(wm, uint16_t(wm.client->sequence));
    core.feedEvents(wm, {structureEvent(kDestroyNotify, sequence, real)});
    EXPECT_EQ(received(core, wm, kDestroyNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{window, window}}));
    EXPECT_NE(resourceFreeClientSlot(), slot);
    // A request of the manager naming the departed window goes out with its base.
    EXPECT_EQ(resourceServerId(window, kResourceWindow, head), real);

    if (answered) {
      close(peer);
      core.runLoopOnce();  // the end is read
    } else {
      // The server has read every byte, answers nothing more and holds the connection: closed
      // fully, some checks on.
      for (int check = 0; check < 20; check++) core.advanceMs(100);
      EXPECT_TRUE(core.logged("the X server holds its connection; closed"));
      char byte;
      EXPECT_EQ(recv(peer, &byte, 1, MSG_DONTWAIT), 0);
      close(peer);
    }
    core.runLoopOnce();  // the marker of the batch, at the loop's next idle pass
    // The marker went out: the slot is free for a newcomer at once. The manager's connection,
    // not read meanwhile (flow control), still holds a notification before the marker.
    EXPECT_EQ(xproxyDepartureCount(), 0u);
    EXPECT_EQ(resourceFreeClientSlot(), slot);
    EXPECT_EQ(resourceDepartedRecordCount(), 1u);
    DisplayConnection *wmConnection = wm.client->displays[0];
    xproxyCancelDisplayReader(wmConnection);
    FakeBytes late = structureEvent(kDestroyNotify, sequence, real);
    ASSERT_EQ(send(wm.serverPeers[0], late.data(), late.size(), MSG_NOSIGNAL), 32);
    FakeBytes marker = markerEvent(sequence, kMarkerWindow);
    ASSERT_EQ(send(wm.serverPeers[0], marker.data(), marker.size(), MSG_NOSIGNAL), 32);
    for (uint64_t waited = 0; waited < 3 * kXproxyDepartureLimitMs; waited += 100) core.advanceMs(100);
    EXPECT_EQ(resourceDepartedRecordCount(), 1u);  // kept while the manager has not read past it
    xproxyArmDisplayReader(wmConnection);
    core.runLoopOnce();
    // The notification with the client's id; the marker dropped, and the record forgotten at
    // the next check.
    EXPECT_EQ(received(core, wm, kDestroyNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{window, window}}));
    EXPECT_TRUE(received(core, wm, 33).empty());
    core.advanceMs(1000);
    EXPECT_EQ(resourceDepartedRecordCount(), 0u);
    core.feedEvents(wm, {structureEvent(kDestroyNotify, sequence, real)});
    EXPECT_TRUE(received(core, wm, kDestroyNotify).empty());  // an id of no client now
    // A request naming it now goes out as an id that names nothing.
    EXPECT_EQ(resourceServerId(window, kResourceWindow, head) & kResourceNoServerId, kResourceNoServerId);
  }
}

// Two clients of one display leave at once: the server's ends of their raw connections, each
// read up to its shut (the round trip the proxy adds behind the last request: 4 bytes, and the
// end), and the first one's slot.
struct TwoLeavers {
  int firstPeer, secondPeer;
  uint32_t firstSlot;
};
TwoLeavers leaveTwoAtOnce(FakeCore &core) {
  core.addScreen(800, 600);
  core.addClient();
  FakeClient &first = core.addClient(true);
  FakeClient &second = core.addClient(true);
  addMarkedDisplay(core);
  TwoLeavers two{first.serverPeers[0], second.serverPeers[0], first.index};
  for (FakeClient *leaver : {&first, &second}) {
    xproxyCloseClient(leaver->client, "End of client", 0);
    forget(*leaver);
  }
  EXPECT_EQ(xproxyDepartureCount(), 2u);
  EXPECT_EQ(readToEnd(two.firstPeer), (std::pair<size_t, bool>{4, true}));
  EXPECT_EQ(readToEnd(two.secondPeer), (std::pair<size_t, bool>{4, true}));
  return two;
}

// Two clients leave at once on one display: a server that runs one leaver's requests slowly (it
// answers one every check, as a server busy with many leavers' long requests serves each in
// turn) and does not come to the other for seconds is waited for; neither connection is closed
// fully while it works on either. Once it runs neither, both are, a stall's checks later.
TEST(ClientClose, ServerWorkingOnLeaversSlowlyIsWaitedForAsLongAsItWorks) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  auto [waitingPeer, slowPeer, waitingSlot] = leaveTwoAtOnce(core);
  ASSERT_EQ(xproxyDepartureCount(), 2u);
  FakeBytes error(32, 0);
  for (int check = 0; check < 60; check++) {  // 6 s: past the bound of a quiet server too
    ASSERT_EQ(send(slowPeer, error.data(), error.size(), MSG_NOSIGNAL), 32);
    core.advanceMs(100);
  }
  EXPECT_FALSE(core.logged("holds its connection"));
  EXPECT_EQ(xproxyDepartureCount(), 2u);
  for (int check = 0; check < 20; check++) core.advanceMs(100);
  EXPECT_TRUE(core.logged("#2: the X server holds its connection"));
  EXPECT_TRUE(core.logged("#3: the X server holds its connection"));
  core.runLoopOnce();  // the marker of the batch
  EXPECT_EQ(xproxyDepartureCount(), 0u);
  close(waitingPeer);
  close(slowPeer);
}

// A server that goes on answering one leaver (as it does for clients that leave without pause)
// but has taken the last request of another and neither answers nor closes it (it holds it
// asleep): the held one is closed fully after half a minute, not kept for as long as the others
// go on; the busy one stays.
TEST(ClientClose, LeaverTheServerPassesOverWhileItServesOthersIsClosedAfterHalfAMinute) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  auto [heldPeer, busyPeer, heldSlot] = leaveTwoAtOnce(core);
  ASSERT_EQ(xproxyDepartureCount(), 2u);
  FakeBytes error(32, 0);
  const std::string closed = "#" + std::to_string(heldSlot) + ": the X server holds its connection; closed (stalled)";
  int checks = 0;
  for (; checks < 400 && !core.logged(closed); checks++) {
    ASSERT_EQ(send(busyPeer, error.data(), error.size(), MSG_NOSIGNAL), 32);
    core.advanceMs(100);
  }
  EXPECT_TRUE(core.logged(closed));
  EXPECT_GE(checks, 290);  // not at the stall of a quiet server
  EXPECT_LE(checks, 310);
  EXPECT_EQ(xproxyDepartureCount(), 2u);  // the busy one's departure, and the held one's marker to go
  core.runLoopOnce();
  EXPECT_EQ(xproxyDepartureCount(), 1u);
  close(heldPeer);
  close(busyPeer);
}

// A newcomer whose raw connection gets the departed client's real base before the other
// connections have read past the departure: the marker goes out at once; on a connection that
// has not read it, the base still names the departed client's windows; after it (and on the
// newcomer's own connection, which asked for markers later) the newcomer's.
TEST(ClientClose, NewcomerWithADepartedClientsBaseIsToldApartByTheMarker) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &wm = core.addClient();
  FakeClient &leaver = core.addClient();
  addMarkedDisplay(core);
  Head *head = core.heads()[0];
  uint32_t base = leaver.client->displays[0]->idBase;
  uint32_t old = leaver.id(7), real = core.realId(old, head);
  xproxyCloseClient(leaver.client, "End of client", 0);
  uint32_t slot = leaver.index;
  int peer = leaver.serverPeers[0];
  forget(leaver);
  ASSERT_EQ(xproxyDepartureCount(), 1u);
  FakeClient &newcomer = core.addClient();
  ASSERT_NE(newcomer.index, slot);
  resourceSetScreenIdBase(newcomer.index, head, base);  // the server reused the base
  xproxyAskForMarkers(newcomer.client->displays[0]);
  uint32_t fresh = newcomer.id(7);
  ASSERT_EQ(core.realId(fresh, head), real);
  // The manager's connection: a notification from before the marker, the marker, one after.
  uint16_t sequence = core.serverSequence(wm, uint16_t(wm.client->sequence));
  core.feedEvents(wm, {structureEvent(kDestroyNotify, sequence, real), markerEvent(sequence, kMarkerWindow),
                       structureEvent(kDestroyNotify, sequence, real)});
  EXPECT_EQ(received(core, wm, kDestroyNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{old, old}, {fresh, fresh}}));
  // The newcomer's own connection: its own window.
  uint16_t own = core.serverSequence(newcomer, uint16_t(newcomer.client->sequence));
  core.feedEvents(newcomer, {structureEvent(kDestroyNotify, own, real)});
  EXPECT_EQ(received(core, newcomer, kDestroyNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{fresh, fresh}}));
  // The departed connection still has to end before the slot goes.
  EXPECT_EQ(xproxyDepartureCount(), 1u);
  readToEnd(peer);
  close(peer);
  core.runLoopOnce();
  core.runLoopOnce();
  EXPECT_EQ(xproxyDepartureCount(), 0u);
  EXPECT_EQ(resourceServerId(fresh, kResourceWindow, head), real);
}

// A newcomer's raw connection counts the markers from when the server ran its selection of them,
// not from when the proxy wrote it: its client is answered only once a round trip behind the
// selection came back, and a marker sent in between (which the server may run before the
// selection: that connection never reads it) does not leave it before that marker. Its first
// notification of a window on the departed client's base names the client that has it now.
TEST(ClientClose, NewcomersMarkersCountFromWhenTheServerRanTheirSelection) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &leaver = core.addClient();
  addMarkedDisplay(core);
  Head *head = core.heads()[0];
  uint32_t base = leaver.client->displays[0]->idBase;
  uint32_t real = core.realId(leaver.id(7), head), leaverSlot = leaver.index;
  FakeClient &observer = core.addClient();
  ClientConnection *o = observer.client;
  DisplayConnection *oc = o->displays[0];
  o->setUp = 0;
  o->setupsPending = 1;
  uint8_t answer[40] = {1};
  answer[6] = 8;  // (40 - 8) / 4 words
  memcpy(answer + 12, &oc->idBase, 4);
  memcpy(answer + 16, &oc->idMask, 4);
  answer[34] = 8, answer[35] = 255;
  {
    ConnectionPass pass(o, oc);
    xcoreServerSetupReply(answer, sizeof answer);
  }
  EXPECT_EQ(o->setUp, 0);  // not before the server has run the selection
  // What the server reads (taken here unanswered): the selection first, the round trip last.
  ASSERT_EQ(xproxyFlushDisplayConnection(oc), nullptr);
  FakeBytes written = readAvailable(observer.serverPeers[0]);
  std::vector<uint8_t> opcodes;
  for (size_t at = 0; at + 4 <= written.size(); at += 4 * size_t(observer.u16(written, at + 2)))
    opcodes.push_back(written[at]);
  ASSERT_FALSE(opcodes.empty());
  EXPECT_EQ(opcodes.front(), 2);  // ChangeWindowAttributes of the marker window
  EXPECT_EQ(opcodes.back(), 43);  // GetInputFocus
  // The leaver goes and its marker is sent: the server runs it before the selection.
  leaveAndClose(core, leaver);
  for (int pass = 0; pass < 10 && xproxyDepartureCount(); pass++) core.runLoopOnce();
  ASSERT_EQ(xproxyDepartureCount(), 0u);
  EXPECT_EQ(o->setUp, 0);
  // The round trip comes back: the setup is answered, and the marker lies behind the connection.
  FakeBytes reply(32, 0);
  reply[0] = 1;
  uint16_t sequence = uint16_t(oc->requestsSent);
  memcpy(&reply[2], &sequence, 2);
  core.feedServer(observer, reply);
  EXPECT_EQ(o->setUp, 1);
  outbufferFlush(&o->output);
  FakeBytes setup = readAvailable(observer.peer);  // the proxy's setup reply (nothing else yet)
  ASSERT_GE(setup.size(), 8u);
  EXPECT_EQ(setup[0], 1);
  EXPECT_EQ(setup.size(), 8 + 4 * size_t(observer.u16(setup, 6)));
  // The leaver's slot goes to another client (so that the newcomer's ids differ from the
  // leaver's), the leaver's real base to the newcomer.
  FakeClient &other = core.addClient();
  FakeClient &newcomer = core.addClient();
  ASSERT_NE(newcomer.index, leaverSlot);
  resourceSetScreenIdBase(other.index, head, newcomer.client->displays[0]->idBase);
  resourceSetScreenIdBase(newcomer.index, head, base);  // the server reused the base
  uint32_t fresh = newcomer.id(7);
  ASSERT_EQ(core.realId(fresh, head), real);
  uint16_t own = core.serverSequence(observer, uint16_t(o->sequence));
  core.feedEvents(observer, {structureEvent(kDestroyNotify, own, real)});
  EXPECT_EQ(received(core, observer, kDestroyNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{fresh, fresh}}));
}

// A connection that is never read holds no slot: clients leave one after another beside it, each
// slot is free again once its marker is out, and what the sleeper reads at last still names
// each leaver by its own id (the bases the slots had, kept under their markers). A
// ClientMessage that only names the marker window (no secret, or a serial never sent) is an
// ordinary event: the manager gets it, and it moves no connection past any marker.
TEST(ClientClose, SleepingConnectionHoldsNoSlotAndOnlyTheProxysMarkersCount) {
  signal(SIGPIPE, SIG_IGN);
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &wm = core.addClient();
  FakeClient &sleeper = core.addClient();
  addMarkedDisplay(core);
  Head *head = core.heads()[0];
  xproxyCancelDisplayReader(sleeper.client->displays[0]);
  std::vector<std::pair<uint32_t, uint32_t>> gone;  // the leaver's window, its real id
  uint16_t sleeperSequence = core.serverSequence(sleeper, uint16_t(sleeper.client->sequence));
  FakeBytes before;  // what the sleeper's server end holds: each leaver's notification
  for (int round = 0; round < 40; round++) {
    FakeClient &leaver = core.addClient();
    uint32_t window = leaver.id(7), real = core.realId(window, head);
    uint32_t slot = leaver.index;
    FakeBytes note = structureEvent(kDestroyNotify, sleeperSequence, real);
    before.insert(before.end(), note.begin(), note.end());
    leaveAndClose(core, leaver);
    ASSERT_EQ(xproxyDepartureCount(), 0u) << round;
    ASSERT_EQ(resourceFreeClientSlot(), slot) << round;  // the next newcomer gets it
    gone.emplace_back(window, real);
    // Between the leaver's close and its marker on the manager's connection: a forged marker
    // (a huge serial, no secret) and one with the secret and a serial never sent.
    uint16_t sequence = core.serverSequence(wm, uint16_t(wm.client->sequence));
    uint32_t forged[5] = {0xffffffffu, 0x7fffffffu, 1, 2, 3};
    uint32_t beyond[5];
    xproxyLastMarkerWords(beyond);
    beyond[0] += 5;
    core.feedEvents(wm, {clientMessage(sequence, kMarkerWindow, forged), clientMessage(sequence, kMarkerWindow, beyond),
                         structureEvent(kDestroyNotify, sequence, real), markerEvent(sequence, kMarkerWindow)});
    std::vector<std::pair<uint8_t, uint32_t>> codes;  // code, window
    for (const FakeBytes &m : core.messages(wm)) codes.emplace_back(m[0] & 0x7f, wm.u32(m, (m[0] & 0x7f) == 33 ? 4 : 8));
    EXPECT_EQ(codes, (std::vector<std::pair<uint8_t, uint32_t>>{{33, kMarkerWindow}, {33, kMarkerWindow}, {kDestroyNotify, window}}))
        << round;
  }
  EXPECT_EQ(resourceDepartedRecordCount(), 40u);  // the sleeper has passed none of them
  // The sleeper wakes: each notification from before the markers names its leaver.
  ASSERT_EQ(send(sleeper.serverPeers[0], before.data(), before.size(), MSG_NOSIGNAL), ssize_t(before.size()));
  FakeBytes marker = markerEvent(sleeperSequence, kMarkerWindow);
  ASSERT_EQ(send(sleeper.serverPeers[0], marker.data(), marker.size(), MSG_NOSIGNAL), 32);
  xproxyArmDisplayReader(sleeper.client->displays[0]);
  core.runLoopOnce();
  std::vector<std::pair<uint32_t, uint32_t>> expected;
  for (auto [window, real] : gone) expected.emplace_back(window, window);
  EXPECT_EQ(received(core, sleeper, kDestroyNotify), expected);
  core.advanceMs(1000);
  EXPECT_EQ(resourceDepartedRecordCount(), 0u);
}

namespace {
// The bound of kept departures lowered to 30 while it lives.
struct LoweredDepartureBound {
  LoweredDepartureBound() { resourceDepartedRecordLimit = 30; }
  ~LoweredDepartureBound() { resourceDepartedRecordLimit = kResourceDepartedRecordLimit; }
};
}  // namespace

// Past the bound of kept departures (lowered here to 30), the client whose connection sleeps
// before the oldest is ended with a log line, and the records only it kept go; a client that
// reads is not touched. Below the bound nothing is dropped (the sleeper above keeps 40).
TEST(ClientClose, ASleeperPastTheBoundOfKeptDeparturesIsEnded) {
  signal(SIGPIPE, SIG_IGN);
  LoweredDepartureBound limit;
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &wm = core.addClient();
  FakeClient &sleeper = core.addClient();
  addMarkedDisplay(core);
  xproxyCancelDisplayReader(sleeper.client->displays[0]);
  uint32_t sleeperIndex = sleeper.index;
  for (int round = 0; round < 40; round++) {
    leaveAndClose(core, core.addClient());
    // The manager reads each marker.
    core.feedEvents(wm, {markerEvent(core.serverSequence(wm, uint16_t(wm.client->sequence)), kMarkerWindow)});
    core.messages(wm);
  }
  EXPECT_EQ(resourceDepartedRecordCount(), 40u);
  EXPECT_FALSE(core.logged("departures of other clients: ended"));
  core.advanceMs(1000);  // the watch
  EXPECT_TRUE(core.logged("has read none of the last 40 departures of other clients: ended"));
  EXPECT_EQ(xproxyClientByIndex(sleeperIndex), nullptr);
  forget(sleeper);
  EXPECT_NE(xproxyClientByIndex(wm.index), nullptr);
  core.advanceMs(1000);
  EXPECT_EQ(resourceDepartedRecordCount(), 0u);
}

// Clients that leave one after another, every 50 ms: more often than the watch of kept departures
// checks, so a watch that each departure put off would never run. Beside a manager that reads
// every marker, the records are forgotten while the departures go on; beside a sleeper, it is
// ended at the watch's first check after the departures kept for it pass the bound (lowered here
// to 30), not once they pause.
TEST(ClientClose, KeptDeparturesAreWatchedWhileClientsLeaveOneAfterAnother) {
  signal(SIGPIPE, SIG_IGN);
  LoweredDepartureBound limit;
  FakeCore core;
  core.addScreen(800, 600);
  FakeClient &wm = core.addClient();
  addMarkedDisplay(core);
  auto leaveOnce = [&] {
    leaveAndClose(core, core.addClient());
    core.feedEvents(wm, {markerEvent(core.serverSequence(wm, uint16_t(wm.client->sequence)), kMarkerWindow)});
    core.messages(wm);
    core.advanceMs(50);
  };
  uint32_t most = 0;
  for (int round = 0; round < 60; round++) {
    leaveOnce();
    most = std::max(most, resourceDepartedRecordCount());
  }
  EXPECT_LE(most, 4u);  // those of the last 100 ms at most
  FakeClient &sleeper = core.addClient();
  xproxyCancelDisplayReader(sleeper.client->displays[0]);
  uint32_t sleeperIndex = sleeper.index;
  int endedAt = -1;
  for (int round = 0; round < 40 && endedAt < 0; round++) {
    leaveOnce();
    if (!xproxyClientByIndex(sleeperIndex)) endedAt = round;
  }
  EXPECT_GE(endedAt, 30);  // not below the bound
  EXPECT_LE(endedAt, 33);  // at the watch's next check past it
  EXPECT_TRUE(core.logged("departures of other clients: ended"));
  if (endedAt >= 0) forget(sleeper);
  for (int round = 0; round < 4; round++) leaveOnce();
  EXPECT_LE(resourceDepartedRecordCount(), 4u);  // what only the sleeper kept has gone
}

// A client whose slot equals its raw connection's client index gets the real server's ids back
// unchanged: still its own ids, its structure events delivered (slots 1 to 64 in turn).
TEST(IdBases, EqualToTheRealClientIndexAreOrdinary) {
  FakeCore core;
  core.addScreen(800, 600);
  std::vector<FakeClient *> clients;
  for (int i = 0; i < 64; i++) clients.push_back(&core.addClient(i % 2 == 1));
  ServerDisplay *display = core.addRealDisplay();
  uint32_t realStep = resourceIdMask() + 1;  // one head: the real mask is the proxy's
  // The proxy's own Xlib connection elsewhere, every client's base its slot's.
  reinterpret_cast<_XPrivDisplay>(display->display)->private3 = 0x1ff * realStep;
  Head *head = core.heads()[0];
  for (FakeClient *c : clients) resourceSetScreenIdBase(c->index, head, c->index * realStep);
  for (FakeClient *c : clients) {
    SCOPED_TRACE(c->index);
    uint32_t window = c->id(5);
    ASSERT_EQ(core.realId(window, head), window);
    uint16_t sequence = core.serverSequence(*c, uint16_t(c->client->sequence));
    core.feedEvents(*c, {structureEvent(kMapNotify, sequence, window)});
    EXPECT_EQ(received(core, *c, kMapNotify), (std::vector<std::pair<uint32_t, uint32_t>>{{window, window}}));
  }
}
