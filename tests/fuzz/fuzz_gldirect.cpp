// Fuzz target: GL executed inside the proxy. A library instance of the recording fake GL
// library (tests/fakegl) with two contexts current in two tag slots, fed with what a client's
// GLX requests hand it: render command streams (16-bit headers), large render commands, the
// single operations, the pixel queries and render modes, the GLSL queries, the vendor commands,
// and the tag, context and drawable operations, in either byte order (swapped to this machine's
// by the proxy's own tables first, as the dispatcher does). Each record's bytes sit in a heap
// block of exactly their size that the fake library knows as a live region: a read of the
// library that starts there must end there (the fake aborts otherwise), and AddressSanitizer
// judges every other read and write.
//
// Input: one byte of options (bit 0: the client sends most significant byte first), then
// records of [kind, selector, length low, length high] and length bytes (cut at the input's
// end). The selector's low bit picks the tag slot (1 or 2), its other bits the operation.
#include "xext/glxdirect.h"
// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "fakecore.h"
#include "fakegl.h"
#include "fuzzharness.h"
#include "proxy/clientconnection.h"
#include "proxy/korvanparser.h"
#include "xext/glxswap.h"
#include "xext/plugin.h"

namespace {

constexpr uint32_t kGl21 = 2 * 64 + 1;
const char *const kLibrary = TARVO_FAKEGL_DIR "/libtarvo_fakegl.so";

// The world: made on first use, kept for the process.
FakeCore *core;
FakeClient *clients[2];  // little and big endian
Head *head;
char displayName[8] = ":9";

GlxDirectSingle const kSingles[] = {
    glxdirectNewList, glxdirectEndList, glxdirectDeleteLists, glxdirectGenLists, glxdirectFeedbackBuffer,
    glxdirectSelectBuffer, glxdirectFinish, glxdirectPixelStoref, glxdirectPixelStorei, glxdirectFlush,
    glxdirectDeleteTextures, glxdirectGenTextures, glxdirectDeleteQueries, glxdirectDeleteBuffers,
    glxdirectGetBooleanv, glxdirectGetClipPlane, glxdirectGetDoublev, glxdirectGetError, glxdirectGetFloatv,
    glxdirectGetIntegerv, glxdirectGetLightfv, glxdirectGetLightiv, glxdirectGetMapdv, glxdirectGetMapfv,
    glxdirectGetMapiv, glxdirectGetMaterialfv, glxdirectGetMaterialiv, glxdirectGetPixelMapfv,
    glxdirectGetPixelMapuiv, glxdirectGetPixelMapusv, glxdirectGetTexEnvfv, glxdirectGetTexEnviv,
    glxdirectGetTexGendv, glxdirectGetTexGenfv, glxdirectGetTexGeniv, glxdirectGetTexParameterfv,
    glxdirectGetTexParameteriv, glxdirectGetTexLevelParameterfv, glxdirectGetTexLevelParameteriv,
    glxdirectIsEnabled, glxdirectIsList, glxdirectAreTexturesResident, glxdirectIsTexture, glxdirectGetString,
    glxdirectGetCompressedTexImage, glxdirectGenQueries, glxdirectIsQuery, glxdirectGetQueryiv,
    glxdirectGetQueryObjectiv, glxdirectGetQueryObjectuiv, glxdirectGetHandle, glxdirectCreateShaderObject,
    glxdirectCreateProgramObject, glxdirectGenBuffers, glxdirectIsBuffer, glxdirectGetBufferSubData,
    glxdirectGetBufferParameteriv, glxdirectGetBufferPointerv, glxdirectMapBuffer, glxdirectUnmapBuffer,
};

void worldInit() {
  if (core) return;
  core = new FakeCore;
  MetaScreen *screen = core->addScreen(1024, 768, 1);
  head = core->heads(screen)[0];
  clients[0] = &core->addClient(false);
  clients[1] = &core->addClient(true);
  configRecord.lumoraMemory = kKorvanDefaultLumoraMemory;
  glxdirectSyncClient = [](ClientConnection *, Display *) {};
}

// The fake library as new: its log, its per-context state, and two FB configs that make
// pbuffers.
void resetFake() {
  fakeglReset();
  fakeglSetFbConfigCount(2);
  for (uint32_t k = 0; k < 2; k++) {
    fakeglSetFbConfigAttrib(k, 0x8013, int(0x20 + k));  // GLX_FBCONFIG_ID
    fakeglSetFbConfigAttrib(k, 0x8016, 4096);           // GLX_MAX_PBUFFER_WIDTH
    fakeglSetFbConfigAttrib(k, 0x8017, 4096);           // GLX_MAX_PBUFFER_HEIGHT
  }
}

// A fresh instance of the fake library: two contexts, each current in a slot of its own on a
// drawable of its own. The function table is resolved once per process (the library stays
// loaded) and copied; a reload of the instance loads it by its text.
GlxLibraryInstance *newInstance(_XPrivDisplay display) {
  static GlxLibraryInstance *loaded;
  if (!loaded) {
    loaded = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
    if (!loaded || glxdirectLoadFunctions(kLibrary, kGl21, loaded)) abort();
  }
  auto *instance = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
  if (!instance) abort();
  instance->functions = loaded->functions;
  instance->glVersion = kGl21;
  instance->renderMode = kGlxDirectRenderMode;
  snprintf(instance->libraryText, sizeof instance->libraryText, "%s", kLibrary);
  instance->display = reinterpret_cast<Display *>(display);
  glxdirectResetScratch(instance);
  static char handles[2];
  for (uint32_t k = 0; k < 2; k++) {
    uint32_t serial = glxdirectAddContext(instance, &handles[k]);
    glxdirectCreateTag(instance, serial, 0x101 + k, 0x101 + k, k + 1);
  }
  return instance;
}

void freeInstance(GlxLibraryInstance *instance) {
  glxdirectReleaseGrab(instance);
  if (instance->library) pluginUnload(instance->library);  // loaded anew by a reload
  glxdirectFreeUnlisted(instance);
}

uint32_t word(std::span<const uint8_t> data, size_t at) {
  uint32_t value = 0;
  if (at + 4 <= data.size()) memcpy(&value, data.data() + at, 4);
  return value;
}

void swapWords(uint8_t *first, size_t length) {
  for (size_t at = 0; at + 4 <= length; at += 4) {
    std::swap(first[at], first[at + 3]);
    std::swap(first[at + 1], first[at + 2]);
  }
}

// One record on a heap block of exactly its size (at least one byte), live for the call.
void runRecord(GlxLibraryInstance *instance, bool big, uint8_t kind, uint8_t selector, const uint8_t *bytes,
               size_t length) {
  // Vendor commands read the request's 12-byte header before their data.
  size_t header = kind % 8 == 3 ? 12 : 0;
  size_t size = header + length;
  std::unique_ptr<uint8_t[]> block(new uint8_t[size ? size : 1]);
  if (size) memset(block.get(), 0, header);
  if (length) memcpy(block.get() + header, bytes, length);
  uint8_t *data = block.get() + header, *end = data + length;
  fakeglAddLiveRegion(data, length);
  uint32_t slot = 1 + (selector & 1), operation = selector >> 1;
  std::span<const uint8_t> in(data, length);
  switch (kind % 8) {
    case 0:  // GLXRender
      if (big) glxindirectSwapRender16(data, end, 1);
      glxdirectRender(instance, slot, data, end);
      break;
    case 1:  // one large render command
      if (big && length >= 8) {
        swapWords(data, 8);
        uint32_t opcode = word(in, 4);
        glxSwapRenderCommand(opcode, data + 8, end, 1);
      }
      glxdirectRenderLarge(instance, slot, data, length);
      break;
    case 2: {  // a single operation
      if (big) swapWords(data, length);
      GlxDirectResult result{};
      kSingles[operation % std::size(kSingles)](instance, slot, data, uint32_t(length), &result);
      break;
    }
    case 3: {  // a vendor command
      std::span<const GlxSwapRow> rows = glxSwapVendorRows();
      uint32_t code = rows.empty() ? 0 : rows[(operation + uint32_t(length)) % rows.size()].code;
      if (big) glxSwapVendorCommand(code, data, end, 1);
      glxdirectVendorPrivate(instance, slot, code, data, end, head);
      break;
    }
    case 4: {  // pixel queries and the render mode
      if (big) swapWords(data, length);
      uint32_t count = 0, itemSize = 0, size32 = 0;
      int32_t w = 0, h = 0, d = 0, b = 0;
      uint64_t bytes64 = 0;
      const uint32_t *buffer = nullptr;
      auto u = [&](size_t k) { return word(in, 4 * k); };
      switch (operation % 10) {
        case 0:
          glxdirectReadPixels(instance, slot, int32_t(u(0)), int32_t(u(1)), int32_t(u(2)) % 4096,
                              int32_t(u(3)) % 4096, u(4), u(5), u(6) & 1, u(7) & 1, &count, &itemSize);
          break;
        case 1: glxdirectGetPolygonStipple(instance, slot, &count); break;
        case 2: glxdirectGetTexImage(instance, slot, u(0), int32_t(u(1)), u(2), u(3), u(4) & 1, &w, &h, &d, &b, &bytes64); break;
        case 3: glxdirectGetColorTable(instance, slot, u(0), u(1), u(2), &w, &bytes64); break;
        case 4: glxdirectGetConvolutionFilter(instance, slot, u(0), u(1), u(2), &w, &h, &bytes64); break;
        case 5: glxdirectGetSeparableFilter(instance, slot, u(0), u(1), u(2), &w, &h, &bytes64); break;
        case 6: glxdirectGetHistogram(instance, slot, u(0), u(1) & 1, u(2), u(3), &w, &bytes64); break;
        case 7: glxdirectGetMinmax(instance, slot, u(0), u(1) & 1, u(2), u(3)); break;
        case 8: glxdirectGetConvolutionParameterfv(instance, slot, u(0), u(1), &count); break;
        default: glxdirectRenderMode(instance, slot, 0x1C00 + u(0) % 4, &buffer, &size32); break;
      }
      break;
    }
    case 5: {  // GLSL queries
      if (big) swapWords(data, length);
      auto u = [&](size_t k) { return word(in, 4 * k); };
      int32_t value = 0, size = 0;
      uint32_t type = 0;
      float real = 0;
      uint64_t room = u(1) % 100000;
      switch (operation % 12) {
        case 0: glxdirectGetProgramInfoLog(instance, slot, u(0), room, &value); break;
        case 1: glxdirectGetShaderInfoLog(instance, slot, u(0), room, &value); break;
        case 2: glxdirectGetShaderSource(instance, slot, u(0), room, &value); break;
        case 3: glxdirectGetInfoLog(instance, slot, u(0), room, &value); break;
        case 4: glxdirectGetAttachedObjects(instance, slot, u(0), room, &value); break;
        case 5: glxdirectGetActiveUniform(instance, slot, u(0), u(2), room, &value, &size, &type); break;
        case 6: glxdirectGetActiveAttrib(instance, slot, u(0), u(2), room, &value, &size, &type); break;
        case 7: glxdirectGetProgramiv(instance, slot, u(0), u(1), &value); break;
        case 8: glxdirectGetObjectParameterfv(instance, slot, u(0), u(1), &real); break;
        case 9: glxdirectBindBuffer(instance, slot, u(0), u(1)); break;
        case 10: {
          // A name: the record's bytes after the program, ended where the record ends.
          std::string name(reinterpret_cast<const char *>(data) + (length > 4 ? 4 : length),
                           length > 4 ? length - 4 : 0);
          glxdirectGetUniformLocation(instance, slot, u(0), name.c_str(), &value);
          break;
        }
        default: glxdirectDeleteProgram(instance, slot, u(0)); break;
      }
      break;
    }
    case 6: {  // tags, contexts and drawables
      if (big) swapWords(data, length);
      auto u = [&](size_t k) { return word(in, 4 * k); };
      switch (operation % 8) {
        case 0: glxdirectCreateTag(instance, u(0) % 4, u(1) % 4 + 0x100, u(2) % 4 + 0x100, u(3)); break;
        case 1: dGLDestroyTag(instance, u(0) % 8); break;
        case 2: glxdirectMakeTagCurrent(instance, u(0) % 8); break;
        case 3: glxdirectCreatePbuffer(instance, 0, 0x20 + u(0) % 2, u(1) % 8192, u(2) % 8192, u(3) & 1, 1); break;
        case 4: glxdirectDestroyPbuffer(instance, 0x700000 + u(0) % 8); break;
        case 5: glxdirectDestroyGLXPixmap(instance, 0x100 + u(0) % 4); break;
        case 6: glxdirectUseXFont(instance, slot, u(0), u(1), u(2) % 512, u(3)); break;
        default: glxdirectSwapInterval(instance, 0x100 + u(0) % 4, int32_t(u(1))); break;
      }
      break;
    }
    default:  // the grab's end, as after a batch
      glxdirectReleaseGrab(instance);
      break;
  }
  fakeglClearLiveRegions();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  worldInit();
  bool big = data[0] & 1;
  FakeClient &client = *clients[big ? 1 : 0];
  client.client->lumoraBytes = 0;
  resetFake();
  fakeglCheckReads(1);
  _XPrivDisplay display = static_cast<_XPrivDisplay>(calloc(1, sizeof *display));
  display->display_name = displayName;
  GlxLibraryInstance *instance = newInstance(display);
  {
    FakeCore::Current current(client);
    size_t at = 1;
    while (at + 4 <= size) {
      uint8_t kind = data[at], selector = data[at + 1];
      size_t length = data[at + 2] | size_t(data[at + 3]) << 8;
      at += 4;
      if (length > size - at) length = size - at;
      runRecord(instance, big, kind, selector, data + at, length);
      at += length;
    }
  }
  fakeglCheckReads(0);
  freeInstance(instance);
  free(display);
  // What the client was answered is read and dropped.
  core->messages(client);
  return 0;
}
