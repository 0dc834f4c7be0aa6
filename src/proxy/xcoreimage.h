// The records and helpers of the image requests (xcoreimage.cpp).
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "support/rect.h"

struct DisplayConnection;
struct Head;
struct VisualRecord;

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
