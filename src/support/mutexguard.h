// The one mutex style of the library: pthread mutexes (the records of threadlib and queue hold
// theirs, some recursive, some waited on with condition variables), locked for a scope by
// MutexGuard. Mutexes of a module's own are static pthread_mutex_t with a static initializer,
// so that they live through static destruction.
#pragma once

#include <pthread.h>

struct MutexGuard {
  explicit MutexGuard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
  ~MutexGuard() { pthread_mutex_unlock(mutex); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;
  pthread_mutex_t *mutex;
};
