// Locked lists: singly linked lists of values under their own recursive mutex.
#include "support/queue.h"

#include <cstdlib>
#include <cstring>

#include "support/mutexguard.h"
#include "support/strings.h"

// Out-of-memory texts name this source file, as the log lines do.
#define QUEUE_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("queue")

namespace {

ThreadListNode *newNode(void *value) {
  auto *node = static_cast<ThreadListNode *>(calloc(1, sizeof(ThreadListNode)));
  if (node) node->value = value;
  return node;
}

// The node before `node`, NULL when `node` is the head or not in the list (*found tells).
ThreadListNode *findPrevious(ThreadList *list, ThreadListNode *node, bool *found) {
  ThreadListNode *previous = nullptr;
  for (ThreadListNode *n = list->head; n; previous = n, n = n->next) {
    if (n == node) {
      *found = true;
      return previous;
    }
  }
  *found = false;
  return nullptr;
}

}  // namespace

const char *queueCreate(ThreadList **list) {
  *list = nullptr;
  auto *l = static_cast<ThreadList *>(calloc(1, sizeof(ThreadList)));
  if (!l) return QUEUE_OUT_OF_MEMORY();
  int rc = pthread_mutexattr_init(&l->mutexAttr);
  if (rc) {
    free(l);
    return strTempPrintf("Could not initialize mutex attribs: %s", strerror(rc));
  }
  rc = pthread_mutexattr_settype(&l->mutexAttr, PTHREAD_MUTEX_RECURSIVE);
  if (!rc) rc = pthread_mutex_init(&l->mutex, &l->mutexAttr);
  if (rc) {
    pthread_mutexattr_destroy(&l->mutexAttr);
    free(l);
    return strTempPrintf("Could not create list mutex: %s", strerror(rc));
  }
  *list = l;
  return nullptr;
}

void queueDestroy(ThreadList *list) {
  if (!list) return;
  pthread_mutex_destroy(&list->mutex);
  pthread_mutexattr_destroy(&list->mutexAttr);
  free(list);
}

void queueLock(ThreadList *list) { pthread_mutex_lock(&list->mutex); }
void queueUnlock(ThreadList *list) { pthread_mutex_unlock(&list->mutex); }
bool queueTryLock(ThreadList *list) { return pthread_mutex_trylock(&list->mutex) == 0; }

const char *queueAppend(ThreadList *list, void *value, ThreadListNode **node) {
  if (node) *node = nullptr;
  ThreadListNode *n = newNode(value);
  if (!n) return QUEUE_OUT_OF_MEMORY();
  queueAppendNode(list, n);
  if (node) *node = n;
  return nullptr;
}

void queueAppendNode(ThreadList *list, ThreadListNode *node) {
  MutexGuard guard(&list->mutex);
  node->next = nullptr;
  if (list->tail)
    list->tail->next = node;
  else
    list->head = node;
  list->tail = node;
  list->count++;
}

const char *queueInsertAfter(ThreadList *list, ThreadListNode *after, void *value) {
  ThreadListNode *n = newNode(value);
  if (!n) return QUEUE_OUT_OF_MEMORY();
  MutexGuard guard(&list->mutex);
  if (after) {
    n->next = after->next;
    after->next = n;
    if (list->tail == after) list->tail = n;
  } else {
    n->next = list->head;
    list->head = n;
    if (!list->tail) list->tail = n;
  }
  list->count++;
  return nullptr;
}

const char *queueInsertBefore(ThreadList *list, ThreadListNode *before, void *value) {
  MutexGuard guard(&list->mutex);
  bool found = false;
  ThreadListNode *previous = before ? findPrevious(list, before, &found) : nullptr;
  if (!found) {
    return queueAppend(list, value);
  }
  return queueInsertAfter(list, previous, value);
}

ThreadListNode *queueTakeFirst(ThreadList *list) {
  MutexGuard guard(&list->mutex);
  ThreadListNode *n = list->head;
  if (!n) return nullptr;
  list->head = n->next;
  if (!list->head) list->tail = nullptr;
  list->count--;
  n->next = nullptr;
  return n;
}

bool queueUnlink(ThreadList *list, ThreadListNode *node) {
  MutexGuard guard(&list->mutex);
  bool found = false;
  ThreadListNode *previous = findPrevious(list, node, &found);
  if (!found) return false;
  if (previous)
    previous->next = node->next;
  else
    list->head = node->next;
  if (list->tail == node) list->tail = previous;
  list->count--;
  node->next = nullptr;
  return true;
}

ThreadListNode *queueFirst(ThreadList *list) {
  MutexGuard guard(&list->mutex);
  return list->head;
}

uint32_t queueCount(ThreadList *list) {
  MutexGuard guard(&list->mutex);
  return list->count;
}
