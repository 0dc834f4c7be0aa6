// Client connections through the pass-through harness: flow control towards the server and
// towards the client, server grabs, the reset request of the last client, a full slot table
// and the setup time-out.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "passthrough_fixture.h"
#include "proxy/connections.h"
#include "proxy/resource.h"
#include "proxy/xproto.h"

namespace {

RawBytes getInputFocus() { return RawRequest(false).b(43).b(0).s(0).done(); }

class ClientFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(proxy.start(), ""); }
  void TearDown() override { proxy.stop(); }
  // The proxy's record of the client that connected last.
  ClientConnection *newest() { return xproxyClients ? xproxyClients->prev : nullptr; }
  PassthroughProxy proxy;
};

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
  EXPECT_TRUE(proxy.runUntil([&] { return record->readOrder == nullptr; }, 2000));
  EXPECT_GT(outbufferCapacity(&record->displays[0]->output), kMiscServerOutputMark);
  proxy.xvfb().resume();
  EXPECT_TRUE(proxy.runUntil([&] { return record->readOrder != nullptr; }, 5000));
}

// A client that does not read its answers: past eight blocks towards it, neither its socket
// nor its display connection is read; reading them lets it be served again.
TEST_F(ClientFlowTest, ClientNotReadingStopsItsDisplayConnection) {
  RawClient client;
  ASSERT_EQ(proxy.connect(client, 'l'), "");
  ClientConnection *record = newest();
  RawBytes many;
  const int count = 30000;  // 960,000 bytes of replies
  const RawBytes one = getInputFocus();
  for (int i = 0; i < count; i++) many.insert(many.end(), one.begin(), one.end());
  client.setNeverRead(true);
  (void)client.sendRaw(many.data(), many.size(), 2000);
  EXPECT_TRUE(proxy.runUntil([&] { return record->displays[0]->readOrder == nullptr && !record->readOrder; }, 5000));
  EXPECT_GT(outbufferCapacity(&record->output), kMiscClientOutputMark);
  EXPECT_LE(outbufferCapacity(&record->output), kMiscClientOutputMark + 3 * 65520);  // bounded
  client.setNeverRead(false);
  int replies = 0;
  RawBytes message;
  while (replies < count && client.read(message, 5000).empty()) replies++;
  EXPECT_EQ(replies, count);
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
    ASSERT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, 2000));
    EXPECT_EQ(xproxyResetRequests - before, forReset ? 0u : 1u);
    EXPECT_EQ(proxy.logged("Resetting"), !forReset);
    proxy.clearLog();
  }
}

// With every slot taken the next peer is refused at accept.
TEST_F(ClientFlowTest, FullSlotTableRefusesThePeer) {
  std::vector<uint32_t> taken;
  for (uint32_t slot; (slot = resourceFreeClientSlot()) != 0;) {
    ASSERT_EQ(resourceInitClient(slot), 1);
    taken.push_back(slot);
  }
  EXPECT_FALSE(taken.empty());
  RawClient client;
  EXPECT_NE(proxy.connect(client, 'l', 1000), "");
  EXPECT_TRUE(proxy.logged("Maximum number of clients reached"));
  for (uint32_t slot : taken) resourceFreeAllOfClient(slot);
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
  EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 1; }, 2000));
  long long begin = xvfbNowMs();
  EXPECT_TRUE(proxy.runUntil([] { return passthroughClientCount() == 0; }, 2000));
  EXPECT_GE(xvfbNowMs() - begin, 100);
  EXPECT_TRUE(proxy.logged("Connection setup timed out"));
  close(fd);
  xprotoSetupTimeoutMs = saved;
}

}  // namespace
