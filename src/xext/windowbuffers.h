// What the buffer extensions keep per window and free with it. DOUBLE-BUFFER and
// Multi-Buffering are not offered yet: both free nothing until they are.
#pragma once

struct WindowRecord;

// Frees every DOUBLE-BUFFER back buffer of the window (when the extension is active).
void doublebufFreeWindowBuffers(WindowRecord *window);
// Frees every Multi-Buffering resource of the window.
void multibufFreeWindowBuffers(WindowRecord *window);
