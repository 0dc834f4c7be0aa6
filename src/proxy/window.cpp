// Window records.
#include "proxy/window.h"

#include <cstdlib>

#include "proxy/resource.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"

WindowRecord *windowCreateRecord(uint32_t id, MetaScreen *screen, VisualRecord *visual) {
  auto *window = static_cast<WindowRecord *>(calloc(1, sizeof(WindowRecord)));
  if (!window) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  window->id = id;
  window->screen = screen;
  window->visual = visual;
  if (!resourceAdd(id, kResourceWindow, window)) return nullptr;
  return window;
}

void windowFreeRecord(WindowRecord *window) {
  if (!window) return;
  // ===== root windows (free) =====
  while (EventSelection *selection = window->selections) {
    window->selections = selection->next;
    free(selection);
  }
  // ===== end of root windows (free) =====
  free(window);
}

MetaScreen *windowLookupScreen(uint32_t id) {
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  return window ? window->screen : nullptr;
}

// ===== root windows =====
WindowRecord *windowCreateRoot(uint32_t id, MetaScreen *screen) {
  WindowRecord *window = windowCreateRecord(id, screen, screen->rootVisual);
  if (!window) return nullptr;
  window->windowClass = 1;
  window->depth = screen->rootVisual ? screen->rootVisual->depth : 0;
  window->width = uint16_t(screen->width > 0xffff ? 0xffff : screen->width);
  window->height = uint16_t(screen->height > 0xffff ? 0xffff : screen->height);
  window->colormap = screen->defaultColormap;
  window->windowGravity = 1;  // NorthWest, as every window that does not ask for another
  window->mapped = window->realized = window->viewable = 1;
  screen->root = id;
  return window;
}

uint32_t windowAllEventMasks(const WindowRecord *window) {
  uint32_t mask = 0;
  for (const EventSelection *s = window ? window->selections : nullptr; s; s = s->next) mask |= s->mask;
  return mask;
}
// ===== end of root windows =====

// ===== window tree (interfaces) =====
void windowFreeSelectionBlock(WindowSelectionBlock *) {}
void windowFreePendingSelectionBlocks() {}
void windowHandleSaveSet(ClientConnection *) {}
void windowDropClientSelections(ClientConnection *) {}
void windowReleaseClientGrabs(ClientConnection *) {}
int windowUngrabPointer(int, ClientConnection *, uint32_t) { return 0; }
int windowUngrabKeyboard(int, ClientConnection *, uint32_t) { return 0; }
// ===== end of window tree (interfaces) =====
