// The DOUBLE-BUFFER extension.
#include "xext/doublebuf.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *doublebufInit(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
