// Parked clients: round trips on the client's display connections instead of a wait in the
// event loop (proxy/park.h).
#include "proxy/park.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "proxy/connections.h"
#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/strtemp.h"

namespace {

void releasePark(XproxyPark *park) {
  if (--park->holds) return;
  free(park->request);
  free(park);
}

void onRoundTripReleased(uintptr_t argument) { releasePark(reinterpret_cast<XproxyPark *>(argument)); }

void setFailure(XproxyPark *park, const char *failure) {
  if (!failure) return;
  snprintf(park->failureText, sizeof park->failureText, "%s", failure);
  park->failure = park->failureText;
}

// Runs the rest of the request in a pass of its client, writes out what it produced, and lets
// flow control read the client again.
void resumeParked(XproxyPark *park) {
  ClientConnection *client = park->client;
  ordersCancel(park->order);
  park->order = nullptr;
  if (!client) return;
  client->park = nullptr;
  park->client = nullptr;
  {
    ConnectionPass pass(client);
    park->resume(park->request, park->length, park->failure);
    if (pass.clientClosed()) return releasePark(park);
    for (uint32_t i = 0; i < client->displayCount; i++)
      if (!xproxyFlushOrClose(client->displays[i])) return releasePark(park);  // that failure closed it
  }
  releasePark(park);
  miscScheduleClientReads(client);
  // Requests buffered behind the parked one go on now rather than after the buffered-input
  // delay, when flow control reads the client at all.
  if (client->readOrder && client->input.length && client->fd >= 0) miscReadClientInput(client);
}

// A park of GL waits for the end of the call of the library that runs outside the loop.
bool waitsOutside(XproxyPark *park) {
  if (!park->outside || !miscOutsideHolds()) return false;
  park->holds++;
  miscAfterOutside([park] {
    if (park->client) resumeParked(park);
    releasePark(park);
  });
  return true;
}

void onResume(void *argument) {
  auto *park = static_cast<XproxyPark *>(argument);
  ordersCancel(park->order);  // an idle order runs until cancelled
  park->order = nullptr;
  if (waitsOutside(park)) return;
  resumeParked(park);
}

// The real server holds the client's requests back (an Await, a grab of another connection):
// the request goes on without the answers, as a sync that gave up; late answers are dropped.
void onTimeout(void *argument) {
  auto *park = static_cast<XproxyPark *>(argument);
  park->order = nullptr;  // a fired one-shot timer is done
  if (!park->client) return;
  LOG(logChannelWarning, "No sync reply from %s for %s after %u ms: not waiting any longer", "X server",
      xscreenClientName(park->client), unsigned(xproxySyncWaitLimitMs));
  char text[160];
  snprintf(text, sizeof text, "Sync with %s by %s timed out after %u ms", "X server",
           xscreenClientName(park->client), unsigned(xproxySyncWaitLimitMs));
  setFailure(park, text);
  if (waitsOutside(park)) return;
  resumeParked(park);
}

// One round trip answered; the last one resumes the request from an idle order (the answer is
// being handled in a pass over the display connection's input).
void onRoundTripAnswered(uint8_t *, uintptr_t argument) {
  auto *park = reinterpret_cast<XproxyPark *>(argument);
  if (!park->client || park->waiting == 0 || --park->waiting) return;
  ordersCancel(park->order);
  park->order = ordersAddIdle(onResume, park);
  if (!park->order) resumeParked(park);  // no memory for the order: at once
}

bool writeRoundTrip(XproxyPark *park, DisplayConnection *connection) {
  if (connection->fd < 0) {
    setFailure(park, xproxyBrokenConnectionText(connection->owner));
    return false;
  }
  park->holds++;
  if (!xproxySendNoOpRequest(connection, onRoundTripAnswered, reinterpret_cast<uintptr_t>(park),
                             onRoundTripReleased)) {
    park->holds--;
    setFailure(park, OUT_OF_MEMORY_TEXT());
    return false;
  }
  park->waiting++;
  // The round trip goes out now: a request handler may park its client while nothing of the pass
  // flushes the connection yet.
  if (const char *failure = xproxyFlushDisplayConnection(connection)) LOG(logChannelProblem, "%s", failure);
  return true;
}

}  // namespace

void xproxyParkClient(ClientConnection *client, DisplayConnection *only, const uint8_t *request, uint32_t length,
                      XproxyParkResume resume) {
  auto *park = static_cast<XproxyPark *>(calloc(1, sizeof(XproxyPark)));
  auto *copy = static_cast<uint8_t *>(malloc(length ? length : 1));
  if (!park || !copy) {
    free(park);
    free(copy);
    LOG_OUT_OF_MEMORY();
    resume(const_cast<uint8_t *>(request), length, OUT_OF_MEMORY_TEXT());
    return;
  }
  if (length) memcpy(copy, request, length);
  *park = XproxyPark{client, resume, copy, length, 0, 1, nullptr, nullptr, {}, 0};
  bool written = true;
  if (only)
    written = writeRoundTrip(park, only);
  else
    for (uint32_t i = 0; i < client->displayCount && written; i++) written = writeRoundTrip(park, client->displays[i]);
  if (written && park->waiting) park->order = ordersAddTimer(xproxySyncWaitLimitMs, onTimeout, park);
  if (!written || !park->waiting || !park->order) {
    // Nothing to wait for, or no way to wait: on at once, answers that come later are dropped.
    park->client = nullptr;
    resume(park->request, park->length, park->failure);
    releasePark(park);
    return;
  }
  mainRefreshHeads();
  client->park = park;
  client->reader.bytesNeeded = kReaderStopped;  // its later requests wait behind this one
}

void xproxyParkDrain(ClientConnection *client, XproxyParkResume drained) {
  static const uint8_t kNothing[4] = {};
  xproxyParkClient(client, nullptr, kNothing, 0, drained);
}

void xproxyDropPark(ClientConnection *client) {
  XproxyPark *park = client->park;
  if (!park) return;
  client->park = nullptr;
  park->client = nullptr;
  ordersCancel(park->order);
  park->order = nullptr;
  releasePark(park);
}
