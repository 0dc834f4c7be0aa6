// GL rendered inside the proxy: the stand-in until heads get GL library instances.
#include "xext/glxdirect.h"

void glxdirectFlushForDrawable(Head *, uint32_t) {}
