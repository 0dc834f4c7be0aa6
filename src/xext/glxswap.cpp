// Stand-ins of the GLX data swappers: they swap nothing yet.
#include "xext/glxswap.h"

GlxSwapRenderObserver glxSwapRenderObserver = nullptr;

void glxSwapRenderCommand(uint32_t opcode, uint8_t *first, uint8_t *end, int direction) {
  if (glxSwapRenderObserver) glxSwapRenderObserver(opcode, first, end, direction);
}
void glxSwapVendorCommand(uint32_t, uint8_t *, uint8_t *, int) {}
