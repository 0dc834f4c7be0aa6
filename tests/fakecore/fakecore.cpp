#include "fakecore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {

std::vector<std::string> logLines;
uint64_t fakeNow = 1000000;
bool instance;

void keepLine(LogChannel *, const char *, int, const char *message) { logLines.emplace_back(message); }

uint32_t getField(const FakeBytes &m, size_t at, size_t size, bool big) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) v |= uint32_t(m.at(at + i)) << (8 * (big ? size - 1 - i : i));
  return v;
}

FakeBytes drain(int fd) {
  FakeBytes all;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
  return all;
}

}  // namespace

FakeBytes FakeMessage::done() {
  FakeBytes out = d;
  out.resize((out.size() + 3) / 4 * 4);
  uint16_t words = uint16_t(out.size() / 4);
  out[2] = uint8_t(big ? words >> 8 : words);
  out[3] = uint8_t(big ? words : words >> 8);
  return out;
}

uint32_t FakeClient::u16(const FakeBytes &m, size_t at) const { return getField(m, at, 2, big); }
uint32_t FakeClient::u32(const FakeBytes &m, size_t at) const { return getField(m, at, 4, big); }
uint32_t FakeClient::id(uint32_t n) const { return (index << resourceIdShift()) | n; }

FakeCore::FakeCore() {
  if (instance) abort();  // one at a time: the proxy's state is process-wide
  instance = true;
  static bool logReady = (logInit(0, nullptr, "test", "test"), true);
  (void)logReady;
  for (LogChannel *channel : {logChannelXhint, logChannelWarning, logChannelXclient, logChannelXerror,
                              logChannelProblem, logChannelStep})
    logEnableChannel(channel);
  logLines.clear();
  logOutputHook = keepLine;
  ordersClock = [] { return fakeNow; };
  ordersInit();
  xcoreInitDispatchTables();
  mainSetStartLimits();
  if (!resourceTableOf(0)) resourceInitClient(0);
  proxyState.focusWindow = 1;
  proxyState.focusRevertTo = 0;
}

FakeCore::~FakeCore() {
  for (FakeClient &c : clients_)
    if (c.client) closeClient(c);
  // The roots (slot 0) and with them every remaining window.
  xproxyCurrentClient = nullptr;
  resourceFreeAllOfClient(0);
  windowFreePendingSelectionBlocks();
  xproxyResetPointerPoll();
  resourceFreeIdBases();
  xscreenFreeAll();
  proxyState.pointerGrab = {};
  proxyState.keyboardGrab = {};
  proxyState.pointerFreeze = {};
  proxyState.keyboardFreeze = {};
  proxyState.pointerHead = nullptr;
  proxyState.serverTime = 0;
  proxyState.focusWindow = 1;
  proxyState.focusRevertTo = 0;
  ordersFreeAll();
  ordersClock = ordersMonotonicMs;
  logOutputHook = logEmit;
  instance = false;
}

MetaScreen *FakeCore::addScreen(uint32_t width, uint32_t height, int headCount) {
  MetaScreen *screen = xscreenNew();
  screen->width = width;
  screen->height = height;
  screen->visuals = static_cast<VisualRecord *>(calloc(1, sizeof(VisualRecord)));
  screen->visualCount = 1;
  screen->visuals->visualId = 0x21;
  screen->visuals->visualClass = 4;
  screen->visuals->depth = 24;
  screen->rootVisual = screen->visuals;
  screen->defaultColormap = 0x20;
  Head *last = nullptr;
  for (int i = 0; i < headCount; i++) {
    auto *head = static_cast<Head *>(calloc(1, sizeof(Head)));
    head->metaScreen = screen;
    uint32_t w = width / uint32_t(headCount);
    head->rect = {int32_t(w * uint32_t(i)), 0, w, height};
    head->logical = head->rect;
    if (last)
      last->next = head;
    else
      screen->heads = head;
    last = head;
    screen->headCount++;
  }
  if (!proxyState.pointerHead) proxyState.pointerHead = screen->heads;
  // Root ids from the proxy's own slot, as the setup does.
  static uint32_t nextRoot = 0x100;
  windowCreateRoot(nextRoot++, screen);
  return screen;
}

WindowRecord *FakeCore::root(MetaScreen *screen) {
  if (!screen) screen = xscreenList;
  return screen ? static_cast<WindowRecord *>(resourceLookupWindow(screen->root)) : nullptr;
}

std::vector<Head *> FakeCore::heads(MetaScreen *screen) {
  if (!screen) screen = xscreenList;
  std::vector<Head *> out;
  for (Head *h = screen ? screen->heads : nullptr; h; h = h->next) out.push_back(h);
  return out;
}

FakeClient &FakeCore::addClient(bool big, int displayConnections) {
  clients_.emplace_back();
  FakeClient &f = clients_.back();
  f.big = big;
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  f.peer = fds[1];
  auto *c = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  f.client = c;
  c->fd = fds[0];
  c->index = resourceFreeClientSlot();
  f.index = c->index;
  resourceInitClient(c->index);
  outbufferInit(&c->output, fds[0], nullptr, nullptr);
  // The transport is never connected: the peer is named so that nobody asks it for an address.
  c->transport = _X11TransOpenCOTSClient("unix/:0");
  c->peerIdentity = strdup("testhost");
  c->reader.bytesNeeded = 4;
  c->reader.swapped = big ? 1 : 0;
  c->setUp = 1;
  // Listed like an accepted client: the save sets and selections walk the list.
  if (!xproxyClients) {
    xproxyClients = c;
    c->prev = c;
  } else {
    ClientConnection *tail = xproxyClients->prev;
    tail->next = c;
    c->prev = tail;
    xproxyClients->prev = c;
  }
  xproxyClientCount++;
  for (int i = 0; i < displayConnections; i++) {
    int s[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, s);
    fcntl(s[0], F_SETFL, O_NONBLOCK);
    fcntl(s[1], F_SETFL, O_NONBLOCK);
    DisplayConnection *d = xproxyAdoptDisplayConnection(c, nullptr, nullptr, s[0], "fakehost", 0, 256);
    if (!d) abort();
    d->setupDone = 1;
    d->reader.bytesNeeded = 32;
    d->idBase = c->index << resourceIdShift();
    d->idMask = resourceIdMask();
    f.serverPeers.push_back(s[1]);
    f.pendingServerBytes.emplace_back();
    f.capturedRequests.emplace_back();
  }
  return f;
}

void FakeCore::closeClient(FakeClient &f) {
  if (!f.client) return;
  ClientConnection *c = f.client;
  c->setUp = 0;  // no "End of last client" reset request
  c->closingForReset = 1;
  int fd = c->fd;
  xproxyCloseClient(c, "test", 0);
  close(fd);  // closing the unconnected transport leaves the socket to us
  f.client = nullptr;
  close(f.peer);
  for (int p : f.serverPeers) close(p);
  f.serverPeers.clear();
  xproxyClientCount--;
}

FakeCore::Current::Current(FakeClient &client) : previous(xproxyCurrentClient) { xproxyCurrentClient = client.client; }
FakeCore::Current::~Current() { xproxyCurrentClient = previous; }

void FakeCore::send(FakeClient &f, const FakeBytes &request) {
  FakeBytes copy = request;
  copy.resize(std::max<size_t>(copy.size(), 4));
  ClientConnection *previous = xproxyCurrentClient;
  xproxyCurrentClient = f.client;
  f.client->sequence++;
  proxyState.requestHandlers[copy[0]](copy.data(), uint32_t(request.size()));
  xproxyCurrentClient = previous;
}

std::vector<FakeBytes> FakeCore::messages(FakeClient &f) {
  // What waits for the real servers' answers is released first.
  for (size_t i = 0; i < f.serverPeers.size(); i++) answerRoundTrips(f, i);
  outbufferFlush(&f.client->output);
  FakeBytes all = drain(f.peer);
  std::vector<FakeBytes> out;
  size_t at = 0;
  while (at + 32 <= all.size()) {
    size_t length = 32;
    if (all[at] == 1 || (all[at] & 0x7f) == 35) length += 4 * size_t(getField(all, at + 4, 4, f.big));
    out.emplace_back(all.begin() + long(at), all.begin() + long(std::min(all.size(), at + length)));
    at += length;
  }
  return out;
}

namespace {
// Requests newly written on a connection, cut by their lengths (the proxy writes in its own
// byte order).
std::vector<FakeBytes> readRequests(FakeClient &f, size_t connection) {
  DisplayConnection *d = f.client->displays[connection];
  outbufferFlush(&d->output);
  FakeBytes &pending = f.pendingServerBytes[connection];
  FakeBytes more = drain(f.serverPeers[connection]);
  pending.insert(pending.end(), more.begin(), more.end());
  std::vector<FakeBytes> out;
  size_t at = 0;
  while (at + 4 <= pending.size()) {
    uint64_t words = getField(pending, at + 2, 2, false);
    if (words == 0) {
      if (at + 8 > pending.size()) break;
      words = getField(pending, at + 4, 4, false);
    }
    uint64_t length = words * 4;
    if (length < 4 || at + length > pending.size()) break;
    out.emplace_back(pending.begin() + long(at), pending.begin() + long(at + length));
    at += length;
  }
  pending.erase(pending.begin(), pending.begin() + long(at));
  return out;
}
}  // namespace

std::vector<FakeBytes> FakeCore::serverRequests(FakeClient &f, size_t connection) {
  answerRoundTrips(f, connection);
  std::vector<FakeBytes> out;
  out.swap(f.capturedRequests[connection]);
  return out;
}

void FakeCore::feedServer(FakeClient &f, const FakeBytes &bytes, size_t connection) {
  if (write(f.serverPeers[connection], bytes.data(), bytes.size()) != ssize_t(bytes.size())) return;
  DisplayConnection *d = f.client->displays[connection];
  xproxyReadDisplayConnection(d);
}

int FakeCore::answerRoundTrips(FakeClient &f, size_t connection) {
  DisplayConnection *d = f.client->displays[connection];
  // The real-server sequence of each request: counted back from the last one written.
  std::vector<FakeBytes> requests = readRequests(f, connection);
  uint32_t sequence = d->requestsSent - uint32_t(requests.size());
  FakeBytes replies;
  int answered = 0;
  for (const FakeBytes &r : requests) {
    sequence++;
    f.capturedRequests[connection].push_back(r);
    if (r[0] != 43) continue;
    uint8_t reply[32] = {1};
    reply[2] = uint8_t(sequence);
    reply[3] = uint8_t(sequence >> 8);
    replies.insert(replies.end(), reply, reply + 32);
    answered++;
  }
  if (!replies.empty()) feedServer(f, replies, connection);
  return answered;
}

void FakeCore::advanceMs(uint64_t ms) {
  fakeNow += ms;
  runLoopOnce();
}

void FakeCore::runLoopOnce() { ordersStep(0); }

const std::vector<std::string> &FakeCore::log() const { return logLines; }
bool FakeCore::logged(const std::string &part) const {
  return std::any_of(logLines.begin(), logLines.end(),
                     [&](const std::string &l) { return l.find(part) != std::string::npos; });
}
void FakeCore::clearLog() { logLines.clear(); }
