#include "setupclient_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

void put16(std::vector<uint8_t> &out, bool msb, unsigned v) {
  if (msb) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  } else {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  }
}

void padTo4(std::vector<uint8_t> &out) {
  while (out.size() % 4) out.push_back(0);
}

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

int setupClientConnectUnix(int displayNumber, bool abstract) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = "/tmp/.X11-unix/X" + std::to_string(displayNumber);
  socklen_t length;
  if (abstract) {
    memcpy(address.sun_path + 1, path.c_str(), path.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  } else {
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    length = sizeof address;
  }
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int setupClientConnectTcp(int displayNumber, const char *bindAddress) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bindAddress) {
    sockaddr_in own{};
    own.sin_family = AF_INET;
    inet_pton(AF_INET, bindAddress, &own.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&own), sizeof own) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(6000 + displayNumber));
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::vector<uint8_t> setupClientMessage(bool msbFirst, const std::string &name, const std::string &data) {
  std::vector<uint8_t> out;
  out.push_back(msbFirst ? 'B' : 'l');
  out.push_back(0);
  put16(out, msbFirst, 11);
  put16(out, msbFirst, 0);
  put16(out, msbFirst, static_cast<unsigned>(name.size()));
  put16(out, msbFirst, static_cast<unsigned>(data.size()));
  put16(out, msbFirst, 0);
  out.insert(out.end(), name.begin(), name.end());
  padTo4(out);
  out.insert(out.end(), data.begin(), data.end());
  padTo4(out);
  return out;
}

bool setupClientSend(int fd, const uint8_t *data, size_t length) {
  while (length) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

SetupReply setupClientReadReply(int fd, int timeoutMs, void (*pump)()) {
  SetupReply reply;
  std::vector<uint8_t> in;
  long long deadline = nowMs() + timeoutMs;
  while (nowMs() < deadline) {
    if (pump) pump();
    pollfd slot{fd, POLLIN, 0};
    if (poll(&slot, 1, pump ? 10 : 100) <= 0) continue;
    uint8_t buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    in.insert(in.end(), buffer, buffer + n);
    if (in.size() >= 8) {
      size_t reasonLength = in[1];
      if (in[0] != 0 || in.size() >= 8 + reasonLength) {
        reply.status = in[0];
        if (in[0] == 0) reply.reason.assign(reinterpret_cast<char *>(in.data()) + 8, reasonLength);
        return reply;
      }
    }
  }
  return reply;
}

bool setupClientWriteFailure(int fd, bool msbFirst, const std::string &reason) {
  std::vector<uint8_t> out;
  size_t length = reason.size() > 255 ? 255 : reason.size();
  out.push_back(0);
  out.push_back(static_cast<uint8_t>(length));
  put16(out, msbFirst, 11);
  put16(out, msbFirst, 0);
  put16(out, msbFirst, static_cast<unsigned>((length + 3) / 4));
  out.insert(out.end(), reason.begin(), reason.begin() + static_cast<long>(length));
  padTo4(out);
  return setupClientSend(fd, out.data(), out.size());
}
