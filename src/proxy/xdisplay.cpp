// Small operations on the proxy's Xlib connections to real X servers.
#include "proxy/xdisplay.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>
#include <strings.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#include <X11/extensions/Xdbe.h>
#include <xcb/xcb.h>

#include "proxy/conndis.h"
#include "proxy/files.h"
#include "proxy/xtrans.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/strings.h"
#include "xclient/misc.h"
#include "xclient/xutilh.h"  // before ximage.h: Xlib's Region renamed
#include "xclient/ximage.h"
#include "xclient/xtarget.h"

// ----- Names and hosts ------------------------------------------------------------------------

int xdisplayParseAddress(const char *name, char **host, int *displayNumber, int *screen, int *family) {
  char *protocol = nullptr, *parsedHost = nullptr;
  int number = 0, screenNumber = 0;
  if (name && conndisConnectDisplay(name, nullptr, &protocol, &parsedHost, &number, &screenNumber, nullptr, nullptr,
                                    nullptr, nullptr, 1) != CONNDIS_PARSED)
    return 0;
  bool localProtocol = !protocol || strcmp(protocol, "local") == 0 || strcmp(protocol, "unix") == 0;
  if (!parsedHost || !parsedHost[0] || strcmp(parsedHost, "unix") == 0) {
    free(parsedHost);
    parsedHost = strdup(hostName());
  }
  int isLocal = localProtocol || (parsedHost && strcasecmp(parsedHost, hostName()) == 0);
  free(protocol);
  if (host)
    *host = parsedHost;
  else
    free(parsedHost);
  if (displayNumber) *displayNumber = number;
  if (screen) *screen = screenNumber;
  if (family) *family = isLocal ? 256 : 0;
  return 1;
}

const char *xdisplayHostOfName(const char *name) {
  static char host[256];
  if (!name) name = "";
  const char *slash = strchr(name, '/');
  if (slash) name = slash + 1;
  const char *colon = strrchr(name, ':');
  // "host::1" names a DECnet display: the host ends at the first of the two colons.
  if (colon && colon > name && colon[-1] == ':') colon--;
  size_t length = colon ? static_cast<size_t>(colon - name) : 0;
  if (!colon || length == 0 || (length == 4 && strncmp(name, "unix", 4) == 0)) {
    strCopy(host, hostName(), sizeof host);
  } else {
    if (length >= sizeof host) length = sizeof host - 1;
    memcpy(host, name, length);
    host[length] = '\0';
  }
  return host;
}

const char *xdisplayHostOfDisplay(Display *display) {
  return xdisplayHostOfName(display ? DisplayString(display) : nullptr);
}

bool xdisplayIsRemote(Display *display) {
  return !hostIsLocal(xdisplayHostOfDisplay(display));
}

const char *xdisplayLocalPart(const char *name) {
  if (!name) return nullptr;
  const char *local = hostName();
  size_t length = strlen(local);
  if (length == 0 || strncasecmp(name, local, length) != 0 || name[length] != ':') return nullptr;
  return name + length;
}

namespace {

// The canonical form of a host: the local host name for "" and "unix", else the official name
// of its address (looked up again by address when it is only a number); the name itself
// when nothing answers. Static buffer.
const char *canonicalHost(const char *host) {
  static char canonical[256];
  if (!host[0] || strcmp(host, "unix") == 0) return hostName();
  strCopy(canonical, host, sizeof canonical);
  struct hostent *entry = gethostbyname(host);
  if (!entry || !entry->h_name) return canonical;
  strCopy(canonical, entry->h_name, sizeof canonical);
  if (entry->h_name[0] >= '0' && entry->h_name[0] <= '9' && entry->h_addr_list && entry->h_addr_list[0]) {
    struct hostent *byAddress = gethostbyaddr(entry->h_addr_list[0], entry->h_length, entry->h_addrtype);
    if (byAddress && byAddress->h_name) strCopy(canonical, byAddress->h_name, sizeof canonical);
  }
  return canonical;
}

// Splits "host:display[.screen]" (one or two colons) into its parts; false when the display
// part is empty or not all digits.
bool splitDisplayName(const char *name, char *host, size_t hostSize, const char **colons,
                      long *displayNumber) {
  const char *colon = strrchr(name, ':');
  if (!colon) return false;
  const char *start = colon;
  if (start > name && start[-1] == ':') start--;
  size_t length = static_cast<size_t>(start - name);
  if (length >= hostSize) length = hostSize - 1;
  memcpy(host, name, length);
  host[length] = '\0';
  *colons = start[1] == ':' ? "::" : ":";
  const char *digits = colon + 1;
  const char *end = digits;
  while (*end >= '0' && *end <= '9') end++;
  if (end == digits || (*end && *end != '.')) return false;
  if (*end == '.') {
    const char *screen = end + 1;
    while (*screen >= '0' && *screen <= '9') screen++;
    if (*screen) return false;
  }
  *displayNumber = strtol(digits, nullptr, 10);
  return true;
}

}  // namespace

const char *xdisplayCanonicalName(const char *name) {
  static char canonical[1024];
  if (!name) {
    snprintf(canonical, sizeof canonical, "%s:0", hostName());
    return canonical;
  }
  char host[256];
  const char *colons;
  long number;
  if (!splitDisplayName(name, host, sizeof host, &colons, &number)) return nullptr;
  snprintf(canonical, sizeof canonical, "%s%s%ld", canonicalHost(host), colons, number);
  return canonical;
}

bool xdisplaySameDisplay(const char *a, const char *b) {
  const char *fallback = getenv("DISPLAY");
  if (!fallback) fallback = ":0.0";
  if (!a) a = fallback;
  if (!b) b = fallback;
  if (strcasecmp(a, b) == 0) return true;
  char hostA[256], hostB[256];
  const char *colonsA, *colonsB;
  long numberA, numberB;
  if (!splitDisplayName(a, hostA, sizeof hostA, &colonsA, &numberA) ||
      !splitDisplayName(b, hostB, sizeof hostB, &colonsB, &numberB))
    return false;
  if (numberA != numberB) return false;
  char canonicalA[256];
  strCopy(canonicalA, canonicalHost(hostA), sizeof canonicalA);
  return strcasecmp(canonicalA, canonicalHost(hostB)) == 0;
}

// How much output after the first line the lookup command may write before its pipe closes.
constexpr size_t kLookupDrainBytes = 64 * 1024;

const char *xdisplayLookupName(const char *name, const char **result) {
  static char answer[256];
  if (!name) name = getenv("DISPLAY");
  *result = name;
  if (!name || !name[0] || strchr(name, ':')) return nullptr;

  char path[kFilesPathSize];
  if (filesResolvePath("displayLookup", kFilesBin, path) != nullptr) return nullptr;
  struct stat info;
  if (stat(path, &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;

  // The name is one argument of the program: it never passes through a shell.
  const char *argv[] = {path, "-d", name, nullptr};
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    LOG_UNE();
    return nullptr;
  }
  pid_t child = fork();
  if (child < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    LOG_UNE();
    return nullptr;
  }
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    signal(SIGPIPE, SIG_DFL);
    execv(path, const_cast<char *const *>(argv));
    _exit(127);
  }
  close(pipeFds[1]);

  // Only the first line counts.
  size_t length = 0;
  bool lineEnded = false;
  while (length < sizeof answer - 1 && !lineEnded) {
    ssize_t got = read(pipeFds[0], answer + length, sizeof answer - 1 - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    char *newline = static_cast<char *>(memchr(answer + length, '\n', static_cast<size_t>(got)));
    if (newline) {
      length = static_cast<size_t>(newline - answer);
      lineEnded = true;
    } else {
      length += static_cast<size_t>(got);
    }
  }
  answer[length] = '\0';
  // A little more output is read and dropped, so that a program that prints a few more lines
  // is not killed by a closed pipe before its exit status; beyond that the pipe is closed and
  // a program that keeps writing ends on SIGPIPE instead of blocking us.
  char discard[4096];
  for (size_t drained = 0; drained < kLookupDrainBytes;) {
    ssize_t got = read(pipeFds[0], discard, sizeof discard);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    drained += static_cast<size_t>(got);
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!answer[0]) return nullptr;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    *result = answer;
    return nullptr;
  }
  return strTempPrintable(answer);
}

// ----- MIT-SHM and shared memory --------------------------------------------------------------

const char *xdisplayCheckShm(Display *display) {
  if (xdisplayIsRemote(display)) return "Display is remote";
  if (!XShmQueryExtension(display)) return "No MIT-SHM extension";
  int id = shmget(IPC_PRIVATE, 64, IPC_CREAT | 0600);
  if (id < 0) return strTempPrintf("shmget(64 bytes) failed: %s", strErrno(errno));
  void *address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void *>(-1)) {
    const char *text = strTempPrintf("shmat() failed: %s", strErrno(errno));
    shmctl(id, IPC_RMID, nullptr);
    return text;
  }
  XShmSegmentInfo info{};
  info.shmid = id;
  info.shmaddr = static_cast<char *>(address);
  info.readOnly = False;
  info.shmseg = XAllocID(display);
  xtargetArmErrorTrap(display);
  XShmAttach(display, &info);
  const char *failure = xtargetSync(display, xtargetSyncLimitMs);
  XShmDetach(display, &info);
  if (!failure) failure = xtargetSync(display, xtargetSyncLimitMs);
  int failed = xtargetDisarmErrorTrap();
  shmdt(address);
  shmctl(id, IPC_RMID, nullptr);
  return failure ? failure : failed ? "Display is remote" : nullptr;
}

XShmSegmentInfo *xdisplayShmAlloc(uint64_t size, int readOnly) {
  if (size == 0 || size > SIZE_MAX) return nullptr;
  int id = shmget(IPC_PRIVATE, static_cast<size_t>(size), IPC_CREAT | 0600);
  if (id < 0) return nullptr;
  void *address = shmat(id, nullptr, readOnly ? SHM_RDONLY : 0);
  if (address == reinterpret_cast<void *>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    return nullptr;
  }
  auto *segment = static_cast<XShmSegmentInfo *>(calloc(1, sizeof(XShmSegmentInfo)));
  if (!segment) {
    LOG_OUT_OF_MEMORY();
    shmdt(address);
    shmctl(id, IPC_RMID, nullptr);
    return nullptr;
  }
  segment->shmid = id;
  segment->shmaddr = static_cast<char *>(address);
  return segment;
}

void xdisplayFreeShmSegment(XShmSegmentInfo *segment) {
  if (!segment) return;
  if (segment->shmaddr) shmdt(segment->shmaddr);
  shmctl(segment->shmid, IPC_RMID, nullptr);
  free(segment);
}

bool xdisplayCanListen(int displayNumber) {
  char port[16];
  snprintf(port, sizeof port, "%d", displayNumber);
  int count = 0;
  XtransConnInfo *listeners = nullptr;
  int rc = xtransMakeAllListeners(port, &count, &listeners);
  for (int i = 0; i < count && listeners; i++) _X11TransClose(listeners[i]);
  free(listeners);
  return rc >= 0 && count > 0;
}

// ----- Graphics contexts and colours ----------------------------------------------------------

namespace {

DisplayGCCache *gcCaches = nullptr;

void unlinkCache(DisplayGCCache *cache) {
  if (cache->previous) cache->previous->next = cache->next;
  else gcCaches = cache->next;
  if (cache->next) cache->next->previous = cache->previous;
  cache->next = cache->previous = nullptr;
}

// Close hook of a cache's private extension: runs while the connection is still usable (from
// XCloseDisplay and from xtargetCloseDisplay), so the GCs are freed here. The extension record
// then no longer points at the cache.
int closeGCCache(Display *display, XExtCodes *codes) {
  for (DisplayGCCache *cache = gcCaches; cache; cache = cache->next) {
    if (cache->display != display || cache->extensionNumber != codes->extension) continue;
    for (int depth = 32; depth >= 0; depth--) {
      if (cache->gcs[depth]) XFreeGC(display, cache->gcs[depth]);
      cache->gcs[depth] = nullptr;
    }
    XEDataObject object;
    object.display = display;
    XExtData *data = XFindOnExtensionList(XEHeadOfExtensionList(object), codes->extension);
    if (data) data->private_data = nullptr;
    unlinkCache(cache);
    free(cache);
    break;
  }
  return 0;
}

// A GC of that depth, built under the error trap: a depth the screen cannot make gives NULL.
GC makeDepthGC(Display *display, int screen, int depth) {
  xtargetArmErrorTrap(display);
  Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), 1, 1, static_cast<unsigned>(depth));
  XGCValues values;
  values.foreground = 1;
  values.background = 0;
  values.graphics_exposures = False;
  GC gc = XCreateGC(display, pixmap, GCForeground | GCBackground | GCGraphicsExposures, &values);
  XFreePixmap(display, pixmap);
  // A server that does not answer within the sync limit gives no GC either.
  const char *failure = xtargetSync(display, xtargetSyncLimitMs);
  if (xtargetDisarmErrorTrap() || failure) {
    if (failure) LOG(logChannelProblem, "A GC of depth %d: %s", depth, failure);
    if (gc) {
      xtargetArmErrorTrap(display);
      XFreeGC(display, gc);
      xtargetSync(display, xtargetSyncLimitMs);
      xtargetDisarmErrorTrap();
    }
    return nullptr;
  }
  return gc;
}

DisplayGCCache *buildGCCache(Display *display, int screen) {
  auto *cache = static_cast<DisplayGCCache *>(calloc(1, sizeof(DisplayGCCache)));
  auto *data = static_cast<XExtData *>(calloc(1, sizeof(XExtData)));
  if (!cache || !data) {
    free(cache);
    free(data);
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  XExtCodes *codes = XAddExtension(display);
  if (!codes) {
    free(cache);
    free(data);
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  cache->display = display;
  cache->screen = screen;
  cache->extensionNumber = codes->extension;
  XESetCloseDisplay(display, codes->extension, closeGCCache);
  data->number = codes->extension;
  data->private_data = reinterpret_cast<XPointer>(cache);
  data->free_private = xdisplayFreeGCCache;
  XEDataObject object;
  object.display = display;
  XAddToExtensionList(XEHeadOfExtensionList(object), data);
  cache->next = gcCaches;
  if (gcCaches) gcCaches->previous = cache;
  gcCaches = cache;

  int count = 0;
  int *depths = XListDepths(display, screen, &count);
  for (int i = 0; depths && i < count; i++) {
    int depth = depths[i];
    if (depth >= 1 && depth <= 32 && !cache->gcs[depth]) cache->gcs[depth] = makeDepthGC(display, screen, depth);
  }
  if (depths) XFree(depths);
  XPixmapFormatValues *formats = XListPixmapFormats(display, &count);
  for (int i = 0; formats && i < count; i++) {
    int depth = formats[i].depth;
    if (depth >= 1 && depth <= 32 && !cache->gcs[depth]) cache->gcs[depth] = makeDepthGC(display, screen, depth);
  }
  if (formats) XFree(formats);
  return cache;
}

}  // namespace

GC xdisplayGetDepthGC(Display *display, int screen, int depth) {
  if (!display || depth < 0 || depth > 32 || screen < 0 || screen >= ScreenCount(display)) return nullptr;
  DisplayGCCache *cache = gcCaches;
  while (cache && (cache->display != display || cache->screen != screen)) cache = cache->next;
  if (!cache) cache = buildGCCache(display, screen);
  return cache ? cache->gcs[depth] : nullptr;
}

int xdisplayFreeGCCache(XExtData *data) {
  if (!data) {
    LOG_UNE();
    return 0;
  }
  // The close hook freed the GCs and the cache; a cache left here belongs to a connection whose
  // output buffer is gone already, so only the record is released.
  auto *cache = reinterpret_cast<DisplayGCCache *>(data->private_data);
  if (cache) {
    unlinkCache(cache);
    free(cache);
    data->private_data = nullptr;
  }
  return 0;
}

int xdisplayGCCacheCount() {
  int count = 0;
  for (DisplayGCCache *cache = gcCaches; cache; cache = cache->next) count++;
  return count;
}

void xdisplayAllocBlackWhite(Display *display, Colormap colormap, unsigned long *black,
                             unsigned long *white) {
  XColor dark{}, light{};
  light.red = light.green = light.blue = 0xffff;
  if (XAllocColor(display, colormap, &dark) && XAllocColor(display, colormap, &light)) {
    *black = dark.pixel;
    *white = light.pixel;
    return;
  }
  LOG_UNE();
}

const char *xdisplayAllocCells(Display *display, Colormap colormap, unsigned long **pixels,
                               int *count, bool *stalled) {
  bool ownStall = false;
  if (!stalled) stalled = &ownStall;
  *pixels = nullptr;
  *count = 0;
  std::vector<unsigned long> all;
  xcb_connection_t *connection = XGetXCBConnection(display);
  // Halving chunks: a refused chunk (BadAlloc once too few cells are left) asks for half as many.
  for (uint16_t chunk = 256; chunk > 0 && !*stalled;) {
    auto cookie = xcb_alloc_color_cells(connection, 0, uint32_t(colormap), chunk, 0);
    auto *reply = static_cast<xcb_alloc_color_cells_reply_t *>(
        xdisplayWaitReply(display, cookie.sequence, "AllocColorCells", stalled, false));
    if (!reply) {
      chunk /= 2;
      continue;
    }
    const uint32_t *got = xcb_alloc_color_cells_pixels(reply);
    int n = xcb_alloc_color_cells_pixels_length(reply);
    try {
      all.insert(all.end(), got, got + n);
    } catch (const std::bad_alloc &) {
      free(reply);
      return OUT_OF_MEMORY_TEXT();
    }
    free(reply);
  }
  if (!all.empty()) {
    *pixels = static_cast<unsigned long *>(malloc(sizeof(unsigned long) * all.size()));
    if (!*pixels) return OUT_OF_MEMORY_TEXT();
    std::copy(all.begin(), all.end(), *pixels);
    *count = int(all.size());
  }
  return *stalled ? "the X server did not answer AllocColorCells in time" : nullptr;
}

// ----- Bounded queries on the proxy's own connections -----------------------------------------

void *xdisplayWaitReply(Display *display, unsigned sequence, const char *what, bool *stalled, bool logErrors) {
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (*stalled) {
    xcb_discard_reply(connection, sequence);
    return nullptr;
  }
  void *reply = nullptr;
  xcb_generic_error_t *error = nullptr;
  if (const char *failure = xtargetWaitReply(display, sequence, xtargetSyncLimitMs, &reply, &error)) {
    LOG(logChannelProblem, "%s on the proxy's own connection to %s failed: %s", what, DisplayString(display), failure);
    *stalled = true;
    return nullptr;
  }
  if (error) {
    if (logErrors) {
      XErrorEvent event{};
      event.type = 0;
      event.display = display;
      event.resourceid = error->resource_id;
      event.serial = error->full_sequence;
      event.error_code = error->error_code;
      event.request_code = error->major_code;
      event.minor_code = error->minor_code;
      LOG(logChannelXerror, "%s", xdisplayErrorText(&event));
    }
    free(error);
  }
  return reply;
}

// ----- Errors, properties, time ---------------------------------------------------------------

namespace {
XdisplayRequestNameFn requestNameFunction = nullptr;
}  // namespace

const char *xdisplayErrorText(XErrorEvent *event) {
  static constexpr const char *kCoreErrorNames[] = {
      "0",         "BadRequest", "BadValue",    "BadWindow",   "BadPixmap", "BadAtom",
      "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
      "BadColor",  "BadGC",      "BadIDChoice", "BadName",     "BadLength", "BadImplementation"};
  char name[128] = "";
  if (event->error_code < std::size(kCoreErrorNames)) {
    strCopy(name, kCoreErrorNames[event->error_code], sizeof name);
  } else if (event->display) {
    XGetErrorText(event->display, event->error_code, name, sizeof name);
  }
  if (!name[0]) snprintf(name, sizeof name, "%u", event->error_code);
  char *text = strTempAlloc(256);
  snprintf(text, 256, "X error %s %s in %s #%u from %s", name,
           xmiscIdText(static_cast<unsigned>(event->resourceid)),
           requestNameFunction ? requestNameFunction(event->request_code, event->minor_code)
                               : strTempPrintf("request %u.%u", event->request_code, event->minor_code),
           static_cast<unsigned>(event->serial),
           event->display ? DisplayString(event->display) : "?");
  return text;
}

const char *xdisplayGetProperty(Display *display, Window window, Atom atom, unsigned char **data,
                                unsigned long *count, Atom *type, int *format) {
  unsigned long after = 0;
  unsigned char *bytes = nullptr;
  *data = nullptr;
  if (XGetWindowProperty(display, window, atom, 0, LONG_MAX / 4, False, AnyPropertyType, type, format, count,
                         &after, &bytes) != Success)
    return "XGetWindowProperty() failed";
  if (!bytes) {
    bytes = static_cast<unsigned char *>(malloc(1));
    if (!bytes) return "XGetWindowProperty() failed";
    bytes[0] = 0;
  }
  *data = bytes;
  return nullptr;
}

void xdisplayCopyProperty(Display *source, Window sourceWindow, Atom atom, Display *target,
                          Window targetWindow, Atom targetAtom) {
  unsigned char *data;
  unsigned long count;
  Atom type;
  int format;
  if (xdisplayGetProperty(source, sourceWindow, atom, &data, &count, &type, &format)) {
    LOG_UNE();
    return;
  }
  if (count == 0 || count > INT_MAX || type == None) {
    XDeleteProperty(target, targetWindow, targetAtom);
  } else {
    XChangeProperty(target, targetWindow, targetAtom, type, format, PropModeReplace, data, static_cast<int>(count));
  }
  XFree(data);
}

void xdisplayCopyProperties(Display *source, Window sourceWindow, Display *target,
                            Window targetWindow) {
  int count = 0;
  Atom *atoms = XListProperties(source, sourceWindow, &count);
  for (int i = 0; atoms && i < count; i++)
    xdisplayCopyProperty(source, sourceWindow, atoms[i], target, targetWindow, atoms[i]);
  if (atoms) XFree(atoms);
}

Window *xdisplayListSelectionOwners(Display *display, int *count) {
  size_t capacity = 1024;
  auto *owners = static_cast<Window *>(calloc(capacity, sizeof(Window)));
  if (!owners) return nullptr;
  size_t asked = 1;
  // Atom ids are below 2^29; the loop ends at the first that does not exist.
  for (Atom atom = 1; atom < (Atom{1} << 29); atom++) {
    if (atom >= capacity) {
      auto *grown = static_cast<Window *>(realloc(owners, sizeof(Window) * (capacity + 1)));
      if (!grown) {
        free(owners);
        return nullptr;
      }
      owners = grown;
      capacity++;
    }
    xtargetArmErrorTrap(display);
    Window owner = XGetSelectionOwner(display, atom);
    int failed = xtargetDisarmErrorTrap();
    owners[atom] = failed ? 0 : owner;
    asked = atom + 1;
    if (failed) break;
  }
  *count = static_cast<int>(asked);
  return owners;
}

void xdisplaySetCenterHint(Display *display, Window window, int x, int y) {
  Atom atom = XInternAtom(display, "XINERAMA_CENTER_HINT", False);
  if (atom == None) {
    LOG_UNE();
    return;
  }
  short values[2] = {static_cast<short>(x), static_cast<short>(y)};
  XChangeProperty(display, window, atom, XA_INTEGER, 16, PropModeReplace,
                  reinterpret_cast<unsigned char *>(values), 2);
  XFlush(display);
}

Time xdisplayServerTime(Display *display) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  Window window = XCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0, InputOnly,
                                CopyFromParent, CWEventMask, &attributes);
  long value = 0;
  XChangeProperty(display, window, XA_POINT, XA_INTEGER, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(&value), 1);
  XSelectInput(display, window, 0);
  XDestroyWindow(display, window);
  XEvent event;
  XWindowEvent(display, window, PropertyChangeMask, &event);
  return event.xproperty.time;
}

// ----- Extension probes -----------------------------------------------------------------------

int xdisplayQueryDbe(Display *display, int *major, int *minor) {
  static bool complained = false;
  int opcode, firstEvent, firstError;
  if (!XQueryExtension(display, "DOUBLE-BUFFER", &opcode, &firstEvent, &firstError)) return 0;
  if (firstError < 1) {
    if (!complained) LOG(logChannelError, "Can't support non-standard DOUBLE-BUFFER extension");
    complained = true;
    return 0;
  }
  return XdbeQueryExtension(display, major, minor);
}

int xdisplayMultiBufferingOpcode(Display *display) {
  int opcode, firstEvent, firstError;
  if (!XQueryExtension(display, "Multi-Buffering", &opcode, &firstEvent, &firstError)) return 0;
  return opcode;
}

int64_t xdisplayRound(double value) {
  return static_cast<int64_t>(value >= 0 ? value + 0.5 : value - 0.5);
}

namespace {

GC depthGCProvider(Display *display, int screen, int depth) { return xdisplayGetDepthGC(display, screen, depth); }

}  // namespace

void xdisplayInstallHooks(XdisplayRequestNameFn requestName) {
  requestNameFunction = requestName;
  xtargetSetErrorTextFunction(xdisplayErrorText);
  ximageSetGCProvider(depthGCProvider);
}
