// The XIE extension. Every request goes once, on the client's main display connection, with its
// object ids translated for the first head of the first meta screen. Photoflos are rewritten on
// the way: an import from a drawable becomes a paste-up of one import per head, each cut to the
// part of the drawable that head shows, and an export to a drawable is repeated for every head.
// Stored photoflos keep a record so that imports of a window that has moved are rebuilt before
// the flo runs, and so that events name the client's elements. The photoflos of a client of the
// other byte order are swapped into the proxy's order element by element first.
#include "xext/xie.h"

#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/rect.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/byteswap.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr uint8_t kBadLength = 16, kBadAlloc = 11, kBadIDChoice = 14;
constexpr uint8_t kSentEvent = 0x80;
constexpr uint8_t kMinorModifyPhotoflo = 20;
// The reply callback of an execution: the import table of the flo that runs.
constexpr uint8_t kTagImports = 16;
// Phototags are 16 bits: a flo holds at most this many elements.
constexpr uint64_t kMaxElements = 65535;

// ----- Element layouts ----------------------------------------------------------------------
// Every element starts with its type and its length in 4-byte units (16 bits each).
enum : uint16_t {
  kImportDrawable = 4,
  kImportDrawablePlane = 5,
  kImportLUT = 6,
  kImportPhotomap = 7,
  kImportROI = 8,
  kConvertFromIndex = 16,
  kConvertToIndex = 18,
  kPasteUp = 26,
  kExportDrawable = 33,
  kExportDrawablePlane = 34,
  kExportLUT = 35,
  kExportPhotomap = 36,
  kExportROI = 37,
};

// The elements whose fields the proxy reads: the bytes of their fixed part and the offsets of
// the server objects they name (0: none).
struct ElementLayout {
  uint16_t type;
  uint16_t fixedBytes;
  uint8_t idAt[2];
};
constexpr ElementLayout kElementLayouts[] = {
    {kImportDrawable, 24, {0, 0}},       // drawable 4, src x 8, src y 10, width 12, height 14, fill 16, notify 20
    {kImportDrawablePlane, 28, {0, 0}},  // as ImportDrawable, fill 16, bit plane 20, notify 24
    {kImportLUT, 8, {4, 0}},             // LUT 4
    {kImportPhotomap, 12, {4, 0}},       // photomap 4, notify 8
    {kImportROI, 8, {4, 0}},             // ROI 4
    {kConvertFromIndex, 12, {8, 0}},     // src 4, class 6, precision 7, colormap 8
    {kConvertToIndex, 20, {8, 12}},      // src 4, notify 6, colormap 8, color list 12, technique 16, params 18
    {kExportDrawable, 20, {0, 0}},       // src 4, dst x 6, dst y 8, drawable 12, GC 16
    {kExportDrawablePlane, 20, {0, 0}},  // as ExportDrawable
    {kExportLUT, 24, {8, 0}},            // src 4, merge 6, LUT 8, start 12
    {kExportPhotomap, 16, {8, 0}},       // src 4, photomap 8, technique 12, params 14
    {kExportROI, 12, {8, 0}},            // src 4, ROI 8
};
const ElementLayout *layoutOf(uint16_t type) {
  for (const ElementLayout &l : kElementLayouts)
    if (l.type == type) return &l;
  return nullptr;
}
bool isDrawableImport(uint16_t type) { return type == kImportDrawable || type == kImportDrawablePlane; }
bool isDrawableExport(uint16_t type) { return type == kExportDrawable || type == kExportDrawablePlane; }

// The PasteUp that stands for a drawable import: tile count 4 (16 bits), width 8, height 12,
// three constants 16-27 (zero), then one tile per head from 28: source element 0 (16 bits),
// x 4, y 8 (32 bits each).
constexpr uint32_t kPasteUpFixed = 28, kTileBytes = 12;

uint32_t headsPerCopy() { return proxyState.maxHeadsPerMetaScreen ? proxyState.maxHeadsPerMetaScreen : 1; }

// The first head of the first meta screen: where the XIE objects live.
Head *firstHead() { return xscreenList ? xscreenList->heads : nullptr; }
uint32_t objectId(uint32_t id) { return resourceServerId(id, kResourceScreenResource, firstHead()); }

// The meta screen's head of that place in its list, its first when it has fewer.
Head *headAt(MetaScreen *screen, uint32_t index) {
  if (!screen) return firstHead();
  Head *head = screen->heads;
  for (uint32_t k = 0; head && k < index; k++) head = head->next;
  return head ? head : screen->heads;
}

bool overlaps(const Rect &a, const Rect &b) {
  Rect cut{};
  rectIntersect(&cut, a, b);
  return cut.width && cut.height;
}

// The copies an element adds.
uint32_t copiesOf(uint16_t type, uint32_t heads) {
  if (isDrawableImport(type)) return heads;
  if (isDrawableExport(type)) return heads - 1;
  return 0;
}

// ----- Import copies ------------------------------------------------------------------------

// Fills the copy of an import for copy index i and writes its tile.
void placeImportCopy(uint8_t *copy, uint8_t *tile, const uint8_t *import, uint32_t index, uint16_t sourceNumber) {
  uint32_t drawable = wireGet32(import + 4);
  int32_t sourceX = int16_t(wireGet16(import + 8)), sourceY = int16_t(wireGet16(import + 10));
  uint32_t width = wireGet16(import + 12), height = wireGet16(import + 14);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(drawable));
  Head *head = firstHead();
  int32_t tileX = 0, tileY = 0;
  if (window) {
    Rect area{window->x + sourceX, window->y + sourceY, width, height};
    MetaScreen *screen = window->screen;
    head = headAt(screen, index);
    if (!head || !overlaps(area, head->rect)) {
      Head *found = nullptr;
      for (Head *h = screen ? screen->heads : nullptr; h && !found; h = h->next)
        if (overlaps(area, h->rect)) found = h;
      head = found ? found : headAt(screen, 0);
    }
    Rect cut{};
    if (head) rectIntersect(&cut, area, head->rect);
    if (cut.width && cut.height) {
      int32_t copyX = cut.x - window->x, copyY = cut.y - window->y;
      wirePut16(copy + 8, uint16_t(copyX));
      wirePut16(copy + 10, uint16_t(copyY));
      wirePut16(copy + 12, uint16_t(cut.width));
      wirePut16(copy + 14, uint16_t(cut.height));
      tileX = copyX - sourceX;
      tileY = copyY - sourceY;
    }
  }
  if (head) wirePut32(copy + 4, xproxyServerDrawable(drawable, head));
  wirePut16(tile, sourceNumber);
  wirePut16(tile + 2, 0);
  wirePut32(tile + 4, uint32_t(tileX));
  wirePut32(tile + 8, uint32_t(tileY));
}

void recordElement(XieElementRecord *record, const uint8_t *element, uint32_t bytes) {
  *record = XieElementRecord{};
  record->type = uint16_t(wireGet16(element));
  if (!isDrawableImport(record->type)) return;
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(wireGet32(element + 4)));
  if (!window) return;
  uint32_t kept = bytes < sizeof record->element ? bytes : uint32_t(sizeof record->element);
  memcpy(record->element, element, kept);
  wirePut16(record->element + 2, uint16_t(kept / 4));
  record->x = window->x;
  record->y = window->y;
  record->width = window->width ? window->width : 1;  // width 0 means "no window"
  record->height = window->height;
}

// ----- Flo bookkeeping ------------------------------------------------------------------------

// The number of the first copy of element `index` (0-based) of a stored flo.
uint32_t firstCopyNumber(const XiePhotofloRecord *record, uint32_t index, uint32_t heads) {
  uint64_t number = uint64_t(record->elementCount) + 1;
  for (uint32_t k = 0; k < index && k < record->elementCount; k++) number += copiesOf(record->elements[k].type, heads);
  return uint32_t(number);
}

void freeTableArgument(uintptr_t table) { xieDropTable(reinterpret_cast<XieImportTable *>(table)); }

// The request of a flo rebuilt: header bytes, the rewritten elements and the added ones (numbered
// from the client's count + 1), the element count at countAt raised and the length field set.
// With table or records given, the flo's import table and element records are made too (they
// are the caller's, also after a failure). 0, or the X error (nothing written to a connection).
struct Rebuilt {
  uint8_t *bytes = nullptr;
  uint32_t length = 0;
  ~Rebuilt() { free(bytes); }
};
uint8_t rebuildFlo(const uint8_t *request, uint32_t length, uint32_t header, uint32_t countAt, Rebuilt *out,
                   XieImportTable **table, XieElementRecord **records) {
  uint32_t count = wireGet16(request + countAt);
  uint64_t size = 0, extra = 0;
  uint32_t imports = 0, added = 0;
  if (uint8_t error = xieMeasureElements(request + header, length - header, count, &size, &extra, &imports, &added))
    return error;
  uint64_t total = header + size + extra;
  // Beyond what a 32-bit length in words can say (the display connection refuses what its
  // server cannot take).
  if (total > 0xfffffff0u) return kBadAlloc;
  if (table) *table = nullptr;
  if (records) *records = nullptr;
  out->bytes = static_cast<uint8_t *>(malloc(size_t(total)));
  if (!out->bytes) return kBadAlloc;
  if (table && imports && !(*table = xieNewTable(imports, headsPerCopy()))) return kBadAlloc;
  if (records && count) {
    *records = static_cast<XieElementRecord *>(calloc(size_t(count) + 1, sizeof(XieElementRecord)));
    if (!*records) {
      if (table) xieDropTable(*table), *table = nullptr;
      return kBadAlloc;
    }
  }
  memcpy(out->bytes, request, header);
  uint8_t error = 0;
  int64_t made = xieRewriteElements(request + header, length - header, count, out->bytes + header, size,
                                    out->bytes + header + size, extra, count + 1,
                                    table ? *table : nullptr, records ? *records : nullptr, &error);
  if (made < 0) return error;
  wirePut16(out->bytes + countAt, uint16_t(count + uint32_t(made)));
  out->length = uint32_t(total);
  wirePut16(out->bytes + 2, total <= kDisplayShortRequestMax ? uint16_t(total / 4) : 0);
  return 0;
}

void refuse(uint8_t code, uint32_t value, const uint8_t *request, uint32_t length) {
  if (code == kBadAlloc) LOG_OUT_OF_MEMORY();
  xprotoSendError(code, value, request, length, nullptr);
}

// ----- Clients of the other byte order ----------------------------------------------------------

// Every element's fields as a wire layout, its type and length first; a trailing I takes the
// 32-bit technique parameters (or kernel) up to the element's end. Elements whose parameters
// depend on their technique name where the technique number is (the number of 4-byte words of
// parameters follows it) and which table gives the parameters' layouts. Parameters that are
// bytes only (decoding, dithering) need nothing.
enum class Techniques : uint8_t { Fixed, FromRGB, ToRGB, Encode, Geometry, Histogram };
struct ElementSwap {
  const char *layout;
  uint8_t techniqueAt;
  Techniques techniques;
};
constexpr ElementSwap kElementSwaps[] = {
    {"ss", 0, Techniques::Fixed},                         // 0: no such element (type and length only)
    {"ssbbsiiiiii", 0, Techniques::Fixed},                // 1 ImportClientLUT
    {"ssbbsiiiiiiiiiss", 0, Techniques::Fixed},           // 2 ImportClientPhoto (decode: bytes)
    {"ssi", 0, Techniques::Fixed},                        // 3 ImportClientROI
    {"ssissssi", 0, Techniques::Fixed},                   // 4 ImportDrawable
    {"ssissssii", 0, Techniques::Fixed},                  // 5 ImportDrawablePlane
    {"ssi", 0, Techniques::Fixed},                        // 6 ImportLUT
    {"ssi", 0, Techniques::Fixed},                        // 7 ImportPhotomap
    {"ssi", 0, Techniques::Fixed},                        // 8 ImportROI
    {"ssssiisbbiii", 0, Techniques::Fixed},               // 9 Arithmetic
    {"ssssss", 0, Techniques::Fixed},                     // 10 BandCombine
    {"ssssiiiii", 0, Techniques::Fixed},                  // 11 BandExtract
    {"sss", 0, Techniques::Fixed},                        // 12 BandSelect
    {"ssssssiisbbiiii", 0, Techniques::Fixed},            // 13 Blend
    {"ssssiisbbiii", 0, Techniques::Fixed},               // 14 Compare
    {"ssssiiissI", 0, Techniques::Fixed},                 // 15 Constrain (clip-scale: words)
    {"sssbbi", 0, Techniques::Fixed},                     // 16 ConvertFromIndex
    {"ssssss", 8, Techniques::FromRGB},                  // 17 ConvertFromRGB
    {"sssbbiissI", 0, Techniques::Fixed},                 // 18 ConvertToIndex (colour allocation: words)
    {"ssssss", 8, Techniques::ToRGB},                    // 19 ConvertToRGB
    {"ssssiisbbssI", 0, Techniques::Fixed},               // 20 Convolve (kernel, constant: words)
    {"sssbbiiiss", 0, Techniques::Fixed},                 // 21 Dither (bytes)
    {"sssbbiiiiiiiiiiiss", 52, Techniques::Geometry},    // 22 Geometry
    {"ssssiisbbiii", 0, Techniques::Fixed},               // 23 Logical
    {"ssssiissss", 20, Techniques::Histogram},           // 24 MatchHistogram
    {"ssssiisbb", 0, Techniques::Fixed},                  // 25 Math
    {"ssssiiiii[ssii]", 0, Techniques::Fixed},            // 26 PasteUp and its tiles
    {"ssssiisbb", 0, Techniques::Fixed},                  // 27 Point
    {"ssss", 0, Techniques::Fixed},                       // 28 Unconstrain
    {"sssbbiiss", 0, Techniques::Fixed},                  // 29 ExportClientHistogram
    {"sssbbiiiiii", 0, Techniques::Fixed},                // 30 ExportClientLUT
    {"sssbbss", 8, Techniques::Encode},                  // 31 ExportClientPhoto
    {"sss", 0, Techniques::Fixed},                        // 32 ExportClientROI
    {"ssssssii", 0, Techniques::Fixed},                   // 33 ExportDrawable
    {"ssssssii", 0, Techniques::Fixed},                   // 34 ExportDrawablePlane
    {"sssbbiiii", 0, Techniques::Fixed},                  // 35 ExportLUT
    {"ssssiss", 12, Techniques::Encode},                 // 36 ExportPhotomap
    {"ssssi", 0, Techniques::Fixed},                      // 37 ExportROI
};
struct TechniqueSwap {
  Techniques techniques;
  uint16_t number;
  const char *layout;
};
constexpr TechniqueSwap kTechniqueSwaps[] = {
    {Techniques::FromRGB, 2, "iiiiiiiiissI"},     // RGB to CIELab: matrix, white adjustment and its words
    {Techniques::FromRGB, 4, "iiiiiiiiissI"},     // RGB to CIEXYZ
    {Techniques::FromRGB, 6, "I"},                // RGB to YCbCr
    {Techniques::FromRGB, 8, "I"},                // RGB to YCC
    {Techniques::ToRGB, 2, "iiiiiiiiissssI"},     // CIELab to RGB: matrix, white and gamut, white's words
    {Techniques::ToRGB, 4, "iiiiiiiiissssI"},     // CIEXYZ to RGB
    {Techniques::ToRGB, 6, "iiiiiiiiiss"},        // YCbCr to RGB
    {Techniques::ToRGB, 8, "iiiiiiiss"},          // YCC to RGB
    {Techniques::Encode, 3, "bbbbbbbbbbs"},       // uncompressed triple
    {Techniques::Encode, 6, "bbbbi"},             // G32D: k factor
    {Techniques::Encode, 10, "bbbbbbbbssss"},     // JPEG baseline: table lengths (tables: bytes)
    {Techniques::Encode, 12, "bbsbbbb"},          // JPEG lossless: table length
    {Techniques::Encode, 14, "bbs"},              // TIFF2
    {Techniques::Geometry, 4, "ss"},              // antialias by area
    {Techniques::Geometry, 6, "ss"},              // antialias by low-pass: kernel size
    {Techniques::Geometry, 10, "bbsii"},          // gaussian: sigma, normalize
    {Techniques::Histogram, 4, "ii"},             // gaussian: mean, sigma
    {Techniques::Histogram, 6, "bbbbi"},          // hyperbolic: constant
};

// Swaps one element (whole, its length checked) from the client's byte order into ours.
void swapElement(uint8_t *element, uint32_t bytes) {
  uint16_t type = uint16_t(wireGet16(element, 1));
  const ElementSwap &e = kElementSwaps[type < sizeof kElementSwaps / sizeof kElementSwaps[0] ? type : 0];
  byteswapByFormat(e.layout, element, element + bytes);
  if (!e.techniqueAt || uint32_t(e.techniqueAt) + 4 > bytes) return;
  uint16_t technique = wireGet16(element + e.techniqueAt);
  // The parameters follow the fixed part; never past the element.
  uint64_t start = uint64_t(e.techniqueAt) + 4, size = uint64_t(wireGet16(element + e.techniqueAt + 2)) * 4;
  uint64_t end = start + size < bytes ? start + size : bytes;
  for (const TechniqueSwap &t : kTechniqueSwaps)
    if (t.techniques == e.techniques && t.number == technique) byteswapByFormat(t.layout, element + start, element + end);
}

// A photoflo request of a client of the other byte order, into ours: the header by its layout
// (the element count at countAt), then the elements one by one. The elements' sizes are checked
// in the client's order before anything is swapped, as the proxy's own walk checks them; false
// (BadLength answered, nothing swapped) when they do not fill the request.
bool swapFloRequest(uint8_t *request, uint32_t length, const char *headerLayout, uint32_t header, uint32_t countAt) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->reader.swapped) return true;
  uint32_t count = wireGet16(request + countAt, 1), available = length - header;
  uint8_t *elements = request + header;
  uint64_t at = 0;
  for (uint32_t k = 0; k < count; k++) {
    uint64_t bytes = at + 4 <= available ? uint64_t(wireGet16(elements + at + 2, 1)) * 4 : 0;
    const ElementLayout *layout = bytes ? layoutOf(uint16_t(wireGet16(elements + at, 1))) : nullptr;
    if (bytes < 4 || at + bytes > available || (layout && bytes < layout->fixedBytes)) {
      xprotoSendError(kBadLength, length, request, length, nullptr);
      return false;
    }
    at += bytes;
  }
  if (at != available) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return false;
  }
  byteswapByFormat(headerLayout, request, request + header);
  for (uint32_t k = 0, offset = 0; k < count; k++) {
    uint32_t bytes = wireGet16(elements + offset + 2, 1) * 4;
    swapElement(elements + offset, bytes);
    offset += bytes;
  }
  return true;
}

// ----- Requests ---------------------------------------------------------------------------------

void createObject(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameNewId(id, request, length)) return;
  // The object's meta screen is the first one: its ids translate on that screen's heads.
  if (!resourceAdd(id, kResourceScreenResource, xscreenList)) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (copy) wirePut32(copy + 4, objectId(id));
}

void destroyObject(uint8_t *request, uint32_t, uint8_t *copy) {
  uint32_t id = wireGet32(request + 4);
  if (!copy) return;
  wirePut32(copy + 4, objectId(id));
  if (resourceLookupByType(id, kResourceScreenResource)) resourceFree(id, 0);
}

void objectAt4(uint8_t *request, uint32_t, uint8_t *copy) {
  if (copy) wirePut32(copy + 4, objectId(wireGet32(request + 4)));
}

// The flo name: the photospace at 4 when not 0, else the flo id at 8.
void floName(uint8_t *request, uint32_t, uint8_t *copy) {
  if (!copy) return;
  uint32_t space = wireGet32(request + 4);
  if (space)
    wirePut32(copy + 4, objectId(space));
  else
    wirePut32(copy + 8, objectId(wireGet32(request + 8)));
}

void executeImmediate(uint8_t *request, uint32_t length, uint8_t *) {
  if (!swapFloRequest(request, length, "bbsiisbb", 16, 12)) return;
  DisplayConnection *connection = xcoreFrameConnection();
  Rebuilt rebuilt;
  XieImportTable *table = nullptr;
  if (uint8_t error = rebuildFlo(request, length, 16, 12, &rebuilt, &table, nullptr)) {
    xieDropTable(table);
    refuse(error, error == kBadLength ? length : 0, request, length);
    return;
  }
  floName(request, length, rebuilt.bytes);
  if (!miscWriteServerRequest(connection, rebuilt.bytes, rebuilt.length)) {
    xieDropTable(table);
    return;
  }
  // The callback owns the table: events of this execution find it there until a later answer
  // settles it; the sync bounds that time.
  xproxyPushReplyCallback(connection, kTagImports, reinterpret_cast<uintptr_t>(table), table ? freeTableArgument : nullptr);
  if (table) xproxySendNoOpRequest(connection, xieFreeTable, 0, xproxyNoOpNothingRelease);
}

void freeRoutine(uint32_t, void *value) { xieFreeResource(static_cast<XiePhotofloRecord *>(value)); }
MetaScreen *screenOfFlo(void *) { return xscreenList; }

void createPhotoflo(uint8_t *request, uint32_t length, uint8_t *) {
  if (!swapFloRequest(request, length, "bbsisbb", 12, 8)) return;
  uint32_t flo = wireGet32(request + 4);
  if (!xcoreFrameNewId(flo, request, length)) return;
  auto *record = static_cast<XiePhotofloRecord *>(calloc(1, sizeof(XiePhotofloRecord)));
  if (!record) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  Rebuilt rebuilt;
  if (uint8_t error = rebuildFlo(request, length, 12, 8, &rebuilt, &record->imports, &record->elements)) {
    xieFreeResource(record);
    refuse(error, error == kBadLength ? length : 0, request, length);
    return;
  }
  record->elementCount = wireGet16(request + 8);
  if (!resourceAdd(flo, kResourceXie, record)) {  // the record went with the failed add
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  wirePut32(rebuilt.bytes + 4, objectId(flo));
  DisplayConnection *connection = xcoreFrameConnection();
  if (!miscWriteServerRequest(connection, rebuilt.bytes, rebuilt.length)) {
    resourceFree(flo, 0);
    return;
  }
  xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, flo, nullptr);
}

void destroyPhotoflo(uint8_t *request, uint32_t, uint8_t *copy) {
  uint32_t flo = wireGet32(request + 4);
  if (!copy) return;
  wirePut32(copy + 4, objectId(flo));
  if (resourceLookupByType(flo, kResourceXie)) resourceFree(flo, 0);
}

// Imports of windows that moved or changed size since the flo was written are rebuilt: the
// PasteUp in the element's place and its copies, by two ModifyPhotoflo ahead of the run.
bool refreshImports(XiePhotofloRecord *record, uint8_t major, uint32_t serverFlo, DisplayConnection *connection) {
  uint32_t heads = headsPerCopy();
  for (uint32_t k = 0; record->elements && k < record->elementCount; k++) {
    XieElementRecord *element = &record->elements[k];
    if (!element->width) continue;
    auto *window = static_cast<WindowRecord *>(resourceLookupWindow(wireGet32(element->element + 4)));
    if (!window || (window->x == element->x && window->y == element->y &&
                    (window->width ? window->width : 1u) == element->width && window->height == element->height))
      continue;
    uint32_t bytes = wireGet16(element->element + 2) * 4;
    uint8_t saved[sizeof element->element];
    memcpy(saved, element->element, sizeof saved);
    uint64_t size = kPasteUpFixed + uint64_t(kTileBytes) * heads, extra = uint64_t(heads) * bytes;
    uint8_t *out = static_cast<uint8_t *>(malloc(size_t(size + extra)));
    if (!out) return false;
    uint32_t first = firstCopyNumber(record, k, heads);
    uint8_t error = 0;
    int64_t made = xieRewriteElements(saved, bytes, 1, out, size, out + size, extra, first, nullptr, element, &error);
    bool written = made == int64_t(heads) &&
                   xieSendModifyPhotoflo(connection, major, serverFlo, uint16_t(k + 1), 1, out, uint32_t(size)) &&
                   xieSendModifyPhotoflo(connection, major, serverFlo, uint16_t(first), uint16_t(heads), out + size,
                                         uint32_t(extra));
    free(out);
    if (!written) return false;
  }
  return true;
}

void executePhotoflo(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t flo = wireGet32(request + 4);
  DisplayConnection *connection = xcoreFrameConnection();
  if (!connection) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  auto *record = static_cast<XiePhotofloRecord *>(resourceLookupByType(flo, kResourceXie));
  if (record && !refreshImports(record, request[0], objectId(flo), connection)) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) return;
  wirePut32(copy + 4, objectId(flo));
  // A copy of its own: a DestroyPhotoflo right behind may free the record's table before the
  // events of this run arrive.
  XieImportTable *table = record && record->imports ? xieCopyTable(record->imports) : nullptr;
  xproxyPushReplyCallback(connection, kTagImports, reinterpret_cast<uintptr_t>(table), table ? freeTableArgument : nullptr);
}

// The elements of a ModifyPhotoflo or RedefinePhotoflo go unchanged but for the flo id.
void writeWithFloOnly(uint8_t *request, uint32_t length) {
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (copy) wirePut32(copy + 4, objectId(wireGet32(request + 4)));
}

void modifyPhotoflo(uint8_t *request, uint32_t length, uint8_t *) {
  if (!swapFloRequest(request, length, "bbsiss", 12, 10)) return;
  uint32_t flo = wireGet32(request + 4);
  uint32_t start = wireGet16(request + 8), count = wireGet16(request + 10);
  auto *record = static_cast<XiePhotofloRecord *>(resourceLookupByType(flo, kResourceXie));
  if (!record || !record->elements || start == 0 || uint64_t(start) + count - 1 > record->elementCount) {
    writeWithFloOnly(request, length);
    return;
  }
  uint64_t size = 0, extra = 0;
  uint32_t imports = 0, added = 0;
  if (uint8_t error = xieMeasureElements(request + 12, length - 12, count, &size, &extra, &imports, &added)) {
    refuse(error, error == kBadLength ? length : 0, request, length);
    return;
  }
  // Each new element must be of the kind it replaces: the numbering of the copies depends on it.
  const uint8_t *at = request + 12;
  for (uint32_t k = 0; k < count; k++) {
    if (wireGet16(at) != record->elements[start - 1 + k].type) {
      LOG_UNE();
      writeWithFloOnly(request, length);
      return;
    }
    at += wireGet16(at + 2) * 4;
  }
  uint32_t heads = headsPerCopy();
  Rebuilt rebuilt;
  rebuilt.bytes = static_cast<uint8_t *>(malloc(size_t(12 + size + extra)));
  if (!rebuilt.bytes) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  // Rewritten into a scratch copy of the records first: the flo's records change only once the
  // requests are written.
  XieElementRecord *records = static_cast<XieElementRecord *>(calloc(count ? count : 1, sizeof(XieElementRecord)));
  if (!records) {
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  uint32_t first = firstCopyNumber(record, start - 1, heads);
  uint8_t error = 0;
  memcpy(rebuilt.bytes, request, 12);
  int64_t made = xieRewriteElements(request + 12, length - 12, count, rebuilt.bytes + 12, size,
                                    rebuilt.bytes + 12 + size, extra, first, nullptr, records, &error);
  if (made < 0) {
    free(records);
    refuse(error, 0, request, length);
    return;
  }
  uint32_t serverFlo = objectId(flo);
  DisplayConnection *connection = xcoreFrameConnection();
  if (made > 0 && !xieSendModifyPhotoflo(connection, request[0], serverFlo, uint16_t(first), uint16_t(made),
                                          rebuilt.bytes + 12 + size, uint32_t(extra))) {
    free(records);
    refuse(kBadAlloc, 0, request, length);
    return;
  }
  wirePut32(rebuilt.bytes + 4, serverFlo);
  wirePut16(rebuilt.bytes + 2, uint16_t((12 + size) / 4));
  if (miscWriteServerRequest(connection, rebuilt.bytes, uint32_t(12 + size)))
    memcpy(&record->elements[start - 1], records, count * sizeof(XieElementRecord));
  free(records);
}

void redefinePhotoflo(uint8_t *request, uint32_t length, uint8_t *) {
  if (!swapFloRequest(request, length, "bbsisbb", 12, 8)) return;
  uint32_t flo = wireGet32(request + 4);
  auto *record = static_cast<XiePhotofloRecord *>(resourceLookupByType(flo, kResourceXie));
  if (!record) {
    writeWithFloOnly(request, length);
    return;
  }
  Rebuilt rebuilt;
  XieImportTable *table = nullptr;
  XieElementRecord *records = nullptr;
  uint8_t error = rebuildFlo(request, length, 12, 8, &rebuilt, &table, &records);
  if (error == kBadLength) {  // nothing changes for a request the server would refuse
    refuse(error, length, request, length);
    return;
  }
  xieDropTable(record->imports);
  free(record->elements);
  record->imports = nullptr;
  record->elements = nullptr;
  record->elementCount = 0;
  if (error) {
    xieDropTable(table);
    free(records);
    refuse(error, 0, request, length);
    return;
  }
  record->imports = table;
  record->elements = records;
  record->elementCount = wireGet16(request + 8);
  wirePut32(rebuilt.bytes + 4, objectId(flo));
  miscWriteServerRequest(xcoreFrameConnection(), rebuilt.bytes, rebuilt.length);
}

// ----- Replies ------------------------------------------------------------------------------

void queryColorListReply(uint8_t *reply, uint32_t length) {
  wirePut32(reply + 8, mainServerToProxyXid(wireGet32(reply + 8), xproxyCurrentDisplayConnection->display));
  extWriteReply(reply, length, "bbsiiiiiiiI");
}

// QueryTechniques: the records from byte 32 (needs-parameters, group, number (16 bits), speed,
// name length, two pad bytes, the name padded to 4) are no part of the layout: a client of the
// other byte order gets their numbers swapped here, as far as the reply holds whole records.
void queryTechniquesReply(uint8_t *reply, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->reader.swapped) {
    uint64_t at = 32;
    for (uint32_t count = wireGet16(reply + 8); count > 0 && at + 8 <= length; count--) {
      byteswapShorts(reply + at + 2, reply + at + 4, 1);
      at += 8 + ((uint64_t(reply[at + 5]) + 3) & ~uint64_t(3));
    }
  }
  extWriteReply(reply, length, "bbsis");
}

// ----- Events -------------------------------------------------------------------------------

enum class EventKind : uint8_t { ColorAlloc, DecodeNotify, ExportAvailable, ImportObscured, PhotofloDone };

void xieEvent(uint8_t *event, EventKind kind, WireLayout layout) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) {
    LOG_UNE();
    return;
  }
  if (!(event[0] & kSentEvent)) {
    ServerDisplay *display = connection->display;
    mainSetLastTime(wireGet32(event + 4));
    if (kind == EventKind::ColorAlloc) wirePut32(event + 20, mainServerToProxyXid(wireGet32(event + 20), display));
    if (kind == EventKind::ImportObscured) {
      auto *table = reinterpret_cast<const XieImportTable *>(xproxyTakeReplyCallbackData(connection, kTagImports));
      wirePut16(event + 16, uint16_t(xieClientElementNumber(table, wireGet16(event + 16))));
      wirePut32(event + 20, mainServerToProxyXid(wireGet32(event + 20), display));
    }
    if (uint32_t space = wireGet32(event + 8))
      wirePut32(event + 8, mainServerToProxyXid(space, display));
    else
      wirePut32(event + 12, mainServerToProxyXid(wireGet32(event + 12), display));
  }
  mainSendEventToClient(event, layout, 0);
}

constexpr const char *kColorAllocLayout = "bbsiiississi", *kDecodeNotifyLayout = "bbsiiisssbbii",
                     *kExportAvailableLayout = "bbsiiissiii", *kImportObscuredLayout = "bbsiiississss",
                     *kPhotofloDoneLayout = "bbsiii";
void colorAlloc(uint8_t *e) { xieEvent(e, EventKind::ColorAlloc, kColorAllocLayout); }
void decodeNotify(uint8_t *e) { xieEvent(e, EventKind::DecodeNotify, kDecodeNotifyLayout); }
void exportAvailable(uint8_t *e) { xieEvent(e, EventKind::ExportAvailable, kExportAvailableLayout); }
void importObscured(uint8_t *e) { xieEvent(e, EventKind::ImportObscured, kImportObscuredLayout); }
void photofloDone(uint8_t *e) { xieEvent(e, EventKind::PhotofloDone, kPhotofloDoneLayout); }

// ----- Errors -------------------------------------------------------------------------------

// The flo errors whose resource (byte 20) is a server id: the ones about a colour list, a
// drawable, a GC, a LUT, a photomap, an ROI or a colormap.
bool floErrorNamesResource(uint8_t code) {
  switch (code) {
    case 3: case 4: case 6: case 8: case 11: case 14: case 15: return true;
    default: return false;
  }
}

void floError(uint8_t *error) {
  DisplayConnection *connection = extEnterMessage(error);
  if (!connection) {
    LOG_UNE();
    return;
  }
  ServerDisplay *display = connection->display;
  if (uint32_t space = wireGet32(error + 12))
    wirePut32(error + 12, mainServerToProxyXid(space, display));
  else
    wirePut32(error + 4, mainServerToProxyXid(wireGet32(error + 4), display));
  if (floErrorNamesResource(error[11])) wirePut32(error + 20, mainServerToProxyXid(wireGet32(error + 20), display));
  error[10] = xproxyMapMajorOpcode(error[10]);
  xprotoLogXError(error, "XieNoFlo error code %d, flo 0x%x, resource 0x%x", error[11], wireGet32(error + 4),
                  wireGet32(error + 20));
  mainQueueEventForClient(error, "bbsisbbissi");
}

// ----- Table --------------------------------------------------------------------------------

constexpr ExtRequestRow kRows[] = {
    {1, "XieQueryImageExtension", 8, 0, "bbsss", ExtServed::Forward, nullptr, "bbsissbbsI", ExtReplyKind::Plain, nullptr},
    {2, "XieQueryTechniques", 8, 0, "bbs", ExtServed::Forward, nullptr, "bbsis", ExtReplyKind::Own,
     queryTechniquesReply},
    {3, "XieCreateColorList", 8, 0, "bbsi", ExtServed::Local, createObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "XieDestroyColorList", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "XiePurgeColorList", 8, 0, "bbsi", ExtServed::Forward, objectAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {6, "XieQueryColorList", 8, 0, "bbsi", ExtServed::Forward, objectAt4, "bbsiiiiiiiI", ExtReplyKind::Own,
     queryColorListReply},
    {7, "XieCreateLUT", 8, 0, "bbsi", ExtServed::Local, createObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {8, "XieDestroyLUT", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {9, "XieCreatePhotomap", 8, 0, "bbsi", ExtServed::Local, createObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {10, "XieDestroyPhotomap", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {11, "XieQueryPhotomap", 8, 0, "bbsi", ExtServed::Forward, objectAt4, "bbsibbsI", ExtReplyKind::Plain, nullptr},
    {12, "XieCreateROI", 8, 0, "bbsi", ExtServed::Local, createObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {13, "XieDestroyROI", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {14, "XieCreatePhotospace", 8, 0, "bbsi", ExtServed::Local, createObject, nullptr, ExtReplyKind::NoReply, nullptr},
    {15, "XieDestroyPhotospace", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {16, "XieExecuteImmediate", 16, 4, nullptr, ExtServed::Local, executeImmediate, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {17, "XieCreatePhotoflo", 12, 4, nullptr, ExtServed::Local, createPhotoflo, nullptr, ExtReplyKind::NoReply, nullptr},
    {18, "XieDestroyPhotoflo", 8, 0, "bbsi", ExtServed::Forward, destroyPhotoflo, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {19, "XieExecutePhotoflo", 12, 0, "bbsi", ExtServed::Local, executePhotoflo, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {20, "XieModifyPhotoflo", 12, 4, nullptr, ExtServed::Local, modifyPhotoflo, nullptr, ExtReplyKind::NoReply, nullptr},
    {21, "XieRedefinePhotoflo", 12, 4, nullptr, ExtServed::Local, redefinePhotoflo, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {22, "XiePutClientData", 20, 4, "bbsiisbbi", ExtServed::Forward, floName, nullptr, ExtReplyKind::NoReply, nullptr},
    {23, "XieGetClientData", 20, 0, "bbsiiis", ExtServed::Forward, floName, "bbsii", ExtReplyKind::Plain, nullptr},
    // The expected and the available phototags (16 bits each) follow the 32-byte header.
    {24, "XieQueryPhotoflo", 12, 4, "bbsI", ExtServed::Forward, floName, "bbsissiiiiiS", ExtReplyKind::Plain,
     nullptr},
    {25, "XieAwait", 12, 0, "bbsii", ExtServed::Forward, floName, nullptr, ExtReplyKind::NoReply, nullptr},
    {26, "XieAbort", 12, 0, "bbsii", ExtServed::Forward, floName, nullptr, ExtReplyKind::NoReply, nullptr},
};

}  // namespace

const ExtRequestTable xieTable{kRows, sizeof kRows / sizeof kRows[0]};

// ===== set-up =====
const char *xieSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "XIE", 5, 7)) return error;
  extWriteRows(record, xieTable);
  if (record->firstEvent) {
    const EventHandler handlers[] = {colorAlloc, decodeNotify, exportAvailable, importObscured, photofloDone};
    const WireLayout layouts[] = {kColorAllocLayout, kDecodeNotifyLayout, kExportAvailableLayout,
                                  kImportObscuredLayout, kPhotofloDoneLayout};
    for (int k = 0; k < 5; k++)
      if (const char *error = extAddEventRow(record, handlers[k], layouts[k])) return error;
  }
  if (record->firstError) {
    const char *names[] = {"XieNoColorList", "XieNoLUT", "XieNoPhotoflo", "XieNoPhotomap", "XieNoPhotospace",
                           "XieNoROI"};
    for (const char *name : names)
      if (const char *error = extAddErrorRow(record, extPrintError, name)) return error;
    if (const char *error = extAddErrorRow(record, floError, "XieNoFlo")) return error;
  }
  resourceTypeRoutines[kResourceXie].free = freeRoutine;
  resourceTypeRoutines[kResourceXie].metaScreenOf = screenOfFlo;
  return nullptr;
}
// ===== end of set-up =====

uint8_t xieMeasureElements(const uint8_t *elements, uint32_t available, uint32_t count, uint64_t *size,
                           uint64_t *extra, uint32_t *imports, uint32_t *addedCount) {
  uint32_t heads = headsPerCopy();
  uint64_t bytesOut = 0, bytesAdded = 0, added = 0;
  uint32_t importCount = 0;
  uint64_t at = 0;
  for (uint32_t k = 0; k < count; k++) {
    if (at + 4 > available) return kBadLength;
    uint16_t type = uint16_t(wireGet16(elements + at));
    uint64_t bytes = uint64_t(wireGet16(elements + at + 2)) * 4;
    const ElementLayout *layout = layoutOf(type);
    if (bytes < 4 || at + bytes > available || (layout && bytes < layout->fixedBytes)) return kBadLength;
    if (isDrawableImport(type)) {
      bytesOut += kPasteUpFixed + uint64_t(kTileBytes) * heads;
      bytesAdded += heads * bytes;
      importCount++;
    } else {
      bytesOut += bytes;
      if (isDrawableExport(type)) bytesAdded += (heads - 1) * bytes;
    }
    added += copiesOf(type, heads);
    at += bytes;
  }
  if (at != available) return kBadLength;
  if (count + added > kMaxElements) return kBadAlloc;
  *size = bytesOut;
  *extra = bytesAdded;
  *imports = importCount;
  *addedCount = uint32_t(added);
  return 0;
}

int64_t xieRewriteElements(const uint8_t *elements, uint32_t available, uint32_t count, uint8_t *out,
                           uint64_t outSize, uint8_t *added, uint64_t addedSize, uint32_t firstAdded,
                           XieImportTable *imports, XieElementRecord *records, uint8_t *error) {
  uint64_t size = 0, extra = 0;
  uint32_t importCount = 0, addedCount = 0;
  if (uint8_t code = xieMeasureElements(elements, available, count, &size, &extra, &importCount, &addedCount)) {
    *error = code;
    return -1;
  }
  if (size > outSize || extra > addedSize || (addedCount && uint64_t(firstAdded) + addedCount - 1 > kMaxElements) ||
      (imports && imports->capacity - imports->count < importCount)) {
    *error = kBadAlloc;
    return -1;
  }
  uint32_t heads = headsPerCopy();
  Head *objects = firstHead();
  uint32_t made = 0;
  const uint8_t *in = elements;
  for (uint32_t k = 0; k < count; k++) {
    uint16_t type = uint16_t(wireGet16(in));
    uint32_t bytes = wireGet16(in + 2) * 4;
    if (records) recordElement(&records[k], in, bytes);
    if (isDrawableImport(type)) {
      memset(out, 0, kPasteUpFixed);
      wirePut16(out, kPasteUp);
      wirePut16(out + 2, uint16_t((kPasteUpFixed + kTileBytes * heads) / 4));
      wirePut16(out + 4, uint16_t(heads));
      wirePut32(out + 8, wireGet16(in + 12));
      wirePut32(out + 12, wireGet16(in + 14));
      if (imports) imports->pairs[imports->count++] = XieImportPair{firstAdded + made, k + 1};
      for (uint32_t i = 0; i < heads; i++) {
        memcpy(added, in, bytes);
        placeImportCopy(added, out + kPasteUpFixed + kTileBytes * i, in, i, uint16_t(firstAdded + made));
        added += bytes;
        made++;
      }
      out += kPasteUpFixed + kTileBytes * heads;
      in += bytes;
      continue;
    }
    memcpy(out, in, bytes);
    if (const ElementLayout *layout = layoutOf(type))
      for (uint8_t idAt : layout->idAt)
        if (idAt) wirePut32(out + idAt, resourceServerId(wireGet32(in + idAt), kResourceScreenResource, objects));
    if (isDrawableExport(type)) {
      uint32_t drawable = wireGet32(in + 12), gc = wireGet32(in + 16);
      MetaScreen *screen = resourceMetaScreenOfId(drawable);
      for (uint32_t i = 0; i < heads; i++) {
        uint8_t *copy = out;
        if (i > 0) {
          copy = added;
          memcpy(copy, in, bytes);
          added += bytes;
          made++;
        }
        Head *head = headAt(screen, i);
        if (!head) continue;
        wirePut32(copy + 12, xproxyServerDrawable(drawable, head));
        wirePut32(copy + 16, resourceServerId(gc, kResourceGC, head));
      }
    }
    out += bytes;
    in += bytes;
  }
  return made;
}

int xieSendModifyPhotoflo(DisplayConnection *connection, uint8_t major, uint32_t flo, uint16_t start, uint16_t count,
                          const uint8_t *elements, uint32_t length) {
  if (!connection) return 0;
  uint8_t *at = static_cast<uint8_t *>(xproxyBeginRequest(connection, major, kMinorModifyPhotoflo, 12 + length));
  if (!at) return 0;
  wirePut32(at + 4, flo);
  wirePut16(at + 8, start);
  wirePut16(at + 10, count);
  if (length) memcpy(at + 12, elements, length);
  return 1;
}

XieImportTable *xieNewTable(uint32_t pairs, uint32_t heads) {
  auto *table = static_cast<XieImportTable *>(calloc(1, sizeof(XieImportTable)));
  if (!table) return nullptr;
  table->heads = heads;
  table->capacity = pairs;
  table->pairs = pairs ? static_cast<XieImportPair *>(calloc(pairs, sizeof(XieImportPair))) : nullptr;
  if (pairs && !table->pairs) {
    free(table);
    return nullptr;
  }
  return table;
}

XieImportTable *xieCopyTable(const XieImportTable *table) {
  if (!table) return nullptr;
  XieImportTable *copy = xieNewTable(table->count, table->heads);
  if (!copy) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  if (table->count) memcpy(copy->pairs, table->pairs, table->count * sizeof(XieImportPair));
  copy->count = table->count;
  return copy;
}

void xieDropTable(XieImportTable *table) {
  if (!table) return;
  free(table->pairs);
  free(table);
}

void xieFreeTable(uint8_t *, uintptr_t table) { xieDropTable(reinterpret_cast<XieImportTable *>(table)); }

void xieFreeResource(XiePhotofloRecord *record) {
  if (!record) return;
  xieDropTable(record->imports);
  free(record->elements);
  free(record);
}

uint32_t xieClientElementNumber(const XieImportTable *table, uint32_t number) {
  for (uint32_t k = 0; table && k < table->count; k++) {
    const XieImportPair &pair = table->pairs[k];
    if (pair.firstCopy <= number && number < uint64_t(pair.firstCopy) + table->heads) return pair.element;
  }
  return number;
}
