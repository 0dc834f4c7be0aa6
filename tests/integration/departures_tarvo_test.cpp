// Clients that leave, through the tarvo executable as directly, on one screen and on two screens
// joined into one meta screen: a window manager sees a departed client's windows go with the
// client's ids, a client whose proxy slot may equal its real client index gets its structure
// events, the last requests of clients that leave at once still run, and the departed
// client's ids keep their meaning by the order of the server's answers (asleep, behind a busy
// manager, with a newcomer on its base, named in other clients' requests).
#include <gtest/gtest.h>

#include <string>

#include "twinrun_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";

class DeparturesThroughTarvo : public TwinRunOnScreensEndingCleanly {};

// The client's connection closes, KillClient, DestroyWindow just before it leaves, and a retained
// client killed later: the manager's Unmap and DestroyNotify (from the frame and from the
// window) in the direct order, the window named by the client's own id.
TEST_P(DeparturesThroughTarvo, WindowManagerSeesADepartedClientsWindowGoAsDirect) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "departed_windows.py %D");
  const std::string gone =
      " 4\n  UnmapNotify event=client window=client\n  UnmapNotify event=frame window=client\n"
      "  DestroyNotify event=client window=client\n  DestroyNotify event=frame window=client\n";
  EXPECT_EQ(direct, "close" + gone + "kill" + gone + "destroy" + gone + "retained 0\nretained" + gone);
  EXPECT_EQ(proxied, direct);
}

// A connection held in its setup takes a slot of the proxy and a client index of the real server
// both: the clients after it may have equal numbers on both sides (they did with one screen).
// Their events come, and a selection goes with its owner that leaves retaining its resources.
TEST_P(DeparturesThroughTarvo, ClientAfterAConnectionHeldInItsSetupGetsItsEvents) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "held_setup.py %D");
  EXPECT_EQ(direct,
            "MapNotify own\nConfigureNotify own\nPropertyNotify own\nUnmapNotify own\nDestroyNotify own\n"
            "PropertyNotify own\nowner after the retained close None\nwindow kept True\n");
  EXPECT_EQ(proxied, direct);
}

// Directly, the server drops a client whose end it meets before it read the requests (it
// loses many here); through tarvo none is lost, as through a byte relay.
TEST_P(DeparturesThroughTarvo, LastRequestsOfClientsThatLeaveAtOnceRun) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "leave_at_once.py %D", 160);
  EXPECT_NE(direct.find("received"), std::string::npos) << direct;
  EXPECT_EQ(proxied, "received 60 of 60\n");
  auto info = twin.run("xdpyinfo -display %D");
  EXPECT_NE(info.second.find("number of screens:"), std::string::npos) << info.second;
}

// The cases where only the order of the server's answers tells a departed client's ids from
// others' (scripts/departure_order.py): each as directly, with the client's own ids.
std::string departureOrder(TwinRun &twin, const std::string &kind) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "departure_order.py %D " + kind);
  EXPECT_EQ(proxied, direct) << kind;
  return proxied;
}
const std::string kLeaverGone = "UnmapNotify leaver\nDestroyNotify leaver\n";

// A client the server holds asleep (SYNC Await) leaves: the server never sees a connection that
// is only shut for writing; the proxy closes it as the client would have, and the manager
// learns of the window's end with the client's ids.
TEST_P(DeparturesThroughTarvo, ClientLeavingAsleepIsClosedAndItsWindowGoesWithItsIds) {
  EXPECT_EQ(departureOrder(twin, "await"), kLeaverGone);
}

// A manager that reads nothing for two seconds among 35 000 notifications: the departed
// client's DestroyNotify, read long after the close, still carries its id.
TEST_P(DeparturesThroughTarvo, BusyManagerReadsADepartedClientsWindowGoLate) {
  EXPECT_EQ(departureOrder(twin, "busy"), kLeaverGone);
}

// As above, and a newcomer connects after the leaver (its raw connection may get the leaver's
// real base) and maps a window: the leaver's notifications name the leaver's window, the
// newcomer's name its own, and its window lives.
TEST_P(DeparturesThroughTarvo, NewcomerWithTheLeaversBaseIsNotNamedForIt) {
  EXPECT_EQ(departureOrder(twin, "newcomer"),
            kLeaverGone + "CreateNotify newcomer\nMapNotify newcomer\nnewcomer alive 60 40\n");
}

// Requests of the manager naming a departing client's window (DeleteProperty, ChangeProperty)
// reach that window or nothing: on one head the id as it stands would be another client's real
// window, whose properties must stay.
TEST_P(DeparturesThroughTarvo, RequestsNamingADepartingClientsWindowTouchNoOtherWindow) {
  EXPECT_EQ(departureOrder(twin, "request"), "kept 8 changed 0\n" + kLeaverGone);
}

INSTANTIATE_TEST_SUITE_P(Screens, DeparturesThroughTarvo, ::testing::Values(1, 2, 4));

// A reparenting window manager under churn (scripts/churn_wm.py), on one head and two: clients
// leave in waves of four at once in every way (close, shutdown, KillClient, retained close then
// KillClient, asleep), newcomers connect right after each wave, the manager pauses now and then.
// As directly: no ghost frame, every framed window that went has one UnmapNotify and one
// DestroyNotify with its own id, no event names a window the manager does not know or tells of
// the end of a running client's window, and no running client's window lost the manager's mark.
class DepartureChurnThroughTarvo : public DeparturesThroughTarvo {};

TEST_P(DepartureChurnThroughTarvo, ReparentingManagerKeepsNoGhostAndNamesEachWindowRightly) {
  auto [direct, proxied] = twin.run("/usr/bin/python3 " + kScripts + "churn_wm.py %D 9");
  const std::string clean = "left 36 live 6\nghost 0 no unmap 0 no destroy 0\nforeign 0 wrong 0 touched 0\n";
  EXPECT_EQ(direct, clean);
  EXPECT_EQ(proxied, clean);
}

// The same churn with two hostile clients beside it throughout: one selects SubstructureNotify
// and PropertyChange on the root and never reads while 30 000 PropertyNotify pile up for it;
// the other sends ClientMessages to the root naming the first ids of the range of the real
// server's first client (the proxy's own connection) before every wave, data all ones, then
// small numbers. As directly: no ghost frame, no misnamed event, no refused newcomer, and the
// manager gets every one of those messages.
TEST_P(DepartureChurnThroughTarvo, BesideAClientThatNeverReadsAndOneThatSendsLookalikes) {
  auto [direct, proxied] =
      twin.run("/usr/bin/python3 " + kScripts + "churn_wm.py %D 9 hostile " + twin.behindDisplay());
  const std::string clean =
      "left 36 live 6\nghost 0 no unmap 0 no destroy 0\nforeign 0 wrong 0 touched 0\n"
      "refused 0 messages 6400 of 6400\n";
  EXPECT_EQ(direct, clean);
  EXPECT_EQ(proxied, clean);
}

INSTANTIATE_TEST_SUITE_P(Heads, DepartureChurnThroughTarvo, ::testing::Values(1, 2));

}  // namespace
