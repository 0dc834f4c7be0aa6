// GL rendered inside the proxy: the stand-ins until heads get GL library instances.
#include "xext/glxdirect.h"

void glxdirectFlushForDrawable(Head *, uint32_t) {}
void glxdirectFinishAll() {}
void glxdirectFlushAll() {}
