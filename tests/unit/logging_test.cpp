#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/datapack.h"
#include "support/logging.h"

namespace {

std::string readFile(const std::string &path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

const char *const kRevision = "0123456789abcdef0123456789abcdef01234567";

bool has(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

// xmllint's complaints about a file; empty when it is a well-formed document.
std::string xmlProblems(const std::string &path) {
  int status = system(("timeout 30 xmllint --noout --nonet " + path + " 2>" + path + ".err").c_str());
  return status == 0 ? readFile(path + ".err") : "status " + std::to_string(status) + ": " + readFile(path + ".err");
}

std::string captured;  // what the hooks saw, one "channel|source|line|message" or "priority|line" per line
void captureHook(LogChannel *channel, const char *source, int line, const char *message) {
  captured += std::string(channel->name) + "|" + source + "|" + std::to_string(line) + "|" + message + "\n";
}
void captureSyslog(int priority, const char *line) { captured += std::to_string(priority) + "|" + line; }

class LogTest : public ::testing::Test {
 protected:
  std::string dir;
  char arg0[32] = "/opt/bin/tarvo";  // logInit keeps the program path
  LogSyslogSend originalSyslog = logSyslogSend;

  void SetUp() override {
    char pattern[] = "/tmp/logtestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    char *argv[] = {arg0, nullptr};
    EXPECT_EQ(logInit(1, argv, "8.1", kRevision), 0);
    captured.clear();
  }
  void TearDown() override {
    logOutputHook = logEmit;
    logSyslogSend = originalSyslog;
    logSetTarget("stderr");
    std::filesystem::remove_all(dir);
  }
  std::string path(const char *name) { return dir + "/" + name; }
};

// Plain lines: the day banner, a time stamp once per second (nine blanks in the same second),
// the source's base name with the line number; mode 0644; then the summary of the counts.
TEST_F(LogTest, PlainLinesModeAndSummary) {
  char text[kLogSummarySize];
  std::string file = path("run.log"), pid = "pid " + std::to_string(getpid()) + ", ";
  logSummary(text, sizeof text);
  EXPECT_TRUE(std::string(text).starts_with(pid)) << text;  // nothing counted yet
  logSetTarget(file.c_str());
  for (struct timeval now = {0, 999999}; now.tv_usec > 100000; gettimeofday(&now, nullptr)) usleep(1000);
  logWrite(logChannelError, "Proxy/xcore.c", 1234, logFormat("first %d", 1));
  logWrite(logChannelWarning, "Proxy/xcore.c", 1234, logFormat("second"));
  logWrite(logChannelError, "Makefile", 7, logFormat("no extension"));
  logSummary(text, sizeof text);
  EXPECT_TRUE(std::string(text).starts_with("2 errors, 1 warning logged to " + file + ", " + pid) &&
              std::string(text).ends_with(" up")) << text;
  logSetTarget("stderr");
  std::string form = "\n[0-9][0-9]-[0-9][0-9]-[0-9][0-9] tarvo 8.1 at * (" + pid + "Linux * up, " + kRevision + ")\n"
                     "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] ERROR xcore1234: first 1\n         WARNING: second\n"
                     "         ERROR Makefile7: no extension\n";
  EXPECT_EQ(fnmatch(form.c_str(), readFile(file).c_str(), 0), 0) << readFile(file);
  EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644));
  memset(text, 'x', 12);
  EXPECT_TRUE(logSummary(text, 8) == 7u && text[8] == 'x');  // cut to a small buffer
}

// logWrite, logStep and logProblem go through the hook, count, and free the message block (also
// one formatted on another thread); saved channels come back after logDisableAll; syslog gets
// the channel's level, no time stamp, and switches the time channel off.
TEST_F(LogTest, HookProblemSavedChannelsAndSyslog) {
  logOutputHook = captureHook;
  char *fromWorker = nullptr;  // formatted off the loop thread, so into a block of its own
  std::thread([&] { fromWorker = logFormat("from a worker"); }).join();
  logWrite(logChannelError, "Proxy/xcore.c", 10, logFormat("value %d", 42));
  logStep("not shown %d", 1);
  logEnableChannel(logChannelStep);
  logStep("shown %d", 2);
  LOG_UNE();
  std::string une = "problem|" + std::string(__FILE__) + "|" + std::to_string(__LINE__ - 1) + "|UNE\n";
  LogChannel *saved = logSaveChannels();
  logDisableAll();
  LOG(logChannelError, "switched off");
  logRestoreChannels(saved);
  EXPECT_EQ(scratchAvailable(), kScratchSize);  // the loop's block is free again, the worker never took it
  logWrite(logChannelInfo, "w.c", 1, fromWorker);
  EXPECT_EQ(logChannelError->count + logChannelStep->count + logChannelProblem->count + logChannelInfo->count, 4u);

  logOutputHook = logEmit;
  logSyslogSend = captureSyslog;
  logSetTarget("syslog");
  logWrite(logChannelError, "a/b.c", 3, logFormat("to the system log"));
  LOG(logChannelInfo, "an info");
  EXPECT_EQ(captured, "error|Proxy/xcore.c|10|value 42\nstep|logging.c|715|shown 2\n" + une +
                      "info|w.c|1|from a worker\n3|ERROR b3: to the system log\n6|an info\n");
  logSetTarget(path("after.log").c_str());
  logWrite(logChannelError, "a/b.c", 3, logFormat("plain"));
  logSetTarget("none");
  LOG(logChannelError, "nowhere");
  EXPECT_TRUE(readFile(path("after.log")).ends_with("\nERROR b3: plain\n"));  // still without time stamp
}

// A LOG on a channel that is off (or on no channel) computes neither its message nor its
// arguments; switched on, the same call computes them once and writes the line.
TEST_F(LogTest, OffChannelComputesNothing) {
  logOutputHook = captureHook;
  int evaluated = 0;
  auto argument = [&] { return ++evaluated; };
  logDisableAll();
  LOG(logChannelError, "off %d", argument());
  LOG(static_cast<LogChannel *>(nullptr), "nowhere %d", argument());
  EXPECT_EQ(evaluated, 0);
  EXPECT_FALSE(logChannelActive(logChannelError));
  logEnableChannel(logChannelError);
  bool flag = false;
  LOG(logChannelError, "on %d", argument()), flag = true;  // still an expression
  EXPECT_TRUE(flag);
  EXPECT_EQ(evaluated, 1);
  EXPECT_TRUE(captured.ends_with("|on 1\n")) << captured;
  EXPECT_EQ(logChannelError->count, 1u);
  EXPECT_EQ(scratchAvailable(), kScratchSize);
}

// The information arguments (any case) select standard output; the program name skips blanks
// and '_'; the same target twice does not reopen; an unusable path falls back to standard error.
TEST_F(LogTest, TargetSelection) {
  for (auto [argument, expected] : {std::pair{"--VERSION", 1}, {"-info", 1}, {"--versions", 0}}) {
    std::string a0 = " __odd/\t_name", a1 = argument;
    char *argv[] = {a0.data(), a1.data(), nullptr};
    EXPECT_EQ(logInit(2, argv, "8.1", "r"), expected) << argument;
    EXPECT_STREQ(logFileName(), expected ? "stdout" : "stderr") << argument;
    EXPECT_EQ(std::string(logCommandLine()), a0 + " " + a1 + " ");
    EXPECT_STREQ(logProgramName(), "name");
  }
  std::string file = path("same.log"), bad = path("missing/dir/x.log");
  logSetTarget(file.c_str());
  ASSERT_EQ(unlink(file.c_str()), 0);
  logSetTarget(file.c_str());
  EXPECT_TRUE(access(file.c_str(), F_OK) != 0 && logIsFile() == 1);
  logSetTarget(bad.c_str());
  EXPECT_TRUE(logIsFile() == 0 && logFileName() == bad) << logFileName();

  if (geteuid() != 0) return;  // a link planted by another user is not followed; only root can plant one
  std::string victim = path("victim.html"), link = path("planted.html");
  std::ofstream(victim) << "precious\n";
  ASSERT_TRUE(symlink(victim.c_str(), link.c_str()) == 0 && lchown(link.c_str(), 65534, 65534) == 0);
  logSetTarget(link.c_str());
  EXPECT_TRUE(logIsFile() == 0 && readFile(victim) == "precious\n");

  // A link of this user is followed. Swapped for a planted one while the log opens again and
  // again, the victim is never written: what is checked is what is opened.
  std::string own = path("own.log"), ownLink = path("ownlink.log"), plantedLink = path("planted2.log");
  std::string swapping = path("swapping.log");
  static char programName[] = "logging_test";  // logInit keeps argv[0]: it must outlive the test
  static char *keptArgv[] = {programName, nullptr};
  logInit(1, keptArgv, "8.1", "r");
  std::ofstream(own) << "mine\n";
  ASSERT_TRUE(symlink(own.c_str(), ownLink.c_str()) == 0 && symlink(victim.c_str(), plantedLink.c_str()) == 0 &&
              lchown(plantedLink.c_str(), 65534, 65534) == 0);
  logSetTarget(ownLink.c_str());
  LOG(logChannelError, "through my link");
  logSetTarget("none");
  EXPECT_NE(readFile(own).find("through my link"), std::string::npos);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    std::string spareOwn = path("spare-own"), sparePlanted = path("spare-planted");
    while (!stop) {
      if (::link(ownLink.c_str(), spareOwn.c_str()) == 0) rename(spareOwn.c_str(), swapping.c_str());
      if (::link(plantedLink.c_str(), sparePlanted.c_str()) == 0) rename(sparePlanted.c_str(), swapping.c_str());
    }
  });
  for (int i = 0; i < 3000; i++) {
    logSetTarget(swapping.c_str());
    if (logIsFile()) LOG(logChannelError, "opened %d", i);
    logSetTarget("none");
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(readFile(victim), "precious\n");
}

// What the process and its children write to descriptor 2 reaches the log file; descriptor 2
// is the old standard error again afterwards, and is closed again when it was closed.
TEST_F(LogTest, StandardErrorReachesTheFile) {
  struct stat before, after;
  ASSERT_EQ(fstat(2, &before), 0);
  logSetTarget(path("capture.log").c_str());
  LOG(logChannelInfo, "log line one");
  ASSERT_EQ(write(2, "written to fd 2\n", 16), 16);
  EXPECT_EQ(system("echo child complaint >&2"), 0);
  LOG(logChannelInfo, "log line two");
  logSetTarget("stderr");
  EXPECT_TRUE(fstat(2, &after) == 0 && before.st_ino == after.st_ino && before.st_dev == after.st_dev);
  std::string got = readFile(path("capture.log"));
  EXPECT_TRUE(got.ends_with("\nlog line one\nwritten to fd 2\nchild complaint\nlog line two\n")) << got;

  int keep = dup(2);
  close(2);
  logSetTarget(path("closed.log").c_str());
  EXPECT_EQ(system("echo from child >&2"), 0);
  logSetTarget("none");
  EXPECT_EQ(fcntl(2, F_GETFD), -1);
  dup2(keep, 2);
  close(keep);
  EXPECT_EQ(readFile(path("closed.log")), "from child\n");
}

// The XHTML log stays a well-formed document: markup, parentheses, bytes that are no XML
// characters, a source name with markup, reopening, much stray text behind the footer.
TEST_F(LogTest, XhtmlFileStaysWellFormed) {
  std::string file = path("run.html");
  logSetTarget(file.c_str());
  LOG(logChannelError, "size < 10 & more");
  LOG(logChannelWarning, "a (b");
  LOG(logChannelInfo, "1) c");
  LOG(logChannelNote, "(x < y) and \"quoted\" \x01 \xff \xef\xbf\xbf");
  logWrite(logChannelHint, "dir/<odd>.c", 9, logFormat("source name with markup"));
  EXPECT_EQ(xmlProblems(file), "");
  std::string text = readFile(file);
  for (const char *part : {"size &lt; 10 &amp; more", "a <span class=\"details\">(b</span></dd>", "</span>1) c</dd>",
                           "<span class=\"details\">(x &lt; y)</span>", "&lt;odd&gt;9"})
    EXPECT_TRUE(has(text, part)) << part;

  logSetTarget("none");
  logSetTarget(file.c_str());
  LOG(logChannelError, "after reopening");
  std::string stray;  // more than one read of the file's end
  for (int i = 0; stray.size() < 200000; i++) stray += "stray <text> " + std::to_string(i) + "\n";
  ASSERT_EQ(write(2, stray.data(), stray.size()), static_cast<ssize_t>(stray.size()));
  LOG(logChannelInfo, "after stray text");
  logSetTarget("stderr");
  EXPECT_EQ(xmlProblems(file), "");
  text = readFile(file);
  EXPECT_TRUE(has(text, "size &lt; 10") && has(text, "after reopening") && has(text, "stray &lt;text&gt; 0\n"));
  EXPECT_LT(text.find("stray &lt;text&gt; 9999\n"), text.find("after stray text"));

  // An existing file that does not end with the footer gets a fresh document; a message far
  // beyond the line buffer is cut with balanced spans.
  file = path("old.HTML");
  std::ofstream(file) << "plain text that is no document\n";
  std::string parens;
  while (parens.size() < 20000) parens += "((<";
  logSetTarget(file.c_str());
  LOG(logChannelError, "%s", parens.c_str());
  LOG(logChannelFatal, "%s", parens.c_str());
  logSetTarget("stderr");
  EXPECT_EQ(xmlProblems(file), "");
  EXPECT_FALSE(has(readFile(file), "plain text"));
}

// Two processes writing 1000 lines each to one file: no line torn or lost, each in order.
TEST_F(LogTest, TwoProcessesWritingOneFileDoNotTearLines) {
  std::string file = path("shared.log"), pad(300, 'p');
  pid_t children[2];
  for (int c = 0; c < 2; c++)
    if ((children[c] = fork()) == 0) {
      logSetTarget(file.c_str());
      for (int i = 0; i < 1000; i++) LOG(logChannelInfo, "writer %d line %d %s end", c, i, pad.c_str());
      _exit(0);
    }
  alarm(60);  // a child that hangs ends the test
  for (int status = -1; pid_t child : children) EXPECT_TRUE(waitpid(child, &status, 0) == child && status == 0);
  alarm(0);
  int next[2] = {0, 0};
  std::stringstream text(readFile(file));
  for (std::string line; std::getline(text, line);) {
    int c = line.starts_with("writer 1 ");  // the writer whose next line this has to be
    if (line == "writer " + std::to_string(c) + " line " + std::to_string(next[c]) + " " + pad + " end")
      next[c]++;
    else  // only the day banners (and their empty lines) stand between them
      EXPECT_TRUE(line.empty() || has(line, " tarvo 8.1 at ")) << line.substr(0, 80);
  }
  EXPECT_TRUE(next[0] == 1000 && next[1] == 1000) << next[0] << ", " << next[1];
}

}  // namespace
