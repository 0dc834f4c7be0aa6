/* The X transport layer (xtrans), compiled once from its installed sources for both sides: the
 * listening side for the proxy's clients and the connecting side for raw connections to the
 * real server. Unix-domain (file and abstract) and TCP over IPv4; no IPv6. The functions carry
 * the _X11Trans prefix; src/proxy/xtrans.h declares them for C++. */
#define X11_t 1
#define TRANS_CLIENT 1
#define TRANS_SERVER 1
#define TCPCONN 1
#define UNIXCONN 1
#define HAVE_SOCKLEN_T 1
#define HAS_STICKY_DIR_BIT 1
#define HAS_FCHOWN 1

#include <X11/Xtrans/transport.c>

/* The address length of a connection. The unix accept stores the peer's address length in
 * the listener (2 for an unnamed client); a later re-creation of the listener's socket would
 * then bind an anonymous name instead of its path, so the accept restores it. */
int xtransGetAddressLength(XtransConnInfo connection) { return connection->addrlen; }
void xtransSetAddressLength(XtransConnInfo connection, int length) { connection->addrlen = length; }
