#include "proxy/pointerstandin.h"

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

int mainQueryPointer(ServerDisplay *display, uint32_t root, int32_t x, int32_t y, Head **head, int32_t *metaX,
                     int32_t *metaY, int *clamped) {
  Head *best = nullptr;
  int64_t bestDistance = 0;
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next)
    for (Head *h = ms->heads; h; h = h->next) {
      if (h->serverDisplay != display || h->root != root) continue;
      int64_t left = int64_t(h->logical.x) - h->border, top = int64_t(h->logical.y) - h->border;
      int64_t right = int64_t(h->logical.x) + h->logical.width + h->border;
      int64_t bottom = int64_t(h->logical.y) + h->logical.height + h->border;
      int64_t dx = x < left ? left - x : (x >= right ? x - right + 1 : 0);
      int64_t dy = y < top ? top - y : (y >= bottom ? y - bottom + 1 : 0);
      if (!best || dx + dy < bestDistance) {
        best = h;
        bestDistance = dx + dy;
      }
    }
  if (!best) return 0;
  int32_t mx = x, my = y;
  xproxyHeadToRootXY(&mx, &my, best);
  int64_t w = best->visible.width ? best->visible.width : best->rect.width;
  int64_t hgt = best->visible.height ? best->visible.height : best->rect.height;
  int c = 0;
  if (mx < best->rect.x) mx = best->rect.x, c = 1;
  if (my < best->rect.y) my = best->rect.y, c = 1;
  if (w > 0 && mx >= best->rect.x + w) mx = int32_t(best->rect.x + w - 1), c = 1;
  if (hgt > 0 && my >= best->rect.y + hgt) my = int32_t(best->rect.y + hgt - 1), c = 1;
  *head = best;
  *metaX = mx;
  *metaY = my;
  *clamped = c;
  return 1;
}

void mainPointerTrack(int, ClientConnection *, MetaScreen *, int32_t, int32_t, int) {}

void windowKeepRequestVisible(uint8_t *) {}
