// Meta screens and heads: names used in log lines and the writer of a message into a client's
// output.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// ===== Meta screens (records and operations) =====
#include "support/rect.h"
#include "xclient/glxsupport.h"

struct Region;

struct Head;
struct VisualRecord;
struct MetaScreenConfig;

// A screen as the clients see it, made of one or more heads. Allocated zeroed; lives for the
// whole run in the list of ProxyState (appended at the tail; the first one's previous is the
// tail).
struct MetaScreen {
  MetaScreen *next;
  MetaScreen *previous;
  uint32_t index;            // the screen number the clients see
  Head *heads;               // first head (heads are linked by their own next)
  VisualRecord *rootVisual;  // entry of the visual table that is the root visual
  uint32_t defaultColormap;  // client-side id
  uint16_t headCount;
  uint8_t backingStore;
  uint8_t saveUnders;
  uint8_t visualIdsContiguous;
  int32_t x, y;              // origin of the pixel rectangle (0, 0)
  uint32_t width, height;    // pixels
  double xMM, yMM;           // place in the common physical layout
  double widthMM, heightMM;
  uint32_t blackPixel, whitePixel;
  uint32_t maxInstalledMaps, minInstalledMaps;  // 0xffffffff without heads
  char *name;                // configured name (malloc'ed) or NULL
  uint32_t direction;        // 0 absolute, 1 same place, 2 west, 3 east, 4 north, 5 south of the reference
  int32_t referenceIndex;    // index of the meta screen this one is placed against
  int32_t offsetX, offsetY;  // placement offset in pixels
  Head *primaryHead;         // preferred for screen-wide resources
  // ===== head geometry =====
  Head *glxHead;             // the head tagged "glx"; NULL when none
  // ===== end of head geometry =====
  VisualRecord *visuals;
  uint32_t visualCount;
  uint32_t glVersion;        // major * 64 + minor
  GlCapabilities glCapabilities;
  int32_t keepWindowsVisible;  // -65535..65535; 0 = off
  uint32_t root;             // client-side id of the root window (0 until the root windows exist)
  int32_t widthWord, heightWord;  // the configured size words: 0, -10, -11 follow the heads
  // ===== keeping windows visible (fields) =====
  uint8_t hiddenParts;       // some part of the screen is shown by no head
  Rect headsBox;             // bounding box of the heads' union (widened for a negative setting)
  Region *hiddenRegion;      // the screen minus the heads' union (owned; NULL until computed)
  // ===== end of keeping windows visible (fields) =====
};

// The list of meta screens (the first one's previous is the tail) and the screen counter: the
// index the next meta screen takes.
extern MetaScreen *xscreenList;
extern uint32_t xscreenCounter;

// A meta screen change: the fields of a MetaScreenConfig from its change mask on.
struct MetaScreenChange {
  uint32_t mask;  // bits: 0x1 name, 0x2 width, 0x4 height, 0x8 direction, 0x10 reference index,
                  // 0x20 offsetX, 0x40 offsetY, 0x80 keep windows visible, 0x400 widthMM,
                  // 0x800 heightMM; 0x2000 and 0x4000 passed on
  uint32_t reserved;
  const char *name;
  int32_t width;   // 0: the heads' width, -10 twice, -11 three times that
  int32_t height;
  uint32_t direction;
  int32_t referenceIndex;
  int32_t offsetX;
  int32_t offsetY;
  int32_t keepWindowsVisible;
  int32_t widthMM;
  int32_t heightMM;
};
// The change that a configured meta screen describes (its change mask and values).
MetaScreenChange xscreenChangeFromConfig(const MetaScreenConfig *config);

// Lookups and names.
MetaScreen *xscreenNew();
MetaScreen *xscreenFindByIndex(uint32_t index);
MetaScreen *xscreenFindByRoot(uint32_t root);
MetaScreen *xscreenFirst();
// Frees every meta screen and its heads (exit and tests).
void xscreenFreeAll();
const char *xscreenName(const MetaScreen *screen);
const char *xscreenHeadName(const Head *head);
const char *xscreenDescribe(const MetaScreen *screen);
const char *xscreenDescribeHead(const Head *head);
bool xscreenNoClients();
VisualRecord *xscreenFindVisual(const MetaScreen *screen, uint32_t visualId);

// Geometry.
int32_t xscreenHeadMmX(const Head *head);
int32_t xscreenHeadMmY(const Head *head);
int32_t xscreenHeadPixelX(const Head *head);
int32_t xscreenHeadPixelY(const Head *head);
// 1 on success, 0 on a cycle, a missing reference or an unknown direction.
int xscreenResolvePlacement(const MetaScreen *screen, int depth, double *xMM, double *yMM, double *widthMM,
                            double *heightMM);
// Applies the change; NULL or an error text. A failed change leaves the screen as it was.
const char *xscreenApplyMetaChange(MetaScreen *screen, const MetaScreenChange *change);
// Recomputes the size of a meta screen whose configured width or height words follow the heads
// (0, -10, -11), only while no client is connected: heads normalised, pixel and millimetre
// sizes from their union.
void xscreenRecomputeSize(MetaScreen *screen);
// A pixel distance of the meta screen in millimetres (by the first head with a Display; 0 with
// none); axis 0 horizontal, 1 vertical.
double xscreenPixelsToMM(const MetaScreen *screen, int64_t pixels, int axis);

// Output and connections.
const char *xscreenBrokenConnection(ClientConnection *client);
const char *xscreenFlushClientConnections(ClientConnection *client);
const char *xscreenFlushAllConnections();
void xscreenRestartTimer(ClientConnection *client);
// ===== end of meta screens (records and operations) =====

// The text naming a client in log lines: "no client" for NULL; a local client by the class name
// of its WM_CLASS, else its WM_NAME, else "client %u"; a remote one as "%s@%s" with that name
// and its host, or "client #%u@%s". The formatted forms live in one static buffer that the next
// call overwrites.
const char *xscreenClientName(ClientConnection *client);

// Copies a message into the client's output and swaps the copy by its layout when the client
// has the other byte order (the caller's bytes stay as they are). Returns the copy; NULL when no
// output space can be had.
uint8_t *xscreenCopySwapped(const uint8_t *data, uint32_t length, WireLayout layout, ClientConnection *client);

// ===== Black and white pixels of a meta screen =====
// Chooses the head that provides BlackPixel and WhitePixel (the primary head showing its
// screen's default visual first; the first of equals) and sets them; then the installed-maps
// minima over the heads.
void xscreenAdjustColors(MetaScreen *screen);
// ===== end of black and white pixels of a meta screen =====
