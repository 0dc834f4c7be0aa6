// The XVideo extension.
#include "xext/xvideo.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xvideoSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
