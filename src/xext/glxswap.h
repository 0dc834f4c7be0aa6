// The GLX swappers that the byte swapper hands GLX requests to. GLX is not offered yet: these
// are stand-ins that swap nothing, replaced by the GLX render-stream and vendor-command
// swappers when GLX arrives.
#pragma once

#include <cstdint>

// The render-command stream of a GLXRender request, from first to end.
void glxindirectSwapRender16(uint8_t *first, uint8_t *end, int direction);
// The body of a GLXVendorPrivate(WithReply) request (from its byte 12) by its vendor code.
void glxSwapVendorCommand(uint32_t vendorCode, uint8_t *first, uint8_t *end, int direction);
