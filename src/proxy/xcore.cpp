// Core protocol dispatch rows and default handlers.
#include "proxy/xcore.h"

#include <initializer_list>

#include "support/logging.h"
#include "support/strings.h"

ProxyState proxyState;

namespace {

// Rows whose handlers are not built yet answer as an invalid request; their replies go on
// with a warning.
constexpr RequestHandler kPending = xcoreInvalidRequest;
constexpr ReplyHandler kNoReply = xcoreUnexpectedReply;

constexpr XcoreRequestRow row(uint8_t opcode, const char *name, bool hasReply, WireLayout request,
                              WireLayout reply = nullptr) {
  return XcoreRequestRow{opcode, name, hasReply, kPending, kNoReply, request, reply};
}

}  // namespace

// Requests with a reply carry true; their reply handlers replace kNoReply as they are built.
const XcoreRequestRow xcoreRequestRows[120] = {
    row(1, "CreateWindow", false, "bbsiissssssI"),
    row(2, "ChangeWindowAttributes", false, "bbsI"),
    row(3, "GetWindowAttributes", true, "bbsi", "bbsiisbbiibbbbiiis"),
    row(4, "DestroyWindow", false, "bbsi"),
    row(5, "DestroySubwindows", false, "bbsi"),
    row(6, "ChangeSaveSet", false, "bbsi"),
    row(7, "ReparentWindow", false, "bbsiiss"),
    row(8, "MapWindow", false, "bbsi"),
    row(9, "MapSubwindows", false, "bbsi"),
    row(10, "UnmapWindow", false, "bbsi"),
    row(11, "UnmapSubwindows", false, "bbsi"),
    row(12, "ConfigureWindow", false, "bbsissI"),
    row(13, "CirculateWindow", false, "bbsi"),
    row(14, "GetGeometry", true, "bbsi", "bbsiissssssii"),
    row(15, "QueryTree", true, "bbsi", "bbsiiissI"),
    row(16, "InternAtom", true, "bbss", "bbsii"),
    row(17, "GetAtomName", true, "bbsi", "bbsis"),
    row(18, "ChangeProperty", false, "H24"),
    row(19, "DeleteProperty", false, "bbsii"),
    row(20, "GetProperty", true, "bbsiiiii"),  // reply layout by its format byte
    row(21, "ListProperties", true, "bbsi", "bbsissI"),
    row(22, "SetSelectionOwner", false, "bbsiii"),
    row(23, "GetSelectionOwner", true, "bbsi", "bbsI"),
    row(24, "ConvertSelection", false, "bbsiI"),
    row(25, "SendEvent", false, "bbsii"),  // followed by the layout of the event inside
    row(26, "GrabPointer", true, "bbsisbbiii", "bbsiiiiiii"),
    row(27, "UngrabPointer", false, "bbsi"),
    row(28, "GrabButton", false, "bbsisbbiibbs"),
    row(29, "UngrabButton", false, "bbsis"),
    row(30, "ChangeActivePointerGrab", false, "bbsiiss"),
    row(31, "GrabKeyboard", true, "bbsiibbs", "bbsiiiiiii"),
    row(32, "UngrabKeyboard", false, "bbsi"),
    row(33, "GrabKey", false, "bbsis"),
    row(34, "UngrabKey", false, "bbsiss"),
    row(35, "AllowEvents", false, "bbsi"),
    row(36, "GrabServer", false, "bbs"),
    row(37, "UngrabServer", false, "bbs"),
    row(38, "QueryPointer", true, "bbsi", "bbsiiisssss"),
    row(39, "GetMotionEvents", true, "bbsiii", "bbsiiiiiii[iss]"),
    row(40, "TranslateCoordinates", true, "bbsiiss", "bbsiiss"),
    row(41, "WarpPointer", false, "bbsiiS"),
    row(42, "SetInputFocus", false, "bbsii"),
    row(43, "GetInputFocus", true, "bbs", "bbsii"),
    row(44, "QueryKeymap", true, "bbs", "bbsi"),
    row(45, "OpenFont", false, "bbsis"),
    row(46, "CloseFont", false, "bbsi"),
    row(47, "QueryFont", true, "bbsi", "H-36"),
    row(48, "QueryTextExtents", true, "bbsi", "bbsissssiii"),
    row(49, "ListFonts", true, "bbsss", "bbsis"),
    row(50, "ListFontsWithInfo", true, "bbsss", "H-35"),
    row(51, "SetFontPath", false, "bbss"),
    row(52, "GetFontPath", true, "bbs", "bbsis"),
    row(53, "CreatePixmap", false, "bbsiiss"),
    row(54, "FreePixmap", false, "bbsi"),
    row(55, "CreateGC", false, "bbsI"),
    row(56, "ChangeGC", false, "bbsI"),
    row(57, "CopyGC", false, "bbsiii"),
    row(58, "SetDashes", false, "bbsiss"),
    row(59, "SetClipRectangles", false, "bbsiS"),
    row(60, "FreeGC", false, "bbsi"),
    row(61, "ClearArea", false, "bbsissss"),
    row(62, "CopyArea", false, "bbsiiissssss"),
    row(63, "CopyPlane", false, "bbsiiissssssi"),
    row(64, "PolyPoint", false, "bbsiiS"),
    row(65, "PolyLine", false, "bbsiiS"),
    row(66, "PolySegment", false, "bbsiiS"),
    row(67, "PolyRectangle", false, "bbsiiS"),
    row(68, "PolyArc", false, "bbsiiS"),
    row(69, "FillPoly", false, "bbsiibbbbS"),
    row(70, "PolyFillRectangle", false, "bbsiiS"),
    row(71, "PolyFillArc", false, "bbsiiS"),
    row(72, "PutImage", false, "bbsiissss"),
    row(73, "GetImage", true, "bbsissssi"),  // reply: the visual mapped back, pieces assembled
    row(74, "PolyText8", false, "bbsiiss"),
    row(75, "PolyText16", false, "bbsiiss"),
    row(76, "ImageText8", false, "bbsiiss"),
    row(77, "ImageText16", false, "bbsiiss"),
    row(78, "CreateColormap", false, "bbsiii"),
    row(79, "FreeColormap", false, "bbsi"),
    row(80, "CopyColormapAndFree", false, "bbsii"),
    row(81, "InstallColormap", false, "bbsi"),
    row(82, "UninstallColormap", false, "bbsi"),
    row(83, "ListInstalledColormaps", true, "bbsi", "bbsissI"),
    row(84, "AllocColor", true, "bbsissss", "bbsissssiiii"),
    row(85, "AllocNamedColor", true, "bbsis", "bbsiissssssii"),
    row(86, "AllocColorCells", true, "bbsiss", "bbsissI"),
    row(87, "AllocColorPlanes", true, "bbsissss", "bbsissI"),
    row(88, "FreeColors", false, "bbsI"),
    row(89, "StoreColors", false, "bbsi[isssbb]"),
    row(90, "StoreNamedColor", false, "bbsiis"),
    row(91, "QueryColors", true, "bbsI", "bbsiS"),
    row(92, "LookupColor", true, "bbsis", "bbsissssss"),
    row(93, "CreateCursor", false, "bbsiiissssssss"),
    row(94, "CreateGlyphCursor", false, "bbsiiissssssss"),
    row(95, "FreeCursor", false, "bbsi"),
    row(96, "RecolorCursor", false, "bbsissssss"),
    row(97, "QueryBestSize", true, "bbsiss", "bbsiss"),
    row(98, "QueryExtension", true, "bbss", "bbsibbbbiiiii"),
    row(99, "ListExtensions", true, "bbs"),  // reply built from the proxy's list
    row(100, "ChangeKeyboardMapping", false, "bbsbbsI"),
    row(101, "GetKeyboardMapping", true, "bbs"),  // reply rebuilt
    row(102, "ChangeKeyboardControl", false, "bbsI"),
    row(103, "GetKeyboardControl", true, "bbs", "bbsiibbsss"),
    row(104, "Bell", false, "bbs"),
    row(105, "ChangePointerControl", false, "bbssss"),
    row(106, "GetPointerControl", true, "bbs", "bbsisss"),
    row(107, "SetScreenSaver", false, "bbsssbbs"),
    row(108, "GetScreenSaver", true, "bbs", "bbsiss"),
    row(109, "ChangeHosts", false, "bbsbbs"),
    row(110, "ListHosts", true, "bbs", "H-34"),
    row(111, "SetAccessControl", false, "bbs"),
    row(112, "SetCloseDownMode", false, "bbs"),
    row(113, "KillClient", false, "bbsi"),
    row(114, "RotateProperties", false, "bbsissI"),
    row(115, "ForceScreenSaver", false, "bbs"),
    row(116, "SetPointerMapping", true, "bbs", "bbsi"),
    row(117, "GetPointerMapping", true, "bbs", "bbsi"),
    row(118, "SetModifierMapping", true, "bbs", "bbsi"),
    row(119, "GetModifierMapping", true, "bbs", "bbsi"),
    XcoreRequestRow{127, "NoOperation", true, xcoreNoOperation, xproxyNoOpReply, "bbs", nullptr},
};

// Core events with the layouts their handlers swap them with. Until the core event handlers
// are built the rows pass the events on as unsupported ones.
const XcoreEventRow xcoreEventRows[33] = {
    {2, "KeyPress", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {3, "KeyRelease", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {4, "ButtonPress", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {5, "ButtonRelease", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {6, "MotionNotify", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {7, "EnterNotify", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {8, "LeaveNotify", xcoreUnsupportedEvent, "bbsiiiisssss"},
    {9, "FocusIn", xcoreUnsupportedEvent, "bbsi"},
    {10, "FocusOut", xcoreUnsupportedEvent, "bbsi"},
    {11, "KeymapNotify", xcoreUnsupportedEvent, ""},
    {12, "Expose", xcoreUnsupportedEvent, "bbsisssss"},
    {13, "GraphicsExpose", xcoreUnsupportedEvent, "bbsissssss"},
    {14, "NoExpose", xcoreUnsupportedEvent, "bbsis"},
    {15, "VisibilityNotify", xcoreUnsupportedEvent, "bbsi"},
    {16, "CreateNotify", xcoreUnsupportedEvent, "bbsiisssss"},
    {17, "DestroyNotify", xcoreUnsupportedEvent, "bbsii"},
    {18, "UnmapNotify", xcoreUnsupportedEvent, "bbsii"},
    {19, "MapNotify", xcoreUnsupportedEvent, "bbsii"},
    {20, "MapRequest", xcoreUnsupportedEvent, "bbsii"},
    {21, "ReparentNotify", xcoreUnsupportedEvent, "bbsiiiss"},
    {22, "ConfigureNotify", xcoreUnsupportedEvent, "bbsiiisssss"},
    {23, "ConfigureRequest", xcoreUnsupportedEvent, "bbsiiissssss"},
    {24, "GravityNotify", xcoreUnsupportedEvent, "bbsiiss"},
    {25, "ResizeRequest", xcoreUnsupportedEvent, "bbsiss"},
    {26, "CirculateNotify", xcoreUnsupportedEvent, "bbsiii"},
    {27, "CirculateRequest", xcoreUnsupportedEvent, "bbsiii"},
    {28, "PropertyNotify", xcoreUnsupportedEvent, "bbsiii"},
    {29, "SelectionClear", xcoreUnsupportedEvent, "bbsiii"},
    {30, "SelectionRequest", xcoreUnsupportedEvent, "bbsiiiiii"},
    {31, "SelectionNotify", xcoreUnsupportedEvent, "bbsiiiii"},
    {32, "ColormapNotify", xcoreUnsupportedEvent, "bbsii"},
    {33, "ClientMessage", xcoreUnsupportedEvent, "H2"},
    {34, "MappingNotify", xcoreUnsupportedEvent, "bbs"},
};

const char *const xcoreErrorNames[18] = {
    "Unsupported", "BadRequest", "BadValue", "BadWindow", "BadPixmap", "BadAtom",
    "BadCursor", "BadFont", "BadMatch", "BadDrawable", "BadAccess", "BadAlloc",
    "BadColor", "BadGC", "BadIDChoice", "BadName", "BadLength", "BadImplementation",
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

// Until the core error handlers are built every code passes on as unsupported.
void xcoreRestoreErrorRow(uint8_t code) {
  proxyState.errorHandlers[code] = xcoreUnsupportedError;
  proxyState.errorNames[code] = code < 18 ? xcoreErrorNames[code] : xcoreErrorNames[0];
}

// The default handlers answer through the client connection, the sequence map and the
// ordered output, which are not built yet: until then they report that they were reached.
void xcoreInvalidRequest(uint8_t *, uint32_t) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreUnsupportedRequest(uint8_t *, uint32_t) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreNoOperation(uint8_t *, uint32_t) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreUnexpectedReply(uint8_t *, uint32_t) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreUnsupportedReply(uint8_t *, uint32_t) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreUnsupportedEvent(uint8_t *) { logProblem("WIP", __FILE__, __LINE__); }
void xcoreUnsupportedError(uint8_t *) { logProblem("WIP", __FILE__, __LINE__); }

// ===== connection setup reply =====
#include <algorithm>
#include <cmath>
#include <string>
#include <cstring>
#include <vector>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/strtemp.h"
#include "xext/byteswap.h"

namespace {

constexpr const char *kSetupSource = "Proxy/xcore";

uint32_t load32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
void store16(uint8_t *p, uint32_t v) {
  auto w = uint16_t(v);
  memcpy(p, &w, 2);
}
void store32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }

// Millimetres rounded half away from zero, kept inside a CARD16.
uint16_t roundedMM(double mm) {
  double r = std::round(mm);
  if (!(r > 0)) return 0;
  return r >= 65535 ? 65535 : uint16_t(r);
}

// A depth and the visuals announced under it, in table order.
struct DepthGroup {
  uint8_t depth;
  std::vector<const VisualRecord *> visuals;
};

// The depth groups of a meta screen: depth 1 first (always sent, maybe empty), then the other
// depths in the order of their first visual.
bool groupByDepth(const MetaScreen *screen, std::vector<DepthGroup> &groups) {
  try {
    groups.clear();
    groups.push_back(DepthGroup{1, {}});
    for (uint32_t i = 0; i < screen->visualCount; i++) {
      const VisualRecord *v = &screen->visuals[i];
      DepthGroup *group = nullptr;
      for (DepthGroup &g : groups)
        if (g.depth == v->depth) group = &g;
      if (!group) {
        groups.push_back(DepthGroup{v->depth, {}});
        group = &groups.back();
      }
      group->visuals.push_back(v);
    }
    return groups.size() <= 255;
  } catch (...) {
    return false;
  }
}

void closeOutOfMemory(ClientConnection *client, int line) {
  logProblem(OUT_OF_MEMORY_TEXT_AT(kSetupSource), kSetupSource, line);
  xprotoCloseWithReason(&client->reader, OUT_OF_MEMORY_TEXT_AT(kSetupSource));
}

// The real server refused the connection: its reason (as far as the answer holds it) is
// logged and the answer goes to the client as it came; the client is then closed.
void refusedSetup(ClientConnection *client, const uint8_t *reply, uint32_t length) {
  uint32_t reasonLength = length >= 8 ? reply[1] : 0;
  if (reasonLength > length - std::min<uint32_t>(length, 8)) reasonLength = length - std::min<uint32_t>(length, 8);
  std::string reason(reinterpret_cast<const char *>(reply) + 8, reasonLength);
  LOG(logChannelWarning, "%s on display %s", reason.c_str(), "X server");
  xprotoCloseWithReason(&client->reader, "setup failed");
  if (length >= 8) xscreenCopySwapped(reply, length, "H-23", client);
}

// Writes the proxy's own setup reply into reserved space of the client's output.
void writeSetupReply(ClientConnection *client) {
  size_t vendorLength = strnlen(proxyState.vendor, 128);
  uint64_t estimate = 40 + ((vendorLength + 3) & ~size_t(3)) + 8ull * proxyState.pixmapFormatCount;
  uint32_t screenCount = 0;
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    estimate += 48 + 32ull * s->visualCount;  // SCREEN, the depth-1 group, a DEPTH and a VISUALTYPE each
    screenCount++;
  }
  if (estimate > 0x3fffc || screenCount > 255) {
    closeOutOfMemory(client, __LINE__);
    return;
  }
  auto *start = reinterpret_cast<uint8_t *>(outbufferReserve(&client->output, uint32_t(estimate)));
  if (!start) {
    closeOutOfMemory(client, __LINE__);
    return;
  }
  // The reserved space holds older heap bytes: unused and pad bytes must be zero.
  memset(start, 0, size_t(estimate));
  const XImage &image = mainServerDisplays ? mainServerDisplays->imageTemplate : XImage{};
  uint8_t *p = start;
  p[0] = 1;
  store16(p + 2, proxyState.protocolMajor);
  store16(p + 4, proxyState.protocolMinor);
  store32(p + 8, proxyState.releaseNumber);
  store32(p + 12, client->index << proxyState.idShift);
  store32(p + 16, proxyState.idMask);
  store32(p + 20, proxyState.motionBufferSize);
  store16(p + 24, uint32_t(vendorLength));
  uint32_t maxRequest = proxyState.maxRequestBytes / 4;
  store16(p + 26, maxRequest > 0xffff ? 0xffff : maxRequest);
  p[28] = uint8_t(screenCount);
  p[29] = proxyState.pixmapFormatCount;
  p[30] = uint8_t(image.byte_order);
  p[31] = uint8_t(image.bitmap_bit_order);
  p[32] = uint8_t(image.bitmap_unit);
  p[33] = uint8_t(image.bitmap_pad);
  p[34] = proxyState.minKeycode;
  p[35] = proxyState.maxKeycode;
  memcpy(p + 40, proxyState.vendor, vendorLength);
  p += 40 + ((vendorLength + 3) & ~size_t(3));
  for (uint32_t i = 0; i < proxyState.pixmapFormatCount; i++, p += 8) {
    p[0] = proxyState.pixmapFormats[i].depth;
    p[1] = proxyState.pixmapFormats[i].bitsPerPixel;
    p[2] = proxyState.pixmapFormats[i].scanlinePad;
  }
  std::vector<DepthGroup> groups;
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    if (!groupByDepth(s, groups)) {
      outbufferCut(reinterpret_cast<char *>(start), uint32_t(estimate), &client->output);
      closeOutOfMemory(client, __LINE__);
      return;
    }
    store32(p + 0, s->root);
    store32(p + 4, s->defaultColormap);
    store32(p + 8, s->whitePixel);
    store32(p + 12, s->blackPixel);
    store32(p + 16, windowAllEventMasks(static_cast<WindowRecord *>(resourceLookupWindow(s->root))));
    store16(p + 20, s->width);
    store16(p + 22, s->height);
    store16(p + 24, roundedMM(s->widthMM));
    store16(p + 26, roundedMM(s->heightMM));
    store16(p + 28, s->minInstalledMaps);
    store16(p + 30, s->maxInstalledMaps);
    store32(p + 32, s->rootVisual ? s->rootVisual->visualId : 0);
    p[36] = s->backingStore;
    p[37] = s->saveUnders;
    p[38] = s->rootVisual ? s->rootVisual->depth : 0;
    p[39] = uint8_t(groups.size());
    p += 40;
    for (const DepthGroup &g : groups) {
      p[0] = g.depth;
      store16(p + 2, uint32_t(g.visuals.size()));
      p += 8;
      for (const VisualRecord *v : g.visuals) {
        store32(p + 0, v->visualId);
        p[4] = v->visualClass;
        p[5] = v->bitsPerRgb;
        store16(p + 6, v->colormapEntries);
        store32(p + 8, v->redMask);
        store32(p + 12, v->greenMask);
        store32(p + 16, v->blueMask);
        p += 24;
      }
    }
  }
  auto written = uint32_t(p - start);
  store16(start + 6, (written - 8) / 4);
  if (client->reader.swapped) byteswapByFormat("H-23", start, p);
  if (written < estimate) outbufferCut(reinterpret_cast<char *>(p), uint32_t(estimate - written), &client->output);
  client->setUp = 1;
}

}  // namespace

void xcoreServerSetupReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *c = xproxyCurrentDisplayConnection;
  if (!c || !c->owner || !reply) return;
  ClientConnection *client = c->owner;
  c->setupDone = 1;  // the client's connections are attached to the real server
  if (length < 8 || reply[0] != 1) {
    refusedSetup(client, reply, length);
    return;
  }
  if (length < 40) {  // a success answer must hold its fixed part
    LOG(logChannelWarning, "%s on display %s", "Short connection setup answer", "X server");
    xprotoCloseWithReason(&client->reader, "setup failed");
    return;
  }
  c->idBase = load32(reply + 12);
  c->idMask = load32(reply + 16);
  proxyState.minKeycode = reply[34];
  proxyState.maxKeycode = reply[35];
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) resourceSetScreenIdBase(client->index, h, c->idBase);
  if (client->setupsPending) client->setupsPending--;
  if (client->setupsPending) return;
  writeSetupReply(client);
}
// ===== end of connection setup reply =====
