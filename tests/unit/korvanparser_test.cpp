// The configuration model and language: defaults, statements, blocks, source files,
// expressions and the resolution of screens and meta screens.

#include "proxy/korvanparser.h"

#include <X11/Xauth.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "proxy/files.h"

namespace {

class KorvanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvantestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("TARVO_HOME", root.c_str(), 1);
    setenv("TARVO_ETC", (root + "/etc").c_str(), 1);
    setenv("TARVO_VAR", (root + "/var").c_str(), 1);
    setenv("HOME", root.c_str(), 1);
    setenv("XAUTHORITY", (root + "/xauth").c_str(), 1);
  }
  void TearDown() override {
    korvanInitDefaults(&configRecord);  // frees the records of the test
    ASSERT_EQ(chdir("/"), 0);
    std::string command = "rm -rf '" + root + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  const char *parse(const std::vector<std::string> &arguments, int addDefaults = 1) {
    std::vector<const char *> argv;
    for (const std::string &a : arguments) argv.push_back(a.c_str());
    return korvanParseCommandLine(static_cast<int>(argv.size()), argv.data(), addDefaults);
  }
  std::string writeFile(const std::string &name, const std::string &content) {
    std::string path = root + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  // Parses one configuration file through the command line.
  const char *parseFile(const std::string &content, std::string *path = nullptr) {
    std::string p = writeFile("test.conf", content);
    if (path) *path = p;
    return parse({"source", p});
  }
  static MetaScreenConfig *metaScreen(int index) {
    MetaScreenConfig *m = configRecord.metaScreens;
    while (m && index--) m = m->next;
    return m;
  }
  static ScreenConfig *screen(int index) {
    ScreenConfig *s = configRecord.screens;
    while (s && index--) s = s->next;
    return s;
  }
  static int screenCount() {
    int n = 0;
    for (ScreenConfig *s = configRecord.screens; s; s = s->next) n++;
    return n;
  }
  std::string root;
};

TEST_F(KorvanTest, DefaultsWithoutStatements) {
  ASSERT_EQ(parse({}), nullptr);
  const ConfigRecord &c = configRecord;
  EXPECT_STREQ(c.connection, ":0");
  EXPECT_EQ(c.connectTimeout, 20000u);
  EXPECT_EQ(c.accessControl, 1u);
  EXPECT_EQ(c.authorization, nullptr);
  EXPECT_EQ(c.xdmcpMode, 0u);
  EXPECT_EQ(c.xdmcpOnce, 0u);
  EXPECT_STREQ(c.xdmcpHost, "localhost");
  EXPECT_EQ(c.xdmcpPort, 177u);
  EXPECT_EQ(c.xdmcpDisplayClass, nullptr);
  EXPECT_STREQ(c.glxVendorString, "Morwentech GmbH");
  EXPECT_EQ(c.numberOfThreads, static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(c.nice, 0);
  EXPECT_EQ(c.logTypes, 0u);
  EXPECT_EQ(c.workarounds, 0u);
  EXPECT_EQ(c.noReset, 0);
  EXPECT_EQ(c.vendorStringMode, 0u);
  EXPECT_EQ(c.vendorReleaseMode, 0u);
  EXPECT_EQ(c.serverCommandCount, 0);
  EXPECT_STREQ(c.serverAuthorization, XauFileName());
  EXPECT_STREQ(c.logDestination, filesLogFileName());
  EXPECT_EQ(std::string(c.logDestination).rfind(root + "/var/logs/", 0), 0u);
  ASSERT_EQ(c.extensionCount, 2u);
  EXPECT_STREQ(c.extensions[0].name, "XKEYBOARD");
  EXPECT_STREQ(c.extensions[1].name, "RANDR");
  EXPECT_EQ(c.extensions[0].enable + c.extensions[1].enable, 0u);

  // One meta screen ".0" with the screens ":1.0" and ":1.1", the second east of the first.
  ASSERT_EQ(c.metaScreenCount, 1u);
  ASSERT_NE(metaScreen(0), nullptr);
  EXPECT_EQ(metaScreen(1), nullptr);
  EXPECT_STREQ(metaScreen(0)->name, ".0");
  EXPECT_EQ(metaScreen(0)->direction, kKorvanDirectionNone);
  ASSERT_EQ(screenCount(), 2);
  ScreenConfig *a = screen(0), *b = screen(1);
  EXPECT_STREQ(a->displayName, ":1.0");
  EXPECT_STREQ(a->displayPart, ":1");
  EXPECT_STREQ(b->displayName, ":1.1");
  EXPECT_EQ(a->metaScreen, metaScreen(0));
  EXPECT_EQ(b->metaScreenIndex, 0);
  EXPECT_EQ(a->direction, kKorvanDirectionNone);
  EXPECT_EQ(b->direction, kKorvanDirectionEast);
  EXPECT_EQ(b->reference, a);
  EXPECT_EQ(b->referenceIndex, 0);
  EXPECT_EQ(a->referenceIndex, -1);
  EXPECT_TRUE(b->givenMask & kScreenGivenMetaScreen);
  EXPECT_FALSE(b->givenMask & kScreenGivenStatement);
  EXPECT_EQ(b->index, 1u);
  EXPECT_EQ(metaScreen(0)->previous, metaScreen(0));  // the head's previous is the tail
  EXPECT_EQ(a->previous, b);
}

TEST_F(KorvanTest, NewRecordsHaveTheirDefaults) {
  ScreenConfig *list = nullptr;
  ScreenConfig *s = korvanNewScreen(&list);
  ScreenConfig *t = korvanNewScreen(&list);
  ASSERT_TRUE(s && t);
  EXPECT_STREQ(s->glLibraryPath, "libGL:libGL.so.1");
  EXPECT_NE(s->glLibraryPath, t->glLibraryPath);
  EXPECT_EQ(s->borderWidth, -1);
  EXPECT_EQ(s->zoomX, 1.0);
  EXPECT_EQ(s->zoomY, 1.0);
  EXPECT_EQ(s->direction, kKorvanDirectionNotGiven);
  EXPECT_EQ(s->referenceIndex, -1);
  EXPECT_EQ(s->metaScreenIndex, -1);
  EXPECT_EQ(s->tags, 0x400000u);
  EXPECT_EQ(s->switchA + s->switchB, 2);
  EXPECT_EQ(s->timeoutA, 20000u);
  EXPECT_EQ(s->timeoutB, 20000u);
  EXPECT_EQ(s->next, t);
  EXPECT_EQ(s->previous, t);

  MetaScreenConfig *metaList = nullptr;
  MetaScreenConfig *m = korvanNewMetaScreen(&metaList);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->changeMask, 0x10FFu);
  EXPECT_EQ(m->referenceIndex, -1);
  EXPECT_EQ(m->active, 1u);

  // A copy owns every string: original, copy and list can be freed independently.
  s->name = strdup(":2.0");
  s->relativeTo = strdup(":2.1");
  s->comment = strdup("# c\n");
  ScreenConfig *copy = korvanCopyScreenConfig(s);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->name, ":2.0");
  EXPECT_NE(copy->name, s->name);
  EXPECT_NE(copy->glLibraryPath, s->glLibraryPath);
  EXPECT_NE(copy->comment, s->comment);
  EXPECT_EQ(copy->next, nullptr);
  korvanFreeScreenList(&list);
  EXPECT_EQ(list, nullptr);
  EXPECT_STREQ(copy->relativeTo, ":2.1");
  korvanFreeScreenConfig(copy);
  EXPECT_EQ(copy->name, nullptr);
  free(copy);
  korvanFreeMetaScreenList(&metaList);
  EXPECT_EQ(metaList, nullptr);
}

TEST_F(KorvanTest, NumbersAndExpressions) {
  struct Case {
    std::vector<std::string> arguments;
    int32_t ConfigRecord::*field;
    int32_t expected;
  };
  const Case cases[] = {
      {{"nice", "010"}, &ConfigRecord::nice, 8},
      {{"nice", "0x10"}, &ConfigRecord::nice, 16},
      {{"nice", "12abc"}, &ConfigRecord::nice, 12},
      {{"nice", "-5"}, &ConfigRecord::nice, -5},
      {{"serverNice", "(2*3)"}, &ConfigRecord::serverNice, 6},
  };
  for (const Case &c : cases) {
    const char *error = parse(c.arguments);
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_EQ(configRecord.*c.field, c.expected) << c.arguments[1];
  }
  // An expression with blanks is one word in a file; a quoted one is plain text.
  ASSERT_EQ(parseFile("serverNice (1 + 2 *\n (3 - 5))\nnice 4"), nullptr);
  EXPECT_EQ(configRecord.serverNice, -3);
  EXPECT_EQ(configRecord.nice, 4);
  const char *error = parseFile("nice \"(1)\"");
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error, "Invalid value '(1)'"), nullptr);
  ASSERT_EQ(parse({"numberOfThreads", "(2*3)", "xdmcpPort", "0x1F"}), nullptr);
  EXPECT_EQ(configRecord.numberOfThreads, 6u);
  EXPECT_EQ(configRecord.xdmcpPort, 31u);
}

TEST_F(KorvanTest, EvaluatorCases) {
  struct Case {
    const char *text;
    int32_t value;
    bool fails;
  };
  const Case cases[] = {
      {"", 0, false},
      {"(2*3)", 6, false},
      {"(1+2*3)", 7, false},
      {"((1+2)*3)", 9, false},
      {"(10-4-3)", 3, false},
      {"(-4/2)", -2, false},
      {"(2*-3)", -6, false},
      {"(7%3)", 1, false},
      {"( 0x1f + 010 )", 39, false},
      {"(0XaB)", 171, false},
      {"(2147483647+1)", INT32_MIN, false},
      {"(1/0)", 0, true},
      {"(5%0)", 0, true},
      {"(-2147483647-1)/-1", 0, true},
      {"(1+)", 0, true},
      {"(2", 0, true},
      {"()", 0, true},
      {"(08)", 0, true},
      {"(2 3)", 0, true},
      {"(0x)", 0, true},
      {"(1))", 0, true},
      {"(a)", 0, true},
      {"(+1)", 0, true},
  };
  for (const Case &c : cases) {
    const char *error = nullptr;
    int32_t value = korvanEvalExpression(c.text, &error);
    if (c.fails) {
      EXPECT_STREQ(error, "syntax error in arithmetic expression") << c.text;
    } else {
      EXPECT_EQ(error, nullptr) << c.text;
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  // Deep nesting: within the stack it evaluates, beyond it fails without crashing.
  const char *error = nullptr;
  std::string deep = std::string(3000, '(') + "42" + std::string(3000, ')');
  EXPECT_EQ(korvanEvalExpression(deep.c_str(), &error), 42);
  EXPECT_EQ(error, nullptr);
  std::string deeper = std::string(20000, '(') + "1" + std::string(20000, ')');
  korvanEvalExpression(deeper.c_str(), &error);
  EXPECT_NE(error, nullptr);
}

TEST_F(KorvanTest, ErrorMessagesNameStatementFileAndLine) {
  struct Case {
    std::vector<std::string> arguments;
    const char *expected;
  };
  const Case cases[] = {
      {{"nice", "abc"}, "Invalid value 'abc' for statement nice in command-line parameter, line 1"},
      {{"accessControl", "maybe"}, "Invalid value 'maybe' for statement accessControl in command-line parameter, line 1"},
      {{"serverNice", "(1/0)"}, "syntax error in arithmetic expression in command-line parameter, line 1"},
      {{"connectTimeout", "soon"}, "Invalid value 'soon' for statement connectTimeout in command-line parameter, line 1"},
      {{"numberOfThreads", "-2"}, "Invalid value '-2' for statement numberOfThreads in command-line parameter, line 1"},
      {{"nice", "99999999999"}, "Invalid value '99999999999' for statement nice in command-line parameter, line 1"},
      {{"screen", ":0.0", "direction", "sideways"}, "Invalid value 'sideways' for statement direction in command-line parameter, line 1"},
      {{"metaScreen", "m", "width", "wide"}, "Invalid value 'wide' for statement metaScreen width in command-line parameter, line 1"},
      {{"screen", ":0.0", "displayGeometry", "10x10+-5+0"}, "Invalid value '10x10+-5+0' for statement physical geometry in command-line parameter, line 1"},
      {{"screen", ":0.0", "displayGeometry", "10x10-5+0"}, "Invalid value '10x10-5+0' for statement physical geometry in command-line parameter, line 1"},
      {{"screen", ":0.0", "displayGeometry", "junk"}, "Invalid value 'junk' for statement physical geometry in command-line parameter, line 1"},
      {{"screen", ":0.0", "pointer", "zoom", "0"}, "Invalid value '0' for statement pointer in command-line parameter, line 1"},
      {{"connection", "$KORVAN_TEST_UNSET"}, "Undefined variable 'KORVAN_TEST_UNSET' in command-line parameter, line 1"},
      {{"display"}, "Syntax error or no configuration file 'display' in command-line parameter, line 1"},
      {{"metaScreen", "a", "eastOf", "zz"}, "Unknown meta screen 'zz' in command-line parameter, line 1"},
  };
  unsetenv("KORVAN_TEST_UNSET");
  ASSERT_EQ(chdir(root.c_str()), 0);
  for (const Case &c : cases) {
    const char *error = parse(c.arguments);
    ASSERT_NE(error, nullptr) << c.expected;
    EXPECT_STREQ(error, c.expected);
  }
}

TEST_F(KorvanTest, ErrorInFileNamesThatFileAndLine) {
  std::string path;
  const char *error = parseFile("nice 1\n\n  # comment\nnice x12\nnice 3\n", &path);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Invalid value 'x12' for statement nice in " + path + ", line 4");
  EXPECT_EQ(configRecord.nice, 1);
}

TEST_F(KorvanTest, QuotedWordsAndStop) {
  std::string path = writeFile("q.conf", "connection \"screen\"\nxdmcpHost \"a\\\"b\"\nxdmcpDisplayID \"stop\"\n"
                                         "xdmcpDisplayClass \"B\xc3\xbcro\"\n");
  ASSERT_EQ(parse({"source", path}), nullptr);
  EXPECT_STREQ(configRecord.connection, "screen");
  EXPECT_STREQ(configRecord.xdmcpHost, "a\"b");
  EXPECT_STREQ(configRecord.xdmcpDisplayID, "stop");
  EXPECT_STREQ(configRecord.xdmcpDisplayClass, "B\xc3\xbcro");  // UTF-8 text is accepted

  // A keyword in a value position is plain text; an unquoted stop ends the text anywhere.
  ASSERT_EQ(parse({"connection", "screen"}), nullptr);
  EXPECT_STREQ(configRecord.connection, "screen");
  ASSERT_EQ(parse({"nice", "2", "connection", "stop", "nice", "5"}), nullptr);
  EXPECT_STREQ(configRecord.connection, ":0");
  EXPECT_EQ(configRecord.nice, 2);

  // Arguments with blanks or double quotes stay one word.
  ASSERT_EQ(parse({":7", "xdmcpHost", "my host", "vendorString", "say \"hi\"", "xdmcpDisplayClass", "\"x"}), nullptr);
  EXPECT_STREQ(configRecord.connection, ":7");
  EXPECT_STREQ(configRecord.xdmcpHost, "my host");
  EXPECT_STREQ(configRecord.vendorString, "say \"hi\"");
  EXPECT_EQ(configRecord.vendorStringMode, kVendorGiven);
  EXPECT_STREQ(configRecord.xdmcpDisplayClass, "\"x");
  std::string longArgument(3000, 'v');
  longArgument[1500] = ' ';
  ASSERT_EQ(parse({"xdmcpAuthorizationCookie", longArgument}), nullptr);
  EXPECT_EQ(std::string(configRecord.xdmcpAuthorizationCookie), longArgument);
}

TEST_F(KorvanTest, SourceFilesStopCyclesAndBadFiles) {
  std::string inner = writeFile("inner.conf", "nice 3\nstop\nnice 4\n");
  ASSERT_EQ(parse({"source", inner, "serverNice", "7"}), nullptr);
  EXPECT_EQ(configRecord.nice, 3);
  EXPECT_EQ(configRecord.serverNice, 7);

  // A word that is no statement is a file name.
  ASSERT_EQ(parse({inner, "serverNice", "8"}), nullptr);
  EXPECT_EQ(configRecord.nice, 3);
  EXPECT_EQ(configRecord.serverNice, 8);

  std::string cyclic = root + "/cyclic.conf";
  writeFile("cyclic.conf", "source " + cyclic + "\n");
  const char *error = parse({"source", cyclic});
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error),
            "Maximum recursion level reached (possible cyclic source command) in " + cyclic + ", line 1");

  std::string binary = writeFile("binary.conf", std::string("nice 1\n\x01\x02", 9));
  error = parse({"source", binary});
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "No UTF-8 text in configuration file '" + binary + "' in command-line parameter, line 1");

  std::string empty = writeFile("empty.conf", "");
  EXPECT_EQ(parse({"source", empty, "nice", "9"}), nullptr);
  EXPECT_EQ(configRecord.nice, 9);

  error = parse({"source", root + "/missing.conf"});
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error, "Syntax error or no configuration file"), nullptr);
  error = parse({"source", root});  // a directory cannot be read
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(strncmp(error, "Can't read file", 15), 0) << error;
  error = parse({"source", std::string(5000, 'f')});
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(strncmp(error, "Configuration statement too large", 33), 0) << error;

  // The including text's line is restored after a nested file.
  std::string outer = writeFile("outer.conf", "source " + inner + "\n\nnice bad\n");
  std::string path;
  error = parse({"source", outer});
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Invalid value 'bad' for statement nice in " + outer + ", line 3");
}

TEST_F(KorvanTest, TextEndingInExpressionWithoutNewline) {
  ASSERT_EQ(parseFile("nice (1+2)"), nullptr);
  EXPECT_EQ(configRecord.nice, 3);
  ASSERT_EQ(parseFile("nice (4)\nserverNice (5)"), nullptr);
  EXPECT_EQ(configRecord.nice, 4);
  EXPECT_EQ(configRecord.serverNice, 5);
  // Directly on a buffer of exactly the text's size.
  for (const char *text : {"nice (1+2)", "nice (1+", "connection \"open", "nice", "#", "(", "\""}) {
    size_t n = strlen(text) + 1;
    char *buffer = static_cast<char *>(malloc(n));
    memcpy(buffer, text, n);
    const char *file = "buffer";
    int line = 0;
    korvanParse(buffer, 0, &file, &line);
    EXPECT_EQ(line, 1) << text;
    free(buffer);
  }
}

TEST_F(KorvanTest, ResolutionErrorNamesWhereTheReferenceWasWritten) {
  std::string path;
  const char *error = parseFile(
      "metaScreen a\n"
      "screen :0.0\n"
      "metaScreen b\n"
      "screen :1.0\n"
      "  westOf :0.0\n",
      &path);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "No screen ':0.0' in meta screen 'b' in " + path + ", line 5");
  // The lists and the named strings are freed afterwards.
  EXPECT_EQ(configRecord.screens, nullptr);
  EXPECT_EQ(configRecord.metaScreens, nullptr);
  EXPECT_EQ(configRecord.connection, nullptr);
  EXPECT_EQ(configRecord.xdmcpHost, nullptr);
}

TEST_F(KorvanTest, MetaScreensWithHeads) {
  ASSERT_EQ(parse({"metaScreen", "a", "screen", ":0.0", "screen", ":0.1", "metaScreen", "b", "eastOf", "a",
                   "screen", ":1.0"}),
            nullptr);
  ASSERT_EQ(configRecord.metaScreenCount, 2u);
  MetaScreenConfig *a = metaScreen(0), *b = metaScreen(1);
  EXPECT_STREQ(a->name, "a");
  EXPECT_STREQ(b->name, "b");
  EXPECT_EQ(a->direction, kKorvanDirectionNone);
  EXPECT_EQ(a->referenceIndex, -1);
  EXPECT_EQ(b->direction, kKorvanDirectionEast);
  EXPECT_EQ(b->reference, a);
  EXPECT_EQ(b->referenceIndex, 0);
  EXPECT_STREQ(b->fileName, "command-line parameter");
  EXPECT_TRUE(b->givenMask & kMetaGivenRelativeTo);
  ASSERT_EQ(screenCount(), 3);
  EXPECT_EQ(screen(0)->metaScreen, a);
  EXPECT_EQ(screen(1)->metaScreen, a);
  EXPECT_EQ(screen(2)->metaScreen, b);
  EXPECT_EQ(screen(0)->direction, kKorvanDirectionNone);
  EXPECT_EQ(screen(1)->direction, kKorvanDirectionEast);
  EXPECT_EQ(screen(1)->reference, screen(0));
  EXPECT_EQ(screen(2)->direction, kKorvanDirectionNone);
  EXPECT_EQ(screen(2)->metaScreenIndex, 1);
  EXPECT_TRUE(screen(0)->givenMask & kScreenGivenStatement);

  // A later meta screen without a name refers to the one before it; delete removes records.
  ASSERT_EQ(parse({"metaScreen", "x", "metaScreen", "y", "metaScreen", "z", "delete", "screen", ":0.0",
                   "ofMetaScreen", "y", "screen", ":0.1", "delete"}),
            nullptr);
  ASSERT_EQ(configRecord.metaScreenCount, 2u);
  EXPECT_EQ(metaScreen(1)->direction, kKorvanDirectionEast);
  EXPECT_EQ(metaScreen(1)->reference, metaScreen(0));
  ASSERT_EQ(screenCount(), 1);
  EXPECT_STREQ(screen(0)->metaScreenName, "y");
  EXPECT_EQ(screen(0)->metaScreen, metaScreen(1));
}

TEST_F(KorvanTest, ScreenSettings) {
  ASSERT_EQ(parse({"screen", "s1", "display", "host:3.1", "displayGeometry", "400x300+10+20", "borderWidth", "2",
                   "pointer", "wrapX", "on", "zoom", "2.5", "tags", "-color", "+glx", "anyScreen",
                   "followPointerRestrict", "shift", "mod1", "followPointerMode", "jump", "emulateVisuals",
                   "PseudoColor:8", "only", "emulateDoubleBuffer", "on", "lumora", "on", "libraryPath",
                   "/x/libGL.so", "followPointerX", "5", "screen", "s2", "relativeTo", "s1", "3", "-4", "screen", "s3",
                   "initialX", "10", "relativeTo", "s1", "nice", "1"}),
            nullptr);
  EXPECT_EQ(configRecord.nice, 1);  // an unknown word ends the block
  ScreenConfig *s = screen(0), *t = screen(1), *u = screen(2);
  ASSERT_TRUE(s && t && u);
  EXPECT_STREQ(s->displayName, "host:3.1");
  EXPECT_STREQ(s->displayPart, "host:3");
  EXPECT_EQ(s->physicalWidth, 400);
  EXPECT_EQ(s->physicalHeight, 300);
  EXPECT_EQ(s->physicalX, 10);
  EXPECT_EQ(s->physicalY, 20);
  EXPECT_EQ(s->borderWidth, 2);
  EXPECT_EQ(s->wrapX, 1);
  EXPECT_EQ(s->zoomX, 2.5);
  EXPECT_EQ(s->zoomY, 2.5);
  EXPECT_EQ(s->tags, (0x400000u & ~kScreenTagColor) | kScreenTagGlx | kScreenTagAnyScreen);
  EXPECT_EQ(s->followPointer, 0x8000u | 0x1 | 0x8);
  EXPECT_EQ(s->emulatedVisuals, kEmulatePseudoColor8 | kEmulateOnly);
  EXPECT_EQ(s->emulateDoubleBuffer, 1);
  EXPECT_EQ(s->lumora, 1u);
  EXPECT_STREQ(s->glLibraryPath, "/x/libGL.so");
  EXPECT_EQ(s->followPointerX, 5);
  uint32_t sMask = kScreenGivenPhysicalX | kScreenGivenPhysicalY | kScreenGivenPhysicalWidth |
                   kScreenGivenPhysicalHeight | kScreenGivenBorderWidth | kScreenGivenWrapX | kScreenGivenZoom |
                   kScreenGivenTags | kScreenGivenFollowPointer | kScreenGivenFollowPointerX;
  EXPECT_EQ(s->givenMask & sMask, sMask);
  EXPECT_FALSE(s->givenMask & kScreenGivenWrapY);
  EXPECT_STREQ(t->displayName, "s2");  // a missing display name is the screen's name
  EXPECT_EQ(t->reference, s);
  EXPECT_EQ(t->referenceIndex, 0);
  EXPECT_EQ(t->direction, kKorvanDirectionEast);
  EXPECT_EQ(t->offsetX, 3);
  EXPECT_EQ(t->offsetY, -4);
  EXPECT_TRUE(t->givenMask & kScreenGivenOffsetY);
  // initialX sets direction none: the placement and its offsets are dropped.
  EXPECT_EQ(u->absoluteX, 10);
  EXPECT_EQ(u->direction, kKorvanDirectionNone);
  EXPECT_EQ(u->reference, nullptr);
  EXPECT_EQ(u->referenceIndex, -1);

  ASSERT_EQ(parse({"metaScreen", "m", "width", "double", "height", "600", "widthMM", "300", "northWestOf", "m",
                   "7", "keepWindowsVisible", "1"}),
            nullptr);
  MetaScreenConfig *m = metaScreen(0);
  EXPECT_EQ(m->width, kMetaSizeDouble);
  EXPECT_EQ(m->height, 600);
  EXPECT_EQ(m->widthMM, 300);
  EXPECT_EQ(m->changeMask, 0x10FFu | kMetaChangeWidthMM);
  EXPECT_EQ(m->direction, kKorvanDirectionNorthWest);
  EXPECT_EQ(m->offsetX, 7);
  EXPECT_EQ(m->keepWindowsVisible, 1);
  EXPECT_EQ(m->givenMask & 0xFEu, 0xFEu & ~kMetaGivenOffsetY);
}

TEST_F(KorvanTest, ServerCommandIsKeptRaw) {
  ASSERT_EQ(parse({"nice", "1", "serverCommand", "Xvfb", ":5", "-screen", "0", "800x600x24"}), nullptr);
  ASSERT_EQ(configRecord.serverCommandCount, 5);
  const char *expected[] = {"Xvfb", ":5", "-screen", "0", "800x600x24"};
  for (int i = 0; i < 5; i++) EXPECT_STREQ(configRecord.serverCommand[i], expected[i]);

  // Keywords, stop and expressions are words of the command; lines go on.
  ASSERT_EQ(parseFile("serverCommand Xvfb nice\n  stop (1+1)\nnice 2\n"), nullptr);
  ASSERT_EQ(configRecord.serverCommandCount, 6);
  EXPECT_STREQ(configRecord.serverCommand[1], "nice");
  EXPECT_STREQ(configRecord.serverCommand[2], "stop");
  EXPECT_STREQ(configRecord.serverCommand[3], "(1+1)");
  EXPECT_EQ(configRecord.nice, 0);
}

TEST_F(KorvanTest, ListStatements) {
  ASSERT_EQ(parse({"extensions", "-RENDER", "+XKEYBOARD", "nice", "1"}), nullptr);
  ASSERT_EQ(configRecord.extensionCount, 4u);
  EXPECT_STREQ(configRecord.extensions[2].name, "RENDER");
  EXPECT_EQ(configRecord.extensions[2].enable, 0u);
  EXPECT_STREQ(configRecord.extensions[3].name, "XKEYBOARD");
  EXPECT_EQ(configRecord.extensions[3].enable, 1u);
  EXPECT_EQ(configRecord.nice, 1);
  ASSERT_EQ(parse({"extensions", "none"}), nullptr);
  EXPECT_EQ(configRecord.extensionCount, 0u);

  ASSERT_EQ(parse({"logTypes", "verbose", "-progress", "XErrors", "workarounds", "GLX13", "NoNoXKB",
                   "+MotionCompression", "-GLX13", "xdmcpMode", "query", "once", "xdmcpHost", "dm"}),
            nullptr);
  EXPECT_EQ(configRecord.logTypes, 0x81u);
  EXPECT_EQ(configRecord.workarounds, 0x4000u | 0x8000u);
  EXPECT_EQ(configRecord.xdmcpMode, kXdmcpQuery);
  EXPECT_EQ(configRecord.xdmcpOnce, 1u);
  EXPECT_STREQ(configRecord.xdmcpHost, "dm");
  ASSERT_EQ(parse({"logTypes", "all", "-all", "Clients", "xdmcpMode", "once", "off"}), nullptr);
  EXPECT_EQ(configRecord.logTypes, 0x100u);
  EXPECT_EQ(configRecord.xdmcpOnce, 0u);

  // A word that is none of the list's ends it and is read again as a statement.
  ASSERT_EQ(chdir(root.c_str()), 0);
  const char *error = parse({"logTypes", "Hints", "bogusword"});
  ASSERT_NE(error, nullptr);
  EXPECT_NE(strstr(error, "'bogusword'"), nullptr);
}

TEST_F(KorvanTest, SimpleStatements) {
  ASSERT_EQ(parse({"accessControl", "off", "authorization", "/a/auth", "serverAuthorization", "none",
                   "glxVendorString", "same", "noReset", "on", "connectTimeout", "1:30", "log", "syslog",
                   "vendorReleaseNumber", "0x10", "vendorString", "same", "set", "KORVAN_TEST_X", "7",
                   "xdmcpPort", "$KORVAN_TEST_X"}),
            nullptr);
  EXPECT_EQ(configRecord.accessControl, 0u);
  EXPECT_STREQ(configRecord.authorization, "/a/auth");
  EXPECT_EQ(configRecord.serverAuthorization, nullptr);
  EXPECT_EQ(configRecord.glxVendorString, nullptr);
  EXPECT_EQ(configRecord.noReset, 1);
  EXPECT_EQ(configRecord.connectTimeout, 90000u);
  EXPECT_STREQ(configRecord.logDestination, "syslog");
  EXPECT_EQ(configRecord.vendorReleaseMode, kVendorGiven);
  EXPECT_EQ(configRecord.vendorReleaseNumber, 16u);
  EXPECT_EQ(configRecord.vendorStringMode, kVendorSame);
  EXPECT_EQ(configRecord.xdmcpPort, 7u);  // set takes effect before the next word is expanded
  ASSERT_EQ(parse({"authorization", "OFF", "serverAuthorization", "own"}), nullptr);
  EXPECT_EQ(configRecord.authorization, nullptr);
  EXPECT_STREQ(configRecord.serverAuthorization, "own");
}

TEST_F(KorvanTest, CommentsGoToTheirTarget) {
  ASSERT_EQ(parseFile("# global\n"
                      "nice 1 # dropped\n"
                      "metaScreen a\n"
                      "# of a\n"
                      "screen :0.0\n"
                      "   # of the screen\n"
                      "   display :0.0 # dropped too\n"),
            nullptr);
  EXPECT_STREQ(configRecord.comment, "# global\n");
  EXPECT_STREQ(metaScreen(0)->comment, "# of a\n");
  EXPECT_STREQ(screen(0)->comment, "# of the screen\n");
}

TEST_F(KorvanTest, DirectionsAndWorkaroundNames) {
  const struct {
    const char *word;
    uint32_t code;
  } words[] = {{"none", 0}, {"clone", 1}, {"SAME", 1}, {"left", 2}, {"east", 3}, {"up", 4}, {"above", 4},
               {"below", 5}, {"northwest", 6}, {"NorthEast", 7}, {"SouthWest", 8}, {"southeast", 9}};
  for (const auto &w : words) {
    uint32_t code = 99;
    EXPECT_EQ(korvanDirectionWord(w.word, &code), 1) << w.word;
    EXPECT_EQ(code, w.code) << w.word;
  }
  uint32_t code = 99;
  EXPECT_EQ(korvanDirectionWord("sideways", &code), 0);
  EXPECT_EQ(code, 99u);
  EXPECT_STREQ(korvanDirectionName(0), "direction none relativeTo");
  EXPECT_STREQ(korvanDirectionName(9), "southEastOf");
  EXPECT_STREQ(korvanDirectionName(10), "");

  EXPECT_STREQ(korvanWorkaroundsText(0), "none");
  EXPECT_STREQ(korvanWorkaroundsText(0x800 | 0x4000 | 0x8000), "GLX13 MotionCompression");
  EXPECT_STREQ(korvanWorkaroundsText(0x1 | 0x100000), "ActiveDrawInWindow NoGLXDestroyPbuffer");
  std::string all = korvanWorkaroundsText(0xFFFFFFFF);
  EXPECT_EQ(all.rfind("ActiveDrawInWindow MapDiscardExpose", 0), 0u);
  EXPECT_EQ(all.find("NoNoXKB"), std::string::npos);
}

}  // namespace
