// Visual records of real and meta screens.
#include "proxy/xvisual.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <X11/Xatom.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibuf.h>

#include "proxy/xdisplay.h"
#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xutilh.h"

namespace {

uint32_t lowestBit(uint32_t mask) {
  if (!mask) return 0;
  return static_cast<uint32_t>(__builtin_ctz(mask));
}

uint32_t bitCount(uint32_t mask) { return static_cast<uint32_t>(__builtin_popcount(mask)); }

// One item of a property as Xlib hands it over (format 32 items are longs).
uint32_t propertyItem(const unsigned char *data, int format, unsigned long index) {
  switch (format) {
    case 8: return data[index];
    case 16: return reinterpret_cast<const unsigned short *>(data)[index];
    default: return static_cast<uint32_t>(reinterpret_cast<const unsigned long *>(data)[index]);
  }
}

// Reads a root property whole; false when the atom does not exist or the read fails.
bool readRootProperty(Display *display, int screen, const char *name, unsigned char **data,
                      unsigned long *count, Atom *type, int *format) {
  Atom atom = XInternAtom(display, name, True);
  if (atom == None) return false;
  if (xdisplayGetProperty(display, RootWindow(display, screen), atom, data, count, type, format)) return false;
  if (*format != 8 && *format != 16 && *format != 32) {
    XFree(*data);
    return false;
  }
  return true;
}

void applyOverlays(Display *display, int screen, VisualRecord *records, int count) {
  unsigned char *data;
  unsigned long items;
  Atom type;
  int format;
  if (!readRootProperty(display, screen, "SERVER_OVERLAY_VISUALS", &data, &items, &type, &format)) return;
  if (format == 16 || format == 32) {
    for (unsigned long i = 0; i + 4 <= items; i += 4) {
      uint32_t id = propertyItem(data, format, i);
      VisualRecord *record = nullptr;
      for (int r = count - 1; r >= 0 && !record; r--)
        if (records[r].visualId == id) record = &records[r];
      if (!record) continue;
      record->overlayFormat = static_cast<uint8_t>(format);
      record->transparentType = static_cast<uint8_t>(propertyItem(data, format, i + 1));
      record->transparentValue = propertyItem(data, format, i + 2);
      uint32_t layer = propertyItem(data, format, i + 3);
      record->layer = static_cast<int16_t>(format == 16 ? static_cast<int16_t>(layer) : static_cast<int32_t>(layer));
    }
  }
  XFree(data);
}

void applyMatrices(Display *display, int screen, VisualRecord *records, int count) {
  unsigned char *data;
  unsigned long items;
  Atom type;
  int format;
  if (!readRootProperty(display, screen, "XDCCC_LINEAR_RGB_MATRICES", &data, &items, &type, &format)) return;
  if (format == 32 && items == 18) {
    for (int r = 0; r < count; r++) {
      records[r].hasMatrices = 1;
      for (int i = 0; i < 18; i++) records[r].matrices[i] = propertyItem(data, format, static_cast<unsigned long>(i));
    }
  }
  XFree(data);
}

void clearCorrection(VisualRecord *record) {
  CorrectionEntry *red = record->redCorrection, *green = record->greenCorrection, *blue = record->blueCorrection;
  free(red);
  if (green != red) free(green);
  if (blue != red && blue != green) free(blue);
  record->redCorrection = record->greenCorrection = record->blueCorrection = nullptr;
  record->redCorrectionCount = record->greenCorrectionCount = record->blueCorrectionCount = 0;
  record->correctionType = 0;
  record->correctionCount = 0;
}

using Table = std::vector<CorrectionEntry>;

// Gives the record its own copies of the tables; false when out of memory.
bool setCorrection(VisualRecord *record, int type, const std::vector<Table> &tables) {
  CorrectionEntry *copies[3] = {nullptr, nullptr, nullptr};
  for (size_t t = 0; t < tables.size(); t++) {
    copies[t] = static_cast<CorrectionEntry *>(malloc(sizeof(CorrectionEntry) * tables[t].size()));
    if (!copies[t]) {
      for (size_t k = 0; k < t; k++) free(copies[k]);
      return false;
    }
    memcpy(copies[t], tables[t].data(), sizeof(CorrectionEntry) * tables[t].size());
  }
  clearCorrection(record);
  record->correctionType = static_cast<uint8_t>(type);
  record->correctionCount = static_cast<uint8_t>(tables.size());
  bool one = tables.size() == 1;
  record->redCorrection = copies[0];
  record->greenCorrection = one ? copies[0] : copies[1];
  record->blueCorrection = one ? copies[0] : copies[2];
  record->redCorrectionCount = static_cast<uint32_t>(tables[0].size());
  record->greenCorrectionCount = static_cast<uint32_t>(tables[one ? 0 : 1].size());
  record->blueCorrectionCount = static_cast<uint32_t>(tables[one ? 0 : 2].size());
  return true;
}

// Reads XDCCC_LINEAR_RGB_CORRECTION. Any client of the real display can write that property,
// so every length is checked against the items present: a table of fewer than 2 entries (type 1
// spreads its values over length - 1 steps), one longer than the rest of the property, a table
// count other than 1 or 3 or an unknown type ends the reading, and the record it was meant for
// loses its tables.
void applyCorrections(Display *display, int screen, VisualRecord *records, int count) {
  unsigned char *data;
  unsigned long items;
  Atom type;
  int format;
  if (!readRootProperty(display, screen, "XDCCC_LINEAR_RGB_CORRECTION", &data, &items, &type, &format)) return;
  const unsigned long idItems = format == 8 ? 4 : format == 16 ? 2 : 1;
  const unsigned long minimum = format == 8 ? 9 : format == 16 ? 7 : 6;
  const double intensityScale = format == 8 ? 255.0 : format == 16 ? 65535.0 : 4294967295.0;
  unsigned long at = 0;
  while (items - at >= minimum) {
    uint32_t id = 0;
    for (unsigned long k = 0; k < idItems; k++)
      id = (idItems == 1 ? 0 : id << (32 / idItems)) | propertyItem(data, format, at + k);
    at += idItems;
    uint32_t tableType = propertyItem(data, format, at++);
    uint32_t tableCount = propertyItem(data, format, at++);
    VisualRecord *target = nullptr;
    if (id != 0) {
      for (int r = 0; r < count && !target; r++)
        if (records[r].visualId == id) target = &records[r];
    }
    bool malformed = tableType > 1 || (tableCount != 1 && tableCount != 3);
    std::vector<Table> tables;
    for (uint32_t t = 0; !malformed && t < tableCount; t++) {
      if (at >= items) {
        malformed = true;
        break;
      }
      uint64_t length = uint64_t{propertyItem(data, format, at++)} + 1;
      uint64_t needed = length * (tableType == 0 ? 2 : 1);
      if (length < 2 || needed > items - at) {
        malformed = true;
        break;
      }
      Table table;
      table.reserve(static_cast<size_t>(length));
      for (uint64_t i = 0; i < length; i++) {
        CorrectionEntry entry;
        if (tableType == 0) {
          uint32_t value = propertyItem(data, format, at++);
          entry.value = static_cast<uint16_t>(format == 8 ? value * 257 : value);
        } else {
          entry.value = static_cast<uint16_t>(i * 65535 / (length - 1));
        }
        entry.intensity = propertyItem(data, format, at++) / intensityScale;
        table.push_back(entry);
      }
      tables.push_back(std::move(table));
    }
    if (malformed) {
      if (target) clearCorrection(target);
      break;
    }
    bool failed = false;
    if (id == 0) {
      for (int r = 0; r < count && !failed; r++)
        if (records[r].correctionCount == 0) failed = !setCorrection(&records[r], static_cast<int>(tableType), tables);
    } else if (target && target->correctionCount == 0) {
      // The first entry that reaches a record wins, an earlier id-0 entry included.
      failed = !setCorrection(target, static_cast<int>(tableType), tables);
    }
    if (failed) {
      LOG_OUT_OF_MEMORY();
      if (target) clearCorrection(target);
      break;
    }
  }
  XFree(data);
}

void applyDoubleBuffer(Display *display, int screen, VisualRecord *records, int count) {
  int major, minor;
  if (!xdisplayQueryDbe(display, &major, &minor)) return;
  Drawable root = RootWindow(display, screen);
  int screens = 1;
  XdbeScreenVisualInfo *info = XdbeGetVisualInfo(display, &root, &screens);
  if (!info) return;
  for (int i = 0; i < info->count; i++) {
    for (int r = 0; r < count; r++) {
      if (records[r].visualId != info->visinfo[i].visual) continue;
      records[r].doubleBuffered = 1;
      records[r].doubleBufferPerformance = static_cast<uint8_t>(info->visinfo[i].perflevel);
    }
  }
  XdbeFreeVisualInfo(info);
}

void applyMultiBuffering(Display *display, int screen, VisualRecord *records, int count) {
  if (!xdisplayMultiBufferingOpcode(display)) return;
  int monoCount = 0, stereoCount = 0;
  XmbufBufferInfo *mono = nullptr, *stereo = nullptr;
  if (!XmbufGetScreenInfo(display, RootWindow(display, screen), &monoCount, &mono, &stereoCount, &stereo)) return;
  for (int r = 0; r < count; r++) {
    for (int i = 0; i < monoCount; i++)
      if (mono[i].visualid == records[r].visualId) records[r].mbufMono = mono[i].max_buffers;
    for (int i = 0; i < stereoCount; i++)
      if (stereo[i].visualid == records[r].visualId) records[r].mbufStereo = stereo[i].max_buffers;
  }
  if (mono) XFree(mono);
  if (stereo) XFree(stereo);
}

void applyRenderFormats(Display *display, VisualRecord *records, int count) {
  int major, minor, formats = 0;
  RenderFormatInfo *info = xvisualQueryRenderFormats(display, &major, &minor, &formats);
  if (!info) return;
  for (int f = 0; f < formats; f++) {
    if (info[f].type != 1) continue;
    for (int v = 0; v < kRenderFormatMaxVisuals && info[f].visualIds[v]; v++) {
      for (int r = 0; r < count; r++) {
        if (records[r].visualId != info[f].visualIds[v]) continue;
        records[r].renderFormat = info[f].formatId;
        records[r].alphaBits = info[f].alphaBits;
      }
    }
  }
  free(info);
}

}  // namespace

void xvisualSetMasks(VisualRecord *record, uint32_t red, uint32_t green, uint32_t blue) {
  if (record->visualClass < TrueColor && !record->baseVisualId) red = green = blue = 0;
  record->redMask = red;
  record->greenMask = green;
  record->blueMask = blue;
  record->redShift = lowestBit(red);
  record->greenShift = lowestBit(green);
  record->blueShift = lowestBit(blue);
  record->redBits = bitCount(red);
  record->greenBits = bitCount(green);
  record->blueBits = bitCount(blue);
}

const char *xvisualBuildHeadVisuals(Display *display, int screen, VisualRecord **array, int *count) {
  XVisualInfo templ{};
  templ.screen = screen;
  int listed = 0;
  XVisualInfo *list = XGetVisualInfo(display, VisualScreenMask, &templ, &listed);
  if (!list || listed < 1) {
    if (list) XFree(list);
    return strTempPrintf("No visuals found at %s, screen %d", DisplayString(display), screen);
  }
  auto *records = static_cast<VisualRecord *>(calloc(static_cast<size_t>(listed), sizeof(VisualRecord)));
  if (!records) {
    XFree(list);
    return OUT_OF_MEMORY_TEXT();
  }
  VisualID defaultId = XVisualIDFromVisual(DefaultVisual(display, screen));
  for (int i = 0; i < listed; i++) {
    VisualRecord &r = records[i];
    r.visualId = static_cast<uint32_t>(list[i].visualid);
    r.screen = static_cast<uint8_t>(screen);
    r.visualClass = static_cast<uint8_t>(list[i].c_class);
    r.depth = static_cast<uint8_t>(list[i].depth);
    r.colormapEntries = static_cast<uint16_t>(list[i].colormap_size > 65535 ? 65535 : list[i].colormap_size);
    r.bitsPerRgb = static_cast<uint8_t>(list[i].bits_per_rgb);
    xvisualSetMasks(&r, static_cast<uint32_t>(list[i].red_mask), static_cast<uint32_t>(list[i].green_mask),
                    static_cast<uint32_t>(list[i].blue_mask));
    r.isDefault = list[i].visualid == defaultId;
    r.mbufMono = r.mbufStereo = -1;
  }
  XFree(list);
  applyOverlays(display, screen, records, listed);
  applyMatrices(display, screen, records, listed);
  applyCorrections(display, screen, records, listed);
  applyDoubleBuffer(display, screen, records, listed);
  applyMultiBuffering(display, screen, records, listed);
  // The GL attributes stay zero here: every record is treated as not GL-capable, as on a
  // display without GLX.
  applyRenderFormats(display, records, listed);
  *array = records;
  *count = listed;
  return nullptr;
}

int xvisualGetInfo(Display *display, int screen, uint32_t visualId, XVisualInfo *info) {
  XVisualInfo templ{};
  templ.screen = screen;
  templ.visualid = visualId;
  int count = 0;
  XVisualInfo *list = XGetVisualInfo(display, VisualScreenMask | VisualIDMask, &templ, &count);
  if (!list) return 0;
  int found = count > 0;
  if (found) *info = list[0];
  XFree(list);
  return found;
}

Visual *xvisualXlibVisualById(uint32_t visualId) {
  static Visual visual;
  visual = Visual{};
  visual.visualid = visualId;
  return &visual;
}

Visual *xvisualXlibVisual(const VisualRecord *record) {
  static Visual visual;
  if (!record) return nullptr;
  visual = Visual{};
  bool emulated = record->baseVisualId != 0;
  visual.visualid = emulated ? record->baseVisualId : record->visualId;
  visual.c_class = emulated ? record->baseClass : record->visualClass;
  if (emulated || record->visualClass == TrueColor || record->visualClass == DirectColor) {
    visual.red_mask = record->redMask;
    visual.green_mask = record->greenMask;
    visual.blue_mask = record->blueMask;
  }
  visual.bits_per_rgb = record->bitsPerRgb;
  visual.map_entries = record->colormapEntries;
  return &visual;
}

const char *xvisualClassName(unsigned visualClass) {
  static constexpr const char *kNames[] = {"StaticGray", "GrayScale",  "StaticColor",
                                           "PseudoColor", "TrueColor", "DirectColor"};
  return visualClass <= 5 ? kNames[visualClass] : "Unknown class";
}

void xvisualCopy(const VisualRecord *source, VisualRecord *destination) {
  if (source == destination) return;
  *destination = *source;
  destination->redCorrection = destination->greenCorrection = destination->blueCorrection = nullptr;
  destination->redCorrectionCount = destination->greenCorrectionCount = destination->blueCorrectionCount = 0;
  destination->correctionCount = 0;
  if (!source->redCorrection || source->correctionCount == 0) return;
  std::vector<Table> tables;
  tables.emplace_back(source->redCorrection, source->redCorrection + source->redCorrectionCount);
  if (source->correctionCount == 3) {
    tables.emplace_back(source->greenCorrection, source->greenCorrection + source->greenCorrectionCount);
    tables.emplace_back(source->blueCorrection, source->blueCorrection + source->blueCorrectionCount);
  }
  if (!setCorrection(destination, source->correctionType, tables)) LOG_OUT_OF_MEMORY();
}

VisualRecord *xvisualCopyArray(const VisualRecord *array, int count) {
  if (count < 0) return nullptr;
  auto *copies = static_cast<VisualRecord *>(calloc(count ? static_cast<size_t>(count) : 1, sizeof(VisualRecord)));
  if (!copies) return nullptr;
  for (int i = 0; i < count; i++) xvisualCopy(&array[i], &copies[i]);
  return copies;
}

void xvisualFreeContents(VisualRecord *record) {
  clearCorrection(record);
  record->hasMatrices = 0;
  memset(record->matrices, 0, sizeof record->matrices);
}

void xvisualFreeArray(VisualRecord *array, int count) {
  if (!array) return;
  for (int i = count - 1; i >= 0; i--) xvisualFreeContents(&array[i]);
  free(array);
}

namespace {

bool sameTable(const CorrectionEntry *a, uint32_t aCount, const CorrectionEntry *b, uint32_t bCount) {
  if (aCount != bCount) return false;
  if (aCount == 0) return true;
  if (!a || !b) return a == b;
  for (uint32_t i = 0; i < aCount; i++)
    if (a[i].value != b[i].value || a[i].intensity != b[i].intensity) return false;
  return true;
}

bool hasCharacterisation(const VisualRecord *r) { return r->hasMatrices || r->correctionCount != 0; }

}  // namespace

bool xvisualEqual(const VisualRecord *a, const VisualRecord *b) {
  if (a->hasMatrices != b->hasMatrices) return false;
  if (a->hasMatrices && memcmp(a->matrices, b->matrices, sizeof a->matrices) != 0) return false;
  if (a->correctionCount != b->correctionCount) return false;
  if (a->correctionCount && a->correctionType != b->correctionType) return false;
  return sameTable(a->redCorrection, a->redCorrectionCount, b->redCorrection, b->redCorrectionCount) &&
         sameTable(a->greenCorrection, a->greenCorrectionCount, b->greenCorrection, b->greenCorrectionCount) &&
         sameTable(a->blueCorrection, a->blueCorrectionCount, b->blueCorrection, b->blueCorrectionCount);
}

bool xvisualIdsContiguous(const VisualRecord *array, int count) {
  if (!array || count < 1) return false;
  for (int i = 1; i < count; i++)
    if (array[i].visualId != array[i - 1].visualId + 1) return false;
  return true;
}

VisualRecord *xvisualFindById(VisualRecord *array, int count, uint32_t visualId) {
  for (int i = 0; array && i < count; i++)
    if (array[i].visualId == visualId) return &array[i];
  return nullptr;
}

uint32_t xvisualDistance(const VisualRecord *wanted, const VisualRecord *candidate, int mode) {
  if (wanted->visualClass != candidate->visualClass) return 1000000;
  uint32_t d = wanted->visualId != candidate->visualId ? 1 : 0;
  if (wanted->colormapEntries > candidate->colormapEntries) {
    if (wanted->bitsPerRgb > candidate->bitsPerRgb) d += 1536;
    else if (wanted->bitsPerRgb < candidate->bitsPerRgb) d += 514;
    else d += 512;
  } else {
    if (wanted->colormapEntries < candidate->colormapEntries) d += 2;
    if (wanted->bitsPerRgb > candidate->bitsPerRgb) d += 1024;
    else if (wanted->bitsPerRgb < candidate->bitsPerRgb) d += 2;
  }
  if ((wanted->visualClass == TrueColor || wanted->visualClass == DirectColor) &&
      (wanted->redMask != candidate->redMask || wanted->greenMask != candidate->greenMask ||
       wanted->blueMask != candidate->blueMask))
    d += 16;
  if (wanted->layer == candidate->layer) {
    if (wanted->transparentType != 0 && candidate->transparentType == 0) d += 256;
    else if (wanted->transparentType == 0 && candidate->transparentType == 1) d += 128;
    else if (wanted->transparentType != candidate->transparentType ||
             wanted->transparentValue != candidate->transparentValue)
      d += 1000000;
  } else {
    d += mode == 1 ? 2 : 1000000;
  }
  if (!wanted->doubleBuffered && candidate->doubleBuffered) d += 2;
  else if (wanted->doubleBuffered && candidate->doubleBuffered) {
    if (wanted->doubleBufferPerformance > candidate->doubleBufferPerformance) d += 8;
    else if (wanted->doubleBufferPerformance < candidate->doubleBufferPerformance) d += 2;
  } else if (wanted->doubleBuffered && !candidate->doubleBuffered) d += 4096;
  bool wantedAlpha = wanted->renderFormat && wanted->alphaBits;
  bool candidateAlpha = candidate->renderFormat && candidate->alphaBits;
  if (wantedAlpha && !candidateAlpha) d += 2048;
  else if (wantedAlpha && candidateAlpha) {
    if (wanted->alphaBits > candidate->alphaBits) d += 2048;
    else if (wanted->alphaBits < candidate->alphaBits) d += 2;
  } else if (!wantedAlpha && candidateAlpha) d += 2;
  bool wantedGamma = hasCharacterisation(wanted), candidateGamma = hasCharacterisation(candidate);
  if (!wantedGamma && candidateGamma) d += 2;
  else if ((wantedGamma && !candidateGamma) || (wantedGamma && candidateGamma && !xvisualEqual(wanted, candidate)))
    d += 32;
  if (candidate->baseVisualId) d += 1024;
  return d;
}

const char *xvisualDescribe(const VisualRecord *r) {
  char *text = strTempAlloc(300);
  char *end = text + 300;
  char *at = strAppendf(text, end, "%s %u bit (#%u", xvisualClassName(r->visualClass), r->depth, r->visualId);
  bool precision = r->visualClass < TrueColor
                       ? r->bitsPerRgb != r->depth
                       : (r->bitsPerRgb != r->redBits || r->bitsPerRgb != r->greenBits || r->bitsPerRgb != r->blueBits);
  if (precision) at = strAppendf(at, end, ", %u bit prec.", r->bitsPerRgb);
  if (r->baseVisualId) at = strAppendf(at, end, ", emulated");
  if (r->doubleBuffered) at = strAppendf(at, end, ", double-buf");
  if (r->mbufMono > 0) at = strAppendf(at, end, ", mono");
  if (r->mbufStereo > 0) at = strAppendf(at, end, ", stereo");
  if (r->layer) {
    at = strAppendf(at, end, ", overlay %d", r->layer);
    if (r->transparentType == 1) at = strAppendf(at, end, ", transparent pixel %u", r->transparentValue);
    if (r->transparentType == 2) at = strAppendf(at, end, ", transparent mask %u", r->transparentValue);
  }
  if (r->glVersion) {
    at = strAppendf(at, end, ", GL %s%s%s%s%s%salpha=%d Z=%d stencil=%d aux=%d", r->glRgba ? "" : "color-indexed ",
                    r->glStereo ? "stereo " : "", r->glDoubleBuffer ? "double " : "",
                    (r->glDrawableType & 0x4) ? "p-buffered " : "", r->glLevel ? "layered " : "",
                    (r->glSamples || r->glSampleBuffers) ? "multi " : "", r->glAlphaSize, r->glDepthSize,
                    r->glStencilSize, static_cast<int>(r->glAuxBuffers));
  }
  if (r->renderFormat && r->alphaBits) at = strAppendf(at, end, ", %u bit alpha", r->alphaBits);
  if (hasCharacterisation(r)) at = strAppendf(at, end, ", gamma");
  strAppendf(at, end, ")");
  return text;
}

long xvisualCorrectionItems(const VisualRecord *r, int format, uint32_t **items) {
  *items = nullptr;
  if (r->correctionType > 1 || (r->correctionCount != 1 && r->correctionCount != 3)) return 0;
  const CorrectionEntry *tables[3] = {r->redCorrection, r->greenCorrection, r->blueCorrection};
  const uint32_t counts[3] = {r->redCorrectionCount, r->greenCorrectionCount, r->blueCorrectionCount};
  for (int t = 0; t < r->correctionCount; t++)
    if (!tables[t] || counts[t] < 2) return 0;
  const double scale = format == 8 ? 255.0 : format == 16 ? 65535.0 : 4294967295.0;
  std::vector<uint32_t> out;
  if (format == 8) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back((r->visualId >> shift) & 0xff);
  } else if (format == 16) {
    out.push_back(r->visualId >> 16);
    out.push_back(r->visualId & 0xffff);
  } else {
    out.push_back(r->visualId);
  }
  out.push_back(r->correctionType);
  out.push_back(r->correctionCount);
  for (int t = 0; t < r->correctionCount; t++) {
    out.push_back(counts[t] - 1);
    for (uint32_t i = 0; i < counts[t]; i++) {
      if (r->correctionType == 0) out.push_back(format == 8 ? tables[t][i].value / 257 : tables[t][i].value);
      out.push_back(static_cast<uint32_t>(llround(tables[t][i].intensity * scale)));
    }
  }
  *items = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * out.size()));
  if (!*items) return -1;
  memcpy(*items, out.data(), sizeof(uint32_t) * out.size());
  return static_cast<long>(out.size());
}

const char *xvisualSetProperties(Display *display, Window window, const VisualRecord *array, int count) {
  if (!array || count < 1) return nullptr;
  std::vector<long> overlay32;
  std::vector<short> overlay16;
  for (int i = 0; i < count; i++) {
    const VisualRecord &r = array[i];
    if (r.overlayFormat == 32) {
      overlay32.insert(overlay32.end(), {static_cast<long>(r.visualId), r.transparentType,
                                         static_cast<long>(r.transparentValue), r.layer});
    } else if (r.overlayFormat == 16) {
      overlay16.insert(overlay16.end(), {static_cast<short>(r.visualId), static_cast<short>(r.transparentType),
                                         static_cast<short>(r.transparentValue), r.layer});
    }
  }
  if (!overlay32.empty() || !overlay16.empty()) {
    Atom atom = XInternAtom(display, "SERVER_OVERLAY_VISUALS", False);
    if (atom == None) {
      return strTempPrintf(
          "Broken connection to display %s (%u requests, %u processed, %s:%d) - Maybe the X server has been "
          "stopped or is unavailable",
          DisplayString(display), static_cast<unsigned>(NextRequest(display) - 1),
          static_cast<unsigned>(LastKnownRequestProcessed(display)), __FILE__, __LINE__);
    }
    if (!overlay32.empty()) {
      XChangeProperty(display, window, atom, atom, 32, PropModeReplace,
                      reinterpret_cast<unsigned char *>(overlay32.data()), static_cast<int>(overlay32.size()));
    } else {
      XChangeProperty(display, window, atom, atom, 16, PropModeReplace,
                      reinterpret_cast<unsigned char *>(overlay16.data()), static_cast<int>(overlay16.size()));
    }
  } else {
    Atom atom = XInternAtom(display, "SERVER_OVERLAY_VISUALS", True);
    if (atom != None) {
      logStep("Removing SERVER_OVERLAY_VISUALS property ...");
      XDeleteProperty(display, window, atom);
    }
  }

  Atom matrices = XInternAtom(display, "XDCCC_LINEAR_RGB_MATRICES", False);
  const VisualRecord *withMatrices = nullptr;
  for (int i = 0; i < count; i++)
    if (array[i].hasMatrices) withMatrices = &array[i];
  if (withMatrices) {
    long values[18];
    for (int i = 0; i < 18; i++) values[i] = static_cast<long>(withMatrices->matrices[i]);
    XChangeProperty(display, window, matrices, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(values), 18);
  } else {
    XDeleteProperty(display, window, matrices);
  }

  Atom correction = XInternAtom(display, "XDCCC_LINEAR_RGB_CORRECTION", False);
  bool written = false;
  for (int i = 0; i < count; i++) {
    const VisualRecord &r = array[i];
    if (r.correctionType > 1 || (r.correctionCount != 1 && r.correctionCount != 3)) continue;
    uint32_t *items = nullptr;
    long n = xvisualCorrectionItems(&r, 16, &items);
    if (n < 0) return OUT_OF_MEMORY_TEXT();
    if (n == 0) {
      // A three-table entry that cannot be written ends the pass; a one-table entry is skipped.
      if (r.correctionCount == 3) break;
      continue;
    }
    std::vector<short> values(items, items + n);
    free(items);
    XChangeProperty(display, window, correction, XA_INTEGER, 16, written ? PropModeAppend : PropModeReplace,
                    reinterpret_cast<unsigned char *>(values.data()), static_cast<int>(n));
    written = true;
  }
  if (!written) XDeleteProperty(display, window, correction);
  return nullptr;
}

void xvisualDeleteStdColormaps(Display *display, int screen) {
  static constexpr const char *kNames[] = {"RGB_DEFAULT_MAP", "RGB_BEST_MAP",  "RGB_RED_MAP",  "RGB_GREEN_MAP",
                                           "RGB_BLUE_MAP",    "RGB_GRAY_MAP",  "RGB_COLOR_MAP"};
  XGrabServer(display);
  for (const char *name : kNames) {
    Atom atom = XInternAtom(display, name, True);
    if (atom != None) XDeleteProperty(display, RootWindow(display, screen), atom);
  }
  XUngrabServer(display);
  XFlush(display);
}

RenderFormatInfo *xvisualQueryRenderFormats(Display *display, int *major, int *minor, int *count) {
  int eventBase, errorBase;
  *count = 0;
  if (!XRenderQueryExtension(display, &eventBase, &errorBase)) return nullptr;
  // The version is asked first; the formats are read afterwards.
  if (!XRenderQueryVersion(display, major, minor)) return nullptr;
  if (!XRenderQueryFormats(display)) return nullptr;
  int formats = 0;
  XRenderPictFormat templ{};
  while (XRenderFindFormat(display, 0, &templ, formats)) formats++;
  auto *info = static_cast<RenderFormatInfo *>(calloc(formats ? static_cast<size_t>(formats) : 1, sizeof(RenderFormatInfo)));
  if (!info) return nullptr;
  for (int f = 0; f < formats; f++) {
    XRenderPictFormat *format = XRenderFindFormat(display, 0, &templ, f);
    RenderFormatInfo &out = info[f];
    out.formatId = static_cast<uint32_t>(format->id);
    out.type = static_cast<uint8_t>(format->type == PictTypeDirect ? 1 : 0);
    out.depth = static_cast<uint8_t>(format->depth);
    out.colormap = static_cast<uint32_t>(format->colormap);
    out.redBits = static_cast<uint8_t>(bitCount(static_cast<uint32_t>(format->direct.redMask)));
    out.greenBits = static_cast<uint8_t>(bitCount(static_cast<uint32_t>(format->direct.greenMask)));
    out.blueBits = static_cast<uint8_t>(bitCount(static_cast<uint32_t>(format->direct.blueMask)));
    out.alphaBits = static_cast<uint8_t>(bitCount(static_cast<uint32_t>(format->direct.alphaMask)));
    out.redShift = static_cast<uint8_t>(format->direct.red);
    out.greenShift = static_cast<uint8_t>(format->direct.green);
    out.blueShift = static_cast<uint8_t>(format->direct.blue);
    out.alphaShift = static_cast<uint8_t>(format->direct.alpha);
  }
  // Each screen's visuals, appended to the list of their format (at most 999 per format; the
  // rest are left out).
  for (int screen = 0; screen < ScreenCount(display); screen++) {
    XVisualInfo visualTemplate{};
    visualTemplate.screen = screen;
    int visuals = 0;
    XVisualInfo *list = XGetVisualInfo(display, VisualScreenMask, &visualTemplate, &visuals);
    for (int v = 0; list && v < visuals; v++) {
      XRenderPictFormat *format = XRenderFindVisualFormat(display, list[v].visual);
      if (!format) continue;
      for (int f = 0; f < formats; f++) {
        if (info[f].formatId != format->id) continue;
        int used = 0;
        while (used < kRenderFormatMaxVisuals && info[f].visualIds[used]) used++;
        if (used < kRenderFormatMaxVisuals) info[f].visualIds[used] = static_cast<uint32_t>(list[v].visualid);
        info[f].screen = static_cast<uint16_t>(screen);
        break;
      }
    }
    if (list) XFree(list);
  }
  *count = formats;
  return info;
}

void xvisualSetWindowName(Display *display, Window window, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const char *name = strTempVprintf(format, args);
  va_end(args);
  XStoreName(display, window, name);
}
