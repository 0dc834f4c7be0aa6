// Configuration files of name = value statements, statement expansion and the statement writer.
#include "support/configfile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "support/strings.h"

namespace {

bool isNameByte(char c) {
  return isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Strips the newline that fgets keeps; returns the remaining length.
size_t chompLine(char *line) {
  size_t n = strlen(line);
  if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
  return n;
}

// Reads one physical line into line (kConfigLineSize bytes, the newline dropped when it does
// not fit as well). 1 read, 0 end of file, -1 when the line does not fit.
int readPhysicalLine(FILE *file, char *line) {
  if (!fgets(line, kConfigLineSize, file)) return 0;
  size_t n = strlen(line);
  if (n == kConfigLineSize - 1 && line[n - 1] != '\n') {
    int next = getc(file);
    if (next == EOF || next == '\n') return 1;
    ungetc(next, file);
    return -1;
  }
  return 1;
}

struct FileCloser {
  FILE *file;
  ~FileCloser() {
    if (file && file != stdin) fclose(file);
  }
};

}  // namespace

int configIsEscaped(const char *text, int index) {
  int backslashes = 0;
  for (int i = index - 1; i >= 0 && text[i] == '\\'; i--) backslashes++;
  return backslashes & 1;
}

static const char *configParseStatementUnguarded(const char **position, char **name, char **value) {
  const char *p = *position;
  *name = nullptr;
  *value = nullptr;
  while (strIsBlank(*p)) p++;
  const char *nameStart = p;
  while (*p && *p != '=' && !strIsBlank(*p)) p++;
  std::string nameText(nameStart, p);
  while (strIsBlank(*p)) p++;

  std::string raw;
  bool quoted = false;
  if (*p == '=') {
    p++;
    while (strIsBlank(*p)) p++;
    if (*p == '"') {
      quoted = true;
      const char *start = ++p;
      while (*p && !(*p == '"' && configIsEscaped(start, static_cast<int>(p - start)) == 0)) p++;
      raw.assign(start, p);
      if (*p == '"') p++;
    } else {
      const char *start = p;
      while (*p && !strIsBlank(*p)) p++;
      raw.assign(start, p);
    }
  }

  // A doubled backslash stands for one; inside quotes an escaped quote stands for the quote.
  std::string valueText;
  valueText.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); i++) {
    if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == '\\' || (quoted && raw[i + 1] == '"'))) {
      valueText += raw[i + 1];
      i++;
    } else {
      valueText += raw[i];
    }
  }

  while (strIsBlank(*p)) p++;
  *name = strdup(nameText.c_str());
  *value = strdup(valueText.c_str());
  if (!*name || !*value) {
    free(*name);
    free(*value);
    *name = *value = nullptr;
    return OUT_OF_MEMORY_TEXT_AT("configfile.c");
  }
  *position = p;
  return nullptr;
}

static const char *configReadFileUnguarded(const char *path, ConfigStatementCallback callback, void *user) {
  if (strlen(path) > kConfigLineSize - 1) return strTempPrintf("Can't open file '%s': %s", path, strErrno(ENAMETOOLONG));
  FILE *file = strcmp(path, "-") == 0 ? stdin : fopen(path, "re");
  if (!file) return strTempPrintf("Can't open file '%s': %s", path, strErrno(errno));
  FileCloser closer{file};

  char line[kConfigLineSize];
  char more[kConfigLineSize];
  int lineNumber = 0;
  for (;;) {
    int got = readPhysicalLine(file, line);
    if (got == 0) break;
    lineNumber++;
    if (got < 0) return strTempPrintf("Line %d of '%s' is too long", lineNumber, path);
    if (line[0] == '#') continue;
    size_t length = chompLine(line);

    // Continuation: an unescaped backslash at the end joins the next line after one blank.
    while (length > 0 && line[length - 1] == '\\' && !configIsEscaped(line, static_cast<int>(length - 1))) {
      got = readPhysicalLine(file, more);
      if (got == 0) return "Unexpected end of file";
      lineNumber++;
      if (got < 0) return strTempPrintf("Line %d of '%s' is too long", lineNumber, path);
      chompLine(more);
      const char *rest = more;
      while (strIsBlank(*rest)) rest++;
      size_t restLength = strlen(rest);
      if (length + restLength >= kConfigLineSize) return strTempPrintf("Line %d of '%s' is too long", lineNumber, path);
      line[length - 1] = ' ';
      memcpy(line + length, rest, restLength + 1);
      length += restLength;
    }

    const char *position = line;
    while (*position) {
      char *name;
      char *value;
      const char *error = configParseStatementUnguarded(&position, &name, &value);
      if (error) return error;
      if (*name) error = callback(name, value, lineNumber, user);
      free(name);
      free(value);
      if (error) return error;
    }
  }
  return nullptr;
}

static const char *configExpandVariablesUnguarded(const char *source, char *destination, size_t size) {
  if (strlen(source) + 1 >= size) return "Configuration statement too large";
  size_t out = 0;
  auto put = [&](const char *text, size_t n) {
    if (out + n >= size) return false;
    memcpy(destination + out, text, n);
    out += n;
    return true;
  };
  const char *p = source;
  while (*p) {
    if (*p == '\\') {
      p++;
      if (!*p) break;
      if (!put(p, 1)) return "Configuration statement too large";
      p++;
    } else if (*p == '$') {
      p++;
      bool braced = *p == '{';
      if (braced) p++;
      const char *nameStart = p;
      while (isNameByte(*p)) p++;
      std::string name(nameStart, p);
      if (braced) {
        if (*p != '}') return strTempPrintf("Missing '}' after '${%s'", name.c_str());
        p++;
      }
      const char *text = getenv(name.c_str());
      if (!text) return strTempPrintf("Undefined variable '%s'", name.c_str());
      if (!put(text, strlen(text))) return "Configuration statement too large";
    } else {
      if (!put(p, 1)) return "Configuration statement too large";
      p++;
    }
  }
  destination[out] = '\0';
  return nullptr;
}

static char *configFormatStatementUnguarded(const char *name, const char *value, int indent) {
  constexpr size_t kRightColumn = 75;
  if (indent < 0 || !*name) return nullptr;
  size_t nameLength = strlen(name);
  size_t valueLength = strlen(value);
  if (nameLength + valueLength + static_cast<size_t>(indent) > kConfigLineSize) return nullptr;
  // The name is read back up to the first '=' or white space; a name beginning with '#' at
  // the start of a line would be a comment. A newline cannot be written inside a value.
  for (const char *p = name; *p; p++) {
    if (*p == '=' || strIsBlank(*p)) return nullptr;
  }
  if (indent == 0 && name[0] == '#') return nullptr;
  if (strchr(value, '\n')) return nullptr;

  bool quote = nameLength + valueLength + 3 >= 76 || strchr(value, '"') != nullptr;
  for (const char *p = value; *p && !quote; p++) quote = strIsBlank(*p);

  // The value split at the blanks where it may be wrapped: a blank followed by a byte that
  // is not white space (the reader drops the leading white space of a continuation line).
  std::string escaped;
  std::vector<size_t> breaks;  // positions in escaped of wrappable blanks
  for (const char *p = value; *p; p++) {
    if (*p == '\\' || (quote && *p == '"')) escaped += '\\';
    if (quote && *p == ' ' && p[1] && !strIsBlank(p[1]) && p != value) breaks.push_back(escaped.size());
    escaped += *p;
  }

  auto indentText = [](size_t columns) { return std::string(columns / 8, '\t') + std::string(columns % 8, ' '); };
  std::string text = indentText(static_cast<size_t>(indent));
  text += name;
  text += '=';
  size_t valueColumn = static_cast<size_t>(indent) + nameLength + 1;
  // A joined statement is read into one line buffer.
  if (valueColumn + escaped.size() + (quote ? 2 : 0) + 1 >= kConfigLineSize) return nullptr;
  if (quote) text += '"';

  // Pieces between wrappable blanks; each blank is written as a blank, or as a backslash and
  // a newline when the next piece would pass the right column.
  size_t column = valueColumn + (quote ? 1 : 0);
  breaks.push_back(escaped.size());
  size_t start = 0;
  for (size_t b = 0; b < breaks.size(); b++) {
    size_t end = breaks[b];
    bool last = b + 1 == breaks.size();
    // The piece, its closing quote when it is the last, or room for a later backslash.
    size_t width = end - start + (last ? (quote ? 1 : 0) : 1);
    if (b > 0) {
      if (column + 1 + width > kRightColumn) {
        text += "\\\n";
        text += indentText(valueColumn);
        column = valueColumn;
      } else {
        text += ' ';
        column++;
      }
    }
    text.append(escaped, start, end - start);
    column += end - start;
    start = end + 1;
  }
  if (quote) text += '"';
  return strdup(text.c_str());
}

// The entry points: no exception leaves the module, allocation failure inside the std
// containers used above becomes the out-of-memory text (or NULL where NULL is the failure).
const char *configParseStatement(const char **position, char **name, char **value) {
  try {
    return configParseStatementUnguarded(position, name, value);
  } catch (const std::bad_alloc &) {
    return OUT_OF_MEMORY_TEXT();
  }
}

const char *configReadFile(const char *path, ConfigStatementCallback callback, void *user) {
  try {
    return configReadFileUnguarded(path, callback, user);
  } catch (const std::bad_alloc &) {
    return OUT_OF_MEMORY_TEXT();
  }
}

const char *configExpandVariables(const char *source, char *destination, size_t size) {
  try {
    return configExpandVariablesUnguarded(source, destination, size);
  } catch (const std::bad_alloc &) {
    return OUT_OF_MEMORY_TEXT();
  }
}

char *configFormatStatement(const char *name, const char *value, int indent) {
  try {
    return configFormatStatementUnguarded(name, value, indent);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
