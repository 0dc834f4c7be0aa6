// Where the copies of a window lie on the heads: each copy's place computed from the proxy's
// tree, root first, in 64 bits; copies whose inside would leave the real server's 16-bit range
// placed apart, their children placed against them.
#include "proxy/windowplace.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

constexpr uint32_t kInputOutput = 1;

// The meta root's copy: the inner window, at the head's origin and of the root's size.
WindowCopy rootCopy(const WindowRecord *root, int64_t originX, int64_t originY) {
  WindowCopy c{};
  c.x = WindowCopySpan{0, root->width, originX + root->x};
  c.y = WindowCopySpan{0, root->height, originY + root->y};
  return c;
}

// A child's copy against its parent's copy. Its true inside is the head's origin plus its
// place on the meta screen.
WindowCopy childCopy(const WindowRecord *w, const WindowCopy &parent, int64_t originX, int64_t originY) {
  WindowCopy c{};
  c.x = windowPlaceSpan(parent.x.inside, originX + w->x, w->width, w->borderWidth);
  c.y = windowPlaceSpan(parent.y.inside, originY + w->y, w->height, w->borderWidth);
  int64_t x = int64_t(w->originX) - w->borderWidth, y = int64_t(w->originY) - w->borderWidth;
  c.apart = c.x.offset != x || c.y.offset != y || c.x.size != w->width || c.y.size != w->height;
  return c;
}

// The window and its ancestors with the copy of each on the head, the window first.
struct Lineage {
  std::vector<const WindowRecord *> windows;
  std::vector<WindowCopy> copies;
};
Lineage lineageOf(const WindowRecord *window, const Head *head) {
  Lineage l;
  for (const WindowRecord *w = window; w; w = w->parent) l.windows.push_back(w);
  int64_t originX, originY;
  windowHeadOrigin(head, &originX, &originY);
  l.copies.resize(l.windows.size());
  size_t last = l.windows.size() - 1;
  l.copies[last] = rootCopy(l.windows[last], originX, originY);
  for (size_t i = last; i-- > 0;) l.copies[i] = childCopy(l.windows[i], l.copies[i + 1], originX, originY);
  return l;
}

// Sends the copy's place: x, y, width and height.
void sendPlace(const WindowRecord *w, Head *head, const WindowCopy &c, ClientConnection *client) {
  uint32_t id = resourceServerId(w->id, kResourceWindow, head);
  DisplayConnection *connection = client && client->displays ? miscConnectionForHead(client, head) : nullptr;
  if (connection) {
    const uint32_t values[4] = {uint32_t(c.x.offset), uint32_t(c.y.offset), c.x.size, c.y.size};
    xprotoEncodeConfigureWindow(&connection->reader.sink, id, 0xf, values);
  } else if (head->display) {
    XWindowChanges changes{};
    changes.x = c.x.offset;
    changes.y = c.y.offset;
    changes.width = int(c.x.size);
    changes.height = int(c.y.size);
    XConfigureWindow(head->display, id, CWX | CWY | CWWidth | CWHeight, &changes);
  }
}

}  // namespace

WindowCopySpan windowPlaceSpan(int64_t parentInside, int64_t inside, uint32_t size, uint32_t border) {
  int64_t copyInside = inside, copySize = size;
  if (inside < kWindowPlaceMin) {
    // The far edge stays where it is; what lies before the range's start goes (all of it,
    // but one pixel out of sight, for a window wholly before it).
    copySize = inside + int64_t(size) - kWindowPlaceMin;
    copyInside = kWindowPlaceMin;
  } else if (inside > kWindowPlaceMax) {
    copyInside = kWindowPlaceMax;  // beyond every real screen
  }
  copySize = std::clamp<int64_t>(copySize, 1, 65535);
  // Both insides lie in the range when the parent's does, so the offset does too; a border
  // wider than the range could still push it out.
  int64_t offset = std::clamp<int64_t>(copyInside - int64_t(border) - parentInside, INT16_MIN, INT16_MAX);
  return WindowCopySpan{int32_t(offset), uint32_t(copySize), parentInside + offset + int64_t(border)};
}

void windowHeadOrigin(const Head *head, int64_t *x, int64_t *y) {
  *x = int64_t(head->logical.x) - head->rect.x;
  *y = int64_t(head->logical.y) - head->rect.y;
}

int windowCopyOnHead(const WindowRecord *window, const Head *head, WindowCopy *copy) {
  if (!window || !head || !copy) return 0;
  // This runs for every ConfigureWindow: the usual depths take no allocation.
  constexpr size_t kShallow = 32;
  const WindowRecord *shallow[kShallow];
  size_t depth = 0;
  for (const WindowRecord *w = window; w && depth < kShallow; w = w->parent) shallow[depth++] = w;
  if (depth == kShallow && shallow[kShallow - 1]->parent) {
    *copy = lineageOf(window, head).copies.front();
    return 1;
  }
  int64_t originX, originY;
  windowHeadOrigin(head, &originX, &originY);
  WindowCopy c = rootCopy(shallow[depth - 1], originX, originY);
  for (size_t i = depth - 1; i-- > 0;) c = childCopy(shallow[i], c, originX, originY);
  *copy = c;
  return 1;
}

int windowPlacedApart(const WindowRecord *window, const Head *head) {
  if (!window || !head || head->idIndex >= 128) return 0;
  return (window->placedApart[head->idIndex / 64] >> (head->idIndex % 64)) & 1 ? 1 : 0;
}

void windowMarkPlacedApart(WindowRecord *window, const Head *head, int apart) {
  if (!window || !head || head->idIndex >= 128) return;
  uint64_t bit = uint64_t(1) << (head->idIndex % 64);
  uint64_t &word = window->placedApart[head->idIndex / 64];
  word = apart ? word | bit : word & ~bit;
}

void windowPlaceCopies(WindowRecord *top, Head *only, ClientConnection *client, int skipTop,
                       const WindowKnownCopies *known) {
  if (!top || !top->screen) return;
  struct Step {
    WindowRecord *window;
    WindowCopy parent;
  };
  // The stack keeps its room between calls (a call from within a call takes one of its own).
  static std::vector<Step> kept;
  static bool keptInUse = false;
  std::vector<Step> own;
  std::vector<Step> &stack = keptInUse ? own : kept;
  bool leased = &stack == &kept;
  keptInUse = true;
  for (Head *head = only ? only : top->screen->heads; head; head = only ? nullptr : head->next) {
    int64_t originX, originY;
    windowHeadOrigin(head, &originX, &originY);
    const WindowCopy *topCopy = nullptr;
    for (int i = 0; known && i < known->count && !topCopy; i++)
      if (known->heads[i] == head) topCopy = &known->copies[i];
    WindowCopy parent{};
    if (top->parent && !topCopy) windowCopyOnHead(top->parent, head, &parent);
    stack.assign(1, Step{top, parent});
    while (!stack.empty()) {
      Step step = stack.back();
      stack.pop_back();
      WindowRecord *w = step.window;
      WindowCopy c = w == top && topCopy ? *topCopy
                     : w->parent        ? childCopy(w, step.parent, originX, originY)
                                        : rootCopy(w, originX, originY);
      if (w->parent && !(skipTop && w == top)) {
        if (c.apart || windowPlacedApart(w, head)) sendPlace(w, head, c, client);
        windowMarkPlacedApart(w, head, c.apart);
      }
      for (WindowRecord *child = w->firstChild; child; child = child->nextSibling) stack.push_back(Step{child, c});
    }
  }
  if (leased) keptInUse = false;
  if (stack.capacity() > 4096)
    std::vector<Step>().swap(stack);  // a huge subtree's room is not kept
  else
    stack.clear();
}

int windowCopyForRead(const WindowRecord *window, const Head *head, const Rect &rect, const WindowRecord **reader,
                      int16_t *x, int16_t *y) {
  if (!window || !head) return 0;
  Lineage l = lineageOf(window, head);
  int64_t originX, originY;
  windowHeadOrigin(head, &originX, &originY);
  int64_t realX = originX + rect.x, realY = originY + rect.y;
  for (size_t i = 0; i < l.windows.size(); i++) {
    const WindowRecord *a = l.windows[i];
    // An ancestor reads the same pixels only when it keeps them the same way.
    if (i > 0 && (a->windowClass != kInputOutput || a->visual != window->visual || a->depth != window->depth)) continue;
    const WindowCopy &c = l.copies[i];
    int64_t border = a->parent ? a->borderWidth : 0;
    int64_t qx = realX - c.x.inside, qy = realY - c.y.inside;
    if (qx < -border || qy < -border || qx + rect.width > int64_t(c.x.size) + border ||
        qy + rect.height > int64_t(c.y.size) + border)
      continue;
    if (qx < INT16_MIN || qx > INT16_MAX || qy < INT16_MIN || qy > INT16_MAX) continue;
    *reader = a;
    *x = int16_t(qx);
    *y = int16_t(qy);
    return 1;
  }
  return 0;
}
