// The MIT-SHM extension.
#include "xext/shm.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *shmSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====
