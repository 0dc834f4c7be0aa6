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

/* Every connection-oriented listener for a port, as _X11TransMakeAllCOTSServerListeners makes
 * them, except that a listener whose creation fails is closed: the original keeps its socket
 * descriptor and record when the address is in use. -1 when the address is in use (no
 * listener is left open) or out of memory; else 0 with the listeners (possibly none). */
int xtransMakeAllListeners(const char *port, int *count, XtransConnInfo **listeners)
{
    XtransConnInfo made[NUMTRANS];
    char buffer[256];
    int i, j, status;

    *count = 0;
    *listeners = NULL;
    for (i = 0; i < NUMTRANS; i++) {
        Xtransport *trans = Xtransports[i].transport;
        XtransConnInfo ciptr;

        if (trans->flags & (TRANS_ALIAS | TRANS_NOLISTEN | TRANS_RECEIVED))
            continue;
        snprintf(buffer, sizeof(buffer), "%s/:%s", trans->TransName, port ? port : "");
        if ((ciptr = TRANS(OpenCOTSServer)(buffer)) == NULL)
            continue;
        if ((status = TRANS(CreateListener)(ciptr, port, 0)) < 0) {
            TRANS(Close)(ciptr);
            if (status == TRANS_ADDR_IN_USE) {
                for (j = 0; j < *count; j++)
                    TRANS(Close)(made[j]);
                *count = 0;
                return -1;
            }
            continue;
        }
        made[(*count)++] = ciptr;
    }
    if (*count == 0)
        return 0;
    if ((*listeners = malloc(*count * sizeof(XtransConnInfo))) == NULL) {
        for (j = 0; j < *count; j++)
            TRANS(Close)(made[j]);
        *count = 0;
        return -1;
    }
    memcpy(*listeners, made, *count * sizeof(XtransConnInfo));
    return 0;
}
