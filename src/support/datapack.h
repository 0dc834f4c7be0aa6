// Scratch block, memory helpers and argument packs for deferred calls.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Scratch block: one static 64 KB block with one holder at a time --------------------
// Any thread may call these: the block is taken and given back atomically, and a request that
// does not fit or finds the block taken gets heap memory. scratchFree and scratchRealloc tell
// the two kinds apart.
constexpr size_t kScratchSize = 65536;
void *scratchAlloc(size_t n);
void *scratchDup(const void *data, size_t n);
void *scratchRealloc(void *block, size_t n);
void scratchFree(void *block);
size_t scratchAvailable();  // what the static block can still hand out (65536 or 0)

// --- Memory operations -------------------------------------------------------------------
void *memDup(const void *source, size_t n);
int memAllEqual(const void *data, unsigned char value, size_t n);
uint32_t memByteSum(const void *data, size_t n);
void memRandomize(void *data, size_t n);

// --- Argument packs: heap records of 3, 6 or 7 words freed by freeIfSet ------------------
using DataWord = void *;
DataWord *datapackNew3(DataWord a, DataWord b, DataWord c);
DataWord *datapackNew6(DataWord a, DataWord b, DataWord c, DataWord d, DataWord e, DataWord f);
DataWord *datapackNew7(DataWord a, DataWord b, DataWord c, DataWord d, DataWord e, DataWord f,
                       DataWord g);
int freeIfSet(void *pointer);
void utilNoOp();
