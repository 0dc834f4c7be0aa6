// Client images for GL inside the proxy: every image a render command carries is unpacked here
// by the pixel-store rules of its header into a tight image (rows of width pixels without
// padding, bitmap rows of whole bytes, most significant bit first, bytes in this machine's
// order), which the library then reads with its default unpack state (alignment 1, nothing
// skipped, nothing swapped). The library never sees a client's row length, skips, alignment or
// swap flags, so no layout it misreads reaches it. The one table of format/type pairs the library
// cannot serve lives here too, for the drawing and the reading commands alike.
#pragma once

#include <cstdint>

// The pixel-store fields of a command's header (image height and skipped images 0 for the
// commands of fewer than three dimensions). The caller has refused negative values and an
// alignment other than 1, 2, 4, 8.
struct GlxUnpackState {
  uint8_t swapBytes, lsbFirst;
  int32_t rowLength, imageHeight, skipRows, skipImages, skipPixels, alignment;
};

// Bytes of the tight image of width x height x depth pixels of that format and type; -1 when the
// pair has no size (or a dimension is negative), 0 for an empty image.
int64_t glxdirectTightBytes(uint32_t format, uint32_t type, int32_t width, int32_t height, int32_t depth);

// Bytes of the client's image the library reads under the state, as GL steps through it: the
// skipped images and rows whole, then every row of the image but the last whole (its row length
// when set, else the width, raised to the alignment), and the last row from its first byte to
// its last pixel (skipped pixels within the row counted); 0 for an empty image, -1 when the pair
// has no size or a dimension is negative. 64 bits, saturated.
int64_t glxdirectUnpackReach(const GlxUnpackState &state, uint32_t format, uint32_t type, int32_t width,
                             int32_t height, int32_t depth);

// Writes the image that starts at source (sourceBytes present there) and is laid out by state
// into out, tight (glxdirectTightBytes bytes): skips, row length, image height and alignment
// followed, 2- and 4-byte elements (packed pixels whole) swapped when state.swapBytes, bitmap bits
// taken in the state's bit order. NULL, or what stopped it (a layout reaching beyond sourceBytes,
// a pair without a size); out is then not fully written.
const char *glxdirectUnpackImage(const GlxUnpackState &state, uint32_t format, uint32_t type, int32_t width,
                                 int32_t height, int32_t depth, const uint8_t *source, uint64_t sourceBytes,
                                 uint8_t *out);

// Whether the library cannot serve pixels of that format and type (it never returns, or it
// misreads), for a command that reads pixels back (reading) or one that hands it a client image;
// *glError (when not NULL) is then the GL error a server answers such a command with.
bool glxdirectPixelsRefused(uint32_t format, uint32_t type, bool reading, uint32_t *glError);
// The GL error the library gives a command whose format/type pair has no size here: an unknown
// format or type, or GL_BITMAP with a colour format, GL_INVALID_ENUM; two known ones that do not
// go together, GL_INVALID_OPERATION.
uint32_t glxdirectPixelsError(uint32_t format, uint32_t type);
