// The GLX requests that create, query and destroy contexts, GLX pixmaps and pbuffers, the small
// requests acting on a tag, and the visual and FBConfig lists. Contexts are always indirect on
// the real servers; the lists are the proxy's own.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xproto.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadAlloc = 11, kBadLength = 16;
constexpr uint8_t kGlxBadContext = 0, kGlxBadDrawable = 2, kGlxBadPixmap = 3, kGlxBadContextTag = 4;
constexpr uint8_t kGlxBadFbConfig = 9, kGlxBadPbuffer = 10, kGlxBadWindow = 12;
constexpr uint8_t kBadWindow = 3, kBadPixmap = 4, kBadDrawable = 9;
constexpr uint32_t kCreateWindowMask = 0x2008;  // border pixel and colormap
constexpr uint8_t kKeyQueryContext = 25, kKeyDrawableAttributes = 122, kKeyGlxWindowConfig = 123;
constexpr uint32_t kGlxShareContext = 0x800A, kGlxVisualId = 0x800B, kGlxScreen = 0x800C;
constexpr uint32_t kGlxFbConfigId = 0x8013;
constexpr uint32_t kGlxVersion10 = 64;

uint32_t slotOf(const Head *head) { return head->idIndex < kGlxHeadSlots ? head->idIndex : 0; }
GlxLibraryInstance *instanceOf(const Head *head) { return static_cast<GlxLibraryInstance *>(head->glLibrary); }

DisplayConnection *firstConnection() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->displayCount ? client->displays[0] : nullptr;
}

// The head whose server answers the screen's GLX queries.
Head *replyHead(MetaScreen *screen) { return screen ? (screen->glxHead ? screen->glxHead : screen->heads) : nullptr; }

void badValue(uint32_t value, const char *text, const uint8_t *request, uint32_t length) {
  xprotoSendError(kBadValue, value, request, length, text);
}
// An FBConfig the screen does not have: GLXBadFBConfig with the id, as the X server answers.
void badFbConfig(uint32_t id, const uint8_t *request, uint32_t length) {
  xprotoSendExtensionError(kGlxBadFbConfig, id, request, length, nullptr);
}
void badAlloc(const uint8_t *request, uint32_t length) { xprotoSendError(kBadAlloc, 0, request, length, nullptr); }

VisualRecord *screenVisual(MetaScreen *screen, uint32_t id) {
  for (uint32_t k = 0; screen && k < screen->visualCount; k++)
    if (screen->visuals[k].visualId == id) return &screen->visuals[k];
  return nullptr;
}
// The proxy's FBConfig ids are the ids of the visuals they describe.
VisualRecord *screenFbConfig(MetaScreen *screen, uint32_t id) {
  VisualRecord *visual = screenVisual(screen, id);
  return visual && visual->glVersion ? visual : nullptr;
}
// The head's FBConfig for a config of its meta screen (the visual id when the head's has none).
uint32_t realFbConfig(const VisualRecord *config, Head *head) {
  const VisualRecord *own = mainHeadVisual(config, head);
  if (!own) return config->visualId;
  return own->glFbConfigId ? own->glFbConfigId : own->visualId;
}

// One step per head of the screen: a Lumora head gets direct(head), an indirect head a copy of
// the request on the client's first display connection, patched by patch(head, copy), and for
// a creating request a tag-255 callback for the new id. A copy that cannot be had is answered
// with BadAlloc and ends the loop (false). With a source, the copies are of it instead of the
// request (a request the servers know under another shape).
template <typename Direct, typename Patch>
bool eachHead(MetaScreen *screen, const uint8_t *request, uint32_t length, uint32_t newId, Direct direct,
              Patch patch, const uint8_t *source = nullptr, uint32_t sourceLength = 0) {
  DisplayConnection *connection = firstConnection();
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      // A direct step that can fail has answered the client itself; the heads after it wait.
      if constexpr (std::is_same_v<decltype(direct(head)), bool>) {
        if (!direct(head)) return false;
      } else {
        direct(head);
      }
      continue;
    }
    uint8_t *copy = !connection ? nullptr
                    : source    ? xproxySendRequest(source, sourceLength, connection)
                                : xproxySendRequest(request, length, connection);
    if (!copy) {
      badAlloc(request, length);
      return false;
    }
    patch(head, copy);
    if (newId) xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, newId, nullptr);
  }
  return true;
}

// A copy for the reply head alone with the id at byte 4 translated by translate; with a key,
// a callback holding the head follows. NULL after BadAlloc.
template <typename Translate>
uint8_t *forwardToReplyHead(Head *head, const uint8_t *request, uint32_t length, Translate translate, uint8_t key) {
  DisplayConnection *connection = firstConnection();
  uint8_t *copy = connection && head ? xproxySendRequest(request, length, connection) : nullptr;
  if (!copy) {
    badAlloc(request, length);
    return nullptr;
  }
  wirePut32(copy + 4, translate(wireGet32(request + 4), head));
  if (key) xproxyPushReplyCallback(connection, key, reinterpret_cast<uintptr_t>(head), nullptr);
  return copy;
}

GlxContextRecord *contextOf(uint32_t id, const uint8_t *request, uint32_t length) {
  auto *context = static_cast<GlxContextRecord *>(resourceLookupByType(id, kResourceGlxContext));
  if (!context) {
    xprotoSendExtensionError(kGlxBadContext, id, request, length, nullptr);
    return nullptr;
  }
  resourceCacheDrawable(xproxyCurrentClient, id);
  return context;
}

// A tag the client names: 0 stands for none where allowed; another's or a free one is
// GLXBadContextTag. *entry is NULL for tag 0.
bool tagOf(uint32_t tag, bool zeroAllowed, GlxTagEntry **entry, const uint8_t *request, uint32_t length) {
  *entry = tag ? glxFindTagEntry(xproxyCurrentClient, tag) : nullptr;
  if (*entry || (tag == 0 && zeroAllowed)) return true;
  xprotoSendExtensionError(kGlxBadContextTag, tag, request, length, nullptr);
  return false;
}

// ----- contexts -----
// A new context record under its id (screen set once added, so that a failed add destroys
// nothing on the heads); NULL after BadAlloc.
GlxContextRecord *newContext(MetaScreen *screen, VisualRecord *visual, uint32_t contextId, uint32_t shareId,
                             GlxContextRecord *share, const uint8_t *request, uint32_t length) {
  auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
  if (!context || !glxInitContextObjects(context, share)) {
    free(context);
    LOG_OUT_OF_MEMORY();
    badAlloc(request, length);
    return nullptr;
  }
  context->visual = visual;
  context->contextId = contextId;
  context->shareListId = shareId;
  if (!resourceAdd(contextId, kResourceGlxContext, context)) {
    badAlloc(request, length);
    return nullptr;
  }
  context->screen = screen;
  return context;
}

struct ContextFields {
  uint32_t visualAt, screenAt, shareAt, directAt;
  bool fbConfig;
  uint32_t contextAt = 4, renderAt = 16;
  // The servers get a GLXCreateContext with the head's visual (an FBConfig request of the
  // SGIX kind, which older servers do not take as such).
  bool asCreateContext = false;
  // Attribute pairs (two words each, their count at byte 24) from byte 28.
  bool attributes = false;
};

constexpr uint8_t kMinorCreateContext = 3, kMinorCreateGlxPixmap = 13;

void createContext(uint8_t *request, uint32_t length, const ContextFields &f) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint32_t contextId = wireGet32(request + f.contextAt), visualId = wireGet32(request + f.visualAt);
  uint32_t screenNumber = wireGet32(request + f.screenAt), shareId = wireGet32(request + f.shareAt);
  if (f.fbConfig && request[f.directAt])
    LOG(logChannelXhint, "Direct rendering in GLXCreateNewContext requested by %s", xscreenClientName(client));
  MetaScreen *screen = glxScreenByNumber(screenNumber);
  if (!screen) return badValue(screenNumber, "invalid screen", request, length);
  if (f.attributes) client->glxScreen = screen->index;
  if (!xcoreFrameNewId(contextId, request, length)) return;
  GlxContextRecord *share = nullptr;
  if (shareId && !(share = static_cast<GlxContextRecord *>(resourceLookupByType(shareId, kResourceGlxContext)))) {
    xprotoSendExtensionError(kGlxBadContext, shareId, request, length, nullptr);
    return;
  }
  VisualRecord *visual = screenVisual(screen, visualId);
  if (!visual || !visual->glVersion)
    return f.fbConfig ? badFbConfig(visualId, request, length) : badValue(visualId, "invalid visual", request, length);
  GlxContextRecord *context = newContext(screen, visual, contextId, shareId, share, request, length);
  if (!context) return;
  uint32_t renderType = f.fbConfig ? wireGet32(request + f.renderAt) : 0;
  uint8_t legacy[24] = {request[0], kMinorCreateContext};
  wirePut16(legacy + 2, sizeof legacy / 4);
  // The library's list: the pairs as the client gave them, then a 0 that ends it.
  std::vector<int> pairs;
  if (f.attributes) {
    uint32_t count = wireGet32(request + 24);
    pairs.reserve(2 * size_t(count) + 1);
    for (uint32_t k = 0; k < 2 * count; k++) pairs.push_back(int(wireGet32(request + 28 + 4 * k)));
    pairs.push_back(0);
  }
  bool done = eachHead(
      screen, request, length, contextId,
      [&](Head *head) {
        uint32_t slot = slotOf(head), sharedDirect = share ? share->directContexts[slot] : 0;
        if (f.attributes) {
          context->directContexts[slot] = dGLCreateContext(instanceOf(head), head->screen,
                                                           realFbConfig(visual, head), sharedDirect, pairs.data());
          if (!context->directContexts[slot]) badAlloc(request, length);
          return context->directContexts[slot] != 0;
        }
        context->directContexts[slot] =
            f.fbConfig ? glxdirectCreateNewContext(instanceOf(head), head->screen, realFbConfig(visual, head),
                                                   renderType, sharedDirect)
                       : dGLCreateContext(instanceOf(head), head->screen, glxindirectRealVisual(visualId, head),
                                          sharedDirect, nullptr);
        return true;
      },
      [&](Head *head, uint8_t *copy) {
        wirePut32(copy + 4, resourceServerId(contextId, kResourceGlxContext, head));
        if (f.asCreateContext) {
          wirePut32(copy + 8, glxindirectRealVisual(visualId, head));
          wirePut32(copy + 12, uint32_t(head->screen));
          wirePut32(copy + 16, shareId ? glxindirectRealContext(shareId, head) : 0);
          return;  // its is-direct byte stays 0
        }
        wirePut32(copy + f.visualAt, f.fbConfig ? realFbConfig(visual, head) : glxindirectRealVisual(visualId, head));
        wirePut32(copy + f.screenAt, uint32_t(head->screen));
        wirePut32(copy + f.shareAt, shareId ? glxindirectRealContext(shareId, head) : 0);
        // Never direct on a real server: the byte, or for a new-style context its word.
        if (f.fbConfig)
          wirePut32(copy + f.directAt, 0);
        else
          copy[f.directAt] = 0;
      },
      f.asCreateContext ? legacy : nullptr, sizeof legacy);
  if (done && (!f.fbConfig || f.attributes) && client->glxClientVersion == 0) client->glxClientVersion = kGlxVersion10;
}

}  // namespace

void glxCreateContext(uint8_t *request, uint32_t length, uint8_t *) {
  createContext(request, length, ContextFields{8, 12, 16, 20, false});
}

void glxCreateNewContext(uint8_t *request, uint32_t length, uint8_t *) {
  createContext(request, length, ContextFields{8, 12, 20, 24, true});
}

void glxCreateContextWithConfig(uint8_t *request, uint32_t length) {
  createContext(request, length, ContextFields{16, 20, 28, 32, true, 12, 24, true});
}

// The pair count must account for the whole request (counted in 64 bits: a count near 2^29
// wraps in 32).
void glxCreateContextAttribs(uint8_t *request, uint32_t length, uint8_t *) {
  if (28 + 8 * uint64_t(wireGet32(request + 24)) != length) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  createContext(request, length, ContextFields{8, 12, 16, 20, true, 4, 16, false, true});
}

void glxDestroyContext(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  if (!contextOf(id, request, length)) return;
  resourceFree(id, 0);
}

void glxIsDirect(uint8_t *request, uint32_t length, uint8_t *) {
  GlxContextRecord *context = contextOf(wireGet32(request + 4), request, length);
  if (!context) return;
  Head *head = replyHead(context->screen);
  if (head && head->glLibrary) {
    uint8_t reply[32] = {};
    extSendLocalReply(request, reply, sizeof reply, "bbsi");
    return;
  }
  forwardToReplyHead(head, request, length, glxindirectRealContext, 0);
}

void glxIsDirectReply(uint8_t *reply, uint32_t length) {
  reply[8] = 0;  // never direct for a client of the proxy
  extWriteReply(reply, length, "bbsi");
}

void glxQueryContext(uint8_t *request, uint32_t length, uint8_t *) {
  GlxContextRecord *context = contextOf(wireGet32(request + 4), request, length);
  if (!context) return;
  Head *head = replyHead(context->screen);
  if (head && head->glLibrary) logProblem("WIP", __FILE__, __LINE__);
  forwardToReplyHead(head, request, length, glxindirectRealContext, kKeyQueryContext);
}

namespace {
// The meta visual whose counterpart on the head has that server FBConfig id; 0 when none.
uint32_t proxyFbConfig(uint32_t serverId, Head *head) {
  MetaScreen *screen = head ? head->metaScreen : nullptr;
  for (uint32_t k = 0; screen && k < screen->visualCount; k++) {
    const VisualRecord *own = mainHeadVisual(&screen->visuals[k], head);
    if (own && own->glFbConfigId == serverId) return screen->visuals[k].visualId;
  }
  return 0;
}

// The reply's (attribute, value) pairs: count at byte 8, pairs from byte 32, read only as far
// as the reply goes.
template <typename Map>
void mapPairs(uint8_t *reply, uint32_t length, Map map) {
  uint64_t count = wireGet32(reply + 8);
  uint64_t room = (length - 32) / 8;
  if (count > room) count = room;
  for (uint8_t *pair = reply + 32; count-- > 0; pair += 8) {
    uint32_t value = wireGet32(pair + 4);
    wirePut32(pair + 4, map(wireGet32(pair), value));
  }
}

Head *takeHead(uint8_t key) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  return connection ? reinterpret_cast<Head *>(xproxyTakeReplyCallback(connection, key)) : nullptr;
}
}  // namespace

void glxQueryContextReply(uint8_t *reply, uint32_t length) {
  Head *head = takeHead(kKeyQueryContext);
  if (head && length >= 32) {
    mapPairs(reply, length, [&](uint32_t attribute, uint32_t value) -> uint32_t {
      switch (attribute) {
        case kGlxShareContext: return mainServerToProxyXid(value, head->serverDisplay);
        case kGlxVisualId: return mainHeadXidToProxy(4, value, head);
        case kGlxScreen: return head->metaScreen ? head->metaScreen->index : value;
        case kGlxFbConfigId: {
          uint32_t own = proxyFbConfig(value, head);
          return own ? own : value;
        }
        default: return value;
      }
    });
  }
  extWriteReply(reply, length, "bbsI");
}

// ----- the version -----
namespace {
uint32_t recordVersion() { return proxyState.ext.glx ? proxyState.ext.glx->version : 0; }
}  // namespace

// The client learns the proxy's version, whatever the servers speak.
void glxQueryVersion(uint8_t *request, uint32_t length, uint8_t *) {
  Head *first = xscreenList ? xscreenList->heads : nullptr;
  if (first && first->glLibrary) {
    uint8_t reply[32] = {};
    wirePut32(reply + 8, recordVersion() / 64);
    wirePut32(reply + 12, recordVersion() % 64);
    extSendLocalReply(request, reply, sizeof reply, "bbsiii");
    return;
  }
  DisplayConnection *connection = firstConnection();
  if (!connection || !xproxySendRequest(request, length, connection)) badAlloc(request, length);
}

void glxQueryVersionReply(uint8_t *reply, uint32_t length) {
  wirePut32(reply + 8, recordVersion() / 64);
  wirePut32(reply + 12, recordVersion() % 64);
  extWriteReply(reply, length, "bbsiii");
}

// ----- requests on a tag -----
namespace {
template <typename Direct>
void onTag(uint8_t *request, uint32_t length, Direct direct) {
  GlxTagEntry *entry = nullptr;
  uint32_t tag = wireGet32(request + 4);
  if (!tagOf(tag, false, &entry, request, length)) return;
  eachHead(
      entry->screen, request, length, 0, [&](Head *head) { direct(instanceOf(head), glxTagForServer(tag, head)); },
      [&](Head *head, uint8_t *copy) { wirePut32(copy + 4, glxTagForServer(tag, head)); });
}
}  // namespace

void glxWaitGL(uint8_t *request, uint32_t length, uint8_t *) { onTag(request, length, glxdirectWaitGL); }
void glxWaitX(uint8_t *request, uint32_t length, uint8_t *) { onTag(request, length, glxdirectWaitX); }

void glxCopyContext(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t source = wireGet32(request + 4), destination = wireGet32(request + 8), tag = wireGet32(request + 16);
  GlxContextRecord *context = contextOf(source, request, length);
  GlxTagEntry *entry = nullptr;
  if (!context || !tagOf(tag, true, &entry, request, length)) return;
  uint32_t mask = wireGet32(request + 12);
  eachHead(
      context->screen, request, length, 0,
      [&](Head *head) {
        glxdirectCopyContext(instanceOf(head), glxindirectRealContext(source, head),
                             glxindirectRealContext(destination, head), mask, glxTagForServer(tag, head));
      },
      [&](Head *head, uint8_t *copy) {
        wirePut32(copy + 4, glxindirectRealContext(source, head));
        wirePut32(copy + 8, glxindirectRealContext(destination, head));
        wirePut32(copy + 16, glxTagForServer(tag, head));
      });
}

void glxSwapBuffers(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t tag = wireGet32(request + 4), drawableId = wireGet32(request + 8);
  GlxTagEntry *entry = nullptr;
  if (!client || !tagOf(tag, true, &entry, request, length)) return;
  // The library inside the proxy swaps once what was drawn is done: the request yields its
  // turns while it waits (glxdirectSwapBuffers).
  if (tag && !miscCanYield() && entry && glxScreenServedInside(entry->screen))
    return miscRunYielding(glxSwapBuffers, request, length);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawableId));
  ResourceType type = resourceLookupIdType(drawableId, nullptr);
  if (!window && type != kResourceGlxDrawable && type != kResourceGlxPbuffer) {
    xprotoSendExtensionError(kGlxBadDrawable, drawableId, request, length, nullptr);
    return;
  }
  resourceCacheDrawable(client, drawableId);
  // A single-buffered window drawn into the front buffer of a head's double-buffered visual
  // has nothing to swap there.
  const VisualRecord *visual = window ? window->visual : nullptr;
  DisplayConnection *connection = firstConnection();
  bool direct = false;
  for (Head *head = client->cachedScreen ? client->cachedScreen->heads : nullptr; head; head = head->next) {
    if (visual && visual->glDoubleBuffer == 0) {
      const VisualRecord *own = mainHeadVisual(visual, head);
      if (own && own->glDoubleBuffer) continue;
    }
    if (head->glLibrary && tag == 0) {
      // Under no context tag the drawable is swapped all the same: under a slot that draws into
      // it, else (a window of a double-buffered GL visual on the head) a context of the proxy's.
      const VisualRecord *own = visual ? mainHeadVisual(visual, head) : nullptr;
      uint32_t swapVisual =
          own && own->glVersion && own->glDoubleBuffer ? glxindirectRealVisual(visual->visualId, head) : 0;
      glxdirectSwapWithoutTag(instanceOf(head), glxindirectRealDrawable(drawableId, head), head->screen, swapVisual);
      direct = true;
      continue;
    }
    if (head->glLibrary) {
      glxdirectSwapBuffers(instanceOf(head), glxTagForServer(tag, head), glxindirectRealDrawable(drawableId, head));
      direct = true;
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) {
      badAlloc(request, length);
      break;
    }
    wirePut32(copy + 4, glxTagForServer(tag, head));
    wirePut32(copy + 8, glxindirectRealDrawable(drawableId, head));
  }
  if (direct) xscreenRestartTimer(client);
}

void glxUseXFont(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t tag = wireGet32(request + 4), font = wireGet32(request + 8);
  GlxTagEntry *entry = nullptr;
  if (!tagOf(tag, false, &entry, request, length)) return;
  // The library inside the proxy makes a list a character, each from the server's font: a large
  // font takes long, and the request yields its turns meanwhile (glxdirectUseXFont).
  if (!miscCanYield() && glxScreenServedInside(entry->screen)) return miscRunYielding(glxUseXFont, request, length);
  eachHead(
      entry->screen, request, length, 0,
      [&](Head *head) {
        if (glxdirectUseXFont(instanceOf(head), glxTagForServer(tag, head), resourceServerId(font, kResourceFont, head),
                              wireGet32(request + 12), wireGet32(request + 16), wireGet32(request + 20)))
          return true;
        badAlloc(request, length);
        return false;
      },
      [&](Head *head, uint8_t *copy) {
        wirePut32(copy + 4, glxTagForServer(tag, head));
        wirePut32(copy + 8, resourceServerId(font, kResourceFont, head));
      });
}

// ----- configurations -----
void glxGetVisualConfigs(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t number = wireGet32(request + 4);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return badValue(number, "invalid screen", request, length);
  int configs = 0, extras = 0;
  uint32_t *list = xvisualGlxConfigs(screen->visuals, int(screen->visualCount), true, &configs, &extras);
  uint32_t properties = 18 + 2 * uint32_t(extras);
  uint64_t size = 32 + uint64_t(configs) * properties * 4;
  auto *reply = list ? static_cast<uint8_t *>(calloc(1, size_t(size))) : nullptr;
  if (!reply) {
    xvisualFreeConfigs(list);
    return badAlloc(request, length);
  }
  wirePut32(reply + 8, uint32_t(configs));
  wirePut32(reply + 12, properties);
  memcpy(reply + 32, list, size_t(size) - 32);
  xvisualFreeConfigs(list);
  extSendLocalReply(request, reply, uint32_t(size), "bbsI");
  free(reply);
}

void glxGetFBConfigs(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t number = wireGet32(request + 4);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return badValue(number, "invalid screen", request, length);
  int configs = 0, pairs = 0;
  uint32_t *list = xvisualGlxConfigs(screen->visuals, int(screen->visualCount), false, &configs, &pairs);
  if (!list) return badAlloc(request, length);
  glxindirectReplyConfigs(list, uint32_t(configs), uint32_t(pairs), xproxyCurrentClient);
  xvisualFreeConfigs(list);
}

// ----- GLX pixmaps and pbuffers -----
namespace {
// A GLX pixmap record under its id and its copies (screen number, visual or FBConfig,
// pixmap and GLX pixmap translated per head).
// With pixmapAt 20 (the SGIX request) the servers get a GLXCreateGLXPixmap with the head's
// visual.
void createGlxPixmap(uint8_t *request, uint32_t length, MetaScreen *screen, VisualRecord *visual, bool fbConfig,
                     uint32_t pixmapAt = 12) {
  uint32_t pixmapId = wireGet32(request + pixmapAt), glxId = wireGet32(request + pixmapAt + 4);
  // No pixmap under that id: a window is BadPixmap, nothing at all BadDrawable, as servers answer.
  if (!resourceLookupByType(pixmapId, kResourcePixmap)) {
    xprotoSendError(resourceLookupWindow(pixmapId) ? kBadPixmap : kBadDrawable, pixmapId, request, length, nullptr);
    return;
  }
  bool legacy = pixmapAt != 12;
  uint8_t shape[20] = {request[0], kMinorCreateGlxPixmap};
  wirePut16(shape + 2, sizeof shape / 4);
  auto *record = static_cast<GlxDrawableRecord *>(calloc(1, sizeof(GlxDrawableRecord)));
  if (!record) {
    LOG_OUT_OF_MEMORY();
    return badAlloc(request, length);
  }
  record->visual = visual;
  record->glxDrawableId = glxId;
  record->xDrawableId = pixmapId;
  if (const PixmapRecord *pixmap = resourceLookupPixmap(pixmapId)) {
    record->width = pixmap->width;
    record->height = pixmap->height;
  }
  if (!resourceAdd(glxId, kResourceGlxDrawable, record)) return badAlloc(request, length);
  record->screen = screen;
  auto serverVisual = [&](Head *head) {
    return fbConfig ? realFbConfig(visual, head) : glxindirectRealVisual(visual->visualId, head);
  };
  eachHead(
      screen, request, length, glxId,
      [&](Head *head) {
        record->direct[slotOf(head)] = glxdirectCreateGLXPixmap(
            instanceOf(head), head->screen, serverVisual(head), resourceServerId(pixmapId, kResourcePixmap, head));
      },
      [&](Head *head, uint8_t *copy) {
        wirePut32(copy + 4, uint32_t(head->screen));
        wirePut32(copy + 8, serverVisual(head));
        wirePut32(copy + 12, resourceServerId(pixmapId, kResourcePixmap, head));
        wirePut32(copy + 16, resourceServerId(glxId, kResourceGlxDrawable, head));
      },
      legacy ? shape : nullptr, sizeof shape);
}

void destroyTyped(uint8_t *request, uint32_t length, ResourceType type, uint8_t error) {
  uint32_t id = wireGet32(request + 4);
  if (!resourceLookupByType(id, type)) {
    xprotoSendExtensionError(error, id, request, length, nullptr);
    return;
  }
  resourceCacheDrawable(xproxyCurrentClient, id);
  resourceFree(id, 0);
}
}  // namespace

void glxCreateGLXPixmap(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t number = wireGet32(request + 4), visualId = wireGet32(request + 8);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return badValue(number, "invalid screen", request, length);
  VisualRecord *visual = screenVisual(screen, visualId);
  if (!visual) return badValue(visualId, "invalid visual", request, length);
  if (!xcoreFrameNewId(wireGet32(request + 16), request, length)) return;
  createGlxPixmap(request, length, screen, visual, false);
}

void glxCreatePixmap(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t fbConfig = wireGet32(request + 8), pixmapId = wireGet32(request + 12);
  if (!xcoreFrameResolve(pixmapId, kXcoreWantPixmap, 4, request, length)) return;
  MetaScreen *screen = xproxyCurrentClient->cachedScreen;
  VisualRecord *visual = screenFbConfig(screen, fbConfig);
  if (!visual) return badFbConfig(fbConfig, request, length);
  if (!xcoreFrameNewId(wireGet32(request + 16), request, length)) return;
  createGlxPixmap(request, length, screen, visual, true);
}

void glxCreateGlxPixmapWithConfig(uint8_t *request, uint32_t length) {
  uint32_t number = wireGet32(request + 12), fbConfig = wireGet32(request + 16), pixmapId = wireGet32(request + 20);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return badValue(number, "invalid screen", request, length);
  if (!xcoreFrameResolve(pixmapId, kXcoreWantPixmap, 4, request, length)) return;
  VisualRecord *visual = screenFbConfig(screen, fbConfig);
  if (!visual) return badFbConfig(fbConfig, request, length);
  if (!xcoreFrameNewId(wireGet32(request + 24), request, length)) return;
  createGlxPixmap(request, length, screen, visual, false, 20);
}

void glxDestroyGLXPixmap(uint8_t *request, uint32_t length, uint8_t *) {
  destroyTyped(request, length, kResourceGlxDrawable, kGlxBadPixmap);
}
void glxDestroyPixmap(uint8_t *request, uint32_t length, uint8_t *) {
  destroyTyped(request, length, kResourceGlxDrawable, kGlxBadPixmap);
}
void glxDestroyPbuffer(uint8_t *request, uint32_t length, uint8_t *) {
  destroyTyped(request, length, kResourceGlxPbuffer, kGlxBadPbuffer);
}

void glxCreatePbuffer(uint8_t *request, uint32_t length, uint8_t *) {
  // Exactly the pairs the count names, summed in 64 bits.
  if (uint64_t(20) + uint64_t(wireGet32(request + 16)) * 8 != length) {
    xprotoSendError(16, 0, request, length, nullptr);
    return;
  }
  uint32_t number = wireGet32(request + 4), fbConfig = wireGet32(request + 8), pbufferId = wireGet32(request + 12);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return badValue(number, "invalid screen", request, length);
  VisualRecord *config = screenFbConfig(screen, fbConfig);
  if (!config) return badFbConfig(fbConfig, request, length);
  if (!xcoreFrameNewId(pbufferId, request, length)) return;
  GlxPbufferRecord *pbuffer =
      glxCreatePbufferRecord(screen, config, pbufferId, 0, 0, request + 20, request + length);
  if (!pbuffer) return badAlloc(request, length);
  // Beyond the client's budget, or a size the library refuses: BadAlloc, and the id is free.
  if (!glxChargePbuffer(pbuffer)) {
    resourceFree(pbufferId, 0);
    return badAlloc(request, length);
  }
  bool made = eachHead(
      screen, request, length, pbufferId,
      [&](Head *head) {
        pbuffer->direct[slotOf(head)] =
            glxdirectCreatePbuffer(instanceOf(head), head->screen, realFbConfig(config, head), pbuffer->width,
                                   pbuffer->height, pbuffer->largest, pbuffer->preserved);
        if (!pbuffer->direct[slotOf(head)]) badAlloc(request, length);
        return pbuffer->direct[slotOf(head)] != 0;
      },
      [&](Head *head, uint8_t *copy) {
        wirePut32(copy + 4, uint32_t(head->screen));
        wirePut32(copy + 8, realFbConfig(config, head));
        wirePut32(copy + 12, resourceServerId(pbufferId, kResourceGlxPbuffer, head));
      });
  if (!made) resourceFree(pbufferId, 0);
}

// ----- drawable attributes -----
namespace {
// A window, pixmap, GLX pixmap or pbuffer (its screen made current); otherwise the core
// BadDrawable, as the X server answers the attribute requests.
bool drawableOf(uint32_t id, const uint8_t *request, uint32_t length) {
  ResourceType type = resourceLookupIdType(id, nullptr);
  if (resourceLookupWindow(id) || type == kResourcePixmap || type == kResourceGlxDrawable ||
      type == kResourceGlxPbuffer) {
    resourceCacheDrawable(xproxyCurrentClient, id);
    return true;
  }
  xprotoSendError(kBadDrawable, id, request, length, nullptr);
  return false;
}
}  // namespace

void glxGetDrawableAttributes(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t drawableId = wireGet32(request + 4);
  if (!drawableOf(drawableId, request, length)) return;
  if (!forwardToReplyHead(replyHead(xproxyCurrentClient->cachedScreen), request, length, glxindirectRealDrawable,
                          kKeyDrawableAttributes))
    return;
  // The server knows a GLX window only as a window: the reply gets its FBConfig from here.
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawableId));
  if (window && window->glxWindow && window->visual)
    xproxyPushReplyCallback(firstConnection(), kKeyGlxWindowConfig, window->visual->visualId, nullptr);
}

void glxGetDrawableAttributesReply(uint8_t *reply, uint32_t length) {
  Head *head = takeHead(kKeyDrawableAttributes);
  if (head && length >= 32) {
    mapPairs(reply, length, [&](uint32_t attribute, uint32_t value) -> uint32_t {
      if (attribute != kGlxFbConfigId) return value;
      uint32_t own = proxyFbConfig(value, head);
      return own ? own : value;
    });
  }
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t windowConfig = connection ? uint32_t(xproxyTakeReplyCallback(connection, kKeyGlxWindowConfig)) : 0;
  bool named = false;
  if (length >= 32)
    mapPairs(reply, length, [&](uint32_t attribute, uint32_t value) {
      named = named || attribute == kGlxFbConfigId;
      return value;
    });
  if (!windowConfig || named || length < 32) return extWriteReply(reply, length, "bbsI");
  // One more pair after those the count names (bytes past them dropped).
  uint64_t count = std::min<uint64_t>(wireGet32(reply + 8), (length - 32) / 8);
  uint32_t size = uint32_t(32 + (count + 1) * 8);
  auto *grown = static_cast<uint8_t *>(calloc(1, size));
  if (!grown) return extWriteReply(reply, length, "bbsI");
  memcpy(grown, reply, size - 8);
  wirePut32(grown + 4, (size - 32) / 4);
  wirePut32(grown + 8, uint32_t(count + 1));
  wirePut32(grown + size - 8, kGlxFbConfigId);
  wirePut32(grown + size - 4, windowConfig);
  extWriteReply(grown, size, "bbsI");
  free(grown);
}

void glxChangeDrawableAttributes(uint8_t *request, uint32_t length, uint8_t *) {
  if (uint64_t(12) + uint64_t(wireGet32(request + 8)) * 8 != length) {
    xprotoSendError(16, 0, request, length, nullptr);
    return;
  }
  uint32_t drawableId = wireGet32(request + 4);
  if (!drawableOf(drawableId, request, length)) return;
  DisplayConnection *connection = firstConnection();
  for (Head *head = xproxyCurrentClient->cachedScreen ? xproxyCurrentClient->cachedScreen->heads : nullptr; head;
       head = head->next) {
    if (head->glLibrary) logProblem("WIP", __FILE__, __LINE__);
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) return badAlloc(request, length);
    wirePut32(copy + 4, glxindirectRealDrawable(drawableId, head));
  }
}

// ----- GLX windows -----
// A GLX window is a core window: a child of the given window covering it, with the FBConfig's
// visual and a colormap of its own on every head.
void glxCreateWindow(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint32_t fbConfig = wireGet32(request + 8), parentId = wireGet32(request + 12), glxId = wireGet32(request + 16);
  auto *parent = static_cast<WindowRecord *>(resourceLookupWindow(parentId));
  if (!parent) {
    xprotoSendError(kBadWindow, parentId, request, length, nullptr);
    return;
  }
  resourceCacheDrawable(client, parentId);
  if (!xcoreFrameNewId(glxId, request, length)) return;
  VisualRecord *visual = screenFbConfig(parent->screen, fbConfig);
  if (!visual) {
    xprotoSendExtensionError(kGlxBadFbConfig, fbConfig, request, length, nullptr);
    return;
  }
  DisplayConnection *connection = firstConnection();
  WindowRecord *window =
      connection ? windowCreate(glxId, parent, 0, 0, parent->width, parent->height, 0, 1, visual->depth) : nullptr;
  if (!window) return badAlloc(request, length);
  window->visual = visual;
  window->glxWindow = 1;
  if (parent->mapped) windowMap(window);
  const RequestSink *sink = &connection->reader.sink;
  for (Head *head = parent->screen->heads; head; head = head->next) {
    uint32_t colormap = resourceNewServerSideId(client);
    if (!colormap) {
      // Before the first head nothing was sent: the window goes again.
      if (head == parent->screen->heads) resourceFree(glxId, 0);
      return badAlloc(request, length);
    }
    uint32_t serverColormap = resourceServerId(colormap, kResourceScreenResource, head);
    uint32_t serverVisual = glxindirectRealVisual(visual->visualId, head);
    uint32_t serverWindow = xproxyServerDrawable(glxId, head);
    XSetWindowAttributes attributes{};
    attributes.border_pixel = 0;
    attributes.colormap = serverColormap;
    bool written =
        xprotoEncodeCreateColormap(sink, serverColormap, xproxyServerDrawable(parentId, head), serverVisual, 0) &&
        xprotoEncodeCreateWindow(sink, serverWindow, xproxyServerDrawable(parentId, head), 0, 0, window->width,
                                 window->height, window->borderWidth, visual->depth, 1, serverVisual,
                                 kCreateWindowMask, &attributes);
    if (written) xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, glxId, nullptr);
    written = written && xprotoEncodeFreeColormap(sink, serverColormap);
    resourceFreeServerSideId(colormap);
    if (written && window->mapped) written = xprotoEncodeMapWindow(sink, serverWindow);
    if (!written) return badAlloc(request, length);
  }
}

// Only a GLX window goes, on every head as a core window, then its record.
void glxDestroyWindow(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  if (!window || !window->glxWindow) {
    xprotoSendExtensionError(kGlxBadWindow, id, request, length, nullptr);
    return;
  }
  resourceCacheDrawable(xproxyCurrentClient, id);
  DisplayConnection *connection = firstConnection();
  for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next)
    if (!connection || !xprotoEncodeDestroyWindow(&connection->reader.sink, xproxyServerDrawable(id, head))) {
      badAlloc(request, length);
      break;
    }
  resourceFree(id, 0);
}

// ===== request rows =====
namespace {
constexpr ExtRequestRow kRows[] = {
    {3, "GLXCreateContext", 24, 0, "bbsiiiibbs", ExtServed::Local, glxCreateContext, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {4, "GLXDestroyContext", 8, 0, "bbsi", ExtServed::Local, glxDestroyContext, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {6, "GLXIsDirect", 8, 0, "bbsi", ExtServed::Local, glxIsDirect, "bbsi", ExtReplyKind::Own, glxIsDirectReply},
    {7, "GLXQueryVersion", 12, 0, "bbsii", ExtServed::Local, glxQueryVersion, "bbsiii", ExtReplyKind::Own,
     glxQueryVersionReply},
    {8, "GLXWaitGL", 8, 0, "bbsi", ExtServed::Local, glxWaitGL, nullptr, ExtReplyKind::NoReply, nullptr},
    {9, "GLXWaitX", 8, 0, "bbsi", ExtServed::Local, glxWaitX, nullptr, ExtReplyKind::NoReply, nullptr},
    {10, "GLXCopyContext", 20, 0, "bbsiiii", ExtServed::Local, glxCopyContext, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {11, "GLXSwapBuffers", 12, 0, "bbsii", ExtServed::Local, glxSwapBuffers, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {12, "GLXUseXFont", 24, 0, "bbsiiiii", ExtServed::Local, glxUseXFont, nullptr, ExtReplyKind::NoReply, nullptr},
    {13, "GLXCreateGLXPixmap", 20, 0, "bbsiiii", ExtServed::Local, glxCreateGLXPixmap, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {14, "GLXGetVisualConfigs", 8, 0, "bbsi", ExtServed::Local, glxGetVisualConfigs, "bbsI", ExtReplyKind::Plain,
     nullptr},
    {15, "GLXDestroyGLXPixmap", 8, 0, "bbsi", ExtServed::Local, glxDestroyGLXPixmap, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {21, "GLXGetFBConfigs", 8, 4, "bbsi", ExtServed::Local, glxGetFBConfigs, "bbsI", ExtReplyKind::Plain, nullptr},
    {22, "GLXCreatePixmap", 24, 4, "bbsI", ExtServed::Local, glxCreatePixmap, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {23, "GLXDestroyPixmap", 8, 4, "bbsi", ExtServed::Local, glxDestroyPixmap, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {24, "GLXCreateNewContext", 28, 0, "bbsiiiii", ExtServed::Local, glxCreateNewContext, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {25, "GLXQueryContext", 8, 0, "bbsi", ExtServed::Local, glxQueryContext, "bbsI", ExtReplyKind::Own,
     glxQueryContextReply},
    {27, "GLXCreatePbuffer", 20, 4, "bbsI", ExtServed::Local, glxCreatePbuffer, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {28, "GLXDestroyPbuffer", 8, 4, "bbsi", ExtServed::Local, glxDestroyPbuffer, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {29, "GLXGetDrawableAttributes", 8, 4, "bbsi", ExtServed::Local, glxGetDrawableAttributes, "bbsI",
     ExtReplyKind::Own, glxGetDrawableAttributesReply},
    {30, "GLXChangeDrawableAttributes", 12, 4, "bbsI", ExtServed::Local, glxChangeDrawableAttributes, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {31, "GLXCreateWindow", 24, 0, "bbsI", ExtServed::Local, glxCreateWindow, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {32, "GLXDestroyWindow", 8, 4, "bbsi", ExtServed::Local, glxDestroyWindow, nullptr, ExtReplyKind::NoReply,
     nullptr},
};
}  // namespace

const ExtRequestRow *glxRequestRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRows)
    if (row.minor == minor) return &row;
  return nullptr;
}
// ===== end of request rows =====

bool glxScreenServedInside(const MetaScreen *screen) {
  for (const Head *head = screen ? screen->heads : nullptr; head; head = head->next)
    if (head->glLibrary) return true;
  return false;
}
