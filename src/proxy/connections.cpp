// Client connections and their display connections at run time.
#include "proxy/connections.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xdmcp.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "xclient/region.h"
#include "xclient/xtarget.h"
#include "support/fd.h"
#include "support/fiber.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/strings.h"
#include "support/wirewords.h"

// ===== Client connections: the client list, accept and close ================================
uint32_t xproxyResetRequests = 0;

namespace {
// A call queued by miscCallOutside holds everything that may call the library until it has
// run (calls outside the loop, below).
bool outsideHolding = false;
// The clients the last call outside the loop held, but for those whose own handlers make such
// calls, until each has had its turn (or its record goes, or kOwedWaitMs passed): meanwhile the
// suspended handler of a client that makes such calls is not resumed, and one that would queue
// another call stands still (its client in owedWaiting, with owedWait set). So the GL clients
// that a long call held have their turns while the library has nothing of the others queued,
// and calls that come back to back share the library with the GL work they hold.
std::vector<ClientConnection *> outsideOwed;
std::vector<ClientConnection *> owedWaiting;
Order *owedTimer = nullptr;  // ends the wait at the latest after kOwedWaitMs (its own callback
                             // or the release cancels it)
constexpr uint64_t kOwedWaitMs = 50;

void awaitTurn(ClientConnection *client);
bool inputServable(const ClientConnection *client);

// A client that waited (for a call outside the loop, or for the turns it owes) is read again
// and, with work to do, takes its place in the queue of turns at once (not after the delay of
// buffered input). Whether it did.
bool serveAgain(ClientConnection *client) {
  miscScheduleClientReads(client);
  if (client->fd < 0 || client->life.closed || client->closeDeferred || !inputServable(client)) return false;
  if (!client->readIsTurn) awaitTurn(client);
  return true;
}

void releaseOwedWaiting() {
  outsideOwed.clear();
  ordersCancel(owedTimer);
  owedTimer = nullptr;
  std::vector<ClientConnection *> waiting;
  waiting.swap(owedWaiting);
  for (ClientConnection *client : waiting) client->owedWait = 0;
  for (ClientConnection *client : waiting) serveAgain(client);
}

void onOwedTimer(void *) {
  owedTimer = nullptr;  // (a fired one-shot timer is done)
  releaseOwedWaiting();
}

void owedServed(ClientConnection *client) {
  if (outsideOwed.empty()) return;
  std::erase(outsideOwed, client);
  if (outsideOwed.empty() && !owedWaiting.empty()) releaseOwedWaiting();
}

// Whether clients other than this one are owed their turns first.
bool othersOwed(const ClientConnection *client) {
  for (ClientConnection *owed : outsideOwed)
    if (owed != client) return true;
  return false;
}

// The client's handler waits for the owed turns; false when it cannot be noted (it goes on).
bool waitForOwed(ClientConnection *client) {
  if (client->owedWait) return true;
  try {
    owedWaiting.push_back(client);
  } catch (const std::bad_alloc &) {
    return false;
  }
  client->owedWait = 1;
  if (!owedTimer) owedTimer = ordersAddTimer(kOwedWaitMs, onOwedTimer, nullptr);
  return true;
}

void appendClient(ClientConnection *client) {
  if (!xproxyClients) {
    client->prev = client;
    xproxyClients = client;
  } else {
    ClientConnection *tail = xproxyClients->prev;
    tail->next = client;
    client->prev = tail;
    xproxyClients->prev = client;
  }
  client->next = nullptr;
  xproxyClientCount++;
}

void unlinkClient(ClientConnection *client) {
  bool listed = client == xproxyClients || (client->prev && client->prev->next == client);
  if (!listed) return;
  if (client == xproxyClients) {
    xproxyClients = client->next;
    if (xproxyClients) xproxyClients->prev = client->prev;
  } else {
    client->prev->next = client->next;
    if (client->next)
      client->next->prev = client->prev;
    else
      xproxyClients->prev = client->prev;
  }
  client->next = client->prev = nullptr;
  xproxyClientCount--;
}

void onClientReadable(void *argument) { miscReadClientInput(static_cast<ClientConnection *>(argument)); }

void onClientWritable(void *argument) { miscFlushClientOutput(static_cast<ClientConnection *>(argument)); }

// Output callback: data entered the empty output, so the socket is to be written.
void armClientWriter(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  if (client->writeOrder || client->fd < 0) return;
  client->writeOrder = ordersAddWriter(client->fd, onClientWritable, client);
}

void onSetupTimeout(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  client->setupTimer = nullptr;  // a fired one-shot timer is done
  // A client whose setup was read waits for the real servers' answer: it is told why it ends.
  if (client->setupsPending) {
    LOG(logChannelWarning, "No connection setup answer from %s for %s", "X server", xscreenClientName(client));
    core11GSendSetupFailed(client, "X server did not answer the connection setup");
  }
  xproxyCloseClient(client, "Connection setup timed out", 0);
}

void leaveTurnQueue(ClientConnection *client);

void freeClientRecord(ClientConnection *client) {
  leaveTurnQueue(client);  // (its close has left the queue already)
  owedServed(client);
  if (client->owedWait) std::erase(owedWaiting, client);
  bufferFree(&client->input);
  free(client->saveSet);  // (emptied at the close unless the client was retained)
  free(client->peerIdentity);
  free(client->programName);
  regionDestroy(client->requestRegion);
  free(client);
}

void cancelHangupWatch(ClientConnection *client) {
  ordersCancel(client->hangupWatch);
  client->hangupWatch = nullptr;
}

// The socket of a client that is not read (held by another client's server grab, or by its own
// state) shows its end. Ended both ways (or broken): the client has gone (its unread requests
// go with it, as the real server drops them), and its departure starts now rather than after
// the grab. Only its writing side shut: it still reads, and the real server runs its requests
// after the grab; what its socket holds is all that can come, so flow control takes it whatever
// the input's bound (the end of the input follows); the watch then looks for the end of both
// ways only.
void onClientHangup(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  pollfd p{client->fd, POLLRDHUP, 0};
  if (client->fd < 0 || poll(&p, 1, 0) <= 0 || !(p.revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
  cancelHangupWatch(client);
  if (p.revents & (POLLHUP | POLLERR)) return xproxyCloseClient(client, "Broken connection", 1);
  client->halfClosed = 1;
  miscScheduleClientReads(client);  // (arms the watch again while the socket stays unread)
}

void armHangupWatch(ClientConnection *client) {
  if (!client->hangupWatch && client->fd >= 0)
    client->hangupWatch = ordersAddHangupWatch(client->fd, onClientHangup, client, !client->halfClosed);
}

// Closes the socket: what it takes at once is written, the rest is dropped, so that a client
// that stopped reading cannot freeze the proxy. The output is then empty on descriptor -1.
void closeClientSocket(ClientConnection *client) {
  if (client->fd < 0 && !client->transport) return;
  xdmcpCloseDisplay(client->fd);
  if (client->output.first) outbufferFlush(&client->output);
  ordersCancel(client->writeOrder);
  client->writeOrder = nullptr;
  outbufferFree(&client->output);
  outbufferInit(&client->output, -1, armClientWriter, client);
  miscCancelClientRead(client);
  cancelHangupWatch(client);
  ordersCancel(client->setupTimer);
  client->setupTimer = nullptr;
  if (!client->life.holds) bufferFree(&client->input);  // a running pass still reads it
  if (client->transport)
    clientconnectionClose(client->transport);
  else if (client->fd >= 0)
    ::close(client->fd);
  client->transport = nullptr;
  client->fd = -1;
}

// A peer refused before it has a record is told why, as an X server tells it: the failed setup
// reply in the byte order its setup names (looked at without taking it; the host's order when
// nothing came yet). What it sent is read first, so that the close does not reset the
// connection before the reply is read. Never waits.
void refuseWithSetupFailure(int fd, const char *reason) {
  if (fd < 0) return;
  char order = 0;
  bool big = recv(fd, &order, 1, MSG_PEEK | MSG_DONTWAIT) == 1 ? order == 'B'
                                                                   : std::endian::native == std::endian::big;
  char drain[4096];
  for (int i = 0; i < 16 && recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0; i++) {
  }
  size_t length = strlen(reason) > 255 ? 255 : strlen(reason);
  uint8_t reply[8 + 256] = {};
  uint16_t words = uint16_t((length + 3) / 4);
  reply[1] = uint8_t(length);
  auto put16 = [&](uint8_t *at, uint16_t v) { at[big ? 1 : 0] = uint8_t(v), at[big ? 0 : 1] = uint8_t(v >> 8); };
  put16(reply + 2, 11);
  put16(reply + 6, words);
  memcpy(reply + 8, reason, length);
  (void)!send(fd, reply, 8 + 4 * size_t(words), MSG_DONTWAIT | MSG_NOSIGNAL);
}

bool otherClientConnected(const ClientConnection *except) {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c != except && c->setUp && c->fd >= 0) return true;
  return false;
}

}  // namespace

const char *xproxyCloseDownModeName(uint8_t mode) {
  switch (mode) {
    case 0: return "DestroyAll";
    case 1: return "RetainPermanent";
    case 2: return "RetainTemporary";
    default: return "UNKNOWN";
  }
}

ClientConnection *xproxyAdoptClient(XtransConnInfo transport, int fd) {
  auto *client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  auto refuse = [&](const char *why) {
    if (why) LOG(logChannelWarning, "%s", why);
    if (why) refuseWithSetupFailure(fd, why);
    if (transport)
      clientconnectionClose(transport);
    else if (fd >= 0)
      ::close(fd);
    if (client) {
      ordersCancel(client->readOrder);
      ordersCancel(client->setupTimer);
      free(client);
    }
    return nullptr;
  };
  if (!client) {
    logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__);
    return refuse(nullptr);
  }
  client->transport = transport;
  client->fd = fd;
  // Slot 0 is the proxy's own: all slots taken refuses the peer.
  client->index = resourceFreeClientSlot();
  if (client->index == 0) return refuse("Maximum number of clients reached");
  const char *failure = nullptr;
  client->readOrder = ordersAddReader(fd, onClientReadable, client, &failure);
  if (!client->readOrder) return refuse("Maximum number of clients reached");
  client->setupTimer = ordersAddTimer(xprotoSetupTimeoutMs, onSetupTimeout, client);
  if (!client->setupTimer) return refuse(nullptr);
  outbufferInit(&client->output, fd, armClientWriter, client);
  if (!resourceInitClient(client->index)) return refuse(nullptr);
  LOG(logChannelXclient, "Client #%d started", int(client->index));
  appendClient(client);
  return client;
}

ClientConnection *xproxyClientByIndex(uint32_t index) {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c->index == index) return c;
  return nullptr;
}

ClientConnection *xproxyClientOfXid(uint32_t id) {
  uint32_t index = uint32_t(uint64_t(id) >> resourceIdShift());
  return index == 0 ? nullptr : xproxyClientByIndex(index);
}

void xproxyHoldClient(ClientConnection *client) { client->life.holds++; }

int xproxyReleaseClient(ClientConnection *client) {
  if (--client->life.holds > 0 || !client->life.closed) return 1;
  freeClientRecord(client);
  return 0;
}

void xproxyRequestReset(const char *reason) {
  xproxyResetRequests++;
  LOG(logChannelXhint, "Resetting %s (#%u, %s, noReset=%d, delay=%us)...", logProgramName(),
      unsigned(xproxyGeneration) + 1, reason, xproxyNoReset ? 1 : 0, unsigned(xproxyResetDelay));
  ordersStop(1);
}

namespace {

// ----- Departures -----

struct Departure;

// One raw connection of a departed client, taken over from its display connection at the full
// close: the requests still queued are written out, then its writing side is shut (the real
// server reads every request before the end, and runs them), and it is read, the answers
// dropped, until the real server closes it. A server that does not close it (it holds the
// connection asleep, a SYNC Await say, or ignores it behind another client's server grab, and
// so never reads its end) has it ended by a KillClient of the proxy's own connection that
// names the connection's GC (DisplayConnection::departureHandle), then the socket is closed
// (checkDrain). Owned by its departure.
// The read and write orders are armed here and cancelled by endDepartingConnection, the one
// path that closes the socket (at the server's end, a write or read error, the full close of
// checkDrain, a display that goes, and at reset).
struct DepartingConnection {
  Departure *departure;
  XtransConnInfo transport;  // NULL for a bare descriptor
  int fd;                    // -1 once ended
  OutBuffer output;          // what the display connection had not written yet
  Order *readOrder;
  Order *writeOrder;
  ServerDisplay *display;    // NULL once that display went
  uint8_t shut;              // the writing side is shut: checkDrain watches it
  uint8_t closedHere;        // ended by the proxy's full close, not by the server's
  uint8_t killed;            // ... after a KillClient of the proxy's own connection closed it
  uint32_t handle;           // DisplayConnection::departureHandle
  // A GetInputFocus the proxy adds behind the client's last request: its reply says the
  // server has run every request. The answers are cut only as far as needed to find it.
  uint16_t lastSequence;
  uint8_t lastAnswered;
  uint8_t read;              // the server answered it or took bytes of it since the last check
  uint8_t header[32];        // the answer being cut
  uint32_t headerFill;
  uint64_t skip;             // bytes of a long reply or GenericEvent still to pass
  uint32_t sameUnread;       // checks in a row in which the server read none of the departing
                             // connections on the display (nor answered this one)
  uint32_t untouched;        // checks in a row without `read`, whatever the server did with the
                             // other leavers
  int64_t unread;            // bytes the server had not read at the last check (-1: unknown)
};

// A fully closed client's departure: its slot stays taken with its id bases
// (ClientResourceTable::departing) while the real servers close its raw connections and, after
// that, while other clients' raw connections may still hold what the servers said about its
// resources. No timer decides when its ids stop meaning it; the order does:
// 1. When every raw connection has ended (the server closed it: it has freed the client's
//    resources in the same step and queued their notifications for the other clients; or the
//    proxy's KillClient made the server close it before that connection's next request), or
//    when a new connection got the same base (the close is over), a marker goes out on each
//    real display it had (postMarker; one marker for all the departures answered since the
//    loop's last idle pass, postBatchMarker): a ClientMessage the proxy's Xlib connection sends to the
//    display's marker window, delivered to every raw connection, which each selected it at its
//    setup (xproxyAskForMarkers), in the server's order, even to a client the server holds
//    asleep. A round trip follows, so every request written afterwards on any connection runs
//    after it.
//    The marker carries, besides its serial, words drawn at start that no client knows
//    (markerSecret): an event that only names the marker window is a client's, and reaches
//    the clients that selected it.
// 2. Once the marker is out, the slot is released at once (finishDeparture): it waits for no
//    connection, read or not. What the slot's bases meant before the close is kept under the
//    marker's serial (resourceKeepDepartedBases). Each raw connection drops the markers from
//    its stream (xproxyDepartureMarkerRead): what it read before a marker is older than the
//    close and the departed slot speaks for its bases there; after it, the bases mean whatever
//    holds them now (resourceServerToClientIdOf).
// 3. The kept records are forgotten once every raw connection on their displays has read past
//    their marker (watchDepartedRecords); a connection that is not read keeps them, however
//    many, up to resourceDepartedRecordLimit, past which its client is ended. A connection
//    that asked for markers while a marker was on its way may never see that one: a later
//    marker (kDepartureRemarkMs) settles it. The watch (departureWatch) makes these checks; it
//    decides when to look, never what the ids mean.
// A server that never closes the connections even after the full close (it stopped) leaves the
// slot departing until the proxy's own close (kXproxyDepartureLimitMs), the display goes or the
// proxy resets. Listed in `departures`; freed only by finishDeparture (released, or at reset).
struct Departure {
  Departure *next;
  uint32_t slot;
  DepartingConnection **connections;  // count entries (malloc'ed)
  uint32_t count;
  uint32_t open;                      // connections not ended yet
  uint32_t quietChecks;               // watch checks in a row in which the server read none
                                      // of the departing connections on its displays
  uint64_t marker;                    // its marker's serial; 0 until sent
  uint8_t starting;                   // departureStarted still hands its connections over
};
// The watch: every kDepartureCheckMs while a departure is listed, every kRecordCheckMs while
// only kept records of released slots are left (armed by departureStarted and by itself,
// cancelled when neither is left and at reset). A departure never puts off a watch that is
// due sooner than its own check would be: clients that leave one after another, however
// often, find it running (departureWatchDue).
constexpr uint64_t kDepartureCheckMs = 100;
constexpr uint64_t kRecordCheckMs = 1000;
// A shut connection whose last request the server has answered but that it has not closed by
// the next check is closed fully. So is one that got no answer when the server has read none of
// the departing connections on its display for this many checks in a row (the server holds it
// asleep, or ignores it), and every connection of a departure once that quiet has lasted
// kXproxyDepartureLimitMs. The clock is the quiet, never the time since the close: a server busy
// with many leavers' long requests serves each in turn and may not come to one for seconds,
// yet runs all it reads (a full close before that would lose what it has not read yet).
// A check counts towards these only when the server has run since the check before: the probe
// the watch sent itself through the display's marker window came back (serverRan). A server
// kept from the processor, stopped, or inside one long request reads nobody, the leavers
// included; it would drop what they have not read yet, were they closed fully meanwhile.
constexpr uint32_t kDepartureStalledChecks = 15;
// A shut connection that the server has neither read nor answered for this many checks in a row
// is closed fully even while the server goes on reading other leavers: a server that is merely
// busy serves every client with input in each of its rounds, so one it passes over for this long
// holds it asleep. (Clients that leave without pause keep the display from ever being quiet.)
// Counted as those above, over checks after which the server had run.
constexpr uint32_t kDepartureHeldChecks = 300;
// A kept record that a connection being read has not passed this long after the display's last
// marker gets a new marker.
constexpr uint64_t kDepartureRemarkMs = 1000;
Departure *departures = nullptr;
uint32_t departureTotal = 0;
Order *departureWatch = nullptr;
// The displays whose server read some departing connection since the watch's last check (took
// bytes, answered a request, closed it). Cleared by each check, by a display that goes
// (xproxyEndDeparturesTo) and at reset (xproxyEndDepartures).
std::vector<const ServerDisplay *> serversReading;
// The displays whose server has not shown that it ran since the watch's check before (its probe
// has not come back): filled by each check for that check alone.
std::vector<const ServerDisplay *> serversIdle;
uint64_t departureWatchDue = 0;  // the loop's clock (ordersClock) when the armed watch fires
uint64_t markerSerial = 0;  // the last marker's serial (markers of all displays count here)
// Words every marker carries, drawn at the first marker: a client cannot send a marker.
uint32_t markerSecret[3];
bool markerSecretDrawn = false;

void drawMarkerSecret() {
  if (markerSecretDrawn) return;
  size_t filled = 0;
  auto *bytes = reinterpret_cast<uint8_t *>(markerSecret);
  while (filled < sizeof markerSecret) {
    ssize_t got = getrandom(bytes + filled, sizeof markerSecret - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += size_t(got);
  }
  if (filled < sizeof markerSecret) {
    // No random bytes: words no client sees either way, though a guess is easier.
    logProblem("No random bytes for the departure markers", __FILE__, __LINE__);
    uint64_t t = uint64_t(ordersMonotonicNs());
    markerSecret[0] ^= uint32_t(t);
    markerSecret[1] ^= uint32_t(t >> 32);
    markerSecret[2] ^= uint32_t(getpid());
  }
  markerSecretDrawn = true;
}

void noteServerReading(const DepartingConnection *d) {
  if (d->display && std::find(serversReading.begin(), serversReading.end(), d->display) == serversReading.end())
    serversReading.push_back(d->display);
}

bool serverReading(const ServerDisplay *display) {
  return std::find(serversReading.begin(), serversReading.end(), display) != serversReading.end();
}

void dropOutput(DepartingConnection *d) {
  outbufferFree(&d->output);
  outbufferInit(&d->output, -1, ordersNoOp, nullptr);
}

void endDepartingConnection(DepartingConnection *d) {
  if (d->fd < 0) return;
  ordersCancel(d->readOrder);
  ordersCancel(d->writeOrder);
  d->readOrder = d->writeOrder = nullptr;
  dropOutput(d);
  if (d->transport)
    clientconnectionClose(d->transport);
  else
    ::close(d->fd);
  d->transport = nullptr;
  d->fd = -1;
  d->departure->open--;
}

void finishDeparture(Departure *p) {
  for (Departure **at = &departures; *at; at = &(*at)->next)
    if (*at == p) {
      *at = p->next;
      departureTotal--;
      break;
    }
  for (uint32_t i = 0; i < p->count; i++) {
    endDepartingConnection(p->connections[i]);
    free(p->connections[i]);
  }
  free(p->connections);
  resourceReleaseDepartedSlot(p->slot);
  LOG(logChannelXclient, "Client #%d departed", int(p->slot));
  free(p);
}

// The displays of a departure, each once (those that went are left out).
std::vector<ServerDisplay *> displaysOf(const Departure *p) {
  std::vector<ServerDisplay *> list;
  for (uint32_t i = 0; i < p->count; i++) {
    ServerDisplay *display = p->connections[i]->display;
    if (display && std::find(list.begin(), list.end(), display) == list.end()) list.push_back(display);
  }
  return list;
}

bool xlibOpen(const ServerDisplay *display) { return display && display->display && display->readOrder; }

// The display's marker window, made (and made known to the server by a round trip) at the
// first need; 0 when it cannot be had. Made on the Xlib connection as an unmapped InputOnly
// child of the head's outer window, which no client can name, so no client learns of it; it
// goes with the Xlib connection (mainCloseServerDisplay forgets it).
uint32_t markerWindowOf(ServerDisplay *display) {
  if (display->markerWindow || !xlibOpen(display) || !display->firstHead) return display->markerWindow;
  Head *head = display->firstHead;
  Window parent = head->outerWindow ? head->outerWindow : head->root;
  XSetWindowAttributes a{};
  a.override_redirect = True;
  Window w = XCreateWindow(display->display, parent, -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent,
                           CWOverrideRedirect, &a);
  if (!w || xproxySyncXlib(display->display, "the departure marker window")) return 0;
  display->markerWindow = uint32_t(w);
  return display->markerWindow;
}

// The watch's probe of a display: an event the Xlib connection sends itself (a SendEvent with
// no event mask goes to the window's maker), written without a round trip. False when none is
// out and none can go (the Xlib connection or the marker window is missing).
bool sendServerProbe(ServerDisplay *display) {
  if (display->probeOut) return true;
  if (!xlibOpen(display) || !markerWindowOf(display)) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = display->markerWindow;
  event.xclient.message_type = 6;  // CARDINAL (the markers carry INTEGER)
  event.xclient.format = 32;
  if (!XSendEvent(display->display, display->markerWindow, False, NoEventMask, &event)) return false;
  XFlush(display->display);
  display->probeOut = 1;
  return true;
}

// Whether the display's server ran since the last check: its probe came back. A display that
// cannot be probed counts as running (the checks count as the quiet alone then). The next
// probe goes out.
bool serverRanSinceLastCheck(ServerDisplay *display) {
  bool back = display->probeBack;
  display->probeBack = 0;
  bool probed = sendServerProbe(display);
  return back || !probed;
}

bool serverRan(const ServerDisplay *display) {
  return std::find(serversIdle.begin(), serversIdle.end(), display) == serversIdle.end();
}

// One marker of the serial to a display's raw connections, and the round trip behind it.
void postMarker(ServerDisplay *display, uint64_t serial) {
  if (!xlibOpen(display) || !markerWindowOf(display)) return;
  drawMarkerSecret();
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = display->markerWindow;
  event.xclient.message_type = 19;  // INTEGER
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(serial & 0xffffffffu);
  event.xclient.data.l[1] = long(serial >> 32);
  for (int i = 0; i < 3; i++) event.xclient.data.l[2 + i] = long(markerSecret[i]);
  if (!XSendEvent(display->display, display->markerWindow, False, PropertyChangeMask, &event)) return;
  display->markerPostedMs = ordersMonotonicMs();
  xproxySyncXlib(display->display, "a departure marker");
}

// The raw connections whose reading counts for the kept records: set up, open, of a client
// that is still there (a retained client's connections are left out: what they read reaches
// no client).
template <typename Fn>
void forEachMarkedConnection(Fn fn) {
  for (ClientConnection *client = xproxyClients; client; client = client->next)
    for (uint32_t i = 0; i < client->displayCount && !client->retained; i++) {
      const DisplayConnection *c = client->displays[i];
      if (c->fd >= 0 && !c->life.closed && c->setupDone && c->display) fn(c);
    }
}

// How far every connection on a display has read the markers (max of read and floor, the
// least over the connections).
struct MarkerPassage {
  std::vector<std::pair<ServerDisplay *, uint64_t>> passed;
  uint64_t of(const ServerDisplay *display) const {
    for (const auto &[d, serial] : passed)
      if (d == display) return serial;
    return ~uint64_t(0);  // no connection reads there
  }
};

bool markerPassed(const ServerDisplay *display, uint64_t marker, void *context) {
  return static_cast<const MarkerPassage *>(context)->of(display) >= marker;
}

// More records kept than their bound: the clients whose raw connections have not read the
// oldest one's marker sleep through more departures than the proxy keeps for them, and are
// ended with a log line (a real server, too, gives up on a client that does not read), so that
// what only they keep alive can go; never is a record dropped while a connection may read what
// it speaks for.
void endSleepersPastTheBound() {
  if (resourceDepartedRecordCount() <= resourceDepartedRecordLimit) return;
  uint64_t oldest = resourceOldestDepartedMarkerAll();
  std::vector<ClientConnection *> behind;
  for (ClientConnection *client = xproxyClients; client; client = client->next) {
    if (client->retained || client->life.closed) continue;
    for (uint32_t i = 0; i < client->displayCount; i++) {
      const DisplayConnection *c = client->displays[i];
      if (c->fd >= 0 && !c->life.closed && c->setupDone && c->display && xproxyBeforeMarker(c, oldest)) {
        behind.push_back(client);
        break;
      }
    }
  }
  for (ClientConnection *client : behind) {
    LOG(logChannelWarning, "%s has read none of the last %u departures of other clients: ended",
        xscreenClientName(client), unsigned(resourceDepartedRecordCount()));
    xproxyCloseClient(client, "Too far behind the departures of other clients", 0);
  }
}

// Step 3: kept records that every connection has passed go; a display where a connection that
// is being read still has not passed one a while after the last marker gets another.
void watchDepartedRecords() {
  if (!resourceDepartedRecordCount()) return;
  endSleepersPastTheBound();
  MarkerPassage passage;
  forEachMarkedConnection([&](const DisplayConnection *c) {
    uint64_t at = std::max(c->markerSeen, c->markerFloor);
    auto found = std::find_if(passage.passed.begin(), passage.passed.end(),
                              [&](const auto &entry) { return entry.first == c->display; });
    if (found == passage.passed.end())
      passage.passed.emplace_back(c->display, at);
    else
      found->second = std::min(found->second, at);
  });
  resourceForgetDepartedRecords(markerPassed, &passage);
  uint64_t now = ordersMonotonicMs();
  std::vector<ServerDisplay *> remark;
  for (const auto &entry : passage.passed) {
    ServerDisplay *display = entry.first;
    uint64_t least = entry.second;
    if (now - display->markerPostedMs < kDepartureRemarkMs) continue;
    uint64_t oldest = resourceOldestDepartedMarker(display);
    if (!oldest || least >= oldest) continue;
    bool readButBehind = false;
    forEachMarkedConnection([&](const DisplayConnection *c) {
      readButBehind = readButBehind || (c->display == display && c->readOrder && xproxyBeforeMarker(c, oldest));
    });
    if (readButBehind) remark.push_back(display);
  }
  if (remark.empty()) return;
  uint64_t serial = ++markerSerial;
  for (ServerDisplay *display : remark) postMarker(display, serial);
}

// Step 1 for a departure whose base a newcomer took: its own marker on each of its displays,
// at once (once).
void sendMarker(Departure *p) {
  if (p->marker) return;
  p->marker = ++markerSerial;
  for (ServerDisplay *display : displaysOf(p)) postMarker(display, p->marker);
  resourceSetDepartureMarker(p->slot, p->marker);
}

// The departures whose connections have all ended and that wait for the marker of their batch
// (postBatchMarker); the idle order that sends it is armed by departureAnswered and cancelled
// by itself and at reset (xproxyEndDepartures).
Order *markerBatch = nullptr;

// One marker for every departure answered since the last one: the server's own close, the base
// given to a newcomer and the KillClient of checkDrain order it after the closes; a bare full
// close of the proxy (no handle) gets a round trip first, which the server mostly reads after
// it noticed it. Then their slots are released (the departures are freed).
void postBatchMarker(void *) {
  ordersCancel(markerBatch);
  markerBatch = nullptr;
  std::vector<Departure *> batch;
  std::vector<ServerDisplay *> displays, synced;
  for (Departure *p = departures; p; p = p->next) {
    if (p->open || p->starting) continue;
    batch.push_back(p);
    if (p->marker) continue;  // a newcomer's base sent it
    bool closedHere = false;
    for (uint32_t i = 0; i < p->count; i++)
      closedHere = closedHere || (p->connections[i]->closedHere && !p->connections[i]->killed);
    for (ServerDisplay *display : displaysOf(p)) {
      if (std::find(displays.begin(), displays.end(), display) == displays.end()) displays.push_back(display);
      if (closedHere && std::find(synced.begin(), synced.end(), display) == synced.end()) {
        synced.push_back(display);
        if (xlibOpen(display)) xproxySyncXlib(display->display, "a departing client");
      }
    }
  }
  if (batch.empty()) return;
  uint64_t serial = ++markerSerial;
  for (ServerDisplay *display : displays) postMarker(display, serial);
  for (Departure *p : batch) {
    if (!p->marker) {
      p->marker = serial;
      resourceSetDepartureMarker(p->slot, serial);
    }
    finishDeparture(p);
  }
}

// Every connection has ended: the departure joins the next marker's batch.
void departureAnswered(Departure *p) {
  if (p->open || p->starting || markerBatch) return;
  markerBatch = ordersAddIdle(postBatchMarker, nullptr);
  if (!markerBatch) postBatchMarker(nullptr);  // no memory for the order: at once
}

// Bytes written to the socket that its reader has not taken yet; -1 when not known.
int64_t unreadBytes(int fd) {
  int queued = 0;
  if (ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

// Whether the server took bytes of the connection since the last check.
void measureDrain(DepartingConnection *d) {
  if (d->fd < 0) return;
  int64_t unread = unreadBytes(d->fd);
  if (unread != d->unread) {
    noteServerReading(d);
    d->read = 1;
  }
  d->unread = unread;
}

// A connection the server has read out but does not close, or does not read while it reads no
// other leaver's either, or passes over for kDepartureHeldChecks: closed fully.
void checkDrain(DepartingConnection *d, bool bound) {
  if (d->fd < 0) return;
  bool answered = d->shut && d->lastAnswered >= 2;  // answered at an earlier check
  if (d->lastAnswered) d->lastAnswered = 2;
  uint32_t ran = serverRan(d->display) ? 1 : 0;
  d->sameUnread = d->read || (d->display && serverReading(d->display)) ? 0 : d->sameUnread + ran;
  d->untouched = d->read ? 0 : d->untouched + ran;
  d->read = 0;
  bool stalled = d->shut && (d->sameUnread >= kDepartureStalledChecks || d->untouched >= kDepartureHeldChecks);
  const char *why = answered ? "answered" : bound ? "quiet too long" : "stalled";
  if (!bound && !answered && !stalled) return;
  LOG(logChannelXclient, "Client #%d: the X server holds its connection; closed (%s)", int(d->departure->slot), why);
  // The server closes it at once for a KillClient of the proxy's own connection, so what that
  // connection sends next comes after the close. Not once the marker went out: the server has
  // closed it then (its base was reused), and the id may name a newcomer's GC.
  if (d->handle && !d->departure->marker && xlibOpen(d->display)) {
    XtargetErrorTrap trap(d->display->display);  // BadValue when the server has closed it
    XKillClient(d->display->display, d->handle);
    d->killed = !xproxySyncXlib(d->display->display, "a held departing client");
  }
  d->closedHere = 1;
  endDepartingConnection(d);
}

void armDepartureWatch();

void onDepartureWatch(void *) {
  departureWatch = nullptr;  // a fired one-shot timer is done
  serversIdle.clear();
  for (ServerDisplay *display = mainServerDisplays; display; display = display->next)
    if (!serverRanSinceLastCheck(display)) serversIdle.push_back(display);
  for (Departure *p = departures; p; p = p->next)
    for (uint32_t i = 0; i < p->count; i++) measureDrain(p->connections[i]);
  for (Departure *p = departures, *next; p; p = next) {
    next = p->next;
    bool quiet = true, ran = true;
    for (uint32_t i = 0; i < p->count; i++) {
      const ServerDisplay *display = p->connections[i]->display;
      quiet = quiet && !(display && serverReading(display));
      ran = ran && serverRan(display);
    }
    p->quietChecks = !quiet ? 0 : ran ? p->quietChecks + 1 : p->quietChecks;
    bool bound = p->quietChecks * kDepartureCheckMs >= kXproxyDepartureLimitMs;
    for (uint32_t i = 0; i < p->count && p->open; i++) checkDrain(p->connections[i], bound);
    departureAnswered(p);
  }
  serversReading.clear();
  watchDepartedRecords();
  armDepartureWatch();
}

// Arms the watch for its next check, unless it is armed to fire by then already: a watch put off
// at every departure would never fire while clients leave more often than it checks.
void armDepartureWatch() {
  uint64_t delay = departures ? kDepartureCheckMs : resourceDepartedRecordCount() ? kRecordCheckMs : 0;
  if (!delay) return;
  uint64_t due = ordersClock() + delay;
  if (departureWatch && departureWatchDue <= due) return;
  ordersCancel(departureWatch);
  departureWatch = ordersAddTimer(delay, onDepartureWatch, nullptr);
  departureWatchDue = due;
}

// Cuts the answers read from a departing connection as far as needed to see the reply to its
// last request.
void cutDepartingAnswers(DepartingConnection *d, const uint8_t *bytes, uint64_t length) {
  while (length > 0) {
    if (d->skip) {
      uint64_t take = std::min(d->skip, length);
      d->skip -= take;
      bytes += take;
      length -= take;
      continue;
    }
    uint64_t take = std::min<uint64_t>(32 - d->headerFill, length);
    memcpy(d->header + d->headerFill, bytes, take);
    d->headerFill += uint32_t(take);
    bytes += take;
    length -= take;
    if (d->headerFill < 32) return;
    d->headerFill = 0;
    if (d->header[0] <= 1) noteServerReading(d);  // a reply or an error: it ran a request
    if (d->header[0] == 1 && wireGet16(d->header + 2) == d->lastSequence && !d->lastAnswered) d->lastAnswered = 1;
    if (d->header[0] == 1 || d->header[0] == 35) d->skip = 4 * uint64_t(wireGet32(d->header + 4));
  }
}

void onDepartingReadable(void *argument) {
  auto *d = static_cast<DepartingConnection *>(argument);
  uint8_t scratch[16384];
  ssize_t got = ::read(d->fd, scratch, sizeof scratch);
  if (got > 0) {
    d->read = 1;
    cutDepartingAnswers(d, scratch, uint64_t(got));
    return;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  noteServerReading(d);  // closed by the server (or broken): it got that far
  Departure *p = d->departure;
  endDepartingConnection(d);
  departureAnswered(p);
}

// Writes what the socket takes; once everything is out (or nothing more can go), the writing
// side is shut.
void onDepartingWritable(void *argument) {
  auto *d = static_cast<DepartingConnection *>(argument);
  noteServerReading(d);  // it made room (or takes the first bytes)
  int result = outbufferFlush(&d->output);
  if (result == kOutbufferPending) {
    if (!d->writeOrder) d->writeOrder = ordersAddWriter(d->fd, onDepartingWritable, d);
    if (d->writeOrder) return;
  }
  ordersCancel(d->writeOrder);
  d->writeOrder = nullptr;
  dropOutput(d);
  if (result == kOutbufferError || ::shutdown(d->fd, SHUT_WR) != 0) {
    Departure *p = d->departure;
    endDepartingConnection(d);
    departureAnswered(p);
    return;
  }
  d->shut = 1;
  d->unread = -2;  // no check yet
}

Departure *startDeparture(ClientConnection *client) {
  if (client->index == 0 || client->displayCount == 0) return nullptr;
  auto *p = static_cast<Departure *>(calloc(1, sizeof(Departure)));
  auto **array = static_cast<DepartingConnection **>(calloc(client->displayCount, sizeof(DepartingConnection *)));
  if (!p || !array) {
    logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__);
    free(p);
    free(array);
    return nullptr;
  }
  p->slot = client->index;
  p->connections = array;
  return p;
}

// Takes the socket and the queued output over from the display connection, which is left with
// descriptor -1 and an empty output for xproxyCloseDisplayConnection to finish. Nothing is
// taken when the socket is gone or no memory is left (the close then ends it as before).
void takeOverConnection(Departure *p, DisplayConnection *c) {
  if (c->fd < 0 || c->life.closed) return;
  auto *d = static_cast<DepartingConnection *>(calloc(1, sizeof(DepartingConnection)));
  if (!d) return;
  xproxyCancelDisplayReader(c);
  // The reader drops what was unread: the reply to this request cannot be older. (A page of
  // the sequence map closed by it adds its NoOp after it.)
  uint32_t before = c->requestsSent;
  if (c->setupDone && c->idMask && c->owner && c->owner->setUp && xproxyBeginRequest(c, 43, 0, 4))  // GetInputFocus
    d->lastSequence = uint16_t(before + 1);
  else
    d->lastAnswered = 2;  // no client on the server (refused, not set up), or no room: nothing to wait for
  ordersCancel(c->writeOrder);
  c->writeOrder = nullptr;
  d->readOrder = ordersAddReader(c->fd, onDepartingReadable, d);
  if (!d->readOrder) {
    free(d);
    return;
  }
  d->departure = p;
  d->handle = c->departureHandle;
  d->transport = c->transport;
  d->fd = c->fd;
  d->display = c->display;
  d->output = c->output;
  d->output.callback = ordersNoOp;
  d->output.argument = nullptr;
  outbufferInit(&c->output, -1, xproxyArmDisplayWriter, c);
  c->transport = nullptr;
  c->fd = -1;
  p->connections[p->count++] = d;
  p->open++;
}

// The close has handed every connection over: listed and watched, or freed when it took none.
void departureStarted(Departure *p) {
  if (!p->count) {
    free(p->connections);
    free(p);
    return;
  }
  p->next = departures;
  departures = p;
  departureTotal++;
  armDepartureWatch();  // (sooner than a watch of kept records only)
  p->starting = 1;  // the writes below may end connections: the release waits for the loop
  for (uint32_t i = 0; i < p->count; i++)
    if (p->connections[i]->fd >= 0) onDepartingWritable(p->connections[i]);
  p->starting = 0;
  departureAnswered(p);
}

// ----- The steps of a close -----

void logClientStop(ClientConnection *client, const char *reason) {
  LOG(logChannelXclient, "Client #%d stopped (%s %s reason=%s reqs=%u)", int(client->index), xscreenClientName(client),
      xproxyCloseDownModeName(client->closeDownMode), reason ? reason : "", client->sequence);
}

// A server grab it holds ends, whichever way it leaves (retained too): the others are read again.
void endServerGrab(ClientConnection *client) {
  if (proxyState.serverGrabClient == client) proxyState.serverGrabClient = nullptr;
  if (miscGrabbingClient == client) miscRescheduleAllClients();
}

// Output it can no longer take: deferred blocks, multimedia streams (their sinks see EOF).
void dropClientOutputs(ClientConnection *client) {
  mainFreeDeferredOutputs(client);
  // ===== multimedia (client close) =====
  ordersCancel(client->multimediaRecheck);
  client->multimediaRecheck = nullptr;
  if (xproxyFreeClientStreams) xproxyFreeClientStreams(client);
  // ===== end of multimedia (client close) =====
}

bool retainable(const ClientConnection *client, int retainAllowed) {
  return client->closeDownMode != 0 && client->setUp && retainAllowed && client->fd >= 0;
}

// Retained: the socket goes; the server connections and so the client's resources stay. What
// would go on acting for a client that is no longer there (event selections, grabs) is
// released on the real server and in the proxy.
// A server connection that breaks while the releases are written out closes the client fully
// instead (held meanwhile: that close only marks it).
void retainClient(ClientConnection *client) {
  xproxyHoldClient(client);
  windowReleaseRetainedClient(client);
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (!xproxyFlushOrClose(client->displays[i])) break;
  if (!client->life.closed) {
    closeClientSocket(client);
    client->retained = 1;
    client->endRead = 0;  // no socket left: nothing to drain, and the closer leaves it alone
    if (client->life.holds > 1) client->reader.bytesNeeded = kReaderStopped;  // a pass runs over it
    miscScheduleClientReads(client);
  }
  // Released: freed when closed meanwhile; else its unread input goes unless a pass reads it.
  if (xproxyReleaseClient(client) && client->life.holds == 0) bufferFree(&client->input);
}

// Everything the client holds goes: server connections, socket, window-tree entries, grabs,
// resources (with no client current), colour cells; the record leaves the client list. The
// raw connections depart (see Departure) unless the proxy resets: the real servers still run
// every request sent, and the slot's id bases translate what they answer about the close.
void closeClientFully(ClientConnection *client) {
  client->closeDownMode = 0;
  if (xproxyGlxClientGone) {
    CurrentScope none(nullptr);  // its servers drop what it made: no destroy goes out
    xproxyGlxClientGone(client);
  }
  Departure *departure = client->closingForReset ? nullptr : startDeparture(client);
  while (client->displayCount > 0) {
    DisplayConnection *c = client->displays[client->displayCount - 1];
    if (departure) takeOverConnection(departure, c);
    xproxyCloseDisplayConnection(c);
  }
  free(client->displays);
  client->displays = nullptr;
  closeClientSocket(client);
  client->setUp = 0;
  // ===== window tree (client close) =====
  // Its save set first (its windows still stand), then its selections and grabs.
  windowHandleSaveSet(client);
  windowDropClientSelections(client);
  windowReleaseClientGrabs(client);
  // ===== end of window tree (client close) =====
  if (client->index != 0) {
    CurrentScope none(nullptr);
    if (departure && departure->count)
      resourceDepartClient(client->index);
    else
      resourceFreeAllOfClient(client->index);
    resourceFreeClientCells(client);
  }
  if (departure) departureStarted(departure);
  unlinkClient(client);
  if (xproxyCurrentClient == client) xproxyCurrentClient = nullptr;
}

// The last set-up client with a socket has gone: the server resets, unless it runs without
// resets (then retained resources stay until KillClient or SIGHUP, and clients in their setup
// are served), or the close is the reset's own.
void resetAfterLastClient(ClientConnection *client, bool wasSetUp) {
  if (!wasSetUp || client->closingForReset || xproxyNoReset || otherClientConnected(client)) return;
  xproxyRequestReset(strTempPrintf("End of last %s", xscreenClientName(client)));
}

}  // namespace

void xproxyEndDepartures() {
  ordersCancel(markerBatch);
  markerBatch = nullptr;
  while (departures) finishDeparture(departures);
  resourceForgetDepartedRecords(nullptr);
  ordersCancel(departureWatch);
  departureWatch = nullptr;
  serversReading.clear();
  serversIdle.clear();
}

void xproxyServerProbeBack(Display *xlib, uint32_t window) {
  for (ServerDisplay *display = mainServerDisplays; display; display = display->next)
    if (display->display == xlib && window && display->markerWindow == window && display->probeOut) {
      display->probeOut = 0;
      display->probeBack = 1;
    }
}

void xproxyEndDeparturesTo(ServerDisplay *display) {
  std::erase(serversReading, display);
  std::erase(serversIdle, display);
  for (Departure *p = departures; p; p = p->next)
    for (uint32_t i = 0; i < p->count; i++)
      if (p->connections[i]->display == display) {
        endDepartingConnection(p->connections[i]);
        p->connections[i]->display = nullptr;
      }
  for (Departure *p = departures, *next; p; p = next) {
    next = p->next;
    departureAnswered(p);
  }
}

void xproxyDepartedBaseTaken(uint32_t slot) {
  for (Departure *p = departures; p; p = p->next)
    if (p->slot == slot) return sendMarker(p);
}

int xproxyAskForMarkers(DisplayConnection *c) {
  c->markerFloor = markerSerial;
  if (!c->display) return 0;
  uint32_t window = markerWindowOf(c->display);
  if (!window) return 0;
  uint8_t *request = xproxyBeginRequest(c, 2, 0, 16);  // ChangeWindowAttributes
  if (!request) return 0;
  wirePut32(request + 4, window);
  wirePut32(request + 8, CWEventMask);
  wirePut32(request + 12, PropertyChangeMask);
  xproxyPushReplyCallback(c, kXcoreReplyTagDropError, 1, nullptr);  // an error reaches no client
  // The GC's id lies in the connection's range under a head number that no head has (the id
  // layout leaves one, mainDisplayIdMask): no client id translates to it.
  Head *head = c->display->firstHead;
  if (!head || !head->root || !c->owner || !c->display->headBitsMask) return 1;
  uint32_t handle = c->idBase | c->display->headBitsMask;
  request = xproxyBeginRequest(c, 55, 0, 16);  // CreateGC, no values
  if (!request) return 1;
  c->departureHandle = handle;
  wirePut32(request + 4, c->departureHandle);
  wirePut32(request + 8, uint32_t(head->root));
  wirePut32(request + 12, 0);
  xproxyPushReplyCallback(c, kXcoreReplyTagDropError, 1, nullptr);
  return 1;
}

void xproxyMarkersSelected(DisplayConnection *c) { c->markerFloor = std::max(c->markerFloor, markerSerial); }

int xproxyDepartureMarkerRead(DisplayConnection *c, const uint8_t *event) {
  if ((event[0] & 0x7f) != ClientMessage || !(event[0] & 0x80) || event[1] != 32 || !c->display ||
      !c->display->markerWindow || wireGet32(event + 4) != c->display->markerWindow || !markerSecretDrawn)
    return 0;
  // Only what the proxy sent: its words, and a serial it has given out.
  for (int i = 0; i < 3; i++)
    if (wireGet32(event + 20 + 4 * i) != markerSecret[i]) return 0;
  uint64_t serial = wireGet32(event + 12) | uint64_t(wireGet32(event + 16)) << 32;
  if (serial == 0 || serial > markerSerial) return 0;
  if (serial > c->markerSeen) c->markerSeen = serial;
  return 1;
}

uint32_t xproxyDepartureCount() { return departureTotal; }

void xproxyLastMarkerWords(uint32_t words[5]) {
  drawMarkerSecret();
  words[0] = uint32_t(markerSerial);
  words[1] = uint32_t(markerSerial >> 32);
  for (int i = 0; i < 3; i++) words[2 + i] = markerSecret[i];
}

namespace {
void deferClose(ClientConnection *client, const char *reason, int retainAllowed);
}  // namespace

void xproxyCloseClient(ClientConnection *client, const char *reason, int retainAllowed) {
  if (!client || client->life.closed) return;  // fully closed already, waiting for its pass to end
  // Its end may call the library (its GL work, its contexts, its windows): after the call.
  if (outsideHolding || client->closeDeferred) return deferClose(client, reason, retainAllowed);
  if (client->yielding) {
    // Its suspended work ends first, while everything it uses is there (held: the work may
    // close the client itself meanwhile).
    xproxyHoldClient(client);
    miscEndYielding(client);
    bool closedMeanwhile = client->life.closed;
    if (!xproxyReleaseClient(client) || closedMeanwhile) return;
  }
  logClientStop(client, reason);
  endServerGrab(client);
  // A fake event still waiting for its delay is dropped with its sender.
  ordersCancel(client->xtestDelay);
  client->xtestDelay = nullptr;
  ordersCancel(client->xtestWatch);
  client->xtestWatch = nullptr;
  xproxyDropPark(client);  // a parked request is dropped with its sender
  dropClientOutputs(client);
  if (retainable(client, retainAllowed)) return retainClient(client);
  bool wasSetUp = client->setUp;
  closeClientFully(client);
  resetAfterLastClient(client, wasSetUp);
  if (client->life.holds) {
    client->life.closed = 1;
    client->reader.bytesNeeded = kReaderStopped;
    return;
  }
  freeClientRecord(client);
}

// ===== multimedia streams of clients =====
XproxyClientStreamsFree xproxyFreeClientStreams = nullptr;
XproxyClientStreamsReady xproxyClientStreamsReady = nullptr;
// ===== end of multimedia streams of clients =====
// ===== GLX context tags of clients =====
XproxyClientGlxGone xproxyGlxClientGone = nullptr;
// ===== end of GLX context tags of clients =====

// Accepted connections are adopted unless a test takes them.
XproxyNewClientHook xproxyNewClientHook = [](XtransConnInfo connection, int fd) { xproxyAdoptClient(connection, fd); };
// ===== end of client connections =============================================================

// ===== Client reads, flushes and flow control ===============================================
// Turns. Clients are served by turns of time, as the X.Org server's scheduler serves them: a
// turn handles the answers the real servers sent a client (replies, events, errors: what they
// cost counts in its time) and cuts and dispatches its buffered requests, until they are done
// or the slice of the loop's pass is used (kMiscTurnNs from the pass's first turn; the cutters
// ask miscTurnOver between requests and between answers, reading the clock once per few of
// them; a request is never cut short, and one whose work may run long yields at the end of the
// turn and goes on at the next: see miscRunYielding). What is left waits for the client's next
// turn. Clients whose work waits are queued; the dispatcher (an idle order) gives them turns
// until the slice is used, and between two turns it looks for descriptors that became ready
// (ordersPollNow): a client that sent a request or got an answer meanwhile takes its place in
// the queue at once, not after the slice.
// The order of the queue is that of fair schedulers that give short requests short waits
// (earliest eligible virtual deadline first): each turn adds the time it took to its client's
// virtual time, and the floor is the virtual time of the turns given so far (at least where the
// last turn was counted from, and it goes on by each turn's time shared among the clients that
// wait for turns, as each of them would have had its share). A client's turn is counted from
// its virtual time, but never from more than a credit (kTurnWakeCreditNs) before the floor: a
// client that waited, for its answers or its user, is raised to that level, and however long
// it waited that is all it gains over the others. Its deadline is that point plus the time its
// turns take (turnSliceNs, an average of the last ones), and the earliest deadline is served
// first, then the one that came first. So a client whose turns are short (a request and its
// answer) comes before clients whose turns are long, without taking more than its share: a
// busy client's virtual time runs ahead of the floor and its deadline with it. A newcomer comes
// a little behind the waiting level (kTurnNewcomerDebitNs) with a short turn, the level as it
// stands when the next turn is given: before every client that has used more time since,
// behind one that waited; a stream of newcomers never holds a bystander back for long, nor do
// busy clients hold newcomers back. A waiting client is served within one turn of each client
// whose deadline came before its own.
// Fairness alone would let a bystander that asks now and then wait for every busy client's turn
// once the proxy has more work than time (its share is a busy client's, and asking often spends
// it): so a client that was quiet, all its answers taken and nothing sent, for a slice or more
// before it asks again (it waited for its user, not for the proxy) is raised above every other:
// its next turns, up to kTurnRaiseTurns of them and kTurnRaiseNs in all (its request and its
// answers), come first, in the order they came. Busy clients, which ask again as soon as they
// have their answers, never are; and what the raise gives is bounded by the quiet time it needs.
// The raise's time is the processor time its turns took (a turn kept from the processor by
// other programs does not end it before its answers), and a raised client whose answers came
// late and that asks again at once (it would have been quiet had they come in time) is raised
// again, once. So a bystander's round trip
// waits about one slice, also while hundreds of clients start working. The loop does not sleep
// while clients wait. A client read while nobody waits is served at once within the slice.
namespace {

void onBufferedInput(void *argument) { miscProcessBufferedInput(static_cast<ClientConnection *>(argument)); }

// When the pass being cut began or last fed its displays (ordersMonotonicNs); 0 outside a pass.
int64_t passFedNs = 0;

// The slice of the current pass of the loop: the pass it is counted for and its end (0: no turn
// in it yet). The end of the turn being served (0: no turn).
uint64_t slicePass = 0;
int64_t sliceEndNs = 0;
int64_t turnEndNs = 0;

// The end of the current pass's slice, which begins with its first turn (0 between steps of
// the loop: at start-up or in a test's own calls, no pass's time is shared out).
int64_t passSliceEnd() {
  if (!ordersStepRunning()) return 0;
  if (ordersPassNumber() != slicePass || !sliceEndNs) {
    slicePass = ordersPassNumber();
    sliceEndNs = ordersMonotonicNs() + kMiscTurnNs;
  }
  return sliceEndNs;
}
bool sliceUsed() {
  return ordersStepRunning() && ordersPassNumber() == slicePass && sliceEndNs && ordersMonotonicNs() >= sliceEndNs;
}

// The queue of turns: the clients whose work waits (ClientConnection::turnQueued: requests,
// readIsTurn, or answers due on a display connection, DisplayConnection::answersDue): those that
// have had a turn ordered by their deadline when they came, then their arrival; newcomers in
// the order they came, each with the newcomers' deadline as it stands when the next turn is
// given (a newcomer that waits goes up with the floor). The earlier of the two is served
// next. The dispatcher is armed while either is not empty and cancelled when both empty.
struct TurnPlace {
  int64_t deadline;  // 0 for a raised client: they come first, in the order they came
  uint64_t serial;
  ClientConnection *client;
  bool operator<(const TurnPlace &other) const {
    return deadline != other.deadline ? deadline < other.deadline : serial < other.serial;
  }
};
std::set<TurnPlace> turnQueue, newcomerQueue;
uint64_t turnArrivals = 0;
Order *dispatcher = nullptr;
int64_t turnFloorNs = 0;
// The processor time raised turns have taken since a turn last went to a client that was not
// raised (or the queue was empty); from kTurnRaisedRunNs on, the next turn goes to the first of
// the others that wait. Raised clients come first, but when many are raised again and again (a
// crowd whose programs pause between their round trips) they never hold the others, newcomers'
// setups among them, for more than that between two of their turns: the others have one turn
// (within the pass's slice) after each kTurnRaisedRunNs of raised ones. Processor time, as the
// raise's own: a raised turn kept from the processor by other programs does not hand the
// answers it waits for to the others.
int64_t raisedRunNs = 0;
constexpr int64_t kTurnRaisedRunNs = kMiscTurnNs;
// How far before the floor a turn is counted from at most; how far behind that a newcomer
// comes, and the turn it is taken to need; the shortest turn counted for a deadline.
constexpr int64_t kTurnWakeCreditNs = kMiscTurnNs;
constexpr int64_t kTurnNewcomerDebitNs = kMiscTurnNs / 16;
constexpr int64_t kTurnNewcomerSliceNs = kMiscTurnNs / 16;
constexpr int64_t kTurnSliceMinNs = 10000;
// The quiet time that raises a client, and the turns and turn time the raise lasts for.
constexpr int64_t kTurnQuietNs = kMiscTurnNs;
constexpr int64_t kTurnRaiseNs = kMiscTurnNs;
constexpr uint8_t kTurnRaiseTurns = 4;
// A raised client that asks again at once after late answers (kTurnLateNs or more after it
// asked) waited for the proxy, not for its user: it is raised again, on what is left of the raise
// time its last rest gave it (the proxy's time it has used since), however many round trips
// that takes. So a client that asks now and then keeps its raise while a crowd keeps its answers
// late, and a raise still comes only after a rest, for kTurnRaiseNs of work (raised clients
// come before all others, but for the others' turn after each kTurnRaisedRunNs of theirs).
constexpr int64_t kTurnLateNs = 4 * kMiscTurnNs;

bool turnsWaiting() { return !turnQueue.empty() || !newcomerQueue.empty(); }
size_t turnsQueued() { return turnQueue.size() + newcomerQueue.size(); }

// Where the client's next turn is counted from (a newcomer's: behind the waiting level now).
int64_t turnStart(const ClientConnection *client) {
  int64_t level = turnFloorNs - kTurnWakeCreditNs;
  return client->turnStarted ? std::max(client->turnVirtualNs, level) : level + kTurnNewcomerDebitNs;
}

int64_t turnDeadline(const ClientConnection *client) {
  return turnStart(client) + (client->turnStarted ? client->turnSliceNs : kTurnNewcomerSliceNs);
}

void onDispatch(void *);
// When the dispatcher last looked for ready descriptors, and how often it looks at most.
int64_t lastLookNs = 0;
constexpr int64_t kTurnLookNs = 50000;

void enterTurnQueue(ClientConnection *client) {
  if (client->turnQueued) return;
  if (!dispatcher) dispatcher = ordersAddIdle(onDispatch, nullptr);
  // (A raised client's place has deadline 0; a newcomer's is in its own queue.)
  client->turnDeadlineNs = client->turnStarted && !client->turnRaiseTurns ? turnDeadline(client) : 0;
  client->turnSerial = ++turnArrivals;
  try {
    (client->turnStarted ? turnQueue : newcomerQueue).insert(TurnPlace{client->turnDeadlineNs, client->turnSerial, client});
  } catch (const std::bad_alloc &) {
    return;  // (flow control serves it as it comes)
  }
  client->turnQueued = client->turnStarted ? 1 : 2;
}

// Out of the queue (no other change).
void takeFromTurnQueue(ClientConnection *client) {
  if (!client->turnQueued) return;
  (client->turnQueued == 1 ? turnQueue : newcomerQueue).erase(TurnPlace{client->turnDeadlineNs, client->turnSerial, client});
  client->turnQueued = 0;
}

void leaveTurnQueue(ClientConnection *client) {
  if (!client->turnQueued) return;
  takeFromTurnQueue(client);
  if (!turnsWaiting()) {  // (the dispatcher may cancel itself so)
    ordersCancel(dispatcher);
    dispatcher = nullptr;
    raisedRunNs = 0;
  }
}

// The client whose turn comes next; NULL when none waits.
ClientConnection *nextTurn() {
  auto served = turnQueue.begin();
  const TurnPlace *newcomer = newcomerQueue.empty() ? nullptr : &*newcomerQueue.begin();
  // After a run of raised turns, the raised places (deadline 0) are passed over when another
  // waits.
  if (served != turnQueue.end() && served->deadline == 0 && raisedRunNs >= kTurnRaisedRunNs) {
    auto other = turnQueue.upper_bound(TurnPlace{0, UINT64_MAX, nullptr});
    if (other != turnQueue.end() || newcomer) served = other;
  }
  if (newcomer && (served == turnQueue.end() ||
                   (served->deadline != 0 && turnDeadline(newcomer->client) < served->deadline)))
    return newcomer->client;
  return served != turnQueue.end() ? served->client : nullptr;
}

bool answersDue(const ClientConnection *client) {
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (client->displays[i]->answersDue) return true;
  return false;
}

// The client's place in the queue follows its work: there while requests or answers wait for a
// turn, gone when none does.
void settleTurnPlace(ClientConnection *client) {
  if (!client) return;
  bool wanted = !client->life.closed && (client->readIsTurn || answersDue(client));
  if (wanted && !client->turnQueued)
    enterTurnQueue(client);
  else if (!wanted)
    leaveTurnQueue(client);
}

// The processor time the loop's thread has used, in nanoseconds.
int64_t threadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The clock of one turn of a client: the turn ends with the pass's slice (a turn inside
// another's handler keeps the outer end), and at its end its time is added to the client's
// virtual time, counted from where the turn is counted from (turnStart), and to the average of
// its turns, and the processor time it took to what is left of a raise; the floor rises to that
// point and goes on by the turn's share. A place the client took in the queue during its own
// turn is taken again with the new time.
struct TurnClock {
  ClientConnection *client;
  int64_t base;
  int64_t began;
  int64_t cpuBegan;
  int64_t outerEnd;
  explicit TurnClock(ClientConnection *served)
      : client(served), base(turnStart(served)), began(ordersMonotonicNs()), cpuBegan(threadCpuNs()),
        outerEnd(turnEndNs) {
    turnEndNs = passSliceEnd();
  }
  ~TurnClock() {
    turnEndNs = outerEnd;
    int64_t took = std::max<int64_t>(ordersMonotonicNs() - began, 0);
    client->turnVirtualNs = base + took;
    int64_t slice = client->turnStarted ? (3 * client->turnSliceNs + took) / 4 : took;
    client->turnSliceNs = std::clamp<int64_t>(slice, kTurnSliceMinNs, kMiscTurnNs);
    client->turnStarted = 1;
    // A raise ends with its turns or its time, the time the proxy worked for it: a turn kept
    // from the processor meanwhile (other programs on a busy machine) does not end the raise
    // before the answers to what it sent, which would then wait for every busy client's turn.
    client->turnRaiseNs -= std::max<int64_t>(threadCpuNs() - cpuBegan, 0);
    if (client->turnRaiseTurns) client->turnRaiseTurns = client->turnRaiseNs > 0 ? client->turnRaiseTurns - 1 : 0;
    client->turnQuietSinceNs = ordersMonotonicNs();
    turnFloorNs = std::max(turnFloorNs, base) + took / int64_t(turnsQueued() + 1);
    if (client->turnQueued) {
      leaveTurnQueue(client);
      settleTurnPlace(client);
    }
  }
  TurnClock(const TurnClock &) = delete;
  TurnClock &operator=(const TurnClock &) = delete;
};

void serveTurn(ClientConnection *client, bool requests);

void onDispatch(void *) {
  while (turnsWaiting()) {
    if (sliceUsed()) {
      ordersNoWait();
      return;
    }
    // Whoever became ready since the last turn takes its place first: a client that waited may
    // come before every one queued. (Looked for once per kTurnLookNs: a turn of a few requests
    // costs less than a look.)
    if (int64_t now = ordersMonotonicNs(); now - lastLookNs >= kTurnLookNs) {
      lastLookNs = now;
      ordersPollNow();
    }
    ClientConnection *client = nextTurn();
    if (!client) break;
    bool raised = client->turnQueued == 1 && client->turnDeadlineNs == 0;
    takeFromTurnQueue(client);
    bool requests = client->readIsTurn;
    if (requests) {
      client->readIsTurn = 0;
      if (client->fd >= 0 && !client->endRead) {
        ordersResume(client->readOrder);  // (it stood still while the client waited)
      } else {
        ordersCancel(client->readOrder);
        client->readOrder = nullptr;
      }
    }
    int64_t began = threadCpuNs();
    serveTurn(client, requests);  // (the client may be gone after it)
    raisedRunNs = raised ? raisedRunNs + std::max<int64_t>(threadCpuNs() - began, 0) : 0;
  }
  ordersCancel(dispatcher);
  dispatcher = nullptr;
  raisedRunNs = 0;
}

// The read order becomes the client's place in the queue of turns.
void awaitTurn(ClientConnection *client) {
  if (client->fd < 0) return miscCancelClientRead(client);
  // Its reader stands still (a quiet socket costs nothing meanwhile): one that reads is kept.
  if (!client->readOrder || !client->readOrder->pollSlot || client->readTakesOnly || client->readIsTurn) {
    miscCancelClientRead(client);
    client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
    if (!client->readOrder) return;  // (no memory for the order: served as flow control finds it)
  }
  ordersPause(client->readOrder);
  client->readIsTurn = 1;
  settleTurnPlace(client);
  if (!client->turnQueued) {  // no memory for the place: served as it comes
    client->readIsTurn = 0;
    ordersResume(client->readOrder);
  }
}

// ===== requests that yield their turn =====
// The handler of a request that yields its turn, while it runs or stands still: owned by the
// client while it stands still (client->yielding), else by the call that runs it; freed when the
// handler returns.
}  // namespace
struct MiscYielding {
  ClientConnection *client;
  MiscRequestHandler handler;
  uint8_t *request;  // the copy of the request the handler works on (malloc'ed)
  uint32_t length;
  Fiber *fiber;      // once it has yielded
  uint8_t closing;   // the client closes: the work ends at its next look
};
namespace {
// The handler running now on its fiber (NULL: none).
MiscYielding *yieldingNow = nullptr;

void runYieldingHandler(void *argument) {
  auto *y = static_cast<MiscYielding *>(argument);
  y->handler(y->request, y->length, nullptr);
}

void freeYielding(MiscYielding *y) {
  free(y->request);
  free(y);
}

// Runs the client's suspended handler on until it yields again (false) or returns (true: freed).
bool resumeYielding(ClientConnection *client) {
  MiscYielding *y = client->yielding;
  MiscYielding *outer = yieldingNow;
  yieldingNow = y;
  bool standing = fiberResume(y->fiber);
  yieldingNow = outer;
  if (standing) return false;
  if (client->yielding == y) client->yielding = nullptr;
  client->outsideCaller = 0;  // (its calls ended with its handler)
  freeYielding(y);
  return true;
}
// ===== end of requests that yield their turn =====

bool inputServable(const ClientConnection *client);

bool cutAnswers(DisplayConnection *c);

// One turn of the client: the answers due on its display connections first, then (when
// `requests`) its requests, a handler that stood still going on before them (its later
// requests only once it has returned, and not behind a park it made); then its display
// connections and its own output are written out as far as the sockets take them, and flow
// control looks at it again.
void serveTurn(ClientConnection *client, bool requests) {
  std::string reason;
  {
    ConnectionPass pass(client);
    TurnClock clock(client);
    for (uint32_t i = 0; i < client->displayCount;) {
      DisplayConnection *c = client->displays[i];
      if (!c->answersDue) {
        i++;
        continue;
      }
      c->answersDue = 0;
      if (!cutAnswers(c)) return;  // its owner was closed
      if (i < client->displayCount && client->displays[i] == c) i++;  // (a closed one left the array)
    }
    const char *stop = nullptr;
    if (requests && client->fd >= 0) {
      passFedNs = ordersMonotonicNs();
      if (!outsideHolding) owedServed(client);  // (its turn, owed by the last call outside)
      // (While a call runs outside the loop a suspended handler waits for its end, and one whose
      // next call waits for the turns the last call owes others waits for those.)
      bool standing = false;
      if (client->yielding && outsideHolding)
        miscHoldOutside(client), standing = true;
      else if (client->yielding && client->outsideCaller && othersOwed(client) && waitForOwed(client))
        standing = true;
      else if (client->yielding)
        standing = client->owedWait || !resumeYielding(client);
      if (!standing && !pass.clientClosed() && !client->park)
        stop = xproxyClientInputCutter(&client->reader, &client->input);
      passFedNs = 0;
      if (pass.clientClosed()) return;  // a handler closed it
    }
    if (stop && client->fd >= 0) {  // (a client retained meanwhile is closed already)
      // The reason may live in the reader, which the close frees.
      reason = stop;
      xproxyCloseClient(client, reason.c_str(), 1);
      return;
    }
    for (uint32_t i = 0; i < client->displayCount; i++)
      if (!xproxyFlushOrClose(client->displays[i])) return;  // that failure closed the client
  }
  // The answers go out when the turn that produced them ends, not a poll later (the flush
  // schedules the reads; a socket that takes no more keeps its writer).
  if (client->writeOrder && client->output.first && client->fd >= 0) {
    miscFlushClientOutput(client);
    return;
  }
  miscScheduleClientReads(client);
}

// Its requests now, as a turn of its own (nobody waits and the slice is not used, or its timer
// of buffered input fired).
void serveClientInput(ClientConnection *client) { serveTurn(client, true); }

// ===== multimedia (flow control) =====
void onMultimediaRecheck(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  client->multimediaRecheck = nullptr;  // a fired one-shot timer is done
  miscScheduleClientReads(client);
}
// ===== end of multimedia (flow control) =====

// The size of an output as flow control measures it: whole blocks.
uint64_t outputSize(const OutBuffer *output) { return outbufferCapacity(output); }

// The length in bytes of the request that begins the client's input (its big form's too; a
// short-form 0 without BIG-REQUESTS gives 0): false while its length words are not all in.
bool leadingRequestLength(const ClientConnection *client, uint64_t *length) {
  const Buffer &input = client->input;
  if (input.length < 4) return false;
  const auto *request = reinterpret_cast<const uint8_t *>(input.data);
  uint64_t found = uint64_t(wireGet16(request + 2, client->reader.swapped)) * 4;
  if (found == 0 && client->bigRequests) {
    if (input.length < 8) return false;
    found = uint64_t(wireGet32(request + 4, client->reader.swapped)) * 4;
  }
  *length = found;
  return true;
}

// Whether the connection setup at the start of the input is all there (or so broken that the
// cutter refuses it as it stands): only then can the cutter take it.
bool setupComplete(const ClientConnection *client) {
  const Buffer &input = client->input;
  if (input.length < 12) return false;
  const auto *setup = reinterpret_cast<const uint8_t *>(input.data);
  if (setup[0] != 'B' && setup[0] != 'l') return true;  // refused at once
  bool swapped = setup[0] == 'B';
  uint64_t total = 12 + ((uint64_t(wireGet16(setup + 6, swapped)) + 3) & ~uint64_t(3)) +
                   ((uint64_t(wireGet16(setup + 8, swapped)) + 3) & ~uint64_t(3));
  return total <= input.length;
}

// Whether the client's buffered input gives its next pass something to do: a whole request, a
// whole connection setup, a refused big request's bytes to drop, a stopped reader. Only the part
// of a request or of a setup waits for the socket: the buffered-input timer would find nothing
// to cut in it.
bool inputServable(const ClientConnection *client) {
  const ProtocolReader &reader = client->reader;
  if (client->yielding) return true;  // a handler standing still goes on at the next turn
  if (client->input.length == 0) return false;
  if (reader.bytesNeeded == 0) return setupComplete(client);
  if (reader.skip || reader.bytesNeeded != 4) return true;
  uint64_t length = 0;
  if (!leadingRequestLength(client, &length)) return false;
  if (length == 0) return true;  // refused at once
  bool bigForm = wireGet16(reinterpret_cast<const uint8_t *>(client->input.data) + 2, reader.swapped) == 0;
  if (bigForm && (length < 8 || length > xprotoBigRequestMaximum)) return true;  // refused at once
  return length <= client->input.length;
}

// The most bytes one read of the client takes: the chunk, beyond the rest of a request begun
// in the input (its room is made by the cutter), so that a long one comes in whole in as few
// reads as the socket allows. The input's room is never grown for a read.
uint32_t clientReadLimit(const ClientConnection *client) {
  uint64_t length = 0;
  if (!client->reader.skip && client->reader.bytesNeeded == 4) leadingRequestLength(client, &length);
  uint64_t rest = length > client->input.length ? length - client->input.length : 0;
  return uint32_t(rest + kMiscReadChunk < UINT32_MAX ? rest + kMiscReadChunk : UINT32_MAX);
}

// What the input of a client whose output is past its mark may still take (it is read, not
// served): up to kMiscClientInputLimit, or the whole of a longer request begun at its start.
uint64_t takeOnlyRoom(const ClientConnection *client) {
  uint64_t bound = miscClientInputLimit, length = 0;
  if (!client->reader.skip && client->reader.bytesNeeded == 4 && leadingRequestLength(client, &length))
    bound = std::max(bound, std::min<uint64_t>(length, UINT32_MAX));
  return bound > client->input.length ? bound - client->input.length : 0;
}

}  // namespace

void miscFeedDisplays(ClientConnection *client) {
  if (passFedNs == 0) return;
  int64_t now = ordersMonotonicNs();
  if (now - passFedNs < kMiscFeedNs) return;
  passFedNs = now;
  for (uint32_t i = 0; i < client->displayCount; i++) {
    DisplayConnection *c = client->displays[i];
    if (c && c->fd >= 0 && c->output.first) (void)outbufferFlush(&c->output);
  }
}

// Clients whose input ended are drained and closed by an idle order: once a client's whole
// requests are served (none parked), a round trip is parked behind them; once it is answered
// the client is closed, at most kClosesPerStep in one step of the loop: when hundreds leave at
// once, the others are served between their closes. The order is armed by miscReadClientInput
// at an end and cancels itself once no ended client is left.
constexpr uint32_t kClosesPerStep = 32;
Order *endCloser = nullptr;

// The drain's round trip was answered (or could not be, or the sync limit passed): the client
// current in the resume is closed by the closer.
void onDrained(uint8_t *, uint32_t, const char *) {
  if (ClientConnection *client = xproxyCurrentClient) client->endRead = kEndDrained;
  ordersNoWait();  // (the closer may have run in this pass already)
}

void onEndCloser(void *) {
  uint32_t closed = 0;
  bool left = false;
  for (ClientConnection *c = xproxyClients, *next; c && closed < kClosesPerStep; c = next) {
    next = c->next;  // (a close unlinks only its own client)
    if (!c->endRead || c->life.closed || c->retained) continue;
    // A client whose output is past its mark does not read what a drain would bring (its socket
    // is full): once its requests are served it ends, as the real server ends a client at the
    // end of its input and drops what it could not write; so does one already draining.
    bool full = outputSize(&c->output) > kMiscClientOutputMark;
    if (c->endRead == kEndInput && !c->park && (c->fd < 0 || !inputServable(c))) {
      c->endRead = full ? kEndDrained : kEndDraining;
      if (!full) {
        ConnectionPass pass(c);
        xproxyParkDrain(c, onDrained);
        if (pass.clientClosed()) continue;
      }
    }
    if (c->endRead == kEndDraining && full) {
      xproxyDropPark(c);
      c->endRead = kEndDrained;
    }
    if (c->endRead != kEndDrained) {
      left = true;
      continue;
    }
    c->endRead = 0;
    xproxyCloseClient(c, "Broken connection", 1);
    closed++;
  }
  if (closed < kClosesPerStep && !left) {
    ordersCancel(endCloser);
    endCloser = nullptr;
  }
}

uint64_t miscClientInputLimit = kMiscClientInputLimitDefault;

bool miscTurnOver() { return turnEndNs && ordersMonotonicNs() >= turnEndNs; }

int64_t miscTurnLeftNs() {
  int64_t left = turnEndNs ? turnEndNs - ordersMonotonicNs() : 0;
  return left > 0 ? left : 0;
}

void miscRunYielding(MiscRequestHandler handler, uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || fiberRunning() || client->yielding) return handler(request, length, nullptr);
  auto *y = static_cast<MiscYielding *>(calloc(1, sizeof(MiscYielding)));
  auto *copy = static_cast<uint8_t *>(malloc(length ? length : 1));
  if (!y || !copy) {  // no memory: the handler runs as other handlers do, without yielding
    free(y);
    free(copy);
    return handler(request, length, nullptr);
  }
  if (length) memcpy(copy, request, length);
  *y = MiscYielding{client, handler, copy, length, nullptr, 0};
  client->yielding = y;  // (a close from inside the handler finds it running)
  MiscYielding *outer = yieldingNow;
  yieldingNow = y;
  // Outside a turn (a request that goes on after its park, from an idle order) the handler has
  // a turn's time of its own before it yields.
  int64_t outerEnd = turnEndNs;
  if (!turnEndNs && ordersStepRunning()) turnEndNs = ordersMonotonicNs() + kMiscTurnNs;
  y->fiber = fiberStart(runYieldingHandler, y);
  turnEndNs = outerEnd;
  yieldingNow = outer;
  if (!y->fiber) {
    if (client->yielding == y) client->yielding = nullptr;
    freeYielding(y);
    return;
  }
  // Standing still: the cutter stops after this request (a pause), and flow control queues the
  // client for its next turn.
  client->reader.bytesNeeded = kReaderStopped;
}

bool miscCanYield() { return yieldingNow && fiberRunning(); }

bool miscYieldTurn() {
  MiscYielding *y = yieldingNow;
  if (!y || !fiberRunning()) return true;
  if (y->closing) return false;
  fiberYield();
  return !y->closing;
}

bool miscYieldingEnds() { return yieldingNow && yieldingNow->closing; }

void miscEndYielding(ClientConnection *client) {
  MiscYielding *y = client ? client->yielding : nullptr;
  if (!y) return;
  y->closing = 1;
  if (y == yieldingNow) return;  // it runs (the close comes from inside it): it ends at its next look
  if (yieldingNow) logProblem("UNE", __FILE__, __LINE__);  // the close of another client from yielding work
  CurrentScope scope(client);
  while (client->yielding == y && !resumeYielding(client)) {
  }
}

// ===== calls outside the loop =====
// The loop's thread makes the queued calls between two steps of the loop (ordersRun) while the
// server thread runs steps of the loop meanwhile, until the calls have ended: one of the two
// runs the loop at a time (the hand-over goes through outsideMutex), and the server thread
// never calls the library (what would waits, see connections.h). The server thread is started
// at the first call and lives as long as the process; it waits on outsideChanged between calls.
namespace {
struct OutsideCall {
  MiscOutsideCall call;
  void *argument;
  ClientConnection *client;  // whose handler queued it (NULL: miscQueueOutside)
};
struct DeferredClose {
  ClientConnection *client;  // held (xproxyHoldClient) until the close has run
  std::string reason;
  int retainAllowed;
};
std::vector<OutsideCall> outsideCalls;             // queued in this step
std::vector<ClientConnection *> outsideWaiting;    // clients with outsideWaits set
std::vector<std::function<void()>> outsideAfter;   // work left for the call's end
std::vector<DeferredClose> outsideCloses;          // closes that came meanwhile
// (Made at the first call and never destroyed: the server thread waits on them until the
// process ends, and the destruction of a condition variable waits for its waiters.)
std::mutex *outsideMutex = nullptr;
std::condition_variable *outsideChanged = nullptr;
bool outsideServing = false;       // the server thread is to run the loop (cleared by it when it stops)
std::atomic<bool> outsideDone{false};  // the calls have ended: the server thread stops after its step
uint32_t outsideStop = 0;          // what its last step returned (a stop of the loop)
int outsideWake = -1;              // eventfd: wakes the server thread's wait at the calls' end
Order *outsideWakeOrder = nullptr;
bool outsideThreadStarted = false;
bool outsideEnding = false;        // runOutsideCalls runs (between two steps of the loop's thread)
std::thread::id outsideThreadId;   // the server thread's, once started
std::set<std::pair<uint8_t, int>> outsideRequests;  // (major, minor or -1)

// The longest wait of a step of the server thread (the calls' end also wakes it at once).
constexpr uint64_t kOutsideStepMs = 50;

void drainOutsideWake(void *) {
  uint64_t count = 0;
  ssize_t got = read(outsideWake, &count, sizeof count);
  (void)got;
}

// The calls have ended (or the process exits): the server thread stops after its step.
void stopServing() {
  outsideDone.store(true, std::memory_order_release);
  uint64_t one = 1;
  ssize_t written = write(outsideWake, &one, sizeof one);
  (void)written;
}

void serveOutside() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(*outsideMutex);
      outsideChanged->wait(lock, [] { return outsideServing; });
    }
    uint32_t stop = 0;
    while (!outsideDone.load(std::memory_order_acquire) && stop == 0) stop = ordersStep(kOutsideStepMs);
    {
      std::lock_guard<std::mutex> lock(*outsideMutex);
      outsideStop = stop;
      outsideServing = false;
    }
    outsideChanged->notify_all();
  }
}

uint32_t runOutsideCalls();

// The server thread and its wake-up, at the first call; false when either cannot be had (the
// calls are then made at once).
bool outsideReady() {
  if (outsideThreadStarted) return true;
  if (outsideWake < 0) {
    outsideWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (outsideWake < 0) return false;
  }
  if (!outsideWakeOrder) outsideWakeOrder = ordersAddReader(outsideWake, drainOutsideWake, nullptr);
  if (!outsideWakeOrder) return false;
  try {
    if (!outsideMutex) outsideMutex = new std::mutex;
    if (!outsideChanged) outsideChanged = new std::condition_variable;
    std::thread server(serveOutside);
    outsideThreadId = server.get_id();
    server.detach();
  } catch (const std::exception &) {  // (no memory, no thread)
    return false;
  }
  outsideThreadStarted = true;
  ordersSetBetweenSteps(runOutsideCalls);
  return true;
}

// The calls have ended: what waited for them goes on.
void endOutside(ClientConnection *caller) {
  outsideHolding = false;
  if (!owedWaiting.empty()) releaseOwedWaiting();  // (a call came meanwhile, owed or not)
  outsideOwed.clear();
  std::vector<ClientConnection *> held;
  held.swap(outsideWaiting);
  std::vector<std::function<void()>> after;
  after.swap(outsideAfter);
  for (auto &work : after) work();
  for (ClientConnection *client : held) client->outsideWaits = 0;
  // Each is owed its turn before another call is queued (the callers aside).
  for (ClientConnection *client : held) {
    if (!serveAgain(client) || client == caller || client->outsideCaller || !client->turnQueued) continue;
    try {
      outsideOwed.push_back(client);
    } catch (const std::bad_alloc &) {
      // (not owed a turn first)
    }
  }
  std::vector<DeferredClose> closes;
  closes.swap(outsideCloses);
  for (DeferredClose &d : closes) {
    d.client->closeDeferred = 0;
    xproxyCloseClient(d.client, d.reason.c_str(), d.retainAllowed);
    xproxyReleaseClient(d.client);
  }
}

// Whose handler queued the last of the calls (NULL: none did).
ClientConnection *lastCaller(const std::vector<OutsideCall> &calls) {
  ClientConnection *caller = nullptr;
  for (const OutsideCall &c : calls)
    if (c.client) caller = c.client;
  return caller;
}

// The calls queued, with the loop served meanwhile by the server thread.
uint32_t makeOutsideCalls() {
  outsideDone.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(*outsideMutex);
    outsideServing = true;
  }
  outsideChanged->notify_all();
  // (Nothing but the server thread's steps touches the list meanwhile: only suspended
  // handlers and the loop's own thread queue calls, and neither runs.)
  for (const OutsideCall &c : outsideCalls) c.call(c.argument);
  stopServing();
  uint32_t stop = 0;
  {
    std::unique_lock<std::mutex> lock(*outsideMutex);
    outsideChanged->wait(lock, [] { return !outsideServing; });
    stop = outsideStop;
  }
  ClientConnection *caller = lastCaller(outsideCalls);
  outsideCalls.clear();
  endOutside(caller);
  return stop;
}

// Between two steps: the calls queued in the step, and those that the work left for their end
// queued (a close carried out then ends its contexts).
uint32_t runOutsideCalls() {
  struct Ending {
    Ending() { outsideEnding = true; }
    ~Ending() { outsideEnding = false; }
  } ending;
  if (outsideCalls.empty() && outsideHolding) endOutside(nullptr);
  uint32_t stop = 0;
  while (stop == 0 && !outsideCalls.empty()) stop = makeOutsideCalls();
  return stop;
}

void deferClose(ClientConnection *client, const char *reason, int retainAllowed) {
  if (!client->closeDeferred) {
    try {
      outsideCloses.push_back(DeferredClose{client, reason ? reason : "", retainAllowed});
    } catch (const std::bad_alloc &) {
      LOG_OUT_OF_MEMORY();
      return;  // (it is closed when it is next found ended)
    }
    client->closeDeferred = 1;
    xproxyHoldClient(client);
  }
  // Nothing more of it is cut or read meanwhile.
  client->reader.bytesNeeded = kReaderStopped;
  miscCancelClientRead(client);
  cancelHangupWatch(client);
}
}  // namespace

void miscCallOutside(MiscOutsideCall call, void *argument) {
  MiscYielding *y = yieldingNow;
  // (A client closing meanwhile has the call made at once: its close resumes its handler until
  // it ends, between no two steps.)
  if (!y || !fiberRunning() || y->closing || !outsideReady()) return call(argument);
  y->client->outsideCaller = 1;
  try {
    outsideCalls.push_back(OutsideCall{call, argument, y->client});
  } catch (const std::bad_alloc &) {
    return call(argument);
  }
  outsideHolding = true;
  ordersNoWait();  // (the step ends without sleeping: the call is made after it)
  fiberYield();    // resumed at the client's first turn after the call
}

bool miscQueueOutside(MiscOutsideCall call, void *argument) {
  // (The loop's own thread in a step, or between two where a close that waited is carried out;
  // never the server thread's step.)
  if (!(ordersStepRunning() || outsideEnding) || !outsideReady() || std::this_thread::get_id() == outsideThreadId)
    return false;
  try {
    outsideCalls.push_back(OutsideCall{call, argument, nullptr});
  } catch (const std::bad_alloc &) {
    return false;
  }
  outsideHolding = true;
  ordersNoWait();
  return true;
}

bool miscOutsideHolds() { return outsideHolding; }

bool miscOutsideYieldsFirst() {
  MiscYielding *y = yieldingNow;
  if (!y || !fiberRunning()) return false;
  return othersOwed(y->client) && waitForOwed(y->client);
}

void miscOutsideSettle() {
  // (No loop runs: the calls use what the reset frees next, the real displays and the stacks of
  // the handlers that queued them.)
  if (outsideCalls.empty()) {
    if (outsideHolding) endOutside(nullptr);
    return;
  }
  std::vector<OutsideCall> calls;
  calls.swap(outsideCalls);
  for (const OutsideCall &c : calls) c.call(c.argument);
  endOutside(lastCaller(calls));
}

void miscOutsideBeforeExit() {
  // One thread exits the process; the other one, should it come here too, waits for that end.
  static std::atomic<std::thread::id> exiting{};
  std::thread::id none{}, self = std::this_thread::get_id();
  if (!exiting.compare_exchange_strong(none, self) && none != self) {
    for (;;) pause();
  }
  if (!outsideThreadStarted || self == outsideThreadId) return;
  // The loop's own thread (its call ended by the exit): a server thread that runs the loop
  // ends its step first, so that the exit has the loop to itself.
  stopServing();
  std::unique_lock<std::mutex> lock(*outsideMutex);
  outsideChanged->wait_for(lock, std::chrono::seconds(2), [] { return !outsideServing; });
}

void miscWaitsOutside(uint8_t major, int minor) {
  try {
    outsideRequests.insert({major, minor});
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY();
  }
}

bool miscRequestWaitsOutside(const uint8_t *request) {
  return outsideRequests.count({request[0], -1}) || outsideRequests.count({request[0], int(request[1])});
}

void miscHoldOutside(ClientConnection *client) {
  if (client->outsideWaits) return;
  try {
    outsideWaiting.push_back(client);
  } catch (const std::bad_alloc &) {
    return;  // (served as before: what it runs waits in the cutter again)
  }
  client->outsideWaits = 1;
}

void miscAfterOutside(std::function<void()> work) {
  if (!outsideHolding) return work();
  try {
    outsideAfter.push_back(std::move(work));
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY();
  }
}
// ===== end of calls outside the loop =====

void miscCancelClientRead(ClientConnection *client) {
  ordersCancel(client->readOrder);
  client->readOrder = nullptr;
  bool wasTurn = client->readIsTurn;
  client->readIsTurn = 0;
  client->readTakesOnly = 0;
  if (wasTurn) settleTurnPlace(client);  // (answers may keep its place)
}

void miscReadClientInput(ClientConnection *client) {
  if (client->fd < 0) return;
  // Past its output mark the client is read but not served: what it sends waits in its input
  // until the output drains. Past the input's bound it is closed (alone: nobody waits for it).
  bool takeOnly = client->readTakesOnly;
  uint64_t limit = takeOnly ? std::min<uint64_t>(clientReadLimit(client), takeOnlyRoom(client)) : clientReadLimit(client);
  if (limit == 0) {
    LOG(logChannelWarning, "%s sent %u MB while it read none of its answers: closed", xscreenClientName(client),
        unsigned(client->input.length >> 20));
    return xproxyCloseClient(client, "Input past its bound while the output is full", 1);
  }
  bool fresh = client->input.length == 0, quiet = fresh && !client->output.first && client->turnStarted;
  int got = bufferReadFdRoom(client->fd, uint32_t(limit), &client->input);
  // Quiet for a slice or more, all its answers taken: it waited for its user; raised.
  // (Asking again at once ends what is left of a raise.) One that asks again as soon as it has
  // taken answers that came kTurnLateNs or more after it asked is raised again while its last
  // rest's raise time lasts (it waited for the proxy, not for its user); one that asks again at
  // once after prompt answers, or sends before it has taken them, is not.
  if (got == 1 && fresh) {
    int64_t now = ordersMonotonicNs();
    bool rested = quiet && now - client->turnQuietSinceNs >= kTurnQuietNs;
    bool carried = !rested && quiet && client->turnRaiseNs > 0 &&
                   client->turnQuietSinceNs - client->turnAskedNs >= kTurnLateNs;
    bool raised = rested || carried;
    client->turnAskedNs = now;
    client->turnRaiseNs = rested ? kTurnRaiseNs : carried ? client->turnRaiseNs : 0;
    client->turnRaiseTurns = raised ? kTurnRaiseTurns : 0;
  }
  if (got == 0) {
    // An input that ends inside the connection setup can never complete it: closed at once, as
    // the real server closes such a peer (not by the setup timer a minute later).
    if (client->reader.bytesNeeded == 0 && !setupComplete(client))
      return xproxyCloseClient(client, "Connection setup incomplete at the end of its input", 0);
    miscCancelClientRead(client);
    cancelHangupWatch(client);
    // Ended both ways (or broken): nobody reads what a drain would bring.
    bool gone = fdHungUp(client->fd);
    client->endRead = gone ? kEndDrained : kEndInput;
    if (!endCloser) endCloser = ordersAddIdle(onEndCloser, nullptr);
    if (!endCloser) xproxyCloseClient(client, "Broken connection", 1);  // no memory for the order
    // Whole requests it left are served first.
    if (!gone) miscScheduleClientReads(client);
    return;
  }
  if (takeOnly) return miscScheduleClientReads(client);  // (reads on, or stops at the bound)
  // While others wait for their turns, or once the pass's slice is used, it waits for its own.
  if ((turnsWaiting() || sliceUsed()) && inputServable(client)) return awaitTurn(client);
  serveClientInput(client);
}

void miscProcessBufferedInput(ClientConnection *client) {
  // The one-shot timer has fired (or a caller replaces it): a descriptor reader takes its place.
  miscCancelClientRead(client);
  if (client->fd < 0) return;
  // While others wait for their turns, or once the pass's slice is used, it waits for its own.
  if ((turnsWaiting() || sliceUsed()) && inputServable(client)) return awaitTurn(client);
  if (!client->endRead) client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
  serveClientInput(client);
}

int miscFlushClientOutput(ClientConnection *client) {
  int result = outbufferFlush(&client->output);
  if (result == kOutbufferError) {
    xproxyCloseClient(client, "Broken connection", 1);
    return 0;
  }
  if (result != kOutbufferPending) {
    ordersCancel(client->writeOrder);
    client->writeOrder = nullptr;
    client->turnQuietSinceNs = ordersMonotonicNs();  // (its answers all taken)
  }
  miscScheduleClientReads(client);
  return 1;
}

int miscFlushClientOutputWait(ClientConnection *client) {
  int result = outbufferFlushWait(&client->output, 0);
  if (result) {
    ordersCancel(client->writeOrder);
    client->writeOrder = nullptr;
  }
  miscScheduleClientReads(client);
  return result;
}

void miscScheduleClientReads(ClientConnection *client) {
  if (!client || client->life.closed) return;
  if (client->closeDeferred) {  // (its end comes once the call outside the loop has ended)
    miscCancelClientRead(client);
    cancelHangupWatch(client);
    return;
  }
  if (client->fd < 0) {
    // Retained: its server connections keep being read, whatever grab is in force. Nobody
    // takes its output any more: what the answers produced for it is dropped.
    if (client->retained) {
      if (client->output.first) {
        outbufferFree(&client->output);
        outbufferInit(&client->output, -1, armClientWriter, client);
      }
      mainFreeDeferredOutputs(client);
    }
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyArmDisplayReader(client->displays[i]);
    return;
  }
  // An impervious client (XTestGrabControl) keeps running through another client's server grab.
  bool served = !miscGrabbingClient || miscGrabbingClient == client || client->impervious;
  bool serverOutputLow = true;
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (outputSize(&client->displays[i]->output) > kMiscServerOutputMark) serverOutputLow = false;
  uint64_t ownOutput = outputSize(&client->output);
  // A client with setups pending stays unread: its requests would run with unknown id bases.
  // A client whose fake event waits for its delay is held: nothing of it is cut (XTEST watches
  // its socket meanwhile); so is a client whose request is parked for the real server's answer.
  bool readSocket = served && serverOutputLow && client->setupsPending == 0 && !client->xtestDelay &&
                    !client->park && !client->outsideWaits && !client->owedWait && client->endRead <= kEndInput;
  // One whose own output is past the mark is not served: it would only make the proxy queue
  // more answers for a client that does not take them. It is still read, whatever it sends
  // (takeOnly): a client that writes before it reads (python-xlib sends all it queued in one
  // blocking send) would otherwise wait for ever, and so would every client while it holds the
  // server; past its input's bound its read closes it. One whose input ended is served
  // whatever its output: nothing more comes.
  bool outputFull = ownOutput > kMiscClientOutputMark && !client->endRead;
  bool takeOnly = readSocket && outputFull;
  readSocket = readSocket && !outputFull;
  // ===== multimedia (flow control) =====
  // A client whose stream does not take a frame now is not read: its frames would queue without
  // bound. A short timer checks again (the engine flushes meanwhile); the loop never sleeps.
  if (readSocket && xproxyClientStreamsReady && !xproxyClientStreamsReady(client)) {
    readSocket = false;
    if (!client->multimediaRecheck)
      client->multimediaRecheck = ordersAddTimer(kXproxyStreamRecheckMs, onMultimediaRecheck, client);
  }
  // ===== end of multimedia (flow control) =====
  // A socket that is not read is watched for its end, whatever holds it (its end is seen also
  // when the client holds the server grab itself).
  if ((served && (readSocket || takeOnly)) || client->endRead)
    cancelHangupWatch(client);
  else
    armHangupWatch(client);
  if (takeOnly) {
    if (client->readOrder && !client->readTakesOnly) miscCancelClientRead(client);
    if (!client->readOrder) {
      client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
      client->readTakesOnly = client->readOrder != nullptr;
    }
  } else if (readSocket) {
    if (client->readTakesOnly) miscCancelClientRead(client);  // (served again: as below)
    // Whole requests left behind a turn that used the slice wait for the client's next turn, and
    // so does a request that stands still; other buffered input for the 8 ms timer.
    bool servable = inputServable(client);
    if (servable && (sliceUsed() || client->endRead || client->yielding) && !client->readIsTurn) awaitTurn(client);
    // Nothing left for a turn (nor for a timer of buffered input armed before a turn served it:
    // the socket is read again at once); an ended input is not read again: only what it left is
    // served.
    bool timerWaits = client->readOrder && !client->readOrder->pollSlot && !client->readIsTurn;
    if (!servable && (client->readIsTurn || client->endRead || timerWaits)) miscCancelClientRead(client);
    if (!client->readOrder && !client->endRead) {
      if (servable)
        client->readOrder = ordersAddTimer(kMiscBufferedInputDelayMs, onBufferedInput, client);
      else
        client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
    }
  } else {
    miscCancelClientRead(client);
  }
  if (served && ownOutput <= kMiscClientOutputMark) {
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyArmDisplayReader(client->displays[i]);
  } else {
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyCancelDisplayReader(client->displays[i]);
  }
}

void miscSuspendOtherClients(ClientConnection *grabber) {
  miscGrabbingClient = grabber;
  for (ClientConnection *c = xproxyClients; c; c = c->next) {
    if (c == grabber || c->fd < 0 || c->impervious) continue;
    miscCancelClientRead(c);
    armHangupWatch(c);
    for (uint32_t i = 0; i < c->displayCount; i++) xproxyCancelDisplayReader(c->displays[i]);
  }
}

void miscRescheduleAllClients() {
  miscGrabbingClient = nullptr;
  for (ClientConnection *c = xproxyClients; c; c = c->next) miscScheduleClientReads(c);
}
// ===== end of client reads, flushes and flow control =========================================

// ===== Display connections: open, read, flush, sync, close ==================================
uint32_t xproxySyncWaitLimitMs = kXproxySyncWaitDefaultMs;

void freeDisplayConnection(DisplayConnection *c) {
  bufferFree(&c->input);
  bufferFree(&c->syncInput);
  free(c->hostName);
  free(c);
}

namespace {

void onDisplayReadable(void *argument) { xproxyReadDisplayConnection(static_cast<DisplayConnection *>(argument)); }

void onDisplayWritable(void *argument) { xproxyFlushOrClose(static_cast<DisplayConnection *>(argument)); }

// One pass of the server-input cutter over the connection's input, within a turn of its owner
// (who holds it), with the connection and its owner held and current: false when the owner
// was closed meanwhile (a handler, a broken unit, a refused server setup, closed with its
// reason).
bool cutAnswers(DisplayConnection *c) {
  ClientConnection *owner = c->owner;
  {
    ConnectionPass pass(owner, c);
    xproxyServerInputCutter(c);
    if (pass.clientClosed()) return false;
  }
  if (owner->reader.bytesNeeded == kReaderStopped && owner->reader.stopReason[0]) {
    std::string reason = owner->reader.stopReason;
    xproxyCloseClient(owner, reason.c_str(), 0);
    return false;
  }
  return true;
}

// Whether the input holds a whole answer (the setup reply first) that no pass has handled yet.
// Only then is an idle order armed: a part of an answer waits for the socket.
bool displayInputComplete(const DisplayConnection *c) {
  if (c->reader.bytesNeeded == kReaderStopped) return false;
  const auto *data = reinterpret_cast<const uint8_t *>(c->input.data);
  uint64_t available = c->input.length > c->readPosition ? c->input.length - c->readPosition : 0;
  if (!data || available == 0) return false;
  data += c->readPosition;
  if (c->reader.bytesNeeded == 0) return available >= 8 && available >= 8 + 4 * uint64_t(data[6] | data[7] << 8);
  if (available < 32) return false;
  if (data[0] != 1 && data[0] != 35) return true;
  return xprotoUnitLength(data, 0) <= available;
}

bool displayBroken(DisplayConnection *c) { return c->fd < 0; }

// The most bytes one read of a display connection takes: the chunk, beyond the rest of an
// answer begun in the input (the cutter has made its room).
uint32_t displayReadLimit(const DisplayConnection *c) {
  uint64_t available = c->input.length > c->readPosition ? c->input.length - c->readPosition : 0;
  if (c->reader.bytesNeeded != 32 || available < 32) return kDisplayReadChunk;
  uint64_t length = xprotoUnitLength(reinterpret_cast<const uint8_t *>(c->input.data) + c->readPosition, 0);
  uint64_t rest = length > available ? length - available : 0;
  return uint32_t(rest + kDisplayReadChunk < UINT32_MAX ? rest + kDisplayReadChunk : UINT32_MAX);
}

// Reads once more for a sync, waiting until the deadline (monotonic ms) at most: 1 read,
// 0 broken, -1 nothing came in time.
int readForSync(DisplayConnection *c, Buffer *into, uint64_t deadline) {
  for (;;) {
    uint64_t now = ordersMonotonicMs();
    if (now >= deadline) return -1;
    uint64_t left = deadline - now;
    pollfd p{c->fd, POLLIN, 0};
    int ready = poll(&p, 1, int(left < 60000 ? left : 60000));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return 0;
    if (ready == 0) continue;
    int got = bufferReadFdAtMost(c->fd, kDisplayReadChunk, into);
    if (got == 0) return 0;
    if (got == 1) return 1;
  }
}

uint64_t syncDeadline() { return ordersMonotonicMs() + xproxySyncWaitLimitMs; }

// Whole answers read beyond the sync reply wait for the owner's turn in place of the reader,
// when flow control lets the connection be read at all.
void rearmAfterSync(DisplayConnection *c) {
  if (!c->life.holds && c->readOrder && displayInputComplete(c)) xproxyArmDisplayReader(c);
}

// The server holds the connection's requests back (a client waiting on a counter, a grab of
// another connection): the sync gives up. Its reply, when it comes, is dropped on arrival, and
// the connection goes on as before.
const char *syncTimedOut(DisplayConnection *c) {
  LOG(logChannelWarning, "No sync reply from %s for %s after %u ms: not waiting any longer", "X server",
      xscreenClientName(c->owner), unsigned(xproxySyncWaitLimitMs));
  xproxyDropLateReply(c, c->syncSequence);
  c->syncPending = 0;
  rearmAfterSync(c);
  return strTempPrintf("Sync with %s by %s timed out after %u ms", "X server", xscreenClientName(c->owner),
                       unsigned(xproxySyncWaitLimitMs));
}

// The search of a sync: the sync reply among the units of [data + from, data + length).
// 1 found (cut out), 0 not yet, -1 a unit longer than any answer taken (kDisplayAnswerMaximum).
int cutSyncReply(DisplayConnection *c, Buffer *input, uint32_t from) {
  uint64_t position = from;
  for (;;) {
    const uint8_t *unit = nullptr;
    uint64_t unitLength = 0;
    auto *data = reinterpret_cast<const uint8_t *>(input->data);
    int found = xprotoFindEvent(uint16_t(c->syncSequence), data + position, input->length - position, 0, &unit,
                                &unitLength);
    if (!found) {
      if (unit && unit + 32 <= data + input->length && xprotoUnitLength(unit, 0) > kDisplayAnswerMaximum) return -1;
      return 0;
    }
    if (unitLength == 36 && memcmp(unit + 32, "ARC", 3) == 0) {
      bufferCut(input, const_cast<char *>(reinterpret_cast<const char *>(unit)), 36);
      return 1;
    }
    LOG(logChannelWarning, "Not sync reply (seq overrun?)");
    position = uint64_t(unit - data) + unitLength;
  }
}

// Writes the sync request; NULL or the broken text.
const char *writeSync(DisplayConnection *c) {
  // GetAtomName of atom 3: its reply ("ARC") is recognisable among the answers.
  static const uint8_t request[8] = {0x11, 0, 2, 0, 3, 0, 0, 0};
  if (!xproxySendRequest(request, 8, c)) return OUT_OF_MEMORY_TEXT();
  c->syncSequence = c->lastWrittenSequence;
  if (const char *failure = xproxyFlushDisplayConnection(c)) {
    LOG(logChannelStep, "Broken connection to %s by %s after %u requests...", "X server",
        xscreenClientName(c->owner), c->requestsSent);
    return failure;
  }
  return nullptr;
}

// Waits for the sync reply until the deadline. While the connection's answers are being cut,
// the bytes after the unit being handled move to a side buffer so that the unit stays where
// its handler holds it.
const char *waitSync(DisplayConnection *c, uint64_t deadline) {
  Buffer *input = &c->input;
  uint32_t from = c->readPosition;
  if (c->life.holds) {
    if (c->readPosition < c->input.length) {
      if (!bufferAppendFrom(&c->input, c->readPosition, &c->syncInput)) return OUT_OF_MEMORY_TEXT();
      c->input.length = c->readPosition;
    }
    input = &c->syncInput;
    from = 0;
  } else if (c->reader.bytesNeeded == 0) {
    // The setup reply comes first and is no unit of 32 bytes.
    for (;;) {
      if (input->length >= 8) {
        uint64_t setupLength = 8 + 4 * uint64_t(uint8_t(input->data[6]) | uint8_t(input->data[7]) << 8);
        if (input->length >= setupLength) {
          from = uint32_t(setupLength);
          break;
        }
      }
      int got = readForSync(c, input, deadline);
      if (got < 0) return syncTimedOut(c);
      if (got == 0) return xproxyBrokenConnectionText(c->owner);
    }
  }
  for (;;) {
    int found = cutSyncReply(c, input, from);
    if (found == 1) break;
    int got = found < 0 ? 0 : readForSync(c, input, deadline);
    if (got < 0) return syncTimedOut(c);
    if (got == 0) {
      LOG(logChannelStep, "Broken connection to %s by %s after %u requests...", "X server",
          xscreenClientName(c->owner), c->requestsSent);
      return xproxyBrokenConnectionText(c->owner);
    }
  }
  c->syncPending = 0;
  rearmAfterSync(c);
  return nullptr;
}

// Runs step on every display connection of the listed clients (of the set-up ones only when
// asked) until one fails; that failure, or NULL.
template <typename Step>
const char *eachDisplayConnection(bool setUpOnly, Step step) {
  for (ClientConnection *client = xproxyClients; client; client = client->next) {
    if (setUpOnly && !client->setUp) continue;
    for (uint32_t i = 0; i < client->displayCount; i++)
      if (const char *failure = step(client->displays[i])) return failure;
  }
  return nullptr;
}

// Waits for the syncs written on the display connections of the listed clients (of the set-up
// ones only when asked; only those marked pending when asked), every one of them also after a
// failure: the first failure, or NULL.
const char *waitEverySync(bool setUpOnly, uint64_t deadline, bool pendingOnly) {
  const char *first = nullptr;
  eachDisplayConnection(setUpOnly, [&](DisplayConnection *c) -> const char * {
    if (pendingOnly && !c->syncPending) return nullptr;
    if (const char *failure = waitSync(c, deadline); failure && !first) first = failure;
    return nullptr;
  });
  return first;
}

// Closes the owner after a broken display connection; the text names the client.
void closeBroken(DisplayConnection *c) {
  ClientConnection *owner = c->owner;
  xproxyCloseClient(owner, xproxyBrokenConnectionText(owner), 0);
}

}  // namespace

DisplayConnection *xproxyAdoptDisplayConnection(ClientConnection *client, ServerDisplay *display,
                                                XtransConnInfo transport, int fd, const char *host,
                                                int displayNumber, int family) {
  auto *c = static_cast<DisplayConnection *>(calloc(1, sizeof(DisplayConnection)));
  char *hostCopy = strdup(host ? host : "");
  auto **array = static_cast<DisplayConnection **>(
      realloc(client->displays, sizeof(DisplayConnection *) * (client->displayCount + 1)));
  if (array) client->displays = array;
  auto fail = [&]() -> DisplayConnection * {
    if (c) xproxyEndSequenceMap(c);
    free(c);
    free(hostCopy);
    return nullptr;
  };
  if (!c || !hostCopy || !array) {
    logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__);
    return fail();
  }
  if (!xproxyStartSequenceMap(c)) return fail();
  c->transport = transport;
  c->fd = fd;
  outbufferInit(&c->output, fd, xproxyArmDisplayWriter, c);
  c->reader.sink = {xproxyBeginRequest, c};
  c->owner = client;
  c->display = display;
  c->displayNumber = uint16_t(displayNumber);
  c->family = uint16_t(family);
  c->hostName = hostCopy;
  c->readOrder = ordersAddReader(fd, onDisplayReadable, c);
  if (!c->readOrder) return fail();
  client->displays[client->displayCount++] = c;
  return c;
}

DisplayConnection *xproxyOpenDisplayConnection(ClientConnection *client, ServerDisplay *display) {
  int fd = -1, number = 0, family = 0;
  char *host = nullptr;
  XtransConnInfo transport = clientconnectionConnect(display ? display->name : nullptr, &fd, &host, &number, &family);
  if (!transport) return nullptr;
  DisplayConnection *c = xproxyAdoptDisplayConnection(client, display, transport, fd, host, number, family);
  free(host);
  if (!c) clientconnectionClose(transport);
  return c;
}

void xproxyArmDisplayWriter(void *argument) {
  auto *c = static_cast<DisplayConnection *>(argument);
  if (c->writeOrder || c->fd < 0) return;
  c->writeOrder = ordersAddWriter(c->fd, onDisplayWritable, c);
}

void xproxyArmDisplayReader(DisplayConnection *c) {
  if (c->fd < 0 || c->life.closed || c->answersDue) return;
  // Whole answers already in the input (a pass that ended with its turn, a sync that read
  // beyond its reply) wait for the owner's turn; what a pass still cuts is its own.
  // (The reader stands still meanwhile: a quiet socket costs nothing.)
  if (!c->readOrder) c->readOrder = ordersAddReader(c->fd, onDisplayReadable, c);
  if (!c->life.holds && displayInputComplete(c)) {
    ordersPause(c->readOrder);
    c->answersDue = 1;
    settleTurnPlace(c->owner);
    return;
  }
  ordersResume(c->readOrder);
}

void xproxyCancelDisplayReader(DisplayConnection *c) {
  ordersCancel(c->readOrder);
  c->readOrder = nullptr;
  if (c->answersDue) {
    c->answersDue = 0;
    settleTurnPlace(c->owner);
  }
}

const char *xproxySyncDisplayConnection(DisplayConnection *c) {
  if (displayBroken(c)) return xproxyBrokenConnectionText(c->owner);
  if (const char *failure = writeSync(c)) return failure;
  mainRefreshHeads();
  return waitSync(c, syncDeadline());
}

const char *xproxySyncClient(ClientConnection *client) {
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (const char *failure = writeSync(client->displays[i])) return failure;
  mainRefreshHeads();
  // Every sync written is waited for (or given up, and its reply dropped), also after a failure.
  uint64_t deadline = syncDeadline();
  const char *first = nullptr;
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (const char *failure = waitSync(client->displays[i], deadline); failure && !first) first = failure;
  return first;
}

const char *xproxySyncAllClients() {
  if (const char *failure = eachDisplayConnection(true, writeSync)) return failure;
  mainRefreshHeads();
  uint64_t deadline = syncDeadline();
  return waitEverySync(true, deadline, false);
}

const char *xproxySyncBeginPending() {
  const char *failure = eachDisplayConnection(true, [](DisplayConnection *c) -> const char * {
    if (!c->output.first || c->syncPending) return nullptr;
    if (const char *broken = writeSync(c)) return broken;
    c->syncPending = 1;
    return nullptr;
  });
  if (failure) return failure;
  mainRefreshHeads();
  return nullptr;
}

const char *xproxySyncEndPending() {
  return waitEverySync(false, syncDeadline(), true);
}

const char *xproxySyncXlib(Display *display, const char *what) {
  const char *failure = display ? xtargetSync(display, xproxySyncWaitLimitMs) : nullptr;
  if (failure) LOG(logChannelProblem, "The round trip on the proxy's own connection for %s failed: %s", what, failure);
  return failure;
}

const char *xproxyFlushDisplayConnection(DisplayConnection *c) {
  if (displayBroken(c)) return xproxyBrokenConnectionText(c->owner);
  if (!c->output.first) return nullptr;
  // outbufferFlushWait gives 1 when everything was written; a server that takes nothing for
  // the sync limit is given up like a sync (what is left goes out from the write order).
  if (!outbufferFlushWait(&c->output, int(xproxySyncWaitLimitMs))) {
    if (c->fd >= 0 && c->output.first && outbufferFlush(&c->output) == kOutbufferPending)
      return strTempPrintf("Writing to %s by %s timed out after %u ms", "X server", xscreenClientName(c->owner),
                           unsigned(xproxySyncWaitLimitMs));
    return xproxyBrokenConnectionText(c->owner);
  }
  ordersCancel(c->writeOrder);
  c->writeOrder = nullptr;
  if (c->owner && !c->owner->readOrder) miscScheduleClientReads(c->owner);
  return nullptr;
}

int xproxyFlushOrClose(DisplayConnection *c) {
  int result = outbufferFlush(&c->output);
  if (result == kOutbufferError) {
    closeBroken(c);
    return 0;
  }
  if (result != kOutbufferPending) {
    ordersCancel(c->writeOrder);
    c->writeOrder = nullptr;
    if (!c->owner->readOrder) miscScheduleClientReads(c->owner);
  } else {
    miscScheduleClientReads(c->owner);
  }
  return 1;
}

void xproxyCloseDisplayConnection(DisplayConnection *c) {
  if (!c || c->life.closed) return;
  xproxyCancelDisplayReader(c);
  // Output still queued goes out as far as the socket takes it at once: a server that stopped
  // reading must not freeze the proxy.
  if (c->output.first && c->fd >= 0) outbufferFlush(&c->output);
  outbufferFree(&c->output);
  ordersCancel(c->writeOrder);
  c->writeOrder = nullptr;
  if (c->transport)
    clientconnectionClose(c->transport);
  else if (c->fd >= 0)
    ::close(c->fd);
  c->transport = nullptr;
  c->fd = -1;
  xproxyEndSequenceMap(c);  // queued callbacks are discarded
  if (c->imageRingClose) c->imageRingClose(c);
  if (ClientConnection *owner = c->owner) {
    for (uint32_t i = 0; i < owner->displayCount; i++) {
      if (owner->displays[i] != c) continue;
      for (uint32_t j = i + 1; j < owner->displayCount; j++) owner->displays[j - 1] = owner->displays[j];
      owner->displayCount--;
      break;
    }
  }
  c->reader.bytesNeeded = kReaderStopped;  // a cutter still running stops after its handler
  if (c->life.holds) {
    c->life.closed = 1;  // the pass that holds it frees it
    return;
  }
  if (xproxyCurrentDisplayConnection == c) xproxyCurrentDisplayConnection = nullptr;
  freeDisplayConnection(c);
}

void xproxyReadDisplayConnection(DisplayConnection *c) {
  int got = bufferReadFdRoom(c->fd, displayReadLimit(c), &c->input);
  if (got == 0) {
    if (xproxyCurrentDisplayConnection == c) xproxyCurrentDisplayConnection = nullptr;
    closeBroken(c);
    return;
  }
  // While others wait for their turns, or once the pass's slice is used, whole answers wait for
  // the owner's; else they are handled now, as a turn of the owner (so is the part of one, which
  // only makes its room).
  ClientConnection *owner = c->owner;
  if ((turnsWaiting() || sliceUsed()) && displayInputComplete(c)) {
    xproxyArmDisplayReader(c);
    return;
  }
  c->answersDue = 1;
  serveTurn(owner, false);
}

// ----- Passes -----
ConnectionPass::ConnectionPass(ClientConnection *client, DisplayConnection *connection)
    : client_(client),
      connection_(connection),
      previousClient_(xproxyCurrentClient),
      previousConnection_(xproxyCurrentDisplayConnection) {
  if (client_) xproxyHoldClient(client_);
  if (connection_) connection_->life.holds++;
  xproxyCurrentClient = client;
  xproxyCurrentDisplayConnection = connection;
}

ConnectionPass::~ConnectionPass() {
  xproxyCurrentClient = previousClient_;
  xproxyCurrentDisplayConnection = previousConnection_;
  if (connection_ && --connection_->life.holds == 0 && connection_->life.closed) {
    if (xproxyCurrentDisplayConnection == connection_) xproxyCurrentDisplayConnection = nullptr;
    freeDisplayConnection(connection_);
  }
  if (client_) {
    bool freed = client_->life.closed && client_->life.holds == 1;
    if (freed && xproxyCurrentClient == client_) xproxyCurrentClient = nullptr;
    xproxyReleaseClient(client_);
  }
}

bool ConnectionPass::clientClosed() const { return client_ && client_->life.closed; }
bool ConnectionPass::connectionClosed() const { return connection_ && connection_->life.closed; }
// ===== end of display connections ===========================================================
