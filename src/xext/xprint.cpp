// The XpExtension extension.
#include "xext/xprint.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xprintSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
