// The MIT-SHM extension.
#include "xext/shm.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *shmSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====

// ===== core image path =====
uint64_t shmPutImageMinSize = 1;
uint64_t shmGetImageMinSize = 16384;

int shmPutImageOnServer(ClientConnection *, Head *, uint32_t, uint32_t, int16_t, int16_t, uint32_t, uint32_t,
                        uint32_t, uint32_t, const uint8_t *, uint64_t) {
  return 0;
}
// ===== end of core image path =====
