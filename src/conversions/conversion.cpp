// Frame converters.
#include "conversions/conversion.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>

#include "conversions/rgb24toyuv.h"
#include "support/datapack.h"
#include "support/strtemp.h"
#include "xclient/ximage.h"

namespace {

void *initNothing(MultimediaStream *) { return nullptr; }
void freeNothing(void *) {}

const char *descriptionOf(const MultimediaFrame *frame) {
  return frame->stream ? frame->stream->description : "multimedia stream";
}

// The frame's image when its header describes pixels that lie inside the bytes the producer
// gave; otherwise the failure is recorded and NULL returned. Nothing of the pixels is read.
XImage *imageOfFrame(MultimediaFrame *frame) {
  XImage *image = static_cast<XImage *>(frame->data);
  bool valid = image && ximageIsPlausible(image) && image->width > 0 && image->height > 0 && image->data &&
               image->f.get_pixel && image->xoffset >= 0 && image->bits_per_pixel >= 1 &&
               image->bits_per_pixel <= 32 && image->depth >= 1 && image->depth <= 32 && image->bytes_per_line > 0;
  if (valid) {
    uint64_t bitsPerPixel = image->format == ZPixmap ? static_cast<uint64_t>(image->bits_per_pixel) : 1;
    uint64_t lineBytes = ((static_cast<uint64_t>(image->xoffset) + static_cast<uint64_t>(image->width)) *
                              bitsPerPixel + 7) / 8;
    uint64_t planes = image->format == XYPixmap ? static_cast<uint64_t>(image->depth) : 1;
    uint64_t needed = static_cast<uint64_t>(image->bytes_per_line) * static_cast<uint64_t>(image->height) * planes;
    valid = static_cast<uint64_t>(image->bytes_per_line) >= lineBytes && needed <= frame->length;
  }
  if (valid) return image;
  multimediaSetError(frame->stream,
                     strTempPrintf("Invalid image in frame of %s (%dx%d, %u bytes)", descriptionOf(frame),
                                   image ? image->width : 0, image ? image->height : 0, frame->length));
  return nullptr;
}

// The image frame as a new rgb24 frame, with its size; the image frame is released. NULL after
// recording a failure.
MultimediaFrame *toRgb24(MultimediaFrame *frame, uint32_t *width, uint32_t *height) {
  XImage *image = imageOfFrame(frame);
  MultimediaFrame *rgb = nullptr;
  if (image) {
    *width = static_cast<uint32_t>(image->width), *height = static_cast<uint32_t>(image->height);
    rgb = multimediaNewFrameLike(frame, uint64_t{*width} * *height * 3);
    if (rgb) ximageToRgb24(image, static_cast<uint8_t *>(rgb->data), 0, 0, image->width);
  }
  multimediaReleaseFrame(frame);
  return rgb;
}

// The yuv420p planes of an rgb24 frame into a new frame, behind prefix bytes left to the
// caller; the rgb24 frame is released. NULL after recording a failure.
MultimediaFrame *toYuv420p(MultimediaFrame *rgb, uint32_t width, uint32_t height, uint64_t prefix) {
  MultimediaFrame *yuv = multimediaNewFrameLike(rgb, prefix + conversionYuv420pSize(width, height));
  if (yuv) {
    const char *failure = conversionRgb24ToYuv420p(static_cast<const uint8_t *>(rgb->data), static_cast<int>(width),
                                                   static_cast<int>(height), static_cast<uint8_t *>(yuv->data) + prefix);
    if (failure) {
      multimediaSetError(rgb->stream, failure);
      multimediaReleaseFrame(yuv);
      yuv = nullptr;
    }
  }
  multimediaReleaseFrame(rgb);
  return yuv;
}

}  // namespace

FrameConverter conversionTable[] = {
    {"", "", initNothing, conversionIdentity, freeNothing, 0},
    {"image/Xlib", "image/rgb24", initNothing, conversionXlibToRgb24, freeNothing, 0},
    {"image/Xlib", "image/yuv420p", conversionYuvInit, conversionXlibToYuv420p, conversionYuvFree, 0},
    {"image/Xlib", "image/yuv4mpeg2", conversionYuvInit, conversionXlibToYuv4mpeg2, conversionYuvFree, 0},
};
const size_t conversionTableSize = sizeof conversionTable / sizeof conversionTable[0];

FrameConverter *conversionFind(const char *from, const char *to) {
  if (!from || !to) return nullptr;
  for (FrameConverter &row : conversionTable)
    if (strcmp(row.from, from) == 0 && strcmp(row.to, to) == 0) return &row;
  return nullptr;
}

MultimediaFrame *conversionIdentity(void *, MultimediaFrame *frame) { return frame; }

MultimediaFrame *conversionXlibToRgb24(void *, MultimediaFrame *frame) {
  uint32_t width, height;
  return toRgb24(frame, &width, &height);
}

MultimediaFrame *conversionXlibToYuv420p(void *, MultimediaFrame *frame) {
  uint32_t width, height;
  MultimediaFrame *rgb = toRgb24(frame, &width, &height);
  return rgb ? toYuv420p(rgb, width, height, 0) : nullptr;
}

MultimediaFrame *conversionXlibToYuv4mpeg2(void *, MultimediaFrame *frame) {
  uint32_t width, height;
  MultimediaFrame *rgb = toRgb24(frame, &width, &height);
  if (!rgb) return nullptr;
  // The stream header goes with the stream's first frame only, whichever worker converts it.
  char header[200] = "";
  int headerLength = rgb->firstOfStream ? snprintf(header, sizeof header, "YUV4MPEG2 W%u H%u F24:1 Ip A1:1\n", width, height) : 0;
  static constexpr char kFrameMark[] = "FRAME\n";
  uint64_t prefix = static_cast<uint64_t>(headerLength) + (sizeof kFrameMark - 1);
  MultimediaFrame *yuv = toYuv420p(rgb, width, height, prefix);
  if (!yuv) return nullptr;
  memcpy(yuv->data, header, static_cast<size_t>(headerLength));
  memcpy(static_cast<uint8_t *>(yuv->data) + headerLength, kFrameMark, sizeof kFrameMark - 1);
  yuv->headerLength = static_cast<uint32_t>(headerLength);
  return yuv;
}

uint64_t conversionYuv420pSize(uint32_t width, uint32_t height) {
  uint64_t w = width, h = height;
  return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
}

const char *conversionRgb24ToYuv420p(const uint8_t *rgb, int width, int height, uint8_t *output) {
  if (width < 0 || height < 0) return strTempPrintf("Invalid image size %dx%d", width, height);
  const uint8_t *table = rgb24toyuvTable();
  if (!table) return "No RGB to YUV table mapped";
  size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height), pixels = w * h;
  if (pixels == 0) return nullptr;
  // Full-size U and V planes; the static scratch block serves images up to 32768 pixels.
  uint8_t *full = static_cast<uint8_t *>(scratchAlloc(2 * pixels));
  if (!full) return OUT_OF_MEMORY_TEXT();
  uint8_t *fullU = full, *fullV = full + pixels;
  for (size_t i = 0; i < pixels; i++, rgb += 3) {
    const uint8_t *entry = table + 3 * ((size_t{rgb[0]} << 16) | (size_t{rgb[1]} << 8) | rgb[2]);
    output[i] = entry[0], fullU[i] = entry[1], fullV[i] = entry[2];
  }
  // Each chroma value is the average of its 2 x 2 block; a block cut by an odd right or bottom
  // edge averages the pixels it has. Whole blocks give the sum shifted right by 2.
  size_t chromaWidth = (w + 1) / 2, chromaHeight = (h + 1) / 2;
  uint8_t *u = output + pixels, *v = u + chromaWidth * chromaHeight;
  for (size_t cy = 0; cy < chromaHeight; cy++) {
    size_t top = 2 * cy * w, rows = 2 * cy + 1 < h ? 2 : 1;
    for (size_t cx = 0; cx < chromaWidth; cx++) {
      size_t left = top + 2 * cx, columns = 2 * cx + 1 < w ? 2 : 1;
      unsigned sumU = 0, sumV = 0;
      for (size_t row = 0; row < rows; row++)
        for (size_t column = 0; column < columns; column++) {
          sumU += fullU[left + row * w + column];
          sumV += fullV[left + row * w + column];
        }
      unsigned count = static_cast<unsigned>(rows * columns);
      *u++ = static_cast<uint8_t>(sumU / count);
      *v++ = static_cast<uint8_t>(sumV / count);
    }
  }
  scratchFree(full);
  return nullptr;
}

void *conversionYuvInit(MultimediaStream *stream) {
  if (const char *failure = rgb24toyuvInit()) multimediaSetError(stream, failure);
  return nullptr;
}

void conversionYuvFree(void *) { rgb24toyuvFree(); }

// ===== converter table =====

const char *conversionSelect(const char *contentType, MultimediaStream *stream) {
  const char *own = stream->contentType;
  bool same = !contentType || !own || strcmp(contentType, own) == 0;
  if (stream->readSide && stream->readSide->present) {
    FrameConverter *row = same ? &conversionTable[0] : conversionFind(own, contentType);
    if (!row) return strTempPrintf("%s does not support content type: %s", stream->description, contentType);
    stream->readSide->converter = row;
  }
  if (stream->writeSide) {
    FrameConverter *row = same ? &conversionTable[0] : conversionFind(contentType, own);
    if (!row) return strTempPrintf("%s does not support content type: %s", stream->description, contentType);
    stream->writeConverter = row;
  }
  return nullptr;
}

namespace {

// The row loses one user; its free runs when the last one goes.
void dropConverterUser(FrameConverter *row, void *state) {
  if (row && row->users > 0 && --row->users == 0) row->free(state);
}

}  // namespace

bool conversionStart(MultimediaStream *stream) {
  MultimediaStreamSide *read = stream->readSide && stream->readSide->present ? stream->readSide : nullptr;
  if (read && read->converter) {
    if (read->converter->users == 0) {
      read->converterState = read->converter->init(stream);
      if (stream->failed) return false;
    }
    read->converter->users++;
  }
  if (stream->writeSide && stream->writeConverter) {
    if (stream->writeConverter->users == 0) {
      stream->writeConverterState = stream->writeConverter->init(stream);
      if (stream->failed) {
        if (read) dropConverterUser(read->converter, read->converterState);
        return false;
      }
    }
    stream->writeConverter->users++;
  }
  return true;
}

void conversionStop(MultimediaStream *stream, bool readSide, bool writeSide) {
  MultimediaStreamSide *read = stream->readSide;
  if (readSide && read && read->present) dropConverterUser(read->converter, read->converterState);
  if (writeSide && stream->writeSide) dropConverterUser(stream->writeConverter, stream->writeConverterState);
}

MultimediaFrame *conversionConvertForWrite(MultimediaStream *stream, MultimediaFrame *frame) {
  FrameConverter *row = stream->writeConverter ? stream->writeConverter : &conversionTable[0];
  return row->convert(stream->writeConverterState, frame);
}
