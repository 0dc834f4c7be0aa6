// What the library keeps for clients beyond one request, counted against their lumoraMemory:
// each texture level a command defines (a renderbuffer's storage counts as its one level), by
// an estimate of its size; a buffer object's data store by its size; a shader's source and a
// display list's contents by the bytes the client sent for them; the object names. Each is
// counted for the client whose command made it (its owner serial, glxdirectOwner) from when
// the library accepted the command until it is replaced, its object deleted or the last context
// that shares it destroyed; sizes beyond the library's limits are refused before the library
// sees them.
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
constexpr uint32_t kGlProgramBindingArb = 0x8677;
// The most samples a multisampled renderbuffer is counted with when the library names no limit.
constexpr uint32_t kSampleLimit = 64;

// One level of one face of a texture (of the other kinds: face and level 0): its estimated
// bytes and the owner serial of the client they are counted for (0: none).
struct Level {
  uint32_t face;
  int32_t level;
  uint64_t bytes;
  uint64_t owner;
};

// What a command is counted before its library call, kept until glxdirectStorageDone: the
// entry it replaces when the library accepts it, and what was charged to the current client.
struct Pending {
  uint8_t active;
  GlxDirectStorageKind kind;
  uint64_t key;
  uint32_t face;
  int32_t level;
  uint64_t bytes;
  uint64_t charged;
  uint64_t owner;
};

}  // namespace

// The counted levels by texture, the renderbuffers', buffers' storage, shader sources and list
// contents (each of these one level): the key is the share group (the serial of the context that
// started it) in the high word and the name in the low word; a context's default textures
// (name 0) are keyed by the context's own serial.
using GlxDirectLevelMap = std::unordered_map<uint64_t, std::vector<Level>>;
// The names made of each kind, keyed likewise (query names by their context's serial: queries
// are not shared), each with the owner serial of the client its kGlxDirectNameBytes are counted
// for. Only counted names are held, so lumoraMemory bounds the record as it bounds the names.
using GlxDirectNameMap = std::unordered_map<uint64_t, uint64_t>;
struct GlxDirectTextureLevels {
  GlxDirectLevelMap storage[kGlxDirectStorageKinds];
  GlxDirectNameMap names[kGlxDirectNameKinds];
  Pending pending;
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
    return levels->names[kind].emplace(nameKey(node, kind, name), glxdirectOwner()).second;
  } catch (const std::bad_alloc &) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return false;
  }
}

void refundLevels(const std::vector<Level> &levels) {
  for (const Level &l : levels) glxdirectRefundOwner(l.owner, l.bytes);
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

// Whether a glBegin is open (the library answers no query and refuses what allocates).
bool insideBegin(const GlxLibraryInstance *instance) { return instance->insideBegin != 0; }

// Counts bytes for the level (face, level) of the object of that kind named name in the
// current context, beforehand: what the client has counted for the level it replaces is
// already its own. Kept as pending until glxdirectStorageDone.
GlxDirectLevelVerdict countLevel(GlxLibraryInstance *instance, GlxDirectStorageKind kind, uint32_t name,
                                 uint32_t face, int32_t level, uint64_t bytes) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return kGlxDirectLevelCall;
  if (!levelsOf(instance)) return kGlxDirectLevelOverBudget;
  // Only a texture has a default object; the library refuses the others without a name bound.
  if (name == 0 && kind != kGlxDirectTextureStorage) return kGlxDirectLevelCall;
  // A level counts at least as much as its record.
  if (bytes != 0 && bytes < kGlxDirectNameBytes) bytes = kGlxDirectNameBytes;
  uint64_t owner = glxdirectOwner();
  auto &levels = instance->textureLevels->storage[kind];
  uint64_t key = textureKey(node, name);
  auto at = levels.find(key);
  const Level *old = nullptr;
  if (at != levels.end())
    for (const Level &l : at->second)
      if (l.face == face && l.level == level) old = &l;
  uint64_t own = old && old->owner == owner ? old->bytes : 0;
  uint64_t charged = bytes > own ? bytes - own : 0;
  if (charged && !glxdirectCharge(charged)) return kGlxDirectLevelOverBudget;
  // A command of the client before this one may have left an error for it to read.
  glxdirectErrorBefore(instance);
  instance->textureLevels->pending = Pending{1, kind, key, face, level, bytes, charged, owner};
  return kGlxDirectLevelCall;
}

// The pending count becomes the level's: what was counted for it before is given back.
void commitLevel(GlxLibraryInstance *instance, const Pending &p) {
  auto &levels = instance->textureLevels->storage[p.kind];
  auto at = levels.find(p.key);
  Level *old = nullptr;
  if (at != levels.end())
    for (Level &l : at->second)
      if (l.face == p.face && l.level == p.level) old = &l;
  try {
    if (old) {
      uint64_t own = old->owner == p.owner ? old->bytes : 0;
      if (old->owner == p.owner)
        glxdirectRefund(xproxyCurrentClient, own > p.bytes ? own - p.bytes : 0);
      else
        glxdirectRefundOwner(old->owner, old->bytes);
      old->bytes = p.bytes;
      old->owner = p.owner;
      if (p.bytes == 0) {  // the library let the level go: so does the record
        at->second.erase(at->second.begin() + (old - at->second.data()));
        if (at->second.empty()) levels.erase(at);
      }
    } else if (p.bytes != 0) {
      levels[p.key].push_back(Level{p.face, p.level, p.bytes, p.owner});
    }
  } catch (const std::bad_alloc &) {
    glxdirectRefund(xproxyCurrentClient, p.charged);
    LOG_OUT_OF_MEMORY_AT(kSource);
  }
}

// The storage of the names (4 bytes each, any alignment) in the current context: their entries
// of the kind are given back and go.
void storageDeleted(GlxLibraryInstance *instance, GlxDirectStorageKind kind, const uint8_t *names, uint32_t count) {
  if (!instance || !instance->textureLevels) return;
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return;
  auto &levels = instance->textureLevels->storage[kind];
  for (uint32_t k = 0; k < count && !levels.empty(); k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    if (name == 0) continue;  // the default texture is never deleted, nor is object 0 one
    auto at = levels.find(textureKey(node, name));
    if (at == levels.end()) continue;
    refundLevels(at->second);
    levels.erase(at);
  }
}

// The library's binding of a buffer target (0: none known).
uint32_t bufferBinding(uint32_t target) {
  static constexpr uint32_t kBindings[][2] = {
      {0x8892, 0x8894}, {0x8893, 0x8895}, {0x88EB, 0x88ED}, {0x88EC, 0x88EF}, {0x8F36, 0x8F36},
      {0x8F37, 0x8F37}, {0x8A11, 0x8A28}, {0x8C2A, 0x8C2A}, {0x8C8E, 0x8C8F}, {0x92C0, 0x92C1},
      {0x90EE, 0x90EF}, {0x8F3F, 0x8F43}, {0x9192, 0x9193}, {0x90D2, 0x90D3}, {0x8BEE, 0x8BEE}};
  for (const auto &b : kBindings)
    if (b[0] == target) return b[1];
  return 0;
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
  return countLevel(instance, kGlxDirectTextureStorage, uint32_t(glxdirectGetInteger(instance, info->binding)), target,
                    level, times(uint64_t(width) * uint64_t(height), uint64_t(depth), texelBytes(internalFormat)));
}

void glxdirectTexturesDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count) {
  storageDeleted(instance, kGlxDirectTextureStorage, names, count);
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
  return countLevel(instance, kGlxDirectRenderbufferStorage,
                    uint32_t(glxdirectGetInteger(instance, kGlRenderbufferBinding)), kGlRenderbuffer, 0,
                    times(uint64_t(width) * uint64_t(height), perPixel, texelBytes(internalFormat)));
}

void glxdirectRenderbuffersDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count) {
  storageDeleted(instance, kGlxDirectRenderbufferStorage, names, count);
}

void glxdirectNamesMade(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names, uint32_t count) {
  GlxDirectContext *node = instance ? glxdirectCurrentNode(instance) : nullptr;
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
  GlxDirectContext *node = instance && name ? glxdirectCurrentNode(instance) : nullptr;
  if (!node) return true;
  if (instance->textureLevels && instance->textureLevels->names[kind].count(nameKey(node, kind, name))) return true;
  if (!glxdirectCharge(kGlxDirectNameBytes)) return false;
  if (!holdName(instance, node, kind, name)) glxdirectRefund(xproxyCurrentClient, kGlxDirectNameBytes);
  return true;
}

void glxdirectNamesDeleted(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names,
                           uint32_t count) {
  GlxDirectContext *node = instance && instance->textureLevels ? glxdirectCurrentNode(instance) : nullptr;
  if (!node) return;
  GlxDirectNameMap &held = instance->textureLevels->names[kind];
  for (uint32_t k = 0; k < count && !held.empty(); k++) {
    uint32_t name;
    memcpy(&name, names + 4 * uint64_t(k), 4);
    auto at = held.find(nameKey(node, kind, name));
    if (at == held.end()) continue;
    glxdirectRefundOwner(at->second, kGlxDirectNameBytes);
    held.erase(at);
  }
}

void glxdirectContextTexturesGone(GlxLibraryInstance *instance, const GlxDirectContext *gone) {
  if (!instance) return;
  // A list it was making goes unmade; its select and feedback buffers go.
  if (gone->compileList) glxdirectRefundOwner(gone->compileOwner, gone->compileBytes);
  glxdirectRefundOwner(gone->selectOwner, gone->selectCharged);
  glxdirectRefundOwner(gone->feedbackOwner, gone->feedbackCharged);
  bool groupLives = false;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node != gone && node->shareGroup == gone->shareGroup) groupLives = true;
  // The library deletes the group's display lists with it.
  if (!groupLives) glxdirectListGroupGone(instance, gone->shareGroup);
  if (!instance->textureLevels) return;
  for (GlxDirectLevelMap &kindLevels : instance->textureLevels->storage) {
    GlxDirectLevelMap *levels = &kindLevels;
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
        glxdirectRefundOwner(at->second, kGlxDirectNameBytes);
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

GlxDirectContext *glxdirectCurrentNode(GlxLibraryInstance *instance) {
  uint32_t slot = instance ? instance->currentTagSlot : 0;
  if (slot == 0 || slot >= kGlxDirectTagSlots) return nullptr;
  GLXContext context = instance->tagSlots[slot].context;
  // (Asked for every command: the node found last is kept while it stays the slot's.)
  if (instance->currentNode && instance->currentNode->context == context) return instance->currentNode;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node->context == context) return instance->currentNode = node;
  return nullptr;
}

// ===== storage and the library's verdict =====
bool glxdirectBufferData(GlxLibraryInstance *instance, uint32_t target, uint64_t size) {
  if (!instance || insideBegin(instance)) return true;
  uint32_t binding = bufferBinding(target);
  if (binding == 0) return true;  // the library refuses an unknown target
  uint32_t name = uint32_t(glxdirectGetInteger(instance, binding));
  return countLevel(instance, kGlxDirectBufferStorage, name, 0, 0, size) != kGlxDirectLevelOverBudget;
}

bool glxdirectShaderSource(GlxLibraryInstance *instance, uint32_t shader, uint64_t bytes) {
  if (!instance || insideBegin(instance)) return true;
  return countLevel(instance, kGlxDirectShaderSources, shader, 0, 0, bytes) != kGlxDirectLevelOverBudget;
}

bool glxdirectProgramString(GlxLibraryInstance *instance, uint32_t target, uint32_t program, uint64_t bytes) {
  if (!instance || insideBegin(instance)) return true;
  if (program == 0) {
    // The program bound to the target (GL_PROGRAM_BINDING_ARB); a library without the call
    // serves no program strings.
    if (pluginIsStub(instance->functions.glGetProgramivARB) || !glxdirectCurrentNode(instance)) return true;
    GLint values[16] = {};
    instance->functions.glGetProgramivARB(target, kGlProgramBindingArb, values);
    program = uint32_t(values[0]);
  }
  return countLevel(instance, kGlxDirectProgramStrings, program, 0, 0, bytes) != kGlxDirectLevelOverBudget;
}

void glxdirectStorageDone(GlxLibraryInstance *instance, bool called) {
  if (!instance || !instance->textureLevels || !instance->textureLevels->pending.active) return;
  Pending p = instance->textureLevels->pending;
  instance->textureLevels->pending.active = 0;
  if (!called || !glxdirectAccepted(instance)) {
    glxdirectRefund(xproxyCurrentClient, p.charged);
    return;
  }
  commitLevel(instance, p);
}

void glxdirectStorageDeleted(GlxLibraryInstance *instance, GlxDirectStorageKind kind, const uint8_t *names,
                             uint32_t count) {
  storageDeleted(instance, kind, names, count);
}

void glxdirectErrorBefore(GlxLibraryInstance *instance) { (void)glxdirectAccepted(instance); }

bool glxdirectAccepted(GlxLibraryInstance *instance) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node || insideBegin(instance)) return true;
  uint32_t error = instance->functions.glGetError();
  if (error == 0) return true;
  if (!node->heldError) node->heldError = error;
  return false;
}

void glxdirectRecordError(GlxLibraryInstance *instance, uint32_t error) {
  GlxDirectContext *node = instance ? glxdirectCurrentNode(instance) : nullptr;
  if (!node || error == 0) return;
  if (insideBegin(instance)) {
    instance->functions.glPixelStorei(0, 0);  // a parameter of no name
    return;
  }
  glxdirectErrorBefore(instance);
  if (!node->heldError) node->heldError = error;
}

uint32_t glxdirectTakeHeldError(GlxLibraryInstance *instance) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return 0;
  uint32_t error = node->heldError;
  node->heldError = 0;
  return error;
}
// ===== end of storage and the library's verdict =====

// ===== display-list contents =====
void glxdirectListContents(GlxLibraryInstance *instance, uint32_t list, uint64_t bytes) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node || list == 0) return;
  if (!levelsOf(instance)) {
    glxdirectRefund(xproxyCurrentClient, bytes);
    return;
  }
  auto &levels = instance->textureLevels->storage[kGlxDirectListContents];
  uint64_t key = textureKey(node, list);
  auto at = levels.find(key);
  if (at != levels.end()) {
    refundLevels(at->second);
    levels.erase(at);
  }
  if (bytes == 0) return;
  try {
    levels[key].push_back(Level{0, 0, bytes, glxdirectOwner()});
  } catch (const std::bad_alloc &) {
    glxdirectRefund(xproxyCurrentClient, bytes);
    LOG_OUT_OF_MEMORY_AT(kSource);
  }
}

void glxdirectListContentsDeleted(GlxLibraryInstance *instance, uint32_t shareGroup, uint32_t first, uint64_t count) {
  if (!instance || !instance->textureLevels) return;
  auto &levels = instance->textureLevels->storage[kGlxDirectListContents];
  uint64_t inGroup = (uint64_t(1) << 32) - first;  // names from first to the group's last
  uint64_t low = uint64_t(shareGroup) << 32 | first, end = low + (count < inGroup ? count : inGroup);
  // Whichever is fewer is walked: the names of the range or the lists with contents.
  if (end - low < levels.size()) {
    for (uint64_t key = low; key < end && !levels.empty(); key++) {
      auto at = levels.find(key);
      if (at == levels.end()) continue;
      refundLevels(at->second);
      levels.erase(at);
    }
    return;
  }
  for (auto at = levels.begin(); at != levels.end();) {
    if (at->first >= low && at->first < end) {
      refundLevels(at->second);
      at = levels.erase(at);
    } else {
      ++at;
    }
  }
}
// ===== end of display-list contents =====
