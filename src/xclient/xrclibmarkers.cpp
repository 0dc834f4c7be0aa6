// The remote-control library's markers, highlighting and window picking.
#include "xclient/xrclibmarkers.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "xclient/xutilh.h"  // before Xmu, which includes Xutil.h

#include <X11/Xmu/WinUtil.h>
#include <X11/extensions/XInput2.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xdpms.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibcursors.h"
#include "xclient/xtarget.h"

namespace {

constexpr int kMarkerSize = 32;
constexpr int kMarkerHot = 16;
constexpr uint32_t kInput20 = 2 * 64;

void sleepMs(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The marker window's picture: a cross through the hot spot, its mask one pixel wider.
std::vector<char> markerBits(bool mask) {
  constexpr size_t kStride = kMarkerSize / 8;
  std::vector<char> bits(kStride * kMarkerSize);
  int widen = mask ? 1 : 0;
  for (int y = 0; y < kMarkerSize; y++) {
    for (int x = 0; x < kMarkerSize; x++) {
      bool on = (x >= kMarkerHot - 1 - widen && x <= kMarkerHot + widen) ||
                (y >= kMarkerHot - 1 - widen && y <= kMarkerHot + widen);
      if (on) bits[static_cast<size_t>(y) * kStride + x / 8] |= static_cast<char>(1 << (x % 8));
    }
  }
  return bits;
}

unsigned long allocatePixel(Display *display, Colormap colormap, unsigned short red,
                            unsigned short green, unsigned short blue, unsigned long fallback,
                            bool *allocated) {
  XColor color{};
  color.red = red, color.green = green, color.blue = blue;
  color.flags = DoRed | DoGreen | DoBlue;
  if (XAllocColor(display, colormap, &color)) {
    *allocated = true;
    return color.pixel;
  }
  return fallback;
}

// The master pointer whose XTEST slave carries the name "<name> XTEST pointer"; 0 when none.
int findMaster(Display *display, const char *name) {
  int count = 0;
  XIDeviceInfo *devices = XIQueryDevice(display, XIAllDevices, &count);
  int master = 0;
  std::string slave = std::string(name) + " XTEST pointer";
  for (int i = 0; devices && i < count; i++) {
    if (devices[i].use == XISlavePointer && devices[i].name && slave == devices[i].name) {
      master = devices[i].attachment;
    }
  }
  if (devices) XIFreeDeviceInfo(devices);
  return master;
}

const char *createMaster(XrcMarker *marker, const char *name) {
  Display *display = marker->display;
  XIAddMasterInfo add{};
  add.type = XIAddMaster;
  add.name = const_cast<char *>(name);
  add.send_core = True;
  add.enable = True;
  {
    XtargetErrorTrap trap(display);
    XIChangeHierarchy(display, reinterpret_cast<XIAnyHierarchyChangeInfo *>(&add), 1);
    if (trap.errorCame()) return xrcError(display, "Can't add master pointer '%s'", name);
  }
  marker->masterId = findMaster(display, name);
  if (!marker->masterId) return xrcError(display, "No master pointer '%s'", name);
  Window root = RootWindow(display, marker->screen);
  Cursor invisible = xrcCreateInvisibleCursor(display);
  XIDefineCursor(display, marker->masterId, root, invisible);
  XFreeCursor(display, invisible);
  XIWarpPointer(display, marker->masterId, None, root, 0, 0, 0, 0, kXrcMarkerHidden,
                kXrcMarkerHidden);
  XFlush(display);
  return nullptr;
}

const char *createWindow(XrcMarker *marker) {
  Display *display = marker->display;
  int event, error;
  if (!XShapeQueryExtension(display, &event, &error)) {
    return xrcError(display, "No SHAPE extension for a marker window");
  }
  int screen = marker->screen;
  Window root = RootWindow(display, screen);
  marker->colormap = DefaultColormap(display, screen);
  bool foreground = false, background = false;
  marker->pixels[0] = allocatePixel(display, marker->colormap, 0xffff, 0, 0,
                                    BlackPixel(display, screen), &foreground);
  marker->pixels[1] = allocatePixel(display, marker->colormap, 0xffff, 0xffff, 0xffff,
                                    WhitePixel(display, screen), &background);
  marker->pixelsAllocated = static_cast<uint8_t>((foreground ? 1 : 0) | (background ? 2 : 0));
  marker->hotX = marker->hotY = kMarkerHot;
  std::vector<char> picture = markerBits(false), mask = markerBits(true);
  Pixmap background_pixmap = XCreatePixmapFromBitmapData(
      display, root, picture.data(), kMarkerSize, kMarkerSize, marker->pixels[0],
      marker->pixels[1], static_cast<unsigned>(DefaultDepth(display, screen)));
  Pixmap shape = XCreateBitmapFromData(display, root, mask.data(), kMarkerSize, kMarkerSize);
  Cursor invisible = xrcCreateInvisibleCursor(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.colormap = marker->colormap;
  attributes.cursor = invisible;
  attributes.background_pixmap = background_pixmap;
  marker->window = XCreateWindow(
      display, root, -kMarkerSize, -kMarkerSize, kMarkerSize, kMarkerSize, 0,
      DefaultDepth(display, screen), InputOutput, DefaultVisual(display, screen),
      CWOverrideRedirect | CWColormap | CWCursor | CWBackPixmap, &attributes);
  XShapeCombineMask(display, marker->window, ShapeBounding, 0, 0, shape, ShapeSet);
  XFreePixmap(display, background_pixmap);
  XFreePixmap(display, shape);
  XFreeCursor(display, invisible);
  XFlush(display);
  return nullptr;
}

// Draws the shapes under a server grab with an inverting GC, drawMs apart, waits 100 ms, and
// draws them again eraseMs apart, which erases them.
void invertShapes(Display *display, int screen, int count, int drawMs, int eraseMs,
                  void (*draw)(Display *, Window, GC, int index, const int *geometry),
                  const int *geometry) {
  Window root = RootWindow(display, screen);
  XGCValues values{};
  values.function = GXinvert;
  values.line_width = 3;
  values.line_style = LineSolid;
  values.subwindow_mode = IncludeInferiors;
  values.foreground = 0xffffffff;
  values.plane_mask = AllPlanes;
  GC gc = XCreateGC(display, root,
                    GCFunction | GCLineWidth | GCLineStyle | GCSubwindowMode | GCForeground |
                        GCPlaneMask,
                    &values);
  XGrabServer(display);
  for (int pass = 0; pass < 2; pass++) {
    for (int i = 0; i < count; i++) {
      draw(display, root, gc, i, geometry);
      XFlush(display);
      sleepMs(pass == 0 ? drawMs : eraseMs);
    }
    if (pass == 0) sleepMs(100);
  }
  XUngrabServer(display);
  XFreeGC(display, gc);
  XSync(display, False);
}

void drawCircle(Display *display, Window root, GC gc, int index, const int *geometry) {
  int diameter = 250 - 30 * index;
  XDrawArc(display, root, gc, geometry[0] - 125 + 15 * index, geometry[1] - 125 + 15 * index,
           static_cast<unsigned>(diameter), static_cast<unsigned>(diameter), 0, 360 * 64);
}

void drawInset(Display *display, Window root, GC gc, int index, const int *geometry) {
  int inset = 20 - index;
  int width = geometry[2] - 2 * inset, height = geometry[3] - 2 * inset;
  if (width <= 0 || height <= 0) return;
  XDrawRectangle(display, root, gc, geometry[0] + inset, geometry[1] + inset,
                 static_cast<unsigned>(width), static_cast<unsigned>(height));
}

void drawCrossing(Display *display, Window root, GC gc, int, const int *geometry) {
  XDrawLine(display, root, gc, 0, geometry[1], geometry[2] - 1, geometry[1]);
  XDrawLine(display, root, gc, geometry[0], 0, geometry[0], geometry[3] - 1);
}

const char *checkScreen(Display *display, int screen) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (screen < 0 || screen >= ScreenCount(display)) {
    return xrcError(display, "No screen #%d", screen);
  }
  return nullptr;
}

const char *pick(Display *display, unsigned shape, unsigned button, Window *window) {
  *window = None;
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (shape >= 154) return xrcError(display, "No font cursor #%u", shape);
  Window root = DefaultRootWindow(display);
  Cursor cursor = XCreateFontCursor(display, shape);
  int status = XGrabPointer(display, root, False, ButtonPressMask | ButtonReleaseMask,
                            GrabModeSync, GrabModeAsync, None, cursor, CurrentTime);
  if (status != GrabSuccess) {
    // Nobody could click while another client holds the pointer: no waiting for it.
    XFreeCursor(display, cursor);
    return xrcError(display, "Can't grab %s to pick a window (%s)", xrcDeviceName(kXrcMouse),
                    status == AlreadyGrabbed ? "AlreadyGrabbed" : "GrabFrozen");
  }
  xdpmsWake(display, nullptr);
  Window picked = None;
  for (;;) {
    XAllowEvents(display, SyncPointer, CurrentTime);
    XEvent event;
    XWindowEvent(display, root, ButtonPressMask | ButtonReleaseMask, &event);
    Window under = event.xbutton.subwindow ? event.xbutton.subwindow : root;
    if (event.type == ButtonPress && picked == None) picked = under;
    if (event.type == ButtonRelease && (button == 0 || event.xbutton.button == button)) {
      if (picked == None) picked = under;
      break;
    }
  }
  XUngrabPointer(display, CurrentTime);
  XFreeCursor(display, cursor);
  XFlush(display);
  *window = picked;
  return nullptr;
}

}  // namespace

const char *xrcCreateMarker(Display *display, int screen, const char *name, XrcMarker **marker) {
  *marker = nullptr;
  if (const char *error = checkScreen(display, screen)) return error;
  auto created = static_cast<XrcMarker *>(calloc(1, sizeof(XrcMarker)));
  if (!created) return OUT_OF_MEMORY_TEXT_AT("xrclibmarkers");
  created->display = display;
  created->screen = screen;
  const char *error;
  if (xrcInputExtensionVersion(display) >= kInput20) {
    created->kind = kXrcMarkerMaster;
    error = createMaster(created, name && *name ? name : "marker");
  } else {
    created->kind = kXrcMarkerWindow;
    error = createWindow(created);
  }
  if (error) {
    xrcDestroyMarker(created);
    return error;
  }
  *marker = created;
  return nullptr;
}

const char *xrcMoveMarker(XrcMarker *marker, int x, int y) {
  if (!marker) return xrcError(nullptr, "No marker");
  Display *display = marker->display;
  marker->x = x;
  marker->y = y;
  if (marker->kind == kXrcMarkerMaster) {
    if (!marker->shown) marker->shown = 1;
    XIWarpPointer(display, marker->masterId, None, RootWindow(display, marker->screen), 0, 0, 0,
                  0, x, y);
  } else {
    XMoveWindow(display, marker->window, x - marker->hotX, y - marker->hotY);
    if (!marker->shown) return xrcShowMarker(marker, 1);
    XRaiseWindow(display, marker->window);
  }
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcShowMarker(XrcMarker *marker, int show) {
  if (!marker) return xrcError(nullptr, "No marker");
  Display *display = marker->display;
  marker->shown = show ? 1 : 0;
  if (marker->kind == kXrcMarkerMaster) {
    int x = show ? marker->x : kXrcMarkerHidden, y = show ? marker->y : kXrcMarkerHidden;
    XIWarpPointer(display, marker->masterId, None, RootWindow(display, marker->screen), 0, 0, 0,
                  0, x, y);
  } else if (show) {
    XMapRaised(display, marker->window);
    XSetSelectionOwner(display, kXrcMarkerSelection, marker->window, CurrentTime);
  } else {
    XSetSelectionOwner(display, kXrcMarkerSelection, None, CurrentTime);
    XUnmapWindow(display, marker->window);
    XLowerWindow(display, marker->window);
  }
  xrcFlushIfWanted(display);
  return nullptr;
}

void xrcDestroyMarker(XrcMarker *marker) {
  if (!marker) return;
  Display *display = marker->display;
  if (marker->kind == kXrcMarkerMaster && marker->masterId) {
    XIRemoveMasterInfo remove{};
    remove.type = XIRemoveMaster;
    remove.deviceid = marker->masterId;
    remove.return_mode = XIFloating;
    XtargetErrorTrap trap(display);
    XIChangeHierarchy(display, reinterpret_cast<XIAnyHierarchyChangeInfo *>(&remove), 1);
    trap.errorCame();
  }
  if (marker->window) {
    if (marker->shown) XSetSelectionOwner(display, kXrcMarkerSelection, None, CurrentTime);
    XDestroyWindow(display, marker->window);
  }
  for (int i = 0; i < 2; i++) {
    if (marker->pixelsAllocated & (1 << i)) {
      XFreeColors(display, marker->colormap, &marker->pixels[i], 1, 0);
    }
  }
  XFlush(display);
  free(marker);
}

int xrcMarkerShown(Display *display) {
  return display && XGetSelectionOwner(display, kXrcMarkerSelection) != None;
}

const char *xrcHighlightPosition(Display *display, int screen, int x, int y) {
  if (const char *error = checkScreen(display, screen)) return error;
  logStep("Highlighting position %d,%d...", x, y);
  const int geometry[2] = {x, y};
  invertShapes(display, screen, 8, 15, 20, drawCircle, geometry);
  return nullptr;
}

const char *xrcHighlightArea(Display *display, int screen, int x, int y, unsigned width,
                             unsigned height) {
  if (const char *error = checkScreen(display, screen)) return error;
  logStep("Highlighting geometry %ux%u...", width, height);
  if (width > 0x7fff || height > 0x7fff) {
    return xrcError(display, "Geometry %ux%u is too large", width, height);
  }
  const int geometry[4] = {x, y, static_cast<int>(width), static_cast<int>(height)};
  invertShapes(display, screen, 21, 10, 15, drawInset, geometry);
  return nullptr;
}

const char *xrcHighlightCrossing(Display *display, int screen, int x, int y) {
  if (const char *error = checkScreen(display, screen)) return error;
  logStep("Highlighting crossing %d,%d...", x, y);
  const int geometry[4] = {x, y, DisplayWidth(display, screen), DisplayHeight(display, screen)};
  invertShapes(display, screen, 1, 150, 0, drawCrossing, geometry);
  return nullptr;
}

const char *xrcPickWindow(Display *display, unsigned shape, unsigned button, Window *window) {
  return pick(display, shape, button, window);
}

const char *xrcPickClientWindow(Display *display, unsigned shape, unsigned button,
                                Window *window) {
  const char *error = pick(display, shape, button, window);
  if (!error && *window && *window != DefaultRootWindow(display)) {
    *window = XmuClientWindow(display, *window);
  }
  return error;
}
