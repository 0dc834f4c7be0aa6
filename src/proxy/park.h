// Parked clients: a request that needs the real server to have taken the client's earlier
// requests (or to have answered) before it can go on parks its client instead of waiting in
// the event loop. The client's input stays unread, its later requests wait behind it, and the
// loop serves every other client; when the round trips written for it have been answered (or
// the sync limit has passed) the request goes on through its resume routine.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// The rest of a parked request: called with the client current (in a pass of its own), the
// request as the handler had it (the proxy's byte order) and NULL once every round trip was
// answered, else the failure text (broken connection, time-out) that the blocking sync gave.
using XproxyParkResume = void (*)(uint8_t *request, uint32_t length, const char *failure);

// One parked request. Owned by its client while parked (client->park) and by each round trip
// still queued on a display connection (their release routines): freed by the last of them.
struct XproxyPark {
  ClientConnection *client;  // NULL once resumed or dropped by the client's close
  XproxyParkResume resume;
  uint8_t *request;          // a copy, freed with the record
  uint32_t length;
  uint32_t waiting;          // round trips not answered yet
  uint32_t holds;            // the client's hold and one per queued round trip
  Order *order;              // the time-out timer, then the idle order that resumes; the
                             // close of the client cancels it
  const char *failure;       // a static or temporary text kept as a copy in failureText
  char failureText[200];
  // Its rest calls the GL library: while a call of it runs outside the loop, it goes on only
  // after that (connections.h, miscCallOutside). Set by the parker after xproxyParkClient.
  uint8_t outside;
};

// Parks the current request of the client behind a round trip on each of its display
// connections (only on `only` when given): the reader stops after this request. When nothing
// can be written (a broken connection, no memory) resume runs at once with the failure.
// `request` is copied.
void xproxyParkClient(ClientConnection *client, DisplayConnection *only, const uint8_t *request, uint32_t length,
                      XproxyParkResume resume);
// (A parked client's client->park is set: flow control does not read it meanwhile. Its close
// drops the parked request without running it: xproxyDropPark, proxy/connections.h.)
