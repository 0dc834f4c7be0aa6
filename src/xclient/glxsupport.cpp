// The GL capability record: defaults, copies, the log line, extension-string editing and the
// intersection over heads; the GL version of a GLX version.
#include "xclient/glxsupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/logging.h"
#include "support/numbers.h"
#include "support/strtemp.h"
#include "support/wirewords.h"

void glxsupportDefaultCaps(GlCapabilities *caps) {
  memset(caps, 0, sizeof *caps);  // not direct, every text empty
  caps->glxVersion = 64;          // 1.0
  caps->viewportWidth = 16;
  caps->viewportHeight = 16;
  caps->textureUnits = 1;
  caps->textureLevels = 6;
  caps->textureWidth = 128;
  caps->textureHeight = 128;
  caps->lightSources = 8;
  caps->clipPlanes = 6;
  caps->drawBuffers = 1;
  caps->colorAttachments = 0;
}

int32_t glxsupportSetTextureLevels(GlCapabilities *caps) {
  // A width from a reply may be anything; a negative one must not be read as a huge unsigned.
  int32_t width = caps->textureWidth;
  caps->textureLevels = width <= 1 ? 0 : mathFloorLog2(static_cast<uint64_t>(width));
  return caps->textureLevels;
}

void glxsupportCopyCaps(const GlCapabilities *source, GlCapabilities *destination) {
  if (source && destination && source != destination) memcpy(destination, source, sizeof *destination);
}

namespace {

// Words are separated by white space; a word ends at white space or the terminator.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The place of the first whole word equal to `name` in text, or NULL.
char *findWord(const char *text, std::string_view name) {
  if (name.empty()) return nullptr;
  const char *p = text;
  while (*p) {
    while (isBlank(*p)) p++;
    const char *start = p;
    while (*p && !isBlank(*p)) p++;
    if (size_t(p - start) == name.size() && memcmp(start, name.data(), name.size()) == 0)
      return const_cast<char *>(start);
  }
  return nullptr;
}

void addWord(const char *name, char *field, size_t capacity) {
  if (!name || !*name || findWord(field, name)) return;
  size_t used = strnlen(field, capacity - 1);
  size_t length = strlen(name);
  bool blank = used > 0 && !isBlank(field[used - 1]);
  // A cut name would announce an extension that does not exist.
  if (used + (blank ? 1 : 0) + length > capacity - 1) return;
  if (blank) field[used++] = ' ';
  memcpy(field + used, name, length + 1);
}

// Removes from `mine` every word that `theirs` lacks, front to back. Words are compared whole
// whatever their length.
void keepCommonWords(char *mine, const char *theirs) {
  char *p = mine;
  while (*p) {
    while (isBlank(*p)) p++;
    char *start = p;
    while (*p && !isBlank(*p)) p++;
    if (start == p) break;
    std::string_view word(start, size_t(p - start));
    if (findWord(theirs, word)) continue;
    if (*p == '\0') {
      *start = '\0';
      break;
    }
    memmove(start, p + 1, strlen(p + 1) + 1);  // the word and the blank after it
    p = start;
  }
}

const char *plural(int32_t n, const char *one, const char *more) { return n == 1 ? one : more; }

int countWords(const char *text) {
  int blanks = 0;
  for (const char *p = text; *p; p++) blanks += *p == ' ';
  return blanks + 1;
}

template <typename T>
T smaller(T a, T b) {
  return a < b ? a : b;
}

}  // namespace

const char *glxsupportDescribeCaps(const GlCapabilities *c) {
  constexpr size_t kSize = 1024;
  char *text = strTempAlloc(kSize);
  if (!text) return "";
  snprintf(text, kSize,
           "OpenGL %s by %s (%d exts, %s), %s, shader %s, max viewport %dx%d, %u %s (%u levels, %ux%u max), %d %s, "
           "%d %s, %d %s, %d %s, GLX %u.%u (%d exts)",
           c->glVersion, c->vendor, countWords(c->glExtensions),
           c->direct ? "direct rendering" : "indirect rendering", c->renderer, c->shadingLanguage,
           c->viewportWidth, c->viewportHeight, unsigned(c->textureUnits),
           plural(c->textureUnits, "texture unit", "texture units"), unsigned(c->textureLevels),
           unsigned(c->textureWidth), unsigned(c->textureHeight), c->lightSources,
           plural(c->lightSources, "light source", "light sources"), c->clipPlanes,
           plural(c->clipPlanes, "clip plane", "clip planes"), c->drawBuffers,
           plural(c->drawBuffers, "draw buffer", "draw buffers"), c->colorAttachments,
           plural(c->colorAttachments, "color attachment", "color attachments"), c->glxVersion / 64,
           c->glxVersion % 64, countWords(c->glxExtensions));
  return text;
}

bool glxsupportHasExtension(const char *name, const GlCapabilities *caps) {
  return name && findWord(caps->glExtensions, name);
}
bool glxsupportHasGlxExtension(const char *name, const GlCapabilities *caps) {
  return name && findWord(caps->glxExtensions, name);
}
bool glxsupportHasWord(const char *list, const char *name) { return list && name && findWord(list, name); }

void glxsupportAddExtension(const char *name, GlCapabilities *caps) {
  addWord(name, caps->glExtensions, sizeof caps->glExtensions);
}
void glxsupportAddGlxExtension(const char *name, GlCapabilities *caps) {
  addWord(name, caps->glxExtensions, sizeof caps->glxExtensions);
}

void glxsupportRemoveExtension(const char *name, char *string) {
  if (!name || !string) return;
  size_t length = strlen(name);
  char *at = findWord(string, std::string_view(name, length));
  if (!at) return;
  if (at[length] == '\0') {
    *at = '\0';
    return;
  }
  memmove(at, at + length + 1, strlen(at + length + 1) + 1);
}

const char *glxsupportNextWord(const char **cursor) {
  constexpr size_t kWordLimit = 1024;
  static char word[kWordLimit + 1];
  if (!cursor || !*cursor) return nullptr;
  const char *p = *cursor;
  while (isBlank(*p)) p++;
  size_t n = 0;
  while (p[n] && p[n] != ' ' && n < kWordLimit) n++;
  memcpy(word, p, n);
  word[n] = '\0';
  p += n;
  while (*p && *p != ' ') p++;  // the rest of a word beyond the limit
  if (*p == ' ') p++;
  *cursor = p;
  return n ? word : nullptr;
}

const char *glxsupportIntersectCaps(const GlCapabilities *other, GlCapabilities *caps) {
  caps->glxVersion = smaller(caps->glxVersion, other->glxVersion);
  if (const char *value = getenv("glVersion")) {
    logStep("Setting glVersion to %s by env variable...", value);
    snprintf(caps->glVersion, sizeof caps->glVersion, "%s", value);
  }
  caps->viewportWidth = smaller(caps->viewportWidth, other->viewportWidth);
  caps->viewportHeight = smaller(caps->viewportHeight, other->viewportHeight);
  if (const char *value = getenv("glTextureUnits")) {
    caps->textureUnits = int32_t(strtol(value, nullptr, 10));
    logStep("Setting glTextureUnits to %d by env variable...", caps->textureUnits);
  } else {
    caps->textureUnits = smaller(caps->textureUnits, other->textureUnits);
  }
  if (const char *value = getenv("glTextureLevels")) {
    caps->textureLevels = int32_t(strtol(value, nullptr, 10));
    logStep("Setting glTextureLevels to %d by env variable...", caps->textureLevels);
  } else {
    caps->textureLevels = smaller(caps->textureLevels, other->textureLevels);
  }
  caps->textureWidth = smaller(caps->textureWidth, other->textureWidth);
  caps->textureHeight = smaller(caps->textureHeight, other->textureHeight);
  caps->lightSources = smaller(caps->lightSources, other->lightSources);
  caps->clipPlanes = smaller(caps->clipPlanes, other->clipPlanes);
  caps->drawBuffers = smaller(caps->drawBuffers, other->drawBuffers);
  caps->colorAttachments = smaller(caps->colorAttachments, other->colorAttachments);
  if (const char *value = getenv("glExtensions")) {
    logStep("Setting glExtensions to %s by env variable...", value);
    snprintf(caps->glExtensions, sizeof caps->glExtensions, "%s", value);
  } else {
    keepCommonWords(caps->glExtensions, other->glExtensions);
  }
  keepCommonWords(caps->glxExtensions, other->glxExtensions);
  return nullptr;
}

uint32_t glxsupportGlxVersion(uint32_t glxVersion) {
  switch (glxVersion) {
    case 64:
    case 65: return 64;
    case 66: return 65;
    case 67: return 66;
    case 68: return 67;
    default:
      LOG(logChannelWarning, "GLX: Unknown GLX version %u.%u - please advise", glxVersion / 64, glxVersion % 64);
      return 67;
  }
}

namespace {
// A count field of the command at the offset, 0 when it does not lie inside the command.
uint64_t commandCount(const uint8_t *command, uint64_t length, uint64_t at) {
  return at + 4 <= length ? wireGet32(command + at) : 0;
}
}  // namespace

uint64_t glxsupportLargeRenderSize(const uint8_t *command, uint64_t length) {
  constexpr uint64_t kPieceMax = 262124;
  if (!command || length < 8) return length < kPieceMax ? length : kPieceMax;
  uint32_t opcode = wireGet32(command + 4);
  uint64_t size = 60;
  switch (opcode) {
    case 2: case 168: case 169: case 170: size = 16; break;
    case 5: case 145: size = 52; break;
    case 102: case 298: case 299: size = 28; break;
    case 109: case 110: size = 60; break;
    case 143: size = 32; break;
    case 144: size = 24; break;
    case 146: case 214: case 215: size = 36; break;
    case 173: size = 44; break;
    case 193: size = 20 + 12 * commandCount(command, length, 12); break;
    case 195: case 219: case 2053: size = 48; break;
    case 216: case 217: case 218: size = 40; break;
    case 233: case 4118: size = 12; break;
    case 253: size = 16 + 4 * commandCount(command, length, 12); break;
    case 262: case 263: case 264: case 4217: size = 20; break;
    case 300: size = 24 + 20 * commandCount(command, length, 20); break;
    case 301: size = 40 + 20 * commandCount(command, length, 36); break;
    case 4099: case 4100: size = 64; break;
    case 4101: case 4102: case 4109: size = 52; break;
    case 4114: size = 88; break;
    case 4115: size = 92; break;
    default:
      if ((opcode >= 254 && opcode <= 261) || (opcode >= 4202 && opcode <= 4214)) {
        size = 16;
      } else {
        LOG(logChannelWarning, "GLX: Unknown large render command #%u", opcode);
      }
      break;
  }
  // Counts are below 2^32 and factors below 32: the products fit in 64 bits.
  if (size > length) size = length;
  return size < kPieceMax ? size : kPieceMax;
}
