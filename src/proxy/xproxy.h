// The proxy server core: shared state and entry points.
#pragma once

#include <cstdint>

// ===== Listeners, host-access adapters and server authorization ============================
#include "proxy/access.h"
#include "proxy/clientconnection.h"
#include "support/orders.h"

// One listening transport; a global list in creation order whose head's prev is the tail.
struct ListenPort {
  ListenPort *next;
  ListenPort *prev;
  XtransConnInfo transport;  // NULL once the transport layer has freed it (failed reset)
  Order *readOrder;          // the reader on the listener's socket
  Order *pendingAccept;      // the idle order scheduled by the last readiness, or NULL
};

// Opens the listeners for the display named by `connection` (":N"; NULL: display 0).
const char *xproxyListen(const char *connection, int accessControl);
void xproxyOnListenerInput(void *listenPort);
uint16_t xproxyDisplayNumber();
ListenPort *xproxyListenPorts();
// Reset: cancels readers and pending accepts, re-opens every listener and adds its reader
// again; "Can't reset listening connections" when one cannot be re-opened.
const char *xproxyResetListeners();
// Exit: closes every listener and frees the records.
void xproxyCloseListeners();

// Accepting a client. Until the client connections exist this cancels the pending accept,
// accepts, and hands the connection to xproxyNewClientHook (none: closes it).
void xproxyNewClient(void *listenPort);
using XproxyNewClientHook = void (*)(XtransConnInfo connection, int fd);
extern XproxyNewClientHook xproxyNewClientHook;

// Host access adapters: each fills one static access record from the client (not reentrant);
// xproxyAccessRecord() shows it afterwards (authorization id, error value).
int xproxySetAccessControl(ClientConnection *client, int mode);
int xproxyAddHost(ClientConnection *client, int family, int length, const uint8_t *address);
int xproxyRemoveHost(ClientConnection *client, int family, int length, const uint8_t *address);
int xproxyListHosts(int *count, int *length, uint8_t **data, int *enabled);
const char *xproxyCheckClientAccess(ClientConnection *client, uint16_t nameLength, const char *name,
                                    uint16_t dataLength, const uint8_t *data);
const AccessClient *xproxyAccessRecord();

// Server authorization: one cached authorization for a real display (one block: header, then
// the address text, the name and the data); a list in insertion order, head's prev is the tail.
struct ServerAuthEntry {
  ServerAuthEntry *next;
  ServerAuthEntry *prev;
  uint16_t family;         // 256: local
  uint16_t displayNumber;
  uint16_t nameLength;
  uint16_t dataLength;
  uint8_t generated;       // 1: the entry of a generated file; 0: read from a file
  char *address;           // NUL-terminated host name
  char *name;
  char *data;
};

const char *serverAuthCacheAdd(int family, const char *address, int displayNumber, const char *name, int nameLength,
                               const char *data, int dataLength, int generated);
int xproxyGetServerAuth(const char *host, int displayNumber, int family, char **name, int *nameLength, char **data,
                        int *dataLength);
void xproxySetAuthorizationFile(const char *path);
void xproxySetServerAuthFile(const char *path);
const char *xproxyAuthorizationFile();
const char *xproxyServerAuthFile();
// Reset: drops the cached entries read from files and keeps generated ones.
void xproxyResetServerAuth();
// Exit: frees the cache and forgets both files.
void xproxyFreeServerAuth();
// ===== end of listeners, host access and server authorization ===============================
