// The records and helpers of the image requests (xcoreimage.cpp).
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "support/rect.h"

struct ClientConnection;
struct DisplayConnection;
struct Head;
struct MetaScreen;
struct PixmapRecord;
struct VisualRecord;
struct WindowRecord;

// One GetImage answered from several pieces: the reply image in the clients' layout (for
// XYPixmap only the planes of the mask among the depth's bits), zeroed and one byte longer than
// the image, filled piece by piece. Freed when the last piece drops its reference.
struct XcoreSharedImage {
  uint8_t *data;
  uint64_t dataLength;   // the image's bytes (the buffer holds one more)
  XImage image;          // over data (hasImage 0: an image without pixels or planes)
  uint8_t hasImage;
  uint8_t failed;        // the request was answered with an error: completion sends nothing
  uint32_t format, depth, planeMask, width, height;
  uint32_t imageDepth;   // depth of `image`: the planes kept for XYPixmap
  uint32_t piecesExpected;
  uint32_t refCount;
  uint32_t visual;                // the reply's visual (the drawable's meta visual id, 0 for a pixmap)
  const VisualRecord *metaVisual; // the drawable's visual: pixels converted back to it
};

// The argument of a tag-73 reply callback: the shared image (NULL: the reply is passed on), the
// head, the piece's place inside the requested rectangle, and what the head was asked for.
struct XcoreImagePiece {
  XcoreSharedImage *shared;
  Head *head;
  int32_t x, y;
  uint32_t width, height;
  uint8_t requestedFormat;  // 0: the shared image's format
  uint32_t requestedMask;   // the plane mask sent to the head
};

// The visual and depth of the drawable the current request resolved to (a window, a head's
// root or a pixmap; none for anything else).
struct XcoreDrawableFacts {
  const VisualRecord *visual;
  uint32_t depth;
};
XcoreDrawableFacts xcoreCurrentDrawableFacts();
// 1 when the window's copy on the head lies where the window does, so that the client's
// coordinates read it there (a copy placed apart does not).
int xcoreCopyInPlace(const WindowRecord *window, const Head *head);
// The value's bits at the mask's set bits, packed from the lowest (the planes an XYPixmap
// reply carries, most significant plane first, as one pixel of that many bits).
uint32_t xcorePackBits(uint32_t value, uint32_t mask);

// The pieces (meta coordinates, the head read) of a GetImage of a pixmap holding parts copied
// from windows of other heads: each part where it lies, the latest first, the rest from the
// first head. *pieces is left empty when everything comes from the first head; false when out
// of memory.
bool xcorePixmapPieces(const PixmapRecord *pixmap, const MetaScreen *screen, const Rect &wanted,
                       std::vector<std::pair<Rect, Head *>> *pieces);

// 1 when the depth is 2 or more and the head converts the visual's pixels.
int xcoreImageNeedsPixelConversion(uint32_t format, uint32_t depth, const VisualRecord *visual, const Head *head);
// Puts an image on one head (MIT-SHM first where usable and large enough, else PutImage
// requests in the connection with the drawable and GC translated for the head); 1 when done.
int xcorePutImageOnScreen(DisplayConnection *connection, Head *head, uint32_t drawable, uint32_t gc, XImage *image,
                          int16_t x, int16_t y);
// A piece record of the rectangle `piece` (relative to the requested one) on the head; the
// shared image of width x height is created when none is given, else referenced once more, and
// one more piece is expected. NULL when out of memory or the image is too large (nothing taken).
XcoreImagePiece *xcoreConvertImage(XcoreSharedImage *shared, uint32_t depth, uint32_t format, uint32_t planeMask,
                                   uint32_t width, uint32_t height, const Rect &piece, Head *head);
// Drops the piece's reference on its shared image (freed at zero) and frees the piece; NULL is fine.
void xcoreFreeImageRef(XcoreImagePiece *piece);

// ===== shared-memory puts =====
// Defined with the MIT-SHM extension (xext/shm.cpp). Images of at least this many bytes go
// through MIT-SHM where the real server allows it (the environment's "shmPutImageMinSize" sets
// it at set-up).
extern uint64_t shmPutImageMinSize;
// Puts an image through a shared segment on the head's real server (the connection's image
// ring, reused put after put; a segment of its own for an image above a quarter of the
// ring's largest size): 1 when done, 0 when it declines (the caller then sends the image in
// the request).
int shmPutImageOnServer(ClientConnection *client, Head *head, uint32_t drawable, uint32_t gc, int16_t x, int16_t y,
                        uint32_t width, uint32_t height, uint32_t depth, uint32_t format, const uint8_t *data,
                        uint64_t dataLength);
// ===== end of shared-memory puts =====
