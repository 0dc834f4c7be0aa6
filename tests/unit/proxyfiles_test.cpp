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
    home = root + "/home", etc = root + "/etc", var = root + "/var";
    unsetAll();
  }
  void TearDown() override {
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
    unsetAll();
  }
  static void unsetAll() {
    for (const char *name : {"TARVO_HOME", "TARVO_ETC", "TARVO_VAR"}) unsetenv(name);
  }
  // The three directories as given ("" leaves a variable unset).
  static void setDirectories(const std::string &h, const std::string &e, const std::string &v) {
    unsetAll();
    if (!h.empty()) setenv("TARVO_HOME", h.c_str(), 1);
    if (!e.empty()) setenv("TARVO_ETC", e.c_str(), 1);
    if (!v.empty()) setenv("TARVO_VAR", v.c_str(), 1);
  }
  // The resolved path, or the error text.
  static std::string resolve(const char *name, int pathClass) {
    char out[kFilesPathSize] = "";
    const char *error = filesResolvePath(name, pathClass, out);
    return error ? error : out;
  }
  std::string root, home, etc, var;
};

TEST_F(FilesTest, EveryClassWithAndWithoutVariableDirectory) {
  auto notSet = [](const std::string &variable) {
    return "Environment variable " + variable + " not set - Be sure to start the wrapper script";
  };
  const struct {
    int pathClass;
    const char *name;
    bool withVar;
    std::string expected;
  } cases[] = {
      {0, "xxmodmap", true, home + "/bin/xxmodmap"},
      {1, "de", true, home + "/share/locale/de"},
      {2, "index.html", true, home + "/share/manual/index.html"},
      {3, "keymap", true, etc + "/keymap"},
      {5, "x.log", true, var + "/logs/x.log"},
      {5, "x.log", false, etc + "/x.log"},  // directly in the configuration directory
      {6, "", true, var + "/"},
      {6, "work", false, etc + "/work"},
      {4, "/abs/name", true, "/abs/name"},  // absolute names are never made temporary
      {9, "plain", true, "plain"},          // an unknown class copies the name
  };
  for (const auto &c : cases) {
    setDirectories(home, etc, c.withVar ? var : "");
    EXPECT_EQ(resolve(c.name, c.pathClass), c.expected) << "class " << c.pathClass << " var " << c.withVar;
  }
  setDirectories("/opt/x/", "/cfg/", "");  // a trailing "/" is not doubled
  EXPECT_EQ(resolve("xxmodmap", 0), "/opt/x/bin/xxmodmap");
  EXPECT_EQ(resolve("a", 3), "/cfg/a");
  EXPECT_EQ(resolve(std::string(6000, 'n').c_str(), 3).size(), kFilesPathSize - 1);  // cut to the buffer

  setDirectories("", "", "");
  EXPECT_EQ(resolve("a", 0), notSet("*_HOME"));
  EXPECT_EQ(resolve("a", 3), notSet("*_ETC"));
  EXPECT_EQ(resolve("a", 5), notSet("*_VAR"));
  EXPECT_EQ(resolve("a", 6), notSet("*_VAR"));
}

TEST_F(FilesTest, TemporaryNamesAreOnlyFreshNames) {
  for (bool withVar : {true, false}) {
    setDirectories(home, etc, withVar ? var : "");
    std::string directory = withVar ? var : etc;
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    std::string a = resolve("auth", 4), b = resolve("auth", 4);
    EXPECT_TRUE(a.starts_with(directory + "/auth") && a.size() > directory.size() + 5) << a;
    EXPECT_NE(a, b);
    struct stat info;
    EXPECT_NE(lstat(a.c_str(), &info), 0) << "no file is made: its user creates it with O_EXCL";
  }
}

TEST_F(FilesTest, DirectoriesLogFileAndManual) {
  EXPECT_EQ(filesHomeDir(), nullptr);
  EXPECT_STREQ(filesLogFileName(), "stderr");
  EXPECT_EQ(strncmp(filesManualIndex(), "http", 4), 0);
  setDirectories(home, etc, var);
  EXPECT_EQ(std::string(filesHomeDir()), home);
  EXPECT_EQ(std::string(filesManualIndex()), home + "/share/manual/index.html");
  std::string log = filesLogFileName();
  EXPECT_TRUE(log.starts_with(var + "/logs/") && log.ends_with(std::string("-") + platformUserName() + "-0.log"))
      << log;
}

TEST(ProductTest, VersionFromBuildDate) {
  char out[60];
  EXPECT_STREQ(filesVersionText("Aug 17 2021", out, sizeof out), "8.1.20210817");
  EXPECT_STREQ(filesVersionText("jan  1 2000", out, sizeof out), "8.1.20000101");
  // The library's own build date: "8.1." and an eight-digit date of this century, formed once.
  std::string version = productVersion();
  ASSERT_EQ(version.size(), 12u) << version;
  EXPECT_EQ(version.substr(0, 6), "8.1.20");
  EXPECT_EQ(productVersion(), productVersion());
  EXPECT_STREQ(productName(), "Tarvo");
}

}  // namespace
