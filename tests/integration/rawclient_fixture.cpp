#include "rawclient_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "xvfb_fixture.h"

RawBytes RawRequest::done() {
  align();
  if (d.size() >= 4) {
    size_t words = d.size() / 4;
    d[2] = uint8_t(big ? words >> 8 : words);
    d[3] = uint8_t(big ? words : words >> 8);
  }
  return d;
}

RawBytes rawBigForm(const RawBytes &request, bool big) {
  RawBytes out(request.begin(), request.begin() + 4);
  out[2] = out[3] = 0;
  uint32_t words = uint32_t(request.size() / 4 + 1);
  for (int i = 0; i < 4; i++) out.push_back(uint8_t(big ? words >> (24 - 8 * i) : words >> (8 * i)));
  out.insert(out.end(), request.begin() + 4, request.end());
  return out;
}

uint32_t rawGet16(const RawBytes &m, size_t at, bool big) {
  if (at + 2 > m.size()) return 0;
  return big ? (m[at] << 8 | m[at + 1]) : (m[at] | m[at + 1] << 8);
}

uint32_t rawGet32(const RawBytes &m, size_t at, bool big) {
  uint32_t high = rawGet16(m, big ? at : at + 2, big), low = rawGet16(m, big ? at + 2 : at, big);
  return high << 16 | low;
}

int rawConnectUnix(int displayNumber, bool abstract) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = "/tmp/.X11-unix/X" + std::to_string(displayNumber);
  socklen_t length;
  if (abstract) {
    memcpy(address.sun_path + 1, path.c_str(), path.size());
    length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  } else {
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    length = sizeof address;
  }
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int rawConnectTcp(int displayNumber, const char *bindAddress) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bindAddress) {
    sockaddr_in own{};
    own.sin_family = AF_INET;
    inet_pton(AF_INET, bindAddress, &own.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&own), sizeof own) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(uint16_t(6000 + displayNumber));
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RawBytes rawSetupMessage(bool msbFirst, const std::string &name, const std::string &data) {
  RawRequest setup(msbFirst);
  setup.b(msbFirst ? 'B' : 'l').b(0).s(11).s(0).s(uint16_t(name.size())).s(uint16_t(data.size())).s(0);
  setup.text(name).align().text(data).align();
  return setup.d;
}

bool rawSendAll(int fd, const uint8_t *data, size_t length) {
  while (length) {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= size_t(n);
  }
  return true;
}

RawSetupReply rawReadSetupReply(int fd, int timeoutMs, const std::function<void()> &pump) {
  RawSetupReply reply;
  RawBytes in;
  long long deadline = xvfbNowMs() + timeoutMs;
  while (xvfbNowMs() < deadline) {
    if (pump) pump();
    pollfd slot{fd, POLLIN, 0};
    if (poll(&slot, 1, pump ? 10 : 100) <= 0) continue;
    uint8_t buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
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

bool rawWriteSetupFailure(int fd, bool msbFirst, const std::string &reason) {
  size_t length = reason.size() > 255 ? 255 : reason.size();
  RawRequest out(msbFirst);
  out.b(0).b(unsigned(length)).s(11).s(0).s(unsigned((length + 3) / 4)).text(reason.substr(0, length)).align();
  return rawSendAll(fd, out.d.data(), out.d.size());
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int RawClient::waitReady(short events, long long deadline) {
  for (;;) {
    long long left = deadline - xvfbNowMs();
    if (left <= 0) return 0;
    pollfd p{fd_, events, 0};
    // With a pump, look often and let it run in between.
    int ready = poll(&p, 1, pump_ ? 0 : int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) return 1;
    if (pump_) pump_();
  }
}

std::string RawClient::readExactly(uint8_t *to, size_t n, long long deadline) {
  for (size_t got = 0; got < n;) {
    if (!waitReady(POLLIN, deadline)) return "time-out reading from the X server";
    ssize_t r = ::read(fd_, to + got, n - got);
    if (r == 0) return "the X server closed the connection";
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::string("read: ") + strerror(errno);
    }
    got += size_t(r);
  }
  return "";
}

std::string RawClient::writeAll(const uint8_t *data, size_t length, long long deadline) {
  for (size_t sent = 0; sent < length;) {
    size_t piece = length - sent;
    if (chunk_ && piece > chunk_) piece = chunk_;
    ssize_t w = ::send(fd_, data + sent, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(POLLOUT, deadline)) return neverRead_ ? "would block" : "time-out writing to the X server";
      continue;
    }
    if (w <= 0) return std::string("send: ") + strerror(errno);
    sent += size_t(w);
    if (chunk_ && pump_ && sent < length) pump_();
  }
  return "";
}

void RawClient::setNeverRead(bool on) {
  neverRead_ = on;
  if (on && fd_ >= 0) {
    int size = 4096;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

std::string RawClient::connect(int display, char order, int timeoutMs) {
  close();
  int fd = rawConnectUnix(display);
  if (fd < 0) return std::string("connect: ") + strerror(errno);
  return connectFd(fd, order, timeoutMs);
}

std::string RawClient::connectTcp(int display, char order, int timeoutMs) {
  close();
  int fd = rawConnectTcp(display);
  if (fd < 0) return "TCP connect failed";
  return connectFd(fd, order, timeoutMs);
}

std::string RawClient::connectFd(int fd, char order, int timeoutMs) {
  close();
  fd_ = fd;
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  if (neverRead_) setNeverRead(true);
  return readSetup(order, timeoutMs);
}

std::string RawClient::readSetup(char order, int timeoutMs) {
  big_ = order == 'B';
  RawBytes setupRequest = rawSetupMessage(big_, authName_, authData_);
  setupRequest[0] = uint8_t(order);
  setupRequest.insert(setupRequest.end(), afterSetup_.begin(), afterSetup_.end());
  long long deadline = xvfbNowMs() + timeoutMs;
  if (std::string e = writeAll(setupRequest.data(), setupRequest.size(), deadline); !e.empty()) return e;
  sequence_ = afterSetupCount_;  // the setup does not count
  setup_.assign(8, 0);
  if (std::string e = readExactly(setup_.data(), 8, deadline); !e.empty()) return e;
  size_t extra = size_t(rawGet16(setup_, 6, big_)) * 4;
  setup_.resize(8 + extra);
  if (std::string e = readExactly(setup_.data() + 8, extra, deadline); !e.empty()) return e;
  if (setup_[0] != 1) return "the X server refused the connection";
  return "";
}

std::string RawClient::setupFailure() const {
  if (setup_.size() < 8 || setup_[0] != 0) return "";
  size_t length = setup_[1] < setup_.size() - 8 ? setup_[1] : setup_.size() - 8;
  return std::string(setup_.begin() + 8, setup_.begin() + 8 + long(length));
}

uint32_t RawClient::idBase() const { return rawGet32(setup_, 12, big_); }

uint32_t RawClient::rootWindow() const {
  size_t vendor = rawGet16(setup_, 24, big_), formats = setup_.size() > 29 ? setup_[29] : 0;
  return rawGet32(setup_, 40 + ((vendor + 3) & ~size_t(3)) + 8 * formats, big_);
}

std::string RawClient::send(const RawBytes &request, int timeoutMs) {
  if (std::string e = sendRaw(request.data(), request.size(), timeoutMs); !e.empty()) return e;
  sequence_++;
  return "";
}

std::string RawClient::sendRaw(const uint8_t *data, size_t length, int timeoutMs) {
  if (fd_ < 0) return "not connected";
  return writeAll(data, length, xvfbNowMs() + timeoutMs);
}

std::string RawClient::read(RawBytes &message, int timeoutMs) {
  if (fd_ < 0) return "not connected";
  long long deadline = xvfbNowMs() + timeoutMs;
  message.assign(32, 0);
  if (std::string e = readExactly(message.data(), 32, deadline); !e.empty()) return e;
  if (message[0] == 1 || (message[0] & 0x7f) == 35) {
    uint64_t extra = uint64_t(rawGet32(message, 4, big_)) * 4;
    if (extra > (512u << 20)) return "implausible reply length";
    message.resize(32 + extra);
    if (std::string e = readExactly(message.data() + 32, extra, deadline); !e.empty()) return e;
  }
  return "";
}

std::string RawClient::roundTrip(const RawBytes &request, RawBytes &answer, int timeoutMs) {
  if (std::string e = send(request); !e.empty()) return e;
  for (;;) {
    if (std::string e = read(answer, timeoutMs); !e.empty()) return e;
    bool replyOrError = answer[0] == 0 || answer[0] == 1;
    if (replyOrError && rawGet16(answer, 2, big_) == sequence_) return "";
    if (!replyOrError) events_.push_back(answer);
  }
}

uint8_t RawClient::queryExtension(const std::string &name) {
  RawRequest q(big_);
  q.b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name);
  RawBytes answer;
  if (!roundTrip(q.done(), answer).empty() || answer[0] != 1 || answer[8] == 0) return 0;
  return answer[9];
}

uint32_t RawClient::enableBigRequests() {
  uint8_t major = queryExtension("BIG-REQUESTS");
  if (!major) return 0;
  RawRequest enable(big_);
  enable.b(major).b(0).s(0);
  RawBytes answer;
  if (!roundTrip(enable.done(), answer).empty() || answer[0] != 1) return 0;
  return rawGet32(answer, 8, big_);
}

std::string RawClient::waitClosed(int timeoutMs) {
  if (fd_ < 0) return "not connected";
  long long deadline = xvfbNowMs() + timeoutMs;
  uint8_t scratch[4096];
  for (;;) {
    if (!waitReady(POLLIN, deadline)) return "time-out waiting for the close";
    ssize_t r = ::read(fd_, scratch, sizeof scratch);
    if (r == 0) return "";
    if (r < 0 && errno != EINTR && errno != EAGAIN) return "";  // reset: closed as well
  }
}
