// The local X server started from the server command: its arguments, the generated cookie file
// and the stop at the exit, with a real Xvfb.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "proxy/access.h"
#include "proxy/korvanparser.h"
#include "proxy/xproxy.h"
#include "support/host.h"
#include "support/logging.h"
#include "xvfb_fixture.h"

namespace {

std::vector<std::string> stepLines;

// Runs a program with XAUTHORITY set; its standard output, and the exit status in status.
std::string runWithAuthority(const std::vector<std::string> &words, const std::string &authority, int *status) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char *> argv;
    for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    setenv("XAUTHORITY", authority.c_str(), 1);
    dup2(pipeFds[1], 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(pipeFds[0]);
    alarm(20);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  waitpid(pid, status, 0);
  return out;
}

std::vector<std::string> cmdline(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); i++) {
    if (all[i] == 0) {
      words.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  return words;
}

class LocalServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templateText[] = "/tmp/tarvo-localserver-XXXXXX";
    ASSERT_NE(mkdtemp(templateText), nullptr);
    dir = templateText;
    setenv("TARVO_VAR", dir.c_str(), 1);
    korvanInitDefaults(&configRecord);
    stepLines.clear();
    static char programName[] = "localserver_test";
    static char *argv[] = {programName, nullptr};
    logInit(1, argv, "test", "test");
    logEnableChannel(logChannelStep);
    logOutputHook = [](LogChannel *channel, const char *, int, const char *message) {
      if (channel == logChannelStep) stepLines.emplace_back(message);
    };
  }
  void TearDown() override {
    xproxyStopLocalServer(0);
    xproxyRemoveGeneratedAuthFile();
    xproxyFreeServerAuth();
    accessFreeAll();
    logOutputHook = logEmit;
    unsetenv("TARVO_VAR");
    std::filesystem::remove_all(dir);
  }
  // Waits until a client with the authority file gets through (Xvfb listens a little later).
  bool waitServed(int number, const std::string &authority) {
    for (int i = 0; i < 100; i++) {
      int status = 0;
      runWithAuthority({"xdpyinfo", "-display", ":" + std::to_string(number)}, authority, &status);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
      usleep(100000);
    }
    return false;
  }
  std::string start(const std::vector<std::string> &words) {
    std::vector<const char *> argv;
    for (const std::string &w : words) argv.push_back(w.c_str());
    const char *failure = xproxyStartLocalServer(static_cast<int>(argv.size()), argv.data(), 0);
    return failure ? failure : "";
  }
  std::string dir;
};

TEST_F(LocalServerTest, XdmcpOptionsComeOffTheCommandAndAuthNamesTheClientFile) {
  int number = xvfbUnusedDisplayNumber();
  std::string display = ":" + std::to_string(number), clientFile = dir + "/clients.auth";
  std::ofstream(clientFile).close();
  ASSERT_EQ(start({"Xvfb", display, "-nolisten", "tcp", "-query", "127.0.0.1", "-port", "4177", "-once", "-auth",
                   clientFile, ":99", "-class", "K", "-displayID", "D", "-cookie", "0x01"}),
            "");
  ASSERT_GT(xproxyLocalServerPid(), 0);
  EXPECT_EQ(cmdline(xproxyLocalServerPid()),
            (std::vector<std::string>{"Xvfb", display, "-nolisten", "tcp", "-auth", clientFile}));
  EXPECT_EQ(configRecord.xdmcpMode, 3u);
  EXPECT_STREQ(configRecord.xdmcpHost, "127.0.0.1");
  EXPECT_EQ(configRecord.xdmcpPort, 4177u);
  EXPECT_EQ(configRecord.xdmcpOnce, 1u);
  EXPECT_STREQ(configRecord.xdmcpDisplayClass, "K");
  EXPECT_STREQ(configRecord.xdmcpDisplayID, "D");
  EXPECT_STREQ(configRecord.xdmcpAuthorizationCookie, "0x01");
  EXPECT_STREQ(xproxyAuthorizationFile(), clientFile.c_str());
  EXPECT_TRUE(xproxyHasExitHook(xproxyStopLocalServer));
  EXPECT_STREQ(xproxyGeneratedAuthFile(), "");  // serverAuthorization is not "own"
}

TEST_F(LocalServerTest, OptionWithoutValueAtTheEndIsPassedOnAndSetsNothing) {
  int number = xvfbUnusedDisplayNumber();
  std::string display = ":" + std::to_string(number);
  uint32_t port = configRecord.xdmcpPort;
  // "-port" without a number is handed to Xvfb, which then refuses its command line: that is
  // only logged, and the setting stays.
  ASSERT_EQ(start({"Xvfb", display, "-nolisten", "tcp", "-port"}), "");
  int count = 0;
  const char *const *words = xproxyLocalServerArguments(&count);
  ASSERT_EQ(count, 5);
  EXPECT_STREQ(words[4], "-port");
  EXPECT_EQ(configRecord.xdmcpPort, port);
  EXPECT_EQ(configRecord.xdmcpMode, 0u);
}

TEST_F(LocalServerTest, OwnCookieGuardsTheServerAndIsGoneAfterTheStop) {
  free(configRecord.serverAuthorization);
  configRecord.serverAuthorization = strdup("Own");
  std::string previousCookie;
  for (int run = 0; run < 2; run++) {
    SCOPED_TRACE(run);
    int number = xvfbUnusedDisplayNumber();
    std::string display = ":" + std::to_string(number);
    ASSERT_EQ(start({"Xvfb", display, "-nolisten", "tcp"}), "");
    pid_t pid = xproxyLocalServerPid();
    ASSERT_GT(pid, 0);
    std::string file = xproxyGeneratedAuthFile();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.rfind(dir + "/korva", 0), 0u);
    EXPECT_STREQ(getenv("XAUTHORITY"), file.c_str());
    EXPECT_EQ(cmdline(pid), (std::vector<std::string>{"Xvfb", display, "-nolisten", "tcp", "-auth", file}));
    struct stat info;
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(S_ISREG(info.st_mode));

    int status = 0;
    std::string list = runWithAuthority({"xauth", "list"}, file, &status);
    std::string prefix = std::string(hostName()) + "/unix" + display + "  MIT-MAGIC-COOKIE-1  ";
    ASSERT_EQ(list.rfind(prefix, 0), 0u) << list;
    std::string cookie = list.substr(prefix.size());
    ASSERT_EQ(cookie.size(), 33u) << list;  // 32 hex digits and the newline: one entry only
    EXPECT_EQ(cookie.find_first_not_of("0123456789abcdef"), 32u);
    EXPECT_NE(cookie, previousCookie);
    previousCookie = cookie;

    // The cache holds the generated entry for this host and display; a reset keeps it.
    xproxyResetServerAuth();
    char *name = nullptr, *data = nullptr;
    int nameLength = 0, dataLength = 0;
    ASSERT_EQ(xproxyGetServerAuth(hostName(), number, 256, &name, &nameLength, &data, &dataLength), 1);
    EXPECT_EQ(std::string(name, nameLength), "MIT-MAGIC-COOKIE-1");
    EXPECT_EQ(dataLength, 16);
    free(name);
    free(data);

    // The server serves the cookie's holders only.
    EXPECT_TRUE(waitServed(number, file));
    std::string empty = dir + "/empty.auth";
    std::ofstream(empty).close();
    runWithAuthority({"xdpyinfo", "-display", display}, empty, &status);
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    stepLines.clear();
    xproxyRunExitHooks();
    EXPECT_EQ(stepLines, std::vector<std::string>{"Stopping X server process " + std::to_string(pid) + "..."});
    EXPECT_EQ(xproxyLocalServerPid(), 0);
    EXPECT_FALSE(xproxyHasExitHook(xproxyStopLocalServer));
    EXPECT_NE(kill(pid, 0), 0);  // reaped: no such process
    xproxyRemoveGeneratedAuthFile();
    EXPECT_NE(access(file.c_str(), F_OK), 0);
  }
}

TEST_F(LocalServerTest, UncreatableCookieFileFailsTheStart) {
  std::string locked = dir + "/locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
  setenv("TARVO_VAR", locked.c_str(), 1);
  free(configRecord.serverAuthorization);
  configRecord.serverAuthorization = strdup("own");
  if (geteuid() != 0) {
    std::string failure = start({"Xvfb", ":" + std::to_string(xvfbUnusedDisplayNumber()), "-nolisten", "tcp"});
    EXPECT_EQ(failure.rfind("Can't create file '" + locked + "/korva", 0), 0u) << failure;
    EXPECT_EQ(xproxyLocalServerPid(), 0);  // start-up fails before the server is started
    EXPECT_STREQ(xproxyGeneratedAuthFile(), "");
  }
  chmod(locked.c_str(), 0700);
}

TEST(ExitHooks, FillFromTheLastSlotAndRunLastToFirst) {
  static std::string trace;
  trace.clear();
  XproxyExitHook hooks[] = {[](int) { trace += "a"; }, [](int) { trace += "b"; }, [](int) { trace += "c"; }};
  for (XproxyExitHook h : hooks) EXPECT_EQ(xproxyAddExitHook(h), 1);
  EXPECT_EQ(xproxyAddExitHook(hooks[0]), 1);  // once only
  xproxyRunExitHooks();
  EXPECT_EQ(trace, "abc");
  xproxyRemoveExitHook(hooks[1]);
  trace.clear();
  xproxyRunExitHooks();
  EXPECT_EQ(trace, "ac");
  for (XproxyExitHook h : hooks) xproxyRemoveExitHook(h);
}

}  // namespace
