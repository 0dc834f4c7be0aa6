// GL contexts and tag slots of a library instance: the contexts a client's GLX contexts became,
// the slots (context, draw and read drawable) that the context tags of clients map to and the
// switching of the library's current slot (a context's open glBegin stays open in the library
// while others draw, as an X server's GL switches contexts between its clients' requests), the
// synchronisation with the real server before the library draws, and the instance's scratch
// buffer.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"
#include "xext/glxdirectlists.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "support/orders.h"
#include "support/outbuffer.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/misc.h"
#include "xext/glxcontext.h"

namespace {

constexpr const char *kSource = "Xext/glxdirecttags";
// The most attribute pairs a direct context takes (the library's list ends in one 0 word).
constexpr uint32_t kMaxAttributePairs = 57;
constexpr uint32_t kLastSlot = kGlxDirectTagSlots - 1;

// Serials of direct contexts, process-wide: raised before each use, never reused.
uint32_t contextSerial = 0;

// The highest slot index in use, bounded by the slot array.
uint32_t highestSlot(const GlxLibraryInstance *instance) {
  return instance->highestTagSlot < kLastSlot ? instance->highestTagSlot : kLastSlot;
}

bool slotInUse(const GlxLibraryInstance *instance, uint32_t slot) {
  return slot >= 1 && slot <= highestSlot(instance) && instance->tagSlots[slot].context != nullptr;
}

const char *currentClientName() { return xscreenClientName(xproxyCurrentClient); }

GlxDirectContext *nodeOf(GlxLibraryInstance *instance, GLXContext context) {
  for (GlxDirectContext *node = context ? instance->contexts : nullptr; node; node = node->next)
    if (node->context == context) return node;
  return nullptr;
}

// The library's current slot becomes `slot` (0: none): the glBegin state and client arrays of
// the context current so far go back to its node, those of the slot's context come out of its.
void switchCurrentSlot(GlxLibraryInstance *instance, uint32_t slot) {
  uint32_t old = instance->currentTagSlot;
  if (GlxDirectContext *node = old < kGlxDirectTagSlots ? nodeOf(instance, instance->tagSlots[old].context) : nullptr) {
    node->insideBegin = instance->insideBegin;
    memcpy(node->enabledArrays, instance->enabledArrays, sizeof node->enabledArrays);
    node->beginArrayRoom = instance->beginArrayRoom;
    node->beginMode = instance->beginMode;
    node->beginVertices = instance->beginVertices;
    node->beginUnsure = instance->beginUnsure;
    node->beginStripCuttable = instance->beginStripCuttable;
    node->workIntervalCap = instance->workIntervalCap;
  }
  GlxDirectContext *next = slot != 0 && slot < kGlxDirectTagSlots ? nodeOf(instance, instance->tagSlots[slot].context)
                                                                  : nullptr;
  instance->insideBegin = next ? next->insideBegin : 0;
  instance->beginMode = next ? next->beginMode : 0;
  instance->beginVertices = next ? next->beginVertices : 0;
  instance->beginUnsure = next ? next->beginUnsure : 1;
  instance->beginStripCuttable = next ? next->beginStripCuttable : 0;
  for (GlxDirectStripGroup &group : instance->beginStripGroups) group.count = group.classes = 0;
  instance->beginWeighed = 0;
  instance->workIntervalCap = next ? next->workIntervalCap : 0;
  if (next)
    memcpy(instance->enabledArrays, next->enabledArrays, sizeof instance->enabledArrays);
  else
    memset(instance->enabledArrays, 0, sizeof instance->enabledArrays);
  instance->beginArrayRoom = next ? next->beginArrayRoom : 0;
  instance->currentTagSlot = slot;
}

// The library lets go of its current context and drawables; no slot is current.
void letGo(GlxLibraryInstance *instance) {
  instance->functions.glXMakeCurrent(instance->display, None, nullptr);
  switchCurrentSlot(instance, 0);
}

// Whether the drawable of that client id fits the library, at the size the proxy's records give
// it now. An id of no record (0 included) is answered elsewhere; a pbuffer was checked against
// the library's largest when it was made (one made "largest" may be smaller than its record).
bool drawableFits(const GlxLibraryInstance *instance, uint32_t id) {
  uint32_t width = 0, height = 0;
  bool pbuffer = false;
  if (id == 0 || !glxDrawableSize(id, &width, &height, &pbuffer) || pbuffer) return true;
  return glxdirectSizeFits(instance, width, height);
}

// The sizes the proxy's records give the slot's draw and read drawables now (0 for an unknown
// id), as GlxDirectTagSlot::seen holds them.
void slotSizes(const GlxDirectTagSlot &s, uint16_t (&sizes)[4]) {
  uint32_t size[4] = {};
  if (s.drawId) glxDrawableSize(s.drawId, &size[0], &size[1]);
  if (s.readId) glxDrawableSize(s.readId, &size[2], &size[3]);
  for (int k = 0; k < 4; k++) sizes[k] = uint16_t(size[k]);
}

// A slot whose drawables the proxy's records give other sizes now than the library last saw
// becomes resized (GlxDirectTagSlot::seen): the library lets go of it when it has it current.
void noteResize(GlxLibraryInstance *instance, uint32_t slot) {
  GlxDirectTagSlot &s = instance->tagSlots[slot];
  uint16_t now[4];
  slotSizes(s, now);
  if (memcmp(now, s.seen, sizeof now) == 0) return;
  memcpy(s.seen, now, sizeof now);
  s.resized = 1;
  s.isNew = 1;
  if (instance->currentTagSlot == slot) letGo(instance);
}

// Made current anew, the library would ask the size of a GLX pixmap's pixmap by its id: once
// that pixmap ended it would take any size. A slot not current now that draws into or reads from
// such a GLX pixmap is gone for good, as after the end of a window: true after it was marked so.
// (The slot current now draws on at the size the library knows.)
bool takesAnEndedPixmap(GlxLibraryInstance *instance, uint32_t slot) {
  GlxDirectTagSlot &s = instance->tagSlots[slot];
  if (instance->currentTagSlot == slot || !s.context ||
      (!glxdirectPixmapIsGone(instance, s.drawDrawable) && !glxdirectPixmapIsGone(instance, s.readDrawable)))
    return false;
  s.drawableGone = 1;
  return true;
}

// The first framebuffer configuration of the screen whose attribute equals value, or NULL.
GLXFBConfig findConfigBy(GlxLibraryInstance *instance, int screen, int attribute, uint32_t value) {
  GlFunctionTable &gl = instance->functions;
  if (!gl.glXGetFBConfigs || !gl.glXGetFBConfigAttrib) return nullptr;
  int count = 0;
  GLXFBConfig *configs = gl.glXGetFBConfigs(instance->display, screen, &count);
  if (!configs) return nullptr;
  GLXFBConfig found = nullptr;
  for (int i = 0; i < count && !found; i++) {
    int answer = 0;
    if (gl.glXGetFBConfigAttrib(instance->display, configs[i], attribute, &answer) == Success &&
        uint32_t(answer) == value)
      found = configs[i];
  }
  XFree(configs);
  return found;
}

}  // namespace

void (*glxdirectSyncClient)(ClientConnection *client, Display *display) = glxdirectParkClientWithDisplay;
ClientConnection *glxdirectSyncedClient = nullptr;

// ===== contexts =====
uint32_t glxdirectAddContext(GlxLibraryInstance *instance, void *context, uint32_t shareContext) {
  if (!instance || !context) return 0;
  auto *node = static_cast<GlxDirectContext *>(calloc(1, sizeof(GlxDirectContext)));
  if (!node) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  node->serial = ++contextSerial;
  node->context = static_cast<GLXContext>(context);
  node->shareGroup = node->serial;
  GlxDirectContext **link = &instance->contexts;
  while (*link) {
    if (shareContext != 0 && (*link)->serial == shareContext) node->shareGroup = (*link)->shareGroup;
    node->prev = *link;
    link = &(*link)->next;
  }
  *link = node;
  return node->serial;
}

void *glxdirectContextBySerial(GlxLibraryInstance *instance, uint32_t serial) {
  if (!instance || serial == 0) return nullptr;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node->serial == serial) return node->context;
  return nullptr;
}

void *glxdirectFindFBConfig(GlxLibraryInstance *instance, int screen, uint32_t id) {
  if (!instance) return nullptr;
  return findConfigBy(instance, screen, GLX_FBCONFIG_ID, id);
}

XVisualInfo *glxdirectVisualInfo(GlxLibraryInstance *instance, int screen, uint32_t visual) {
  XVisualInfo wanted{};
  wanted.visualid = visual;
  wanted.screen = screen;
  int count = 0;
  XVisualInfo *info = XGetVisualInfo(instance->display, VisualIDMask | VisualScreenMask, &wanted, &count);
  if (info && count < 1) {
    XFree(info);
    return nullptr;
  }
  return info;
}

uint32_t dGLCreateContext(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t shareContext,
                          const int *attributes) {
  if (!instance) return 0;
  GlFunctionTable &gl = instance->functions;
  auto share = static_cast<GLXContext>(glxdirectContextBySerial(instance, shareContext));
  if (!attributes) {
    XVisualInfo *info = glxdirectVisualInfo(instance, screen, visual);
    if (!info) {
      LOG(logChannelXhint, "Lumora: Unknown visual #%u in dGLCreateContext by %s", visual, currentClientName());
      return 0;
    }
    uint32_t serial = glxdirectAddContext(instance, gl.glXCreateContext(instance->display, info, share, True), shareContext);
    XFree(info);
    return serial;
  }
  // The pairs up to the first 0 attribute: at most kMaxAttributePairs of them.
  int list[2 * kMaxAttributePairs + 1];
  uint32_t pairs = 0;
  while (attributes[2 * pairs] != 0) {
    if (pairs == kMaxAttributePairs) {
      LOG(logChannelXhint, "Lumora: More than %u attribute pairs in dGLCreateContext by %s", kMaxAttributePairs,
          currentClientName());
      return 0;
    }
    list[2 * pairs] = attributes[2 * pairs];
    list[2 * pairs + 1] = attributes[2 * pairs + 1];
    pairs++;
  }
  list[2 * pairs] = 0;
  if (!gl.glXCreateContextAttribsARB) {
    LOG(logChannelXhint, "Lumora: No glXCreateContextAttribsARB() for dGLCreateContext by %s", currentClientName());
    return 0;
  }
  // The caller names the head's configuration by its id, or by its visual where the head has
  // configurations only as visuals.
  GLXFBConfig config = findConfigBy(instance, screen, GLX_FBCONFIG_ID, visual);
  if (!config) config = findConfigBy(instance, screen, GLX_VISUAL_ID, visual);
  return glxdirectAddContext(instance, gl.glXCreateContextAttribsARB(instance->display, config, share, True, list),
                             shareContext);
}
// ===== end of contexts =====

// ===== tag slots =====
uint32_t glxdirectCreateTag(GlxLibraryInstance *instance, uint32_t contextSerial, uint32_t drawDrawable,
                            uint32_t readDrawable, uint32_t proxyTag, uint32_t drawId, uint32_t readId) {
  if (!instance) return 0;
  auto context = static_cast<GLXContext>(glxdirectContextBySerial(instance, contextSerial));
  if (!context) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  uint32_t highest = highestSlot(instance);
  // The same context on the same drawables: one more proxy tag on its slot.
  for (uint32_t slot = highest; slot >= 1; slot--) {
    GlxDirectTagSlot &s = instance->tagSlots[slot];
    if (s.context == context && !s.drawableGone && s.drawDrawable == drawDrawable &&
        s.readDrawable == readDrawable) {
      // Drawn into already, under another proxy tag (maybe another client's): what the client
      // sent before, a read-back included, reaches the real server before the library draws
      // for it (glxdirectFlushAll parks only clients that hold a tag).
      glxdirectSyncClient(xproxyCurrentClient, instance->display);
      s.proxyTag = proxyTag;
      s.proxyTagCount++;
      s.drawId = drawId;
      s.readId = readId;
      return slot;
    }
  }
  // The highest free slot, else one above the highest in use.
  uint32_t chosen = 0;
  for (uint32_t slot = highest; slot >= 1 && !chosen; slot--)
    if (!instance->tagSlots[slot].context) chosen = slot;
  if (!chosen) {
    if (highest >= kLastSlot) {
      LOG(logChannelXhint, "Lumora: No free tag slot at %s for %s", xmiscLocalDisplayPart(instance->display),
          currentClientName());
      return 0;
    }
    chosen = highest + 1;
    instance->highestTagSlot = chosen;
  }
  instance->tagSlots[chosen] =
      GlxDirectTagSlot{context, drawDrawable, readDrawable, 1, proxyTag, 1, 0, drawId, readId, {}, 0};
  slotSizes(instance->tagSlots[chosen], instance->tagSlots[chosen].seen);
  return chosen;
}

int glxdirectMakeTagCurrent(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return 0;
  if (!slotInUse(instance, slot)) {
    LOG(logChannelXhint, "Lumora: Invalid tag #%u for %s by %s", slot, xmiscLocalDisplayPart(instance->display),
        currentClientName());
    return 0;
  }
  GlxDirectTagSlot &s = instance->tagSlots[slot];
  if (s.drawableGone) {
    LOG(logChannelXhint, "Lumora: Tag #%u for %s draws into a destroyed drawable (by %s)", slot,
        xmiscLocalDisplayPart(instance->display), currentClientName());
    return 0;
  }
  if (takesAnEndedPixmap(instance, slot)) {
    LOG(logChannelXhint, "Lumora: Tag #%u for %s draws into a GLX pixmap whose pixmap was freed (by %s)", slot,
        xmiscLocalDisplayPart(instance->display), currentClientName());
    return 0;
  }
  if (!glxdirectSlotFits(instance, slot)) {
    // Held by the library still (a window resized while current): it lets go of it now.
    if (instance->currentTagSlot == slot) letGo(instance);
    LOG(logChannelXhint, "Lumora: Tag #%u for %s draws into a drawable beyond the GL library's largest size (by %s)",
        slot, xmiscLocalDisplayPart(instance->display), currentClientName());
    return 0;
  }
  if (s.isNew) {
    // The client's requests that made (or resized) the drawables must reach the real server
    // first.
    s.isNew = 0;
    s.resized = 0;
    glxdirectSyncClient(xproxyCurrentClient, instance->display);
  }
  if (!instance->functions.glXMakeContextCurrent(instance->display, s.drawDrawable, s.readDrawable, s.context)) {
    // Whatever the library has current now, it is no slot's: the next switch makes it again.
    switchCurrentSlot(instance, 0);
    LOG(logChannelXhint, "Lumora: Can't make tag #%u current for %s by %s", slot,
        xmiscLocalDisplayPart(instance->display), currentClientName());
    return 0;
  }
  if (instance->currentTagSlot != slot) switchCurrentSlot(instance, slot);
  return 1;
}

void dGLDestroyTag(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return;
  uint32_t highest = highestSlot(instance);
  if (slot == 0 || slot > highest) {
    LOG(logChannelXhint, "Unknown tag %u in dGLDestroyTag(%s) by %s", slot, xmiscLocalDisplayPart(instance->display),
        currentClientName());
    return;
  }
  GlxDirectTagSlot &s = instance->tagSlots[slot];
  // The slot's context is made current to be let go of, unless its drawable is gone (the
  // library would draw into freed memory), too large for it or resized (the library would find
  // the real server's size before the resize reached it; it let go of the slot then): then only
  // the library's current binding goes.
  if (instance->currentTagSlot != slot && s.context && !s.drawableGone && !s.resized &&
      glxdirectSlotFits(instance, slot))
    glxdirectMakeTagCurrent(instance, slot);
  instance->functions.glXMakeCurrent(instance->display, None, nullptr);
  switchCurrentSlot(instance, 0);
  // Another live proxy tag still maps to the slot: it stays.
  if (s.proxyTagCount > 1) {
    s.proxyTagCount--;
    return;
  }
  s.context = nullptr;
  s.proxyTagCount = 0;
  s.drawableGone = 0;
  if (slot == highest) {
    uint32_t lower = slot - 1;
    while (lower >= 1 && !instance->tagSlots[lower].context) lower--;
    instance->highestTagSlot = lower;
  }
}

void glxdirectSwapWithoutTag(GlxLibraryInstance *instance, uint32_t drawable, int screen, uint32_t visual) {
  if (!instance || drawable == 0) return;
  GlFunctionTable &gl = instance->functions;
  // A live slot that draws into the drawable swaps it under its own context; a slot marked gone
  // on it says the drawable ended (the library is not called on it).
  bool ended = false;
  for (uint32_t slot = highestSlot(instance); slot >= 1; slot--) {
    const GlxDirectTagSlot &s = instance->tagSlots[slot];
    if (!s.context || (s.drawDrawable != drawable && s.readDrawable != drawable)) continue;
    ended = ended || s.drawableGone;
    if (s.drawableGone || s.drawDrawable != drawable) continue;
    if (instance->currentTagSlot == slot || glxdirectMakeTagCurrent(instance, slot))
      gl.glXSwapBuffers(instance->display, drawable);
    return;
  }
  if (ended || glxdirectPixmapIsGone(instance, drawable)) {
    LOG(logChannelXhint, "Lumora: Swap of the ended drawable 0x%x by %s", drawable, currentClientName());
    return;
  }
  // Otherwise a context of the window's visual made for the swap alone, current on it only for
  // the call (no slot is current afterwards; the next command makes its slot current again).
  XVisualInfo *info = visual ? glxdirectVisualInfo(instance, screen, visual) : nullptr;
  GLXContext own = info ? gl.glXCreateContext(instance->display, info, nullptr, True) : nullptr;
  if (info) XFree(info);
  if (!own) {
    LOG(logChannelXhint, "Lumora: Drawable 0x%x not swapped without a context for %s", drawable, currentClientName());
    return;
  }
  switchCurrentSlot(instance, 0);
  if (gl.glXMakeCurrent(instance->display, drawable, own)) gl.glXSwapBuffers(instance->display, drawable);
  gl.glXMakeCurrent(instance->display, None, nullptr);
  gl.glXDestroyContext(instance->display, own);
}

void glxdirectReleaseCurrent(GlxLibraryInstance *instance) {
  if (instance && instance->currentTagSlot) letGo(instance);
}

void glxdirectDrawableGone(GlxLibraryInstance *instance, uint32_t drawable) {
  if (!instance || drawable == 0) return;
  for (uint32_t slot = highestSlot(instance); slot >= 1; slot--) {
    GlxDirectTagSlot &s = instance->tagSlots[slot];
    if (!s.context || (s.drawDrawable != drawable && s.readDrawable != drawable)) continue;
    s.drawableGone = 1;
    if (instance->currentTagSlot != slot) continue;
    // While a call of the library runs outside the loop, it lets go once that call has ended
    // (the request that stands in it finds its drawable gone when it goes on).
    if (!miscOutsideHolds()) {
      letGo(instance);
    } else {
      miscAfterOutside([instance, slot] {
        if (instance->currentTagSlot == slot && instance->tagSlots[slot].drawableGone) letGo(instance);
      });
    }
  }
}

void glxdirectWindowGone(Head *head, uint32_t serverWindow) {
  auto *instance = head ? static_cast<GlxLibraryInstance *>(head->glLibrary) : nullptr;
  // The library lets go of the window while the real server still has it.
  if (instance) glxdirectDrawableGone(instance, serverWindow);
}

void glxdirectFlushForDrawable(Head *head, uint32_t serverDrawable) {
  auto *instance = head ? static_cast<GlxLibraryInstance *>(head->glLibrary) : nullptr;
  if (!instance) return;
  for (uint32_t slot = highestSlot(instance); slot >= 1; slot--) {
    const GlxDirectTagSlot &s = instance->tagSlots[slot];
    if (!s.context || s.drawDrawable != serverDrawable) continue;
    if (slot != instance->currentTagSlot && s.isNew) continue;
    glxdirectSyncClient(xproxyCurrentClient, instance->display);
    return;
  }
}
// ===== end of tag slots =====

// ===== the library's largest drawable =====
// The limits are the library's own (asked once at the set-up); the sizes are the proxy's
// records, so that a window resized since its slot was made current is seen at the next request
// without a round trip. A drawable beyond them is refused rather than drawn in part: the client
// gets BadAlloc (MakeCurrent, then every request under the tag while it stays too large, and
// SwapBuffers of it), and the library is never handed it.
bool glxdirectSizeFits(const GlxLibraryInstance *instance, uint32_t width, uint32_t height) {
  if (!instance) return true;
  return (instance->largestWidth == 0 || width <= instance->largestWidth) &&
         (instance->largestHeight == 0 || height <= instance->largestHeight);
}

bool glxdirectSlotFits(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance || slot == 0 || slot >= kGlxDirectTagSlots) return true;
  const GlxDirectTagSlot &s = instance->tagSlots[slot];
  return drawableFits(instance, s.drawId) && (s.readId == s.drawId || drawableFits(instance, s.readId));
}

bool glxdirectSlotReadSize(GlxLibraryInstance *instance, uint32_t slot, uint32_t *width, uint32_t *height) {
  if (!instance || slot == 0 || slot >= kGlxDirectTagSlots) return false;
  uint32_t id = instance->tagSlots[slot].readId;
  return id != 0 && glxDrawableSize(id, width, height);
}

void glxdirectLetGoOfOversized(GlxLibraryInstance *instance) {
  if (!instance || instance->currentTagSlot == 0) return;
  noteResize(instance, instance->currentTagSlot);
  if (instance->currentTagSlot == 0 || glxdirectSlotFits(instance, instance->currentTagSlot)) return;
  LOG(logChannelXhint, "Lumora: Tag #%u for %s let go of: its drawable grew beyond the GL library's largest size",
      instance->currentTagSlot, xmiscLocalDisplayPart(instance->display));
  letGo(instance);
}

namespace {
// Whether the client's tag maps, on a head of its screen, to a live slot that does not fit.
// Every such slot whose drawables were resized since the library saw them becomes resized
// (noteResize): the request waits for the client's earlier ones before the library sees them.
bool tagOversized(ClientConnection *client, uint32_t tag) {
  GlxTagEntry *entry = client && tag ? glxFindTagEntry(client, tag) : nullptr;
  bool oversized = false;
  for (Head *head = entry && entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    auto *instance = static_cast<GlxLibraryInstance *>(head->glLibrary);
    uint32_t slot = instance ? glxTagForServer(tag, head) : 0;
    if (!slotInUse(instance, slot) || instance->tagSlots[slot].drawableGone) continue;
    noteResize(instance, slot);
    oversized = oversized || !glxdirectSlotFits(instance, slot);
  }
  return oversized;
}
}  // namespace

bool glxdirectRefuseOversized(const uint8_t *request, uint32_t length) {
  constexpr uint8_t kBadAlloc = 11, kCopyContext = 10, kSwapBuffers = 11;
  if (length < 8 || !glxdirectAvailable()) return false;
  glxdirectLetGoOfOversizedAll();
  uint8_t minor = request[1];
  uint32_t tagAt = minor == 1 || minor == 2 || minor == 8 || minor == 9 || minor == kSwapBuffers || minor == 12 ||
                           minor >= 101
                       ? 4
                   : minor == kCopyContext ? 16
                                           : 0;
  uint32_t tag = tagAt && tagAt + 4 <= length ? wireGet32(request + tagAt) : 0;
  bool refused = tag && tagOversized(xproxyCurrentClient, tag);
  // A vendor request's word 2 is the tag of most codes (in the client's order, unswapped): a
  // resize is noted for it, so that it waits for the resize too, but nothing is refused by a
  // word that may be something else.
  constexpr uint8_t kVendorPrivate = 16, kVendorPrivateWithReply = 17;
  if ((minor == kVendorPrivate || minor == kVendorPrivateWithReply) && length >= 12 && xproxyCurrentClient)
    tagOversized(xproxyCurrentClient, wireGet32(request + 8, xproxyCurrentClient->reader.swapped));
  if (!refused && minor == kSwapBuffers && length >= 12) refused = !glxDrawableFitsLibraries(wireGet32(request + 8));
  if (!refused) return false;
  LOG(logChannelXhint, "Lumora: GLX request %u of %s refused: its drawable is beyond the GL library's largest size",
      minor, currentClientName());
  xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  return true;
}
// ===== end of the library's largest drawable =====

// ===== synchronisation =====
namespace {

// The client's connection to the real display that holds the Display, or NULL (also for none).
DisplayConnection *connectionTo(ClientConnection *client, Display *display) {
  if (!display) return nullptr;
  for (uint32_t i = 0; i < client->displayCount; i++) {
    DisplayConnection *connection = client->displays[i];
    if (connection && connection->display && connection->display->display == display) return connection;
  }
  return nullptr;
}

// The rest of a request parked only to order the client's later requests: nothing to do but
// to write down a wait that gave up.
void afterRoundTrip(uint8_t *, uint32_t, const char *failure) {
  if (failure) logProblem(failure, kSource, __LINE__);
}

// Where a GLX request names the context tag whose slot its library call makes current (a
// MakeCurrent lets go of its old tag's slot by making it current); 0: it makes none current;
// kAnyTag: any of the client's (a context that goes lets go of all its slots).
constexpr uint32_t kAnyTag = ~0u;
uint32_t tagOffset(uint8_t minor) {
  switch (minor) {
    case 1: case 2: case 8: case 9: case 11: case 12: case 26: return 4;  // Render ... MakeContextCurrent
    case 4: return kAnyTag;                                               // DestroyContext
    case 5: return 12;                                                    // MakeCurrent
    case 10: return 16;                                                   // CopyContext
    case 16: case 17: return 8;                                           // VendorPrivate(WithReply)
    default: return minor >= 101 ? 4 : 0;                                 // the single requests
  }
}

// Whether the client's tag names a slot that no request made current yet (its first use waits
// for the client's earlier requests); *only: the client's connection to that slot's display
// (NULL: all of them, as when new slots of the tag are on several displays).
bool tagIsNew(ClientConnection *client, uint32_t tag, DisplayConnection **only) {
  GlxTagEntry *entry = glxFindTagEntry(client, tag);
  bool found = false;
  for (Head *head = entry && entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    auto *instance = static_cast<GlxLibraryInstance *>(head->glLibrary);
    if (!instance) continue;
    uint32_t slot = glxTagForServer(tag, head);
    if (!slotInUse(instance, slot) || !instance->tagSlots[slot].isNew) continue;
    DisplayConnection *connection = connectionTo(client, instance->display);
    *only = !found || *only == connection ? connection : nullptr;
    found = true;
  }
  return found;
}

}  // namespace

bool glxdirectTagDrawableGone(ClientConnection *client, uint32_t tag) {
  GlxTagEntry *entry = client && tag ? glxFindTagEntry(client, tag) : nullptr;
  for (Head *head = entry && entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    auto *instance = static_cast<GlxLibraryInstance *>(head->glLibrary);
    uint32_t slot = instance ? glxTagForServer(tag, head) : 0;
    if (slotInUse(instance, slot) && (instance->tagSlots[slot].drawableGone || takesAnEndedPixmap(instance, slot)))
      return true;
  }
  return false;
}

bool glxdirectRefuseGoneDrawable(const uint8_t *request, uint32_t length) {
  constexpr uint8_t kGlxBadCurrentWindow = 5;
  uint8_t minor = length >= 8 ? request[1] : 0;
  bool drawsUnderTag = minor == 1 || minor == 2 || minor == 8 || minor == 9 || minor == 12 || minor >= 101;
  if (!drawsUnderTag || !glxdirectAvailable()) return false;
  uint32_t tag = wireGet32(request + 4);
  if (!glxdirectTagDrawableGone(xproxyCurrentClient, tag)) return false;
  xprotoSendExtensionError(kGlxBadCurrentWindow, tag, request, length, nullptr);
  return true;
}

void glxSyncClientWithDisplay(ClientConnection *client, Display *display) {
  if (client && client == glxdirectSyncedClient) return;
  const char *error = nullptr;
  if (!client) {
    error = xproxySyncAllClients();
  } else {
    DisplayConnection *own = connectionTo(client, display);
    error = own ? xproxySyncDisplayConnection(own) : xproxySyncClient(client);
  }
  if (error) logProblem(error, kSource, __LINE__);
}

void glxdirectParkClientWithDisplay(ClientConnection *client, Display *display) {
  // With no client current the library only lets go of what a client made (its close, its
  // resources freed): nothing is drawn, so nothing waits for the clients' requests.
  // Parked already by this request: its later requests wait behind that round trip anyway.
  if (!client || client == glxdirectSyncedClient || client->park || !client->displayCount) return;
  xproxyParkClient(client, connectionTo(client, display), nullptr, 0, afterRoundTrip);
}

bool glxdirectParkForSync(const uint8_t *request, uint32_t length,
                          void (*resume)(uint8_t *request, uint32_t length, const char *failure)) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t at = length >= 8 ? tagOffset(request[1]) : 0;
  if (!client || client->park || !client->displayCount || !at || (at != kAnyTag && at + 4 > length) ||
      !glxdirectAvailable())
    return false;
  // A large command's pieces before its last are only held: the last one draws.
  if (request[1] == 2 && length >= 12 && wireGet16(request + 8) != wireGet16(request + 10)) return false;
  DisplayConnection *only = nullptr;
  // Vendor requests come unswapped (their handlers swap by code): read in the client's order.
  int swapped = at == 8 && client->reader.swapped;
  // A swap interval makes the slot current that draws into its drawable, whoever's it is.
  constexpr uint32_t kSwapInterval = 1416;
  bool wanted = at == 8 && wireGet32(request + 4, swapped) == kSwapInterval;
  // So does a swap under no tag (the window it swaps may be new).
  constexpr uint8_t kSwapBuffers = 11;
  wanted = wanted || (request[1] == kSwapBuffers && wireGet32(request + 4) == 0);
  if (at == kAnyTag) {
    for (uint32_t tag = 1; tag < proxyState.ext.glxTagCount && !wanted; tag++)
      wanted = proxyState.ext.glxTags[tag].owner == client && tagIsNew(client, tag, &only);
  } else if (!wanted) {
    wanted = tagIsNew(client, wireGet32(request + at, swapped), &only);
  }
  if (!wanted) return false;
  xproxyParkClient(client, only, request, length, resume);
  if (client->park) client->park->outside = 1;
  return true;
}

void glxdirectRunSynced(void (*handler)(uint8_t *, uint32_t, uint8_t *), uint8_t *request, uint32_t length,
                        const char *failure) {
  if (failure) logProblem(failure, kSource, __LINE__);
  ClientConnection *client = xproxyCurrentClient;
  glxdirectSyncedClient = client;
  handler(request, length, nullptr);
  // The handler may have closed the client: the mark names nobody afterwards either way.
  glxdirectSyncedClient = nullptr;
}

// ===== end of synchronisation =====

uint8_t *glxdirectScratch(GlxLibraryInstance *instance, uint64_t size) {
  if (!instance) return nullptr;
  if (instance->scratch && size <= instance->scratchSize) return instance->scratch;
  // Beyond the limit no allocation is even tried (the size fits the 32-bit field below too).
  if (size > kGlxDirectScratchLimit) return nullptr;
  uint64_t wanted = size ? size : 1;
  auto *fresh = static_cast<uint8_t *>(malloc(wanted));
  if (!fresh) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return nullptr;
  }
  free(instance->scratch);
  instance->scratch = fresh;
  instance->scratchSize = uint32_t(wanted);
  return fresh;
}

namespace {
// Read-back replies on their way out: what each client is still counted for them until its
// output has been written out (no output of it held back in sequence, and its output buffer at
// most at the flow-control mark, below which it is read again). Entered by
// glxdirectHoldUntilWritten, settled at the client's next count or look at its budget (nothing
// else of the client is counted in between), forgotten with the client (glxdirectOwnerGone).
std::unordered_map<const ClientConnection *, uint64_t> &heldReplies() {
  static auto *held = new std::unordered_map<const ClientConnection *, uint64_t>();  // as long as the process
  return *held;
}

void settleHeldReplies(ClientConnection *client) {
  auto &held = heldReplies();
  if (held.empty()) return;
  auto found = held.find(client);
  if (found == held.end() || client->deferred || outbufferPending(&client->output) > kMiscClientOutputMark) return;
  glxdirectRefund(client, found->second);
  held.erase(found);
}
}  // namespace

bool glxdirectCharge(uint64_t bytes) {
  ClientConnection *client = xproxyCurrentClient;
  uint64_t budget = configRecord.lumoraMemory;
  if (!client || budget == 0) return true;
  settleHeldReplies(client);
  if (client->lumoraBytes > budget || bytes > budget - client->lumoraBytes) {
    LOG(logChannelXhint, "Lumora: %s for %s would pass lumoraMemory", strSizeText(bytes), currentClientName());
    return false;
  }
  client->lumoraBytes += bytes;
  return true;
}

uint64_t glxdirectBudgetLeft() {
  ClientConnection *client = xproxyCurrentClient;
  uint64_t budget = configRecord.lumoraMemory;
  if (!client || budget == 0) return UINT64_MAX;
  settleHeldReplies(client);
  return client->lumoraBytes < budget ? budget - client->lumoraBytes : 0;
}

void glxdirectRefund(ClientConnection *client, uint64_t bytes) {
  if (client) client->lumoraBytes -= bytes < client->lumoraBytes ? bytes : client->lumoraBytes;
}

namespace {
// The budget records of the clients that live: owner serial by client, and client by serial.
// An entry is made at the client's first glxdirectOwner and erased by glxdirectOwnerGone.
struct Owners {
  std::unordered_map<const ClientConnection *, uint64_t> serials;
  std::unordered_map<uint64_t, ClientConnection *> clients;
  uint64_t lastSerial = 0;
};
Owners &owners() {
  static Owners *all = new Owners();  // lives as long as the process (clients may end at exit)
  return *all;
}
}  // namespace

uint64_t glxdirectOwner() {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return 0;
  Owners &o = owners();
  auto known = o.serials.find(client);
  if (known != o.serials.end()) return known->second;
  try {
    uint64_t serial = ++o.lastSerial;
    o.clients.emplace(serial, client);
    try {
      o.serials.emplace(client, serial);
    } catch (const std::bad_alloc &) {
      o.clients.erase(serial);
      throw;
    }
    return serial;
  } catch (const std::bad_alloc &) {
    // Without a record what is kept for the client gives nothing back to anybody.
    LOG_OUT_OF_MEMORY_AT(kSource);
    return 0;
  }
}

void glxdirectRefundOwner(uint64_t owner, uint64_t bytes) {
  if (owner == 0 || bytes == 0) return;
  auto known = owners().clients.find(owner);
  if (known != owners().clients.end()) glxdirectRefund(known->second, bytes);
}

void glxdirectHoldUntilWritten(uint64_t owner, uint64_t bytes) {
  // Without a bound nothing was counted.
  if (owner == 0 || bytes == 0 || configRecord.lumoraMemory == 0) return;
  auto known = owners().clients.find(owner);
  if (known == owners().clients.end()) return;
  try {
    heldReplies()[known->second] += bytes;
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    glxdirectRefund(known->second, bytes);
  }
}

void glxdirectOwnerGone(ClientConnection *client) {
  heldReplies().erase(client);
  Owners &o = owners();
  auto known = o.serials.find(client);
  if (known == o.serials.end()) return;
  o.clients.erase(known->second);
  o.serials.erase(known);
}

bool glxdirectSlotIsCurrent(const GlxLibraryInstance *instance, uint32_t slot) {
  return instance && slot != 0 && instance->currentTagSlot == slot;
}
