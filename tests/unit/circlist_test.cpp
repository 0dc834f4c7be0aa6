#include "support/circlist.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The two spellings of the back link the lists of the program use.
struct Short {
  char name;
  Short *next, *prev;
};
struct Long {
  char name;
  Long *next, *previous;
};

Short *&backOf(Short *r) { return r->prev; }
Long *&backOf(Long *r) { return r->previous; }

// The names front to back; "!" when a link is broken: a record's back link is not the record
// before it, or the first record's back link is not the last record.
template <class T>
std::string walk(T *list) {
  std::string names;
  T *before = nullptr;
  for (T *r = list; r; r = r->next) {
    if (before && backOf(r) != before) return names + "!";
    names += r->name;
    before = r;
  }
  if (list && backOf(list) != before) return names + "!";
  return names;
}

// Each step: push front (f), push back (b), insert before the record named (i), unlink (u).
struct Step {
  char op, name, before;
};
struct Case {
  std::initializer_list<Step> steps;
  const char *expected;
};

const Case kCases[] = {
    {{{'b', 'a', 0}}, "a"},
    {{{'f', 'a', 0}, {'f', 'b', 0}, {'b', 'c', 0}}, "bac"},
    {{{'b', 'a', 0}, {'b', 'b', 0}, {'i', 'x', 'a'}, {'i', 'y', 'b'}}, "xayb"},
    {{{'b', 'a', 0}, {'b', 'b', 0}, {'b', 'c', 0}, {'u', 'c', 0}, {'b', 'd', 0}}, "abd"},  // last leaves
    {{{'b', 'a', 0}, {'b', 'b', 0}, {'b', 'c', 0}, {'u', 'a', 0}, {'b', 'd', 0}}, "bcd"},  // first leaves
    {{{'b', 'a', 0}, {'b', 'b', 0}, {'b', 'c', 0}, {'u', 'b', 0}}, "ac"},
    {{{'b', 'a', 0}, {'u', 'a', 0}}, ""},
    {{{'b', 'a', 0}, {'u', 'a', 0}, {'f', 'b', 0}, {'b', 'c', 0}}, "bc"},
};

template <class T>
std::string run(const Case &c) {
  T records[26] = {};
  for (int i = 0; i < 26; i++) records[i].name = static_cast<char>('a' + i);
  auto at = [&](char name) { return &records[name - 'a']; };
  T *list = nullptr;
  for (const Step &s : c.steps) {
    if (s.op == 'f') circListPushFront(&list, at(s.name));
    if (s.op == 'b') circListPushBack(&list, at(s.name));
    if (s.op == 'i') circListInsertBefore(&list, at(s.before), at(s.name));
    if (s.op == 'u') {
      T *follower = at(s.name)->next;
      EXPECT_EQ(circListUnlink(&list, at(s.name)), follower);
      EXPECT_EQ(at(s.name)->next, nullptr);
      EXPECT_EQ(backOf(at(s.name)), nullptr);
    }
  }
  return walk(list);
}

TEST(CircList, BackLinksHoldThroughEveryChange) {
  for (const Case &c : kCases) {
    EXPECT_EQ(run<Short>(c), c.expected);
    EXPECT_EQ(run<Long>(c), c.expected);
  }
}

}  // namespace
