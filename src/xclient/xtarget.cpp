// Opening and closing Xlib connections to real X servers, and the process-wide X error trap.
//
// XOpenDisplay can block for a long time on an unreachable or silent server, so the opener
// first probes the display on a socket of its own under the caller's deadline (see below).
#include "xclient/xtarget.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/uio.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <xcb/xcbext.h>
#include <X11/Xlibint.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xext.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xutilh.h"

// Out-of-memory texts name this source file, as the log lines do.
#define XTARGET_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("xtarget")
#include "xclient/idtext.h"

uint32_t imperviousXOpenDisplay = 0;

// An extension's close procedure, as Xlib keeps it in the Display's extension list.
using ExtensionCloseHook = int (*)(Display *display, XExtCodes *codes);

// The error trap: one display whose errors are caught instead of logged. The handler may run
// on another thread than the one that armed the trap (a call of the GL library that reads the
// display's answers while the loop runs on another thread).
static std::atomic<Display *> trappedDisplay{nullptr};
static std::atomic<int> trapErrorCame{0};
static XtargetErrorTextFn errorTextFunction = nullptr;

void xtargetDefaultParams(TargetDisplayParams *params) {
  *params = TargetDisplayParams{};
  const char *name = getenv("DISPLAY");
  params->displayName = name ? name : ":0.0";
  params->timeoutMs = 10000;
  params->secondTimeoutMs = 10000;
}

timespec xtargetDeadline(timespec now, uint32_t timeoutMs) {
  timespec deadline;
  deadline.tv_sec = now.tv_sec + timeoutMs / 1000;
  long nanoseconds = now.tv_nsec + static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (nanoseconds >= 1000000000L) {
    nanoseconds -= 1000000000L;
    deadline.tv_sec += 1;
  }
  deadline.tv_nsec = nanoseconds;
  return deadline;
}

namespace {

// --- Probing a display on a socket of our own -----------------------------------------------
//
// XOpenDisplay holds Xlib's global lock for the whole connect, and a server that accepts but
// never answers keeps it there for good. A thread left inside it would block every later
// XOpenDisplay, XSetErrorHandler and XSetAuthorization of the process. So the opener first asks
// the display on a non-blocking socket of its own, under the caller's deadline: connect, send
// a connection setup and wait for the first 8 bytes of the answer. Any answer, a refusal too,
// proves a live server; only then does XOpenDisplay run, on the calling thread.
//
// A server that answers the probe and then stalls on Xlib's own connection has that connection
// cut at the deadline (below). Limit: the host name of a TCP display is resolved by getaddrinfo
// without a deadline.

enum class ProbeResult { kAlive, kAbsent, kDeadline, kUnknownName };

// Milliseconds left until the deadline on the monotonic clock; 0 once it passed.
int msUntil(const timespec &deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                 (deadline.tv_nsec - now.tv_nsec) / 1000000;
  if (ms <= 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits for `events` on fd until the deadline: 1 ready, 0 deadline, -1 error.
int waitUntil(int fd, short events, const timespec &deadline) {
  for (;;) {
    pollfd slot{fd, events, 0};
    int rc = poll(&slot, 1, msUntil(deadline));
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// One probe over one address: connect, send a setup, read the first 8 bytes of the answer.
ProbeResult probeAddress(int family, int type, int protocol, const sockaddr *address,
                         socklen_t length, const timespec &deadline) {
  int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) return ProbeResult::kAbsent;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return ProbeResult::kAbsent;
    int ready = waitUntil(fd, POLLOUT, deadline);
    if (ready == 0) return ProbeResult::kDeadline;
    int error = 0;
    socklen_t size = sizeof error;
    if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
      return ProbeResult::kAbsent;
  }
  // Little-endian, protocol 11.0, no authorization: the server answers with its 8-byte head.
  static constexpr unsigned char kSetup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  if (send(fd, kSetup, sizeof kSetup, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kSetup))
    return ProbeResult::kAbsent;
  size_t got = 0;
  unsigned char head[8];
  while (got < sizeof head) {
    int ready = waitUntil(fd, POLLIN, deadline);
    if (ready == 0) return ProbeResult::kDeadline;
    if (ready < 0) return ProbeResult::kAbsent;
    ssize_t n = recv(fd, head + got, sizeof head - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return ProbeResult::kAbsent;
    }
  }
  return ProbeResult::kAlive;
}

// A local display's socket: the abstract name first, then the file, as Xlib tries them.
ProbeResult probeLocal(const std::string &path, bool tryAbstract, const timespec &deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() + 1 >= sizeof address.sun_path) return ProbeResult::kAbsent;
  if (tryAbstract) {
    memcpy(address.sun_path + 1, path.data(), path.size());
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    ProbeResult result = probeAddress(AF_UNIX, SOCK_STREAM, 0,
                                      reinterpret_cast<sockaddr *>(&address), length, deadline);
    if (result != ProbeResult::kAbsent) return result;
    memset(address.sun_path, 0, sizeof address.sun_path);
  }
  memcpy(address.sun_path, path.data(), path.size());
  return probeAddress(AF_UNIX, SOCK_STREAM, 0, reinterpret_cast<sockaddr *>(&address),
                      sizeof address, deadline);
}

ProbeResult probeTcp(const std::string &host, unsigned port, const timespec &deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return ProbeResult::kAbsent;
  ProbeResult result = ProbeResult::kAbsent;
  for (addrinfo *a = found; a && result == ProbeResult::kAbsent; a = a->ai_next)
    result = probeAddress(a->ai_family, a->ai_socktype, a->ai_protocol, a->ai_addr, a->ai_addrlen,
                          deadline);
  freeaddrinfo(found);
  return result;
}

}  // namespace

// "[protocol/][host]:display[.screen]" as Xlib reads it; a name starting with '/' is a socket
// path. 1 when understood: *host is "" for a local socket (then *path is set), else the TCP host.
namespace {

int parseDisplayName(const char *name, std::string *host, std::string *path, unsigned *number) {
  std::string text = name;
  std::string protocol;
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return 0;
  if (text[0] == '/') {  // a socket path, optionally followed by ":display[.screen]"
    std::string file = text.substr(0, colon);
    struct stat status;
    if (stat(text.c_str(), &status) == 0 || colon == 0) file = text;
    *host = "";
    *path = file;
    *number = 0;
    return 1;
  }
  size_t slash = text.find('/');
  if (slash != std::string::npos && slash < colon) {
    protocol = text.substr(0, slash);
    text = text.substr(slash + 1);
    colon = text.rfind(':');
  }
  std::string hostPart = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  if (!hostPart.empty() && hostPart.back() == ':') return 0;  // DECnet "host::n"
  if (hostPart.size() >= 2 && hostPart.front() == '[' && hostPart.back() == ']')
    hostPart = hostPart.substr(1, hostPart.size() - 2);
  size_t digits = 0;
  while (digits < rest.size() && isdigit(static_cast<unsigned char>(rest[digits]))) digits++;
  if (digits == 0 || digits > 5) return 0;
  if (digits < rest.size() && rest[digits] != '.') return 0;
  *number = static_cast<unsigned>(std::stoul(rest.substr(0, digits)));
  bool local = protocol == "unix" || protocol == "local" ||
               (protocol.empty() && (hostPart.empty() || hostPart == "unix"));
  if (!protocol.empty() && !local && protocol != "tcp" && protocol != "inet" &&
      protocol != "inet6")
    return 0;
  if (local) {
    *host = "";
    *path = "/tmp/.X11-unix/X" + std::to_string(*number);
  } else {
    *host = hostPart.empty() ? "localhost" : hostPart;
    path->clear();
  }
  return 1;
}

}  // namespace

int xtargetParseDisplayName(const char *name, TargetDisplayAddress *address) {
  *address = TargetDisplayAddress{};
  if (!name) return 0;
  try {
    std::string host, path;
    unsigned number = 0;
    if (!parseDisplayName(name, &host, &path, &number)) return 0;
    if (host.size() >= sizeof address->host || path.size() >= sizeof address->path) return 0;
    strCopy(address->host, host.c_str(), sizeof address->host);
    strCopy(address->path, path.c_str(), sizeof address->path);
    address->number = number;
    return 1;
  } catch (const std::bad_alloc &) {
    return 0;
  }
}

namespace {

ProbeResult probeDisplay(const char *name, const timespec &deadline) {
  TargetDisplayAddress address;
  if (!xtargetParseDisplayName(name, &address)) return ProbeResult::kUnknownName;
  std::string host = address.host, path = address.path;
  unsigned number = address.number;
  if (host.empty()) return probeLocal(path, name[0] != '/', deadline);
  if (number > 65535 - 6000) return ProbeResult::kAbsent;
  return probeTcp(host, 6000 + number, deadline);
}

// --- Cutting an XOpenDisplay that outlives its deadline -------------------------------------
//
// A server that answers the probe can still stall on Xlib's own connection. While XOpenDisplay
// runs, a watch thread waits for the deadline; if XOpenDisplay has not returned by then, the
// watch shuts down the sockets to that server which appeared since the open began (told apart
// from older ones by their inodes, so a reused descriptor number is no new socket). xcb then
// reads the end of the stream: a stall in the connection setup makes XOpenDisplay return NULL;
// a stall in its round trips after the setup reaches the I/O error handler (the proxy's ends
// the process with its "Broken connection" text). Either way no call stays inside Xlib.

// The inodes of the process's open sockets.
std::vector<ino_t> socketInodes() {
  std::vector<ino_t> inodes;
  DIR *directory = opendir("/proc/self/fd");
  if (!directory) return inodes;
  while (dirent *entry = readdir(directory)) {
    struct stat status;
    if (entry->d_name[0] == '.' || fstatat(dirfd(directory), entry->d_name, &status, 0) != 0) continue;
    if (S_ISSOCK(status.st_mode)) inodes.push_back(status.st_ino);
  }
  closedir(directory);
  return inodes;
}

// Whether the socket's peer is the display: its local socket (file or abstract name) or its
// TCP port.
bool peerIsDisplay(int fd, const TargetDisplayAddress &address) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return false;
  if (peer.ss_family == AF_UNIX) {
    if (address.host[0]) return false;
    const auto *local = reinterpret_cast<const sockaddr_un *>(&peer);
    size_t size = length > offsetof(sockaddr_un, sun_path) ? length - offsetof(sockaddr_un, sun_path) : 0;
    const char *path = local->sun_path;
    if (size > 0 && path[0] == '\0') path++, size--;  // an abstract name
    std::string_view name(path, strnlen(path, size));
    return name == address.path;
  }
  unsigned port = 6000 + address.number;
  if (peer.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port) == port;
  if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port) == port;
  return false;
}

// Shuts down the sockets to the display that are not among `before`; true when one was found.
bool cutNewConnections(const std::vector<ino_t> &before, const TargetDisplayAddress &address) {
  bool cut = false;
  DIR *directory = opendir("/proc/self/fd");
  if (!directory) return false;
  while (dirent *entry = readdir(directory)) {
    char *end = nullptr;
    long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end || fd == dirfd(directory)) continue;
    struct stat status;
    if (fstatat(dirfd(directory), entry->d_name, &status, 0) != 0 || !S_ISSOCK(status.st_mode)) continue;
    if (std::find(before.begin(), before.end(), status.st_ino) != before.end()) continue;
    if (!peerIsDisplay(int(fd), address)) continue;
    shutdown(int(fd), SHUT_RDWR);
    cut = true;
  }
  closedir(directory);
  return cut;
}

// XOpenDisplay under a deadline: NULL when it failed or had to be cut (a display it still
// returned after the cut is closed without a round trip).
Display *openCut(const char *xlibName, const char *name, const timespec &deadline) {
  TargetDisplayAddress address;
  if (!name || !xtargetParseDisplayName(name, &address)) return XOpenDisplay(xlibName);
  std::vector<ino_t> before = socketInodes();
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false, cut = false;
  std::thread watch;
  try {
    watch = std::thread([&] {
      std::unique_lock<std::mutex> lock(mutex);
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(msUntil(deadline));
      if (changed.wait_until(lock, end, [&] { return done; })) return;
      cut = cutNewConnections(before, address);
    });
  } catch (const std::system_error &) {
    return XOpenDisplay(xlibName);  // no thread to spare: the open runs without its watch
  }
  Display *display = XOpenDisplay(xlibName);
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  changed.notify_all();
  watch.join();
  if (cut) {
    LOG(logChannelProblem, "Display %s answered its probe but not the connection setup in time", name);
    if (display) xtargetCloseDisplay(display);
    return nullptr;
  }
  return display;
}

// Tries to open the display once a second until the deadline; NULL when none came in time.
// Every try probes first, so XOpenDisplay only runs against a server that answers, and every
// XOpenDisplay is cut at the deadline (at least kOpenLeastMs after its probe).
constexpr uint32_t kOpenLeastMs = 1000;

Display *connectWithDeadline(const TargetDisplayParams *params) {
  const char *name = params->displayName && params->displayName[0] ? params->displayName
                                                                    : getenv("DISPLAY");
  timespec started;
  clock_gettime(CLOCK_MONOTONIC, &started);
  timespec deadline = xtargetDeadline(started, params->timeoutMs);
  for (timespec attempt = started;;) {
    ProbeResult probe = probeDisplay(name, deadline);
    // A name the probe does not understand is left to Xlib, which refuses it at once.
    if (probe == ProbeResult::kUnknownName) {
      if (Display *display = XOpenDisplay(params->displayName)) return display;
    } else if (probe == ProbeResult::kAlive) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      timespec least = xtargetDeadline(now, params->timeoutMs < kOpenLeastMs ? params->timeoutMs : kOpenLeastMs);
      if (Display *display = openCut(params->displayName, name, msUntil(least) > msUntil(deadline) ? least : deadline))
        return display;
    }
    if (msUntil(deadline) == 0) return nullptr;
    timespec next = xtargetDeadline(attempt, 1000);
    if (msUntil(next) > msUntil(deadline)) next = deadline;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    if (msUntil(deadline) == 0) return nullptr;
    clock_gettime(CLOCK_MONOTONIC, &attempt);
  }
}

// The text of an X error, for the log: "X error <name> <resource> in <request> #<serial> from
// <display>". Core errors go by their protocol names, others by Xlib's text; requests by their
// opcodes.
const char *trapErrorText(Display *display, XErrorEvent *event) {
  static constexpr const char *kCoreErrorNames[] = {
      "0",         "BadRequest", "BadValue",    "BadWindow", "BadPixmap", "BadAtom",
      "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
      "BadColor",  "BadGC",      "BadIDChoice", "BadName",   "BadLength", "BadImplementation"};
  char name[128] = "";
  if (event->error_code < std::size(kCoreErrorNames)) {
    strCopy(name, kCoreErrorNames[event->error_code], sizeof name);
  } else if (display) {
    XGetErrorText(display, event->error_code, name, sizeof name);
  }
  if (!name[0]) snprintf(name, sizeof name, "%u", event->error_code);
  char *text = strTempAlloc(256);
  snprintf(text, 256, "X error %s %s in request %u.%u #%u from %s", name,
           xmiscIdText(static_cast<unsigned>(event->resourceid)), event->request_code,
           event->minor_code, static_cast<unsigned>(event->serial),
           display ? XDisplayName(XDisplayString(display)) : "?");
  return text;
}

// Leaves the proxy's identity on the server: a short-lived window with a name and the host.
void leaveIdentity(Display *display, const char *identityName) {
  Window window = XCreateWindow(display, RootWindow(display, 0), 0, 0, 1, 1, 0, CopyFromParent,
                                InputOnly, CopyFromParent, 0, nullptr);
  if (identityName) XStoreName(display, window, identityName);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  XTextProperty property;
  property.value = reinterpret_cast<unsigned char *>(host);
  property.encoding = XA_STRING;
  property.format = 8;
  property.nitems = strlen(host);
  XSetWMClientMachine(display, window, &property);
  XDestroyWindow(display, window);
}

// Requests on the connection keep being carried out while another client grabs the server.
void makeImpervious(Display *display) {
  int eventBase, errorBase, major, minor;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) return;
  if (major > 2 || (major == 2 && minor >= 2)) XTestGrabControl(display, True);
}

}  // namespace

const char *xtargetOpenDisplay(const TargetDisplayParams *params, const char *identityName,
                               Display **display) {
  uint32_t flags = params->openFlags;
  if (params->extraOpenFlag) flags |= kXtargetOpenExtra;
  imperviousXOpenDisplay = flags;
  signal(SIGPIPE, SIG_IGN);
  if (params->authName) {
    XSetAuthorization(params->authName, params->authNameLength, params->authData,
                      params->authDataLength);
  }
  XSetErrorHandler(xtargetTrapErrorHandler);
  XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);

  Display *opened = nullptr;
  try {
    opened = connectWithDeadline(params);
  } catch (const std::bad_alloc &) {
    if (params->authName) XSetAuthorization(nullptr, 0, nullptr, 0);
    return XTARGET_OUT_OF_MEMORY();
  }

  if (params->authName) XSetAuthorization(nullptr, 0, nullptr, 0);
  if (!opened) {
    return strTempPrintf(
        "Can't connect to display '%s' for %u seconds - Make sure the X Window server is "
        "available and access is granted",
        params->displayName ? params->displayName : "", params->timeoutMs / 1000);
  }
  if (params->synchronous) XSynchronize(opened, True);
  if (flags & kXtargetOpenImpervious) {
    // Its extension queries are Xlib round trips: asked only of a server that answered in time.
    if (const char *failure = xtargetSync(opened, xtargetSyncLimitMs)) {
      std::string kept = failure;
      xtargetCloseDisplay(opened);
      return strTempPrintf("Display '%s' stopped answering after the connection: %s",
                           params->displayName ? params->displayName : "", kept.c_str());
    }
    makeImpervious(opened);
  }
  leaveIdentity(opened, identityName);
  *display = opened;
  return nullptr;
}

uint32_t xtargetSyncLimitMs = 0;

namespace {

// A broken connection goes to Xlib's I/O error handling at once, as XSync takes it.
const char *brokenConnection(Display *display) {
  XSync(display, False);
  return "the connection to the X server is broken";
}

}  // namespace

// How long a wait for an answer sleeps at most before it looks again for one read by another thread.
constexpr int64_t kReplyLookMs = 10;

const char *xtargetWaitReply(Display *display, unsigned sequence, uint32_t limitMs, void **reply,
                             xcb_generic_error_t **error) {
  *reply = nullptr;
  if (error) *error = nullptr;
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection || xcb_connection_has_error(connection)) return brokenConnection(display);
  xcb_flush(connection);
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    void *answer = nullptr;
    xcb_generic_error_t *failure = nullptr;
    if (limitMs ? xcb_poll_for_reply(connection, sequence, &answer, &failure) != 0
                : (answer = xcb_wait_for_reply(connection, sequence, &failure), true)) {
      if (!answer && !failure && xcb_connection_has_error(connection)) return brokenConnection(display);
      *reply = answer;
      if (error)
        *error = failure;
      else
        free(failure);
      // What came before the answer goes into Xlib's queue now (its errors to the handler).
      LockDisplay(display);
      _XEventsQueued(display, QueuedAfterReading);
      UnlockDisplay(display);
      return nullptr;
    }
    if (xcb_connection_has_error(connection)) return brokenConnection(display);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t spent = (int64_t(now.tv_sec) - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (spent >= int64_t(limitMs)) {
      xcb_discard_reply(connection, sequence);
      return strTempPrintf("the X server did not answer within %u ms", unsigned(limitMs));
    }
    // In short waits: another thread's call on this connection (the GL library's, made outside
    // the loop) may read the answer off the socket meanwhile, which then never wakes this poll.
    pollfd wait{xcb_get_file_descriptor(connection), POLLIN, 0};
    poll(&wait, 1, int(std::min<int64_t>(int64_t(limitMs) - spent, kReplyLookMs)));
  }
}

const char *xtargetReplyWithin(Display *display, unsigned sequence, uint32_t limitMs, const char *name,
                               void **reply) {
  xcb_generic_error_t *error = nullptr;
  if (const char *failure = xtargetWaitReply(display, sequence, limitMs, reply, &error)) return failure;
  if (error || !*reply) {
    const char *text = strTempPrintf("The X server answered %s with error %u", name, error ? error->error_code : 0u);
    free(error);
    free(*reply);
    *reply = nullptr;
    return text;
  }
  return nullptr;
}

const char *xtargetRoundTrip(Display *display, const void *request, size_t length, uint32_t limitMs,
                             uint8_t **reply) {
  *reply = nullptr;
  if (length < 4 || length % 4 || length > 0x3fffc) return "a malformed request for the X server";
  XFlush(display);
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection || xcb_connection_has_error(connection)) return brokenConnection(display);
  // The request goes out whole as the caller built it (header and length included).
  xcb_protocol_request_t protocol{};
  protocol.count = 1;
  protocol.ext = nullptr;
  protocol.opcode = static_cast<const uint8_t *>(request)[0];
  protocol.isvoid = 0;
  iovec parts[3]{};
  parts[2].iov_base = const_cast<void *>(request);
  parts[2].iov_len = length;
  unsigned sequence = xcb_send_request(connection, XCB_REQUEST_RAW | XCB_REQUEST_CHECKED, parts + 2, &protocol);
  if (!sequence) return brokenConnection(display);
  void *answer = nullptr;
  xcb_generic_error_t *error = nullptr;
  if (const char *failure = xtargetWaitReply(display, sequence, limitMs, &answer, &error)) return failure;
  if (error) {
    const char *text = strTempPrintf("the X server answered with error %u", unsigned(error->error_code));
    free(error);
    free(answer);
    return text;
  }
  if (!answer) return "the X server gave no answer";
  *reply = static_cast<uint8_t *>(answer);
  return nullptr;
}

const char *xtargetSync(Display *display, uint32_t limitMs) {
  if (!limitMs) {
    XSync(display, False);
    return nullptr;
  }
  XFlush(display);
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection || xcb_connection_has_error(connection)) return brokenConnection(display);
  // The xcb request on Xlib's connection: Xlib hands its socket back first, and every event and
  // error read while waiting stays queued for Xlib.
  xcb_get_input_focus_cookie_t cookie = xcb_get_input_focus(connection);
  void *reply = nullptr;
  const char *failure = xtargetWaitReply(display, cookie.sequence, limitMs, &reply, nullptr);
  free(reply);
  return failure;
}

int xtargetCloseDisplay(Display *display) {
  if (!display) return 0;
  xtargetArmErrorTrap(display);
  // XCloseDisplay skips its own clean-up and round trips when it finds this flag.
  display->flags = display->flags | XlibDisplayClosing;
  // Nothing buffered goes out, and no request below may cause a flush or a round trip (a
  // synchronous connection would sync after each one).
  display->bufptr = display->buffer;
  display->synchandler = nullptr;
  display->savedsynchandler = nullptr;
  display->flags = display->flags & ~XlibDisplayPrivSync;
  for (int i = 0; i < display->nscreens; i++) {
    Screen *screen = &display->screens[i];
    if (screen->default_gc) {
      XFreeGC(display, screen->default_gc);
      screen->default_gc = nullptr;
    }
  }
  if (display->cursor_font != None) {
    XUnloadFont(display, display->cursor_font);
    display->cursor_font = None;
  }
  for (_XExtension *extension = display->ext_procs; extension; extension = extension->next) {
    if (extension->close_display) {
      ExtensionCloseHook hook = extension->close_display;
      hook(display, &extension->codes);
      extension->close_display = nullptr;
    }
  }
  display->bufptr = display->buffer;
  // The atom cache stays: XCloseDisplay frees it with the rest of the Display.
  XCloseDisplay(display);
  return xtargetDisarmErrorTrap();
}

void xtargetSetErrorTextFunction(XtargetErrorTextFn function) { errorTextFunction = function; }

void xtargetArmErrorTrap(Display *display) {
  trappedDisplay = display;
  trapErrorCame = 0;
}

int xtargetDisarmErrorTrap() {
  trappedDisplay = nullptr;
  return trapErrorCame;
}

int xtargetTrapErrorHandler(Display *display, XErrorEvent *event) {
  if (display && display == trappedDisplay) {
    trapErrorCame = 1;
    return 0;
  }
  LOG(logChannelXerror, "%s",
      errorTextFunction ? errorTextFunction(event) : trapErrorText(display, event));
  return 0;
}

int xtargetTrapExtensionErrorHandler(Display *display, _Xconst char *extensionName,
                                     _Xconst char *reason) {
  if (display && display == trappedDisplay) {
    trapErrorCame = 1;
    return 0;
  }
  if (reason && strcmp(reason, "missing") == 0) return 0;
  fprintf(stderr, "Error in X extension %s: %s (display %s)\n", extensionName ? extensionName : "",
          reason ? reason : "", display ? XDisplayName(XDisplayString(display)) : "");
  return 0;
}
