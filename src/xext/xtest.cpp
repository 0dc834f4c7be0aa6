// The XTEST extension.
#include "xext/xtest.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xtestSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
