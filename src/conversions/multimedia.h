// Frames and the stream record as the frame converters see them.
//
// A frame is a reference-counted block of data on its way to one stream's sink. The stream
// engine (opening, starting, writing, closing) grows MultimediaStream with its sides, buffers
// and tasks; what is here is what a converter reads and writes: the failure text that receives
// its errors, the description that messages name the stream by, and the mark of the stream's
// first frame.
#pragma once

#include <cstddef>
#include <cstdint>

struct MultimediaStream;

// Called with a frame's data pointer when its last reference goes; frames made by the engine
// carry one that does nothing.
using MultimediaReleaseFunction = void (*)(void *data);

// One allocation: this header and, for frames made by the engine, the data right behind it.
struct MultimediaFrame {
  void *data;
  // Bytes at data. For "image/Xlib" frames, data is an XImage and length the number of bytes
  // the producer vouches for at the image's own data pointer.
  uint32_t length;
  uint16_t referenceCount;  // starts at 1; changed only through atomicAdd16
  uint16_t repeatCount;     // times the frame is written; at least 1 once written
  MultimediaStream *stream;  // receives the failures about the frame (NULL: they are only logged)
  MultimediaReleaseFunction release;
  // The first headerLength bytes of data go out before the first copy only: when a frame is
  // written repeatCount times, the further copies start behind them (a stream header).
  uint32_t headerLength;
  // Set on the first frame handed to its stream (multimediaMarkFirstFrame); a converter whose
  // output starts with a stream header writes it for this frame only.
  uint8_t firstOfStream;
};

// The least stream record: allocated zeroed; the stream engine adds its fields behind these.
struct MultimediaStream {
  char description[2048];   // what messages name the stream by
  uint8_t failed;           // set when a failure text was recorded
  uint8_t firstFrameHanded;  // set once a frame was marked as the stream's first
  char failureText[1024];   // the last failure recorded, cut to 1023 characters
};

// Records a failure: logged on the step channel as "MULTIMEDIA: %s", kept as the stream's
// failure text (a later one replaces it) and its failed flag set. Any thread may call it; a
// NULL stream only logs.
void multimediaSetError(MultimediaStream *stream, const char *text);
// The failure text (a temporary copy), or NULL while the stream has not failed.
const char *multimediaStreamError(MultimediaStream *stream);

// A new frame holding a copy of the data; reference count 1, repeat 0. Out of memory: the
// stream records "Out of memory (%s:%d)" and NULL is returned.
MultimediaFrame *multimediaNewFrame(MultimediaStream *stream, const void *data, uint64_t length);
// A new frame of size bytes (contents to be filled) with the repeat count, stream and first
// mark of the given frame. A size above 4 GiB - 1 or no memory: "Out of memory (%s:%d)"
// recorded on that stream, NULL returned (the given frame is left alone).
MultimediaFrame *multimediaNewFrameLike(const MultimediaFrame *frame, uint64_t size);
// A frame around data that stays the caller's until release runs (release may be NULL).
MultimediaFrame *multimediaWrapFrame(MultimediaStream *stream, void *data, uint32_t length,
                                     MultimediaReleaseFunction release);
// Drops one reference (NULL is allowed); at zero runs the release function, then frees it.
void multimediaReleaseFrame(MultimediaFrame *frame);
// Marks the frame as its stream's first unless the stream had one already. The writer calls it
// on the event loop's thread as it hands frames over, so the mark follows the order in which
// frames were given, not the order in which workers convert them.
void multimediaMarkFirstFrame(MultimediaFrame *frame);
// The bytes of one copy of a frame: copy 0 is the whole frame, later copies skip the header.
void multimediaFrameCopy(const MultimediaFrame *frame, unsigned copy, const uint8_t **data,
                         uint32_t *length);
