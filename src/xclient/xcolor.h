// The colour-name table: the X colour database's names and values, carried by the proxy so that
// it can answer colour-name lookups of colormaps the real server does not have.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>

// One colour: 8-bit channels and where its name starts in the table's block of names.
struct XcolorEntry {
  uint8_t red;
  uint8_t green;
  uint8_t blue;
  uint8_t unused;
  uint16_t nameOffset;
};

// Looks up the first length bytes of name (need not be NUL-terminated), ignoring ASCII case.
// Found: returns 1 and the colour as 16-bit channels (each 8-bit value times 257). Not found,
// also for a name holding a NUL within its length: returns 0 and leaves the results as they are.
// The display is not used.
int xcolorLookup(Display *display, const char *name, size_t length, uint16_t *red,
                 uint16_t *green, uint16_t *blue);
// A name of the colour given as 16-bit channels (each divided by 257, rounded down), or NULL.
// Of several names, the alphabetically first that does not end in a digit wins; a colour that
// only numbered names carry gets the alphabetically last of them.
const char *xcolorName(uint16_t red, uint16_t green, uint16_t blue);

// The table itself, sorted by the byte order of the lower-cased names (for tests).
int xcolorCount();
const XcolorEntry *xcolorEntry(int index);
const char *xcolorEntryName(const XcolorEntry *entry);
