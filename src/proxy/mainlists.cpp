// The real-display list and the head refresh after a sync.
#include "proxy/main.h"

ServerDisplay *mainServerDisplays = nullptr;
uint32_t mainServerDisplayCount = 0;

// ===== Head refresh =====
#include "proxy/head.h"
#include "proxy/xscreen.h"

// Clears the proxy's inner window on every head with an open display (without exposures), so
// that what was drawn there while no client window covered it goes.
void mainRefreshHeads() {
  for (MetaScreen *m = xscreenList; m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) {
      if (!h->display || !h->innerWindow) continue;
      XClearArea(h->display, h->innerWindow, 0, 0, 0, 0, False);
      XFlush(h->display);
    }
}
// ===== end of head refresh =====

// ===== Freeing a real display =====
#include <cstdlib>

#include "proxy/connections.h"
#include "proxy/head.h"

void mainFreeServerDisplay(ServerDisplay *display) {
  if (!display) return;
  xproxyRemoveServerDisplay(display);
  free(display->keyboardMapFile);
  display->keyboardMapFile = nullptr;
  mainCloseServerDisplay(display, 0);
  // Every client's connection to it goes (the close takes it out of the client's array).
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    for (uint32_t i = c->displayCount; i-- > 0;)
      if (c->displays[i] && c->displays[i]->display == display) xproxyCloseDisplayConnection(c->displays[i]);
  xproxyEndDeparturesTo(display);
  free(display->name);
  free(display);
}
// ===== end of freeing a real display =====
