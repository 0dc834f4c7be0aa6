#include "fuzzharness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakecore.h"
#include "proxy/access.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "proxy/xtrans.h"
#include "proxy/xvisual.h"
#include "support/orders.h"
#include "support/outbuffer.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

const uint8_t kFuzzCookie[16] = {0x5a, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0xa5};

namespace {

// The world. core: made by fuzzWorldInit, freed by fuzzShutdown. The listener and the server
// display of the setup runs: made by the first setup run, closed by fuzzShutdown.
FakeCore *core;
int setupListener = -1;
ServerDisplay setupDisplay;

// Loop passes a run may take at most: a stream that keeps the proxy busy longer than that is
// cut off (the run still ends with the close).
constexpr int kPassesMax = 5000;
// Bytes the fake server keeps of what the proxy wrote, unread, before it drops them: the proxy
// must not be able to make the harness grow without bound either.
constexpr size_t kServerPendingMax = 64u << 20;

uint32_t get16(const uint8_t *p) { return p[0] | uint32_t(p[1]) << 8; }
uint32_t get32(const uint8_t *p) { return get16(p) | get16(p + 2) << 16; }
void put16(uint8_t *p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(uint8_t *p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }

void nonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what the descriptor has now; false when the peer has gone.
bool drainInto(int fd, std::vector<uint8_t> *into, size_t *total) {
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (into) into->insert(into->end(), buffer, buffer + n);
      if (total) *total += size_t(n);
      continue;
    }
    return n < 0;  // 0: end of file; -1 (EAGAIN): nothing more now
  }
}

// Writes as much of the queue as the descriptor takes.
void writeSome(int fd, std::vector<uint8_t> *queue) {
  while (!queue->empty()) {
    ssize_t n = write(fd, queue->data(), queue->size());
    if (n <= 0) return;
    queue->erase(queue->begin(), queue->begin() + n);
  }
}

// ---- the fake server side of one display connection ----

// One display connection seen from the server, served by a thread of its own: the proxy's
// syncs block the loop's thread until their reply is there. The thread owns everything but the
// atomics until it is joined; the run's thread reads only the atomics and, through
// quiescent(), the socket's unread byte count.
// Lifetime: made by the run (fuzzServeClient, fuzzServeSetup), its thread started by start();
// stop() (endRun) wakes the thread through the stop pipe, joins it and closes both sockets.
struct FakeServer {
  int fd = -1;
  bool setupRead = true;  // false while the proxy's connection setup is still to come
  int setupAnswer = 0;
  bool answerAll = false;
  std::vector<uint8_t> pending;
  std::vector<uint8_t> answers;
  uint32_t sequence = 0;
  std::atomic<size_t> bytesSeen{0};
  std::atomic<bool> busy{false};  // between reading the proxy's bytes and queueing the answers
  int stopPipe[2] = {-1, -1};
  std::thread thread;

  void start();
  void stop();
  bool quiescent() const;
};

bool coreHasReply(uint8_t opcode) {
  for (const XcoreRequestRow &row : xcoreRequestRows)
    if (row.opcode == opcode) return row.hasReply;
  return false;
}

bool hasReply(const uint8_t *request) {
  if (request[0] < 128) return coreHasReply(request[0]);
  const ExtRequestRow *row = extFindRow(request[0], request[1]);
  return row && row->replyLayout;
}

// The setup answer the run chose: an accepted setup with the fixed part and a vendor (no
// formats, no screens: the proxy reads only the id base and mask and the keycodes), a refusal,
// a success too short to hold its fixed part, or an authentication request.
void writeSetupAnswer(FakeServer &s) {
  uint8_t a[48] = {};
  size_t length = 8;
  switch (s.setupAnswer) {
    case 1:  // refused, with a reason
      a[0] = 0, a[1] = 6;
      put16(a + 2, 11);
      put16(a + 6, 2);
      memcpy(a + 8, "nofuzz", 6);
      length = 16;
      break;
    case 2:  // a success of 8 bytes
      a[0] = 1;
      put16(a + 2, 11);
      length = 8;
      break;
    case 3:  // authenticate
      a[0] = 2;
      put16(a + 6, 2);
      memcpy(a + 8, "moreauth", 8);
      length = 16;
      break;
    default:
      a[0] = 1;
      put16(a + 2, 11);
      put16(a + 6, 10);           // 40 more bytes
      put32(a + 12, 0x00400000);  // resource id base
      put32(a + 16, 0x001fffff);  // resource id mask
      put32(a + 20, 256);         // motion buffer
      put16(a + 24, 4);           // vendor length
      put16(a + 26, 0xffff);      // maximum request length
      a[34] = 8, a[35] = 255;     // keycodes
      memcpy(a + 40, "fuzz", 4);
      length = 48;
  }
  s.answers.insert(s.answers.end(), a, a + length);
}

// Cuts what the proxy wrote into its setup and requests and queues the answers: GetInputFocus
// (the proxy's round trips), GetAtomName of atom 3 (its syncs, "ARC"), BigReqEnable, and with
// answerAll every other request that has a reply (32 bytes, zero but for the header).
// Returns false when the proxy has closed the connection.
bool serveServer(FakeServer &s) {
  bool open = drainInto(s.fd, &s.pending, nullptr);
  s.bytesSeen += s.pending.size();
  if (s.pending.size() > kServerPendingMax) s.pending.clear();
  size_t at = 0;
  if (!s.setupRead && s.pending.size() >= 12) {
    uint64_t total = 12 + ((get16(&s.pending[6]) + 3ull) & ~3ull) + ((get16(&s.pending[8]) + 3ull) & ~3ull);
    if (s.pending.size() >= total) {
      at = size_t(total);
      s.setupRead = true;
      writeSetupAnswer(s);
    }
  }
  while (s.setupRead && at + 4 <= s.pending.size()) {
    const uint8_t *r = &s.pending[at];
    uint64_t words = get16(r + 2);
    if (words == 0) {
      if (at + 8 > s.pending.size()) break;
      words = get32(r + 4);
    }
    uint64_t length = words * 4;
    if (length < 4) {
      // No server could cut this: what follows is dropped, as a real server would drop the
      // connection.
      s.pending.clear();
      at = 0;
      break;
    }
    if (at + length > s.pending.size()) break;
    s.sequence++;
    bool bigReqEnable = r[0] == kFuzzBigRequestsMajor && r[1] == 0;
    bool sync = r[0] == 17 && length == 8 && get32(r + 4) == 3;
    if (sync) {
      uint8_t reply[36] = {1};
      put16(reply + 2, s.sequence);
      put32(reply + 4, 1);
      put16(reply + 8, 3);
      memcpy(reply + 32, "ARC", 3);
      s.answers.insert(s.answers.end(), reply, reply + sizeof reply);
    } else if (r[0] == 43 || bigReqEnable || (s.answerAll && hasReply(r))) {
      uint8_t reply[32] = {1};
      put16(reply + 2, s.sequence);
      if (bigReqEnable) put32(reply + 8, kFuzzServerBigRequestWords);
      s.answers.insert(s.answers.end(), reply, reply + sizeof reply);
    }
    at += size_t(length);
  }
  s.pending.erase(s.pending.begin(), s.pending.begin() + long(at));
  writeSome(s.fd, &s.answers);
  return open;
}

void serverLoop(FakeServer *s) {
  for (;;) {
    pollfd p[2] = {{s->fd, short(POLLIN | (s->answers.empty() ? 0 : POLLOUT)), 0}, {s->stopPipe[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[1].revents) break;
    s->busy = true;
    bool open = serveServer(*s);
    s->busy = false;
    if (!open) break;
  }
  s->busy = false;
}

void FakeServer::start() {
  if (pipe2(stopPipe, O_CLOEXEC) != 0) abort();
  thread = std::thread(serverLoop, this);
}

void FakeServer::stop() {
  if (thread.joinable()) {
    if (write(stopPipe[1], "x", 1) != 1) abort();
    thread.join();
  }
  for (int fd : {stopPipe[0], stopPipe[1], fd})
    if (fd >= 0) close(fd);
  stopPipe[0] = stopPipe[1] = fd = -1;
}

// Nothing unread on the server's end and nothing being answered: whatever the proxy wrote has
// been served.
bool FakeServer::quiescent() const {
  int unread = 0;
  if (fd >= 0) ioctl(fd, FIONREAD, &unread);
  return unread == 0 && !busy;
}

// ---- the client side ----

bool listed(const ClientConnection *client) {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c == client) return true;
  return false;
}

// One run's client from the harness's side. client: NULL once the proxy has freed it (the
// proxy closes its end of the socket with it). peer: the harness's end, closed by endRun.
// servers: made and started by the run, stopped by endRun.
struct Session {
  ClientConnection *client = nullptr;
  int peer = -1;
  std::vector<std::unique_ptr<FakeServer>> servers;
  size_t received = 0;
};

// The state a run may change and the next run must not inherit.
void startRun() {
  core->clearLog();
  xprotoBigRequestMaximum = 4ull * kFuzzServerBigRequestWords;
}

int unreadOn(int fd) {
  int unread = 0;
  if (fd >= 0) ioctl(fd, FIONREAD, &unread);
  return unread;
}

// Nothing left to move: the client socket and the proxy's display sockets read, every fake
// server done with what the proxy wrote. (Bytes the proxy keeps in its buffers, such as an
// incomplete request, stay where they are.)
bool quiescent(const Session &s) {
  if (s.client) {
    if (unreadOn(s.client->fd) > 0) return false;
    for (uint32_t i = 0; i < s.client->displayCount; i++) {
      const DisplayConnection *d = s.client->displays[i];
      if (unreadOn(d->fd) > 0 || d->output.first) return false;
    }
  }
  for (const auto &server : s.servers)
    if (!server->quiescent()) return false;
  return true;
}

// One pass of the loop with the fake clock 9 ms on (the 8 ms order of buffered input, stream
// rechecks), then the client's output read away; false once the client is gone.
bool loopPass(Session &s) {
  core->advanceMs(kMiscBufferedInputDelayMs + 1);
  if (s.client && !listed(s.client)) s.client = nullptr;
  if (s.client && s.client->fd >= 0) outbufferFlush(&s.client->output);
  drainInto(s.peer, nullptr, &s.received);
  return s.client != nullptr;
}

// Writes the next piece of the stream (the options' chunk size, or the rest) as far as the
// socket takes it.
void writeChunk(Session &s, const FuzzOptions &options, const uint8_t *stream, size_t length, size_t *written) {
  if (*written >= length) return;
  size_t want = options.chunk ? std::min<size_t>(options.chunk, length - *written) : length - *written;
  ssize_t n = write(s.peer, stream + *written, want);
  if (n > 0) *written += size_t(n);
}

// Writes the stream and runs the loop until the stream has been taken and nothing moves any
// more, or the client is gone, or the pass limit.
void pump(Session &s, const FuzzOptions &options, const uint8_t *stream, size_t length) {
  size_t written = 0;
  int calm = 0;
  for (int pass = 0; pass < kPassesMax && calm < 2; pass++) {
    writeChunk(s, options, stream, length, &written);
    if (!loopPass(s)) break;  // the proxy closed the client: the rest of the stream is not read
    if (written < length || !quiescent(s)) {
      calm = 0;
      // A fake server still busy gets the processor.
      std::this_thread::yield();
    } else {
      calm++;
    }
  }
}

// What every run must give back, measured after the first run (which makes the listeners):
// the lowest free descriptor and the loop's descriptor orders. A run that leaves a client
// listed, its resource slot taken, a descriptor open or a descriptor order armed ends the
// process, so that the fuzzer keeps its input.
struct Baseline {
  bool taken = false;
  int lowestFreeFd = -1;
  int descriptorOrders = 0;
} baseline;

int descriptorOrders() {
  int n = 0;
  const pollfd *table = ordersPollTable();
  for (int i = 0; i < ordersPollInUse(); i++)
    if (table[i].fd >= 0) n++;
  return n;
}

int lowestFreeFd() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

[[noreturn]] void notRestored(const char *what) {
  fprintf(stderr, "fuzz: the run left %s behind\n", what);
  for (const std::string &line : core->log()) fprintf(stderr, "fuzz log: %s\n", line.c_str());
  abort();
}

void checkRestored(uint32_t clientIndex) {
  if (xproxyClients) notRestored("a listed client");
  if (clientIndex && resourceTableOf(clientIndex)) notRestored("the client's resource slot");
  if (!baseline.taken) {
    baseline = Baseline{true, lowestFreeFd(), descriptorOrders()};
    return;
  }
  if (descriptorOrders() != baseline.descriptorOrders) notRestored("a descriptor order");
  // A worker of the thread pool may still be closing what a stream of the run had open: a
  // descriptor counts as left behind when it is still open a second later.
  for (int waited = 0; lowestFreeFd() != baseline.lowestFreeFd; waited++) {
    if (waited == 1000) {
      char link[64], target[256] = "?";
      snprintf(link, sizeof link, "/proc/self/fd/%d", baseline.lowestFreeFd);
      ssize_t n = readlink(link, target, sizeof target - 1);
      if (n > 0) target[n] = 0;
      fprintf(stderr, "fuzz: descriptor %d is open on %s\n", baseline.lowestFreeFd, target);
      notRestored("an open descriptor");
    }
    usleep(1000);
  }
}

// Closes what is left of the run: the client as the proxy closes one (no reset asked for),
// then the fake servers and every descriptor of the harness.
void endRun(Session &s) {
  uint32_t clientIndex = s.client ? s.client->index : 0;
  if (s.client && listed(s.client)) {
    ClientConnection *c = s.client;
    c->closeDownMode = 0;
    c->setUp = 0;  // no "End of last client" reset
    c->closingForReset = 1;
    xproxyCloseClient(c, "fuzz run over", 0);
  }
  s.client = nullptr;
  for (auto &server : s.servers) server->stop();
  if (s.peer >= 0) close(s.peer);
  s = Session{};
  // A connection the proxy made and the run never took is not left for the next run.
  if (setupListener >= 0)
    for (int stale; (stale = accept4(setupListener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(stale);
  // What the close left for the loop (cancelled orders) goes now.
  core->runLoopOnce();
  // A client the proxy closed during the run (a KillClient of its own resource, a fatal
  // request) departs: its fake servers are gone now, so its departure ends within the watch's
  // bound of fake time; one still listed after twice that is left behind.
  for (uint64_t waited = 0; xproxyDepartureCount() > 0 && waited <= 2 * kXproxyDepartureLimitMs; waited += 100)
    core->advanceMs(100);
  if (xproxyDepartureCount() > 0) notRestored("a departure");
  // TARVO_FUZZ_LOG=1 shows what the proxy logged during the run (to look into one input).
  static const bool showLog = getenv("TARVO_FUZZ_LOG") != nullptr;
  if (showLog)
    for (const std::string &line : core->log()) fprintf(stderr, "fuzz log: %s\n", line.c_str());
  checkRestored(clientIndex);
}

// ---- listeners on abstract unix sockets ----

// Fills an abstract address "@/tmp/.X11-unix/X<n>"; its length.
socklen_t abstractAddress(int n, sockaddr_un *address) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  int pathLength = snprintf(address->sun_path + 1, sizeof address->sun_path - 1, "/tmp/.X11-unix/X%d", n);
  return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(pathLength));
}

// The first display number from `from` on whose abstract socket `make` can listen; -1 when none.
template <typename Make>
int firstFreeNumber(int from, Make make) {
  for (int n = from, tries = 0; tries < 500; n++, tries++)
    if (make(n)) return n;
  return -1;
}

int firstNumber() { return 40000 + int(getpid() % 20000); }

// The clients' listener, as the proxy's listeners are made (the transport layer's "local",
// abstract socket only), and its number. Made by the first run, closed by fuzzShutdown.
XtransConnInfo clientListener;
int clientListenerNumber = -1;

void clientWorld() {
  if (clientListener) return;
  clientListenerNumber = firstFreeNumber(firstNumber(), [](int n) {
    char name[32], port[16];
    snprintf(name, sizeof name, "local/:%d", n);
    snprintf(port, sizeof port, "%d", n);
    XtransConnInfo listener = _X11TransOpenCOTSServer(name);
    if (!listener) return false;
    if (_X11TransCreateListener(listener, port, 0) != 0) {
      _X11TransClose(listener);
      return false;
    }
    clientListener = listener;
    return true;
  });
  if (clientListenerNumber < 0) {
    fprintf(stderr, "fuzz: no abstract socket for the clients' listener\n");
    abort();
  }
}

// A client connection as the listener hands it to the proxy: adopted with its accepted
// transport; *peer gets the harness's end. NULL when the connection could not be made.
ClientConnection *connectClient(int *peer) {
  clientWorld();
  sockaddr_un address;
  socklen_t size = abstractAddress(clientListenerNumber, &address);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), size) != 0) {
    close(fd);
    return nullptr;
  }
  nonBlocking(fd);
  int accepted = -1;
  XtransConnInfo transport = clientconnectionAccept(clientListener, &accepted);
  if (!transport) {
    close(fd);
    return nullptr;
  }
  ClientConnection *client = xproxyAdoptClient(transport, accepted);
  if (!client) {
    close(fd);
    return nullptr;
  }
  *peer = fd;
  return client;
}

// The setup runs' real display: a plain listener on an abstract socket whose connections the
// harness accepts and serves as the real server. Made by the first setup run, closed by
// fuzzShutdown.
int setupListenerNumber() {
  return firstFreeNumber(firstNumber() + 1000, [](int n) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address;
    socklen_t size = abstractAddress(n, &address);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 && listen(fd, 16) == 0) {
      nonBlocking(fd);
      setupListener = fd;
      return true;
    }
    close(fd);
    return false;
  });
}

void setupWorld() {
  if (setupListener >= 0) return;
  int number = setupListenerNumber();
  if (number < 0) {
    fprintf(stderr, "fuzz: no abstract socket to listen on\n");
    abort();
  }
  setupDisplay = ServerDisplay{};
  char name[32];
  snprintf(name, sizeof name, "local/:%d", number);
  setupDisplay.name = strdup(name);
  snprintf(setupDisplay.displayName, sizeof setupDisplay.displayName, ":%d", number);
  // No Xlib connection: BIG-REQUESTS is known already, under the world's major.
  setupDisplay.bigRequestsAsked = 1;
  setupDisplay.bigRequestsMajor = kFuzzBigRequestsMajor;
  mainServerDisplays = &setupDisplay;
  mainServerDisplayCount = 1;
  static const char kCookieName[] = "MIT-MAGIC-COOKIE-1";
  accessAddAuthorization(uint16_t(strlen(kCookieName)), kCookieName, sizeof kFuzzCookie, kFuzzCookie);
}

const char *grantEveryone(ClientConnection *, uint16_t, const char *, uint16_t, const uint8_t *) { return nullptr; }

// Profiles for the multimedia extension: a sink, a silent write side and an empty source, none
// of which runs a command.
void loadMultimediaProfiles() {
  char directory[] = "/tmp/tarvo-fuzz-XXXXXX";
  if (!mkdtemp(directory)) return;
  std::string path = std::string(directory) + "/profiles";
  if (FILE *f = fopen(path.c_str(), "w")) {
    fputs("Name=MWTdefaultSettings\nMWTblockSize=4096\n"
          "Name=Sink\nAlias=null\nMWTwritePath=/dev/null\nMWTcontentType=raw\n"
          "Name=Quiet\nMWTwriteOff=1\n"
          "Name=Source\nMWTreadPath=/dev/null\n",
          f);
    fclose(f);
  }
  setenv("XMULTIMEDIA_PROFILES", path.c_str(), 1);
  ExtensionRecord *record = xproxyInitExtension("MORWENTECH MULTIMEDIA", 0, kFuzzMultimediaMajor, 0, 0);
  if (record && record->name) record->providedByProxy = 1;
  // Read once: the file is not needed any more.
  unlink(path.c_str());
  rmdir(directory);
}

}  // namespace

FuzzOptions fuzzDecodeOptions(uint8_t flags) {
  static const uint32_t chunks[8] = {0, 1, 2, 3, 7, 64, 512, 4096};
  FuzzOptions o;
  o.big = flags & 1;
  o.bigRequests = flags & 2;
  o.answerAll = flags & 4;
  o.chunk = chunks[flags >> 5];
  return o;
}

void fuzzWorldInit() {
  if (core) return;
  // As the proxy's start-up does: a peer gone away is a failed write, not the end.
  signal(SIGPIPE, SIG_IGN);
  // The connection setup's timer must never fire on its own in a run: the fake clock moves
  // 9 ms a pass, and a run takes far fewer passes than a day of them.
  xprotoSetupTimeoutMs = 86400000ull * 365;
  core = new FakeCore;
  core->addScreen(1280, 1024, 2);
  core->addScreen(640, 480, 1);
  // What a real display of depth 24 announces: its pixmap formats, image layout and keycodes,
  // and a TrueColor visual with its channel masks.
  static const ProxyState::PixmapFormat formats[] = {{1, 1, 32}, {4, 8, 32},   {8, 8, 32},
                                                     {15, 16, 32}, {16, 16, 32}, {24, 32, 32}, {32, 32, 32}};
  proxyState.pixmapFormatCount = uint8_t(sizeof formats / sizeof formats[0]);
  for (size_t i = 0; i < sizeof formats / sizeof formats[0]; i++) proxyState.pixmapFormats[i] = formats[i];
  proxyState.imageByteOrder = 0, proxyState.bitmapBitOrder = 0;
  proxyState.bitmapUnit = 32, proxyState.bitmapPad = 32;
  proxyState.minKeycode = 8, proxyState.maxKeycode = 255;
  snprintf(proxyState.vendor, sizeof proxyState.vendor, "%s", "Tarvo fuzz world");
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) {
    VisualRecord *v = screen->visuals;
    v->colormapEntries = 256, v->bitsPerRgb = 8, v->isDefault = 1;
    v->redMask = 0xff0000, v->greenMask = 0xff00, v->blueMask = 0xff;
    v->redShift = 16, v->greenShift = 8, v->blueShift = 0;
    v->redBits = v->greenBits = v->blueBits = 8;
    screen->whitePixel = 0xffffff, screen->blackPixel = 0;
  }
  struct {
    const char *name;
    uint8_t major;
  } served[] = {{"BIG-REQUESTS", kFuzzBigRequestsMajor}, {"XC-MISC", kFuzzXcMiscMajor},
                {"DPMS", kFuzzDpmsMajor},                {"FBPM", kFuzzFbpmMajor},
                {"SUN_ALLPLANES", kFuzzAllPlanesMajor}, {"Generic Event Extension", kFuzzGenericEventMajor}};
  for (const auto &e : served) {
    ExtensionRecord *record = xproxyInitExtension(e.name, 0, e.major, 0, 0);
    if (!record || !record->name) {
      fprintf(stderr, "fuzz: %s could not be set up\n", e.name);
      abort();
    }
  }
  loadMultimediaProfiles();
  proxyState.extensionListBuilt = 1;
  core->clearLog();
}

void fuzzServeClient(const FuzzOptions &options, const uint8_t *stream, size_t length) {
  fuzzWorldInit();
  startRun();
  Session s;
  ClientConnection *c = connectClient(&s.peer);
  if (!c) return;
  s.client = c;
  // Set up as the fake core's clients are: the setup and its timer are skipped.
  ordersCancel(c->setupTimer);
  c->setupTimer = nullptr;
  c->reader.bytesNeeded = 4;
  c->reader.swapped = options.big ? 1 : 0;
  c->setUp = 1;
  c->bigRequests = options.bigRequests ? 1 : 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
    nonBlocking(pair[0]);
    nonBlocking(pair[1]);
    DisplayConnection *d = xproxyAdoptDisplayConnection(c, nullptr, nullptr, pair[0], "fakehost", 0, 256);
    if (d) {
      d->setupDone = 1;
      d->reader.bytesNeeded = 32;
      d->idBase = c->index << resourceIdShift();
      d->idMask = resourceIdMask();
      auto server = std::make_unique<FakeServer>();
      server->fd = pair[1];
      server->answerAll = options.answerAll;
      server->start();
      s.servers.push_back(std::move(server));
    } else {
      close(pair[0]);
      close(pair[1]);
    }
  }
  miscScheduleClientReads(c);
  pump(s, options, stream, length);
  endRun(s);
}

void fuzzServeSetup(const FuzzOptions &options, int serverAnswer, bool grantAll, const uint8_t *stream,
                    size_t length) {
  fuzzWorldInit();
  setupWorld();
  startRun();
  xprotoAccessCheck = grantAll ? grantEveryone : xproxyCheckClientAccess;
  Session s;
  s.client = connectClient(&s.peer);
  if (!s.client) {
    xprotoAccessCheck = xproxyCheckClientAccess;
    return;
  }
  // The proxy connects to the fake server while it handles the setup; the connection is
  // taken from the listener as soon as it is there, and the common pump takes over.
  size_t written = 0;
  int calm = 0;
  for (int pass = 0; pass < kPassesMax && calm < 2; pass++) {
    writeChunk(s, options, stream, length, &written);
    bool alive = loopPass(s);
    int accepted = accept4(setupListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      auto server = std::make_unique<FakeServer>();
      server->fd = accepted;
      server->setupRead = false;
      server->setupAnswer = serverAnswer;
      server->answerAll = options.answerAll;
      server->start();
      s.servers.push_back(std::move(server));
      break;
    }
    if (!alive) break;
    calm = written < length || !quiescent(s) ? 0 : calm + 1;
  }
  if (s.client) pump(s, options, stream + written, length - written);
  endRun(s);
  xprotoAccessCheck = xproxyCheckClientAccess;
}

void fuzzShutdown() {
  if (!core) return;
  if (setupListener >= 0) {
    close(setupListener);
    setupListener = -1;
    mainServerDisplays = nullptr;
    mainServerDisplayCount = 0;
    free(setupDisplay.name);
    setupDisplay = ServerDisplay{};
  }
  if (clientListener) {
    _X11TransClose(clientListener);
    clientListener = nullptr;
    clientListenerNumber = -1;
  }
  extResetAll();
  delete core;
  core = nullptr;
}
