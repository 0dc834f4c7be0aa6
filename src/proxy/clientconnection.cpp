// Listeners, accepted connections and raw connections over the X transport layer.
#include "proxy/clientconnection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "proxy/conndis.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/strings.h"

namespace {

char peerAddressText[80];

void setCloseOnExec(int fd) {
  if (fd < 0) return;
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

XtransConnInfo *clientconnectionListen(const int *displayNumbers, int n, int *count) {
  XtransConnInfo *all = nullptr;
  *count = 0;
  for (int i = n - 1; i >= 0; i--) {
    char port[16];
    snprintf(port, sizeof port, "%d", displayNumbers[i]);
    int made = 0;
    XtransConnInfo *listeners = nullptr;
    if (xtransMakeAllListeners(port, &made, &listeners) < 0 || made <= 0) {
      free(listeners);
      continue;
    }
    for (int j = made - 1; j >= 0; j--) {
      setCloseOnExec(_X11TransGetConnectionNumber(listeners[j]));
      auto *grown = static_cast<XtransConnInfo *>(realloc(all, sizeof(XtransConnInfo) * (*count + 1)));
      if (!grown) {
        logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__);
        _X11TransClose(listeners[j]);
        continue;
      }
      all = grown;
      all[(*count)++] = listeners[j];
    }
    free(listeners);
  }
  return all;
}

XtransConnInfo clientconnectionAccept(XtransConnInfo listener, int *fd) {
  int status = 0;
  // The transport layer's unix accept overwrites the listener's address length with the
  // peer's; a re-created listener would then not be bound to its path.
  int addressLength = xtransGetAddressLength(listener);
  XtransConnInfo connection = _X11TransAccept(listener, &status);
  xtransSetAddressLength(listener, addressLength);
  if (!connection) return nullptr;
  if (status != 0) {
    _X11TransClose(connection);
    return nullptr;
  }
  _X11TransSetOption(connection, TRANS_NONBLOCKING, 1);
  *fd = _X11TransGetConnectionNumber(connection);
  setCloseOnExec(*fd);
  return connection;
}

int clientconnectionFd(XtransConnInfo connection) { return _X11TransGetConnectionNumber(connection); }

int clientconnectionIsLocal(XtransConnInfo connection) { return _X11TransIsLocal(connection); }

int clientconnectionResetListener(XtransConnInfo listener) {
  // The transport layer can leave the process umask at 0 when a re-created socket fails to
  // bind; keep the caller's umask whatever happens.
  mode_t mask = umask(0);
  umask(mask);
  int status = _X11TransResetListener(listener);
  umask(mask);
  if (status == TRANS_RESET_FAILURE) return 0;
  if (status == TRANS_RESET_NEW_FD) setCloseOnExec(_X11TransGetConnectionNumber(listener));
  return 1;
}

void clientconnectionClose(XtransConnInfo connection) {
  if (!connection) return;
  _X11TransDisconnect(connection);
  _X11TransClose(connection);
}

void clientconnectionCloseListener(XtransConnInfo listener) {
  if (!listener) return;
  _X11TransDisconnect(listener);
  _X11TransClose(listener);
}

const char *clientconnectionPeerAddress(XtransConnInfo connection) {
  strcpy(peerAddressText, "?");
  if (!connection) return peerAddressText;
  int family = 0, length = 0;
  Xtransaddr *address = nullptr;
  if (_X11TransGetPeerAddr(connection, &family, &length, &address) < 0) return peerAddressText;
  if (address && family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
    sockaddr_in in;
    memcpy(&in, address, sizeof in);
    const auto *b = reinterpret_cast<const uint8_t *>(&in.sin_addr);
    snprintf(peerAddressText, sizeof peerAddressText, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  }
  free(address);
  return peerAddressText;
}

XtransConnInfo clientconnectionConnect(const char *displayName, int *fd, char **host, int *displayNumber,
                                       int *family) {
  char *fullName = nullptr, *protocol = nullptr, *hostCopy = nullptr;
  int screen = 0;
  XtransConnInfo connection = conndisConnectDisplay(displayName, &fullName, &protocol, &hostCopy, displayNumber,
                                                    &screen, nullptr, nullptr, nullptr, nullptr, 0);
  free(fullName);
  if (!connection) {
    free(protocol);
    free(hostCopy);
    return nullptr;
  }
  *fd = _X11TransGetConnectionNumber(connection);
  *family = protocol && (strcmp(protocol, "local") == 0 || strcmp(protocol, "unix") == 0) ? 256 : 65535;
  free(protocol);
  if (!hostCopy || !hostCopy[0]) {
    free(hostCopy);
    hostCopy = strdup(hostName());
  }
  *host = hostCopy;
  _X11TransSetOption(connection, TRANS_NONBLOCKING, 1);
  return connection;
}

// ===== Client connections: the client list, accept and close ================================
#include <unistd.h>

#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/xdmcp.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/core11g.h"
#include "proxy/main.h"
#include "proxy/xscreen.h"
#include "support/orders.h"

ClientConnection *xproxyCurrentClient = nullptr;
DisplayConnection *xproxyCurrentDisplayConnection = nullptr;
ClientConnection *miscGrabbingClient = nullptr;
int miscLumoraGrab = 0;
ClientConnection *xproxyClients = nullptr;
uint32_t xproxyClientCount = 0;
uint32_t xproxyResetRequests = 0;

namespace {

void appendClient(ClientConnection *client) {
  if (!xproxyClients) {
    client->prev = client;
    xproxyClients = client;
  } else {
    ClientConnection *tail = xproxyClients->prev;
    tail->next = client;
    client->prev = tail;
    xproxyClients->prev = client;
  }
  client->next = nullptr;
  xproxyClientCount++;
}

void unlinkClient(ClientConnection *client) {
  bool listed = client == xproxyClients || (client->prev && client->prev->next == client);
  if (!listed) return;
  if (client == xproxyClients) {
    xproxyClients = client->next;
    if (xproxyClients) xproxyClients->prev = client->prev;
  } else {
    client->prev->next = client->next;
    if (client->next)
      client->next->prev = client->prev;
    else
      xproxyClients->prev = client->prev;
  }
  client->next = client->prev = nullptr;
  xproxyClientCount--;
}

void onClientReadable(void *argument) { miscReadClientInput(static_cast<ClientConnection *>(argument)); }

void onClientWritable(void *argument) { miscFlushClientOutput(static_cast<ClientConnection *>(argument)); }

// Output callback: data entered the empty output, so the socket is to be written.
void armClientWriter(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  if (client->writeOrder || client->fd < 0) return;
  client->writeOrder = ordersAddWriter(client->fd, onClientWritable, client);
}

void onSetupTimeout(void *argument) {
  auto *client = static_cast<ClientConnection *>(argument);
  client->setupTimer = nullptr;  // a fired one-shot timer is done
  xproxyCloseClient(client, "Connection setup timed out", 0);
}

void freeClientRecord(ClientConnection *client) {
  bufferFree(&client->input);
  free(client->peerIdentity);
  free(client->programName);
  free(client);
}

// Closes the socket: what it takes at once is written, the rest is dropped, so that a client
// that stopped reading cannot freeze the proxy. The output is then empty on descriptor -1.
void closeClientSocket(ClientConnection *client) {
  if (client->fd < 0 && !client->transport) return;
  xdmcpCloseDisplay(client->fd);
  if (client->output.first) outbufferFlush(&client->output);
  ordersCancel(client->writeOrder);
  client->writeOrder = nullptr;
  outbufferFree(&client->output);
  outbufferInit(&client->output, -1, armClientWriter, client);
  ordersCancel(client->readOrder);
  client->readOrder = nullptr;
  ordersCancel(client->setupTimer);
  client->setupTimer = nullptr;
  if (!client->busy) bufferFree(&client->input);  // a running pass still reads it
  if (client->transport)
    clientconnectionClose(client->transport);
  else if (client->fd >= 0)
    ::close(client->fd);
  client->transport = nullptr;
  client->fd = -1;
}

bool otherClientConnected(const ClientConnection *except) {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c != except && c->setUp && c->fd >= 0) return true;
  return false;
}

}  // namespace

const char *xproxyCloseDownModeName(uint8_t mode) {
  switch (mode) {
    case 0: return "DestroyAll";
    case 1: return "RetainPermanent";
    case 2: return "RetainTemporary";
    default: return "UNKNOWN";
  }
}

ClientConnection *xproxyAdoptClient(XtransConnInfo transport, int fd) {
  auto *client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
  auto refuse = [&](const char *why) {
    if (why) LOG(logChannelWarning, "%s", why);
    if (transport)
      clientconnectionClose(transport);
    else if (fd >= 0)
      ::close(fd);
    if (client) {
      ordersCancel(client->readOrder);
      ordersCancel(client->setupTimer);
      free(client);
    }
    return nullptr;
  };
  if (!client) {
    logProblem(OUT_OF_MEMORY_TEXT(), __FILE__, __LINE__);
    return refuse(nullptr);
  }
  client->transport = transport;
  client->fd = fd;
  // Slot 0 is the proxy's own: all slots taken refuses the peer.
  client->index = resourceFreeClientSlot();
  if (client->index == 0) return refuse("Maximum number of clients reached");
  const char *failure = nullptr;
  client->readOrder = ordersAddReader(fd, onClientReadable, client, &failure);
  if (!client->readOrder) return refuse("Maximum number of clients reached");
  client->setupTimer = ordersAddTimer(xprotoSetupTimeoutMs, onSetupTimeout, client);
  if (!client->setupTimer) return refuse(nullptr);
  outbufferInit(&client->output, fd, armClientWriter, client);
  if (!resourceInitClient(client)) return refuse(nullptr);
  LOG(logChannelXclient, "Client #%d started", int(client->index));
  appendClient(client);
  return client;
}

void xproxyNewClient(void *argument) {
  auto *port = static_cast<ListenPort *>(argument);
  ordersCancel(port->pendingAccept);
  port->pendingAccept = nullptr;
  if (!port->transport) return;
  int fd = -1;
  XtransConnInfo connection = clientconnectionAccept(port->transport, &fd);
  if (!connection) return;
  if (xproxyNewClientHook) {
    xproxyNewClientHook(connection, fd);
    return;
  }
  xproxyAdoptClient(connection, fd);
}

ClientConnection *xproxyClientByIndex(uint32_t index) {
  for (ClientConnection *c = xproxyClients; c; c = c->next)
    if (c->index == index) return c;
  return nullptr;
}

ClientConnection *xproxyClientOfXid(uint32_t id) {
  uint32_t index = id >> kResourceIdShift;
  return index == 0 ? nullptr : xproxyClientByIndex(index);
}

const char *xproxyClientHostName(ClientConnection *client) {
  if (client->transport && clientconnectionIsLocal(client->transport)) return hostName();
  if (client->peerIdentity && client->peerIdentity[0]) return client->peerIdentity;
  if (client->transport) return clientconnectionPeerAddress(client->transport);
  return "?";
}

void xproxyHoldClient(ClientConnection *client) { client->busy++; }

int xproxyReleaseClient(ClientConnection *client) {
  if (--client->busy > 0 || !client->closePending) return 1;
  freeClientRecord(client);
  return 0;
}

void xproxyRequestReset(const char *reason) {
  xproxyResetRequests++;
  LOG(logChannelXhint, "Resetting %s (#%u, %s, noReset=%d, delay=%us)...", logProgramName(), 1u, reason, 0, 2u);
  ordersStop(1);
}

void xproxyCloseClient(ClientConnection *client, const char *reason, int retainAllowed) {
  if (!client || client->closePending) return;  // fully closed already, waiting for its pass to end
  LOG(logChannelXclient, "Client #%d stopped (%s %s reason=%s reqs=%u)", int(client->index), xscreenClientName(client),
      xproxyCloseDownModeName(client->closeDownMode), reason ? reason : "", client->sequence);
  if (miscGrabbingClient == client) miscRescheduleAllClients();
  mainFreeDeferredOutputs(client);
  if (client->closeDownMode != 0 && client->setUp && retainAllowed && client->fd >= 0) {
    // Retained: the server connections and so the client's resources stay. Its windows'
    // event selections, passive grabs and selections are not kept by the proxy yet.
    closeClientSocket(client);
    client->retained = 1;
    if (client->busy) client->reader.bytesNeeded = kReaderStopped;
    miscScheduleClientReads(client);
    return;
  }
  client->closeDownMode = 0;
  while (client->displayCount > 0) xproxyCloseDisplayConnection(client->displays[client->displayCount - 1]);
  free(client->displays);
  client->displays = nullptr;
  closeClientSocket(client);
  bool wasSetUp = client->setUp;
  client->setUp = 0;
  if (client->index != 0) {
    ClientConnection *current = xproxyCurrentClient;
    xproxyCurrentClient = nullptr;
    resourceFreeAllOfClient(client);
    xproxyCurrentClient = current == client ? nullptr : current;
  }
  unlinkClient(client);
  if (xproxyCurrentClient == client) xproxyCurrentClient = nullptr;
  if (wasSetUp && !client->closingForReset && !otherClientConnected(client))
    xproxyRequestReset(strTempPrintf("End of last %s", xscreenClientName(client)));
  if (client->busy) {
    client->closePending = 1;
    client->reader.bytesNeeded = kReaderStopped;
    return;
  }
  freeClientRecord(client);
}
// ===== end of client connections =============================================================
