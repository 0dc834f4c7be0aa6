// Clients that leave one after another by the hundred thousand, through the tarvo executable: the
// records kept of departed clients are forgotten as every connection reads past them, however
// often clients leave, so that tarvo's resident set stays flat; and a client that sleeps through
// the departures is ended at the bound of kept departures while they go on, not once they pause.
// The departing clients are bare sockets that connect, read their setup reply and close (four
// at a time), so that the counts stay affordable.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr int kAtOnce = 4;  // departing clients at a time
const std::string kEndedBehind = "departures of other clients: ended";

// The resident set of a process in kB (VmRSS), or -1.
long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kb = -1;
      status >> kb;
      return kb;
    }
  return -1;
}

// One departing client: connects, sends its setup, reads the whole reply and closes. False when
// it was not served, or not within a minute (a proxy that stops serving newcomers fails the case
// with the count instead of holding it to the time-out).
bool comeAndGo(int display) {
  int fd = rawConnectUnix(display);
  if (fd < 0) return false;
  timeval limit{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  static const RawBytes setup = rawSetupMessage(false, "", "");
  bool served = rawSendAll(fd, setup.data(), setup.size());
  uint8_t head[8];
  auto readExactly = [&](uint8_t *to, size_t n) {
    while (served && n) {
      ssize_t got = recv(fd, to, n, 0);
      if (got <= 0) return void(served = false);
      to += got;
      n -= size_t(got);
    }
  };
  readExactly(head, sizeof head);
  served = served && head[0] == 1;
  std::vector<uint8_t> rest(served ? 4 * size_t(head[6] | head[7] << 8) : 0);
  readExactly(rest.data(), rest.size());
  close(fd);
  return served;
}

// Departures, kAtOnce clients at a time, until `count` have gone or `stop` says so (checked
// between departures). The number that went; *failed counts the clients that were not served.
long departures(int display, long count, const std::function<bool()> &stop, long *failed) {
  std::atomic<long> next{0}, done{0}, refused{0};
  std::atomic<bool> stopped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kAtOnce; t++)
    threads.emplace_back([&] {
      while (!stopped && next++ < count) {
        if (!comeAndGo(display)) refused++;
        done++;
      }
    });
  while (done < count && !stopped) {
    if (stop && stop()) stopped = true;
    usleep(2000);
  }
  stopped = true;
  for (std::thread &t : threads) t.join();
  *failed = refused;
  return done;
}

// Whether the socket shows its end (the peer closed it), without reading it.
bool peerClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

class DepartureBoundThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TarvoOptions options;
    // Under AddressSanitizer freed blocks wait in its quarantine: kept small, so that the resident
    // set shows what tarvo holds. Every connection's buffers take 128 KB less 100 bytes at first:
    // with AddressSanitizer's larger redzones such a block passes its pooled sizes, and each one
    // is mapped and unmapped on its own (some five a departure, a third of a million departures);
    // with its smallest redzone it stays pooled.
    const char *asan = getenv("ASAN_OPTIONS");
    options.environment.emplace_back("ASAN_OPTIONS",
                                     std::string(asan ? asan : "") + ":quarantine_size_mb=1:max_redzone=16");
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "640x480x24", options), "");
  }
  void TearDown() override {
    EXPECT_EQ(tarvo.stop(), 0);
    EXPECT_EQ(tarvo.output().find("Sanitizer"), std::string::npos) << tarvo.output();
  }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

// 300 000 departures with no other client: what tarvo keeps of them is forgotten as they go (the
// watch of kept records runs while they go on), so its resident set after them is where it was
// after the first 20 000 (a kept record takes some 60 bytes: 280 000 of them, 16 MB).
TEST_F(DepartureBoundThroughTarvo, ResidentSetStaysFlatThroughDeparturesOneAfterAnother) {
  long failed = 0;
  ASSERT_EQ(departures(tarvo.displayNumber(), 20000, nullptr, &failed), 20000);
  long before = residentKb(tarvo.pid());
  long long began = xvfbNowMs();
  ASSERT_EQ(departures(tarvo.displayNumber(), 280000, nullptr, &failed), 280000);
  long long took = xvfbNowMs() - began;
  long after = residentKb(tarvo.pid());
  EXPECT_EQ(failed, 0);
  ASSERT_GT(before, 0);
  RecordProperty("residentKbBefore", std::to_string(before));
  RecordProperty("residentKbAfter", std::to_string(after));
  RecordProperty("departuresMs", std::to_string(took));
  EXPECT_LT(after - before, 6 * 1024) << "resident " << before << " kB after 20 000 departures, " << after
                                      << " kB after 300 000 (" << took << " ms)";
}

// A client selects PropertyChange on the root, and reads nothing while 30 000 notifications fill
// its socket and what tarvo holds for it; then clients leave one after another. Once more than
// 262 144 departures are kept for it, it is ended with the log line, while the departures still
// go on (they stop at the latest after 300 000); the departures after it are not kept, and
// new clients are served throughout.
TEST_F(DepartureBoundThroughTarvo, SleeperIsEndedAtTheBoundWhileDeparturesGoOn) {
  RawClient sleeper, flooder;
  ASSERT_EQ(sleeper.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(sleeper.send(RawRequest(false).b(2).b(0).s(0).i(sleeper.rootWindow()).i(1u << 11).i(1u << 22).done()),
            "");
  RawBytes answer;
  ASSERT_EQ(sleeper.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  sleeper.setNeverRead(true);
  ASSERT_EQ(flooder.connect(tarvo.displayNumber(), 'l'), "");
  const RawBytes change =
      RawRequest(false).b(18).b(0).s(0).i(flooder.rootWindow()).i(9).i(31).b(8).pad(3).i(1).text("x").done();
  RawBytes flood;
  for (int i = 0; i < 30000; i++) flood.insert(flood.end(), change.begin(), change.end());
  ASSERT_EQ(flooder.sendRaw(flood.data(), flood.size()), "");
  flooder.setSequence(30000);
  ASSERT_EQ(flooder.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
  long failed = 0;
  long long began = xvfbNowMs();
  long went = departures(tarvo.displayNumber(), 300000, [&] { return peerClosed(sleeper.fd()); }, &failed);
  long long took = xvfbNowMs() - began;
  RecordProperty("departuresUntilTheSleeperEnded", std::to_string(went));
  RecordProperty("departuresMs", std::to_string(took));
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(peerClosed(sleeper.fd())) << "not ended during " << went << " departures";
  EXPECT_GT(went, 262144);
  EXPECT_LT(went, 300000);
  EXPECT_NE(tarvo.log().find(kEndedBehind), std::string::npos);
  EXPECT_EQ(flooder.roundTrip(RawRequest(false).b(43).b(0).s(0).done(), answer), "");
}

}  // namespace
