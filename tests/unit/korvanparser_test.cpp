// The configuration model and language: defaults, statements, blocks, source files,
// expressions and the resolution of screens and meta screens.

#include "proxy/korvanparser.h"

#include <X11/Xauth.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "proxy/files.h"

namespace {

const std::string kCommandLine = " in command-line parameter, line 1";

class KorvanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvantestXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("TARVO_ETC", (root + "/etc").c_str(), 1);
    setenv("TARVO_VAR", (root + "/var").c_str(), 1);
    setenv("XAUTHORITY", (root + "/xauth").c_str(), 1);
    ASSERT_EQ(chdir(root.c_str()), 0);  // words that name no file name none here
  }
  void TearDown() override {
    korvanInitDefaults(&configRecord);  // frees the records of the test
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
  }
  const char *parse(const std::vector<std::string> &arguments) {
    std::vector<const char *> argv;
    for (const std::string &a : arguments) argv.push_back(a.c_str());
    return korvanParseCommandLine(static_cast<int>(argv.size()), argv.data(), 1);
  }
  std::string writeFile(const std::string &name, const std::string &content) {
    std::ofstream(root + "/" + name, std::ios::binary) << content;
    return root + "/" + name;
  }
  // Parses one configuration file (named test.conf) through the command line.
  const char *parseFile(const std::string &content) { return parse({"source", writeFile("test.conf", content)}); }
  template <class T>
  static T *nth(T *list, int index) {
    while (list && index--) list = list->next;
    return list;
  }
  static MetaScreenConfig *metaScreen(int i) { return nth(configRecord.metaScreens, i); }
  static ScreenConfig *screen(int i) { return nth(configRecord.screens, i); }
  std::string root;
};

// Fields read back as text: of the record, of the first screen and of the first meta screen.
std::string text(const char *value) { return value ? value : "(none)"; }
std::string text(double value) { return (std::ostringstream() << value).str(); }
template <class T>
  requires std::is_integral_v<T>
std::string text(T value) {
  return std::to_string(value);
}
#define CONFIG(field) [] { return text(configRecord.field); }
#define SCREEN(field) [] { return configRecord.screens ? text(configRecord.screens->field) : "?"; }
#define META(field) [] { return configRecord.metaScreens ? text(configRecord.metaScreens->field) : "?"; }

TEST_F(KorvanTest, DefaultsWithoutStatements) {
  ASSERT_EQ(parse({}), nullptr);
  const ConfigRecord &c = configRecord;
  EXPECT_STREQ(c.connection, ":0");
  EXPECT_EQ(c.connectTimeout, 20000u);
  EXPECT_EQ(c.lumoraMemory, uint64_t(1) << 30);
  EXPECT_EQ(c.accessControl, 1u);
  EXPECT_STREQ(c.xdmcpHost, "localhost");
  EXPECT_EQ(c.xdmcpPort, 177u);
  EXPECT_STREQ(c.glxVendorString, "Morwentech GmbH");
  EXPECT_EQ(c.numberOfThreads, static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_STREQ(c.serverAuthorization, XauFileName());
  EXPECT_EQ(std::string(c.logDestination).rfind(root + "/var/logs/", 0), 0u);
  for (const char *none : {c.authorization, c.vendorString, c.xdmcpDisplayClass, c.xdmcpDisplayID,
                           c.xdmcpAuthorizationCookie, c.comment})
    EXPECT_EQ(none, nullptr);
  for (uint32_t zero : {uint32_t(c.nice), c.logTypes, uint32_t(c.serverNice), c.workarounds, uint32_t(c.noReset),
                        c.xdmcpMode, c.xdmcpOnce, c.vendorStringMode, c.vendorReleaseMode, c.vendorReleaseNumber,
                        uint32_t(c.serverCommandCount)})
    EXPECT_EQ(zero, 0u);
  ASSERT_EQ(c.extensionCount, 2u);
  EXPECT_STREQ(c.extensions[0].name, "XKEYBOARD");
  EXPECT_STREQ(c.extensions[1].name, "RANDR");
  EXPECT_EQ(c.extensions[0].enable + c.extensions[1].enable, 0u);

  // One meta screen ".0" with the screens ":1.0" and ":1.1", the second east of the first.
  ASSERT_TRUE(c.metaScreenCount == 1 && metaScreen(0) && !metaScreen(1));
  EXPECT_STREQ(metaScreen(0)->name, ".0");
  ScreenConfig *a = screen(0), *b = screen(1);
  ASSERT_TRUE(a && b && !screen(2));
  EXPECT_STREQ(a->displayName, ":1.0");
  EXPECT_STREQ(b->displayName, ":1.1");
  EXPECT_EQ(b->metaScreen, metaScreen(0));
  EXPECT_EQ(b->direction, kKorvanDirectionEast);
  EXPECT_EQ(b->reference, a);
  EXPECT_EQ(a->previous, b);  // the head's previous is the tail
}

TEST_F(KorvanTest, NewRecordsAndCopies) {
  ScreenConfig *list = nullptr;
  ScreenConfig *s = korvanNewScreen(&list), *t = korvanNewScreen(&list);
  ASSERT_TRUE(s && t);
  EXPECT_STREQ(t->glLibraryPath, "libGL:libGL.so.1");
  EXPECT_NE(s->glLibraryPath, t->glLibraryPath);  // each its own copy
  EXPECT_EQ(s->borderWidth, -1);
  EXPECT_EQ(s->zoomX, 1.0);
  EXPECT_EQ(s->zoomY, 1.0);
  EXPECT_EQ(s->direction, kKorvanDirectionNotGiven);

  // A copy owns every string: the list and the copy are freed independently (no double free).
  s->name = strdup(":2.0");
  s->comment = strdup("# c\n");
  ScreenConfig *copy = korvanCopyScreenConfig(s);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->name, s->name);
  korvanFreeScreenList(&list);
  EXPECT_STREQ(copy->name, ":2.0");
  EXPECT_STREQ(copy->comment, "# c\n");
  korvanFreeScreenConfig(copy);
  free(copy);
}

TEST_F(KorvanTest, EvaluatorCases) {
  const std::pair<const char *, int32_t> values[] = {
      {"", 0},         {"(2*3)", 6},  {"(1+2*3)", 7}, {"((1+2)*3)", 9},          {"(10-4-3)", 3},
      {"(-4/2)", -2},  {"(2*-3)", -6}, {"(7%3)", 1},  {"( 0x1f + 010 )", 39},    {"(0XaB)", 171},
      {"(2147483647+1)", INT32_MIN}, {"(-2147483648)", INT32_MIN}, {"(0x7fffffff)", INT32_MAX},
      {"(-2147483648*1)", INT32_MIN},
  };
  for (const auto &[text, value] : values) {
    const char *error = nullptr;
    EXPECT_EQ(korvanEvalExpression(text, &error), value) << text;
    EXPECT_EQ(error, nullptr) << text;
  }
  // Division by zero and the one overflowing division are errors, not crashes.
  for (const char *text : {"(1/0)", "(5%0)", "(-2147483647-1)/-1", "(1+)", "(2", "()", "(08)", "(2 3)", "(0x)",
                           "(1))", "(a)", "(+1)",
                           // Literals that do not fit an int are refused, as "nice 4294967297" is.
                           "(4294967297)", "(2147483648)", "(0x80000000)", "(020000000000)",
                           "(99999999999999999999999)", "(-(2147483648))", "(- 4294967296)"}) {
    const char *error = nullptr;
    korvanEvalExpression(text, &error);
    EXPECT_STREQ(error, "syntax error in arithmetic expression") << text;
  }
  // Deep nesting: within the stack it evaluates, beyond it fails without crashing.
  const char *error = nullptr;
  EXPECT_EQ(korvanEvalExpression((std::string(3000, '(') + "42" + std::string(3000, ')')).c_str(), &error), 42);
  EXPECT_EQ(error, nullptr);
  korvanEvalExpression((std::string(20000, '(') + "1" + std::string(20000, ')')).c_str(), &error);
  EXPECT_NE(error, nullptr);
}

TEST_F(KorvanTest, ErrorMessagesNameStatementFileAndLine) {
  const struct {
    std::vector<std::string> arguments;
    const char *message;
  } cases[] = {
      {{"nice", "abc"}, "Invalid value 'abc' for statement nice"},
      {{"serverNice", "(1/0)"}, "syntax error in arithmetic expression"},
      {{"numberOfThreads", "-2"}, "Invalid value '-2' for statement numberOfThreads"},
      {{"lumoraMemory", "lots"}, "Invalid value 'lots' for statement lumoraMemory"},
      {{"nice", "99999999999"}, "Invalid value '99999999999' for statement nice"},
      {{"screen", "s", "direction", "sideways"}, "Invalid value 'sideways' for statement direction"},
      {{"screen", "s", "initialX", "3000000000"}, "Invalid value '3000000000' for statement screen initialX"},
      {{"screen", "s", "absoluteY", "up"}, "Invalid value 'up' for statement absoluteY"},
      {{"screen", "s", "emulateVisuals", "-only"}, "Syntax error or no configuration file '-only'"},  // no signs
      {{"metaScreen", "m", "width", "wide"}, "Invalid value 'wide' for statement metaScreen width"},
      {{"screen", "s", "displayGeometry", "10x10+-5+0"}, "Invalid value '10x10+-5+0' for statement physical geometry"},
      {{"screen", "s", "pointer", "zoom", "0"}, "Invalid value '0' for statement pointer"},
      {{"display"}, "Syntax error or no configuration file 'display'"},  // a block keyword names a file
      // A word that is not in the list ends it (some workaround names are only printed).
      {{"workarounds", "GLX13", "BogusVendorKeyboard"}, "Syntax error or no configuration file 'BogusVendorKeyboard'"},
      {{"#x", "nice", "1"}, "Syntax error or no configuration file '#x'"},  // no comment on the command line
      {{"metaScreen", "a", "eastOf", "zz"}, "Unknown meta screen 'zz'"},
  };
  for (const auto &c : cases) {
    const char *error = parse(c.arguments);
    ASSERT_NE(error, nullptr) << c.message;
    EXPECT_EQ(error, c.message + kCommandLine);
  }
}

TEST_F(KorvanTest, StatementsAndSettingsSetTheirFields) {
  std::string longArgument(3000, 'v');
  longArgument[1500] = ' ';
  auto bits = [](uint32_t mask) { return std::to_string(mask); };
  const struct {
    std::vector<std::string> arguments;
    std::string (*value)();
    std::string expected;
  } cases[] = {
      {{"nice", "010"}, CONFIG(nice), "8"},  // octal
      {{"nice", "0x10"}, CONFIG(nice), "16"},
      {{"nice", "12abc"}, CONFIG(nice), "12"},
      {{"serverNice", "(2*3)"}, CONFIG(serverNice), "6"},
      {{"numberOfThreads", "(2*3)"}, CONFIG(numberOfThreads), "6"},
      {{"xdmcpPort", "0x1F"}, CONFIG(xdmcpPort), "31"},
      // set takes effect before the next word is expanded.
      {{"set", "KORVAN_TEST_X", "7", "xdmcpPort", "$KORVAN_TEST_X"}, CONFIG(xdmcpPort), "7"},
      {{"accessControl", "off"}, CONFIG(accessControl), "0"},
      {{"noReset", "on"}, CONFIG(noReset), "1"},
      {{"connectTimeout", "1:30"}, CONFIG(connectTimeout), "90000"},
      {{"lumoraMemory", "256M"}, CONFIG(lumoraMemory), "268435456"},
      {{"vendorReleaseNumber", "0x10"}, CONFIG(vendorReleaseNumber), "16"},
      {{"vendorReleaseNumber", "same"}, CONFIG(vendorReleaseMode), "1"},
      {{"logTypes", "verbose", "-progress", "XErrors"}, CONFIG(logTypes), bits(0x81)},
      {{"logTypes", "all", "-all", "Clients"}, CONFIG(logTypes), bits(0x100)},
      {{"workarounds", "GLX13", "NoNoXKB", "+MotionCompression", "-GLX13"}, CONFIG(workarounds), bits(0xC000)},
      {{"xdmcpMode", "query", "once"}, CONFIG(xdmcpMode), "3"},
      {{"xdmcpMode", "query", "once"}, CONFIG(xdmcpOnce), "1"},
      {{"xdmcpMode", "once", "off"}, CONFIG(xdmcpOnce), "0"},
      {{"extensions", "none"}, CONFIG(extensionCount), "0"},
      {{"connection", "stop", "nice", "5"}, CONFIG(connection), ":0"},  // an unquoted stop ends the text
      {{"connection", "stop", "nice", "5"}, CONFIG(nice), "0"},
      {{":7"}, CONFIG(connection), ":7"},
      {{"connection", "screen"}, CONFIG(connection), "screen"},  // a keyword as a value is text
      {{"authorization", "OFF"}, CONFIG(authorization), "(none)"},
      {{"serverAuthorization", "none"}, CONFIG(serverAuthorization), "(none)"},
      {{"glxVendorString", "same"}, CONFIG(glxVendorString), "(none)"},
      {{"log", "syslog"}, CONFIG(logDestination), "syslog"},
      // Arguments with blanks, double quotes or a leading "#" stay one word.
      {{"xdmcpHost", "my host"}, CONFIG(xdmcpHost), "my host"},
      {{"vendorString", "say \"hi\""}, CONFIG(vendorString), "say \"hi\""},
      // Backslashes survive the join, also at a word's end and before a quote.
      {{"vendorString", "a b\\\"", "nice", "5"}, CONFIG(vendorString), "a b\\\""},
      {{"vendorString", "a b\\\"", "nice", "5"}, CONFIG(nice), "5"},
      {{"vendorString", "a b\\", "numberOfThreads", "3"}, CONFIG(numberOfThreads), "3"},
      {{"vendorString", "C:\\x\\\\"}, CONFIG(vendorString), "C:\\x\\\\"},
      {{"xdmcpHost", "\\"}, CONFIG(xdmcpHost), "\\"},
      {{"xdmcpDisplayClass", "#x"}, CONFIG(xdmcpDisplayClass), "#x"},
      {{"xdmcpAuthorizationCookie", longArgument}, CONFIG(xdmcpAuthorizationCookie), longArgument},
      {{"screen", "s", "display", "host:3.1"}, SCREEN(displayPart), "host:3"},
      {{"screen", "s"}, SCREEN(displayName), "s"},  // the screen's name by default
      {{"screen", "s", "displayGeometry", "400x300+10+20"}, SCREEN(physicalHeight), "300"},
      {{"screen", "s", "displayGeometry", "4x3-0+5"}, SCREEN(physicalY), "5"},  // x 0 is not negative
      {{"screen", "s", "displayHeight", "77"}, SCREEN(physicalHeight), "77"},
      {{"screen", "s", "pointer", "wrapX", "on", "zoom", "2.5"}, SCREEN(zoomY), "2.5"},
      {{"screen", "s", "pointer", "zoom", "2.5", "wrapX", "on"}, SCREEN(wrapX), "1"},
      {{"screen", "s", "pointer", "wrapY"}, SCREEN(givenMask & kScreenGivenWrapY), "0"},  // value cut off
      {{"screen", "s", "tags", "-color", "+glx", "anyScreen"}, SCREEN(tags), bits(0x400000 | 0x40 | 0x10000000)},
      {{"screen", "s", "tags", "none", "OpenGL"}, SCREEN(tags), bits(0x40)},
      {{"screen", "s", "followPointerRestrict", "shift", "mod1"}, SCREEN(followPointer), bits(0x9)},
      {{"screen", "s", "followPointerMode", "jump"}, SCREEN(followPointer), bits(0x8000)},
      {{"screen", "s", "emulateVisuals", "PseudoColor:8", "only"}, SCREEN(emulatedVisuals), bits(0x2002)},
      {{"screen", "s", "emulateDoubleBuffer", "on"}, SCREEN(emulateDoubleBuffer), "1"},
      {{"screen", "s", "lumora", "on", "libraryPath", "/x/libGL.so"}, SCREEN(glLibraryPath), "/x/libGL.so"},
      {{"screen", "s", "directGL", "on"}, SCREEN(lumora), "1"},
      {{"metaScreen", "m", "direction", "up"}, META(direction), "4"},  // direction words in any case
      {{"metaScreen", "m", "direction", "SouthEast"}, META(direction), "9"},
      {{"metaScreen", "m", "direction", "left"}, META(direction), "2"},
      {{"metaScreen", "m", "width", "double"}, META(width), "-10"},
      {{"metaScreen", "m", "widthMM", "300"}, META(changeMask), bits(0x10FF | 0x400)},
  };
  for (const auto &c : cases) {
    const char *error = parse(c.arguments);
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_EQ(c.value(), c.expected) << c.arguments[0] << " " << c.arguments.back();
  }
  // Two switches after the defaults: the last match decides (XKEYBOARD ends up on).
  ASSERT_EQ(parse({"extensions", "-RENDER", "+XKEYBOARD", "nice", "1"}), nullptr);
  ASSERT_EQ(configRecord.extensionCount, 4u);
  EXPECT_STREQ(configRecord.extensions[2].name, "RENDER");
  EXPECT_EQ(configRecord.extensions[2].enable, 0u);
  EXPECT_STREQ(configRecord.extensions[3].name, "XKEYBOARD");
  EXPECT_EQ(configRecord.extensions[3].enable, 1u);
}

// The default log file is named after the display the command line or a statement gave, unless
// a statement named a destination.
TEST_F(KorvanTest, DefaultLogFileFollowsTheDisplay) {
  auto endsWith = [](const char *text, const std::string &tail) {
    std::string s = text ? text : "";
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  const struct {
    std::vector<std::string> arguments;
    std::string tail;
  } cases[] = {
      {{}, "-0.log"},
      {{":5"}, "-5.log"},
      {{":6", "nice", "1"}, "-6.log"},
      {{"connection", ":7"}, "-7.log"},
      {{":5", "log", "syslog"}, "syslog"},
      {{"log", "/x/chosen.log", "connection", ":8"}, "/x/chosen.log"},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(parse(c.arguments), nullptr);
    EXPECT_TRUE(endsWith(configRecord.logDestination, c.tail)) << configRecord.logDestination << " " << c.tail;
  }
}

TEST_F(KorvanTest, QuotedWordsExpressionsAndCommentsInFiles) {
  // Quoted keywords and stop are values, an escaped quote stays, UTF-8 is text.
  ASSERT_EQ(parseFile("connection \"screen\"\nxdmcpHost \"a\\\"b\"\nxdmcpDisplayID \"stop\"\n"
                      "xdmcpDisplayClass \"B\xc3\xbcro\"\nnice \"(1)\""),
            std::string("Invalid value '(1)' for statement nice in ") + root + "/test.conf, line 5");
  EXPECT_STREQ(configRecord.connection, "screen");
  EXPECT_STREQ(configRecord.xdmcpHost, "a\"b");
  EXPECT_STREQ(configRecord.xdmcpDisplayID, "stop");
  EXPECT_STREQ(configRecord.xdmcpDisplayClass, "B\xc3\xbcro");
  // A quoted word ends at a quote behind an even number of backslashes: "C:\\" ends there and
  // the next line is a statement of its own.
  ASSERT_EQ(parseFile("vendorString \"C:\\\\\"\nnice 5\nxdmcpHost \"a\\\\\\\"b\"\n"), nullptr);
  EXPECT_STREQ(configRecord.vendorString, "C:\\");
  EXPECT_EQ(configRecord.nice, 5);
  EXPECT_STREQ(configRecord.xdmcpHost, "a\\\"b");
  // An expression with blanks and newlines is one word.
  ASSERT_EQ(parseFile("serverNice (1 + 2 *\n (3 - 5))\nnice 4"), nullptr);
  EXPECT_EQ(configRecord.serverNice, -3);
  EXPECT_EQ(configRecord.nice, 4);
  // A comment on a line of its own goes to the block last opened; one after a statement is dropped.
  ASSERT_EQ(parseFile("# global\nnice 1 # dropped\nmetaScreen a\n# of a\nscreen :0.0\n"
                      "   # of the screen\n   display :0.0 # dropped too\n"),
            nullptr);
  EXPECT_STREQ(configRecord.comment, "# global\n");
  EXPECT_STREQ(metaScreen(0)->comment, "# of a\n");
  EXPECT_STREQ(screen(0)->comment, "# of the screen\n");
}

TEST_F(KorvanTest, PlacementsAndGivenMasks) {
  ASSERT_EQ(parse({"screen", "s1", "displayGeometry", "4x3+1+2", "borderWidth", "2", "pointer", "wrapX", "on",
                   "zoom", "2", "tags", "color", "followPointerMode", "jump", "screen", "s2", "relativeTo", "s1",
                   "3", "-4", "screen", "s3", "initialX", "10", "relativeTo", "s1", "nice", "1"}),
            nullptr);
  EXPECT_EQ(configRecord.nice, 1);  // an unknown word ends the block
  ScreenConfig *s = screen(0), *t = screen(1), *u = screen(2);
  ASSERT_TRUE(s && t && u);
  EXPECT_EQ(s->givenMask, 0x1u | 0x2 | 0x100 | 0x200 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x80000 | 0x2000000 |
                              0x10000000);
  EXPECT_EQ(t->reference, s);
  EXPECT_EQ(t->direction, kKorvanDirectionEast);
  EXPECT_EQ(t->offsetX, 3);
  EXPECT_EQ(t->offsetY, -4);
  EXPECT_EQ(t->givenMask, 0x1u | 0x2 | kScreenGivenRelativeTo | kScreenGivenOffsetX | kScreenGivenOffsetY);
  // initialX sets direction none: the placement and its offsets are dropped.
  EXPECT_EQ(u->absoluteX, 10);
  EXPECT_EQ(u->direction, kKorvanDirectionNone);
  EXPECT_EQ(u->reference, nullptr);

  ASSERT_EQ(parse({"metaScreen", "m", "width", "triple", "height", "6", "metaScreen", "n", "northWestOf", "m", "7",
                   "keepWindowsVisible", "1"}),
            nullptr);
  EXPECT_EQ(metaScreen(0)->givenMask, kMetaGivenWidth | kMetaGivenHeight | kMetaGivenDirection);
  MetaScreenConfig *n = metaScreen(1);
  EXPECT_EQ(n->direction, kKorvanDirectionNorthWest);
  EXPECT_EQ(n->offsetX, 7);
  EXPECT_EQ(n->givenMask, kMetaGivenDirection | kMetaGivenRelativeTo | kMetaGivenOffsetX | kMetaGivenKeepWindowsVisible);
}

TEST_F(KorvanTest, SourceFiles) {
  // stop ends the sourced file only; a word that is no statement is a file name too.
  std::string inner = writeFile("inner.conf", "nice 3\nstop\nnice 4\n");
  ASSERT_EQ(parse({"source", inner, "serverNice", "7", inner}), nullptr);
  EXPECT_EQ(configRecord.nice, 3);
  EXPECT_EQ(configRecord.serverNice, 7);
  std::string empty = writeFile("empty.conf", "");  // only a warning
  EXPECT_EQ(parse({"source", empty, "nice", "9"}), nullptr);
  EXPECT_EQ(configRecord.nice, 9);

  std::string cyclic = writeFile("cyclic.conf", "\nsource " + root + "/cyclic.conf\n");
  std::string binary = writeFile("binary.conf", std::string("nice 1\n\x01\0", 9));
  std::string outer = writeFile("outer.conf", "source " + inner + "\n\nnice bad\n");
  const struct {
    std::string source, error;
  } failures[] = {
      {cyclic, "Maximum recursion level reached (possible cyclic source command) in " + cyclic + ", line 1"},
      {binary, "No UTF-8 text in configuration file '" + binary + "'" + kCommandLine},
      {root + "/missing", "Syntax error or no configuration file '" + root + "/missing'" + kCommandLine},
      {root, "Can't read file '" + root + "': Is a directory (errno 21)" + kCommandLine},
      {std::string(5000, 'f'), "Configuration statement too large" + kCommandLine},
      // The including text's line is restored after a nested file.
      {outer, "Invalid value 'bad' for statement nice in " + outer + ", line 3"},
  };
  for (const auto &f : failures) EXPECT_EQ(parse({"source", f.source}), f.error);
}

// A sourced input larger than the limit is refused with its own text, alone or with the files
// that source it (nested inputs add up); one just within the limit is read.
TEST_F(KorvanTest, LargeSourcedInputsAreRefused) {
  std::string blankLine = std::string(1023, ' ') + "\n";  // 1 KiB of blanks a line
  auto content = [&](size_t kib, const std::string &last) {
    std::string text;
    text.reserve(kib * 1024 + last.size());
    for (size_t i = 0; i < kib; i++) text += blankLine;
    return text + last;
  };
  std::string big = writeFile("big.conf", content(kKorvanSourceMax / 1024 + 1, "nice 2\n"));
  std::string fits = writeFile("fits.conf", content(kKorvanSourceMax / 1024 - 1, "nice 3\n"));
  std::string half = writeFile("half.conf", content(kKorvanSourceMax / 2048 + 1, "nice 4\n"));
  std::string outer = writeFile("outer.conf", content(kKorvanSourceMax / 2048, "source " + half + "\n"));
  auto tooLarge = [](const std::string &name) {
    return "Configuration file '" + name + "' too large (more than " + std::to_string(kKorvanSourceMax) +
           " bytes of configuration)";
  };
  EXPECT_EQ(parse({"source", big}), tooLarge(big) + kCommandLine);
  EXPECT_EQ(configRecord.nice, 0);
  EXPECT_EQ(parse({"source", fits}), nullptr);
  EXPECT_EQ(configRecord.nice, 3);
  EXPECT_EQ(parse({"source", outer}), tooLarge(half) + " in " + outer + ", line " +
                                          std::to_string(kKorvanSourceMax / 2048 + 1));
  EXPECT_EQ(parse({"source", half}), nullptr);  // alone it fits
  EXPECT_EQ(configRecord.nice, 4);
}

TEST_F(KorvanTest, TextEndingInExpressionWithoutNewline) {
  ASSERT_EQ(parseFile("nice (4)\nserverNice (1+2)"), nullptr);
  EXPECT_EQ(configRecord.nice, 4);
  EXPECT_EQ(configRecord.serverNice, 3);
  // Directly on a buffer of exactly the text's size: the lexer stays inside it.
  for (const char *text : {"nice (1+2)", "nice (1+", "connection \"open", "nice", "#", "(", "\""}) {
    std::vector<char> buffer(text, text + strlen(text) + 1);
    const char *file = "buffer";
    int line = 0;
    korvanParse(buffer.data(), 0, &file, &line);
    EXPECT_EQ(line, 1) << text;
  }
}

TEST_F(KorvanTest, ResolutionErrorNamesWhereTheReferenceWasWritten) {
  const char *error = parseFile("metaScreen a\nscreen :0.0\nmetaScreen b\nscreen :1.0\n  westOf :0.0\n");
  EXPECT_STREQ(error, ("No screen ':0.0' in meta screen 'b' in " + root + "/test.conf, line 5").c_str());
  // The lists and the named strings are freed afterwards.
  EXPECT_EQ(configRecord.screens, nullptr);
  EXPECT_EQ(configRecord.metaScreens, nullptr);
  EXPECT_EQ(configRecord.xdmcpHost, nullptr);
}

TEST_F(KorvanTest, MetaScreensWithHeads) {
  ASSERT_EQ(parse({"metaScreen", "a", "screen", ":0.0", "screen", ":0.1", "metaScreen", "b", "eastOf", "a",
                   "screen", ":1.0"}),
            nullptr);
  ASSERT_EQ(configRecord.metaScreenCount, 2u);
  MetaScreenConfig *a = metaScreen(0), *b = metaScreen(1);
  EXPECT_EQ(a->direction, kKorvanDirectionNone);
  EXPECT_EQ(b->direction, kKorvanDirectionEast);
  EXPECT_EQ(b->referenceIndex, 0);
  ASSERT_TRUE(screen(2) && !screen(3));
  EXPECT_EQ(screen(1)->metaScreen, a);
  EXPECT_EQ(screen(1)->direction, kKorvanDirectionEast);
  EXPECT_EQ(screen(1)->reference, screen(0));
  EXPECT_EQ(screen(2)->metaScreen, b);
  EXPECT_EQ(screen(2)->direction, kKorvanDirectionNone);

  // A later meta screen without a name refers to the one before it; delete removes records.
  ASSERT_EQ(parse({"metaScreen", "x", "metaScreen", "y", "metaScreen", "z", "delete", "screen", ":0.0",
                   "ofMetaScreen", "y", "screen", ":0.1", "delete"}),
            nullptr);
  ASSERT_EQ(configRecord.metaScreenCount, 2u);
  EXPECT_EQ(metaScreen(1)->reference, metaScreen(0));
  ASSERT_TRUE(screen(0) && !screen(1));
  EXPECT_EQ(screen(0)->metaScreen, metaScreen(1));
}

TEST_F(KorvanTest, ServerCommandIsKeptRaw) {
  ASSERT_EQ(parse({"nice", "1", "serverCommand", "Xvfb", ":5", "-screen", "0", "800x600x24"}), nullptr);
  ASSERT_EQ(configRecord.serverCommandCount, 5);
  const char *expected[] = {"Xvfb", ":5", "-screen", "0", "800x600x24"};
  for (int i = 0; i < 5; i++) EXPECT_STREQ(configRecord.serverCommand[i], expected[i]);
  // Keywords, stop and expressions are words of the command; lines go on.
  ASSERT_EQ(parseFile("serverCommand Xvfb nice\n  stop (1+1)\nnice 2\n"), nullptr);
  ASSERT_EQ(configRecord.serverCommandCount, 6);
  EXPECT_STREQ(configRecord.serverCommand[2], "stop");
  EXPECT_STREQ(configRecord.serverCommand[3], "(1+1)");
  EXPECT_EQ(configRecord.nice, 0);
}

TEST_F(KorvanTest, WorkaroundNames) {
  EXPECT_STREQ(korvanWorkaroundsText(0), "none");
  EXPECT_STREQ(korvanWorkaroundsText(0x800 | 0x4000 | 0x8000), "GLX13 MotionCompression");
  EXPECT_STREQ(korvanWorkaroundsText(0x1 | 0x100000), "ActiveDrawInWindow NoGLXDestroyPbuffer");
}

}  // namespace
