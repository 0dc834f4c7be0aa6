// The SYNC extension: counters, alarms, awaits and client priorities of the real server of the
// first head of the first meta screen, reached through each client's first display connection.
// Counter and alarm ids cross translated; the proxy keeps only a per-screen record (type 10)
// under every counter and alarm a client creates.
#pragma once

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record ("SYNC", two events, two errors) and writes the extension's rows: NULL,
// or an error text after which the record is cleared and the extension is not offered.
const char *syncSetup(ExtensionRecord *record);
// ===== end of set-up =====
