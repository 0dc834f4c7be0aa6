// The DOUBLE-BUFFER extension: back buffers of client windows, served by the real servers'
// own DOUBLE-BUFFER, or, on a real display that emulates it, by a pair of Multi-Buffering image
// buffers that the proxy creates, shows alternately and destroys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/xproxy.h"

struct WindowRecord;

// One back-buffer name: resource type 13 under the client's id, and a member of the process-wide
// list (new records at the tail; the first record's previous link is the last one).
struct DbeBackBuffer {
  DbeBackBuffer *next;
  DbeBackBuffer *previous;
  WindowRecord *window;
  uint32_t backBufferId;  // the client's id
  uint8_t swapAction;     // as given at allocation
  uint8_t toggle;         // flipped at every swap of the window (shared by the window's names)
  // Emulated displays: an id of the client's range reserved (a type-13 record without a
  // value) for the other image buffer of the pair; 0 when none was taken.
  uint32_t secondId;
  // The window's Multi-Buffering pair as client ids: buffer 0 (shown first, the window's own
  // image) and buffer 1. Every name of one window shares the pair of the first one.
  uint32_t pairFirst;
  uint32_t pairSecond;
  uint32_t serial;  // tells a record from a later one under the same id
};

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered.
const char *doublebufInit(ExtensionRecord *record);
// ===== end of set-up =====

// The free routine of type 13.
void doublebufFreeBuffer(DbeBackBuffer *buffer);
// On an emulating head, what a back-buffer name draws into: the client id of the image buffer
// the next swap shows; 0 when the id is no back-buffer name.
uint32_t doublebufEmulatedDrawable(uint32_t id);
// The back-buffer names alive.
size_t doublebufBufferCount();
// Where GetVisualInfo's reply is allocated (malloc; tests replace it).
extern void *(*doublebufReplyAllocate)(size_t bytes);
// The registration step of doublebufInit alone (records, rows, error row, resource routines),
// for a caller that has settled the displays' emulation flags itself.
const char *doublebufRegister(ExtensionRecord *record);
