// The MIT-SHM extension: its set-up, which the extension initialisation calls by name.
#pragma once

#include "proxy/xproxy.h"

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered. Until the extension is served it
// declines with "not available yet".
const char *shmSetup(ExtensionRecord *record);
// ===== end of set-up =====

// ===== core image path =====
#include <cstdint>
// Images of at least this many bytes go through MIT-SHM where the real server allows it
// (set from the environment once the extension is served); GetImage's threshold likewise.
extern uint64_t shmPutImageMinSize;
extern uint64_t shmGetImageMinSize;
// Puts an image through a shared segment on the head's real server: 1 when done, 0 when it
// declines (the caller then sends the image in the request). Declines until MIT-SHM is served.
int shmPutImageOnServer(ClientConnection *client, Head *head, uint32_t drawable, uint32_t gc, int16_t x, int16_t y,
                        uint32_t width, uint32_t height, uint32_t depth, uint32_t format, const uint8_t *data,
                        uint64_t dataLength);
// ===== end of core image path =====
