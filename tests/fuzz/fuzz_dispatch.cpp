// Fuzz target: requests of well-formed length for every core opcode and extension minor, so
// that the mutations land in the handlers' fields rather than in the framing.
//
// Input: one byte of options (fuzzDecodeOptions; bit 3: every request in the BIG-REQUESTS form
// when BIG-REQUESTS is on), then records of [major, data byte, n] followed by n 4-byte words of
// body (zeros where the input ends). Each record becomes one request of 1 + n words in the
// client's byte order.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  FuzzOptions options = fuzzDecodeOptions(data[0]);
  bool bigForm = options.bigRequests && (data[0] & 8);
  std::vector<uint8_t> stream;
  size_t at = 1;
  while (at + 3 <= size) {
    uint8_t major = data[at], dataByte = data[at + 1];
    uint32_t words = data[at + 2];
    at += 3;
    uint32_t total = 1 + words + (bigForm ? 1 : 0);
    stream.push_back(major);
    stream.push_back(dataByte);
    auto put16 = [&](uint32_t v) {
      if (options.big) {
        stream.push_back(uint8_t(v >> 8));
        stream.push_back(uint8_t(v));
      } else {
        stream.push_back(uint8_t(v));
        stream.push_back(uint8_t(v >> 8));
      }
    };
    if (bigForm) {
      put16(0);
      if (options.big) {
        put16(0);
        put16(total);
      } else {
        put16(total);
        put16(0);
      }
    } else {
      put16(total);
    }
    for (uint32_t k = 0; k < 4 * words; k++) stream.push_back(at < size ? data[at++] : 0);
  }
  fuzzServeClient(options, stream.data(), stream.size());
  return 0;
}
