// Paths, file tests and file and directory operations, in temporary directories.
#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/strings.h"

namespace {

std::string readAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Each test runs in its own temporary directory, which is also the current directory, with
// HOME pointing into it.
class FilePathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buffer[4096];
    ASSERT_NE(getcwd(buffer, sizeof buffer), nullptr);
    savedCwd = buffer;
    if (const char *home = getenv("HOME")) savedHome = home;
    std::string base = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/filesXXXXXX");
    std::vector<char> name(base.begin(), base.end());
    name.push_back('\0');
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    ASSERT_NE(realpath(name.data(), buffer), nullptr);
    dir = buffer;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    mkdir((dir + "/home").c_str(), 0700);
    setenv("HOME", (dir + "/home").c_str(), 1);
  }
  void TearDown() override {
    if (chdir(savedCwd.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    if (savedHome.empty()) {
      unsetenv("HOME");
    } else {
      setenv("HOME", savedHome.c_str(), 1);
    }
    std::string command = "rm -rf '" + dir + "'";
    if (!dir.empty() && system(command.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
  }
  std::string dir;
  std::string savedCwd;
  std::string savedHome;
};

TEST_F(FilePathsTest, AbsolutePaths) {
  std::string home = dir + "/home";
  struct Case {
    const char *path;
    std::string expected;
  } cases[] = {
      {"~/x", home + "/x"},
      {"./a", dir + "/a"},
      {"a/b", dir + "/a/b"},
      {"/abs/olute", "/abs/olute"},
      {"~", dir + "/~"},
      {".hidden", dir + "/.hidden"},
  };
  for (const Case &t : cases) EXPECT_EQ(fileAbsolutePath(t.path), t.expected) << t.path;
  EXPECT_EQ(dirCurrent(), dir + "/");

  setenv("HOME", "/root", 1);
  EXPECT_STREQ(fileAbsolutePath("~/x"), "/root/x");
  unsetenv("HOME");
  EXPECT_STREQ(fileAbsolutePath("~/x"), "/x");

  char out[4096];
  EXPECT_EQ(pathAbsoluteDir("sub", out, sizeof out), nullptr);
  EXPECT_EQ(std::string(out), dir + "/sub/");
  EXPECT_EQ(pathAbsoluteDir("/already/", out, sizeof out), nullptr);
  EXPECT_STREQ(out, "/already/");
  char small[8];
  EXPECT_NE(pathAbsoluteDir("/a/long/path", small, sizeof small), nullptr);
}

TEST_F(FilePathsTest, FileTests) {
  writeText("plain", "12345");
  mkdir("directory", 0700);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  struct Case {
    const char *path;
    int regular;
    int fifo;
    int directory;
    uint64_t size;
  } cases[] = {
      {"plain", 1, 0, 0, 5},
      {"directory", 0, 0, 1, 0},
      {"fifo", 1, 1, 0, 0},
      {"missing", 0, 0, 0, 0},
  };
  for (const Case &t : cases) {
    EXPECT_EQ(fileIsRegular(t.path), t.regular) << t.path;
    EXPECT_EQ(fileIsFifo(t.path), t.fifo) << t.path;
    EXPECT_EQ(dirExists(t.path), t.directory) << t.path;
    if (t.directory == 0) {
      EXPECT_EQ(fileSize(t.path), t.size) << t.path;
    }
  }
}

TEST_F(FilePathsTest, CreateSizedAndCopy) {
  EXPECT_EQ(fileCreateSized("sparse", 100000, 1000000000), nullptr);
  EXPECT_EQ(fileSize("sparse"), 100000u);
  EXPECT_EQ(readAll("sparse").back(), 'X');
  struct stat info;
  ASSERT_EQ(stat("sparse", &info), 0);
  EXPECT_EQ(info.st_mtime, 1000000000);
  EXPECT_EQ(fileCreateSized("empty", 0, 0), nullptr);
  EXPECT_EQ(fileSize("empty"), 0u);

  // A planted symbolic link is not followed.
  writeText("victim", "keep");
  ASSERT_EQ(symlink("victim", "link"), 0);
  EXPECT_NE(fileCreateSized("link", 10, 0), nullptr);
  EXPECT_EQ(readAll("victim"), "keep");

  std::string data;
  for (int i = 0; i < 40000; i++) data += static_cast<char>(i * 7 + i / 256);
  writeText("source", data);
  EXPECT_EQ(fileCopy("source", "copy"), nullptr);
  EXPECT_EQ(readAll("copy"), data);
  EXPECT_EQ(std::string(fileCopy("missing", "copy2")).rfind("Can't open file 'missing': ", 0), 0u);
}

TEST_F(FilePathsTest, NamesAndTemplates) {
  EXPECT_STREQ(fileSafeName("a b/c:d-e+f.g_h\xc3\xa4"), "a_b_c_d-e+f.g_h__");

  struct Case {
    const char *templateText;
    int number;
    const char *expected;
  } cases[] = {
      {"img%03n.png", 7, "img007.png"},
      {"[%-4N]", 7, "[7   ]"},
      {"%n-%n", 12, "12-12"},
      {"100%%n", 3, "100%%n"},
      {"%Y-%n", 5, "%Y-5"},
      {"plain", 1, "plain"},
      {"tail%", 1, "tail%"},
  };
  for (const Case &t : cases) {
    char out[kFilePathSize];
    fileNameTemplate(t.templateText, t.number, out);
    EXPECT_STREQ(out, t.expected) << t.templateText;
  }
  char out[kFilePathSize];
  fileNameTemplate(std::string(5000, 'a').c_str(), 1, out);  // stops at the buffer's end
  EXPECT_EQ(strlen(out), kFilePathSize - 1);

  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(fileTemplateName("log-%Y%m%d-%02n%%", 3, 86400), "log-19700102-03%");
  EXPECT_EQ(fileTemplatePath("f%n", 9, 0), dir + "/f9");
}

TEST_F(FilePathsTest, AppendLine) {
  EXPECT_EQ(fileAppendLine("log.txt", "first %d", 1), nullptr);
  EXPECT_EQ(fileAppendLine("log.txt", "second"), nullptr);
  std::string text = readAll("log.txt");
  size_t split = text.find('\n');
  ASSERT_NE(split, std::string::npos);
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(text.substr(split - 7, 8), "first 1\n");
  EXPECT_EQ(text.substr(text.size() - 7), "second\n");
  EXPECT_NE(fileAppendLine("nodir/log.txt", "x"), nullptr);
}

TEST_F(FilePathsTest, GlobNeverUsesAShell) {
  writeText("b.txt", "");
  writeText("a.txt", "");
  writeText("c.log", "");
  writeText("x; touch pwned $(touch pwned2)", "");
  int count = 0;
  char **array = nullptr;
  EXPECT_EQ(fileGlob("*.txt", &count, &array), nullptr);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(array[0], dir + "/a.txt");
  EXPECT_EQ(array[1], dir + "/b.txt");
  strArrayFree(count, array);

  count = 0;
  array = nullptr;
  EXPECT_EQ(fileGlob("x; touch pwned $(touch pwned2)", &count, &array), nullptr);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(array[0], dir + "/x; touch pwned $(touch pwned2)");
  EXPECT_EQ(access("pwned", F_OK), -1);
  EXPECT_EQ(access("pwned2", F_OK), -1);
  strArrayFree(count, array);

  count = 0;
  array = nullptr;
  EXPECT_EQ(fileGlob("*.none", &count, &array), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(array, nullptr);
}

TEST(FileNumbers, PercentAndDecimal) {
  struct Case {
    int64_t a, b, expected;
  } cases[] = {
      {100, 150, 50}, {200, 100, -50}, {3, 1, -67}, {0, 5, 0}, {1, INT64_MAX, INT64_MAX},
  };
  for (const Case &t : cases) EXPECT_EQ(mathPercentChange(t.a, t.b), t.expected) << t.a << " " << t.b;
  EXPECT_STREQ(strU64Static(18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(strParseU64Blank("  1234x"), 1234u);
  EXPECT_EQ(strParseU64Blank("none"), 0u);
}

TEST(FilePathParts, DirectoryAndDirname) {
  struct Case {
    const char *path;
    const char *directory;
    const char *dirname;
  } cases[] = {
      {"/a/b/c", "/a/b/", "/a/b"},
      {"a/", "a/", "a"},
      {"name", "", "name"},
      {"/top", "/", ""},
  };
  for (const Case &t : cases) {
    EXPECT_STREQ(pathDirectory(t.path), t.directory) << t.path;
    EXPECT_STREQ(pathDirname(t.path), t.dirname) << t.path;
  }
}

TEST_F(FilePathsTest, DirectoryQueries) {
  EXPECT_EQ(dirIsEmpty("missing"), 0);
  EXPECT_EQ(dirFirstEntry("missing"), nullptr);
  mkdir("d", 0700);
  EXPECT_EQ(dirIsEmpty("d"), 1);
  EXPECT_EQ(dirFirstEntry("d"), nullptr);
  writeText("d/one", "123");
  writeText("d/two", "4567");
  EXPECT_EQ(dirIsEmpty("d"), 0);
  const char *first = dirFirstEntry("d");
  EXPECT_TRUE(first && (strcmp(first, "one") == 0 || strcmp(first, "two") == 0));

  struct timespec times[2] = {{5000, 0}, {5000, 0}};
  utimensat(AT_FDCWD, "d/two", times, 0);
  times[0].tv_sec = times[1].tv_sec = 4000;
  utimensat(AT_FDCWD, "d/one", times, 0);
  uint64_t bytes = 0;
  time_t newest = 0;
  EXPECT_EQ(dirUsage("d", &bytes, &newest), nullptr);
  EXPECT_EQ(bytes, 7u);
  EXPECT_EQ(newest, 5000);
  EXPECT_NE(dirUsage("missing", &bytes, &newest), nullptr);
}

TEST_F(FilePathsTest, MakeTemp) {
  char *path = nullptr;
  std::string prefix = dir + "/tmp-";
  EXPECT_EQ(dirMakeTemp(prefix.c_str(), nullptr, &path), nullptr);
  ASSERT_NE(path, nullptr);
  std::string made = path;
  free(path);
  ASSERT_EQ(made.size(), prefix.size() + 8);
  EXPECT_EQ(made.rfind(prefix, 0), 0u);
  EXPECT_EQ(made.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", prefix.size()),
            std::string::npos);
  EXPECT_EQ(dirExists(made.c_str()), 1);
  EXPECT_EQ(dirMakeTemp(prefix.c_str(), "abc", &path), nullptr);
  EXPECT_EQ(strlen(path), prefix.size() + 11);
  free(path);

  std::string bad = dir + "/missing/tmp-";
  EXPECT_NE(dirMakeTemp(bad.c_str(), nullptr, &path), nullptr);
  EXPECT_EQ(path, nullptr);
}

TEST_F(FilePathsTest, CopyAndRemoveTrees) {
  mkdir("src", 0700);
  mkdir("src/sub", 0700);
  writeText("src/a", "alpha");
  writeText("src/sub/b", "beta");
  ASSERT_EQ(symlink("a", "src/link"), 0);
  EXPECT_EQ(dirCopy("src", "dst"), nullptr);
  EXPECT_EQ(readAll("dst/a"), "alpha");
  EXPECT_EQ(readAll("dst/sub/b"), "beta");
  char target[64] = "";
  ASSERT_GT(readlink("dst/link", target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "a");

  // A copy into a directory inside its own source ends.
  EXPECT_EQ(dirCopy("src", "src/sub/inner"), nullptr);
  EXPECT_EQ(readAll("src/sub/inner/a"), "alpha");
  EXPECT_EQ(dirExists("src/sub/inner/sub/inner"), 0);

  EXPECT_EQ(std::string(dirCopy("missing", "dst2")).rfind("Can't open directory 'missing': ", 0), 0u);

  // Removal takes symbolic links away without following them.
  mkdir("outside", 0700);
  writeText("outside/keep", "kept");
  ASSERT_EQ(symlink((dir + "/outside").c_str(), "dst/escape"), 0);
  EXPECT_EQ(dirRemove("dst"), nullptr);
  EXPECT_EQ(dirExists("dst"), 0);
  EXPECT_EQ(readAll("outside/keep"), "kept");
  EXPECT_EQ(std::string(dirRemove("dst")).rfind("Can't open directory 'dst': ", 0), 0u);
}

}  // namespace
