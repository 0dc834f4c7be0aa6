// Thread pool: a manager thread and workers that run the jobs of named tasks, four priority job
// lists, and per-task result lists that an ordered task hands back in the order of its jobs.
//
// Every wait below is a predicate loop under the mutex that guards its predicate:
// - a worker waits on its wake condition while its state is idle (wake mutex);
// - the manager waits on the management condition until a signaller has set
//   managementSignalled (signal mutex) or the pool is stopping;
// - threadlibDestroyTask waits on the task-ready condition while the task has unfinished jobs;
//   the count is lowered under the task-ready mutex, so the broadcast cannot fall between the
//   test and the wait.
// A worker marks itself idle before it tells the manager so, so a job queued meanwhile is seen
// either by the worker's own look at the job lists or by the manager's next round.
#include "support/threadlib.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/mutexguard.h"
#include "support/strings.h"

// Out-of-memory texts name this source file, as the log lines do.
#define THREADLIB_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("threadlib")

ThreadPool *threadlibDefaultPool = nullptr;

namespace {

pthread_mutex_t poolListMutex = PTHREAD_MUTEX_INITIALIZER;
// Guards the link between a task and the result set that holds its delivery lock (the set's
// task and the task's deliverySet), so that a task destroyed while a set is out never sees that
// set freed under it, and the set never touches the freed task.
pthread_mutex_t deliveryLinkMutex = PTHREAD_MUTEX_INITIALIZER;
ThreadPool *poolListHead = nullptr;
ThreadPool *poolListTail = nullptr;
pthread_mutex_t defaultPoolMutex = PTHREAD_MUTEX_INITIALIZER;

double readThreadFactor() {
  const char *text = getenv("MWTthreadFactor");
  if (!text || !*text) return 1.0;
  char *end = nullptr;
  double factor = strtod(text, &end);
  while (end && (*end == ' ' || *end == '\t')) end++;
  if (end == text || *end || !std::isfinite(factor) || factor < 0) return 1.0;
  return factor;
}

// Counts mutex held.
void recomputeJobLimit(ThreadPool *pool) {
  double limit = std::round(pool->workerCount * pool->threadFactor);
  pool->jobLimit = limit >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(limit);
}

void signalManager(ThreadPool *pool) {
  MutexGuard lock(&pool->signalMutex);
  pool->managementSignalled = 1;
  pthread_cond_signal(&pool->managementCondition);
}

uint32_t readManagementState(ThreadPool *pool) {
  MutexGuard lock(&pool->stateMutex);
  return pool->managementState;
}

uint32_t readUnfinished(ThreadTask *task) {
  MutexGuard lock(&task->countsMutex);
  return task->unfinishedJobs;
}

// Ends a job: a failed job that put no result still delivers a NULL one so that an ordered
// task does not stall at its sequence; then the unfinished count is lowered and the waiters
// on the task-ready condition of the task's own pool (where threadlibDestroyTask waits) are
// woken. The task may be freed as soon as the count is lowered.
void finishJob(ThreadJob *job, bool failed) {
  ThreadTask *task = job->task;
  ThreadPool *pool = task->pool;
  if (failed && !job->resultPut) {
    uint32_t state = 0;
    threadlibPutResult(job, nullptr, &state);
  }
  if (!pool) {
    MutexGuard counts(&task->countsMutex);
    task->unfinishedJobs--;
    return;
  }
  MutexGuard ready(&pool->taskReadyMutex);
  {
    MutexGuard counts(&task->countsMutex);
    task->unfinishedJobs--;
  }
  pthread_cond_broadcast(&pool->taskReadyCondition);
}

ThreadListNode *takeJob(ThreadPool *pool) {
  for (int priority = 3; priority >= 0; priority--) {
    if (ThreadListNode *node = queueTakeFirst(pool->jobs[priority])) return node;
  }
  return nullptr;
}

void *workerMain(void *argument) {
  auto *worker = static_cast<ThreadWorker *>(argument);
  ThreadPool *pool = worker->pool;
  pthread_mutex_lock(&worker->wakeMutex);
  for (;;) {
    if (worker->state == kThreadWorkerStop) break;
    ThreadListNode *node = takeJob(pool);
    if (!node) {
      worker->state = kThreadWorkerIdle;
      pthread_mutex_unlock(&worker->wakeMutex);
      signalManager(pool);
      pthread_mutex_lock(&worker->wakeMutex);
      while (worker->state == kThreadWorkerIdle) pthread_cond_wait(&worker->wakeCondition, &worker->wakeMutex);
      continue;
    }
    worker->state = kThreadWorkerBusy;
    pthread_mutex_unlock(&worker->wakeMutex);

    auto *job = static_cast<ThreadJob *>(node->value);
    {
      MutexGuard lock(&worker->stateMutex);
      worker->jobNode = node;
    }
    const char *error = job->function(job->argument, job);
    {
      MutexGuard lock(&worker->stateMutex);
      worker->jobNode = nullptr;
    }
    finishJob(job, error != nullptr);
    free(job);
    free(node);
    pthread_mutex_lock(&worker->wakeMutex);
  }
  pthread_mutex_unlock(&worker->wakeMutex);
  return nullptr;
}

void freeWorkerRecord(ThreadWorker *worker, int made) {
  if (made > 2) pthread_mutex_destroy(&worker->stateMutex);
  if (made > 1) pthread_mutexattr_destroy(&worker->stateMutexAttr);
  if (made > 0) {
    pthread_mutex_destroy(&worker->wakeMutex);
    pthread_cond_destroy(&worker->wakeCondition);
  }
  free(worker);
}

// Counts mutex held. False when no worker could be started.
bool startWorker(ThreadPool *pool) {
  auto *worker = static_cast<ThreadWorker *>(calloc(1, sizeof(ThreadWorker)));
  auto *node = static_cast<ThreadListNode *>(calloc(1, sizeof(ThreadListNode)));
  if (!worker || !node) {
    free(worker);
    free(node);
    return false;
  }
  worker->kind = 0;
  worker->pool = pool;
  worker->state = kThreadWorkerBusy;
  int made = 0;
  if (pthread_mutex_init(&worker->wakeMutex, nullptr)) goto fail;
  if (pthread_cond_init(&worker->wakeCondition, nullptr)) {
    pthread_mutex_destroy(&worker->wakeMutex);
    goto fail;
  }
  made = 1;
  if (pthread_mutexattr_init(&worker->stateMutexAttr)) goto fail;
  made = 2;
  if (pthread_mutexattr_settype(&worker->stateMutexAttr, PTHREAD_MUTEX_RECURSIVE) ||
      pthread_mutex_init(&worker->stateMutex, &worker->stateMutexAttr))
    goto fail;
  made = 3;
  // The record joins the worker list while its thread is made, so that its first job already
  // finds it there and nobody reads the thread id before pthread_create has stored it.
  node->value = worker;
  queueLock(pool->workers);
  if (pthread_create(&worker->thread, nullptr, workerMain, worker)) {
    queueUnlock(pool->workers);
    goto fail;
  }
  queueAppendNode(pool->workers, node);
  queueUnlock(pool->workers);
  pool->workerCount++;
  recomputeJobLimit(pool);
  return true;
fail:
  freeWorkerRecord(worker, made);
  free(node);
  return false;
}

// The worker record is no longer in the worker list.
void stopWorker(ThreadPool *pool, ThreadWorker *worker) {
  {
    MutexGuard lock(&worker->wakeMutex);
    worker->state = kThreadWorkerStop;
    pthread_cond_signal(&worker->wakeCondition);
  }
  pthread_join(worker->thread, nullptr);
  freeWorkerRecord(worker, 3);
  MutexGuard counts(&pool->countsMutex);
  pool->workerCount--;
  recomputeJobLimit(pool);
}

// Unlinks the first idle worker, already marked to stop; NULL when none is idle.
ThreadWorker *detachIdleWorker(ThreadPool *pool) {
  queueLock(pool->workers);
  ThreadWorker *found = nullptr;
  for (ThreadListNode *node = pool->workers->head; node; node = node->next) {
    auto *worker = static_cast<ThreadWorker *>(node->value);
    MutexGuard lock(&worker->wakeMutex);
    if (worker->state == kThreadWorkerIdle) {
      worker->state = kThreadWorkerStop;
      found = worker;
      queueUnlink(pool->workers, node);
      free(node);
      break;
    }
  }
  queueUnlock(pool->workers);
  return found;
}

// The number of workers to keep: the thread count, but one while jobs are queued when the count
// is 0, so that jobs of a task made while the pool had threads still run (otherwise destroying
// that task would wait for ever). Counts mutex held.
uint32_t workerTarget(ThreadPool *pool) {
  if (pool->threadCount == 0 && threadlibQueuedJobs(pool) > 0) return 1;
  return pool->threadCount;
}

void adjustWorkers(ThreadPool *pool) {
  {
    MutexGuard counts(&pool->countsMutex);
    while (pool->workerCount < workerTarget(pool)) {
      if (!startWorker(pool)) break;
    }
  }
  for (;;) {
    {
      MutexGuard counts(&pool->countsMutex);
      if (pool->workerCount <= workerTarget(pool)) return;
    }
    ThreadWorker *worker = detachIdleWorker(pool);
    if (!worker) return;
    stopWorker(pool, worker);
  }
}

void wakeWorkers(ThreadPool *pool) {
  for (int priority = 3; priority >= 0; priority--) {
    uint32_t waiting = queueCount(pool->jobs[priority]);
    if (!waiting) continue;
    uint32_t woken = 0;
    queueLock(pool->workers);
    for (ThreadListNode *node = pool->workers->head; node && woken < waiting; node = node->next) {
      auto *worker = static_cast<ThreadWorker *>(node->value);
      if (priority < 3 && worker->kind != 0) continue;
      MutexGuard lock(&worker->wakeMutex);
      if (worker->state == kThreadWorkerIdle) {
        worker->state = kThreadWorkerBusy;
        pthread_cond_signal(&worker->wakeCondition);
        woken++;
      }
    }
    queueUnlock(pool->workers);
    if (woken < waiting && priority < 3) break;
  }
}

void *managerMain(void *argument) {
  auto *pool = static_cast<ThreadPool *>(argument);
  for (;;) {
    if (readManagementState(pool) == kThreadPoolStopping) break;
    adjustWorkers(pool);
    wakeWorkers(pool);
    MutexGuard lock(&pool->signalMutex);
    while (!pool->managementSignalled && readManagementState(pool) != kThreadPoolStopping)
      pthread_cond_wait(&pool->managementCondition, &pool->signalMutex);
    pool->managementSignalled = 0;
  }
  {
    MutexGuard counts(&pool->countsMutex);
    pool->threadCount = 0;
    pool->secondLimit = 0;
  }
  // Every worker, idle or busy: a running job ends before its worker is joined.
  while (ThreadListNode *node = queueTakeFirst(pool->workers)) {
    auto *worker = static_cast<ThreadWorker *>(node->value);
    free(node);
    stopWorker(pool, worker);
  }
  return nullptr;
}

// Sync objects of a pool, in the order they are made.
enum PoolSyncObject {
  kMadeStateMutex = 1,
  kMadeManagementCondition,
  kMadeSignalMutex,
  kMadeTaskReadyCondition,
  kMadeTaskReadyMutex,
  kMadeCountsAttr,
  kMadeCountsMutex,
};

void freePool(ThreadPool *pool, int made) {
  queueDestroy(pool->workers);
  for (ThreadList *list : pool->jobs) queueDestroy(list);
  if (made >= kMadeCountsMutex) pthread_mutex_destroy(&pool->countsMutex);
  if (made >= kMadeCountsAttr) pthread_mutexattr_destroy(&pool->countsMutexAttr);
  if (made >= kMadeTaskReadyMutex) pthread_mutex_destroy(&pool->taskReadyMutex);
  if (made >= kMadeTaskReadyCondition) pthread_cond_destroy(&pool->taskReadyCondition);
  if (made >= kMadeSignalMutex) pthread_mutex_destroy(&pool->signalMutex);
  if (made >= kMadeManagementCondition) pthread_cond_destroy(&pool->managementCondition);
  if (made >= kMadeStateMutex) pthread_mutex_destroy(&pool->stateMutex);
  free(pool);
}

void releaseDelivery(ThreadTask *task) {
  MutexGuard lock(&task->deliveryMutex);
  task->deliveryHeld = 0;
  pthread_cond_broadcast(&task->deliveryCondition);
}

enum TakeMode { kTakeTry, kTakeWait, kTakeAll };

// The results ready now as a new set (NULL: none; *error set when no memory could be had):
// in list order from the next expected sequence on (an ordered task), or all of them (kTakeAll).
// The results' list and the sequence mutex are held.
ThreadResultSet *collectReady(ThreadTask *task, const char **error, TakeMode mode) {
  uint32_t available = task->results->count;
  if (!available) return nullptr;
  auto *set = static_cast<ThreadResultSet *>(calloc(1, sizeof(ThreadResultSet)));
  void **array = static_cast<void **>(calloc(available, sizeof(void *)));
  if (!set || !array) {
    free(set);
    free(array);
    *error = THREADLIB_OUT_OF_MEMORY();
    return nullptr;
  }
  set->results = array;
  while (set->count < available) {
    auto *result = static_cast<ThreadResult *>(task->results->head->value);
    if (task->ordered && mode != kTakeAll && result->sequence != task->nextExpectedSequence) break;
    free(queueTakeFirst(task->results));
    array[set->count++] = result->value;
    if (task->ordered) task->nextExpectedSequence = result->sequence + 1;
    free(result);
  }
  if (set->count) return set;
  free(array);
  free(set);
  return nullptr;
}

// Moves results into a new set. kTakeAll (at destroy) takes every remaining result in list
// order and leaves the delivery lock free.
ThreadResultSet *takeResults(ThreadTask *task, const char **error, TakeMode mode) {
  *error = nullptr;
  if (task->deliveryLock) {
    MutexGuard lock(&task->deliveryMutex);
    if (task->deliveryHeld && mode == kTakeTry) {
      task->deliveryRefused = 1;
      return nullptr;
    }
    while (task->deliveryHeld) pthread_cond_wait(&task->deliveryCondition, &task->deliveryMutex);
    task->deliveryHeld = 1;
    task->deliveryRefused = 0;  // what a refused take was for is in the results already
  }
  for (;;) {
    queueLock(task->results);
    pthread_mutex_lock(&task->sequenceMutex);
    ThreadResultSet *set = collectReady(task, error, mode);
    pthread_mutex_unlock(&task->sequenceMutex);
    queueUnlock(task->results);
    if (set && mode != kTakeAll) {
      MutexGuard link(&deliveryLinkMutex);
      set->task = task;  // the delivery lock stays held until threadlibFreeResults
      set->holdsDeliveryLock = task->deliveryLock;
      if (task->deliveryLock) task->deliverySet = set;
      return set;
    }
    if (!task->deliveryLock) return set;
    // A take refused while this one looked finds nobody to deliver its results: this one looks
    // again before it gives the lock back.
    MutexGuard lock(&task->deliveryMutex);
    if (task->deliveryRefused && !*error && mode != kTakeAll) {
      task->deliveryRefused = 0;
      continue;
    }
    task->deliveryHeld = 0;
    pthread_cond_broadcast(&task->deliveryCondition);
    return set;
  }
}

void formatThreadId(char *text, size_t size, pthread_t thread) {
  snprintf(text, size, "%lu", static_cast<unsigned long>(thread));
}

}  // namespace

// --- Pools ----------------------------------------------------------------------------------

const char *threadlibCreatePool(uint32_t threadCount, uint32_t secondLimit, ThreadPool **result) {
  *result = nullptr;
  auto *pool = static_cast<ThreadPool *>(calloc(1, sizeof(ThreadPool)));
  if (!pool) return THREADLIB_OUT_OF_MEMORY();
  int made = 0;
  int rc = 0;
  const char *failure = nullptr;
  if ((rc = pthread_mutex_init(&pool->stateMutex, nullptr))) {
    failure = "Could not create management state mutex: %s";
  } else if (made = kMadeStateMutex, (rc = pthread_cond_init(&pool->managementCondition, nullptr))) {
    failure = "Could not create management condition: %s";
  } else if (made = kMadeManagementCondition, (rc = pthread_mutex_init(&pool->signalMutex, nullptr))) {
    failure = "Could not create management signal mutex: %s";
  } else if (made = kMadeSignalMutex, (rc = pthread_cond_init(&pool->taskReadyCondition, nullptr))) {
    failure = "Could not create task ready condition: %s";
  } else if (made = kMadeTaskReadyCondition, (rc = pthread_mutex_init(&pool->taskReadyMutex, nullptr))) {
    failure = "Could not create task ready mutex: %s";
  } else if (made = kMadeTaskReadyMutex, (rc = pthread_mutexattr_init(&pool->countsMutexAttr))) {
    failure = "Could not initialize mutex attribs: %s";
  } else if (made = kMadeCountsAttr,
             (rc = pthread_mutexattr_settype(&pool->countsMutexAttr, PTHREAD_MUTEX_RECURSIVE))) {
    failure = "Could not set mutex attribs: %s";
  } else if ((rc = pthread_mutex_init(&pool->countsMutex, &pool->countsMutexAttr))) {
    failure = "Could not create temp mutex list mutex: %s";
  }
  if (failure) {
    const char *error = strTempPrintf(failure, strerror(rc));
    freePool(pool, made);
    return error;
  }
  made = kMadeCountsMutex;
  for (ThreadList *&list : pool->jobs) {
    if (queueCreate(&list)) {
      freePool(pool, made);
      return "Could not create task pool";
    }
  }
  if (queueCreate(&pool->workers)) {
    freePool(pool, made);
    return "Could not create thread pool";
  }
  pool->threadCount = threadCount;
  pool->secondLimit = secondLimit;
  pool->threadFactor = readThreadFactor();
  pool->managementState = kThreadPoolRunning;
  pool->parentThread = pthread_self();
  if ((rc = pthread_create(&pool->manager, nullptr, managerMain, pool))) {
    freePool(pool, made);
    return strTempPrintf("Could not create management thread: %s", strerror(rc));
  }
  {
    MutexGuard lock(&poolListMutex);
    pool->previous = poolListTail;
    if (poolListTail)
      poolListTail->next = pool;
    else
      poolListHead = pool;
    poolListTail = pool;
  }
  *result = pool;
  return nullptr;
}

void threadlibDestroyPool(ThreadPool *pool) {
  if (!pool) return;
  {
    MutexGuard lock(&pool->stateMutex);
    pool->managementState = kThreadPoolStopping;
  }
  signalManager(pool);
  pthread_join(pool->manager, nullptr);
  // Jobs that never ran count as failed jobs of their tasks.
  for (ThreadList *list : pool->jobs) {
    while (ThreadListNode *node = queueTakeFirst(list)) {
      auto *job = static_cast<ThreadJob *>(node->value);
      finishJob(job, true);
      free(job);
      free(node);
    }
  }
  {
    MutexGuard lock(&poolListMutex);
    if (pool->previous)
      pool->previous->next = pool->next;
    else if (poolListHead == pool)
      poolListHead = pool->next;
    if (pool->next)
      pool->next->previous = pool->previous;
    else if (poolListTail == pool)
      poolListTail = pool->previous;
  }
  {
    MutexGuard lock(&defaultPoolMutex);
    if (threadlibDefaultPool == pool) threadlibDefaultPool = nullptr;
  }
  freePool(pool, kMadeCountsMutex);
}

const char *threadlibInitDefaultPool(uint32_t numberOfThreads) {
  MutexGuard lock(&defaultPoolMutex);
  if (!threadlibDefaultPool) return threadlibCreatePool(numberOfThreads, 0, &threadlibDefaultPool);
  if (threadlibThreadCount(threadlibDefaultPool) != numberOfThreads) {
    uint32_t secondLimit;
    {
      MutexGuard counts(&threadlibDefaultPool->countsMutex);
      secondLimit = threadlibDefaultPool->secondLimit;
    }
    threadlibSetThreadCount(threadlibDefaultPool, numberOfThreads, secondLimit);
  }
  return nullptr;
}

void threadlibSetThreadCount(ThreadPool *pool, uint32_t threadCount, uint32_t secondLimit) {
  {
    MutexGuard counts(&pool->countsMutex);
    pool->threadCount = threadCount;
    pool->secondLimit = secondLimit;
  }
  signalManager(pool);
}

uint32_t threadlibThreadCount(ThreadPool *pool) {
  MutexGuard counts(&pool->countsMutex);
  return pool->threadCount;
}

uint32_t threadlibQueuedJobs(ThreadPool *pool) {
  uint32_t sum = 0;
  for (ThreadList *list : pool->jobs) sum += queueCount(list);
  return sum;
}

bool threadlibStopIdleWorker(ThreadPool *pool) {
  ThreadWorker *worker = detachIdleWorker(pool);
  if (!worker) return false;
  stopWorker(pool, worker);
  return true;
}

// --- Tasks ----------------------------------------------------------------------------------

const char *threadlibCreateTask(ThreadPool *pool, const char *name, uint32_t flags, ThreadTask **result) {
  *result = nullptr;
  auto *task = static_cast<ThreadTask *>(calloc(1, sizeof(ThreadTask)));
  if (!task) return THREADLIB_OUT_OF_MEMORY();
  task->name = name;
  task->pool = pool;
  task->threaded = (flags & kThreadTaskThreaded) && pool && threadlibThreadCount(pool) > 0;
  task->ordered = (flags & kThreadTaskOrdered) != 0;
  task->deliveryLock = (flags & kThreadTaskDeliveryLock) != 0;
  if (flags & kThreadTaskPriority1)
    task->priority = 1;
  else if (flags & kThreadTaskPriority0)
    task->priority = 0;
  else if (flags & kThreadTaskPriority2)
    task->priority = 2;
  else if (flags & kThreadTaskPriority3)
    task->priority = 3;
  else
    task->priority = 0;

  int rc = pthread_mutexattr_init(&task->sequenceMutexAttr);
  if (rc) {
    free(task);
    return strTempPrintf("Could not initialize mutex attribs: %s", strerror(rc));
  }
  rc = pthread_mutexattr_settype(&task->sequenceMutexAttr, PTHREAD_MUTEX_RECURSIVE);
  if (rc) {
    pthread_mutexattr_destroy(&task->sequenceMutexAttr);
    free(task);
    return strTempPrintf("Could not set mutex attribs: %s", strerror(rc));
  }
  const char *error = nullptr;
  int made = 0;
  if ((rc = pthread_mutex_init(&task->sequenceMutex, &task->sequenceMutexAttr)) == 0 && ++made &&
      (rc = pthread_mutex_init(&task->countsMutex, nullptr)) == 0 && ++made &&
      (rc = pthread_mutex_init(&task->deliveryMutex, nullptr)) == 0 && ++made &&
      (rc = pthread_cond_init(&task->deliveryCondition, nullptr)) == 0 && ++made) {
    error = queueCreate(&task->results);
  } else {
    error = strTempPrintf("Could not create task '%s': %s", name ? name : "", strerror(rc));
  }
  if (error) {
    if (made > 3) pthread_cond_destroy(&task->deliveryCondition);
    if (made > 2) pthread_mutex_destroy(&task->deliveryMutex);
    if (made > 1) pthread_mutex_destroy(&task->countsMutex);
    if (made > 0) pthread_mutex_destroy(&task->sequenceMutex);
    pthread_mutexattr_destroy(&task->sequenceMutexAttr);
    free(task);
    return error;
  }
  *result = task;
  return nullptr;
}

ThreadResultSet *threadlibDestroyTask(ThreadTask *task) {
  if (!task) return nullptr;
  if (readUnfinished(task) > 0 && task->pool) {
    ThreadPool *pool = task->pool;
    MutexGuard ready(&pool->taskReadyMutex);
    while (readUnfinished(task) > 0) pthread_cond_wait(&pool->taskReadyCondition, &pool->taskReadyMutex);
  }
  if (task->deliveryLock) {
    // A set that still holds the delivery lock is cut loose; its later free leaves the task alone.
    MutexGuard link(&deliveryLinkMutex);
    if (task->deliverySet) task->deliverySet->task = nullptr;
    task->deliverySet = nullptr;
    releaseDelivery(task);
  }
  const char *error = nullptr;
  ThreadResultSet *set = takeResults(task, &error, kTakeAll);
  // Only when the set could not be made (out of memory): the values are lost, the nodes freed.
  while (ThreadListNode *node = queueTakeFirst(task->results)) {
    free(node->value);
    free(node);
  }
  queueDestroy(task->results);
  pthread_cond_destroy(&task->deliveryCondition);
  pthread_mutex_destroy(&task->deliveryMutex);
  pthread_mutex_destroy(&task->countsMutex);
  pthread_mutex_destroy(&task->sequenceMutex);
  pthread_mutexattr_destroy(&task->sequenceMutexAttr);
  free(task);
  return set;
}

const char *threadlibAddJob(ThreadPool *pool, ThreadTask *task, ThreadJobFunction function, void *argument) {
  if (!task->threaded || !pool) {
    ThreadJob job{function, argument, 0, task, 0};
    {
      MutexGuard counts(&task->countsMutex);
      task->unfinishedJobs++;
      task->pendingResults++;
    }
    {
      MutexGuard sequence(&task->sequenceMutex);
      job.sequence = task->nextJobSequence++;
    }
    const char *error = function(argument, &job);
    finishJob(&job, error != nullptr);
    return error;
  }
  auto *job = static_cast<ThreadJob *>(calloc(1, sizeof(ThreadJob)));
  auto *node = static_cast<ThreadListNode *>(calloc(1, sizeof(ThreadListNode)));
  if (!job || !node) {
    free(job);
    free(node);
    return THREADLIB_OUT_OF_MEMORY();
  }
  job->function = function;
  job->argument = argument;
  job->task = task;
  node->value = job;
  {
    MutexGuard sequence(&task->sequenceMutex);
    job->sequence = task->nextJobSequence++;
  }
  {
    MutexGuard counts(&task->countsMutex);
    task->unfinishedJobs++;
    task->pendingResults++;
  }
  queueAppendNode(pool->jobs[task->priority], node);
  signalManager(pool);
  return nullptr;
}

const char *threadlibTaskAddJob(ThreadTask *task, ThreadJobFunction function, void *argument) {
  return threadlibAddJob(task->pool, task, function, argument);
}

const char *threadlibJobAddJob(ThreadJob *job, ThreadJobFunction function, void *argument) {
  return threadlibTaskAddJob(job->task, function, argument);
}

bool threadlibTaskBusy(ThreadTask *task) {
  uint32_t limit = 0;
  if (task->pool) {
    MutexGuard counts(&task->pool->countsMutex);
    limit = task->pool->jobLimit;
  }
  uint32_t waiting = queueCount(task->results);
  return waiting > limit || readUnfinished(task) > limit;
}

uint32_t threadlibTaskRunningJobs(ThreadTask *task) { return readUnfinished(task); }

uint32_t threadlibTaskResultCount(ThreadTask *task) { return queueCount(task->results); }

void threadlibWaitJobDone(ThreadTask *task) {
  ThreadPool *pool = task->pool;
  if (!pool || pthread_mutex_trylock(&pool->taskReadyMutex)) return;
  if (readUnfinished(task) > 0) pthread_cond_wait(&pool->taskReadyCondition, &pool->taskReadyMutex);
  pthread_mutex_unlock(&pool->taskReadyMutex);
}

// --- Results --------------------------------------------------------------------------------

const char *threadlibPutResult(ThreadJob *job, void *value, uint32_t *state) {
  ThreadTask *task = job->task;
  if (state) *state = 0;
  auto *result = static_cast<ThreadResult *>(calloc(1, sizeof(ThreadResult)));
  if (!result) return THREADLIB_OUT_OF_MEMORY();
  result->value = value;
  result->sequence = job->sequence;
  const char *error = nullptr;
  uint32_t ready = 0;
  queueLock(task->results);
  if (!task->ordered) {
    error = queueAppend(task->results, result);
    ready = task->results->count;
  } else {
    MutexGuard sequence(&task->sequenceMutex);
    // Sorted by distance from the next expected sequence (64-bit, wrapping): sequences below
    // the expected one sort after all others.
    uint64_t expected = task->nextExpectedSequence;
    uint64_t distance = result->sequence - expected;
    ThreadListNode *previous = nullptr;
    for (ThreadListNode *node = task->results->head; node; previous = node, node = node->next) {
      if (static_cast<ThreadResult *>(node->value)->sequence - expected > distance) break;
    }
    error = queueInsertAfter(task->results, previous, result);
    for (ThreadListNode *node = task->results->head;
         node && static_cast<ThreadResult *>(node->value)->sequence == expected; node = node->next) {
      ready++;
      expected++;
    }
  }
  queueUnlock(task->results);
  if (error) {
    free(result);
    return error;
  }
  uint32_t pending;
  {
    MutexGuard counts(&task->countsMutex);
    if (!job->resultPut && task->pendingResults) task->pendingResults--;
    pending = task->pendingResults;
  }
  job->resultPut = 1;
  if (state) *state = pending == 0 ? 2 : ready ? 1 : 0;
  return nullptr;
}

ThreadResultSet *threadlibTryTakeResults(ThreadTask *task, const char **error) {
  return takeResults(task, error, kTakeTry);
}

ThreadResultSet *threadlibTakeResults(ThreadTask *task, const char **error) {
  return takeResults(task, error, kTakeWait);
}

ThreadResultSet *threadlibJobTakeResults(ThreadJob *job, const char **error) {
  return threadlibTakeResults(job->task, error);
}

void threadlibFreeResults(ThreadResultSet *set) {
  if (!set) return;
  // Only a set that holds the delivery lock looks at its task: a task without one may be gone.
  if (set->holdsDeliveryLock) {
    MutexGuard link(&deliveryLinkMutex);
    if (set->task) {
      set->task->deliverySet = nullptr;
      releaseDelivery(set->task);
    }
  }
  free(set->results);
  free(set);
}

// --- Thread names ---------------------------------------------------------------------------

uint64_t threadlibThreadIndex(pthread_t thread) {
  MutexGuard lock(&poolListMutex);
  for (ThreadPool *pool = poolListHead; pool; pool = pool->next) {
    if (pthread_equal(thread, pool->parentThread)) return 1;
    if (pthread_equal(thread, pool->manager)) return 2;
    queueLock(pool->workers);
    uint64_t index = 3;
    for (ThreadListNode *node = pool->workers->head; node; node = node->next, index++) {
      if (pthread_equal(thread, static_cast<ThreadWorker *>(node->value)->thread)) {
        queueUnlock(pool->workers);
        return index;
      }
    }
    queueUnlock(pool->workers);
  }
  return static_cast<uint64_t>(thread);
}

const char *threadlibThreadName() {
  pthread_t self = pthread_self();
  char id[24];
  formatThreadId(id, sizeof id, self);
  char name[100];
  MutexGuard lock(&poolListMutex);
  if (!poolListHead) return "main thread";
  for (ThreadPool *pool = poolListHead; pool; pool = pool->next) {
    if (pthread_equal(self, pool->parentThread)) {
      if (poolListHead == poolListTail) return "main thread";
      snprintf(name, sizeof name, "parent thread #%s", id);
      return strTempDup(name);
    }
    if (pthread_equal(self, pool->manager)) {
      snprintf(name, sizeof name, "manager thread #%s", id);
      return strTempDup(name);
    }
    if (!queueTryLock(pool->workers)) {
      snprintf(name, sizeof name, "worker thread #%s", id);
      return strTempDup(name);
    }
    unsigned number = 1;
    for (ThreadListNode *node = pool->workers->head; node; node = node->next, number++) {
      auto *worker = static_cast<ThreadWorker *>(node->value);
      if (!pthread_equal(self, worker->thread)) continue;
      {
        MutexGuard state(&worker->stateMutex);
        if (worker->jobNode) {
          auto *job = static_cast<ThreadJob *>(worker->jobNode->value);
          snprintf(name, sizeof name, "sub task #%llu of '%s' (thread #%u)",
                   static_cast<unsigned long long>(job->sequence), job->task->name ? job->task->name : "",
                   number);
        } else {
          snprintf(name, sizeof name, "worker thread #%u ", number);
        }
      }
      queueUnlock(pool->workers);
      return strTempDup(name);
    }
    queueUnlock(pool->workers);
  }
  snprintf(name, sizeof name, "thread #%s", id);
  return strTempDup(name);
}
