// XC-MISC: ranges and lists of free resource ids.
#pragma once

#include "xext/ext.h"
#include "xext/extrequest.h"

// The extension's init (an ExtensionInit): registers the record, writes its request rows and
// stores its reset and its record in its ProxyState slot. NULL or an error text.
const char *xcmiscInit(ExtensionRecord *record);

// Its request rows (for tests and diagnostics).
extern const ExtRequestTable xcmiscTable;
