// Pieces of the visual adjustment that need headers the rest of main.cpp must not see: the
// emulation's colormaps (whose mask names collide with the configuration's) and Xlib's
// private display record (the resource-id mask).
#include <X11/Xlibint.h>

#include <cstdlib>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xemulation.h"
#include "support/strtemp.h"

// ===== Visuals, id layout, default colormaps and root windows (helpers) =====
uint32_t mainRealIdMask(Display *display) { return display ? uint32_t(display->resource_mask) : 0; }

const char *mainCreateEmulatedColormap(Head *head, VisualRecord *visual, ColormapShadow *shadow) {
  if (!shadow->emulated) {
    shadow->emulated = static_cast<EmulatedColormap *>(calloc(1, sizeof(EmulatedColormap)));
    if (!shadow->emulated) return OUT_OF_MEMORY_TEXT();
  }
  if (const char *error = xemulationCreateColormap(head->display, head->root, visual, shadow->emulated)) return error;
  head->shadowColormap = shadow->emulated->realColormap;
  return nullptr;
}
// ===== end of visuals, id layout, default colormaps and root windows (helpers) =====
