// Display names, the lookup command and rounding, without a display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "proxy/xdisplay.h"
#include "support/host.h"

namespace {

TEST(XdisplayTest, RoundsHalvesAwayFromZero) {
  struct Case {
    double value;
    int64_t expected;
  } cases[] = {{-2.5, -3}, {2.5, 3}, {2.49, 2}, {-2.49, -2}, {0.0, 0}, {-0.5, -1}, {0.5, 1}, {1e12 + 0.5, 1000000000001}};
  for (const Case &c : cases) EXPECT_EQ(xdisplayRound(c.value), c.expected) << c.value;
}

TEST(XdisplayTest, HostOfName) {
  std::string local = hostName();
  struct Case {
    const char *name;
    std::string host;
  } cases[] = {
      {"tcp/server:0", "server"}, {"server:0.1", "server"}, {":0", local},          {"unix:3", local},
      {"noColon", local},         {"local/:1", local},      {"dec::0", "dec"},      {"", local},
  };
  for (const Case &c : cases) EXPECT_EQ(xdisplayHostOfName(c.name), c.host) << c.name;
}

TEST(XdisplayTest, LocalPartAndCanonicalName) {
  std::string local = hostName();
  std::string name = local + ":5.1";
  ASSERT_NE(xdisplayLocalPart(name.c_str()), nullptr);
  EXPECT_STREQ(xdisplayLocalPart(name.c_str()), ":5.1");
  std::string upper = name;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_STREQ(xdisplayLocalPart(upper.c_str()), ":5.1");
  EXPECT_EQ(xdisplayLocalPart((local + "x:5").c_str()), nullptr);
  EXPECT_EQ(xdisplayLocalPart(nullptr), nullptr);

  EXPECT_EQ(xdisplayCanonicalName(nullptr), local + ":0");
  EXPECT_EQ(xdisplayCanonicalName(":"), nullptr);
  EXPECT_EQ(xdisplayCanonicalName(":x"), nullptr);
  EXPECT_EQ(xdisplayCanonicalName(":1.x"), nullptr);
  EXPECT_EQ(xdisplayCanonicalName("nocolon"), nullptr);
  EXPECT_EQ(xdisplayCanonicalName(":7.2"), local + ":7");
  EXPECT_EQ(xdisplayCanonicalName("unix::7"), local + "::7");

  EXPECT_TRUE(xdisplaySameDisplay(":1", ":1"));
  EXPECT_TRUE(xdisplaySameDisplay("unix:1", ":1.0"));
  EXPECT_FALSE(xdisplaySameDisplay(":1", ":2"));
}

// A fake "displayLookup" in a temporary installation directory that records its arguments.
class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/xdisplay_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    ASSERT_EQ(mkdir((home_ + "/bin").c_str(), 0700), 0);
    setenv("TARVO_HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    std::string command = "rm -rf '" + home_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    unsetenv("TARVO_HOME");
  }
  void writeProgram(const std::string &body) {
    std::string path = home_ + "/bin/displayLookup";
    std::ofstream out(path);
    out << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << home_ << "/args'\n" << body << "\n";
    out.close();
    chmod(path.c_str(), 0700);
  }
  std::string arguments() {
    std::ifstream in(home_ + "/args");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string home_;
};

TEST_F(LookupTest, ExitStatusDecides) {
  struct Case {
    const char *body;
    const char *name;
    const char *error;   // nullptr: success
    const char *result;  // the result name on success
  } cases[] = {
      {"echo remote:3; exit 0", "somewhere", nullptr, "remote:3"},
      {"echo 'no such display'; exit 1", "somewhere", "no such display", nullptr},
      {"exit 0", "somewhere", nullptr, "somewhere"},
      {"echo; exit 1", "somewhere", nullptr, "somewhere"},
      {"printf 'abc\\351\\n'; exit 2", "somewhere", "abc?", nullptr},
      {"echo first; echo second; exit 0", "x", nullptr, "first"},
  };
  for (const Case &c : cases) {
    writeProgram(c.body);
    const char *result = nullptr;
    const char *error = xdisplayLookupName(c.name, &result);
    if (c.error) {
      ASSERT_NE(error, nullptr) << c.body;
      EXPECT_STREQ(error, c.error) << c.body;
    } else {
      EXPECT_EQ(error, nullptr) << c.body;
      EXPECT_STREQ(result, c.result) << c.body;
    }
    EXPECT_EQ(arguments(), std::string("-d\n") + c.name + "\n") << c.body;
  }
}

TEST_F(LookupTest, NamesWithColonsOrNothingDoNotRunIt) {
  writeProgram("echo other:1; exit 0");
  const char *result = nullptr;
  EXPECT_EQ(xdisplayLookupName("host:0", &result), nullptr);
  EXPECT_STREQ(result, "host:0");
  EXPECT_EQ(xdisplayLookupName("", &result), nullptr);
  EXPECT_STREQ(result, "");
  EXPECT_EQ(arguments(), "");

  unsetenv("DISPLAY");
  EXPECT_EQ(xdisplayLookupName(nullptr, &result), nullptr);
  EXPECT_EQ(result, nullptr);
}

TEST_F(LookupTest, NameIsOneArgumentAndNeverAShellCommand) {
  writeProgram("echo ok; exit 0");
  const char *names[] = {"a \"b\" 'c'", "$(touch x)", "`touch y`; touch z"};
  for (const char *name : names) {
    const char *result = nullptr;
    EXPECT_EQ(xdisplayLookupName(name, &result), nullptr);
    EXPECT_STREQ(result, "ok");
    EXPECT_EQ(arguments(), std::string("-d\n") + name + "\n");
  }
  for (const char *file : {"x", "y", "z"}) {
    EXPECT_NE(access((home_ + "/" + file).c_str(), F_OK), 0);
    EXPECT_NE(access(file, F_OK), 0);
  }
}

TEST_F(LookupTest, ChattyProgramDoesNotBlock) {
  // 1 MB after the first line: more than any pipe holds.
  writeProgram("echo big:1; head -c 1048576 /dev/zero | tr '\\0' a; exit 0");
  const char *result = nullptr;
  const char *error = xdisplayLookupName("somewhere", &result);
  // Whether it ends with 0 depends on when the program notices the closed pipe; either way the
  // call returned with the first line.
  EXPECT_STREQ(error ? error : result, "big:1");

  // A long first line is cut at 255 characters (the program may end on the closed pipe).
  writeProgram("head -c 1000 /dev/zero | tr '\\0' b; echo; exit 0");
  error = xdisplayLookupName("somewhere", &result);
  EXPECT_EQ(std::string(error ? error : result), std::string(255, 'b'));
}

TEST_F(LookupTest, MissingProgramOrDirectoryKeepsTheName) {
  const char *result = nullptr;
  EXPECT_EQ(xdisplayLookupName("somewhere", &result), nullptr);
  EXPECT_STREQ(result, "somewhere");
  ASSERT_EQ(mkdir((home_ + "/bin/displayLookup").c_str(), 0700), 0);
  EXPECT_EQ(xdisplayLookupName("somewhere", &result), nullptr);
  EXPECT_STREQ(result, "somewhere");
}

}  // namespace
