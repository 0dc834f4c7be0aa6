// Child processes, signal handler stacks, shell pipes and process attributes.
#include "support/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/logging.h"

namespace {

std::vector<std::string> warnings;  // what reached the warning channel
LogChannel testWarning;             // zero-initialized; switched on by the test using it
void capture(LogChannel *channel, const char *, int, const char *message) {
  if (channel == &testWarning) warnings.emplace_back(message);
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
  testWarning.activeTemplate = "%s";
  LogChannel *savedChannel = std::exchange(logChannelWarning, &testWarning);
  LogOutputHook savedHook = std::exchange(logOutputHook, capture);
  std::pair<const char *, int> cases[] = {{"/bin/true", 0}, {"/bin/false", 1}, {"tarvo-no-such-program", 127}};
  int status = -1;
  for (auto [program, code] : cases) {
    warnings.clear();
    pid_t pid = processSpawn(1, &program);
    status = -1;  // polled for five seconds at most
    for (int i = 0; i < 1000 && !processPoll(pid, &status); i++) usleep(5000);
    EXPECT_EQ(status, code) << program;
    ASSERT_EQ(warnings.size(), code == 127 ? 1u : 0u) << program;
  }
  EXPECT_TRUE(warnings[0].starts_with("Can't execute 'tarvo-no-such-program': ")) << warnings[0];
  logChannelWarning = savedChannel;
  logOutputHook = savedHook;

  // A running child polls as running; once collected it counts as ended with status 1.
  const char *argv[] = {"sleep", "30"};
  pid_t pid = processSpawn(2, argv);
  EXPECT_EQ(processPoll(pid, &status), 0);
  EXPECT_EQ(processTerminate(pid), nullptr);
  EXPECT_TRUE(processPoll(pid, &status) == 1 && status == 1);
  EXPECT_EQ(processWait(pid), nullptr);   // no such process any more
  EXPECT_STRNE(processWait(1), nullptr);  // not our child

  // A child that ignores SIGTERM is killed once the grace has passed, and collected.
  const char *stubborn[] = {"sh", "-c", "trap '' TERM; exec sleep 30"};  // sleep inherits the ignored TERM
  pid = processSpawn(3, stubborn);
  usleep(200000);  // the trap is set
  EXPECT_EQ(processTerminate(pid, 100), nullptr);
  EXPECT_TRUE(processPoll(pid, &status) == 1 && status == 1);  // collected already

  // A child killed by a signal has ended, with 128 + the signal as its code.
  pid = processSpawn(2, argv);
  kill(pid, SIGKILL);
  status = -1;
  for (int i = 0; i < 1000 && !processPoll(pid, &status); i++) usleep(5000);
  EXPECT_EQ(status, 128 + SIGKILL);
}

volatile sig_atomic_t lastHandler;
template <int N>
void handler(int) { lastHandler = N; }
int raiseAndSee(int signal) {
  lastHandler = 0;
  raise(signal);
  return lastHandler;
}

// Pop from the middle keeps the installed handler; the last pop restores the original; an
// eleventh push is installed but not recorded; a pop from the top reinstalls the one below.
TEST(ProcessSignals, StacksAndWaits) {
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
  for (int i = 10; i >= 0; i--) {
    processPopSignal(h[i], s);
    EXPECT_EQ(raiseAndSee(s), i == 10 ? 11 : i > 0 ? i : 100) << i;
  }

  // A signal from another process and one sent to ourselves before the wait starts both end
  // the wait; the waiting handler is removed afterwards.
  alarm(20);  // a hang ends the run instead of blocking it
  processSignalArm(s);
  const char *sender[] = {"sh", "-c", "sleep 0.05; kill -USR1 $PPID"};
  pid_t pid = processSpawn(3, sender);
  processSignalAwait(s);
  processWait(pid);
  processSignalAndAwait(s, getpid());
  alarm(0);
  EXPECT_EQ(raiseAndSee(s), 100);
}

// A command list runs whole and its failure code comes back from the close; output (cut to
// 1024 bytes, joined into one line) and the hint of the code make the exit text.
// Unused standard descriptors are /dev/null; a single command replaces the shell (its parent
// is this process); "w" feeds a command list, which also sees what the set-up function did;
// a killed command reports the signal in its code; a closed stream is unknown.
TEST(Process, Popen) {
  FILE *stream = processPopen("echo hi; exit 127", "r", nullptr, nullptr);
  std::string popenOutput = readAll(stream);
  int popenCode = -1;
  EXPECT_EQ(processPclose(stream, &popenCode), 1);
  std::string y(3000, 'y'), hint = " - make sure the external program is installed";
  std::tuple<int, std::string, std::string> cases[] = {  // code, output, text after the code
      {popenCode, popenOutput, "hi" + hint},     {126, "x", "x - command invoked is not executable"},
      {2, "oops\n", "oops"},                      {130, "one\ntwo\n", "one two - terminated by Control-C"},
      {127, y, y.substr(0, 1024) + hint}};
  for (auto &[code, output, tail] : cases) {
    FILE *memory = fmemopen(output.data(), output.size(), "r");
    EXPECT_EQ(processExitText("c", code, memory), "c exited with code " + std::to_string(code) + ": " + tail);
    fclose(memory);
  }

  stream = processPopen("sh -c 'echo $PPID $(readlink /proc/self/fd/0 /proc/self/fd/2)'", "r", nullptr, nullptr);
  EXPECT_EQ(readAll(stream), std::to_string(getpid()) + " /dev/null /dev/null\n");
  processPclose(stream);
  auto setup = [](void *directory) { chdir(static_cast<const char *>(directory)); };  // async-signal-safe
  FILE *sleeper = processPopen("sleep 30", "r", nullptr, nullptr);
  FILE *writer = processPopen("read line && test \"$line $(pwd -P)\" = 'text /'", "w", setup, const_cast<char *>("/"));
  ASSERT_TRUE(sleeper && writer);
  fputs("text\n", writer);
  int code = -1;
  EXPECT_TRUE(processPclose(writer, &code) == 1 && code == 0) << code;
  EXPECT_EQ(processPopenKill(sleeper), 1);
  EXPECT_TRUE(processPclose(sleeper, &code) == 1 && code == 128 + SIGKILL) << code;
  EXPECT_EQ(processPclose(sleeper), -1);
  EXPECT_EQ(processPopen("true", "x", nullptr, nullptr), nullptr);
}

// A trailing '/' of an environment path is not doubled; an unset variable stays visible as
// "$NAME". Soft limits are raised to the hard ones (in a child, so this process keeps its own).
// Unknown names and refused changes give a text; root refuses a user without a group (it
// would keep group root), drops its groups and cannot come back.
// Commands run through the shell keep their exit status, also when they begin with a variable
// assignment (which "exec" in front would take for a program name).
TEST(Process, ShellCommandsWithAssignments) {
  const std::pair<const char *, std::string> cases[] = {
      {"TARVO_T=bar printenv TARVO_T", "bar\n"},
      {"  TARVO_T=a _U=b printenv _U", "b\n"},
      {"TARVO_T=x sh -c 'exit 3'", ""},
      {"env TARVO_T=bar printenv TARVO_T", "bar\n"},
      {"printenv TARVO_NOT_SET_ANYWHERE", ""},
      {"1X=y true", ""},  // no assignment: a program named "1X=y", which does not exist
  };
  const int codes[] = {0, 0, 3, 0, 1, 127};
  for (size_t i = 0; i < std::size(cases); i++) {
    FILE *stream = processPopen(cases[i].first, "r", nullptr, nullptr);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(readAll(stream), cases[i].second) << cases[i].first;
    int code = -1;
    EXPECT_EQ(processPclose(stream, &code), 1);
    EXPECT_EQ(code, codes[i]) << cases[i].first;
  }
  // Exec through the shell in a child: the assignment reaches the program.
  EXPECT_EQ(inChild([] {
              processExecShell("TARVO_T=7 sh -c 'exit $TARVO_T'");
              return 99;
            }),
            7);
}

TEST(Process, EnvPathLimitsAndUser) {
  setenv("TARVO_TEST_DIR", "/a/", 1);
  EXPECT_STREQ(envPath("TARVO_TEST_DIR", "/b"), "/a/b");
  unsetenv("TARVO_TEST_DIR");
  EXPECT_STREQ(envPath("TARVO_TEST_DIR", "/b"), "$TARVO_TEST_DIR/b");
  struct rlimit hard;
  getrlimit(RLIMIT_NOFILE, &hard);
  EXPECT_EQ(0, inChild([&] {
    struct rlimit low = {32, hard.rlim_max}, raised;
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return 2;
    processRaiseLimits();
    return getrlimit(RLIMIT_NOFILE, &raised) == 0 && raised.rlim_cur == hard.rlim_max ? 0 : 3;
  }));

  EXPECT_STREQ(processSetUser("tarvo-no-such-user"), "Unknown user 'tarvo-no-such-user'");
  EXPECT_STREQ(processSetUser("root:tarvo-no-such-group"), "Unknown group 'tarvo-no-such-group'");
  if (geteuid() != 0) {
    EXPECT_EQ(inChild([] { return processSetUser("0") != nullptr ? 0 : 1; }), 0);
    GTEST_SKIP() << "changing the user needs root";
  }
  if (getpwuid(54321) || !getpwnam("nobody")) GTEST_SKIP() << "user id 54321 is taken or there is no user nobody";
  passwd nobody = *getpwnam("nobody");
  EXPECT_EQ(0, inChild([&] {
    if (processSetUser("54321") == nullptr || getuid() != 0) return 1;  // refused (no group), still root
    gid_t groups[8];
    bool changed = processSetUser("nobody") == nullptr && getuid() == nobody.pw_uid && getgid() == nobody.pw_gid;
    return changed && getgroups(8, groups) == 1 && groups[0] == nobody.pw_gid && setuid(0) != 0 ? 0 : 2;
  }));
}

}  // namespace
