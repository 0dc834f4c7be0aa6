// The XTEST extension. With a real server that has XTEST most requests go to it; without one
// the proxy adds XTEST itself and injects fake keys and buttons through the remote-control
// library on the first head's display (xtestEmulated). Pointer motion is always the proxy's own
// pointer tracking, and the version is always answered here.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

struct ClientConnection;

// The request rows (for tests and diagnostics).
extern const ExtRequestTable xtestTable;

// Set when XTEST is served through the remote-control library (XTEST added by the proxy); the
// extension list decides it at each start-up and reset.
extern int xtestEmulated;

// The milliseconds a FakeInput delay (in the request's time field) holds its sender: the
// remote-control library's delay unit for the first head's display (option 1; 100 when the
// library is not attached there) times the delay / 100, in 64 bits; 0 for a negative unit.
uint64_t xtestDelayMs(uint32_t delay);

// Carries out a checked FakeInput of type 2 to 6 (the 36 bytes in the proxy's byte order) for
// the client: keys and buttons through the remote-control library after syncing the client's
// connection, motion through the pointer tracking. Tests replace it.
using XtestInject = void (*)(ClientConnection *client, const uint8_t *request);
extern XtestInject xtestInject;

// ===== set-up =====
// Registers the record (no events, no errors), writes the four rows and the reset. NULL, or
// extRegister's text after which the record is cleared and the extension is not offered.
const char *xtestSetup(ExtensionRecord *record);
// ===== end of set-up =====
