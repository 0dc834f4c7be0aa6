// The proxy's window records. Only what the resource database and the colour code read so
// far: the meta screen a window lives on and its visual; the window tree adds the rest.
#pragma once

#include <cstdint>

#include "support/rect.h"

struct MetaScreen;
struct VisualRecord;

struct ClientConnection;

// ===== root windows (records) =====
// One client's interest in a window's events. Each entry is on two lists: its window's (the
// record's selections or the block's entries, in the order of delivery) and its client's own
// (ClientConnection::eventSelections), so that a client's close visits what it selected and
// nothing else. Made and freed only by window.cpp, which keeps both links.
struct EventSelection {
  EventSelection *next;
  ClientConnection *client;
  uint32_t mask;
  EventSelection **link;         // the pointer to this entry in its window's list
  EventSelection *clientNext;    // the client's list (no links for a NULL client)
  EventSelection **clientLink;   // the pointer to this entry in the client's list, or NULL
  uint32_t windowId;             // the window whose list holds the entry
  uint8_t inBlock;               // 1: a block's entries, 0: the window record's selections
};
// ===== end of root windows (records) =====

struct Region;
struct PixmapRecord;
struct CursorRecord;
struct WindowSelectionBlock;

// What a validation keeps of a window while it runs (its old absolute position).
struct WindowValidation {
  int32_t oldX, oldY;
  uint8_t resized;
};

// A resource bound to a window's id by an extension (freed with the window).
struct WindowBoundResource {
  WindowBoundResource *next;
  uint32_t id;
  uint32_t type;
};

struct WindowRecord {
  uint32_t id;
  MetaScreen *screen;
  VisualRecord *visual;  // of the meta screen
  // ===== root windows (fields) =====
  uint16_t windowClass;   // 1 InputOutput, 2 InputOnly
  uint8_t depth;
  // Absolute position of the inside's top-left corner on the meta screen. Kept in 32 bits:
  // a child far inside a far parent lies beyond the 16-bit range; regions clamp it.
  int32_t x, y;
  uint16_t width, height, borderWidth;
  uint32_t colormap;      // client-side id
  uint8_t mapped, realized, viewable;
  EventSelection *selections;  // owned list
  // ===== end of root windows (fields) =====
  // ===== window attributes (fields) =====
  // (bitGravity and windowGravity: window tree fields)
  uint8_t backingStore;   // 0 NotUseful, 1 WhenMapped, 2 Always
  // ===== end of window attributes (fields) =====
  // ===== window tree (fields) =====
  WindowRecord *parent;
  WindowRecord *firstChild;       // top of the stacking order
  WindowRecord *lastChild;        // bottom
  WindowRecord *nextSibling;      // the one below
  WindowRecord *previousSibling;  // the one above
  WindowValidation *validation;   // only during a validation
  // Regions in absolute coordinates (stored in the record's own allocation; empty while not
  // viewable).
  Region *clipList;    // the inside not covered by children or others
  Region *borderClip;  // the whole window (border included) not covered by others
  Region *windowSize;  // the inside, clipped by the parent and the shapes
  Region *borderSize;  // the outside, clipped by the parent
  int32_t originX, originY;  // relative to the parent's inside corner (position plus border)
  uint8_t bitGravity;        // 0 Forget
  uint8_t windowGravity;     // 1 NorthWest
  uint8_t visibility;        // 0 Unobscured, 1 PartiallyObscured, 2 FullyObscured, 3 not viewable
  uint8_t overrideRedirect;
  uint8_t backgroundState;   // 0 None, 1 ParentRelative, 2 pixel, 3 pixmap
  uint8_t keepVisibleExempt;
  PixmapRecord *backgroundPixmap;  // a reference held by the window, or NULL
  CursorRecord *cursor;            // a reference held by the window, or NULL
  // Shapes relative to the inside's corner (NULL: none); set by the SHAPE extension.
  Region *clipShape;
  Region *boundingShape;
  Region *inputShape;
  WindowSelectionBlock *block;     // outlives the record
  ClientConnection *owner;         // NULL for a root
  // Save-set entries and passive grabs (window or confine-to) of any client that name the window:
  // its destruction looks through the clients for them only while there are some. Counted by
  // windowChangeSaveSet / windowHandleSaveSet and xcoreAddGrab / xcoreFreeGrab.
  uint32_t clientHolds;
  void *multibufData;
  struct RenderPicture *renderPictures;  // RENDER pictures made on the window (xext/render.h)
  WindowBoundResource *boundResources;
  // The heads, by id-table index, on which the window's copy was last placed apart from the
  // client's geometry (the real server's 16-bit positions: windowplace.h).
  uint64_t placedApart[2];
  // ===== end of window tree (fields) =====
  // ===== window queries (fields) =====
  // ===== end of window queries (fields) =====
  // ===== GLX windows (fields) =====
  uint8_t glxWindow;  // made by GLXCreateWindow (its visual the FBConfig's)
  // ===== end of GLX windows (fields) =====
};

// A window record added to the resource tables as type 1; NULL when out of memory or when the
// id's slot is not in use.
WindowRecord *windowCreateRecord(uint32_t id, MetaScreen *screen, VisualRecord *visual);
// The free routine of type 1 (NULL is ignored).
void windowFreeRecord(WindowRecord *window);
// The meta screen of a window id; NULL for an id that names no window.
MetaScreen *windowLookupScreen(uint32_t id);

// ===== root windows =====
// The root window of a meta screen: InputOutput, of its root visual's depth and its size,
// its default colormap, mapped, realized and viewable. NULL when out of memory.
WindowRecord *windowCreateRoot(uint32_t id, MetaScreen *screen);
// The union of the event masks all clients selected on the window (0 for NULL).
uint32_t windowAllEventMasks(const WindowRecord *window);
// ===== end of root windows =====

// ===== window tree (interfaces) =====
// One client's event mask as the real server applies it.
// Lifetime: allocated with its window's record (windowAttachTreeData); the record's free
// (windowFreeRecordData) appends it to the destroyed windows' list, where it stays for
// kWindowBlockLifetimeMs; the list's one timer frees it then (windowFreeSelectionBlock), a reset
// frees the whole list at once (windowFreePendingSelectionBlocks). A root's goes with the root.
struct WindowSelectionBlock {
  WindowSelectionBlock *next;      // list of destroyed windows' blocks
  WindowSelectionBlock *previous;  // (the first block's previous is the last)
  EventSelection *entries;
  uint32_t windowId;
  // The geometry as the real server last confirmed it (windowSetServerGeometry writes what the
  // confirmed ConfigureWindow gave). x, y hold the absolute position of the inside at creation
  // and from the destruction on, where windowPosition reads them.
  int16_t x, y, width, height, borderWidth;
  // Loop clock (ordersClock) at which a destroyed window's block goes. The blocks share one
  // timer instead of an order each: they join the list at its tail with the same lifetime, so
  // the list is in the order of this time and the timer waits for the first block's.
  uint64_t expiry;
};

// Validation kinds.
enum : int { kWindowValidateOther = 0, kWindowValidateRestack = 1, kWindowValidateMove = 2,
             kWindowValidateUnmap = 3, kWindowValidateMap = 4 };
constexpr uint32_t kWindowBlockLifetimeMs = 7000;
constexpr uint32_t kWindowVisibilityChangeMask = 0x10000;
constexpr uint32_t kWindowSubstructureRedirectMask = 0x100000;
constexpr uint32_t kWindowExclusiveMasks = 0x140004;   // SubstructureRedirect, ResizeRedirect, ButtonPress
constexpr uint32_t kWindowPointerMasks = 0x1007ffc;

// --- Creation and destruction ---
// A child of the parent owned by the current client, linked at the top of the stacking order;
// class 0 takes the parent's, depth 0 the parent's for InputOutput. NULL when out of memory
// (nothing is registered then).
WindowRecord *windowCreate(uint32_t id, WindowRecord *parent, int32_t x, int32_t y, uint16_t width, uint16_t height,
                           uint16_t borderWidth, uint16_t windowClass, uint8_t depth);
// The creating client's event mask, recorded without a round trip.
void windowApplyCreateAttributes(WindowRecord *window, uint32_t eventMask);
// The free routine of resource type 1 (NULL is ignored): unmaps the window and frees its
// subtree, each descendant's resources and table entry with it, then the window.
void windowDestroy(WindowRecord *window);
// Releases what a record holds; its block moves to the destroyed windows' list for 7 s.
void windowFreeRecordData(WindowRecord *window);
// The block of a live window, else of a destroyed one still waiting; NULL when none.
WindowSelectionBlock *windowSelectionBlockById(uint32_t id);
// Frees one block (a destroyed window's leaves the list; the list's timer is cancelled with
// the list's last block). NULL is ignored.
void windowFreeSelectionBlock(WindowSelectionBlock *block);
// The reset: frees every block of destroyed windows still waiting for its time, and their timer.
void windowFreePendingSelectionBlocks();
// The list of destroyed windows' blocks (for tests and diagnostics).
WindowSelectionBlock *windowPendingSelectionBlocks();
// Entries that the selection drops of closing clients have looked at since the start (for
// tests and diagnostics: a close costs what the client selected, not what the proxy holds).
uint64_t windowDropVisits();

// --- Mapping ---
void windowMap(WindowRecord *window);
void windowMapSubwindows(WindowRecord *window);
void windowUnmap(WindowRecord *window, int fromConfigure);
void windowUnmapSubwindows(WindowRecord *window);
void windowDestroySubwindows(WindowRecord *window);
// Realizes a mapped window's subtree under a realized parent (no validation).
void windowRealizeTree(WindowRecord *window);

// --- Geometry and stacking ---
// ConfigureWindow's values in mask order (x, y, width, height, border, sibling, stack mode).
// 0 or an X error code (2 BadValue, 3 BadWindow, 8 BadMatch).
int windowConfigure(WindowRecord *window, uint32_t mask, const uint32_t *values, ClientConnection *client);
// x, y relative to the parent's inside; nextSibling: the window's new lower neighbour
// (the window itself: keep the stacking).
void windowMove(WindowRecord *window, int32_t x, int32_t y, WindowRecord *nextSibling, int kind);
void windowMoveResize(WindowRecord *window, int32_t x, int32_t y, uint16_t width, uint16_t height,
                      WindowRecord *nextSibling);
void windowChangeBorderWidth(WindowRecord *window, uint16_t borderWidth);
void windowChangeStacking(WindowRecord *window, WindowRecord *nextSibling);
// Where a child of the gravity goes when its parent changes size by dw, dh (x, y relative).
void windowGravityTranslate(int32_t x, int32_t y, int32_t oldX, int32_t oldY, int32_t dw, int32_t dh,
                            unsigned gravity, int32_t *newX, int32_t *newY);
void windowCirculate(WindowRecord *parent, int direction);
// 0 or 8 (BadMatch).
int windowReparent(WindowRecord *window, WindowRecord *parent, int32_t x, int32_t y, ClientConnection *client);
// A window's shape changed: its regions are recomputed, and a pointer grab confined to it keeps
// the pointer inside what it now covers (mainKeepPointerConfined).
void windowSetShape(WindowRecord *window);
// The stay-on-top sibling hook: none.
WindowRecord *windowStayOnTopSibling(WindowRecord *window);

// --- Validation ---
// Recomputes the clip lists and visibilities of the parent's subtree after a change and sends
// VisibilityNotify for each change of visibility. With child, the one child that changed, only
// the windows the change can affect are recomputed (with the same result); with NULL (several
// children changed) the whole subtree is.
void windowValidateTree(WindowRecord *parent, WindowRecord *child, int kind);
// The border clip, clip list and visibility of a viewable window and its subtree, from the
// region left for it by its parent and higher siblings (consumed).
void windowComputeClips(WindowRecord *window, Region *universe);
void windowSendVisibilityNotify(WindowRecord *window);

// --- Queries ---
// The deepest viewable window of the subtree whose outside holds the point (absolute); with
// pointer, the window that holds the pointer there: input-only windows and input shapes count.
WindowRecord *windowAtPoint(WindowRecord *window, int32_t x, int32_t y, int pointer = 0);
// The outside: the bounding shape, else the border box (absolute); the region is reset.
void windowBorderRegion(const WindowRecord *window, Region *out);
WindowRecord *windowNextInTree(WindowRecord *window, WindowRecord *subtreeRoot);
// Visits the subtree from the top window down (a window before its children, children from the
// top); stops when the function returns 2. The value of the last call.
int windowTraverse(WindowRecord *window, int (*function)(WindowRecord *, void *), void *argument);
int windowRedirectedByOther(const WindowRecord *window, const ClientConnection *client);
WindowRecord *windowFindManagedChild(WindowRecord *window);
// The geometry a ConfigureWindow asked for, written to the block once the real server has it.
struct WindowGeometryUpdate {
  uint32_t windowId;
  int16_t x, y, width, height, borderWidth;
};
void windowSetServerGeometry(uint8_t *reply, uintptr_t update);  // update: malloc'ed WindowGeometryUpdate
void windowFreeGeometryUpdate(uintptr_t update);
uint32_t windowClientEventMask(uint32_t windowId);
// The absolute position of the window's inside; 0 when the window is unknown ("UNE").
int windowPosition(uint32_t windowId, int32_t *x, int32_t *y);
// The cursor shown at x, y on the pointer head's meta screen (0 when none).
uint32_t windowCurrentCursor(int32_t x, int32_t y);

// --- Attributes, selections and the save set ---
// 1 when recorded, 0 when refused (another client holds an exclusive bit).
int windowChangeAttributes(WindowRecord *window, uint32_t eventMask);
struct WindowMaskUpdate {
  ClientConnection *client;
  uint32_t windowId;
  uint32_t mask;
};
void windowSetClientEventMask(uint8_t *reply, uintptr_t update);  // update: malloc'ed WindowMaskUpdate
void windowFreeMaskUpdate(uintptr_t update);
void windowSetBackgroundPixmap(WindowRecord *window, uint32_t pixmap);
void windowSetBackgroundPixel(WindowRecord *window);
void windowSetCursor(WindowRecord *window, uint32_t cursor);
// mode 0 insert, 1 delete; 0 or 11 (BadAlloc).
int windowChangeSaveSet(ClientConnection *client, WindowRecord *window, int mode);
// The client's close (before its resources go): its save set, its selections, its grabs.
void windowHandleSaveSet(ClientConnection *client);
void windowDropClientSelections(ClientConnection *client);
void windowReleaseClientGrabs(ClientConnection *client);
// The retained close of a client (its socket gone, its server connections kept): the event
// masks its connections select on the real roots and its windows' copies become 0 and its
// entries go; its passive grabs, its pointer and keyboard grabs are released on the real server
// and in the proxy.
void windowReleaseRetainedClient(ClientConnection *client);

// --- Grabs, freezes and focus ---
constexpr int kWindowPointer = 256;
constexpr int kWindowKeyboard = 257;
int windowGrabPointer(int device, ClientConnection *client, uint32_t window, uint32_t confineTo, uint8_t ownerEvents,
                      uint16_t eventMask, uint8_t pointerMode, uint8_t keyboardMode, CursorRecord *cursor,
                      uint32_t time, uint8_t passive);
int windowCheckUngrabPointer(int device, ClientConnection *client, uint32_t time);
// 1 when released; client 0 for any, time 0 for CurrentTime.
int windowUngrabPointer(int device, ClientConnection *client, uint32_t time);
int windowGrabKeyboard(int device, ClientConnection *client, uint32_t window, uint8_t ownerEvents, uint8_t pointerMode,
                       uint8_t keyboardMode, uint8_t key, uint32_t time, uint8_t passive);
int windowCheckUngrabKeyboard(int device, ClientConnection *client, uint32_t time);
int windowUngrabKeyboard(int device, ClientConnection *client, uint32_t time);
void windowSetPointerFreeze(int device, ClientConnection *client, uint8_t mode);
void windowSetKeyboardFreeze(int device, ClientConnection *client, uint8_t mode);
void windowClearPointerFreeze();
void windowClearKeyboardFreeze();
void windowUnrealizeTree(WindowRecord *window, int fromConfigure);
void windowUnmapFocus(WindowRecord *window);
void windowValidateGrabs();
// ===== end of window tree (interfaces) =====

// ===== keeping windows visible =====
// A meta screen whose heads leave parts of it unshown can keep windows on the shown parts
// (its keepWindowsVisible setting: 0 off; n > 0 at least n pixels of a window stay inside the
// heads' box; -n: the box widens by n on each side and a window hidden by at most n pixels in
// each direction stays). Rectangles are outer rectangles (border included) in meta-screen
// coordinates; positions written back are outer corners relative to the parent.

// Recomputes the meta screen's keep-visible data (hidden-parts flag, heads' box, hidden region)
// and re-places its viewable top-level windows; called whenever the heads' placement changes.
void windowKeepVisible(MetaScreen *screen);
// Moves the rectangle in place so that it stays visible; 1 when it changed.
int windowKeepRectVisible(Rect *rect, MetaScreen *screen);
// Moves a window whose outer rectangle changes under windowKeepRectVisible (exempt windows
// stay), on behalf of the client (NULL: none).
void windowKeepOnScreen(WindowRecord *window, ClientConnection *client);
// Keeps each viewable child on screen; a child as large as the meta screen is descended into.
void windowKeepVisibleWalk(WindowRecord *window);
// WM_NORMAL_HINTS being set on the window: hints are the 18 values in host order; a
// program-specified position (flag 4) is kept visible and written back in place.
void windowKeepHintsVisible(WindowRecord *window, uint32_t *hints);
// A ConfigureRequest event (32 bytes, host byte order, the client-side window id at byte 8,
// x and y at bytes 16 and 18 relative to the parent as the client sees them): with x or y in
// the value mask the requested rectangle is kept visible and x and y are replaced in place.
void windowKeepRequestVisible(uint8_t *event);
// Whether the window or an ancestor carries the keep-visible exemption.
int windowKeepVisibleExempt(const WindowRecord *window);
// ===== end of keeping windows visible =====
