// The MIT-SHM extension: client segments attached by the proxy, images put and read through
// them (forwarded to a real server with MIT-SHM where a head can take the request unchanged,
// else as core image requests per head), and the proxy's own segments for core images.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "proxy/xcoreimage.h"
#include "proxy/xproxy.h"

// ===== set-up =====
// One System V segment the proxy attached for clients: shared by every attach of its shmid.
struct ShmSegment {
  ShmSegment *next;
  ShmSegment *previous;  // the list head's previous is the tail
  uint32_t segmentId;    // the client's shmseg of the attach that made the record
  uint32_t systemId;     // the shmid
  uint16_t holders;      // references beyond the first; an attach that would wrap it is refused
  uint8_t readOnly;      // the mapping is read-only
  uint8_t *address;      // the mapping in the proxy
  uint64_t size;         // shm_segsz at attach: no image reaches past it
};

// The value of a client's segment id (resource type 17): one per attach, so that a read-only
// attach stays read-only even where another client mapped the segment read-write.
struct ShmAttachment {
  ShmSegment *segment;
  uint8_t readOnly;
};

// One ShmGetImage answered from core GetImage requests (one part per head read).
struct ShmGetImageJob {
  ShmSegment *segment;
  uint32_t offset;
  uint32_t width, height;
  uint32_t depth;
  uint32_t format;
  uint32_t planeMask;
  uint32_t pending;   // parts whose reply has not come
  uint32_t sharers;   // parts beyond the first holding the job
  uint32_t visual;    // the reply's visual (the client's id)
  const VisualRecord *metaVisual;
  uint8_t failed;     // answered with an error: no reply
};

// One core GetImage of a job (the argument of a tag-4 reply callback).
struct ShmGetImagePart {
  ShmGetImageJob *job;
  Head *head;
  uint32_t width, height;
  int32_t x, y;  // where the area lies inside the client's image
};

// Registers MIT-SHM (one event, one error), writes its rows, the completion and error handlers
// and the free routine of type 17. NULL, or an error text after which the record is cleared.
const char *shmSetup(ExtensionRecord *record);
// Its request rows (for tests and diagnostics).
struct ExtRequestTable;
extern const ExtRequestTable shmTable;
// Drops one reference; the last one detaches the mapping and frees the record.
void shmReleaseSegment(ShmSegment *segment);

// The permission rule of an attach, as an X server applies it to a client's peer credentials:
// uid 0 may; uid or creator uid equal: owner bits; gid or creator gid: group bits; else the
// other bits. Read always, write unless read-only. No credentials: refused.
struct ShmPermission {
  uid_t uid, cuid;
  gid_t gid, cgid;
  uint32_t mode;
};
// The client's peer credentials: 0 with uid and gid, else -1 (no local peer). Tests replace it.
using ShmPeerCredentials = int (*)(ClientConnection *client, uid_t *uid, gid_t *gid);
extern ShmPeerCredentials shmPeerCredentials;
bool shmAccessAllowed(bool haveCredentials, uid_t uid, gid_t gid, const ShmPermission &permission, bool readOnly);
// The bytes an image of the request takes in a segment (ZPixmap rows at the depth's bits per
// pixel and pad; XY rows of one bit, times the planes: the depth for XYPixmap, the mask's
// planes within the depth when mask is given). 0 when the depth has no client layout.
uint64_t shmImageBytes(uint32_t width, uint32_t height, uint32_t format, uint32_t depth, uint32_t planeMask);
// Whether an image of `bytes` at `offset` lies in a segment of `size` bytes (offset a multiple
// of 4, the image's end within the size).
bool shmImageFits(uint64_t size, uint32_t offset, uint64_t bytes);

// The proxy's own segments (shmPutImageOnServer: the connections' image rings and the single
// large images in flight): at most this many and bytes.
constexpr uint32_t kShmServerSegmentsMax = 256;
constexpr uint64_t kShmServerBytesMax = uint64_t{256} << 20;
uint32_t shmServerSegmentsInFlight();
uint64_t shmServerBytesInFlight();
// ===== end of set-up =====

// ===== core image path =====
// shmPutImageMinSize and shmPutImageOnServer, the proxy's own shared-memory path for core
// images, are declared with the image requests that use them (proxy/xcoreimage.h).
// ===== end of core image path =====
