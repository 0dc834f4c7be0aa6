#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/queue.h"
#include "support/threadlib.h"

namespace {

using namespace std::chrono_literals;
using Values = std::vector<intptr_t>;

// Ends the test binary (SIGALRM) when a step that could hang has not finished in time.
struct Watchdog {
  explicit Watchdog(unsigned seconds) { alarm(seconds); }
  ~Watchdog() { alarm(0); }
};

bool waitUntil(const std::function<bool()> &condition) {
  for (auto end = std::chrono::steady_clock::now() + 5s; !condition(); std::this_thread::sleep_for(1ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

uint32_t workers(ThreadPool *pool) { return queueCount(pool->workers); }

ThreadPool *makePool(uint32_t threads) {
  ThreadPool *pool = nullptr;
  EXPECT_EQ(threadlibCreatePool(threads, 0, &pool), nullptr);
  return pool;
}

ThreadTask *makeTask(ThreadPool *pool, uint32_t flags, const char *name = "test") {
  ThreadTask *task = nullptr;
  EXPECT_EQ(threadlibCreateTask(pool, name, flags, &task), nullptr);
  return task;
}

Values values(ThreadResultSet *set) {
  Values out;
  for (uint32_t i = 0; set && i < set->count; i++) out.push_back(reinterpret_cast<intptr_t>(set->results[i]));
  return out;
}

// Destroys the task (with a time-out) and returns its remaining results as numbers.
Values destroyTask(ThreadTask *task) {
  Watchdog watchdog(20);
  ThreadResultSet *set = threadlibDestroyTask(task);
  Values out = values(set);
  threadlibFreeResults(set);
  return out;
}

// Jobs of runGateJob count their start, wait until the gate opens, put their number and count
// their end.
struct Gate { std::latch open{1}; std::atomic<int> started{0}, finished{0}; };
struct GateJob { Gate *gate; intptr_t number = 0; };

const char *runGateJob(void *argument, ThreadJob *job) {
  auto *g = static_cast<GateJob *>(argument);
  ++g->gate->started;
  g->gate->open.wait();
  const char *error = threadlibPutResult(job, reinterpret_cast<void *>(g->number), nullptr);
  ++g->gate->finished;
  return error;
}

const char *putSequence(void *, ThreadJob *job) {
  return threadlibPutResult(job, reinterpret_cast<void *>(static_cast<intptr_t>(job->sequence)), nullptr);
}

}  // namespace

// Inserts at head, tail and in between, unlinks (also a node not in the list); count and tail
// stay right.
TEST(ThreadList, InsertUnlinkAndTakeKeepOrderCountAndTail) {
  ThreadList *list = nullptr;
  ASSERT_EQ(queueCreate(&list), nullptr);
  auto contents = [&] {
    Values out;
    for (ThreadListNode *n = list->head; n; n = n->next) out.push_back(reinterpret_cast<intptr_t>(n->value));
    EXPECT_EQ(out.size(), list->count);
    EXPECT_EQ(list->tail ? reinterpret_cast<intptr_t>(list->tail->value) : -1, out.empty() ? -1 : out.back());
    return out;
  };
  auto v = [](intptr_t i) { return reinterpret_cast<void *>(i); };
  ThreadListNode *three = nullptr, stranger{nullptr, v(9)};
  ASSERT_TRUE(!queueAppend(list, v(1)) && !queueAppend(list, v(3), &three) && !queueInsertBefore(list, three, v(2)) &&
              !queueInsertAfter(list, nullptr, v(0)) && !queueInsertAfter(list, three, v(4)));  // 4 becomes the tail
  EXPECT_EQ(contents(), (Values{0, 1, 2, 3, 4}));
  EXPECT_FALSE(queueUnlink(list, &stranger));
  for (ThreadListNode *node : {list->tail, three}) {
    EXPECT_TRUE(queueUnlink(list, node));
    free(node);
  }
  ASSERT_EQ(queueAppend(list, v(5)), nullptr);  // the tail moved back correctly
  EXPECT_EQ(contents(), (Values{0, 1, 2, 5}));
  while (ThreadListNode *n = queueTakeFirst(list)) free(n);
  EXPECT_EQ(contents(), Values{});
  queueDestroy(list);
}

// Put states and take order of an ordered task whose jobs finish out of order, also where the
// 64-bit sequence wraps; the delivery lock is held until the set is freed.
TEST(ThreadResults, OrderedPutsReportStateAndTakeInSequenceAcrossWrapAround) {
  const struct { uint64_t base; int finishOrder[3]; uint32_t states[3]; } rows[] = {
      {0, {2, 0, 1}, {0, 1, 2}},
      {0, {0, 1, 2}, {1, 1, 2}},
      {UINT64_MAX - 1, {2, 0, 1}, {0, 1, 2}},  // sequences MAX-1, MAX, 0
      {UINT64_MAX, {1, 2, 0}, {0, 0, 2}},      // sequences MAX, 0, 1
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "base " << row.base << " first " << row.finishOrder[0]);
    ThreadTask *task = makeTask(nullptr, kThreadTaskOrdered | kThreadTaskDeliveryLock);
    task->nextJobSequence = task->nextExpectedSequence = row.base;
    task->pendingResults = 3;
    for (int k = 0; k < 3; k++) {
      int i = row.finishOrder[k];
      ThreadJob job{nullptr, nullptr, row.base + i, task, 0};
      uint32_t state = 99;
      ASSERT_EQ(threadlibPutResult(&job, reinterpret_cast<void *>(static_cast<intptr_t>(i)), &state), nullptr);
      EXPECT_EQ(state, row.states[k]);
    }
    const char *error = "unset";
    ThreadResultSet *set = threadlibTryTakeResults(task, &error);
    EXPECT_EQ(values(set), (Values{0, 1, 2}));
    EXPECT_EQ(threadlibTryTakeResults(task, &error), nullptr);  // lock held: no take, no error
    EXPECT_EQ(error, nullptr);
    threadlibFreeResults(set);
    EXPECT_TRUE(destroyTask(task).empty());
  }
  // A set of a task without delivery lock may be freed after its task.
  ThreadTask *plain = makeTask(nullptr, 0);
  ASSERT_EQ(threadlibTaskAddJob(plain, putSequence, nullptr), nullptr);
  const char *error = nullptr;
  ThreadResultSet *set = threadlibTryTakeResults(plain, &error);
  EXPECT_EQ(values(set), Values{0});
  EXPECT_TRUE(destroyTask(plain).empty());
  threadlibFreeResults(set);
  // Destroying a task whose set still holds the delivery lock does not wait for it.
  ThreadTask *locked = makeTask(nullptr, kThreadTaskDeliveryLock);
  ASSERT_EQ(threadlibTaskAddJob(locked, putSequence, nullptr), nullptr);
  ThreadResultSet *held = threadlibTryTakeResults(locked, &error);
  ASSERT_EQ(threadlibTaskAddJob(locked, putSequence, nullptr), nullptr);
  EXPECT_EQ(destroyTask(locked), Values{1});
  EXPECT_EQ(values(held), Values{0});
  threadlibFreeResults(held);
}

// Taken while the jobs run, the results come out strictly in add order.
TEST(ThreadPool, ThousandJobsWithRandomSleepsComeOutInAddOrder) {
  ThreadPool *pool = makePool(8);
  ThreadTask *task = makeTask(pool, 0x72);
  std::vector<unsigned> sleeps(1000);
  std::mt19937 random(12345);
  auto run = [](void *argument, ThreadJob *job) -> const char * {
    std::this_thread::sleep_for(std::chrono::microseconds(*static_cast<unsigned *>(argument)));
    return putSequence(nullptr, job);
  };
  for (unsigned &s : sleeps) ASSERT_EQ(threadlibTaskAddJob(task, run, &(s = random() % 300)), nullptr);
  Values received, expected(1000);
  Watchdog watchdog(30);
  while (threadlibTaskRunningJobs(task) > 0) {
    const char *error = nullptr;
    ThreadResultSet *set = threadlibTryTakeResults(task, &error);
    ASSERT_EQ(error, nullptr);
    for (intptr_t v : values(set)) received.push_back(v);
    threadlibFreeResults(set);
    threadlibWaitJobDone(task);
  }
  for (intptr_t v : destroyTask(task)) received.push_back(v);
  for (size_t i = 0; i < expected.size(); i++) expected[i] = static_cast<intptr_t>(i);
  EXPECT_EQ(received, expected);
  threadlibDestroyPool(pool);
}

// A failing job (before or after putting its result) leaves a result in its place, so later
// results of an ordered task still come out; with 0 threads every job has run when the add
// returns, and the add returns the job's error.
TEST(ThreadPool, FailedJobsStillDeliverAndZeroThreadsRunInline) {
  auto fail = [](void *, ThreadJob *) -> const char * { return "job failed"; };
  auto putThenFail = [](void *, ThreadJob *job) -> const char * { return putSequence(nullptr, job), "failed later"; };
  for (uint32_t threads : {0u, 2u}) {
    SCOPED_TRACE(threads);
    ThreadPool *pool = makePool(threads);
    ThreadTask *task = makeTask(pool, 0x72);
    EXPECT_EQ(task->threaded, threads ? 1u : 0u);
    EXPECT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
    EXPECT_STREQ(threadlibTaskAddJob(task, fail, nullptr), threads ? nullptr : "job failed");
    if (!threads) {
      EXPECT_EQ(threadlibTaskResultCount(task), 2u);  // both ran already
    }
    EXPECT_EQ(threadlibTaskAddJob(task, putThenFail, nullptr) != nullptr, threads == 0);
    EXPECT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
    EXPECT_EQ(destroyTask(task), (Values{0, 0, 2, 3}));
    threadlibDestroyPool(pool);
  }
}

// The job limit is the worker count times MWTthreadFactor (default 1, bad values ignored),
// rounded; a task with more unfinished jobs than that is busy.
TEST(ThreadPool, JobLimitFollowsThreadFactorAndMakesTaskBusy) {
  const struct { const char *factor; uint32_t limit; } rows[] = {{"1.5", 6}, {nullptr, 4}, {"0.4", 2}, {"junk", 4}, {"-2", 4}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.factor ? row.factor : "(unset)");
    row.factor ? setenv("MWTthreadFactor", row.factor, 1) : unsetenv("MWTthreadFactor");
    ThreadPool *pool = makePool(4);
    unsetenv("MWTthreadFactor");
    ASSERT_TRUE(waitUntil([&] { return workers(pool) == 4; }));
    ThreadTask *task = makeTask(pool, kThreadTaskThreaded | kThreadTaskOrdered);
    Gate gate;
    std::vector<GateJob> jobs(row.limit + 1, GateJob{&gate});
    for (uint32_t i = 0; i <= row.limit; i++) {
      EXPECT_FALSE(threadlibTaskBusy(task));
      ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &jobs[i]), nullptr);
    }
    EXPECT_TRUE(threadlibTaskBusy(task));
    gate.open.count_down();
    EXPECT_EQ(destroyTask(task).size(), row.limit + 1);
    threadlibDestroyPool(pool);
  }
}

// Lowering the count (here of the default pool) stops idle workers at once and busy ones only
// after their job; at 0 a job of a task made earlier still runs; raising it starts workers.
TEST(ThreadPool, LoweringThreadCountStopsOnlyIdleWorkers) {
  ASSERT_EQ(threadlibInitDefaultPool(4), nullptr);
  ThreadPool *pool = threadlibDefaultPool;
  ASSERT_TRUE(waitUntil([&] { return workers(pool) == 4; }));
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gate;
  GateJob jobs[2] = {{&gate, 0}, {&gate, 1}};
  for (GateJob &j : jobs) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &j), nullptr);
  ASSERT_TRUE(waitUntil([&] { return gate.started == 2; }));
  ASSERT_EQ(threadlibInitDefaultPool(1), nullptr);
  EXPECT_EQ(threadlibThreadCount(pool), 1u);
  ASSERT_TRUE(waitUntil([&] { return workers(pool) == 2; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(workers(pool), 2u);  // the busy ones are left running
  EXPECT_EQ(gate.finished, 0);
  gate.open.count_down();
  ASSERT_TRUE(waitUntil([&] { return workers(pool) == 1; }));
  ASSERT_EQ(threadlibInitDefaultPool(0), nullptr);
  ASSERT_TRUE(waitUntil([&] { return workers(pool) == 0; }));
  ASSERT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
  EXPECT_EQ(destroyTask(task), (Values{0, 1, 2}));
  ASSERT_EQ(threadlibInitDefaultPool(3), nullptr);
  EXPECT_EQ(threadlibDefaultPool, pool);
  EXPECT_TRUE(waitUntil([&] { return workers(pool) == 3; }));
  threadlibDestroyPool(pool);
  EXPECT_EQ(threadlibDefaultPool, nullptr);
}

// Destroying a task wakes up when its job ends on a worker of another pool.
TEST(ThreadPool, DestroyTaskReturnsWhenItsJobRanInAnotherPool) {
  ThreadPool *pool = makePool(1), *other = makePool(1);
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gate;
  GateJob job{&gate, 7};
  ASSERT_EQ(threadlibAddJob(other, task, runGateJob, &job), nullptr);
  ASSERT_TRUE(waitUntil([&] { return gate.started == 1; }));
  std::thread opener([&] { std::this_thread::sleep_for(20ms), gate.open.count_down(); });  // destroyer waits by then
  EXPECT_EQ(destroyTask(task), Values{7});
  opener.join();
  threadlibDestroyPool(other);
  threadlibDestroyPool(pool);
}

// Queued jobs run from priority 3 down to 0; of two priority flags 0x2 wins.
TEST(ThreadPool, HigherPriorityJobsRunFirst) {
  ThreadPool *pool = makePool(1);
  const uint32_t flags[] = {0, kThreadTaskPriority0, kThreadTaskPriority1 | kThreadTaskPriority3, kThreadTaskPriority3};
  std::vector<ThreadTask *> tasks;
  for (uint32_t f : flags) tasks.push_back(makeTask(pool, kThreadTaskThreaded | f));
  Gate gate;
  GateJob block{&gate};
  ASSERT_EQ(threadlibTaskAddJob(tasks[0], runGateJob, &block), nullptr);
  ASSERT_TRUE(waitUntil([&] { return gate.started == 1; }));
  static std::string order;  // one worker: no concurrent appends
  order.clear();
  auto mark = [](void *argument, ThreadJob *) -> const char * { return order += static_cast<const char *>(argument), nullptr; };
  const char *marks[] = {"", "L", "M", "H"};
  for (int i = 1; i < 4; i++) ASSERT_EQ(threadlibTaskAddJob(tasks[i], mark, const_cast<char *>(marks[i])), nullptr);
  EXPECT_EQ(threadlibQueuedJobs(pool), 3u);
  gate.open.count_down();
  for (ThreadTask *t : tasks) destroyTask(t);
  EXPECT_EQ(order, "HML");
  threadlibDestroyPool(pool);
}

// Destroying a pool lets the running job finish, drops the queued ones (each leaves a NULL
// result) and returns.
TEST(ThreadPool, DestroyPoolWithQueuedJobsReturnsAndDiscardsThem) {
  ThreadPool *pool = makePool(1);
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gate;
  std::vector<GateJob> jobs;
  for (int i = 0; i < 21; i++) jobs.push_back(GateJob{&gate, i + 100});
  for (GateJob &j : jobs) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &j), nullptr);
  ASSERT_TRUE(waitUntil([&] { return gate.started == 1; }));
  {
    Watchdog watchdog(20);
    std::thread destroyer([&] { threadlibDestroyPool(pool); });
    // Time for the destroyer to mark the pool stopping (generous: a loaded machine may not run
    // the new thread at once), or every queued job would run.
    std::this_thread::sleep_for(200ms);
    gate.open.count_down();
    destroyer.join();
  }
  int finished = gate.finished;
  EXPECT_GE(finished, 1);
  EXPECT_LT(finished, 21);  // the queued ones did not all run
  Values results = destroyTask(task), expected;
  for (int i = 0; i < 21; i++) expected.push_back(i < finished ? i + 100 : 0);
  EXPECT_EQ(results, expected);
}

// Names and indexes of the parent, a worker running a job (name cut at 99 characters) and a
// thread of no pool.
TEST(ThreadName, NamesParentWorkerAndOtherThreads) {
  EXPECT_STREQ(threadlibThreadName(), "main thread");
  ThreadPool *pool = makePool(1);
  EXPECT_STREQ(threadlibThreadName(), "main thread");
  EXPECT_EQ(threadlibThreadIndex(pthread_self()), 1u);
  std::string longName(150, 'n'), seen[2];
  auto look = [](void *argument, ThreadJob *job) -> const char * {
    auto &name = *static_cast<std::string *>(argument);  // "worker thread #id" while the list is busy
    for (int i = 0; i < 1000 && (name = threadlibThreadName()).rfind("worker thread #", 0) == 0; i++)
      std::this_thread::sleep_for(1ms);
    return threadlibPutResult(job, reinterpret_cast<void *>(threadlibThreadIndex(pthread_self())), nullptr);
  };
  ThreadTask *tasks[2] = {makeTask(pool, kThreadTaskThreaded, "namer"), makeTask(pool, kThreadTaskThreaded, longName.c_str())};
  for (int i = 0; i < 2; i++) ASSERT_EQ(threadlibTaskAddJob(tasks[i], look, &seen[i]), nullptr);
  EXPECT_EQ(destroyTask(tasks[0]), Values{3});
  destroyTask(tasks[1]);
  EXPECT_EQ(seen[0], "sub task #0 of 'namer' (thread #1)");
  EXPECT_EQ(seen[1], "sub task #0 of '" + std::string(99 - 16, 'n'));
  std::thread([] {  // a thread of no pool is named and indexed by its id
    EXPECT_EQ(threadlibThreadIndex(pthread_self()), static_cast<uint64_t>(pthread_self()));
    EXPECT_EQ(threadlibThreadName(), "thread #" + std::to_string(static_cast<unsigned long>(pthread_self())));
  }).join();
  ThreadPool *second = makePool(0);
  EXPECT_EQ(std::string(threadlibThreadName()), "parent thread #" + std::to_string(static_cast<unsigned long>(pthread_self())));
  threadlibDestroyPool(second);
  threadlibDestroyPool(pool);
  EXPECT_STREQ(threadlibThreadName(), "main thread");
}

// Jobs that deliver their own results (put, then take until nothing is left, as the stream
// writers do) leave nothing behind: a take refused while another job held the delivery lock
// is made good by the holder, also when the holder's own take came up empty.
TEST(ThreadPool, JobsThatDeliverTheirOwnResultsLeaveNoneBehind) {
  ThreadPool *pool = makePool(8);
  ThreadTask *task = makeTask(pool, kThreadTaskThreaded | kThreadTaskOrdered | kThreadTaskDeliveryLock);
  static std::vector<intptr_t> delivered;
  delivered.clear();
  auto run = [](void *, ThreadJob *job) -> const char * {
    if (const char *error = putSequence(nullptr, job)) return error;
    for (;;) {
      const char *error = nullptr;
      ThreadResultSet *set = threadlibTryTakeResults(job->task, &error);
      if (!set) return error;
      for (intptr_t v : values(set)) delivered.push_back(v);  // (under the delivery lock)
      threadlibFreeResults(set);
    }
  };
  // Every burst's end is a chance for a result to stay behind, with no later job to take it.
  Watchdog watchdog(60);
  constexpr intptr_t kBursts = 5000, kBurst = 6;
  int leftBehind = 0;
  for (intptr_t b = 0; b < kBursts; b++) {
    for (intptr_t i = 0; i < kBurst; i++) ASSERT_EQ(threadlibTaskAddJob(task, run, nullptr), nullptr);
    while (threadlibTaskRunningJobs(task) > 0) std::this_thread::yield();
    if (threadlibTaskResultCount(task) > 0) {
      leftBehind++;
      const char *error = nullptr;  // taken here so that the next burst starts clean
      ThreadResultSet *set = threadlibTryTakeResults(task, &error);
      for (intptr_t v : values(set)) delivered.push_back(v);
      threadlibFreeResults(set);
    }
  }
  EXPECT_EQ(leftBehind, 0);
  Values expected(kBursts * kBurst);
  for (size_t i = 0; i < expected.size(); i++) expected[i] = intptr_t(i);
  EXPECT_EQ(delivered, expected);
  EXPECT_TRUE(destroyTask(task).empty());
  threadlibDestroyPool(pool);
}
