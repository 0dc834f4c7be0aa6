// Start-up, the run and reset cycle, the exit with its hooks, and the signals that ask for a
// reset or an exit.
//
// Signal handlers only note the signal in a flag and write one byte to two self-pipes: the
// event loop's (which stops the loop) and the reset sleep's (which ends the sleep). Logging,
// the reset request and the exit reason are then made on the loop thread (xproxyTakeSignals).
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "proxy/access.h"
#include "proxy/connections.h"
#include "proxy/files.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xdisplay.h"
#include "proxy/xmain.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/process.h"
#include "support/strtemp.h"
#include "xclient/misc.h"
#include "xclient/xtarget.h"
#include "xext/ext.h"

uint32_t traceFlags = 0;
uint16_t xproxyGeneration = 0;
uint8_t xproxyNoReset = 0;
uint16_t xproxyResetDelay = 2;

namespace {

constexpr const char *kSourceMain = "Proxy/main";
constexpr const char *kSourceXproxy = "Proxy/xproxy";
// The stop value of the event loop when a signal woke it.
constexpr uint32_t kStopBySignal = 2;

const char *pendingExitReason = nullptr;  // a static text or one kept in pendingExitCopy
std::string pendingExitCopy;
char exitSignalText[80];
uint8_t sighupFlag = 0;  // a SIGHUP asked for the reset now running; cleared by the reset
uint8_t readySignalWanted = 0;
pid_t readyParent = 0;
Order *quietRefreshOrder = nullptr;
uint32_t resetsServed = 0;  // xproxyResetRequests when the last reset began

// Written by the handlers, read on the loop thread. A handler can run on any thread (the thread
// pool's workers too), so the flags are lock-free atomics rather than plain sig_atomic_t.
std::atomic<int> exitSignalSeen{0};  // the number of the first exit signal
std::atomic<int> sighupSeen{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal flags must be lock-free");
// The reset sleep's self-pipe: read end polled while sleeping, write end written by handlers.
int sleepPipe[2] = {-1, -1};

void openSleepPipe() {
  if (sleepPipe[0] >= 0) return;
  if (pipe2(sleepPipe, O_CLOEXEC | O_NONBLOCK) != 0) sleepPipe[0] = sleepPipe[1] = -1;
}

void drainSleepPipe() {
  char bytes[64];
  if (sleepPipe[0] >= 0)
    while (read(sleepPipe[0], bytes, sizeof bytes) > 0) {
    }
}

void wakeFromSignal() {
  int savedErrno = errno;
  if (sleepPipe[1] >= 0) {
    char byte = 1;
    ssize_t written = write(sleepPipe[1], &byte, 1);  // a full pipe already wakes the sleeper
    (void)written;
  }
  errno = savedErrno;
  ordersStopFromSignal(kStopBySignal);
}

void runOrdersFreeAll(int) { ordersFreeAll(); }

void refreshHeadsOrder(void *) { mainRefreshHeads(); }

void addQuietRefresh() { quietRefreshOrder = ordersAddQuietTimer(kXproxyRefreshQuietMs, refreshHeadsOrder, nullptr); }

// Sleeps the reset delay; an exit signal ends the sleep at once. Other signals (a second
// SIGHUP) wake it only to be noted; it sleeps on until the delay has passed.
void resetSleep(unsigned seconds) {
  uint64_t end = ordersMonotonicMs() + uint64_t(seconds) * 1000;
  for (;;) {
    drainSleepPipe();
    if (exitSignalSeen) return;
    uint64_t now = ordersMonotonicMs();
    if (now >= end) return;
    struct pollfd slot = {sleepPipe[0], POLLIN, 0};
    int wait = int(end - now);
    if (sleepPipe[0] >= 0)
      poll(&slot, 1, wait);
    else
      usleep(useconds_t(wait > 50 ? 50 : wait) * 1000);  // no pipe: short naps that see the flag
  }
}

void appendScreen(ScreenConfig *copy) {
  ScreenConfig *&list = configRecord.screens;
  if (!list) {
    copy->next = nullptr;
    copy->previous = copy;
    list = copy;
    return;
  }
  ScreenConfig *tail = list->previous;
  copy->index = tail->index + 1;
  copy->next = nullptr;
  copy->previous = tail;
  tail->next = copy;
  list->previous = copy;
}

// Step 5 of start-up: the installation's directories must be named.
const char *checkEnvironment() {
  if (!filesHomeDir()) return strTempPrintf("Environment variable %s not set - Be sure to start the wrapper script", "*_HOME");
  if (!filesEtcDir()) return strTempPrintf("Environment variable %s not set - Be sure to start the wrapper script", "*_ETC");
  return nullptr;
}

void applyLogTypes(uint32_t types) {
  traceFlags = 0;
  if (types & kLogTypeClients) {
    traceFlags |= kTraceClients;
    logEnableChannel(logChannelXclient);
  }
  if (types & kLogTypeXErrors) {
    traceFlags |= kTraceXErrors;
    logEnableChannel(logChannelXerror);
  } else if (logChannelXerror) {
    logChannelXerror->activeTemplate = nullptr;
  }
  if (types & kLogTypeHints) logEnableChannel(logChannelXhint);
  if (types & kLogTypeVisuals) traceFlags |= kTraceVisuals;
  if (types & kLogTypeAuthorizationDetails) traceFlags |= kTraceAuthorizationDetails;
  if (types & kLogTypeSteps) logEnableChannel(logChannelStep);
}

// Steps 17-22: meta screens, heads (with the further screens of an anyScreen display),
// placement and the check that every real screen is configured.
const char *openScreens() {
  for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next) {
    MetaScreen *screen = xscreenNew();
    if (!screen) return strTempPrintf("Out of memory (%s:%d)", kSourceMain, __LINE__);
    if (config->name && !(screen->name = strdup(config->name)))
      return strTempPrintf("Out of memory (%s:%d)", kSourceMain, __LINE__);
    config->metaScreen = screen;
  }
  for (ScreenConfig *s = configRecord.screens; s; s = s->next) {
    MetaScreen *meta = s->metaScreen ? s->metaScreen->metaScreen : nullptr;
    if (!meta) return strTempPrintf("No meta screen for %s", s->displayName ? s->displayName : "?");
    int status = 0;
    const char *error = nullptr;
    s->head = mainOpenHead(s->displayName, meta, configRecord.connectTimeout, s->borderWidth, s->emulatedVisuals,
                           &status, &error);
    if (!s->head) return error ? error : strTempPrintf("Can't open %s", s->displayName ? s->displayName : "?");
    Head *head = s->head;
    ServerDisplay *display = head->serverDisplay;
    if (s->emulateDoubleBuffer && display) display->emulateDoubleBuffer = 1;
    if (s->lumora && s->glLibraryPath) {
      free(head->glLibraryName);
      if (!(head->glLibraryName = strdup(s->glLibraryPath)))
        return strTempPrintf("Out of memory (%s:%d)", kSourceMain, __LINE__);
    }
    if ((s->tags & kScreenTagAnyScreen) && display && display->display &&
        head->screen + 1 < ScreenCount(display->display)) {
      char name[300];
      snprintf(name, sizeof name, "%s.%d", display->displayName, head->screen + 1);
      LOG(logChannelStep, "Found additional head %s...", name);
      ScreenConfig *copy = korvanCopyScreenConfig(s);
      char *nameCopy = strdup(name);
      if (!copy || !nameCopy) {
        free(nameCopy);
        if (copy) korvanFreeScreenConfig(copy);
        return strTempPrintf("Out of memory (%s:%d)", kSourceMain, __LINE__);
      }
      free(copy->displayName);
      copy->displayName = nameCopy;
      copy->head = nullptr;
      copy->reference = s;
      copy->direction = kKorvanDirectionEast;
      copy->givenMask |= kScreenGivenDirection | kScreenGivenRelativeTo;
      appendScreen(copy);
    }
  }
  for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next)
    if (!config->metaScreen->heads)
      return strTempPrintf("No screens specified for %s", config->name ? config->name : xscreenName(config->metaScreen));
  for (MetaScreenConfig *config = configRecord.metaScreens; config; config = config->next) {
    MetaScreenChange change = xscreenChangeFromConfig(config);
    if (const char *error = xscreenApplyMetaChange(config->metaScreen, &change)) return error;
    windowKeepVisible(config->metaScreen);
  }
  // Placement references: the reference head's client-side root, 0 when it is not listed.
  for (ScreenConfig *s = configRecord.screens; s; s = s->next) {
    if (!s->reference) continue;
    s->referenceRoot = 0;
    for (ScreenConfig *r = configRecord.screens; r; r = r->next)
      if (r == s->reference && r->head) s->referenceRoot = r->head->clientRoot;
  }
  for (ScreenConfig *s = configRecord.screens; s; s = s->next)
    if (const char *error = mainMoveResizeHead(nullptr, s->head, s->givenMask | 0x3c, s)) return error;
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    if (!d->display) continue;
    int heads = 0;
    for (MetaScreen *m = xscreenList; m; m = m->next)
      for (Head *h = m->heads; h; h = h->next)
        if (h->serverDisplay == d) heads++;
    if (heads != ScreenCount(d->display))
      return strTempPrintf("Unspecified screen on %s found - Make sure all %d screens are specified in your configuration",
                           d->displayName, ScreenCount(d->display));
  }
  return nullptr;
}

void setVendor() {
  const ServerDisplay *first = mainServerDisplays;
  Display *firstDisplay = first ? first->display : nullptr;
  switch (configRecord.vendorStringMode) {
    case kVendorOwn:
      snprintf(proxyState.vendor, 128, "%s %s", kProductMakerName, productName());
      break;
    case kVendorSame:
      snprintf(proxyState.vendor, 128, "%s", firstDisplay ? ServerVendor(firstDisplay) : "");
      break;
    case kVendorGiven:
      snprintf(proxyState.vendor, 128, "%s", configRecord.vendorString ? configRecord.vendorString : "");
      break;
    default:
      LOG_UNE();
  }
  switch (configRecord.vendorReleaseMode) {
    case kVendorOwn:
      proxyState.releaseNumber = kKorvanOwnVendorRelease;
      break;
    case kVendorSame:
      proxyState.releaseNumber = firstDisplay ? uint32_t(VendorRelease(firstDisplay)) : 0;
      break;
    case kVendorGiven:
      proxyState.releaseNumber = configRecord.vendorReleaseNumber;
      break;
    default:
      LOG_UNE();
  }
}

void setDisplayLeaders() {
  for (MetaScreen *m = xscreenList; m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) {
      h->displayLeader = nullptr;
      for (MetaScreen *m2 = xscreenList; m2 && !h->displayLeader; m2 = m2->next)
        for (Head *other = m2->heads; other; other = other->next) {
          if (other == h) break;
          if (other->displayLeader == other && other->display == h->display) {
            h->displayLeader = other;
            break;
          }
        }
      if (!h->displayLeader) h->displayLeader = h;
    }
}

void describeScreens() {
  for (MetaScreen *m = xscreenList; m; m = m->next) {
    LOG(logChannelStep, "%s: %s", xscreenName(m), xscreenDescribe(m));
    for (Head *h = m->heads; h; h = h->next) LOG(logChannelStep, "  %s: %s", xscreenHeadName(h), xscreenDescribeHead(h));
  }
}

}  // namespace

// ----- Start-up ------------------------------------------------------------------------------

const char *xproxyInit() {
  pendingExitReason = nullptr;
  pendingExitCopy.clear();
  xtargetSyncLimitMs = xproxySyncWaitLimitMs;  // the error traps' round trips on the real displays
  exitSignalSeen = 0;
  sighupSeen = 0;
  sighupFlag = 0;
  xproxyClients = nullptr;
  xproxyClientCount = 0;
  xproxyFreeServerAuth();
  proxyXidCounter = 31;
  xproxyGeneration = 0;
  resetsServed = xproxyResetRequests;
  openSleepPipe();

  struct sigaction previous {};
  sigaction(SIGUSR1, nullptr, &previous);
  readySignalWanted = previous.sa_handler == SIG_IGN ? 1 : 0;
  readyParent = getppid();
  signal(SIGUSR1, SIG_IGN);
  processPushSignal(xproxyOnSighup, SIGHUP);
  for (int s : {SIGINT, SIGQUIT, SIGABRT, SIGTERM}) processPushSignal(xproxyOnExitSignal, s);
  signal(SIGPIPE, SIG_IGN);
  XSetIOErrorHandler(xproxyXIOErrorHandler);
  xproxyInstallModuleHooks();

  ordersInit();
  xcoreInitDispatchTables();
  xdisplayInstallHooks(xcoreRequestName);
  xproxyAddExitHook(runOrdersFreeAll);
  addQuietRefresh();
  if (const char *required = getenv("MWTProcessRequired")) {
    long pid = strtol(required, nullptr, 10);
    if (pid > 0) ordersAddTimer(kXproxyRequiredProcessCheckMs, xproxyCheckRequiredProcess, reinterpret_cast<void *>(intptr_t(pid)));
  }
  return nullptr;
}

int xproxyReadySignalWanted() { return readySignalWanted; }
pid_t xproxyReadyParent() { return readyParent; }

int xproxySendReadySignal() {
  // Only the process that started the proxy is told: once it has gone, the proxy's new
  // parent (a reaper) did not ask and would be killed by SIGUSR1.
  if (!readySignalWanted || readyParent <= 1 || getppid() != readyParent) return 0;
  LOG(logChannelStep, "Sending ready signal to parent process %d...", int(readyParent));
  return kill(readyParent, SIGUSR1) == 0 ? 1 : 0;
}

const char *xproxyStartUp(int argc, char **argv, int *information) {
  *information = 0;
  setenv("LANG", "C", 1);
  if (logInit(argc, argv, productVersion(), "")) {
    *information = 1;
    printf("%s %s\n", productName(), productVersion());
    fflush(stdout);
    return nullptr;
  }
  const char *parseError = korvanParseCommandLine(argc > 0 ? argc - 1 : 0, argc > 0 ? argv + 1 : argv, 1);
  std::string parseErrorCopy = parseError ? parseError : "";
  if (configRecord.logDestination) logSetTarget(configRecord.logDestination);
  if (parseError) return strTempPrintf("%s", parseErrorCopy.c_str());
  if (const char *error = checkEnvironment()) return error;
  applyLogTypes(configRecord.logTypes);
  xproxyNoReset = configRecord.noReset;
  xproxyResetDelay = 2;
  mainProgramName = logProgramName();

  if (const char *error = xproxyInit()) return error;
  LOG(logChannelStep, "Starting %s for display %s: %s", logProgramName(),
      configRecord.connection ? configRecord.connection : ":0", logCommandLine());
  if (configRecord.workarounds) LOG(logChannelNote, "Enabling workarounds %s ...", korvanWorkaroundsText(configRecord.workarounds));

  if (configRecord.serverCommandCount > 0) {
    const char *error = xproxyStartLocalServer(configRecord.serverCommandCount,
                                               const_cast<const char *const *>(configRecord.serverCommand),
                                               configRecord.serverNice);
    if (error) return error;
  }
  processRaiseLimits();
  if (const char *error = xproxyListen(configRecord.connection, int(configRecord.accessControl))) return error;
  if (configRecord.nice != 0) processSetPriority(getpid(), configRecord.nice);
  xproxySetAuthorizationFile(configRecord.authorization);
  xproxySetServerAuthFile(configRecord.serverAuthorization);
  mainSetStartLimits();
  if (!resourceInitClient(0)) return strTempPrintf("Out of memory (%s:%d)", kSourceMain, __LINE__);

  if (const char *error = openScreens()) return error;
  if (const char *error = mainAdjustVisuals(0)) return error;
  if (const char *error = mainCreateRootWindows(1)) return error;
  if (const char *error = xmainInitExtensions()) return error;
  setVendor();
  setDisplayLeaders();
  if (configRecord.xdmcpMode != 0) {
    const char *error = xproxyInitXdmcp(configRecord.xdmcpMode, configRecord.xdmcpHost, configRecord.xdmcpPort,
                                        configRecord.xdmcpOnce, configRecord.xdmcpAuthorizationCookie,
                                        configRecord.xdmcpDisplayClass, configRecord.xdmcpDisplayID);
    if (error) return error;
  }
  xproxySendReadySignal();
  describeScreens();
  return nullptr;
}

void xproxyMain(int argc, char **argv) {
  int information = 0;
  const char *result = xproxyStartUp(argc, argv, &information);
  if (information) exit(0);
  if (result) xproxyExit(result, 1);
  for (;;) {
    result = xproxyRun();
    if (result) break;
    result = xproxyReset();
    if (!result && !xproxyNoReset) {
      result = mainAdjustVisuals(1);
      if (!result) result = mainCreateRootWindows(0);
      if (!result) result = xmainInitExtensions();
    }
    if (result) break;
  }
  xproxyExit(result, 0);
}

// ----- Run, reset and exit -------------------------------------------------------------------

const char *xproxyPendingExitReason() { return pendingExitReason; }

void xproxyRequestExit(const char *reason) {
  if (!pendingExitReason) {
    pendingExitCopy = reason ? reason : "";
    pendingExitReason = pendingExitCopy.c_str();
  }
  ordersStop(1);
}

void xproxyTakeSignals() {
  if (int signal = exitSignalSeen; signal && !pendingExitReason) {
    snprintf(exitSignalText, sizeof exitSignalText, "Received exit signal %d", signal);
    LOG(logChannelStep, "%s...", exitSignalText);
    xproxyRequestExit(exitSignalText);
  }
  if (sighupSeen.exchange(0)) {
    LOG(logChannelStep, "Received reset signal SIGHUP...");
    xproxyRequestReset("Received reset signal SIGHUP");
    sighupFlag = 1;
  }
}

void xproxyOnSighup(int) {
  sighupSeen = 1;
  wakeFromSignal();
}

void xproxyOnExitSignal(int signal) {
  ::signal(signal, SIG_IGN);  // it stays ignored: the exit is under way
  int none = 0;
  exitSignalSeen.compare_exchange_strong(none, signal);
  wakeFromSignal();
}

const char *xproxyRun() {
  xproxyTakeSignals();
  if (pendingExitReason) return pendingExitReason;
  char directory[kFilesPathSize];
  if (!filesResolvePath("", kFilesVar, directory) && chdir(directory) != 0)
    LOG(logChannelWarning, "Can't access directory '%s'", directory);
  // A reset asked for since the last one began (also before this run) ends the run; anything
  // else that stopped the loop (a signal's wake-up already acted on) runs it again.
  while (!pendingExitReason && xproxyResetRequests == resetsServed) {
    ordersRun();
    xproxyTakeSignals();
  }
  if (pendingExitReason) return pendingExitReason;
  resetsServed = xproxyResetRequests;
  xproxyCurrentClient = nullptr;
  while (xproxyClients) {
    ClientConnection *client = xproxyClients;
    client->closingForReset = 1;
    xproxyCloseClient(client, "reinit", 0);
  }
  return pendingExitReason;
}

void mainCloseDisplays() {
  for (MetaScreen *m = xscreenList; m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) {
      if (h->serverDisplay) mainCloseServerDisplay(h->serverDisplay, 0);
      h->shadowColormap = 0;
      h->outerWindow = h->middleWindow = h->innerWindow = 0;
      xvisualFreeArray(h->visuals, h->visualCount);
      h->visuals = nullptr;
      h->visualCount = 0;
      free(h->visualMap);
      h->visualMap = nullptr;
      xproxyIndexHeadVisuals(h);
    }
  mainFreeDeferredPool();
}

const char *xproxyReset() {
  xproxyTakeSignals();
  if (pendingExitReason) return pendingExitReason;
  if (xproxyNoReset) return nullptr;
  LOG(logChannelStep, "Resetting X proxy...");
  miscOutsideSettle();
  mainCloseDisplays();
  xproxyCurrentClient = nullptr;
  while (xproxyClients) xproxyCloseClient(xproxyClients, "reinit", 0);
  xproxyEndDepartures();
  xproxyClientCount = 0;
  LOG(logChannelStep, "Removing xid's...");
  resourceFreeIdBases();  // every slot's records with them, the proxy's own (slot 0) included
  LOG(logChannelStep, "Init default xids...");
  proxyXidCounter = 31;
  windowFreePendingSelectionBlocks();
  LOG(logChannelStep, "Removing X extensions...");
  extResetAll();
  for (ListenPort *port = xproxyListenPorts(); port; port = port->next) {
    ordersCancel(port->readOrder);
    ordersCancel(port->pendingAccept);
    port->readOrder = port->pendingAccept = nullptr;
  }
  ordersCancel(quietRefreshOrder);
  quietRefreshOrder = nullptr;
  LOG(logChannelStep, "Resetting authorization...");
  accessResetAuth();
  xproxyResetServerAuth();
  if (sighupFlag) {
    sighupFlag = 0;
    if (pid_t server = xproxyLocalServerPid(); server > 0) processKill(SIGHUP, server);
  }
  xproxyTakeSignals();
  if (pendingExitReason) return pendingExitReason;
  LOG(logChannelStep, "Sleeping %d seconds...", int(xproxyResetDelay));
  resetSleep(xproxyResetDelay);
  xproxyTakeSignals();
  if (pendingExitReason) return pendingExitReason;
  resetsServed = xproxyResetRequests;  // a SIGHUP during this reset is served by it
  xproxyGeneration++;
  addQuietRefresh();
  if (const char *error = xproxyResetListeners()) return error;
  accessResetHosts(strTempPrintf("%u", unsigned(xproxyDisplayNumber())));
  xproxyRestartXdmcp();
  return nullptr;
}

void xproxyExit(const char *reason, int status) {
  miscOutsideBeforeExit();
  LOG(logChannelStep, "Exiting: %s...", reason ? reason : "");
  std::string kept = reason ? reason : "";
  xproxyRunExitHooks();
  if (configRecord.serverAuthorization && strcasecmp(configRecord.serverAuthorization, "own") == 0)
    xproxyRemoveGeneratedAuthFile();
  // The hooks freed every order: the listeners close without touching their readers.
  xproxyCloseListenersKeepOrders();
  if (reason) logFatal(kSourceXproxy, __LINE__, logFormat("%s", kept.c_str()));
  exit(status);
}

int xproxyXIOErrorHandler(Display *display) {
  const char *name = xmiscLocalDisplayPart(display);
  // Xlib reports the broken connection again from inside the request counts below when xcb
  // holds the socket (after a bounded round trip): that second report exits without them.
  static bool reporting = false;
  if (reporting)
    xproxyExit(strTempPrintf("Broken connection to display %s (%s:%d) - Maybe the X server has been stopped or is "
                             "unavailable",
                             name ? name : "", kSourceXproxy, __LINE__),
               0);
  reporting = true;
  xproxyExit(strTempPrintf("Broken connection to display %s (%lu requests, %lu processed, %s:%d) - Maybe the X "
                           "server has been stopped or is unavailable",
                           name ? name : "", XNextRequest(display) - 1, XLastKnownRequestProcessed(display),
                           kSourceXproxy, __LINE__),
             0);
}

void xproxyCheckRequiredProcess(void *argument) {
  pid_t pid = pid_t(reinterpret_cast<intptr_t>(argument));
  errno = 0;
  if (getpriority(PRIO_PROCESS, id_t(pid)) == -1 && errno == ESRCH) xproxyExit("Required process is dead", 1);
  ordersAddTimer(kXproxyRequiredProcessCheckMs, xproxyCheckRequiredProcess, argument);
}

