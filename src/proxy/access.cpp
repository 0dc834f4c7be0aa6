// Host access control and the authorization protocols of connecting clients.
#include "proxy/access.h"

#include <arpa/inet.h>
#include <grp.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rpc/rpc.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <X11/Xauth.h>
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "proxy/securerpc.h"
#include "support/logging.h"

AccessXdmcpHooks accessXdmcpHooks = {};

namespace {

constexpr int kBadValue = 2;
constexpr int kBadAccess = 10;
constexpr int kBadAlloc = 11;
constexpr size_t kHostLineMax = 119;
constexpr int kHostnameMax = 1024;

// --- host access state ---
HostEntry *hostList = nullptr;   // the host access list, newest first
HostEntry *selfList = nullptr;   // the machine's own addresses, newest first
ServerInterpretedType *siTypes = nullptr;
int accessEnabled = 1;
int accessDefeated = 0;
int localHostEnabled = 0;
int localHostRequested = 0;
std::string hostFileTemplate = "/etc/X%s.hosts";

// --- authorization state ---
uint32_t authIdCounter = 0;
std::string authFileName;
timespec authFileTime{};  // modification time of the last read (all zero: none recorded)
ino_t authFileInode = 0;
bool authReload = true;
bool authLoaded = false;
struct FileAuth {
  int protocol;
  uint32_t id;
};
std::vector<FileAuth> authFromFile;  // what the last read of the file added

struct MitCookie {
  MitCookie *next;
  uint16_t length;
  uint8_t *data;
  uint32_t id;
};
MitCookie *mitCookies = nullptr;

struct XdmEntry {
  XdmEntry *next;
  uint8_t rho[8];
  uint8_t key[8];
  uint8_t both[16];  // rho and key, as fromID hands them out
  uint32_t id;
};
XdmEntry *xdmEntries = nullptr;
struct XdmClientRecord {
  XdmClientRecord *next;
  uint8_t rho[8];
  uint8_t clientId[6];
  uint32_t time;
};
XdmClientRecord *xdmReplayCache = nullptr;
int64_t xdmClockOffset = 0;
bool xdmClockOffsetSet = false;
bool xdmAddingFromXdmcp = false;

XdmAuthKeyRec xdmPrivateKey{};
XdmAuthKeyRec xdmRho{};

uint32_t sunDesId = kAuthIdNone;
char sunDesReason[400];

// ---------------------------------------------------------------------------------------
// Entries and lists

HostEntry *newHostEntry(int family, const uint8_t *address, int length) {
  auto *entry = static_cast<HostEntry *>(calloc(1, sizeof(HostEntry) + static_cast<size_t>(length)));
  if (!entry) return nullptr;
  entry->family = static_cast<uint16_t>(family);
  entry->length = static_cast<uint16_t>(length);
  if (length) memcpy(entry->address(), address, static_cast<size_t>(length));
  return entry;
}

bool sameHost(const HostEntry *entry, int family, const uint8_t *address, int length) {
  return entry->family == family && entry->length == length &&
         (length == 0 || memcmp(entry->address(), address, static_cast<size_t>(length)) == 0);
}

HostEntry *findHost(HostEntry *list, int family, const uint8_t *address, int length) {
  for (HostEntry *e = list; e; e = e->next)
    if (sameHost(e, family, address, length)) return e;
  return nullptr;
}

void freeHostList(HostEntry *&list) {
  while (list) {
    HostEntry *next = list->next;
    free(list);
    list = next;
  }
}

bool addSelf(int family, const uint8_t *address, int length) {
  if (findHost(selfList, family, address, length)) return false;
  HostEntry *entry = newHostEntry(family, address, length);
  if (!entry) return false;
  entry->next = selfList;
  selfList = entry;
  return true;
}

// The peer address of a client's connection (malloc'ed), or NULL.
sockaddr *peerAddress(AccessClient *client, socklen_t *length) {
  if (!client || !client->transport) return nullptr;
  int family = 0, size = 0;
  Xtransaddr *address = nullptr;
  if (_X11TransGetPeerAddr(client->transport, &family, &size, &address) < 0 || !address) {
    free(address);
    return nullptr;
  }
  *length = static_cast<socklen_t>(size);
  return reinterpret_cast<sockaddr *>(address);
}

bool isNameChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == ':'; }

// ---------------------------------------------------------------------------------------
// Server-interpreted types

int hostnameCheck(const char *value, int length, void *) {
  if (length < 1 || length > kHostnameMax) return -1;
  for (int i = 0; i < length; i++) {
    char c = value[i];
    if (isNameChar(c)) continue;
    if ((c == '.' || c == '-') && i > 0 && i + 1 < length && isNameChar(value[i - 1]) && isNameChar(value[i + 1]))
      continue;
    return -1;
  }
  return length;
}

bool hostnameMatch(int family, const uint8_t *address, int length, const char *value, int valueLength,
                   AccessClient *, void *) {
  if (valueLength < 1 || valueLength > kHostnameMax) return false;
  std::string name(value, static_cast<size_t>(valueLength));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *result = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return false;
  bool found = false;
  for (addrinfo *a = result; a && !found; a = a->ai_next) {
    int convertedLength = 0;
    const uint8_t *bytes = nullptr;
    int converted = accessConvertAddress(a->ai_addr, a->ai_addrlen, &convertedLength, &bytes);
    found = converted == family && convertedLength == length && memcmp(bytes, address, static_cast<size_t>(length)) == 0;
  }
  freeaddrinfo(result);
  return found;
}

// The id a "localuser"/"localgroup" value names: "#number" or a user (group) name.
bool localCredentialId(const char *value, int length, bool group, long *id) {
  if (length < 1 || length > 1024) return false;
  std::string text(value, static_cast<size_t>(length));
  if (text.find('\0') != std::string::npos) return false;
  if (text[0] == '#') {
    if (text.size() < 2) return false;
    char *end = nullptr;
    errno = 0;
    long number = strtol(text.c_str() + 1, &end, 0);
    if (errno || *end || number < 0 || number > UINT_MAX) return false;
    *id = number;
    return true;
  }
  std::vector<char> buffer(16384);
  if (group) {
    struct group entry, *found = nullptr;
    if (getgrnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    *id = found->gr_gid;
  } else {
    struct passwd entry, *found = nullptr;
    if (getpwnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    *id = found->pw_uid;
  }
  return true;
}

int localCredentialCheck(const char *value, int length, void *argument) {
  long id = 0;
  return localCredentialId(value, length, argument != nullptr, &id) ? length : -1;
}

bool localCredentialMatch(int family, const uint8_t *, int, const char *value, int valueLength, AccessClient *client,
                          void *argument) {
  if (family != kFamilyLocal || !client) return false;
  long id = 0;
  if (!localCredentialId(value, valueLength, argument != nullptr, &id)) return false;
  uid_t uid;
  gid_t gid;
  gid_t *groups = nullptr;
  int count = 0;
  if (accessPeerCredentials(client, &uid, &gid, &groups, &count) != 0) return false;
  return argument ? static_cast<long>(gid) == id : static_cast<long>(uid) == id;
}

int groupArgument;  // a non-NULL argument marks "localgroup"

ServerInterpretedType *findSiType(const char *name, size_t length) {
  for (ServerInterpretedType *t = siTypes; t; t = t->next)
    if (strlen(t->name) == length && memcmp(t->name, name, length) == 0) return t;
  return nullptr;
}

bool siMatch(const HostEntry *entry, int family, const uint8_t *address, int length, AccessClient *client) {
  const char *text = reinterpret_cast<const char *>(entry->address());
  const void *nul = memchr(text, 0, entry->length);
  if (!nul) return false;
  size_t typeLength = static_cast<size_t>(static_cast<const char *>(nul) - text);
  ServerInterpretedType *type = findSiType(text, typeLength);
  if (!type) return false;
  int valueLength = entry->length - static_cast<int>(typeLength) - 1;
  return type->match(family, address, length, text + typeLength + 1, valueLength, client, type->argument);
}

// ---------------------------------------------------------------------------------------
// Host file

void addResolvedHost(const char *name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return;
  for (addrinfo *a = result; a; a = a->ai_next) {
    int length = 0;
    const uint8_t *bytes = nullptr;
    int family = accessConvertAddress(a->ai_addr, a->ai_addrlen, &length, &bytes);
    if (family == kFamilyInternet) accessNewHost(family, bytes, length, 0);  // others do not convert: skipped
  }
  freeaddrinfo(result);
}

void addNetnameHost(const char *name) {
  accessSunDesInit();
  accessNewHost(kFamilyNetname, reinterpret_cast<const uint8_t *>(name), static_cast<int>(strlen(name)), 0);
}

void readHostLine(const std::string &line) {
  std::string lower = line;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("local:", 0) == 0) {
    localHostRequested = 1;
    accessNewHost(kFamilyLocalHost, nullptr, 0, 0);
  } else if (lower.rfind("inet:", 0) == 0) {
    addResolvedHost(line.c_str() + 5);
  } else if (lower.rfind("nis:", 0) == 0) {
    addNetnameHost(line.c_str() + 4);
  } else if (lower.rfind("si:", 0) == 0) {
    // "si:type:value" as xhost writes it becomes the protocol form "type", NUL, "value".
    std::string form = line.substr(3);
    size_t colon = form.find(':');
    if (colon == std::string::npos) return;
    form[colon] = '\0';
    int accepted = accessCheckServerInterpreted(form.data(), static_cast<int>(form.size()));
    if (accepted > 0)
      accessNewHost(kFamilyServerInterpreted, reinterpret_cast<const uint8_t *>(form.data()), accepted, 0);
  } else if (line.find('@') != std::string::npos) {
    addNetnameHost(line.c_str());
  } else if (!line.empty()) {
    addResolvedHost(line.c_str());
  }
}

// ---------------------------------------------------------------------------------------
// Authorization helpers

uint32_t nextAuthId() { return ++authIdCounter; }

bool timesEqual(const timespec &a, const timespec &b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

uint32_t readBigEndian32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Validation of unwrapped XDM-AUTHORIZATION-1 data; a client given is checked for replays and
// recorded in the replay cache when record is set.
const char *xdmValidate(const uint8_t *plain, size_t length, const uint8_t *rho, AccessClient *client, bool record) {
  if (length != 24) return "Bad XDM authorization key length";
  if (memcmp(plain, rho, 8) != 0) return "Invalid XDM-AUTHORIZATION-1 key (failed key comparison)";
  for (int i = 18; i < 24; i++)
    if (plain[i]) return "Invalid XDM-AUTHORIZATION-1 key (failed NULL check)";
  if (client) {
    socklen_t peerLength = 0;
    sockaddr *peer = peerAddress(client, &peerLength);
    int addressLength = 0;
    const uint8_t *bytes = nullptr;
    bool mismatch = peer && accessConvertAddress(peer, peerLength, &addressLength, &bytes) == kFamilyInternet &&
                    memcmp(plain + 8, bytes, 4) != 0;
    free(peer);
    if (mismatch) return "Invalid XDM-AUTHORIZATION-1 key (failed address comparison)";
  }
  int64_t sent = readBigEndian32(plain + 14);
  int64_t now = time(nullptr);
  if (!xdmClockOffsetSet) {
    xdmClockOffset = sent - now;
    xdmClockOffsetSet = true;
  }
  int64_t expected = now + xdmClockOffset;
  for (XdmClientRecord **link = &xdmReplayCache; *link;) {
    XdmClientRecord *r = *link;
    if (llabs(static_cast<int64_t>(r->time) - expected) > 1500) {
      *link = r->next;
      free(r);
    } else {
      link = &r->next;
    }
  }
  if (llabs(sent - expected) > 1200) return "Excessive XDM-AUTHORIZATION-1 time offset";
  for (XdmClientRecord *r = xdmReplayCache; r; r = r->next)
    if (memcmp(r->rho, rho, 8) == 0 && memcmp(r->clientId, plain + 8, 6) == 0 && r->time == sent)
      return "XDM authorization key matches an existing client!";
  if (record && client) {
    auto *r = static_cast<XdmClientRecord *>(calloc(1, sizeof(XdmClientRecord)));
    if (r) {
      memcpy(r->rho, rho, 8);
      memcpy(r->clientId, plain + 8, 6);
      r->time = static_cast<uint32_t>(sent);
      r->next = xdmReplayCache;
      xdmReplayCache = r;
    }
  }
  return nullptr;
}

// Splits XDM-AUTHORIZATION-1 add/remove data into rho and key; false for other lengths or a
// key whose first byte is not 0.
bool xdmRhoAndKey(uint16_t length, const uint8_t *data, uint8_t *rho, uint8_t *key) {
  if (length == 16) {
    if (xdmAddingFromXdmcp) {
      memcpy(rho, xdmRho.data, 8);
      memcpy(key, data, 8);
      key[0] = 0;
    } else {
      memcpy(rho, data, 8);
      memcpy(key, data + 8, 8);
    }
  } else if (length == 8) {
    memcpy(rho, xdmRho.data, 8);
    memcpy(key, data, 8);
  } else {
    return false;
  }
  return key[0] == 0;
}

bool netnameTest(const uint8_t *address, int length, const char *text) {
  return static_cast<size_t>(length) == strlen(text) && memcmp(address, text, static_cast<size_t>(length)) == 0;
}

const AuthProtocol protocols[] = {
    {18, "MIT-MAGIC-COOKIE-1", accessMitCookieAdd, accessMitCookieCheck, accessMitCookieReset, accessMitCookieToID,
     accessMitCookieFromID, accessMitCookieRemove},
    {19, "XDM-AUTHORIZATION-1", accessXdmCookieAdd, accessXdmCookieCheck, accessXdmCookieReset, accessXdmCookieToID,
     accessXdmCookieFromID, accessXdmCookieRemove},
    {9, "SUN-DES-1", accessSunDesAdd, accessSunDesCheck, accessSunDesReset, accessSunDesToID, accessSunDesFromID,
     accessSunDesRemove},
};

int findProtocol(uint16_t nameLength, const char *name) {
  for (int i = 0; i < 3; i++)
    if (protocols[i].nameLength == nameLength && memcmp(protocols[i].name, name, nameLength) == 0) return i;
  return -1;
}

// Drops what the previous read of the authority file added.
void forgetFileAuthorizations() {
  for (const FileAuth &added : authFromFile) {
    const AuthProtocol &p = protocols[added.protocol];
    uint16_t length = 0;
    const uint8_t *data = nullptr;
    if (p.fromID(added.id, &length, &data)) {
      std::vector<uint8_t> copy(data, data + length);
      p.remove(length, copy.data());
    }
  }
  authFromFile.clear();
}

void reloadAuthFile() {
  if (authFileName.empty()) {
    accessEnableLocalHost();
    return;
  }
  FILE *file = fopen(authFileName.c_str(), "rbe");
  if (!file) {
    if (!authLoaded) accessEnableLocalHost();
    return;
  }
  forgetFileAuthorizations();
  int added = 0;
  while (Xauth *entry = XauReadAuth(file)) {
    int p = findProtocol(entry->name_length, entry->name);
    if (p >= 0 && protocols[p].add) {
      uint32_t id = nextAuthId();
      if (protocols[p].add(entry->data_length, reinterpret_cast<const uint8_t *>(entry->data), id)) {
        added++;
        authFromFile.push_back({p, id});
      }
    }
    XauDisposeAuth(entry);
  }
  fclose(file);
  if (added) {
    accessDisableLocalHost();
    authLoaded = true;
  } else {
    accessEnableLocalHost();
  }
}

}  // namespace

// =======================================================================================
// Host access

int accessConvertAddress(const sockaddr *address, socklen_t length, int *addressLength, const uint8_t **bytes) {
  *addressLength = 0;
  *bytes = nullptr;
  if (length == 0 || !address) return kFamilyLocal;
  if (length < sizeof(sa_family_t)) return -1;
  if (address->sa_family < 2) return kFamilyLocal;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    *addressLength = 4;
    *bytes = reinterpret_cast<const uint8_t *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    return kFamilyInternet;
  }
  return -1;
}

void accessLocalAddresses(int socketFd) {
  char buffer[2048];
  ifconf conf{};
  conf.ifc_len = sizeof buffer;
  conf.ifc_buf = buffer;
  if (ioctl(socketFd, SIOCGIFCONF, &conf) < 0) {
    LOG(logChannelError, "Getting interface configuration (4)");
  } else {
    int n = conf.ifc_len / static_cast<int>(sizeof(ifreq));
    for (int i = 0; i < n; i++) {
      ifreq &request = conf.ifc_req[i];
      int length = 0;
      const uint8_t *bytes = nullptr;
      if (accessConvertAddress(&request.ifr_addr, sizeof request.ifr_addr, &length, &bytes) != kFamilyInternet)
        continue;
      uint8_t address[4];
      memcpy(address, bytes, 4);
      addSelf(kFamilyInternet, address, 4);
      static const uint8_t loopback[4] = {127, 0, 0, 1}, any[4] = {0, 0, 0, 0};
      if (memcmp(address, loopback, 4) == 0 || memcmp(address, any, 4) == 0) continue;
      if (accessXdmcpHooks.registerConnection) accessXdmcpHooks.registerConnection(kFamilyInternet, address, 4);
      ifreq flags = request;
      if (ioctl(socketFd, SIOCGIFFLAGS, &flags) < 0) continue;
      if ((flags.ifr_flags & IFF_UP) && (flags.ifr_flags & IFF_BROADCAST)) {
        ifreq broadcast = request;
        if (ioctl(socketFd, SIOCGIFBRDADDR, &broadcast) == 0 && accessXdmcpHooks.registerBroadcastAddress)
          accessXdmcpHooks.registerBroadcastAddress(&broadcast.ifr_broadaddr, sizeof broadcast.ifr_broadaddr);
      }
    }
  }
  addSelf(kFamilyLocalHost, nullptr, 0);
}

void accessAddSelfAddress(const sockaddr *address, socklen_t length) {
  int addressLength = 0;
  const uint8_t *bytes = nullptr;
  int family = accessConvertAddress(address, length, &addressLength, &bytes);
  if (family >= 0) addSelf(family, bytes, addressLength);
}

int accessNewHost(int family, const uint8_t *address, int length, int addingLocalHosts) {
  if (findHost(hostList, family, address, length)) return 1;
  if (!addingLocalHosts)
    if (HostEntry *self = findHost(selfList, family, address, length)) self->requested = 1;
  HostEntry *entry = newHostEntry(family, address, length);
  if (!entry) return 0;
  entry->next = hostList;
  hostList = entry;
  return 1;
}

void accessAddLocalHosts() {
  for (HostEntry *self = selfList; self; self = self->next)
    accessNewHost(self->family, self->address(), self->length, 1);
}

void accessEnableLocalHost() {
  localHostEnabled = 1;
  accessAddLocalHosts();
}

void accessDisableLocalHost() {
  if (!localHostRequested) localHostEnabled = 0;
  for (HostEntry *self = selfList; self; self = self->next) {
    if (self->requested) continue;
    for (HostEntry **link = &hostList; *link; link = &(*link)->next) {
      if (sameHost(*link, self->family, self->address(), self->length)) {
        HostEntry *gone = *link;
        *link = gone->next;
        free(gone);
        break;
      }
    }
  }
}

bool accessIsLocalClient(AccessClient *client) {
  socklen_t length = 0;
  sockaddr *peer = peerAddress(client, &length);
  if (!peer) return false;
  int addressLength = 0;
  const uint8_t *bytes = nullptr;
  int family = accessConvertAddress(peer, length, &addressLength, &bytes);
  bool local = family == kFamilyLocal || (family >= 0 && findHost(selfList, family, bytes, addressLength));
  free(peer);
  return local;
}

bool accessAuthorizedClient(AccessClient *client) {
  return !client || accessDefeated || accessIsLocalClient(client);
}

int accessPeerCredentials(AccessClient *client, uid_t *uid, gid_t *gid, gid_t **groups, int *count) {
  *groups = nullptr;
  *count = 0;
  socklen_t length = 0;
  sockaddr *peer = peerAddress(client, &length);
  if (!peer) return -1;
  int addressLength = 0;
  const uint8_t *bytes = nullptr;
  bool unixDomain = accessConvertAddress(peer, length, &addressLength, &bytes) == kFamilyLocal;
  free(peer);
  if (!unixDomain) return -1;
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(_X11TransGetConnectionNumber(client->transport), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    return -1;
  *uid = credentials.uid;
  *gid = credentials.gid;
  return 0;
}

namespace {

// The checks that adding and removing share; 0 when the address may be used.
int checkHostChange(AccessClient *client, int family, int length, const uint8_t *address) {
  if (!accessAuthorizedClient(client)) return kBadAccess;
  switch (family) {
    case kFamilyLocalHost:
    case kFamilyNetname:
      return 0;
    case kFamilyInternet:
    case kFamilyServerInterpreted:
    case 1:
    case 2:
      if (length < 0 || accessCheckAddress(family, address, length) < 0) {
        if (client) client->errorValue = static_cast<uint32_t>(length);
        return kBadValue;
      }
      return 0;
    default:
      if (client) client->errorValue = static_cast<uint32_t>(family);
      return kBadValue;
  }
}

}  // namespace

int accessAddHost(AccessClient *client, int family, int length, const uint8_t *address) {
  if (int error = checkHostChange(client, family, length, address)) return error;
  if (family == kFamilyLocalHost) localHostEnabled = 1;
  if (family == kFamilyNetname) accessSunDesInit();
  return accessNewHost(family, address, length, 0) ? 0 : kBadAlloc;
}

int accessRemoveHost(AccessClient *client, int family, int length, const uint8_t *address) {
  if (int error = checkHostChange(client, family, length, address)) return error;
  if (family == kFamilyLocalHost) localHostEnabled = 0;
  for (HostEntry **link = &hostList; *link; link = &(*link)->next) {
    if (sameHost(*link, family, address, length)) {
      HostEntry *gone = *link;
      *link = gone->next;
      free(gone);
      break;
    }
  }
  return 0;
}

int accessCheckAddress(int family, const uint8_t *address, int length) {
  if (family == kFamilyInternet) return length == 4 ? length : -1;
  if (family == kFamilyServerInterpreted) return accessCheckServerInterpreted(reinterpret_cast<const char *>(address), length);
  return -1;
}

int accessCheckServerInterpreted(const char *value, int length) {
  if (!value || length <= 0) return -1;
  const void *nul = memchr(value, 0, static_cast<size_t>(length));
  if (!nul) return -1;
  size_t typeLength = static_cast<size_t>(static_cast<const char *>(nul) - value);
  ServerInterpretedType *type = findSiType(value, typeLength);
  if (!type) return -1;
  int accepted = type->check(value + typeLength + 1, length - static_cast<int>(typeLength) - 1, type->argument);
  if (accepted < 0) return -1;
  return accepted + static_cast<int>(typeLength) + 1;
}

int accessListHosts(uint8_t **data, int *count, int *length, int *enabled) {
  *enabled = accessEnabled;
  *data = nullptr;
  *count = 0;
  *length = 0;
  uint64_t total = 0;
  int n = 0;
  for (HostEntry *e = hostList; e; e = e->next, n++) total += 4 + ((e->length + 3u) & ~3u);
  if (n == 0) return 0;
  if (total > INT_MAX) return kBadAlloc;
  auto *out = static_cast<uint8_t *>(calloc(1, total));
  if (!out) return kBadAlloc;
  uint8_t *p = out;
  for (HostEntry *e = hostList; e; e = e->next) {
    p[0] = static_cast<uint8_t>(e->family);
    p[1] = 0;
    memcpy(p + 2, &e->length, 2);
    if (e->length) memcpy(p + 4, e->address(), e->length);
    p += 4 + ((e->length + 3u) & ~3u);
  }
  *data = out;
  *count = n;
  *length = static_cast<int>(total);
  return 0;
}

int accessSetEnabled(AccessClient *client, int enabled) {
  if (!accessAuthorizedClient(client)) return kBadAccess;
  accessEnabled = enabled;
  return 0;
}

int accessGetEnabled() { return accessEnabled; }

bool accessHasHostOfFamily(int family, bool (*test)(const uint8_t *, int, const char *), const char *text) {
  for (HostEntry *e = hostList; e; e = e->next)
    if (e->family == family && test(e->address(), e->length, text)) return true;
  return false;
}

int accessCheckHost(const sockaddr *address, socklen_t length, AccessClient *client) {
  if (!accessEnabled) return 0;
  int addressLength = 0;
  const uint8_t *bytes = nullptr;
  int family = accessConvertAddress(address, length, &addressLength, &bytes);
  if (family < 0) return 1;
  if (family == kFamilyLocal) {
    if (localHostEnabled) return 0;
    for (HostEntry *self = selfList; self; self = self->next)
      if (findHost(hostList, self->family, self->address(), self->length)) return 0;
    // Not admitted as the local host: "localuser"/"localgroup" entries may still admit it.
  }
  for (HostEntry *e = hostList; e; e = e->next) {
    if (e->family == kFamilyServerInterpreted) {
      if (siMatch(e, family, bytes, addressLength, client)) return 0;
    } else if (sameHost(e, family, bytes, addressLength)) {
      return 0;
    }
  }
  return 1;
}

int accessAddServerInterpretedType(const char *name, SiMatch match, SiCheck check, void *argument) {
  if (!name || !match || !check) return kBadValue;
  ServerInterpretedType **link = &siTypes;
  for (; *link; link = &(*link)->next) {
    if (strcmp((*link)->name, name) == 0) {
      (*link)->match = match;
      (*link)->check = check;
      (*link)->argument = argument;
      return 0;
    }
  }
  auto *type = static_cast<ServerInterpretedType *>(calloc(1, sizeof(ServerInterpretedType)));
  char *copy = strdup(name);
  if (!type || !copy) {
    free(type);
    free(copy);
    return kBadAlloc;
  }
  *type = {nullptr, copy, match, check, argument};
  *link = type;
  return 0;
}

void accessResetHosts(const char *displayText) {
  accessAddServerInterpretedType("hostname", hostnameMatch, hostnameCheck, nullptr);
  accessAddServerInterpretedType("localuser", localCredentialMatch, localCredentialCheck, nullptr);
  accessAddServerInterpretedType("localgroup", localCredentialMatch, localCredentialCheck, &groupArgument);
  accessEnabled = accessDefeated ? 0 : 1;
  localHostEnabled = 0;
  localHostRequested = 0;
  freeHostList(hostList);
  for (HostEntry *self = selfList; self; self = self->next) self->requested = 0;
  if (!displayText) displayText = "";
  if (strlen(displayText) + 13 > 4097) {
    LOG(logChannelError, "Display name `%s' is too long\n", displayText);
    return;
  }
  std::string path;
  for (size_t i = 0; i < hostFileTemplate.size(); i++) {
    if (hostFileTemplate.compare(i, 2, "%s") == 0) {
      path += displayText;
      i++;
    } else {
      path += hostFileTemplate[i];
    }
  }
  FILE *file = fopen(path.c_str(), "re");
  if (!file) return;
  char buffer[kHostLineMax + 2];
  while (fgets(buffer, sizeof buffer, file)) {
    size_t n = strlen(buffer);
    bool complete = n > 0 && buffer[n - 1] == '\n';
    if (!complete && !feof(file)) {
      // A line longer than 119 characters is skipped whole: its tail is no host name.
      int c;
      while ((c = fgetc(file)) != EOF && c != '\n') {
      }
      continue;
    }
    if (complete) buffer[--n] = '\0';
    if (n > kHostLineMax || buffer[0] == '#') continue;
    readHostLine(std::string(buffer, n));
  }
  fclose(file);
}

void accessSetDefeated(int defeated) { accessDefeated = defeated ? 1 : 0; }

void accessSetHostFileTemplate(const char *templateText) {
  hostFileTemplate = templateText ? templateText : "/etc/X%s.hosts";
}

const HostEntry *accessHostList() { return hostList; }

// =======================================================================================
// Authorization

const char *accessClientAuthorized(AccessClient *client, uint16_t nameLength, const char *name, uint16_t dataLength,
                                   const uint8_t *data) {
  const char *reason = nullptr;
  uint32_t id = accessReadAuthFile(nameLength, name, dataLength, data, client, &reason);
  if (id == kAuthIdNone) {
    socklen_t length = 0;
    sockaddr *peer = peerAddress(client, &length);
    if (peer && accessCheckHost(peer, length, client) == 0) id = 0;
    free(peer);
  }
  if (client) client->authorizationId = id;
  if (id == kAuthIdNone) return reason ? reason : "Client is not authorized to connect to Server";
  if (client) client->connectionTime = 0;
  if (accessXdmcpHooks.manageAccepted)
    accessXdmcpHooks.manageAccepted(client && client->transport ? _X11TransGetConnectionNumber(client->transport) : -1);
  return nullptr;
}

uint32_t accessReadAuthFile(uint16_t nameLength, const char *name, uint16_t dataLength, const uint8_t *data,
                            AccessClient *client, const char **reason) {
  struct stat status;
  static const timespec zero{};
  if (!authFileName.empty() && stat(authFileName.c_str(), &status) == 0) {
    if (!timesEqual(status.st_mtim, authFileTime) || status.st_ino != authFileInode) {
      authFileTime = status.st_mtim;
      authFileInode = status.st_ino;
      authReload = true;
    }
  } else if (!timesEqual(authFileTime, zero) || authFileInode) {
    authFileTime = zero;
    authFileInode = 0;
    authReload = true;
  }
  if (authReload) {
    authReload = false;
    reloadAuthFile();
  }
  if (nameLength == 0) {
    *reason = "No protocol specified\n";
    return kAuthIdNone;
  }
  int p = findProtocol(nameLength, name);
  if (p < 0) {
    *reason = "Protocol not supported by server\n";
    return kAuthIdNone;
  }
  return protocols[p].check(dataLength, data, client, reason);
}

int accessAddAuthorization(uint16_t nameLength, const char *name, uint16_t dataLength, const uint8_t *data) {
  int p = findProtocol(nameLength, name);
  if (p < 0 || !protocols[p].add) return 0;
  return protocols[p].add(dataLength, data, nextAuthId());
}

int accessAuthorizationFromID(uint32_t id, uint16_t *nameLength, const char **name, uint16_t *dataLength,
                              const uint8_t **data) {
  for (const AuthProtocol &p : protocols) {
    if (p.fromID && p.fromID(id, dataLength, data)) {
      *nameLength = p.nameLength;
      *name = p.name;
      return 1;
    }
  }
  return 0;
}

void accessResetAuth() {
  for (const AuthProtocol &p : protocols) p.reset();
  authFromFile.clear();
  authReload = true;
}

void accessRegisterAuthorizations() {
  if (!accessXdmcpHooks.registerAuthorization) return;
  for (const AuthProtocol &p : protocols) accessXdmcpHooks.registerAuthorization(p.name, p.nameLength);
}

void accessSetFlag(const char *fileName) {
  authFileName = fileName ? fileName : "";
  authReload = true;
}

void accessXdmAuthenticationInit(const char *cookie, int length) {
  memset(&xdmPrivateKey, 0, sizeof xdmPrivateKey);
  if (!cookie || length < 0) length = 0;
  if (length > 2 && cookie[0] == '0' && (cookie[1] == 'x' || cookie[1] == 'X')) {
    int byte = 0;
    for (int i = 2; i + 1 < length && byte < 8; i += 2) {
      if (!isxdigit(static_cast<unsigned char>(cookie[i])) || !isxdigit(static_cast<unsigned char>(cookie[i + 1])))
        break;
      char pair[3] = {cookie[i], cookie[i + 1], 0};
      xdmPrivateKey.data[byte++] = static_cast<BYTE>(strtoul(pair, nullptr, 16));
    }
  } else {
    for (int i = 0; i < length && i < 7; i++) xdmPrivateKey.data[i + 1] = static_cast<BYTE>(cookie[i]);
  }
  XdmcpGenerateKey(&xdmRho);
  static const char name[] = "XDM-AUTHENTICATION-1";
  if (accessXdmcpHooks.registerAuthentication)
    accessXdmcpHooks.registerAuthentication(name, static_cast<int>(sizeof name - 1), xdmRho.data, 8,
                                            accessXdmAuthGenerator, accessXdmAuthValidator, accessXdmAuthAdder);
}

void accessXdmAuthGenerator(int opcode, const uint8_t *, int, uint8_t **out, int *outLength) {
  *out = nullptr;
  *outLength = 0;
  if (opcode != REQUEST) return;
  auto *wrapped = static_cast<uint8_t *>(malloc(8));
  if (!wrapped) return;
  XdmcpWrap(xdmRho.data, xdmPrivateKey.data, wrapped, 8);
  *out = wrapped;
  *outLength = 8;
}

int accessXdmAuthValidator(int opcode, const uint8_t *data, int length) {
  if (opcode != ACCEPT) return 1;
  if (length != 8 || !data) return 0;
  XdmAuthKeyRec received;
  XdmcpUnwrap(const_cast<uint8_t *>(data), xdmPrivateKey.data, received.data, 8);
  XdmcpDecrementKey(&received);
  return XdmcpCompareKeys(&received, &xdmRho);
}

int accessXdmAuthAdder(int nameLength, const char *name, int dataLength, const uint8_t *data) {
  if (nameLength < 0 || nameLength > 0xFFFF || dataLength <= 0 || dataLength > 0xFFFF || dataLength % 8 != 0)
    return 0;
  std::vector<uint8_t> plain(static_cast<size_t>(dataLength));
  XdmcpUnwrap(const_cast<uint8_t *>(data), xdmPrivateKey.data, plain.data(), dataLength);
  xdmAddingFromXdmcp = true;
  int added = accessAddAuthorization(static_cast<uint16_t>(nameLength), name, static_cast<uint16_t>(dataLength),
                                     plain.data());
  xdmAddingFromXdmcp = false;
  return added;
}

// --- MIT-MAGIC-COOKIE-1 ---

int accessMitCookieAdd(uint16_t length, const uint8_t *data, uint32_t id) {
  auto *cookie = static_cast<MitCookie *>(calloc(1, sizeof(MitCookie)));
  auto *copy = static_cast<uint8_t *>(malloc(length ? length : 1));
  if (!cookie || !copy) {
    free(cookie);
    free(copy);
    return 0;
  }
  if (length) memcpy(copy, data, length);
  *cookie = {mitCookies, length, copy, id};
  mitCookies = cookie;
  return 1;
}

uint32_t accessMitCookieToID(uint16_t length, const uint8_t *data) {
  for (MitCookie *c = mitCookies; c; c = c->next)
    if (c->length == length && (length == 0 || memcmp(c->data, data, length) == 0)) return c->id;
  return kAuthIdNone;
}

uint32_t accessMitCookieCheck(uint16_t length, const uint8_t *data, AccessClient *, const char **reason) {
  uint32_t id = accessMitCookieToID(length, data);
  if (id == kAuthIdNone) *reason = "Invalid MIT-MAGIC-COOKIE-1 key";
  return id;
}

void accessMitCookieReset() {
  while (mitCookies) {
    MitCookie *next = mitCookies->next;
    free(mitCookies->data);
    free(mitCookies);
    mitCookies = next;
  }
}

int accessMitCookieFromID(uint32_t id, uint16_t *length, const uint8_t **data) {
  for (MitCookie *c = mitCookies; c; c = c->next) {
    if (c->id == id) {
      *length = c->length;
      *data = c->data;
      return 1;
    }
  }
  return 0;
}

int accessMitCookieRemove(uint16_t length, const uint8_t *data) {
  for (MitCookie **link = &mitCookies; *link; link = &(*link)->next) {
    MitCookie *c = *link;
    if (c->length == length && (length == 0 || memcmp(c->data, data, length) == 0)) {
      *link = c->next;
      free(c->data);
      free(c);
      return 1;
    }
  }
  return 0;
}

// --- XDM-AUTHORIZATION-1 ---

int accessXdmCookieAdd(uint16_t length, const uint8_t *data, uint32_t id) {
  uint8_t rho[8], key[8];
  if (!xdmRhoAndKey(length, data, rho, key)) return 0;
  auto *entry = static_cast<XdmEntry *>(calloc(1, sizeof(XdmEntry)));
  if (!entry) return 0;
  memcpy(entry->rho, rho, 8);
  memcpy(entry->key, key, 8);
  memcpy(entry->both, rho, 8);
  memcpy(entry->both + 8, key, 8);
  entry->id = id;
  entry->next = xdmEntries;
  xdmEntries = entry;
  return 1;
}

namespace {

uint32_t xdmCheck(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason, bool record) {
  if (length % 8 != 0) {
    if (reason) *reason = "Bad XDM authorization key length";
    return kAuthIdNone;
  }
  // Unwrapped data goes into a buffer of exactly the data's size.
  std::vector<uint8_t> plain(length);
  for (XdmEntry *e = xdmEntries; e; e = e->next) {
    if (length) XdmcpUnwrap(const_cast<uint8_t *>(data), e->key, plain.data(), length);
    const char *why = xdmValidate(plain.data(), length, e->rho, client, record);
    if (!why) return e->id;
    if (reason) *reason = why;
  }
  return kAuthIdNone;
}

}  // namespace

uint32_t accessXdmCookieCheck(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason) {
  return xdmCheck(length, data, client, reason, true);
}

uint32_t accessXdmCookieToID(uint16_t length, const uint8_t *data) {
  return xdmCheck(length, data, nullptr, nullptr, false);
}

void accessXdmCookieReset() {
  while (xdmEntries) {
    XdmEntry *next = xdmEntries->next;
    free(xdmEntries);
    xdmEntries = next;
  }
  while (xdmReplayCache) {
    XdmClientRecord *next = xdmReplayCache->next;
    free(xdmReplayCache);
    xdmReplayCache = next;
  }
}

int accessXdmCookieFromID(uint32_t id, uint16_t *length, const uint8_t **data) {
  for (XdmEntry *e = xdmEntries; e; e = e->next) {
    if (e->id == id) {
      *length = 16;
      *data = e->both;
      return 1;
    }
  }
  return 0;
}

int accessXdmCookieRemove(uint16_t length, const uint8_t *data) {
  uint8_t rho[8], key[8];
  if (!xdmRhoAndKey(length, data, rho, key)) return 0;
  for (XdmEntry **link = &xdmEntries; *link; link = &(*link)->next) {
    XdmEntry *e = *link;
    if (memcmp(e->rho, rho, 8) == 0 && memcmp(e->key, key, 8) == 0) {
      *link = e->next;
      free(e);
      return 1;
    }
  }
  return 0;
}

// --- SUN-DES-1 ---

void accessSunDesInit() {
  static const char name[] = "SUN-DES-1";
  if (sunDesId == kAuthIdNone) accessAddAuthorization(9, name, 0, nullptr);
}

int accessSunDesAdd(uint16_t length, const uint8_t *data, uint32_t id) {
  sunDesId = id;
  if (length) accessNewHost(kFamilyNetname, data, length, 0);
  return 1;
}

uint32_t accessSunDesCheck(uint16_t length, const uint8_t *data, AccessClient *, const char **reason) {
  if (sunDesId == kAuthIdNone) {
    *reason = "Secure RPC authorization not initialized";
    return kAuthIdNone;
  }
  // Decoded from an exactly sized copy; the credential areas are the protocol's maximum.
  std::vector<uint8_t> copy(data, data + length);
  char credentialArea[MAX_AUTH_BYTES], verifierArea[MAX_AUTH_BYTES];
  opaque_auth credential{}, verifier{};
  credential.oa_base = credentialArea;
  verifier.oa_base = verifierArea;
  XDR xdr;
  xdrmem_create(&xdr, reinterpret_cast<char *>(copy.data()), length, XDR_DECODE);
  int why;
  char netname[MAXNETNAMELEN + 1] = {};
  if (!xdr_opaque_auth(&xdr, &credential))
    why = AUTH_BADCRED;
  else if (!xdr_opaque_auth(&xdr, &verifier))
    why = AUTH_BADVERF;
  else if (credential.oa_flavor != AUTH_DES)
    why = AUTH_TOOWEAK;
  else
    why = secureRpc->authenticate(&credential, &verifier, netname, sizeof netname);
  XDR_DESTROY(&xdr);
  if (why == AUTH_OK) {
    netname[sizeof netname - 1] = '\0';
    if (accessHasHostOfFamily(kFamilyNetname, netnameTest, netname)) return sunDesId;
    snprintf(sunDesReason, sizeof sunDesReason, "Principal \"%s\" is not authorized to connect", netname);
  } else {
    snprintf(sunDesReason, sizeof sunDesReason, "Unable to authenticate secure RPC client (why=%d)", why);
  }
  *reason = sunDesReason;
  return kAuthIdNone;
}

void accessSunDesReset() { sunDesId = kAuthIdNone; }

uint32_t accessSunDesToID(uint16_t, const uint8_t *) { return sunDesId; }

int accessSunDesFromID(uint32_t, uint16_t *, const uint8_t **) { return 0; }

int accessSunDesRemove(uint16_t, const uint8_t *) { return 0; }

// =======================================================================================

void accessFreeAll() {
  for (const AuthProtocol &p : protocols) p.reset();
  authFromFile.clear();
  freeHostList(hostList);
  freeHostList(selfList);
  while (siTypes) {
    ServerInterpretedType *next = siTypes->next;
    free(siTypes->name);
    free(siTypes);
    siTypes = next;
  }
  accessEnabled = 1;
  accessDefeated = 0;
  localHostEnabled = localHostRequested = 0;
  authFileName.clear();
  authFileTime = {};
  authFileInode = 0;
  authReload = true;
  authLoaded = false;
  xdmClockOffsetSet = false;
  xdmClockOffset = 0;
}
