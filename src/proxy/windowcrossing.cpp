// The pointer's change of head on a meta screen as crossing events: the path between the old
// and the new pointer window of the proxy's window tree by the core protocol's rules, sent to
// the clients that selected it, and the real server's own report of the change recognised.
#include "proxy/windowcrossing.h"

#include <algorithm>
#include <tuple>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/orders.h"
#include "support/wirewords.h"

namespace {

enum : uint8_t { kEnterNotify = 7, kLeaveNotify = 8, kFocusOut = 10 };
enum : uint8_t { kAncestor = 0, kVirtual = 1, kInferior = 2, kNonlinear = 3, kNonlinearVirtual = 4, kFocusPointer = 5 };
enum : uint8_t { kModeNormal = 0, kModeGrab = 1, kModeUngrab = 2, kModeWhileGrabbed = 3 };
constexpr uint32_t kEnterWindowMask = 0x10, kLeaveWindowMask = 0x20;
constexpr uintptr_t kCrossingDeliver = 0x80000000u;
// How long the real server's report of a change of head is waited for: it is written at once,
// but read only after the pass over the requests that moved the pointer (a loaded machine
// takes seconds); this bounds a report that never comes (a client that selected nothing on the
// way). A report's events all carry the time of its first one, so waiting long drops no later
// crossing at the same place.
constexpr uint64_t kReportLifetimeMs = 10000;

bool isInferior(const WindowRecord *window, const WindowRecord *ancestor) {
  for (const WindowRecord *w = window ? window->parent : nullptr; w; w = w->parent)
    if (w == ancestor) return true;
  return false;
}

// The events on the ancestors of `window` strictly below `top` (bottom up for LeaveNotify, top
// down for EnterNotify), each naming its child on the way to `window`.
void addBetween(std::vector<WindowCrossingStep> *steps, WindowRecord *window, const WindowRecord *top, uint8_t type,
                uint8_t detail) {
  size_t first = steps->size();
  for (WindowRecord *child = window, *w = window->parent; w && w != top; child = w, w = w->parent)
    steps->push_back({w, type, detail, child});
  if (type == kEnterNotify) std::reverse(steps->begin() + long(first), steps->end());
}

// The input focus holds the window: it is the focus window or an inferior of it (PointerRoot:
// the root of the pointer's screen, which holds every window of it).
bool focusHolds(const WindowRecord *window) {
  uint32_t focus = proxyState.focusWindow;
  if (focus == 0) return false;
  if (focus == 1) return true;
  for (const WindowRecord *w = window; w; w = w->parent)
    if (w->id == focus) return true;
  return false;
}

uint32_t maskOfClient(const WindowRecord *window, const ClientConnection *client) {
  for (const EventSelection *s = window->selections; s; s = s->next)
    if (s->client == client) return s->mask;
  return 0;
}

// The event of a step at the pointer's new position, for one client at its sequence number.
void sendStep(const WindowCrossingStep &step, const MetaScreen *screen, int32_t x, int32_t y, uint16_t state,
              ClientConnection *client) {
  uint8_t event[32] = {};
  event[0] = step.type;
  event[1] = step.detail;
  wirePut16(event + 2, uint16_t(client->sequence));
  wirePut32(event + 4, proxyState.serverTime);
  wirePut32(event + 8, screen->root);
  wirePut32(event + 12, step.window->id);
  wirePut32(event + 16, step.child ? step.child->id : 0);
  wirePut16(event + 20, uint16_t(x));
  wirePut16(event + 22, uint16_t(y));
  // In 64 bits: a window far off the screen must not overflow the difference.
  wirePut16(event + 24, uint16_t(int64_t(x) - step.window->x));
  wirePut16(event + 26, uint16_t(int64_t(y) - step.window->y));
  wirePut16(event + 28, state);
  event[30] = kModeNormal;
  event[31] = uint8_t(0x02 | (focusHolds(step.window) ? 0x01 : 0));
  // Held in the client's block of its sequence: the real server's events of the same request
  // (the motion of the warp) come after it, those of earlier requests before.
  mainWriteInSequence(event, 32, xcoreEventRows[step.type - 2].layout, client, kCrossingDeliver);
}

// Every client that selected the step's event gets it; under an active pointer grab only the
// grabbing client, when the event window is the grab window and the grab's mask has the event,
// or with owner-events when its own mask has it.
void deliverStep(const WindowCrossingStep &step, const MetaScreen *screen, int32_t x, int32_t y, uint16_t state) {
  uint32_t bit = step.type == kEnterNotify ? kEnterWindowMask : kLeaveWindowMask;
  const auto &g = proxyState.pointerGrab;
  if (g.client) {
    uint32_t own = g.ownerEvents ? maskOfClient(step.window, g.client) : 0;
    uint32_t mask = (g.window == step.window->id ? g.eventMask : 0) | own;
    if (mask & bit) sendStep(step, screen, x, y, state, g.client);
    return;
  }
  for (EventSelection *s = step.window->selections; s; s = s->next)
    if (s->client && (s->mask & bit)) sendStep(step, screen, x, y, state, s->client);
}

// The report the real server gives of a change of head. Lifetime: made by the change of head
// (windowCrossHeads), kept in `reports` until it lapses at `expiry` (or the list is full); it
// names heads by their real roots, clients by their slot numbers and windows by their ids, and
// only compares its display, so a head, client, window or display that goes meanwhile leaves
// nothing dangling (a reset needs no step of its own).
struct ServerReport {
  const ServerDisplay *display;
  uint32_t toRoot, fromRoot;       // the real roots of the new and the old head
  int32_t toX, toY, fromX, fromY;  // the meta positions after and before
  std::vector<uint32_t> entered;   // the new pointer window and its ancestors (client ids)
  std::vector<uint32_t> grabbed;   // the carried grab's window and its ancestors; empty: none
  // The server time of the report's crossing events from the new head (the warp) and from the
  // old one (the carried grab), taken from the first one seen (0: none seen yet): the real
  // server gives all of them one time, and a later crossing at the same place another.
  uint32_t entryTime, regrabTime;
  // The old pointer window and its ancestors below the focus window: the focus moves to the
  // new head's copy of the focus window while the real pointer is still on the old head, and the
  // real server reports the pointer's windows leaving the old copy (FocusOut, detail Pointer, in
  // focusMode: Normal, or WhileGrabbed under a keyboard grab). The same below a carried keyboard
  // grab's window (mode Grab).
  std::vector<uint32_t> focusOut, keyboardOut;
  uint8_t focusMode;
  uint64_t expiry;
  // What each client got of it: client slot, window, event code with the mode (or'ed in << 4).
  std::vector<std::tuple<uint32_t, uint32_t, uint8_t>> seen;
};
// The changes of head whose reports may still be on their way, oldest first: the pointer can
// cross back and forth many times in one pass over a client's requests before the real
// server's events of the first crossing are read.
constexpr size_t kReportsKept = 64;
std::vector<ServerReport> reports;

std::vector<uint32_t> chainOf(const WindowRecord *window) {
  std::vector<uint32_t> ids;
  for (const WindowRecord *w = window; w; w = w->parent) ids.push_back(w->id);
  return ids;
}

bool holds(const std::vector<uint32_t> &ids, uint32_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

// The window and its ancestors below the focus (or grab) window; empty when that is not a
// window holding it.
std::vector<uint32_t> below(uint32_t focus, const WindowRecord *window) {
  std::vector<uint32_t> ids;
  if (focus <= 1) return ids;
  for (const WindowRecord *w = window; w; w = w->parent) {
    if (w->id == focus) return ids;
    ids.push_back(w->id);
  }
  return {};
}

// Each window's report reaches a client once.
bool firstReport(ServerReport &report, const ClientConnection *client, uint32_t window, uint8_t kind) {
  auto key = std::make_tuple(client->index, window, kind);
  if (std::find(report.seen.begin(), report.seen.end(), key) != report.seen.end()) return false;
  report.seen.push_back(key);
  return true;
}

// Drops the lapsed reports; whether any is left.
bool reportsLeft() {
  uint64_t now = ordersClock();
  std::erase_if(reports, [now](const ServerReport &r) { return now > r.expiry; });
  return !reports.empty();
}

}  // namespace

std::vector<WindowCrossingStep> windowCrossingPath(WindowRecord *from, WindowRecord *to) {
  std::vector<WindowCrossingStep> steps;
  if (!from || !to || from == to) return steps;
  if (isInferior(to, from)) {
    steps.push_back({from, kLeaveNotify, kInferior, nullptr});
    addBetween(&steps, to, from, kEnterNotify, kVirtual);
    steps.push_back({to, kEnterNotify, kAncestor, nullptr});
  } else if (isInferior(from, to)) {
    steps.push_back({from, kLeaveNotify, kAncestor, nullptr});
    addBetween(&steps, from, to, kLeaveNotify, kVirtual);
    steps.push_back({to, kEnterNotify, kInferior, nullptr});
  } else {
    WindowRecord *common = from->parent;
    while (common && !isInferior(to, common)) common = common->parent;
    steps.push_back({from, kLeaveNotify, kNonlinear, nullptr});
    addBetween(&steps, from, common, kLeaveNotify, kNonlinearVirtual);
    addBetween(&steps, to, common, kEnterNotify, kNonlinearVirtual);
    steps.push_back({to, kEnterNotify, kNonlinear, nullptr});
  }
  return steps;
}

void windowCrossHeads(MetaScreen *screen, Head *from, int32_t fromX, int32_t fromY, Head *to, int32_t toX, int32_t toY,
                      uint16_t state, bool grabCarried, bool keyboardGrabCarried) {
  auto *root = screen ? static_cast<WindowRecord *>(resourceLookupWindow(screen->root)) : nullptr;
  if (!root || !from || !to) return;
  WindowRecord *oldWindow = windowAtPoint(root, fromX, fromY, 1);
  WindowRecord *newWindow = windowAtPoint(root, toX, toY, 1);
  for (const WindowCrossingStep &step : windowCrossingPath(oldWindow, newWindow))
    deliverStep(step, screen, toX, toY, state);
  ServerReport report{};
  report.display = to->serverDisplay;
  report.toRoot = uint32_t(to->root);
  report.fromRoot = from->serverDisplay == to->serverDisplay ? uint32_t(from->root) : 0;
  report.toX = toX, report.toY = toY, report.fromX = fromX, report.fromY = fromY;
  report.entered = chainOf(newWindow);
  const auto &g = proxyState.pointerGrab;
  if (grabCarried && g.client) report.grabbed = chainOf(static_cast<WindowRecord *>(resourceLookupWindow(g.window)));
  report.focusOut = below(proxyState.focusWindow, oldWindow);
  const auto &k = proxyState.keyboardGrab;
  report.focusMode = k.client ? kModeWhileGrabbed : kModeNormal;
  if (keyboardGrabCarried && k.client) report.keyboardOut = below(k.window, oldWindow);
  report.expiry = ordersClock() + kReportLifetimeMs;
  reportsLeft();
  if (reports.size() >= kReportsKept) reports.erase(reports.begin());
  reports.push_back(std::move(report));
}

bool windowCrossingReportedByServer(const uint8_t *event, uint32_t realRoot, const ServerDisplay *display,
                                    const ClientConnection *client) {
  if (!client || !display || !reportsLeft()) return false;
  uint8_t detail = event[1], mode = event[30];
  uint32_t time = wireGet32(event + 4), window = wireGet32(event + 12);
  int16_t x = int16_t(wireGet16(event + 20)), y = int16_t(wireGet16(event + 22));
  for (ServerReport &report : reports) {
    if (display != report.display) continue;
    bool entry = event[0] == kEnterNotify && mode == kModeNormal && realRoot == report.toRoot &&
                 x == int16_t(report.toX) && y == int16_t(report.toY) && detail != kInferior &&
                 (report.entryTime == 0 || time == report.entryTime) && holds(report.entered, window);
    // The carried grab: the real server moves the grab from the old head's copy of its window,
    // where the pointer still is, to the new head's, a nonlinear crossing in mode Grab.
    bool regrab = mode == kModeGrab && realRoot == report.fromRoot && x == int16_t(report.fromX) &&
                  y == int16_t(report.fromY) && (detail == kNonlinear || detail == kNonlinearVirtual) &&
                  (report.regrabTime == 0 || time == report.regrabTime) && holds(report.grabbed, window);
    if ((!entry && !regrab) || !firstReport(report, client, window, uint8_t(event[0] | mode << 4))) continue;
    (entry ? report.entryTime : report.regrabTime) = time;
    return true;
  }
  return false;
}

bool windowFocusReportedByServer(const uint8_t *event, const ClientConnection *client) {
  if (!client || !reportsLeft()) return false;
  uint8_t code = event[0], detail = event[1], mode = event[8];
  uint32_t window = wireGet32(event + 4);
  if (code != kFocusOut || detail != kFocusPointer || mode > kModeWhileGrabbed || mode == kModeUngrab) return false;
  for (ServerReport &report : reports)
    if ((mode == kModeGrab ? holds(report.keyboardOut, window) : mode == report.focusMode && holds(report.focusOut, window)) &&
        firstReport(report, client, window, uint8_t(code | mode << 4)))
      return true;
  return false;
}
