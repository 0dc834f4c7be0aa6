// The proxy's process-wide state.
#pragma once

#include <cstddef>
#include <cstdint>

// ===== Dispatch tables, extension records and per-extension state =========================
// (handler types, ExtensionRecord, ProxyState; the tables are filled by xcore.cpp and the
// extension registry in xext/ext.cpp)

// A message's wire layout: the field letters that the byte swapper (xext/byteswap.h) walks.
// NULL and "" swap nothing.
using WireLayout = const char *;

// The request in the client's byte order and its length in bytes.
using RequestHandler = void (*)(uint8_t *request, uint32_t length);
// The reply and its length in bytes (32 + 4 x its length word).
using ReplyHandler = void (*)(uint8_t *reply, uint32_t length);
// The 32-byte event (longer for a GenericEvent).
using EventHandler = void (*)(uint8_t *event);
// The 32-byte error.
using ErrorHandler = void (*)(uint8_t *error);

// An extension's reset: clears its ProxyState slot and frees what it keeps there.
using ExtensionReset = void (*)();

// One per major opcode; only 128..255 are used. Free while name is NULL.
struct ExtensionRecord {
  const char *name;      // as offered to clients; a static text, never freed
  uint8_t nameLength;    // set by extRegister
  uint8_t majorOpcode;   // the record's own index, set by extRegister
  uint16_t version;      // major * 64 + minor
  uint8_t firstEvent;    // 0 = none
  uint8_t eventCount;    // event rows written so far
  uint16_t eventsSent;
  uint8_t firstError;    // 0 = none
  uint8_t errorCount;    // error rows written so far
  uint16_t errorsSent;   // raised by the extension error sender
  uint8_t providedByProxy;
  uint8_t emulated;
  ExtensionReset reset;  // NULL: nothing to reset
};

// The state words of the extensions: each init sets its slot, its reset clears it, and
// extResetAll zeroes the whole struct. Each extension adds its slot here.
struct ExtensionStateWords {
  ExtensionRecord *placeholder;  // keeps the struct non-empty until the first slot arrives
};

constexpr uint32_t kRequestKeys = 65536;              // byte 0 low, byte 1 high
constexpr uint32_t kRequestNames = 128 + 128 * 256;   // core opcodes, then (major - 128, minor)

struct ProxyState {
  RequestHandler requestHandlers[kRequestKeys];
  ReplyHandler replyHandlers[kRequestKeys];  // by the key of the answered request
  const char *requestNames[kRequestNames];   // see xcoreRequestNameIndex
  EventHandler eventHandlers[256];
  WireLayout eventLayouts[256];
  ErrorHandler errorHandlers[256];
  const char *errorNames[256];
  ExtensionRecord extensions[256];
  uint8_t extensionListBuilt;
  ExtensionStateWords ext;
};

// Zero-initialised; the core rows are written by xcoreInitDispatchTables.
extern ProxyState proxyState;

// The reply handler of the proxy's own sync round trips (recorded under request key 127).
void xproxyNoOpReply(uint8_t *reply, uint32_t length);

// ===== end of dispatch tables, extension records and per-extension state ==================
