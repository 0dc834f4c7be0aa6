// Paths, file tests and file and directory operations, in temporary directories.
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "support/strings.h"

namespace {

std::string readAll(const std::string &path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
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
    if (const char *home = getenv("HOME")) savedHome = home;
    std::string base = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/filesXXXXXX");
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    dir = std::filesystem::canonical(base);
    std::filesystem::current_path(dir);
    mkdir("home", 0700);
    setenv("HOME", (dir + "/home").c_str(), 1);
  }
  void TearDown() override {
    std::filesystem::current_path("/");
    savedHome.empty() ? unsetenv("HOME") : setenv("HOME", savedHome.c_str(), 1);
    std::filesystem::remove_all(dir);
  }
  std::string dir, savedHome;
};

// "~/" is HOME (or "/"), "./" is dropped, other relative paths start at the current directory.
// Directory paths end in '/' and must fit.
TEST_F(FilePathsTest, AbsolutePathsAndNames) {
  std::pair<const char *, std::string> cases[] = {{"~/x", dir + "/home/x"}, {"./a", dir + "/a"},
                                                  {"a/b", dir + "/a/b"},    {"/abs/olute", "/abs/olute"},
                                                  {"~", dir + "/~"},        {".hidden", dir + "/.hidden"}};
  for (auto &[path, expected] : cases) EXPECT_EQ(fileAbsolutePath(path), expected) << path;
  EXPECT_EQ(dirCurrent(), dir + "/");
  unsetenv("HOME");
  EXPECT_STREQ(fileAbsolutePath("~/x"), "/x");

  char out[kFilePathSize], small[8];
  EXPECT_EQ(pathAbsoluteDir("sub", out, sizeof out), nullptr);
  EXPECT_EQ(out, dir + "/sub/");
  EXPECT_NE(pathAbsoluteDir("/a/long/path", small, sizeof small), nullptr);  // does not fit

  // Safe names, number conversions with flags (other conversions and "%%" kept for strftime),
  // the buffer limit, and the time expansion.
  EXPECT_STREQ(fileSafeName("a b/c:d-e+f.g_h\xc3\xa4"), "a_b_c_d-e+f.g_h__");
  const char *templates[][2] = {{"img%03n.png", "img007.png"}, {"[%-4N]", "[7   ]"}, {"%n-%n", "7-7"},
                                {"100%%n", "100%%n"},          {"%Y-%n", "%Y-7"},   {"tail%", "tail%"}};
  for (auto &[templateText, expected] : templates) {
    fileNameTemplate(templateText, 7, out);
    EXPECT_STREQ(out, expected) << templateText;
  }
  fileNameTemplate(std::string(5000, 'a').c_str(), 1, out);
  EXPECT_EQ(strlen(out), kFilePathSize - 1);
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(fileTemplateName("log-%Y%m%d-%02n%%", 3, 86400), "log-19700102-03%");
  EXPECT_EQ(fileTemplatePath("f%n", 9, 0), dir + "/f9");
}

// Regular means "exists and is no directory"; sizes of missing paths are 0.
TEST_F(FilePathsTest, FileTestsCreateAndCopy) {
  writeText("plain", "12345");
  mkdir("directory", 0700);
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  std::tuple<const char *, std::vector<int>, uint64_t> cases[] = {  // regular, fifo, directory; size
      {"plain", {1, 0, 0}, 5}, {"directory", {0, 0, 1}, 0}, {"fifo", {1, 1, 0}, 0}, {"missing", {0, 0, 0}, 0}};
  for (auto &[path, kinds, size] : cases) {
    EXPECT_EQ(std::vector<int>({fileIsRegular(path), fileIsFifo(path), dirExists(path)}), kinds) << path;
    if (kinds[2]) continue;  // a directory's size depends on the file system
    EXPECT_EQ(fileSize(path), size) << path;
  }

  // Sized files end in 'X' and carry the time; a planted link is not followed; copies are exact.
  EXPECT_EQ(fileCreateSized("sparse", 100000, 1000000000), nullptr);
  std::string sparse = readAll("sparse");
  EXPECT_TRUE(sparse.size() == 100000 && sparse.back() == 'X');
  struct stat info;
  EXPECT_TRUE(stat("sparse", &info) == 0 && info.st_mtime == 1000000000);
  writeText("victim", "keep");
  ASSERT_EQ(symlink("victim", "link"), 0);
  EXPECT_NE(fileCreateSized("link", 10, 0), nullptr);
  EXPECT_EQ(readAll("victim"), "keep");

  std::string data;
  for (int i = 0; i < 40000; i++) data += static_cast<char>(i * 7 + i / 256);
  writeText("source", data);
  EXPECT_EQ(fileCopy("source", "copy"), nullptr);
  EXPECT_EQ(readAll("copy"), data);
  EXPECT_TRUE(std::string(fileCopy("missing", "copy2")).starts_with("Can't open file 'missing': "));
}

// Each appended line starts with the time stamp. Glob matches are absolute and sorted; a name
// full of shell syntax is matched, never run.
TEST_F(FilePathsTest, AppendLineAndGlob) {
  EXPECT_EQ(fileAppendLine("log", "first %d", 1), nullptr);
  EXPECT_EQ(fileAppendLine("log", "second"), nullptr);
  std::string text = readAll("log");
  EXPECT_TRUE(text.starts_with("[") && text.find("] first 1\n[") != std::string::npos && text.ends_with("] second\n"))
      << text;
  EXPECT_NE(fileAppendLine("nodir/log", "x"), nullptr);

  const char *odd = "x; touch pwned $(touch pwned2)";
  for (const char *name : {"b.txt", "a.txt", "c.log", odd}) writeText(name, "");
  std::pair<const char *, std::vector<std::string>> cases[] = {
      {"*.txt", {dir + "/a.txt", dir + "/b.txt"}}, {odd, {dir + "/" + odd}}, {"*.none", {}}};
  for (auto &[pattern, expected] : cases) {
    int count = 0;
    char **array = nullptr;
    EXPECT_EQ(fileGlob(pattern, &count, &array), nullptr);
    EXPECT_EQ(std::vector<std::string>(array, array + count), expected) << pattern;
    strArrayFree(count, array);
  }
  EXPECT_TRUE(access("pwned", F_OK) != 0 && access("pwned2", F_OK) != 0);
}

// Percent changes (rounded, saturating), decimal texts and the parts of a path.
TEST(FileNumbers, PercentDecimalAndPathParts) {
  int64_t percent[][3] = {{100, 150, 50}, {200, 100, -50}, {3, 1, -67}, {0, 5, 0}, {1, INT64_MAX, INT64_MAX}};
  for (auto &t : percent) EXPECT_EQ(mathPercentChange(t[0], t[1]), t[2]) << t[0] << " " << t[1];
  EXPECT_STREQ(strU64Static(18446744073709551615ULL), "18446744073709551615");
  EXPECT_TRUE(strParseU64Blank("  1234x") == 1234u && strParseU64Blank("none") == 0u);
  const char *paths[][3] = {{"/a/b/c", "/a/b/", "/a/b"}, {"a/", "a/", "a"}, {"name", "", "name"}, {"/top", "/", ""}};
  for (auto &[path, directory, dirname] : paths) {
    EXPECT_STREQ(pathDirectory(path), directory) << path;
    EXPECT_STREQ(pathDirname(path), dirname) << path;
  }
}

// Emptiness, first entry and usage; a missing directory is not empty.
TEST_F(FilePathsTest, DirectoryQueriesAndTemporaryDirectories) {
  EXPECT_TRUE(dirIsEmpty("missing") == 0 && dirFirstEntry("missing") == nullptr);
  mkdir("d", 0700);
  EXPECT_TRUE(dirIsEmpty("d") == 1 && dirFirstEntry("d") == nullptr);
  writeText("d/one", "123");
  writeText("d/two", "4567");
  EXPECT_EQ(dirIsEmpty("d"), 0);
  const char *first = dirFirstEntry("d");
  EXPECT_TRUE(first && (strcmp(first, "one") == 0 || strcmp(first, "two") == 0));
  struct timespec times[2] = {{5000, 0}, {5000, 0}};
  utimensat(AT_FDCWD, "d/two", times, 0);
  uint64_t bytes = 0;
  time_t newest = 0;
  EXPECT_EQ(dirUsage("d", &bytes, &newest), nullptr);
  EXPECT_TRUE(bytes == 7u && newest > 5000) << bytes << " " << newest;  // "one" is newer
  EXPECT_NE(dirUsage("missing", &bytes, &newest), nullptr);

  // Temporary names are the prefix and 8 (or suffix length + 8) random characters; only the
  // owner may enter the directory; a missing parent is an error.
  std::string prefix = dir + "/tmp-";
  char *path = nullptr;
  for (const char *suffix : {static_cast<const char *>(nullptr), "abc"}) {
    ASSERT_EQ(dirMakeTemp(prefix.c_str(), suffix, &path), nullptr);
    std::string made = path;
    free(path);
    EXPECT_EQ(made.size(), prefix.size() + (suffix ? 11 : 8));
    auto alphanumeric = [](unsigned char c) { return isalnum(c) != 0; };
    EXPECT_TRUE(std::all_of(made.begin() + prefix.size(), made.end(), alphanumeric)) << made;
    struct stat info;
    EXPECT_TRUE(stat(made.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & 077) == 0);
  }
  EXPECT_NE(dirMakeTemp((dir + "/missing/tmp-").c_str(), nullptr, &path), nullptr);
  EXPECT_EQ(path, nullptr);
}

// Trees copy with their links (also into a directory inside the source) and are removed
// without following links.
TEST_F(FilePathsTest, CopyAndRemoveTrees) {
  std::filesystem::create_directories("src/sub");
  writeText("src/a", "alpha");
  writeText("src/sub/b", "beta");
  ASSERT_EQ(symlink("a", "src/link"), 0);
  EXPECT_EQ(dirCopy("src", "dst"), nullptr);
  EXPECT_EQ(readAll("dst/a") + readAll("dst/sub/b"), "alphabeta");
  EXPECT_EQ(std::filesystem::read_symlink("dst/link"), "a");
  EXPECT_EQ(dirCopy("src", "src/sub/inner"), nullptr);
  EXPECT_EQ(readAll("src/sub/inner/a"), "alpha");
  EXPECT_EQ(dirExists("src/sub/inner/sub/inner"), 0);
  EXPECT_TRUE(std::string(dirCopy("missing", "dst2")).starts_with("Can't open directory 'missing': "));

  mkdir("outside", 0700);
  writeText("outside/keep", "kept");
  ASSERT_EQ(symlink((dir + "/outside").c_str(), "dst/escape"), 0);
  ASSERT_EQ(mkfifo("dst/sub/fifo", 0600), 0);
  EXPECT_EQ(dirRemove("dst"), nullptr);
  EXPECT_TRUE(dirExists("dst") == 0 && readAll("outside/keep") == "kept");
  EXPECT_TRUE(std::string(dirRemove("dst")).starts_with("Can't open directory 'dst': "));

  // A link given as the top path is removed as a link; its target keeps its entries.
  ASSERT_EQ(symlink((dir + "/outside").c_str(), "toplink"), 0);
  EXPECT_EQ(dirRemove("toplink"), nullptr);
  struct stat status;
  EXPECT_NE(lstat("toplink", &status), 0);
  EXPECT_EQ(readAll("outside/keep"), "kept");
  writeText("plain", "p");  // a plain file is no directory and stays
  EXPECT_TRUE(std::string(dirRemove("plain")).starts_with("Can't open directory 'plain': "));
  EXPECT_EQ(readAll("plain"), "p");
}

}  // namespace
