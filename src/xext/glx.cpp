// The GLX extension.
#include "xext/glx.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *glxInitExtension(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
