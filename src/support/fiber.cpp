// Fibers on ucontext: each runs on a stack of its own and switches with the thread's stack
// (support/fiber.h). The sanitizers are told of every switch: AddressSanitizer keeps a fake
// stack per fiber and must know which stack is in use, ThreadSanitizer keeps a state per fiber.
#include "support/fiber.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define FIBER_TSAN 1
#endif

// One fiber, from fiberStart until its function returns. Its stack holds the function's frames
// while it stands still; the record and the stack are given back by the switch that sees the
// function return.
struct Fiber {
  ucontext_t context;  // where the fiber stands (while it does not run)
  ucontext_t caller;   // where the thread went on from when the fiber was switched to
  FiberFunction function;
  void *argument;
  void *stack;         // the mapping: a guard page, then stackBytes of stack
  unsigned long stackBytes;
  bool finished;
  bool steady;         // run by fiberCallOnStack: it never stands still
#if defined(FIBER_ASAN)
  void *fakeStack;                 // the fiber's fake stack while it stands still
  const void *callerBottom;        // the stack the thread runs on outside the fiber
  size_t callerSize;
#endif
#if defined(FIBER_TSAN)
  void *tsanFiber;
  void *tsanCaller;
#endif
};

namespace {

// The fiber that runs now (NULL: the thread's own stack).
Fiber *running = nullptr;

// Stacks given back, kept for the next fibers (at most kKeptStacks).
constexpr int kKeptStacks = 4;
void *keptStacks[kKeptStacks];
int keptCount = 0;

size_t pageSize() {
  static size_t size = [] {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? size_t(page) : size_t(4096);
  }();
  return size;
}

void *mapStack(unsigned long stackBytes) {
  size_t bytes = stackBytes + pageSize();
  void *mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                       -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  // The lowest page catches an overflow instead of writing into whatever lies below.
  if (mprotect(mapping, pageSize(), PROT_NONE) != 0) {
    munmap(mapping, bytes);
    return nullptr;
  }
  return mapping;
}

void *takeStack() {
  if (keptCount > 0) return keptStacks[--keptCount];
  return mapStack(kFiberStackBytes);
}

void giveStack(void *stack, unsigned long stackBytes) {
  if (stackBytes == kFiberStackBytes && keptCount < kKeptStacks) {
    keptStacks[keptCount++] = stack;
    return;
  }
  munmap(stack, stackBytes + pageSize());
}

void *stackBottom(const Fiber *fiber) { return static_cast<char *>(fiber->stack) + pageSize(); }

// The switches. Into the fiber: from the thread's stack (or from the fiber that resumes it, as
// the caller records). Out of it: back to where it was switched to from; `leaving` when its
// function has returned (its fake stack goes with it).
void switchInto(Fiber *fiber) {
#if defined(FIBER_ASAN)
  void *callerFake = nullptr;
  __sanitizer_start_switch_fiber(&callerFake, stackBottom(fiber), fiber->stackBytes);
#endif
#if defined(FIBER_TSAN)
  fiber->tsanCaller = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(fiber->tsanFiber, 0);
#endif
  Fiber *outer = running;
  running = fiber;
  swapcontext(&fiber->caller, &fiber->context);
  running = outer;
#if defined(FIBER_ASAN)
  __sanitizer_finish_switch_fiber(callerFake, nullptr, nullptr);
#endif
}

void switchOut(Fiber *fiber, bool leaving) {
#if defined(FIBER_ASAN)
  __sanitizer_start_switch_fiber(leaving ? nullptr : &fiber->fakeStack, fiber->callerBottom, fiber->callerSize);
#endif
#if defined(FIBER_TSAN)
  __tsan_switch_to_fiber(fiber->tsanCaller, 0);
#endif
  if (leaving) {
    setcontext(&fiber->caller);
    abort();  // setcontext returns only when it failed
  }
  swapcontext(&fiber->context, &fiber->caller);
  // Resumed.
#if defined(FIBER_ASAN)
  __sanitizer_finish_switch_fiber(fiber->fakeStack, &fiber->callerBottom, &fiber->callerSize);
#endif
}

// The first frame of every fiber (makecontext passes integers: the record's address in two).
void entry(unsigned int low, unsigned int high) {
  auto *fiber = reinterpret_cast<Fiber *>(uintptr_t(low) | uintptr_t(high) << 16 << 16);
#if defined(FIBER_ASAN)
  __sanitizer_finish_switch_fiber(nullptr, &fiber->callerBottom, &fiber->callerSize);
#endif
  fiber->function(fiber->argument);
  fiber->finished = true;
  switchOut(fiber, true);
}

void freeFiber(Fiber *fiber) {
#if defined(FIBER_TSAN)
  __tsan_destroy_fiber(fiber->tsanFiber);
#endif
  giveStack(fiber->stack, fiber->stackBytes);
  delete fiber;
}

// Runs the fiber until it yields (true) or returns (false: freed).
bool run(Fiber *fiber) {
  switchInto(fiber);
  if (!fiber->finished) return true;
  freeFiber(fiber);
  return false;
}

// Makes the fiber's first context: entry(fiber) on its stack.
bool prepare(Fiber *fiber, FiberFunction function, void *argument, void *stack, unsigned long stackBytes) {
  if (getcontext(&fiber->context) != 0) return false;
  fiber->function = function;
  fiber->argument = argument;
  fiber->stack = stack;
  fiber->stackBytes = stackBytes;
  fiber->context.uc_stack.ss_sp = stackBottom(fiber);
  fiber->context.uc_stack.ss_size = stackBytes;
  fiber->context.uc_link = nullptr;
  auto address = reinterpret_cast<uintptr_t>(fiber);
  makecontext(&fiber->context, reinterpret_cast<void (*)()>(entry), 2, unsigned(address & 0xffffffffu),
              unsigned(address >> 16 >> 16));
#if defined(FIBER_TSAN)
  fiber->tsanFiber = __tsan_create_fiber(0);
#endif
  return true;
}

}  // namespace

Fiber *fiberStart(FiberFunction function, void *argument) {
  Fiber *fiber = running ? nullptr : new (std::nothrow) Fiber{};
  void *stack = fiber ? takeStack() : nullptr;
  if (!stack || !prepare(fiber, function, argument, stack, kFiberStackBytes)) {
    if (stack) giveStack(stack, kFiberStackBytes);
    delete fiber;
    function(argument);
    return nullptr;
  }
  return run(fiber) ? fiber : nullptr;
}

unsigned long fiberCallOnStack(FiberFunction function, void *argument, unsigned long bytes) {
  size_t page = pageSize();
  bytes = bytes < kFiberStackBytes ? kFiberStackBytes : (bytes + page - 1) / page * page;
  void *stack = nullptr;
  for (;;) {
    stack = mapStack(bytes);
    if (stack || bytes <= kFiberStackBytes) break;
    bytes = bytes / 2 / page * page;
    if (bytes < kFiberStackBytes) bytes = kFiberStackBytes;
  }
  if (!stack) return 0;
  Fiber *fiber = new (std::nothrow) Fiber{};
  if (!fiber || !prepare(fiber, function, argument, stack, bytes)) {
    delete fiber;
    munmap(stack, bytes + page);
    return 0;
  }
  fiber->steady = true;
  run(fiber);  // it never yields: it has returned, and is given back
  return bytes;
}

bool fiberResume(Fiber *fiber) {
  if (!fiber || fiber == running || fiber->finished) return false;
  return run(fiber);
}

bool fiberRunning() { return running && !running->steady; }

void fiberYield() {
  if (running && !running->steady) switchOut(running, false);
}
