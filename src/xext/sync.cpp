// The SYNC extension.
#include "xext/sync.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *syncSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
