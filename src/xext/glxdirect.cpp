// GL rendered inside the proxy for a head.
#include "xext/glxdirect.h"

void glxdirectFinishAll() {}
void glxdirectFlushAll() {}
