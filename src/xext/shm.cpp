// MIT-SHM: client segments attached by the proxy itself (the client's own rights checked, every
// image kept inside its segment), puts and gets forwarded where a head's server can take them
// unchanged and served by core image requests elsewhere, and the proxy's own segments for
// core images (one per server connection, reused put after put).
#include "xext/shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "proxy/access.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "proxy/xcoreframe.h"
#include "proxy/xcoreimage.h"
#include "proxy/xcoreshift.h"
#include "proxy/xdisplay.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/outbuffer.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/region.h"
#include "xclient/ximage.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/glxdirect.h"

namespace {

constexpr const char *kSource = "Xext/shm";
constexpr uint8_t kBadValue = 2, kBadAccess = 10, kBadAlloc = 11, kBadMatch = 8, kBadDrawable = 9, kBadGC = 13,
                  kBadImplementation = 17;
constexpr uint8_t kBadShmSeg = 0;  // the extension's first error
constexpr uint8_t kSentEvent = 0x80;
constexpr uint32_t kWantBuffers = 1u << kResourceDbeBuffer | 1u << kResourceMbufBuffer;

uint32_t depthMask(uint32_t depth) { return depth >= 32 ? 0xffffffffu : (1u << depth) - 1; }

// ----- The segment list -----

ShmSegment *&segmentList() { return proxyState.ext.shmSegments; }

ShmSegment *findSegment(uint32_t systemId) {
  for (ShmSegment *s = segmentList(); s; s = s->next)
    if (s->systemId == systemId) return s;
  return nullptr;
}

void appendSegment(ShmSegment *segment) {
  ShmSegment *&first = segmentList();
  if (!first) {
    segment->previous = segment;
    first = segment;
    return;
  }
  ShmSegment *tail = first->previous;
  tail->next = segment;
  segment->previous = tail;
  first->previous = segment;
}

void unlinkSegment(ShmSegment *segment) {
  ShmSegment *&first = segmentList();
  if (!first) return;  // the list was dropped by a reset
  if (segment == first) {
    first = segment->next;
    if (first) first->previous = segment->previous;
  } else {
    segment->previous->next = segment->next;
    if (segment->next)
      segment->next->previous = segment->previous;
    else
      first->previous = segment->previous;
  }
}

// A client id's attachment (NULL: not a segment id).
ShmAttachment *lookupAttachment(uint32_t id) {
  return static_cast<ShmAttachment *>(resourceLookupByType(id, kResourceShmSegment));
}

void freeAttachment(uint32_t, void *value) {
  auto *attachment = static_cast<ShmAttachment *>(value);
  if (!attachment) return;
  shmReleaseSegment(attachment->segment);
  free(attachment);
}

// ----- Where requests go -----

// The first head of the first meta screen: its display takes forwarded attaches.
Head *mainHead() { return xscreenList ? xscreenList->heads : nullptr; }

// The client's segments exist on the real server only when the first head's display has
// MIT-SHM usable; such a head's display is the one of the client's main connection.
bool forwardsAttaches() {
  Head *head = mainHead();
  return head && head->serverDisplay && head->serverDisplay->mitShmUsable;
}
bool headTakesShm(const Head *head) { return forwardsAttaches() && head->serverDisplay == mainHead()->serverDisplay; }

const XcoreIdField kSegmentAt4[] = {{4, kResourceShmSegment}, {0, 0}};

// The copy of a request on the main connection with the client's segment id at `at` and the
// drawable and GC fields translated for the head (segments for the first head of its display).
uint8_t *copyForHead(const uint8_t *request, uint32_t length, Head *head, const XcoreIdField *fields,
                     uint32_t segmentAt) {
  DisplayConnection *connection = xcoreFrameConnection();
  uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, fields) : nullptr;
  if (copy) wirePut32(copy + segmentAt, resourceServerId(wireGet32(request + segmentAt), kResourceShmSegment, mainHead()));
  return copy;
}

// ----- Requests -----

void shmQueryVersion(uint8_t *request, uint32_t, uint8_t *) {
  uint8_t reply[32] = {};
  uint16_t version = proxyState.ext.shm ? proxyState.ext.shm->version : 64 + 1;
  reply[1] = 0;  // no shared pixmaps
  wirePut16(reply + 8, uint16_t(version / 64));
  wirePut16(reply + 10, uint16_t(version % 64));
  wirePut16(reply + 12, uint16_t(geteuid()));
  wirePut16(reply + 14, uint16_t(getegid()));
  reply[16] = 2;  // ZPixmap
  extSendLocalReply(request, reply, 32, "bbsissssb");
}

void shmAttach(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t shmseg = wireGet32(request + 4), shmid = wireGet32(request + 8);
  uint8_t readOnly = request[12];
  if (!xcoreFrameNewId(shmseg, request, length)) return;
  if (readOnly > 1) return xprotoSendError(kBadValue, readOnly, request, length, nullptr);
  // The client's own rights first, whether the proxy already holds the segment or not: shmat
  // would only check the proxy's.
  shmid_ds status{};
  if (shmctl(int(shmid), IPC_STAT, &status) != 0)
    return xprotoSendError(kBadAccess, 0, request, length, "failed shmat()");
  uid_t uid = 0;
  gid_t gid = 0;
  bool credentials = shmPeerCredentials(xproxyCurrentClient, &uid, &gid) == 0;
  ShmPermission permission{status.shm_perm.uid, status.shm_perm.cuid, status.shm_perm.gid, status.shm_perm.cgid,
                           uint32_t(status.shm_perm.mode)};
  if (!shmAccessAllowed(credentials, uid, gid, permission, readOnly))
    return xprotoSendError(kBadAccess, 0, request, length, nullptr);
  auto *attachment = static_cast<ShmAttachment *>(calloc(1, sizeof(ShmAttachment)));
  if (!attachment) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  attachment->readOnly = readOnly;
  ShmSegment *segment = findSegment(shmid);
  if (segment) {
    if (segment->readOnly && !readOnly) {
      free(attachment);
      return xprotoSendError(kBadAccess, 0, request, length, "segment is read only");
    }
    if (segment->holders == UINT16_MAX) {
      free(attachment);
      return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    }
    segment->holders++;
  } else {
    segment = static_cast<ShmSegment *>(calloc(1, sizeof(ShmSegment)));
    void *address = segment ? shmat(int(shmid), nullptr, readOnly ? SHM_RDONLY : 0) : nullptr;
    if (!segment || address == reinterpret_cast<void *>(-1)) {
      free(segment);
      free(attachment);
      return xprotoSendError(kBadAccess, 0, request, length, "failed shmat()");
    }
    segment->segmentId = shmseg;
    segment->systemId = shmid;
    segment->readOnly = readOnly;
    segment->address = static_cast<uint8_t *>(address);
    segment->size = uint64_t(status.shm_segsz);
    appendSegment(segment);
  }
  attachment->segment = segment;
  // A failed add has released the attachment through the type's free routine.
  if (!resourceAdd(shmseg, kResourceShmSegment, attachment))
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (forwardsAttaches() && !copyForHead(request, length, mainHead(), nullptr, 4))
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
}

void shmDetach(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t shmseg = wireGet32(request + 4);
  if (!lookupAttachment(shmseg)) return xprotoSendExtensionError(kBadShmSeg, shmseg, request, length, nullptr);
  if (forwardsAttaches() && !copyForHead(request, length, mainHead(), nullptr, 4))
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  resourceFree(shmseg, 0);
}

// The client's image over the segment, copied out when only a part of it is put; the caller
// destroys the copy (XDestroyImage) and never the image over the segment.
struct SegmentImage {
  XImage whole{};
  XImage *part = nullptr;  // &whole or a copy of the source rectangle
  ~SegmentImage() {
    if (part && part != &whole) XDestroyImage(part);
  }
};

const char *makeSegmentImage(SegmentImage &out, uint8_t *data, uint32_t totalWidth, uint32_t totalHeight,
                             uint32_t depth, uint32_t format, uint32_t srcX, uint32_t srcY, uint32_t width,
                             uint32_t height) {
  ImageFormat layout;
  if (!xproxyClientImageFormat(&layout, format, depth)) return "invalid depth";
  layout.depth = depth;
  if (const char *e = ximageInit(&out.whole, int(totalWidth), int(totalHeight), 0, reinterpret_cast<char *>(data),
                                 &layout))
    return e;
  if (srcX == 0 && srcY == 0 && width == totalWidth && height == totalHeight) {
    out.part = &out.whole;
    return nullptr;
  }
  auto *copy = static_cast<XImage *>(calloc(1, sizeof(XImage)));
  if (!copy) return OUT_OF_MEMORY_TEXT();
  if (const char *e = ximageInit(copy, int(width), int(height), 0, nullptr, &layout)) {
    free(copy);
    return e;
  }
  for (uint32_t row = 0; row < height; row++)
    for (uint32_t column = 0; column < width; column++)
      XPutPixel(copy, int(column), int(row), XGetPixel(&out.whole, int(srcX + column), int(srcY + row)));
  out.part = copy;
  return nullptr;
}

// The GC's origins moved for a request into a copy placed apart while the guard lives (nothing
// without a GC).
struct GuardGCOrigins {
  DisplayConnection *connection;
  Head *head;
  const GCRecord *gc;
  XcoreCopyShift shift;
  GuardGCOrigins(DisplayConnection *c, Head *h, const GCRecord *g, const XcoreCopyShift &s)
      : connection(c), head(h), gc(g), shift(s) {
    xcoreShiftGCOrigins(connection, head, gc, shift, 1);
  }
  ~GuardGCOrigins() { xcoreShiftGCOrigins(connection, head, gc, shift, 0); }
};

// Flow control after a head put by the image path: a request of 40 bytes may put a whole
// segment, so once the server's output is past the mark the pass over the client's input ends
// after this request, and its further requests wait until that output has drained.
void rescheduleReadsAfterImagePut(ClientConnection *client, DisplayConnection *connection) {
  if (!client || !connection || outbufferCapacity(&connection->output) <= kMiscServerOutputMark) return;
  if (client->reader.bytesNeeded != kReaderStopped) {
    client->reader.bytesNeeded = kReaderStopped;
    client->reader.stopReason[0] = '\0';
  }
  miscScheduleClientReads(client);
}

void shmPutImage(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t drawable = wireGet32(request + 4), gc = wireGet32(request + 8);
  uint16_t totalWidth = wireGet16(request + 12), totalHeight = wireGet16(request + 14);
  uint16_t srcX = wireGet16(request + 16), srcY = wireGet16(request + 18);
  uint16_t srcWidth = wireGet16(request + 20), srcHeight = wireGet16(request + 22);
  int16_t dstX = int16_t(wireGet16(request + 24)), dstY = int16_t(wireGet16(request + 26));
  uint8_t depth = request[28], format = request[29], sendEvent = request[30];
  uint32_t shmseg = wireGet32(request + 32), offset = wireGet32(request + 36);
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) return;
  XcoreDrawableFacts facts = xcoreCurrentDrawableFacts();
  if (format > 2) return xprotoSendError(kBadValue, format, request, length, "invalid format");
  if ((format == 0 && depth != 1) || (format != 0 && depth != facts.depth))
    return xprotoSendError(kBadMatch, depth, request, length, "invalid depth");
  if (!resourceLookupByType(gc, kResourceGC)) return xprotoSendError(kBadGC, gc, request, length, nullptr);
  ShmAttachment *attachment = lookupAttachment(shmseg);
  if (!attachment) return xprotoSendExtensionError(kBadShmSeg, shmseg, request, length, nullptr);
  if (sendEvent > 1) return xprotoSendError(kBadValue, sendEvent, request, length, nullptr);
  if (uint32_t(srcX) + srcWidth > totalWidth)
    return xprotoSendError(kBadAccess, 0, request, length, "source width too big");
  if (uint32_t(srcY) + srcHeight > totalHeight)
    return xprotoSendError(kBadAccess, 0, request, length, "source height too big");
  ShmSegment *segment = attachment->segment;
  if (!shmImageFits(segment->size, offset, shmImageBytes(totalWidth, totalHeight, format, depth, 0xffffffffu)))
    return xprotoSendError(kBadValue, offset, request, length, nullptr);

  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client->cachedScreen ? client->cachedScreen : xscreenList;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!screen || !connection) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (xproxyCullingHeadCount) xproxySetRequestRegion(dstX, dstY, srcWidth, srcHeight);
  struct RegionScope {
    ~RegionScope() { xproxyClearRequestRegion(); }
  } scope;
  // Which heads take the request unchanged: the completion is asked of the last of them.
  auto forwards = [&](Head *head) {
    return headTakesShm(head) && !xcoreImageNeedsPixelConversion(format, depth, facts.visual, head);
  };
  Head *lastForwarded = nullptr;
  for (Head *head = screen->heads; head; head = head->next)
    if (!xcoreFrameHeadCulled(head) && forwards(head)) lastForwarded = head;
  static const XcoreIdField kDrawableGC[] = {{4, kResourceWindow}, {8, kResourceGC}, {0, 0}};
  SegmentImage image;
  bool imageMade = false;
  const GCRecord *gcRecord = resourceLookupGC(gc);
  for (Head *head = screen->heads; head; head = head->next) {
    if (xcoreFrameHeadCulled(head)) continue;
    // Into a copy placed apart: the destination moved, the columns and rows before 16 bits cut
    // from the source rectangle (a head left with nothing still answers the completion).
    XcoreCopyShift shift;
    int apart = xcoreCopyShiftOf(drawable, head, &shift);
    XcoreBox box{dstX, dstY, srcWidth, srcHeight};
    int64_t cutX = 0, cutY = 0;
    bool kept = !apart || xcoreShiftBox(shift, &box, &cutX, &cutY);
    if (!kept && !(forwards(head) && head == lastForwarded)) continue;
    GuardGCOrigins origins(connection, head, apart ? gcRecord : nullptr, shift);
    if (forwards(head)) {
      uint8_t *copy = copyForHead(request, length, head, kDrawableGC, 32);
      if (!copy) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      copy[30] = head == lastForwarded ? sendEvent : 0;
      if (apart) {
        wirePut16(copy + 16, uint16_t(kept ? srcX + cutX : srcX));
        wirePut16(copy + 18, uint16_t(kept ? srcY + cutY : srcY));
        wirePut16(copy + 20, uint16_t(kept ? box.width : 0));
        wirePut16(copy + 22, uint16_t(kept ? box.height : 0));
        wirePut16(copy + 24, uint16_t(kept ? box.x : 0));
        wirePut16(copy + 26, uint16_t(kept ? box.y : 0));
      }
      continue;
    }
    if (!imageMade) {
      if (makeSegmentImage(image, segment->address + offset, totalWidth, totalHeight, depth, format, srcX, srcY,
                           srcWidth, srcHeight))
        return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      imageMade = true;
    }
    XImage *part = image.part;
    if (apart && (cutX || cutY)) {
      ImageFormat layout;
      ximageFormatOfImage(image.part, &layout);
      part = ximageCreate(int(box.width), int(box.height), 0, &layout);
      if (!part) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      ximageCopyArea(image.part, int(cutX), int(cutY), int(box.width), int(box.height), part, 0, 0);
    }
    XImage *converted = xcoreImageNeedsPixelConversion(format, depth, facts.visual, head)
                            ? xproxyConvertImageForHead(part, facts.visual, head, part->width, part->height)
                            : part;
    int done = converted && xcorePutImageOnScreen(connection, head, drawable, gc, converted, int16_t(box.x),
                                                  int16_t(box.y));
    if (converted && converted != part) XDestroyImage(converted);
    if (part != image.part) XDestroyImage(part);
    if (!done) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    rescheduleReadsAfterImagePut(client, connection);
  }
  if (sendEvent && !lastForwarded && proxyState.ext.shm) {
    uint8_t event[32] = {};
    event[0] = proxyState.ext.shm->firstEvent;
    wirePut16(event + 2, uint16_t(client->sequence));
    wirePut32(event + 4, drawable);
    wirePut16(event + 8, 3);
    event[10] = request[0];
    wirePut32(event + 12, shmseg);
    wirePut32(event + 16, offset);
    mainWriteInSequence(event, 32, "bbsisbbii", client);
  }
}

// ----- ShmGetImage by parts -----

constexpr uint8_t kReplyTagShmGetImage = 4;

struct PartRead {
  ShmGetImagePart *part;
  uint8_t format;  // what the head is asked for
  uint32_t mask;
};

// The part's segment reference and the part go; the job with the last part holding it.
void releasePart(ShmGetImagePart *part) {
  if (!part) return;
  ShmGetImageJob *job = part->job;
  shmReleaseSegment(job->segment);
  if (job->sharers > 0)
    job->sharers--;
  else
    free(job);
  free(part);
}

void discardPart(uintptr_t argument) {
  auto *read = reinterpret_cast<PartRead *>(argument);
  if (!read) return;
  releasePart(read->part);
  free(read);
}

// A part of the job (made with the job when job is NULL): one more segment reference. NULL
// when out of memory or the segment's count is full.
ShmGetImagePart *newPart(ShmGetImageJob **job, ShmSegment *segment, Head *head, const Rect &destination) {
  if (segment->holders == UINT16_MAX) return nullptr;
  auto *part = static_cast<ShmGetImagePart *>(calloc(1, sizeof(ShmGetImagePart)));
  if (!part) return nullptr;
  if (!*job) {
    *job = static_cast<ShmGetImageJob *>(calloc(1, sizeof(ShmGetImageJob)));
    if (!*job) {
      free(part);
      return nullptr;
    }
    (*job)->segment = segment;
    (*job)->pending = 1;
  } else {
    (*job)->pending++;
    (*job)->sharers++;
  }
  segment->holders++;
  part->job = *job;
  part->head = head;
  part->x = destination.x;
  part->y = destination.y;
  part->width = destination.width;
  part->height = destination.height;
  return part;
}

// Writes the core GetImage of one part on the main connection, filed under the client's
// ShmGetImage so that its reply reaches the ShmGetImage reply handler. False when nothing
// was written (the caller still owns the part).
bool readPart(DisplayConnection *connection, const uint8_t *request, ShmGetImagePart *part,
              const VisualRecord *visual, uint32_t reader, int16_t x, int16_t y, uint16_t width, uint16_t height) {
  ShmGetImageJob *job = part->job;
  auto *read = static_cast<PartRead *>(calloc(1, sizeof(PartRead)));
  bool convert = job->depth >= 2 && xproxyVisualConversion(visual, part->head);
  uint8_t format = convert ? 2 : uint8_t(job->format);
  uint32_t mask = convert ? 0xffffffffu : xproxyPixelToServer2(job->planeMask, visual, part->head);
  if (!read || !core11GGetImage(connection, format, reader, x, y, width, height, mask)) {
    free(read);
    return false;
  }
  xproxyRekeyLastRequest(connection, uint16_t(request[0] | request[1] << 8));
  *read = {part, format, mask};
  xproxyPushReplyCallback(connection, kReplyTagShmGetImage, reinterpret_cast<uintptr_t>(read), discardPart);
  return true;
}

// A part that was never read: the job is marked failed (no reply) and the part released.
// *job becomes NULL when the part was its last holder.
void dropUnreadPart(ShmGetImageJob **job, ShmGetImagePart *part) {
  (*job)->failed = 1;
  (*job)->pending--;
  bool last = (*job)->sharers == 0;
  releasePart(part);
  if (last) *job = nullptr;
}

// The pixels of a part's reply into the client's image over the segment.
void copyPartIntoSegment(const PartRead &read, const uint8_t *reply, uint32_t length) {
  ShmGetImagePart *part = read.part;
  ShmGetImageJob *job = part->job;
  if (!part->width || !part->height || length < 32) return;
  uint32_t replyDepth = reply[1];
  uint32_t planes = read.format == XYPixmap ? uint32_t(__builtin_popcount(read.mask & depthMask(replyDepth)))
                                            : replyDepth;
  ImageFormat layout;
  XImage source{};
  bool usable = planes && xproxyHeadImageFormat(&layout, part->head, read.format, replyDepth);
  if (usable) {
    uint64_t needed = xprotoImageBytes(part->width, part->height, 2, replyDepth, 0xffffffffu,
                                       read.format == ZPixmap ? layout.bitsPerPixel : 1, layout.scanlinePad) *
                      (read.format == XYPixmap ? planes : 1);
    layout.depth = planes;
    usable = needed <= uint64_t(length - 32) &&
             !ximageInit(&source, int(part->width), int(part->height), 0,
                         reinterpret_cast<char *>(const_cast<uint8_t *>(reply) + 32), &layout);
  }
  if (!usable) {
    LOG(logChannelWarning, "ShmGetImage part of %ux%u from %s too short (%u bytes)", part->width, part->height,
        part->head ? part->head->name : "?", length - 32);
    return;
  }
  // The client's image laid over the segment: for XYPixmap only the planes of the mask.
  uint32_t mask = job->planeMask & depthMask(job->depth);
  uint32_t imageDepth = job->format == XYPixmap ? uint32_t(__builtin_popcount(mask)) : job->depth;
  ImageFormat target;
  XImage image{};
  if (!imageDepth || !xproxyClientImageFormat(&target, job->format, job->depth)) return;
  target.depth = imageDepth;
  if (ximageInit(&image, int(job->width), int(job->height), 0,
                 reinterpret_cast<char *>(job->segment->address + job->offset), &target))
    return;
  const VisualRecord *metaVisual = job->depth >= 2 && read.format == ZPixmap ? job->metaVisual : nullptr;
  bool convert = metaVisual && xproxyVisualConversion(metaVisual, part->head);
  bool packPlanes = job->format == XYPixmap && read.format == ZPixmap;
  int bpp = source.bits_per_pixel;
  if (read.format == ZPixmap && !convert && !packPlanes && bpp % 8 == 0 && bpp == image.bits_per_pixel &&
      source.byte_order == image.byte_order) {
    size_t rowBytes = size_t(part->width) * size_t(bpp / 8);
    for (uint32_t row = 0; row < part->height; row++)
      memcpy(image.data + size_t(part->y + row) * size_t(image.bytes_per_line) + size_t(part->x) * size_t(bpp / 8),
             source.data + size_t(row) * size_t(source.bytes_per_line), rowBytes);
    return;
  }
  for (uint32_t row = 0; row < part->height; row++)
    for (uint32_t column = 0; column < part->width; column++) {
      uint32_t pixel = uint32_t(XGetPixel(&source, int(column), int(row)));
      if (read.format == ZPixmap) {
        if (convert) pixel = xproxyPixelFromServer(pixel, metaVisual, part->head);
        pixel &= mask;
        if (packPlanes) pixel = xcorePackBits(pixel, mask);
      }
      XPutPixel(&image, int(part->x + column), int(part->y + row), pixel);
    }
}

using ShmPieces = std::vector<std::pair<Rect, Head *>>;  // meta coordinates and the head read

// ShmGetImage answered from core GetImage requests: one part per piece (empty pieces skipped).
// A part that cannot be made answers one BadAlloc; the parts already written then release
// their references without a reply.

void readByParts(const uint8_t *request, uint32_t length, MetaScreen *screen, const ShmPieces &pieces,
                 const XproxyRequestArea &area, const XcoreDrawableFacts &facts, ShmAttachment *attachment) {
  uint32_t drawable = wireGet32(request + 4);
  int16_t x = int16_t(wireGet16(request + 8)), y = int16_t(wireGet16(request + 10));
  uint16_t width = wireGet16(request + 12), height = wireGet16(request + 14);
  DisplayConnection *connection = xcoreFrameConnection();
  ClientConnection *client = xproxyCurrentClient;
  if (!connection) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  const WindowRecord *window =
      client->cachedType == kResourceWindow ? static_cast<const WindowRecord *>(client->cachedRecord) : nullptr;
  Rect wanted{int32_t(int64_t(area.x) + x), int32_t(int64_t(area.y) + y), width, height};
  ShmGetImageJob *job = nullptr;
  bool failed = false, any = false;
  auto setUpJob = [&] {
    job->offset = wireGet32(request + 28);
    job->width = width;
    job->height = height;
    job->depth = facts.depth;
    job->format = request[20];
    job->planeMask = wireGet32(request + 16);
    job->metaVisual = facts.visual;
    job->visual = area.isWindow && facts.visual ? facts.visual->visualId : 0;
  };
  for (size_t i = 0; i < pieces.size() && !failed; i++) {
    const Rect &part = pieces[i].first;
    Head *head = pieces[i].second;
    if (!part.width || !part.height) continue;
    // Where the part is read: a window through the copy (or ancestor) that holds it.
    uint32_t reader = xproxyServerDrawable(drawable, head);
    int64_t readX = int64_t(part.x) - area.x, readY = int64_t(part.y) - area.y;
    if (window) {
      const WindowRecord *through = nullptr;
      int16_t wx = 0, wy = 0;
      if (!windowCopyForRead(window, head, part, &through, &wx, &wy)) continue;
      reader = xproxyServerDrawable(through->id, head);
      readX = wx, readY = wy;
    } else if (readX < INT16_MIN || readX > INT16_MAX || readY < INT16_MIN || readY > INT16_MAX) {
      continue;
    }
    ShmGetImagePart *record = newPart(&job, attachment->segment, head,
                                      Rect{part.x - wanted.x, part.y - wanted.y, part.width, part.height});
    if (!record) {
      failed = true;
      break;
    }
    setUpJob();
    any = true;
    if (!readPart(connection, request, record, facts.visual, reader, int16_t(readX), int16_t(readY),
                  uint16_t(part.width), uint16_t(part.height))) {
      dropUnreadPart(&job, record);
      failed = true;
    }
  }
  if (!failed && !any) {
    // Outside every head: a 1x1 read of the first head's root carries the answer, no pixels.
    Head *first = screen->heads;
    ShmGetImagePart *record = newPart(&job, attachment->segment, first, Rect{0, 0, 0, 0});
    if (!record) {
      failed = true;
    } else {
      setUpJob();
      if (!readPart(connection, request, record, facts.visual, first->root, 0, 0, 1, 1)) {
        dropUnreadPart(&job, record);
        failed = true;
      }
    }
  }
  if (failed) {
    // Parts already written release their references as they come back; none answers.
    if (job) job->failed = 1;
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  }
  glxdirectFlushAll();
}

void shmGetImage(uint8_t *request, uint32_t length, uint8_t *) {
  // GL drawn inside the proxy is completed before the pixels are read, a turn at a time where
  // the library takes long (the request then stands, on a stack of its own, while others run:
  // it looks nothing up before).
  if (glxdirectAvailable() && !miscCanYield()) return miscRunYielding(shmGetImage, request, length);
  if (!glxdirectFinishEvery()) return;
  uint32_t drawable = wireGet32(request + 4);
  int16_t x = int16_t(wireGet16(request + 8)), y = int16_t(wireGet16(request + 10));
  uint16_t width = wireGet16(request + 12), height = wireGet16(request + 14);
  uint32_t planeMask = wireGet32(request + 16);
  uint8_t format = request[20];
  uint32_t shmseg = wireGet32(request + 24), offset = wireGet32(request + 28);
  // XYBitmap is no answer format: the server refuses it as it refuses 3 and more.
  if (format != 1 && format != 2) return xprotoSendError(kBadValue, format, request, length, "invalid pixmap format");
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length)) return;
  XcoreDrawableFacts facts = xcoreCurrentDrawableFacts();
  // As the server: the segment and the offset, then the area, then the image's size.
  ShmAttachment *attachment = lookupAttachment(shmseg);
  if (!attachment) return xprotoSendExtensionError(kBadShmSeg, shmseg, request, length, nullptr);
  if (attachment->readOnly || attachment->segment->readOnly)
    return xprotoSendError(kBadAccess, 0, request, length, "read only");
  if (!shmImageFits(attachment->segment->size, offset, 0))
    return xprotoSendError(kBadValue, offset, request, length, nullptr);
  if (!mainIsAreaReadable(drawable, x, y, width, height))
    return xprotoSendError(kBadMatch, drawable, request, length, "invalid dimensions");
  uint32_t planes = format == 1 ? planeMask : 0xffffffffu;
  if (!shmImageFits(attachment->segment->size, offset,
                    shmImageBytes(width, height, format, facts.depth, planes)))
    return xprotoSendError(kBadValue, offset, request, length, nullptr);
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client->cachedScreen ? client->cachedScreen : xscreenList;
  if (!screen || !screen->heads) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  // The head that holds the whole area; a pixmap is read from the first head.
  XproxyRequestArea area;
  const void *record = xproxyCurrentRequestArea(&area);
  Head *single = nullptr;
  const WindowRecord *window =
      client->cachedType == kResourceWindow ? static_cast<const WindowRecord *>(client->cachedRecord) : nullptr;
  if (!record || !area.isWindow) {
    single = screen->heads;
  } else {
    Rect wanted{int32_t(int64_t(area.x) + x), int32_t(int64_t(area.y) + y), width, height};
    for (Head *head = screen->heads; head && !single; head = head->next)
      if (rectContains(wanted, head->rect)) single = head;
  }
  if (single && window && !xcoreCopyInPlace(window, single)) single = nullptr;
  Rect wanted{int32_t(int64_t(area.x) + x), int32_t(int64_t(area.y) + y), width, height};
  ShmPieces pieces;
  if (client->cachedType == kResourcePixmap &&
      !xcorePixmapPieces(static_cast<const PixmapRecord *>(client->cachedRecord), screen, wanted, &pieces))
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (!pieces.empty()) return readByParts(request, length, screen, pieces, area, facts, attachment);
  if (!single || !headTakesShm(single) ||
      xcoreImageNeedsPixelConversion(format, facts.depth, facts.visual, single)) {
    if (single) pieces.push_back({wanted, single});
    for (Head *head = screen->heads; !single && head; head = head->next) {
      Rect part{};
      rectIntersect(&part, wanted, head->rect);
      pieces.push_back({part, head});
    }
    return readByParts(request, length, screen, pieces, area, facts, attachment);
  }
  static const XcoreIdField kDrawable[] = {{4, kResourceWindow}, {0, 0}};
  if (!copyForHead(request, length, single, kDrawable, 24)) xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  glxdirectFlushAll();
}

// ShmGetImage's replies: a forwarded one gets the client's sequence and visual; a part's core
// GetImage reply is written into the segment, and the last part of a job answers the client.
void shmGetImageReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  if (!connection) return;
  xcoreFrameReplySequence(reply);
  auto *read = reinterpret_cast<PartRead *>(xproxyTakeReplyCallback(connection, kReplyTagShmGetImage));
  if (!read) {
    if (length >= 12)
      wirePut32(reply + 8, xproxyServerVisualToProxy(wireGet32(reply + 8), connection->display, mainHead()));
    xcoreFrameWriteReply(reply, length, "bbsiiiiiii");
    return;
  }
  ShmGetImageJob *job = read->part->job;
  if (!job->failed) copyPartIntoSegment(*read, reply, length);
  if (--job->pending == 0 && !job->failed) {
    uint8_t answer[32] = {1, uint8_t(job->depth)};
    ClientConnection *client = xproxyCurrentClient;
    wirePut16(answer + 2, client ? client->replySequence : 0);
    wirePut32(answer + 8, job->visual);
    wirePut32(answer + 12, uint32_t(shmImageBytes(job->width, job->height, job->format, job->depth, job->planeMask)));
    xcoreFrameWriteReply(answer, 32, "bbsiii");
  }
  releasePart(read->part);
  free(read);
}

void shmCreatePixmap(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameResolve(wireGet32(request + 8), kXcoreWantDrawable | kWantBuffers, kBadDrawable, request, length))
    return;
  xprotoSendError(kBadImplementation, 0, request, length, "unsupported feature");
}

// ShmCompletion of a real server: the client's sequence and, unless sent by a client, its ids.
void shmCompletion(uint8_t *event) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) return;
  xproxyMapReplySequence(connection, wireGet16(event + 2));
  wirePut16(event + 2, client->replySequence);
  if (!(event[0] & kSentEvent)) {
    wirePut32(event + 4, mainServerToProxyXid(wireGet32(event + 4), connection->display));
    wirePut32(event + 12, mainServerToProxyXid(wireGet32(event + 12), connection->display));
    if (proxyState.ext.shm) {
      event[0] = proxyState.ext.shm->firstEvent;
      event[10] = proxyState.ext.shm->majorOpcode;
    }
  }
  mainSendEventToClient(event, "bbsisbbii", 0);
}

constexpr ExtRequestRow kRows[] = {
    {0, "ShmQueryVersion", 4, 0, "bbs", ExtServed::Local, shmQueryVersion, "bbsissssb", ExtReplyKind::Plain, nullptr},
    {1, "ShmAttach", 16, 0, "bbsii", ExtServed::Local, shmAttach, nullptr, ExtReplyKind::NoReply, nullptr},
    {2, "ShmDetach", 8, 0, "bbsi", ExtServed::Local, shmDetach, nullptr, ExtReplyKind::NoReply, nullptr},
    {3, "ShmPutImage", 40, 0, "bbsiissssssssbbbbii", ExtServed::PerHead, shmPutImage, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {4, "ShmGetImage", 32, 0, "bbsissssibbbbii", ExtServed::Local, shmGetImage, "bbsiiiiiii", ExtReplyKind::Own,
     shmGetImageReply},
    {5, "ShmCreatePixmap", 28, 0, "bbsiissbbbbii", ExtServed::Local, shmCreatePixmap, nullptr, ExtReplyKind::NoReply,
     nullptr},
};

void shmReset() {
  proxyState.ext.shm = nullptr;
  core11GShmMajorOpcode = 0;
}

// ----- The proxy's own segments -----

uint32_t serverSegments;
uint64_t serverBytes;

// Segments of the proxy whose shmid is not yet removed: removed at exit.
std::vector<int> &unremovedSegments() {
  static std::vector<int> ids;
  return ids;
}

void removeAllAtExit(int) {
  for (int id : unremovedSegments()) shmctl(id, IPC_RMID, nullptr);
  unremovedSegments().clear();
}

void trackSegment(int id) {
  unremovedSegments().push_back(id);
  xproxyAddExitHook(removeAllAtExit);
}

void untrackSegment(int id) {
  std::vector<int> &ids = unremovedSegments();
  for (size_t i = 0; i < ids.size(); i++)
    if (ids[i] == id) {
      ids[i] = ids.back();
      ids.pop_back();
      return;
    }
}

struct ServerSegment {
  XShmSegmentInfo *info;
  uint64_t bytes;
  uint32_t id;  // the client-range id it was attached under
};

void releaseServerSegment(uintptr_t argument) {
  auto *segment = reinterpret_cast<ServerSegment *>(argument);
  if (!segment) return;
  untrackSegment(segment->info->shmid);
  xdisplayFreeShmSegment(segment->info);
  resourceFreeServerSideId(segment->id);
  serverSegments--;
  serverBytes -= segment->bytes;
  free(segment);
}

// ----- The image ring: one segment per server connection, reused put after put -----
// Images are copied in one after another and the server reads each at its offset. A region
// is written again only once a GetInputFocus sent after its put has been answered: the
// server has read the put by then. Such a round trip goes out after every eighth of the ring
// and when the ring is full; a full ring grows (a new one takes over, the old one goes once
// its last round trip is answered) up to kRingMaxBytes, after which the put takes the core
// path. The shmid is removed once the server has attached it, so neither a crash of the proxy
// nor one of the server leaves the segment behind.
constexpr uint64_t kRingMinBytes = uint64_t{256} << 10;
constexpr uint64_t kRingMaxBytes = uint64_t{16} << 20;
constexpr uint32_t kRingFences = 32;
constexpr uint64_t kRingAlign = 64;

struct ImageRing {
  DisplayConnection *connection;  // NULL once retired
  XShmSegmentInfo *info;
  uint64_t size;
  uint32_t id;        // the client-range id it is attached under
  uint32_t serverId;  // that id on the server
  // Positions count every byte ever taken (gaps before a wrap included); modulo the size
  // they are offsets.
  uint64_t written;   // where the next image goes
  uint64_t released;  // the server has read everything before this: free again
  uint64_t fenced;    // where the last round trip was sent
  uint64_t fences[kRingFences];  // the positions of the round trips in flight, oldest first
  uint32_t fenceFirst, fenceCount;
  uint8_t removed;    // shmctl(IPC_RMID) done
  uint8_t retired;    // replaced or closed: freed when its last round trip is answered
};

void ringRemoveId(ImageRing *ring) {
  if (ring->removed) return;
  shmctl(ring->info->shmid, IPC_RMID, nullptr);
  untrackSegment(ring->info->shmid);
  ring->removed = 1;
}

void ringFree(ImageRing *ring) {
  ringRemoveId(ring);
  ring->info->shmid = -1;  // removed: the id may already name another segment
  xdisplayFreeShmSegment(ring->info);
  resourceFreeServerSideId(ring->id);
  serverSegments--;
  serverBytes -= ring->size;
  free(ring);
}

// A round trip behind the ring's puts answered (or dropped with the connection).
void ringFenceDone(uintptr_t argument) {
  auto *ring = reinterpret_cast<ImageRing *>(argument);
  ringRemoveId(ring);  // the server attached it before it answered
  if (ring->fenceCount) {
    ring->released = ring->fences[ring->fenceFirst];
    ring->fenceFirst = (ring->fenceFirst + 1) % kRingFences;
    ring->fenceCount--;
  }
  if (ring->retired && !ring->fenceCount) ringFree(ring);
}

bool ringFence(ImageRing *ring) {
  if (ring->fenceCount == kRingFences) return false;
  if (!xproxySendNoOpRequest(ring->connection, xproxyNoOpNothing, reinterpret_cast<uintptr_t>(ring), ringFenceDone))
    return false;
  ring->fences[(ring->fenceFirst + ring->fenceCount) % kRingFences] = ring->written;
  ring->fenceCount++;
  ring->fenced = ring->written;
  return true;
}

// Takes the ring off its connection: detached on the server (after every put sent), freed
// once the round trips in flight are answered.
void ringRetire(ImageRing *ring) {
  DisplayConnection *connection = ring->connection;
  connection->imageRing = nullptr;
  ring->retired = 1;
  if (connection->fd >= 0 && proxyState.ext.shm) {
    uint8_t detach[8] = {proxyState.ext.shm->majorOpcode, 2};
    wirePut16(detach + 2, 2);
    wirePut32(detach + 4, ring->serverId);
    if (xproxySendRequest(detach, 8, connection)) ringFence(ring);
  }
  ring->connection = nullptr;
  if (!ring->fenceCount) ringFree(ring);
}

// The connection closed: its callbacks have been discarded, so only this reference is left.
void ringConnectionClosed(DisplayConnection *connection) {
  auto *ring = static_cast<ImageRing *>(connection->imageRing);
  connection->imageRing = nullptr;
  connection->imageRingClose = nullptr;
  if (!ring) return;
  ring->connection = nullptr;
  ring->retired = 1;
  if (!ring->fenceCount) ringFree(ring);
}

// A new ring of `size` bytes attached (read-only) on the connection; NULL when the bounds,
// the client's id range or the system refuse.
ImageRing *ringCreate(ClientConnection *client, DisplayConnection *connection, Head *head, uint64_t size) {
  if (serverSegments >= kShmServerSegmentsMax || size > kShmServerBytesMax - serverBytes) return nullptr;
  uint32_t id = resourceNewServerSideId(client);
  if (!id) return nullptr;
  auto *ring = static_cast<ImageRing *>(calloc(1, sizeof(ImageRing)));
  XShmSegmentInfo *info = ring ? xdisplayShmAlloc(size, 0) : nullptr;
  if (!info) {
    free(ring);
    resourceFreeServerSideId(id);
    return nullptr;
  }
  trackSegment(info->shmid);
  ring->connection = connection;
  ring->info = info;
  ring->size = size;
  ring->id = id;
  ring->serverId = resourceServerId(id, kResourceShmSegment, head);
  serverSegments++;
  serverBytes += size;
  uint8_t attach[16] = {proxyState.ext.shm->majorOpcode, 1};
  wirePut16(attach + 2, 4);
  wirePut32(attach + 4, ring->serverId);
  wirePut32(attach + 8, uint32_t(info->shmid));
  attach[12] = 1;
  if (!xproxySendRequest(attach, 16, connection)) {
    ringFree(ring);
    return nullptr;
  }
  connection->imageRing = ring;
  connection->imageRingClose = ringConnectionClosed;
  ringFence(ring);  // its answer lets the shmid go
  return ring;
}

// Where `bytes` can be written in the ring (its offset), or -1 while the server may still
// read that space.
int64_t ringTake(ImageRing *ring, uint64_t bytes) {
  uint64_t taken = (bytes + kRingAlign - 1) & ~(kRingAlign - 1);
  uint64_t start = ring->written;
  uint64_t offset = start % ring->size;
  if (offset + taken > ring->size) start += ring->size - offset;  // wraps: the tail stays unused
  if (start + taken - ring->released > ring->size) return -1;
  ring->written = start + taken;
  return int64_t(start % ring->size);
}

uint64_t ringSizeFor(uint64_t bytes, uint64_t atLeast) {
  uint64_t size = kRingMinBytes;
  while (size < kRingMaxBytes && (size < 4 * bytes || size < atLeast)) size *= 2;
  return size;
}

// The connection's ring with room for `bytes` and where they go; NULL: the core path.
ImageRing *ringFor(ClientConnection *client, DisplayConnection *connection, Head *head, uint64_t bytes,
                   int64_t *offset) {
  auto *ring = static_cast<ImageRing *>(connection->imageRing);
  if (ring) {
    *offset = ringTake(ring, bytes);
    if (*offset >= 0) return ring;
    if (ring->written != ring->fenced) ringFence(ring);
    // Full, or too small for the image: a larger one takes over.
    if (ring->size >= kRingMaxBytes) return nullptr;
    uint64_t size = ringSizeFor(bytes, ring->size * 2);
    ringRetire(ring);
    ring = ringCreate(client, connection, head, size);
  } else {
    ring = ringCreate(client, connection, head, ringSizeFor(bytes, 0));
  }
  if (!ring) return nullptr;
  *offset = ringTake(ring, bytes);
  return *offset >= 0 ? ring : nullptr;
}

// The client's peer credentials through the host access code (which reads the connection
// from the client's access record).
int peerCredentials(ClientConnection *client, uid_t *uid, gid_t *gid) {
  if (!client) return -1;
  client->access.transport = client->transport;
  gid_t *groups = nullptr;
  int count = 0;
  int result = accessPeerCredentials(&client->access, uid, gid, &groups, &count);
  free(groups);
  return result;
}

}  // namespace

ShmPeerCredentials shmPeerCredentials = peerCredentials;

const ExtRequestTable shmTable{kRows, sizeof kRows / sizeof kRows[0]};

uint64_t shmPutImageMinSize = 1;

bool shmAccessAllowed(bool haveCredentials, uid_t uid, gid_t gid, const ShmPermission &permission, bool readOnly) {
  if (!haveCredentials) return false;
  if (uid == 0) return true;
  uint32_t shift;
  if (uid == permission.uid || uid == permission.cuid)
    shift = 6;
  else if (gid == permission.gid || gid == permission.cgid)
    shift = 3;
  else
    shift = 0;
  uint32_t bits = (permission.mode >> shift) & 7u;
  uint32_t needed = readOnly ? 4u : 6u;
  return (bits & needed) == needed;
}

uint64_t shmImageBytes(uint32_t width, uint32_t height, uint32_t format, uint32_t depth, uint32_t planeMask) {
  ImageFormat layout;
  if (format > 2 || !xproxyClientImageFormat(&layout, format, format == 0 ? 1 : depth)) return 0;
  uint32_t bitsPerPixel = format == 2 ? layout.bitsPerPixel : 1;
  uint64_t bytes = xprotoImageBytes(width, height, 2, depth, 0xffffffffu, bitsPerPixel, layout.scanlinePad);
  if (format == 1) bytes *= uint32_t(__builtin_popcount(planeMask & depthMask(depth)));
  return bytes;
}

bool shmImageFits(uint64_t size, uint32_t offset, uint64_t bytes) {
  return offset % 4 == 0 && offset <= size && bytes <= size - offset;
}

uint32_t shmServerSegmentsInFlight() { return serverSegments; }
uint64_t shmServerBytesInFlight() { return serverBytes; }

void shmReleaseSegment(ShmSegment *segment) {
  if (!segment) return;
  if (segment->holders > 0) {
    segment->holders--;
    return;
  }
  if (shmdt(segment->address) != 0) logProblem(strTempPrintf("shmdt() failed: %s", strerror(errno)), kSource, __LINE__);
  unlinkSegment(segment);
  free(segment);
}

const char *shmSetup(ExtensionRecord *record) {
  if (!record->version) record->version = 64 + 1;
  if (const char *error = extRegister(record, "MIT-SHM", 1, 1)) return error;
  miscWaitsOutside(record->majorOpcode, 4);  // ShmGetImage completes the GL drawn first
  if (const char *error = extAddEventRow(record, shmCompletion, "bbsisbbii")) return error;
  if (const char *error = extAddErrorRow(record, extPrintError, "BadShmSeg")) return error;
  extWriteRows(record, shmTable);
  if (const char *value = getenv("shmPutImageMinSize")) {
    char *end = nullptr;
    unsigned long long n = strtoull(value, &end, 10);
    if (end && end != value && !*end) shmPutImageMinSize = n;
  }
  resourceTypeRoutines[kResourceShmSegment].free = freeAttachment;
  record->reset = shmReset;
  proxyState.ext.shm = record;
  core11GShmMajorOpcode = record->majorOpcode;
  return nullptr;
}

int shmPutImageOnServer(ClientConnection *client, Head *head, uint32_t drawable, uint32_t gc, int16_t x, int16_t y,
                        uint32_t width, uint32_t height, uint32_t depth, uint32_t format, const uint8_t *data,
                        uint64_t dataLength) {
  if (!client || !client->displayCount || !head || !proxyState.ext.shm || !dataLength) return 0;
  DisplayConnection *connection = client->displays[0];
  // Written on the main connection: only a head of the first display can read the segment there.
  if (!connection || !connection->setupDone || head->serverDisplay != connection->display) return 0;
  if (width > UINT16_MAX || height > UINT16_MAX) return 0;
  uint8_t major = proxyState.ext.shm->majorOpcode;
  uint8_t put[40] = {major, 3};
  wirePut16(put + 2, 10);
  wirePut32(put + 4, xproxyServerDrawable(drawable, head));
  wirePut32(put + 8, resourceServerId(gc, kResourceGC, head));
  wirePut16(put + 12, uint16_t(width));
  wirePut16(put + 14, uint16_t(height));
  wirePut16(put + 20, uint16_t(width));
  wirePut16(put + 22, uint16_t(height));
  wirePut16(put + 24, uint16_t(x));
  wirePut16(put + 26, uint16_t(y));
  put[28] = uint8_t(depth);
  put[29] = uint8_t(format);
  if (dataLength <= kRingMaxBytes / 4) {
    int64_t offset = -1;
    ImageRing *ring = ringFor(client, connection, head, dataLength, &offset);
    if (!ring) return 0;
    memcpy(ring->info->shmaddr + offset, data, size_t(dataLength));
    wirePut32(put + 32, ring->serverId);
    wirePut32(put + 36, uint32_t(offset));
    if (!xproxySendRequest(put, 40, connection)) return 0;
    if (ring->written - ring->fenced >= ring->size / 8) ringFence(ring);
    return 1;
  }
  // Larger images get a segment of their own.
  // Segments outlive the request until the server answered: bounded process-wide.
  if (serverSegments >= kShmServerSegmentsMax || dataLength > kShmServerBytesMax - serverBytes) return 0;
  uint32_t id = resourceNewServerSideId(client);
  if (!id) return 0;
  auto *segment = static_cast<ServerSegment *>(calloc(1, sizeof(ServerSegment)));
  XShmSegmentInfo *info = segment ? xdisplayShmAlloc(dataLength, 0) : nullptr;
  if (!info) {
    free(segment);
    resourceFreeServerSideId(id);
    return 0;
  }
  trackSegment(info->shmid);
  memcpy(info->shmaddr, data, size_t(dataLength));
  segment->info = info;
  segment->bytes = dataLength;
  segment->id = id;
  serverSegments++;
  serverBytes += dataLength;
  uint32_t serverId = resourceServerId(id, kResourceShmSegment, head);
  uint8_t attach[16] = {major, 1};
  wirePut16(attach + 2, 4);
  wirePut32(attach + 4, serverId);
  wirePut32(attach + 8, uint32_t(info->shmid));
  attach[12] = 1;
  wirePut32(put + 32, serverId);
  uint8_t detach[8] = {major, 2};
  wirePut16(detach + 2, 2);
  wirePut32(detach + 4, serverId);
  bool written = xproxySendRequest(attach, 16, connection) && xproxySendRequest(put, 40, connection) &&
                 xproxySendRequest(detach, 8, connection);
  // The segment goes once the server has answered the round trip behind the put; without
  // the round trip (no memory) it goes at once.
  if (!xproxySendNoOpRequest(connection, xproxyNoOpNothing, reinterpret_cast<uintptr_t>(segment),
                             releaseServerSegment))
    releaseServerSegment(reinterpret_cast<uintptr_t>(segment));
  return written ? 1 : 0;
}
