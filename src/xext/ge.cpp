// Generic Event Extension: its version request, forwarded to the real server.
#include "xext/ge.h"

const char *geSetup(ExtensionRecord *) { return "not available yet"; }
