// The proxy server core: shared state and entry points.
#pragma once

#include <cstddef>
#include <cstdint>

// ===== Listeners, host-access adapters and server authorization ============================
#include "proxy/access.h"
#include "proxy/clientconnection.h"
#include "support/orders.h"

// One listening transport; a global list in creation order whose head's prev is the tail.
struct ListenPort {
  ListenPort *next;
  ListenPort *prev;
  XtransConnInfo transport;  // NULL once the transport layer has freed it (failed reset)
  Order *readOrder;          // the reader on the listener's socket
  Order *pendingAccept;      // the idle order scheduled by the last readiness, or NULL
};

// Opens the listeners for the display named by `connection` (":N"; NULL: display 0).
const char *xproxyListen(const char *connection, int accessControl);
void xproxyOnListenerInput(void *listenPort);
uint16_t xproxyDisplayNumber();
ListenPort *xproxyListenPorts();
// Reset: cancels readers and pending accepts, re-opens every listener and adds its reader
// again; "Can't reset listening connections" when one cannot be re-opened.
const char *xproxyResetListeners();
// Exit: closes every listener and frees the records.
void xproxyCloseListeners();
// The same after every order has been freed (the exit): the readers are not touched.
void xproxyCloseListenersKeepOrders();

// Accepting a client: cancels the pending accept, accepts, and hands the connection to
// xproxyNewClientHook (closed when the hook is NULL).
void xproxyNewClient(void *listenPort);
using XproxyNewClientHook = void (*)(XtransConnInfo connection, int fd);
// Defined with the client list, which sets it to its adoption of accepted connections
// (xproxyAdoptClient); tests may replace it.
extern XproxyNewClientHook xproxyNewClientHook;

// Host access adapters: each fills one static access record from the client (not reentrant);
// xproxyAccessRecord() shows it afterwards (authorization id, error value).
int xproxySetAccessControl(ClientConnection *client, int mode);
int xproxyAddHost(ClientConnection *client, int family, int length, const uint8_t *address);
int xproxyRemoveHost(ClientConnection *client, int family, int length, const uint8_t *address);
int xproxyListHosts(int *count, int *length, uint8_t **data, int *enabled);
const char *xproxyCheckClientAccess(ClientConnection *client, uint16_t nameLength, const char *name,
                                    uint16_t dataLength, const uint8_t *data);
const AccessClient *xproxyAccessRecord();

// Server authorization: one cached authorization for a real display (one block: header, then
// the address text, the name and the data); a list in insertion order, head's prev is the tail.
struct ServerAuthEntry {
  ServerAuthEntry *next;
  ServerAuthEntry *prev;
  uint16_t family;         // 256: local
  uint16_t displayNumber;
  uint16_t nameLength;
  uint16_t dataLength;
  uint8_t generated;       // 1: the entry of a generated file; 0: read from a file
  char *address;           // NUL-terminated host name
  char *name;
  char *data;
};

const char *serverAuthCacheAdd(int family, const char *address, int displayNumber, const char *name, int nameLength,
                               const char *data, int dataLength, int generated);
int xproxyGetServerAuth(const char *host, int displayNumber, int family, char **name, int *nameLength, char **data,
                        int *dataLength);
void xproxySetAuthorizationFile(const char *path);
void xproxySetServerAuthFile(const char *path);
const char *xproxyAuthorizationFile();
const char *xproxyServerAuthFile();
// Reset: drops the cached entries read from files and keeps generated ones.
void xproxyResetServerAuth();
// Exit: frees the cache and forgets both files.
void xproxyFreeServerAuth();
// ===== end of listeners, host access and server authorization ===============================

struct MetaScreen;
struct Head;
struct WindowRecord;
struct CursorRecord;

// ===== Dispatch tables, extension records and per-extension state =========================
#include "proxy/resourcetable.h"
// (handler types, ExtensionRecord, ProxyState; the tables are filled by xcore.cpp and the
// extension registry in xext/ext.cpp)

// The request in the client's byte order and its length in bytes.
using RequestHandler = void (*)(uint8_t *request, uint32_t length);
// The reply and its length in bytes (32 + 4 x its length word).
using ReplyHandler = void (*)(uint8_t *reply, uint32_t length);
// The 32-byte event (longer for a GenericEvent).
using EventHandler = void (*)(uint8_t *event);
// The 32-byte error.
using ErrorHandler = void (*)(uint8_t *error);

// An extension's reset: clears its ProxyState slot and frees what it keeps there.
using ExtensionReset = void (*)();

// One per major opcode; only 128..255 are used. Free while name is NULL.
struct ExtensionRecord {
  const char *name;      // as offered to clients; a static text, never freed
  uint8_t nameLength;    // set by extRegister
  uint8_t majorOpcode;   // the record's own index, set by extRegister
  uint16_t version;      // major * 64 + minor
  uint8_t firstEvent;    // 0 = none
  uint8_t eventCount;    // event rows written so far
  uint16_t eventsSent;
  uint8_t firstError;    // 0 = none
  uint8_t errorCount;    // error rows written so far
  uint16_t errorsSent;   // raised by the extension error sender
  uint8_t providedByProxy;
  uint8_t emulated;
  ExtensionReset reset;  // NULL: nothing to reset
};

// The state words of the extensions: each init sets its slot, its reset clears it, and
// extResetAll zeroes the whole struct. Each extension adds its slot here.
struct ExtensionStateWords {
  ExtensionRecord *placeholder;  // keeps the struct non-empty until the first slot arrives
  // ===== small extensions =====
  ExtensionRecord *allplanes;  // SUN_ALLPLANES
  ExtensionRecord *bigreq;     // BIG-REQUESTS
  ExtensionRecord *xcmisc;     // XC-MISC
  ExtensionRecord *dpms;       // DPMS
  ExtensionRecord *fbpm;       // FBPM
  ExtensionRecord *ge;         // Generic Event Extension
  // ===== end of small extensions =====
  // ===== XINERAMA, SHAPE, screen savers =====
  ExtensionRecord *xinerama;        // XINERAMA
  ExtensionRecord *shape;           // SHAPE
  ExtensionRecord *screensaver;     // MIT-SCREEN-SAVER
  ExtensionRecord *sgiScreensaver;  // SCREEN-SAVER
  // ===== end of XINERAMA, SHAPE, screen savers =====
  // ===== buffer extensions =====
  ExtensionRecord *multibuf;   // Multi-Buffering
  uint8_t multibufMajor;       // a real server's Multi-Buffering major: the request writers use it
  ExtensionRecord *doublebuf;  // DOUBLE-BUFFER
  // ===== end of buffer extensions =====
  // ===== multimedia =====
  ExtensionRecord *multimedia;  // MORWENTECH MULTIMEDIA, whose record gives the error event's code
  // ===== end of multimedia =====
  // ===== MIT-SHM =====
  ExtensionRecord *shm;            // MIT-SHM
  struct ShmSegment *shmSegments;  // the attached client segments, oldest first
  // ===== end of MIT-SHM =====
  // ===== XVideo =====
  ExtensionRecord *xvideo;     // XVideo
  struct XvAdaptor *xvAdaptors;  // the offered adaptors of every meta screen (xext/xvideo.h)
  // ===== end of XVideo =====
  // ===== XTEST and XKEYBOARD =====
  ExtensionRecord *xtest;  // XTEST
  ExtensionRecord *xkb;    // XKEYBOARD
  // ===== end of XTEST and XKEYBOARD =====
  // ===== XInputExtension =====
  ExtensionRecord *xinput;  // XInputExtension
  // ===== end of XInputExtension =====
  // ===== RENDER =====
  ExtensionRecord *render;                 // RENDER: the request writers take its major opcode
  struct RenderPictFormat *renderFormats;  // the offered picture formats (xext/render.h), owned here
  uint32_t renderFormatCount;
  // ===== end of RENDER =====
  // ===== SYNC and XpExtension =====
  ExtensionRecord *sync;    // SYNC
  ExtensionRecord *xprint;  // XpExtension
  // ===== end of SYNC and XpExtension =====
  // ===== GLX =====
  ExtensionRecord *glx;  // GLX
  uint8_t glxMajor;      // the major opcode of every GLX request and reply the proxy writes itself
  // The context-tag table (xext/glxrecords.h): entry i is proxy tag i; entry 0 stays free.
  // glxTagCount is one more than the highest index in use (0: no table); the table has room for
  // glxTagCapacity entries (grown by half again when full, zeroed beyond the count).
  struct GlxTagEntry *glxTags;
  uint32_t glxTagCount;
  uint32_t glxTagCapacity;
  // ===== end of GLX =====
};

constexpr uint32_t kRequestKeys = 65536;              // byte 0 low, byte 1 high
constexpr uint32_t kRequestNames = 128 + 128 * 256;   // core opcodes, then (major - 128, minor)

struct ProxyState {
  // ===== resource tables =====
  ClientResourceTable resourceTables[kResourceClientSlots];  // by client slot; 0 = the proxy's own
  uint32_t idMask = kResourceDefaultIdMask;    // the client's own part of an id
  uint32_t idShift = kResourceDefaultIdShift;  // bits of idMask plus the index of its lowest bit
  PixmapRecord *orphanPixmaps;  // pixmaps whose id was freed while others still use them
  FontRecord *fonts;            // every font record, in creation order
  // ===== end of resource tables =====
  RequestHandler requestHandlers[kRequestKeys];
  ReplyHandler replyHandlers[kRequestKeys];  // by the key of the answered request
  const char *requestNames[kRequestNames];   // see xcoreRequestNameIndex
  EventHandler eventHandlers[256];
  WireLayout eventLayouts[256];
  ErrorHandler errorHandlers[256];
  const char *errorNames[256];
  ExtensionRecord extensions[256];
  uint8_t extensionListBuilt;
  ExtensionStateWords ext;
  // ----- Server-wide limits, meta screens and heads (start values: mainSetStartLimits) -----
  uint8_t protocolMajor;       // 11; the real display's when it differs
  uint8_t protocolMinor;
  uint8_t pointerButtonLimit;  // 32; lowered to the real pointer's buttons
  uint32_t maxRequestBytes;    // 0x3fffc; lowered to 4 x the real server's maximum
  uint32_t motionBufferSize;   // 0xffffffff; lowered to the real server's
  uint32_t keycodeLimit;       // 248; lowered to the real keyboard's keycode count
  // (the meta-screen list and its screen counter: xscreenList, xscreenCounter)
  uint32_t headCount;          // heads of all meta screens
  uint32_t maxHeadsPerMetaScreen;
  Head *pointerHead;           // the head holding the pointer; NULL when unknown
  // ----- end of server-wide limits, meta screens and heads -----
  // ===== visuals, id layout, root windows and setup reply =====
  uint8_t minKeycode, maxKeycode;  // announced in the setup reply
  uint8_t pixmapFormatCount;
  struct PixmapFormat {
    uint8_t depth, bitsPerPixel, scanlinePad;
  } pixmapFormats[256];
  char vendor[129];                // NUL-terminated; at most 128 bytes
  uint32_t releaseNumber;
  // The real display's image format (of the first display's image template).
  uint8_t imageByteOrder, bitmapBitOrder, bitmapUnit, bitmapPad;
  char displayName[257];           // "%s:%u": the proxy's display name
  uint32_t serverTime;             // the current server time
  // The input focus: PointerRoot (1) with revert-to None (0) at start and after each reset.
  uint32_t focusWindow = 1;
  uint8_t focusRevertTo = 0;
  int32_t pointerX, pointerY;      // the pointer's meta position on the pointer head's screen
  // ===== end of visuals, id layout, root windows and setup reply =====
  // ===== grabs, freezes and focus =====
  struct PointerGrab {
    ClientConnection *client;  // NULL: no grab
    WindowRecord *confineTo;
    CursorRecord *cursor;      // one reference held, or NULL
    uint32_t window;
    uint16_t eventMask;
    uint32_t time;
    uint8_t ownerEvents, passive;
    uint8_t realServer;        // the grab has been forwarded to a real server
    uint8_t pointerMode, keyboardMode;
  } pointerGrab;
  struct KeyboardGrab {
    ClientConnection *client;
    uint32_t window;
    uint8_t key;               // the detail that activated a passive key grab
    uint32_t time;
    uint8_t ownerEvents, passive, realServer;
    uint8_t pointerMode, keyboardMode;
  } keyboardGrab;
  struct Freeze {
    ClientConnection *client;  // NULL: not frozen
    uint8_t mode;              // 1..5
  } pointerFreeze, keyboardFreeze;
  // ===== end of grabs, freezes and focus =====
  // ===== pointer state =====
  Head *focusHead;                 // the head the input focus was last set on; NULL: the pointer head
  uint8_t pointerFollowing;        // a grabbed pointer is being followed by panning its head
  ClientConnection *serverGrabClient;  // holder of the emulated server grab; NULL: none
  uint32_t focusTime;              // time of the last accepted SetInputFocus
  // ===== end of pointer state =====
};

// Zero-initialised; the core rows are written by xcoreInitDispatchTables.
extern ProxyState proxyState;

// The reply handler of the proxy's own sync round trips (recorded under request key 127).
void xproxyNoOpReply(uint8_t *reply, uint32_t length);
// The reply handler of every request that has no reply (defined with the core dispatch rows):
// an answer to such a request goes on with a warning.
void xcoreUnexpectedReply(uint8_t *reply, uint32_t length);

// ===== end of dispatch tables, extension records and per-extension state ==================

// ===== Display connections: one raw connection per client and real display ==================
struct ServerDisplay;

// One page of the sequence map: the entry of real-server sequence s is entries[s & 0xfff].
struct SequenceMapEntry {
  uint16_t clientSequence;
  uint16_t requestKey;  // the request's first two bytes, byte 0 low
};
constexpr uint32_t kSequenceMapEntries = 4096;
constexpr uint32_t kSequenceMapNoEnd = 0xffffffffu;
struct SequenceMapPage {
  SequenceMapPage *next;  // the first page's prev is the last page
  SequenceMapPage *prev;
  uint32_t writeLimit;    // the entry at which the page counts as full
  uint32_t end;           // the entry after which the page is finished; kSequenceMapNoEnd while written
  SequenceMapEntry entries[kSequenceMapEntries];
};

// Work to do when a particular answer arrives (or to undo when it never does).
using ReplyDiscard = void (*)(uintptr_t argument);
struct ReplyCallback {
  ReplyCallback *next;
  uint32_t key;         // tag << 16 | low 16 bits of the real-server sequence of the request
  uintptr_t argument;   // pointer-sized: may carry a record
  ReplyDiscard discard;
};
constexpr uint8_t kReplyTagNoOp = 127;
constexpr uint8_t kReplyTagDestroyOnError = 255;

// The round trip of a NoOp request (GetInputFocus recorded under key 127).
using NoOpReplyFn = void (*)(uint8_t *reply, uintptr_t argument);
using NoOpReleaseFn = void (*)(uintptr_t argument);
struct NoOpRecord {
  NoOpReplyFn fn;
  uintptr_t argument;
  NoOpReleaseFn release;
};

// A client's raw protocol connection to one real display. Allocated zeroed; owned by the
// client's display array.
struct DisplayConnection {
  XtransConnInfo transport;
  int fd;
  Buffer input;                  // bytes from the real server not yet handled
  OutBuffer output;
  // The read order is a descriptor reader; it stands still (ordersPause) while whole answers
  // already in the input wait for the owner's turn (answersDue set: the owner has its place in
  // the queue of turns, and its turn cuts them). Armed and cancelled only through xproxyArmDisplayReader /
  // xproxyCancelDisplayReader (flow control, the sync, the read itself); cancelled (answersDue
  // cleared) by xproxyCloseDisplayConnection.
  Order *readOrder;
  Order *writeOrder;             // armed by the output callback, cancelled by a complete flush or the close
  ProtocolReader reader;         // bytes needed 0 until the setup reply, then 32; sink = xproxyBeginRequest
  ClientConnection *owner;
  uint32_t requestsSent;         // real-server sequence of the last request written
  uint32_t sequenceHandled;      // 16-bit sequence of the answer being handled
  uint32_t idBase;               // from the real server's setup reply
  uint32_t idMask;
  uint16_t displayNumber;
  uint16_t family;               // 256 local, 65535 otherwise
  uint32_t lastWrittenSequence;  // low 16 bits key reply callbacks
  uint32_t readPosition;         // where handling stands in the input
  uint32_t syncSequence;
  uint8_t syncPending;
  uint8_t setupDone;             // the real server's setup reply has been handled
  uint8_t bigRequests;           // BIG-REQUESTS enabled on this raw connection
  DeferredFree life;             // held while its answers are cut: a close then only marks it
  uint8_t answersDue;            // whole answers wait for the owner's turn (see readOrder)
  SequenceMapPage *pages;        // first page = oldest
  ReplyCallback *callbacksFirst;
  ReplyCallback *callbacksLast;
  uint32_t replyKey;             // request key of the reply being handled
  uint32_t glxTag;               // the GLX tag and head last made current by a re-issued MakeCurrent
  void *glxHead;
  ServerDisplay *display;
  char *hostName;
  Buffer syncInput;              // what a sync read while the answers were being cut
  uint32_t strayAnswers;         // replies and errors dropped: their sequence answered no request
  // Departure markers (proxy/connections.h): the serial of the last one read here, and the
  // serial already sent when this connection asked for them (a departure marked before
  // concerns nothing it reads: its selections all came later).
  uint64_t markerSeen;
  uint64_t markerFloor;
  // A GC the proxy makes on the connection at its setup (an id of its real range under the head
  // number no head has; 0: none): the id by which the proxy's own connection can KillClient
  // it, in the server's order.
  uint32_t departureHandle;
  // The proxy's own image segment on this connection (xext/shm.cpp) and its close routine,
  // run by xproxyCloseDisplayConnection once the queued callbacks are discarded.
  void *imageRing;
  void (*imageRingClose)(DisplayConnection *connection);
};
// ----- Display connections: request writing, sequence map and reply callbacks -----
// (opening, reading, syncs and closing: proxy/connections.h)
constexpr uint32_t kDisplayShortRequestMax = 0x3fffc;  // longer requests take the BIG-REQUESTS form
constexpr uint32_t kDisplayReadChunk = 0x10000;        // most bytes read per readiness
// The longest reply or GenericEvent taken from a real server (header included): a whole image
// of 8192 x 8192 pixels at 32 bits. A longer one (a broken or hostile server) closes the
// client's connection before any room is made for it.
constexpr uint64_t kDisplayAnswerMaximum = 32 + 8192ull * 8192 * 4;
constexpr uint32_t kSequenceMapFirstLimit = 4094;

// A new connection's first sequence-map page (the first page ends after request 4094, see
// xproxyRecordRequest); 0 when out of memory.
int xproxyStartSequenceMap(DisplayConnection *connection);
// Frees the pages and discards every queued callback (their discard functions run).
void xproxyEndSequenceMap(DisplayConnection *connection);
// Writers: reserve (begin) or copy (send) one request of `length` bytes, header included;
// above 0x3fffc bytes in the BIG-REQUESTS form, 4 bytes longer (NULL when the connection has
// no BIG-REQUESTS). The length given is what is written, whatever the request's own length
// field says. Counts and records the request; NULL when out of memory (then nothing is
// written). Begin returns where byte 4 on is the body.
uint8_t *xproxyBeginRequest(void *connection, uint8_t opcode, uint8_t dataByte, uint32_t length);
uint8_t *xproxySendRequest(const uint8_t *request, uint32_t length, DisplayConnection *connection);
// Records the request just counted (requestsSent) under the request's first two bytes and
// closes a full page with a NoOp round trip.
void xproxyRecordRequest(const uint8_t *request, DisplayConnection *connection);
// Files the request just written (lastWrittenSequence) under another request key, so that its
// answer reaches that key's handlers (an extension request served by a core one).
void xproxyRekeyLastRequest(DisplayConnection *connection, uint16_t key);
void xproxyMapReplySequence(DisplayConnection *connection, uint16_t sequence);
void xproxyPushReplyCallback(DisplayConnection *connection, uint8_t tag, uintptr_t argument, ReplyDiscard discard);
uintptr_t xproxyTakeReplyCallback(DisplayConnection *connection, uint8_t tag);
uintptr_t xproxyTakeReplyCallbackData(DisplayConnection *connection, uint8_t tag);
void xproxyRunReplyCallbacks(DisplayConnection *connection);
// A GetInputFocus round trip whose reply calls fn(reply, argument) and then release(argument)
// (release alone when the reply never comes). The request's sequence; 0 on failure.
uint32_t xproxySendNoOpRequest(DisplayConnection *connection, NoOpReplyFn fn, uintptr_t argument,
                               NoOpReleaseFn release);
void xproxyNoOpRelease(uintptr_t record);
// Any request of `length` bytes as such a round trip (recorded under key 127).
uint32_t xproxySendRoundTrip(DisplayConnection *connection, const uint8_t *request, uint32_t length, NoOpReplyFn fn,
                             uintptr_t argument, NoOpReleaseFn release);
void xproxyNoOpNothing(uint8_t *reply, uintptr_t argument);
// The answer to the request of that real-server sequence (one of the last written, whose
// answer has not come) is dropped when it comes: it is filed as a round trip of the proxy's
// own, whose reply reaches no client.
void xproxyDropLateReply(DisplayConnection *connection, uint32_t sequence);
void xproxyNoOpNothingRelease(uintptr_t argument);
// "Broken connection to X server by <client> - Maybe ..."
const char *xproxyBrokenConnectionText(ClientConnection *client);
// ===== end of display connections ===========================================================

// ===== Local X server, exit hooks and the generated server cookie ===========================
#include <sys/types.h>

// Exit hooks: ten slots, each empty or one routine; a routine goes into the free slot with the
// highest position, and they run from the last slot to the first (so the first one put in
// runs first). A routine may remove itself while they run.
using XproxyExitHook = void (*)(int argument);
constexpr int kXproxyExitHookSlots = 10;
// 1 put in (or already there), 0 when every slot is taken.
int xproxyAddExitHook(XproxyExitHook hook);
void xproxyRemoveExitHook(XproxyExitHook hook);
void xproxyRunExitHooks();
int xproxyHasExitHook(XproxyExitHook hook);

// Starts the local X server from the server command: the XDMCP options on it (-query,
// -indirect, -broadcast, -port, -once, -cookie, -class, -displayID) go into configRecord and
// off the command, "-auth F" names the clients' authorization file when none is set, the first
// ":N" gives the server's display number. With serverAuthorization "own" a cookie file is
// generated, XAUTHORITY names it, and a command without "-auth" gets "-auth <file>". A server
// that cannot be started is only logged; the error text is the cookie file's.
const char *xproxyStartLocalServer(int count, const char *const *arguments, int serverNice);
// Exit hook: terminates the local server (SIGTERM, then waits for it).
void xproxyStopLocalServer(int argument);
pid_t xproxyLocalServerPid();
// The local server's command after the scan (empty before a start), for diagnostics and tests.
const char *const *xproxyLocalServerArguments(int *count);

// Writes a new authority file (O_EXCL, mode 0600) in the temporary directory holding one
// MIT-MAGIC-COOKIE-1 entry of 16 random bytes for this host and the display number, and puts
// that entry into the server-authorization cache as generated. path receives the file name
// (kFilesPathSize bytes).
const char *xproxyMakeAuthFile(int displayNumber, char *path);
// The generated file ("" when none) and its removal at the exit.
const char *xproxyGeneratedAuthFile();
void xproxyRemoveGeneratedAuthFile();
// ===== end of local X server, exit hooks and the generated server cookie ====================


// ===== Pixel conversion between meta screen visuals and head visuals ========================
struct VisualRecord;

// The head's visual for a meta screen visual (NULL when the head has none, or the visual is no
// entry of the head's meta screen table).
VisualRecord *xproxyHeadVisual(const Head *head, const VisualRecord *visual);
// The head's entry for the visual when pixels must be converted: TrueColor and DirectColor
// with other channel masks, any class when the head's visual is emulated; else NULL.
VisualRecord *xproxyVisualConversion(const VisualRecord *visual, const Head *head);
// A meta screen pixel as the head's pixel and back; all ones stays all ones. The twins give the
// same results (the plane-mask callers use them).
uint32_t xproxyPixelToServer(uint32_t pixel, const VisualRecord *visual, const Head *head);
uint32_t xproxyPixelToServer2(uint32_t pixel, const VisualRecord *visual, const Head *head);
uint32_t xproxyPixelFromServer(uint32_t pixel, const VisualRecord *visual, const Head *head);
uint32_t xproxyPixelFromServer2(uint32_t pixel, const VisualRecord *visual, const Head *head);
// The conversions between two visuals, for tests and for callers that hold both records:
// from is the meta screen visual, to the head's entry.
uint32_t xproxyConvertPixel(uint32_t pixel, const VisualRecord *from, const VisualRecord *to);
uint32_t xproxyConvertPixelBack(uint32_t pixel, const VisualRecord *from, const VisualRecord *to);
// ===== end of pixel conversion ==============================================================

// ===== Request routing helpers ==============================================================
struct VisualRecord;
// The drawable's id on the head. On a head whose display emulates DOUBLE-BUFFER by
// Multi-Buffering, a back-buffer name gives the image buffer that its next swap shows.
uint32_t xproxyServerDrawable(uint32_t id, Head *head);
// CreateColormap's alloc value on a head: the client's when not 0, else AllocAll (1) when the
// head emulates the visual, else 0.
uint8_t xproxyColormapAllocMode(uint8_t alloc, const VisualRecord *visual, const Head *head);
// The event mask for a window's copy on a head: Enter or Leave selects both, ButtonPress adds
// ButtonRelease; FocusChange on a meta screen root goes to the head's real root through the
// client's first display connection and is taken out of the result.
uint32_t xproxyWindowEventMask(ClientConnection *client, uint32_t window, uint32_t mask, Head *head);
// The mask the proxy selects for itself: Enter or Leave adds 0x38, else 0x8.
uint32_t xproxyServerEventMask(uint32_t mask);
// The background pixmap for a window's copy on a head: for a static-display head and a tile
// larger than the head, a pixmap of the head's visible size cut from the tile with wrap-around
// from the head's origin (created set to 1); otherwise the pixmap's id on the head. 0 when
// the cut pixmap cannot be written.
uint32_t xproxyShiftedBackgroundPixmap(uint32_t pixmap, uint32_t window, Head *head, int *created);
// Fills the rectangle of destination with copies of the tile, each starting at the tile
// position of (point - origin) modulo the tile size; 0 when a copy cannot be written.
int xprotoTilePixmap(const RequestSink *sink, uint32_t source, uint32_t destination, uint32_t gc, uint32_t tileWidth,
                     uint32_t tileHeight, int32_t x, int32_t y, uint32_t width, uint32_t height, int32_t originX,
                     int32_t originY);
// (miscForceExposures: proxy/misc.h, beside the other raw Xlib writers.)
// Copies a request of `length` bytes into the connection (the BIG-REQUESTS form above 0x3fffc
// bytes); BadAlloc to the current client and 0 when the output cannot grow, else 1.
int miscWriteServerRequest(DisplayConnection *connection, const uint8_t *request, uint32_t length);
// The client's major opcode as the real server numbers it: the identity.
// Whether what the connection reads now is older than the departure marker of that serial
// (neither read there yet nor sent before the connection asked for markers).
inline bool xproxyBeforeMarker(const DisplayConnection *c, uint64_t serial) {
  return c->markerSeen < serial && c->markerFloor < serial;
}
// The markers the connection has read past: it is before every marker of a later serial.
inline uint64_t xproxyMarkersRead(const DisplayConnection *c) {
  return c->markerSeen > c->markerFloor ? c->markerSeen : c->markerFloor;
}
inline uint8_t xproxyMapMajorOpcode(uint8_t opcode) { return opcode; }
// ===== cursors =====
// The cursor built on the head under a new server-side id of the client, through its first
// display connection; the head's id of it, or 0 when it could not be made.
uint32_t xproxyCreateCursor(CursorRecord *cursor, ClientConnection *client, Head *head);
// ===== end of cursors =====
// ===== end of request routing helpers =======================================================

// ===== request regions and head images =====
struct _XImage;
struct Region;
struct ImageFormat;
// The layout clients use for images of the format and depth (the setup's formats and orders);
// 0 when the depth has no pixmap format (ZPixmap) or the format is unknown.
int xproxyClientImageFormat(ImageFormat *out, uint32_t format, uint32_t depth);
// The layout of the head's real display for the format and depth (the client layout without a
// display).
int xproxyHeadImageFormat(ImageFormat *out, const Head *head, uint32_t format, uint32_t depth);
// The drawable the current client's last resolved id names, as the rectangle it covers on its
// meta screen: a window (or a meta screen root) at its position, a pixmap at 0, 0 (isWindow 0:
// a pixmap is never culled). The record, or NULL when the id names no drawable.
struct XproxyRequestArea {
  int32_t x, y;           // the drawable's origin on its meta screen
  uint32_t width, height;
  uint8_t isWindow;
};
const void *xproxyCurrentRequestArea(XproxyRequestArea *area);
// The client's request region becomes the rectangle (computed in 64 bits, clipped to the
// drawable), or the whole drawable, moved to meta screen coordinates; culling reads it while
// the request is handled. NULL when the request names no window (nothing is culled then).
Region *xproxySetRequestRegion(int64_t x, int64_t y, int64_t width, int64_t height);
Region *xproxySetRequestRegionWhole();
// Adds one box (x0, y0 inclusive, x1, y1 exclusive, drawable coordinates in 64 bits) to the
// region being built: clipped to the drawable first so that no 16-bit wrap can move it.
void xproxyAddRequestBox(const XproxyRequestArea &area, int64_t x0, int64_t y0, int64_t x1, int64_t y1);
// Starts (emptied) and finishes (validated, active) a region built box by box; Begin gives
// NULL when the request names no window.
Region *xproxyBeginRequestRegion(XproxyRequestArea *area);
void xproxyEndRequestRegion();
// Clears the active mark at the end of a drawing request.
void xproxyClearRequestRegion();

// An image as the head needs it: the image itself when no pixel conversion is needed and its
// depth and layout suit the head; else a new ZPixmap image of the head's depth (the base
// depth of an emulated visual) with every pixel copied and, where needed, converted. NULL with
// an out-of-memory line on the problem channel.
_XImage *xproxyConvertImageForHead(_XImage *image, const VisualRecord *visual, Head *head, int width, int height);
// The twin: a copy of the image at another depth (pixels copied, no conversion).
_XImage *xproxyConvertImageDepth(_XImage *image, uint32_t depth, Head *head);
// The other twin: the image copied into one new image of the depth; the given one destroyed.
_XImage *xproxyConvertImageStatic(_XImage *image, uint32_t depth, Head *head);
// ===== end of request regions and head images =====

// ===== Start-up, run, reset and exit ========================================================
#include <string>
#include <vector>

struct _XDisplay;

// Per-topic trace switches, set from logTypes at start-up.
enum : uint32_t {
  kTraceClients = 0x1,                  // client start and stop lines
  kTraceXErrors = 0x400000,             // X error lines
  kTraceVisuals = 0x8000000,            // visual details
  kTraceAuthorizationDetails = 0x10000000,  // authorization details of the connection setup
};
extern uint32_t traceFlags;
// Raised by 1 at each completed reset; 0 in the first run.
extern uint16_t xproxyGeneration;
// The quiet time after which the heads' windows are cleared and flushed.
constexpr uint64_t kXproxyRefreshQuietMs = 2972;
constexpr uint64_t kXproxyRequiredProcessCheckMs = 10000;

// The whole life of the process: start-up from the command line, then runs and resets until
// an exit reason; never returns.
[[noreturn]] void xproxyMain(int argc, char **argv);
// Start-up up to the ready signal and the description of the screens; NULL or the error that
// ends the process with status 1. *information is set when the command line only asked for
// the product's name and version (printed; the process then ends with status 0).
const char *xproxyStartUp(int argc, char **argv, int *information);

// Process-wide initialisation: clears the run state, the signal handlers (SIGUSR1 ignored,
// noting whether it was ignored before; SIGHUP; SIGINT, SIGQUIT, SIGABRT and SIGTERM; SIGPIPE
// ignored), the Xlib I/O error handler, the event loop and the core dispatch rows, the exit
// hook that frees every order, the quiet-time refresh and the required-process check.
const char *xproxyInit();
// One run of the event loop; the pending exit reason or NULL (a reset was asked for).
const char *xproxyRun();
// Brings the proxy back to its state before the first client: NULL or an error / exit reason.
const char *xproxyReset();
// Logs, runs the exit hooks, removes a generated server cookie, closes the listeners, logs the
// reason on the fatal channel and ends the process with status.
[[noreturn]] void xproxyExit(const char *reason, int status);
// Stores the reason as the pending exit reason (the first one stays) and stops the event loop.
void xproxyRequestExit(const char *reason);
// The pending exit reason, NULL while none.
const char *xproxyPendingExitReason();
// Signal handlers: they only note the signal and wake the event loop (and the reset's sleep);
// the loop thread logs and acts on it (xproxyTakeSignals).
void xproxyOnSighup(int signal);
void xproxyOnExitSignal(int signal);
// Acts on signals noted by the handlers: an exit signal becomes the pending exit reason, a
// SIGHUP asks for a reset.
void xproxyTakeSignals();
int xproxyXIOErrorHandler(struct _XDisplay *display);
// Timer: ends the proxy with status 1 once the process (argument: its id) has gone.
void xproxyCheckRequiredProcess(void *pid);
// The copy of noReset and the reset's delay in seconds.
extern uint8_t xproxyNoReset;
extern uint16_t xproxyResetDelay;
// Whether the ready signal goes out and to whom (the parent when xproxyInit ran).
int xproxyReadySignalWanted();
pid_t xproxyReadyParent();
// Sends SIGUSR1 to the parent kept by xproxyInit when SIGUSR1 was ignored at start and that
// process is still the parent; 1 when sent.
int xproxySendReadySignal();

// XDMCP from the configuration: the option vector (defaults first, so that the configured
// class and display id override them) and its hand-over to the XDMCP client.
const char *xproxyXdmcpArguments(uint32_t mode, const char *host, uint32_t port, uint32_t once, const char *cookie,
                                 const char *displayClass, const char *displayID, std::vector<std::string> *out);
const char *xproxyInitXdmcp(uint32_t mode, const char *host, uint32_t port, uint32_t once, const char *cookie,
                            const char *displayClass, const char *displayID);
// Points the XDMCP client's exit and requests at the run control and gives the visual
// emulation the current client's index.
void xproxyInstallModuleHooks();
// At a reset: XDMCP back to its first packet (nothing when it is off).
void xproxyRestartXdmcp();
// ===== end of start-up, run, reset and exit =================================================

// ===== pointer polling =====
// The stack of pointer-poll intervals (ms): the smallest pushed one is in force; polling stops
// when the stack is empty. Push polls at once.
void xproxyPushPointerPoll(int device, uint32_t interval);
void xproxyPopPointerPoll();
// The interval in force (0 when none) and the number pushed.
uint32_t xproxyPointerPollInterval();
uint32_t xproxyPointerPollDepth();
// One poll: re-arms the timer with the interval in force.
void xproxyPollPointer(void *unused = nullptr);
// Drops every interval and the timer (reset).
void xproxyResetPointerPoll();
extern int xproxyPointerPollReplyHandled;
// The pointer head and meta position: asked of the real server on the proxy's own connection
// (waited for at most the sync limit) unless a poll timer follows the pointer, else, and when
// no answer came in time, the last known ones. NULL or an error text (the outputs unchanged).
const char *xproxyQueryPointerPosition(Head **head, int32_t *x, int32_t *y);
// Whether that question asks the real server: the answer must then cover the client's requests
// sent before, and the handler parks the client (proxy/park.h) until they reached the server.
bool xproxyPointerQueryWaits(const ClientConnection *client);
// ===== end of pointer polling =====

// ===== window moves and grabs on real servers =====
// Moves a top-level window to x, y in its parent: its frame through the window manager when
// one manages it, else every head's copy and the tree.
void xproxyMoveWindow(ClientConnection *client, WindowRecord *window, int32_t x, int32_t y);
// ===== end of window moves and grabs on real servers =====
