// Fuzz target: GL executed inside the proxy on Mesa's own GL library (software rendering), on a
// private Xvfb that the target starts once per process. It finds what the fake library cannot
// show: the library's hangs, its writes into a drawable the server no longer has, its own
// misreads. Mesa itself is not instrumented: AddressSanitizer sees its heap blocks (malloc is
// the sanitizer's) but not its reads inside them; libFuzzer's -timeout catches its hangs.
//
// Each input sets up two contexts of the instance, each current in a tag slot of its own on a
// window of its own, belonging to one client or to two (the fake core's clients of either byte
// order, whose lumoraMemory is the budget), runs the input's records, and takes everything down
// again as a leaving client would. After every record the heap the process holds is checked
// against the budget plus a margin (the proxy's own scratch limit and what the library keeps
// beside what is counted): a request that makes the library take more memory than the client's
// budget allows aborts the run with a clear message. The resident set is checked per input.
//
// Input: one byte of options (bit 0: the client sends most significant byte first; bit 1: the
// second context shares objects with the first; bit 2: both contexts belong to one client),
// then records of [kind, selector, length low, length high] and length bytes (cut at the
// input's end; kind bit 4: one more length byte follows, bits 16-23). The selector's low bit
// picks the context k (0 or 1) and with it the tag slot it is current in (0 when it is current
// in none) and the client it belongs to (the current client while the record runs); the other
// bits the operation. Kinds 0-5 are gldirectrecords.h's; 6 the drawable and context lifetimes
// (below: operation % 10); 7 the grab's end.
#include "gldirectrecords.h"
// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"
#include "xext/glxdirect.h"

#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fuzzharness.h"
#include "proxy/clientconnection.h"
#include "proxy/korvanparser.h"
#include "support/logging.h"
#include "xclient/xtarget.h"
#include "xvfb_fixture.h"

// The sanitizer runtime's count of heap bytes in use (weak: a build without it counts through
// mallinfo2).
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

// Mesa's driver keeps memory per Display and per context it never gives back: the world is
// kept for the process, leaks are not this target's subject.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

constexpr uint32_t kGlx14 = 68;
const char *const kLibrary = "libGL:libGL.so.1";
// The budget of each client in this world. The heap may hold beyond what it held after the
// world was made: twice the budgets of both clients (what is counted is an estimate of what the
// library keeps), the proxy's own scratch buffer at its size now (bounded by
// kGlxDirectScratchLimit), and a margin for the library's caches and state.
constexpr uint64_t kBudget = uint64_t(64) << 20;
constexpr uint64_t kHeapMargin = 2 * 2 * kBudget + (uint64_t(64) << 20);
// The resident set, per input, a backstop for what the heap count does not see (the library's
// own mappings): the heap margin, the scratch limit, the library's code and caches paged in
// later, and what the allocator keeps of freed memory (AddressSanitizer's quarantine, 256 MB).
constexpr uint64_t kResidentMargin = kHeapMargin + kGlxDirectScratchLimit + (uint64_t(768) << 20);
constexpr int kWindowSize = 32;

// The world: made on first use, kept for the process (the Xvfb is killed when the process ends).
struct World {
  XvfbServer server;
  Display *display = nullptr;
  GlxLibraryInstance *instance = nullptr;
  FakeCore *core = nullptr;
  FakeClient *clients[2] = {};  // little and big endian
  Head *head = nullptr;
  uint32_t visual = 0;  // a single-buffered RGBA visual with depth and stencil
  int depth = 0;
  Visual *xvisual = nullptr;
  Colormap colormap = 0;
  std::vector<uint32_t> fbConfigs;  // GLX_FBCONFIG_ID of the screen's configs that make pbuffers
  uint64_t heapBase = 0;
  uint64_t residentBase = 0;
};
World *world;

uint64_t heapInUse() {
  if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// VmRSS of /proc/self/status in bytes (0 when unreadable).
uint64_t residentSet() {
  FILE *status = fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  uint64_t kilobytes = 0;
  while (fgets(line, sizeof line, status))
    if (sscanf(line, "VmRSS: %lu kB", &kilobytes) == 1) break;
  fclose(status);
  return kilobytes * 1024;
}

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "fuzz_gldirect_mesa: %s\n", what);
  abort();
}

void worldInit() {
  if (world) return;
  world = new World;
  // One rasteriser thread per context: no threads of the library's own outlive a context.
  setenv("LP_NUM_THREADS", "0", 0);
  static char name[] = "fuzz_gldirect_mesa", *argv[] = {name, nullptr};
  logInit(1, argv, "", "");
  XvfbOptions options;
  options.screens = {"320x240x24", "160x120x24"};
  options.iglx = true;
  if (std::string failed = world->server.start(options); !failed.empty()) die(("Xvfb: " + failed).c_str());
  world->display = XOpenDisplay(world->server.displayName().c_str());
  if (!world->display) die("cannot open the Xvfb's display");
  XSetErrorHandler(xtargetTrapErrorHandler);
  GlCapabilities caps;
  if (const char *failure = glxdirectSetupDisplay(kLibrary, kGlx14, world->display, 0, &world->instance, &caps))
    die(failure);
  const GlFunctionTable &gl = world->instance->functions;
  int attributes[] = {GLX_RGBA,      GLX_RED_SIZE,     8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8,
                      GLX_DEPTH_SIZE, 16, GLX_STENCIL_SIZE, 8, None};
  XVisualInfo *visual = gl.glXChooseVisual(world->display, 0, attributes);
  if (!visual) die("no single-buffered RGBA visual with depth and stencil");
  world->visual = uint32_t(visual->visualid);
  world->depth = visual->depth;
  world->xvisual = visual->visual;
  world->colormap = XCreateColormap(world->display, RootWindow(world->display, 0), visual->visual, AllocNone);
  XFree(visual);
  int count = 0;
  if (GLXFBConfig *configs = gl.glXGetFBConfigs(world->display, 0, &count)) {
    for (int k = 0; k < count; k++) {
      int id = 0, drawables = 0;
      gl.glXGetFBConfigAttrib(world->display, configs[k], GLX_FBCONFIG_ID, &id);
      gl.glXGetFBConfigAttrib(world->display, configs[k], GLX_DRAWABLE_TYPE, &drawables);
      if (drawables & GLX_PBUFFER_BIT) world->fbConfigs.push_back(uint32_t(id));
    }
    XFree(configs);
  }
  if (world->fbConfigs.empty()) die("no FB config makes pbuffers");

  world->core = new FakeCore;
  MetaScreen *screen = world->core->addScreen(1024, 768, 1);
  world->head = world->core->heads(screen)[0];
  world->clients[0] = &world->core->addClient(false);
  world->clients[1] = &world->core->addClient(true);
  configRecord.lumoraMemory = kBudget;
  // The proxy parks a client behind a round trip on its own connection; here nothing is
  // forwarded, so there is nothing to wait for.
  glxdirectSyncClient = [](ClientConnection *, Display *) {};
  XSync(world->display, False);
  world->heapBase = heapInUse();
  world->residentBase = residentSet();
}

// One input's state: the two contexts (serial 0 once destroyed), their tag slots (0 when not
// current), the windows made (0 once destroyed) and the pbuffers.
struct Run {
  bool big = false;
  FakeClient *owner[2] = {};
  uint32_t serial[2] = {};
  uint32_t slot[2] = {};
  uint32_t proxyTag = 0x40;
  std::vector<Window> windows;
  uint32_t drawable[2] = {};  // what each context is current on
  // Pbuffers with the client they are counted for and their bytes (given back at their end).
  struct Pbuffer {
    uint32_t id;
    ClientConnection *owner;
    uint64_t bytes;
  };
  std::vector<Pbuffer> pbuffers;
  // A GLX pixmap of the instance on an X pixmap (made at the first BindTexImageEXT; 0: none).
  Pixmap pixmap = 0;
  uint32_t glxPixmap = 0;
};

void destroyGlxPixmap(Run &run) {
  if (run.glxPixmap) glxdirectDestroyGLXPixmap(world->instance, run.glxPixmap);
  if (run.pixmap) XFreePixmap(world->display, run.pixmap);
  run.glxPixmap = 0;
  run.pixmap = 0;
}

// BindTexImageEXT (ReleaseTexImageEXT) of the run's GLX pixmap under k's slot, the vendor
// command as the dispatcher hands it over (12 bytes of request header in front).
void bindTexImage(Run &run, uint32_t k, bool release, uint32_t buffer, bool noDrawable) {
  if (!run.pixmap) {
    run.pixmap = XCreatePixmap(world->display, RootWindow(world->display, 0), kWindowSize, kWindowSize,
                               unsigned(world->depth));
    run.glxPixmap = glxdirectCreateGLXPixmap(world->instance, 0, world->visual, uint32_t(run.pixmap));
  }
  uint32_t request[6] = {0, release ? 1331u : 1330u, run.slot[k], noDrawable ? 0 : run.glxPixmap, buffer, 0};
  glxdirectVendorPrivate(world->instance, run.slot[k], request[1], reinterpret_cast<uint8_t *>(request + 3),
                         reinterpret_cast<uint8_t *>(request + 6), world->head);
}

void destroyPbuffer(const Run::Pbuffer &pbuffer) {
  glxdirectDestroyPbuffer(world->instance, pbuffer.id);
  glxdirectRefund(pbuffer.owner, pbuffer.bytes);
}

Window newWindow() {
  XSetWindowAttributes set{};
  set.colormap = world->colormap;
  set.border_pixel = 0;
  set.background_pixel = 0;
  Window window = XCreateWindow(world->display, RootWindow(world->display, 0), 0, 0, kWindowSize, kWindowSize, 0,
                                world->depth, InputOutput, world->xvisual, CWColormap | CWBorderPixel | CWBackPixel,
                                &set);
  XMapWindow(world->display, window);
  return window;
}

// A core DestroyWindow as the proxy handles it for a head with an instance: the window tree's
// destroy tells the instance (glxdirectWindowGone, which marks the slots drawing into it gone)
// before the request goes to the real server (here on the instance's own connection). Keep this
// in step with windowDestroy's calls into the in-proxy GL path.
void destroyWindow(Window window) {
  glxdirectDrawableGone(world->instance, uint32_t(window));
  XDestroyWindow(world->display, window);
  XFlush(world->display);
}

// Context k made current on the drawable (a MakeCurrent): its old tag goes first, as the
// proxy releases a client's previous tag.
void makeCurrent(Run &run, uint32_t k, uint32_t drawable) {
  if (run.slot[k]) dGLDestroyTag(world->instance, run.slot[k]);
  run.slot[k] = 0;
  if (!run.serial[k] || !drawable) return;
  run.slot[k] = glxdirectCreateTag(world->instance, run.serial[k], drawable, drawable, ++run.proxyTag);
  run.drawable[k] = drawable;
}

// The client of context k leaves: its tags released, its contexts destroyed (its pbuffers stay
// with the run: the proxy destroys them with the client's resources, after its contexts).
void clientLeaves(Run &run, uint32_t k) {
  FakeClient *leaving = run.owner[k];
  for (uint32_t j = 0; j < 2; j++)
    if (run.owner[j] == leaving && run.slot[j]) {
      dGLDestroyTag(world->instance, run.slot[j]);
      run.slot[j] = 0;
    }
  for (uint32_t j = 0; j < 2; j++)
    if (run.owner[j] == leaving && run.serial[j]) {
      dGLDestroyContext(world->instance, run.serial[j]);
      run.serial[j] = 0;
    }
}

// Kind 6: drawable and context lifetimes, each as the proxy calls the instance for the request.
void lifetime(Run &run, uint32_t k, uint32_t operation, const uint8_t *data, size_t length) {
  auto u = [&](size_t n) { return gldirectWord(data, length, 4 * n); };
  GlxLibraryInstance *instance = world->instance;
  switch (operation % 10) {
    case 0:  // a core DestroyWindow of the window context k is current on
      for (Window &window : run.windows)
        if (window && window == run.drawable[k]) {
          destroyWindow(window);
          window = 0;
        }
      break;
    case 1:  // MakeCurrent None
      makeCurrent(run, k, 0);
      break;
    case 2: {  // MakeCurrent on a window: its own, the other context's, or a new one
      uint32_t choice = u(0) % 3;
      if (choice == 2 && run.windows.size() < 8) run.windows.push_back(newWindow());
      uint32_t drawable = choice == 0 ? run.drawable[k] : choice == 1 ? run.drawable[1 - k] : run.windows.back();
      makeCurrent(run, k, drawable);
      break;
    }
    case 3: {  // a pbuffer, counted as the proxy counts it; made current when asked
      uint32_t width = u(1) % 1024, height = u(2) % 1024;
      uint64_t bytes = uint64_t(width) * height * kGlxDirectPixelBytes;
      if (run.pbuffers.size() >= 4 || !glxdirectCharge(bytes)) break;
      uint32_t id = glxdirectCreatePbuffer(instance, 0, world->fbConfigs[u(0) % world->fbConfigs.size()], width,
                                           height, u(3) & 2, 1);
      if (!id) {
        glxdirectRefund(run.owner[k]->client, bytes);
        break;
      }
      run.pbuffers.push_back({id, run.owner[k]->client, bytes});
      if (u(3) & 1) makeCurrent(run, k, id);
      break;
    }
    case 4:  // DestroyPbuffer of the latest
      if (!run.pbuffers.empty()) {
        destroyPbuffer(run.pbuffers.back());
        // Its id names nothing from here on: a MakeCurrent on it fails before the library (the
        // proxy finds no such drawable), as one on no drawable.
        for (uint32_t &drawable : run.drawable)
          if (drawable == run.pbuffers.back().id) drawable = 0;
        run.pbuffers.pop_back();
      }
      break;
    case 5:  // the client of context k leaves
      clientLeaves(run, k);
      break;
    case 6:
      glxdirectUseXFont(instance, run.slot[k], u(0), u(1), u(2) % 256, u(3));
      break;
    case 7:
      glxdirectSwapBuffers(instance, run.slot[k], run.drawable[k]);
      break;
    case 8:
      bindTexImage(run, k, u(0) & 1, u(1), u(2) & 1);
      break;
    default:
      destroyGlxPixmap(run);
      break;
  }
}

// The most the heap held over the base in this input (TARVO_FUZZ_VERBOSE prints it per input).
uint64_t heapPeak;

// The record running now, for the message of a check that fails: kind, selector, length and
// its first bytes in hex.
char recordText[160];

void describeRecord(uint8_t kind, uint8_t selector, const uint8_t *bytes, size_t length) {
  int at = snprintf(recordText, sizeof recordText, "record kind %u selector %u length %zu:", kind, selector, length);
  for (size_t k = 0; k < length && k < 32 && at < int(sizeof recordText) - 4; k++)
    at += snprintf(recordText + at, sizeof recordText - size_t(at), " %02x", bytes[k]);
}

void checkHeap(const char *when) {
  uint64_t heap = heapInUse();
  if (heap > world->heapBase && heap - world->heapBase > heapPeak) heapPeak = heap - world->heapBase;
  if (heap > world->heapBase + kHeapMargin + world->instance->scratchSize) {
    char text[400];
    snprintf(text, sizeof text,
             "the heap grew by %llu MB %s (budget %llu MB per client): allocation beyond the budget; last %s",
             (unsigned long long)((heap - world->heapBase) >> 20), when, (unsigned long long)(kBudget >> 20),
             recordText);
    die(text);
  }
}

void runRecord(Run &run, uint8_t kind, uint8_t selector, const uint8_t *bytes, size_t length) {
  size_t header = gldirectRecordHeader(kind);
  size_t size = header + length;
  std::unique_ptr<uint8_t[]> block(new uint8_t[size ? size : 1]);
  if (size) memset(block.get(), 0, header);
  if (length) memcpy(block.get() + header, bytes, length);
  uint8_t *data = block.get() + header;
  uint32_t k = selector & 1, operation = selector >> 1;
  FakeCore::Current current(*run.owner[k]);
  if (gldirectRunRecord(world->instance, world->head, run.big, kind, run.slot[k], operation, data, length)) return;
  if (kind % 8 == 6) {
    if (run.big) gldirectSwapWords(data, length);
    lifetime(run, k, operation, data, length);
  } else {
    glxdirectReleaseCurrent(world->instance);
  }
}

// Everything of the run taken down as its clients leave; the instance is left as it was made.
void takeDown(Run &run) {
  for (uint32_t k = 0; k < 2; k++) {
    FakeCore::Current current(*run.owner[k]);
    clientLeaves(run, k);
  }
  glxdirectReleaseCurrent(world->instance);
  for (const Run::Pbuffer &pbuffer : run.pbuffers) destroyPbuffer(pbuffer);
  destroyGlxPixmap(run);
  for (Window window : run.windows)
    if (window) XDestroyWindow(world->display, window);
  XSync(world->display, False);
  if (world->instance->contexts) die("a context of the run is still listed");
  for (uint32_t s = 1; s < kGlxDirectTagSlots; s++)
    if (world->instance->tagSlots[s].context) die("a tag slot of the run is still in use");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  worldInit();
  Run run;
  heapPeak = 0;
  run.big = data[0] & 1;
  bool shared = data[0] & 2, oneClient = data[0] & 4;
  FakeClient &first = *world->clients[run.big ? 1 : 0];
  run.owner[0] = &first;
  run.owner[1] = oneClient ? &first : world->clients[run.big ? 0 : 1];
  for (FakeClient *client : world->clients) client->client->lumoraBytes = 0;
  for (uint32_t k = 0; k < 2; k++) {
    FakeCore::Current current(*run.owner[k]);
    run.windows.push_back(newWindow());
    run.serial[k] = dGLCreateContext(world->instance, 0, world->visual, shared && k == 1 ? run.serial[0] : 0, nullptr);
    if (!run.serial[k]) die("the library made no context");
    makeCurrent(run, k, uint32_t(run.windows.back()));
  }
  XSync(world->display, False);
  size_t at = 1;
  while (at + 4 <= size) {
    uint8_t kind = data[at], selector = data[at + 1];
    size_t length = data[at + 2] | size_t(data[at + 3]) << 8;
    at += 4;
    if (kind & 0x10 && at < size) length |= size_t(data[at++]) << 16;
    if (length > size - at) length = size - at;
    describeRecord(kind, selector, data + at, length);
    runRecord(run, kind, selector, data + at, length);
    at += length;
    checkHeap("in a record");
  }
  takeDown(run);
  checkHeap("after the run");
  uint64_t resident = residentSet();
  if (resident > world->residentBase + kResidentMargin) {
    char text[160];
    snprintf(text, sizeof text, "the resident set grew by %llu MB over the run (budget %llu MB per client)",
             (unsigned long long)((resident - world->residentBase) >> 20), (unsigned long long)(kBudget >> 20));
    die(text);
  }
  if (getenv("TARVO_FUZZ_VERBOSE"))
    fprintf(stderr, "fuzz_gldirect_mesa: heap peak +%llu MB, resident +%lld MB\n", (unsigned long long)(heapPeak >> 20),
            (long long)(resident >> 20) - (long long)(world->residentBase >> 20));
  // What the clients were answered is read and dropped.
  for (FakeClient *client : world->clients) world->core->messages(*client);
  return 0;
}
