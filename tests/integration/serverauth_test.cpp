// Raw connections to a real display and the authorization sent on them, against Xvfb.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "proxy/conndis.h"
#include "proxy/xproxy.h"
#include "rawclient_fixture.h"
#include "support/host.h"
#include "xvfb_fixture.h"

namespace {

void runXauth(const std::string &file, const std::vector<std::string> &words) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv{const_cast<char *>("/usr/bin/xauth"), const_cast<char *>("-q"), const_cast<char *>("-f"),
                             const_cast<char *>(file.c_str())};
    for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status;
  waitpid(pid, &status, 0);
}

const std::string cookieA = "00112233445566778899aabbccddeeff";
const std::string cookieB = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
const std::string xdmEntry = "0102030405060708000a0b0c0d0e0f10";

std::string bytesOf(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

class ServerAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templateText[] = "/tmp/tarvo-serverauth-XXXXXX";
    ASSERT_NE(mkdtemp(templateText), nullptr);
    dir = templateText;
    savedAuthority = getenv("XAUTHORITY") ? getenv("XAUTHORITY") : "";
  }
  void TearDown() override {
    conndisSetAuthorization(0, nullptr, 0, nullptr);
    xproxyFreeServerAuth();
    xproxyCloseListeners();
    accessFreeAll();
    if (savedAuthority.empty())
      unsetenv("XAUTHORITY");
    else
      setenv("XAUTHORITY", savedAuthority.c_str(), 1);
    std::filesystem::remove_all(dir);
  }
  // Starts Xvfb with an authority file made of the given xauth entries for its display.
  void startXvfb(const std::vector<std::pair<std::string, std::string>> &entries, bool tcp = false) {
    int number = xvfbUnusedDisplayNumber();
    serverFile = dir + "/server.auth";
    for (const auto &[name, data] : entries) runXauth(serverFile, {"add", ":" + std::to_string(number), name, data});
    XvfbOptions options{{"320x240x24"}, false, number, {"-auth", serverFile}};
    if (tcp) options.extraArguments.insert(options.extraArguments.end(), {"-listen", "tcp"});
    setenv("XAUTHORITY", serverFile.c_str(), 1);
    ASSERT_EQ(xvfb.start(options), "");
  }
  // Connects and sends a setup with the authorization conndis chose; the reply's status byte.
  int setupStatus(const std::string &name) {
    char *fullName = nullptr, *protocol = nullptr, *host = nullptr, *authName = nullptr, *authData = nullptr;
    int display = 0, screen = 0, nameLength = 0, dataLength = 0;
    XtransConnInfo connection = conndisConnectDisplay(name.c_str(), &fullName, &protocol, &host, &display, &screen,
                                                      &authName, &nameLength, &authData, &dataLength, 0);
    if (!connection) return -2;
    lastAuthName.assign(authName ? authName : "", static_cast<size_t>(nameLength));
    int fd = _X11TransGetConnectionNumber(connection);
    auto message = rawSetupMessage(false, lastAuthName, std::string(authData ? authData : "", dataLength));
    rawSendAll(fd, message.data(), message.size());
    RawSetupReply reply = rawReadSetupReply(fd, 10000);
    _X11TransClose(connection);
    for (char *p : {fullName, protocol, host, authName, authData}) free(p);
    return reply.status;
  }

  XvfbServer xvfb;
  std::string dir, serverFile, savedAuthority, lastAuthName;
};

TEST_F(ServerAuthTest, RawConnectionsOverUnixAndTcpAreNonBlockingAndCloseOnExec) {
  startXvfb({{"MIT-MAGIC-COOKIE-1", cookieA}}, true);
  std::string number = std::to_string(xvfb.displayNumber());
  for (const std::string &name : {":" + number, "127.0.0.1:" + number}) {
    int fd = -1, display = -1, family = -1;
    char *host = nullptr;
    XtransConnInfo connection = clientconnectionConnect(name.c_str(), &fd, &host, &display, &family);
    ASSERT_NE(connection, nullptr) << name;
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(display, xvfb.displayNumber());
    EXPECT_EQ(family, name[0] == ':' ? 256 : 65535);
    EXPECT_STREQ(host, name[0] == ':' ? hostName() : "127.0.0.1");
    free(host);
    _X11TransClose(connection);
  }
  // No server there: fails in bounded time.
  auto start = std::chrono::steady_clock::now();
  int fd, display, family;
  char *host = nullptr;
  EXPECT_EQ(clientconnectionConnect((":" + std::to_string(xvfbUnusedDisplayNumber())).c_str(), &fd, &host, &display,
                                    &family),
            nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

TEST_F(ServerAuthTest, XdmAuthorizationIsPreferredAndAcceptedRepeatedly) {
  startXvfb({{"MIT-MAGIC-COOKIE-1", cookieA}, {"XDM-AUTHORIZATION-1", xdmEntry}}, true);
  std::string number = std::to_string(xvfb.displayNumber());
  for (const std::string &name : {":" + number, ":" + number, "127.0.0.1:" + number, "127.0.0.1:" + number}) {
    EXPECT_EQ(setupStatus(name), 1) << name;
    EXPECT_EQ(lastAuthName, "XDM-AUTHORIZATION-1");
  }
  // An explicit authorization overrides the file; all zero restores it.
  std::string wrong = bytesOf(cookieB);
  conndisSetAuthorization(18, "MIT-MAGIC-COOKIE-1", 16, wrong.data());
  EXPECT_EQ(setupStatus(":" + number), 0);
  EXPECT_EQ(lastAuthName, "MIT-MAGIC-COOKIE-1");
  conndisSetAuthorization(0, nullptr, 0, nullptr);
  EXPECT_EQ(setupStatus(":" + number), 1);
  EXPECT_EQ(lastAuthName, "XDM-AUTHORIZATION-1");
}

// The authorization xproxyGetServerAuth gives, as "name:hex".
std::string serverAuth(const char *host, int display, int family) {
  char *name = nullptr, *data = nullptr;
  int nameLength = 0, dataLength = 0;
  if (!xproxyGetServerAuth(host, display, family, &name, &nameLength, &data, &dataLength)) return "none";
  std::string out(name, static_cast<size_t>(nameLength));
  out += ":";
  char hex[3];
  for (int i = 0; i < dataLength; i++) {
    snprintf(hex, sizeof hex, "%02x", static_cast<uint8_t>(data[i]));
    out += hex;
  }
  free(name);
  free(data);
  return out;
}

TEST_F(ServerAuthTest, ServerFileThenCacheThenClientFile) {
  std::string serverAuthFile = dir + "/hosts.auth", clientFile = dir + "/clients.auth";
  runXauth(serverAuthFile, {"add", "10.77.0.1:3", "MIT-MAGIC-COOKIE-1", cookieA});
  runXauth(serverAuthFile, {"add", "10.77.0.2:3", "MIT-MAGIC-COOKIE-1", cookieB});
  xproxySetServerAuthFile(serverAuthFile.c_str());
  EXPECT_EQ(serverAuth("10.77.0.1", 3, 65535), "MIT-MAGIC-COOKIE-1:" + cookieA);
  EXPECT_EQ(serverAuth("10.77.0.2", 3, 65535), "MIT-MAGIC-COOKIE-1:" + cookieB);
  EXPECT_EQ(serverAuth("10.77.0.3", 3, 65535), "none");
  EXPECT_EQ(serverAuth("10.77.0.1", 4, 65535), "none");

  // A directory is no file: the previous one stays.
  xproxySetServerAuthFile(dir.c_str());
  EXPECT_STREQ(xproxyServerAuthFile(), serverAuthFile.c_str());

  // The cache answers what the server file does not; the server file wins.
  std::string c = bytesOf(cookieB);
  ASSERT_EQ(serverAuthCacheAdd(65535, "10.77.0.1", 3, "MIT-MAGIC-COOKIE-1", 18, c.data(), 16, 0), nullptr);
  ASSERT_EQ(serverAuthCacheAdd(65535, "Far.Example", 9, "MIT-MAGIC-COOKIE-1", 18, c.data(), 16, 1), nullptr);
  ASSERT_EQ(serverAuthCacheAdd(65535, "near.example", 9, "MIT-MAGIC-COOKIE-1", 18, c.data(), 16, 0), nullptr);
  EXPECT_EQ(serverAuth("10.77.0.1", 3, 65535), "MIT-MAGIC-COOKIE-1:" + cookieA);
  EXPECT_EQ(serverAuth("far.example", 9, 65535), "MIT-MAGIC-COOKIE-1:" + cookieB);
  EXPECT_EQ(serverAuth("near.example", 9, 65535), "MIT-MAGIC-COOKIE-1:" + cookieB);

  // The client file for this host: the proxy's own display, then "localhost".
  runXauth(clientFile, {"add", "localhost/unix:0", "MIT-MAGIC-COOKIE-1", cookieB});
  xproxySetAuthorizationFile(clientFile.c_str());
  EXPECT_EQ(serverAuth(hostName(), 12, 256), "MIT-MAGIC-COOKIE-1:" + cookieB);
  runXauth(clientFile, {"add", std::string(hostName()) + "/unix:0", "MIT-MAGIC-COOKIE-1", cookieA});
  EXPECT_EQ(serverAuth(hostName(), 13, 256), "MIT-MAGIC-COOKIE-1:" + cookieA);
  EXPECT_EQ(serverAuth("10.77.0.9", 13, 65535), "none");  // not this host

  // A reset drops what files gave and keeps generated entries.
  xproxyResetServerAuth();
  EXPECT_EQ(serverAuth("near.example", 9, 65535), "none");
  EXPECT_EQ(serverAuth("far.example", 9, 65535), "MIT-MAGIC-COOKIE-1:" + cookieB);
}

TEST_F(ServerAuthTest, LocalDisplayOpensWithTheCookieOfTheProxysDisplay) {
  startXvfb({{"MIT-MAGIC-COOKIE-1", cookieA}});
  ordersInit();
  char hostsTemplate[4096];
  snprintf(hostsTemplate, sizeof hostsTemplate, "%s/X%%s.hosts", dir.c_str());
  accessSetHostFileTemplate(hostsTemplate);
  const char *failure = "";
  for (int attempt = 0; attempt < 10 && failure; attempt++)
    failure = xproxyListen((":" + std::to_string(xvfbUnusedDisplayNumber())).c_str(), 1);
  ASSERT_EQ(failure, nullptr);
  std::string clientFile = dir + "/clients.auth";
  runXauth(clientFile, {"add", ":" + std::to_string(xproxyDisplayNumber()), "MIT-MAGIC-COOKIE-1", cookieA});
  xproxySetAuthorizationFile(clientFile.c_str());
  unsetenv("XAUTHORITY");
  std::string auth = serverAuth(hostName(), xvfb.displayNumber(), 256);
  ASSERT_EQ(auth, "MIT-MAGIC-COOKIE-1:" + cookieA);
  std::string cookie = bytesOf(cookieA);
  conndisSetAuthorization(18, "MIT-MAGIC-COOKIE-1", 16, cookie.data());
  EXPECT_EQ(setupStatus(":" + std::to_string(xvfb.displayNumber())), 1);
  accessSetHostFileTemplate(nullptr);
}

}  // namespace
