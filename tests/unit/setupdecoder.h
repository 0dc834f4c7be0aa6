// A decoder of the X connection setup reply (success form) in an explicit byte order, written
// from the X protocol's description of the setup reply. It also notes whether every unused and
// pad byte is zero, and checks that the length field and the contents agree.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using SetupBytes = std::vector<uint8_t>;

// Reads the fields of a setup reply in the given byte order.
struct Decoder {
  const SetupBytes &m;
  bool big;
  uint32_t u(size_t at, size_t size) const {
    uint32_t v = 0;
    for (size_t i = 0; i < size; i++) v |= uint32_t(m.at(at + i)) << (8 * (big ? size - 1 - i : i));
    return v;
  }
};

struct VisualType {
  uint32_t id, red, green, blue;
  uint8_t visualClass, bitsPerRgb;
  uint16_t entries;
};
struct DepthInfo {
  uint8_t depth;
  std::vector<VisualType> visuals;
};
struct ScreenInfo {
  uint32_t root, colormap, white, black, inputMasks, rootVisual;
  uint16_t width, height, widthMM, heightMM, minMaps, maxMaps;
  uint8_t backingStore, saveUnders, rootDepth;
  std::vector<DepthInfo> depths;
};
struct SetupInfo {
  uint8_t success;
  uint16_t major, minor, length, vendorLength, maxRequest;
  uint32_t release, base, mask, motion;
  uint8_t imageOrder, bitOrder, unit, pad, minKey, maxKey;
  std::string vendor;
  size_t formatsAt;
  std::vector<std::array<uint8_t, 3>> formats;
  std::vector<ScreenInfo> screens;
  bool zeroPads = true;  // every unused and pad byte is zero
};

SetupInfo decode(const SetupBytes &m, bool big) {
  Decoder d{m, big};
  SetupInfo s{};
  s.success = m.at(0);
  s.zeroPads = m.at(1) == 0;
  s.major = uint16_t(d.u(2, 2)), s.minor = uint16_t(d.u(4, 2)), s.length = uint16_t(d.u(6, 2));
  s.release = d.u(8, 4), s.base = d.u(12, 4), s.mask = d.u(16, 4), s.motion = d.u(20, 4);
  s.vendorLength = uint16_t(d.u(24, 2)), s.maxRequest = uint16_t(d.u(26, 2));
  uint8_t screens = m.at(28), formats = m.at(29);
  s.imageOrder = m.at(30), s.bitOrder = m.at(31), s.unit = m.at(32), s.pad = m.at(33);
  s.minKey = m.at(34), s.maxKey = m.at(35);
  s.zeroPads = s.zeroPads && d.u(36, 4) == 0;
  s.vendor.assign(reinterpret_cast<const char *>(&m.at(40)), s.vendorLength);
  size_t at = 40 + s.vendorLength;
  for (; at % 4; at++) s.zeroPads = s.zeroPads && m.at(at) == 0;
  s.formatsAt = at;
  for (int i = 0; i < formats; i++, at += 8) {
    s.formats.push_back({m.at(at), m.at(at + 1), m.at(at + 2)});
    for (int k = 3; k < 8; k++) s.zeroPads = s.zeroPads && m.at(at + k) == 0;
  }
  for (int i = 0; i < screens; i++) {
    ScreenInfo c{};
    c.root = d.u(at, 4), c.colormap = d.u(at + 4, 4), c.white = d.u(at + 8, 4), c.black = d.u(at + 12, 4);
    c.inputMasks = d.u(at + 16, 4);
    c.width = uint16_t(d.u(at + 20, 2)), c.height = uint16_t(d.u(at + 22, 2));
    c.widthMM = uint16_t(d.u(at + 24, 2)), c.heightMM = uint16_t(d.u(at + 26, 2));
    c.minMaps = uint16_t(d.u(at + 28, 2)), c.maxMaps = uint16_t(d.u(at + 30, 2));
    c.rootVisual = d.u(at + 32, 4);
    c.backingStore = m.at(at + 36), c.saveUnders = m.at(at + 37), c.rootDepth = m.at(at + 38);
    uint8_t depths = m.at(at + 39);
    at += 40;
    for (int k = 0; k < depths; k++) {
      DepthInfo g{m.at(at), {}};
      uint16_t n = uint16_t(d.u(at + 2, 2));
      s.zeroPads = s.zeroPads && m.at(at + 1) == 0 && d.u(at + 4, 4) == 0;
      at += 8;
      for (int v = 0; v < n; v++, at += 24) {
        g.visuals.push_back(VisualType{d.u(at, 4), d.u(at + 8, 4), d.u(at + 12, 4), d.u(at + 16, 4), m.at(at + 4),
                                       m.at(at + 5), uint16_t(d.u(at + 6, 2))});
        s.zeroPads = s.zeroPads && d.u(at + 20, 4) == 0;
      }
      c.depths.push_back(g);
    }
    s.screens.push_back(c);
  }
  EXPECT_EQ(at, m.size()) << "the length field and the contents disagree";
  EXPECT_EQ(8 + 4 * size_t(s.length), m.size());
  return s;
}

}  // namespace
