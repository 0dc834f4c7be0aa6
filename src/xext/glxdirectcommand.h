// The render decoder's record of one command and its field readers, shared by the decoder
// (glxdirectrender.cpp) and by the display lists and the work bound (glxdirectlists.cpp), which
// replay recorded commands through it.
#pragma once

#include <cstdint>
#include <cstring>

#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"

namespace glxdirectdecode {

constexpr uint8_t kBadLength = 16;
constexpr uint8_t kBadAlloc = 11;

inline const char *clientName() { return xscreenClientName(xproxyCurrentClient); }

// Field readers: no alignment assumed.
inline uint32_t u32At(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline int32_t i32At(const uint8_t *p) { return static_cast<int32_t>(u32At(p)); }
inline float f32At(const uint8_t *p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}
inline double f64At(const uint8_t *p) {
  const uint8_t *cursor = p;
  return glxdirectTakeDouble(&cursor);
}

// a x b (x c), saturated at the largest 64-bit value (which no command holds).
inline uint64_t times(uint64_t a, uint64_t b, uint64_t c = 1) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  if (p > UINT64_MAX) return UINT64_MAX;
  p *= c;
  return p > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(p);
}
inline uint64_t plus(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// One command being executed: its data and its end, and what it has been found to need. Lives
// for one call of the executor (the data it points at belongs to the request or to a list).
struct Command {
  GlxLibraryInstance *instance;
  uint32_t opcode;
  const uint8_t *data;
  uint64_t size;
  GlFunctionTable &gl;
  // The X error the command ends with (0: none); set by the checks below.
  mutable uint8_t error = 0;
  // Client arrays pointed into this command's data and taken by the library (as far as the
  // checks know): kinds by kArrayKinds index, texture-coordinate units, generic attributes.
  mutable uint32_t ownKinds = 0;
  mutable uint64_t ownUnits = 0;
  mutable uint64_t ownAttributes = 0;
  // The pixel-unpack buffer bound while the library reads an image this command carries (it
  // would take the image's address for an offset into that buffer): unbound for the call,
  // bound again after it (0: none).
  mutable uint32_t unpackBuffer = 0;

  // Whether the command holds bytes bytes of data; when not, the command is logged as
  // undecoded and ends with BadLength (the caller makes no call).
  bool holds(uint64_t bytes) const {
    if (bytes <= size) return true;
    error = kBadLength;
    LOG(logChannelWarning, "Lumora: %s undecoded in render command #%u by %s", strSizeText(size), opcode,
        clientName());
    return false;
  }
  mutable bool wasDropped = false;  // set by dropped()
  // What the command is to an open glBegin (glxdirectlists.cpp), once asked; -1 until then.
  mutable int8_t beginRole = -1;
  void dropped(const char *why) const {
    wasDropped = true;
    LOG(logChannelWarning, "Lumora: Render command #%u by %s dropped (%s)", opcode, clientName(), why);
  }
  // Dropped with BadAlloc: what it would make the library keep passes the client's lumoraMemory.
  void beyondBudget(const char *what) const {
    error = kBadAlloc;
    wasDropped = true;
    LOG(logChannelWarning, "Lumora: Render command #%u by %s dropped (%s beyond lumoraMemory)", opcode, clientName(),
        what);
  }
  uint32_t u(uint64_t offset) const { return u32At(data + offset); }
  int32_t i(uint64_t offset) const { return i32At(data + offset); }
  float f(uint64_t offset) const { return f32At(data + offset); }
  double d(uint64_t offset) const { return f64At(data + offset); }
  const uint8_t *at(uint64_t offset) const { return data + offset; }
};

// A count-prefixed array of n values of elementBytes at offset: whether the command holds it
// (a negative count drops it).
inline bool holdsCounted(const Command &c, uint64_t offset, int32_t n, uint64_t elementBytes) {
  if (n < 0) {
    c.dropped("negative count");
    return false;
  }
  return c.holds(plus(offset, times(elementBytes, static_cast<uint64_t>(n))));
}

}  // namespace glxdirectdecode
