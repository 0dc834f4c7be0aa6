// Departures that must wait for nobody, and messages that speak for nobody but their sender,
// through the tarvo executable as directly, on one screen and on two screens joined into one
// meta screen: a client that never reads costs no newcomer its place, a ClientMessage naming
// any window is an ordinary event, clients that leave while another holds the server are seen
// to go during the grab, and a client may use every id of the range its setup offers.
#include <gtest/gtest.h>

#include <string>

#include "twinrun_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";

class DepartureStallThroughTarvo : public TwinRunOnScreensEndingCleanly {
 protected:
  // The script run on both sides, with "%R" replaced by the display of the Xvfb behind tarvo
  // (the scripts take the ids of that server's first client, the proxy's own connection).
  std::pair<std::string, std::string> run(std::string command) {
    for (size_t at; (at = command.find("%R")) != std::string::npos;) command.replace(at, 2, twin.behindDisplay());
    return twin.run("/usr/bin/python3 " + kScripts + command);
  }
};

// One client selects SubstructureNotify and PropertyChange on the root and never reads while
// 30 000 PropertyNotify pile up for it; then 1 200 clients connect, make a window, do a round
// trip and close, one after another: more than the proxy has client slots (at most 1 023, as
// many as the real server's id mask leaves room for), so a slot that waits for the sleeper's
// connection to read something would run out. Every newcomer is served, and the sleeper, once
// it reads, finds every event it selected.
TEST_P(DepartureStallThroughTarvo, ClientThatNeverReadsCostsNoNewcomerItsPlace) {
  auto [direct, proxied] = run("sleeper_newcomers.py %D 1200");
  const std::string served =
      "served 1200 refused 0\n"
      "sleeper woke with PropertyNotify 30000 CreateNotify 1200 DestroyNotify 1200 other 0 answered True\n";
  EXPECT_EQ(direct, served);
  EXPECT_EQ(proxied, served);
}

// A client sends itself (SendEvent to its own window, no mask) a ClientMessage naming each of
// the first 16 384 ids of the range of the real server's first client, which is the proxy's
// own connection there: every one comes back, as directly, whatever window it names.
TEST_P(DepartureStallThroughTarvo, ClientMessageNamingAnyWindowComesBack) {
  auto [direct, proxied] = run("message_sweep.py %D %R 16384");
  EXPECT_EQ(direct, "came back 16384 of 16384\nerrors 0\n");
  EXPECT_EQ(proxied, direct);
}

// A busy manager (scripts/departure_order.py "newcomer": it reads nothing for two seconds among
// 35 000 notifications; a client leaves, a newcomer maps a window), and before all that another
// client sends ClientMessages to the root with SubstructureNotify naming each of the first 4 096
// ids of the proxy's own connection's range, their data all ones: the manager gets every one of
// them as directly, and the leaver's notifications still name the leaver's window.
TEST_P(DepartureStallThroughTarvo, ForgedMessagesToTheRootNameNoLeaverForANewcomer) {
  auto [direct, proxied] = run("departure_order.py %D forged %R");
  EXPECT_EQ(direct,
            "UnmapNotify leaver\nDestroyNotify leaver\nCreateNotify newcomer\nMapNotify newcomer\n"
            "newcomer alive 60 40\nforgeries seen 4096 of 4096\n");
  EXPECT_EQ(proxied, direct);
}

// Six clients leave (three close, three shut their socket) while another client holds the
// server: the grabber gets their DestroyNotify during the grab and their windows are gone from
// the root, as directly. It waits up to 7 s for them (directly they come at once); past that,
// they came only with the ungrab.
TEST_P(DepartureStallThroughTarvo, ClientsLeavingDuringAnotherClientsGrabAreSeenToGo) {
  auto [direct, proxied] = run("grab_departures.py %D 7");
  const std::string seen =
      "during the grab: DestroyNotify 6 of 6, windows left 0\nafter the ungrab: DestroyNotify 6 of 6\n";
  EXPECT_EQ(direct, seen);
  EXPECT_EQ(proxied, seen);
}

// Three clients one after the other: a GC with the top id of the range the setup offers
// (base|mask) is created, changed and freed, a window with that id is made, and an id just
// above the range is BadIDChoice, as directly.
TEST_P(DepartureStallThroughTarvo, ClientMayUseTheTopIdOfItsRange) {
  auto [direct, proxied] = run("range_ends.py %D");
  const std::string line = "gc ok, change+free ok, window ok 61x41, beyond BadIDChoice\n";
  EXPECT_EQ(direct, "client 1 " + line + "client 2 " + line + "client 3 " + line);
  EXPECT_EQ(proxied, direct);
}

// 3 000 clients come and go one after another, each taking the id base the one before left,
// while observers join four at a time and select SubstructureNotify on the root at once
// (scripts/joining_observers.py): every CreateNotify an observer reads, its first ones too, names
// the window by its maker's id, as directly.
TEST_P(DepartureStallThroughTarvo, ObserversJoiningWhileClientsLeaveReadEveryIdAsItsMakers) {
  auto [direct, proxied] = run("joining_observers.py %D 3000");
  EXPECT_EQ(direct, "observers enough\nwrong 0\n");
  EXPECT_EQ(proxied, direct);
}

INSTANTIATE_TEST_SUITE_P(Heads, DepartureStallThroughTarvo, ::testing::Values(1, 2));

}  // namespace
