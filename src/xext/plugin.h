// Plug-in libraries: shared libraries loaded at run time through the dynamic loader, shared by
// every user that loads the same library, with a harmless stand-in for symbols they lack, and
// unloaded when the last user lets go.
#pragma once

#include <cstddef>
#include <cstdint>

// Paths (and each name of a list) hold at most kPluginPathSize - 1 bytes; a longer one is
// refused as unopenable rather than cut, since a cut name may name another library.
constexpr size_t kPluginPathSize = 4096;

// Load flags.
constexpr uint16_t kPluginLoadNow = 0x1;      // resolve every symbol at load (else lazily)
constexpr uint16_t kPluginLoadGlobal = 0x2;   // the library's symbols serve later loads too
constexpr uint16_t kPluginNeverUnload = 0x4;  // stays loaded after its last unload

// One loaded library, in a process-wide list (the first record's previous link points at the
// last record; new records go to the end). Event-loop thread only: the list is not locked.
struct PluginLibrary {
  PluginLibrary *next;
  PluginLibrary *previous;
  void *handle;      // what dlopen returned; the record owns one reference of the loader
  uint16_t flags;    // the load flags of the load that opened it (never-unload may be added)
  uint16_t references;  // users beyond the first; at most 65535 (a load past that makes the
                        // library never-unload instead of counting further)
  char path[kPluginPathSize];  // the path given to dlopen, NUL-terminated
};

// Loads the first library of names (split at ':') that opens. A name starting with '/' or
// "lib", or ending in ".so" (any case), is the path itself; any other name becomes
// "lib" + name + ".so" (so "GL.so.1" gives "libGL.so.1.so"). A path already in the list, or one
// the loader resolves to a library already in the list, gives that record one more reference.
// unused is ignored. NULL and the record in out, or "No library name given", the last
// "Can't open library '%s': %s", or "Out of memory (Xext/plugin:%d)".
const char *pluginLoad(const char *names, const void *unused, uint16_t flags, PluginLibrary **out);
// The stored path ("" for NULL).
const char *pluginPath(const PluginLibrary *lib);
// The address of symbolName in out and NULL; when the library lacks it, pluginStub in out
// and "No %s() in %s (%s)" with the loader's message.
const char *pluginSymbol(PluginLibrary *lib, const char *symbolName, void **out);
// Stand-in for missing entry points: takes nothing, does nothing and returns a pointer-sized
// zero, so a caller reading a pointer or integer result through its own type reads 0.
void *pluginStub();
// Whether an entry point looked up by pluginSymbol is the stand-in (whatever type it was stored
// as): such an entry must not be called through a type of its own.
template <typename Fn>
bool pluginIsStub(Fn fn) {
  return reinterpret_cast<void *>(fn) == reinterpret_cast<void *>(&pluginStub);
}
// Drops one reference; the last one of a library without never-unload closes it and frees
// the record. NULL (also for lib NULL) or the loader's text (the record stays then).
const char *pluginUnload(PluginLibrary *lib);
// dlclose: NULL or the loader's text in a temporary string.
const char *pluginClose(void *handle);
