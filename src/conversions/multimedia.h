// Frames and the stream record as the frame converters see them.
//
// A frame is a reference-counted block of data on its way to one stream's sink. The stream
// engine (opening, starting, writing, closing) grows MultimediaStream with its sides, buffers
// and tasks; what is here is what a converter reads and writes: the failure text that receives
// its errors, the description that messages name the stream by, and the mark of the stream's
// first frame.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "support/outbuffer.h"

struct MultimediaStream;

// Called with a frame's data pointer when its last reference goes; frames made by the engine
// carry one that does nothing.
using MultimediaReleaseFunction = void (*)(void *data);

// One allocation: this header and, for frames made by the engine, the data right behind it.
struct MultimediaFrame {
  void *data;
  // Bytes at data. For "image/Xlib" frames, data is an XImage and length the number of bytes
  // the producer vouches for at the image's own data pointer.
  uint32_t length;
  uint16_t referenceCount;  // starts at 1; changed only through atomicAdd16
  uint16_t repeatCount;     // times the frame is written; at least 1 once written
  MultimediaStream *stream;  // receives the failures about the frame (NULL: they are only logged)
  MultimediaReleaseFunction release;
  // The first headerLength bytes of data go out before the first copy only: when a frame is
  // written repeatCount times, the further copies start behind them (a stream header).
  uint32_t headerLength;
  // Set on the first frame handed to its stream (multimediaMarkFirstFrame); a converter whose
  // output starts with a stream header writes it for this frame only.
  uint8_t firstOfStream;
};

struct FrameConverter;
struct MultimediaStreamSide;
struct ThreadTask;
struct ThreadJob;

// The least stream record: allocated zeroed; the stream engine adds its fields behind these.
struct MultimediaStream {
  char description[2048];   // what messages name the stream by
  uint8_t failed;           // set when a failure text was recorded
  uint8_t firstFrameHanded;  // set once a frame was marked as the stream's first
  char failureText[1024];   // the last failure recorded, cut to 1023 characters
  // ----- the stream engine's fields (multimediaOpenStream sets them up) -----
  MultimediaStream *next;      // stream list; NULL at the tail
  MultimediaStream *previous;  // the head's previous link is the tail
  MultimediaStreamSide *readSide;  // always allocated; readSide->present says whether it is used
  int readFd;                      // -1 when not open
  MultimediaStreamSide *writeSide;  // NULL without a write side; may be shared between streams
  // Its fd is the stream's write descriptor (-1 when not open); a buffered stream queues its
  // bytes in its side's queue, not here.
  OutBuffer writeBuffer;
  ThreadTask *writeTask;            // "mmWriteStream" of a threaded write side
  FrameConverter *writeConverter;
  void *writeConverterState;
  uint8_t useSecondPipe;  // the write side runs a command with two pipes and no content type was given
  char *contentType;      // heap text, "unspecified" unless "MWTcontentType" sets it
  uint8_t users;          // starts not yet matched by closes
  uint8_t inChild;        // set in a forked child only
  uint8_t audioChannels;  // 0: no audio set-up
  uint8_t audioBalance;   // default 101, only exported
  uint32_t audioSampleRate;  // 0: leave the rate alone
  char specification[2048];  // the client's text, cut to 2047 characters
  // The applied pairs ("key", NUL, "value", NUL each, then an extra NUL); environmentLength is
  // the write position (the extra NUL is written there and not counted).
  char environment[4096];
  uint32_t environmentLength;
  // Guards failed and failureText: pool workers, the loop and the child-exit pass record
  // failures; readers copy the text under it. Zeroed memory is an unlocked mutex.
  pthread_mutex_t failureMutex;
};

// Records a failure: logged on the step channel as "MULTIMEDIA: %s", kept as the stream's
// failure text (a later one replaces it) and its failed flag set. Any thread may call it; a
// NULL stream only logs.
void multimediaSetError(MultimediaStream *stream, const char *text);
// Records a failure unless the stream has failed already (the writers keep the first one).
void multimediaSetFirstError(MultimediaStream *stream, const char *text);
// The failure text (a temporary copy), or NULL while the stream has not failed.
const char *multimediaStreamError(MultimediaStream *stream);

// A new frame holding a copy of the data; reference count 1, repeat 0. Out of memory: the
// stream records "Out of memory (%s:%d)" and NULL is returned.
MultimediaFrame *multimediaNewFrame(MultimediaStream *stream, const void *data, uint64_t length);
// A new frame of size bytes (contents to be filled) with the repeat count, stream and first
// mark of the given frame. A size above 4 GiB - 1 or no memory: "Out of memory (%s:%d)"
// recorded on that stream, NULL returned (the given frame is left alone).
MultimediaFrame *multimediaNewFrameLike(const MultimediaFrame *frame, uint64_t size);
// A frame around data that stays the caller's until release runs (release may be NULL).
MultimediaFrame *multimediaWrapFrame(MultimediaStream *stream, void *data, uint32_t length,
                                     MultimediaReleaseFunction release);
// Drops one reference (NULL is allowed); at zero runs the release function, then frees it.
void multimediaReleaseFrame(MultimediaFrame *frame);
// Marks the frame as its stream's first unless the stream had one already. The writer calls it
// on the event loop's thread as it hands frames over, so the mark follows the order in which
// frames were given, not the order in which workers convert them.
void multimediaMarkFirstFrame(MultimediaFrame *frame);
// The bytes of one copy of a frame: copy 0 is the whole frame, later copies skip the header.
void multimediaFrameCopy(const MultimediaFrame *frame, unsigned copy, const uint8_t **data,
                         uint32_t *length);

// ===== profiles and the stream engine =====
//
// Profiles: one file, named by XMULTIMEDIA_PROFILES and written by an administrator, of named
// lists of key/value pairs that tell the engine how to reach a stream's sink or source. A name/
// value list ("pairs") is "key", NUL, "value", NUL per pair, ended by an extra NUL; an empty
// list is a single NUL. Profiles, parsed specifications and a stream's environment block all
// have that form.

constexpr size_t kMultimediaProfileNameSize = 60;   // names are cut to 59 characters
constexpr size_t kMultimediaAliasSize = 40;         // aliases are cut to 39 characters
constexpr size_t kMultimediaExpansionSize = 4080;   // most bytes of one profile's expanded pairs
constexpr size_t kMultimediaEnvironmentSize = 4096; // MultimediaStream::environment
constexpr size_t kMultimediaPathSize = 4096;        // a side's path and file names
constexpr int kMultimediaIncludeDepth = 16;         // profiles nested inside each other at most
constexpr uint32_t kMultimediaProfileGrowth = 1024; // table growth step, in records

struct MultimediaProfile {
  char name[kMultimediaProfileNameSize];
  char alias1[kMultimediaAliasSize];  // empty when not given
  char alias2[kMultimediaAliasSize];  // empty when not given; a third alias replaces it
  char *pairs;       // heap list; after a load its includes are expanded
  size_t pairsSize;  // bytes of pairs with the extra NUL
};

// The process-wide table, in file order (a later profile with an existing name is never found
// by name). Filled by the first successful load.
extern MultimediaProfile *multimediaProfiles;
extern uint32_t multimediaProfileCount;

// Reads the profile file once per process; NULL or an error text. A failed load leaves the
// table empty and is tried afresh at the next call. Include cycles (through empty-valued keys or
// "MWTname") and expansions beyond kMultimediaExpansionSize bytes fail the load naming the
// profile.
const char *multimediaLoadProfiles();
// Empties the table and forgets that the file was read (the next load reads it again).
void multimediaClearProfiles();
// The configuration reader's callback for one statement of the profile file.
const char *multimediaProfileLine(const char *name, const char *value, int line, void *user);
// The profile whose name equals text (any case), else the first whose alias does; NULL.
const MultimediaProfile *multimediaFindProfile(const char *text);
// A setting: the default-settings profile's value first, then the built-in defaults, then "1"
// for "Linux" and "" for anything else. NULL only for "MWTprofilesPath" while the variable is
// unset. A pointer into the table, a constant or a temporary text.
const char *multimediaGetSetting(const char *key);
// Steps a pair list: 0 at its end, else 1 with name and value pointing into the list.
int multimediaNextPair(const char **cursor, const char **name, const char **value);
// A specification parsed into a heap pair list (empty values kept); NULL when it holds no
// statement or does not parse (the parse error is logged as a problem).
char *multimediaParseSpec(const char *text);
// Appends the profile's pairs, includes expanded, at *position (advanced) below end; NULL or an
// error text naming the profile (cycle, nesting deeper than kMultimediaIncludeDepth, no room).
const char *multimediaExpandIncludes(const MultimediaProfile *profile, char **position, char *end);
// Applies a pair list to a stream being opened and appends the exported pairs to its
// environment block (not ended: the caller writes the extra NUL). NULL or an error text; the
// caller reports "Invalid multimedia stream '%s'".
const char *multimediaApplyKeys(const char *list, MultimediaStream *stream);
// A heap copy of the value of the specification's last statement with that key (any case), NULL
// when none.
char *multimediaSpecValue(const char *key, const char *specification);
// What a client may ask for in a specification: statements without a value (profile names) and
// the keys "MWTname", "MWTdescription_en", "MWTcontentType", "MWTaudioChannels",
// "MWTaudioSampleRate" and "MWTaudioBalance" (any case). Any other key, or a text that does
// not parse: "Invalid multimedia stream '%s'", and the log names the key. Profiles and direct
// callers of multimediaOpenStream keep every key.
const char *multimediaCheckClientSpec(const char *specification);

// Side methods.
constexpr uint8_t kMultimediaMethodNone = 0;
constexpr uint8_t kMultimediaMethodPath = 1;
constexpr uint8_t kMultimediaMethodCommand = 2;
constexpr uint8_t kMultimediaMethodOff = 5;

// Option flags of an open.
constexpr unsigned kMultimediaRead = 1;
constexpr unsigned kMultimediaWrite = 2;
constexpr unsigned kMultimediaThreaded = 4;

// One side of a stream, allocated zeroed. The write side may be shared by several streams.
struct MultimediaStreamSide {
  uint8_t present;
  uint8_t threaded;
  uint8_t buffered;
  uint8_t method;          // kMultimediaMethod...
  uint8_t sharers;         // further streams sharing the side
  uint8_t started;         // started streams on the side not yet closed
  uint8_t recordingLevel;  // percent, 127 = leave
  char *recordingSources;  // heap text
  char path[kMultimediaPathSize];
  ThreadTask *readTask;  // "mmReadStream" of a threaded read side
  FrameConverter *converter;  // the read side's row (the write side's is the stream's)
  void *converterState;
  uint8_t *readBuffer;
  uint32_t readSize;
  char *command;  // heap text
  pid_t childPid;  // kept in the read side record, whichever side runs the command
  char fifo1[kMultimediaPathSize];  // empty when not created
  char fifo2[kMultimediaPathSize];
  int fifo1Fd;  // -1 = not open (descriptor 0 is a real one)
  int fifo2Fd;
  char logFile[kMultimediaPathSize];
  uint8_t pipes;  // "MWTwritePipes"
  // The side that runs a command (the read side when the stream reads, else the write side,
  // shared by all its holders) keeps the child, its FIFOs, its log file and the private
  // directory that holds them: freeing one holder never loses them.
  char directory[kMultimediaPathSize];  // empty when not created
  // Serialises the frames written to the side's sink: streams sharing it write whole frames.
  pthread_mutex_t writeLock;
  // Buffered writes of every stream on the side, one queue per FIFO of the sink (1: FIFO 2 of
  // a command side, written by the streams that use the second pipe). Whole frames are
  // appended on the loop's thread, so the frames of streams sharing a FIFO never interleave,
  // however a non-blocking flush cuts them. Each flush writes through the descriptor of a
  // stream that still writes the queue (its fd is set then); a closing stream drains it.
  OutBuffer queue[2];
};

// The process-wide stream list (head; its previous link is the tail).
extern MultimediaStream *multimediaStreams;

// The display name that commands started from now on find in DISPLAY (NULL or "" leaves the
// inherited environment's). The proxy's own environment stays unchanged: the name goes into
// each child's environment vector, built before the fork.
void multimediaSetDisplayName(const char *name);

// Opens a stream for a specification; content type may be NULL. Flags: kMultimediaRead,
// kMultimediaWrite, kMultimediaThreaded. NULL or an error text; *out is NULL on failure.
const char *multimediaOpenStream(const char *specification, const char *contentType, unsigned flags,
                                 MultimediaStream **out);
// Starts a stream (each start counts a user): opens its path (and sets audio up), or creates
// the FIFOs and the child running the command (the loop's thread waits for the child's FIFOs,
// at most about multimediaStartTimeoutUs). NULL or the stream's failure text.
const char *multimediaStartStream(MultimediaStream *stream);
// Hands a frame to its stream's sink: threaded (queued on the write task), direct (converted
// and written now) or buffered (queued in the write buffer, flushed without blocking). The
// caller keeps its reference. A stream without a started write side, a side that is off, or a
// failed stream takes nothing. Repeat 0 counts as 1. Runs on the loop's thread.
void multimediaWriteFrame(MultimediaFrame *frame, unsigned repeat);
// Writes a converted frame repeatCount times to its stream's descriptor (under the side's write
// lock) and releases it. A failed stream releases it unwritten; the first failure is kept.
void multimediaWriteFrameNow(MultimediaFrame *frame);
// The threaded side's job for one frame (argument: the frame): converts it, puts the result
// (NULL after a failed conversion, skipped at delivery) and delivers what is ready, in order.
const char *multimediaWriteJob(void *frame, ThreadJob *job);
// One non-blocking flush pass over the buffered streams' queues (a queue shared by several
// streams is flushed once). Returns the number of queues holding more than
// kMultimediaBufferedLimit bytes minus those that flushed completely; while
// any data stays queued a kMultimediaFlushIntervalMs timer of the loop runs the next pass. It
// never sleeps.
int multimediaFlushBuffered(int count);
// Whether the stream takes a frame now without queueing: a threaded side whose task is not busy,
// a buffered side holding at most kMultimediaBufferedLimit bytes, a direct side whose descriptor
// is writable. A stream that writes nothing (not started, off, failed) is ready. The client code
// does not read a client whose stream is not ready.
bool multimediaStreamReady(MultimediaStream *stream);
// Reads up to the read size from the read side; *data is the read buffer, *length the bytes
// read (0 for nothing waiting, negative on error). NULL or the failure text.
const char *multimediaRead(MultimediaStream *stream, const uint8_t **data, long *length);
// Ends one start; the last one drains the stream's frames and stops its sink. NULL or the
// failure text (a temporary copy).
const char *multimediaCloseStream(MultimediaStream *stream);
// Stops the command of a stream whose side is no longer started: closes the FIFOs, waits
// multimediaStopWaitMs for the child, then SIGTERM, multimediaKillWaitMs, SIGKILL, and reaps
// it; removes FIFOs, log file and their directory. A non-zero exit after EOF is recorded with
// its exit text.
void multimediaStopCommand(MultimediaStream *stream);
// Closes the stream until no user is left, frees its sides with their last holder, unlinks and
// frees it. NULL is allowed.
void multimediaFreeStream(MultimediaStream *stream);

// Failures of the sink process and its pipes. multimediaOnChildExit is the SIGCHLD handler: it
// only notes the signal (and wakes the loop through a pipe); multimediaPollChildren, run by the
// loop, collects every ended child of a stream and records its exit text on the streams using
// it. The handler is installed while any command runs (once, with a count; the disposition
// before the first is restored after the last) and SIGPIPE is kept ignored meanwhile.
void multimediaOnChildExit(int signal);
void multimediaPollChildren();
// Records "Broken pipe in %s stream" on a stream whose write met EPIPE.
void multimediaOnBrokenPipe(MultimediaStream *stream);
// How many commands run with the SIGCHLD handler installed.
int multimediaCommandCount();
// Audio set-up of a stream's open descriptor through the OSS seam (ossaudio.h).
const char *multimediaSetupAudio(MultimediaStream *stream);

// Queries.
const char *multimediaStreamName(const MultimediaStream *stream);
// The value of the first applied pair with the key (any case), NULL when none.
const char *multimediaStreamValue(const MultimediaStream *stream, const char *key);
// Whether the last applied pair with the key has the value (any case); false when none.
bool multimediaStreamHasValue(const MultimediaStream *stream, const char *key, const char *value);
// The applied pairs as "key=value " / "key " words (quoted when empty or holding blanks) in a
// new heap buffer of 4096 bytes (the caller frees it); pairs that do not fit are left out whole.
char *multimediaStreamSettingsText(const MultimediaStream *stream);
// The read descriptor of a stream that reads, else the write descriptor; 0 ("UNE") with neither.
int multimediaStreamFd(const MultimediaStream *stream);

// Limits and waits (tests shorten the waits).
constexpr uint64_t kMultimediaBufferedLimit = 314572800;  // 300 MiB queued in one buffered stream
constexpr unsigned kMultimediaFlushIntervalMs = 5;
extern unsigned multimediaStartTimeoutUs;  // 10 s: the doubling wait for the child's FIFOs
extern unsigned multimediaStopWaitMs;      // 5 s: for a child to end after EOF
extern unsigned multimediaKillWaitMs;      // 2 s: after SIGTERM, before SIGKILL
// The write side's drain at close gives up after fdWriteAllWaitMs (support/fd.h) without progress.

// The stream engine's use of the converter rows (defined with the converters, conversion.cpp;
// conversion.h describes the table).
// Chooses both sides' rows for a stream from the producer's content type T (NULL: none) and the
// stream's own C: the identity row when T or C is NULL or they are equal, else the first row
// from C to T for the read side and from T to C for the write side. NULL or
// "%s does not support content type: %s" (the stream's description, T).
const char *conversionSelect(const char *contentType, MultimediaStream *stream);
// Takes one user of each present side's row for a start; a row's init runs as its count leaves
// 0. False after a failure recorded by an init, with the rows taken so far given back.
bool conversionStart(MultimediaStream *stream);
// Gives back the rows of the sides named; a row's free runs as its count returns to 0.
void conversionStop(MultimediaStream *stream, bool readSide, bool writeSide);
// Converts a frame for the write side (consumes one reference); NULL after a recorded failure.
MultimediaFrame *conversionConvertForWrite(MultimediaStream *stream, MultimediaFrame *frame);
