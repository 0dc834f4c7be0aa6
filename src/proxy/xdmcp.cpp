// The proxy's XDMCP client: options, registrations, the send table, the timing order and the
// receiver with its per-packet checks.
#include "proxy/xdmcp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

extern "C" {
#include <X11/Xdmcp.h>
}

#include "proxy/access.h"
#include "proxy/files.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/strtemp.h"


namespace {

uint32_t clientCount() { return xproxyClientCount; }

void defaultExit(const char *reason, int status) {
  LOG(logChannelFatal, "%s", reason ? reason : "");
  exit(status);
}

void defaultRequest(const char *reason) {
  LOG(logChannelStep, "%s", reason ? reason : "");
  ordersStop(1);
}

// One registered authentication: its name and data are in the parallel ARRAY8 lists.
struct Authentication {
  XdmcpAuthValidator validator;
  XdmcpAuthGenerator generator;
  XdmcpAuthAdder adder;
};
constexpr int kMaxAuthentications = 8;

struct Xdmcp {
  XdmcpState initialState = kXdmcpOff;
  XdmcpState state = kXdmcpOff;
  sockaddr_in manager{};         // the host of -query/-indirect: queries go there
  sockaddr_in session{};         // the manager that answered Willing: the session's packets go there
  bool managerSet = false;
  int socket = -1;
  uint32_t port = XDM_UDP_PORT;
  bool once = false;
  std::string displayClassText;
  std::string cookie;  // XDM-AUTHENTICATION-1 key text; empty: none
  ARRAY8 displayClass{};
  ARRAY8 manufacturerDisplayID{};
  bool displayIDSet = false;
  sockaddr_in broadcast[kXdmcpMaxBroadcastAddresses]{};
  int broadcastCount = 0;
  ARRAY16 connectionTypes{};
  ARRAYofARRAY8 connectionAddresses{};
  ARRAYofARRAY8 authenticationNames{};
  ARRAYofARRAY8 authenticationDatas{};
  Authentication authentications[kMaxAuthentications]{};
  int chosen = -1;  // index of the chosen authentication, -1: none
  ARRAYofARRAY8 authorizationNames{};
  uint32_t sessionId = 0;
  int sessionFd = -1;
  uint64_t timeout = 0;
  uint32_t retransmissions = 0;
  Order *timer = nullptr;
  Order *idle = nullptr;
  Order *reader = nullptr;
  uint32_t dormancy = kXdmcpDormancySeconds;
  XdmcpBuffer buffer{};
};

Xdmcp x;

void sendPacket();

// The reason is formatted the way every fatal XDMCP message is: "XDMCP: <reason> <status>".
// XDMCP stays off afterwards, in case the exit hook returns.
void fatal(const char *reason, const ARRAY8 *status) {
  const char *text = status ? strTempPrintf("XDMCP: %s %*.*s", reason, status->length, status->length,
                                            reinterpret_cast<const char *>(status->data))
                            : strTempPrintf("XDMCP: %s", reason);
  std::string message = text;
  x.state = kXdmcpOff;
  x.timeout = 0;
  ordersCancel(x.timer);
  x.timer = nullptr;
  xdmcpExitHook(message.c_str(), 1);
}

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b) {
  return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

bool fromSession(const sockaddr_in &from) { return sameAddress(from, x.session); }

// ARRAY8 of a text (allocated; empty for NULL).
bool setArray8(ARRAY8 *array, const char *data, int length) {
  XdmcpDisposeARRAY8(array);
  if (length <= 0) return true;
  if (length > 0xFFFF || !XdmcpAllocARRAY8(array, length)) return false;
  memcpy(array->data, data, static_cast<size_t>(length));
  return true;
}

// Appends a copy of the bytes to an ARRAYofARRAY8 (at most 255 entries).
bool appendArray8(ARRAYofARRAY8 *list, const uint8_t *data, int length) {
  if (list->length >= 255 || length < 0 || length > 0xFFFF) return false;
  ARRAY8 entry{};
  if (length > 0 && !XdmcpAllocARRAY8(&entry, length)) return false;
  if (length > 0) memcpy(entry.data, data, static_cast<size_t>(length));
  if (!XdmcpReallocARRAYofARRAY8(list, list->length + 1)) {
    XdmcpDisposeARRAY8(&entry);
    return false;
  }
  list->data[list->length - 1] = entry;
  return true;
}

bool arrayHas(const ARRAYofARRAY8 &list, const uint8_t *data, int length) {
  for (int i = 0; i < list.length; i++)
    if (list.data[i].length == length && (length == 0 || memcmp(list.data[i].data, data, length) == 0)) return true;
  return false;
}

uint64_t now() { return ordersClock(); }

// ----- Timing ---------------------------------------------------------------------------------

void onTimer(void *);

// Before each loop step: the one-shot timer follows the time-out.
void onIdle(void *) {
  if (x.state == kXdmcpOff || x.timeout == 0) return;
  ordersCancel(x.timer);
  uint64_t t = now();
  uint64_t delay = x.timeout > t ? x.timeout - t : 0;
  x.timer = ordersAddTimer(delay < 10 ? 10 : delay, onTimer, nullptr);
}

void registerIdle() {
  if (!x.idle) x.idle = ordersAddIdle(onIdle, nullptr);
}

void setRetransmitTimeout() {
  uint64_t seconds = x.retransmissions >= 4 ? 32 : (2u << x.retransmissions);
  x.timeout = now() + seconds * 1000;
}

void onTimer(void *) {
  x.timer = nullptr;
  if (x.state == kXdmcpOff || x.timeout == 0 || now() < x.timeout) return;
  if (x.state == kXdmcpRunSession) {
    x.state = kXdmcpKeepalive;
    sendPacket();
    return;
  }
  x.retransmissions++;
  if (x.state == kXdmcpAwaitAliveResponse && x.retransmissions >= XDM_KA_RTX_LIMIT) {
    xdmcpDeadSession("too many keepalive retransmissions");
    return;
  }
  if (x.retransmissions >= XDM_RTX_LIMIT) {
    LOG(logChannelError, "XDMCP: too many retransmissions");
    x.state = kXdmcpAwaitUserInput;
    x.timeout = 0;
    x.retransmissions = 0;
    return;
  }
  switch (x.state) {
    case kXdmcpCollectQuery: x.state = kXdmcpQuery; break;
    case kXdmcpCollectBroadcastQuery: x.state = kXdmcpBroadcast; break;
    case kXdmcpCollectIndirectQuery: x.state = kXdmcpIndirect; break;
    case kXdmcpAwaitRequestResponse: x.state = kXdmcpStartConnection; break;
    case kXdmcpAwaitManageResponse: x.state = kXdmcpManage; break;
    case kXdmcpAwaitAliveResponse: x.state = kXdmcpKeepalive; break;
    default: break;
  }
  sendPacket();
}

// ----- Sending --------------------------------------------------------------------------------

int array8Size(const ARRAY8 &a) { return 2 + a.length; }
int arrayOfArray8Size(const ARRAYofARRAY8 &a) {
  int size = 1;
  for (int i = 0; i < a.length; i++) size += array8Size(a.data[i]);
  return size;
}

bool flushTo(const sockaddr_in &to) {
  if (x.socket < 0) return false;
  return XdmcpFlush(x.socket, &x.buffer, reinterpret_cast<XdmcpNetaddr>(const_cast<sockaddr_in *>(&to)),
                    sizeof to) != 0;
}

bool writeHeader(int opcode, int length) {
  XdmcpHeader header{XDM_PROTOCOL_VERSION, static_cast<CARD16>(opcode), static_cast<CARD16>(length)};
  return XdmcpWriteHeader(&x.buffer, &header) != 0;
}

void sendQuery(int opcode) {
  if (!writeHeader(opcode, arrayOfArray8Size(x.authenticationNames))) return;
  XdmcpWriteARRAYofARRAY8(&x.buffer, &x.authenticationNames);
  if (opcode == BROADCAST_QUERY) {
    for (int i = 0; i < x.broadcastCount; i++) flushTo(x.broadcast[i]);
  } else {
    flushTo(x.manager);
  }
}

bool sendRequest() {
  ARRAY8 authenticationName{}, authenticationData{};
  uint8_t *generated = nullptr;
  int generatedLength = 0;
  if (x.chosen >= 0) {
    authenticationName = x.authenticationNames.data[x.chosen];
    const ARRAY8 &data = x.authenticationDatas.data[x.chosen];
    if (x.authentications[x.chosen].generator)
      x.authentications[x.chosen].generator(REQUEST, data.data, data.length, &generated, &generatedLength);
    if (generated && generatedLength > 0 && generatedLength <= 0xFFFF) {
      authenticationData.length = static_cast<CARD16>(generatedLength);
      authenticationData.data = generated;
    }
  }
  CARD16 number = xproxyDisplayNumber();
  int length = 2 + 1 + 2 * x.connectionTypes.length + arrayOfArray8Size(x.connectionAddresses) +
               array8Size(authenticationName) + array8Size(authenticationData) +
               arrayOfArray8Size(x.authorizationNames) + array8Size(x.manufacturerDisplayID);
  bool sent = length <= 0xFFFF && writeHeader(REQUEST, length) && XdmcpWriteCARD16(&x.buffer, number) &&
              XdmcpWriteARRAY16(&x.buffer, &x.connectionTypes) &&
              XdmcpWriteARRAYofARRAY8(&x.buffer, &x.connectionAddresses) &&
              XdmcpWriteARRAY8(&x.buffer, &authenticationName) && XdmcpWriteARRAY8(&x.buffer, &authenticationData) &&
              XdmcpWriteARRAYofARRAY8(&x.buffer, &x.authorizationNames) &&
              XdmcpWriteARRAY8(&x.buffer, &x.manufacturerDisplayID) && flushTo(x.session);
  free(generated);
  return sent;
}

void sendManage() {
  int length = 4 + 2 + array8Size(x.displayClass);
  if (writeHeader(MANAGE, length) && XdmcpWriteCARD32(&x.buffer, x.sessionId) &&
      XdmcpWriteCARD16(&x.buffer, xproxyDisplayNumber()) && XdmcpWriteARRAY8(&x.buffer, &x.displayClass))
    flushTo(x.session);
}

void sendKeepAlive() {
  if (writeHeader(KEEPALIVE, 6) && XdmcpWriteCARD16(&x.buffer, xproxyDisplayNumber()) &&
      XdmcpWriteCARD32(&x.buffer, x.sessionId))
    flushTo(x.session);
}

void sendPacket() {
  switch (x.state) {
    case kXdmcpQuery:
      sendQuery(QUERY);
      x.state = kXdmcpCollectQuery;
      break;
    case kXdmcpBroadcast:
      sendQuery(BROADCAST_QUERY);
      x.state = kXdmcpCollectBroadcastQuery;
      break;
    case kXdmcpIndirect:
      sendQuery(INDIRECT_QUERY);
      x.state = kXdmcpCollectIndirectQuery;
      break;
    case kXdmcpStartConnection:
      if (sendRequest()) x.state = kXdmcpAwaitRequestResponse;
      break;
    case kXdmcpManage:
      sendManage();
      x.state = kXdmcpAwaitManageResponse;
      break;
    case kXdmcpKeepalive:
      sendKeepAlive();
      x.state = kXdmcpAwaitAliveResponse;
      break;
    default:
      break;
  }
  setRetransmitTimeout();
}

// From the initial state with a fresh count: the first packet of a new round.
void startOver() {
  x.state = x.initialState;
  x.retransmissions = 0;
  sendPacket();
}

// ----- Receiving ------------------------------------------------------------------------------

// ARRAY8 values read from one packet; every one is disposed whatever path the packet takes.
struct PacketArrays {
  ARRAY8 a{}, b{}, c{}, d{};
  ~PacketArrays() {
    XdmcpDisposeARRAY8(&a);
    XdmcpDisposeARRAY8(&b);
    XdmcpDisposeARRAY8(&c);
    XdmcpDisposeARRAY8(&d);
  }
};

// The chosen authentication's name equals name, and the data passes its validator for the
// packet type (an empty name needs no data check).
bool authenticationMatches(int opcode, ARRAY8 *name, const ARRAY8 &data) {
  ARRAY8 none{};
  ARRAY8 *chosenName = x.chosen >= 0 ? &x.authenticationNames.data[x.chosen] : &none;
  if (!XdmcpARRAY8Equal(chosenName, name)) return false;
  if (name->length == 0) return true;
  XdmcpAuthValidator validator = x.authentications[x.chosen].validator;
  return !validator || validator(opcode, data.data, data.length);
}

// Each handler returns true when it took the packet (the retransmission count restarts).
bool onWilling(const sockaddr_in &from, int length) {
  PacketArrays p;  // authentication name, host name, status
  if (!XdmcpReadARRAY8(&x.buffer, &p.a) || !XdmcpReadARRAY8(&x.buffer, &p.b) || !XdmcpReadARRAY8(&x.buffer, &p.c))
    return false;
  if (length != 6 + p.a.length + p.b.length + p.c.length) return false;
  if (x.state != kXdmcpCollectQuery && x.state != kXdmcpCollectBroadcastQuery &&
      x.state != kXdmcpCollectIndirectQuery)
    return false;
  x.session = from;
  for (int i = 0; i < x.authenticationNames.length; i++)
    if (XdmcpARRAY8Equal(&x.authenticationNames.data[i], &p.a)) x.chosen = i;
  x.state = kXdmcpStartConnection;
  x.retransmissions = 0;
  sendPacket();
  return true;
}

bool onUnwilling(const sockaddr_in &from, int length) {
  PacketArrays p;  // host name, status
  if (!XdmcpReadARRAY8(&x.buffer, &p.a) || !XdmcpReadARRAY8(&x.buffer, &p.b)) return false;
  if (length != 4 + p.a.length + p.b.length) return false;
  // Only the answer to our own Query: the protocol sends Unwilling for Query alone.
  if (x.state != kXdmcpCollectQuery || !sameAddress(from, x.manager)) return false;
  static const char kStatus[] = "Host unwilling";
  ARRAY8 status{static_cast<CARD16>(sizeof kStatus - 1), reinterpret_cast<CARD8 *>(const_cast<char *>(kStatus))};
  fatal("Manager unwilling", &status);
  return true;
}

bool onAccept(const sockaddr_in &from, int length) {
  CARD32 sessionId = 0;
  PacketArrays p;  // authentication name and data, authorization name and data
  if (!XdmcpReadCARD32(&x.buffer, &sessionId) || !XdmcpReadARRAY8(&x.buffer, &p.a) ||
      !XdmcpReadARRAY8(&x.buffer, &p.b) || !XdmcpReadARRAY8(&x.buffer, &p.c) || !XdmcpReadARRAY8(&x.buffer, &p.d))
    return false;
  if (length != 12 + p.a.length + p.b.length + p.c.length + p.d.length) return false;
  if (x.state != kXdmcpAwaitRequestResponse || !fromSession(from)) return false;
  if (!authenticationMatches(ACCEPT, &p.a, p.b)) {
    fatal("Authentication Failure", &p.a);
    return true;
  }
  accessAddSelfAddress(reinterpret_cast<const sockaddr *>(&from), sizeof from);
  int added = 0;
  if (x.chosen >= 0 && x.authentications[x.chosen].adder)
    added = x.authentications[x.chosen].adder(p.c.length, reinterpret_cast<const char *>(p.c.data), p.d.length,
                                              p.d.data);
  else
    added = accessAddAuthorization(p.c.length, reinterpret_cast<const char *>(p.c.data), p.d.length, p.d.data);
  if (!added) accessAddLocalHosts();
  x.sessionId = sessionId;
  x.state = kXdmcpManage;
  x.retransmissions = 0;
  sendPacket();
  return true;
}

bool onDecline(const sockaddr_in &from, int length) {
  PacketArrays p;  // status, authentication name and data
  if (!XdmcpReadARRAY8(&x.buffer, &p.a) || !XdmcpReadARRAY8(&x.buffer, &p.b) || !XdmcpReadARRAY8(&x.buffer, &p.c))
    return false;
  if (length != 6 + p.a.length + p.b.length + p.c.length) return false;
  // Only the answer to our own Request: the protocol sends Decline for Request alone.
  if (x.state != kXdmcpAwaitRequestResponse || !fromSession(from)) return false;
  if (!authenticationMatches(DECLINE, &p.b, p.c)) return false;
  fatal("Session declined", &p.a);
  return true;
}

bool onRefuse(const sockaddr_in &from, int length) {
  CARD32 sessionId = 0;
  if (length != 4 || !XdmcpReadCARD32(&x.buffer, &sessionId)) return false;
  if (x.state != kXdmcpAwaitManageResponse || !fromSession(from) || sessionId != x.sessionId) return false;
  x.state = kXdmcpStartConnection;
  x.retransmissions = 0;
  sendPacket();
  return true;
}

bool onFailed(const sockaddr_in &from, int length) {
  CARD32 sessionId = 0;
  PacketArrays p;  // status
  if (!XdmcpReadCARD32(&x.buffer, &sessionId) || !XdmcpReadARRAY8(&x.buffer, &p.a)) return false;
  if (length != 6 + p.a.length) return false;
  if (x.state != kXdmcpAwaitManageResponse || !fromSession(from) || sessionId != x.sessionId) return false;
  fatal("Session failed", &p.a);
  return true;
}

bool onAlive(const sockaddr_in &from, int length) {
  CARD8 running = 0;
  CARD32 sessionId = 0;
  if (length != 5 || !XdmcpReadCARD8(&x.buffer, &running) || !XdmcpReadCARD32(&x.buffer, &sessionId)) return false;
  if (x.state != kXdmcpAwaitAliveResponse || !fromSession(from)) return false;
  if (!running || sessionId != x.sessionId) {
    xdmcpDeadSession("Alive response indicates session dead");
    return true;
  }
  x.state = kXdmcpRunSession;
  x.retransmissions = 0;
  x.timeout = now() + static_cast<uint64_t>(x.dormancy) * 1000;
  x.dormancy = kXdmcpDormancySeconds;
  return true;
}

void handleDatagram() {
  sockaddr_in from{};
  int fromLength = sizeof from;
  if (x.socket < 0 || !XdmcpFill(x.socket, &x.buffer, reinterpret_cast<XdmcpNetaddr>(&from), &fromLength)) return;
  if (fromLength != static_cast<int>(sizeof from) || from.sin_family != AF_INET) return;
  XdmcpHeader header{};
  if (!XdmcpReadHeader(&x.buffer, &header) || header.version != XDM_PROTOCOL_VERSION) return;
  if (header.opcode < WILLING || header.opcode > ALIVE) return;
  // The declared length must be what the datagram holds; each packet then checks its fields.
  if (header.length != XdmcpReadRemaining(&x.buffer)) return;
  int length = header.length;
  switch (header.opcode) {
    case WILLING: onWilling(from, length); break;
    case UNWILLING: onUnwilling(from, length); break;
    case ACCEPT: onAccept(from, length); break;
    case DECLINE: onDecline(from, length); break;
    case REFUSE: onRefuse(from, length); break;
    case FAILED: onFailed(from, length); break;
    case ALIVE: onAlive(from, length); break;
    default: break;  // packets a display manager receives, not a display
  }
}

void applyPort() {
  uint16_t port = htons(static_cast<uint16_t>(x.port));
  x.manager.sin_port = port;
  for (int i = 0; i < x.broadcastCount; i++) x.broadcast[i].sin_port = port;
}

// Host lookup of -query/-indirect; false after the fatal exit.
bool lookUpManager(const char *host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *result = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &result) == 0 && result) {
    x.manager = {};
    x.manager.sin_family = AF_INET;
    x.manager.sin_addr = reinterpret_cast<sockaddr_in *>(result->ai_addr)->sin_addr;
    x.manager.sin_port = htons(static_cast<uint16_t>(x.port));
    x.managerSet = true;
    freeaddrinfo(result);
    return true;
  }
  hints.ai_family = AF_UNSPEC;
  bool other = getaddrinfo(host, nullptr, &hints, &result) == 0;
  if (other) freeaddrinfo(result);
  std::string text = strTempPrintf(other ? "Xserver: host on strange network %s" : "Xserver: unknown host: %s", host);
  xdmcpExitHook(text.c_str(), 1);
  return false;
}

}  // namespace

// The access code tells XDMCP of addresses, protocol names and authorized clients through its
// hooks; they are filled as soon as this client is part of the program.
[[maybe_unused]] const bool accessHooksFilled = [] {
  accessXdmcpHooks = {xdmcpRegisterConnection, xdmcpRegisterBroadcastAddress, xdmcpRegisterAuthorization,
                      xdmcpRegisterAuthentication, [](int descriptor) { xdmcpManageAccepted(descriptor); }};
  return true;
}();

XdmcpExitFunction xdmcpExitHook = defaultExit;
XdmcpRequestFunction xdmcpRequestExitHook = defaultRequest;
XdmcpRequestFunction xdmcpRequestResetHook = defaultRequest;

int xdmcpOptions(int count, const char *const *arguments, int index) {
  if (index < 0 || index >= count || !arguments[index]) return index + 1;
  const char *option = arguments[index];
  const char *value = index + 1 < count ? arguments[index + 1] : nullptr;
  bool query = strcmp(option, "-query") == 0, indirect = strcmp(option, "-indirect") == 0;
  if (query || indirect) {
    if (!value) {
      xdmcpExitHook("Xserver: missing host name in command line", 1);
      return count;
    }
    if (!lookUpManager(value)) return count;
    x.initialState = query ? kXdmcpQuery : kXdmcpIndirect;
    return index + 2;
  }
  if (strcmp(option, "-broadcast") == 0) {
    x.initialState = kXdmcpBroadcast;
    return index + 1;
  }
  if (strcmp(option, "-once") == 0) {
    x.once = true;
    return index + 1;
  }
  bool port = strcmp(option, "-port") == 0, displayClass = strcmp(option, "-class") == 0;
  bool cookie = strcmp(option, "-cookie") == 0, displayID = strcmp(option, "-displayID") == 0;
  if (!(port || displayClass || cookie || displayID)) return index + 1;
  if (!value) return count;  // an option without its value changes nothing
  if (port) {
    char *end = nullptr;
    unsigned long number = strtoul(value, &end, 10);
    if (end != value && *end == 0 && number > 0 && number <= 0xFFFF) x.port = static_cast<uint32_t>(number);
  } else if (displayClass) {
    x.displayClassText = value;
  } else if (cookie) {
    x.cookie = value;
  } else {
    xdmcpRegisterManufacturerDisplayID(value, static_cast<int>(strlen(value)));
  }
  return index + 2;
}

void xdmcpInit() {
  x.state = x.initialState;
  if (!x.cookie.empty()) accessXdmAuthenticationInit(x.cookie.c_str(), static_cast<int>(x.cookie.size()));
  if (x.state == kXdmcpOff) return;
  if (x.authorizationNames.length == 0) accessRegisterAuthorizations();
  setArray8(&x.displayClass, x.displayClassText.data(), static_cast<int>(x.displayClassText.size()));
  if (!x.displayIDSet) {
    const char *id = productName();
    setArray8(&x.manufacturerDisplayID, id, static_cast<int>(strlen(id)));
  }
  applyPort();
  registerIdle();
  x.retransmissions = 0;
  if (x.socket < 0) {
    x.socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (x.socket < 0) {
      LOG(logChannelWarning, "XDMCP: %s", "UDP socket creation failed");
    } else {
      int on = 1;
      if (setsockopt(x.socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        LOG(logChannelWarning, "XDMCP: %s", "UDP set broadcast socket-option failed");
      x.reader = ordersAddReader(x.socket, xdmcpReceive, nullptr);
    }
  }
  sendPacket();
}

void xdmcpRestart() {
  if (x.initialState == kXdmcpOff) return;
  ordersCancel(x.timer);
  x.timer = nullptr;
  registerIdle();
  x.sessionFd = -1;
  startOver();
}

void xdmcpRegisterConnection(int family, const uint8_t *address, int length) {
  if (length < 0 || length > 0xFFFF || family < 0 || family > 0xFFFF) return;
  // An address registered again (listeners reopened at a reset) is kept once.
  for (int i = 0; i < x.connectionAddresses.length; i++)
    if (x.connectionTypes.data[i] == family && x.connectionAddresses.data[i].length == length &&
        memcmp(x.connectionAddresses.data[i].data, address, static_cast<size_t>(length)) == 0)
      return;
  if (x.connectionTypes.length >= 255 || !XdmcpReallocARRAY16(&x.connectionTypes, x.connectionTypes.length + 1))
    return;
  if (!appendArray8(&x.connectionAddresses, address, length)) {
    XdmcpReallocARRAY16(&x.connectionTypes, x.connectionTypes.length - 1);
    return;
  }
  x.connectionTypes.data[x.connectionTypes.length - 1] = static_cast<CARD16>(family);
}

void xdmcpRegisterBroadcastAddress(const sockaddr *address, socklen_t length) {
  if (!address || address->sa_family != AF_INET || length < sizeof(sockaddr_in)) return;
  if (x.broadcastCount >= kXdmcpMaxBroadcastAddresses) return;
  sockaddr_in &entry = x.broadcast[x.broadcastCount++];
  memcpy(&entry, address, sizeof entry);
  entry.sin_port = htons(static_cast<uint16_t>(x.port));
}

void xdmcpRegisterAuthorization(const char *name, int nameLength) {
  if (!name || arrayHas(x.authorizationNames, reinterpret_cast<const uint8_t *>(name), nameLength)) return;
  appendArray8(&x.authorizationNames, reinterpret_cast<const uint8_t *>(name), nameLength);
}

void xdmcpRegisterAuthentication(const char *name, int nameLength, const uint8_t *data, int dataLength,
                                 XdmcpAuthGenerator generator, XdmcpAuthValidator validator, XdmcpAuthAdder adder) {
  if (!name || nameLength < 0 || dataLength < 0) return;
  int index = -1;
  for (int i = 0; i < x.authenticationNames.length; i++)
    if (x.authenticationNames.data[i].length == nameLength &&
        memcmp(x.authenticationNames.data[i].data, name, static_cast<size_t>(nameLength)) == 0)
      index = i;
  if (index < 0) {
    if (x.authenticationNames.length >= kMaxAuthentications) return;
    if (!appendArray8(&x.authenticationNames, reinterpret_cast<const uint8_t *>(name), nameLength)) return;
    if (!appendArray8(&x.authenticationDatas, data, data ? dataLength : 0)) {
      XdmcpReallocARRAYofARRAY8(&x.authenticationNames, x.authenticationNames.length - 1);
      return;
    }
    index = x.authenticationNames.length - 1;
  } else if (!setArray8(&x.authenticationDatas.data[index], reinterpret_cast<const char *>(data), dataLength)) {
    return;
  }
  x.authentications[index] = {validator, generator, adder};
}

void xdmcpRegisterManufacturerDisplayID(const char *data, int length) {
  if (setArray8(&x.manufacturerDisplayID, data, length)) x.displayIDSet = true;
}

void xdmcpManageAccepted(int descriptor) {
  if (x.state != kXdmcpAwaitManageResponse) return;
  x.sessionFd = descriptor;
  x.state = kXdmcpRunSession;
}

void xdmcpCloseDisplay(int descriptor) {
  if ((x.state != kXdmcpRunSession && x.state != kXdmcpAwaitAliveResponse) || descriptor != x.sessionFd) return;
  x.state = x.initialState;
  x.sessionFd = -1;
  x.timeout = 0;
  if (x.once)
    xdmcpRequestExitHook("XDMCP close display");
  else
    xdmcpRequestResetHook("XDMCP close display");
}

void xdmcpDeadSession(const char *reason) {
  LOG(logChannelError, "XDMCP: %s, declaring session dead", reason);
  x.state = x.initialState;
  x.sessionFd = -1;
  xdmcpRequestResetHook("XDMCP session dead");
  x.timeout = 0;
  x.retransmissions = 0;
  startOver();
}

void xdmcpReceive(void *) {
  handleDatagram();
  if (x.state == kXdmcpAwaitUserInput) {
    startOver();
  } else if (x.state == kXdmcpRunSession) {
    x.dormancy = kXdmcpDormancySeconds;
    if (clientCount() > 0) x.timeout = now() + static_cast<uint64_t>(x.dormancy) * 1000;
  }
}

XdmcpState xdmcpCurrentState() { return x.state; }
XdmcpState xdmcpInitialState() { return x.initialState; }
uint32_t xdmcpSessionId() { return x.sessionId; }
int xdmcpSocket() { return x.socket; }
uint64_t xdmcpTimeout() { return x.timeout; }
uint32_t xdmcpRetransmissions() { return x.retransmissions; }
int xdmcpOnce() { return x.once ? 1 : 0; }
uint32_t xdmcpPort() { return x.port; }
const sockaddr_in *xdmcpManagerAddress() { return x.managerSet ? &x.manager : nullptr; }

void xdmcpFreeAll() {
  ordersCancel(x.timer);
  ordersCancel(x.idle);
  ordersCancel(x.reader);
  if (x.socket >= 0) close(x.socket);
  XdmcpDisposeARRAY8(&x.displayClass);
  XdmcpDisposeARRAY8(&x.manufacturerDisplayID);
  XdmcpDisposeARRAY16(&x.connectionTypes);
  XdmcpDisposeARRAYofARRAY8(&x.connectionAddresses);
  XdmcpDisposeARRAYofARRAY8(&x.authenticationNames);
  XdmcpDisposeARRAYofARRAY8(&x.authenticationDatas);
  XdmcpDisposeARRAYofARRAY8(&x.authorizationNames);
  free(x.buffer.data);
  x.~Xdmcp();
  new (&x) Xdmcp();
}
