#include "innerwindow_fixture.h"

Window innerWindowOf(Display *d) {
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return 0;
  for (unsigned i = 0; i < count && !found; i++) {
    Window *middle = nullptr, *inner = nullptr;
    unsigned middleCount = 0, innerCount = 0;
    if (XQueryTree(d, children[i], &root, &parent, &middle, &middleCount) && middleCount == 1 &&
        XQueryTree(d, middle[0], &root, &parent, &inner, &innerCount) && innerCount == 1)
      found = inner[0];
    if (middle) XFree(middle);
    if (inner) XFree(inner);
  }
  if (children) XFree(children);
  return found;
}
