// Doubly linked lists of records whose first record's back link points at the last one, so
// that appending needs no tail pointer: the event loop's order lists and the configuration's
// screen and meta-screen lists. A list is a pointer to its first record (NULL when empty);
// each record has `next` (NULL at the end) and a back link named `prev` or `previous`.
// Header-only; the records stay owned by the caller.
#pragma once

namespace circlist_detail {

template <class T>
T *&back(T *record) {
  if constexpr (requires { record->prev; })
    return record->prev;
  else
    return record->previous;
}

}  // namespace circlist_detail

template <class T>
void circListPushFront(T **list, T *record) {
  using circlist_detail::back;
  record->next = *list;
  if (*list) {
    back(record) = back(*list);
    back(*list) = record;
  } else {
    back(record) = record;
  }
  *list = record;
}

template <class T>
void circListPushBack(T **list, T *record) {
  using circlist_detail::back;
  if (!*list) {
    circListPushFront(list, record);
    return;
  }
  T *last = back(*list);
  last->next = record;
  back(record) = last;
  record->next = nullptr;
  back(*list) = record;
}

// Inserts record in front of before, a member of the list.
template <class T>
void circListInsertBefore(T **list, T *before, T *record) {
  using circlist_detail::back;
  if (before == *list) {
    circListPushFront(list, record);
    return;
  }
  back(record) = back(before);
  record->next = before;
  back(before)->next = record;
  back(before) = record;
}

// Takes record out of the list and clears its links; returns the record that followed it.
template <class T>
T *circListUnlink(T **list, T *record) {
  using circlist_detail::back;
  T *next = record->next;
  if (record == *list) {
    *list = next;
    if (next) back(next) = back(record);
  } else {
    back(record)->next = next;
    if (next)
      back(next) = back(record);
    else
      back(*list) = back(record);
  }
  record->next = nullptr;
  back(record) = nullptr;
  return next;
}
