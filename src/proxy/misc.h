// Writing messages into a client's output.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// ===== Writing to a client =====
// Writes one message (error, reply or event, in the proxy's byte order) into the client's output,
// swapped by its layout for a client of the other byte order. The message's kind (0 error, 1
// reply, else the event code) is recorded as the client's last written type, which the
// KeymapNotify rule of the ordered output reads.
void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client);
// ===== end of writing to a client =====
