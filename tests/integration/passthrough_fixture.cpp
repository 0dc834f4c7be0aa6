#include "passthrough_fixture.h"

#include "loop_fixture.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "proxy/access.h"
#include "proxy/connections.h"
#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {

ServerDisplay serverDisplay;

uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
void put16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }

// The owner of the answer being handled, when it is one of the forwarding ('l') clients.
ClientConnection *forwardingOwner() {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || client->reader.swapped || !xproxyCurrentDisplayConnection) return nullptr;
  return client;
}

void forwardRequest(uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || client->reader.swapped || client->displayCount == 0) return;
  if (length == 0) {  // a zero length without BIG-REQUESTS
    xprotoSendError(16, 0, request, 4, nullptr);
    return;
  }
  if (serverDisplay.bigRequestsMajor && request[0] == serverDisplay.bigRequestsMajor) client->bigRequests = 1;
  if (request[0] == 112) {  // SetCloseDownMode
    // The proxy keeps the mode itself: the server connections stay DestroyAll, so a retained
    // client keeps its resources by keeping them open, and its full close destroys them.
    client->closeDownMode = request[1];
    return;
  }
  if (!xproxySendRequest(request, length, client->displays[0])) xprotoSendError(11, 0, request, length, nullptr);
}

void forwardReply(uint8_t *reply, uint32_t length) {
  ClientConnection *client = forwardingOwner();
  if (!client) return;
  put16(reply + 2, client->replySequence);
  mainWriteToClient(reply, length, nullptr);
}

void forwardEvent(uint8_t *event) {
  ClientConnection *client = forwardingOwner();
  if (!client) return;
  if ((event[0] & 0x7f) != 11) {  // KeymapNotify carries no sequence number
    xproxyMapReplySequence(xproxyCurrentDisplayConnection, get16(event + 2));
    put16(event + 2, client->replySequence);
  }
  mainSendEventToClient(event, nullptr, 0);
}

void forwardError(uint8_t *error) {
  ClientConnection *client = forwardingOwner();
  if (!client) return;
  DisplayConnection *c = xproxyCurrentDisplayConnection;
  xproxyMapReplySequence(c, get16(error + 2));
  if (c->replyKey == kReplyTagNoOp) return;  // one of the proxy's own round trips
  put16(error + 2, client->replySequence);
  mainWriteToClient(error, 32, nullptr);
}

// The real server's setup reply goes to the client as it stands, in the client's byte order.
void passSetupReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *c = xproxyCurrentDisplayConnection;
  if (!c || !c->owner) return;
  ClientConnection *owner = c->owner;
  xscreenCopySwapped(reply, length, "H-23", owner);
  if (reply[0] != 1 || length < 40) {
    xprotoCloseWithReason(&owner->reader, "setup failed");
  } else {
    memcpy(&c->idBase, reply + 12, 4);
    memcpy(&c->idMask, reply + 16, 4);
  }
  c->setupDone = 1;
  if (owner->setupsPending) owner->setupsPending--;
  if (owner->setupsPending == 0 && owner->reader.bytesNeeded != kReaderStopped) owner->setUp = 1;
}

void installRows() {
  xcoreInitDispatchTables();
  for (uint32_t key = 0; key < kRequestKeys; key++) {
    proxyState.requestHandlers[key] = forwardRequest;
    proxyState.replyHandlers[key] = key == kReplyTagNoOp ? xproxyNoOpReply : forwardReply;
  }
  for (int code = 2; code < 256; code++) proxyState.eventHandlers[code] = code == 35 ? nullptr : forwardEvent;
  for (int code = 0; code < 256; code++) proxyState.errorHandlers[code] = forwardError;
}

uint64_t genericEventsSeen = 0;

// Counts the GenericEvents among the complete units, then hands the input to the cutter.
void countingServerCutter(DisplayConnection *c) {
  if (c->reader.bytesNeeded == 32) {
    const auto *data = reinterpret_cast<const uint8_t *>(c->input.data);
    uint64_t at = c->readPosition;
    while (c->input.length - at >= 32) {
      uint64_t n = xprotoUnitLength(data + at, 0);
      if (n > c->input.length - at) break;
      if ((data[at] & 0x7f) == 35) genericEventsSeen++;
      at += n;
    }
  }
  xprotoProcessServerInput(c);
}

const char *allowEveryone(ClientConnection *, uint16_t, const char *, uint16_t, const uint8_t *) { return nullptr; }

}  // namespace

unsigned passthroughClientCount() { return xproxyClientCount; }

uint64_t passthroughGenericEvents() { return genericEventsSeen; }

std::string PassthroughProxy::start(const XvfbOptions &options) {
  stop();
  if (std::string e = xvfb_.start(options); !e.empty()) return e;
  loopCaptureLog();

  char templateText[] = "/tmp/tarvo-pass-XXXXXX";
  if (!mkdtemp(templateText)) return "mkdtemp failed";
  directory_ = templateText;
  accessSetHostFileTemplate((directory_ + "/X%s.hosts").c_str());

  signal(SIGPIPE, SIG_IGN);  // as the proxy program has it: a dead peer is a write error
  ordersInit();
  installRows();
  xprotoSetupReplyHandler = passSetupReply;
  xprotoAccessCheck = allowEveryone;
  xproxyServerInputCutter = countingServerCutter;
  genericEventsSeen = 0;

  serverDisplay = ServerDisplay{};
  serverDisplay.name = strdup(xvfb_.displayName().c_str());
  serverDisplay.display = XOpenDisplay(serverDisplay.name);
  if (!serverDisplay.display) return "cannot open the real display";
  // Tests kill the server: its loss must not end the test program.
  XSetIOErrorHandler([](Display *) { return 0; });
  XSetIOErrorExitHandler(serverDisplay.display, xvfbReturnFromIOError, nullptr);
  int major = 0, event = 0, error = 0;
  if (XQueryExtension(serverDisplay.display, "BIG-REQUESTS", &major, &event, &error))
    serverDisplay.bigRequestsMajor = uint8_t(major);
  serverDisplay.bigRequestsAsked = 1;
  // What a BigReqEnable reply of that server says, as the real-display code will set it.
  xprotoBigRequestMaximum = 4 * uint64_t(XExtendedMaxRequestSize(serverDisplay.display));
  mainServerDisplays = &serverDisplay;
  mainServerDisplayCount = 1;
  started_ = true;

  for (int attempt = 0; attempt < 10; attempt++) {
    displayNumber_ = xvfbUnusedDisplayNumber();
    if (!xproxyListen(displayName().c_str(), 0)) return "";
  }
  return "no display number could be listened on";
}

void PassthroughProxy::stop() {
  if (!started_) {
    xvfb_.stop();
    return;
  }
  started_ = false;
  closeClientsAndListeners();
  mainServerDisplays = nullptr;
  mainServerDisplayCount = 0;
  if (serverDisplay.display) XCloseDisplay(serverDisplay.display);
  XSetIOErrorHandler(nullptr);
  free(serverDisplay.name);
  serverDisplay = ServerDisplay{};
  ordersFreeAll();
  xprotoSetupReplyHandler = xcoreServerSetupReply;
  xprotoAccessCheck = xproxyCheckClientAccess;
  xproxyServerInputCutter = xprotoProcessServerInput;
  xprotoBigRequestMaximum = 0xffffffffu;
  loopReleaseLog();
  accessSetHostFileTemplate(nullptr);
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
  directory_.clear();
  xvfb_.resume();
  xvfb_.stop();
}

const std::vector<std::string> &PassthroughProxy::log() const { return loopLogLines(); }

bool PassthroughProxy::logged(const std::string &part) const { return loopLogged(part); }

void PassthroughProxy::clearLog() { loopLogLines().clear(); }
