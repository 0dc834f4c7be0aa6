// The default handlers of the dispatch tables and the handlers of the core errors. They live
// apart from the tables so that the tables do not depend on the ordered output.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "support/logging.h"
#include "xext/byteswap.h"

namespace {

constexpr uint8_t kGenericEvent = 35;
constexpr uint8_t kGrabPointer = 26;
constexpr uint8_t kKillClient = 113;
// The most event bytes written as hexadecimal into a warning line; the event itself is
// forwarded whole.
constexpr uint32_t kHexDumpLimit = 256;


// The bad value as the error texts print it: decimal below 1000, else hexadecimal.
std::string valueText(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, value < 1000 ? "%u" : "0x%x", value);
  return text;
}

// How an error handler treats the bad value.
enum class ValueMapping { AsIs, Id, IdForKillClient };

// Steps shared by every error handler: the sequence mapped back (an error of a copy marked by
// kXcoreReplyTagDropError goes no further) and written into the error,
// the bad value mapped for resource errors, the major opcode mapped back; then the hook runs
// (0: the error is dropped), the error is logged and queued in the client's output of the
// failed request.
template <typename Log>
void handleServerError(uint8_t *error, ValueMapping kind, Log log, bool (*hook)(DisplayConnection *) = nullptr) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) {
    LOG_UNE();
    return;
  }
  xproxyMapReplySequence(connection, wireGet16(error + 2));
  if (xproxyTakeReplyCallback(connection, kXcoreReplyTagDropError)) {
    LOG(logChannelXhint, "X error %u #%u of a copy another head answers for: dropped", error[1],
        connection->sequenceHandled);
    return;
  }
  wirePut16(error + 2, client->replySequence);
  uint32_t failedMajor = connection->replyKey & 0xff;
  if (kind == ValueMapping::Id || (kind == ValueMapping::IdForKillClient && failedMajor == kKillClient))
    wirePut32(error + 4, mainServerToProxyXid(wireGet32(error + 4), connection->display));
  error[10] = xproxyMapMajorOpcode(error[10]);
  if (hook && !hook(connection)) return;
  log(error, wireGet32(error + 4));
  mainQueueEventForClient(error, "bbsis");
}

// A BadWindow of a GrabPointer: the grab the client asked for has its callback queued; a grab
// the proxy sent on its own account has none, and its error reaches no client.
bool grabPointerStep(DisplayConnection *connection) {
  if ((connection->replyKey & 0xff) != kGrabPointer) return true;
  uintptr_t argument = xproxyTakeReplyCallback(connection, kGrabPointer);
  if (!argument) return false;
  free(reinterpret_cast<void *>(argument));
  return true;
}

void logPlain(uint8_t *error, const char *name) { xprotoLogXError(error, "%s", name); }
void logValue(uint8_t *error, const char *name, uint32_t value) {
  xprotoLogXError(error, "%s %s", name, valueText(value).c_str());
}
void logHex(uint8_t *error, const char *name, uint32_t value) { xprotoLogXError(error, "%s 0x%x", name, value); }

// Writes a reply no handler expects to the client, with a warning.
void passReply(uint8_t *reply, uint32_t length, const char *what) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = connection ? connection->owner : xproxyCurrentClient;
  if (!client || length < 32) return;
  wirePut16(reply + 2, client->replySequence);
  uint32_t key = connection ? connection->replyKey : 0;
  LOG(logChannelWarning, "%s X reply (%u bytes) of %s #%u from %s #%u for %s", what, length,
      xcoreRequestName(key & 0xff, key >> 8), client->replySequence, "X server",
      connection ? connection->sequenceHandled : 0u, xscreenClientName(client));
  mainWriteToClient(reply, length, "bbsi");
}

}  // namespace

void xcoreInvalidRequest(uint8_t *request, uint32_t length) {
  xprotoSendError(1, request[0], request, length, "invalid request");
}

void xcoreUnsupportedRequest(uint8_t *request, uint32_t length) {
  xprotoSendError(1, request[1], request, length, "unsupported");
}

void xcoreNoOperation(uint8_t *request, uint32_t length) {
  if (length < 4) {
    // The cutter hands over the 4-byte header even for a length field of 0.
    xprotoSendError(16, length, request, 4, nullptr);
    return;
  }
  if (xproxyCurrentClient && xproxyCurrentClient->reader.swapped) byteswapByFormat("bbs", request, request + 4);
}

void xcoreUnexpectedReply(uint8_t *reply, uint32_t length) { passReply(reply, length, "Unexpected"); }
void xcoreUnsupportedReply(uint8_t *reply, uint32_t length) { passReply(reply, length, "Unsupported"); }

void xcoreUnsupportedEvent(uint8_t *event) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) return;
  xproxyMapReplySequence(connection, wireGet16(event + 2));
  wirePut16(event + 2, client->replySequence);
  bool generic = (event[0] & 0x7f) == kGenericEvent;
  // The server input reader has bounded a GenericEvent's length by the bytes it holds.
  uint64_t length = generic ? 32 + 4 * uint64_t(wireGet32(event + 4)) : 32;
  uint32_t shown = uint32_t(length < kHexDumpLimit ? length : kHexDumpLimit);
  std::string hex;
  hex.reserve(2 * shown + 3);
  static const char digits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < shown; i++) {
    hex += digits[event[i] >> 4];
    hex += digits[event[i] & 15];
  }
  if (shown < length) hex += "...";
  LOG(logChannelWarning, "UNSUPPORTED event type %u, detail %u serial %u for %s: %s",
      generic ? wireGet32(event + 8) : unsigned(event[0] & 0x7f), event[1], unsigned(client->replySequence),
      xscreenClientName(client), hex.c_str());
  // A GenericEvent's length word must be swapped too, or a client of the other byte order
  // loses the framing of everything after it.
  mainSendEventToClient(event, generic ? "bbsis" : "bbs", 0);
}

void xcoreUnsupportedError(uint8_t *error) {
  handleServerError(error, ValueMapping::AsIs, [](uint8_t *e, uint32_t value) {
    xprotoLogXError(e, "Unsupported #%u (%s)", e[1], valueText(value).c_str());
  });
}

void xcoreForwardIdError(uint8_t *error, const char *name) {
  handleServerError(error, ValueMapping::Id, [name](uint8_t *x, uint32_t v) { logHex(x, name, v); });
}

void xcoreForwardValueError(uint8_t *error, const char *name) {
  handleServerError(error, ValueMapping::AsIs,
                    [name](uint8_t *x, uint32_t v) { xprotoLogXError(x, "%s %u", name, v); });
}

void xcoreForwardHexValueError(uint8_t *error, const char *name) {
  handleServerError(error, ValueMapping::AsIs, [name](uint8_t *x, uint32_t v) { logHex(x, name, v); });
}

void xcoreBadRequest(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t) { logPlain(x, "BadRequest"); });
}
void xcoreBadValue(uint8_t *e) {
  handleServerError(e, ValueMapping::IdForKillClient, [](uint8_t *x, uint32_t v) { logValue(x, "BadValue", v); });
}
void xcoreBadWindow(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadWindow", v); }, grabPointerStep);
}
void xcoreBadPixmap(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadPixmap", v); });
}
void xcoreBadAtom(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { xprotoLogXError(x, "BadAtom %u", v); });
}
void xcoreBadCursor(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadCursor", v); });
}
void xcoreBadFont(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadFont", v); });
}
void xcoreBadMatch(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { logValue(x, "BadMatch", v); });
}
void xcoreBadDrawable(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadDrawable", v); });
}
void xcoreBadAccess(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { logValue(x, "BadAccess", v); });
}
void xcoreBadAlloc(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t) { logPlain(x, "BadAlloc"); });
}
void xcoreBadColor(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { logValue(x, "BadColor", v); });
}
void xcoreBadGC(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logHex(x, "BadGC", v); });
}
void xcoreBadIDChoice(uint8_t *e) {
  handleServerError(e, ValueMapping::Id, [](uint8_t *x, uint32_t v) { logValue(x, "BadIDChoice", v); });
}
void xcoreBadName(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { logValue(x, "BadName", v); });
}
void xcoreBadLength(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t v) { logValue(x, "BadLength", v); });
}
void xcoreBadImplementation(uint8_t *e) {
  handleServerError(e, ValueMapping::AsIs, [](uint8_t *x, uint32_t) { logPlain(x, "BadImplementation"); });
}
