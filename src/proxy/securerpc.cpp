// The platform's Secure RPC: without DES, no credential authenticates and none can be made.
#include "proxy/securerpc.h"

#include <rpc/rpc.h>

namespace {

int platformAuthenticate(const opaque_auth *, const opaque_auth *, char *netname, size_t size) {
  if (netname && size) netname[0] = '\0';
  return AUTH_FAILED;
}

int platformMakeCredentials(const char *, uint8_t **data, size_t *length) {
  *data = nullptr;
  *length = 0;
  return 0;
}

}  // namespace

const SecureRpc secureRpcPlatform = {platformAuthenticate, platformMakeCredentials};
const SecureRpc *secureRpc = &secureRpcPlatform;
