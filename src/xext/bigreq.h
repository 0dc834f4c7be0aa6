// BIG-REQUESTS: the extended length form, and the proxy's maximum request length.
#pragma once

#include "xext/ext.h"
#include "xext/extrequest.h"

// The extension's init (an ExtensionInit): registers the record, writes its request rows and
// stores its reset and its record in its ProxyState slot. NULL or an error text.
const char *bigreqInit(ExtensionRecord *record);

// Its request rows (for tests and diagnostics).
extern const ExtRequestTable bigreqTable;

// Lowers the proxy's largest accepted big request to 4 x units bytes when that is smaller.
void bigreqLowerMaximum(uint32_t units);
// Writes a BigReqEnable request (major as the real server numbers BIG-REQUESTS) through the
// sink; 1 when written, 0 when the sink gave no room.
int bigreqWriteEnable(const RequestSink *sink, uint8_t major);
