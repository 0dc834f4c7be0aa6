// Frames and stream failure texts.
#include "conversions/multimedia.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/fd.h"
#include "support/logging.h"
#include "support/strtemp.h"

namespace {

// Failure texts are written by pool workers and read by the event loop.
std::mutex streamErrorMutex;

void releaseNothing(void *) {}

}  // namespace

void multimediaSetError(MultimediaStream *stream, const char *text) {
  if (!text) return;
  logStep("MULTIMEDIA: %s", text);
  if (!stream) return;
  std::lock_guard<std::mutex> guard(streamErrorMutex);
  snprintf(stream->failureText, sizeof stream->failureText, "%s", text);
  stream->failed = 1;
}

const char *multimediaStreamError(MultimediaStream *stream) {
  if (!stream) return nullptr;
  std::lock_guard<std::mutex> guard(streamErrorMutex);
  return stream->failed ? strTempDup(stream->failureText) : nullptr;
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
#include <strings.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/host.h"
#include "support/configfile.h"
#include "support/strings.h"

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

const char *multimediaStartStream(MultimediaStream *stream) {
  if (stream->failed) return multimediaStreamError(stream);
  if (stream->users > 0) {
    stream->users++;
    return nullptr;
  }
  if (!conversionStart(stream)) return multimediaStreamError(stream);
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  MultimediaStreamSide *write = stream->writeSide;
  uint8_t method = read ? read->method : write ? write->method : kMultimediaMethodNone;
  if (method == kMultimediaMethodCommand) {
    multimediaSetError(stream, strTempPrintf("Multimedia commands are not available yet (%s)", stream->description));
  } else if (method == kMultimediaMethodPath) {
    if (read) {
      stream->readFd = open(read->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (stream->readFd < 0)
        multimediaSetError(stream, strTempPrintf("Can't open '%s' for %s: %s", read->path, stream->description,
                                                 strerror(errno)));
    }
    if (write && !stream->failed) {
      // A sharer of a running sink writes through a duplicate of its descriptor: one file
      // offset, so the streams append to each other instead of overwriting each other.
      if (MultimediaStream *running = startedSharer(stream))
        stream->writeBuffer.fd = fcntl(running->writeBuffer.fd, F_DUPFD_CLOEXEC, 3);
      else
        stream->writeBuffer.fd = open(write->path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (stream->writeBuffer.fd < 0)
        multimediaSetError(stream, strTempPrintf("Can't open '%s' for %s: %s", write->path, stream->description,
                                                 strerror(errno)));
    }
  } else if (method != kMultimediaMethodOff) {
    multimediaSetError(stream, "Unknown method");
  }
  if (stream->failed) {
    if (stream->readFd >= 0) close(stream->readFd);
    if (stream->writeBuffer.fd >= 0) close(stream->writeBuffer.fd);
    stream->readFd = stream->writeBuffer.fd = -1;
    conversionStop(stream, true, true);
    return multimediaStreamError(stream);
  }
  stream->users++;
  if (read) read->started++;
  if (write) write->started++;
  return nullptr;
}

void multimediaWriteFrame(MultimediaFrame *frame, unsigned repeat) {
  if (!frame || !frame->stream) return;
  MultimediaStream *stream = frame->stream;
  MultimediaStreamSide *write = stream->writeSide;
  // A stream opened without a write side, or never started, has nothing to write to.
  if (!write || !write->started || stream->users == 0 || stream->writeBuffer.fd < 0) return;
  if (write->method == kMultimediaMethodOff) return;
  if (write->method != kMultimediaMethodPath && write->method != kMultimediaMethodCommand) LOG_UNE();
  atomicAdd16(&frame->referenceCount, 1);
  frame->repeatCount = static_cast<uint16_t>(repeat);
  MultimediaFrame *converted = conversionConvertForWrite(stream, frame);
  if (!converted) return;
  for (unsigned copy = 0; copy < repeat; copy++) {
    const uint8_t *data;
    uint32_t length;
    multimediaFrameCopy(converted, copy, &data, &length);
    if (const char *error = fdWriteAll(stream->writeBuffer.fd, data, length)) {
      if (!stream->failed) multimediaSetError(stream, strTempPrintf("Writing to %s failed: %s", stream->description, error));
      break;
    }
  }
  multimediaReleaseFrame(converted);
}

const char *multimediaCloseStream(MultimediaStream *stream) {
  if (!stream || stream->users == 0) return nullptr;
  if (--stream->users > 0) return nullptr;
  MultimediaStreamSide *read = stream->readSide->present ? stream->readSide : nullptr;
  MultimediaStreamSide *write = stream->writeSide;
  if (read && read->started > 0 && --read->started > 0) return nullptr;
  if (write && write->started > 0) write->started--;
  conversionStop(stream, read != nullptr, write != nullptr);
  uint8_t method = read ? read->method : write ? write->method : kMultimediaMethodNone;
  // Streams sharing a path sink each opened it themselves: each closes its own descriptor.
  if (method == kMultimediaMethodPath) {
    for (int *fd : {&stream->readFd, &stream->writeBuffer.fd}) {
      if (*fd > 2 && close(*fd) != 0)
        multimediaSetError(stream, strTempPrintf("Can't close multimedia stream: %s", strerror(errno)));
      *fd = -1;
    }
  } else if (method != kMultimediaMethodCommand && method != kMultimediaMethodOff) {
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
