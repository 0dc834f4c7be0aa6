// Loading a GL library into an instance: the tiers of missing entry points, the function
// table's entries, the X error handler hand-over, and that a GL library is never unloaded.
// Against the recording fake GL library (tests/fakegl), whose variants lack chosen names.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "fakegl.h"
#include "logcapture_helpers.h"
#include "xclient/xtarget.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xext/plugin.h"

namespace {

const std::string kDir = TARVO_FAKEGL_DIR;

std::string variant(const std::string &name) {
  return kDir + "/libtarvo_fakegl" + (name.empty() ? "" : "_" + name) + ".so";
}

bool isLoaded(const std::string &path) {
  void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

struct FreeInstance {
  void operator()(GlxLibraryInstance *instance) const { free(instance); }
};
using Instance = std::unique_ptr<GlxLibraryInstance, FreeInstance>;

Instance newInstance() {
  Instance instance(static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance))));
  instance->currentTagSlot = 7;  // the load must clear it
  return instance;
}

// The table's member names in declaration order, from the generated member list.
std::vector<std::string> memberNames() {
  std::ifstream in(std::string(TARVO_SOURCE_DIR) + "/src/xext/glfunctions.inc");
  std::vector<std::string> names;
  std::string line;
  std::regex member(R"(\(\*(\w+)\)\()");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, member)) names.push_back(m[1]);
  return names;
}

void *stub() { return reinterpret_cast<void *>(&pluginStub); }

class GlxDirectLoad : public ::testing::Test {
 protected:
  void SetUp() override { fakeglReset(); }
  void TearDown() override { fakeglReset(); }
  // Loads the variant at the start code; the failure text or "".
  std::string load(const std::string &name, uint32_t code) {
    path = variant(name);
    const char *failure = glxdirectLoadFunctions(path.c_str(), code, instance.get());
    return failure ? failure : "";
  }
  std::vector<std::string> steps() const { return log.on(logChannelStep); }
  void release() {
    if (instance->library) {
      EXPECT_EQ(pluginUnload(instance->library), nullptr);
    }
    instance->library = nullptr;
  }

  LogCapture log;
  Instance instance = newInstance();
  std::string path;
};

// Every entry holds the library's own function of that name, or the stub for the names no
// library exports; the load calls nothing in the library but the error handler hand-over.
TEST_F(GlxDirectLoad, FillsEveryEntryByName) {
  ASSERT_EQ(load("", 67), "");
  ASSERT_NE(instance->library, nullptr);
  EXPECT_EQ(instance->currentTagSlot, 0u);
  EXPECT_EQ(steps(), (std::vector<std::string>{"Lumora: Loading " + path + " ...",
                                               "Lumora: Resolving functions of " + path + " ..."}));

  std::vector<std::string> names = memberNames();
  ASSERT_EQ(names.size(), sizeof(GlFunctionTable) / sizeof(void *));
  ASSERT_EQ(names.size(), 609u);
  void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto *entries = reinterpret_cast<void *const *>(&instance->functions);
  int stubs = 0;
  for (size_t i = 0; i < names.size(); i++) {
    void *own = dlsym(handle, names[i].c_str());
    EXPECT_EQ(entries[i], own ? own : stub()) << names[i];
    stubs += own == nullptr;
  }
  dlclose(handle);
  EXPECT_EQ(stubs, 7);  // the placeholders
  EXPECT_EQ(instance->functions.glDummyFunc1, reinterpret_cast<void (*)()>(&pluginStub));
  EXPECT_EQ(instance->functions.doNothing1, reinterpret_cast<void (*)()>(&pluginStub));

  EXPECT_STREQ(fakeglLog(), "");     // nothing called
  EXPECT_EQ(fakeglTrapHandler(), nullptr);  // this variant has no XSetErrorHandler
  release();
}

// Calls through the entries arrive with their arguments intact (integer, double and vector
// parameters), and answers come back through out-parameters and results.
TEST_F(GlxDirectLoad, CallsThroughTheTable) {
  ASSERT_EQ(load("", 67), "");
  const int32_t dims[] = {16384, 8192};
  fakeglSetIntegers(0x0D3A, dims, 2);
  fakeglSetString(0x1F02, "4.5 Fake");
  GlFunctionTable &gl = instance->functions;
  GLint values[16] = {};
  gl.glGetIntegerv(0x0D3A, values);
  EXPECT_EQ(values[0], 16384);
  EXPECT_EQ(values[1], 8192);
  EXPECT_EQ(values[2], 0);  // the library writes what it has, no more
  EXPECT_STREQ(reinterpret_cast<const char *>(gl.glGetString(0x1F02)), "4.5 Fake");
  EXPECT_EQ(gl.glGetString(0x1F03), nullptr);
  fakeglClearLog();
  const GLfloat colour[] = {1.0f, 0.5f, 0.25f, 0.0f};
  gl.glColor4fv(colour);
  gl.glRecti(1, -2, 3, 4);
  gl.glTranslated(1.5, -2.0, 0.25);
  gl.glMultiTexCoord2sv(0x84C1, nullptr);
  EXPECT_STREQ(fakeglLog(),
               "glColor4fv({1, 0.5, 0.25, 0})\n"
               "glRecti(1, -2, 3, 4)\n"
               "glTranslated(1.5, -2, 0.25)\n"
               "glMultiTexCoord2sv(0x84C1, NULL)\n");
  release();
}

// While checking, the fake library reads an image as a library does (row length and skips of
// the unpack state, rows aligned) and the vertices a draw names: a read that starts in a live
// region and ends past it stops the process, one inside it does not.
TEST_F(GlxDirectLoad, FakeReadsWhatALibraryReads) {
  ASSERT_EQ(load("", 67), "");
  GlFunctionTable &gl = instance->functions;
  std::vector<uint8_t> image(4 * 5 * 3 + 4 * 3);  // 3 rows of 5 RGBA pixels, 3 skipped pixels
  fakeglAddLiveRegion(image.data(), image.size());
  fakeglCheckReads(1);
  gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 5);
  gl.glPixelStorei(GL_UNPACK_SKIP_PIXELS, 3);
  gl.glTexImage2D(GL_TEXTURE_2D, 0, 4, 2, 3, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.data());  // 2*20 + 5*4 bytes
  EXPECT_DEATH(gl.glTexImage2D(GL_TEXTURE_2D, 0, 4, 2, 4, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.data()),
               "glTexImage2D reads 80 bytes");
  gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  EXPECT_DEATH(gl.glDrawPixels(4096, 2, GL_RGBA, GL_UNSIGNED_BYTE, image.data()), "glDrawPixels reads 32780 bytes");
  // A vertex array of 4 2D float vertices: 4 drawn, not 5.
  const float vertices[8] = {};
  fakeglAddLiveRegion(vertices, sizeof vertices);
  gl.glVertexPointer(2, GL_FLOAT, 0, vertices);
  gl.glEnableClientState(GL_VERTEX_ARRAY);
  gl.glDrawArrays(GL_POINTS, 0, 4);
  EXPECT_DEATH(gl.glDrawArrays(GL_POINTS, 1, 4), "glDrawArrays reads 32 bytes");
  fakeglCheckReads(0);
  fakeglClearLiveRegions();
  release();
}

// A missing required entry fails the load above GL 1.0; at 1.0 it becomes the stub.
TEST_F(GlxDirectLoad, MissingRequiredEntry) {
  for (uint32_t code : {65u, 66u, 67u}) {
    SCOPED_TRACE(code);
    std::string failure = load("nocalllist", code);
    std::string prefix = "No glCallList() in " + path + " (";
    EXPECT_EQ(failure.substr(0, prefix.size()), prefix);
    EXPECT_EQ(failure.back(), ')');
    EXPECT_EQ(instance->library, nullptr);
    EXPECT_TRUE(isLoaded(path));  // never unloaded, also after a failed load
  }
  instance = newInstance();
  ASSERT_EQ(load("nocalllist", 64), "");
  EXPECT_EQ(reinterpret_cast<void *>(instance->functions.glCallList), stub());
  EXPECT_NE(reinterpret_cast<void *>(instance->functions.glCallLists), stub());
  EXPECT_EQ(instance->currentTagSlot, 0u);
  for (const std::string &step : steps()) EXPECT_EQ(step.find("glCallList"), std::string::npos) << step;
  release();
  EXPECT_TRUE(isLoaded(path));
}

// A missing GL 1.1 entry lowers 1.1 to 1.0, fails above it and does not matter below.
TEST_F(GlxDirectLoad, MissingVersionEntry) {
  ASSERT_EQ(load("nodrawpixels", 65), "");
  std::vector<std::string> lines = steps();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Lumora: No glDrawPixels(), downgrading to GL 1.0 ...");
  EXPECT_EQ(reinterpret_cast<void *>(instance->functions.glDrawPixels), stub());
  release();

  for (uint32_t code : {66u, 67u}) {
    SCOPED_TRACE(code);
    instance = newInstance();
    std::string failure = load("nodrawpixels", code);
    std::string prefix = "No glDrawPixels() in " + path + " (";
    EXPECT_EQ(failure.substr(0, prefix.size()), prefix);
    EXPECT_EQ(instance->library, nullptr);
    EXPECT_TRUE(isLoaded(path));
  }

  log.lines.clear();
  instance = newInstance();
  ASSERT_EQ(load("nodrawpixels", 64), "");
  EXPECT_EQ(steps().size(), 2u);  // below the entry's version: not even noted
  release();
}

// glDrawBuffers belongs to GL 2.0: with the start codes the proxy uses (up to GL 1.3) its
// absence is silent.
TEST_F(GlxDirectLoad, EntryAboveStartCodeIsSilent) {
  for (uint32_t code : {64u, 65u, 66u, 67u}) {
    SCOPED_TRACE(code);
    log.lines.clear();
    instance = newInstance();
    ASSERT_EQ(load("nodrawbuffers", code), "");
    EXPECT_EQ(steps().size(), 2u);
    EXPECT_EQ(reinterpret_cast<void *>(instance->functions.glDrawBuffers), stub());
    release();
  }
}

// A missing extension entry is only noted.
TEST_F(GlxDirectLoad, MissingExtensionEntry) {
  ASSERT_EQ(load("nocreatecontextattribs", 67), "");
  std::vector<std::string> lines = steps();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Lumora: No glXCreateContextAttribsARB() for GLX_ARB_create_context ...");
  EXPECT_EQ(reinterpret_cast<void *>(instance->functions.glXCreateContextAttribsARB), stub());
  release();
}

// A library whose own scope has XSetErrorHandler gets the proxy's trap handler; the others
// (without Xlib in their scope) load all the same.
TEST_F(GlxDirectLoad, HandsTheTrapHandlerToTheLibrarysXlib) {
  ASSERT_EQ(load("errorhandler", 67), "");
  EXPECT_EQ(fakeglTrapHandler(), reinterpret_cast<void *>(&xtargetTrapErrorHandler));
  EXPECT_NE(std::string(fakeglLog()).find("XSetErrorHandler("), std::string::npos);
  release();
}

// A GL library that another user opened first (without never-unload) still stays mapped when
// both have let go. (The only test here that loads this variant.)
TEST_F(GlxDirectLoad, StaysLoadedWhenAnotherUserOpenedItFirst) {
  std::string other = variant("crash");
  PluginLibrary *first = nullptr;
  ASSERT_EQ(pluginLoad(other.c_str(), nullptr, 0, &first), nullptr);
  ASSERT_EQ(load("crash", 67), "");
  EXPECT_EQ(instance->library, first);
  release();
  EXPECT_EQ(pluginUnload(first), nullptr);
  EXPECT_TRUE(isLoaded(other));
}

// Library lists: the first name that opens; none opens: the loader's text, nothing loaded.
TEST_F(GlxDirectLoad, LibraryLists) {
  std::string list = "tarvo_no_such_gl:" + variant("");
  const char *failure = glxdirectLoadFunctions(list.c_str(), 67, instance.get());
  ASSERT_EQ(failure, nullptr) << failure;
  EXPECT_EQ(std::string(pluginPath(instance->library)), variant(""));
  EXPECT_EQ(std::string(log.on(logChannelStep).at(0)), "Lumora: Loading " + list + " ...");
  release();
  EXPECT_TRUE(isLoaded(variant("")));  // after the last release too

  instance = newInstance();
  failure = glxdirectLoadFunctions("/no/such/libGL.so.1", 67, instance.get());
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("Can't open library '/no/such/libGL.so.1': ", 0), 0u) << failure;
  EXPECT_EQ(instance->library, nullptr);
  EXPECT_EQ(instance->currentTagSlot, 7u);  // nothing was loaded
}

}  // namespace
