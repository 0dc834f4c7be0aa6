// Pointer state: which head holds the pointer, moving the pointer between heads, queries of
// the real pointer and the pointer poll's answers.
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

int mainSetPointerHead(int, Head *head, int32_t x, int32_t y, int) {
  int changed = head != proxyState.pointerHead;
  proxyState.pointerHead = head;
  proxyState.pointerX = x;
  proxyState.pointerY = y;
  return changed;
}

void mainPointerTrack(int, ClientConnection *, MetaScreen *, int32_t, int32_t, int) {}
void mainPointerFollow(Head *, Head *, int32_t, int32_t, unsigned, int) {}
uint32_t mainServerIdOnPointerHead(uint32_t id) { return id; }
int mainQueryPointer(Display *, Window, int32_t, int32_t, Head **head, int32_t *, int32_t *, int *) {
  if (head) *head = nullptr;
  return 0;
}
Head *mainQueryPointerOnHead(Display *, Head *, int32_t *, int32_t *) { return nullptr; }
void mainWarpPointerOnHead(int, ClientConnection *, Head *, int32_t, int32_t) {}
void mainSelectInputOnHeads(ClientConnection *, long) {}
Head *mainNearestHead(Head *head) { return head; }
void mainQueryPointerReply(uint8_t *, uintptr_t) {}
void mainFlushHeadRegions() {}

const char *xproxyQueryPointerPosition(ClientConnection *, Head **head, int32_t *x, int32_t *y) {
  *head = proxyState.pointerHead;
  *x = proxyState.pointerX;
  *y = proxyState.pointerY;
  return nullptr;
}
