// Frames and stream failure texts.
#include "conversions/multimedia.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/fd.h"
#include "support/logging.h"
#include "support/strtemp.h"

namespace {

void releaseNothing(void *) {}

// The failed flag as another thread may have set it.
bool failedNow(const MultimediaStream *stream) { return __atomic_load_n(&stream->failed, __ATOMIC_ACQUIRE) != 0; }

// Failure texts are written by pool workers and the loop and read by the loop: each stream's
// text is guarded by its own mutex.
void recordFailure(MultimediaStream *stream, const char *text, bool keepFirst) {
  if (!text) return;
  if (stream) {
    pthread_mutex_lock(&stream->failureMutex);
    bool keep = keepFirst && stream->failed;
    if (!keep) {
      snprintf(stream->failureText, sizeof stream->failureText, "%s", text);
      __atomic_store_n(&stream->failed, 1, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&stream->failureMutex);
    if (keep) return;
  }
  logStep("MULTIMEDIA: %s", text);
}

}  // namespace

void multimediaSetError(MultimediaStream *stream, const char *text) { recordFailure(stream, text, false); }

void multimediaSetFirstError(MultimediaStream *stream, const char *text) { recordFailure(stream, text, true); }

const char *multimediaStreamError(MultimediaStream *stream) {
  if (!stream) return nullptr;
  pthread_mutex_lock(&stream->failureMutex);
  const char *text = stream->failed ? strTempDup(stream->failureText) : nullptr;
  pthread_mutex_unlock(&stream->failureMutex);
  return text;
}

MultimediaFrame *multimediaNewFrame(MultimediaStream *stream, const void *data, uint64_t length) {
  MultimediaFrame model{};
  model.stream = stream;
  MultimediaFrame *frame = multimediaNewFrameLike(&model, length);
  if (frame && length) memcpy(frame->data, data, static_cast<size_t>(length));
  return frame;
}

MultimediaFrame *multimediaNewFrameLike(const MultimediaFrame *frame, uint64_t size) {
  // The length field holds 32 bits: a larger frame would be cut and overrun by its filler.
  MultimediaFrame *made = nullptr;
  if (size <= UINT32_MAX)
    made = static_cast<MultimediaFrame *>(calloc(1, sizeof(MultimediaFrame) + static_cast<size_t>(size)));
  if (!made) {
    multimediaSetError(frame->stream, OUT_OF_MEMORY_TEXT());
    return nullptr;
  }
  made->data = made + 1;
  made->length = static_cast<uint32_t>(size);
  made->referenceCount = 1;
  made->repeatCount = frame->repeatCount;
  made->stream = frame->stream;
  made->release = releaseNothing;
  made->firstOfStream = frame->firstOfStream;
  return made;
}

MultimediaFrame *multimediaWrapFrame(MultimediaStream *stream, void *data, uint32_t length,
                                     MultimediaReleaseFunction release) {
  MultimediaFrame *frame = static_cast<MultimediaFrame *>(calloc(1, sizeof(MultimediaFrame)));
  if (!frame) {
    multimediaSetError(stream, OUT_OF_MEMORY_TEXT());
    return nullptr;
  }
  frame->data = data;
  frame->length = length;
  frame->referenceCount = 1;
  frame->stream = stream;
  frame->release = release ? release : releaseNothing;
  return frame;
}

void multimediaReleaseFrame(MultimediaFrame *frame) {
  if (!frame || atomicAdd16(&frame->referenceCount, -1) != 0) return;
  frame->release(frame->data);
  free(frame);
}

void multimediaMarkFirstFrame(MultimediaFrame *frame) {
  if (!frame || !frame->stream || frame->stream->firstFrameHanded) return;
  frame->stream->firstFrameHanded = 1;
  frame->firstOfStream = 1;
}

void multimediaFrameCopy(const MultimediaFrame *frame, unsigned copy, const uint8_t **data,
                         uint32_t *length) {
  uint32_t skip = copy == 0 ? 0 : (frame->headerLength < frame->length ? frame->headerLength : frame->length);
  *data = static_cast<const uint8_t *>(frame->data) + skip;
  *length = frame->length - skip;
}

// ===== profiles and the stream engine =====

#include <fcntl.h>
#include <linux/soundcard.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "conversions/ossaudio.h"
#include "support/configfile.h"
#include "support/host.h"
#include "support/orders.h"
#include "support/process.h"
#include "support/strings.h"
#include "support/threadlib.h"

extern char **environ;

MultimediaProfile *multimediaProfiles = nullptr;
uint32_t multimediaProfileCount = 0;
MultimediaStream *multimediaStreams = nullptr;

namespace {

uint32_t profileCapacity = 0;
bool profilesRead = false;
// The last line of the profile file whose condition was false (0: none; lines count from 1).
int falseConditionLine = 0;

constexpr char kDefaultSettings[] = "MWTdefaultSettings";

bool sameText(const char *a, const char *b) { return strcasecmp(a, b) == 0; }

// A decimal number as the settings and keys give it; empty or non-numeric texts are 0.
long decimalValue(const char *text) { return text ? strtol(text, nullptr, 10) : 0; }

uint8_t byteValue(const char *text) {
  long n = decimalValue(text);
  return static_cast<uint8_t>(n < 0 ? 0 : n > 255 ? 255 : n);
}

uint32_t wordValue(const char *text) {
  long long n = strtoll(text, nullptr, 10);
  return static_cast<uint32_t>(n < 0 ? 0 : n > UINT32_MAX ? UINT32_MAX : n);
}

// Appends one pair to a heap list, keeping its extra NUL; false when out of memory.
bool appendPair(MultimediaProfile *profile, const char *key, const char *value) {
  size_t keyLength = strlen(key), valueLength = strlen(value);
  size_t size = profile->pairsSize + keyLength + valueLength + 2;
  char *pairs = static_cast<char *>(realloc(profile->pairs, size));
  if (!pairs) return false;
  char *at = pairs + profile->pairsSize - 1;  // over the old extra NUL
  memcpy(at, key, keyLength + 1);
  memcpy(at + keyLength + 1, value, valueLength + 1);
  pairs[size - 1] = '\0';
  profile->pairs = pairs;
  profile->pairsSize = size;
  return true;
}

// The default-settings profile's first value for the key (any case); NULL when it has none.
const char *defaultSetting(const char *key) {
  if (const MultimediaProfile *defaults = multimediaFindProfile(kDefaultSettings)) {
    const char *cursor = defaults->pairs, *name, *value;
    while (multimediaNextPair(&cursor, &name, &value))
      if (sameText(name, key)) return value;
  }
  return nullptr;
}

// A condition's word: only the default-settings profile and "Linux" make it true.
const char *conditionSetting(const char *word) {
  if (const char *value = defaultSetting(word)) return value;
  return sameText(word, "Linux") ? "1" : "";
}

// Profiles on the current include path, outermost first.
using ProfilePath = std::vector<const MultimediaProfile *>;

bool onPath(const ProfilePath &path, const MultimediaProfile *profile) {
  for (const MultimediaProfile *p : path)
    if (p == profile) return true;
  return false;
}

const char *expandInto(const MultimediaProfile *profile, char **position, char *end, ProfilePath &path) {
  if (onPath(path, profile) || path.size() >= static_cast<size_t>(kMultimediaIncludeDepth))
    return strTempPrintf("Multimedia profile '%s' includes itself", path.front()->name);
  path.push_back(profile);
  const char *cursor = profile->pairs, *key, *value;
  while (multimediaNextPair(&cursor, &key, &value)) {
    if (!*value) {
      if (const MultimediaProfile *included = multimediaFindProfile(key))
        if (const char *error = expandInto(included, position, end, path)) return error;
      continue;
    }
    size_t keyLength = strlen(key), valueLength = strlen(value);
    if (keyLength + valueLength + 2 > static_cast<size_t>(end - *position))
      return strTempPrintf("Multimedia profile '%s' expands beyond %zu bytes", path.front()->name,
                           kMultimediaExpansionSize);
    memcpy(*position, key, keyLength + 1);
    memcpy(*position + keyLength + 1, value, valueLength + 1);
    *position += keyLength + valueLength + 2;
  }
  path.pop_back();
  return nullptr;
}

// Follows "MWTname" references from an expanded profile; a profile met again on the way, or a
// chain deeper than kMultimediaIncludeDepth, is refused naming the first profile.
const char *checkNameChain(const MultimediaProfile *profile, ProfilePath &path) {
  if (onPath(path, profile) || path.size() >= static_cast<size_t>(kMultimediaIncludeDepth))
    return strTempPrintf("Multimedia profile '%s' includes itself", path.front()->name);
  path.push_back(profile);
  const char *cursor = profile->pairs, *key, *value;
  while (multimediaNextPair(&cursor, &key, &value)) {
    if (!sameText(key, "MWTname")) continue;
    if (const MultimediaProfile *named = multimediaFindProfile(value))
      if (const char *error = checkNameChain(named, path)) return error;
  }
  path.pop_back();
  return nullptr;
}

const char *expandAll() {
  std::vector<char *> expanded(multimediaProfileCount, nullptr);
  std::vector<size_t> sizes(multimediaProfileCount, 0);
  auto freeExpanded = [&] {
    for (char *list : expanded) free(list);
  };
  for (uint32_t i = 0; i < multimediaProfileCount; i++) {
    char buffer[kMultimediaExpansionSize];
    char *position = buffer;
    ProfilePath path;
    // One byte of the buffer stays for the extra NUL.
    if (const char *error = expandInto(&multimediaProfiles[i], &position, buffer + sizeof buffer - 1, path)) {
      freeExpanded();
      return error;
    }
    *position++ = '\0';
    sizes[i] = static_cast<size_t>(position - buffer);
    expanded[i] = static_cast<char *>(malloc(sizes[i]));
    if (!expanded[i]) {
      freeExpanded();
      return OUT_OF_MEMORY_TEXT();
    }
    memcpy(expanded[i], buffer, sizes[i]);
  }
  for (uint32_t i = 0; i < multimediaProfileCount; i++) {
    free(multimediaProfiles[i].pairs);
    multimediaProfiles[i].pairs = expanded[i];
    multimediaProfiles[i].pairsSize = sizes[i];
  }
  for (uint32_t i = 0; i < multimediaProfileCount; i++) {
    ProfilePath path;
    if (const char *error = checkNameChain(&multimediaProfiles[i], path)) return error;
  }
  return nullptr;
}

}  // namespace

void multimediaClearProfiles() {
  for (uint32_t i = 0; i < multimediaProfileCount; i++) free(multimediaProfiles[i].pairs);
  free(multimediaProfiles);
  multimediaProfiles = nullptr;
  multimediaProfileCount = profileCapacity = 0;
  profilesRead = false;
  falseConditionLine = 0;
}

const char *multimediaLoadProfiles() {
  if (profilesRead) return nullptr;
  const char *path = getenv("XMULTIMEDIA_PROFILES");
  if (!path)
    return strTempPrintf("Environment variable %s not set - Be sure to start the wrapper script",
                         "XMULTIMEDIA_PROFILES");
  multimediaClearProfiles();
  const char *error = configReadFile(path, multimediaProfileLine, nullptr);
  if (!error) error = expandAll();
  // What a failed load read would be appended to again by the next try: it is dropped.
  if (error) {
    multimediaClearProfiles();
    return error;
  }
  profilesRead = true;
  return nullptr;
}

const char *multimediaProfileLine(const char *name, const char *value, int line, void *) {
  if (sameText(name, "Name")) {
    if (multimediaProfileCount == profileCapacity) {
      uint32_t capacity = profileCapacity + kMultimediaProfileGrowth;
      auto *table = static_cast<MultimediaProfile *>(realloc(multimediaProfiles, capacity * sizeof(MultimediaProfile)));
      if (!table) return OUT_OF_MEMORY_TEXT();
      multimediaProfiles = table;
      profileCapacity = capacity;
    }
    MultimediaProfile profile{};
    strCopy(profile.name, value, sizeof profile.name);
    profile.pairs = static_cast<char *>(calloc(1, 1));
    if (!profile.pairs) return OUT_OF_MEMORY_TEXT();
    profile.pairsSize = 1;
    multimediaProfiles[multimediaProfileCount++] = profile;
    return nullptr;
  }
  if (multimediaProfileCount == 0) return nullptr;
  MultimediaProfile *last = &multimediaProfiles[multimediaProfileCount - 1];
  if (sameText(name, "Alias")) {
    strCopy(last->alias1[0] ? last->alias2 : last->alias1, value, kMultimediaAliasSize);
    return nullptr;
  }
  const char *key = name;
  if (const char *colon = strchr(name, ':')) {
    std::string word(name, colon);
    if (decimalValue(conditionSetting(word.c_str())) == 0) {
      falseConditionLine = line;
      return nullptr;
    }
    key = colon + 1;
  } else if (line == falseConditionLine) {
    return nullptr;
  }
  // An empty key would read as the list's end.
  if (!*key) return nullptr;
  return appendPair(last, key, value) ? nullptr : OUT_OF_MEMORY_TEXT();
}

const MultimediaProfile *multimediaFindProfile(const char *text) {
  if (!text || !*text) return nullptr;
  for (uint32_t i = 0; i < multimediaProfileCount; i++)
    if (sameText(multimediaProfiles[i].name, text)) return &multimediaProfiles[i];
  for (uint32_t i = 0; i < multimediaProfileCount; i++) {
    const MultimediaProfile &p = multimediaProfiles[i];
    if ((p.alias1[0] && sameText(p.alias1, text)) || (p.alias2[0] && sameText(p.alias2, text))) return &p;
  }
  return nullptr;
}

const char *multimediaGetSetting(const char *key) {
  if (const char *value = defaultSetting(key)) return value;
  static constexpr struct {
    const char *key;
    const char *value;
  } kBuiltIn[] = {{"MWTlibName", "MMLib"}, {"MWTlibVersion", "1.0"}, {"MWTreadSize", "100000"},
                  {"MWTwriteTimeout", "60000s"}};
  for (const auto &row : kBuiltIn)
    if (sameText(row.key, key)) return row.value;
  if (sameText(key, "MWTprofilesPath")) return getenv("XMULTIMEDIA_PROFILES");
  if (sameText(key, "MWTprofilesCount")) return strTempPrintf("%u", multimediaProfileCount);
  return sameText(key, "Linux") ? "1" : "";
}

int multimediaNextPair(const char **cursor, const char **name, const char **value) {
  if (!*cursor || !**cursor) return 0;
  *name = *cursor;
  *value = *name + strlen(*name) + 1;
  *cursor = *value + strlen(*value) + 1;
  return 1;
}

char *multimediaParseSpec(const char *text) {
  std::string list;
  const char *position = text ? text : "";
  while (*position) {
    char *name, *value;
    if (const char *error = configParseStatement(&position, &name, &value)) {
      logProblem(strTempPrintf("Invalid multimedia stream '%s': %s", text, error), __FILE__, __LINE__);
      return nullptr;
    }
    if (*name) {
      list.append(name).push_back('\0');
      list.append(value).push_back('\0');
    }
    free(name);
    free(value);
  }
  if (list.empty()) return nullptr;
  list.push_back('\0');
  char *copy = static_cast<char *>(malloc(list.size()));
  if (copy) memcpy(copy, list.data(), list.size());
  return copy;
}

const char *multimediaExpandIncludes(const MultimediaProfile *profile, char **position, char *end) {
  ProfilePath path;
  return expandInto(profile, position, end, path);
}

char *multimediaSpecValue(const char *key, const char *specification) {
  char *list = multimediaParseSpec(specification);
  const char *found = nullptr, *cursor = list, *name, *value;
  while (multimediaNextPair(&cursor, &name, &value))
    if (sameText(name, key)) found = value;
  char *copy = found ? strdup(found) : nullptr;
  free(list);
  return copy;
}

// ----- applying keys -----

namespace {

enum class KeyEffect : uint8_t {
  Export,  // nothing beyond the environment block
  Description,
  ReadSize,
  ReadThreaded,
  WriteThreaded,
  WriteBuffered,
  ReadCommand,
  WriteCommand,
  WritePipes,
  ReadPath,
  WritePath,
  Path,
  WriteOff,
  ReadAudioPorts,
  ReadAudioVolume,
  ContentType,
  AudioChannels,
  AudioSampleRate,
  AudioBalance,
  Name,
};

// Which side a key needs: Any acts always; Read and Write only when the stream has that side.
enum class KeySide : uint8_t { Any, Read, Write };

struct KeyRow {
  const char *key;
  KeyEffect effect;
  KeySide side;
  bool clientMay;  // a client's specification may name it
};

// The keys the engine knows. "MWTreadSize", "MWTreadCmd" and "MWTreadPath" set the read side's
// values whether or not the stream reads; every key but "MWTname" is exported.
constexpr KeyRow kKeys[] = {
    {"MWTdescription_en", KeyEffect::Description, KeySide::Any, true},
    {"MWTreadSize", KeyEffect::ReadSize, KeySide::Any, false},
    {"MWTreadInterval", KeyEffect::Export, KeySide::Any, false},
    {"MWTreadThreaded", KeyEffect::ReadThreaded, KeySide::Read, false},
    {"MWTwriteThreaded", KeyEffect::WriteThreaded, KeySide::Write, false},
    {"MWTwriteBuffered", KeyEffect::WriteBuffered, KeySide::Write, false},
    {"MWTreadCmd", KeyEffect::ReadCommand, KeySide::Any, false},
    {"MWTwriteCmd", KeyEffect::WriteCommand, KeySide::Write, false},
    {"MWTwritePipes", KeyEffect::WritePipes, KeySide::Write, false},
    {"MWTreadPipes", KeyEffect::Export, KeySide::Any, false},
    {"MWTreadNeedsSigTerm", KeyEffect::Export, KeySide::Any, false},
    {"MWTwriteNeedsSigTerm", KeyEffect::Export, KeySide::Any, false},
    {"MWTreadPath", KeyEffect::ReadPath, KeySide::Any, false},
    {"MWTwritePath", KeyEffect::WritePath, KeySide::Write, false},
    {"MWTpath", KeyEffect::Path, KeySide::Any, false},
    {"MWTwriteOff", KeyEffect::WriteOff, KeySide::Write, false},
    {"MWTreadAudioPorts", KeyEffect::ReadAudioPorts, KeySide::Read, false},
    {"MWTwriteAudioPorts", KeyEffect::Export, KeySide::Any, false},
    {"MWTreadAudioVolume", KeyEffect::ReadAudioVolume, KeySide::Read, false},
    {"MWTwriteAudioVolume", KeyEffect::Export, KeySide::Any, false},
    {"MWTblockSize", KeyEffect::Export, KeySide::Any, false},
    {"MWTcontentType", KeyEffect::ContentType, KeySide::Any, true},
    {"MWTaudioChannels", KeyEffect::AudioChannels, KeySide::Any, true},
    {"MWTaudioSampleRate", KeyEffect::AudioSampleRate, KeySide::Any, true},
    {"MWTaudioBalance", KeyEffect::AudioBalance, KeySide::Any, true},
    {"MWTname", KeyEffect::Name, KeySide::Any, true},
    {"MWTwriteDirect", KeyEffect::Export, KeySide::Any, false},
    {"MWTsource", KeyEffect::Export, KeySide::Any, false},
    {"MWTreadMayClose", KeyEffect::Export, KeySide::Any, false},
    {"MWTprofilesCount", KeyEffect::Export, KeySide::Any, false},
    {"MWTprofilesVersion", KeyEffect::Export, KeySide::Any, false},
    {"MWTprofilesPath", KeyEffect::Export, KeySide::Any, false},
    {"MWToutputFormat", KeyEffect::Export, KeySide::Any, false},
    {"MWTmaxDatarateSupported", KeyEffect::Export, KeySide::Any, false},
    {"MWTlibVersion", KeyEffect::Export, KeySide::Any, false},
    {"MWTlibName", KeyEffect::Export, KeySide::Any, false},
    {"MWTfileSuffix", KeyEffect::Export, KeySide::Any, false},
    {"MWTencoder", KeyEffect::Export, KeySide::Any, false},
    {"MWTwriteTimeout", KeyEffect::Export, KeySide::Any, false},
    {"MWTdefaultSettings", KeyEffect::Export, KeySide::Any, false},
};

const KeyRow *findKey(const char *key) {
  for (const KeyRow &row : kKeys)
    if (sameText(row.key, key)) return &row;
  return nullptr;
}

// Replaces a heap text; false when out of memory (the old text stays).
bool replaceText(char **slot, const char *value) {
  char *copy = strdup(value);
  if (!copy) return false;
  free(*slot);
  *slot = copy;
  return true;
}

const char *setPath(MultimediaStreamSide *side, const char *value) {
  if (strlen(value) >= sizeof side->path) return strTempPrintf("Multimedia path too long: %.64s...", value);
  side->method = kMultimediaMethodPath;
  strCopy(side->path, value, sizeof side->path);
  return nullptr;
}

const char *applyList(const char *list, MultimediaStream *stream, int depth);

// Applies a profile in place of an include; a name that matches no profile is ignored.
const char *applyProfile(const char *name, MultimediaStream *stream, int depth) {
  const MultimediaProfile *profile = multimediaFindProfile(name);
  if (!profile) return nullptr;
  if (depth >= kMultimediaIncludeDepth)
    return strTempPrintf("Multimedia profile '%s' nests deeper than %d levels", profile->name, kMultimediaIncludeDepth);
  return applyList(profile->pairs, stream, depth + 1);
}

const char *applyPair(const char *key, const char *value, MultimediaStream *stream, int depth) {
  const KeyRow *row = findKey(key);
  if (!row && !*value) return applyProfile(key, stream, depth);
  if (row && row->effect == KeyEffect::Name) return applyProfile(value, stream, depth);
  MultimediaStreamSide *read = stream->readSide, *write = stream->writeSide;
  bool acts = !row || row->side == KeySide::Any || (row->side == KeySide::Read && read->present) ||
              (row->side == KeySide::Write && write);
  if (row && acts) {
    bool ok = true;
    switch (row->effect) {
      case KeyEffect::Export: case KeyEffect::Name: break;
      case KeyEffect::Description: strCopy(stream->description, value, sizeof stream->description); break;
      case KeyEffect::ReadSize: read->readSize = wordValue(value); break;
      case KeyEffect::ReadThreaded: read->threaded = decimalValue(value) != 0; break;
      case KeyEffect::WriteThreaded: write->threaded = decimalValue(value) != 0; break;
      case KeyEffect::WriteBuffered: write->buffered = decimalValue(value) != 0; break;
      case KeyEffect::ReadCommand:
        ok = replaceText(&read->command, value);
        read->method = kMultimediaMethodCommand;
        stream->readFd = -1;
        break;
      case KeyEffect::WriteCommand:
        ok = replaceText(&write->command, value);
        write->method = kMultimediaMethodCommand;
        stream->writeBuffer.fd = -1;
        break;
      case KeyEffect::WritePipes: write->pipes = byteValue(value); break;
      case KeyEffect::ReadPath:
        if (const char *error = setPath(read, value)) return error;
        break;
      case KeyEffect::WritePath:
        if (const char *error = setPath(write, value)) return error;
        break;
      case KeyEffect::Path:
        if (read->present)
          if (const char *error = setPath(read, value)) return error;
        if (write)
          if (const char *error = setPath(write, value)) return error;
        break;
      case KeyEffect::WriteOff: write->method = kMultimediaMethodOff; break;
      case KeyEffect::ReadAudioPorts: ok = replaceText(&read->recordingSources, value); break;
      case KeyEffect::ReadAudioVolume: read->recordingLevel = *value ? byteValue(value) : 127; break;
      case KeyEffect::ContentType: ok = replaceText(&stream->contentType, value); break;
      case KeyEffect::AudioChannels: stream->audioChannels = byteValue(value); break;
      case KeyEffect::AudioSampleRate: stream->audioSampleRate = wordValue(value); break;
      case KeyEffect::AudioBalance: stream->audioBalance = byteValue(value); break;
    }
    if (!ok) return OUT_OF_MEMORY_TEXT();
  }
  // Exported: "key", NUL, "value", NUL, with a byte left for the block's extra NUL.
  size_t keyLength = strlen(key), valueLength = strlen(value);
  size_t room = sizeof stream->environment - 1 - stream->environmentLength;
  if (keyLength + valueLength + 2 > room)
    return strTempPrintf("Multimedia settings exceed %zu bytes at '%s'", sizeof stream->environment, key);
  char *at = stream->environment + stream->environmentLength;
  memcpy(at, key, keyLength + 1);
  memcpy(at + keyLength + 1, value, valueLength + 1);
  stream->environmentLength += static_cast<uint32_t>(keyLength + valueLength + 2);
  return nullptr;
}

const char *applyList(const char *list, MultimediaStream *stream, int depth) {
  const char *cursor = list, *key, *value;
  while (multimediaNextPair(&cursor, &key, &value))
    if (const char *error = applyPair(key, value, stream, depth)) return error;
  return nullptr;
}

}  // namespace

const char *multimediaApplyKeys(const char *list, MultimediaStream *stream) {
  return applyList(list, stream, 0);
}

const char *multimediaCheckClientSpec(const char *specification) {
  char *list = multimediaParseSpec(specification);
  const char *refused = list ? nullptr : "";
  const char *cursor = list, *key, *value;
  while (!refused && multimediaNextPair(&cursor, &key, &value)) {
    const KeyRow *row = findKey(key);
    // A statement without a value names a profile, unless it is one of the engine's own keys.
    if (row ? !row->clientMay : *value != '\0') refused = key;
  }
  const char *result = nullptr;
  if (refused) {
    if (*refused)
      LOG(logChannelXerror, "MULTIMEDIA: key '%s' refused in a client's stream specification", refused);
    result = strTempPrintf("Invalid multimedia stream '%s'", specification);
  }
  free(list);
  return result;
}

// ----- streams -----

namespace {

void freeSide(MultimediaStreamSide *side) {
  if (!side) return;
  free(side->recordingSources);
  free(side->command);
  free(side->readBuffer);
  for (OutBuffer &queue : side->queue) outbufferFree(&queue);
  free(side);
}

// Drops the stream's hold on a side; the side goes with the last stream holding it.
void releaseSide(MultimediaStreamSide *side) {
  if (!side) return;
  if (side->sharers > 0)
    side->sharers--;
  else
    freeSide(side);
}

void unlinkStream(MultimediaStream *stream) {
  MultimediaStream *head = multimediaStreams;
  if (!head || (!stream->previous && head != stream)) return;  // not in the list
  if (stream == head) {
    multimediaStreams = stream->next;
    if (stream->next) stream->next->previous = stream->previous;
  } else {
    stream->previous->next = stream->next;
    if (stream->next)
      stream->next->previous = stream->previous;
    else
      head->previous = stream->previous;
  }
  stream->next = stream->previous = nullptr;
}

void appendStream(MultimediaStream *stream) {
  stream->next = nullptr;
  if (!multimediaStreams) {
    multimediaStreams = stream;
    stream->previous = stream;
    return;
  }
  MultimediaStream *tail = multimediaStreams->previous;
  tail->next = stream;
  stream->previous = tail;
  multimediaStreams->previous = stream;
}

void freeRecord(MultimediaStream *stream) {
  releaseSide(stream->readSide);
  releaseSide(stream->writeSide);
  outbufferFree(&stream->writeBuffer);
  free(stream->contentType);
  free(stream);
}

void doNothing(void *) {}

// The stream that shares its write side with a new one: same method, and the same path, or the
// same command with two or more pipes on either side.
MultimediaStream *findSharedSink(const MultimediaStream *stream) {
  const MultimediaStreamSide *mine = stream->writeSide;
  for (MultimediaStream *other = multimediaStreams; other; other = other->next) {
    const MultimediaStreamSide *theirs = other->writeSide;
    if (other == stream || !theirs || theirs->method != mine->method) continue;
    if (mine->method == kMultimediaMethodPath) {
      if (strcmp(mine->path, theirs->path) == 0) return other;
    } else if (mine->method == kMultimediaMethodCommand) {
      if (mine->command && theirs->command && strcmp(mine->command, theirs->command) == 0 &&
          (mine->pipes >= 2 || theirs->pipes >= 2))
        return other;
    } else {
      LOG_UNE();
      return other;
    }
  }
  return nullptr;
}

// Another started stream on the same write side with its descriptor open.
MultimediaStream *startedSharer(const MultimediaStream *stream) {
  for (MultimediaStream *other = multimediaStreams; other; other = other->next)
    if (other != stream && other->writeSide == stream->writeSide && other->users > 0 && other->writeBuffer.fd >= 0)
      return other;
  return nullptr;
}

const char *openStream(const char *specification, const char *contentType, unsigned flags, MultimediaStream *stream) {
  MultimediaStreamSide *read = stream->readSide;
  if (flags & kMultimediaRead) {
    read->present = 1;
    read->readSize = wordValue(multimediaGetSetting("MWTreadSize"));
    if (!replaceText(&read->recordingSources, multimediaGetSetting("MWTreadAudioPorts"))) return OUT_OF_MEMORY_TEXT();
    const char *level = multimediaGetSetting("MWTreadAudioVolume");
    read->recordingLevel = *level ? byteValue(level) : 127;
  }
  if (flags & kMultimediaWrite) {
    MultimediaStreamSide *write = static_cast<MultimediaStreamSide *>(calloc(1, sizeof(MultimediaStreamSide)));
    if (!write) return OUT_OF_MEMORY_TEXT();
    stream->writeSide = write;
    write->fifo1Fd = write->fifo2Fd = -1;
    for (OutBuffer &queue : write->queue) outbufferInit(&queue, -1, doNothing, nullptr);
    if (!replaceText(&write->recordingSources, multimediaGetSetting("MWTwriteAudioPorts"))) return OUT_OF_MEMORY_TEXT();
    const char *level = multimediaGetSetting("MWTwriteAudioVolume");
    write->recordingLevel = *level ? byteValue(level) : 127;
  }
  if (!replaceText(&stream->contentType, "unspecified")) return OUT_OF_MEMORY_TEXT();
  stream->audioBalance = 101;

  char *list = multimediaParseSpec(specification);
  if (!list) return strTempPrintf("Invalid multimedia stream '%s'", specification);
  const char *error = multimediaApplyKeys(list, stream);
  free(list);
  if (error) {
    logProblem(error, __FILE__, __LINE__);
    return strTempPrintf("Invalid multimedia stream '%s'", specification);
  }
  stream->environment[stream->environmentLength] = '\0';

  if (const char *failure = conversionSelect(contentType, stream)) return failure;
  const char *profilesPath = multimediaGetSetting("MWTprofilesPath");
  if (read->present) {
    if (read->method == kMultimediaMethodNone)
      return strTempPrintf("No multimedia source '%s' in %s:%s", specification, hostName(),
                           profilesPath ? profilesPath : "");
    read->readBuffer = static_cast<uint8_t *>(malloc(read->readSize ? read->readSize : 1));
    if (!read->readBuffer) return OUT_OF_MEMORY_TEXT();
    if ((flags & kMultimediaThreaded) && !read->threaded && !read->buffered) read->threaded = 1;
  }
  MultimediaStreamSide *write = stream->writeSide;
  if (write) {
    if (write->method == kMultimediaMethodNone)
      return strTempPrintf("No multimedia sink '%s' in %s:%s", specification, hostName(),
                           profilesPath ? profilesPath : "");
    if (MultimediaStream *other = findSharedSink(stream)) {
      freeSide(write);
      stream->writeSide = write = other->writeSide;
      write->sharers++;
    } else if ((flags & kMultimediaThreaded) && !write->threaded && !write->buffered) {
      write->threaded = 1;
    }
    stream->useSecondPipe = write->method == kMultimediaMethodCommand && write->pipes >= 2 && !contentType;
  }
  return nullptr;
}

}  // namespace

const char *multimediaOpenStream(const char *specification, const char *contentType, unsigned flags,
                                 MultimediaStream **out) {
  *out = nullptr;
  if (!(flags & (kMultimediaRead | kMultimediaWrite))) return strTempPrintf("Invalid multimedia stream option 0x%x", flags);
  if (!specification) specification = "";
  MultimediaStream *stream = static_cast<MultimediaStream *>(calloc(1, sizeof(MultimediaStream)));
  if (!stream) return OUT_OF_MEMORY_TEXT();
  strCopy(stream->specification, specification, sizeof stream->specification);
  strCopy(stream->description, specification, sizeof stream->description);
  stream->readFd = -1;
  outbufferInit(&stream->writeBuffer, -1, doNothing, nullptr);
  stream->readSide = static_cast<MultimediaStreamSide *>(calloc(1, sizeof(MultimediaStreamSide)));
  if (stream->readSide) stream->readSide->fifo1Fd = stream->readSide->fifo2Fd = -1;
  const char *error = stream->readSide ? openStream(stream->specification, contentType, flags, stream)
                                       : OUT_OF_MEMORY_TEXT();
  if (error) {
    freeRecord(stream);
    return error;
  }
  appendStream(stream);
  *out = stream;
  return nullptr;
}

// ----- child processes and signals -----

unsigned multimediaStartTimeoutUs = 10000000;
unsigned multimediaStopWaitMs = 5000;
unsigned multimediaKillWaitMs = 2000;

namespace {

// Set by the SIGCHLD handler, which may run on any thread (a pool worker too): a lock-free
// atomic, which is async-signal-safe and visible to the loop thread.
std::atomic<int> childExitNoted{0};
static_assert(std::atomic<int>::is_always_lock_free);
int childPipe[2] = {-1, -1};  // the handler's wake-up bytes for the loop
Order *childOrder = nullptr;
int commandCount = 0;  // commands running with the handlers installed
struct sigaction chldBefore, pipeBefore;
Order *flushTimer = nullptr;

// Drops what a write buffer holds and leaves it empty and usable.
void emptyBuffer(OutBuffer *buffer) {
  outbufferFree(buffer);
  buffer->first = buffer->last = nullptr;
}

// The side whose record keeps the stream's command: the read side when the stream reads.
MultimediaStreamSide *commandSide(MultimediaStream *stream) {
  return stream->readSide->present ? stream->readSide : stream->writeSide;
}

void drainChildPipe(void *) {
  char bytes[64];
  while (read(childPipe[0], bytes, sizeof bytes) > 0) {
  }
  multimediaPollChildren();
}

void installHandlers() {
  if (commandCount++ > 0) return;
  if (childPipe[0] < 0 && pipe2(childPipe, O_CLOEXEC | O_NONBLOCK) != 0) childPipe[0] = childPipe[1] = -1;
  if (childPipe[0] >= 0) childOrder = ordersAddReader(childPipe[0], drainChildPipe, nullptr);
  struct sigaction action {};
  action.sa_handler = multimediaOnChildExit;
  action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, &chldBefore);
  // A sink that goes away must fail its own stream through EPIPE, not end the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &pipeBefore);
}

void removeHandlers() {
  if (commandCount == 0 || --commandCount > 0) return;
  sigaction(SIGCHLD, &chldBefore, nullptr);
  sigaction(SIGPIPE, &pipeBefore, nullptr);
  ordersCancel(childOrder);
  childOrder = nullptr;
}

// Collects the child without waiting: true when it has ended (exited or killed), with its code.
bool childEnded(pid_t pid, int *code) { return processPoll(pid, code) == 1; }

// Waits up to ms for the child to end, polling every few milliseconds.
bool childEndedWithin(pid_t pid, unsigned ms, int *code) {
  for (unsigned waited = 0;; waited += 5) {
    if (childEnded(pid, code)) return true;
    if (waited >= ms) return false;
    usleep(5000);
  }
}

// The exit text of a side's child: its log's contents when the log can be read.
const char *exitText(MultimediaStream *stream, MultimediaStreamSide *side, int code) {
  FILE *log = side->logFile[0] ? fopen(side->logFile, "re") : nullptr;
  if (!log) return strTempPrintf("Multimedia '%s' exited with code %d", stream->description, code);
  const char *text = processExitText(stream->description, code, log);
  fclose(log);
  return text;
}

// Records the end of a side's child on every stream in use that reaches it.
void recordChildExit(MultimediaStreamSide *side, int code, MultimediaStream *starting) {
  for (MultimediaStream *stream = multimediaStreams; stream; stream = stream->next)
    if (commandSide(stream) == side && (stream->users > 0 || stream == starting))
      multimediaSetError(stream, exitText(stream, side, code));
}

// Blank-padded decimal of a pid into a fixed slot; async-signal-safe.
void writePid(char *slot, size_t size, pid_t pid) {
  char digits[24];
  size_t n = 0;
  unsigned long value = static_cast<unsigned long>(pid);
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value && n < sizeof digits);
  size_t i = 0;
  while (n > 0 && i + 1 < size) slot[i++] = digits[--n];
  slot[i] = '\0';
}

void childFail(const char *what) {
  ssize_t ignored = write(2, what, strlen(what));
  ignored = write(2, "\n", 1);
  (void)ignored;
  _exit(1);
}

// The display the children reach (multimediaSetDisplayName); empty: the inherited DISPLAY.
std::string childDisplayName;

// The environment of a command, built before the fork: the inherited one, the engine's
// variables, the default settings and the stream's own pairs, later ones replacing earlier
// ones of the same name.
struct ChildEnvironment {
  std::vector<std::string> entries;
  size_t pidEntry = SIZE_MAX;  // an entry whose value the child fills with its pid
  std::vector<char *> pointers;

  void set(const char *name, const char *value) {
    std::string prefix = std::string(name) + "=";
    for (std::string &entry : entries)
      if (entry.compare(0, prefix.size(), prefix) == 0) {
        entry = prefix + value;
        return;
      }
    entries.push_back(prefix + value);
  }
  void setPairs(const char *list) {
    const char *cursor = list, *key, *value;
    while (multimediaNextPair(&cursor, &key, &value)) set(key, value);
  }
  char **finish() {
    for (std::string &entry : entries) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers.data();
  }
};

constexpr size_t kPidRoom = 24;

// Creates the FIFOs and the log file of a command side in a private directory (mode 0700;
// FIFOs and log 0600). NULL or the failure text.
const char *makeCommandFiles(MultimediaStream *stream, MultimediaStreamSide *side, bool reads, int *logFd) {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mmXXXXXX";
  if (pattern.size() + 8 >= sizeof side->directory || !mkdtemp(pattern.data()))
    return strTempPrintf("Can't create write pipe 1: %s", strerror(errno ? errno : ENAMETOOLONG));
  strCopy(side->directory, pattern.c_str(), sizeof side->directory);
  auto fifo = [&](char *name, const char *leaf, const char *failure) -> const char * {
    strCopy(name, (std::string(side->directory) + "/" + leaf).c_str(), kMultimediaPathSize);
    if (mkfifo(name, 0600) == 0) return nullptr;
    const char *text = strTempPrintf(failure, strerror(errno));
    name[0] = '\0';
    return text;
  };
  if (reads) {
    if (const char *error = fifo(side->fifo1, "mmR", "Can't create pipe for stdout: %s")) return error;
  } else {
    if (const char *error = fifo(side->fifo1, "mmW1", "Can't create write pipe 1: %s")) return error;
    if (side->pipes >= 2)
      if (const char *error = fifo(side->fifo2, "mmW2", "Can't create write pipe 2: %s")) return error;
  }
  strCopy(side->logFile, (std::string(side->directory) + "/mmL").c_str(), sizeof side->logFile);
  *logFd = open(side->logFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (*logFd < 0) {
    const char *text = strTempPrintf("freopen(%s) failed", side->logFile);
    side->logFile[0] = '\0';
    (void)stream;
    return text;
  }
  return nullptr;
}

void removeCommandFiles(MultimediaStreamSide *side) {
  for (char *name : {side->fifo1, side->fifo2, side->logFile}) {
    if (name[0]) unlink(name);
    name[0] = '\0';
  }
  if (side->directory[0]) rmdir(side->directory);
  side->directory[0] = '\0';
}

// Forks the child of a command side. The vectors are complete before the fork; the child only
// redirects, resets its signals, closes every other descriptor and execs.
pid_t forkCommand(MultimediaStream *stream, MultimediaStreamSide *side, bool reads, int logFd) {
  ChildEnvironment env;
  for (char **entry = environ; entry && *entry; entry++) env.entries.emplace_back(*entry);
  if (!childDisplayName.empty()) env.set("DISPLAY", childDisplayName.c_str());
  const char *target = logFileName();
  env.set("MWTlogTarget", target ? target : "");
  std::string pidName = reads ? "MWTreadPid" : "MWTwritePid";
  if (reads) {
    env.set("MWTreadPipe", side->fifo1);
  } else {
    env.set("MWTwritePipe", side->fifo1);
    env.set("MWTwritePipe2", side->fifo2);
  }
  env.set(pidName.c_str(), std::string(kPidRoom, ' ').c_str());
  if (const MultimediaProfile *defaults = multimediaFindProfile(kDefaultSettings)) env.setPairs(defaults->pairs);
  env.setPairs(stream->environment);
  std::string prefix = pidName + "=";
  for (size_t i = 0; i < env.entries.size(); i++)
    if (env.entries[i].compare(0, prefix.size(), prefix) == 0) env.pidEntry = i;
  char **envp = env.finish();
  char *pidSlot = env.pidEntry == SIZE_MAX ? nullptr : envp[env.pidEntry] + prefix.size();
  std::string text = "exec " + std::string(reads ? stream->readSide->command : side->command);
  if (strpbrk(text.c_str() + 5, ";&|\n")) text = text.substr(5);  // a list runs whole
  const char *argv[] = {"/bin/sh", "-c", text.c_str(), nullptr};
  const char *fifo = side->fifo1;

  pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid > 0) {
    // Set here as well as in the child, so that a stop right after the fork finds the group.
    setpgid(pid, pid);
    return pid;
  }
  // The child: async-signal-safe calls only.
  if (pidSlot) writePid(pidSlot, kPidRoom, getpid());
  // Its own process group: the stop's signals reach what a shell command started as well.
  setpgid(0, 0);
  if (dup2(logFd, 2) < 0) childFail("dup2 of the log failed");
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; signal++) sigaction(signal, &defaults, nullptr);
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
  // The FIFO ends stay blocking: a sink reading between frames must wait, not see EAGAIN.
  int end = open(fifo, reads ? O_WRONLY : O_RDONLY);
  if (end < 0) childFail("Can't open the command's pipe");
  if (dup2(end, reads ? 1 : 0) < 0) childFail("dup2 of the pipe failed");
  if (end > 2) close(end);
  close_range(3, ~0U, 0);
  execve(argv[0], const_cast<char **>(argv), envp);
  ssize_t ignored = write(2, "execve(/bin/sh) failed\n", 23);
  (void)ignored;
  _exit(127);
}

uint64_t monotonicUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

// Opens the parent's ends of the command's FIFOs while the child comes up, in a doubling wait;
// each round first looks whether the child has ended. NULL or the failure text (recorded).
const char *awaitCommandPipes(MultimediaStream *stream, MultimediaStreamSide *side, bool reads) {
  const char *lastError = "";
  // The whole wait is that of a wait doubling from 100 us until it passes the time-out; the
  // steps stop growing at kMaxStepUs, so that a child that comes up late (a loaded machine) is
  // met soon after, not up to its own start time later.
  constexpr uint64_t kMaxStepUs = 20000;
  uint64_t budgetUs = 0;
  for (uint64_t waitUs = 100;; waitUs *= 2) {
    budgetUs += waitUs;
    if (waitUs > multimediaStartTimeoutUs) break;
  }
  uint64_t startedUs = monotonicUs();
  for (uint64_t stepUs = 100;; stepUs = std::min(stepUs * 2, kMaxStepUs)) {
    usleep(static_cast<useconds_t>(stepUs));
    int code;
    if (childEnded(side->childPid, &code)) {
      side->childPid = 0;
      const char *text = exitText(stream, side, code);
      multimediaSetError(stream, text);
      return text;
    }
    bool open = true;
    auto openEnd = [&](const char *name, int *fd, int flags) -> const char * {
      if (*fd >= 0) return nullptr;
      int got = ::open(name, flags | O_NONBLOCK | O_CLOEXEC);
      if (got >= 0) {
        *fd = got;
        return nullptr;
      }
      int error = errno;
      open = false;
      lastError = strerror(error);
      if (error == ENXIO || error == EINTR) return nullptr;
      return strTempPrintf("Can't open shell cmd pipe '%s': %s", name, strerror(error));
    };
    const char *failure = nullptr;
    if (reads) {
      failure = openEnd(side->fifo1, &stream->readFd, O_RDONLY);
    } else {
      failure = openEnd(side->fifo1, &side->fifo1Fd, O_WRONLY);
      if (!failure && side->fifo2[0]) failure = openEnd(side->fifo2, &side->fifo2Fd, O_WRONLY);
    }
    if (failure) {
      multimediaSetError(stream, failure);
      return failure;
    }
    if (open) return nullptr;
    if (monotonicUs() - startedUs >= budgetUs) {
      const char *text = strTempPrintf("Timeout reached when executing: %s (%s)",
                                       reads ? stream->readSide->command : side->command, lastError);
      multimediaSetError(stream, text);
      return text;
    }
  }
}

// Starts the command of the stream's method. A write side whose command runs already (a shared
// sink) only takes its FIFO descriptor.
void startCommand(MultimediaStream *stream) {
  MultimediaStreamSide *side = commandSide(stream);
  bool reads = side == stream->readSide;
  if (!reads && side->fifo1[0] && side->fifo1Fd >= 0) {
    stream->writeBuffer.fd = stream->useSecondPipe && side->fifo2Fd >= 0 ? side->fifo2Fd : side->fifo1Fd;
    return;
  }
  int logFd = -1;
  if (const char *error = makeCommandFiles(stream, side, reads, &logFd)) {
    multimediaSetError(stream, error);
    if (logFd >= 0) close(logFd);
    removeCommandFiles(side);
    return;
  }
  installHandlers();
  side->childPid = forkCommand(stream, side, reads, logFd);
  close(logFd);
  if (side->childPid == 0) {
    multimediaSetError(stream, "Out of processes");
    multimediaStopCommand(stream);
    return;
  }
  if (awaitCommandPipes(stream, side, reads)) {
    multimediaStopCommand(stream);
    return;
  }
  if (!reads) stream->writeBuffer.fd = stream->useSecondPipe && side->fifo2Fd >= 0 ? side->fifo2Fd : side->fifo1Fd;
}

const char *openPath(MultimediaStream *stream, MultimediaStreamSide *side, int flags, const char *what, int *fd) {
  if (stream->audioChannels)
    *fd = ossaudioSeam.open(side->path, flags | O_NONBLOCK | O_CLOEXEC);
  else
    *fd = open(side->path, flags | O_NONBLOCK | O_CLOEXEC);
  if (*fd < 0) {
    (void)what;
    return strTempPrintf("Can't open '%s' for %s: %s", side->path, stream->description, strerror(errno));
  }
  if (stream->audioChannels)
    if (const char *error = multimediaSetupAudio(stream)) {
      close(*fd);
      *fd = -1;
      return error;
    }
  return nullptr;
}

void startPath(MultimediaStream *stream, MultimediaStreamSide *read, MultimediaStreamSide *write) {
  if (read)
    if (const char *error = openPath(stream, read, O_RDONLY, "read", &stream->readFd)) {
      multimediaSetError(stream, error);
      return;
    }
  if (!write) return;
  // A sharer of a running sink writes through a duplicate of its descriptor: one file offset,
  // so the streams append to each other instead of overwriting each other.
  if (MultimediaStream *running = startedSharer(stream)) {
    stream->writeBuffer.fd = fcntl(running->writeBuffer.fd, F_DUPFD_CLOEXEC, 3);
    if (stream->writeBuffer.fd < 0)
      multimediaSetError(stream, strTempPrintf("Can't open '%s' for %s: %s", write->path, stream->description,
                                               strerror(errno)));
    return;
  }
  if (const char *error = openPath(stream, write, O_WRONLY, "write", &stream->writeBuffer.fd))
    multimediaSetError(stream, error);
}

constexpr uint32_t kStreamTaskFlags = kThreadTaskThreaded | kThreadTaskOrdered | kThreadTaskDeliveryLock |
                                      kThreadTaskPriority1;

void armFlushTimer();

}  // namespace

void multimediaOnChildExit(int) {
  int saved = errno;
  childExitNoted = 1;
  if (childPipe[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(childPipe[1], &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

void multimediaPollChildren() {
  childExitNoted = 0;
  // Signals coalesce: every stream's child is looked at, not one per signal.
  for (MultimediaStream *stream = multimediaStreams; stream; stream = stream->next) {
    MultimediaStreamSide *side = commandSide(stream);
    int code;
    if (!side || side->childPid <= 0 || !childEnded(side->childPid, &code)) continue;
    side->childPid = 0;
    // A write sink that ended cleanly has only stopped reading: the next write meets EPIPE and
    // names it ("Broken pipe"); an error exit, or a source's end, fails the stream now.
    if (code != 0 || side == stream->readSide) recordChildExit(side, code, nullptr);
  }
}

void multimediaOnBrokenPipe(MultimediaStream *stream) {
  multimediaSetFirstError(stream, strTempPrintf("Broken pipe in %s stream", stream->description));
}

int multimediaCommandCount() { return commandCount; }

const char *multimediaSetupAudio(MultimediaStream *stream) {
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  int fd = read ? stream->readFd : stream->writeBuffer.fd;
  if (read) {
    if (int mask = ossaudioSourceMask(read->recordingSources))
      if (ossaudioSeam.ioctl(fd, SOUND_MIXER_WRITE_RECSRC, &mask) < 0)
        return strTempPrintf("Can't set OSS ports for %s: %s", stream->description, strerror(errno));
    if (read->recordingLevel != 127) {
      int level = ossaudioLevel(read->recordingLevel);
      if (ossaudioSeam.ioctl(fd, SOUND_MIXER_WRITE_RECLEV, &level) < 0)
        logProblem("Can't set audio input volume", __FILE__, __LINE__);
    }
  }
  int format = ossaudioFormat(stream->contentType);
  if (format < 0) return strTempPrintf("Unsupported OSS format %s for %s", stream->contentType, stream->description);
  if (ossaudioSeam.ioctl(fd, SNDCTL_DSP_SETFMT, &format) < 0)
    return strTempPrintf("Can't set OSS format for %s: %s", stream->description, strerror(errno));
  int channels = stream->audioChannels;
  if (ossaudioSeam.ioctl(fd, SNDCTL_DSP_CHANNELS, &channels) < 0)
    return strTempPrintf("Can't set OSS audio channels for %s: %s", stream->description, strerror(errno));
  if (stream->audioSampleRate) {
    int rate = static_cast<int>(stream->audioSampleRate > INT32_MAX ? INT32_MAX : stream->audioSampleRate);
    int asked = rate;
    if (ossaudioSeam.ioctl(fd, SNDCTL_DSP_SPEED, &rate) < 0)
      return strTempPrintf("Can't set OSS sample rate for %s: %s", stream->description, strerror(errno));
    if (rate != asked) logProblem(strTempPrintf("Exact audio sample rate is %d", rate), __FILE__, __LINE__);
  }
  return nullptr;
}

void multimediaSetDisplayName(const char *name) {
  try {
    childDisplayName = name ? name : "";
  } catch (const std::bad_alloc &) {
    childDisplayName.clear();
    LOG_OUT_OF_MEMORY();
  }
}

const char *multimediaStartStream(MultimediaStream *stream) {
  if (childExitNoted) multimediaPollChildren();
  if (failedNow(stream)) return multimediaStreamError(stream);
  if (stream->users > 0) {
    stream->users++;
    return nullptr;
  }
  if (!conversionStart(stream)) return multimediaStreamError(stream);
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  MultimediaStreamSide *write = stream->writeSide;
  uint8_t method = read ? read->method : write ? write->method : kMultimediaMethodNone;
  if (method == kMultimediaMethodCommand)
    startCommand(stream);
  else if (method == kMultimediaMethodPath)
    startPath(stream, read, write);
  else if (method != kMultimediaMethodOff)
    multimediaSetError(stream, "Unknown method");
  if (!failedNow(stream)) {
    if (read && read->threaded)
      if (const char *error = threadlibCreateTask(threadlibDefaultPool, "mmReadStream", kStreamTaskFlags, &read->readTask))
        multimediaSetError(stream, error);
    if (write && write->threaded && !failedNow(stream))
      if (const char *error = threadlibCreateTask(threadlibDefaultPool, "mmWriteStream", kStreamTaskFlags, &stream->writeTask))
        multimediaSetError(stream, error);
    // Buffered writes never block inside a flush.
    if (write && write->buffered && stream->writeBuffer.fd >= 0) fdSetNonBlocking(stream->writeBuffer.fd);
  }
  if (failedNow(stream)) {
    const char *text = multimediaStreamError(stream);
    if (read && read->readTask) threadlibFreeResults(threadlibDestroyTask(read->readTask));
    if (read) read->readTask = nullptr;
    if (method == kMultimediaMethodPath) {
      if (stream->readFd >= 0) close(stream->readFd);
      if (stream->writeBuffer.fd >= 0) close(stream->writeBuffer.fd);
    } else if (method == kMultimediaMethodCommand && commandSide(stream)->childPid > 0 &&
               !(write && write->started)) {
      multimediaStopCommand(stream);
    }
    stream->readFd = stream->writeBuffer.fd = -1;
    conversionStop(stream, true, true);
    return text;
  }
  stream->users++;
  if (read) read->started++;
  if (write) write->started++;
  return nullptr;
}

// ----- writing -----

namespace {

// The side's queue that a buffered stream writes: one per FIFO of the sink.
OutBuffer *bufferedQueue(const MultimediaStream *stream) {
  return &stream->writeSide->queue[stream->useSecondPipe ? 1 : 0];
}

// A stream, other than skip, that still writes the queue: started, its descriptor open, not failed.
MultimediaStream *queueWriter(MultimediaStreamSide *side, const OutBuffer *queue, const MultimediaStream *skip) {
  for (MultimediaStream *other = multimediaStreams; other; other = other->next)
    if (other != skip && other->writeSide == side && bufferedQueue(other) == queue && other->users > 0 &&
        other->writeBuffer.fd >= 0 && !failedNow(other))
      return other;
  return nullptr;
}

// One non-blocking flush of a side's queue through the writer's descriptor, under the side's
// write lock. A write error fails every stream that writes the queue (they share the sink)
// and drops what it holds.
int flushQueue(OutBuffer *queue, MultimediaStream *writer) {
  MultimediaStreamSide *side = writer->writeSide;
  pthread_mutex_lock(&side->writeLock);
  queue->fd = writer->writeBuffer.fd;
  errno = 0;
  int result = outbufferFlush(queue);
  int error = errno ? errno : EIO;
  pthread_mutex_unlock(&side->writeLock);
  if (result != kOutbufferError) return result;
  for (MultimediaStream *stream = multimediaStreams; stream; stream = stream->next) {
    if (stream->writeSide != side || bufferedQueue(stream) != queue || (stream != writer && stream->users == 0)) continue;
    if (error == EPIPE)
      multimediaOnBrokenPipe(stream);
    else
      multimediaSetFirstError(stream, strTempPrintf("Writing to %s failed: %s", stream->description, strerror(error)));
  }
  emptyBuffer(queue);
  return result;
}

}  // namespace

void multimediaWriteFrameNow(MultimediaFrame *frame) {
  if (!frame) return;
  MultimediaStream *stream = frame->stream;
  unsigned repeat = frame->repeatCount ? frame->repeatCount : 1;
  if (stream && !failedNow(stream) && stream->writeSide) {
    pthread_mutex_lock(&stream->writeSide->writeLock);
    for (unsigned copy = 0; copy < repeat; copy++) {
      const uint8_t *data;
      uint32_t length;
      multimediaFrameCopy(frame, copy, &data, &length);
      if (int error = fdWriteAllErrno(stream->writeBuffer.fd, data, length)) {
        if (error == EPIPE)
          multimediaOnBrokenPipe(stream);
        else
          multimediaSetFirstError(stream, strTempPrintf("Writing to %s failed: %s", stream->description, strerror(error)));
        break;
      }
    }
    pthread_mutex_unlock(&stream->writeSide->writeLock);
  }
  multimediaReleaseFrame(frame);
}

namespace {

// Writes the frames of a result set in order; NULL results (failed conversions) are skipped.
void deliverResults(ThreadResultSet *set) {
  if (!set) return;
  for (uint32_t i = 0; i < set->count; i++)
    if (set->results[i]) multimediaWriteFrameNow(static_cast<MultimediaFrame *>(set->results[i]));
  threadlibFreeResults(set);
}

}  // namespace

const char *multimediaWriteJob(void *argument, ThreadJob *job) {
  MultimediaFrame *frame = static_cast<MultimediaFrame *>(argument);
  MultimediaStream *stream = frame->stream;
  // A failed stream writes nothing more: its frames are released unconverted.
  MultimediaFrame *converted = nullptr;
  if (failedNow(stream))
    multimediaReleaseFrame(frame);
  else
    converted = conversionConvertForWrite(stream, frame);
  uint32_t state = 0;
  if (const char *error = threadlibPutResult(job, converted, &state)) {
    multimediaSetFirstError(stream, error);
    multimediaReleaseFrame(converted);
  }
  for (;;) {
    const char *error = nullptr;
    ThreadResultSet *set = threadlibTryTakeResults(job->task, &error);
    if (error) multimediaSetFirstError(stream, OUT_OF_MEMORY_TEXT());
    if (!set) break;
    deliverResults(set);
  }
  return nullptr;
}

int multimediaFlushBuffered(int count) {
  bool pending = false;
  std::vector<OutBuffer *> flushed;  // each shared queue once per pass
  for (MultimediaStream *stream = multimediaStreams; stream; stream = stream->next) {
    MultimediaStreamSide *write = stream->writeSide;
    if (!write || !write->buffered) continue;
    OutBuffer *queue = bufferedQueue(stream);
    if (!queue->first || std::find(flushed.begin(), flushed.end(), queue) != flushed.end()) continue;
    flushed.push_back(queue);
    MultimediaStream *writer = queueWriter(write, queue, nullptr);
    if (!writer) {
      emptyBuffer(queue);  // failed streams write nothing more
      continue;
    }
    int result = flushQueue(queue, writer);
    if (result == kOutbufferDone) {
      count--;
    } else if (result == kOutbufferPending) {
      pending = true;
      if (count >= -99 && outbufferPending(queue) > kMultimediaBufferedLimit) count++;
    } else if (result != kOutbufferError) {
      LOG_UNE();
    }
  }
  if (pending) armFlushTimer();
  return count;
}

namespace {

void flushTimerFired(void *) {
  flushTimer = nullptr;
  multimediaFlushBuffered(0);
}

void armFlushTimer() {
  if (!flushTimer) flushTimer = ordersAddTimer(kMultimediaFlushIntervalMs, flushTimerFired, nullptr);
}

bool writing(const MultimediaStream *stream) {
  const MultimediaStreamSide *write = stream->writeSide;
  return write && write->started && stream->users > 0 && stream->writeBuffer.fd >= 0 && !failedNow(stream) &&
         write->method != kMultimediaMethodOff;
}

}  // namespace

void multimediaWriteFrame(MultimediaFrame *frame, unsigned repeat) {
  if (!frame || !frame->stream) return;
  if (childExitNoted) multimediaPollChildren();
  MultimediaStream *stream = frame->stream;
  if (!writing(stream)) return;
  MultimediaStreamSide *write = stream->writeSide;
  if (write->method != kMultimediaMethodPath && write->method != kMultimediaMethodCommand) LOG_UNE();
  if (repeat == 0) repeat = 1;
  if (repeat > UINT16_MAX) repeat = UINT16_MAX;
  multimediaMarkFirstFrame(frame);
  atomicAdd16(&frame->referenceCount, 1);
  frame->repeatCount = static_cast<uint16_t>(repeat);
  if (write->threaded && stream->writeTask) {
    if (const char *error = threadlibTaskAddJob(stream->writeTask, multimediaWriteJob, frame)) {
      multimediaSetFirstError(stream, error);
      multimediaReleaseFrame(frame);
    }
    return;
  }
  MultimediaFrame *converted = conversionConvertForWrite(stream, frame);
  if (!converted) return;
  if (!write->buffered) {
    multimediaWriteFrameNow(converted);
    return;
  }
  for (unsigned copy = 0; copy < repeat && !failedNow(stream); copy++) {
    const uint8_t *data;
    uint32_t length;
    multimediaFrameCopy(converted, copy, &data, &length);
    if (!outbufferPut(data, length, bufferedQueue(stream))) multimediaSetFirstError(stream, OUT_OF_MEMORY_TEXT());
  }
  multimediaReleaseFrame(converted);
  multimediaFlushBuffered(0);
}

bool multimediaStreamReady(MultimediaStream *stream) {
  if (!stream || !writing(stream)) return true;
  MultimediaStreamSide *write = stream->writeSide;
  if (write->threaded && stream->writeTask) return !threadlibTaskBusy(stream->writeTask);
  if (write->buffered) return outbufferPending(bufferedQueue(stream)) <= kMultimediaBufferedLimit;
  return fdIsWritable(stream->writeBuffer.fd) > 0;
}

const char *multimediaRead(MultimediaStream *stream, const uint8_t **data, long *length) {
  MultimediaStreamSide *read = stream->readSide;
  *data = read->readBuffer;
  *length = 0;
  if (read->method == kMultimediaMethodCommand && failedNow(stream)) return multimediaStreamError(stream);
  if (read->method != kMultimediaMethodPath && read->method != kMultimediaMethodCommand) LOG_UNE();
  if (stream->readFd < 0 || !read->readBuffer) return nullptr;
  ssize_t got = ::read(stream->readFd, read->readBuffer, read->readSize);
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) got = 0;
  if (got < 0) multimediaSetError(stream, strTempPrintf("Can't read from %s: %s", stream->description, strerror(errno)));
  *length = got;
  return multimediaStreamError(stream);
}

// ----- closing -----

namespace {

// Drains the queue of a buffered stream at its last close (other streams' frames in it too):
// waits for writability instead of spinning, and gives up after fdWriteAllWaitMs without
// progress. A failed stream leaves the queue to the streams still writing it, if any.
void drainBuffered(MultimediaStream *stream) {
  OutBuffer *queue = bufferedQueue(stream);
  uint64_t lastPending = outbufferPending(queue);
  uint64_t idleMs = 0;
  while (queue->first && !failedNow(stream) && stream->writeBuffer.fd >= 0) {
    int result = flushQueue(queue, stream);
    if (result != kOutbufferPending) break;
    uint64_t pending = outbufferPending(queue);
    if (pending < lastPending) idleMs = 0;
    lastPending = pending;
    if (idleMs >= fdWriteAllWaitMs) {
      multimediaSetFirstError(stream, strTempPrintf("Writing to %s failed: %s", stream->description, strerror(ETIMEDOUT)));
      break;
    }
    if (!fdWaitWritable(stream->writeBuffer.fd, 100)) idleMs += 100;
  }
  if (!queueWriter(stream->writeSide, queue, stream)) emptyBuffer(queue);
}

// Signals the child's process group (what a shell command started too), else the child alone.
void signalChild(pid_t pid, int signal) {
  if (kill(-pid, signal) != 0) kill(pid, signal);
}

// Ends the child of a side: SIGTERM first when asked, else after multimediaStopWaitMs; SIGKILL
// after multimediaKillWaitMs more; then reaped. Returns its exit code, -1 when it was killed
// by us or had been collected already.
int endChild(MultimediaStreamSide *side, bool terminateFirst) {
  pid_t pid = side->childPid;
  if (pid <= 0) return -1;
  side->childPid = 0;
  int code = -1;
  if (terminateFirst) signalChild(pid, SIGTERM);
  if (childEndedWithin(pid, multimediaStopWaitMs, &code)) return terminateFirst ? -1 : code;
  signalChild(pid, SIGTERM);
  if (childEndedWithin(pid, multimediaKillWaitMs, &code)) return -1;
  signalChild(pid, SIGKILL);
  int raw;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  return -1;
}

}  // namespace

void multimediaStopCommand(MultimediaStream *stream) {
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  MultimediaStreamSide *write = stream->writeSide;
  if (read && read->started == 0) {
    bool ran = read->childPid > 0;
    if (ran) signalChild(read->childPid, SIGTERM);
    for (int rounds = 0; rounds < 1000 && stream->readFd >= 0; rounds++) {
      const uint8_t *data;
      long length;
      if (multimediaRead(stream, &data, &length) || length <= 0) break;
    }
    if (stream->readFd >= 0) close(stream->readFd);
    stream->readFd = -1;
    if (ran) endChild(read, true);
    bool hadFiles = read->directory[0] != '\0';
    removeCommandFiles(read);
    if (ran || hadFiles) removeHandlers();
    return;
  }
  if (write && write->started == 0) {
    for (int *fd : {&write->fifo1Fd, &write->fifo2Fd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    stream->writeBuffer.fd = -1;
    bool ran = write->childPid > 0;
    int code = endChild(write, false);
    // A sink that ended with an error after reading everything fails the stream's close.
    if (code > 0) multimediaSetFirstError(stream, exitText(stream, write, code));
    bool hadFiles = write->directory[0] != '\0';
    removeCommandFiles(write);
    if (ran || hadFiles) removeHandlers();
  }
}

const char *multimediaCloseStream(MultimediaStream *stream) {
  if (!stream || stream->users == 0) return nullptr;
  if (childExitNoted) multimediaPollChildren();
  if (--stream->users > 0) return nullptr;
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  MultimediaStreamSide *write = stream->writeSide;
  if (read) {
    if (read->started > 0 && --read->started > 0) return nullptr;
    if (read->readTask) {
      ThreadResultSet *left = threadlibDestroyTask(read->readTask);
      read->readTask = nullptr;
      if (left && left->count) logProblem("WIP", __FILE__, __LINE__);
      threadlibFreeResults(left);
    }
  }
  bool sinkStillStarted = false;
  if (write) {
    if (write->started > 0) write->started--;
    sinkStillStarted = write->started > 0;
    // Every stream drains its own frames, whoever else shares the sink.
    if (stream->writeTask) {
      ThreadResultSet *left = threadlibDestroyTask(stream->writeTask);
      stream->writeTask = nullptr;
      deliverResults(left);
    }
    if (write->buffered) drainBuffered(stream);
  }
  conversionStop(stream, read != nullptr, write != nullptr);
  uint8_t method = read ? read->method : write ? write->method : kMultimediaMethodNone;
  if (method == kMultimediaMethodCommand) {
    if (read || !sinkStillStarted) multimediaStopCommand(stream);
    stream->writeBuffer.fd = -1;  // a shared FIFO's descriptor stays with its side
  } else if (method == kMultimediaMethodPath) {
    if (read && read->recordingSources && strstr(read->recordingSources, "mixer") && stream->readFd >= 0 &&
        stream->readFd <= 9998) {
      int mask = 0;
      ossaudioSeam.ioctl(stream->readFd, SOUND_MIXER_WRITE_RECSRC, &mask);
    }
    // Streams sharing a path sink each opened it themselves: each closes its own descriptor.
    for (int *fd : {&stream->readFd, &stream->writeBuffer.fd}) {
      if (*fd > 2 && close(*fd) != 0)
        multimediaSetError(stream, strTempPrintf("Can't close multimedia stream: %s", strerror(errno)));
      *fd = -1;
    }
  } else if (method != kMultimediaMethodOff) {
    LOG_UNE();
  }
  return multimediaStreamError(stream);
}

void multimediaFreeStream(MultimediaStream *stream) {
  if (!stream) return;
  while (stream->users > 0) multimediaCloseStream(stream);
  unlinkStream(stream);
  freeRecord(stream);
}

// ----- queries -----

const char *multimediaStreamName(const MultimediaStream *stream) { return stream->specification; }

const char *multimediaStreamValue(const MultimediaStream *stream, const char *key) {
  const char *cursor = stream->environment, *name, *value;
  while (multimediaNextPair(&cursor, &name, &value))
    if (sameText(name, key)) return value;
  return nullptr;
}

bool multimediaStreamHasValue(const MultimediaStream *stream, const char *key, const char *wanted) {
  const char *found = nullptr, *cursor = stream->environment, *name, *value;
  while (multimediaNextPair(&cursor, &name, &value))
    if (sameText(name, key)) found = value;
  return found && sameText(found, wanted);
}

char *multimediaStreamSettingsText(const MultimediaStream *stream) {
  constexpr size_t kSize = 4096;
  char *text = static_cast<char *>(calloc(1, kSize));
  if (!text) return nullptr;
  auto quoted = [](const char *word) {
    return !*word || strpbrk(word, " \t\n\r\f\v") ? std::string("\"") + word + "\"" : std::string(word);
  };
  std::string all;
  const char *cursor = stream->environment, *name, *value;
  while (multimediaNextPair(&cursor, &name, &value)) {
    std::string word = quoted(name) + (*value ? "=" + quoted(value) : std::string()) + " ";
    if (all.size() + word.size() >= kSize) break;  // no pair is cut
    all += word;
  }
  memcpy(text, all.data(), all.size());
  return text;
}

int multimediaStreamFd(const MultimediaStream *stream) {
  if (stream->readSide && stream->readSide->present) return stream->readFd;
  if (stream->writeSide) return stream->writeBuffer.fd;
  LOG_UNE();
  return 0;
}
