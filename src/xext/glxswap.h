// The GLX swappers that the byte swapper hands GLX requests to: the render-command stream of
// GLXRender (glxindirect.cpp), one render command's data by its render opcode, and the vendor
// data of GLXVendorPrivate(WithReply) by its vendor code.
#pragma once

#include <cstdint>
#include <span>

// The render-command stream (16-bit headers) of a GLXRender request, from first to end;
// direction > 0: the bytes are in the other byte order, < 0: into it.
void glxindirectSwapRender16(uint8_t *first, uint8_t *end, int direction);

// One render command's data [first, end) of the render opcode (after the command's 4- or
// 8-byte header), swapped in place by the opcode's layout. direction > 0: the data are still
// in the client's byte order (counts inside them are read after swapping), otherwise they are
// in our order and go into the other one. An opcode without a row is logged on the warning
// channel and its data are left as they are. Each call is passed to the observer first when
// one is set.
void glxSwapRenderCommand(uint32_t opcode, uint8_t *first, uint8_t *end, int direction);
using GlxSwapRenderObserver = void (*)(uint32_t opcode, uint8_t *first, uint8_t *end, int direction);
extern GlxSwapRenderObserver glxSwapRenderObserver;
// The vendor data of a GLXVendorPrivate(WithReply) request (from its byte 12 to its end) by
// the vendor code, as glxSwapRenderCommand does for render data.
void glxSwapVendorCommand(uint32_t vendorCode, uint8_t *first, uint8_t *end, int direction);

// One row of the render or vendor table: the layout for data in the client's byte order and,
// for a hand-written case whose counts must be read before or after the swap, the layout for
// data in our order (NULL: the same layout serves both).
struct GlxSwapRow {
  uint32_t code;
  const char *layout;
  const char *ownOrderLayout = nullptr;
};
// The tables, sorted by code.
std::span<const GlxSwapRow> glxSwapRenderRows();
std::span<const GlxSwapRow> glxSwapVendorRows();
// The row of the code, NULL when the table has none.
const GlxSwapRow *glxSwapFindRow(std::span<const GlxSwapRow> rows, uint32_t code);
