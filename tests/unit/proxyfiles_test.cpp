// Installation paths, the default log file name and the product version.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "proxy/files.h"
#include "support/host.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/proxyfilesXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    home = root + "/home";
    etc = root + "/etc";
    var = root + "/var";
    for (const char *name : {"TARVO_HOME", "TARVO_ETC", "TARVO_VAR"}) unsetenv(name);
    setenv("HOME", root.c_str(), 1);
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root + "'";
    EXPECT_EQ(system(command.c_str()), 0);
    for (const char *name : {"TARVO_HOME", "TARVO_ETC", "TARVO_VAR"}) unsetenv(name);
  }
  void setAll(bool withVar) {
    setenv("TARVO_HOME", home.c_str(), 1);
    setenv("TARVO_ETC", etc.c_str(), 1);
    if (withVar)
      setenv("TARVO_VAR", var.c_str(), 1);
    else
      unsetenv("TARVO_VAR");
  }
  std::string resolve(const char *name, int pathClass, const char **error = nullptr) {
    char out[kFilesPathSize];
    out[0] = 0;
    const char *e = filesResolvePath(name, pathClass, out);
    if (error) *error = e;
    else
      EXPECT_EQ(e, nullptr) << e;
    return out;
  }
  std::string root, home, etc, var;
};

TEST_F(FilesTest, ClassesWithAndWithoutVariableDirectory) {
  struct Case {
    int pathClass;
    const char *name;
    bool withVar;
    std::string expected;
  };
  const Case cases[] = {
      {0, "xxmodmap", true, home + "/bin/xxmodmap"},
      {1, "de", true, home + "/share/locale/de"},
      {2, "index.html", true, home + "/share/manual/index.html"},
      {3, "keymap", true, etc + "/keymap"},
      {5, "x.log", true, var + "/logs/x.log"},
      {5, "x.log", false, etc + "/x.log"},  // directly in the configuration directory
      {6, "", true, var + "/"},
      {6, "", false, etc + "/"},
      {6, "work", true, var + "/work"},
      {4, "/abs/name", true, "/abs/name"},  // absolute names are never made temporary
      {3, "/etc/X0.hosts", false, "/etc/X0.hosts"},
  };
  for (const Case &c : cases) {
    setAll(c.withVar);
    EXPECT_EQ(resolve(c.name, c.pathClass), c.expected) << "class " << c.pathClass << " var " << c.withVar;
  }
}

TEST_F(FilesTest, HomeWithOrWithoutTrailingSlash) {
  setenv("TARVO_HOME", "/opt/x/", 1);
  EXPECT_EQ(resolve("xxmodmap", 0), "/opt/x/bin/xxmodmap");
  setenv("TARVO_HOME", "/opt/x", 1);
  EXPECT_EQ(resolve("xxmodmap", 0), "/opt/x/bin/xxmodmap");
  setenv("TARVO_ETC", "/cfg/", 1);
  EXPECT_EQ(resolve("a", 3), "/cfg/a");
}

TEST_F(FilesTest, MissingDirectoriesAreErrors) {
  const char *error = nullptr;
  resolve("a", 0, &error);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Environment variable *_HOME not set - Be sure to start the wrapper script");
  resolve("a", 3, &error);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error, "*_ETC"), nullptr);
  for (int pathClass : {5, 6}) {
    resolve("a", pathClass, &error);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(strstr(error, "*_VAR"), nullptr);
  }
  // An unknown class copies the name.
  EXPECT_EQ(resolve("plain", 9), "plain");
  EXPECT_EQ(resolve("plain", -1), "plain");
}

TEST_F(FilesTest, TemporaryNamesAreFreshNamesInTheDirectory) {
  for (bool withVar : {true, false}) {
    setAll(withVar);
    std::string directory = withVar ? var : etc;
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    std::string a = resolve("auth", 4), b = resolve("auth", 4);
    EXPECT_EQ(a.rfind(directory + "/auth", 0), 0u) << a;
    EXPECT_GT(a.size(), (directory + "/auth").size());
    EXPECT_NE(a, b);
    struct stat info;
    EXPECT_NE(lstat(a.c_str(), &info), 0) << "only a name, no file";
  }
}

TEST_F(FilesTest, ResultsAreCutToTheBuffer) {
  setAll(true);
  std::string longName(6000, 'n');
  std::string result = resolve(longName.c_str(), 3);
  EXPECT_EQ(result.size(), kFilesPathSize - 1);
  EXPECT_EQ(result.rfind(etc + "/nnn", 0), 0u);
}

TEST_F(FilesTest, DirectoriesLogFileAndManual) {
  EXPECT_EQ(filesHomeDir(), nullptr);
  EXPECT_EQ(filesEtcDir(), nullptr);
  EXPECT_STREQ(filesLogFileName(), "stderr");
  EXPECT_EQ(strncmp(filesManualIndex(), "http", 4), 0);

  setAll(true);
  EXPECT_EQ(std::string(filesHomeDir()), home);
  EXPECT_EQ(std::string(filesEtcDir()), etc);
  EXPECT_EQ(std::string(filesManualIndex()), home + "/share/manual/index.html");
  std::string log = filesLogFileName();
  EXPECT_EQ(log.rfind(var + "/logs/", 0), 0u) << log;
  std::string suffix = std::string("-") + platformUserName() + "-0.log";
  ASSERT_GE(log.size(), suffix.size());
  EXPECT_EQ(log.substr(log.size() - suffix.size()), suffix);
}

TEST(ProductTest, VersionFromBuildDate) {
  char out[60];
  EXPECT_STREQ(filesVersionText("Aug 17 2021", out, sizeof out), "8.1.20210817");
  EXPECT_STREQ(filesVersionText("jan  1 2000", out, sizeof out), "8.1.20000101");
  EXPECT_STREQ(filesVersionText("Dec 31 1999", out, sizeof out), "8.1.19991231");
  // The build date of the library: "8.1." and an eight-digit date of this century.
  std::string version = productVersion();
  ASSERT_EQ(version.size(), 12u) << version;
  EXPECT_EQ(version.substr(0, 4), "8.1.");
  unsigned long date = strtoul(version.c_str() + 4, nullptr, 10);
  EXPECT_GT(date, 20200101ul);
  EXPECT_LT(date, 21000101ul);
  EXPECT_EQ(productVersion(), productVersion());  // formed once, same buffer
  EXPECT_STREQ(productName(), "Tarvo");
}

}  // namespace
