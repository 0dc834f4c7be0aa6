// FBPM: frame buffer power management, forwarded to the real server (minors 2 and 3
// are not served).
#include "xext/fbpm.h"

#include "xext/extrequest.h"

namespace {

constexpr ExtRequestRow kRows[] = {
    {0, "FBPMGetVersion", 8, 0, "bbsss", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "FBPMCapable", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsi", ExtReplyKind::Plain, nullptr},
    {4, "FBPMEnable", 8, 0, "bbss", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "FBPMDisable", 4, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {6, "FBPMForceLevel", 8, 0, "bbss", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {7, "FBPMInfo", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsis", ExtReplyKind::Plain, nullptr},
};

void fbpmReset() { proxyState.ext.fbpm = nullptr; }

}  // namespace

const ExtRequestTable fbpmTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *fbpmInit(ExtensionRecord *record) {
  return extInitSimple(record, "FBPM", fbpmTable, &proxyState.ext.fbpm, fbpmReset);
}
