#include "rawclient_fixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "setupclient_fixture.h"
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
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + strerror(errno);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", display);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    std::string e = std::string("connect: ") + strerror(errno);
    ::close(fd);
    return e;
  }
  return connectFd(fd, order, timeoutMs);
}

std::string RawClient::connectTcp(int display, char order, int timeoutMs) {
  close();
  int fd = setupClientConnectTcp(display);
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
  RawRequest setupRequest(big_);
  setupRequest.b(uint8_t(order)).b(0).s(11).s(0).s(0).s(0).s(0);
  long long deadline = xvfbNowMs() + timeoutMs;
  if (std::string e = writeAll(setupRequest.d.data(), setupRequest.d.size(), deadline); !e.empty()) return e;
  sequence_ = 0;  // the setup does not count
  setup_.assign(8, 0);
  if (std::string e = readExactly(setup_.data(), 8, deadline); !e.empty()) return e;
  size_t extra = size_t(rawGet16(setup_, 6, big_)) * 4;
  setup_.resize(8 + extra);
  if (std::string e = readExactly(setup_.data() + 8, extra, deadline); !e.empty()) return e;
  if (setup_[0] != 1) return "the X server refused the connection";
  return "";
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
    if (extra > (64u << 20)) return "implausible reply length";
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
