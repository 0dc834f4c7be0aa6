// Fuzz target: a client from its connection setup on, accepted as the listener accepts one,
// with a fake real server behind the proxy that answers the proxy's own setup.
//
// Input: one byte of options (bits 0-1: the server's answer to the proxy's setup, 0 accepted,
// 1 refused, 2 a short success, 3 authenticate; bit 2: every request with a reply answered;
// bit 3: every authorization granted, else the proxy's own check; bits 5-7: chunk size as in
// fuzzDecodeOptions), then the client's stream: the setup and the requests behind it.
#include <cstddef>
#include <cstdint>

#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  FuzzOptions options = fuzzDecodeOptions(data[0]);
  fuzzServeSetup(options, data[0] & 3, (data[0] & 8) != 0, data + 1, size - 1);
  return 0;
}
