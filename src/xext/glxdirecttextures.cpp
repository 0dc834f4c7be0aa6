// The texture images the library allocates for clients: each level a command defines is counted
// against the defining client's lumoraMemory, by an estimate of its size, until the level is
// replaced, its texture deleted or the last context that shares the texture destroyed; sizes
// beyond the library's limits are refused before the library sees them.
#include "xext/glxdirect.h"
// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <cstring>
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
                   kGlMaxRectangleTextureSize = 0x84F8, kGlMaxArrayTextureLayers = 0x88FF;

// One level of one face of a texture: its estimated bytes and the slot of the client they are
// counted for (0: none).
struct Level {
  uint32_t face;
  int32_t level;
  uint64_t bytes;
  uint32_t client;
};

}  // namespace

// The counted levels by texture: the key is the share group (the serial of the context that
// started it) in the high word and the texture name in the low word; a context's default
// textures (name 0) are keyed by the context's own serial.
struct GlxDirectTextureLevels {
  std::unordered_map<uint64_t, std::vector<Level>> textures;
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

void refundLevels(const std::vector<Level> &levels) {
  for (const Level &l : levels) glxdirectRefund(xproxyClientByIndex(l.client), l.bytes);
}

// The library's limit of that pname, asked once per instance (0: unknown, not bounded).
uint32_t limitOf(GlxLibraryInstance *instance, uint32_t pname) {
  int k = pname == kGlMaxTextureSize ? 0 : pname == kGlMax3DTextureSize ? 1 : pname == kGlMaxCubeMapTextureSize ? 2
          : pname == kGlMaxRectangleTextureSize ? 3 : 4;
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
  GlxDirectContext *node = currentNode(instance);
  if (!node) return kGlxDirectLevelCall;
  if (!instance->textureLevels) instance->textureLevels = new (std::nothrow) GlxDirectTextureLevels{};
  if (!instance->textureLevels) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return kGlxDirectLevelOverBudget;
  }
  uint32_t name = uint32_t(glxdirectGetInteger(instance, info->binding));
  // Each factor is below 2^31: the product of three and a texel size saturates, never wraps.
  unsigned __int128 estimate = static_cast<unsigned __int128>(uint64_t(width) * uint64_t(height)) * uint64_t(depth) *
                               texelBytes(internalFormat);
  uint64_t bytes = estimate > UINT64_MAX ? UINT64_MAX : uint64_t(estimate);
  // A level counts at least as much as its record.
  if (bytes != 0 && bytes < kGlxDirectNameBytes) bytes = kGlxDirectNameBytes;
  ClientConnection *client = xproxyCurrentClient;
  uint32_t clientIndex = client ? client->index : 0;
  auto &textures = instance->textureLevels->textures;
  uint64_t key = textureKey(node, name);
  auto at = textures.find(key);
  Level *old = nullptr;
  if (at != textures.end())
    for (Level &l : at->second)
      if (l.face == target && l.level == level) old = &l;
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
      textures[key].push_back(Level{target, level, bytes, clientIndex});
    }
  } catch (const std::bad_alloc &) {
    glxdirectRefund(client, bytes > own ? bytes - own : 0);
    LOG_OUT_OF_MEMORY_AT(kSource);
    return kGlxDirectLevelOverBudget;
  }
  return kGlxDirectLevelCall;
}

void glxdirectTexturesDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count) {
  if (!instance || !instance->textureLevels) return;
  GlxDirectContext *node = currentNode(instance);
  if (!node) return;
  auto &textures = instance->textureLevels->textures;
  for (uint32_t k = 0; k < count; k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    if (name == 0) continue;  // the default texture is never deleted
    auto at = textures.find(textureKey(node, name));
    if (at == textures.end()) continue;
    refundLevels(at->second);
    textures.erase(at);
  }
}

void glxdirectContextTexturesGone(GlxLibraryInstance *instance, const GlxDirectContext *gone) {
  if (!instance || !instance->textureLevels) return;
  bool groupLives = false;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node != gone && node->shareGroup == gone->shareGroup) groupLives = true;
  auto &textures = instance->textureLevels->textures;
  for (auto at = textures.begin(); at != textures.end();) {
    uint32_t group = uint32_t(at->first >> 32), name = uint32_t(at->first);
    bool drop = name == 0 ? group == gone->serial : group == gone->shareGroup && !groupLives;
    if (drop) {
      refundLevels(at->second);
      at = textures.erase(at);
    } else {
      ++at;
    }
  }
}

void glxdirectFreeTextureLevels(GlxLibraryInstance *instance) {
  if (!instance) return;
  delete instance->textureLevels;
  instance->textureLevels = nullptr;
}
