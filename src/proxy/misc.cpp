// Client reads and writes, flow control and server grabs.
#include "proxy/misc.h"

// ===== Client reads, flushes and flow control ===============================================
#include <string>

#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {

void onClientReadable(void *argument) { miscReadClientInput(static_cast<ClientConnection *>(argument)); }
void onBufferedInput(void *argument) { miscProcessBufferedInput(static_cast<ClientConnection *>(argument)); }

// Cuts and dispatches what the client's input holds, then writes its display connections out.
void serveClientInput(ClientConnection *client) {
  ClientConnection *previous = xproxyCurrentClient;
  xproxyCurrentClient = client;
  xproxyHoldClient(client);
  const char *reason = xprotoProcessInput(&client->reader, &client->input);
  xproxyCurrentClient = previous == client ? nullptr : previous;
  if (client->closePending) {  // a handler closed it
    xproxyReleaseClient(client);
    return;
  }
  if (reason) {
    // The reason may live in the reader, which the close frees.
    std::string text = reason;
    xproxyCloseClient(client, text.c_str(), 1);
    xproxyReleaseClient(client);
    return;
  }
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (!xproxyFlushOrClose(client->displays[i])) break;  // that failure closed the client
  if (xproxyReleaseClient(client)) miscScheduleClientReads(client);
}

// The size of an output as flow control measures it: whole blocks.
uint64_t outputSize(const OutBuffer *output) { return outbufferCapacity(output); }

}  // namespace

void miscReadClientInput(ClientConnection *client) {
  if (client->fd < 0) return;
  int got = bufferReadFdAtMost(client->fd, kMiscReadChunk, &client->input);
  if (got == 0) {
    xproxyCloseClient(client, "Broken connection", 1);
    return;
  }
  serveClientInput(client);
}

void miscProcessBufferedInput(ClientConnection *client) {
  // The one-shot timer has fired: a descriptor reader takes its place.
  client->readOrder = nullptr;
  if (client->fd < 0) return;
  client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
  serveClientInput(client);
}

int miscFlushClientOutput(ClientConnection *client) {
  int result = outbufferFlush(&client->output);
  if (result == kOutbufferError) {
    xproxyCloseClient(client, "Broken connection", 1);
    return 0;
  }
  if (result != kOutbufferPending) {
    ordersCancel(client->writeOrder);
    client->writeOrder = nullptr;
  }
  miscScheduleClientReads(client);
  return 1;
}

int miscFlushClientOutputWait(ClientConnection *client) {
  int result = outbufferFlushWait(&client->output, 0);
  if (result == kOutbufferDone) {
    ordersCancel(client->writeOrder);
    client->writeOrder = nullptr;
  }
  miscScheduleClientReads(client);
  return result;
}

void miscScheduleClientReads(ClientConnection *client) {
  if (!client || client->closePending) return;
  if (client->fd < 0) {
    // Retained: its server connections keep being read, whatever grab is in force.
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyArmDisplayReader(client->displays[i]);
    return;
  }
  bool served = !miscGrabbingClient || miscGrabbingClient == client;
  bool serverOutputLow = true;
  for (uint32_t i = 0; i < client->displayCount; i++)
    if (outputSize(&client->displays[i]->output) > kMiscServerOutputMark) serverOutputLow = false;
  uint64_t ownOutput = outputSize(&client->output);
  // A client with setups pending stays unread: its requests would run with unknown id bases.
  // One whose own output is past the mark is not read either: it would only make the proxy
  // queue more answers for a client that does not take them.
  bool readSocket = served && serverOutputLow && client->setupsPending == 0 && ownOutput <= kMiscClientOutputMark;
  if (readSocket) {
    if (!client->readOrder) {
      if (client->input.length > 0)
        client->readOrder = ordersAddTimer(kMiscBufferedInputDelayMs, onBufferedInput, client);
      else
        client->readOrder = ordersAddReader(client->fd, onClientReadable, client);
    }
  } else if (client->readOrder) {
    ordersCancel(client->readOrder);
    client->readOrder = nullptr;
  }
  if (served && ownOutput <= kMiscClientOutputMark) {
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyArmDisplayReader(client->displays[i]);
  } else {
    for (uint32_t i = 0; i < client->displayCount; i++) xproxyCancelDisplayReader(client->displays[i]);
  }
}

void miscSuspendOtherClients(ClientConnection *grabber) {
  miscGrabbingClient = grabber;
  for (ClientConnection *c = xproxyClients; c; c = c->next) {
    if (c == grabber || c->fd < 0) continue;
    ordersCancel(c->readOrder);
    c->readOrder = nullptr;
    for (uint32_t i = 0; i < c->displayCount; i++) xproxyCancelDisplayReader(c->displays[i]);
  }
}

void miscRescheduleAllClients() {
  miscGrabbingClient = nullptr;
  for (ClientConnection *c = xproxyClients; c; c = c->next) miscScheduleClientReads(c);
}
// ===== end of client reads, flushes and flow control =========================================

// ===== Writing to a client =====
#include "proxy/xscreen.h"

void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client) {
  if (!client || !message || length == 0) return;
  client->lastEventType = message[0] & 0x7f;
  xscreenCopySwapped(message, length, layout, client);
}
// ===== end of writing to a client =====
