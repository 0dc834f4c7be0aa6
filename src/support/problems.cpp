// The problem-report hooks of the support modules below logging.
#include "support/problems.h"

ProblemReportHook problemReportHook = nullptr;
ProblemErrorHook problemErrorHook = nullptr;

void problemReport(const char *message, const char *sourceFile, int line) {
  ProblemReportHook hook = problemReportHook;
  if (hook && message) hook(message, sourceFile, line);
}

void problemError(const char *sourceFile, int line, const char *message) {
  ProblemErrorHook hook = problemErrorHook;
  if (hook && message) hook(sourceFile, line, message);
}
