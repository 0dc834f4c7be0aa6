// The configuration model (the global configuration record and its per-screen records) and
// the configuration language that fills it from the command line and configuration files.
#pragma once

#include <cstddef>
#include <cstdint>

struct MetaScreen;  // the meta screen made from a MetaScreenConfig at start-up
struct Head;        // the head opened for a ScreenConfig at start-up

// Placement codes shared by meta screens and screens.
enum : uint32_t {
  kKorvanDirectionNone = 0,
  kKorvanDirectionSame = 1,
  kKorvanDirectionWest = 2,
  kKorvanDirectionEast = 3,
  kKorvanDirectionNorth = 4,
  kKorvanDirectionSouth = 5,
  kKorvanDirectionNorthWest = 6,
  kKorvanDirectionNorthEast = 7,
  kKorvanDirectionSouthWest = 8,
  kKorvanDirectionSouthEast = 9,
  kKorvanDirectionNotGiven = 10,  // screens only: no direction was written
};

// MetaScreenConfig givenMask bits.
enum : uint32_t {
  kMetaGivenWidth = 0x2,
  kMetaGivenHeight = 0x4,
  kMetaGivenDirection = 0x8,
  kMetaGivenRelativeTo = 0x10,
  kMetaGivenOffsetX = 0x20,
  kMetaGivenOffsetY = 0x40,
  kMetaGivenKeepWindowsVisible = 0x80,
};
// MetaScreenConfig changeMask: the default and the physical-size bits.
constexpr uint32_t kMetaChangeDefault = 0x10FF;
constexpr uint32_t kMetaChangeWidthMM = 0x400;
constexpr uint32_t kMetaChangeHeightMM = 0x800;

// ScreenConfig givenMask bits.
enum : uint32_t {
  kScreenGivenStatement = 0x1,
  kScreenGivenMetaScreen = 0x2,
  kScreenGivenDirection = 0x4,
  kScreenGivenRelativeTo = 0x8,
  kScreenGivenOffsetX = 0x10,
  kScreenGivenOffsetY = 0x20,
  kScreenGivenFollowPointerX = 0x40,
  kScreenGivenFollowPointerY = 0x80,
  kScreenGivenFollowPointer = 0x100,
  kScreenGivenPhysicalX = 0x200,
  kScreenGivenPhysicalY = 0x400,
  kScreenGivenPhysicalWidth = 0x800,
  kScreenGivenPhysicalHeight = 0x1000,
  kScreenGivenBorderWidth = 0x2000,
  kScreenGivenAbsoluteX = 0x4000,
  kScreenGivenAbsoluteY = 0x8000,
  kScreenGivenTags = 0x80000,
  kScreenGivenWrapX = 0x2000000,
  kScreenGivenWrapY = 0x4000000,
  kScreenGivenZoom = 0x10000000,
};

// ScreenConfig tags.
enum : uint32_t {
  kScreenTagColor = 0x2,
  kScreenTagOptimizedDraw = 0x20,
  kScreenTagGlx = 0x40,
  kScreenTagDefault = 0x400000,
  kScreenTagAnyScreen = 0x10000000,
  kScreenTagBuggyRandr = 0x20000000,
};

// ScreenConfig emulated visuals and followPointer bits.
constexpr uint16_t kEmulatePseudoColor4 = 0x1;
constexpr uint16_t kEmulatePseudoColor8 = 0x2;
constexpr uint16_t kEmulateOnly = 0x2000;
constexpr uint32_t kFollowPointerJump = 0x8000;

// Width and height words of a meta screen.
constexpr int32_t kMetaSizeDouble = -10;
constexpr int32_t kMetaSizeTriple = -11;

// logTypes bits.
enum : uint32_t {
  kLogTypeXErrors = 0x1,
  kLogTypeExtensionDetails = 0x4,
  kLogTypeAuthorizationDetails = 0x8,
  kLogTypeClientNames = 0x20,
  kLogTypeVisuals = 0x40,
  kLogTypeHints = 0x80,
  kLogTypeClients = 0x100,
  kLogTypeSteps = 0x200,
  kLogTypeVerbose = 0x280,
  kLogTypeRandr = 0x400,
};

// Workaround bits.
enum : uint32_t {
  kWorkaroundActiveDrawInWindow = 0x1,
  kWorkaroundMapDiscardExpose = 0x2,
  kWorkaroundForgetBitGravity = 0x4,
  kWorkaroundRefreshBitGravity = 0x8,
  kWorkaroundExposeInsteadOfGraphicsExpose = 0x10,
  kWorkaroundExposeAfterGraphicsExpose = 0x20,
  kWorkaroundExposeBeforeGraphicsExpose = 0x40,
  kWorkaroundFixPointerCoordinates = 0x80,
  kWorkaroundBogusVendorKeyboard = 0x100,
  kWorkaroundSimulateAllExtensions = 0x200,
  kWorkaroundAbsoluteInputDeviceMode = 0x400,
  kWorkaroundGLX13 = 0x800,
  kWorkaroundWMIgnoresMoveWindow = 0x1000,
  kWorkaroundWMIncludesDecoration = 0x2000,
  kWorkaroundNoNoXKB = 0x4000,
  kWorkaroundMotionCompression = 0x8000,
  kWorkaroundSelectScreenChangeEvents = 0x10000,
  kWorkaroundRANDREmulation = 0x20000,
  kWorkaroundBadSequenceNumbers = 0x40000,
  kWorkaroundNoGLXCopyContext = 0x80000,
  kWorkaroundNoGLXDestroyPbuffer = 0x100000,
};

// XDMCP modes.
enum : uint32_t { kXdmcpOff = 0, kXdmcpBroadcast = 1, kXdmcpIndirect = 2, kXdmcpQuery = 3 };
// Vendor string and release modes.
enum : uint32_t { kVendorOwn = 0, kVendorSame = 1, kVendorGiven = 2 };

constexpr const char *kKorvanDefaultGlLibraryPath = "libGL:libGL.so.1";
constexpr uint64_t kKorvanDefaultConnectTimeoutMs = 20000;

struct MetaScreenConfig {
  MetaScreenConfig *next;
  MetaScreenConfig *previous;  // the first record's previous is the tail
  uint32_t index;
  char *relativeTo;
  MetaScreenConfig *reference;
  uint32_t givenMask;
  uint32_t changeMask;  // kMetaChangeDefault plus the physical-size bits
  uint32_t reserved;    // 0 from the parser
  char *name;
  int32_t width;  // pixels, kMetaSizeDouble, kMetaSizeTriple, 0 = not given
  int32_t height;
  uint32_t direction;
  int32_t referenceIndex;  // -1 when none
  int32_t offsetX;
  int32_t offsetY;
  int32_t keepWindowsVisible;
  int32_t widthMM;
  int32_t heightMM;
  uint32_t active;  // starts at 1
  char *fileName;   // where relativeTo was written
  uint32_t line;
  MetaScreen *metaScreen;
  char *comment;
};

struct ScreenConfig {
  ScreenConfig *next;
  ScreenConfig *previous;  // the first record's previous is the tail
  uint32_t index;
  char *displayName;      // e.g. ":1.0"
  char *displayPart;      // the display name cut at its first "."
  char *metaScreenName;
  int32_t referenceIndex;  // -1 when none
  char *relativeTo;
  char *fileName;  // where relativeTo was written
  uint32_t line;
  ScreenConfig *reference;
  MetaScreenConfig *metaScreen;
  uint32_t givenMask;
  char *name;
  int32_t metaScreenIndex;
  uint32_t direction;  // kKorvanDirectionNotGiven until written or resolved
  int32_t offsetX;
  int32_t offsetY;
  int32_t followPointerX;
  int32_t followPointerY;
  uint32_t followPointer;  // modifier mask in bits 0-7, kFollowPointerJump
  int32_t physicalX;
  int32_t physicalY;
  int32_t physicalWidth;
  int32_t physicalHeight;
  int32_t borderWidth;
  int32_t absoluteX;
  int32_t absoluteY;
  uint32_t tags;
  uint8_t switchA;  // 1; no statement changes it
  uint8_t switchB;  // 1; no statement changes it
  uint8_t wrapX;
  uint8_t wrapY;
  double zoomX;
  double zoomY;
  uint16_t emulatedVisuals;
  uint8_t emulateDoubleBuffer;
  uint32_t lumora;
  char *glLibraryPath;
  uint32_t spare;  // cleared for every new screen
  uint64_t timeoutA;  // milliseconds; the head's display takes them over
  uint64_t timeoutB;
  char *comment;
  Head *head;  // the head opened for this record at start-up
  // ===== head geometry =====
  uint32_t referenceRoot;  // client-side root id of the reference's head (start-up), 0 = none
  const char *keyboardMap;  // keyboard-map file for the head's display (0x100000), or NULL; not owned
  // ===== end of head geometry =====
};

struct ExtensionSwitch {
  uint32_t enable;  // 1 on, 0 off
  char *name;
};

struct ConfigRecord {
  char *logDestination;
  uint32_t logTypes;
  int32_t nice;
  uint32_t numberOfThreads;
  char *connection;
  uint64_t connectTimeout;  // milliseconds
  // Bytes the GL objects one client makes in a GL library inside the proxy (pbuffers, names,
  // texture levels, renderbuffers, select and feedback buffers) may take together; past it the
  // client gets BadAlloc. 0: no bound.
  uint64_t lumoraMemory;
  uint32_t accessControl;
  char *authorization;
  int serverCommandCount;
  char **serverCommand;
  int32_t serverNice;
  char *serverAuthorization;
  uint32_t workarounds;
  uint32_t metaScreenCount;
  uint32_t vendorStringMode;
  uint32_t vendorReleaseMode;
  char *vendorString;
  uint32_t vendorReleaseNumber;
  char *glxVendorString;
  uint8_t noReset;
  uint32_t xdmcpMode;
  uint32_t xdmcpOnce;
  char *xdmcpHost;
  uint32_t xdmcpPort;
  char *xdmcpDisplayClass;
  char *xdmcpDisplayID;
  char *xdmcpAuthorizationCookie;
  MetaScreenConfig *metaScreens;
  ScreenConfig *screens;
  ExtensionSwitch *extensions;
  uint32_t extensionCount;
  char *comment;
};

// The configuration of the whole run.
extern ConfigRecord configRecord;
// Where leading comments of the text being parsed are appended (a comment field).
extern char **ConfigCommentTarget;

// The own vendor release number (vendor release mode 0) and the default GLX vendor string.
constexpr uint32_t kKorvanOwnVendorRelease = 81;
// The default of lumoraMemory: 1 GiB per client.
constexpr uint64_t kKorvanDefaultLumoraMemory = uint64_t(1) << 30;
constexpr const char *kKorvanDefaultGlxVendorString = "Morwentech GmbH";

// --- Model -------------------------------------------------------------------------------
// Sets every default; frees every owned value it replaces (strings, arrays, both lists).
void korvanInitDefaults(ConfigRecord *config);
MetaScreenConfig *korvanNewMetaScreen(MetaScreenConfig **list);
ScreenConfig *korvanNewScreen(ScreenConfig **list);
// A copy of the record (not linked into any list) with its own copy of every string.
ScreenConfig *korvanCopyScreenConfig(const ScreenConfig *screen);
void korvanFreeMetaScreenConfig(MetaScreenConfig *metaScreen);
void korvanFreeScreenConfig(ScreenConfig *screen);
void korvanFreeMetaScreenList(MetaScreenConfig **list);
void korvanFreeScreenList(ScreenConfig **list);

// --- Language ----------------------------------------------------------------------------
// Lexer states.
enum KorvanLexState { kKorvanLexStart, kKorvanLexInLine, kKorvanLexRaw, kKorvanLexLineEnded, kKorvanLexEnd };

// Parses one text (modified in place) into configRecord. depth counts nested sources;
// *fileName and *line name the text being parsed and are left at the innermost failing
// text on error. NULL at the end of the text or at "stop".
const char *korvanParse(char *text, int depth, const char **fileName, int *line);
// Most bytes that the sourced inputs being read at one time (a file and the files it sources)
// may hold together; a larger input is refused with its own text.
constexpr size_t kKorvanSourceMax = size_t{16} << 20;
// Parses the arguments after the program name, then resolves screens and meta screens.
const char *korvanParseCommandLine(int argc, const char *const *argv, int addDefaults);
int korvanDirectionWord(const char *word, uint32_t *code);
const char *korvanDirectionName(uint32_t code);
const char *korvanWorkaroundsText(uint32_t mask);
int32_t korvanEvalExpression(const char *text, const char **error);
