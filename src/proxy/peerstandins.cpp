// Placeholders for functions written on the output branch, until the two are merged.
#include "proxy/peerstandins.h"

#include <cstring>

#include "support/strings.h"

namespace {
void put16(uint8_t *p, uint32_t v, bool big) {
  p[big ? 1 : 0] = uint8_t(v);
  p[big ? 0 : 1] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v, bool big) {
  put16(p + (big ? 2 : 0), v & 0xffff, big);
  put16(p + (big ? 0 : 2), v >> 16, big);
}
}  // namespace

void core11GSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t, uint16_t sequence,
                      const char *, ClientConnection *client) {
  uint8_t e[32] = {};
  bool big = client->reader.swapped;
  e[1] = code;
  put16(e + 2, sequence, big);
  put32(e + 4, badValue, big);
  put16(e + 8, request ? request[1] : 0, big);
  e[10] = request ? request[0] : 0;
  outbufferPut(e, 32, &client->output);
  client->errorCount++;
}

void core11GSendSetupFailed(ClientConnection *client, const char *reason) {
  bool big = client->reader.swapped;
  uint32_t n = uint32_t(strlen(reason));
  uint32_t padded = (n + 3) & ~3u;
  uint8_t head[8] = {0, uint8_t(n)};
  put16(head + 2, 11, big);
  put16(head + 4, 0, big);
  put16(head + 6, padded / 4, big);
  outbufferPut(head, 8, &client->output);
  uint8_t zero[4] = {};
  outbufferPut(reason, n, &client->output);
  outbufferPut(zero, padded - n, &client->output);
}

int core11GSendConnectionSetup(DisplayConnection *connection, const char *name, uint32_t nameLength,
                               const char *data, uint32_t dataLength) {
  uint8_t head[12] = {'l', 0, 11, 0, 0, 0};
  put16(head + 6, nameLength, false);
  put16(head + 8, dataLength, false);
  uint8_t zero[4] = {};
  if (!outbufferPut(head, 12, &connection->output)) return 0;
  outbufferPut(name, nameLength, &connection->output);
  outbufferPut(zero, (4 - nameLength % 4) % 4, &connection->output);
  outbufferPut(data, dataLength, &connection->output);
  outbufferPut(zero, (4 - dataLength % 4) % 4, &connection->output);
  return 1;
}

const char *xscreenClientName(ClientConnection *client) {
  return strTempPrintf("X client #%u", client ? client->index : 0);
}

void mainFreeDeferredOutputs(ClientConnection *) {}
