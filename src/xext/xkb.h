// The XKEYBOARD extension: the keyboard exists only on the real server, so every request is
// forwarded to the client's main display connection (xkbBell's window translated for the first
// head); replies pass with the client's sequence, XKB events with their time recorded and
// their request major or window in the client's view.
#pragma once

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

// The request rows (for tests and diagnostics).
extern const ExtRequestTable xkbTable;

// ===== set-up =====
// Registers the record (one event, one error "xkbBadKeyboard"), writes its rows, its event
// handler and its reset. NULL or an error text after which the record is cleared and the
// extension is not offered.
const char *xkbSetup(ExtensionRecord *record);
// ===== end of set-up =====
