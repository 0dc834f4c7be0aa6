// Locked lists: singly linked lists of values under their own recursive mutex.
#pragma once

#include <pthread.h>

#include <cstdint>

struct ThreadListNode {
  ThreadListNode *next;
  void *value;
};

struct ThreadList {
  ThreadListNode *head;
  ThreadListNode *tail;
  uint32_t count;
  pthread_mutex_t mutex;  // recursive: compound operations may nest the single ones
  pthread_mutexattr_t mutexAttr;
};

// Creates an empty list; error text or NULL.
const char *queueCreate(ThreadList **list);
// Destroys the mutex and frees the list; the nodes (and their values) are the caller's.
// Accepts NULL.
void queueDestroy(ThreadList *list);

// Every operation below takes the list's mutex itself. queueLock/queueUnlock hold it across
// several operations (the mutex is recursive).
void queueLock(ThreadList *list);
void queueUnlock(ThreadList *list);
bool queueTryLock(ThreadList *list);

// Appends a value in a new node (stored in *node when node is not NULL); error text or NULL.
const char *queueAppend(ThreadList *list, void *value, ThreadListNode **node = nullptr);
// Appends a node the caller made.
void queueAppendNode(ThreadList *list, ThreadListNode *node);
// Inserts a value in a new node after `after` (at the head when `after` is NULL).
const char *queueInsertAfter(ThreadList *list, ThreadListNode *after, void *value);
// Inserts a value in a new node before `before` (at the tail when `before` is NULL or not in
// the list).
const char *queueInsertBefore(ThreadList *list, ThreadListNode *before, void *value);
// Unlinks and returns the first node, NULL when the list is empty.
ThreadListNode *queueTakeFirst(ThreadList *list);
// Unlinks the given node; false when it is not in the list. The node stays the caller's.
bool queueUnlink(ThreadList *list, ThreadListNode *node);
// The first node (still linked), NULL when empty.
ThreadListNode *queueFirst(ThreadList *list);
// The number of nodes, read under the list's mutex.
uint32_t queueCount(ThreadList *list);
