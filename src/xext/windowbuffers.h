// What the buffer extensions and RENDER keep per window and free with it (xext/multibuf.cpp,
// xext/doublebuf.cpp and xext/renderpicture.cpp hold the definitions).
#pragma once

struct WindowRecord;

// Frees every DOUBLE-BUFFER back buffer of the window (when the extension is active).
void doublebufFreeWindowBuffers(WindowRecord *window);
// Frees every Multi-Buffering buffer of the window through the resource tables, first to last.
void multibufFreeWindowBuffers(WindowRecord *window);
// Frees every RENDER picture made on the window through the resource tables; the real servers
// free them with the window, so nothing is written (xext/renderpicture.cpp).
void renderFreeWindowPictures(WindowRecord *window);
