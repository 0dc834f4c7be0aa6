// GL rendered inside the proxy for a head: what the core requests that read or write pixels
// need of it.
#pragma once

// Finishes the GL work of every head that renders GL inside the proxy (before pixels are read),
// and flushes every client after such a read. No head renders GL inside the proxy yet: both do
// nothing.
void glxdirectFinishAll();
void glxdirectFlushAll();
