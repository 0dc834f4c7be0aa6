// The MORWENTECH MULTIMEDIA extension: numbered streams that a client opens, writes and closes.
// Every request is served inside the proxy by the stream engine (conversions/multimedia.h);
// failures reach the client as multimedia error events, length and value faults as X errors.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

struct MultimediaStream;

// One stream a client opened through the extension; allocated zeroed, kept in one global list
// (new records at the tail; the head's previous link points at the tail).
struct MultimediaClientStream {
  MultimediaClientStream *next;
  MultimediaClientStream *previous;
  ClientConnection *client;
  uint8_t streamNumber;      // byte 4 of the open; several records of a client may share it
  uint16_t flags;            // the open's option flags as the client sent them
  MultimediaStream *stream;  // NULL while the open has not succeeded
};

// The multimedia error event: 32 bytes, layout "bbs". Byte 1 is 1 on the last piece of a text;
// bytes 5-31 hold at most 26 characters and a NUL, zeros behind it.
struct MultimediaErrorEvent {
  uint8_t code;
  uint8_t last;
  uint16_t sequence;
  uint8_t streamNumber;
  char text[27];
};
static_assert(sizeof(MultimediaErrorEvent) == 32);
constexpr unsigned kMultimediaEventPiece = 26;

// The records, head of the list (tests read it).
extern MultimediaClientStream *xextMultimediaStreams;

// ===== set-up =====
// Starts the default thread pool in the first generation, loads the profiles, takes the
// engine's waits from the environment variables "multimediaStartTimeoutUs",
// "multimediaStopWaitMs" and "multimediaKillWaitMs" when set (decimal; tests shorten them),
// registers the extension with one event and writes the rows of minors 0-3. NULL or an error
// text, after which the extension is not offered.
const char *xextMultimediaSetup(ExtensionRecord *record);
// ===== end of set-up =====
// Forgets the record (the core gives the rows back).
void xextMultimediaReset();

// The request handlers of minors 1-3 (the client is the core's current client).
void xextMultimediaOpenStream(uint8_t *request, uint32_t length);
void xextMultimediaWriteStream(uint8_t *request, uint32_t length);
void xextMultimediaCloseStream(uint8_t *request, uint32_t length);

// Writes a text to the client as error events of 26-character pieces (an empty text still
// gives one event, marked last) under its current sequence number, and logs it.
void xextMultimediaSendError(const char *text, uint8_t streamNumber, ClientConnection *client);
// Closes and frees one record. NULL, or the close's failure text (a copy) for a record opened
// with flags exactly 2.
const char *xextMultimediaFreeSession(MultimediaClientStream *record);

// ===== client close and flow control =====
// Frees every record of a client that goes away; returned texts are logged as problems.
void xextMultimediaFreeClient(ClientConnection *client);
// Whether every stream of the client takes a frame now (a client whose stream is busy is not
// read until it is ready again).
bool xextMultimediaClientReady(const ClientConnection *client);
// ===== end of client close and flow control =====
