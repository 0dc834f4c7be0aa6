// GL rendered inside the proxy for a head (a head with a GL library instance): what the window,
// drawing and image requests tell it.
#pragma once

#include <cstdint>

struct Head;

// A window of the head's server (its id there) is mapped or unmapped: rendering the proxy holds
// for it is flushed first. No head has a GL library instance yet: nothing to do.
void glxdirectFlushForDrawable(Head *head, uint32_t serverDrawable);
// Finishes the GL work of every head that renders GL inside the proxy (before pixels are read),
// and flushes every client after such a read. No head renders GL inside the proxy yet: both do
// nothing.
void glxdirectFinishAll();
void glxdirectFlushAll();
