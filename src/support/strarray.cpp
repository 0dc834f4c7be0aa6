// Counted string arrays.
#include "support/strarray.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <charconv>
#include <ctime>
#include <string>
#include <vector>

#include "support/problems.h"
#include "support/strtemp.h"

// ==========================================================================================
// Counted string arrays

int strArrayAppend(int *count, char ***array, const char *text) {
  char *copy = strdup(text);
  if (!copy) return 0;
  size_t n = static_cast<size_t>(*count) + 1;
  char **grown = static_cast<char **>(*array ? realloc(*array, n * sizeof(char *))
                                             : malloc(n * sizeof(char *)));
  if (!grown) {
    free(copy);
    return 0;
  }
  grown[*count] = copy;
  *array = grown;
  (*count)++;
  return 1;
}

int strArrayAppendAll(int *count, char ***array, int n, const char *const *texts) {
  for (int i = 0; i < n; i++)
    if (!strArrayAppend(count, array, texts[i])) return 0;
  return 1;
}

// On failure the texts appended by this call are freed again and the count restored.
int strArrayMerge(int *count, char ***array, int n, const char *const *texts) {
  int before = *count;
  for (int i = 0; i < n; i++) {
    if (strArrayContains(*count, *array, texts[i])) continue;
    if (!strArrayAppend(count, array, texts[i])) {
      for (int j = before; j < *count; j++) free((*array)[j]);
      *count = before;
      if (before == 0) {
        free(*array);
        *array = nullptr;
      }
      return 0;
    }
  }
  return 1;
}

int strArrayContains(int count, const char *const *array, const char *text) {
  for (int i = 0; i < count; i++)
    if (strcmp(array[i], text) == 0) return 1;
  return 0;
}

int strArrayContainsAll(int n, const char *const *texts, int count, const char *const *array) {
  for (int i = 0; i < n; i++)
    if (!strArrayContains(count, array, texts[i])) return 0;
  return 1;
}

int strArrayEqual(int n, const char *const *a, int m, const char *const *b) {
  if (n != m) return 0;
  for (int i = n - 1; i >= 0; i--)
    if (strcmp(a[i], b[i]) != 0) return 0;
  return 1;
}

size_t strArrayTotalLength(int count, const char *const *array) {
  size_t total = 0;
  for (int i = 0; i < count; i++) total += strlen(array[i]);
  return total;
}

char *strArrayJoin(int count, const char *const *array) {
  size_t size = strArrayTotalLength(count, array) + (count > 0 ? static_cast<size_t>(count) : 1);
  char *text = static_cast<char *>(malloc(size));
  if (!text) {
    PROBLEM_OUT_OF_MEMORY_AT("strings.c");
    return nullptr;
  }
  char *p = text;
  for (int i = 0; i < count; i++) {
    if (i > 0) *p++ = ' ';
    size_t len = strlen(array[i]);
    memcpy(p, array[i], len);
    p += len;
  }
  *p = 0;
  return text;
}

int strArrayDup(int *count, char ***array, int n, const char *const *texts) {
  if (n <= 0) {
    *count = 0;
    *array = nullptr;
    return 1;
  }
  char **copy = static_cast<char **>(calloc(static_cast<size_t>(n), sizeof(char *)));
  if (!copy) return 0;
  for (int i = 0; i < n; i++) {
    copy[i] = strdup(texts[i]);
    if (!copy[i]) {
      strArrayFree(i, copy);
      return 0;
    }
  }
  *count = n;
  *array = copy;
  return 1;
}

int strArrayReplace(int *count, char ***array, int n, const char *const *texts) {
  int newCount;
  char **newArray;
  if (!strArrayDup(&newCount, &newArray, n, texts)) return 0;
  strArrayFree(*count, *array);
  *count = newCount;
  *array = newArray;
  return 1;
}

int strArraySet(int count, char **array, int index, const char *text) {
  if (index < 0 || index >= count) return 0;
  char *copy = strdup(text);
  if (!copy) return 0;
  free(array[index]);
  array[index] = copy;
  return 1;
}

// Out-of-range parts of the request are ignored: only existing elements are removed.
void strArrayRemove(int *count, char ***array, int index, int n) {
  if (index < 0 || index >= *count || n <= 0) return;
  if (n > *count - index) n = *count - index;
  for (int i = index; i < index + n; i++) free((*array)[i]);
  memmove(*array + index, *array + index + n,
          static_cast<size_t>(*count - index - n) * sizeof(char *));
  *count -= n;
  if (*count == 0) {
    free(*array);
    *array = nullptr;
  }
}

void strArrayRemoveValue(int *count, char ***array, const char *text) {
  for (int i = *count - 1; i >= 0; i--) {
    if (strcmp((*array)[i], text) == 0) {
      strArrayRemove(count, array, i, 1);
      return;
    }
  }
}

int strArrayTerminate(int *count, char ***array) {
  size_t n = static_cast<size_t>(*count) + 1;
  char **grown = static_cast<char **>(realloc(*array, n * sizeof(char *)));
  if (!grown) return 0;
  grown[*count] = nullptr;
  *array = grown;
  return 1;
}

void strArrayFree(int count, char **array) {
  if (!array) return;
  for (int i = 0; i < count; i++) free(array[i]);
  free(array);
}
