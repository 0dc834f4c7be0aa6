// The event loop: one wait for ready descriptors (epoll) over a static table of descriptor
// entries, with idle orders run before every wait, one-shot timers aged after it and quiet-time
// orders run after a wait that passed without any descriptor event.
#include "support/orders.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

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
// Descriptor orders cancelled since the last step ended: out of their list and their entry at
// once, their records released when the step ends (a pass that is running them may still hold
// them: a callback may cancel any order, its own included).
Order *cancelledDescriptors = nullptr;
// Set while the idle pass runs; an idle order added meanwhile waits for the next step, whose
// idle pass must not sit behind a wait for descriptors or timers: that step does not sleep.
bool inIdlePass, idleAddedInPass;
// ordersNoWait was called in this step's idle pass: its wait does not sleep.
bool noWaitAsked;
// The passes begun so far (ordersPassNumber).
uint64_t passNumber;
// A step runs (ordersStepRunning).
bool stepRunning = false;

// The table of descriptor entries: one per descriptor order (the events it waits for, and the
// events of the pass that runs it in revents); a free entry holds descriptor -1 and no events.
struct pollfd pollTable[kOrdersPollSlots];
int pollInUse = 0;  // one past the highest used entry
int pollHint = 0;   // where the search for a free entry starts
Order *slotOrder[kOrdersPollSlots];  // the order of each entry in use
int slotNext[kOrdersPollSlots];      // the next entry of the same descriptor (-1: the last)
uint64_t descriptorSerial = 0;       // registrations so far (Order::serial)

// The wait. Every descriptor with orders is registered once with the epoll instance, for the
// union of what its orders wait for (hang-ups and errors always count), under its number and
// a generation drawn when it was registered: an event of an earlier registration of the same
// number is told apart and dropped. Changes of a descriptor's orders are applied just before
// the next wait (applyChanges): a writer armed and cancelled within a pass (an answer written
// out at the end of its turn) costs no call. A registration outlives its last order (a client's
// reader goes while it waits for its turn and comes back after it: that costs no call either):
// it is dropped, or narrowed, when it fires for events no order waits for; an order that comes
// back finds it again unless the number now names another file (closed and taken again: the
// close dropped the old registration). Registered descriptors are made close-on-exec, so that
// no program the proxy runs keeps one open behind its close. A descriptor that epoll refuses (a
// regular file, a bad number) is looked at with poll() before every wait, as the loop looked at
// every descriptor before (`fallback`).
struct FdEntry {
  int first = -1;           // its first entry in the table (-1: no order)
  uint32_t generation = 0;  // of its latest registration
  uint32_t registered = 0;  // the events registered
  bool inEpoll = false;     // registered with the instance now
  bool idle = false;        // ... with no order since its last one went
  bool fallback = false;    // epoll refused it: looked at with poll()
  bool dirty = false;       // its orders changed since the last wait (listed in dirtyFds)
  dev_t device = 0;         // the file registered
  ino_t inode = 0;
};
std::vector<FdEntry> fdEntries;
std::vector<int> dirtyFds;
int epollFd = -1;
pid_t epollOwner = 0;  // a forked child makes its own instance: the parent's is shared
int fallbackCount = 0;
constexpr int kReadyMax = 256;  // events taken by one wait; the rest come at the next
// Set while ready orders run: a look between turns from inside one is refused.
bool dispatching = false;

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

void releaseCancelledDescriptors() {
  while (cancelledDescriptors) {
    Order *next = cancelledDescriptors->next;
    orderRelease(cancelledDescriptors);
    cancelledDescriptors = next;
  }
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
  slot->fd = -1;  // a free entry: no descriptor
  slot->events = 0;
  slot->revents = 0;
}

// ----- The epoll instance and the descriptors registered with it -----

void epollOpen() {
  if (epollFd >= 0 && epollOwner == getpid()) return;
  if (epollFd >= 0) close(epollFd);  // (the parent's: this process leaves it alone)
  epollOwner = getpid();
  epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0)
    logProblem(strTempPrintf("Unable to create the epoll instance: %s", strerror(errno)), ORDERS_SOURCE, __LINE__);
}

// Forgets every registration: a new instance for the next ones.
void epollReset() {
  if (epollFd >= 0 && epollOwner == getpid()) close(epollFd);
  epollFd = -1;
  fdEntries.clear();
  dirtyFds.clear();
  fallbackCount = 0;
}

FdEntry *fdEntry(int fd, bool make) {
  if (fd < 0) return nullptr;
  if (size_t(fd) >= fdEntries.size()) {
    if (!make) return nullptr;
    try {
      fdEntries.resize(size_t(fd) + 1 + size_t(fd) / 2);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
  }
  return &fdEntries[size_t(fd)];
}

// What the descriptor's orders wait for, as epoll takes it (hang-ups and errors always count).
uint32_t eventsWanted(const FdEntry &entry) {
  uint32_t events = 0;
  for (int s = entry.first; s >= 0; s = slotNext[s])
    if (!slotOrder[s]->paused) events |= uint32_t(pollTable[s].events) & (POLLIN | POLLOUT | POLLRDHUP | POLLPRI);
  return events;
}

// The registration follows the descriptor's orders (made, or widened; see FdEntry for when it
// narrows or goes).
void applyFd(int fd, FdEntry *entry) {
  if (entry->first < 0) {
    if (entry->fallback) {
      fallbackCount--;
      entry->fallback = false;
      entry->registered = 0;
    }
    if (entry->inEpoll) entry->idle = true;
    return;
  }
  uint32_t wanted = eventsWanted(*entry);
  if (entry->fallback) {
    entry->registered = wanted;
    return;
  }
  struct stat file{};
  if (entry->inEpoll && entry->idle) {
    entry->idle = false;
    if (fstat(fd, &file) != 0 || file.st_dev != entry->device || file.st_ino != entry->inode) entry->inEpoll = false;
  }
  epoll_event event{};
  if (entry->inEpoll) {
    if (!(wanted & ~entry->registered)) return;  // (more registered than wanted narrows when it fires)
    event.events = wanted;
    event.data.u64 = uint64_t(uint32_t(fd)) | uint64_t(entry->generation) << 32;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
    entry->registered = wanted;
    return;
  }
  entry->generation++;
  event.events = wanted;
  event.data.u64 = uint64_t(uint32_t(fd)) | uint64_t(entry->generation) << 32;
  epollOpen();
  int added = epollFd >= 0 ? epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) : -1;
  if (added != 0 && errno == EEXIST) added = epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
  entry->inEpoll = added == 0;
  entry->registered = wanted;
  if (!entry->inEpoll) {
    entry->fallback = true;
    fallbackCount++;
    return;
  }
  if (fstat(fd, &file) == 0) entry->device = file.st_dev, entry->inode = file.st_ino;
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0 && !(flags & FD_CLOEXEC)) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// The descriptor's orders changed: its registration follows before the next wait.
void registerFd(int fd) {
  FdEntry *entry = fdEntry(fd, false);
  if (!entry) return;
  if (entry->first < 0 && entry->inEpoll) entry->idle = true;
  if (entry->dirty) return;
  try {
    dirtyFds.push_back(fd);
    entry->dirty = true;
  } catch (const std::bad_alloc &) {
    applyFd(fd, entry);
  }
}

void applyChanges() {
  for (int fd : dirtyFds) {
    FdEntry *entry = fdEntry(fd, false);
    if (!entry || !entry->dirty) continue;
    entry->dirty = false;
    applyFd(fd, entry);
  }
  dirtyFds.clear();
}

// A registration fired for events no order waits for: narrowed to what is wanted, or dropped.
// (Orders that stand still keep the registration, waiting for nothing, unless their
// descriptor hung up: that would fire at every wait.)
void narrowFd(int fd, FdEntry *entry, uint32_t events) {
  uint32_t wanted = entry->first < 0 ? 0 : eventsWanted(*entry);
  if (wanted || (entry->first >= 0 && !(events & (EPOLLHUP | EPOLLERR)))) {
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = uint64_t(uint32_t(fd)) | uint64_t(entry->generation) << 32;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
  } else {
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    entry->inEpoll = entry->idle = false;
  }
  entry->registered = wanted;
}

Order *addDescriptor(int fd, short events, OrderCallback callback, void *argument, const char **failure) {
  int index = pollHint;
  while (index < kOrdersPollSlots && pollTable[index].events != 0) index++;
  FdEntry *entry = fd >= 0 ? fdEntry(fd, true) : nullptr;
  if (index >= kOrdersPollSlots || (fd >= 0 && !entry)) {
    const char *text =
        index >= kOrdersPollSlots
            ? strTempPrintf("Too many open descriptors: all %d poll entries are in use (descriptor %d refused)",
                            kOrdersPollSlots, fd)
            : OUT_OF_MEMORY_TEXT_AT(ORDERS_SOURCE);
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
  order->serial = ++descriptorSerial;
  slotOrder[index] = order;
  slotNext[index] = -1;
  if (entry) {
    // Kept in the order of registration, newest first (as the pass runs them).
    slotNext[index] = entry->first;
    entry->first = index;
    registerFd(fd);
  }
  circListPushFront(&descriptorList.head, order);
  return order;
}

// The entry leaves its descriptor's chain.
void unchainSlot(int index) {
  FdEntry *entry = fdEntry(pollTable[index].fd, false);
  if (!entry) return;
  for (int *at = &entry->first; *at >= 0; at = &slotNext[*at])
    if (*at == index) {
      *at = slotNext[index];
      break;
    }
  slotNext[index] = -1;
  slotOrder[index] = nullptr;
  registerFd(pollTable[index].fd);
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

// Quiet-time pass; after a failed wait (a signal) no quiet time has passed, so only the
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

// One ready descriptor as a wait found it: its number, the generation of its registration (0
// for one looked at with poll()), and its events (poll's bits).
struct Ready {
  int fd;
  uint32_t generation;
  uint32_t events;
};

// The descriptors epoll refused, looked at without waiting: appended to ready.
int pollFallbacks(Ready *ready, int count, int room) {
  if (!fallbackCount) return count;
  for (size_t fd = 0; fd < fdEntries.size() && count < room; fd++) {
    const FdEntry &entry = fdEntries[fd];
    if (!entry.fallback || entry.first < 0) continue;
    pollfd p{int(fd), short(entry.registered), 0};
    if (poll(&p, 1, 0) > 0 && p.revents) ready[count++] = Ready{int(fd), 0, uint32_t(p.revents)};
  }
  return count;
}

// Waits up to timeoutMs (0: not at all) for ready descriptors: how many were found (at most
// room), or -1 when the wait failed (a signal).
int waitReady(Ready *ready, int room, int timeoutMs) {
  applyChanges();
  int count = pollFallbacks(ready, 0, room);
  if (count) timeoutMs = 0;
  epoll_event events[kReadyMax];
  int got = -1;
  if (epollFd >= 0) {
    got = epoll_wait(epollFd, events, std::min(room - count, kReadyMax), timeoutMs);
  } else {
    // Nothing registered yet: the wait is a sleep.
    got = poll(nullptr, 0, timeoutMs);
  }
  if (got < 0) return count ? count : -1;
  for (int i = 0; i < got; i++)
    ready[count++] = Ready{int(uint32_t(events[i].data.u64)), uint32_t(events[i].data.u64 >> 32), events[i].events};
  return count;
}

// Runs the orders of the ready descriptors: the newest registered first, as the pass of the
// old table ran them. An order cancelled meanwhile (by a callback before it) is not run; its
// record is still there (cancelled descriptor orders are released when the step ends).
uint32_t runReady(const Ready *ready, int count) {
  std::vector<Order *> due;
  for (int i = 0; i < count; i++) {
    FdEntry *entry = fdEntry(ready[i].fd, false);
    if (!entry) continue;
    if (ready[i].generation ? !entry->inEpoll || ready[i].generation != entry->generation : !entry->fallback)
      continue;  // an event of an earlier registration of the same number
    uint32_t events = ready[i].events;
    bool running = false;  // an order that is not standing still (each takes hang-ups)
    for (int s = entry->first; s >= 0 && !running; s = slotNext[s]) running = !slotOrder[s]->paused;
    if (ready[i].generation && (!running ? events != 0 : (events & entry->registered & ~eventsWanted(*entry)) != 0)) {
      narrowFd(ready[i].fd, entry, events);  // (the generation is the current one: the number is still its file's)
      if (entry->first < 0) continue;
    }
    for (int s = entry->first; s >= 0; s = slotNext[s]) {
      if (slotOrder[s]->paused) continue;
      short revents = short(events & (uint32_t(pollTable[s].events) | POLLHUP | POLLERR | POLLNVAL));
      if (!revents) continue;
      pollTable[s].revents = revents;
      try {
        due.push_back(slotOrder[s]);
      } catch (const std::bad_alloc &) {
        break;  // (the rest stays ready and comes at the next wait)
      }
    }
  }
  std::sort(due.begin(), due.end(), [](const Order *a, const Order *b) { return a->serial > b->serial; });
  bool outer = dispatching;
  dispatching = true;
  uint32_t run = 0;
  for (Order *o : due) {
    if (!o->callback || !o->pollSlot || !o->pollSlot->revents || o->paused) continue;
    o->callback(o->argument);
    run++;
  }
  for (Order *o : due)
    if (o->callback && o->pollSlot) o->pollSlot->revents = 0;
  dispatching = outer;
  return run;
}

// Waiting without sleeping. A peer that answers within microseconds (the real server replying
// to a forwarded request, a client sending its next request after a reply) reaches a sleeping
// loop only through a process wake-up, which costs more than the answer itself. So a wait
// first looks without blocking, for up to kSpinNs, when an answer is expected (a request with
// a reply went out in this pass) or when the last blocking wait ended with an event sooner
// than kSpinNs. A spin that sees nothing stops the second kind until a blocking wait is quick
// again, so a quiet or slow peer costs at most one spin. The spin yields the processor between
// looks, and never runs on a single processor, where it would only keep the peer from running.
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

// The wait with the spin in front; returns what waitReady returned.
int waitWithSpin(Ready *ready, int room, int timeoutMs) {
  bool spin = timeoutMs != 0 && spinArmed();
  answerExpected = false;
  if (spin) {
    int64_t start = ordersMonotonicNs();
    for (;;) {
      int found = waitReady(ready, room, 0);
      if (found != 0) return found;
      if (ordersMonotonicNs() - start >= kSpinNs) break;
      sched_yield();
    }
    spinNext = false;
  }
  int64_t start = spinAllowed && timeoutMs != 0 ? ordersMonotonicNs() : 0;
  int found = waitReady(ready, room, timeoutMs);
  if (start != 0) spinNext = found > 0 && ordersMonotonicNs() - start < kSpinNs;
  return found;
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
  epollReset();
  epollOpen();
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

void ordersPause(Order *order) {
  if (!order || !order->callback || !order->pollSlot || order->paused) return;
  order->paused = 1;
  registerFd(order->pollSlot->fd);
}

void ordersResume(Order *order) {
  if (!order || !order->callback || !order->pollSlot || !order->paused) return;
  order->paused = 0;
  registerFd(order->pollSlot->fd);
}

int ordersHasReader(int fd) {
  const FdEntry *entry = fdEntry(fd, false);
  for (int s = entry ? entry->first : -1; s >= 0; s = slotNext[s])
    if (pollTable[s].events & POLLIN) return 1;
  return 0;
}

void ordersCancel(Order *order) {
  if (!order || !order->callback) return;  // cancelled before (its entry may serve another order now)
  order->callback = nullptr;
  if (order->pollSlot) {
    struct pollfd *slot = order->pollSlot;
    int index = static_cast<int>(slot - pollTable);
    unchainSlot(index);
    clearPollSlot(slot);
    circListUnlink(&descriptorList.head, order);
    order->next = cancelledDescriptors;
    cancelledDescriptors = order;
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
  Ready ready[kReadyMax];
  int found = waitWithSpin(ready, kReadyMax, static_cast<int>(static_cast<uint32_t>(pollTimeout)));

  if (found <= 0) {
    // 4. No descriptor event: quiet-time orders.
    quietPass(pollTimeout, found == 0);
  } else {
    // 5. Descriptor pass: the orders of what is ready.
    passNumber++;
    runReady(ready, found);
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
  bool outer = stepRunning;
  stepRunning = true;
  uint32_t result = stepOnce(timeout);
  stepRunning = outer;
  releaseCancelledDescriptors();
  passNumber++;
  return result;
}

uint32_t ordersPollNow() {
  if (dispatching) return 0;
  Ready ready[64];
  int found = waitReady(ready, 64, 0);
  return found > 0 ? runReady(ready, found) : 0;
}

namespace {
OrdersBetweenSteps betweenSteps = nullptr;
}  // namespace

void ordersSetBetweenSteps(OrdersBetweenSteps work) { betweenSteps = work; }

uint32_t ordersRun() {
  stopValue = 0;
  stopPending = false;
  uint32_t result;
  while ((result = ordersStep(kOrdersSentinelMs)) == 0) {
    if (betweenSteps && (result = betweenSteps()) != 0) break;
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
    if (result == 0 && betweenSteps) result = betweenSteps();
    if (result != 0) break;
  }
  return result;
}

void ordersExpectAnswer() { answerExpected = true; }

bool ordersSpinsNext() { return spinArmed(); }

void ordersNoOp(void *) {}

void ordersNoWait() { noWaitAsked = true; }

uint64_t ordersPassNumber() { return passNumber; }

bool ordersStepRunning() { return stepRunning; }

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
  while (cancelledDescriptors) {
    Order *next = cancelledDescriptors->next;
    free(cancelledDescriptors);
    cancelledDescriptors = next;
  }
  for (int i = 0; i < kOrdersPollSlots; i++) {
    clearPollSlot(&pollTable[i]);
    slotOrder[i] = nullptr;
    slotNext[i] = -1;
  }
  pollInUse = pollHint = 0;
  epollReset();
  listFreeAll(timerList);
  listFreeAll(quietList);
  keptOrdersFree();
  nextWake = &sentinel;
}

int ordersPollInUse() { return pollInUse; }
int ordersPollHint() { return pollHint; }
const struct pollfd *ordersPollTable() { return pollTable; }
