// A scripted XDMCP display manager for tests: a UDP socket on 127.0.0.1 that records every
// datagram it receives with the time given by the test, and answers with packets that the test
// builds with libXdmcp's writers.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <X11/Xdmcp.h>
}

struct RecordedXdmcpPacket {
  uint64_t time;               // the test's clock when the datagram was read
  int version, opcode, length;  // the header
  std::vector<uint8_t> body;   // the bytes after the header
  sockaddr_in from;
};

class FakeXdmcpManager {
 public:
  FakeXdmcpManager();
  ~FakeXdmcpManager();
  FakeXdmcpManager(const FakeXdmcpManager &) = delete;
  FakeXdmcpManager &operator=(const FakeXdmcpManager &) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  sockaddr_in address() const;
  // Reads every datagram that is waiting and records it with the time.
  void drain(uint64_t time);
  void send(const std::vector<uint8_t> &datagram, const sockaddr_in &to) const;
  // Sends to the sender of the last recorded packet.
  void reply(const std::vector<uint8_t> &datagram) const { send(datagram, packets.back().from); }
  std::vector<int> opcodes() const;

  std::vector<RecordedXdmcpPacket> packets;

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Builds one datagram with libXdmcp's writers; the header's length is the bytes written after
// it, plus lengthDelta (to build malformed packets).
class XdmcpPacketWriter {
 public:
  explicit XdmcpPacketWriter(int opcode, int version = XDM_PROTOCOL_VERSION);
  XdmcpPacketWriter(const XdmcpPacketWriter &) = delete;
  XdmcpPacketWriter &operator=(const XdmcpPacketWriter &) = delete;
  ~XdmcpPacketWriter();
  XdmcpPacketWriter &card8(unsigned value);
  XdmcpPacketWriter &card16(unsigned value);
  XdmcpPacketWriter &card32(unsigned value);
  XdmcpPacketWriter &array8(const std::string &bytes);
  std::vector<uint8_t> finish(int lengthDelta = 0);

 private:
  XdmcpBuffer buffer_{};
};

// Reads the fields of a recorded packet's body with libXdmcp's readers.
class XdmcpPacketReader {
 public:
  explicit XdmcpPacketReader(const RecordedXdmcpPacket &packet);
  ~XdmcpPacketReader();
  unsigned card8();
  unsigned card16();
  unsigned card32();
  std::string array8();
  std::vector<unsigned> array16();
  std::vector<std::string> arrayOfArray8();
  int remaining() const { return XdmcpReadRemaining(const_cast<XdmcpBuffer *>(&buffer_)); }
  bool failed = false;

 private:
  XdmcpBuffer buffer_{};
};
