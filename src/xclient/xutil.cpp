// Helpers that work on any Xlib connection.
#include "xclient/xutil.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

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

int xutilScreenOfRoot(Display *display, Window window) {
  if (!display) return -1;
  for (int screen = 0; screen < ScreenCount(display); screen++) {
    if (RootWindow(display, screen) == window) return screen;
  }
  return -1;
}

unsigned char *xutilBeginRequest(Display *display, int majorOpcode, int minorCode, size_t bytes) {
  auto *request = static_cast<unsigned char *>(
      _XGetRequest(display, static_cast<CARD8>(majorOpcode), bytes));
  memset(request + 1, 0, bytes - 1);
  request[1] = static_cast<unsigned char>(minorCode);
  uint16_t length = static_cast<uint16_t>(bytes / 4);
  memcpy(request + 2, &length, 2);
  return request;
}

namespace {

// Every table made by xutilExtensionDisplay; the mutex guards the list and the tables' creation.
// The list is never destroyed: a display may still be closed while the process exits.
std::mutex extensionsMutex;
std::vector<XExtensionInfo *> &extensionTables = *new std::vector<XExtensionInfo *>;

// The close hook of every extension kept here: Xlib runs it once per such extension while it
// closes the display, and the first run takes the display out of all tables (the later runs
// find nothing left). No table is used between the hooks of one close.
int removeClosedDisplay(Display *display, XExtCodes *) {
  std::lock_guard<std::mutex> guard(extensionsMutex);
  for (XExtensionInfo *table : extensionTables) XextRemoveDisplay(table, display);
  return 0;
}

XExtensionHooks closeOnlyHooks = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, removeClosedDisplay,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

XExtDisplayInfo *xutilExtensionDisplay(XutilExtension *extension, Display *display,
                                       XPointer (*makeData)(Display *display)) {
  if (!extension || !display) return nullptr;
  XExtensionInfo *table;
  {
    std::lock_guard<std::mutex> guard(extensionsMutex);
    if (!extension->info) {
      extension->info = XextCreateExtension();
      if (!extension->info) return nullptr;
      extensionTables.push_back(extension->info);
    }
    table = extension->info;
  }
  if (XExtDisplayInfo *found = XextFindDisplay(table, display)) return found;
  XPointer data = makeData ? makeData(display) : nullptr;
  return XextAddDisplay(table, display, extension->name, &closeOnlyHooks, 0, data);
}
