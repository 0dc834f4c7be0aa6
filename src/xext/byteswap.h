// Byte swapping by wire layout: one interpreter that swaps a message in place between the two
// byte orders as its layout string says.
//
// Layout letters: b one byte (unchanged); s, i, l one 16-, 32-, 64-bit field; S, I, L such
// fields up to the end (ends the walk); [ ... ] a group repeated until a field no longer fits;
// H<n> a hand-written case from the current byte (ends the walk). A positive case number means
// the message is still in the other byte order (counts are read after swapping), a negative
// one that it is in our own order (counts are read before swapping).
//
// Nothing outside [first, end) is read or written; a message shorter than its layout is
// swapped up to its last whole field. Faulty layouts, unknown cases and messages too short for
// a case's fixed part are reported as "UNE" (source "Xext/byteswap") on the problem channel.
#pragma once

#include <cstdint>

void byteswapByFormat(const char *layout, uint8_t *first, uint8_t *end);

// Support operations of the hand-written cases: each swaps inside [position, end) and returns
// what the item takes, also when it was cut at the end. A direction is +1 or -1 as the sign of
// a case number.
uint64_t byteswapInt(uint8_t *position, uint8_t *end);  // 4
uint64_t byteswapShorts(uint8_t *position, uint8_t *end, uint64_t n);  // 2n
uint64_t byteswapInts(uint8_t *position, uint8_t *end, uint64_t n);    // 4n
uint64_t byteswapLongs(uint8_t *position, uint8_t *end, uint64_t n);   // 8n
// An XKEYBOARD counted string: its 16-bit length swapped, the text left; length + 2 rounded up
// to a multiple of 4.
uint64_t byteswapXkbString(uint8_t *position, uint8_t *end, int direction);
// An XKEYBOARD doodad; returns the position after it (at most end).
uint8_t *byteswapXkbDoodad(uint8_t *position, uint8_t *end, int direction);
// The connection setup reply (case -23): header, and for a success its screens, depths and
// visuals.
void byteswapSetupReply(uint8_t *position, uint8_t *end, int direction = -1);

// The layout of XKEYBOARD event type xkbType (case 8); NULL for types without one.
const char *byteswapXkbEventLayout(unsigned xkbType);

// The GLX swappers that cases 7 (a GLXRender command stream) and 32 (the vendor data of
// GLXVendorPrivate) hand over to, declared here so that this lower module does not include
// the GLX one that uses it; xext/glxswap.h describes them.
void glxindirectSwapRender16(uint8_t *first, uint8_t *end, int direction);
void glxSwapVendorCommand(uint32_t vendorCode, uint8_t *first, uint8_t *end, int direction);
