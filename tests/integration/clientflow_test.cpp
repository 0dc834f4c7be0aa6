// Client connections through the pass-through harness: the start and stop lines, requests
// behind the setup, refused authorization, flow control towards the server and towards the
// client (also for a client that floods and never reads), server grabs, retained clients, the
// reset request of the last client, a full slot table or poll table, the setup time-out and the
// close of a client that never reads.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "passthrough_fixture.h"
#include "proxy/access.h"
#include "proxy/connections.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xproto.h"
#include "support/orders.h"

namespace {

RawBytes getInputFocus() { return RawRequest(false).b(43).b(0).s(0).done(); }

// n copies of one request.
RawBytes repeated(const RawBytes &request, int n) {
  RawBytes all;
  for (int i = 0; i < n; i++) all.insert(all.end(), request.begin(), request.end());
  return all;
}

// A row for GetInputFocus that answers from the proxy itself, without the real server.
void answerLocally(uint8_t *, uint32_t) {
  uint8_t reply[32] = {1};
  reply[2] = uint8_t(xproxyCurrentClient->sequence);
  reply[3] = uint8_t(xproxyCurrentClient->sequence >> 8);
  mainWriteToClient(reply, 32, nullptr);
}

class ClientFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(proxy.start(), ""); }
  void TearDown() override { proxy.stop(); }
  // The proxy's record of the client that connected last.
  ClientConnection *newest() { return xproxyClients ? xproxyClients->prev : nullptr; }
  // Connects a client that never reads and whose GetInputFocus requests the proxy answers
  // itself, then another client; the proxy's record of the first (NULL when a connect failed).
  ClientConnection *connectFlooderAndOther(RawClient &flooder, RawClient &other) {
    proxyState.requestHandlers[43] = answerLocally;
    if (proxy.connect(flooder, 'l') != "") return nullptr;
    ClientConnection *record = newest();
    if (proxy.connect(other, 'l') != "") return nullptr;
    flooder.setNeverRead(true);
    return record;
  }
  // Sends GetInputFocus requests as far as the socket takes them within 5 ms.
  static void flood(RawClient &flooder) {
    static const RawBytes burst = repeated(getInputFocus(), 4096);
    (void)flooder.sendRaw(burst.data(), burst.size(), 5);
  }
  PassthroughProxy proxy;
};

// The start and stop lines name the slot, the client, its close-down mode, the reason and the
// request count, for a full and a retained close.
TEST_F(ClientFlowTest, StartAndStopLines) {
  for (bool retain : {false, true}) {
    SCOPED_TRACE(retain);
    RawClient client;
    ASSERT_EQ(proxy.connect(client, 'l'), "");
    ClientConnection *record = newest();
    int index = int(record->index);
    RawBytes answer;
    ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
    if (retain) {
      ASSERT_EQ(client.send(RawRequest(false).b(112).b(1).s(0).done()), "");  // RetainPermanent
    }
    ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
    client.close();
    // The stop line is the event checked: waited for with the close it reports (and a full
    // close's departure, whose line would otherwise fall into the next case).
    std::string stopped = "Client #" + std::to_string(index) + " stopped";
    ASSERT_TRUE(proxy.runUntil(
        [&] {
          return (retain ? record->retained != 0 : passthroughClientCount() == 0 && xproxyDepartureCount() == 0) &&
                 proxy.logged(stopped);
        },
        kLoopEventBoundMs));
    std::string name = "client " + std::to_string(index);
    std::vector<std::string> expected = {
        "Client #" + std::to_string(index) + " started",
        "Client #" + std::to_string(index) + " stopped (" + name + (retain ? " RetainPermanent" : " DestroyAll") +
            " reason=Broken connection reqs=" + (retain ? "3" : "2") + ")"};
    // This client's lines: the departure of the case before (its "departed" line) may end at
    // any time, on a busy machine well into this case.
    std::vector<std::string> seen;
    const std::string own = "Client #" + std::to_string(index) + " ";
    for (const std::string &line : proxy.log())
      if (line.rfind(own, 0) == 0 && line.find(" departed") == std::string::npos) seen.push_back(line);
    EXPECT_EQ(seen, expected);
    if (retain) xproxyCloseClient(record, "end of the case", 0);
    proxy.clearLog();
  }
}

// Requests sent in the same write as the setup are handled once the real server has answered
// the setup, with the client set up, and come back under their own sequence numbers.
TEST_F(ClientFlowTest, RequestsBehindTheSetupRunAfterItsAnswer) {
  static RequestHandler forward;
  static std::vector<int> setUpWhenHandled;
  forward = proxyState.requestHandlers[43];
  setUpWhenHandled.clear();
  proxyState.requestHandlers[43] = [](uint8_t *request, uint32_t length) {
    setUpWhenHandled.push_back(xproxyCurrentClient->setUp && xproxyCurrentClient->setupsPending == 0);
    forward(request, length);
  };
  RawClient client;
  client.setAfterSetup(repeated(getInputFocus(), 3), 3);
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  for (uint16_t expected = 1; expected <= 3; expected++) {
    RawBytes answer;
    ASSERT_EQ(client.read(answer), "");
    EXPECT_EQ(answer[0], 1);
    EXPECT_EQ(rawGet16(answer, 2, false), expected);
  }
  EXPECT_EQ(setUpWhenHandled, std::vector<int>({1, 1, 1}));
  proxyState.requestHandlers[43] = forward;
}

// With a client authorization file, a wrong cookie gets a failed setup in the client's byte
// order; the right one is taken, and the proxy reaches the Xvfb that requires its own cookie.
TEST(ClientAuthorization, WrongCookieGetsAFailedSetupInEitherOrder) {
  char directoryTemplate[] = "/tmp/tarvo-clientauth-XXXXXX";
  ASSERT_NE(mkdtemp(directoryTemplate), nullptr);
  std::string directory = directoryTemplate, serverFile = directory + "/server", clientFile = directory + "/client";
  const std::string serverCookie = "server-cookie-16", clientCookie = "client-cookie-16";
  XvfbOptions options;
  options.displayNumber = xvfbUnusedDisplayNumber();
  options.extraArguments = {"-auth", serverFile};
  ASSERT_EQ(xvfbWriteCookieFile(serverFile, options.displayNumber, serverCookie), "");
  setenv("XAUTHORITY", serverFile.c_str(), 1);  // the harness's Xlib connection to Xvfb
  {
    PassthroughProxy proxy;
    ASSERT_EQ(proxy.start(options), "");
    ASSERT_EQ(xvfbWriteCookieFile(clientFile, proxy.displayNumber(), clientCookie), "");
    xproxySetServerAuthFile(serverFile.c_str());
    xproxySetAuthorizationFile(clientFile.c_str());
    // The harness listens open to everyone: access control on, no host admitted.
    accessSetDefeated(0);
    accessResetHosts(std::to_string(proxy.displayNumber()).c_str());
    xprotoAccessCheck = xproxyCheckClientAccess;
    for (char order : {'l', 'B'}) {
      SCOPED_TRACE(order);
      RawClient refused;
      refused.setAuthorization("MIT-MAGIC-COOKIE-1", "wrong-cookie-016");
      EXPECT_EQ(proxy.connect(refused, order), "the X server refused the connection");
      EXPECT_EQ(refused.setupFailure(), "Invalid MIT-MAGIC-COOKIE-1 key");
      // Major version 11 in the client's order.
      EXPECT_EQ(rawGet16(refused.setup(), 2, order == 'B'), 11u);
      RawClient taken;
      taken.setAuthorization("MIT-MAGIC-COOKIE-1", clientCookie);
      EXPECT_EQ(proxy.connect(taken, order), "");
      EXPECT_EQ(taken.setup()[0], 1);
    }
    EXPECT_TRUE(proxy.logged("Access denied from"));
    proxy.stop();
    xproxyFreeServerAuth();
    accessFreeAll();
  }
  unsetenv("XAUTHORITY");
  std::filesystem::remove_all(directory);
}

// With the server stopped, the proxy's output towards it grows past two blocks and the client
// is no longer read; once the server runs again the client is read and answered.
TEST_F(ClientFlowTest, StoppedServerStopsReadingTheClient) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
  ClientConnection *record = newest();
  proxy.xvfb().suspend();
  RawBytes noOps;
  for (int i = 0; i < 100000; i++) {
    RawBytes one = RawRequest(false).b(127).b(0).s(0).done();
    noOps.insert(noOps.end(), one.begin(), one.end());
  }
  (void)client.sendRaw(noOps.data(), noOps.size(), 1000);  // stops when the proxy stops reading
  EXPECT_TRUE(proxy.runUntil([&] { return record->readOrder == nullptr; }, kLoopEventBoundMs));
  EXPECT_GT(outbufferCapacity(&record->displays[0]->output), kMiscServerOutputMark);
  proxy.xvfb().resume();
  EXPECT_TRUE(proxy.runUntil([&] { return record->readOrder != nullptr; }, kLoopEventBoundMs));
}

// A client that does not read its answers: past eight blocks towards it, its display connection
// is not read and its requests wait unserved; its socket is still read (what it sends waits in
// its input: a client may write all it has before it reads). Reading lets it be served again.
TEST_F(ClientFlowTest, ClientNotReadingStopsItsDisplayConnection) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  ClientConnection *record = newest();
  RawBytes many;
  const int count = 30000;  // 960,000 bytes of replies
  const RawBytes one = getInputFocus();
  for (int i = 0; i < count; i++) many.insert(many.end(), one.begin(), one.end());
  client.setNeverRead(true);
  EXPECT_EQ(client.sendRaw(many.data(), many.size(), kLoopEventBoundMs), "");  // all taken, nothing read
  EXPECT_TRUE(proxy.runUntil([&] { return record->displays[0]->readOrder == nullptr && record->readTakesOnly; },
                             kLoopEventBoundMs));
  EXPECT_GT(outbufferCapacity(&record->output), kMiscClientOutputMark);
  EXPECT_LE(outbufferCapacity(&record->output), kMiscClientOutputMark + 3 * 65520);  // bounded
  client.setNeverRead(false);
  int replies = 0;
  RawBytes message;
  while (replies < count && client.read(message, kLoopEventBoundMs).empty()) replies++;
  EXPECT_EQ(replies, count);
}

// A client that floods requests answered by the proxy itself and never reads: past its output
// mark it is still read, not served, until its input passes its bound; then it alone is closed
// with a log line, while another client's round trips go on throughout.
TEST_F(ClientFlowTest, FloodingClientThatNeverReadsIsClosedPastItsInputBound) {
  uint64_t saved = miscClientInputLimit;
  miscClientInputLimit = 8 << 20;
  RawClient flooder, other;
  ClientConnection *record = connectFlooderAndOther(flooder, other);
  ASSERT_NE(record, nullptr);
  unsigned before = passthroughClientCount();
  int roundTrips = 0;
  RawBytes answer;
  ASSERT_TRUE(proxy.runUntil([&] {
    flood(flooder);
    if (other.roundTrip(getInputFocus(), answer, kLoopEventBoundMs).empty() && answer[0] == 1) roundTrips++;
    return passthroughClientCount() == before - 1;
  }, 4 * kLoopEventBoundMs));
  EXPECT_TRUE(proxy.logged("while it read none of its answers: closed"));
  EXPECT_GT(roundTrips, 10);
  EXPECT_EQ(other.roundTrip(getInputFocus(), answer, kLoopEventBoundMs), "");
  miscClientInputLimit = saved;
}

// A client whose output is past its mark and that writes before it reads (python-xlib sends all
// it queued in one blocking send): a megabyte more is taken into its input at once and waits
// there unserved; once it reads, every reply comes, in order. Past the input's bound it alone is
// closed.
TEST_F(ClientFlowTest, ClientThatWritesBeforeItReadsIsReadPastItsOutputMark) {
  RawClient writer, other;
  ClientConnection *record = connectFlooderAndOther(writer, other);
  ASSERT_NE(record, nullptr);
  // Every request sent so far is either served or waiting in the input (GetInputFocus: 4 bytes).
  auto taken = [&](uint32_t sent) { return record->sequence + record->input.length / 4 == sent; };
  auto full = [&] { return outbufferCapacity(&record->output) > kMiscClientOutputMark; };
  const int early = 30000;  // 960 000 bytes of replies: past the mark, unread
  const RawBytes first = repeated(getInputFocus(), early);
  ASSERT_EQ(writer.sendRaw(first.data(), first.size(), kLoopEventBoundMs), "");
  ASSERT_TRUE(proxy.runUntil([&] { return taken(early) && full(); }, kLoopEventBoundMs));
  uint32_t served = record->sequence;
  const int late = 262144;  // one megabyte of requests, in one write
  const RawBytes second = repeated(getInputFocus(), late);
  EXPECT_EQ(writer.sendRaw(second.data(), second.size(), kLoopEventBoundMs), "");
  EXPECT_TRUE(proxy.runUntil([&] { return taken(early + late); }, kLoopEventBoundMs));
  EXPECT_EQ(record->sequence, served);  // none served meanwhile
  RawBytes answer;
  EXPECT_EQ(other.roundTrip(getInputFocus(), answer, kLoopEventBoundMs), "");
  writer.setNeverRead(false);
  int replies = 0, outOfOrder = 0;
  RawBytes message;
  while (replies < early + late && writer.read(message, kLoopEventBoundMs).empty()) {
    replies++;
    outOfOrder += message[0] != 1 || rawGet16(message, 2, false) != (replies & 0xffff);
  }
  EXPECT_EQ(replies, early + late);
  EXPECT_EQ(outOfOrder, 0);
  // The bound: its output past the mark again, then more than any input takes (lowered here):
  // it alone is closed, with a log line.
  uint64_t saved = miscClientInputLimit;
  miscClientInputLimit = 4 << 20;
  writer.setNeverRead(true);
  ASSERT_EQ(writer.sendRaw(first.data(), first.size(), kLoopEventBoundMs), "");
  ASSERT_TRUE(proxy.runUntil([&] { return taken(2 * early + late) && full(); }, kLoopEventBoundMs));
  unsigned before = passthroughClientCount();
  const RawBytes third = repeated(getInputFocus(), int(miscClientInputLimit / 4) + late);
  (void)writer.sendRaw(third.data(), third.size(), 200);  // gives up once the proxy closes it
  EXPECT_TRUE(proxy.runUntil([&] { return passthroughClientCount() == before - 1; }, kLoopEventBoundMs));
  EXPECT_TRUE(proxy.logged("while it read none of its answers: closed"));
  EXPECT_EQ(other.roundTrip(getInputFocus(), answer, kLoopEventBoundMs), "");
  miscClientInputLimit = saved;
}

// A client that holds the server, whose output is past its mark and which never reads, shuts
// its writing side: it is ended at once (what it sent is served; a drain it would not read is
// not waited for) and its grab with it, as the real server ends it, and the other client is
// served again. Also when its input holds megabytes it sent past its mark: its end is seen.
TEST_F(ClientFlowTest, GrabberWithAFullOutputThatShutsItsWritingSideEndsWithItsGrab) {
  for (bool inputFull : {false, true}) {
    SCOPED_TRACE(inputFull ? "input full" : "input open");
    RawClient grabber, other;
    ClientConnection *record = connectFlooderAndOther(grabber, other);
    ASSERT_NE(record, nullptr);
    if (inputFull) {
      ASSERT_TRUE(proxy.runUntil([&] {
        flood(grabber);
        return record->input.length > (2u << 20) && outbufferCapacity(&record->output) > kMiscClientOutputMark;
      }, kLoopEventBoundMs));
    } else {
      const RawBytes many = repeated(getInputFocus(), 30000);  // 960 000 bytes of replies
      ASSERT_EQ(grabber.sendRaw(many.data(), many.size(), kLoopEventBoundMs), "");
      ASSERT_TRUE(proxy.runUntil([&] {
        return record->sequence + record->input.length / 4 == 30000 &&
               outbufferCapacity(&record->output) > kMiscClientOutputMark;
      }, kLoopEventBoundMs));
    }
    miscSuspendOtherClients(record);
    ASSERT_EQ(other.send(getInputFocus()), "");
    RawBytes answer;
    EXPECT_NE(other.read(answer, 300), "");  // not served during the grab
    unsigned before = passthroughClientCount();
    ASSERT_EQ(shutdown(grabber.fd(), SHUT_WR), 0);
    EXPECT_TRUE(proxy.runUntil([&] { return passthroughClientCount() == before - 1; }, kLoopEventBoundMs));
    EXPECT_EQ(miscGrabbingClient, nullptr);
    ASSERT_EQ(other.read(answer, kLoopEventBoundMs), "");
    EXPECT_EQ(answer[0], 1);
    proxy.clearLog();
  }
}

// A retained client's window stays on the server, the events of its display connection reach
// no other client, and its full close destroys the window.
TEST_F(ClientFlowTest, RetainedClientKeepsItsWindowUntilItsFullClose) {
  RawClient owner, other;
  ASSERT_EQ(proxy.connect(owner, 'l'), "");
  ClientConnection *record = newest();
  ASSERT_EQ(proxy.connect(other, 'l'), "");
  uint32_t window = owner.idBase() | 1;
  // CreateWindow 100x100 with an event mask of StructureNotify; then RetainPermanent.
  ASSERT_EQ(owner.send(RawRequest(false).b(1).b(0).s(0).i(window).i(owner.rootWindow()).s(0).s(0).s(100).s(100)
                           .s(0).s(1).i(0).i(0x800).i(StructureNotifyMask).done()), "");
  ASSERT_EQ(owner.send(RawRequest(false).b(112).b(1).s(0).done()), "");
  RawBytes answer;
  ASSERT_EQ(owner.roundTrip(getInputFocus(), answer), "");
  ASSERT_EQ(answer[0], 1);  // no error: the window was made
  owner.close();
  ASSERT_TRUE(proxy.runUntil([&] { return record->retained != 0; }, kLoopEventBoundMs));
  EXPECT_EQ(passthroughClientCount(), 2u);

  Display *judge = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(judge, nullptr);
  static int windowErrors;
  windowErrors = 0;
  XErrorHandler previous = XSetErrorHandler([](Display *, XErrorEvent *) { return windowErrors++, 0; });
  XWindowAttributes attributes{};
  EXPECT_NE(XGetWindowAttributes(judge, window, &attributes), 0);
  EXPECT_EQ(attributes.width, 100);
  // ConfigureNotify goes to the retained client's display connection, and nowhere else.
  static EventHandler forward;
  static ClientConnection *retained;
  static int retainedEvents;
  forward = proxyState.eventHandlers[ConfigureNotify];
  retained = record;
  retainedEvents = 0;
  proxyState.eventHandlers[ConfigureNotify] = [](uint8_t *event) {
    retainedEvents += xproxyCurrentClient == retained;
    forward(event);
  };
  XMoveResizeWindow(judge, window, 5, 6, 70, 80);
  XSync(judge, False);
  EXPECT_TRUE(proxy.runUntil([&] { return retainedEvents > 0; }, kLoopEventBoundMs));
  proxyState.eventHandlers[ConfigureNotify] = forward;
  EXPECT_NE(other.read(answer, 300), "");  // nothing arrives
  EXPECT_EQ(outbufferCapacity(&record->output), 0u);
  EXPECT_TRUE(other.roundTrip(getInputFocus(), answer).empty());
  EXPECT_TRUE(other.events().empty());

  xproxyCloseClient(record, "KillClient", 0);
  EXPECT_EQ(passthroughClientCount(), 1u);
  bool gone = false;
  for (long long deadline = xvfbNowMs() + 3000; !gone && xvfbNowMs() < deadline; proxy.pump(10)) {
    XGetWindowAttributes(judge, window, &attributes);
    XSync(judge, False);
    gone = windowErrors > 0;
  }
  EXPECT_TRUE(gone);
  XSetErrorHandler(previous);
  XCloseDisplay(judge);
}

// While one client holds a grab the others are not served; a retained client's connections
// are still read. The grab's end serves them again.
TEST_F(ClientFlowTest, GrabSuspendsOtherClients) {
  RawClient a, b;
  ASSERT_EQ(proxy.connect(a, 'l'), "");
  ClientConnection *grabber = newest();
  ASSERT_EQ(proxy.connect(b, 'l'), "");
  ClientConnection *other = newest();
  RawBytes answer;
  ASSERT_EQ(b.roundTrip(getInputFocus(), answer), "");
  miscSuspendOtherClients(grabber);
  EXPECT_EQ(other->readOrder, nullptr);
  EXPECT_EQ(other->displays[0]->readOrder, nullptr);
  ASSERT_EQ(b.send(getInputFocus()), "");
  EXPECT_NE(b.read(answer, 300), "");  // not served
  ASSERT_EQ(a.roundTrip(getInputFocus(), answer), "");
  // A retained client keeps its display connection read during the grab.
  other->closeDownMode = 1;
  other->retained = 0;
  xproxyCloseClient(other, "retained for the test", 1);
  EXPECT_TRUE(other->retained);
  EXPECT_NE(other->displays[0]->readOrder, nullptr);
  miscRescheduleAllClients();
  EXPECT_EQ(miscGrabbingClient, nullptr);
  ASSERT_EQ(a.roundTrip(getInputFocus(), answer), "");
}

// A client that leaves while another holds the server is closed at once, as the real server
// closes it: its socket is not read during the grab, but its end is seen. The requests it left
// unread go with it; the grabber is served throughout.
TEST_F(ClientFlowTest, ClientLeavingDuringAnotherClientsGrabIsClosedAtOnce) {
  RawClient a, b;
  ASSERT_EQ(proxy.connect(a, 'l'), "");
  ClientConnection *grabber = newest();
  ASSERT_EQ(proxy.connect(b, 'l'), "");
  ClientConnection *other = newest();
  RawBytes answer;
  ASSERT_EQ(b.roundTrip(getInputFocus(), answer), "");
  unsigned before = passthroughClientCount();
  miscSuspendOtherClients(grabber);
  EXPECT_NE(other->hangupWatch, nullptr);
  ASSERT_EQ(b.send(getInputFocus()), "");
  b.close();
  EXPECT_TRUE(proxy.runUntil([&] { return passthroughClientCount() == before - 1; }, kLoopEventBoundMs));
  EXPECT_EQ(miscGrabbingClient, grabber);
  ASSERT_EQ(a.roundTrip(getInputFocus(), answer), "");
  miscRescheduleAllClients();
  EXPECT_EQ(grabber->hangupWatch, nullptr);
  ASSERT_EQ(a.roundTrip(getInputFocus(), answer), "");
}

// The last set-up client's close asks for a reset; one closed for a reset does not.
TEST_F(ClientFlowTest, LastClientAsksForAReset) {
  for (bool forReset : {false, true}) {
    SCOPED_TRACE(forReset);
    RawClient client;
    ASSERT_EQ(proxy.connect(client, 'l'), "");
    RawBytes answer;
    ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
    uint32_t before = xproxyResetRequests;
    newest()->closingForReset = forReset;
    client.close();
    ASSERT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, kLoopEventBoundMs));
    EXPECT_EQ(xproxyResetRequests - before, forReset ? 0u : 1u);
    EXPECT_EQ(proxy.logged("Resetting"), !forReset);
    proxy.clearLog();
  }
}

// With every slot taken by a real peer (the descriptor limit raised for them) the next peer is
// refused at accept; so is a peer whose read order finds the poll table full.
TEST_F(ClientFlowTest, FullSlotTableRefusesThePeer) {
  const rlim_t needed = 2 * kResourceClientSlots + 256;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < needed) {
    if (limit.rlim_max < needed) GTEST_SKIP() << "the descriptor limit cannot be raised to " << needed;
    limit.rlim_cur = needed;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  // Take slots until the table has none left: how many there are depends on the id layout
  // (only slots whose ids fit 29 bits are handed out).
  std::vector<int> peers;
  uint32_t served = 0;
  for (uint32_t slot = 1; slot < kResourceClientSlots && !proxy.logged("Maximum number of clients reached"); slot++) {
    int fd = rawConnectUnix(proxy.displayNumber());
    ASSERT_GE(fd, 0) << slot;
    peers.push_back(fd);
    // Accepts keep up with the connects (the listen queue is shorter than the slot table).
    proxy.runUntil([&] { return passthroughClientCount() == slot || proxy.logged("Maximum number of clients reached"); },
                   kLoopEventBoundMs);
    served = passthroughClientCount();
  }
  ASSERT_GT(served, 0u);
  // Told why, in its own byte order, as an X server tells it.
  for (char order : {'l', 'B'}) {
    RawClient refused;
    proxy.connect(refused, order, kLoopEventBoundMs);
    EXPECT_EQ(refused.setupFailure(), "Maximum number of clients reached") << order;
  }
  EXPECT_TRUE(proxy.logged("Maximum number of clients reached"));
  EXPECT_EQ(passthroughClientCount(), served);
  proxy.stop();
  for (int fd : peers) close(fd);
}

TEST_F(ClientFlowTest, FullPollTableRefusesThePeer) {
  int idle[2];
  ASSERT_EQ(pipe(idle), 0);
  std::vector<Order *> fillers;
  while (Order *order = ordersAddReader(idle[0], [](void *) {}, nullptr)) fillers.push_back(order);
  EXPECT_GT(fillers.size(), 1000u);
  RawClient refused;
  proxy.connect(refused, 'B', kLoopEventBoundMs);
  EXPECT_EQ(refused.setupFailure(), "Maximum number of clients reached");
  EXPECT_TRUE(proxy.logged("Maximum number of clients reached"));
  EXPECT_EQ(passthroughClientCount(), 0u);
  for (Order *order : fillers) ordersCancel(order);
  RawClient taken;
  EXPECT_EQ(proxy.connect(taken, 'l'), "");
  close(idle[0]);
  close(idle[1]);
}

// Closing a client that never reads, with its output past the mark and its socket full, takes
// no time: another client is served at once.
TEST_F(ClientFlowTest, ClosingAClientThatNeverReadsDelaysNoOther) {
  RawClient stuck, other;
  ClientConnection *record = connectFlooderAndOther(stuck, other);
  ASSERT_NE(record, nullptr);
  ASSERT_TRUE(proxy.runUntil([&] {
    flood(stuck);
    return record->input.length > (1u << 20) && outbufferCapacity(&record->output) > kMiscClientOutputMark;
  }, kLoopEventBoundMs));
  // The stuck peer never reads: a close that waited for its socket would wait for ever, and the
  // other's round trip with it (the bounds turn such a hang into a failure, they time nothing).
  long long begin = xvfbNowMs();
  xproxyCloseClient(record, "closed by the test", 0);
  EXPECT_LT(xvfbNowMs() - begin, kLoopEventBoundMs);
  RawBytes answer;
  EXPECT_EQ(other.roundTrip(getInputFocus(), answer, kLoopEventBoundMs), "");
}

// A peer that never completes its setup is closed by the setup time-out.
TEST_F(ClientFlowTest, SilentPeerIsClosedByTheSetupTimeOut) {
  uint64_t saved = xprotoSetupTimeoutMs;
  xprotoSetupTimeoutMs = 200;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", proxy.displayNumber());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 1; }, kLoopEventBoundMs));
  long long begin = xvfbNowMs();
  EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, kLoopEventBoundMs));
  EXPECT_GE(xvfbNowMs() - begin, 100);
  EXPECT_TRUE(proxy.logged("Connection setup timed out"));
  close(fd);
  xprotoSetupTimeoutMs = saved;
}

// A setup that comes a byte at a time, authorization name and data included, is taken once it
// is whole; one whose input ends before it is whole is closed at once, with the reason, long
// before the setup time-out. (The harness answers setups in the server's byte order: 'l'.)
TEST_F(ClientFlowTest, SetupIsTakenWhenWholeAndClosedWhenItsInputEndsBefore) {
  RawClient client;
  client.setChunk(1);
  client.setAuthorization("XC-NONE-7", "abcde");  // (the harness admits everyone)
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  RawBytes answer;
  ASSERT_EQ(client.roundTrip(getInputFocus(), answer), "");
  EXPECT_EQ(answer[0], 1);
  uint64_t saved = xprotoSetupTimeoutMs;
  xprotoSetupTimeoutMs = 600000;
  unsigned before = passthroughClientCount();
  int fd = rawConnectUnix(proxy.displayNumber());
  ASSERT_GE(fd, 0);
  RawRequest setup(false);
  setup.b('l').b(0).s(11).s(0).s(65535).s(0).s(0).text("MIT-");  // 16 bytes of 65 548
  ASSERT_TRUE(rawSendAll(fd, setup.d.data(), setup.d.size()));
  EXPECT_TRUE(proxy.runUntil([&] { return passthroughClientCount() == before + 1; }, kLoopEventBoundMs));
  ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
  EXPECT_TRUE(proxy.runUntil([&] { return passthroughClientCount() == before; }, kLoopEventBoundMs));
  EXPECT_TRUE(proxy.logged("reason=Connection setup incomplete at the end of its input"));
  uint8_t byte;
  EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0);  // closed, nothing sent
  close(fd);
  xprotoSetupTimeoutMs = saved;
}

// A real server that never answers a client's connection setup: the setup timer runs on after
// the client's own setup was read, and the client is told why it ends.
TEST_F(ClientFlowTest, UnansweredServerSetupEndsWithAFailedSetup) {
  uint64_t saved = xprotoSetupTimeoutMs;
  xprotoSetupTimeoutMs = 300;
  ASSERT_TRUE(xvfbStopProcess(proxy.xvfb().pid()));
  // The server stays stopped until the answer came: only the setup timer can give this one.
  RawClient waiting;
  proxy.connect(waiting, 'B', kLoopEventBoundMs);
  kill(proxy.xvfb().pid(), SIGCONT);
  EXPECT_EQ(waiting.setupFailure(), "X server did not answer the connection setup");
  EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, kLoopEventBoundMs));
  EXPECT_TRUE(proxy.logged("No connection setup answer from X server"));
  xprotoSetupTimeoutMs = saved;
  RawClient later;
  EXPECT_EQ(proxy.connect(later, 'l'), "");
}

}  // namespace
