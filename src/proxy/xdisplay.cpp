// Display names of real displays.
#include "proxy/xdisplay.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "proxy/conndis.h"
#include "support/host.h"

int xdisplayParseAddress(const char *name, char **host, int *displayNumber, int *screen, int *family) {
  char *protocol = nullptr, *parsedHost = nullptr;
  int number = 0, screenNumber = 0;
  if (name && conndisConnectDisplay(name, nullptr, &protocol, &parsedHost, &number, &screenNumber, nullptr, nullptr,
                                    nullptr, nullptr, 1) != CONNDIS_PARSED)
    return 0;
  bool localProtocol = !protocol || strcmp(protocol, "local") == 0 || strcmp(protocol, "unix") == 0;
  if (!parsedHost || !parsedHost[0] || strcmp(parsedHost, "unix") == 0) {
    free(parsedHost);
    parsedHost = strdup(hostName());
  }
  int isLocal = localProtocol || (parsedHost && strcasecmp(parsedHost, hostName()) == 0);
  free(protocol);
  if (host)
    *host = parsedHost;
  else
    free(parsedHost);
  if (displayNumber) *displayNumber = number;
  if (screen) *screen = screenNumber;
  if (family) *family = isLocal ? 256 : 0;
  return 1;
}
