// The proxy server core: listeners and their readers, the host-access adapters and the
// authorization towards real displays.
#include "proxy/xproxy.h"

#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <X11/Xauth.h>
}

#include "proxy/xdisplay.h"
#include "support/files.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/strings.h"

#define XPROXY_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("Proxy/xproxy")

XproxyNewClientHook xproxyNewClientHook = nullptr;

namespace {

ListenPort *listenPorts = nullptr;
uint16_t displayNumber = 0;
AccessClient accessRecord;

ServerAuthEntry *serverAuthCache = nullptr;
std::string clientAuthFile;  // empty: none
std::string serverAuthFile;  // empty: none

void appendPort(ListenPort *port) {
  if (!listenPorts) {
    port->next = nullptr;
    port->prev = port;
    listenPorts = port;
    return;
  }
  ListenPort *tail = listenPorts->prev;
  tail->next = port;
  port->prev = tail;
  port->next = nullptr;
  listenPorts->prev = port;
}

AccessClient *fillAccessRecord(ClientConnection *client) {
  if (!client) return nullptr;
  accessRecord = {};
  accessRecord.transport = client->transport;
  accessRecord.authorizationId = kAuthIdNone;
  return &accessRecord;
}

// The best authority entry of the file in XAUTHORITY for a family, address and display.
Xauth *bestAuth(int family, const char *address, int addressLength, int number) {
  static char *names[] = {const_cast<char *>("SUN-DES-1"), const_cast<char *>("XDM-AUTHORIZATION-1"),
                          const_cast<char *>("MIT-MAGIC-COOKIE-1")};
  static int lengths[] = {9, 19, 18};
  char text[16];
  int textLength = snprintf(text, sizeof text, "%d", number);
  return XauGetBestAuthByAddr(static_cast<unsigned short>(family), static_cast<unsigned short>(addressLength), address,
                              static_cast<unsigned short>(textLength), text, 3, names, lengths);
}

// A display reached over TCP is looked up by family Internet with each IPv4 address of its
// host (a loopback address also as this host), a local one by host name: an entry of one host
// never answers for another (libXau would take family 65535 as any address).
Xauth *serverFileAuth(const char *host, int number, int family) {
  const char *name = host && host[0] && strcmp(host, "unix") != 0 ? host : hostName();
  if (family == kFamilyLocal) return bestAuth(kFamilyLocal, name, static_cast<int>(strlen(name)), number);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return nullptr;
  Xauth *found = nullptr;
  bool loopback = false;
  for (addrinfo *a = result; a && !found; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    const auto *bytes = reinterpret_cast<const char *>(&reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr);
    loopback = loopback || static_cast<uint8_t>(bytes[0]) == 127;
    found = bestAuth(kFamilyInternet, bytes, 4, number);
  }
  freeaddrinfo(result);
  if (!found && loopback) found = bestAuth(kFamilyLocal, hostName(), static_cast<int>(strlen(hostName())), number);
  return found;
}

bool giveAuth(const char *name, int nameLength, const char *data, int dataLength, char **outName, int *outNameLength,
              char **outData, int *outDataLength) {
  char *nameCopy = static_cast<char *>(malloc(nameLength ? nameLength : 1));
  char *dataCopy = static_cast<char *>(malloc(dataLength ? dataLength : 1));
  if (!nameCopy || !dataCopy) {
    free(nameCopy);
    free(dataCopy);
    logProblem(XPROXY_OUT_OF_MEMORY(), "Proxy/xproxy", __LINE__);
    return false;
  }
  if (nameLength) memcpy(nameCopy, name, nameLength);
  if (dataLength) memcpy(dataCopy, data, dataLength);
  *outName = nameCopy;
  *outNameLength = nameLength;
  *outData = dataCopy;
  *outDataLength = dataLength;
  return true;
}

bool giveXauth(Xauth *entry, char **name, int *nameLength, char **data, int *dataLength) {
  bool given = giveAuth(entry->name, entry->name_length, entry->data, entry->data_length, name, nameLength, data,
                        dataLength);
  return given;
}

void unlinkServerAuth(ServerAuthEntry *entry) {
  if (entry == serverAuthCache) {
    serverAuthCache = entry->next;
    if (serverAuthCache) serverAuthCache->prev = entry->prev;
  } else {
    entry->prev->next = entry->next;
    if (entry->next)
      entry->next->prev = entry->prev;
    else
      serverAuthCache->prev = entry->prev;
  }
  free(entry);
}

}  // namespace

// ===== Listeners ===========================================================================

const char *xproxyListen(const char *connection, int accessControl) {
  int number = 0;
  if (connection) {
    char *host = nullptr;
    int screen = 0, family = 0;
    int parsed = xdisplayParseAddress(connection, &host, &number, &screen, &family);
    free(host);
    // The number must fit the stored u16: its users would otherwise take another display.
    if (!parsed || number < 0 || number > 0xFFFF) return strTempPrintf("Bad connection display name: %s", connection);
  }
  int count = 0;
  XtransConnInfo *transports = clientconnectionListen(&number, 1, &count);
  if (count == 0) {
    free(transports);
    return strTempPrintf(
        "Can't establish listening port %s:%d - Make sure the display number is not used by another X server or X "
        "proxy",
        hostName(), number);
  }
  const char *failure = nullptr;
  for (int i = count - 1; i >= 0; i--) {
    XtransConnInfo transport = transports[i];
    if (failure) {
      clientconnectionCloseListener(transport);
      continue;
    }
    auto *port = static_cast<ListenPort *>(calloc(1, sizeof(ListenPort)));
    if (!port) {
      failure = XPROXY_OUT_OF_MEMORY();
      clientconnectionCloseListener(transport);
      continue;
    }
    port->transport = transport;
    int fd = clientconnectionFd(transport);
    if (!(port->readOrder = ordersAddReader(fd, xproxyOnListenerInput, port, &failure))) {
      if (!failure) failure = XPROXY_OUT_OF_MEMORY();
      clientconnectionCloseListener(transport);
      free(port);
      continue;
    }
    port->pendingAccept = nullptr;
    if (!clientconnectionIsLocal(transport)) accessLocalAddresses(fd);
    appendPort(port);
  }
  free(transports);
  if (failure) return failure;
  displayNumber = static_cast<uint16_t>(number);
  if (!accessControl) accessSetDefeated(1);
  char text[16];
  snprintf(text, sizeof text, "%d", number);
  accessResetHosts(text);
  return nullptr;
}

void xproxyOnListenerInput(void *argument) {
  auto *port = static_cast<ListenPort *>(argument);
  // One accept at a time: a readiness while one is pending schedules none, so the reset can
  // always cancel the order that is pending.
  if (port->pendingAccept) return;
  port->pendingAccept = ordersAddIdle(xproxyNewClient, port);
}

void xproxyNewClient(void *argument) {
  auto *port = static_cast<ListenPort *>(argument);
  ordersCancel(port->pendingAccept);
  port->pendingAccept = nullptr;
  if (!port->transport) return;
  int fd = -1;
  XtransConnInfo connection = clientconnectionAccept(port->transport, &fd);
  if (!connection) return;
  if (xproxyNewClientHook)
    xproxyNewClientHook(connection, fd);
  else
    clientconnectionClose(connection);
}

uint16_t xproxyDisplayNumber() { return displayNumber; }

ListenPort *xproxyListenPorts() { return listenPorts; }

const char *xproxyResetListeners() {
  bool failed = false;
  for (ListenPort *port = listenPorts; port; port = port->next) {
    ordersCancel(port->readOrder);
    ordersCancel(port->pendingAccept);
    port->readOrder = port->pendingAccept = nullptr;
  }
  for (ListenPort *port = listenPorts; port; port = port->next) {
    if (!port->transport) continue;
    if (!clientconnectionResetListener(port->transport)) {
      port->transport = nullptr;  // closed and freed by the transport layer
      failed = true;
      continue;
    }
    // The listener may be on a new descriptor: the reader goes there.
    port->readOrder = ordersAddReader(clientconnectionFd(port->transport), xproxyOnListenerInput, port);
    if (!port->readOrder) failed = true;
  }
  return failed ? "Can't reset listening connections" : nullptr;
}

void xproxyCloseListeners() {
  while (listenPorts) {
    ListenPort *port = listenPorts;
    listenPorts = port->next;
    ordersCancel(port->readOrder);
    ordersCancel(port->pendingAccept);
    clientconnectionCloseListener(port->transport);
    free(port);
  }
  if (listenPorts) listenPorts->prev = nullptr;
  displayNumber = 0;
}

// ===== Host access adapters ================================================================

int xproxySetAccessControl(ClientConnection *client, int mode) {
  return accessSetEnabled(fillAccessRecord(client), mode);
}

int xproxyAddHost(ClientConnection *client, int family, int length, const uint8_t *address) {
  return accessAddHost(fillAccessRecord(client), family, length, address);
}

int xproxyRemoveHost(ClientConnection *client, int family, int length, const uint8_t *address) {
  return accessRemoveHost(fillAccessRecord(client), family, length, address);
}

int xproxyListHosts(int *count, int *length, uint8_t **data, int *enabled) {
  return accessListHosts(data, count, length, enabled);
}

const char *xproxyCheckClientAccess(ClientConnection *client, uint16_t nameLength, const char *name,
                                    uint16_t dataLength, const uint8_t *data) {
  return accessClientAuthorized(fillAccessRecord(client), nameLength, name, dataLength, data);
}

const AccessClient *xproxyAccessRecord() { return &accessRecord; }

// ===== Server authorization ================================================================

const char *serverAuthCacheAdd(int family, const char *address, int number, const char *name, int nameLength,
                               const char *data, int dataLength, int generated) {
  if (!address) address = "";
  if (nameLength < 0 || nameLength > 0xFFFF || dataLength < 0 || dataLength > 0xFFFF || number < 0 ||
      number > 0xFFFF || family < 0 || family > 0xFFFF)
    return "Bad server authorization entry";
  size_t addressSize = strlen(address) + 1;
  size_t size = sizeof(ServerAuthEntry) + addressSize + static_cast<size_t>(nameLength) + static_cast<size_t>(dataLength);
  auto *entry = static_cast<ServerAuthEntry *>(calloc(1, size));
  if (!entry) return XPROXY_OUT_OF_MEMORY();
  entry->family = static_cast<uint16_t>(family);
  entry->displayNumber = static_cast<uint16_t>(number);
  entry->nameLength = static_cast<uint16_t>(nameLength);
  entry->dataLength = static_cast<uint16_t>(dataLength);
  entry->generated = generated ? 1 : 0;
  entry->address = reinterpret_cast<char *>(entry + 1);
  entry->name = entry->address + addressSize;
  entry->data = entry->name + nameLength;
  memcpy(entry->address, address, addressSize);
  if (nameLength) memcpy(entry->name, name, static_cast<size_t>(nameLength));
  if (dataLength) memcpy(entry->data, data, static_cast<size_t>(dataLength));
  if (!serverAuthCache) {
    entry->prev = entry;
    serverAuthCache = entry;
  } else {
    ServerAuthEntry *tail = serverAuthCache->prev;
    tail->next = entry;
    entry->prev = tail;
    serverAuthCache->prev = entry;
  }
  return nullptr;
}

int xproxyGetServerAuth(const char *host, int number, int family, char **name, int *nameLength, char **data,
                        int *dataLength) {
  *name = *data = nullptr;
  *nameLength = *dataLength = 0;
  if (!host) host = "";
  if (!serverAuthFile.empty()) {
    setenv("XAUTHORITY", serverAuthFile.c_str(), 1);
    if (Xauth *entry = serverFileAuth(host, number, family)) {
      bool given = giveXauth(entry, name, nameLength, data, dataLength);
      XauDisposeAuth(entry);
      if (given) return 1;
    }
  }
  for (ServerAuthEntry *e = serverAuthCache; e; e = e->next)
    if (e->displayNumber == number && strcasecmp(e->address, host) == 0)
      return giveAuth(e->name, e->nameLength, e->data, e->dataLength, name, nameLength, data, dataLength) ? 1 : 0;
  if (!clientAuthFile.empty() && hostIsLocal(host)) {
    setenv("XAUTHORITY", clientAuthFile.c_str(), 1);
    int own = xproxyDisplayNumber();
    Xauth *entry = bestAuth(kFamilyLocal, host, static_cast<int>(strlen(host)), own);
    if (!entry && strcasecmp(host, hostName()) != 0)
      entry = bestAuth(kFamilyLocal, hostName(), static_cast<int>(strlen(hostName())), own);
    if (!entry) entry = bestAuth(kFamilyLocal, "localhost", 9, own);
    if (entry) {
      serverAuthCacheAdd(family, host, number, entry->name, entry->name_length, entry->data, entry->data_length, 0);
      bool given = giveXauth(entry, name, nameLength, data, dataLength);
      XauDisposeAuth(entry);
      return given ? 1 : 0;
    }
  }
  return 0;
}

void xproxySetAuthorizationFile(const char *path) {
  if (!path || !path[0]) return;
  const char *absolute = fileAbsolutePath(path);
  if (!absolute || !absolute[0]) {
    LOG_UNE();
    return;
  }
  clientAuthFile = absolute;
  accessSetFlag(clientAuthFile.c_str());
}

void xproxySetServerAuthFile(const char *path) {
  if (!path || !path[0] || strcasecmp(path, "own") == 0) return;
  const char *absolute = fileAbsolutePath(path);
  if (!absolute || !absolute[0]) {
    LOG_UNE();
    return;
  }
  if (!fileIsRegular(absolute)) {
    LOG(logChannelWarning, "No server authorization file %s", absolute);
    return;
  }
  serverAuthFile = absolute;
}

const char *xproxyAuthorizationFile() { return clientAuthFile.empty() ? nullptr : clientAuthFile.c_str(); }

const char *xproxyServerAuthFile() { return serverAuthFile.empty() ? nullptr : serverAuthFile.c_str(); }

void xproxyResetServerAuth() {
  for (ServerAuthEntry *e = serverAuthCache; e;) {
    ServerAuthEntry *next = e->next;
    if (!e->generated) unlinkServerAuth(e);
    e = next;
  }
}

void xproxyFreeServerAuth() {
  while (serverAuthCache) unlinkServerAuth(serverAuthCache);
  clientAuthFile.clear();
  serverAuthFile.clear();
}
