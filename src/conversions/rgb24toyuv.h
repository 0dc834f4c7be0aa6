// The RGB to YUV lookup table: one entry (Y, U, V) for each of the 16777216 colours, kept in
// the cache file "rgb24toyuv.cache" in the directory named by XMULTIMEDIA_SUPPORT and mapped
// read-only and shared, so that every process reads one copy through the page cache.
//
// File layout, no header: for R from 0 to 255 (outermost), G, then B (innermost), the three
// bytes Y, U, V; the entry of R, G, B is at byte 3 x (R x 65536 + G x 256 + B).
//
// A file is never rewritten in place: a new one is built under a temporary name in the same
// directory and renamed over the old, so a process that has the old file mapped keeps reading
// it whole, and two builders at once each leave a complete file.
#pragma once

#include <cstdint>

constexpr uint64_t kRgb24toyuvCacheSize = 50331648;  // 3 x 256 x 256 x 256
constexpr const char *kRgb24toyuvCacheName = "rgb24toyuv.cache";
constexpr const char *kRgb24toyuvVariable = "XMULTIMEDIA_SUPPORT";

// Counts one more user of the table; the first user maps it (rgb24toyuvOpenCache with
// recreation allowed). NULL or an error text; a failure counts no user and maps nothing.
const char *rgb24toyuvInit();
// Counts one user less; after the last the table is unmapped. Without users it unmaps a table
// that rgb24toyuvOpenCache mapped on its own.
void rgb24toyuvFree();
// Opens and maps the cache file. A missing file or one of the wrong size is an error, or,
// with recreation allowed, a warning after which the file is built again and opened once more.
// While a table is mapped already it stays the one in use. NULL or an error text.
const char *rgb24toyuvOpenCache(bool recreate);
// Builds the cache file at path (a temporary file in the same directory, mode 0444, renamed
// over path). NULL or an error text.
const char *rgb24toyuvCreateCache(const char *path);
// The formula behind every entry: integer arithmetic with an arithmetic shift, limited range,
// low 8 bits kept.
void rgb24toyuvPixel(uint8_t r, uint8_t g, uint8_t b, uint8_t *y, uint8_t *u, uint8_t *v);
// The mapped table, or NULL while none is mapped. Valid while the caller's user counts.
const uint8_t *rgb24toyuvTable();
// The cache file's path from the environment into path (at most 4095 characters); NULL or
// an error text.
const char *rgb24toyuvCachePath(char (&path)[4096]);
