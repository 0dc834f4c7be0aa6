// Installation directories, path classes, the default log file and the product's version.
#pragma once

#include <cstddef>
#include <cstdint>

// Every resolved path fits a buffer of this size (at most 4095 characters).
constexpr size_t kFilesPathSize = 4096;

// Path classes of filesResolvePath.
enum FilesPathClass : int {
  kFilesBin = 0,      // TARVO_HOME/bin
  kFilesLocale = 1,   // TARVO_HOME/share/locale
  kFilesManual = 2,   // TARVO_HOME/share/manual
  kFilesEtc = 3,      // TARVO_ETC
  kFilesTemp = 4,     // a unique temporary name in TARVO_VAR (or TARVO_ETC)
  kFilesLogs = 5,     // TARVO_VAR/logs (or TARVO_ETC)
  kFilesVar = 6,      // TARVO_VAR (or TARVO_ETC)
};

// Turns a file name and a path class into a full path written to out (kFilesPathSize bytes).
// A name beginning with "/" is copied unchanged. A temporary name (class 4) is only a name:
// whoever creates the file must do so with O_EXCL.
const char *filesResolvePath(const char *name, int pathClass, char *out);

const char *filesHomeDir();  // TARVO_HOME (static copy), NULL when unset
const char *filesEtcDir();   // TARVO_ETC, NULL when unset
// The default log file "<program>-<user>-<display>.log" in class 5; "stderr" when no path can
// be formed. Static buffer, overwritten by the next call.
const char *filesLogFileName();
// Where the default log file finds the display it is named after: the configuration's
// connection text (":N" or "host:N.S"). The configuration model points it at its record when
// it is linked in; NULL (or a NULL text) reads as display 0.
extern char *const *filesConnectionName;
// The manual's index page, or the maker's web address when no manual is installed.
const char *filesManualIndex();

// The maker's name; the own vendor string is the maker's and the product's name ("%s %s").
constexpr const char *kProductMakerName = "Morwentech";
const char *productName();     // "Tarvo"
const char *productVersion();  // "8.1.YYYYMMDD" from the build date
// The version text for a build date written as __DATE__ writes it ("Aug 17 2021"), into
// out (size bytes). productVersion formats its static text with this.
const char *filesVersionText(const char *buildDate, char *out, size_t size);
