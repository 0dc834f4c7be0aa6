// Child processes, signal handler stacks, shell pipes and process attributes.
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/logging.h"

namespace {

std::vector<std::string> warnings;  // what reached the warning channel
LogChannel testWarning;
void capture(LogChannel *channel, const char *, int, const char *message) {
  if (channel == &testWarning) warnings.emplace_back(message);
}

// Polls until the child ends; -1 (and the child killed) after five seconds.
int exitCode(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = -1;
  while (!processPoll(pid, &status)) {
    if (std::chrono::steady_clock::now() > deadline) return kill(pid, SIGKILL), -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

// Runs body in a forked child; its exit code, or -1.
template <typename F>
int inChild(F body) {
  pid_t pid = fork();
  if (pid == 0) alarm(10), _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> readLines(FILE *stream) {
  std::vector<std::string> lines;
  char line[256];
  while (fgets(line, sizeof line, stream)) lines.emplace_back(line);
  return lines;
}

TEST(Process, SpawnExitCodesAndExecFailure) {
  testWarning = LogChannel{};
  testWarning.activeTemplate = "%s";
  LogChannel *savedChannel = logChannelWarning;
  LogOutputHook savedHook = logOutputHook;
  logChannelWarning = &testWarning;
  logOutputHook = capture;
  struct Case {
    std::vector<const char *> argv;
    int code;
  } cases[] = {
      {{"/bin/true"}, 0}, {{"/bin/false"}, 1}, {{"sh", "-c", "exit 7"}, 7},
      {{"tarvo-no-such-program"}, 127}, {{"/nonexistent/program", "arg"}, 127},
  };
  for (const Case &t : cases) {
    warnings.clear();
    pid_t pid = processSpawn(static_cast<int>(t.argv.size()), t.argv.data());
    ASSERT_GT(pid, 0) << t.argv[0];
    EXPECT_EQ(exitCode(pid), t.code) << t.argv[0];
    // Exactly the failed starts are reported.
    ASSERT_EQ(warnings.size(), t.code == 127 ? 1u : 0u) << t.argv[0];
    if (t.code == 127) {
      EXPECT_EQ(warnings[0].rfind(std::string("Can't execute '") + t.argv[0] + "': ", 0), 0u);
    }
  }
  logChannelWarning = savedChannel;
  logOutputHook = savedHook;
}

TEST(Process, PollWaitAndTerminate) {
  const char *argv[] = {"sleep", "30"};
  pid_t pid = processSpawn(2, argv);
  ASSERT_GT(pid, 0);
  int status = -1;
  EXPECT_EQ(processPoll(pid, &status), 0);
  EXPECT_EQ(processTerminate(pid), nullptr);
  EXPECT_EQ(processPoll(pid, &status), 1);  // already collected: ended with status 1
  EXPECT_EQ(status, 1);
  EXPECT_EQ(processWait(pid), nullptr);  // no such process any more
  const char *error = processWait(1);    // not our child
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error).rfind("waitpid(1) failed: ", 0), 0u) << error;
}

volatile sig_atomic_t lastHandler;
template <int N>
void handler(int) {
  lastHandler = N;
}
int raiseAndSee(int signal) {
  lastHandler = 0;
  raise(signal);
  return lastHandler;
}

TEST(ProcessSignals, StackPushAndPop) {
  const int s = SIGUSR1;
  signal(s, handler<100>);
  processPushSignal(handler<1>, s);
  processPushSignal(handler<2>, s);
  processPopSignal(handler<1>, s);  // from the middle: the installed one stays
  EXPECT_EQ(raiseAndSee(s), 2);
  processPopSignal(handler<2>, s);
  EXPECT_EQ(raiseAndSee(s), 100);
  processPopSignal(handler<2>, s);  // empty stack: nothing happens
  EXPECT_EQ(raiseAndSee(s), 100);

  ProcessSignalHandler h[] = {handler<1>, handler<2>, handler<3>, handler<4>,  handler<5>, handler<6>,
                              handler<7>, handler<8>, handler<9>, handler<10>, handler<11>};
  for (ProcessSignalHandler one : h) processPushSignal(one, s);
  EXPECT_EQ(raiseAndSee(s), 11);
  processPopSignal(h[10], s);  // the eleventh was never recorded
  EXPECT_EQ(raiseAndSee(s), 11);
  for (int i = 9; i >= 0; i--) {
    processPopSignal(h[i], s);  // from the top: the one below is reinstalled
    EXPECT_EQ(raiseAndSee(s), i > 0 ? i : 100);
  }
}

TEST(ProcessSignals, AwaitSignal) {
  const int s = SIGUSR2;
  signal(s, handler<100>);
  alarm(20);  // a hang ends the run instead of blocking it
  processSignalArm(s);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) usleep(50 * 1000), kill(parent, s), _exit(0);
  processSignalAwait(s);
  waitpid(pid, nullptr, 0);
  processSignalArm(s);
  raise(s);  // arrives before the wait starts
  processSignalAwait(s);
  processSignalAndAwait(s, getpid());
  alarm(0);
  EXPECT_EQ(raiseAndSee(s), 100);  // the waiting handler is gone
}

TEST(Process, PopenAndExitText) {
  FILE *stream = processPopen("echo hi; exit 127", "r", nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_STREQ(processExitText("echo hi", 127, stream),
               "echo hi exited with code 127: hi - make sure the external program is installed");
  EXPECT_EQ(processPclose(stream), 1);

  struct Case {
    int code;
    std::string output;
    const char *expected;
  } cases[] = {
      {126, "x", "c exited with code 126: x - command invoked is not executable"},
      {130, "one\ntwo\n", "c exited with code 130: one two - terminated by Control-C"},
      {2, "oops\n", "c exited with code 2: oops"},
  };
  for (Case &t : cases) {
    FILE *memory = fmemopen(t.output.data(), t.output.size(), "r");
    EXPECT_STREQ(processExitText("c", t.code, memory), t.expected);
    fclose(memory);
  }
  // Long output is cut to 1024 bytes and the hint still ends the text.
  stream = processPopen("yes abcdefghij | head -n 2000", "r", nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  std::string text = processExitText("y", 127, stream);
  processPclose(stream);
  std::string hint = " - make sure the external program is installed";
  EXPECT_EQ(text.size(), strlen("y exited with code 127: ") + 1024 + hint.size());
  EXPECT_EQ(text.substr(text.size() - hint.size()), hint);
}

TEST(Process, PopenDescriptorsModesAndKill) {
  // Unused standard descriptors of the child point at /dev/null.
  FILE *stream = processPopen("readlink /proc/self/fd/0 /proc/self/fd/2", "r", nullptr, nullptr);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(readLines(stream), (std::vector<std::string>{"/dev/null\n", "/dev/null\n"}));
  EXPECT_EQ(processPclose(stream), 1);

  static int value = 42;
  auto setup = [](void *a) { setenv("TARVO_SETUP", std::to_string(*static_cast<int *>(a)).c_str(), 1); };
  FILE *sleeper = processPopen("sleep 30", "r", nullptr, nullptr);
  char dir[] = "/tmp/processXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string out = std::string(dir) + "/out";
  std::string command = "sed \"s/$/ $TARVO_SETUP/\" > " + out;
  FILE *writer = processPopen(command.c_str(), "w", setup, &value);
  ASSERT_NE(sleeper, nullptr);
  ASSERT_NE(writer, nullptr);
  fputs("text\n", writer);
  EXPECT_EQ(processPclose(writer), 1);  // waits, so the file is complete
  FILE *written = fopen(out.c_str(), "r");
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(readLines(written), (std::vector<std::string>{"text 42\n"}));
  fclose(written);
  unlink(out.c_str());
  rmdir(dir);
  EXPECT_EQ(processPopenKill(sleeper), 1);
  EXPECT_EQ(processPclose(sleeper), 1);  // returns at once after the kill
  EXPECT_EQ(processPclose(sleeper), -1);
  EXPECT_EQ(processPopen("true", "x", nullptr, nullptr), nullptr);
}

TEST(Process, RaiseLimitsInChild) {
  EXPECT_EQ(inChild([] {
              struct rlimit limit;
              if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < 64) return 2;
              limit.rlim_cur = 32;
              if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
              processRaiseLimits();
              getrlimit(RLIMIT_NOFILE, &limit);
              return limit.rlim_cur == limit.rlim_max ? 0 : 4;
            }),
            0);
}

TEST(Process, SetUser) {
  EXPECT_STREQ(processSetUser("tarvo-no-such-user"), "Unknown user 'tarvo-no-such-user'");
  std::string account = std::string(getpwuid(getuid())->pw_name) + ":tarvo-no-such-group";
  EXPECT_STREQ(processSetUser(account.c_str()), "Unknown group 'tarvo-no-such-group'");
  if (getuid() != 0) {
    // Switching to root is refused with a text instead of going on as before.
    EXPECT_EQ(inChild([] { return processSetUser("0") != nullptr ? 0 : 1; }), 0);
    return;
  }
  struct passwd *nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  EXPECT_EQ(inChild([&] {
              if (processSetUser("nobody") != nullptr) return 2;
              gid_t groups[8];
              if (getuid() != uid || getgid() != gid || getgroups(8, groups) != 1 || groups[0] != gid) return 3;
              return setuid(0) == 0 ? 4 : 0;  // root is gone for good
            }),
            0);
}

TEST(Process, EnvPath) {
  struct Case {
    const char *value;  // NULL: unset
    const char *suffix;
    const char *expected;
  } cases[] = {{"/a/", "/b", "/a/b"}, {"/a", "/b", "/a/b"}, {nullptr, "/b", "$TARVO_TEST_DIR/b"}};
  for (const Case &t : cases) {
    t.value ? setenv("TARVO_TEST_DIR", t.value, 1) : unsetenv("TARVO_TEST_DIR");
    EXPECT_STREQ(envPath("TARVO_TEST_DIR", t.suffix), t.expected);
  }
}

}  // namespace
