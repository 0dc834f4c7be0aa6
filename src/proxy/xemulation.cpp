// Emulated visuals and emulated colormaps.
#include "proxy/xemulation.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include <X11/Xproto.h>

#include "proxy/main.h"
#include "support/logging.h"
#include "support/strings.h"

// Kept here until start-up owns it.
uint32_t proxyXidCounter = 31;

namespace {

XemulationClientIndexFn clientIndexFunction = nullptr;

uint32_t ownerIndex() {
  uint32_t index = clientIndexFunction ? clientIndexFunction() : 0;
  return index < kEmulatedMaxClients ? index : 0;
}

void setOwner(EmulatedCell *cell, uint32_t index) { cell->owners[index >> 3] |= static_cast<uint8_t>(1u << (index & 7)); }
bool hasOwner(const EmulatedCell *cell, uint32_t index) { return cell->owners[index >> 3] & (1u << (index & 7)); }
bool anyOwner(const EmulatedCell *cell) {
  for (uint8_t byte : cell->owners)
    if (byte) return true;
  return false;
}
// Clears the owner's bit; a cell without owners becomes free.
void dropOwner(EmulatedCell *cell, uint32_t index) {
  cell->owners[index >> 3] &= static_cast<uint8_t>(~(1u << (index & 7)));
  if (!anyOwner(cell)) *cell = EmulatedCell{};
}

struct EmulationRow {
  uint32_t bit;
  uint32_t visualClass;
  uint32_t depth;
};
constexpr EmulationRow kEmulationTable[12] = {
    {0x1, PseudoColor, 4},   {0x2, PseudoColor, 8},  {0x40, StaticColor, 4}, {0x80, StaticColor, 8},
    {0x100, DirectColor, 4}, {0x200, DirectColor, 8}, {0x400, TrueColor, 4}, {0x800, TrueColor, 8},
    {0x4, GrayScale, 4},     {0x8, GrayScale, 8},    {0x10, StaticGray, 4},  {0x20, StaticGray, 8},
};

// 2 = unusable, else 1 with colour characterisation and 0 without.
int baseScore(const EmulationRow &row, const VisualRecord &candidate) {
  bool usable = false;
  if (row.visualClass == PseudoColor) {
    usable = candidate.visualClass == DirectColor && candidate.depth >= (row.depth == 4 ? 12 : 24);
  } else if (row.visualClass == DirectColor) {
    usable = candidate.visualClass == DirectColor && candidate.depth >= row.depth;
  }
  if (!usable) return 2;
  return (candidate.hasMatrices || candidate.correctionCount) ? 1 : 0;
}

uint16_t channelMaskOf(unsigned bitsPerRgb) {
  if (bitsPerRgb > 16) bitsPerRgb = 16;
  return static_cast<uint16_t>(((1u << bitsPerRgb) - 1) << (16 - bitsPerRgb));
}

unsigned entriesOf(const EmulatedColormap *colormap) {
  unsigned entries = colormap->visual ? colormap->visual->colormapEntries : 0;
  return entries < 256 ? entries : 256;
}

uint16_t channelMaskOfMap(const EmulatedColormap *colormap) {
  return colormap->visual ? static_cast<uint16_t>(colormap->visual->channelMask) : 0xffff;
}

// Every cell base + (each combination of the mask's bits) lies below the entries and is free.
bool baseQualifies(const EmulatedColormap *colormap, unsigned base, unsigned mask, unsigned entries) {
  unsigned sub = 0;
  do {
    unsigned pixel = base | sub;
    if (pixel >= entries || colormap->cells[pixel].state != 0) return false;
    sub = (sub - mask) & mask;
  } while (sub != 0);
  return true;
}

// The first `count` qualifying bases for the mask, into bases; all or nothing.
bool findBases(const EmulatedColormap *colormap, unsigned mask, int count, unsigned entries, std::vector<unsigned> &bases) {
  bases.clear();
  for (unsigned base = 0; base < entries && static_cast<int>(bases.size()) < count; base++) {
    if (base & mask) continue;
    if (baseQualifies(colormap, base, mask, entries)) bases.push_back(base);
  }
  return static_cast<int>(bases.size()) == count;
}

// AllocColorCells with planes: the cells become private read-write, owned by the current
// client. All or nothing.
bool allocCells(EmulatedColormap *colormap, bool contiguous, int planes, int count, unsigned *planeMask,
                unsigned long *pixels) {
  if (!colormap->visual || planes < 0 || count < 1) return false;
  const int depth = colormap->visual->depth > 8 ? 8 : colormap->visual->depth;
  const unsigned entries = entriesOf(colormap);
  if (planes > depth) return false;
  std::vector<unsigned> bases;
  unsigned found = 0;
  bool ok = false;
  if (planes == 0) {
    ok = findBases(colormap, 0, count, entries, bases);
  } else {
    for (int shift = 0; shift <= depth - planes && !ok; shift++) {
      found = ((1u << planes) - 1) << shift;
      ok = findBases(colormap, found, count, entries, bases);
    }
    // Non-contiguous masks exist only while fewer planes than the depth are asked.
    if (!ok && !contiguous && planes > 1 && depth >= 3 && planes < depth) {
      unsigned first = (3u << (planes - 1)) - 1;
      unsigned last = (((1u << (planes - 1)) - 1) << (depth - planes + 1)) + (1u << (depth - planes - 1));
      for (unsigned mask = first; mask <= last && !ok; mask++) {
        if (__builtin_popcount(mask) != planes) continue;
        found = mask;
        ok = findBases(colormap, mask, count, entries, bases);
      }
    }
  }
  if (!ok) return false;
  const uint32_t owner = ownerIndex();
  for (size_t i = 0; i < bases.size(); i++) {
    unsigned sub = 0;
    do {
      EmulatedCell &cell = colormap->cells[bases[i] | sub];
      cell.state = 2;
      setOwner(&cell, owner);
      sub = (sub - found) & found;
    } while (sub != 0);
    pixels[i] = bases[i];
  }
  *planeMask = planes ? found : 0;
  return true;
}

struct CachedColor {
  char *name;
  uint16_t red, green, blue;
};
// Process-wide and never shrunk; a plain array so that nothing tears it down at exit. Its room
// grows by half again when full: clients fill it with every name the real server knows.
CachedColor *colorCache = nullptr;
int colorCacheCount = 0;
int colorCacheCapacity = 0;

}  // namespace

void xemulationSetClientIndexFunction(XemulationClientIndexFn function) { clientIndexFunction = function; }

const char *xemulationAddVisuals(Display *display, const VisualRecord *visuals, int count, uint32_t mask,
                                 VisualRecord **array, int *arrayCount) {
  *array = nullptr;
  *arrayCount = 0;
  VisualRecord *result = nullptr;
  int made = 0;
  for (const EmulationRow &row : kEmulationTable) {
    if (!(mask & row.bit)) continue;
    if (mask & kEmulateOnlyMissing) {
      bool present = false;
      for (int i = 0; i < count && !present; i++)
        present = visuals[i].visualClass == row.visualClass && visuals[i].depth == row.depth;
      if (present) continue;
    }
    const VisualRecord *base = nullptr;
    int bestScore = 2;
    for (int i = count - 1; i >= 0; i--) {
      int score = baseScore(row, visuals[i]);
      if (score < bestScore) {
        bestScore = score;
        base = &visuals[i];
      }
    }
    if (!base) continue;
    auto *grown = static_cast<VisualRecord *>(realloc(result, sizeof(VisualRecord) * (made + 1)));
    if (!grown) {
      free(result);
      return OUT_OF_MEMORY_TEXT();
    }
    result = grown;
    VisualRecord &r = result[made++];
    r = VisualRecord{};
    r.visualId = ++proxyXidCounter;
    r.visualClass = static_cast<uint8_t>(row.visualClass);
    r.depth = static_cast<uint8_t>(row.depth);
    unsigned entries = 1u << row.depth;
    r.colormapEntries = static_cast<uint16_t>(base->colormapEntries < entries ? base->colormapEntries : entries);
    r.screen = base->screen;
    r.bitsPerRgb = base->bitsPerRgb;
    r.doubleBuffered = base->doubleBuffered;
    r.doubleBufferPerformance = base->doubleBufferPerformance;
    r.overlayFormat = base->overlayFormat;
    r.transparentType = base->transparentType;
    r.layer = base->layer;
    r.transparentValue = base->transparentValue;
    r.mbufMono = base->mbufMono;
    r.mbufStereo = base->mbufStereo;
    r.renderFormat = base->renderFormat;
    r.alphaBits = base->alphaBits;
    r.baseVisualId = base->visualId;
    r.baseClass = base->visualClass;
    r.baseDepth = base->depth;
    r.channelMask = channelMaskOf(base->bitsPerRgb);
    xvisualSetMasks(&r, base->redMask, base->greenMask, base->blueMask);
    logStep("Emulating %s at %s...", xvisualDescribe(&r), display ? DisplayString(display) : "?");
  }
  *array = result;
  *arrayCount = made;
  return nullptr;
}

const char *xemulationCreateColormap(Display *display, Window window, VisualRecord *visual,
                                     EmulatedColormap *colormap) {
  colormap->realColormap = 0;
  if (window) {
    Colormap real = XCreateColormap(display, window, xvisualXlibVisual(visual), AllocAll);
    if (!real) return "XfsCreateColormap() failed";
    colormap->realColormap = static_cast<uint32_t>(real);
  }
  colormap->visual = visual;
  memset(colormap->cells, 0, sizeof colormap->cells);
  return nullptr;
}

bool xemulationAllocColor(Display *, EmulatedColormap *colormap, XColor *color) {
  const uint16_t mask = channelMaskOfMap(colormap);
  const uint16_t red = color->red & mask, green = color->green & mask, blue = color->blue & mask;
  const unsigned entries = entriesOf(colormap);
  const uint32_t owner = ownerIndex();
  for (unsigned i = 0; i < entries; i++) {
    EmulatedCell &cell = colormap->cells[i];
    if (cell.state == 1 && cell.red == red && cell.green == green && cell.blue == blue) {
      setOwner(&cell, owner);
      color->pixel = i;
      return true;
    }
  }
  for (unsigned i = 0; i < entries; i++) {
    EmulatedCell &cell = colormap->cells[i];
    if (cell.state != 0) continue;
    cell.state = 1;
    cell.red = red;
    cell.green = green;
    cell.blue = blue;
    setOwner(&cell, owner);
    color->pixel = i;
    return true;
  }
  return false;
}

bool xemulationAllocNamedColor(Display *display, EmulatedColormap *colormap, const char *name, XColor *color) {
  return xemulationLookupColor(display, colormap, name, color) && xemulationAllocColor(display, colormap, color);
}

bool xemulationAllocCells(Display *, EmulatedColormap *colormap, bool contiguous, unsigned long *masks,
                          int planeCount, unsigned long *pixels, int pixelCount) {
  unsigned planeMask = 0;
  if (!allocCells(colormap, contiguous, planeCount, pixelCount, &planeMask, pixels)) return false;
  for (int i = 0; i < planeCount; i++) {
    unsigned bit = planeMask & (~planeMask + 1);
    masks[i] = bit;
    planeMask &= ~bit;
  }
  return true;
}

bool xemulationAllocPlanes(Display *, EmulatedColormap *colormap, bool contiguous, unsigned long *pixels,
                           int pixelCount, int redPlanes, int greenPlanes, int bluePlanes, unsigned long *redMask,
                           unsigned long *greenMask, unsigned long *blueMask) {
  if (redPlanes < 0 || greenPlanes < 0 || bluePlanes < 0) return false;
  unsigned planeMask = 0;
  if (!allocCells(colormap, contiguous, redPlanes + greenPlanes + bluePlanes, pixelCount, &planeMask, pixels))
    return false;
  unsigned long *outs[3] = {redMask, greenMask, blueMask};
  int counts[3] = {redPlanes, greenPlanes, bluePlanes};
  for (int c = 0; c < 3; c++) {
    unsigned long value = 0;
    for (int i = 0; i < counts[c]; i++) {
      unsigned bit = planeMask & (~planeMask + 1);
      value |= bit;
      planeMask &= ~bit;
    }
    *outs[c] = value;
  }
  return true;
}

int xemulationStoreColors(Display *, EmulatedColormap *colormap, const XColor *colors, int count) {
  const uint16_t mask = channelMaskOfMap(colormap);
  const unsigned entries = entriesOf(colormap);
  int error = 0;
  for (int i = 0; i < count; i++) {
    const XColor &item = colors[i];
    if (item.pixel >= entries) {
      if (!error) error = BadValue;
      continue;
    }
    EmulatedCell &cell = colormap->cells[item.pixel];
    if (cell.state != 2) {
      if (!error) error = BadAccess;
      continue;
    }
    if (item.flags & DoRed) cell.red = item.red & mask;
    if (item.flags & DoGreen) cell.green = item.green & mask;
    if (item.flags & DoBlue) cell.blue = item.blue & mask;
  }
  return error;
}

bool xemulationQueryColors(Display *, EmulatedColormap *colormap, XColor *colors, int count) {
  const unsigned entries = entriesOf(colormap);
  for (int i = 0; i < count; i++) {
    if (colors[i].pixel >= entries) return false;
    const EmulatedCell &cell = colormap->cells[colors[i].pixel];
    colors[i].red = cell.red;
    colors[i].green = cell.green;
    colors[i].blue = cell.blue;
  }
  return true;
}

void xemulationFreeColors(Display *, EmulatedColormap *colormap, const unsigned long *pixels, int count,
                          unsigned long planeMask) {
  const unsigned entries = entriesOf(colormap);
  const unsigned depth = colormap->visual ? colormap->visual->depth : 0;
  const unsigned long usable = depth >= 32 ? planeMask : planeMask & ((1ul << depth) - 1);
  const uint32_t owner = ownerIndex();
  for (int i = 0; i < count; i++) {
    unsigned long sub = 0;
    do {
      unsigned long pixel = pixels[i] | sub;
      if (pixel < entries) dropOwner(&colormap->cells[pixel], owner);
      sub = (sub - usable) & usable;
    } while (sub != 0);
  }
}

void xemulationFreeClientCells(EmulatedColormap *colormap) {
  const uint32_t owner = ownerIndex();
  for (EmulatedCell &cell : colormap->cells)
    if (hasOwner(&cell, owner)) dropOwner(&cell, owner);
}

// XCopyColormapAndFree of an AllocAll colormap would free every cell of the source's real
// colormap, for every client. The destination gets a new AllocAll colormap on the same base
// instead, with the moved cells' colours stored; the source's real colormap stays as it is.
const char *xemulationCopyColormap(Display *display, EmulatedColormap *source, EmulatedColormap *destination) {
  const uint32_t owner = ownerIndex();
  *destination = *source;
  destination->realColormap = 0;
  std::vector<XColor> moved;
  const VisualRecord *visual = source->visual;
  for (unsigned i = 0; i < 256; i++) {
    EmulatedCell &to = destination->cells[i];
    if (!hasOwner(&source->cells[i], owner)) {
      to = EmulatedCell{};
      continue;
    }
    memset(to.owners, 0, sizeof to.owners);
    setOwner(&to, owner);
    dropOwner(&source->cells[i], owner);
    if (visual) {
      XColor color{};
      color.pixel = ((static_cast<unsigned long>(i) << visual->redShift) & visual->redMask) |
                    ((static_cast<unsigned long>(i) << visual->greenShift) & visual->greenMask) |
                    ((static_cast<unsigned long>(i) << visual->blueShift) & visual->blueMask);
      color.red = to.red;
      color.green = to.green;
      color.blue = to.blue;
      color.flags = DoRed | DoGreen | DoBlue;
      moved.push_back(color);
    }
  }
  if (source->realColormap && visual) {
    Colormap real = XCreateColormap(display, RootWindow(display, visual->screen),
                                    xvisualXlibVisual(visual), AllocAll);
    if (!real) return "XfsCreateColormap() failed";
    destination->realColormap = static_cast<uint32_t>(real);
    if (!moved.empty()) XStoreColors(display, real, moved.data(), static_cast<int>(moved.size()));
  }
  return nullptr;
}

bool xemulationLookupColor(Display *display, EmulatedColormap *colormap, const char *name, XColor *color) {
  if (!name) return false;
  for (int i = 0; i < colorCacheCount; i++) {
    const CachedColor &entry = colorCache[i];
    if (strcasecmp(entry.name, name) != 0) continue;
    color->red = entry.red;
    color->green = entry.green;
    color->blue = entry.blue;
    return true;
  }
  // Xlib answers numeric specifications ("#rgb", "rgb:r/g/b" ...) itself; a real server does
  // not know them as names. Only database names are asked for and cached.
  if (name[0] == '#' || strchr(name, ':')) return false;
  Colormap real = colormap && colormap->realColormap
                      ? colormap->realColormap
                      : DefaultColormap(display, colormap && colormap->visual ? colormap->visual->screen : 0);
  XColor exact{}, screen{};
  if (!XLookupColor(display, real, name, &exact, &screen)) return false;
  if (colorCacheCount == colorCacheCapacity) {
    if (colorCacheCapacity > INT_MAX / 3) return false;
    int capacity = colorCacheCapacity < 32 ? 32 : colorCacheCapacity + colorCacheCapacity / 2;
    auto *grown = static_cast<CachedColor *>(realloc(colorCache, sizeof(CachedColor) * size_t(capacity)));
    if (!grown) return false;
    colorCache = grown;
    colorCacheCapacity = capacity;
  }
  char *copy = strdup(name);
  if (!copy) return false;
  colorCache[colorCacheCount++] = CachedColor{copy, exact.red, exact.green, exact.blue};
  color->red = exact.red;
  color->green = exact.green;
  color->blue = exact.blue;
  return true;
}

int xemulationColorCacheCount() { return colorCacheCount; }
int xemulationColorCacheCapacity() { return colorCacheCapacity; }
