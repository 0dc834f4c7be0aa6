// The proxy's own connection setup reply, written for a client once every real server it is
// connected to has answered.
#pragma once

#include <cstdint>

// ===== connection setup reply =====
// The real server's whole setup answer for the current display connection (header and
// additional data, `length` bytes). Records the connection's id base and mask; after the last
// pending answer writes the reply describing the meta screens; a refusal is passed on and the
// client closed.
void xcoreServerSetupReply(uint8_t *reply, uint32_t length);
// ===== end of connection setup reply =====
