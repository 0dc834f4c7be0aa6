#include "xext/plugin.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

// Library a is always unloaded again, so its tests can see whether the loader closed it.
// Library b may be left loaded for good (never-unload tests). CTest puts TARVO_PLUGIN_DIR on
// LD_LIBRARY_PATH, so the short names find both.
namespace {

const std::string kDir = TARVO_PLUGIN_DIR;
const std::string kShortA = "libtarvo_plugin_a.so";
const std::string kPathA = kDir + "/" + kShortA;
const std::string kPathB = kDir + "/libtarvo_plugin_b.so";

// Whether the process still has the library open (without taking a reference of its own).
bool isLoaded(const std::string &path) {
  void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

std::string nameOf(PluginLibrary *lib) {
  void *symbol = nullptr;
  EXPECT_EQ(pluginSymbol(lib, "tarvoPluginName", &symbol), nullptr);
  return reinterpret_cast<const char *(*)()>(symbol)();
}

TEST(PluginLoad, NamesBecomePaths) {
  struct Row {
    std::string name, path;
    bool loads;
  };
  const Row rows[] = {
      {"tarvo_plugin_a", kShortA, true},                    // bare name: lib + name + .so
      {kShortA, kShortA, true},                             // "lib..." unchanged
      {kPathA, kPathA, true},                               // absolute path unchanged
      {"libtarvo_plugin_a", "libtarvo_plugin_a", false},    // "lib" without .so stays as is
      {"tarvo_plugin_a.so", "tarvo_plugin_a.so", false},    // ".so" unchanged, no "lib" added
      {"tarvo_plugin_a.SO", "tarvo_plugin_a.SO", false},    // ".so" in any case
      {"tarvo_plugin_a.so.1", "libtarvo_plugin_a.so.1.so", false},
      {"GL.so.1", "libGL.so.1.so", false},
      {"a.b", "liba.b.so", false},
      {"/no/such/dir/x", "/no/such/dir/x", false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PluginLibrary *lib = nullptr;
    const char *error = pluginLoad(row.name.c_str(), nullptr, 0, &lib);
    if (row.loads) {
      ASSERT_EQ(error, nullptr) << error;
      EXPECT_EQ(std::string(pluginPath(lib)), row.path);
      EXPECT_EQ(nameOf(lib), "a");
      EXPECT_EQ(pluginUnload(lib), nullptr);
    } else {
      ASSERT_NE(error, nullptr);
      std::string prefix = "Can't open library '" + row.path + "': ";
      EXPECT_EQ(std::string(error).substr(0, prefix.size()), prefix);
      EXPECT_GT(std::string(error).size(), prefix.size());  // the loader's reason follows
      EXPECT_EQ(lib, nullptr);
    }
  }
  EXPECT_FALSE(isLoaded(kPathA));
}

TEST(PluginLoad, ListsTryEachNameAndReportTheLast) {
  PluginLibrary *lib = nullptr;
  ASSERT_EQ(pluginLoad("tarvo_no_such_lib:tarvo_plugin_a", nullptr, 0, &lib), nullptr);
  EXPECT_EQ(std::string(pluginPath(lib)), kShortA);
  EXPECT_EQ(nameOf(lib), "a");
  EXPECT_EQ(pluginUnload(lib), nullptr);
  EXPECT_FALSE(isLoaded(kPathA));

  for (const char *empty : {"", ":", "::"}) {
    lib = nullptr;
    EXPECT_STREQ(pluginLoad(empty, nullptr, 0, &lib), "No library name given") << empty;
    EXPECT_EQ(lib, nullptr);
  }
  const char *error = pluginLoad("tarvo_no_such_lib:tarvo_none_either", nullptr, 0, &lib);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error).rfind("Can't open library 'libtarvo_none_either.so': ", 0), 0u) << error;
}

TEST(PluginLoad, SamePathTwiceSharesOneRecord) {
  PluginLibrary *first = nullptr, *second = nullptr;
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &first), nullptr);
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &second), nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->references, 1);
  EXPECT_EQ(pluginUnload(first), nullptr);
  EXPECT_TRUE(isLoaded(kPathA));
  EXPECT_EQ(pluginUnload(first), nullptr);
  EXPECT_FALSE(isLoaded(kPathA));
}

TEST(PluginLoad, ShortNameAndAbsolutePathShareOneRecord) {
  PluginLibrary *byName = nullptr, *byPath = nullptr;
  ASSERT_EQ(pluginLoad("tarvo_plugin_a", nullptr, 0, &byName), nullptr);
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &byPath), nullptr);
  EXPECT_EQ(byName, byPath);
  EXPECT_EQ(byName->references, 1);
  EXPECT_EQ(std::string(pluginPath(byName)), kShortA);
  // Had the second load kept its own loader reference, the library would survive these.
  EXPECT_EQ(pluginUnload(byName), nullptr);
  EXPECT_EQ(pluginUnload(byName), nullptr);
  EXPECT_FALSE(isLoaded(kPathA));
}

TEST(PluginLoad, RecordsLeaveTheListInAnyOrder) {
  PluginLibrary *a = nullptr, *b = nullptr, *again = nullptr;
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &a), nullptr);
  ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, 0, &b), nullptr);
  ASSERT_EQ(pluginUnload(a), nullptr);  // the first record goes
  EXPECT_FALSE(isLoaded(kPathA));
  ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, 0, &again), nullptr);
  EXPECT_EQ(again, b);
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &a), nullptr);  // appended behind b
  EXPECT_EQ(pluginUnload(a), nullptr);                              // the last record goes
  EXPECT_EQ(pluginUnload(b), nullptr);
  EXPECT_EQ(pluginUnload(b), nullptr);
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &a), nullptr);  // the list is whole again
  EXPECT_EQ(a->references, 0);
  EXPECT_EQ(pluginUnload(a), nullptr);
  EXPECT_FALSE(isLoaded(kPathA));
}

TEST(PluginLoad, NeverUnloadSurvivesItsLastUnload) {
  PluginLibrary *lib = nullptr, *again = nullptr;
  ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, kPluginNeverUnload | kPluginLoadNow, &lib), nullptr);
  EXPECT_EQ(pluginUnload(lib), nullptr);
  EXPECT_TRUE(isLoaded(kPathB));
  ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, 0, &again), nullptr);
  EXPECT_EQ(again, lib);  // the record stayed in the list
  EXPECT_EQ(nameOf(lib), "b");
}

TEST(PluginLoad, LoadsPastTheCountMakeTheLibraryPermanent) {
  PluginLibrary *lib = nullptr, *same = nullptr;
  ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, 0, &lib), nullptr);
  for (int i = 0; i < 65536; i++) {  // one further load more than the count holds
    ASSERT_EQ(pluginLoad(kPathB.c_str(), nullptr, 0, &same), nullptr);
    ASSERT_EQ(same, lib);
  }
  EXPECT_EQ(lib->references, 65535);
  EXPECT_TRUE(lib->flags & kPluginNeverUnload);
  for (int i = 0; i < 65537; i++) ASSERT_EQ(pluginUnload(lib), nullptr);
  EXPECT_TRUE(isLoaded(kPathB));
  EXPECT_EQ(nameOf(lib), "b");
}

TEST(PluginLoad, DefaultGlListLoadsTheVersionedName) {
  PluginLibrary *lib = nullptr;
  const char *error = pluginLoad("libGL:libGL.so.1", nullptr, kPluginNeverUnload, &lib);
  ASSERT_EQ(error, nullptr) << error;
  EXPECT_EQ(std::string(pluginPath(lib)), "libGL.so.1");
  // libGL is never unloaded here: its own clean-up is not made for that.
}

TEST(PluginLoad, PathsThatDoNotFitAreRefusedNotCut) {
  // Slashes in front make the absolute path exactly as long as a path may be.
  std::string longest = std::string(kPluginPathSize - 1 - kPathA.size(), '/') + kPathA;
  PluginLibrary *lib = nullptr;
  const char *error = pluginLoad(longest.c_str(), nullptr, 0, &lib);
  ASSERT_EQ(error, nullptr) << error;
  EXPECT_EQ(pluginUnload(lib), nullptr);
  EXPECT_FALSE(isLoaded(kPathA));

  // One byte more: the first 4095 bytes name library a, but the name is not library a.
  std::string tooLong = longest + "x";
  lib = nullptr;
  error = pluginLoad(tooLong.c_str(), nullptr, 0, &lib);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error).rfind("Can't open library '//", 0), 0u);
  EXPECT_EQ(lib, nullptr);
  EXPECT_FALSE(isLoaded(kPathA));
  // A list goes on to its next name after one that does not fit.
  ASSERT_EQ(pluginLoad((tooLong + ":" + kPathA).c_str(), nullptr, 0, &lib), nullptr);
  EXPECT_EQ(std::string(pluginPath(lib)), kPathA);
  EXPECT_EQ(pluginUnload(lib), nullptr);
}

TEST(PluginSymbol, FoundSymbolsAndTheStub) {
  PluginLibrary *lib = nullptr;
  ASSERT_EQ(pluginLoad(kPathA.c_str(), nullptr, 0, &lib), nullptr);
  void *symbol = nullptr;
  ASSERT_EQ(pluginSymbol(lib, "tarvoPluginAnswer", &symbol), nullptr);
  EXPECT_EQ(reinterpret_cast<int (*)()>(symbol)(), 41);

  const char *error = pluginSymbol(lib, "tarvoPluginMissing", &symbol);
  ASSERT_NE(error, nullptr);
  std::string text = error;
  std::string prefix = "No tarvoPluginMissing() in " + kPathA + " (";
  EXPECT_EQ(text.substr(0, prefix.size()), prefix);
  EXPECT_NE(text.find("tarvoPluginMissing", prefix.size()), std::string::npos) << text;
  EXPECT_EQ(text.back(), ')');

  // The stub stands in for entry points of any signature; value-returning ones read 0.
  EXPECT_EQ(symbol, reinterpret_cast<void *>(&pluginStub));
  EXPECT_EQ(reinterpret_cast<const unsigned char *(*)(unsigned)>(symbol)(0x1f00), nullptr);
  EXPECT_EQ(reinterpret_cast<long (*)(int, int)>(symbol)(7, 8), 0);
  reinterpret_cast<void (*)(float, double)>(symbol)(1.0f, 2.0);
  EXPECT_EQ(pluginUnload(lib), nullptr);
}

}  // namespace
