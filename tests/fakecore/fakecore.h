// The fake core: the proxy's core state without a real display, for tests of request handlers
// and of the window tree. Meta screens with root windows and heads that have no real display;
// fake clients on socketpairs whose output the test reads back cut into messages; each client's
// display connections on socketpairs too, so that the requests the proxy writes towards a
// real server are captured and cut, and replies can be fed back as the server would send them.
//
// One FakeCore at a time per process: the proxy's state is process-wide. The event loop is not
// running; timers fire when the test advances the fake clock (advanceMs) and runs the loop
// once.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct ClientConnection;
struct DisplayConnection;
struct Head;
struct MetaScreen;
struct WindowRecord;

using FakeBytes = std::vector<uint8_t>;

// A request (or reply) written field by field in one byte order; done() fills the length word.
struct FakeMessage {
  bool big;
  FakeBytes d;
  explicit FakeMessage(bool bigEndian) : big(bigEndian) {}
  FakeMessage &b(unsigned v) { d.push_back(uint8_t(v)); return *this; }
  FakeMessage &s(unsigned v) { return big ? b(v >> 8).b(v) : b(v).b(v >> 8); }
  FakeMessage &i(uint32_t v) { return big ? s(v >> 16).s(v & 0xffff) : s(v & 0xffff).s(v >> 16); }
  FakeMessage &pad(size_t n) { d.insert(d.end(), n, 0); return *this; }
  FakeBytes done();  // padded to 4 bytes, length field (bytes 2-3) in words
};

struct FakeClient {
  ClientConnection *client = nullptr;  // NULL once closed
  uint32_t index = 0;                  // its resource slot (kept after the close)
  bool big = false;
  int peer = -1;                    // the test's end of the client socket
  std::vector<int> serverPeers;     // the test's end of each display connection
  std::vector<FakeBytes> pendingServerBytes;  // read but not yet cut, per connection
  std::vector<std::vector<FakeBytes>> capturedRequests;  // cut, not yet handed to the test

  // A 16- or 32-bit field of a message in the client's byte order.
  uint32_t u16(const FakeBytes &m, size_t at) const;
  uint32_t u32(const FakeBytes &m, size_t at) const;
  // The id n of the client's range.
  uint32_t id(uint32_t n) const;
};

class FakeCore {
 public:
  FakeCore();
  ~FakeCore();
  FakeCore(const FakeCore &) = delete;
  FakeCore &operator=(const FakeCore &) = delete;

  // A meta screen of the size with `heads` heads side by side (no real display) and its root.
  MetaScreen *addScreen(uint32_t width, uint32_t height, int heads = 1);
  WindowRecord *root(MetaScreen *screen = nullptr);
  std::vector<Head *> heads(MetaScreen *screen = nullptr);

  // A client in the client list with a resource slot and `displayConnections` connections.
  // `big`: the client sends most significant byte first.
  FakeClient &addClient(bool big = false, int displayConnections = 1);
  // Closes it as the proxy does (save set, selections, grabs, resources).
  void closeClient(FakeClient &client);

  // Makes the client the current one until the scope ends (handlers and tree operations read it).
  struct Current {
    ClientConnection *previous;
    explicit Current(FakeClient &client);
    ~Current();
  };
  // Hands a request to its dispatch-table handler as the cutter would (sequence counted).
  void send(FakeClient &client, const FakeBytes &request);

  // What the client received so far, cut into replies, events and errors (the proxy's round
  // trips on its display connections are answered first, so that held-back output is released).
  std::vector<FakeBytes> messages(FakeClient &client);
  // The requests the proxy wrote on the client's display connection since the last call
  // (its own GetInputFocus round trips included: they are answered as they are seen).
  std::vector<FakeBytes> serverRequests(FakeClient &client, size_t connection = 0);
  // Feeds bytes as the real server would send them on a connection and lets the proxy handle
  // them.
  void feedServer(FakeClient &client, const FakeBytes &bytes, size_t connection = 0);
  // Answers every GetInputFocus the proxy wrote on the connection (the proxy's round trips), so
  // that their callbacks run; the number answered. Every request read stays for serverRequests.
  int answerRoundTrips(FakeClient &client, size_t connection = 0);

  // The fake clock of the event loop: advances and runs what fell due.
  void advanceMs(uint64_t ms);
  void runLoopOnce();

  // Log lines of every channel since construction (or clearLog).
  const std::vector<std::string> &log() const;
  bool logged(const std::string &part) const;
  void clearLog();

 private:
  std::deque<FakeClient> clients_;
};
