// The replay driver: runs a fuzz target's entry on every file of the files and directories
// given (directories one level deep, in name order), so that the corpus runs as a test in a
// build without libFuzzer. Exits non-zero when nothing was given or a path cannot be read; a
// fault in the target ends the process through the sanitizers.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
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
  std::vector<uint8_t> bytes;
  for (const std::string &file : files) {
    if (!readFile(file, &bytes)) {
      fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  fuzzShutdown();
  printf("replay: %zu inputs run\n", files.size());
  return 0;
}
