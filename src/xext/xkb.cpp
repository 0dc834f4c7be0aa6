// The XKEYBOARD extension.
#include "xext/xkb.h"

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr const char *kSource = "Xext/xkb";
constexpr uint8_t kBadLength = 16;
constexpr uint8_t kSentEvent = 0x80;

// xkbBell: its window (None stays None) as the first head of the first meta screen knows it.
void bellWindow(uint8_t *, uint32_t, uint8_t *copy) {
  Head *head = xscreenList ? xscreenList->heads : nullptr;
  if (!copy || !head) return;
  if (uint32_t window = wireGet32(copy + 24)) wirePut32(copy + 24, xproxyServerDrawable(window, head));
}

// xkbSetDebuggingFlags: the message (its length at 4) ends the request, padded to 4 bytes.
void setDebuggingFlags(uint8_t *request, uint32_t length, uint8_t *) {
  uint64_t expected = (24 + uint64_t(wireGet16(request + 4)) + 3) & ~uint64_t(3);
  if (length != expected) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  xcoreFrameForwardOnce(request, length);
}

// The XKB event: the client's sequence; a real one's time recorded and, where it carries one,
// its request major or window in the client's view.
void xkbEvent(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) {
    mainSetLastTime(wireGet32(event + 4));
    switch (event[1]) {
      case 0: event[14] = xproxyMapMajorOpcode(event[14]); break;  // NewKeyboardNotify
      case 2: event[30] = xproxyMapMajorOpcode(event[30]); break;  // StateNotify
      case 3: event[26] = xproxyMapMajorOpcode(event[26]); break;  // ControlsNotify
      case 8: wirePut32(event + 20, mainServerToProxyXid(wireGet32(event + 20), connection->display)); break;
      default:
        if (event[1] >= 12) logProblem("UNE", kSource, __LINE__);
        break;
    }
  }
  mainSendEventToClient(event, "H8", 0);
}

constexpr ExtReplyKind kPlain = ExtReplyKind::Plain, kNone = ExtReplyKind::NoReply;
constexpr ExtServed kForward = ExtServed::Forward;

// Variable requests are whole words (item size 4) from their minimum; their layouts cover the
// whole request. The compat map's groups follow its symbol interpretations (cases 20, 21).
constexpr ExtRequestRow kRows[] = {
    {0, "xkbUseExtension", 8, 0, "bbsss", kForward, nullptr, "bbsiss", kPlain, nullptr},
    {1, "xkbSelectEvents", 16, 4, "H10", kForward, nullptr, nullptr, kNone, nullptr},
    {3, "xkbBell", 28, 0, "bbssssbbbbsssii", kForward, bellWindow, nullptr, kNone, nullptr},
    {4, "xkbGetState", 8, 0, "bbss", kForward, nullptr, "bbsibbbbbbssbbbbbbs", kPlain, nullptr},
    {5, "xkbLatchLockState", 16, 0, "bbssbbbbbbbbs", kForward, nullptr, nullptr, kNone, nullptr},
    {6, "xkbGetControls", 8, 0, "bbss", kForward, nullptr, "bbsibbbbbbbbssssssssssssssssiii", kPlain, nullptr},
    {7, "xkbSetControls", 100, 0, "bbssbbbbssssbbssiiissssssssssiiss", kForward, nullptr, nullptr, kNone, nullptr},
    {8, "xkbGetMap", 28, 0, "bbssssbbbbbbbbs", kForward, nullptr, "H-9", kPlain, nullptr},
    {9, "xkbSetMap", 36, 4, "H17", kForward, nullptr, nullptr, kNone, nullptr},
    {10, "xkbGetCompatMap", 12, 0, "bbssbbss", kForward, nullptr, "H-21", kPlain, nullptr},
    {11, "xkbSetCompatMap", 16, 4, "H20", kForward, nullptr, nullptr, kNone, nullptr},
    {12, "xkbGetIndicatorState", 8, 0, "bbss", kForward, nullptr, "bbsii", kPlain, nullptr},
    {13, "xkbGetIndicatorMap", 12, 0, "bbsssi", kForward, nullptr, "bbsiiibbsiii[bbbbbbsi]", kPlain, nullptr},
    {14, "xkbSetIndicatorMap", 12, 4, "bbsssi[bbbbbbsi]", kForward, nullptr, nullptr, kNone, nullptr},
    {15, "xkbGetNamedIndicator", 16, 0, "bbsssssi", kForward, nullptr, "bbsiibbbbbbbbbbsibbs", kPlain, nullptr},
    {16, "xkbSetNamedIndicator", 32, 0, "bbsssssibbbbbbbbbbsi", kForward, nullptr, nullptr, kNone, nullptr},
    {17, "xkbGetNames", 12, 0, "bbsssi", kForward, nullptr, "H-13", kPlain, nullptr},
    {18, "xkbSetNames", 28, 4, "H16", kForward, nullptr, nullptr, kNone, nullptr},
    {19, "xkbGetGeometry", 12, 0, "bbsssi", kForward, nullptr, "H-18", kPlain, nullptr},
    {20, "xkbSetGeometry", 28, 4, "H19", kForward, nullptr, nullptr, kNone, nullptr},
    {21, "xkbPerClientFlags", 28, 0, "bbsssiiiii", kForward, nullptr, "bbsI", kPlain, nullptr},
    {22, "xkbListComponents", 8, 4, "bbsss", kForward, nullptr, "H-12", kPlain, nullptr},
    {23, "xkbGetKbdByName", 12, 4, "bbssss", kForward, nullptr, "H-11", kPlain, nullptr},
    {24, "xkbGetDeviceInfo", 16, 0, "bbsssbbbbss", kForward, nullptr, "H-14", kPlain, nullptr},
    {25, "xkbSetDeviceInfo", 12, 4, "H15", kForward, nullptr, nullptr, kNone, nullptr},
    {101, "xkbSetDebuggingFlags", 24, 4, "bbsssiiii", ExtServed::Local, setDebuggingFlags, "bbsiiiii", kPlain,
     nullptr},
};

void xkbReset() { proxyState.ext.xkb = nullptr; }

}  // namespace

const ExtRequestTable xkbTable{kRows, sizeof kRows / sizeof kRows[0]};

// ===== set-up =====
const char *xkbSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "XKEYBOARD", 1, 1)) return error;
  if (const char *error = extAddEventRow(record, xkbEvent, "H8")) return error;
  if (const char *error = extAddErrorRow(record, extPrintError, "xkbBadKeyboard")) return error;
  extWriteRows(record, xkbTable);
  record->reset = xkbReset;
  proxyState.ext.xkb = record;
  return nullptr;
}
// ===== end of set-up =====
