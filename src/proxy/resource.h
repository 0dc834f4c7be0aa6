// The resource database: client slots and the resources each client owns. Until the resource
// tables exist these keep only what the connection code needs: a free slot per client.
#pragma once

#include <cstdint>

struct ClientConnection;

constexpr uint32_t kResourceClientSlots = 1024;  // slot 0 is the proxy's own
constexpr uint32_t kResourceIdShift = 22;        // a client's ids carry its slot in the top bits

// The lowest slot 1..1023 that no listed client holds; 0 when all are taken.
uint32_t resourceFreeClientSlot();
// Sets up the client's resource table; 1 on success.
int resourceInitClient(ClientConnection *client);
// Frees every resource of the client (no current client while it runs).
void resourceFreeAllOfClient(ClientConnection *client);
// Destroys a proxy-made id on every real display after its request failed.
void resourceDestroyEverywhere(uint32_t id);
