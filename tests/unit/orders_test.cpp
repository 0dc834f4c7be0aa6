#include "support/orders.h"

#include <gtest/gtest.h>
#include <signal.h>
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
  ~Pipe() {
    close(fd[0]);
    close(fd[1]);
  }
  void poke() { ASSERT_EQ(write(fd[1], "x", 1), 1); }
};

std::string trace;
struct Mark {
  char name;
  int calls = 0;
};
void markCall(void *argument) {
  auto *mark = static_cast<Mark *>(argument);
  mark->calls++;
  trace += mark->name;
}

class OrdersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ordersClock = ordersMonotonicMs;
    ordersInit();
    trace.clear();
  }
  void TearDown() override {
    ordersFreeAll();
    ordersClock = ordersMonotonicMs;
  }
  void useFakeClock() {
    ordersClock = fakeClock;
    ordersInit();
  }
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
  // Fired timers are never called again.
  fakeNow += 5;
  ordersStep(0);
  EXPECT_EQ(timers[0].calls, 1);
}

Order *selfCancelling;
void cancelSelf(void *argument) {
  static_cast<Mark *>(argument)->calls++;
  ordersCancel(selfCancelling);
}

TEST_F(OrdersTest, SelfCancelledIdleOrderIsFreedInTheNextStep) {
  Mark mark{'s'};
  selfCancelling = ordersAddIdle(cancelSelf, &mark);
  ordersStep(0);
  // Still linked (reading it is valid: a sanitizer build catches an early free).
  EXPECT_EQ(selfCancelling->callback, nullptr);
  EXPECT_EQ(ordersStep(0), 0u);
  ordersStep(0);
  EXPECT_EQ(mark.calls, 1);
}

Mark afterStop{'z'};
void stopWithSeven(void *argument) {
  char byte;
  EXPECT_EQ(read(*static_cast<int *>(argument), &byte, 1), 1);
  ordersStop(7);
  ordersAddIdle(markCall, &afterStop);
}

TEST_F(OrdersTest, StopFromCallbackEndsTheNextStepWithoutPolling) {
  useFakeClock();
  Pipe p;
  Mark timer{'t'};
  ordersAddReader(p.fd[0], stopWithSeven, &p.fd[0]);
  ordersAddTimer(3, markCall, &timer);
  p.poke();
  fakeNow += 3;
  EXPECT_EQ(ordersStep(0), 0u);
  EXPECT_EQ(trace, "t");  // the current step still ran its timers
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ordersStep(2000), 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(trace, "tz");  // the idle order added after the stop ran first
  ordersStop(0);           // 0 ends nothing
  EXPECT_EQ(ordersStep(0), 0u);
}

struct Times {
  uint64_t start = ordersMonotonicMs();
  uint64_t timer = 0, firstQuiet = 0, lastEvent = 0, shortestQuiet = UINT64_MAX;
  int fd = -1;
};
void onTimer(void *a) { static_cast<Times *>(a)->timer = ordersMonotonicMs(); }
void onQuiet(void *a) {
  auto *t = static_cast<Times *>(a);
  uint64_t now = ordersMonotonicMs();
  if (!t->firstQuiet) t->firstQuiet = now;
  uint64_t quiet = now - std::max(t->start, t->lastEvent);
  if (quiet < t->shortestQuiet) t->shortestQuiet = quiet;
}
void onEvent(void *a) {
  auto *t = static_cast<Times *>(a);
  char bytes[16];
  if (read(t->fd, bytes, sizeof bytes) > 0) t->lastEvent = ordersMonotonicMs();
}

TEST_F(OrdersTest, QuietOrderRunsOnlyAfterItsTimeWithoutEvents) {
  Pipe p;
  Times t;
  t.fd = p.fd[0];
  ordersAddQuietTimer(50, onQuiet, &t);
  ordersAddTimer(8, onTimer, &t);
  ordersAddReader(p.fd[0], onEvent, &t);
  std::thread writer([&] {
    for (int i = 0; i < 10; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
      p.poke();
    }
  });
  ordersRunFor(450);
  writer.join();
  ASSERT_NE(t.timer, 0u);
  EXPECT_GE(t.timer - t.start, 8u);
  ASSERT_NE(t.firstQuiet, 0u);
  ASSERT_NE(t.lastEvent, 0u);
  EXPECT_GE(t.shortestQuiet + 1, 50u);  // never sooner than 50 ms after the last event
}

TEST_F(OrdersTest, ShortTimerBoundsTheWait) {
  Times t;
  ordersAddQuietTimer(2972, onQuiet, &t);
  ordersAddTimer(8, onTimer, &t);
  ordersStep(kOrdersSentinelMs);
  EXPECT_NE(t.timer, 0u);
  EXPECT_LT(ordersMonotonicMs() - t.start, 1000u);
  EXPECT_EQ(t.firstQuiet, 0u);
}

Order *lateTimer;
void addLateTimer(void *argument) {
  char byte;
  EXPECT_EQ(read(*static_cast<int *>(argument), &byte, 1), 1);
  fakeNow += 100;
  lateTimer = ordersAddTimer(50, markCall, &afterStop);
}

TEST_F(OrdersTest, TimersFollowTheClockWithABoundOnJumps) {
  useFakeClock();
  Pipe p;
  ordersAddReader(p.fd[0], addLateTimer, &p.fd[0]);
  p.poke();
  ordersStep(0);
  EXPECT_EQ(ordersTimeLeft(lateTimer), 50u);  // not aged by time before its registration

  Mark a{'a'}, b{'b'};
  Order *soon = ordersAddTimer(10, markCall, &a);
  ordersAddTimer(15000, markCall, &b);
  Order *later = ordersAddTimer(40000, markCall, &b);
  ordersCancel(lateTimer);
  fakeNow += 3600000;  // the clock jumps an hour
  ordersStep(0);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 1);
  EXPECT_EQ(ordersTimeLeft(soon), 0u);
  EXPECT_EQ(ordersTimeLeft(later), 40000 - (10 + kOrdersClockJumpMs));
}

TEST_F(OrdersTest, QuietOrdersKeepTimeOrderAndRegistrationOrderOnTies) {
  Mark m[4] = {{'1'}, {'2'}, {'3'}, {'4'}};
  Order *o[4];
  o[0] = ordersAddQuietTimer(30, markCall, &m[0]);
  o[1] = ordersAddQuietTimer(10, markCall, &m[1]);
  o[2] = ordersAddQuietTimer(30, markCall, &m[2]);
  o[3] = ordersAddQuietTimer(10, markCall, &m[3]);
  ordersStep(40);  // waits 10 ms (the next wake-up), so only the 10 ms orders run
  EXPECT_EQ(trace, "24");
  ordersCancel(o[1]);
  ordersCancel(o[3]);
  ordersStep(40);  // now the 30 ms orders are the nearest
  EXPECT_EQ(trace, "2413");
  ordersCancel(o[0]);
  ordersStep(20);  // a wait shorter than the quiet time runs nothing
  EXPECT_EQ(trace, "2413");
}

TEST_F(OrdersTest, PollEntriesAreReusedAndFreedEntriesIgnored) {
  Pipe p;
  int base = ordersPollInUse();
  Mark m{'m'};
  Order *a = ordersAddReader(p.fd[0], markCall, &m);
  Order *b = ordersAddWriter(p.fd[1], markCall, &m);
  Order *c = ordersAddReader(p.fd[0], markCall, &m);
  EXPECT_EQ(ordersPollInUse(), base + 3);
  EXPECT_TRUE(ordersHasReader(p.fd[0]));
  EXPECT_FALSE(ordersHasReader(p.fd[1]));
  ordersCancel(c);
  EXPECT_EQ(ordersPollInUse(), base + 2);
  ordersCancel(a);
  EXPECT_EQ(ordersPollHint(), base);
  EXPECT_EQ(ordersPollTable()[base].fd, -1);
  Order *d = ordersAddReader(p.fd[0], markCall, &m);
  EXPECT_EQ(d->pollSlot, a->pollSlot);
  ordersCancel(a);  // a second cancel must leave the reused entry alone
  EXPECT_EQ(d->pollSlot->fd, p.fd[0]);
  ordersCancel(d);
  ordersCancel(b);
  EXPECT_EQ(ordersPollInUse(), base);
  EXPECT_FALSE(ordersHasReader(p.fd[0]));
}

TEST_F(OrdersTest, FullPollTableIsRefusedWithAText) {
  Pipe p;
  Mark m{'m'};
  std::vector<Order *> orders;
  const char *failure = nullptr;
  for (;;) {
    Order *o = ordersAddReader(p.fd[0], markCall, &m, &failure);
    if (!o) break;
    orders.push_back(o);
    ASSERT_LE(orders.size(), size_t(kOrdersPollSlots));
  }
  EXPECT_EQ(ordersPollInUse(), kOrdersPollSlots);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("poll entries"), std::string::npos);
  ordersCancel(orders[10]);
  EXPECT_NE(ordersAddReader(p.fd[0], markCall, &m), nullptr);
  p.poke();
  ordersStep(0);
  EXPECT_EQ(m.calls, int(orders.size()));  // every live entry was served, the cancelled one not
}

void countStep(void *argument) { ++*static_cast<int *>(argument); }

// A freed entry must not make poll() report standard input when it is closed or hung up.
TEST_F(OrdersTest, IdleLoopUsesNoCpuWithStandardInputClosedOrHungUp) {
  int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  for (bool hungUp : {false, true}) {
    SCOPED_TRACE(hungUp ? "hung up" : "closed");
    Pipe p;
    if (hungUp) {
      int hp[2];
      ASSERT_EQ(pipe(hp), 0);
      dup2(hp[0], 0);
      close(hp[0]);
      close(hp[1]);
    } else {
      close(0);
    }
    Mark m{'m'};
    Order *low = ordersAddReader(p.fd[0], markCall, &m);
    Order *high = ordersAddReader(p.fd[0], markCall, &m);
    ordersCancel(low);
    int steps = 0;
    Order *idle = ordersAddIdle(countStep, &steps);
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    ordersRunFor(200);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    double cpuMs = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    EXPECT_LT(steps, 10);
    EXPECT_LT(cpuMs, 50.0);
    ordersCancel(high);
    ordersCancel(idle);
    ordersStep(0);
    dup2(savedStdin, 0);
  }
  close(savedStdin);
}

void onTerm(int) { ordersStopFromSignal(15); }

TEST(OrdersSignal, SigtermStopsTheLoopOfAChildQuickly) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ordersInit();
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigaction(SIGTERM, &action, nullptr);
    if (write(ready[1], "r", 1) != 1) _exit(3);
    _exit(ordersRun() == 15 ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  usleep(20000);  // let the child settle into poll()
  auto start = std::chrono::steady_clock::now();
  kill(child, SIGTERM);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      FAIL() << "child did not stop";
    }
    usleep(1000);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(ready[0]);
  close(ready[1]);
}

void ignoreSignal(int) {}

// A signal ends the wait early; that is no quiet time, so quiet orders must not run.
TEST_F(OrdersTest, InterruptedWaitDoesNotCountAsQuiet) {
  struct sigaction action {}, previous{};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: poll() fails with EINTR
  sigaction(SIGUSR2, &action, &previous);
  Times t;
  ordersAddQuietTimer(300, onQuiet, &t);
  pthread_t loopThread = pthread_self();
  std::thread interrupter([loopThread] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(loopThread, SIGUSR2);
  });
  ordersStep(300);
  interrupter.join();
  EXPECT_LT(ordersMonotonicMs() - t.start, 250u);
  EXPECT_EQ(t.firstQuiet, 0u);
  sigaction(SIGUSR2, &previous, nullptr);
}

}  // namespace
