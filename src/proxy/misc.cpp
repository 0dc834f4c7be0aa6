// Writing messages into a client's output.
#include "proxy/misc.h"

// ===== Writing to a client =====
#include "proxy/xscreen.h"

void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client) {
  if (!client || !message || length == 0) return;
  client->lastEventType = message[0] & 0x7f;
  xscreenCopySwapped(message, length, layout, client);
}
// ===== end of writing to a client =====
