// Meta screens and heads.
#include "proxy/xscreen.h"

#include <cstdio>
#include <cstring>

#include "xext/byteswap.h"

const char *xscreenClientName(ClientConnection *client) {
  static char text[80];
  if (!client) return "no client";
  const char *own = client->className[0] ? client->className : client->windowName[0] ? client->windowName : nullptr;
  if (client->transport && !clientconnectionIsLocal(client->transport)) {
    const char *host = xproxyClientHostName(client);
    if (own)
      snprintf(text, sizeof text, "%s@%s", own, host);
    else
      snprintf(text, sizeof text, "client #%u@%s", client->index, host);
    return text;
  }
  if (own) return own;
  snprintf(text, sizeof text, "client %u", client->index);
  return text;
}

uint8_t *xscreenCopySwapped(const uint8_t *data, uint32_t length, WireLayout layout, ClientConnection *client) {
  auto *copy = reinterpret_cast<uint8_t *>(outbufferReserve(&client->output, length));
  if (!copy) return nullptr;
  memcpy(copy, data, length);
  if (client->reader.swapped) byteswapByFormat(layout, copy, copy + length);
  return copy;
}
