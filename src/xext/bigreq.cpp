// BIG-REQUESTS: the extended length form, and the proxy's maximum request length.
#include "xext/bigreq.h"

const char *bigreqInit(ExtensionRecord *) { return "not available yet"; }
