// Scratch block, memory helpers and argument packs.
#include "support/datapack.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "support/problems.h"
#include "support/strings.h"

namespace {

alignas(16) unsigned char scratchBlock[kScratchSize];
size_t scratchLeft = kScratchSize;  // 0 while the block is in use

bool isScratch(const void *block) { return block == scratchBlock; }

}  // namespace

void *scratchAlloc(size_t n) {
  // A block in use is never handed out again, not even for a request of 0 bytes.
  if (scratchLeft > 0 && n <= scratchLeft) {
    scratchLeft = 0;
    return scratchBlock;
  }
  return malloc(n ? n : 1);
}

void *scratchDup(const void *data, size_t n) {
  void *p = scratchAlloc(n);
  if (p && n) memcpy(p, data, n);
  return p;
}

void *scratchRealloc(void *block, size_t n) {
  if (!isScratch(block)) return realloc(block, n ? n : 1);
  if (n <= kScratchSize) return block;
  void *p = malloc(n);
  if (!p) return nullptr;
  memcpy(p, scratchBlock, kScratchSize);
  scratchLeft = kScratchSize;
  return p;
}

void scratchFree(void *block) {
  if (isScratch(block))
    scratchLeft = kScratchSize;
  else
    free(block);
}

size_t scratchAvailable() { return scratchLeft; }

void *memDup(const void *source, size_t n) {
  void *p = malloc(n ? n : 1);
  if (p && n) memcpy(p, source, n);
  return p;
}

int memAllEqual(const void *data, unsigned char value, size_t n) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < n; i++)
    if (p[i] != value) return 0;
  return 1;
}

uint32_t memByteSum(const void *data, size_t n) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  uint32_t sum = 0;
  for (size_t i = 0; i < n; i++) sum += p[i];
  return sum;
}

// Cookies and keys are made from these bytes, so they come from the kernel's generator.
void memRandomize(void *data, size_t n) {
  unsigned char *p = static_cast<unsigned char *>(data);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      problemReport("UNE", __FILE__, __LINE__);
      return;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
}

namespace {

DataWord *packNew(std::initializer_list<DataWord> words) {
  DataWord *pack = static_cast<DataWord *>(malloc(words.size() * sizeof(DataWord)));
  if (!pack) {
    PROBLEM_OUT_OF_MEMORY_AT("datapack.c");
    return nullptr;
  }
  size_t i = 0;
  for (DataWord w : words) pack[i++] = w;
  return pack;
}

}  // namespace

DataWord *datapackNew3(DataWord a, DataWord b, DataWord c) { return packNew({a, b, c}); }

DataWord *datapackNew6(DataWord a, DataWord b, DataWord c, DataWord d, DataWord e, DataWord f) {
  return packNew({a, b, c, d, e, f});
}

DataWord *datapackNew7(DataWord a, DataWord b, DataWord c, DataWord d, DataWord e, DataWord f,
                       DataWord g) {
  return packNew({a, b, c, d, e, f, g});
}

int freeIfSet(void *pointer) {
  if (pointer) free(pointer);
  return 0;
}

void utilNoOp() {}
