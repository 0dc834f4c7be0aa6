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

#include <X11/Xlibint.h>
#undef min
#undef max

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

// Every free cell of the colormap (taken now; the caller gives them back).
std::vector<unsigned long> takeFreeCells(Display *display, Colormap colormap) {
  unsigned long *pixels = nullptr;
  int count = 0;
  std::vector<unsigned long> cells;
  if (const char *error = xdisplayAllocCells(display, colormap, &pixels, &count)) {
    logProblem(error, __FILE__, __LINE__);
    return cells;
  }
  cells.assign(pixels, pixels + count);
  free(pixels);
  return cells;
}

// A round trip on the proxy's own connection, bounded as the error traps' are: true when the
// server answered; a failure is logged.
bool syncBounded(Display *display, const char *what) {
  const char *failure = xtargetSync(display, xtargetSyncLimitMs);
  if (failure) LOG(logChannelProblem, "The round trip on the proxy's own connection for %s failed: %s", what, failure);
  return !failure;
}

void giveBack(Display *display, Colormap colormap, const std::vector<unsigned long> &cells) {
  for (size_t at = 0; at < cells.size(); at += 256) {
    int n = int(std::min<size_t>(256, cells.size() - at));
    XFreeColors(display, colormap, const_cast<unsigned long *>(cells.data() + at), n, 0);
  }
  // Other connections may look for free cells right after: the cells are free once we return.
  if (!cells.empty()) syncBounded(display, "freed colour cells");
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

// After XAllocColorCells/Planes gave other cells than wanted: they are freed, every free cell is
// taken, the wanted ones kept and the rest given back. 1 when every cell of every wanted plane
// combination was free; else everything taken is given back and 0.
int correctCells(Display *display, Colormap colormap, const unsigned long *pixels, int n, unsigned long planes) {
  std::vector<unsigned long> wanted;
  for (int i = 0; i < n; i++) {
    std::vector<unsigned long> c = planeCombination(pixels[i], planes);
    if (c.empty()) return 0;
    wanted.insert(wanted.end(), c.begin(), c.end());
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<unsigned long> taken = takeFreeCells(display, colormap);
  std::sort(taken.begin(), taken.end());
  bool all = std::includes(taken.begin(), taken.end(), wanted.begin(), wanted.end());
  std::vector<unsigned long> rest;
  if (all)
    std::set_difference(taken.begin(), taken.end(), wanted.begin(), wanted.end(), std::back_inserter(rest));
  giveBack(display, colormap, all ? rest : taken);
  return all ? 1 : 0;
}

unsigned long orOf(const unsigned long *masks, int m) {
  unsigned long all = 0;
  for (int i = 0; i < m; i++) all |= masks[i];
  return all;
}

}  // namespace

int miscPaintFreeCells(Display *display, Colormap colormap, uint16_t red, uint16_t green, uint16_t blue) {
  std::vector<unsigned long> cells = takeFreeCells(display, colormap);
  std::vector<XColor> items(cells.size());
  for (size_t i = 0; i < cells.size(); i++)
    items[i] = XColor{cells[i], red, green, blue, DoRed | DoGreen | DoBlue, 0};
  if (!items.empty()) XStoreColors(display, colormap, items.data(), int(items.size()));
  giveBack(display, colormap, cells);
  return int(cells.size());
}

XColor *miscQueryAllocatedColors(Display *display, Colormap colormap, int n, int *count) {
  *count = 0;
  if (n <= 0) return nullptr;
  std::vector<unsigned long> cells = takeFreeCells(display, colormap);
  std::vector<bool> isFree(size_t(n), false);
  for (unsigned long c : cells)
    if (c < unsigned(n)) isFree[c] = true;
  giveBack(display, colormap, cells);
  auto *colours = static_cast<XColor *>(calloc(size_t(n), sizeof(XColor)));
  if (!colours) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  int k = 0;
  for (int p = 0; p < n; p++)
    if (!isFree[size_t(p)]) colours[k++].pixel = unsigned(p);
  if (k == 0) {
    free(colours);
    return nullptr;
  }
  XQueryColors(display, colormap, colours, k);
  *count = k;
  return colours;
}

namespace {

// XAllocColor of the colour; the pixel it got, or -1 on failure.
int64_t allocColour(Display *display, Colormap colormap, const XColor &colour) {
  XColor c = colour;
  if (!XAllocColor(display, colormap, &c)) return -1;
  return int64_t(c.pixel);
}

// The wanted pixel with the free cells already taken (cells, sorted); 1 when it was had.
int allocAtPixelWithCells(Display *display, Colormap colormap, XColor *colour, std::vector<unsigned long> &cells) {
  unsigned long wanted = colour->pixel;
  auto it = std::lower_bound(cells.begin(), cells.end(), wanted);
  if (it != cells.end() && *it == wanted) {
    // The wanted cell is free: give back just it and nudge the colour until the server puts
    // the colour there (it would reuse a cell already holding the exact colour).
    cells.erase(it);
    XFreeColors(display, colormap, &wanted, 1, 0);
    for (int offset = 0; offset <= 65535; offset = offset <= 0 ? -offset + 2 : -offset) {
      XColor c = *colour;
      auto nudge = [offset](uint16_t v) { return uint16_t(std::clamp(int(v) + offset, 0, 65535)); };
      c.red = nudge(colour->red);
      c.green = nudge(colour->green);
      c.blue = nudge(colour->blue);
      int64_t got = allocColour(display, colormap, c);
      if (got < 0) return 0;
      if (static_cast<unsigned long>(got) == wanted) {
        colour->red = c.red;
        colour->green = c.green;
        colour->blue = c.blue;
        return 1;
      }
      unsigned long other = static_cast<unsigned long>(got);
      XFreeColors(display, colormap, &other, 1, 0);  // a shared cell of another colour
    }
    // The wanted cell stays free: it goes back into the taken list to be given back.
    cells.insert(std::lower_bound(cells.begin(), cells.end(), wanted), wanted);
    return 0;
  }
  // Not free: it must already hold a colour; allocating exactly that colour shares it.
  XColor there{};
  there.pixel = wanted;
  XQueryColor(display, colormap, &there);
  int64_t got = allocColour(display, colormap, there);
  if (got == int64_t(wanted)) {
    colour->red = there.red;
    colour->green = there.green;
    colour->blue = there.blue;
    return 1;
  }
  if (got >= 0) {
    unsigned long other = static_cast<unsigned long>(got);
    XFreeColors(display, colormap, &other, 1, 0);
  }
  return 0;
}

}  // namespace

// (The allocations below are Xlib round trips: each is asked only of a server that answered
// within the sync limit.)
int miscAllocColorAtPixel(Display *display, Colormap colormap, XColor *colour, int sync) {
  if (!syncBounded(display, "a colour cell")) return 0;
  unsigned long wanted = colour->pixel;
  XColor first = *colour;
  int64_t got = allocColour(display, colormap, first);
  int ok = 0;
  if (got == int64_t(wanted)) {
    ok = 1;
  } else {
    if (got >= 0) {
      unsigned long other = static_cast<unsigned long>(got);
      XFreeColors(display, colormap, &other, 1, 0);
    }
    std::vector<unsigned long> cells = takeFreeCells(display, colormap);
    std::sort(cells.begin(), cells.end());
    ok = allocAtPixelWithCells(display, colormap, colour, cells);
    giveBack(display, colormap, cells);
  }
  if (sync) syncBounded(display, "a colour cell");
  return ok;
}

int miscAllocPixels(Display *display, Colormap colormap, XColor *colours, int n) {
  if (!syncBounded(display, "colour cells")) return 0;
  std::vector<unsigned long> cells;
  bool taken = false;
  for (int i = 0; i < n; i++) {
    XColor c = colours[i];
    int64_t got = allocColour(display, colormap, c);
    if (got < 0 && !taken) {
      if (n == 1 || i == 0) return 0;
    }
    if (got == int64_t(colours[i].pixel)) continue;
    if (got >= 0) {
      unsigned long other = static_cast<unsigned long>(got);
      XFreeColors(display, colormap, &other, 1, 0);
    }
    if (!taken) {
      cells = takeFreeCells(display, colormap);
      std::sort(cells.begin(), cells.end());
      taken = true;
    }
    if (!allocAtPixelWithCells(display, colormap, &colours[i], cells))
      LOG(logChannelXhint, "Can't alloc pixel 0x%lx (RGB %x/%x/%x) in 0x%lx on display %s", colours[i].pixel,
          colours[i].red, colours[i].green, colours[i].blue, colormap, DisplayString(display));
  }
  if (taken) giveBack(display, colormap, cells);
  return 1;
}

int miscAllocColorCells(Display *display, Colormap colormap, const unsigned long *pixels, int n,
                        const unsigned long *masks, int m) {
  if (n <= 0 || m < 0 || m > 32 || !syncBounded(display, "colour cells")) return 0;
  std::vector<unsigned long> gotPixels(static_cast<size_t>(n)), gotMasks(static_cast<size_t>(m) + 1);
  unsigned long planes = orOf(masks, m);
  // Contiguous when more than one mask and the masks form one run of bits.
  bool contiguous = false;
  if (m > 1 && planes) {
    unsigned long low = planes & (~planes + 1);
    contiguous = ((planes + low) & planes) == 0;
  }
  if (!XAllocColorCells(display, colormap, contiguous, gotMasks.data(), unsigned(m), gotPixels.data(), unsigned(n))) {
    LOG(logChannelStep, "Failed XAllocColorCells(%d pixels, %d masks)", n, m);
    return 0;
  }
  bool same = std::equal(gotPixels.begin(), gotPixels.end(), pixels) &&
              std::equal(gotMasks.begin(), gotMasks.begin() + m, masks);
  if (same) return 1;
  LOG(logChannelStep, "Different cells in 0x%lx (%d pixels, %d mask) at %s", colormap, n, m, DisplayString(display));
  XFreeColors(display, colormap, gotPixels.data(), n, orOf(gotMasks.data(), m));
  return correctCells(display, colormap, pixels, n, planes);
}

int miscAllocColorPlanes(Display *display, Colormap colormap, unsigned long redMask, unsigned long greenMask,
                         unsigned long blueMask, const unsigned long *pixels, int n) {
  if (n <= 0 || !syncBounded(display, "colour planes")) return 0;
  std::vector<unsigned long> gotPixels(static_cast<size_t>(n));
  unsigned long r = 0, g = 0, b = 0;
  if (!XAllocColorPlanes(display, colormap, False, gotPixels.data(), n, __builtin_popcountl(redMask),
                         __builtin_popcountl(greenMask), __builtin_popcountl(blueMask), &r, &g, &b))
    return 0;
  if (r == redMask && g == greenMask && b == blueMask && std::equal(gotPixels.begin(), gotPixels.end(), pixels))
    return 1;
  LOG(logChannelStep, "Different cells in 0x%lx (%d pixels, %d mask) at %s", colormap, n, 3, DisplayString(display));
  XFreeColors(display, colormap, gotPixels.data(), n, r | g | b);
  return correctCells(display, colormap, pixels, n, redMask | greenMask | blueMask);
}
// ===== end of raw FreeGC and colour replication =====
