// Bringing the GL libraries and the real servers into step: before the proxy reads pixels
// itself, every tag slot of an instance has its GL work completed, and every client's requests
// are made to reach the real servers; the swap interval of a drawable is set under the slot
// that draws into it.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/xproxy.h"
#include "support/logging.h"

namespace {

constexpr const char *kSource = "Xext/glxdirectsync";
constexpr uint32_t kLastSlot = kGlxDirectTagSlots - 1;

uint32_t highestSlot(const GlxLibraryInstance *instance) {
  return instance->highestTagSlot < kLastSlot ? instance->highestTagSlot : kLastSlot;
}

}  // namespace

bool glxdirectFinishAll(GlxLibraryInstance *instance) {
  if (!instance) return true;
  GlFunctionTable &gl = instance->functions;
  // A current slot whose window grew past the library's largest size is not finished: the
  // library lets go of it (and every slot is made current through the check below).
  glxdirectLetGoOfOversized(instance);
  for (uint32_t slot = highestSlot(instance); slot >= 1; slot--) {
    GlxDirectTagSlot &s = instance->tagSlots[slot];
    // A resized slot was let go of (its work flushed) and waits for its client's resize to
    // reach the real server: it is not made current before.
    if (!s.context || s.resized) continue;
    // A slot no request used yet has drawn nothing: it is switched to without waiting for the
    // reading client, and stays new, so that its first use still waits for its own client.
    uint8_t isNew = s.isNew;
    s.isNew = 0;
    bool current = instance->currentTagSlot == slot || glxdirectMakeTagCurrent(instance, slot);
    s.isNew = isNew;
    if (!current) continue;
    // glFinish is not allowed between glBegin and glEnd: the open glBegin stays open, and what
    // was drawn so far is pushed out and waited for instead.
    if (instance->insideBegin) {
      gl.glFlush();
      gl.glXWaitGL();
    } else if (glxdirectFinishYielding(instance) && miscYieldingEnds()) {
      return false;
    }
  }
  return true;
}

void glxdirectFlushAll() {
  // Without GL drawn inside the proxy there is nothing to bring into step: every read-back
  // would pay a round trip for nothing.
  if (!glxdirectAvailable()) return;
  // The library's work is on the servers already (glxdirectFinishAll). What remains to order is
  // the read-back against what the library draws next for this client: its later requests wait,
  // parked, until the servers answered what it sent, read-back included. Other clients go on;
  // their requests are not ordered against this read-back by the server either.
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->park) return;  // parked already: its later requests wait anyway
  // A client that holds no context tag draws nothing through the library before a MakeCurrent,
  // and the slot that makes waits for its earlier requests (glxdirectCreateTag,
  // glxdirectMakeTagCurrent): its read-back waits for nothing. (A park refreshes every head, a
  // clear of the whole inner window: busy plain clients reading back would keep the real server
  // busy with that alone.)
  if (client && client->glxTagsHeld == 0) return;
  if (client) return glxdirectParkClientWithDisplay(client, nullptr);
  // A failure is written down only: the read-back goes on with what did reach the servers.
  if (const char *error = xproxySyncAllClients()) logProblem(error, kSource, __LINE__);
}

int32_t glxdirectSwapInterval(GlxLibraryInstance *instance, uint32_t drawable, int32_t interval) {
  if (!instance) return 0;
  glxdirectSyncClient(xproxyCurrentClient, instance->display);
  for (uint32_t slot = highestSlot(instance); slot >= 1; slot--) {
    const GlxDirectTagSlot &s = instance->tagSlots[slot];
    if (!s.context || s.drawDrawable != drawable) continue;
    if (instance->currentTagSlot != slot) glxdirectMakeTagCurrent(instance, slot);
    break;
  }
  // The library's call gives no result.
  instance->functions.glXSwapIntervalEXT(instance->display, drawable, interval);
  return 0;
}
