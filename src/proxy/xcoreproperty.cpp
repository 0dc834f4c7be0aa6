// Atom, property, selection and SendEvent requests: atoms are the real server's and pass
// through unchanged; a window's properties and selections live once on the real server, on the
// first head of the window's meta screen (for a meta screen's root: the head's window that
// stands for it, which holds copies of the real root's properties).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xdisplay.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/byteswap.h"

namespace {

// A request that names a window at byte 4 whose meta screen picks the head; no type check (a
// bad window is the real server's error).
void forwardForWindow(uint8_t *request, uint32_t length) {
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  Head *head = xcoreFrameFirstHeadOf(wireGet32(request + 4));
  xcoreFrameForwardToHead(request, length, head, fields);
}

// InternAtom and GetAtomName carry no ids: they are written as they came.
void forwardUnchanged(uint8_t *request, uint32_t length) { xcoreFrameForwardOnce(request, length); }

}  // namespace

void xcoreInternAtom(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbss", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t nameLength = wireGet16(request + 4);
  if (!xcoreFrameCheckLength(request, length, 8 + ((uint64_t(nameLength) + 3) & ~3ull))) return;
  forwardUnchanged(request, length);
}
void xcoreInternAtomReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsii"); }

void xcoreGetAtomName(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardUnchanged(request, length);
}
void xcoreGetAtomNameReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsis"); }

void xcoreGetProperty(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiiii", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardForWindow(request, length);
}
void xcoreGetPropertyReply(uint8_t *reply, uint32_t length) {
  // The value is swapped in items of the property's format; bytes stay as they are.
  WireLayout layout = reply[1] == 32 ? "bbsI" : reply[1] == 16 ? "bbsiiiiiiiS" : "bbsiiii";
  xcoreFrameWriteReply(reply, length, layout);
}

void xcoreListProperties(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardForWindow(request, length);
}
void xcoreListPropertiesReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsissI"); }

// ===== properties, selections and sent events =====
namespace {

constexpr uint32_t kAtomString = 31, kAtomWmClientMachine = 36, kAtomWmName = 39, kAtomWmNormalHints = 40,
                   kAtomWmSizeHints = 41, kAtomWmClass = 67;
constexpr uint8_t kBadValue = 2, kBadWindow = 3;
constexpr char kKeepVisibleClass[] = "KeepWindowsVisible";  // with its NUL: 19 bytes

// Copies the first bytes of a value into a name field that is still empty (at most size - 1
// bytes, ending with a NUL); a field already set is never replaced.
void learnName(char *field, size_t size, const uint8_t *value, uint64_t bytes) {
  if (field[0] || bytes == 0) return;
  size_t n = size_t(std::min<uint64_t>(bytes, size - 1));
  memcpy(field, value, n);
  field[n] = '\0';
}

// What a ChangeProperty teaches the proxy: the client's names, a window's normal hints (a
// program position kept visible, rewritten in place) and the keep-visible exemption.
void learnFromProperty(uint8_t *request, uint32_t windowId, WindowRecord *window, uint64_t items) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t property = wireGet32(request + 8), type = wireGet32(request + 12);
  uint8_t format = request[16];
  uint8_t *value = request + 24;
  if (format == 8 && type == kAtomString && items > 0 && client) {
    if (property == kAtomWmClientMachine) learnName(client->machineName, sizeof client->machineName, value, items);
    if (property == kAtomWmName) learnName(client->windowName, 32, value, items);
  }
  if (property == kAtomWmNormalHints && type == kAtomWmSizeHints && format == 32 && items == 18 && window) {
    uint32_t hints[18];
    memcpy(hints, value, sizeof hints);
    windowKeepHintsVisible(window, hints);
    memcpy(value, hints, sizeof hints);
  }
  if (property == kAtomWmClass && type == kAtomString && format == 8 && items > 0) {
    if (items >= sizeof kKeepVisibleClass && memcmp(value, kKeepVisibleClass, sizeof kKeepVisibleClass) == 0) {
      LOG(logChannelStep, "No keepWindowsVisible for win tree 0x%x by %s", windowId,
          xscreenClientName(client));
      if (window) window->keepVisibleExempt = 1;
    } else if (client && !client->className[0]) {
      // The class is the second string: the bytes after the first NUL, within the value.
      const void *nul = memchr(value, 0, size_t(items));
      if (nul) {
        auto *start = static_cast<const uint8_t *>(nul) + 1;
        uint64_t rest = items - uint64_t(start - value);
        const void *end = memchr(start, 0, size_t(rest));
        uint64_t n = end ? uint64_t(static_cast<const uint8_t *>(end) - start) : rest;
        learnName(client->className, 32, start, n);
      }
    }
  }
}

// The atoms clients have made selections of, so that a retained client's close can ask the real
// server who owns each (a selection of its windows is then given up). A set: a client that names
// many different atoms costs one lookup per request, not a walk of everything named so far.
// Bounded: a client that names ever new atoms (the real server refuses those that are none) must
// not grow the proxy; past the bound a selection is still set, only a retained close would not
// give it up.
std::unordered_set<uint32_t> selectionAtoms;
constexpr size_t kSelectionAtomsMax = 4096;

}  // namespace

void xcoreChangeProperty(uint8_t *request, uint32_t length) {
  // The format decides the swap and the length: checked before either.
  if (length < 24) return xprotoSendError(16, length, request, length, nullptr);
  uint8_t format = request[16];
  if (format != 8 && format != 16 && format != 32) return xprotoSendError(kBadValue, format, request, length, nullptr);
  static const XcoreRequestShape shape{"H24", 24, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint64_t items = wireGet32(request + 20);
  if (!xcoreFrameCheckLength(request, length, 24 + ((items * (format / 8) + 3) & ~uint64_t(3)))) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return;
  learnFromProperty(request, id, static_cast<WindowRecord *>(resourceLookupByType(id, kResourceWindow)), items);
  forwardForWindow(request, length);
}

void xcoreDeleteProperty(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsii", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardForWindow(request, length);
}

void xcoreSetSelectionOwner(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiii", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t selection = wireGet32(request + 8);
  if (selectionAtoms.size() < kSelectionAtomsMax) {
    try {
      selectionAtoms.insert(selection);
    } catch (const std::bad_alloc &) {
      // Out of memory: the selection is still set; only a retained close would not give it up.
    }
  } else if (!selectionAtoms.count(selection)) {
    LOG(logChannelXhint, "Selection 0x%x not recorded (%zu selections known) in SetSelectionOwner by %s", selection,
        selectionAtoms.size(), xscreenClientName(xproxyCurrentClient));
  }
  // Owner None has no meta screen: the first head of the first one (xcoreFrameFirstHeadOf).
  forwardForWindow(request, length);
}

void xcoreGetSelectionOwner(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardUnchanged(request, length);
}

void xcoreGetSelectionOwnerReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
  xcoreFrameWriteReply(reply, length, "bbsI");
}

void xcoreConvertSelection(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiI", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  forwardForWindow(request, length);
}

void xcoreSendEvent(uint8_t *request, uint32_t length) {
  // The length first: the event's layout is read from inside the request.
  if (length != 44) return xprotoSendError(16, length, request, length, nullptr);
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->reader.swapped) {
    const uint8_t *event = request + 12;
    uint32_t code = event[0] == 35 ? wireGet32(event + 8, 1) : uint32_t(event[0] & 0x7f);
    std::string layout = "bbsii";
    if (code < 256 && proxyState.eventLayouts[code]) layout += proxyState.eventLayouts[code];
    if (layout.size() > 79) layout.resize(79);
    byteswapByFormat(layout.c_str(), request, request + length);
  }
  uint32_t destination = wireGet32(request + 4);
  Head *pointerHead = proxyState.pointerHead;
  Head *head = nullptr;
  if (destination <= 1) {
    head = pointerHead ? pointerHead : xcoreFrameFirstHeadOf(destination);
  } else {
    MetaScreen *screen = resourceMetaScreenOf(destination);
    head = pointerHead && screen && pointerHead->metaScreen == screen ? pointerHead : xcoreFrameFirstHeadOf(destination);
  }
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  xcoreFrameForwardToHead(request, length, head, destination <= 1 ? nullptr : fields);
}

void xcoreReleaseRetainedSelections(ClientConnection *client) {
  Display *display = mainServerDisplays ? mainServerDisplays->display : nullptr;
  if (!client || !display) return;
  // Every owner asked at once; the answers are waited for at most the sync limit in all (after
  // one that did not come in time the others are dropped unread, and those selections stay).
  xcb_connection_t *connection = XGetXCBConnection(display);
  std::vector<std::pair<uint32_t, unsigned>> asked;
  asked.reserve(selectionAtoms.size());
  for (uint32_t atom : selectionAtoms) asked.emplace_back(atom, xcb_get_selection_owner(connection, atom).sequence);
  bool stalled = false;
  for (auto [atom, sequence] : asked) {
    auto *reply = static_cast<xcb_get_selection_owner_reply_t *>(
        xdisplayWaitReply(display, sequence, "GetSelectionOwner", &stalled, true));
    if (!reply) continue;
    uint32_t owner = reply->owner;
    free(reply);
    if (owner == None) continue;
    uint32_t id = 0;
    if (resourceServerToClientIdOf(owner, mainServerDisplays, &id) && resourceSlotOf(id) == client->index)
      XSetSelectionOwner(display, atom, None, CurrentTime);
  }
  // Out at once: the loop flushes this connection only when the real display has events, and
  // the next owner (or the next client's question) must not meet the old owner.
  XFlush(display);
}
// ===== end of properties, selections and sent events =====
