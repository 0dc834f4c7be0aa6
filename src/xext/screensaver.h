// The screen-saver extensions: MIT-SCREEN-SAVER and the older SCREEN-SAVER, forwarded to the
// client's main display connection. Saver attributes are set on every head of the drawable's
// meta screen; the other requests go to the first head of the first meta screen.
#pragma once

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

// The request rows (for tests and diagnostics).
extern const ExtRequestTable screensaverTable;
extern const ExtRequestTable sgiScreensaverTable;

// ===== set-up =====
// Registers the record ("MIT-SCREEN-SAVER" with one event, "SCREEN-SAVER" with two), writes
// its rows, its event handlers and its reset. NULL or an error text after which the record is
// cleared and the extension is not offered.
const char *screensaverSetup(ExtensionRecord *record);
const char *sgiScreensaverSetup(ExtensionRecord *record);
// ===== end of set-up =====
