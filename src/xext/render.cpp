// The RENDER extension.
#include "xext/render.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *renderSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
