// The meta-screen operations on client connections: writing out and flushing a client's
// display connections, and pausing a client's input.
#include "proxy/connections.h"
#include "proxy/xscreen.h"
#include "support/orders.h"

namespace {
void processBufferedInput(void *client) { miscProcessBufferedInput(static_cast<ClientConnection *>(client)); }
}  // namespace

const char *xscreenBrokenConnection(ClientConnection *client) {
  for (uint32_t i = 0; client && i < client->displayCount; i++)
    if (xproxyFlushDisplayConnection(client->displays[i])) return xproxyBrokenConnectionText(client);
  return nullptr;
}

const char *xscreenFlushClientConnections(ClientConnection *client) {
  for (uint32_t i = 0; client && i < client->displayCount; i++)
    if (const char *error = xproxyFlushDisplayConnection(client->displays[i])) return error;
  return nullptr;
}

const char *xscreenFlushAllConnections() {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (const char *error = xscreenFlushClientConnections(c)) return error;
  return nullptr;
}

void xscreenRestartTimer(ClientConnection *client) {
  client->reader.bytesNeeded = kReaderStopped;
  client->reader.stopReason[0] = '\0';
  miscCancelClientRead(client);
  client->readOrder = ordersAddTimer(kMiscBufferedInputDelayMs, processBufferedInput, client);
}
