#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/queue.h"
#include "support/threadlib.h"

namespace {

using namespace std::chrono_literals;

// Ends the test binary (SIGALRM) when a step that could hang has not finished in time.
struct Watchdog {
  explicit Watchdog(unsigned seconds) { alarm(seconds); }
  ~Watchdog() { alarm(0); }
};

// A gate that jobs wait at until the test opens it.
struct Gate {
  std::latch latch{1};
  void release() { latch.count_down(); }
  void pass() { latch.wait(); }
};

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

uint32_t workerCount(ThreadPool *pool) {
  pthread_mutex_lock(&pool->countsMutex);
  uint32_t n = pool->workerCount;
  pthread_mutex_unlock(&pool->countsMutex);
  return n;
}

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

std::vector<intptr_t> values(ThreadResultSet *set) {
  std::vector<intptr_t> out;
  if (set)
    for (uint32_t i = 0; i < set->count; i++) out.push_back(reinterpret_cast<intptr_t>(set->results[i]));
  return out;
}

// Destroys the task and returns its remaining results as numbers.
std::vector<intptr_t> destroyTask(ThreadTask *task) {
  Watchdog watchdog(20);
  ThreadResultSet *set = threadlibDestroyTask(task);
  std::vector<intptr_t> out = values(set);
  threadlibFreeResults(set);
  return out;
}

// A job that waits for a gate, counts itself and puts its number.
struct GateJob {
  Gate *gate;
  std::atomic<int> *started;
  std::atomic<int> *finished;
  intptr_t number;
  uint32_t state = 99;  // what threadlibPutResult reported
};

const char *runGateJob(void *argument, ThreadJob *job) {
  auto *g = static_cast<GateJob *>(argument);
  if (g->started) ++*g->started;
  g->gate->pass();
  const char *error = threadlibPutResult(job, reinterpret_cast<void *>(g->number), &g->state);
  if (g->finished) ++*g->finished;
  return error;
}

const char *putSequence(void *, ThreadJob *job) {
  uint32_t state;
  return threadlibPutResult(job, reinterpret_cast<void *>(static_cast<intptr_t>(job->sequence)), &state);
}

}  // namespace

TEST(ThreadList, InsertUnlinkAndTakeKeepOrderCountAndTail) {
  ThreadList *list = nullptr;
  ASSERT_EQ(queueCreate(&list), nullptr);
  auto contents = [&] {
    std::vector<intptr_t> out;
    for (ThreadListNode *n = list->head; n; n = n->next) out.push_back(reinterpret_cast<intptr_t>(n->value));
    EXPECT_EQ(out.size(), list->count);
    EXPECT_EQ(list->tail ? reinterpret_cast<intptr_t>(list->tail->value) : -1, out.empty() ? -1 : out.back());
    return out;
  };
  auto v = [](intptr_t i) { return reinterpret_cast<void *>(i); };
  ThreadListNode *three = nullptr;
  ASSERT_EQ(queueAppend(list, v(1)), nullptr);
  ASSERT_EQ(queueAppend(list, v(3), &three), nullptr);
  ASSERT_EQ(queueInsertBefore(list, three, v(2)), nullptr);
  ASSERT_EQ(queueInsertAfter(list, nullptr, v(0)), nullptr);
  ASSERT_EQ(queueInsertAfter(list, three, v(4)), nullptr);  // after the tail: becomes the tail
  ASSERT_EQ(queueInsertBefore(list, list->head, v(-1)), nullptr);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{-1, 0, 1, 2, 3, 4}));

  ThreadListNode *last = list->tail;
  EXPECT_TRUE(queueUnlink(list, last));
  free(last);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{-1, 0, 1, 2, 3}));
  ThreadListNode stranger{nullptr, v(9)};
  EXPECT_FALSE(queueUnlink(list, &stranger));
  EXPECT_TRUE(queueUnlink(list, three));
  free(three);
  ASSERT_EQ(queueAppend(list, v(5)), nullptr);
  EXPECT_EQ(contents(), (std::vector<intptr_t>{-1, 0, 1, 2, 5}));

  while (ThreadListNode *n = queueTakeFirst(list)) free(n);
  EXPECT_EQ(contents(), std::vector<intptr_t>{});
  EXPECT_EQ(queueFirst(list), nullptr);
  queueDestroy(list);
}

TEST(ThreadResults, OrderedPutsReportStateAndTakeInSequenceAcrossWrapAround) {
  struct Row {
    uint64_t base;
    std::vector<int> finishOrder;
    std::vector<uint32_t> states;
  };
  const Row rows[] = {
      {0, {2, 0, 1}, {0, 1, 2}},
      {0, {0, 1, 2}, {1, 1, 2}},
      {0, {1, 2, 0}, {0, 0, 2}},
      {UINT64_MAX - 1, {2, 0, 1}, {0, 1, 2}},  // sequences MAX-1, MAX, 0
      {UINT64_MAX, {1, 2, 0}, {0, 0, 2}},      // sequences MAX, 0, 1
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << "base " << row.base << " first " << row.finishOrder[0]);
    ThreadTask *task = makeTask(nullptr, kThreadTaskOrdered);
    task->nextJobSequence = task->nextExpectedSequence = row.base;
    task->pendingResults = 3;
    task->unfinishedJobs = 0;
    ThreadJob jobs[3];
    for (int i = 0; i < 3; i++) jobs[i] = ThreadJob{nullptr, nullptr, row.base + i, task, 0};
    for (size_t k = 0; k < 3; k++) {
      uint32_t state = 99;
      int i = row.finishOrder[k];
      ASSERT_EQ(threadlibPutResult(&jobs[i], reinterpret_cast<void *>(static_cast<intptr_t>(i)), &state), nullptr);
      EXPECT_EQ(state, row.states[k]);
    }
    const char *error = "unset";
    ThreadResultSet *set = threadlibTryTakeResults(task, &error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(values(set), (std::vector<intptr_t>{0, 1, 2}));
    EXPECT_EQ(task->nextExpectedSequence, row.base + 3);
    threadlibFreeResults(set);
    EXPECT_TRUE(destroyTask(task).empty());
  }
}

TEST(ThreadPool, OrderedTaskDeliversInAddOrderWhenJobsFinishTwoZeroOne) {
  ThreadPool *pool = makePool(3);
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gates[3];
  std::atomic<int> finished[3] = {0, 0, 0};
  std::vector<GateJob> jobs;
  for (int i = 0; i < 3; i++) jobs.push_back(GateJob{&gates[i], nullptr, &finished[i], i});
  for (GateJob &j : jobs) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &j), nullptr);
  const uint32_t expectedStates[] = {0, 1, 2};
  const int order[] = {2, 0, 1};
  for (int k = 0; k < 3; k++) {
    int i = order[k];
    gates[i].release();
    ASSERT_TRUE(waitUntil([&] { return finished[i] == 1; }));
    EXPECT_EQ(jobs[i].state, expectedStates[k]) << "after job " << i;
  }
  const char *error = "unset";
  ThreadResultSet *set = threadlibTryTakeResults(task, &error);
  EXPECT_EQ(values(set), (std::vector<intptr_t>{0, 1, 2}));
  // The delivery lock is held until the set is freed.
  EXPECT_EQ(threadlibTryTakeResults(task, &error), nullptr);
  EXPECT_EQ(error, nullptr);
  threadlibFreeResults(set);
  EXPECT_TRUE(destroyTask(task).empty());
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, ThousandJobsWithRandomSleepsComeOutInAddOrder) {
  ThreadPool *pool = makePool(8);
  ThreadTask *task = makeTask(pool, 0x72);
  std::vector<unsigned> sleeps(1000);
  std::mt19937 random(12345);
  for (unsigned &s : sleeps) s = random() % 300;
  auto run = [](void *argument, ThreadJob *job) -> const char * {
    std::this_thread::sleep_for(std::chrono::microseconds(*static_cast<unsigned *>(argument)));
    return putSequence(nullptr, job);
  };
  for (unsigned &s : sleeps) ASSERT_EQ(threadlibTaskAddJob(task, run, &s), nullptr);
  std::vector<intptr_t> received;
  {
    Watchdog watchdog(30);
    while (received.size() < 1000 && threadlibTaskRunningJobs(task) > 0) {
      const char *error = nullptr;
      ThreadResultSet *set = threadlibTryTakeResults(task, &error);
      ASSERT_EQ(error, nullptr);
      for (intptr_t v : values(set)) received.push_back(v);
      threadlibFreeResults(set);
      threadlibWaitJobDone(task);
    }
  }
  for (intptr_t v : destroyTask(task)) received.push_back(v);
  ASSERT_EQ(received.size(), 1000u);
  for (size_t i = 0; i < received.size(); i++) ASSERT_EQ(received[i], static_cast<intptr_t>(i));
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, ZeroThreadsRunsJobsInlineAndFailuresStillDeliver) {
  ThreadPool *pool = makePool(0);
  ThreadTask *task = makeTask(pool, 0x72);
  EXPECT_EQ(task->threaded, 0u);
  struct Seen {
    pthread_t thread;
    bool ran = false;
  } seen;
  auto run = [](void *argument, ThreadJob *job) -> const char * {
    auto *s = static_cast<Seen *>(argument);
    s->thread = pthread_self();
    s->ran = true;
    return putSequence(nullptr, job);
  };
  ASSERT_EQ(threadlibTaskAddJob(task, run, &seen), nullptr);
  EXPECT_TRUE(seen.ran);
  EXPECT_TRUE(pthread_equal(seen.thread, pthread_self()));
  EXPECT_EQ(threadlibTaskRunningJobs(task), 0u);
  // A failing job reports its error to the caller and leaves a NULL result in its place.
  auto fail = [](void *, ThreadJob *) -> const char * { return "job failed"; };
  EXPECT_STREQ(threadlibTaskAddJob(task, fail, nullptr), "job failed");
  ASSERT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
  EXPECT_EQ(destroyTask(task), (std::vector<intptr_t>{0, 0, 2}));
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, FailedThreadedJobDeliversNullSoOrderedTaskDoesNotStall) {
  ThreadPool *pool = makePool(2);
  ThreadTask *task = makeTask(pool, 0x72);
  auto fail = [](void *, ThreadJob *) -> const char * { return "job failed"; };
  auto putThenFail = [](void *, ThreadJob *job) -> const char * {
    putSequence(nullptr, job);
    return "failed after its result";
  };
  ASSERT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(task, fail, nullptr), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(task, putThenFail, nullptr), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(task, putSequence, nullptr), nullptr);
  EXPECT_EQ(destroyTask(task), (std::vector<intptr_t>{0, 0, 2, 3}));
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, JobLimitFollowsThreadFactorAndMakesTaskBusy) {
  struct Row {
    const char *factor;
    uint32_t limit;
  };
  const Row rows[] = {{"1.5", 6}, {nullptr, 4}, {"0.4", 2}, {"junk", 4}, {"-2", 4}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.factor ? row.factor : "(unset)");
    if (row.factor)
      setenv("MWTthreadFactor", row.factor, 1);
    else
      unsetenv("MWTthreadFactor");
    ThreadPool *pool = makePool(4);
    unsetenv("MWTthreadFactor");
    ASSERT_TRUE(waitUntil([&] { return workerCount(pool) == 4; }));
    pthread_mutex_lock(&pool->countsMutex);
    EXPECT_EQ(pool->jobLimit, row.limit);
    pthread_mutex_unlock(&pool->countsMutex);
    if (row.limit == 6) {
      ThreadTask *task = makeTask(pool, kThreadTaskThreaded | kThreadTaskOrdered);
      Gate gate;
      std::vector<GateJob> jobs(7, GateJob{&gate, nullptr, nullptr, 0});
      for (int i = 0; i < 6; i++) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &jobs[i]), nullptr);
      EXPECT_FALSE(threadlibTaskBusy(task));
      ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &jobs[6]), nullptr);
      EXPECT_TRUE(threadlibTaskBusy(task));
      gate.release();
      EXPECT_EQ(destroyTask(task).size(), 7u);
    }
    threadlibDestroyPool(pool);
  }
}

TEST(ThreadPool, LoweringThreadCountStopsOnlyIdleWorkers) {
  ThreadPool *pool = makePool(4);
  ASSERT_TRUE(waitUntil([&] { return workerCount(pool) == 4; }));
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gate;
  std::atomic<int> started{0}, finished{0};
  GateJob jobs[2] = {{&gate, &started, &finished, 0}, {&gate, &started, &finished, 1}};
  for (GateJob &j : jobs) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &j), nullptr);
  ASSERT_TRUE(waitUntil([&] { return started == 2; }));
  threadlibSetThreadCount(pool, 1, 0);
  EXPECT_EQ(threadlibThreadCount(pool), 1u);
  ASSERT_TRUE(waitUntil([&] { return workerCount(pool) == 2; }));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(workerCount(pool), 2u);  // the busy ones are left running
  EXPECT_EQ(finished, 0);
  gate.release();
  ASSERT_TRUE(waitUntil([&] { return workerCount(pool) == 1; }));
  EXPECT_EQ(destroyTask(task), (std::vector<intptr_t>{0, 1}));
  // Raising the count again starts workers.
  threadlibSetThreadCount(pool, 3, 0);
  EXPECT_TRUE(waitUntil([&] { return workerCount(pool) == 3; }));
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, HigherPriorityJobsRunFirst) {
  ThreadPool *pool = makePool(1);
  ThreadTask *blocker = makeTask(pool, kThreadTaskThreaded | kThreadTaskPriority0);
  ThreadTask *low = makeTask(pool, kThreadTaskThreaded | kThreadTaskPriority0);
  ThreadTask *high = makeTask(pool, kThreadTaskThreaded | kThreadTaskPriority3);
  ThreadTask *middle = makeTask(pool, kThreadTaskThreaded | kThreadTaskPriority1 | kThreadTaskPriority3);
  EXPECT_EQ(middle->priority, 1u);
  Gate gate;
  std::atomic<int> started{0};
  GateJob block{&gate, &started, nullptr, 0};
  ASSERT_EQ(threadlibTaskAddJob(blocker, runGateJob, &block), nullptr);
  ASSERT_TRUE(waitUntil([&] { return started == 1; }));
  static std::mutex mutex;
  static std::vector<std::string> order;
  order.clear();
  auto mark = [](void *argument, ThreadJob *) -> const char * {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(static_cast<const char *>(argument));
    return nullptr;
  };
  const char *marks[] = {"low", "middle", "high"};
  ASSERT_EQ(threadlibTaskAddJob(low, mark, const_cast<char *>(marks[0])), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(middle, mark, const_cast<char *>(marks[1])), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(high, mark, const_cast<char *>(marks[2])), nullptr);
  EXPECT_EQ(threadlibQueuedJobs(pool), 3u);
  gate.release();
  for (ThreadTask *t : {blocker, low, middle, high}) destroyTask(t);
  EXPECT_EQ(order, (std::vector<std::string>{"high", "middle", "low"}));
  threadlibDestroyPool(pool);
}

TEST(ThreadPool, DestroyPoolWithQueuedJobsReturnsAndDiscardsThem) {
  ThreadPool *pool = makePool(1);
  ThreadTask *task = makeTask(pool, 0x72);
  Gate gate;
  std::atomic<int> started{0}, finished{0};
  std::vector<GateJob> jobs;
  for (int i = 0; i < 21; i++) jobs.push_back(GateJob{&gate, &started, &finished, i + 100});
  for (GateJob &j : jobs) ASSERT_EQ(threadlibTaskAddJob(task, runGateJob, &j), nullptr);
  ASSERT_TRUE(waitUntil([&] { return started == 1; }));
  {
    Watchdog watchdog(20);
    std::thread destroyer([&] { threadlibDestroyPool(pool); });
    std::this_thread::sleep_for(20ms);
    gate.release();
    destroyer.join();
  }
  EXPECT_GE(finished, 1);
  EXPECT_LT(finished, 21);  // the queued ones did not all run
  std::vector<intptr_t> results = destroyTask(task);
  ASSERT_EQ(results.size(), 21u);
  for (int i = 0; i < 21; i++) EXPECT_EQ(results[i], i < finished ? i + 100 : 0) << "result " << i;
}

TEST(ThreadPool, DefaultPoolIsMadeOnceAndResized) {
  ASSERT_EQ(threadlibInitDefaultPool(2), nullptr);
  ThreadPool *pool = threadlibDefaultPool;
  ASSERT_NE(pool, nullptr);
  ASSERT_EQ(threadlibInitDefaultPool(3), nullptr);
  EXPECT_EQ(threadlibDefaultPool, pool);
  EXPECT_EQ(threadlibThreadCount(pool), 3u);
  EXPECT_TRUE(waitUntil([&] { return workerCount(pool) == 3; }));
  threadlibDestroyPool(pool);
  EXPECT_EQ(threadlibDefaultPool, nullptr);
}

TEST(ThreadName, NamesParentWorkerAndOtherThreads) {
  EXPECT_STREQ(threadlibThreadName(), "main thread");
  ThreadPool *pool = makePool(1);
  EXPECT_STREQ(threadlibThreadName(), "main thread");
  EXPECT_EQ(threadlibThreadIndex(pthread_self()), 1u);

  std::string longName(150, 'n');
  struct Seen {
    std::string name;
    uint64_t index = 0;
  } seen[2];
  auto look = [](void *argument, ThreadJob *) -> const char * {
    auto *s = static_cast<Seen *>(argument);
    // While the manager walks the worker list the name is the short "worker thread #id" form.
    for (int i = 0; i < 1000; i++) {
      s->name = threadlibThreadName();
      if (s->name.rfind("worker thread #", 0) != 0) break;
      std::this_thread::sleep_for(1ms);
    }
    s->index = threadlibThreadIndex(pthread_self());
    return nullptr;
  };
  ThreadTask *task = makeTask(pool, kThreadTaskThreaded, "namer");
  ThreadTask *longTask = makeTask(pool, kThreadTaskThreaded, longName.c_str());
  ASSERT_EQ(threadlibTaskAddJob(task, look, &seen[0]), nullptr);
  ASSERT_EQ(threadlibTaskAddJob(longTask, look, &seen[1]), nullptr);
  destroyTask(task);
  destroyTask(longTask);
  EXPECT_EQ(seen[0].name, "sub task #0 of 'namer' (thread #1)");
  EXPECT_EQ(seen[0].index, 3u);
  EXPECT_EQ(seen[1].name.size(), 99u);
  EXPECT_EQ(seen[1].name.rfind("sub task #0 of 'nnn", 0), 0u);

  std::string stranger;
  pthread_t strangerId{};
  uint64_t strangerIndex = 0;
  std::thread other([&] {
    stranger = threadlibThreadName();
    strangerId = pthread_self();
    strangerIndex = threadlibThreadIndex(strangerId);
  });
  other.join();
  EXPECT_EQ(stranger, "thread #" + std::to_string(static_cast<unsigned long>(strangerId)));
  EXPECT_EQ(strangerIndex, static_cast<uint64_t>(strangerId));

  ThreadPool *second = makePool(0);
  EXPECT_EQ(std::string(threadlibThreadName()),
            "parent thread #" + std::to_string(static_cast<unsigned long>(pthread_self())));
  threadlibDestroyPool(second);
  threadlibDestroyPool(pool);
  EXPECT_STREQ(threadlibThreadName(), "main thread");
}
