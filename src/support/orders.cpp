// The event loop: one poll() over a static table of descriptor entries, with idle orders run
// before every wait, one-shot timers aged after it and quiet-time orders run after a wait
// that passed without any descriptor event.
#include "support/orders.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/circlist.h"
#include "support/logging.h"
#include "support/strings.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

// Problem reports of this module name it by its fixed source name.
#define ORDERS_SOURCE "orders.c"

namespace {

struct OrderList {
  Order *head = nullptr;
};

OrderList idleList, descriptorList, timerList, quietList;
// Set while the idle pass runs; an idle order added meanwhile waits for the next step, whose
// idle pass must not sit behind a wait for descriptors or timers: that step does not sleep.
bool inIdlePass, idleAddedInPass;
// ordersNoWait was called in this step's idle pass: its wait does not sleep.
bool noWaitAsked;
// The passes begun so far (ordersPassNumber).
uint64_t passNumber;

struct pollfd pollTable[kOrdersPollSlots];
int pollInUse = 0;  // one past the highest used entry
int pollHint = 0;   // where the search for a free entry starts

Order sentinel;            // the next wake-up when no live timer or quiet order is nearer
Order *nextWake = &sentinel;
uint64_t timeBase = 0;     // loop clock at the last timer pass
uint32_t stopValue = 0;
bool stopPending = false;  // ordersStop asked for a stop that no step has returned yet

// Self-pipe through which signal handlers ask the loop to stop.
int signalPipe[2] = {-1, -1};
pid_t signalPipeOwner = 0;  // a forked child makes its own pipe: a shared one would let the
                            // parent's loop swallow the child's wake-up byte
// Set by handlers, which can run on any thread (a pool worker too): lock-free atomics.
std::atomic<uint32_t> signalStopValue{0};
std::atomic<int> signalStopPending{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "signal flags must be lock-free");

// Records of dropped orders kept for the next registration: an output that drains and fills
// again arms and drops a writer order per message. Bounded, so a burst of orders gives its
// memory back. A kept record's fields past `next` are poisoned under AddressSanitizer, so a
// use of a dropped order is still caught.
constexpr int kKeptOrdersMax = 64;
Order *keptOrders = nullptr;
int keptOrderCount = 0;

void orderRelease(Order *order) {
  if (keptOrderCount >= kKeptOrdersMax) {
    free(order);
    return;
  }
  order->next = keptOrders;
  keptOrders = order;
  keptOrderCount++;
  ASAN_POISON_MEMORY_REGION(&order->prev, sizeof(Order) - offsetof(Order, prev));
}

void keptOrdersFree() {
  while (keptOrders) {
    Order *next = keptOrders->next;
    free(keptOrders);
    keptOrders = next;
  }
  keptOrderCount = 0;
}

// Unlinks and releases; returns the order that followed it.
Order *listRemove(OrderList &list, Order *order) {
  Order *next = circListUnlink(&list.head, order);
  orderRelease(order);
  return next;
}

void listFreeAll(OrderList &list) {
  for (Order *o = list.head; o;) {
    Order *next = o->next;
    free(o);
    o = next;
  }
  list.head = nullptr;
}

Order *orderNew(OrderCallback callback, void *argument, uint64_t time) {
  Order *order = keptOrders;
  if (order) {
    keptOrders = order->next;
    keptOrderCount--;
    ASAN_UNPOISON_MEMORY_REGION(&order->prev, sizeof(Order) - offsetof(Order, prev));
    *order = Order{};
  } else {
    order = static_cast<Order *>(calloc(1, sizeof(Order)));
  }
  if (!order) {
    LOG_OUT_OF_MEMORY_AT(ORDERS_SOURCE);
    return nullptr;
  }
  order->callback = callback;
  order->argument = argument;
  order->time = time;
  return order;
}

void findNextWake() {
  Order *best = &sentinel;
  for (Order *o = timerList.head; o; o = o->next)
    if (o->callback && o->time < best->time) best = o;
  for (Order *o = quietList.head; o; o = o->next) {
    if (o->time >= best->time) break;
    if (o->callback) {
      best = o;
      break;
    }
  }
  nextWake = best;
}

void clearPollSlot(struct pollfd *slot) {
  slot->fd = -1;  // poll() ignores negative descriptors altogether
  slot->events = 0;
  slot->revents = 0;
}

Order *addDescriptor(int fd, short events, OrderCallback callback, void *argument, const char **failure) {
  int index = pollHint;
  while (index < kOrdersPollSlots && pollTable[index].events != 0) index++;
  if (index >= kOrdersPollSlots) {
    const char *text =
        strTempPrintf("Too many open descriptors: all %d poll entries are in use (descriptor %d refused)",
                      kOrdersPollSlots, fd);
    logProblem(text, ORDERS_SOURCE, __LINE__);
    if (failure) *failure = text;
    return nullptr;
  }
  Order *order = orderNew(callback, argument, ~uint64_t{0});
  if (!order) {
    if (failure) *failure = OUT_OF_MEMORY_TEXT_AT(ORDERS_SOURCE);
    return nullptr;
  }
  if (index >= pollInUse) pollInUse = index + 1;
  pollHint = index;
  struct pollfd *slot = &pollTable[index];
  slot->fd = fd;
  slot->events = events;
  slot->revents = 0;
  order->pollSlot = slot;
  circListPushFront(&descriptorList.head, order);
  return order;
}

void signalPipeDrain(void *) {
  char bytes[64];
  while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
  }
  if (signalStopPending.exchange(0)) {
    ordersStop(signalStopValue.load());
  }
}

void signalPipeOpen() {
  if (signalPipe[0] >= 0 && signalPipeOwner == getpid()) return;
  if (signalPipe[0] >= 0) {
    close(signalPipe[0]);
    close(signalPipe[1]);
  }
  signalPipeOwner = getpid();
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    signalPipe[0] = signalPipe[1] = -1;
    logProblem(strTempPrintf("Unable to create the signal pipe: %s", strerror(errno)), ORDERS_SOURCE, __LINE__);
  }
}

// Quiet-time pass; after a failed poll (a signal) no quiet time has passed, so only the
// cancelled orders are freed.
void quietPass(uint64_t pollTimeout, bool quietTimePassed) {
  for (Order *o = quietList.head; o;) {
    if (!o->callback) {
      o = listRemove(quietList, o);
    } else if (quietTimePassed && o->time <= pollTimeout) {
      o->callback(o->argument);
      o = o->callback ? o->next : listRemove(quietList, o);
    } else {
      o = o->next;
    }
  }
}

// Waiting without sleeping. A peer that answers within microseconds (the real server replying
// to a forwarded request, a client sending its next request after a reply) reaches a sleeping
// loop only through a process wake-up, which costs more than the answer itself. So a wait
// first polls without blocking, for up to kSpinNs, when an answer is expected (a request with
// a reply went out in this pass) or when the last blocking wait ended with an event sooner
// than kSpinNs. A spin that sees nothing stops the second kind until a blocking wait is quick
// again, so a quiet or slow peer costs at most one spin. The spin yields the processor between
// polls, and never runs on a single processor, where it would only keep the peer from running.
constexpr int64_t kSpinNs = 50000;
bool spinAllowed = false;     // more than one processor to run on (set by ordersInit)
bool spinNext = false;        // the last blocking wait was quick
bool answerExpected = false;  // ordersExpectAnswer since the last wait

bool processorsToSpare() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return false;
  return CPU_COUNT(&cpus) > 1;
}

bool spinArmed() { return spinAllowed && (spinNext || answerExpected); }

// poll() with the spin in front; returns what poll returned.
int pollWithSpin(int timeoutMs) {
  bool spin = timeoutMs != 0 && spinArmed();
  answerExpected = false;
  if (spin) {
    int64_t start = ordersMonotonicNs();
    for (;;) {
      int ready = poll(pollTable, static_cast<nfds_t>(pollInUse), 0);
      if (ready != 0) return ready;
      if (ordersMonotonicNs() - start >= kSpinNs) break;
      sched_yield();
    }
    spinNext = false;
  }
  int64_t start = spinAllowed && timeoutMs != 0 ? ordersMonotonicNs() : 0;
  int ready = poll(pollTable, static_cast<nfds_t>(pollInUse), timeoutMs);
  if (start != 0) spinNext = ready > 0 && ordersMonotonicNs() - start < kSpinNs;
  return ready;
}

}  // namespace

int64_t ordersMonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t ordersMonotonicMs() { return static_cast<uint64_t>(ordersMonotonicNs()) / 1000000; }

OrdersClock ordersClock = ordersMonotonicMs;

void ordersInit() {
  ordersFreeAll();
  sentinel = Order{};
  sentinel.time = kOrdersSentinelMs;
  nextWake = &sentinel;
  timeBase = ordersClock();
  stopValue = 0;
  stopPending = false;
  for (struct pollfd &slot : pollTable) clearPollSlot(&slot);
  pollInUse = 0;
  pollHint = 0;
  spinAllowed = processorsToSpare();
  spinNext = false;
  answerExpected = false;
  signalPipeOpen();
  if (signalPipe[0] >= 0) addDescriptor(signalPipe[0], POLLIN, signalPipeDrain, nullptr, nullptr);
}

Order *ordersAddIdle(OrderCallback callback, void *argument) {
  Order *order = orderNew(callback, argument, ~uint64_t{0});
  if (order) circListPushFront(&idleList.head, order);
  if (order && inIdlePass) idleAddedInPass = true;
  return order;
}

Order *ordersAddReader(int fd, OrderCallback callback, void *argument, const char **failure) {
  return addDescriptor(fd, POLLIN, callback, argument, failure);
}

Order *ordersAddWriter(int fd, OrderCallback callback, void *argument, const char **failure) {
  return addDescriptor(fd, POLLOUT, callback, argument, failure);
}

Order *ordersAddHangupWatch(int fd, OrderCallback callback, void *argument, bool halfToo) {
  // (POLLHUP is reported whatever the events ask; it also marks the slot as taken.)
  return addDescriptor(fd, halfToo ? POLLRDHUP : POLLHUP, callback, argument, nullptr);
}

Order *ordersAddTimer(uint64_t delay, OrderCallback callback, void *argument) {
  Order *order = orderNew(callback, argument, delay);
  if (!order) return nullptr;
  circListPushFront(&timerList.head, order);
  if (delay < nextWake->time) nextWake = order;
  return order;
}

Order *ordersAddQuietTimer(uint64_t quietTime, OrderCallback callback, void *argument) {
  Order *order = orderNew(callback, argument, quietTime);
  if (!order) return nullptr;
  if (quietTime < nextWake->time) {
    nextWake = order;
    circListPushFront(&quietList.head, order);
    return order;
  }
  Order *o = quietList.head;
  while (o && o->time <= quietTime) o = o->next;
  if (o)
    circListInsertBefore(&quietList.head, o, order);
  else
    circListPushBack(&quietList.head, order);
  return order;
}

int ordersHasReader(int fd) {
  for (Order *o = descriptorList.head; o; o = o->next)
    if (o->callback && o->pollSlot->fd == fd && (o->pollSlot->events & POLLIN)) return 1;
  return 0;
}

void ordersCancel(Order *order) {
  if (!order || !order->callback) return;  // cancelled before (its entry may serve another order now)
  order->callback = nullptr;
  if (order->pollSlot) {
    struct pollfd *slot = order->pollSlot;
    clearPollSlot(slot);
    int index = static_cast<int>(slot - pollTable);
    if (index < pollHint)
      pollHint = index;
    else
      while (pollInUse > 0 && pollTable[pollInUse - 1].events == 0) pollInUse--;
    if (pollHint > pollInUse) pollHint = pollInUse;
    return;
  }
  if (order == nextWake) findNextWake();
  order->time = 0;
}

namespace {
uint32_t stepOnce(uint64_t timeout) {
  // A stop asked for outside the loop or by a callback of the previous step ends this one at once.
  auto takeStop = [] {
    if (!stopPending) return false;
    stopPending = false;
    return true;
  };
  if (takeStop()) return stopValue;

  // 1. Idle pass; orders added during it are in front of the head and wait for the next step,
  // which comes without sleeping.
  passNumber++;
  inIdlePass = true;
  idleAddedInPass = false;
  noWaitAsked = false;
  for (Order *o = idleList.head; o;) {
    if (o->callback) {
      o->callback(o->argument);
      o = o->next;
    } else {
      o = listRemove(idleList, o);
    }
  }
  inIdlePass = false;
  // A stop asked for by an idle callback returns before the wait, not after the next wake-up.
  if (takeStop()) return stopValue;

  // 2. Timers registered from here on are neither aged nor run in this step.
  Order *timerStart = timerList.head;

  // 3. Wait.
  uint64_t pollTimeout = timeout < nextWake->time ? timeout : nextWake->time;
  if (idleAddedInPass || noWaitAsked) pollTimeout = 0;
  int ready = pollWithSpin(static_cast<int>(static_cast<uint32_t>(pollTimeout)));

  if (ready <= 0) {
    // 4. No descriptor event: quiet-time orders, then drop cancelled descriptor orders.
    quietPass(pollTimeout, ready == 0);
    for (Order *o = descriptorList.head; o;) o = o->callback ? o->next : listRemove(descriptorList, o);
  } else {
    // 5. Descriptor pass.
    passNumber++;
    for (Order *o = descriptorList.head; o;) {
      if (!o->callback) {
        o = listRemove(descriptorList, o);
      } else {
        if (o->pollSlot->revents != 0) o->callback(o->argument);
        o = o->next;
      }
    }
  }

  // 6. Timer pass.
  uint64_t now = ordersClock();
  uint64_t elapsed = now - timeBase;
  if (elapsed == 0) return 0;
  timeBase = now;
  uint64_t cap = nextWake->time + kOrdersClockJumpMs;
  if (elapsed > cap) elapsed = cap;
  for (Order *o = timerStart; o;) {
    if (o->time > elapsed) {
      o->time -= elapsed;
      // A timer that has aged below a quiet-time wake-up must not wait for that one.
      if (o->callback && o->time < nextWake->time) nextWake = o;
      o = o->next;
    } else if (o->callback) {
      OrderCallback callback = o->callback;
      o->callback = nullptr;
      o->time = 0;
      if (o == nextWake) findNextWake();
      callback(o->argument);
      o = o->next;
    } else {
      o = listRemove(timerList, o);
    }
  }
  return 0;
}
}  // namespace

// What runs between two steps (start-up, a test's own calls) is not counted in the pass of the
// step before.
uint32_t ordersStep(uint64_t timeout) {
  uint32_t result = stepOnce(timeout);
  passNumber++;
  return result;
}

uint32_t ordersRun() {
  stopValue = 0;
  stopPending = false;
  uint32_t result;
  while ((result = ordersStep(kOrdersSentinelMs)) == 0) {
  }
  return result;
}

uint32_t ordersRunFor(uint64_t duration) {
  uint64_t end = ordersClock() + duration;
  uint32_t result = 0;
  for (;;) {
    uint64_t now = ordersClock();
    if (now >= end) break;
    result = ordersStep(end - now);
    if (result != 0) break;
  }
  return result;
}

void ordersExpectAnswer() { answerExpected = true; }

bool ordersSpinsNext() { return spinArmed(); }

void ordersNoOp(void *) {}

void ordersNoWait() { noWaitAsked = true; }

uint64_t ordersPassNumber() { return passNumber; }

// Needs no memory: the flag is checked at the start of every step and after its idle pass.
void ordersStop(uint32_t value) {
  stopValue = value;
  stopPending = value != 0;
}

void ordersStopFromSignal(uint32_t value) {
  int savedErrno = errno;
  signalStopValue = value;
  signalStopPending = 1;
  if (signalPipe[1] >= 0) {
    char byte = 1;
    ssize_t written = write(signalPipe[1], &byte, 1);  // a full pipe already wakes the loop
    (void)written;
  }
  errno = savedErrno;
}

uint64_t ordersTimeLeft(const Order *order) { return order ? order->time : 0; }

void ordersFreeAll() {
  listFreeAll(idleList);
  listFreeAll(descriptorList);
  listFreeAll(timerList);
  listFreeAll(quietList);
  keptOrdersFree();
  nextWake = &sentinel;
}

int ordersPollInUse() { return pollInUse; }
int ordersPollHint() { return pollHint; }
const struct pollfd *ordersPollTable() { return pollTable; }
