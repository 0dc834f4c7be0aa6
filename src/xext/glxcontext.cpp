// The GLX extension: context tags, contexts, GLX resources and MakeCurrent.
#include "xext/glxcontext.h"

#include <cstdlib>
#include <cstring>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/gldatatype.h"
#include "xext/glx.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/xinerama.h"

namespace {

constexpr uint32_t kFirstTableRoom = 1024;
constexpr uint8_t kBadAlloc = 11;
constexpr uint8_t kGlxBadContext = 0, kGlxBadDrawable = 2, kGlxBadContextTag = 4, kGlxBadCurrentWindow = 5;
constexpr uint8_t kMinorRender = 1, kMinorDestroyContext = 4, kMinorMakeCurrent = 5;
constexpr uint8_t kMinorMakeContextCurrent = 26, kMinorDestroyPbuffer = 28;
constexpr uint32_t kGlReadBuffer = 171, kGlDrawBuffer = 126, kGlFront = 1028;
constexpr uint32_t kGlxPreservedContents = 0x801B, kGlxLargestPbuffer = 0x801C;
constexpr uint32_t kGlxPbufferHeight = 0x8040, kGlxPbufferWidth = 0x8041;

GlxTagEntry *&tags() { return proxyState.ext.glxTags; }
uint32_t &tagCount() { return proxyState.ext.glxTagCount; }
uint32_t &tagCapacity() { return proxyState.ext.glxTagCapacity; }

// Indices released below the highest one in use, the latest last: a new tag takes one of them
// before the table grows, without a walk over the table. Each free index is listed at most once
// (listed when its owner lets it go, unlisted when taken; the count never falls below a listed
// index, and a tag beyond the count is never listed), so the list needs no more room than the
// table has entries: that room is reserved whenever the table grows, and a release never
// allocates. An index is still checked when it is taken. Emptied with the table.
uint32_t *freeTags = nullptr;
uint32_t freeTagCount = 0;
uint32_t freeTagRoom = 0;

void forgetFreeTags() {
  free(freeTags);
  freeTags = nullptr;
  freeTagCount = freeTagRoom = 0;
}

uint32_t slotOf(const Head *head) { return head->idIndex < kGlxHeadSlots ? head->idIndex : 0; }
GlxLibraryInstance *instanceOf(const Head *head) { return static_cast<GlxLibraryInstance *>(head->glLibrary); }

// The writer of the proxy's own requests on the current client's first display connection;
// NULL without a current client or connection.
const RequestSink *currentSink() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->displayCount && client->displays[0] ? &client->displays[0]->reader.sink : nullptr;
}

void destroyOnCurrent(uint8_t minor, uint32_t serverId) {
  if (const RequestSink *sink = currentSink())
    if (uint8_t *request = sink->begin(sink->context, proxyState.ext.glxMajor, minor, 8)) wirePut32(request + 4, serverId);
}

void freeObjectLists(GlxObjectIdLists *lists) {
  if (!lists) return;
  while (GlxProgramEntry *program = lists->programs) {
    while (GlxAttachment *attachment = program->attachments) {
      circListUnlink(&program->attachments, attachment);
      free(attachment);
    }
    circListUnlink(&lists->programs, program);
    free(program);
  }
  while (GlxShaderEntry *shader = lists->shaders) {
    circListUnlink(&lists->shaders, shader);
    free(shader);
  }
  free(lists);
}

// Drops the entry's reference on the record it holds (GLX pixmaps and pbuffers only).
void dropDrawable(void *record, ResourceType type) {
  if (!record) return;
  if (type == kResourceGlxDrawable) glxFreeDrawable(static_cast<GlxDrawableRecord *>(record));
  if (type == kResourceGlxPbuffer) glxFreePbuffer(static_cast<GlxPbufferRecord *>(record));
}

// ----- resource routines of types 14-16 -----
void freeContextRoutine(uint32_t, void *value) { glxFreeContext(static_cast<GlxContextRecord *>(value)); }
void freeDrawableRoutine(uint32_t, void *value) { glxFreeDrawable(static_cast<GlxDrawableRecord *>(value)); }
void freePbufferRoutine(uint32_t, void *value) { glxFreePbuffer(static_cast<GlxPbufferRecord *>(value)); }
void destroyContextOnServer(void *, Head *head, uint32_t serverId) {
  glxindirectDestroyContext(head->serverDisplay, serverId);
}
void destroyDrawableOnServer(void *, Head *head, uint32_t serverId) {
  glxindirectDestroyGlxPixmap(head->serverDisplay, serverId);
}
void destroyPbufferOnServer(void *, Head *head, uint32_t serverId) {
  glxindirectDestroyPbuffer(head->serverDisplay, serverId);
}
MetaScreen *contextScreen(void *value) { return static_cast<GlxContextRecord *>(value)->screen; }
MetaScreen *drawableScreen(void *value) { return static_cast<GlxDrawableRecord *>(value)->screen; }
MetaScreen *pbufferScreen(void *value) { return static_cast<GlxPbufferRecord *>(value)->screen; }
VisualRecord *drawableVisual(void *value) { return static_cast<GlxDrawableRecord *>(value)->visual; }
VisualRecord *pbufferVisual(void *value) { return static_cast<GlxPbufferRecord *>(value)->fbConfig; }

}  // namespace

// ===== set-up and reset =====
void glxInitContexts() {
  resourceTypeRoutines[kResourceGlxContext] = {freeContextRoutine, destroyContextOnServer, contextScreen, nullptr};
  resourceTypeRoutines[kResourceGlxDrawable] = {freeDrawableRoutine, destroyDrawableOnServer, drawableScreen,
                                                drawableVisual};
  resourceTypeRoutines[kResourceGlxPbuffer] = {freePbufferRoutine, destroyPbufferOnServer, pbufferScreen,
                                               pbufferVisual};
  xproxyGlxClientGone = glxClientGone;
}

void glxFreeTagTable() {
  // Entries still held (by retained clients) let their records go; nothing is sent.
  for (uint32_t k = tagCount(); k-- > 1;)
    if (tags()[k].owner) glxReleaseTag(&tags()[k], nullptr);
  free(tags());
  tags() = nullptr;
  tagCount() = 0;
  tagCapacity() = 0;
  forgetFreeTags();
}
// ===== end of set-up and reset =====

// ===== tag table =====
GlxTagEntry *glxAllocTag(ClientConnection *owner) {
  while (freeTagCount > 0) {
    uint32_t k = freeTags[--freeTagCount];
    if (k >= 1 && k < tagCount() && !tags()[k].owner) {
      tags()[k].owner = owner;
      if (owner) owner->glxTagsHeld++;
      return &tags()[k];
    }
  }
  uint32_t index = tagCount() > 1 ? tagCount() : 1;
  if (index == UINT32_MAX) return nullptr;
  uint32_t count = index + 1;
  if (!tags() || count > tagCapacity()) {
    // Half again the room each time: a client that makes many contexts current fills the table
    // in time proportional to its entries.
    uint32_t old = tags() ? tagCapacity() : 0;
    uint64_t capacity = old < kFirstTableRoom ? kFirstTableRoom : old + uint64_t(old) / 2;
    if (capacity > UINT32_MAX) capacity = UINT32_MAX;
    if (capacity < count) return nullptr;
    if (freeTagRoom < capacity) {
      auto *list = static_cast<uint32_t *>(realloc(freeTags, size_t(capacity) * sizeof(uint32_t)));
      if (!list) return nullptr;
      freeTags = list;
      freeTagRoom = uint32_t(capacity);
    }
    auto *grown = static_cast<GlxTagEntry *>(realloc(tags(), size_t(capacity) * sizeof(GlxTagEntry)));
    if (!grown) return nullptr;
    memset(static_cast<void *>(grown + old), 0, size_t(capacity - old) * sizeof(GlxTagEntry));
    tags() = grown;
    tagCapacity() = uint32_t(capacity);
  }
  tagCount() = count;
  GlxTagEntry *entry = &tags()[index];
  *entry = GlxTagEntry{};
  entry->owner = owner;
  if (owner) owner->glxTagsHeld++;
  return entry;
}

GlxTagEntry *glxFindTagEntry(ClientConnection *client, uint32_t tag) {
  if (!client || tag >= tagCount() || tags()[tag].owner != client) return nullptr;
  return &tags()[tag];
}

uint32_t glxTagOf(const GlxTagEntry *entry) { return uint32_t(entry - tags()); }

MetaScreen *glxTagScreen(uint32_t tag) {
  GlxTagEntry *entry = glxFindTagEntry(xproxyCurrentClient, tag);
  return entry ? entry->screen : nullptr;
}

GlxObjectIdLists *glxObjectIdListsForTag(uint32_t tag) {
  GlxTagEntry *entry = glxFindTagEntry(xproxyCurrentClient, tag);
  return entry && entry->context ? entry->context->objectLists : nullptr;
}

uint32_t glxTagForServer(uint32_t tag, Head *head) {
  if (tag == 0 || tag >= tagCount() || !head || !tags()[tag].owner) return 0;
  return tags()[tag].serverTags[slotOf(head)];
}

void setGLXTagForServer(uint32_t tag, Head *head, uint32_t serverTag) {
  if (tag == 0 || tag >= tagCount()) {
    LOG(logChannelXhint, "GLX: Invalid tag %u in setGLXTagForServer()", tag);
    return;
  }
  if (head) tags()[tag].serverTags[slotOf(head)] = serverTag;
}

MetaScreen *glxBindTag(GlxTagEntry *entry, GlxContextRecord *context, uint32_t contextId, uint32_t drawableId) {
  // The drawable as it is named now: a window, else a GLX pixmap, else a pbuffer.
  MetaScreen *screen = nullptr;
  void *record = nullptr;
  ResourceType type = 0;
  if (auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawableId))) {
    record = window, type = kResourceWindow, screen = window->screen;
  } else if (auto *pixmap = static_cast<GlxDrawableRecord *>(resourceLookupByType(drawableId, kResourceGlxDrawable))) {
    record = pixmap, type = kResourceGlxDrawable, screen = pixmap->screen;
  } else if (auto *pbuffer = static_cast<GlxPbufferRecord *>(resourceLookupByType(drawableId, kResourceGlxPbuffer))) {
    record = pbuffer, type = kResourceGlxPbuffer, screen = pbuffer->screen;
  } else {
    LOG(logChannelStep, "UNKNOWN DRAWABLE 0x%x ...", drawableId);
    return nullptr;
  }
  // The same id may name another record than the one the entry holds (destroyed and created
  // again meanwhile): that counts as another drawable.
  if (drawableId != entry->drawableId || drawableId == 0 || record != entry->drawableRecord) {
    if (type == kResourceGlxDrawable) static_cast<GlxDrawableRecord *>(record)->extraRefs++;
    if (type == kResourceGlxPbuffer) static_cast<GlxPbufferRecord *>(record)->extraRefs++;
    void *previous = entry->drawableRecord;
    ResourceType previousType = entry->drawableType;
    entry->drawableRecord = record;
    entry->drawableType = type;
    entry->drawableId = drawableId;
    entry->screen = screen;
    dropDrawable(previous, previousType);
  }
  if (context != entry->context) {
    GlxContextRecord *previous = entry->context;
    context->extraRefs++;
    entry->context = context;
    entry->contextId = contextId;
    if (previous) glxFreeContext(previous);
  }
  return entry->screen;
}

bool glxDrawableKnown(uint32_t drawableId) {
  return resourceLookupWindow(drawableId) || resourceLookupByType(drawableId, kResourceGlxDrawable) ||
         resourceLookupByType(drawableId, kResourceGlxPbuffer);
}

bool glxDrawableSize(uint32_t drawableId, uint32_t *width, uint32_t *height, bool *pbuffer) {
  uint32_t w = 0, h = 0;
  bool isPbuffer = false;
  if (auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawableId))) {
    w = window->width, h = window->height;
  } else if (auto *pixmap = static_cast<GlxDrawableRecord *>(resourceLookupByType(drawableId, kResourceGlxDrawable))) {
    w = pixmap->width, h = pixmap->height;
  } else if (auto *record = static_cast<GlxPbufferRecord *>(resourceLookupByType(drawableId, kResourceGlxPbuffer))) {
    w = record->width, h = record->height, isPbuffer = true;
  } else {
    return false;
  }
  if (width) *width = w;
  if (height) *height = h;
  if (pbuffer) *pbuffer = isPbuffer;
  return true;
}

bool glxDrawableFitsLibraries(uint32_t drawableId) {
  uint32_t width = 0, height = 0;
  bool pbuffer = false;
  if (!glxDrawableSize(drawableId, &width, &height, &pbuffer) || pbuffer) return true;
  MetaScreen *screen = nullptr;
  if (auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawableId)))
    screen = window->screen;
  else if (auto *pixmap = static_cast<GlxDrawableRecord *>(resourceLookupByType(drawableId, kResourceGlxDrawable)))
    screen = pixmap->screen;
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next)
    if (head->glLibrary && !glxdirectSizeFits(instanceOf(head), width, height)) return false;
  return true;
}

void glxReleaseDirectSlots(GlxTagEntry *entry) {
  if (!entry->context) return;
  for (Head *head = entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    uint32_t &serverTag = entry->serverTags[slotOf(head)];
    if (head->glLibrary && serverTag) {
      dGLDestroyTag(instanceOf(head), serverTag);
      serverTag = 0;
    }
  }
}

void glxReleaseTag(GlxTagEntry *entry, ClientConnection *client) {
  uint32_t index = glxTagOf(entry);
  if (entry->context) {
    for (Head *head = entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
      uint32_t serverTag = entry->serverTags[slotOf(head)];
      if (head->glLibrary) {
        if (serverTag) dGLDestroyTag(instanceOf(head), serverTag);
      } else if (serverTag && client && client->displayCount && client->displays[0]) {
        // A head whose server never gave a tag has nothing to let go.
        glxindirectMakeCurrent(&client->displays[0]->reader.sink, 0, 0, serverTag);
      }
    }
    glxFreeContext(entry->context);
  }
  dropDrawable(entry->drawableRecord, entry->drawableType);
  bufferFree(&entry->largeCommand);
  bool held = entry->owner != nullptr;
  if (held && entry->owner->glxTagsHeld > 0) entry->owner->glxTagsHeld--;
  *entry = GlxTagEntry{};
  if (index + 1 == tagCount()) {
    tagCount()--;
  } else if (held && freeTagCount < freeTagRoom) {
    freeTags[freeTagCount++] = index;
  }
}

void glxClientGone(ClientConnection *client) {
  if (!client) return;
  glxFreeLargeCommands(client);
  // Its budget record ends: what it left in share groups of others is counted for nobody.
  glxdirectOwnerGone(client);
  bool others = false;
  for (uint32_t k = 1; k < tagCount(); k++) {
    if (tags()[k].owner == client)
      glxReleaseTag(&tags()[k], client);
    else if (tags()[k].owner)
      others = true;
  }
  if (!others) glxFreeTagTable();
}
// ===== end of tag table =====

// ===== records =====
int glxInitContextObjects(GlxContextRecord *context, GlxContextRecord *share) {
  if (share && share->objectLists) {
    context->objectLists = share->objectLists;
    context->objectLists->sharers++;
  } else {
    context->objectLists = static_cast<GlxObjectIdLists *>(calloc(1, sizeof(GlxObjectIdLists)));
    if (!context->objectLists) return 0;
  }
  context->renderMode = kGlRender;
  return 1;
}

void glxFreeContext(GlxContextRecord *context) {
  if (!context) return;
  if (context->extraRefs > 0) {
    context->extraRefs--;
    return;
  }
  // The lists go with the last context of the share group.
  if (GlxObjectIdLists *lists = context->objectLists) {
    if (lists->sharers == 0)
      freeObjectLists(lists);
    else
      lists->sharers--;
  }
  for (Head *head = context->screen ? context->screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      if (uint32_t direct = context->directContexts[slotOf(head)]) dGLDestroyContext(instanceOf(head), direct);
    } else {
      destroyOnCurrent(kMinorDestroyContext, resourceServerId(context->contextId, kResourceGlxContext, head));
    }
  }
  free(context);
}

void glxFreeDrawable(GlxDrawableRecord *drawable) {
  if (!drawable) return;
  if (drawable->extraRefs > 0) {
    drawable->extraRefs--;
    return;
  }
  for (Head *head = drawable->screen ? drawable->screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      if (uint32_t direct = drawable->direct[slotOf(head)])
        glxdirectDestroyGLXPixmap(instanceOf(head), direct);
      else
        LOG_UNE();
    } else if (const RequestSink *sink = currentSink()) {
      glxindirectQueueDestroyGlxPixmap(sink, resourceServerId(drawable->glxDrawableId, kResourceGlxDrawable, head));
    }
  }
  free(drawable);
}

bool glxChargePbuffer(GlxPbufferRecord *pbuffer) {
  bool direct = false;
  for (Head *head = pbuffer->screen ? pbuffer->screen->heads : nullptr; head; head = head->next)
    direct = direct || head->glLibrary;
  uint64_t bytes = uint64_t(pbuffer->width) * pbuffer->height * kGlxDirectPixelBytes;
  if (!direct || bytes == 0) return true;
  if (!glxdirectCharge(bytes)) return false;
  pbuffer->charged = bytes;
  pbuffer->chargedOwner = glxdirectOwner();
  return true;
}

void glxFreePbuffer(GlxPbufferRecord *pbuffer) {
  if (!pbuffer) return;
  if (pbuffer->extraRefs > 0) {
    pbuffer->extraRefs--;
    return;
  }
  // To the client it was counted for while that client lives: a tag of another client may hold
  // the record until after a new client took the creator's index.
  glxdirectRefundOwner(pbuffer->chargedOwner, pbuffer->charged);
  for (Head *head = pbuffer->screen ? pbuffer->screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      if (uint32_t direct = pbuffer->direct[slotOf(head)])
        glxdirectDestroyPbuffer(instanceOf(head), direct);
      else
        LOG_UNE();
    } else if (xproxyCurrentClient) {
      if (configRecord.workarounds & kWorkaroundNoGLXDestroyPbuffer)
        LOG(logChannelStep, "Workaround NoGLXDestroyPbuffer for %s ...", xscreenClientName(xproxyCurrentClient));
      else
        destroyOnCurrent(kMinorDestroyPbuffer, resourceServerId(pbuffer->pbufferId, kResourceGlxPbuffer, head));
    }
  }
  free(pbuffer);
}

GlxPbufferRecord *glxCreatePbufferRecord(MetaScreen *screen, VisualRecord *fbConfig, uint32_t pbufferId,
                                         uint16_t width, uint16_t height, const uint8_t *first, const uint8_t *end) {
  auto *pbuffer = static_cast<GlxPbufferRecord *>(calloc(1, sizeof(GlxPbufferRecord)));
  if (!pbuffer) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  *pbuffer = GlxPbufferRecord{screen, fbConfig, pbufferId, 0, width, height, 0, 1, {}, 0, 0};
  if (!resourceAdd(pbufferId, kResourceGlxPbuffer, pbuffer)) {
    free(pbuffer);
    return nullptr;
  }
  // Whole pairs only: a trailing half pair is not read.
  for (const uint8_t *at = first; at && end - at >= 8; at += 8) {
    uint32_t attribute = wireGet32(at), value = wireGet32(at + 4);
    switch (attribute) {
      case 0: break;
      case kGlxPreservedContents: pbuffer->preserved = uint8_t(value); break;
      case kGlxLargestPbuffer: pbuffer->largest = uint8_t(value); break;
      case kGlxPbufferHeight: pbuffer->height = uint16_t(value); break;
      case kGlxPbufferWidth: pbuffer->width = uint16_t(value); break;
      default: LOG(logChannelWarning, "Unknown attribute: %s", gldatatypeEnumName(attribute)); break;
    }
  }
  return pbuffer;
}

MetaScreen *glxScreenByNumber(uint32_t screen) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->headsAsScreens) {
    Head *head = xineramaGetHead(nullptr, screen);
    if (!head) return nullptr;
    return head->metaScreen ? head->metaScreen : xscreenList;
  }
  return xscreenFindByIndex(screen);
}
// ===== end of records =====

// ===== pending MakeCurrent records =====
GlxPendingRequest *glxAddPendingRequest(uint32_t proxyTag, uint32_t oldTag, uint32_t drawableId, uint32_t contextId,
                                        GlxPendingList **list, Head *head) {
  auto *record = static_cast<GlxPendingRequest *>(calloc(1, sizeof(GlxPendingRequest)));
  if (!record) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  if (!*list) {
    *list = static_cast<GlxPendingList *>(calloc(1, sizeof(GlxPendingList)));
    if (!*list) {
      free(record);
      LOG_OUT_OF_MEMORY();
      return nullptr;
    }
  }
  *record = GlxPendingRequest{nullptr, nullptr, proxyTag, oldTag, drawableId, contextId, *list, head};
  circListPushBack(&(*list)->first, record);
  return record;
}

int glxUnlinkPendingRequest(GlxPendingRequest *record) {
  circListUnlink(&record->list->first, record);
  return record->list->first == nullptr;
}

namespace {
// The request's last record has gone: a fresh entry of a request that got another answer
// than its reply is given back (when its client still holds it), and the list head freed.
void finishPendingList(GlxPendingList *list, uint32_t proxyTag) {
  if (list->marked && list->freshEntry)
    if (GlxTagEntry *entry = glxFindTagEntry(list->client, proxyTag)) glxReleaseTag(entry, list->client);
  free(list);
}
}  // namespace

void glxFreePendingRequest(uintptr_t argument) {
  auto *record = reinterpret_cast<GlxPendingRequest *>(argument);
  if (!record) return;
  // Discarded unanswered: the server answered this head's copy with an error, which went to
  // the client in place of the reply (or the connection closed).
  GlxPendingList *list = record->list;
  list->marked = 1;
  if (glxUnlinkPendingRequest(record)) finishPendingList(list, record->proxyTag);
  free(record);
}
// ===== end of pending MakeCurrent records =====

// ===== requests and replies =====
namespace {

// Field offsets of the two requests.
struct MakeCurrentShape {
  uint8_t minor;
  uint32_t oldTagAt, drawableAt, readAt, contextAt;  // readAt 0: none
};
constexpr MakeCurrentShape kMakeCurrent{kMinorMakeCurrent, 12, 4, 0, 8};
constexpr MakeCurrentShape kMakeContextCurrent{kMinorMakeContextCurrent, 4, 8, 12, 16};

void makeCurrent(uint8_t *request, uint32_t length, const MakeCurrentShape &shape) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  // Whatever this request makes current on the client's connections is the client's own
  // binding: a Render replay must make its tag current again before it goes.
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (DisplayConnection *connection = client->displays[i]) connection->glxTag = 0;
  uint32_t oldTag = wireGet32(request + shape.oldTagAt);
  uint32_t drawableId = wireGet32(request + shape.drawableAt);
  uint32_t contextId = wireGet32(request + shape.contextAt);
  uint32_t readId = shape.readAt ? wireGet32(request + shape.readAt) : drawableId;

  // The old tag's context is flushed before it is let go: on a drawable that ended that fails
  // as on a GLX server (GLXBadCurrentWindow, even after a glFinish) and nothing changes; the
  // library is never called on the drawable.
  auto oldWindowGone = [&]() {
    if (!glxdirectTagDrawableGone(client, oldTag)) return false;
    xprotoSendExtensionError(kGlxBadCurrentWindow, oldTag, request, length, nullptr);
    return true;
  };
  // Release: nothing current any more. Old tag 0 has nothing to release and is answered alike,
  // as servers do.
  if (contextId == 0 && drawableId == 0) {
    if (oldTag != 0) {
      GlxTagEntry *entry = glxFindTagEntry(client, oldTag);
      if (!entry) {
        xprotoSendExtensionError(kGlxBadContextTag, oldTag, request, length, nullptr);
        return;
      }
      if (oldWindowGone()) return;
      glxReleaseTag(entry, client);
    }
    glxindirectReplyShort(0, client);
    return;
  }
  auto *context = static_cast<GlxContextRecord *>(resourceLookupByType(contextId, kResourceGlxContext));
  if (!context) {
    xprotoSendExtensionError(kGlxBadContext, contextId, request, length, nullptr);
    return;
  }
  GlxTagEntry *entry = nullptr;
  bool fresh = oldTag == 0;
  if (!fresh) {
    entry = glxFindTagEntry(client, oldTag);
    if (!entry) {
      xprotoSendExtensionError(kGlxBadContextTag, oldTag, request, length, nullptr);
      return;
    }
    if (oldWindowGone()) return;
  } else if (!(entry = glxAllocTag(client))) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  uint32_t proxyTag = glxTagOf(entry);
  // A read drawable is checked as the draw drawable is (glxBindTag), before anything changes.
  if (readId != drawableId && !glxDrawableKnown(readId)) {
    if (fresh) glxReleaseTag(entry, nullptr);
    xprotoSendExtensionError(kGlxBadDrawable, readId, request, length, nullptr);
    return;
  }
  // A window or GLX pixmap larger than a GL library of its screen can hold is never handed to
  // it (the library would overrun its images, and take every client down with the proxy):
  // MakeCurrent fails with BadAlloc, before anything changes, as a server that cannot allocate
  // the drawable's buffers answers. (Drawing only the part the library holds would give the
  // client a picture it did not ask for.) A window resized past the size later is refused at
  // each request under the tag (glxdirectRefuseOversized).
  if (!glxDrawableFitsLibraries(drawableId) || !glxDrawableFitsLibraries(readId)) {
    if (fresh) glxReleaseTag(entry, nullptr);
    LOG(logChannelXhint, "Lumora: Drawable 0x%x beyond the GL library's largest size refused for %s",
        glxDrawableFitsLibraries(drawableId) ? readId : drawableId, xscreenClientName(client));
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  // A tag that moves lets go of the slots it had in GL libraries first: each tag holds one slot
  // per head, and the old one may draw into a drawable the move destroys.
  if (!fresh && glxDrawableKnown(drawableId)) glxReleaseDirectSlots(entry);
  MetaScreen *screen = glxBindTag(entry, context, contextId, drawableId);
  if (!screen) {
    if (fresh) glxReleaseTag(entry, nullptr);  // the client never saw its number
    xprotoSendExtensionError(kGlxBadDrawable, drawableId, request, length, nullptr);
    return;
  }
  client->glxScreen = screen->index;

  DisplayConnection *connection = client->displayCount ? client->displays[0] : nullptr;
  GlxPendingList *list = nullptr;
  bool indirect = false;
  // A failure answers BadAlloc; copies already written get their replies, which then only
  // store their tags (a fresh entry goes with the last of them, or at once when none went).
  auto fail = [&]() {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    if (list) {
      list->marked = 1;
    } else if (fresh) {
      if (GlxTagEntry *own = glxFindTagEntry(client, proxyTag)) glxReleaseTag(own, client);
    }
  };
  for (Head *head = screen->heads; head; head = head->next) {
    if (head->glLibrary) {
      uint32_t slot = glxdirectCreateTag(instanceOf(head), glxindirectRealContext(contextId, head),
                                         glxindirectRealDrawable(drawableId, head),
                                         glxindirectRealDrawable(readId, head), proxyTag, drawableId, readId);
      setGLXTagForServer(proxyTag, head, slot);
      if (!slot) return fail();
      continue;
    }
    GlxPendingRequest *record =
        connection ? glxAddPendingRequest(proxyTag, oldTag, drawableId, contextId, &list, head) : nullptr;
    uint8_t *copy = record ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) {
      if (record && glxUnlinkPendingRequest(record)) {
        free(list);
        list = nullptr;
      }
      free(record);
      return fail();
    }
    if (!list->client) list->client = client, list->freshEntry = fresh;
    wirePut32(copy + shape.drawableAt, glxindirectRealDrawable(drawableId, head));
    if (shape.readAt) wirePut32(copy + shape.readAt, glxindirectRealDrawable(readId, head));
    wirePut32(copy + shape.contextAt, glxindirectRealContext(contextId, head));
    wirePut32(copy + shape.oldTagAt, glxTagForServer(oldTag, head));
    xproxyPushReplyCallback(connection, shape.minor, reinterpret_cast<uintptr_t>(record), glxFreePendingRequest);
    indirect = true;
  }
  if (!indirect) glxindirectReplyShort(proxyTag, client);
}

// A single-buffered visual that the head offers only double-buffered draws into the front
// buffer: glReadBuffer and glDrawBuffer of GL_FRONT, once per context and head.
void emulateSingleBuffering(DisplayConnection *connection, const GlxPendingRequest &record, uint32_t serverTag) {
  auto *context = static_cast<GlxContextRecord *>(resourceLookupByType(record.contextId, kResourceGlxContext));
  Head *head = record.head;
  if (!context || !head) return;
  uint32_t slot = slotOf(head);
  uint32_t &word = context->emulationMarks[slot / 32];
  uint32_t bit = 1u << (slot % 32);
  if (word & bit) return;
  word |= bit;
  const VisualRecord *own = context->visual ? mainHeadVisual(context->visual, head) : nullptr;
  if (!own || context->visual->glDoubleBuffer != 0 || own->glDoubleBuffer == 0) return;
  LOG(logChannelStep, "Emulating GLX single-buffering...");
  uint8_t *request = xproxyBeginRequest(connection, proxyState.ext.glxMajor, kMinorRender, 24);
  if (!request) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  uint8_t *body = request + 4;
  wirePut32(body, serverTag);
  wirePut16(body + 4, 8);
  wirePut16(body + 6, uint16_t(kGlReadBuffer));
  wirePut32(body + 8, kGlFront);
  wirePut16(body + 12, 8);
  wirePut16(body + 14, uint16_t(kGlDrawBuffer));
  wirePut32(body + 16, kGlFront);
}

void makeCurrentReply(uint8_t *reply, uint32_t length, uint8_t minor) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  if (!connection || length < 32) return;
  auto *record = reinterpret_cast<GlxPendingRequest *>(xproxyTakeReplyCallback(connection, minor));
  if (!record) return;  // not a reply the proxy waits for (a release of its own)
  GlxPendingList *list = record->list;
  uint32_t serverTag = wireGet32(reply + 8);
  setGLXTagForServer(record->proxyTag, record->head, serverTag);
  wirePut32(reply + 8, record->proxyTag);
  if (minor == kMinorMakeCurrent && !list->marked) emulateSingleBuffering(connection, *record, serverTag);
  bool last = glxUnlinkPendingRequest(record) != 0;
  uint32_t proxyTag = record->proxyTag;
  free(record);
  if (!last) return;
  bool answer = !list->marked;
  finishPendingList(list, proxyTag);
  if (answer) extWriteReply(reply, length, "bbsii");
}

}  // namespace

void glxMakeCurrent(uint8_t *request, uint32_t length, uint8_t *) { makeCurrent(request, length, kMakeCurrent); }
void glxMakeContextCurrent(uint8_t *request, uint32_t length, uint8_t *) {
  makeCurrent(request, length, kMakeContextCurrent);
}
void glxMakeCurrentReply(uint8_t *reply, uint32_t length) { makeCurrentReply(reply, length, kMinorMakeCurrent); }
void glxMakeContextCurrentReply(uint8_t *reply, uint32_t length) {
  makeCurrentReply(reply, length, kMinorMakeContextCurrent);
}
// ===== end of requests and replies =====

// ===== context rows =====
namespace {
constexpr ExtRequestRow kRows[] = {
    {kMinorMakeCurrent, "GLXMakeCurrent", 16, 0, "bbsiii", ExtServed::Local, glxMakeCurrent, "bbsii",
     ExtReplyKind::Own, glxMakeCurrentReply},
    {kMinorMakeContextCurrent, "GLXMakeContextCurrent", 20, 4, "bbsI", ExtServed::Local, glxMakeContextCurrent,
     "bbsii", ExtReplyKind::Own, glxMakeContextCurrentReply},
};
}  // namespace

const ExtRequestRow *glxContextRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRows)
    if (row.minor == minor) return &row;
  if (const ExtRequestRow *row = glxStringsRow(minor)) return row;
  if (const ExtRequestRow *row = glxRequestRow(minor)) return row;
  if (const ExtRequestRow *row = glxVendorRow(minor)) return row;
  if (const ExtRequestRow *row = glxRenderRow(minor)) return row;
  return glxSingleRow(minor);
}
// ===== end of context rows =====
