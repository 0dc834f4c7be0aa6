// Counted string arrays: a count and a heap array of heap texts, owned by the array.
#pragma once

#include <cstddef>

// Counted string arrays: 1 done, 0 out of memory (array unchanged). The array copies the texts
// it is given; strArrayFree frees the texts and the array.
int strArrayAppend(int *count, char ***array, const char *text);
int strArrayAppendAll(int *count, char ***array, int n, const char *const *texts);
int strArrayMerge(int *count, char ***array, int n, const char *const *texts);
int strArrayContains(int count, const char *const *array, const char *text);
int strArrayContainsAll(int n, const char *const *texts, int count, const char *const *array);
int strArrayEqual(int n, const char *const *a, int m, const char *const *b);
size_t strArrayTotalLength(int count, const char *const *array);
char *strArrayJoin(int count, const char *const *array);  // heap text the caller frees; NULL out of memory
int strArrayDup(int *count, char ***array, int n, const char *const *texts);
int strArrayReplace(int *count, char ***array, int n, const char *const *texts);
int strArraySet(int count, char **array, int index, const char *text);
void strArrayRemove(int *count, char ***array, int index, int n);
void strArrayRemoveValue(int *count, char ***array, const char *text);
int strArrayTerminate(int *count, char ***array);
void strArrayFree(int count, char **array);
