#include "support/orders.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

uint64_t fakeNow = 1000000;
uint64_t fakeClock() { return fakeNow; }

struct Pipe {
  int fd[2];
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() { close(fd[0]); close(fd[1]); }
  void poke() { ASSERT_EQ(write(fd[1], "x", 1), 1); }
};

// Every marked callback appends its name to the trace, so tests see the order of calls.
std::string trace;
struct Mark { char name; int calls = 0; };
void markCall(void *mark) { trace += static_cast<Mark *>(mark)->name; static_cast<Mark *>(mark)->calls++; }
void readByte(void *fd) {
  char byte;
  EXPECT_EQ(read(*static_cast<int *>(fd), &byte, 1), 1);
}

class OrdersTest : public testing::Test {
 protected:
  void SetUp() override {
    ordersClock = ordersMonotonicMs;
    ordersInit();
    trace.clear();
  }
  void TearDown() override { ordersFreeAll(); }
  void useFakeClock() { ordersClock = fakeClock; ordersInit(); }
};

TEST_F(OrdersTest, EachKindRunsNewestFirstWithinAPass) {
  useFakeClock();
  Pipe pipes[3];
  Mark idle[3] = {{'a'}, {'b'}, {'c'}}, readers[3] = {{'d'}, {'e'}, {'f'}}, timers[3] = {{'g'}, {'h'}, {'i'}};
  for (int i = 0; i < 3; i++) {
    ordersAddIdle(markCall, &idle[i]);
    ordersAddReader(pipes[i].fd[0], markCall, &readers[i]);
    ordersAddTimer(5, markCall, &timers[i]);
    pipes[i].poke();
  }
  fakeNow += 5;
  EXPECT_EQ(ordersStep(0), 0u);
  EXPECT_EQ(trace, "cbafedihg");
}

Order *selfCancelling;

TEST_F(OrdersTest, SelfCancelledIdleOrderIsFreedInTheNextStep) {
  Mark mark{'s'};
  selfCancelling = ordersAddIdle([](void *a) { markCall(a); ordersCancel(selfCancelling); }, &mark);
  ordersStep(0);
  // Still linked: reading it is valid (the sanitizer build catches an early free).
  EXPECT_EQ(selfCancelling->callback, nullptr);
  ordersStep(0);
  EXPECT_EQ(mark.calls, 1);
}

TEST_F(OrdersTest, StopFromCallbackEndsTheNextStepWithoutPolling) {
  Pipe p;
  ordersAddReader(p.fd[0], [](void *fd) { readByte(fd); ordersStop(7); }, &p.fd[0]);
  p.poke();
  EXPECT_EQ(ordersStep(0), 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ordersStep(20000), 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10000));  // no 20 s poll
}

// An idle callback that stops the loop ends the run before the wait: not at a 30 s timer, not
// at the one-hour sentinel.
TEST_F(OrdersTest, StopFromIdleCallbackEndsTheRunBeforeTheWait) {
  for (bool withTimer : {true, false}) {
    SCOPED_TRACE(withTimer ? "3 s timer" : "no timer");
    ordersInit();
    if (withTimer) ordersAddTimer(30000, ordersNoOp, nullptr);
    static Order *idle;
    idle = ordersAddIdle([](void *) { ordersCancel(idle); ordersStop(9); }, nullptr);
    auto start = std::chrono::steady_clock::now();
    std::thread watchdog;  // a run that waits for the sentinel is ended by a signal-path stop
    bool done = false;
    watchdog = std::thread([&] {
      for (int i = 0; i < 200 && !__atomic_load_n(&done, __ATOMIC_ACQUIRE); i++) usleep(50000);
      if (!__atomic_load_n(&done, __ATOMIC_ACQUIRE)) ordersStopFromSignal(99);
    });
    uint32_t result = ordersRun();
    __atomic_store_n(&done, true, __ATOMIC_RELEASE);
    watchdog.join();
    EXPECT_EQ(result, 9u);  // 99: the run waited until the watchdog's stop after 10 s
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9000));
    // The stop was taken: the next step runs normally.
    EXPECT_EQ(ordersStep(0), 0u);
  }
}

// An idle order added by an idle callback (a resumed request arming its connection's buffered
// answers) runs in the next step without that step sleeping until the next timer.
TEST_F(OrdersTest, IdleOrderAddedByAnIdleCallbackRunsWithoutAWait) {
  static Mark inner{'i'};
  static Order *outer, *added;
  ordersAddTimer(30000, ordersNoOp, nullptr);
  outer = ordersAddIdle(
      [](void *) {
        ordersCancel(outer);
        trace += 'o';
        added = ordersAddIdle([](void *) { ordersCancel(added); markCall(&inner); }, nullptr);
      },
      nullptr);
  auto start = std::chrono::steady_clock::now();
  ordersStep(20000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));  // no 20 s wait
  EXPECT_EQ(trace, "o");
  ordersStep(0);
  EXPECT_EQ(trace, "oi");
  // With nothing added by the idle pass, the loop sleeps again: a wait of its own length.
  start = std::chrono::steady_clock::now();
  ordersStep(200);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

// Loop-clock times recorded by the callbacks of the quiet-time test.
uint64_t timerAt, lastEvent, shortestQuiet;

// An 8 ms timer bounds the wait; the 50 ms quiet order waits out a stream of events and then
// records the shortest time without events it ran after.
TEST_F(OrdersTest, QuietOrderRunsOnlyAfterItsTimeWithoutEvents) {
  Pipe p;
  uint64_t start = lastEvent = ordersMonotonicMs();
  timerAt = 0;
  shortestQuiet = UINT64_MAX;
  ordersAddQuietTimer(
      50, [](void *) { shortestQuiet = std::min(shortestQuiet, ordersMonotonicMs() - lastEvent); }, nullptr);
  ordersAddTimer(8, [](void *) { timerAt = ordersMonotonicMs(); }, nullptr);
  ordersAddReader(p.fd[0], [](void *fd) { readByte(fd); lastEvent = ordersMonotonicMs(); }, &p.fd[0]);
  std::thread writer([&] {
    for (int i = 0; i < 10; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
      p.poke();
    }
  });
  ordersRunFor(450);
  writer.join();
  // A busy machine may delay the writer: the run goes on (bounded) until the events have
  // stopped for the quiet time.
  for (int i = 0; i < 100 && shortestQuiet == UINT64_MAX; i++) ordersRunFor(100);
  EXPECT_GE(timerAt, start + 8);
  EXPECT_GT(lastEvent, start);
  ASSERT_NE(shortestQuiet, UINT64_MAX);  // it ran once the events stopped
  EXPECT_GE(shortestQuiet + 1, 50u);     // but never sooner than 50 ms after the last event
}

Order *lateTimer;
void addLateTimer(void *fd) {
  readByte(fd);
  fakeNow += 100;
  lateTimer = ordersAddTimer(50, ordersNoOp, nullptr);
}

// Timers age by the monotonic clock, which a wall-clock step leaves alone: not by time before
// their registration, and by a jump at most the next wake-up plus a bound.
TEST_F(OrdersTest, TimersFollowTheLoopClockWithABoundOnJumps) {
  timespec mono;
  clock_gettime(CLOCK_MONOTONIC, &mono);
  EXPECT_NEAR(double(ordersMonotonicMs()), mono.tv_sec * 1e3 + mono.tv_nsec / 1e6, 50.0);
  useFakeClock();
  Pipe p;
  ordersAddReader(p.fd[0], addLateTimer, &p.fd[0]);
  p.poke();
  ordersStep(0);
  EXPECT_EQ(ordersTimeLeft(lateTimer), 50u);
  ordersCancel(lateTimer);
  Mark a{'a'}, b{'b'};
  ordersAddTimer(10, markCall, &a);
  ordersAddTimer(15000, markCall, &b);
  Order *later = ordersAddTimer(40000, markCall, &b);
  fakeNow += 3600000;  // the clock jumps an hour
  ordersStep(0);
  EXPECT_EQ(trace, "ba");  // the 10 ms and 15 s timers fired
  EXPECT_EQ(ordersTimeLeft(later), 40000 - (10 + kOrdersClockJumpMs));
}

// A timer that ages below the quiet time bounds the next wait, instead of firing up to a
// whole quiet time late (a 50 ms wait would also run the quiet order).
TEST_F(OrdersTest, AgedTimerBecomesTheNextWakeUp) {
  useFakeClock();
  Mark timer{'t'}, quiet{'q'};
  ordersAddTimer(100, markCall, &timer);
  ordersAddQuietTimer(50, markCall, &quiet);
  fakeNow += 60;
  ordersStep(0);
  ordersStep(1000);  // waits the timer's 40 ms, not the quiet order's 50
  fakeNow += 40;
  ordersStep(0);
  fakeNow += 40;
  ordersStep(0);
  EXPECT_EQ(trace, "t");  // on time, and a fired timer is never called again
}

// Freed entries are reused through the hint and the count shrinks from the top; a full table
// refuses the next descriptor with a text.
TEST_F(OrdersTest, PollEntriesAreReusedFreedAndBounded) {
  Pipe p;
  int base = ordersPollInUse();
  Mark m{'m'};
  Order *a = ordersAddReader(p.fd[0], markCall, &m);
  Order *b = ordersAddReader(p.fd[0], markCall, &m);
  ordersCancel(ordersAddReader(p.fd[0], markCall, &m));
  EXPECT_EQ(ordersPollInUse(), base + 2);
  ordersCancel(a);
  Order *d = ordersAddReader(p.fd[0], markCall, &m);
  EXPECT_EQ(d->pollSlot, a->pollSlot);
  ordersCancel(a);  // a second cancel must leave the reused entry alone
  EXPECT_TRUE(ordersHasReader(p.fd[0]) && !ordersHasReader(p.fd[1]));
  ordersCancel(d);

  // The freed entry below b holds no descriptor: with standard input closed, an idle loop
  // must not spin on it.
  int savedStdin = dup(0);
  close(0);
  timespec cpu0, cpu1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
  ordersRunFor(200);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6, 50.0);
  ordersCancel(b);
  EXPECT_EQ(ordersPollInUse(), base);

  std::vector<Order *> orders;
  const char *failure = nullptr;
  Order *o;
  while (orders.size() <= size_t(kOrdersPollSlots) && (o = ordersAddReader(p.fd[0], markCall, &m, &failure)))
    orders.push_back(o);
  EXPECT_EQ(ordersPollInUse(), kOrdersPollSlots);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("poll entries"), std::string::npos);
  ordersCancel(orders[10]);
  EXPECT_NE(ordersAddReader(p.fd[0], markCall, &m), nullptr);
  p.poke();
  ordersStep(0);
  EXPECT_EQ(m.calls, int(orders.size()));  // every live entry was served, the cancelled one not
}

// A look between passes (a scheduler between two turns) runs the orders of what is ready and
// only those, however many descriptors wait; inside a descriptor callback it is refused. A
// descriptor that epoll refuses (a regular file) is still served as a poll would serve it.
TEST_F(OrdersTest, ALookBetweenPassesRunsWhatIsReady) {
  std::vector<Pipe> pipes(300);
  std::vector<Mark> marks(300);
  for (size_t i = 0; i < pipes.size(); i++) {
    marks[i].name = char('A' + i % 26);
    ordersAddReader(pipes[i].fd[0], markCall, &marks[i]);
  }
  pipes[123].poke();
  EXPECT_EQ(ordersPollNow(), 1u);
  EXPECT_EQ(marks[123].calls, 1);
  EXPECT_EQ(trace.size(), 1u);
  static uint32_t nested;
  nested = 99;
  Pipe inner;
  ordersAddReader(inner.fd[0], [](void *) { nested = ordersPollNow(); }, nullptr);
  inner.poke();
  ordersStep(0);
  EXPECT_EQ(nested, 0u);

  char path[] = "/tmp/orders-test-XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  Mark regular{'r'};
  Order *o = ordersAddReader(file, markCall, &regular);
  ordersStep(0);
  EXPECT_EQ(regular.calls, 1);
  ordersCancel(o);
  ordersStep(0);
  EXPECT_EQ(regular.calls, 1);
  close(file);
}

// A descriptor number closed after its orders were cancelled and taken again by another
// descriptor: only the new descriptor's orders run, for its own events.
TEST_F(OrdersTest, AReusedDescriptorNumberRunsOnlyItsNewOrders) {
  Mark first{'1'}, second{'2'};
  int a[2];
  ASSERT_EQ(pipe(a), 0);
  Order *old = ordersAddReader(a[0], markCall, &first);
  ASSERT_EQ(write(a[1], "x", 1), 1);
  ordersCancel(old);
  int number = a[0];
  close(a[0]);
  close(a[1]);
  Pipe b;
  ASSERT_EQ(b.fd[0], number);
  ordersAddReader(b.fd[0], markCall, &second);
  ordersStep(0);
  EXPECT_EQ(trace, "");
  b.poke();
  ordersStep(0);
  EXPECT_EQ(trace, "2");
}

// Hang-up watches on a socket: one that counts a half-close fires when the peer shuts its
// writing side; one for the end of both ways only waits for the close (a half-close leaves it
// quiet), holds its poll entry (a reader added after it takes another), and fires at the close.
TEST_F(OrdersTest, HangupWatchesTellAHalfCloseFromTheEnd) {
  for (bool halfToo : {true, false}) {
    SCOPED_TRACE(halfToo);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Mark watch{'w'}, reader{'r'};
    Order *w = ordersAddHangupWatch(pair[0], markCall, &watch, halfToo);
    Pipe p;
    Order *r = ordersAddReader(p.fd[0], markCall, &reader);
    ASSERT_NE(w->pollSlot, r->pollSlot);
    ASSERT_EQ(shutdown(pair[1], SHUT_WR), 0);
    ordersStep(0);
    EXPECT_EQ(watch.calls, halfToo ? 1 : 0);
    p.poke();
    ordersStep(0);
    readByte(&p.fd[0]);
    EXPECT_EQ(reader.calls, 1);  // the reader's entry is its own
    close(pair[1]);
    ordersStep(0);
    EXPECT_GE(watch.calls, 1);
    ordersCancel(w);
    ordersCancel(r);
    close(pair[0]);
  }
}

// A dropped order's record serves the next registration of any kind with nothing of the old
// order left in it: an idle order in a former writer's record must not clear the poll entry
// that record once had, and a timer there counts its own time.
TEST_F(OrdersTest, DroppedRecordsServeLaterOrdersAfresh) {
  useFakeClock();
  Pipe p;
  Mark m{'m'}, t{'t'};
  Order *writer = ordersAddWriter(p.fd[1], markCall, &m);
  ordersCancel(writer);
  ordersStep(0);
  Order *idle = ordersAddIdle(markCall, &m);
  EXPECT_EQ(idle, writer);
  EXPECT_EQ(idle->pollSlot, nullptr);
  Order *reader = ordersAddReader(p.fd[0], markCall, &m);
  ordersCancel(idle);
  EXPECT_TRUE(ordersHasReader(p.fd[0]));
  ordersStep(0);
  Order *timer = ordersAddTimer(5, markCall, &t);
  EXPECT_EQ(timer, writer);
  EXPECT_EQ(ordersTimeLeft(timer), 5u);
  fakeNow += 5;
  ordersStep(0);
  EXPECT_EQ(trace, "t");
  EXPECT_EQ(m.calls, 0);
  ordersCancel(reader);
}

double threadCpuMs() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Waits that start with a short spin: armed by a quick wake-up or an expected answer, ended by
// a spin that sees nothing, never a busy loop while nothing comes, and off on one processor.
TEST_F(OrdersTest, SpinsArmOnQuickWakesAndAnswersAndEndWhenNothingComes) {
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  if (CPU_COUNT(&cpus) < 2) GTEST_SKIP() << "one processor: the loop never spins";
  Pipe p;
  int fd = p.fd[0];
  ordersAddReader(fd, readByte, &fd);
  EXPECT_FALSE(ordersSpinsNext());
  auto quickWake = [&] {  // a busy machine may preempt one wait: a few tries
    for (int i = 0; i < 5 && !ordersSpinsNext(); i++) {
      p.poke();
      ordersStep(1000);
    }
  };
  quickWake();
  EXPECT_TRUE(ordersSpinsNext());  // that wait ended at once
  // Nothing comes: the spin gives up, the wait keeps its time-out, and no spin follows.
  auto start = std::chrono::steady_clock::now();
  ordersStep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
  EXPECT_FALSE(ordersSpinsNext());
  // An answer expected: a byte that comes during the spin or the wait after it is read.
  ordersExpectAnswer();
  EXPECT_TRUE(ordersSpinsNext());
  std::thread peer([&] { usleep(2000); p.poke(); });
  ordersStep(5000);
  peer.join();
  struct pollfd check = {fd, POLLIN, 0};
  EXPECT_EQ(poll(&check, 1, 0), 0);  // the byte was read
  // A loop left quiet after quick wakes sleeps: far less processor time than the time run.
  quickWake();
  double cpuBefore = threadCpuMs();
  ordersRunFor(200);
  EXPECT_LT(threadCpuMs() - cpuBefore, 40.0);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(2);
    ordersInit();
    ordersExpectAnswer();
    _exit(ordersSpinsNext() ? 1 : 0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
}

void onTerm(int) { ordersStopFromSignal(15); }

// The child runs its own loop after a fork from a process whose loop is set up: it must get
// its own wake-up pipe, and SIGTERM must end its run (which would otherwise wait an hour).
TEST_F(OrdersTest, SigtermStopsTheLoopOfAForkedChildQuickly) {
  struct stat parentPipe;
  ASSERT_EQ(fstat(ordersPollTable()[0].fd, &parentPipe), 0);
  Pipe ready;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ordersInit();
    struct stat own;
    if (fstat(ordersPollTable()[0].fd, &own) != 0 || own.st_ino == parentPipe.st_ino) _exit(2);
    signal(SIGTERM, onTerm);
    if (write(ready.fd[1], "r", 1) != 1) _exit(3);
    _exit(ordersRun() == 15 ? 0 : 1);
  }
  close(ready.fd[1]);
  ready.fd[1] = -1;        // so the read sees end of file if the child gives up early
  readByte(&ready.fd[0]);  // the child is ready
  usleep(20000);  // let the child settle into poll()
  kill(child, SIGTERM);
  int status = 0;
  bool ended = false;
  // Generous on a busy machine: far below the hour the loop would otherwise wait.
  for (int i = 0; i < 1000 && !ended; i++) {
    ended = waitpid(child, &status, WNOHANG) == child;
    if (!ended) usleep(10000);
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(status, 0);  // exited with 0: its own pipe, and the run returned the stop value
}

}  // namespace
