// Frame converters: the process-wide table of converter rows and the image converters.
//
// Each side of a stream passes its frames through one row, chosen when the stream is opened
// from the content type the producer gives and the one the sink expects. Rows are searched in
// table order: the identity row, then the image rows from "image/Xlib" to "image/rgb24",
// "image/yuv420p" and "image/yuv4mpeg2".
//
// Image frame contents:
// - "image/Xlib": an XImage (MultimediaFrame::length: the bytes at the image's data pointer).
//   Its colour masks say where the channels are; XGetImage leaves them 0, so producers copy
//   them from the visual. An image whose layout reaches beyond length is refused unread.
// - "image/rgb24": width x height pixels row after row, 3 bytes each: R, G, B.
// - "image/yuv420p": the Y plane (width x height bytes), then the U plane and the V plane of
//   ceil(width / 2) x ceil(height / 2) bytes each; each chroma byte is the average of the 2 x 2
//   block of full-size values it covers, over the pixels present at an odd right or bottom edge.
// - "image/yuv4mpeg2": for the stream's first frame the header
//   "YUV4MPEG2 W%u H%u F24:1 Ip A1:1\n" (counted in the frame's headerLength, so a repeated
//   frame carries it before its first copy only), then "FRAME\n" and the yuv420p planes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "conversions/multimedia.h"

using FrameConverterInit = void *(*)(MultimediaStream *stream);
// Consumes one reference of the frame; returns the frame to write, or NULL after recording a
// failure on the frame's stream.
using FrameConverterConvert = MultimediaFrame *(*)(void *state, MultimediaFrame *frame);
using FrameConverterFree = void (*)(void *state);

struct FrameConverter {
  const char *from;  // content type of the frames given
  const char *to;    // content type of the frames produced
  FrameConverterInit init;  // may record a failure on the stream
  FrameConverterConvert convert;
  FrameConverterFree free;
  // Started streams using the row: init runs as it leaves 0, free as it returns to 0.
  uint32_t users;
};

extern FrameConverter conversionTable[];
extern const size_t conversionTableSize;

// The first row converting from to to (exact comparison), or NULL.
FrameConverter *conversionFind(const char *from, const char *to);

// The identity row's converter: returns its frame.
MultimediaFrame *conversionIdentity(void *state, MultimediaFrame *frame);
MultimediaFrame *conversionXlibToRgb24(void *state, MultimediaFrame *frame);
MultimediaFrame *conversionXlibToYuv420p(void *state, MultimediaFrame *frame);
MultimediaFrame *conversionXlibToYuv4mpeg2(void *state, MultimediaFrame *frame);
// Converts width x height packed RGB pixels into yuv420p planes at output (see above) through
// the mapped table; NULL or an error text.
const char *conversionRgb24ToYuv420p(const uint8_t *rgb, int width, int height, uint8_t *output);
// Bytes of a yuv420p image of that size, in 64 bits.
uint64_t conversionYuv420pSize(uint32_t width, uint32_t height);
// The yuv rows' init and free: one more or one less user of the lookup table. A failure of the
// init is recorded on the stream; the state is always 0.
void *conversionYuvInit(MultimediaStream *stream);
void conversionYuvFree(void *state);

// ===== converter table =====
// The stream engine chooses and counts rows through conversionSelect, conversionStart,
// conversionStop and conversionConvertForWrite, declared in conversions/multimedia.h so that the
// engine does not include this header.
