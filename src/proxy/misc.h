// Client reads and writes, flow control and server grabs.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

// ===== Client reads, flushes and flow control ===============================================
// Flow-control marks (in OutBuffer capacity, 65520-byte blocks).
constexpr uint64_t kMiscServerOutputMark = 0x20000;  // towards the server: at most two blocks
constexpr uint64_t kMiscClientOutputMark = 0x80000;  // towards the client: at most eight blocks
constexpr uint32_t kMiscReadChunk = 65536;           // most bytes taken per readiness
constexpr uint64_t kMiscBufferedInputDelayMs = 8;

// Read order: reads, cuts and dispatches, then writes out the client's display connections.
void miscReadClientInput(ClientConnection *client);
// The 8 ms timer of input already buffered.
void miscProcessBufferedInput(ClientConnection *client);
// Write order of the client socket: 0 when the client was closed, else 1.
int miscFlushClientOutput(ClientConnection *client);
// Writes the whole output out, waiting; the outbufferFlushWait result.
int miscFlushClientOutputWait(ClientConnection *client);
// Arms or cancels the reads of the client socket and of its display connections.
void miscScheduleClientReads(ClientConnection *client);
// A server grab begins / ends.
void miscSuspendOtherClients(ClientConnection *grabber);
void miscRescheduleAllClients();
// ===== end of client reads, flushes and flow control =========================================

// ===== Writing to a client =====
// Writes one message (error, reply or event, in the proxy's byte order) into the client's output,
// swapped by its layout for a client of the other byte order. The message's kind (0 error, 1
// reply, else the event code) is recorded as the client's last written type, which the
// KeymapNotify rule of the ordered output reads.
void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client);
// ===== end of writing to a client =====
