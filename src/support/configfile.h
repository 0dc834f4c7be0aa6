// Configuration files of name = value statements, statement expansion of environment
// variables, and the writer of single statements in the same syntax.
#pragma once

#include <cstddef>

constexpr size_t kConfigLineSize = 4096;

// Called once per statement; name and value are freed after it returns. NULL goes on, an
// error text ends the reading and is returned unchanged. line is the statement's last
// physical line, counting from 1.
using ConfigStatementCallback = const char *(*)(const char *name, const char *value, int line, void *user);

// Reads a file ("-" is standard input) and hands each statement to the callback.
const char *configReadFile(const char *path, ConfigStatementCallback callback, void *user);
// Splits the next statement off a line; on success *name and *value are heap texts the caller
// frees, and *position is past the statement and the white space after it.
const char *configParseStatement(const char **position, char **name, char **value);
// 1 when text[index] is preceded by an odd number of backslashes.
int configIsEscaped(const char *text, int index);
// Replaces $NAME and ${NAME} by environment values; a backslash makes the next byte literal.
const char *configExpandVariables(const char *source, char *destination, size_t size);
// One statement (indented, quoted and wrapped as needed) as a heap text, or NULL.
char *configFormatStatement(const char *name, const char *value, int indent);
