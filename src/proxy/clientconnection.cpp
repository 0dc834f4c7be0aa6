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

ClientConnection *xproxyCurrentClient = nullptr;
DisplayConnection *xproxyCurrentDisplayConnection = nullptr;
ClientConnection *miscGrabbingClient = nullptr;
ClientConnection *xproxyClients = nullptr;
uint32_t xproxyClientCount = 0;

const char *xproxyClientHostName(ClientConnection *client) {
  if (client->transport && clientconnectionIsLocal(client->transport)) return hostName();
  if (client->peerIdentity && client->peerIdentity[0]) return client->peerIdentity;
  if (client->transport) return clientconnectionPeerAddress(client->transport);
  return "?";
}
