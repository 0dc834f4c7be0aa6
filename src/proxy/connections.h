// Client connections at run time and the display connections each one holds: the client list,
// accept and close, reads of client input and of server answers, flushes, flow control and
// server grabs, the blocking syncs. What was read goes up to the cutters (proxy/streams.h)
// through the two pointers at the end.
#pragma once

#include <cstdint>
#include <functional>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "support/buffer.h"

// ===== Client connections: the client list, accept and close ================================
// Takes an accepted connection (transport may be NULL for a bare descriptor, as tests use):
// arms its reader, takes a client slot and lists it. NULL when refused (logged; the
// connection is closed).
ClientConnection *xproxyAdoptClient(XtransConnInfo transport, int fd);
ClientConnection *xproxyClientByIndex(uint32_t index);
// The client whose ids carry that slot; NULL for the proxy's own ids (slot 0).
ClientConnection *xproxyClientOfXid(uint32_t id);
// Closes a client: retained (socket closed, server connections kept) when its close-down mode
// asks for it, it was set up and retainAllowed; else fully. A client held by a pass is only
// marked closed and is freed when the last hold ends (xproxyReleaseClient, ConnectionPass).
// Every order, reply callback, deferred block and grab that points at the client or one of its
// display connections is cancelled here, on both branches.
void xproxyCloseClient(ClientConnection *client, const char *reason, int retainAllowed);
// The close's part of parked requests (defined with them, proxy/park.cpp): the client's parked
// request is dropped without running.
void xproxyDropPark(ClientConnection *client);
// The drain of a client whose input ended (defined with parked requests, proxy/park.cpp): a
// round trip parked behind its last requests; `drained` runs as a parked request's resume does.
void xproxyParkDrain(ClientConnection *client, void (*drained)(uint8_t *request, uint32_t length, const char *failure));
// The raw connections of a fully closed client depart (the reset's own close excepted): the
// requests queued for them are written, their writing side is shut, and each stays open,
// read with its answers dropped, until the real server closes it (one the server holds
// without reading, asleep say, is ended by a KillClient of the proxy's own connection once it
// stalls). The client's slot keeps its id bases until the server has closed them and the
// marker that follows is out; a raw connection that has not read that marker yet still reads
// the departed client's ids there (see Departure in connections.cpp).
// Connections the server has not closed once it has read none of the departing connections on
// their display for kXproxyDepartureLimitMs are ended so too (a busy server that reads them,
// however slowly, is waited for; one that it passes over for half a minute while it reads the
// others is taken to hold asleep and ended).
constexpr uint64_t kXproxyDepartureLimitMs = 5000;
// Ends every departure at once (reset): sockets closed, slots released.
void xproxyEndDepartures();
// Ends the departing connections to a real display that goes.
void xproxyEndDeparturesTo(ServerDisplay *display);
// A ClientMessage sent to the window came back on a display's Xlib connection: when it is that
// display's marker window, the departure watch's probe is back (the server ran).
void xproxyServerProbeBack(struct _XDisplay *display, uint32_t window);
// A new raw connection got the base a departing slot keeps (resourceSetScreenIdBase): the
// server has closed the departed client; its marker goes out now, before any request of the
// new connection.
void xproxyDepartedBaseTaken(uint32_t slot);
// A raw connection's setup is done: it selects the display's departure markers and makes a GC
// (DisplayConnection::departureHandle; requests the proxy adds), and notes the serial sent so
// far (DisplayConnection::markerFloor). 1 when the selection was written: the client's setup
// then waits until the server has run it (xproxyMarkersSelected); 0 when there is nothing to
// select (no marker window).
int xproxyAskForMarkers(DisplayConnection *c);
// The server has run the connection's selection of markers (a round trip written behind it was
// answered): every marker sent so far ran before it, or reaches the connection in the server's
// order, and the floor rises to the last serial. Called while the client's own requests still
// wait for its setup, so that nothing it selects can come before those markers: a marker that
// the server ran before the selection, after the selection was written, never reaches the
// connection and must not leave it before that marker.
void xproxyMarkersSelected(DisplayConnection *c);
// An event read from a raw connection: 1 when it is a departure marker the proxy sent (noted;
// the caller drops it), else 0 (whatever else names the marker window is a client's event).
int xproxyDepartureMarkerRead(DisplayConnection *c, const uint8_t *event);
// Departures under way (tests).
uint32_t xproxyDepartureCount();
// The five data words of the last marker sent, as a raw connection reads them (tests).
void xproxyLastMarkerWords(uint32_t words[5]);
// Holds a client record (DeferredFree); the release frees a client that was closed meanwhile
// when no other hold remains. Returns 0 when it was freed.
void xproxyHoldClient(ClientConnection *client);
int xproxyReleaseClient(ClientConnection *client);

// One pass over a client's input or a display connection's answers: for its scope the client
// (and the connection, when given) are held and current; leaving the scope restores what was
// current before and frees what was closed meanwhile. A handler that closes the very records
// of its pass leaves nothing behind: the close cancels their orders, the guard frees them.
class ConnectionPass {
 public:
  explicit ConnectionPass(ClientConnection *client, DisplayConnection *connection = nullptr);
  ~ConnectionPass();
  ConnectionPass(const ConnectionPass &) = delete;
  ConnectionPass &operator=(const ConnectionPass &) = delete;
  // Closed (fully) while the pass ran: the record is still readable, but must not be used
  // for anything else, and is freed when the pass ends.
  bool clientClosed() const;
  bool connectionClosed() const;

 private:
  ClientConnection *client_;
  DisplayConnection *connection_;
  ClientConnection *previousClient_;
  DisplayConnection *previousConnection_;
};
// Asks the event loop for a reset (logged); the count of requests so far (tests read it).
void xproxyRequestReset(const char *reason);
extern uint32_t xproxyResetRequests;
// The log name of a client's close-down mode.
const char *xproxyCloseDownModeName(uint8_t mode);
// ===== end of client connections =============================================================

// ===== Client reads, flushes and flow control ===============================================
// Flow-control marks, in the bytes an output holds (outbufferCapacity: each block at its own
// size, so a long reply counts all it takes).
constexpr uint64_t kMiscServerOutputMark = 0x20000;  // towards the server: 128 KB
constexpr uint64_t kMiscClientOutputMark = 0x80000;  // towards the client: 512 KB
// A client whose output is past the mark is read, not served: what it sends waits in its input,
// however much one honest send is (a client that writes before it reads never waits for ever).
// Past this bound (or a longer request begun at its start) the client is closed with a log line;
// nobody else waits for it. Tests may lower the bound.
constexpr uint64_t kMiscClientInputLimitDefault = uint64_t(1) << 30;  // 1 GB
extern uint64_t miscClientInputLimit;
constexpr uint32_t kMiscReadChunk = 65536;           // most bytes taken per readiness (but see
                                                     // the rest of a longer request)
constexpr uint64_t kMiscBufferedInputDelayMs = 8;

// Read order: reads, cuts and dispatches, then writes out the client's display connections
// (while the client's output is past its mark: only reads, ClientConnection::readTakesOnly).
// A read of nothing ends the client's input (ClientConnection::endRead): a client that only
// shut its writing side still reads the replies, events and errors of what it sent, so the
// requests it left are served (whatever its output holds), a round trip on its display
// connections follows them (a parked drain), and once that is answered (or the sync limit
// passed) the client is closed; one whose socket ended both ways (or broke), or whose output is
// past its mark (it does not read what the drain brings), is closed without the drain.
constexpr uint8_t kEndInput = 1, kEndDraining = 2, kEndDrained = 3;
void miscReadClientInput(ClientConnection *client);
// The slice of a client's turn (connections.cpp: turns): asked by the cutter between requests,
// miscTurnOver says whether the turn being served has used it (false outside a turn).
constexpr int64_t kMiscTurnNs = 2'000'000;
bool miscTurnOver();
// What is left of the turn being served (ns; 0 once it is over, and outside a turn).
int64_t miscTurnLeftNs();
// The cutter reads the clock for miscTurnOver once per kMiscTurnCheckRequests requests or
// kMiscTurnCheckBytes bytes of them (a cheap request costs less than a reading of the clock).
constexpr uint32_t kMiscTurnCheckRequests = 16;
constexpr uint32_t kMiscTurnCheckBytes = 32768;
// Requests whose work may pass the client's turn (GL executed inside the proxy) yield it
// instead: the handler runs through miscRunYielding, on a stack of its own (support/fiber.h)
// with a copy of its request. Where its work can stand still it asks miscYieldTurn once the
// turn is over (miscTurnOver): the handler is suspended there, the cutter stops after its
// request, and the client waits in the queue of turns with its later requests behind it; its
// next turn resumes the handler before anything else of the client is cut. miscYieldTurn
// returns false when the client is closing meanwhile: the work ends at once (its close resumes
// it for that, before anything of the client goes). Outside such a handler (miscCanYield false)
// nothing is suspended. A close of another client is never called from inside such a handler.
using MiscRequestHandler = void (*)(uint8_t *request, uint32_t length, uint8_t *);
void miscRunYielding(MiscRequestHandler handler, uint8_t *request, uint32_t length);
bool miscCanYield();
bool miscYieldTurn();
// Whether the handler that runs through miscRunYielding is to end (its client is closing), as
// miscYieldTurn would answer, without yielding; false outside one.
bool miscYieldingEnds();
// Ends the client's suspended handler (its close): resumed with the client closing, it ends
// its work at once.
void miscEndYielding(ClientConnection *client);
// Calls that may block for long (a call of the GL library: a finish, a swap, a compile) run
// outside the loop. From a handler that may yield, miscCallOutside queues the call and suspends
// the handler; once the loop's step is over, the loop's own thread makes the call while a
// second thread serves the loop meanwhile, and the handler goes on at its client's next turn
// after the call. So the call runs on the thread that has the library's contexts current, and
// nothing else calls the library meanwhile: from the call's queueing until its end
// (miscOutsideHolds), what may call the library waits. A request that may (miscWaitsOutside)
// is not cut, a suspended handler and a parked request of GL (XproxyPark::outside) are not
// resumed, and a close of a client is carried out only afterwards; work that cannot wait tells
// miscAfterOutside what it leaves for then. Everything else is served as always, one thread
// at a time: the call itself touches nothing of the proxy's. Outside a handler that may yield
// (or without the second thread) the call is made at once.
using MiscOutsideCall = void (*)(void *argument);
void miscCallOutside(MiscOutsideCall call, void *argument);
bool miscOutsideHolds();
// Queues a call that nobody's handler waits for (the end of a context, whose client goes on or
// has gone) to be made outside the loop once the step is over, as miscCallOutside's calls are,
// holding what they hold until it ends; the call owns its argument (and frees it). False, with
// nothing queued, where it cannot be: no step of the loop's own thread runs (start-up, the
// exit, a test's direct call) or no second thread can be had; the caller makes it at once.
bool miscQueueOutside(MiscOutsideCall call, void *argument);
// Whether the handler is to yield its turn once before its call: other clients that the last
// call held have not had their turn since, and go first, so that calls that come back to back
// share the library with the GL work they hold.
bool miscOutsideYieldsFirst();
// Requests of the major opcode (of its minor only, 0..255; -1 every one) may call the library.
void miscWaitsOutside(uint8_t major, int minor);
bool miscRequestWaitsOutside(const uint8_t *request);
// The client has a request or a handler that waits for the call's end: it is served again then.
void miscHoldOutside(ClientConnection *client);
// Runs work once the call has ended, before the clients that waited are served again (at once
// when no call holds).
void miscAfterOutside(std::function<void()> work);
// Called by a reset before it closes the real displays and the clients: the queued calls (the
// loop stopped before it made them) are made at once, and what waited for them goes on.
void miscOutsideSettle();
// Called first by the process's exit: the loop's thread lets a server thread that runs the loop
// end its step (for at most two seconds) before the exit frees the loop; a second thread that
// comes to exit meanwhile waits for the first one's end.
void miscOutsideBeforeExit();
// Called by the cutter between requests: once a pass has translated for kMiscFeedNs since it
// began or last fed, what the client's display connections hold is written out (as far as the
// sockets take it, never waiting), so that the real server works on the first requests of a
// long pass while the rest are translated. Outside a pass it does nothing; errors are left to
// the flush at the pass's end.
constexpr int64_t kMiscFeedNs = 100000;
constexpr uint32_t kMiscFeedEvery = 32;  // requests between looks at the clock
void miscFeedDisplays(ClientConnection *client);
// The 8 ms timer of input already buffered.
void miscProcessBufferedInput(ClientConnection *client);
// The client's read order (a reader, the buffered-input timer or its place in the queue of turns)
// is cancelled: every change of it goes through this (a pointer to an order is never dropped
// without cancelling it, and a client never stays queued for a turn without its order).
void miscCancelClientRead(ClientConnection *client);
// Write order of the client socket: 0 when the client was closed, else 1.
int miscFlushClientOutput(ClientConnection *client);
// Writes the whole output out, waiting: 1 when everything was written, else 0.
int miscFlushClientOutputWait(ClientConnection *client);
// Arms or cancels the reads of the client socket and of its display connections.
void miscScheduleClientReads(ClientConnection *client);
// A server grab begins / ends.
void miscSuspendOtherClients(ClientConnection *grabber);
void miscRescheduleAllClients();
// ===== end of client reads, flushes and flow control =========================================
// ===== multimedia streams of clients =====
// Set by the multimedia extension's set-up (NULL while it is not served): the client close
// frees a client's streams through the first; flow control does not read a client whose
// streams do not take a frame now (the second returns false), and checks again every
// kXproxyStreamRecheckMs.
using XproxyClientStreamsFree = void (*)(ClientConnection *client);
using XproxyClientStreamsReady = bool (*)(const ClientConnection *client);
extern XproxyClientStreamsFree xproxyFreeClientStreams;
extern XproxyClientStreamsReady xproxyClientStreamsReady;
constexpr unsigned kXproxyStreamRecheckMs = 5;
// ===== end of multimedia streams of clients =====
// ===== GLX context tags of clients =====
// Set by the GLX set-up: the full close of a client releases its GLX context tags through it
// (before its display connections close).
using XproxyClientGlxGone = void (*)(ClientConnection *client);
extern XproxyClientGlxGone xproxyGlxClientGone;
// ===== end of GLX context tags of clients =====

// ===== Display connections: open, read, flush, sync, close ==================================
// Connects to the display's name and adds the connection to the client's array; NULL when
// that fails (logged). The adopt form takes a connected descriptor (transport may be NULL).
DisplayConnection *xproxyOpenDisplayConnection(ClientConnection *client, ServerDisplay *display);
DisplayConnection *xproxyAdoptDisplayConnection(ClientConnection *client, ServerDisplay *display,
                                                XtransConnInfo transport, int fd, const char *host,
                                                int displayNumber, int family);
// The output callback: arms the write order when data enters the empty output.
void xproxyArmDisplayWriter(void *connection);
// Flow control's two switches of the read order (an idle order when input is buffered).
void xproxyArmDisplayReader(DisplayConnection *connection);
void xproxyCancelDisplayReader(DisplayConnection *connection);
// Blocking round trips: NULL, the broken-connection text, or a time-out text when no answer
// came within xproxySyncWaitLimitMs (the server may hold a connection's requests back, as
// after a SYNC Await, until another client acts, and that client is read only by the loop
// being blocked here). A timed-out sync's reply is dropped when it arrives; the connection
// stays usable. Tests may lower the limit.
constexpr uint32_t kXproxySyncWaitDefaultMs = 5000;
extern uint32_t xproxySyncWaitLimitMs;
const char *xproxySyncDisplayConnection(DisplayConnection *connection);
const char *xproxySyncClient(ClientConnection *client);
const char *xproxySyncAllClients();
// A round trip on the proxy's own Xlib connection inside the loop, bounded by the sync limit:
// NULL once the server answered (what came before is in Xlib's queue, as after XSync), else the
// failure, logged as the round trip for `what`.
const char *xproxySyncXlib(struct _XDisplay *display, const char *what);
// The pair: sync requests on the connections with output queued (marked sync pending), then
// the waits for the marked ones.
const char *xproxySyncBeginPending();
const char *xproxySyncEndPending();
const char *xproxyFlushDisplayConnection(DisplayConnection *connection);
int xproxyFlushOrClose(DisplayConnection *connection);
void xproxyCloseDisplayConnection(DisplayConnection *connection);
void xproxyReadDisplayConnection(DisplayConnection *connection);

// The cutters above this layer: the client input cutter returns NULL to keep the client or the
// reason to close it (xprotoProcessInput); the server input cutter handles a display
// connection's answers (xprotoProcessServerInput). Defined with the cutters, which set them;
// tests may replace them.
using ClientInputCutter = const char *(*)(ProtocolReader *reader, Buffer *input);
using ServerInputCutter = void (*)(DisplayConnection *connection);
extern ClientInputCutter xproxyClientInputCutter;
extern ServerInputCutter xproxyServerInputCutter;
// ===== end of display connections ===========================================================
