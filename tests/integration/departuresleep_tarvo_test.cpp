// Clients that sleep through thousands of departures of others, and clients that shut their
// writing side after their last requests, through the tarvo executable as directly, on one
// screen and on two screens joined into one meta screen: a connection that has not read a
// departure's marker reads the departed client's ids however many clients came and went, and a
// half-closed client gets the answers of what it sent, also when another client held the server.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "twinrun_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";
// The log line of a client ended for sleeping through too many departures.
const std::string kEndedBehind = "departures of other clients: ended";
// A stopped manager's run: 40 000 properties and 20 000 clients through the proxy, perhaps under
// AddressSanitizer on a busy machine (its own waits end at 120 s a phase).
constexpr int kStoppedWmSeconds = 400;
// Any other run: thousands of clients through the proxy, some 10-20 s on an idle machine, a
// minute and more under AddressSanitizer beside other tests on two cores.
constexpr int kRunSeconds = 180;

class DepartureSleepThroughTarvo : public TwinRunOnScreensEndingCleanly {
 protected:
  std::pair<std::string, std::string> run(const std::string &command, int seconds = kRunSeconds) {
    return twin.run("/usr/bin/python3 " + kScripts + command, seconds);
  }
};

// A raw client selects SubstructureNotify on the root and reads nothing while 12 000 clients
// come and go, a dozen at a time (each makes and maps a window, destroys it or leaves that to
// its close, does a round trip and closes): three times as many departures as a bound of 4096
// kept for it would cover once the proxy can give it no more room. When it reads, every
// CreateNotify names the window its client made (the geometry tells which client that was),
// every MapNotify, UnmapNotify and DestroyNotify one of those that is there, and nothing else.
TEST_P(DepartureSleepThroughTarvo, SleeperReadsEachDepartedClientsWindowsAsItsOwn) {
  auto [direct, proxied] = run("departure_sleeper.py %D 12000");
  const std::string clean = "served 12000 refused 0\ncreated 12000 mapped 12000 destroyed 12000 wrong 0\n";
  EXPECT_EQ(direct, clean);
  EXPECT_EQ(proxied, clean);
  EXPECT_EQ(twin.tarvo().log().find(kEndedBehind), std::string::npos) << twin.tarvo().log();
}

// The same, and the sleeper also selects PropertyChange on the root while another client
// changes a root property 30 000 times before the crowd and 10 000 times halfway: the sleeper's
// socket is full before the first departure. A server may drop a sleeper's events (this one
// keeps them all): directly only the ids are checked; through tarvo nothing is lost either.
TEST_P(DepartureSleepThroughTarvo, SleeperWithAFullSocketReadsEachDepartedClientsWindowsAsItsOwn) {
  auto [direct, proxied] = run("departure_sleeper.py %D 12000 flood");
  EXPECT_TRUE(std::regex_search(direct, std::regex("^served 12000 refused 0\ncreated \\d+ mapped \\d+ destroyed \\d+ "
                                                   "wrong 0\nproperty notifications \\d+ of 40000, other 0\n$")))
      << direct;
  EXPECT_EQ(proxied,
            "served 12000 refused 0\ncreated 12000 mapped 12000 destroyed 12000 wrong 0\n"
            "property notifications 40000 of 40000, other 0\n");
  EXPECT_EQ(twin.tarvo().log().find(kEndedBehind), std::string::npos) << twin.tarvo().log();
}

// A reparenting window manager frames 20 clients' windows, then reads nothing while a client
// fills its socket with root PropertyNotify and 6 000 clients come and go (every third maps its
// window, which asks the sleeping manager); half of the framed clients leave among them and ten
// newcomers map a window each. When it goes on (scripts/sleeping_wm.py): no frame is left
// without its window, every running client's window is framed, mapped and marked, and no
// event names a running client's window for another's end or another's creation.
TEST_P(DepartureSleepThroughTarvo, WindowManagerWakingAfterThousandsOfDeparturesKeepsNoGhostAndTouchesNoLiveWindow) {
  auto [direct, proxied] = run("sleeping_wm.py %D 6000");
  const std::string clean = "live 20 left 10 crowd 6000\nghost 0 touched 0\nwrong 0 foreign 0\n";
  EXPECT_EQ(direct, clean);
  EXPECT_EQ(proxied, clean);
}

// A python-xlib reparenting manager, a process of its own, is stopped while 40 000 root
// PropertyNotify pile up for it and 20 000 clients come and go (every third maps its window),
// then continued (scripts/stopped_wm.py): it reads its backlog and frames what asks to be
// mapped, and python-xlib sends all it queued in one blocking send, before it reads again,
// whenever its socket is writable. As directly, it is through within seconds, and a bystander
// and a newcomer are answered afterwards; also when the manager holds the server around each
// frame.
TEST_P(DepartureSleepThroughTarvo, StoppedWindowManagerContinuedWorksThroughItsBacklog) {
  auto [direct, proxied] = run("stopped_wm.py %D 20000", kStoppedWmSeconds);
  EXPECT_EQ(direct, "done\nbystander and newcomer answered\n");
  EXPECT_EQ(proxied, direct);
}

TEST_P(DepartureSleepThroughTarvo, StoppedWindowManagerThatGrabsAroundItsFramesWorksThroughItsBacklog) {
  auto [direct, proxied] = run("stopped_wm.py %D 20000 grab", kStoppedWmSeconds);
  EXPECT_EQ(direct, "done\nbystander and newcomer answered\n");
  EXPECT_EQ(proxied, direct);
}

// 50 clients each send CreateWindow, MapWindow, a GC and 1000 rectangles filled into the
// window, and GetInputFocus, shut their writing side and read on (scripts/half_close.py): each
// gets its reply before it is closed, and a watcher on the root sees each window made, mapped
// and destroyed, as directly.
TEST_P(DepartureSleepThroughTarvo, HalfClosedClientsGetTheAnswersOfTheirLastRequests) {
  auto [direct, proxied] = run("half_close.py %D");
  const std::string answered = "replies 50 of 50 errors 0\nwindows made 50 mapped 50 destroyed 50 others 0\n";
  EXPECT_EQ(direct, answered);
  EXPECT_EQ(proxied, answered);
}

// The same while the watcher holds the server, ungrabbing a second later: no reply comes during
// the grab, then every client gets its reply and its window is made, as directly.
TEST_P(DepartureSleepThroughTarvo, ClientsHalfClosedDuringAnotherClientsGrabAreAnsweredAfterIt) {
  auto [direct, proxied] = run("half_close.py %D grab");
  const std::string answered =
      "replies during the grab 0\nreplies 50 of 50 errors 0\nwindows made 50 mapped 50 destroyed 50 others 0\n";
  EXPECT_EQ(direct, answered);
  EXPECT_EQ(proxied, answered);
}

// The churn of scripts/churn_wm.py (a reparenting manager, clients leaving in waves in every
// way, newcomers, pauses) beside a client that selects SubstructureNotify on the root and reads
// nothing (its socket filled first) while 6 000 more clients come and go during the churn: the
// churn ends as without it, and the sleeper, once it reads, finds each of those clients' windows
// named by its own id.
TEST_P(DepartureSleepThroughTarvo, ChurnBesideASleeperBehindThousandsOfDepartures) {
  auto [direct, proxied] = run("churn_wm.py %D 9 sleeper 6000");
  const std::string clean =
      "left 36 live 6\nghost 0 no unmap 0 no destroy 0\nforeign 0 wrong 0 touched 0\n"
      "sleeper created 6000 destroyed 6000 wrong 0 of 6000\n";
  EXPECT_EQ(direct, clean);
  EXPECT_EQ(proxied, clean);
}

INSTANTIATE_TEST_SUITE_P(Heads, DepartureSleepThroughTarvo, ::testing::Values(1, 2));

}  // namespace
