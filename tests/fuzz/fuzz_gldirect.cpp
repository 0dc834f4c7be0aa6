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
// Kinds 0-5 are gldirectrecords.h's; 6 the tag, context and drawable operations, 7 the grab's
// end.
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
#include "gldirectrecords.h"
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

void worldInit() {
  if (core) return;
  core = new FakeCore;
  MetaScreen *screen = core->addScreen(1024, 768, 1);
  head = core->heads(screen)[0];
  clients[0] = &core->addClient(false);
  clients[1] = &core->addClient(true);
  configRecord.lumoraMemory = kKorvanDefaultLumoraMemory;
  glxdirectSyncClient = [](ClientConnection *, Display *) {};
  // No server: a font of 256 characters whose size the font id gives, up to 4096 pixels.
  glxdirectQueryFont = [](Display *, Font font, XFontStruct **metrics) -> const char * {
    auto *made = static_cast<XFontStruct *>(calloc(1, sizeof(XFontStruct)));
    if (!made) return "no memory";
    made->max_char_or_byte2 = 255;
    made->max_bounds.rbearing = short(font % 4096);
    made->max_bounds.ascent = short(font / 4096 % 4096);
    *metrics = made;
    return nullptr;
  };
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
  if (instance->library) pluginUnload(instance->library);  // loaded anew by a reload
  glxdirectFreeUnlisted(instance);
}

// One record on a heap block of exactly its size (at least one byte), live for the call.
void runRecord(GlxLibraryInstance *instance, bool big, uint8_t kind, uint8_t selector, const uint8_t *bytes,
               size_t length) {
  // Vendor commands read the request's 12-byte header before their data.
  size_t header = gldirectRecordHeader(kind);
  size_t size = header + length;
  std::unique_ptr<uint8_t[]> block(new uint8_t[size ? size : 1]);
  if (size) memset(block.get(), 0, header);
  if (length) memcpy(block.get() + header, bytes, length);
  uint8_t *data = block.get() + header;
  fakeglAddLiveRegion(data, length);
  uint32_t slot = 1 + (selector & 1), operation = selector >> 1;
  std::span<const uint8_t> in(data, length);
  if (gldirectRunRecord(instance, head, big, kind, slot, operation, data, length)) {
    fakeglClearLiveRegions();
    return;
  }
  auto word = [](std::span<const uint8_t> bytes, size_t at) { return gldirectWord(bytes.data(), bytes.size(), at); };
  switch (kind % 8) {
    case 6: {  // tags, contexts and drawables
      if (big) gldirectSwapWords(data, length);
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
    default:  // no context current, as after a tag's end
      glxdirectReleaseCurrent(instance);
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
