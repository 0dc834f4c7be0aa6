// Visual records of real and meta screens.
#include "proxy/xvisual.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlibint.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibuf.h>

#include "proxy/xdisplay.h"
#include "support/wirewords.h"
#include "support/datapack.h"
#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"
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
  // The properties and extensions below are Xlib's own round trips: asked only of a server that
  // answered one in time.
  if (const char *failure = xtargetSync(display, xtargetSyncLimitMs))
    return strTempPrintf("Can't query visuals of %s, screen %d: %s", DisplayString(display), screen, failure);
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
  xvisualReadGlAttributes(display, screen, records, listed);
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
  // The atoms below are Xlib's round trips: asked only of a server that answered one in time.
  if (const char *failure = xtargetSync(display, xtargetSyncLimitMs))
    return strTempPrintf("Can't set the visual properties on %s: %s", DisplayString(display), failure);
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

// --- GL attributes and the GL capability probe -----------------------------------------------

namespace {

// GLX attributes the records carry.
enum : uint32_t {
  kGlxBufferSize = 2, kGlxLevel = 3, kGlxRgba = 4, kGlxDoubleBuffer = 5, kGlxStereo = 6, kGlxAuxBuffers = 7,
  kGlxRedSize = 8, kGlxGreenSize = 9, kGlxBlueSize = 10, kGlxAlphaSize = 11, kGlxDepthSize = 12,
  kGlxStencilSize = 13, kGlxAccumRedSize = 14, kGlxAccumGreenSize = 15, kGlxAccumBlueSize = 16,
  kGlxAccumAlphaSize = 17, kGlxConfigCaveat = 32, kGlxXVisualType = 34, kGlxTransparentType = 35,
  kGlxTransparentIndex = 36, kGlxTransparentRed = 37, kGlxTransparentGreen = 38, kGlxTransparentBlue = 39,
  kGlxTransparentAlpha = 40, kGlxVisualId = 0x800B, kGlxDrawableType = 0x8010, kGlxRenderType = 0x8011,
  kGlxXRenderable = 0x8012, kGlxFbConfigId = 0x8013, kGlxMaxPbufferWidth = 0x8016,
  kGlxMaxPbufferHeight = 0x8017, kGlxMaxPbufferPixels = 0x8018, kGlxOptimalPbufferWidth = 0x8019,
  kGlxOptimalPbufferHeight = 0x801A, kGlxVisualSelectGroup = 0x8028, kGlxSwapMethod = 0x8060,
  kGlxFloatComponents = 0x20B0, kGlxSrgbCapable = 0x20B2, kGlxColorSamples = 0x20B3,
  kGlxBindToTextureRgb = 0x20D0, kGlxBindToTextureRgba = 0x20D1, kGlxBindToMipmapTexture = 0x20D2,
  kGlxBindToTextureTargets = 0x20D3, kGlxYInverted = 0x20D4, kGlxSampleBuffers = 100000,
  kGlxSamples = 100001,
};

// The 32-bit field of the record that carries a GLX attribute, NULL for others.
uint32_t *glxField(VisualRecord *r, uint32_t attribute) {
  switch (attribute) {
    case kGlxDoubleBuffer: return &r->glDoubleBuffer;
    case kGlxStereo: return &r->glStereo;
    case kGlxAuxBuffers: return &r->glAuxBuffers;
    case kGlxConfigCaveat: return &r->glConfigCaveat;
    case kGlxTransparentType: return &r->glTransparentType;
    case kGlxTransparentIndex: return &r->glTransparentIndex;
    case kGlxTransparentRed: return &r->glTransparentRed;
    case kGlxTransparentGreen: return &r->glTransparentGreen;
    case kGlxTransparentBlue: return &r->glTransparentBlue;
    case kGlxTransparentAlpha: return &r->glTransparentAlpha;
    case kGlxDrawableType: return &r->glDrawableType;
    case kGlxRenderType: return &r->glRenderType;
    case kGlxXRenderable: return &r->glXRenderable;
    case kGlxFbConfigId: return &r->glFbConfigId;
    case kGlxMaxPbufferWidth: return &r->glMaxPbufferWidth;
    case kGlxMaxPbufferHeight: return &r->glMaxPbufferHeight;
    case kGlxMaxPbufferPixels: return &r->glMaxPbufferPixels;
    case kGlxOptimalPbufferWidth: return &r->glOptimalPbufferWidth;
    case kGlxOptimalPbufferHeight: return &r->glOptimalPbufferHeight;
    case kGlxVisualSelectGroup: return &r->glVisualSelectGroup;
    case kGlxSwapMethod: return &r->glSwapMethod;
    case kGlxFloatComponents: return &r->glFloatComponents;
    case kGlxSrgbCapable: return &r->glSrgbCapable;
    case kGlxColorSamples: return &r->glColorSamples;
    case kGlxBindToTextureRgb: return &r->glBindToTextureRgb;
    case kGlxBindToTextureRgba: return &r->glBindToTextureRgba;
    case kGlxBindToMipmapTexture: return &r->glBindToMipmapTexture;
    case kGlxBindToTextureTargets: return &r->glBindToTextureTargets;
    case kGlxYInverted: return &r->glYInverted;
    case kGlxSampleBuffers: return &r->glSampleBuffers;
    case kGlxSamples: return &r->glSamples;
    default: return nullptr;
  }
}

uint8_t u8(uint32_t v) { return static_cast<uint8_t>(v); }

}  // namespace

uint32_t xvisualGlxClass(unsigned visualClass) {
  switch (visualClass) {
    case StaticGray: return 0x8007;
    case GrayScale: return 0x8006;
    case StaticColor: return 0x8005;
    case PseudoColor: return 0x8004;
    case TrueColor: return 0x8002;
    case DirectColor: return 0x8003;
    default: LOG_UNE(); return 0x8002;
  }
}

void xvisualParseGlxAttributes(const uint32_t *first, const uint32_t *end, VisualRecord *record) {
  for (const uint32_t *p = first; p && end - p >= 2 && p[0] != 0; p += 2)
    if (uint32_t *field = glxField(record, p[0])) *field = p[1];
}

uint32_t xvisualPairValue(uint32_t attribute, const uint32_t *pairs, int pairCount) {
  for (int i = 0; i < pairCount; i++)
    if (pairs[2 * i] == attribute) return pairs[2 * i + 1];
  return 0;
}

int xvisualApplyVisualConfigs(const uint32_t *words, uint64_t wordCount, uint32_t visuals, uint32_t properties,
                              uint16_t glVersion, VisualRecord *records, int count) {
  constexpr uint32_t kCore = 18;
  uint64_t needed = static_cast<uint64_t>(visuals) * properties;
  if (visuals && (properties < kCore || needed > wordCount)) {
    LOG(logChannelProblem, "GLX visual configs of %u values for %u visuals do not fit %llu words; GL ignored",
        properties, visuals, static_cast<unsigned long long>(wordCount));
    return 0;
  }
  for (uint32_t v = 0; v < visuals; v++) {
    const uint32_t *c = words + static_cast<uint64_t>(v) * properties;
    VisualRecord *r = xvisualFindById(records, count, c[0]);
    if (!r) {
      LOG(logChannelXhint, "Unknown visual #%u in visual configs", c[0]);
      continue;
    }
    if (r->glVersion) continue;  // the first config of a visual wins
    r->glRgba = c[2] != 0;
    r->glRedSize = u8(c[3]);
    r->glGreenSize = u8(c[4]);
    r->glBlueSize = u8(c[5]);
    r->glAlphaSize = u8(c[6]);
    r->glAccumRedSize = u8(c[7]);
    r->glAccumGreenSize = u8(c[8]);
    r->glAccumBlueSize = u8(c[9]);
    r->glAccumAlphaSize = u8(c[10]);
    r->glDoubleBuffer = c[11];
    r->glStereo = c[12];
    r->glBufferSize = u8(c[13]);
    r->glDepthSize = u8(c[14]);
    r->glStencilSize = u8(c[15]);
    r->glAuxBuffers = c[16];
    r->glLevel = static_cast<int16_t>(static_cast<int32_t>(c[17]));
    r->glVersion = glVersion;
    r->glXRenderable = 1;
    r->glRenderType = r->glRgba ? 1 : 2;
    r->glDrawableType = 3;
    // An odd count of values after the core leaves half a pair, which is not read.
    xvisualParseGlxAttributes(c + kCore, c + kCore + (properties - kCore) / 2 * 2, r);
  }
  return 1;
}

int xvisualApplyFbConfigs(const uint32_t *words, uint64_t wordCount, uint32_t configs, uint32_t pairs,
                          VisualRecord *records, int count) {
  uint64_t perConfig = static_cast<uint64_t>(pairs) * 2;
  if (configs && perConfig * configs > wordCount) {
    LOG(logChannelProblem, "GLX FB configs of %u pairs for %u configs do not fit %llu words; ignored", pairs,
        configs, static_cast<unsigned long long>(wordCount));
    return 0;
  }
  int pairCount = static_cast<int>(pairs > 0x7FFFFFFF ? 0x7FFFFFFF : pairs);
  for (uint32_t i = 0; i < configs; i++) {
    const uint32_t *p = words + perConfig * i;
    uint32_t visualId = xvisualPairValue(kGlxVisualId, p, pairCount);
    if (!visualId) continue;
    VisualRecord *r = xvisualFindById(records, count, visualId);
    if (!r || !r->glVersion) continue;
    if (xvisualPairValue(kGlxXVisualType, p, pairCount) != xvisualGlxClass(r->visualClass) ||
        xvisualPairValue(kGlxAlphaSize, p, pairCount) != r->glAlphaSize ||
        xvisualPairValue(kGlxDoubleBuffer, p, pairCount) != r->glDoubleBuffer ||
        xvisualPairValue(kGlxStencilSize, p, pairCount) != r->glStencilSize ||
        xvisualPairValue(kGlxDepthSize, p, pairCount) != r->glDepthSize)
      continue;
    xvisualParseGlxAttributes(p, p + perConfig, r);
  }
  return 1;
}

uint32_t *xvisualGlxConfigs(const VisualRecord *array, int count, bool shortForm, int *configCount,
                            int *propertyCount) {
  int gl = 0;
  for (int i = 0; i < count; i++)
    if (array[i].glVersion) gl++;
  const size_t perConfig = shortForm ? 38 : 43 * 2;
  auto *block = static_cast<uint32_t *>(scratchAlloc(static_cast<size_t>(gl) * perConfig * 4));
  if (!block) return nullptr;
  uint32_t *out = block;
  for (int i = 0; i < count; i++) {
    const VisualRecord &r = array[i];
    if (!r.glVersion) continue;
    uint32_t level = static_cast<uint32_t>(static_cast<int32_t>(r.glLevel));
    if (shortForm) {
      const uint32_t values[38] = {
          r.visualId, r.visualClass, r.glRgba, r.glRedSize, r.glGreenSize, r.glBlueSize, r.glAlphaSize,
          r.glAccumRedSize, r.glAccumGreenSize, r.glAccumBlueSize, r.glAccumAlphaSize, r.glDoubleBuffer,
          r.glStereo, r.glBufferSize, r.glDepthSize, r.glStencilSize, r.glAuxBuffers, level,
          kGlxConfigCaveat, r.glConfigCaveat, kGlxTransparentType, r.glTransparentType,
          kGlxTransparentRed, r.glTransparentRed, kGlxTransparentGreen, r.glTransparentGreen,
          kGlxTransparentBlue, r.glTransparentBlue, kGlxTransparentAlpha, r.glTransparentAlpha,
          kGlxTransparentIndex, r.glTransparentIndex, kGlxSamples, r.glSamples, kGlxSampleBuffers,
          r.glSampleBuffers, 0, 0};
      memcpy(out, values, sizeof values);
    } else {
      const uint32_t values[86] = {
          kGlxFbConfigId, r.visualId, kGlxVisualId, r.visualId, kGlxXRenderable, r.glXRenderable ? 1u : 0u,
          kGlxRgba, r.glRgba, kGlxRenderType, r.glRenderType, kGlxDoubleBuffer, r.glDoubleBuffer,
          kGlxStereo, r.glStereo, kGlxBufferSize, r.glBufferSize, kGlxLevel, level,
          kGlxAuxBuffers, r.glAuxBuffers, kGlxRedSize, r.glRedSize, kGlxGreenSize, r.glGreenSize,
          kGlxBlueSize, r.glBlueSize, kGlxAlphaSize, r.glAlphaSize, kGlxDepthSize, r.glDepthSize,
          kGlxAccumRedSize, r.glAccumRedSize, kGlxAccumGreenSize, r.glAccumGreenSize,
          kGlxAccumBlueSize, r.glAccumBlueSize, kGlxAccumAlphaSize, r.glAccumAlphaSize,
          kGlxStencilSize, r.glStencilSize, kGlxXVisualType, xvisualGlxClass(r.visualClass),
          kGlxTransparentType, r.glTransparentType, kGlxTransparentIndex, r.glTransparentIndex,
          kGlxTransparentRed, r.glTransparentRed, kGlxTransparentGreen, r.glTransparentGreen,
          kGlxTransparentBlue, r.glTransparentBlue, kGlxTransparentAlpha, r.glTransparentAlpha,
          kGlxConfigCaveat, r.glConfigCaveat, kGlxDrawableType, r.glDrawableType,
          kGlxMaxPbufferWidth, r.glMaxPbufferWidth, kGlxMaxPbufferHeight, r.glMaxPbufferHeight,
          kGlxMaxPbufferPixels, r.glMaxPbufferPixels, kGlxOptimalPbufferWidth, r.glOptimalPbufferWidth,
          kGlxOptimalPbufferHeight, r.glOptimalPbufferHeight, kGlxSwapMethod, r.glSwapMethod,
          kGlxSamples, r.glSamples, kGlxSampleBuffers, r.glSampleBuffers,
          kGlxBindToTextureRgb, r.glBindToTextureRgb, kGlxBindToTextureRgba, r.glBindToTextureRgba,
          kGlxBindToMipmapTexture, r.glBindToMipmapTexture, kGlxBindToTextureTargets, r.glBindToTextureTargets,
          kGlxYInverted, r.glYInverted, kGlxVisualSelectGroup, r.glVisualSelectGroup};
      memcpy(out, values, sizeof values);
    }
    out += perConfig;
  }
  *configCount = gl;
  *propertyCount = shortForm ? 10 : 43;
  return block;
}

void xvisualFreeConfigs(uint32_t *block) { scratchFree(block); }

namespace {

constexpr int kGlxQueryVersion = 7, kGlxGetVisualConfigs = 14, kGlxGetFbConfigs = 21, kGlxClientInfo = 20,
              kGlxQueryServerString = 19, kGlxQueryExtensionsString = 18, kGlxCreateContext = 3,
              kGlxDestroyContext = 4, kGlxMakeCurrent = 5, kGlSingleGetIntegerv = 117, kGlSingleGetString = 129;


void runSyncHandler(Display *display) {
  if (display->synchandler) (*display->synchandler)(display);
}

// The GLX major opcode of the display, 0 without GLX.
int glxOpcode(Display *display) {
  XExtCodes *codes = xutilHasExtension(display, "GLX");
  return codes ? codes->major_opcode : 0;
}

// One exchange: the request (the GLX major, the minor code and up to four fields) goes beside
// Xlib's requests, and its reply is waited for at most the sync limit; the 32-byte header and at
// most keepWords words of its data are kept (the rest is dropped). False without a reply (an X
// error, no answer in time: the latter logged); *outOfMemory when the data could not be kept.
struct GlxReply {
  unsigned char header[32];
  std::vector<uint32_t> data;
  bool outOfMemory = false;
  uint32_t word(int offset) const { return wireGet32(header + offset); }
};

bool exchange(Display *display, int opcode, int minor, std::initializer_list<uint32_t> fields, GlxReply *reply,
              uint64_t keepWords) {
  uint8_t request[20] = {};
  size_t bytes = 4 + 4 * std::min<size_t>(fields.size(), 4);
  request[0] = static_cast<uint8_t>(opcode);
  request[1] = static_cast<uint8_t>(minor);
  uint16_t length = static_cast<uint16_t>(bytes / 4);
  memcpy(request + 2, &length, 2);  // in the connection's (the host's) byte order
  size_t at = 4;
  for (uint32_t field : fields)
    if (at < bytes) memcpy(request + at, &field, 4), at += 4;
  uint8_t *answer = nullptr;
  if (const char *failure = xtargetRoundTrip(display, request, bytes, xtargetSyncLimitMs, &answer)) {
    if (!strstr(failure, "answered with error"))  // errors are expected of some servers
      LOG(logChannelProblem, "GLX request %d on %s: %s", minor, DisplayString(display), failure);
    return false;
  }
  memcpy(reply->header, answer, 32);
  uint64_t words = reply->word(4);
  uint64_t keep = words < keepWords ? words : keepWords;
  try {
    reply->data.resize(keep);
    if (keep) memcpy(reply->data.data(), answer + 32, keep * 4);
  } catch (...) {
    reply->outOfMemory = true;
  }
  free(answer);
  return true;
}

void sendOnly(Display *display) {
  UnlockDisplay(display);
  runSyncHandler(display);
}

// glXQueryVersion with client version 1.4: the server's version code, 0 without reply.
uint16_t glxQueryVersion(Display *display, int opcode) {
  GlxReply reply;
  if (!exchange(display, opcode, kGlxQueryVersion, {1, 4}, &reply, 0)) return 0;
  uint64_t code = static_cast<uint64_t>(reply.word(8)) * 64 + reply.word(12);
  return static_cast<uint16_t>(code > 0xFFFF ? 0xFFFF : code);
}

// A config list request for the screen; the reply's whole data in reply->data.
bool glxConfigList(Display *display, int opcode, int minor, int screen, GlxReply *reply) {
  return exchange(display, opcode, minor, {static_cast<uint32_t>(screen)}, reply, UINT64_MAX);
}

}  // namespace

void xvisualReadGlAttributes(Display *display, int screen, VisualRecord *records, int count) {
  int opcode = glxOpcode(display);
  if (!opcode) return;
  uint16_t version = glxQueryVersion(display, opcode);
  if (!version) return;
  GlxReply visuals;
  if (!glxConfigList(display, opcode, kGlxGetVisualConfigs, screen, &visuals)) return;
  if (visuals.outOfMemory) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  xvisualApplyVisualConfigs(visuals.data.data(), visuals.data.size(), visuals.word(8), visuals.word(12), version,
                            records, count);
  if (version < 67) return;
  GlxReply fb;
  if (!glxConfigList(display, opcode, kGlxGetFbConfigs, screen, &fb)) return;
  if (fb.outOfMemory) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  xvisualApplyFbConfigs(fb.data.data(), fb.data.size(), fb.word(8), fb.word(12), records, count);
}

namespace {

constexpr char kClientGlExtensions[] =
    "GL_ARB_depth_texture GL_ARB_draw_buffers GL_ARB_fragment_program GL_ARB_fragment_program_shadow "
    "GL_ARB_imaging GL_ARB_map_buffer_range GL_ARB_multisample GL_ARB_multitexture GL_ARB_occlusion_query "
    "GL_ARB_point_parameters GL_ARB_point_sprite GL_ARB_shader_objects GL_ARB_shading_language_100 "
    "GL_ARB_shadow GL_ARB_texture_border_clamp GL_ARB_texture_compression GL_ARB_texture_cube_map "
    "GL_ARB_texture_env_add GL_ARB_texture_env_combine GL_ARB_texture_env_dot3 "
    "GL_ARB_texture_mirrored_repeat GL_ARB_texture_non_power_of_two GL_ARB_vertex_buffer_object "
    "GL_ARB_vertex_program GL_ARB_vertex_shader GL_ARB_window_pos GL_EXT_texture_env_add GL_EXT_abgr "
    "GL_EXT_bgra GL_EXT_blend_color GL_EXT_blend_func_separate GL_EXT_blend_minmax GL_EXT_blend_subtract "
    "GL_EXT_draw_range_elements GL_EXT_fog_coord GL_EXT_framebuffer_object GL_EXT_multi_draw_arrays "
    "GL_EXT_packed_pixels GL_EXT_rescale_normal GL_EXT_secondary_color GL_EXT_separate_specular_color "
    "GL_EXT_shadow_funcs GL_EXT_stencil_wrap GL_EXT_texture3D GL_EXT_texture_compression_s3tc "
    "GL_EXT_texture_edge_clamp GL_EXT_texture_env_combine GL_EXT_texture_env_dot3 GL_EXT_texture_lod_bias "
    "GL_EXT_texture_mirror_clamp GL_EXT_texture_object GL_EXT_vertex_array GL_NV_blend_square "
    "GL_NV_texgen_reflection GL_SGIS_generate_mipmap GL_SGIS_texture_lod";
static_assert(sizeof kClientGlExtensions == 1284);

constexpr uint32_t kGlVendor = 0x1F00, kGlRenderer = 0x1F01, kGlVersion = 0x1F02, kGlExtensions = 0x1F03,
                   kGlMaxLights = 0x0D31, kGlMaxClipPlanes = 0x0D32, kGlMaxTextureSize = 0x0D33,
                   kGlMaxViewportDims = 0x0D3A, kGlMaxTextureUnits = 0x84E2, kGlMaxDrawBuffers = 0x8824,
                   kGlMaxColorAttachments = 0x8CDF, kGlShadingLanguageVersion = 0x8B8C;

// Copies a string reply of n announced characters into a field of capacity bytes: at most what
// the reply carries and what the field holds, always terminated.
void copyReplyString(const GlxReply &reply, uint64_t announced, char *field, size_t capacity) {
  uint64_t carried = reply.data.size() * 4;
  uint64_t n = announced < carried ? announced : carried;
  if (n > capacity - 1) n = capacity - 1;
  const char *text = reinterpret_cast<const char *>(reply.data.data());
  size_t i = 0;
  for (; i < n && text[i]; i++) field[i] = text[i];
  field[i] = 0;
}

void glxClientInfo(Display *display, int opcode) {
  LockDisplay(display);
  const uint32_t bytes = sizeof kClientGlExtensions;
  unsigned char *request = xutilBeginRequest(display, opcode, kGlxClientInfo, 16);
  uint16_t length = static_cast<uint16_t>((16 + (bytes + 3) / 4 * 4) / 4);
  memcpy(request + 2, &length, 2);
  wirePut32(request + 4, 1);
  wirePut32(request + 8, 4);
  wirePut32(request + 12, bytes);
  Data(display, kClientGlExtensions, bytes);
  sendOnly(display);
}

// The GLX extension string into caps (QueryServerString, else QueryExtensionsString).
void glxExtensionString(Display *display, int opcode, int screen, GlCapabilities *caps) {
  const uint64_t keep = (sizeof caps->glxExtensions + 3) / 4;
  GlxReply reply;
  // GLX_EXTENSIONS (3) of the screen.
  bool ok = exchange(display, opcode, kGlxQueryServerString, {static_cast<uint32_t>(screen), 3}, &reply, keep) &&
            !reply.outOfMemory;
  char text[sizeof caps->glxExtensions];
  text[0] = 0;
  if (ok) copyReplyString(reply, reply.word(12), text, sizeof text);
  if (!text[0]) {
    GlxReply other;
    if (exchange(display, opcode, kGlxQueryExtensionsString, {static_cast<uint32_t>(screen)}, &other, keep) &&
        !other.outOfMemory)
      copyReplyString(other, other.word(12), text, sizeof text);
  }
  if (text[0]) memcpy(caps->glxExtensions, text, sizeof text);
}

// A GL single request with one 32-bit argument under the context tag.
bool glSingle(Display *display, int opcode, int code, uint32_t tag, uint32_t argument, GlxReply *reply,
              uint64_t keepWords) {
  return exchange(display, opcode, code, {tag, argument}, reply, keepWords) && !reply->outOfMemory;
}

bool glGetString(Display *display, int opcode, uint32_t tag, uint32_t name, char *field, size_t capacity) {
  GlxReply reply;
  if (!glSingle(display, opcode, kGlSingleGetString, tag, name, &reply, (capacity + 3) / 4)) return false;
  copyReplyString(reply, reply.word(12), field, capacity);
  return true;
}

// Up to n values into values[]: one from the reply header, more from its data, never more than
// the reply announces or carries; a value the reply lacks is left as it was.
bool glGetIntegerv(Display *display, int opcode, uint32_t tag, uint32_t name, int32_t *values, uint32_t n) {
  GlxReply reply;
  if (!glSingle(display, opcode, kGlSingleGetIntegerv, tag, name, &reply, n)) return false;
  uint32_t announced = reply.word(12);
  if (announced == 1) {
    values[0] = static_cast<int32_t>(reply.word(16));
    return true;
  }
  uint64_t have = announced < reply.data.size() ? announced : reply.data.size();
  for (uint64_t i = 0; i < have && i < n; i++) values[i] = static_cast<int32_t>(reply.data[i]);
  return true;
}

// glXMakeCurrent; the new context tag, 0 without reply.
uint32_t glxMakeCurrent(Display *display, int opcode, uint32_t drawable, uint32_t context, uint32_t oldTag,
                        bool *replied) {
  GlxReply reply;
  *replied = exchange(display, opcode, kGlxMakeCurrent, {drawable, context, oldTag}, &reply, 0);
  return *replied ? reply.word(8) : 0;
}

// Steps 7 and 8 of the probe with a current context. False when a required reply is missing.
bool readGlLimits(Display *display, int opcode, uint32_t tag, GlCapabilities *caps) {
  if (!glGetString(display, opcode, tag, kGlVersion, caps->glVersion, sizeof caps->glVersion)) return false;
  if (!glGetString(display, opcode, tag, kGlExtensions, caps->glExtensions, sizeof caps->glExtensions))
    return false;
  int32_t dims[2] = {caps->viewportWidth, caps->viewportHeight};
  if (!glGetIntegerv(display, opcode, tag, kGlMaxViewportDims, dims, 2)) return false;
  caps->viewportWidth = dims[0];
  caps->viewportHeight = dims[1];
  if (!glGetIntegerv(display, opcode, tag, kGlMaxClipPlanes, &caps->clipPlanes, 1)) return false;
  if (!glGetIntegerv(display, opcode, tag, kGlMaxLights, &caps->lightSources, 1)) return false;
  int32_t size = caps->textureWidth;
  if (!glGetIntegerv(display, opcode, tag, kGlMaxTextureSize, &size, 1)) return false;
  caps->textureWidth = caps->textureHeight = size;
  int32_t units = caps->textureUnits;
  if (glGetIntegerv(display, opcode, tag, kGlMaxTextureUnits, &units, 1) && units < 128) caps->textureUnits = units;
  if (!glGetString(display, opcode, tag, kGlVendor, caps->vendor, sizeof caps->vendor)) return false;
  if (!glGetString(display, opcode, tag, kGlRenderer, caps->renderer, sizeof caps->renderer)) return false;
  // The leading number of the version string; none counts as 0.
  if (strtod(caps->glVersion, nullptr) >= 2.0) {
    if (!glGetIntegerv(display, opcode, tag, kGlMaxDrawBuffers, &caps->drawBuffers, 1)) LOG_UNE();
    if (!glGetIntegerv(display, opcode, tag, kGlMaxColorAttachments, &caps->colorAttachments, 1)) LOG_UNE();
    if (!glGetString(display, opcode, tag, kGlShadingLanguageVersion, caps->shadingLanguage,
                     sizeof caps->shadingLanguage))
      LOG_UNE();
  }
  return true;
}

}  // namespace

int xvisualQueryGlx(Display *display, int screen, GlCapabilities *caps) {
  // The extension query is Xlib's own round trip: asked only of a server that answered in time.
  if (const char *failure = xtargetSync(display, xtargetSyncLimitMs)) {
    LOG(logChannelProblem, "No GLX probe of %s: %s", DisplayString(display), failure);
    return 0;
  }
  int opcode = glxOpcode(display);
  if (!opcode) return 0;
  uint16_t version = glxQueryVersion(display, opcode);
  if (!version) return 0;
  glxsupportDefaultCaps(caps);
  caps->glxVersion = version;
  if (version < 65) return 1;
  glxClientInfo(display, opcode);
  glxExtensionString(display, opcode, screen, caps);

  VisualRecord *records = nullptr;
  int count = 0;
  if (const char *error = xvisualBuildHeadVisuals(display, screen, &records, &count)) {
    LOG(logChannelProblem, "%s", error);
    return 1;
  }
  const VisualRecord *chosen = nullptr;
  for (int i = count - 1; i >= 0 && !chosen; i--)
    if (records[i].glVersion) chosen = &records[i];
  if (!chosen) {
    xvisualFreeArray(records, count);
    return 1;
  }

  int result = 0;
  {
    // A server that refuses indirect contexts answers with errors: they are expected here.
    XtargetErrorTrap trap(display);
    Window root = RootWindow(display, screen);
    XID context = XAllocID(display);
    LockDisplay(display);
    unsigned char *request = xutilBeginRequest(display, opcode, kGlxCreateContext, 24);
    wirePut32(request + 4, static_cast<uint32_t>(context));
    wirePut32(request + 8, chosen->visualId);
    wirePut32(request + 12, static_cast<uint32_t>(screen));
    wirePut32(request + 16, 0);
    request[20] = 0;  // not direct
    sendOnly(display);
    Visual *visual = xvisualXlibVisualById(chosen->visualId);
    Colormap colormap = XCreateColormap(display, root, visual, AllocNone);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = BlackPixel(display, screen);
    attributes.border_pixel = BlackPixel(display, screen);
    attributes.override_redirect = True;
    attributes.colormap = colormap;
    Window window = XCreateWindow(display, root, 0, 0, 1, 1, 0, chosen->depth, InputOutput, visual, 0x220A,
                                  &attributes);
    bool replied = false;
    uint32_t tag = glxMakeCurrent(display, opcode, static_cast<uint32_t>(window), static_cast<uint32_t>(context),
                                  0, &replied);
    if (replied && readGlLimits(display, opcode, tag, caps)) result = 1;
    if (replied) {
      bool released = false;
      glxMakeCurrent(display, opcode, 0, 0, tag, &released);
      if (!released) result = 0;
    }
    LockDisplay(display);
    request = xutilBeginRequest(display, opcode, kGlxDestroyContext, 8);
    wirePut32(request + 4, static_cast<uint32_t>(context));
    sendOnly(display);
    XDestroyWindow(display, window);
    XFreeColormap(display, colormap);
    if (const char *failure = xtargetSync(display, xtargetSyncLimitMs)) {
      LOG(logChannelProblem, "The GL limits of %s were read without its last answer: %s", DisplayString(display),
          failure);
      result = 0;
    }
  }
  xvisualFreeArray(records, count);
  if (result) glxsupportSetTextureLevels(caps);
  return result;
}
