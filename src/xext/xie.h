// The XIE extension: objects on the first head of the first meta screen, photoflos rewritten so
// that an import from a drawable reads each head's part and an export to a drawable reaches
// every head, the records of stored photoflos, and the element numbers of added elements mapped
// back in XIE events.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record ("XIE", 5 events, 7 errors) and writes the extension's rows: NULL, or an
// error text after which the record is cleared and the extension is not offered.
const char *xieSetup(ExtensionRecord *record);
// ===== end of set-up =====

// One element of a stored photoflo as the client sent it. For an import from a window the
// element's first bytes (at most 28, its length field cut to match) and the window's geometry
// when the element was last rewritten; for every other element only the type and width 0.
struct XieElementRecord {
  uint16_t type;
  uint8_t element[28];
  int32_t x, y;
  uint32_t width, height;
};

// Which added elements stand for which import from a drawable: the import's copies are numbered
// firstCopy .. firstCopy + heads - 1.
struct XieImportPair {
  uint32_t firstCopy;
  uint32_t element;  // the client's own number of the import
};
struct XieImportTable {
  uint32_t heads;      // copies per import when the table was made
  uint32_t count;      // pairs filled
  uint32_t capacity;   // pairs allocated
  XieImportPair *pairs;
};

// A stored photoflo: resource type 22, freed by xieFreeResource.
struct XiePhotofloRecord {
  XieElementRecord *elements;  // one per client element (room for one more); NULL when none
  uint32_t elementCount;       // the client's number of elements
  XieImportTable *imports;     // NULL without drawable imports
};

// The size of the rewritten elements. elements holds `available` bytes; count elements must
// fill them exactly, each at least as long as the fields its type carries. Out: the bytes of
// the rewritten elements, of the added elements, the number of drawable imports and of added
// elements. 0, or the X error: BadLength (16) for a count or a length that does not fit the
// bytes, BadAlloc (11) when the elements with the added ones would pass 65535.
uint8_t xieMeasureElements(const uint8_t *elements, uint32_t available, uint32_t count, uint64_t *size,
                           uint64_t *extra, uint32_t *imports, uint32_t *addedCount);
// Rewrites the elements (measured first: on an error nothing is written) into out (room for
// outSize bytes) and the added elements into added (addedSize bytes), the added ones numbered
// from firstAdded. Pairs go to the import table and records to records (one per element) when
// they are given. Returns the number of added elements, or -1 with *error set (BadLength,
// BadAlloc also when the buffers are too small).
int64_t xieRewriteElements(const uint8_t *elements, uint32_t available, uint32_t count, uint8_t *out,
                           uint64_t outSize, uint8_t *added, uint64_t addedSize, uint32_t firstAdded,
                           XieImportTable *imports, XieElementRecord *records, uint8_t *error);

// Writes ModifyPhotoflo (minor 20): flo at byte 4, start at 8, count at 10, the elements from
// 12, through xproxyBeginRequest. 1, or 0 when no room.
int xieSendModifyPhotoflo(DisplayConnection *connection, uint8_t major, uint32_t flo, uint16_t start, uint16_t count,
                          const uint8_t *elements, uint32_t length);

// The import tables: a new empty one for `pairs` pairs (NULL when out of memory), a copy, and
// the release (NULL accepted).
XieImportTable *xieNewTable(uint32_t pairs, uint32_t heads);
XieImportTable *xieCopyTable(const XieImportTable *table);
void xieDropTable(XieImportTable *table);
// The reply function of the sync behind an ExecuteImmediate that has drawable imports. The
// table itself belongs to the execution's reply callback, which the sync's answer settles (and
// frees); a table handed to this function directly is freed here.
void xieFreeTable(uint8_t *reply, uintptr_t table);
// The free routine of type 22: the arrays and the record.
void xieFreeResource(XiePhotofloRecord *record);
// The element number an event names, given the import table of its photoflo: the client's
// import for an added copy, else the number itself.
uint32_t xieClientElementNumber(const XieImportTable *table, uint32_t number);
