// The SHAPE extension.
#include "xext/shape.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *shapeSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
