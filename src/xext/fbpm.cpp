// FBPM: frame buffer power management, forwarded to the real server.
#include "xext/fbpm.h"

const char *fbpmInit(ExtensionRecord *) { return "not available yet"; }
