// The crashing variant: its glXCreateContext faults on the calling thread from the start.
#include "fakegl.h"

namespace {
__attribute__((constructor)) void crashOnCreate() { fakeglSetCreateContext(kFakeglCrashCallingThread); }
}  // namespace
