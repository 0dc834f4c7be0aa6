// A raw X client for connection-setup tests: connects over unix (file or abstract) or TCP
// (optionally from a chosen local address such as 127.0.0.2, a remote host to the server),
// sends any setup prefix in either byte order and reads the setup reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A connected socket, or -1.
int setupClientConnectUnix(int displayNumber, bool abstract);
int setupClientConnectTcp(int displayNumber, const char *bindAddress = nullptr);

// The connection setup: byte order, protocol 11.0, the authorization name and data, each
// padded to 4 bytes. msbFirst selects 'B' (else 'l').
std::vector<uint8_t> setupClientMessage(bool msbFirst, const std::string &name, const std::string &data);
bool setupClientSend(int fd, const uint8_t *data, size_t length);

struct SetupReply {
  int status = -1;     // 0 failed, 1 success, 2 authenticate; -1 nothing (closed or timed out)
  std::string reason;  // the reason text of a failed setup
};
// Reads the reply without waiting beyond timeoutMs; `pump` (optional) runs in between.
SetupReply setupClientReadReply(int fd, int timeoutMs, void (*pump)() = nullptr);

// Writes a failed setup reply with the reason in the byte order the client asked for.
bool setupClientWriteFailure(int fd, bool msbFirst, const std::string &reason);
