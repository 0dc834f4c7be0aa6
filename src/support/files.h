// Paths, file tests and file and directory operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr size_t kFilePathSize = 4096;

// An absolute path in a static text overwritten by the next call: "~/" is HOME (or "/"),
// "./" is dropped, other relative paths are prefixed with the current directory.
const char *fileAbsolutePath(const char *path);
int fileIsRegular(const char *path);
int fileIsFifo(const char *path);
uint64_t fileSize(const char *path);
// The current directory with a trailing '/', in a static text; "/" when it is unknown.
const char *dirCurrent();
// As fileAbsolutePath, into the caller's buffer and always ending in '/'. NULL or a failure
// text when the result does not fit.
const char *pathAbsoluteDir(const char *path, char *destination, size_t size);

const char *fileCreateSized(const char *path, uint64_t size, time_t time);
const char *fileLargeFileTest();
const char *fileCopy(const char *source, const char *destination);
const char *fileSafeName(const char *text);
// Copies the template into output (kFilePathSize bytes), formatting each conversion ending in
// 'n' or 'N' with the number as "%d" would with the same flags.
void fileNameTemplate(const char *templateText, int number, char *output);
const char *fileTemplatePath(const char *templateText, int number, time_t time);
const char *fileTemplateName(const char *templateText, int number, time_t time);
const char *fileAppendLine(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The paths matching a pattern (made absolute), appended to a counted string array.
const char *fileGlob(const char *pattern, int *count, char ***array);

int64_t mathPercentChange(int64_t a, int64_t b);
const char *strU64Static(uint64_t value);
uint64_t strParseU64Blank(const char *text);

const char *pathDirectory(const char *path);
const char *pathDirname(const char *path);

int dirExists(const char *path);
int dirIsEmpty(const char *path);
const char *dirFirstEntry(const char *path);
const char *dirUsage(const char *path, uint64_t *bytes, time_t *newest);
const char *dirMakeTemp(const char *prefix, const char *suffix, char **path);
const char *dirCopy(const char *source, const char *destination);
const char *dirRemove(const char *path);
