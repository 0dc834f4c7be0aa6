// What a libXext DOUBLE-BUFFER client sees of an animation, and a display's visual info.
#include "dbe_fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>

#include <cstdio>
#include <string>

namespace {

int lastErrorCode = 0;
int recordError(Display *, XErrorEvent *event) {
  lastErrorCode = event->error_code;
  return 0;
}

}  // namespace

std::string dbePixels(Display *display, Drawable drawable) {
  char text[32];
  snprintf(text, sizeof text, "%06lx+%06lx", dbePixelAt(display, drawable, 5, 5), dbePixelAt(display, drawable, 50, 5));
  return text;
}
unsigned long dbePixelAt(Display *display, Drawable drawable, int x, int y) {
  XImage *image = XGetImage(display, drawable, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return ~0ul;
  unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
  XDestroyImage(image);
  return pixel;
}

std::string dbeAnimate(const std::string &name) {
  Display *display = XOpenDisplay(name.c_str());
  if (!display) return "no display " + name;
  XSetErrorHandler(recordError);
  int major = 0, minor = 0;
  if (!XdbeQueryExtension(display, &major, &minor)) {
    XCloseDisplay(display);
    return "no DOUBLE-BUFFER";
  }
  std::string out = "version " + std::to_string(major) + "." + std::to_string(minor) + "\n";
  const unsigned long colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00};
  Window root = DefaultRootWindow(display);
  for (int action = XdbeUndefined; action <= XdbeCopied; action++) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = 0x404040;
    attributes.override_redirect = True;
    Window window = XCreateWindow(display, root, 290, 20, 60, 40, 0, CopyFromParent, InputOutput, CopyFromParent,
                                  CWBackPixel | CWOverrideRedirect, &attributes);
    XMapWindow(display, window);
    XSync(display, False);
    XdbeBackBuffer back = XdbeAllocateBackBufferName(display, window, XdbeSwapAction(action));
    GC gc = XCreateGC(display, back, 0, nullptr);
    out += "action " + std::to_string(action) + ":";
    for (unsigned long colour : colours) {
      XSetForeground(display, gc, colour);
      XFillRectangle(display, back, gc, 0, 0, 60, 40);
      XSync(display, False);
      out += " " + dbePixels(display, window) + ">";
      XdbeSwapInfo info{window, XdbeSwapAction(action)};
      XdbeSwapBuffers(display, &info, 1);
      XSync(display, False);
      out += dbePixels(display, window);
      if (action != XdbeUndefined) out += "/" + dbePixels(display, back);
    }
    XdbeBackBufferAttributes *got = XdbeGetBackBufferAttributes(display, back);
    out += got && got->window == window ? " attributes ok" : " attributes wrong";
    if (got) XFree(got);
    XdbeDeallocateBackBufferName(display, back);
    lastErrorCode = 0;
    XFillRectangle(display, back, gc, 0, 0, 1, 1);
    XSync(display, False);
    out += " freed: error " + std::to_string(lastErrorCode) + "\n";
    XFreeGC(display, gc);
    XDestroyWindow(display, window);
  }
  XCloseDisplay(display);
  return out;
}

std::string dbeVisualInfo(const std::string &name) {
  Display *display = XOpenDisplay(name.c_str());
  if (!display) return "no display " + name;
  int screens = 0;
  XdbeScreenVisualInfo *info = XdbeGetVisualInfo(display, nullptr, &screens);
  std::string out;
  for (int s = 0; info && s < screens; s++) {
    out += "screen " + std::to_string(s) + ": " + std::to_string(info[s].count);
    for (int k = 0; k < info[s].count; k++)
      out += " " + std::to_string(info[s].visinfo[k].depth) + "/" + std::to_string(info[s].visinfo[k].perflevel);
    out += "\n";
  }
  // libXext's free releases the first screen's list only: the others are freed here.
  for (int s = 1; info && s < screens; s++) XFree(info[s].visinfo);
  if (info) XdbeFreeVisualInfo(info);
  XCloseDisplay(display);
  return out;
}

