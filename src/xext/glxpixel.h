// The GLX single operations that return pixels, filter tables, histograms and render-mode
// buffers: the sizes of pixel data by format and type, and the replies built for a head that
// renders GL inside the proxy (a direct head). A forwarded head needs nothing of this: its real
// server packs the data (for a client of the other byte order with the swap-bytes flag turned,
// so that the data pass to the client as they come) and the single-operation reply handler
// passes them on.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

struct GlxLibraryInstance;
struct GlxDirectReply;

// ===== pixel formats and layouts =====
// Components of one pixel of the GL format; 0 for a format this code does not know.
uint32_t glxpixelComponents(uint32_t format);
// Bytes of the GL type's unit (the size in which a client of the other byte order needs the
// data swapped: 2 for UNSIGNED_SHORT_5_6_5, 4 for FLOAT_32_UNSIGNED_INT_24_8_REV); GL_BITMAP
// and the byte types 1; 0 for a type this code does not know.
uint32_t glxpixelItemSize(uint32_t type);
// Bytes of a width x height x depth image of the format and type, each row aligned to 4 bytes;
// 0 for an unknown format or type or a dimension below 1. Saturates at 2^40 (far beyond any
// reply) instead of wrapping.
uint64_t glxpixelImageSize(uint32_t format, uint32_t type, int64_t width, int64_t height, int64_t depth);
// The layout of a direct reply to the minor whose data are items of itemSize bytes: the header
// fields the minor has, and for an item size of 2, 4 or 8 every item from byte 32 swapped.
WireLayout glxpixelReplyLayout(uint8_t minor, uint32_t itemSize);
// ===== end of pixel formats and layouts =====

// ===== direct replies =====
// Each answers the current client's request (in this machine's order; its opcodes name the
// reply) from what the direct operation produced. A reply that cannot get its memory, and data
// that the operation could not produce although their size is not 0, answer BadAlloc with the
// reply's byte size.

// ReadPixels: return value 0, count at 12, count items of itemSize bytes swapped in that size
// for a client of the other byte order. No data although the request's rectangle, format and
// type have pixels (or a reply refused for the budget): BadAlloc; no pixels, or data with count
// 0 (the operation was refused with a GL error): count 0. Data packed into a reply (reply given
// and made) go out in it as they lie; other data are copied into a reply of their own.
void glxpixelReplyReadPixels(const uint8_t *request, uint32_t length, const uint8_t *data, uint32_t count,
                             uint32_t itemSize, GlxDirectReply *reply = nullptr);
// GetPolygonStipple: the 128 bytes, count 128 at 12.
void glxpixelReplyStipple(const uint8_t *request, uint32_t length, const uint8_t *data, uint32_t count);

// An image a direct operation produced.
struct GlxPixelImage {
  const uint8_t *data;  // NULL: none
  uint64_t size;        // its bytes (also when data is NULL)
  int32_t width, height, depth;
  uint32_t type;        // the GL type: its unit swaps the data for a client of the other order
};
// GetTexImage (width, height, depth at 16, 20, 24), GetColorTable and GetHistogram (width at
// 16), GetConvolutionFilter and GetSeparableFilter (width and height at 16 and 20; the row and
// column images one after the other) and GetMinmax (no fields): the image after the header,
// padded to 4 bytes. An image packed into a reply (reply given and made) goes out in it; a
// reply refused for the budget answers BadAlloc.
void glxpixelReplyImage(const uint8_t *request, uint32_t length, const GlxPixelImage &image,
                        GlxDirectReply *reply = nullptr);
// GetMinmax: the minimum and the maximum, two pixels of the request's format and type, from the
// area the operation filled (NULL: none).
void glxpixelReplyMinmax(const uint8_t *request, uint32_t length, const uint8_t *area);
// The parameter queries: count values of 4 bytes (NULL with a count: BadAlloc); GetColorTable-
// Parameter's one value (the 32 bits of the integer or float) at bytes 8 and 16.
void glxpixelReplyParameters(const uint8_t *request, uint32_t length, const uint8_t *values, uint32_t count);
void glxpixelReplyParameter(const uint8_t *request, uint32_t length, uint32_t bits);

// The 32-bit words of the buffer that the mode left produced: none without a buffer; the whole
// buffer when result is negative (it overflowed); for GL_SELECT the hit records (name count,
// two depths, the names) of `result` hits as far as they lie inside the buffer; for
// GL_FEEDBACK result words, at most the buffer; 0 for any other mode.
uint32_t glxpixelRenderModeWords(int32_t result, uint32_t leftMode, const uint32_t *buffer, uint32_t size);
// The RenderMode reply: result at 8, n at 12 (above), newMode at 16, the n words from 32. A
// block the caller frees; NULL when none can be had (*replySize then still says its size).
uint8_t *glxpixelBuildRenderMode(int32_t result, uint32_t leftMode, uint32_t newMode, const uint32_t *buffer,
                                 uint32_t size, uint64_t *replySize);
// ===== end of direct replies =====

// ===== service =====
// Runs the pixel operation of the request on a direct head (its instance and tag slot); the
// reply head answers. RenderMode's answer is held until glxpixelRenderModeServed.
void glxpixelDirect(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *request, uint32_t length,
                    bool replyHead);
// Every head has been served a RenderMode: the direct reply head's answer goes out, and the tag's
// context records the new mode (not when that answer was BadAlloc).
void glxpixelRenderModeServed(const uint8_t *request, uint32_t length);
// ===== end of service =====
