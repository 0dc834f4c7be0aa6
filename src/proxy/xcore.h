// Core protocol dispatch: the rows of the six tables in ProxyState that the core protocol
// writes once at start-up, and the default handlers for whatever no handler claims.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

// One core request opcode (1..119 and 127): its protocol name, whether it has a reply, its
// handlers, the layout its request is swapped with for a client of the other byte order and
// the layout of its reply where that is one fixed string (NULL where the handler chooses).
struct XcoreRequestRow {
  uint8_t opcode;
  const char *name;
  bool hasReply;
  RequestHandler request;
  ReplyHandler reply;  // xcoreUnexpectedReply for requests without a reply
  WireLayout requestLayout;
  WireLayout replyLayout;
};

// One core event code (2..34) with its layout.
struct XcoreEventRow {
  uint8_t code;
  const char *name;
  EventHandler handler;
  WireLayout layout;
};

// The core rows, in opcode order (119 rows for 1..119, then 127).
extern const XcoreRequestRow xcoreRequestRows[120];
// The core events 2..34, in code order.
extern const XcoreEventRow xcoreEventRows[33];
// The core error names, by code 0..17 (0 is "Unsupported").
extern const char *const xcoreErrorNames[18];
// The core error handlers by code 0..17 (0 is xcoreUnsupportedError).
extern const ErrorHandler xcoreErrorHandlers[18];

// The request key of a request's first two bytes: byte 0 low, byte 1 high.
inline uint32_t xcoreRequestKey(const uint8_t *request) { return request[0] | (uint32_t(request[1]) << 8); }
// Index into ProxyState::requestNames: core opcodes 0..127 by themselves, extension keys
// after them. The minor opcode of a core request does not count.
inline uint32_t xcoreRequestNameIndex(uint8_t major, uint8_t minor) {
  return major < 128 ? major : 128 + (uint32_t(major - 128) << 8) + minor;
}
// The name used in log lines: the table's name for majors 1..255 (minor below 256), else or
// for an empty entry "request %u.%u" in a temporary string.
const char *xcoreRequestName(unsigned major, unsigned minor);

// Writes the two handlers into all 256 keys whose byte 0 is major.
void xcoreSetRequestHandlers(uint8_t major, RequestHandler request, ReplyHandler reply);
// Fills the core rows of all six tables; called once at start-up.
void xcoreInitDispatchTables();

// Give one event or error code back to the row that xcoreInitDispatchTables writes for it
// (used when an extension that held the code is reset).
void xcoreRestoreEventRow(uint8_t code);
void xcoreRestoreErrorRow(uint8_t code);

// Default handlers (xcoreUnexpectedReply: proxy/xproxy.h).
void xcoreInvalidRequest(uint8_t *request, uint32_t length);
void xcoreUnsupportedRequest(uint8_t *request, uint32_t length);
void xcoreNoOperation(uint8_t *request, uint32_t length);
void xcoreUnsupportedReply(uint8_t *reply, uint32_t length);
void xcoreUnsupportedEvent(uint8_t *event);
void xcoreUnsupportedError(uint8_t *error);
// Reply-callback tag pushed after a copy of a request that several heads get: when that copy
// fails, its error is dropped (the client hears one answer per request, the one of the head that
// answers for the meta screen).
constexpr uint8_t kXcoreReplyTagDropError = 254;

// The handlers of the core errors 1..17 (xcorehandlers.cpp, with the default handlers): each
// maps the error back into the client's terms and queues it in the client's ordered output of
// the failed request, where only the first error of a request is released.
// The steps of those handlers for an error whose bad value is a resource id, logged with name
// and the mapped id: what an extension's error printer does with its own errors.
void xcoreForwardIdError(uint8_t *error, const char *name);
// The same for an error whose bad value is no id: logged as "name value" and passed on as it is.
void xcoreForwardValueError(uint8_t *error, const char *name);
// The same with the value logged in hexadecimal ("name 0x%x").
void xcoreForwardHexValueError(uint8_t *error, const char *name);
void xcoreBadRequest(uint8_t *error);
void xcoreBadValue(uint8_t *error);
void xcoreBadWindow(uint8_t *error);
void xcoreBadPixmap(uint8_t *error);
void xcoreBadAtom(uint8_t *error);
void xcoreBadCursor(uint8_t *error);
void xcoreBadFont(uint8_t *error);
void xcoreBadMatch(uint8_t *error);
void xcoreBadDrawable(uint8_t *error);
void xcoreBadAccess(uint8_t *error);
void xcoreBadAlloc(uint8_t *error);
void xcoreBadColor(uint8_t *error);
void xcoreBadGC(uint8_t *error);
void xcoreBadIDChoice(uint8_t *error);
void xcoreBadName(uint8_t *error);
void xcoreBadLength(uint8_t *error);
void xcoreBadImplementation(uint8_t *error);

// ===== window queries =====
// GetWindowAttributes, GetGeometry and QueryTree (xcorewindow.cpp): forwarded once to the first
// head of the window's meta screen; the replies describe the meta screen.
void xcoreGetWindowAttributes(uint8_t *request, uint32_t length);
void xcoreGetWindowAttributesReply(uint8_t *reply, uint32_t length);
void xcoreGetGeometry(uint8_t *request, uint32_t length);
void xcoreGetGeometryReply(uint8_t *reply, uint32_t length);
void xcoreQueryTree(uint8_t *request, uint32_t length);
void xcoreQueryTreeReply(uint8_t *reply, uint32_t length);
// ===== end of window queries =====

// ===== window requests =====
// The window-changing requests (xcorewindow.cpp): applied to the proxy's tree and sent once
// per head of the window's meta screen.
void xcoreCreateWindow(uint8_t *request, uint32_t length);
void xcoreChangeWindowAttributes(uint8_t *request, uint32_t length);
void xcoreDestroyWindow(uint8_t *request, uint32_t length);
void xcoreDestroySubwindows(uint8_t *request, uint32_t length);
void xcoreChangeSaveSet(uint8_t *request, uint32_t length);
void xcoreReparentWindow(uint8_t *request, uint32_t length);
void xcoreMapWindow(uint8_t *request, uint32_t length);
void xcoreMapSubwindows(uint8_t *request, uint32_t length);
void xcoreUnmapWindow(uint8_t *request, uint32_t length);
void xcoreUnmapSubwindows(uint8_t *request, uint32_t length);
void xcoreConfigureWindow(uint8_t *request, uint32_t length);
void xcoreCirculateWindow(uint8_t *request, uint32_t length);
// ===== end of window requests =====

// ===== atoms and properties =====
// InternAtom, GetAtomName, GetProperty and ListProperties (xcoreproperty.cpp): atoms pass
// through unchanged, properties live on the first head of their window's meta screen.
void xcoreInternAtom(uint8_t *request, uint32_t length);
void xcoreInternAtomReply(uint8_t *reply, uint32_t length);
void xcoreGetAtomName(uint8_t *request, uint32_t length);
void xcoreGetAtomNameReply(uint8_t *reply, uint32_t length);
void xcoreGetProperty(uint8_t *request, uint32_t length);
void xcoreGetPropertyReply(uint8_t *reply, uint32_t length);
void xcoreListProperties(uint8_t *request, uint32_t length);
void xcoreListPropertiesReply(uint8_t *reply, uint32_t length);
// ChangeProperty (learning the client's names, a window's normal hints and the keep-visible
// exemption), DeleteProperty, the selections and SendEvent: each forwarded once.
void xcoreChangeProperty(uint8_t *request, uint32_t length);
void xcoreDeleteProperty(uint8_t *request, uint32_t length);
void xcoreSetSelectionOwner(uint8_t *request, uint32_t length);
void xcoreGetSelectionOwner(uint8_t *request, uint32_t length);
void xcoreGetSelectionOwnerReply(uint8_t *reply, uint32_t length);
void xcoreConvertSelection(uint8_t *request, uint32_t length);
void xcoreSendEvent(uint8_t *request, uint32_t length);
// A retained client's close: every selection that clients have set and a window of this client
// owns on the main real display is given up (owner None), through the proxy's Xlib connection.
void xcoreReleaseRetainedSelections(ClientConnection *client);
// ===== end of atoms and properties =====

// ===== active pointer grab changes, motion history and the keymap =====
// ChangeActivePointerGrab (checked, the proxy's grab record updated, forwarded once to the
// pointer head), GetMotionEvents (times recorded) and QueryKeymap (xcoregrab.cpp).
void xcoreChangeActivePointerGrab(uint8_t *request, uint32_t length);
void xcoreGetMotionEvents(uint8_t *request, uint32_t length);
void xcoreGetMotionEventsReply(uint8_t *reply, uint32_t length);
void xcoreQueryKeymap(uint8_t *request, uint32_t length);
void xcoreQueryKeymapReply(uint8_t *reply, uint32_t length);
// ===== end of active pointer grab changes, motion history and the keymap =====

// ===== pointer and focus queries =====
// TranslateCoordinates and GetInputFocus (xcoregrab.cpp).
void xcoreTranslateCoordinates(uint8_t *request, uint32_t length);
void xcoreTranslateCoordinatesReply(uint8_t *reply, uint32_t length);
void xcoreGetInputFocus(uint8_t *request, uint32_t length);
void xcoreGetInputFocusReply(uint8_t *reply, uint32_t length);
// QueryPointer goes to the pointer head and its reply speaks of the meta screen (the pointer
// poll's own queries end in the pointer state); WarpPointer is answered by the proxy.
void xcoreQueryPointer(uint8_t *request, uint32_t length);
void xcoreQueryPointerReply(uint8_t *reply, uint32_t length);
void xcoreWarpPointer(uint8_t *request, uint32_t length);
// Passive grabs (the client's list and a copy per head), the emulated server grab, AllowEvents
// with the proxy's freezes, and SetInputFocus onto the focus head.
void xcoreGrabButton(uint8_t *request, uint32_t length);
void xcoreUngrabButton(uint8_t *request, uint32_t length);
void xcoreGrabKey(uint8_t *request, uint32_t length);
void xcoreUngrabKey(uint8_t *request, uint32_t length);
void xcoreGrabServer(uint8_t *request, uint32_t length);
void xcoreUngrabServer(uint8_t *request, uint32_t length);
void xcoreAllowEvents(uint8_t *request, uint32_t length);
void xcoreSetInputFocus(uint8_t *request, uint32_t length);
// Active grabs: checked by the proxy, forwarded once; a Success reply records the grab.
void xcoreGrabPointer(uint8_t *request, uint32_t length);
void xcoreGrabPointerReply(uint8_t *reply, uint32_t length);
void xcoreUngrabPointer(uint8_t *request, uint32_t length);
void xcoreGrabKeyboard(uint8_t *request, uint32_t length);
void xcoreGrabKeyboardReply(uint8_t *reply, uint32_t length);
void xcoreUngrabKeyboard(uint8_t *request, uint32_t length);
// 1 when AllowEvents may act at the client's time (0 passes); refusals are logged.
int xcoreCheckAllowEventsTime(ClientConnection *client, uint32_t time);
// ===== end of pointer and focus queries =====

// ===== extension and keyboard queries =====
// QueryBestSize, QueryExtension, ListExtensions and GetKeyboardMapping (xcoreinput.cpp). The
// extension queries are answered from the proxy's own extension list.
void xcoreQueryBestSize(uint8_t *request, uint32_t length);
void xcoreQueryBestSizeReply(uint8_t *reply, uint32_t length);
void xcoreQueryExtension(uint8_t *request, uint32_t length);
void xcoreQueryExtensionReply(uint8_t *reply, uint32_t length);
void xcoreListExtensions(uint8_t *request, uint32_t length);
void xcoreListExtensionsReply(uint8_t *reply, uint32_t length);
void xcoreGetKeyboardMapping(uint8_t *request, uint32_t length);
void xcoreGetKeyboardMappingReply(uint8_t *reply, uint32_t length);
// ===== end of extension and keyboard queries =====

// ===== keyboard, pointer, screen saver and access =====
// Forwarded once (xcoreinput.cpp), but for ChangeHosts, SetAccessControl, SetCloseDownMode
// and KillClient, which the proxy serves alone, and ListHosts, answered from the proxy's list.
void xcoreChangeKeyboardMapping(uint8_t *request, uint32_t length);
void xcoreChangeKeyboardControl(uint8_t *request, uint32_t length);
void xcoreGetKeyboardControl(uint8_t *request, uint32_t length);
void xcoreGetKeyboardControlReply(uint8_t *reply, uint32_t length);
void xcoreBell(uint8_t *request, uint32_t length);
void xcoreChangePointerControl(uint8_t *request, uint32_t length);
void xcoreGetPointerControl(uint8_t *request, uint32_t length);
void xcoreGetPointerControlReply(uint8_t *reply, uint32_t length);
void xcoreSetScreenSaver(uint8_t *request, uint32_t length);
void xcoreGetScreenSaver(uint8_t *request, uint32_t length);
void xcoreGetScreenSaverReply(uint8_t *reply, uint32_t length);
void xcoreChangeHosts(uint8_t *request, uint32_t length);
void xcoreListHosts(uint8_t *request, uint32_t length);
void xcoreListHostsReply(uint8_t *reply, uint32_t length);
void xcoreSetAccessControl(uint8_t *request, uint32_t length);
void xcoreSetCloseDownMode(uint8_t *request, uint32_t length);
void xcoreKillClient(uint8_t *request, uint32_t length);
void xcoreRotateProperties(uint8_t *request, uint32_t length);
void xcoreForceScreenSaver(uint8_t *request, uint32_t length);
void xcoreSetPointerMapping(uint8_t *request, uint32_t length);
void xcoreGetPointerMapping(uint8_t *request, uint32_t length);
void xcoreSetModifierMapping(uint8_t *request, uint32_t length);
void xcoreGetModifierMapping(uint8_t *request, uint32_t length);
// The replies of Set/GetPointerMapping and Set/GetModifierMapping, passed on as they came.
void xcoreMappingReply(uint8_t *reply, uint32_t length);
// ===== end of keyboard, pointer, screen saver and access =====

// ===== cursors =====
// CreateCursor, CreateGlyphCursor, FreeCursor and RecolorCursor (xcorecursor.cpp): a cursor is
// built on every head of every meta screen.
void xcoreCreateCursor(uint8_t *request, uint32_t length);
void xcoreCreateGlyphCursor(uint8_t *request, uint32_t length);
// Glyph cursors' shapes read from the real display are kept by font name and glyph (forgotten
// with the font path), and so are the answers of AllocColor on colormaps of a static class;
// both are forgotten when the real displays close.
void xcoreForgetGlyphShapes();
void xcoreForgetStaticColours();
void xcoreFreeCursor(uint8_t *request, uint32_t length);
void xcoreRecolorCursor(uint8_t *request, uint32_t length);
// ===== end of cursors =====

// ===== font, pixmap and GC requests =====
struct GCRecord;
// Stores the values of the mask (one word per set bit, bits 0..22 in order) into the GC
// record, keeping its pixmap and font references: a tile of the GC's depth, a depth-1
// stipple or clip mask of its meta screen, a known font (each new reference taken before the
// old one is dropped). Bits above 22 are ignored. A pixmap of another client is shared as
// resourceSharePixmap does with `shareFailure` (NULL: the client's earlier requests have
// reached the servers, or no such pixmap is among the values).
void xcoreApplyGCValues(GCRecord *record, uint32_t mask, const uint32_t *values, const char *shareFailure = nullptr);
void xcoreOpenFont(uint8_t *request, uint32_t length);
void xcoreCloseFont(uint8_t *request, uint32_t length);
void xcoreQueryFont(uint8_t *request, uint32_t length);
void xcoreQueryTextExtents(uint8_t *request, uint32_t length);
void xcoreListFonts(uint8_t *request, uint32_t length);
void xcoreListFontsWithInfo(uint8_t *request, uint32_t length);
void xcoreSetFontPath(uint8_t *request, uint32_t length);
void xcoreGetFontPath(uint8_t *request, uint32_t length);
void xcoreCreatePixmap(uint8_t *request, uint32_t length);
void xcoreFreePixmap(uint8_t *request, uint32_t length);
void xcoreCreateGC(uint8_t *request, uint32_t length);
void xcoreChangeGC(uint8_t *request, uint32_t length);
void xcoreCopyGC(uint8_t *request, uint32_t length);
void xcoreSetDashes(uint8_t *request, uint32_t length);
void xcoreSetClipRectangles(uint8_t *request, uint32_t length);
void xcoreFreeGC(uint8_t *request, uint32_t length);
// Replies passed on with the client's sequence.
void xcoreQueryFontReply(uint8_t *reply, uint32_t length);
void xcoreQueryTextExtentsReply(uint8_t *reply, uint32_t length);
void xcoreListFontsReply(uint8_t *reply, uint32_t length);
void xcoreListFontsWithInfoReply(uint8_t *reply, uint32_t length);
void xcoreGetFontPathReply(uint8_t *reply, uint32_t length);
// ===== end of font, pixmap and GC requests =====

// ===== colormap and colour requests =====
void xcoreCreateColormap(uint8_t *request, uint32_t length);
void xcoreFreeColormap(uint8_t *request, uint32_t length);
void xcoreCopyColormapAndFree(uint8_t *request, uint32_t length);
void xcoreInstallColormap(uint8_t *request, uint32_t length);
void xcoreUninstallColormap(uint8_t *request, uint32_t length);
void xcoreListInstalledColormaps(uint8_t *request, uint32_t length);
void xcoreAllocColor(uint8_t *request, uint32_t length);
void xcoreAllocNamedColor(uint8_t *request, uint32_t length);
void xcoreAllocColorCells(uint8_t *request, uint32_t length);
void xcoreAllocColorPlanes(uint8_t *request, uint32_t length);
void xcoreFreeColors(uint8_t *request, uint32_t length);
void xcoreStoreColors(uint8_t *request, uint32_t length);
void xcoreStoreNamedColor(uint8_t *request, uint32_t length);
void xcoreQueryColors(uint8_t *request, uint32_t length);
void xcoreLookupColor(uint8_t *request, uint32_t length);
// Replies: ListInstalledColormaps without the heads' real default colormaps and with the
// client's ids; the allocations with pixels (and masks) mapped back and the cells recorded
// (BadAlloc in place of the reply when that fails); the queries with the client's sequence.
void xcoreListInstalledColormapsReply(uint8_t *reply, uint32_t length);
void xcoreAllocColorReply(uint8_t *reply, uint32_t length);
void xcoreAllocNamedColorReply(uint8_t *reply, uint32_t length);
void xcoreAllocColorCellsReply(uint8_t *reply, uint32_t length);
void xcoreAllocColorPlanesReply(uint8_t *reply, uint32_t length);
void xcoreQueryColorsReply(uint8_t *reply, uint32_t length);
void xcoreLookupColorReply(uint8_t *reply, uint32_t length);
// ===== end of colormap and colour requests =====

// ===== core event handlers =====
// The handlers of the core events 2..34 (xcoreevent.cpp). Each maps the sequence number back;
// a sent event (0x80 of byte 0) goes to the client as it is; otherwise ids, positions and
// times are put into the client's view and one event stands for the head copies of a window.
struct Head;
struct ServerDisplay;
// KeyPress to MotionNotify of the current display connection: the head under the root
// position, root position into meta coordinates, root, event and child windows mapped through
// that head, the time recorded; event position and same-screen set for the meta screens. 1 to
// deliver (*head: the head under the pointer), 0 to drop.
int xcoreTranslateDeviceEvent(uint8_t *event, Head **head);
// EnterNotify and LeaveNotify: the same steps with the crossing's same-screen bit (0x02 of
// byte 31); 0 when the head is unknown, the server says not same-screen on one meta screen, or
// a LeaveNotify's position was clamped.
int xcoreTranslateCrossingEvent(uint8_t *event, ServerDisplay *display);
void xcoreKeyPress(uint8_t *event);
void xcoreKeyRelease(uint8_t *event);
void xcoreButtonPress(uint8_t *event);
void xcoreButtonRelease(uint8_t *event);
void xcoreMotionNotify(uint8_t *event);
void xcoreEnterNotify(uint8_t *event);
void xcoreLeaveNotify(uint8_t *event);
void xcoreFocusIn(uint8_t *event);
void xcoreFocusOut(uint8_t *event);
void xcoreKeymapNotify(uint8_t *event);
void xcoreExpose(uint8_t *event);
void xcoreGraphicsExpose(uint8_t *event);
void xcoreNoExpose(uint8_t *event);
void xcoreVisibilityNotify(uint8_t *event);
// CreateNotify to PropertyNotify (16..28): only the copy of the meta screen's first head.
void xcoreStructureEvent(uint8_t *event);
void xcoreColormapNotify(uint8_t *event);
// SelectionClear, SelectionRequest and SelectionNotify.
void xcoreSelectionEvent(uint8_t *event);
void xcoreClientMessage(uint8_t *event);
void xcoreMappingNotify(uint8_t *event);
// ===== end of core event handlers =====
// ===== drawing, text and image requests =====
// Reply-callback tags: 62 follows every copy of a CopyArea or CopyPlane whose exposure events
// are merged (argument 1 when the source is a pixmap); 73 carries a GetImage piece record.
constexpr uint8_t kXcoreReplyTagCopyExposures = 62;
constexpr uint8_t kXcoreReplyTagImagePiece = 73;
// Drawing (xcoredraw.cpp): ClearArea, CopyArea, CopyPlane, the Poly and Fill requests 64-71
// (one handler reading the opcode) and the text requests.
void xcoreClearArea(uint8_t *request, uint32_t length);
void xcoreCopyArea(uint8_t *request, uint32_t length);
void xcoreCopyPlane(uint8_t *request, uint32_t length);
void xcorePolyDraw(uint8_t *request, uint32_t length);
void xcorePolyText8(uint8_t *request, uint32_t length);
void xcorePolyText16(uint8_t *request, uint32_t length);
void xcoreImageText8(uint8_t *request, uint32_t length);
void xcoreImageText16(uint8_t *request, uint32_t length);
// Images (xcoreimage.cpp).
void xcorePutImage(uint8_t *request, uint32_t length);
void xcoreGetImage(uint8_t *request, uint32_t length);
void xcoreGetImageReply(uint8_t *reply, uint32_t length);
// ===== end of drawing, text and image requests =====
