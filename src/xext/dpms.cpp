// DPMS: display power management, forwarded to the real server.
#include "xext/dpms.h"

#include "xext/extrequest.h"

namespace {

constexpr ExtRequestRow kRows[] = {
    {0, "DPMSGetVersion", 8, 0, "bbsss", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "DPMSCapable", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsi", ExtReplyKind::Plain, nullptr},
    {2, "DPMSGetTimeouts", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsisss", ExtReplyKind::Plain, nullptr},
    {3, "DPMSSetTimeouts", 12, 0, "bbssss", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "DPMSEnable", 4, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "DPMSDisable", 4, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {6, "DPMSForceLevel", 8, 0, "bbss", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {7, "DPMSInfo", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsis", ExtReplyKind::Plain, nullptr},
};

void dpmsReset() { proxyState.ext.dpms = nullptr; }

}  // namespace

const ExtRequestTable dpmsTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *dpmsInit(ExtensionRecord *record) {
  return extInitSimple(record, "DPMS", dpmsTable, &proxyState.ext.dpms, dpmsReset);
}
