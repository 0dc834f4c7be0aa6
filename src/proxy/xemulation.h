// Emulated visuals (visuals a real screen lacks, carried by a deeper "base" visual of the same
// screen) and the colormaps of emulated visuals, which the proxy keeps itself: cells, colours
// and which client owns which cell, with the X server's allocation rules.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

#include "proxy/xvisual.h"

// Emulation mask bits (a head's emulated visuals).
constexpr uint32_t kEmulatePseudoColor4 = 0x1;
constexpr uint32_t kEmulatePseudoColor8 = 0x2;
constexpr uint32_t kEmulateOnlyMissing = 0x1000;  // only when the head has no such visual
constexpr uint32_t kEmulateOnly = 0x2000;         // the head offers only the emulated visuals

constexpr int kEmulatedMaxClients = 1024;

struct EmulatedCell {
  uint16_t state;  // 0 free, 1 shared read-only, 2 private read-write
  uint16_t red, green, blue;  // only the channel mask's bits
  uint8_t owners[kEmulatedMaxClients / 8];  // bit (index & 7) of byte (index >> 3)
};

struct EmulatedColormap {
  uint32_t realColormap;  // the head's colormap standing for it; 0 when none was made
  VisualRecord *visual;
  EmulatedCell cells[256];  // the first colormap-entries are used
};

// The owner index operations use: the current client's index, supplied by the connection
// code (index 0 until a function is installed or without a current client).
using XemulationClientIndexFn = uint32_t (*)();
void xemulationSetClientIndexFunction(XemulationClientIndexFn function);

// The emulated records for a head (heap array owned by the caller, NULL and 0 when none).
const char *xemulationAddVisuals(Display *display, const VisualRecord *visuals, int count, uint32_t mask,
                                 VisualRecord **array, int *arrayCount);
const char *xemulationCreateColormap(Display *display, Window window, VisualRecord *visual,
                                     EmulatedColormap *colormap);
bool xemulationAllocColor(Display *display, EmulatedColormap *colormap, XColor *color);
bool xemulationAllocNamedColor(Display *display, EmulatedColormap *colormap, const char *name, XColor *color);
bool xemulationAllocCells(Display *display, EmulatedColormap *colormap, bool contiguous, unsigned long *masks,
                          int planeCount, unsigned long *pixels, int pixelCount);
bool xemulationAllocPlanes(Display *display, EmulatedColormap *colormap, bool contiguous, unsigned long *pixels,
                           int pixelCount, int redPlanes, int greenPlanes, int bluePlanes, unsigned long *redMask,
                           unsigned long *greenMask, unsigned long *blueMask);
// Stores into read-write cells only; returns 0, or the error of a failed item (BadValue for a
// pixel beyond the entries, BadAccess for a free or read-only cell); the others still go in.
int xemulationStoreColors(Display *display, EmulatedColormap *colormap, const XColor *colors, int count);
bool xemulationQueryColors(Display *display, EmulatedColormap *colormap, XColor *colors, int count);
void xemulationFreeColors(Display *display, EmulatedColormap *colormap, const unsigned long *pixels, int count,
                          unsigned long planeMask);
void xemulationFreeClientCells(EmulatedColormap *colormap);
// CopyColormapAndFree: the current client's cells move from the source to the destination.
const char *xemulationCopyColormap(Display *display, EmulatedColormap *source, EmulatedColormap *destination);
bool xemulationLookupColor(Display *display, EmulatedColormap *colormap, const char *name, XColor *color);
// Entries of the colour-name cache and the room it has (for tests).
int xemulationColorCacheCount();
int xemulationColorCacheCapacity();
