// The XKEYBOARD extension.
#include "xext/xkb.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xkbSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
