#include "twohead_fixture.h"

#include <X11/Xlibint.h>
#undef min
#undef max
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"
#include "proxy/xcoreframe.h"
#include "xext/byteswap.h"

namespace {
std::vector<std::string> lines;
void keepLine(LogChannel *, const char *, int, const char *message) { lines.emplace_back(message); }
}  // namespace

std::vector<std::string> &twoHeadLogLines() { return lines; }
bool twoHeadLogged(const std::string &part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(part) != l.npos; });
}

void twoHeadPassOn(uint8_t *request, uint32_t length) {
  if (xproxyCurrentClient->reader.swapped) byteswapByFormat("bbsI", request, request + length);
  xcoreFrameForwardOnce(request, length);
}

void TwoHeadTest::SetUp() {
  static bool logReady = (logInit(0, nullptr, "test", "test"), true);
  (void)logReady;
  for (LogChannel *channel :
       {logChannelXhint, logChannelWarning, logChannelXclient, logChannelXerror, logChannelProblem, logChannelStep})
    logEnableChannel(channel);
  lines.clear();
  logOutputHook = keepLine;

  XvfbOptions options;
  options.screens = {"320x240x24", "320x240x24"};
  options.extraArguments = {"-nolisten", "tcp"};
  options.displayNumber = xvfbUnusedDisplayNumber();
  ASSERT_EQ(xvfb.start(options), "");
  std::string upstream = xvfb.displayName();
  if (!relayOptions.empty()) {
    ASSERT_EQ(relay.start(upstream, relayOptions), "");
    upstream = relay.displayName();
  }
  ordersInit();
  xcoreInitDispatchTables();
  installHandlers();
  mainSetStartLimits();

  screen = xscreenNew();
  for (int s = 0; s < 2; s++) {
    int status = 0;
    const char *error = nullptr;
    std::string name = upstream + "." + std::to_string(s);
    Head *head = mainOpenHead(name.c_str(), screen, 10000, 0, 0, &status, &error);
    ASSERT_NE(head, nullptr) << (error ? error : "");
    heads.push_back(head);
  }
  const char *failure = mainAdjustVisuals(1);
  ASSERT_EQ(failure, nullptr) << failure;
  failure = mainCreateRootWindows(0);
  ASSERT_EQ(failure, nullptr) << failure;
  for (Head *h : heads) XSync(h->display, False);

  judge = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(judge, nullptr);
  openClient();
}

void TwoHeadTest::openClient() {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  peer = fds[1];
  fcntl(peer, F_SETFL, O_NONBLOCK);
  client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  client->fd = fds[0];
  client->index = resourceFreeClientSlot();
  ASSERT_EQ(resourceInitClient(client->index), 1);
  outbufferInit(&client->output, fds[0], nullptr, nullptr);
  // The transport is never connected: the peer is named so that nobody asks it for an address.
  client->transport = _X11TransOpenCOTSClient("unix/:0");
  client->peerIdentity = strdup("testhost");
  client->reader.bytesNeeded = 4;
  client->reader.swapped = big() ? 1 : 0;
  client->busy = 1;
  connection = xproxyOpenDisplayConnection(client, mainServerDisplays);
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(core11GSendConnectionSetup(connection, nullptr, 0, nullptr, 0), 1);
  client->setupsPending = 1;
  long long deadline = xvfbNowMs() + 10000;
  while (!connection->setupDone && xvfbNowMs() < deadline) ordersStep(20);
  ASSERT_TRUE(connection->setupDone);
  sync();
  received();  // the setup reply
}

void TwoHeadTest::TearDown() {
  if (client) {
    if (connection) xproxyCloseDisplayConnection(connection);
    mainFreeDeferredOutputs(client);
    outbufferFree(&client->output);
    resourceFreeAllOfClient(client->index);
    free(client->displays);
    if (client->transport) _X11TransClose(client->transport);
    free(client->peerIdentity);
    close(client->fd);
    free(client);
    close(peer);
  }
  xproxyCurrentClient = nullptr;
  xproxyCurrentDisplayConnection = nullptr;
  xprotoLogXErrors = 0;
  if (judge) XCloseDisplay(judge);
  resourceFreeIdBases();
  xscreenFreeAll();  // frees each meta screen with its visual table
  while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
  ordersFreeAll();
  logOutputHook = logEmit;
}

void TwoHeadTest::send(const RawBytes &request) {
  RawBytes copy = request;
  copy.resize(std::max<size_t>(copy.size(), 4));
  xproxyCurrentClient = client;
  client->sequence++;
  proxyState.requestHandlers[copy[0]](copy.data(), uint32_t(request.size()));
  xproxyCurrentClient = nullptr;
}

void TwoHeadTest::sync() {
  const char *failure = xproxySyncDisplayConnection(connection);
  EXPECT_EQ(failure, nullptr) << failure;
  long long deadline = xvfbNowMs() + 5000;
  while ((connection->input.length > 0 || client->deferred) && xvfbNowMs() < deadline) ordersStep(10);
}

RawBytes TwoHeadTest::received() {
  outbufferFlush(&client->output);
  RawBytes all;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
  return all;
}

std::vector<RawBytes> TwoHeadTest::messages() {
  sync();
  RawBytes all = received();
  std::vector<RawBytes> out;
  size_t at = 0;
  while (at + 32 <= all.size()) {
    size_t length = 32;
    if (all[at] == 1 || (all[at] & 0x7f) == 35) length += 4 * size_t(rawGet32(all, at + 4, big()));
    out.emplace_back(all.begin() + at, all.begin() + std::min(all.size(), at + length));
    at += length;
  }
  EXPECT_EQ(at, all.size());
  return out;
}

RawBytes TwoHeadTest::answer(const RawBytes &request, uint32_t *written) {
  uint32_t before = requestsSent();
  send(request);
  if (written) *written = requestsSent() - before;
  std::vector<RawBytes> m = messages();
  EXPECT_EQ(m.size(), 1u);
  return m.empty() ? RawBytes(32, 0xee) : m[0];
}

uint32_t TwoHeadTest::clientId(uint32_t n) const { return (client->index << resourceIdShift()) | n; }
uint32_t TwoHeadTest::requestsSent() const { return connection->requestsSent; }
