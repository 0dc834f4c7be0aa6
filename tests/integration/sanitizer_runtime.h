// Whether the test executable runs with a sanitizer's runtime. In the AddressSanitizer build
// only the code under test is instrumented, not the test code, so the compiler's
// __SANITIZE_ADDRESS__ does not tell: the runtime's own entry points do (weak references, null
// without it).
#pragma once

extern "C" void __asan_init() __attribute__((weak));
extern "C" void __tsan_init() __attribute__((weak));

inline bool testUnderSanitizer() { return &__asan_init != nullptr || &__tsan_init != nullptr; }
