// The pointer's change of head on a meta screen as crossing events. The real server reports a
// change of its screens in its own terms (the pointer comes from the new screen's root, and the
// windows on the old screen get no LeaveNotify, or one flagged "other screen"); on a meta
// screen the clients get instead what one screen of its size sends for the same path: the
// EnterNotify and LeaveNotify events between the old and the new pointer window of the proxy's
// window tree. The real server's own report of that change is recognised and dropped.
#pragma once

#include <cstdint>
#include <vector>

struct ClientConnection;
struct Head;
struct MetaScreen;
struct ServerDisplay;
struct WindowRecord;

// One crossing event of a path: the event window, EnterNotify (7) or LeaveNotify (8), its
// detail (0 Ancestor, 1 Virtual, 2 Inferior, 3 Nonlinear, 4 NonlinearVirtual) and its child (the
// event window's child on the path, or NULL).
struct WindowCrossingStep {
  WindowRecord *window;
  uint8_t type;
  uint8_t detail;
  WindowRecord *child;
};

// The crossing events, in the order they are sent, of the pointer going from one window to
// another of the same tree (none when they are the same window).
std::vector<WindowCrossingStep> windowCrossingPath(WindowRecord *from, WindowRecord *to);

// The pointer moves on the meta screen from (fromX, fromY) on the head `from` to (toX, toY) on
// `to` (meta positions; state the key and button mask): the crossing events go to the clients
// that selected them (under an active pointer grab, to its client by the grab's rules), in mode
// Normal, and the real server's report of the change is expected. grabCarried: the proxy issues
// the pointer grab again on `to` (the real server then reports a grab-mode crossing between the
// grab window's copies); keyboardGrabCarried: the same for the keyboard grab (its focus events
// of the pointer's windows). Called before the real pointer is moved.
void windowCrossHeads(MetaScreen *screen, Head *from, int32_t fromX, int32_t fromY, Head *to, int32_t toX, int32_t toY,
                      uint16_t state, bool grabCarried, bool keyboardGrabCarried);

// Whether a crossing event from the real server (translated: client ids and meta positions;
// its real root on the display given) is part of the real server's report of the last change
// of head, for this client: such an event is dropped. Each window's report reaches a client
// once; the expectation lapses after a few seconds.
bool windowCrossingReportedByServer(const uint8_t *event, uint32_t realRoot, const ServerDisplay *display,
                                    const ClientConnection *client);
// The same for a FocusOut (its window a client id): the focus follows the pointer onto the new
// head's copy of the focus window (and of a carried keyboard grab's window) while the real
// pointer is still inside the old copy, and the real server reports the pointer's windows there
// leaving it (detail Pointer). On one screen the focus stays and nothing is reported.
bool windowFocusReportedByServer(const uint8_t *event, const ClientConnection *client);
