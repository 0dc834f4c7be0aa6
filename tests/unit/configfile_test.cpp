// Configuration-file reader, statement parser, variable expansion and statement writer.
#include "support/configfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Statement {
  std::string name, value;
  int line;
  bool operator==(const Statement &o) const = default;
};
using Statements = std::vector<Statement>;

const char *collect(const char *name, const char *value, int line, void *user) {
  auto *all = static_cast<Statements *>(user);
  all->push_back({name, value, line});
  return all->back().name == "stop" ? "stopped" : nullptr;
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
// escaped quotes, doubled backslashes, and continuations reported at their last line.
TEST(ConfigFile, ReadsStatementsCommentsAndContinuations) {
  Statements got;
  EXPECT_EQ(readText("# comment\n\n   name  =   value   \nflag\na=1 b=2 # c\n"
                     "long = one \\\n        two\\\n\tthree\n"
                     "quoted = \"say \\\"hi\\\" there\"\nslashes=a\\\\b\\c\n=dropped\n"
                     "text = \"left\\\n      right\"\n",
                     &got),
            "");
  Statements expected = {{"name", "value", 3}, {"flag", "", 4},       {"a", "1", 5},
                         {"b", "2", 5},        {"#", "", 5},          {"c", "", 5},
                         {"long", "one", 8},   {"two", "", 8},        {"three", "", 8},
                         {"quoted", "say \"hi\" there", 9},           {"slashes", "a\\b\\c", 10},
                         {"text", "left right", 13}};
  EXPECT_EQ(got, expected);
  got.clear();
  EXPECT_EQ(readText("# one\n\n   \n#two\n", &got), "");
  EXPECT_TRUE(got.empty());
}

// Errors end the reading after the statements before them; a line that fills the buffer
// exactly (with or without its newline) still fits.
TEST(ConfigFile, ErrorsAndLimits) {
  std::string full = "a=" + std::string(kConfigLineSize - 3, 'v');
  std::string joined = "a=\"";
  for (int i = 0; i < 300; i++) joined += "word word word\\\n";
  std::pair<std::string, std::string> cases[] = {
      {"a=1\nb=2 \\\n", "Unexpected end of file"}, {"a=x\\\\\nb=2\n", ""}, {"a=1\nstop\nc=3\n", "stopped"},
      {"b=1\na=" + std::string(5000, 'v') + "\n", "Line 2 "}, {joined + "end\"\n", "Line 273 "},
      {"b=1\n" + full + "\nc=1\n", ""},                        {"b=1\n" + full, ""}};
  size_t delivered[] = {1, 2, 2, 1, 0, 3, 2};  // statements that reached the callback
  for (size_t i = 0; i < std::size(cases); i++) {
    Statements got;
    std::string error = readText(cases[i].first, &got);
    EXPECT_EQ(error.substr(0, cases[i].second.size()), cases[i].second) << i;
    EXPECT_EQ(error.empty(), cases[i].second.empty()) << i;
    EXPECT_EQ(got.size(), delivered[i]) << i;
  }
  Statements got;
  std::string error = configReadFile("/nonexistent/file", collect, &got);
  EXPECT_EQ(error.rfind("Can't open file '/nonexistent/file': ", 0), 0u) << error;
}

// Line, name, value and what is left: the cases the reader test does not reach.
TEST(ConfigFile, ParseStatementAndEscapes) {
  const char *cases[][4] = {{"  name = value  next", "name", "value", "next"}, {"x=\"a b\"c", "x", "a b", "c"},
                            {"x=\"open value", "x", "open value", ""},        {"x=\"ends\\\\\" y", "x", "ends\\", "y"},
                            {"x=a\\\"b", "x", "a\\\"b", ""}};
  for (auto &t : cases) {
    const char *position = t[0];
    char *name, *value;
    ASSERT_EQ(configParseStatement(&position, &name, &value), nullptr) << t[0];
    EXPECT_EQ(std::vector<std::string>({name, value, position}), std::vector<std::string>({t[1], t[2], t[3]}));
    free(name);
    free(value);
  }
  EXPECT_TRUE(configIsEscaped("\\\"", 1) == 1 && configIsEscaped("\\\\\"", 2) == 0 && configIsEscaped("\"", 0) == 0);
}

// $NAME and ${NAME}, literal bytes after a backslash, and every error (an unclosed brace
// included) instead of reading or writing past a text.
TEST(ConfigFile, ExpandVariables) {
  setenv("HOME", "/root", 1);
  unsetenv("NOPE");
  setenv("TARVO_LONG", "a value longer than the destination", 1);
  const char *cases[][3] = {  // source, result, error
      {"$HOME/x", "/root/x", nullptr}, {"${HOME}x", "/rootx", nullptr}, {"\\$HOME", "$HOME", nullptr},
      {"a\\\\b\\", "a\\b", nullptr},   {"$NOPE", nullptr, "Undefined variable 'NOPE'"},
      {"${HOME", nullptr, "Missing '}' after '${HOME'"},
      {"$TARVO_LONG", nullptr, "Configuration statement too large"},
      {"0123456789abcdef", nullptr, "Configuration statement too large"}};
  for (auto &t : cases) {
    char out[16];
    EXPECT_STREQ(configExpandVariables(t[0], out, sizeof out), t[2]) << t[0];
    if (t[1]) {
      EXPECT_STREQ(out, t[1]) << t[0];
    }
  }
}

// Written statements (quoted, escaped, wrapped at blanks) stay within column 75 and read
// back to the same names, values and line numbers.
TEST(ConfigFile, WrittenStatementsReadBack) {
  char *text = configFormatStatement("name", "a b", 10);
  EXPECT_STREQ(text, "\t  name=\"a b\"");
  free(text);
  EXPECT_EQ(configFormatStatement("n", "a\nb", 0), nullptr);  // not representable
  EXPECT_EQ(configFormatStatement("a b", "v", 0), nullptr);
  std::string words;
  for (int i = 0; i < 40; i++) words += "word" + std::to_string(i) + (i % 7 == 3 ? "  " : " ");
  Statements cases = {{"plain", "value", 0},         {"quotes", "say \"hi\"", 8}, {"lead", "\"x", 0},
                      {"slashes", "a\\b\\\\c\\", 0}, {"hash", "#no comment", 0}, {"empty", "", 0},
                      {"wrapped", words + "end", 2}, {"wrapped2", words + "\\ x\\ y", 13}};
  std::string content;
  Statements expected;
  int line = 0;
  for (const Statement &t : cases) {
    char *formatted = configFormatStatement(t.name.c_str(), t.value.c_str(), t.line);
    ASSERT_NE(formatted, nullptr) << t.name;
    std::string s = std::string(formatted) + "\n";
    free(formatted);
    size_t column = 0;  // tabs count to the next multiple of 8
    for (char ch : s) {
      column = ch == '\n' ? 0 : ch == '\t' ? (column / 8 + 1) * 8 : column + 1;
      line += ch == '\n';
      EXPECT_LE(column, 75u) << t.name;
    }
    content += s;
    expected.push_back({t.name, t.value, line});
  }
  EXPECT_GT(line, static_cast<int>(cases.size()));  // something was wrapped
  Statements got;
  EXPECT_EQ(readText(content, &got), "");
  EXPECT_EQ(got, expected);
}

}  // namespace
