// Writing messages into a client's output.
#include "proxy/misc.h"

// ===== Writing to a client =====
#include "proxy/xscreen.h"

void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client) {
  if (!client || !message || length == 0) return;
  client->lastEventType = message[0] & 0x7f;
  xscreenCopySwapped(message, length, layout, client);
}
// ===== end of writing to a client =====

// ===== Raw FreeGC and colour replication on one real colormap =====
#include <algorithm>
#include <cstdlib>
#include <vector>

#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#undef min
#undef max
#include <xcb/xcb.h>

#include "proxy/xdisplay.h"
#include "xclient/xtarget.h"
#include "support/logging.h"
#include "support/strtemp.h"

void miscFreeGC(Display *dpy, uint32_t gc) {
  if (!dpy) return;
  xResourceReq *req;
  LockDisplay(dpy);
  GetResReq(FreeGC, gc, req);
  (void)req;
  UnlockDisplay(dpy);
  SyncHandle();
}

namespace {

// The colour queries made on one real colormap for one client request. Each reply is waited
// for at most the sync limit; once one did not come in time the run is stalled: nothing more
// is asked of that server for the request (every step below then gives up), and the cells
// already taken are still given back (those requests need no answer). A cell whose answer came
// too late stays with the proxy's connection until the colormap goes.
struct ColourRun {
  Display *display;
  Colormap colormap;
  bool stalled;
};

xcb_connection_t *connectionOf(const ColourRun &run) { return XGetXCBConnection(run.display); }

// Every free cell of the colormap (taken now; the caller gives them back).
std::vector<unsigned long> takeFreeCells(ColourRun &run) {
  std::vector<unsigned long> cells;
  if (run.stalled) return cells;
  unsigned long *pixels = nullptr;
  int count = 0;
  const char *error = xdisplayAllocCells(run.display, run.colormap, &pixels, &count, &run.stalled);
  if (error && !run.stalled) logProblem(error, __FILE__, __LINE__);  // a stall is logged already
  if (pixels) cells.assign(pixels, pixels + count);
  free(pixels);
  return cells;
}

// A round trip on the proxy's own connection, bounded as the error traps' are: true when the
// server answered; a failure is logged and stalls the run.
bool syncBounded(ColourRun &run, const char *what) {
  if (run.stalled) return false;
  const char *failure = xtargetSync(run.display, xtargetSyncLimitMs);
  if (failure) {
    LOG(logChannelProblem, "The round trip on the proxy's own connection for %s failed: %s", what, failure);
    run.stalled = true;
  }
  return !failure;
}

void giveBack(ColourRun &run, const std::vector<unsigned long> &cells) {
  for (size_t at = 0; at < cells.size(); at += 256) {
    int n = int(std::min<size_t>(256, cells.size() - at));
    XFreeColors(run.display, run.colormap, const_cast<unsigned long *>(cells.data() + at), n, 0);
  }
  // Other connections may look for free cells right after: the cells are free once we return.
  if (!cells.empty()) syncBounded(run, "freed colour cells");
}

// The pixels of a plane combination: base or'ed with every subset of the mask's bits.
std::vector<unsigned long> planeCombination(unsigned long base, unsigned long mask) {
  std::vector<unsigned long> bits;
  for (int b = 0; b < 32; b++)
    if (mask & (1ul << b)) bits.push_back(1ul << b);
  std::vector<unsigned long> out;
  if (bits.size() > 24) return out;  // no real colormap has that many cells
  for (uint64_t subset = 0; subset < (uint64_t{1} << bits.size()); subset++) {
    unsigned long p = base;
    for (size_t i = 0; i < bits.size(); i++)
      if (subset & (uint64_t{1} << i)) p |= bits[i];
    out.push_back(p);
  }
  return out;
}

// After AllocColorCells/Planes gave other cells than wanted: they are freed, every free cell is
// taken, the wanted ones kept and the rest given back. 1 when every cell of every wanted plane
// combination was free; else everything taken is given back and 0.
int correctCells(ColourRun &run, const unsigned long *pixels, int n, unsigned long planes) {
  std::vector<unsigned long> wanted;
  for (int i = 0; i < n; i++) {
    std::vector<unsigned long> c = planeCombination(pixels[i], planes);
    if (c.empty()) return 0;
    wanted.insert(wanted.end(), c.begin(), c.end());
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<unsigned long> taken = takeFreeCells(run);
  std::sort(taken.begin(), taken.end());
  bool all = !run.stalled && std::includes(taken.begin(), taken.end(), wanted.begin(), wanted.end());
  std::vector<unsigned long> rest;
  if (all)
    std::set_difference(taken.begin(), taken.end(), wanted.begin(), wanted.end(), std::back_inserter(rest));
  giveBack(run, all ? rest : taken);
  return all ? 1 : 0;
}

unsigned long orOf(const unsigned long *masks, int m) {
  unsigned long all = 0;
  for (int i = 0; i < m; i++) all |= masks[i];
  return all;
}

// The colours of the pixels (at most 0xffff); false when the run stalled. An X error leaves
// them black, as Xlib's query leaves its items.
bool queryColours(ColourRun &run, XColor *colours, int n) {
  if (run.stalled) return false;
  std::vector<uint32_t> pixels(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) pixels[size_t(i)] = uint32_t(colours[i].pixel);
  auto cookie = xcb_query_colors(connectionOf(run), uint32_t(run.colormap), uint32_t(n), pixels.data());
  auto *reply = static_cast<xcb_query_colors_reply_t *>(
      xdisplayWaitReply(run.display, cookie.sequence, "QueryColors", &run.stalled, true));
  if (!reply) return !run.stalled;
  const xcb_rgb_t *rgb = xcb_query_colors_colors(reply);
  int got = std::min(n, xcb_query_colors_colors_length(reply));
  for (int i = 0; i < got; i++) {
    colours[i].red = rgb[i].red;
    colours[i].green = rgb[i].green;
    colours[i].blue = rgb[i].blue;
    colours[i].flags = DoRed | DoGreen | DoBlue;
  }
  free(reply);
  return true;
}

}  // namespace

int miscPaintFreeCells(Display *display, Colormap colormap, uint16_t red, uint16_t green, uint16_t blue) {
  ColourRun run{display, colormap, false};
  std::vector<unsigned long> cells = takeFreeCells(run);
  std::vector<XColor> items(cells.size());
  for (size_t i = 0; i < cells.size(); i++)
    items[i] = XColor{cells[i], red, green, blue, DoRed | DoGreen | DoBlue, 0};
  if (!items.empty()) XStoreColors(display, colormap, items.data(), int(items.size()));
  giveBack(run, cells);
  return int(cells.size());
}

XColor *miscQueryAllocatedColors(Display *display, Colormap colormap, int n, int *count) {
  *count = 0;
  if (n <= 0) return nullptr;
  ColourRun run{display, colormap, false};
  std::vector<unsigned long> cells = takeFreeCells(run);
  std::vector<bool> isFree(size_t(n), false);
  for (unsigned long c : cells)
    if (c < unsigned(n)) isFree[c] = true;
  giveBack(run, cells);
  if (run.stalled) return nullptr;
  auto *colours = static_cast<XColor *>(calloc(size_t(n), sizeof(XColor)));
  if (!colours) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  int k = 0;
  for (int p = 0; p < n; p++)
    if (!isFree[size_t(p)]) colours[k++].pixel = unsigned(p);
  k = std::min(k, 0xffff);  // what one query carries; no real colormap has more cells
  if (k == 0 || !queryColours(run, colours, k)) {
    free(colours);
    return nullptr;
  }
  *count = k;
  return colours;
}

namespace {

// AllocColor of the colour; the pixel it got, or -1 on failure (or a stalled run).
int64_t allocColour(ColourRun &run, const XColor &colour) {
  if (run.stalled) return -1;
  auto cookie = xcb_alloc_color(connectionOf(run), uint32_t(run.colormap), colour.red, colour.green, colour.blue);
  auto *reply = static_cast<xcb_alloc_color_reply_t *>(
      xdisplayWaitReply(run.display, cookie.sequence, "AllocColor", &run.stalled, true));
  if (!reply) return -1;
  int64_t pixel = reply->pixel;
  free(reply);
  return pixel;
}

void freePixel(ColourRun &run, unsigned long pixel) { XFreeColors(run.display, run.colormap, &pixel, 1, 0); }

// The wanted pixel with the free cells already taken (cells, sorted); 1 when it was had.
int allocAtPixelWithCells(ColourRun &run, XColor *colour, std::vector<unsigned long> &cells) {
  unsigned long wanted = colour->pixel;
  auto it = std::lower_bound(cells.begin(), cells.end(), wanted);
  if (it != cells.end() && *it == wanted) {
    // The wanted cell is free: give back just it and nudge the colour until the server puts
    // the colour there (it would reuse a cell already holding the exact colour).
    cells.erase(it);
    freePixel(run, wanted);
    for (int offset = 0; offset <= 65535; offset = offset <= 0 ? -offset + 2 : -offset) {
      XColor c = *colour;
      auto nudge = [offset](uint16_t v) { return uint16_t(std::clamp(int(v) + offset, 0, 65535)); };
      c.red = nudge(colour->red);
      c.green = nudge(colour->green);
      c.blue = nudge(colour->blue);
      int64_t got = allocColour(run, c);
      if (got < 0) return 0;
      if (static_cast<unsigned long>(got) == wanted) {
        colour->red = c.red;
        colour->green = c.green;
        colour->blue = c.blue;
        return 1;
      }
      freePixel(run, static_cast<unsigned long>(got));  // a shared cell of another colour
    }
    // The wanted cell stays free: it goes back into the taken list to be given back.
    cells.insert(std::lower_bound(cells.begin(), cells.end(), wanted), wanted);
    return 0;
  }
  // Not free: it must already hold a colour; allocating exactly that colour shares it.
  XColor there{};
  there.pixel = wanted;
  if (!queryColours(run, &there, 1)) return 0;
  int64_t got = allocColour(run, there);
  if (got == int64_t(wanted)) {
    colour->red = there.red;
    colour->green = there.green;
    colour->blue = there.blue;
    return 1;
  }
  if (got >= 0) freePixel(run, static_cast<unsigned long>(got));
  return 0;
}

}  // namespace

// (Every query below waits at most the sync limit: a server that does not answer in time fails
// the allocation, and nothing more is asked of it for this request.)
int miscAllocColorAtPixel(Display *display, Colormap colormap, XColor *colour, int sync) {
  ColourRun run{display, colormap, false};
  unsigned long wanted = colour->pixel;
  XColor first = *colour;
  int64_t got = allocColour(run, first);
  int ok = 0;
  if (got == int64_t(wanted)) {
    ok = 1;
  } else if (!run.stalled) {
    if (got >= 0) freePixel(run, static_cast<unsigned long>(got));
    std::vector<unsigned long> cells = takeFreeCells(run);
    std::sort(cells.begin(), cells.end());
    ok = allocAtPixelWithCells(run, colour, cells);
    giveBack(run, cells);
  }
  if (sync) syncBounded(run, "a colour cell");
  return ok;
}

int miscAllocPixels(Display *display, Colormap colormap, XColor *colours, int n) {
  ColourRun run{display, colormap, false};
  std::vector<unsigned long> cells;
  bool taken = false;
  for (int i = 0; i < n && !run.stalled; i++) {
    XColor c = colours[i];
    int64_t got = allocColour(run, c);
    if (got < 0 && !taken) {
      if (n == 1 || i == 0) return 0;
    }
    if (got == int64_t(colours[i].pixel)) continue;
    if (got >= 0) freePixel(run, static_cast<unsigned long>(got));
    if (!taken) {
      cells = takeFreeCells(run);
      std::sort(cells.begin(), cells.end());
      taken = true;
    }
    if (!allocAtPixelWithCells(run, &colours[i], cells) && !run.stalled)
      LOG(logChannelXhint, "Can't alloc pixel 0x%lx (RGB %x/%x/%x) in 0x%lx on display %s", colours[i].pixel,
          colours[i].red, colours[i].green, colours[i].blue, colormap, DisplayString(display));
  }
  if (taken) giveBack(run, cells);
  return run.stalled ? 0 : 1;
}

int miscAllocColorCells(Display *display, Colormap colormap, const unsigned long *pixels, int n,
                        const unsigned long *masks, int m) {
  if (n <= 0 || n > 0xffff || m < 0 || m > 32) return 0;
  ColourRun run{display, colormap, false};
  unsigned long planes = orOf(masks, m);
  // Contiguous when more than one mask and the masks form one run of bits.
  bool contiguous = false;
  if (m > 1 && planes) {
    unsigned long low = planes & (~planes + 1);
    contiguous = ((planes + low) & planes) == 0;
  }
  auto cookie = xcb_alloc_color_cells(connectionOf(run), contiguous, uint32_t(colormap), uint16_t(n), uint16_t(m));
  auto *reply = static_cast<xcb_alloc_color_cells_reply_t *>(
      xdisplayWaitReply(display, cookie.sequence, "AllocColorCells", &run.stalled, true));
  if (!reply) {
    LOG(logChannelStep, "Failed XAllocColorCells(%d pixels, %d masks)", n, m);
    return 0;
  }
  std::vector<unsigned long> gotPixels(xcb_alloc_color_cells_pixels(reply),
                                       xcb_alloc_color_cells_pixels(reply) + xcb_alloc_color_cells_pixels_length(reply));
  std::vector<unsigned long> gotMasks(xcb_alloc_color_cells_masks(reply),
                                      xcb_alloc_color_cells_masks(reply) + xcb_alloc_color_cells_masks_length(reply));
  free(reply);
  bool same = gotPixels.size() == size_t(n) && gotMasks.size() == size_t(m) &&
              std::equal(gotPixels.begin(), gotPixels.end(), pixels) &&
              std::equal(gotMasks.begin(), gotMasks.end(), masks);
  if (same) return 1;
  LOG(logChannelStep, "Different cells in 0x%lx (%d pixels, %d mask) at %s", colormap, n, m, DisplayString(display));
  XFreeColors(display, colormap, gotPixels.data(), int(gotPixels.size()), orOf(gotMasks.data(), int(gotMasks.size())));
  return correctCells(run, pixels, n, planes);
}

int miscAllocColorPlanes(Display *display, Colormap colormap, unsigned long redMask, unsigned long greenMask,
                         unsigned long blueMask, const unsigned long *pixels, int n) {
  if (n <= 0 || n > 0xffff) return 0;
  ColourRun run{display, colormap, false};
  auto cookie = xcb_alloc_color_planes(connectionOf(run), 0, uint32_t(colormap), uint16_t(n),
                                       uint16_t(__builtin_popcountl(redMask)), uint16_t(__builtin_popcountl(greenMask)),
                                       uint16_t(__builtin_popcountl(blueMask)));
  auto *reply = static_cast<xcb_alloc_color_planes_reply_t *>(
      xdisplayWaitReply(display, cookie.sequence, "AllocColorPlanes", &run.stalled, true));
  if (!reply) return 0;
  std::vector<unsigned long> gotPixels(xcb_alloc_color_planes_pixels(reply),
                                       xcb_alloc_color_planes_pixels(reply) + xcb_alloc_color_planes_pixels_length(reply));
  unsigned long r = reply->red_mask, g = reply->green_mask, b = reply->blue_mask;
  free(reply);
  if (r == redMask && g == greenMask && b == blueMask && gotPixels.size() == size_t(n) &&
      std::equal(gotPixels.begin(), gotPixels.end(), pixels))
    return 1;
  LOG(logChannelStep, "Different cells in 0x%lx (%d pixels, %d mask) at %s", colormap, n, 3, DisplayString(display));
  XFreeColors(display, colormap, gotPixels.data(), int(gotPixels.size()), r | g | b);
  return correctCells(run, pixels, n, redMask | greenMask | blueMask);
}
// ===== end of raw FreeGC and colour replication =====
