// Display connections: writers, the sequence map, reply callbacks and the server-input cutter,
// fed by a scripted fake server on a socketpair.
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "proxy/connections.h"
#include "proxy/streams.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {

using Bytes = std::vector<uint8_t>;
std::vector<std::string> trace;

void discard(uintptr_t argument) { trace.push_back("discard " + std::to_string(argument)); }
void releaseNoOp(uintptr_t argument) { trace.push_back("release " + std::to_string(argument)); }
void recordReply(uint8_t *reply, uint32_t length) {
  trace.push_back("reply " + std::to_string(reply[2] | reply[3] << 8) + " " + std::to_string(length));
}
void recordEvent(uint8_t *event) { trace.push_back("event " + std::to_string(event[0])); }
void recordSetup(uint8_t *, uint32_t length) { trace.push_back("setup " + std::to_string(length)); }
std::vector<std::string> logged;
void captureLog(LogChannel *, const char *, int, const char *message) { logged.push_back(message); }

class Display : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ordersInit();
    trace.clear();
    logged.clear();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
    client->fd = -1;
    client->index = 7;
    connection = xproxyAdoptDisplayConnection(client, nullptr, nullptr, fds[0], "host", 0, 256);
    ASSERT_NE(connection, nullptr);
    savedSetup = xprotoSetupReplyHandler;
    xprotoSetupReplyHandler = recordSetup;
    savedLog = logOutputHook;
  }
  void TearDown() override {
    xprotoSetupReplyHandler = savedSetup;
    logOutputHook = savedLog;
    if (client) {
      while (client->displayCount) xproxyCloseDisplayConnection(client->displays[0]);
      free(client->displays);
      outbufferFree(&client->output);
      free(client);
    }
    close(fds[1]);
  }
  uint8_t *sendPlain(uint8_t opcode = 127) {
    uint8_t request[4] = {opcode, 0, 1, 0};
    return xproxySendRequest(request, 4, connection);
  }
  // The server answers; the proxy reads it whole or one byte at a time.
  void serve(const Bytes &bytes, bool bytewise) {
    size_t step = bytewise ? 1 : bytes.size();
    // (until a handler closed the connection or its client)
    for (size_t at = 0; at < bytes.size() && client && client->displayCount && !client->life.closed; at += step) {
      size_t n = std::min(step, bytes.size() - at);
      ASSERT_EQ(write(fds[1], bytes.data() + at, n), ssize_t(n));
      xproxyReadDisplayConnection(connection);
    }
  }
  int fds[2] = {-1, -1};
  ClientConnection *client = nullptr;
  DisplayConnection *connection = nullptr;
  ReplyHandler savedSetup = nullptr;
  LogOutputHook savedLog = nullptr;
};

TEST_F(Display, FullPageIsClosedByANoOp) {
  for (int i = 0; i < 4093; i++) ASSERT_NE(sendPlain(), nullptr);
  EXPECT_EQ(connection->requestsSent, 4093u);
  ASSERT_NE(sendPlain(1), nullptr);  // request 4094 fills the first page
  EXPECT_EQ(connection->requestsSent, 4095u);
  xproxyPushReplyCallback(connection, 1, 42, discard);
  EXPECT_EQ(connection->callbacksLast->key, 1u << 16 | 4094u);
  SequenceMapPage *first = connection->pages;
  ASSERT_NE(first->next, nullptr);
  EXPECT_EQ(first->end, 4095u);
  EXPECT_EQ(first->entries[4095].requestKey, 127u);
  // The page-end reply frees the page; the NoOp's entry is still found.
  xproxyMapReplySequence(connection, 4095);
  EXPECT_EQ(connection->replyKey, 127u);
  EXPECT_EQ(connection->pages->next, nullptr);
  xproxyMapReplySequence(connection, 4095);
  EXPECT_EQ(connection->replyKey, 127u);
}

TEST_F(Display, CallbacksSettleByReply) {
  for (int i = 1; i <= 7; i++) {
    sendPlain(20);
    if (i >= 5) xproxyPushReplyCallback(connection, 20, uintptr_t(i), discard);
  }
  connection->sequenceHandled = 4;
  EXPECT_EQ(xproxyTakeReplyCallback(connection, 20), 0u);
  EXPECT_TRUE(trace.empty());
  connection->sequenceHandled = 7;
  EXPECT_EQ(xproxyTakeReplyCallback(connection, 20), 7u);
  EXPECT_EQ(trace, (std::vector<std::string>{"discard 5", "discard 6"}));
  EXPECT_EQ(connection->callbacksFirst, nullptr);
}

TEST_F(Display, UnansweredNoOpIsReleasedByALaterReply) {
  uint32_t noOp = xproxySendNoOpRequest(connection, nullptr, 9, releaseNoOp);
  EXPECT_EQ(noOp, 1u);
  sendPlain(20);
  xproxyPushReplyCallback(connection, 20, 3, discard);
  connection->sequenceHandled = 2;
  EXPECT_EQ(xproxyTakeReplyCallback(connection, 20), 3u);
  EXPECT_EQ(trace, (std::vector<std::string>{"release 9"}));
}

TEST_F(Display, SeventyThousandRequestsMapAcrossTheWrap) {
  std::vector<std::pair<uint32_t, uint16_t>> written;  // server sequence, client sequence
  for (uint32_t i = 1; i <= 70000; i++) {
    client->sequence = i;
    ASSERT_NE(sendPlain(20), nullptr);
    written.push_back({connection->lastWrittenSequence, uint16_t(i)});
  }
  // Replies come in server order, the page-closing NoOps' among them.
  size_t next = 0;
  for (uint32_t server = 1; server <= connection->requestsSent; server++) {
    xproxyMapReplySequence(connection, uint16_t(server));
    if (next < written.size() && written[next].first == server) {
      ASSERT_EQ(client->replySequence, written[next].second) << server;
      ASSERT_EQ(connection->replyKey, 20u);
      next++;
    } else {
      ASSERT_EQ(connection->replyKey, 127u) << server;
    }
  }
  EXPECT_EQ(next, written.size());
}

TEST_F(Display, WritersChooseTheForm) {
  EXPECT_EQ(xproxyBeginRequest(connection, 72, 0, 0x40000), nullptr);  // no BIG-REQUESTS yet
  connection->bigRequests = 1;
  uint64_t before = outbufferPending(&connection->output);
  uint8_t *plain = xproxyBeginRequest(connection, 72, 0, 0x3fffc);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain[2] | plain[3] << 8, 0xffff);
  uint8_t *big = xproxyBeginRequest(connection, 72, 0, 0x40000);
  ASSERT_NE(big, nullptr);
  uint32_t words;
  memcpy(&words, big, 4);
  EXPECT_EQ(words, (0x40000u + 4) / 4);
  EXPECT_EQ(big[-2] | big[-1], 0);
  EXPECT_EQ(outbufferPending(&connection->output) - before, 0x3fffcu + 0x40004u);
  // A request received in big form (length field 0) goes out plain with the length given.
  uint8_t received[16] = {18, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  uint8_t *copy = xproxySendRequest(received, 16, connection);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy[2], 4);
  EXPECT_EQ(copy[4], 1);
  EXPECT_EQ(copy[15], 12);
}

// Only a request that the real server answers makes the loop wait for the answer awake.
TEST_F(Display, OnlyRequestsWithRepliesLetTheLoopWaitAwake) {
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  if (CPU_COUNT(&cpus) < 2) GTEST_SKIP() << "one processor: the loop never spins";
  ReplyHandler saved[2] = {proxyState.replyHandlers[43], proxyState.replyHandlers[70]};
  proxyState.replyHandlers[43] = recordReply;           // GetInputFocus
  proxyState.replyHandlers[70] = xcoreUnexpectedReply;  // PolyFillRectangle
  ASSERT_NE(sendPlain(70), nullptr);
  ASSERT_NE(sendPlain(127), nullptr);  // no handler at all
  EXPECT_FALSE(ordersSpinsNext());
  ASSERT_NE(sendPlain(43), nullptr);
  EXPECT_TRUE(ordersSpinsNext());
  proxyState.replyHandlers[43] = saved[0];
  proxyState.replyHandlers[70] = saved[1];
}

TEST(Sequences, DiffAndFind) {
  EXPECT_EQ(xprotoSeqDiff(0, 32768), 32768);
  EXPECT_EQ(xprotoSeqDiff(32768, 0), -32768);
  EXPECT_EQ(xprotoSeqDiff(65535, 0), -1);
  EXPECT_EQ(xprotoSeqDiff(0, 65535), 1);
  for (int swapped = 0; swapped < 2; swapped++) {
    Bytes stream(32, 0);
    stream[0] = 12;  // an event
    Bytes generic(40, 0);
    generic[0] = 35;
    generic[swapped ? 7 : 4] = 2;
    stream.insert(stream.end(), generic.begin(), generic.end());
    Bytes reply(36, 0);
    reply[0] = 1;
    reply[swapped ? 3 : 2] = 5;
    reply[swapped ? 7 : 4] = 1;
    stream.insert(stream.end(), reply.begin(), reply.end());
    const uint8_t *unit = nullptr;
    uint64_t length = 0;
    ASSERT_EQ(xprotoFindEvent(5, stream.data(), stream.size(), swapped, &unit, &length), 1);
    EXPECT_EQ(unit - stream.data(), 72);
    EXPECT_EQ(length, 36u);
    EXPECT_EQ(xprotoFindError(5, stream.data(), stream.size(), swapped, &unit, &length), 0);
    // The event and the GenericEvent, then an error of sequence 5: the error search finds it.
    Bytes withError(stream.begin(), stream.begin() + 72);
    Bytes error(32, 0);
    error[1] = 3;
    error[swapped ? 3 : 2] = 5;
    withError.insert(withError.end(), error.begin(), error.end());
    ASSERT_EQ(xprotoFindError(5, withError.data(), withError.size(), swapped, &unit, &length), 1);
    EXPECT_EQ(unit - withError.data(), 72);
    EXPECT_EQ(length, 32u);
    // Incomplete, and a length near 2^32: the walk stops there.
    EXPECT_EQ(xprotoFindEvent(5, stream.data(), stream.size() - 1, swapped, &unit, &length), 0);
    EXPECT_EQ(unit - stream.data(), 72);
    stream[72 + 4] = stream[72 + 5] = stream[72 + 6] = stream[72 + 7] = 0xff;
    EXPECT_EQ(xprotoFindEvent(5, stream.data(), stream.size(), swapped, &unit, &length), 0);
  }
}

class ServerInput : public Display, public ::testing::WithParamInterface<bool> {};

Bytes setupReply() {
  Bytes r(8 + 8, 0);
  r[0] = 1;
  r[6] = 2;
  return r;
}
Bytes event(uint8_t type) {
  Bytes e(32, 0);
  e[0] = type;
  return e;
}
Bytes reply(uint16_t sequence, uint32_t words) {
  Bytes r(32 + 4 * size_t(words), 0);
  r[0] = 1;
  r[2] = uint8_t(sequence);
  r[3] = uint8_t(sequence >> 8);
  memcpy(&r[4], &words, 4);
  return r;
}

TEST_P(ServerInput, UnitsInStreamOrder) {
  EventHandler savedEvents[256];
  memcpy(savedEvents, proxyState.eventHandlers, sizeof savedEvents);
  ReplyHandler savedReply = proxyState.replyHandlers[20];
  proxyState.eventHandlers[12] = recordEvent;
  proxyState.eventHandlers[35] = recordEvent;
  proxyState.replyHandlers[20] = recordReply;
  sendPlain(20);
  Bytes stream = setupReply();
  for (const Bytes &part : {event(12), event(12), reply(1, 3)}) stream.insert(stream.end(), part.begin(), part.end());
  Bytes generic = event(35);
  generic[8] = 0x23, generic[10] = 1;  // selector 0x10023: dropped
  stream.insert(stream.end(), generic.begin(), generic.end());
  Bytes sent = event(0xa3);  // a GenericEvent with the sent-event bit: entry 35 is not for it
  proxyState.eventHandlers[35] = nullptr;
  stream.insert(stream.end(), sent.begin(), sent.end());
  serve(stream, GetParam());
  EXPECT_EQ(trace, (std::vector<std::string>{"setup 16", "event 12", "event 12", "reply 1 44"}));
  EXPECT_EQ(connection->input.length, 0u);
  memcpy(proxyState.eventHandlers, savedEvents, sizeof savedEvents);
  proxyState.replyHandlers[20] = savedReply;
}

// A GenericEvent whose extra bytes have not all come waits unhandled in the input; the rest
// makes it one whole event for the handler its selector picks.
TEST_P(ServerInput, PartialGenericEventWaits) {
  EventHandler saved = proxyState.eventHandlers[40];
  proxyState.eventHandlers[40] = [](uint8_t *event) {
    trace.push_back("generic " + std::to_string(event[8]) + " " + std::to_string(event[39]));
  };
  Bytes stream = setupReply();
  Bytes generic = event(35);
  generic[4] = 2;  // 8 bytes more
  generic[8] = 40;
  generic.resize(40, 0);
  generic[39] = 0x5a;
  stream.insert(stream.end(), generic.begin(), generic.end() - 5);
  serve(stream, GetParam());
  EXPECT_EQ(trace, (std::vector<std::string>{"setup 16"}));
  EXPECT_EQ(connection->input.length, 35u);
  serve(Bytes(generic.end() - 5, generic.end()), GetParam());
  EXPECT_EQ(trace, (std::vector<std::string>{"setup 16", "generic 40 90"}));
  EXPECT_EQ(connection->input.length, 0u);
  proxyState.eventHandlers[40] = saved;
}

TEST_P(ServerInput, HugeReplyClosesTheClient) {
  logOutputHook = captureLog;
  LogChannel *xclient = logChannelXclient;
  (void)xclient;
  ClientConnection *owner = client;
  xproxyHoldClient(owner);  // keep the record to look at after the close
  Bytes stream = setupReply();
  Bytes huge = reply(1, 0);  // only its header is sent: a length no input can hold
  const uint32_t words = 0x3ffffff8;
  memcpy(&huge[4], &words, 4);
  stream.insert(stream.end(), huge.begin(), huge.end());
  serve(stream, GetParam());
  EXPECT_EQ(owner->displayCount, 0u);
  EXPECT_TRUE(owner->life.closed);
  client = nullptr;  // freed by the release
  xproxyReleaseClient(owner);
}

Bytes error(uint16_t sequence) {
  Bytes e(32, 0);
  e[1] = 9;
  e[2] = uint8_t(sequence);
  e[3] = uint8_t(sequence >> 8);
  return e;
}

void recordError(uint8_t *unit) { trace.push_back("error " + std::to_string(unit[2] | unit[3] << 8)); }

// An error whose request left a tag-255 callback takes it (older callbacks are discarded, the
// taken one is not); an error without one discards the older callbacks and keeps its own.
TEST_P(ServerInput, ErrorsSettleCallbacks) {
  ErrorHandler savedError = proxyState.errorHandlers[9];
  proxyState.errorHandlers[9] = recordError;
  sendPlain(20);
  xproxyPushReplyCallback(connection, 20, 1, discard);
  sendPlain(20);
  xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, 2, discard);
  sendPlain(20);
  xproxyPushReplyCallback(connection, 20, 3, discard);
  sendPlain(20);
  xproxyPushReplyCallback(connection, 20, 4, discard);
  Bytes stream = setupReply();
  for (const Bytes &part : {error(2), error(4)}) stream.insert(stream.end(), part.begin(), part.end());
  serve(stream, GetParam());
  EXPECT_EQ(trace, (std::vector<std::string>{"setup 16", "error 2", "discard 1", "error 4", "discard 3"}));
  ASSERT_NE(connection->callbacksFirst, nullptr);
  EXPECT_EQ(connection->callbacksFirst->argument, 4u);
  proxyState.errorHandlers[9] = savedError;
}

void closeConnectionOnEvent(uint8_t *event) {
  trace.push_back("event " + std::to_string(event[0]));
  xproxyCloseDisplayConnection(xproxyCurrentDisplayConnection);
}
void closeClientOnEvent(uint8_t *event) {
  trace.push_back("event " + std::to_string(event[0]));
  xproxyCloseClient(xproxyCurrentClient, "closed by a handler", 0);
}

// A handler that closes its own connection, or its client, ends the pass: the units after it
// are not handled, and the records stay valid until the cutter and the reader have returned.
TEST_P(ServerInput, HandlerClosingItsConnectionOrClient) {
  EventHandler saved = proxyState.eventHandlers[12];
  for (EventHandler handler : {closeConnectionOnEvent, closeClientOnEvent}) {
    SCOPED_TRACE(handler == closeClientOnEvent ? "client" : "connection");
    if (!client || client->displayCount == 0) {  // a fresh client and connection
      TearDown();
      SetUp();
    }
    trace.clear();
    proxyState.eventHandlers[12] = handler;
    ClientConnection *owner = client;
    xproxyHoldClient(owner);
    Bytes stream = setupReply();
    for (int i = 0; i < 3; i++) stream.insert(stream.end(), 32, 0), stream[stream.size() - 32] = 12;
    serve(stream, GetParam());
    EXPECT_EQ(trace, (std::vector<std::string>{"setup 16", "event 12"}));
    EXPECT_EQ(owner->displayCount, 0u);
    if (handler == closeClientOnEvent) {
      EXPECT_TRUE(owner->life.closed);
      client = nullptr;  // freed by the release
    }
    xproxyReleaseClient(owner);
  }
  proxyState.eventHandlers[12] = saved;
}

int eventsSeen = 0;
const char *syncResult = "not run";
void countEvent(uint8_t *) { eventsSeen++; }
void syncOnReply(uint8_t *, uint32_t) { syncResult = xproxySyncDisplayConnection(xproxyCurrentDisplayConnection); }

// A reply handler syncs its own connection while 1 MB of events stands behind the reply: the
// sync reads them aside, takes its own reply out, and every event is handled afterwards, once.
TEST_F(Display, HandlerSyncingWithOneMegabyteBehindIt) {
  EventHandler savedEvent = proxyState.eventHandlers[12];
  ReplyHandler savedReply = proxyState.replyHandlers[20];
  proxyState.eventHandlers[12] = countEvent;
  proxyState.replyHandlers[20] = syncOnReply;
  eventsSeen = 0;
  syncResult = "not run";
  sendPlain(20);  // 1; the sync will be 2
  Bytes stream = setupReply();
  Bytes first = reply(1, 0);
  stream.insert(stream.end(), first.begin(), first.end());
  const int events = (1 << 20) / 32;
  for (int i = 0; i < events; i++) {
    Bytes e = event(12);
    e[2] = 1;
    stream.insert(stream.end(), e.begin(), e.end());
  }
  Bytes arc = reply(2, 1);
  memcpy(&arc[32], "ARC", 3);
  stream.insert(stream.end(), arc.begin(), arc.end());
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) & ~O_NONBLOCK);
  std::thread server([&] {
    for (size_t at = 0; at < stream.size();) {
      ssize_t w = write(fds[1], stream.data() + at, std::min<size_t>(65536, stream.size() - at));
      if (w <= 0) return;
      at += size_t(w);
    }
  });
  for (int round = 0; round < 100000 && eventsSeen < events; round++) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    xproxyReadDisplayConnection(connection);
  }
  server.join();
  EXPECT_EQ(syncResult, nullptr);
  EXPECT_EQ(eventsSeen, events);
  EXPECT_EQ(connection->input.length, 0u);
  EXPECT_EQ(connection->syncInput.length, 0u);
  proxyState.eventHandlers[12] = savedEvent;
  proxyState.replyHandlers[20] = savedReply;
}

INSTANTIATE_TEST_SUITE_P(WholeAndBytewise, ServerInput, ::testing::Values(false, true));

// A sync that reads whole answers beyond its own reply hands them to the owner's turn: round
// trips never pile up orders or poll entries, the answers are handled once, then the reader is
// back, and a close while they wait leaves nothing that runs later.
TEST_F(Display, SyncedAnswersRunOnceAndLeaveOneReader) {
  EventHandler saved = proxyState.eventHandlers[12];
  proxyState.eventHandlers[12] = countEvent;
  eventsSeen = 0;
  Bytes setup = setupReply();
  ASSERT_EQ(write(fds[1], setup.data(), setup.size()), ssize_t(setup.size()));
  xproxyReadDisplayConnection(connection);
  ASSERT_EQ(connection->reader.bytesNeeded, 32u);
  int pollEntries = ordersPollInUse();
  auto syncWithEventBehind = [&]() {
    Bytes stream = event(12);
    Bytes answer = reply(uint16_t(connection->requestsSent + 1), 1);
    memcpy(answer.data() + 32, "ARC", 3);
    stream.insert(stream.end(), answer.begin(), answer.end());
    ASSERT_EQ(write(fds[1], stream.data(), stream.size()), ssize_t(stream.size()));
    ASSERT_EQ(xproxySyncDisplayConnection(connection), nullptr);
    char sink[256];
    while (read(fds[1], sink, sizeof sink) > 0) {
    }
  };
  for (int i = 0; i < 300; i++) {
    syncWithEventBehind();
    ASSERT_TRUE(connection->answersDue);
    ordersStep(0);
    ordersStep(0);
    ASSERT_EQ(eventsSeen, i + 1);
    ASSERT_NE(connection->readOrder, nullptr);
    ASSERT_FALSE(connection->answersDue);
    ASSERT_EQ(ordersPollInUse(), pollEntries) << "after round trip " << i;
  }
  syncWithEventBehind();
  ASSERT_TRUE(connection->answersDue);
  xproxyCloseDisplayConnection(connection);
  connection = nullptr;
  for (int i = 0; i < 3; i++) ordersStep(0);
  EXPECT_EQ(eventsSeen, 300);
  proxyState.eventHandlers[12] = saved;
}

void recordAtomReply(uint8_t *reply, uint32_t) {
  trace.push_back("GetAtomName reply " + std::to_string(reply[2] | reply[3] << 8));
}

// A sync the server does not answer (it holds the connection's requests back) gives up after the
// bound with a time-out text. Its reply, when it comes at last, reaches no handler but the
// proxy's own round trips, also when it arrives behind the answers a later sync skips over.
TEST_F(Display, UnansweredSyncGivesUpAndItsLateReplyIsDropped) {
  ReplyHandler savedAtom = proxyState.replyHandlers[0x11], savedNoOp = proxyState.replyHandlers[127],
               savedPlain = proxyState.replyHandlers[20];
  uint32_t savedLimit = xproxySyncWaitLimitMs;
  proxyState.replyHandlers[0x11] = recordAtomReply;
  proxyState.replyHandlers[127] = xproxyNoOpReply;
  proxyState.replyHandlers[20] = recordReply;
  xproxySyncWaitLimitMs = 150;
  Bytes setup = setupReply();
  ASSERT_EQ(write(fds[1], setup.data(), setup.size()), ssize_t(setup.size()));
  xproxyReadDisplayConnection(connection);
  trace.clear();
  sendPlain(20);  // 1
  auto started = std::chrono::steady_clock::now();
  const char *result = xproxySyncDisplayConnection(connection);  // 2
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  ASSERT_NE(result, nullptr);
  EXPECT_NE(strstr(result, "timed out"), nullptr) << result;
  EXPECT_GE(waited.count(), 140);
  EXPECT_LT(waited.count(), 3000);
  EXPECT_TRUE(trace.empty());
  sendPlain(20);  // 3
  // The server goes on: the answers of 1, the late sync and 3 come in front of the next sync's.
  Bytes stream = reply(1, 0);
  for (uint16_t sequence : {2, 3, 4}) {
    Bytes answer = reply(sequence, sequence == 3 ? 0 : 1);
    if (sequence != 3) memcpy(answer.data() + 32, "ARC", 3);
    stream.insert(stream.end(), answer.begin(), answer.end());
  }
  ASSERT_EQ(write(fds[1], stream.data(), stream.size()), ssize_t(stream.size()));
  EXPECT_EQ(xproxySyncDisplayConnection(connection), nullptr);  // 4
  for (int i = 0; i < 3; i++) ordersStep(0);
  EXPECT_EQ(trace, (std::vector<std::string>{"reply 1 32", "reply 3 32"}));
  EXPECT_EQ(connection->callbacksFirst, nullptr);
  EXPECT_EQ(connection->input.length, 0u);
  xproxySyncWaitLimitMs = savedLimit;
  proxyState.replyHandlers[0x11] = savedAtom;
  proxyState.replyHandlers[127] = savedNoOp;
  proxyState.replyHandlers[20] = savedPlain;
}

}  // namespace

namespace {

// A sync of the connection and the milliseconds it took.
const char *timedSync(DisplayConnection *connection, long long *ms) {
  auto started = std::chrono::steady_clock::now();
  const char *result = xproxySyncDisplayConnection(connection);
  *ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  return result;
}

// A server that takes no more bytes: a sync's write gives up after the sync limit as well, with
// a time-out text (the connection stays), and the event loop goes on.
TEST_F(Display, SyncToAServerThatReadsNothingGivesUp) {
  uint32_t savedLimit = xproxySyncWaitLimitMs;
  xproxySyncWaitLimitMs = 150;
  for (int i = 0; i < 64; i++) ASSERT_NE(xproxyBeginRequest(connection, 127, 0, 1 << 16), nullptr);
  long long waited = 0;
  const char *result = timedSync(connection, &waited);
  ASSERT_NE(result, nullptr);
  EXPECT_NE(strstr(result, "timed out"), nullptr) << result;
  EXPECT_LT(waited, 3000);
  EXPECT_EQ(client->displayCount, 1u);
  xproxySyncWaitLimitMs = savedLimit;
}

// A sync that meets an answer longer than any the proxy takes stops at once: it neither makes
// room for it nor reads on until the limit.
TEST_F(Display, SyncMeetingAnOverlongAnswerStopsAtOnce) {
  uint32_t savedLimit = xproxySyncWaitLimitMs;
  xproxySyncWaitLimitMs = 2000;
  Bytes setup = setupReply();
  ASSERT_EQ(write(fds[1], setup.data(), setup.size()), ssize_t(setup.size()));
  xproxyReadDisplayConnection(connection);
  sendPlain(20);
  Bytes header = reply(1, 0);
  uint32_t words = 0x3fffffd0;
  memcpy(&header[4], &words, 4);
  ASSERT_EQ(write(fds[1], header.data(), header.size()), ssize_t(header.size()));
  long long waited = 0;
  const char *result = timedSync(connection, &waited);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(strstr(result, "timed out"), nullptr) << result;
  EXPECT_LT(waited, 1000);
  xproxySyncWaitLimitMs = savedLimit;
}

}  // namespace
