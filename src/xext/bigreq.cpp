// BIG-REQUESTS: BigReqEnable is forwarded and turns the extended length form on for the
// client; every reply may lower the proxy's maximum request length, so that each client is
// held to the smallest maximum any real server has announced.
#include "xext/bigreq.h"

#include "support/wirewords.h"
#include "xext/bigreqenable.h"
#include "xext/extrequest.h"

namespace {

// As soon as the request is written the client may use the extended form (the server handles
// the client's requests in order).
void enable(uint8_t *, uint32_t, uint8_t *copy) {
  if (copy && xproxyCurrentClient) xproxyCurrentClient->bigRequests = 1;
}

void enableReply(uint8_t *reply, uint32_t length) {
  bigreqLowerMaximum(wireGet32(reply + 8));
  extWriteReply(reply, length, "bbsii");
}

constexpr ExtRequestRow kRows[] = {
    {0, "BigReqEnable", 4, 0, "bbs", ExtServed::Forward, enable, "bbsii", ExtReplyKind::Own, enableReply},
};

void bigreqReset() { proxyState.ext.bigreq = nullptr; }

}  // namespace

const ExtRequestTable bigreqTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *bigreqInit(ExtensionRecord *record) {
  return extInitSimple(record, "BIG-REQUESTS", bigreqTable, &proxyState.ext.bigreq, bigreqReset);
}
