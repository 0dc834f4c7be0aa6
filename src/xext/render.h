// The RENDER extension: its set-up, which the extension initialisation calls by name.
#pragma once

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered. Until the extension is served it
// declines with "not available yet".
const char *renderSetup(ExtensionRecord *record);
// ===== end of set-up =====
