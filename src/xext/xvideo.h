// The XVideo extension: video adaptors of the heads offered per meta screen, and a
// client-visible port standing for one port on each head of that meta screen.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

struct Head;
struct MetaScreen;

// ===== set-up =====
// One adaptor a meta screen offers. Allocated zeroed; linked in proxyState.ext.xvAdaptors
// (appended at the tail; the first one's previous is the tail); freed by the reset.
struct XvAdaptor {
  XvAdaptor *next;
  XvAdaptor *previous;
  MetaScreen *metaScreen;
  uint32_t adaptorNumber;  // its index in the primary head's adaptor list
  uint32_t firstPort;      // the client-visible first port: the primary head's base port
  uint16_t numberOfPorts;
  uint8_t type;            // input, output, video, still, image bits
  uint32_t headFirstPort[128];  // by head index: the base port of the matching adaptor there
};

// One adaptor of a head as the head's real server lists it (libXv's XvAdaptorInfo reduced to
// what the matching reads).
struct XvHeadAdaptor {
  uint32_t basePort;
  uint32_t numberOfPorts;
  uint8_t type;
};

// Reads a head's adaptors: 1 and a malloc'ed array (*count entries, NULL when none) when the
// head's server has XVideo, 0 otherwise. Tests replace it; the default asks libXv on the
// head's display.
using XvideoAdaptorReader = int (*)(Head *head, XvHeadAdaptor **adaptors, uint32_t *count);
extern XvideoAdaptorReader xvideoReadAdaptors;
// The bytes of an image of the format and size for a port of the head's server (0 when it
// knows none). Tests replace it; the default asks libXv on the head's display.
using XvideoImageSizer = uint32_t (*)(Head *head, uint32_t port, uint32_t format, uint16_t width, uint16_t height);
extern XvideoImageSizer xvideoImageSize;

// The ExtensionInit of "XVideo": reads every head's adaptors, builds the offered adaptors per
// meta screen (mismatches are logged and drop the adaptor, never the set-up), registers two
// events and three errors and writes the 20 rows. NULL, or extRegister's text.
const char *xvideoSetup(ExtensionRecord *record);
// ===== end of set-up =====

// ===== ports =====
// The offered adaptor that owns a client-visible port (first match in list order); NULL.
XvAdaptor *xvAdaptorOfPort(uint32_t port);
// The port on a head: port - first port + the head's first port of the owning adaptor. A port
// no adaptor owns is logged on the Xhint channel and returned unchanged.
uint32_t xvPort2server(uint32_t port, Head *head);
// The head adaptor list read at set-up (NULL, 0 when none or after the reset).
const XvHeadAdaptor *xvideoHeadAdaptors(const Head *head, uint32_t *count);
// ===== end of ports =====

// ===== layouts =====
// The request rows (for the layout checks) and the two events' layouts.
struct ExtRequestTable;
const ExtRequestTable &xvideoRequestTable();
constexpr const char *kXvVideoNotifyLayout = "bbsiii";
constexpr const char *kXvPortNotifyLayout = "bbsiiii";  // its value at 16 swapped too
// ===== end of layouts =====

// ===== replies =====
// Filters an xvQueryAdaptors reply (in the proxy's order, `length` bytes) in place: entries of
// offered adaptors keep their place with their visual ids mapped to the meta screen's, every
// other entry is cut out, an entry running past the end is cut with what follows; the count
// and the length word follow. Returns the new length.
uint32_t xvideoFilterAdaptors(uint8_t *reply, uint32_t length, ServerDisplay *display);
// ===== end of replies =====
