// Host access control (the host access list, the machine's own addresses, server-interpreted
// address types, the host file) and the authorization protocols of connecting clients
// (MIT-MAGIC-COOKIE-1, XDM-AUTHORIZATION-1, SUN-DES-1, and XDM-AUTHENTICATION-1 for XDMCP).
// Address families are the protocol's: 0 Internet, 5 ServerInterpreted, 252 LocalHost, 254
// Netname; 256 Local (unix-domain connections) is used inside the proxy only.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "proxy/xtrans.h"

constexpr int kFamilyInternet = 0;
constexpr int kFamilyServerInterpreted = 5;
constexpr int kFamilyLocalHost = 252;
constexpr int kFamilyNetname = 254;
constexpr int kFamilyLocal = 256;
constexpr uint32_t kAuthIdNone = 0xFFFFFFFFu;  // refused

// The client as the access code sees it; the callers fill it from their connection records.
struct AccessClient {
  XtransConnInfo transport;  // the client's connection; NULL: no peer address can be had
  uint32_t authorizationId;  // set by accessClientAuthorized: 0 admitted by host, else the id
  uint32_t connectionTime;   // cleared when the client is admitted
  uint32_t errorValue;       // the value a BadValue from accessAddHost/accessRemoveHost names
};

// One host: the address bytes follow the entry in the same block.
struct HostEntry {
  HostEntry *next;
  uint16_t family;
  uint16_t length;
  uint32_t requested;  // a local address that a client also asked for
  uint8_t *address() { return reinterpret_cast<uint8_t *>(this + 1); }
  const uint8_t *address() const { return reinterpret_cast<const uint8_t *>(this + 1); }
};

using SiMatch = bool (*)(int family, const uint8_t *address, int length, const char *value, int valueLength,
                         AccessClient *client, void *argument);
using SiCheck = int (*)(const char *value, int length, void *argument);

struct ServerInterpretedType {
  ServerInterpretedType *next;
  char *name;
  SiMatch match;
  SiCheck check;
  void *argument;
};

// --- Host access -----------------------------------------------------------------------
// The family of a socket address: Local (256) for length 0 or a unix/unspecified address, 0
// with the 4 bytes for IPv4, else -1.
int accessConvertAddress(const sockaddr *address, socklen_t length, int *addressLength, const uint8_t **bytes);
void accessLocalAddresses(int socketFd);
void accessAddSelfAddress(const sockaddr *address, socklen_t length);
int accessNewHost(int family, const uint8_t *address, int length, int addingLocalHosts);
void accessAddLocalHosts();
void accessEnableLocalHost();
void accessDisableLocalHost();
bool accessIsLocalClient(AccessClient *client);
bool accessAuthorizedClient(AccessClient *client);
int accessPeerCredentials(AccessClient *client, uid_t *uid, gid_t *gid, gid_t **groups, int *count);
int accessAddHost(AccessClient *client, int family, int length, const uint8_t *address);
int accessRemoveHost(AccessClient *client, int family, int length, const uint8_t *address);
int accessCheckAddress(int family, const uint8_t *address, int length);
int accessCheckServerInterpreted(const char *value, int length);
// One record per host (u8 family, unused byte, u16 length in host byte order, the address
// padded to 4 bytes), newest first; data malloc'ed (NULL for an empty list).
int accessListHosts(uint8_t **data, int *count, int *length, int *enabled);
int accessSetEnabled(AccessClient *client, int enabled);
int accessGetEnabled();
bool accessHasHostOfFamily(int family, bool (*test)(const uint8_t *, int, const char *), const char *text);
int accessCheckHost(const sockaddr *address, socklen_t length, AccessClient *client);
int accessAddServerInterpretedType(const char *name, SiMatch match, SiCheck check, void *argument);
void accessResetHosts(const char *displayText);
// Host access checking is switched off for every client (accessControl off at start-up).
void accessSetDefeated(int defeated);
// The host file path template ("/etc/X%s.hosts" unless replaced; "%s" is the display number).
void accessSetHostFileTemplate(const char *templateText);
// The host access list (newest first), for diagnostics and tests.
const HostEntry *accessHostList();

// --- Authorization ----------------------------------------------------------------------
struct AuthProtocol {
  uint16_t nameLength;
  const char *name;
  int (*add)(uint16_t length, const uint8_t *data, uint32_t id);
  uint32_t (*check)(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason);
  void (*reset)();
  uint32_t (*toID)(uint16_t length, const uint8_t *data);
  int (*fromID)(uint32_t id, uint16_t *length, const uint8_t **data);
  int (*remove)(uint16_t length, const uint8_t *data);
};

const char *accessClientAuthorized(AccessClient *client, uint16_t nameLength, const char *name, uint16_t dataLength,
                                   const uint8_t *data);
uint32_t accessReadAuthFile(uint16_t nameLength, const char *name, uint16_t dataLength, const uint8_t *data,
                            AccessClient *client, const char **reason);
int accessAddAuthorization(uint16_t nameLength, const char *name, uint16_t dataLength, const uint8_t *data);
int accessAuthorizationFromID(uint32_t id, uint16_t *nameLength, const char **name, uint16_t *dataLength,
                              const uint8_t **data);
void accessResetAuth();
void accessRegisterAuthorizations();
void accessSetFlag(const char *fileName);
void accessXdmAuthenticationInit(const char *cookie, int length);

int accessMitCookieAdd(uint16_t length, const uint8_t *data, uint32_t id);
uint32_t accessMitCookieCheck(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason);
void accessMitCookieReset();
uint32_t accessMitCookieToID(uint16_t length, const uint8_t *data);
int accessMitCookieFromID(uint32_t id, uint16_t *length, const uint8_t **data);
int accessMitCookieRemove(uint16_t length, const uint8_t *data);

int accessXdmCookieAdd(uint16_t length, const uint8_t *data, uint32_t id);
uint32_t accessXdmCookieCheck(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason);
void accessXdmCookieReset();
uint32_t accessXdmCookieToID(uint16_t length, const uint8_t *data);
int accessXdmCookieFromID(uint32_t id, uint16_t *length, const uint8_t **data);
int accessXdmCookieRemove(uint16_t length, const uint8_t *data);

void accessSunDesInit();
int accessSunDesAdd(uint16_t length, const uint8_t *data, uint32_t id);
uint32_t accessSunDesCheck(uint16_t length, const uint8_t *data, AccessClient *client, const char **reason);
void accessSunDesReset();
uint32_t accessSunDesToID(uint16_t length, const uint8_t *data);
int accessSunDesFromID(uint32_t id, uint16_t *length, const uint8_t **data);
int accessSunDesRemove(uint16_t length, const uint8_t *data);

// --- What the access code tells the XDMCP client ------------------------------------------
// XDMCP authentication operations (XDM-AUTHENTICATION-1).
// Generator: the authentication data to send with a packet of the given opcode (0 bytes: none).
using XdmcpAuthGenerator = void (*)(int opcode, const uint8_t *data, int length, uint8_t **out, int *outLength);
// Validator: 1 when the received data of a packet of the given opcode is acceptable.
using XdmcpAuthValidator = int (*)(int opcode, const uint8_t *data, int length);
// Adder: adds an authorization handed over by the manager; 1 added, 0 not.
using XdmcpAuthAdder = int (*)(int nameLength, const char *name, int dataLength, const uint8_t *data);

// The machine's addresses, the protocol names, the XDM-AUTHENTICATION-1 key and each authorized
// client go to the XDMCP client through these; it fills them when it is linked in (xdmcp.h),
// so that the access code stays below it. An empty entry tells nobody.
struct AccessXdmcpHooks {
  void (*registerConnection)(int family, const uint8_t *address, int length);
  void (*registerBroadcastAddress)(const sockaddr *address, socklen_t length);
  void (*registerAuthorization)(const char *name, int nameLength);
  void (*registerAuthentication)(const char *name, int nameLength, const uint8_t *data, int dataLength,
                                 XdmcpAuthGenerator generator, XdmcpAuthValidator validator, XdmcpAuthAdder adder);
  void (*manageAccepted)(int descriptor);
};
extern AccessXdmcpHooks accessXdmcpHooks;

// XDM-AUTHENTICATION-1 operations registered with XDMCP.
void accessXdmAuthGenerator(int opcode, const uint8_t *data, int length, uint8_t **out, int *outLength);
int accessXdmAuthValidator(int opcode, const uint8_t *data, int length);
int accessXdmAuthAdder(int nameLength, const char *name, int dataLength, const uint8_t *data);

// Frees every list and forgets the authority file state (exit and tests).
void accessFreeAll();
