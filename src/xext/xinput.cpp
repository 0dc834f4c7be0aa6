// The XInputExtension extension.
#include "xext/xinput.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *xinputSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
