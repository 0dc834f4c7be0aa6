// A message written field by field in one byte order, for the tests that build requests,
// replies and commands by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

struct Msg {
  bool big;
  std::vector<uint8_t> d;
  Msg &b(unsigned v) { d.push_back(uint8_t(v)); return *this; }
  Msg &s(unsigned v) { return big ? b(v >> 8).b(v) : b(v).b(v >> 8); }
  Msg &i(uint32_t v) { return big ? s(v >> 16).s(v & 0xffff) : s(v & 0xffff).s(v >> 16); }
  Msg &l(uint64_t v) { return big ? i(uint32_t(v >> 32)).i(uint32_t(v)) : i(uint32_t(v)).i(uint32_t(v >> 32)); }
  Msg &f(float v) { uint32_t u; memcpy(&u, &v, 4); return i(u); }
  Msg &d64(double v) { uint64_t u; memcpy(&u, &v, 8); return l(u); }
  Msg &pad(size_t n) { d.insert(d.end(), n, 0); return *this; }
  Msg &text(const char *t) { d.insert(d.end(), t, t + strlen(t)); return *this; }
  Msg &align() { return pad((4 - d.size() % 4) % 4); }
  Msg &xkbString(const char *t) { s(unsigned(strlen(t))).text(t); return align(); }
};

// The bytes the function writes into a message of the byte order.
inline std::vector<uint8_t> build(const std::function<void(Msg &)> &f, bool big) {
  Msg m{big, {}};
  f(m);
  return m.d;
}
