// The RENDER extension: its set-up, which the extension initialisation calls by name.
#pragma once

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered. Until the extension is served it
// declines with "not available yet".
const char *renderSetup(ExtensionRecord *record);
// ===== end of set-up =====

// ===== cursor pictures =====
// What the cursor builder needs of RENDER. Until the extension is served none of them can
// build anything: each reports failure (0), and a cursor that needs them is not built.
struct Head;
struct RequestSink;
// A picture on a head for a pixmap of the given picture format; 0 when none can be made.
uint32_t renderPictureOnHead(uint32_t format, Head *head);
int renderSendCreatePicture(const RequestSink *sink, uint32_t picture, uint32_t drawable, uint32_t format);
int renderSendCreateCursor(const RequestSink *sink, uint32_t cursor, uint32_t picture, uint16_t x, uint16_t y);
int renderSendFreePicture(const RequestSink *sink, uint32_t picture);
// Pairs of frame cursor and delay in milliseconds.
int renderSendCreateAnimCursor(const RequestSink *sink, uint32_t cursor, const uint32_t *frames, uint32_t count);
// ===== end of cursor pictures =====
