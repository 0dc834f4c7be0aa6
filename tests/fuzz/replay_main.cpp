// The replay driver: runs a fuzz target's entry on every file of the files and directories
// given (directories one level deep, in name order), so that the corpus runs as a test in a
// build without libFuzzer. Exits non-zero when nothing was given or a path cannot be read; a
// fault in the target ends the process through the sanitizers. TARVO_REPLAY_TIMEOUT (seconds,
// unset or 0: none): an input that runs longer ends the process with its name, as a hang.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzzharness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool readFile(const std::string &path, std::vector<uint8_t> *bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The regular files of a path: itself, or a directory's entries in name order.
bool collect(const std::string &path, std::vector<std::string> *files) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) {
    files->push_back(path);
    return true;
  }
  DIR *directory = opendir(path.c_str());
  if (!directory) return false;
  std::vector<std::string> names;
  while (dirent *entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string full = path + "/" + name;
    if (stat(full.c_str(), &status) == 0 && S_ISREG(status.st_mode)) names.push_back(full);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  files->insert(files->end(), names.begin(), names.end());
  return true;
}

// The input running now, for the time-out's message (written before each input, read only by
// the handler).
char runningInput[4096];

void timedOut(int) {
  static const char text[] = "replay: time-out (a hang) in input ";
  ssize_t ignored = write(2, text, sizeof text - 1);
  ignored = write(2, runningInput, strlen(runningInput));
  ignored = write(2, "\n", 1);
  (void)ignored;
  _exit(3);
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++)
    if (!collect(argv[i], &files)) {
      fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 2;
    }
  if (files.empty()) {
    fprintf(stderr, "replay: no inputs (usage: %s FILE-OR-DIRECTORY...)\n", argv[0]);
    return 2;
  }
  const char *timeoutText = getenv("TARVO_REPLAY_TIMEOUT");
  unsigned timeout = timeoutText ? unsigned(strtoul(timeoutText, nullptr, 10)) : 0;
  if (timeout) signal(SIGALRM, timedOut);
  std::vector<uint8_t> bytes;
  for (const std::string &file : files) {
    if (!readFile(file, &bytes)) {
      fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    snprintf(runningInput, sizeof runningInput, "%s", file.c_str());
    alarm(timeout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    alarm(0);
  }
  fuzzShutdown();
  printf("replay: %zu inputs run\n", files.size());
  return 0;
}
