// The real-display list and the head refresh after a sync.
#include "proxy/main.h"

ServerDisplay *mainServerDisplays = nullptr;
uint32_t mainServerDisplayCount = 0;

// ===== Head refresh =====
#include "proxy/head.h"
#include "proxy/xscreen.h"

#include <poll.h>

namespace {

// Whether the display's socket takes more now: a server that stopped reading fills it, and a
// flush would then wait for that server.
bool takesMore(Display *display) {
  pollfd slot{ConnectionNumber(display), POLLOUT, 0};
  return poll(&slot, 1, 0) == 1 && (slot.revents & POLLOUT) && !(slot.revents & (POLLERR | POLLHUP));
}

}  // namespace

// Clears the proxy's inner window on every head with an open display (without exposures), so
// that what was drawn there while no client window covered it goes. A head whose server does
// not take more now is left out (the next refresh clears it).
void mainRefreshHeads() {
  for (MetaScreen *m = xscreenList; m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) {
      if (!h->display || !h->innerWindow || !takesMore(h->display)) continue;
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
