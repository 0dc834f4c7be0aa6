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
struct ServerDisplay;
struct WindowRecord;

#include "rawclient_fixture.h"  // RawRequest: requests written field by field

using FakeBytes = RawBytes;
// A request (or reply) written field by field in one byte order; done() fills the length word.
using FakeMessage = RawRequest;

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

// A client record on a socketpair (non-blocking both ends; *peer receives the test's end) with a
// resource slot and an unconnected transport, not yet listed; NULL when no socketpair can be had.
ClientConnection *fakeClientRecord(bool big, int *peer);

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

  // ===== real-server ids =====
  // One real display for every head so far (a stand-in Xlib record with a 21-bit resource mask
  // and the proxy's own id base; never connected): real roots, numbers for the id mapping and
  // every client's id bases on it, and each client display connection pointed at it, so that
  // handlers see what a real server reports. Clients added later get their bases too. The
  // heads' Display is the stand-in as well: code under test must not make Xlib calls on it.
  ServerDisplay *addRealDisplay();
  // The real root of a head, and the real id of a client resource on a head.
  uint32_t realRoot(Head *head) const;
  uint32_t realId(uint32_t id, Head *head) const;
  // Writes a request on the connection as the client's request of that sequence number and
  // returns its real-server sequence: events fed with it map back to clientSequence.
  uint16_t serverSequence(FakeClient &client, uint16_t clientSequence, size_t connection = 0);
  // Feeds 32-byte events (in the proxy's byte order) on the connection, all at once.
  void feedEvents(FakeClient &client, const std::vector<FakeBytes> &events, size_t connection = 0);
  // ===== end of real-server ids =====

  // The fake clock of the event loop: advances and runs what fell due.
  void advanceMs(uint64_t ms);
  void runLoopOnce();

  // Log lines of every channel since construction (or clearLog).
  const std::vector<std::string> &log() const;
  bool logged(const std::string &part) const;
  void clearLog();

 private:
  void giveRealBases(FakeClient &client);
  std::deque<FakeClient> clients_;
  ServerDisplay *realDisplay_ = nullptr;
};
