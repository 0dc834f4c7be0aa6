// Pointer and focus queries: TranslateCoordinates goes to the head under the point it asks
// about, GetInputFocus to the real server as it came; their replies name windows the way the
// client knows them.
#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

uint32_t word(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);  // in the proxy's byte order once entered
  return v;
}
int16_t signedHalf(const uint8_t *p) {
  int16_t v;
  memcpy(&v, p, 2);
  return v;
}

// Maps the window id at the offset of the reply back to the client's id.
void mapWindowBack(uint8_t *reply, uint32_t offset) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t id = mainServerToProxyXid(word(reply + offset), connection ? connection->display : nullptr);
  memcpy(reply + offset, &id, 4);
}

// The head a TranslateCoordinates goes to: for a known source window the first head of its
// meta screen that holds the point (the window's position plus the offsets), else that meta
// screen's first head; without a source window the first head of the destination's meta
// screen, or of the source id's.
Head *translateHead(uint32_t source, uint32_t destination, int16_t x, int16_t y) {
  auto *window = static_cast<WindowRecord *>(resourceLookupByType(source, kResourceWindow));
  if (window && window->screen) {
    int64_t px = int64_t(window->x) + x, py = int64_t(window->y) + y;
    for (Head *head = window->screen->heads; head; head = head->next)
      if (px >= head->rect.x && px < int64_t(head->rect.x) + head->rect.width && py >= head->rect.y &&
          py < int64_t(head->rect.y) + head->rect.height)
        return head;
    return window->screen->heads;
  }
  MetaScreen *screen = resourceMetaScreenOf(destination);
  if (!screen) screen = resourceMetaScreenOfId(source);
  return screen ? screen->heads : nullptr;
}

}  // namespace

void xcoreTranslateCoordinates(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {8, kResourceWindow}, {0, 0}};
  Head *head = translateHead(word(request + 4), word(request + 8), signedHalf(request + 12), signedHalf(request + 14));
  xcoreFrameForwardToHead(request, length, head, fields);
}

void xcoreTranslateCoordinatesReply(uint8_t *reply, uint32_t length) {
  mapWindowBack(reply, 8);
  xcoreFrameWriteReply(reply, length, "bbsiiss");
}

void xcoreGetInputFocus(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreGetInputFocusReply(uint8_t *reply, uint32_t length) {
  mapWindowBack(reply, 8);
  xcoreFrameWriteReply(reply, length, "bbsii");
}
