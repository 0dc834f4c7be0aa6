// The Multi-Buffering extension.
#include "xext/multibuf.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *multibufSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
