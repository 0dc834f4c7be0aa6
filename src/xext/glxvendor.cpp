// GLX vendor-private requests. A vendor request carries its code at byte 4: the code picks the
// request's length rule and layout before anything is swapped, and a handful of codes are served
// here (texture objects, the SGIX FBConfig and pbuffer calls, MakeCurrentRead, the head query);
// every other code goes to the heads with its tag translated. A copy for one head of several
// that the reply head does not answer for is followed by kXcoreReplyTagDropError, so the client
// hears one answer per request.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/byteswap.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadMatch = 8, kBadLength = 16;
constexpr uint8_t kGlxBadDrawable = 2, kGlxBadPixmap = 3, kGlxBadContextTag = 4, kGlxBadFbConfig = 9, kGlxBadPbuffer = 10;
constexpr uint8_t kGlxUnsupportedPrivateRequest = 8;
constexpr uint8_t kMinorMakeCurrent = 5, kMinorVendorPrivate = 16, kMinorVendorPrivateWithReply = 17;
constexpr uint8_t kMinorGetFbConfigs = 21;
constexpr uint8_t kMinorAreTexturesResident = 143, kMinorDeleteTextures = 144, kMinorGenTextures = 145;
constexpr uint8_t kMinorIsTexture = 146;
// Servers from GLX 1.3 on (version code 66 = 1.2) know the texture requests under minors of
// their own.
constexpr uint32_t kGlxVersion12 = 66;
constexpr uint32_t kMostHeadsAnswered = 16;

constexpr uint32_t kAreTexturesResident = 11, kDeleteTextures = 12, kGenTextures = 13, kIsTexture = 14;
constexpr uint32_t kBindTexImage = 1330, kReleaseTexImage = 1331, kSwapInterval = 1416, kQueryHeads = 2053;
constexpr uint32_t kCopySubBuffer = 5154;
constexpr uint32_t kMakeCurrentRead = 0x10001, kGetFbConfigs = 0x10004, kCreateContextWithConfig = 0x10005;
constexpr uint32_t kCreateGlxPixmapWithConfig = 0x10006, kCreatePbuffer = 0x10007, kDestroyPbuffer = 0x10008;

DisplayConnection *firstConnection() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->displayCount ? client->displays[0] : nullptr;
}
Head *replyHead(MetaScreen *screen) { return screen ? (screen->glxHead ? screen->glxHead : screen->heads) : nullptr; }

// Follows a copy just written for one head of several: unless the head answers for the meta
// screen, an error of that copy is dropped (one answer per request).
void quietUnlessAnswering(DisplayConnection *connection, const Head *head, const Head *answering) {
  if (head != answering) xproxyPushReplyCallback(connection, kXcoreReplyTagDropError, 1, nullptr);
}

void badLength(const uint8_t *request, uint32_t length) {
  xprotoSendError(kBadLength, length, request, length, nullptr);
}
void badTag(uint32_t tag, const uint8_t *request, uint32_t length) {
  xprotoSendExtensionError(kGlxBadContextTag, tag, request, length, nullptr);
}
// The client's entry of the tag at that offset; NULL after GLXBadContextTag.
GlxTagEntry *ownTag(uint32_t at, const uint8_t *request, uint32_t length) {
  uint32_t tag = wireGet32(request + at);
  GlxTagEntry *entry = glxFindTagEntry(xproxyCurrentClient, tag);
  if (!entry) badTag(tag, request, length);
  return entry;
}

// A head whose GL runs inside the proxy executes the command itself: whether it served the code.
bool directVendor(Head *head, uint32_t tag, const uint8_t *request, uint32_t length) {
  return glxdirectVendorPrivate(static_cast<GlxLibraryInstance *>(head->glLibrary), glxTagForServer(tag, head),
                                wireGet32(request + 4), request + 12, request + length, head);
}

// A texture-object code on a head whose GL runs inside the proxy: the single operation of the
// same request, whose parameters follow the code and the tag as a single's follow its tag. A
// failed one leaves the result empty (the reply head still answers: its client waits).
GlxDirectResult directTexture(GlxDirectSingle operation, Head *head, uint32_t tag, const uint8_t *request,
                              uint32_t length) {
  GlxDirectResult result{0, 0, nullptr};
  if (!operation(static_cast<GlxLibraryInstance *>(head->glLibrary), glxTagForServer(tag, head), request + 12,
                 length - 12, &result))
    result = GlxDirectResult{0, 0, nullptr};
  return result;
}

// ----- replies of forwarded copies -----
// A copy that expects a reply is followed by a callback: bit 32 marks it present, bit 33 marks
// the copy whose reply the client gets (the others are dropped), the low word is the vendor code
// that picks the reply's layout.
uintptr_t replyMark(uint32_t code, bool answer) {
  return uintptr_t(1) << 32 | (answer ? uintptr_t(1) << 33 : 0) | code;
}
// Files the request just written under minor 17 when it went out under another minor, and
// pushes the callback.
void expectReply(DisplayConnection *connection, uint8_t sentMinor, uint32_t code, bool answer) {
  if (sentMinor != kMinorVendorPrivateWithReply)
    xproxyRekeyLastRequest(connection, uint16_t(proxyState.ext.glxMajor | kMinorVendorPrivateWithReply << 8));
  xproxyPushReplyCallback(connection, kMinorVendorPrivateWithReply, replyMark(code, answer), nullptr);
}

const char *vendorReplyLayout(uint32_t code) {
  switch (code) {
    case 13: case 1295: case 1296: case 1305: case 1307: case 1423: case 1424: case 1426: case 1428: return "bbsI";
    case 1297: case 1306: return "bbsiiiL";
    default: return "bbsiii";
  }
}

// A request of size bytes under the minor on the client's first display connection; NULL when
// none can be begun.
uint8_t *begin(DisplayConnection *connection, uint8_t minor, uint64_t size) {
  if (!connection || size > 0x3FFFFu * 4) return nullptr;
  return xproxyBeginRequest(connection, proxyState.ext.glxMajor, minor, uint32_t(size));
}

// ----- minor 16 -----
void deleteTextures(uint8_t *request, uint32_t length) {
  uint64_t n = wireGet32(request + 12);
  if (16 + 4 * n > length) return badLength(request, length);
  GlxTagEntry *entry = ownTag(8, request, length);
  if (!entry) return;
  uint32_t tag = glxTagOf(entry);
  DisplayConnection *connection = firstConnection();
  for (Head *head = entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      directTexture(glxdirectDeleteTextures, head, tag, request, length);
      continue;
    }
    bool old = head->glxVersion < kGlxVersion12;
    uint32_t at = old ? 16 : 12;
    uint8_t *out = begin(connection, old ? kMinorVendorPrivate : kMinorDeleteTextures, at + 4 * n);
    if (!out) continue;  // this head is skipped
    if (old) wirePut32(out + 4, kDeleteTextures);
    wirePut32(out + at - 8, glxTagForServer(tag, head));
    wirePut32(out + at - 4, uint32_t(n));
    memcpy(out + at, request + 16, 4 * n);
    quietUnlessAnswering(connection, head, replyHead(entry->screen));
  }
}

// A window, pixmap, GLX pixmap or pbuffer: its meta screen (the client's cached one); NULL
// after GLXBadDrawable.
MetaScreen *drawableScreen(uint32_t id, const uint8_t *request, uint32_t length) {
  ResourceType type = resourceLookupIdType(id, nullptr);
  if (resourceLookupWindow(id) || type == kResourcePixmap || type == kResourceGlxDrawable ||
      type == kResourceGlxPbuffer) {
    resourceCacheDrawable(xproxyCurrentClient, id);
    if (MetaScreen *screen = xproxyCurrentClient->cachedScreen) return screen;
  }
  xprotoSendExtensionError(kGlxBadDrawable, id, request, length, nullptr);
  return nullptr;
}

// Codes naming a drawable at byte 12: each head's copy names the drawable as its server knows
// it, under the head's tag (0 when the tag is not the client's).
void onDrawable(uint8_t *request, uint32_t length) {
  uint32_t drawable = wireGet32(request + 12), tag = wireGet32(request + 8);
  uint32_t code = wireGet32(request + 4);
  MetaScreen *screen = drawableScreen(drawable, request, length);
  if (!screen) return;
  bool own = glxFindTagEntry(xproxyCurrentClient, tag) != nullptr;
  bool direct = false;
  for (Head *head = screen->heads; head; head = head->next) direct |= head->glLibrary != nullptr;
  bool texture = code == kBindTexImage || code == kReleaseTexImage;
  // Where the proxy's library executes them, answered as a GLX server does before anything is
  // called: a tag that is not the client's (tag 0 included: they need the client's context),
  // then a drawable that is no GLX pixmap. The real servers answer the others' copies.
  if (texture && direct && !own) return badTag(tag, request, length);
  if (texture && direct && !resourceLookupByType(drawable, kResourceGlxDrawable))
    return (void)xprotoSendExtensionError(kGlxBadPixmap, drawable, request, length, nullptr);
  DisplayConnection *connection = firstConnection();
  for (Head *head = screen->heads; head; head = head->next) {
    if (head->glLibrary) {
      auto *instance = static_cast<GlxLibraryInstance *>(head->glLibrary);
      if (texture) {
        // The library's GLX pixmaps are made without texture-from-pixmap attributes: it would
        // bind one to no texture target. Nothing can be bound, so nothing is to be released.
        if (code == kBindTexImage && head == replyHead(screen))
          xprotoSendError(kBadMatch, drawable, request, length, "no texture-from-pixmap GLX pixmap");
        continue;
      }
      if (code == kSwapInterval) {
        glxdirectSwapInterval(instance, glxindirectRealDrawable(drawable, head), int32_t(wireGet32(request + 16)));
      } else {
        // The executor gets the library's own drawable (a GLX pixmap or pbuffer it made, or the
        // server's window): a copy of the request names it (the executor reads the request's
        // header before its data). It serves the texture-from-pixmap codes and reports the others.
        std::vector<uint8_t> copy(request, request + length);
        wirePut32(copy.data() + 12, glxindirectRealDrawable(drawable, head));
        glxdirectVendorPrivate(instance, own ? glxTagForServer(tag, head) : 0, code, copy.data() + 12,
                               copy.data() + copy.size(), head);
      }
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) continue;
    wirePut32(copy + 8, own ? glxTagForServer(tag, head) : 0);
    wirePut32(copy + 12, glxindirectRealDrawable(drawable, head));
    quietUnlessAnswering(connection, head, replyHead(screen));
  }
}

void createContextWithConfig(uint8_t *request, uint32_t length) { glxCreateContextWithConfig(request, length); }
void createGlxPixmapWithConfig(uint8_t *request, uint32_t length) { glxCreateGlxPixmapWithConfig(request, length); }

uint32_t serverFbConfig(const VisualRecord *config, Head *head) {
  const VisualRecord *own = mainHeadVisual(config, head);
  if (!own) return config->visualId;
  return own->glFbConfigId ? own->glFbConfigId : own->visualId;
}

void createPbuffer(uint8_t *request, uint32_t length) {
  uint32_t number = wireGet32(request + 12), fbConfig = wireGet32(request + 16), id = wireGet32(request + 20);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) return (void)xprotoSendError(kBadValue, number, request, length, "invalid screen");
  VisualRecord *config = nullptr;
  for (uint32_t k = 0; k < screen->visualCount; k++)
    if (screen->visuals[k].visualId == fbConfig && screen->visuals[k].glVersion) config = &screen->visuals[k];
  if (!config) return (void)xprotoSendExtensionError(kGlxBadFbConfig, fbConfig, request, length, nullptr);
  if (!xcoreFrameNewId(id, request, length)) return;
  GlxPbufferRecord *pbuffer = glxCreatePbufferRecord(screen, config, id, uint16_t(wireGet32(request + 24)),
                                                     uint16_t(wireGet32(request + 28)), request + 32, request + length);
  if (!pbuffer) return (void)xprotoSendError(11, 0, request, length, nullptr);
  if (!glxChargePbuffer(pbuffer)) {
    resourceFree(id, 0);
    return (void)xprotoSendError(11, 0, request, length, nullptr);
  }
  DisplayConnection *connection = firstConnection();
  for (Head *head = screen->heads; head; head = head->next) {
    if (head->glLibrary) {
      // The library's pbuffer, kept in the record under the head's slot as GLXCreatePbuffer does.
      uint32_t slot = head->idIndex < kGlxHeadSlots ? head->idIndex : 0;
      pbuffer->direct[slot] =
          glxdirectCreatePbuffer(static_cast<GlxLibraryInstance *>(head->glLibrary), head->screen,
                                 serverFbConfig(config, head), pbuffer->width, pbuffer->height, pbuffer->largest,
                                 pbuffer->preserved);
      if (!pbuffer->direct[slot]) {
        resourceFree(id, 0);
        return (void)xprotoSendError(11, 0, request, length, nullptr);
      }
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) return (void)xprotoSendError(11, 0, request, length, nullptr);
    wirePut32(copy + 12, uint32_t(head->screen));
    wirePut32(copy + 16, serverFbConfig(config, head));
    wirePut32(copy + 20, resourceServerId(id, kResourceGlxPbuffer, head));
    xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, id, nullptr);
  }
}

void destroyPbuffer(uint8_t *request, uint32_t length) {
  uint32_t id = wireGet32(request + 12);
  if (!resourceLookupByType(id, kResourceGlxPbuffer))
    return (void)xprotoSendExtensionError(kGlxBadPbuffer, id, request, length, nullptr);
  resourceFree(id, 0);
}

// Another code: the heads of the tag's screen, or when the tag is not the client's those of the
// first screen under tag 0 (never a tag another client holds).
void otherPrivate(uint8_t *request, uint32_t length) {
  uint32_t tag = wireGet32(request + 8);
  GlxTagEntry *entry = glxFindTagEntry(xproxyCurrentClient, tag);
  MetaScreen *screen = entry ? entry->screen : xscreenList;
  DisplayConnection *connection = firstConnection();
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      if (entry) directVendor(head, tag, request, length);
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) return (void)xprotoSendError(11, 0, request, length, nullptr);
    wirePut32(copy + 8, entry ? glxTagForServer(tag, head) : 0);
    quietUnlessAnswering(connection, head, replyHead(screen));
  }
}

// ----- minor 17 -----
void areTexturesResident(uint8_t *request, uint32_t length) {
  uint64_t n = wireGet32(request + 12);
  if (16 + 4 * n > length) return badLength(request, length);
  GlxTagEntry *entry = ownTag(8, request, length);
  if (!entry) return;
  Head *head = replyHead(entry->screen);
  if (!head) return;
  if (head->glLibrary) {
    // The residence bytes, and whether all are resident.
    GlxDirectResult result = directTexture(glxdirectAreTexturesResident, head, glxTagOf(entry), request, length);
    return glxindirectReplyValuesEx(result.data, result.data ? result.count : 0, 1, uint32_t(result.value),
                                    xproxyCurrentClient, kMinorVendorPrivateWithReply);
  }
  bool old = head->glxVersion < kGlxVersion12;
  uint32_t at = old ? 16 : 12;
  uint8_t minor = old ? kMinorVendorPrivateWithReply : kMinorAreTexturesResident;
  DisplayConnection *connection = firstConnection();
  uint8_t *out = begin(connection, minor, at + 4 * n);
  if (!out) return (void)xprotoSendError(11, 0, request, length, nullptr);
  if (old) wirePut32(out + 4, kAreTexturesResident);
  wirePut32(out + at - 8, glxTagForServer(glxTagOf(entry), head));
  wirePut32(out + at - 4, uint32_t(n));
  memcpy(out + at, request + 16, 4 * n);
  expectReply(connection, minor, kAreTexturesResident, true);
}

// GenTextures goes to every head (each must know the names), IsTexture to the reply head; the
// client gets the reply head's answer.
void textureQuery(uint8_t *request, uint32_t length, uint32_t code, uint8_t newMinor, bool everyHead) {
  GlxTagEntry *entry = ownTag(8, request, length);
  if (!entry) return;
  uint32_t tag = glxTagOf(entry);
  Head *answering = replyHead(entry->screen);
  DisplayConnection *connection = firstConnection();
  for (Head *head = entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    if (!everyHead && head != answering) continue;
    if (head->glLibrary) {
      bool gen = code == kGenTextures;
      GlxDirectResult result =
          directTexture(gen ? glxdirectGenTextures : glxdirectIsTexture, head, tag, request, length);
      if (head != answering) continue;
      if (gen)
        glxindirectReplyValuesEx(result.data, result.data ? result.count : 0, 4, 0, xproxyCurrentClient,
                                 kMinorVendorPrivateWithReply);
      else
        glxindirectReplyInt(uint32_t(result.value), xproxyCurrentClient, kMinorVendorPrivateWithReply);
      continue;
    }
    bool old = head->glxVersion < kGlxVersion12;
    uint8_t minor = old ? kMinorVendorPrivateWithReply : newMinor;
    uint32_t at = old ? 8 : 4;
    uint8_t *out = begin(connection, minor, at + 8);
    if (!out) return (void)xprotoSendError(11, 0, request, length, nullptr);
    if (old) wirePut32(out + 4, code);
    wirePut32(out + at, glxTagForServer(tag, head));
    wirePut32(out + at + 4, wireGet32(request + 12));
    quietUnlessAnswering(connection, head, answering);
    expectReply(connection, minor, code, head == answering);
  }
}
void genTextures(uint8_t *request, uint32_t length) {
  textureQuery(request, length, kGenTextures, kMinorGenTextures, true);
}
void isTexture(uint8_t *request, uint32_t length) { textureQuery(request, length, kIsTexture, kMinorIsTexture, false); }

// The head query: the window is looked for first; only then does the client see each head as
// a screen.
void queryHeads(uint8_t *request, uint32_t length) {
  uint32_t id = wireGet32(request + 12);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  if (!window) return (void)xprotoSendError(kBadWindow, id, request, length, nullptr);
  xproxyCurrentClient->headsAsScreens = 1;
  uint8_t reply[76] = {};
  uint32_t heads = window->screen ? std::min<uint32_t>(window->screen->headCount, kMostHeadsAnswered) : 0;
  wirePut32(reply + 8, heads);
  for (uint32_t k = 0; k < heads; k++) wirePut32(reply + 12 + 4 * k, id);
  extSendLocalReply(request, reply, sizeof reply, "bbsI");
}

// MakeCurrentRead is served as GLXMakeCurrent of the draw drawable: every head gets a
// GLXMakeCurrent, and a release lets the tag go once, by the release requests of the heads.
void makeCurrentRead(uint8_t *request, uint32_t length) {
  uint8_t current[16] = {request[0], kMinorMakeCurrent};
  wirePut16(current + 2, 4);
  wirePut32(current + 4, wireGet32(request + 12));
  wirePut32(current + 8, wireGet32(request + 20));
  wirePut32(current + 12, wireGet32(request + 8));
  (void)length;
  glxMakeCurrent(current, sizeof current, nullptr);
}

void getFbConfigs(uint8_t *request, uint32_t) {
  uint8_t query[8] = {request[0], kMinorGetFbConfigs};
  wirePut16(query + 2, 2);
  wirePut32(query + 4, wireGet32(request + 12));
  glxGetFBConfigs(query, sizeof query, nullptr);
}

// Another code: every head of the tag's screen; the reply head's reply reaches the client.
void otherPrivateWithReply(uint8_t *request, uint32_t length) {
  GlxTagEntry *entry = ownTag(8, request, length);
  if (!entry) return;
  uint32_t tag = glxTagOf(entry), code = wireGet32(request + 4);
  Head *answering = replyHead(entry->screen);
  DisplayConnection *connection = firstConnection();
  for (Head *head = entry->screen ? entry->screen->heads : nullptr; head; head = head->next) {
    if (head->glLibrary) {
      // A code the executor does not serve still gets an answer, from the reply head.
      if (!directVendor(head, tag, request, length) && head == answering)
        xprotoSendExtensionError(kGlxUnsupportedPrivateRequest, code, request, length, nullptr);
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) return (void)xprotoSendError(11, 0, request, length, nullptr);
    wirePut32(copy + 8, glxTagForServer(tag, head));
    quietUnlessAnswering(connection, head, answering);
    expectReply(connection, kMinorVendorPrivateWithReply, code, head == answering);
  }
}

// ----- the tables by code -----
struct VendorCode {
  uint32_t code;
  uint32_t length;  // exact, or the minimum when atLeast
  bool atLeast;
  const char *layout;
  void (*serve)(uint8_t *request, uint32_t length);
};

constexpr VendorCode kPrivate[] = {
    {kDeleteTextures, 16, true, "bbsI", deleteTextures},
    {kBindTexImage, 16, true, "bbsI", onDrawable},
    {kReleaseTexImage, 16, true, "bbsI", onDrawable},
    {kSwapInterval, 20, false, "bbsiiii", onDrawable},
    {kCopySubBuffer, 16, true, "bbsI", onDrawable},
    {kCreateContextWithConfig, 36, false, "bbsiiiiiii", createContextWithConfig},
    {kCreateGlxPixmapWithConfig, 28, false, "bbsI", createGlxPixmapWithConfig},
    {kCreatePbuffer, 32, true, "bbsI", createPbuffer},
    {kDestroyPbuffer, 16, false, "bbsiii", destroyPbuffer},
};
constexpr VendorCode kOtherPrivate{0, 12, true, "H32", otherPrivate};

constexpr VendorCode kPrivateWithReply[] = {
    {kAreTexturesResident, 16, true, "bbsI", areTexturesResident},
    {kGenTextures, 16, false, "bbsiii", genTextures},
    {kIsTexture, 16, false, "bbsiii", isTexture},
    {kQueryHeads, 16, false, "bbsiii", queryHeads},
    {kMakeCurrentRead, 24, false, "bbsI", makeCurrentRead},
    {kGetFbConfigs, 16, false, "bbsI", getFbConfigs},
    // Served as on minor 16, without a reply.
    {kCreateContextWithConfig, 36, false, "bbsiiiiiii", createContextWithConfig},
    {kCreateGlxPixmapWithConfig, 28, false, "bbsI", createGlxPixmapWithConfig},
    {kCreatePbuffer, 32, true, "bbsI", createPbuffer},
    {kDestroyPbuffer, 16, false, "bbsiii", destroyPbuffer},
};
constexpr VendorCode kOtherPrivateWithReply{0, 12, true, "H32", otherPrivateWithReply};

// The code is read as the client wrote it; its row's length rule, then its layout, then its
// service. (The common frame has refused requests under 12 bytes.)
template <size_t N>
void serveByCode(uint8_t *request, uint32_t length, const VendorCode (&table)[N], const VendorCode &other) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  if (length < 12) return badLength(request, length);
  uint32_t code = wireGet32(request + 4, client->reader.swapped);
  const VendorCode *row = &other;
  for (const VendorCode &candidate : table)
    if (candidate.code == code) row = &candidate;
  if (length < row->length || (!row->atLeast && length != row->length)) return badLength(request, length);
  if (client->reader.swapped) byteswapByFormat(row->layout, request, request + length);
  row->serve(request, length);
}

}  // namespace

void glxVendorPrivate(uint8_t *request, uint32_t length, uint8_t *) {
  // A compile or a link by the GL library inside the proxy may take seconds: the request runs
  // where that call can be made outside the loop (glxdirectOutside).
  constexpr uint32_t kCompileShader = 90002, kLinkProgram = 90004;
  ClientConnection *client = xproxyCurrentClient;
  if (client && length >= 12 && glxdirectAvailable() && !miscCanYield()) {
    uint32_t code = wireGet32(request + 4, client->reader.swapped);
    if (code == kCompileShader || code == kLinkProgram) return miscRunYielding(glxVendorPrivate, request, length);
  }
  serveByCode(request, length, kPrivate, kOtherPrivate);
}

void glxVendorPrivateWithReply(uint8_t *request, uint32_t length, uint8_t *) {
  serveByCode(request, length, kPrivateWithReply, kOtherPrivateWithReply);
}

void glxVendorPrivateWithReplyReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uintptr_t mark = connection ? xproxyTakeReplyCallback(connection, kMinorVendorPrivateWithReply) : 0;
  if (!(mark >> 32 & 1)) {
    LOG(logChannelXhint, "GLX: vendor reply #%u nobody waits for", connection ? connection->sequenceHandled : 0);
    return;
  }
  if (!(mark >> 33 & 1)) return;  // another head's copy: the client gets one reply
  extWriteReply(reply, length, vendorReplyLayout(uint32_t(mark)));
}

// ===== vendor rows =====
namespace {
constexpr ExtServed kLocal = ExtServed::Local;
constexpr ExtReplyKind kOwn = ExtReplyKind::Own, kNone = ExtReplyKind::NoReply;
// The vendor rows swap nothing themselves: the code's row does. (The GLSL object requests have
// their rows among the single operations, whose reply layouts they share.)
constexpr ExtRequestRow kRows[] = {
    {kMinorVendorPrivate, "GLXVendorPrivate", 12, 4, nullptr, kLocal, glxVendorPrivate, nullptr, kNone, nullptr},
    {kMinorVendorPrivateWithReply, "GLXVendorPrivateWithReply", 12, 4, nullptr, kLocal, glxVendorPrivateWithReply,
     "bbsiii", kOwn, glxVendorPrivateWithReplyReply},
};
}  // namespace

const ExtRequestRow *glxVendorRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRows)
    if (row.minor == minor) return &row;
  return nullptr;
}
// ===== end of vendor rows =====
