// The Multi-Buffering extension: image buffers of client windows, replicated to every head of
// the window's meta screen, and three request writers that other extensions (DOUBLE-BUFFER
// emulation) use to send Multi-Buffering requests of their own.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

struct WindowRecord;

// One image buffer of a client window: resource type 18 under the buffer's id, and a member of
// the window's buffer list (WindowRecord::multibufData is its first record; the first record's
// previous link is the last one).
struct MultibufBuffer {
  MultibufBuffer *next;
  MultibufBuffer *previous;
  uint32_t bufferId;     // the client's id
  uint8_t updateAction;  // as the client gave it
  uint8_t updateHint;
  WindowRecord *window;  // the owning window; NULL until the record is linked
};

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered.
const char *multibufSetup(ExtensionRecord *record);
// ===== end of set-up =====

// Request writers (major opcode from proxyState.ext.multibufMajor), each to a display
// connection through its request sink; 1, or 0 when no room can be had (or no major is known).
// CreateImageBuffers goes as a round trip of its own (request key 127), so that its reply never
// reaches a client: fn sees the reply, release always follows (alone when no reply comes).
int multibufCreateImageBuffers(DisplayConnection *connection, uint32_t window, uint8_t updateAction,
                               uint8_t updateHint, uint32_t buffer1, uint32_t buffer2,
                               NoOpReplyFn fn = xproxyNoOpNothing, uintptr_t argument = 0,
                               NoOpReleaseFn release = xproxyNoOpNothingRelease);
int multibufDestroyImageBuffers(DisplayConnection *connection, uint32_t window);
int multibufDisplayImageBuffers(DisplayConnection *connection, uint16_t minDelay, uint16_t maxDelay, uint32_t buffer);

// The free routine of type 18: unlinks the record from its window's list and frees it.
void multibufFreeBuffer(MultibufBuffer *buffer);
// The records alive.
uint32_t multibufBufferCount();
