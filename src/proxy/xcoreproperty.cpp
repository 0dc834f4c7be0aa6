// Atom and property requests: atoms are the real server's and pass through unchanged; a
// window's properties live once on the real server, on the first head of the window's meta
// screen (for a meta screen's root: the head's window that stands for it, which holds copies
// of the real root's properties).
#include <cstring>

#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"

namespace {

uint32_t word(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);  // in the proxy's byte order once entered
  return v;
}
uint16_t half(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}

// A request that names a window at byte 4 whose meta screen picks the head; no type check (a
// bad window is the real server's error).
void forwardForWindow(uint8_t *request, uint32_t length) {
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  Head *head = xcoreFrameFirstHeadOf(word(request + 4));
  xcoreFrameForwardToHead(request, length, head, fields);
}

// InternAtom and GetAtomName carry no ids: they are written as they came.
void forwardUnchanged(uint8_t *request, uint32_t length) { xcoreFrameForwardOnce(request, length); }

}  // namespace

void xcoreInternAtom(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbss", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t nameLength = half(request + 4);
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
