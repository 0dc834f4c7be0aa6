// DPMS: display power management, forwarded to the real server.
#include "xext/dpms.h"

const char *dpmsInit(ExtensionRecord *) { return "not available yet"; }
