// Generic Event Extension: its version request, forwarded to the real server.
#include "xext/ge.h"

#include "xext/extrequest.h"

namespace {

constexpr ExtRequestRow kRows[] = {
    {0, "GEQueryVersion", 8, 0, "bbsss", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
};

void geReset() { proxyState.ext.ge = nullptr; }

}  // namespace

const ExtRequestTable geTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *geSetup(ExtensionRecord *record) {
  record->providedByProxy = 1;
  return extInitSimple(record, "Generic Event Extension", geTable, &proxyState.ext.ge, geReset);
}
