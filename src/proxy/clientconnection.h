// The proxy's thin layer over the X transport layer: listeners and accepted connections of X
// clients, and raw connections to a real display.
#pragma once

#include <cstdint>

#include "proxy/access.h"
#include "proxy/xtrans.h"
#include "support/buffer.h"
#include "support/outbuffer.h"

struct DisplayConnection;
struct DeferredOutput;
struct EventSelection;
struct MetaScreen;
struct PassiveGrab;
struct WindowRecord;
struct Region;
struct Order;

// A message's wire layout: the field letters that the byte swapper (xext/byteswap.h) walks.
// NULL and "" swap nothing.
using WireLayout = const char *;

// Where a protocol builder writes a request: begin reserves `length` bytes (header included,
// the BIG-REQUESTS form when longer than 0x3fffc), writes the header, counts and records the
// request and returns where its body goes (byte 4 on); NULL when no room can be had.
using RequestBeginHook = uint8_t *(*)(void *context, uint8_t opcode, uint8_t dataByte, uint32_t length);
struct RequestSink {
  RequestBeginHook begin;
  void *context;
};

// The cutting state of one protocol stream (a client's requests, or a real server's answers on
// a display connection).
constexpr uint32_t kReaderStopped = 0xffffffffu;
struct ProtocolReader {
  uint32_t bytesNeeded;  // 0 until the setup has been read; then 4 (requests) or 32 (answers);
                         // kReaderStopped once a handler has stopped the stream
  uint8_t swapped;       // 1: the peer sends most significant byte first
  RequestSink sink;      // display connections only: the writer of the proxy's own requests
  char stopReason[256];  // the text given with the stop; empty: a pause
  uint64_t skip;         // bytes of a refused big request still to be dropped as they arrive
};

// ----- Lifetimes of client and display connection records -----
// The rule for every record that callbacks can point at (a client, a display connection, a
// window, a head): whoever arms an event-loop order (idle, timer, descriptor, quiet), a reply
// callback, a deferred-output block, a poll entry or a grab that points at the record cancels
// it on every path that frees the record (full close, retained close, KillClient, a broken
// server connection, reset, exit). A pointer field to an order is never cleared without
// ordersCancel (a fired one-shot timer is the exception: the loop has already ended it).
//
// Deferred free: a pass over a connection's input (and every handler below it) may close the
// very record it serves. The pass holds the record; a close while it is held does everything
// but the free and marks it closed; the last hold to end frees it. One mechanism for clients
// and display connections (ConnectionPass in proxy/connections.h is the guard that holds).
struct DeferredFree {
  uint16_t holds;  // passes (and their handlers) currently using the record
  uint8_t closed;  // closed while held: the last release frees it
};

// A connected X client, from accept to close. Allocated zeroed; listed in the global client list.
struct ClientConnection {
  XtransConnInfo transport;  // the accepted connection; NULL once the socket is closed
  ClientConnection *next;    // global client list; the head's prev is the tail
  ClientConnection *prev;
  uint32_t index;            // slot 1..1023: resource-table index and top bits of its ids
  int fd;                    // the socket's descriptor; -1 once closed
  // Descriptor reader, or the 8 ms one-shot timer while input is buffered, or, while whole
  // requests wait for the client's turn, the reader standing still (ordersPause; readIsTurn set:
  // the client has its place in the scheduler's queue, connections.cpp). Armed by flow control
  // (miscScheduleClientReads), the reads and the accept; cancelled by flow control, a server
  // grab of another client and the close of the socket (a cancel gives up the place unless
  // answers keep it). While the client's output is past its mark the reader only takes bytes
  // into the input, up to its bound, and serves nothing (readTakesOnly set; connections.cpp).
  Order *readOrder;
  uint8_t readIsTurn;
  uint8_t readTakesOnly;
  // Its place among the clients served by turns (connections.cpp): its virtual time (the time
  // its turns took, each counted from where the queue counts it), the average time of its last
  // turns, and whether it has had a turn (a newcomer has not). While it waits in the queue of
  // turns (turnQueued: 1, or 2 among the newcomers; for requests, readIsTurn, or for answers due
  // on a display connection): its deadline when it came (0: raised) and its arrival. Entered and left only
  // through the queue's own functions; the close leaves it (its socket's and its display
  // connections' cancels).
  int64_t turnVirtualNs;
  int64_t turnSliceNs;
  int64_t turnDeadlineNs;
  // Raised above the others for so many more turns and this much turn time (it asked after a
  // quiet time; the time left also raises it again when it asks at once after late answers: it
  // waited for the proxy), since when it is quiet (its last turn's end, or its output's last
  // drain), and when it last asked (its input empty before).
  int64_t turnRaiseNs;
  uint8_t turnRaiseTurns;
  int64_t turnQuietSinceNs;
  int64_t turnAskedNs;
  uint64_t turnSerial;
  uint8_t turnQueued;
  uint8_t turnStarted;
  Order *writeOrder;         // armed by the output callback; cancelled by a complete flush or the close
  // While the socket is not read (another client's server grab, or its own state: a full input
  // and output, a parked request, a setup pending): a watch for its end, so that a client
  // leaving meanwhile is closed at once, as the real server closes it, whatever it holds. Armed
  // and cancelled by flow control (miscScheduleClientReads, miscSuspendOtherClients); cancelled
  // with the socket (closeClientSocket).
  Order *hangupWatch;
  Buffer input;              // bytes read and not yet cut
  ProtocolReader reader;
  OutBuffer output;
  DisplayConnection **displays;  // one per real display, in the order of the real-display list
  uint32_t displayCount;
  uint32_t sequence;             // requests counted so far (the client's sequence number)
  // the drawable last resolved (resourceCacheDrawable)
  uint32_t cachedType;
  void *cachedRecord;
  MetaScreen *cachedScreen;
  Region *requestRegion;
  uint16_t replySequence;        // client sequence of the reply, event or error being translated
  uint8_t setUp;                 // the real servers' setup replies have been handled
  uint8_t retained;              // socket gone, server connections and resources kept
  // Its input ended (kEnd* in connections.h): no longer read; its whole requests left are
  // served, a round trip behind them brings their answers, then the loop's closer closes it.
  uint8_t endRead;
  uint8_t halfClosed;            // shut its writing side while its socket was not read (hang-up watch)
  uint8_t closingForReset;
  uint8_t closeDownMode;         // 0 DestroyAll, 1 RetainPermanent, 2 RetainTemporary
  uint8_t setupsPending;         // setups sent to real displays whose replies have not come
  uint8_t bigRequests;           // BIG-REQUESTS enabled
  uint8_t impervious;            // XTestGrabControl: keeps running while another client grabs
  uint8_t headsAsScreens;        // the client sees each head as a screen of its own
  PassiveGrab *passiveGrabs;
  uint32_t errorCount;           // X errors sent to the client
  char *peerIdentity;            // malloc'ed; NULL or empty: use the peer address
  AccessClient access;           // authorization id and connection time of the access checks
  Order *setupTimer;             // closes a peer that never completes its setup
  // ordered output (deferred blocks)
  DeferredOutput *deferred;      // block list in client sequence order; the head's prev is the tail
  uint16_t lastEventSequence;
  uint8_t lastEventType;         // type of the last event written to the socket
  DeferredFree life;             // held by the passes over its input and its answers
  uint32_t glxScreen;            // the current GLX screen
  uint32_t glxClientVersion;     // GLXClientInfo's version code, 0 until then
  void *glxLargeCommands;        // unfinished GLXRenderLarge commands (xext/glxrender.cpp)
  uint32_t glxTagsHeld;          // GLX context tags it holds (xext/glxcontext.cpp)
  // Its last finish of GL inside the proxy outlasted a turn: its render requests wait while
  // another's work is worked off (xext/glxdirectlists.cpp).
  uint8_t glxHeavy;
  // Bytes the client's GL objects inside the proxy are counted to take (pbuffers, names, texture
  // levels, renderbuffers), held below the configuration's lumoraMemory by
  // xext/glxdirecttags.cpp.
  uint64_t lumoraBytes;
  char *programName;             // malloc'ed, or NULL
  // The names a client gave its windows, as its property requests record them (the first one
  // seen is kept): WM_CLASS's class name and a WM_NAME of type STRING, format 8 (at most 31
  // characters each), and WM_CLIENT_MACHINE (at most 63).
  char className[33];
  char windowName[33];
  char machineName[64];
  // ===== save sets =====
  WindowRecord **saveSet;        // malloc'ed, saveSetSize entries, the first saveSetCount in use
  uint32_t saveSetCount;
  uint32_t saveSetSize;
  // ===== end of save sets =====
  // Its event selections on windows and on destroyed windows' blocks (EventSelection's
  // clientNext list): entries join and leave with their window's list (window.cpp); the close
  // frees what is left (windowDropClientSelections).
  EventSelection *eventSelections;
  // ===== multimedia =====
  Order *multimediaRecheck;      // re-checks a client left unread while its stream is busy
  // ===== end of multimedia =====
  // ===== XTEST =====
  // A fake input event waiting for its delay: the one-shot timer that injects it and lets the
  // client go on (none of its requests is cut meanwhile; its close cancels the timer), the
  // reader that watches its socket for that close meanwhile, and the request as it came, in
  // the proxy's byte order.
  Order *xtestDelay;
  Order *xtestWatch;
  uint8_t xtestPending[36];
  // ===== end of XTEST =====
  // ===== parked requests =====
  // A request waiting for the real server's answer (proxy/park.h): set by xproxyParkClient,
  // cleared when the request resumes or by the close (xproxyDropPark). Not read meanwhile.
  struct XproxyPark *park;
  // ===== end of parked requests =====
  // ===== requests that yield their turn =====
  // A request handler suspended where it stood once the client's turn was over (proxy/
  // connections.h, miscRunYielding): set when it first yields, cleared (and freed) by the turn
  // that sees it return or by the client's close, which ends it first. Its later requests wait.
  struct MiscYielding *yielding;
  // While a call runs outside the loop (connections.h, miscCallOutside): outsideWaits, the
  // client has work that may call the GL library (a request, a suspended handler) and is
  // neither read nor served until the call has ended; closeDeferred, its close came meanwhile
  // and runs then (the record is held until it has). Both set and cleared by connections.cpp.
  uint8_t outsideWaits;
  uint8_t closeDeferred;
  // Its handler's next call outside the loop waits until the clients the last call held have
  // had their turns (connections.cpp, miscOutsideYieldsFirst): the handler is not resumed, and
  // the client is neither read nor served until then. outsideCaller: its suspended handler has
  // made such a call (cleared when the handler returns).
  uint8_t owedWait;
  uint8_t outsideCaller;
  // ===== end of requests that yield their turn =====
  // ===== request regions =====
  // Set while the drawing request being handled built requestRegion (in meta screen
  // coordinates) for head culling; every other request leaves it 0 and is never culled.
  uint8_t requestRegionActive;
  // ===== end of request regions =====
};

// Process-wide values set around each handling (NULL between handlings).
extern ClientConnection *xproxyCurrentClient;
extern DisplayConnection *xproxyCurrentDisplayConnection;
// Makes a client and a display connection current (either may be NULL) until the scope ends,
// then restores what was current before. The records restored must outlive the scope: their
// own pass holds them (ConnectionPass, proxy/connections.h).
struct CurrentScope {
  ClientConnection *previousClient;
  DisplayConnection *previousConnection;
  CurrentScope(ClientConnection *client, DisplayConnection *connection)
      : previousClient(xproxyCurrentClient), previousConnection(xproxyCurrentDisplayConnection) {
    xproxyCurrentClient = client;
    xproxyCurrentDisplayConnection = connection;
  }
  // Only the client changes; the display connection stays as it is.
  explicit CurrentScope(ClientConnection *client) : CurrentScope(client, xproxyCurrentDisplayConnection) {}
  ~CurrentScope() {
    xproxyCurrentClient = previousClient;
    xproxyCurrentDisplayConnection = previousConnection;
  }
  CurrentScope(const CurrentScope &) = delete;
  CurrentScope &operator=(const CurrentScope &) = delete;
};
// The client holding a server grab (NULL when nobody does).
extern ClientConnection *miscGrabbingClient;
// The client list and its count.
extern ClientConnection *xproxyClients;
extern uint32_t xproxyClientCount;

// Listening side. Every listener and accepted connection is close-on-exec.
// All connection-oriented listeners for each display number ("%d"), from the last number;
// appended from the last listener on. Returns the array (malloc'ed, NULL when none) and count.
XtransConnInfo *clientconnectionListen(const int *displayNumbers, int n, int *count);
// Accepts a connection on a listener: NULL on failure, else a non-blocking, close-on-exec
// connection whose descriptor is stored in *fd.
XtransConnInfo clientconnectionAccept(XtransConnInfo listener, int *fd);
int clientconnectionFd(XtransConnInfo connection);
int clientconnectionIsLocal(XtransConnInfo connection);
// Re-creates a listener whose socket file has gone. 1 unless the reset failed; on failure the
// transport layer has closed and freed the listener, and the caller must forget it.
int clientconnectionResetListener(XtransConnInfo listener);
void clientconnectionClose(XtransConnInfo connection);
void clientconnectionCloseListener(XtransConnInfo listener);
// The peer's IPv4 address as "%u.%u.%u.%u" in a static 80-byte buffer; "?" when unknown.
const char *clientconnectionPeerAddress(XtransConnInfo connection);

// Connecting side: a raw connection to a real display (see conndisConnectDisplay). The host
// is a fresh copy (the local host name when the name had none); family 256 for a local
// transport, else 65535. NULL on failure.
XtransConnInfo clientconnectionConnect(const char *displayName, int *fd, char **host, int *displayNumber,
                                       int *family);

// The peer identity, else the peer address, else "?"; the local host name for a local client.
const char *xproxyClientHostName(ClientConnection *client);
