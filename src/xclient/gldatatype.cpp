// GL data type sizes and GL enum names.
#include "xclient/gldatatype.h"

#include <cstdio>

#include "support/logging.h"

namespace {

#include "xclient/gldatatypetable.inc"

struct TypeSize {
  uint32_t type;
  uint32_t size;
};

// Every GL data type whose size the GLX code knows.
constexpr TypeSize kTypeSizes[] = {
    {0x1400, 1},  // BYTE
    {0x1401, 1},  // UNSIGNED_BYTE
    {0x1402, 2},  // SHORT
    {0x1403, 2},  // UNSIGNED_SHORT
    {0x1404, 4},  // INT
    {0x1405, 4},  // UNSIGNED_INT
    {0x1406, 4},  // FLOAT
    {0x140A, 8},  // DOUBLE
    {0x140B, 2},  // HALF_FLOAT
    {0x8032, 1},  // UNSIGNED_BYTE_3_3_2
    {0x8362, 1},  // UNSIGNED_BYTE_2_3_3_REV
    {0x8033, 2},  // UNSIGNED_SHORT_4_4_4_4
    {0x8034, 2},  // UNSIGNED_SHORT_5_5_5_1
    {0x8363, 2},  // UNSIGNED_SHORT_5_6_5
    {0x8364, 2},  // UNSIGNED_SHORT_5_6_5_REV
    {0x8365, 2},  // UNSIGNED_SHORT_4_4_4_4_REV
    {0x8366, 2},  // UNSIGNED_SHORT_1_5_5_5_REV
    {0x8035, 4},  // UNSIGNED_INT_8_8_8_8
    {0x8036, 4},  // UNSIGNED_INT_10_10_10_2
    {0x8367, 4},  // UNSIGNED_INT_8_8_8_8_REV
    {0x8368, 4},  // UNSIGNED_INT_2_10_10_10_REV
    {0x84FA, 4},  // UNSIGNED_INT_24_8
};

}  // namespace

uint32_t gldatatypeSize(uint32_t type) {
  for (const TypeSize &row : kTypeSizes)
    if (row.type == type) return row.size;
  LOG(logChannelWarning, "GLX: Unknown GL datatype %s - please advise", gldatatypeEnumName(type));
  return 1;
}

const char *gldatatypeEnumName(uint32_t value) {
  for (const GldatatypeEnum &pair : kGldatatypeEnums)
    if (pair.value == value) return pair.name;
  // Per thread: log lines are also formatted off the event loop's thread.
  static thread_local char unnamed[20];
  snprintf(unnamed, sizeof unnamed, "0x%04X", value);
  return unnamed;
}

int gldatatypeEnumCount() { return kGldatatypeEnumCount; }

int gldatatypeClassicCount() { return kGldatatypeClassicCount; }

const GldatatypeEnum *gldatatypeEnumAt(int index) {
  return index >= 0 && index < kGldatatypeEnumCount ? &kGldatatypeEnums[index] : nullptr;
}
