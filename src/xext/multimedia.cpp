// The MORWENTECH MULTIMEDIA extension.
#include "xext/multimedia.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conversions/multimedia.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/threadlib.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

MultimediaClientStream *xextMultimediaStreams = nullptr;

namespace {

constexpr const char *kName = "MORWENTECH MULTIMEDIA";
constexpr uint8_t kBadValue = 2;
constexpr uint8_t kBadLength = 16;
constexpr uint32_t kHeaderLength = 8;

// Appends at the tail; the head's previous link is the tail.
void appendRecord(MultimediaClientStream *record) {
  record->next = nullptr;
  if (!xextMultimediaStreams) {
    record->previous = record;
    xextMultimediaStreams = record;
    return;
  }
  MultimediaClientStream *tail = xextMultimediaStreams->previous;
  tail->next = record;
  record->previous = tail;
  xextMultimediaStreams->previous = record;
}

void unlinkRecord(MultimediaClientStream *record) {
  if (record == xextMultimediaStreams) {
    xextMultimediaStreams = record->next;
    if (xextMultimediaStreams) xextMultimediaStreams->previous = record->previous;
  } else {
    record->previous->next = record->next;
    if (record->next)
      record->next->previous = record->previous;
    else
      xextMultimediaStreams->previous = record->previous;
  }
  record->next = record->previous = nullptr;
}

// The display of the last meta screen with a first head: the children started for streams
// reach that display.
void handDisplayToEngine() {
  const char *name = nullptr;
  for (MetaScreen *screen = xscreenList; screen; screen = screen->next) {
    Head *head = screen->heads;
    if (!head) continue;
    if (head->serverDisplay && head->serverDisplay->name)
      name = head->serverDisplay->name;
    else if (head->display)
      name = DisplayString(head->display);
  }
  if (name) multimediaSetDisplayName(name);
}

// A wait of the stream engine from the environment variable of the same name (tests shorten
// the start's wait for a child's FIFOs and the stop's waits for a child to end). Absent, empty,
// not wholly decimal or beyond 32 bits: the engine's default stays.
void waitFromEnvironment(const char *name, unsigned *wait) {
  const char *text = getenv(name);
  if (!text || *text < '0' || *text > '9') return;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (*end || errno || value > UINT_MAX) return;
  *wait = unsigned(value);
}

// GetVersion is accepted and answered by nothing.
void getVersion(uint8_t *, uint32_t, uint8_t *) {}
void openRow(uint8_t *request, uint32_t length, uint8_t *) { xextMultimediaOpenStream(request, length); }
void writeRow(uint8_t *request, uint32_t length, uint8_t *) { xextMultimediaWriteStream(request, length); }
void closeRow(uint8_t *request, uint32_t length, uint8_t *) { xextMultimediaCloseStream(request, length); }

// Lengths: GetVersion any, OpenStream and WriteStream at least 8 bytes, CloseStream exactly 8;
// the common frame swaps the fixed fields and answers a wrong length with BadLength.
constexpr ExtRequestRow kRows[] = {
    {0, "MultimediaGetVersion", 4, 4, nullptr, ExtServed::Local, getVersion, nullptr, ExtReplyKind::NoReply, nullptr},
    {1, "MultimediaOpenStream", 8, 4, "bbsbbs", ExtServed::Local, openRow, nullptr, ExtReplyKind::NoReply, nullptr},
    {2, "MultimediaWriteStream", 8, 4, "bbs", ExtServed::Local, writeRow, nullptr, ExtReplyKind::NoReply, nullptr},
    {3, "MultimediaCloseStream", 8, 0, "bbs", ExtServed::Local, closeRow, nullptr, ExtReplyKind::NoReply, nullptr},
};
constexpr ExtRequestTable kTable{kRows, sizeof kRows / sizeof kRows[0]};

}  // namespace

const char *xextMultimediaSetup(ExtensionRecord *record) {
  if (xproxyGeneration == 0)
    if (const char *error = threadlibInitDefaultPool(configRecord.numberOfThreads)) return error;
  if (const char *error = multimediaLoadProfiles()) return error;
  waitFromEnvironment("multimediaStartTimeoutUs", &multimediaStartTimeoutUs);
  waitFromEnvironment("multimediaStopWaitMs", &multimediaStopWaitMs);
  waitFromEnvironment("multimediaKillWaitMs", &multimediaKillWaitMs);
  if (const char *error = extRegister(record, kName, 1, 0)) return error;
  if (const char *error = extAddEventRow(record, xcoreUnsupportedEvent, "bbs")) return error;
  record->providedByProxy = 1;
  record->reset = xextMultimediaReset;
  extWriteRows(record, kTable);
  proxyState.ext.multimedia = record;
  xproxyFreeClientStreams = xextMultimediaFreeClient;
  xproxyClientStreamsReady = xextMultimediaClientReady;
  return nullptr;
}

void xextMultimediaReset() { proxyState.ext.multimedia = nullptr; }

void xextMultimediaSendError(const char *text, uint8_t streamNumber, ClientConnection *client) {
  if (!text) text = "";
  LOG(logChannelXerror, "MULTIMEDIA error: %s (stream #%u, by %s)", text, unsigned(streamNumber),
      client ? xscreenClientName(client) : "?");
  const ExtensionRecord *record = proxyState.ext.multimedia;
  if (!client || !record) return;
  size_t length = strlen(text), at = 0;
  do {
    size_t piece = length - at < kMultimediaEventPiece ? length - at : kMultimediaEventPiece;
    uint8_t event[32] = {};
    event[0] = record->firstEvent;
    event[1] = at + piece == length ? 1 : 0;
    uint16_t sequence = uint16_t(client->sequence);
    memcpy(event + 2, &sequence, 2);
    event[4] = streamNumber;
    memcpy(event + 5, text + at, piece);
    miscWriteClientMessage(event, sizeof event, "bbs", client);
    at += piece;
  } while (at < length);
}

const char *xextMultimediaFreeSession(MultimediaClientStream *record) {
  if (!record) return nullptr;
  std::string kept;
  bool failed = false;
  if (record->stream) {
    if (record->flags == kMultimediaWrite) {
      // The close's text is copied before the stream it lives in is freed.
      if (const char *error = multimediaCloseStream(record->stream)) {
        failed = true;
        try {
          kept = error;
        } catch (const std::bad_alloc &) {
          kept.clear();
        }
      }
    }
    multimediaFreeStream(record->stream);
    record->stream = nullptr;
  }
  unlinkRecord(record);
  free(record);
  return failed ? strTempPrintf("%s", kept.c_str()) : nullptr;
}

void xextMultimediaOpenStream(uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || length < kHeaderLength) return;  // (the frame has answered a short one)
  uint8_t number = request[4];
  uint16_t flags;
  memcpy(&flags, request + 6, 2);
  const char *specification = reinterpret_cast<const char *>(request + kHeaderLength);
  if (!memchr(specification, '\0', length - kHeaderLength)) {
    xextMultimediaSendError("Invalid name in XMultimediaOpenStream", number, client);
    return;
  }
  // A client names profiles and a few descriptive keys; commands, paths and environment
  // variables stay the administrator's, in the profiles.
  if (const char *error = multimediaCheckClientSpec(specification)) {
    xextMultimediaSendError(error, number, client);
    return;
  }
  auto *record = static_cast<MultimediaClientStream *>(calloc(1, sizeof(MultimediaClientStream)));
  if (!record) {
    xextMultimediaSendError(OUT_OF_MEMORY_TEXT(), number, client);
    return;
  }
  record->client = client;
  record->streamNumber = number;
  record->flags = flags;
  appendRecord(record);
  handDisplayToEngine();
  unsigned openFlags = flags;
  if (openFlags & kMultimediaWrite) openFlags |= kMultimediaThreaded;
  MultimediaStream *stream = nullptr;
  if (const char *error = multimediaOpenStream(specification, nullptr, openFlags, &stream)) {
    xextMultimediaSendError(error, number, client);
    xextMultimediaFreeSession(record);
    return;
  }
  record->stream = stream;
  if (openFlags == kMultimediaRead) return;  // opened, never started
  if (const char *error = multimediaStartStream(stream)) {
    std::string text = error;
    xextMultimediaSendError(text.c_str(), number, client);
    xextMultimediaFreeSession(record);
  }
}

void xextMultimediaWriteStream(uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || length < kHeaderLength) return;
  uint8_t number = request[4], pad = request[5];
  if (pad > 3) {
    xprotoSendError(kBadValue, pad, request, length, nullptr);
    return;
  }
  if (pad > length - kHeaderLength) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  MultimediaClientStream *record = xextMultimediaStreams;
  while (record && !(record->client == client && record->streamNumber == number)) record = record->next;
  // Unknown numbers and streams without a started write side take nothing, silently.
  if (!record || !record->stream || !(record->flags & kMultimediaWrite) || !record->stream->writeSide ||
      !record->stream->writeSide->started)
    return;
  MultimediaStream *stream = record->stream;
  MultimediaFrame *frame = multimediaNewFrame(stream, request + kHeaderLength, uint64_t(length) - kHeaderLength - pad);
  if (!frame) {
    xextMultimediaSendError(OUT_OF_MEMORY_TEXT(), number, client);
    xextMultimediaFreeSession(record);
    return;
  }
  multimediaWriteFrame(frame, 1);
  multimediaReleaseFrame(frame);
  if (const char *error = multimediaStreamError(stream)) {
    std::string text = error;
    xextMultimediaSendError(text.c_str(), number, client);
    if (const char *closing = xextMultimediaFreeSession(record)) LOG(logChannelXerror, "MULTIMEDIA: %s", closing);
  }
}

void xextMultimediaCloseStream(uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || length != kHeaderLength) return;
  uint8_t number = request[4];
  MultimediaClientStream *record = xextMultimediaStreams;
  while (record) {
    MultimediaClientStream *next = record->next;
    if (record->client == client && (number == 0 || record->streamNumber == number))
      if (const char *error = xextMultimediaFreeSession(record)) {
        std::string text = error;
        xextMultimediaSendError(text.c_str(), number, client);
      }
    record = next;
  }
}

// ===== client close and flow control =====
void xextMultimediaFreeClient(ClientConnection *client) {
  MultimediaClientStream *record = xextMultimediaStreams;
  while (record) {
    MultimediaClientStream *next = record->next;
    if (record->client == client)
      if (const char *error = xextMultimediaFreeSession(record)) logProblem(error, __FILE__, __LINE__);
    record = next;
  }
}

bool xextMultimediaClientReady(const ClientConnection *client) {
  for (MultimediaClientStream *record = xextMultimediaStreams; record; record = record->next)
    if (record->client == client && record->stream && !multimediaStreamReady(record->stream)) return false;
  return true;
}
// ===== end of client close and flow control =====
