// Black and white pixels of a meta screen, from the head that can best provide them.
#include "proxy/xscreen.h"

#include <algorithm>

#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xdisplay.h"
#include "proxy/xemulation.h"
#include "proxy/xproxy.h"
#include "support/logging.h"

void xscreenAdjustColors(MetaScreen *screen) {
  if (!screen) return;
  LOG(logChannelStep, "Adjusting colors of %s ...", xscreenName(screen));
  Head *best = nullptr;
  uint32_t bestScore = 0;
  for (Head *h = screen->heads; h; h = h->next) {
    uint32_t score = h == screen->primaryHead ? 0 : 200;
    VisualRecord *hv = xproxyHeadVisual(h, screen->rootVisual);
    if (!hv || !h->display || hv->visualId != XVisualIDFromVisual(DefaultVisual(h->display, h->screen))) score += 50;
    if (!best || score < bestScore) {
      best = h;
      bestScore = score;
    }
  }
  if (best && best->display) {
    Display *d = best->display;
    Colormap cm = best->shadowColormap ? best->shadowColormap : best->defaultColormap;
    VisualRecord *hv = xproxyHeadVisual(best, screen->rootVisual);
    if (hv && hv->baseVisualId) {
      auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(screen->defaultColormap, kResourceColormap));
      XColor black{0, 0, 0, 0, DoRed | DoGreen | DoBlue, 0};
      XColor white{0, 0xffff, 0xffff, 0xffff, DoRed | DoGreen | DoBlue, 0};
      if (shadow && shadow->emulated && xemulationAllocColor(d, shadow->emulated, &black) &&
          xemulationAllocColor(d, shadow->emulated, &white)) {
        screen->blackPixel = uint32_t(black.pixel);
        screen->whitePixel = uint32_t(white.pixel);
        XColor items[2] = {black, white};
        for (XColor &item : items) item.pixel = xproxyPixelToServer(uint32_t(item.pixel), screen->rootVisual, best);
        XStoreColors(d, cm, items, 2);
      } else {
        screen->blackPixel = 0;
        screen->whitePixel = 1;
      }
    } else {
      // The screen's own pixels stay when the allocation fails.
      unsigned long black = BlackPixel(d, best->screen), white = WhitePixel(d, best->screen);
      xdisplayAllocBlackWhite(d, cm, &black, &white);
      screen->blackPixel = xproxyPixelFromServer(uint32_t(black), screen->rootVisual, best);
      screen->whitePixel = xproxyPixelFromServer(uint32_t(white), screen->rootVisual, best);
    }
    if (resourceVisualTracing()) {
      LOG(logChannelInfo, "BlackPixel = 0x%x (meta %d, from %s, cmap 0x%lx)", screen->blackPixel, int(screen->index),
          xscreenHeadName(best), cm);
      LOG(logChannelInfo, "WhitePixel = 0x%x (meta %d, from %s, cmap 0x%lx)", screen->whitePixel, int(screen->index),
          xscreenHeadName(best), cm);
    }
  }
  screen->maxInstalledMaps = screen->minInstalledMaps = 0xffffffffu;
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    Screen *s = ScreenOfDisplay(h->display, h->screen);
    screen->maxInstalledMaps = std::min<uint32_t>(screen->maxInstalledMaps, uint32_t(MaxCmapsOfScreen(s)));
    screen->minInstalledMaps = std::min<uint32_t>(screen->minInstalledMaps, uint32_t(MinCmapsOfScreen(s)));
  }
}
