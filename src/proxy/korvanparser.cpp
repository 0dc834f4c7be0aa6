// The configuration model and the configuration language: a lexer that cuts the text in
// place, a statement machine that writes into configRecord, source files, and the pass that
// ties screens and meta screens together once the command line has been read.

#include "proxy/korvanparser.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "proxy/files.h"
#include "support/circlist.h"
#include "support/configfile.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xutilh.h"

ConfigRecord configRecord;

// The default log file is named after the configured display.
[[maybe_unused]] static const bool connectionShared = (filesConnectionName = &configRecord.connection, true);
char **ConfigCommentTarget = &configRecord.comment;

namespace {

// Failure texts of this file name their source as the rest of the proxy's messages do.
#define KORVAN_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("Proxy/korvanparser")

constexpr int kMaxSourceDepth = 1000;
constexpr size_t kTokenSize = 4096;
constexpr size_t kReadChunk = 8192;
constexpr size_t kExpressionStackLimit = 10000;

// The meta screen and the screen that block settings and new screens refer to.
MetaScreenConfig *currentMetaScreen;
ScreenConfig *currentScreen;

// The file name of the innermost text that failed; it outlives the parse that named it.
char failedFileName[kFilesPathSize];

// --- Small helpers -------------------------------------------------------------------------

// Replaces an owned string by a copy of value (NULL clears it). 0 when out of memory.
int replaceString(char **field, const char *value) {
  char *copy = nullptr;
  if (value && !(copy = strdup(value))) return 0;
  free(*field);
  *field = copy;
  return 1;
}

void clearString(char **field) {
  free(*field);
  *field = nullptr;
}

// Copies an optional string into *to; 0 when out of memory.
int copyOptional(char **to, const char *from) {
  *to = nullptr;
  if (!from) return 1;
  *to = strdup(from);
  return *to != nullptr;
}

const char *invalidValue(const char *value, const char *label) {
  return strTempPrintf("Invalid value '%s' for statement %s", value, label);
}

// A number with the C library's rules: "0x" hexadecimal, a leading "0" octal, else decimal;
// characters after the number are ignored. 0 when there is no number or it does not fit.
int parseSigned(const char *text, int32_t *value) {
  errno = 0;
  char *end = nullptr;
  long long number = strtoll(text, &end, 0);
  if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) return 0;
  *value = static_cast<int32_t>(number);
  return 1;
}

int parseUnsigned(const char *text, uint32_t *value) {
  const char *start = text;
  while (isspace(static_cast<unsigned char>(*start))) start++;
  if (*start == '-') return 0;
  errno = 0;
  char *end = nullptr;
  unsigned long long number = strtoull(start, &end, 0);
  if (end == start || errno == ERANGE || number > UINT32_MAX) return 0;
  *value = static_cast<uint32_t>(number);
  return 1;
}

int isOn(const char *text) { return strcasecmp(text, "on") == 0; }
int isOff(const char *text) { return strcasecmp(text, "off") == 0; }

// --- Keywords ------------------------------------------------------------------------------

enum Keyword {
  kwNone = -1,
  // statements
  kwAccessControl, kwAuthorization, kwConnection, kwConnectTimeout, kwExtensions,
  kwGlxVendorString, kwLog, kwLogDestination, kwLogTypes, kwLumoraMemory, kwMetaScreen, kwNice, kwNoReset,
  kwNumberOfThreads, kwScreen, kwServerAuthorization, kwServerCommand, kwServerNice, kwSet,
  kwSource, kwStop, kwVendorReleaseNumber, kwVendorString, kwWorkaround, kwWorkarounds,
  kwXdmcpAuthorizationCookie, kwXdmcpDisplayClass, kwXdmcpDisplayID, kwXdmcpHost, kwXdmcpMode,
  kwXdmcpPort,
  // block settings
  kwDelete, kwSameAs, kwCloneOf, kwNorthOf, kwAboveOf, kwSouthOf, kwBelowOf, kwWestOf, kwLeftOf,
  kwEastOf, kwRightOf, kwNorthWestOf, kwNorthEastOf, kwSouthWestOf, kwSouthEastOf, kwDirection,
  kwRelativeTo, kwOffsetX, kwOffsetY, kwWidth, kwHeight, kwWidthMM, kwHeightMM,
  kwKeepWindowsVisible, kwAbsoluteX, kwAbsoluteY, kwInitialX, kwInitialY, kwBorderWidth,
  kwDisplay, kwDisplayGeometry, kwDisplayX, kwDisplayY, kwDisplayWidth, kwDisplayHeight,
  kwEmulateDoubleBuffer, kwEmulateVisual, kwEmulateVisuals, kwFollowPointerMode,
  kwFollowPointerRestrict, kwFollowPointerX, kwFollowPointerY, kwLumora, kwDirectGL, kwDirectGLX,
  kwOfMetaScreen, kwPointer, kwTags,
  kwCount
};

const char *const kKeywordNames[kwCount] = {
    "accessControl", "authorization", "connection", "connectTimeout", "extensions",
    "glxVendorString", "log", "logDestination", "logTypes", "lumoraMemory", "metaScreen", "nice", "noReset",
    "numberOfThreads", "screen", "serverAuthorization", "serverCommand", "serverNice", "set",
    "source", "stop", "vendorReleaseNumber", "vendorString", "workaround", "workarounds",
    "xdmcpAuthorizationCookie", "xdmcpDisplayClass", "xdmcpDisplayID", "xdmcpHost", "xdmcpMode",
    "xdmcpPort",
    "delete", "sameAs", "cloneOf", "northOf", "aboveOf", "southOf", "belowOf", "westOf", "leftOf",
    "eastOf", "rightOf", "northWestOf", "northEastOf", "southWestOf", "southEastOf", "direction",
    "relativeTo", "offsetX", "offsetY", "width", "height", "widthMM", "heightMM",
    "keepWindowsVisible", "absoluteX", "absoluteY", "initialX", "initialY", "borderWidth",
    "display", "displayGeometry", "displayX", "displayY", "displayWidth", "displayHeight",
    "emulateDoubleBuffer", "emulateVisual", "emulateVisuals", "followPointerMode",
    "followPointerRestrict", "followPointerX", "followPointerY", "lumora", "directGL", "directGLX",
    "ofMetaScreen", "pointer", "tags",
};

Keyword keywordLookup(const char *text) {
  for (int i = 0; i < kwCount; i++)
    if (strcasecmp(text, kKeywordNames[i]) == 0) return static_cast<Keyword>(i);
  return kwNone;
}

// Placement keywords and their direction codes; -1 for relativeTo (direction unchanged).
int placementCode(Keyword keyword) {
  switch (keyword) {
    case kwSameAs: case kwCloneOf: return kKorvanDirectionSame;
    case kwWestOf: case kwLeftOf: return kKorvanDirectionWest;
    case kwEastOf: case kwRightOf: return kKorvanDirectionEast;
    case kwNorthOf: case kwAboveOf: return kKorvanDirectionNorth;
    case kwSouthOf: case kwBelowOf: return kKorvanDirectionSouth;
    case kwNorthWestOf: return kKorvanDirectionNorthWest;
    case kwNorthEastOf: return kKorvanDirectionNorthEast;
    case kwSouthWestOf: return kKorvanDirectionSouthWest;
    case kwSouthEastOf: return kKorvanDirectionSouthEast;
    case kwRelativeTo: return -1;
    default: return -2;
  }
}

// --- Word tables of list values --------------------------------------------------------------

struct BitWord {
  const char *name;
  uint32_t bits;
};

const BitWord kLogTypeWords[] = {
    {"XError", 0x1}, {"XErrors", 0x1}, {"X11Errors", 0x1}, {"ProtocolErrors", 0x1},
    {"Errors", 0x1}, {"ExtensionDetails", 0x4}, {"AuthorizationDetails", 0x8},
    {"ClientNames", 0x20}, {"visual", 0x40}, {"visuals", 0x40}, {"xvisuals", 0x40},
    {"VisualDetails", 0x40}, {"XHints", 0x80}, {"Hints", 0x80}, {"XClients", 0x100},
    {"Clients", 0x100}, {"progress", 0x200}, {"steps", 0x200}, {"verbose", 0x280},
    {"RANDR", 0x400}, {"all", 0xFFFFFFFFu},
};

// Every workaround bit in bit order. The statement sets only kWorkaroundSettable;
// korvanWorkaroundsText names every bit but NoNoXKB.
const BitWord kWorkaroundWords[] = {
    {"ActiveDrawInWindow", 0x1}, {"MapDiscardExpose", 0x2}, {"ForgetBitGravity", 0x4},
    {"RefreshBitGravity", 0x8}, {"ExposeInsteadOfGraphicsExpose", 0x10},
    {"ExposeAfterGraphicsExpose", 0x20}, {"ExposeBeforeGraphicsExpose", 0x40},
    {"FixPointerCoordinates", 0x80}, {"BogusVendorKeyboard", 0x100},
    {"SimulateAllExtensions", 0x200}, {"AbsoluteInputDeviceMode", 0x400}, {"GLX13", 0x800},
    {"WMIgnoresMoveWindow", 0x1000}, {"WMIncludesDecoration", 0x2000}, {"NoNoXKB", 0x4000},
    {"MotionCompression", 0x8000}, {"SelectScreenChangeEvents", 0x10000},
    {"RANDREmulation", 0x20000}, {"BadSequenceNumbers", 0x40000}, {"NoGLXCopyContext", 0x80000},
    {"NoGLXDestroyPbuffer", 0x100000},
};
constexpr uint32_t kWorkaroundSettable = 0x1F8FF;

const BitWord kTagWords[] = {
    {"color", kScreenTagColor}, {"glx", kScreenTagGlx}, {"OpenGL", kScreenTagGlx},
    {"optimizedDraw", kScreenTagOptimizedDraw}, {"anyScreen", kScreenTagAnyScreen},
    {"buggyRANDR", kScreenTagBuggyRandr},
};

const BitWord kRestrictWords[] = {
    {"shift", 0x1}, {"lock", 0x2}, {"control", 0x4}, {"mod1", 0x8},
    {"mod2", 0x10}, {"mod3", 0x20}, {"mod4", 0x40}, {"mod5", 0x80},
};

const BitWord kEmulateWords[] = {
    {"PseudoColor4", kEmulatePseudoColor4}, {"PseudoColor:4", kEmulatePseudoColor4},
    {"PseudoColor8", kEmulatePseudoColor8}, {"PseudoColor:8", kEmulatePseudoColor8},
    {"only", kEmulateOnly},
};

// The modes of xdmcpMode; -1 for "once", which sets the once flag.
const struct {
  const char *word;
  int mode;
} kXdmcpModeWords[] = {{"off", kXdmcpOff}, {"broadcast", kXdmcpBroadcast}, {"indirect", kXdmcpIndirect},
                       {"query", kXdmcpQuery}, {"once", -1}};

// The entry of table whose name is word (any case) and whose bits lie in usable.
template <size_t N>
const BitWord *findWord(const BitWord (&table)[N], const char *word, uint32_t usable = ~0u) {
  for (const BitWord &entry : table)
    if (strcasecmp(entry.name, word) == 0 && (entry.bits & usable) == entry.bits) return &entry;
  return nullptr;
}

// --- Lexer ---------------------------------------------------------------------------------

struct Token {
  enum Kind { kEnd, kKeyword, kValue } kind = kEnd;
  Keyword keyword = kwNone;
  const char *text = "";
  int quoted = 0;
  int line = 0;
};

struct Parser {
  char *position;
  KorvanLexState korvanLexState;
  int pendingNewline;  // a newline that ended the last word, counted at the next word
  int depth;
  const char **fileName;
  int *line;
  std::vector<char> expanded;  // the expanded text of the last token
  Token pushed;
  int hasPushed;
};

void pushBack(Parser &parser, const Token &token) {
  parser.pushed = token;
  parser.hasPushed = 1;
}

const char *appendComment(const char *begin, size_t length) {
  if (!ConfigCommentTarget) return nullptr;
  char *old = *ConfigCommentTarget;
  size_t oldLength = old ? strlen(old) : 0;
  char *grown = static_cast<char *>(realloc(old, oldLength + length + 2));
  if (!grown) return KORVAN_OUT_OF_MEMORY();
  memcpy(grown + oldLength, begin, length);
  grown[oldLength + length] = '\n';
  grown[oldLength + length + 1] = 0;
  *ConfigCommentTarget = grown;
  return nullptr;
}

// Ends the word at *position: the separator (if any) becomes its terminating NUL and is
// consumed; the end of the text is never consumed.
void endWord(Parser &parser) {
  if (!*parser.position) return;
  if (*parser.position == '\n') parser.pendingNewline = 1;
  *parser.position++ = 0;
}

const char *nextToken(Parser &parser, Token &token) {
  if (parser.hasPushed) {
    token = parser.pushed;
    parser.hasPushed = 0;
    return nullptr;
  }
  int raw = parser.korvanLexState == kKorvanLexRaw;
  if (parser.pendingNewline) {
    parser.pendingNewline = 0;
    (*parser.line)++;
    if (!raw) parser.korvanLexState = kKorvanLexLineEnded;
  }
  token = Token{};
  if (parser.korvanLexState == kKorvanLexEnd) return nullptr;
  for (;;) {
    char c = *parser.position;
    if (!c) {
      parser.korvanLexState = kKorvanLexEnd;
      token.line = *parser.line;
      return nullptr;
    }
    if (c == '\n') {
      (*parser.line)++;
      if (!raw) parser.korvanLexState = kKorvanLexLineEnded;
      parser.position++;
    } else if (isspace(static_cast<unsigned char>(c))) {
      parser.position++;
    } else if (c == '#') {
      int leading = parser.korvanLexState == kKorvanLexStart ||
                    parser.korvanLexState == kKorvanLexLineEnded;
      char *begin = parser.position;
      while (*parser.position && *parser.position != '\n') parser.position++;
      if (leading) {
        const char *error = appendComment(begin, static_cast<size_t>(parser.position - begin));
        if (error) return error;
      }
    } else {
      break;
    }
  }
  token.line = *parser.line;
  char *word = parser.position;
  if (*word == '"') {
    token.quoted = 1;
    word = ++parser.position;
    // The word ends at a quote behind an even number of backslashes: in "C:\\" the quote
    // ends the word, in "a\"b" it does not.
    while (*parser.position &&
           !(*parser.position == '"' &&
             !configIsEscaped(word, static_cast<int>(parser.position - word)))) {
      if (*parser.position == '\n') (*parser.line)++;
      parser.position++;
    }
    if (*parser.position) *parser.position++ = 0;
  } else if (*word == '(') {
    int nesting = 0;
    while (*parser.position) {
      char c = *parser.position++;
      if (c == '(') {
        nesting++;
      } else if (c == ')') {
        if (--nesting == 0) break;
      } else if (c == '\n') {
        (*parser.line)++;
      }
    }
    endWord(parser);
  } else {
    while (*parser.position && !isspace(static_cast<unsigned char>(*parser.position))) parser.position++;
    endWord(parser);
  }
  if (!raw) parser.korvanLexState = kKorvanLexInLine;

  char *buffer = parser.expanded.data();
  const char *error = configExpandVariables(word, buffer, kTokenSize);
  if (error) return error;
  if (!token.quoted && !raw && buffer[0] == '(') {
    int32_t value = korvanEvalExpression(buffer, &error);
    if (error) return error;
    snprintf(buffer, kTokenSize, "%d", value);
  }
  token.text = buffer;
  token.kind = Token::kValue;
  if (!raw && !token.quoted && buffer[0] != '+' && buffer[0] != '-') {
    token.keyword = keywordLookup(buffer);
    if (token.keyword != kwNone) token.kind = Token::kKeyword;
  }
  return nullptr;
}

int isEnd(const Token &token) {
  return token.kind == Token::kEnd || (token.kind == Token::kKeyword && token.keyword == kwStop);
}

// Reads the next word as a value. 0 when there is none: *error is then the lexer's error, or
// NULL at the end of the text or at "stop" (pushed back, so that the parse ends without error).
int valueWord(Parser &parser, Token &token, const char **error) {
  if ((*error = nextToken(parser, token))) return 0;
  if (!isEnd(token)) return 1;
  pushBack(parser, token);
  return 0;
}

// Ends a list value: the word is read again as a setting or statement.
const char *endList(Parser &parser, const Token &token) {
  pushBack(parser, token);
  return nullptr;
}

// --- Statements ----------------------------------------------------------------------------

enum BlockState { kStatement, kMetaScreenBlock, kScreenBlock };

const char *parseSource(Parser &parser, const char *name);

// A list of flag words ("none" clears all); with signs, "+" sets and "-" clears. The first
// word that is not in the table (or whose bits are not usable, or that has a sign the list
// does not take) is read again.
template <size_t N>
const char *parseBitList(Parser &parser, const BitWord (&table)[N], uint32_t *mask, uint32_t usable = ~0u,
                         int signs = 1) {
  for (;;) {
    Token token;
    const char *error;
    if (!valueWord(parser, token, &error)) return error;
    const char *word = token.text;
    char sign = 0;
    if (word[0] == '+' || word[0] == '-') {
      if (!signs) return endList(parser, token);
      sign = *word++;
    }
    if (!sign && strcasecmp(word, "none") == 0) {
      *mask = 0;
      continue;
    }
    const BitWord *entry = findWord(table, word, usable);
    if (!entry) return endList(parser, token);
    if (sign == '-')
      *mask &= ~entry->bits;
    else
      *mask |= entry->bits;
  }
}

void freeExtensions(ConfigRecord &config) {
  for (uint32_t i = 0; i < config.extensionCount; i++) free(config.extensions[i].name);
  free(config.extensions);
  config.extensions = nullptr;
  config.extensionCount = 0;
}

const char *parseExtensions(Parser &parser) {
  ConfigRecord &config = configRecord;
  for (;;) {
    Token token;
    const char *error;
    if (!valueWord(parser, token, &error)) return error;
    if (token.kind != Token::kValue) return endList(parser, token);
    const char *word = token.text;
    if (strcasecmp(word, "none") == 0) {
      freeExtensions(config);
      continue;
    }
    uint32_t enable = 1;
    if (word[0] == '-' || word[0] == '+') enable = *word++ == '+';
    if (!*word) return invalidValue(token.text, "extensions");
    auto *grown = static_cast<ExtensionSwitch *>(
        realloc(config.extensions, (config.extensionCount + 1) * sizeof(ExtensionSwitch)));
    if (!grown) return KORVAN_OUT_OF_MEMORY();
    config.extensions = grown;
    char *name = strdup(word);
    if (!name) return KORVAN_OUT_OF_MEMORY();
    grown[config.extensionCount++] = ExtensionSwitch{enable, name};
  }
}

const char *parseXdmcpMode(Parser &parser) {
  for (;;) {
    Token token;
    const char *error;
    if (!valueWord(parser, token, &error)) return error;
    const auto *entry = std::find_if(std::begin(kXdmcpModeWords), std::end(kXdmcpModeWords),
                                     [&](const auto &e) { return strcasecmp(e.word, token.text) == 0; });
    if (entry == std::end(kXdmcpModeWords)) return endList(parser, token);
    if (entry->mode < 0) {
      configRecord.xdmcpOnce = 1;
    } else {
      configRecord.xdmcpMode = static_cast<uint32_t>(entry->mode);
      if (entry->mode == kXdmcpOff) configRecord.xdmcpOnce = 0;
    }
  }
}

// Reads "on" or "off" into *value; another word is an error.
const char *readOnOff(Parser &parser, const char *label, uint32_t *value) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  if (isOn(token.text))
    *value = 1;
  else if (isOff(token.text))
    *value = 0;
  else
    return invalidValue(token.text, label);
  return nullptr;
}

// A statement whose value is a string: none for the words clearA and clearB.
const char *readString(Parser &parser, char **field, const char *clearA = nullptr, const char *clearB = nullptr) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  const char *value = token.text;
  if ((clearA && strcasecmp(value, clearA) == 0) || (clearB && strcasecmp(value, clearB) == 0)) value = nullptr;
  if (!replaceString(field, value)) return KORVAN_OUT_OF_MEMORY();
  return nullptr;
}

// How the number of a setting is written: signed; unsigned (no sign, and it must fit an
// int32_t field); unsigned and placing the record at no direction; a size that may also be
// "double" or "triple".
enum NumberForm { kSigned, kUnsigned, kInitial, kSize };

int parseNumber(const char *text, NumberForm form, int32_t *value) {
  if (form == kSize && strcasecmp(text, "double") == 0) return *value = kMetaSizeDouble, 1;
  if (form == kSize && strcasecmp(text, "triple") == 0) return *value = kMetaSizeTriple, 1;
  if (form == kSigned || form == kSize) return parseSigned(text, value);
  uint32_t number;
  if (!parseUnsigned(text, &number) || number > INT32_MAX) return 0;
  *value = static_cast<int32_t>(number);
  return 1;
}

// A number setting of a block: the label of its error message, the field it writes, and the
// mask bits that record that it was given.
template <class R>
struct NumberSetting {
  Keyword keyword;
  const char *label;
  NumberForm form;
  int32_t R::*field;
  uint32_t R::*mask;
  uint32_t bits;
};

using M = MetaScreenConfig;
using S = ScreenConfig;

const NumberSetting<M> kMetaScreenNumbers[] = {
    {kwOffsetX, "metaScreen offsetX", kSigned, &M::offsetX, &M::givenMask, kMetaGivenOffsetX},
    {kwOffsetY, "metaScreen offsetY", kSigned, &M::offsetY, &M::givenMask, kMetaGivenOffsetY},
    {kwWidth, "metaScreen width", kSize, &M::width, &M::givenMask, kMetaGivenWidth},
    {kwHeight, "metaScreen height", kSize, &M::height, &M::givenMask, kMetaGivenHeight},
    {kwWidthMM, "metaScreen widthMM", kSigned, &M::widthMM, &M::changeMask, kMetaChangeWidthMM},
    {kwHeightMM, "metaScreen heightMM", kSigned, &M::heightMM, &M::changeMask, kMetaChangeHeightMM},
    {kwKeepWindowsVisible, "keepWindowsVisible", kSigned, &M::keepWindowsVisible, &M::givenMask,
     kMetaGivenKeepWindowsVisible},
};

const NumberSetting<S> kScreenNumbers[] = {
    {kwAbsoluteX, "absoluteX", kSigned, &S::absoluteX, &S::givenMask, kScreenGivenAbsoluteX},
    {kwAbsoluteY, "absoluteY", kSigned, &S::absoluteY, &S::givenMask, kScreenGivenAbsoluteY},
    {kwInitialX, "screen initialX", kInitial, &S::absoluteX, &S::givenMask,
     kScreenGivenAbsoluteX | kScreenGivenDirection},
    {kwInitialY, "screen initialY", kInitial, &S::absoluteY, &S::givenMask,
     kScreenGivenAbsoluteY | kScreenGivenDirection},
    {kwBorderWidth, "screen borderWidth", kSigned, &S::borderWidth, &S::givenMask, kScreenGivenBorderWidth},
    {kwDisplayX, "convert physicalX", kSigned, &S::physicalX, &S::givenMask, kScreenGivenPhysicalX},
    {kwDisplayY, "convert physicalY", kSigned, &S::physicalY, &S::givenMask, kScreenGivenPhysicalY},
    {kwDisplayWidth, "convert physicalWidth", kSigned, &S::physicalWidth, &S::givenMask,
     kScreenGivenPhysicalWidth},
    {kwDisplayHeight, "convert physicalHeight", kUnsigned, &S::physicalHeight, &S::givenMask,
     kScreenGivenPhysicalHeight},
    {kwFollowPointerX, "screen followPointerX", kSigned, &S::followPointerX, &S::givenMask,
     kScreenGivenFollowPointerX},
    {kwFollowPointerY, "screen followPointerY", kSigned, &S::followPointerY, &S::givenMask,
     kScreenGivenFollowPointerY},
    {kwOffsetX, "screen offsetX", kSigned, &S::offsetX, &S::givenMask, kScreenGivenOffsetX},
    {kwOffsetY, "screen offsetY", kSigned, &S::offsetY, &S::givenMask, kScreenGivenOffsetY},
};

// The givenMask bits of a placement, which differ between meta screens and screens.
struct PlacementBits {
  uint32_t direction, relativeTo, offsetX, offsetY;
};
constexpr PlacementBits kMetaScreenPlacement{kMetaGivenDirection, kMetaGivenRelativeTo, kMetaGivenOffsetX,
                                             kMetaGivenOffsetY};
constexpr PlacementBits kScreenPlacement{kScreenGivenDirection, kScreenGivenRelativeTo, kScreenGivenOffsetX,
                                         kScreenGivenOffsetY};

// name [offsetX [offsetY]]; code -1 leaves the direction alone. A word that is no number
// ends the placement and is read again.
template <class R>
const char *parsePlacement(Parser &parser, int code, R *record, const PlacementBits &bits) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  if (!replaceString(&record->relativeTo, token.text) || !replaceString(&record->fileName, *parser.fileName))
    return KORVAN_OUT_OF_MEMORY();
  record->line = static_cast<uint32_t>(token.line);
  record->givenMask |= bits.relativeTo;
  if (code >= 0) {
    record->direction = static_cast<uint32_t>(code);
    record->givenMask |= bits.direction;
  }
  int32_t *offsets[2] = {&record->offsetX, &record->offsetY};
  uint32_t offsetBits[2] = {bits.offsetX, bits.offsetY};
  for (int i = 0; i < 2; i++) {
    if ((error = nextToken(parser, token))) return error;
    if (isEnd(token) || !parseSigned(token.text, offsets[i])) return endList(parser, token);
    record->givenMask |= offsetBits[i];
  }
  return nullptr;
}

// The settings both blocks have: placements, "direction" and the number settings of their
// table. *known 0 when the keyword is none of them.
template <class R, size_t N>
const char *sharedSetting(Parser &parser, Keyword keyword, R *record, const PlacementBits &bits,
                          const NumberSetting<R> (&numbers)[N], int *known) {
  *known = 1;
  int code = placementCode(keyword);
  if (code >= -1) return parsePlacement(parser, code, record, bits);
  Token token;
  const char *error;
  if (keyword == kwDirection) {
    if (!valueWord(parser, token, &error)) return error;
    if (!korvanDirectionWord(token.text, &record->direction)) return invalidValue(token.text, "direction");
    record->givenMask |= bits.direction;
    return nullptr;
  }
  for (const NumberSetting<R> &entry : numbers) {
    if (entry.keyword != keyword) continue;
    if (!valueWord(parser, token, &error)) return error;
    if (!parseNumber(token.text, entry.form, &(record->*entry.field))) return invalidValue(token.text, entry.label);
    if (entry.form == kInitial) record->direction = kKorvanDirectionNone;
    record->*entry.mask |= entry.bits;
    return nullptr;
  }
  *known = 0;
  return nullptr;
}

// The record of a list with that name (any case).
template <class T>
T *findByName(T *list, const char *name) {
  for (; list; list = list->next)
    if (list->name && strcasecmp(list->name, name) == 0) return list;
  return nullptr;
}

MetaScreenConfig *findMetaScreen(const char *name) { return findByName(configRecord.metaScreens, name); }

// "delete" of a block: the current record leaves its list and is freed; back to statements.
template <class T>
void deleteCurrent(T **list, T **current, void (*freeRecord)(T *), BlockState *state) {
  circListUnlink(list, *current);
  freeRecord(*current);
  free(*current);
  *current = nullptr;
  ConfigCommentTarget = &configRecord.comment;
  *state = kStatement;
}

// A meta screen made on demand: named, with the next number.
MetaScreenConfig *makeMetaScreen(const char *name) {
  MetaScreenConfig *metaScreen = korvanNewMetaScreen(&configRecord.metaScreens);
  if (!metaScreen) return nullptr;
  if (!(metaScreen->name = strdup(name))) {
    circListUnlink(&configRecord.metaScreens, metaScreen);
    free(metaScreen);
    return nullptr;
  }
  metaScreen->index = configRecord.metaScreenCount++;
  return metaScreen;
}

const char *openMetaScreen(Parser &parser) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  MetaScreenConfig *metaScreen = findMetaScreen(token.text);
  if (!metaScreen) {
    uint32_t first = configRecord.metaScreenCount == 0;
    if (!(metaScreen = makeMetaScreen(token.text))) return KORVAN_OUT_OF_MEMORY();
    metaScreen->direction = first ? kKorvanDirectionNone : kKorvanDirectionEast;
    metaScreen->givenMask |= kMetaGivenDirection;
  }
  currentMetaScreen = metaScreen;
  ConfigCommentTarget = &metaScreen->comment;
  return nullptr;
}

const char *openScreen(Parser &parser) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  ScreenConfig *screen = findByName(configRecord.screens, token.text);
  if (!screen) {
    if (!(screen = korvanNewScreen(&configRecord.screens))) return KORVAN_OUT_OF_MEMORY();
    screen->givenMask |= kScreenGivenStatement;
    if (!(screen->name = strdup(token.text)) ||
        (currentMetaScreen && !copyOptional(&screen->metaScreenName, currentMetaScreen->name))) {
      circListUnlink(&configRecord.screens, screen);
      korvanFreeScreenConfig(screen);
      free(screen);
      return KORVAN_OUT_OF_MEMORY();
    }
  }
  currentScreen = screen;
  ConfigCommentTarget = &screen->comment;
  return nullptr;
}

// One setting of a meta screen block; *known 0 when the keyword is none of its settings.
const char *metaScreenSetting(Parser &parser, const Token &setting, BlockState *state, int *known) {
  MetaScreenConfig *m = currentMetaScreen;
  if (setting.keyword != kwDelete)
    return sharedSetting(parser, setting.keyword, m, kMetaScreenPlacement, kMetaScreenNumbers, known);
  *known = 1;
  deleteCurrent(&configRecord.metaScreens, &currentMetaScreen, korvanFreeMetaScreenConfig, state);
  if (configRecord.metaScreenCount) configRecord.metaScreenCount--;
  return nullptr;
}

const char *parseDisplayGeometry(Parser &parser, ScreenConfig *s) {
  Token token;
  const char *error;
  if (!valueWord(parser, token, &error)) return error;
  int x = 0, y = 0;
  unsigned width = 0, height = 0;
  int flags = XParseGeometry(token.text, &x, &y, &width, &height);
  if (!flags || ((flags & XValue) && x < 0) || ((flags & YValue) && y < 0) ||
      width > INT32_MAX || height > INT32_MAX)
    return invalidValue(token.text, "physical geometry");
  if (flags & XValue) s->physicalX = x, s->givenMask |= kScreenGivenPhysicalX;
  if (flags & YValue) s->physicalY = y, s->givenMask |= kScreenGivenPhysicalY;
  if (flags & WidthValue) s->physicalWidth = static_cast<int32_t>(width), s->givenMask |= kScreenGivenPhysicalWidth;
  if (flags & HeightValue)
    s->physicalHeight = static_cast<int32_t>(height), s->givenMask |= kScreenGivenPhysicalHeight;
  return nullptr;
}

const char *parseLumora(Parser &parser, ScreenConfig *s) {
  for (;;) {
    Token token;
    const char *error;
    if (!valueWord(parser, token, &error)) return error;
    if (isOn(token.text)) {
      s->lumora = 1;
    } else if (isOff(token.text)) {
      s->lumora = 0;
    } else if (strcasecmp(token.text, "libraryPath") == 0 || strcasecmp(token.text, "searchPath") == 0) {
      if (!valueWord(parser, token, &error)) return error;
      if (!replaceString(&s->glLibraryPath, token.text)) return KORVAN_OUT_OF_MEMORY();
    } else {
      return endList(parser, token);
    }
  }
}

const char *parsePointer(Parser &parser, ScreenConfig *s) {
  for (;;) {
    Token token;
    const char *error;
    if (!valueWord(parser, token, &error)) return error;
    int wrapX = strcasecmp(token.text, "wrapX") == 0;
    if (wrapX || strcasecmp(token.text, "wrapY") == 0) {
      uint32_t on = 2;  // stays 2 when the text ends before the value
      if ((error = readOnOff(parser, "pointer", &on)) || on > 1) return error;
      (wrapX ? s->wrapX : s->wrapY) = static_cast<uint8_t>(on);
      s->givenMask |= wrapX ? kScreenGivenWrapX : kScreenGivenWrapY;
    } else if (strcasecmp(token.text, "zoom") == 0 || strcasecmp(token.text, "zooming") == 0 ||
               strcasecmp(token.text, "scale") == 0 || strcasecmp(token.text, "scaling") == 0) {
      if (!valueWord(parser, token, &error)) return error;
      char *end = nullptr;
      double zoom = strtod(token.text, &end);
      // A zoom factor divides coordinates later on: it must be a positive, finite number.
      if (end == token.text || !std::isfinite(zoom) || zoom <= 0) return invalidValue(token.text, "pointer");
      s->zoomX = s->zoomY = zoom;
      s->givenMask |= kScreenGivenZoom;
    } else {
      return endList(parser, token);
    }
  }
}

// One setting of a screen block; *known 0 when the keyword is none of its settings.
const char *screenSetting(Parser &parser, const Token &setting, BlockState *state, int *known) {
  ScreenConfig *s = currentScreen;
  const char *error = sharedSetting(parser, setting.keyword, s, kScreenPlacement, kScreenNumbers, known);
  if (error || *known) return error;
  *known = 1;
  switch (setting.keyword) {
    case kwDelete:
      deleteCurrent(&configRecord.screens, &currentScreen, korvanFreeScreenConfig, state);
      return nullptr;
    case kwDisplay:
      return readString(parser, &s->displayName);
    case kwDisplayGeometry:
      return parseDisplayGeometry(parser, s);
    case kwEmulateDoubleBuffer: {
      // Only "on" and "off" belong to it; another word is read again as a setting.
      Token token;
      if (!valueWord(parser, token, &error)) return error;
      if (isOn(token.text) || isOff(token.text))
        s->emulateDoubleBuffer = isOn(token.text);
      else
        pushBack(parser, token);
      return nullptr;
    }
    case kwEmulateVisual:
    case kwEmulateVisuals: {
      uint32_t mask = s->emulatedVisuals;
      error = parseBitList(parser, kEmulateWords, &mask, ~0u, 0);
      s->emulatedVisuals = static_cast<uint16_t>(mask);
      return error;
    }
    case kwFollowPointerMode: {
      Token token;
      if (!valueWord(parser, token, &error)) return error;
      if (strcasecmp(token.text, "continuous") == 0)
        s->followPointer &= ~kFollowPointerJump;
      else if (strcasecmp(token.text, "jump") == 0)
        s->followPointer |= kFollowPointerJump;
      else
        return invalidValue(token.text, "followPointerMode");
      s->givenMask |= kScreenGivenFollowPointer;
      return nullptr;
    }
    case kwFollowPointerRestrict: {
      uint32_t modifiers = s->followPointer & 0xFF;
      error = parseBitList(parser, kRestrictWords, &modifiers, ~0u, 0);
      s->followPointer = (s->followPointer & ~0xFFu) | (modifiers & 0xFF);
      s->givenMask |= kScreenGivenFollowPointer;
      return error;
    }
    case kwLumora:
    case kwDirectGL:
    case kwDirectGLX:
      return parseLumora(parser, s);
    case kwOfMetaScreen:
      return readString(parser, &s->metaScreenName);
    case kwPointer:
      return parsePointer(parser, s);
    case kwTags:
      s->givenMask |= kScreenGivenTags;
      return parseBitList(parser, kTagWords, &s->tags);
    default:
      *known = 0;
      return nullptr;
  }
}

// Set when a statement named the log destination; otherwise the default log file is formed
// again after the parse, from the display the command line or a statement gave.
int logDestinationGiven = 0;

// Statements that set one string of the record; the clear words set it to none.
const struct {
  Keyword keyword;
  char *ConfigRecord::*field;
  const char *clearA, *clearB;
} kStringStatements[] = {
    {kwAuthorization, &ConfigRecord::authorization, "none", "off"},
    {kwConnection, &ConfigRecord::connection, nullptr, nullptr},
    {kwGlxVendorString, &ConfigRecord::glxVendorString, "same", nullptr},
    {kwLog, &ConfigRecord::logDestination, nullptr, nullptr},
    {kwLogDestination, &ConfigRecord::logDestination, nullptr, nullptr},
    {kwServerAuthorization, &ConfigRecord::serverAuthorization, "none", "off"},
    {kwXdmcpAuthorizationCookie, &ConfigRecord::xdmcpAuthorizationCookie, nullptr, nullptr},
    {kwXdmcpDisplayClass, &ConfigRecord::xdmcpDisplayClass, nullptr, nullptr},
    {kwXdmcpDisplayID, &ConfigRecord::xdmcpDisplayID, nullptr, nullptr},
    {kwXdmcpHost, &ConfigRecord::xdmcpHost, nullptr, nullptr},
};

// Statements that set one number of the record: a signed or an unsigned field.
const struct {
  Keyword keyword;
  int32_t ConfigRecord::*signedField;
  uint32_t ConfigRecord::*unsignedField;
} kNumberStatements[] = {
    {kwNice, &ConfigRecord::nice, nullptr},
    {kwServerNice, &ConfigRecord::serverNice, nullptr},
    {kwNumberOfThreads, nullptr, &ConfigRecord::numberOfThreads},
    {kwXdmcpPort, nullptr, &ConfigRecord::xdmcpPort},
};

// "same" and "none" of vendorString and vendorReleaseNumber; 0 for another word.
int vendorModeWord(const char *word, uint32_t *mode) {
  if (strcasecmp(word, "same") == 0)
    *mode = kVendorSame;
  else if (strcasecmp(word, "none") == 0)
    *mode = kVendorOwn;
  else
    return 0;
  return 1;
}

const char *statement(Parser &parser, const Token &token, BlockState *state) {
  ConfigRecord &config = configRecord;
  if (token.kind != Token::kKeyword) return parseSource(parser, token.text);
  const char *label = kKeywordNames[token.keyword];
  if (token.keyword == kwLog || token.keyword == kwLogDestination) logDestinationGiven = 1;
  for (const auto &entry : kStringStatements)
    if (entry.keyword == token.keyword) return readString(parser, &(config.*entry.field), entry.clearA, entry.clearB);
  const char *error = nullptr;
  Token value;
  for (const auto &entry : kNumberStatements) {
    if (entry.keyword != token.keyword) continue;
    if (!valueWord(parser, value, &error)) return error;
    if (entry.signedField ? !parseSigned(value.text, &(config.*entry.signedField))
                          : !parseUnsigned(value.text, &(config.*entry.unsignedField)))
      return invalidValue(value.text, label);
    return nullptr;
  }
  switch (token.keyword) {
    case kwAccessControl:
      return readOnOff(parser, label, &config.accessControl);
    case kwConnectTimeout: {
      if (!valueWord(parser, value, &error)) return error;
      uint64_t milliseconds;
      if (!strParseDurationMs(value.text, &milliseconds)) return invalidValue(value.text, label);
      config.connectTimeout = milliseconds;
      return nullptr;
    }
    case kwLumoraMemory: {
      if (!valueWord(parser, value, &error)) return error;
      uint64_t bytes;
      if (!strParseSize(value.text, &bytes)) return invalidValue(value.text, label);
      config.lumoraMemory = bytes;
      return nullptr;
    }
    case kwExtensions:
      return parseExtensions(parser);
    case kwLogTypes:
      return parseBitList(parser, kLogTypeWords, &config.logTypes);
    case kwMetaScreen:
      if ((error = openMetaScreen(parser))) return error;
      if (currentMetaScreen) *state = kMetaScreenBlock;
      return nullptr;
    case kwNoReset: {
      uint32_t on = config.noReset;
      error = readOnOff(parser, label, &on);
      config.noReset = static_cast<uint8_t>(on);
      return error;
    }
    case kwScreen:
      if ((error = openScreen(parser))) return error;
      if (currentScreen) *state = kScreenBlock;
      return nullptr;
    case kwServerCommand:
      parser.korvanLexState = kKorvanLexRaw;
      for (;;) {
        if ((error = nextToken(parser, value))) return error;
        if (value.kind == Token::kEnd) return nullptr;
        if (!strArrayAppend(&config.serverCommandCount, &config.serverCommand, value.text))
          return KORVAN_OUT_OF_MEMORY();
      }
    case kwSet: {
      if (!valueWord(parser, value, &error)) return error;
      std::string name = value.text;  // the pending name
      if (!valueWord(parser, value, &error)) return error;
      if (setenv(name.c_str(), value.text, 1) != 0) return invalidValue(name.c_str(), label);
      return nullptr;
    }
    case kwSource:
      if (!valueWord(parser, value, &error)) return error;
      return parseSource(parser, value.text);
    case kwVendorReleaseNumber: {
      if (!valueWord(parser, value, &error)) return error;
      uint32_t number;
      if (vendorModeWord(value.text, &config.vendorReleaseMode)) return nullptr;
      if (!parseUnsigned(value.text, &number)) return invalidValue(value.text, label);
      config.vendorReleaseMode = kVendorGiven;
      config.vendorReleaseNumber = number;
      return nullptr;
    }
    case kwVendorString:
      if (!valueWord(parser, value, &error)) return error;
      if (vendorModeWord(value.text, &config.vendorStringMode)) return nullptr;
      if (!replaceString(&config.vendorString, value.text)) return KORVAN_OUT_OF_MEMORY();
      config.vendorStringMode = kVendorGiven;
      return nullptr;
    case kwWorkaround:
    case kwWorkarounds:
      return parseBitList(parser, kWorkaroundWords, &config.workarounds, kWorkaroundSettable);
    case kwXdmcpMode:
      return parseXdmcpMode(parser);
    default:
      // A keyword of a block met outside it names a file.
      return parseSource(parser, token.text);
  }
}

const char *parseText(Parser &parser) {
  BlockState state = kStatement;
  for (;;) {
    Token token;
    const char *error = nextToken(parser, token);
    if (error) return error;
    if (isEnd(token)) return nullptr;
    if (state != kStatement && token.kind == Token::kKeyword) {
      int known = 0;
      if (state == kMetaScreenBlock && currentMetaScreen)
        error = metaScreenSetting(parser, token, &state, &known);
      else if (state == kScreenBlock && currentScreen)
        error = screenSetting(parser, token, &state, &known);
      if (error) return error;
      if (known) continue;
    }
    state = kStatement;
    if ((error = statement(parser, token, &state))) return error;
  }
}

// Bytes held by the sourced inputs being parsed now (nested sources add up).
size_t sourcedBytesHeld = 0;

const char *parseSource(Parser &parser, const char *nameText) {
  std::string name = nameText;
  int isStdin = name == "-";
  int fd = name.size() >= kFilesPathSize ? -1 : isStdin ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strTempPrintf("Syntax error or no configuration file '%s'", name.c_str());
  std::string text;
  std::vector<char> chunk(kReadChunk);
  const char *error = nullptr;
  for (;;) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = strTempPrintf("Can't read file '%s': %s", name.c_str(), strErrno(errno));
      break;
    }
    if (n == 0) break;
    if (!strIsPrintable(chunk.data(), static_cast<size_t>(n))) {
      error = strTempPrintf("No UTF-8 text in configuration file '%s'", name.c_str());
      break;
    }
    if (static_cast<uint64_t>(text.size()) + static_cast<uint64_t>(n) + sourcedBytesHeld > kKorvanSourceMax) {
      error = strTempPrintf("Configuration file '%s' too large (more than %zu bytes of configuration)",
                            name.c_str(), kKorvanSourceMax);
      break;
    }
    text.append(chunk.data(), static_cast<size_t>(n));
  }
  if (!isStdin) close(fd);
  if (error) return error;
  if (text.empty()) {
    LOG(logChannelWarning, "Configuration file '%s' is empty", name.c_str());
    return nullptr;
  }
  const char *outerFile = *parser.fileName;
  int outerLine = *parser.line;
  *parser.fileName = name.c_str();
  *parser.line = 1;  // also the line of a failure before the first word (nesting too deep)
  struct Held {
    size_t bytes;
    explicit Held(size_t n) : bytes(n) { sourcedBytesHeld += n; }
    ~Held() { sourcedBytesHeld -= bytes; }
  } held(text.size());
  error = korvanParse(text.data(), parser.depth + 1, parser.fileName, parser.line);
  if (error) {
    // The caller reports the innermost file, whose name string ends with this call.
    if (*parser.fileName != failedFileName) strCopy(failedFileName, *parser.fileName, sizeof failedFileName);
    *parser.fileName = failedFileName;
    return error;
  }
  *parser.fileName = outerFile;
  *parser.line = outerLine;
  return nullptr;
}

// --- Resolution ------------------------------------------------------------------------------

const char *placedError(const char *message, const char *fileName, uint32_t line) {
  return strTempPrintf("%s in %s, line %d", message, fileName ? fileName : "?", static_cast<int>(line));
}

const char *resolve(int addDefaults) {
  ConfigRecord &config = configRecord;
  if (addDefaults && !config.screens) {
    for (const char *name : {":1.0", ":1.1"}) {
      ScreenConfig *screen = korvanNewScreen(&config.screens);
      if (!screen || !(screen->name = strdup(name))) return KORVAN_OUT_OF_MEMORY();
      screen->givenMask = kScreenGivenMetaScreen;
    }
  }
  uint32_t index = 0;
  for (MetaScreenConfig *m = config.metaScreens; m; m = m->next) m->index = index++;
  config.metaScreenCount = index;

  index = 0;
  for (ScreenConfig *s = config.screens; s; s = s->next) {
    s->index = index++;
    if (!s->metaScreenName &&
        !copyOptional(&s->metaScreenName, config.metaScreens ? config.metaScreens->name : ".0"))
      return KORVAN_OUT_OF_MEMORY();
    MetaScreenConfig *m = findMetaScreen(s->metaScreenName);
    if (!m) {
      if (!(m = makeMetaScreen(s->metaScreenName))) return KORVAN_OUT_OF_MEMORY();
      m->givenMask = kMetaGivenWidth;
    }
    s->metaScreen = m;
    s->metaScreenIndex = static_cast<int32_t>(m->index);
    s->givenMask |= kScreenGivenMetaScreen;
  }
  if (addDefaults && !config.metaScreens && !makeMetaScreen(".0")) return KORVAN_OUT_OF_MEMORY();

  for (MetaScreenConfig *m = config.metaScreens; m; m = m->next) {
    if (m->direction != kKorvanDirectionNone) {
      if (m->relativeTo) {
        m->reference = findMetaScreen(m->relativeTo);
        if (!m->reference)
          return placedError(strTempPrintf("Unknown meta screen '%s'", m->relativeTo), m->fileName, m->line);
      } else {
        m->reference = m->previous;  // the first one refers to the last
      }
      m->referenceIndex = static_cast<int32_t>(m->reference->index);
    }
    if (m->referenceIndex == -1) {
      m->direction = kKorvanDirectionNone;
      m->offsetX = m->offsetY = 0;
    }
  }

  for (ScreenConfig *s = config.screens; s; s = s->next) {
    ScreenConfig *earlier = nullptr;  // the last screen of the same meta screen before this one
    for (ScreenConfig *t = config.screens; t != s; t = t->next)
      if (t->metaScreen == s->metaScreen) earlier = t;
    if (s->direction == kKorvanDirectionNotGiven) s->direction = earlier ? kKorvanDirectionEast : kKorvanDirectionNone;
    if (s->direction == kKorvanDirectionNone && s->referenceIndex == -1) {
      s->offsetX = s->offsetY = 0;
      continue;
    }
    if (s->relativeTo) {
      ScreenConfig *reference = nullptr;
      for (ScreenConfig *t = config.screens; t && !reference; t = t->next)
        if (t->metaScreen == s->metaScreen && t->name && strcasecmp(t->name, s->relativeTo) == 0) reference = t;
      if (!reference)
        return placedError(strTempPrintf("No screen '%s' in meta screen '%s'", s->relativeTo, s->metaScreen->name),
                           s->fileName, s->line);
      s->reference = reference;
    } else if (earlier) {
      s->reference = earlier;
    } else {
      s->direction = kKorvanDirectionNone;
      s->offsetX = s->offsetY = 0;
      continue;
    }
    s->referenceIndex = static_cast<int32_t>(s->reference->index);
  }

  for (ScreenConfig *s = config.screens; s; s = s->next) {
    if (!s->displayName && !copyOptional(&s->displayName, s->name)) return KORVAN_OUT_OF_MEMORY();
    free(s->displayPart);
    if (!(s->displayPart = s->displayName ? strdup(s->displayName) : nullptr) && s->displayName)
      return KORVAN_OUT_OF_MEMORY();
    if (s->displayPart) {
      char *dot = strchr(s->displayPart, '.');
      if (dot) *dot = 0;
    }
  }
  return nullptr;
}

// --- Expressions -----------------------------------------------------------------------------

int precedence(char op) {
  switch (op) {
    case 'n': return 3;
    case '*': case '/': case '%': return 2;
    case '+': case '-': return 1;
    default: return 0;
  }
}

// Applies the operator on top of the stack; 0 on a syntax or arithmetic error.
int applyOperator(std::vector<int32_t> &values, char op) {
  if (op == 'n') {
    if (values.empty()) return 0;
    values.back() = static_cast<int32_t>(0u - static_cast<uint32_t>(values.back()));
    return 1;
  }
  if (values.size() < 2) return 0;
  int32_t b = values.back();
  values.pop_back();
  int32_t a = values.back();
  uint32_t ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
  int32_t result;
  switch (op) {
    case '+': result = static_cast<int32_t>(ua + ub); break;
    case '-': result = static_cast<int32_t>(ua - ub); break;
    case '*': result = static_cast<int32_t>(ua * ub); break;
    case '/':
    case '%':
      if (b == 0 || (a == INT32_MIN && b == -1)) return 0;
      result = op == '/' ? a / b : a % b;
      break;
    default: return 0;
  }
  values.back() = result;
  return 1;
}

// Frees every record of a list (strings first); the parser lets go of the records it held.
template <class T>
void freeList(T **list, T **current, void (*freeRecord)(T *)) {
  for (T *record = *list; record;) {
    T *next = record->next;
    if (*current == record) *current = nullptr;
    if (ConfigCommentTarget == &record->comment) ConfigCommentTarget = &configRecord.comment;
    freeRecord(record);
    free(record);
    record = next;
  }
  *list = nullptr;
}

}  // namespace

// --- Model -----------------------------------------------------------------------------------

void korvanInitDefaults(ConfigRecord *config) {
  for (char **field : {&config->logDestination, &config->connection, &config->authorization,
                       &config->serverAuthorization, &config->vendorString, &config->glxVendorString,
                       &config->xdmcpHost, &config->xdmcpDisplayClass, &config->xdmcpDisplayID,
                       &config->xdmcpAuthorizationCookie, &config->comment})
    clearString(field);
  strArrayFree(config->serverCommandCount, config->serverCommand);
  for (uint32_t i = 0; i < config->extensionCount; i++) free(config->extensions[i].name);
  free(config->extensions);
  korvanFreeMetaScreenList(&config->metaScreens);
  korvanFreeScreenList(&config->screens);
  *config = ConfigRecord{};
  currentMetaScreen = nullptr;
  currentScreen = nullptr;
  ConfigCommentTarget = &config->comment;

  long processors = sysconf(_SC_NPROCESSORS_ONLN);
  config->numberOfThreads = processors > 0 ? static_cast<uint32_t>(processors) : 1;
  config->connectTimeout = kKorvanDefaultConnectTimeoutMs;
  config->lumoraMemory = kKorvanDefaultLumoraMemory;
  config->accessControl = 1;
  config->xdmcpPort = 177;
  int ok = replaceString(&config->connection, ":0") &&
           replaceString(&config->glxVendorString, kKorvanDefaultGlxVendorString) &&
           replaceString(&config->xdmcpHost, "localhost") &&
           replaceString(&config->serverAuthorization, XauFileName());
  config->extensions = static_cast<ExtensionSwitch *>(calloc(2, sizeof(ExtensionSwitch)));
  if (config->extensions) {
    config->extensions[0] = ExtensionSwitch{0, strdup("XKEYBOARD")};
    config->extensions[1] = ExtensionSwitch{0, strdup("RANDR")};
    config->extensionCount = 2;
    ok = ok && config->extensions[0].name && config->extensions[1].name;
  } else {
    ok = 0;
  }
  // The default log file is named after the display, so it is formed last (and again after a
  // parse that gave another display).
  logDestinationGiven = 0;
  ok = ok && replaceString(&config->logDestination, filesLogFileName());
  if (!ok) logProblem(KORVAN_OUT_OF_MEMORY(), "Proxy/korvanparser", __LINE__);
}

MetaScreenConfig *korvanNewMetaScreen(MetaScreenConfig **list) {
  auto *metaScreen = static_cast<MetaScreenConfig *>(calloc(1, sizeof(MetaScreenConfig)));
  if (!metaScreen) return nullptr;
  metaScreen->changeMask = kMetaChangeDefault;
  metaScreen->referenceIndex = -1;
  metaScreen->active = 1;
  circListPushBack(list, metaScreen);
  return metaScreen;
}

ScreenConfig *korvanNewScreen(ScreenConfig **list) {
  auto *screen = static_cast<ScreenConfig *>(calloc(1, sizeof(ScreenConfig)));
  if (!screen) return nullptr;
  if (!(screen->glLibraryPath = strdup(kKorvanDefaultGlLibraryPath))) {
    free(screen);
    return nullptr;
  }
  screen->referenceIndex = -1;
  screen->metaScreenIndex = -1;
  screen->direction = kKorvanDirectionNotGiven;
  screen->borderWidth = -1;
  screen->tags = kScreenTagDefault;
  screen->switchA = screen->switchB = 1;
  screen->zoomX = screen->zoomY = 1.0;
  screen->timeoutA = screen->timeoutB = kKorvanDefaultConnectTimeoutMs;
  circListPushBack(list, screen);
  return screen;
}

ScreenConfig *korvanCopyScreenConfig(const ScreenConfig *screen) {
  auto *copy = static_cast<ScreenConfig *>(calloc(1, sizeof(ScreenConfig)));
  if (!copy) return nullptr;
  *copy = *screen;
  copy->next = copy->previous = nullptr;
  // Every string is the copy's own: the copy is freed with its list like any other record.
  char **fields[] = {&copy->displayName, &copy->displayPart, &copy->metaScreenName, &copy->relativeTo,
                     &copy->fileName,    &copy->name,        &copy->glLibraryPath,  &copy->comment};
  int ok = 1;
  for (char **field : fields)
    if (!copyOptional(field, *field)) ok = 0;  // the failed field is NULL, the rest own copies
  if (!ok) {
    korvanFreeScreenConfig(copy);
    free(copy);
    return nullptr;
  }
  return copy;
}

void korvanFreeMetaScreenConfig(MetaScreenConfig *metaScreen) {
  if (!metaScreen) return;
  for (char **field : {&metaScreen->relativeTo, &metaScreen->name, &metaScreen->fileName, &metaScreen->comment})
    clearString(field);
}

void korvanFreeScreenConfig(ScreenConfig *screen) {
  if (!screen) return;
  for (char **field : {&screen->displayName, &screen->displayPart, &screen->metaScreenName, &screen->relativeTo,
                       &screen->fileName, &screen->name, &screen->glLibraryPath, &screen->comment})
    clearString(field);
}

void korvanFreeMetaScreenList(MetaScreenConfig **list) {
  freeList(list, &currentMetaScreen, korvanFreeMetaScreenConfig);
}

void korvanFreeScreenList(ScreenConfig **list) { freeList(list, &currentScreen, korvanFreeScreenConfig); }

// --- Language --------------------------------------------------------------------------------

namespace {

const char *parseUnguarded(char *text, int depth, const char **fileName, int *line) {
  if (depth > kMaxSourceDepth) return "Maximum recursion level reached (possible cyclic source command)";
  *line = 1;
  Parser parser{};
  parser.position = text;
  parser.korvanLexState = kKorvanLexStart;
  parser.depth = depth;
  parser.fileName = fileName;
  parser.line = line;
  parser.expanded.assign(kTokenSize, 0);
  return parseText(parser);
}

}  // namespace

// No exception leaves the parser: allocation failure inside the std containers it uses becomes
// the out-of-memory text.
const char *korvanParse(char *text, int depth, const char **fileName, int *line) {
  try {
    return parseUnguarded(text, depth, fileName, line);
  } catch (const std::bad_alloc &) {
    return KORVAN_OUT_OF_MEMORY();
  }
}

namespace {

const char *parseCommandLineUnguarded(int argc, const char *const *argv, int addDefaults) {
  ConfigRecord &config = configRecord;
  korvanInitDefaults(&config);
  int first = 0;
  if (argc > 0 && argv[0] && argv[0][0] == ':' && isdigit(static_cast<unsigned char>(argv[0][1]))) {
    if (!replaceString(&config.connection, argv[0])) return KORVAN_OUT_OF_MEMORY();
    first = 1;
  }
  size_t size = 1;
  for (int i = first; i < argc; i++) size += 2 * (argv[i] ? strlen(argv[i]) : 0) + 3;
  std::string text;
  text.reserve(size);
  for (int i = first; i < argc; i++) {
    const char *argument = argv[i] ? argv[i] : "";
    size_t length = strlen(argument);
    // strQuoteIfSpaces holds 1024 bytes: longer arguments, arguments holding a double quote or
    // a backslash (both escaped with a backslash, which the lexer removes again) and arguments
    // beginning with "#" (which would turn every later argument into a comment) are quoted here.
    if (length < 1000 && !strpbrk(argument, "\"\\") && argument[0] != '#') {
      text += strQuoteIfSpaces(argument);
    } else {
      text += '"';
      for (const char *c = argument; *c; c++) {
        if (*c == '"' || *c == '\\') text += '\\';
        text += *c;
      }
      text += '"';
    }
    text += ' ';
  }
  const char *fileName = "command-line parameter";
  int line = 1;
  const char *error = korvanParse(text.data(), 0, &fileName, &line);
  if (error) return strTempPrintf("%s in %s, line %d", error, fileName, line);
  if (!logDestinationGiven && !replaceString(&config.logDestination, filesLogFileName()))
    return KORVAN_OUT_OF_MEMORY();
  if ((error = resolve(addDefaults))) {
    // The message is complete before the records it names are freed.
    korvanFreeMetaScreenList(&config.metaScreens);
    korvanFreeScreenList(&config.screens);
    config.metaScreenCount = 0;
    for (char **field : {&config.connection, &config.authorization, &config.serverAuthorization, &config.xdmcpHost,
                         &config.xdmcpDisplayClass, &config.xdmcpDisplayID, &config.xdmcpAuthorizationCookie,
                         &config.comment})
      clearString(field);
    currentMetaScreen = nullptr;
    currentScreen = nullptr;
    ConfigCommentTarget = &config.comment;
    return error;
  }
  return nullptr;
}

}  // namespace

const char *korvanParseCommandLine(int argc, const char *const *argv, int addDefaults) {
  try {
    return parseCommandLineUnguarded(argc, argv, addDefaults);
  } catch (const std::bad_alloc &) {
    return KORVAN_OUT_OF_MEMORY();
  }
}

int korvanDirectionWord(const char *word, uint32_t *code) {
  static const struct {
    const char *word;
    uint32_t code;
  } kWords[] = {
      {"none", 0},      {"same", 1},      {"clone", 1},     {"West", 2},      {"left", 2},
      {"East", 3},      {"right", 3},     {"North", 4},     {"up", 4},        {"above", 4},
      {"South", 5},     {"down", 5},      {"below", 5},     {"NorthWest", 6}, {"NorthEast", 7},
      {"SouthWest", 8}, {"SouthEast", 9},
  };
  if (!word) return 0;
  for (const auto &entry : kWords)
    if (strcasecmp(entry.word, word) == 0) {
      *code = entry.code;
      return 1;
    }
  return 0;
}

const char *korvanDirectionName(uint32_t code) {
  static const char *const kNames[] = {"direction none relativeTo", "sameAs", "westOf", "eastOf", "northOf",
                                       "southOf", "northWestOf", "northEastOf", "southWestOf", "southEastOf"};
  return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "";
}

const char *korvanWorkaroundsText(uint32_t mask) {
  if (!mask) return "none";
  char *text = strTempAlloc(512);
  text[0] = 0;
  for (const BitWord &entry : kWorkaroundWords)
    if ((mask & entry.bits) && entry.bits != kWorkaroundNoNoXKB) {
      strAppend(text, " ", 512);
      strAppend(text, entry.name, 512);
    }
  return text[0] ? text + 1 : text;
}

namespace {

int32_t evalUnguarded(const char *text, const char **error) {
  static const char kSyntaxError[] = "syntax error in arithmetic expression";
  *error = nullptr;
  if (!text) return 0;
  std::vector<int32_t> values;
  std::vector<char> operators;
  values.reserve(200);
  operators.reserve(200);
  int expectOperand = 1;
  int any = 0;
  for (const char *c = text;;) {
    while (isspace(static_cast<unsigned char>(*c))) c++;
    if (!*c) break;
    any = 1;
    if (values.size() + operators.size() > kExpressionStackLimit) return *error = kSyntaxError, 0;
    if (expectOperand) {
      if (isdigit(static_cast<unsigned char>(*c))) {
        // Literals are read in 64 bits and must fit an int, as a plain number word must:
        // 2147483648 only right behind a minus sign.
        constexpr uint64_t kLiteralLimit = uint64_t{INT32_MAX} + 1;
        uint64_t value = 0;
        auto add = [&](unsigned base, unsigned digit) {
          value = value * base + digit;
          if (value > kLiteralLimit) value = kLiteralLimit + 1;  // stays refused
        };
        if (c[0] == '0' && (c[1] == 'x' || c[1] == 'X')) {
          c += 2;
          if (!isxdigit(static_cast<unsigned char>(*c))) return *error = kSyntaxError, 0;
          for (; isxdigit(static_cast<unsigned char>(*c)); c++)
            add(16, static_cast<unsigned>(isdigit(static_cast<unsigned char>(*c)) ? *c - '0' : (tolower(*c) - 'a' + 10)));
        } else if (c[0] == '0') {
          for (; isdigit(static_cast<unsigned char>(*c)); c++) {
            if (*c > '7') return *error = kSyntaxError, 0;
            add(8, static_cast<unsigned>(*c - '0'));
          }
        } else {
          for (; isdigit(static_cast<unsigned char>(*c)); c++) add(10, static_cast<unsigned>(*c - '0'));
        }
        if (value == kLiteralLimit && !operators.empty() && operators.back() == 'n') {
          operators.pop_back();  // the negation is applied here: -2147483648 is INT32_MIN
          values.push_back(INT32_MIN);
        } else if (value >= kLiteralLimit) {
          return *error = kSyntaxError, 0;
        } else {
          values.push_back(static_cast<int32_t>(value));
        }
        expectOperand = 0;
      } else if (*c == '(') {
        operators.push_back('(');
        c++;
      } else if (*c == '-') {
        operators.push_back('n');
        c++;
      } else {
        return *error = kSyntaxError, 0;
      }
    } else if (strchr("+-*/%", *c)) {
      char op = *c++;
      while (!operators.empty() && operators.back() != '(' && precedence(operators.back()) >= precedence(op)) {
        if (!applyOperator(values, operators.back())) return *error = kSyntaxError, 0;
        operators.pop_back();
      }
      operators.push_back(op);
      expectOperand = 1;
    } else if (*c == ')') {
      c++;
      while (!operators.empty() && operators.back() != '(') {
        if (!applyOperator(values, operators.back())) return *error = kSyntaxError, 0;
        operators.pop_back();
      }
      if (operators.empty()) return *error = kSyntaxError, 0;
      operators.pop_back();
    } else {
      return *error = kSyntaxError, 0;
    }
  }
  if (!any) return 0;
  if (expectOperand) return *error = kSyntaxError, 0;
  while (!operators.empty()) {
    if (operators.back() == '(' || !applyOperator(values, operators.back())) return *error = kSyntaxError, 0;
    operators.pop_back();
  }
  if (values.size() != 1) return *error = kSyntaxError, 0;
  return values.back();
}

}  // namespace

int32_t korvanEvalExpression(const char *text, const char **error) {
  try {
    return evalUnguarded(text, error);
  } catch (const std::bad_alloc &) {
    *error = KORVAN_OUT_OF_MEMORY();
    return 0;
  }
}
