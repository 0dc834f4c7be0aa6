// The proxy's own connection setup reply.
#include "proxy/xcoresetup.h"

// ===== connection setup reply =====
#include <algorithm>
#include <cmath>
#include <string>
#include <cstring>
#include <vector>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"
#include "proxy/window.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/strtemp.h"
#include "xext/byteswap.h"

namespace {

constexpr const char *kSetupSource = "Proxy/xcore";

uint32_t load32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
void store16(uint8_t *p, uint32_t v) {
  auto w = uint16_t(v);
  memcpy(p, &w, 2);
}
void store32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }

// Millimetres rounded half away from zero, kept inside a CARD16.
uint16_t roundedMM(double mm) {
  double r = std::round(mm);
  if (!(r > 0)) return 0;
  return r >= 65535 ? 65535 : uint16_t(r);
}

// A depth and the visuals announced under it, in table order.
struct DepthGroup {
  uint8_t depth;
  std::vector<const VisualRecord *> visuals;
};

// The depth groups of a meta screen: depth 1 first (always sent, maybe empty), then the other
// depths in the order of their first visual.
bool groupByDepth(const MetaScreen *screen, std::vector<DepthGroup> &groups) {
  try {
    groups.clear();
    groups.push_back(DepthGroup{1, {}});
    for (uint32_t i = 0; i < screen->visualCount; i++) {
      const VisualRecord *v = &screen->visuals[i];
      DepthGroup *group = nullptr;
      for (DepthGroup &g : groups)
        if (g.depth == v->depth) group = &g;
      if (!group) {
        groups.push_back(DepthGroup{v->depth, {}});
        group = &groups.back();
      }
      group->visuals.push_back(v);
    }
    return groups.size() <= 255;
  } catch (...) {
    return false;
  }
}

void closeOutOfMemory(ClientConnection *client, int line) {
  logProblem(OUT_OF_MEMORY_TEXT_AT(kSetupSource), kSetupSource, line);
  xprotoCloseWithReason(&client->reader, OUT_OF_MEMORY_TEXT_AT(kSetupSource));
}

// The real server refused the connection: its reason (as far as the answer holds it) is
// logged and the answer goes to the client as it came; the client is then closed.
void refusedSetup(ClientConnection *client, const uint8_t *reply, uint32_t length) {
  uint32_t reasonLength = length >= 8 ? reply[1] : 0;
  if (reasonLength > length - std::min<uint32_t>(length, 8)) reasonLength = length - std::min<uint32_t>(length, 8);
  std::string reason(reinterpret_cast<const char *>(reply) + 8, reasonLength);
  LOG(logChannelWarning, "%s on display %s", reason.c_str(), "X server");
  xprotoCloseWithReason(&client->reader, "setup failed");
  if (length >= 8) xscreenCopySwapped(reply, length, "H-23", client);
}

// Writes the proxy's own setup reply into reserved space of the client's output.
void writeSetupReply(ClientConnection *client) {
  size_t vendorLength = strnlen(proxyState.vendor, 128);
  uint64_t estimate = 40 + ((vendorLength + 3) & ~size_t(3)) + 8ull * proxyState.pixmapFormatCount;
  uint32_t screenCount = 0;
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    estimate += 48 + 32ull * s->visualCount;  // SCREEN, the depth-1 group, a DEPTH and a VISUALTYPE each
    screenCount++;
  }
  if (estimate > 0x3fffc || screenCount > 255) {
    closeOutOfMemory(client, __LINE__);
    return;
  }
  auto *start = reinterpret_cast<uint8_t *>(outbufferReserve(&client->output, uint32_t(estimate)));
  if (!start) {
    closeOutOfMemory(client, __LINE__);
    return;
  }
  // The reserved space holds older heap bytes: unused and pad bytes must be zero.
  memset(start, 0, size_t(estimate));
  uint8_t *p = start;
  p[0] = 1;
  store16(p + 2, proxyState.protocolMajor);
  store16(p + 4, proxyState.protocolMinor);
  store32(p + 8, proxyState.releaseNumber);
  store32(p + 12, client->index << proxyState.idShift);
  store32(p + 16, proxyState.idMask);
  store32(p + 20, proxyState.motionBufferSize);
  store16(p + 24, uint32_t(vendorLength));
  uint32_t maxRequest = proxyState.maxRequestBytes / 4;
  store16(p + 26, maxRequest > 0xffff ? 0xffff : maxRequest);
  p[28] = uint8_t(screenCount);
  p[29] = proxyState.pixmapFormatCount;
  p[30] = proxyState.imageByteOrder;
  p[31] = proxyState.bitmapBitOrder;
  p[32] = proxyState.bitmapUnit;
  p[33] = proxyState.bitmapPad;
  p[34] = proxyState.minKeycode;
  p[35] = proxyState.maxKeycode;
  memcpy(p + 40, proxyState.vendor, vendorLength);
  p += 40 + ((vendorLength + 3) & ~size_t(3));
  for (uint32_t i = 0; i < proxyState.pixmapFormatCount; i++, p += 8) {
    p[0] = proxyState.pixmapFormats[i].depth;
    p[1] = proxyState.pixmapFormats[i].bitsPerPixel;
    p[2] = proxyState.pixmapFormats[i].scanlinePad;
  }
  std::vector<DepthGroup> groups;
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    if (!groupByDepth(s, groups)) {
      outbufferCut(reinterpret_cast<char *>(start), uint32_t(estimate), &client->output);
      closeOutOfMemory(client, __LINE__);
      return;
    }
    store32(p + 0, s->root);
    store32(p + 4, s->defaultColormap);
    store32(p + 8, s->whitePixel);
    store32(p + 12, s->blackPixel);
    store32(p + 16, windowAllEventMasks(static_cast<WindowRecord *>(resourceLookupWindow(s->root))));
    store16(p + 20, s->width);
    store16(p + 22, s->height);
    store16(p + 24, roundedMM(s->widthMM));
    store16(p + 26, roundedMM(s->heightMM));
    store16(p + 28, s->minInstalledMaps);
    store16(p + 30, s->maxInstalledMaps);
    store32(p + 32, s->rootVisual ? s->rootVisual->visualId : 0);
    p[36] = s->backingStore;
    p[37] = s->saveUnders;
    p[38] = s->rootVisual ? s->rootVisual->depth : 0;
    p[39] = uint8_t(groups.size());
    p += 40;
    for (const DepthGroup &g : groups) {
      p[0] = g.depth;
      store16(p + 2, uint32_t(g.visuals.size()));
      p += 8;
      for (const VisualRecord *v : g.visuals) {
        store32(p + 0, v->visualId);
        p[4] = v->visualClass;
        p[5] = v->bitsPerRgb;
        store16(p + 6, v->colormapEntries);
        store32(p + 8, v->redMask);
        store32(p + 12, v->greenMask);
        store32(p + 16, v->blueMask);
        p += 24;
      }
    }
  }
  auto written = uint32_t(p - start);
  store16(start + 6, (written - 8) / 4);
  if (client->reader.swapped) byteswapByFormat("H-23", start, p);
  if (written < estimate) outbufferCut(reinterpret_cast<char *>(p), uint32_t(estimate - written), &client->output);
  client->setUp = 1;
}

// One raw connection of the client is set up; after the last one the client gets its reply and
// its requests are read.
void connectionSetUp(ClientConnection *client) {
  if (client->setupsPending) client->setupsPending--;
  if (client->setupsPending) return;
  ordersCancel(client->setupTimer);  // every real server has answered
  client->setupTimer = nullptr;
  writeSetupReply(client);
}

// The answer to the round trip behind a connection's selection of markers (run in the pass over
// that connection's answers; a connection closed before it discards it unrun).
void onMarkersSelected(uint8_t *, uintptr_t argument) {
  auto *c = reinterpret_cast<DisplayConnection *>(argument);
  xproxyMarkersSelected(c);
  if (c->owner && !c->owner->setUp) connectionSetUp(c->owner);
}

}  // namespace

void xcoreServerSetupReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *c = xproxyCurrentDisplayConnection;
  if (!c || !c->owner || !reply) return;
  ClientConnection *client = c->owner;
  c->setupDone = 1;  // the client's connections are attached to the real server
  if (length < 8 || reply[0] != 1) {
    refusedSetup(client, reply, length);
    return;
  }
  if (length < 40) {  // a success answer must hold its fixed part
    LOG(logChannelWarning, "%s on display %s", "Short connection setup answer", "X server");
    xprotoCloseWithReason(&client->reader, "setup failed");
    return;
  }
  c->idBase = load32(reply + 12);
  c->idMask = load32(reply + 16);
  proxyState.minKeycode = reply[34];
  proxyState.maxKeycode = reply[35];
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) resourceSetScreenIdBase(client->index, h, c->idBase);
  // The connection's part of the setup ends once the server has run its selection of departure
  // markers (a round trip behind it): the client's requests, which wait for the whole setup,
  // come after every marker that connection does not read (xproxyMarkersSelected).
  if (xproxyAskForMarkers(c) &&
      xproxySendNoOpRequest(c, onMarkersSelected, reinterpret_cast<uintptr_t>(c), xproxyNoOpNothingRelease))
    return;
  connectionSetUp(client);
}
// ===== end of connection setup reply =====
