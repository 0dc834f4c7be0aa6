// Listeners, host access and client authorization, judged by xdpyinfo and a raw setup client
// against a test answerer that writes a failed setup carrying the access decision.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "proxy/conndis.h"
#include "proxy/xproxy.h"
#include "support/host.h"
#include "rawclient_fixture.h"
#include "xvfb_fixture.h"

namespace {

struct Answered {
  int count = 0;
  std::string reason;  // "" when admitted
  uint32_t id = 0;
};
Answered answered;
bool keepConnections = false;
std::vector<XtransConnInfo> keptConnections;

// The test answerer: reads the setup of the accepted connection, checks its access and writes
// a failed setup with the reason (or the admitting id), which real clients print.
void answerer(XtransConnInfo connection, int fd) {
  std::vector<uint8_t> in;
  size_t need = 12;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool msb = false;
  while (in.size() < need && std::chrono::steady_clock::now() < deadline) {
    pollfd slot{fd, POLLIN, 0};
    if (poll(&slot, 1, 50) <= 0) continue;
    uint8_t buffer[4096];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, need - in.size()));
    if (n <= 0) break;
    in.insert(in.end(), buffer, buffer + n);
    if (in.size() == 12 && need == 12) {
      msb = in[0] == 'B';
      auto get16 = [&](int at) { return msb ? (in[at] << 8 | in[at + 1]) : (in[at] | in[at + 1] << 8); };
      need = 12 + ((get16(6) + 3u) & ~3u) + ((get16(8) + 3u) & ~3u);
    }
  }
  if (in.size() < need || in.size() < 12) {
    clientconnectionClose(connection);
    return;
  }
  auto get16 = [&](int at) { return msb ? (in[at] << 8 | in[at + 1]) : (in[at] | in[at + 1] << 8); };
  uint16_t nameLength = static_cast<uint16_t>(get16(6)), dataLength = static_cast<uint16_t>(get16(8));
  ClientConnection client{};
  client.transport = connection;
  const char *reason = xproxyCheckClientAccess(&client, nameLength, reinterpret_cast<const char *>(in.data() + 12),
                                               dataLength, in.data() + 12 + ((nameLength + 3u) & ~3u));
  answered.count++;
  answered.reason = reason ? reason : "";
  answered.id = xproxyAccessRecord()->authorizationId;
  rawWriteSetupFailure(fd, msb, reason ? reason : "admitted with id " + std::to_string(answered.id));
  if (keepConnections)
    keptConnections.push_back(connection);
  else
    clientconnectionClose(connection);
}

void pump() { ordersStep(10); }

// Runs a program to its end while the event loop runs; its stdout and stderr together.
std::string runProgram(const std::vector<std::string> &arguments, const std::string &display,
                       const std::string &xauthority) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "pipe failed";
  std::vector<char *> argv;
  for (const std::string &a : arguments) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::string displayVariable = "DISPLAY=" + display, authVariable = "XAUTHORITY=" + xauthority;
  char *envp[] = {displayVariable.data(), authVariable.data(), const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    close(pipeFds[0]);
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  close(pipeFds[1]);
  std::string output;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  bool done = false;
  while (!done) {
    pump();
    pollfd slot{pipeFds[0], POLLIN, 0};
    if (poll(&slot, 1, 5) > 0) {
      char buffer[4096];
      ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) output.append(buffer, static_cast<size_t>(n));
    }
    if (waitpid(pid, &status, WNOHANG) == pid) done = true;
    if (!done && std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      output += "\n[timed out]";
      done = true;
    }
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  return output;
}

std::string socketPath(int display) { return "/tmp/.X11-unix/X" + std::to_string(display); }

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ordersInit();
    accessFreeAll();
    char templateText[] = "/tmp/tarvo-listen-XXXXXX";
    ASSERT_NE(mkdtemp(templateText), nullptr);
    dir = templateText;
    accessSetHostFileTemplate((dir + "/X%s.hosts").c_str());
    xproxyNewClientHook = answerer;
    answered = {};
    keepConnections = false;
  }
  void TearDown() override {
    for (XtransConnInfo c : keptConnections) clientconnectionClose(c);
    keptConnections.clear();
    xproxyCloseListeners();
    xproxyFreeServerAuth();
    accessFreeAll();
    accessSetHostFileTemplate(nullptr);
    conndisSetAuthorization(0, nullptr, 0, nullptr);
    std::filesystem::remove_all(dir);
  }

  // Listens on a display number that is free now, retrying others when it was taken meanwhile.
  void listen(int accessControl = 1) {
    for (int attempt = 0; attempt < 10; attempt++) {
      display = xvfbUnusedDisplayNumber();
      if (!xproxyListen((":" + std::to_string(display)).c_str(), accessControl)) return;
    }
    FAIL() << "no display number could be listened on";
  }

  std::string xdpyinfo(const std::string &name, const std::string &authority) {
    return runProgram({"/usr/bin/xdpyinfo"}, name, authority);
  }
  std::string xauth(const std::string &file, const std::vector<std::string> &words) {
    std::vector<std::string> arguments{"/usr/bin/xauth", "-f", file};
    arguments.insert(arguments.end(), words.begin(), words.end());
    return runProgram(arguments, ":0", dir + "/unused");
  }
  // A raw setup over a connection; the reply's reason ("admitted with id N" when admitted).
  std::string rawSetup(int fd, const std::string &name, const std::string &data, bool msb = false) {
    if (fd < 0) return "[no connection]";
    auto message = rawSetupMessage(msb, name, data);
    rawSendAll(fd, message.data(), message.size());
    RawSetupReply reply = rawReadSetupReply(fd, 10000, pump);
    close(fd);
    return reply.status == 0 ? reply.reason : "[no reply]";
  }
  // A kept local (unix) client as the proxy sees it.
  ClientConnection keptClient(int fd) {
    keepConnections = true;
    size_t before = keptConnections.size();
    rawSetup(fd, "", "");
    keepConnections = false;
    ClientConnection client{};
    client.transport = keptConnections.size() > before ? keptConnections.back() : nullptr;
    return client;
  }

  std::string dir;
  int display = -1;
};

TEST_F(ListenerTest, ListensOnEveryTransportAndAdmitsLocalClientsWithoutAuthorityFile) {
  listen();
  int count = 0;
  bool tcp = false, local = false;
  for (ListenPort *p = xproxyListenPorts(); p; p = p->next) {
    count++;
    (clientconnectionIsLocal(p->transport) ? local : tcp) = true;
  }
  EXPECT_GE(count, 3);  // TCP, abstract and file unix sockets
  EXPECT_TRUE(tcp && local);
  EXPECT_EQ(xproxyDisplayNumber(), display);
  struct stat status;
  ASSERT_EQ(stat(socketPath(display).c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));

  for (const std::string &name : {":" + std::to_string(display), "127.0.0.1:" + std::to_string(display)}) {
    answered = {};
    std::string out = xdpyinfo(name, dir + "/none");
    EXPECT_NE(out.find("admitted with id 0"), std::string::npos) << name << ": " << out;
    EXPECT_EQ(answered.count, 1);
  }
  EXPECT_NE(rawSetup(rawConnectUnix(display, true), "", "", true).find("admitted with id 0"),
            std::string::npos);
}

TEST_F(ListenerTest, MitCookiesFromAnAuthorityFileFollowItsChanges) {
  std::string proxyFile = dir + "/proxy.auth", right = dir + "/right.auth", wrong = dir + "/wrong.auth",
              later = dir + "/later.auth";
  listen();
  std::string n = ":" + std::to_string(display);
  const std::string cookieA = "00112233445566778899aabbccddeeff", cookieB = "ffeeddccbbaa99887766554433221100";
  xauth(proxyFile, {"add", n, "MIT-MAGIC-COOKIE-1", cookieA});
  xauth(right, {"add", n, "MIT-MAGIC-COOKIE-1", cookieA});
  xauth(wrong, {"add", n, "MIT-MAGIC-COOKIE-1", "0102030405060708090a0b0c0d0e0f10"});
  xauth(later, {"add", n, "MIT-MAGIC-COOKIE-1", cookieB});
  xproxySetAuthorizationFile(proxyFile.c_str());

  std::string out = xdpyinfo(n, right);
  EXPECT_NE(out.find("admitted with id"), std::string::npos) << out;
  EXPECT_GT(answered.id, 0u);
  EXPECT_NE(xdpyinfo(n, wrong).find("Invalid MIT-MAGIC-COOKIE-1 key"), std::string::npos);
  EXPECT_NE(xdpyinfo(n, dir + "/none").find("No protocol specified"), std::string::npos);
  EXPECT_NE(xdpyinfo("127.0.0.1" + n, dir + "/none").find("No protocol specified"), std::string::npos);

  // Added while running: counts at once; removed: no longer.
  EXPECT_NE(xdpyinfo(n, later).find("Invalid MIT-MAGIC-COOKIE-1 key"), std::string::npos);
  xauth(proxyFile, {"add", ":" + std::to_string(display + 1), "MIT-MAGIC-COOKIE-1", cookieB});
  EXPECT_NE(xdpyinfo(n, later).find("admitted with id"), std::string::npos);
  xauth(proxyFile, {"remove", ":" + std::to_string(display + 1)});
  EXPECT_NE(xdpyinfo(n, later).find("Invalid MIT-MAGIC-COOKIE-1 key"), std::string::npos);
  EXPECT_NE(xdpyinfo(n, right).find("admitted with id"), std::string::npos);
}

// XDM-AUTHORIZATION-1 data as a client makes it: rho, client id (address and port), time.
std::string xdmData(const uint8_t *rho, const uint8_t *key, const uint8_t *clientId, uint32_t time) {
  uint8_t plain[24] = {}, wrapped[24];
  memcpy(plain, rho, 8);
  memcpy(plain + 8, clientId, 6);
  for (int i = 0; i < 4; i++) plain[14 + i] = static_cast<uint8_t>(time >> (24 - 8 * i));
  XdmcpWrap(plain, const_cast<uint8_t *>(key), wrapped, 24);
  return std::string(reinterpret_cast<char *>(wrapped), 24);
}

TEST_F(ListenerTest, XdmAuthorizationAdmitsOnceAndChecksTimeAddressAndLength) {
  std::string proxyFile = dir + "/proxy.auth";
  listen();
  std::string n = ":" + std::to_string(display);
  const uint8_t rho[8] = {1, 2, 3, 4, 5, 6, 7, 8}, key[8] = {0, 9, 10, 11, 12, 13, 14, 15};
  xauth(proxyFile, {"add", n, "XDM-AUTHORIZATION-1", "010203040506070800090a0b0c0d0e0f"});
  xproxySetAuthorizationFile(proxyFile.c_str());
  EXPECT_NE(xdpyinfo(n, proxyFile).find("admitted with id"), std::string::npos);
  EXPECT_NE(xdpyinfo("127.0.0.1" + n, proxyFile).find("admitted with id"), std::string::npos);

  const std::string name = "XDM-AUTHORIZATION-1";
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  const uint8_t unixId[6] = {0xA0, 0, 0, 0x55, 0, 1};
  std::string once = xdmData(rho, key, unixId, now);
  EXPECT_NE(rawSetup(rawConnectUnix(display, false), name, once).find("admitted"), std::string::npos);
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), name, once),
            "XDM authorization key matches an existing client!");
  // 1200 s is the limit; the proxy reads its clock a moment later than `now` was taken (a second
  // boundary may pass in between), so the test stays a few seconds beyond the limit.
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), name, xdmData(rho, key, unixId, now + 1205)),
            "Excessive XDM-AUTHORIZATION-1 time offset");
  const uint8_t elsewhere[6] = {10, 1, 2, 3, 0, 1};
  EXPECT_EQ(rawSetup(rawConnectTcp(display), name, xdmData(rho, key, elsewhere, now)),
            "Invalid XDM-AUTHORIZATION-1 key (failed address comparison)");
  const uint8_t otherRho[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), name, xdmData(otherRho, key, unixId, now)),
            "Invalid XDM-AUTHORIZATION-1 key (failed key comparison)");
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), name, once.substr(0, 16)),
            "Bad XDM authorization key length");
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), name, once.substr(0, 23)),
            "Bad XDM authorization key length");
}

TEST_F(ListenerTest, RemoteHostsNeedTheHostListOrNoAccessControl) {
  listen();
  std::string refused = rawSetup(rawConnectTcp(display, "127.0.0.2"), "", "");
  EXPECT_EQ(refused, "No protocol specified\n");
  ClientConnection local = keptClient(rawConnectUnix(display, false));
  ASSERT_NE(local.transport, nullptr);
  ClientConnection remote = keptClient(rawConnectTcp(display, "127.0.0.2"));
  ASSERT_NE(remote.transport, nullptr);

  const uint8_t address[6] = {127, 0, 0, 2, 0, 0};
  EXPECT_EQ(xproxyAddHost(&remote, 0, 4, address), 10);
  EXPECT_EQ(xproxyAddHost(&remote, 254, 5, reinterpret_cast<const uint8_t *>("a@b.c")), 10);
  EXPECT_EQ(xproxySetAccessControl(&remote, 0), 10);
  EXPECT_EQ(xproxyAddHost(&local, 0, 6, address), 2);
  EXPECT_EQ(xproxyAccessRecord()->errorValue, 6u);
  EXPECT_EQ(xproxyAddHost(&local, 0, 4, address), 0);
  EXPECT_EQ(rawSetup(rawConnectTcp(display, "127.0.0.2"), "", ""), "admitted with id 0");
  EXPECT_EQ(xproxyRemoveHost(&local, 0, 4, address), 0);
  EXPECT_EQ(rawSetup(rawConnectTcp(display, "127.0.0.2"), "", ""), "No protocol specified\n");
  EXPECT_EQ(xproxySetAccessControl(&local, 0), 0);
  EXPECT_EQ(rawSetup(rawConnectTcp(display, "127.0.0.2"), "", ""), "admitted with id 0");
}

TEST_F(ListenerTest, AccessControlOffAdmitsEveryHost) {
  listen(0);
  EXPECT_EQ(rawSetup(rawConnectTcp(display, "127.0.0.2"), "", ""), "admitted with id 0");
}

TEST_F(ListenerTest, LocalUserAndGroupAdmitUnixClientsOnly) {
  std::string proxyFile = dir + "/proxy.auth";
  listen();
  xauth(proxyFile, {"add", ":" + std::to_string(display), "MIT-MAGIC-COOKIE-1", "00112233445566778899aabbccddeeff"});
  xproxySetAuthorizationFile(proxyFile.c_str());
  // The file turns local-host access off: a unix client without a cookie is refused.
  EXPECT_EQ(rawSetup(rawConnectUnix(display, false), "", ""), "No protocol specified\n");
  std::string values[] = {std::string("localuser\0#", 11) + std::to_string(getuid()),
                          std::string("localgroup\0#", 12) + std::to_string(getgid())};
  for (const std::string &value : values) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(value.data());
    ASSERT_EQ(xproxyAddHost(nullptr, 5, static_cast<int>(value.size()), bytes), 0);
    EXPECT_EQ(rawSetup(rawConnectUnix(display, false), "", ""), "admitted with id 0") << value;
    EXPECT_EQ(rawSetup(rawConnectTcp(display), "", ""), "No protocol specified\n") << value;
    EXPECT_EQ(xproxyRemoveHost(nullptr, 5, static_cast<int>(value.size()), bytes), 0);
  }
}

TEST_F(ListenerTest, TakenDisplayNumbersFailAndXvfbKeepsAnswering) {
  listen();
  std::string expected = "Can't establish listening port " + std::string(hostName()) + ":" +
                         std::to_string(display) +
                         " - Make sure the display number is not used by another X server or X proxy";
  // A second listener set on the number (the first stays open); it leaves no descriptor open.
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{});
  };
  auto before = openDescriptors();
  const char *failure = xproxyListen((":" + std::to_string(display)).c_str(), 1);
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure), expected);
  EXPECT_EQ(openDescriptors(), before);
  xproxyCloseListeners();

  XvfbServer xvfb;
  ASSERT_EQ(xvfb.start(XvfbOptions{{"640x480x24"}, false, -1, {"-nolisten", "tcp"}}), "");
  failure = xproxyListen((":" + std::to_string(xvfb.displayNumber())).c_str(), 1);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("Can't establish listening port"), std::string::npos);
  Display *dpy = XOpenDisplay(xvfb.displayName().c_str());
  EXPECT_NE(dpy, nullptr);
  if (dpy) XCloseDisplay(dpy);

  for (const char *bad : {":65536", ":x", "host", ":-1", ":1.x"}) {
    failure = xproxyListen(bad, 1);
    ASSERT_NE(failure, nullptr) << bad;
    EXPECT_EQ(std::string(failure), std::string("Bad connection display name: ") + bad);
  }
}

TEST_F(ListenerTest, ResetRecreatesSocketFileAndFailsCleanlyOnAPlantedDirectory) {
  listen();
  std::string path = socketPath(display);
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(xproxyResetListeners(), nullptr);
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_NE(rawSetup(rawConnectUnix(display, false), "", "").find("admitted"), std::string::npos);
  // Again after an accepted unix client: the socket comes back at its path.
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(xproxyResetListeners(), nullptr);
  EXPECT_NE(rawSetup(rawConnectUnix(display, false), "", "").find("admitted"), std::string::npos);

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  const char *failure = xproxyResetListeners();
  rmdir(path.c_str());
  ASSERT_NE(failure, nullptr);
  EXPECT_STREQ(failure, "Can't reset listening connections");
  // The others still accept; the exit closes them once.
  EXPECT_NE(rawSetup(rawConnectTcp(display), "", "").find("admitted"), std::string::npos);
  xproxyCloseListeners();
  EXPECT_NE(stat(path.c_str(), &status), 0);
}

}  // namespace
