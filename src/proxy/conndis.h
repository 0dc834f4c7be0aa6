// Connections to a real display over the X transport layer: display-name parsing, connecting
// with retries, and the authorization a raw connection's setup carries.
#pragma once

#include <cstdint>

#include "proxy/xtrans.h"

// What conndisConnectDisplay returns in parse-only mode (no connection is made).
#define CONNDIS_PARSED (reinterpret_cast<XtransConnInfo>(1))

// Parses "[protocol/][host]:display[.screen]" and, unless parseOnly, connects. Outputs (each
// optional): the full name "host:display.screen", fresh copies of the protocol ("local" for no
// host or the local node, else "tcp" unless given) and of the host as written ("" for none),
// the numbers, and when authName is given the authorization for the connection (the caller
// frees the copies). Returns the close-on-exec connection, CONNDIS_PARSED, or NULL when the
// name does not parse or every attempt failed.
XtransConnInfo conndisConnectDisplay(const char *name, char **fullName, char **protocol, char **host,
                                     int *displayNumber, int *screen, char **authName, int *authNameLength,
                                     char **authData, int *authDataLength, int parseOnly);

// Replaces the explicit authorization (copies; negative lengths count as 0). All zero clears it.
void conndisSetAuthorization(int nameLength, const char *name, int dataLength, const char *data);

// The authorization a connection's setup carries: the explicit one, else the best entry of the
// authority file for the family, address and display among "SUN-DES-1", "XDM-AUTHORIZATION-1"
// and "MIT-MAGIC-COOKIE-1" (XDM-AUTHORIZATION-1 as its 24-byte wrapped form, SUN-DES-1 as the
// credentials of the entry's net name). Outputs NULL/0 when there is none.
void conndisGetAuthorization(XtransConnInfo connection, int family, const char *address, int addressLength,
                             int displayNumber, char **name, int *nameLength, char **data, int *dataLength);
