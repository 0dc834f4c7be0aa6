// Byte swapping by wire layout.
//
// Every position below stays inside [first, end]: `skip` moves a position on by a 64-bit
// size and stops at end, and every item of a hand-written case is swapped only inside its own
// bytes (never into the next item's), so no field is swapped twice. Counts are read with
// `get16`/`get32` before the field that holds them is swapped: for a positive case the bytes
// are still in the other order and are read reversed, for a negative case they are read as
// they are. A count that lies past the end reads as 0.
#include "xext/byteswap.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/logging.h"

namespace {

constexpr const char *kSource = "Xext/byteswap";
void une(int line) { logProblem("UNE", kSource, line); }
#define SWAP_UNE() une(__LINE__)

uint64_t room(const uint8_t *p, const uint8_t *end) { return p < end ? uint64_t(end - p) : 0; }
// p + n, but never beyond end.
uint8_t *skip(uint8_t *p, uint8_t *end, uint64_t n) { return n >= room(p, end) ? end : p + n; }
uint64_t mulCap(uint64_t a, uint64_t b) {
  unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return r > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(r);
}
uint64_t addCap(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t pad4(uint64_t n) { return n > UINT64_MAX - 3 ? UINT64_MAX & ~uint64_t(3) : (n + 3) & ~uint64_t(3); }

uint32_t get8(const uint8_t *p, const uint8_t *end) { return p < end ? *p : 0; }
uint32_t get16(const uint8_t *p, const uint8_t *end, int direction) {
  if (room(p, end) < 2) return 0;
  uint16_t v;
  memcpy(&v, p, 2);
  return direction > 0 ? __builtin_bswap16(v) : v;
}
uint32_t get32(const uint8_t *p, const uint8_t *end, int direction) {
  if (room(p, end) < 4) return 0;
  uint32_t v;
  memcpy(&v, p, 4);
  return direction > 0 ? __builtin_bswap32(v) : v;
}

// The layout over the item [p, p + size), cut at end.
void swapItem(const char *layout, uint8_t *p, uint8_t *end, uint64_t size) {
  byteswapByFormat(layout, p, skip(p, end, size));
}

// --- XKEYBOARD -----------------------------------------------------------------------------

constexpr const char *kXkbEventLayouts[12] = {
    "bbsibbbbbbbbs",             // 0 NewKeyboardNotify
    "bbsibbsbbbbbbbbbbbbbbbbs",  // 1 MapNotify
    "bbsibbbbbbssbbbbbbss",      // 2 StateNotify
    "bbsibbsiii",                // 3 ControlsNotify
    "bbsibbsii",                 // 4 IndicatorStateNotify
    "bbsibbsii",                 // 5 IndicatorMapNotify
    "bbsibbsbbbbbbbbsbbi",       // 6 NamesNotify
    "bbsibbsss",                 // 7 CompatMapNotify
    "bbsibbbbssii",              // 8 BellNotify
    "bbsi",                      // 9 ActionMessage
    "bbsibbsss",                 // 10 AccessXNotify
    "bbsibbsssiibbss",           // 11 ExtensionDeviceNotify
};

struct XkbMapCounts {
  uint32_t present, nTypes, nKeySyms, nKeyActs, totalActs, totalKeyBehaviors, virtualMods;
  uint32_t totalKeyExplicit, totalModMapKeys, totalVModMapKeys;
};

// The parts of a GetMap reply or SetMap request after its header.
void xkbMapParts(uint8_t *q, uint8_t *end, int direction, const XkbMapCounts &c) {
  if (c.present & 0x01) {  // key types
    for (uint32_t t = 0; t < c.nTypes && q < end; t++) {
      uint32_t entries = get8(q + 5, end), preserve = get8(q + 6, end);
      swapItem("bbs", q, end, 8);
      q = skip(q, end, 8);
      for (uint32_t e = 0; e < entries && q < end; e++, q = skip(q, end, 8)) swapItem("bbbbss", q, end, 8);
      if (preserve)
        for (uint32_t e = 0; e < entries && q < end; e++, q = skip(q, end, 4)) swapItem("bbs", q, end, 4);
    }
  }
  if (c.present & 0x02) {  // key symbols
    for (uint32_t k = 0; k < c.nKeySyms && q < end; k++) {
      uint32_t symbols = get16(q + 6, end, direction);
      swapItem("bbbbbbs", q, end, 8);
      q = skip(q, end, 8);
      q = skip(q, end, byteswapInts(q, end, symbols));
    }
  }
  if (c.present & 0x10) q = skip(skip(q, end, pad4(c.nKeyActs)), end, mulCap(c.totalActs, 8));  // actions
  if (c.present & 0x20) q = skip(q, end, mulCap(c.totalKeyBehaviors, 4));
  if (c.present & 0x40) q = skip(q, end, pad4(__builtin_popcount(c.virtualMods)));
  if (c.present & 0x08) q = skip(q, end, pad4(mulCap(c.totalKeyExplicit, 2)));
  if (c.present & 0x04) q = skip(q, end, pad4(mulCap(c.totalModMapKeys, 2)));
  if (c.present & 0x80)
    for (uint32_t k = 0; k < c.totalVModMapKeys && q < end; k++, q = skip(q, end, 4)) swapItem("bbs", q, end, 4);
}

struct XkbNameCounts {
  uint32_t which, nTypes, nLevelCounts, totalLevels;  // totalLevels UINT32_MAX: sum the counts
  uint32_t indicators, virtualMods, groupNames, nKeys, nKeyAliases, nRadioGroups;
};

// The parts of a GetNames reply or SetNames request after its header.
void xkbNameParts(uint8_t *q, uint8_t *end, const XkbNameCounts &c) {
  auto atoms = [&](uint64_t n) { q = skip(q, end, byteswapInts(q, end, n)); };
  for (int bit = 0; bit < 6; bit++)
    if (c.which & (1u << bit)) atoms(1);
  if (c.which & (1u << 6)) atoms(c.nTypes);
  if (c.which & (1u << 7)) {
    uint64_t total = c.totalLevels;
    if (c.totalLevels == UINT32_MAX) {
      total = 0;
      for (uint32_t k = 0; k < c.nLevelCounts; k++) total += get8(q + k, end);
    }
    q = skip(q, end, pad4(c.nLevelCounts));
    atoms(total);
  }
  if (c.which & (1u << 8)) atoms(__builtin_popcount(c.indicators));
  if (c.which & (1u << 11)) atoms(__builtin_popcount(c.virtualMods));
  if (c.which & (1u << 12)) atoms(__builtin_popcount(c.groupNames));
  if (c.which & (1u << 9)) q = skip(q, end, mulCap(c.nKeys, 4));         // key names stay
  if (c.which & (1u << 10)) q = skip(q, end, mulCap(c.nKeyAliases, 8));  // key aliases stay
  if (c.which & (1u << 13)) atoms(c.nRadioGroups);
}

// LED feedbacks of GetDeviceInfo and SetDeviceInfo.
void xkbLedFeedbacks(uint8_t *q, uint8_t *end, int direction, uint32_t count) {
  for (uint32_t k = 0; k < count && q < end; k++) {
    uint32_t names = get32(q + 4, end, direction), maps = get32(q + 8, end, direction);
    swapItem("ssiiii", q, end, 20);
    q = skip(q, end, 20);
    q = skip(q, end, byteswapInts(q, end, __builtin_popcount(names)));
    for (int m = __builtin_popcount(maps); m > 0 && q < end; m--, q = skip(q, end, 12)) swapItem("bbbbbbsi", q, end, 12);
  }
}

struct XkbGeometryCounts {
  uint32_t nProperties, nColors, nShapes, nSections, nDoodads, nKeyAliases;
};

// The body of a GetGeometry reply or SetGeometry request after its header.
void xkbGeometryBody(uint8_t *q, uint8_t *end, int direction, const XkbGeometryCounts &c) {
  auto string = [&] { q = skip(q, end, byteswapXkbString(q, end, direction)); };
  string();  // label font
  for (uint64_t k = 0; k < 2ull * c.nProperties && q < end; k++) string();
  for (uint32_t k = 0; k < c.nColors && q < end; k++) string();
  for (uint32_t s = 0; s < c.nShapes && q < end; s++) {
    uint32_t outlines = get8(q + 4, end);
    byteswapInt(q, end);
    q = skip(q, end, 8);
    for (uint32_t o = 0; o < outlines && q < end; o++) {
      uint32_t points = get8(q, end);
      q = skip(q, end, 4);
      q = skip(q, end, byteswapShorts(q, end, 2ull * points));
    }
  }
  for (uint32_t s = 0; s < c.nSections && q < end; s++) {
    uint32_t rows = get8(q + 15, end), doodads = get8(q + 16, end), overlays = get8(q + 17, end);
    swapItem("isssss", q, end, 20);
    q = skip(q, end, 20);
    for (uint32_t r = 0; r < rows && q < end; r++) {
      uint32_t keys = get8(q + 4, end);
      swapItem("ss", q, end, 8);
      q = skip(q, end, 8);
      for (uint32_t k = 0; k < keys && q < end; k++, q = skip(q, end, 8)) swapItem("bbbbs", q, end, 8);
    }
    for (uint32_t d = 0; d < doodads && q < end; d++) q = byteswapXkbDoodad(q, end, direction);
    for (uint32_t o = 0; o < overlays && q < end; o++) {
      uint32_t overlayRows = get8(q + 4, end);
      byteswapInt(q, end);
      q = skip(q, end, 8);
      for (uint32_t r = 0; r < overlayRows && q < end; r++) {
        uint32_t keys = get8(q + 1, end);
        q = skip(skip(q, end, 4), end, 8ull * keys);  // overlay keys stay
      }
    }
  }
  for (uint32_t d = 0; d < c.nDoodads && q < end; d++) q = byteswapXkbDoodad(q, end, direction);
  // key aliases stay
}

void caseXkbGetMap(uint8_t *p, uint8_t *end, int direction) {  // 9
  XkbMapCounts c{get16(p + 12, end, direction), get8(p + 15, end), get8(p + 20, end), get8(p + 24, end),
                 get16(p + 22, end, direction), get8(p + 27, end), get16(p + 38, end, direction),
                 get8(p + 30, end), get8(p + 33, end), get8(p + 36, end)};
  swapItem("bbsisbbsbbbbsbbsbbbbbbbbbbbbbbs", p, end, 40);
  xkbMapParts(skip(p, end, 40), end, direction, c);
}

void caseXkbSetMap(uint8_t *p, uint8_t *end, int direction) {  // 17
  XkbMapCounts c{get16(p + 6, end, direction), get8(p + 13, end), get8(p + 15, end), get8(p + 19, end),
                 get16(p + 20, end, direction), get8(p + 24, end), get16(p + 34, end, direction),
                 get8(p + 27, end), get8(p + 30, end), get8(p + 33, end)};
  swapItem("bbssssbbbbbbsbbsbbbbbbbbbbbbs", p, end, 36);
  xkbMapParts(skip(p, end, 36), end, direction, c);
}

void caseXkbGetNames(uint8_t *p, uint8_t *end, int direction) {  // 13
  XkbNameCounts c{get32(p + 8, end, direction), get8(p + 14, end), get8(p + 14, end), UINT32_MAX,
                  get32(p + 20, end, direction), get16(p + 16, end, direction), get8(p + 15, end),
                  get8(p + 19, end), get8(p + 25, end), get8(p + 24, end)};
  swapItem("bbsiibbbbsbbibbsi", p, end, 32);
  xkbNameParts(skip(p, end, 32), end, c);
}

void caseXkbSetNames(uint8_t *p, uint8_t *end, int direction) {  // 16
  XkbNameCounts c{get32(p + 8, end, direction), get8(p + 13, end), get8(p + 15, end),
                  get16(p + 26, end, direction), get32(p + 16, end, direction), get16(p + 6, end, direction),
                  get8(p + 20, end), get8(p + 23, end), get8(p + 24, end), get8(p + 21, end)};
  swapItem("bbsssibbbbibbbbbbs", p, end, 28);
  xkbNameParts(skip(p, end, 28), end, c);
}

void caseXkbGetGeometry(uint8_t *p, uint8_t *end, int direction) {  // 18
  XkbGeometryCounts c{get16(p + 18, end, direction), get16(p + 20, end, direction), get16(p + 22, end, direction),
                      get16(p + 24, end, direction), get16(p + 26, end, direction), get16(p + 28, end, direction)};
  swapItem("bbsiibbssssssssbb", p, end, 32);
  xkbGeometryBody(skip(p, end, 32), end, direction, c);
}

void caseXkbSetGeometry(uint8_t *p, uint8_t *end, int direction) {  // 19
  XkbGeometryCounts c{get16(p + 16, end, direction), get16(p + 18, end, direction), get8(p + 6, end),
                      get8(p + 7, end), get16(p + 20, end, direction), get16(p + 22, end, direction)};
  swapItem("bbssbbissssss", p, end, 28);
  xkbGeometryBody(skip(p, end, 28), end, direction, c);
}

void caseXkbSelectEvents(uint8_t *p, uint8_t *end, int direction) {  // 10
  uint32_t affect = get16(p + 6, end, direction), clear = get16(p + 8, end, direction);
  uint32_t selectAll = get16(p + 10, end, direction), details = affect & ~clear & ~selectAll;
  swapItem("bbsssssss", p, end, 16);
  uint8_t *q = skip(p, end, 16);
  for (int bit = 0; bit < 12 && q < end; bit++) {
    if (!(details & (1u << bit))) continue;
    switch (bit) {
      case 1: break;  // the map details are in the header
      case 3: case 4: case 5: swapItem("ii", q, end, 8); q = skip(q, end, 8); break;
      case 7: case 8: case 9: q = skip(q, end, 2); break;
      default: swapItem("ss", q, end, 4); q = skip(q, end, 4); break;
    }
  }
}

// A compat map: the header, nSI symbol interpretations of 16 bytes, then one group compat
// map ("bbs") per bit set in the groups byte, whatever room the header's length leaves.
void xkbCompatMap(uint8_t *p, uint8_t *end, int direction, const char *header, uint32_t headerSize, uint32_t groupsAt,
                  uint32_t nsiAt) {
  uint32_t groups = get8(p + groupsAt, end), nsi = get16(p + nsiAt, end, direction);
  swapItem(header, p, end, headerSize);
  uint8_t *q = skip(p, end, headerSize);
  for (uint32_t k = 0; k < nsi && q < end; k++, q = skip(q, end, 16)) swapItem("ibbbbbbbbbbbb", q, end, 16);
  for (uint32_t bit = 0; bit < 8 && q < end; bit++)
    if (groups & (1u << bit)) {
      swapItem("bbs", q, end, 4);
      q = skip(q, end, 4);
    }
}

void caseXkbSetCompatMap(uint8_t *p, uint8_t *end, int direction) {  // 20
  xkbCompatMap(p, end, direction, "bbssbbbbsss", 16, 9, 12);
}

void caseXkbGetCompatMap(uint8_t *p, uint8_t *end, int direction) {  // 21
  xkbCompatMap(p, end, direction, "bbsibbsssiiii", 32, 8, 12);
}

void caseXkbGetKbdByName(uint8_t *p, uint8_t *end, int direction) {  // 11
  uint32_t reported = get16(p + 14, end, direction);
  swapItem("bbsibbbbss", p, end, 32);
  uint8_t *q = skip(p, end, 32);
  auto sub = [&](auto swapper) {
    if (q >= end) return;
    uint8_t *subEnd = skip(q, end, addCap(32, mulCap(get32(q + 4, end, direction), 4)));
    swapper(q, subEnd);
    q = subEnd;
  };
  if (reported & 0x0D) sub([&](uint8_t *a, uint8_t *b) { caseXkbGetMap(a, b, direction); });
  if (reported & 0x02) sub([&](uint8_t *a, uint8_t *b) { caseXkbGetCompatMap(a, b, direction); });
  if (reported & 0x10) sub([](uint8_t *a, uint8_t *b) { byteswapByFormat("bbsiiibbsiii[bbbbbbsi]", a, b); });
  if (reported & 0xA0) sub([&](uint8_t *a, uint8_t *b) { caseXkbGetNames(a, b, direction); });
  if (reported & 0x40) sub([&](uint8_t *a, uint8_t *b) { caseXkbGetGeometry(a, b, direction); });
}

void caseXkbListComponents(uint8_t *p, uint8_t *end, int direction) {  // 12
  uint64_t total = 0;
  for (int k = 0; k < 6; k++) total += get16(p + 8 + 2 * k, end, direction);
  swapItem("bbsissssssssii", p, end, 32);
  uint8_t *q = skip(p, end, 32);
  for (uint64_t k = 0; k < total && q < end; k++) {
    uint32_t length = get16(q + 2, end, direction);
    swapItem("ss", q, end, 4);
    q = skip(q, end, 4 + ((uint64_t(length) + 1) & ~uint64_t(1)));
  }
}

void caseXkbGetDeviceInfo(uint8_t *p, uint8_t *end, int direction) {  // 14
  uint32_t leds = get16(p + 14, end, direction), buttons = get8(p + 19, end);
  swapItem("bbsissssbbbbbbsssi", p, end, 32);
  uint8_t *q = skip(p, end, 32);
  q = skip(q, end, byteswapXkbString(q, end, direction));
  xkbLedFeedbacks(skip(q, end, 8ull * buttons), end, direction, leds);
}

void caseXkbSetDeviceInfo(uint8_t *p, uint8_t *end, int direction) {  // 15
  uint32_t buttons = get8(p + 7, end), leds = get16(p + 10, end, direction);
  swapItem("bbssbbss", p, end, 12);
  xkbLedFeedbacks(skip(p, end, 12 + 8ull * buttons), end, direction, leds);
}

// --- Core, XInput, XVideo, RENDER ---------------------------------------------------------

void caseClientMessage(uint8_t *p, uint8_t *end) {  // 2
  uint32_t format = get8(p + 1, end);
  byteswapByFormat(format == 16 ? "bbsiiS" : format == 32 ? "bbsI" : "bbsii", p, end);
}

void caseXiListInputDevices(uint8_t *p, uint8_t *end) {  // -3
  uint64_t size = room(p, end);
  byteswapByFormat("bbsi", p, end);  // also with no devices: the client needs its framing
  if (size < 32) {
    SWAP_UNE();
    return;
  }
  uint32_t devices = p[8];
  uint8_t *device = p + 32, *c = skip(device, end, 8ull * devices);
  for (uint32_t d = 0; d < devices; d++) byteswapInt(skip(device, end, 8ull * d), end);
  for (uint32_t d = 0; d < devices && c < end; d++) {
    uint32_t classes = get8(skip(device, end, 8ull * d + 5), end);
    for (uint32_t k = 0; k < classes && c < end; k++) {
      uint32_t cls = get8(c, end), length = get8(c + 1, end);
      if (length < 2) {  // would not move on: the rest cannot be framed
        SWAP_UNE();
        return;
      }
      switch (cls) {
        case 0: swapItem("bbbbs", c, end, length); break;
        case 1: swapItem("bbs", c, end, length); break;
        case 2: swapItem("bbbbI", c, end, length); break;
        default: SWAP_UNE(); break;
      }
      c = skip(c, end, length);
    }
  }
}

void caseXvQueryAdaptors(uint8_t *p, uint8_t *end, int direction) {  // -6
  swapItem("bbsis", p, end, 32);
  for (uint8_t *a = skip(p, end, 32); room(a, end) >= 12;) {
    uint32_t nameLength = get16(a + 4, end, direction), formats = get16(a + 8, end, direction);
    swapItem("isss", a, end, 12);
    uint8_t *f = skip(a, end, 12 + pad4(nameLength));
    for (uint32_t k = 0; k < formats && f < end; k++, f = skip(f, end, 8)) byteswapInt(f, end);
    a = f;
  }
}

void caseXvQueryEncodings(uint8_t *p, uint8_t *end, int direction) {  // -42
  uint32_t encodings = get16(p + 8, end, direction);
  swapItem("bbsis", p, end, 32);
  uint8_t *e = skip(p, end, 32);
  for (uint32_t k = 0; k < encodings && e < end; k++) {
    uint32_t nameLength = get16(e + 4, end, direction);
    swapItem("issssii", e, end, 20);
    e = skip(e, end, 20 + pad4(nameLength));
  }
}

void caseXvQueryPortAttributes(uint8_t *p, uint8_t *end, int direction) {  // -43
  uint32_t attributes = get32(p + 8, end, direction);
  swapItem("bbsiii", p, end, 32);
  uint8_t *a = skip(p, end, 32);
  for (uint32_t k = 0; k < attributes && a < end; k++) {
    uint64_t nameLength = get32(a + 12, end, direction);
    swapItem("iiii", a, end, 16);
    a = skip(a, end, 16 + pad4(nameLength));
  }
}

void caseChangeProperty(uint8_t *p, uint8_t *end) {  // 24
  if (room(p, end) < 24) {
    SWAP_UNE();
    return;
  }
  switch (p[16]) {
    case 8: byteswapByFormat("bbsiiibbbbi", p, end); break;
    case 16: byteswapByFormat("bbsiiibbbbiS", p, end); break;
    case 32: byteswapByFormat("bbsiiibbbbI", p, end); break;
    default: SWAP_UNE(); break;
  }
}

void caseRenderAddGlyphs(uint8_t *p, uint8_t *end, int direction) {  // 25
  if (room(p, end) < 12) {
    SWAP_UNE();
    return;
  }
  uint64_t glyphs = get32(p + 8, end, direction);
  byteswapByFormat("bbsii", p, end);
  uint8_t *q = skip(p, end, 12);
  q = skip(q, end, byteswapInts(q, end, glyphs));
  byteswapShorts(q, end, mulCap(glyphs, 6));
}

void caseRenderSetPictureFilter(uint8_t *p, uint8_t *end, int direction) {  // 26
  uint32_t nameLength = get16(p + 8, end, direction);
  swapItem("bbsiss", p, end, 12);
  byteswapByFormat("I", skip(p, end, 12 + pad4(nameLength)), end);
}

void caseRenderCompositeGlyphs(uint8_t *p, uint8_t *end, int glyphSize) {  // 27, 28, 29
  swapItem("bbsbbsiiiiss", p, end, 28);
  for (uint8_t *q = skip(p, end, 28); room(q, end) > 8;) {
    uint32_t count = q[0];
    swapItem("bbsss", q, end, 8);
    q = skip(q, end, 8);
    if (count == 255) {
      q = skip(q, end, byteswapInt(q, end));
    } else if (glyphSize == 1) {
      q = skip(q, end, pad4(count));
    } else if (glyphSize == 2) {
      byteswapShorts(q, end, count);
      q = skip(q, end, pad4(2 * count));
    } else {
      q = skip(q, end, byteswapInts(q, end, count));
    }
  }
}

void caseRenderQueryPictFormats(uint8_t *p, uint8_t *end, int direction) {  // -30
  uint64_t formats = get32(p + 8, end, direction), screens = get32(p + 12, end, direction);
  uint64_t subpixels = get32(p + 24, end, direction);
  swapItem("bbsiiiiiii", p, end, 32);
  uint8_t *q = skip(p, end, 32);
  for (uint64_t k = 0; k < formats && q < end; k++, q = skip(q, end, 28)) swapItem("ibbsssssssssi", q, end, 28);
  for (uint64_t s = 0; s < screens && q < end; s++) {
    uint64_t depths = get32(q, end, direction);
    swapItem("ii", q, end, 8);
    q = skip(q, end, 8);
    for (uint64_t d = 0; d < depths && q < end; d++) {
      uint64_t visuals = get16(q + 2, end, direction);
      swapItem("bbsi", q, end, 8);
      q = skip(q, end, 8);
      q = skip(q, end, byteswapInts(q, end, 2 * visuals));
    }
  }
  byteswapInts(q, end, subpixels);
}

// --- Core replies --------------------------------------------------------------------------

void caseListHosts(uint8_t *p, uint8_t *end, int direction) {  // -34
  uint32_t hosts = get16(p + 8, end, direction);
  swapItem("bbsis", p, end, 32);
  uint8_t *q = skip(p, end, 32);
  for (uint32_t k = 0; k < hosts && q < end; k++) {
    uint32_t length = get16(q + 2, end, direction);
    swapItem("bbs", q, end, 4);
    q = skip(q, end, 4 + pad4(length));
  }
}

constexpr const char *kFontReplyHeader = "bbsissssssissssssissssbbbbssi";  // 60 bytes

void caseFontReply(uint8_t *p, uint8_t *end, int direction, bool withCharInfos) {  // -35, -36
  uint64_t properties = get16(p + 46, end, direction), charInfos = get32(p + 56, end, direction);
  swapItem(kFontReplyHeader, p, end, 60);
  uint8_t *q = skip(p, end, 60);
  q = skip(q, end, byteswapInts(q, end, 2 * properties));
  if (withCharInfos) byteswapShorts(q, end, mulCap(charInfos, 6));
}

// --- GLX render commands --------------------------------------------------------------------

// Bytes per item of a GL data type, 0 for a type the swapper cannot size.
unsigned glTypeSize(uint32_t type) {
  switch (type) {
    case 0x1400: case 0x1401: return 1;
    case 0x1402: case 0x1403: case 0x140B: return 2;
    case 0x1404: case 0x1405: case 0x1406: return 4;
    case 0x140A: return 8;
    default: return 0;
  }
}

// One data block of count items of size bytes, taking its size rounded up to 4; the block is
// swapped inside its own bytes. Returns the position after it.
uint8_t *glDataBlock(uint8_t *q, uint8_t *end, uint64_t count, unsigned size, bool padded = true) {
  uint64_t bytes = mulCap(count, size);
  uint8_t *blockEnd = skip(q, end, bytes);
  if (size == 2) byteswapShorts(q, blockEnd, count);
  if (size == 4) byteswapInts(q, blockEnd, count);
  if (size == 8) byteswapLongs(q, blockEnd, count);
  return padded ? skip(q, end, pad4(bytes)) : blockEnd;
}

// Case 1: vertex count, array count and primitive type, one 12-byte descriptor per array
// (type, values per vertex, array), then the vertex data interleaved: vertex by vertex, one
// element per array in descriptor order, each element padded to 4 bytes. Each value is swapped
// inside its own element.
void caseGlVertexArrays(uint8_t *p, uint8_t *end, int direction) {  // 1
  if (room(p, end) < 12) {
    SWAP_UNE();
    return;
  }
  uint64_t vertices = get32(p, end, direction), arrays = get32(p + 4, end, direction);
  byteswapInts(p, end, 3);
  uint8_t *descriptor = p + 12;
  if (mulCap(arrays, 12) > room(descriptor, end)) {
    SWAP_UNE();
    return;
  }
  // arrays is now bounded by the bytes present.
  struct Element {
    uint64_t values;
    unsigned size;
  };
  std::vector<Element> elements;
  elements.reserve(arrays);
  for (uint64_t k = 0; k < arrays; k++, descriptor += 12) {
    uint32_t type = get32(descriptor, end, direction), values = get32(descriptor + 4, end, direction);
    byteswapInts(descriptor, end, 3);
    unsigned size = glTypeSize(type);
    if (size == 0 || type == 0x140B) {  // this command has no 0x140B arrays
      SWAP_UNE();
      size = 1;  // its bytes are left as they are
    }
    if (values) elements.push_back({values, size});  // an element of no bytes takes no room
  }
  // Every element left takes at least 4 bytes, so the walk ends within the bytes present.
  uint8_t *data = descriptor;
  for (uint64_t v = 0; v < vertices && data < end && !elements.empty(); v++)
    for (const Element &e : elements) data = glDataBlock(data, end, e.values, e.size);
}

// Cases 37 and 38: a header of headerBytes with the element count and array count at the
// given offsets, then descriptors of 20 bytes, then the data blocks back to back, unpadded, as
// the executor of these commands reads them (an array of bytes or shorts whose size is no
// multiple of 4 is followed directly by the next).
void caseGlVertexArraysLong(uint8_t *p, uint8_t *end, int direction, const char *header, uint64_t headerBytes,
                            unsigned countAt, unsigned arraysAt) {
  uint64_t elements = get32(p + countAt, end, direction), arrays = get32(p + arraysAt, end, direction);
  swapItem(header, p, end, headerBytes);
  uint8_t *descriptor = skip(p, end, headerBytes), *data = skip(descriptor, end, mulCap(arrays, 20));
  for (uint64_t k = 0; k < arrays && descriptor < end; k++, descriptor = skip(descriptor, end, 20)) {
    uint32_t type = get32(descriptor, end, direction), values = get32(descriptor + 4, end, direction);
    byteswapInts(descriptor, skip(descriptor, end, 16), 4);
    unsigned size = glTypeSize(type);
    if (size == 0) {
      SWAP_UNE();
      return;
    }
    data = glDataBlock(data, end, mulCap(elements, values), size, false);
  }
}

void caseGlCountedBytes(uint8_t *p, uint8_t *end, int direction, bool longs) {  // 4, 5
  if (room(p, end) < 4) {
    SWAP_UNE();
    return;
  }
  uint64_t n = get32(p, end, direction);
  byteswapInt(p, end);
  byteswapByFormat(longs ? "L" : "I", skip(p, end, 4 + n), end);
}

void caseGlTypedList(uint8_t *p, uint8_t *end, int direction) {  // 33
  switch (get32(p + 4, end, direction)) {
    case 0x1400: case 0x1401: case 0x1407: case 0x1408: case 0x1409: byteswapByFormat("ii", p, end); break;
    case 0x1402: case 0x1403: byteswapByFormat("iiS", p, end); break;
    case 0x1404: case 0x1405: case 0x1406: byteswapByFormat("I", p, end); break;
    default: SWAP_UNE(); break;
  }
}

void caseGlCountedList(uint8_t *p, uint8_t *end, int direction) {  // 39
  uint64_t n = get32(p, end, direction);
  byteswapInt(p, end);
  byteswapInts(skip(p, end, 4), end, n);
}

void caseGlxVendor(uint8_t *p, uint8_t *end, int direction) {  // 32
  uint32_t vendorCode = get32(p + 4, end, direction);
  byteswapByFormat("bbsii", p, end);
  glxSwapVendorCommand(vendorCode, skip(p, end, 12), end, direction);
}

void caseXiChangeHierarchy(uint8_t *p, uint8_t *end, int direction) {  // 99
  uint32_t changes = get8(p + 4, end);
  byteswapByFormat("bbs", p, end);
  uint8_t *q = skip(p, end, 8);
  for (uint32_t k = 0; k < changes && q < end; k++) {
    uint32_t type = get16(q, end, direction);
    uint64_t length = 4ull * get16(q + 2, end, direction);
    if (length < 4) {  // would not move past its own head
      SWAP_UNE();
      return;
    }
    uint8_t *itemEnd = skip(q, end, length);
    byteswapByFormat("ss", q, itemEnd);
    uint8_t *body = skip(q, itemEnd, 4);
    switch (type) {
      case 1: byteswapByFormat("s", body, itemEnd); break;
      case 2: byteswapByFormat("sbbss", body, itemEnd); break;
      case 3: case 4: byteswapByFormat("ss", body, itemEnd); break;
      default: SWAP_UNE(); break;
    }
    q = itemEnd;
  }
}

void swapCase(long number, uint8_t *p, uint8_t *end) {
  int direction = number < 0 ? -1 : 1;
  switch (number < 0 ? -number : number) {
    case 1: caseGlVertexArrays(p, end, direction); break;
    case 2: caseClientMessage(p, end); break;
    case 3: caseXiListInputDevices(p, end); break;
    case 4: caseGlCountedBytes(p, end, direction, false); break;
    case 5: caseGlCountedBytes(p, end, direction, true); break;
    case 6: caseXvQueryAdaptors(p, end, direction); break;
    case 7: glxindirectSwapRender16(p, end, direction); break;
    case 8: {
      const char *layout = byteswapXkbEventLayout(get8(p + 1, end));
      if (!layout) {
        SWAP_UNE();
        layout = "bbs";
      }
      byteswapByFormat(layout, p, end);
      break;
    }
    case 9: caseXkbGetMap(p, end, direction); break;
    case 10: caseXkbSelectEvents(p, end, direction); break;
    case 11: caseXkbGetKbdByName(p, end, direction); break;
    case 12: caseXkbListComponents(p, end, direction); break;
    case 13: caseXkbGetNames(p, end, direction); break;
    case 14: caseXkbGetDeviceInfo(p, end, direction); break;
    case 15: caseXkbSetDeviceInfo(p, end, direction); break;
    case 16: caseXkbSetNames(p, end, direction); break;
    case 17: caseXkbSetMap(p, end, direction); break;
    case 18: caseXkbGetGeometry(p, end, direction); break;
    case 19: caseXkbSetGeometry(p, end, direction); break;
    case 20: caseXkbSetCompatMap(p, end, direction); break;
    case 21: caseXkbGetCompatMap(p, end, direction); break;
    case 23: byteswapSetupReply(p, end, direction); break;
    case 24: caseChangeProperty(p, end); break;
    case 25: caseRenderAddGlyphs(p, end, direction); break;
    case 26: caseRenderSetPictureFilter(p, end, direction); break;
    case 27: caseRenderCompositeGlyphs(p, end, 1); break;
    case 28: caseRenderCompositeGlyphs(p, end, 2); break;
    case 29: caseRenderCompositeGlyphs(p, end, 4); break;
    case 30: caseRenderQueryPictFormats(p, end, direction); break;
    case 32: caseGlxVendor(p, end, direction); break;
    case 33: caseGlTypedList(p, end, direction); break;
    case 34: caseListHosts(p, end, direction); break;
    case 35: caseFontReply(p, end, direction, false); break;
    case 36: caseFontReply(p, end, direction, true); break;
    case 37: caseGlVertexArraysLong(p, end, direction, "iiii", 16, 8, 12); break;
    case 38: caseGlVertexArraysLong(p, end, direction, "liiiiii", 32, 20, 28); break;
    case 39: caseGlCountedList(p, end, direction); break;
    case 42: caseXvQueryEncodings(p, end, direction); break;
    case 43: caseXvQueryPortAttributes(p, end, direction); break;
    case 99: caseXiChangeHierarchy(p, end, direction); break;
    default: SWAP_UNE(); break;
  }
}

}  // namespace

// --- Support operations ---------------------------------------------------------------------

uint64_t byteswapInt(uint8_t *p, uint8_t *end) {
  if (room(p, end) >= 4) {
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
  return 4;
}

uint64_t byteswapShorts(uint8_t *p, uint8_t *end, uint64_t n) {
  uint64_t fit = std::min(n, room(p, end) / 2);
  for (uint64_t k = 0; k < fit; k++) std::swap(p[2 * k], p[2 * k + 1]);
  return mulCap(n, 2);
}

uint64_t byteswapInts(uint8_t *p, uint8_t *end, uint64_t n) {
  uint64_t fit = std::min(n, room(p, end) / 4);
  for (uint64_t k = 0; k < fit; k++) std::reverse(p + 4 * k, p + 4 * k + 4);
  return mulCap(n, 4);
}

uint64_t byteswapLongs(uint8_t *p, uint8_t *end, uint64_t n) {
  uint64_t fit = std::min(n, room(p, end) / 8);
  for (uint64_t k = 0; k < fit; k++) std::reverse(p + 8 * k, p + 8 * k + 8);
  return mulCap(n, 8);
}

uint64_t byteswapXkbString(uint8_t *p, uint8_t *end, int direction) {
  uint64_t length = get16(p, end, direction);
  byteswapShorts(p, end, 1);
  return pad4(length + 2);
}

uint8_t *byteswapXkbDoodad(uint8_t *p, uint8_t *end, int direction) {
  uint32_t type = get8(p + 4, end);
  uint8_t *q = skip(p, end, 20);
  switch (type) {
    case 1: case 2: case 4: swapItem("ibbsss", p, end, 20); break;
    case 3:
      swapItem("ibbsssss", p, end, 20);
      q = skip(q, end, byteswapXkbString(q, end, direction));
      q = skip(q, end, byteswapXkbString(q, end, direction));
      break;
    case 5:
      swapItem("ibbsss", p, end, 20);
      q = skip(q, end, byteswapXkbString(q, end, direction));
      break;
    default:
      SWAP_UNE();
      swapItem("ibbsss", p, end, 20);
      break;
  }
  return q;
}

void byteswapSetupReply(uint8_t *p, uint8_t *end, int direction) {
  if (get8(p, end) != 1) {  // failed or asks for authentication: header fields only
    swapItem("bbsss", p, end, 8);
    return;
  }
  uint64_t vendorLength = get16(p + 24, end, direction);
  uint32_t screens = get8(p + 28, end), formats = get8(p + 29, end);
  swapItem("bbsss", p, end, 8);
  swapItem("iiiissbbbbbbbbi", skip(p, end, 8), end, 32);
  uint8_t *q = skip(p, end, 40 + pad4(vendorLength) + 8ull * formats);
  for (uint32_t s = 0; s < screens && q < end; s++) {
    uint32_t depths = get8(q + 39, end);
    swapItem("iiiiissssssi", q, end, 40);
    q = skip(q, end, 40);
    for (uint32_t d = 0; d < depths && q < end; d++) {
      uint64_t visuals = get16(q + 2, end, direction);
      swapItem("bbs", q, end, 8);
      q = skip(q, end, 8);
      for (uint64_t v = 0; v < visuals && q < end; v++, q = skip(q, end, 24)) swapItem("ibbsiii", q, end, 24);
    }
  }
}

const char *byteswapXkbEventLayout(unsigned xkbType) {
  return xkbType < 12 ? kXkbEventLayouts[xkbType] : nullptr;
}

// --- The walk -------------------------------------------------------------------------------

void byteswapByFormat(const char *layout, uint8_t *first, uint8_t *end) {
  if (!layout || !first || !end || end < first) return;
  uint8_t *p = first;
  const char *group = nullptr;  // the letter after the last '['
  bool groupHasField = false;   // the group swapped an s, i or l in this round
  for (const char *c = layout;; c++) {
    switch (*c) {
      case '\0': return;
      case 'b':
        if (room(p, end) < 1) return;
        p++;
        break;
      case 's':
        if (room(p, end) < 2) return;
        std::swap(p[0], p[1]);
        p += 2;
        groupHasField = true;
        break;
      case 'i':
        if (room(p, end) < 4) return;
        std::reverse(p, p + 4);
        p += 4;
        groupHasField = true;
        break;
      case 'l':
        if (room(p, end) < 8) return;
        std::reverse(p, p + 8);
        p += 8;
        groupHasField = true;
        break;
      case 'S': byteswapShorts(p, end, room(p, end) / 2); return;
      case 'I': byteswapInts(p, end, room(p, end) / 4); return;
      case 'L': byteswapLongs(p, end, room(p, end) / 8); return;
      case '[':
        group = c;
        groupHasField = false;
        break;
      case ']':
        // A group without a multi-byte field, or a ']' without '[', would never end.
        if (!group || !groupHasField) {
          SWAP_UNE();
          return;
        }
        c = group;  // the loop moves on to the letter after '['
        groupHasField = false;
        break;
      case 'H': {
        const char *d = c + 1;
        bool negative = *d == '-';
        if (*d == '-' || *d == '+') d++;
        long number = 0;
        int digits = 0;
        for (; *d >= '0' && *d <= '9'; d++, digits++)
          if (number < 1000) number = number * 10 + (*d - '0');
        if (digits == 0 || number < 1 || number > 99) {
          SWAP_UNE();
          return;
        }
        swapCase(negative ? -number : number, p, end);
        return;
      }
      default: SWAP_UNE(); break;
    }
  }
}
