// Configuration-file reader, statement parser, variable expansion and statement writer.
#include "support/configfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Statements = std::vector<std::tuple<std::string, std::string, int>>;  // name, value, line

const char *collect(const char *name, const char *value, int line, void *user) {
  static_cast<Statements *>(user)->emplace_back(name, value, line);
  return strcmp(name, "stop") == 0 ? "stopped" : nullptr;
}

// Reads text through a temporary file; returns the reader's result.
std::string readText(const std::string &text, Statements *out) {
  char path[] = "/tmp/configXXXXXX";
  close(mkstemp(path));
  std::ofstream(path, std::ios::binary) << text;
  const char *error = configReadFile(path, collect, out);
  unlink(path);
  return error ? error : "";
}

// Comments, blanks around '=', bare names, several statements on a line, quoted values with
// escaped quotes (raw outside quotes), doubled backslashes (also before a closing quote), an
// unclosed quote, and continuations reported at their last line.
TEST(ConfigFile, ReadsStatementsAndErrors) {
  Statements got;
  EXPECT_EQ(readText("# comment\n\n   name  =   value   \nflag\na=1 b=2 # c\n"
                     "long = one \\\n        two\\\n\tthree\n"
                     "quoted = \"say \\\"hi\\\" there\"\nslashes=a\\\\b\\c\n=dropped\n"
                     "text = \"left\\\n      right\"\n"
                     "x=\"a b\"c y=\"ends\\\\\" z=a\\\"b open=\"to the end\nnot=joined\\\\\n",
                     &got),
            "");
  Statements expected = {{"name", "value", 3}, {"flag", "", 4},   {"a", "1", 5},     {"b", "2", 5},
                         {"#", "", 5},         {"c", "", 5},      {"long", "one", 8}, {"two", "", 8},
                         {"three", "", 8},     {"quoted", "say \"hi\" there", 9},  {"slashes", "a\\b\\c", 10},
                         {"text", "left right", 13},              {"x", "a b", 14},   {"c", "", 14},
                         {"y", "ends\\", 14},   {"z", "a\\\"b", 14}, {"open", "to the end", 14},
                         {"not", "joined\\", 15}};
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(configIsEscaped("\\\"", 1) == 1 && configIsEscaped("\\\\\"", 2) == 0 && configIsEscaped("\"", 0) == 0);

  // Errors end the reading after the statements before them; a line that fills the buffer
  // exactly (with or without its newline) still fits.
  std::string full = "a=" + std::string(kConfigLineSize - 3, 'v');
  std::string joined = "a=\"";
  for (int i = 0; i < 300; i++) joined += "word word word\\\n";
  std::tuple<std::string, std::string, size_t> cases[] = {  // text, the error's beginning, statements read
      {"a=1\nb=2 \\\n", "Unexpected end of file", 1}, {"a=1\nstop\nc=3\n", "stopped", 2},
      {"b=1\na=" + std::string(5000, 'v') + "\n", "Line 2 ", 1}, {joined + "end\"\n", "Line 273 ", 0},
      {"b=1\n" + full + "\nc=1\n", "", 3},                   {"b=1\n" + full, "", 2}};
  for (auto &[text, expectedError, delivered] : cases) {
    got.clear();
    std::string error = readText(text, &got);
    EXPECT_TRUE(error.starts_with(expectedError) && error.empty() == expectedError.empty()) << error;
    EXPECT_EQ(got.size(), delivered) << expectedError;
  }
  std::string error = configReadFile("/nonexistent/file", collect, nullptr);
  EXPECT_TRUE(error.starts_with("Can't open file '/nonexistent/file': ")) << error;
}

// $NAME and ${NAME}, literal bytes after a backslash, and every error (an unclosed brace
// included) instead of reading or writing past a text.
TEST(ConfigFile, ExpandVariables) {
  setenv("HOME", "/root", 1);
  unsetenv("NOPE");
  setenv("TARVO_LONG", "a value longer than the destination", 1);
  const char *tooLarge = "Configuration statement too large";
  const char *cases[][3] = {  // source, result, error
      {"$HOME/x", "/root/x", nullptr},    {"${HOME}x", "/rootx", nullptr},
      {"\\$HOME", "$HOME", nullptr},      {"a\\\\b\\", "a\\b", nullptr},
      {"$NOPE", nullptr, "Undefined variable 'NOPE'"},
      {"${HOME", nullptr, "Missing '}' after '${HOME'"},
      {"$TARVO_LONG", nullptr, tooLarge}, {"0123456789abcdef", nullptr, tooLarge}};
  for (auto &[source, result, error] : cases) {
    char out[16];
    EXPECT_STREQ(configExpandVariables(source, out, sizeof out), error) << source;
    EXPECT_STREQ(result ? out : nullptr, result) << source;
  }
}

// Written statements (quoted, escaped, wrapped at blanks) stay within column 75 and read
// back to the same names, values and line numbers; unrepresentable ones are refused.
TEST(ConfigFile, WrittenStatementsReadBack) {
  EXPECT_TRUE(configFormatStatement("n", "a\nb", 0) == nullptr && configFormatStatement("a b", "v", 0) == nullptr);
  std::string words;
  for (int i = 0; i < 40; i++) words += "word" + std::to_string(i) + (i % 7 == 3 ? "  " : " ");
  Statements cases = {  // name, value, indent
      {"name", "a b", 10},      {"plain", "value", 0},        {"quotes", "say \"hi\"", 8}, {"lead", "\"x", 0},
      {"hash", "#no comment", 0}, {"slashes", "a\\b\\\\c\\", 0}, {"empty", "", 0},
      {"wrapped", words + "end", 2}, {"wrapped2", words + "\\ x\\ y", 13}};
  std::string content;
  Statements expected;
  for (auto &[name, value, indent] : cases) {
    char *formatted = configFormatStatement(name.c_str(), value.c_str(), indent);
    ASSERT_NE(formatted, nullptr) << name;
    content += formatted + std::string("\n");
    free(formatted);
    expected.emplace_back(name, value, std::count(content.begin(), content.end(), '\n'));
  }
  size_t column = 0, widest = 0;  // tabs count to the next multiple of 8
  for (char ch : content) {
    column = ch == '\n' ? 0 : ch == '\t' ? (column / 8 + 1) * 8 : column + 1;
    widest = std::max(widest, column);
  }
  EXPECT_LE(widest, 75u) << content;
  EXPECT_TRUE(content.starts_with("\t  name=\"a b\"\n")) << content;  // indented with tabs, then blanks
  EXPECT_GT(std::get<2>(expected.back()), static_cast<int>(cases.size()));  // something was wrapped
  Statements got;
  EXPECT_EQ(readText(content, &got), "");
  EXPECT_EQ(got, expected);
}

}  // namespace
