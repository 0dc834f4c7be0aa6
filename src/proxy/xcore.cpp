// Core protocol dispatch rows and default handlers.
#include "proxy/xcore.h"

#include <initializer_list>

#include "support/strings.h"

ProxyState proxyState;

namespace {

// A request without a reply: a reply the real server sends for it anyway goes on with a warning.
constexpr ReplyHandler kNoReply = xcoreUnexpectedReply;

}  // namespace

// Every core request has its handler; requests with a reply carry true and their reply handler.
const XcoreRequestRow xcoreRequestRows[120] = {
    XcoreRequestRow{1, "CreateWindow", false, xcoreCreateWindow, kNoReply, "bbsiissssssI", nullptr},
    XcoreRequestRow{2, "ChangeWindowAttributes", false, xcoreChangeWindowAttributes, kNoReply, "bbsI", nullptr},
    XcoreRequestRow{3, "GetWindowAttributes", true, xcoreGetWindowAttributes, xcoreGetWindowAttributesReply, "bbsi", "bbsiisbbiibbbbiiis"},
    XcoreRequestRow{4, "DestroyWindow", false, xcoreDestroyWindow, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{5, "DestroySubwindows", false, xcoreDestroySubwindows, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{6, "ChangeSaveSet", false, xcoreChangeSaveSet, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{7, "ReparentWindow", false, xcoreReparentWindow, kNoReply, "bbsiiss", nullptr},
    XcoreRequestRow{8, "MapWindow", false, xcoreMapWindow, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{9, "MapSubwindows", false, xcoreMapSubwindows, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{10, "UnmapWindow", false, xcoreUnmapWindow, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{11, "UnmapSubwindows", false, xcoreUnmapSubwindows, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{12, "ConfigureWindow", false, xcoreConfigureWindow, kNoReply, "bbsissI", nullptr},
    XcoreRequestRow{13, "CirculateWindow", false, xcoreCirculateWindow, kNoReply, "bbsi", nullptr},
    XcoreRequestRow{14, "GetGeometry", true, xcoreGetGeometry, xcoreGetGeometryReply, "bbsi", "bbsiissssssii"},
    XcoreRequestRow{15, "QueryTree", true, xcoreQueryTree, xcoreQueryTreeReply, "bbsi", "bbsiiissI"},
    XcoreRequestRow{16, "InternAtom", true, xcoreInternAtom, xcoreInternAtomReply, "bbss", "bbsii"},
    XcoreRequestRow{17, "GetAtomName", true, xcoreGetAtomName, xcoreGetAtomNameReply, "bbsi", "bbsis"},
    XcoreRequestRow{18, "ChangeProperty", false, xcoreChangeProperty, kNoReply, "H24", nullptr},
    XcoreRequestRow{19, "DeleteProperty", false, xcoreDeleteProperty, kNoReply, "bbsii", nullptr},
    XcoreRequestRow{20, "GetProperty", true, xcoreGetProperty, xcoreGetPropertyReply, "bbsiiiii", nullptr},  // reply layout by its format byte
    XcoreRequestRow{21, "ListProperties", true, xcoreListProperties, xcoreListPropertiesReply, "bbsi", "bbsissI"},
    XcoreRequestRow{22, "SetSelectionOwner", false, xcoreSetSelectionOwner, kNoReply, "bbsiii", nullptr},
    XcoreRequestRow{23, "GetSelectionOwner", true, xcoreGetSelectionOwner, xcoreGetSelectionOwnerReply, "bbsi", "bbsI"},
    XcoreRequestRow{24, "ConvertSelection", false, xcoreConvertSelection, kNoReply, "bbsiI", nullptr},
    XcoreRequestRow{25, "SendEvent", false, xcoreSendEvent, kNoReply, "bbsii", nullptr},  // followed by the layout of the event inside
    XcoreRequestRow{26, "GrabPointer", true, xcoreGrabPointer, xcoreGrabPointerReply, "bbsisbbiii", "bbsiiiiiii"},
    XcoreRequestRow{27, "UngrabPointer", false, xcoreUngrabPointer, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{28, "GrabButton", false, xcoreGrabButton, xcoreUnexpectedReply, "bbsisbbiibbs", nullptr},
    XcoreRequestRow{29, "UngrabButton", false, xcoreUngrabButton, xcoreUnexpectedReply, "bbsis", nullptr},
    XcoreRequestRow{30, "ChangeActivePointerGrab", false, xcoreChangeActivePointerGrab, kNoReply, "bbsiiss", nullptr},
    XcoreRequestRow{31, "GrabKeyboard", true, xcoreGrabKeyboard, xcoreGrabKeyboardReply, "bbsiibbs", "bbsiiiiiii"},
    XcoreRequestRow{32, "UngrabKeyboard", false, xcoreUngrabKeyboard, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{33, "GrabKey", false, xcoreGrabKey, xcoreUnexpectedReply, "bbsis", nullptr},
    XcoreRequestRow{34, "UngrabKey", false, xcoreUngrabKey, xcoreUnexpectedReply, "bbsiss", nullptr},
    XcoreRequestRow{35, "AllowEvents", false, xcoreAllowEvents, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{36, "GrabServer", false, xcoreGrabServer, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{37, "UngrabServer", false, xcoreUngrabServer, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{38, "QueryPointer", true, xcoreQueryPointer, xcoreQueryPointerReply, "bbsi", "bbsiiisssss"},
    XcoreRequestRow{39, "GetMotionEvents", true, xcoreGetMotionEvents, xcoreGetMotionEventsReply, "bbsiii", "bbsiiiiiii[iss]"},
    XcoreRequestRow{40, "TranslateCoordinates", true, xcoreTranslateCoordinates, xcoreTranslateCoordinatesReply, "bbsiiss", "bbsiiss"},
    XcoreRequestRow{41, "WarpPointer", false, xcoreWarpPointer, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{42, "SetInputFocus", false, xcoreSetInputFocus, xcoreUnexpectedReply, "bbsii", nullptr},
    XcoreRequestRow{43, "GetInputFocus", true, xcoreGetInputFocus, xcoreGetInputFocusReply, "bbs", "bbsii"},
    XcoreRequestRow{44, "QueryKeymap", true, xcoreQueryKeymap, xcoreQueryKeymapReply, "bbs", "bbsi"},
    XcoreRequestRow{45, "OpenFont", false, xcoreOpenFont, xcoreUnexpectedReply, "bbsis", nullptr},
    XcoreRequestRow{46, "CloseFont", false, xcoreCloseFont, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{47, "QueryFont", true, xcoreQueryFont, xcoreQueryFontReply, "bbsi", "H-36"},
    XcoreRequestRow{48, "QueryTextExtents", true, xcoreQueryTextExtents, xcoreQueryTextExtentsReply, "bbsi", "bbsissssiii"},
    XcoreRequestRow{49, "ListFonts", true, xcoreListFonts, xcoreListFontsReply, "bbsss", "bbsis"},
    XcoreRequestRow{50, "ListFontsWithInfo", true, xcoreListFontsWithInfo, xcoreListFontsWithInfoReply, "bbsss", "H-35"},
    XcoreRequestRow{51, "SetFontPath", false, xcoreSetFontPath, xcoreUnexpectedReply, "bbss", nullptr},
    XcoreRequestRow{52, "GetFontPath", true, xcoreGetFontPath, xcoreGetFontPathReply, "bbs", "bbsis"},
    XcoreRequestRow{53, "CreatePixmap", false, xcoreCreatePixmap, xcoreUnexpectedReply, "bbsiiss", nullptr},
    XcoreRequestRow{54, "FreePixmap", false, xcoreFreePixmap, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{55, "CreateGC", false, xcoreCreateGC, xcoreUnexpectedReply, "bbsI", nullptr},
    XcoreRequestRow{56, "ChangeGC", false, xcoreChangeGC, xcoreUnexpectedReply, "bbsI", nullptr},
    XcoreRequestRow{57, "CopyGC", false, xcoreCopyGC, xcoreUnexpectedReply, "bbsiii", nullptr},
    XcoreRequestRow{58, "SetDashes", false, xcoreSetDashes, xcoreUnexpectedReply, "bbsiss", nullptr},
    XcoreRequestRow{59, "SetClipRectangles", false, xcoreSetClipRectangles, xcoreUnexpectedReply, "bbsiS", nullptr},
    XcoreRequestRow{60, "FreeGC", false, xcoreFreeGC, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{61, "ClearArea", false, xcoreClearArea, xcoreUnexpectedReply, "bbsissss", nullptr},
    XcoreRequestRow{62, "CopyArea", false, xcoreCopyArea, xcoreUnexpectedReply, "bbsiiissssss", nullptr},
    XcoreRequestRow{63, "CopyPlane", false, xcoreCopyPlane, xcoreUnexpectedReply, "bbsiiissssssi", nullptr},
    XcoreRequestRow{64, "PolyPoint", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{65, "PolyLine", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{66, "PolySegment", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{67, "PolyRectangle", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{68, "PolyArc", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{69, "FillPoly", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiibbbbS", nullptr},
    XcoreRequestRow{70, "PolyFillRectangle", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{71, "PolyFillArc", false, xcorePolyDraw, xcoreUnexpectedReply, "bbsiiS", nullptr},
    XcoreRequestRow{72, "PutImage", false, xcorePutImage, xcoreUnexpectedReply, "bbsiissss", nullptr},
    XcoreRequestRow{73, "GetImage", true, xcoreGetImage, xcoreGetImageReply, "bbsissssi", "bbsii"},  // reply: the visual mapped back, pieces assembled
    XcoreRequestRow{74, "PolyText8", false, xcorePolyText8, xcoreUnexpectedReply, "bbsiiss", nullptr},
    XcoreRequestRow{75, "PolyText16", false, xcorePolyText16, xcoreUnexpectedReply, "bbsiiss", nullptr},
    XcoreRequestRow{76, "ImageText8", false, xcoreImageText8, xcoreUnexpectedReply, "bbsiiss", nullptr},
    XcoreRequestRow{77, "ImageText16", false, xcoreImageText16, xcoreUnexpectedReply, "bbsiiss", nullptr},
    XcoreRequestRow{78, "CreateColormap", false, xcoreCreateColormap, xcoreUnexpectedReply, "bbsiii", nullptr},
    XcoreRequestRow{79, "FreeColormap", false, xcoreFreeColormap, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{80, "CopyColormapAndFree", false, xcoreCopyColormapAndFree, xcoreUnexpectedReply, "bbsii", nullptr},
    XcoreRequestRow{81, "InstallColormap", false, xcoreInstallColormap, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{82, "UninstallColormap", false, xcoreUninstallColormap, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{83, "ListInstalledColormaps", true, xcoreListInstalledColormaps, xcoreListInstalledColormapsReply, "bbsi", "bbsissI"},
    XcoreRequestRow{84, "AllocColor", true, xcoreAllocColor, xcoreAllocColorReply, "bbsissss", "bbsissssiiii"},
    XcoreRequestRow{85, "AllocNamedColor", true, xcoreAllocNamedColor, xcoreAllocNamedColorReply, "bbsis", "bbsiissssssii"},
    XcoreRequestRow{86, "AllocColorCells", true, xcoreAllocColorCells, xcoreAllocColorCellsReply, "bbsiss", "bbsissI"},
    XcoreRequestRow{87, "AllocColorPlanes", true, xcoreAllocColorPlanes, xcoreAllocColorPlanesReply, "bbsissss", "bbsissI"},
    XcoreRequestRow{88, "FreeColors", false, xcoreFreeColors, xcoreUnexpectedReply, "bbsI", nullptr},
    XcoreRequestRow{89, "StoreColors", false, xcoreStoreColors, xcoreUnexpectedReply, "bbsi[isssbb]", nullptr},
    XcoreRequestRow{90, "StoreNamedColor", false, xcoreStoreNamedColor, xcoreUnexpectedReply, "bbsiis", nullptr},
    XcoreRequestRow{91, "QueryColors", true, xcoreQueryColors, xcoreQueryColorsReply, "bbsI", "bbsiS"},
    XcoreRequestRow{92, "LookupColor", true, xcoreLookupColor, xcoreLookupColorReply, "bbsis", "bbsissssss"},
    XcoreRequestRow{93, "CreateCursor", false, xcoreCreateCursor, xcoreUnexpectedReply, "bbsiiissssssss", nullptr},
    XcoreRequestRow{94, "CreateGlyphCursor", false, xcoreCreateGlyphCursor, xcoreUnexpectedReply, "bbsiiissssssss", nullptr},
    XcoreRequestRow{95, "FreeCursor", false, xcoreFreeCursor, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{96, "RecolorCursor", false, xcoreRecolorCursor, xcoreUnexpectedReply, "bbsissssss", nullptr},
    XcoreRequestRow{97, "QueryBestSize", true, xcoreQueryBestSize, xcoreQueryBestSizeReply, "bbsiss", "bbsiss"},
    XcoreRequestRow{98, "QueryExtension", true, xcoreQueryExtension, xcoreQueryExtensionReply, "bbss", "bbsibbbbiiiii"},
    XcoreRequestRow{99, "ListExtensions", true, xcoreListExtensions, xcoreListExtensionsReply, "bbs", nullptr},  // reply built from the proxy's list
    XcoreRequestRow{100, "ChangeKeyboardMapping", false, xcoreChangeKeyboardMapping, xcoreUnexpectedReply, "bbsbbsI", nullptr},
    XcoreRequestRow{101, "GetKeyboardMapping", true, xcoreGetKeyboardMapping, xcoreGetKeyboardMappingReply, "bbs", nullptr},  // reply rebuilt
    XcoreRequestRow{102, "ChangeKeyboardControl", false, xcoreChangeKeyboardControl, xcoreUnexpectedReply, "bbsI", nullptr},
    XcoreRequestRow{103, "GetKeyboardControl", true, xcoreGetKeyboardControl, xcoreGetKeyboardControlReply, "bbs", "bbsiibbsss"},
    XcoreRequestRow{104, "Bell", false, xcoreBell, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{105, "ChangePointerControl", false, xcoreChangePointerControl, xcoreUnexpectedReply, "bbssss", nullptr},
    XcoreRequestRow{106, "GetPointerControl", true, xcoreGetPointerControl, xcoreGetPointerControlReply, "bbs", "bbsisss"},
    XcoreRequestRow{107, "SetScreenSaver", false, xcoreSetScreenSaver, xcoreUnexpectedReply, "bbsssbbs", nullptr},
    XcoreRequestRow{108, "GetScreenSaver", true, xcoreGetScreenSaver, xcoreGetScreenSaverReply, "bbs", "bbsiss"},
    XcoreRequestRow{109, "ChangeHosts", false, xcoreChangeHosts, xcoreUnexpectedReply, "bbsbbs", nullptr},
    XcoreRequestRow{110, "ListHosts", true, xcoreListHosts, xcoreListHostsReply, "bbs", "H-34"},
    XcoreRequestRow{111, "SetAccessControl", false, xcoreSetAccessControl, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{112, "SetCloseDownMode", false, xcoreSetCloseDownMode, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{113, "KillClient", false, xcoreKillClient, xcoreUnexpectedReply, "bbsi", nullptr},
    XcoreRequestRow{114, "RotateProperties", false, xcoreRotateProperties, xcoreUnexpectedReply, "bbsissI", nullptr},
    XcoreRequestRow{115, "ForceScreenSaver", false, xcoreForceScreenSaver, xcoreUnexpectedReply, "bbs", nullptr},
    XcoreRequestRow{116, "SetPointerMapping", true, xcoreSetPointerMapping, xcoreMappingReply, "bbs", "bbsi"},
    XcoreRequestRow{117, "GetPointerMapping", true, xcoreGetPointerMapping, xcoreMappingReply, "bbs", "bbsi"},
    XcoreRequestRow{118, "SetModifierMapping", true, xcoreSetModifierMapping, xcoreMappingReply, "bbs", "bbsi"},
    XcoreRequestRow{119, "GetModifierMapping", true, xcoreGetModifierMapping, xcoreMappingReply, "bbs", "bbsi"},
    XcoreRequestRow{127, "NoOperation", true, xcoreNoOperation, xproxyNoOpReply, "bbs", nullptr},
};

// Core events with the layouts their handlers swap them with.
const XcoreEventRow xcoreEventRows[33] = {
    {2, "KeyPress", xcoreKeyPress, "bbsiiiisssss"},
    {3, "KeyRelease", xcoreKeyRelease, "bbsiiiisssss"},
    {4, "ButtonPress", xcoreButtonPress, "bbsiiiisssss"},
    {5, "ButtonRelease", xcoreButtonRelease, "bbsiiiisssss"},
    {6, "MotionNotify", xcoreMotionNotify, "bbsiiiisssss"},
    {7, "EnterNotify", xcoreEnterNotify, "bbsiiiisssss"},
    {8, "LeaveNotify", xcoreLeaveNotify, "bbsiiiisssss"},
    {9, "FocusIn", xcoreFocusIn, "bbsi"},
    {10, "FocusOut", xcoreFocusOut, "bbsi"},
    {11, "KeymapNotify", xcoreKeymapNotify, ""},
    {12, "Expose", xcoreExpose, "bbsisssss"},
    {13, "GraphicsExpose", xcoreGraphicsExpose, "bbsissssss"},
    {14, "NoExpose", xcoreNoExpose, "bbsis"},
    {15, "VisibilityNotify", xcoreVisibilityNotify, "bbsi"},
    {16, "CreateNotify", xcoreStructureEvent, "bbsiisssss"},
    {17, "DestroyNotify", xcoreStructureEvent, "bbsii"},
    {18, "UnmapNotify", xcoreStructureEvent, "bbsii"},
    {19, "MapNotify", xcoreStructureEvent, "bbsii"},
    {20, "MapRequest", xcoreStructureEvent, "bbsii"},
    {21, "ReparentNotify", xcoreStructureEvent, "bbsiiiss"},
    {22, "ConfigureNotify", xcoreStructureEvent, "bbsiiisssss"},
    {23, "ConfigureRequest", xcoreStructureEvent, "bbsiiissssss"},
    {24, "GravityNotify", xcoreStructureEvent, "bbsiiss"},
    {25, "ResizeRequest", xcoreStructureEvent, "bbsiss"},
    {26, "CirculateNotify", xcoreStructureEvent, "bbsiii"},
    {27, "CirculateRequest", xcoreStructureEvent, "bbsiii"},
    {28, "PropertyNotify", xcoreStructureEvent, "bbsiii"},
    {29, "SelectionClear", xcoreSelectionEvent, "bbsiii"},
    {30, "SelectionRequest", xcoreSelectionEvent, "bbsiiiiii"},
    {31, "SelectionNotify", xcoreSelectionEvent, "bbsiiiii"},
    {32, "ColormapNotify", xcoreColormapNotify, "bbsii"},
    {33, "ClientMessage", xcoreClientMessage, "H2"},
    {34, "MappingNotify", xcoreMappingNotify, "bbs"},
};

const char *const xcoreErrorNames[18] = {
    "Unsupported", "BadRequest", "BadValue", "BadWindow", "BadPixmap", "BadAtom",
    "BadCursor", "BadFont", "BadMatch", "BadDrawable", "BadAccess", "BadAlloc",
    "BadColor", "BadGC", "BadIDChoice", "BadName", "BadLength", "BadImplementation",
};

const ErrorHandler xcoreErrorHandlers[18] = {
    xcoreUnsupportedError, xcoreBadRequest, xcoreBadValue,    xcoreBadWindow,  xcoreBadPixmap,
    xcoreBadAtom,          xcoreBadCursor,  xcoreBadFont,     xcoreBadMatch,   xcoreBadDrawable,
    xcoreBadAccess,        xcoreBadAlloc,   xcoreBadColor,    xcoreBadGC,      xcoreBadIDChoice,
    xcoreBadName,          xcoreBadLength,  xcoreBadImplementation,
};

const char *xcoreRequestName(unsigned major, unsigned minor) {
  const char *name = nullptr;
  if (major >= 1 && major <= 255 && minor < 256)
    name = proxyState.requestNames[xcoreRequestNameIndex(uint8_t(major), uint8_t(minor))];
  if (name && *name) return name;
  return strTempPrintf("request %u.%u", major, minor);
}

void xcoreSetRequestHandlers(uint8_t major, RequestHandler request, ReplyHandler reply) {
  for (uint32_t minor = 0; minor < 256; minor++) {
    proxyState.requestHandlers[major | (minor << 8)] = request;
    proxyState.replyHandlers[major | (minor << 8)] = reply;
  }
}

void xcoreInitDispatchTables() {
  ProxyState &s = proxyState;
  // 1. Opcode 0; 3. opcodes 120..126.
  for (uint8_t op : {0, 120, 121, 122, 123, 124, 125, 126}) {
    xcoreSetRequestHandlers(op, xcoreInvalidRequest, xcoreUnexpectedReply);
    s.requestNames[op] = "InvalidRequest";
  }
  // 2. Opcodes 1..119 and 4. opcode 127.
  for (const XcoreRequestRow &r : xcoreRequestRows) {
    xcoreSetRequestHandlers(r.opcode, r.request, r.reply);
    s.requestNames[r.opcode] = r.name;
  }
  // 5. Extension majors until an extension claims them.
  for (uint32_t major = 128; major < 256; major++)
    xcoreSetRequestHandlers(uint8_t(major), xcoreUnsupportedRequest, xcoreUnsupportedReply);
  // 6. Events: unknown codes pass on; 35 (GenericEvent) stays empty. 7. Errors.
  for (uint32_t code = 0; code < 256; code++) {
    xcoreRestoreEventRow(uint8_t(code));
    xcoreRestoreErrorRow(uint8_t(code));
  }
}

void xcoreRestoreEventRow(uint8_t code) {
  ProxyState &s = proxyState;
  s.eventHandlers[code] = code == 35 ? nullptr : xcoreUnsupportedEvent;
  s.eventLayouts[code] = code == 35 ? nullptr : "";
  if (code >= 2 && code <= 34) {
    s.eventHandlers[code] = xcoreEventRows[code - 2].handler;
    s.eventLayouts[code] = xcoreEventRows[code - 2].layout;
  }
}

void xcoreRestoreErrorRow(uint8_t code) {
  proxyState.errorHandlers[code] = code >= 1 && code < 18 ? xcoreErrorHandlers[code] : xcoreUnsupportedError;
  proxyState.errorNames[code] = code < 18 ? xcoreErrorNames[code] : xcoreErrorNames[0];
}

