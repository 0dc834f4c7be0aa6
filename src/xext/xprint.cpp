// The XpExtension print extension. Every request goes once to the client's first display
// connection with its context (and drawable or page window) translated for the first head of
// the first meta screen; replies and events carry the client's ids back, errors keep the
// server's bad value.
#include "xext/xprint.h"

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

Head *printHead() { return xscreenList ? xscreenList->heads : nullptr; }

// ----- Requests ----------------------------------------------------------------------------

// The context at byte 4.
void contextAt4(uint8_t *request, uint32_t, uint8_t *copy) {
  if (copy) wirePut32(copy + 4, resourceServerId(wireGet32(request + 4), kResourceScreenResource, printHead()));
}

// PutDocumentData: the drawable at byte 4.
void drawableAt4(uint8_t *request, uint32_t, uint8_t *copy) {
  if (copy) wirePut32(copy + 4, xproxyServerDrawable(wireGet32(request + 4), printHead()));
}

// StartPage: the page window at byte 4.
void windowAt4(uint8_t *request, uint32_t, uint8_t *copy) {
  if (copy) wirePut32(copy + 4, resourceServerId(wireGet32(request + 4), kResourceWindow, printHead()));
}

// ----- Replies -----------------------------------------------------------------------------

// GetPrinterList: each printer is a name and a description, each a 32-bit length and the text
// padded to 4 bytes. For a client of the other byte order the lengths are swapped here, walking
// the list as far as the reply holds it.
void printerListReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = connection ? connection->owner : nullptr;
  if (client && client->reader.swapped) {
    uint64_t count = wireGet32(reply + 8);
    uint64_t at = 32;
    for (uint64_t k = 0; k < 2 * count && at + 4 <= length; k++) {
      uint64_t size = wireGet32(reply + at);
      wirePut32(reply + at, __builtin_bswap32(uint32_t(size)));
      at += 4 + ((size + 3) & ~uint64_t(3));
    }
  }
  extWriteReply(reply, length, "bbsii");
}

// GetContext: the client's context id.
void getContextReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  wirePut32(reply + 8, mainServerToProxyXid(wireGet32(reply + 8), connection->display));
  extWriteReply(reply, length, "bbsii");
}

// GetContextScreen: the meta screen's root for the head's.
void contextScreenReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
  extWriteReply(reply, length, "bbsii");
}

// ----- Events and errors -------------------------------------------------------------------

// PrintNotify and AttributeNotify: the client's sequence and, unless another client sent the
// event, the client's context id.
void contextEvent(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & 0x80)) wirePut32(event + 4, mainServerToProxyXid(wireGet32(event + 4), connection->display));
  mainSendEventToClient(event, "bbsi", 0);
}

// The bad value stays as the real server sent it.
void printError(uint8_t *error) {
  const char *name = proxyState.errorNames[error[1]];
  xcoreForwardValueError(error, name ? name : "XpExtension error");
}

constexpr ExtRequestRow kRows[] = {
    {0, "XPrintQueryVersion", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "XPrintGetPrinterList", 12, 4, "bbsii", ExtServed::Forward, nullptr, "bbsii", ExtReplyKind::Own,
     printerListReply},
    {2, "XPrintCreateContext", 16, 4, "bbsiii", ExtServed::Forward, contextAt4, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {3, "XPrintSetContext", 8, 0, "bbsi", ExtServed::Forward, contextAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "XPrintGetContext", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsii", ExtReplyKind::Own, getContextReply},
    {5, "XPrintDestroyContext", 8, 0, "bbsi", ExtServed::Forward, contextAt4, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {6, "XPrintGetContextScreen", 8, 0, "bbsi", ExtServed::Forward, contextAt4, "bbsii", ExtReplyKind::Own,
     contextScreenReply},
    {7, "XPrintStartJob", 8, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {8, "XPrintEndJob", 8, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {9, "XPrintStartDoc", 8, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {10, "XPrintEndDoc", 8, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {11, "XPrintPutDocumentData", 16, 4, "bbsiiss", ExtServed::Forward, drawableAt4, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {12, "XPrintGetDocumentData", 12, 0, "bbsii", ExtServed::Forward, contextAt4, "bbsiiii", ExtReplyKind::Plain,
     nullptr},
    {13, "XPrintStartPage", 8, 0, "bbsi", ExtServed::Forward, windowAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {14, "XPrintEndPage", 8, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply, nullptr},
    {15, "XPrintSelectInput", 12, 0, "bbsii", ExtServed::Forward, contextAt4, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {16, "XPrintInputSelected", 8, 0, "bbsi", ExtServed::Forward, contextAt4, "bbsiii", ExtReplyKind::Plain, nullptr},
    {17, "XPrintGetAttributes", 12, 0, "bbsi", ExtServed::Forward, contextAt4, "bbsii", ExtReplyKind::Plain, nullptr},
    {18, "XPrintSetAttributes", 16, 4, "bbsii", ExtServed::Forward, contextAt4, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {19, "XPrintGetOneAttribute", 16, 4, "bbsii", ExtServed::Forward, contextAt4, "bbsii", ExtReplyKind::Plain,
     nullptr},
    {20, "XPrintRehashPrinterList", 4, 0, "bbs", ExtServed::Forward, nullptr, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {21, "XPrintGetPageDimensions", 8, 0, "bbsi", ExtServed::Forward, contextAt4, "bbsiS", ExtReplyKind::Plain,
     nullptr},
    {22, "XPrintQueryScreens", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsI", ExtReplyKind::IdList, nullptr},
    {23, "XPrintSetImageResolution", 12, 0, "bbsiss", ExtServed::Forward, contextAt4, "bbsis", ExtReplyKind::Plain,
     nullptr},
    {24, "XPrintGetImageResolution", 8, 0, "bbsi", ExtServed::Forward, contextAt4, "bbsis", ExtReplyKind::Plain,
     nullptr},
};

void xprintReset() { proxyState.ext.xprint = nullptr; }

}  // namespace

const char *xprintSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "XpExtension", 2, 3)) return error;
  extWriteRows(record, ExtRequestTable{kRows, sizeof kRows / sizeof kRows[0]});
  if (const char *error = extAddEventRow(record, contextEvent, "bbsi")) return error;
  if (const char *error = extAddEventRow(record, contextEvent, "bbsi")) return error;
  for (const char *name : {"XPrintBadContext", "XPrintBadSequence", "XPrintBadResourceID"})
    if (const char *error = extAddErrorRow(record, printError, name)) return error;
  record->reset = xprintReset;
  proxyState.ext.xprint = record;
  return nullptr;
}
