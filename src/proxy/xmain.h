// The colour cells of a colormap shadow.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

struct ColormapShadow;

// ===== Colour cells of a shadow =====
// Stores the channels the flags select (1 red, 2 green, 4 blue) at the pixel's cell; nothing
// for a shadow without colour arrays.
void xmainStoreCell(ColormapShadow *shadow, uint32_t pixel, uint16_t red, uint16_t green, uint16_t blue,
                    uint8_t flags);
// Reads the cell's colour into colour (its pixel stays); black for a shadow without arrays.
void xmainQueryCell(const ColormapShadow *shadow, uint32_t pixel, XColor *colour);
// ===== end of colour cells of a shadow =====
