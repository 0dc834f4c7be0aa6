// What a libXext DOUBLE-BUFFER client sees of an animation, and a display's visual info.
#include "dbe_fixture.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibuf.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
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


namespace {

// The child's side: frames for ever; one byte on `ready` after the tenth.
[[noreturn]] void animateForever(const std::string &name, bool multiBuffering, int ready) {
  Display *display = XOpenDisplay(name.c_str());
  if (!display) _exit(2);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = 0x404040;
  attributes.override_redirect = True;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 290, 20, 60, 40, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
  XMapWindow(display, window);
  Drawable targets[2] = {};
  Multibuffer buffers[2] = {};
  XdbeSwapInfo info{window, XdbeBackground};
  if (multiBuffering) {
    int eventBase = 0, errorBase = 0;
    if (!XmbufQueryExtension(display, &eventBase, &errorBase) ||
        XmbufCreateBuffers(display, window, 2, MultibufferUpdateActionBackground, MultibufferUpdateHintFrequent,
                           buffers) != 2)
      _exit(3);
    targets[0] = buffers[0], targets[1] = buffers[1];
  } else {
    int major = 0, minor = 0;
    if (!XdbeQueryExtension(display, &major, &minor)) _exit(3);
    targets[0] = targets[1] = XdbeAllocateBackBufferName(display, window, XdbeBackground);
  }
  GC gc = XCreateGC(display, targets[0], 0, nullptr);
  for (unsigned long frame = 0;; frame++) {
    XSetForeground(display, gc, frame & 1 ? 0xff0000 : 0x0000ff);
    XFillRectangle(display, targets[frame & 1], gc, 0, 0, 60, 40);
    if (multiBuffering)
      XmbufDisplayBuffers(display, 1, &buffers[frame & 1], 0, 0);
    else
      XdbeSwapBuffers(display, &info, 1);
    if (frame % 8 == 0) XSync(display, False);
    if (frame == 10 && write(ready, "r", 1) != 1) _exit(4);
  }
}

}  // namespace

std::string bufferAnimationKilled(const std::string &name, bool multiBuffering) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  pid_t child = fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    close(pipeEnds[0]);
    animateForever(name, multiBuffering, pipeEnds[1]);
  }
  close(pipeEnds[1]);
  pollfd ready{pipeEnds[0], POLLIN, 0};
  std::string failure;
  char byte = 0;
  if (poll(&ready, 1, 10000) != 1 || read(pipeEnds[0], &byte, 1) != 1) failure = "the animation did not start";
  close(pipeEnds[0]);
  if (failure.empty()) usleep(50 * 1000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (failure.empty() && !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL))
    failure = "the animation ended by itself, status " + std::to_string(status);
  return failure;
}

std::string dbeXdpyinfoSummary(const std::string &name) {
  FILE *pipe = popen(("xdpyinfo -display " + name + " -ext DOUBLE-BUFFER 2>&1").c_str(), "r");
  if (!pipe) return "no xdpyinfo";
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  pclose(pipe);
  std::istringstream lines(text.substr(text.find("DOUBLE-BUFFER version") == std::string::npos
                                           ? text.size()
                                           : text.find("DOUBLE-BUFFER version")));
  std::string line, out, last;
  int run = 0;
  auto endRun = [&] {
    if (run) out += " " + std::to_string(run) + "x(" + last + ")";
    run = 0;
  };
  while (std::getline(lines, line)) {
    if (line.rfind("DOUBLE-BUFFER version", 0) == 0) {
      out += line.substr(0, line.find(" opcode"));
    } else if (line.find("Double-buffered visuals on screen") != std::string::npos) {
      endRun();
      out += "\n" + line.substr(line.find("screen"));
    } else if (size_t at = line.find("depth"); at != std::string::npos && line.find("visual id") != std::string::npos) {
      std::string entry = line.substr(at);
      if (entry != last) endRun();
      last = entry;
      run++;
    }
  }
  endRun();
  return out;
}
