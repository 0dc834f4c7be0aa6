// ===== Colour cells of a shadow =====
#include "proxy/xmain.h"

#include "proxy/resource.h"  // the cell index and the shadow record

void xmainStoreCell(ColormapShadow *shadow, uint32_t pixel, uint16_t red, uint16_t green, uint16_t blue,
                    uint8_t flags) {
  if (!shadow || !shadow->red) return;
  if (flags & DoRed) shadow->red[resourceCellIndex(shadow, pixel, 0)] = red;
  if (flags & DoGreen) shadow->green[resourceCellIndex(shadow, pixel, 1)] = green;
  if (flags & DoBlue) shadow->blue[resourceCellIndex(shadow, pixel, 2)] = blue;
}

void xmainQueryCell(const ColormapShadow *shadow, uint32_t pixel, XColor *colour) {
  colour->red = colour->green = colour->blue = 0;
  if (!shadow || !shadow->red) return;
  colour->red = shadow->red[resourceCellIndex(shadow, pixel, 0)];
  colour->green = shadow->green[resourceCellIndex(shadow, pixel, 1)];
  colour->blue = shadow->blue[resourceCellIndex(shadow, pixel, 2)];
}
// ===== end of colour cells of a shadow =====

// ===== Extension list and zoom scaling =====
int xtestEmulated;

const char *xmainInitExtensions() { return nullptr; }

uint8_t xmainAllocExtensionOpcode() { return 0; }

void xmainScalePoint(int32_t *, int32_t *, const Head *) {}
// ===== end of extension list and zoom scaling =====
