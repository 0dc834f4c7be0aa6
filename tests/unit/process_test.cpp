// Child processes, signal handler stacks, shell pipes and process attributes.
#include "support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/logging.h"

namespace {

std::vector<std::string> warnings;  // what reached the warning channel
LogChannel testWarning;
void capture(LogChannel *channel, const char *, int, const char *message) {
  if (channel == &testWarning) warnings.emplace_back(message);
}

// Polls until the child ends (five seconds at most); its exit code, or -1.
int exitCode(pid_t pid) {
  int status = -1;
  for (int i = 0; i < 1000 && !processPoll(pid, &status); i++) usleep(5000);
  return status;
}

// Runs body in a forked child (ended by an alarm when it hangs); its exit code, or -1.
template <typename F>
int inChild(F body) {
  pid_t pid = fork();
  if (pid == 0) alarm(10), _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readAll(FILE *stream) {
  std::string text;
  for (int c; (c = fgetc(stream)) != EOF;) text += static_cast<char>(c);
  return text;
}

// Exit codes reach the parent; a failed start ends with 127 and one warning, never with 0.
TEST(Process, SpawnPollWaitAndTerminate) {
  testWarning = LogChannel{};
  testWarning.activeTemplate = "%s";
  LogChannel *savedChannel = logChannelWarning;
  logChannelWarning = &testWarning;
  LogOutputHook savedHook = logOutputHook;
  logOutputHook = capture;
  std::vector<std::vector<const char *>> commands = {
      {"/bin/true"}, {"/bin/false"}, {"tarvo-no-such-program"}, {"/nonexistent/program", "arg"}};
  int codes[] = {0, 1, 127, 127};
  for (size_t i = 0; i < commands.size(); i++) {
    warnings.clear();
    pid_t pid = processSpawn(static_cast<int>(commands[i].size()), commands[i].data());
    EXPECT_EQ(exitCode(pid), codes[i]) << commands[i][0];
    ASSERT_EQ(warnings.size(), codes[i] == 127 ? 1u : 0u) << commands[i][0];
    if (codes[i] == 127) {
      EXPECT_EQ(warnings[0].rfind(std::string("Can't execute '") + commands[i][0] + "': ", 0), 0u) << warnings[0];
    }
  }
  logChannelWarning = savedChannel;
  logOutputHook = savedHook;

  // A running child polls as running; once collected it counts as ended with status 1.
  const char *argv[] = {"sleep", "30"};
  pid_t pid = processSpawn(2, argv);
  int status = -1;
  EXPECT_EQ(processPoll(pid, &status), 0);
  EXPECT_EQ(processTerminate(pid), nullptr);
  EXPECT_TRUE(processPoll(pid, &status) == 1 && status == 1);
  EXPECT_EQ(processWait(pid), nullptr);   // no such process any more
  EXPECT_STRNE(processWait(1), nullptr);  // not our child
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

// Pop from the middle keeps the installed handler; the last pop restores the original; an
// eleventh push is installed but not recorded.
TEST(ProcessSignals, StackPushAndPop) {
  const int s = SIGUSR1;
  signal(s, handler<100>);
  processPushSignal(handler<1>, s);
  processPushSignal(handler<2>, s);
  processPopSignal(handler<1>, s);
  EXPECT_EQ(raiseAndSee(s), 2);
  processPopSignal(handler<2>, s);
  EXPECT_EQ(raiseAndSee(s), 100);

  ProcessSignalHandler h[] = {handler<1>, handler<2>, handler<3>, handler<4>,  handler<5>, handler<6>,
                              handler<7>, handler<8>, handler<9>, handler<10>, handler<11>};
  for (ProcessSignalHandler one : h) processPushSignal(one, s);
  processPopSignal(h[10], s);
  EXPECT_EQ(raiseAndSee(s), 11);
  for (int i = 9; i >= 0; i--) {
    processPopSignal(h[i], s);  // from the top: the one below is reinstalled
    EXPECT_EQ(raiseAndSee(s), i > 0 ? i : 100);
  }
}

// A signal from elsewhere, one that arrives before the wait starts, and one sent to ourselves
// all end the wait; the waiting handler is removed afterwards.
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
  raise(s);
  processSignalAwait(s);
  processSignalAndAwait(s, getpid());
  alarm(0);
  EXPECT_EQ(raiseAndSee(s), 100);
}

// A command list runs whole: its failure code comes back from the close, and output and
// hint make the text. Long output is cut to 1024 bytes and the hint still ends the text.
TEST(Process, PopenExitCodeAndExitText) {
  FILE *stream = processPopen("echo hi; exit 127", "r", nullptr, nullptr);
  std::string output = readAll(stream);
  int code = -1;
  EXPECT_EQ(processPclose(stream, &code), 1);
  std::string longOutput(3000, 'y');
  std::pair<int, std::string> cases[] = {{code, output}, {126, "x"}, {130, "one\ntwo\n"}, {2, "oops\n"}, {127, longOutput}};
  std::string expected[] = {"c exited with code 127: hi - make sure the external program is installed",
                            "c exited with code 126: x - command invoked is not executable",
                            "c exited with code 130: one two - terminated by Control-C", "c exited with code 2: oops",
                            "c exited with code 127: " + longOutput.substr(0, 1024) + " - make sure the external program is installed"};
  for (size_t i = 0; i < std::size(cases); i++) {
    FILE *memory = fmemopen(cases[i].second.data(), cases[i].second.size(), "r");
    EXPECT_EQ(processExitText("c", cases[i].first, memory), expected[i]);
    fclose(memory);
  }
}

// Unused standard descriptors are /dev/null; a single command replaces the shell (its parent
// is this process); "w" feeds a command list, which also sees what the set-up function did;
// a killed command reports the signal in its code.
TEST(Process, PopenDescriptorsModesAndKill) {
  FILE *stream = processPopen("readlink /proc/self/fd/0 /proc/self/fd/2", "r", nullptr, nullptr);
  EXPECT_EQ(readAll(stream), "/dev/null\n/dev/null\n");
  EXPECT_EQ(processPclose(stream), 1);
  stream = processPopen("sh -c 'echo $PPID'", "r", nullptr, nullptr);
  EXPECT_EQ(readAll(stream), std::to_string(getpid()) + "\n");
  processPclose(stream);

  static int value = 42;
  auto setup = [](void *a) { setenv("TARVO_SETUP", std::to_string(*static_cast<int *>(a)).c_str(), 1); };
  FILE *sleeper = processPopen("sleep 30", "r", nullptr, nullptr);
  FILE *writer = processPopen("read line && test \"$line $TARVO_SETUP\" = 'text 42'", "w", setup, &value);
  ASSERT_TRUE(sleeper && writer);
  fputs("text\n", writer);
  int code = -1;
  EXPECT_EQ(processPclose(writer, &code), 1);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(processPopenKill(sleeper), 1);
  EXPECT_EQ(processPclose(sleeper, &code), 1);
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(processPclose(sleeper), -1);
  EXPECT_EQ(processPopen("true", "x", nullptr, nullptr), nullptr);
}

// Soft limits below the hard ones are raised (in a child, so this process keeps its own).
TEST(Process, RaiseLimitsInChild) {
  EXPECT_EQ(inChild([] {
              struct rlimit limit;
              getrlimit(RLIMIT_NOFILE, &limit);
              limit.rlim_cur = 32;
              if (limit.rlim_max < 64 || setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
              processRaiseLimits();
              getrlimit(RLIMIT_NOFILE, &limit);
              return limit.rlim_cur == limit.rlim_max ? 0 : 3;
            }),
            0);
}

// Unknown names and refused changes give a text. Root refuses a user without a group (it
// would keep group root), drops its groups and cannot come back.
TEST(Process, SetUser) {
  EXPECT_STREQ(processSetUser("tarvo-no-such-user"), "Unknown user 'tarvo-no-such-user'");
  EXPECT_STREQ(processSetUser("root:tarvo-no-such-group"), "Unknown group 'tarvo-no-such-group'");
  if (geteuid() != 0) {
    EXPECT_EQ(inChild([] { return processSetUser("0") != nullptr ? 0 : 1; }), 0);
    GTEST_SKIP() << "changing the user needs root";
  }
  uid_t unknown = 54321;
  while (getpwuid(unknown)) unknown++;
  std::string bare = std::to_string(unknown);
  EXPECT_EQ(inChild([&] { return processSetUser(bare.c_str()) != nullptr && getuid() == 0 ? 0 : 1; }), 0);
  struct passwd *nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  EXPECT_EQ(inChild([&] {
              gid_t groups[8];
              bool changed = processSetUser("nobody") == nullptr && getuid() == uid && getgid() == gid;
              return changed && getgroups(8, groups) == 1 && groups[0] == gid && setuid(0) != 0 ? 0 : 1;
            }),
            0);
}

// A trailing '/' of the value is not doubled; an unset variable stays visible as "$NAME".
TEST(Process, EnvPath) {
  setenv("TARVO_TEST_DIR", "/a/", 1);
  EXPECT_STREQ(envPath("TARVO_TEST_DIR", "/b"), "/a/b");
  unsetenv("TARVO_TEST_DIR");
  EXPECT_STREQ(envPath("TARVO_TEST_DIR", "/b"), "$TARVO_TEST_DIR/b");
}

}  // namespace
