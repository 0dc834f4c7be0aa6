// The real displays and the ordered output to clients.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

struct Head;
struct WindowRecord;
struct Region;

// ===== Real display and configured screens (records) =====
#include "xclient/xdpms.h"

struct Order;
struct MetaScreen;

// One real X display opened through Xlib; lives for the whole run, its Xlib connection is
// closed at each reset and opened again after it. Allocated zeroed.
struct ServerDisplay {
  ServerDisplay *next;  // the first one is the main display
  uint32_t index;       // position in the real-display list (renumbered when one is removed)
  char *name;           // the display name as configured (malloc'ed): the name connected to
  Display *display;     // the Xlib connection; NULL while closed
  Head *firstHead;
  uint32_t headCount;   // heads on this display
  uint8_t bigRequestsAsked;  // BIG-REQUESTS looked up on this opening of the Xlib connection
  uint8_t bigRequestsMajor;  // its major opcode; 0: the server has none
  Order *readOrder;          // the reader on the Xlib connection's socket (NULL while closed)
  uint8_t countedOpen;       // counted in the number of open displays (see mainCloseServerDisplay)
  char *keyboardMapFile;     // handed to the keyboard-mapping tool at each opening (malloc'ed) or NULL
  // Id layout, set when the visuals are settled.
  uint32_t headBitsMask;
  uint32_t freeBitsMask;
  uint32_t idShift;
  uint32_t lowestBit;        // index of the lowest bit of the display's resource-id mask
  uint16_t pointerButtonCount;  // the real pointer's buttons (at most 256 are asked for)
  uint8_t mitShmUsable;      // on this host and MIT-SHM works with it
  uint8_t emulateDoubleBuffer;  // DOUBLE-BUFFER emulated by Multi-Buffering for a head of it
  XImage imageTemplate;      // an image in the display's default format
  uint64_t connectTimeout;   // milliseconds
  DpmsSavedState dpms;       // screen-saver and power settings found at the opening
  char displayName[256];     // "host:display": recognises the display
  // The window on the Xlib connection that departure markers are sent to (proxy/connections.h);
  // made at the first need, 0 while none (forgotten when the Xlib connection closes).
  uint32_t markerWindow;
  uint64_t markerPostedMs;   // monotonic time of the last marker sent there
  // The probe of the departure watch (proxy/connections.cpp): an event the Xlib connection sends
  // itself through the marker window. Out until it comes back; back since the watch's last check.
  // Both cleared with the Xlib connection.
  uint8_t probeOut;
  uint8_t probeBack;
};
// ===== end of real display and configured screens (records) =====

// The real-display list (first = main display) and its count.
extern ServerDisplay *mainServerDisplays;
extern uint32_t mainServerDisplayCount;

// The ids the proxy hands itself in client 0's id space (emulated visual ids among them):
// incremented before each use; 31 at start-up.
extern uint32_t proxyXidCounter;

// ----- Ordered output to clients --------------------------------------------------------------
// One message held back in a block; the bytes follow the header in the same allocation.
struct DeferredMessage {
  DeferredMessage *next;  // the head's prev is the tail
  DeferredMessage *prev;
  uint32_t length;
  WireLayout layout;
  uintptr_t flag;         // Expose/GraphicsExpose: owned Region* or 0; Enter/LeaveNotify: 0x80000000 = deliver
  uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
};

constexpr uint32_t kDeferredMaxDisplays = 64;
// The output of one client sequence number held back until a round trip on every real display.
struct DeferredOutput {
  DeferredOutput *next;   // client's block list, in client sequence order; head's prev is the tail
  DeferredOutput *prev;
  uint32_t sequence;      // compared as 16 bits
  uint8_t errorSeen;
  uint8_t waitCounter;
  uint32_t blockNumber;
  DeferredMessage *structureEvents;
  DeferredMessage *visibilityEvents;
  DeferredMessage *exposures;
  DeferredMessage *others;
  uint16_t roundTrip[kDeferredMaxDisplays];  // NoOp sequence per real display index
};

// ===== Real display and configured screens =====
// Statuses of mainOpenHead and mainOpenServerDisplay.
enum : int {
  kOpenHeadConnection = 1,   // the display cannot be connected (or set up after connecting)
  kOpenHeadConfiguration = 2,  // bad or duplicate configuration
  kOpenHeadUnsuitable = 3,   // unsuitable server
  kOpenHeadCreation = 4,     // the head could not be made
};
// The id tables of the resource database have this many entries per client: a head's index
// in them must stay below it.
constexpr uint32_t kHeadIdTableEntries = 128;

// Sets the start values of the server-wide limits that opening a display lowers (protocol
// version 11.0, request length 0x3fffc bytes, BIG-REQUESTS maximum 0xffffffff, motion buffer
// 0xffffffff, 32 pointer buttons, keycode limit 248) and empties the meta-screen list counters.
void mainSetStartLimits();
// Opens one configured screen ("host:display.screen") as a head of the meta screen. NULL with
// *status (kOpenHead...) and *error on failure; the error is a temporary string.
Head *mainOpenHead(const char *name, MetaScreen *metaScreen, uint64_t connectTimeout, int32_t borderWidth,
                   uint32_t emulatedVisuals, int *status, const char **error);
// Opens the display's Xlib connection; nothing when it is open. NULL, or the error with *status.
const char *mainOpenServerDisplay(ServerDisplay *display, int *status);
// The Xlib connection itself (authorization from the server-authorization cache; a name on
// this host is first tried over the local transport with half the time-out).
const char *xproxyConnectDisplay(const char *name, uint64_t timeoutMs, Display **display);
// Closes the display's Xlib connection (flushed first unless offline); nothing when closed.
void mainCloseServerDisplay(ServerDisplay *display, int offline);
// Unlinks, closes and frees the record and renumbers the others.
void mainFreeServerDisplay(ServerDisplay *display);
// The idle order draining every open display's Xlib queue, and the reader of an Xlib socket.
void mainDrainXlibQueues(void *argument = nullptr);
void mainOnXlibInput(void *display);
// The border of a head from the configured width (-1: automatic); 1 when it changed.
int mainHeadBorderWidth(Head *head, int32_t configured);
// The Xlib Display of the connection's real display, or of the first one for NULL.
Display *xproxyXlibDisplay(DisplayConnection *connection);
Head *mainFindHeadByRoot(ServerDisplay *display, Window root);
Head *mainFindHeadByScreen(ServerDisplay *display, int screen);
void mainResetHeadRegions();
// Number of open real displays and the pending idle drain order (for tests and the reset).
uint32_t mainOpenDisplayCount();
Order *mainDrainOrder();
// (mainLogHeadChange and mainUpdateHeadTransform: proxy/head.h)
// The idle work of an Xlib connection: drains its queue (mode as XEventsQueued's), handles the
// LeaveNotify events of the heads' crossing windows and flushes the first real display
// (defined in xmain.cpp).
void xmainHandleDisplayEvents(Display *display, int mode);
// ===== end of real display and configured screens =====

// ===== Server id translation =====
// The client's view of an id a real display reported: 0 and 1 unchanged; the proxy's inner
// window and colormap of a head and the real root and default colormap give the meta screen's
// root and default colormap, the outer and middle windows None; client resources their client
// id; anything else unchanged.
uint32_t mainServerToProxyXid(uint32_t id, ServerDisplay *display);
// The same for an id a head's screen reported; kind 4 maps a head visual to the meta visual.
uint32_t mainHeadXidToProxy(uint32_t kind, uint32_t id, Head *head);
// The head a real id belongs to (the proxy's windows and colormap, a client resource, a real
// root); NULL for any other id.
Head *mainHeadOfServerXid(uint32_t id, ServerDisplay *display);
// ===== end of server id translation =====

// ===== Real-display list and head refresh ============================================
// Refreshes the heads through Xlib after a sync (the real-display code fills it in).
void mainRefreshHeads();
// ===== end of real-display list and head refresh ============================================
// ===== Writers of the ordered output =====
// Every message is given in the proxy's byte order with its wire layout; the writer swaps the
// copy for a client of the other order. Nothing is written for a client whose socket is gone.

// A reply, event or error for the current client at its reply sequence: held back behind any
// older output still outstanding, else written at once.
void mainWriteToClient(const uint8_t *data, uint32_t length, WireLayout layout);
// A reply the proxy built itself: byte 0 becomes 1 and the length word (length - 32) / 4; then
// as mainWriteInSequence. The opcodes are not used.
void mainSendReply(uint8_t major, uint8_t minor, uint8_t *reply, uint32_t length, WireLayout layout,
                   ClientConnection *client);
// A reply or event (32 bytes, more for a GenericEvent) for a given client, at its sequence.
void mainSendToClient(const uint8_t *message, WireLayout layout, ClientConnection *client);
// An event for the current client; the flag goes with it when it must wait (see DeferredMessage).
void mainSendEventToClient(const uint8_t *event, WireLayout layout, uintptr_t flag);
// A 32-byte message (an X error of a real server) into the current client's block of its reply
// sequence, the block made when missing.
void mainQueueEventForClient(const uint8_t *message, WireLayout layout);
// Appends the message to the client's block of the message's own sequence (bytes 2-3), made and
// armed when missing: the message waits for a round trip on every real display. The flag goes
// with it (see DeferredMessage: a crossing event the proxy made carries the deliver bit).
void mainWriteInSequence(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client,
                         uintptr_t flag = 0);
// Takes a block for the sequence, inserts it in order and arms it; NULL when out of memory.
DeferredOutput *mainInsertDeferredOutput(ClientConnection *client, uint32_t sequence);
// Frees every block of a closing client with its messages and their regions.
void mainFreeDeferredOutputs(ClientConnection *client);
// The round trips' reply function: counts the block down and, at zero, writes it and every
// older block.
void mainReleaseDeferredOutput(uint8_t *reply, uintptr_t blockNumber);
// Frees the pool of recycled blocks (at reset and when a real display closes). Between, the
// pool keeps at most 64 blocks; blocks given back beyond them are freed.
void mainFreeDeferredPool();
// Until resource records exist: tells whether a drawable id names a pixmap (NULL: every
// drawable of a GraphicsExpose without region counts as a pixmap and is written as it stands).
extern int (*mainDrawableIsPixmap)(ClientConnection *client, uint32_t drawable);
// Sends the round trips of a block (xproxySendNoOpRequest unless a test replaces it); returns
// the NoOp's sequence, 0 when it could not be written.
using MainNoOpSender = uint32_t (*)(DisplayConnection *connection, NoOpReplyFn fn, uintptr_t argument,
                                    NoOpReleaseFn release);
extern MainNoOpSender mainNoOpSender;
// ===== end of writers of the ordered output =====

// ===== Visuals, id layout, default colormaps and root windows =====
struct ColormapShadow;
// What the clients see, settled once the heads exist and again after each reset: the id
// layout, pixmap formats, each meta screen's visuals and root visual, keycodes, the visual and
// default-colormap ids, and the default colormaps on every head. NULL or an error text.
const char *mainAdjustVisuals(int afterReset);
// The proxy's cursors and three windows on every head, the meta screens' roots, the pointer
// and the focus. With the check flag (start-up) each configured meta screen's size is checked.
const char *mainCreateRootWindows(int check);
// The best entry of a head's visual table for the wanted visual (lowest score; the later
// entry among equals; 0 ends the scan); NULL when none is usable. With narrowing the wanted
// visual is cut to what the winner offers.
VisualRecord *mainMatchVisual(VisualRecord *wanted, VisualRecord *table, int count, Head *head, uint32_t metaCount,
                              int narrow);
// The head's entry for a visual of its meta screen; NULL when the head has no Display or none.
VisualRecord *mainHeadVisual(const VisualRecord *metaVisual, const Head *head);
const char *mainHeadDefaultColormap(Head *head);
// The shadow's cells brought into the head's colormap while no client is connected (the
// primary head's by the colour replication); NULL or "Can't alloc %d shared colors on %s".
const char *mainShareDefaultColors(Head *head, ColormapShadow *shadow);
const char *mainReplicateSharedColors(Head *head, ColormapShadow *shadow, Colormap colormap);
// The id layout of one real display whose resource-id mask is realMask and which carries
// headCount heads: the proxy's client id mask it allows (2^(b - h) - 1, h the bits that number
// headCount + 1: one head number stays the proxy's own).
uint32_t mainDisplayIdMask(uint32_t realMask, uint32_t headCount);
// The display's head-bits mask, free-bits mask, id shift and lowest bit for the proxy's mask.
void mainSetIdLayout(ServerDisplay *display, uint32_t realMask, uint32_t proxyMask);
// The resource-id mask of an Xlib connection (0 for NULL).
uint32_t mainRealIdMask(Display *display);
// The emulation's colormap for the head's emulated visual standing for the shadow.
const char *mainCreateEmulatedColormap(Head *head, VisualRecord *visual, ColormapShadow *shadow);
// Set when the configuration switches GLX off: the GL fields of visuals do not count then.
extern int mainGlxDisabled;
// The program name used in the outer window's name.
extern const char *mainProgramName;
// ===== end of visuals, id layout, default colormaps and root windows =====

// ===== head geometry =====
struct ScreenConfig;
// Head tags (mainHeadTags): 0x1 and 0x8 first head of the first meta screen, 0x2 primary head
// of its meta screen, 0x20 "optimizedDraw", 0x40 GLX head of its meta screen, 0x40000
// StaticDisplay.
enum : uint32_t {
  kHeadTagFirst = 0x1,
  kHeadTagColor = 0x2,
  kHeadTagFirstToo = 0x8,
  kHeadTagOptimizedDraw = 0x20,
  kHeadTagGlx = 0x40,
  kHeadTagStaticDisplay = 0x40000,
};
// Applies the settings of `values` that `mask` selects (ScreenConfig given-mask bits; 0x8 reads
// values->referenceRoot, 0x100000 values->keyboardMap) to the head. client NULL: start-up or
// the proxy itself. NULL or the refusal text; a refusal leaves the later settings unapplied.
const char *mainMoveResizeHead(ClientConnection *client, Head *head, uint32_t mask, const ScreenConfig *values);
uint32_t mainHeadTags(const Head *head);
// Meta-screen coordinates to the head's real screen and back.
void mainRootToHeadXY(int32_t *x, int32_t *y, const Head *head);
void xproxyHeadToRootXY(int32_t *x, int32_t *y, const Head *head);
// The first head of the meta screen whose visible rectangle holds the point; NULL when none.
Head *mainHeadAt(MetaScreen *metaScreen, int32_t x, int32_t y);
// Records a real-server time stamp as the last server time unless it is 0 or earlier than the
// stored one (compared as 32-bit serial numbers); returns it unchanged.
uint32_t mainSetLastTime(uint32_t time);
// ===== end of head geometry =====

// ===== head images =====
struct VisualRecord;
// Reads a client pixmap back from a head (width x height at 0, 0, all planes, ZPixmap) as an
// image in the clients' layout with the pixmap's pixels of its meta visual, the wait for the
// server bounded by the sync limit. NULL with "XGetImage(display=%s pixmap=0x%x) failed: " and
// the reason on the Xhint channel.
XImage *mainGetPixmapImage(uint32_t pixmap, uint32_t width, uint32_t height, Head *head);
// A new image in the clients' layout (ZPixmap for depths of 2 or more) of width x height
// holding the rectangle at x, y of an image of the head's layout, each pixel masked to the
// depth and, when the meta visual needs conversion on the head, brought back to it. Parts
// outside the source stay 0. NULL when out of memory or the depth has no format.
XImage *mainCreateHeadImage(Head *head, XImage *source, int x, int y, int width, int height,
                            const VisualRecord *metaVisual, uint32_t depth);
// ===== end of head images =====

// ===== pointer state =====
// Which head holds the pointer and where (ProxyState: pointerHead, pointerX, pointerY), the
// pointer moves between heads, queries of the real pointer and the pointer poll. `device` is
// 256 for the core pointer (257 the core keyboard) as the grab records use it.
struct MetaScreen;
// Makes a meta position the pointer position: clamps it into the meta screen (and a confining
// grab's region), picks the head that shows it (panning one when needed) and puts the real
// pointer there, carrying grabs and focus across when the head changes (the crossing events of
// a change of head: windowcrossing.h). force: the callers that move the pointer on the real
// server's behalf say so; a change of head is reported alike either way. Nothing waits for
// another client's connection, in the loop or parked: under another client's confining pointer
// grab the warp goes out on the grabbing client's connection in order with the grab it carries
// (the pointer poll does not follow the real pointer until that connection answered a round
// trip behind it); else on the mover's own connection or the proxy's.
void mainPointerTrack(int device, ClientConnection *client, MetaScreen *metaScreen, int32_t x, int32_t y, int force);
// A pointer confined to a window as one screen of the meta screen's size confines it: the
// window's outside as its parent and its shapes clip it (WindowRecord::borderSize), within the
// meta screen or, with a head, within that head's shown rectangle. mainConfinePoint moves the
// point into that region (the point unchanged when the region is empty); mainConfinementReaches
// says whether the region is not empty; mainConfinementHolds whether the point lies in the
// window's region.
void mainConfinePoint(const WindowRecord *confine, const Head *head, int32_t *x, int32_t *y);
bool mainConfinementReaches(const WindowRecord *confine, const Head *head);
bool mainConfinementHolds(const WindowRecord *confine, int32_t x, int32_t y);
// Whether the pointer grab's confinement region has left the pointer's head (its window moved,
// resized or reshaped under the grab) while it is still on the meta screen; then
// mainKeepPointerConfined moves the pointer (as `client`'s move) to the region's point nearest
// to it, onto the head the region reaches, as one screen keeps a confined pointer in its window.
bool mainConfinementLost();
void mainKeepPointerConfined(ClientConnection *client);
// Records a real pointer position on the head's display (poll or real-display events) and,
// while a pointer grab is active, follows the pointer out of the head.
void mainPointerFollow(Head *previous, Head *head, int32_t x, int32_t y, unsigned modifiers, int grabbed);
// Records the pointer head and meta position; 1 when the head changed.
int mainSetPointerHead(int device, Head *head, int32_t x, int32_t y, int force);
// The real id of a client id on the pointer head (a meta root becomes that head's window).
uint32_t mainServerIdOnPointerHead(uint32_t id);
// A real root position on the display to a head and meta position (see the definition for the
// clamping and FixPointerCoordinates); 1 when found, 0 with *head NULL and the outputs unset.
int mainQueryPointer(Display *display, Window root, int32_t x, int32_t y, Head **head, int32_t *metaX,
                     int32_t *metaY, int *clamped);
// The real pointer as a QueryPointer on one of the proxy's own connections answers it: the
// root the pointer is on (0 when none came), the position on that root, the key and button mask.
struct MainRealPointer {
  Window root;
  int32_t rootX, rootY;
  unsigned mask;
};
// QueryPointer on `window` asked on the display's connection and waited for at most the sync
// limit. False when no answer came in time, the connection broke or the server answered with an
// error: logged as the query for `what` on the problem channel, *pointer zeroed.
bool mainQueryRealPointer(Display *display, Window window, const char *what, MainRealPointer *pointer);
// The real pointer asked on the head's real root (mainQueryRealPointer), then mainQueryPointer:
// the head or NULL (the key and button mask in *mask when asked for).
Head *mainQueryPointerOnHead(Display *display, Head *head, int32_t *x, int32_t *y, unsigned *mask = nullptr);
// Warps the real pointer to the meta position on the head (clamped into the real screen):
// through the client's first display connection when given, else through Xlib.
void mainWarpPointerOnHead(int device, ClientConnection *client, Head *head, int32_t x, int32_t y);
// Event selection of every head's middle window (0x20 LeaveWindow on, 0 off), the client's
// connections synchronised first when given.
void mainSelectInputOnHeads(ClientConnection *client, long mask);
// The head, over all meta screens, whose physical placement is nearest to the given head's
// (pointer crossing distance); the head itself when no other qualifies.
Head *mainNearestHead(Head *head);
// The reply of a QueryPointer the poll sent (reply callback tag 254) in the proxy's byte order.
void mainQueryPointerReply(uint8_t *reply, uintptr_t argument);
// The request-callback tag of the poll's QueryPointer.
constexpr uint8_t kReplyTagPointerPoll = 254;
// One step of the pointer poll: a QueryPointer through a set-up client's connection (answered
// by mainQueryPointerReply), else the real pointer asked through Xlib and followed.
void mainPollPointerOnce();
// The connection written out (a failure on the Xhint channel); the client's connections
// synchronised (a failure on the warning channel; nothing for NULL).
void mainFlushConnectionLogged(DisplayConnection *connection);
void mainSyncClientLogged(ClientConnection *client);
// Pending exposures of the heads (emptied, or sent as exposures on the inner windows).
void mainFlushHeadRegions();
// ===== end of pointer state =====

// ===== readable areas =====
// Whether GetImage may read the area of the drawable: never an empty area; inside a pixmap;
// any area of an id the window tree does not know; of a known window only when it is viewable
// and the area, in root coordinates, meets its visible region inside its meta screen.
int mainIsAreaReadable(uint32_t drawable, int32_t x, int32_t y, uint32_t width, uint32_t height);
// ===== end of readable areas =====

// ===== cursors on heads =====
struct CursorRecord;
struct ClientConnection;
struct RequestSink;
// Builds a client's cursor on one head under cursorId (the head's id) through a request sink of
// one of the client's display connections: its bitmaps scaled for the head's zoom, put into
// depth-1 pixmaps made under server-side ids of the client, the cursor created from them and
// the pixmaps freed. A cursor of another depth goes through RENDER; an animated one is made
// by RENDER from its frames, each built the same way. 1, or 0 when a request cannot be written
// or RENDER cannot build it.
int mainCreateCursorOnHead(CursorRecord *cursor, ClientConnection *client, const RequestSink *sink, uint32_t cursorId,
                           Head *head);
// ===== end of cursors on heads =====
