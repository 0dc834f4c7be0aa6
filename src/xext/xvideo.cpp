// The XVideo extension. Video adaptors and their ports belong to the real screens, so a meta
// screen offers the adaptors of its primary head that every other head can match, and a
// client-visible port stands for one port on each head. Requests that change what is shown are
// written once per head with the port, drawable and GC of that head; queries go to the primary
// head, whose replies and events are the ones the client sees.
#include "xext/xvideo.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xvlib.h>

#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/rect.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/shm.h"

namespace {

constexpr uint8_t kBadValue = 2;
constexpr uint8_t kBadWindow = 3;
constexpr uint8_t kBadDrawable = 9;
constexpr uint8_t kBadAlloc = 11;
constexpr uint8_t kSentEvent = 0x80;
constexpr uint8_t kGrabPortTag = 3;
constexpr uint8_t kShmPutImageMinor = 19;
constexpr uint32_t kHeadSlots = 128;  // head indexes stay below this (heads beyond are refused)

// The adaptor lists read at set-up, by head index. `head` tells a stale slot from a live one.
struct HeadAdaptors {
  const Head *head;
  XvHeadAdaptor *adaptors;
  uint32_t count;
};
HeadAdaptors headAdaptors[kHeadSlots];

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// Image sizes the heads' servers computed, by display, port, format and size: a small ring,
// emptied by the reset.
struct ImageSize {
  const Display *display;
  uint32_t port, format;
  uint16_t width, height;
  uint32_t bytes;
};
constexpr uint32_t kImageSizes = 32;
ImageSize imageSizes[kImageSizes];
uint32_t imageSizeNext;

uint32_t sizeThroughXv(Head *head, uint32_t port, uint32_t format, uint16_t width, uint16_t height) {
  if (!head->display) return 0;
  // libXv asks the server's QueryImageAttributes when it makes an image description.
  XvImage *image = XvCreateImage(head->display, port, int(format), nullptr, width, height);
  if (!image) return 0;
  uint32_t bytes = image->data_size > 0 ? uint32_t(image->data_size) : 0;
  XFree(image);
  return bytes;
}

// The bytes of an image on the head's server for the head's port; 0 when it has none.
uint32_t imageBytes(Head *head, uint32_t port, uint32_t format, uint16_t width, uint16_t height) {
  for (const ImageSize &k : imageSizes)
    if (k.bytes && k.display == head->display && k.port == port && k.format == format && k.width == width &&
        k.height == height)
      return k.bytes;
  uint32_t bytes = xvideoImageSize(head, port, format, width, height);
  if (bytes) {
    imageSizes[imageSizeNext] = ImageSize{head->display, port, format, width, height, bytes};
    imageSizeNext = (imageSizeNext + 1) % kImageSizes;
  }
  return bytes;
}

// The client's segments are attached on the real server only through the first head's
// display, and only when MIT-SHM works with it there.
Head *firstHead() { return xscreenList ? xscreenList->heads : nullptr; }
bool headTakesShm(const Head *head) {
  const Head *first = firstHead();
  return first && first->serverDisplay && first->serverDisplay->mitShmUsable &&
         head->serverDisplay == first->serverDisplay;
}

Head *primaryOf(const MetaScreen *screen) {
  if (!screen) return nullptr;
  return screen->primaryHead ? screen->primaryHead : screen->heads;
}

int readThroughXv(Head *head, XvHeadAdaptor **adaptors, uint32_t *count) {
  *adaptors = nullptr;
  *count = 0;
  Display *display = head->display;
  if (!display) return 0;
  unsigned version = 0, release = 0, request = 0, event = 0, error = 0;
  if (XvQueryExtension(display, &version, &release, &request, &event, &error) != Success) return 0;
  unsigned n = 0;
  XvAdaptorInfo *info = nullptr;
  if (XvQueryAdaptors(display, head->root, &n, &info) != Success) return 0;
  if (n) {
    *adaptors = static_cast<XvHeadAdaptor *>(calloc(n, sizeof(XvHeadAdaptor)));
    if (!*adaptors) {
      LOG_OUT_OF_MEMORY();
      n = 0;
    }
  }
  for (unsigned k = 0; k < n; k++)
    (*adaptors)[k] = XvHeadAdaptor{uint32_t(info[k].base_id), uint32_t(info[k].num_ports), uint8_t(info[k].type)};
  if (info) XvFreeAdaptorInfo(info);
  *count = n;
  return 1;
}

const HeadAdaptors *listOf(const Head *head) {
  if (!head || head->idIndex >= kHeadSlots) return nullptr;
  const HeadAdaptors &list = headAdaptors[head->idIndex];
  return list.head == head ? &list : nullptr;
}

void freeHeadLists() {
  for (HeadAdaptors &list : headAdaptors) {
    free(list.adaptors);
    list = HeadAdaptors{};
  }
}

void freeAdaptors() {
  XvAdaptor *a = proxyState.ext.xvAdaptors;
  while (a) {
    XvAdaptor *next = a->next;
    free(a);
    a = next;
  }
  proxyState.ext.xvAdaptors = nullptr;
}

void appendAdaptor(XvAdaptor *a) {
  XvAdaptor *&first = proxyState.ext.xvAdaptors;
  if (!first) {
    first = a;
    a->previous = a;
    return;
  }
  XvAdaptor *tail = first->previous;
  tail->next = a;
  a->previous = tail;
  first->previous = a;
}

void unlinkAdaptor(XvAdaptor *a) {
  XvAdaptor *&first = proxyState.ext.xvAdaptors;
  if (a == first) {
    first = a->next;
    if (first) first->previous = a->previous;
  } else {
    a->previous->next = a->next;
    if (a->next)
      a->next->previous = a->previous;
    else
      first->previous = a->previous;
  }
  free(a);
}

// Whether another offered adaptor of the meta screen already holds this head adaptor: two
// adaptors of one type must not share the ports of one head adaptor.
bool takenOnHead(const XvAdaptor *self, const Head *head, uint32_t basePort) {
  for (const XvAdaptor *a = proxyState.ext.xvAdaptors; a; a = a->next)
    if (a != self && a->metaScreen == self->metaScreen && a->headFirstPort[head->idIndex] == basePort) return true;
  return false;
}

// Matches the adaptor on every other head of its meta screen: the first head adaptor not yet
// taken whose type holds every bit and which has at least as many ports. NULL, or the text of
// the first head that has none.
const char *matchOnHeads(XvAdaptor *a, const Head *primary) {
  for (Head *head = a->metaScreen->heads; head; head = head->next) {
    if (head == primary || head->idIndex >= kHeadSlots) continue;
    const HeadAdaptors *list = listOf(head);
    if (!list || !list->count) return strTempPrintf("Display %s has no X-Video adaptors", head->name);
    const XvHeadAdaptor *match = nullptr;
    for (uint32_t k = 0; k < list->count && !match; k++) {
      const XvHeadAdaptor &h = list->adaptors[k];
      if ((h.type & a->type) == a->type && h.numberOfPorts >= a->numberOfPorts && !takenOnHead(a, head, h.basePort))
        match = &h;
    }
    if (!match)
      return strTempPrintf("Display %s does not support X-Video adaptor #%u, type %d", head->name, a->adaptorNumber,
                           int(a->type));
    a->headFirstPort[head->idIndex] = match->basePort;
  }
  return nullptr;
}

void buildAdaptors() {
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) {
    Head *primary = primaryOf(screen);
    const HeadAdaptors *list = listOf(primary);
    for (uint32_t n = 0; list && n < list->count; n++) {
      const XvHeadAdaptor &own = list->adaptors[n];
      XvAdaptor *a = proxyState.ext.xvAdaptors;
      while (a && !(a->metaScreen == screen && a->firstPort == own.basePort)) a = a->next;
      if (!a) {
        a = static_cast<XvAdaptor *>(calloc(1, sizeof(XvAdaptor)));
        if (!a) {
          LOG_OUT_OF_MEMORY();
          return;
        }
        a->metaScreen = screen;
        a->adaptorNumber = n;
        a->firstPort = own.basePort;
        a->numberOfPorts = uint16_t(own.numberOfPorts > 0xffff ? 0xffff : own.numberOfPorts);
        a->type = own.type;
        appendAdaptor(a);
      }
      // The primary head's own entry is the adaptor's base port: its ports are the client's.
      a->headFirstPort[primary->idIndex] = own.basePort;
      if (const char *failure = matchOnHeads(a, primary)) {
        LOG(logChannelWarning, "%s", failure);
        unlinkAdaptor(a);
      }
    }
  }
}

void readHeads() {
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next)
    for (Head *head = screen->heads; head; head = head->next) {
      if (head->idIndex >= kHeadSlots) continue;
      HeadAdaptors &list = headAdaptors[head->idIndex];
      free(list.adaptors);
      list = HeadAdaptors{head, nullptr, 0};
      if (!xvideoReadAdaptors(head, &list.adaptors, &list.count)) list = HeadAdaptors{head, nullptr, 0};
    }
}

// ----- Requests -----

// The port's meta screen becomes the client's current one (an unowned port leaves it); the
// screen the request goes to.
MetaScreen *portScreen(uint32_t port) {
  ClientConnection *client = xproxyCurrentClient;
  XvAdaptor *a = xvAdaptorOfPort(port);
  if (a && client) client->cachedScreen = a->metaScreen;
  return client && client->cachedScreen ? client->cachedScreen : xscreenList;
}

// One copy to the primary head of the screen, the port at 4 translated when asked.
void toPrimary(uint8_t *request, uint32_t length, MetaScreen *screen, const XcoreIdField *fields, bool port) {
  Head *head = primaryOf(screen);
  if (!head) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  uint8_t *copy = xcoreFrameForwardToHead(request, length, head, fields);
  if (copy && port) wirePut32(copy + 4, xvPort2server(wireGet32(request + 4), head));
}

constexpr XcoreIdField kWindowAt4[] = {{4, kResourceWindow}, {0, 0}};
constexpr XcoreIdField kDrawableAndGC[] = {{8, kResourceWindow}, {12, kResourceGC}, {0, 0}};
constexpr XcoreIdField kDrawable[] = {{8, kResourceWindow}, {0, 0}};

void queryAdaptors(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameResolve(wireGet32(request + 4), kXcoreWantWindow, kBadWindow, request, length)) return;
  toPrimary(request, length, xproxyCurrentClient->cachedScreen, kWindowAt4, false);
}

void portQuery(uint8_t *request, uint32_t length, uint8_t *) {
  toPrimary(request, length, portScreen(wireGet32(request + 4)), nullptr, true);
}

void getVideo(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameResolve(wireGet32(request + 8), kXcoreWantDrawable, kBadDrawable, request, length)) return;
  toPrimary(request, length, portScreen(wireGet32(request + 4)), kDrawableAndGC, true);
}

void selectVideoNotify(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameResolve(wireGet32(request + 4), kXcoreWantDrawable, kBadDrawable, request, length)) return;
  toPrimary(request, length, xproxyCurrentClient->cachedScreen, kWindowAt4, false);
}

// Grab, ungrab and attributes: a copy on every head of the port's meta screen; a grab's copies
// each wait for their reply with the head.
void everyHead(uint8_t *request, uint32_t length, uint8_t *) {
  MetaScreen *screen = portScreen(wireGet32(request + 4));
  DisplayConnection *connection = xcoreFrameConnection();
  bool grab = request[1] == 3;
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next) {
    uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, nullptr) : nullptr;
    if (!copy) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    wirePut32(copy + 4, xvPort2server(wireGet32(request + 4), head));
    if (grab) xproxyPushReplyCallback(connection, kGrabPortTag, reinterpret_cast<uintptr_t>(head), nullptr);
  }
}

// What the per-head copies of a drawing request share.
struct DrawTarget {
  const XcoreIdField *fields;
  uint32_t port;
  bool window;           // the drawable is a window of the proxy's tree
  Rect area;             // its area on the meta screen, border included
  bool shm;              // xvShmPutImage: the segment is translated and ShmCompletion kept once
  bool completionKept;   // a copy already asks for the completion
  uint32_t segment;
  const ShmSegment *shmSegment;  // the client's segment (xvShmPutImage)
};

// xvShmPutImage for a head whose server cannot see the client's segment: an xvPutImage with
// the image from the segment, its size as that head's server computes it. 1 when written or
// left out (no size, or not inside the segment), 0 when there was no room.
int putImageFromSegment(Head *head, DisplayConnection *connection, const uint8_t *request, const DrawTarget &t) {
  uint32_t port = xvPort2server(t.port, head), format = wireGet32(request + 20), offset = wireGet32(request + 24);
  uint16_t width = wireGet16(request + 44), height = wireGet16(request + 46);
  uint64_t bytes = imageBytes(head, port, format, width, height);
  const ShmSegment *segment = t.shmSegment;
  if (!bytes || !segment || !segment->address || offset > segment->size || bytes > segment->size - offset) {
    logProblem("xvShmPutImage image outside its segment", "Xext/xvideo", __LINE__);
    return 1;
  }
  uint64_t length = 40 + pad4(bytes);
  if (length > proxyState.maxRequestBytes) return 1;  // the server could not take it either
  uint8_t header[40];
  memcpy(header, request, 16);  // major, port, drawable, GC (translated below)
  header[1] = 18;
  memcpy(header + 16, request + 20, 4);   // the format
  memcpy(header + 20, request + 28, 20);  // source and destination rectangles, image size
  const RequestSink &sink = connection->reader.sink;
  uint8_t *copy = sink.begin ? sink.begin(sink.context, header[0], header[1], uint32_t(length)) : nullptr;
  if (!copy) return 0;
  memcpy(copy + 4, header + 4, 36);
  wirePut32(copy + 4, port);
  wirePut32(copy + 8, xproxyServerDrawable(wireGet32(request + 8), head));
  wirePut32(copy + 12, resourceServerId(wireGet32(request + 12), kResourceGC, head));
  memcpy(copy + 40, segment->address + offset, bytes);
  memset(copy + 40 + bytes, 0, length - 40 - bytes);
  return 1;
}

int drawCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  DrawTarget &t = *static_cast<DrawTarget *>(argument);
  if (t.window && head->optimizedDraw) {
    Rect common;
    rectIntersect(&common, t.area, head->rect);
    if (common.width == 0 || common.height == 0) return 1;  // the window misses this head
  }
  if (t.shm && !headTakesShm(head)) return putImageFromSegment(head, connection, request, t);
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, t.fields);
  if (!copy) return 0;
  wirePut32(copy + 4, xvPort2server(t.port, head));
  if (t.shm) {
    wirePut32(copy + 16, resourceServerId(t.segment, kResourceShmSegment, firstHead()));
    // One completion for the client: only the first copy asks the server for it.
    if (copy[48]) {
      if (t.completionKept) copy[48] = 0;
      t.completionKept = true;
    }
  }
  return 1;
}

// The ShmCompletion of an xvShmPutImage that no copy asked a server for.
void sendOwnCompletion(const uint8_t *request) {
  ClientConnection *client = xproxyCurrentClient;
  const ExtensionRecord *shm = extFindByName("MIT-SHM");
  if (!client || !shm || !shm->firstEvent) return;
  uint8_t event[32] = {};
  event[0] = shm->firstEvent;
  wirePut16(event + 2, uint16_t(client->sequence));
  wirePut32(event + 4, wireGet32(request + 8));
  wirePut16(event + 8, kShmPutImageMinor);
  event[10] = request[0];
  wirePut32(event + 12, wireGet32(request + 16));
  wirePut32(event + 16, wireGet32(request + 24));
  mainSendEventToClient(event, "bbsisbbii", 0);
}

void draw(uint8_t *request, uint32_t length, const XcoreIdField *fields, bool shm) {
  if (!xcoreFrameResolve(wireGet32(request + 8), kXcoreWantDrawable, kBadDrawable, request, length)) return;
  ClientConnection *client = xproxyCurrentClient;
  DrawTarget t{fields, wireGet32(request + 4), false, Rect{}, shm, false, shm ? wireGet32(request + 16) : 0, nullptr};
  if (client->cachedType == kResourceWindow) {
    if (const auto *window = static_cast<const WindowRecord *>(client->cachedRecord)) {
      t.window = true;
      t.area = Rect{int32_t(window->x) - window->borderWidth, int32_t(window->y) - window->borderWidth,
                    uint32_t(window->width) + 2u * window->borderWidth,
                    uint32_t(window->height) + 2u * window->borderWidth};
    }
  }
  MetaScreen *screen = portScreen(t.port);
  if (shm) {
    // The segment must be one the client attached, and the image must lie inside it.
    auto *attachment = static_cast<ShmAttachment *>(resourceLookupByType(t.segment, kResourceShmSegment));
    if (!attachment || !attachment->segment) {
      const ExtensionRecord *record = extFindByName("MIT-SHM");
      uint8_t code = record && record->firstError ? record->firstError : kBadValue;
      xprotoSendError(code, t.segment, request, length, nullptr);
      return;
    }
    t.shmSegment = attachment->segment;
    Head *primary = primaryOf(screen);
    uint32_t offset = wireGet32(request + 24);
    uint64_t bytes = primary ? imageBytes(primary, xvPort2server(t.port, primary), wireGet32(request + 20),
                                          wireGet16(request + 44), wireGet16(request + 46))
                             : 0;
    if (offset % 4 || offset > t.shmSegment->size || bytes > t.shmSegment->size - offset) {
      xprotoSendError(kBadValue, offset, request, length, nullptr);
      return;
    }
  }
  if (!xcoreFramePerHead(request, length, 0, drawCopy, &t)) return;
  if (shm && request[48] && !t.completionKept) sendOwnCompletion(request);
}

void putVideo(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, kDrawableAndGC, false); }
void stopVideo(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, kDrawable, false); }
void shmPutImage(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, kDrawableAndGC, true); }

// ----- Replies -----

void queryAdaptorsReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t kept = xvideoFilterAdaptors(reply, length, connection ? connection->display : nullptr);
  extWriteReply(reply, kept, "H-6");
}

// Each head answers a grab; the client sees the primary head's answer alone.
void grabPortReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *head = connection ? reinterpret_cast<Head *>(xproxyTakeReplyCallback(connection, kGrabPortTag)) : nullptr;
  if (head && head != primaryOf(head->metaScreen)) return;
  extWriteReply(reply, length, "bbsi");
}

// ----- Events and errors -----

void videoNotify(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) {
    wirePut32(event + 8, mainServerToProxyXid(wireGet32(event + 8), connection->display));
    mainSetLastTime(wireGet32(event + 4));
  }
  mainSendEventToClient(event, kXvVideoNotifyLayout, 0);
}

// The port passes as the primary head's server sent it: selections reach the primary head
// only, and its ports are the client's.
void portNotify(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) mainSetLastTime(wireGet32(event + 4));
  mainSendEventToClient(event, kXvPortNotifyLayout, 0);
}

void queueError(uint8_t *error, const char *format) {
  DisplayConnection *connection = extEnterMessage(error);
  if (!connection) {
    LOG_UNE();
    return;
  }
  error[10] = xproxyMapMajorOpcode(error[10]);
  xprotoLogXError(error, format, wireGet32(error + 4));
  mainQueueEventForClient(error, "bbsis");
}

void badPort(uint8_t *error) { queueError(error, "xvBadPort %u"); }
void badEncoding(uint8_t *error) { queueError(error, "xvBadEncoding 0x%x"); }
void badControl(uint8_t *error) { queueError(error, "xvBadControl 0x%x"); }

// xvListImageFormats: the header, then 128-byte xvImageFormatInfo entries.
#define XV_FORMAT_ENTRY "ibbsbbbbbbbbbbbbbbbbbbsbbbbiiibbbbiiiiiiiii" "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb" "bbbbbbbbbbbb"
constexpr const char *kListImageFormatsLayout = "bbsiibbbbbbbbbbbbbbbbbbbb[" XV_FORMAT_ENTRY "]";
#undef XV_FORMAT_ENTRY

constexpr ExtRequestRow kRows[] = {
    {0, "xvQueryExtension", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "xvQueryAdaptors", 8, 0, "bbsi", ExtServed::Local, queryAdaptors, "H-6", ExtReplyKind::Own,
     queryAdaptorsReply},
    {2, "xvQueryEncodings", 8, 0, "bbsi", ExtServed::Local, portQuery, "H-42", ExtReplyKind::Plain, nullptr},
    {3, "xvGrabPort", 12, 0, "bbsii", ExtServed::PerHead, everyHead, "bbsi", ExtReplyKind::Own, grabPortReply},
    {4, "xvUngrabPort", 12, 0, "bbsii", ExtServed::PerHead, everyHead, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "xvPutVideo", 32, 4, "bbsiiissssssss", ExtServed::PerHead, putVideo, nullptr, ExtReplyKind::NoReply, nullptr},
    {6, "xvPutStill", 32, 4, "bbsiiissssssss", ExtServed::PerHead, putVideo, nullptr, ExtReplyKind::NoReply, nullptr},
    {7, "xvGetVideo", 32, 0, "bbsiiissssssss", ExtServed::Local, getVideo, nullptr, ExtReplyKind::NoReply, nullptr},
    {8, "xvGetStill", 32, 0, "bbsiiissssssss", ExtServed::Local, getVideo, nullptr, ExtReplyKind::NoReply, nullptr},
    {9, "xvStopVideo", 12, 0, "bbsii", ExtServed::PerHead, stopVideo, nullptr, ExtReplyKind::NoReply, nullptr},
    {10, "xvSelectVideoNotify", 12, 0, "bbsi", ExtServed::Local, selectVideoNotify, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {11, "xvSelectPortNotify", 12, 0, "bbsi", ExtServed::Local, portQuery, nullptr, ExtReplyKind::NoReply, nullptr},
    {12, "xvQueryBestSize", 20, 0, "bbsissss", ExtServed::Local, portQuery, "bbsiss", ExtReplyKind::Plain, nullptr},
    {13, "xvSetPortAttribute", 16, 0, "bbsiii", ExtServed::PerHead, everyHead, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {14, "xvGetPortAttribute", 12, 0, "bbsii", ExtServed::Local, portQuery, "bbsii", ExtReplyKind::Plain, nullptr},
    {15, "xvQueryPortAttributes", 8, 0, "bbsi", ExtServed::Local, portQuery, "H-43", ExtReplyKind::Plain, nullptr},
    {16, "xvListImageFormats", 8, 0, "bbsi", ExtServed::Local, portQuery, kListImageFormatsLayout,
     ExtReplyKind::Plain, nullptr},
    {17, "xvQueryImageAttributes", 16, 0, "bbsiiss", ExtServed::Local, portQuery, "bbsiiissbbbbbbbbbbbbI",
     ExtReplyKind::Plain, nullptr},
    {18, "xvPutImage", 40, 4, "bbsiiiissssssssss", ExtServed::PerHead, putVideo, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {19, "xvShmPutImage", 52, 0, "bbsiiiiiissssssssss", ExtServed::PerHead, shmPutImage, nullptr,
     ExtReplyKind::NoReply, nullptr},
};

void xvideoReset() {
  for (ImageSize &k : imageSizes) k = ImageSize{};
  imageSizeNext = 0;
  freeAdaptors();
  freeHeadLists();
  proxyState.ext.xvideo = nullptr;
}

}  // namespace

XvideoAdaptorReader xvideoReadAdaptors = readThroughXv;

const ExtRequestTable &xvideoRequestTable() {
  static const ExtRequestTable table{kRows, sizeof kRows / sizeof kRows[0]};
  return table;
}
XvideoImageSizer xvideoImageSize = sizeThroughXv;

XvAdaptor *xvAdaptorOfPort(uint32_t port) {
  for (XvAdaptor *a = proxyState.ext.xvAdaptors; a; a = a->next)
    if (port >= a->firstPort && uint64_t(port) < uint64_t(a->firstPort) + a->numberOfPorts) return a;
  return nullptr;
}

uint32_t xvPort2server(uint32_t port, Head *head) {
  XvAdaptor *a = xvAdaptorOfPort(port);
  if (!a || !head || head->idIndex >= kHeadSlots) {
    LOG(logChannelXhint, "Unknown video port #%u in xvPort2server(%s)", port, head ? head->name : "");
    return port;
  }
  return port - a->firstPort + a->headFirstPort[head->idIndex];
}

const XvHeadAdaptor *xvideoHeadAdaptors(const Head *head, uint32_t *count) {
  const HeadAdaptors *list = listOf(head);
  *count = list ? list->count : 0;
  return list ? list->adaptors : nullptr;
}

uint32_t xvideoFilterAdaptors(uint8_t *reply, uint32_t length, ServerDisplay *display) {
  if (length < 32) return length;
  uint32_t count = wireGet16(reply + 8);
  uint64_t read = 32, write = 32;
  uint32_t kept = 0;
  for (uint32_t k = 0; k < count && read + 12 <= length; k++) {
    uint8_t *entry = reply + read;
    uint64_t nameLength = wireGet16(entry + 4), formats = wireGet16(entry + 8);
    uint64_t size = 12 + pad4(nameLength) + 8 * formats;
    if (read + size > length) break;  // runs past the reply: cut with all that follows
    if (XvAdaptor *a = xvAdaptorOfPort(wireGet32(entry))) {
      Head *head = primaryOf(a->metaScreen);
      uint8_t *format = entry + 12 + pad4(nameLength);
      for (uint64_t f = 0; f < formats; f++, format += 8)
        wirePut32(format, xproxyServerVisualToProxy(wireGet32(format), display, head));
      if (write != read) memmove(reply + write, entry, size);
      write += size;
      kept++;
    }
    read += size;
  }
  wirePut16(reply + 8, uint16_t(kept));
  wirePut32(reply + 4, uint32_t((write - 32) / 4));
  return uint32_t(write);
}

const char *xvideoSetup(ExtensionRecord *record) {
  freeAdaptors();
  readHeads();
  buildAdaptors();
  const char *error = extRegister(record, "XVideo", 2, 3);
  if (!error) error = extAddEventRow(record, videoNotify, kXvVideoNotifyLayout);
  if (!error) error = extAddEventRow(record, portNotify, kXvPortNotifyLayout);
  if (!error) error = extAddErrorRow(record, badPort, "xvBadPort");
  if (!error) error = extAddErrorRow(record, badEncoding, "xvBadEncoding");
  if (!error) error = extAddErrorRow(record, badControl, "xvBadControl");
  if (error) {
    freeAdaptors();
    freeHeadLists();
    return error;
  }
  extWriteRows(record, xvideoRequestTable());
  record->reset = xvideoReset;
  proxyState.ext.xvideo = record;
  return nullptr;
}
