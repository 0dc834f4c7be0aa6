// Paths, file tests and file and directory operations.
#include "support/files.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/datapack.h"
#include "support/strings.h"

namespace {

constexpr size_t kFileCopyChunk = 16384;

// Joins a directory and an entry name with one '/'.
std::string joinPath(const std::string &dir, const char *name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool isDotEntry(const char *name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

struct DirCloser {
  DIR *dir;
  ~DirCloser() {
    if (dir) closedir(dir);
  }
};

struct FdCloser {
  int fd;
  bool owned;
  ~FdCloser() {
    if (owned && fd >= 0) close(fd);
  }
};

// Writes all of data; 0 on success, else errno.
int writeAll(int fd, const char *data, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    if (w == 0) return EIO;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// The absolute form of a path as std::string (see fileAbsolutePath).
std::string absolutePath(const char *path) {
  if (path[0] == '/') return path;
  if (path[0] == '~' && path[1] == '/') {
    std::string home = getenv("HOME") ? getenv("HOME") : "/";
    while (!home.empty() && home.back() == '/') home.pop_back();
    return home + (path + 1);
  }
  if (path[0] == '.' && path[1] == '/') path += 2;
  return std::string(dirCurrent()) + path;
}

}  // namespace

const char *dirCurrent() {
  static char text[kFilePathSize];
  if (!getcwd(text, sizeof text - 1)) return strcpy(text, "/");
  size_t n = strlen(text);
  if (n == 0 || text[n - 1] != '/') strcpy(text + n, "/");
  return text;
}

const char *fileAbsolutePath(const char *path) {
  static char text[kFilePathSize];
  strCopy(text, absolutePath(path).c_str(), sizeof text);
  return text;
}

const char *pathAbsoluteDir(const char *path, char *destination, size_t size) {
  std::string result = absolutePath(path);
  if (result.empty() || result.back() != '/') result += '/';
  if (result.size() + 1 > size) return strTempPrintf("Path too long: '%s'", path);
  memcpy(destination, result.c_str(), result.size() + 1);
  return nullptr;
}

int fileIsRegular(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

int fileIsFifo(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISFIFO(info.st_mode);
}

uint64_t fileSize(const char *path) {
  struct stat info;
  if (stat(path, &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

const char *fileCreateSized(const char *path, uint64_t size, time_t time) {
  bool toStdout = strcmp(path, "-") == 0;
  // A planted symbolic link is not followed.
  int fd = toStdout ? STDOUT_FILENO : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return strTempPrintf("Can't write file '%s': %s", path, strErrno(errno));
  FdCloser closer{fd, !toStdout};
  if (size > 0) {
    int error = size - 1 > static_cast<uint64_t>(LLONG_MAX) ? EFBIG : 0;
    if (!error && lseek(fd, static_cast<off_t>(size - 1), SEEK_SET) < 0) error = errno;
    if (error)
      return strTempPrintf("Can't seek to %llu in file '%s': %s", static_cast<unsigned long long>(size - 1), path,
                           strErrno(error));
    if (int error = writeAll(fd, "X", 1)) return strTempPrintf("Can't write file '%s': %s", path, strErrno(error));
  }
  if (time > 0) {
    struct timespec times[2] = {{time, 0}, {time, 0}};
    if (futimens(fd, times) != 0) return strTempPrintf("Can't write file '%s': %s", path, strErrno(errno));
  }
  if (!toStdout) {
    closer.owned = false;
    if (close(fd) != 0) return strTempPrintf("Can't write file '%s': %s", path, strErrno(errno));
  }
  return nullptr;
}

const char *fileLargeFileTest() {
  const char *path = "/tmp/test.tmp";
  const uint64_t size = 5ULL << 30;
  if (const char *error = fileCreateSized(path, size, 0)) return error;
  const char *result = "No X";
  if (FILE *file = fopen(path, "re")) {
    if (fseeko(file, static_cast<off_t>(size - 1), SEEK_SET) == 0 && fgetc(file) == 'X') result = nullptr;
    fclose(file);
  }
  if (!result) {
    result = "No X";
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    char c = 0;
    if (fd >= 0 && lseek(fd, static_cast<off_t>(size - 1), SEEK_SET) >= 0 && read(fd, &c, 1) == 1 && c == 'X')
      result = nullptr;
    if (fd >= 0) close(fd);
  }
  unlink(path);
  return result;
}

const char *fileCopy(const char *source, const char *destination) {
  bool fromStdin = strcmp(source, "-") == 0;
  bool toStdout = strcmp(destination, "-") == 0;
  int in = fromStdin ? STDIN_FILENO : open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return strTempPrintf("Can't open file '%s': %s", source, strErrno(errno));
  FdCloser inCloser{in, !fromStdin};
  mode_t mode = 0644;
  struct stat info;
  if (!fromStdin && fstat(in, &info) == 0 && S_ISREG(info.st_mode)) mode = info.st_mode & 0777;
  int out = toStdout ? STDOUT_FILENO : open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (out < 0) return strTempPrintf("Can't write file '%s': %s", destination, strErrno(errno));
  FdCloser outCloser{out, !toStdout};
  char buffer[kFileCopyChunk];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return strTempPrintf("Can't read file '%s': %s", source, strErrno(errno));
    if (got == 0) break;
    if (int error = writeAll(out, buffer, static_cast<size_t>(got)))
      return strTempPrintf("Can't write file '%s': %s", destination, strErrno(error));
  }
  if (!toStdout) {
    outCloser.owned = false;
    if (close(out) != 0) return strTempPrintf("Can't write file '%s': %s", destination, strErrno(errno));
  }
  return nullptr;
}

const char *fileSafeName(const char *text) {
  static char name[kFilePathSize];
  size_t i = 0;
  for (; text[i] && i + 1 < sizeof name; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool safe = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                c == '+' || c == '.' || c == '_';
    name[i] = safe ? static_cast<char>(c) : '_';
  }
  name[i] = '\0';
  return name;
}

void fileNameTemplate(const char *templateText, int number, char *output) {
  char *out = output;
  char *end = output + kFilePathSize - 1;
  const char *p = templateText;
  auto put = [&](const char *text, size_t n) {
    size_t room = static_cast<size_t>(end - out);
    if (n > room) n = room;
    memcpy(out, text, n);
    out += n;
  };
  while (*p && out < end) {
    if (*p != '%') {
      put(p++, 1);
      continue;
    }
    if (p[1] == '%') {
      put(p, 2);
      p += 2;
      continue;
    }
    // A conversion: flags, width and precision, then its letter.
    const char *q = p + 1;
    while (*q && strchr("-0123456789.", *q)) q++;
    if (*q == 'n' || *q == 'N') {
      std::string format(p, q);
      format += 'd';
      char number_text[kFilePathSize];
      int n = snprintf(number_text, sizeof number_text, format.c_str(), number);
      if (n > 0) put(number_text, static_cast<size_t>(n) < sizeof number_text ? static_cast<size_t>(n) : sizeof number_text - 1);
      p = q + 1;
    } else {
      // Some other conversion (for strftime later): copied as it is.
      size_t n = static_cast<size_t>(q - p) + (*q ? 1 : 0);
      put(p, n);
      p += n;
    }
  }
  *out = '\0';
}

const char *fileTemplateName(const char *templateText, int number, time_t time) {
  char expanded[kFilePathSize];
  fileNameTemplate(templateText, number, expanded);
  char *text = strTempAlloc(kFilePathSize);
  struct tm local;
  if (!localtime_r(&time, &local) || strftime(text, kFilePathSize, expanded, &local) == 0) text[0] = '\0';
  return text;
}

const char *fileTemplatePath(const char *templateText, int number, time_t time) {
  return fileAbsolutePath(fileTemplateName(templateText, number, time));
}

const char *fileAppendLine(const char *path, const char *format, ...) {
  FILE *file = fopen(path, "ae");
  if (!file) return strTempPrintf("Can't open file '%s': %s", path, strErrno(errno));
  time_t now = time(nullptr);
  struct tm local;
  char stamp[64] = "";
  if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "[%b.%d %H:%M]", &local);
  fprintf(file, "%s ", stamp);
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
  if (fclose(file) != 0) return strTempPrintf("Can't write file '%s': %s", path, strErrno(errno));
  return nullptr;
}

const char *fileGlob(const char *pattern, int *count, char ***array) {
  std::string absolute = absolutePath(pattern);
  glob_t found;
  memset(&found, 0, sizeof found);
  int result = glob(absolute.c_str(), 0, nullptr, &found);
  if (result == GLOB_NOMATCH) {
    globfree(&found);
    return nullptr;
  }
  if (result == GLOB_NOSPACE) {
    globfree(&found);
    return OUT_OF_MEMORY_TEXT();
  }
  if (result != 0) {
    globfree(&found);
    return strTempPrintf("Can't expand '%s'", absolute.c_str());
  }
  for (size_t i = 0; i < found.gl_pathc; i++) {
    if (!strArrayAppend(count, array, found.gl_pathv[i])) {
      globfree(&found);
      return OUT_OF_MEMORY_TEXT();
    }
  }
  globfree(&found);
  return nullptr;
}

int64_t mathPercentChange(int64_t a, int64_t b) {
  if (a == 0) return 0;
  __int128 change = static_cast<__int128>(b) * 100 / a - 100;
  if (change > INT64_MAX) return INT64_MAX;
  if (change < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(change);
}

const char *strU64Static(uint64_t value) {
  static char text[24];
  snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
  return text;
}

uint64_t strParseU64Blank(const char *text) {
  uint64_t value = 0;
  strParseU64(text, &value);
  return value;
}

const char *pathDirectory(const char *path) {
  const char *slash = strrchr(path, '/');
  size_t n = slash ? static_cast<size_t>(slash - path) + 1 : 0;
  if (n >= kStrTempMaxRequest) n = kStrTempMaxRequest - 1;
  char *text = strTempAlloc(n + 1);
  memcpy(text, path, n);
  text[n] = '\0';
  return text;
}

const char *pathDirname(const char *path) {
  static char text[kFilePathSize];
  strCopy(text, path, sizeof text);
  if (char *slash = strrchr(text, '/')) *slash = '\0';
  return text;
}

int dirExists(const char *path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

int dirIsEmpty(const char *path) {
  DirCloser dir{opendir(path)};
  if (!dir.dir) return 0;
  while (struct dirent *entry = readdir(dir.dir)) {
    if (!isDotEntry(entry->d_name)) return 0;
  }
  return 1;
}

const char *dirFirstEntry(const char *path) {
  DirCloser dir{opendir(path)};
  if (!dir.dir) return nullptr;
  while (struct dirent *entry = readdir(dir.dir)) {
    if (!isDotEntry(entry->d_name)) return strTempDup(entry->d_name);
  }
  return nullptr;
}

const char *dirUsage(const char *path, uint64_t *bytes, time_t *newest) {
  *bytes = 0;
  *newest = 0;
  DirCloser dir{opendir(path)};
  if (!dir.dir) return strTempPrintf("Can't open directory '%s': %s", path, strErrno(errno));
  while (struct dirent *entry = readdir(dir.dir)) {
    if (isDotEntry(entry->d_name)) continue;
    struct stat info;
    if (lstat(joinPath(path, entry->d_name).c_str(), &info) != 0) continue;
    *bytes += static_cast<uint64_t>(info.st_size);
    if (info.st_mtime > *newest) *newest = info.st_mtime;
  }
  return nullptr;
}

const char *dirMakeTemp(const char *prefix, const char *suffix, char **path) {
  static const char kCharacters[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  *path = nullptr;
  size_t random = 8 + (suffix ? strlen(suffix) : 0);
  if (strlen(prefix) + random >= kFilePathSize) return strTempPrintf("Can't create directory '%s': %s", prefix, strErrno(ENAMETOOLONG));
  for (int attempt = 0; attempt < 1000; attempt++) {
    std::string name = prefix;
    std::string bytes(random, '\0');
    memRandomize(bytes.data(), bytes.size());
    for (char b : bytes) name += kCharacters[static_cast<unsigned char>(b) % (sizeof kCharacters - 1)];
    // Only the owner may enter: nobody else can plant or swap entries in it.
    if (mkdir(name.c_str(), 0700) == 0) {
      *path = strdup(name.c_str());
      if (!*path) {
        rmdir(name.c_str());
        return OUT_OF_MEMORY_TEXT();
      }
      return nullptr;
    }
    if (errno != EEXIST) return strTempPrintf("Can't create directory '%s': %s", name.c_str(), strErrno(errno));
  }
  return strTempPrintf("Can't create directory '%s': %s", prefix, strErrno(EEXIST));
}

namespace {

// Copies source into destination, skipping the entry that is the top destination itself (a
// copy into a directory inside its own source would otherwise never end).
const char *dirCopyTree(const std::string &source, const std::string &destination, dev_t skipDevice, ino_t skipInode) {
  DirCloser dir{opendir(source.c_str())};
  if (!dir.dir) return strTempPrintf("Can't open directory '%s': %s", source.c_str(), strErrno(errno));
  while (struct dirent *entry = readdir(dir.dir)) {
    if (isDotEntry(entry->d_name)) continue;
    std::string from = joinPath(source, entry->d_name);
    std::string to = joinPath(destination, entry->d_name);
    struct stat info;
    if (lstat(from.c_str(), &info) != 0) return strTempPrintf("Can't copy directory from '%s' to '%s': %s", from.c_str(), to.c_str(), strErrno(errno));
    if (info.st_dev == skipDevice && info.st_ino == skipInode) continue;
    if (S_ISDIR(info.st_mode)) {
      if (mkdir(to.c_str(), info.st_mode & 0777) != 0 && !(errno == EEXIST && dirExists(to.c_str())))
        return strTempPrintf("Can't copy directory from '%s' to '%s': %s", from.c_str(), to.c_str(), strErrno(errno));
      if (const char *error = dirCopyTree(from, to, skipDevice, skipInode)) return error;
    } else if (S_ISLNK(info.st_mode)) {
      char target[kFilePathSize];
      ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
      if (n < 0) return strTempPrintf("Can't copy directory from '%s' to '%s': %s", from.c_str(), to.c_str(), strErrno(errno));
      target[n] = '\0';
      if (symlink(target, to.c_str()) != 0)
        return strTempPrintf("Can't copy directory from '%s' to '%s': %s", from.c_str(), to.c_str(), strErrno(errno));
    } else if (S_ISREG(info.st_mode)) {
      if (const char *error = fileCopy(from.c_str(), to.c_str())) return error;
    }
  }
  return nullptr;
}

}  // namespace

const char *dirCopy(const char *source, const char *destination) {
  struct stat info;
  if (stat(source, &info) != 0) return strTempPrintf("Can't open directory '%s': %s", source, strErrno(errno));
  if (!S_ISDIR(info.st_mode)) return strTempPrintf("Can't open directory '%s': %s", source, strErrno(ENOTDIR));
  if (mkdir(destination, info.st_mode & 0777) != 0 && !(errno == EEXIST && dirExists(destination)))
    return strTempPrintf("Can't copy directory from '%s' to '%s': %s", source, destination, strErrno(errno));
  struct stat top;
  if (stat(destination, &top) != 0)
    return strTempPrintf("Can't copy directory from '%s' to '%s': %s", source, destination, strErrno(errno));
  return dirCopyTree(source, destination, top.st_dev, top.st_ino);
}

namespace {

// Removes every entry of the open directory fd (which it closes); shown names it in texts.
// Entries are reached relative to their directory and subdirectories are opened without
// following symbolic links, so an entry swapped for a link meanwhile never leads outside.
const char *dirRemoveEntries(int fd, const std::string &shown) {
  DirCloser dir{fdopendir(fd)};
  if (!dir.dir) {
    int error = errno;
    close(fd);
    return strTempPrintf("Can't open directory '%s': %s", shown.c_str(), strErrno(error));
  }
  int parent = dirfd(dir.dir);
  while (struct dirent *entry = readdir(dir.dir)) {
    if (isDotEntry(entry->d_name)) continue;
    std::string child = joinPath(shown, entry->d_name);
    int sub = openat(parent, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) {
      if (const char *error = dirRemoveEntries(sub, child)) return error;
      if (unlinkat(parent, entry->d_name, AT_REMOVEDIR) != 0)
        return strTempPrintf("Can't remove directory '%s': %s", child.c_str(), strErrno(errno));
    } else if (errno != ENOTDIR && errno != ELOOP) {
      return strTempPrintf("Can't open directory '%s': %s", child.c_str(), strErrno(errno));
    } else if (unlinkat(parent, entry->d_name, 0) != 0) {
      return strTempPrintf("Can't remove file '%s': %s", child.c_str(), strErrno(errno));
    }
  }
  return nullptr;
}

}  // namespace

const char *dirRemove(const char *path) {
  // The top path is not followed either: a symbolic link is removed as a link, and the tree it
  // points to stays.
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    struct stat status;
    if ((error == ELOOP || error == ENOTDIR) && lstat(path, &status) == 0 && S_ISLNK(status.st_mode)) {
      if (unlink(path) != 0) return strTempPrintf("Can't remove file '%s': %s", path, strErrno(errno));
      return nullptr;
    }
    return strTempPrintf("Can't open directory '%s': %s", path, strErrno(error));
  }
  if (const char *error = dirRemoveEntries(fd, path)) return error;
  if (rmdir(path) != 0) return strTempPrintf("Can't remove directory '%s': %s", path, strErrno(errno));
  return nullptr;
}
