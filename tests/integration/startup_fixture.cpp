#include "startup_fixture.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "loop_fixture.h"
#include "proxy/access.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xdisplay.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/orders.h"

namespace {

const char *allowEveryone(ClientConnection *, uint16_t, const char *, uint16_t, const uint8_t *) { return nullptr; }

std::string substituted(const std::string &word, const std::string &display) {
  std::string out = word;
  for (size_t at; (at = out.find("%D")) != std::string::npos;) out.replace(at, 2, display);
  return out;
}

// Sets the requested properties on the real roots with a connection of its own.
std::string setRootProperties(const std::string &display, const std::vector<StartupOptions::RootProperty> &list) {
  if (list.empty()) return "";
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return "cannot open " + display;
  for (const auto &p : list) {
    if (p.screen < 0 || p.screen >= ScreenCount(d)) continue;
    XChangeProperty(d, RootWindow(d, p.screen), XInternAtom(d, p.name.c_str(), False), XA_STRING, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(p.value.data()), int(p.value.size()));
  }
  XSync(d, False);
  XCloseDisplay(d);
  return "";
}

// The configured screens as heads of their meta screens.
std::string openConfiguredScreens() {
  for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next) {
    MetaScreen *screen = xscreenNew();
    if (!screen) return "no meta screen";
    config->metaScreen = screen;
  }
  for (ScreenConfig *s = configRecord.screens; s; s = s->next) {
    MetaScreen *screen = s->metaScreen ? s->metaScreen->metaScreen : nullptr;
    if (!screen) return std::string("no meta screen for ") + (s->displayName ? s->displayName : "?");
    int status = 0;
    const char *error = nullptr;
    s->head = mainOpenHead(s->displayName, screen, configRecord.connectTimeout, s->borderWidth, s->emulatedVisuals,
                           &status, &error);
    if (!s->head) return error ? error : "head not opened";
  }
  for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next) {
    MetaScreenChange change = xscreenChangeFromConfig(config);
    if (const char *error = xscreenApplyMetaChange(config->metaScreen, &change)) return error;
  }
  return "";
}

}  // namespace

std::string StartupProxy::start(const StartupOptions &options) {
  stop();
  if (std::string e = xvfb_.start(options.xvfb); !e.empty()) return e;
  started_ = true;
  if (std::string e = setRootProperties(xvfb_.displayName(), options.rootProperties); !e.empty()) return e;
  loopCaptureLog();

  char templateText[] = "/tmp/tarvo-start-XXXXXX";
  if (!mkdtemp(templateText)) return "mkdtemp failed";
  directory_ = templateText;
  accessSetHostFileTemplate((directory_ + "/X%s.hosts").c_str());
  signal(SIGPIPE, SIG_IGN);
  ordersInit();
  xcoreInitDispatchTables();
  xprotoAccessCheck = allowEveryone;
  xdisplayInstallHooks(xcoreRequestName);
  XSetIOErrorHandler([](Display *) { return 0; });

  // The configuration.
  std::vector<std::string> words;
  if (options.statements.empty()) {
    for (size_t i = 0; i < options.xvfb.screens.size(); i++)
      words.insert(words.end(), {"screen", "s" + std::to_string(i), "display", "%D." + std::to_string(i)});
  } else {
    words = options.statements;
  }
  for (std::string &w : words) w = substituted(w, xvfb_.displayName());
  std::vector<const char *> argv;
  for (const std::string &w : words) argv.push_back(w.c_str());
  korvanInitDefaults(&configRecord);
  if (const char *error = korvanParseCommandLine(int(argv.size()), argv.data(), 1)) return error;

  // Start-up values, then the listeners (before the heads: a head on the proxy's own display
  // number is refused), then the heads, the visuals and the windows.
  mainSetStartLimits();
  proxyXidCounter = 31;
  snprintf(proxyState.vendor, sizeof proxyState.vendor, "%s", "Tarvo test harness");
  proxyState.releaseNumber = 11;
  bool listening = false;
  for (int attempt = 0; attempt < 10 && !listening; attempt++) {
    displayNumber_ = xvfbUnusedDisplayNumber();
    listening = !xproxyListen(displayName().c_str(), 0);
  }
  if (!listening) return "no display number could be listened on";
  if (std::string e = openConfiguredScreens(); !e.empty()) return e;
  if (const char *error = mainAdjustVisuals(0)) return error;
  if (const char *error = mainCreateRootWindows(1)) return error;
  return "";
}

void StartupProxy::stop() {
  if (!started_) {
    xvfb_.stop();
    return;
  }
  started_ = false;
  closeClientsAndListeners();
  resourceFreeIdBases();
  while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
  xscreenFreeAll();
  for (ScreenConfig *s = configRecord.screens; s; s = s->next) s->head = nullptr;
  for (MetaScreenConfig *m = configRecord.metaScreens; m; m = m->next) m->metaScreen = nullptr;
  korvanInitDefaults(&configRecord);
  mainSetStartLimits();
  ordersFreeAll();
  xprotoAccessCheck = xproxyCheckClientAccess;
  XSetIOErrorHandler(nullptr);
  loopReleaseLog();
  accessSetHostFileTemplate(nullptr);
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
  directory_.clear();
  xvfb_.stop();
}

