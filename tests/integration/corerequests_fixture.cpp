// The in-process harness of the core request handler tests.
#include "corerequests_fixture.h"

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

namespace corerequests {

namespace {
std::vector<std::string> lines;
void keepLine(LogChannel *, const char *, int, const char *message) { lines.emplace_back(message); }
}  // namespace

Request &Request::b(uint32_t v) {
  bytes.push_back(uint8_t(v));
  return *this;
}
Request &Request::s(uint32_t v) {
  for (int k = 0; k < 2; k++) bytes.push_back(uint8_t(v >> (8 * (big ? 1 - k : k))));
  return *this;
}
Request &Request::i(uint32_t v) {
  for (int k = 0; k < 4; k++) bytes.push_back(uint8_t(v >> (8 * (big ? 3 - k : k))));
  return *this;
}
Request &Request::text(const std::string &t) {
  bytes.insert(bytes.end(), t.begin(), t.end());
  while (bytes.size() % 4) bytes.push_back(0);
  return *this;
}
Bytes Request::done() const {
  Bytes out = bytes;
  uint16_t words = uint16_t(out.size() / 4);
  out[2] = uint8_t(big ? words >> 8 : words);
  out[3] = uint8_t(big ? words : words >> 8);
  return out;
}

uint32_t get(const Bytes &m, size_t at, size_t size, bool big) {
  uint32_t v = 0;
  for (size_t k = 0; k < size; k++) v |= uint32_t(m.at(at + k)) << (8 * (big ? size - 1 - k : k));
  return v;
}

std::map<std::string, uint32_t> serverResourceCounts(Display *display, uint32_t clientId) {
  std::map<std::string, uint32_t> counts;
  int major = 0, event = 0, error = 0;
  if (!XQueryExtension(display, "X-Resource", &major, &event, &error)) return counts;
  // XResQueryClientResources (minor 2): pairs of type atom and count.
  std::vector<std::pair<Atom, uint32_t>> pairs;
  Display *dpy = display;  // the request macros name it so
  LockDisplay(display);
  xReq *request;
  GetEmptyReq(GetInputFocus, request);  // a 4-byte header, rewritten below
  request->reqType = uint8_t(major);
  request->data = 2;
  request->length = 2;
  Data32(display, reinterpret_cast<long *>(&clientId), 4);
  xGenericReply reply;
  if (_XReply(display, reinterpret_cast<xReply *>(&reply), 0, xFalse)) {
    uint32_t n = reply.data00;
    for (uint32_t k = 0; k < n; k++) {
      uint32_t words[2];
      _XRead(display, reinterpret_cast<char *>(words), 8);
      pairs.emplace_back(words[0], words[1]);
    }
  }
  UnlockDisplay(display);
  SyncHandle();
  for (auto &[atom, count] : pairs) {
    char *name = XGetAtomName(display, atom);
    if (name) counts[name] = count;
    XFree(name);
  }
  return counts;
}

void CoreRequestTest::SetUp() {
  static bool logReady = (logInit(0, nullptr, "test", "test"), true);
  (void)logReady;
  for (LogChannel *channel : {logChannelXhint, logChannelWarning, logChannelXclient, logChannelXerror, logChannelProblem})
    logEnableChannel(channel);
  lines.clear();
  logOutputHook = keepLine;

  HarnessOptions o = options();
  XvfbOptions x;
  x.screens = o.screens;
  x.extraArguments = {"-nolisten", "tcp"};
  x.displayNumber = xvfbUnusedDisplayNumber();
  ASSERT_EQ(xvfb.start(x), "");
  std::string upstream = xvfb.displayName();
  if (!o.relayOptions.empty()) {
    ASSERT_EQ(relay.start(upstream, o.relayOptions), "");
    upstream = relay.displayName();
  }
  ordersInit();
  xcoreInitDispatchTables();
  mainSetStartLimits();
  screen = xscreenNew();
  for (size_t s = 0; s < o.screens.size(); s++) {
    int status = 0;
    const char *error = nullptr;
    std::string name = upstream + "." + std::to_string(s);
    Head *head = mainOpenHead(name.c_str(), screen, 10000, 0, o.emulatedVisuals, &status, &error);
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

  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  peer = fds[1];
  fcntl(peer, F_SETFL, O_NONBLOCK);
  client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  client->fd = fds[0];
  client->index = resourceFreeClientSlot();
  ASSERT_EQ(resourceInitClient(client->index), 1);
  outbufferInit(&client->output, fds[0], nullptr, nullptr);
  client->transport = _X11TransOpenCOTSClient("unix/:0");
  client->peerIdentity = strdup("testhost");
  client->reader.bytesNeeded = 4;
  client->reader.swapped = big() ? 1 : 0;
  client->life.holds = 1;
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

void CoreRequestTest::TearDown() {
  if (client) {
    xproxyCurrentClient = client;
    resourceFreeAllOfClient(client->index);
    xproxyCurrentClient = nullptr;
    if (connection) xproxyCloseDisplayConnection(connection);
    mainFreeDeferredOutputs(client);
    outbufferFree(&client->output);
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
  xscreenFreeAll();
  while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
  ordersFreeAll();
  logOutputHook = logEmit;
}

void CoreRequestTest::send(const Bytes &request) {
  Bytes copy = request;
  copy.resize(std::max<size_t>(copy.size(), 4));
  xproxyCurrentClient = client;
  client->sequence++;
  proxyState.requestHandlers[copy[0]](copy.data(), uint32_t(request.size()));
  xproxyCurrentClient = nullptr;
  // A request parked for the server's answer goes on before the next is handed over, as the
  // cutter would wait for it.
  long long deadline = xvfbNowMs() + 10000;
  while (client->park && xvfbNowMs() < deadline) ordersStep(10);
}

void CoreRequestTest::sync() {
  const char *failure = xproxySyncDisplayConnection(connection);
  EXPECT_EQ(failure, nullptr) << failure;
  long long deadline = xvfbNowMs() + 5000;
  while ((connection->input.length > 0 || client->deferred) && xvfbNowMs() < deadline) ordersStep(10);
}

Bytes CoreRequestTest::received() {
  outbufferFlush(&client->output);
  Bytes all;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
  return all;
}

std::vector<Bytes> CoreRequestTest::messages() {
  sync();
  Bytes all = received();
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 32 <= all.size()) {
    size_t length = 32;
    if (all[at] == 1 || (all[at] & 0x7f) == 35) length += 4 * size_t(get(all, at + 4, 4, big()));
    out.emplace_back(all.begin() + at, all.begin() + std::min(all.size(), at + length));
    at += length;
  }
  EXPECT_EQ(at, all.size());
  return out;
}

std::vector<Bytes> CoreRequestTest::pendingRequests() const {
  Bytes all;
  for (OutBlock *b = connection->output.first; b; b = b->next) all.insert(all.end(), b->readPosition, b->end);
  std::vector<Bytes> out;
  for (size_t at = 0; at + 4 <= all.size();) {
    size_t length = 4 * size_t(get(all, at + 2, 2, false));
    if (length == 0) length = 4 * size_t(get(all, at + 4, 4, false));  // BIG-REQUESTS form
    if (length < 4 || at + length > all.size()) break;
    out.emplace_back(all.begin() + at, all.begin() + at + length);
    at += length;
  }
  return out;
}

uint32_t CoreRequestTest::clientId(uint32_t n) const { return (client->index << resourceIdShift()) | n; }

bool CoreRequestTest::logged(const std::string &part) const {
  for (const std::string &l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

void CoreRequestTest::expectError(const Bytes &request, uint8_t code, uint32_t badValue) {
  send(request);
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], code);
  EXPECT_EQ(u16(m[0], 2), client->sequence & 0xffff);
  EXPECT_EQ(u32(m[0], 4), badValue);
  EXPECT_EQ(m[0][10], request[0]);
}

std::map<std::string, uint32_t> CoreRequestTest::serverCounts() {
  sync();
  return serverResourceCounts(judge, connection->idBase);
}

}  // namespace corerequests
