// Client slots. The resource tables themselves come later; slots are found by walking the
// client list, which holds every client that has one (retained clients included).
#include "proxy/resource.h"

#include <bitset>

#include "proxy/clientconnection.h"

uint32_t resourceFreeClientSlot() {
  std::bitset<kResourceClientSlots> taken;
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c->index < kResourceClientSlots) taken.set(c->index);
  for (uint32_t slot = 1; slot < kResourceClientSlots; slot++)
    if (!taken.test(slot)) return slot;
  return 0;
}

int resourceInitClient(ClientConnection *) { return 1; }

void resourceFreeAllOfClient(ClientConnection *) {}

void resourceDestroyEverywhere(uint32_t) {}
