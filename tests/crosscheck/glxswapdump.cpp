// Puts render command data into the other byte order with the GLX swapper: reads lines
// "OPCODE HEX" (the data after the command header, in this machine's order) and prints the
// swapped data as HEX, one line each.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "support/logging.h"
#include "xext/glxswap.h"

int main(int argc, char **argv) {
  logInit(argc, argv, "", "");
  unsigned opcode;
  std::string text;
  while (std::cin >> opcode >> text) {
    std::vector<uint8_t> data(text.size() / 2);
    for (size_t k = 0; k < data.size(); k++) data[k] = uint8_t(std::stoul(text.substr(2 * k, 2), nullptr, 16));
    glxSwapRenderCommand(opcode, data.data(), data.data() + data.size(), -1);
    for (uint8_t b : data) printf("%02x", b);
    printf("\n");
  }
  return 0;
}
