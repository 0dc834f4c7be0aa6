// The proxy's window records. Only what the resource database and the colour code read so
// far: the meta screen a window lives on and its visual; the window tree adds the rest.
#pragma once

#include <cstdint>

struct MetaScreen;
struct VisualRecord;

struct ClientConnection;

// ===== root windows (records) =====
// One client's interest in a window's events.
struct EventSelection {
  EventSelection *next;
  ClientConnection *client;
  uint32_t mask;
};
// ===== end of root windows (records) =====

struct WindowRecord {
  uint32_t id;
  MetaScreen *screen;
  VisualRecord *visual;  // of the meta screen
  // ===== root windows (fields) =====
  uint16_t windowClass;   // 1 InputOutput, 2 InputOnly
  uint8_t depth;
  int16_t x, y;
  uint16_t width, height, borderWidth;
  uint32_t colormap;      // client-side id
  uint8_t mapped, realized, viewable;
  EventSelection *selections;  // owned list
  // ===== end of root windows (fields) =====
  // ===== window attributes (fields) =====
  uint8_t bitGravity;     // 0 Forget
  uint8_t windowGravity;  // 1 NorthWest unless given
  uint8_t backingStore;   // 0 NotUseful, 1 WhenMapped, 2 Always
  // ===== end of window attributes (fields) =====
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
struct WindowSelectionBlock;
// Frees one block of a destroyed window, cancelling its timer first (NULL is ignored).
void windowFreeSelectionBlock(WindowSelectionBlock *block);
// The reset: frees every block of destroyed windows still waiting for its timer.
void windowFreePendingSelectionBlocks();
// The client's close (before its resources go): its save set, its selections, its grabs.
void windowHandleSaveSet(ClientConnection *client);
void windowDropClientSelections(ClientConnection *client);
void windowReleaseClientGrabs(ClientConnection *client);
// Device numbers of the grab operations (the operations ignore them).
constexpr int kWindowPointer = 256;
constexpr int kWindowKeyboard = 257;
// 1 when released; client 0 for any, time 0 for CurrentTime.
int windowUngrabPointer(int device, ClientConnection *client, uint32_t time);
int windowUngrabKeyboard(int device, ClientConnection *client, uint32_t time);
// ===== end of window tree (interfaces) =====
