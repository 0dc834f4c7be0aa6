// The XIE extension.
#include "xext/xie.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xieSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
