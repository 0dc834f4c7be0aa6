// The BIG-REQUESTS pieces the proxy's own connections use: the BigReqEnable writer and the
// proxy's maximum request length that every BigReqEnable reply may lower.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// Lowers the proxy's largest accepted big request to 4 x units bytes when that is smaller
// (computed in 64 bits: 0x40000000 units and more lower nothing below 4 GiB).
void bigreqLowerMaximum(uint32_t units);
// Writes a BigReqEnable request (major as the real server numbers BIG-REQUESTS) through the
// sink; 1 when written, 0 when the sink gave no room.
int bigreqWriteEnable(const RequestSink *sink, uint8_t major);
