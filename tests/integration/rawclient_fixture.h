// A raw X client for tests: speaks the X protocol on a server's unix socket in either byte
// order, with requests built as words in memory and replies, events and errors read back as
// bytes. Every read has a deadline.
#pragma once

#include <cstdint>
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

// Reads a 16- or 32-bit field of a message in the given order.
uint32_t rawGet16(const RawBytes &m, size_t at, bool big);
uint32_t rawGet32(const RawBytes &m, size_t at, bool big);

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;
  ~RawClient();

  // Connects to display number n with byte order 'l' or 'B' and reads the setup reply.
  // "" on success, else what went wrong.
  std::string connect(int display, char order, int timeoutMs = 10000);
  void close();

  bool big() const { return big_; }
  const RawBytes &setup() const { return setup_; }
  uint32_t idBase() const;
  uint32_t rootWindow() const;  // of the first screen
  uint16_t sequence() const { return sequence_; }

  // Writes a whole request and counts it. "" on success.
  std::string send(const RawBytes &request);
  // Reads the next reply, event or error (a reply or GenericEvent with its extra bytes).
  std::string read(RawBytes &message, int timeoutMs = 10000);
  // Sends the request and reads up to its reply or error (events in between are kept in
  // events()). "" on success, also when the answer is an error.
  std::string roundTrip(const RawBytes &request, RawBytes &answer, int timeoutMs = 10000);
  // The major opcode of an extension (0 when absent).
  uint8_t queryExtension(const std::string &name);
  std::vector<RawBytes> &events() { return events_; }

 private:
  std::string readExactly(uint8_t *to, size_t n, long long deadline);

  int fd_ = -1;
  bool big_ = false;
  RawBytes setup_;
  uint16_t sequence_ = 0;
  std::vector<RawBytes> events_;
};
