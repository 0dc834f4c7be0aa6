// Installation directories, path classes, the default log file and the product's version.

#include "proxy/files.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/datapack.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/strings.h"

char *const *filesConnectionName = nullptr;

namespace {

constexpr const char *kManualWebAddress = "https://www.morwentech.com/tarvo/manual/index.html";

const char *missingVariable(const char *name) {
  return strTempPrintf("Environment variable %s not set - Be sure to start the wrapper script", name);
}

// directory, "/" (unless the directory ends in "/" and slashAlways is 0), then the parts, cut
// to the buffer. The variable-data classes always put the "/" in.
void joinPath(char *out, const char *directory, const char *sub, const char *name, int slashAlways = 0) {
  size_t length = strCopy(out, directory, kFilesPathSize);
  if (slashAlways || length == 0 || out[length - 1] != '/') strAppend(out, "/", kFilesPathSize);
  if (sub) {
    strAppend(out, sub, kFilesPathSize);
    strAppend(out, "/", kFilesPathSize);
  }
  strAppend(out, name, kFilesPathSize);
}

// A name that names nothing yet in the directory: the prefix followed by six random letters
// and digits. It is only a name; the file is created later with O_EXCL by its user.
const char *temporaryName(const char *directory, const char *prefix, char *out) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; attempt++) {
    unsigned char random[6];
    memRandomize(random, sizeof random);
    char suffix[sizeof random + 1];
    for (size_t i = 0; i < sizeof random; i++) suffix[i] = kLetters[random[i] % (sizeof kLetters - 1)];
    suffix[sizeof random] = 0;
    joinPath(out, directory, nullptr, prefix);
    if (strlen(out) + sizeof random >= kFilesPathSize) return "tempnam() failed";
    strAppend(out, suffix, kFilesPathSize);
    struct stat info;
    if (lstat(out, &info) != 0) return nullptr;
  }
  return "tempnam() failed";
}

// The proxy's display number as the configured connection names it (":N" or "host:N.S").
unsigned displayNumber() {
  const char *connection = filesConnectionName ? *filesConnectionName : nullptr;
  if (!connection) return 0;
  const char *colon = strrchr(connection, ':');
  if (!colon || !isdigit(static_cast<unsigned char>(colon[1]))) return 0;
  return static_cast<unsigned>(strtoul(colon + 1, nullptr, 10));
}

}  // namespace

const char *filesResolvePath(const char *name, int pathClass, char *out) {
  if (!name) name = "";
  if (name[0] == '/') {
    strCopy(out, name, kFilesPathSize);
    return nullptr;
  }
  const char *home = getenv("TARVO_HOME");
  const char *etc = getenv("TARVO_ETC");
  const char *var = getenv("TARVO_VAR");
  switch (pathClass) {
    case kFilesBin:
    case kFilesLocale:
    case kFilesManual: {
      static const char *const kSubdirectories[] = {"bin", "share/locale", "share/manual"};
      if (!home) return missingVariable("*_HOME");
      joinPath(out, home, kSubdirectories[pathClass], name);
      return nullptr;
    }
    case kFilesEtc:
      if (!etc) return missingVariable("*_ETC");
      joinPath(out, etc, nullptr, name);
      return nullptr;
    case kFilesTemp:
      return temporaryName(var ? var : etc ? etc : P_tmpdir, name, out);
    case kFilesLogs:
      if (var) {
        joinPath(out, var, "logs", name, 1);
        return nullptr;
      }
      if (!etc) return missingVariable("*_VAR");
      joinPath(out, etc, nullptr, name, 1);
      return nullptr;
    case kFilesVar:
      if (!var && !etc) return missingVariable("*_VAR");
      joinPath(out, var ? var : etc, nullptr, name, 1);
      return nullptr;
    default:
      logProblem("UNE", "Proxy/files", __LINE__);
      strCopy(out, name, kFilesPathSize);
      return nullptr;
  }
}

const char *filesHomeDir() {
  static char home[kFilesPathSize];
  const char *value = getenv("TARVO_HOME");
  if (!value) return nullptr;
  strCopy(home, value, sizeof home);
  return home;
}

const char *filesEtcDir() { return getenv("TARVO_ETC"); }

const char *filesLogFileName() {
  static char path[kFilesPathSize];
  const char *program = logProgramName();
  if (!program || !*program) program = "tarvo";
  char name[kFilesPathSize];
  snprintf(name, sizeof name, "%s-%s-%u.log", program, platformUserName(), displayNumber());
  if (filesResolvePath(name, kFilesLogs, path)) return "stderr";
  return path;
}

const char *filesManualIndex() {
  static char path[kFilesPathSize];
  if (filesResolvePath("index.html", kFilesManual, path)) return kManualWebAddress;
  return path;
}

const char *productName() { return "Tarvo"; }

const char *filesVersionText(const char *buildDate, char *out, size_t size) {
  snprintf(out, size, "%u.%u.%u", 8u, 1u, static_cast<unsigned>(strParseBuildDate(buildDate)));
  return out;
}

const char *productVersion() {
  static char version[60];
  static std::once_flag once;
  std::call_once(once, [] { filesVersionText(__DATE__, version, sizeof version); });
  return version;
}
