// Fibers: a function run on a stack of its own on the calling thread, which can stand still
// where it is (fiberYield) and be resumed later, while the thread goes on with other work.
// Work that may take longer than one turn of the event loop runs so: it yields at points where
// it can stand still, and the loop resumes it at its next turn. Event-loop thread only.
#pragma once

struct Fiber;

using FiberFunction = void (*)(void *argument);

// Runs function(argument) on a new fiber until it returns or yields. Returns the fiber when it
// yielded (resume it with fiberResume), NULL when the function has returned. On a fiber
// already, or when no stack can be had, the function runs on the caller's stack (where a yield
// suspends the fiber that runs it, if any).
Fiber *fiberStart(FiberFunction function, void *argument);
// Resumes a yielded fiber until it yields again (true) or its function returns (false: the
// fiber and its stack are given back). Never call it for the fiber that runs.
bool fiberResume(Fiber *fiber);
// Whether the caller runs on a fiber, which fiberYield may suspend.
bool fiberRunning();
// Suspends the fiber that runs; returns when it is resumed. Nothing outside a fiber.
void fiberYield();

// Runs function(argument) at once on a stack of `bytes` of its own (mapped on demand like a
// fiber's, given back when the function returns), from the thread's stack or from a fiber. For
// calls that may recurse deeper than a fiber's stack allows. The function must not stand still:
// fiberYield does nothing inside it. When no such stack can be had (the address space or the
// system's overcommit refuses it) the stack is halved until one can, down to kFiberStackBytes;
// returns the bytes of the stack it ran on (0: none could be had, the function did not run).
unsigned long fiberCallOnStack(FiberFunction function, void *argument, unsigned long bytes);

// The stack of a fiber: mapped on demand (only the pages touched take memory), with a guard
// page below it. A few stacks given back are kept for the next fibers.
constexpr unsigned long kFiberStackBytes = 8ul << 20;
