// XC-MISC: ranges and lists of free resource ids.
#include "xext/xcmisc.h"

const char *xcmiscInit(ExtensionRecord *) { return "not available yet"; }
