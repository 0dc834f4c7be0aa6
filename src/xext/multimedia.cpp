// The MORWENTECH MULTIMEDIA extension.
#include "xext/multimedia.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xextMultimediaSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
