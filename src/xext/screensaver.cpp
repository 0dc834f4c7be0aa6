// The MIT-SCREEN-SAVER and SCREEN-SAVER extension.
#include "xext/screensaver.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *screensaverSetup(ExtensionRecord *) { return "not available yet"; }

const char *sgiScreensaverSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
