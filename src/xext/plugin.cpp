// Plug-in libraries: dlopen by name list, sharing of loaded libraries, symbols with a stand-in,
// reference-counted unloading.
#include "xext/plugin.h"

#include <dlfcn.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "support/circlist.h"
#include "support/strtemp.h"

namespace {

// The list of loaded libraries; first->previous is the last record.
PluginLibrary *pluginList = nullptr;

// The loader's latest message, or a neutral text when it has none to give.
const char *loaderMessage() {
  const char *message = dlerror();
  return message ? message : "unknown error";
}

bool endsInSo(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view tail = name.substr(dot);
  return tail.size() == 3 && strncasecmp(tail.data(), ".so", 3) == 0;
}

// The path dlopen gets for one name of the list.
std::string pathForName(std::string_view name) {
  if (name.starts_with('/') || name.starts_with("lib") || endsInSo(name)) return std::string(name);
  std::string path = "lib";
  path += name;
  path += ".so";
  return path;
}

PluginLibrary *findByPath(const std::string &path) {
  for (PluginLibrary *lib = pluginList; lib; lib = lib->next)
    if (path == lib->path) return lib;
  return nullptr;
}

PluginLibrary *findByHandle(void *handle) {
  for (PluginLibrary *lib = pluginList; lib; lib = lib->next)
    if (lib->handle == handle) return lib;
  return nullptr;
}

// One more user. The count is 16 bits: rather than wrap (and let a later unload close a library
// that 65536 users still hold), a library with that many users is simply never unloaded.
void addReference(PluginLibrary *lib) {
  if (lib->references < UINT16_MAX)
    lib->references++;
  else
    lib->flags |= kPluginNeverUnload;
}

int dlopenMode(uint16_t flags) {
  int mode = (flags & kPluginLoadNow) ? RTLD_NOW : RTLD_LAZY;
  if (flags & kPluginLoadGlobal) mode |= RTLD_GLOBAL;
  return mode;
}

}  // namespace

const char *pluginLoad(const char *names, const void *, uint16_t flags, PluginLibrary **out) {
  const char *error = "No library name given";
  std::string_view list = names ? names : "";
  while (!list.empty()) {
    size_t colon = list.find(':');
    std::string_view name = list.substr(0, colon);
    list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    if (name.empty()) continue;

    std::string path = pathForName(name);
    if (path.size() >= kPluginPathSize) {
      // Cutting it to size could name another library: refuse it as unopenable.
      error = strTempPrintf("Can't open library '%s': %s", path.c_str(), strerror(ENAMETOOLONG));
      continue;
    }
    if (PluginLibrary *known = findByPath(path)) {
      addReference(known);
      *out = known;
      return nullptr;
    }
    dlerror();
    void *handle = dlopen(path.c_str(), dlopenMode(flags));
    if (!handle) {
      error = strTempPrintf("Can't open library '%s': %s", path.c_str(), loaderMessage());
      continue;
    }
    // The loader may resolve this path to a library opened under another name: share that
    // record and give the loader's extra reference back.
    if (PluginLibrary *same = findByHandle(handle)) {
      pluginClose(handle);
      addReference(same);
      *out = same;
      return nullptr;
    }
    auto *lib = static_cast<PluginLibrary *>(calloc(1, sizeof(PluginLibrary)));
    if (!lib) {
      pluginClose(handle);
      return OUT_OF_MEMORY_TEXT_AT("Xext/plugin");
    }
    lib->handle = handle;
    lib->flags = flags;
    lib->references = 0;
    memcpy(lib->path, path.c_str(), path.size() + 1);
    circListPushBack(&pluginList, lib);
    *out = lib;
    return nullptr;
  }
  return error;
}

const char *pluginPath(const PluginLibrary *lib) { return lib ? lib->path : ""; }

void *pluginStub() { return nullptr; }

const char *pluginSymbol(PluginLibrary *lib, const char *symbolName, void **out) {
  dlerror();  // a stale message must not be reported for this look-up
  void *address = dlsym(lib->handle, symbolName);
  if (address) {
    *out = address;
    return nullptr;
  }
  *out = reinterpret_cast<void *>(&pluginStub);
  return strTempPrintf("No %s() in %s (%s)", symbolName, lib->path, loaderMessage());
}

const char *pluginUnload(PluginLibrary *lib) {
  if (!lib) return nullptr;
  if (lib->references != 0) {
    lib->references--;
    return nullptr;
  }
  if (lib->flags & kPluginNeverUnload) return nullptr;
  if (const char *error = pluginClose(lib->handle)) return error;
  circListUnlink(&pluginList, lib);
  free(lib);
  return nullptr;
}

const char *pluginClose(void *handle) {
  dlerror();
  if (dlclose(handle) == 0) return nullptr;
  return strTempDup(loaderMessage());
}
