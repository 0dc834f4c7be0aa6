// Passive grab entries.
#include "proxy/xcorepassive.h"

#include <cstdlib>

#include "proxy/clientconnection.h"
#include "proxy/resource.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"

void (*xcorePassiveGrabHolds)(PassiveGrab *entry, int delta);

PassiveGrab *xcoreAddGrab(ClientConnection *client, const PassiveGrab &values) {
  auto *entry = static_cast<PassiveGrab *>(calloc(1, sizeof(PassiveGrab)));
  if (!entry) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  *entry = values;
  entry->next = entry->previous = nullptr;
  if (xcorePassiveGrabHolds) xcorePassiveGrabHolds(entry, 1);
  circListPushBack(&client->passiveGrabs, entry);
  return entry;
}

void xcoreFreeGrab(PassiveGrab *entry, ClientConnection *client) {
  if (!entry) return;
  if (xcorePassiveGrabHolds) xcorePassiveGrabHolds(entry, -1);
  if (entry->cursor && entry->cursor != kPassiveGrabKeyMarker) resourceReleaseCursor(entry->cursor);
  circListUnlink(&client->passiveGrabs, entry);
  free(entry);
}
