// The GLX swappers that the byte swapper hands GLX requests to: the render-command stream of
// GLXRender (glxindirect.cpp), one render command's data, and the vendor commands. The data and
// vendor swappers are still stand-ins that swap nothing.
#pragma once

#include <cstdint>

// The render-command stream (16-bit headers) of a GLXRender request, from first to end;
// direction > 0: the bytes are in the other byte order, < 0: into it.
void glxindirectSwapRender16(uint8_t *first, uint8_t *end, int direction);
// One render command's data [first, end) of the render opcode. Swaps nothing yet; each call
// is passed to the observer when one is set.
void glxSwapRenderCommand(uint32_t opcode, uint8_t *first, uint8_t *end, int direction);
using GlxSwapRenderObserver = void (*)(uint32_t opcode, uint8_t *first, uint8_t *end, int direction);
extern GlxSwapRenderObserver glxSwapRenderObserver;
// The body of a GLXVendorPrivate(WithReply) request (from its byte 12) by its vendor code.
void glxSwapVendorCommand(uint32_t vendorCode, uint8_t *first, uint8_t *end, int direction);
