// Window records.
#include "proxy/window.h"

#include <cstdlib>

#include "proxy/resource.h"
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

void windowFreeRecord(WindowRecord *window) { free(window); }

MetaScreen *windowLookupScreen(uint32_t id) {
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  return window ? window->screen : nullptr;
}
