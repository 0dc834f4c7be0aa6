// Thread pool: a manager thread and workers that run the jobs of named tasks, four priority job
// lists, and per-task result lists that an ordered task hands back in the order of its jobs.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "support/queue.h"

struct ThreadJob;
struct ThreadTask;
struct ThreadResultSet;

// A job: called as function(argument, job) on a worker (or in the caller for a task without
// threads). It may add jobs and put its result; a returned error text marks the job failed.
using ThreadJobFunction = const char *(*)(void *argument, ThreadJob *job);

// Task flags.
constexpr uint32_t kThreadTaskPriority0 = 0x1;
constexpr uint32_t kThreadTaskPriority1 = 0x2;
constexpr uint32_t kThreadTaskPriority2 = 0x4;
constexpr uint32_t kThreadTaskPriority3 = 0x8;
constexpr uint32_t kThreadTaskThreaded = 0x10;
constexpr uint32_t kThreadTaskOrdered = 0x20;
constexpr uint32_t kThreadTaskDeliveryLock = 0x40;

// Worker states.
constexpr uint32_t kThreadWorkerBusy = 0;  // busy, or woken and about to look for a job
constexpr uint32_t kThreadWorkerIdle = 1;  // idle and waiting on its condition
constexpr uint32_t kThreadWorkerStop = 2;

// Management states.
constexpr uint32_t kThreadPoolRunning = 0;
constexpr uint32_t kThreadPoolStopping = 2;

struct ThreadPool {
  ThreadPool *next;  // global pool list
  ThreadPool *previous;
  ThreadList *workers;  // of ThreadWorker*
  ThreadList *jobs[4];  // of ThreadJob*, priority 0 to 3
  uint32_t workerCount;
  uint32_t threadCount;  // the limit of workers
  uint32_t secondWorkerCount;
  uint32_t secondLimit;
  uint32_t jobLimit;  // workerCount * threadFactor, rounded
  pthread_mutex_t countsMutex;  // recursive; guards the counts and limits above
  pthread_mutexattr_t countsMutexAttr;
  pthread_t manager;
  uint32_t managementState;
  pthread_mutex_t stateMutex;
  pthread_cond_t managementCondition;
  pthread_mutex_t signalMutex;  // guards managementSignalled
  pthread_cond_t taskReadyCondition;
  pthread_mutex_t taskReadyMutex;
  pthread_t parentThread;
  double threadFactor;         // "MWTthreadFactor", read when the pool is made
  uint32_t managementSignalled;  // set by every signaller; the manager's wait predicate
};

struct ThreadWorker {
  pthread_t thread;
  uint32_t kind;  // 0; the second kind is never started
  ThreadPool *pool;
  uint32_t state;  // kThreadWorker..., guarded by wakeMutex
  pthread_cond_t wakeCondition;
  pthread_mutex_t wakeMutex;
  pthread_mutex_t stateMutex;  // recursive; guards jobNode
  pthread_mutexattr_t stateMutexAttr;
  ThreadListNode *jobNode;  // the job being run, NULL when none
};

struct ThreadTask {
  const char *name;  // the caller's text, not copied
  ThreadPool *pool;
  uint32_t threaded;
  uint32_t ordered;
  uint32_t deliveryLock;
  uint32_t priority;  // 0-3
  uint64_t nextJobSequence;
  uint64_t nextExpectedSequence;
  pthread_mutex_t sequenceMutex;  // recursive
  pthread_mutexattr_t sequenceMutexAttr;
  uint32_t unfinishedJobs;  // queued or running; changed under the pool's task-ready mutex too
  uint32_t pendingResults;  // jobs whose result has not been put
  pthread_mutex_t countsMutex;
  ThreadList *results;  // of ThreadResult*
  // The delivery lock is held from a successful take until threadlibFreeResults, which may run
  // on another thread: it is a flag under deliveryMutex with a condition to wait for it.
  pthread_mutex_t deliveryMutex;
  pthread_cond_t deliveryCondition;
  uint32_t deliveryHeld;
  // A try was refused while the lock was held: the holder takes again before it lets go.
  uint32_t deliveryRefused;
  ThreadResultSet *deliverySet;  // the set that holds the delivery lock, NULL when none
};

struct ThreadJob {
  ThreadJobFunction function;
  void *argument;
  uint64_t sequence;
  ThreadTask *task;
  uint32_t resultPut;  // set by threadlibPutResult
};

struct ThreadResult {
  void *value;
  uint64_t sequence;
};

struct ThreadResultSet {
  void **results;
  uint32_t count;
  ThreadTask *task;  // NULL after the task is destroyed
  bool holdsDeliveryLock;  // released by threadlibFreeResults
};

// The default pool (NULL until threadlibInitDefaultPool has made it).
extern ThreadPool *threadlibDefaultPool;

const char *threadlibInitDefaultPool(uint32_t numberOfThreads);
const char *threadlibCreatePool(uint32_t threadCount, uint32_t secondLimit, ThreadPool **pool);
// Stops the manager and every worker (a running job finishes first), discards queued jobs (each
// counts as a failed job of its task), frees the pool and unlinks it. Accepts NULL.
void threadlibDestroyPool(ThreadPool *pool);
void threadlibSetThreadCount(ThreadPool *pool, uint32_t threadCount, uint32_t secondLimit);
uint32_t threadlibThreadCount(ThreadPool *pool);
uint32_t threadlibQueuedJobs(ThreadPool *pool);
// Stops one idle worker; false when none was idle.
bool threadlibStopIdleWorker(ThreadPool *pool);

const char *threadlibCreateTask(ThreadPool *pool, const char *name, uint32_t flags, ThreadTask **task);
// Waits until the task has no unfinished jobs, takes its remaining results (the set's task is
// NULL; NULL when there are none) and frees the task. It never waits for the delivery lock: a
// set still holding it is detached from the task and may be freed later.
ThreadResultSet *threadlibDestroyTask(ThreadTask *task);
// A job of a task without threads runs before this returns; its error text is returned then.
const char *threadlibAddJob(ThreadPool *pool, ThreadTask *task, ThreadJobFunction function, void *argument);
const char *threadlibTaskAddJob(ThreadTask *task, ThreadJobFunction function, void *argument);
const char *threadlibJobAddJob(ThreadJob *job, ThreadJobFunction function, void *argument);
bool threadlibTaskBusy(ThreadTask *task);
uint32_t threadlibTaskRunningJobs(ThreadTask *task);
uint32_t threadlibTaskResultCount(ThreadTask *task);
// When the task-ready mutex is free and the task has unfinished jobs, waits once for a job of
// the pool to end.
void threadlibWaitJobDone(ThreadTask *task);

// From inside a running job. *state: 2 when every job of the task has put its result, else 1
// when a result is ready to be taken, else 0.
const char *threadlibPutResult(ThreadJob *job, void *result, uint32_t *state);
// Non-blocking take of the ready results; NULL with *error NULL when nothing is ready or the
// delivery lock is held. A returned set holds the delivery lock until threadlibFreeResults;
// its holder takes again after the free until a take gives nothing: a take refused meanwhile
// leaves its results to the holder (the take that gives nothing looks again for them).
ThreadResultSet *threadlibTryTakeResults(ThreadTask *task, const char **error);
// Like threadlibTryTakeResults, but waits for the delivery lock.
ThreadResultSet *threadlibTakeResults(ThreadTask *task, const char **error);
ThreadResultSet *threadlibJobTakeResults(ThreadJob *job, const char **error);
void threadlibFreeResults(ThreadResultSet *set);

// 1 for a pool's parent thread, 2 for its manager, 3 and up for its workers in list order,
// otherwise the thread's id.
uint64_t threadlibThreadIndex(pthread_t thread);
// A name of the calling thread for log lines (a temporary string of at most 99 characters).
const char *threadlibThreadName();
