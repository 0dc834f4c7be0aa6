// XC-MISC: ranges and lists of free resource ids. The range comes from the client's own id
// space in the proxy; the list is the real server's, mapped back to the client's ids.
#include "xext/xcmisc.h"

#include <algorithm>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

#include "proxy/resource.h"
#include "support/wirewords.h"
#include "xext/extrequest.h"

namespace {

// XCMiscGetXIDRange: the largest free run of the client's ids as start and count. A client
// without a free id gets start 0 and count 1, as X servers answer; clients read that as "out
// of ids" (a count of 0 would trip their checks).
void getXIDRange(uint8_t *request, uint32_t, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint32_t first = 0, last = 0;
  resourceGetIdRange(client->index, 0, &first, &last);
  uint8_t reply[32] = {};
  wirePut32(reply + 8, first);
  wirePut32(reply + 12, uint32_t(uint64_t(last) - first + 1));
  extSendLocalReply(request, reply, sizeof reply, "bbsiii");
}

// XCMiscGetXIDList's reply: the real server's free ids as the client's own. Ids of the
// connection's range that no head's numbering gives the client (the proxy's own head number,
// where its departure handle lives, and numbers no head has) are left out, so the list may hold
// fewer ids than asked for, as the extension allows.
void getXIDListReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  if (!connection || !connection->owner || length < 32) return;
  uint64_t present = (uint64_t(length) - 32) / 4;
  uint64_t count = std::min<uint64_t>(wireGet32(reply + 8), present);
  uint32_t kept = 0;
  for (uint64_t k = 0; k < count; k++) {
    uint32_t id = 0;
    if (resourceServerToClientIdOf(wireGet32(reply + 32 + 4 * k), connection->display, &id) &&
        resourceSlotOf(id) == connection->owner->index)
      wirePut32(reply + 32 + 4 * kept++, id);
  }
  wirePut32(reply + 4, kept);
  wirePut32(reply + 8, kept);
  extWriteReply(reply, 32 + 4 * kept, "bbsI");
}

constexpr ExtRequestRow kRows[] = {
    {0, "XCMiscGetVersion", 8, 0, "bbsss", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "XCMiscGetXIDRange", 4, 0, "bbs", ExtServed::Local, getXIDRange, "bbsiii", ExtReplyKind::Plain, nullptr},
    {2, "XCMiscGetXIDList", 8, 0, "bbsi", ExtServed::Forward, nullptr, "bbsI", ExtReplyKind::Own, getXIDListReply},
};

void xcmiscReset() { proxyState.ext.xcmisc = nullptr; }

}  // namespace

const ExtRequestTable xcmiscTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *xcmiscInit(ExtensionRecord *record) {
  return extInitSimple(record, "XC-MISC", xcmiscTable, &proxyState.ext.xcmisc, xcmiscReset);
}
