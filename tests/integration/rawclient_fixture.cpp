#include "rawclient_fixture.h"

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

std::string RawClient::readExactly(uint8_t *to, size_t n, long long deadline) {
  for (size_t got = 0; got < n;) {
    long long left = deadline - xvfbNowMs();
    if (left <= 0) return "time-out reading from the X server";
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
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

std::string RawClient::connect(int display, char order, int timeoutMs) {
  close();
  big_ = order == 'B';
  sequence_ = 0;
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return std::string("socket: ") + strerror(errno);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "/tmp/.X11-unix/X%d", display);
  if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    return std::string("connect: ") + strerror(errno);
  RawRequest setupRequest(big_);
  setupRequest.b(uint8_t(order)).b(0).s(11).s(0).s(0).s(0).s(0);
  if (std::string e = send(setupRequest.d); !e.empty()) return e;
  sequence_ = 0;  // the setup does not count
  long long deadline = xvfbNowMs() + timeoutMs;
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

std::string RawClient::send(const RawBytes &request) {
  if (fd_ < 0) return "not connected";
  for (size_t sent = 0; sent < request.size();) {
    ssize_t w = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return std::string("send: ") + strerror(errno);
    sent += size_t(w);
  }
  sequence_++;
  return "";
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
