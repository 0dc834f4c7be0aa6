// The X Input extension. Input devices exist only on the real server: every request is
// forwarded to the client's main display connection, window and cursor ids translated for the
// first head of the first meta screen; replies get the client's sequence number and the
// proxy's version; device events come back with the meta screens' windows, positions and
// times. Lists whose items are framed by their own class and length are swapped item by item
// here, each item bounded by the bytes present.
#include "xext/xinput.h"

#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/xrclib.h"
#include "xext/byteswap.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr const char *kSource = "Xext/xinput";
constexpr const char *kName = "XInputExtension";
constexpr uint8_t kBadWindow = 3;
constexpr uint8_t kSentEvent = 0x80;
constexpr uint8_t kMoreEvents = 0x80;
constexpr uint32_t kVersion14 = 1 * 64 + 4, kVersion15 = 1 * 64 + 5;
constexpr uint32_t kZelquatoolVersion = 2 * 64 + 0;

uint32_t versionOfDisplay(ServerDisplay *display) {
  return display && display->display ? xrcInputExtensionVersion(display->display) : 0;
}

bool clientSwapped() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->reader.swapped;
}

// The first head of the first meta screen: where the ids of every request are translated.
Head *firstHead() { return xscreenList ? xscreenList->heads : nullptr; }

// Forwarded once with the ids at the fields translated for the first head (unchanged without
// meta screens).
void forwardWithIds(const uint8_t *request, uint32_t length, const XcoreIdField *fields) {
  if (Head *head = firstHead())
    xcoreFrameForwardToHead(request, length, head, fields);
  else
    xcoreFrameForwardOnce(request, length);
}

constexpr XcoreIdField kWindowAt4[] = {{4, kResourceWindow}, {0, 0}};
constexpr XcoreIdField kWindowsAt4And8[] = {{4, kResourceWindow}, {8, kResourceWindow}, {0, 0}};
constexpr XcoreIdField kWindowAndCursor[] = {{4, kResourceWindow}, {8, kResourceCursor}, {0, 0}};

void windowAt4(uint8_t *request, uint32_t length, uint8_t *) { forwardWithIds(request, length, kWindowAt4); }
void windowsAt4And8(uint8_t *request, uint32_t length, uint8_t *) {
  forwardWithIds(request, length, kWindowsAt4And8);
}

// ----- Items framed by their own length -----

uint8_t *itemEnd(uint8_t *item, uint8_t *end, uint64_t length) {
  return uint64_t(end - item) < length ? end : item + length;
}

// One feedback state (reply) or feedback control (request) by its class byte.
const char *feedbackLayout(uint8_t cls, bool control) {
  switch (cls) {
    case 0: return control ? "bbsbbbbssii" : "bbsssiibbbb";  // keyboard
    case 1: return "bbsbbsss";                               // pointer (its pad stays)
    case 2: return control ? "bbsi" : "bbsiii";              // integer
    case 3: return control ? "bbsbbsI" : "bbsssI";           // string: keysyms follow
    case 4: return "bbsii";                                  // LED
    case 5: return "bbsbbbbss";                              // bell
    default: return nullptr;
  }
}

// A device control (GetDeviceControl's reply, ChangeDeviceControl's request) by its type.
const char *deviceControlLayout(uint32_t control, bool request) {
  switch (control) {
    case 1: return request ? "ssbbbbI" : "ssI";  // resolution: values follow
    case 3:                                     // core
    case 4: return "ssbb";                      // enable
    default: return "ssI";                      // calibration, area: words to the end
  }
}

// The feedback states of GetFeedbackControl's reply, read in the proxy's order.
void swapFeedbackStates(uint8_t *reply, uint32_t length) {
  uint8_t *end = reply + length, *q = reply + 32;
  uint32_t count = wireGet16(reply + 8);
  for (uint32_t k = 0; k < count && end - q >= 4; k++) {
    uint32_t size = wireGet16(q + 2);
    const char *layout = feedbackLayout(q[0], false);
    if (size < 4 || !layout) {  // cannot be framed: the rest stays as it is
      logProblem("UNE", kSource, __LINE__);
      return;
    }
    uint8_t *next = itemEnd(q, end, size);
    byteswapByFormat(layout, q, next);
    q = next;
  }
}

// The input classes of QueryDeviceState's reply (lengths are bytes).
void swapDeviceStates(uint8_t *reply, uint32_t length) {
  uint8_t *end = reply + length, *q = reply + 32;
  uint32_t count = reply[8];
  for (uint32_t k = 0; k < count && end - q >= 2; k++) {
    uint32_t size = q[1];
    if (size < 2) {
      logProblem("UNE", kSource, __LINE__);
      return;
    }
    uint8_t *next = itemEnd(q, end, size);
    if (q[0] == 2) byteswapByFormat("bbbbI", q, next);  // valuators; keys and buttons are bytes
    q = next;
  }
}

// ----- Requests -----

// XIGetExtensionVersion: the name as long as its length says.
void getExtensionVersion(uint8_t *request, uint32_t length, uint8_t *) {
  uint64_t name = wireGet16(request + 4);
  if (!xcoreFrameCheckLength(request, length, 8 + ((name + 3) & ~uint64_t(3)))) return;
  xcoreFrameForwardOnce(request, length);
}

// XISelectExtensionEvent and XIChangeDeviceDontPropagateList: one class word per count.
void classList(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameCheckLength(request, length, 12 + 4 * uint64_t(wireGet16(request + 8)))) return;
  forwardWithIds(request, length, kWindowAt4);
}

// XISetDeviceModifierMapping: eight modifiers of byte 5 keycodes each.
void setModifierMapping(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameCheckLength(request, length, 8 + 8 * uint64_t(request[5]))) return;
  xcoreFrameForwardOnce(request, length);
}

// XIChangeFeedbackControl: the one feedback control after the fixed part, by its class.
void changeFeedbackControl(uint8_t *request, uint32_t length, uint8_t *) {
  if (clientSwapped() && length >= 16) {
    const char *layout = feedbackLayout(request[12], true);
    if (layout)
      byteswapByFormat(layout, request + 12, request + length);
    else
      logProblem("UNE", kSource, __LINE__);
  }
  xcoreFrameForwardOnce(request, length);
}

// XIChangeDeviceControl: the one device control after the fixed part, by its type (read in
// the client's order before it is swapped).
void changeDeviceControl(uint8_t *request, uint32_t length, uint8_t *) {
  if (clientSwapped() && length >= 12)
    byteswapByFormat(deviceControlLayout(wireGet16(request + 8, 1), true), request + 8, request + length);
  xcoreFrameForwardOnce(request, length);
}

// XIChangeDeviceProperty: the values by the format byte.
void changeDeviceProperty(uint8_t *request, uint32_t length, uint8_t *) {
  if (clientSwapped()) {
    if (request[13] == 32) byteswapByFormat("I", request + 20, request + length);
    if (request[13] == 16) byteswapByFormat("S", request + 20, request + length);
  }
  xcoreFrameForwardOnce(request, length);
}

// XISendExtensionEvent: the events, each by the event table's layout of its code, then the
// class list; the destination for the first head. The events pass as the client wrote them.
void sendExtensionEvent(uint8_t *request, uint32_t length, uint8_t *) {
  uint64_t events = request[12], classes = wireGet16(request + 10);
  if (16 + 32 * events + 4 * classes > length) {
    xprotoSendError(16, length, request, length, nullptr);
    return;
  }
  if (clientSwapped()) {
    uint8_t *event = request + 16;
    for (uint64_t k = 0; k < events; k++, event += 32) {
      WireLayout layout = proxyState.eventLayouts[event[0] & 0x7f];
      byteswapByFormat(layout ? layout : "bbs", event, event + 32);
    }
    byteswapByFormat("I", event, event + 4 * classes);
  }
  forwardWithIds(request, length, kWindowAt4);
}

// XIChangeCursor: the window must be one (BadWindow), then window and cursor for the head.
void changeCursor(uint8_t *request, uint32_t length, uint8_t *) {
  if (!xcoreFrameResolve(wireGet32(request + 4), kXcoreWantWindow, kBadWindow, request, length)) return;
  forwardWithIds(request, length, kWindowAndCursor);
}

// ----- Replies -----

uint32_t recordVersionOfReply() {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t key = connection ? connection->replyKey : 0;
  return xinputClientVersion(&proxyState.extensions[uint8_t(key)]);
}

void putVersion(uint8_t *reply, uint32_t code) {
  wirePut16(reply + 8, uint16_t(code / 64));
  wirePut16(reply + 10, uint16_t(code % 64));
}

void extensionVersionReply(uint8_t *reply, uint32_t length) {
  putVersion(reply, recordVersionOfReply());
  extWriteReply(reply, length, "bbsiss");
}

// XIQueryVersion: never more than XIGetExtensionVersion tells the client; a client that
// believed the real server's XInput 2 would send requests the proxy does not serve.
void queryVersionReply(uint8_t *reply, uint32_t length) {
  uint32_t told = recordVersionOfReply();
  uint32_t server = uint32_t(wireGet16(reply + 8)) * 64 + wireGet16(reply + 10);
  if (server > told) putVersion(reply, told);
  extWriteReply(reply, length, "bbsiss");
}

void deviceFocusReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  wirePut32(reply + 8, mainServerToProxyXid(wireGet32(reply + 8), connection ? connection->display : nullptr));
  mainSetLastTime(wireGet32(reply + 12));
  extWriteReply(reply, length, "bbsiii");
}

void feedbackControlReply(uint8_t *reply, uint32_t length) {
  if (clientSwapped()) swapFeedbackStates(reply, length);
  extWriteReply(reply, length, "bbsis");
}

void deviceStateReply(uint8_t *reply, uint32_t length) {
  if (clientSwapped()) swapDeviceStates(reply, length);
  extWriteReply(reply, length, "bbsi");
}

void deviceControlReply(uint8_t *reply, uint32_t length) {
  if (clientSwapped() && length >= 36)
    byteswapByFormat(deviceControlLayout(wireGet16(reply + 32), false), reply + 32, reply + length);
  extWriteReply(reply, length, "bbsi");
}

void devicePropertyReply(uint8_t *reply, uint32_t length) {
  uint8_t format = reply[20];
  extWriteReply(reply, length, format == 32 ? "bbsiiiibbsI" : format == 16 ? "bbsiiiibbsS" : "bbsiiiibbs");
}

// ----- Events -----

constexpr const char *kDeviceEventLayout = "bbsiiiisssss";

// The connection whose device event was dropped while more events (DeviceValuators) follow
// it: those are dropped too, up to the one without the more-events bit.
DisplayConnection *droppingValuatorsOf = nullptr;

// The client's sequence; false when there is no client to hand the event to.
bool enterEvent(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return false;
  return true;
}

void deviceValuator(uint8_t *event) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  if (!enterEvent(event)) return;
  if (droppingValuatorsOf && droppingValuatorsOf == connection && !(event[0] & kSentEvent)) {
    if (!(event[1] & kMoreEvents)) droppingValuatorsOf = nullptr;
    return;
  }
  mainSendEventToClient(event, "bbssbbI", 0);
}

void deviceInputEvent(uint8_t *event) {
  droppingValuatorsOf = nullptr;
  if (!enterEvent(event)) return;
  if (!(event[0] & kSentEvent) && !xcoreTranslateDeviceEvent(event, nullptr)) {
    if (event[31] & kMoreEvents) droppingValuatorsOf = xproxyCurrentDisplayConnection;
    return;
  }
  mainSendEventToClient(event, kDeviceEventLayout, 0);
}

void deviceFocusEvent(uint8_t *event) {
  droppingValuatorsOf = nullptr;
  if (!enterEvent(event)) return;
  if (!(event[0] & kSentEvent)) {
    DisplayConnection *connection = xproxyCurrentDisplayConnection;
    wirePut32(event + 8, mainServerToProxyXid(wireGet32(event + 8), connection->display));
    mainSetLastTime(wireGet32(event + 4));
  }
  mainSendEventToClient(event, "bbsii", 0);
}

// The events whose only rewriting is the time stamp at `at` (none for 0).
template <uint32_t at>
void timedEvent(uint8_t *event, WireLayout layout) {
  droppingValuatorsOf = nullptr;
  if (!enterEvent(event)) return;
  if (at && !(event[0] & kSentEvent)) mainSetLastTime(wireGet32(event + at));
  mainSendEventToClient(event, layout, 0);
}

// DeviceStateNotify's valuators are the three words from byte 20 on.
constexpr const char *kStateNotifyLayout = "bbsibbbbbbbbbbbbiii";
void deviceStateNotify(uint8_t *event) { timedEvent<0>(event, kStateNotifyLayout); }
void deviceMappingNotify(uint8_t *event) { timedEvent<8>(event, "bbsbbbbi"); }
void changeDeviceNotify(uint8_t *event) { timedEvent<4>(event, "bbsi"); }
void stateBytesNotify(uint8_t *event) { timedEvent<0>(event, "bbs"); }
void devicePresenceNotify(uint8_t *event) { timedEvent<4>(event, "bbsibbs"); }
void devicePropertyNotify(uint8_t *event) { timedEvent<4>(event, "bbsii"); }

struct EventRow {
  EventHandler handler;
  WireLayout layout;
};
constexpr EventRow kEvents[] = {
    {deviceValuator, "bbssbbI"},                 // DeviceValuator
    {deviceInputEvent, kDeviceEventLayout},      // DeviceKeyPress
    {deviceInputEvent, kDeviceEventLayout},      // DeviceKeyRelease
    {deviceInputEvent, kDeviceEventLayout},      // DeviceButtonPress
    {deviceInputEvent, kDeviceEventLayout},      // DeviceButtonRelease
    {deviceInputEvent, kDeviceEventLayout},      // DeviceMotionNotify
    {deviceFocusEvent, "bbsii"},                 // DeviceFocusIn
    {deviceFocusEvent, "bbsii"},                 // DeviceFocusOut
    {deviceInputEvent, kDeviceEventLayout},      // ProximityIn
    {deviceInputEvent, kDeviceEventLayout},      // ProximityOut
    {deviceStateNotify, kStateNotifyLayout},     // DeviceStateNotify
    {deviceMappingNotify, "bbsbbbbi"},           // DeviceMappingNotify
    {changeDeviceNotify, "bbsi"},                // ChangeDeviceNotify
    {stateBytesNotify, "bbs"},                   // DeviceKeyStateNotify
    {stateBytesNotify, "bbs"},                   // DeviceButtonStateNotify
    {devicePresenceNotify, "bbsibbs"},           // DevicePresenceNotify (1.4)
    {devicePropertyNotify, "bbsii"},             // DevicePropertyNotify (1.5)
};
constexpr unsigned kEventCount = 18;  // codes the extension takes, the last one unused here

// ----- Errors -----

constexpr const char *kErrorNames[] = {"XIBadDevice", "XIBadEvent", "XIBadMode", "XIDeviceBusy", "XIBadClass"};

// The bad value is a device, event class or mode: passed on as it is.
void printError(uint8_t *error) {
  const char *name = proxyState.errorNames[error[1]];
  xcoreForwardValueError(error, name ? name : "XInputExtension error");
}

// ----- The rows -----

using S = ExtServed;
using R = ExtReplyKind;

// Rows 36 to 39 (the device properties of version 1.5) come last: older versions write only
// the rows before them.
constexpr ExtRequestRow kRows[] = {
    {1, "XIGetExtensionVersion", 8, 4, "bbss", S::Local, getExtensionVersion, "bbsiss", R::Own,
     extensionVersionReply},
    {2, "XIListInputDevices", 4, 0, "bbs", S::Forward, nullptr, "H-3", R::Plain, nullptr},
    {3, "XIOpenDevice", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {4, "XICloseDevice", 8, 0, "bbs", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {5, "XISetDeviceMode", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {6, "XISelectExtensionEvent", 12, 4, "bbsissI", S::Local, classList, nullptr, R::NoReply, nullptr},
    {7, "XIGetSelectedExtensionEvents", 8, 0, "bbsi", S::Local, windowAt4, "bbsissI", R::Plain, nullptr},
    {8, "XIChangeDeviceDontPropagateList", 12, 4, "bbsisbbI", S::Local, classList, nullptr, R::NoReply, nullptr},
    // The reply's class list follows its count.
    {9, "XIGetDeviceDontPropagateList", 8, 0, "bbsi", S::Local, windowAt4, "bbsissI", R::Plain, nullptr},
    // The reply's events (time and axis values) are words.
    {10, "XIGetDeviceMotionEvents", 16, 0, "bbsii", S::Forward, nullptr, "bbsiibbbbI", R::Plain, nullptr},
    {11, "XIChangeKeyboardDevice", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {12, "XIChangePointerDevice", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {13, "XIGrabDevice", 20, 4, "bbsiisbbbbsI", S::Local, windowAt4, "bbsi", R::Plain, nullptr},
    {14, "XIUngrabDevice", 12, 0, "bbsi", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {15, "XIGrabDeviceKey", 20, 4, "bbsissbbbbbbbbI", S::Local, windowAt4, nullptr, R::NoReply, nullptr},
    {16, "XIUngrabDeviceKey", 16, 0, "bbsis", S::Local, windowAt4, nullptr, R::NoReply, nullptr},
    {17, "XIGrabDeviceButton", 20, 4, "bbsibbssbbbbbbI", S::Local, windowAt4, nullptr, R::NoReply, nullptr},
    {18, "XIUngrabDeviceButton", 16, 0, "bbsis", S::Local, windowAt4, nullptr, R::NoReply, nullptr},
    {19, "XIAllowDeviceEvents", 12, 0, "bbsi", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {20, "XIGetDeviceFocus", 8, 0, "bbs", S::Forward, nullptr, "bbsiii", R::Own, deviceFocusReply},
    {21, "XISetDeviceFocus", 16, 0, "bbsii", S::Local, windowAt4, nullptr, R::NoReply, nullptr},
    {22, "XIGetFeedbackControl", 8, 0, "bbs", S::Forward, nullptr, "bbsis", R::Own, feedbackControlReply},
    {23, "XIChangeFeedbackControl", 12, 4, "bbsi", S::Local, changeFeedbackControl, nullptr, R::NoReply, nullptr},
    {24, "XIGetDeviceKeyMapping", 8, 0, "bbs", S::Forward, nullptr, "bbsibbbbI", R::Plain, nullptr},
    {25, "XIChangeDeviceKeyMapping", 8, 4, "bbsbbbbI", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {26, "XIGetDeviceModifierMapping", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {27, "XISetDeviceModifierMapping", 8, 4, "bbs", S::Local, setModifierMapping, "bbsi", R::Plain, nullptr},
    {28, "XIGetDeviceButtonMapping", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {29, "XISetDeviceButtonMapping", 8, 4, "bbs", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {30, "XIQueryDeviceState", 8, 0, "bbs", S::Forward, nullptr, "bbsi", R::Own, deviceStateReply},
    {31, "XISendExtensionEvent", 16, 4, "bbsibbs", S::Local, sendExtensionEvent, nullptr, R::NoReply, nullptr},
    {32, "XIDeviceBell", 8, 0, "bbs", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {33, "XISetDeviceValuators", 8, 4, "bbsbbbbI", S::Forward, nullptr, "bbsi", R::Plain, nullptr},
    {34, "XIGetDeviceControl", 8, 0, "bbss", S::Forward, nullptr, "bbsi", R::Own, deviceControlReply},
    {35, "XIChangeDeviceControl", 8, 4, "bbssbb", S::Local, changeDeviceControl, "bbsi", R::Plain, nullptr},
    {41, "XIWarpPointer", 36, 0, "bbsiiiissiis", S::Local, windowsAt4And8, nullptr, R::NoReply, nullptr},
    {42, "XIChangeCursor", 16, 0, "bbsiis", S::Local, changeCursor, nullptr, R::NoReply, nullptr},
    {43, "XIChangeHierarchy", 8, 4, "H99", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {47, "XIQueryVersion", 8, 0, "bbsss", S::Forward, nullptr, "bbsiss", R::Own, queryVersionReply},
    {36, "XIListDeviceProperties", 8, 0, "bbs", S::Forward, nullptr, "bbsissI", R::Plain, nullptr},
    {37, "XIChangeDeviceProperty", 20, 4, "bbsiibbbbi", S::Local, changeDeviceProperty, nullptr, R::NoReply, nullptr},
    {38, "XIDeleteDeviceProperty", 12, 0, "bbsi", S::Forward, nullptr, nullptr, R::NoReply, nullptr},
    {39, "XIGetDeviceProperty", 24, 0, "bbsiiii", S::Forward, nullptr, "bbsiiiibbs", R::Own, devicePropertyReply},
};
constexpr size_t kAllRows = sizeof kRows / sizeof kRows[0];
constexpr size_t kPropertyRows = 4;

const ExtRequestTable kOlderTable{kRows, kAllRows - kPropertyRows};

void xinputReset() {
  proxyState.ext.xinput = nullptr;
  droppingValuatorsOf = nullptr;
}

}  // namespace

XinputVersionQuery xinputDisplayVersion = versionOfDisplay;

const ExtRequestTable xinputTable{kRows, kAllRows};

uint32_t xinputClientVersion(const ExtensionRecord *record) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && strcmp(client->windowName, "zelquatool") == 0) return kZelquatoolVersion;
  return record ? record->version : 0;
}

const char *xinputEventLayout(unsigned n) {
  return n < sizeof kEvents / sizeof kEvents[0] ? kEvents[n].layout : nullptr;
}

const char *xinputSetup(ExtensionRecord *record) {
  // Every request goes to a real server: without one there is nothing to serve.
  if (!mainServerDisplays) return "no real display";
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    uint32_t version = xinputDisplayVersion(d);
    if (!version) return strTempPrintf("Display %s does not support extension %s", d->name ? d->name : "", kName);
    if (version < record->version) record->version = uint16_t(version);
  }
  if (const char *error = extRegister(record, kName, kEventCount, 5)) return error;
  record->reset = xinputReset;
  extWriteRows(record, record->version >= kVersion15 ? xinputTable : kOlderTable);
  for (unsigned n = 0; n < sizeof kEvents / sizeof kEvents[0]; n++) {
    if (n == 15 && record->version < kVersion14) break;
    if (n == 16 && record->version < kVersion15) break;
    if (const char *error = extAddEventRow(record, kEvents[n].handler, kEvents[n].layout)) return error;
  }
  for (const char *name : kErrorNames)
    if (const char *error = extAddErrorRow(record, printError, name)) return error;
  proxyState.ext.xinput = record;
  return nullptr;
}
