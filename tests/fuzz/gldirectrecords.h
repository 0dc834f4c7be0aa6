// The records both GL fuzz targets feed to an instance of the in-proxy GL path (fuzz_gldirect
// on the recording fake GL library, fuzz_gldirect_mesa on Mesa's): what a client's GLX requests
// hand the instance, in either byte order, swapped to this machine's by the proxy's own tables
// first, as the dispatcher does.
//
// A record is [kind, selector, length low, length high] and length bytes. Kinds 0-5 are shared
// (gldirectRunRecord): 0 a GLXRender stream (16-bit headers), 1 one large render command, 2 a
// single operation, 3 a vendor command, 4 the pixel queries and the render mode, 5 the GLSL
// queries; the targets give kinds 6 and 7 their own meaning. Kind bit 5 on a vendor command:
// the record's first word (in the client's order) is the vendor code, its data follows. The selector's low bit picks the
// target's tag slot, its other bits the operation.
#pragma once

#include <cstddef>
#include <cstdint>

struct GlxLibraryInstance;
struct Head;

// Vendor commands read the request's 12-byte header before their data: the bytes a record of
// the kind needs in front of its data.
size_t gldirectRecordHeader(uint8_t kind);
// Runs a record of kinds 0-5 on the slot; data is the record's block (header bytes before it),
// writable, length bytes, in the client's byte order (big: most significant byte first). False
// for the other kinds (nothing run).
bool gldirectRunRecord(GlxLibraryInstance *instance, Head *head, bool big, uint8_t kind, uint32_t slot,
                       uint32_t operation, uint8_t *data, size_t length);
// The 32-bit word at byte at of the record (0 past its end), in this machine's order.
uint32_t gldirectWord(const uint8_t *data, size_t length, size_t at);
// Swaps every whole 4-byte word of [first, first + length).
void gldirectSwapWords(uint8_t *first, size_t length);
