// An independent reference of the colour conversion and of yuv420p planes, shared by the
// converter tests in memory and against Xvfb; and a test directory that holds one lookup table.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct YuvTriple {
  uint8_t y, u, v;
  bool operator==(const YuvTriple &) const = default;
};

// The limited-range integer formulas, divided by 1024 with the quotient rounded towards minus
// infinity (as an arithmetic shift does), low 8 bits kept.
inline YuvTriple referenceYuv(int r, int g, int b) {
  auto down = [](long long x) { return static_cast<long long>(std::floor(static_cast<double>(x) / 1024.0)); };
  return {static_cast<uint8_t>(down(263LL * r + 516LL * g + 100LL * b + 16896) & 0xff),
          static_cast<uint8_t>((down(-152LL * r - 298LL * g + 450LL * b + 511) + 128) & 0xff),
          static_cast<uint8_t>((down(450LL * r - 377LL * g - 73LL * b + 511) + 128) & 0xff)};
}

// Y of every pixel, then U and V planes of ceil(w / 2) x ceil(h / 2): the mean (rounded down)
// of the pixels of each 2 x 2 block that lie inside the image.
inline std::vector<uint8_t> referenceYuv420p(const std::vector<uint8_t> &rgb, int width, int height) {
  std::vector<uint8_t> out;
  std::vector<YuvTriple> full;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) full.push_back(referenceYuv(rgb[i], rgb[i + 1], rgb[i + 2]));
  for (const YuvTriple &t : full) out.push_back(t.y);
  for (int plane = 0; plane < 2; plane++)
    for (int by = 0; by < height; by += 2)
      for (int bx = 0; bx < width; bx += 2) {
        int sum = 0, count = 0;
        for (int y = by; y < by + 2 && y < height; y++)
          for (int x = bx; x < bx + 2 && x < width; x++, count++) {
            const YuvTriple &t = full[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
            sum += plane == 0 ? t.u : t.v;
          }
        out.push_back(static_cast<uint8_t>(sum / count));
      }
  return out;
}
