// The XpExtension print extension: print contexts, jobs, documents and pages live on the real
// server of the first head of the first meta screen, reached through each client's first
// display connection. Context ids cross translated by arithmetic alone; the proxy keeps no
// record of them.
#pragma once

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record ("XpExtension", two events, three errors) and writes the extension's
// rows: NULL, or an error text after which the record is cleared and the extension is not
// offered.
const char *xprintSetup(ExtensionRecord *record);
// ===== end of set-up =====
