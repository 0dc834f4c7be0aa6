// Helpers that work on any Xlib connection.
#include "xclient/xutil.h"

#include <cstring>

#include <X11/Xlibint.h>

XExtCodes *xutilHasExtension(Display *display, const char *name) {
  if (!display || !name) return nullptr;
  // A broken connection answers nothing; asking would only raise another I/O error.
  if (display->flags & XlibDisplayIOError) return nullptr;
  for (_XExtension *extension = display->ext_procs; extension; extension = extension->next) {
    if (extension->name && strcmp(extension->name, name) == 0) return &extension->codes;
  }
  return XInitExtension(display, name);
}
