// The RENDER extension.
#include "xext/render.h"

// ===== set-up =====
// Not served yet: the set-up declines, so the extension is logged and not offered.
const char *renderSetup(ExtensionRecord *) { return "not available yet"; }
// ===== end of set-up =====

// ===== cursor pictures =====
uint32_t renderPictureOnHead(uint32_t, Head *) { return 0; }
int renderSendCreatePicture(const RequestSink *, uint32_t, uint32_t, uint32_t) { return 0; }
int renderSendCreateCursor(const RequestSink *, uint32_t, uint32_t, uint16_t, uint16_t) { return 0; }
int renderSendFreePicture(const RequestSink *, uint32_t) { return 0; }
int renderSendCreateAnimCursor(const RequestSink *, uint32_t, const uint32_t *, uint32_t) { return 0; }
// ===== end of cursor pictures =====
