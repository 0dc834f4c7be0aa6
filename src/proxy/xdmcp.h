// The proxy's XDMCP client: the registrations that the listeners and the authorization code
// make. Until the XDMCP client exists these calls do nothing.
#pragma once

#include <cstdint>
#include <sys/socket.h>

// XDMCP authentication operations (XDM-AUTHENTICATION-1).
// Generator: the authentication data to send with a packet of the given opcode (0 bytes: none).
using XdmcpAuthGenerator = void (*)(int opcode, const uint8_t *data, int length, uint8_t **out, int *outLength);
// Validator: 1 when the received data of a packet of the given opcode is acceptable.
using XdmcpAuthValidator = int (*)(int opcode, const uint8_t *data, int length);
// Adder: adds an authorization handed over by the manager; 1 added, 0 not.
using XdmcpAuthAdder = int (*)(int nameLength, const char *name, int dataLength, const uint8_t *data);

void xdmcpRegisterConnection(int family, const uint8_t *address, int length);
void xdmcpRegisterBroadcastAddress(const sockaddr *address, socklen_t length);
void xdmcpRegisterAuthorization(const char *name, int nameLength);
void xdmcpRegisterAuthentication(const char *name, int nameLength, const uint8_t *data, int dataLength,
                                 XdmcpAuthGenerator generator, XdmcpAuthValidator validator, XdmcpAuthAdder adder);
void xdmcpManageAccepted();
// A client's connection closed (its display slot may be given back to the manager).
void xdmcpCloseDisplay(int fd);
