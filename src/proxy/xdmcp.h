// The proxy's XDMCP client (X Display Manager Control Protocol, version 1): its options, its
// UDP socket, the state machine with its packets, retransmission and keepalive timing. Packets
// are encoded and decoded with libXdmcp. Timing runs on the event loop's clock (ordersClock).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "proxy/access.h"  // the authentication operation types; the access code calls in through hooks

enum XdmcpState : uint32_t {
  kXdmcpQuery = 0,
  kXdmcpBroadcast = 1,
  kXdmcpIndirect = 2,
  kXdmcpCollectQuery = 3,
  kXdmcpCollectBroadcastQuery = 4,
  kXdmcpCollectIndirectQuery = 5,
  kXdmcpStartConnection = 6,
  kXdmcpAwaitRequestResponse = 7,
  kXdmcpAwaitManageResponse = 8,
  kXdmcpManage = 9,
  kXdmcpRunSession = 10,
  kXdmcpOff = 11,
  kXdmcpAwaitUserInput = 12,
  kXdmcpKeepalive = 13,
  kXdmcpAwaitAliveResponse = 14,
};

constexpr int kXdmcpMaxBroadcastAddresses = 10;
constexpr uint32_t kXdmcpDormancySeconds = 180;

// How XDMCP ends or resets the proxy. The run control points them at its exit (never returns),
// its exit request and its reset request. Until it does, the exit logs the reason on the fatal
// channel and ends the process with the status, and both requests log and stop the event loop.
// A test may install hooks that return: XDMCP then stays OFF after an exit.
using XdmcpExitFunction = void (*)(const char *reason, int status);
using XdmcpRequestFunction = void (*)(const char *reason);
extern XdmcpExitFunction xdmcpExitHook;
extern XdmcpRequestFunction xdmcpRequestExitHook;
extern XdmcpRequestFunction xdmcpRequestResetHook;

// One command-line option at index (exact names, case-sensitive): "-query host", "-broadcast",
// "-indirect host", "-port n", "-once", "-class text", "-cookie text", "-displayID text".
// Returns the index of the next option; another word is skipped. A host that is missing, does
// not resolve or is no IPv4 host ends the proxy with status 1.
int xdmcpOptions(int count, const char *const *arguments, int index);

// Starts XDMCP in the mode the options chose (nothing when OFF): the socket, its reader, the
// timing order and the first packet. The configured port applies to the manager and the
// broadcast addresses.
void xdmcpInit();
// At a server reset, unless OFF: back to the initial state and the first packet again.
void xdmcpRestart();

void xdmcpRegisterConnection(int family, const uint8_t *address, int length);
void xdmcpRegisterBroadcastAddress(const sockaddr *address, socklen_t length);
void xdmcpRegisterAuthorization(const char *name, int nameLength);
void xdmcpRegisterAuthentication(const char *name, int nameLength, const uint8_t *data, int dataLength,
                                 XdmcpAuthGenerator generator, XdmcpAuthValidator validator, XdmcpAuthAdder adder);
void xdmcpRegisterManufacturerDisplayID(const char *data, int length);

// A client connection has been authorized: while a Manage waits for its session, that
// connection becomes the session's.
void xdmcpManageAccepted(int descriptor = -1);
// A client connection closed: when it was the session's, the proxy resets (or ends with the
// once flag) with "XDMCP close display".
void xdmcpCloseDisplay(int descriptor);
// Logs "XDMCP: <reason>, declaring session dead", resets the proxy and starts over.
void xdmcpDeadSession(const char *reason);
// Reader of the UDP socket: one datagram.
void xdmcpReceive(void *argument);

// Inspection, for diagnostics and tests.
XdmcpState xdmcpCurrentState();
XdmcpState xdmcpInitialState();
uint32_t xdmcpSessionId();
int xdmcpSocket();
uint64_t xdmcpTimeout();         // loop clock ms, 0 = none
uint32_t xdmcpRetransmissions();
int xdmcpOnce();
uint32_t xdmcpPort();
const sockaddr_in *xdmcpManagerAddress();

// Closes the socket, cancels the orders and forgets every setting and registration.
void xdmcpFreeAll();
