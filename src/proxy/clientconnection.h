// The proxy's thin layer over the X transport layer: listeners and accepted connections of X
// clients, and raw connections to a real display.
#pragma once

#include <cstdint>

#include "proxy/xtrans.h"

// A connected X client. Only the transport is declared here; the connection state proper is
// added with the client connection code.
struct ClientConnection {
  XtransConnInfo transport;  // the accepted connection; NULL once closed
};

// Listening side. Every listener and accepted connection is close-on-exec.
// All connection-oriented listeners for each display number ("%d"), from the last number;
// appended from the last listener on. Returns the array (malloc'ed, NULL when none) and count.
XtransConnInfo *clientconnectionListen(const int *displayNumbers, int n, int *count);
// Accepts a connection on a listener: NULL on failure, else a non-blocking, close-on-exec
// connection whose descriptor is stored in *fd.
XtransConnInfo clientconnectionAccept(XtransConnInfo listener, int *fd);
int clientconnectionFd(XtransConnInfo connection);
int clientconnectionIsLocal(XtransConnInfo connection);
// Re-creates a listener whose socket file has gone. 1 unless the reset failed; on failure the
// transport layer has closed and freed the listener, and the caller must forget it.
int clientconnectionResetListener(XtransConnInfo listener);
void clientconnectionClose(XtransConnInfo connection);
void clientconnectionCloseListener(XtransConnInfo listener);
// The peer's IPv4 address as "%u.%u.%u.%u" in a static 80-byte buffer; "?" when unknown.
const char *clientconnectionPeerAddress(XtransConnInfo connection);

// Connecting side: a raw connection to a real display (see conndisConnectDisplay). The host
// is a fresh copy (the local host name when the name had none); family 256 for a local
// transport, else 65535. NULL on failure.
XtransConnInfo clientconnectionConnect(const char *displayName, int *fd, char **host, int *displayNumber,
                                       int *family);
