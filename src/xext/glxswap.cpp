// Stand-ins of the GLX swappers until GLX is offered.
#include "xext/glxswap.h"

void glxindirectSwapRender16(uint8_t *, uint8_t *, int) {}
void glxSwapVendorCommand(uint32_t, uint8_t *, uint8_t *, int) {}
