// What the buffer extensions keep per window and free with it (xext/multibuf.cpp and
// xext/doublebuf.cpp hold the definitions).
#pragma once

struct WindowRecord;

// Frees every DOUBLE-BUFFER back buffer of the window (when the extension is active).
void doublebufFreeWindowBuffers(WindowRecord *window);
// Frees every Multi-Buffering buffer of the window through the resource tables, first to last.
void multibufFreeWindowBuffers(WindowRecord *window);
