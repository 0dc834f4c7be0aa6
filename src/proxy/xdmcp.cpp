// Stand-ins for the XDMCP client: the proxy does not talk XDMCP yet.
#include "proxy/xdmcp.h"

void xdmcpRegisterConnection(int, const uint8_t *, int) {}
void xdmcpRegisterBroadcastAddress(const sockaddr *, socklen_t) {}
void xdmcpRegisterAuthorization(const char *, int) {}
void xdmcpRegisterAuthentication(const char *, int, const uint8_t *, int, XdmcpAuthGenerator, XdmcpAuthValidator,
                                 XdmcpAuthAdder) {}
void xdmcpManageAccepted() {}
void xdmcpCloseDisplay(int) {}
