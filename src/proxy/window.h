// The proxy's window records. Only what the resource database and the colour code read so
// far: the meta screen a window lives on and its visual; the window tree adds the rest.
#pragma once

#include <cstdint>

struct MetaScreen;
struct VisualRecord;

struct WindowRecord {
  uint32_t id;
  MetaScreen *screen;
  VisualRecord *visual;  // of the meta screen
};

// A window record added to the resource tables as type 1; NULL when out of memory or when the
// id's slot is not in use.
WindowRecord *windowCreateRecord(uint32_t id, MetaScreen *screen, VisualRecord *visual);
// The free routine of type 1 (NULL is ignored).
void windowFreeRecord(WindowRecord *window);
// The meta screen of a window id; NULL for an id that names no window.
MetaScreen *windowLookupScreen(uint32_t id);
