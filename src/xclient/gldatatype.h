// GL data type sizes and GL enum names for the GLX code: the size measures client data laid
// out by type (client arrays, pixel data, parameter lists); the name goes into every log line
// that mentions a GL value.
#pragma once

#include <cstdint>

// Bytes of one element of a GL data type. Packed pixel types count their whole packed unit
// (UNSIGNED_SHORT_5_6_5 is 2). Any other value, GL_BITMAP and GL_2_BYTES..GL_4_BYTES included,
// logs "GLX: Unknown GL datatype <name> - please advise" on the warning channel and gives 1.
uint32_t gldatatypeSize(uint32_t type);

// The GL token name of a value without the leading "GL_" ("QUADS" for 7), a constant text.
// A value without a name is formatted "0x%04X" into a buffer of this thread that the thread's
// next unnamed value overwrites: copy it before asking for a second one.
const char *gldatatypeEnumName(uint32_t value);

// One pair of the name list. The list holds FALSE, TRUE and the GL 1.0/1.1 tokens first, then
// core GL 1.2 to 3.0 and the vendor extensions; the first pair with a value names it.
struct GldatatypeEnum {
  uint32_t value;
  const char *name;
};

// The list itself (for tests): its length, how many leading pairs are GL 1.0/1.1 (FALSE and
// TRUE included), and the pair at an index (NULL outside the list).
int gldatatypeEnumCount();
int gldatatypeClassicCount();
const GldatatypeEnum *gldatatypeEnumAt(int index);
