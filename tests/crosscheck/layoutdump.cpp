// Prints every fixed wire layout of the core rows and the XKEYBOARD and XInput events, one per
// line: "<kind> <number> <name> <layout>", for the header cross-check.
#include <cstdio>

#include "proxy/xcore.h"
#include "xext/byteswap.h"
#include "xext/extrequest.h"
#include "xext/xvideo.h"
#include "xext/xinput.h"
#include "xext/xkb.h"
#include "xext/xtest.h"

int main() {
  for (const XcoreRequestRow &row : xcoreRequestRows) {
    if (row.opcode == 127) continue;
    printf("request %u %s %s\n", row.opcode, row.name, row.requestLayout);
    if (row.replyLayout) printf("reply %u %s %s\n", row.opcode, row.name, row.replyLayout);
  }
  for (const XcoreEventRow &row : xcoreEventRows) printf("event %u %s %s\n", row.code, row.name, row.layout);
  for (unsigned type = 0; byteswapXkbEventLayout(type); type++)
    printf("xkbevent %u - %s\n", type, byteswapXkbEventLayout(type));
  const ExtRequestTable &xv = xvideoRequestTable();
  for (size_t k = 0; k < xv.count; k++) {
    const ExtRequestRow &row = xv.rows[k];
    printf("xvrequest %u %s %s\n", row.minor, row.name, row.requestLayout);
    if (row.replyLayout) printf("xvreply %u %s %s\n", row.minor, row.name, row.replyLayout);
  }
  printf("xvevent 0 videoNotify %s\n", kXvVideoNotifyLayout);
  printf("xvevent 1 portNotify %s\n", kXvPortNotifyLayout);
  for (unsigned n = 0; xinputEventLayout(n); n++) printf("xievent %u - %s\n", n, xinputEventLayout(n));
  for (const auto &[kind, table] : {std::pair{"xkb", &xkbTable}, std::pair{"xtest", &xtestTable}})
    for (size_t k = 0; k < table->count; k++) {
      const ExtRequestRow &row = table->rows[k];
      printf("%srequest %u %s %s\n", kind, row.minor, row.name, row.requestLayout);
      if (row.replyLayout) printf("%sreply %u %s %s\n", kind, row.minor, row.name, row.replyLayout);
    }
  return 0;
}
