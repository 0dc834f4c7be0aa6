// The text of an X resource id.
#include "xclient/idtext.h"

#include <cstdio>

#include "support/strings.h"

const char *xmiscIdText(unsigned id) {
  char *text = strTempAlloc(20);
  snprintf(text, 20, id < 1000 ? "%u" : "0x%x", id);
  return text;
}
