// Cutting the protocol streams of clients and real servers.
#include "proxy/streams.h"

// ===== Request cutting and server input =====================================================
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <X11/Xlib-xcb.h>
#include <xcb/xcb.h>

#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xdisplay.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/strings.h"
#include "xext/bigreqenable.h"
#include "xext/byteswap.h"

ReplyHandler xprotoSetupReplyHandler = xcoreServerSetupReply;
XprotoAccessCheck xprotoAccessCheck = xproxyCheckClientAccess;
// The connection layer hands input to the cutters through these.
ClientInputCutter xproxyClientInputCutter = xprotoProcessInput;
ServerInputCutter xproxyServerInputCutter = xprotoProcessServerInput;

namespace {

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }
// The request key of a request's first two bytes: byte 0 low, byte 1 high.
uint32_t requestKey(const uint8_t *request) { return request[0] | (uint32_t(request[1]) << 8); }

// Exactly n bytes of a name, the unprintable ones escaped.
std::string printableBytes(const char *data, uint32_t n) {
  std::string text;
  for (uint32_t i = 0; i < n; i++) {
    auto byte = uint8_t(data[i]);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text += char(byte);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%02x", byte);
      text += escape;
    }
  }
  return text;
}

std::string hexBytes(const uint8_t *data, uint32_t n) {
  std::string text;
  char two[4];
  for (uint32_t i = 0; i < n; i++) {
    snprintf(two, sizeof two, "%02x", data[i]);
    text += two;
  }
  return text;
}

const char *stopWith(ProtocolReader *reader, const char *reason) {
  xprotoCloseWithReason(reader, reason);
  return reader->stopReason;
}

// The connection setup (reader at 0 bytes needed). Returns NULL to wait or go on, else the
// reason to close; *used gets the bytes it took.
const char *readSetup(ClientConnection *client, ProtocolReader *reader, Buffer *input, uint32_t *used) {
  *used = 0;
  auto *data = reinterpret_cast<uint8_t *>(input->data);
  if (input->length < 12) return nullptr;
  if (data[0] == 'B')
    reader->swapped = 1;
  else if (data[0] == 'l')
    reader->swapped = 0;
  else
    return strTempPrintf("Invalid byte order %d in X connection setup (size=%u)", data[0], input->length);
  uint32_t nameLength = wireGet16(data + 6, reader->swapped), dataLength = wireGet16(data + 8, reader->swapped);
  uint64_t total = 12 + pad4(nameLength) + pad4(dataLength);
  if (total > input->length) return nullptr;
  *used = uint32_t(total);
  reader->bytesNeeded = 4;
  // (the setup timer runs on until the real servers have answered the setup)
  if (reader->swapped) byteswapByFormat("bbsssss", data, data + 12);
  if (wireGet16(data + 2, 0) != 11 || wireGet16(data + 4, 0) != 0) {
    core11GSendSetupFailed(client, "X protocol version mismatch");
    return stopWith(reader, "X protocol version mismatch");
  }
  const char *name = reinterpret_cast<const char *>(data + 12);
  uint8_t *authData = data + 12 + pad4(nameLength);
  if (const char *refused = xprotoAccessCheck(client, uint16_t(nameLength), name, uint16_t(dataLength), authData)) {
    std::string reason = refused;
    LOG(logChannelNote, "Access denied from %s, auth '%s': %s", xproxyClientHostName(client),
        printableBytes(name, nameLength).c_str(), reason.c_str());
    memset(authData, 0xAA, dataLength);
    core11GSendSetupFailed(client, reason.c_str());
    return stopWith(reader, reason.c_str());
  }
  if (xprotoTraceAuthorization)
    LOG(logChannelNote, "Access granted (%s=%s)", printableBytes(name, nameLength).c_str(),
        hexBytes(authData, dataLength).c_str());
  for (ServerDisplay *display = mainServerDisplays; display; display = display->next) {
    if (!xproxyOpenDisplayConnection(client, display)) {
      core11GSendSetupFailed(client, "Maximum number of clients reached");
      return stopWith(reader, "Maximum number of clients reached");
    }
  }
  for (uint32_t i = 0; i < client->displayCount; i++) {
    DisplayConnection *c = client->displays[i];
    char *serverName = nullptr, *serverData = nullptr;
    int serverNameLength = 0, serverDataLength = 0;
    int own = xproxyGetServerAuth(c->hostName, c->displayNumber, c->family, &serverName, &serverNameLength,
                                  &serverData, &serverDataLength);
    int written = own ? core11GSendConnectionSetup(c, serverName, uint32_t(serverNameLength), serverData,
                                                   uint32_t(serverDataLength))
                      : core11GSendConnectionSetup(c, name, nameLength, reinterpret_cast<char *>(authData), dataLength);
    free(serverName);
    free(serverData);
    if (!written) {
      // The client would wait for ever for an answer that cannot come.
      LOG_UNE();
      core11GSendSetupFailed(client, "Maximum number of clients reached");
      return stopWith(reader, "Maximum number of clients reached");
    }
  }
  // The caller's flow control stops reading the client while these setups are pending.
  client->setupsPending = uint8_t(client->displayCount);
  return nullptr;
}


// Asks the display's Xlib connection once per opening for BIG-REQUESTS, waiting at most the
// sync limit. Without an answer in time (logged) the connection goes on without the big form
// and the next setup asks again.
uint8_t bigRequestsMajor(ServerDisplay *display) {
  if (!display || !display->display) return 0;
  if (!display->bigRequestsAsked) {
    static constexpr char kName[] = "BIG-REQUESTS";
    auto cookie = xcb_query_extension(XGetXCBConnection(display->display), sizeof kName - 1, kName);
    bool stalled = false;
    auto *reply = static_cast<xcb_query_extension_reply_t *>(
        xdisplayWaitReply(display->display, cookie.sequence, "QueryExtension", &stalled, true));
    if (stalled) return 0;
    display->bigRequestsMajor = reply && reply->present ? reply->major_opcode : 0;
    display->bigRequestsAsked = 1;
    free(reply);
  }
  return display->bigRequestsMajor;
}

// The real server accepted the setup: BIG-REQUESTS is enabled on the raw connection as the
// proxy's own round trip, so that writers may use the big form.
// The real server's answer to the proxy's own BigReqEnable: its maximum holds for every client.
void lowerBigRequestMaximum(uint8_t *reply, uintptr_t) {
  if (reply[0] == 1) bigreqLowerMaximum(wireGet32(reply + 8));
}

// A sink that keeps the one short request written through it in its context (4 bytes).
uint8_t *keepShortRequest(void *context, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  if (length != 4) return nullptr;
  auto *bytes = static_cast<uint8_t *>(context);
  bytes[0] = opcode, bytes[1] = dataByte, bytes[2] = 1, bytes[3] = 0;
  return bytes;
}

void enableBigRequests(DisplayConnection *c) {
  uint8_t major = bigRequestsMajor(c->display);
  if (!major) return;
  uint8_t request[4] = {};
  const RequestSink keep{keepShortRequest, request};
  if (!bigreqWriteEnable(&keep, major)) return;
  // The server handles requests in order: everything written after this one may be big.
  if (xproxySendRoundTrip(c, request, 4, lowerBigRequestMaximum, 0, xproxyNoOpNothingRelease)) c->bigRequests = 1;
}

void warnLowGenericEvent(uint32_t selector) {
  static bool warned = false;
  if (warned) return;
  warned = true;
  LOG(logChannelWarning, "GenericEvent with selector %u dropped", selector);
}

}  // namespace

const char *xprotoProcessInput(ProtocolReader *reader, Buffer *input) {
  ClientConnection *client = xproxyCurrentClient;
  if (reader->bytesNeeded == kReaderStopped) {
    // Stopped outside a pass (a refused server setup): act on it now; a pause is lifted.
    if (reader->stopReason[0]) return reader->stopReason;
    reader->bytesNeeded = 4;
  }
  if (reader->bytesNeeded == 0) {
    uint32_t used = 0;
    const char *reason = readSetup(client, reader, input, &used);
    if (reason) return reason;
    bufferConsumeKeep(input, used);
    // Requests behind the setup wait until the real servers have answered it.
    return nullptr;
  }
  int swapped = reader->swapped;
  uint32_t position = 0;
  uint32_t sinceFeed = 0;
  // Requests and bytes since the clock was last read for the turn.
  uint32_t sinceTurnCheck = 0, bytesSinceTurnCheck = 0;
  for (;;) {
    uint32_t left = input->length - position;
    if (reader->skip) {
      uint32_t dropped = uint32_t(reader->skip < left ? reader->skip : left);
      position += dropped;
      reader->skip -= dropped;
      if (reader->skip) break;
      continue;
    }
    if (left < 4) break;
    auto *request = reinterpret_cast<uint8_t *>(input->data) + position;
    if (miscOutsideHolds() && miscRequestWaitsOutside(request)) {
      // It may call the GL library while a call of it runs outside the loop: it waits for that
      // call's end, and the client's later requests behind it.
      miscHoldOutside(client);
      break;
    }
    uint32_t length = wireGet16(request + 2, swapped) * 4;
    uint32_t used = 0;
    if (length > 0) {
      if (length > left) {
        bufferConsumeKeep(input, position);
        if (input->capacity < length) bufferGrow(input, length - input->length);
        return nullptr;
      }
      client->sequence++;
      proxyState.requestHandlers[requestKey(request)](request, length);
      used = length;
    } else if (client->bigRequests) {
      if (left < 8) break;
      uint64_t words = wireGet32(request + 4, swapped);
      uint64_t bigLength = words * 4;
      if (words < 2 || bigLength > xprotoBigRequestMaximum) {
        // Refused once; its bytes are dropped as they arrive, never buffered.
        client->sequence++;
        xprotoSendError(16, uint32_t(words), request, 8, nullptr);
        reader->skip = bigLength < 8 ? 8 : bigLength;
        continue;
      }
      if (bigLength > left) {
        bufferConsumeKeep(input, position);
        if (input->capacity < bigLength) bufferGrow(input, uint32_t(bigLength - input->length));
        return nullptr;
      }
      memmove(request + 4, request, 4);
      client->sequence++;
      proxyState.requestHandlers[requestKey(request)](request + 4, uint32_t(bigLength - 4));
      used = uint32_t(bigLength);
    } else {
      client->sequence++;
      proxyState.requestHandlers[requestKey(request)](request, 0);
      used = 4;
    }
    if (client->life.closed) return nullptr;  // closed by its handler: the input is the close's
    position += used;
    if (++sinceFeed == kMiscFeedEvery) {
      sinceFeed = 0;
      miscFeedDisplays(client);
    }
    // The client's turn is over: what is left waits for its next one. The clock is read once
    // per few requests or bytes (a cheap request costs less than a reading of it).
    bytesSinceTurnCheck += used;
    if (++sinceTurnCheck >= kMiscTurnCheckRequests || bytesSinceTurnCheck >= kMiscTurnCheckBytes) {
      sinceTurnCheck = 0, bytesSinceTurnCheck = 0;
      if (miscTurnOver() && input->length - position >= 4 && reader->bytesNeeded != kReaderStopped) break;
    }
    if (reader->bytesNeeded == kReaderStopped) {
      bufferConsumeKeep(input, position);
      reader->bytesNeeded = 4;
      return reader->stopReason[0] ? reader->stopReason : nullptr;
    }
  }
  bufferConsumeKeep(input, position);
  return nullptr;
}


void xprotoSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                     const char *detail) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  core11GSendError(code, badValue, request, requestLength, uint16_t(client->sequence), detail, client);
}

void xprotoSendExtensionError(uint8_t number, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                              const char *detail) {
  ExtensionRecord &extension = proxyState.extensions[request[0]];
  extension.errorsSent++;
  xprotoSendError(uint8_t(extension.firstError + number), badValue, request, requestLength, detail);
}


namespace {
// Whether a reply or error of that sequence answers a request of the connection: one written
// and not yet passed by the answers (the last answered one may have more replies).
bool answersOutstanding(const DisplayConnection *c, uint16_t sequence) {
  return uint16_t(sequence - c->sequenceHandled) <= uint16_t(c->requestsSent - c->sequenceHandled);
}
}  // namespace

void xprotoProcessServerInput(DisplayConnection *c) {
  Buffer *input = &c->input;
  ClientConnection *owner = c->owner;
  auto brokenUnit = [&]() {
    xproxyCloseClient(owner, xproxyBrokenConnectionText(owner), 0);
  };
  auto waitFor = [&](uint64_t unitLength) {
    // Keep the unit, drop what was handled, and make room for the whole unit.
    bufferConsumeKeep(input, c->readPosition);
    c->readPosition = 0;
    if (unitLength > kDisplayAnswerMaximum) {
      LOG(logChannelWarning, "Answer of %llu bytes from %s for %s is longer than %llu: closing the connection",
          static_cast<unsigned long long>(unitLength), "X server", xscreenClientName(owner),
          static_cast<unsigned long long>(kDisplayAnswerMaximum));
      xproxyCloseClient(owner, strTempPrintf("Answer of %llu bytes from X server",
                                             static_cast<unsigned long long>(unitLength)), 0);
      return;
    }
    if (unitLength > UINT32_MAX - 100 ||
        (input->capacity < unitLength && bufferGrow(input, uint32_t(unitLength - input->length)) == 0)) {
      brokenUnit();
      return;
    }
  };
  if (c->reader.bytesNeeded == kReaderStopped) return;
  if (c->reader.bytesNeeded == 0) {
    if (input->length < 8) return;
    auto *data = reinterpret_cast<uint8_t *>(input->data);
    uint64_t setupLength = 8 + 4 * uint64_t(wireGet16(data + 6, 0));
    if (setupLength > input->length) {
      waitFor(setupLength);
      return;
    }
    c->reader.bytesNeeded = 32;
    c->readPosition = uint32_t(setupLength);
    c->sequenceHandled = 0;
    bool accepted = data[0] == 1;
    xprotoSetupReplyHandler(data, uint32_t(setupLength));
    if (c->reader.bytesNeeded == kReaderStopped) return;
    if (accepted) enableBigRequests(c);
  }
  // Answers count in their client's turn: once it is over, what is left waits for the next one
  // (the clock is read once per few answers).
  uint32_t sinceTurnCheck = 0;
  while (c->reader.bytesNeeded != kReaderStopped && input->length - c->readPosition >= 32) {
    if (++sinceTurnCheck > kMiscTurnCheckRequests) {
      sinceTurnCheck = 0;
      if (miscTurnOver()) break;
    }
    auto *unit = reinterpret_cast<uint8_t *>(input->data) + c->readPosition;
    uint16_t sequence = uint16_t(wireGet16(unit + 2, 0));
    if ((unit[0] == 0 || unit[0] == 1) && !answersOutstanding(c, sequence)) {
      uint64_t length = xprotoUnitLength(unit, 0);
      if (length > input->length - c->readPosition) {
        waitFor(length);
        return;
      }
      c->readPosition += uint32_t(length);
      c->strayAnswers++;
      LOG(logChannelProblem, "Dropped %s #%u from %s for %s: no request of %u..%u waits for it (%u dropped)",
          unit[0] ? "reply" : "error", unsigned(sequence), "X server", xscreenClientName(owner),
          unsigned(c->sequenceHandled & 0xffff), unsigned(c->requestsSent & 0xffff), c->strayAnswers);
      continue;
    }
    if (unit[0] == 0) {
      c->readPosition += 32;
      c->sequenceHandled = sequence;
      proxyState.errorHandlers[unit[1]](unit);
      if (c->reader.bytesNeeded == kReaderStopped) break;
      if (uintptr_t id = xproxyTakeReplyCallback(c, kReplyTagDestroyOnError))
        resourceDestroyEverywhere(uint32_t(id));
      else
        xproxyRunReplyCallbacks(c);
    } else if (unit[0] == 1 || unit[0] == 35) {
      uint64_t length = xprotoUnitLength(unit, 0);
      if (length > input->length - c->readPosition) {
        waitFor(length);
        return;
      }
      c->readPosition += uint32_t(length);
      if (unit[0] == 1) {
        xproxyMapReplySequence(c, sequence);
        proxyState.replyHandlers[c->replyKey](unit, uint32_t(length));
      } else {
        uint32_t selector = wireGet32(unit + 8, 0);
        // Below 36 the word would select a core event handler, which would misread it.
        if (selector < 36) warnLowGenericEvent(selector);
        if (selector >= 36 && selector < 256 && proxyState.eventHandlers[selector])
          proxyState.eventHandlers[selector](unit);
      }
    } else {
      c->readPosition += 32;
      if (xproxyDepartureMarkerRead(c, unit)) continue;  // the proxy's own, not the client's
      if (EventHandler handler = proxyState.eventHandlers[unit[0] & 127]) handler(unit);
    }
    // What a sync read while this unit was being handled joins the input again.
    if (c->syncInput.length && c->reader.bytesNeeded != kReaderStopped) {
      bufferAppendBuffer(&c->syncInput, input);
      bufferFree(&c->syncInput);
    }
  }
  if (c->reader.bytesNeeded == kReaderStopped) return;
  bufferConsumeKeep(input, c->readPosition);
  c->readPosition = 0;
}

// ===== end of request cutting and server input ==============================================
