// The colour-name table: the X colour database's names and values.
#include "xclient/xcolor.h"

#include <cstring>

namespace {

#include "xclient/xcolortable.inc"

int lowerAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Compares an entry's name with the given name over its length, ignoring ASCII case: negative
// when the entry sorts before it, positive after it. An entry name that is a longer extension
// of the given one sorts after it; a shorter one (it ends within the length) before it.
int compareName(const char *entryName, const char *name, size_t length) {
  for (size_t i = 0; i < length; i++) {
    if (entryName[i] == '\0') return -1;
    int difference = lowerAscii(entryName[i]) - lowerAscii(name[i]);
    if (difference) return difference;
  }
  return entryName[length] == '\0' ? 0 : 1;
}

bool endsInDigit(const char *name) {
  size_t n = strlen(name);
  return n && name[n - 1] >= '0' && name[n - 1] <= '9';
}

}  // namespace

int xcolorCount() { return kXcolorCount; }

const XcolorEntry *xcolorEntry(int index) {
  return index >= 0 && index < kXcolorCount ? &kXcolorEntries[index] : nullptr;
}

const char *xcolorEntryName(const XcolorEntry *entry) { return kXcolorNames + entry->nameOffset; }

int xcolorLookup(Display * /*display*/, const char *name, size_t length, uint16_t *red,
                 uint16_t *green, uint16_t *blue) {
  // No table name holds a NUL; comparing past one would end at the entry's terminator instead.
  if (!name || memchr(name, '\0', length)) return 0;
  int low = 0, high = kXcolorCount - 1;
  while (low <= high) {
    int middle = low + (high - low) / 2;
    const XcolorEntry &entry = kXcolorEntries[middle];
    int order = compareName(xcolorEntryName(&entry), name, length);
    if (order == 0) {
      *red = static_cast<uint16_t>(entry.red * 257);
      *green = static_cast<uint16_t>(entry.green * 257);
      *blue = static_cast<uint16_t>(entry.blue * 257);
      return 1;
    }
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return 0;
}

const char *xcolorName(uint16_t red, uint16_t green, uint16_t blue) {
  const unsigned r = red / 257, g = green / 257, b = blue / 257;
  const char *candidate = nullptr;
  for (int i = kXcolorCount - 1; i >= 0; i--) {
    const XcolorEntry &entry = kXcolorEntries[i];
    if (entry.red != r || entry.green != g || entry.blue != b) continue;
    const char *name = xcolorEntryName(&entry);
    if (!candidate || !endsInDigit(name)) candidate = name;
  }
  return candidate;
}
