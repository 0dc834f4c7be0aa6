// GL inside the proxy on the system's GL library (Mesa, software rendering), without the proxy:
// a private Xvfb, the instance set up on its screen, a direct context on a single-buffered RGB
// visual, a window of that visual made current through a tag slot of the instance; render
// command streams handed to the instance's render loops, and the window's pixels read back by
// the library's glReadPixels and from the server.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "glxcommands.h"
#include "xvfb_fixture.h"

struct GlxLibraryInstance;
struct __GLXcontextRec;

struct GlxMesaHarness {
  XvfbServer server;
  Display *display = nullptr;
  GlxLibraryInstance *instance = nullptr;
  __GLXcontextRec *context = nullptr;  // the library's GLXContext
  Colormap colormap = 0;
  Window window = 0;
  int width = 0;
  int height = 0;
  uint32_t slot = 0;  // the tag slot of the context on the window
};

// Starts the server, the instance, the context (made through the function table, then
// recorded with the instance) and a mapped window of width x height, and gives them a tag slot
// of the instance (no context current afterwards). "" or what failed; a failure leaves
// whatever was made for glxmesaStop.
std::string glxmesaStart(GlxMesaHarness &harness, int width, int height);
// Undoes glxmesaStart (safe after a failed or partial start, and twice).
void glxmesaStop(GlxMesaHarness &harness);

// Makes the slot's context current through the library's function table and records it as the
// instance's current slot: for calls straight into the table. False when the library refused.
bool glxmesaMakeCurrent(GlxMesaHarness &harness);

// The commands as one render stream (this machine's byte order, 16-bit headers) through the
// instance's render loop on the slot; respectively each as a large command (32-bit header)
// through the large-command path.
void glxmesaRender(GlxMesaHarness &harness, const std::vector<GlxCommand> &commands);
void glxmesaRenderLarge(GlxMesaHarness &harness, const std::vector<GlxCommand> &commands);

// The window's pixels as 0xRRGGBB, row by row from the top: read by the library's glReadPixels
// from the front buffer after glFinish (the slot made current first; empty when it cannot be),
// respectively taken from the server with XGetImage.
std::vector<uint32_t> glxmesaReadPixels(GlxMesaHarness &harness);
std::vector<uint32_t> glxmesaServerPixels(GlxMesaHarness &harness);

// The pixels that differ from the expected ones, "x,y: got 0x.. want 0x..", at most `limit`
// lines ("" when they agree; a size mismatch says so).
std::string glxmesaComparePixels(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want, int width,
                                 int limit = 8);
