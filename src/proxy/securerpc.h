// Secure RPC (SUN-DES-1) behind a small seam: the platform's library has DES compiled out, so
// the production functions always fail; tests install a fake that yields chosen net names.
#pragma once

#include <cstddef>
#include <cstdint>

struct opaque_auth;

struct SecureRpc {
  // Authenticates a decoded DES credential and verifier: 0 (AUTH_OK) with the client's net
  // name copied into netname (size bytes, NUL-terminated), else the RPC reason code.
  int (*authenticate)(const opaque_auth *credential, const opaque_auth *verifier, char *netname, size_t size);
  // Makes the SUN-DES-1 setup data (credential and verifier, XDR) for a net name: 1 with a
  // malloc'ed buffer, 0 when no credentials can be made.
  int (*makeCredentials)(const char *netname, uint8_t **data, size_t *length);
};

extern const SecureRpc secureRpcPlatform;
extern const SecureRpc *secureRpc;  // &secureRpcPlatform unless a test replaces it
