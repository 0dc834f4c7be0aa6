// The RGB to YUV lookup table and its cache file: values, size and mode, replacement of bad
// files, the environment, and rebuilding while other processes read or rebuild.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "conversions/rgb24toyuv.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "yuv_helpers.h"

namespace {

std::string captured;
void captureHook(LogChannel *channel, const char *, int, const char *message) {
  captured += std::string(channel->name) + ": " + message + "\n";
}

// Lines of /proc/self/maps that map a cache file.
int cacheMappings() {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) count += line.find(kRgb24toyuvCacheName) != std::string::npos;
  return count;
}

// Every entry of the table (or of a file's bytes) against the reference; the first mismatch.
std::string firstMismatch(const uint8_t *table) {
  for (int r = 0; r < 256; r++)
    for (int g = 0; g < 256; g++)
      for (int b = 0; b < 256; b++) {
        const uint8_t *entry = table + 3 * ((r << 16) | (g << 8) | b);
        if (YuvTriple{entry[0], entry[1], entry[2]} != referenceYuv(r, g, b))
          return std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b);
      }
  return "";
}

// The file mapped privately for checking, or "" when it has the wrong size.
std::string checkFile(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) return "cannot open " + path;
  if (static_cast<uint64_t>(status.st_size) != kRgb24toyuvCacheSize) {
    close(fd);
    return "size " + std::to_string(status.st_size);
  }
  void *map = mmap(nullptr, kRgb24toyuvCacheSize, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return "cannot map";
  std::string mismatch = firstMismatch(static_cast<const uint8_t *>(map));
  munmap(map, kRgb24toyuvCacheSize);
  if ((status.st_mode & 07777) != 0444) return "mode " + std::to_string(status.st_mode & 07777);
  return mismatch.empty() ? "" : "entry " + mismatch;
}

class CacheTest : public ::testing::Test {
 protected:
  std::string dir, file;

  void SetUp() override {
    static char arg0[] = "tarvo";
    char *argv[] = {arg0, nullptr};
    logInit(1, argv, "8.1", "test");
    logOutputHook = captureHook;
    captured.clear();
    char pattern[] = "/tmp/rgb24toyuvXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    file = dir + "/" + kRgb24toyuvCacheName;
    setenv(kRgb24toyuvVariable, dir.c_str(), 1);
  }
  void TearDown() override {
    while (rgb24toyuvTable()) rgb24toyuvFree();
    logOutputHook = logEmit;
    unsetenv(kRgb24toyuvVariable);
    std::filesystem::remove_all(dir);
  }
  void writeSized(uint64_t size) {
    std::ofstream out(file, std::ios::binary);
    out << std::string(size, 'x');
  }
  // Runs body in a child process; returns its wait status.
  template <typename Body>
  static pid_t spawn(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
      alarm(60);
      _exit(body());
    }
    return pid;
  }
  static int reap(pid_t pid) {
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
  }
};

// The five named colours, by the formula and through a created table; the created file has
// the exact size and mode 0444, every entry equals the reference, and freeing unmaps it.
TEST_F(CacheTest, CreatedTableMatchesReference) {
  struct {
    int r, g, b;
    YuvTriple yuv;
  } colours[] = {{0, 0, 0, {16, 128, 128}},     {255, 255, 255, {235, 128, 128}}, {255, 0, 0, {81, 90, 240}},
                 {0, 255, 0, {144, 54, 34}},    {0, 0, 255, {41, 240, 110}}};
  ASSERT_EQ(rgb24toyuvInit(), nullptr);
  const uint8_t *table = rgb24toyuvTable();
  ASSERT_NE(table, nullptr);
  for (const auto &c : colours) {
    YuvTriple formula;
    rgb24toyuvPixel(static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g), static_cast<uint8_t>(c.b), &formula.y,
                    &formula.u, &formula.v);
    const uint8_t *entry = table + 3 * ((c.r << 16) | (c.g << 8) | c.b);
    EXPECT_EQ(formula, c.yuv) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ((YuvTriple{entry[0], entry[1], entry[2]}), c.yuv) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(referenceYuv(c.r, c.g, c.b), c.yuv);  // the reference itself agrees with the known values
  }
  EXPECT_EQ(firstMismatch(table), "");
  EXPECT_EQ(checkFile(file), "");
  EXPECT_NE(captured.find("warning: Can't open cache file '" + file + "': "), std::string::npos) << captured;
  EXPECT_NE(captured.find("note: Creating cache file '" + file + "'"), std::string::npos) << captured;
  EXPECT_EQ(cacheMappings(), 1);
  rgb24toyuvFree();
  EXPECT_EQ(rgb24toyuvTable(), nullptr);
  EXPECT_EQ(cacheMappings(), 0);
  // The next user maps the file that is there, without rebuilding it.
  captured.clear();
  ASSERT_EQ(rgb24toyuvInit(), nullptr);
  EXPECT_EQ(captured, "");
  EXPECT_EQ(std::filesystem::directory_iterator(dir)->path(), file);  // no temporary left over
}

// Files of a wrong size are refused without recreation and replaced with it, with the warning.
TEST_F(CacheTest, BadSizesAreReplaced) {
  for (uint64_t size : {uint64_t{1024}, kRgb24toyuvCacheSize + 1, uint64_t{0}}) {
    SCOPED_TRACE(size);
    writeSized(size);
    std::string warning = "Invalid or corrupted cache file '" + file + "'.";
    const char *refused = rgb24toyuvOpenCache(false);
    EXPECT_STREQ(refused, warning.c_str());
    EXPECT_EQ(rgb24toyuvTable(), nullptr);
    captured.clear();
    ASSERT_EQ(rgb24toyuvInit(), nullptr);
    EXPECT_NE(captured.find("warning: " + warning + "\nnote: Creating cache file '" + file + "'\n"), std::string::npos) << captured;
    EXPECT_EQ(checkFile(file), "");
    rgb24toyuvFree();
    std::filesystem::remove(file);
  }
  EXPECT_STREQ(rgb24toyuvOpenCache(false), ("Can't open cache file '" + file + "': " + strErrno(ENOENT) + ".").c_str());
}

// The environment: unset and empty values are refused with the wrapper text; a trailing '/'
// is not doubled; a value naming a regular file fails creation and leaves no mapping.
TEST_F(CacheTest, EnvironmentAndPath) {
  const char *unsetText = "Environment variable XMULTIMEDIA_SUPPORT not set - Be sure to start the wrapper script";
  unsetenv(kRgb24toyuvVariable);
  EXPECT_STREQ(rgb24toyuvInit(), unsetText);
  setenv(kRgb24toyuvVariable, "", 1);
  EXPECT_STREQ(rgb24toyuvOpenCache(true), unsetText);

  char path[4096];
  setenv(kRgb24toyuvVariable, (dir + "/").c_str(), 1);
  ASSERT_EQ(rgb24toyuvCachePath(path), nullptr);
  EXPECT_EQ(std::string(path), file);
  setenv(kRgb24toyuvVariable, std::string(4090, 'd').c_str(), 1);
  EXPECT_NE(rgb24toyuvCachePath(path), nullptr);  // longer than 4095 characters with the name

  std::string plain = dir + "/plain";
  std::ofstream(plain) << "not a directory";
  setenv(kRgb24toyuvVariable, plain.c_str(), 1);
  EXPECT_STREQ(rgb24toyuvInit(),
               ("Can't create cache file '" + plain + "/rgb24toyuv.cache': " + strErrno(ENOTDIR)).c_str());
  EXPECT_EQ(rgb24toyuvTable(), nullptr);
  EXPECT_EQ(cacheMappings(), 0);
}

// A process that has the cache mapped and reads every page while another rebuilds the file
// twice ends normally (no SIGBUS) and still sees the table it mapped.
TEST_F(CacheTest, ReaderSurvivesRebuild) {
  ASSERT_EQ(rgb24toyuvCreateCache(file.c_str()), nullptr);
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t reader = spawn([&] {
    if (rgb24toyuvOpenCache(false)) return 2;
    const volatile uint8_t *table = rgb24toyuvTable();
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) return 3;
    fcntl(done[0], F_SETFL, O_NONBLOCK);
    unsigned sum = 0;
    do
      for (uint64_t offset = 0; offset < kRgb24toyuvCacheSize; offset += 4096) sum += table[offset];
    while (read(done[0], &byte, 1) != 1);
    for (uint64_t offset = 0; offset < kRgb24toyuvCacheSize; offset += 4096) sum += table[offset];
    return firstMismatch(const_cast<const uint8_t *>(table)).empty() && sum ? 0 : 4;
  });
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(rgb24toyuvCreateCache(file.c_str()), nullptr);
  writeSized(1024);  // a damaged file found by the next opener, which rebuilds it
  EXPECT_EQ(rgb24toyuvInit(), nullptr);
  rgb24toyuvFree();
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = reap(reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : std::to_string(WEXITSTATUS(status)));
  EXPECT_EQ(checkFile(file), "");
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// Two processes that find a damaged file at once both rebuild it; one valid file remains and
// no temporary file is left behind.
TEST_F(CacheTest, TwoRebuildersLeaveOneValidFile) {
  writeSized(1024);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t builders[2];
  for (pid_t &builder : builders)
    builder = spawn([&] {
      char byte;
      if (read(go[0], &byte, 1) != 1) return 2;
      const char *failure = rgb24toyuvInit();
      return failure ? 3 : 0;
    });
  ASSERT_EQ(write(go[1], "xx", 2), 2);
  for (pid_t builder : builders) {
    int status = reap(builder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(checkFile(file), "");
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) files += entry.path() == file ? 1 : 100;
  EXPECT_EQ(files, 1);
  close(go[0]);
  close(go[1]);
}

}  // namespace
