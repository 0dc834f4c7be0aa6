// Heads: one screen of the real X server inside a meta screen; creation with its visual
// table, attachment to its meta screen and real display, numbering for the id mapping,
// rectangle tests, visual-id translation and panning (implemented in xproxyhead.cpp). The
// header declares only: the meta screens and the real displays include it.
#pragma once

// ===== Heads ================================================================================
#include <cstdint>

#include <X11/Xlib.h>


#include "proxy/xpointer.h"
#include "proxy/xvisual.h"
#include "support/rect.h"

struct Region;
struct MetaScreen;
struct ServerDisplay;
struct ClientConnection;

// A server visual id and the meta screen visual (by index) whose entry on a head carries it.
struct HeadVisualIndex {
  uint32_t serverId;
  uint32_t metaIndex;
};

// One screen of the real X server placed inside a MetaScreen. Allocated zeroed; linked in its
// MetaScreen's list of heads.
struct Head {
  Head *next;
  Head *prev;
  // The real screen.
  Display *display;        // NULL while its real display is closed
  int screen;
  Window root;             // the real root window
  Colormap defaultColormap;
  unsigned long blackPixel, whitePixel;
  uint32_t realWidth, realHeight;  // pixels
  uint32_t widthMM, heightMM;
  uint32_t depth;                  // the default depth
  uint32_t maxInstalledMaps, minInstalledMaps;
  MetaScreen *metaScreen;
  ServerDisplay *serverDisplay;
  // The proxy's resources on the head.
  Colormap shadowColormap;  // shadows the meta screen's default colormap; 0 when none
  Window rootWindow;        // the head's window standing for the meta screen's root
  Window inputWindow;       // the proxy's window on which crossing events arrive
  Window outerWindow, middleWindow, innerWindow;  // the three proxy windows
  uint32_t rootVisualId;    // the root visual on the real screen and its depth
  uint32_t rootDepth;
  Cursor cursor, invisibleCursor;
  Pixmap backgroundPattern;
  VisualRecord **visualMap;  // one entry per meta screen visual (NULL: none on this head)
  // The entries of visualMap by server visual id (xproxyIndexHeadVisuals); searched instead
  // while NULL or built for another map.
  HeadVisualIndex *visualIndex;
  uint32_t visualIndexCount;
  VisualRecord **visualIndexMap;  // the map the index was built from
  uint32_t clientRoot;       // client-side root window id
  // Numbering used by the id mapping.
  uint32_t idIndex;          // lowest free over all heads; below kHeadIdTableEntries
  Head *fontHead;            // the head whose id base serves fonts for the display
  uint32_t displayNumber;    // lowest free among the heads of the same ServerDisplay
  VisualRecord *visuals;     // own table: real visuals, then emulated ones
  int visualCount;
  // Geometry. `rect` is the head's rectangle inside the meta screen; `logical` the part of the
  // real screen it uses (x, y = the border); `visible` the size shown (panning).
  Rect rect;
  Rect logical;
  Rect visible;
  uint32_t border;           // border width around the logical rectangle
  uint32_t direction;        // placement against the reference head
  Head *reference;
  double zoomX, zoomY;       // 1.0 at creation
  int16_t panX, panY;        // pan steps; both 0: no panning
  uint16_t panModifiers;     // modifier mask that must be held to pan
  uint8_t warpToCenter;
  uint8_t staticDisplay;
  uint8_t wrapX, wrapY;
  uint8_t optimizedDraw;
  int32_t followPointerX, followPointerY;  // pointer-following margins
  uint16_t followPointerModifiers;
  uint8_t followPointerJump;
  Region *exposures;         // areas newly shown by panning while grabbed
  HeadPointerArea pointerArea;  // the head in the physical plane
  // GL and naming.
  uint32_t glxVersion;       // GLX version code of the real server
  char *glLibraryName;
  void *glLibrary;           // instance of the Lumora path
  char name[256];
  char secondName[257];
  uint32_t videoPortCount;
  uint8_t culling;           // drawing that misses the head's area sends it no copy
  // ===== display leader =====
  Head *displayLeader;       // the first head, in meta-screen order, on the same Xlib Display
  // ===== end of display leader =====
};

// The number of heads whose culling flag is set (kept by the head geometry code).
extern uint32_t xproxyCullingHeadCount;

// Flags of xproxyQueryVisuals: the emulation mask (xemulation.h), kEmulateOnly drops the real
// visuals when emulated ones exist.
const char *xproxyQueryVisuals(const char *name, const char *secondName, Display *display, int screen,
                               uint32_t flags, Head **head);
const char *xproxySetHeadPan(Head *head, int panX, int panY);
// The id-table index the next head takes: the lowest one no head holds.
uint32_t xproxyFreeHeadIndex();
// Appends the head, numbers it (id-table index, number within its display, font head), makes
// the first head primary, recomputes the meta screen's size and places the head.
void xproxyAddHeadToMetaScreen(Head *head, MetaScreen *metaScreen);
void xproxyAttachHeadToDisplay(Head *head, ServerDisplay *display);
Head *xproxyFontHeadOf(Head *head);
void xproxyAddServerDisplay(ServerDisplay *display);
void xproxyRemoveServerDisplay(ServerDisplay *display);
// Frees a head that is in no list (its visuals, map, exposure region and names).
void xproxyFreeHead(Head *head);
// 1 when the rectangle at bytes 8-15 of the request overlaps the head's rectangle.
int xproxyRectOnHead(const Head *head, const uint8_t *request);
uint32_t xproxyVisualIdToServer(uint32_t visualId, const Head *head);
VisualRecord *xproxyFindVisualByServerId(const Head *head, uint32_t serverVisualId);
uint32_t xproxyServerVisualToProxy(uint32_t serverVisualId, const ServerDisplay *display, const Head *head);
// Builds (again) the head's index of visualMap by server visual id; frees it with a NULL map.
// Out of memory leaves no index (the lookups search).
void xproxyIndexHeadVisuals(Head *head);
int xproxyPanActive(const Head *head, unsigned state);
int xproxyPanHead(Head *head, int32_t x, int32_t y, ClientConnection *client, int clamp);
int xproxyPanAtEdge(Head *head, XCrossingEvent *event);

// Head changes (defined with the real displays): logged (kind 1 created, 2 removed, 0 changed)
// and the head's physical place handed to the pointer crossing.
void mainLogHeadChange(Head *head, int kind, uint32_t mask);
void mainUpdateHeadTransform(Head *head);
// Moves the proxy's windows of a head that moved inside its meta screen (none exist yet).
void mainMoveHeadWindows(Head *head, ClientConnection *client, int moveOnly);
// ===== end of heads =========================================================================
