// Meta screens and heads: names used in log lines and the writer of a message into a client's
// output.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// The text naming a client in log lines: "no client" for NULL; a local client by the class name
// of its WM_CLASS, else its WM_NAME, else "client %u"; a remote one as "%s@%s" with that name
// and its host, or "client #%u@%s". The formatted forms live in one static buffer that the next
// call overwrites.
const char *xscreenClientName(ClientConnection *client);

// Copies a message into the client's output and swaps the copy by its layout when the client
// has the other byte order (the caller's bytes stay as they are). Returns the copy; NULL when no
// output space can be had.
uint8_t *xscreenCopySwapped(const uint8_t *data, uint32_t length, WireLayout layout, ClientConnection *client);
