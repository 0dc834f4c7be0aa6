#include "glxmesa_fixture.h"

#include <cstdio>

// Brings Xlib's Xutil.h in the proxy's way (XGetPixel, XDestroyImage).
#include "xext/glxinstance.h"

#include "support/logging.h"
#include "xclient/xtarget.h"
#include "xext/glxdirect.h"

namespace {

constexpr uint32_t kGlx14 = 68;
const char *const kLibrary = "libGL:libGL.so.1";
constexpr uint32_t kProxyTag = 0x51;
constexpr GLenum kGlDoubleBuffer = 0x0C32;

}  // namespace

std::string glxmesaStart(GlxMesaHarness &harness, int width, int height) {
  static bool logging = [] {
    static char name[] = "glxmesa_fixture", *argv[] = {name, nullptr};
    logInit(1, argv, "", "");
    return true;
  }();
  (void)logging;
  XvfbOptions options;
  options.screens = {"320x240x24"};
  std::string started = harness.server.start(options);
  if (!started.empty()) return started;
  harness.display = XOpenDisplay(harness.server.displayName().c_str());
  if (!harness.display) return "cannot open " + harness.server.displayName();
  XSetErrorHandler(xtargetTrapErrorHandler);
  GlCapabilities caps;
  if (const char *failure = glxdirectSetupDisplay(kLibrary, kGlx14, harness.display, 0, &harness.instance, &caps))
    return std::string("set-up: ") + failure;
  const GlFunctionTable &gl = harness.instance->functions;

  // An RGB visual without a back buffer.
  int attributes[] = {GLX_RGBA, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
  XVisualInfo *visual = gl.glXChooseVisual(harness.display, 0, attributes);
  if (!visual) return "no single-buffered RGB visual";
  Window root = RootWindow(harness.display, 0);
  harness.colormap = XCreateColormap(harness.display, root, visual->visual, AllocNone);
  XSetWindowAttributes set{};
  set.colormap = harness.colormap;
  set.border_pixel = 0;
  set.background_pixel = 0;
  harness.window = XCreateWindow(harness.display, root, 10, 10, unsigned(width), unsigned(height), 0, visual->depth,
                                 InputOutput, visual->visual, CWColormap | CWBorderPixel | CWBackPixel, &set);
  harness.context = gl.glXCreateContext(harness.display, visual, nullptr, True);
  XFree(visual);
  if (!harness.window) return "no window";
  if (!harness.context) return "no context";
  harness.width = width;
  harness.height = height;
  XMapWindow(harness.display, harness.window);
  XSync(harness.display, False);

  // The context and its tag slot as the proxy records them.
  uint32_t serial = glxdirectAddContext(harness.instance, harness.context);
  if (!serial) return "the context was not recorded";
  harness.slot = glxdirectCreateTag(harness.instance, serial, uint32_t(harness.window), uint32_t(harness.window),
                                    kProxyTag);
  if (!harness.slot) return "no tag slot";
  if (!glxmesaMakeCurrent(harness)) return "cannot make the context current";
  if (!gl.glXIsDirect(harness.display, harness.context)) return "the context is not direct";
  if (glxdirectGetInteger(harness.instance, kGlDoubleBuffer) != 0) return "the visual is double-buffered";
  gl.glXMakeContextCurrent(harness.display, None, None, nullptr);
  harness.instance->currentTagSlot = 0;
  return "";
}

void glxmesaStop(GlxMesaHarness &harness) {
  if (harness.instance) {
    const GlFunctionTable &gl = harness.instance->functions;
    if (harness.slot) dGLDestroyTag(harness.instance, harness.slot);
    gl.glXMakeContextCurrent(harness.display, None, None, nullptr);
    harness.instance->currentTagSlot = 0;
    if (harness.context) gl.glXDestroyContext(harness.display, harness.context);
    glxdirectFreeInstance(harness.instance);
  }
  harness.instance = nullptr;
  harness.context = nullptr;
  harness.slot = 0;
  if (harness.display) {
    if (harness.window) XDestroyWindow(harness.display, harness.window);
    if (harness.colormap) XFreeColormap(harness.display, harness.colormap);
    XCloseDisplay(harness.display);
  }
  harness.display = nullptr;
  harness.window = 0;
  harness.colormap = 0;
  harness.server.stop();
}

bool glxmesaMakeCurrent(GlxMesaHarness &harness) {
  if (!harness.instance || !harness.slot) return false;
  const GlxDirectTagSlot &slot = harness.instance->tagSlots[harness.slot];
  if (!harness.instance->functions.glXMakeContextCurrent(harness.display, slot.drawDrawable, slot.readDrawable,
                                                          slot.context)) {
    harness.instance->currentTagSlot = 0;
    return false;
  }
  harness.instance->currentTagSlot = harness.slot;
  return true;
}

void glxmesaRender(GlxMesaHarness &harness, const std::vector<GlxCommand> &commands) {
  GlxBytes stream = glxcommandStream(commands, false);
  glxdirectRender(harness.instance, harness.slot, stream.data(), stream.data() + stream.size());
}

void glxmesaRenderLarge(GlxMesaHarness &harness, const std::vector<GlxCommand> &commands) {
  for (const GlxCommand &command : commands) {
    GlxBytes large = glxcommandEncodeLarge(command, false);
    glxdirectRenderLarge(harness.instance, harness.slot, large.data(), large.size());
  }
}

std::vector<uint32_t> glxmesaReadPixels(GlxMesaHarness &harness) {
  if (!glxmesaMakeCurrent(harness)) return {};
  const GlFunctionTable &gl = harness.instance->functions;
  gl.glFinish();
  int w = harness.width, h = harness.height;
  std::vector<uint8_t> rgba(size_t(w) * size_t(h) * 4);
  gl.glPixelStorei(GL_PACK_ALIGNMENT, 1);
  gl.glPixelStorei(GL_PACK_ROW_LENGTH, 0);
  gl.glPixelStorei(GL_PACK_SKIP_ROWS, 0);
  gl.glPixelStorei(GL_PACK_SKIP_PIXELS, 0);
  gl.glReadBuffer(GL_FRONT);
  gl.glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  std::vector<uint32_t> out(size_t(w) * size_t(h));
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const uint8_t *p = &rgba[(size_t(h - 1 - y) * size_t(w) + size_t(x)) * 4];  // GL counts rows from the bottom
      out[size_t(y) * size_t(w) + size_t(x)] = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
  return out;
}

std::vector<uint32_t> glxmesaServerPixels(GlxMesaHarness &harness) {
  if (!harness.display || !harness.window) return {};
  XImage *image = XGetImage(harness.display, harness.window, 0, 0, unsigned(harness.width), unsigned(harness.height),
                            AllPlanes, ZPixmap);
  if (!image) return {};
  std::vector<uint32_t> out;
  for (int y = 0; y < harness.height; y++)
    for (int x = 0; x < harness.width; x++) out.push_back(uint32_t(XGetPixel(image, x, y)) & 0xFFFFFF);
  XDestroyImage(image);
  return out;
}

std::string glxmesaComparePixels(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want, int width,
                                 int limit) {
  if (got.size() != want.size())
    return "got " + std::to_string(got.size()) + " pixels, want " + std::to_string(want.size());
  std::string out;
  int differing = 0;
  for (size_t k = 0; k < got.size(); k++) {
    if (got[k] == want[k]) continue;
    if (differing++ < limit) {
      char line[96];
      snprintf(line, sizeof line, "%zu,%zu: got 0x%06x want 0x%06x\n", k % size_t(width), k / size_t(width), got[k],
               want[k]);
      out += line;
    }
  }
  if (differing > limit) out += std::to_string(differing - limit) + " more\n";
  return out;
}
