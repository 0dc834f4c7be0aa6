// Placeholders for functions written on the output branch, until the two are merged.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

void core11GSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                      uint16_t sequence, const char *detail, ClientConnection *client);
void core11GSendSetupFailed(ClientConnection *client, const char *reason);
int core11GSendConnectionSetup(DisplayConnection *connection, const char *name, uint32_t nameLength,
                               const char *data, uint32_t dataLength);
const char *xscreenClientName(ClientConnection *client);
void mainFreeDeferredOutputs(ClientConnection *client);
