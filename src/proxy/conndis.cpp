// Raw connections to a real display: name parsing, connecting with retries, and the
// authorization data of the connection setup.
#include "proxy/conndis.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

extern "C" {
#include <X11/Xauth.h>
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "proxy/securerpc.h"
#include "support/host.h"

namespace {

constexpr int kConnectAttempts = 6;
constexpr int kFamilyLocal = 256;
constexpr int kFamilyInternet = 0;

// The explicit authorization; while a name is set it is the only one offered.
struct {
  char *name = nullptr;
  int nameLength = 0;
  char *data = nullptr;
  int dataLength = 0;
} explicitAuth;

const char *const preferredNames[] = {"SUN-DES-1", "XDM-AUTHORIZATION-1", "MIT-MAGIC-COOKIE-1"};
const int preferredLengths[] = {9, 19, 18};

// Distinguishes the XDM-AUTHORIZATION-1 data of local connections made in the same second.
std::atomic<uint32_t> localConnectionCounter{0xA0000000u};

char *copyBytes(const void *data, size_t n) {
  char *copy = static_cast<char *>(malloc(n ? n : 1));
  if (copy && n) memcpy(copy, data, n);
  return copy;
}

bool allDigits(const char *begin, const char *end) {
  if (begin == end) return false;
  for (const char *p = begin; p < end; p++)
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

// A decimal number of at most 9 digits (so it fits an int), else -1.
int parseNumber(const char *begin, const char *end) {
  if (!allDigits(begin, end) || end - begin > 9) return -1;
  return static_cast<int>(strtol(std::string(begin, end).c_str(), nullptr, 10));
}

struct ParsedName {
  std::string protocol;
  std::string host;
  int display = 0;
  int screen = 0;
  bool local = false;  // the local node: connect through "unix"
};

bool parseDisplayName(const char *name, ParsedName &out) {
  if (!name) return false;
  const char *rest = name;
  const char *slash = strchr(name, '/');
  const char *colon = strchr(name, ':');
  if (slash && (!colon || slash < colon)) {
    out.protocol.assign(name, slash);
    rest = slash + 1;
  }
  colon = strchr(rest, ':');
  if (!colon) return false;
  out.host.assign(rest, colon);
  const char *number = colon + 1;
  const char *dot = strchr(number, '.');
  const char *numberEnd = dot ? dot : number + strlen(number);
  if ((out.display = parseNumber(number, numberEnd)) < 0) return false;
  if (dot && (out.screen = parseNumber(dot + 1, dot + 1 + strlen(dot + 1))) < 0) return false;
  bool localNode = out.host.empty() || strcasecmp(out.host.c_str(), hostName()) == 0;
  if (out.protocol.empty()) out.protocol = localNode ? "local" : "tcp";
  out.local = localNode && (out.protocol == "local" || out.protocol == "unix");
  return true;
}

void storeBigEndian(uint8_t *p, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// Bytes 8 to 13 of XDM-AUTHORIZATION-1 data: over TCP the connection's own address and port,
// locally a per-process counter and the process id, so that two connections never send the
// same data (the server refuses a repeat as a replay).
void xdmConnectionId(XtransConnInfo connection, uint8_t *id) {
  int fd = connection ? _X11TransGetConnectionNumber(connection) : -1;
  sockaddr_in own{};
  socklen_t length = sizeof own;
  if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr *>(&own), &length) == 0 && own.sin_family == AF_INET &&
      length >= sizeof own) {
    memcpy(id, &own.sin_addr, 4);
    memcpy(id + 4, &own.sin_port, 2);
    return;
  }
  storeBigEndian(id, ++localConnectionCounter, 4);
  storeBigEndian(id + 4, static_cast<uint32_t>(getpid()), 2);
}

}  // namespace

void conndisSetAuthorization(int nameLength, const char *name, int dataLength, const char *data) {
  free(explicitAuth.name);
  free(explicitAuth.data);
  explicitAuth.name = explicitAuth.data = nullptr;
  explicitAuth.nameLength = explicitAuth.dataLength = 0;
  if (nameLength < 0 || !name) nameLength = 0;
  if (dataLength < 0 || !data) dataLength = 0;
  if (nameLength == 0 && dataLength == 0) return;
  if (nameLength > 0 && (explicitAuth.name = copyBytes(name, nameLength))) explicitAuth.nameLength = nameLength;
  if (dataLength > 0 && (explicitAuth.data = copyBytes(data, dataLength))) explicitAuth.dataLength = dataLength;
}

void conndisGetAuthorization(XtransConnInfo connection, int family, const char *address, int addressLength,
                             int displayNumber, char **name, int *nameLength, char **data, int *dataLength) {
  *name = *data = nullptr;
  *nameLength = *dataLength = 0;
  if (explicitAuth.name) {
    if ((*name = copyBytes(explicitAuth.name, explicitAuth.nameLength))) *nameLength = explicitAuth.nameLength;
    if (explicitAuth.dataLength && (*data = copyBytes(explicitAuth.data, explicitAuth.dataLength)))
      *dataLength = explicitAuth.dataLength;
    return;
  }
  char number[16];
  int numberLength = snprintf(number, sizeof number, "%d", displayNumber);
  // An entry of a preferred protocol that cannot be used passes on to the next preferred one.
  for (int first = 0; first < 3;) {
    Xauth *entry = XauGetBestAuthByAddr(static_cast<unsigned short>(family), static_cast<unsigned short>(addressLength),
                                        address, static_cast<unsigned short>(numberLength), number, 3 - first,
                                        const_cast<char **>(preferredNames + first),
                                        const_cast<int *>(preferredLengths + first));
    if (!entry) return;
    int kind = first;
    for (int k = first; k < 3; k++)
      if (entry->name_length == preferredLengths[k] && memcmp(entry->name, preferredNames[k], entry->name_length) == 0)
        kind = k;
    uint8_t *made = nullptr;
    size_t madeLength = 0;
    if (kind == 0) {
      std::string netname(entry->data, entry->data_length);
      if (!secureRpc->makeCredentials(netname.c_str(), &made, &madeLength)) made = nullptr;
    } else if (kind == 1) {
      if (entry->data_length == 16 && (made = static_cast<uint8_t *>(malloc(24)))) {
        uint8_t plain[24] = {};
        memcpy(plain, entry->data, 8);
        xdmConnectionId(connection, plain + 8);
        storeBigEndian(plain + 14, static_cast<uint32_t>(time(nullptr)), 4);
        XdmcpWrap(plain, reinterpret_cast<unsigned char *>(entry->data) + 8, made, 24);
        madeLength = 24;
      }
    } else {
      made = reinterpret_cast<uint8_t *>(copyBytes(entry->data, entry->data_length));
      madeLength = entry->data_length;
    }
    if (made) {
      if ((*name = copyBytes(preferredNames[kind], preferredLengths[kind]))) {
        *nameLength = preferredLengths[kind];
        *data = reinterpret_cast<char *>(made);
        *dataLength = static_cast<int>(madeLength);
      } else {
        free(made);
      }
      XauDisposeAuth(entry);
      return;
    }
    XauDisposeAuth(entry);
    first = kind + 1;
  }
}

XtransConnInfo conndisConnectDisplay(const char *name, char **fullName, char **protocol, char **host,
                                     int *displayNumber, int *screen, char **authName, int *authNameLength,
                                     char **authData, int *authDataLength, int parseOnly) {
  ParsedName parsed;
  if (!parseDisplayName(name, parsed)) return nullptr;
  if (displayNumber) *displayNumber = parsed.display;
  if (screen) *screen = parsed.screen;
  auto giveOutputs = [&]() {
    if (protocol) *protocol = strdup(parsed.protocol.c_str());
    if (host) *host = strdup(parsed.host.c_str());
    if (fullName) {
      char text[1100];
      snprintf(text, sizeof text, "%s%s%d.%d", parsed.host.c_str(), ":", parsed.display, parsed.screen);
      *fullName = strdup(text);
    }
  };
  if (parseOnly) {
    giveOutputs();
    return CONNDIS_PARSED;
  }

  std::string address = parsed.protocol + "/" + (parsed.local ? std::string("unix") : parsed.host) + ":" +
                        std::to_string(parsed.display);
  XtransConnInfo connection = nullptr;
  int family = 0, addressLength = 0;
  Xtransaddr *peer = nullptr;
  for (int attempt = 0; attempt < kConnectAttempts && !connection; attempt++) {
    XtransConnInfo trying = _X11TransOpenCOTSClient(address.c_str());
    if (!trying) break;
    int status = _X11TransConnect(trying, address.c_str());
    if (status < 0) {
      _X11TransClose(trying);
      if (status != TRANS_TRY_CONNECT_AGAIN) break;
      sleep(1);
      continue;
    }
    free(peer);
    peer = nullptr;
    if (_X11TransGetPeerAddr(trying, &family, &addressLength, &peer) < 0 ||
        _X11TransConvertAddress(&family, &addressLength, &peer) < 0) {
      _X11TransClose(trying);
      sleep(1);
      continue;
    }
    connection = trying;
  }
  if (!connection) {
    free(peer);
    return nullptr;
  }
  _X11TransSetOption(connection, TRANS_CLOSEONEXEC, 1);
  giveOutputs();
  if (authName) {
    // A loopback peer is this host: its authority entries are filed under the host name.
    const char *authAddress = reinterpret_cast<const char *>(peer);
    if (family == kFamilyInternet && addressLength == 4 && reinterpret_cast<const uint8_t *>(peer)[0] == 127)
      family = kFamilyLocal;
    if (family == kFamilyLocal) {
      authAddress = hostName();
      addressLength = static_cast<int>(strlen(authAddress));
    }
    conndisGetAuthorization(connection, family, authAddress, addressLength, parsed.display, authName,
                            authNameLength, authData, authDataLength);
  }
  free(peer);
  return connection;
}
