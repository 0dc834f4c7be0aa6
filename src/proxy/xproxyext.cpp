// Extension initialisation by name.
#include "proxy/xproxyext.h"

#include <cstring>

#include "proxy/main.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "xclient/xutil.h"
#include "xext/allplanes.h"
#include "xext/bigreq.h"
#include "xext/doublebuf.h"
#include "xext/dpms.h"
#include "xext/fbpm.h"
#include "xext/ge.h"
#include "xext/glx.h"
#include "xext/multibuf.h"
#include "xext/multimedia.h"
#include "xext/render.h"
#include "xext/screensaver.h"
#include "xext/shape.h"
#include "xext/shm.h"
#include "xext/sync.h"
#include "xext/xie.h"
#include "xext/xinerama.h"
#include "xext/xinput.h"
#include "xext/xkb.h"
#include "xext/xprint.h"
#include "xext/xcmisc.h"
#include "xext/xtest.h"
#include "xext/xvideo.h"

namespace {
// The source name the set-up failures are logged under.
constexpr const char *kSource = "Proxy/xproxy";
}  // namespace

// Aliases share a set-up: "SGI-GLX" is GLX, "XInputDeviceEvents" is XInputExtension.
ExtensionTableRow xproxyExtensionTable[kXproxyExtensionTableSize] = {
    {"BIG-REQUESTS", 128, bigreqInit},
    {"DOUBLE-BUFFER", 64, doublebufInit},
    {"DPMS", 65, dpmsInit},
    {"FBPM", 65, fbpmInit},
    {"GLX", 68, glxInitExtension},
    {"SGI-GLX", 68, glxInitExtension},
    {"MIT-SHM", 65, shmSetup},
    {"MIT-SCREEN-SAVER", 64, screensaverSetup},
    {"Multi-Buffering", 65, multibufSetup},
    {"RENDER", 11, renderSetup},
    {"SCREEN-SAVER", 64, sgiScreensaverSetup},
    {"SHAPE", 65, shapeSetup},
    {"SUN_ALLPLANES", 64, allplanesInit},
    {"SYNC", 192, syncSetup},
    {"XC-MISC", 65, xcmiscInit},
    {"Generic Event Extension", 64, geSetup},
    {"XINERAMA", 65, xineramaSetup},
    {"XInputExtension", 69, xinputSetup},
    {"XInputDeviceEvents", 69, xinputSetup},
    {"XKEYBOARD", 64, xkbSetup},
    {"XpExtension", 64, xprintSetup},
    {"MORWENTECH MULTIMEDIA", 64, xextMultimediaSetup},
    {"XIE", 320, xieSetup},
    {"XTEST", 130, xtestSetup},
    {"XVideo", 130, xvideoSetup},
};

ExtensionRecord *xproxyInitExtension(const char *name, uint16_t version, uint8_t major, uint8_t firstEvent,
                                     uint8_t firstError) {
  if (!name || extIsDisabled(name)) return nullptr;
  // Majors below 128 are the core protocol's: no extension record lives there.
  if (major < 128) return nullptr;
  ExtensionRecord *record = &proxyState.extensions[major];
  if (record->name) return record;  // set up already in this generation
  record->firstEvent = firstEvent;
  record->firstError = firstError;
  // The major is known before the set-up runs, so that a set-up failing half-way gives the
  // rows it wrote under this major back to the core's defaults.
  record->majorOpcode = major;
  const ExtensionTableRow *row = nullptr;
  for (const ExtensionTableRow &candidate : xproxyExtensionTable)
    if (candidate.name && strcmp(candidate.name, name) == 0) {
      row = &candidate;
      break;
    }
  if (!row) {
    extReset(record);
    return record;
  }
  record->version = version ? version : row->defaultVersion;
  logStep("Init %s %s (op=%u ev=%u err=%u) ...", name, strVersionText(record->version), unsigned(major),
          unsigned(firstEvent), unsigned(firstError));
  const char *error = row->setup(record);
  if (!error) return record;
  logWrite(logChannelNote, kSource, __LINE__, logFormat("%s: %s", name, error));
  extReset(record);
  return record;
}

int xproxyHasExtension(const ExtensionRecord *record, const ServerDisplay *display) {
  if (!record || !record->name || !display || !display->display) return 0;
  return xutilHasExtension(display->display, record->name) ? 1 : 0;
}
