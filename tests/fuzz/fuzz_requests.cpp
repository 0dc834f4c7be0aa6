// Fuzz target: a set-up client's raw byte stream through the request cutter and the dispatch
// tables, written to the client socket and served by the event loop.
//
// Input: one byte of options (fuzzDecodeOptions: byte order, BIG-REQUESTS, answers, chunk size),
// then the stream exactly as the client sends it.
#include <cstddef>
#include <cstdint>

#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  fuzzServeClient(fuzzDecodeOptions(data[0]), data + 1, size - 1);
  return 0;
}
