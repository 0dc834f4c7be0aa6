// Extension registry: the ExtensionRecords in ProxyState (majors 128..255), the event and error
// codes handed out to the extensions the proxy provides itself, and the table rows that an
// extension's init writes and its reset takes back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/xproxy.h"

// An extension's init: registers the record (extRegister), writes its table rows, stores its
// reset in the record and its record in its ProxyState slot. NULL or an error text.
using ExtensionInit = const char *(*)(ExtensionRecord *record);

// The highest event code an extension can get: bit 7 of an event code is the SendEvent flag.
constexpr unsigned kExtLastEventCode = 127;
constexpr unsigned kExtFirstSearchedEvent = 36;
constexpr unsigned kExtFirstSearchedError = 128;

// Names and numbers the record (major opcode = its index in ProxyState::extensions) and, for a
// record whose bases are still 0, searches free event and error bases. NULL or
// "X extension event base exhausted" / "X extension error base exhausted".
const char *extRegister(ExtensionRecord *record, const char *name, unsigned nEvents, unsigned nErrors);
// 1 when the configuration's extension list switches the name off.
int extIsDisabled(const char *name);
// The record of majors 128..255 whose name equals name ignoring case, else NULL.
ExtensionRecord *extFindByName(const char *name);
// The record whose name has exactly these bytes (case-sensitive), else NULL.
ExtensionRecord *extFindByNameLen(const void *bytes, size_t length);
// Writes a length byte and the name of every record in major order, as long as the next name
// fits into capacity bytes; stores the bytes written in outLength and returns the names written.
unsigned extListNames(uint8_t *buffer, size_t capacity, uint32_t *outLength);
// Runs the record's reset, gives its major, its request names and its event and error codes
// back to the core defaults and clears the record. Returns 0.
int extReset(ExtensionRecord *record);
// extReset for every named record, then clears the list-built flag and the state words.
void extResetAll();
// The reset of extensions that keep nothing.
void extNoop();
// Diagnostics: "#%u[, %u err][, %u ev][, emu]" (at most 80 bytes) and "name major.minor, ..."
// (at most 512 bytes), both in temporary strings.
const char *extDescribe(const ExtensionRecord *record);
const char *extListVersions();

// Row writers of an init. The next event row goes to code firstEvent + eventCount, the next
// error row to firstError + errorCount, and the count is raised by one. A code beyond the
// tables' reach (events above 127, errors above 255) or a record without a base is refused
// with the base-exhausted text; nothing is written then.
const char *extAddEventRow(ExtensionRecord *record, EventHandler handler, WireLayout layout);
const char *extAddErrorRow(ExtensionRecord *record, ErrorHandler handler, const char *name);
// The request and reply handler and the name of one minor opcode of the record's major;
// reply NULL means the request has none (xcoreUnexpectedReply).
void extAddRequestRow(ExtensionRecord *record, uint8_t minor, RequestHandler request, ReplyHandler reply,
                      const char *name);
