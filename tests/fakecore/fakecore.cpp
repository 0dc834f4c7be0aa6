#include "fakecore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
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

// The full Xlib display record (after the C++ headers: it defines min and max).
#include <X11/Xlibint.h>
#undef min
#undef max

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

uint32_t FakeClient::u16(const FakeBytes &m, size_t at) const { return getField(m, at, 2, big); }
uint32_t FakeClient::u32(const FakeBytes &m, size_t at) const { return getField(m, at, 4, big); }
uint32_t FakeClient::id(uint32_t n) const { return (index << resourceIdShift()) | n; }

ClientConnection *fakeClientRecord(bool big, int *peer) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return nullptr;
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  *peer = fds[1];
  auto *c = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  c->fd = fds[0];
  c->index = resourceFreeClientSlot();
  resourceInitClient(c->index);
  outbufferInit(&c->output, fds[0], nullptr, nullptr);
  // The transport is never connected: the peer is named so that nobody asks it for an address.
  c->transport = _X11TransOpenCOTSClient("unix/:0");
  c->peerIdentity = strdup("testhost");
  c->reader.bytesNeeded = 4;
  c->reader.swapped = big ? 1 : 0;
  return c;
}

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
  xproxyEndDepartures();  // the raw connections of clients a test closed fully
  if (realDisplay_) {
    for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
      for (Head *h = ms->heads; h; h = h->next) {
        h->serverDisplay = nullptr;
        h->display = nullptr;
      }
    free(realDisplay_->display);
    free(realDisplay_);
    realDisplay_ = nullptr;
  }
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
  ClientConnection *c = fakeClientRecord(big, &f.peer);
  if (!c) abort();
  f.client = c;
  f.index = c->index;
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
  if (realDisplay_) giveRealBases(f);
  return f;
}

void FakeCore::closeClient(FakeClient &f) {
  if (!f.client) return;
  ClientConnection *c = f.client;
  // The stand-in real display is no Xlib connection: the close must not use it. The
  // unconnected transports given with it go first, so that the close closes the sockets.
  for (uint32_t i = 0; i < c->displayCount; i++) {
    DisplayConnection *d = c->displays[i];
    if (realDisplay_ && d->display == realDisplay_ && d->transport) {
      clientconnectionClose(d->transport);
      d->transport = nullptr;
    }
    d->display = nullptr;
  }
  c->setUp = 0;  // no "End of last client" reset request
  c->closingForReset = 1;
  int fd = c->fd;
  xproxyCloseClient(c, "test", 0);
  close(fd);  // closing the unconnected transport leaves the socket to us
  f.client = nullptr;
  close(f.peer);
  for (int p : f.serverPeers) close(p);
  f.serverPeers.clear();
}

FakeCore::Current::Current(FakeClient &client) : previous(xproxyCurrentClient) { xproxyCurrentClient = client.client; }
FakeCore::Current::~Current() { xproxyCurrentClient = previous; }

void FakeCore::send(FakeClient &f, const FakeBytes &request) {
  FakeBytes copy = request;
  copy.resize(std::max<size_t>(copy.size(), 4));
  ClientConnection *previous = xproxyCurrentClient;
  xproxyCurrentClient = f.client;
  f.client->sequence++;
  proxyState.requestHandlers[copy[0] | copy[1] << 8](copy.data(), uint32_t(request.size()));
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

// ===== real-server ids =====
namespace {
constexpr uint32_t kRealRootBase = 0x2a0;
// The real resource-id mask leaves room for the proxy's client ids and the head number; the
// bases lie above it (client slots stay far below what 29 bits allow).
uint32_t realMask = 0;
uint32_t realBaseOf(uint32_t index) { return (index + 2) * (realMask + 1); }
}  // namespace

ServerDisplay *FakeCore::addRealDisplay() {
  if (realDisplay_) return realDisplay_;
  auto *display = static_cast<ServerDisplay *>(calloc(1, sizeof(ServerDisplay)));
  // Zeroed: only the resource mask and base are read.
  auto *xlib = static_cast<struct _XDisplay *>(calloc(1, sizeof(struct _XDisplay)));
  uint32_t count = 0;
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next) count += ms->headCount;
  uint32_t headBits = 0;
  while ((1u << headBits) < count) headBits++;
  realMask = ((resourceIdMask() + 1) << headBits) - 1;
  xlib->resource_mask = realMask;
  xlib->resource_base = realMask + 1;  // the proxy's own connection
  display->display = xlib;
  count = 0;
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next) {
      h->serverDisplay = display;
      h->display = display->display;
      h->idIndex = count;
      h->displayNumber = count;
      h->fontHead = h;
      h->screen = int(count);
      h->root = kRealRootBase + count;
      snprintf(h->name, sizeof h->name, "head%u", count);
      count++;
    }
  display->headCount = count;
  mainSetIdLayout(display, realMask, resourceIdMask());
  realDisplay_ = display;
  for (FakeClient &f : clients_)
    if (f.client) giveRealBases(f);
  return display;
}

void FakeCore::giveRealBases(FakeClient &f) {
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next) resourceSetScreenIdBase(f.index, h, realBaseOf(f.index));
  for (uint32_t i = 0; i < f.client->displayCount; i++) {
    // A transport (never connected) makes the connection count as open: ordered output then
    // waits for its round trips as it does with a real server.
    if (!f.client->displays[i]->transport) f.client->displays[i]->transport = _X11TransOpenCOTSClient("unix/:0");
    f.client->displays[i]->display = realDisplay_;
    f.client->displays[i]->idBase = realBaseOf(f.index);
    f.client->displays[i]->idMask = realMask;
  }
}

uint32_t FakeCore::realRoot(Head *head) const { return uint32_t(head->root); }
uint32_t FakeCore::realId(uint32_t id, Head *head) const { return resourceServerId(id, kResourceWindow, head); }

uint16_t FakeCore::serverSequence(FakeClient &f, uint16_t clientSequence, size_t connection) {
  ClientConnection *c = f.client;
  uint32_t saved = c->sequence;
  c->sequence = clientSequence;
  static const uint8_t noOperation[4] = {127, 0, 1, 0};
  DisplayConnection *d = c->displays[connection];
  xproxySendRequest(noOperation, 4, d);
  c->sequence = saved;
  return uint16_t(d->requestsSent);
}

void FakeCore::feedEvents(FakeClient &f, const std::vector<FakeBytes> &events, size_t connection) {
  FakeBytes all;
  for (const FakeBytes &e : events) all.insert(all.end(), e.begin(), e.end());
  feedServer(f, all, connection);
}
// ===== end of real-server ids =====

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
