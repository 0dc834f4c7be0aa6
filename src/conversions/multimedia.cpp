// Frames and stream failure texts.
#include "conversions/multimedia.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/fd.h"
#include "support/logging.h"
#include "support/strtemp.h"

namespace {

// Failure texts are written by pool workers and read by the event loop.
std::mutex streamErrorMutex;

void releaseNothing(void *) {}

}  // namespace

void multimediaSetError(MultimediaStream *stream, const char *text) {
  if (!text) return;
  logStep("MULTIMEDIA: %s", text);
  if (!stream) return;
  std::lock_guard<std::mutex> guard(streamErrorMutex);
  snprintf(stream->failureText, sizeof stream->failureText, "%s", text);
  stream->failed = 1;
}

const char *multimediaStreamError(MultimediaStream *stream) {
  if (!stream) return nullptr;
  std::lock_guard<std::mutex> guard(streamErrorMutex);
  return stream->failed ? strTempDup(stream->failureText) : nullptr;
}

MultimediaFrame *multimediaNewFrame(MultimediaStream *stream, const void *data, uint64_t length) {
  MultimediaFrame model{};
  model.stream = stream;
  MultimediaFrame *frame = multimediaNewFrameLike(&model, length);
  if (frame && length) memcpy(frame->data, data, static_cast<size_t>(length));
  return frame;
}

MultimediaFrame *multimediaNewFrameLike(const MultimediaFrame *frame, uint64_t size) {
  // The length field holds 32 bits: a larger frame would be cut and overrun by its filler.
  MultimediaFrame *made = nullptr;
  if (size <= UINT32_MAX)
    made = static_cast<MultimediaFrame *>(calloc(1, sizeof(MultimediaFrame) + static_cast<size_t>(size)));
  if (!made) {
    multimediaSetError(frame->stream, OUT_OF_MEMORY_TEXT());
    return nullptr;
  }
  made->data = made + 1;
  made->length = static_cast<uint32_t>(size);
  made->referenceCount = 1;
  made->repeatCount = frame->repeatCount;
  made->stream = frame->stream;
  made->release = releaseNothing;
  made->firstOfStream = frame->firstOfStream;
  return made;
}

MultimediaFrame *multimediaWrapFrame(MultimediaStream *stream, void *data, uint32_t length,
                                     MultimediaReleaseFunction release) {
  MultimediaFrame *frame = static_cast<MultimediaFrame *>(calloc(1, sizeof(MultimediaFrame)));
  if (!frame) {
    multimediaSetError(stream, OUT_OF_MEMORY_TEXT());
    return nullptr;
  }
  frame->data = data;
  frame->length = length;
  frame->referenceCount = 1;
  frame->stream = stream;
  frame->release = release ? release : releaseNothing;
  return frame;
}

void multimediaReleaseFrame(MultimediaFrame *frame) {
  if (!frame || atomicAdd16(&frame->referenceCount, -1) != 0) return;
  frame->release(frame->data);
  free(frame);
}

void multimediaMarkFirstFrame(MultimediaFrame *frame) {
  if (!frame || !frame->stream || frame->stream->firstFrameHanded) return;
  frame->stream->firstFrameHanded = 1;
  frame->firstOfStream = 1;
}

void multimediaFrameCopy(const MultimediaFrame *frame, unsigned copy, const uint8_t **data,
                         uint32_t *length) {
  uint32_t skip = copy == 0 ? 0 : (frame->headerLength < frame->length ? frame->headerLength : frame->length);
  *data = static_cast<const uint8_t *>(frame->data) + skip;
  *length = frame->length - skip;
}
