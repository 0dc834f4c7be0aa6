#include "xdmcpmanager_fixture.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

FakeXdmcpManager::FakeXdmcpManager() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
}

FakeXdmcpManager::~FakeXdmcpManager() {
  if (fd_ >= 0) close(fd_);
}

sockaddr_in FakeXdmcpManager::address() const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port_));
  return address;
}

void FakeXdmcpManager::drain(uint64_t time) {
  for (;;) {
    uint8_t data[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(fd_, data, sizeof data, 0, reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0) return;
    RecordedXdmcpPacket packet{time, -1, -1, -1, {}, from};
    if (n >= 6) {
      packet.version = data[0] << 8 | data[1];
      packet.opcode = data[2] << 8 | data[3];
      packet.length = data[4] << 8 | data[5];
      packet.body.assign(data + 6, data + n);
    }
    packets.push_back(std::move(packet));
  }
}

void FakeXdmcpManager::send(const std::vector<uint8_t> &datagram, const sockaddr_in &to) const {
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

std::vector<int> FakeXdmcpManager::opcodes() const {
  std::vector<int> out;
  for (const RecordedXdmcpPacket &p : packets) out.push_back(p.opcode);
  return out;
}

XdmcpPacketWriter::XdmcpPacketWriter(int opcode, int version) {
  // The header is written for the largest length; finish() puts the real one in.
  XdmcpHeader header{static_cast<CARD16>(version), static_cast<CARD16>(opcode), 0xFFFF};
  XdmcpWriteHeader(&buffer_, &header);
}

XdmcpPacketWriter::~XdmcpPacketWriter() { free(buffer_.data); }

XdmcpPacketWriter &XdmcpPacketWriter::card8(unsigned value) {
  XdmcpWriteCARD8(&buffer_, value);
  return *this;
}
XdmcpPacketWriter &XdmcpPacketWriter::card16(unsigned value) {
  XdmcpWriteCARD16(&buffer_, value);
  return *this;
}
XdmcpPacketWriter &XdmcpPacketWriter::card32(unsigned value) {
  XdmcpWriteCARD32(&buffer_, value);
  return *this;
}
XdmcpPacketWriter &XdmcpPacketWriter::array8(const std::string &bytes) {
  ARRAY8 array{static_cast<CARD16>(bytes.size()), reinterpret_cast<CARD8 *>(const_cast<char *>(bytes.data()))};
  XdmcpWriteARRAY8(&buffer_, &array);
  return *this;
}

std::vector<uint8_t> XdmcpPacketWriter::finish(int lengthDelta) {
  std::vector<uint8_t> out(buffer_.data, buffer_.data + buffer_.pointer);
  unsigned length = static_cast<unsigned>(buffer_.pointer - 6 + lengthDelta) & 0xFFFF;
  out[4] = static_cast<uint8_t>(length >> 8);
  out[5] = static_cast<uint8_t>(length);
  return out;
}

XdmcpPacketReader::XdmcpPacketReader(const RecordedXdmcpPacket &packet) {
  buffer_.size = static_cast<int>(packet.body.size());
  buffer_.data = static_cast<BYTE *>(malloc(packet.body.size() + 1));
  if (!packet.body.empty()) memcpy(buffer_.data, packet.body.data(), packet.body.size());
  buffer_.count = buffer_.size;
}

XdmcpPacketReader::~XdmcpPacketReader() { free(buffer_.data); }

unsigned XdmcpPacketReader::card8() {
  CARD8 v = 0;
  failed |= !XdmcpReadCARD8(&buffer_, &v);
  return v;
}
unsigned XdmcpPacketReader::card16() {
  CARD16 v = 0;
  failed |= !XdmcpReadCARD16(&buffer_, &v);
  return v;
}
unsigned XdmcpPacketReader::card32() {
  CARD32 v = 0;
  failed |= !XdmcpReadCARD32(&buffer_, &v);
  return v;
}
std::string XdmcpPacketReader::array8() {
  ARRAY8 a{};
  failed |= !XdmcpReadARRAY8(&buffer_, &a);
  std::string out(reinterpret_cast<char *>(a.data), a.length);
  XdmcpDisposeARRAY8(&a);
  return out;
}
std::vector<unsigned> XdmcpPacketReader::array16() {
  ARRAY16 a{};
  failed |= !XdmcpReadARRAY16(&buffer_, &a);
  std::vector<unsigned> out(a.data, a.data + a.length);
  XdmcpDisposeARRAY16(&a);
  return out;
}
std::vector<std::string> XdmcpPacketReader::arrayOfArray8() {
  ARRAYofARRAY8 a{};
  failed |= !XdmcpReadARRAYofARRAY8(&buffer_, &a);
  std::vector<std::string> out;
  for (int i = 0; i < a.length; i++) out.emplace_back(reinterpret_cast<char *>(a.data[i].data), a.data[i].length);
  XdmcpDisposeARRAYofARRAY8(&a);
  return out;
}
