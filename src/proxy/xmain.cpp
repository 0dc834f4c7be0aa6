// ===== Colour cells of a shadow =====
#include "proxy/xmain.h"

#include "proxy/resource.h"  // the cell index and the shadow record

void xmainStoreCell(ColormapShadow *shadow, uint32_t pixel, uint16_t red, uint16_t green, uint16_t blue,
                    uint8_t flags) {
  if (!shadow || !shadow->red) return;
  if (flags & DoRed) shadow->red[resourceCellIndex(shadow, pixel, 0)] = red;
  if (flags & DoGreen) shadow->green[resourceCellIndex(shadow, pixel, 1)] = green;
  if (flags & DoBlue) shadow->blue[resourceCellIndex(shadow, pixel, 2)] = blue;
}

void xmainQueryCell(const ColormapShadow *shadow, uint32_t pixel, XColor *colour) {
  colour->red = colour->green = colour->blue = 0;
  if (!shadow || !shadow->red) return;
  colour->red = shadow->red[resourceCellIndex(shadow, pixel, 0)];
  colour->green = shadow->green[resourceCellIndex(shadow, pixel, 1)];
  colour->blue = shadow->blue[resourceCellIndex(shadow, pixel, 2)];
}
// ===== end of colour cells of a shadow =====

// ===== Extension list and zoom scaling =====
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xproxyext.h"
#include "xext/xtest.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibinput.h"
#include "support/rect.h"
#include <algorithm>


namespace {

constexpr const char *kSource = "Proxy/xmain";

const char *attachWithInjection(Display *display) { return xrcInitDisplay(display, kXrcInject); }

int noPointerGrab() { return 0; }

// An extension the proxy offers itself: under the lowest free major opcode, without event or
// error codes of the real server. The record, or NULL when it is not offered.
ExtensionRecord *addOwnExtension(const char *name, uint16_t version) {
  uint8_t major = xmainAllocExtensionOpcode();
  if (major == 0) return nullptr;  // opcodes exhausted: the extension is not offered
  ExtensionRecord *record = xproxyInitExtension(name, version, major, 0, 0);
  if (!record || !record->name) return nullptr;
  record->providedByProxy = 1;
  return record;
}

// The real display's extension names, copied so that the Xlib list can be freed at once.
const char *listDisplayExtensions(Display *display, std::vector<std::string> *names) {
  int count = 0;
  char **list = XListExtensions(display, &count);
  const char *error = nullptr;
  try {
    for (int k = 0; k < count && list; k++)
      if (list[k]) names->emplace_back(list[k]);
  } catch (const std::bad_alloc &) {
    error = OUT_OF_MEMORY_TEXT_AT(kSource);
  }
  if (list) XFreeExtensionList(list);
  return error;
}

}  // namespace

XmainRemoteControlAttach xmainAttachRemoteControl = attachWithInjection;
XmainExtensionQuery xmainQueryExtension = XQueryExtension;
int (*xmainPointerGrabbed)() = noPointerGrab;

uint8_t xmainAllocExtensionOpcode() {
  for (unsigned major = 128; major < 256; major++)
    if (!proxyState.extensions[major].name) return uint8_t(major);
  logWrite(logChannelWarning, kSource, __LINE__, logFormat("X extension opcodes exhausted"));
  return 0;
}

const char *xmainInitExtensions() {
  if (proxyState.extensionListBuilt) return nullptr;
  xtestEmulated = 0;  // a new generation decides again
  ServerDisplay *first = mainServerDisplays;
  Display *display = first ? first->display : nullptr;
  if (display) {
    std::vector<std::string> names;
    if (const char *error = listDisplayExtensions(display, &names)) return error;
    for (const std::string &name : names) {
      if (extIsDisabled(name.c_str())) {
        logStep("Extension %s disabled ...", name.c_str());
        continue;
      }
      int major = 0, firstEvent = 0, firstError = 0;
      // A major outside the extension range cannot index a record of its own: the extension
      // is treated like one whose query failed.
      if (!xmainQueryExtension(display, name.c_str(), &major, &firstEvent, &firstError) || major < 128 || major > 255) {
        LOG(logChannelXhint, "Display %s lists extension %s, but query failed", first->name, name.c_str());
        continue;
      }
      xproxyInitExtension(name.c_str(), 0, uint8_t(major), uint8_t(firstEvent), uint8_t(firstError));
    }
  }
  if (!extFindByName("MIT-SHM")) addOwnExtension("MIT-SHM", 0);
  if (!extFindByName("MORWENTECH MULTIMEDIA")) addOwnExtension("MORWENTECH MULTIMEDIA", 0);
  if (!extFindByName("XINERAMA")) addOwnExtension("XINERAMA", 0);
  if (!extFindByName("XTEST") && display && !extIsDisabled("XTEST")) {
    if (const char *error = xmainAttachRemoteControl(display))
      logProblem(error, kSource, __LINE__);
    else if (addOwnExtension("XTEST", 0))
      xtestEmulated = 1;
  }
  if (!extFindByName("DOUBLE-BUFFER")) addOwnExtension("DOUBLE-BUFFER", 64);
  proxyState.extensionListBuilt = 1;
  return nullptr;
}

void xmainScalePoint(int32_t *x, int32_t *y, const Head *head) {
  if (!head || (head->zoomX == 1.0 && head->zoomY == 1.0)) return;
  // Truncation toward zero; a product beyond the 32-bit range saturates.
  auto scale = [](int32_t value, double zoom) {
    double product = std::trunc(double(value) * zoom);
    if (!(product >= double(INT32_MIN))) return INT32_MIN;
    if (product > double(INT32_MAX)) return INT32_MAX;
    return int32_t(product);
  };
  *x = scale(*x, head->zoomX);
  *y = scale(*y, head->zoomY);
}
// ===== end of extension list and zoom scaling =====

// ===== Real-display events =====
namespace {

// The head of the meta screen whose crossing window (the middle window) is the window.
Head *crossingHead(MetaScreen *screen, Window window) {
  for (Head *h = screen->heads; h; h = h->next)
    if (h->display && h->middleWindow && h->middleWindow == window) return h;
  return nullptr;
}

constexpr int kCorePointer = 256;

// The head's visible rectangle inside its meta screen.
Rect shownRect(const Head *h) {
  return Rect{h->rect.x, h->rect.y, h->visible.width ? h->visible.width : h->rect.width,
              h->visible.height ? h->visible.height : h->rect.height};
}
bool shows(const Head *h, int32_t x, int32_t y) {
  Rect r = shownRect(h);
  return int64_t(x) >= r.x && int64_t(x) < int64_t(r.x) + r.width && int64_t(y) >= r.y &&
         int64_t(y) < int64_t(r.y) + r.height;
}
// Where the real screen's 0,0 lies in the meta screen.
int32_t originX(const Head *h) { return int32_t(std::clamp<int64_t>(int64_t(h->rect.x) - h->logical.x, INT32_MIN, INT32_MAX)); }
int32_t originY(const Head *h) { return int32_t(std::clamp<int64_t>(int64_t(h->rect.y) - h->logical.y, INT32_MIN, INT32_MAX)); }

// The pointer left the head's crossing window: the pointer state follows it to the head it went to.
void carryPointer(MetaScreen *screen, Head *head, const XCrossingEvent &event) {
  (void)screen;
  Display *display = head->display;
  if (!display) return;
  // 4. Into a child of the proxy's windows on the same root: the head under the pointer holds it.
  if (event.root == head->root && event.detail == NotifyNonlinearVirtual) {
    int32_t x = 0, y = 0;
    if (Head *under = mainQueryPointerOnHead(display, head, &x, &y)) {
      mainSetPointerHead(kCorePointer, under, x, y, 0);
      return;
    }
  }
  int32_t realX = event.x_root, realY = event.y_root;
  // 5. Onto another screen of the same display: the crossing is undone towards this head.
  Head *other = nullptr;
  if (event.root != head->root) {
    other = mainFindHeadByRoot(head->serverDisplay, event.root);
    if (other) {
      int x = 0, y = 0;
      xrcUndoScreenCrossing(display, int(other->screen), originX(other), originY(other), event.x_root, event.y_root,
                            head->screen, originX(head), originY(head), &x, &y);
      realX = x, realY = y;
    }
  }
  // 6. Meta position, the physical crossing and the head it leads to.
  int32_t metaX = realX, metaY = realY;
  xproxyHeadToRootXY(&metaX, &metaY, head);
  xpointerSetHeadPosition(&head->pointerArea, display, head->screen, realX - head->logical.x,
                          realY - head->logical.y);
  Head *target = mainNearestHead(head);
  if (!target) target = head;
  if (target != head) {
    int px = 0, py = 0;
    xpointerToPixels(&target->pointerArea, target->display, target->screen, &px, &py);
    int32_t tx = int32_t(std::clamp<int64_t>(int64_t(px) + target->logical.x, INT32_MIN, INT32_MAX));
    int32_t ty = int32_t(std::clamp<int64_t>(int64_t(py) + target->logical.y, INT32_MIN, INT32_MAX));
    xproxyHeadToRootXY(&tx, &ty, target);
    Rect r = shownRect(target);
    rectClampPoint(&tx, &ty, r);
    metaX = tx, metaY = ty;
  }
  // 7. Staying on the pointer head: a pan at the edge, else the position kept on the head.
  if (head == proxyState.pointerHead && target == head) {
    XCrossingEvent copy = event;
    if (xproxyPanAtEdge(head, &copy)) return;
    if (!xproxyPanActive(head, event.state)) rectClampPoint(&metaX, &metaY, shownRect(target));
  }
  // 8. A crossing the real server made itself onto another screen of the display.
  if (other && other != head && !proxyState.pointerGrab.client && !proxyState.keyboardGrab.client) {
    int32_t x = event.x_root, y = event.y_root;
    xproxyHeadToRootXY(&x, &y, other);
    if (shows(other, x, y)) {
      rectClampPoint(&x, &y, shownRect(other));
      if (x == metaX && y == metaY)
        mainSetPointerHead(kCorePointer, other, x, y, 0);
      else
        mainPointerTrack(kCorePointer, nullptr, other->metaScreen, x, y, 0);
      return;
    }
  }
  if (target->metaScreen) mainPointerTrack(kCorePointer, nullptr, target->metaScreen, metaX, metaY, 0);
}

void handleLeave(const XCrossingEvent &event) {
  if (mainServerDisplays && mainServerDisplays->display) XFlush(mainServerDisplays->display);
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) {
    Head *head = crossingHead(screen, event.window);
    if (!head) continue;
    if (event.send_event) {
      logStep("LeaveEvent by XSendEvent ignored ...");
      continue;
    }
    if (xmainPointerGrabbed() || event.mode == NotifyGrab || event.mode == NotifyUngrab ||
        event.mode == NotifyWhileGrabbed) {
      logStep("LeaveEvent ignored while grabbed (handled by doXPointerTracking) ...");
      continue;
    }
    logStep("Pointer left %s at %d,%d (mode=%d detail=%d) ...", head->name, event.x_root, event.y_root, event.mode,
            event.detail);
    carryPointer(screen, head, event);
  }
}

}  // namespace

void xmainHandleDisplayEvents(Display *display, int mode) {
  if (display) {
    for (int count = XEventsQueued(display, mode); count > 0; count--) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == LeaveNotify) handleLeave(event.xcrossing);
      if (event.type == ClientMessage && event.xclient.send_event)
        xproxyServerProbeBack(display, uint32_t(event.xclient.window));
    }
  }
  if (mainServerDisplays && mainServerDisplays->display) XFlush(mainServerDisplays->display);
}
// ===== end of real-display events =====
