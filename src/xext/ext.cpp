// Extension registry.
#include "xext/ext.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "proxy/korvanparser.h"
#include "proxy/xcore.h"
#include "support/strings.h"

namespace {

constexpr const char *kEventsExhausted = "X extension event base exhausted";
constexpr const char *kErrorsExhausted = "X extension error base exhausted";

bool named(const ExtensionRecord &record) { return record.name != nullptr; }

// The lowest base b >= from whose codes b .. b + count - 1 are free and end at or below last;
// 0 when there is none. Every named record with a base blocks its codes first .. first + filled
// (one beyond its last code).
unsigned searchBase(unsigned from, unsigned count, unsigned last, bool events) {
  bool busy[256] = {};
  for (unsigned major = 128; major < 256; major++) {
    const ExtensionRecord &r = proxyState.extensions[major];
    unsigned first = events ? r.firstEvent : r.firstError, filled = events ? r.eventCount : r.errorCount;
    if (!named(r) || first == 0) continue;
    for (unsigned code = first; code <= first + filled && code < 256; code++) busy[code] = true;
  }
  for (unsigned base = from; base + count - 1 <= last; base++) {
    bool free = true;
    for (unsigned code = base; code < base + count && free; code++) free = !busy[code];
    if (free) return base;
  }
  return 0;
}

}  // namespace

const char *extRegister(ExtensionRecord *record, const char *name, unsigned nEvents, unsigned nErrors) {
  record->name = name;
  record->nameLength = uint8_t(name ? strnlen(name, 255) : 0);
  record->majorOpcode = uint8_t(record - proxyState.extensions);
  if (nEvents != 0 && record->firstEvent == 0) {
    unsigned base = nEvents <= 256 ? searchBase(kExtFirstSearchedEvent, nEvents, kExtLastEventCode, true) : 0;
    record->firstEvent = uint8_t(base);
    if (base == 0) return kEventsExhausted;
  }
  if (nErrors != 0 && record->firstError == 0) {
    // The last error code handed out is 254.
    unsigned base = nErrors <= 256 ? searchBase(kExtFirstSearchedError, nErrors, 254, false) : 0;
    record->firstError = uint8_t(base);
    if (base == 0) return kErrorsExhausted;
  }
  return nullptr;
}

int extIsDisabled(const char *name) {
  const ExtensionSwitch *list = configRecord.extensions;
  uint32_t count = list ? configRecord.extensionCount : 0;
  if (count == 0 || !name) return 0;
  bool on = !list[0].enable;  // a list that starts by enabling names switches the rest off
  for (uint32_t k = 0; k < count; k++)
    if (list[k].name && strcasecmp(list[k].name, name) == 0) on = list[k].enable != 0;
  return on ? 0 : 1;
}

ExtensionRecord *extFindByName(const char *name) {
  if (!name) return nullptr;
  for (unsigned major = 128; major < 256; major++) {
    ExtensionRecord &r = proxyState.extensions[major];
    if (named(r) && strcasecmp(r.name, name) == 0) return &r;
  }
  return nullptr;
}

ExtensionRecord *extFindByNameLen(const void *bytes, size_t length) {
  if (!bytes && length) return nullptr;
  for (unsigned major = 128; major < 256; major++) {
    ExtensionRecord &r = proxyState.extensions[major];
    if (named(r) && r.nameLength == length && memcmp(r.name, bytes, length) == 0) return &r;
  }
  return nullptr;
}

unsigned extListNames(uint8_t *buffer, size_t capacity, uint32_t *outLength) {
  size_t used = 0;
  unsigned names = 0;
  for (unsigned major = 128; major < 256; major++) {
    const ExtensionRecord &r = proxyState.extensions[major];
    if (!named(r)) continue;
    if (!buffer || capacity - used < size_t(1) + r.nameLength) break;
    buffer[used] = r.nameLength;
    memcpy(buffer + used + 1, r.name, r.nameLength);
    used += 1 + r.nameLength;
    names++;
  }
  if (outLength) *outLength = uint32_t(used);
  return names;
}

int extReset(ExtensionRecord *record) {
  if (!record) return 0;
  if (record->reset) record->reset();
  if (record->majorOpcode >= 128) {
    xcoreSetRequestHandlers(record->majorOpcode, xcoreUnsupportedRequest, xcoreUnsupportedReply);
    for (unsigned minor = 0; minor < 256; minor++)
      proxyState.requestNames[xcoreRequestNameIndex(record->majorOpcode, uint8_t(minor))] = nullptr;
  }
  // Rows written by the extension would otherwise stay reachable and read a cleared slot.
  if (record->firstEvent)
    for (unsigned code = record->firstEvent; code < record->firstEvent + record->eventCount && code < 256u; code++)
      xcoreRestoreEventRow(uint8_t(code));
  if (record->firstError)
    for (unsigned code = record->firstError; code < record->firstError + record->errorCount && code < 256u; code++)
      xcoreRestoreErrorRow(uint8_t(code));
  *record = ExtensionRecord{};
  return 0;
}

void extResetAll() {
  for (unsigned major = 128; major < 256; major++)
    if (named(proxyState.extensions[major])) extReset(&proxyState.extensions[major]);
  proxyState.extensionListBuilt = 0;
  proxyState.ext = ExtensionStateWords{};
}

void extNoop() {}

const char *extDescribe(const ExtensionRecord *record) {
  constexpr size_t kSize = 80;
  char *text = strTempAlloc(kSize);
  if (!text || !record) return "";
  int n = snprintf(text, kSize, "#%u", record->majorOpcode);
  if (record->errorsSent && n >= 0 && size_t(n) < kSize) n += snprintf(text + n, kSize - n, ", %u err", record->errorsSent);
  if (record->eventsSent && n >= 0 && size_t(n) < kSize) n += snprintf(text + n, kSize - n, ", %u ev", record->eventsSent);
  if (record->emulated && n >= 0 && size_t(n) < kSize) snprintf(text + n, kSize - n, ", emu");
  return text;
}

const char *extListVersions() {
  constexpr size_t kSize = 512;
  char *text = strTempAlloc(kSize);
  if (!text) return "";
  size_t used = 0;
  text[0] = '\0';
  for (unsigned major = 128; major < 256; major++) {
    const ExtensionRecord &r = proxyState.extensions[major];
    if (!named(r)) continue;
    char entry[300];
    int n = snprintf(entry, sizeof entry, "%s %u.%u, ", r.name, r.version / 64u, r.version % 64u);
    if (n < 0 || used + size_t(n) >= kSize) break;  // only whole entries
    memcpy(text + used, entry, size_t(n) + 1);
    used += size_t(n);
  }
  if (used >= 2) text[used - 2] = '\0';  // the final ", "
  return text;
}

const char *extAddEventRow(ExtensionRecord *record, EventHandler handler, WireLayout layout) {
  unsigned code = unsigned(record->firstEvent) + record->eventCount;
  if (record->firstEvent == 0 || code > kExtLastEventCode) return kEventsExhausted;
  proxyState.eventHandlers[code] = handler;
  proxyState.eventLayouts[code] = layout;
  record->eventCount++;
  return nullptr;
}

const char *extAddErrorRow(ExtensionRecord *record, ErrorHandler handler, const char *name) {
  unsigned code = unsigned(record->firstError) + record->errorCount;
  if (record->firstError == 0 || code > 255) return kErrorsExhausted;
  proxyState.errorHandlers[code] = handler;
  proxyState.errorNames[code] = name;
  record->errorCount++;
  return nullptr;
}

void extAddRequestRow(ExtensionRecord *record, uint8_t minor, RequestHandler request, ReplyHandler reply,
                      const char *name) {
  uint8_t major = record->majorOpcode;
  if (major < 128) return;
  uint32_t key = major | (uint32_t(minor) << 8);
  proxyState.requestHandlers[key] = request;
  proxyState.replyHandlers[key] = reply ? reply : xcoreUnexpectedReply;
  proxyState.requestNames[xcoreRequestNameIndex(major, minor)] = name;
}
