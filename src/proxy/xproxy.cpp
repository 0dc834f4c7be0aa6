// The proxy server core: listeners and their readers, the host-access adapters, the
// authorization towards real displays, and the request writing of display connections (sequence
// map, reply callbacks, NoOp round trips).
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
#include "support/orders.h"
#include "support/strings.h"

#define XPROXY_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("Proxy/xproxy")

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

void xproxyCloseListenersKeepOrders() {
  for (ListenPort *port = listenPorts; port; port = port->next) port->readOrder = port->pendingAccept = nullptr;
  xproxyCloseListeners();
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

// ===== Local X server, exit hooks and the generated server cookie ===========================
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "proxy/files.h"
#include "proxy/korvanparser.h"
#include "support/datapack.h"
#include "support/process.h"

namespace {

XproxyExitHook exitHooks[kXproxyExitHookSlots];

pid_t localServerPid = 0;
std::vector<std::string> localServerWords;
std::vector<const char *> localServerVector;
std::string generatedAuthFile;  // empty: none generated

// Replaces a configuration text with a copy of value; an allocation failure keeps the old one.
void setConfigText(char **field, const char *value) {
  char *copy = strdup(value);
  if (!copy) {
    LOG_OUT_OF_MEMORY_AT("Proxy/xproxy");
    return;
  }
  free(*field);
  *field = copy;
}

// The XDMCP options of a server command: the mode they set (0 none) and whether they take a
// value. They come off the server's command, so that the proxy, not the server, talks XDMCP.
struct ServerXdmcpOption {
  const char *name;
  bool takesValue;
};
constexpr ServerXdmcpOption kServerXdmcpOptions[] = {
    {"-query", true},  {"-indirect", true}, {"-broadcast", false}, {"-port", true},
    {"-once", false},  {"-cookie", true},   {"-class", true},      {"-displayID", true},
};

void applyServerXdmcpOption(const char *name, const char *value) {
  if (strcasecmp(name, "-query") == 0) {
    configRecord.xdmcpMode = 3;
    setConfigText(&configRecord.xdmcpHost, value);
  } else if (strcasecmp(name, "-indirect") == 0) {
    configRecord.xdmcpMode = 2;
    setConfigText(&configRecord.xdmcpHost, value);
  } else if (strcasecmp(name, "-broadcast") == 0) {
    configRecord.xdmcpMode = 1;
  } else if (strcasecmp(name, "-port") == 0) {
    configRecord.xdmcpPort = static_cast<uint32_t>(strtoul(value, nullptr, 10));
  } else if (strcasecmp(name, "-once") == 0) {
    configRecord.xdmcpOnce = 1;
  } else if (strcasecmp(name, "-cookie") == 0) {
    setConfigText(&configRecord.xdmcpAuthorizationCookie, value);
  } else if (strcasecmp(name, "-class") == 0) {
    setConfigText(&configRecord.xdmcpDisplayClass, value);
  } else if (strcasecmp(name, "-displayID") == 0) {
    setConfigText(&configRecord.xdmcpDisplayID, value);
  }
}

// Creates the file itself: O_EXCL and O_NOFOLLOW, so that neither an existing file nor a
// planted link is ever written through; a name taken meanwhile gets a fresh one.
int createAuthFile(char *path, const char **failure) {
  for (int attempt = 0; attempt < 10; attempt++) {
    if ((*failure = filesResolvePath("korva", kFilesTemp, path))) return -1;
    if (strlen(path) > kFilesPathSize - 1) break;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  *failure = strTempPrintf("Can't create file '%s': %s", path, strerror(errno));
  return -1;
}

}  // namespace

int xproxyAddExitHook(XproxyExitHook hook) {
  if (xproxyHasExitHook(hook)) return 1;
  for (int i = kXproxyExitHookSlots - 1; i >= 0; i--) {
    if (!exitHooks[i]) {
      exitHooks[i] = hook;
      return 1;
    }
  }
  return 0;
}

void xproxyRemoveExitHook(XproxyExitHook hook) {
  for (XproxyExitHook &slot : exitHooks)
    if (slot == hook) slot = nullptr;
}

int xproxyHasExitHook(XproxyExitHook hook) {
  for (XproxyExitHook slot : exitHooks)
    if (slot && slot == hook) return 1;
  return 0;
}

void xproxyRunExitHooks() {
  for (int i = kXproxyExitHookSlots - 1; i >= 0; i--)
    if (XproxyExitHook hook = exitHooks[i]) hook(0);
}

const char *xproxyStartLocalServer(int count, const char *const *arguments, int serverNice) {
  if (count < 1 || !arguments || !arguments[0]) return nullptr;
  LOG(logChannelStep, "Starting local X-server: %s...", arguments[0]);
  std::vector<std::string> words{arguments[0]};
  int serverDisplay = -1;
  bool hasAuth = false;
  for (int i = 1; i < count; i++) {
    const char *word = arguments[i] ? arguments[i] : "";
    bool hasValue = i + 1 < count && arguments[i + 1];
    if (strcasecmp(word, "-auth") == 0 && hasValue) {
      const char *current = xproxyAuthorizationFile();
      if (!current || !current[0]) xproxySetAuthorizationFile(arguments[i + 1]);
      words.emplace_back(word);
      words.emplace_back(arguments[++i]);
      hasAuth = true;
      continue;
    }
    const ServerXdmcpOption *option = nullptr;
    for (const ServerXdmcpOption &o : kServerXdmcpOptions)
      if (strcasecmp(word, o.name) == 0) option = &o;
    // An option without its value at the end of the command is passed on and sets nothing.
    if (option && (!option->takesValue || hasValue)) {
      applyServerXdmcpOption(option->name, option->takesValue ? arguments[i + 1] : nullptr);
      if (option->takesValue) i++;
      continue;
    }
    if (word[0] == ':') {
      if (serverDisplay >= 0) continue;  // only the first display name reaches the server
      serverDisplay = static_cast<int>(strtoul(word + 1, nullptr, 10) & 0xFFFF);
    }
    words.emplace_back(word);
  }
  if (serverDisplay < 0) serverDisplay = 0;

  if (configRecord.serverAuthorization && strcasecmp(configRecord.serverAuthorization, "own") == 0) {
    char path[kFilesPathSize];
    if (const char *failure = xproxyMakeAuthFile(serverDisplay, path)) return failure;
    setenv("XAUTHORITY", path, 1);
    // Without "-auth" the server would admit everyone and the cookie would guard nothing.
    if (!hasAuth) {
      words.emplace_back("-auth");
      words.emplace_back(path);
    }
  }

  localServerWords = std::move(words);
  localServerVector.clear();
  for (const std::string &w : localServerWords) localServerVector.push_back(w.c_str());
  pid_t pid = processSpawn(static_cast<int>(localServerVector.size()), localServerVector.data());
  if (pid <= 0) {
    LOG(logChannelWarning, "Can't start X server '%s'", arguments[0]);
    return nullptr;
  }
  localServerPid = pid;
  xproxyAddExitHook(xproxyStopLocalServer);
  if (serverNice != 0) processSetPriority(pid, serverNice);
  return nullptr;
}

void xproxyStopLocalServer(int) {
  if (localServerPid > 0) {
    LOG(logChannelStep, "Stopping X server process %d...", static_cast<int>(localServerPid));
    if (const char *failure = processTerminate(localServerPid)) LOG(logChannelWarning, "%s", failure);
  }
  localServerPid = 0;
  xproxyRemoveExitHook(xproxyStopLocalServer);
}

pid_t xproxyLocalServerPid() { return localServerPid; }

const char *const *xproxyLocalServerArguments(int *count) {
  *count = static_cast<int>(localServerVector.size());
  return localServerVector.data();
}

const char *xproxyMakeAuthFile(int number, char *path) {
  static const char kName[] = "MIT-MAGIC-COOKIE-1";
  const char *failure = nullptr;
  int fd = createAuthFile(path, &failure);
  if (fd < 0) return failure;
  uint8_t cookie[16];
  memRandomize(cookie, sizeof cookie);
  char numberText[16];
  snprintf(numberText, sizeof numberText, "%d", number);
  std::string host = hostName();
  Xauth entry{};
  entry.family = static_cast<unsigned short>(kFamilyLocal);
  entry.address = host.data();
  entry.address_length = static_cast<unsigned short>(host.size());
  entry.number = numberText;
  entry.number_length = static_cast<unsigned short>(strlen(numberText));
  entry.name = const_cast<char *>(kName);
  entry.name_length = static_cast<unsigned short>(sizeof kName - 1);
  entry.data = reinterpret_cast<char *>(cookie);
  entry.data_length = sizeof cookie;
  FILE *file = fdopen(fd, "w");
  if (!file) {
    failure = strTempPrintf("Can't create file '%s': %s", path, strerror(errno));
    close(fd);
  } else {
    bool written = XauWriteAuth(file, &entry) != 0;
    int writeError = errno;
    if (fclose(file) != 0 || !written)
      failure = strTempPrintf("Can't write file '%s': %s", path, strerror(written ? errno : writeError));
  }
  if (!failure)
    failure = serverAuthCacheAdd(kFamilyLocal, host.c_str(), number, kName, static_cast<int>(sizeof kName - 1),
                                 reinterpret_cast<const char *>(cookie), sizeof cookie, 1);
  memset(cookie, 0, sizeof cookie);
  if (failure) {
    unlink(path);
    return failure;
  }
  generatedAuthFile = path;
  return nullptr;
}

const char *xproxyGeneratedAuthFile() { return generatedAuthFile.c_str(); }

void xproxyRemoveGeneratedAuthFile() {
  if (!generatedAuthFile.empty()) unlink(generatedAuthFile.c_str());
  generatedAuthFile.clear();
}
// ===== end of local X server, exit hooks and the generated server cookie ====================
// ===== Display connections: request writing, sequence map and reply callbacks ===============
#include "proxy/xscreen.h"

namespace {

constexpr uint16_t kKeyNoOp = kReplyTagNoOp;  // request key of the proxy's own round trips

SequenceMapPage *lastPage(DisplayConnection *c) { return c->pages ? c->pages->prev : nullptr; }

void appendPage(DisplayConnection *c, SequenceMapPage *page) {
  page->next = nullptr;
  if (!c->pages) {
    page->prev = page;
    c->pages = page;
    return;
  }
  SequenceMapPage *tail = c->pages->prev;
  tail->next = page;
  page->prev = tail;
  c->pages->prev = page;
}

SequenceMapPage *newPage(uint32_t writeLimit) {
  auto *page = static_cast<SequenceMapPage *>(calloc(1, sizeof(SequenceMapPage)));
  if (!page) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  page->writeLimit = writeLimit;
  page->end = kSequenceMapNoEnd;
  return page;
}

// Unlinks the first callback and runs its discard function. Its fields are read before: the
// discard may queue or take callbacks itself.
void discardFirstCallback(DisplayConnection *c) {
  ReplyCallback *node = c->callbacksFirst;
  c->callbacksFirst = node->next;
  ReplyDiscard discard = node->discard;
  uintptr_t argument = node->argument;
  free(node);
  if (discard) discard(argument);
}

void appendCallback(DisplayConnection *c, ReplyCallback *node) {
  node->next = nullptr;
  if (c->callbacksLast)
    c->callbacksLast->next = node;
  else
    c->callbacksFirst = node;
  c->callbacksLast = node;
}

// What closing a full page needs, allocated before any byte is written.
struct PageClose {
  SequenceMapPage *page = nullptr;
  NoOpRecord *record = nullptr;
  ReplyCallback *node = nullptr;
  void drop() {
    free(page);
    free(record);
    free(node);
    *this = {};
  }
};

bool preparePageClose(DisplayConnection *c, uint32_t sequence, PageClose &close) {
  SequenceMapPage *last = lastPage(c);
  if (!last || (sequence & 0xfff) != last->writeLimit) return true;
  close.page = newPage(0);
  close.record = static_cast<NoOpRecord *>(calloc(1, sizeof(NoOpRecord)));
  close.node = static_cast<ReplyCallback *>(calloc(1, sizeof(ReplyCallback)));
  if (close.page && close.record && close.node) return true;
  if (close.record && close.node) LOG_OUT_OF_MEMORY();
  close.drop();
  return false;
}

void putEntry(DisplayConnection *c, uint32_t sequence, uint16_t key) {
  SequenceMapPage *last = lastPage(c);
  if (!last) return;
  last->entries[sequence & 0xfff] = {uint16_t(c->owner ? c->owner->sequence : 0), key};
}

// A NoOp round trip's callback: tag 127, the record as argument.
void queueNoOpCallback(DisplayConnection *c, uint32_t sequence, ReplyCallback *node, NoOpRecord *record,
                       NoOpReplyFn fn, uintptr_t argument, NoOpReleaseFn release) {
  *record = {fn, argument, release};
  node->key = uint32_t(kReplyTagNoOp) << 16 | (sequence & 0xffff);
  node->argument = reinterpret_cast<uintptr_t>(record);
  node->discard = xproxyNoOpRelease;
  appendCallback(c, node);
}

// The request of `sequence` filled the last page: a NoOp round trip follows it (written at
// noOp), ends the page, and a new page takes over with the NoOp's entry copied.
void closePage(DisplayConnection *c, uint32_t sequence, PageClose &close, uint8_t *noOp) {
  noOp[0] = 0x2b, noOp[1] = 0, noOp[2] = 1, noOp[3] = 0;
  uint32_t noOpSequence = ++c->requestsSent;
  putEntry(c, noOpSequence, kKeyNoOp);
  queueNoOpCallback(c, noOpSequence, close.node, close.record, xproxyNoOpNothing, 0, xproxyNoOpNothingRelease);
  SequenceMapPage *last = lastPage(c);
  last->end = noOpSequence & 0xfff;
  close.page->writeLimit = (noOpSequence - 2) & 0xfff;
  close.page->entries[noOpSequence & 0xfff] = last->entries[noOpSequence & 0xfff];
  appendPage(c, close.page);
  c->lastWrittenSequence = sequence;  // a callback pushed now belongs to the request
}

// The bytes of a request and, when it fills the page, of the NoOp after it: reserved in one
// piece, so that neither is written without the other. Counts and records the request; the
// caller fills `wireLength` bytes at the result.
uint8_t *reserveRequest(DisplayConnection *c, uint64_t wireLength, uint16_t key) {
  uint32_t sequence = c->requestsSent + 1;
  PageClose close;
  if (!preparePageClose(c, sequence, close)) return nullptr;
  uint64_t total = wireLength + (close.page ? 4 : 0);
  if (total > UINT32_MAX) {
    close.drop();
    return nullptr;
  }
  auto *at = reinterpret_cast<uint8_t *>(outbufferReserve(&c->output, uint32_t(total)));
  if (!at) {
    close.drop();
    return nullptr;
  }
  c->requestsSent = sequence;
  putEntry(c, sequence, key);
  c->lastWrittenSequence = sequence;
  if (close.page) closePage(c, sequence, close, at + wireLength);
  // The real server answers a request with a reply within microseconds, mostly: the loop
  // waits for it without sleeping first.
  ReplyHandler reply = proxyState.replyHandlers[key];
  if (reply && reply != xcoreUnexpectedReply) ordersExpectAnswer();
  return at;
}

}  // namespace

uint32_t xproxySendRoundTrip(DisplayConnection *c, const uint8_t *request, uint32_t length, NoOpReplyFn fn,
                       uintptr_t argument, NoOpReleaseFn release) {
  auto *record = static_cast<NoOpRecord *>(calloc(1, sizeof(NoOpRecord)));
  auto *node = static_cast<ReplyCallback *>(calloc(1, sizeof(ReplyCallback)));
  uint8_t *at = record && node ? reserveRequest(c, length, kKeyNoOp) : nullptr;
  if (!at) {
    free(record);
    free(node);
    LOG_OUT_OF_MEMORY();
    return 0;
  }
  memcpy(at, request, length);
  uint32_t sequence = c->lastWrittenSequence;
  // The page-closing NoOp (if any) was queued already, after this request: keep sequence order.
  ReplyCallback *closing = c->callbacksLast;
  bool closed = c->requestsSent != sequence;
  if (closed) {
    // Unlink the page-closing node, queue ours, then put it back.
    ReplyCallback **link = &c->callbacksFirst;
    ReplyCallback *before = nullptr;
    while (*link != closing) before = *link, link = &(*link)->next;
    *link = nullptr;
    c->callbacksLast = before;
  }
  queueNoOpCallback(c, sequence, node, record, fn, argument, release);
  if (closed) appendCallback(c, closing);
  return sequence;
}


int xproxyStartSequenceMap(DisplayConnection *c) {
  SequenceMapPage *page = newPage(kSequenceMapFirstLimit);
  if (!page) return 0;
  appendPage(c, page);
  return 1;
}

void xproxyEndSequenceMap(DisplayConnection *c) {
  while (c->pages) {
    SequenceMapPage *page = c->pages;
    c->pages = page->next;
    free(page);
  }
  while (c->callbacksFirst) discardFirstCallback(c);
  c->callbacksLast = nullptr;
}

void xproxyNoOpNothing(uint8_t *, uintptr_t) {}
void xproxyNoOpNothingRelease(uintptr_t) {}

const char *xproxyBrokenConnectionText(ClientConnection *client) {
  return strTempPrintf("Broken connection to %s by %s - Maybe the X Window server has been stopped or is unavailable",
                       "X server", xscreenClientName(client));
}

uint8_t *xproxyBeginRequest(void *connection, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  auto *c = static_cast<DisplayConnection *>(connection);
  uint16_t key = uint16_t(opcode | dataByte << 8);
  if (length < 4) return nullptr;
  if (length <= kDisplayShortRequestMax) {
    uint8_t *at = reserveRequest(c, length, key);
    if (!at) return nullptr;
    at[0] = opcode, at[1] = dataByte;
    at[2] = uint8_t(length / 4), at[3] = uint8_t(length / 4 >> 8);
    return at;
  }
  if (!c->bigRequests) return nullptr;
  uint8_t *at = reserveRequest(c, uint64_t(length) + 4, key);
  if (!at) return nullptr;
  uint32_t words = uint32_t((uint64_t(length) + 4) / 4);
  at[0] = opcode, at[1] = dataByte, at[2] = 0, at[3] = 0;
  memcpy(at + 4, &words, 4);
  return at + 4;
}

uint8_t *xproxySendRequest(const uint8_t *request, uint32_t length, DisplayConnection *c) {
  uint8_t *at = xproxyBeginRequest(c, request[0], request[1], length);
  if (!at) return nullptr;
  if (length > 4) memcpy(at + 4, request + 4, length - 4);
  return at;
}

void xproxyRecordRequest(const uint8_t *request, DisplayConnection *c) {
  uint32_t sequence = c->requestsSent;
  PageClose close;
  bool full = preparePageClose(c, sequence, close) && close.page;
  putEntry(c, sequence, uint16_t(request[0] | request[1] << 8));
  c->lastWrittenSequence = sequence;
  if (!full) return;
  auto *noOp = reinterpret_cast<uint8_t *>(outbufferReserve(&c->output, 4));
  if (!noOp) {
    close.drop();
    LOG_OUT_OF_MEMORY();
    return;
  }
  closePage(c, sequence, close, noOp);
}

void xproxyRekeyLastRequest(DisplayConnection *c, uint16_t key) {
  SequenceMapPage *page = lastPage(c);
  if (!page) return;
  // A request that filled its page is followed by the closing NoOp on a new page.
  if (c->requestsSent != c->lastWrittenSequence && page != c->pages) page = page->prev;
  page->entries[c->lastWrittenSequence & 0xfff].requestKey = key;
}

void xproxyMapReplySequence(DisplayConnection *c, uint16_t sequence) {
  SequenceMapPage *first = c->pages;
  c->sequenceHandled = sequence;
  if (!first) return;
  uint32_t entry = sequence & 0xfff;
  c->replyKey = first->entries[entry].requestKey;
  if (c->owner) c->owner->replySequence = first->entries[entry].clientSequence;
  if (first->end == entry && first->next) {
    c->pages = first->next;
    c->pages->prev = first->prev;
    free(first);
  } else {
    first->writeLimit = (uint32_t(sequence) - 2) & 0xfff;
  }
}

void xproxyPushReplyCallback(DisplayConnection *c, uint8_t tag, uintptr_t argument, ReplyDiscard discard) {
  auto *node = static_cast<ReplyCallback *>(calloc(1, sizeof(ReplyCallback)));
  if (!node) {
    LOG_OUT_OF_MEMORY();
    if (discard) discard(argument);  // the argument would otherwise be lost
    return;
  }
  node->key = uint32_t(tag) << 16 | (c->lastWrittenSequence & 0xffff);
  node->argument = argument;
  node->discard = discard;
  appendCallback(c, node);
}

namespace {
// Finds the node with that key: the nodes before it are discarded; the node is unlinked when
// asked. Returns it or NULL (then nothing changes).
ReplyCallback *settleCallbacks(DisplayConnection *c, bool anyTag, uint32_t key, bool unlink) {
  ReplyCallback *found = c->callbacksFirst;
  while (found && (anyTag ? (found->key & 0xffff) != (key & 0xffff) : found->key != key)) found = found->next;
  if (!found) return nullptr;
  while (c->callbacksFirst != found) discardFirstCallback(c);
  if (unlink) {
    c->callbacksFirst = found->next;
    if (c->callbacksLast == found) c->callbacksLast = nullptr;
  }
  return found;
}
}  // namespace

uintptr_t xproxyTakeReplyCallback(DisplayConnection *c, uint8_t tag) {
  ReplyCallback *node = settleCallbacks(c, false, uint32_t(tag) << 16 | (c->sequenceHandled & 0xffff), true);
  if (!node) return 0;
  uintptr_t argument = node->argument;
  free(node);
  return argument;
}

uintptr_t xproxyTakeReplyCallbackData(DisplayConnection *c, uint8_t tag) {
  ReplyCallback *node = settleCallbacks(c, false, uint32_t(tag) << 16 | (c->sequenceHandled & 0xffff), false);
  return node ? node->argument : 0;
}

void xproxyRunReplyCallbacks(DisplayConnection *c) { settleCallbacks(c, true, c->sequenceHandled & 0xffff, false); }

uint32_t xproxySendNoOpRequest(DisplayConnection *c, NoOpReplyFn fn, uintptr_t argument, NoOpReleaseFn release) {
  static const uint8_t request[4] = {0x2b, 0, 1, 0};
  return xproxySendRoundTrip(c, request, 4, fn, argument, release);
}

void xproxyNoOpReply(uint8_t *reply, uint32_t) {
  DisplayConnection *c = xproxyCurrentDisplayConnection;
  if (!c) return;
  auto *record = reinterpret_cast<NoOpRecord *>(xproxyTakeReplyCallback(c, kReplyTagNoOp));
  if (!record) {
    LOG(logChannelXhint, "No data in NoOp reply #%u for %s", c->sequenceHandled, xscreenClientName(c->owner));
    return;
  }
  NoOpRecord copy = *record;
  free(record);
  if (copy.fn) copy.fn(reply, copy.argument);
  if (copy.release) copy.release(copy.argument);
}

void xproxyDropLateReply(DisplayConnection *c, uint32_t sequence) {
  uint32_t back = c->requestsSent - sequence;
  SequenceMapPage *page = lastPage(c);
  if (!page || back >= kSequenceMapEntries - 2) return;
  // A page ends with its closing NoOp: an older request lies on a page before.
  while (page != c->pages && page->prev->end != kSequenceMapNoEnd &&
         back >= ((c->requestsSent - page->prev->end) & 0xfff))
    page = page->prev;
  page->entries[sequence & 0xfff].requestKey = kKeyNoOp;
  auto *record = static_cast<NoOpRecord *>(calloc(1, sizeof(NoOpRecord)));
  auto *node = static_cast<ReplyCallback *>(calloc(1, sizeof(ReplyCallback)));
  if (!record || !node) {
    // Without its callback the NoOp reply handler drops the reply all the same (with a hint).
    free(record);
    free(node);
    LOG_OUT_OF_MEMORY();
    return;
  }
  *record = {xproxyNoOpNothing, 0, xproxyNoOpNothingRelease};
  node->key = uint32_t(kReplyTagNoOp) << 16 | (sequence & 0xffff);
  node->argument = reinterpret_cast<uintptr_t>(record);
  node->discard = xproxyNoOpRelease;
  // In sequence order: before the first callback of a later request.
  ReplyCallback **link = &c->callbacksFirst;
  while (*link && uint16_t((*link)->key - sequence) - 1u >= 0x7fffu) link = &(*link)->next;
  node->next = *link;
  *link = node;
  if (!node->next) c->callbacksLast = node;
}

void xproxyNoOpRelease(uintptr_t argument) {
  auto *record = reinterpret_cast<NoOpRecord *>(argument);
  if (!record) return;
  NoOpRecord copy = *record;
  free(record);
  if (copy.release) copy.release(copy.argument);
}

// ===== end of display connections ===========================================================


// ===== Pixel conversion between meta screen visuals and head visuals ========================
#include "proxy/head.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"

namespace {

// Shifts that reach 32 give 0 instead of undefined results (masks of hostile or broken visual
// records).
uint32_t shiftLeft(uint32_t v, int64_t bits) {
  if (bits >= 32) return 0;
  if (bits <= -32) return 0;
  return bits >= 0 ? v << bits : v >> -bits;
}

// One channel: taken by the source mask and shift, rescaled from the source's bits to the
// target's, and placed at the target's shift inside its mask.
uint32_t moveChannel(uint32_t pixel, uint32_t fromMask, uint32_t fromShift, uint32_t fromBits, uint32_t toMask,
                     uint32_t toShift, uint32_t toBits) {
  uint32_t c = fromShift < 32 ? (pixel & fromMask) >> fromShift : 0;
  c = shiftLeft(c, int64_t(toBits) - int64_t(fromBits));
  return shiftLeft(c, toShift) & toMask;
}

bool emulated(const VisualRecord *v) { return v->baseVisualId != 0; }

}  // namespace

VisualRecord *xproxyHeadVisual(const Head *head, const VisualRecord *visual) {
  if (!head || !visual || !head->metaScreen || !head->visualMap) return nullptr;
  const MetaScreen *ms = head->metaScreen;
  if (!ms->visuals || visual < ms->visuals || visual >= ms->visuals + ms->visualCount) return nullptr;
  return head->visualMap[visual - ms->visuals];
}

VisualRecord *xproxyVisualConversion(const VisualRecord *visual, const Head *head) {
  VisualRecord *entry = xproxyHeadVisual(head, visual);
  if (!entry) return nullptr;
  if (emulated(entry)) return entry;
  if (visual->visualClass >= TrueColor &&
      (entry->redMask != visual->redMask || entry->greenMask != visual->greenMask ||
       entry->blueMask != visual->blueMask))
    return entry;
  return nullptr;
}

namespace {

// Every channel from one visual's layout into another's.
uint32_t moveChannels(uint32_t pixel, const VisualRecord *from, const VisualRecord *to) {
  return moveChannel(pixel, from->redMask, from->redShift, from->redBits, to->redMask, to->redShift, to->redBits) |
         moveChannel(pixel, from->greenMask, from->greenShift, from->greenBits, to->greenMask, to->greenShift,
                     to->greenBits) |
         moveChannel(pixel, from->blueMask, from->blueShift, from->blueBits, to->blueMask, to->blueShift,
                     to->blueBits);
}

}  // namespace

uint32_t xproxyConvertPixel(uint32_t pixel, const VisualRecord *from, const VisualRecord *to) {
  if (!to || pixel == 0xffffffffu) return pixel;
  if (emulated(to)) {
    uint32_t v = from->colormapEntries ? pixel % from->colormapEntries : pixel;
    return shiftLeft(v, to->redShift) | shiftLeft(v, to->greenShift) | shiftLeft(v, to->blueShift);
  }
  return moveChannels(pixel, from, to);
}

uint32_t xproxyConvertPixelBack(uint32_t pixel, const VisualRecord *from, const VisualRecord *to) {
  if (!to || pixel == 0xffffffffu) return pixel;
  if (emulated(to)) return to->redShift < 32 ? (pixel & to->redMask) >> to->redShift : 0;
  return moveChannels(pixel, to, from);
}

uint32_t xproxyPixelToServer(uint32_t pixel, const VisualRecord *visual, const Head *head) {
  return xproxyConvertPixel(pixel, visual, xproxyVisualConversion(visual, head));
}
uint32_t xproxyPixelToServer2(uint32_t pixel, const VisualRecord *visual, const Head *head) {
  return xproxyPixelToServer(pixel, visual, head);
}
uint32_t xproxyPixelFromServer(uint32_t pixel, const VisualRecord *visual, const Head *head) {
  return xproxyConvertPixelBack(pixel, visual, xproxyVisualConversion(visual, head));
}
uint32_t xproxyPixelFromServer2(uint32_t pixel, const VisualRecord *visual, const Head *head) {
  return xproxyPixelFromServer(pixel, visual, head);
}
// ===== end of pixel conversion ==============================================================
