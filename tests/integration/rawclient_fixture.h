// A raw X client for tests: speaks the X protocol on a server's unix or TCP socket (or a given
// descriptor) in either byte order, with requests built as words in memory and replies, events
// (GenericEvents by their length) and errors read back as bytes. Every read has a deadline.
// While it waits, a pump (when set) runs: a test that serves the X server in its own thread of
// control (the proxy's event loop) keeps it going that way.
// Below the client, the bare pieces it is made of, for tests of the accepting side: sockets
// over unix (file or abstract) or TCP (optionally from a chosen local address such as
// 127.0.0.2, a remote host to the server), any setup prefix and the setup reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using RawBytes = std::vector<uint8_t>;

// A request (or any message) written field by field in one byte order. done() pads it to a
// multiple of 4 and fills its length field (bytes 2..3, in 4-byte units).
struct RawRequest {
  bool big;
  RawBytes d;
  explicit RawRequest(bool bigEndian) : big(bigEndian) {}
  RawRequest &b(unsigned v) { d.push_back(uint8_t(v)); return *this; }
  RawRequest &s(unsigned v) { return big ? b(v >> 8).b(v) : b(v).b(v >> 8); }
  RawRequest &i(uint32_t v) { return big ? s(v >> 16).s(v & 0xffff) : s(v & 0xffff).s(v >> 16); }
  RawRequest &pad(size_t n) { d.insert(d.end(), n, 0); return *this; }
  RawRequest &text(const std::string &t) { d.insert(d.end(), t.begin(), t.end()); return *this; }
  RawRequest &align() { return pad((4 - d.size() % 4) % 4); }
  RawBytes done();
};

// The BIG-REQUESTS form of a finished request: length field 0, then the length in words
// (one more than before) as a 32-bit field.
RawBytes rawBigForm(const RawBytes &request, bool big);

// Reads a 16- or 32-bit field of a message in the given order.
uint32_t rawGet16(const RawBytes &m, size_t at, bool big);
uint32_t rawGet32(const RawBytes &m, size_t at, bool big);

// A connected socket, or -1.
int rawConnectUnix(int displayNumber, bool abstract = false);
int rawConnectTcp(int displayNumber, const char *bindAddress = nullptr);

// The connection setup: byte order ('B' when msbFirst, else 'l'), protocol 11.0, the
// authorization name and data, each padded to 4 bytes.
RawBytes rawSetupMessage(bool msbFirst, const std::string &name, const std::string &data);
// Writes everything (blocking socket); false when the peer is gone.
bool rawSendAll(int fd, const uint8_t *data, size_t length);

struct RawSetupReply {
  int status = -1;     // 0 failed, 1 success, 2 authenticate; -1 nothing (closed or timed out)
  std::string reason;  // the reason text of a failed setup
};
// Reads a setup reply without waiting beyond timeoutMs; `pump` (optional) runs in between.
RawSetupReply rawReadSetupReply(int fd, int timeoutMs, const std::function<void()> &pump = nullptr);
// Writes a failed setup reply with the reason (cut to 255 bytes) in the client's byte order.
bool rawWriteSetupFailure(int fd, bool msbFirst, const std::string &reason);

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;
  ~RawClient();

  // Connects to display number n with byte order 'l' or 'B' and reads the setup reply.
  // "" on success, else what went wrong.
  std::string connect(int display, char order, int timeoutMs = 10000);
  // The same over TCP (port 6000 + display on 127.0.0.1).
  std::string connectTcp(int display, char order, int timeoutMs = 10000);
  // Takes a connected descriptor (owned from now on) and sends the setup on it.
  std::string connectFd(int fd, char order, int timeoutMs = 10000);
  void close();
  int fd() const { return fd_; }

  // Runs while a read or a write waits (NULL: none); it should return within a few ms.
  void setPump(std::function<void()> pump) { pump_ = std::move(pump); }
  // Writes go out in pieces of at most this many bytes (0: whole), pumping in between.
  void setChunk(size_t bytes) { chunk_ = bytes; }
  // The authorization the next setup sends (none by default).
  void setAuthorization(const std::string &name, const std::string &data) {
    authName_ = name;
    authData_ = data;
  }
  // Requests the next setup carries behind it in the same write, and how many they are (the
  // sequence count starts there).
  void setAfterSetup(const RawBytes &requests, uint16_t count) {
    afterSetup_ = requests;
    afterSetupCount_ = count;
  }
  // A client that never reads: its receive buffer is made small, and a write that would block
  // gives up after the deadline instead of waiting ("would block").
  void setNeverRead(bool on);

  bool big() const { return big_; }
  const RawBytes &setup() const { return setup_; }
  // The reason of a refused setup ("" when it was accepted or nothing came).
  std::string setupFailure() const;
  uint32_t idBase() const;
  uint32_t rootWindow() const;  // of the first screen
  uint16_t sequence() const { return sequence_; }

  // Writes a whole request and counts it. "" on success.
  std::string send(const RawBytes &request, int timeoutMs = 10000);
  // Writes bytes that are no request of their own (a setup prefix, a request's tail); not counted.
  std::string sendRaw(const uint8_t *data, size_t length, int timeoutMs = 10000);
  // Sets the sequence count (after requests sent by sendRaw).
  void setSequence(uint16_t sequence) { sequence_ = sequence; }
  // Reads the next reply, event or error (a reply or GenericEvent with its extra bytes).
  std::string read(RawBytes &message, int timeoutMs = 10000);
  // Sends the request and reads up to its reply or error (events in between are kept in
  // events()). "" on success, also when the answer is an error.
  std::string roundTrip(const RawBytes &request, RawBytes &answer, int timeoutMs = 10000);
  // The major opcode of an extension (0 when absent).
  uint8_t queryExtension(const std::string &name);
  // Enables BIG-REQUESTS; the largest request length in words, 0 when it failed.
  uint32_t enableBigRequests();
  // Waits until the peer closes the connection: "" then, else what happened (data or time-out);
  // what arrived before the close is dropped.
  std::string waitClosed(int timeoutMs);
  std::vector<RawBytes> &events() { return events_; }

 private:
  std::string readExactly(uint8_t *to, size_t n, long long deadline);
  std::string writeAll(const uint8_t *data, size_t length, long long deadline);
  std::string readSetup(char order, int timeoutMs);
  // Waits for the descriptor to become ready for events (poll), pumping; 1 ready, 0 time-out.
  int waitReady(short events, long long deadline);

  std::function<void()> pump_;
  size_t chunk_ = 0;
  bool neverRead_ = false;
  std::string authName_, authData_;
  RawBytes afterSetup_;
  uint16_t afterSetupCount_ = 0;
  int fd_ = -1;
  bool big_ = false;
  RawBytes setup_;
  uint16_t sequence_ = 0;
  std::vector<RawBytes> events_;
};
