// The texture images and renderbuffers the library allocates for clients: each level a command
// defines (a renderbuffer's storage counts as its one level) is counted against the defining
// client's lumoraMemory, by an estimate of its size, until the level is replaced, its texture or
// renderbuffer deleted or the last context that shares it destroyed; sizes beyond the library's
// limits are refused before the library sees them.
#include "xext/glxdirect.h"
// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <cstring>
#include <iterator>
#include <new>
#include <unordered_map>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/strtemp.h"

namespace {

constexpr const char *kSource = "Xext/glxdirecttextures";

constexpr uint32_t kGlMaxTextureSize = 0x0D33, kGlMax3DTextureSize = 0x8073, kGlMaxCubeMapTextureSize = 0x851C,
                   kGlMaxRectangleTextureSize = 0x84F8, kGlMaxArrayTextureLayers = 0x88FF,
                   kGlMaxRenderbufferSize = 0x84E8, kGlMaxSamples = 0x8D57;
constexpr uint32_t kGlRenderbuffer = 0x8D41, kGlRenderbufferBinding = 0x8CA7;
// The most samples a multisampled renderbuffer is counted with when the library names no limit.
constexpr uint32_t kSampleLimit = 64;

// One level of one face of a texture: its estimated bytes and the slot of the client they are
// counted for (0: none).
struct Level {
  uint32_t face;
  int32_t level;
  uint64_t bytes;
  uint32_t client;
};

}  // namespace

// The counted levels by texture, and the renderbuffers' storage: the key is the share group (the
// serial of the context that started it) in the high word and the name in the low word; a
// context's default textures (name 0) are keyed by the context's own serial.
using GlxDirectLevelMap = std::unordered_map<uint64_t, std::vector<Level>>;
// The names made of each kind, keyed likewise (query names by their context's serial: queries
// are not shared), each with the slot of the client its kGlxDirectNameBytes are counted for.
// Only counted names are held, so lumoraMemory bounds the record as it bounds the names.
using GlxDirectNameMap = std::unordered_map<uint64_t, uint32_t>;
struct GlxDirectTextureLevels {
  GlxDirectLevelMap textures;
  GlxDirectLevelMap renderbuffers;
  GlxDirectNameMap names[kGlxDirectNameKinds];
};

namespace {

// What a texture target's storage is bound by: the binding that names its texture, the limit
// of its width and height, of its depth, whether its last dimension counts layers (then
// bounded by the array-layer limit), and whether it may have mipmap levels.
struct TargetInfo {
  uint32_t target, binding, sizeLimit, depthLimit;
  uint8_t layered;
};
constexpr TargetInfo kTargets[] = {
    {0x0DE0, 0x8068, kGlMaxTextureSize, 0, 0},                      // 1D
    {0x0DE1, 0x8069, kGlMaxTextureSize, 0, 0},                      // 2D
    {0x806F, 0x806A, kGlMax3DTextureSize, kGlMax3DTextureSize, 0},  // 3D
    {0x84F5, 0x84F6, kGlMaxRectangleTextureSize, 0, 0},             // rectangle
    {0x8515, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},               // cube map faces
    {0x8516, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},
    {0x8517, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},
    {0x8518, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},
    {0x8519, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},
    {0x851A, 0x8514, kGlMaxCubeMapTextureSize, 0, 0},
    {0x8C18, 0x8C1C, kGlMaxTextureSize, 0, 1},                      // 1D array (height: layers)
    {0x8C1A, 0x8C1D, kGlMaxTextureSize, 0, 1},                      // 2D array
    {0x9009, 0x900A, kGlMaxCubeMapTextureSize, 0, 1},               // cube map array
};

const TargetInfo *targetInfo(uint32_t target) {
  for (const TargetInfo &t : kTargets)
    if (t.target == target) return &t;
  return nullptr;
}

// Bytes per texel of an internal format as a library may store it: the formats of more than 4
// bytes, at least 4 for every other (unknown, compressed ones included).
uint64_t texelBytes(uint32_t internalFormat) {
  switch (internalFormat) {
    case 0x8814: case 0x8815: case 0x8D70: case 0x8D71: case 0x8D82: case 0x8D83:  // RGB(A)32F/UI/I
      return 16;
    case 0x805A: case 0x805B: case 0x8053: case 0x8054:                            // RGB(A)12/16
    case 0x881A: case 0x881B: case 0x8D76: case 0x8D77: case 0x8D88: case 0x8D89:  // RGB(A)16F/UI/I
    case 0x8F9A: case 0x8F9B:                                                      // RGB(A)16_SNORM
    case 0x8230: case 0x823B: case 0x823C:                                         // RG32F/I/UI
    case 0x8819: case 0x8D7D: case 0x8D87:                                         // LUMINANCE_ALPHA32
    case 0x8CAD:                                                                   // DEPTH32F_STENCIL8
      return 8;
    default:
      return 4;
  }
}

// The context node current in the library, or NULL.
GlxDirectContext *currentNode(GlxLibraryInstance *instance) {
  uint32_t slot = instance->currentTagSlot;
  if (slot == 0 || slot >= kGlxDirectTagSlots) return nullptr;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node->context == instance->tagSlots[slot].context) return node;
  return nullptr;
}

uint64_t textureKey(const GlxDirectContext *node, uint32_t name) {
  return uint64_t(name ? node->shareGroup : node->serial) << 32 | name;
}

uint64_t nameKey(const GlxDirectContext *node, GlxDirectNameKind kind, uint32_t name) {
  return uint64_t(glxdirectNamesPerContext(kind) ? node->serial : node->shareGroup) << 32 | name;
}

// The record of the instance (made at first need), or NULL when there is no room for it.
GlxDirectTextureLevels *levelsOf(GlxLibraryInstance *instance) {
  if (!instance->textureLevels) instance->textureLevels = new (std::nothrow) GlxDirectTextureLevels{};
  if (!instance->textureLevels) LOG_OUT_OF_MEMORY_AT(kSource);
  return instance->textureLevels;
}

// Records name for the current client, who has been counted for it: false (nothing recorded)
// when it is held already or there is no room.
bool holdName(GlxLibraryInstance *instance, const GlxDirectContext *node, GlxDirectNameKind kind, uint32_t name) {
  GlxDirectTextureLevels *levels = name ? levelsOf(instance) : nullptr;
  if (!levels) return false;
  try {
    return levels->names[kind].emplace(nameKey(node, kind, name), xproxyCurrentClient ? xproxyCurrentClient->index : 0)
        .second;
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return false;
  }
}

void refundLevels(const std::vector<Level> &levels) {
  for (const Level &l : levels) glxdirectRefund(xproxyClientByIndex(l.client), l.bytes);
}

// The library's limit of that pname, asked once per instance (0: unknown, not bounded).
uint32_t limitOf(GlxLibraryInstance *instance, uint32_t pname) {
  static constexpr uint32_t kLimits[] = {kGlMaxTextureSize,          kGlMax3DTextureSize,      kGlMaxCubeMapTextureSize,
                                         kGlMaxRectangleTextureSize, kGlMaxArrayTextureLayers, kGlMaxRenderbufferSize,
                                         kGlMaxSamples};
  static_assert(std::size(kLimits) <= sizeof(GlxLibraryInstance::textureLimitsAsked) * 8);
  int k = 0;
  while (kLimits[k] != pname) k++;
  if (!(instance->textureLimitsAsked >> k & 1)) {
    int32_t value = glxdirectGetInteger(instance, pname);
    instance->textureLimits[k] = value > 0 ? uint32_t(value) : 0;
    instance->textureLimitsAsked |= uint8_t(1u << k);
  }
  return instance->textureLimits[k];
}

bool beyond(int32_t size, uint32_t limit) { return limit != 0 && int64_t(size) > int64_t(limit) + 2; }

// The highest level a texture of that size limit may have (31 when unknown).
int32_t highestLevel(uint32_t limit) {
  int32_t level = 0;
  while (limit > 1) limit >>= 1, level++;
  return limit ? level : 31;
}

// a x b x c, saturated.
uint64_t times(uint64_t a, uint64_t b, uint64_t c) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  if (p > UINT64_MAX) return UINT64_MAX;
  p *= c;
  return p > UINT64_MAX ? UINT64_MAX : uint64_t(p);
}

// Counts bytes for the level (face, level) of the object bound through binding (a texture, or
// a renderbuffer), in place of what was counted for it.
GlxDirectLevelVerdict countLevel(GlxLibraryInstance *instance, bool renderbuffer, uint32_t binding, uint32_t face,
                                 int32_t level, uint64_t bytes) {
  GlxDirectContext *node = currentNode(instance);
  if (!node) return kGlxDirectLevelCall;
  if (!levelsOf(instance)) return kGlxDirectLevelOverBudget;
  uint32_t name = uint32_t(glxdirectGetInteger(instance, binding));
  // Without a renderbuffer bound the library refuses the storage.
  if (renderbuffer && name == 0) return kGlxDirectLevelCall;
  // A level counts at least as much as its record.
  if (bytes != 0 && bytes < kGlxDirectNameBytes) bytes = kGlxDirectNameBytes;
  ClientConnection *client = xproxyCurrentClient;
  uint32_t clientIndex = client ? client->index : 0;
  auto &levels = renderbuffer ? instance->textureLevels->renderbuffers : instance->textureLevels->textures;
  uint64_t key = textureKey(node, name);
  auto at = levels.find(key);
  Level *old = nullptr;
  if (at != levels.end())
    for (Level &l : at->second)
      if (l.face == face && l.level == level) old = &l;
  // What the client has counted for the level it replaces is already its own.
  uint64_t own = old && old->client == clientIndex ? old->bytes : 0;
  if (bytes > own && !glxdirectCharge(bytes - own)) return kGlxDirectLevelOverBudget;
  try {
    if (old) {
      if (old->client == clientIndex)
        glxdirectRefund(client, own > bytes ? own - bytes : 0);
      else
        glxdirectRefund(xproxyClientByIndex(old->client), old->bytes);
      old->bytes = bytes;
      old->client = clientIndex;
    } else if (bytes != 0) {
      levels[key].push_back(Level{face, level, bytes, clientIndex});
    }
  } catch (const std::bad_alloc &) {
    glxdirectRefund(client, bytes > own ? bytes - own : 0);
    LOG_OUT_OF_MEMORY_AT(kSource);
    return kGlxDirectLevelOverBudget;
  }
  return kGlxDirectLevelCall;
}

// The count names at names are deleted in the current context: their levels in the map go.
void namesDeleted(GlxLibraryInstance *instance, bool renderbuffers, const uint8_t *names, uint32_t count) {
  if (!instance || !instance->textureLevels) return;
  GlxDirectContext *node = currentNode(instance);
  if (!node) return;
  auto &levels = renderbuffers ? instance->textureLevels->renderbuffers : instance->textureLevels->textures;
  for (uint32_t k = 0; k < count; k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    if (name == 0) continue;  // the default texture is never deleted, nor is renderbuffer 0 one
    auto at = levels.find(textureKey(node, name));
    if (at == levels.end()) continue;
    refundLevels(at->second);
    levels.erase(at);
  }
}

}  // namespace

GlxDirectLevelVerdict glxdirectTextureLevel(GlxLibraryInstance *instance, uint32_t target, int32_t level,
                                            uint32_t internalFormat, int32_t width, int32_t height, int32_t depth) {
  if (!instance) return kGlxDirectLevelCall;
  // The library refuses it inside glBegin/glEnd; nothing about it can be asked there.
  if (instance->insideBegin) return kGlxDirectLevelRefused;
  const TargetInfo *info = targetInfo(target);
  // Proxy and unknown targets: the library allocates nothing for them.
  if (!info || width < 0 || height < 0 || depth < 0 || level < 0) return kGlxDirectLevelCall;
  uint32_t sizeLimit = limitOf(instance, info->sizeLimit);
  bool tooLarge = beyond(width, sizeLimit) || level > highestLevel(sizeLimit);
  if (info->layered && info->target == 0x8C18)
    tooLarge = tooLarge || beyond(height, limitOf(instance, kGlMaxArrayTextureLayers));
  else
    tooLarge = tooLarge || beyond(height, sizeLimit);
  if (info->layered && info->target != 0x8C18)
    tooLarge = tooLarge || beyond(depth, limitOf(instance, kGlMaxArrayTextureLayers));
  else if (info->depthLimit)
    tooLarge = tooLarge || beyond(depth, limitOf(instance, info->depthLimit));
  if (tooLarge) {
    LOG(logChannelXhint, "Lumora: texture level %dx%dx%d (level %d) beyond the library's limits", width, height,
        depth, level);
    return kGlxDirectLevelRefused;
  }
  return countLevel(instance, false, info->binding, target, level,
                    times(uint64_t(width) * uint64_t(height), uint64_t(depth), texelBytes(internalFormat)));
}

void glxdirectTexturesDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count) {
  namesDeleted(instance, false, names, count);
}

GlxDirectLevelVerdict glxdirectRenderbufferStorage(GlxLibraryInstance *instance, uint32_t internalFormat,
                                                   int32_t samples, int32_t width, int32_t height) {
  if (!instance) return kGlxDirectLevelCall;
  if (instance->insideBegin) return kGlxDirectLevelRefused;
  if (width < 0 || height < 0 || samples < 0) return kGlxDirectLevelCall;
  uint32_t sizeLimit = limitOf(instance, kGlMaxRenderbufferSize);
  if ((sizeLimit != 0 && (uint32_t(width) > sizeLimit || uint32_t(height) > sizeLimit))) {
    LOG(logChannelXhint, "Lumora: renderbuffer %dx%d beyond the library's limits", width, height);
    return kGlxDirectLevelRefused;
  }
  // More samples than the library has are its error; it allocates no more than it has.
  uint32_t sampleLimit = limitOf(instance, kGlMaxSamples);
  if (sampleLimit == 0 || sampleLimit > kSampleLimit) sampleLimit = kSampleLimit;
  uint64_t perPixel = uint64_t(samples > 1 ? (uint32_t(samples) < sampleLimit ? uint32_t(samples) : sampleLimit) : 1);
  return countLevel(instance, true, kGlRenderbufferBinding, kGlRenderbuffer, 0,
                    times(uint64_t(width) * uint64_t(height), perPixel, texelBytes(internalFormat)));
}

void glxdirectRenderbuffersDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count) {
  namesDeleted(instance, true, names, count);
}

void glxdirectNamesMade(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names, uint32_t count) {
  GlxDirectContext *node = instance ? currentNode(instance) : nullptr;
  if (!node) return;  // nothing can be told apart: what was counted stays
  uint64_t unheld = 0;
  for (uint32_t k = 0; k < count; k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    if (!holdName(instance, node, kind, name)) unheld++;
  }
  glxdirectRefund(xproxyCurrentClient, unheld * kGlxDirectNameBytes);
}

bool glxdirectNameBound(GlxLibraryInstance *instance, GlxDirectNameKind kind, uint32_t name) {
  GlxDirectContext *node = instance && name ? currentNode(instance) : nullptr;
  if (!node) return true;
  if (instance->textureLevels && instance->textureLevels->names[kind].count(nameKey(node, kind, name))) return true;
  if (!glxdirectCharge(kGlxDirectNameBytes)) return false;
  if (!holdName(instance, node, kind, name)) glxdirectRefund(xproxyCurrentClient, kGlxDirectNameBytes);
  return true;
}

void glxdirectNamesDeleted(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names,
                           uint32_t count) {
  GlxDirectContext *node = instance && instance->textureLevels ? currentNode(instance) : nullptr;
  if (!node) return;
  GlxDirectNameMap &held = instance->textureLevels->names[kind];
  for (uint32_t k = 0; k < count && !held.empty(); k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    auto at = held.find(nameKey(node, kind, name));
    if (at == held.end()) continue;
    glxdirectRefund(xproxyClientByIndex(at->second), kGlxDirectNameBytes);
    held.erase(at);
  }
}

void glxdirectContextTexturesGone(GlxLibraryInstance *instance, const GlxDirectContext *gone) {
  if (!instance || !instance->textureLevels) return;
  bool groupLives = false;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node != gone && node->shareGroup == gone->shareGroup) groupLives = true;
  for (GlxDirectLevelMap *levels : {&instance->textureLevels->textures, &instance->textureLevels->renderbuffers}) {
    for (auto at = levels->begin(); at != levels->end();) {
      uint32_t group = uint32_t(at->first >> 32), name = uint32_t(at->first);
      bool drop = name == 0 ? group == gone->serial : group == gone->shareGroup && !groupLives;
      if (drop) {
        refundLevels(at->second);
        at = levels->erase(at);
      } else {
        ++at;
      }
    }
  }
  for (int kind = 0; kind < kGlxDirectNameKinds; kind++) {
    GlxDirectNameMap &held = instance->textureLevels->names[kind];
    for (auto at = held.begin(); at != held.end();) {
      uint32_t group = uint32_t(at->first >> 32);
      bool drop = glxdirectNamesPerContext(GlxDirectNameKind(kind)) ? group == gone->serial
                                                                 : group == gone->shareGroup && !groupLives;
      if (drop) {
        glxdirectRefund(xproxyClientByIndex(at->second), kGlxDirectNameBytes);
        at = held.erase(at);
      } else {
        ++at;
      }
    }
  }
}

void glxdirectFreeTextureLevels(GlxLibraryInstance *instance) {
  if (!instance) return;
  delete instance->textureLevels;
  instance->textureLevels = nullptr;
}
