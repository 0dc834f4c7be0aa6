// The run control in-process: XDMCP's option vector, the exit hooks' order, and signals turned
// into reset requests and exit reasons (also during the reset's sleep).
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "proxy/connections.h"
#include "proxy/xdmcp.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {

std::string joined(const std::vector<std::string> &words) {
  std::string text;
  for (const std::string &w : words) text += (text.empty() ? "" : " ") + w;
  return text;
}

TEST(XproxyXdmcp, ArgumentsPutTheDefaultsFirstSoThatTheConfigurationOverridesThem) {
  const std::string defaults = std::string("-class Morwentech-") + logProgramName() + " -displayID Morwentech-0";
  struct Case {
    uint32_t mode;
    const char *host;
    uint32_t port, once;
    const char *cookie, *displayClass, *displayID;
    const char *error;     // NULL: success with the words below
    const char *words;     // after the defaults
  } cases[] = {
      {1, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, "-broadcast"},
      {2, "dm.example", 0, 0, nullptr, nullptr, nullptr, nullptr, "-indirect dm.example"},
      {3, "127.0.0.1", 1177, 1, "c00k", "Kiosk", "Desk-7", nullptr,
       "-query 127.0.0.1 -once -port 1177 -cookie c00k -class Kiosk -displayID Desk-7"},
      {2, nullptr, 0, 0, nullptr, nullptr, nullptr, "No XDMCP host specified (mode=indirect)", ""},
      {3, "", 177, 0, nullptr, nullptr, nullptr, "No XDMCP host specified (mode=query)", ""},
      {3, nullptr, 0, 0, nullptr, nullptr, nullptr, "No XDMCP host specified (mode=query)", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words);
    std::vector<std::string> words;
    const char *error = xproxyXdmcpArguments(c.mode, c.host, c.port, c.once, c.cookie, c.displayClass, c.displayID, &words);
    if (c.error) {
      EXPECT_STREQ(error, c.error);
      continue;
    }
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(joined(words), defaults + " " + c.words);
  }
}

TEST(XproxyXdmcp, InitStartsTheQueryOrFailsWithoutAHost) {
  ordersInit();
  EXPECT_STREQ(xproxyInitXdmcp(3, nullptr, 0, 0, nullptr, nullptr, nullptr), "No XDMCP host specified (mode=query)");
  EXPECT_LT(xdmcpSocket(), 0);
  EXPECT_EQ(xproxyInitXdmcp(3, "127.0.0.1", 1177, 1, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(xdmcpInitialState(), kXdmcpQuery);
  EXPECT_EQ(xdmcpPort(), 1177u);
  EXPECT_EQ(xdmcpOnce(), 1);
  EXPECT_GE(xdmcpSocket(), 0);
  xdmcpFreeAll();
  ordersFreeAll();
}

std::string hookTrace;
void hookA(int) { hookTrace += "A"; }
void hookB(int) {
  hookTrace += "B";
  xproxyRemoveExitHook(hookB);  // a hook may take itself out while the hooks run
}
int watchedFd = -1;
void hookOrdersGone(int) { hookTrace += ordersHasReader(watchedFd) ? "+" : "0"; }

TEST(XproxyRun, ExitHooksRunInTheOrderTheyWereAddedTheOrdersFirst) {
  ASSERT_EQ(xproxyInit(), nullptr);  // puts the freeing of every order in as the first hook
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  watchedFd = fds[0];
  ASSERT_NE(ordersAddReader(watchedFd, ordersNoOp, nullptr), nullptr);
  ASSERT_TRUE(ordersHasReader(watchedFd));
  hookTrace.clear();
  ASSERT_EQ(xproxyAddExitHook(hookOrdersGone), 1);
  ASSERT_EQ(xproxyAddExitHook(hookA), 1);
  ASSERT_EQ(xproxyAddExitHook(hookB), 1);
  EXPECT_EQ(xproxyAddExitHook(hookA), 1);  // already there: not twice
  xproxyRunExitHooks();
  EXPECT_EQ(hookTrace, "0AB");
  EXPECT_FALSE(xproxyHasExitHook(hookB));
  hookTrace.clear();
  xproxyRunExitHooks();
  EXPECT_EQ(hookTrace, "0A");
  xproxyRemoveExitHook(hookA);
  xproxyRemoveExitHook(hookOrdersGone);
  ordersFreeAll();
  close(fds[0]);
  close(fds[1]);
}

TEST(XproxyRun, SignalsBecomeResetRequestsAndExitReasons) {
  ASSERT_EQ(xproxyInit(), nullptr);
  // SIGHUP: the run ends for a reset (no clients to close); with noReset the reset does nothing.
  uint32_t requests = xproxyResetRequests;
  kill(getpid(), SIGHUP);
  EXPECT_EQ(xproxyRun(), nullptr);
  EXPECT_EQ(xproxyResetRequests, requests + 1);
  xproxyNoReset = 1;
  EXPECT_EQ(xproxyReset(), nullptr);
  EXPECT_EQ(xproxyGeneration, 0);
  // An exit signal: the reason, then every run and reset returns it at once.
  kill(getpid(), SIGTERM);
  EXPECT_STREQ(xproxyRun(), "Received exit signal 15");
  EXPECT_STREQ(xproxyReset(), "Received exit signal 15");
  EXPECT_STREQ(xproxyPendingExitReason(), "Received exit signal 15");
  // The first reason stays.
  xproxyRequestExit("later");
  EXPECT_STREQ(xproxyPendingExitReason(), "Received exit signal 15");
  xproxyNoReset = 0;
  ordersFreeAll();
}

TEST(XproxyRun, ExitSignalEndsTheResetSleep) {
  ASSERT_EQ(xproxyInit(), nullptr);
  xproxyNoReset = 0;
  xproxyResetDelay = 2;
  auto began = std::chrono::steady_clock::now();
  std::thread signaller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(getpid(), SIGINT);
  });
  const char *result = xproxyReset();
  signaller.join();
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_STREQ(result, "Received exit signal 2");
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(xproxyGeneration, 0);  // the reset did not complete
  ordersFreeAll();
}

TEST(XproxyRun, ResetSleepsItsDelayAndRaisesTheGeneration) {
  ASSERT_EQ(xproxyInit(), nullptr);
  xproxyNoReset = 0;
  xproxyResetDelay = 1;
  auto began = std::chrono::steady_clock::now();
  kill(getpid(), SIGHUP);  // a SIGHUP during the reset is served by it: no early wake-up ends the sleep
  EXPECT_EQ(xproxyReset(), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(950));
  EXPECT_EQ(xproxyGeneration, 1);
  xproxyResetDelay = 2;
  ordersFreeAll();
}

}  // namespace
