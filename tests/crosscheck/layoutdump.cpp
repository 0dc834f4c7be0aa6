// Prints every fixed wire layout of the core rows and the XKEYBOARD events, one per line:
// "<kind> <number> <name> <layout>", for the header cross-check.
#include <cstdio>

#include "proxy/xcore.h"
#include "xext/byteswap.h"

int main() {
  for (const XcoreRequestRow &row : xcoreRequestRows) {
    if (row.opcode == 127) continue;
    printf("request %u %s %s\n", row.opcode, row.name, row.requestLayout);
    if (row.replyLayout) printf("reply %u %s %s\n", row.opcode, row.name, row.replyLayout);
  }
  for (const XcoreEventRow &row : xcoreEventRows) printf("event %u %s %s\n", row.code, row.name, row.layout);
  for (unsigned type = 0; byteswapXkbEventLayout(type); type++)
    printf("xkbevent %u - %s\n", type, byteswapXkbEventLayout(type));
  return 0;
}
