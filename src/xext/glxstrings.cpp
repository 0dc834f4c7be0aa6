// The GLX strings of a screen and the client-information requests. The strings are the meta
// screen's own (its capability record, lowered over its heads at set-up), so that a client sees
// one GL whatever the heads below it offer; only names the proxy does not know reach a server.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"

namespace {

constexpr uint8_t kBadLength = 16, kBadValue = 2, kBadAlloc = 11;
constexpr uint32_t kNameVendor = 1, kNameVersion = 2, kNameExtensions = 3;
constexpr uint8_t kMinorSetClientInfo2 = 35;

// A string reply to the current client (glxindirectReplyString).
void replyString(const uint8_t *request, uint32_t, const char *text) {
  glxindirectReplyString(text, xproxyCurrentClient, request[1]);
}

MetaScreen *screenOf(const uint8_t *request, uint32_t length) {
  uint32_t number = wireGet32(request + 4);
  MetaScreen *screen = glxScreenByNumber(number);
  if (!screen) xprotoSendError(kBadValue, number, request, length, "invalid screen");
  return screen;
}

DisplayConnection *firstConnection() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->displayCount ? client->displays[0] : nullptr;
}

void glxQueryExtensionsString(uint8_t *request, uint32_t length, uint8_t *) {
  if (MetaScreen *screen = screenOf(request, length)) replyString(request, length, screen->glCapabilities.glxExtensions);
}

void glxQueryServerString(uint8_t *request, uint32_t length, uint8_t *) {
  MetaScreen *screen = screenOf(request, length);
  if (!screen) return;
  const GlCapabilities &caps = screen->glCapabilities;
  uint32_t name = wireGet32(request + 8);
  if (name == kNameVendor)
    return replyString(request, length, configRecord.glxVendorString ? configRecord.glxVendorString : caps.vendor);
  if (name == kNameVersion) {
    char text[24];
    snprintf(text, sizeof text, "%u.%u", caps.glxVersion / 64, caps.glxVersion % 64);
    return replyString(request, length, text);
  }
  if (name == kNameExtensions) return replyString(request, length, caps.glxExtensions);
  LOG_UNE();
  Head *head = screen->glxHead ? screen->glxHead : screen->heads;
  if (!head) return replyString(request, length, "");
  // A head served inside the proxy asks its library; a name the library does not know is
  // refused as a server refuses it.
  if (head->glLibrary) {
    const char *text = glxdirectQueryServerString(static_cast<GlxLibraryInstance *>(head->glLibrary), head->screen, name);
    if (!text) return xprotoSendError(kBadValue, 0, request, length, nullptr);
    return replyString(request, length, text);
  }
  DisplayConnection *connection = firstConnection();
  uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
  if (!copy) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  wirePut32(copy + 4, uint32_t(head->screen));
}

void glxClientInfo(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t n = wireGet32(request + 12);
  if (n > length - 16 || 16 + (uint64_t(n) + 3) / 4 * 4 != length) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  if (n && request[16 + n - 1] != 0) {
    LOG(logChannelStep, "Workaround GLXClientInfo for %s ...", xscreenClientName(client));
    request[16 + n - 1] = 0;
  }
  if (client) client->glxClientVersion = wireGet32(request + 4) * 64 + wireGet32(request + 8);
  DisplayConnection *connection = firstConnection();
  if (!connection || !xproxySendRequest(request, length, connection))
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
}

// The lists are the client library's business alone: checked for size, then dropped. The
// request must be exactly its header, the versions (two words each, three for
// SetClientInfo2ARB) and the two extension strings, each padded to 4; the fields are read as the
// client wrote them (nothing of it is swapped).
void glxSetClientInfo(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  int swapped = client && client->reader.swapped;
  uint64_t perVersion = request[1] == kMinorSetClientInfo2 ? 12 : 8;
  auto padded = [](uint64_t bytes) { return (bytes + 3) / 4 * 4; };
  uint64_t expected = 24 + perVersion * wireGet32(request + 12, swapped) + padded(wireGet32(request + 16, swapped)) +
                      padded(wireGet32(request + 20, swapped));
  if (expected != length) xprotoSendError(kBadLength, length, request, length, nullptr);
}

constexpr ExtRequestRow kRows[] = {
    {18, "GLXQueryExtensionsString", 8, 0, "bbsi", ExtServed::Local, glxQueryExtensionsString, "bbsiii",
     ExtReplyKind::Plain, nullptr},
    {19, "GLXQueryServerString", 12, 0, "bbsii", ExtServed::Local, glxQueryServerString, "bbsiii",
     ExtReplyKind::Plain, nullptr},
    {20, "GLXClientInfo", 16, 4, "bbsiii", ExtServed::Local, glxClientInfo, nullptr, ExtReplyKind::NoReply, nullptr},
    {33, "GLXSetClientInfoARB", 24, 4, "!", ExtServed::Local, glxSetClientInfo, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {34, "GLXCreateContextAttribsARB", 28, 8, "bbsiiiibbsI", ExtServed::Local, glxCreateContextAttribs, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {35, "GLXSetClientInfo2ARB", 24, 4, "!", ExtServed::Local, glxSetClientInfo, nullptr, ExtReplyKind::NoReply,
     nullptr},
};

}  // namespace

const ExtRequestRow *glxStringsRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRows)
    if (row.minor == minor) return &row;
  return nullptr;
}
