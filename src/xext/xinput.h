// The X Input extension ("XInputExtension"): every request goes to the client's main real-server
// connection with its window and cursor ids for the first head of the first meta screen; the
// version the proxy reports is the lowest of the real displays'; device events come back in
// the meta screens' terms.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

struct ServerDisplay;

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered ("Display %s does not support extension
// %s" when a real display has no XInput).
const char *xinputSetup(ExtensionRecord *record);
// ===== end of set-up =====

// A real display's XInput version as major * 64 + minor, 0 without XInput (the remote-control
// library's query; tests put their own here).
using XinputVersionQuery = uint32_t (*)(ServerDisplay *display);
extern XinputVersionQuery xinputDisplayVersion;

// The rows (minor order); rows 36 to 39 are written only from version 1.5 on.
extern const ExtRequestTable xinputTable;

// The version (major * 64 + minor) XIGetExtensionVersion tells the current client: the
// record's, or 2.0 for the program "zelquatool".
uint32_t xinputClientVersion(const ExtensionRecord *record);

// The wire layout of event n of the extension (first event + n), NULL past the last; for the
// layout cross-check.
const char *xinputEventLayout(unsigned n);
