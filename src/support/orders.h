// The event loop: idle, descriptor, one-shot timer and quiet-time orders around one wait for
// ready descriptors (epoll: a wait costs by what is ready, not by how many descriptors are open).
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>

using OrderCallback = void (*)(void *argument);

// One registration. Orders are cancelled by clearing the callback; the loop frees the record
// when a later pass meets it, so a callback may cancel any order, its own included.
struct Order {
  Order *next;               // following order of its list, NULL at the end
  Order *prev;               // preceding order; the first order's prev is the last one
  OrderCallback callback;    // NULL: cancelled (or a one-shot timer that has fired)
  void *argument;
  struct pollfd *pollSlot;   // descriptor orders only: its entry of the descriptor table
  uint64_t time;             // ms: time left (timer), quiet time, all ones (idle); 0 when done
  uint64_t serial;           // descriptor orders: when registered (the newest runs first)
  uint8_t paused;            // descriptor orders: stands still (ordersPause)
};

constexpr int kOrdersPollSlots = 4096;
constexpr uint64_t kOrdersSentinelMs = 3600000;  // longest single wait: one hour
constexpr uint64_t kOrdersClockJumpMs = 20000;   // most a clock jump ages timers beyond the next wake-up

// The loop's millisecond clock (CLOCK_MONOTONIC); tests may replace it.
using OrdersClock = uint64_t (*)();
extern OrdersClock ordersClock;
uint64_t ordersMonotonicMs();
// The same clock in nanoseconds, for short intervals; never replaced.
int64_t ordersMonotonicNs();

void ordersInit();

// Registration returns NULL after a problem report when no memory is left. The descriptor
// orders also fail when all 4096 poll entries are taken; `failure` (optional) then receives
// the failure text and the caller refuses the descriptor.
Order *ordersAddIdle(OrderCallback callback, void *argument);
Order *ordersAddReader(int fd, OrderCallback callback, void *argument, const char **failure = nullptr);
Order *ordersAddWriter(int fd, OrderCallback callback, void *argument, const char **failure = nullptr);
// Fires when the peer has shut its writing side or the descriptor broke (POLLRDHUP, POLLHUP,
// POLLERR), whatever unread bytes it holds: a socket that is not read still shows its end.
// halfToo false: only the end of both directions or a broken descriptor (POLLHUP, POLLERR).
Order *ordersAddHangupWatch(int fd, OrderCallback callback, void *argument, bool halfToo = true);
Order *ordersAddTimer(uint64_t delay, OrderCallback callback, void *argument);
Order *ordersAddQuietTimer(uint64_t quietTime, OrderCallback callback, void *argument);

// A descriptor order that stands still: it keeps its entry but waits for nothing and is not run
// until resumed (a client's reader while the client waits for its turn). Costs no call of the
// system when the descriptor stays quiet meanwhile. Other orders are left alone.
void ordersPause(Order *order);
void ordersResume(Order *order);
int ordersHasReader(int fd);
void ordersCancel(Order *order);  // NULL is ignored
uint32_t ordersStep(uint64_t timeout);
// Work that runs between two steps of ordersRun, on the loop's thread outside any step (NULL:
// none): a non-zero value ends the run with that value, as a stop would.
using OrdersBetweenSteps = uint32_t (*)();
void ordersSetBetweenSteps(OrdersBetweenSteps work);
uint32_t ordersRun();
uint32_t ordersRunFor(uint64_t duration);
void ordersStop(uint32_t value);
uint64_t ordersTimeLeft(const Order *order);
void ordersFreeAll();
void ordersNoOp(void *argument);

// A request that a peer answers at once has gone out (written when this pass ends): the next
// wait polls without sleeping for a few microseconds first, so the answer is taken up without
// a process wake-up. The loop also does so on its own after a blocking wait that ended quickly.
void ordersExpectAnswer();
// Whether the next wait starts with such a spin (for tests).
bool ordersSpinsNext();

// Called by an idle order that stays armed with work left: the wait of this step does not sleep
// (an idle order added during the idle pass has the same effect).
void ordersNoWait();
// The passes of the loop begun so far: each step's idle pass and its descriptor pass count
// one each, and so does the end of a step, so that work shared out per pass can tell when a new
// one began.
uint64_t ordersPassNumber();
// Whether a step of the loop is running (a caller between steps, at start-up or in a test, is
// in no pass: what it runs shares out no pass's time).
bool ordersStepRunning();

// For signal handlers (async-signal-safe): records the stop value and writes one byte to the
// loop's self-pipe; the loop then calls ordersStop(value) on its own thread.
void ordersStopFromSignal(uint32_t value);

// Looks for ready descriptors without waiting and runs their orders now, as the descriptor pass
// of a step would (a scheduler that serves clients by turns looks between two turns): costs by
// what is ready. Not within a descriptor pass (there it returns 0 at once); returns the number of
// orders run.
uint32_t ordersPollNow();

// Inspection of the table of descriptor entries (one per descriptor order: in use, search hint),
// for diagnostics and tests.
int ordersPollInUse();
int ordersPollHint();
const struct pollfd *ordersPollTable();
