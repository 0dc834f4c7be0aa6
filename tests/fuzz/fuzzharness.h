// The world the fuzz targets share: the proxy's core without a real display (the fake core),
// two meta screens (one of two heads, one of one head), the extensions the proxy serves under
// fixed majors, and a client whose byte stream goes through the client socket and the event
// loop as an accepted client's does: read, cut, dispatched, answered. The fake server side of
// each display connection answers the proxy's round trips (and, when asked, every request that
// has a reply), so that held-back output is released.
//
// One run = one client: connected, fed, closed and freed before the run returns, so that
// nothing of it is left for the next run. Each run checks that (no client listed, its resource
// slot free, no descriptor order and no descriptor left open) and aborts otherwise, so that the
// fuzzer keeps the input. Run libFuzzer with -print_funcs=0 (scripts/fuzz does): its naming of
// new functions keeps a symbolizer's pipes open, which would count as a descriptor left open. The world itself is made on first use and lives
// until fuzzShutdown (the replay driver calls it; libFuzzer never does, and LeakSanitizer
// sees the world through its globals).
#pragma once

#include <cstddef>
#include <cstdint>

// What the first input byte of a target chooses.
struct FuzzOptions {
  bool big = false;          // the client sends most significant byte first
  bool bigRequests = false;  // BIG-REQUESTS is on for the client from its first request
  bool answerAll = false;    // the fake server answers every request that has a reply
  uint32_t chunk = 0;        // bytes written to the client socket per loop pass; 0: all it takes
};
// Bit 0 big, bit 1 BIG-REQUESTS, bit 2 answer all, bits 5-7 the chunk size (0 whole, then 1,
// 2, 3, 7, 64, 512, 4096).
FuzzOptions fuzzDecodeOptions(uint8_t flags);

// The major opcodes of the served extensions in the fuzz world.
constexpr uint8_t kFuzzBigRequestsMajor = 129;
constexpr uint8_t kFuzzXcMiscMajor = 130;
constexpr uint8_t kFuzzDpmsMajor = 131;
constexpr uint8_t kFuzzFbpmMajor = 132;
constexpr uint8_t kFuzzAllPlanesMajor = 133;
constexpr uint8_t kFuzzGenericEventMajor = 134;
constexpr uint8_t kFuzzMultimediaMajor = 135;

// The largest big request, as a real server's BigReqEnable reply announces it (in 4-byte
// units): the proxy lowers its own maximum to 4 times this.
constexpr uint32_t kFuzzServerBigRequestWords = 4194303;

// Makes the world on first use (later calls return at once).
void fuzzWorldInit();

// A set-up client of the fake core with one display connection: the stream is written to its
// socket (in chunks when options.chunk is set) and served by the event loop until it has been
// taken or the proxy closed the client; then the client is closed and freed.
void fuzzServeClient(const FuzzOptions &options, const uint8_t *stream, size_t length);

// A client that starts with its connection setup, accepted as the listener accepts one: the
// real display is a fake server on an abstract unix socket that answers the proxy's connection
// setup as chosen (serverAnswer 0 accepted, 1 refused, 2 a short success, 3 authenticate) and
// then serves like fuzzServeClient's. grantAll: every authorization is accepted; else the
// proxy's own check runs (with one MIT-MAGIC-COOKIE-1 known: kFuzzCookie).
void fuzzServeSetup(const FuzzOptions &options, int serverAnswer, bool grantAll, const uint8_t *stream, size_t length);
extern const uint8_t kFuzzCookie[16];

// Frees the world (the replay driver, before it exits).
void fuzzShutdown();
