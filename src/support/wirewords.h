// Protocol words as the proxy keeps its own messages and speaks to the real servers (least
// significant byte first), and as a peer of either byte order sends them.
#pragma once

#include <cstdint>

inline void wirePut16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void wirePut32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline uint16_t wireGet16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t wireGet32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
// In the peer's order: swapped is 1 for a peer that sends most significant byte first.
inline uint32_t wireGet16(const uint8_t *p, int swapped) {
  return swapped ? uint32_t(p[0] << 8 | p[1]) : wireGet16(p);
}
inline uint32_t wireGet32(const uint8_t *p, int swapped) {
  return swapped ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3] : wireGet32(p);
}
