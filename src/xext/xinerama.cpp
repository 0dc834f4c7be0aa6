// The XINERAMA extension.
#include "xext/xinerama.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xineramaSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
