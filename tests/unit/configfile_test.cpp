// Configuration-file reader, statement parser, variable expansion and statement writer.
#include "support/configfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

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
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  close(fd);
  std::ofstream(path, std::ios::binary) << text;
  const char *error = configReadFile(path, collect, out);
  unlink(path);
  return error ? error : "";
}

TEST(ConfigFile, ReadsStatementsCommentsAndContinuations) {
  Statements got;
  EXPECT_EQ(readText("# comment\n\n   name  =   value   \nflag\na=1 b=2 # c\n"
                     "long = one \\\n        two\\\n\tthree\n"
                     "quoted = \"say \\\"hi\\\" there\"\nslashes=a\\\\b\\c\n=dropped\n"
                     "text = \"left\\\n      right\"\n",
                     &got),
            "");
  // '#' after the start of a line is ordinary text; continuations report their last line.
  Statements expected = {{"name", "value", 3},   {"flag", "", 4},       {"a", "1", 5},      {"b", "2", 5},
                         {"#", "", 5},           {"c", "", 5},          {"long", "one", 8}, {"two", "", 8},
                         {"three", "", 8},       {"quoted", "say \"hi\" there", 9},        {"slashes", "a\\b\\c", 10},
                         {"text", "left right", 13}};
  EXPECT_EQ(got, expected);

  got.clear();
  EXPECT_EQ(readText("# one\n\n   \n#two\n", &got), "");
  EXPECT_TRUE(got.empty());
}

TEST(ConfigFile, Errors) {
  struct Case {
    std::string text;
    std::string error;
    size_t delivered;  // statements that reached the callback first
  } cases[] = {
      {"a=1\nb=2 \\\n", "Unexpected end of file", 1},
      {"a=x\\\\\nb=2\n", "", 2},  // an escaped backslash is no continuation
      {"a=1\nstop\nc=3\n", "stopped", 2},
      {"a=" + std::string(5000, 'v') + "\nb=1\n", "Line 1", 0},
  };
  for (const Case &t : cases) {
    Statements got;
    std::string error = readText(t.text, &got);
    EXPECT_EQ(error.substr(0, t.error.size()), t.error) << t.text.substr(0, 20);
    EXPECT_EQ(error.empty(), t.error.empty());
    EXPECT_EQ(got.size(), t.delivered) << t.text.substr(0, 20);
  }
  Statements got;
  std::string long_text = "a=\"";
  for (int i = 0; i < 300; i++) long_text += "word word word\\\n";
  EXPECT_NE(readText(long_text + "end\"\n", &got), "");  // joined line too long
  std::string error = configReadFile("/nonexistent/file", collect, &got);
  EXPECT_EQ(error.rfind("Can't open file '/nonexistent/file': ", 0), 0u) << error;
  EXPECT_NE(configReadFile(std::string(5000, 'x').c_str(), collect, &got), nullptr);
}

TEST(ConfigFile, ParseStatementAndEscapes) {
  struct Case {
    const char *line, *name, *value, *rest;
  } cases[] = {
      {"  name = value  next", "name", "value", "next"}, {"bare other=1", "bare", "", "other=1"},
      {"x=\"a b\"c", "x", "a b", "c"},                   {"x=\"open value", "x", "open value", ""},
      {"x=\"ends\\\\\" y", "x", "ends\\", "y"},          {"x=a\\\"b", "x", "a\\\"b", ""},
      {"x=\\\\\\\\", "x", "\\\\", ""},                   {"=v", "", "v", ""},
  };
  for (const Case &t : cases) {
    const char *position = t.line;
    char *name, *value;
    ASSERT_EQ(configParseStatement(&position, &name, &value), nullptr) << t.line;
    EXPECT_STREQ(name, t.name) << t.line;
    EXPECT_STREQ(value, t.value) << t.line;
    EXPECT_STREQ(position, t.rest) << t.line;
    free(name);
    free(value);
  }
  EXPECT_EQ(configIsEscaped("\\\"", 1), 1);
  EXPECT_EQ(configIsEscaped("\\\\\"", 2), 0);
  EXPECT_EQ(configIsEscaped("\"", 0), 0);
}

TEST(ConfigFile, ExpandVariables) {
  setenv("HOME", "/root", 1);
  unsetenv("NOPE");
  setenv("TARVO_LONG", "a value longer than the destination", 1);
  struct Case {
    const char *source, *result;  // result NULL: the error is expected
    const char *error;
  } cases[] = {
      {"$HOME/x", "/root/x", nullptr},       {"${HOME}x", "/rootx", nullptr},
      {"\\$HOME", "$HOME", nullptr},         {"a\\\\b\\", "a\\b", nullptr},
      {"$NOPE", nullptr, "Undefined variable 'NOPE'"},
      {"${HOME", nullptr, "Missing '}' after '${HOME'"},
      {"$TARVO_LONG", nullptr, "Configuration statement too large"},
      {"0123456789abcdef", nullptr, "Configuration statement too large"},
  };
  for (const Case &t : cases) {
    char out[16];
    const char *error = configExpandVariables(t.source, out, sizeof out);
    EXPECT_STREQ(error, t.error) << t.source;
    if (t.result) {
      EXPECT_STREQ(out, t.result) << t.source;
    }
  }
}

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
    // No physical line passes column 75 (tabs count to the next multiple of 8).
    size_t column = 0;
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
