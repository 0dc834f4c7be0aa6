#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/datapack.h"
#include "support/logging.h"
#include "support/strings.h"

extern char **environ;

namespace {

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::stringstream s(text);
  std::string line;
  while (std::getline(s, line)) out.push_back(line);
  return out;
}

size_t countOf(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}
// Waits for a child for at most the given seconds; kills it when it takes longer.
int waitChild(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 100; i++) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -2;
}

// Runs xmllint on a file; returns its exit status, and what it printed in *messages.
int xmllint(const std::string &path, std::string *messages) {
  std::string report = path + ".xmllint";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const char *argv[] = {"xmllint", "--noout", "--nonet", path.c_str(), nullptr};
  pid_t pid;
  int rc = posix_spawnp(&pid, "xmllint", &actions, nullptr, const_cast<char **>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -3;
  int status = waitChild(pid, 30);
  *messages = readFile(report);
  return status;
}

// Waits until the wall clock is early in a second, so that two lines fall in the same one.
void waitForFreshSecond() {
  struct timeval now;
  do {
    usleep(1000);
    gettimeofday(&now, nullptr);
  } while (now.tv_usec > 100000);
}

struct Captured {
  std::string channel, source, message;
  int line;
};
std::vector<Captured> captured;
void captureHook(LogChannel *channel, const char *source, int line, const char *message) {
  captured.push_back({channel->name, source, message, line});
}

std::vector<std::pair<int, std::string>> syslogged;
void captureSyslog(int priority, const char *line) { syslogged.emplace_back(priority, line); }

class LogTest : public ::testing::Test {
 protected:
  std::string dir;
  char arg0[32] = "/opt/bin/tarvo";
  LogSyslogSend originalSyslog = logSyslogSend;

  void SetUp() override {
    char pattern[] = "/tmp/logtestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    char *argv[] = {arg0, nullptr};
    EXPECT_EQ(logInit(1, argv, "8.1", "0123456789abcdef0123456789abcdef01234567"), 0);
    captured.clear();
    syslogged.clear();
  }
  void TearDown() override {
    logOutputHook = logEmit;
    logSyslogSend = originalSyslog;
    logSetTarget("stderr");
    std::filesystem::remove_all(dir);
  }
  std::string path(const char *name) { return dir + "/" + name; }
};

TEST_F(LogTest, PlainLinesCarryTimeOncePerSecondAndSourceWithLine) {
  std::string file = path("run.log");
  logSetTarget(file.c_str());
  waitForFreshSecond();
  logWrite(logChannelError, "Proxy/xcore.c", 1234, logFormat("first %d", 1));
  logWrite(logChannelError, "Proxy/xcore.c", 1234, logFormat("second"));
  logWrite(logChannelError, "Makefile", 7, logFormat("no extension"));
  logSetTarget("stderr");
  std::vector<std::string> got = lines(readFile(file));
  ASSERT_GE(got.size(), 5u);
  // The day banner comes first: an empty line, then date, program, version and host.
  EXPECT_EQ(got[0], "");
  int yy, mm, dd, pid = 0, used = 0;
  ASSERT_EQ(sscanf(got[1].c_str(), "%2d-%2d-%2d tarvo 8.1 at %*s (pid %d, Linux %n", &yy, &mm, &dd, &pid, &used), 4)
      << got[1];
  EXPECT_EQ(pid, getpid());
  EXPECT_NE(used, 0);
  EXPECT_NE(got[1].find(" up, 0123456789abcdef0123456789abcdef01234567)"), std::string::npos) << got[1];
  int hh, mi, ss;
  ASSERT_EQ(sscanf(got[2].c_str(), "%2d:%2d:%2d ", &hh, &mi, &ss), 3) << got[2];
  EXPECT_EQ(got[2].substr(8), " ERROR xcore1234: first 1");
  EXPECT_EQ(got[3], "         ERROR xcore1234: second");
  EXPECT_EQ(got[4], "         ERROR Makefile7: no extension");

  struct stat info;
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(logIsFile(), 0);  // back on standard error
}

TEST_F(LogTest, SummaryCountsLinesInTableOrder) {
  char text[kLogSummarySize];
  logSummary(text, sizeof text);
  std::string alone = "pid " + std::to_string(getpid()) + ", ";
  EXPECT_EQ(std::string(text).substr(0, alone.size()), alone);
  EXPECT_EQ(std::string(text).substr(strlen(text) - 3), " up");

  std::string file = path("summary.log");
  logSetTarget(file.c_str());
  LOG(logChannelWarning, "careful");
  LOG(logChannelError, "bad");
  LOG(logChannelError, "worse");
  LOG(logChannelVerbose, "not counted: the channel is off");
  logSummary(text, sizeof text);
  std::string expected = "2 errors, 1 warning logged to " + file + ", pid " + std::to_string(getpid()) + ", ";
  EXPECT_EQ(std::string(text).substr(0, expected.size()), expected) << text;
  EXPECT_EQ(std::string(text).substr(strlen(text) - 3), " up");

  // A small buffer cuts the summary without overrunning it.
  char small[12];
  memset(small, 'x', sizeof small);
  logSummary(small, 8);
  EXPECT_EQ(strlen(small), 7u);
  EXPECT_EQ(small[8], 'x');
}

TEST_F(LogTest, WriteStepAndProblemGoThroughTheHook) {
  logOutputHook = captureHook;
  logWrite(logChannelError, "Proxy/xcore.c", 10, logFormat("value %d", 42));
  logWrite(logChannelStep, "Proxy/xcore.c", 11, logFormat("step is off"));
  logWrite(logChannelError, "Proxy/xcore.c", 12, nullptr);
  logStep("not shown %d", 1);
  logEnableChannel(logChannelStep);
  logStep("shown %d", 2);
  LOG_UNE();
  int problemLine = __LINE__ - 1;
  ASSERT_EQ(captured.size(), 3u);
  EXPECT_EQ(captured[0].channel, "error");
  EXPECT_EQ(captured[0].message, "value 42");
  EXPECT_EQ(captured[0].line, 10);
  EXPECT_EQ(captured[1].channel, "step");
  EXPECT_EQ(captured[1].message, "shown 2");
  EXPECT_EQ(captured[1].source, "logging.c");
  EXPECT_EQ(captured[1].line, 715);
  EXPECT_EQ(captured[2].channel, "problem");
  EXPECT_EQ(captured[2].message, "UNE");
  EXPECT_NE(captured[2].source.find("logging_test"), std::string::npos);
  EXPECT_EQ(captured[2].line, problemLine);
  EXPECT_EQ(logChannelError->count, 1u);
  EXPECT_EQ(logChannelStep->count, 1u);
  EXPECT_EQ(logChannelProblem->count, 1u);
  // The scratch block that held the message is free again.
  EXPECT_EQ(scratchAvailable(), kScratchSize);

  LogChannel *saved = logSaveChannels();
  ASSERT_NE(saved, nullptr);
  logDisableAll();
  LOG(logChannelError, "switched off");
  logRestoreChannels(saved);
  EXPECT_EQ(captured.size(), 3u);
  EXPECT_STREQ(logChannelError->activeTemplate, "%ERROR @: *\n");
}

TEST_F(LogTest, InformationArgumentsSelectStandardOutput) {
  struct Case {
    const char *argument;
    int expected;
  } cases[] = {{"--VERSION", 1}, {"-info", 1}, {"--Info", 1}, {"-version", 1}, {"--versions", 0}, {"-i", 0}};
  for (const Case &c : cases) {
    char a1[32];
    strCopy(a1, c.argument, sizeof a1);
    char *argv[] = {arg0, a1, nullptr};
    EXPECT_EQ(logInit(2, argv, "8.1", "r"), c.expected) << c.argument;
    EXPECT_STREQ(logFileName(), c.expected ? "stdout" : "stderr") << c.argument;
    EXPECT_STREQ(logCommandLine(), (std::string(arg0) + " " + c.argument + " ").c_str());
  }
  char name[] = " __odd/\t_name";
  char *odd[] = {name, nullptr};
  logInit(1, odd, "8.1", "r");
  EXPECT_STREQ(logProgramName(), "name");
}

TEST_F(LogTest, SyslogSendsWithoutTimeAndSwitchesTimeOff) {
  logSyslogSend = captureSyslog;
  logSetTarget("syslog");
  LOG(logChannelError, "to the system log");
  LOG(logChannelInfo, "an info");
  ASSERT_EQ(syslogged.size(), 2u);
  EXPECT_EQ(syslogged[0].first, LOG_ERR);
  EXPECT_NE(syslogged[0].second.find("ERROR logging_test"), std::string::npos);
  EXPECT_EQ(syslogged[0].second.rfind("ERROR", 0), 0u) << "no time stamp: " << syslogged[0].second;
  EXPECT_EQ(syslogged[1].first, LOG_INFO);
  EXPECT_EQ(logChannelTime->activeTemplate, nullptr);

  // Back on a file, lines have no time stamps until "time" is on again.
  std::string file = path("after.log");
  logSetTarget(file.c_str());
  logWrite(logChannelError, "a/b.c", 3, logFormat("plain"));
  logSetTarget("none");
  LOG(logChannelError, "nowhere");
  EXPECT_EQ(syslogged.size(), 2u);
  std::vector<std::string> got = lines(readFile(file));
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), "ERROR b3: plain");
}

TEST_F(LogTest, SameTargetTwiceDoesNotReopen) {
  std::string file = path("same.log");
  logSetTarget(file.c_str());
  ASSERT_EQ(unlink(file.c_str()), 0);
  logSetTarget(file.c_str());
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  EXPECT_EQ(logIsFile(), 1);
  // An unusable path falls back to standard error.
  std::string bad = path("missing/dir/x.log");
  logSetTarget(bad.c_str());
  EXPECT_EQ(logIsFile(), 0);
  EXPECT_STREQ(logFileName(), bad.c_str());
}

TEST_F(LogTest, StandardErrorOfProcessAndChildrenReachesTheFile) {
  struct stat before, after;
  ASSERT_EQ(fstat(2, &before), 0);
  std::string file = path("capture.log");
  logSetTarget(file.c_str());
  LOG(logChannelInfo, "log line one");
  const char direct[] = "written to descriptor 2\n";
  ASSERT_EQ(write(2, direct, sizeof direct - 1), static_cast<ssize_t>(sizeof direct - 1));
  pid_t pid;
  const char *argv[] = {"/bin/sh", "-c", "echo child complaint >&2", nullptr};
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ), 0);
  EXPECT_EQ(waitChild(pid, 30), 0);
  LOG(logChannelInfo, "log line two");
  logSetTarget("stderr");
  ASSERT_EQ(fstat(2, &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // descriptor 2 is the old standard error again
  EXPECT_EQ(before.st_dev, after.st_dev);

  std::vector<std::string> got = lines(readFile(file));
  std::vector<std::string> tail(got.end() - std::min<size_t>(4, got.size()), got.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"log line one", "written to descriptor 2", "child complaint",
                                            "log line two"}));
}

TEST_F(LogTest, XhtmlFileStaysWellFormed) {
  std::string file = path("run.html"), messages;
  logSetTarget(file.c_str());
  LOG(logChannelError, "size < 10 & more");
  LOG(logChannelWarning, "a (b");
  LOG(logChannelInfo, "1) c");
  LOG(logChannelNote, "(x < y) and \"quoted\" \x01 \xff");
  logWrite(logChannelHint, "dir/<odd>.c", 9, logFormat("source name with markup"));
  ASSERT_EQ(xmllint(file, &messages), 0) << messages;
  EXPECT_EQ(messages, "");
  std::string text = readFile(file);
  EXPECT_NE(text.find("size &lt; 10 &amp; more"), std::string::npos);
  EXPECT_NE(text.find("a <span class=\"details\">(b</span></dd>"), std::string::npos);
  EXPECT_NE(text.find("<span class=\"details\">(x &lt; y)</span>"), std::string::npos);
  EXPECT_NE(text.find("&lt;odd&gt;9"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 8), "</html>\n");

  // Reopened, the file keeps its lines and gets new ones in front of the footer.
  logSetTarget("none");
  logSetTarget(file.c_str());
  LOG(logChannelError, "after reopening");
  // Text written to standard error lands behind the footer; the next line takes it in.
  const char stray[] = "stray <text>\n";
  ASSERT_EQ(write(2, stray, sizeof stray - 1), static_cast<ssize_t>(sizeof stray - 1));
  LOG(logChannelInfo, "after stray text");
  logSetTarget("stderr");
  ASSERT_EQ(xmllint(file, &messages), 0) << messages;
  EXPECT_EQ(messages, "");
  text = readFile(file);
  EXPECT_EQ(countOf(text, "<?xml"), 1u);
  EXPECT_EQ(countOf(text, "</html>"), 1u);
  EXPECT_NE(text.find("size &lt; 10"), std::string::npos);
  EXPECT_NE(text.find("after reopening"), std::string::npos);
  EXPECT_NE(text.find("stray &lt;text&gt;"), std::string::npos);
  EXPECT_LT(text.find("stray &lt;text&gt;"), text.find("after stray text"));
}

TEST_F(LogTest, XhtmlFileWithoutFooterStartsAFreshDocument) {
  std::string file = path("old.HTML"), messages;
  {
    std::ofstream out(file);
    out << "plain text that is no document\n";
  }
  logSetTarget(file.c_str());
  LOG(logChannelInfo, "new line");
  logSetTarget("stderr");
  ASSERT_EQ(xmllint(file, &messages), 0) << messages;
  EXPECT_EQ(readFile(file).find("plain text"), std::string::npos);
}

TEST_F(LogTest, LongMessagesAreCutToTheLine) {
  std::string parens;
  while (parens.size() < 20000) parens += "((<";
  std::string file = path("long.xhtml"), messages;
  logSetTarget(file.c_str());
  LOG(logChannelError, "%s", parens.c_str());
  logSetTarget("stderr");
  ASSERT_EQ(xmllint(file, &messages), 0) << messages;
  EXPECT_EQ(messages, "");

}

TEST_F(LogTest, TwoProcessesWritingOneFileDoNotTearLines) {
  std::string file = path("shared.log");
  const int kLines = 1000;
  std::string pad(300, 'p');
  pid_t children[2];
  for (int c = 0; c < 2; c++) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      char *argv[] = {arg0, nullptr};
      logInit(1, argv, "8.1", "r");
      logSetTarget(file.c_str());
      for (int i = 0; i < kLines; i++) LOG(logChannelInfo, "writer %d line %d %s end", c, i, pad.c_str());
      logSetTarget("none");
      _exit(0);
    }
  }
  for (pid_t child : children) EXPECT_EQ(waitChild(child, 60), 0);
  const std::string tail = " " + pad + " end";
  int seen[2] = {0, 0};
  int next[2] = {0, 0};
  for (const std::string &line : lines(readFile(file))) {
    int c, i, used = 0;
    if (sscanf(line.c_str(), "writer %d line %d%n", &c, &i, &used) == 2 && (c == 0 || c == 1) &&
        line.substr(static_cast<size_t>(used)) == tail) {
      EXPECT_EQ(i, next[c]);  // each writer's lines in order, none lost
      next[c]++;
      seen[c]++;
    } else {
      // Only the day banners (and their empty lines) may stand between them.
      EXPECT_TRUE(line.empty() || line.find(" tarvo 8.1 at ") != std::string::npos) << line.substr(0, 80);
    }
  }
  EXPECT_EQ(seen[0], kLines);
  EXPECT_EQ(seen[1], kLines);
}

TEST_F(LogTest, OtherThreadsFormatIntoTheirOwnBlock) {
  void *block = scratchAlloc(1);
  scratchFree(block);
  std::string file = path("threads.log");
  logSetTarget(file.c_str());
  char *fromThread = nullptr;
  std::thread worker([&] {
    char *m = logFormat("from a worker");
    fromThread = m;
    logWrite(logChannelInfo, __FILE__, __LINE__, m);
  });
  worker.join();
  EXPECT_NE(static_cast<void *>(fromThread), block);
  EXPECT_EQ(scratchAvailable(), kScratchSize);
  logSetTarget("stderr");
  EXPECT_NE(readFile(file).find("from a worker\n"), std::string::npos);
}

}  // namespace
